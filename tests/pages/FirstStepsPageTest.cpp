// What a new user meets first, end to end in headless Chromium: refusals look unlike confirmations, each options
// page saves everything it shows with any of its buttons, the domain's system account says what it is, the demo
// account writes from its address through the SMTP server its domain names, a new folder shows in the folder list
// at once, and the List page shows small sizes, reverses the sorted column and writes dates in the page's
// language. Screenshots go to QM_SCREENSHOT_DIR.
#include "store/MessageBuilder.h"
#include "store/MessageIndex.h"
#include "tests/pages/PageInstallation.h"
#include "testsupport/ChromiumDriver.h"
#include "testsupport/SmtpSink.h"
#include "testsupport/TempDir.h"
#include "testsupport/WaitUntil.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace qm::test {
namespace {

namespace fs = std::filesystem;

std::string Quoted(const std::string& text)
{
    return nlohmann::json(text).dump();
}

// The document of a frame of the Main page.
std::string FrameDocument(const std::string& frame)
{
    return "document.querySelector('frame[name=" + frame + "]').contentDocument";
}

// An element of the content frame, as a JavaScript expression.
std::string InContent(const std::string& selector)
{
    return FrameDocument("content") + ".querySelector(" + Quoted(selector) + ")";
}

// The user's own mail account that the tests give the demo user: it writes from demo@quillmail.example and fetches
// nothing.
constexpr const char* kOfficeAccount = "[MailHost1]\r\nMailbox=Office\r\nFullName=Demo User\r\n"
                                       "EMail=demo@quillmail.example\r\nHost=127.0.0.1\r\nUser=demo\r\nPass=-demo\r\n"
                                       "Default=Yes\r\nActive=No\r\n";

class FirstStepsPageTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!ChromiumDriver::Available()) {
            GTEST_SKIP() << "chromium is not installed (scripts/deps installs it)";
        }
        m_shots = ScreenshotDir(QM_SCREENSHOT_DIR);
        fs::create_directories(m_shots);
        WriteDomains("SyncSystemMailbox=No\r\n");
    }

    void TearDown() override
    {
        if (m_started) {
            EXPECT_TRUE(m_install.Stop());
        }
    }

    static std::string UserFile(const std::string& name) { return std::string("Users/") + kDemoUser + "/" + name; }

    std::string UserIni() const { return TempDir::ReadFile(m_install.Path(UserFile("User.ini"))); }

    // The domain settings: the test installation's, then settings.
    void WriteDomains(const std::string& settings)
    {
        m_install.Web().WriteFile("Domains.Ini",
                                  "[Default:Settings]\r\nDefaultDomain=\r\nAutoAccountCreation=No\r\n" + settings);
    }

    void AddToUserIni(const std::string& text) { m_install.Web().WriteFile(UserFile("User.ini"), UserIni() + text); }

    // Starts the server and the browser on the Logon page.
    void Start()
    {
        ASSERT_TRUE(m_install.Start()) << m_install.Server().Errors();
        m_started = true;
        ASSERT_TRUE(m_browser.Start()) << m_browser.Error();
        ASSERT_TRUE(m_browser.Navigate(m_install.MailUrl())) << m_browser.Error();
    }

    // Starts and logs the demo user on through the Logon form.
    void StartAndLogOn()
    {
        ASSERT_NO_FATAL_FAILURE(Start());
        m_id = LogOnInBrowser(m_browser);
        ASSERT_FALSE(m_id.empty());
    }

    // Opens a page of the session in the whole window.
    bool Open(const std::string& query)
    {
        return m_browser.Navigate(m_install.MailUrl(query + "&Session=" + m_id)) &&
               m_browser.WaitFor("document.readyState === 'complete'");
    }

    // Opens the frame set with the page of view in its content frame, once that page has loaded.
    bool OpenInFrames(const std::string& view, const std::string& ready)
    {
        return Open("View=Main&FrameView=" + view) && m_browser.WaitFor("(() => { try { return !!(" + InContent(ready) +
                                                                        "); } catch (e) { return false; } })()");
    }

    // Marks the pages of the window and of its frames, clicks the element, and waits until a new page satisfies
    // condition.
    bool ClickThrough(const std::string& element, const std::string& condition)
    {
        const std::string mark = "(() => { document.body && (document.body.dataset.seen = '1'); "
                                 "document.querySelectorAll('frame').forEach(f => f.contentDocument.body && "
                                 "(f.contentDocument.body.dataset.seen = '1')); return true; })()";
        if (!m_browser.Evaluate(mark).IsTrue() || !m_browser.Click(element)) {
            return false;
        }
        return m_browser.WaitFor("(() => { try { return " + condition + "; } catch (e) { return false; } })()");
    }

    // True once the window shows a new page (not marked) that satisfies condition.
    static std::string NewPage(const std::string& condition)
    {
        return "!!(document.readyState === 'complete' && document.body && !document.body.dataset.seen && (" +
               condition + "))";
    }

    // True once the content frame shows a new page (not marked) that satisfies condition.
    static std::string NewContent(const std::string& condition)
    {
        const std::string doc = FrameDocument("content");
        return "!!(" + doc + ".readyState === 'complete' && " + doc + ".body && !" + doc + ".body.dataset.seen && (" +
               condition + "))";
    }

    std::string Text() { return m_browser.Evaluate("document.body.innerText").Text(); }

    std::string ContentText() { return m_browser.Evaluate(FrameDocument("content") + ".body.innerText").Text(); }

    bool SetValue(const std::string& element, const std::string& value)
    {
        return m_browser
                .Evaluate("((e) => { e.value = " + Quoted(value) + "; return e.value === " + Quoted(value) + "; })(" +
                          element + ")")
                .IsTrue();
    }

    // The visible notices of the document (an expression), as "class: text" lines.
    std::string Notices(const std::string& document)
    {
        return m_browser
                .Evaluate("Array.from(" + document +
                          ".querySelectorAll('.notice')).filter(n => n.offsetParent !== null).map(n => "
                          "n.className + ': ' + n.textContent.trim()).join('\\n')")
                .Text();
    }

    void Shot(const std::string& name)
    {
        const std::string path = m_shots + "/FirstSteps-" + name + ".png";
        fs::remove(path);
        EXPECT_TRUE(m_browser.Screenshot(path)) << m_browser.Error();
        EXPECT_TRUE(IsPng(path)) << path;
    }

    PageInstallation m_install;
    ChromiumDriver m_browser;
    std::string m_shots;
    std::string m_id;
    bool m_started = false;
};

