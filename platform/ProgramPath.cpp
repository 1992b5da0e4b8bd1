#include "platform/ProgramPath.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include <unistd.h>

namespace qm {

Result<std::string> ProgramPath()
{
    std::vector<char> buffer(4096);
    for (;;) {
        ssize_t got = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (got < 0) {
            int err = errno;
            char text[256];
            return Fail(std::string("cannot read /proc/self/exe: ") + strerror_r(err, text, sizeof text), err);
        }
        if (static_cast<std::size_t>(got) < buffer.size()) {
            return std::string(buffer.data(), static_cast<std::size_t>(got));
        }
        if (buffer.size() >= (1u << 16)) {
            return Fail("program path too long", ENAMETOOLONG);
        }
        buffer.resize(buffer.size() * 2); // the link may have been cut: read it again with more room
    }
}

Result<std::string> ProgramDirectory()
{
    auto path = ProgramPath();
    if (!path) {
        return path;
    }
    std::size_t slash = path->rfind('/');
    if (slash == std::string::npos) {
        return Fail("program path is not absolute: " + *path, EINVAL);
    }
    return slash == 0 ? std::string("/") : path->substr(0, slash);
}

} // namespace qm
