#include "webserver/HttpServer.h"

#include "common/EntryGuard.h"
#include "common/MimeTypeTable.h"
#include "common/StringUtil.h"
#include "common/TextScan.h"
#include "platform/NetAddress.h"
#include "webserver/AccessLog.h"
#include "webserver/CgiEnvironment.h"
#include "webserver/CgiHead.h"
#include "webserver/CgiHost.h"
#include "webserver/CgiRelay.h"
#include "webserver/ReplyBuffer.h"
#include "webserver/StaticPath.h"

#include <microhttpd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>

namespace qm {

namespace {

// What a request is, once its head has been read.
enum class Route {
    None,    // not yet known, or answered at once
    Engine,  // under the engine's prefix
    Static,  // a file of the HTML directory
    Answered // a reply is queued already
};

// Replies made once and shared: a status, its reason and a small page.
struct ErrorReply {
    unsigned Status;
    const char* Reason;
};

constexpr ErrorReply kErrorReplies[] = {
        {400, "Bad Request"},           {403, "Forbidden"},         {404, "Not Found"},
        {405, "Method Not Allowed"},    {413, "Content Too Large"}, {414, "URI Too Long"},
        {500, "Internal Server Error"}, {501, "Not Implemented"},   {502, "Bad Gateway"},
        {503, "Service Unavailable"},   {504, "Gateway Timeout"},
};

constexpr size_t kErrorSlots = sizeof kErrorReplies / sizeof kErrorReplies[0];

// The slot of `status`; a status without a page of its own gets the page of 500.
size_t ErrorSlot(unsigned status)
{
    size_t fallback = 0;
    for (size_t i = 0; i < kErrorSlots; ++i) {
        if (kErrorReplies[i].Status == status) {
            return i;
        }
        if (kErrorReplies[i].Status == 500) {
            fallback = i;
        }
    }
    return fallback;
}

// Block size of the relayed engine output: what one read of the pipe asks for.
constexpr size_t kRelayBlockSize = size_t{32} * 1024;

// A reply in memory as its response reads it: a body already whole (when the engine's length disagreed with it),
// else the buffer the engine writes into.
struct ReplyStream {
    std::shared_ptr<ReplyBuffer> Buffer;
    uint64_t* BytesSent = nullptr;
    std::unique_ptr<std::string> Held;
    size_t HeldTaken = 0;

    long Read(char* out, size_t size)
    {
        if (Held == nullptr) {
            return Buffer->Read(out, size, BytesSent);
        }
        const size_t given = std::min(size, Held->size() - HeldTaken);
        std::memcpy(out, Held->data() + HeldTaken, given);
        HeldTaken += given;
        *BytesSent += given;
        return static_cast<long>(given);
    }
};

MHD_Result AsResult(int handled)
{
    return handled != 0 ? MHD_YES : MHD_NO;
}

// A redirect target on this server: leading slashes and backslashes become one slash, since "//host/..." (and
// "/\host/..." to browsers) would name another host.
std::string SameHostLocation(std::string_view path)
{
    size_t start = 0;
    while (start < path.size() && (path[start] == '/' || path[start] == '\\')) {
        ++start;
    }
    std::string location(1, '/');
    location.append(path.substr(start));
    return location;
}

} // namespace

/// The state of one connection, kept from its accept to its close and reused by each request on it.
struct HttpServer::Connection {
    HttpServer* Server = nullptr;
    platform::UniqueFd SocketCopy;       // keeps the socket one object while the watchdog may end it
    std::atomic<int64_t> DeadlineMs{0};  // the head (or the next one) must be whole by then; 0: none
    std::atomic<int64_t> BodyStartMs{0}; // when the body began, while it is being received; 0: not receiving
    std::atomic<uint64_t> BodyBytes{0};  // body bytes received so far
    char RemoteAddress[kAddressTextSize] = "-";
    SocketEnd Local;

    // The current request.
    bool Started = false;
    Route Kind = Route::None;
    std::string RawTarget; // path and query as received
    std::string Method;
    std::string Version;
    time_t RequestTime = 0;
    std::string_view Path;
    std::string_view Query;
    std::optional<std::string_view> Host;
    std::string_view UserAgent;
    std::optional<std::string_view> ContentType;
    std::optional<std::string_view> Cookie;
    std::optional<std::string_view> Origin;
    std::string_view IfModifiedSince;
    std::optional<uint64_t> ContentLength;
    platform::UniqueFd Body;
    bool BodyFailed = false;
    bool ConflictingLength = false;
    bool TransferEncoding = false;
    bool AmbiguousHeader = false; // a header name that is no token, or a transfer coding other than one "chunked"
    unsigned Status = 0;
    uint64_t PlannedBytes = 0; // body of a reply of known size
    uint64_t BytesSent = 0;    // body bytes of a relayed engine reply