TEST_F(FirstStepsPageTest, ARefusedLogonLooksLikeAnErrorAndTheLogoutLikeANotice)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_TRUE(m_browser.Type(ChromiumDriver::Css("#user"), kDemoUser)) << m_browser.Error();
    ASSERT_TRUE(m_browser.Type(ChromiumDriver::Css("#password"), "not the password")) << m_browser.Error();
    ASSERT_TRUE(ClickThrough(ChromiumDriver::Css("button[type=submit]"), NewPage("document.querySelector('#user')")))
            << Text();
    EXPECT_EQ(Notices("document"), "notice notice-error: " + EnglishMessage(15));
    const std::string errorColour =
            m_browser.Evaluate("getComputedStyle(document.querySelector('.notice-error')).backgroundColor").Text();
    Shot("LogonRefused");

    m_id = LogOnInBrowser(m_browser);
    ASSERT_FALSE(m_id.empty());
    ASSERT_TRUE(Open("View=Logout"));
    EXPECT_EQ(Notices("document"), "notice notice-status: " + EnglishMessage(19));
    const std::string noticeColour =
            m_browser.Evaluate("getComputedStyle(document.querySelector('.notice-status')).backgroundColor").Text();
    EXPECT_NE(errorColour, noticeColour);
    Shot("LoggedOut");
}

