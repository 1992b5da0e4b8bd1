// The admin web server's frame: configuration keys (read and written back), the logs, the listening socket, the
// CGI registry, the serving loop (request heads read side by side, one request served at a time) and the shut-down.
#pragma once

#include "platform/PollSet.h"
#include "portico/HttpConnection.h"

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <string>

namespace qm::portico {

/// Exit codes of the program.
enum ExitCode : int {
    kExitOk = 0,
    kExitFailure = 1,           // the initialisation or the service layer failed (see the log and stderr)
    kExitAlreadyRunning = 3,    // another process runs the service
    kExitNoConfiguration = 255, // the configuration file is missing
};

/// Name and display name of the service.
inline constexpr const char* kAdminServiceName = "QMAdmin";
inline constexpr const char* kAdminServiceDisplayName = "Quillmail Admin";

/// The directory under [Directories] TempDir that the server owns and empties at start.
inline constexpr const char* kOwnTempDirName = ".portico";

/// Connections whose request heads are read at once; past it the oldest is dropped for a new one.
inline constexpr std::size_t kMaxPendingHeads = 64;

struct PendingHead;

/// What the serving loop asks of its caller.
struct ServeHooks {
    std::function<bool()> StopRequested; // polled between connections
    std::function<void()> ReportRunning; // called once the server listens
};

/// The whole server: Initialise, Serve, and the shut-down in the destructor.
class AdminServer {
public:
    /// `baseDir` is the installation directory (the configuration file's); the main INI must be set.
    explicit AdminServer(std::string baseDir, ConnectionSettings settings = {});
    /// Shuts down what Initialise opened.
    ~AdminServer();
    AdminServer(const AdminServer&) = delete;
    AdminServer& operator=(const AdminServer&) = delete;

    /// The start-up steps; false when one failed (the reason is in the log, or on stderr before the log exists).
    bool Initialise();

    /// Accepts connections and reads their request heads side by side; serves one request at a time, each as soon as
    /// its head is complete; until hooks.StopRequested() holds.
    void Serve(const ServeHooks& hooks);

private:
    void ReadHeads(std::deque<PendingHead>& pending, const std::vector<PollEntry>& entries);
    void AcceptConnection(std::deque<PendingHead>& pending);
    bool PrepareTempDir();
    void ReadAndWriteBack();
    void Tick();

    std::string m_baseDir;
    int m_logLevel = 1;
    std::unique_ptr<LogFile> m_log;
    CgiRegistry m_registry;
    MimeTypeTable m_mimeTypes;
    AccessLog m_access;
    LogonThrottle m_throttle;
    ServerContext m_context;
    int m_listenFd = -1;
    int m_connections = 0;
};

/// Whether emptying `dir` is safe: not "/", and not `dir` itself or an ancestor of any of `kept`.
bool SafeToEmpty(const std::string& dir, const std::vector<std::string>& kept);

} // namespace qm::portico
