#include "webserver/tests/integration/WebServerHarness.h"

#include "testsupport/Program.h"
#include "testsupport/WaitUntil.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qm::test {

namespace {

std::string Lower(std::string text)
{
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

int ConnectLoopback(unsigned port, const char* source = nullptr)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    if (source != nullptr) {
        sockaddr_in from{};
        from.sin_family = AF_INET;
        if (inet_pton(AF_INET, source, &from.sin_addr) != 1 ||
            bind(fd, reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0) {
            close(fd);
            return -1;
        }
    }
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(static_cast<uint16_t>(port));
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&where), sizeof where) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

} // namespace

WebInstallation::WebInstallation()
{
    std::filesystem::create_directories(m_install.Path("HTML"));
    WriteFile("MimeTypes.cfg", "text/html html htm\r\ntext/css css\r\nimage/png png\r\ntext/plain txt\r\n");
}

void WebInstallation::WriteIni(unsigned port, const std::string& library)
{
    std::string ini = "[WebServer]\nPort=" + std::to_string(port) + "\nBindAddress=127.0.0.1\nCgiFile1=" + library +
                      "\nCgiBase1=/mail\n";
    for (const std::string& line : m_extraLines) {
        ini += line + "\n";
    }
    m_install.WriteIni(ini);
}

std::string WebInstallation::WriteFile(const std::string& name, const std::string& bytes) const
{
    return m_install.WriteFile(name, bytes);
}

std::vector<std::string> WebInstallation::ServerEnvironment(const std::vector<std::string>& extra) const
{
    std::vector<std::string> environment = {"QM_TEST_CGI_MARKER=" + MarkerPath()};
    environment.insert(environment.end(), extra.begin(), extra.end());
    return m_install.Environment(environment);
}

bool WaitForListener(unsigned port, int timeoutMs)
{
    return WaitUntil(
            [port] {
                const int fd = ConnectLoopback(port);
                if (fd < 0) {
                    return false;
                }
                close(fd);
                return true;
            },
            std::chrono::milliseconds(timeoutMs));
}

RunningServer::RunningServer(WebInstallation& installation, const std::vector<std::string>& extraEnvironment)
    : m_installation(installation)
{
    for (int attempt = 0; attempt < 5 && !m_ready; ++attempt) {
        m_port = PickFreePort();
        installation.WriteIni(m_port);
        ChildOptions options;
        options.Argv = {QM_WEBSERVER_PROGRAM};
        options.Environment = installation.ServerEnvironment(extraEnvironment);
        options.Stderr = ChildStdio::File(installation.Path("server-stderr.txt"), FileMode::Append);
        Result<ChildProcess> child = ChildProcess::Start(options);
        if (!child) {
            ADD_FAILURE() << "cannot start the server: " << child.error().Message;
            return;
        }
        m_child.emplace(std::move(child.value()));
        const auto start = std::chrono::steady_clock::now();
        while (ElapsedMs(start) < 30000) {
            if (WaitForListener(m_port, 100)) {
                m_ready = true;
                break;
            }
            Result<ChildStatus> status = m_child->Wait(0);
            if (status && status->State != ChildState::TimedOut) {
                break; // it ended: most likely the port was taken meanwhile
            }
        }
        if (!m_ready) {
            m_child.reset();
            if (Errors().find("in use") == std::string::npos) {
                break;
            }
        }
    }
}

RunningServer::~RunningServer()
{
    if (m_child) {
        (void)m_child->Kill(20000);
    }
}

std::string RunningServer::Url(const std::string& path) const
{
    return "http://127.0.0.1:" + std::to_string(m_port) + path;
}

ChildStatus RunningServer::Signal(int signo, int timeoutMs)
{
    if (!m_child) {
        return {};
    }
    kill(m_child->Pid(), signo);
    Result<ChildStatus> status = m_child->Wait(timeoutMs);
    return status ? *status : ChildStatus{};
}

