// The admin server's connection over an in-memory stream: the reply table, authentication, static files, the
// head limits, and CGI programs with bodies, start failures and time limits.
#include "portico/HttpConnection.h"

#include "common/IniAccess.h"
#include "common/Scrambler.h"
#include "portico/Messages.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <filesystem>

#include <sys/stat.h>
#include <utime.h>

namespace qm::portico {
namespace {

using test::TempDir;

constexpr std::uint32_t kRemotePeer = 0x0A000001;   // 10.0.0.1
constexpr std::uint32_t kLoopbackPeer = 0x7F000001; // 127.0.0.1
constexpr std::uint32_t kOtherHost = 0x7F000002;    // 127.0.0.2: another host of the machine's loopback net

// Hands out the scripted pieces one per Receive, then the end of the stream (or a time-out).
class MemoryTransport final : public Transport {
public:
    std::deque<std::string> Incoming;
    bool TimeOutAtEnd = false;
    std::string Sent;
    std::uint32_t Peer = kRemotePeer;

    long Receive(char* buffer, std::size_t size, int /*timeoutMs*/) override
    {
        if (Incoming.empty()) {
            return TimeOutAtEnd ? kTimedOut : 0;
        }
        std::string& front = Incoming.front();
        const std::size_t n = std::min(size, front.size());
        std::memcpy(buffer, front.data(), n);
        front.erase(0, n);
        if (front.empty()) {
            Incoming.pop_front();
        }
        return static_cast<long>(n);
    }

    bool Send(const char* data, std::size_t size, int /*timeoutMs*/) override
    {
        Sent.append(data, size);
        return true;
    }

    std::uint32_t PeerAddress() const override { return Peer; }

    std::uint32_t LocalAddress() const override { return kLoopbackPeer; }

    unsigned LocalPort() const override { return 2001; }

    int LastError() const override { return 0; }
};

class HttpConnectionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        RegisterMessages();
        m_dir.WriteFile("HTML/index.html", "<p>home</p>");
        m_dir.WriteFile("HTML/docs/index.html", "docs");
        m_dir.WriteFile("MimeTypes.cfg", "text/html html htm\n");
        std::filesystem::create_directories(m_dir / "cgi-bin");
        std::filesystem::create_directories(m_dir / "body");
        m_dir.WriteFile("Quillmail.ini",
                        "[AdminWebServer]\nHtmlDir=" + m_dir / "HTML" + "\nCgiDir=" + m_dir / "cgi-bin" + "\n");
        SetMainIniPath(m_dir / "Quillmail.ini");
        ASSERT_TRUE(m_mimeTypes.Load((m_dir / "MimeTypes.cfg").c_str()));
        ASSERT_TRUE(m_access.Open(m_dir.Path().string()));
        m_log = std::make_unique<LogFile>((m_dir / "Portico-admin.log").c_str(), 0);
        m_context.Registry = &m_registry;
        m_context.MimeTypes = &m_mimeTypes;
        m_context.SystemLog = m_log.get();
        m_context.Access = &m_access;
        m_context.Throttle = &m_throttle;
        m_context.Settings.BodyDir = m_dir / "body";
    }

    void TearDown() override
    {
        m_context.JoinLingering();
        SetMainIniPath("");
    }

    // Serves one connection that receives `pieces`; what was sent back. Without Auth only 127.0.0.1 is served.
    std::string Serve(std::deque<std::string> pieces, std::uint32_t peer = kLoopbackPeer, int* status = nullptr)
    {
        MemoryTransport transport;
        transport.Incoming = std::move(pieces);
        transport.Peer = peer;
        {
            HttpConnection connection(m_context, transport, ++m_number);
            connection.Serve();
            if (status != nullptr) {
                *status = connection.Status();
            }
        }
        return transport.Sent;
    }

    std::string SystemLog() const { return TempDir::ReadFile(m_dir / "Portico-admin.log"); }

    std::string AccessLogText() const { return TempDir::ReadFile(m_dir / "http-admin.log"); }

    std::string WriteScript(const std::string& name, const std::string& body, bool executable = true)
    {
        const std::string path = m_dir.WriteFile("cgi-bin/" + name, "#!/bin/sh\n" + body);
        std::filesystem::permissions(path, executable ? std::filesystem::perms::owner_all
                                                      : std::filesystem::perms::owner_read);
        return path;
    }

    TempDir m_dir{"qm-portico"};
    CgiRegistry m_registry;
    MimeTypeTable m_mimeTypes;
    AccessLog m_access;
    LogonThrottle m_throttle;
    std::unique_ptr<LogFile> m_log;
    ServerContext m_context;
    int m_number = 0;
};

std::string StatusLine(const std::string& reply)
{
    return reply.substr(0, reply.find("\r\n"));
}

std::string BodyOf(const std::string& reply)
{
    const std::size_t end = reply.find("\r\n\r\n");
    return end == std::string::npos ? "" : reply.substr(end + 4);
}

