// The first web-mail pages end to end: curl with a cookie jar and headless Chromium against the main web server
// hosting the engine library on a test installation with the Globe theme.
#include "platform/ChildProcess.h"
#include "tests/pages/PageInstallation.h"
#include "testsupport/LoopbackListener.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace qm::test {
namespace {

namespace fs = std::filesystem;

// The position of the first header line that starts with prefix (ignoring case), or npos.
std::size_t HeaderPosition(const std::string& head, const std::string& prefix)
{
    std::size_t start = 0;
    while (start < head.size()) {
        const std::size_t end = head.find('\n', start);
        const std::string line = head.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (line.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), line.begin(), [](char a, char b) {
                return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
            })) {
            return start;
        }
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    return std::string::npos;
}

class PagesTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_install.Start()) << m_install.Server().Errors(); }

    void TearDown() override { EXPECT_TRUE(m_install.Stop()); }

    // curl with the test's cookie jar.
    CurlReply WithJar(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"-b", m_jar.PathOf("jar"), "-c", m_jar.PathOf("jar")});
        return Curl(args);
    }

    // Logs the demo user on through the Logon form's fields and returns the logon response.
    CurlReply LogOn(const std::string& password = kDemoPassword)
    {
        return WithJar({"--data-urlencode", std::string("User=") + kDemoUser, "--data-urlencode",
                        "Password=" + password, m_install.MailUrl("View=Main")});
    }

    PageInstallation m_install;
    TempDir m_jar;
};

TEST_F(PagesTest, TheLogonPageIsTheFirstPage)
{
    const CurlReply reply = WithJar({m_install.MailUrl()});
    EXPECT_EQ(reply.Status, 200u) << reply.Head;
    EXPECT_NE(reply.Body.find("name=\"Password\""), std::string::npos) << reply.Body;
    EXPECT_NE(reply.Body.find("href=\"/Globe/Normal.css\""), std::string::npos) << reply.Body;
    EXPECT_EQ(reply.Header("Set-Cookie"), std::nullopt) << "no cookie before a logon";

    // The style sheet comes from the HTML directory.
    const CurlReply css = Curl({m_install.Server().Url("/Globe/Normal.css")});
    EXPECT_EQ(css.Status, 200u);
    EXPECT_EQ(css.Header("Content-Type").value_or(""), "text/css");
}

TEST_F(PagesTest, ALogonSetsTheUserThenTheSessionCookieBeforeThePageAndTheMainPageShowsTheUser)
{
    const CurlReply logon = LogOn();
    ASSERT_EQ(logon.Status, 200u) << logon.Head << logon.Body;
    const std::size_t user = HeaderPosition(logon.Head, "Set-Cookie: User=demo; Expires=");
    const std::size_t session = HeaderPosition(logon.Head, "Set-Cookie: Session=");
    const std::size_t type = HeaderPosition(logon.Head, "Content-type: text/html");
    ASSERT_NE(user, std::string::npos) << logon.Head;
    EXPECT_LT(user, session) << logon.Head;
    EXPECT_LT(session, type) << logon.Head;
    EXPECT_EQ(HeaderPosition(logon.Head, "Set-Cookie:"), user) << "the User cookie comes first";
    // The language and theme cookies the browser did not have yet follow the session cookie.
    EXPECT_LT(session, HeaderPosition(logon.Head, "Set-Cookie: Lang=en; Expires="));
    EXPECT_LT(HeaderPosition(logon.Head, "Set-Cookie: Theme=Globe; Expires="), type);

    const std::string id = FindSessionId(logon.Body);
    ASSERT_EQ(id.size(), 7u) << logon.Body;
    EXPECT_NE(logon.Body.find("<frameset"), std::string::npos) << logon.Body;

    // The User and Session cookies are for the server only; the Session cookie is a secret of its own, not the id.
    const std::string sessionLine = logon.Head.substr(session, logon.Head.find('\n', session) - session);
    EXPECT_NE(sessionLine.find("; path=/; HttpOnly; SameSite=Lax"), std::string::npos) << sessionLine;
    const std::string userLine = logon.Head.substr(user, logon.Head.find('\n', user) - user);
    EXPECT_NE(userLine.find("; path=/; HttpOnly; SameSite=Lax"), std::string::npos) << userLine;
    const std::string prefix = "Set-Cookie: Session=";
    const std::string secret = sessionLine.substr(prefix.size(), sessionLine.find(';') - prefix.size());
    EXPECT_EQ(secret.size(), 32u) << sessionLine;
    EXPECT_EQ(secret.find(id), std::string::npos);

    const CurlReply main = WithJar({m_install.MailUrl("View=Main&Session=" + id)});
    EXPECT_EQ(main.Status, 200u);
    EXPECT_NE(main.Body.find("<title>Quillmail · demo</title>"), std::string::npos) << main.Body;
    EXPECT_EQ(main.Header("Set-Cookie"), std::nullopt) << "the cookies are known now: " << main.Head;

    EXPECT_EQ(m_install.EngineLog().find(secret), std::string::npos) << "the log holds the cookie's secret";

    // The stored password was plain; the first logon scrambled it.
    const std::string userIni = TempDir::ReadFile(m_install.Path("Users/demo/User.ini"));
    EXPECT_EQ(userIni.find("Password=-demo"), std::string::npos) << userIni;
}