TEST_F(FirstStepsPageTest, OneSaveOnThePreferencesStoresTheLanguageWithEveryOtherChange)
{
    ASSERT_NO_FATAL_FAILURE(StartAndLogOn());
    ASSERT_TRUE(OpenInFrames("Options-Prefs", "#userlang"));
    // A change without a new look stays in the frame and says so.
    ASSERT_TRUE(SetValue(InContent("#height"), "20"));
    ASSERT_TRUE(ClickThrough(InContent("#height") + ".form.querySelector('button[name=Save]')",
                             NewContent(InContent("#height"))))
            << ContentText();
    EXPECT_EQ(Notices(FrameDocument("content")), "notice notice-status: " + EnglishMessage(94));
    EXPECT_NE(UserIni().find("ComposeHeight=20"), std::string::npos) << UserIni();

    // The language and a setting further down, saved by the one button at the foot of the page: the whole window
    // comes back in German with the page inside, and both are stored.
    ASSERT_TRUE(SetValue(InContent("#userlang"), "de"));
    ASSERT_TRUE(SetValue(InContent("#width"), "80"));
    ASSERT_TRUE(m_browser.Evaluate("(" + InContent("#advanced") + ".checked = true)").IsTrue());
    const std::string frames = "document.querySelector('frameset') && " + NewContent(InContent("#userlang")) + " && " +
                               InContent("h1") + ".textContent === 'Einstellungen'";
    ASSERT_TRUE(ClickThrough(InContent("#width") + ".form.querySelector('button[name=Save]')", frames))
            << ContentText();
    const std::string ini = UserIni();
    EXPECT_NE(ini.find("Lang=de"), std::string::npos) << ini;
    EXPECT_NE(ini.find("ComposeWidth=80"), std::string::npos) << ini;
    EXPECT_NE(ini.find("AdvancedCompose=Yes"), std::string::npos) << ini;
    EXPECT_EQ(m_browser.Evaluate(InContent("#width") + ".value").Text(), "80");
    Shot("PrefsSavedInGerman");
}

TEST_F(FirstStepsPageTest, EverySaveButtonOfTheMailAccountsStoresTheNewAccountAndTheEdits)
{
    AddToUserIni(kOfficeAccount);
    ASSERT_NO_FATAL_FAILURE(StartAndLogOn());
    ASSERT_TRUE(Open("View=Options-Hosts"));
    ASSERT_TRUE(SetValue(ChromiumDriver::Css("#name0"), "Demo Q. User"));
    for (const auto& [field, value] :
         std::vector<std::pair<std::string, std::string>>{{"#newmailbox", "Home"},
                                                          {"#newemail", "home@example.org"},
                                                          {"#newhost", "127.0.0.1"},
                                                          {"#newuser", "home"},
                                                          {"#newpass", "home-secret"}}) {
        ASSERT_TRUE(m_browser.Type(ChromiumDriver::Css(field), value)) << field << ": " << m_browser.Error();
    }
    ASSERT_TRUE(m_browser.Evaluate("(" + ChromiumDriver::Css("#newactive") + ".checked = false, true)").IsTrue());
    // The Save button at the top of the page, above the accounts.
    ASSERT_TRUE(ClickThrough(ChromiumDriver::Css(".toolbar button[name=Save]"),
                             NewPage("document.querySelector('fieldset.row')")))
            << Text();
    EXPECT_EQ(m_browser
                      .Evaluate("Array.from(document.querySelectorAll('fieldset.row legend')).map(l => "
                                "l.textContent).join(',')")
                      .Text(),
              "Office,Home");
    EXPECT_EQ(m_browser.Evaluate(ChromiumDriver::Css("#name0") + ".value").Text(), "Demo Q. User");
    EXPECT_EQ(Notices("document"), "notice notice-status: " + EnglishMessage(94));
    std::string ini = UserIni();
    EXPECT_NE(ini.find("Mailbox=Home"), std::string::npos) << ini;
    EXPECT_NE(ini.find("FullName=Demo Q. User"), std::string::npos) << ini;
    EXPECT_EQ(ini.find("home-secret"), std::string::npos) << "the password is stored scrambled";
    Shot("AccountsSaved");

    // The button of the new account's card stores the edits of the accounts above it too; an incomplete new
    // account is refused as an error and the edits are kept.
    ASSERT_TRUE(SetValue(ChromiumDriver::Css("#name1"), "At Home"));
    ASSERT_TRUE(m_browser.Type(ChromiumDriver::Css("#newmailbox"), "Half")) << m_browser.Error();
    ASSERT_TRUE(ClickThrough(ChromiumDriver::Css("#addaccount"), NewPage("document.querySelector('fieldset.row')")))
            << Text();
    EXPECT_EQ(Notices("document"), "notice notice-error: " + EnglishMessage(41));
    ini = UserIni();
    EXPECT_NE(ini.find("FullName=At Home"), std::string::npos) << ini;
    EXPECT_EQ(ini.find("Mailbox=Half"), std::string::npos) << ini;
    Shot("AccountRefused");
}

