#include "engine/Logon.h"

#include "common/IniAccess.h"
#include "common/StringUtil.h"
#include "engine/AdminCalls.h"
#include "engine/DomainSettings.h"
#include "engine/LdapLogon.h"
#include "engine/RequestMessages.h"
#include "engine/SystemLogon.h"
#include "engine/UserDirectory.h"
#include "engine/UserRecord.h"
#include "platform/Path.h"
#include "store/CvUserBinding.h"
#include "store/MailHostList.h"
#include "store/Pop3Client.h"

#include <cstring>
#include <memory>

namespace qm::engine {
namespace {

class EngineLogonServices final : public LogonServices {
public:
    LogonResult DirectoryLogon(std::string_view user, std::string_view stored, std::string_view typed,
                               Logger& log) const override
    {
        const std::shared_ptr<const LdapLibrary> library = LoadedLdap();
        return LdapLogon(library.get(), user, stored, typed, log);
    }

    LogonResult SystemLogon(std::string_view user, std::string_view stored, std::string_view typed,
                            Logger& log) const override
    {
        return PamLogon(user, stored, typed, log);
    }

    bool CreateAccountAfterPopLogon(std::string_view user, std::string_view typed, std::string_view popHost,
                                    std::string_view domain, Logger& log) const override
    {
        return CreateAccountAfterPop3Logon(user, typed, popHost, domain, log);
    }
};

// Releases a companion user handle on every path.
class CompanionUser {
public:
    CompanionUser(std::shared_ptr<const store::CvUserLibrary> library, store::CvHandle handle)
        : m_library(std::move(library))
        , m_handle(handle)
    {}

    CompanionUser(const CompanionUser&) = delete;
    CompanionUser& operator=(const CompanionUser&) = delete;

    ~CompanionUser() { m_library->GetFree(m_handle); }

