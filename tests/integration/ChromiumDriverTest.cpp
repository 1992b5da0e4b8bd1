// The headless browser driver against a tiny loopback web server: typed text reaches the POST, clicks work inside
// frames, dialogs, console messages and exceptions are recorded, requests to another port are seen, screenshots
// are PNG files and downloads land in the driver's directory.
#include "testsupport/ChromiumDriver.h"

#include "testsupport/LoopbackListener.h"
#include "testsupport/TempDir.h"
#include "testsupport/WaitUntil.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qm::test {
namespace {

struct HttpRequest {
    std::string Method;
    std::string Path;
    std::string Body;
};

struct HttpResponse {
    int Status = 200;
    std::string ContentType = "text/html; charset=utf-8";
    std::string Body;
    std::string ExtraHeaders; // each line with its CR LF
};

// Serves one request per connection (each on a thread of its own) and records every request. Requests are capped
// at 64 KiB and every read waits at most kPatience; the destructor wakes and joins all threads.
class TinyHttpServer {
public:
    using Handler = std::function<HttpResponse(const HttpRequest&)>;

    explicit TinyHttpServer(Handler handler)
        : m_handler(std::move(handler))
    {
        if (m_listener.Valid() && ::pipe2(m_wake, O_CLOEXEC) == 0) {
            m_acceptor = std::thread([this] { Accept(); });
        }
    }

    ~TinyHttpServer()
    {
        if (m_acceptor.joinable()) {
            char stop = 1;
            (void)!::write(m_wake[1], &stop, 1);
            m_acceptor.join();
        }
        for (std::thread& thread : m_connections) {
            thread.join();
        }
        for (int fd : m_wake) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }

    TinyHttpServer(const TinyHttpServer&) = delete;
    TinyHttpServer& operator=(const TinyHttpServer&) = delete;

    bool Valid() const { return m_acceptor.joinable(); }

    std::string Url(const std::string& path) const
    {
        return "http://127.0.0.1:" + std::to_string(m_listener.Port()) + path;
    }

    std::vector<HttpRequest> Requests() const
    {
        std::lock_guard lock(m_mutex);
        return m_requests;
    }

    bool Saw(const std::string& method, const std::string& path) const
    {
        for (const HttpRequest& request : Requests()) {
            if (request.Method == method && request.Path == path) {
                return true;
            }
        }
        return false;
    }

private:
    void Accept()
    {
        for (;;) {
            pollfd entries[2] = {{m_listener.Fd(), POLLIN, 0}, {m_wake[0], POLLIN, 0}};
            if (::poll(entries, 2, -1) <= 0 || entries[1].revents != 0) {
                return;
            }
            ScopedFd connection = m_listener.AcceptBlocking();
            if (connection.Get() >= 0) {
                m_connections.emplace_back([this, fd = connection.Release()] { Serve(ScopedFd(fd)); });
            }
        }
    }

    void Serve(ScopedFd connection)
    {
        std::string input;
        HttpRequest request;
        const auto deadline = TestClock::now() + kPatience;
        for (;;) {
            const std::size_t headerEnd = input.find("\r\n\r\n");
            if (headerEnd != std::string::npos) {
                const std::size_t length = ContentLength(input.substr(0, headerEnd));
                if (input.size() >= headerEnd + 4 + length) {
                    const std::size_t space = input.find(' ');
                    request.Method = input.substr(0, space);
                    request.Path = input.substr(space + 1, input.find(' ', space + 1) - space - 1);
                    request.Body = input.substr(headerEnd + 4, length);
                    break;
                }
            }
            pollfd entries[2] = {{connection.Get(), POLLIN, 0}, {m_wake[0], POLLIN, 0}};
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TestClock::now());
            if (input.size() > 65536 || left.count() <= 0 || ::poll(entries, 2, static_cast<int>(left.count())) <= 0 ||
                entries[1].revents != 0) {
                return;
            }
            char chunk[4096];
            const long n = ::recv(connection.Get(), chunk, sizeof chunk, 0);
            if (n <= 0) {
                return;
            }
            input.append(chunk, static_cast<std::size_t>(n));
        }
        {
            std::lock_guard lock(m_mutex);
            m_requests.push_back(request);
        }
        const HttpResponse response = m_handler(request);
        const std::string reply = "HTTP/1.1 " + std::to_string(response.Status) +
                                  " X\r\nContent-Type: " + response.ContentType +
                                  "\r\nContent-Length: " + std::to_string(response.Body.size()) +
                                  "\r\nConnection: close\r\n" + response.ExtraHeaders + "\r\n" + response.Body;
        std::size_t sent = 0;
        while (sent < reply.size()) {
            const long n = ::send(connection.Get(), reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) {
                return;
            }
            sent += static_cast<std::size_t>(n);
        }
    }

