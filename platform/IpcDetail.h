// Internal helpers of the inter-process layer (descriptor ownership, locks, error texts); not for use outside
// platform/.
#pragma once

#include "platform/UniqueFd.h"

#include <string>
#include <string_view>

namespace qm::ipcdetail {

using platform::UniqueFd;

/// The kinds of flock() this layer takes.
enum class FlockMode {
    Shared,
    Exclusive,
    ExclusiveNoWait,
    Unlock
};

/// flock() retried on EINTR; returns 0 or the errno value (EWOULDBLOCK when a no-wait lock is busy).
int Flock(int fd, FlockMode mode);

/// "<what> <name>: <strerror(err)>" for the Message of a failed Result.
std::string ErrorText(std::string_view what, std::string_view name, int err);

} // namespace qm::ipcdetail
