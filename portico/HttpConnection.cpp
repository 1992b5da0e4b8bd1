#include "portico/HttpConnection.h"

#include "common/IniAccess.h"
#include "common/Scrambler.h"
#include "common/StringTable.h"
#include "common/StringUtil.h"
#include "common/TextScan.h"
#include "platform/DescriptorIo.h"
#include "platform/FileSystem.h"
#include "platform/SocketOps.h"
#include "portico/Messages.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace qm::portico {
namespace {

constexpr const char* kSection = "AdminWebServer";
constexpr const char* kServerLine = "Server: Portico/2.2.3\r\n";
constexpr std::uint32_t kLoopback = 0x7F000001;

std::string ReadSetting(const char* key, const char* def, std::size_t limit)
{
    std::string value = ReadIniString(kSection, key, def);
    if (value.size() > limit) {
        value.resize(limit);
    }
    return value;
}

// The value of a header line when it begins with `name` (which carries its ": "), without regard to case.
std::optional<std::string_view> HeaderValue(std::string_view line, std::string_view name)
{
    if (line.size() < name.size() || !EqualsNoCase(line.substr(0, name.size()), name)) {
        return std::nullopt;
    }
    return line.substr(name.size());
}

// A Content-Length value: digits only, and not so many that they overflow. -1 when it is not one.
std::int64_t ParseLength(std::string_view text)
{
    text = TrimmedView(text);
    if (text.empty() || text.size() > 18) {
        return text.size() > 18 && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })
                       ? INT64_MAX
                       : -1;
    }
    std::int64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return -1;
        }
        value = value * 10 + (c - '0');
    }
    return value;
}

// True when a '/'-separated segment of `path` is "..".
bool HasParentSegment(std::string_view path)
{
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string_view::npos) {
            end = path.size();
        }
        if (path.substr(start, end - start) == "..") {
            return true;
        }
        start = end + 1;
    }
    return false;
}

std::string DottedAddress(std::uint32_t address)
{
    char text[16];
    (void)std::snprintf(text, sizeof text, "%u.%u.%u.%u", (address >> 24) & 0xFF, (address >> 16) & 0xFF,
                        (address >> 8) & 0xFF, address & 0xFF);
    return text;
}

} // namespace

void ServerContext::JoinLingering()
{
    for (std::unique_ptr<LingeringCall>& call : Lingering) {
        if (call->Thread.joinable()) {
            call->Thread.join();
        }
    }
    Lingering.clear();
}

std::string HttpDate(time_t when)
{
    std::tm gmt{};
    (void)gmtime_r(&when, &gmt);
    char text[64];
    (void)std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &gmt);
    return text;
}

const char* ReasonPhrase(int status)
{
    switch (status) {
    case 304:
        return "Not Modified";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 413:
        return "Request Entity Too Large";
    case 500:
        return "Internal Server Error";
    case 501:
        return "Not Implemented";
    case 504:
        return "Gateway Timeout";
    default:
        return "Bad Request";
    }
}

