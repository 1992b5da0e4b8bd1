#include "gui/model/ShellOpen.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace qm::gui {

std::optional<std::vector<std::string>> ShellOpenArgv(std::string_view verb, std::string_view target,
                                                      std::string_view opener)
{
    if (!verb.empty() && verb != "open") {
        return std::nullopt;
    }
    const bool control = std::any_of(target.begin(), target.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u < 0x20 || u == 0x7F;
    });
    if (target.empty() || control || target.front() == '-' || opener.empty()) {
        return std::nullopt;
    }
    return std::vector<std::string>{std::string(opener), std::string(target)};
}

std::optional<std::string> FindProgramOnPath(std::string_view name, std::string_view searchPath)
{
    if (name.empty() || name.find('/') != std::string_view::npos) {
        return std::nullopt;
    }
    std::size_t start = 0;
    while (start <= searchPath.size()) {
        const std::size_t end = std::min(searchPath.find(':', start), searchPath.size());
        const std::string_view dir = searchPath.substr(start, end - start);
        start = end + 1;
        if (dir.empty() || dir.front() != '/') {
            continue;
        }
        std::string candidate(dir);
        if (candidate.back() != '/') {
            candidate += '/';
        }
        candidate += name;

        std::error_code error;
        const std::filesystem::file_status status = std::filesystem::status(candidate, error);
        constexpr auto kRunnable = std::filesystem::perms::owner_exec | std::filesystem::perms::group_exec |
                                   std::filesystem::perms::others_exec;
        if (!error && std::filesystem::is_regular_file(status) &&
            (status.permissions() & kRunnable) != std::filesystem::perms::none) {
            return candidate;
        }
    }
    return std::nullopt;
}

} // namespace qm::gui
