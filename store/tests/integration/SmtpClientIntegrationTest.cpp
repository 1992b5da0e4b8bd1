// The SMTP client against a real SMTP receiver (aiosmtpd, started by the test on a free loopback port): the data the
// receiver keeps must be the message file byte for byte, and its envelope must hold exactly the recipients.
#include "common/Log.h"
#include "platform/ChildProcess.h"
#include "store/SmtpClient.h"
#include "testsupport/Program.h"
#include "testsupport/SmtpSink.h"
#include "testsupport/TempDir.h"
#include "testsupport/WaitUntil.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace qm::store {
namespace {

class NullLog final : public Logger {
public:
    [[gnu::format(printf, 2, 0)]] void VLog(const char*, va_list) override {}

    void Write(const char*, size_t) override {}

    void Flush() override {}
};

class SmtpClientIntegrationTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string started = m_sink.Start();
        ASSERT_EQ(started, "");
        m_port = m_sink.Port();
    }

    std::string Errors() const { return m_sink.Errors(); }

    std::string Received(const std::string& name) const { return m_sink.Received(name); }

    bool HasReceived(const std::string& name) const { return m_sink.HasReceived(name); }

    test::TempDir m_dir{"qm-smtp-int"};
    test::SmtpSink m_sink{m_dir.Path()};
    int m_port = 0;
};

std::string Message(std::size_t bodyLines)
{
    std::string text = "From: Ann <ann@quill.test>\r\nTo: \"Doe, J\" <j@x.test>\r\nSubject: dots\r\n\r\n";
    text += ".a line that begins with a dot\r\n.\r\n..\r\n";
    text += "8-bit \xE4\xF6\xFC and a tab\there\r\n";
    for (std::size_t i = 0; i < bodyLines; ++i) {
        text += (i % 3 == 0 ? "." : "") + std::string(i % 997, static_cast<char>('a' + i % 26)) + "\r\n";
    }
    text += "last line\r\n";
    return text;
}

TEST_F(SmtpClientIntegrationTest, ReceiverGetsTheFileByteForByteAndEveryRecipient)
{
    struct Case {
        const char* Name;
        std::string File;
        const char* Recipients;
        std::vector<std::string> WantRecipients;
    };

    const Case cases[] = {
            {"a short message",
             Message(0),
             "\"Doe, J\" <j@x.test>, k@y.test; l@z.test",
             {"j@x.test", "k@y.test", "l@z.test"}},
            {"a message of many blocks", Message(600), "Ann <ann@quill.test>", {"ann@quill.test"}},
    };
    int sent = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::string path = m_dir.WriteFile("message.txt", c.File);
        NullLog log;
        SmtpClient client("127.0.0.1", m_port, "quill.test", log);
        ASSERT_TRUE(client.Send("Ann <ann@quill.test>", c.Recipients, path.c_str()))
                << "result " << static_cast<int>(client.Result()) << " " << client.ErrorText() << "\n"
                << Errors();
        const std::string name = "message" + std::to_string(++sent);
        ASSERT_TRUE(test::WaitUntil([&] { return HasReceived(name + ".data"); })) << Errors();
        const std::string data = Received(name + ".data");
        EXPECT_TRUE(data == c.File) << "got " << data.size() << " bytes, want " << c.File.size();

        std::string want = "from ann@quill.test\noptions SIZE=" + std::to_string(c.File.size()) + "\n";
        for (const std::string& r : c.WantRecipients) {
            want += "rcpt " + r + "\n";
        }
        EXPECT_EQ(Received(name + ".envelope"), want);
    }
}

TEST_F(SmtpClientIntegrationTest, RefusedRecipientStopsTheSend)
{
    const std::string path = m_dir.WriteFile("message.txt", Message(0));
    NullLog log;
    SmtpClient client("127.0.0.1", m_port, "quill.test", log);
    EXPECT_FALSE(client.Send("ann@quill.test", "j@x.test, refused@y.test", path.c_str()));
    EXPECT_EQ(client.Result(), SmtpResult::ProtocolError);
    EXPECT_EQ(client.ErrorText(), "550 no such user here");
    // The receiver has taken nothing: a later message is its first.
    const std::string second = m_dir.WriteFile("second.txt", "Subject: two\r\n\r\nsecond\r\n");
    SmtpClient next("127.0.0.1", m_port, "quill.test", log);
    ASSERT_TRUE(next.Send("ann@quill.test", "j@x.test", second.c_str())) << Errors();
    ASSERT_TRUE(test::WaitUntil([&] { return HasReceived("message1.data"); })) << Errors();
    EXPECT_EQ(Received("message1.data"), "Subject: two\r\n\r\nsecond\r\n");
}

TEST_F(SmtpClientIntegrationTest, BareLineEndsReachTheReceiverAsOneMessageWithCrLf)
{
    // Kept as they are, the bare CR and LF would end the data early and start a second message to the victim.
    const std::string path = m_dir.WriteFile(
            "message.txt", "Subject: t\r\n\r\nhi\r.\r\nMAIL FROM:<boss@corp.test>\r\nRCPT TO:<victim@else.test>\r\n"
                           "DATA\r\nSubject: forged\n.\nQUIT\r\n");
    NullLog log;
    SmtpClient client("127.0.0.1", m_port, "quill.test", log);
    ASSERT_TRUE(client.Send("ann@quill.test", "j@x.test", path.c_str())) << Errors();
    ASSERT_TRUE(test::WaitUntil([&] { return HasReceived("message1.data"); })) << Errors();
    EXPECT_EQ(Received("message1.data"), "Subject: t\r\n\r\nhi\r\n.\r\nMAIL FROM:<boss@corp.test>\r\n"
                                         "RCPT TO:<victim@else.test>\r\nDATA\r\nSubject: forged\r\n.\r\nQUIT\r\n");
    EXPECT_EQ(Received("message1.envelope").find("victim"), std::string::npos);
    // The receiver has written its one message by the time it accepted it: there is no second.
    EXPECT_FALSE(HasReceived("message2.data"));
}

} // namespace
} // namespace qm::store
