// The Preferences and Address book pages end to end in headless Chromium: the language switched to German reloads
// the whole frame set in German and back; a quota field forged into the Preferences form is refused and changes
// nothing; and an address book entry made on its page is offered in the compose page and a message sent to it
// reaches a real SMTP receiver. Screenshots of the pages go to QM_SCREENSHOT_DIR.
#include "tests/pages/PageInstallation.h"
#include "testsupport/ChromiumDriver.h"
#include "testsupport/SmtpSink.h"
#include "testsupport/TempDir.h"
#include "testsupport/WaitUntil.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

namespace qm::test {
namespace {

namespace fs = std::filesystem;

// The document of a frame of the Main page.
std::string FrameDocument(const std::string& frame)
{
    return "document.querySelector('frame[name=" + frame + "]').contentDocument";
}

// An element of the content frame, as a JavaScript expression.
std::string InContent(const std::string& selector)
{
    return FrameDocument("content") + ".querySelector(" + nlohmann::json(selector).dump() + ")";
}

// The text of a language message up to its first conversion.
std::string MessageStart(int number)
{
    const std::string text = EnglishMessage(number);
    return text.substr(0, text.find('%'));
}

class OptionsPrefsPageTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!ChromiumDriver::Available()) {
            GTEST_SKIP() << "chromium is not installed (scripts/deps installs it)";
        }
        if (SmtpSink::Python().empty()) {
            GTEST_SKIP() << "python3-aiosmtpd is not installed (scripts/deps installs it)";
        }
        ASSERT_EQ(m_sink.Start(), "");
        m_install.SendThrough(m_sink.Port());
        // The administrator's quota for the user.
        std::string ini = TempDir::ReadFile(m_install.Path(UserIniName()));
        const std::size_t section = ini.find("[User]\r\n");
        ASSERT_NE(section, std::string::npos) << ini;
        ini.insert(section + 8, "DiskSpaceQuota=1000\r\n");
        m_install.Web().WriteFile(UserIniName(), ini);
        ASSERT_TRUE(m_install.Start()) << m_install.Server().Errors();
        m_shots = ScreenshotDir(QM_SCREENSHOT_DIR);
        fs::create_directories(m_shots);
        ASSERT_TRUE(m_browser.Start()) << m_browser.Error();
        ASSERT_TRUE(m_browser.Navigate(m_install.MailUrl())) << m_browser.Error();
        m_id = LogOnInBrowser(m_browser);
        ASSERT_FALSE(m_id.empty());
    }

    void TearDown() override
    {
        if (!IsSkipped()) {
            EXPECT_TRUE(m_install.Stop());
        }
    }

    static std::string UserIniName() { return std::string("Users/") + kDemoUser + "/User.ini"; }

    std::string UserIni() const { return TempDir::ReadFile(m_install.Path(UserIniName())); }

    // Opens a page of the session in the whole window.
    bool Open(const std::string& query)
    {
        return m_browser.Navigate(m_install.MailUrl(query + "&Session=" + m_id)) &&
               m_browser.WaitFor("document.readyState === 'complete'");
    }

    // Opens the Preferences page, which puts itself into the frame set, and waits for its form in the content frame.
    bool OpenPreferences()
    {
        return Open("View=Options-Prefs") &&
               m_browser.WaitFor("!!(document.querySelector('frameset') && " + InContent("#userlang") + ")");
    }

    // Marks the window's page and its frames' pages, clicks the element, and waits until a new page satisfies
    // condition (a frame set comes whole, so its frames are new too).
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

    // True once the content frame shows a new page (not marked) that satisfies condition.
    static std::string NewContent(const std::string& condition)
    {
        const std::string doc = FrameDocument("content");
        return "!!(" + doc + ".readyState === 'complete' && " + doc + ".body && !" + doc + ".body.dataset.seen && (" +
               condition + "))";
    }

    // True once the window shows a new page (not marked) that satisfies condition.
    static std::string NewPage(const std::string& condition)
    {
        return "!!(document.readyState === 'complete' && document.body && !document.body.dataset.seen && (" +
               condition + "))";
    }

    std::string ContentText() { return m_browser.Evaluate(FrameDocument("content") + ".body.innerText").Text(); }

    std::string Text() { return m_browser.Evaluate("document.body.innerText").Text(); }

    void Shot(const std::string& name)
    {
        const std::string path = m_shots + "/Options-" + name + ".png";
        fs::remove(path);
        EXPECT_TRUE(m_browser.Screenshot(path)) << m_browser.Error();
        const std::string bytes = TempDir::ReadFile(path);
        EXPECT_TRUE(bytes.size() > 1000 && bytes.compare(0, 8, "\x89PNG\r\n\x1a\n") == 0) << path;
    }

    // Chooses the language in the appearance form and applies it; true once the reloaded frame set shows the
    // Preferences page in the content frame with the heading wanted.
    bool SwitchLanguage(const std::string& code, const std::string& heading)
    {
        const std::string choose = "(" + InContent("#userlang") + ".value = " + nlohmann::json(code).dump() + ", " +
                                   InContent("#userlang") + ".value === " + nlohmann::json(code).dump() + ")";
        if (!m_browser.Evaluate(choose).IsTrue()) {
            return false;
        }
        const std::string button = InContent("#userlang") + ".form.querySelector('button[name=Save]')";
        const std::string frames = "document.querySelector('frameset') && " + NewContent(InContent("#userlang")) +
                                   " && " + InContent("h1") + ".textContent === " + nlohmann::json(heading).dump();
        return ClickThrough(button, frames);
    }

    TempDir m_dir;
    SmtpSink m_sink{m_dir.Path()};
    PageInstallation m_install;
    ChromiumDriver m_browser;
    std::string m_shots;
    std::string m_id;
};

