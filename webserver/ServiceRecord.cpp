#include "webserver/ServiceRecord.h"

#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "webserver/WebServerProgram.h"

#include <cstdlib>
#include <filesystem>

namespace qm {
namespace {

// The search path of the service's program; the service does not inherit the installer's.
constexpr const char* kServicePath = "PATH=/usr/local/bin:/usr/bin:/bin";

// Variables that place an installation's shared objects, runtime files and registry, passed on as the installer
// has them.
constexpr const char* kPassedOn[] = {"QUILLMAIL_IPC_NS", "QUILLMAIL_RUNTIME_DIR", "QUILLMAIL_REGISTRY"};

} // namespace

ServiceConfig WebServerServiceConfig(const std::string& programPath, const std::string& iniPath)
{
    std::error_code ignored;
    const std::filesystem::path ini = std::filesystem::absolute(iniPath, ignored).lexically_normal();
    ServiceConfig config;
    config.Name = kWebServerServiceName;
    config.DisplayName = "Quillmail Web Server";
    config.ProgramPath = programPath;
    config.Environment.emplace_back(kServicePath);
    config.Environment.push_back("QUILLMAIL_INI=" + ini.string());
    for (const char* name : kPassedOn) {
        // Read once by a program that has started no thread.
        if (const char* value = std::getenv(name);
            value != nullptr && *value != '\0') { // NOLINT(concurrency-mt-unsafe)
            config.Environment.push_back(std::string(name) + "=" + value);
        }
    }
    config.LogPath = (ini.parent_path() / "Logs" / "Quillmail-service.log").string();
    return config;
}

Result<void> InstallWebServerService(const std::string& programPath, const std::string& iniPath)
{
    const ServiceConfig config = WebServerServiceConfig(programPath, iniPath);
    (void)platform::MakeDirectories(platform::ParentDirectory(config.LogPath));
    if (IsServiceInstalled(config.Name)) {
        Result<void> removed = RemoveService(config.Name);
        if (!removed) {
            return removed;
        }
    }
    return InstallService(config);
}

Result<void> RemoveWebServerService()
{
    return RemoveService(kWebServerServiceName);
}

} // namespace qm
