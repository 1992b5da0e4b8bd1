// AsyncSocket: the event-driven TCP socket that the mail clients and the admin web server's connection derive
// from. The owner waits on the socket with its own time-out, then calls DispatchEvents, which turns the network
// events into calls of the virtual handlers. Sending works from one pending buffer pushed out as far as the
// socket accepts.
//
// Events are one-shot, and the owners rely on it:
//  - read: reported once, then again only after the owner has called Receive (or ReceiveString) since;
//  - write: reported once after the connection is made, and again only after a send would have blocked,
//    as soon as the socket can take data again;
//  - close: reported once, when the peer shuts down or resets the connection (data that arrived before it
//    can still be received).
// So an idle connection never makes Wait return early.
//
// Error codes (LastError) are errno values: EAGAIN, which is EWOULDBLOCK on Linux, means "would block" (where
// an owner tests for WSAEWOULDBLOCK it tests for EAGAIN); ETIMEDOUT is a connect that ran out of time. A failed name
// look-up stores the resolver's code instead, which is negative (EAI_NONAME, EAI_AGAIN...) unless it is an errno value
// from a system failure. Peers are IPv4 only; addresses are 32-bit numbers in host byte order (127.0.0.1 is
// 0x7F000001).
#pragma once

#include "platform/SocketOps.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qm {

// Network event bits reported by PollEvents.
inline constexpr unsigned kSocketRead = 1;
inline constexpr unsigned kSocketWrite = 2;
inline constexpr unsigned kSocketConnect = 16;
inline constexpr unsigned kSocketClose = 32;

/// The events that a connected socket reports: read, write and close (35).
inline constexpr unsigned kSocketSelectedEvents = kSocketRead | kSocketWrite | kSocketClose;

/// The default time-out of Connect, in milliseconds.
inline constexpr int kDefaultConnectTimeoutMs = 30000;

/// What SocketHandle::Wait saw.
enum class WaitResult {
    Ready,   ///< an event is waiting for DispatchEvents
    Timeout, ///< none within the time-out
    Error,   ///< the wait failed (no socket, or poll failed); the error is stored
};

/// The socket part: the descriptor, the peer address, the events that may be reported next, the events of the
/// last poll and the last error. Owns the descriptor. Used by one thread.
class SocketHandle {
public:
    explicit SocketHandle(SocketOps& ops);
    ~SocketHandle();
    SocketHandle(const SocketHandle&) = delete;
    SocketHandle& operator=(const SocketHandle&) = delete;

    /// Closes any open socket, then connects to `host` (a dotted IPv4 address, else a name looked up for its
    /// first IPv4 address) and `port`, from `localAddress` when it is not 0, waiting at most `timeoutMs`
    /// (negative: without limit). False with the error stored; a socket created on the way stays until Close.
    bool Connect(const char* host, int port, std::uint32_t localAddress, int timeoutMs);
    /// Closes any open socket, then accepts one connection from the listening socket `listenFd` and stores the
    /// peer's address. False with the error stored (EAGAIN when a non-blocking listener has none waiting).
    bool Accept(int listenFd);

    /// Checks, without waiting, which armed events have happened; stores and returns them, and disarms them.
    /// On failure stores the error and returns 0.
    unsigned PollEvents();
    /// Waits up to `timeoutMs` (negative: without limit) until PollEvents would report an event. Consumes
    /// nothing.
    WaitResult Wait(int timeoutMs);

    /// One send without blocking: the count, or -errno (-EAGAIN: would block, which arms the write event).
    /// Errors other than EAGAIN are stored.
    long SendSome(const char* data, std::size_t size);
    /// One receive without blocking: the count, 0 at the end of the stream, or -errno; re-arms the read event.
    /// Errors other than EAGAIN are stored.
    long ReceiveSome(char* buffer, std::size_t size);

    /// Shuts down sending, drains what has already arrived (without waiting, at most 64 KiB, so that the close
    /// does not turn into a reset) and closes. Keeps the peer address and the last error. Nothing when closed.
    void Close();
    /// Close, then forget the peer address and the last error.
    void Reset();

    bool IsOpen() const { return m_fd >= 0; }

    /// The descriptor, -1 when closed: an owner may poll it itself, but Wait knows which events are armed.
    int Fd() const { return m_fd; }

    std::uint32_t PeerAddress() const { return m_peerAddress; }

