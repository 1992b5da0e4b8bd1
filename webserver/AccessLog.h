// The web server's access log: one line per request in the common log format, rotated by size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace qm {

/// File name of the access log in the log directory, and of its previous generation.
inline constexpr const char* kAccessLogName = "http-web.log";
inline constexpr const char* kAccessLogOldName = "http-web.old";

/// One request as the access log records it.
struct AccessLogEntry {
    std::string_view Client; // the client's address
    time_t When = 0;         // when the request began
    std::string_view Method;
    std::string_view Target; // the path and query as received
    std::string_view Version;
    unsigned Status = 0;
    uint64_t Bytes = 0; // body bytes sent
};

/// Writes the line "client - - [dd/Mon/yyyy:hh:mm:ss +zzzz] \"METHOD target VERSION\" status bytes\n" (local time)
/// into `out` and returns its length; a line that does not fit is cut and still ends with '\n'. Bytes of the
/// request line that could break the line or its quoting ('"', '\', control and 8-bit bytes) are written as \xHH.
/// The value of every query field whose name is a password field (IsPasswordFieldName) is written as "*".
size_t FormatAccessLogLine(const AccessLogEntry& entry, char* out, size_t size);

/// True when the form field name `raw`, as sent (%XX and '+' not yet decoded), names a password: once decoded as the
/// engine decodes it, it contains "pass" in any case ("Password", "NewPassword", "MailPass:0", "%50assword"), the
/// rule of the engine's own log.
bool IsPasswordFieldName(std::string_view raw);

/// The log file. Safe to use from many threads; each line is written whole and flushed.
class AccessLog {
public:
    /// Opens "<logDir>/http-web.log" for appending. `maxKb` > 0: when the file reaches that size it is renamed
    /// to "http-web.old" (replacing the previous one) and a new file begun. A file that cannot be opened makes
    /// every write a no-op; `Opened` tells.
    AccessLog(const std::string& logDir, int64_t maxKb);

    bool Opened() const;

    void Write(const AccessLogEntry& entry);

private:
    struct FileCloser {
        void operator()(std::FILE* file) const { (void)std::fclose(file); }
    };

    void RotateIfDue();

    std::string m_path;
    std::string m_oldPath;
    int64_t m_maxBytes = 0;
    int64_t m_size = 0;
    mutable std::mutex m_lock;
    std::unique_ptr<std::FILE, FileCloser> m_file;
};

/// Writes `when` as an HTTP date ("Tue, 08 Dec 2026 08:24:00 GMT") and a NUL into `out` (at least 30 bytes).
void FormatHttpDate(time_t when, char* out, size_t size);

} // namespace qm
