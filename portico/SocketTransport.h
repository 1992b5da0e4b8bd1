// The Transport of an accepted TCP connection, over the platform's socket calls.
#pragma once

#include "portico/HttpConnection.h"

namespace qm::portico {

class SocketTransport final : public Transport {
public:
    /// Takes the accepted descriptor `fd` (non-blocking) and the peer's address.
    SocketTransport(int fd, std::uint32_t peer);
    /// After a reply: shuts down sending, reads what the client still sends for a moment (so that the close does not
    /// reset the reply away), and closes. Without one: closes at once.
    ~SocketTransport() override;
    SocketTransport(const SocketTransport&) = delete;
    SocketTransport& operator=(const SocketTransport&) = delete;

    long Receive(char* buffer, std::size_t size, int timeoutMs) override;
    bool Send(const char* data, std::size_t size, int timeoutMs) override;

    std::uint32_t PeerAddress() const override { return m_peer; }

    std::uint32_t LocalAddress() const override { return m_local; }

    unsigned LocalPort() const override { return m_localPort; }

    int LastError() const override { return m_error; }

    /// The socket, for waiting on it together with others.
    int Fd() const { return m_fd; }

private:
    int m_fd;
    std::uint32_t m_peer;
    std::uint32_t m_local = 0;
    unsigned m_localPort = 0;
    int m_error = 0;
    bool m_sent = false;
};

} // namespace qm::portico