    void ResetRequest()
    {
        Started = false;
        Kind = Route::None;
        Path = Query = UserAgent = IfModifiedSince = {};
        Host.reset();
        ContentType.reset();
        Cookie.reset();
        Origin.reset();
        ContentLength.reset();
        Body.Reset();
        BodyStartMs = 0;
        BodyBytes = 0;
        BodyFailed = false;
        ConflictingLength = false;
        TransferEncoding = false;
        AmbiguousHeader = false;
        Status = 0;
        PlannedBytes = 0;
        BytesSent = 0;
    }
};

/// The C callbacks that MHD calls, forwarding to the server. No exception may cross into the library: each runs
/// under GuardEntry, which reports it and returns the callback's failure value (ending the connection).
struct HttpCallbacks {
    static HttpServer::Connection* ConnectionOf(MHD_Connection* connection)
    {
        const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
        return info != nullptr ? static_cast<HttpServer::Connection*>(info->socket_context) : nullptr;
    }

    static void* OnUri(void* cls, const char* uri, MHD_Connection* connection) noexcept
    {
        return GuardEntry("HttpServer::OnUri", static_cast<void*>(nullptr), [&]() -> void* {
            HttpServer::Connection* c = ConnectionOf(connection);
            if (c != nullptr) {
                c->ResetRequest();
                c->RawTarget.assign(uri != nullptr ? uri : "");
                c->RequestTime = std::time(nullptr);
                static_cast<HttpServer*>(cls)->BeginHead(*c);
            }
            return c;
        });
    }

    static MHD_Result OnRequest(void* cls, MHD_Connection* connection, const char* url, const char* method,
                                const char* version, const char* uploadData, size_t* uploadSize,
                                void** context) noexcept
    {
        (void)url; // the path as the library decoded it: the raw target is used instead
        return GuardEntry("HttpServer::OnRequest", MHD_NO,
                          [&] { return Dispatch(cls, connection, method, version, uploadData, uploadSize, context); });
    }

    static MHD_Result Dispatch(void* cls, MHD_Connection* connection, const char* method, const char* version,
                               const char* uploadData, size_t* uploadSize, void** context)
    {
        auto* server = static_cast<HttpServer*>(cls);
        auto* c = static_cast<HttpServer::Connection*>(*context);
        if (c == nullptr) {
            return MHD_NO;
        }
        if (!c->Started) {
            c->Started = true;
            return AsResult(server->BeginRequest(*c, connection, method, version));
        }
        if (*uploadSize != 0) {
            const int handled = server->ReceiveBody(*c, uploadData, *uploadSize);
            *uploadSize = 0;
            return AsResult(handled);
        }
        return AsResult(server->FinishRequest(*c, connection));
    }

    static void OnCompleted(void* cls, MHD_Connection* connection, void** context,
                            MHD_RequestTerminationCode why) noexcept
    {
        (void)connection;
        GuardEntry("HttpServer::OnCompleted", [&] {
            auto* c = static_cast<HttpServer::Connection*>(*context);
            if (c != nullptr && c->Started) {
                static_cast<HttpServer*>(cls)->CompleteRequest(*c, why == MHD_REQUEST_TERMINATED_COMPLETED_OK);
            }
        });
    }

    static void OnConnection(void* cls, MHD_Connection* connection, void** socketContext,
                             MHD_ConnectionNotificationCode code) noexcept
    {
        GuardEntry("HttpServer::OnConnection", [&] {
            auto* server = static_cast<HttpServer*>(cls);
            if (code == MHD_CONNECTION_NOTIFY_STARTED) {
                // Without state its requests are refused: a failed open leaves none.
                *socketContext = nullptr;
                *socketContext = server->OpenConnection(connection);
            } else if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
                auto* c = static_cast<HttpServer::Connection*>(*socketContext);
                *socketContext = nullptr;
                server->CloseConnection(c);
            }
        });
    }