TEST_F(PagesTest, TheSameSessionFromAnotherAddressGetsTheLogonPage)
{
    const std::string id = FindSessionId(LogOn().Body);
    ASSERT_FALSE(id.empty());
    const CurlReply other = WithJar({"--interface", "127.0.0.2", m_install.MailUrl("View=Main&Session=" + id)});
    EXPECT_EQ(other.Status, 200u) << other.Errors;
    EXPECT_NE(other.Body.find(EnglishMessage(75)), std::string::npos) << other.Body;
    EXPECT_NE(other.Body.find("name=\"Password\""), std::string::npos);

    // From the logon's own address the session still works.
    EXPECT_NE(WithJar({m_install.MailUrl("View=Main&Session=" + id)}).Body.find("<frameset"), std::string::npos);
}

TEST_F(PagesTest, AWrongSessionCookieABadPasswordAndALogoutShowTheirMessages)
{
    const std::string id = FindSessionId(LogOn().Body);
    ASSERT_FALSE(id.empty());

    const CurlReply wrongCookie = Curl({"-b", "Session=not-the-cookie", m_install.MailUrl("View=Main&Session=" + id)});
    EXPECT_NE(wrongCookie.Body.find(EnglishMessage(76)), std::string::npos) << wrongCookie.Body;

    const CurlReply badPassword = Curl(
            {"--data-urlencode", "User=demo", "--data-urlencode", "Password=wrong", m_install.MailUrl("View=Main")});
    EXPECT_NE(badPassword.Body.find(EnglishMessage(15)), std::string::npos) << badPassword.Body;
    EXPECT_EQ(badPassword.Header("Set-Cookie"), std::nullopt);

    const CurlReply logout = WithJar({m_install.MailUrl("View=Logout&Session=" + id)});
    EXPECT_NE(logout.Body.find(EnglishMessage(19)), std::string::npos) << logout.Body;
    const CurlReply after = WithJar({m_install.MailUrl("View=Main&Session=" + id)});
    EXPECT_NE(after.Body.find(EnglishMessage(16)), std::string::npos) << after.Body;

    const std::string log = m_install.EngineLog();
    EXPECT_NE(log.find("denied due to invalid session cookie."), std::string::npos) << log;
    EXPECT_NE(log.find("Bad logon attempt for user demo from 127.0.0.1."), std::string::npos) << log;
}

TEST_F(PagesTest, ALogonFormThatAnotherSitePostedIsRefused)
{
    const std::vector<std::string> form = {"--data-urlencode", std::string("User=") + kDemoUser, "--data-urlencode",
                                           std::string("Password=") + kDemoPassword};
    std::vector<std::string> foreign = form;
    foreign.insert(foreign.end(), {"-H", "Origin: http://evil.example", m_install.MailUrl("View=Main")});
    const CurlReply refused = Curl(foreign);
    EXPECT_EQ(refused.Status, 200u);
    EXPECT_NE(refused.Body.find(EnglishMessage(540)), std::string::npos) << refused.Body;
    EXPECT_EQ(refused.Header("Set-Cookie"), std::nullopt);

    // The server's own page posts with its own origin, the scheme and host the URL names.
    const std::string url = m_install.MailUrl("View=Main");
    std::vector<std::string> own = form;
    own.insert(own.end(), {"-H", "Origin: " + url.substr(0, url.find("/mail")), url});
    EXPECT_FALSE(FindSessionId(Curl(own).Body).empty());
}

