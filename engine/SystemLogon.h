// Logon with the system's own passwords, through PAM: a stored password "\" followed by a domain names the PAM
// service that checks the typed password.
#pragma once

#include "common/Log.h"
#include "engine/Logon.h"

#include <optional>
#include <string>
#include <string_view>

namespace qm::engine {

/// The PAM service that checks the user's password.
inline constexpr const char* kDefaultPamService = "quillmail";

/// The environment variable naming a directory of PAM service files to use instead of the system's.
inline constexpr const char* kPamConfDirVariable = "QUILLMAIL_PAM_CONFDIR";

/// The PAM service of a stored password "\domain" (every '\' of the domain removed): an empty domain, "." (the
/// local machine) and "NT_ANY" (any case) give kDefaultPamService; any other domain is the service of that name
/// in lower case when it is 1 to 32 letters, digits, '_', '-' and '.', starting with a letter or digit. nullopt
/// for any other domain (no such service is ever asked for).
std::optional<std::string> PamServiceFor(std::string_view stored);

/// Checks the typed password of the account (user up to its first '@') with the PAM service of stored: its
/// authentication and its account check must both pass. Refused, with the PAM error logged, when they do not.
LogonResult PamLogon(std::string_view user, std::string_view stored, std::string_view typed, Logger& log);

} // namespace qm::engine
