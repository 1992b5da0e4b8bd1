#include "engine/UserRecord.h"

#include "common/IniAccess.h"
#include "common/IniCache.h"
#include "engine/Engine.h"
#include "engine/TemplateCache.h"
#include "engine/UserDirectory.h"
#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "store/AddressBook.h"
#include "store/CvUserBinding.h"
#include "store/FilterList.h"
#include "store/FolderList.h"
#include "store/MailHostList.h"
#include "store/MessageIndex.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace qm::engine {
namespace {

// The POP3 user name of the user's own mailbox: the name cut at '@', unless the mail server knows its users by
// their addresses.
std::string PopUserName(const std::string& name, const std::string& domain)
{
    if (store::LoadedCVUser() != nullptr || GetDomainBool("UseEmailForPopUser", domain)) {
        return name;
    }
    return name.substr(0, name.find('@'));
}

// The domain's POP3 port; 110 when the domain gives none.
int PopPort(const std::string& domain)
{
    const int port = GetDomainInt("PopPort", domain);
    return port > 0 ? port : store::MailHostAccount::kDefaultPort;
}

} // namespace

Result<std::unique_ptr<UserRecord>> UserRecord::Open(std::string_view name)
{
    if (!IsValidUserName(name)) {
        return Fail("not a valid user name", EINVAL);
    }
    std::unique_ptr<UserRecord> record(new UserRecord());
    record->m_name = FindUserDirName(name).value_or(std::string(name));
    const std::size_t at = record->m_name.rfind('@');
    record->m_domain = at != std::string::npos
                               ? record->m_name.substr(at + 1)
                               : ReadIniStringFile("Default:Settings", "DefaultDomain", "", DomainsIniPath());
    record->m_userDir = platform::PathJoin(UserDirRoot(), record->m_name);
    (void)platform::MakeDirectories(record->m_userDir);
    record->m_iniPath = store::MailHostList::IniPath(record->m_userDir);
    record->OpenStore();
    return record;
}

UserRecord::~UserRecord()
{
    if (m_index != nullptr) {
        WriteStoreStats();
    }
}

void UserRecord::WriteStoreStats()
{
    // Both in one rewrite, and none when the file holds them already.
    const platform::IniChange changes[] = {
            {"Stats", "MessageCount", std::to_string(m_index->Count())},
            {"Stats", "DiskSpace", std::to_string(std::clamp<std::int64_t>(m_index->StoredSizeKB(), 0, INT_MAX))},
    };
    (void)WriteIniChangesFile(m_iniPath, changes);
}

void UserRecord::OpenStore()
{
    m_index = std::make_unique<store::MessageIndex>(m_userDir);
    m_addressBook = std::make_unique<store::AddressBook>(m_userDir.c_str(), store::AddressBook::PathKind::Directory);
    m_mailHosts = std::make_unique<store::MailHostList>(m_userDir);
    SyncSystemAccount();
    m_filters = std::make_unique<store::FilterList>();
    LoadPassword();
    const std::string language = GetUserSetting("Lang", Settings()).substr(0, 2);
    // With the engine running, the special folders get their names in the user's language from the template
    // cache; without it (administration calls) they show their own names.
    m_folders = std::make_unique<store::FolderList>(m_userDir, language.c_str(), EngineTemplates());
}

void UserRecord::SyncSystemAccount()
{
    if (!GetDomainBool("SyncSystemMailbox", m_domain) || m_mailHosts->Count() == 0) {
        return;
    }
    store::MailHostAccount& account = m_mailHosts->GetSystemAccount();
    account.SetActive(true);
    account.SetSystem(true);
    (void)account.SetUser(PopUserName(m_name, m_domain).substr(0, store::MailHostAccount::kMaxText));
    (void)account.SetPass("\\"); // the POP3 client then uses the password typed at logon
    (void)account.SetHost(GetDomainSetting("PopHost", m_domain));
    account.SetPort(PopPort(m_domain));
    const std::string deleteMode = GetDomainSetting("PopDelete", m_domain);
    if (!deleteMode.empty()) {
        account.SetDelete(DomainValueToInt(deleteMode));
    }
}

void UserRecord::LoadPassword()
{
    m_password = ReadIniPassword("User", "Password", m_iniPath);
    m_filters->Load(m_iniPath.c_str());
}

bool UserRecord::Save()
{
    // Password, Active and the filters in one rewrite of User.ini.
    std::vector<platform::IniChange> changes;
    const std::optional<std::string> password = StoredPasswordText(m_password);
    if (password) {
        changes.push_back({"User", "Password", *password});
    }
    changes.push_back({"User", "Active", ReadIniBoolFile("User", "Active", true, m_iniPath) ? "Yes" : "No"});
    m_filters->AddSaveChanges(changes);
    return WriteIniChangesFile(m_iniPath, changes) && password.has_value();
}