bool ParseRequest(std::string_view head, HttpRequest& request, int& status)
{
    status = 400;
    request = HttpRequest{};
    // A NUL would end a value early once it is a C string (and could add entries to a CGI's environment block).
    if (head.find('\0') != std::string_view::npos) {
        return false;
    }
    std::size_t lineEnd = head.find_first_of("\r\n");
    const std::string_view requestLine = head.substr(0, lineEnd);
    if (requestLine.empty()) {
        return false;
    }
    request.RequestLine = std::string(requestLine);
    const std::size_t space = requestLine.find(' ');
    if (space == std::string_view::npos || space == 0) {
        return false;
    }
    request.Method = std::string(requestLine.substr(0, space));
    if (!EqualsNoCase(request.Method, "GET") && !EqualsNoCase(request.Method, "POST") &&
        !EqualsNoCase(request.Method, "HEAD")) {
        status = 501;
        return false;
    }
    const std::size_t pathEnd = requestLine.find(' ', space + 1);
    if (pathEnd == std::string_view::npos) {
        return false; // no version
    }
    std::string_view target = requestLine.substr(space + 1, pathEnd - space - 1);
    if (const std::size_t mark = target.find('?'); mark != std::string_view::npos) {
        request.Query = std::string(target.substr(mark + 1));
        target = target.substr(0, mark);
    }
    request.Path = std::string(target.substr(0, kMaxPathLength));
    status = 200;

    while (lineEnd != std::string_view::npos) {
        std::size_t start = lineEnd + 1;
        if (head[lineEnd] == '\r' && start < head.size() && head[start] == '\n') {
            ++start;
        }
        lineEnd = head.find_first_of("\r\n", start);
        const std::string_view line =
                head.substr(start, lineEnd == std::string_view::npos ? std::string_view::npos : lineEnd - start);
        if (auto value = HeaderValue(line, "Content-Length: ")) {
            request.ContentLength = ParseLength(*value);
            if (request.ContentLength < 0) {
                status = 400;
                return false;
            }
        } else if (auto type = HeaderValue(line, "Content-Type: ")) {
            request.ContentType = std::string(*type);
        } else if (auto since = HeaderValue(line, "If-Modified-Since: ")) {
            const std::string date(*since);
            const time_t parsed = ParseRfc822Date(date.c_str());
            request.IfModifiedSince = parsed > 0 ? parsed : 0;
        } else if (auto agent = HeaderValue(line, "User-Agent: ")) {
            request.UserAgent = std::string(*agent);
        } else if (auto cookie = HeaderValue(line, "Cookie: ")) {
            request.Cookie = std::string(*cookie);
        } else if (auto authorization = HeaderValue(line, "Authorization: ")) {
            request.Authorization = std::string(*authorization);
        } else if (auto host = HeaderValue(line, "Host: "); host && !host->empty()) {
            request.Host = std::string(*host);
        }
    }
    return true;
}

bool NamesThisMachine(std::string_view host, std::string_view bindAddress)
{
    std::string_view name = host;
    std::string_view port;
    if (!name.empty() && name.front() == '[') {
        const std::size_t close = name.find(']');
        if (close == std::string_view::npos) {
            return false;
        }
        port = name.substr(close + 1);
        name = name.substr(0, close + 1);
    } else if (const std::size_t colon = name.rfind(':'); colon != std::string_view::npos) {
        port = name.substr(colon);
        name = name.substr(0, colon);
    }
    if (!port.empty() &&
        (port.size() < 2 || port.front() != ':' || port.find_first_not_of("0123456789", 1) != std::string_view::npos)) {
        return false;
    }
    if (name.empty() || name.size() > 255) {
        return false;
    }
    if (EqualsNoCase(name, "localhost") || name == "[::1]") {
        return true;
    }
    const std::string text(name);
    std::uint32_t address = 0;
    if (ParseIpv4(text.c_str(), &address) && (address >> 24) == 127) {
        return true;
    }
    return bindAddress != "0.0.0.0" && !bindAddress.empty() && EqualsNoCase(name, bindAddress);
}

bool CredentialsMatch(std::string_view decoded, std::string_view stored)
{
    const std::size_t storedColon = stored.find(':');
    if (storedColon == std::string_view::npos) {
        return decoded == stored;
    }
    if (decoded.find(':') != storedColon) {
        return false;
    }
    return EqualsNoCase(decoded.substr(0, storedColon), stored.substr(0, storedColon)) &&
           decoded.substr(storedColon) == stored.substr(storedColon);
}

HttpConnection::HttpConnection(ServerContext& context, Transport& transport, int number)
    : m_context(context)
    , m_transport(transport)
    , m_deadline(std::chrono::steady_clock::now() + std::chrono::milliseconds(context.Settings.ConnectionTimeoutMs))
    , m_headDeadline(std::chrono::steady_clock::now() + std::chrono::milliseconds(context.Settings.HeadTimeoutMs))
    , m_log(*context.SystemLog)
    , m_number(number)
{
    m_log.SetPrefix(std::to_string(number).c_str());
    const std::string peer = DottedAddress(m_transport.PeerAddress());
    m_log.LogMsg(1, kMsgConnectionAccepted, peer.c_str());
}

HttpConnection::~HttpConnection()
{
    m_log.Flush();
}

std::uint64_t HttpConnection::BytesTransferred() const
{
    return m_bodyBytes;
}

void HttpConnection::Serve()
{
    HeadState state = HeadState::Incomplete;
    while (state == HeadState::Incomplete) {
        state = ReadHead(-1);
    }
    Finish(state);
}

