// Services: install, remove, start, stop and query the system's background servers ("Quillmail", "QMAdmin"), and
// the dispatcher that a server program runs under. No system service manager is involved.
//
// Every service has, in the service directory (ServiceDirectory()), the files named after its name in lower case
// (so that names match without regard to case, "QMAdmin" and "qmadmin" being one service):
//   <name>.service  the record written by InstallService: program, arguments, display name, environment, log;
//   <name>.lock     held (flock) by the service program for as long as it runs, through RunService; it holds
//                   the program's process id and state, which the program writes;
//   <name>.start    the process id that StartService last started, until that process takes the lock.
// A service runs when its lock is held, so a killed service program is stopped at once, whoever started it.
#pragma once

#include "base/Result.h"

#include <cerrno>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

/// The error code of a failure because the service already runs (RunService, StartService).
inline constexpr int kServiceAlreadyRunning = EALREADY;
/// The error code of a failure because the service does not run (StopService, RequestServiceStop,
/// FindServiceProcess).
inline constexpr int kServiceNotRunning = ESRCH;

/// The variable by which StartService tells the program it starts which service it runs as; a system unit that
/// runs a service program sets it too.
inline constexpr const char* kServiceNameVariable = "QUILLMAIL_SERVICE";

/// Time StopService gives a service to end after SIGTERM before it sends SIGKILL.
inline constexpr int kDefaultServiceStopTimeoutMs = 10000;

enum class ServiceState {
    Stopped,
    StartPending, // started, but its program has not yet taken the lock, or has not yet reported running
    Running,
    StopPending, // asked to stop and still holding the lock
};

/// The record of an installed service.
struct ServiceConfig {
    std::string Name;                     // letters, digits, '_', '-', '.'; at most 64; begins with a letter or digit
    std::string DisplayName;              // for people: "Quillmail Admin"
    std::string ProgramPath;              // absolute
    std::vector<std::string> Arguments;   // after the program's name
    std::vector<std::string> Environment; // the program's whole environment, "NAME=value" each (see StartService)
    std::string LogPath;                  // stdout and stderr are appended to it; empty: /dev/null
};

/// $QUILLMAIL_SVCDIR when set and not empty, else /var/lib/quillmail/services.
std::string ServiceDirectory();

/// Writes the record of a new service (creating the service directory). Fails with EEXIST when a service of that
/// name is installed, EINVAL for a bad name, a relative program path, a NUL byte in any value, or an environment
/// entry without '='.
Result<void> InstallService(const ServiceConfig& config);

/// Deletes the record (and the start marker). A running service goes on running. ENOENT when not installed.
Result<void> RemoveService(std::string_view name);

/// Whether a record of that name exists.
bool IsServiceInstalled(std::string_view name);

/// Reads the record. ENOENT when not installed.
Result<ServiceConfig> ReadServiceConfig(std::string_view name);

/// Starts the installed service's program detached: a new session, not a child of the caller, working directory
/// "/", stdin from /dev/null, stdout and stderr appended to the log (or /dev/null), the recorded environment plus
/// QUILLMAIL_SVCDIR naming this service directory (so that the program finds its lock) and QUILLMAIL_SERVICE
/// naming the service (StartedAsService). Does not wait for the
/// program to run: the state is StartPending until it has taken its lock and reported running.
/// Returns the program's process id. Fails with ENOENT when not installed, kServiceAlreadyRunning when it is not
/// stopped, and with the error of the start (ENOENT for a missing program).
Result<int> StartService(std::string_view name);

/// How StopService ended a service.
enum class StopOutcome {
    Stopped, // it ended after SIGTERM
    Killed,  // it did not end within the time limit and was sent SIGKILL
};

/// Sends SIGTERM to the service's process, waits up to timeoutMs for it to release its lock, then sends SIGKILL
/// and waits again (up to 5 s). Fails with kServiceNotRunning when stopped, ETIMEDOUT when even SIGKILL did not
/// end it.
Result<StopOutcome> StopService(std::string_view name, int timeoutMs = kDefaultServiceStopTimeoutMs);

/// Sends SIGTERM to the service's process and returns at once (the close request of older designs).
/// kServiceNotRunning when stopped.
Result<void> RequestServiceStop(std::string_view name);

/// The service's state. Works for a service program started by hand as well: it needs no record.
Result<ServiceState> QueryService(std::string_view name);

/// The process id of the service's program while it is not stopped; kServiceNotRunning when stopped.
Result<int> FindServiceProcess(std::string_view name);

/// Whether this process was started as the service `name`: $QUILLMAIL_SERVICE names it (without regard to case).
/// A program that may be started by hand as well tells the two apart with it.
bool StartedAsService(std::string_view name);

/// Polls the state until it is the wanted one or timeoutMs has passed; returns the last state seen.
Result<ServiceState> WaitForServiceState(std::string_view name, ServiceState wanted, int timeoutMs);

/// What RunService gives to the service's body.
class ServiceControl {
public:
    /// True once SIGTERM or SIGINT has arrived.
    bool StopRequested() const;

    /// A descriptor that becomes readable (and stays so) once a stop is requested: poll it, never read it.
    int StopFd() const;

    /// Reports the state running; call it once the program is ready to serve.
    void ReportRunning();

private:
    friend Result<int> RunService(std::string_view, const std::function<int(ServiceControl&)>&,
                                  const std::function<void()>&);
    ServiceControl() = default;
};

/// The dispatcher of a service program: takes the service's lock (refusing, with kServiceAlreadyRunning, when
/// another process holds it), creating the service directory if needed; reports start pending; makes SIGTERM and
/// SIGINT request a stop (StopRequested, StopFd, and onStop, when given, called once on a thread of the
/// dispatcher's); runs body; then restores the signal handling, reports stopped and releases the lock.
/// Returns body's result. One RunService at a time per process.
Result<int> RunService(std::string_view name, const std::function<int(ServiceControl&)>& body,
                       const std::function<void()>& onStop = {});

} // namespace qm
