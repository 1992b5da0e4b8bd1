// The engine's maintenance thread: every 5 seconds it rotates the log, carries out kill requests, expires idle
// sessions and broadcasts the administrator's alert text.
#pragma once

#include "base/Result.h"
#include "common/LogFile.h"
#include "engine/EngineShared.h"
#include "engine/SessionService.h"
#include "engine/StopEvent.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace qm::engine {

/// Time between two rounds.
inline constexpr std::chrono::milliseconds kMaintenancePeriod{5000};

/// Longest alert text, in bytes, after carriage returns are dropped.
inline constexpr std::size_t kMaxAlertLength = 511;

/// Name of the alert file in the base directory (found whatever its case).
inline constexpr const char* kAlertFileName = "Alert.sem";

/// What the maintenance work runs on; every member must outlive it.
struct MaintenanceContext {
    LogFile* Log = nullptr;                                      // the engine log
    SessionService* Sessions = nullptr;                          // null while the engine has no session manager
    EngineSharedBlock* Shared = nullptr;                         // the kill list and its mutex
    std::function<std::string()> BaseDir;                        // [Directories] BaseDir, read at each use
    std::function<void(const std::string& path)> LogFileChanged; // records the log's new file ([Other] LatestLogFile)
    std::function<void()> Exiting; // called when the thread leaves its loop (clears the running flag)
};

/// The steps of the maintenance thread, callable one by one (the tests run them without the thread).
class Maintenance {
public:
    explicit Maintenance(MaintenanceContext context);

    /// Once, before the first round: logs 178 and deletes every "*.sem" file of the base directory (any case), so
    /// that markers of an earlier run do not act.
    void Start() const;

    /// One round before the wait: re-reads the time zone, rotates the log when due, carries out the kill requests
    /// and expires idle sessions.
    void Round();

    /// After the wait: when the base directory holds "Alert.sem" (any case), reads at most 511 bytes of it
    /// (carriage returns dropped, each line feed turned into a blank), deletes it and gives the text to every
    /// session as its error message. False when there was no alert file.
    bool DeliverAlert() const;

    /// The whole thread: Start, then rounds until `stop` is signalled; then the exit steps (Exiting, log 182,
    /// signal `stop`). Returns 0. An exception that escapes a step is logged at level 1 and skips the rest of that
    /// step; the thread goes on with the next round.
    int Run(StopEvent& stop, std::chrono::milliseconds period = kMaintenancePeriod);

    /// Copies the non-empty slots of the kill list in slot order and empties them, under the sessions mutex.
    std::vector<std::string> TakeKillRequests() const;

    /// The alert text of a file's bytes: carriage returns dropped, cut to 511 bytes, line feeds turned into blanks;
    /// the text ends at a NUL byte.
    static std::string AlertText(std::string_view fileBytes);

private:
    // Runs one step of the thread; an exception that escapes it is logged at level 1 and stops only that step.
    void RunStep(const char* step, const std::function<void()>& body) const noexcept;

    MaintenanceContext m_context;
};

/// The thread that runs Maintenance::Run, with its stop event.
class MaintenanceThread {
public:
    MaintenanceThread() = default;
    MaintenanceThread(const MaintenanceThread&) = delete;
    MaintenanceThread& operator=(const MaintenanceThread&) = delete;

    /// Stops and joins a thread still running.
    ~MaintenanceThread();

    /// Resets the stop event and starts the thread. Fails with the system's error code when no thread can start.
    Result<void> Start(MaintenanceContext context, std::chrono::milliseconds period = kMaintenancePeriod);

    bool Started() const { return m_thread.joinable(); }

    /// Signals the stop event.
    void SignalStop() { m_stop.Signal(); }

    /// Waits, without time limit, for the thread to end.
    void Join();

    /// The stop event (also signalled by the thread when it ends).
    StopEvent& Stop() { return m_stop; }

private:
    StopEvent m_stop;
    std::unique_ptr<Maintenance> m_maintenance;
    std::thread m_thread;
};

} // namespace qm::engine
