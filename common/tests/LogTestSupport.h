// Helpers for the log tests: a temporary directory, a fake clock, a fixed time zone and the test string table.
#pragma once

#include "common/LogFile.h"
#include "common/StringTable.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace qm::logtest {

using TempDir = qm::test::TempDir;

/// Sets the TZ variable for the life of the object. Tests set it before they start any thread, so the
/// environment calls below do not race.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone)
    {
        if (const char* old = std::getenv("TZ")) { // NOLINT(concurrency-mt-unsafe)
            m_old = old;
            m_hadOld = true;
        }
        setenv("TZ", zone, 1); // NOLINT(concurrency-mt-unsafe)
        tzset();
    }

    ~ScopedTimeZone()
    {
        if (m_hadOld) {
            setenv("TZ", m_old.c_str(), 1); // NOLINT(concurrency-mt-unsafe)
        } else {
            unsetenv("TZ"); // NOLINT(concurrency-mt-unsafe)
        }
        tzset();
    }

    ScopedTimeZone(const ScopedTimeZone&) = delete;
    ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

private:
    std::string m_old;
    bool m_hadOld = false;
};

/// The time_t of a local date and time in the current TZ.
inline time_t LocalTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0)
{
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

/// A clock that tests set by hand; safe to read from any thread.
class FakeClock {
public:
    void Set(time_t now) { m_now.store(now); }

    void Advance(time_t seconds) { m_now.fetch_add(seconds); }

    LogClock AsLogClock()
    {
        return [this] {
            return m_now.load();
        };
    }

private:
    std::atomic<time_t> m_now{0};
};

/// Message ids of the test table.
inline constexpr int kTestMessagePlain = 200;
inline constexpr int kTestMessageWithArgs = 201;
inline constexpr int kTestMessageNoText = 202;

/// The banners under both programs' ids, and a few messages of our own.
inline constexpr StringEntry kTestStringTable[] = {
        {kTestMessagePlain, "plain message"},
        {kTestMessageWithArgs, "user %s has %d messages"},
        {kTestMessageNoText, nullptr},
        {kEngineLogBannerIds.Starting, kLogStartingText},
        {kEngineLogBannerIds.Stopping, kLogStoppingText},
        {kEngineLogBannerIds.Rotating, kLogRotatingText},
        {kEngineLogBannerIds.TooLarge, kLogTooLargeText},
        {kAdminServerLogBannerIds.Starting, kLogStartingText},
        {kAdminServerLogBannerIds.Stopping, kLogStoppingText},
        {kAdminServerLogBannerIds.Rotating, kLogRotatingText},
        {kAdminServerLogBannerIds.TooLarge, kLogTooLargeText},
};

inline std::string ReadFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

/// The file's lines without their stamps and line ends.
inline std::vector<std::string> LineTexts(const std::string& content)
{
    std::vector<std::string> texts;
    size_t start = 0;
    while (start < content.size()) {
        size_t end = content.find('\n', start);
        if (end == std::string::npos) {
            end = content.size();
        }
        std::string line = content.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.size() >= kLogStampLength && line[0] == '[' && line[kLogStampLength - 2] == ']') {
            line.erase(0, kLogStampLength);
        }
        texts.push_back(line);
    }
    return texts;
}

inline std::string Banner(const char* what, const char* product = kEngineLogProductName)
{
    return std::string("----- ") + product + " 2.2.3 Log file " + what + " -----";
}

} // namespace qm::logtest
