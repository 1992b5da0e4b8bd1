// The real `Portico` program on a loopback port chosen at run time, in a temporary installation: exact heads to
// curl, Basic authentication, a CGI program and a CGI library, a POST body that arrives in two parts, the access
// log, and the service layer installing, starting, querying, stopping and removing it.
#include "common/Scrambler.h"
#include "platform/Service.h"
#include "portico/AdminServer.h"
#include "portico/tests/integration/PorticoHarness.h"
#include "testsupport/Program.h"
#include "testsupport/ShmObjects.h"
#include "testsupport/TestInstallation.h"
#include "testsupport/WaitUntil.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>

namespace qm::test {
namespace {

constexpr const char* kPassword = "Se(ret-42";

// An installation with an INI for the admin server, its HTML and CGI directories, and a running Portico.
class PorticoTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_install.WriteFile("HTML/index.html", "<p>admin home</p>");
        m_install.WriteFile("MimeTypes.cfg", "text/html html\n");
        const std::string script = m_install.WriteFile(
                "cgi-bin/echo.sh", "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\n'\n"
                                   "echo \"$REQUEST_METHOD $SCRIPT_NAME [$PATH_INFO] [$QUERY_STRING]\"\ncat\n");
        std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    }

    void TearDown() override
    {
        if (m_server) {
            (void)m_server->Kill(20000);
        }
        if (m_serviceStarted) {
            (void)StopService("QMAdmin", 20000); // a test that failed half-way leaves no service running
        }
    }

    std::string Ini(unsigned port, const std::string& runAsService, const std::string& library = QM_PORTICO_TEST_CGI,
                    const std::string& auth = std::string("-admin:") + kPassword) const
    {
        std::ostringstream ini;
        ini << "[General]\r\nRunAsService=" << runAsService << "\r\n"
            << "[Directories]\r\nTempDir=" << m_install.Path("Temp") << "\r\nLogDir=" << m_install.Path("Logs")
            << "\r\n[AdminWebServer]\r\nPort=" << port << "\r\nBindAddress=127.0.0.1\r\n"
            << "HtmlDir=" << m_install.Path("HTML") << "\r\nCgiDir=" << m_install.Path("cgi-bin") << "\r\n"
            << "Auth=" << auth << "\r\nLocalAuth=Yes\r\n"
            << "CgiBase1=/lib\r\nCgiFile1=" << library << "\r\n"
            << "CgiBase2=/prog\r\nCgiFile2=" << m_install.Path("cgi-bin/echo.sh") << "\r\n";
        return ini.str();
    }

    std::string SystemLog() const { return m_install.ReadFile("Logs/Portico-admin.log"); }

    bool Awaiting() const { return SystemLog().find("Portico is awaiting connections...") != std::string::npos; }

    // Starts Portico as a plain process; tries another port when the chosen one was taken meanwhile.
    void Start(const std::vector<std::string>& extraEnvironment = {}, const std::string& library = QM_PORTICO_TEST_CGI,
               const std::string& auth = std::string("-admin:") + kPassword)
    {
        for (int attempt = 0; attempt < 5; ++attempt) {
            m_port = PickFreePort();
            m_install.WriteIni(Ini(m_port, "No", library, auth));
            std::filesystem::remove(m_install.Path("Logs/Portico-admin.log"));
            ChildOptions options;
            options.Argv = {QM_PORTICO_PROGRAM};
            options.Environment = m_install.Environment(extraEnvironment);
            options.Stderr = ChildStdio::File(m_install.Path("stderr.txt"), FileMode::Append);
            Result<ChildProcess> child = ChildProcess::Start(options);
            ASSERT_TRUE(child) << child.error().Message;
            m_server.emplace(std::move(*child));
            const bool ready = WaitUntil(
                    [&] {
                        Result<ChildStatus> status = m_server->Wait(0);
                        return Awaiting() || (status && status->State != ChildState::TimedOut);
                    },
                    std::chrono::seconds(30));
            if (ready && Awaiting()) {
                return;
            }
            m_server.reset();
        }
        FAIL() << "Portico did not start: " << m_install.ReadFile("stderr.txt") << SystemLog();
    }

