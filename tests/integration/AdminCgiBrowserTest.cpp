// The web administration driven like an administrator in headless Chromium: the main web server with the engine
// library and the admin web server with the administration program on one installation. A web-mail user logs on in
// the same browser; the status page shows the running engine and the live session, which the Kill button ends; an
// account is created, edited, disabled and deleted through the forms; an INI edit changes exactly the submitted
// keys; text files come back byte for byte; forged forms with hostile user names or a save of a read-only file are
// refused. Screenshots go to the build tree.
#include "common/Scrambler.h"
#include "tests/integration/AdminMailInstallation.h"
#include "testsupport/ChromiumDriver.h"
#include "testsupport/TempDir.h"
#include "testsupport/WaitUntil.h"

#include <gmock/gmock.h>

#include <filesystem>
#include <optional>
#include <sstream>
#include <string>

namespace qm::test {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kAdminPassword = "Adm1n-pw";
constexpr const char* kToken = "00112233445566778899aabbccddeeff";

// Text files the editor offers: one with LF line ends, one with CR LF, one without a last line end; all with
// characters that HTML would take as markup.
const std::string kNotesLf = "Welcome & <b>hello</b> &amp; \"quoted\"\n\tindented gr\xc3\xbc\xc3\x9f"
                             "e\n\n</TEXTAREA>x\n";
const std::string kNotesCrLf = "first line\r\nsecond & <i>line</i>\r\n\r\n";
const std::string kNotesOpen = "\nstarts with a blank line and has no end";
const std::string kFixed = "read-only text\n";
const std::string kHostileAddress = "<img src=x onerror=alert('address')>@example.org";

class AdminCgiBrowserTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!ChromiumDriver::Available()) {
            GTEST_SKIP() << "chromium is not installed (scripts/deps installs it)";
        }
        const fs::path data = fs::path(QM_SOURCE_DIR) / "data" / "AdminCGI";
        Install().WriteFile("cgi-bin/FileList.dat", TempDir::ReadFile(data / "FileList.dat") +
                                                            "File=$DIR$/NotesLf.txt, Notes with LF\n"
                                                            "File=$DIR$/NotesCrLf.txt, Notes with CR LF\n"
                                                            "File=$DIR$/NotesOpen.txt, Notes without a last line end\n"
                                                            "File=$DIR$/Fixed.txt, Fixed text, READONLY\n");
        Install().WriteFile("NotesLf.txt", kNotesLf);
        Install().WriteFile("NotesCrLf.txt", kNotesCrLf);
        Install().WriteFile("NotesOpen.txt", kNotesOpen);
        Install().WriteFile("Fixed.txt", kFixed);
        // The demo user's own address, as a user sets it on the options page: markup that must stay text.
        Install().WriteFile(std::string("Users/") + kDemoUser + "/User.ini",
                            std::string("[User]\r\nPassword=-") + kDemoPassword + "\r\nFullName=Demo User\r\n" +
                                    "[MailHost1]\r\nMailbox=Inbox\r\nDefault=Yes\r\nEMail=" + kHostileAddress + "\r\n");
        ASSERT_NO_FATAL_FAILURE(m_servers.Start(kAdminPassword));
        ASSERT_TRUE(m_browser.Start()) << m_browser.Error();
        // The administrator's log-on, sent with every request as a browser does once it has asked for it.
        const std::string credentials = Base64Encode(std::string("admin:") + kAdminPassword);
        ASSERT_TRUE(
                m_browser
                        .Send("Network.setExtraHTTPHeaders", {{"headers", {{"Authorization", "Basic " + credentials}}}})
                        .Ok)
                << m_browser.Error();
    }

    void TearDown() override
    {
        m_servers.Stop();
        // A page of the administration never opens a dialog, throws or logs an error.
        for (const DialogRecord& dialog : m_browser.Dialogs()) {
            ADD_FAILURE() << "a dialog: " << dialog.Type << " " << dialog.Message << " on " << dialog.Url;
        }
        for (const ConsoleRecord& entry : m_browser.Console()) {
            EXPECT_TRUE(entry.Level != "error" || entry.Text.find("favicon") != std::string::npos)
                    << entry.Source << ": " << entry.Text;
        }
    }

    TestInstallation& Install() { return m_servers.Install(); }

    std::string AdminUrl(const std::string& query) const { return m_servers.AdminUrl(query); }

    // Opens an admin page; false (with the driver's error recorded as a failure) when it did not load.
    bool Open(const std::string& query)
    {
        const bool loaded = m_browser.Navigate(AdminUrl(query));
        EXPECT_TRUE(loaded) << m_browser.Error();
        return loaded;
    }

    // Clicks the element and waits for the page that the click loads.
    bool ClickAndLoad(const std::string& element)
    {
        const int loads = m_browser.LoadCount();
        const bool done = m_browser.Click(element) && m_browser.WaitForLoad(loads);
        EXPECT_TRUE(done) << element << ": " << m_browser.Error();
        return done;
    }

    std::string PageText() { return m_browser.Evaluate("document.body ? document.body.innerText : ''").Text(); }

    std::string StatusText()
    {
        return m_browser.Evaluate("(document.querySelector('.status') || {}).textContent || ''").Text();
    }

    // The colour and weight of the status message's text.
    std::string StatusLook()
    {
        return m_browser
                .Evaluate("(s => s.color + ' ' + s.fontWeight)(getComputedStyle(document.querySelector('.status')))")
                .Text();
    }

    bool Has(const std::string& selector)
    {
        return m_browser.Evaluate(ChromiumDriver::Css(selector) + " !== null").IsTrue();
    }

    void Shot(const std::string& name)
    {
        const std::string path = std::string(QM_SCREENSHOT_DIR) + "/AdminBrowser" + name + ".png";
        fs::remove(path);
        ASSERT_TRUE(m_browser.Screenshot(path)) << m_browser.Error();
        const std::string bytes = TempDir::ReadFile(path);
        EXPECT_TRUE(bytes.size() > 1000 && bytes.compare(0, 8, "\x89PNG\r\n\x1a\n") == 0) << path;
    }

    // Opens a listed file's editor from the settings files page by clicking its link.
    bool OpenFromList(const std::string& fileName)
    {
        if (!Open("View=FileList")) {
            return false;
        }
        const std::string link =
                "[...document.querySelectorAll('a')].find(a => a.textContent === " + nlohmann::json(fileName).dump() +
                ")";
        return ClickAndLoad(link);
    }

    std::string UserIni(const std::string& user) { return Install().ReadFile("Users/" + user + "/User.ini"); }

    AdminMailInstallation m_servers{kToken};
    PageInstallation& m_pages = m_servers.Pages();
    ChromiumDriver m_browser;
};