TEST_F(PagesTest, AnEndedSessionLeavesTheFrames)
{
    const std::string id = FindSessionId(LogOn().Body);
    ASSERT_FALSE(id.empty());
    // A content frame whose session has ended gets the Logon page, which takes the whole window.
    const CurlReply ended = WithJar({m_install.MailUrl("View=Logout&Session=" + id)});
    EXPECT_NE(ended.Body.find(EnglishMessage(19)), std::string::npos) << ended.Body;
    const CurlReply framed = WithJar({m_install.MailUrl("View=List&Session=" + id)});
    EXPECT_NE(framed.Body.find(EnglishMessage(16)), std::string::npos) << framed.Body;
    EXPECT_NE(framed.Body.find("window.top.location.replace"), std::string::npos) << framed.Body;
}

// Headless Chromium with a profile of its own and nothing that reaches outside.
class Chromium {
public:
    explicit Chromium(const std::string& scratch)
        : m_profile(scratch + "/profile")
    {
        fs::create_directories(m_profile);
    }

    // Runs chromium on url with extra arguments; its standard output.
    std::string Run(const std::vector<std::string>& args, const std::string& url)
    {
        ChildOptions options;
        options.Argv = {"/usr/bin/chromium",
                        "--headless",
                        "--no-sandbox",
                        "--disable-gpu",
                        "--disable-quic",
                        "--no-first-run",
                        "--disable-background-networking",
                        "--disable-component-update",
                        "--disable-sync",
                        "--user-data-dir=" + m_profile,
                        "--window-size=1280,800",
                        "--virtual-time-budget=5000"};
        options.Argv.insert(options.Argv.end(), args.begin(), args.end());
        options.Argv.push_back(url);
        options.Environment = {"HOME=" + m_profile, "PATH=/usr/bin:/bin"};
        // Files, not pipes: chromium's helper processes may keep inherited pipes open after it has ended.
        const std::string outPath = m_profile + ".out";
        const std::string errPath = m_profile + ".err";
        options.Stdout = ChildStdio::File(outPath);
        options.Stderr = ChildStdio::File(errPath);
        Result<ChildStatus> status = ChildProcess::Run(options, 120000);
        EXPECT_TRUE(status && status->ExitedWith(0)) << TempDir::ReadFile(errPath);
        return TempDir::ReadFile(outPath);
    }

private:
    std::string m_profile;
};

TEST_F(PagesTest, ChromiumLogsOnAndReachesTheMainFrameSet)
{
    if (!fs::exists("/usr/bin/chromium")) {
        GTEST_SKIP() << "chromium is not installed (scripts/deps installs it)";
    }
    const std::string shots = QM_SCREENSHOT_DIR;
    fs::create_directories(shots);
    TempDir scratch;

    // The Logon page as a browser shows it.
    Chromium browser(scratch.PathOf("logon"));
    const std::string logonShot = shots + "/Logon.png";
    fs::remove(logonShot);
    browser.Run({"--screenshot=" + logonShot}, m_install.MailUrl());
    EXPECT_TRUE(IsPng(logonShot)) << logonShot;

    // The logon with the Logon form's fields, sent in the address (the engine reads the fields of the query as it
    // reads those of a form), leads to the frame set. (A page that posts the form on its load is not reliable in
    // headless Chromium: its screenshot is sometimes taken before the navigation.)
    const std::string logonUrl =
            m_install.MailUrl(std::string("View=Main&User=") + kDemoUser + "&Password=" + kDemoPassword);
    Chromium dom(scratch.PathOf("dom"));
    const std::string page = dom.Run({"--dump-dom"}, logonUrl);
    EXPECT_NE(page.find("<frameset"), std::string::npos) << page;
    EXPECT_NE(page.find("View=Folders"), std::string::npos) << page;

    Chromium shot(scratch.PathOf("main"));
    const std::string mainShot = shots + "/Main.png";
    fs::remove(mainShot);
    shot.Run({"--screenshot=" + mainShot}, logonUrl);
    EXPECT_TRUE(IsPng(mainShot)) << mainShot;

    // The browser loaded both frames within the session the logon made.
    const std::string access = TempDir::ReadFile(m_install.Path("Logs/http-web.log"));
    EXPECT_NE(access.find("View=Folders"), std::string::npos) << access;
    EXPECT_NE(access.find("View=List"), std::string::npos) << access;
}