    std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(m_port) + path; }

    TestInstallation m_install;
    std::optional<ChildProcess> m_server;
    unsigned m_port = 0;
    bool m_serviceStarted = false;
};

std::string Credentials(const std::string& user, const std::string& password)
{
    return user + ":" + password;
}

TEST_F(PorticoTest, CurlGetsTheExactHeadLines)
{
    // Left over from an earlier run: the server's own directory under TempDir is emptied (its '.' directories
    // stay), the rest of TempDir is not its to touch.
    m_install.WriteFile("Temp/.portico/old-body", "x");
    m_install.WriteFile("Temp/.portico/.keep/file", "x");
    m_install.WriteFile("Temp/engine-session/file", "x");
    ASSERT_NO_FATAL_FAILURE(Start());
    EXPECT_FALSE(std::filesystem::exists(m_install.Path("Temp/.portico/old-body")));
    EXPECT_TRUE(std::filesystem::exists(m_install.Path("Temp/.portico/.keep/file")));
    EXPECT_TRUE(std::filesystem::exists(m_install.Path("Temp/engine-session/file")));
    EXPECT_NE(SystemLog().find("Listening on 127.0.0.1, port " + std::to_string(m_port) + "..."), std::string::npos);
    const std::string reply = Curl({"-u", Credentials("admin", kPassword), Url("/index.html")}).Raw;
    const std::regex head(
            "HTTP/1\\.0 200 OK\r\nServer: Portico/2\\.2\\.3\r\nDate: [A-Z][a-z]{2}, \\d\\d [A-Z][a-z]{2} "
            "\\d{4} \\d\\d:\\d\\d:\\d\\d GMT\r\nMIME-Version: 1\\.0\r\nContent-type: text/html\r\n"
            "Content-Length: 17\r\nLast-Modified: [^\r]+ GMT\r\nConnection: close\r\n\r\n<p>admin home</p>");
    EXPECT_TRUE(std::regex_match(reply, head)) << reply;

    // The keys are written back at start.
    const std::string ini = m_install.ReadFile("Quillmail.ini");
    for (const char* key : {"DefHtmlFile=index.html", "CgiAlias=/cgi-bin", "LogLevel=1", "MaxLogFileSize=5000",
                            "BaseDir=", "LocalAuth=Yes", "RunAsService=No"}) {
        EXPECT_NE(ini.find(key), std::string::npos) << key << "\n" << ini;
    }
    EXPECT_EQ(ini.find(kPassword), std::string::npos) << "Auth was not scrambled";
}

TEST_F(PorticoTest, BasicAuthenticationTakesTheUserInAnyCaseAndRefusesAWrongPassword)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    EXPECT_EQ(Curl({"-u", Credentials("ADMIN", kPassword), Url("/index.html")}).Status, 200u);
    const CurlReply wrong = Curl({"-u", Credentials("admin", "se(ret-42"), Url("/index.html")});
    EXPECT_EQ(wrong.Status, 401u);
    EXPECT_EQ(wrong.Header("WWW-Authenticate").value_or(""), "BASIC realm=\"Secure Area\"");
    EXPECT_EQ(Curl({Url("/index.html")}).Status, 401u);
}

// 127.0.0.2 stands for another host: without Auth it is refused, whatever it asks for.
TEST_F(PorticoTest, WithoutAuthOnlyThisMachineIsServed)
{
    ASSERT_NO_FATAL_FAILURE(Start({}, QM_PORTICO_TEST_CGI, ""));
    for (const char* path : {"/index.html", "/", "/lib/env", "/cgi-bin/echo.sh"}) {
        SCOPED_TRACE(path);
        const CurlReply other = Curl({"--interface", "127.0.0.2", Url(path)});
        EXPECT_EQ(other.Status, 403u) << other.Raw;
        EXPECT_EQ(other.Body.find("REQUEST_METHOD"), std::string::npos);
    }
    // A browser on this machine that a page of another site led here by its own name gets nothing either.
    EXPECT_EQ(Curl({"-H", "Host: rebound.example", Url("/index.html")}).Status, 403u);
    EXPECT_EQ(Curl({Url("/index.html")}).Status, 200u);
    EXPECT_TRUE(WaitUntil([&] { return SystemLog().find("Refused a request from 127.0.0.2") != std::string::npos; }))
            << SystemLog();
}

