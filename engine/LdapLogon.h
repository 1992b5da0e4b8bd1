// Logon against an LDAP directory: the user's entry is looked up with an anonymous bind, and the typed password
// is compared with the entry's password attribute.
#pragma once

#include "common/Log.h"
#include "engine/LdapLibrary.h"
#include "engine/Logon.h"

#include <optional>
#include <string>
#include <string_view>

namespace qm::engine {

/// The value escaped for a search filter: '*', '(', ')', '\' and NUL become "\2a", "\28", "\29", "\5c" and "\00",
/// so that no value can add a wildcard or a clause to the filter.
std::string EscapeLdapFilterValue(std::string_view value);

/// pattern with every "USER" (in any letter case) replaced by the escaped user name.
std::string LdapFilterFor(std::string_view pattern, std::string_view user);

/// The URI of a directory host: "ldap://host:389", or "ldap://host:port" for a host given with its port (an IPv6
/// address in brackets). nullopt for an empty host or one holding anything but letters, digits, '.', '-', '_',
/// ':', '[' and ']', so that no host text can change the URI's scheme, path or options.
std::optional<std::string> LdapUriFor(std::string_view host);

/// The directory logon of user with the stored password "*" or "*host" (host overrides [LDAPAuth] Host): an
/// anonymous bind, a search under [LDAPAuth] Base with the filter [LDAPAuth] Filter for the user, and then the
/// first entry's NameAttr value must equal the user name ignoring case and its PassAttr value the typed password
/// exactly. ServiceFailed without the library, when the server cannot be reached, or the bind or search fails. An
/// empty typed password is refused before anything is sent.
LogonResult LdapLogon(const LdapLibrary* library, std::string_view user, std::string_view stored,
                      std::string_view typed, Logger& log);

} // namespace qm::engine
