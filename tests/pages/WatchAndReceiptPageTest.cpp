// Through the main web server: a message asking for a read receipt, opened on the Message page in headless
// Chromium, gives one receipt at a real SMTP receiver that Python's email parser reads as a disposition report; the
// watch program's status protocol answers; and its installer downloads as an archive that unzip lists with its
// settings.
#include "tests/pages/PageInstallation.h"
#include "testsupport/ChromiumDriver.h"
#include "testsupport/Program.h"
#include "testsupport/SmtpSink.h"
#include "testsupport/TempDir.h"
#include "testsupport/WaitUntil.h"

#include <gtest/gtest.h>
#include <zip.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

namespace qm::test {
namespace {

namespace fs = std::filesystem;

// Prints what the receiver got as Python's email package reads it.
constexpr const char* kParseReceipt = R"(import email, sys
m = email.message_from_binary_file(sys.stdin.buffer)
print('type', m.get_content_type())
print('report-type', m.get_param('report-type'))
print('to', m['To'])
parts = m.get_payload()
print('parts', len(parts))
print('first', parts[0].get_content_type())
print('second', parts[1].get_content_type())
report = parts[1].get_payload()
fields = report[0] if isinstance(report, list) else email.message_from_string(report)
for name in ('Final-Recipient', 'Original-Message-ID', 'Original-Recipient', 'Disposition'):
    print(name, fields[name])
)";

class WatchAndReceiptPageTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(m_sink.Start(), "");
        m_install.Web().AddWebServerLine("SendReadConfirmations=Yes");
        m_install.Web().WriteFile("Domains.Ini", "[Default:Settings]\r\nDefaultDomain=\r\nAutoAccountCreation=No\r\n"
                                                 "SmtpHost=127.0.0.1\r\nSmtpPort=" +
                                                         std::to_string(m_sink.Port()) +
                                                         "\r\nHeloDomain=mail.example.org\r\n");
        m_install.Web().WriteFile(std::string("Users/") + kDemoUser + "/User.ini",
                                  std::string("[User]\r\nPassword=-") + kDemoPassword +
                                          "\r\nFullName=Demo User\r\n[MailHost1]\r\nMailbox=home\r\n"
                                          "FullName=Demo User\r\nEMail=demo@example.org\r\nHost=127.0.0.1\r\n"
                                          "Active=No\r\n");
        // Dropped into the Inbox: stored as a new message when the session begins.
        m_install.Web().WriteFile(std::string("Users/") + kDemoUser + "/Inbox/QM000050.msg",
                                  "From: Writer <writer@example.com>\r\nTo: demo@example.org\r\n"
                                  "Subject: Plans\r\nDate: Thu, 01 Jan 2026 10:00:00 +0000\r\n"
                                  "Message-ID: <plans-1@example.com>\r\nOriginal-Recipient: rfc822;demo@example.org\r\n"
                                  "Disposition-Notification-To: Writer <writer@example.com>\r\n\r\nSee you.\r\n");
        fs::create_directories(m_install.Path("HTML"));
        WriteTemplateArchive(m_install.Path("HTML/QmWatchInstall.exe"));
        ASSERT_TRUE(m_install.Start()) << m_install.Server().Errors();
    }

    void TearDown() override { EXPECT_TRUE(m_install.Stop()); }

    static void WriteTemplateArchive(const std::string& path)
    {
        int error = 0;
        zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
        ASSERT_NE(archive, nullptr) << error;
        static constexpr char kSetup[] = "setup program";
        zip_source_t* source = zip_source_buffer(archive, kSetup, sizeof kSetup - 1, 0);
        ASSERT_NE(source, nullptr);
        ASSERT_GE(zip_file_add(archive, "setup.bin", source, 0), 0);
        ASSERT_EQ(zip_close(archive), 0);
    }

    CurlReply WithJar(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"-b", m_jar.PathOf("jar"), "-c", m_jar.PathOf("jar")});
        return Curl(args);
    }

    std::string LogOn()
    {
        const CurlReply logon = WithJar({"--data-urlencode", std::string("User=") + kDemoUser, "--data-urlencode",
                                         std::string("Password=") + kDemoPassword, m_install.MailUrl("View=Main")});
        EXPECT_EQ(logon.Status, 200u) << logon.Body;
        return FindSessionId(logon.Body);
    }

    TempDir m_receiver;
    SmtpSink m_sink{m_receiver.Path()};
    PageInstallation m_install;
    TempDir m_jar;
};

