// The engine library's administration exports as their callers (the console, the web administration, the tests)
// bind them by name: the export names and their function types. Texts are NUL-terminated; booleans come back as
// 1 (true) or 0; window handles are 64-bit (see platform/WindowMessage.h).
#pragma once

#include <cstdint>

namespace qm::engine {

extern "C" {
/// Adds the window to the windows that receive the engine's notification (9904); a window already there, or a
/// ninth one, is not added.
using QmRegisterWindowFn = void (*)(std::uint64_t window);
/// Takes the window out of the notified windows.
using QmUnRegisterWindowFn = void (*)(std::uint64_t window);
/// Copies the 36-byte status block (nine 32-bit words) to buffer; zeros when the library is not attached.
using QmGetStatusFn = void (*)(void* buffer);
/// Copies the session table's rows (224 bytes each) to buffer, at most max of them, after zeroing max rows of it.
/// Returns the number copied, -1 without the shared block, -2 when no engine runs, -3 when the table cannot be
/// read.
using QmGetSessionStatusFn = int (*)(void* buffer, int max);
/// Asks the engine to remove the session with this id within one maintenance round.
using QmKillSessionFn = void (*)(const char* id);
/// Creates the account user; false when the name is not valid or the account exists.
using QmUserCreateFn = unsigned char (*)(const char* user, const char* password, const char* language,
                                         const char* fullName, const char* email);
/// Deletes the account user with its directory.
using QmUserDeleteFn = unsigned char (*)(const char* user);
/// Renames the account's directory.
using QmUserRenameFn = unsigned char (*)(const char* oldUser, const char* newUser);
/// Changes name, full name and password of the account (only when the accounts follow the mail server's).
using QmUserChangeFn = unsigned char (*)(const char* user, const char* newUser, const char* fullName,
                                         const char* password);
/// True when the account exists.
using QmUserExistsFn = unsigned char (*)(const char* user);
/// Bytes the account's files take, held to INT_MAX.
using QmUserDiskSpaceFn = int (*)(const char* user);
}

} // namespace qm::engine
