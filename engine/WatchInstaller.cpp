#include "engine/WatchInstaller.h"

#include "common/IniAccess.h"
#include "common/Scrambler.h"
#include "common/StringUtil.h"
#include "engine/Logon.h"
#include "engine/PageChoice.h"
#include "engine/Request.h"
#include "engine/Session.h"
#include "engine/StatusCheck.h"
#include "platform/FileSystem.h"
#include "platform/Path.h"

#include <zip.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <memory>
#include <string>

namespace qm::engine {
namespace {

constexpr std::size_t kMaxSettingValue = 255;
constexpr std::size_t kSendBlock = 4096;

template <class Keep>
std::string Cleaned(std::string_view text, Keep keep)
{
    std::string kept;
    for (const char c : text) {
        if (kept.size() == kMaxSettingValue) {
            break;
        }
        if (keep(static_cast<unsigned char>(c))) {
            kept += c;
        }
    }
    return kept;
}

bool HostByte(unsigned char c)
{
    return std::isalnum(c) != 0 || c == '.' || c == '-' || c == ':' || c == '[' || c == ']';
}

bool PrintableByte(unsigned char c)
{
    return c > 0x20 && c < 0x7F;
}

// The password the settings carry: the stored one, or for a directory or system logon the one typed at logon.
std::string WatchPassword(const UserRecord& user)
{
    if (IsStoredPasswordReference(user.Password())) {
        return user.OwnPassword();
    }
    return user.Password();
}

} // namespace

bool IsWatchInstallerRequest(std::string_view view)
{
    return EqualsNoCase(view, kWatchInstallerView) && UseWatchProgram();
}

std::string WatchSettingsText(const WatchSettings& settings)
{
    const std::string name = Cleaned(settings.ServerName, HostByte);
    std::string port(settings.ServerPort);
    if (port.empty() || port.size() > 5 ||
        !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        port = "80"; // no usable port: the URL names none
    }
    const std::string script = Cleaned(settings.ScriptName, PrintableByte);
    std::string url = "http://" + name;
    if (port != "80") {
        url += ":" + port;
    }
    url += script;
    const std::string user = Cleaned(settings.User, PrintableByte);
    return "[QMWatch]\r\nURL=" + url + "\r\nUser=" + user + "\r\nPassword=" + ScramblePassword(settings.Password) +
           "\r\n";
}

bool PackageWatchInstaller(const std::string& templatePath, const std::string& archivePath,
                           std::string_view settingsText, Logger& log)
{
    const std::optional<std::uint64_t> size = platform::FileSize(templatePath);
    if (!platform::IsRegularFile(templatePath) || !size || *size > kMaxWatchInstallerBytes) {
        log.Log(3, "The watch program's installer %s is missing or too large.", templatePath.c_str());
        return false;
    }
    if (!platform::CopyFile(templatePath, archivePath, platform::CopyMode::Overwrite)) {
        log.Log(3, "The watch program's installer could not be copied to %s.", archivePath.c_str());
        return false;
    }
    int error = 0;
    zip_t* archive = zip_open(archivePath.c_str(), 0, &error);
    if (archive == nullptr) {
        log.Log(2, "The watch program's installer is no archive (libzip error %d): sent without its settings.", error);
        return true;
    }
    zip_source_t* source = zip_source_buffer(archive, settingsText.data(), settingsText.size(), 0);
    if (source == nullptr ||
        zip_file_add(archive, kWatchSettingsName, source, ZIP_FL_OVERWRITE | ZIP_FL_ENC_UTF_8) < 0) {
        if (source != nullptr) {
            zip_source_free(source);
        }
        log.Log(3, "The settings could not be added to the watch program's installer: %s.", zip_strerror(archive));
        zip_discard(archive);
        return true;
    }
    if (zip_close(archive) != 0) {
        log.Log(3, "The watch program's installer could not be written: %s.", zip_strerror(archive));
        zip_discard(archive);
        // A failed close may leave a damaged copy: start again from the template and send it plain.
        return static_cast<bool>(platform::CopyFile(templatePath, archivePath, platform::CopyMode::Overwrite));
    }
    return true;
}

void SendWatchInstaller(Request& request)
{
    engine::Session* session = request.CurrentSession();
    if (session == nullptr) {
        return;
    }
    const CgiInput& input = request.Input();
    const UserRecord& user = session->User();
    const std::string password = WatchPassword(user);
    const std::string settings = WatchSettingsText({input.GetEnv("SERVER_NAME"), input.GetEnv("SERVER_PORT"),
                                                    input.GetEnv("SCRIPT_NAME"), user.Name(), password});
    const std::optional<std::string> templatePath = platform::ResolvePathNoCase(HtmlDirectory(), kWatchInstallerFile);
    const std::string archivePath = platform::PathJoin(session->TempDir(), std::string(".") + kWatchInstallerFile);
    const bool packaged = templatePath && PackageWatchInstaller(*templatePath, archivePath, settings, request.Log());
    request.WriteOwnResponse([&](std::FILE* out) {
        std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(packaged ? std::fopen(archivePath.c_str(), "rb") : nullptr,
                                                             &std::fclose);
        const std::optional<std::uint64_t> size = platform::FileSize(archivePath);
        if (!file || !size) {
            constexpr std::string_view kEmpty = "Content-type: text/plain\r\nExpires: 0\r\nPragma: no-cache\r\n\r\n";
            (void)std::fwrite(kEmpty.data(), 1, kEmpty.size(), out);
            return;
        }
        const std::string head = "Content-type: application/octet-stream\r\nContent-length: " + std::to_string(*size) +
                                 "\r\nExpires: 0\r\nPragma: no-cache\r\n\r\n";
        (void)std::fwrite(head.data(), 1, head.size(), out);
        std::array<char, kSendBlock> block{};
        std::uint64_t left = *size;
        while (left > 0) {
            const std::size_t got = std::fread(block.data(), 1, block.size(), file.get());
            if (got == 0) {
                break;
            }
            const std::size_t sent = static_cast<std::size_t>(std::min<std::uint64_t>(got, left));
            (void)std::fwrite(block.data(), 1, sent, out);
            left -= sent;
        }
    });
    (void)platform::RemoveFile(archivePath);
}

} // namespace qm::engine
