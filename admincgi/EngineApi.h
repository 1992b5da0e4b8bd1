// The web administration's binding to the engine library: the administration exports loaded by name at run time,
// the layouts of the status block and the session rows they copy out, and the one text helper of this program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>

namespace qm::admincgi {

/// The engine's status block as QM_GetStatus copies it: nine 32-bit words.
struct EngineStatus {
    std::int32_t StartTime;      // seconds since 1970; 0 or less: the engine does not run
    std::int32_t Sessions;       // rows in the session table
    std::int32_t FailedRemovals; // sessions whose removal failed
    std::int32_t MaxSessions;
    std::int32_t PopSessions;
    std::int32_t PopErrors;
    std::int32_t SmtpSessions;
    std::int32_t SmtpErrors;
    std::int32_t Reserved;
};

static_assert(sizeof(EngineStatus) == 36 && std::is_trivially_copyable_v<EngineStatus>);

/// One row of the session table as QM_GetSessionStatus copies it (224 bytes, texts NUL-terminated in their field).
struct SessionRecord {
    char SessionId[8];
    std::uint32_t ClientAddress; // IPv4, network byte order
    std::int32_t LastAccess;     // seconds since 1970
    char UserName[80];
    char FullName[64];
    char EMail[64];
};

static_assert(sizeof(SessionRecord) == 224 && offsetof(SessionRecord, EMail) == 160);

extern "C" {
using QmRegisterWindowFn = void (*)(std::uint64_t window);
using QmUnRegisterWindowFn = void (*)(std::uint64_t window);
using QmGetStatusFn = void (*)(void* buffer);
using QmGetSessionStatusFn = int (*)(void* buffer, int max);
using QmKillSessionFn = void (*)(const char* id);
using QmUserCreateFn = unsigned char (*)(const char* user, const char* password, const char* language,
                                         const char* fullName, const char* email);
using QmUserDeleteFn = unsigned char (*)(const char* user);
using QmUserRenameFn = unsigned char (*)(const char* oldUser, const char* newUser);
using QmUserChangeFn = unsigned char (*)(const char* user, const char* newUser, const char* fullName,
                                         const char* password);
using QmUserExistsFn = unsigned char (*)(const char* user);
using QmUserDiskSpaceFn = int (*)(const char* user);
}

/// The process-wide table of the bound exports. The five status calls are bound together; the six user calls only
/// when asked for, and UserCalls says whether all eleven are there.
struct EngineApi {
    void* Module = nullptr; // the loaded library (owned by the binding; see UnloadEngineDll)
    QmRegisterWindowFn QM_RegisterWindow = nullptr;
    QmUnRegisterWindowFn QM_UnRegisterWindow = nullptr;
    QmGetStatusFn QM_GetStatus = nullptr;
    QmGetSessionStatusFn QM_GetSessionStatus = nullptr;
    QmKillSessionFn QM_KillSession = nullptr;
    QmUserCreateFn QM_UserCreate = nullptr;
    QmUserDeleteFn QM_UserDelete = nullptr;
    QmUserRenameFn QM_UserRename = nullptr;
    QmUserChangeFn QM_UserChange = nullptr;
    QmUserExistsFn QM_UserExists = nullptr;
    QmUserDiskSpaceFn QM_UserDiskSpace = nullptr;
    bool UserCalls = false;
};

/// The one binding of this process.
EngineApi& Engine();

/// Whether user calls are wanted as well as the status calls.
enum class UserCalls {
    NotWanted,
    Wanted
};

/// Loads the engine library (a path, or a bare name that the loader's search resolves; null: Quillmail.so in the
/// program's directory) and binds its exports. False, with nothing loaded, when the library cannot be loaded or a
/// needed export is missing.
bool LoadEngineDll(const char* path, UserCalls wantUserCalls);

/// Unloads the library when one is loaded and clears the table; safe to call at any time.
void UnloadEngineDll();

/// Removes every occurrence of pattern (exact case) from s.
void RemoveAll(std::string& s, std::string_view pattern);

} // namespace qm::admincgi
