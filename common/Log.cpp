#include "common/Log.h"

#include "base/Assert.h"
#include "common/StringTable.h"

#include <atomic>
#include <cstdio>

namespace qm {
namespace {

std::atomic<int*> g_logLevelSource{nullptr};

constexpr int kDefaultLogLevel = 1;

// The C locale's names, so that the stamp does not change with the user's locale.
constexpr const char* kDayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

int Clamp(int value, int low, int high)
{
    return value < low ? low : (value > high ? high : value);
}

} // namespace

void SetLogLevelSource(int* source)
{
    g_logLevelSource.store(source, std::memory_order_release);
}

int CurrentLogLevel()
{
    int* source = g_logLevelSource.load(std::memory_order_acquire);
    if (source == nullptr) {
        return kDefaultLogLevel;
    }
    // Another thread or process may change the level at any time.
    return std::atomic_ref<int>(*source).load(std::memory_order_relaxed);
}

size_t FormatLogStamp(time_t when, char* out, size_t size)
{
    QM_ASSERT(size > kLogStampLength);
    std::tm local{};
    if (localtime_r(&when, &local) == nullptr) {
        local = std::tm{};
    }
    // Clamped fields keep the stamp at its fixed length whatever the time.
    (void)std::snprintf(out, size, "[%s %04d-%02d-%02d %02d:%02d:%02d] ", kDayNames[Clamp(local.tm_wday, 0, 6)],
                        Clamp(local.tm_year + 1900, 0, 9999), Clamp(local.tm_mon + 1, 1, 12),
                        Clamp(local.tm_mday, 0, 31), Clamp(local.tm_hour, 0, 23), Clamp(local.tm_min, 0, 59),
                        Clamp(local.tm_sec, 0, 60));
    return kLogStampLength;
}

Logger::~Logger() = default;

void Logger::LogMsg(int level, int id, ...)
{
    if (level < CurrentLogLevel()) {
        return;
    }
    va_list args;
    va_start(args, id);
    // The format is the program's own compiled-in text, never outside input; clang cannot see that through the
    // table look-up (GCC does not check formats passed on with a va_list).
#if defined(__clang__)
#    pragma clang diagnostic push
#    pragma clang diagnostic ignored "-Wformat-nonliteral"
#endif
    VLog(LoadResourceString(id), args);
#if defined(__clang__)
#    pragma clang diagnostic pop
#endif
    va_end(args);
}

void Logger::Log(int level, const char* format, ...)
{
    if (level < CurrentLogLevel()) {
        return;
    }
    va_list args;
    va_start(args, format);
    VLog(format, args);
    va_end(args);
}

} // namespace qm
