#include "portico/ServiceRecord.h"

#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "portico/AdminServer.h"

#include <cstdlib>
#include <filesystem>

namespace qm::portico {

ServiceConfig AdminServiceConfig(const std::string& programPath, const std::string& iniPath)
{
    static constexpr const char* kPassedOn[] = {"QUILLMAIL_IPC_NS", "QUILLMAIL_RUNTIME_DIR", "QUILLMAIL_REGISTRY"};
    std::error_code ignored;
    const std::filesystem::path ini = std::filesystem::absolute(iniPath, ignored).lexically_normal();
    ServiceConfig config;
    config.Name = kAdminServiceName;
    config.DisplayName = kAdminServiceDisplayName;
    config.ProgramPath = programPath;
    config.Environment.emplace_back("PATH=/usr/local/bin:/usr/bin:/bin");
    config.Environment.push_back("QUILLMAIL_INI=" + ini.string());
    for (const char* name : kPassedOn) {
        // Read by the program's one thread at start.
        const char* value = std::getenv(name); // NOLINT(concurrency-mt-unsafe)
        if (value != nullptr && *value != '\0') {
            config.Environment.push_back(std::string(name) + "=" + value);
        }
    }
    config.LogPath = (ini.parent_path() / "Logs" / "Portico-service.log").string();
    return config;
}

Result<void> InstallAdminService(const std::string& programPath, const std::string& iniPath)
{
    const ServiceConfig config = AdminServiceConfig(programPath, iniPath);
    (void)platform::MakeDirectories(platform::ParentDirectory(config.LogPath));
    return InstallService(config);
}

} // namespace qm::portico
