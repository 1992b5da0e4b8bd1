// Reading mail end to end in headless Chromium: dovecot holds the demo user's mail on its POP3 account, the user
// logs on through the Logon form, the List page shows the Redirect page while the mail is fetched and then the
// messages, a message opens, its attachment downloads, and messages move between folders and to the trash.
// Screenshots of each step go to QM_SCREENSHOT_DIR.
#include "store/demo/DemoMailbox.h"
#include "tests/pages/PageInstallation.h"
#include "testsupport/ChromiumDriver.h"
#include "testsupport/DovecotServer.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace qm::test {
namespace {

namespace fs = std::filesystem;

constexpr const char* kPopPassword = "pop-secret";

// The document of a frame of the Main page.
std::string FrameDocument(const std::string& frame)
{
    return "document.querySelector('frame[name=" + frame + "]').contentDocument";
}

// The first element of the content frame matching selector whose text holds text.
std::string ContentElementWithText(const std::string& selector, const std::string& text)
{
    return "Array.from(" + FrameDocument("content") + ".querySelectorAll('" + selector +
           "')).find(e => e.textContent.includes('" + text + "'))";
}

class ReadingMailTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const std::string missing = MissingBrowserOrPop3Server(); !missing.empty()) {
            GTEST_SKIP() << missing;
        }
        ASSERT_EQ(m_pop.Prepare(), "");
        int n = 0;
        for (const store::demo::DemoMessage& message : store::demo::DemoMessages(std::time(nullptr))) {
            if (message.Folder != "Inbox") {
                continue;
            }
            std::string text;
            for (const std::string& line : message.Lines) {
                text += line + "\n";
            }
            ASSERT_TRUE(m_pop.AddMessage("demo" + std::to_string(++n), text));
        }
        m_messagesOnServer = n;
        ASSERT_EQ(m_pop.Start(), "");

        // The demo user's own POP3 account on that server (not the domain's system mailbox), and a folder of his.
        m_install.Web().WriteFile("Domains.Ini", "[Default:Settings]\r\nDefaultDomain=\r\nAutoAccountCreation=No\r\n"
                                                 "SyncSystemMailbox=No\r\n");
        const std::string ini = std::string("Users/") + kDemoUser + "/User.ini";
        std::ostringstream account;
        account << TempDir::ReadFile(m_install.Path(ini)) << "[MailHost1]\r\nMailbox=Office\r\nFullName=Demo User\r\n"
                << "EMail=demo@quillmail.example\r\nHost=127.0.0.1\r\nPort=" << m_pop.Port()
                << "\r\nUser=" << m_pop.User() << "\r\nPass=-" << kPopPassword
                << "\r\nDefault=Yes\r\nActive=Yes\r\nDelete=0\r\n";
        m_install.Web().WriteFile(ini, account.str());
        fs::create_directories(m_install.Path(std::string("Users/") + kDemoUser + "/" + store::demo::kDemoFolder));
        ASSERT_TRUE(m_install.Start()) << m_install.Server().Errors();

        m_shots = ScreenshotDir(QM_SCREENSHOT_DIR);
        fs::create_directories(m_shots);
        ASSERT_TRUE(m_browser.Start()) << m_browser.Error();
    }

    void TearDown() override
    {
        EXPECT_TRUE(m_install.Stop());
        m_pop.Stop();
    }

    void Shot(const std::string& name)
    {
        const std::string path = m_shots + "/Reading-" + name + ".png";
        fs::remove(path);
        EXPECT_TRUE(m_browser.Screenshot(path)) << m_browser.Error();
        EXPECT_TRUE(IsPng(path)) << path;
    }

    // Marks the content frame's page, runs act, and waits until a new page there satisfies condition.
    bool InNewContentPage(const std::function<bool()>& act, const std::string& condition)
    {
        const std::string doc = FrameDocument("content");
        if (!m_browser.Evaluate("(" + doc + ".body.dataset.seen = '1')").Ok || !act()) {
            return false;
        }
        return m_browser.WaitFor("(" + doc + ".readyState === 'complete' && !" + doc + ".body.dataset.seen && (" +
                                         condition + "))",
                                 std::chrono::seconds(60));
    }

    std::string ContentText() { return m_browser.Evaluate(FrameDocument("content") + ".body.innerText").Text(); }

    int ListedMessages()
    {
        return m_browser.Evaluate(FrameDocument("content") + ".querySelectorAll('table.messages tbody tr').length")
                .Value.get<int>();
    }

    TempDir m_dir;
    DovecotServer m_pop{m_dir.Path(), "demo", kPopPassword};
    int m_messagesOnServer = 0;
    PageInstallation m_install;
    ChromiumDriver m_browser;
    std::string m_shots;
};