TEST_F(AdminCgiBrowserTest, StatusPageShowsTheEngineAndKillEndsALiveSession)
{
    // A web-mail user logs on in the same browser, through the logon form, and stays logged on.
    ASSERT_TRUE(m_browser.Navigate(m_pages.MailUrl())) << m_browser.Error();
    ASSERT_TRUE(m_browser.Type(ChromiumDriver::Css("input[name=User]"), kDemoUser)) << m_browser.Error();
    ASSERT_TRUE(m_browser.Type(ChromiumDriver::Css("input[name=Password]"), kDemoPassword)) << m_browser.Error();
    const int loads = m_browser.LoadCount();
    ASSERT_TRUE(m_browser.PressEnter()) << m_browser.Error();
    ASSERT_TRUE(m_browser.WaitForLoad(loads)) << m_browser.Error();
    const std::string frameSet = m_browser.Evaluate("document.documentElement.outerHTML").Text();
    const std::string id = FindSessionId(frameSet);
    ASSERT_EQ(id.size(), 7u) << frameSet;
    ASSERT_NO_FATAL_FAILURE(Shot("MailLoggedOn"));

    ASSERT_TRUE(Open("View=QMAdmin"));
    const std::string started =
            m_browser
                    .Evaluate("[...document.querySelectorAll('tr')].find(r => r.querySelector('th') &&"
                              " r.querySelector('th').textContent === 'Started').querySelector('td').textContent")
                    .Text();
    EXPECT_THAT(started, Not(HasSubstr("isn't running"))) << PageText();
    EXPECT_THAT(started, Not("")) << PageText();
    EXPECT_THAT(PageText(), HasSubstr("1 of at most"));
    const std::string kill = ChromiumDriver::Css("input[name=\"Kill:" + id + "\"]");
    ASSERT_TRUE(m_browser.Evaluate(kill + " !== null").IsTrue()) << PageText();
    EXPECT_THAT(PageText(), HasSubstr(kDemoUser));
    // The user's address is shown as text; its markup never runs.
    EXPECT_THAT(PageText(), HasSubstr(kHostileAddress));
    EXPECT_FALSE(Has("img"));
    EXPECT_THAT(m_browser.Dialogs(), ::testing::IsEmpty());
    ASSERT_NO_FATAL_FAILURE(Shot("Sessions"));

    ASSERT_TRUE(ClickAndLoad(kill));
    EXPECT_THAT(StatusText(), Not(HasSubstr("refused")));
    // The main server's maintenance round removes the session; the page's Refresh link shows it gone.
    EXPECT_TRUE(WaitUntil([&] {
        return ClickAndLoad("[...document.querySelectorAll('a')].find(a => a.textContent === 'Refresh')") &&
               !m_browser.Evaluate(kill + " !== null").IsTrue();
    })) << PageText();
    EXPECT_THAT(PageText(), HasSubstr("0 of at most"));
    ASSERT_NO_FATAL_FAILURE(Shot("SessionKilled"));

    // The user's next page is the logon form again.
    ASSERT_TRUE(m_browser.Navigate(m_pages.MailUrl("View=Main&Session=" + id))) << m_browser.Error();
    EXPECT_TRUE(m_browser.WaitFor(ChromiumDriver::Css("input[name=Password]") + " !== null")) << PageText();
}