    static MHD_Result OnHeader(void* cls, MHD_ValueKind kind, const char* key, const char* value) noexcept
    {
        (void)kind;
        return GuardEntry("HttpServer::OnHeader", MHD_NO, [&] {
            NoteHeader(*static_cast<HttpServer::Connection*>(cls), key != nullptr ? key : "",
                       value != nullptr ? value : "");
            return MHD_YES;
        });
    }

    static void NoteHeader(HttpServer::Connection& c, const char* key, std::string_view text)
    {
        // A name with a blank before its colon ("Content-Length :") is no header this server reads, while a proxy
        // in front may read it as one: the body would frame differently on each side.
        if (!IsHttpToken(key)) {
            c.AmbiguousHeader = true;
            return;
        }
        // A header sent twice counts with its last value.
        if (EqualsNoCase(key, "Host")) {
            c.Host = text;
        } else if (EqualsNoCase(key, "User-Agent")) {
            c.UserAgent = text;
        } else if (EqualsNoCase(key, "Content-Type")) {
            c.ContentType = text;
        } else if (EqualsNoCase(key, "Cookie")) {
            c.Cookie = text;
        } else if (EqualsNoCase(key, "Origin")) {
            c.Origin = text;
        } else if (EqualsNoCase(key, "If-Modified-Since")) {
            c.IfModifiedSince = text;
        } else if (EqualsNoCase(key, "Transfer-Encoding")) {
            // One "chunked" is the only coding read; a second header or coding leaves the framing unclear.
            if (c.TransferEncoding || !EqualsNoCase(TrimmedView(text), "chunked")) {
                c.AmbiguousHeader = true;
            }
            c.TransferEncoding = true;
        } else if (EqualsNoCase(key, "Content-Length")) {
            uint64_t length = 0;
            bool valid = !text.empty() && text.size() <= 19;
            for (const char digit : text) {
                valid = valid && digit >= '0' && digit <= '9';
                length = length * 10 + static_cast<uint64_t>(digit - '0');
            }
            if (!valid || (c.ContentLength && *c.ContentLength != length)) {
                c.ConflictingLength = true; // a bad length, or two of them: what frames the body is unclear
            }
            c.ContentLength = length;
        }
    }

    static ssize_t OnRelayRead(void* cls, uint64_t position, char* out, size_t size) noexcept
    {
        (void)position;
        const auto failed = static_cast<ssize_t>(MHD_CONTENT_READER_END_WITH_ERROR);
        return GuardEntry("HttpServer::OnRelayRead", failed, [&]() -> ssize_t {
            const long got = static_cast<CgiRelay*>(cls)->Read(out, size);
            if (got < 0) {
                return failed;
            }
            return got == 0 ? static_cast<ssize_t>(MHD_CONTENT_READER_END_OF_STREAM) : static_cast<ssize_t>(got);
        });
    }

    static ssize_t OnReplyRead(void* cls, uint64_t position, char* out, size_t size) noexcept
    {
        (void)position;
        const auto failed = static_cast<ssize_t>(MHD_CONTENT_READER_END_WITH_ERROR);
        return GuardEntry("HttpServer::OnReplyRead", failed, [&]() -> ssize_t {
            const long got = static_cast<ReplyStream*>(cls)->Read(out, size);
            if (got < 0) {
                return failed;
            }
            return got == 0 ? static_cast<ssize_t>(MHD_CONTENT_READER_END_OF_STREAM) : static_cast<ssize_t>(got);
        });
    }

    static void OnReplyFree(void* cls) noexcept
    {
        GuardEntry("HttpServer::OnReplyFree", [&] {
            const std::unique_ptr<ReplyStream> stream(static_cast<ReplyStream*>(cls));
            stream->Buffer->Abandon();
        });
    }

    static void OnHeldBodyFree(void* cls) noexcept
    {
        delete static_cast<std::string*>(cls);
    }

    static void OnRelayFree(void* cls) noexcept
    {
        GuardEntry("HttpServer::OnRelayFree", [&] {
            const std::unique_ptr<CgiRelay> relay(static_cast<CgiRelay*>(cls));
            relay->Drain();
        });
    }
};

HttpServer::HttpServer(HttpServerSettings settings, CgiHost& host, AccessLog* log, const MimeTypeTable* contentTypes)
    : m_settings(std::move(settings))
    , m_host(host)
    , m_log(log)
    , m_contentTypes(contentTypes)
{}

HttpServer::~HttpServer()
{
    Stop();
    for (MHD_Response*& response : m_errorResponses) {
        if (response != nullptr) {
            MHD_destroy_response(response);
            response = nullptr;
        }
    }
}

