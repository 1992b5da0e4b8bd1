#include "platform/Random.h"

#include <cerrno>

#include <sys/random.h>

namespace qm::platform {

Result<void> FillRandom(void* out, std::size_t size)
{
    auto* bytes = static_cast<unsigned char*>(out);
    std::size_t filled = 0;
    while (filled < size) {
        const ssize_t got = ::getrandom(bytes + filled, size - filled, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Fail("getrandom failed", errno);
        }
        filled += static_cast<std::size_t>(got);
    }
    return {};
}

Result<std::uint32_t> RandomUint32()
{
    std::uint32_t value = 0;
    auto filled = FillRandom(&value, sizeof value);
    if (!filled) {
        return Unexpected{filled.error()};
    }
    return value;
}

} // namespace qm::platform