TEST_F(FirstStepsPageTest, TheDomainsSystemAccountSaysWhatItIs)
{
    // The domain keeps the user's first account in step with its POP3 server.
    WriteDomains("SyncSystemMailbox=Yes\r\nPopHost=127.0.0.1\r\nPopPort=1\r\n");
    AddToUserIni(kOfficeAccount);
    ASSERT_NO_FATAL_FAILURE(StartAndLogOn());
    ASSERT_TRUE(Open("View=Options-Hosts"));
    EXPECT_EQ(m_browser.Evaluate(ChromiumDriver::Css("fieldset.row .badge-system") + ".textContent").Text(),
              "System account");
    EXPECT_NE(Text().find("This is the system account of your mail domain"), std::string::npos) << Text();
    EXPECT_TRUE(m_browser.Evaluate(ChromiumDriver::Css("#host0") + ".readOnly").IsTrue());
    EXPECT_TRUE(m_browser.Evaluate("document.querySelector('fieldset.row button[name=Delete]') === null").IsTrue());
    Shot("SystemAccount");
}

TEST_F(FirstStepsPageTest, TheDemoAccountIsItsOwnAndWritesFromItsAddress)
{
    if (SmtpSink::Python().empty()) {
        GTEST_SKIP() << "python3-aiosmtpd is not installed (scripts/deps installs it)";
    }
    TempDir dir;
    SmtpSink sink(dir.Path());
    ASSERT_EQ(sink.Start(), "");
    // The demo's own settings, with the SMTP server named where the demo's Domains.Ini says to name it.
    const fs::path demo = fs::path(QM_SOURCE_DIR) / "data/demo";
    std::string domains = TempDir::ReadFile(demo / "Domains.Ini");
    ASSERT_NE(domains.find("SyncSystemMailbox=No"), std::string::npos) << domains;
    domains = std::regex_replace(domains, std::regex("SmtpHost=[^\r\n]*"), "SmtpHost=127.0.0.1");
    domains = std::regex_replace(domains, std::regex("SmtpPort=[^\r\n]*"), "SmtpPort=" + std::to_string(sink.Port()));
    m_install.Web().WriteFile("Domains.Ini", domains);
    m_install.Web().WriteFile(UserFile("User.ini"), TempDir::ReadFile(demo / "User.ini"));
    ASSERT_NO_FATAL_FAILURE(StartAndLogOn());

    // The account is the user's own: nothing greyed, and it can be removed.
    ASSERT_TRUE(Open("View=Options-Hosts"));
    EXPECT_EQ(m_browser.Evaluate(ChromiumDriver::Css("fieldset.row legend") + ".textContent").Text(), "Demo");
    EXPECT_FALSE(m_browser.Evaluate(ChromiumDriver::Css("#host0") + ".readOnly").IsTrue());
    EXPECT_TRUE(m_browser.Evaluate("document.querySelector('fieldset.row button[name=Delete]') !== null").IsTrue());
    EXPECT_TRUE(m_browser.Evaluate("document.querySelector('.badge-system') === null").IsTrue());

    // Write offers the account's address, and the message goes out from it.
    ASSERT_TRUE(Open("View=Compose&New=1"));
    EXPECT_EQ(m_browser.Evaluate(ChromiumDriver::Css("#from") + ".selectedOptions[0].textContent").Text(),
              "\"Demo User\" <demo@localhost>");
    Shot("DemoWrite");
    ASSERT_TRUE(m_browser.Type(ChromiumDriver::Css("#to"), "friend@example.org"));
    ASSERT_TRUE(m_browser.Type(ChromiumDriver::Css("#subject"), "Hello from the demo"));
    ASSERT_TRUE(SetValue(ChromiumDriver::Css("#body"), "It works."));
    ASSERT_TRUE(ClickThrough(ChromiumDriver::Css("button[name=SendNow]"), NewPage("!document.querySelector('#body')")))
            << Text();
    ASSERT_TRUE(WaitUntil([&] { return sink.HasReceived("message1.data") && sink.HasReceived("message1.envelope"); }))
            << sink.Errors();
    EXPECT_NE(sink.Received("message1.envelope").find("demo@localhost"), std::string::npos)
            << sink.Received("message1.envelope");
    EXPECT_NE(sink.Received("message1.data").find("Subject: Hello from the demo"), std::string::npos);
}

