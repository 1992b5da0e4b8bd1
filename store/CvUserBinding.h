// The run-time binding of the companion mail server's user library (CVUser.so): loading, the bound entry points,
// and the process-wide instance that the engine loads at start.
#pragma once

#include "base/Result.h"
#include "platform/SharedLibrary.h"
#include "store/CvUserApi.h"

#include <memory>
#include <string>

namespace qm::store {

/// The library's file name in the companion's application directory.
inline constexpr const char* kCvUserLibraryName = "CVUser.so";

/// Error code of a load that failed because an entry point is missing.
inline constexpr int kCvMissingEntryPoint = 1;

enum class CvReload {
    No,
    Yes,
};

enum class CvMissing {
    Refuse, // every entry point must bind
    Allow,  // a missing entry point stays unbound and its wrapper fails
};

/// One loaded copy of the library with its entry points bound by name. The wrappers never call an entry point that
/// did not bind: they then give the "no" answer (kCvNoUser, false, an empty buffer). Safe to use from several
/// threads as far as the library itself is.
class CvUserLibrary {
public:
    /// Loads the library at `path` and binds the entry points. A failed load gives the loader's error; a missing
    /// entry point (unless allowed) unloads it again and fails with Code kCvMissingEntryPoint. With
    /// CvReload::Yes, CV_ReloadUsers is called once after binding.
    static Result<std::unique_ptr<CvUserLibrary>> Load(const std::string& path, CvReload reload, CvMissing missing);

    /// The path a null path stands for: "<program dir>/CVUser<type>.so", <type> being [Advanced] UserDllType of
    /// "corvid.ini" in the program's directory (default empty).
    static Result<std::string> DefaultPath();

    CvHandle GetByEmail(const char* address) const;
    CvHandle GetByAlias(const char* nameOrAddress, const char* domain) const;
    void GetFree(CvHandle handle) const;
    bool ValidateUser(CvHandle handle, const char* password) const;
    bool GetTesseraBit(CvHandle handle, int bit) const;
    bool GetPassword(CvHandle handle, char* buffer, int size) const;
    bool SetPassword(CvHandle handle, const char* password) const;
    bool GetMailDir(CvHandle handle, char* buffer, int size) const;
    bool GetUserInfo(CvHandle handle, CvUserInfo* record) const;
    void InitUserInfo(CvUserInfo* record) const;
    void FilterUserInfo(CvUserInfo* record) const;
    bool AddUser(CvUserInfo* record, int flags) const;
    bool DeleteUser(const char* address, const char* alias, int what) const;
    bool GetDomainNameUsingIP(const char* ip, char* buffer, int size) const;
    bool ReloadUsers() const;

    /// How many of the entry points bound.
    int BoundCount() const;

private:
    CvUserLibrary() = default;

    SharedLibrary m_library;
    CvGetByEmailFn m_getByEmail = nullptr;
    CvGetByAliasFn m_getByAlias = nullptr;
    CvGetFreeFn m_getFree = nullptr;
    CvValidateUserFn m_validateUser = nullptr;
    CvGetTesseraBitFn m_getTesseraBit = nullptr;
    CvGetPasswordFn m_getPassword = nullptr;
    CvSetPasswordFn m_setPassword = nullptr;
    CvGetMailDirFn m_getMailDir = nullptr;
    CvGetUserInfoFn m_getUserInfo = nullptr;
    CvInitUserInfoFn m_initUserInfo = nullptr;
    CvFilterUserInfoFn m_filterUserInfo = nullptr;
    CvAddUserFn m_addUser = nullptr;
    CvDeleteUserFn m_deleteUser = nullptr;
    CvGetDomainNameUsingIPFn m_getDomainNameUsingIP = nullptr;
    CvReloadUsersFn m_reloadUsers = nullptr;
};

/// The process-wide library (the engine's, loaded at start when the companion is configured). Loads it from
/// `path` (null: CvUserLibrary::DefaultPath) and makes it the loaded one, replacing any earlier. On failure nothing
/// is loaded afterwards.
Result<void> LoadCVUser(const char* path, CvReload reload, CvMissing missing);

/// Drops the process-wide library. Callers that still hold it (LoadedCVUser) keep it loaded until they let go.
void UnloadCVUser();

/// The process-wide library, or null when none is loaded. The caller keeps it alive while it holds the pointer.
std::shared_ptr<const CvUserLibrary> LoadedCVUser();

} // namespace qm::store
