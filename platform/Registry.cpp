#include "platform/Registry.h"

#include "platform/FileSystem.h"
#include "platform/IniFile.h"
#include "platform/Path.h"

#include <cstdlib>

namespace qm::platform {

std::string RegistryFilePath()
{
    // NOLINTNEXTLINE(concurrency-mt-unsafe): the process environment is set before any thread starts.
    const char* env = std::getenv("QUILLMAIL_REGISTRY");
    if (env != nullptr && *env != '\0') {
        return env;
    }
    return "/etc/quillmail/registry.ini";
}

bool RegSetString(std::string_view keyPath, std::string_view name, std::string_view value)
{
    std::string file = RegistryFilePath();
    if (!MakeDirectories(ParentDirectory(file))) {
        return false;
    }
    std::string_view section = keyPath;
    return IniWrite(file, section, name, value).has_value();
}

std::optional<std::string> RegGetString(std::string_view keyPath, std::string_view name)
{
    std::string_view section = keyPath;
    return IniRead(RegistryFilePath(), section, name);
}

} // namespace qm::platform