std::string Basic(const std::string& credentials)
{
    return "Authorization: Basic " + Base64Encode(credentials) + "\r\n";
}

TEST_F(HttpConnectionTest, AnswersTheReplyTable)
{
    struct Case {
        const char* Request;
        const char* StatusLine;
    };

    const Case cases[] = {
            {"GET /index.html HTTP/1.0\r\n\r\n", "HTTP/1.0 200 OK"},
            {"get /index.html HTTP/1.0\r\n\r\n", "HTTP/1.0 200 OK"},
            {"GET /\r\n\r\n", "HTTP/1.0 400 Bad Request"},
            {"GET\r\n\r\n", "HTTP/1.0 400 Bad Request"},
            {"PUT /x HTTP/1.0\r\n\r\n", "HTTP/1.0 501 Not Implemented"},
            {"GET /../Quillmail.ini HTTP/1.0\r\n\r\n", "HTTP/1.0 403 Forbidden"},
            {"GET /docs/../../Quillmail.ini HTTP/1.0\r\n\r\n", "HTTP/1.0 403 Forbidden"},
            {"GET /cgi-bin/../x HTTP/1.0\r\n\r\n", "HTTP/1.0 403 Forbidden"},
            {"GET /missing.html HTTP/1.0\r\n\r\n", "HTTP/1.0 404 Not Found"},
            {"GET /docs HTTP/1.0\r\n\r\n", "HTTP/1.0 404 Not Found"}, // a directory without '/'
            {"GET /cgi-bin/none.sh HTTP/1.0\r\n\r\n", "HTTP/1.0 404 Not Found"},
            {"POST /cgi-bin/x HTTP/1.0\r\nContent-Length: -5\r\n\r\n", "HTTP/1.0 400 Bad Request"},
            {"POST /cgi-bin/x HTTP/1.0\r\nContent-Length: 12x\r\n\r\n", "HTTP/1.0 400 Bad Request"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Request);
        const std::string reply = Serve({c.Request});
        EXPECT_EQ(StatusLine(reply), c.StatusLine);
    }
    // A NUL anywhere in the head (here one that would add an entry to a CGI's environment block).
    const char raw[] = "GET /index.html HTTP/1.0\r\nUser-Agent: x\0QUERY_STRING=evil\r\n\r\n";
    const std::string withNul(raw, sizeof raw - 1);
    EXPECT_EQ(StatusLine(Serve({withNul})), "HTTP/1.0 400 Bad Request");
}

TEST_F(HttpConnectionTest, ErrorPageHasTheExactHeadAndBody)
{
    const std::string reply = Serve({"GET /\r\n\r\n"});
    EXPECT_EQ(reply, "HTTP/1.0 400 Bad Request\r\nServer: Portico/2.2.3\r\nContent-Type: text/html\r\nConnection: "
                     "close\r\n\r\n<HTML>\r\n<HEAD><TITLE>400 Bad Request</TITLE></HEAD>\r\n<BODY><H1>Bad "
                     "Request</H1></BODY>\r\n</HTML>\r\n");
    EXPECT_NE(SystemLog().find("Invalid HTTP request."), std::string::npos) << SystemLog();
}

TEST_F(HttpConnectionTest, StaticFileHeadAndDirectoryDefault)
{
    const std::string reply = Serve({"GET /index.html HTTP/1.0\r\n\r\n"});
    EXPECT_NE(reply.find("\r\nServer: Portico/2.2.3\r\nDate: "), std::string::npos) << reply;
    EXPECT_NE(reply.find("\r\nMIME-Version: 1.0\r\nContent-type: text/html\r\nContent-Length: 11\r\nLast-Modified: "),
              std::string::npos)
            << reply;
    EXPECT_NE(reply.find(" GMT\r\nConnection: close\r\n\r\n<p>home</p>"), std::string::npos) << reply;
    EXPECT_EQ(BodyOf(Serve({"GET /docs/ HTTP/1.0\r\n\r\n"})), "docs");
    // "/" is CgiBase1, "/" by default, which is the default file of HtmlDir.
    EXPECT_EQ(BodyOf(Serve({"GET / HTTP/1.0\r\n\r\n"})), "<p>home</p>");
}

