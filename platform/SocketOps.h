// SocketOps: the IPv4 TCP socket calls that the socket classes make, behind an interface so that tests can
// replace the network (partial sends and receives, would-block, resets, name look-up) with a script.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qm {

// Readiness bits that SocketOps::Poll asks for and reports.

/// Data (or the end of the stream) can be received without blocking.
inline constexpr unsigned kPollIn = 1;
/// A send would not block.
inline constexpr unsigned kPollOut = 2;
/// The peer shut down its sending side (may be asked for).
inline constexpr unsigned kPollPeerClosed = 4;
/// The connection is gone (reported only).
inline constexpr unsigned kPollHangUp = 8;
/// The socket holds an error, such as a reset (reported only).
inline constexpr unsigned kPollError = 16;

/// The socket calls. Descriptors are plain ints; IPv4 addresses are 32-bit numbers in host byte order
/// (127.0.0.1 is 0x7F000001). Unless said otherwise a call returns a value >= 0 on success and -errno on
/// failure, so -EAGAIN (the same value as -EWOULDBLOCK on Linux) means "would block". Every socket is
/// non-blocking and close-on-exec. Thread-safety: the system implementation keeps no state.
class SocketOps {
public:
    virtual ~SocketOps() = default;

    /// A new IPv4 stream socket: its descriptor, or -errno.
    virtual int OpenStream() = 0;
    /// Binds `fd` to `address` and `port` (0: any port). 0 or -errno.
    virtual int Bind(int fd, std::uint32_t address, std::uint16_t port) = 0;
    /// Starts a connection: 0 when it is made at once, -EINPROGRESS while it proceeds, or -errno.
    virtual int Connect(int fd, std::uint32_t address, std::uint16_t port) = 0;
    /// Accepts one connection from the listening socket `listenFd`: the new descriptor (non-blocking,
    /// close-on-exec) with the peer's IPv4 address in `peerAddress` (0 for a peer of another family), or
    /// -errno (-EAGAIN when none is waiting on a non-blocking listener).
    virtual int Accept(int listenFd, std::uint32_t* peerAddress) = 0;
    /// Sends up to `size` bytes: the count sent, or -errno. Never raises SIGPIPE: a send to a closed
    /// connection gives -EPIPE.
    virtual long Send(int fd, const void* data, std::size_t size) = 0;
    /// Receives up to `size` bytes without blocking: the count, 0 at the end of the stream, or -errno.
    virtual long Receive(int fd, void* buffer, std::size_t size) = 0;
    /// Waits up to `timeoutMs` (negative: without limit) until `fd` is ready for one of `interest`
    /// (kPoll* bits): the kPoll* bits that hold (kPollHangUp and kPollError even when not asked for), 0 on
    /// time-out, or -errno. A negative `fd` only sleeps for `timeoutMs` and returns 0. Interrupted waits
    /// resume with the time left.
    virtual int Poll(int fd, unsigned interest, int timeoutMs) = 0;
    /// The error that a non-blocking connect ended with (0: connected), or -errno when it cannot be read.
    virtual int PendingError(int fd) = 0;
    /// Shuts down the sending side. 0 or -errno.
    virtual int ShutdownSend(int fd) = 0;
    /// Closes the descriptor. 0 or -errno.
    virtual int Close(int fd) = 0;
    /// Looks up the first IPv4 address of `host`. 0 on success; otherwise the resolver's error: one of
    /// its EAI_ codes (negative numbers on Linux), or a positive errno for a system failure.
    virtual int Resolve(const char* host, std::uint32_t* address) = 0;
};

/// The real calls of this system.
SocketOps& SystemSocketOps();

/// Reads `text` as a dotted IPv4 address ("192.0.2.1", four decimal parts, nothing else) without any
/// look-up. False when it is not one.
bool ParseIpv4(const char* text, std::uint32_t* address);

} // namespace qm
