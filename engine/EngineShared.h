// The data every process that loads the engine library shares: the engine INI path, the log level, the status
// block, the kill list and the windows to notify, with the mutex that guards them.
#pragma once

#include "platform/SharedMutex.h"
#include "platform/WindowMessage.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace qm::engine {

/// The words of the status block.
enum class StatusWord : int {
    StartTime = 0,      // time_t seconds of the engine's start
    Sessions = 1,       // rows in use in the session table (changed under the sessions mutex)
    FailedRemovals = 2, // sessions whose removal failed 60 times
    MaxSessions = 3,    // [Session] Maximum read at start
    Pop3Sessions = 4,   // POP3 runs for users
    Pop3Failures = 5,   // POP3 runs that failed
    SmtpSends = 6,      // SMTP sends
    SmtpFailures = 7,   // SMTP sends that failed
    Reserved = 8,       // always 0
};

/// The status block, copied out whole by the administration calls: its layout binds the console and the CGI.
struct EngineStatus {
    std::int32_t Words[9];
};

static_assert(sizeof(EngineStatus) == 36 && std::is_trivially_copyable_v<EngineStatus>);

inline constexpr std::size_t kIniPathSize = 260;
inline constexpr int kKillListSlots = 8;
inline constexpr std::size_t kSessionIdSize = 8; // seven letters and a NUL
inline constexpr int kNotifyWindowSlots = 8;

/// The shared section. Zero at first load except LogLevel (1) and IniPath (the first process's engine INI).
struct EngineSharedSection {
    char IniPath[kIniPathSize];
    std::int32_t LogLevel;
    EngineStatus Status;
    char KillList[kKillListSlots][kSessionIdSize];  // an empty first byte is a free slot
    WindowHandle NotifyWindows[kNotifyWindowSlots]; // kNoWindow is a free slot
};

static_assert(std::is_trivially_copyable_v<EngineSharedSection> && std::is_standard_layout_v<EngineSharedSection>);
static_assert(offsetof(EngineSharedSection, LogLevel) == 260);
static_assert(offsetof(EngineSharedSection, Status) == 264);
static_assert(offsetof(EngineSharedSection, KillList) == 300);
static_assert(offsetof(EngineSharedSection, NotifyWindows) == 368);

/// The shared block as it sits in shared memory: the section and the mutex "Quillmail Sessions Mutex" that guards
/// the session table, the session count (status word 1), the kill list and the notified windows.
struct EngineSharedBlock {
    EngineSharedSection Section;
    SharedMutex SessionsMutex;
};

static_assert(std::is_trivially_copyable_v<EngineSharedBlock>);

/// Adds delta to one status word as one atomic step, so that counts from parallel requests are never lost. The
/// words are read without locking (a reader accepts a torn snapshot of the block).
inline void AddToStatus(EngineStatus& status, StatusWord word, std::int32_t delta)
{
    std::atomic_ref<std::int32_t>(status.Words[static_cast<int>(word)]).fetch_add(delta, std::memory_order_relaxed);
}

/// Sets one status word atomically.
inline void SetStatus(EngineStatus& status, StatusWord word, std::int32_t value)
{
    std::atomic_ref<std::int32_t>(status.Words[static_cast<int>(word)]).store(value, std::memory_order_relaxed);
}

/// Reads one status word atomically.
inline std::int32_t GetStatus(EngineStatus& status, StatusWord word)
{
    return std::atomic_ref<std::int32_t>(status.Words[static_cast<int>(word)]).load(std::memory_order_relaxed);
}

/// The wParam codes of the engine's notification message.
inline constexpr std::uint64_t kNotifyUserCreated = 3;
inline constexpr std::uint64_t kNotifyUserDeleted = 4;
inline constexpr std::uint64_t kNotifyUserChanged = 5;
inline constexpr std::uint64_t kNotifySessionCreated = 9905;
inline constexpr std::uint64_t kNotifySessionRemoved = 9906;
inline constexpr std::uint64_t kNotifySessionUpdated = 9907;

/// The engine's window message, posted with lParam 0 to every registered window.
inline constexpr std::uint32_t kWmEngineNotify = 9904;

/// Size of one row of the session table.
inline constexpr std::size_t kSessionRecordSize = 224;

} // namespace qm::engine
