#include "portico/SocketTransport.h"

#include "platform/NetAddress.h"
#include "platform/SocketOps.h"

#include <cerrno>
#include <chrono>

namespace qm::portico {

SocketTransport::SocketTransport(int fd, std::uint32_t peer)
    : m_fd(fd)
    , m_peer(peer)
{
    if (Result<SocketEnd> end = LocalEndOf(fd)) {
        (void)ParseIpv4(end->Address, &m_local);
        m_localPort = end->Port;
    }
}

SocketTransport::~SocketTransport()
{
    SocketOps& ops = SystemSocketOps();
    if (!m_sent) {
        (void)ops.Close(m_fd);
        return;
    }
    (void)ops.ShutdownSend(m_fd);
    // At most 64 KiB or one second of what the client still sends.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    char sink[4096];
    for (int pieces = 0; pieces < 16 && std::chrono::steady_clock::now() < end; ++pieces) {
        if (ops.Poll(m_fd, kPollIn, 1000) <= 0 || ops.Receive(m_fd, sink, sizeof sink) <= 0) {
            break;
        }
    }
    (void)ops.Close(m_fd);
}

long SocketTransport::Receive(char* buffer, std::size_t size, int timeoutMs)
{
    SocketOps& ops = SystemSocketOps();
    for (;;) {
        const int ready = ops.Poll(m_fd, kPollIn | kPollPeerClosed, timeoutMs);
        if (ready == 0) {
            return kTimedOut;
        }
        if (ready < 0) {
            m_error = -ready;
            return kFailed;
        }
        const long got = ops.Receive(m_fd, buffer, size);
        if (got >= 0) {
            return got;
        }
        if (got != -EAGAIN) {
            m_error = static_cast<int>(-got);
            return kFailed;
        }
    }
}

bool SocketTransport::Send(const char* data, std::size_t size, int timeoutMs)
{
    SocketOps& ops = SystemSocketOps();
    while (size > 0) {
        const long sent = ops.Send(m_fd, data, size);
        if (sent > 0) {
            m_sent = true;
            data += sent;
            size -= static_cast<std::size_t>(sent);
            continue;
        }
        if (sent != -EAGAIN) {
            m_error = static_cast<int>(-sent);
            return false;
        }
        const int ready = ops.Poll(m_fd, kPollOut, timeoutMs);
        if (ready <= 0 || (ready & (kPollError | kPollHangUp)) != 0) {
            m_error = ready == 0 ? ETIMEDOUT : EPIPE;
            return false;
        }
    }
    return true;
}

} // namespace qm::portico
