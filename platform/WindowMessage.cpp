#include "platform/WindowMessage.h"

#include "platform/IpcDetail.h"
#include "platform/UniqueFd.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>
#include <utility>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace qm {

using ipcdetail::ErrorText;
using platform::UniqueFd;

namespace {

// The record on the wire, in the byte order of the machine (both ends are local).
struct WireRecord {
    std::uint64_t Window;
    std::uint32_t Message;
    std::uint32_t Magic;
    std::uint64_t WParam;
    std::int64_t LParam;
};

static_assert(sizeof(WireRecord) == 32);

constexpr std::uint32_t kWireMagic = 0x514D574DU;

// Indexes of this process's handles; the low half of a handle is never 0.
std::atomic<std::uint32_t> g_nextWindowIndex{1};

struct SocketAddress {
    sockaddr_un Address{};
    socklen_t Length = 0;
};

SocketAddress AddressOf(const IpcNamespace& ns, WindowHandle window)
{
    static constexpr char kHex[] = "0123456789abcdef";
    std::string object = "wnd.";
    for (int shift = 60; shift >= 0; shift -= 4) {
        object += kHex[(window >> shift) & 0xF];
    }
    const std::string name = ns.SocketName(object);
    SocketAddress out;
    out.Address.sun_family = AF_UNIX;
    // Abstract address: a leading NUL byte, then the name, no terminator; the length says where it ends.
    static_assert(sizeof(out.Address.sun_path) >= 1 + 3 + 48 + 1 + 20);
    std::memcpy(out.Address.sun_path + 1, name.data(), name.size());
    out.Length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    return out;
}

const sockaddr* AsSockaddr(const sockaddr_un& address)
{
    return reinterpret_cast<const sockaddr*>(&address);
}

} // namespace

PostResult PostWindowMessage(const IpcNamespace& ns, WindowHandle window, std::uint32_t message, std::uint64_t wParam,
                             std::int64_t lParam)
{
    if (window == kNoWindow) {
        return PostResult::NoReceiver;
    }
    UniqueFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.Valid()) {
        return PostResult::Failed;
    }
    const WireRecord record{window, message, kWireMagic, wParam, lParam};
    const SocketAddress target = AddressOf(ns, window);
    ssize_t sent = -1;
    do {
        sent = ::sendto(fd.Get(), &record, sizeof record, MSG_DONTWAIT | MSG_NOSIGNAL, AsSockaddr(target.Address),
                        target.Length);
    } while (sent < 0 && errno == EINTR);
    if (sent == static_cast<ssize_t>(sizeof record)) {
        return PostResult::Queued;
    }
    if (errno == ECONNREFUSED || errno == ENOENT) {
        return PostResult::NoReceiver;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS) {
        return PostResult::QueueFull;
    }
    return PostResult::Failed;
}

WindowMessageEndpoint::WindowMessageEndpoint(WindowMessageEndpoint&& other) noexcept
    : m_fd(std::exchange(other.m_fd, -1))
    , m_handle(std::exchange(other.m_handle, kNoWindow))
{}

WindowMessageEndpoint& WindowMessageEndpoint::operator=(WindowMessageEndpoint&& other) noexcept
{
    if (this != &other) {
        Close();
        m_fd = std::exchange(other.m_fd, -1);
        m_handle = std::exchange(other.m_handle, kNoWindow);
    }
    return *this;
}

Result<WindowMessageEndpoint> WindowMessageEndpoint::Create(const IpcNamespace& ns)
{
    UniqueFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.Valid()) {
        return Fail(ErrorText("cannot create", "window socket", errno), errno);
    }
    const auto pid = static_cast<std::uint64_t>(static_cast<std::uint32_t>(::getpid()));
    // An index can be taken already when another copy of this layer in the process (a loaded library) made handles
    // too: then the next one is tried.
    for (int attempt = 0; attempt < 64; ++attempt) {
        std::uint32_t index = g_nextWindowIndex.fetch_add(1, std::memory_order_relaxed);
        if (index == 0) {
            index = g_nextWindowIndex.fetch_add(1, std::memory_order_relaxed);
        }
        const WindowHandle handle = (pid << 32) | index;
        const SocketAddress address = AddressOf(ns, handle);
        if (::bind(fd.Get(), AsSockaddr(address.Address), address.Length) == 0) {
            WindowMessageEndpoint endpoint;
            endpoint.m_fd = fd.Release();
            endpoint.m_handle = handle;
            return endpoint;
        }
        if (errno != EADDRINUSE) {
            return Fail(ErrorText("cannot bind", "window socket", errno), errno);
        }
    }
    return Fail(ErrorText("cannot bind", "window socket", EADDRINUSE), EADDRINUSE);
}

// NOLINTNEXTLINE(readability-make-member-function-const): takes a message off the queue
std::optional<WindowMessage> WindowMessageEndpoint::Receive()
{
    if (m_fd < 0) {
        return std::nullopt;
    }
    for (;;) {
        WireRecord record{};
        const ssize_t got = ::recv(m_fd, &record, sizeof record, MSG_DONTWAIT | MSG_TRUNC);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::nullopt; // EAGAIN: nothing waits
        }
        if (got == static_cast<ssize_t>(sizeof record) && record.Magic == kWireMagic && record.Window == m_handle) {
            return WindowMessage{record.Window, record.Message, record.WParam, record.LParam};
        }
        // A datagram of another size or shape is not ours: skip it.
    }
}

std::optional<WindowMessage> WindowMessageEndpoint::WaitFor(std::chrono::milliseconds timeout)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (auto message = Receive()) {
            return message;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (m_fd < 0 || left.count() <= 0) {
            return std::nullopt;
        }
        pollfd pfd{m_fd, POLLIN, 0};
        const auto wait = std::min<std::chrono::milliseconds>(left, std::chrono::hours(1));
        const int ready = ::poll(&pfd, 1, static_cast<int>(wait.count()));
        if (ready < 0 && errno != EINTR) {
            return std::nullopt;
        }
    }
}

void WindowMessageEndpoint::Close()
{
    if (m_fd >= 0) {
        ::close(m_fd);
    }
    m_fd = -1;
    m_handle = kNoWindow;
}

} // namespace qm
