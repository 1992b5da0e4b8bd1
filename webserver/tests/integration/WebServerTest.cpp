// The main web server program against real clients: environment block, bodies, engine replies, concurrency,
// time-outs, bad requests, static files, the access log and stopping.
#include "testsupport/WaitUntil.h"
#include "webserver/tests/integration/WebServerHarness.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

namespace qm::test {
namespace {

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

class WebServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_installation.AddWebServerLine("ConnectionTimeout=2");
        m_installation.AddWebServerLine("HeadTimeout=3");
        m_installation.AddWebServerLine("MinBodyRateAfter=2");
        m_installation.AddWebServerLine("MaxConnectionsPerAddress=128"); // every client here comes from 127.0.0.1
        m_server.emplace(m_installation);
        ASSERT_TRUE(m_server->Ready()) << m_server->Errors();
    }

    RunningServer& Server() { return *m_server; }

    WebInstallation m_installation;
    std::optional<RunningServer> m_server;
};

TEST_F(WebServerTest, EnvironmentBlockIsRightForGetAndPost)
{
    const std::string port = std::to_string(Server().Port());

    struct Case {
        const char* Name;
        std::vector<std::string> Args;
        std::vector<std::string> Want;
    };

    const std::vector<Case> cases = {
            {"get with cookie and query",
             {"-A", "TestAgent/1.0", "-H", "Cookie: Session=ab%2Fc; Lang=en", "-H", "Host: mail.test:8080",
              Server().Url("/mail/env?View=List&Name=a%20b+c&x=%41")},
             {"SERVER_NAME=mail.test", "SERVER_PORT=8080", "SERVER_ADDR=127.0.0.1", "REMOTE_ADDR=127.0.0.1",
              "HTTP_USER_AGENT=TestAgent/1.0", "REQUEST_METHOD=GET", "SCRIPT_NAME=/mail", "PATH_INFO=/env",
              "QUERY_STRING=View=List&Name=a%20b+c&x=%41", "HTTP_COOKIE=Session=ab%2Fc; Lang=en"}},
            {"get without agent or cookie, prefix in another case",
             {"-A", "", Server().Url("/MAIL/env")},
             {"SERVER_NAME=127.0.0.1", "SERVER_PORT=" + port, "SERVER_ADDR=127.0.0.1", "REMOTE_ADDR=127.0.0.1",
              "HTTP_USER_AGENT=", "REQUEST_METHOD=GET", "SCRIPT_NAME=/mail", "PATH_INFO=/env", "QUERY_STRING="}},
            {"post form",
             {"-A", "Poster", "-H", "Content-Type: application/x-www-form-urlencoded", "-H",
              "Origin: http://127.0.0.1:" + port, "--data-binary", "User=bob&Password=x%26y",
              Server().Url("/mail/env?View=Logon")},
             {"SERVER_NAME=127.0.0.1", "SERVER_PORT=" + port, "SERVER_ADDR=127.0.0.1", "REMOTE_ADDR=127.0.0.1",
              "HTTP_USER_AGENT=Poster", "REQUEST_METHOD=POST", "SCRIPT_NAME=/mail", "PATH_INFO=/env",
              "QUERY_STRING=View=Logon", "CONTENT_TYPE=application/x-www-form-urlencoded", "CONTENT_LENGTH=23",
              "HTTP_ORIGIN=http://127.0.0.1:" + port}},
            {"post without content type",
             {"-A", "", "-H", "Content-Type:", "--data-binary", "abc", Server().Url("/mail/env")},
             {"SERVER_NAME=127.0.0.1", "SERVER_PORT=" + port, "SERVER_ADDR=127.0.0.1", "REMOTE_ADDR=127.0.0.1",
              "HTTP_USER_AGENT=", "REQUEST_METHOD=POST", "SCRIPT_NAME=/mail", "PATH_INFO=/env", "QUERY_STRING="}},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.Name);
        const CurlReply reply = Curl(test.Args);
        ASSERT_EQ(reply.ExitCode, 0) << reply.Errors;
        EXPECT_EQ(reply.Status, 200u);
        EXPECT_EQ(Lines(reply.Body), test.Want);
    }
}

TEST_F(WebServerTest, RequestWithoutHostGetsTheLocalEnd)
{
    RawClient client(Server().Port());
    ASSERT_TRUE(client.Send("GET /mail/env HTTP/1.0\r\n\r\n"));
    bool closed = false;
    const std::string reply = client.ReadUntilClosed(10000, closed);
    EXPECT_TRUE(closed);
    EXPECT_NE(reply.find("\nSERVER_NAME=127.0.0.1\nSERVER_PORT=" + std::to_string(Server().Port()) + "\n"),
              std::string::npos)
            << reply;
}

