// CVUser.so: a small user library of our own that stands in for the companion mail server's, with the CV_*
// entry points the engine calls (store/CvUserApi.h). Every entry point goes through the entry guard: an exception
// is reported on standard error and the entry returns its failure value (0, no user, or nothing).
//
// Files, all in the library's application directory (the directory of the path the library was loaded by):
//  - "Corvid.ini", the companion's settings, read at each use:
//      [Domains] Default    the default domain (default "localhost")
//      [Domains] IP.<addr>  the domain served at the IPv4 address <addr>
//      [Directories] MailRoot  the root of the mailbox directories (default "<app dir>/Mail")
//    ([Special] UseSafeHash is read by the engine's direct mailbox reader, not here.)
//  - "Users.ini", the user list: one section per account, named by its address "mailbox@domain" in lower case:
//      FullName=<text>   Password=<plain text>   WebAccess=Yes|No   Aliases=<address>,<address>...
//    The file is created readable by its owner only, since it holds passwords in plain text.
//  - A mailbox directory per account: "<MailRoot>/<domain>/<mailbox>/", one file per message.
//
// Mailbox names are 1 to 30 characters of [a-z0-9._-], domains 1 to 45 of [a-z0-9.-]; neither begins with '.' or
// holds "..", so that both are safe in paths. Names are folded to lower case. The user list is read by
// CV_ReloadUsers and read again whenever the file has changed since; changes are written through at once. Handles
// name an account by its address, so a handle stays valid across reloads until it is freed.
#include "common/EntryGuard.h"
#include "platform/FileSystem.h"
#include "platform/IniFile.h"
#include "platform/Path.h"
#include "platform/SharedLibrary.h"
#include "store/CvUserApi.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#define CV_EXPORT extern "C" [[gnu::visibility("default")]]

namespace {

using qm::store::CvHandle;
using qm::store::CvUserInfo;
using qm::store::kCvNoUser;

constexpr std::size_t kMaxMailbox = 30;
constexpr std::size_t kMaxDomain = 45;
constexpr std::size_t kMaxPassword = 20;
constexpr std::size_t kMaxHandles = 4096;

struct User {
    std::string Address;
    std::string FullName;
    std::string Password;
    bool WebAccess = true;
    std::vector<std::string> Aliases;
};

std::string Lower(std::string_view text)
{
    std::string result(text);
    for (char& c : result) {
        c = static_cast<char>(qm::platform::FoldAscii(static_cast<unsigned char>(c)));
    }
    return result;
}

bool IsNameChar(char c, bool allowUnderscore)
{
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-' || (allowUnderscore && c == '_');
}

bool IsValidName(std::string_view name, std::size_t maxLength, bool isMailbox)
{
    if (name.empty() || name.size() > maxLength || name.front() == '.' || name.find("..") != std::string_view::npos) {
        return false;
    }
    if (!isMailbox && name.front() == '-') {
        return false;
    }
    return std::all_of(name.begin(), name.end(), [isMailbox](char c) { return IsNameChar(c, isMailbox); });
}

// "mailbox@domain" split, or nothing when the address is not one this library can hold.
std::optional<std::pair<std::string, std::string>> SplitAddress(std::string_view address)
{
    const std::size_t at = address.rfind('@');
    if (at == std::string_view::npos) {
        return std::nullopt;
    }
    std::string mailbox(address.substr(0, at));
    std::string domain(address.substr(at + 1));
    if (!IsValidName(mailbox, kMaxMailbox, true) || !IsValidName(domain, kMaxDomain, false)) {
        return std::nullopt;
    }
    return std::make_pair(std::move(mailbox), std::move(domain));
}

std::vector<std::string> SplitList(std::string_view text)
{
    std::vector<std::string> items;
    while (!text.empty()) {
        const std::size_t comma = text.find(',');
        std::string item = Lower(text.substr(0, comma));
        item.erase(0, item.find_first_not_of(" \t"));
        item.erase(item.find_last_not_of(" \t") + 1);
        if (!item.empty()) {
            items.push_back(std::move(item));
        }
        if (comma == std::string_view::npos) {
            break;
        }
        text.remove_prefix(comma + 1);
    }
    return items;
}

bool CopyOut(std::string_view text, char* buffer, int size)
{
    if (buffer == nullptr || size <= 0) {
        return false;
    }
    const std::size_t room = static_cast<std::size_t>(size) - 1;
    const std::size_t length = std::min(text.size(), room);
    std::memcpy(buffer, text.data(), length);
    buffer[length] = '\0';
    return length == text.size();
}

template <std::size_t N>
void CopyField(char (&field)[N], std::string_view text)
{
    const std::size_t length = std::min(text.size(), N - 1);
    std::memcpy(field, text.data(), length);
    std::memset(field + length, 0, N - length);
}

template <std::size_t N>
std::string FieldText(const char (&field)[N])
{
    return std::string(field, strnlen(field, N));
}

// The library's state: the user list as last read, and the handles given out.
class Library {
public:
    CvHandle GetByAddress(std::string_view address)
    {
        std::lock_guard lock(m_lock);
        Refresh();
        const User* user = Find(Lower(address));
        return user != nullptr ? NewHandle(user->Address) : kCvNoUser;
    }