ChildStatus RunningServer::WaitForEnd(int timeoutMs)
{
    if (!m_child) {
        return {};
    }
    Result<ChildStatus> status = m_child->Wait(timeoutMs);
    return status ? *status : ChildStatus{};
}

std::string RunningServer::Errors() const
{
    return TempDir::ReadFile(m_installation.Path("server-stderr.txt"));
}

std::optional<std::string> CurlReply::Header(const std::string& name) const
{
    const std::vector<std::string> all = Headers(name);
    if (all.empty()) {
        return std::nullopt;
    }
    return all.front();
}

std::vector<std::string> CurlReply::Headers(const std::string& name) const
{
    std::vector<std::string> values;
    std::istringstream lines(Head);
    std::string line;
    const std::string wanted = Lower(name) + ":";
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (Lower(line.substr(0, wanted.size())) == wanted) {
            size_t start = wanted.size();
            while (start < line.size() && line[start] == ' ') {
                ++start;
            }
            values.push_back(line.substr(start));
        }
    }
    return values;
}

CurlReply Curl(const std::vector<std::string>& args)
{
    TempDir scratch;
    const std::string headFile = scratch.PathOf("head");
    const std::string bodyFile = scratch.PathOf("body");
    std::vector<std::string> argv = {"/usr/bin/curl", "-sS", "--max-time", "60", "-D",
                                     headFile,        "-o",  bodyFile,     "-w", "%{http_code} %{time_total}\\n"};
    argv.insert(argv.end(), args.begin(), args.end());
    ProgramOptions options;
    options.Timeout = std::chrono::seconds(90);
    const ProgramRun run = RunProgram(argv, options);
    CurlReply reply;
    if (!run.Started) {
        ADD_FAILURE() << run.Errors;
        return reply;
    }
    if (run.Status.State == ChildState::Exited) {
        reply.ExitCode = run.Status.Code;
    }
    reply.Errors = run.Errors;
    reply.WriteOut = run.Output;
    std::istringstream written(run.Output);
    written >> reply.Status >> reply.Seconds;
    reply.Head = TempDir::ReadFile(headFile);
    reply.Body = TempDir::ReadFile(bodyFile);
    return reply;
}

RawClient::RawClient(unsigned port, const char* source)
    : m_fd(ConnectLoopback(port, source))
{}

RawClient::~RawClient()
{
    if (m_fd >= 0) {
        close(m_fd);
    }
}

bool RawClient::Send(const std::string& bytes) const
{
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t put = send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (put <= 0) {
            return false;
        }
        sent += static_cast<size_t>(put);
    }
    return true;
}

std::string RawClient::ReadUntilClosed(int timeoutMs, bool& closed)
{
    return ReadUntil({}, timeoutMs, closed);
}

std::string RawClient::ReadUntil(const std::string& needle, int timeoutMs, bool& closed)
{
    std::string got;
    closed = false;
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        const long left = timeoutMs - ElapsedMs(start);
        if (left <= 0) {
            return got;
        }
        pollfd wait{m_fd, POLLIN, 0};
        if (poll(&wait, 1, static_cast<int>(left)) <= 0) {
            continue;
        }
        char buffer[4096];
        const ssize_t n = recv(m_fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            closed = true;
            return got;
        }
        got.append(buffer, static_cast<size_t>(n));
        if (!needle.empty() && got.find(needle) != std::string::npos) {
            return got;
        }
    }
}

} // namespace qm::test

namespace qm::test {

bool RawClient::ClosedByServer(int timeoutMs)
{
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        pollfd wait{m_fd, POLLIN, 0};
        const long left = std::max(0L, timeoutMs - ElapsedMs(start));
        if (poll(&wait, 1, static_cast<int>(left)) > 0) {
            char buffer[4096];
            const ssize_t n = recv(m_fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                return true;
            }
            continue;
        }
        if (left == 0) {
            return false;
        }
    }
}

} // namespace qm::test
