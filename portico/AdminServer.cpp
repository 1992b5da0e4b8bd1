#include "portico/AdminServer.h"

#include "common/IniAccess.h"
#include "common/Log.h"
#include "platform/FileSystem.h"
#include "platform/NetAddress.h"
#include "platform/Path.h"
#include "platform/PollSet.h"
#include "platform/SocketOps.h"
#include "portico/Messages.h"
#include "portico/SocketTransport.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>

namespace qm::portico {
namespace {

constexpr const char* kSection = "AdminWebServer";
constexpr int kTickMs = 5000;
// How often the loop looks for a stop request while no client comes.
constexpr int kStopPollMs = 200;

std::string KeepString(const char* section, const char* key, const std::string& def)
{
    std::string value = ReadIniString(section, key, def);
    (void)WriteIniString(section, key, value);
    return value;
}

int KeepInt(const char* section, const char* key, int def)
{
    const int value = ReadIniInt(section, key, def);
    (void)WriteIniInt(section, key, value);
    return value;
}

// The absolute, normal form of a path without a trailing separator (links resolved as far as the path exists).
std::filesystem::path NormalPath(const std::string& path)
{
    std::error_code ignored;
    std::filesystem::path normal = std::filesystem::weakly_canonical(path, ignored).lexically_normal();
    if (!normal.has_filename() && normal.has_relative_path()) {
        normal = normal.parent_path();
    }
    return normal;
}

} // namespace

bool SafeToEmpty(const std::string& dir, const std::vector<std::string>& kept)
{
    if (dir.empty()) {
        return false;
    }
    const std::filesystem::path target = NormalPath(dir);
    if (target.empty() || target == target.root_path()) {
        return false;
    }
    // Unsafe when target is one of them or an ancestor of one: all of target's parts begin that path.
    return std::none_of(kept.begin(), kept.end(), [&target](const std::string& other) {
        if (other.empty()) {
            return false;
        }
        const std::filesystem::path path = NormalPath(other);
        return std::mismatch(target.begin(), target.end(), path.begin(), path.end()).first == target.end();
    });
}

AdminServer::AdminServer(std::string baseDir, ConnectionSettings settings)
    : m_baseDir(std::move(baseDir))
{
    m_context.Settings = std::move(settings);
    m_context.Registry = &m_registry;
    m_context.MimeTypes = &m_mimeTypes;
    m_context.Access = &m_access;
    m_context.Throttle = &m_throttle;
}

bool AdminServer::PrepareTempDir()
{
    const std::string tempDir = KeepString("Directories", "TempDir", m_baseDir + "/Temp");
    const std::string own = platform::PathJoin(tempDir, kOwnTempDirName);
    m_context.Settings.BodyDir = own;
    (void)platform::MakeDirectories(own);
    const std::vector<std::string> kept = {m_baseDir, ReadIniString("Directories", "LogDir", m_baseDir + "/Logs"),
                                           ReadIniString(kSection, "HtmlDir", m_baseDir + "/HTML"),
                                           ReadIniString(kSection, "CgiDir", m_baseDir + "/cgi-bin")};
    if (!platform::IsDirectory(own)) {
        (void)std::fprintf(stderr, "Portico: cannot create %s\n", own.c_str());
        return false;
    }
    if (!SafeToEmpty(own, kept)) {
        (void)std::fprintf(stderr, "Portico: refusing to empty %s: it holds the installation\n", own.c_str());
        return false;
    }
    (void)EmptyDirectory(own);
    return true;
}

bool AdminServer::Initialise()
{
    if (!PrepareTempDir()) {
        return false;
    }
    const std::string logDir = KeepString("Directories", "LogDir", m_baseDir + "/Logs");
    (void)platform::MakeDirectories(logDir);
    m_logLevel = KeepInt("General", "LogLevel", 1);
    SetLogLevelSource(&m_logLevel);
    m_log = std::make_unique<LogFile>((logDir + "/Portico-admin.log").c_str(),
                                      ReadIniInt("General", "MaxLogFileSize", 5000));
    m_context.SystemLog = m_log.get();
    m_log->LogMsg(5, kMsgInitializing);
    ReadAndWriteBack();

    const int port = ReadIniInt(kSection, "Port", 2001);
    const std::string bind = ReadIniString(kSection, "BindAddress", "0.0.0.0");
    m_log->LogMsg(1, kMsgSocketsInitializing);
    if (bind == "0.0.0.0") {
        m_log->LogMsg(2, kMsgListeningOnAll, port);
    } else {
        m_log->LogMsg(2, kMsgListeningOn, bind.c_str(), port);
    }
    Result<platform::UniqueFd> listener =
            port > 0 && port < 65536 ? ListenTcp(bind, static_cast<unsigned>(port), 128) : Fail("bad port", EINVAL);
    if (!listener) {
        m_log->LogMsg(4, kMsgListenError, listener.error().Code);
        (void)std::fprintf(stderr, "Portico: %s\n", listener.error().Message.c_str());
        return false;
    }
    m_listenFd = listener->Release();
    m_context.BindAddress = bind;

    m_log->LogMsg(1, kMsgLoadingCgis);
    m_registry.Load(*m_log);
    if (!m_registry.StartLibraries(*m_log)) {
        return false;
    }
    if (!platform::IsDirectory(ReadIniString(kSection, "HtmlDir", ""))) {
        m_log->LogMsg(3, kMsgNoHtmlDirectory);
    }
    if (!platform::IsDirectory(ReadIniString(kSection, "CgiDir", ""))) {
        m_log->LogMsg(3, kMsgNoCgiDirectory);
    }
    const std::string baseDir = KeepString("Directories", "BaseDir", m_baseDir);
    if (!m_mimeTypes.Load(platform::PathJoin(baseDir, "MimeTypes.cfg").c_str())) {
        m_log->LogMsg(3, kMsgNoMimeTypes);
    }
    (void)m_access.Open(logDir);
    if (ReadIniString(kSection, "Auth", "").empty()) {
        m_log->Log(3, "[AdminWebServer] Auth is empty: only requests from 127.0.0.1 are served until it is set.");
    }
    m_log->LogMsg(3, kMsgAwaitingConnections);
    return true;
}

void AdminServer::ReadAndWriteBack()
{
    (void)KeepInt(kSection, "Port", 2001);
    (void)KeepString(kSection, "DefHtmlFile", "index.html");
    (void)KeepString(kSection, "HtmlDir", m_baseDir + "/HTML");
    (void)KeepInt("General", "MaxLogFileSize", 5000);
    (void)KeepString(kSection, "BindAddress", "0.0.0.0");
    (void)KeepString(kSection, "CgiAlias", "/cgi-bin");
    (void)KeepString(kSection, "CgiDir", m_baseDir + "/cgi-bin");
    (void)KeepString(kSection, "Auth", "");
    (void)WriteIniBool(kSection, "LocalAuth", ReadIniBool(kSection, "LocalAuth", false));
}

// A connection whose request head is being read. The connection refers to the transport: it is declared after it,
// so that it goes first.
struct PendingHead {
    std::unique_ptr<SocketTransport> Transport;
    std::unique_ptr<HttpConnection> Connection;
};

namespace {

int MsUntil(std::chrono::steady_clock::time_point when)
{
    const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(when - std::chrono::steady_clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, INT32_MAX));
}

} // namespace

