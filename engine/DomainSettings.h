// Domain settings and user preferences from Domains.Ini: a domain's own section falls back to the default one, and a
// user preference comes from the domain's overrides, the user's User.ini, or the domain's defaults. Reads go through
// the parsed copies of common/IniCache, checked against the files, so edits apply at the next use.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qm::engine {

/// File name of the domain settings in the base directory.
inline constexpr const char* kDomainsIniName = "Domains.Ini";

/// The path of Domains.Ini in baseDir: the file that is there whatever the case of its name, else "Domains.Ini".
std::string DomainsIniPathIn(const std::string& baseDir);

/// Adds every missing default of [Default:Settings] and [Default:UserDefaults] to Domains.Ini (path rebuilt from
/// [Directories] BaseDir first). `companionLoaded` decides the default of UseEmailForPopUser. True.
bool WriteDomainDefaults(bool companionLoaded);

/// The domains of Domains.Ini in file order: the name before the first ':' of every section whose name contains
/// ":Settings" (any case), [Default:Settings] excepted. Every section is listed, however many there are.
std::vector<std::string> ListDomains();

/// The domain's setting: its own section "<domain>:Settings", else [Default:Settings], else "". A key present with
/// an empty value ends the search with "".
std::string GetDomainSetting(std::string_view key, std::string_view domain);

/// As GetDomainSetting, then decoded as a stored secret (DecodeStoredSecret) in the section it was found in.
std::string GetDomainSecret(std::string_view key, std::string_view domain);

/// A setting's text as a number: the leading decimal number after blanks, with an optional sign (non-digits and ""
/// give 0), held to the range of int.
int DomainValueToInt(std::string_view text);

/// A setting's text as a boolean: true when its first character is '1', 'T', 't', 'Y' or 'y'.
bool DomainValueToBool(std::string_view text);

/// GetDomainSetting read as a decimal number (non-digits give 0).
int GetDomainInt(std::string_view key, std::string_view domain);

/// GetDomainSetting read as a boolean (first character '1', 'T', 't', 'Y' or 'y').
bool GetDomainBool(std::string_view key, std::string_view domain);

/// A stored secret made plain. A value starting with '-' is a plain secret waiting to be stored: the rest is
/// scrambled and written back to section and key of file, and is the result (so "-\dom" gives "\dom" now and at
/// every later read). A value starting with '\' or '*' (an NT domain, LDAP logon) is the result as it is; any
/// other value is unscrambled.
std::string DecodeStoredSecret(std::string_view section, std::string_view key, std::string_view value,
                               const std::string& file);

/// Where a user's preferences come from: the user's domain and the path of the user's User.ini.
struct UserSettingsSource {
    std::string Domain;
    std::string UserIni;
};

/// The user's preference: "<domain>:UserOverrides", [Default:UserOverrides], User.ini [User],
/// "<domain>:UserDefaults", [Default:UserDefaults]; the first present value wins; "" when none is.
std::string GetUserSetting(std::string_view key, const UserSettingsSource& user);

/// The same chain without the user's own file: what the user gets when he sets nothing.
std::string GetInheritedUserSetting(std::string_view key, std::string_view domain);

int GetUserInt(std::string_view key, const UserSettingsSource& user);
bool GetUserBool(std::string_view key, const UserSettingsSource& user);

/// Stores the user's preference in User.ini [User], or removes the key there when value equals the inherited value
/// exactly, so that the file holds only the user's differences.
void SetUserSetting(std::string_view key, const UserSettingsSource& user, std::string_view value);

/// One preference and its new value.
struct UserSettingChange {
    std::string Key;
    std::string Value;
};

/// SetUserSetting for every change, in one rewrite of User.ini; of two changes of one key the later wins. False
/// when the file could not be written (a value holding CR or LF fails it).
bool SetUserSettings(const UserSettingsSource& user, const std::vector<UserSettingChange>& changes);

/// The key of [Default:UserDefaults] that key names (ASCII case ignored), in its own spelling, when it is one the
/// user may change himself: every preference but the quotas MessageCountQuota and DiskSpaceQuota. Null for any
/// other key (Password, Active, SendWelcome, administrative keys, keys holding '=', '[', ']', CR or LF).
const char* UserPreferenceKey(std::string_view key);

} // namespace qm::engine
