// CgiRelay: the read end of the pipe on which the engine's Main writes one response, read by the connection that
// sends it on: first the head, then the body piece by piece.
#pragma once

#include "platform/DescriptorIo.h"
#include "webserver/CgiHead.h"

#include <chrono>
#include <cstdint>
#include <string>

namespace qm {

/// What waiting for the engine's head gave.
enum class CgiHeadOutcome {
    Read,      // a head, parsed
    Malformed, // empty output, a malformed or too large head, or a read error
    TimedOut,  // the head was not whole in time
};

class CgiRelay {
public:
    /// `bytesSent` (may be null) counts the body bytes handed out by Read. `waitLimitMs` (negative: no limit)
    /// bounds every wait for the engine: the whole head, each silence within the body, and the drain.
    CgiRelay(platform::UniqueFd pipe, uint64_t* bytesSent, int waitLimitMs);

    CgiRelay(const CgiRelay&) = delete;
    CgiRelay& operator=(const CgiRelay&) = delete;

    /// Reads until the head's empty line has arrived and parses it into `head` (whose views point into this
    /// relay, valid until the next call). Output that ends after header lines without the empty line counts
    /// as a head with an empty body. Malformed when the output is empty, the head is malformed, or it passes
    /// kMaxCgiHeadBytes; TimedOut when the head is not whole within the wait limit.
    CgiHeadOutcome ReadHead(CgiHead& head);

    /// The next body bytes into `out`: first those that came with the head, then what the pipe holds (waiting
    /// for the engine when it holds nothing yet, up to the wait limit). 0 at the end of the output, -1 on a read
    /// error or when the engine stayed silent past the wait limit.
    long Read(char* out, size_t size);

    /// Reads and drops the rest of the output until the engine closes it, so that Main never blocks on a full
    /// pipe or sees a broken one because the client went away. Gives up after the wait limit and closes the
    /// pipe: an engine that writes on then sees a broken pipe instead of holding this thread.
    void Drain();

private:
    using Clock = std::chrono::steady_clock;

    // Waits until the pipe can be read or `deadline` passes; false on time-out or error.
    bool WaitReadable(Clock::time_point deadline) const;
    Clock::time_point DeadlineFromNow() const;

    platform::UniqueFd m_pipe;
    std::string m_buffer;
    size_t m_bodyStart = 0;
    uint64_t* m_bytesSent;
    int m_waitLimitMs;
    bool m_ended = false;
};

} // namespace qm