TEST_F(HttpConnectionTest, IfModifiedSinceGives304ButHeadIgnoresIt)
{
    const std::string file = m_dir / "HTML/index.html";
    utimbuf times{1700000000, 1700000000};
    ASSERT_EQ(utime(file.c_str(), &times), 0);
    const std::string since = "If-Modified-Since: " + HttpDate(1700000000) + "\r\n";
    const std::string notModified = Serve({"GET /index.html HTTP/1.0\r\n" + since + "\r\n"});
    EXPECT_EQ(StatusLine(notModified), "HTTP/1.0 304 Not Modified");
    EXPECT_EQ(BodyOf(notModified), "");
    const std::string older = "If-Modified-Since: " + HttpDate(1600000000) + "\r\n";
    EXPECT_EQ(StatusLine(Serve({"GET /index.html HTTP/1.0\r\n" + older + "\r\n"})), "HTTP/1.0 200 OK");
    const std::string head = Serve({"HEAD /index.html HTTP/1.0\r\n" + since + "\r\n"});
    EXPECT_EQ(StatusLine(head), "HTTP/1.0 200 OK");
    EXPECT_NE(head.find("Content-Length: 11\r\n"), std::string::npos);
    EXPECT_EQ(BodyOf(head), "");
}

TEST_F(HttpConnectionTest, EmptyHtmlDirServesNothing)
{
    ASSERT_TRUE(WriteIniString("AdminWebServer", "HtmlDir", ""));
    EXPECT_EQ(StatusLine(Serve({"GET /index.html HTTP/1.0\r\n\r\n"})), "HTTP/1.0 404 Not Found");
    ASSERT_TRUE(WriteIniString("AdminWebServer", "CgiDir", ""));
    WriteScript("ok.sh", "echo\n");
    EXPECT_EQ(StatusLine(Serve({"GET /cgi-bin/ok.sh HTTP/1.0\r\n\r\n"})), "HTTP/1.0 404 Not Found");
}

TEST_F(HttpConnectionTest, SymbolicLinkOutOfHtmlDirIsRefused)
{
    std::filesystem::create_symlink(m_dir / "Quillmail.ini", m_dir / "HTML/ini.html");
    EXPECT_EQ(StatusLine(Serve({"GET /ini.html HTTP/1.0\r\n\r\n"})), "HTTP/1.0 403 Forbidden");
}

TEST_F(HttpConnectionTest, BasicAuthenticationAgainstAuth)
{
    ASSERT_TRUE(WriteIniString("AdminWebServer", "Auth", "-admin:Secret"));
    const std::string request = "GET /index.html HTTP/1.0\r\n";
    const std::string challenge = Serve({request + "\r\n"}, kRemotePeer);
    EXPECT_EQ(StatusLine(challenge), "HTTP/1.0 401 Unauthorized");
    EXPECT_NE(challenge.find("\r\nWWW-Authenticate: BASIC realm=\"Secure Area\"\r\n"), std::string::npos) << challenge;
    // The plain '-' form was scrambled in place.
    EXPECT_EQ(ReadIniString("AdminWebServer", "Auth", ""), ScramblePassword("admin:Secret"));

    EXPECT_EQ(StatusLine(Serve({request + Basic("ADMIN:Secret") + "\r\n"}, kRemotePeer)), "HTTP/1.0 200 OK");
    EXPECT_EQ(StatusLine(Serve({request + Basic("admin:secret") + "\r\n"}, kRemotePeer)), "HTTP/1.0 401 Unauthorized");
    EXPECT_EQ(StatusLine(Serve({request + "Authorization: Digest x\r\n\r\n"}, kRemotePeer)),
              "HTTP/1.0 401 Unauthorized");

    // Neither log holds the password: the system log names the user only, the access log too.
    EXPECT_NE(SystemLog().find("Global authentication failed (admin)."), std::string::npos) << SystemLog();
    EXPECT_EQ(SystemLog().find("secret"), std::string::npos);
    EXPECT_EQ(AccessLogText().find("ecret"), std::string::npos) << AccessLogText();
    EXPECT_NE(AccessLogText().find(" - ADMIN ["), std::string::npos) << AccessLogText();
}

TEST_F(HttpConnectionTest, LocalAuthDecidesWhetherLoopbackMustLogOn)
{
    ASSERT_TRUE(WriteIniString("AdminWebServer", "Auth", ScramblePassword("admin:pw")));
    const std::string request = "GET /index.html HTTP/1.0\r\n\r\n";
    EXPECT_EQ(StatusLine(Serve({request}, kLoopbackPeer)), "HTTP/1.0 200 OK");
    ASSERT_TRUE(WriteIniBool("AdminWebServer", "LocalAuth", true));
    EXPECT_EQ(StatusLine(Serve({request}, kLoopbackPeer)), "HTTP/1.0 401 Unauthorized");
}