    void Free(CvHandle handle)
    {
        std::lock_guard lock(m_lock);
        if (handle >= 0 && static_cast<std::size_t>(handle) < m_handles.size()) {
            m_handles[static_cast<std::size_t>(handle)].reset();
        }
    }

    // Runs f on the user of handle (under the lock); false when the handle names no user.
    template <class F>
    bool WithUser(CvHandle handle, F&& f)
    {
        std::lock_guard lock(m_lock);
        Refresh();
        if (handle < 0 || static_cast<std::size_t>(handle) >= m_handles.size() ||
            !m_handles[static_cast<std::size_t>(handle)]) {
            return false;
        }
        const User* user = Find(*m_handles[static_cast<std::size_t>(handle)]);
        return user != nullptr && f(*user);
    }

    bool SetPassword(CvHandle handle, std::string_view password)
    {
        if (password.size() > kMaxPassword || !qm::platform::IsValidIniValue(password)) {
            return false;
        }
        std::string address;
        if (!WithUser(handle, [&address](const User& user) {
                address = user.Address;
                return true;
            })) {
            return false;
        }
        std::lock_guard lock(m_lock);
        return Write({{address, "Password", std::string(password)}});
    }

    bool Add(const CvUserInfo& record)
    {
        const std::string mailbox = FieldText(record.Mailbox);
        const std::string domain = FieldText(record.Domain);
        const std::string fullName = FieldText(record.FullName);
        const std::string password = FieldText(record.Password);
        if (!IsValidName(mailbox, kMaxMailbox, true) || !IsValidName(domain, kMaxDomain, false) ||
            !qm::platform::IsValidIniValue(fullName) || !qm::platform::IsValidIniValue(password)) {
            return false;
        }
        const std::string address = mailbox + "@" + domain;
        std::lock_guard lock(m_lock);
        Refresh();
        if (Find(address) != nullptr) {
            return false;
        }
        if (!Write({{address, "FullName", fullName},
                    {address, "Password", password},
                    {address, "WebAccess", record.WebAccess != 0 ? "Yes" : "No"}})) {
            return false;
        }
        return static_cast<bool>(qm::platform::MakeDirectories(MailDir(mailbox, domain)));
    }

    bool Delete(std::string_view address, std::string_view alias, int what)
    {
        std::lock_guard lock(m_lock);
        Refresh();
        const User* user = Find(Lower(address));
        if (user == nullptr) {
            user = Find(Lower(alias));
        }
        if (user == nullptr) {
            return false;
        }
        const std::string account = user->Address;
        bool ok = true;
        if ((what & qm::store::kCvDeleteMailbox) != 0) {
            const auto parts = SplitAddress(account);
            ok = parts && qm::platform::DeleteDirectoryTree(MailDir(parts->first, parts->second));
        }
        if ((what & qm::store::kCvDeleteAccount) != 0) {
            ok = static_cast<bool>(qm::platform::IniDeleteSection(UsersFile(), account)) && ok;
            m_stamp.reset();
        }
        return ok;
    }

    std::string MailDirOf(const User& user) const
    {
        const auto parts = SplitAddress(user.Address);
        return parts ? MailDir(parts->first, parts->second) : std::string();
    }

    std::string DomainFor(std::string_view ip) const
    {
        const std::string settings = qm::platform::PathJoin(AppDir(), "Corvid.ini");
        if (!ip.empty()) {
            auto domain = qm::platform::IniRead(settings, "Domains", "IP." + std::string(ip));
            if (domain && !domain->empty()) {
                return Lower(*domain);
            }
        }
        return Lower(qm::platform::IniRead(settings, "Domains", "Default").value_or("localhost"));
    }

