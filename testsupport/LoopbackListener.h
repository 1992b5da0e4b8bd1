// Test helpers for socket tests: a listening socket on 127.0.0.1 with a port chosen by the system, and the
// small raw socket moves that a test peer makes (accept, reset, check of the SIGPIPE disposition).
#pragma once

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <utility>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qm::test {

/// A descriptor closed at the end of its scope.
class ScopedFd {
public:
    explicit ScopedFd(int fd = -1)
        : m_fd(fd)
    {}

    ~ScopedFd() { Reset(); }

    ScopedFd(const ScopedFd&) = delete;
    ScopedFd& operator=(const ScopedFd&) = delete;

    ScopedFd(ScopedFd&& other) noexcept
        : m_fd(other.Release())
    {}

    ScopedFd& operator=(ScopedFd&& other) noexcept
    {
        if (this != &other) {
            Reset(other.Release());
        }
        return *this;
    }

    int Get() const { return m_fd; }

    int Release()
    {
        int fd = m_fd;
        m_fd = -1;
        return fd;
    }

    void Reset(int fd = -1)
    {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
        m_fd = fd;
    }

private:
    int m_fd;
};

/// Options of a LoopbackListener.
struct ListenerOptions {
    int ReceiveBuffer = 0; ///< SO_RCVBUF for accepted connections (0: the system's default)
    bool NonBlocking = false;
};

/// A TCP listener on 127.0.0.1, port 0 (the system picks one). Valid() tells whether it was set up.
class LoopbackListener {
public:
    explicit LoopbackListener(ListenerOptions options = {})
    {
        ScopedFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (options.NonBlocking ? SOCK_NONBLOCK : 0), 0));
        if (fd.Get() < 0) {
            return;
        }
        if (options.ReceiveBuffer > 0) {
            // Set before listen so that accepted connections inherit it and announce a small window.
            ::setsockopt(fd.Get(), SOL_SOCKET, SO_RCVBUF, &options.ReceiveBuffer, sizeof options.ReceiveBuffer);
        }
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof sa;
        if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd.Get(), 16) != 0 ||
            ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&sa), &length) != 0) {
            return;
        }
        m_port = ntohs(sa.sin_port);
        m_fd = std::move(fd);
    }

    bool Valid() const { return m_fd.Get() >= 0; }

    int Fd() const { return m_fd.Get(); }

    int Port() const { return m_port; }

    /// Waits up to `timeoutMs` for one connection and returns it (a blocking socket), or an invalid descriptor.
    ScopedFd AcceptWithin(int timeoutMs) const
    {
        pollfd entry{m_fd.Get(), POLLIN, 0};
        if (::poll(&entry, 1, timeoutMs) != 1) {
            return ScopedFd();
        }
        return AcceptBlocking();
    }

    /// Waits for one connection (blocking) and returns it, or an invalid descriptor.
    ScopedFd AcceptBlocking() const
    {
        int fd;
        do {
            fd = ::accept4(m_fd.Get(), nullptr, nullptr, SOCK_CLOEXEC);
        } while (fd < 0 && errno == EINTR);
        return ScopedFd(fd);
    }

private:
    ScopedFd m_fd;
    int m_port = 0;
};

/// Closes `fd` with a zero linger time, so that the peer gets a reset instead of an orderly end.
inline void CloseWithReset(ScopedFd& fd)
{
    linger hard{1, 0};
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    fd.Reset();
}

/// True when SIGPIPE still has its default action (killing the process), so that a test which sends to a
/// closed connection proves that no SIGPIPE is raised.
inline bool SigpipeKillsProcess()
{
    struct sigaction current {};

    return ::sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL;
}

} // namespace qm::test
