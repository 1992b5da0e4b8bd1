// The admin web server's access log "http-admin.log": one line per request in the common log format.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>
#include <string_view>

namespace qm::portico {

/// What one access-log line says.
struct AccessRecord {
    std::string_view ClientAddress; // dotted
    std::string_view User;          // the Basic user name (never the password); "" for none
    time_t RequestTime = 0;
    std::string_view RequestLine; // as received; "" for none
    int Status = 0;
    uint64_t Bytes = 0; // bytes sent after the server's own head
};

/// The line for `record`: "addr - user [time] \"request\" status bytes" and CR LF. The time is local time with
/// its offset from UTC ("10/Dec/2026:13:00:00 +0100"). Control bytes of the request line are written as '?', so
/// a line never breaks in two.
std::string FormatAccessLine(const AccessRecord& record);

/// The log file, opened for appending; every line and the rotation hold its lock.
class AccessLog {
public:
    AccessLog() = default;
    AccessLog(const AccessLog&) = delete;
    AccessLog& operator=(const AccessLog&) = delete;
    ~AccessLog();

    /// Opens "<logDir>/http-admin.log" for appending. False when it cannot be opened.
    bool Open(const std::string& logDir);

    /// Writes and flushes one line; nothing when the file is not open.
    void Write(const AccessRecord& record);

    /// When sizeLimitKb > 0 and the file has reached it: renames it to "http-admin.old" (replacing that) and
    /// opens a new one.
    void Rotate(int sizeLimitKb);

    void Close();

private:
    std::recursive_mutex m_lock;
    std::FILE* m_file = nullptr;
    std::string m_path;
    std::string m_oldPath;
};

} // namespace qm::portico
