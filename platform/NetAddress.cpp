#include "platform/NetAddress.h"

#include "platform/FdUtil.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qm {

Result<platform::UniqueFd> ListenTcp(const std::string& address, unsigned port, int backlog)
{
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(static_cast<uint16_t>(port));
    if (port > 65535 || inet_pton(AF_INET, address.c_str(), &where.sin_addr) != 1) {
        return Fail("not an IPv4 address and port: " + address + " " + std::to_string(port), EINVAL);
    }
    platform::UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.Valid()) {
        return platform::SystemFailure("socket", errno);
    }
    const int on = 1;
    (void)setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(fd.Get(), reinterpret_cast<const sockaddr*>(&where), sizeof where) != 0) {
        return platform::SystemFailure("bind " + address + ":" + std::to_string(port), errno);
    }
    if (listen(fd.Get(), backlog) != 0) {
        return platform::SystemFailure("listen", errno);
    }
    return fd;
}

void FormatSocketAddress(const void* socketAddress, char* out, size_t size)
{
    if (size == 0) {
        return;
    }
    out[0] = '\0';
    const auto* any = static_cast<const sockaddr*>(socketAddress);
    const char* done = nullptr;
    if (any != nullptr && any->sa_family == AF_INET) {
        const auto* v4 = static_cast<const sockaddr_in*>(socketAddress);
        done = inet_ntop(AF_INET, &v4->sin_addr, out, static_cast<socklen_t>(size));
    } else if (any != nullptr && any->sa_family == AF_INET6) {
        const auto* v6 = static_cast<const sockaddr_in6*>(socketAddress);
        if (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr)) {
            done = inet_ntop(AF_INET, &v6->sin6_addr.s6_addr[12], out, static_cast<socklen_t>(size));
        } else {
            done = inet_ntop(AF_INET6, &v6->sin6_addr, out, static_cast<socklen_t>(size));
        }
    }
    if (done == nullptr) {
        (void)std::snprintf(out, size, "-");
    }
}

Result<SocketEnd> LocalEndOf(int socketFd)
{
    sockaddr_storage where{};
    socklen_t length = sizeof where;
    if (getsockname(socketFd, reinterpret_cast<sockaddr*>(&where), &length) != 0) {
        return platform::SystemFailure("getsockname", errno);
    }
    SocketEnd end;
    FormatSocketAddress(&where, end.Address, sizeof end.Address);
    if (where.ss_family == AF_INET) {
        end.Port = ntohs(reinterpret_cast<const sockaddr_in*>(&where)->sin_port);
    } else if (where.ss_family == AF_INET6) {
        end.Port = ntohs(reinterpret_cast<const sockaddr_in6*>(&where)->sin6_port);
    }
    return end;
}

Result<platform::UniqueFd> DuplicateFd(int fd)
{
    const int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) {
        return platform::SystemFailure("dup", errno);
    }
    return platform::UniqueFd(copy);
}

void ShutdownSocket(int socketFd)
{
    (void)shutdown(socketFd, SHUT_RDWR);
}

} // namespace qm
