// Window handles and window messages between processes.
//
// A window handle is a 64-bit value: the process id in the high 32 bits and an index of that process in the low 32
// bits (never 0, so 0 stays "no window"). A process receives the messages of a handle on a WindowMessageEndpoint: an
// AF_UNIX datagram socket bound to the abstract address "\0qm.<ns>.wnd.<16 hex digits of the handle>". Posting is
// one non-blocking datagram of a fixed 32-byte record to that address: a destroyed window (nobody bound) or a full
// queue drops the message and never blocks the sender, so posting is safe while holding a mutex other processes
// wait for. Abstract addresses vanish with their socket, so a dead process leaves nothing behind. Any local process
// of the namespace can post to a handle, as any program could post to a window; receivers treat a message as a
// hint to look again, never as a command.
#pragma once

#include "base/Result.h"
#include "platform/IpcNamespace.h"

#include <chrono>
#include <cstdint>
#include <optional>

namespace qm {

using WindowHandle = std::uint64_t;

/// The empty slot of a handle table.
inline constexpr WindowHandle kNoWindow = 0;

/// The process id a handle names (its high 32 bits).
constexpr std::uint32_t WindowProcessId(WindowHandle window)
{
    return static_cast<std::uint32_t>(window >> 32);
}

/// One received message.
struct WindowMessage {
    WindowHandle Window = kNoWindow; // the handle it was posted to
    std::uint32_t Message = 0;
    std::uint64_t WParam = 0;
    std::int64_t LParam = 0;
};

enum class PostResult {
    Queued,     // in the receiver's queue
    NoReceiver, // no window has that handle (any more): dropped
    QueueFull,  // the receiver does not keep up: dropped
    Failed,     // this process could not send (out of descriptors or memory): dropped
};

/// Posts a message to the window handle in namespace ns without ever blocking. Callers may ignore the result, as
/// posting to a vanished window is normal.
PostResult PostWindowMessage(const IpcNamespace& ns, WindowHandle window, std::uint32_t message, std::uint64_t wParam,
                             std::int64_t lParam);

/// The receiving end of one window handle of this process. Move-only; the handle dies with it.
class WindowMessageEndpoint {
public:
    WindowMessageEndpoint() = default;
    WindowMessageEndpoint(const WindowMessageEndpoint&) = delete;
    WindowMessageEndpoint& operator=(const WindowMessageEndpoint&) = delete;
    WindowMessageEndpoint(WindowMessageEndpoint&& other) noexcept;
    WindowMessageEndpoint& operator=(WindowMessageEndpoint&& other) noexcept;

    ~WindowMessageEndpoint() { Close(); }

    /// Makes a new handle of this process in ns and binds its address.
    static Result<WindowMessageEndpoint> Create(const IpcNamespace& ns);

    WindowHandle Handle() const { return m_handle; }

    /// The non-blocking socket, readable when a message waits: for an event loop to poll. Stays the endpoint's.
    int Fd() const { return m_fd; }

    /// The next message, or nothing when none waits. Datagrams that are not well-formed records are skipped.
    std::optional<WindowMessage> Receive();

    /// The next message, waiting up to timeout for one.
    std::optional<WindowMessage> WaitFor(std::chrono::milliseconds timeout);

    void Close();

private:
    int m_fd = -1;
    WindowHandle m_handle = kNoWindow;
};

} // namespace qm
