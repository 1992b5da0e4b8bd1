// The options pages for mail accounts and filters end to end in headless Chromium: a POP3 account added through the
// Options-Hosts form fetches its mail from dovecot, and a filter made on Options-Filters (and moved with its image
// button) files the mail fetched afterwards into a folder. Screenshots of both pages go to QM_SCREENSHOT_DIR.
#include "tests/pages/PageInstallation.h"
#include "testsupport/ChromiumDriver.h"
#include "testsupport/DovecotServer.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>

namespace qm::test {
namespace {

namespace fs = std::filesystem;

constexpr const char* kPopPassword = "pop-secret";
constexpr const char* kFolder = "Projects";

// The subjects the List page shows, '|' between them.
constexpr const char* kListedSubjects =
        "Array.from(document.querySelectorAll('table.messages td.subject')).map(e => e.textContent.trim()).join('|')";

std::string Message(const std::string& subject)
{
    return "From: Alice <alice@example.org>\nTo: demo@quillmail.example\nSubject: " + subject +
           "\nDate: Mon, 7 Dec 2026 10:00:00 +0000\nMessage-ID: <" + std::to_string(subject.size()) +
           "@example.org>\n\nThe text of " + subject + ".\n";
}

class OptionsMailPageTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const std::string missing = MissingBrowserOrPop3Server(); !missing.empty()) {
            GTEST_SKIP() << missing;
        }
        ASSERT_EQ(m_pop.Prepare(), "");
        ASSERT_EQ(m_pop.Start(), "");
        // The user has no system mailbox: the accounts are only those of the Options-Hosts page.
        m_install.Web().WriteFile("Domains.Ini", "[Default:Settings]\r\nDefaultDomain=\r\nAutoAccountCreation=No\r\n"
                                                 "SyncSystemMailbox=No\r\n");
        fs::create_directories(m_install.Path(UserPath(kFolder)));
        m_shots = ScreenshotDir(QM_SCREENSHOT_DIR);
        fs::create_directories(m_shots);
    }

    void TearDown() override
    {
        EXPECT_TRUE(m_install.Stop());
        m_pop.Stop();
    }

    static std::string UserPath(const std::string& name) { return std::string("Users/") + kDemoUser + "/" + name; }

    // Starts the server and the browser and logs on through the Logon form; the session id.
    std::string StartAndLogOn()
    {
        EXPECT_TRUE(m_install.Start()) << m_install.Server().Errors();
        EXPECT_TRUE(m_browser.Start()) << m_browser.Error();
        EXPECT_TRUE(m_browser.Navigate(m_install.MailUrl())) << m_browser.Error();
        EXPECT_TRUE(m_browser.Type(ChromiumDriver::Css("#user"), kDemoUser)) << m_browser.Error();
        EXPECT_TRUE(m_browser.Type(ChromiumDriver::Css("#password"), kDemoPassword)) << m_browser.Error();
        const int loads = m_browser.LoadCount();
        EXPECT_TRUE(m_browser.PressEnter()) << m_browser.Error();
        EXPECT_TRUE(m_browser.WaitForLoad(loads)) << m_browser.Error();
        EXPECT_TRUE(m_browser.WaitFor("document.querySelector('frame[name=content]') !== null"))
                << m_browser.BrowserLog();
        // The List page of the frames has run its mail work (the options pages wait for the session meanwhile).
        return FindSessionId(
                m_browser.Evaluate("document.querySelector('frame[name=content]').contentWindow.location.href").Text());
    }

    // Opens a page of the session in the whole window.
    void Open(const std::string& id, const std::string& query)
    {
        ASSERT_TRUE(m_browser.Navigate(m_install.MailUrl(query + "&Session=" + id))) << m_browser.Error();
    }

    // Clicks the element and waits for the page it submits to.
    bool Submit(const std::string& element)
    {
        const int loads = m_browser.LoadCount();
        return m_browser.Click(element) && m_browser.WaitForLoad(loads);
    }

    bool SetValue(const std::string& selector, const std::string& value)
    {
        return m_browser.Evaluate("(" + ChromiumDriver::Css(selector) + ".value = '" + value + "')").Ok;
    }

    std::string PageText() { return m_browser.Evaluate("document.body.innerText").Text(); }

    std::string Subjects() { return m_browser.Evaluate(kListedSubjects).Text(); }

    // Opens the List page of the query and waits (through the page shown while mail is fetched) until it lists
    // exactly the subjects given.
    bool Lists(const std::string& id, const std::string& query, const std::string& subjects)
    {
        Open(id, "View=List&" + query);
        return m_browser.WaitFor("document.querySelector('.waiting') === null && " + std::string(kListedSubjects) +
                                         " === '" + subjects + "'",
                                 std::chrono::seconds(60));
    }

    void Shot(const std::string& name)
    {
        const std::string path = m_shots + "/" + name + ".png";
        fs::remove(path);
        EXPECT_TRUE(m_browser.Screenshot(path)) << m_browser.Error();
        EXPECT_TRUE(IsPng(path)) << path;
    }

    TempDir m_dir;
    DovecotServer m_pop{m_dir.Path(), "demo", kPopPassword};
    PageInstallation m_install;
    ChromiumDriver m_browser;
    std::string m_shots;
};

