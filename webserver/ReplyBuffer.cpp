#include "webserver/ReplyBuffer.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>

namespace qm {

namespace {

long WriteToBuffer(void* context, const char* data, size_t size)
{
    return static_cast<ReplyBuffer*>(context)->Write(data, size);
}

void EndBuffer(void* context)
{
    static_cast<ReplyBuffer*>(context)->End();
}

} // namespace

ReplyBuffer::ReplyBuffer(int waitLimitMs, size_t cap)
    : m_waitLimitMs(waitLimitMs)
    , m_cap(cap == 0 ? 1 : cap)
{}

QmHostReply ReplyBuffer::Sink()
{
    return QmHostReply{this, &WriteToBuffer, &EndBuffer};
}

ReplyBuffer::Clock::time_point ReplyBuffer::DeadlineFromNow() const
{
    return m_waitLimitMs < 0 ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(m_waitLimitMs);
}

template <typename Ready>
bool ReplyBuffer::WaitFor(std::unique_lock<std::mutex>& hold, std::condition_variable& wake,
                          Clock::time_point deadline, Ready ready)
{
    if (deadline == Clock::time_point::max()) {
        wake.wait(hold, ready);
        return true;
    }
    return wake.wait_until(hold, deadline, ready);
}

long ReplyBuffer::Write(const char* data, size_t size)
{
    std::unique_lock<std::mutex> hold(m_lock);
    if (m_ended) {
        return -1;
    }
    size_t left = size;
    bool wakeReader = false;
    while (left > 0 && !m_abandoned) {
        const size_t held = m_bytes.size() - m_taken;
        if (held >= m_cap) {
            if (std::exchange(wakeReader, false)) {
                m_dataCame.notify_one();
            }
            m_writerWaits = true;
            const bool room = WaitFor(hold, m_roomCame, DeadlineFromNow(),
                                      [this] { return m_abandoned || m_bytes.size() - m_taken < m_cap; });
            m_writerWaits = false;
            if (!room) {
                // The connection took nothing for the whole wait limit: give the reply up, as a closed pipe would.
                m_abandoned = true;
                m_bytes.clear();
                m_taken = 0;
                return -1;
            }
            continue;
        }
        const size_t piece = std::min(left, m_cap - held);
        m_bytes.append(data, piece);
        data += piece;
        left -= piece;
        wakeReader = wakeReader || m_readerWaits;
    }
    hold.unlock();
    if (wakeReader) {
        m_dataCame.notify_one();
    }
    return static_cast<long>(size);
}

void ReplyBuffer::End()
{
    std::unique_lock<std::mutex> hold(m_lock);
    if (m_ended) {
        return;
    }
    m_ended = true;
    const bool wakeReader = m_readerWaits;
    hold.unlock();
    if (wakeReader) {
        m_dataCame.notify_one();
    }
}

CgiHeadOutcome ReplyBuffer::ReadHead(CgiHead& head)
{
    const Clock::time_point deadline = DeadlineFromNow();
    std::unique_lock<std::mutex> hold(m_lock);
    size_t scanFrom = 0;
    size_t scanned = 0;
    for (;;) {
        const std::string_view bytes = std::string_view(m_bytes).substr(m_taken);
        const size_t bodyStart = FindCgiHeadEnd(bytes, scanFrom);
        scanned = bytes.size();
        if (bodyStart != std::string::npos) {
            if (bodyStart > kMaxCgiHeadBytes) {
                return CgiHeadOutcome::Malformed;
            }
            m_head.assign(bytes.substr(0, bodyStart));
            m_taken += bodyStart;
            return ParseCgiHead(m_head, head) ? CgiHeadOutcome::Read : CgiHeadOutcome::Malformed;
        }
        // Past the limit, or so much that the engine waits for room: no head is coming.
        if (bytes.size() >= std::min(kMaxCgiHeadBytes, m_cap)) {
            return CgiHeadOutcome::Malformed;
        }
        if (m_ended) {
            // Header lines without the empty line: a head with an empty body.
            m_head.assign(bytes);
            m_taken += bytes.size();
            return !m_head.empty() && ParseCgiHead(m_head, head) ? CgiHeadOutcome::Read : CgiHeadOutcome::Malformed;
        }
        m_readerWaits = true;
        const bool more = WaitFor(hold, m_dataCame, deadline,
                                  [&] { return m_ended || m_bytes.size() - m_taken > scanned; });
        m_readerWaits = false;
        if (!more) {
            return CgiHeadOutcome::TimedOut;
        }
    }
}

bool ReplyBuffer::TakeWholeBody(std::string& body)
{
    const std::lock_guard<std::mutex> hold(m_lock);
    if (!m_ended) {
        return false;
    }
    m_bytes.erase(0, m_taken);
    body = std::move(m_bytes);
    m_bytes.clear();
    m_taken = 0;
    return true;
}

long ReplyBuffer::Read(char* out, size_t size, uint64_t* bytesSent)
{
    std::unique_lock<std::mutex> hold(m_lock);
    if (m_bytes.size() == m_taken && !m_ended) {
        m_readerWaits = true;
        const bool came = WaitFor(hold, m_dataCame, DeadlineFromNow(),
                                  [this] { return m_ended || m_bytes.size() > m_taken; });
        m_readerWaits = false;
        if (!came) {
            return -1;
        }
    }
    const size_t given = std::min(size, m_bytes.size() - m_taken);
    if (given == 0) {
        return 0; // ended, and everything taken
    }
    std::memcpy(out, m_bytes.data() + m_taken, given);
    m_taken += given;
    if (m_taken == m_bytes.size()) {
        m_bytes.clear();
        m_taken = 0;
    } else if (m_taken >= m_cap) {
        m_bytes.erase(0, m_taken);
        m_taken = 0;
    }
    const bool wakeWriter = m_writerWaits;
    hold.unlock();
    if (wakeWriter) {
        m_roomCame.notify_one();
    }
    if (bytesSent != nullptr) {
        *bytesSent += given;
    }
    return static_cast<long>(given);
}

void ReplyBuffer::Abandon()
{
    std::unique_lock<std::mutex> hold(m_lock);
    m_abandoned = true;
    m_bytes.clear();
    m_bytes.shrink_to_fit();
    m_taken = 0;
    const bool wakeWriter = m_writerWaits;
    hold.unlock();
    if (wakeWriter) {
        m_roomCame.notify_one();
    }
}

} // namespace qm
