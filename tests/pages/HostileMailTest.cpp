// Hostile mail shown through the real engine's Message page in headless Chromium: a corpus of messages, stored into
// the demo user's store through the store's own builder, each built to run script, load from a sentinel server on
// a loopback port of its own, or break the page. For every message: no dialog opens, no console error or exception
// comes from the page, no script of the mail runs, nothing reaches the sentinel, and the page keeps its structure.
#include "store/MessageBuilder.h"
#include "store/MessageIndex.h"
#include "tests/pages/PageInstallation.h"
#include "testsupport/ChromiumDriver.h"
#include "testsupport/LoopbackListener.h"
#include "testsupport/TempDir.h"
#include "testsupport/WaitUntil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace qm::test {
namespace {

namespace fs = std::filesystem;

// Accepts every connection on a loopback port and records the first line each sends; nothing of the mail may
// ever reach it. Reads are capped at 4 KiB and wait at most a second; the destructor wakes and joins the thread.
class Sentinel {
public:
    Sentinel()
    {
        if (m_listener.Valid() && ::pipe2(m_wake, O_CLOEXEC) == 0) {
            m_thread = std::thread([this] { Run(); });
        }
    }

    ~Sentinel()
    {
        if (m_thread.joinable()) {
            const char stop = 1;
            [[maybe_unused]] const ssize_t written = ::write(m_wake[1], &stop, 1);
            m_thread.join();
        }
        for (const int fd : m_wake) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }

    Sentinel(const Sentinel&) = delete;
    Sentinel& operator=(const Sentinel&) = delete;

    bool Valid() const { return m_thread.joinable(); }

    int Port() const { return m_listener.Port(); }