TEST_F(PorticoTest, CgiProgramAndCgiLibraryAnswer)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    const std::string user = Credentials("admin", kPassword);
    const CurlReply alias = Curl({"-u", user, Url("/cgi-bin/echo.sh/p?q=1")});
    EXPECT_EQ(alias.Status, 200u) << alias.Raw;
    EXPECT_EQ(alias.Body, "GET /cgi-bin/echo.sh [/p] [q=1]\n");
    EXPECT_EQ(Curl({"-u", user, Url("/PROG/x")}).Body, "GET /prog [/x] []\n");

    const CurlReply library = Curl({"-u", user, Url("/lib/env?k=v")});
    EXPECT_EQ(library.Status, 200u);
    EXPECT_EQ(library.Header("Content-Type").value_or(""), "text/plain");
    for (const char* entry : {"\nREQUEST_METHOD=GET\n", "\nSCRIPT_NAME=/lib\n", "\nPATH_INFO=/env\n",
                              "\nQUERY_STRING=k=v\n", "\nREMOTE_ADDR=127.0.0.1\n"}) {
        EXPECT_NE(library.Body.find(entry), std::string::npos) << entry << library.Body;
    }
    EXPECT_EQ(library.Body.find("CONTENT_LENGTH="), std::string::npos);
    // "/" runs CgiBase1.
    EXPECT_EQ(Curl({"-u", user, Url("/")}).Body, "library ok");
}

TEST_F(PorticoTest, PostBodyInTwoPartsReachesTheCgiWhole)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    std::string body;
    for (int i = 0; body.size() < 10000; ++i) {
        body += std::to_string(i % 10);
    }
    body.resize(10000);
    const std::string auth = "Authorization: Basic " + Base64Encode(Credentials("admin", kPassword));
    for (const char* path : {"/lib/echo", "/cgi-bin/echo.sh"}) {
        SCOPED_TRACE(path);
        RawClient client(m_port);
        ASSERT_TRUE(client.Connected());
        const std::string head = std::string("POST ") + path + " HTTP/1.0\r\n" + auth +
                                 "\r\nContent-Type: text/plain\r\nContent-Length: 10000\r\n\r\n";
        ASSERT_TRUE(client.Send(head + body.substr(0, 2000)));
        bool closed = false;
        // Nothing comes back while the body is incomplete.
        EXPECT_EQ(client.ReadUntil("HTTP", 300, closed), "");
        EXPECT_FALSE(closed);
        ASSERT_TRUE(client.Send(body.substr(2000)));
        const std::string reply = client.ReadUntil("", 30000, closed);
        EXPECT_TRUE(closed);
        ASSERT_TRUE(reply.starts_with("HTTP/1.0 200 OK\r\n")) << reply.substr(0, 200);
        EXPECT_TRUE(reply.ends_with(body)) << reply.size();
        EXPECT_EQ(reply.find(body + body.substr(0, 10)), std::string::npos);
    }
}

