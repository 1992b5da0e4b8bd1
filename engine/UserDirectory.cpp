#include "engine/UserDirectory.h"

#include "base/Assert.h"
#include "common/IniAccess.h"
#include "engine/Engine.h"
#include "platform/FileSystem.h"
#include "platform/Path.h"

namespace qm::engine {
namespace {

std::string DirectorySetting(const char* key, const char* name)
{
    return ReadIniString("Directories", key, platform::PathJoin(InstallDir(), name));
}

} // namespace

std::string UserDirRoot()
{
    return DirectorySetting("UserDir", "Users");
}

std::string TempDirRoot()
{
    return DirectorySetting("TempDir", "Temp");
}

std::optional<std::string> FindUserDirName(std::string_view name)
{
    if (!IsValidUserName(name)) {
        return std::nullopt;
    }
    const std::string root = UserDirRoot();
    auto found = platform::ResolveNoCase(root, name);
    if (!found || !platform::IsDirectory(platform::PathJoin(root, *found))) {
        return std::nullopt;
    }
    return found;
}

std::string UserDirPath(std::string_view name)
{
    QM_ASSERT(IsValidUserName(name));
    const std::string root = UserDirRoot();
    const auto found = platform::ResolveNoCase(root, name);
    return platform::PathJoin(root, found ? std::string_view(*found) : name);
}

bool UserDirExists(std::string_view name)
{
    return FindUserDirName(name).has_value();
}

bool MakeUserDir(std::string_view name)
{
    if (!IsValidUserName(name)) {
        return false;
    }
    const std::string root = UserDirRoot();
    if (platform::ResolveNoCase(root, name)) {
        return false;
    }
    (void)platform::MakeDirectories(root);
    return platform::MakeDirectory(platform::PathJoin(root, name)).has_value();
}

} // namespace qm::engine
