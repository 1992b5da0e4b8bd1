// The browser side of the mail-writing page tests: the installation with a real SMTP receiver, headless Chromium
// logged on as the demo user, steps through the pages, and received messages read back with Python's email parser.
#pragma once

#include "tests/pages/PageInstallation.h"
#include "testsupport/ChromiumDriver.h"
#include "testsupport/Program.h"
#include "testsupport/SmtpSink.h"
#include "testsupport/TempDir.h"
#include "testsupport/WaitUntil.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <nlohmann/json.hpp>

namespace qm::test {

// Reads a received message with Python's email package: headers, the plain text and every attachment (base64).
inline constexpr const char* kParseScript = R"(
import base64, email, json, sys
from email import policy
m = email.message_from_bytes(open(sys.argv[1], 'rb').read(), policy=policy.default)
body = m.get_body(preferencelist=('plain',))
print(json.dumps({
    'from': str(m['From']), 'to': str(m['To']), 'cc': str(m['CC'] or ''), 'subject': str(m['Subject']),
    'bcc': str(m['BCC'] or ''), 'body': body.get_content().replace('\r\n', '\n') if body is not None else '',
    'attachments': [[p.get_filename(), base64.b64encode(p.get_payload(decode=True)).decode()]
                    for p in m.iter_attachments()]}))
)";

/// The installation with the demo user (sender demo@quillmail.example, mail sent to the receiver), the server and the
/// browser started for each test; the steps a test takes through the pages.
class MailComposeTest : public ::testing::Test {
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
        ASSERT_TRUE(m_install.Start()) << m_install.Server().Errors();
        ASSERT_TRUE(m_browser.Start()) << m_browser.Error();
    }

    void TearDown() override { EXPECT_TRUE(m_install.Stop()); }

    // Logs the demo user on through the Logon form; the session id.
    std::string LogOn() { return LogOnInBrowser(m_browser); }

    // Opens a page of the session in the whole window.
    bool Open(const std::string& id, const std::string& query)
    {
        return m_browser.Navigate(m_install.MailUrl(query + "&Session=" + id)) &&
               m_browser.WaitFor("document.readyState === 'complete'");
    }

    // Clicks the element and waits for the page that follows to satisfy condition.
    bool ClickThrough(const std::string& element, const std::string& condition)
    {
        if (!m_browser.Evaluate("(document.body.dataset.seen = '1')").Ok || !m_browser.Click(element)) {
            return false;
        }
        return m_browser.WaitFor("(document.readyState === 'complete' && !document.body.dataset.seen && !!(" +
                                 condition + "))");
    }

    std::string Text() { return m_browser.Evaluate("document.body.innerText").Text(); }

    std::string ValueOf(const std::string& selector)
    {
        return m_browser.Evaluate("document.querySelector('" + selector + "').value").Text();
    }

    bool SetValue(const std::string& selector, const std::string& value)
    {
        return m_browser
                .Evaluate("(document.querySelector('" + selector + "').value = " + nlohmann::json(value).dump() +
                          ", true)")
                .IsTrue();
    }

    // The received message as Python's email parser reads it.
    nlohmann::json Parsed(const std::string& name)
    {
        EXPECT_TRUE(WaitUntil([&] { return m_sink.HasReceived(name); })) << m_sink.Errors();
        const std::filesystem::path path = m_dir.Path() / "parsed.eml";
        {
            std::ofstream out(path, std::ios::binary);
            out << m_sink.Received(name);
        }
        const ProgramRun run = RunProgram({SmtpSink::Python(), "-c", kParseScript, path.string()});
        EXPECT_TRUE(run.Succeeded()) << run.Errors;
        return run.Succeeded() ? nlohmann::json::parse(run.Output) : nlohmann::json::object();
    }

    TempDir m_dir;
    SmtpSink m_sink{m_dir.Path()};
    PageInstallation m_install;
    ChromiumDriver m_browser;
};

} // namespace qm::test