TEST_F(AdminCgiBrowserTest, AccountIsCreatedEditedDisabledAndDeletedThroughTheForms)
{
    ASSERT_TRUE(Open("View=NewUser"));
    ASSERT_TRUE(m_browser.Type(ChromiumDriver::Css("#name"), "carol")) << m_browser.Error();
    ASSERT_TRUE(m_browser.Type(ChromiumDriver::Css("#pass"), "s3cret")) << m_browser.Error();
    ASSERT_TRUE(m_browser.Type(ChromiumDriver::Css("#full"), "Carol <img src=x onerror=alert('name')>"))
            << m_browser.Error();
    ASSERT_TRUE(m_browser.Type(ChromiumDriver::Css("#mail"), "carol@example.org")) << m_browser.Error();
    ASSERT_NO_FATAL_FAILURE(Shot("NewUser"));
    // Enter in the last field submits the form as its first submit button would.
    const int loads = m_browser.LoadCount();
    ASSERT_TRUE(m_browser.PressEnter()) << m_browser.Error();
    ASSERT_TRUE(m_browser.WaitForLoad(loads)) << m_browser.Error();
    EXPECT_EQ(StatusText(), "Account created for carol.");
    // A success reads unlike a failure: not the red bold of an error.
    EXPECT_EQ(m_browser.Evaluate("document.querySelector('.status').className").Text(), "status status-done");
    const std::string doneLook = StatusLook();
    ASSERT_TRUE(Has("input[name=\"Disable:carol\"]")) << PageText();
    // The full name is text on the page, not markup.
    EXPECT_THAT(PageText(), HasSubstr("Carol <img src=x onerror=alert('name')>"));
    EXPECT_FALSE(Has("img"));
    ASSERT_THAT(UserIni("carol"), Not(""));
    ASSERT_NO_FATAL_FAILURE(Shot("Users"));

    // Edit: the account's settings form; a new key through the box for new keys.
    ASSERT_TRUE(ClickAndLoad(ChromiumDriver::Css("input[name=\"Edit:carol\"]")));
    ASSERT_TRUE(Has("textarea[name=\"User:NewKeys\"]")) << PageText();
    EXPECT_EQ(m_browser.Evaluate("document.querySelector('h2').textContent").Text(), "Edit carol");
    ASSERT_TRUE(m_browser.Type(ChromiumDriver::Css("textarea[name=\"User:NewKeys\"]"), "Note=hello there"));
    ASSERT_NO_FATAL_FAILURE(Shot("EditUser"));
    const std::string before = UserIni("carol");
    ASSERT_TRUE(ClickAndLoad(ChromiumDriver::Css("input[name=Save]")));
    EXPECT_THAT(PageText(), HasSubstr("Changes saved."));
    // The new key is added and every other line (the scrambled password too) stays as it was.
    const std::string after = UserIni("carol");
    EXPECT_THAT(after, HasSubstr("Note=hello there"));
    std::istringstream lines(before);
    for (std::string line; std::getline(lines, line);) {
        EXPECT_THAT(after, HasSubstr(line + "\n"));
    }
    EXPECT_EQ(after.size(), before.size() + std::string("Note=hello there\r\n").size()) << after;

    // Disable, then the button offers Enable; delete, and the account and its directory are gone.
    ASSERT_TRUE(Open("View=Users"));
    ASSERT_TRUE(ClickAndLoad(ChromiumDriver::Css("input[name=\"Disable:carol\"]")));
    EXPECT_TRUE(Has("input[name=\"Enable:carol\"]")) << PageText();
    EXPECT_THAT(UserIni("carol"), HasSubstr("Active=No"));
    ASSERT_TRUE(ClickAndLoad(ChromiumDriver::Css("input[name=\"Enable:carol\"]")));
    EXPECT_THAT(UserIni("carol"), HasSubstr("Active=Yes"));
    ASSERT_TRUE(ClickAndLoad(ChromiumDriver::Css("input[name=\"Delete:carol\"]")));
    EXPECT_FALSE(Has("input[name=\"Edit:carol\"]")) << PageText();
    EXPECT_FALSE(fs::exists(Install().Dir() / "Users" / "carol"));
    EXPECT_TRUE(fs::exists(Install().Dir() / "Users" / kDemoUser));

    // A form without the installation's token is refused, and the refusal shows as an error.
    ASSERT_TRUE(Open("View=NewUser&CreateUser=1&Name=dave"));
    EXPECT_THAT(StatusText(), HasSubstr("Request refused"));
    EXPECT_EQ(m_browser.Evaluate("document.querySelector('.status').className").Text(), "status status-error");
    EXPECT_NE(StatusLook(), doneLook);
    ASSERT_NO_FATAL_FAILURE(Shot("Refused"));
}

