// The main web server against hostile or broken peers: an engine that never answers, many slow clients from one
// address, trickled heads and bodies, open redirects, ambiguous body framing and passwords in the access log.
#include "webserver/tests/integration/WebServerHarness.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

namespace qm::test {
namespace {

// A server of its own for each test, started with the "[WebServer]" lines the test needs.
class WebServerHardeningTest : public ::testing::Test {
protected:
    void Start(const std::vector<std::string>& lines)
    {
        for (const std::string& line : lines) {
            m_installation.AddWebServerLine(line);
        }
        m_server.emplace(m_installation);
        ASSERT_TRUE(m_server->Ready()) << m_server->Errors();
    }

    RunningServer& Server() { return *m_server; }

    size_t MarkerCount(const std::string& line) const
    {
        const std::string marker = m_installation.Marker();
        size_t count = 0;
        for (size_t at = marker.find(line); at != std::string::npos; at = marker.find(line, at + 1)) {
            ++count;
        }
        return count;
    }

    WebInstallation m_installation;
    std::optional<RunningServer> m_server;
};

// Sends `piece` again and again every `everyMs` until the server closes the connection or `stop` is set.
class Trickler {
public:
    Trickler(RawClient& client, std::string piece, int everyMs)
        : m_thread([this, &client, piece = std::move(piece), everyMs] {
            while (!m_stop && client.Send(piece)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(everyMs)); // the trickle's pace, not an order
            }
        })
    {}

    ~Trickler()
    {
        m_stop = true;
        m_thread.join();
    }