    bool Reload()
    {
        std::lock_guard lock(m_lock);
        Load();
        return true;
    }

private:
    static const std::string& AppDir()
    {
        static const int kAnchor = 0;
        static const std::string kDir = [] {
            auto found = qm::ModuleDirectoryOf(&kAnchor);
            return found ? *found : std::string(".");
        }();
        return kDir;
    }

    static std::string UsersFile() { return qm::platform::PathJoin(AppDir(), "Users.ini"); }

    static std::string MailDir(const std::string& mailbox, const std::string& domain)
    {
        const std::string settings = qm::platform::PathJoin(AppDir(), "Corvid.ini");
        const std::string root = qm::platform::IniRead(settings, "Directories", "MailRoot")
                                         .value_or(qm::platform::PathJoin(AppDir(), "Mail"));
        return qm::platform::PathJoin(qm::platform::PathJoin(root, domain), mailbox) + "/";
    }

    struct Stamp {
        std::int64_t Seconds = 0;
        std::int32_t Nanoseconds = 0;
        std::uint64_t Size = 0;

        bool operator==(const Stamp&) const = default;
    };

    static std::optional<Stamp> CurrentStamp()
    {
        const std::string file = UsersFile();
        const auto times = qm::platform::GetFileTimes(file);
        if (!times) {
            return std::nullopt;
        }
        return Stamp{times->Modified.Seconds, times->Modified.Nanoseconds, qm::platform::FileSize(file).value_or(0)};
    }

    void Load()
    {
        m_loaded = true;
        m_stamp = CurrentStamp();
        m_users.clear();
        const qm::platform::IniDocument document = qm::platform::IniLoad(UsersFile());
        for (const std::string& section : document.SectionNames()) {
            if (!SplitAddress(Lower(section))) {
                continue;
            }
            User user;
            user.Address = Lower(section);
            user.FullName = document.Get(section, "FullName").value_or("");
            user.Password = document.Get(section, "Password").value_or("");
            const std::string web = document.Get(section, "WebAccess").value_or("Yes");
            user.WebAccess = !web.empty() && std::strchr("1TtYy", web[0]) != nullptr;
            user.Aliases = SplitList(document.Get(section, "Aliases").value_or(""));
            m_users.push_back(std::move(user));
        }
    }

    // Reads the list again when it was read before and the file has changed since.
    void Refresh()
    {
        if (m_loaded && CurrentStamp() != m_stamp) {
            Load();
        }
    }

    const User* Find(const std::string& address) const
    {
        for (const User& user : m_users) {
            if (user.Address == address ||
                std::find(user.Aliases.begin(), user.Aliases.end(), address) != user.Aliases.end()) {
                return &user;
            }
        }
        return nullptr;
    }

    CvHandle NewHandle(const std::string& address)
    {
        for (std::size_t i = 0; i < m_handles.size(); ++i) {
            if (!m_handles[i]) {
                m_handles[i] = address;
                return static_cast<CvHandle>(i);
            }
        }
        if (m_handles.size() >= kMaxHandles) {
            return kCvNoUser;
        }
        m_handles.emplace_back(address);
        return static_cast<CvHandle>(m_handles.size() - 1);
    }

    bool Write(const std::vector<qm::platform::IniChange>& changes)
    {
        const std::string file = UsersFile();
        if (!qm::platform::PathExists(file)) {
            // Created empty and private first: the rewrite keeps the permission bits of the file it replaces.
            (void)qm::platform::CreateNewFile(file);
            std::error_code ignored;
            std::filesystem::permissions(file, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
                                         ignored);
        }
        const bool ok = static_cast<bool>(qm::platform::IniWriteMany(file, changes));
        if (m_loaded) {
            Load();
        }
        return ok;
    }

    std::mutex m_lock;
    bool m_loaded = false;
    std::optional<Stamp> m_stamp;
    std::vector<User> m_users;
    std::vector<std::optional<std::string>> m_handles;
};

Library& TheLibrary()
{
    static Library s_library;
    return s_library;
}

const char* Text(const char* s)
{
    return s != nullptr ? s : "";
}

} // namespace