// Heads are read side by side: clients that send nothing, or half a head, hold up no one's real request.
TEST_F(PorticoTest, IdleConnectionsDoNotHoldUpARealRequest)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    std::vector<std::unique_ptr<RawClient>> idle;
    for (int i = 0; i < 8; ++i) {
        idle.push_back(std::make_unique<RawClient>(m_port));
        ASSERT_TRUE(idle.back()->Connected());
        if (i % 2 == 1) {
            ASSERT_TRUE(idle.back()->Send("GET /index.html HTTP/1.0\r\n"));
        }
    }
    const auto start = std::chrono::steady_clock::now();
    RawClient real(m_port);
    ASSERT_TRUE(real.Connected());
    ASSERT_TRUE(real.Send("GET /index.html HTTP/1.0\r\nAuthorization: Basic " +
                          Base64Encode(Credentials("admin", kPassword)) + "\r\n\r\n"));
    bool closed = false;
    const std::string reply = real.ReadUntil("", 30000, closed);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(closed);
    EXPECT_TRUE(reply.starts_with("HTTP/1.0 200 OK\r\n")) << reply;
    EXPECT_TRUE(reply.ends_with("<p>admin home</p>")) << reply;
    EXPECT_LT(took, std::chrono::seconds(1))
            << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
    // The idle ones were kept: each is served once it completes its request.
    for (std::size_t i = 0; i < idle.size(); ++i) {
        SCOPED_TRACE(i);
        const std::string rest = i % 2 == 1 ? "" : "GET /index.html HTTP/1.0\r\n";
        ASSERT_TRUE(idle[i]->Send(rest + "Authorization: Basic " + Base64Encode(Credentials("admin", kPassword)) +
                                  "\r\n\r\n"));
        EXPECT_TRUE(idle[i]->ReadUntil("", 30000, closed).starts_with("HTTP/1.0 200 OK\r\n"));
        idle[i].reset(); // the close the server waits a moment for after its reply
    }
}

// Past the number of heads read at once, a new connection takes the place of the one that has waited longest.
TEST_F(PorticoTest, TooManyWaitingConnectionsDropTheOldest)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    std::vector<std::unique_ptr<RawClient>> idle;
    for (std::size_t i = 0; i < portico::kMaxPendingHeads; ++i) {
        idle.push_back(std::make_unique<RawClient>(m_port));
        ASSERT_TRUE(idle.back()->Connected());
    }
    // All of them are taken in before the next one comes.
    ASSERT_TRUE(WaitUntil([&] {
        return SystemLog().find("[" + std::to_string(portico::kMaxPendingHeads) + "] Connection accepted") !=
               std::string::npos;
    })) << SystemLog();
    RawClient real(m_port);
    ASSERT_TRUE(real.Send("GET /index.html HTTP/1.0\r\nAuthorization: Basic " +
                          Base64Encode(Credentials("admin", kPassword)) + "\r\n\r\n"));
    bool closed = false;
    EXPECT_TRUE(real.ReadUntil("", 30000, closed).starts_with("HTTP/1.0 200 OK\r\n"));
    bool dropped = false;
    EXPECT_EQ(idle.front()->ReadUntil("", 30000, dropped), "");
    EXPECT_TRUE(dropped);
    EXPECT_NE(SystemLog().find(std::to_string(portico::kMaxPendingHeads) +
                               " connections wait for their request heads: dropped the oldest."),
              std::string::npos);
}

TEST_F(PorticoTest, AccessLogLinesHaveTheCommonLogFormatAndNoPassword)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    (void)Curl({"-u", Credentials("admin", kPassword), Url("/index.html")});
    (void)Curl({"-u", Credentials("admin", "wrong-one"), Url("/index.html")});
    (void)Curl({Url("/index.html")});
    const std::string log = m_install.ReadFile("Logs/http-admin.log");
    const std::regex line(
            "127\\.0\\.0\\.1 - (admin|-) \\[\\d\\d/[A-Z][a-z]{2}/\\d{4}:\\d\\d:\\d\\d:\\d\\d [+-]\\d{4}\\] "
            "\"GET /index\\.html HTTP/1\\.0\" (200 17|401 \\d+)");
    std::istringstream lines(log);
    std::string text;
    int count = 0;
    while (std::getline(lines, text)) {
        ASSERT_TRUE(text.ends_with("\r"));
        text.pop_back();
        EXPECT_TRUE(std::regex_match(text, line)) << text;
        ++count;
    }
    EXPECT_EQ(count, 3) << log;
    for (const std::string& secret : {std::string(kPassword), std::string("wrong-one")}) {
        EXPECT_EQ(log.find(secret), std::string::npos);
        EXPECT_EQ(SystemLog().find(secret), std::string::npos);
    }
}