TEST_F(HttpConnectionTest, WithoutAuthOnlyLocalRequestsAreServed)
{
    const std::string marker = m_dir / "ran";
    WriteScript("mark.sh", "touch '" + marker + "'\nprintf '\\r\\nran'\n");

    struct Case {
        std::uint32_t Peer;
        const char* Request;
        const char* StatusLine;
    };

    const Case cases[] = {
            {kOtherHost, "GET /index.html HTTP/1.0\r\n\r\n", "HTTP/1.0 403 Forbidden"},
            {kRemotePeer, "GET /index.html HTTP/1.0\r\n\r\n", "HTTP/1.0 403 Forbidden"},
            {kOtherHost, "GET /index.html HTTP/1.0\r\nHost: localhost:2001\r\n\r\n", "HTTP/1.0 403 Forbidden"},
            {kOtherHost, "POST /cgi-bin/mark.sh HTTP/1.0\r\nContent-Length: 2\r\n\r\nab", "HTTP/1.0 403 Forbidden"},
            {kLoopbackPeer, "GET /index.html HTTP/1.0\r\nHost: rebound.example\r\n\r\n", "HTTP/1.0 403 Forbidden"},
            {kLoopbackPeer, "GET /index.html HTTP/1.0\r\n\r\n", "HTTP/1.0 200 OK"},
            {kLoopbackPeer, "GET /index.html HTTP/1.0\r\nHost: localhost:2001\r\n\r\n", "HTTP/1.0 200 OK"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Request);
        EXPECT_EQ(StatusLine(Serve({c.Request}, c.Peer)), c.StatusLine);
    }
    EXPECT_FALSE(std::filesystem::exists(marker)) << "a CGI ran for a refused request";
    EXPECT_EQ(BodyOf(Serve({"GET /cgi-bin/mark.sh HTTP/1.0\r\n\r\n"})), "ran");
    // Five refusals, one line: the log is not a tool for filling the disk.
    const std::string log = SystemLog();
    const std::string line = "Refused a request from 127.0.0.2: [AdminWebServer] Auth is empty";
    const std::size_t first = log.find(line);
    EXPECT_NE(first, std::string::npos) << log;
    EXPECT_EQ(log.find("Refused a request from", first + 1), std::string::npos) << log;
    EXPECT_NE(AccessLogText().find("127.0.0.2 - - ["), std::string::npos) << AccessLogText();
}

TEST_F(HttpConnectionTest, LocalRequestNamingAnotherHostMustLogOn)
{
    ASSERT_TRUE(WriteIniString("AdminWebServer", "Auth", ScramblePassword("admin:pw")));
    m_context.BindAddress = "192.0.2.7";

    struct Case {
        const char* Host; // nullptr: no Host line
        const char* StatusLine;
    };

    const Case cases[] = {
            {nullptr, "HTTP/1.0 200 OK"},
            {"localhost", "HTTP/1.0 200 OK"},
            {"LocalHost:2001", "HTTP/1.0 200 OK"},
            {"127.0.0.1:2001", "HTTP/1.0 200 OK"},
            {"[::1]:2001", "HTTP/1.0 200 OK"},
            {"192.0.2.7:2001", "HTTP/1.0 200 OK"},
            {"rebound.example:2001", "HTTP/1.0 401 Unauthorized"},
            {"127.0.0.1.rebound.example", "HTTP/1.0 401 Unauthorized"},
            {"localhost.rebound.example", "HTTP/1.0 401 Unauthorized"},
            {"localhost:20x1", "HTTP/1.0 401 Unauthorized"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Host == nullptr ? "(none)" : c.Host);
        const std::string host = c.Host == nullptr ? "" : std::string("Host: ") + c.Host + "\r\n";
        EXPECT_EQ(StatusLine(Serve({"GET /index.html HTTP/1.0\r\n" + host + "\r\n"})), c.StatusLine);
    }
    // With the credentials the page is served under any name.
    EXPECT_EQ(StatusLine(Serve({"GET /index.html HTTP/1.0\r\nHost: rebound.example\r\n" + Basic("admin:pw") + "\r\n"})),
              "HTTP/1.0 200 OK");
}

TEST(NamesThisMachineTest, LoopbackNamesAndTheBindAddressWithOrWithoutPort)
{
    struct Case {
        const char* Host;
        const char* Bind;
        bool Local;
    };

    const Case cases[] = {
            {"localhost", "0.0.0.0", true},    {"LOCALHOST:80", "0.0.0.0", true},
            {"127.0.0.1", "0.0.0.0", true},    {"127.9.8.7:1", "0.0.0.0", true},
            {"[::1]", "0.0.0.0", true},        {"[::1]:2001", "0.0.0.0", true},
            {"10.1.2.3", "10.1.2.3", true},    {"10.1.2.3:2001", "10.1.2.3", true},
            {"0.0.0.0", "0.0.0.0", false},     {"10.1.2.3", "0.0.0.0", false},
            {"example.org", "0.0.0.0", false}, {"localhost:", "0.0.0.0", false},
            {"localhost:x", "0.0.0.0", false}, {"[::1", "0.0.0.0", false},
            {"[::2]:1", "0.0.0.0", false},     {"", "0.0.0.0", false},
            {"localhost.", "0.0.0.0", false},  {"128.0.0.1", "0.0.0.0", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.Host) + " / " + c.Bind);
        EXPECT_EQ(NamesThisMachine(c.Host, c.Bind), c.Local);
    }
}