void HttpConnection::Finish(HeadState state)
{
    if (state == HeadState::Complete) {
        RouteRequest();
    }
    m_log.LogMsg(1, m_success && !m_failed ? kMsgCompletedOk : kMsgCompletedFailed, static_cast<int>(m_bodyBytes));
    if (m_status != 0 && m_context.Access != nullptr) {
        const std::string peer = DottedAddress(m_transport.PeerAddress());
        const std::string user = UserPart();
        m_context.Access->Write({peer, user, m_requestTime, m_request.RequestLine, m_status, m_bodyBytes});
    }
}

HttpConnection::HeadState HttpConnection::ReadHead(int waitMs)
{
    using Clock = std::chrono::steady_clock;
    if (kRequestBufferSize - m_filled <= 1) {
        m_log.LogMsg(4, kMsgReceiveOverflow);
        return HeadState::Failed;
    }
    const long long left = std::max<long long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(m_headDeadline - Clock::now()).count(), 0);
    // What has arrived is taken even past the time limit: the server may have been busy with another request.
    const long long wait = waitMs < 0 ? left : std::min<long long>(waitMs, left);
    const long got =
            m_transport.Receive(m_buffer + m_filled, kRequestBufferSize - 1 - m_filled, static_cast<int>(wait));
    if (got == Transport::kTimedOut) {
        if (wait < left) {
            return HeadState::Incomplete;
        }
        m_log.LogMsg(4, kMsgTimedOut);
        return HeadState::Failed;
    }
    if (got < 0) {
        m_log.LogMsg(4, kMsgReceiveError, m_transport.LastError());
        return HeadState::Failed;
    }
    if (got == 0) {
        m_log.LogMsg(4, kMsgClosedUnexpectedly);
        return HeadState::Failed;
    }
    // Search from a little before the new bytes, so that an empty line split between reads is found.
    const std::size_t from = m_filled >= 3 ? m_filled - 3 : 0;
    m_filled += static_cast<std::size_t>(got);
    const std::string_view filled(m_buffer, m_filled);
    const std::size_t end = filled.find("\r\n\r\n", from);
    if (end != std::string_view::npos) {
        m_bodyStart = end + 4;
        m_headBytes = 0;
        return HeadState::Complete;
    }
    if (kRequestBufferSize - m_filled <= 1) {
        m_log.LogMsg(4, kMsgReceiveOverflow);
        return HeadState::Failed;
    }
    if (left == 0) {
        m_log.LogMsg(4, kMsgTimedOut);
        return HeadState::Failed;
    }
    return HeadState::Incomplete;
}

void HttpConnection::RouteRequest()
{
    m_requestTime = std::time(nullptr);
    const std::string_view head(m_buffer, m_bodyStart - 2);
    if (!ParseRequest(head, m_request, m_status)) {
        if (!m_request.RequestLine.empty()) {
            m_log.Log(1, "%s", EscapeControlBytes(m_request.RequestLine).c_str());
        }
        m_log.LogMsg(3, kMsgInvalidRequest);
        SendError(m_status);
        return;
    }
    m_log.Log(1, "%s", EscapeControlBytes(m_request.RequestLine).c_str());
    if (m_request.Path == "/") {
        m_request.Path = ReadSetting("CgiBase1", "/", 63);
    }
    std::string auth = ReadSetting("Auth", "", 255);
    // Without a logon set, the server is no one's but the machine's own.
    if (auth.empty() && !IsLocalRequest()) {
        RefuseWithoutAuth();
        return;
    }
    if (!auth.empty()) {
        if (auth[0] == '-') {
            auth = ScramblePassword(std::string_view(auth).substr(1));
            (void)WriteIniString(kSection, "Auth", auth);
        }
        if (!Authenticate(UnscramblePassword(auth), kMsgGlobalAuthFailed)) {
            return;
        }
    }
    std::string pathInfo;
    if (const CgiEntry* entry = m_context.Registry->Find(m_request.Path, &pathInfo)) {
        if (auth.empty() && !entry->Auth.empty() && !Authenticate(UnscramblePassword(entry->Auth), kMsgCgiAuthFailed)) {
            return;
        }
        if (!entry->IsLibrary() && !FileExists(entry->File)) {
            SendError(404);
            return;
        }
        RunCgi(entry, entry->File, entry->Prefix, pathInfo);
        return;
    }
    const std::string alias = ReadSetting("CgiAlias", "/cgi-bin", 255);
    if (!alias.empty() && m_request.Path.size() > alias.size() && m_request.Path[alias.size()] == '/' &&
        EqualsNoCase(std::string_view(m_request.Path).substr(0, alias.size()), alias)) {
        ServeScript(m_request.Path.substr(alias.size() + 1), m_request.Path.substr(0, alias.size()));
        return;
    }
    ServeStaticFile();
}

