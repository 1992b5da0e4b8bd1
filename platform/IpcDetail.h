// Internal helpers of the inter-process layer (descriptor ownership, locks, error texts); not for use outside
// platform/.
#pragma once

#include <string>
#include <string_view>

namespace qm::ipcdetail {

/// Owns one file descriptor and closes it on destruction; -1 is "none".
class OwnedFd {
public:
    OwnedFd() = default;

    explicit OwnedFd(int fd)
        : m_fd(fd)
    {}

    OwnedFd(const OwnedFd&) = delete;
    OwnedFd& operator=(const OwnedFd&) = delete;

    OwnedFd(OwnedFd&& other) noexcept
        : m_fd(other.Release())
    {}

    OwnedFd& operator=(OwnedFd&& other) noexcept;

    ~OwnedFd() { Reset(); }

    int Get() const { return m_fd; }

    bool Valid() const { return m_fd >= 0; }

    int Release();
    void Reset(int fd = -1);

private:
    int m_fd = -1;
};

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