Result<void> HttpServer::Start()
{
    static_assert(kErrorSlots <= kMaxErrorReplies);
    for (size_t i = 0; i < kErrorSlots; ++i) {
        char page[256];
        const int length = std::snprintf(page, sizeof page,
                                         "<html><head><title>%u %s</title></head><body><h1>%s</h1></body></html>\n",
                                         kErrorReplies[i].Status, kErrorReplies[i].Reason, kErrorReplies[i].Reason);
        m_errorLengths[i] = static_cast<size_t>(length);
        m_errorResponses[i] = MHD_create_response_from_buffer(m_errorLengths[i], page, MHD_RESPMEM_MUST_COPY);
        if (m_errorResponses[i] == nullptr) {
            return Fail("cannot make the error replies");
        }
        (void)MHD_add_response_header(m_errorResponses[i], "Content-Type", "text/html");
        if (kErrorReplies[i].Status == 400) {
            // After a malformed head the bytes that follow cannot be trusted to start a request.
            (void)MHD_add_response_header(m_errorResponses[i], "Connection", "close");
        }
        if (kErrorReplies[i].Status == 405) {
            (void)MHD_add_response_header(m_errorResponses[i], "Allow", "GET, HEAD");
        }
    }
    if (Result<platform::UniqueFd> root = OpenDirectory(m_settings.HtmlDir)) {
        m_htmlRoot = std::move(root.value());
    } else {
        (void)std::fprintf(stderr, "Quillmail: cannot open the HTML directory (%s); static requests get 404\n",
                           root.error().Message.c_str());
    }
    Result<platform::UniqueFd> listener = ListenTcp(m_settings.BindAddress, m_settings.Port, 1024);
    if (!listener) {
        return Fail(listener.error().Message, listener.error().Code);
    }
    const int listenFd = listener.value().Release();
    m_daemon = MHD_start_daemon(MHD_USE_THREAD_PER_CONNECTION | MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_POLL, 0,
                                nullptr, nullptr, &HttpCallbacks::OnRequest, this, MHD_OPTION_LISTEN_SOCKET, listenFd,
                                MHD_OPTION_CONNECTION_LIMIT, m_settings.MaxConnections,
                                MHD_OPTION_PER_IP_CONNECTION_LIMIT, m_settings.MaxConnectionsPerAddress,
                                MHD_OPTION_CONNECTION_TIMEOUT, m_settings.ConnectionTimeoutSeconds,
                                MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemoryBytes, MHD_OPTION_URI_LOG_CALLBACK,
                                &HttpCallbacks::OnUri, this, MHD_OPTION_NOTIFY_COMPLETED, &HttpCallbacks::OnCompleted,
                                this, MHD_OPTION_NOTIFY_CONNECTION, &HttpCallbacks::OnConnection, this, MHD_OPTION_END);
    if (m_daemon == nullptr) {
        platform::UniqueFd closeIt(listenFd);
        return Fail("cannot start the HTTP server");
    }
    m_watchdogStop = false;
    m_watchdog = std::thread([this] { RunWatchdog(); });
    return {};
}

void HttpServer::Stop()
{
    if (m_daemon != nullptr) {
        MHD_stop_daemon(m_daemon);
        m_daemon = nullptr;
    }
    if (m_watchdog.joinable()) {
        {
            std::lock_guard<std::mutex> hold(m_connectionsLock);
            m_watchdogStop = true;
        }
        m_watchdogWake.notify_all();
        m_watchdog.join();
    }
}

int64_t HttpServer::NowMs() const
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
}

HttpServer::Connection* HttpServer::OpenConnection(MHD_Connection* connection)
{
    auto c = std::make_unique<Connection>();
    c->Server = this;
    if (const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD)) {
        if (Result<platform::UniqueFd> copy = DuplicateFd(info->connect_fd)) {
            c->SocketCopy = std::move(copy.value());
        }
        if (Result<SocketEnd> local = LocalEndOf(info->connect_fd)) {
            c->Local = local.value();
        }
    }
    if (const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS)) {
        FormatSocketAddress(info->client_addr, c->RemoteAddress, sizeof c->RemoteAddress);
    }
    c->DeadlineMs = NowMs() + static_cast<int64_t>(m_settings.HeadTimeoutSeconds) * 1000;
    std::lock_guard<std::mutex> hold(m_connectionsLock);
    m_connections.insert(c.get());
    return c.release();
}

