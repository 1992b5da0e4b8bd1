#include "platform/IpcDetail.h"

#include <cerrno>
#include <cstring>

#include <sys/file.h>
#include <unistd.h>

namespace qm::ipcdetail {

int Flock(int fd, FlockMode mode)
{
    int op = LOCK_UN;
    switch (mode) {
    case FlockMode::Shared:
        op = LOCK_SH;
        break;
    case FlockMode::Exclusive:
        op = LOCK_EX;
        break;
    case FlockMode::ExclusiveNoWait:
        op = LOCK_EX | LOCK_NB;
        break;
    case FlockMode::Unlock:
        op = LOCK_UN;
        break;
    }
    while (::flock(fd, op) != 0) {
        if (errno != EINTR) {
            return errno;
        }
    }
    return 0;
}

std::string ErrorText(std::string_view what, std::string_view name, int err)
{
    std::string text(what);
    text += ' ';
    text += name;
    text += ": ";
    text += std::strerror(err); // NOLINT(concurrency-mt-unsafe): glibc returns static texts for known codes
    return text;
}

} // namespace qm::ipcdetail