TEST_F(OptionsPrefsPageTest, GermanReloadsTheWholeFrameSetAndEnglishComesBack)
{
    ASSERT_TRUE(OpenPreferences()) << Text();
    ASSERT_TRUE(SwitchLanguage("de", "Einstellungen")) << ContentText();
    EXPECT_EQ(m_browser.Evaluate(FrameDocument("content") + ".documentElement.lang").Text(), "de");
    // The navigation frame was loaded anew with the rest: it speaks German too.
    EXPECT_NE(m_browser.Evaluate(FrameDocument("nav") + ".body.innerText").Text().find("Adressbuch"),
              std::string::npos);
    EXPECT_NE(UserIni().find("Lang=de"), std::string::npos) << UserIni();
    Shot("Prefs-German");

    ASSERT_TRUE(SwitchLanguage("en", "Preferences")) << ContentText();
    EXPECT_NE(m_browser.Evaluate(FrameDocument("nav") + ".body.innerText").Text().find("Address book"),
              std::string::npos);
    EXPECT_EQ(UserIni().find("Lang=de"), std::string::npos) << UserIni();
}

TEST_F(OptionsPrefsPageTest, AForgedQuotaFieldIsRefusedAndChangesNothing)
{
    ASSERT_TRUE(OpenPreferences()) << Text();
    const std::string forge = "(() => { const f = " + InContent("#pass") +
                              ".form; const i = f.ownerDocument.createElement('input'); i.type = 'hidden'; "
                              "i.name = 'USER:DiskSpaceQuota'; i.value = '999999'; f.appendChild(i); "
                              "f.querySelector('#width').value = '80'; return true; })()";
    ASSERT_TRUE(m_browser.Evaluate(forge).IsTrue());
    ASSERT_TRUE(ClickThrough(InContent("#pass") + ".form.querySelector('button[name=Save]')",
                             NewContent(InContent("#pass"))))
            << ContentText();
    const std::string page = ContentText();
    EXPECT_NE(page.find(MessageStart(95) + "USER:DiskSpaceQuota"), std::string::npos) << page;
    const std::string ini = UserIni();
    EXPECT_NE(ini.find("DiskSpaceQuota=1000\r\n"), std::string::npos) << ini;
    EXPECT_EQ(ini.find("999999"), std::string::npos) << ini;
    EXPECT_NE(ini.find("ComposeWidth=80"), std::string::npos) << "the rest of the form is stored: " << ini;
    Shot("Prefs-Refused");
}

TEST_F(OptionsPrefsPageTest, AnAddressBookEntryIsOfferedWhenWritingAndTheMessageReachesIt)
{
    ASSERT_TRUE(Open("View=Options-AddrBook"));
    ASSERT_TRUE(m_browser.Type(ChromiumDriver::Css("input[name='AddrName:new']"), "Zoe Book")) << m_browser.Error();
    ASSERT_TRUE(m_browser.Type(ChromiumDriver::Css("input[name='AddrEMail:new']"), "zoe@example.org"));
    ASSERT_TRUE(m_browser.Type(ChromiumDriver::Css("input[name='AddrComment:new']"), "from the book"));
    ASSERT_TRUE(ClickThrough(ChromiumDriver::Css("button[name=Create]"),
                             NewPage("document.querySelector(\"input[name='AddrEMail:1']\")")))
            << Text();
    EXPECT_EQ(m_browser.Evaluate("document.querySelector(\"input[name='AddrEMail:1']\").value").Text(),
              "zoe@example.org");
    EXPECT_NE(Text().find(EnglishMessage(94)), std::string::npos) << Text();
    EXPECT_NE(TempDir::ReadFile(m_install.Path(std::string("Users/") + kDemoUser + "/AddrBook.txt"))
                      .find("Zoe Book\tzoe@example.org\tfrom the book\r\n"),
              std::string::npos);
    Shot("AddrBook");

    // The compose page offers the book's addresses for its address fields; the user takes Zoe's.
    ASSERT_TRUE(Open("View=Compose&New=1"));
    const std::string offered = "document.querySelector('#to').list.querySelector(\"option[value='zoe@example.org']\")";
    ASSERT_EQ(m_browser.Evaluate(offered + ".textContent").Text(), "Zoe Book");
    ASSERT_TRUE(m_browser.Evaluate("(document.querySelector('#to').value = " + offered + ".value, true)").IsTrue());
    ASSERT_TRUE(m_browser.Type(ChromiumDriver::Css("#subject"), "From the address book"));
    ASSERT_TRUE(m_browser.Evaluate("(document.querySelector('#body').value = 'Hello Zoe.', true)").IsTrue());
    ASSERT_TRUE(ClickThrough(ChromiumDriver::Css("button[name=SendNow]"), NewPage("!document.querySelector('#body')")))
            << Text();
    ASSERT_TRUE(WaitUntil([&] {
        return m_sink.HasReceived("message1.data") && m_sink.HasReceived("message1.envelope");
    })) << m_sink.Errors();
    EXPECT_NE(m_sink.Received("message1.envelope").find("rcpt zoe@example.org"), std::string::npos)
            << m_sink.Received("message1.envelope");
    EXPECT_NE(m_sink.Received("message1.data").find("Subject: From the address book"), std::string::npos);
}

} // namespace
} // namespace qm::test
