// The life of the main web server program under the service dispatcher: start-up, serving, stop.
#pragma once

#include "webserver/ServerConfig.h"

#include <condition_variable>
#include <mutex>

namespace qm {

class ServiceControl;

/// Exit codes of the program.
enum ExitCode : int {
    kExitOk = 0,         // stopped on request
    kExitFailure = 1,    // configuration, engine start-up or listening failed (the reason is on stderr)
    kExitUsage = 2,      // arguments given
    kExitAlreadyRun = 3, // another process runs the service "Quillmail"
};

/// Name of the service that the program runs as.
inline constexpr const char* kWebServerServiceName = "Quillmail";

/// Set once by the service dispatcher's stop callback; RunWebServer waits for it.
class StopLatch {
public:
    void Set();
    void Wait();

private:
    std::mutex m_lock;
    std::condition_variable m_set;
    bool m_isSet = false;
};

/// Loads the engine, calls StartUp, listens, reports running, serves until a stop is requested, then stops
/// serving, waits for every Main and calls ShutDown. Returns an ExitCode; failures are explained on stderr.
int RunWebServer(const ServerConfig& config, ServiceControl& control, StopLatch& stop);

} // namespace qm
