// RequestLog: collects the log lines of one request or connection and hands them to the LogFile in one piece.
#pragma once

#include "common/Log.h"
#include "common/LogFile.h"

#include <cstddef>
#include <memory>
#include <mutex>

namespace qm {

/// A Logger that buffers time-stamped lines in memory and writes them to its target in one Write on Flush or
/// destruction, so that the lines of concurrent requests do not interleave. At log level 1 each line is flushed
/// at once. Lock order: the RequestLog's lock, then the target's.
class RequestLog final : public Logger {
public:
    /// `target` is not owned and must outlive the RequestLog.
    explicit RequestLog(LogFile& target);

    /// Flushes what is left.
    ~RequestLog() override;

    /// A non-empty text gives the prefix "[text] " (cut to 63 characters) before every line's text; an empty or
    /// null text clears it.
    void SetPrefix(const char* text);

    /// Appends one line: time stamp, prefix, the formatted text (cut to 766 bytes), and CR LF unless the text
    /// ends with LF. A line that does not fit in memory is dropped.
    [[gnu::format(printf, 2, 0)]] void VLog(const char* format, va_list args) override;
    void Write(const char* bytes, size_t length) override;
    void Flush() override;

private:
    bool Reserve(size_t extra);
    void FlushIfImmediate();

    static constexpr size_t kPrefixSize = 64;
    static constexpr size_t kMaxText = 766;
    static constexpr size_t kGrowthStep = 4096;

    size_t m_prefixLength = 0;
    char m_prefix[kPrefixSize] = {};
    std::recursive_mutex m_lock;
    LogFile& m_target;
    std::unique_ptr<char[]> m_buffer;
    size_t m_length = 0;
    size_t m_capacity = 0;
};

} // namespace qm