TEST_F(ReadingMailTest, TheUserLogsOnReadsAMessageDownloadsItsAttachmentAndFilesMessages)
{
    // The Logon form, typed and submitted like a user does.
    ASSERT_TRUE(m_browser.Navigate(m_install.MailUrl())) << m_browser.Error();
    Shot("Logon");
    ASSERT_TRUE(m_browser.Type(ChromiumDriver::Css("#user"), kDemoUser)) << m_browser.Error();
    ASSERT_TRUE(m_browser.Type(ChromiumDriver::Css("#password"), kDemoPassword)) << m_browser.Error();
    const int loads = m_browser.LoadCount();
    ASSERT_TRUE(m_browser.PressEnter()) << m_browser.Error();
    ASSERT_TRUE(m_browser.WaitForLoad(loads)) << m_browser.Error();
    ASSERT_TRUE(m_browser.WaitFor("document.querySelector('frameset') !== null")) << m_browser.BrowserLog();
    EXPECT_EQ(m_browser.Evaluate("location.href").Text().find("Password"), std::string::npos)
            << "the password went into the address";

    // The content frame shows the Redirect page while the mail is fetched, then the inbox with the messages.
    const std::string doc = FrameDocument("content");
    ASSERT_TRUE(m_browser.WaitFor(doc + ".querySelector('.waiting') !== null || " + doc +
                                  ".querySelector('table.messages') !== null"))
            << m_browser.BrowserLog();
    // The Redirect page stays for the server's RedirectWait (2 s) before it asks for the List page again.
    EXPECT_TRUE(m_browser.Evaluate(doc + ".querySelector('.waiting') !== null").IsTrue()) << ContentText();
    Shot("Redirect");
    ASSERT_TRUE(m_browser.WaitFor(
            doc + ".querySelectorAll('table.messages tbody tr').length === " + std::to_string(m_messagesOnServer),
            std::chrono::seconds(60)))
            << ContentText();
    EXPECT_EQ(m_browser.Evaluate(doc + ".querySelector('h1').textContent").Text(), EnglishMessage(2));
    const std::string inbox = ContentText();
    EXPECT_NE(inbox.find("Agenda and a picture for Thursday"), std::string::npos) << inbox;
    EXPECT_NE(inbox.find("Grüße aus Köln"), std::string::npos) << inbox;
    // The folder list, loaded before the mail came, catches up: three unread messages in the inbox.
    const std::string inboxCount = FrameDocument("nav") + ".querySelector(\"a[data-folder='Inbox'] .count\")";
    EXPECT_TRUE(m_browser.WaitFor(inboxCount + " !== null && " + inboxCount + ".firstChild.textContent === '" +
                                  std::to_string(m_messagesOnServer) + "'"))
            << m_browser.Evaluate(FrameDocument("nav") + ".body.innerHTML").Text();
    Shot("List");

    // A message opens; its attachment downloads.
    ASSERT_TRUE(InNewContentPage([&] { return m_browser.Click(ContentElementWithText("td.subject a", "Agenda")); },
                                 doc + ".querySelector('h1.message-subject') !== null"))
            << ContentText();
    const std::string message = ContentText();
    EXPECT_NE(message.find("the agenda for Thursday is attached"), std::string::npos) << message;
    EXPECT_NE(message.find("alice@example.org"), std::string::npos) << message;
    Shot("Message");
    // Read now, it no longer counts as unread beside.
    EXPECT_TRUE(m_browser.WaitFor(inboxCount + " !== null && " + inboxCount + ".firstChild.textContent === '" +
                                  std::to_string(m_messagesOnServer - 1) + "'"))
            << m_browser.Evaluate(FrameDocument("nav") + ".body.innerHTML").Text();
    ASSERT_TRUE(m_browser.EnableDownloads()) << m_browser.Error();
    EXPECT_EQ(message.find(store::demo::kDemoAttachmentText), std::string::npos) << "the attached text is no body";
    EXPECT_TRUE(m_browser.Evaluate(doc + ".querySelector('a.attachment[href*=\"agenda.txt\"]') !== null").IsTrue())
            << "the attached text is listed";
    ASSERT_TRUE(m_browser.Click(ContentElementWithText("a.attachment", store::demo::kDemoPictureName)))
            << m_browser.Error();
    const std::optional<DownloadRecord> download = m_browser.WaitForDownload();
    ASSERT_TRUE(download.has_value()) << m_browser.Error();
    EXPECT_EQ(fs::path(download->Path).filename().string(), store::demo::kDemoPictureName);
    const std::string picture = TempDir::ReadFile(download->Path);
    EXPECT_EQ(picture.size(), store::demo::kDemoPictureBytes);
    EXPECT_EQ(picture.rfind("\x89PNG\r\n\x1a\n", 0), 0u);

    // Moved to the folder Projects: the page says so and shows the next message.
    ASSERT_TRUE(
            m_browser.Evaluate("(" + doc + ".querySelector('#dest').value = '" + store::demo::kDemoFolder + "')").Ok);
    ASSERT_TRUE(InNewContentPage([&] { return m_browser.Click(doc + ".querySelector('button[name=Move]')"); },
                                 doc + ".querySelector('.notice-status') !== null"))
            << ContentText();
    EXPECT_NE(ContentText().find("Messages moved to Projects: 1"), std::string::npos) << ContentText();
    Shot("Moved");

    // The folder list opens Projects: its name is the heading and the message is there.
    ASSERT_TRUE(InNewContentPage(
            [&] { return m_browser.Click(FrameDocument("nav") + ".querySelector(\"a[href*='Folder=Projects']\")"); },
            doc + ".querySelector('h1') && " + doc + ".querySelector('h1').textContent === 'Projects'"))
            << ContentText();
    EXPECT_EQ(ListedMessages(), 1);
    EXPECT_NE(ContentText().find("Agenda and a picture for Thursday"), std::string::npos) << ContentText();
    EXPECT_TRUE(m_browser.WaitFor(FrameDocument("nav") +
                                  ".querySelector(\"a[aria-current]\")?.getAttribute('data-folder') === 'Projects'"))
            << "the folder list does not mark the folder shown";

    // Ticked and deleted, it goes to the trash, which lists it; Projects is empty and says so.
    ASSERT_TRUE(m_browser.Click(doc + ".querySelector('input[name=Number]')")) << m_browser.Error();
    ASSERT_TRUE(InNewContentPage([&] { return m_browser.Click(doc + ".querySelector('button[name=Delete]')"); },
                                 doc + ".querySelector('h1') !== null"))
            << ContentText();
    const std::string afterDelete = ContentText();
    EXPECT_NE(afterDelete.find("Messages moved to " + EnglishMessage(5) + ": 1"), std::string::npos) << afterDelete;
    EXPECT_NE(afterDelete.find("There are no messages here."), std::string::npos) << afterDelete;
    Shot("Deleted");
    ASSERT_TRUE(InNewContentPage(
            [&] { return m_browser.Click(FrameDocument("nav") + ".querySelector(\"a[href*='Folder=Trash']\")"); },
            doc + ".querySelector('h1') && " + doc + ".querySelector('h1').textContent === '" + EnglishMessage(5) +
                    "'"))
            << ContentText();
    EXPECT_EQ(ListedMessages(), 1);
    EXPECT_NE(ContentText().find("Agenda and a picture for Thursday"), std::string::npos) << ContentText();
    Shot("Trash");

    // No page the browser saw left a tag the engine does not know.
    const std::string log = m_install.EngineLog();
    for (const char* unknown : {"Unable to expand", "Unable to iterate", "Unable to evaluate"}) {
        EXPECT_EQ(log.find(unknown), std::string::npos) << log;
    }
    // The mail stays on the server (the account keeps it), fetched once.
    EXPECT_EQ(m_pop.MessageCount(), m_messagesOnServer);
}

} // namespace
} // namespace qm::test
