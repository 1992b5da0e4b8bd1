// LogFile: the time-stamped file log, rotated daily, weekly or monthly, or when it passes its size limit.
#pragma once

#include "common/Log.h"

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace qm {

/// The log's banners, with the product name and the version as their two arguments. Each program's string
/// table carries them under that program's ids (LogBannerIds).
inline constexpr const char* kLogStartingText = "----- %s %s Log file starting -----";
inline constexpr const char* kLogStoppingText = "----- %s %s Log file stopping -----";
inline constexpr const char* kLogRotatingText = "----- %s %s Log file rotating -----";
inline constexpr const char* kLogTooLargeText = "----- %s %s Log file too large -----";

/// String ids of the four banners in a program's table.
struct LogBannerIds {
    int Starting;
    int Stopping;
    int Rotating;
    int TooLarge;
};

inline constexpr LogBannerIds kEngineLogBannerIds{272, 273, 274, 275};
inline constexpr LogBannerIds kAdminServerLogBannerIds{1600, 1614, 1648, 1649};

/// Product names that the banners show.
inline constexpr const char* kEngineLogProductName = "Quillmail Pro";
inline constexpr const char* kAdminServerLogProductName = "Quillmail Pro Admin Server";

/// Name of the marker file that exists in the log directory while the engine's log is rotated for its size.
inline constexpr const char* kLogRotationMarkerName = "LOCKLOG.SEM";

/// Dated rotation: a new file each day, each week (on Sunday) or each month, at local midnight.
enum class LogRotation {
    None = 0,
    Daily = 1,
    Weekly = 2,
    Monthly = 3,
};

/// "DAILY", "WEEKLY" or "MONTHLY" in any case; anything else (null included) is None.
LogRotation ParseLogRotation(const char* text);

/// The log's source of the current time; tests give a fake one. Must be safe to call from any thread.
using LogClock = std::function<time_t()>;

/// A Logger that writes time-stamped lines to a file, flushing each one. Every operation takes the log's
/// re-entrant lock, so lines from many threads are written whole. A file that cannot be opened makes every write
/// try again and drop its text; nothing is reported.
class LogFile final : public Logger {
public:
    /// The engine's log: "<logDir>/<fileName>", or with a rotation mode "<logDir>/<datedPrefix>YYYYMMDD.log".
    /// `rotation` as ParseLogRotation reads it; `sizeLimitKb` <= 0 means no size limit. Opens the file at once.
    LogFile(const char* logDir, const char* fileName, const char* datedPrefix, const char* rotation, int sizeLimitKb,
            LogClock clock = {});

    /// The admin server's log at `fullPath`: no dated rotation, and its size rotation leaves no marker file.
    /// Opens the file at once.
    LogFile(const char* fullPath, int sizeLimitKb, LogClock clock = {});

    /// Writes the "stopping" banner and closes the file.
    ~LogFile() override;

    /// Opens (or reopens) the current path for appending and writes the "starting" banner. False when the file
    /// cannot be opened.
    bool Open();

    /// Writes one line: time stamp, the formatted text (cut to fit the line), and CR LF unless the text ends
    /// with LF.
    [[gnu::format(printf, 2, 0)]] void VLog(const char* format, va_list args) override;
    void Write(const char* bytes, size_t length) override;
    void Flush() override;

    /// With a rotation mode: makes the current path the dated name of `now`'s local date and sets the next
    /// rotation to the coming local midnight that starts the next day, week (Sunday) or month. Without a rotation
    /// mode it changes nothing.
    void PlanRotation(time_t now);

    /// Rotates when due: to a new dated file when the next rotation time has come, else to "<name>.old" when the
    /// file has reached its size limit. True when it closed the file and opened it again.
    bool CheckRotation();

    /// The path being written.
    std::string CurrentPath() const;

    /// The log's current time.
    time_t Now() const { return m_clock(); }

    /// Test hook: called during a size rotation, once the marker file would exist, with the marker's path.
    void SetSizeRotationHook(std::function<void(const std::filesystem::path& marker)> hook);

private:
    enum class Kind {
        Engine,
        AdminServer,
    };

    struct FileCloser {
        void operator()(std::FILE* file) const { (void)std::fclose(file); }
    };

    LogFile(Kind kind, int sizeLimitKb, LogClock clock);
    void WriteBanner(int id);
    void Close();
    std::filesystem::path MarkerPath() const;
    void RemoveMarker() const;
    bool SizeLimitReached();
    void RotateBySize();

    static constexpr size_t kLineSize = 768;
    // The stamp and the text end here; CR LF and the NUL follow.
    static constexpr size_t kLineTextEnd = 765;

    const Kind m_kind;
    const LogBannerIds m_bannerIds;
    const char* const m_productName;
    const LogClock m_clock;
    std::string m_path;
    char m_line[kLineSize] = {};
    std::string m_datedPrefix;
    int64_t m_sizeLimit = 0;
    LogRotation m_rotation = LogRotation::None;
    time_t m_nextRotation = 0;
    std::unique_ptr<std::FILE, FileCloser> m_file;
    std::function<void(const std::filesystem::path&)> m_sizeRotationHook;
    // Re-entrant: the log writes its own banners while it holds the lock.
    mutable std::recursive_mutex m_lock;
};

} // namespace qm
