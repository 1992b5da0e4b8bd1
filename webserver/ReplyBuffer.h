// ReplyBuffer: one response of the engine handed over in memory. The engine's thread writes into it through its
// QmHostReply; the connection's thread waits for the head, then takes the body piece by piece. It holds at most its
// cap of bytes not yet taken: a writer beyond that waits for the connection, as it would on a full pipe.
#pragma once

#include "common/HostReplyApi.h"
#include "webserver/CgiHead.h"
#include "webserver/CgiRelay.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

namespace qm {

/// Most bytes a reply holds that the connection has not taken yet.
inline constexpr size_t kReplyBufferCap = size_t{1} << 20;

class ReplyBuffer {
public:
    /// `waitLimitMs` (negative: no limit) bounds every wait of either side: the connection's wait for the whole head
    /// and each silence within the body, and the engine's wait for room. `cap` is the most bytes held untaken.
    explicit ReplyBuffer(int waitLimitMs, size_t cap = kReplyBufferCap);

    ReplyBuffer(const ReplyBuffer&) = delete;
    ReplyBuffer& operator=(const ReplyBuffer&) = delete;

    /// The engine's side of this buffer; valid while the buffer lives.
    QmHostReply Sink();

    // ---- The engine's side ----

    /// Takes `size` bytes, waiting for room while the buffer holds its cap. After Abandon the bytes are dropped (and
    /// count as taken). -1 after End, or when no room came within the wait limit (the reply is then abandoned).
    long Write(const char* data, size_t size);

    /// The response is whole. Further calls do nothing.
    void End();

    // ---- The connection's side ----

    /// Waits until the head's empty line has come and parses it into `head` (whose views point into this buffer,
    /// valid until the next call of ReadHead). Output that ends after header lines without the empty line counts as a
    /// head with an empty body. Malformed when the output is empty, the head is malformed or passes
    /// kMaxCgiHeadBytes (or the cap); TimedOut when the head is not whole within the wait limit.
    CgiHeadOutcome ReadHead(CgiHead& head);

    /// True when the engine has ended the response; `body` then receives the whole body (after the head), which is
    /// taken out of the buffer. False, with nothing taken, while the engine may still write.
    bool TakeWholeBody(std::string& body);

    /// The next body bytes into `out`, waiting for the engine while there are none yet (up to the wait limit); each
    /// adds to `*bytesSent` when given. 0 at the end of the response, -1 when the engine stayed silent past the limit.
    long Read(char* out, size_t size, uint64_t* bytesSent);

    /// The connection sends nothing more: what is held and what comes later is dropped, and a waiting writer goes
    /// on at once.
    void Abandon();

private:
    using Clock = std::chrono::steady_clock;

    Clock::time_point DeadlineFromNow() const;
    // Waits on `wake` until `ready` holds or the deadline passes; false on time-out.
    template <typename Ready>
    bool WaitFor(std::unique_lock<std::mutex>& hold, std::condition_variable& wake, Clock::time_point deadline,
                 Ready ready);

    const int m_waitLimitMs;
    const size_t m_cap;

    std::mutex m_lock;
    std::condition_variable m_dataCame; // the connection waits for bytes or the end
    std::condition_variable m_roomCame; // the engine waits for room
    std::string m_bytes;                // written and not yet taken, from m_taken on
    size_t m_taken = 0;
    bool m_readerWaits = false;
    bool m_writerWaits = false;
    bool m_ended = false;
    bool m_abandoned = false;

    // The connection's own: the head's text, which the head's views point into.
    std::string m_head;
};

} // namespace qm