    std::vector<std::string> Hits() const
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return m_hits;
    }

private:
    void Run()
    {
        for (;;) {
            pollfd fds[2] = {{m_listener.Fd(), POLLIN, 0}, {m_wake[0], POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0 || (fds[1].revents & POLLIN) != 0) {
                return;
            }
            ScopedFd peer = m_listener.AcceptWithin(0);
            if (peer.Get() < 0) {
                continue;
            }
            std::string first = "(connection)";
            pollfd in{peer.Get(), POLLIN, 0};
            char buf[4096];
            if (::poll(&in, 1, 1000) > 0) {
                const ssize_t n = ::read(peer.Get(), buf, sizeof buf);
                if (n > 0) {
                    first.assign(buf, static_cast<std::size_t>(n));
                    first = first.substr(0, first.find('\r'));
                }
            }
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_hits.push_back(first);
        }
    }

    LoopbackListener m_listener;
    int m_wake[2] = {-1, -1};
    std::thread m_thread;
    mutable std::mutex m_mutex;
    std::vector<std::string> m_hits;
};

// One hostile message: what it tries, and its lines (headers, empty line, body); "SENTINEL" in them becomes
// "127.0.0.1:" and the sentinel's port.
struct HostileMail {
    std::string Name;
    std::vector<std::string> Lines;
};

std::vector<std::string> HtmlMail(const std::string& subject, const std::vector<std::string>& html)
{
    std::vector<std::string> lines = {"From: Mallory <m@example.com>",
                                      "To: demo@example.com",
                                      "Subject: " + subject,
                                      "Content-Type: text/html; charset=utf-8",
                                      "",
                                      "<p>Hello from Mallory</p>"};
    lines.insert(lines.end(), html.begin(), html.end());
    return lines;
}

// Each script payload sets window.pwned (or opens a dialog, or logs an error), so that a run is seen.
std::vector<HostileMail> Corpus()
{
    std::vector<HostileMail> corpus;
    corpus.push_back(
            {"ScriptTagsInOddCaseAndSpacing",
             HtmlMail("scripts", {"<ScRiPt>window.pwned=1</sCrIpT>", "<script\n>alert(2)</script\n>",
                                  "<script/x>window.pwned=3</script>", "<SCRIPT SRC=http://SENTINEL/s.js>", "</SCRIPT>",
                                  "<scr<script>ipt>alert(4)</script>", "<<script>alert(5)//<</script>",
                                  "<script >console.error('pwned')</script >", "<p>after the scripts</p>"})});
    corpus.push_back(
            {"EventAttributes",
             HtmlMail("events",
                      {"<body onload=alert(1)>", "<img src=x onerror=alert(2)>",
                       "<div onmouseover=\"window.pwned=3\" style=\"width:100%;height:100px\">hover</div>",
                       "<a href=\"#\" onclick=\"alert(4)\">click</a>", "<details open ontoggle=alert(5)>d</details>",
                       "<input autofocus onfocus=alert(6)>", "<p ONLOAD = 'alert(7)' OnMouseEnter=alert(8)>p</p>",
                       "<img src=x one rror=alert(9) onerror\n=alert(10)>"})});
    corpus.push_back({"SvgAndMathMl",
                      HtmlMail("svg", {"<svg><script>alert(1)</script></svg>",
                                       "<svg onload=alert(2)><animate onbegin=alert(3) attributeName=x dur=1s>",
                                       "</svg>", "<math><mtext><table><mglyph><style><img src=x onerror=alert(4)>",
                                       "</style></mglyph></table></mtext></math>",
                                       "<svg><foreignObject><iframe src=javascript:alert(5)></iframe></foreignObject>",
                                       "</svg>", "<math href=\"javascript:alert(6)\">m</math>",
                                       "<svg><a xlink:href=\"javascript:alert(7)\"><text y=20>x</text></a></svg>",
                                       "<svg><image href=\"http://SENTINEL/svg-image.png\"/></svg>"})});
    corpus.push_back(
            {"JavascriptUrlsWithEntitiesAndWhiteSpace",
             HtmlMail("urls",
                      {"<a href=\"jav&#x61;script:alert(1)\">a</a>",
                       "<a href=\"&#106;&#97;&#118;&#97;&#115;&#99;&#114;&#105;&#112;&#116;&#58;alert(2)\">b</a>",
                       "<a href=\"java\tscript:alert(3)\">c</a>", "<a href=\" javascript:alert(4)\">d</a>",
                       "<a href=\"JaVaScRiPt&colon;alert(5)\">e</a>", "<a href=\"vbscript:msgbox(6)\">f</a>",
                       "<a href=\"data:text/html,<script>alert(7)</script>\">g</a>",
                       "<a href=\"&#0000106avascript:alert(8)\">h</a>", "<img src=\"javascript:alert(9)\">",
                       "text javascript://x.y/%0Aalert(10)"})});
    corpus.push_back(
            {"CssThatLoadsOrOverlays",
             HtmlMail("css", {"<style>@import url(http://SENTINEL/import.css);",
                              "body{background:url('http://SENTINEL/style-bg')}</style>",
                              "<div style=\"width: expression(alert(1))\">e</div>",
                              "<div style=\"background:url(http://SENTINEL/inline-bg)\">u</div>",
                              "<div style=\"background-image:u\\rl(http://SENTINEL/escaped)\">z</div>",
                              "<div style=\"position:fixed;top:0;left:0;width:100%;height:100%;z-index:99\">o</div>",
                              "<div style=\"position : FIXED\">o2</div>", "<div style=\"pos&#105;tion:fixed\">o3</div>",
                              "<link rel=stylesheet href=\"http://SENTINEL/link.css\">"})});
    corpus.push_back(
            {"RemoteImages",
             HtmlMail("images",
                      {"<img src=\"http://SENTINEL/remote.png\">", "<img src=\"//SENTINEL/protocol-relative.png\">",
                       "<img srcset=\"http://SENTINEL/srcset.png 1x\">",
                       "<picture><source srcset=\"http://SENTINEL/source.png\"><img></picture>",
                       "<video poster=\"http://SENTINEL/poster.png\"></video>",
                       "<table background=\"http://SENTINEL/table-bg.png\"><tr><td>t</td></tr></table>",
                       "<input type=image src=\"http://SENTINEL/input.png\">",
                       "<audio src=\"http://SENTINEL/audio.mp3\" autoplay></audio>"})});
    corpus.push_back({"BaseElement", HtmlMail("base", {"<base href=\"http://SENTINEL/\">", "<a href=\"rel\">rel</a>",
                                                       "<img src=\"relative.png\">"})});
    corpus.push_back(
            {"MetaRefreshAndHttpEquiv",
             HtmlMail("meta",
                      {"<html><head>", "<meta http-equiv=\"refresh\" content=\"0;url=http://SENTINEL/refresh\">",
                       "<meta http-equiv=Set-Cookie content=\"Session=stolen\">", "</head><body>",
                       "<meta http-equiv=refresh content=\"0; URL=javascript:alert(1)\">", "text", "</body></html>"})});
    corpus.push_back({"Forms", HtmlMail("forms", {"<form action=\"http://SENTINEL/phish\" method=post>",
                                                  "<input name=Password type=password>",
                                                  "<button formaction=\"javascript:alert(1)\">Go</button></form>",
                                                  "<isindex action=javascript:alert(2)>",
                                                  "<textarea name=t>x</textarea><select><option>o</select>"})});
    corpus.push_back({"FramesObjectsAndEmbeds",
                      HtmlMail("frames", {"<iframe src=\"http://SENTINEL/frame\"></iframe>",
                                          "<iframe srcdoc=\"<script>parent.alert(1)</script>\"></iframe>",
                                          "<frameset><frame src=\"http://SENTINEL/frame2\"></frameset>",
                                          "<object data=\"http://SENTINEL/object\"></object>",
                                          "<embed src=\"http://SENTINEL/embed\">",
                                          "<portal src=\"http://SENTINEL/portal\"></portal>"})});
    corpus.push_back({"ParserStateTricksAndClosingThePage",
                      HtmlMail("parser", {"<!--<script>alert(1)</script>-->", "<![CDATA[<script>alert(2)</script>]]>",
                                          "<noscript><p title=\"</noscript><img src=x onerror=alert(3)>\"></noscript>",
                                          "<textarea><script>alert(4)</script></textarea>",
                                          "<title><script>alert(5)</script></title>",
                                          "</div></article></form></main></body></html><script>alert(6)</script>",
                                          "<plaintext><script>alert(7)</script>"})});
    // A text/html attachment (shown inline through the sanitizer, and offered as a download) and an SVG one.
    corpus.push_back(
            {"HtmlAndSvgAttachments",
             {"From: Mallory <m@example.com>", "Subject: attachments", "Content-Type: multipart/mixed; boundary=\"b\"",
              "", "--b", "Content-Type: text/plain", "", "See the attachment.", "--b",
              "Content-Type: text/html; name=\"page.html\"", "Content-Disposition: attachment; filename=\"page.html\"",
              "", "<script>alert(1)</script><img src=\"http://SENTINEL/attached.png\" onerror=alert(2)>", "--b",
              "Content-Type: image/svg+xml; name=\"pic.svg\"", "",
              "<svg xmlns=\"http://www.w3.org/2000/svg\" onload=\"alert(3)\"><script>alert(4)</script></svg>",
              "--b--"}});
    // Headers and plain text are escaped; a charset that would spell markup is not used to convert it.
    corpus.push_back({"HostileHeadersPlainTextAndCharsets",
                      {"From: \"<img src=x onerror=alert(1)>\" <m@example.com>",
                       "Subject: =?UTF-8?B?PHNjcmlwdD5hbGVydCgyKTwvc2NyaXB0Pg==?= <b>bold</b>",
                       "Cc: =?ISO-8859-1?Q?<svg/onload=alert(3)>?=", "Content-Type: multipart/mixed; boundary=c", "",
                       "--c", "Content-Type: text/plain", "",
                       "<script>alert(4)</script> javascript:alert(5) http://SENTINEL/plain-link", "--c",
                       "Content-Type: text/html; charset=utf-7", "", "+ADw-script+AD4-alert(6)+ADw-/script+AD4-", "--c",
                       "Content-Type: text/html; charset=IBM037", "", "L\xa2\x83\x99\x89\x97\xa3n", "--c--"}});
    return corpus;
}

std::string WithSentinel(std::string line, int port)
{
    const std::string address = "127.0.0.1:" + std::to_string(port);
    for (std::size_t at = line.find("SENTINEL"); at != std::string::npos; at = line.find("SENTINEL", at)) {
        line.replace(at, 8, address);
        at += address.size();
    }
    return line;
}

// The checks made in the page after it loaded: each expression must be true.
struct PageCheck {
    const char* What = nullptr;
    const char* Expression = nullptr;
    bool FailsOnControl = true; // the control injection below must make it false
};

constexpr PageCheck kPageChecks[] = {
        {"no script of the mail ran", "window.pwned === undefined"},
        {"no script element but the page's own, after its main",
         "[...document.scripts].every(s => s.parentElement === document.body && !s.closest('main'))"},
        {"the page stayed where it was", "location.pathname === '/mail' && document.baseURI === location.href", false},
        {"no base element", "document.querySelector('base') === null"},
        {"no meta http-equiv", "document.querySelector('meta[http-equiv]') === null"},
        {"the body is inside the article, which is inside the page's main",
         "document.querySelector('main.page > form > article.card > div.message-body') !== null", false},
        {"the page's only form keeps its folder choice after the body",
         "document.forms.length === 1 && document.querySelector('#dest') !== null && "
         "document.querySelector('#dest').form === document.forms[0]"},
        {"the links after the form are still in the page's main",
         "document.querySelector('main.page > p.links') !== null", false},
        {"no frame, object, embed, form control or foreign content in the body",
         "document.querySelector('.message-body :is(iframe, frame, frameset, object, embed, portal, form, input, "
         "button, textarea, select, svg, math, style, link, meta, base, script, video, audio, picture)') === null"},
        {"no event attribute in the body", "[...document.querySelectorAll('.message-body *')].every(e => "
                                           "[...e.attributes].every(a => !a.name.toLowerCase().startsWith('on')))"},
        {"no link or image of the body has a script or data URL",
         "[...document.querySelectorAll('.message-body [href], .message-body [src]')].every(e => { "
         "const u = e.href || e.src || ''; return !/^(javascript|vbscript|data):/i.test(String(u).trim()); })"},
        {"nothing in the body is fixed over the page",
         "[...document.querySelectorAll('.message-body, .message-body *')].every(e => "
         "getComputedStyle(e).position !== 'fixed')"},
};

class HostileMailTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!ChromiumDriver::Available()) {
            GTEST_SKIP() << "chromium is not installed (scripts/deps installs it)";
        }
        ASSERT_TRUE(m_sentinel.Valid());
        // Every part is listed as an attachment, the inline HTML one too, so that its download can be tried.
        m_install.Web().WriteFile(std::string("Users/") + kDemoUser + "/User.ini",
                                  std::string("[User]\r\nPassword=-") + kDemoPassword +
                                          "\r\nFullName=Demo User\r\nListAllAttach=Yes\r\n");
        StoreCorpus();
        ASSERT_TRUE(m_install.Start()) << m_install.Server().Errors();
        m_started = true;
        ASSERT_TRUE(m_browser.Start()) << m_browser.Error();
    }

    void TearDown() override
    {
        if (m_started) {
            EXPECT_TRUE(m_install.Stop());
        }
    }

    // Stores every message of the corpus into the demo user's Inbox, as mail arriving is stored.
    void StoreCorpus()
    {
        const std::string userDir = m_install.Path(std::string("Users/") + kDemoUser);
        fs::create_directories(userDir + "/Inbox");
        store::MessageIndex index(userDir);
        for (const HostileMail& mail : Corpus()) {
            store::MessageBuilder builder(index, "Inbox");
            ASSERT_TRUE(builder.Begin(2000, true)) << mail.Name;
            for (const std::string& line : mail.Lines) {
                builder.AddLine(WithSentinel(line, m_sentinel.Port()));
            }
            store::MessageIndexEntry* entry = builder.Finish();
            ASSERT_NE(entry, nullptr) << mail.Name;
            ASSERT_TRUE(entry->HasFlag(store::MessageFlag::Stored)) << mail.Name;
            m_numbers.push_back(entry->Number());
        }
        ASSERT_TRUE(index.Save());
    }

    // Logs on through the Logon form like a user and returns the session id.
    std::string LogOn()
    {
        EXPECT_TRUE(m_browser.Navigate(m_install.MailUrl())) << m_browser.Error();
        EXPECT_TRUE(m_browser.Type(ChromiumDriver::Css("input[name=User]"), kDemoUser)) << m_browser.Error();
        EXPECT_TRUE(m_browser.Type(ChromiumDriver::Css("input[name=Password]"), kDemoPassword)) << m_browser.Error();
        const int loads = m_browser.LoadCount();
        EXPECT_TRUE(m_browser.PressEnter() && m_browser.WaitForLoad(loads)) << m_browser.Error();
        return FindSessionId(m_browser.Evaluate("document.documentElement.outerHTML").Text());
    }

    // Everything that points at the sentinel: what the browser asked for and what reached the port.
    std::vector<std::string> SentinelTraffic() const
    {
        std::vector<std::string> seen = m_sentinel.Hits();
        const std::string port = ":" + std::to_string(m_sentinel.Port());
        for (const std::string& url : m_browser.RequestedUrls()) {
            if (url.find(port) != std::string::npos) {
                seen.push_back(url);
            }
        }
        return seen;
    }

    // Opens message i of the corpus on the Message page.
    void Show(const std::string& session, std::size_t i)
    {
        const std::string url =
                m_install.MailUrl("View=Message&Session=" + session + "&Number=" + std::to_string(m_numbers.at(i)));
        ASSERT_TRUE(m_browser.Navigate(url)) << m_browser.Error();
        ASSERT_TRUE(m_browser.WaitFor("document.readyState === 'complete'")) << m_browser.Error();
    }

    // Console errors and exceptions of the page from record `from` on.
    void ExpectNoConsoleErrorsSince(std::size_t from) const
    {
        for (std::size_t c = from; c < m_browser.Console().size(); ++c) {
            const ConsoleRecord& record = m_browser.Console()[c];
            EXPECT_FALSE(record.Source == "exception" || record.Level == "error")
                    << record.Source << " " << record.Level << ": " << record.Text;
        }
    }

    // The page checks on the message shown, and the text around the attacks kept.
    void CheckShownMessage(const HostileMail& mail)
    {
        for (const PageCheck& check : kPageChecks) {
            const JsValue value = m_browser.Evaluate(check.Expression);
            EXPECT_TRUE(value.IsTrue()) << check.What << " (" << value.Text() << value.Error << ")";
        }
        EXPECT_TRUE(m_browser.Evaluate("document.querySelector('h1.message-subject') !== null").IsTrue());
        if (mail.Lines.size() > 5 && mail.Lines[5] == "<p>Hello from Mallory</p>") {
            const std::string body = "document.querySelector('.message-body')";
            EXPECT_TRUE(m_browser.Evaluate(body + ".innerText.includes('Hello from Mallory')").IsTrue())
                    << m_browser.Evaluate(body + ".innerHTML").Text();
        }
    }

    // Each named attachment of the message shown downloads instead of being shown from the mail's origin.
    void ExpectDownloads(const std::vector<std::string>& names)
    {
        ASSERT_TRUE(m_browser.EnableDownloads()) << m_browser.Error();
        for (const std::string& name : names) {
            SCOPED_TRACE(name);
            const std::string link =
                    "[...document.querySelectorAll('.attachments a')].find(a => a.textContent === '" + name + "')";
            ASSERT_TRUE(m_browser.Evaluate(link + " !== undefined").IsTrue())
                    << m_browser.Evaluate("document.body.innerHTML").Text();
            const int loads = m_browser.LoadCount();
            ASSERT_TRUE(m_browser.Click(link)) << m_browser.Error();
            const std::optional<DownloadRecord> download = m_browser.WaitForDownload();
            ASSERT_TRUE(download.has_value()) << m_browser.Error();
            EXPECT_EQ(fs::path(download->Path).filename().string(), name);
            EXPECT_EQ(m_browser.LoadCount(), loads) << "the attachment was shown instead of downloaded";
        }
    }

    // A control: the checks, the sentinel and the dialog record see what they look for. Put into the shown page
    // by hand, each attack makes its check false.
    void CheckTheChecks()
    {
        ASSERT_TRUE(m_browser
                            .Evaluate("document.querySelector('.message-body').insertAdjacentHTML('beforeend', "
                                      "'<iframe></iframe><b onclick=\"x\">b</b><a href=\"javascript:void 0\">j</a>"
                                      "<div style=\"position:fixed\">f</div>');"
                                      "document.head.append(document.createElement('base'));"
                                      "const m = document.createElement('meta'); m.httpEquiv = 'refresh';"
                                      "document.head.append(m);"
                                      "document.querySelector('.message-body').append(document.createElement('script'));"
                                      "document.querySelector('main').append(document.createElement('form'));"
                                      "window.pwned = 1; true")
                            .IsTrue());
        for (const PageCheck& check : kPageChecks) {
            const JsValue value = m_browser.Evaluate(check.Expression);
            ASSERT_TRUE(value.Ok) << check.What << ": " << value.Error;
            EXPECT_EQ(value.IsTrue(), !check.FailsOnControl) << "control: " << check.What;
        }
        const std::string control = "http://127.0.0.1:" + std::to_string(m_sentinel.Port()) + "/control";
        ASSERT_TRUE(m_browser.Evaluate("fetch('" + control + "', {mode: 'no-cors'}).catch(() => 0), true").IsTrue());
        EXPECT_TRUE(WaitUntil([&] { return !m_sentinel.Hits().empty(); })) << "the sentinel saw nothing";
        ASSERT_TRUE(m_browser.Evaluate("setTimeout(() => alert('control'), 0), true").IsTrue());
        EXPECT_TRUE(m_browser.Pump([&] { return !m_browser.Dialogs().empty(); })) << "no dialog was recorded";
    }

    Sentinel m_sentinel;
    PageInstallation m_install;
    ChromiumDriver m_browser;
    std::vector<std::uint32_t> m_numbers;
    bool m_started = false;
};

