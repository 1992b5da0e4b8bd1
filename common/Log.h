// The leveled log: the Logger interface, the process-wide log level and the line time stamp.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <ctime>

namespace qm {

/// Level of the log's own banners: they are written at every setting up to this one.
inline constexpr int kLogLevelBanner = 6;

/// Length of a line's time stamp "[Tue 2026-12-08 08:24:00] ", its trailing space included.
inline constexpr size_t kLogStampLength = 26;

/// Points the process-wide log level at `source` (the engine: its shared section; the admin server: a global).
/// The level is read there at every message, so a change by another thread or process takes effect at once.
/// nullptr restores the default level, 1. `source` must stay valid while it is set.
void SetLogLevelSource(int* source);

/// The current log level: a message of level L is written only when L >= this value.
int CurrentLogLevel();

/// Writes the local time `when` as "[%a %Y-%m-%d %H:%M:%S] " (with English day names whatever the process
/// locale) and a NUL to `out`, which must hold more than kLogStampLength bytes. Returns kLogStampLength.
size_t FormatLogStamp(time_t when, char* out, size_t size);

/// A leveled log. LogMsg and Log filter by level; each implementation writes lines with VLog, raw bytes with
/// Write, and pushes what it holds with Flush. Implementations are safe to use from several threads.
class Logger {
public:
    Logger() = default;
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;
    virtual ~Logger();

    /// Writes message `id` of the program's string table, formatted with the arguments, when `level` reaches the
    /// current log level. An id without text gives a line with the time stamp only.
    void LogMsg(int level, int id, ...);

    /// Writes one line formatted printf-style when `level` reaches the current log level. Text that comes from
    /// outside is always passed as an argument ("%s"), never as the format.
    [[gnu::format(printf, 3, 4)]] void Log(int level, const char* format, ...);

    /// Writes bytes as they are, with no time stamp.
    virtual void Write(const char* bytes, size_t length) = 0;

    /// Pushes buffered text to its destination.
    virtual void Flush() = 0;

    /// Writes one formatted line, whatever the level.
    [[gnu::format(printf, 2, 0)]] virtual void VLog(const char* format, va_list args) = 0;
};

} // namespace qm
