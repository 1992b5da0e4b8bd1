// CgiRelay: the read end of the pipe on which the engine's Main writes one response, read by the connection that
// sends it on: first the head, then the body piece by piece.
#pragma once

#include "platform/DescriptorIo.h"
#include "webserver/CgiHead.h"

#include <cstdint>
#include <string>

namespace qm {

class CgiRelay {
public:
    /// `bytesSent` (may be null) counts the body bytes handed out by Read.
    CgiRelay(platform::UniqueFd pipe, uint64_t* bytesSent);

    CgiRelay(const CgiRelay&) = delete;
    CgiRelay& operator=(const CgiRelay&) = delete;

    /// Reads until the head's empty line has arrived and parses it into `head` (whose views point into this
    /// relay, valid until the next call). Output that ends after header lines without the empty line counts
    /// as a head with an empty body. False when the output is empty, the head is malformed, or it passes
    /// kMaxCgiHeadBytes.
    bool ReadHead(CgiHead& head);

    /// The next body bytes into `out`: first those that came with the head, then what the pipe holds (waiting
    /// for the engine when it holds nothing yet). 0 at the end of the output, -1 on a read error.
    long Read(char* out, size_t size);

    /// Reads and drops the rest of the output until the engine closes it, so that Main never blocks on a full
    /// pipe or sees a broken one because the client went away.
    void Drain();

private:
    platform::UniqueFd m_pipe;
    std::string m_buffer;
    size_t m_bodyStart = 0;
    uint64_t* m_bytesSent;
    bool m_ended = false;
};

} // namespace qm