TEST_F(PorticoTest, ServiceLayerInstallsStartsQueriesStopsAndRemovesIt)
{
    m_install.ExportToProcess(); // QUILLMAIL_SVCDIR of this installation, for the service calls below
    m_port = PickFreePort();
    m_install.WriteIni(Ini(m_port, "Yes"));
    ProgramOptions options;
    options.Environment = m_install.Environment();
    // The first start installs the service and exits without serving.
    const ProgramRun first = RunProgram({QM_PORTICO_PROGRAM}, options);
    ASSERT_TRUE(first.Succeeded()) << first.Errors;
    ASSERT_TRUE(IsServiceInstalled("QMAdmin"));
    Result<ServiceConfig> record = ReadServiceConfig("QMAdmin");
    ASSERT_TRUE(record);
    EXPECT_EQ(record->DisplayName, "Quillmail Admin");
    EXPECT_FALSE(Awaiting());
    // Installed, it serves only when the service layer starts it: by hand it says why it does not, and stops.
    const ProgramRun byHand = RunProgram({QM_PORTICO_PROGRAM}, options);
    EXPECT_TRUE(byHand.Status.ExitedWith(1)) << byHand.Errors;
    EXPECT_NE(byHand.Errors.find("Could not initialize.  \n\nThe service QMAdmin is installed"), std::string::npos)
            << byHand.Errors;
    EXPECT_FALSE(Awaiting());

    Result<int> started = StartService("QMAdmin");
    m_serviceStarted = true;
    ASSERT_TRUE(started) << started.error().Message;
    Result<ServiceState> state = WaitForServiceState("QMAdmin", ServiceState::Running, 30000);
    ASSERT_TRUE(state);
    EXPECT_EQ(*state, ServiceState::Running) << m_install.ReadFile("Logs/Portico-service.log");
    EXPECT_TRUE(WaitUntil([&] { return Awaiting(); }));
    EXPECT_EQ(Curl({"-u", Credentials("admin", kPassword), Url("/index.html")}).Status, 200u);

    Result<StopOutcome> stopped = StopService("QMAdmin");
    ASSERT_TRUE(stopped) << stopped.error().Message;
    EXPECT_EQ(*stopped, StopOutcome::Stopped);
    Result<ServiceState> after = QueryService("QMAdmin");
    ASSERT_TRUE(after);
    EXPECT_EQ(*after, ServiceState::Stopped);
    EXPECT_NE(SystemLog().find("Portico exiting."), std::string::npos);

    const ProgramRun removal = RunProgram({QM_PORTICO_PROGRAM, "-U"}, options);
    EXPECT_TRUE(removal.Succeeded()) << removal.Errors;
    EXPECT_FALSE(IsServiceInstalled("QMAdmin"));
    // Removing what is not installed does nothing.
    const ProgramRun again = RunProgram({QM_PORTICO_PROGRAM, "-u"}, options);
    EXPECT_TRUE(again.Succeeded()) << again.Errors;
    EXPECT_FALSE(IsServiceInstalled("QMAdmin"));
}