int UserRecord::ListPerPage() const
{
    const int perPage = GetUserInt("ListPerPage", Settings());
    if (perPage <= 0) {
        return 2000000000;
    }
    return perPage < 5 ? 5 : perPage;
}

int UserRecord::ListRefreshSeconds() const
{
    const int minutes = GetUserInt("ListRefreshTime", Settings());
    if (minutes <= 0) {
        return 86400;
    }
    return minutes > INT_MAX / 60 ? INT_MAX : minutes * 60;
}

bool UserRecord::SetStat(std::string_view key, std::string_view text)
{
    return WriteIniStringFile("Stats", key, text, m_iniPath);
}

bool UserRecord::SetStatInt(std::string_view key, int value)
{
    return WriteIniIntFile("Stats", key, value, m_iniPath);
}

bool UserRecord::AddStat(std::string_view key, int delta)
{
    // Added to the value as the file holds it now, not as this request first saw it.
    const std::optional<std::string> stored = LoadIniCurrent(m_iniPath)->Get("Stats", key);
    const long long sum = static_cast<long long>(stored && !stored->empty() ? IniTextToInt(*stored) : 0) + delta;
    return SetStatInt(key, static_cast<int>(std::clamp<long long>(sum, INT_MIN, INT_MAX)));
}

bool UserRecord::AddSystemAccount(std::string_view fullName, std::string_view email, std::string_view password)
{
    store::MailHostAccount& account = m_mailHosts->NewAccount();
    account.SetSystem(true);
    account.SetDefault(true);
    account.SetActive(true);
    account.SetFullName(fullName);
    account.SetEMail(email);
    // The mailbox is named after the address; a name that cannot name the account's files falls back to the user's.
    if (!account.SetMailbox(email.substr(0, store::kMaxMailboxName)) &&
        !account.SetMailbox(std::string_view(m_name).substr(0, store::kMaxMailboxName))) {
        m_mailHosts->RemoveAccount(m_mailHosts->Count() - 1);
        return false;
    }
    const std::string user =
            GetDomainBool("UseEmailForPopUser", m_domain) ? m_name : m_name.substr(0, m_name.find('@'));
    (void)account.SetUser(user.substr(0, store::MailHostAccount::kMaxText));
    account.SetColor("Style1");
    const bool doubleBackslash = password.size() >= 2 && password[0] == '\\' && password[1] == '\\';
    (void)account.SetPass(doubleBackslash ? password.substr(1) : password);
    (void)account.SetHost(GetDomainSetting("PopHost", m_domain));
    const std::string deleteMode = GetDomainSetting("PopDelete", m_domain);
    account.SetDelete(deleteMode.empty() ? 1 : DomainValueToInt(deleteMode));
    account.SetPort(PopPort(m_domain));
    return m_mailHosts->Save(m_userDir) >= 0;
}

bool UserRecord::ChangeSystemAccount(std::string_view newName, std::string_view fullName, std::string_view password)
{
    if (m_mailHosts->Count() == 0) {
        return true; // no account to keep in step
    }
    store::MailHostAccount& account = m_mailHosts->GetSystemAccount();
    if (!newName.empty()) {
        (void)account.SetUser(newName.substr(0, store::MailHostAccount::kMaxText));
        (void)account.SetMailbox(newName.substr(0, store::kMaxMailboxName));
        account.SetEMail(newName);
    }
    if (!fullName.empty()) {
        account.SetFullName(fullName);
    }
    if (!password.empty()) {
        (void)account.SetPass(password);
    }
    return m_mailHosts->Save(m_userDir) >= 0;
}

std::string UserRecord::DefaultAccountFullName() const
{
    const store::MailHostAccount* account = DefaultAccount();
    return account != nullptr ? account->FullName() : std::string();
}

std::string UserRecord::DefaultAccountEMail() const
{
    const store::MailHostAccount* account = DefaultAccount();
    return account != nullptr ? account->EMail() : std::string();
}

const store::MailHostAccount* UserRecord::DefaultAccount() const
{
    for (int i = 0; i < m_mailHosts->Count(); ++i) {
        if (m_mailHosts->Item(i).Default()) {
            return &m_mailHosts->Item(i);
        }
    }
    return m_mailHosts->Count() > 0 ? &m_mailHosts->Item(0) : nullptr;
}

} // namespace qm::engine