void HttpServer::CloseConnection(Connection* c)
{
    if (c == nullptr) {
        return;
    }
    {
        std::lock_guard<std::mutex> hold(m_connectionsLock);
        m_connections.erase(c);
    }
    delete c;
}

void HttpServer::BeginHead(Connection& c)
{
    // The request line has come: the rest of the head must follow within the head time-out, however it trickles.
    const int64_t headDeadline = NowMs() + static_cast<int64_t>(m_settings.HeadTimeoutSeconds) * 1000;
    const int64_t deadline = c.DeadlineMs.load();
    if (deadline == 0 || deadline > headDeadline) {
        c.DeadlineMs = headDeadline;
    }
}

bool HttpServer::UploadTooSlow(const Connection& c, int64_t now) const
{
    const int64_t start = c.BodyStartMs.load(std::memory_order_relaxed);
    const int64_t elapsed = now - start;
    if (start == 0 || elapsed <= static_cast<int64_t>(m_settings.MinBodyRateAfterSeconds) * 1000) {
        return false;
    }
    // The average since the body began, so a burst does not hide a stall for long and one slow moment is no fault.
    const uint64_t received = c.BodyBytes.load(std::memory_order_relaxed);
    return received * 1000 < m_settings.MinBodyBytesPerSecond * static_cast<uint64_t>(elapsed);
}

// Ends connections whose request head is overdue or whose body arrives too slowly. MHD's own time-out only
// measures silence, so a client that trickles a byte now and then would otherwise hold its connection for ever.
void HttpServer::RunWatchdog()
{
    std::unique_lock<std::mutex> hold(m_connectionsLock);
    while (!m_watchdogStop) {
        m_watchdogWake.wait_for(hold, std::chrono::milliseconds(250));
        const int64_t now = NowMs();
        for (Connection* c : m_connections) {
            const int64_t deadline = c->DeadlineMs.load(std::memory_order_relaxed);
            const bool headOverdue = deadline != 0 && now > deadline;
            if ((headOverdue || UploadTooSlow(*c, now)) && c->SocketCopy.Valid()) {
                c->DeadlineMs = 0;
                c->BodyStartMs = 0;
                ShutdownSocket(c->SocketCopy.Get());
            }
        }
    }
}

int HttpServer::BeginRequest(Connection& c, MHD_Connection* connection, const char* method, const char* version)
{
    c.Method.assign(method != nullptr ? method : "");
    c.Version.assign(version != nullptr ? version : "");
    (void)MHD_get_connection_values(connection, MHD_HEADER_KIND, &HttpCallbacks::OnHeader, &c);
    const std::string_view target(c.RawTarget);
    const size_t question = target.find('?');
    c.Path = target.substr(0, question);
    c.Query = question == std::string_view::npos ? std::string_view() : target.substr(question + 1);

    const bool isGet = EqualsNoCase(c.Method, "GET");
    const bool isHead = EqualsNoCase(c.Method, "HEAD");
    const bool isPost = EqualsNoCase(c.Method, "POST");
    if (!isGet && !isHead && !isPost) {
        return QueueError(c, connection, 501);
    }
    if (c.ConflictingLength || c.AmbiguousHeader || (c.TransferEncoding && c.ContentLength)) {
        // Two framings of one body: a proxy in front may read it one way and this server the other.
        return QueueError(c, connection, 400);
    }
    const std::string& base = m_settings.CgiBase;
    if (!base.empty() && c.Path == "/") {
        return QueueRedirect(c, connection, 302, SameHostLocation(base));
    }
    if (c.Path.empty() || c.Path.front() != '/') {
        return QueueError(c, connection, 400);
    }
    const bool underBase = base.empty() || (StartsWithNoCase(c.Path, base) &&
                                            (c.Path.size() == base.size() || c.Path[base.size()] == '/'));
    if (!underBase) {
        if (isPost) {
            return QueueError(c, connection, 405);
        }
        c.Kind = Route::Static;
        return 1;
    }
    c.Kind = Route::Engine;
    if (c.ContentLength && *c.ContentLength > m_settings.MaxBodyBytes) {
        return QueueError(c, connection, 413);
    }
    if (isPost || c.ContentLength.value_or(0) > 0) {
        Result<platform::UniqueFd> body = OpenAnonymousTempFile(m_settings.TempDir);
        if (!body) {
            (void)std::fprintf(stderr, "Quillmail: cannot keep a request body: %s\n", body.error().Message.c_str());
            return QueueError(c, connection, 500);
        }
        c.Body = std::move(body.value());
    }
    // The head is whole; from here a body is held to the slowest accepted rate instead.
    c.DeadlineMs = 0;
    if (isPost || c.ContentLength.value_or(0) > 0 || c.TransferEncoding) {
        c.BodyStartMs = NowMs();
    }
    return 1;
}

