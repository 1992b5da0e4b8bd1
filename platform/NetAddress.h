// The web host's socket helpers: the listening socket, address texts, and ending a connection from outside.
#pragma once

#include "base/Result.h"
#include "platform/DescriptorIo.h"

#include <cstddef>
#include <string>

namespace qm {

/// Longest address text FormatSocketAddress writes, its NUL included.
inline constexpr size_t kAddressTextSize = 48;

/// Makes a TCP socket bound to the dotted IPv4 `address` ("0.0.0.0": every address) and `port`, listening with
/// `backlog`, close-on-exec, with address reuse so that a restart does not wait for old connections.
/// EINVAL when the address is not a dotted IPv4 address.
Result<platform::UniqueFd> ListenTcp(const std::string& address, unsigned port, int backlog);

/// Writes the address of a `struct sockaddr` (IPv4, or IPv6 with an IPv4-mapped address shown as IPv4) as text
/// into `out`. Writes "-" for null or another family. `out` holds at least kAddressTextSize bytes.
void FormatSocketAddress(const void* socketAddress, char* out, size_t size);

/// The local address (as text) and port of a connected socket.
struct SocketEnd {
    char Address[kAddressTextSize] = "-";
    unsigned Port = 0;
};

Result<SocketEnd> LocalEndOf(int socketFd);

/// A second descriptor of the same open socket (close-on-exec), so that the socket stays the same object as long
/// as it is held.
Result<platform::UniqueFd> DuplicateFd(int fd);

/// Ends both directions of a connected socket: the owner's next read sees the end and closes it.
void ShutdownSocket(int socketFd);

} // namespace qm