TEST_F(PagesTest, ChromiumLeavesTheFramesWhenTheSessionHasEnded)
{
    if (!fs::exists("/usr/bin/chromium")) {
        GTEST_SKIP() << "chromium is not installed (scripts/deps installs it)";
    }
    // A frame set like the Main page's, whose content frame asks for a page of a session that is gone.
    m_install.Web().WriteFile(
            "HTML/EndedFrames.html",
            "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01 Frameset//EN\">\n<html><frameset rows=\"100,*\">"
            "<frame name=\"nav\" src=\"about:blank\"><frame name=\"content\" src=\"" +
                    m_install.MailUrl("View=List&Session=ZZZZZZZ") + "\"></frameset></html>\n");
    TempDir scratch;
    Chromium dom(scratch.PathOf("dom"));
    const std::string page = dom.Run({"--dump-dom"}, m_install.Server().Url("/EndedFrames.html"));
    EXPECT_EQ(page.find("<frameset"), std::string::npos) << page;
    EXPECT_NE(page.find("name=\"Password\""), std::string::npos) << page;
    EXPECT_NE(page.find(EnglishMessage(16)), std::string::npos) << page;
}

// Start-up checks Languages.ini against the templates: a changed message is shown and a new template text is
// numbered in the file.
TEST(PagesLanguagesTest, ALanguagesIniChangeIsPickedUpAtStartUp)
{
    PageInstallation install;
    const std::string languages = install.Path("Templates/Languages.ini");
    std::string text = TempDir::ReadFile(languages);
    const std::string old15 = "015=" + EnglishMessage(15);
    const std::size_t at = text.find(old15);
    ASSERT_NE(at, std::string::npos);
    text.replace(at, old15.size(), "015=Changed bad logon text.");
    install.Web().WriteFile("Templates/Languages.ini", text);
    std::string logon = TempDir::ReadFile(install.Path("Templates/Globe/Logon.html"));
    logon.insert(logon.find("</main>"), "<p>[$A text only this test uses$]</p>\n");
    install.Web().WriteFile("Templates/Globe/Logon.html", logon);

    ASSERT_TRUE(install.Start()) << install.Server().Errors();
    const CurlReply bad =
            Curl({"--data-urlencode", "User=demo", "--data-urlencode", "Password=wrong", install.MailUrl("View=Main")});
    EXPECT_NE(bad.Body.find("Changed bad logon text."), std::string::npos) << bad.Body;
    EXPECT_NE(bad.Body.find("A text only this test uses"), std::string::npos);
    EXPECT_TRUE(install.Stop());

    const std::string checked = TempDir::ReadFile(languages);
    const std::size_t numbered = checked.find("=A text only this test uses\r\n");
    ASSERT_NE(numbered, std::string::npos) << "the new template text was not numbered";
    EXPECT_GE(std::atoi(checked.substr(checked.rfind('\n', numbered) + 1, 3).c_str()), 100);
    EXPECT_TRUE(fs::exists(install.Path("Templates/Languages.bak")));
}

