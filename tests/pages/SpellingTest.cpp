// The spelling check end to end in headless Chromium with the system's English dictionary: the user writes a message
// with two misspelled words, opens the spelling page, picks a suggestion for one and keeps the other in the personal
// dictionary; the corrected text is what reaches the SMTP receiver, also when the spelling page's own Send sends it.
// A screenshot of the spelling page goes to QM_SCREENSHOT_DIR.
#include "tests/pages/MailComposeTest.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace qm::test {
namespace {

namespace fs = std::filesystem;

class SpellingTest : public MailComposeTest {
protected:
    // The checked text as the page shows it, its non-breaking spaces as blanks.
    std::string SpellText()
    {
        return m_browser.Evaluate("document.querySelector('.spell-text').innerText.replace(/\\u00a0/g, ' ')").Text();
    }
};

TEST_F(SpellingTest, TheUserCorrectsOneWordKeepsAnotherAndSendsTheCorrectedText)
{
    ASSERT_TRUE(m_browser.Navigate(m_install.MailUrl())) << m_browser.Error();
    const std::string id = LogOn();
    ASSERT_FALSE(id.empty());

    ASSERT_TRUE(Open(id, "View=Compose&New=1"));
    ASSERT_TRUE(m_browser.Type(ChromiumDriver::Css("#to"), "bob@example.org")) << m_browser.Error();
    ASSERT_TRUE(m_browser.Type(ChromiumDriver::Css("#subject"), "The report"));
    ASSERT_TRUE(SetValue("#body", "Please recieve the Zorblat report.\n> Quoted wrods stay.\n"));
    ASSERT_TRUE(ClickThrough(ChromiumDriver::Css("button[name=SpellCheck]"),
                             "document.querySelector('select[name=WORD1]')"))
            << Text();

    // Please(0) recieve(1) the(2) Zorblat(3) report(4); the quoted line is shown but not checked.
    EXPECT_EQ(m_browser.Evaluate("document.querySelectorAll('.spell-text select').length").Value, 2) << Text();
    EXPECT_EQ(m_browser.Evaluate("document.querySelector('select[name=WORD1]').value").Text(), "recieve");
    EXPECT_TRUE(m_browser
                        .Evaluate("Array.from(document.querySelector('select[name=WORD1]').options)"
                                  ".some(o => o.text === 'receive')")
                        .IsTrue());
    EXPECT_EQ(m_browser.Evaluate("document.querySelector('select[name=WORD3]').value").Text(), "Zorblat");
    EXPECT_NE(SpellText().find("> Quoted wrods stay."), std::string::npos) << SpellText();
    EXPECT_EQ(m_browser.Evaluate("document.querySelector('.notice-unbuilt') === null").IsTrue(), true);
    const std::string shots = ScreenshotDir(QM_SCREENSHOT_DIR);
    fs::create_directories(shots);
    EXPECT_TRUE(m_browser.Screenshot(shots + "/Compose-SpellCheck.png")) << m_browser.Error();

    ASSERT_TRUE(SetValue("select[name=WORD1]", "receive"));
    ASSERT_TRUE(m_browser.Click(ChromiumDriver::Css("#addtodictionary"))) << m_browser.Error();
    ASSERT_TRUE(ClickThrough(ChromiumDriver::Css("button[name=Correct]"), "document.querySelector('.spell-text')"))
            << Text();
    // Both words pass now: one corrected, the other in the user's dictionary.
    EXPECT_EQ(m_browser.Evaluate("document.querySelectorAll('.spell-text select').length").Value, 0) << Text();
    EXPECT_NE(SpellText().find("Please receive the Zorblat report."), std::string::npos) << SpellText();
    EXPECT_EQ(TempDir::ReadFile(m_install.Path(std::string("Users/") + kDemoUser + "/Dictionary.txt")), "Zorblat\r\n");

    ASSERT_TRUE(ClickThrough(ChromiumDriver::Css("button[name=Finished]"), "document.querySelector('#body')"))
            << Text();
    EXPECT_EQ(ValueOf("#to"), "bob@example.org");
    EXPECT_NE(ValueOf("#body").find("Please receive the Zorblat report."), std::string::npos) << ValueOf("#body");
    ASSERT_TRUE(ClickThrough(ChromiumDriver::Css("button[name=SendNow]"), "document.querySelector('#body') === null"))
            << Text();
    const nlohmann::json sent = Parsed("message1.data");
    EXPECT_EQ(sent.value("subject", ""), "The report");
    EXPECT_EQ(sent.value("body", ""), "Please receive the Zorblat report.\n> Quoted wrods stay.\n") << sent.dump();
}

TEST_F(SpellingTest, SendOnTheSpellingPageSendsTheChosenCorrections)
{
    ASSERT_TRUE(m_browser.Navigate(m_install.MailUrl())) << m_browser.Error();
    const std::string id = LogOn();
    ASSERT_FALSE(id.empty());

    ASSERT_TRUE(Open(id, "View=Compose&New=1"));
    ASSERT_TRUE(m_browser.Type(ChromiumDriver::Css("#to"), "bob@example.org")) << m_browser.Error();
    ASSERT_TRUE(m_browser.Type(ChromiumDriver::Css("#subject"), "Sent from the check"));
    ASSERT_TRUE(SetValue("#body", "Please recieve it.\n"));
    ASSERT_TRUE(ClickThrough(ChromiumDriver::Css("button[name=SpellCheck]"),
                             "document.querySelector('select[name=WORD1]')"))
            << Text();
    ASSERT_TRUE(SetValue("select[name=WORD1]", "receive"));
    ASSERT_TRUE(
            ClickThrough(ChromiumDriver::Css("button[name=SendNow]"), "document.querySelector('.spell-text') === null"))
            << Text();
    EXPECT_NE(Text().find(EnglishMessage(29)), std::string::npos) << Text();
    const nlohmann::json sent = Parsed("message1.data");
    EXPECT_EQ(sent.value("subject", ""), "Sent from the check");
    EXPECT_EQ(sent.value("body", ""), "Please receive it.\n") << sent.dump();
}

} // namespace
} // namespace qm::test
