// HttpServer: the HTTP/1.1 side of the main web server. It answers requests under the engine's URL prefix through
// the CgiHost, serves static files from the HTML directory, redirects "/" to the engine, and writes the access log.
#pragma once

#include "base/Result.h"
#include "platform/DescriptorIo.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_set>

struct MHD_Daemon;
struct MHD_Connection;
struct MHD_Response;

namespace qm {

class AccessLog;
class CgiHost;
struct CgiCall;
struct CgiHead;
class MimeTypeTable;

/// Largest request body accepted (uploads of attachments); a larger announced body gets 413.
inline constexpr uint64_t kDefaultMaxBodyBytes = 64ull * 1024 * 1024;

/// Memory for one connection's request head and buffers; a head that does not fit gets a 4xx answer.
inline constexpr size_t kConnectionMemoryBytes = 64 * 1024;

struct HttpServerSettings {
    std::string BindAddress = "0.0.0.0";
    unsigned Port = 2000;
    std::string CgiBase = "/mail";          // the engine's URL prefix
    std::string HtmlDir;                    // root of the static files
    std::string TempDir;                    // where request bodies are kept while Main reads them
    unsigned ConnectionTimeoutSeconds = 30; // silence on a connection before it is closed
    unsigned MaxConnections = 512;
    unsigned MaxConnectionsPerAddress = 32; // open connections of one client address
    unsigned HeadTimeoutSeconds = 15;       // a request head must be whole within this, however it trickles
    uint64_t MinBodyBytesPerSecond = 1024;  // slowest average upload accepted once the grace time is over
    unsigned MinBodyRateAfterSeconds = 10;  // grace time of an upload before its rate counts
    unsigned PageTimeoutSeconds = 60;       // on top of the idle time-out: wait for the engine's head, then 504
    uint64_t MaxBodyBytes = kDefaultMaxBodyBytes;
};

/// The server. Start and Stop from one thread; everything else runs on the server's own threads: one per
/// connection (the head, the body, the engine's output and the reply), one watchdog that ends connections whose
/// head does not arrive in time or whose body arrives too slowly, and the CgiHost's threads that run Main.
/// Every callback of the HTTP library runs under GuardEntry: an exception ends that connection and is reported
/// through the process's entry failure reporter.
class HttpServer {
public:
    /// `host` must have started up; `log` and `contentTypes` may be null (no access log; static files without a
    /// content type). All three must outlive the server.
    HttpServer(HttpServerSettings settings, CgiHost& host, AccessLog* log, const MimeTypeTable* contentTypes);
    ~HttpServer();

    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    /// Listens and starts serving. Fails when the address cannot be bound or the server cannot start its threads.
    /// A missing HTML directory is no failure: static requests then get 404.
    Result<void> Start();

    /// Stops accepting, ends every connection (waiting for replies that are being relayed) and the watchdog.
    /// Main calls still running go on; the CgiHost waits for them.
    void Stop();

    struct Connection;

private:
    friend struct HttpCallbacks;

    int BeginRequest(Connection& c, MHD_Connection* connection, const char* method, const char* version);
    int ReceiveBody(Connection& c, const char* data, size_t size);
    int FinishRequest(Connection& c, MHD_Connection* connection);
    int RunEngine(Connection& c, MHD_Connection* connection);
    int RelayInMemory(Connection& c, MHD_Connection* connection, CgiCall& call, int waitLimitMs);
    int RelayPipe(Connection& c, MHD_Connection* connection, CgiCall& call, int waitLimitMs);
    int QueueEngineReply(Connection& c, MHD_Connection* connection, const CgiHead& head, MHD_Response* response);
    void RestartIdleClock(MHD_Connection* connection) const;
    int ServeStatic(Connection& c, MHD_Connection* connection);
    int QueueError(Connection& c, MHD_Connection* connection, unsigned status);
    int QueueRedirect(Connection& c, MHD_Connection* connection, unsigned status, const std::string& location);
    int Queue(Connection& c, MHD_Connection* connection, unsigned status, MHD_Response* response);
    void CompleteRequest(Connection& c, bool completedOk);
    void BeginHead(Connection& c);
    bool UploadTooSlow(const Connection& c, int64_t now) const;
    Connection* OpenConnection(MHD_Connection* connection);
    void CloseConnection(Connection* c);
    void RunWatchdog();
    int64_t NowMs() const;

    const HttpServerSettings m_settings;
    CgiHost& m_host;
    AccessLog* m_log;
    const MimeTypeTable* m_contentTypes;
    platform::UniqueFd m_htmlRoot;
    MHD_Daemon* m_daemon = nullptr;
    // The fixed error replies, made once and shared by every connection; index by ErrorSlot.
    static constexpr size_t kMaxErrorReplies = 16;
    MHD_Response* m_errorResponses[kMaxErrorReplies] = {};
    size_t m_errorLengths[kMaxErrorReplies] = {};

    std::mutex m_connectionsLock;
    std::unordered_set<Connection*> m_connections;
    std::condition_variable m_watchdogWake;
    bool m_watchdogStop = false;
    std::thread m_watchdog;
};

} // namespace qm
