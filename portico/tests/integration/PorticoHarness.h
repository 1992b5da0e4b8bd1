// What the Portico integration tests use to talk to the server: a free loopback port, curl, and a raw client.
#pragma once

#include "testsupport/FreePort.h"

#include <optional>
#include <string>
#include <vector>

namespace qm::test {

/// The reply that `curl -0 -i` printed.
struct CurlReply {
    bool Ran = false;
    std::string Raw; // head and body as received
    unsigned Status = 0;
    std::string Body;

    /// The value of the first header line `name` (without regard to case).
    std::optional<std::string> Header(const std::string& name) const;
};

/// Runs curl -0 -i -sS with `args` (time limit 30 s).
CurlReply Curl(const std::vector<std::string>& args);

/// A raw TCP client of 127.0.0.1:port.
class RawClient {
public:
    explicit RawClient(unsigned port);
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool Connected() const { return m_fd >= 0; }

    bool Send(const std::string& bytes) const;

    /// Reads until what came holds `needle` (empty: until the close), the server closes, or timeoutMs passes.
    std::string ReadUntil(const std::string& needle, int timeoutMs, bool& closed) const;

private:
    int m_fd = -1;
};

} // namespace qm::test
