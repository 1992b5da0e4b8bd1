// Read receipts through whole requests to a real SMTP receiver (aiosmtpd): one receipt for a message that asks,
// to the first address it names, none on the next opening, and with the setting off the request still cleared.
#include "common/IniAccess.h"
#include "common/Scrambler.h"
#include "engine/LogonThrottle.h"
#include "engine/Request.h"
#include "engine/SessionManager.h"
#include "engine/TemplateCache.h"
#include "engine/UserLogonLocks.h"
#include "engine/tests/SessionTestSupport.h"
#include "store/MessageIndex.h"
#include "testsupport/SmtpSink.h"
#include "testsupport/TempDir.h"
#include "testsupport/WaitUntil.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace qm::engine {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::SessionHarness;
using test::WriteFile;

class ReadReceiptIntegrationTest : public ::testing::Test {
protected:
    ReadReceiptIntegrationTest()
    {
        const fs::path templates = m_harness.Settings().Dir() / "Templates";
        fs::create_directories(templates / "Globe");
        WriteFile(templates / "Languages.ini", "[en]\r\n001=English\r\n");
        WriteFile(templates / "Globe" / "Logon.html", "LOGON");
        WriteFile(templates / "Globe" / "Main.html", "MAIN");
        WriteFile(templates / "Globe" / "Message.html", "MESSAGE");
        m_cache = std::make_unique<TemplateCache>(templates.string(), true, nullptr);
        fs::create_directories(m_harness.Settings().UserDir("alice") / "Inbox");
        WriteFile(m_harness.Settings().UserDir("alice") / "User.ini",
                  "[User]\r\nPassword=" + ScramblePassword("pw") +
                          "\r\n[MailHost1]\r\nMailbox=home\r\nFullName=Alice A\r\nEMail=alice@example.org\r\n"
                          "Host=127.0.0.1\r\nActive=No\r\n");
    }

    std::string Send(const std::string& query)
    {
        std::string environment;
        for (const std::string& entry :
             std::vector<std::string>{"REQUEST_METHOD=GET", "QUERY_STRING=" + query, "REMOTE_ADDR=127.0.0.1",
                                      "SERVER_NAME=localhost", "SERVER_PORT=2000", "SERVER_ADDR=127.0.0.1",
                                      "SCRIPT_NAME=/mail", "HTTP_COOKIE=Lang=en; Theme=Globe"}) {
            environment += entry;
            environment += '\0';
        }
        environment += '\0';
        const std::string outPath = (m_harness.Settings().Dir() / "response").string();
        const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        EXPECT_GE(out, 0);
        {
            RequestServices services;
            services.Sessions = &m_harness.Manager();
            services.Templates = m_cache.get();
            services.Log = &m_harness.LogTarget();
            services.Now = [this] {
                return m_harness.Now();
            };
            services.Throttle = &m_throttle;
            services.LogonLocks = &m_logonLocks;
            // The stand-in for the Message action: the message asked for becomes the current one.
            services.Action = [this](Request& request) {
                request.CurrentSession()->SetCurrentMessage(m_message);
            };
            Request request(-1, out, environment.c_str(), std::move(services));
            request.Run();
        }
        return ReadFile(outPath);
    }

    // Logs alice on and stores one message of the headers given, asking for a receipt; its session.
    Session* Open(const std::string& headers)
    {
        const std::string logon = Send("View=Main&User=alice&Password=pw");
        EXPECT_NE(logon.find("MAIN"), std::string::npos) << logon;
        Session* session = m_harness.Manager().FindByUser("alice");
        EXPECT_NE(session, nullptr);
        if (session == nullptr) {
            return nullptr;
        }
        session->Unbusy();
        store::MessageIndex& index = session->User().Messages();
        m_message = index.NewEntry();
        const std::uint32_t number = index.NextNumber();
        m_message->SetNumber(number);
        m_message->SetFileId(store::MessageFileId(number));
        m_message->SetFolder("Inbox");
        m_message->SetMailbox("home");
        m_message->SetSubject("Plans");
        m_message->SetDate(1767225600);
        m_message->SetFlags(store::MessageFlag::Stored | store::MessageFlag::ConfirmReading);
        WriteFile(m_message->GetMessagePath(), headers + "\r\n\r\nbody\r\n");
        return session;
    }

    void UseReceiver(int port)
    {
        m_harness.Settings().WriteDomains("[Default:Settings]\r\nSmtpHost=127.0.0.1\r\nSmtpPort=" +
                                          std::to_string(port) + "\r\nHeloDomain=mail.example.org\r\n");
    }

    SessionHarness m_harness{"[General]\r\nLogLevel=1\r\n"};
    std::unique_ptr<TemplateCache> m_cache;
    LogonThrottle m_throttle{LogonThrottlePolicy{}, [] {
                                 return std::chrono::milliseconds(1000000);
                             }};
    UserLogonLocks m_logonLocks;
    qm::test::TempDir m_receiverDir;
    store::MessageIndexEntry* m_message = nullptr;
};