TEST_F(HostileMailTest, NoMessageRunsScriptLoadsFromTheSentinelOrBreaksTheMessagePage)
{
    const std::string session = LogOn();
    ASSERT_EQ(session.size(), 7u) << m_browser.Evaluate("document.body.innerText").Text();
    const std::vector<HostileMail> corpus = Corpus();
    ASSERT_EQ(corpus.size(), m_numbers.size());
    const std::size_t consoleBefore = m_browser.Console().size();

    for (std::size_t i = 0; i < corpus.size(); ++i) {
        SCOPED_TRACE(corpus[i].Name);
        const std::size_t console = m_browser.Console().size();
        ASSERT_NO_FATAL_FAILURE(Show(session, i));
        CheckShownMessage(corpus[i]);
        ExpectNoConsoleErrorsSince(console);
        if (corpus[i].Name == "HtmlAndSvgAttachments") {
            ExpectDownloads({"page.html", "pic.svg"});
        }
        if (corpus[i].Name == "HostileHeadersPlainTextAndCharsets") {
            EXPECT_EQ(m_browser.Evaluate("document.querySelector('h1.message-subject').textContent").Text(),
                      "<script>alert(2)</script> <b>bold</b>");
        }
    }

    EXPECT_TRUE(m_browser.Dialogs().empty())
            << m_browser.Dialogs().front().Type << ": " << m_browser.Dialogs().front().Message;
    EXPECT_TRUE(m_browser.Evaluate("window.pwned === undefined").IsTrue());
    ExpectNoConsoleErrorsSince(consoleBefore);
    const std::vector<std::string> traffic = SentinelTraffic();
    EXPECT_TRUE(traffic.empty()) << traffic.size() << " requests reached the sentinel, the first: " << traffic.front();

    CheckTheChecks();
}

} // namespace
} // namespace qm::test
