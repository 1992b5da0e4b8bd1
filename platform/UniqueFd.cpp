#include "platform/UniqueFd.h"

#include <unistd.h>

namespace qm::platform {

void UniqueFd::Reset(int fd)
{
    if (m_fd >= 0) {
        // close() releases the descriptor even when it reports EINTR on Linux, so it is never retried.
        ::close(m_fd);
    }
    m_fd = fd;
}

} // namespace qm::platform
