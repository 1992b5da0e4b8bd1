// HttpConnection: one connection of the admin web server, from the request head to the close: parsing, Basic
// authentication, routing to a CGI of the registry, a script of the CGI directory or a static file, the reply
// and the access-log line. HTTP/1.0 only; every reply ends with the close of the connection.
#pragma once

#include "common/LogFile.h"
#include "common/MimeTypeTable.h"
#include "common/RequestLog.h"
#include "platform/UniqueFd.h"
#include "portico/AccessLog.h"
#include "portico/CgiRegistry.h"
#include "portico/LogonThrottle.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace qm::portico {

/// The byte stream of one accepted connection (a socket, or an in-memory stream in tests).
class Transport {
public:
    static constexpr long kTimedOut = -2;
    static constexpr long kFailed = -1;

    virtual ~Transport() = default;
    /// Receives up to `size` bytes, waiting at most timeoutMs: the count, 0 at the end of the stream, kTimedOut
    /// or kFailed (LastError says why).
    virtual long Receive(char* buffer, std::size_t size, int timeoutMs) = 0;
    /// Sends every byte, waiting at most timeoutMs for the peer to take them; false on failure or time-out.
    virtual bool Send(const char* data, std::size_t size, int timeoutMs) = 0;
    virtual std::uint32_t PeerAddress() const = 0; // host byte order
    virtual std::uint32_t LocalAddress() const = 0;
    virtual unsigned LocalPort() const = 0;
    virtual int LastError() const = 0;
};

/// Limits and places of the server; the defaults are the program's.
struct ConnectionSettings {
    int HeadTimeoutMs = 15000;                      // for the whole head: a silent or trickling client is dropped
    int BodyTimeoutMs = 30000;                      // for the rest of a POST body
    int SendTimeoutMs = 30000;                      // for each wait for the client to take data
    int ConnectionTimeoutMs = 300000;               // for the whole connection: a slow reader cannot hold it longer
    int CgiTimeLimitMs = 60000;                     // for a CGI's whole run; then it is killed
    std::uint64_t MaxBody = std::uint64_t{8} << 20; // larger bodies get 413
    std::string BodyDir;                            // POST bodies for CGIs are kept here (nameless files)
};

/// A library Main that ran past its time: its thread is joined at shut-down, before ShutDown.
struct LingeringCall {
    std::string Environment;
    std::thread Thread;
};

/// What every connection shares with the server. Not owned.
struct ServerContext {
    ConnectionSettings Settings;
    CgiRegistry* Registry = nullptr;
    const MimeTypeTable* MimeTypes = nullptr;
    LogFile* SystemLog = nullptr;
    AccessLog* Access = nullptr;
    LogonThrottle* Throttle = nullptr;
    std::vector<std::unique_ptr<LingeringCall>> Lingering;
    /// [AdminWebServer] BindAddress as read at start: a Host header may name it.
    std::string BindAddress = "0.0.0.0";
    /// When the next refusal for want of [AdminWebServer] Auth may be logged (once a minute at most).
    std::chrono::steady_clock::time_point NextOpenRefusalLog{};

    /// Joins every lingering Main.
    void JoinLingering();
};

/// The request head as parsed.
struct HttpRequest {
    std::string RequestLine;
    std::string Method; // as received
    std::string Path;   // at most 259 characters, not URL-decoded
    std::optional<std::string> Query;
    std::int64_t ContentLength = 0;
    std::optional<std::string> ContentType;
    time_t IfModifiedSince = 0;
    std::string UserAgent;
    std::optional<std::string> Cookie;
    std::optional<std::string> Authorization;
    std::optional<std::string> Host;
};

/// Longest request head, the empty line included: 4095 bytes.
inline constexpr std::size_t kRequestBufferSize = 4096;
/// Longest request path kept.
inline constexpr std::size_t kMaxPathLength = 259;

/// Parses the head text (the lines before the empty line). Sets `status` to 400 (or 501 for an unknown method) on
/// failure, 200 on success.
bool ParseRequest(std::string_view head, HttpRequest& request, int& status);

/// Whether a Host header value names this machine: "localhost", an address of 127.0.0.0/8, "[::1]", or
/// `bindAddress` when it is not "0.0.0.0"; each with or without ":port". Names compare without regard to case.
bool NamesThisMachine(std::string_view host, std::string_view bindAddress);

