#include "webserver/CgiRelay.h"

#include "platform/SocketOps.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>

namespace qm {

namespace {

constexpr size_t kReadPiece = 4096;

} // namespace

CgiRelay::CgiRelay(platform::UniqueFd pipe, uint64_t* bytesSent, int waitLimitMs)
    : m_pipe(std::move(pipe))
    , m_bytesSent(bytesSent)
    , m_waitLimitMs(waitLimitMs)
{}

CgiRelay::Clock::time_point CgiRelay::DeadlineFromNow() const
{
    return m_waitLimitMs < 0 ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(m_waitLimitMs);
}

bool CgiRelay::WaitReadable(Clock::time_point deadline) const
{
    if (deadline == Clock::time_point::max()) {
        return true; // no limit: the read itself waits
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
        return false;
    }
    // Poll reports the end of the output (the engine closed its end) as readable too.
    return SystemSocketOps().Poll(m_pipe.Get(), kPollIn, static_cast<int>(left)) > 0;
}

CgiHeadOutcome CgiRelay::ReadHead(CgiHead& head)
{
    const Clock::time_point deadline = DeadlineFromNow();
    m_buffer.clear();
    size_t scanFrom = 0;
    for (;;) {
        const size_t filled = m_buffer.size();
        if (filled >= kMaxCgiHeadBytes) {
            return CgiHeadOutcome::Malformed;
        }
        if (!WaitReadable(deadline)) {
            return CgiHeadOutcome::TimedOut;
        }
        m_buffer.resize(filled + kReadPiece);
        const Result<size_t> got = ReadSome(m_pipe.Get(), m_buffer.data() + filled, kReadPiece);
        m_buffer.resize(filled + (got ? *got : 0));
        if (!got || *got == 0) {
            m_ended = true;
            m_bodyStart = m_buffer.size();
            const bool parsed = got && !m_buffer.empty() && ParseCgiHead(m_buffer, head);
            return parsed ? CgiHeadOutcome::Read : CgiHeadOutcome::Malformed;
        }
        const size_t bodyStart = FindCgiHeadEnd(m_buffer, scanFrom);
        if (bodyStart != std::string::npos) {
            m_bodyStart = bodyStart;
            const bool parsed = bodyStart <= kMaxCgiHeadBytes &&
                                ParseCgiHead(std::string_view(m_buffer).substr(0, bodyStart), head);
            return parsed ? CgiHeadOutcome::Read : CgiHeadOutcome::Malformed;
        }
    }
}

long CgiRelay::Read(char* out, size_t size)
{
    size_t given = 0;
    if (m_bodyStart < m_buffer.size()) {
        given = std::min(size, m_buffer.size() - m_bodyStart);
        std::memcpy(out, m_buffer.data() + m_bodyStart, given);
        m_bodyStart += given;
    } else if (!m_ended) {
        if (!WaitReadable(DeadlineFromNow())) {
            m_ended = true;
            return -1;
        }
        const Result<size_t> got = ReadSome(m_pipe.Get(), out, size);
        if (!got) {
            m_ended = true;
            return -1;
        }
        given = *got;
        m_ended = given == 0;
    }
    if (m_bytesSent != nullptr) {
        *m_bytesSent += given;
    }
    return static_cast<long>(given);
}

void CgiRelay::Drain()
{
    const Clock::time_point deadline = DeadlineFromNow();
    m_buffer.resize(size_t{16} * 1024);
    while (!m_ended && m_pipe.Valid() && WaitReadable(deadline)) {
        const Result<size_t> got = ReadSome(m_pipe.Get(), m_buffer.data(), m_buffer.size());
        m_ended = !got || *got == 0;
    }
    m_pipe.Reset();
}

} // namespace qm
