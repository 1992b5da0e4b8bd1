// Writing mail end to end in headless Chromium against a real SMTP receiver: the user writes a message with two
// attachments and sends it, and Python's email parser reads the same headers, text and attachments back; a reply
// to all and a forward carry the right recipients and the quoted text; a To holding a line break is refused; and a
// compose posted after the session ended reaches Drafts after the logon, also from the frame set and from the
// attachment and spelling pages.
#include "tests/pages/MailComposeTest.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace qm::test {
namespace {

// The document of a frame of the Main page.
std::string FrameDocument(const std::string& frame)
{
    return "document.querySelector('frame[name=" + frame + "]').contentDocument";
}

class WritingMailTest : public MailComposeTest {
protected:
    // Marks the content frame's page, clicks element, and waits until a new page there satisfies condition.
    bool ClickInContent(const std::string& element, const std::string& condition)
    {
        const std::string doc = FrameDocument("content");
        if (!m_browser.Evaluate("(" + doc + ".body.dataset.seen = '1')").Ok || !m_browser.Click(element)) {
            return false;
        }
        return m_browser.WaitFor("(" + doc + ".readyState === 'complete' && !" + doc + ".body.dataset.seen && !!(" +
                                 condition + "))");
    }

    // Ends the session as its idle time-out would, behind the page's back.
    bool EndSession(const std::string& id)
    {
        return m_browser
                .Evaluate("(() => { const x = new XMLHttpRequest(); x.open('GET', " +
                          nlohmann::json(m_install.MailUrl("View=Logout&Session=" + id)).dump() +
                          ", false); x.send(); return x.status === 200; })()")
                .IsTrue();
    }

