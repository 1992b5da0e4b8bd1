// The service record of the main web server: what `Quillmail --install` (and the installation step) writes so
// that the service layer can start and restart the server, and what `Quillmail --remove` deletes.
#pragma once

#include "base/Result.h"
#include "platform/Service.h"

#include <string>

namespace qm {

/// The record of the service "Quillmail" for the program at `programPath` (absolute): no arguments, the
/// environment the program needs to find its installation (QUILLMAIL_INI set to `iniPath`, made absolute; and
/// QUILLMAIL_IPC_NS, QUILLMAIL_RUNTIME_DIR, QUILLMAIL_REGISTRY as the caller has them), and its standard output
/// and error appended to "Logs/Quillmail-service.log" beside the INI.
ServiceConfig WebServerServiceConfig(const std::string& programPath, const std::string& iniPath);

/// Installs the record of WebServerServiceConfig, replacing a record already there (so that installing again
/// after a move or an upgrade updates it), and creates the log's directory. A running server goes on running.
Result<void> InstallWebServerService(const std::string& programPath, const std::string& iniPath);

/// Removes the record. ENOENT when none is installed. A running server goes on running.
Result<void> RemoveWebServerService();

} // namespace qm