TEST_F(WebServerTest, LargePostReachesMainByteForByte)
{
    std::string body(size_t{20} * 1024 * 1024, '\0');
    std::mt19937 random(7); // NOLINT(cert-msc51-cpp): the same bytes on every run
    for (char& c : body) {
        c = static_cast<char>(random());
    }
    const std::string file = m_installation.WriteFile("upload.bin", body);
    const CurlReply reply = Curl(
            {"-H", "Content-Type: application/octet-stream", "--data-binary", "@" + file, Server().Url("/mail/echo")});
    ASSERT_EQ(reply.ExitCode, 0) << reply.Errors;
    EXPECT_EQ(reply.Status, 200u);
    EXPECT_EQ(reply.Body.size(), body.size());
    EXPECT_EQ(std::hash<std::string>{}(reply.Body), std::hash<std::string>{}(body));

    // A GET gives Main no body descriptor at all.
    EXPECT_EQ(Curl({Server().Url("/mail/echo")}).Body, "-");
}

TEST_F(WebServerTest, EngineHeadLinesAreRelayed)
{
    struct Case {
        const char* Path;
        unsigned Status;
        std::string Body;
    };

    const Case cases[] = {
            {"/mail/cookies", 201, "cookies set"},
            {"/mail/redirect", 302, ""},
            {"/mail/sized", 200, "sized"},
            {"/mail/garbage", 502, ""},
            {"/mail/nothing", 502, ""},
            {"/mail/missing", 404, "no such test page"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.Path);
        const CurlReply reply = Curl({Server().Url(test.Path)});
        ASSERT_EQ(reply.ExitCode, 0) << reply.Errors;
        EXPECT_EQ(reply.Status, test.Status);
        if (test.Status < 500) {
            EXPECT_EQ(reply.Body, test.Body);
        }
    }
    const CurlReply cookies = Curl({Server().Url("/mail/cookies")});
    EXPECT_EQ(cookies.Headers("Set-Cookie"), (std::vector<std::string>{"Session=abc; path=/", "Lang=en; path=/"}));
    EXPECT_EQ(cookies.Header("Content-type"), "text/plain");
    EXPECT_EQ(Curl({Server().Url("/mail/redirect")}).Header("Location"), "/mail/elsewhere");
    EXPECT_EQ(Curl({Server().Url("/mail/sized")}).Header("Content-Length"), "5");

    const CurlReply head = Curl({"-I", Server().Url("/mail/cookies")});
    EXPECT_EQ(head.Status, 201u);
    EXPECT_EQ(head.Headers("Set-Cookie").size(), 2u);

    const CurlReply root = Curl({Server().Url("/")});
    EXPECT_EQ(root.Status, 302u);
    EXPECT_EQ(root.Header("Location"), "/mail");
}

TEST_F(WebServerTest, PageArrivesWhileMainGoesOnWorking)
{
    // Main works on until the test lets it go, so the page can only have come before Main returned.
    const CurlReply reply = Curl({Server().Url("/mail/after")});
    ASSERT_EQ(reply.ExitCode, 0) << reply.Errors;
    EXPECT_EQ(reply.Body, "page before the work");
    EXPECT_EQ(m_installation.Marker().find("after-done"), std::string::npos) << "the page waited for Main to return";
    m_installation.WriteFile("marker.txt.go", "");
    EXPECT_TRUE(WaitUntil([&] { return m_installation.Marker().find("after-done") != std::string::npos; }))
            << "Main did not finish its work";
}

TEST_F(WebServerTest, PageSlowerThanTheIdleTimeOutStillArrives)
{
    const CurlReply reply = Curl({Server().Url("/mail/slow?ms=3000")});
    ASSERT_EQ(reply.ExitCode, 0) << reply.Errors;
    EXPECT_EQ(reply.Status, 200u);
    EXPECT_EQ(reply.Body, "slow page");
}

TEST_F(WebServerTest, SixtyFourConcurrentClientsAreAllServed)
{
    std::vector<std::string> args = {"-Z", "--parallel-max", "64", "--parallel-immediate"};
    for (int i = 0; i < 64; ++i) {
        args.push_back("-o");
        args.push_back("/dev/null");
        args.push_back(Server().Url("/mail/slow?ms=800&n=" + std::to_string(i)));
    }
    const auto start = std::chrono::steady_clock::now();
    const CurlReply reply = Curl(args);
    const long elapsed = ElapsedMs(start);
    ASSERT_EQ(reply.ExitCode, 0) << reply.Errors;
    const std::vector<std::string> results = Lines(reply.WriteOut);
    ASSERT_EQ(results.size(), 64u);
    for (const std::string& result : results) {
        EXPECT_EQ(result.substr(0, 4), "200 ");
    }
    EXPECT_LT(elapsed, 10000) << "64 requests of 0.8 s each were not served at the same time";
}