TEST_F(OptionsMailPageTest, AnAccountAddedThroughTheFormFetchesItsMail)
{
    ASSERT_TRUE(m_pop.AddMessage("hello", Message("Hello from the new account")));
    const std::string id = StartAndLogOn();
    ASSERT_FALSE(id.empty());

    Open(id, "View=Options-Hosts");
    EXPECT_EQ(m_browser.Evaluate("document.querySelectorAll('fieldset.row').length").Value.get<int>(), 0);
    for (const auto& [field, text] : {std::pair<std::string, std::string>{"#newmailbox", "Office"},
                                      {"#newname", "Demo User"},
                                      {"#newemail", "demo@quillmail.example"},
                                      {"#newhost", "127.0.0.1"},
                                      {"#newport", std::to_string(m_pop.Port())},
                                      {"#newuser", m_pop.User()},
                                      {"#newpass", kPopPassword},
                                      {"#newsig", "-- \nDemo"}}) {
        ASSERT_TRUE(m_browser.Type(ChromiumDriver::Css(field), text)) << field << ": " << m_browser.Error();
    }
    ASSERT_TRUE(Submit(ChromiumDriver::Css("#addaccount"))) << m_browser.Error();
    ASSERT_TRUE(m_browser.WaitFor("document.querySelector('fieldset.row legend') !== null")) << PageText();
    EXPECT_EQ(m_browser.Evaluate("document.querySelector('fieldset.row legend').textContent").Text(), "Office");
    EXPECT_NE(PageText().find(EnglishMessage(94)), std::string::npos) << PageText();
    EXPECT_EQ(m_browser.Evaluate(ChromiumDriver::Css("#sig0") + ".value").Text(), "-- \nDemo\n");
    Shot("Options-Hosts");
    const std::string ini = TempDir::ReadFile(m_install.Path(UserPath("User.ini")));
    EXPECT_NE(ini.find("Mailbox=Office"), std::string::npos) << ini;
    EXPECT_EQ(ini.find(kPopPassword), std::string::npos) << "the password is stored scrambled";

    EXPECT_TRUE(Lists(id, "Folder=Inbox", "Hello from the new account")) << Subjects() << "\n" << PageText();
    EXPECT_EQ(m_pop.MessageCount(), 1) << "the account keeps the mail on the server";
}

TEST_F(OptionsMailPageTest, AFilterMadeOnThePageFilesTheMailFetchedAfterwards)
{
    std::ostringstream account;
    account << TempDir::ReadFile(m_install.Path(UserPath("User.ini")))
            << "[MailHost1]\r\nMailbox=Office\r\nEMail=demo@quillmail.example\r\nHost=127.0.0.1\r\nPort="
            << m_pop.Port() << "\r\nUser=" << m_pop.User() << "\r\nPass=-" << kPopPassword
            << "\r\nDefault=Yes\r\nActive=Yes\r\nDelete=0\r\n";
    m_install.Web().WriteFile(UserPath("User.ini"), account.str());
    const std::string id = StartAndLogOn();
    ASSERT_FALSE(id.empty());

    // Two rules through the new-rule row; the second then moves up with its image button.
    Open(id, "View=Options-Filters");

    struct Rule {
        const char* What;
        const char* Match;
        const char* Text;
        const char* Folder;
    };

    for (const Rule& rule : {Rule{"S", "S", "[news]", kFolder}, Rule{"F", "C", "nobody@nowhere", "Trash"}}) {
        ASSERT_TRUE(SetValue("#what99", rule.What));
        ASSERT_TRUE(SetValue("#match99", rule.Match));
        ASSERT_TRUE(SetValue("#folder99", rule.Folder));
        ASSERT_TRUE(m_browser.Type(ChromiumDriver::Css("#literal99"), rule.Text)) << m_browser.Error();
        ASSERT_TRUE(Submit(ChromiumDriver::Css(".toolbar button[name=Save]"))) << m_browser.Error();
        EXPECT_NE(PageText().find(EnglishMessage(94)), std::string::npos) << PageText();
    }
    ASSERT_TRUE(Submit(ChromiumDriver::Css("input[type=image][name='FilterUp:2']"))) << m_browser.Error();
    const std::string literals = "Array.from(document.querySelectorAll('input[name^=FilterLiteral]'))"
                                 ".map(e => e.value).join('|')";
    EXPECT_EQ(m_browser.Evaluate(literals).Text(), "nobody@nowhere|[news]|") << PageText();
    EXPECT_EQ(m_browser.Evaluate(ChromiumDriver::Css("#folder2") + ".value").Text(), kFolder);
    Shot("Options-Filters");
    const std::string ini = TempDir::ReadFile(m_install.Path(UserPath("User.ini")));
    EXPECT_NE(ini.find("Filter1=Y S S \"[news]\" \"Projects\""), std::string::npos) << ini;

    // Mail that arrives now: the filtered message goes to the folder, the other one to the inbox.
    ASSERT_TRUE(m_pop.AddMessage("news", Message("[news] Weekly digest")));
    ASSERT_TRUE(m_pop.AddMessage("lunch", Message("Lunch on Friday")));
    // Reload checks the mail again at once, as the Check mail button does.
    EXPECT_TRUE(Lists(id, "Folder=Inbox&Reload=Yes", "Lunch on Friday")) << Subjects() << "\n" << PageText();
    EXPECT_TRUE(Lists(id, std::string("Folder=") + kFolder, "[news] Weekly digest")) << Subjects() << "\n"
                                                                                     << PageText();
}

} // namespace
} // namespace qm::test
