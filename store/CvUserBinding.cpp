#include "store/CvUserBinding.h"

#include "platform/IniFile.h"
#include "platform/Path.h"
#include "platform/ProgramPath.h"

#include <mutex>
#include <utility>

namespace qm::store {
namespace {

std::mutex g_loadedLock;
std::shared_ptr<const CvUserLibrary> g_loaded;

void Terminate(char* buffer, int size)
{
    if (buffer != nullptr && size > 0) {
        buffer[0] = '\0';
    }
}

// The library promises a terminated buffer; this makes sure of it whatever it did.
void ForceTerminated(char* buffer, int size)
{
    if (buffer != nullptr && size > 0) {
        buffer[size - 1] = '\0';
    }
}

} // namespace

Result<std::unique_ptr<CvUserLibrary>> CvUserLibrary::Load(const std::string& path, CvReload reload, CvMissing missing)
{
    auto library = SharedLibrary::Open(path);
    if (!library) {
        return Unexpected{library.error()};
    }
    std::unique_ptr<CvUserLibrary> result(new CvUserLibrary());
    result->m_library = std::move(*library);
    const SharedLibrary& lib = result->m_library;
    // Every name is bound, so that with missing names allowed all the others are there.
    bool all = true;
    all = lib.Bind("CV_GetByEmail", result->m_getByEmail) && all;
    all = lib.Bind("CV_GetByAlias", result->m_getByAlias) && all;
    all = lib.Bind("CV_GetFree", result->m_getFree) && all;
    all = lib.Bind("CV_ValidateUser", result->m_validateUser) && all;
    all = lib.Bind("CV_GetTesseraBit", result->m_getTesseraBit) && all;
    all = lib.Bind("CV_GetPassword", result->m_getPassword) && all;
    all = lib.Bind("CV_SetPassword", result->m_setPassword) && all;
    all = lib.Bind("CV_GetMailDir", result->m_getMailDir) && all;
    all = lib.Bind("CV_GetUserInfo", result->m_getUserInfo) && all;
    all = lib.Bind("CV_InitUserInfo", result->m_initUserInfo) && all;
    all = lib.Bind("CV_FilterUserInfo", result->m_filterUserInfo) && all;
    all = lib.Bind("CV_AddUser", result->m_addUser) && all;
    all = lib.Bind("CV_DeleteUser", result->m_deleteUser) && all;
    all = lib.Bind("CV_GetDomainNameUsingIP", result->m_getDomainNameUsingIP) && all;
    all = lib.Bind("CV_ReloadUsers", result->m_reloadUsers) && all;
    if (!all && missing == CvMissing::Refuse) {
        return Fail("an entry point of " + path + " is missing", kCvMissingEntryPoint);
    }
    if (reload == CvReload::Yes) {
        (void)result->ReloadUsers();
    }
    return result;
}

Result<std::string> CvUserLibrary::DefaultPath()
{
    auto dir = ProgramDirectory();
    if (!dir) {
        return dir;
    }
    const std::string type =
            platform::IniRead(platform::PathJoin(*dir, "corvid.ini"), "Advanced", "UserDllType").value_or("");
    return platform::PathJoin(*dir, "CVUser" + type + ".so");
}

int CvUserLibrary::BoundCount() const
{
    const bool bound[] = {
            m_getByEmail != nullptr,   m_getByAlias != nullptr,           m_getFree != nullptr,
            m_validateUser != nullptr, m_getTesseraBit != nullptr,        m_getPassword != nullptr,
            m_setPassword != nullptr,  m_getMailDir != nullptr,           m_getUserInfo != nullptr,
            m_initUserInfo != nullptr, m_filterUserInfo != nullptr,       m_addUser != nullptr,
            m_deleteUser != nullptr,   m_getDomainNameUsingIP != nullptr, m_reloadUsers != nullptr,
    };
    int count = 0;
    for (bool isBound : bound) {
        count += isBound ? 1 : 0;
    }
    return count;
}

CvHandle CvUserLibrary::GetByEmail(const char* address) const
{
    return m_getByEmail != nullptr ? m_getByEmail(address) : kCvNoUser;
}

CvHandle CvUserLibrary::GetByAlias(const char* nameOrAddress, const char* domain) const
{
    return m_getByAlias != nullptr ? m_getByAlias(nameOrAddress, domain) : kCvNoUser;
}

void CvUserLibrary::GetFree(CvHandle handle) const
{
    if (m_getFree != nullptr) {
        m_getFree(handle);
    }
}

bool CvUserLibrary::ValidateUser(CvHandle handle, const char* password) const
{
    return m_validateUser != nullptr && m_validateUser(handle, password) != 0;
}

bool CvUserLibrary::GetTesseraBit(CvHandle handle, int bit) const
{
    return m_getTesseraBit != nullptr && m_getTesseraBit(handle, bit) != 0;
}

bool CvUserLibrary::GetPassword(CvHandle handle, char* buffer, int size) const
{
    Terminate(buffer, size);
    if (m_getPassword == nullptr || buffer == nullptr || size <= 0) {
        return false;
    }
    const bool ok = m_getPassword(handle, buffer, size) != 0;
    ForceTerminated(buffer, size);
    return ok;
}

bool CvUserLibrary::SetPassword(CvHandle handle, const char* password) const
{
    return m_setPassword != nullptr && m_setPassword(handle, password) != 0;
}

bool CvUserLibrary::GetMailDir(CvHandle handle, char* buffer, int size) const
{
    Terminate(buffer, size);
    if (m_getMailDir == nullptr || buffer == nullptr || size <= 0) {
        return false;
    }
    const bool ok = m_getMailDir(handle, buffer, size) != 0;
    ForceTerminated(buffer, size);
    return ok;
}

bool CvUserLibrary::GetUserInfo(CvHandle handle, CvUserInfo* record) const
{
    return m_getUserInfo != nullptr && record != nullptr && m_getUserInfo(handle, record) != 0;
}

void CvUserLibrary::InitUserInfo(CvUserInfo* record) const
{
    if (m_initUserInfo != nullptr && record != nullptr) {
        m_initUserInfo(record);
    }
}

void CvUserLibrary::FilterUserInfo(CvUserInfo* record) const
{
    if (m_filterUserInfo != nullptr && record != nullptr) {
        m_filterUserInfo(record);
    }
}

bool CvUserLibrary::AddUser(CvUserInfo* record, int flags) const
{
    return m_addUser != nullptr && record != nullptr && m_addUser(record, flags) != 0;
}

bool CvUserLibrary::DeleteUser(const char* address, const char* alias, int what) const
{
    return m_deleteUser != nullptr && m_deleteUser(address, alias, what) != 0;
}

bool CvUserLibrary::GetDomainNameUsingIP(const char* ip, char* buffer, int size) const
{
    Terminate(buffer, size);
    if (m_getDomainNameUsingIP == nullptr || buffer == nullptr || size <= 0) {
        return false;
    }
    const bool ok = m_getDomainNameUsingIP(ip, buffer, size) != 0;
    ForceTerminated(buffer, size);
    return ok;
}

bool CvUserLibrary::ReloadUsers() const
{
    return m_reloadUsers != nullptr && m_reloadUsers() != 0;
}

Result<void> LoadCVUser(const char* path, CvReload reload, CvMissing missing)
{
    UnloadCVUser();
    std::string file;
    if (path != nullptr) {
        file = path;
    } else {
        auto defaultPath = CvUserLibrary::DefaultPath();
        if (!defaultPath) {
            return Unexpected{defaultPath.error()};
        }
        file = std::move(*defaultPath);
    }
    auto library = CvUserLibrary::Load(file, reload, missing);
    if (!library) {
        return Unexpected{library.error()};
    }
    std::lock_guard lock(g_loadedLock);
    g_loaded = std::move(*library);
    return {};
}

void UnloadCVUser()
{
    std::shared_ptr<const CvUserLibrary> dropped;
    std::lock_guard lock(g_loadedLock);
    dropped = std::exchange(g_loaded, nullptr);
}

std::shared_ptr<const CvUserLibrary> LoadedCVUser()
{
    std::lock_guard lock(g_loadedLock);
    return g_loaded;
}

} // namespace qm::store