// A request from 127.0.0.1 whose Host, when sent, names this machine. A page of another site that a browser on
// this machine loads can reach 127.0.0.1 only under a name of that site (DNS rebinding), which this refuses.
bool HttpConnection::IsLocalRequest() const
{
    return m_transport.PeerAddress() == kLoopback &&
           (!m_request.Host || NamesThisMachine(*m_request.Host, m_context.BindAddress));
}

void HttpConnection::RefuseWithoutAuth()
{
    const auto now = std::chrono::steady_clock::now();
    if (now >= m_context.NextOpenRefusalLog) {
        m_context.NextOpenRefusalLog = now + std::chrono::minutes(1);
        const std::string peer = DottedAddress(m_transport.PeerAddress());
        m_log.Log(2,
                  "Refused a request from %s: [AdminWebServer] Auth is empty, so only requests from 127.0.0.1 "
                  "that name this machine are served (this is logged once a minute at most).",
                  peer.c_str());
    }
    SendError(403);
}

bool HttpConnection::Authenticate(const std::string& stored, int messageId)
{
    if (CheckAuth(stored)) {
        return true;
    }
    if (m_request.Authorization) {
        const std::string user = UserPart();
        m_log.LogMsg(3, messageId, user.c_str());
    }
    SendError(401);
    return false;
}

bool HttpConnection::CheckAuth(const std::string& stored)
{
    if (IsLocalRequest() && !ReadIniBool(kSection, "LocalAuth", false)) {
        return true;
    }
    m_status = 401;
    if (!m_request.Authorization || !StartsWithNoCase(*m_request.Authorization, "Basic ")) {
        return false;
    }
    std::string_view encoded = std::string_view(*m_request.Authorization).substr(6);
    encoded = encoded.substr(0, 255);
    m_credentials = Base64Decode(encoded);
    const std::uint32_t peer = m_transport.PeerAddress();
    // A locked-out address is refused unchecked: guessing on gains nothing.
    if (m_context.Throttle != nullptr && !m_context.Throttle->Admit(peer)) {
        return false;
    }
    if (!CredentialsMatch(m_credentials, stored)) {
        if (m_context.Throttle != nullptr) {
            m_context.Throttle->Failed(peer);
        }
        return false;
    }
    if (m_context.Throttle != nullptr) {
        m_context.Throttle->Succeeded(peer);
    }
    m_status = 200;
    return true;
}

std::string HttpConnection::UserPart() const
{
    std::string user = m_credentials.substr(0, m_credentials.find(':'));
    // The user name goes into log lines: no line breaks, no control bytes, a bounded length.
    user = EscapeControlBytes(user.substr(0, 64));
    std::replace(user.begin(), user.end(), ' ', '_');
    return user;
}

void HttpConnection::SendError(int status)
{
    m_status = status;
    const char* phrase = ReasonPhrase(status);
    char head[512];
    int length =
            std::snprintf(head, sizeof head, "HTTP/1.0 %d %s\r\n%sContent-Type: text/html\r\nConnection: close\r\n",
                          status, phrase, kServerLine);
    std::string reply(head, static_cast<std::size_t>(length));
    if (status == 401) {
        reply += "WWW-Authenticate: BASIC realm=\"";
        reply += LoadResourceString(kMsgRealm);
        reply += "\"\r\n";
    }
    reply += "\r\n";
    if (!SendHead(reply) || status == 304) {
        m_success = !m_failed;
        return;
    }
    length = std::snprintf(head, sizeof head,
                           "<HTML>\r\n<HEAD><TITLE>%d %s</TITLE></HEAD>\r\n<BODY><H1>%s</H1></BODY>\r\n</HTML>\r\n",
                           status, phrase, phrase);
    m_success = SendBody(head, static_cast<std::size_t>(length));
}

bool HttpConnection::SendHead(const std::string& head)
{
    if (m_failed) {
        return false;
    }
    if (!SendBytes(head.data(), head.size())) {
        return false;
    }
    m_headBytes += head.size();
    return true;
}

bool HttpConnection::SendBody(const char* data, std::size_t size)
{
    if (m_failed) {
        return false;
    }
    if (!SendBytes(data, size)) {
        return false;
    }
    m_bodyBytes += size;
    return true;
}