int HttpServer::ReceiveBody(Connection& c, const char* data, size_t size)
{
    if (c.Kind != Route::Engine) {
        return 1; // a body nobody reads: dropped
    }
    c.BodyBytes += size;
    if (c.BodyBytes.load() > m_settings.MaxBodyBytes) {
        return 0; // only a body without a length gets here: the connection is dropped
    }
    if (!c.Body.Valid()) {
        Result<platform::UniqueFd> body = OpenAnonymousTempFile(m_settings.TempDir);
        if (!body) {
            c.BodyFailed = true;
            return 1;
        }
        c.Body = std::move(body.value());
    }
    if (!c.BodyFailed && !WriteAll(c.Body.Get(), data, size)) {
        c.BodyFailed = true;
    }
    return 1;
}

int HttpServer::FinishRequest(Connection& c, MHD_Connection* connection)
{
    c.DeadlineMs = 0;
    c.BodyStartMs = 0;
    switch (c.Kind) {
    case Route::Engine:
        return RunEngine(c, connection);
    case Route::Static:
        return ServeStatic(c, connection);
    case Route::None:
    case Route::Answered:
        break;
    }
    return QueueError(c, connection, 500);
}

int HttpServer::RunEngine(Connection& c, MHD_Connection* connection)
{
    if (c.BodyFailed || (c.Body.Valid() && !Rewind(c.Body.Get()))) {
        return QueueError(c, connection, 500);
    }
    CgiRequestFacts facts;
    facts.Host = c.Host;
    facts.UserAgent = c.UserAgent;
    facts.Method = c.Method;
    facts.ScriptName = m_settings.CgiBase;
    facts.PathInfo = c.Path.substr(std::min(c.Path.size(), m_settings.CgiBase.size()));
    facts.QueryString = c.Query;
    facts.ContentType = c.ContentType;
    facts.ContentLength = c.Body.Valid() ? c.BodyBytes.load() : c.ContentLength.value_or(0);
    facts.Cookie = c.Cookie;
    facts.Origin = c.Origin;
    facts.LocalAddress = c.Local.Address;
    facts.LocalPort = c.Local.Port;
    facts.RemoteAddress = c.RemoteAddress;
    CgiCall call;
    BuildCgiEnvironment(facts, call.Environment);
    call.Input = std::move(c.Body);
    // The engine gets the idle time-out plus a page's time to begin its reply; past that the client gets 504 and
    // the output is closed, so that an engine still writing is not held for ever.
    const int waitLimitMs =
            static_cast<int>((m_settings.ConnectionTimeoutSeconds + m_settings.PageTimeoutSeconds) * 1000u);
    if (m_host.HandsRepliesOver()) {
        return RelayInMemory(c, connection, call, waitLimitMs);
    }
    return RelayPipe(c, connection, call, waitLimitMs);
}

void HttpServer::RestartIdleClock(MHD_Connection* connection) const
{
    // The connection lay silent while Main worked; restart its idle clock so that a slow page is still sent.
    (void)MHD_set_connection_option(connection, MHD_CONNECTION_OPTION_TIMEOUT, 0u);
    (void)MHD_set_connection_option(connection, MHD_CONNECTION_OPTION_TIMEOUT, m_settings.ConnectionTimeoutSeconds);
}

int HttpServer::QueueEngineReply(Connection& c, MHD_Connection* connection, const CgiHead& head,
                                 MHD_Response* response)
{
    std::string name;
    std::string value;
    for (const CgiHeaderLine& line : head.Headers) {
        name.assign(line.Name);
        value.assign(line.Value);
        (void)MHD_add_response_header(response, name.c_str(), value.c_str());
    }
    return Queue(c, connection, head.Status, response);
}