TEST_F(WatchAndReceiptPageTest, OpeningTheMessageSendsOneReceiptThatParsesAsADispositionReport)
{
    if (!ChromiumDriver::Available()) {
        GTEST_SKIP() << "chromium is not installed (scripts/deps installs it)";
    }
    ChromiumDriver browser;
    ASSERT_TRUE(browser.Start()) << browser.Error();
    // The Logon form, typed and submitted.
    ASSERT_TRUE(browser.Navigate(m_install.MailUrl())) << browser.Error();
    const std::string id = LogOnInBrowser(browser);
    ASSERT_EQ(id.size(), 7u);

    // The List page may first be the waiting page of a mail check: opened again until it lists the message.
    std::string list;
    std::smatch number;
    const std::regex link("View=Message&Number=([0-9]+)");
    ASSERT_TRUE(WaitUntil([&] {
        if (!browser.Navigate(m_install.MailUrl("View=List&Session=" + id))) {
            return false;
        }
        list = browser.Evaluate("[...document.querySelectorAll('a')].map(a => a.getAttribute('href')).join(' ')")
                       .Text();
        return std::regex_search(list, number, link);
    })) << list;
    const std::string messageUrl = m_install.MailUrl("View=Message&Session=" + id + "&Number=" + number[1].str());

    ASSERT_TRUE(browser.Navigate(messageUrl)) << browser.Error();
    EXPECT_TRUE(browser.Evaluate("document.body.innerText.includes('Plans')").IsTrue());
    ASSERT_TRUE(WaitUntil([&] { return m_sink.HasReceived("message1.data"); }))
            << m_sink.Errors() << m_install.EngineLog();
    EXPECT_EQ(m_sink.Received("message1.envelope").rfind("from demo@example.org\n", 0), 0u);

    ProgramOptions options;
    options.Input = m_sink.Received("message1.data");
    const ProgramRun parsed = RunProgram({"python3", "-c", kParseReceipt}, options);
    ASSERT_TRUE(parsed.Succeeded()) << parsed.Errors;
    EXPECT_EQ(parsed.Output, "type multipart/report\n"
                             "report-type disposition-notification\n"
                             "to <writer@example.com>\n"
                             "parts 2\n"
                             "first text/plain\n"
                             "second message/disposition-notification\n"
                             "Final-Recipient rfc822; <demo@example.org>\n"
                             "Original-Message-ID <plans-1@example.com>\n"
                             "Original-Recipient rfc822;demo@example.org\n"
                             "Disposition manual-action/MDN-sent-automatically; displayed\n");

    // Opened again: nothing more is sent. A receipt is sent under the session's lock, so the List request after
    // the second opening starts only once any receipt of that opening is out.
    ASSERT_TRUE(browser.Navigate(messageUrl)) << browser.Error();
    ASSERT_TRUE(browser.Navigate(m_install.MailUrl("View=List&Session=" + id))) << browser.Error();
    EXPECT_FALSE(m_sink.HasReceived("message2.data"));
}

TEST_F(WatchAndReceiptPageTest, TheStatusProtocolAnswersAndTheInstallerIsAnArchiveWithItsSettings)
{
    const CurlReply version = Curl({m_install.MailUrl("View=StatusCheck&GetVersion=1")});
    EXPECT_EQ(version.Status, 200u);
    EXPECT_EQ(version.Body, "<version>2.2.3</version>\n");
    // The watch program keeps the cookies of its logon, as a browser does.
    const std::string watchJar = m_jar.PathOf("watch-jar");
    const CurlReply session = Curl({"-c", watchJar,
                                    m_install.MailUrl(std::string("View=StatusCheck&GetSession=1&User=") + kDemoUser +
                                                      "&Password=" + kDemoPassword)});
    std::smatch id;
    ASSERT_TRUE(std::regex_match(session.Body, id, std::regex("<session>([A-Z]{7})</session>\n"))) << session.Body;
    EXPECT_EQ(m_install.EngineLog().find(std::string("Password=") + kDemoPassword), std::string::npos);

    const std::string sessionId = id[1].str();
    const std::string poll =
            m_install.MailUrl("View=StatusCheck&Session=" + sessionId + "&GetMessageCounts=1&GetSessions=1&GetUsers=1");
    const CurlReply counts = Curl({"-b", watchJar, poll});
    EXPECT_NE(counts.Body.find("<messagecounts>\n"), std::string::npos) << counts.Body;
    EXPECT_NE(counts.Body.find("<users>\n\t<user><name>demo</name></user>\n</users>\n"), std::string::npos)
            << counts.Body;

    // The id alone, from this host or another one, answers nothing, not even where the session is.
    for (const char* source : {"127.0.0.1", "127.0.0.2"}) {
        SCOPED_TRACE(source);
        const CurlReply stolen = Curl({"--interface", source, poll});
        EXPECT_EQ(stolen.Status, 200u);
        EXPECT_EQ(stolen.Body, "");
    }
    const CurlReply elsewhere = Curl({"--interface", "127.0.0.2", "-b", watchJar, poll});
    EXPECT_EQ(elsewhere.Body, "<disconnect></disconnect>\n");

    // The browser the watch program opens takes the session over with its first framed page.
    const CurlReply framed = WithJar({m_install.MailUrl("View=List&Frames=1&Session=" + sessionId)});
    EXPECT_EQ(framed.Status, 200u);
    const CurlReply download = WithJar({m_install.MailUrl("View=QMWatchInstall.exe&Session=" + sessionId)});
    ASSERT_EQ(download.Status, 200u) << download.Head;
    EXPECT_EQ(download.Header("Content-type").value_or(""), "application/octet-stream");
    EXPECT_EQ(download.Header("Content-length").value_or(""), std::to_string(download.Body.size()));
    const fs::path received = m_jar.Path() / "QmWatchInstall.exe";
    {
        std::FILE* file = std::fopen(received.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(std::fwrite(download.Body.data(), 1, download.Body.size(), file), download.Body.size());
        EXPECT_EQ(std::fclose(file), 0);
    }
    const ProgramRun listing = RunProgram({"unzip", "-l", received.string()});
    ASSERT_TRUE(listing.Succeeded()) << listing.Errors;
    EXPECT_NE(listing.Output.find("qmwatch.ini"), std::string::npos) << listing.Output;
    const ProgramRun settings = RunProgram({"unzip", "-p", received.string(), "qmwatch.ini"});
    EXPECT_NE(settings.Output.find("[QMWatch]\r\nURL=http://"), std::string::npos) << settings.Output;
    EXPECT_NE(settings.Output.find("/mail\r\nUser=demo\r\nPassword="), std::string::npos) << settings.Output;
}

} // namespace
} // namespace qm::test
