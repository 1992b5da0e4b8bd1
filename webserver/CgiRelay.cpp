#include "webserver/CgiRelay.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>

namespace qm {

namespace {

constexpr size_t kReadPiece = 4096;

} // namespace

CgiRelay::CgiRelay(platform::UniqueFd pipe, uint64_t* bytesSent)
    : m_pipe(std::move(pipe))
    , m_bytesSent(bytesSent)
{}

bool CgiRelay::ReadHead(CgiHead& head)
{
    m_buffer.clear();
    size_t scanFrom = 0;
    for (;;) {
        const size_t filled = m_buffer.size();
        if (filled >= kMaxCgiHeadBytes) {
            return false;
        }
        m_buffer.resize(filled + kReadPiece);
        const Result<size_t> got = ReadSome(m_pipe.Get(), m_buffer.data() + filled, kReadPiece);
        m_buffer.resize(filled + (got ? *got : 0));
        if (!got || *got == 0) {
            m_ended = true;
            m_bodyStart = m_buffer.size();
            return got && !m_buffer.empty() && ParseCgiHead(m_buffer, head);
        }
        const size_t bodyStart = FindCgiHeadEnd(m_buffer, scanFrom);
        if (bodyStart != std::string::npos) {
            m_bodyStart = bodyStart;
            return bodyStart <= kMaxCgiHeadBytes && ParseCgiHead(std::string_view(m_buffer).substr(0, bodyStart), head);
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
    m_buffer.resize(size_t{16} * 1024);
    while (!m_ended) {
        const Result<size_t> got = ReadSome(m_pipe.Get(), m_buffer.data(), m_buffer.size());
        m_ended = !got || *got == 0;
    }
    m_pipe.Reset();
}

} // namespace qm