    static std::size_t ContentLength(const std::string& headers)
    {
        std::string lower;
        for (char c : headers) {
            lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
        }
        const std::size_t at = lower.find("\r\ncontent-length:");
        if (at == std::string::npos) {
            return 0;
        }
        return static_cast<std::size_t>(std::strtoul(lower.c_str() + at + 17, nullptr, 10));
    }

    Handler m_handler;
    LoopbackListener m_listener;
    int m_wake[2] = {-1, -1};
    std::thread m_acceptor;
    std::vector<std::thread> m_connections; // the acceptor's only until it has been joined
    mutable std::mutex m_mutex;
    std::vector<HttpRequest> m_requests;
};

const std::string kDownloadBytes = std::string("line one\r\nline two\n\0binary\xff end", 31);

class ChromiumDriverTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!ChromiumDriver::Available()) {
            GTEST_SKIP() << "chromium is not installed (scripts/deps installs it)";
        }
        ASSERT_TRUE(m_sentinel.Valid());
        ASSERT_TRUE(m_site.Valid());
        ASSERT_TRUE(m_browser.Start()) << m_browser.Error();
    }

    HttpResponse Page(const HttpRequest& request)
    {
        if (request.Path == "/form") {
            return {200, "text/html; charset=utf-8",
                    "<!DOCTYPE html><html><body><form method=post action=/submit>"
                    "<input name=Text id=text value=old><input type=submit id=go value=Send></form>"
                    "<img src=\"" +
                            m_sentinel.Url("/pixel.png") +
                            "\"><script>console.error('console check', 42)</script></body></html>",
                    ""};
        }
        if (request.Path == "/submit") {
            return {200, "text/html; charset=utf-8", "<!DOCTYPE html><p id=done>received</p>", ""};
        }
        if (request.Path == "/frames") {
            return {200, "text/html; charset=utf-8",
                    "<!DOCTYPE html><html><frameset cols=\"30%,70%\"><frame name=menu src=/submit>"
                    "<frame name=content src=/form></frameset></html>",
                    ""};
        }
        if (request.Path == "/alert") {
            return {200, "text/html; charset=utf-8", "<!DOCTYPE html><script>alert('hello from the page')</script>",
                    ""};
        }
        if (request.Path == "/links") {
            return {200, "text/html; charset=utf-8", "<!DOCTYPE html><a id=dl href=/file.bin>the file</a>", ""};
        }
        if (request.Path == "/file.bin") {
            return {200, "application/octet-stream", kDownloadBytes,
                    "Content-Disposition: attachment; filename=\"file.bin\"\r\n"};
        }
        return {404, "text/plain", "not here", ""};
    }

    TinyHttpServer m_sentinel{[](const HttpRequest&) {
        return HttpResponse{404, "text/plain", "sentinel", ""};
    }};
    TinyHttpServer m_site{[this](const HttpRequest& request) {
        return Page(request);
    }};
    ChromiumDriver m_browser;
};