TEST_F(HttpConnectionTest, RepeatedWrongPasswordsLockTheAddressOut)
{
    ASSERT_TRUE(WriteIniString("AdminWebServer", "Auth", ScramblePassword("admin:pw")));
    const std::string request = "GET /index.html HTTP/1.0\r\n";
    for (int i = 0; i < LogonThrottlePolicy{}.FreeFailures; ++i) {
        EXPECT_EQ(StatusLine(Serve({request + Basic("admin:guess") + "\r\n"}, kRemotePeer)),
                  "HTTP/1.0 401 Unauthorized");
    }
    // Even the right password is refused unchecked while the lock-out lasts; another address still gets in.
    EXPECT_EQ(StatusLine(Serve({request + Basic("admin:pw") + "\r\n"}, kRemotePeer)), "HTTP/1.0 401 Unauthorized");
    EXPECT_EQ(StatusLine(Serve({request + Basic("admin:pw") + "\r\n"}, 0x0A000002)), "HTTP/1.0 200 OK");
}

TEST_F(HttpConnectionTest, OverlongHeadEndsWithoutReplyOrAccessLine)
{
    const std::string head = "GET /index.html HTTP/1.0\r\nX-Fill: " + std::string(5000, 'a');
    int status = -1;
    EXPECT_EQ(Serve({head}, kRemotePeer, &status), "");
    EXPECT_EQ(status, 0);
    EXPECT_NE(SystemLog().find("Receive buffer overflow."), std::string::npos);
    EXPECT_EQ(AccessLogText(), "");
    // 4095 bytes with the empty line at its end still fit.
    std::string fits = "GET /index.html HTTP/1.0\r\nX-Fill: ";
    fits += std::string(4095 - fits.size() - 4, 'b') + "\r\n\r\n";
    ASSERT_EQ(fits.size(), 4095u);
    EXPECT_EQ(StatusLine(Serve({fits})), "HTTP/1.0 200 OK");
}

TEST_F(HttpConnectionTest, HeadArrivingByteByByteIsServedAndASilentClientIsDropped)
{
    std::deque<std::string> pieces;
    for (const char c : std::string("GET /index.html HTTP/1.0\r\n\r\n")) {
        pieces.emplace_back(1, c);
    }
    EXPECT_EQ(StatusLine(Serve(pieces)), "HTTP/1.0 200 OK");

    MemoryTransport silent;
    silent.Incoming = {"GET /index.html HTTP/1.0\r\n"};
    silent.TimeOutAtEnd = true;
    {
        HttpConnection connection(m_context, silent, ++m_number);
        connection.Serve();
    }
    EXPECT_EQ(silent.Sent, "");
    EXPECT_NE(SystemLog().find("Connection timed out."), std::string::npos);

    // A reply still unsent when the connection's time is up is dropped, however the sending goes.
    m_context.Settings.ConnectionTimeoutMs = 0;
    int status = 0;
    EXPECT_EQ(Serve({"GET /index.html HTTP/1.0\r\n\r\n"}, kLoopbackPeer, &status), "");
    EXPECT_EQ(status, 200);
}

TEST_F(HttpConnectionTest, AccessLineHasTheCommonLogFormat)
{
    (void)Serve({"GET /index.html HTTP/1.0\r\n\r\n"});
    const std::string line = AccessLogText();
    EXPECT_TRUE(line.starts_with("127.0.0.1 - - [")) << line;
    EXPECT_TRUE(line.ends_with("] \"GET /index.html HTTP/1.0\" 200 11\r\n")) << line;
}

TEST_F(HttpConnectionTest, CgiProgramGetsTheWholeBodyAndTheRequestEnvironment)
{
    WriteScript("echo.sh", "printf 'Content-Type: text/plain\\r\\n\\r\\n'\n"
                           "echo \"$REQUEST_METHOD $SCRIPT_NAME [$PATH_INFO] [$QUERY_STRING] $CONTENT_LENGTH\"\n"
                           "wc -c\n");
    const std::string body(10000, 'x');
    std::string head = "POST /cgi-bin/echo.sh/more?a=b HTTP/1.0\r\nContent-Type: text/plain\r\nContent-Length: 10000"
                       "\r\n\r\n";
    const std::string reply = Serve({head + body.substr(0, 2000), body.substr(2000, 3000), body.substr(5000)});
    EXPECT_EQ(StatusLine(reply), "HTTP/1.0 200 OK");
    EXPECT_NE(reply.find("\r\nServer: Portico/2.2.3\r\nDate: "), std::string::npos);
    EXPECT_NE(reply.find(" GMT\r\nConnection: close\r\nContent-Type: text/plain\r\n\r\n"), std::string::npos) << reply;
    EXPECT_EQ(BodyOf(reply), "POST /cgi-bin/echo.sh [/more] [a=b] 10000\n10000\n");
}