TEST_F(WebServerTest, StalledAndTricklingRequestsAreDroppedWhileOthersAreServed)
{
    RawClient stalled(Server().Port());
    RawClient trickling(Server().Port());
    RawClient tricklingBody(Server().Port());
    ASSERT_TRUE(stalled.Send("GET /mail/small HTTP/1.1\r\nHost: x\r\n"));
    ASSERT_TRUE(tricklingBody.Send("POST /mail/echo HTTP/1.1\r\nHost: x\r\nContent-Length: 1000\r\n\r\n"));
    const auto start = std::chrono::steady_clock::now();
    // Each sends a byte well within the idle time-out, so only the deadline of the whole head or body ends them.
    std::thread trickler([&] {
        const std::string head = "GET /mail/small HTTP/1.1\r\nHost: x\r\nX-Slow: ";
        for (size_t i = 0; i < 20; ++i) {
            const bool headSent = trickling.Send(std::string(1, head[i % head.size()]));
            const bool bodySent = tricklingBody.Send("b");
            if (!headSent && !bodySent) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
        }
    });
    const CurlReply other = Curl({Server().Url("/mail/small")});
    EXPECT_EQ(other.Body, "ok");
    bool closed = false;
    const std::string got = stalled.ReadUntilClosed(8000, closed);
    EXPECT_TRUE(closed) << "a stalled head kept its connection";
    EXPECT_LT(ElapsedMs(start), 6000);
    bool trickleClosed = false;
    (void)trickling.ReadUntilClosed(8000, trickleClosed);
    bool bodyClosed = false;
    const std::string bodyReply = tricklingBody.ReadUntilClosed(8000, bodyClosed);
    trickler.join();
    EXPECT_TRUE(trickleClosed) << "a trickling head kept its connection";
    EXPECT_TRUE(bodyClosed) << "a trickling body kept its connection";
    EXPECT_EQ(bodyReply.find("200"), std::string::npos);
    EXPECT_EQ(got.find("200"), std::string::npos);
}

TEST_F(WebServerTest, BadRequestsGetAClearClientError)
{
    struct Case {
        const char* Name;
        std::string Request;
        std::string Status;
    };

    const Case cases[] = {
            {"unknown method", "PUT /mail/x HTTP/1.1\r\nHost: x\r\n\r\n", " 501 "},
            {"head too large", "GET /x HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(100000, 'a') + "\r\n\r\n",
             " 431 "},
            {"body too large", "POST /mail/echo HTTP/1.1\r\nHost: x\r\nContent-Length: 100000000\r\n\r\n", " 413 "},
            {"post to a static file", "POST /style.css HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n", " 405 "},
            {"request line without version", "GET /mail/small\r\n\r\n", " 400 "},
            {"header line without colon", "GET /mail/small HTTP/1.1\r\nHost: x\r\nBad header\r\n\r\n", " 400 "},
            {"two different lengths",
             "POST /mail/echo HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\nhello!", " 400 "},
            {"target too long", "GET /" + std::string(70000, 'a') + " HTTP/1.1\r\nHost: x\r\n\r\n", " 414 "},
            {"absolute path missing", "GET style.css HTTP/1.1\r\nHost: x\r\n\r\n", " 400 "},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.Name);
        RawClient client(Server().Port());
        ASSERT_TRUE(client.Connected());
        (void)client.Send(test.Request);
        bool closed = false;
        const std::string reply = client.ReadUntilClosed(3000, closed);
        EXPECT_EQ(reply.rfind("HTTP/1.", 0), 0u) << reply.substr(0, 200);
        EXPECT_EQ(reply.substr(8, test.Status.size()), test.Status) << reply.substr(0, 200);
    }
    // The server still serves.
    EXPECT_EQ(Curl({Server().Url("/mail/small")}).Body, "ok");
}