    // Attaches a file on the attachment page, as a chosen file of the file field.
    bool Attach(const std::string& name, const std::string& bytesArray)
    {
        const std::string set = "(() => { const t = new DataTransfer(); t.items.add(new File([new Uint8Array([" +
                                bytesArray + "])], '" + name +
                                "')); document.querySelector('#file').files = t.files; return true; })()";
        return m_browser.Evaluate(set).IsTrue() &&
               ClickThrough(ChromiumDriver::Css("button[name=Upload]"),
                            "Array.from(document.querySelectorAll('#attached option')).some(o => o.text === '" + name +
                                    "')");
    }
};

TEST_F(WritingMailTest, TheUserWritesSendsRepliesForwardsAndLosesNoTextWhenTheSessionEnds)
{
    ASSERT_TRUE(m_browser.Navigate(m_install.MailUrl())) << m_browser.Error();
    const std::string id = LogOnInBrowser(m_browser);
    ASSERT_FALSE(id.empty());

    // A new message with two attachments.
    ASSERT_TRUE(Open(id, "View=Compose&New=1"));
    ASSERT_EQ(m_browser.Evaluate("document.querySelector('.notice-unbuilt') === null").IsTrue(), true);
    EXPECT_NE(m_browser.Evaluate("document.querySelector('#from').innerHTML").Text().find("demo@quillmail.example"),
              std::string::npos);
    ASSERT_TRUE(m_browser.Type(ChromiumDriver::Css("#to"), "bob@example.org")) << m_browser.Error();
    ASSERT_TRUE(m_browser.Type(ChromiumDriver::Css("#cc"), "\"Carol C\" <carol@example.org>"));
    ASSERT_TRUE(m_browser.Type(ChromiumDriver::Css("#subject"), "Two files for you"));
    ASSERT_TRUE(SetValue("#body", "Hello from the browser.\nA </textarea> stays text.\n"));
    ASSERT_TRUE(ClickThrough(ChromiumDriver::Css("button[name=Attach]"), "document.querySelector('#file') !== null"))
            << Text();
    ASSERT_TRUE(Attach("first.txt", "111, 110, 101, 10, 116, 119, 111, 10")) << Text(); // "one\ntwo\n"
    ASSERT_TRUE(Attach("second.bin", "0, 1, 2, 255, 254, 13, 10, 45, 45")) << Text();
    ASSERT_TRUE(ClickThrough(ChromiumDriver::Css("button[name=Finished]"), "document.querySelector('#body') !== null"))
            << Text();
    EXPECT_EQ(ValueOf("#to"), "bob@example.org");
    EXPECT_NE(ValueOf("#body").find("A </textarea> stays text."), std::string::npos) << ValueOf("#body");
    ASSERT_TRUE(ClickThrough(ChromiumDriver::Css("button[name=SendNow]"), "document.querySelector('#body') === null"))
            << Text();
    EXPECT_NE(Text().find(EnglishMessage(29)), std::string::npos) << Text();

    const nlohmann::json sent = Parsed("message1.data");
    EXPECT_EQ(sent.value("from", ""), "Demo User <demo@quillmail.example>");
    EXPECT_EQ(sent.value("to", ""), "bob@example.org");
    EXPECT_EQ(sent.value("cc", ""), "Carol C <carol@example.org>");
    EXPECT_EQ(sent.value("subject", ""), "Two files for you");
    EXPECT_NE(sent.value("body", "").find("Hello from the browser.\nA </textarea> stays text."), std::string::npos)
            << sent.dump();
    EXPECT_EQ(sent["attachments"], nlohmann::json::parse(R"([["first.txt", "b25lCnR3bwo="],
                                                              ["second.bin", "AAEC//4NCi0t"]])"))
            << sent.dump();

    // Reply to all from the Sent copy: every recipient, and the text quoted.
    ASSERT_TRUE(Open(id, "View=List&Folder=Sent"));
    ASSERT_TRUE(ClickThrough(ChromiumDriver::Css("td.subject a"), "document.querySelector('h1.message-subject')"))
            << Text();
    ASSERT_TRUE(ClickThrough(ChromiumDriver::Css("a[href*='ReplyAll=Yes']"), "document.querySelector('#body')"));
    const std::string replyTo = ValueOf("#to");
    for (const char* who : {"demo@quillmail.example", "bob@example.org", "carol@example.org"}) {
        EXPECT_NE(replyTo.find(who), std::string::npos) << replyTo;
    }
    EXPECT_EQ(ValueOf("#subject"), "Re: Two files for you");
    EXPECT_NE(ValueOf("#body").find("> Hello from the browser."), std::string::npos) << ValueOf("#body");
    ASSERT_TRUE(ClickThrough(ChromiumDriver::Css("button[name=SendNow]"), "document.querySelector('#body') === null"))
            << Text();
    const nlohmann::json reply = Parsed("message2.data");
    EXPECT_EQ(reply.value("subject", ""), "Re: Two files for you");
    EXPECT_NE(reply.value("to", "").find("carol@example.org"), std::string::npos) << reply.dump();
    EXPECT_NE(reply.value("body", "").find("> Hello from the browser."), std::string::npos) << reply.dump();

    // Forward: no recipient yet, the text unquoted, the attachments along.
    ASSERT_TRUE(Open(id, "View=List&Folder=Sent"));
    ASSERT_TRUE(ClickThrough("Array.from(document.querySelectorAll('td.subject a')).find(a => a.textContent === "
                             "'Two files for you')",
                             "document.querySelector('h1.message-subject')"))
            << Text();
    ASSERT_TRUE(ClickThrough(ChromiumDriver::Css("a[href*='Forward=Yes']"), "document.querySelector('#body')"));
    EXPECT_EQ(ValueOf("#to"), "");
    EXPECT_EQ(ValueOf("#subject"), "Fwd: Two files for you");
    ASSERT_TRUE(m_browser.Type(ChromiumDriver::Css("#to"), "dan@example.org"));
    ASSERT_TRUE(ClickThrough(ChromiumDriver::Css("button[name=SendNow]"), "document.querySelector('#body') === null"))
            << Text();
    const nlohmann::json forward = Parsed("message3.data");
    EXPECT_EQ(forward.value("subject", ""), "Fwd: Two files for you");
    EXPECT_NE(forward.value("body", "").find("\nHello from the browser."), std::string::npos) << forward.dump();
    EXPECT_EQ(forward["attachments"].size(), 2u) << forward.dump();

    // A To with a line break (a text area in place of the field) is refused and nothing goes out.
    ASSERT_TRUE(Open(id, "View=Compose&New=1"));
    ASSERT_TRUE(m_browser
                        .Evaluate("(() => { const t = document.createElement('textarea'); t.name = 'To'; "
                                  "t.value = 'bob@example.org\\r\\nRCPT TO:<evil@example.org>'; "
                                  "document.querySelector('#to').replaceWith(t); return true; })()")
                        .IsTrue());
    ASSERT_TRUE(SetValue("#body", "Injected?"));
    ASSERT_TRUE(ClickThrough(ChromiumDriver::Css("button[name=SendNow]"), "document.querySelector('#body')"));
    EXPECT_NE(Text().find(EnglishMessage(90)), std::string::npos) << Text();
    EXPECT_FALSE(m_sink.HasReceived("message4.envelope")) << m_sink.Received("message4.envelope");

    // The session ends while the user writes; the compose posted then reaches Drafts after the logon.
    ASSERT_TRUE(Open(id, "View=Compose&New=1"));
    ASSERT_TRUE(m_browser.Type(ChromiumDriver::Css("#to"), "erin@example.org"));
    ASSERT_TRUE(m_browser.Type(ChromiumDriver::Css("#subject"), "Written while away"));
    ASSERT_TRUE(SetValue("#body", "Nothing of this is lost."));
    ASSERT_TRUE(m_browser
                        .Evaluate("(() => { const x = new XMLHttpRequest(); x.open('GET', " +
                                  nlohmann::json(m_install.MailUrl("View=Logout&Session=" + id)).dump() +
                                  ", false); x.send(); return x.status === 200; })()")
                        .IsTrue());
    ASSERT_TRUE(ClickThrough(ChromiumDriver::Css("button[name=SendNow]"), "document.querySelector('#password')"))
            << Text();
    EXPECT_NE(Text().find(EnglishMessage(16)), std::string::npos) << Text();
    const std::string newId = LogOnInBrowser(m_browser);
    ASSERT_FALSE(newId.empty());
    ASSERT_TRUE(Open(newId, "View=List&Folder=Drafts"));
    EXPECT_NE(Text().find("Written while away"), std::string::npos) << Text();
    EXPECT_FALSE(m_sink.HasReceived("message4.envelope")) << "the carried compose is kept, not sent";
}

// The session ends while the user writes in the frame set; whatever compose page posts then (the compose page's
// Send, an upload on the attachment page, the spelling page's corrections), the Logon page fills the whole window
// with the compose carried, and after the logon the text is in Drafts.
TEST_F(WritingMailTest, TextWrittenInTheFrameSetReachesDraftsWhenTheSessionEnds)
{
    ASSERT_TRUE(m_browser.Navigate(m_install.MailUrl())) << m_browser.Error();
    std::string id = LogOnInBrowser(m_browser);
    ASSERT_FALSE(id.empty());

    struct Round {
        const char* Subject;
        const char* SubPage; // the button that opens it from the compose page; "" for none
        const char* Button;  // pressed once the session is gone
    };

    const Round rounds[] = {
            {"Typed in the frames", "", "SendNow"},
            {"Typed before attaching", "Attach", "Upload"},
            {"Typed before the spelling check", "SpellCheck", "Correct"},
    };
    const std::string content = FrameDocument("content");
    for (const Round& r : rounds) {
        SCOPED_TRACE(r.Subject);
        const std::string text = std::string("Nothing of \"") + r.Subject + "\" is lost.\nSecond line.";
        ASSERT_TRUE(m_browser.WaitFor("document.querySelector('frameset') !== null && " + content +
                                      ".readyState === 'complete'"));
        ASSERT_TRUE(ClickInContent(ChromiumDriver::InFrame("nav", "a[href*='View=Compose&New=1']"),
                                   content + ".querySelector('#body')"))
                << m_browser.BrowserLog();
        ASSERT_TRUE(m_browser.Type(ChromiumDriver::InFrame("content", "#to"), "erin@example.org")) << m_browser.Error();
        ASSERT_TRUE(m_browser.Type(ChromiumDriver::InFrame("content", "#subject"), r.Subject));
        ASSERT_TRUE(m_browser
                            .Evaluate("(" + content + ".querySelector('#body').value = " + nlohmann::json(text).dump() +
                                      ", true)")
                            .IsTrue());
        const std::string button = std::string("button[name=") + r.Button + "]";
        if (*r.SubPage != '\0') {
            ASSERT_TRUE(
                    ClickInContent(ChromiumDriver::InFrame("content", std::string("button[name=") + r.SubPage + "]"),
                                   content + ".querySelector('" + button + "')"));
        }
        if (std::string_view(r.Button) == "Upload") {
            ASSERT_TRUE(
                    m_browser
                            .Evaluate("(() => { const d = " + content +
                                      "; const t = new DataTransfer(); t.items.add(new File(['late'], 'late.txt')); "
                                      "d.querySelector('#file').files = t.files; return true; })()")
                            .IsTrue());
        }
        ASSERT_TRUE(EndSession(id));
        ASSERT_TRUE(m_browser.Click(ChromiumDriver::InFrame("content", button))) << m_browser.Error();
        // The whole window, not the frame, shows the Logon page, and it carries the compose.
        ASSERT_TRUE(m_browser.WaitFor("document.querySelector('frameset') === null && document.readyState === "
                                      "'complete' && document.querySelector('#password') !== null"))
                << Text();
        EXPECT_NE(Text().find(EnglishMessage(16)), std::string::npos) << Text();
        EXPECT_EQ(ValueOf("input[name=Subject]"), r.Subject);
        EXPECT_EQ(ValueOf("input[name=Body]"), text);
        id = LogOnInBrowser(m_browser);
        ASSERT_FALSE(id.empty());
    }

    // Every text is in Drafts, whole.
    for (const Round& r : rounds) {
        SCOPED_TRACE(r.Subject);
        ASSERT_TRUE(Open(id, "View=List&Folder=Drafts"));
        ASSERT_TRUE(ClickThrough("Array.from(document.querySelectorAll('td.subject a')).find(a => a.textContent === " +
                                         nlohmann::json(r.Subject).dump() + ")",
                                 "document.querySelector('#body')"))
                << Text();
        EXPECT_EQ(ValueOf("#to"), "erin@example.org");
        EXPECT_NE(ValueOf("#body").find(std::string("Nothing of \"") + r.Subject + "\" is lost.\nSecond line."),
                  std::string::npos)
                << ValueOf("#body");
    }
    EXPECT_FALSE(m_sink.HasReceived("message1.envelope")) << "a carried compose is kept, not sent";
}

} // namespace
} // namespace qm::test