bool HttpConnection::SendBytes(const char* data, std::size_t size)
{
    // Each wait is bounded, and all of them together by the connection's deadline.
    const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(m_deadline - std::chrono::steady_clock::now())
                    .count();
    const int wait = static_cast<int>(std::clamp<long long>(left, 0, m_context.Settings.SendTimeoutMs));
    if (wait == 0 || !m_transport.Send(data, size, wait)) {
        m_log.LogMsg(4, wait == 0 ? kMsgTimedOut : kMsgSendError, m_transport.LastError());
        m_failed = true;
        return false;
    }
    return true;
}

void HttpConnection::ServeStaticFile()
{
    const std::string htmlDir = ReadSetting("HtmlDir", "", 255);
    if (htmlDir.empty()) {
        m_log.LogMsg(2, kMsgCannotOpenFile, m_request.Path.c_str());
        SendError(404);
        return;
    }
    std::string relative = m_request.Path;
    const std::size_t room = htmlDir.size() < kMaxPathLength ? kMaxPathLength - htmlDir.size() : 0;
    relative.resize(std::min(relative.size(), room));
    if (HasParentSegment(relative)) {
        SendError(403);
        return;
    }
    if ((relative.empty() || relative.back() == '/') && htmlDir.size() + relative.size() < 228) {
        relative += ReadSetting("DefHtmlFile", "index.html", 31);
    }
    while (!relative.empty() && relative.front() == '/') {
        relative.erase(0, 1);
    }
    Result<platform::UniqueFd> root = OpenDirectory(htmlDir);
    int openError = ENOENT;
    platform::UniqueFd file;
    if (root && !relative.empty()) {
        Result<platform::UniqueFd> opened = OpenBeneath(root->Get(), relative.c_str());
        if (opened) {
            file = std::move(*opened);
        } else {
            openError = opened.error().Code;
        }
    }
    if (!file && openError == EXDEV) {
        SendError(403); // a symbolic link that leads out of HtmlDir
        return;
    }
    Result<FileFacts> facts = file ? StatFd(file.Get()) : Result<FileFacts>(Fail("no file", ENOENT));
    if (!facts || !facts->IsRegular) {
        m_log.LogMsg(2, kMsgCannotOpenFile, m_request.Path.c_str());
        SendError(404);
        return;
    }
    const bool isHead = EqualsNoCase(m_request.Method, "HEAD");
    if (!isHead && m_request.IfModifiedSince != 0 && m_request.IfModifiedSince >= facts->ModifiedTime) {
        SendError(304);
        return;
    }
    std::string head = "HTTP/1.0 200 OK\r\n";
    head += kServerLine;
    head += "Date: " + HttpDate(m_requestTime) + "\r\n";
    const std::size_t slash = relative.rfind('/');
    const std::size_t dot = relative.rfind('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash) && m_context.MimeTypes != nullptr) {
        head += "MIME-Version: 1.0\r\nContent-type: ";
        head += m_context.MimeTypes->TypeForExtension(relative.c_str() + dot + 1);
        head += "\r\n";
    }
    head += "Content-Length: " + std::to_string(facts->Size) + "\r\nLast-Modified: " + HttpDate(facts->ModifiedTime) +
            "\r\nConnection: close\r\n\r\n";
    m_status = 200;
    if (!SendHead(head)) {
        return;
    }
    if (isHead) {
        m_success = true;
        return;
    }
    char piece[4096];
    for (;;) {
        Result<std::size_t> got = ReadSome(file.Get(), piece, sizeof piece);
        if (!got) {
            return;
        }
        if (*got == 0) {
            m_success = true;
            return;
        }
        if (!SendBody(piece, *got)) {
            return;
        }
    }
}

void HttpConnection::ServeScript(const std::string& afterAlias, const std::string& alias)
{
    const std::size_t slash = afterAlias.find('/');
    const std::string scriptName = afterAlias.substr(0, slash);
    const std::string pathInfo = slash == std::string::npos ? "" : afterAlias.substr(slash);
    if (HasParentSegment(afterAlias)) {
        SendError(403);
        return;
    }
    const std::string cgiDir = ReadSetting("CgiDir", "", 255);
    const std::string script = cgiDir + "/" + scriptName;
    if (cgiDir.empty() || scriptName.empty() || script.size() > kMaxPathLength || !platform::IsRegularFile(script)) {
        SendError(404);
        return;
    }
    RunCgi(nullptr, script, alias + "/" + scriptName, pathInfo);
}

} // namespace qm::portico