/// The reason phrase of a status code ("Bad Request" for codes the server does not name).
const char* ReasonPhrase(int status);

/// Whether the Basic credentials `decoded` ("user:password") match `stored` (the plain "user:password"): the user
/// names without regard to case, the passwords byte for byte. A stored text without ':' must match whole.
bool CredentialsMatch(std::string_view decoded, std::string_view stored);

class HttpConnection {
public:
    HttpConnection(ServerContext& context, Transport& transport, int number);
    ~HttpConnection();
    HttpConnection(const HttpConnection&) = delete;
    HttpConnection& operator=(const HttpConnection&) = delete;

    /// How far the request head has come.
    enum class HeadState {
        Incomplete, // more is to come
        Complete,   // the head is there: Finish serves the request
        Failed,     // logged: overflow, time-out, error or close
    };

    /// Serves the connection to its end: ReadHead until the head is there or fails, then Finish (the caller closes
    /// the transport afterwards).
    void Serve();

    /// Receives what the client sends of the head, waiting at most waitMs (negative: until the head's time limit,
    /// HeadTimeoutMs from the construction). What has arrived is taken even past that limit.
    HeadState ReadHead(int waitMs);

    /// After ReadHead gave Complete: routes the request and sends the reply. After Failed: nothing more is sent.
    /// Either way logs the end of the connection and writes its access-log line.
    void Finish(HeadState state);

    /// When the head's time is up.
    std::chrono::steady_clock::time_point HeadDeadline() const { return m_headDeadline; }

    /// The status code of the reply (0 when parsing never began).
    int Status() const { return m_status; }

    /// Bytes sent after the server's own head.
    std::uint64_t BytesTransferred() const;

private:
    enum class Reply {
        Sent,   // something was sent
        Failed, // the connection failed
    };

    void RouteRequest();
    bool IsLocalRequest() const;
    void RefuseWithoutAuth();
    bool Authenticate(const std::string& stored, int messageId);
    bool CheckAuth(const std::string& stored);
    std::string UserPart() const;
    void SendError(int status);
    void ServeStaticFile();
    void ServeScript(const std::string& afterAlias, const std::string& alias);
    void RunCgi(const CgiEntry* entry, const std::string& file, const std::string& scriptName,
                const std::string& pathInfo);
    bool OpenCgiInput(platform::UniqueFd& input);
    bool ReceiveBody(int inputFd);
    bool RelayOutput(int readFd, std::chrono::steady_clock::time_point deadline, bool& timedOut);
    bool SendHead(const std::string& head);
    bool SendBody(const char* data, std::size_t size);
    bool SendBytes(const char* data, std::size_t size);

    ServerContext& m_context;
    Transport& m_transport;
    std::chrono::steady_clock::time_point m_deadline;     // of the whole connection
    std::chrono::steady_clock::time_point m_headDeadline; // of the request head
    RequestLog m_log;
    int m_number;
    char m_buffer[kRequestBufferSize] = {};
    std::size_t m_filled = 0;
    std::size_t m_bodyStart = 0; // where the bytes after the head begin in m_buffer
    HttpRequest m_request;
    int m_status = 0;
    time_t m_requestTime = 0;
    std::string m_credentials; // decoded Basic credentials; only the user part is ever logged
    std::uint64_t m_headBytes = 0;
    std::uint64_t m_bodyBytes = 0;
    bool m_success = false;
    bool m_failed = false;
};

/// The CGI environment of a request: `inherited` (the server's own environment) without any variable that a
/// request sets (QUERY_STRING, CONTENT_*, HTTP_*, COOKIE, ...), then SERVER_NAME, SERVER_PORT, SERVER_ADDR,
/// REMOTE_ADDR, HTTP_USER_AGENT, REQUEST_METHOD, SCRIPT_NAME, PATH_INFO, QUERY_STRING, CONTENT_TYPE and
/// CONTENT_LENGTH (only when a Content-Type was sent) and HTTP_COOKIE (only when sent).
std::vector<std::string> CgiEnvironment(const HttpRequest& request, const Transport& transport,
                                        std::string_view scriptName, std::string_view pathInfo,
                                        const std::vector<std::string>& inherited);

/// The entries as a block: each ended by a NUL, the block by an empty entry.
std::string EnvironmentBlock(const std::vector<std::string>& entries);

/// "Sun, 06 Nov 1994 08:49:37 GMT".
std::string HttpDate(time_t when);

} // namespace qm::portico
