#include "common/LogFile.h"

#include "common/Version.h"
#include "platform/FileSystem.h"

#include <cstring>
#include <system_error>

namespace qm {
namespace {

namespace fs = std::filesystem;

constexpr time_t kSecondsPerDay = 86400;

bool EqualsNoCase(const char* text, const char* upper)
{
    for (; *upper != '\0'; ++text, ++upper) {
        unsigned char c = static_cast<unsigned char>(*text);
        if (c >= 'a' && c <= 'z') {
            c = static_cast<unsigned char>(c - 'a' + 'A');
        }
        if (c != static_cast<unsigned char>(*upper)) {
            return false;
        }
    }
    return *text == '\0';
}

time_t SystemNow()
{
    return std::time(nullptr);
}

std::FILE* OpenForAppend(const std::string& path)
{
    // Close-on-exec, so that the log never leaks into programs the server starts; owner only from the first byte,
    // as request lines may carry what a user typed.
    return platform::OpenFileForAppend(path);
}

} // namespace

LogRotation ParseLogRotation(const char* text)
{
    if (text == nullptr) {
        return LogRotation::None;
    }
    if (EqualsNoCase(text, "DAILY")) {
        return LogRotation::Daily;
    }
    if (EqualsNoCase(text, "WEEKLY")) {
        return LogRotation::Weekly;
    }
    if (EqualsNoCase(text, "MONTHLY")) {
        return LogRotation::Monthly;
    }
    return LogRotation::None;
}

LogFile::LogFile(Kind kind, int sizeLimitKb, LogClock clock)
    : m_kind(kind)
    , m_bannerIds(kind == Kind::Engine ? kEngineLogBannerIds : kAdminServerLogBannerIds)
    , m_productName(kind == Kind::Engine ? kEngineLogProductName : kAdminServerLogProductName)
    , m_clock(clock ? std::move(clock) : LogClock(SystemNow))
    , m_sizeLimit(sizeLimitKb > 0 ? int64_t{sizeLimitKb} * 1024 : 0)
{}

LogFile::LogFile(const char* logDir, const char* fileName, const char* datedPrefix, const char* rotation,
                 int sizeLimitKb, LogClock clock)
    : LogFile(Kind::Engine, sizeLimitKb, std::move(clock))
{
    std::lock_guard lock(m_lock);
    const fs::path dir = logDir ? logDir : "";
    m_path = (dir / (fileName ? fileName : "")).string();
    m_rotation = ParseLogRotation(rotation);
    if (m_rotation != LogRotation::None) {
        m_datedPrefix = (dir / (datedPrefix ? datedPrefix : "")).string();
        PlanRotation(Now());
        Open();
        CheckRotation();
    }
    if (!m_file) {
        Open();
    }
}

LogFile::LogFile(const char* fullPath, int sizeLimitKb, LogClock clock)
    : LogFile(Kind::AdminServer, sizeLimitKb, std::move(clock))
{
    std::lock_guard lock(m_lock);
    m_path = fullPath ? fullPath : "";
    Open();
}

LogFile::~LogFile()
{
    std::lock_guard lock(m_lock);
    WriteBanner(m_bannerIds.Stopping);
    Close();
}

bool LogFile::Open()
{
    std::lock_guard lock(m_lock);
    Close();
    m_file.reset(OpenForAppend(m_path));
    if (!m_file) {
        return false;
    }
    WriteBanner(m_bannerIds.Starting);
    return true;
}

void LogFile::Close()
{
    m_file.reset();
}

void LogFile::WriteBanner(int id)
{
    LogMsg(kLogLevelBanner, id, m_productName, ShortVersionString());
}

void LogFile::VLog(const char* format, va_list args)
{
    std::lock_guard lock(m_lock);
    // Opening writes the "starting" banner through this same buffer, so it comes before the line is built.
    if (!m_file && !Open()) {
        return;
    }
    size_t length = FormatLogStamp(Now(), m_line, sizeof m_line);
    const size_t room = kLineTextEnd - length;
    const int written = std::vsnprintf(m_line + length, room, format, args);
    if (written > 0) {
        // A text longer than the line is cut, never dropped.
        length += static_cast<size_t>(written) < room ? static_cast<size_t>(written) : room - 1;
    }
    if (written <= 0 || m_line[length - 1] != '\n') {
        m_line[length++] = '\r';
        m_line[length++] = '\n';
    }
    (void)std::fwrite(m_line, 1, length, m_file.get());
    (void)std::fflush(m_file.get());
}

void LogFile::Write(const char* bytes, size_t length)
{
    std::lock_guard lock(m_lock);
    if (length == 0 || (!m_file && !Open())) {
        return;
    }
    (void)std::fwrite(bytes, 1, length, m_file.get());
    (void)std::fflush(m_file.get());
}

void LogFile::Flush()
{
    std::lock_guard lock(m_lock);
    if (m_file) {
        (void)std::fflush(m_file.get());
    }
}

void LogFile::PlanRotation(time_t now)
{
    std::lock_guard lock(m_lock);
    if (m_rotation == LogRotation::None) {
        return;
    }
    std::tm local{};
    localtime_r(&now, &local);
    char date[32];
    (void)std::snprintf(date, sizeof date, "%04d%02d%02d.log", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
    m_path = m_datedPrefix + date;

    // Local midnight of the day that starts the next period; mktime normalises the date and finds the offset.
    local.tm_hour = 0;
    local.tm_min = 0;
    local.tm_sec = 0;
    local.tm_isdst = -1;
    switch (m_rotation) {
    case LogRotation::Daily:
        local.tm_mday += 1;
        break;
    case LogRotation::Weekly:
        local.tm_mday += 7 - local.tm_wday;
        break;
    case LogRotation::Monthly:
        local.tm_mday = 1;
        local.tm_mon += 1;
        break;
    case LogRotation::None:
        break;
    }
    const time_t next = std::mktime(&local);
    // Should the date not convert, try again in a day rather than on every check.
    m_nextRotation = next > now ? next : now + kSecondsPerDay;
}

bool LogFile::CheckRotation()
{
    if (m_rotation == LogRotation::None && m_sizeLimit == 0) {
        return false;
    }
    std::lock_guard lock(m_lock);
    const time_t now = Now();
    if (m_rotation != LogRotation::None && now >= m_nextRotation) {
        if (m_file) {
            WriteBanner(m_bannerIds.Rotating);
            Close();
        }
        PlanRotation(now);
        Open();
        RemoveMarker();
        return true;
    }
    if (!SizeLimitReached()) {
        RemoveMarker();
        return false;
    }
    RotateBySize();
    RemoveMarker();
    return true;
}

std::string LogFile::CurrentPath() const
{
    std::lock_guard lock(m_lock);
    return m_path;
}

void LogFile::SetSizeRotationHook(std::function<void(const std::filesystem::path& marker)> hook)
{
    std::lock_guard lock(m_lock);
    m_sizeRotationHook = std::move(hook);
}

fs::path LogFile::MarkerPath() const
{
    return fs::path(m_path).parent_path() / kLogRotationMarkerName;
}

void LogFile::RemoveMarker() const
{
    // The admin server's log never uses the marker, and must not remove the engine's should they share a
    // directory.
    if (m_kind != Kind::Engine) {
        return;
    }
    std::error_code ignored;
    fs::remove(MarkerPath(), ignored);
}

bool LogFile::SizeLimitReached()
{
    if (m_sizeLimit == 0) {
        return false;
    }
    if (!m_file && !Open()) {
        return false;
    }
    // The size of the file itself, which includes what other writers appended, not this stream's position.
    std::FILE* file = m_file.get();
    (void)std::fflush(file);
    if (std::fseek(file, 0, SEEK_END) != 0) {
        return false;
    }
    const long size = std::ftell(file);
    return size >= 0 && size >= m_sizeLimit;
}

void LogFile::RotateBySize()
{
    const fs::path marker = MarkerPath();
    if (m_kind == Kind::Engine) {
        std::FILE* created = std::fopen(marker.c_str(), "wbe");
        if (created != nullptr) {
            (void)std::fclose(created);
        }
    }
    if (m_sizeRotationHook) {
        m_sizeRotationHook(marker);
    }
    WriteBanner(m_bannerIds.TooLarge);
    Close();

    // Only the last path component changes: directories may well contain dots.
    fs::path oldPath = m_path;
    oldPath.replace_extension(".old");
    std::error_code ignored;
    fs::remove(oldPath, ignored);
    fs::rename(m_path, oldPath, ignored);
    // Renamed: a new, empty file. Not renamed: the log goes on in the same file.
    Open();
}

} // namespace qm
