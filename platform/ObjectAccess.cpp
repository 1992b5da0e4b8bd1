#include "platform/ObjectAccess.h"

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <string>
#include <vector>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qm::platform {

namespace {

// The group id of a group's name or number; -1 when the system knows no such group.
long LookUpGroup(const std::string& group)
{
    std::vector<char> buffer(16384);

    struct group entry {};
    struct group* found = nullptr;
    unsigned long number = 0;
    const char* end = group.data() + group.size();
    if (auto [ptr, ec] = std::from_chars(group.data(), end, number); ec == std::errc() && ptr == end) {
        if (number > static_cast<gid_t>(-1) - 1UL ||
            ::getgrgid_r(static_cast<gid_t>(number), &entry, buffer.data(), buffer.size(), &found) != 0) {
            return -1;
        }
    } else if (::getgrnam_r(group.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0) {
        return -1;
    }
    return found != nullptr ? static_cast<long>(found->gr_gid) : -1;
}

// fchown() to the group succeeds only for root or for a group the process is in.
bool MayGiveGroup(gid_t gid)
{
    if (::geteuid() == 0 || ::getegid() == gid) {
        return true;
    }
    const int count = ::getgroups(0, nullptr);
    if (count <= 0) {
        return false;
    }
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    const int filled = ::getgroups(count, groups.data());
    for (int i = 0; i < filled; ++i) {
        if (groups[static_cast<std::size_t>(i)] == gid) {
            return true;
        }
    }
    return false;
}

} // namespace

ObjectAccess SharedObjectAccessFor(std::string_view group)
{
    if (group.empty()) {
        return {};
    }
    const long gid = LookUpGroup(std::string(group));
    if (gid < 0 || !MayGiveGroup(static_cast<gid_t>(gid))) {
        return {};
    }
    return ObjectAccess{kOwnerAndGroupMode, gid};
}

ObjectAccess SharedObjectAccess()
{
    const char* group = std::getenv(kAdminGroupEnv); // NOLINT(concurrency-mt-unsafe): read-only use
    return SharedObjectAccessFor(group != nullptr ? std::string_view(group) : std::string_view());
}

int ApplyAccess(int fd, const ObjectAccess& access)
{
    if (access.Group >= 0 && ::fchown(fd, static_cast<uid_t>(-1), static_cast<gid_t>(access.Group)) != 0) {
        return errno;
    }
    if (::fchmod(fd, static_cast<mode_t>(access.Mode)) != 0) {
        return errno;
    }
    return 0;
}

unsigned DirectoryMode(const ObjectAccess& access)
{
    unsigned mode = access.Mode;
    mode |= (mode & 0444U) >> 2U; // r -> x in each class
    return mode;
}

} // namespace qm::platform
