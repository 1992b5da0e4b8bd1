#include "store/MailHostList.h"

#include "base/Assert.h"
#include "common/IniAccess.h"
#include "common/IniCache.h"
#include "common/Scrambler.h"
#include "common/StringUtil.h"
#include "platform/IniFile.h"
#include "platform/Path.h"
#include "store/StoreSeams.h"
#include "store/StoreText.h"

#include <algorithm>

namespace qm::store {

namespace {

constexpr const char* kUserSection = "User";

bool HasLineBreak(std::string_view text)
{
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// The text as a field keeps it: cleaned and cut to limit bytes.
void AssignField(std::string& field, std::string_view text, std::size_t limit)
{
    field.assign(text.substr(0, limit));
    CleanRecordValue(field);
}

std::string SectionFor(int number)
{
    return "MailHost" + std::to_string(number);
}

// The number n of a section named "MailHost<n>" (ASCII case ignored), else -1.
int SectionNumber(std::string_view name)
{
    constexpr std::string_view kPrefix = "MailHost";
    if (!StartsWithNoCase(name, kPrefix) || name.size() == kPrefix.size() || name.size() > kPrefix.size() + 9) {
        return -1;
    }
    int number = 0;
    for (const char c : name.substr(kPrefix.size())) {
        if (c < '0' || c > '9') {
            return -1;
        }
        number = number * 10 + (c - '0');
    }
    return number;
}

// The stored form of a password: scrambled, except a '\' form, which is kept (cleaned) as it is.
std::string StoredPass(const std::string& pass)
{
    if (!pass.empty() && pass.front() == '\\') {
        return CleanedRecordValue(pass);
    }
    return ScramblePassword(pass);
}

// The password of section as the account holds it, converting a '-' value in the file on the way.
std::string LoadPass(const std::string& file, const platform::IniDocument& ini, const std::string& section)
{
    std::string stored = ini.Get(section, "Pass").value_or(std::string());
    if (!stored.empty() && stored.front() == '-') {
        std::string plain = stored.substr(1);
        // Replaced only while the key still holds the value read, so that a password that another program set in
        // the meantime is not overwritten; a failed write leaves the '-' form for the next reader.
        static_cast<void>(platform::IniReplaceValue(file, section, "Pass", stored, ScramblePassword(plain)));
        NoteIniWritten(file);
        return plain;
    }
    if (!stored.empty() && stored.front() == '\\') {
        return stored;
    }
    return UnscramblePassword(stored);
}

std::string Text(const platform::IniDocument& ini, const std::string& section, const char* key, const std::string& def)
{
    return ini.Get(section, key).value_or(def);
}

// An integer or a boolean as the INI functions read it: the default when the key is missing (or, for an integer,
// empty).
int Int(const platform::IniDocument& ini, const std::string& section, const char* key, int def)
{
    const std::optional<std::string> value = ini.Get(section, key);
    return value && !value->empty() ? IniTextToInt(*value) : def;
}

bool Bool(const platform::IniDocument& ini, const std::string& section, const char* key, bool def)
{
    const std::optional<std::string> value = ini.Get(section, key);
    return value ? IniTextToBool(*value) : def;
}

// Reads the keys of one section into account; false when its Mailbox cannot be used.
bool LoadAccount(const std::string& file, const platform::IniDocument& ini, const std::string& section,
                 const std::string& mailbox, const std::string& fullName, const std::string& email,
                 MailHostAccount& account)
{
    if (!account.SetMailbox(mailbox)) {
        return false;
    }
    account.SetFullName(Text(ini, section, "FullName", fullName));
    account.SetEMail(Text(ini, section, "EMail", email));
    // Values read from an INI file hold no line break; a password unscrambled from a damaged value might.
    static_cast<void>(account.SetHost(Text(ini, section, "Host", "")));
    static_cast<void>(account.SetUser(Text(ini, section, "User", "")));
    if (!account.SetPass(LoadPass(file, ini, section))) {
        static_cast<void>(account.SetPass(""));
    }
    account.SetColor(Text(ini, section, "Color", ""));
    account.SetPort(Int(ini, section, "Port", MailHostAccount::kDefaultPort));
    account.SetDefault(Bool(ini, section, "Default", false));
    account.SetActive(Bool(ini, section, "Active", true));
    account.SetDelete(Int(ini, section, "Delete", 0));
    return true;
}

void AddChange(std::vector<platform::IniChange>& changes, const std::string& section, const char* key,
               std::string value)
{
    changes.push_back({section, key, std::move(value)});
}

} // namespace

bool IsValidMailboxName(std::string_view name)
{
    return name.size() <= kMaxMailboxName && platform::IsSafeName(name);
}

std::optional<std::string> MailboxFilePath(std::string_view userDir, std::string_view mailbox, MailboxFile which)
{
    if (!IsValidMailboxName(mailbox)) {
        return std::nullopt;
    }
    std::string name(mailbox);
    name.append(which == MailboxFile::Uid ? ".uid" : ".sig");
    const std::string dir(userDir);
    if (std::optional<std::string> existing = platform::ResolveNoCase(dir, name)) {
        return platform::PathJoin(dir, *existing);
    }
    return platform::PathJoin(dir, name);
}

// ---- MailHostAccount ----

bool MailHostAccount::SetMailbox(std::string_view name)
{
    name = name.substr(0, kMaxMailboxName);
    if (!IsValidMailboxName(name)) {
        return false;
    }
    m_mailbox.assign(name);
    return true;
}

void MailHostAccount::SetFullName(std::string_view text)
{
    AssignField(m_fullName, text, kMaxText);
}

void MailHostAccount::SetEMail(std::string_view text)
{
    AssignField(m_email, text, kMaxText);
}

bool MailHostAccount::SetHost(std::string_view text)
{
    if (HasLineBreak(text)) {
        return false;
    }
    AssignField(m_host, text, kMaxText);
    return true;
}

bool MailHostAccount::SetUser(std::string_view text)
{
    if (HasLineBreak(text)) {
        return false;
    }
    AssignField(m_user, text, kMaxText);
    return true;
}

bool MailHostAccount::SetPass(std::string_view text)
{
    if (HasLineBreak(text)) {
        return false;
    }
    m_pass.assign(text);
    return true;
}

void MailHostAccount::SetColor(std::string_view text)
{
    AssignField(m_color, text, kMaxColor);
}

// ---- MailHostList ----

MailHostList::MailHostList(std::string_view userDir)
{
    Load(userDir);
}

std::string MailHostList::IniPath(std::string_view userDir)
{
    const std::string dir(userDir);
    return platform::PathJoin(dir, platform::ResolveNoCase(dir, kIniFileName).value_or(kIniFileName));
}

void MailHostList::Load(std::string_view userDir)
{
    m_accounts.clear();
    m_kept.clear();
    const std::string file = IniPath(userDir);
    // One version of the file for the whole list.
    const IniSnapshot ini = LoadIniCached(file);
    const std::string fullName = Text(*ini, kUserSection, "FullName", "");
    const std::string email = Text(*ini, kUserSection, "EMail", "");

    for (int n = 1;; ++n) {
        const std::string section = SectionFor(n);
        const std::string mailbox = Text(*ini, section, "Mailbox", "");
        if (mailbox.empty()) {
            break;
        }
        auto account = std::make_unique<MailHostAccount>();
        if (LoadAccount(file, *ini, section, mailbox, fullName, email, *account)) {
            m_accounts.push_back(std::move(account));
            continue;
        }
        // Another program may know what this section is; the next Save writes it back as it stands.
        ReportSkippedRecord(file, "section [" + section + "]",
                            "is no mail account here (its Mailbox cannot name a file in the user directory); it is "
                            "kept as it stands");
        m_kept.push_back(KeptSection{m_accounts.size(), n, ini->Entries(section)});
    }
    const bool hasDefault = std::ranges::any_of(m_accounts, [](const auto& a) { return a->Default(); });
    if (!hasDefault && !m_accounts.empty()) {
        m_accounts.front()->SetDefault(true);
    }
}

int MailHostList::Save(std::string_view userDir) const
{
    const std::string file = IniPath(userDir);
    std::vector<platform::IniChange> changes;
    int written = 0;
    auto writeKept = [&](const KeptSection& kept) {
        const std::string section = SectionFor(++written);
        if (kept.Number == written) {
            return; // still in its place: left byte for byte as it is
        }
        changes.push_back(platform::IniChange{section, std::string(), std::nullopt});
        for (const auto& [key, value] : kept.Entries) {
            changes.push_back(platform::IniChange{section, key, IniValueAsRead(value)});
        }
    };
    auto writeAccount = [&](const MailHostAccount& account) {
        const std::string section = SectionFor(++written);
        // A section that held a kept one goes first, so that none of its keys is left under the account.
        if (std::ranges::any_of(m_kept, [&](const KeptSection& kept) { return kept.Number == written; })) {
            changes.push_back(platform::IniChange{section, std::string(), std::nullopt});
        }
        AddChange(changes, section, "Mailbox", account.Mailbox());
        AddChange(changes, section, "FullName", account.FullName());
        AddChange(changes, section, "EMail", account.EMail());
        AddChange(changes, section, "Host", account.Host());
        AddChange(changes, section, "User", account.User());
        AddChange(changes, section, "Pass", StoredPass(account.Pass()));
        AddChange(changes, section, "Color", account.Color());
        AddChange(changes, section, "Port", std::to_string(account.Port()));
        AddChange(changes, section, "Default", account.Default() ? "Yes" : "No");
        AddChange(changes, section, "Active", account.Active() ? "Yes" : "No");
        AddChange(changes, section, "Delete", std::to_string(account.Delete()));
    };
    std::size_t nextKept = 0;
    for (std::size_t i = 0; i < m_accounts.size(); ++i) {
        for (; nextKept < m_kept.size() && m_kept[nextKept].Before <= i; ++nextKept) {
            writeKept(m_kept[nextKept]);
        }
        // An account without a name would end the list for the next reader and hide every account after it.
        if (!m_accounts[i]->Mailbox().empty()) {
            writeAccount(*m_accounts[i]);
        }
    }
    for (; nextKept < m_kept.size(); ++nextKept) {
        writeKept(m_kept[nextKept]);
    }
    // Every section past the last one written goes, not only the next one: a section left behind a gap would come
    // back as an account as soon as another program fills the gap. The deletions go in the same rewrite as the
    // accounts, so no reader sees an account twice and a failure leaves the old list whole.
    for (const std::string& name : LoadIniCurrent(file)->SectionNames()) {
        if (SectionNumber(name) > written) {
            changes.push_back(platform::IniChange{name, std::string(), std::nullopt});
        }
    }
    if (!changes.empty() && !WriteIniChangesFile(file, changes)) {
        return -1;
    }
    return written;
}

const char* MailHostList::FindMailbox(std::string_view name) const
{
    for (const auto& account : m_accounts) {
        if (EqualsNoCase(account->Mailbox(), name)) {
            return account->Mailbox().c_str();
        }
    }
    return nullptr;
}

MailHostAccount* MailHostList::Find(std::string_view name)
{
    for (const auto& account : m_accounts) {
        if (EqualsNoCase(account->Mailbox(), name)) {
            return account.get();
        }
    }
    return nullptr;
}

const MailHostAccount* MailHostList::Find(std::string_view name) const
{
    for (const auto& account : m_accounts) {
        if (EqualsNoCase(account->Mailbox(), name)) {
            return account.get();
        }
    }
    return nullptr;
}

int MailHostList::IndexOf(std::string_view name) const
{
    for (std::size_t i = 0; i < m_accounts.size(); ++i) {
        if (EqualsNoCase(m_accounts[i]->Mailbox(), name)) {
            return static_cast<int>(i);
        }
    }
    for (std::size_t i = 0; i < m_accounts.size(); ++i) {
        if (m_accounts[i]->Default()) {
            return static_cast<int>(i);
        }
    }
    return 0;
}

const std::string& MailHostList::GetDefaultMailbox()
{
    if (m_accounts.empty()) {
        m_empty = MailHostAccount();
        return m_empty.Mailbox();
    }
    for (const auto& account : m_accounts) {
        if (account->Default()) {
            return account->Mailbox();
        }
    }
    m_accounts.front()->SetDefault(true);
    return m_accounts.front()->Mailbox();
}

MailHostAccount& MailHostList::GetSystemAccount()
{
    if (m_accounts.empty()) {
        m_empty = MailHostAccount();
        return m_empty;
    }
    for (const auto& account : m_accounts) {
        if (account->System()) {
            return *account;
        }
    }
    m_accounts.front()->SetSystem(true);
    return *m_accounts.front();
}

MailHostAccount& MailHostList::NewAccount()
{
    m_accounts.push_back(std::make_unique<MailHostAccount>());
    return *m_accounts.back();
}

void MailHostList::RemoveAccount(int index)
{
    QM_ASSERT(index >= 0 && index < Count());
    m_accounts.erase(m_accounts.begin() + index);
    for (KeptSection& kept : m_kept) {
        if (kept.Before > static_cast<std::size_t>(index)) {
            --kept.Before;
        }
    }
}

MailHostAccount& MailHostList::Item(int index)
{
    QM_ASSERT(index >= 0 && index < Count());
    return *m_accounts[static_cast<std::size_t>(index)];
}

const MailHostAccount& MailHostList::Item(int index) const
{
    QM_ASSERT(index >= 0 && index < Count());
    return *m_accounts[static_cast<std::size_t>(index)];
}

} // namespace qm::store
