// The SMTP client against a real SMTP receiver (aiosmtpd, started by the test on a free loopback port): the data the
// receiver keeps must be the message file byte for byte, and its envelope must hold exactly the recipients.
#include "common/Log.h"
#include "platform/ChildProcess.h"
#include "store/SmtpClient.h"
#include "testsupport/Program.h"
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

// The receiver: binds 127.0.0.1 port 0, prints its port, and for each message writes the envelope (sender,
// MAIL parameters, one recipient a line) and then the raw data, un-stuffed as received, into the directory given.
// The data file appears by a rename, so that a reader never sees it half written. Recipients that begin with
// "refuse" get a 550.
constexpr const char* kReceiverScript = R"PY(
import asyncio, os, socket, sys
from aiosmtpd.smtp import SMTP

out = sys.argv[1]

class Sink:
    count = 0

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address.startswith('refuse'):
            return '550 no such user here'
        envelope.rcpt_tos.append(address)
        return '250 OK'

    async def handle_DATA(self, server, session, envelope):
        Sink.count += 1
        base = os.path.join(out, 'message%d' % Sink.count)
        with open(base + '.envelope', 'w') as f:
            f.write('from %s\n' % envelope.mail_from)
            f.write('options %s\n' % ' '.join(envelope.mail_options))
            for r in envelope.rcpt_tos:
                f.write('rcpt %s\n' % r)
        with open(base + '.tmp', 'wb') as f:
            f.write(envelope.original_content)
        os.rename(base + '.tmp', base + '.data')
        return '250 OK stored'

async def main():
    loop = asyncio.get_running_loop()
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.bind(('127.0.0.1', 0))
    sock.listen(8)
    server = await loop.create_server(lambda: SMTP(Sink(), hostname='sink.test', loop=loop), sock=sock)
    print(sock.getsockname()[1], flush=True)
    await server.serve_forever()

asyncio.run(main())
)PY";

class NullLog final : public Logger {
public:
    [[gnu::format(printf, 2, 0)]] void VLog(const char*, va_list) override {}

    void Write(const char*, size_t) override {}

    void Flush() override {}
};

// A Python 3 that has aiosmtpd (Debian's python3-aiosmtpd); "" when none has.
std::string PythonWithAiosmtpd()
{
    for (const std::string& candidate : {test::FindProgram("python3"), std::string("/usr/bin/python3")}) {
        if (!candidate.empty() && test::RunProgram({candidate, "-c", "import aiosmtpd.smtp"}).Succeeded()) {
            return candidate;
        }
    }
    return "";
}

class SmtpClientIntegrationTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string python = PythonWithAiosmtpd();
        ASSERT_FALSE(python.empty()) << "python3 with aiosmtpd is missing (scripts/deps installs python3-aiosmtpd)";
        std::filesystem::create_directory(m_dir.Path() / "received");
        ChildOptions options;
        options.Argv = {python, m_dir.WriteFile("receiver.py", kReceiverScript), m_dir.PathOf("received")};
        options.Environment = test::ChildEnvironment();
        options.Stdout = ChildStdio::Pipe();
        options.Stderr = ChildStdio::File(m_dir.PathOf("receiver-errors.txt"));
        options.Group = ProcessGroup::NewGroup;
        Result<ChildProcess> child = ChildProcess::Start(options);
        ASSERT_TRUE(child) << child.error().Message;
        m_receiver.emplace(std::move(child.value()));
        std::string buffer;
        const std::string port = test::ReadLineFrom(m_receiver->StdoutFd(), buffer, test::kPatience);
        m_port = std::atoi(port.c_str());
        ASSERT_GT(m_port, 0) << "the receiver did not start: " << Errors();
    }

    void TearDown() override
    {
        if (m_receiver) {
            (void)m_receiver->Kill();
        }
    }

    std::string Errors() const { return test::TempDir::ReadFile(m_dir.Path() / "receiver-errors.txt"); }

    std::string Received(const std::string& name) const
    {
        return test::TempDir::ReadFile(m_dir.Path() / "received" / name);
    }

    bool HasReceived(const std::string& name) const
    {
        return std::filesystem::exists(m_dir.Path() / "received" / name);
    }

    test::TempDir m_dir{"qm-smtp-int"};
    std::optional<ChildProcess> m_receiver;
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

} // namespace
} // namespace qm::store