TEST_F(HttpConnectionTest, CgiBodyThatNeverArrivesWholeStartsNothing)
{
    const std::string marker = m_dir / "ran";
    WriteScript("mark.sh", "touch '" + marker + "'\n");
    (void)Serve({"POST /cgi-bin/mark.sh HTTP/1.0\r\nContent-Length: 100\r\n\r\nshort"});
    EXPECT_FALSE(std::filesystem::exists(marker));
    EXPECT_EQ(StatusLine(Serve({"POST /cgi-bin/mark.sh HTTP/1.0\r\nContent-Length: 999999999999\r\n\r\n"})),
              "HTTP/1.0 413 Request Entity Too Large");
    EXPECT_FALSE(std::filesystem::exists(marker));
}

TEST_F(HttpConnectionTest, CgiThatCannotStartGetsAnErrorPage)
{
    WriteScript("locked.sh", "echo hi\n", /*executable=*/false);
    EXPECT_EQ(StatusLine(Serve({"GET /cgi-bin/locked.sh HTTP/1.0\r\n\r\n"})), "HTTP/1.0 500 Internal Server Error");
}

TEST_F(HttpConnectionTest, CgiPastItsTimeLimitIsKilledAndAnswered)
{
    m_context.Settings.CgiTimeLimitMs = 300;
    const std::string pidFile = m_dir / "pid";
    WriteScript("hang.sh", "echo $$ > '" + pidFile + "'\nexec sleep 60\n");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(StatusLine(Serve({"GET /cgi-bin/hang.sh HTTP/1.0\r\n\r\n"})), "HTTP/1.0 504 Gateway Timeout");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    const std::string pid = TempDir::ReadFile(pidFile);
    ASSERT_FALSE(pid.empty());
    // The process is gone (reaped by the server): its /proc entry no longer exists.
    EXPECT_FALSE(std::filesystem::exists("/proc/" + std::to_string(std::stoi(pid))));
}

TEST_F(HttpConnectionTest, RegistryProgramRunsAndAMissingOneGives404)
{
    const std::string script = WriteScript("reg.sh", "printf '\\r\\n'; echo \"$SCRIPT_NAME|$PATH_INFO\"\n");
    auto present = std::make_unique<CgiEntry>();
    present->Prefix = "/Admin.cgi";
    present->File = script;
    m_registry.Add(std::move(present));
    auto missing = std::make_unique<CgiEntry>();
    missing->Prefix = "/gone";
    missing->File = m_dir / "cgi-bin/gone.sh";
    m_registry.Add(std::move(missing));
    EXPECT_EQ(BodyOf(Serve({"GET /admin.CGI/x/y HTTP/1.0\r\n\r\n"})), "/Admin.cgi|/x/y\n");
    EXPECT_EQ(StatusLine(Serve({"GET /gone HTTP/1.0\r\n\r\n"})), "HTTP/1.0 404 Not Found");
    // "/" runs CgiBase1 when it names a CGI.
    ASSERT_TRUE(WriteIniString("AdminWebServer", "CgiBase1", "/Admin.cgi"));
    EXPECT_EQ(BodyOf(Serve({"GET / HTTP/1.0\r\n\r\n"})), "/Admin.cgi|\n");
}

TEST_F(HttpConnectionTest, CgiAuthGuardsItsEntryWhenNoGlobalAuthIsSet)
{
    auto entry = std::make_unique<CgiEntry>();
    entry->Prefix = "/guarded";
    entry->File = WriteScript("g.sh", "printf '\\r\\nin'\n");
    entry->Auth = ScramblePassword("op:pw");
    m_registry.Add(std::move(entry));
    // Without Auth only 127.0.0.1 is served; LocalAuth makes it log on too.
    ASSERT_TRUE(WriteIniBool("AdminWebServer", "LocalAuth", true));
    EXPECT_EQ(StatusLine(Serve({"GET /guarded HTTP/1.0\r\n\r\n"})), "HTTP/1.0 401 Unauthorized");
    EXPECT_EQ(BodyOf(Serve({"GET /guarded HTTP/1.0\r\n" + Basic("op:pw") + "\r\n"})), "in");
    EXPECT_EQ(StatusLine(Serve({"GET /guarded HTTP/1.0\r\n" + Basic("op:PW") + "\r\n"})), "HTTP/1.0 401 Unauthorized");
    EXPECT_NE(SystemLog().find("CGI authentication failed (op)."), std::string::npos);
}

TEST(CredentialsMatchTest, UserWithoutCasePasswordExactly)
{
    struct Case {
        const char* Decoded;
        const char* Stored;
        bool Match;
    };

    const Case cases[] = {
            {"admin:pw", "admin:pw", true},    {"ADMIN:pw", "admin:pw", true},  {"admin:PW", "admin:pw", false},
            {"admin:pw:x", "admin:pw", false}, {"admi:npw", "admin:pw", false}, {"adminpw", "admin:pw", false},
            {"secret", "secret", true},        {"SECRET", "secret", false},     {"x:secret", "secret", false},
            {"", "admin:pw", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.Decoded) + " / " + c.Stored);
        EXPECT_EQ(CredentialsMatch(c.Decoded, c.Stored), c.Match);
    }
}