TEST_F(WebServerTest, StaticFilesComeWithTheirTypesAndStayInsideTheHtmlDirectory)
{
    m_installation.WriteFile("HTML/style.css", "body {}");
    m_installation.WriteFile("HTML/img/logo.png", "PNG");
    m_installation.WriteFile("HTML/docs/index.html", "<p>docs</p>");
    m_installation.WriteFile("HTML/README", "plain");
    m_installation.WriteFile("HTML/data.xyz", "xyz");
    m_installation.WriteFile("HTML/.secret", "hidden");
    m_installation.WriteFile("secret.txt", "outside");
    std::filesystem::create_symlink(m_installation.Path("secret.txt"), m_installation.Path("HTML/link.txt"));
    std::filesystem::create_symlink("../", m_installation.Path("HTML/up"));

    struct Case {
        std::string Path;
        unsigned Status;
        std::optional<std::string> Type;
        std::string Body;
    };

    const std::vector<Case> cases = {
            {"/style.css", 200, "text/css", "body {}"},
            {"/img/LOGO.png", 404, std::nullopt, ""},
            {"/img/logo.png", 200, "image/png", "PNG"},
            {"/docs/", 200, "text/html", "<p>docs</p>"},
            {"/docs", 301, std::nullopt, ""},
            {"/README", 200, std::nullopt, "plain"},
            {"/data.xyz", 200, "application/octet-stream", "xyz"},
            {"/missing.css", 404, std::nullopt, ""},
            {"/../Quillmail.ini", 403, std::nullopt, ""},
            {"/%2e%2e/Quillmail.ini", 403, std::nullopt, ""},
            {"/docs/%2E%2E%2F%2e%2e%2fQuillmail.ini", 403, std::nullopt, ""},
            {"/.secret", 403, std::nullopt, ""},
            {"/link.txt", 403, std::nullopt, ""},
            {"/up/Quillmail.ini", 403, std::nullopt, ""},
            {"/a%00b", 400, std::nullopt, ""},
            {"/bad%zzescape", 400, std::nullopt, ""},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.Path);
        const CurlReply reply = Curl({"--path-as-is", Server().Url(test.Path)});
        ASSERT_EQ(reply.ExitCode, 0) << reply.Errors;
        EXPECT_EQ(reply.Status, test.Status);
        if (test.Status == 200) {
            EXPECT_EQ(reply.Header("Content-Type"), test.Type);
            EXPECT_EQ(reply.Body, test.Body);
        }
        EXPECT_EQ(reply.Body.find("outside"), std::string::npos);
    }
    EXPECT_EQ(Curl({Server().Url("/docs")}).Header("Location"), "/docs/");

    const CurlReply first = Curl({Server().Url("/style.css")});
    const std::optional<std::string> modified = first.Header("Last-Modified");
    ASSERT_TRUE(modified.has_value());
    const CurlReply again = Curl({"-H", "If-Modified-Since: " + *modified, Server().Url("/style.css")});
    EXPECT_EQ(again.Status, 304u);
    EXPECT_EQ(again.Body, "");
    const CurlReply later =
            Curl({"-H", "If-Modified-Since: Fri, 01 Jan 2038 00:00:00 GMT", Server().Url("/style.css")});
    EXPECT_EQ(later.Status, 304u);
    const CurlReply older =
            Curl({"-H", "If-Modified-Since: Thu, 01 Jan 1998 00:00:00 GMT", Server().Url("/style.css")});
    EXPECT_EQ(older.Status, 200u);
    EXPECT_EQ(older.Body, "body {}");
    const CurlReply invalid = Curl({"-H", "If-Modified-Since: yesterday", Server().Url("/style.css")});
    EXPECT_EQ(invalid.Status, 200u);
}

TEST_F(WebServerTest, AccessLogHasOneCommonLogFormatLinePerRequest)
{
    ASSERT_EQ(Curl({Server().Url("/mail/small?x=1")}).Body, "ok");
    ASSERT_EQ(Curl({Server().Url("/nothing-here")}).Status, 404u);
    const std::vector<std::string> lines = Lines(TempDir::ReadFile(m_installation.Path("Logs/http-web.log")));
    ASSERT_EQ(lines.size(), 2u);
    const std::regex line(R"(127\.0\.0\.1 - - \[\d\d/[A-Z][a-z][a-z]/\d{4}:\d\d:\d\d:\d\d [+-]\d{4}\] )"
                          R"("GET (\S+) HTTP/1\.1" (\d+) (\d+))");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(lines[0], match, line)) << lines[0];
    EXPECT_EQ(match[1], "/mail/small?x=1");
    EXPECT_EQ(match[2], "200");
    EXPECT_EQ(match[3], "2");
    ASSERT_TRUE(std::regex_match(lines[1], match, line)) << lines[1];
    EXPECT_EQ(match[2], "404");
}

