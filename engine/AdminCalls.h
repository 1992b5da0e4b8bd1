// The administration calls behind the engine library's QM_* exports: notified windows, status, the session table,
// kill requests, and the accounts. They work in any process that loaded the library, without StartUp: the status
// calls through the shared block and the session table, the account calls on the user directories directly.
#pragma once

#include "engine/EngineShared.h"
#include "engine/SessionTable.h"
#include "platform/WindowMessage.h"

namespace qm::engine::admin {

/// Results of GetSessionStatus other than a count.
inline constexpr int kNoSharedBlock = -1;
inline constexpr int kNoEngine = -2;
inline constexpr int kTableUnreadable = -3;

/// Under the sessions mutex: puts window in the first free slot of the notified windows unless it is there
/// already; with no free slot (or window 0, or no shared block) nothing happens.
void RegisterWindow(WindowHandle window);

/// Under the sessions mutex: every slot holding window becomes free.
void UnRegisterWindow(WindowHandle window);

/// Copies the status block without locking (readers accept a torn snapshot); zeros without a shared block.
void GetStatus(EngineStatus* out);

/// Zeroes max rows of out, then copies the first rows of the running engine's session table, as many as the
/// engine has, at most max and at most the table's size. Returns that number, kNoSharedBlock, kNoEngine (no table
/// to open) or kTableUnreadable. A max of 0 or less, or a null out, writes nothing.
int GetSessionStatus(SessionRecord* out, int max);

/// Under the sessions mutex: puts id (its first 7 characters) into the first free slot of the kill list, unless an
/// id equal to it without regard to case waits there already. With no free slot, an empty id or no shared block
/// nothing happens.
void KillSession(const char* id);

/// Creates the account: the user directory, User.ini with the password (scrambled; "\\domain" stored as
/// "\domain", "\domain" as it is; nothing for an empty password), the language and SendWelcome, and the system
/// mail account; with the companion's user library (the mail server's accounts followed), also the companion's
/// account, a name without '@' getting the companion's domain first. Posts 3. False when the name is not valid,
/// the account exists, the library is needed and cannot be loaded, or the directory cannot be made.
bool UserCreate(const char* user, const char* password, const char* language, const char* fullName, const char* email);

/// Deletes the account's directory with everything in it and, when the companion is configured, its account
/// there. Posts 4. False when the name is not valid, the account does not exist, or its directory is not gone.
bool UserDelete(const char* user);

/// Renames the account's directory. False when a name is not valid, the old account does not exist, the new one
/// exists (in any case), or the rename fails. Posts nothing.
bool UserRename(const char* oldUser, const char* newUser);

/// With the mail server's accounts followed: renames the account when newUser is not empty (false when that
/// fails), then sets the system mail account's names, full name and password and the stored password. Posts 5.
/// Without following the mail server it changes nothing and returns true. False when the account does not exist.
bool UserChange(const char* user, const char* newUser, const char* fullName, const char* password);

/// True when the name is valid and its account directory exists.
bool UserExists(const char* user);

/// Bytes taken by the files of the account's directory, held to INT_MAX; 0 when there is no such account.
int UserDiskSpace(const char* user);

} // namespace qm::engine::admin