TEST(PorticoCgiEnvironmentTest, RequestEntriesReplaceTheServersOwn)
{
    HttpRequest request;
    int status = 0;
    ASSERT_TRUE(ParseRequest("GET /a HTTP/1.0\r\nHost: admin.example:8080\r\nUser-Agent: t", request, status));
    MemoryTransport transport;
    const std::vector<std::string> inherited = {"PATH=/bin",      "QUERY_STRING=evil", "CONTENT_LENGTH=9",
                                                "CONTENT_TYPE=x", "HTTP_COOKIE=s=1",   "COOKIE=s=2",
                                                "LANG=C"};
    const std::vector<std::string> env = CgiEnvironment(request, transport, "/a", "", inherited);
    const std::vector<std::string> want = {"PATH=/bin",
                                           "LANG=C",
                                           "SERVER_NAME=admin.example",
                                           "SERVER_PORT=8080",
                                           "SERVER_ADDR=127.0.0.1",
                                           "REMOTE_ADDR=10.0.0.1",
                                           "HTTP_USER_AGENT=t",
                                           "REQUEST_METHOD=GET",
                                           "SCRIPT_NAME=/a",
                                           "PATH_INFO=",
                                           "QUERY_STRING="};
    EXPECT_EQ(env, want);
}

TEST(PorticoCgiRegistryTest, FindsTheFirstPrefixFollowedByEndOrSlash)
{
    CgiRegistry registry;
    for (const char* prefix : {"/a", "/a/b", "/QMAdmin.cgi"}) {
        auto entry = std::make_unique<CgiEntry>();
        entry->Prefix = prefix;
        registry.Add(std::move(entry));
    }

    struct Case {
        const char* Path;
        const char* Prefix; // nullptr: none
        const char* PathInfo;
    };

    const Case cases[] = {
            {"/a/b/c", "/a", "/b/c"},
            {"/a", "/a", ""},
            {"/qmadmin.cgi/x", "/QMAdmin.cgi", "/x"},
            {"/QMAdmin.cgi", "/QMAdmin.cgi", ""},
            {"/QMAdmin.cgix", nullptr, ""},
            {"/ab", nullptr, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Path);
        std::string pathInfo;
        const CgiEntry* entry = registry.Find(c.Path, &pathInfo);
        if (c.Prefix == nullptr) {
            EXPECT_EQ(entry, nullptr);
            continue;
        }
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(entry->Prefix, c.Prefix);
        EXPECT_EQ(pathInfo, c.PathInfo);
    }
}

} // namespace
} // namespace qm::portico

