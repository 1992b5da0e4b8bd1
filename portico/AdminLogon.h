// The first logon of the admin web server: made by the installation while [AdminWebServer] Auth is empty, so that
// the server is never left to whoever reaches it.
#pragma once

#include "base/Result.h"

#include <string>

namespace qm::portico {

/// The user name of the logon the installation makes.
inline constexpr const char* kAdminLogonUser = "admin";

/// The file beside the INI that tells the administrator that logon.
inline constexpr const char* kAdminLogonFileName = "AdminLogon.txt";

/// Length of the password made, from letters and digits (about 119 bits).
inline constexpr std::size_t kAdminPasswordLength = 20;

/// A password of kAdminPasswordLength letters and digits from the system's random source.
Result<std::string> MakeAdminPassword();

/// While [AdminWebServer] Auth of the main INI (which must be set) is empty: makes a logon for kAdminLogonUser with
/// a new password, writes it into kAdminLogonFileName beside the INI (a new file, readable by its owner only; what
/// was there before, a symbolic link too, is replaced, never followed) and then stores it scrambled as Auth. Returns
/// the file's path, or "" when Auth was set already (nothing is changed then).
Result<std::string> MakeAdminLogonIfNone(const std::string& iniPath);

} // namespace qm::portico
