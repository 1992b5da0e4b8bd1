#include "engine/DomainSettings.h"

#include "common/IniAccess.h"
#include "common/IniCache.h"
#include "common/Scrambler.h"
#include "common/StringUtil.h"
#include "engine/Engine.h"
#include "platform/IniFile.h"
#include "platform/Path.h"

#include <algorithm>
#include <climits>
#include <utility>
#include <vector>

namespace qm::engine {
namespace {

constexpr const char* kDefaultSettings = "Default:Settings";
constexpr const char* kDefaultOverrides = "Default:UserOverrides";
constexpr const char* kDefaultUserDefaults = "Default:UserDefaults";

struct DefaultValue {
    const char* Key;
    const char* Value;
};

constexpr DefaultValue kSettingDefaults[] = {
        {"DefaultDomain", ""},
        {"Port", "2000"},
        {"Bind", "No"},
        {"SmtpHost", "mail"},
        {"SmtpPort", "25"},
        {"AutoAccountCreation", "Yes"},
        {"NewAccountCreation", "No"},
        {"NewAccountPassword", ""},
        {"NewAccountExecutable", ""},
        {"NewAccountReturnValue", "0"},
        {"PopHost", ""},
        {"PopPort", "110"},
        {"PopDelete", "1"},
        {"SyncSystemMailbox", "Yes"},
        {"UseEmailForPopUser", nullptr}, // "Yes" with the companion's user library, else "No"
        {"EnforceQuotas", "No"},
};

constexpr DefaultValue kUserDefaults[] = {
        {"Lang", "en"},
        {"Theme", "Globe"},
        {"Style", "Normal"},
        {"EmptyTrash", "No"},
        {"SaveSentMail", "Yes"},
        {"AddRepliesToAddrBook", "No"},
        {"MultipartPrefer", "text/html"},
        {"AddrBookSortOrder", "Name"},
        {"ListPerPage", "25"},
        {"ListAllAttach", "No"},
        {"ListSortOrder", "RevDate"},
        {"ListRefreshTime", "10"},
        {"ListShowByAddress", "0"},
        {"AdvancedCompose", "No"},
        {"ComposeWidth", "74"},
        {"ComposeHeight", "16"},
        {"SpellCheckBeforeSend", "No"},
        {"SpellCheckIgnoreAllCaps", "No"},
        {"SpellCheckIgnoreMixedDigits", "No"},
        {"MessageCountQuota", "0"},
        {"DiskSpaceQuota", "0"},
};

std::string Section(std::string_view domain, std::string_view kind)
{
    std::string name(domain);
    name += ':';
    name += kind;
    return name;
}

// The first section of the chain that holds key, with its value.
struct Found {
    std::string Section;
    std::string Value;
};

std::optional<Found> FindInChain(const platform::IniDocument& document, std::string_view key,
                                 std::initializer_list<std::string> sections)
{
    for (const std::string& section : sections) {
        if (auto value = document.Get(section, key)) {
            return Found{section, std::move(*value)};
        }
    }
    return std::nullopt;
}

std::optional<Found> FindDomainSetting(std::string_view key, std::string_view domain)
{
    const IniSnapshot document = LoadIniCached(DomainsIniPath());
    return FindInChain(*document, key, {Section(domain, "Settings"), kDefaultSettings});
}

} // namespace

int DomainValueToInt(std::string_view text)
{
    return IniTextToInt(text);
}

bool DomainValueToBool(std::string_view text)
{
    return IniTextToBool(text);
}

std::string DomainsIniPathIn(const std::string& baseDir)
{
    return platform::PathJoin(baseDir, platform::ResolveNoCase(baseDir, kDomainsIniName).value_or(kDomainsIniName));
}

bool WriteDomainDefaults(bool companionLoaded)
{
    const std::string path = DomainsIniPathIn(ReadIniString("Directories", "BaseDir", InstallDir()));
    SetDomainsIniPath(path);
    const IniSnapshot document = LoadIniCached(path);
    std::vector<platform::IniChange> changes;
    for (const DefaultValue& entry : kSettingDefaults) {
        if (!document->Get(kDefaultSettings, entry.Key)) {
            const char* value = entry.Value != nullptr ? entry.Value : (companionLoaded ? "Yes" : "No");
            changes.push_back({kDefaultSettings, entry.Key, std::string(value)});
        }
    }
    for (const DefaultValue& entry : kUserDefaults) {
        if (!document->Get(kDefaultUserDefaults, entry.Key)) {
            changes.push_back({kDefaultUserDefaults, entry.Key, std::string(entry.Value)});
        }
    }
    if (!changes.empty()) {
        (void)platform::IniWriteMany(path, changes);
        NoteIniWritten(path);
    }
    return true;
}

std::vector<std::string> ListDomains()
{
    std::vector<std::string> domains;
    for (std::string& section : LoadIniCached(DomainsIniPath())->SectionNames()) {
        if (FindNoCase(section.c_str(), ":Settings") == nullptr || EqualsNoCase(section, kDefaultSettings)) {
            continue;
        }
        section.resize(section.find(':'));
        domains.push_back(std::move(section));
    }
    return domains;
}

std::string GetDomainSetting(std::string_view key, std::string_view domain)
{
    auto found = FindDomainSetting(key, domain);
    return found ? std::move(found->Value) : std::string();
}

std::string GetDomainSecret(std::string_view key, std::string_view domain)
{
    auto found = FindDomainSetting(key, domain);
    if (!found) {
        return {};
    }
    return DecodeStoredSecret(found->Section, key, found->Value, DomainsIniPath());
}

int GetDomainInt(std::string_view key, std::string_view domain)
{
    return DomainValueToInt(GetDomainSetting(key, domain));
}

bool GetDomainBool(std::string_view key, std::string_view domain)
{
    return DomainValueToBool(GetDomainSetting(key, domain));
}

std::string DecodeStoredSecret(std::string_view section, std::string_view key, std::string_view value,
                               const std::string& file)
{
    if (!value.empty() && value.front() == '-') {
        const std::string_view plain = value.substr(1);
        // Replaced only while the key still holds the form read, so that a secret another process set meanwhile
        // is not overwritten with this older one.
        (void)platform::IniReplaceValue(file, section, key, value, ScramblePassword(plain));
        NoteIniWritten(file);
        return std::string(plain);
    }
    if (!value.empty() && (value.front() == '\\' || value.front() == '*')) {
        return std::string(value);
    }
    return UnscramblePassword(value);
}

std::string GetUserSetting(std::string_view key, const UserSettingsSource& user)
{
    const IniSnapshot domains = LoadIniCached(DomainsIniPath());
    if (auto found = FindInChain(*domains, key, {Section(user.Domain, "UserOverrides"), kDefaultOverrides})) {
        return std::move(found->Value);
    }
    if (auto own = LoadIniCached(user.UserIni)->Get("User", key)) {
        return std::move(*own);
    }
    auto found = FindInChain(*domains, key, {Section(user.Domain, "UserDefaults"), kDefaultUserDefaults});
    return found ? std::move(found->Value) : std::string();
}

std::string GetInheritedUserSetting(std::string_view key, std::string_view domain)
{
    const IniSnapshot domains = LoadIniCached(DomainsIniPath());
    auto found = FindInChain(*domains, key,
                             {Section(domain, "UserOverrides"), kDefaultOverrides, Section(domain, "UserDefaults"),
                              kDefaultUserDefaults});
    return found ? std::move(found->Value) : std::string();
}

int GetUserInt(std::string_view key, const UserSettingsSource& user)
{
    return DomainValueToInt(GetUserSetting(key, user));
}

bool GetUserBool(std::string_view key, const UserSettingsSource& user)
{
    return DomainValueToBool(GetUserSetting(key, user));
}

void SetUserSetting(std::string_view key, const UserSettingsSource& user, std::string_view value)
{
    (void)SetUserSettings(user, {{std::string(key), std::string(value)}});
}

bool SetUserSettings(const UserSettingsSource& user, const std::vector<UserSettingChange>& changes)
{
    // A key that already holds what is set (or is already missing) leaves the file untouched.
    std::vector<platform::IniChange> writes;
    for (const UserSettingChange& change : changes) {
        std::optional<std::string> stored;
        if (change.Value != GetInheritedUserSetting(change.Key, user.Domain)) {
            stored = change.Value;
        }
        writes.push_back({"User", change.Key, std::move(stored)});
    }
    return writes.empty() || WriteIniChangesFile(user.UserIni, writes);
}

const char* UserPreferenceKey(std::string_view key)
{
    for (const DefaultValue& entry : kUserDefaults) {
        if (EqualsNoCase(entry.Key, key)) {
            // The quotas are the administrator's, though their defaults live beside the preferences.
            const bool quota = EqualsNoCase(key, "MessageCountQuota") || EqualsNoCase(key, "DiskSpaceQuota");
            return quota ? nullptr : entry.Key;
        }
    }
    return nullptr;
}

} // namespace qm::engine