    store::CvHandle Handle() const { return m_handle; }

private:
    std::shared_ptr<const store::CvUserLibrary> m_library;
    store::CvHandle m_handle;
};

bool AccountActive(std::string_view user)
{
    return ReadIniBoolFile("User", "Active", true, UserIniPathOf(user));
}

bool PasswordsMatch(std::string_view typed, std::string_view stored)
{
    if (typed == stored) {
        return true;
    }
    return !ReadIniBool("General", "CaseSensitivePasswords", true) && EqualsNoCase(typed, stored);
}

std::string TextOf(const char* field, std::size_t size)
{
    return {field, strnlen(field, size)};
}

LogonResult CompanionLogon(const std::shared_ptr<const store::CvUserLibrary>& library, std::string& user,
                           std::string_view password, const std::string& domain, Logger& log,
                           const LogonServices& services)
{
    const store::CvHandle handle = library->GetByAlias(user.c_str(), "");
    if (handle == store::kCvNoUser) {
        return LogonResult::Refused;
    }
    const CompanionUser companion(library, handle);
    // The password first: what the account may do is told only to whoever knows it.
    const std::string typed(password);
    if (!library->ValidateUser(handle, typed.c_str())) {
        return LogonResult::Refused;
    }
    if (!library->GetTesseraBit(handle, 1)) {
        log.LogMsg(2, kLogNotAllowed, user.c_str());
        return LogonResult::NotAllowed;
    }
    if (!EnsureAccount(user, std::nullopt, handle, domain, log, services)) {
        return LogonResult::Refused;
    }
    if (!AccountActive(user)) {
        log.LogMsg(2, kLogNotAllowed, user.c_str());
        return LogonResult::NotAllowed;
    }
    char plain[80] = {};
    if (library->GetPassword(handle, plain, static_cast<int>(sizeof plain))) {
        (void)WriteIniPassword("User", "Password", plain, UserIniPathOf(user));
    }
    return LogonResult::Accepted;
}

LogonResult LocalLogon(std::string& user, std::string_view password, const std::string& domain, Logger& log,
                       const LogonServices& services)
{
    if (!EnsureAccount(user, password, store::kCvNoUser, domain, log, services)) {
        return LogonResult::Refused;
    }
    // A missing User.ini reads as "" and is never created by the read.
    const std::string stored = ReadIniPassword("User", "Password", UserIniPathOf(user));
    LogonResult result = LogonResult::Refused;
    if (!stored.empty() && stored.front() == '*') {
        result = services.DirectoryLogon(user, stored, password, log);
    } else if (!stored.empty() && stored.front() == '\\') {
        result = services.SystemLogon(user, stored, password, log);
    } else if (PasswordsMatch(password, stored)) {
        result = LogonResult::Accepted;
    }
    // The password first: a disabled account is told so only to whoever knows its password.
    if (result == LogonResult::Accepted && !AccountActive(user)) {
        log.LogMsg(2, kLogNotAllowed, user.c_str());
        return LogonResult::NotAllowed;
    }
    return result;
}

} // namespace

bool IsStoredPasswordReference(std::string_view password)
{
    return !password.empty() && (password.front() == '*' || password.front() == '\\');
}

bool CreateAccountAfterPop3Logon(std::string_view user, std::string_view typed, std::string_view popHost,
                                 std::string_view domain, Logger& log)
{
    const std::string name(user);
    std::string popUser(user);
    if (!GetDomainBool("UseEmailForPopUser", domain)) {
        popUser = popUser.substr(0, popUser.find('@'));
    }
    store::MailHostAccount account;
    account.SetPort(GetDomainInt("PopPort", domain));
    // Such a password would be stored as a directory or system logon of its own, not as this password.
    if (IsStoredPasswordReference(typed) || !account.SetHost(popHost) || !account.SetUser(popUser) ||
        !account.SetPass(typed)) {
        log.LogMsg(2, kLogNotCreatingAccount, name.c_str());
        return false;
    }
    log.LogMsg(2, kLogAttemptingPop, name.c_str());
    store::Pop3Client client(nullptr, account, &log);
    if (!client.TestLogon()) {
        log.LogMsg(2, kLogNotCreatingAccount, name.c_str());
        return false;
    }
    log.LogMsg(2, kLogCreatingAccount, name.c_str());
    const std::string password(typed);
    if (!admin::UserCreate(name.c_str(), password.c_str(), "", "", name.c_str())) {
        log.LogMsg(4, kLogAccountCreationError, name.c_str());
        return false;
    }
    return true;
}

const LogonServices& DefaultLogonServices()
{
    static const EngineLogonServices kServices;
    return kServices;
}

std::string UserIniPathOf(std::string_view user)
{
    const std::string dir = UserDirPath(user);
    return platform::PathJoin(dir, platform::ResolveNoCase(dir, kUserIniName).value_or(kUserIniName));
}

bool AddLogonDomain(std::string& user, std::string& domain)
{
    if (const std::size_t at = user.rfind('@'); at != std::string::npos) {
        domain = user.substr(at + 1, kMaxUserNameLength);
    } else if (!domain.empty()) {
        if (user.size() + 1 + domain.size() > kMaxUserNameLength) {
            return false; // a cut name would be another user's
        }
        user += '@';
        user += domain;
    }
    return IsValidUserName(user);
}

std::string LogonAccountKey(std::string_view typed, std::string_view domain)
{
    std::string user(typed.substr(0, kMaxUserNameLength));
    std::string userDomain(domain);
    if (!AddLogonDomain(user, userDomain)) {
        user = typed.substr(0, kMaxUserNameLength);
    } else {
        const std::string defaultDomain = GetDomainSetting("DefaultDomain", "Default");
        const std::size_t at = user.rfind('@');
        if (!defaultDomain.empty() && at != std::string::npos &&
            EqualsNoCase(std::string_view(user).substr(at + 1), defaultDomain)) {
            user.resize(at);
        }
    }
    for (char& c : user) {
        c = FoldCase(c);
    }
    return user;
}

LogonResult Logon(std::string& user, std::string_view password, std::string& domain, Logger& log,
                  const LogonServices& services)
{
    if (user.empty() || password.empty() || !AddLogonDomain(user, domain)) {
        return LogonResult::Refused;
    }
    log.LogMsg(2, kLogAttemptingLogon, user.c_str());
    if (auto library = store::LoadedCVUser()) {
        return CompanionLogon(library, user, password, domain, log, services);
    }
    return LocalLogon(user, password, domain, log, services);
}

bool EnsureAccount(std::string& user, std::optional<std::string_view> typed, store::CvHandle companionUser,
                   std::string_view domain, Logger& log, const LogonServices& services)
{
    if (!IsValidUserName(user)) {
        return false;
    }
    if (UserDirExists(user)) {
        return true;
    }
    const std::string defaultDomain = GetDomainSetting("DefaultDomain", "Default");
    if (!domain.empty() && EqualsNoCase(domain, defaultDomain) && user.size() > domain.size() + 1) {
        const std::string_view tail = std::string_view(user).substr(user.size() - domain.size() - 1);
        if (tail.front() == '@' && EqualsNoCase(tail.substr(1), domain)) {
            const std::string shortName = user.substr(0, user.size() - tail.size());
            if (UserDirExists(shortName)) {
                user = shortName;
                return true;
            }
        }
    }
    if (!GetDomainBool("AutoAccountCreation", domain)) {
        return false;
    }
    if (typed) {
        const std::string host = GetDomainSetting("PopHost", domain).substr(0, 63);
        if (host.empty()) {
            return true; // nothing to ask; the password check that follows refuses the user
        }
        return services.CreateAccountAfterPopLogon(user, *typed, host, domain, log);
    }
    auto library = store::LoadedCVUser();
    if (!library) {
        return false;
    }
    store::CvUserInfo record{};
    if (!library->GetUserInfo(companionUser, &record)) {
        return false;
    }
    const std::string email = TextOf(record.EMail, sizeof record.EMail);
    const std::string password = TextOf(record.Password, sizeof record.Password);
    const std::string fullName = TextOf(record.FullName, sizeof record.FullName);
    log.LogMsg(2, kLogCreatingAccount, email.c_str());
    if (!admin::UserCreate(email.c_str(), password.c_str(), "", fullName.c_str(), email.c_str())) {
        log.LogMsg(4, kLogAccountCreationError, email.c_str());
        return false;
    }
    return true;
}

} // namespace qm::engine
