// ServerConfig: the main web server's settings, read from the engine INI at start and written back.
#pragma once

#include "base/Result.h"
#include "webserver/HttpServer.h"

#include <cstdint>
#include <string>

namespace qm {

/// Name of the engine INI beside the program when QUILLMAIL_INI does not name one.
inline constexpr const char* kEngineIniName = "Quillmail.ini";

/// Bound of the threads that run the engine's Main at the same time.
inline constexpr size_t kMaxMainThreads = 256;

struct ServerConfig {
    std::string IniPath;
    std::string InstallDir; // the directory of the INI
    std::string CgiFile;    // full path of the engine library
    std::string LogDir;
    int64_t MaxLogFileSizeKb = 5000;
    HttpServerSettings Http;
};

/// The engine INI's path: $QUILLMAIL_INI when set and not empty, else Quillmail.ini in the program's directory.
Result<std::string> FindEngineIni();

/// Reads the settings from the INI at `iniPath` and writes every key it read back with its value or default:
/// `[WebServer]` `Port` (2000), `BindAddress` ("0.0.0.0"), `HtmlDir` ("<installation>/HTML"), `CgiFile1`
/// ("Quillmail.so"), `CgiBase1` ("/mail"), `ConnectionTimeout` (30 seconds of silence), `MaxConnections` (512),
/// `MaxConnectionsPerAddress` (32), `HeadTimeout` (15 seconds for a whole request head), `MinBodyRate` (1024
/// bytes a second on average, 0: no minimum) counted after `MinBodyRateAfter` (10 seconds) of an upload, and
/// `PageTimeout` (60 seconds, on top of ConnectionTimeout, for the engine to begin its reply, else 504);
/// `[Directories]` `LogDir` ("<installation>/Logs") and `TempDir` ("<installation>/Temp"); `[General]`
/// `MaxLogFileSize` (5000 KB). Relative paths are taken from the installation directory. Fails when the file
/// does not exist or a number is out of range.
Result<ServerConfig> LoadServerConfig(const std::string& iniPath);

} // namespace qm
