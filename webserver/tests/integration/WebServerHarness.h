// Test harness of the main web server: a temporary installation, the real server program started on a loopback
// port chosen at run time, curl as the client, and a raw socket for requests curl will not send.
#pragma once

#include "platform/ChildProcess.h"
#include "testsupport/FreePort.h"
#include "testsupport/TestInstallation.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace qm::test {

/// The test installation with an engine INI that points the server at the test CGI library.
class WebInstallation {
public:
    WebInstallation();

    /// The installation underneath.
    TestInstallation& Installation() { return m_install; }

    const TestInstallation& Installation() const { return m_install; }

    /// Extra "[WebServer]" lines, e.g. "ConnectionTimeout=2"; call before WriteIni.
    void AddWebServerLine(const std::string& line) { m_extraLines.push_back(line); }

    /// The CGI library that WriteIni(port) names (default: the test library).
    void SetLibrary(const std::string& library) { m_library = library; }

    /// Writes Quillmail.ini for `port`; the CGI library is the one SetLibrary named.
    void WriteIni(unsigned port) { WriteIni(port, m_library); }

    /// Writes Quillmail.ini for `port` with the CGI library `library`.
    void WriteIni(unsigned port, const std::string& library);

    std::string Path(const std::string& name) const { return m_install.Path(name); }

    std::string IniPath() const { return m_install.IniPath(); }

    std::string MarkerPath() const { return Path("marker.txt"); }

    std::string ServiceDir() const { return m_install.ServiceDir(); }

    std::string Marker() const { return TempDir::ReadFile(MarkerPath()); }

    /// Writes a file (creating its directories) and returns its path.
    std::string WriteFile(const std::string& name, const std::string& bytes) const;

    /// The environment the server runs with: the installation's variables, the marker, and what a child of a test
    /// needs from the test's environment; extra last.
    std::vector<std::string> ServerEnvironment(const std::vector<std::string>& extra = {}) const;

private:
    TestInstallation m_install;
    std::vector<std::string> m_extraLines;
    std::string m_library = QM_TEST_CGI_LIBRARY;
};

/// The server program running on a loopback port of its own.
class RunningServer {
public:
    /// Picks a port, writes the INI and starts the server until it accepts connections; tries other ports when
    /// the chosen one was taken meanwhile.
    explicit RunningServer(WebInstallation& installation, const std::vector<std::string>& extraEnvironment = {});
    ~RunningServer();

    bool Ready() const { return m_ready; }

    unsigned Port() const { return m_port; }

    std::string Url(const std::string& path) const;

    int Pid() const { return m_child ? m_child->Pid() : -1; }

    /// Sends `signo` and waits up to timeoutMs for the program to end; its status.
    ChildStatus Signal(int signo, int timeoutMs = 20000);

    /// Waits up to timeoutMs for the program to end; its status.
    ChildStatus WaitForEnd(int timeoutMs = 20000);

    /// What the program wrote on stderr so far.
    std::string Errors() const;

private:
    WebInstallation& m_installation;
    std::optional<ChildProcess> m_child;
    unsigned m_port = 0;
    bool m_ready = false;
};

/// True once something accepts connections on 127.0.0.1:port, waiting up to timeoutMs.
bool WaitForListener(unsigned port, int timeoutMs);

/// What curl got.
struct CurlReply {
    int ExitCode = -1;
    unsigned Status = 0;
    double Seconds = 0;
    std::string Head; // every header line of the last reply
    std::string Body;
    std::string Errors;
    std::string WriteOut; // "<status> <seconds>" a line, one line per transfer

    /// The value of the first header line `name` (without regard to case), or nullopt.
    std::optional<std::string> Header(const std::string& name) const;
    /// Every value of the header `name`.
    std::vector<std::string> Headers(const std::string& name) const;
};

/// Runs curl with `args` (URLs and options) and collects the reply. Time limit 60 s.
CurlReply Curl(const std::vector<std::string>& args);

/// A raw TCP client of 127.0.0.1:port.
class RawClient {
public:
    /// Connects from `source` (a loopback address such as "127.0.0.2") when given, else from 127.0.0.1.
    explicit RawClient(unsigned port, const char* source = nullptr);
    ~RawClient();

    bool Connected() const { return m_fd >= 0; }

    bool Send(const std::string& bytes) const;

    /// Reads until the server closes the connection or timeoutMs passes; `closed` tells which.
    std::string ReadUntilClosed(int timeoutMs, bool& closed);

    /// True once the server has closed the connection, waiting up to timeoutMs (0: only looks); what arrives
    /// meanwhile is read and dropped.
    bool ClosedByServer(int timeoutMs);

    /// Reads until what came holds needle, the server closes the connection, or timeoutMs passes.
    std::string ReadUntil(const std::string& needle, int timeoutMs, bool& closed);

private:
    int m_fd = -1;
};

/// Calls `condition` until it holds or timeoutMs has passed (checking every 20 ms); whether it held.
template <class Condition>
bool WaitUntil(Condition&& condition, int timeoutMs)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (condition()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

/// Milliseconds since `start`.
inline long ElapsedMs(std::chrono::steady_clock::time_point start)
{
    return static_cast<long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
}

} // namespace qm::test