CV_EXPORT CvHandle CV_GetByEmail(const char* address);
CV_EXPORT CvHandle CV_GetByAlias(const char* nameOrAddress, const char* domain);
CV_EXPORT void CV_GetFree(CvHandle handle);
CV_EXPORT int CV_ValidateUser(CvHandle handle, const char* password);
CV_EXPORT int CV_GetTesseraBit(CvHandle handle, int bit);
CV_EXPORT int CV_GetPassword(CvHandle handle, char* buffer, int size);
CV_EXPORT int CV_SetPassword(CvHandle handle, const char* password);
CV_EXPORT int CV_GetMailDir(CvHandle handle, char* buffer, int size);
CV_EXPORT void CV_InitUserInfo(CvUserInfo* record);
CV_EXPORT int CV_GetUserInfo(CvHandle handle, CvUserInfo* record);
CV_EXPORT void CV_FilterUserInfo(CvUserInfo* record);
CV_EXPORT int CV_AddUser(CvUserInfo* record, int flags);
CV_EXPORT int CV_DeleteUser(const char* address, const char* alias, int what);
CV_EXPORT int CV_GetDomainNameUsingIP(const char* ip, char* buffer, int size);
CV_EXPORT int CV_ReloadUsers();

CV_EXPORT CvHandle CV_GetByEmail(const char* address)
{
    return qm::GuardEntry("CV_GetByEmail", kCvNoUser, [&] { return TheLibrary().GetByAddress(Text(address)); });
}

CV_EXPORT CvHandle CV_GetByAlias(const char* nameOrAddress, const char* domain)
{
    return qm::GuardEntry("CV_GetByAlias", kCvNoUser, [&] {
        std::string name = Text(nameOrAddress);
        if (name.find('@') == std::string::npos) {
            name += "@" + (Text(domain)[0] != '\0' ? std::string(domain) : TheLibrary().DomainFor(""));
        }
        return TheLibrary().GetByAddress(name);
    });
}

CV_EXPORT void CV_GetFree(CvHandle handle)
{
    qm::GuardEntry("CV_GetFree", [&] { TheLibrary().Free(handle); });
}

CV_EXPORT int CV_ValidateUser(CvHandle handle, const char* password)
{
    return qm::GuardEntry("CV_ValidateUser", 0, [&] {
        const std::string typed = Text(password);
        return TheLibrary().WithUser(handle, [&typed](const User& user) { return user.Password == typed; }) ? 1 : 0;
    });
}

CV_EXPORT int CV_GetTesseraBit(CvHandle handle, int bit)
{
    return qm::GuardEntry("CV_GetTesseraBit", 0, [&] {
        return TheLibrary().WithUser(handle, [bit](const User& user) { return bit == 1 && user.WebAccess; }) ? 1 : 0;
    });
}

CV_EXPORT int CV_GetPassword(CvHandle handle, char* buffer, int size)
{
    return qm::GuardEntry("CV_GetPassword", 0, [&] {
        if (buffer != nullptr && size > 0) {
            buffer[0] = '\0';
        }
        return TheLibrary().WithUser(handle, [=](const User& user) { return CopyOut(user.Password, buffer, size); })
                       ? 1
                       : 0;
    });
}

CV_EXPORT int CV_SetPassword(CvHandle handle, const char* password)
{
    return qm::GuardEntry("CV_SetPassword", 0,
                          [&] { return TheLibrary().SetPassword(handle, Text(password)) ? 1 : 0; });
}

CV_EXPORT int CV_GetMailDir(CvHandle handle, char* buffer, int size)
{
    return qm::GuardEntry("CV_GetMailDir", 0, [&] {
        if (buffer != nullptr && size > 0) {
            buffer[0] = '\0';
        }
        Library& library = TheLibrary();
        return library.WithUser(handle,
                                [&](const User& user) {
                                    const std::string dir = library.MailDirOf(user);
                                    if (dir.empty() || !qm::platform::MakeDirectories(dir)) {
                                        return false;
                                    }
                                    if (!CopyOut(dir, buffer, size)) {
                                        buffer[0] = '\0'; // half a path would name another directory
                                        return false;
                                    }
                                    return true;
                                })
                       ? 1
                       : 0;
    });
}

CV_EXPORT void CV_InitUserInfo(CvUserInfo* record)
{
    qm::GuardEntry("CV_InitUserInfo", [&] {
        if (record != nullptr) {
            std::memset(record, 0, sizeof *record);
            record->WebAccess = 1;
        }
    });
}

