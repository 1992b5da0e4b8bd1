// The service record of the admin web server "QMAdmin", written at its first start as a service.
#pragma once

#include "base/Result.h"
#include "platform/Service.h"

#include <string>

namespace qm::portico {

/// The record for the program at `programPath`: no arguments, QUILLMAIL_INI set to `iniPath` (absolute), the
/// variables that place the installation's runtime files passed on as the caller has them, and the program's
/// output appended to "Logs/Portico-service.log" beside the INI.
ServiceConfig AdminServiceConfig(const std::string& programPath, const std::string& iniPath);

/// Installs that record and creates the directory of its log. EEXIST when the service is installed already.
Result<void> InstallAdminService(const std::string& programPath, const std::string& iniPath);

} // namespace qm::portico
