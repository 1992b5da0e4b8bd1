// A loopback port that is free now, for a test server that must be told its port before it starts.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qm::test {

/// A TCP port on 127.0.0.1 that the kernel reports free: bound with port 0, read back, closed (0 when none could
/// be had). Another process may take it before the caller binds it.
inline unsigned PickFreePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return 0;
    }
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof where;
    unsigned port = 0;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&where), sizeof where) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&where), &length) == 0) {
        port = ntohs(where.sin_port);
    }
    ::close(fd);
    return port;
}

} // namespace qm::test