// Heads are read from every waiting connection at once, so that idle or slow clients hold up nobody; a request
// whose head is complete is then served to its end while the others wait.
void AdminServer::Serve(const ServeHooks& hooks)
{
    if (hooks.ReportRunning) {
        hooks.ReportRunning();
    }
    std::deque<PendingHead> pending; // in the order of arrival
    std::vector<PollEntry> entries;
    auto nextTick = std::chrono::steady_clock::now() + std::chrono::milliseconds(kTickMs);
    while (!hooks.StopRequested || !hooks.StopRequested()) {
        if (std::chrono::steady_clock::now() >= nextTick) {
            Tick();
            nextTick = std::chrono::steady_clock::now() + std::chrono::milliseconds(kTickMs);
        }
        entries.assign(1, PollEntry{m_listenFd, kPollIn});
        int wait = kStopPollMs;
        for (const PendingHead& head : pending) {
            entries.push_back(PollEntry{head.Transport->Fd(), kPollIn | kPollPeerClosed});
            wait = std::min(wait, MsUntil(head.Connection->HeadDeadline()));
        }
        if (PollMany(entries, wait) < 0) {
            continue;
        }
        ReadHeads(pending, entries);
        if ((entries.front().Ready & kPollIn) != 0) {
            AcceptConnection(pending);
        }
    }
    for (PendingHead& head : pending) {
        head.Connection->Finish(HttpConnection::HeadState::Failed);
    }
    m_log->LogMsg(2, kMsgShutdownNotice);
}

