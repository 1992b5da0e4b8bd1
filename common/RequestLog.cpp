#include "common/RequestLog.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

namespace qm {

RequestLog::RequestLog(LogFile& target)
    : m_target(target)
{}

RequestLog::~RequestLog()
{
    Flush();
}

void RequestLog::SetPrefix(const char* text)
{
    std::lock_guard lock(m_lock);
    if (text == nullptr || *text == '\0') {
        m_prefixLength = 0;
        m_prefix[0] = '\0';
        return;
    }
    // The formatted "[text] " is what is cut, so a long text loses its closing bracket.
    const int written = std::snprintf(m_prefix, sizeof m_prefix, "[%s] ", text);
    m_prefixLength = written < 0 ? 0 : std::min(static_cast<size_t>(written), sizeof m_prefix - 1);
}

bool RequestLog::Reserve(size_t extra)
{
    if (extra > SIZE_MAX - m_length - kGrowthStep) {
        return false;
    }
    const size_t needed = m_length + extra;
    if (needed <= m_capacity) {
        return true;
    }
    const size_t capacity = (needed + kGrowthStep - 1) / kGrowthStep * kGrowthStep;
    std::unique_ptr<char[]> grown(new (std::nothrow) char[capacity]);
    if (!grown) {
        return false;
    }
    if (m_length > 0) {
        std::memcpy(grown.get(), m_buffer.get(), m_length);
    }
    m_buffer = std::move(grown);
    m_capacity = capacity;
    return true;
}

void RequestLog::VLog(const char* format, va_list args)
{
    std::lock_guard lock(m_lock);
    // Stamp, prefix, text, CR LF and the NUL that vsnprintf writes.
    if (!Reserve(kLogStampLength + m_prefixLength + kMaxText + 3)) {
        return;
    }
    char* line = m_buffer.get() + m_length;
    size_t length = FormatLogStamp(m_target.Now(), line, kLogStampLength + 1);
    std::memcpy(line + length, m_prefix, m_prefixLength);
    length += m_prefixLength;
    const int written = std::vsnprintf(line + length, kMaxText + 1, format, args);
    if (written > 0) {
        length += std::min(static_cast<size_t>(written), kMaxText);
    }
    if (written <= 0 || line[length - 1] != '\n') {
        line[length++] = '\r';
        line[length++] = '\n';
    }
    m_length += length;
    FlushIfImmediate();
}

void RequestLog::Write(const char* bytes, size_t length)
{
    std::lock_guard lock(m_lock);
    if (length == 0 || !Reserve(length)) {
        return;
    }
    std::memcpy(m_buffer.get() + m_length, bytes, length);
    m_length += length;
    FlushIfImmediate();
}

void RequestLog::Flush()
{
    std::lock_guard lock(m_lock);
    if (m_length == 0) {
        return;
    }
    m_target.Write(m_buffer.get(), m_length);
    m_buffer.reset();
    m_length = 0;
    m_capacity = 0;
}

void RequestLog::FlushIfImmediate()
{
    if (CurrentLogLevel() == 1) {
        Flush();
    }
}

} // namespace qm
