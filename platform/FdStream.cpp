#include "platform/FdStream.h"

#include <unistd.h>

namespace qm::platform {

UniqueFile StreamOverFd(int fd, StreamMode mode)
{
    if (fd < 0) {
        return nullptr;
    }
    std::FILE* file = ::fdopen(fd, mode == StreamMode::Read ? "rb" : "wb");
    if (file == nullptr) {
        (void)::close(fd);
    }
    return UniqueFile(file);
}

} // namespace qm::platform