// A visitor signs up on the NewUser form in a browser and lands in the main frame set of his new account.
TEST(PagesNewUserTest, ChromiumSignsUpAndReachesTheMainFrameSet)
{
    if (!fs::exists("/usr/bin/chromium")) {
        GTEST_SKIP() << "chromium is not installed (scripts/deps installs it)";
    }
    PageInstallation install;
    install.Web().WriteFile("Domains.Ini", "[Default:Settings]\r\nDefaultDomain=\r\nAutoAccountCreation=No\r\n"
                                           "NewAccountCreation=Yes\r\n");
    ASSERT_TRUE(install.Start()) << install.Server().Errors();
    TempDir scratch;

    // The new-account button of the Logon page leads to the form.
    Chromium form(scratch.PathOf("form"));
    const std::string formPage = form.Run({"--dump-dom"}, install.MailUrl("View=Main&NewAccount=1"));
    EXPECT_NE(formPage.find("name=\"ConfirmPass\""), std::string::npos) << formPage;
    EXPECT_EQ(formPage.find("Not built yet"), std::string::npos) << "the form works, so it says nothing of that";

    // The form's fields in the address, as the engine reads them like a posted form's (see the logon test above).
    Chromium signUp(scratch.PathOf("signup"));
    const std::string page = signUp.Run(
            {"--dump-dom"},
            install.MailUrl("View=NewUser&Finished=1&User=newcomer&Pass=s3cret&ConfirmPass=s3cret&FullName=New+Comer"));
    EXPECT_NE(page.find("<frameset"), std::string::npos) << page;
    EXPECT_TRUE(fs::exists(install.Path("Users/newcomer/User.ini")));

    // The account keeps the password of the form.
    const CurlReply again = Curl(
            {"--data-urlencode", "User=newcomer", "--data-urlencode", "Password=s3cret", install.MailUrl("View=Main")});
    EXPECT_NE(again.Body.find("<frameset"), std::string::npos) << again.Body;
    EXPECT_TRUE(install.Stop());
}

// A draft of the user's only account, and the account deleted: every folder, the draft itself, the compose page and
// the frame set still answer, and the server runs on for the next request and ends cleanly.
TEST(PagesWithoutAccountsTest, EveryPageAnswersOnceTheOnlyAccountIsDeleted)
{
    PageInstallation install;
    {
        const LoopbackListener closed; // nobody answers there once it is gone: a draft needs no SMTP server
        install.SendThrough(closed.Port());
    }
    ASSERT_TRUE(install.Start()) << install.Server().Errors();
    TempDir jar;
    const auto get = [&](const std::vector<std::string>& args) {
        std::vector<std::string> all = {"-b", jar.PathOf("jar"), "-c", jar.PathOf("jar")};
        all.insert(all.end(), args.begin(), args.end());
        return Curl(all);
    };
    const CurlReply logon = get({"--data-urlencode", std::string("User=") + kDemoUser, "--data-urlencode",
                                 std::string("Password=") + kDemoPassword, install.MailUrl("View=Main")});
    const std::string id = FindSessionId(logon.Body);
    ASSERT_EQ(id.size(), 7u) << logon.Body;
    const std::string session = "Session=" + id;
    const std::string andSession = "&" + session;

    const CurlReply kept = get({"--data-urlencode", "SendLater=1", "--data-urlencode", "From=0", "--data-urlencode",
                                "To=bob@example.org", "--data-urlencode", "Subject=Kept draft", "--data-urlencode",
                                "Body=Not finished", install.MailUrl("View=Compose&" + session)});
    ASSERT_EQ(kept.Status, 200u) << kept.Body;
    const CurlReply removed = get({install.MailUrl("View=Options-Hosts&Delete=Office&" + session)});
    EXPECT_NE(removed.Body.find(EnglishMessage(85).substr(0, 16)), std::string::npos) << removed.Body;

    for (const char* folder : {"Inbox", "Drafts", "Sent", "Trash"}) {
        SCOPED_TRACE(folder);
        const CurlReply list = get({install.MailUrl(std::string("View=List&Folder=") + folder + andSession)});
        EXPECT_EQ(list.Status, 200u);
        EXPECT_NE(list.Body.find("</html>"), std::string::npos) << list.Body;
        if (std::string(folder) == "Drafts") {
            EXPECT_NE(list.Body.find("Kept draft"), std::string::npos) << list.Body;
        }
    }
    const CurlReply drafts = get({install.MailUrl("View=List&Folder=Drafts&" + session)});
    std::smatch number;
    ASSERT_TRUE(std::regex_search(drafts.Body, number, std::regex("Number=([0-9]+)"))) << drafts.Body;
    for (const std::string& query : {"View=Message&Number=" + number[1].str(), std::string("View=Compose&New=1"),
                                     std::string("View=Main"), std::string("View=Folders")}) {
        SCOPED_TRACE(query);
        const CurlReply page = get({install.MailUrl(query + andSession)});
        EXPECT_EQ(page.Status, 200u);
        EXPECT_NE(page.Body.find("</html>"), std::string::npos) << page.Body;
    }
    EXPECT_TRUE(install.Stop());
}

} // namespace
} // namespace qm::test