CV_EXPORT int CV_GetUserInfo(CvHandle handle, CvUserInfo* record)
{
    return qm::GuardEntry("CV_GetUserInfo", 0, [&] {
        if (record == nullptr) {
            return 0;
        }
        return TheLibrary().WithUser(handle,
                                     [record](const User& user) {
                                         CV_InitUserInfo(record);
                                         const std::size_t at = user.Address.rfind('@');
                                         CopyField(record->EMail, user.Address);
                                         CopyField(record->Mailbox, std::string_view(user.Address).substr(0, at));
                                         CopyField(record->Domain, std::string_view(user.Address).substr(at + 1));
                                         CopyField(record->FullName, user.FullName);
                                         CopyField(record->Password, user.Password);
                                         record->WebAccess = user.WebAccess ? 1 : 0;
                                         return true;
                                     })
                       ? 1
                       : 0;
    });
}

CV_EXPORT void CV_FilterUserInfo(CvUserInfo* record)
{
    qm::GuardEntry("CV_FilterUserInfo", [&] {
        if (record == nullptr) {
            return;
        }
        std::string email = Lower(FieldText(record->EMail));
        std::string mailbox = Lower(FieldText(record->Mailbox));
        std::string domain = Lower(FieldText(record->Domain));
        const std::size_t at = email.rfind('@');
        if (mailbox.empty()) {
            mailbox = email.substr(0, at);
        }
        if (domain.empty() && at != std::string::npos) {
            domain = email.substr(at + 1);
        }
        if (domain.empty()) {
            domain = TheLibrary().DomainFor("");
        }
        CopyField(record->Mailbox, mailbox);
        CopyField(record->Domain, domain);
        CopyField(record->EMail, FieldText(record->Mailbox) + "@" + FieldText(record->Domain));
        CopyField(record->FullName, FieldText(record->FullName));
        CopyField(record->Password, FieldText(record->Password));
    });
}

CV_EXPORT int CV_AddUser(CvUserInfo* record, int /*flags*/)
{
    return qm::GuardEntry("CV_AddUser", 0, [&] { return record != nullptr && TheLibrary().Add(*record) ? 1 : 0; });
}

CV_EXPORT int CV_DeleteUser(const char* address, const char* alias, int what)
{
    return qm::GuardEntry("CV_DeleteUser", 0,
                          [&] { return TheLibrary().Delete(Text(address), Text(alias), what) ? 1 : 0; });
}

CV_EXPORT int CV_GetDomainNameUsingIP(const char* ip, char* buffer, int size)
{
    return qm::GuardEntry("CV_GetDomainNameUsingIP", 0, [&] {
        if (buffer != nullptr && size > 0) {
            buffer[0] = '\0';
        }
        const std::string domain = TheLibrary().DomainFor(Text(ip));
        return !domain.empty() && CopyOut(domain, buffer, size) ? 1 : 0;
    });
}

CV_EXPORT int CV_ReloadUsers()
{
    return qm::GuardEntry("CV_ReloadUsers", 0, [&] { return TheLibrary().Reload() ? 1 : 0; });
}

// Each entry point has the signature its callers bind it with.
static_assert(std::is_same_v<decltype(&CV_GetByEmail), qm::store::CvGetByEmailFn>);
static_assert(std::is_same_v<decltype(&CV_GetByAlias), qm::store::CvGetByAliasFn>);
static_assert(std::is_same_v<decltype(&CV_GetFree), qm::store::CvGetFreeFn>);
static_assert(std::is_same_v<decltype(&CV_ValidateUser), qm::store::CvValidateUserFn>);
static_assert(std::is_same_v<decltype(&CV_GetTesseraBit), qm::store::CvGetTesseraBitFn>);
static_assert(std::is_same_v<decltype(&CV_GetPassword), qm::store::CvGetPasswordFn>);
static_assert(std::is_same_v<decltype(&CV_SetPassword), qm::store::CvSetPasswordFn>);
static_assert(std::is_same_v<decltype(&CV_GetMailDir), qm::store::CvGetMailDirFn>);
static_assert(std::is_same_v<decltype(&CV_GetUserInfo), qm::store::CvGetUserInfoFn>);
static_assert(std::is_same_v<decltype(&CV_InitUserInfo), qm::store::CvInitUserInfoFn>);
static_assert(std::is_same_v<decltype(&CV_FilterUserInfo), qm::store::CvFilterUserInfoFn>);
static_assert(std::is_same_v<decltype(&CV_AddUser), qm::store::CvAddUserFn>);
static_assert(std::is_same_v<decltype(&CV_DeleteUser), qm::store::CvDeleteUserFn>);
static_assert(std::is_same_v<decltype(&CV_GetDomainNameUsingIP), qm::store::CvGetDomainNameUsingIPFn>);
static_assert(std::is_same_v<decltype(&CV_ReloadUsers), qm::store::CvReloadUsersFn>);
