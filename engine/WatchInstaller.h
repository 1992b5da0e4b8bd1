// The download of the watch program's installer: the installer template with a settings file added to its archive
// that holds the engine's address and the user's name and scrambled password.
#pragma once

#include "common/Log.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace qm::engine {

class Request;

/// The View value that asks for the download, and the names inside the installation and the archive.
inline constexpr std::string_view kWatchInstallerView = "QMWatchInstall.exe";
inline constexpr const char* kWatchInstallerFile = "QmWatchInstall.exe";
inline constexpr const char* kWatchSettingsName = "qmwatch.ini";

/// The largest installer template sent; a larger file is not read.
inline constexpr std::uint64_t kMaxWatchInstallerBytes = std::uint64_t{64} << 20;

/// True for the View value of the download (any case), while [QMWatch] UseQMWatch is on.
bool IsWatchInstallerRequest(std::string_view view);

/// What the settings file says. Values from the request's environment are cleaned first: the server name keeps
/// only the bytes of a host name or address (letters, digits, '.', '-', ':', '[', ']'), a port of anything but one
/// to five digits is left out, the script name and the user keep only printable bytes; each is cut to 255 bytes.
struct WatchSettings {
    std::string_view ServerName;
    std::string_view ServerPort;
    std::string_view ScriptName;
    std::string_view User;
    std::string_view Password; // plain; written scrambled
};

/// The text of qmwatch.ini: section [QMWatch] with URL ("http://name:port/script", without ":port" for port 80),
/// User and Password, CR LF line ends.
std::string WatchSettingsText(const WatchSettings& settings);

/// Copies the template to archivePath and adds the settings file to that archive (replacing one there). False when
/// the template is missing, not a regular file, larger than kMaxWatchInstallerBytes, or cannot be copied; a copy
/// that is no archive libzip can open is left as it is (logged), so the plain installer is sent.
bool PackageWatchInstaller(const std::string& templatePath, const std::string& archivePath,
                           std::string_view settingsText, Logger& log);

/// The whole response of the download for the request's session: the packaged installer as
/// application/octet-stream with its length; an empty plain answer when there is no template. The work file (a
/// dot-name in the session's temporary directory, so it never counts as an attachment) is removed after.
void SendWatchInstaller(Request& request);

} // namespace qm::engine