namespace qm::portico {
namespace {

TEST_F(HttpConnectionTest, RegistryLoadTakesExecutablesAndLibrariesAndLogsWhatItSkips)
{
    const std::string script = WriteScript("p.sh", "printf '\\r\\n'\n");
    const std::string bare = WriteScript("QMAdminCGI", "printf '\\r\\n'\n");
    const std::string text = WriteScript("notes.txt", "not a program\n", /*executable=*/false);
    const std::string batch = WriteScript("run.bat", "echo\n", /*executable=*/false);
    const std::string fake = m_dir.WriteFile("fake.so", "not a library");
    const std::string lines[] = {
            "CgiBase1=/missing",
            "CgiFile1=" + m_dir / "none.sh",
            "CgiBase2=/p",
            "CgiFile2=" + script,
            "CgiAuth2=-pw",
            "CgiBase3=/x",
            "CgiFile3=" + bare,
            "CgiBase4=/lib",
            "CgiFile4=" + fake,
            "CgiBase5=/nomain",
            "CgiFile5=" QM_PORTICO_NOMAIN_CGI,
            "CgiBase6=/text",
            "CgiFile6=" + text,
            "CgiBase7=/bat",
            "CgiFile7=" + batch,
            "CgiBase8=/test",
            "CgiFile8=" QM_PORTICO_TEST_CGI,
    };
    for (const std::string& line : lines) {
        const std::size_t equals = line.find('=');
        ASSERT_TRUE(WriteIniString("AdminWebServer", line.substr(0, equals), line.substr(equals + 1)));
    }
    CgiRegistry registry;
    registry.Load(*m_log);
    m_log->Flush();
    const std::string log = SystemLog();
    for (const std::string& line :
         {"Cannot find CGI " + m_dir / "none.sh" + ".", "loading CGI " + fake + ".",
          std::string("loading CGI ") + QM_PORTICO_NOMAIN_CGI + ".", "Don't know what to do with " + text + ".",
          "Don't know what to do with " + batch + ".",
          std::string("CGI ") + QM_PORTICO_TEST_CGI + " loaded successfully."}) {
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
    }
    EXPECT_EQ(registry.LibraryCount(), 1u);
    for (const char* skipped : {"/missing", "/lib", "/nomain", "/text", "/bat"}) {
        EXPECT_EQ(registry.Find(skipped, nullptr), nullptr) << skipped;
    }
    // A program without an extension is a program like any other executable file.
    const CgiEntry* program = registry.Find("/x", nullptr);
    ASSERT_NE(program, nullptr);
    EXPECT_EQ(program->File, bare);
    EXPECT_FALSE(program->IsLibrary());
    const CgiEntry* entry = registry.Find("/p", nullptr);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->File, script);
    EXPECT_EQ(entry->Auth, ScramblePassword("pw"));
    EXPECT_EQ(ReadIniString("AdminWebServer", "CgiAuth2", ""), ScramblePassword("pw"));
}

// StartUp and ShutDown calls of the libraries, in the order they happen.
std::string g_libraryCalls;

int StartUpA()
{
    g_libraryCalls += "StartUp A;";
    return 1;
}

int ShutDownA()
{
    g_libraryCalls += "ShutDown A;";
    return 1;
}

int StartUpB()
{
    g_libraryCalls += "StartUp B;";
    return 1;
}

int ShutDownB()
{
    g_libraryCalls += "ShutDown B;";
    return 1;
}

int StartUpFails()
{
    g_libraryCalls += "StartUp C;";
    return 0;
}

int ShutDownC()
{
    g_libraryCalls += "ShutDown C;";
    return 1;
}

int MainOfNone(int inFd, int outFd, const char* /*environment*/)
{
    return inFd + outFd >= 0 ? 1 : 0;
}

TEST_F(HttpConnectionTest, FailedStartUpShutsDownTheLibrariesBeforeItOnly)
{
    struct Library {
        const char* File;
        CgiEntry::StartUpFunction* StartUp;
        CgiEntry::ShutDownFunction* ShutDown;
    };

    const Library libraries[] = {
            {"a.so", StartUpA, ShutDownA}, {"none.so", nullptr, nullptr}, // without StartUp it counts as started
            {"b.so", StartUpB, ShutDownB}, {"c.so", StartUpFails, ShutDownC}, {"d.so", StartUpA, ShutDownA},
    };
    CgiRegistry registry;
    for (const Library& library : libraries) {
        auto entry = std::make_unique<CgiEntry>();
        entry->Prefix = std::string("/") + library.File;
        entry->File = library.File;
        entry->Main = MainOfNone;
        entry->StartUp = library.StartUp;
        entry->ShutDown = library.ShutDown;
        registry.Add(std::move(entry));
    }
    g_libraryCalls.clear();
    EXPECT_FALSE(registry.StartLibraries(*m_log));
    EXPECT_EQ(g_libraryCalls, "StartUp A;StartUp B;StartUp C;ShutDown A;ShutDown B;");
    // What failed to start is not shut down again at the server's end.
    registry.ShutDownAll();
    EXPECT_EQ(g_libraryCalls, "StartUp A;StartUp B;StartUp C;ShutDown A;ShutDown B;");
    m_log->Flush();
    EXPECT_NE(SystemLog().find("CGI c.so could not start up."), std::string::npos) << SystemLog();
}

} // namespace
} // namespace qm::portico

namespace qm::portico {
namespace {

TEST_F(HttpConnectionTest, CgiLibraryPastItsTimeLimitIsAnsweredAndJoinedLater)
{
    Result<SharedLibrary> library = SharedLibrary::Open(QM_PORTICO_TEST_CGI);
    ASSERT_TRUE(library) << library.error().Message;
    auto entry = std::make_unique<CgiEntry>();
    entry->Prefix = "/lib";
    entry->File = QM_PORTICO_TEST_CGI;
    entry->Library = std::make_unique<SharedLibrary>(std::move(*library));
    entry->Main = entry->Library->Function<CgiEntry::MainFunction*>("Main");
    ASSERT_NE(entry->Main, nullptr);
    m_registry.Add(std::move(entry));

    EXPECT_EQ(BodyOf(Serve({"GET /lib/echo HTTP/1.0\r\n\r\n"})), "-");
    EXPECT_TRUE(m_context.Lingering.empty());

    m_context.Settings.CgiTimeLimitMs = 300;
    const std::string go = m_dir / "go";
    EXPECT_EQ(StatusLine(Serve({"GET /lib/hang?" + go + " HTTP/1.0\r\n\r\n"})), "HTTP/1.0 504 Gateway Timeout");
    // The Main still runs on its thread, which the server joins at shut-down, not now.
    EXPECT_EQ(m_context.Lingering.size(), 1u);
    m_dir.WriteFile("go", "");
    const auto start = std::chrono::steady_clock::now();
    m_context.JoinLingering();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_TRUE(m_context.Lingering.empty());
}

} // namespace
} // namespace qm::portico