    /// The events reported by the last PollEvents.
    unsigned Events() const { return m_events; }

    int LastError() const { return m_lastError; }

    SocketOps& Ops() const { return *m_ops; }

private:
    bool Fail(int error);
    unsigned Interest() const;
    unsigned EventsFrom(int pollBits) const;

    SocketOps* m_ops;
    int m_fd = -1;
    std::uint32_t m_peerAddress = 0;
    unsigned m_armed = 0;     // events that may be reported next (kSocket* bits)
    bool m_selected = false;  // connected: events are reported
    bool m_readEnded = false; // the stream ended or broke: no read event any more
    unsigned m_events = 0;
    int m_lastError = 0;
};

/// The event-driven socket base class. Derived classes override the handlers; DispatchEvents calls them.
/// Used by one thread; no locking.
class AsyncSocket {
public:
    explicit AsyncSocket(SocketOps& ops = SystemSocketOps());
    virtual ~AsyncSocket();
    AsyncSocket(const AsyncSocket&) = delete;
    AsyncSocket& operator=(const AsyncSocket&) = delete;

    /// Closes any open socket (dropping its pending data), then connects; see SocketHandle::Connect. The
    /// first write event follows once the connection is made.
    bool Connect(const char* host, int port, std::uint32_t localAddress = 0, int timeoutMs = kDefaultConnectTimeoutMs);
    /// Closes any open socket (dropping its pending data), then accepts from `listenFd`; see
    /// SocketHandle::Accept.
    bool Accept(int listenFd);

    /// The events that have happened since the last poll (see SocketHandle::PollEvents).
    unsigned PollEvents() { return m_socket.PollEvents(); }

    /// Polls and calls the handlers: OnConnect, OnRead (deferred while data is waiting to be sent), OnClose,
    /// OnWrite, and last a deferred OnRead once nothing is left to send.
    void DispatchEvents();

    /// Waits for the next event; see SocketHandle::Wait.
    WaitResult Wait(int timeoutMs) { return m_socket.Wait(timeoutMs); }

    /// Sends from the pending data as far as the socket accepts: the bytes sent by this call, 0 when the
    /// socket is not writable, or -1 on an error other than would-block (stored).
    int SendPending();
    /// Appends a copy of `text` to the pending data and calls SendPending. The caller need not keep `text`.
    int SendString(std::string_view text);
    /// Receives into `buffer` (`size` bytes) until the socket would block, the stream ends, or no more than
    /// 62 bytes of room are left: the count received, or -1 on an error (stored). 0 when size <= 0.
    int Receive(char* buffer, int size);
    /// Receive into size - 1 bytes, then a NUL after them unless -1. 0 and nothing written when size <= 0.
    int ReceiveString(char* buffer, int size);

    /// Closes the socket (see SocketHandle::Close) and drops the pending data; keeps the counters.
    void Close();
    /// Closes any open socket and returns the object to its new state: no socket, counters and flags zero.
    void Reset();

    SocketHandle& Handle() { return m_socket; }

    const SocketHandle& Handle() const { return m_socket; }

    bool IsOpen() const { return m_socket.IsOpen(); }

    int Fd() const { return m_socket.Fd(); }

    int LastError() const { return m_socket.LastError(); }

    std::uint32_t PeerAddress() const { return m_socket.PeerAddress(); }

    bool IsWritable() const { return m_writable; }

    bool IsReadDeferred() const { return m_readDeferred; }

    std::size_t PendingBytes() const { return m_pending.size() - m_pendingPos; }

    std::uint64_t BytesReceived() const { return m_bytesReceived; }

    std::uint64_t BytesSent() const { return m_bytesSent; }

protected:
    /// A connect event. Connect completes before events are reported, so the base never reports one.
    virtual void OnConnect() {}

    /// Data (or the end of the stream) can be received.
    virtual void OnRead() {}

    /// The peer closed or reset the connection.
    virtual void OnClose() {}

    /// The socket can take data again: sends the pending data.
    virtual void OnWrite() { SendPending(); }

private:
    void DropPending();

    SocketHandle m_socket;
    bool m_writable = false;
    bool m_readDeferred = false;
    std::string m_pending;
    std::size_t m_pendingPos = 0;
    std::uint64_t m_bytesReceived = 0;
    std::uint64_t m_bytesSent = 0;
};

} // namespace qm