TEST_F(ChromiumDriverTest, TypesIntoAFormAndSubmitsItWithEnter)
{
    ASSERT_TRUE(m_browser.Navigate(m_site.Url("/form"))) << m_browser.Error();
    EXPECT_EQ(m_browser.Evaluate("document.querySelector('#text').value").Text(), "old");
    ASSERT_TRUE(m_browser.Type(ChromiumDriver::Css("#text"), "hello w\xc3\xb6rld & more")) << m_browser.Error();
    const int loads = m_browser.LoadCount();
    ASSERT_TRUE(m_browser.PressEnter()) << m_browser.Error();
    ASSERT_TRUE(m_browser.WaitForLoad(loads)) << m_browser.Error();
    EXPECT_TRUE(m_browser.WaitFor("document.querySelector('#done') !== null")) << m_browser.Error();

    bool posted = false;
    for (const HttpRequest& request : m_site.Requests()) {
        if (request.Method == "POST" && request.Path == "/submit") {
            posted = true;
            EXPECT_EQ(request.Body, "Text=hello+w%C3%B6rld+%26+more");
        }
    }
    EXPECT_TRUE(posted);

    // The image on the other port: asked for by the page, and it reached the sentinel.
    EXPECT_TRUE(WaitUntil([&] { return m_sentinel.Saw("GET", "/pixel.png"); }));
    const auto& urls = m_browser.RequestedUrls();
    EXPECT_NE(std::find(urls.begin(), urls.end(), m_sentinel.Url("/pixel.png")), urls.end());
    EXPECT_NE(std::find(urls.begin(), urls.end(), m_site.Url("/submit")), urls.end());

    bool logged = false;
    for (const ConsoleRecord& entry : m_browser.Console()) {
        logged = logged || (entry.Source == "console" && entry.Level == "error" && entry.Text == "console check 42");
    }
    EXPECT_TRUE(logged);

    TempDir shots("qm-chromium-shot");
    const std::string png = shots.PathOf("page.png");
    ASSERT_TRUE(m_browser.Screenshot(png)) << m_browser.Error();
    const std::string bytes = TempDir::ReadFile(png);
    EXPECT_GT(bytes.size(), 100u);
    EXPECT_EQ(bytes.substr(0, 8), std::string("\x89PNG\r\n\x1a\n"));
}

TEST_F(ChromiumDriverTest, ClicksAndTypesInsideAFrame)
{
    ASSERT_TRUE(m_browser.Navigate(m_site.Url("/frames"))) << m_browser.Error();
    const std::string field = ChromiumDriver::InFrame("content", "#text");
    ASSERT_TRUE(m_browser.WaitFor(field + " !== null")) << m_browser.Error();
    EXPECT_EQ(m_browser.Evaluate(field + ".value").Text(), "old");
    ASSERT_TRUE(m_browser.Type(field, " and new", ChromiumDriver::TypeMode::Append)) << m_browser.Error();
    m_browser.ClearEvents();
    ASSERT_TRUE(m_browser.Click(ChromiumDriver::InFrame("content", "#go"))) << m_browser.Error();
    // The frame's own navigation, as an event of the page.
    const std::optional<nlohmann::json> navigated =
            m_browser.WaitForEvent("Page.frameNavigated", [](const nlohmann::json& params) {
                return params["frame"].value("name", "") == "content";
            });
    ASSERT_TRUE(navigated) << m_browser.Error();
    EXPECT_EQ((*navigated)["frame"].value("url", ""), m_site.Url("/submit"));
    ASSERT_TRUE(m_browser.WaitFor(ChromiumDriver::InFrame("content", "#done") + " !== null")) << m_browser.Error();
    // Typing with Append put the text after the old text.
    bool posted = false;
    for (const HttpRequest& request : m_site.Requests()) {
        if (request.Method == "POST") {
            posted = true;
            EXPECT_EQ(request.Body, "Text=old+and+new");
        }
    }
    EXPECT_TRUE(posted);
    // The other frame is untouched.
    EXPECT_EQ(m_browser.Evaluate(ChromiumDriver::InFrame("menu", "#done") + ".textContent").Text(), "received");
}