TEST_F(AdminCgiBrowserTest, IniEditChangesExactlyTheSubmittedKeys)
{
    ASSERT_TRUE(OpenFromList("Quillmail.ini"));
    // Read after the first request: the admin web server stores its plain log-on password scrambled then.
    const std::string before = TempDir::ReadFile(Install().IniPath());
    ASSERT_THAT(before, HasSubstr("\r\nLogLevel=1\r\n"));
    const std::string level = ChromiumDriver::Css("input[name=\"General:LogLevel\"]");
    ASSERT_EQ(m_browser.Evaluate(level + ".value").Text(), "1") << PageText();
    EXPECT_EQ(m_browser.Evaluate("document.querySelector('h2').textContent").Text(), "Edit " + Install().IniPath());
    ASSERT_TRUE(m_browser.Type(level, "3")) << m_browser.Error();
    ASSERT_NO_FATAL_FAILURE(Shot("EditIni"));
    ASSERT_TRUE(ClickAndLoad(ChromiumDriver::Css("input[name=Save]")));
    EXPECT_THAT(PageText(), HasSubstr("Changes saved."));
    std::string expected = before;
    expected.replace(expected.find("\r\nLogLevel=1\r\n"), 14, "\r\nLogLevel=3\r\n");
    EXPECT_EQ(TempDir::ReadFile(Install().IniPath()), expected);
    // The form shows the saved value.
    EXPECT_EQ(m_browser.Evaluate(level + ".value").Text(), "3");
}

TEST_F(AdminCgiBrowserTest, TextFilesComeBackByteForByte)
{
    struct Case {
        const char* Name;
        const std::string& Bytes;
    };

    for (const Case& c :
         {Case{"NotesLf.txt", kNotesLf}, Case{"NotesCrLf.txt", kNotesCrLf}, Case{"NotesOpen.txt", kNotesOpen}}) {
        SCOPED_TRACE(c.Name);
        ASSERT_TRUE(OpenFromList(c.Name));
        const std::string area = ChromiumDriver::Css("textarea[name=Content]");
        ASSERT_TRUE(Has("textarea[name=Content]")) << PageText();
        // The text area holds the file's text (its API gives LF for every line end).
        std::string shown = c.Bytes;
        for (std::size_t at; (at = shown.find("\r\n")) != std::string::npos;) {
            shown.erase(at, 1);
        }
        EXPECT_EQ(m_browser.Evaluate(area + ".value").Text(), shown);
        ASSERT_TRUE(ClickAndLoad(ChromiumDriver::Css("input[name=Save]")));
        EXPECT_THAT(PageText(), HasSubstr("Changes saved."));
        EXPECT_EQ(Install().ReadFile(c.Name), c.Bytes);
    }
    ASSERT_NO_FATAL_FAILURE(Shot("EditText"));

    // An edit typed into the text area is saved as typed.
    ASSERT_TRUE(OpenFromList("NotesLf.txt"));
    ASSERT_TRUE(m_browser.Type(ChromiumDriver::Css("textarea[name=Content]"), "replaced <text>\n"));
    ASSERT_TRUE(ClickAndLoad(ChromiumDriver::Css("input[name=Save]")));
    EXPECT_EQ(Install().ReadFile("NotesLf.txt"), "replaced <text>\n");
}