    Trickler(const Trickler&) = delete;
    Trickler& operator=(const Trickler&) = delete;

private:
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

TEST_F(WebServerHardeningTest, EngineThatGivesNoHeadGets504AndItsPipeIsClosed)
{
    Start({"ConnectionTimeout=1", "PageTimeout=1"});
    const char* const paths[] = {"/mail/hang", "/mail/hang?part=1"};
    size_t released = 0;
    for (const char* path : paths) {
        SCOPED_TRACE(path);
        const auto start = std::chrono::steady_clock::now();
        const CurlReply reply = Curl({"--max-time", "20", Server().Url(path)});
        ASSERT_EQ(reply.ExitCode, 0) << reply.Errors;
        EXPECT_EQ(reply.Status, 504u);
        EXPECT_LT(ElapsedMs(start), 15000);
        // Closing the pipe is what lets a Main that still writes go: it sees the reader gone.
        ++released;
        EXPECT_TRUE(WaitUntil([&] { return MarkerCount("hang released") == released; }, 10000))
                << m_installation.Marker();
    }
    EXPECT_EQ(Curl({Server().Url("/mail/small")}).Body, "ok");
}

TEST_F(WebServerHardeningTest, ManySlowClientsFromOneAddressLeaveOtherAddressesServed)
{
    // The default limits (512 connections, 32 per address); the half-sent heads would be held for a minute.
    Start({"HeadTimeout=60", "ConnectionTimeout=60"});
    constexpr size_t kAttackers = 530;
    std::vector<std::unique_ptr<RawClient>> attackers;
    for (size_t i = 0; i < kAttackers; ++i) {
        attackers.push_back(std::make_unique<RawClient>(Server().Port(), "127.0.0.1"));
        ASSERT_TRUE(attackers.back()->Connected());
        (void)attackers.back()->Send("GET /mail/small HTTP/1.1\r\nHost: x\r\nX-Half: ");
    }
    std::vector<bool> closed(kAttackers, false);
    size_t closedCount = 0;
    const bool refused = WaitUntil(
            [&] {
                for (size_t i = 0; i < kAttackers; ++i) {
                    if (!closed[i] && attackers[i]->ClosedByServer(0)) {
                        closed[i] = true;
                        ++closedCount;
                    }
                }
                return closedCount >= kAttackers - 32;
            },
            20000);
    EXPECT_TRUE(refused) << "got " << closedCount << " connections of one address refused, want " << kAttackers - 32;

    const CurlReply other = Curl({"--interface", "127.0.0.2", "--max-time", "10", Server().Url("/mail/env")});
    EXPECT_EQ(other.Status, 200u) << other.Errors;
    EXPECT_NE(other.Body.find("REMOTE_ADDR=127.0.0.2"), std::string::npos) << other.Body;
    // The address's own connections up to its limit are still held, not dropped to make room.
    size_t held = 0;
    for (size_t i = 0; i < kAttackers; ++i) {
        held += !closed[i] && !attackers[i]->ClosedByServer(0) ? 1 : 0;
    }
    EXPECT_GE(held, 1u);
    EXPECT_LE(held, 32u);
}

TEST_F(WebServerHardeningTest, TrickledHeadIsDroppedAtTheHeadTimeOut)
{
    // Every byte comes well within the idle time-out: only the deadline of the whole head can end it.
    Start({"ConnectionTimeout=30", "HeadTimeout=2"});
    RawClient client(Server().Port());
    ASSERT_TRUE(client.Connected());
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(client.Send("GET /mail/small HTTP/1.1\r\nHost: x\r\n"));
    Trickler trickle(client, "X-Slow: a\r\n", 200);
    bool closed = false;
    const std::string reply = client.ReadUntilClosed(12000, closed);
    EXPECT_TRUE(closed) << "a trickled head kept its connection";
    EXPECT_LT(ElapsedMs(start), 12000);
    EXPECT_EQ(reply.find(" 200 "), std::string::npos) << reply;
}

TEST_F(WebServerHardeningTest, TrickledBodyIsDroppedAndAnUploadAtTheRateIsNot)
{
    Start({"ConnectionTimeout=30", "HeadTimeout=5", "MinBodyRate=200", "MinBodyRateAfter=1"});

    struct Case {
        const char* Name;
        std::string Head;
        std::string Piece; // sent every 200 ms
    };

    const Case slow[] = {
            {"chunked", "POST /mail/echo HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n", "1\r\nb\r\n"},
            {"with a length", "POST /mail/echo HTTP/1.1\r\nHost: x\r\nContent-Length: 100000\r\n\r\n", "bb"},
    };
    for (const Case& test : slow) {
        SCOPED_TRACE(test.Name);
        RawClient client(Server().Port());
        ASSERT_TRUE(client.Send(test.Head));
        const auto start = std::chrono::steady_clock::now();
        Trickler trickle(client, test.Piece, 200);
        bool closed = false;
        const std::string reply = client.ReadUntilClosed(12000, closed);
        EXPECT_TRUE(closed) << "a body of about 10 bytes a second kept its connection";
        EXPECT_LT(ElapsedMs(start), 12000);
        EXPECT_EQ(reply.find(" 200 "), std::string::npos) << reply;
    }

    // 100 bytes every 200 ms (500 a second) for 2 s: above the minimum, so the whole body reaches Main.
    RawClient client(Server().Port());
    ASSERT_TRUE(
            client.Send("POST /mail/echo HTTP/1.1\r\nHost: x\r\nContent-Length: 1000\r\nConnection: close\r\n\r\n"));
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(client.Send(std::string(100, static_cast<char>('a' + i))));
        std::this_thread::sleep_for(std::chrono::milliseconds(200)); // the upload's pace, not an order
    }
    bool closed = false;
    const std::string reply = client.ReadUntilClosed(10000, closed);
    EXPECT_EQ(reply.substr(0, 12), "HTTP/1.1 200") << reply.substr(0, 200);
    EXPECT_NE(reply.find(std::string(100, 'j')), std::string::npos);
}

TEST_F(WebServerHardeningTest, RedirectsStayOnThisHost)
{
    Start({});
    m_installation.WriteFile("HTML/help/index.html", "<p>help</p>");

    struct Case {
        const char* Path;
        const char* Location;
    };

    const Case cases[] = {
            {"/help", "/help/"},
            {"//help", "/help/"},
            {"///help?x=1", "/help/?x=1"},
            {"//%2Fhelp", "/%2Fhelp/"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.Path);
        const CurlReply reply = Curl({"--path-as-is", Server().Url(test.Path)});
        ASSERT_EQ(reply.ExitCode, 0) << reply.Errors;
        EXPECT_EQ(reply.Status, 301u);
        EXPECT_EQ(reply.Header("Location"), test.Location);
    }
    // A backslash, which browsers read as a slash, never gets as far as a redirect.
    EXPECT_EQ(Curl({"--path-as-is", Server().Url("/\\help")}).Status, 403u);
    EXPECT_EQ(Curl({"--path-as-is", Server().Url("/%5Chelp")}).Status, 403u);
}

TEST_F(WebServerHardeningTest, ContentLengthWithTransferEncodingIsRefused)
{
    Start({});
    const char* const requests[] = {
            "POST /mail/echo HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n"
            "5\r\nhello\r\n0\r\n\r\n",
            "POST /mail/echo HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\nContent-Length: 30\r\n\r\n"
            "5\r\nhello\r\n0\r\n\r\n",
            "GET /index.html HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\nContent-Length: 0\r\n\r\n0\r\n\r\n",
    };
    for (const char* request : requests) {
        SCOPED_TRACE(request);
        RawClient client(Server().Port());
        ASSERT_TRUE(client.Send(request));
        bool closed = false;
        const std::string reply = client.ReadUntilClosed(5000, closed);
        EXPECT_EQ(reply.substr(0, 13), "HTTP/1.1 400 ") << reply.substr(0, 200);
        EXPECT_EQ(reply.find("hello"), std::string::npos);
    }
}

// A length header the server does not take as one, or a second transfer coding, would let a request hidden in the
// body be served as a request of its own: each is refused before anything is read.
TEST_F(WebServerHardeningTest, AmbiguousFramingHeadersAreRefusedAndNoHiddenRequestIsServed)
{
    Start({});
    const std::string hidden = "GET /mail/small HTTP/1.1\r\nHost: x\r\n\r\n";
    const std::string length = std::to_string(hidden.size());

    struct Case {
        const char* Name;
        std::string Request;
    };

    const Case cases[] = {
            {"blank before the colon",
             "POST /mail/echo HTTP/1.1\r\nHost: x\r\nContent-Length : " + length + "\r\n\r\n" + hidden},
            {"tab before the colon",
             "POST /mail/echo HTTP/1.1\r\nHost: x\r\nContent-Length\t: " + length + "\r\n\r\n" + hidden},
            {"blank before another colon", "GET /mail/small HTTP/1.1\r\nHost : x\r\n\r\n"},
            {"two transfer codings", "POST /mail/echo HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n"
                                     "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n" +
                                             hidden},
            {"two codings in one", "POST /mail/echo HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: gzip, chunked\r\n\r\n"
                                   "5\r\nhello\r\n0\r\n\r\n" +
                                           hidden},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.Name);
        RawClient client(Server().Port());
        ASSERT_TRUE(client.Send(test.Request));
        bool closed = false;
        const std::string reply = client.ReadUntilClosed(5000, closed);
        EXPECT_EQ(reply.substr(0, 13), "HTTP/1.1 400 ") << reply.substr(0, 300);
        EXPECT_EQ(reply.find("HTTP/1.1 200 "), std::string::npos) << "a request in the body was served: " << reply;
        EXPECT_TRUE(closed);
    }
    // One chunked body alone is still served.
    RawClient client(Server().Port());
    ASSERT_TRUE(client.Send("POST /mail/echo HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n"
                            "Connection: close\r\n\r\n5\r\nhello\r\n0\r\n\r\n"));
    bool closed = false;
    const std::string reply = client.ReadUntilClosed(5000, closed);
    EXPECT_EQ(reply.substr(0, 13), "HTTP/1.1 200 ") << reply.substr(0, 300);
    EXPECT_NE(reply.find("hello"), std::string::npos) << reply;
}

TEST_F(WebServerHardeningTest, PasswordsOfALogonByGetStayOutOfTheAccessLog)
{
    Start({});
    const std::string target = "/mail/small?View=Logon&User=bob&Password=Hunter2a&%50assword=Hunter2b"
                               "&pass%57ord=Hunter2c&NewPassword=Hunter2d&Lang=en";
    ASSERT_EQ(Curl({Server().Url(target)}).Body, "ok");
    const std::string logPath = m_installation.Path("Logs/http-web.log");
    ASSERT_TRUE(WaitUntil([&] { return TempDir::ReadFile(logPath).find("/mail/small") != std::string::npos; }, 10000));
    const std::string log = TempDir::ReadFile(logPath);
    EXPECT_EQ(log.find("Hunter2"), std::string::npos) << log;
    EXPECT_NE(log.find("\"GET /mail/small?View=Logon&User=bob&Password=*&%50assword=*&pass%57ord=*"
                       "&NewPassword=*&Lang=en HTTP/1.1\""),
              std::string::npos)
            << log;
}

} // namespace
} // namespace qm::test