TEST_F(ChromiumDriverTest, RecordsAndAnswersDialogsAndExceptions)
{
    // An alert while the page loads: recorded and dismissed, so the load still ends.
    ASSERT_TRUE(m_browser.Navigate(m_site.Url("/alert"))) << m_browser.Error();
    ASSERT_EQ(m_browser.Dialogs().size(), 1u);
    EXPECT_EQ(m_browser.Dialogs()[0].Type, "alert");
    EXPECT_EQ(m_browser.Dialogs()[0].Message, "hello from the page");

    EXPECT_EQ(m_browser.Evaluate("confirm('sure?')").Value, false);
    m_browser.AnswerDialogs(DialogAnswer::Accept, "typed answer");
    EXPECT_EQ(m_browser.Evaluate("confirm('really?')").Value, true);
    EXPECT_EQ(m_browser.Evaluate("prompt('name?')").Text(), "typed answer");
    ASSERT_EQ(m_browser.Dialogs().size(), 4u);
    EXPECT_EQ(m_browser.Dialogs()[3].Type, "prompt");

    // An exception of the page itself, and one of an evaluated expression.
    ASSERT_TRUE(m_browser.Evaluate("setTimeout(() => { throw new Error('thrown check'); }, 0); true").IsTrue());
    EXPECT_TRUE(m_browser.Pump([&] {
        for (const ConsoleRecord& entry : m_browser.Console()) {
            if (entry.Source == "exception" && entry.Text.find("thrown check") != std::string::npos) {
                return true;
            }
        }
        return false;
    }));
    const JsValue thrown = m_browser.Evaluate("(() => { throw new Error('evaluated'); })()");
    EXPECT_FALSE(thrown.Ok);
    EXPECT_NE(thrown.Error.find("evaluated"), std::string::npos) << thrown.Error;
}

TEST_F(ChromiumDriverTest, DownloadsAFileByteForByte)
{
    ASSERT_TRUE(m_browser.EnableDownloads()) << m_browser.Error();
    ASSERT_TRUE(m_browser.Navigate(m_site.Url("/links"))) << m_browser.Error();
    ASSERT_TRUE(m_browser.Click(ChromiumDriver::Css("#dl"))) << m_browser.Error();
    const std::optional<DownloadRecord> download = m_browser.WaitForDownload();
    ASSERT_TRUE(download) << m_browser.Error();
    EXPECT_EQ(download->Url, m_site.Url("/file.bin"));
    EXPECT_EQ(TempDir::ReadFile(download->Path), kDownloadBytes);
}

TEST_F(ChromiumDriverTest, ReportsFailuresWithinTheirDeadlines)
{
    // A port with nobody listening: the listener is closed again before the navigation.
    std::string refused;
    {
        LoopbackListener closed;
        refused = "http://127.0.0.1:" + std::to_string(closed.Port()) + "/";
    }
    EXPECT_FALSE(m_browser.Navigate(refused));
    EXPECT_NE(m_browser.Error().find("ERR_CONNECTION_REFUSED"), std::string::npos) << m_browser.Error();

    const auto start = TestClock::now();
    EXPECT_FALSE(m_browser.WaitFor("false", std::chrono::milliseconds(300)));
    EXPECT_LT(TestClock::now() - start, std::chrono::seconds(10));
    EXPECT_FALSE(m_browser.Click(ChromiumDriver::Css("#nothing-here")));
    EXPECT_FALSE(m_browser.Type(ChromiumDriver::Css("#nothing-here"), "x"));
    // The browser still answers after the failures.
    EXPECT_EQ(m_browser.Evaluate("6 * 7").Value, 42);
}

TEST_F(ChromiumDriverTest, ReportsALostBrowserAtOnce)
{
    ASSERT_TRUE(m_browser.Navigate(m_site.Url("/form"))) << m_browser.Error();
    // The browser ends itself at once; its reply never comes.
    (void)m_browser.Send("Browser.crash", nlohmann::json::object(), std::chrono::seconds(10), true);
    const auto start = TestClock::now();
    EXPECT_FALSE(m_browser.Evaluate("1").Ok);
    EXPECT_FALSE(m_browser.WaitFor("true"));
    EXPECT_FALSE(m_browser.Navigate(m_site.Url("/form")));
    EXPECT_LT(TestClock::now() - start, std::chrono::seconds(10));
    EXPECT_NE(m_browser.Error().find("the browser"), std::string::npos) << m_browser.Error();
}

} // namespace
} // namespace qm::test