TEST_F(AdminCgiBrowserTest, ForgedFormsWithHostileNamesOrAReadOnlySaveAreRefused)
{
    // Accounts that a traversal would reach: the parent of the user directory, and a nested directory.
    fs::create_directories(Install().Dir() / "Users" / "a" / "b");
    Install().WriteFile("Users/a/b/User.ini", "[User]\r\nActive=Yes\r\n");
    const std::string demoIni = UserIni(kDemoUser);
    for (const std::string hostile :
         {"Delete:..", "Delete:a/b", "Disable:a/b", "Disable:../demo", "Edit:..", "Delete:"}) {
        SCOPED_TRACE(hostile);
        ASSERT_TRUE(Open("View=Users"));
        // The page's own Disable button, renamed as a forged page would name it.
        const std::string quoted = nlohmann::json(hostile).dump();
        ASSERT_TRUE(
                m_browser.Evaluate(ChromiumDriver::Css("input[name=\"Disable:demo\"]") + ".name = " + quoted + ", true")
                        .IsTrue());
        ASSERT_TRUE(ClickAndLoad(ChromiumDriver::Css("input[name=" + quoted + "]")));
        EXPECT_EQ(StatusText(), "Invalid user name!") << PageText();
        EXPECT_TRUE(fs::exists(Install().Dir() / "Users" / "a" / "b" / "User.ini"));
        EXPECT_EQ(Install().ReadFile("Users/a/b/User.ini"), "[User]\r\nActive=Yes\r\n");
        EXPECT_EQ(UserIni(kDemoUser), demoIni);
        EXPECT_TRUE(fs::exists(Install().IniPath()));
    }

    // The account editor's hidden field pointed outside the user directory.
    ASSERT_TRUE(Open("View=EditFile&EditUser=demo"));
    ASSERT_TRUE(m_browser.Evaluate(ChromiumDriver::Css("input[name=EditUser]") + ".value = '..', true").IsTrue());
    ASSERT_TRUE(ClickAndLoad(ChromiumDriver::Css("input[name=Save]")));
    EXPECT_THAT(PageText(), HasSubstr("Unable to load User.ini for editing!"));
    EXPECT_EQ(UserIni(kDemoUser), demoIni);

    // A read-only file shows no Save button; a form forged with one and a text area saves nothing.
    ASSERT_TRUE(OpenFromList("Fixed.txt"));
    EXPECT_FALSE(Has("input[name=Save]"));
    EXPECT_THAT(PageText(), HasSubstr("read-only text"));
    ASSERT_TRUE(m_browser
                        .Evaluate("(() => { const f = document.querySelector('form');"
                                  " const t = document.createElement('textarea'); t.name = 'Content';"
                                  " t.value = 'overwritten'; f.appendChild(t);"
                                  " const s = document.createElement('input'); s.type = 'submit'; s.name = 'Save';"
                                  " s.value = 'Save'; f.appendChild(s); return true; })()")
                        .IsTrue());
    ASSERT_TRUE(ClickAndLoad(ChromiumDriver::Css("input[name=Save]")));
    EXPECT_THAT(PageText(), HasSubstr("This file is read-only: nothing was saved."));
    EXPECT_EQ(Install().ReadFile("Fixed.txt"), kFixed);
    ASSERT_NO_FATAL_FAILURE(Shot("ReadOnlyRefused"));

    // A file that is not listed, by a traversing spelling of a listed one.
    const std::string ini = TempDir::ReadFile(Install().IniPath());
    ASSERT_TRUE(Open("View=EditFile&File=" + Install().Dir().string() + "/cgi-bin/../Fixed.txt"));
    EXPECT_THAT(PageText(), HasSubstr("Unable to Load File for Editing!"));
    // A page name that is not one of the pages gives the home page.
    ASSERT_TRUE(Open("View=..%2FTemplates%2FUsers"));
    EXPECT_EQ(m_browser.Evaluate("document.title").Text(), "Quillmail administration: Home");
    EXPECT_EQ(TempDir::ReadFile(Install().IniPath()), ini);
}

} // namespace
} // namespace qm::test