TEST_F(WebServerTest, TermStopsCleanlyAfterEveryMainHasReturned)
{
    // Main of this page goes on after the page until the test lets it go: the stop must wait for it.
    ASSERT_EQ(Curl({Server().Url("/mail/after")}).Body, "page before the work");
    ASSERT_EQ(::kill(Server().Pid(), SIGTERM), 0);
    m_installation.WriteFile("marker.txt.go", "");
    const ChildStatus status = Server().WaitForEnd();
    EXPECT_TRUE(status.ExitedWith(0)) << Server().Errors();
    EXPECT_EQ(Lines(m_installation.Marker()), (std::vector<std::string>{"startup", "after-done", "shutdown active=0"}));
    EXPECT_FALSE(WaitForListener(Server().Port(), 200));
}

TEST_F(WebServerTest, InterruptStopsCleanly)
{
    const ChildStatus status = Server().Signal(SIGINT);
    EXPECT_TRUE(status.ExitedWith(0)) << Server().Errors();
    EXPECT_EQ(Lines(m_installation.Marker()), (std::vector<std::string>{"startup", "shutdown active=0"}));
}

TEST(WebServerLimitTest, ConnectionsBeyondTheLimitAreRefusedUntilOneCloses)
{
    WebInstallation installation;
    installation.AddWebServerLine("MaxConnections=4");
    RunningServer server(installation);
    ASSERT_TRUE(server.Ready()) << server.Errors();
    // Four clients, each proven taken by an answer on its kept-alive connection. The readiness probes'
    // connections count until the server has cleaned them up, so a client refused meanwhile is tried again.
    std::vector<std::unique_ptr<RawClient>> held;
    const auto holdFour = [&] {
        while (held.size() < 4) {
            auto client = std::make_unique<RawClient>(server.Port());
            bool closed = false;
            if (!client->Send("GET /mail/small HTTP/1.1\r\nHost: x\r\n\r\n") ||
                client->ReadUntil("ok", 10000, closed).find("ok") == std::string::npos) {
                return false;
            }
            held.push_back(std::move(client));
        }
        return true;
    };
    ASSERT_TRUE(WaitUntil(holdFour)) << "the server did not take four clients";
    RawClient refused(server.Port());
    (void)refused.Send("GET /mail/small HTTP/1.0\r\n\r\n");
    bool closed = false;
    EXPECT_EQ(refused.ReadUntilClosed(3000, closed), "");
    EXPECT_TRUE(closed);
    for (const std::unique_ptr<RawClient>& client : held) {
        bool heldClosed = false;
        (void)client->ReadUntilClosed(50, heldClosed);
        EXPECT_FALSE(heldClosed);
    }
    held.pop_back();
    EXPECT_TRUE(WaitUntil([&] { return Curl({server.Url("/mail/small")}).Body == "ok"; }))
            << "no client was served after one of the four closed";
}

TEST(WebServerStartTest, FailedStartUpStopsTheServerWithItsReason)
{
    WebInstallation installation;
    RunningServer server(installation, {"QM_TEST_CGI_FAIL_STARTUP=1"});
    EXPECT_FALSE(server.Ready());
    EXPECT_NE(server.Errors().find("did not start up"), std::string::npos) << server.Errors();
    EXPECT_EQ(Lines(installation.Marker()), (std::vector<std::string>{"startup refused"}));
}

TEST(WebServerStartTest, MissingLibraryOrConfigurationIsReported)
{
    WebInstallation installation;
    installation.WriteIni(PickFreePort(), installation.Path("NoSuchEngine.so"));
    ChildOptions options;
    options.Argv = {QM_WEBSERVER_PROGRAM};
    options.Environment = installation.ServerEnvironment();
    std::string out;
    std::string err;
    Result<ChildProcess> child = ChildProcess::Start([&] {
        ChildOptions withPipes = options;
        withPipes.Stdout = ChildStdio::Pipe();
        withPipes.Stderr = ChildStdio::Pipe();
        return withPipes;
    }());
    ASSERT_TRUE(child);
    Result<ChildStatus> status = child->Communicate("", &out, &err);
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->ExitedWith(1));
    EXPECT_NE(err.find("cannot load the engine library"), std::string::npos) << err;

    options.Environment = installation.ServerEnvironment();
    options.Environment.front() = "QUILLMAIL_INI=" + installation.Path("none.ini");
    options.Stderr = ChildStdio::Pipe();
    Result<ChildProcess> second = ChildProcess::Start(options);
    ASSERT_TRUE(second);
    err.clear();
    status = second->Communicate("", nullptr, &err);
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->ExitedWith(1));
    EXPECT_NE(err.find("none.ini"), std::string::npos) << err;
}

} // namespace
} // namespace qm::test