// What the installation runs: the service record and, with Auth empty, the first logon, which then guards every
// page from another host.
TEST_F(PorticoTest, InstallWritesTheRecordAndAFirstLogon)
{
    m_install.ExportToProcess();
    m_port = PickFreePort();
    m_install.WriteIni(Ini(m_port, "Yes", QM_PORTICO_TEST_CGI, ""));
    ProgramOptions options;
    options.Environment = m_install.Environment();
    const ProgramRun install = RunProgram({QM_PORTICO_PROGRAM, "--install"}, options);
    ASSERT_TRUE(install.Succeeded()) << install.Errors;
    EXPECT_TRUE(IsServiceInstalled("QMAdmin"));
    const std::string logonFile = m_install.Path("AdminLogon.txt");
    EXPECT_NE(install.Output.find(logonFile), std::string::npos) << install.Output;
    const std::string logon = m_install.ReadFile("AdminLogon.txt");
    const std::size_t at = logon.find("\r\nPassword=");
    ASSERT_NE(at, std::string::npos) << logon;
    const std::string password = logon.substr(at + 11, logon.find("\r\n", at + 11) - at - 11);
    EXPECT_EQ(install.Output.find(password), std::string::npos) << "the password is in the installation's output";
    EXPECT_EQ(m_install.ReadFile("Quillmail.ini").find(password), std::string::npos);
    // Run again, it keeps the logon.
    const ProgramRun again = RunProgram({QM_PORTICO_PROGRAM, "--install"}, options);
    ASSERT_TRUE(again.Succeeded()) << again.Errors;
    EXPECT_EQ(m_install.ReadFile("AdminLogon.txt"), logon);

    ASSERT_TRUE(StartService("QMAdmin"));
    m_serviceStarted = true;
    ASSERT_TRUE(WaitUntil([&] { return Awaiting(); })) << m_install.ReadFile("Logs/Portico-service.log");
    for (const char* path : {"/index.html", "/", "/lib/env", "/cgi-bin/echo.sh"}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(Curl({"--interface", "127.0.0.2", Url(path)}).Status, 401u);
    }
    EXPECT_EQ(Curl({"--interface", "127.0.0.2", "-u", "admin:" + password, Url("/index.html")}).Status, 200u);
    ASSERT_TRUE(StopService("QMAdmin", 20000));
}

TEST_F(PorticoTest, HostsTheEngineLibraryFromStartUpToShutDown)
{
    ASSERT_NO_FATAL_FAILURE(Start({}, QM_ENGINE_LIBRARY));
    EXPECT_NE(SystemLog().find(std::string("CGI ") + QM_ENGINE_LIBRARY + " loaded successfully."), std::string::npos);
    // This installation has no templates: the engine answers with its built-in page.
    const CurlReply reply = Curl({"-u", Credentials("admin", kPassword), Url("/lib?View=Logon")});
    EXPECT_EQ(reply.Status, 200u) << reply.Raw;
    EXPECT_TRUE(reply.Raw.starts_with("HTTP/1.0 200 OK\r\nServer: Portico/2.2.3\r\n")) << reply.Raw;
    EXPECT_EQ(reply.Body, "<HTML></HTML>") << reply.Raw;

    ASSERT_EQ(kill(m_server->Pid(), SIGTERM), 0);
    Result<ChildStatus> status = m_server->Wait(20000);
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->ExitedWith(0)) << m_install.ReadFile("stderr.txt");
    EXPECT_NE(SystemLog().find("Shutting down CGI DLLs..."), std::string::npos);
    EXPECT_NE(m_install.ReadFile("Logs/Quillmail.log").find("Log file stopping"), std::string::npos);
    EXPECT_EQ(RemoveShmObjectsOf(m_install.Namespace()), std::vector<std::string>{}) << "shared memory left behind";
}

TEST_F(PorticoTest, FailedStartUpOfACgiLibraryStopsTheStart)
{
    m_port = PickFreePort();
    m_install.WriteIni(Ini(m_port, "No"));
    ProgramOptions options;
    options.Environment = m_install.Environment({"QM_PORTICO_TEST_FAIL_STARTUP=1"});
    const ProgramRun run = RunProgram({QM_PORTICO_PROGRAM}, options);
    EXPECT_TRUE(run.Status.ExitedWith(1)) << run.Errors;
    EXPECT_NE(SystemLog().find(std::string("CGI ") + QM_PORTICO_TEST_CGI + " could not start up."), std::string::npos)
            << SystemLog();
    EXPECT_NE(SystemLog().find("Portico exiting."), std::string::npos);
    EXPECT_FALSE(Awaiting());
}

TEST_F(PorticoTest, MissingConfigurationExitsWith255)
{
    ProgramOptions options;
    options.Environment = m_install.Environment({"QUILLMAIL_INI=" + m_install.Path("none.ini")});
    const ProgramRun run = RunProgram({QM_PORTICO_PROGRAM}, options);
    EXPECT_TRUE(run.Status.ExitedWith(255)) << run.Errors;
    EXPECT_NE(run.Errors.find("Could not find configuration file."), std::string::npos);
}

} // namespace
} // namespace qm::test
