// The system implementation of SocketOps over BSD sockets and poll.
#include "platform/SocketOps.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qm {
namespace {

sockaddr_in MakeAddress(std::uint32_t address, std::uint16_t port)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(address);
    return sa;
}

short ToPollEvents(unsigned interest)
{
    short events = 0;
    if ((interest & kPollIn) != 0) {
        events |= POLLIN;
    }
    if ((interest & kPollOut) != 0) {
        events |= POLLOUT;
    }
    if ((interest & kPollPeerClosed) != 0) {
        events |= POLLRDHUP;
    }
    return events;
}

unsigned FromPollEvents(short revents)
{
    unsigned bits = 0;
    if ((revents & POLLIN) != 0) {
        bits |= kPollIn;
    }
    if ((revents & POLLOUT) != 0) {
        bits |= kPollOut;
    }
    if ((revents & POLLRDHUP) != 0) {
        bits |= kPollPeerClosed;
    }
    if ((revents & POLLHUP) != 0) {
        bits |= kPollHangUp;
    }
    if ((revents & POLLERR) != 0) {
        bits |= kPollError;
    }
    return bits;
}

class SystemOps final : public SocketOps {
public:
    int OpenStream() override
    {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
        return fd >= 0 ? fd : -errno;
    }

    int Bind(int fd, std::uint32_t address, std::uint16_t port) override
    {
        sockaddr_in sa = MakeAddress(address, port);
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
            return -errno;
        }
        return 0;
    }

    int Connect(int fd, std::uint32_t address, std::uint16_t port) override
    {
        sockaddr_in sa = MakeAddress(address, port);
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) {
            return 0;
        }
        // An interrupted non-blocking connect goes on in the background, like one in progress.
        return errno == EINTR ? -EINPROGRESS : -errno;
    }

    int Accept(int listenFd, std::uint32_t* peerAddress) override
    {
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        int fd;
        do {
            fd = ::accept4(listenFd, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0) {
            return -errno;
        }
        *peerAddress = 0;
        if (peer.ss_family == AF_INET) {
            sockaddr_in v4{};
            std::memcpy(&v4, &peer, sizeof v4);
            *peerAddress = ntohl(v4.sin_addr.s_addr);
        }
        return fd;
    }

    long Send(int fd, const void* data, std::size_t size) override
    {
        ssize_t n;
        do {
            // MSG_NOSIGNAL: a send to a closed connection fails with EPIPE instead of killing the process.
            n = ::send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        } while (n < 0 && errno == EINTR);
        return n >= 0 ? static_cast<long>(n) : -errno;
    }

    long Receive(int fd, void* buffer, std::size_t size) override
    {
        ssize_t n;
        do {
            n = ::recv(fd, buffer, size, MSG_DONTWAIT);
        } while (n < 0 && errno == EINTR);
        return n >= 0 ? static_cast<long>(n) : -errno;
    }

    int Poll(int fd, unsigned interest, int timeoutMs) override
    {
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
        pollfd entry{fd, ToPollEvents(interest), 0};
        int wait = timeoutMs;
        for (;;) {
            // poll ignores an entry with a negative descriptor, which turns the call into a sleep.
            int n = ::poll(&entry, 1, wait);
            if (n > 0) {
                if ((entry.revents & POLLNVAL) != 0) {
                    return -EBADF;
                }
                return static_cast<int>(FromPollEvents(entry.revents));
            }
            if (n == 0) {
                return 0;
            }
            if (errno != EINTR) {
                return -errno;
            }
            if (timeoutMs >= 0) {
                auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
                wait = left > 0 ? static_cast<int>(left) : 0;
            }
        }
    }

    int PendingError(int fd) override
    {
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
            return -errno;
        }
        return error;
    }

    int ShutdownSend(int fd) override { return ::shutdown(fd, SHUT_WR) == 0 ? 0 : -errno; }

    int Close(int fd) override
    {
        // After close the descriptor is gone even when it reports EINTR; never retry.
        return ::close(fd) == 0 ? 0 : -errno;
    }

    int Resolve(const char* host, std::uint32_t* address) override
    {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* list = nullptr;
        int rc = ::getaddrinfo(host, nullptr, &hints, &list);
        if (rc != 0) {
            if (rc == EAI_SYSTEM) {
                return errno != 0 ? errno : EIO;
            }
            return rc;
        }
        int result = EAI_NONAME;
        for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
            if (ai->ai_family == AF_INET && ai->ai_addrlen >= sizeof(sockaddr_in)) {
                sockaddr_in v4{};
                std::memcpy(&v4, ai->ai_addr, sizeof v4);
                *address = ntohl(v4.sin_addr.s_addr);
                result = 0;
                break;
            }
        }
        ::freeaddrinfo(list);
        return result;
    }
};

} // namespace

SocketOps& SystemSocketOps()
{
    static SystemOps s_ops;
    return s_ops;
}

bool ParseIpv4(const char* text, std::uint32_t* address)
{
    if (text == nullptr) {
        return false;
    }
    in_addr parsed{};
    if (::inet_pton(AF_INET, text, &parsed) != 1) {
        return false;
    }
    *address = ntohl(parsed.s_addr);
    return true;
}

} // namespace qm