TEST_F(FirstStepsPageTest, ANewFolderShowsInTheFolderListAtOnce)
{
    ASSERT_NO_FATAL_FAILURE(StartAndLogOn());
    ASSERT_TRUE(OpenInFrames("Options-Folders", "#newfolder"));
    const std::string listed = FrameDocument("nav") + ".querySelector('a[data-folder=\"Receipts\"]')";
    ASSERT_TRUE(m_browser.Evaluate("!" + listed).IsTrue());
    ASSERT_TRUE(m_browser.Type(ChromiumDriver::InFrame("content", "#newfolder"), "Receipts")) << m_browser.Error();
    ASSERT_TRUE(ClickThrough(InContent("button[name=Create]"),
                             NewContent(InContent("table") + ".innerText.includes('Receipts')")))
            << ContentText();
    EXPECT_TRUE(m_browser.WaitFor("!!(" + listed + ") && " + FrameDocument("nav") + ".readyState === 'complete'"))
            << m_browser.Evaluate(FrameDocument("nav") + ".body.innerText").Text();
    // The folder list shows it (laid out and painted), not only holds it.
    EXPECT_TRUE(m_browser.Evaluate(listed + ".getBoundingClientRect().width > 0").IsTrue());
    EXPECT_TRUE(
            m_browser.Evaluate("new Promise(r => requestAnimationFrame(() => requestAnimationFrame(() => r(true))))")
                    .IsTrue());
    Shot("NewFolderListed");
}

// The List page of a user with a message of a few bytes and one of about 3 KB, sent on two days.
class FirstStepsListTest : public FirstStepsPageTest {
protected:
    void SetUp() override
    {
        FirstStepsPageTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        store::MessageIndex index(m_install.Path(std::string("Users/") + kDemoUser));
        ASSERT_NE(store::StoreMessageLines(index, "Inbox",
                                           {"From: Ann <ann@example.org>", "Subject: Tiny",
                                            "Date: Tue, 03 Nov 2026 10:00:00 +0000", "", "Hi."}),
                  nullptr);
        ASSERT_NE(store::StoreMessageLines(index, "Inbox",
                                           {"From: Bob <bob@example.org>", "Subject: Longer",
                                            "Date: Thu, 05 Nov 2026 10:00:00 +0000", "", std::string(3000, 'x')}),
                  nullptr);
        index.MarkDirty();
        ASSERT_TRUE(index.Save());
    }

