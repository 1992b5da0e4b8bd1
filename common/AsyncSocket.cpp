// The event-driven socket: one-shot events over poll, and the pending-data send loop.
#include "common/AsyncSocket.h"

#include <cerrno>
#include <chrono>
#include <climits>

namespace qm {
namespace {

static_assert(EAGAIN == EWOULDBLOCK, "would-block is one code on this system");

// Receive stops once no more than this much room is left in the caller's buffer.
constexpr int kReceiveRoomFloor = 62;
// Close drains at most this much of what has already arrived, in pieces of the scratch size.
constexpr std::size_t kCloseDrainLimit = std::size_t{64} * 1024;
constexpr std::size_t kCloseScratchSize = 256;

} // namespace

SocketHandle::SocketHandle(SocketOps& ops)
    : m_ops(&ops)
{}

SocketHandle::~SocketHandle()
{
    Close();
}

bool SocketHandle::Fail(int error)
{
    m_lastError = error;
    return false;
}

bool SocketHandle::Connect(const char* host, int port, std::uint32_t localAddress, int timeoutMs)
{
    Close();
    if (host == nullptr || port < 1 || port > 65535) {
        return Fail(EINVAL);
    }
    int fd = m_ops->OpenStream();
    if (fd < 0) {
        return Fail(-fd);
    }
    m_fd = fd;
    if (localAddress != 0) {
        if (int rc = m_ops->Bind(fd, localAddress, 0); rc < 0) {
            return Fail(-rc);
        }
    }
    std::uint32_t peer = 0;
    if (!ParseIpv4(host, &peer)) {
        if (int rc = m_ops->Resolve(host, &peer); rc != 0) {
            return Fail(rc);
        }
    }
    int rc = m_ops->Connect(fd, peer, static_cast<std::uint16_t>(port));
    if (rc == -EINPROGRESS) {
        int ready = m_ops->Poll(fd, kPollOut, timeoutMs);
        if (ready < 0) {
            return Fail(-ready);
        }
        if (ready == 0) {
            return Fail(ETIMEDOUT);
        }
        int pending = m_ops->PendingError(fd);
        if (pending != 0) {
            return Fail(pending < 0 ? -pending : pending);
        }
    } else if (rc < 0) {
        return Fail(-rc);
    }
    m_selected = true;
    m_armed = kSocketSelectedEvents;
    return true;
}

bool SocketHandle::Accept(int listenFd)
{
    Close();
    std::uint32_t peer = 0;
    int fd = m_ops->Accept(listenFd, &peer);
    if (fd < 0) {
        return Fail(-fd);
    }
    m_fd = fd;
    m_peerAddress = peer;
    m_selected = true;
    m_armed = kSocketSelectedEvents;
    return true;
}

unsigned SocketHandle::Interest() const
{
    unsigned interest = 0;
    if ((m_armed & kSocketRead) != 0 && !m_readEnded) {
        interest |= kPollIn;
    }
    if ((m_armed & kSocketWrite) != 0) {
        interest |= kPollOut;
    }
    if ((m_armed & kSocketClose) != 0) {
        interest |= kPollPeerClosed;
    }
    return interest;
}

unsigned SocketHandle::EventsFrom(int pollBits) const
{
    auto bits = static_cast<unsigned>(pollBits);
    unsigned events = 0;
    if ((m_armed & kSocketRead) != 0 && !m_readEnded && (bits & kPollIn) != 0) {
        events |= kSocketRead;
    }
    if ((m_armed & kSocketWrite) != 0 && (bits & kPollOut) != 0) {
        events |= kSocketWrite;
    }
    if ((m_armed & kSocketClose) != 0 && (bits & (kPollPeerClosed | kPollHangUp | kPollError)) != 0) {
        events |= kSocketClose;
    }
    return events;
}

unsigned SocketHandle::PollEvents()
{
    m_events = 0;
    if (m_fd < 0) {
        m_lastError = EBADF;
        return 0;
    }
    unsigned interest = Interest();
    if (interest == 0) {
        return 0;
    }
    int bits = m_ops->Poll(m_fd, interest, 0);
    if (bits < 0) {
        m_lastError = -bits;
        return 0;
    }
    m_events = EventsFrom(bits);
    m_armed &= ~m_events;
    return m_events;
}

WaitResult SocketHandle::Wait(int timeoutMs)
{
    if (m_fd < 0) {
        m_lastError = EBADF;
        return WaitResult::Error;
    }
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    unsigned interest = Interest();
    // With nothing armed the descriptor is left out, so that a hang-up state cannot wake the wait.
    int bits = m_ops->Poll(interest != 0 ? m_fd : -1, interest, timeoutMs);
    if (bits < 0) {
        m_lastError = -bits;
        return WaitResult::Error;
    }
    if (EventsFrom(bits) != 0) {
        return WaitResult::Ready;
    }
    if (bits == 0) {
        return WaitResult::Timeout;
    }
    // Only a hang-up or error state that no armed event reports. It will not change, and polling again would
    // spin, so let the rest of the time run out.
    int rest = -1;
    if (timeoutMs >= 0) {
        auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        rest = spent < timeoutMs ? timeoutMs - static_cast<int>(spent) : 0;
    }
    if (int rc = m_ops->Poll(-1, 0, rest); rc < 0) {
        m_lastError = -rc;
        return WaitResult::Error;
    }
    return WaitResult::Timeout;
}

long SocketHandle::SendSome(const char* data, std::size_t size)
{
    if (m_fd < 0) {
        m_lastError = EBADF;
        return -EBADF;
    }
    long n = m_ops->Send(m_fd, data, size);
    if (n == 0 && size > 0) {
        n = -EAGAIN; // took nothing: wait for room like a send that would block
    }
    if (n == -EAGAIN) {
        if (m_selected) {
            m_armed |= kSocketWrite;
        }
    } else if (n < 0) {
        m_lastError = static_cast<int>(-n);
    }
    return n;
}

long SocketHandle::ReceiveSome(char* buffer, std::size_t size)
{
    if (m_fd < 0) {
        m_lastError = EBADF;
        return -EBADF;
    }
    if (m_selected) {
        m_armed |= kSocketRead;
    }
    long n = m_ops->Receive(m_fd, buffer, size);
    if (n == 0) {
        m_readEnded = true;
    } else if (n < 0 && n != -EAGAIN) {
        m_lastError = static_cast<int>(-n);
        m_readEnded = true;
    }
    return n;
}

void SocketHandle::Close()
{
    if (m_fd >= 0) {
        m_ops->ShutdownSend(m_fd);
        // Unread data would make the close a reset, which can destroy what we sent last at the peer. Drain
        // what is there, but never wait: the peer may keep the connection open.
        char scratch[kCloseScratchSize];
        for (std::size_t drained = 0; drained < kCloseDrainLimit;) {
            long n = m_ops->Receive(m_fd, scratch, sizeof scratch);
            if (n <= 0) {
                break;
            }
            drained += static_cast<std::size_t>(n);
        }
        m_ops->Close(m_fd);
        m_fd = -1;
    }
    m_selected = false;
    m_armed = 0;
    m_readEnded = false;
    m_events = 0;
}

void SocketHandle::Reset()
{
    Close();
    m_peerAddress = 0;
    m_lastError = 0;
}

AsyncSocket::AsyncSocket(SocketOps& ops)
    : m_socket(ops)
{}

AsyncSocket::~AsyncSocket() = default;

bool AsyncSocket::Connect(const char* host, int port, std::uint32_t localAddress, int timeoutMs)
{
    Close();
    return m_socket.Connect(host, port, localAddress, timeoutMs);
}

bool AsyncSocket::Accept(int listenFd)
{
    Close();
    return m_socket.Accept(listenFd);
}

void AsyncSocket::DispatchEvents()
{
    unsigned events = m_socket.PollEvents();
    if ((events & kSocketWrite) != 0) {
        m_writable = true;
    }
    if (m_readDeferred) {
        events |= kSocketRead;
    }
    if ((events & kSocketConnect) != 0) {
        OnConnect();
    }
    if ((events & kSocketRead) != 0) {
        // The next reply is not read before the last command has gone out completely.
        if (PendingBytes() > 0) {
            m_readDeferred = true;
        } else {
            m_readDeferred = false;
            OnRead();
        }
    }
    if ((events & kSocketClose) != 0) {
        if (m_readDeferred) {
            DropPending(); // it can no longer be sent; let the deferred read run below
        }
        m_writable = false;
        OnClose();
    }
    if ((events & kSocketWrite) != 0) {
        OnWrite();
    }
    if (m_readDeferred && PendingBytes() == 0) {
        m_readDeferred = false;
        OnRead();
    }
}

int AsyncSocket::SendPending()
{
    if (!m_writable) {
        return 0;
    }
    std::size_t sentNow = 0;
    while (m_pendingPos < m_pending.size()) {
        long n = m_socket.SendSome(m_pending.data() + m_pendingPos, m_pending.size() - m_pendingPos);
        if (n < 0) {
            m_writable = false;
            if (n == -EAGAIN) {
                break;
            }
            return -1;
        }
        auto count = static_cast<std::size_t>(n);
        m_pendingPos += count;
        sentNow += count;
        m_bytesSent += count;
    }
    if (m_pendingPos == m_pending.size()) {
        DropPending(); // keeps the capacity for the next text
    }
    return sentNow > INT_MAX ? INT_MAX : static_cast<int>(sentNow);
}

int AsyncSocket::SendString(std::string_view text)
{
    if (m_pendingPos > 0) {
        m_pending.erase(0, m_pendingPos);
        m_pendingPos = 0;
    }
    m_pending.append(text);
    return SendPending();
}

int AsyncSocket::Receive(char* buffer, int size)
{
    if (size <= 0) {
        return 0;
    }
    int position = 0;
    for (;;) {
        long n = m_socket.ReceiveSome(buffer + position, static_cast<std::size_t>(size - position));
        if (n == -EAGAIN || n == 0) {
            break;
        }
        if (n < 0) {
            return -1;
        }
        position += static_cast<int>(n);
        m_bytesReceived += static_cast<std::uint64_t>(n);
        if (size - position <= kReceiveRoomFloor) {
            break;
        }
    }
    return position;
}

int AsyncSocket::ReceiveString(char* buffer, int size)
{
    if (size <= 0) {
        return 0;
    }
    int n = Receive(buffer, size - 1);
    if (n >= 0) {
        buffer[n] = '\0';
    }
    return n;
}

void AsyncSocket::DropPending()
{
    m_pending.clear();
    m_pendingPos = 0;
}

void AsyncSocket::Close()
{
    m_socket.Close();
    m_writable = false;
    m_readDeferred = false;
    DropPending();
}

void AsyncSocket::Reset()
{
    Close();
    m_socket.Reset();
    m_bytesReceived = 0;
    m_bytesSent = 0;
}

} // namespace qm