TEST_F(ReadReceiptIntegrationTest, OneReceiptGoesToTheFirstAddressAskedForAndNoneOnTheNextOpening)
{
    qm::test::SmtpSink sink(m_receiverDir.Path());
    ASSERT_EQ(sink.Start(), "");
    UseReceiver(sink.Port());
    ASSERT_TRUE(WriteIniString("General", "SendReadConfirmations", "Yes"));
    ASSERT_TRUE(WriteIniString("Session", "CheckCookie", "No"));
    Session* session = Open("From: w@example.com\r\nSubject: Plans\r\nMessage-ID: <m1@example.com>\r\n"
                            "Disposition-Notification-To: \"W\" <first@example.com>\r\n"
                            "X-Confirm-Reading-To: second@example.com");
    ASSERT_NE(session, nullptr);

    EXPECT_NE(Send("View=Message&Session=" + std::string(session->Id())).find("MESSAGE"), std::string::npos);
    ASSERT_TRUE(qm::test::WaitUntil([&] { return sink.HasReceived("message1.data"); })) << sink.Errors();
    const std::string mail = sink.Received("message1.data");
    for (const char* line :
         {"\r\nFrom: \"Alice A\" <alice@example.org>\r\n", "\r\nTo: <first@example.com>\r\n",
          "\r\nSubject: Notification for \"Plans\"\r\n", "\r\nFinal-Recipient: rfc822; <alice@example.org>\r\n",
          "\r\nOriginal-Message-ID: <m1@example.com>\r\n"}) {
        EXPECT_NE(mail.find(line), std::string::npos) << line << " in " << mail;
    }
    const std::string envelope = sink.Received("message1.envelope");
    EXPECT_EQ(envelope.rfind("from alice@example.org\n", 0), 0u) << envelope;
    EXPECT_TRUE(envelope.ends_with("\nrcpt first@example.com\n")) << envelope;
    EXPECT_FALSE(m_message->HasFlag(store::MessageFlag::ConfirmReading));
    EXPECT_FALSE(fs::exists(fs::path(session->TempDir()) / ".read.conf"));
    EXPECT_NE(m_harness.Log().find("Sending read confirmation to first@example.com."), std::string::npos);

    // The next opening sends nothing (a receipt is sent before the request ends, and the receiver has written it
    // by the time it accepts it): the receiver still holds only the first.
    Send("View=Message&Session=" + std::string(session->Id()));
    EXPECT_FALSE(sink.HasReceived("message2.data"));
}

TEST_F(ReadReceiptIntegrationTest, AListOfAddressesGetsNoReceiptAtAll)
{
    qm::test::SmtpSink sink(m_receiverDir.Path());
    ASSERT_EQ(sink.Start(), "");
    UseReceiver(sink.Port());
    ASSERT_TRUE(WriteIniString("General", "SendReadConfirmations", "Yes"));
    ASSERT_TRUE(WriteIniString("Session", "CheckCookie", "No"));
    std::string list;
    for (int i = 0; i < 24; ++i) {
        list += (i == 0 ? "" : ", ") + std::string("victim") + std::to_string(i) + "@example.net";
    }
    Session* session = Open("From: w@example.com\r\nSubject: Hi\r\nDisposition-Notification-To: " + list);
    ASSERT_NE(session, nullptr);

    EXPECT_NE(Send("View=Message&Session=" + std::string(session->Id())).find("MESSAGE"), std::string::npos);
    EXPECT_FALSE(m_message->HasFlag(store::MessageFlag::ConfirmReading));
    EXPECT_NE(m_harness.Log().find("asks for one to a list of addresses"), std::string::npos) << m_harness.Log();
    EXPECT_EQ(m_harness.Log().find("Sending read confirmation"), std::string::npos);
    // The request ended before this: a receipt would have been accepted (and written) by now.
    Send("View=Message&Session=" + std::string(session->Id()));
    EXPECT_FALSE(sink.HasReceived("message1.data"));
    EXPECT_FALSE(sink.HasReceived("message1.envelope"));
}

TEST_F(ReadReceiptIntegrationTest, NoReceiptWhenTheIndexCannotRememberIt)
{
    qm::test::SmtpSink sink(m_receiverDir.Path());
    ASSERT_EQ(sink.Start(), "");
    UseReceiver(sink.Port());
    ASSERT_TRUE(WriteIniString("General", "SendReadConfirmations", "Yes"));
    ASSERT_TRUE(WriteIniString("Session", "CheckCookie", "No"));
    Session* session = Open("From: w@example.com\r\nDisposition-Notification-To: first@example.com");
    ASSERT_NE(session, nullptr);
    // A directory in the index file's place: the cleared request cannot be saved, so the next session would find
    // the message asking again.
    const fs::path index = m_harness.Settings().UserDir("alice") / store::kMessageIndexFile;
    fs::remove(index);
    fs::create_directories(index / "blocker");

    EXPECT_NE(Send("View=Message&Session=" + std::string(session->Id())).find("MESSAGE"), std::string::npos);
    EXPECT_NE(m_harness.Log().find("No read confirmation: the message index could not be saved."), std::string::npos)
            << m_harness.Log();
    EXPECT_EQ(m_harness.Log().find("Sending read confirmation"), std::string::npos);
    EXPECT_FALSE(sink.HasReceived("message1.envelope"));
    fs::remove_all(index);
}

TEST_F(ReadReceiptIntegrationTest, WithTheSettingOffTheRequestIsClearedAndNothingSent)
{
    ASSERT_TRUE(WriteIniString("Session", "CheckCookie", "No"));
    Session* session = Open("From: w@example.com\r\nDisposition-Notification-To: first@example.com");
    ASSERT_NE(session, nullptr);
    // No receiver is named: a receipt would fail and say so in the log.
    EXPECT_NE(Send("View=Message&Session=" + std::string(session->Id())).find("MESSAGE"), std::string::npos);
    EXPECT_FALSE(m_message->HasFlag(store::MessageFlag::ConfirmReading));
    EXPECT_EQ(m_harness.Log().find("Sending read confirmation"), std::string::npos);

    // Turned on later, the message already read is not answered.
    ASSERT_TRUE(WriteIniString("General", "SendReadConfirmations", "Yes"));
    Send("View=Message&Session=" + std::string(session->Id()));
    EXPECT_EQ(m_harness.Log().find("Sending read confirmation"), std::string::npos);
}

} // namespace
} // namespace qm::engine