int HttpServer::RelayInMemory(Connection& c, MHD_Connection* connection, CgiCall& call, int waitLimitMs)
{
    auto reply = std::make_shared<ReplyBuffer>(waitLimitMs);
    call.Reply = reply;
    if (!m_host.Submit(call)) {
        (void)std::fprintf(stderr, "Quillmail: no thread can run the engine\n");
        return QueueError(c, connection, 503);
    }
    CgiHead head;
    const CgiHeadOutcome outcome = reply->ReadHead(head);
    RestartIdleClock(connection);
    if (outcome != CgiHeadOutcome::Read) {
        reply->Abandon();
        if (outcome == CgiHeadOutcome::TimedOut) {
            (void)std::fprintf(stderr, "Quillmail: the engine gave no reply head within %d ms for %s\n",
                               waitLimitMs, std::string(c.Path).c_str());
            return QueueError(c, connection, 504);
        }
        return QueueError(c, connection, 502);
    }
    // Mostly the engine has written the whole reply by now: it goes out from memory in one piece, with its length.
    auto body = std::make_unique<std::string>();
    if (reply->TakeWholeBody(*body) && (!head.ContentLength || *head.ContentLength == body->size())) {
        MHD_Response* response = MHD_create_response_from_buffer_with_free_callback_cls(
                body->size(), body->data(), &HttpCallbacks::OnHeldBodyFree, body.get());
        if (response == nullptr) {
            return QueueError(c, connection, 500);
        }
        c.BytesSent = EqualsNoCase(c.Method, "HEAD") ? 0 : body->size();
        (void)body.release(); // the response owns it now and frees it through OnHeldBodyFree
        return QueueEngineReply(c, connection, head, response);
    }
    auto stream = std::make_unique<ReplyStream>();
    stream->Buffer = reply;
    stream->BytesSent = &c.BytesSent;
    if (!body->empty()) {
        // A whole reply whose body disagrees with its announced length: sent as it is, as the length says.
        stream->Held = std::move(body);
    }
    MHD_Response* response =
            MHD_create_response_from_callback(head.ContentLength.value_or(MHD_SIZE_UNKNOWN), kRelayBlockSize,
                                              &HttpCallbacks::OnReplyRead, stream.get(), &HttpCallbacks::OnReplyFree);
    if (response == nullptr) {
        reply->Abandon();
        return QueueError(c, connection, 500);
    }
    (void)stream.release(); // the response owns it now and frees it through OnReplyFree
    return QueueEngineReply(c, connection, head, response);
}

int HttpServer::RelayPipe(Connection& c, MHD_Connection* connection, CgiCall& call, int waitLimitMs)
{
    Result<PipeEnds> pipe = MakePipe();
    if (!pipe) {
        (void)std::fprintf(stderr, "Quillmail: cannot make an output pipe: %s\n", pipe.error().Message.c_str());
        return QueueError(c, connection, 500);
    }
    call.Output = std::move(pipe.value().Write);
    if (!m_host.Submit(call)) {
        (void)std::fprintf(stderr, "Quillmail: no thread can run the engine\n");
        return QueueError(c, connection, 503);
    }
    auto relay = std::make_unique<CgiRelay>(std::move(pipe.value().Read), &c.BytesSent, waitLimitMs);
    CgiHead head;
    const CgiHeadOutcome outcome = relay->ReadHead(head);
    RestartIdleClock(connection);
    if (outcome == CgiHeadOutcome::TimedOut) {
        (void)std::fprintf(stderr, "Quillmail: the engine gave no reply head within %d ms for %s\n", waitLimitMs,
                           std::string(c.Path).c_str());
        return QueueError(c, connection, 504);
    }
    if (outcome != CgiHeadOutcome::Read) {
        relay->Drain();
        return QueueError(c, connection, 502);
    }
    MHD_Response* response =
            MHD_create_response_from_callback(head.ContentLength.value_or(MHD_SIZE_UNKNOWN), kRelayBlockSize,
                                              &HttpCallbacks::OnRelayRead, relay.get(), &HttpCallbacks::OnRelayFree);
    if (response == nullptr) {
        relay->Drain();
        return QueueError(c, connection, 500);
    }
    (void)relay.release(); // the response owns it now and frees it through OnRelayFree
    return QueueEngineReply(c, connection, head, response);
}

