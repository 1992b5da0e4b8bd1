// The POSIX shared memory objects of one test namespace, as the shared memory file system lists them, so that a test
// can show that it leaves none behind and a fixture can remove what a failed test left.
#pragma once

#include <algorithm>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace qm::test {

inline constexpr const char* kShmDirectory = "/dev/shm";

/// The names (without the leading '/') of the objects "/qm.<ns>.*" that exist now, sorted.
inline std::vector<std::string> ShmObjectsOf(std::string_view ns)
{
    const std::string prefix = "qm." + std::string(ns) + ".";
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(kShmDirectory, ec)) {
        std::string name = entry.path().filename().string();
        if (name.starts_with(prefix)) {
            names.push_back(std::move(name));
        }
    }
    std::ranges::sort(names);
    return names;
}

/// Removes every object of the namespace; returns the names it removed.
inline std::vector<std::string> RemoveShmObjectsOf(std::string_view ns)
{
    std::vector<std::string> names = ShmObjectsOf(ns);
    for (const std::string& name : names) {
        std::error_code ignored;
        std::filesystem::remove(std::filesystem::path(kShmDirectory) / name, ignored);
    }
    return names;
}

} // namespace qm::test