    // The text of the cells of the content frame's message table of class column, in row order.
    std::string Column(const std::string& column)
    {
        return m_browser
                .Evaluate("Array.from(" + FrameDocument("content") + ".querySelectorAll('table.messages td." + column +
                          "')).map(c => c.innerText.trim()).join('|')")
                .Text();
    }

    // Clicks the heading of the Date column and waits for the list in that order.
    bool SortByDateHeading(const std::string& subjects)
    {
        return ClickThrough(InContent("th.date a:not(.rev)"),
                            NewContent(InContent("table.messages")) + " && " + Quoted(subjects) +
                                    " === " + "Array.from(" + FrameDocument("content") +
                                    ".querySelectorAll('table.messages td.subject')).map(c => c.innerText.trim())"
                                    ".join('|')");
    }
};

TEST_F(FirstStepsListTest, ASizeUnderHalfAKilobyteShowsAsUnderOneKilobyte)
{
    ASSERT_NO_FATAL_FAILURE(StartAndLogOn());
    ASSERT_TRUE(m_browser.WaitFor(InContent("table.messages") + " !== null")) << ContentText();
    ASSERT_EQ(Column("subject"), "Longer|Tiny");
    EXPECT_EQ(Column("size"), "3\u00a0KB|<\u00a01\u00a0KB");
    Shot("ListSizes");

    // The Message page of the small one says so too.
    const std::string tiny = "Array.from(" + FrameDocument("content") +
                             ".querySelectorAll('td.subject a')).find(a => a.textContent === 'Tiny')";
    ASSERT_TRUE(ClickThrough(tiny, NewContent(InContent("dl"))));
    EXPECT_EQ(m_browser.Evaluate(InContent("dl .size-kb") + ".innerText").Text(), "<\u00a01\u00a0KB");
}

TEST_F(FirstStepsListTest, TheHeadingOfTheSortedColumnSortsItTheOtherWay)
{
    ASSERT_NO_FATAL_FAILURE(StartAndLogOn());
    ASSERT_TRUE(m_browser.WaitFor(InContent("table.messages") + " !== null")) << ContentText();
    // Newest first: the list's first order.
    ASSERT_EQ(Column("subject"), "Longer|Tiny");
    ASSERT_TRUE(SortByDateHeading("Tiny|Longer")) << Column("subject");
    EXPECT_NE(UserIni().find("ListSortOrder=Date"), std::string::npos) << UserIni();
    ASSERT_TRUE(SortByDateHeading("Longer|Tiny")) << Column("subject");
    Shot("ListSortedBack");
}

TEST_F(FirstStepsListTest, AGermanPageShowsGermanDates)
{
    AddToUserIni("Lang=de\r\n");
    ASSERT_NO_FATAL_FAILURE(StartAndLogOn());
    ASSERT_TRUE(m_browser.WaitFor(InContent("table.messages") + " !== null")) << ContentText();
    ASSERT_EQ(m_browser.Evaluate(FrameDocument("content") + ".documentElement.lang").Text(), "de");
    const std::string dates = Column("date");
    EXPECT_TRUE(std::regex_match(dates, std::regex(R"(0[45]\.11\. \d\d:\d\d\|0[23]\.11\. \d\d:\d\d)"))) << dates;
    Shot("ListGermanDates");

    ASSERT_TRUE(ClickThrough(InContent("td.subject a"), NewContent(InContent("dl"))));
    const std::string shown = ContentText();
    EXPECT_TRUE(std::regex_search(shown, std::regex(R"(0[45]\.11\.2026 \d\d:\d\d:\d\d)"))) << shown;
}

} // namespace
} // namespace qm::test