int HttpServer::ServeStatic(Connection& c, MHD_Connection* connection)
{
    std::string relative;
    switch (MapStaticPath(c.Path, relative)) {
    case StaticPathVerdict::Ok:
        break;
    case StaticPathVerdict::BadRequest:
        return QueueError(c, connection, 400);
    case StaticPathVerdict::Forbidden:
        return QueueError(c, connection, 403);
    case StaticPathVerdict::TooLong:
        return QueueError(c, connection, 414);
    }
    const bool namedDirectory = relative.empty() || relative.back() == '/';
    if (namedDirectory) {
        relative.append("index.html");
    }
    if (!m_htmlRoot.Valid()) {
        return QueueError(c, connection, 404);
    }
    Result<platform::UniqueFd> file = OpenBeneath(m_htmlRoot.Get(), relative.c_str());
    if (!file) {
        const int code = file.error().Code;
        const bool refused = code == EXDEV || code == ELOOP || code == EACCES || code == EPERM;
        return QueueError(c, connection, refused ? 403 : 404);
    }
    Result<FileFacts> facts = StatFd(file.value().Get());
    if (!facts) {
        return QueueError(c, connection, 404);
    }
    if (facts->IsDirectory && !namedDirectory) {
        std::string location = SameHostLocation(c.Path);
        location.push_back('/');
        if (!c.Query.empty()) {
            location.push_back('?');
            location.append(c.Query);
        }
        return QueueRedirect(c, connection, 301, location);
    }
    if (!facts->IsRegular) {
        return QueueError(c, connection, 404);
    }
    char modified[40];
    FormatHttpDate(facts->ModifiedTime, modified, sizeof modified);
    bool unchanged = false;
    if (!c.IfModifiedSince.empty() && EqualsNoCase(c.Method, "GET")) {
        const std::time_t since = ParseRfc822Date(std::string(c.IfModifiedSince).c_str());
        unchanged = since != 0 && since >= facts->ModifiedTime;
    }
    MHD_Response* response = nullptr;
    if (unchanged) {
        response = MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
    } else {
        response = MHD_create_response_from_fd64(facts->Size, file.value().Get());
        if (response != nullptr) {
            (void)file.value().Release(); // the response closes it
            c.PlannedBytes = facts->Size;
        }
    }
    if (response == nullptr) {
        return QueueError(c, connection, 500);
    }
    const size_t slash = relative.rfind('/');
    const size_t dot = relative.rfind('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) {
        if (m_contentTypes != nullptr) {
            (void)MHD_add_response_header(response, "Content-Type",
                                          m_contentTypes->TypeForExtension(relative.c_str() + dot + 1));
        }
    }
    (void)MHD_add_response_header(response, "Last-Modified", modified);
    return Queue(c, connection, unchanged ? 304 : 200, response);
}

int HttpServer::QueueError(Connection& c, MHD_Connection* connection, unsigned status)
{
    const size_t slot = ErrorSlot(status);
    c.Kind = Route::Answered;
    c.Status = kErrorReplies[slot].Status;
    c.PlannedBytes = m_errorLengths[slot];
    return MHD_queue_response(connection, c.Status, m_errorResponses[slot]) == MHD_YES ? 1 : 0;
}

int HttpServer::QueueRedirect(Connection& c, MHD_Connection* connection, unsigned status, const std::string& location)
{
    MHD_Response* response = MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
    if (response == nullptr) {
        return QueueError(c, connection, 500);
    }
    if (MHD_add_response_header(response, "Location", location.c_str()) != MHD_YES) {
        MHD_destroy_response(response);
        return QueueError(c, connection, 400);
    }
    c.Kind = Route::Answered;
    return Queue(c, connection, status, response);
}

int HttpServer::Queue(Connection& c, MHD_Connection* connection, unsigned status, MHD_Response* response)
{
    c.Status = status;
    const MHD_Result queued = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return queued == MHD_YES ? 1 : 0;
}

void HttpServer::CompleteRequest(Connection& c, bool completedOk)
{
    if (m_log != nullptr && c.Status != 0) {
        AccessLogEntry entry;
        entry.Client = c.RemoteAddress;
        entry.When = c.RequestTime;
        entry.Method = c.Method;
        entry.Target = c.RawTarget;
        entry.Version = c.Version;
        entry.Status = c.Status;
        entry.Bytes = c.Kind == Route::Engine ? c.BytesSent : (completedOk ? c.PlannedBytes : 0);
        m_log->Write(entry);
    }
    c.ResetRequest();
    // The next request may wait for the idle time-out; once its first line has come, the head time-out counts.
    c.DeadlineMs = NowMs() + static_cast<int64_t>(m_settings.ConnectionTimeoutSeconds) * 1000;
}

} // namespace qm