// Reads from each connection that has sent something (or whose time is up), and serves each request whose head is
// complete, oldest first. `entries` are those PollMany saw: the listener, then one for each pending head.
void AdminServer::ReadHeads(std::deque<PendingHead>& pending, const std::vector<PollEntry>& entries)
{
    for (std::size_t i = 0; i < pending.size(); ++i) {
        HttpConnection& connection = *pending[i].Connection;
        if (entries[i + 1].Ready == 0 && MsUntil(connection.HeadDeadline()) > 0) {
            continue;
        }
        const HttpConnection::HeadState state = connection.ReadHead(0);
        if (state != HttpConnection::HeadState::Incomplete) {
            connection.Finish(state);
            pending[i].Connection.reset();
            pending[i].Transport.reset();
        }
    }
    std::erase_if(pending, [](const PendingHead& head) { return head.Connection == nullptr; });
}

// One connection a round: the listener blocks, and the loop comes back at once while more wait.
void AdminServer::AcceptConnection(std::deque<PendingHead>& pending)
{
    std::uint32_t peer = 0;
    const int fd = SystemSocketOps().Accept(m_listenFd, &peer);
    if (fd < 0) {
        if (fd != -EAGAIN) {
            m_log->LogMsg(4, kMsgAcceptError, -fd);
        }
        return;
    }
    if (pending.size() >= kMaxPendingHeads) {
        // The oldest has had the longest to send its head.
        m_log->Log(4, "%zu connections wait for their request heads: dropped the oldest.", pending.size());
        pending.front().Connection->Finish(HttpConnection::HeadState::Failed);
        pending.pop_front();
    }
    auto transport = std::make_unique<SocketTransport>(fd, peer);
    auto connection = std::make_unique<HttpConnection>(m_context, *transport, ++m_connections);
    pending.push_back(PendingHead{std::move(transport), std::move(connection)});
}

void AdminServer::Tick()
{
    m_access.Rotate(ReadIniInt("General", "MaxLogFileSize", 5000));
    (void)m_log->CheckRotation();
}

AdminServer::~AdminServer()
{
    if (m_log == nullptr) {
        return;
    }
    m_log->LogMsg(1, kMsgClosingListenSockets);
    if (m_listenFd >= 0) {
        (void)SystemSocketOps().Close(m_listenFd);
    }
    m_context.JoinLingering();
    if (m_registry.LibraryCount() > 0) {
        m_log->LogMsg(1, kMsgShuttingDownCgiLibraries);
    }
    m_registry.ShutDownAll();
    m_access.Close();
    m_log->LogMsg(5, kMsgExiting);
    m_context.SystemLog = nullptr;
    m_log.reset();
    SetLogLevelSource(nullptr);
}

} // namespace qm::portico
