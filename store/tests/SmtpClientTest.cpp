// The SMTP client against a scripted server on loopback: the dialogue and its fall-backs, the message data, refused
// addresses, failures and time-outs.
#include "store/SmtpClient.h"

#include "common/IniAccess.h"
#include "common/Log.h"
#include "common/StringTable.h"
#include "testsupport/ScriptedServer.h"
#include "testsupport/TempDir.h"
#include "testsupport/WaitUntil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <future>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace qm::store {
namespace {

using namespace std::chrono_literals;
using test::kDataBlock;
using test::ScriptedServer;
using test::ServerStep;
using Clock = std::chrono::steady_clock;

constexpr StringEntry kSmtpTexts[] = {
        {209, "SMTP Connection unexpectedly closed."},
        {210, "SMTP No recipients specified."},
        {211, "SMTP Connecting to %s:%d..."},
        {212, "SMTP Winsock connect error: %d."},
        {213, "SMTP Connection timed out."},
        {214, "SMTP Socket wait error: %d."},
        {215, "SMTP Completed successfully."},
        {216, "SMTP Completed unsuccessfully."},
        {217, "SMTP Receive buffer overflow."},
        {218, "SMTP Winsock receive error: %d."},
        {219, "SMTP Protocol error: %s."},
        {231, "SMTP Could not open message file."},
        {232, "SMTP Sending message from %s."},
};

// Keeps every line the client logs.
class LineLog final : public Logger {
public:
    [[gnu::format(printf, 2, 0)]] void VLog(const char* format, va_list args) override
    {
        char line[2048];
        static_cast<void>(std::vsnprintf(line, sizeof line, format, args));
        m_text.append(line).push_back('\n');
    }

    void Write(const char* bytes, size_t length) override { m_text.append(bytes, length); }

    void Flush() override {}

    const std::string& Text() const { return m_text; }

private:
    std::string m_text;
};

const std::string kMessage = "Subject: test\r\n\r\nHello.\r\n";

// The steps of a whole successful dialogue after the greeting and EHLO: MAIL, one RCPT per recipient, DATA, the
// data and QUIT (after which the server closes).
std::vector<ServerStep> Delivery(const std::string& mailFrom, const std::vector<std::string>& recipients)
{
    std::vector<ServerStep> steps{{mailFrom, "250 sender ok\r\n"}};
    for (const std::string& r : recipients) {
        steps.push_back({"RCPT TO: <" + r + ">", "250 recipient ok\r\n"});
    }
    steps.push_back({"DATA", "354 go ahead\r\n"});
    steps.push_back({kDataBlock, "250 queued\r\n"});
    steps.push_back({"QUIT", "221 bye\r\n", true});
    return steps;
}

std::vector<ServerStep> Concat(std::vector<ServerStep> first, const std::vector<ServerStep>& rest)
{
    first.insert(first.end(), rest.begin(), rest.end());
    return first;
}

// The usual dialogue from a@b to c@d.
std::vector<ServerStep> Dialogue()
{
    return Concat({{"", "220 fake ready\r\n"}, {"EHLO quill.test", "250 fake\r\n"}},
                  Delivery("MAIL FROM: <a@b>", {"c@d"}));
}

// What one run gave, on both sides.
struct Outcome {
    bool Sent = false;
    SmtpResult Result = SmtpResult::Success;
    std::string ErrorText;
    std::vector<std::string> Lines; // what the server got, outside data
    std::string Data;
    std::string Problem; // the server's
    std::string Log;
    std::uint32_t Peer = 0;
};

class SmtpClientTest : public ::testing::Test {
protected:
    void SetUp() override { SetStringTable(kSmtpTexts, std::size(kSmtpTexts)); }

    void TearDown() override
    {
        SetMainIniPath("");
        SetStringTable(nullptr, 0);
    }

    Outcome Run(std::vector<ServerStep> script, const std::string& message = kMessage, const char* recipients = "c@d",
                const char* from = "a@b", const SmtpClientOptions& options = {})
    {
        ScriptedServer server(std::move(script));
        EXPECT_TRUE(server.Valid());
        const std::string path = m_dir.WriteFile("message.txt", message);
        LineLog log;
        SmtpClient client("127.0.0.1", server.Port(), "quill.test", log, options);
        Outcome outcome;
        outcome.Sent = client.Send(from, recipients, path.c_str());
        outcome.Result = client.Result();
        outcome.ErrorText = client.ErrorText();
        client.Close();
        EXPECT_TRUE(server.WaitFinished()) << "the server's connection did not end";
        outcome.Lines = server.Lines();
        outcome.Data = server.Data();
        outcome.Problem = server.Problem();
        outcome.Log = log.Text();
        outcome.Peer = server.PeerAddress();
        return outcome;
    }

    // Send refuses from and recipients without reaching the server.
    void ExpectRefusedBeforeConnecting(const char* from, const char* recipients)
    {
        ScriptedServer server(Dialogue());
        ASSERT_TRUE(server.Valid());
        const std::string path = m_dir.WriteFile("message.txt", kMessage);
        LineLog log;
        SmtpClient client("127.0.0.1", server.Port(), "quill.test", log);
        EXPECT_FALSE(client.Send(from, recipients, path.c_str()));
        EXPECT_EQ(client.Result(), SmtpResult::NoRecipients);
        EXPECT_FALSE(client.IsOpen());
        EXPECT_EQ(server.PeerAddress(), 0u) << "the client connected";
        EXPECT_EQ(client.Recipients().Count(), 0);
        EXPECT_EQ(log.Text().find('\r'), std::string::npos) << "a CR reached the log: " << log.Text();
    }

    // Run on a thread of its own, waited for with a deadline, so that a client that never gives up fails the test
    // instead of hanging it; took is how long the run took.
    std::optional<Outcome> RunWithDeadline(const std::vector<ServerStep>& script, const SmtpClientOptions& options,
                                           Clock::duration& took)
    {
        const auto start = Clock::now();
        std::future<Outcome> run =
                std::async(std::launch::async, [&] { return Run(script, kMessage, "c@d", "a@b", options); });
        if (run.wait_for(test::kPatience) != std::future_status::ready) {
            return std::nullopt;
        }
        Outcome got = run.get();
        took = Clock::now() - start;
        return got;
    }

    test::TempDir m_dir{"qm-smtp"};
};

std::vector<std::string> Commands(std::initializer_list<std::string> lines)
{
    return lines;
}

void ExpectFailed(const Outcome& got, SmtpResult want, const std::string& logged)
{
    EXPECT_FALSE(got.Sent);
    EXPECT_EQ(got.Result, want) << got.Log;
    EXPECT_NE(got.Log.find(logged), std::string::npos) << got.Log;
}

void ExpectDelivered(const Outcome& got, const std::vector<std::string>& wantLines)
{
    EXPECT_TRUE(got.Sent) << got.Log;
    EXPECT_EQ(got.Result, SmtpResult::Success);
    EXPECT_EQ(got.Problem, "");
    EXPECT_EQ(got.Lines, wantLines);
    EXPECT_EQ(got.Data, kMessage + ".\r\n");
    // The server closes right after its 221: that is the normal end, not a lost connection.
    EXPECT_EQ(got.Log.find("unexpectedly closed"), std::string::npos) << got.Log;
    EXPECT_NE(got.Log.find("SMTP Completed successfully."), std::string::npos) << got.Log;
}

TEST_F(SmtpClientTest, DialogueGoesOnThroughTheServersAnswers)
{
    struct Case {
        const char* Name;
        std::vector<ServerStep> Script;
        const char* Recipients;
        std::vector<std::string> Want; // the lines the server gets
    };

    const std::string sized = "MAIL FROM: <a@b> SIZE=" + std::to_string(kMessage.size());
    const Case cases[] = {
            {"plain EHLO", Dialogue(), "c@d",
             Commands({"EHLO quill.test", "MAIL FROM: <a@b>", "RCPT TO: <c@d>", "DATA", "QUIT"})},
            {"EHLO refused with 502",
             Concat({{"", "220 fake\r\n"}, {"EHLO quill.test", "502 no\r\n"}, {"HELO quill.test", "250 hi\r\n"}},
                    Delivery("MAIL FROM: <a@b>", {"c@d"})),
             "c@d",
             Commands({"EHLO quill.test", "HELO quill.test", "MAIL FROM: <a@b>", "RCPT TO: <c@d>", "DATA", "QUIT"})},
            {"EHLO refused with a multi-line 550",
             Concat({{"", "220 fake\r\n"},
                     {"EHLO quill.test", "550-not here\r\n550-nor there\r\n550 go away\r\n"},
                     {"HELO quill.test", "250 hi\r\n"}},
                    Delivery("MAIL FROM: <a@b>", {"c@d"})),
             "c@d",
             Commands({"EHLO quill.test", "HELO quill.test", "MAIL FROM: <a@b>", "RCPT TO: <c@d>", "DATA", "QUIT"})},
            {"SIZE in a multi-line EHLO reply",
             Concat({{"", "220-fake\r\n220 ready\r\n"},
                     {"EHLO quill.test", "250-fake greets quill.test\r\n250-SIZE 1000000\r\n250 HELP\r\n"}},
                    Delivery(sized, {"c@d"})),
             "c@d", Commands({"EHLO quill.test", sized, "RCPT TO: <c@d>", "DATA", "QUIT"})},
            {"SIZE in any case and alone on its line",
             Concat({{"", "220 fake\r\n"}, {"EHLO quill.test", "250-fake\r\n250 size\r\n"}}, Delivery(sized, {"c@d"})),
             "c@d", Commands({"EHLO quill.test", sized, "RCPT TO: <c@d>", "DATA", "QUIT"})},
            {"an extension that only begins with SIZE",
             Concat({{"", "220 fake\r\n"}, {"EHLO quill.test", "250-fake\r\n250 SIZEABLE\r\n"}},
                    Delivery("MAIL FROM: <a@b>", {"c@d"})),
             "c@d", Commands({"EHLO quill.test", "MAIL FROM: <a@b>", "RCPT TO: <c@d>", "DATA", "QUIT"})},
            {"three recipients, one with a quoted comma",
             Concat({{"", "220 fake\r\n"}, {"EHLO quill.test", "250 fake\r\n"}},
                    Delivery("MAIL FROM: <a@b>", {"j@x", "k@y", "l@z"})),
             "\"Doe, J\" <j@x>, k@y; l@z",
             Commands({"EHLO quill.test", "MAIL FROM: <a@b>", "RCPT TO: <j@x>", "RCPT TO: <k@y>", "RCPT TO: <l@z>",
                       "DATA", "QUIT"})},
            {"a reply code alone on its line",
             Concat({{"", "220\r\n"}, {"EHLO quill.test", "250\r\n"}}, Delivery("MAIL FROM: <a@b>", {"c@d"})), "c@d",
             Commands({"EHLO quill.test", "MAIL FROM: <a@b>", "RCPT TO: <c@d>", "DATA", "QUIT"})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        ExpectDelivered(Run(c.Script, kMessage, c.Recipients), c.Want);
    }
}

TEST_F(SmtpClientTest, WrongOrMalformedReplyEndsTheRunWithoutQuit)
{
    struct Case {
        const char* Name;
        std::vector<ServerStep> Script;
        std::string ErrorText;
        std::vector<std::string> Want;
    };

    const ServerStep greeting{"", "220 fake\r\n"};
    const ServerStep ehlo{"EHLO quill.test", "250 fake\r\n"};
    const ServerStep mail{"MAIL FROM: <a@b>", "250 ok\r\n"};
    const Case cases[] = {
            {"550 to the second RCPT",
             {greeting, ehlo, mail, {"RCPT TO: <j@x>", "250 ok\r\n"}, {"RCPT TO: <k@y>", "550 no such user\r\n"}},
             "550 no such user",
             Commands({"EHLO quill.test", "MAIL FROM: <a@b>", "RCPT TO: <j@x>", "RCPT TO: <k@y>"})},
            {"greeting refused", {{"", "554 go away\r\n"}}, "554 go away", {}},
            {"greeting that is no reply", {{"", "hello there\r\n"}}, "hello there", {}},
            {"code with a wrong separator", {{"", "220/ready\r\n"}}, "220/ready", {}},
            {"HELO refused after EHLO",
             {greeting, {"EHLO quill.test", "500 what\r\n"}, {"HELO quill.test", "501 bad domain\r\n"}},
             "501 bad domain",
             Commands({"EHLO quill.test", "HELO quill.test"})},
            {"MAIL refused",
             {greeting, ehlo, {"MAIL FROM: <a@b>", "451 try later\r\n"}},
             "451 try later",
             Commands({"EHLO quill.test", "MAIL FROM: <a@b>"})},
            {"DATA answered with 250",
             {greeting,
              ehlo,
              mail,
              {"RCPT TO: <j@x>", "250 ok\r\n"},
              {"RCPT TO: <k@y>", "250 ok\r\n"},
              {"DATA", "250 what data\r\n"}},
             "250 what data",
             Commands({"EHLO quill.test", "MAIL FROM: <a@b>", "RCPT TO: <j@x>", "RCPT TO: <k@y>", "DATA"})},
            {"message refused after the data",
             {greeting,
              ehlo,
              mail,
              {"RCPT TO: <j@x>", "250 ok\r\n"},
              {"RCPT TO: <k@y>", "250 ok\r\n"},
              {"DATA", "354 go\r\n"},
              {kDataBlock, "554 spam\r\n"}},
             "554 spam",
             Commands({"EHLO quill.test", "MAIL FROM: <a@b>", "RCPT TO: <j@x>", "RCPT TO: <k@y>", "DATA"})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Outcome got = Run(c.Script, kMessage, "j@x, k@y");
        EXPECT_FALSE(got.Sent);
        EXPECT_EQ(got.Result, SmtpResult::ProtocolError) << got.Log;
        EXPECT_EQ(got.ErrorText, c.ErrorText);
        EXPECT_EQ(got.Lines, c.Want);
        EXPECT_NE(got.Log.find("SMTP Protocol error: " + c.ErrorText + "."), std::string::npos) << got.Log;
        EXPECT_NE(got.Log.find("SMTP Completed unsuccessfully."), std::string::npos) << got.Log;
    }
}

TEST_F(SmtpClientTest, MessageDataIsDotStuffedAndEndedOnce)
{
    std::string manyDots;
    std::string manyDotsStuffed;
    for (int i = 0; i < 4096; ++i) {
        manyDots += "\n.";
        manyDotsStuffed += "\r\n..";
    }
    // A line end as the last byte of one block and a dot as the first of the next.
    const std::string acrossBlocks = std::string(SmtpClient::kFileBlockSize - 1, 'a') + "\n.b\r\n";
    // A CR as the last byte of one block, and its LF (or a dot, for a bare CR) as the first of the next.
    const std::string crAcrossBlocks = std::string(SmtpClient::kFileBlockSize - 1, 'a') + "\r\n.b\r\n";
    const std::string bareCrAcrossBlocks = std::string(SmtpClient::kFileBlockSize - 1, 'a') + "\r.b\r\n";

    struct Case {
        const char* Name;
        std::string File;
        std::string Want;
    };

    const Case cases[] = {
            {"a line beginning with a dot", "Subject: t\r\n\r\n.x\r\n", "Subject: t\r\n\r\n..x\r\n.\r\n"},
            {"a line that is a dot alone", "A: b\r\n\r\n.\r\nmore\r\n", "A: b\r\n\r\n..\r\nmore\r\n.\r\n"},
            {"a dot as the first byte of the file", ".x\r\n", "..x\r\n.\r\n"},
            {"dots inside a line stay", "a.b\r\n..c\r\n", "a.b\r\n...c\r\n.\r\n"},
            {"no line end at the end", "A: b\r\n\r\nlast", "A: b\r\n\r\nlast\r\n.\r\n"},
            {"bare LFs and a bare CR become CR LF", "A: b\n\nfirst\rlast\n", "A: b\r\n\r\nfirst\r\nlast\r\n.\r\n"},
            {"a CR as the last byte of the file", "A: b\r\n\r\nlast\r", "A: b\r\n\r\nlast\r\n.\r\n"},
            {"a dot after a bare CR or a bare LF", "x\r.y\n.z\r\n", "x\r\n..y\r\n..z\r\n.\r\n"},
            {"a CR LF split between two blocks", crAcrossBlocks,
             std::string(SmtpClient::kFileBlockSize - 1, 'a') + "\r\n..b\r\n.\r\n"},
            {"a bare CR at the end of a block", bareCrAcrossBlocks,
             std::string(SmtpClient::kFileBlockSize - 1, 'a') + "\r\n..b\r\n.\r\n"},
            {"an empty file", "", ".\r\n"},
            {"4096 dots after line ends", manyDots, manyDotsStuffed + "\r\n.\r\n"},
            {"a dot after a line end across blocks", acrossBlocks,
             std::string(SmtpClient::kFileBlockSize - 1, 'a') + "\r\n..b\r\n.\r\n"},
            {"exactly one block", std::string(SmtpClient::kFileBlockSize - 2, 'z') + "\r\n",
             std::string(SmtpClient::kFileBlockSize - 2, 'z') + "\r\n.\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Outcome got = Run(Dialogue(), c.File);
        EXPECT_TRUE(got.Sent) << got.Log;
        EXPECT_EQ(got.Problem, "");
        EXPECT_TRUE(got.Data == c.Want) << "got " << got.Data.size() << " bytes, want " << c.Want.size();
        EXPECT_EQ(got.Data.size() >= 5 ? got.Data.substr(got.Data.size() - 5) : got.Data,
                  c.Want.size() >= 5 ? "\r\n.\r\n" : ".\r\n");
    }
}

// The lines of data as a receiver that takes a bare CR or a bare LF as a line end would read them.
std::vector<std::string> LenientLines(const std::string& data)
{
    std::vector<std::string> lines;
    std::string line;
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (data[i] == '\r' || data[i] == '\n') {
            lines.push_back(line);
            line.clear();
            if (data[i] == '\r' && i + 1 < data.size() && data[i + 1] == '\n') {
                ++i;
            }
        } else {
            line.push_back(data[i]);
        }
    }
    if (!line.empty()) {
        lines.push_back(line);
    }
    return lines;
}

TEST_F(SmtpClientTest, BareLineEndsCannotSmuggleAnEndOfDataOrASecondMessage)
{
    // A body that, with bare CRs or LFs kept, ends the data early and starts a second message to someone else.
    const std::string smuggled = "MAIL FROM: <boss@corp.test>\r\nRCPT TO: <victim@else.test>\r\nDATA\r\n"
                                 "Subject: forged\r\n\r\nsend money\r\n";
    struct Case {
        const char* Name;
        std::string File;
        std::string Want;
    };

    const Case cases[] = {
            {"CR dot CR LF", "Subject: t\r\n\r\nhi\r.\r\n" + smuggled,
             "Subject: t\r\n\r\nhi\r\n..\r\n" + smuggled + ".\r\n"},
            {"LF dot CR LF", "Subject: t\r\n\r\nhi\n.\r\n" + smuggled,
             "Subject: t\r\n\r\nhi\r\n..\r\n" + smuggled + ".\r\n"},
            {"CR LF dot CR", "Subject: t\r\n\r\nhi\r\n.\r" + smuggled,
             "Subject: t\r\n\r\nhi\r\n..\r\n" + smuggled + ".\r\n"},
            {"CR dot LF", "Subject: t\r\n\r\nhi\r.\n" + smuggled,
             "Subject: t\r\n\r\nhi\r\n..\r\n" + smuggled + ".\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Outcome got = Run(Dialogue(), c.File);
        EXPECT_TRUE(got.Sent) << got.Log;
        EXPECT_EQ(got.Problem, "");
        // One message: one envelope, one DATA, and nothing after the data but QUIT.
        EXPECT_EQ(got.Lines, Commands({"EHLO quill.test", "MAIL FROM: <a@b>", "RCPT TO: <c@d>", "DATA", "QUIT"}));
        EXPECT_EQ(got.Data, c.Want);
        // Even a receiver that ends lines at a bare CR or LF finds the line "." only at the very end.
        const std::vector<std::string> lines = LenientLines(got.Data);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(std::count(lines.begin(), lines.end(), "."), 1);
        EXPECT_EQ(lines.back(), ".");
    }
}

TEST_F(SmtpClientTest, AddressThatCouldBreakACommandLineIsRefusedBeforeConnecting)
{
    struct Case {
        const char* From;
        const char* Recipients;
    };

    const Case cases[] = {
            {"a@b", "c@d\r\nRCPT TO: e@f"},
            {"a@b", "<c@d\r\nDATA>"},
            {"a@b", "ok@x, bad@y\nQUIT"},
            {"a@b", "<c d@e>"},
            {"a@b", "<x<y@z>"},
            {"a@b", "c@d>x"},
            {"a@b\r\nRCPT TO: e@f", "c@d"},
            {"<a\rb@c>", "c@d"},
            {"a@b", "c\td@e"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "from " << c.From << " to " << c.Recipients);
        ExpectRefusedBeforeConnecting(c.From, c.Recipients);
    }
}

TEST_F(SmtpClientTest, RecipientsAreSplitOutsideQuotes)
{
    struct Case {
        const char* Text;
        std::vector<std::string> Want;
    };

    const Case cases[] = {
            {"\"Doe, J\" <j@x>, k@y; l@z", {"j@x", "k@y", "l@z"}},
            {"a@b", {"a@b"}},
            {" , a@b ;; ,c@d, ", {"a@b", "c@d"}},
            {"Doe\\, J <j@x>; k@y", {"j@x", "k@y"}},
            {"\"a;b\\\"c,d\" <q@r>, s@t", {"q@r", "s@t"}},
            {"x@y (Mr X), z@w", {"x@y", "z@w"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Text);
        LineLog log;
        SmtpClient client("127.0.0.1", 25, "quill.test", log);
        EXPECT_TRUE(client.SetRecipients("Me <me@here>", c.Text));
        EXPECT_EQ(client.Sender(), "me@here");
        std::vector<std::string> got;
        got.reserve(static_cast<std::size_t>(client.Recipients().Count()));
        for (int i = 0; i < client.Recipients().Count(); ++i) {
            got.emplace_back(client.Recipients().Item(i));
        }
        EXPECT_EQ(got, c.Want);
    }
}

TEST_F(SmtpClientTest, NothingToSendEndsBeforeConnecting)
{
    struct Case {
        const char* Name;
        const char* Recipients;
        bool FileExists;
        SmtpResult Want;
        const char* Logged;
    };

    const Case cases[] = {
            {"no recipient", "", true, SmtpResult::NoRecipients, "SMTP No recipients specified."},
            {"only separators", " , ; ", true, SmtpResult::NoRecipients, "SMTP No recipients specified."},
            {"only a display name in brackets", "<>", true, SmtpResult::NoRecipients, "SMTP No recipients specified."},
            {"no message file", "c@d", false, SmtpResult::CannotOpenFile, "SMTP Could not open message file."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        ScriptedServer server(Dialogue());
        ASSERT_TRUE(server.Valid());
        const std::string path = c.FileExists ? m_dir.WriteFile("message.txt", kMessage) : m_dir.PathOf("missing.txt");
        LineLog log;
        SmtpClient client("127.0.0.1", server.Port(), "quill.test", log);
        EXPECT_FALSE(client.Send("a@b", c.Recipients, path.c_str()));
        EXPECT_EQ(client.Result(), c.Want);
        EXPECT_EQ(server.PeerAddress(), 0u);
        EXPECT_NE(log.Text().find(c.Logged), std::string::npos) << log.Text();
    }
}

TEST_F(SmtpClientTest, LostOrSilentServerEndsTheRunWithinTheTimeOut)
{
    struct Case {
        const char* Name;
        std::vector<ServerStep> Script;
        SmtpResult Want;
        const char* Logged;
    };

    const std::string longLine(700, 'x');
    const Case cases[] = {
            {"no greeting", {}, SmtpResult::Timeout, "SMTP Connection timed out."},
            {"no answer to EHLO", {{"", "220 fake\r\n"}}, SmtpResult::Timeout, "SMTP Connection timed out."},
            {"an unfinished multi-line reply",
             {{"", "220 fake\r\n"}, {"EHLO quill.test", "250-fake\r\n250-more\r\n"}},
             SmtpResult::Timeout,
             "SMTP Connection timed out."},
            {"no answer to the data",
             {{"", "220 fake\r\n"},
              {"EHLO quill.test", "250 fake\r\n"},
              {"MAIL FROM: <a@b>", "250 ok\r\n"},
              {"RCPT TO: <c@d>", "250 ok\r\n"},
              {"DATA", "354 go\r\n"}},
             SmtpResult::Timeout,
             "SMTP Connection timed out."},
            {"closed while EHLO waits",
             {{"", "220 fake\r\n"}, {"EHLO quill.test", "", true}},
             SmtpResult::ConnectionClosed,
             "SMTP Connection unexpectedly closed."},
            {"closed while the data waits for its answer",
             {{"", "220 fake\r\n"},
              {"EHLO quill.test", "250 fake\r\n"},
              {"MAIL FROM: <a@b>", "250 ok\r\n"},
              {"RCPT TO: <c@d>", "250 ok\r\n"},
              {"DATA", "354 go\r\n"},
              {kDataBlock, "", true}},
             SmtpResult::ConnectionClosed,
             "SMTP Connection unexpectedly closed."},
            {"a reply line too long for the buffer",
             {{"", "220-" + longLine + "\r\n"}},
             SmtpResult::ReceiveOverflow,
             "SMTP Receive buffer overflow."},
    };
    const SmtpClientOptions options{.ReplyTimeout = 400ms, .ConnectTimeout = 5s};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Clock::duration took{};
        const std::optional<Outcome> got = RunWithDeadline(c.Script, options, took);
        ASSERT_TRUE(got.has_value()) << "the client did not give up";
        ExpectFailed(*got, c.Want, c.Logged);
        if (c.Want == SmtpResult::Timeout) {
            EXPECT_GE(took, options.ReplyTimeout);
            EXPECT_LT(took, options.ReplyTimeout + 10s);
        }
    }
}

TEST_F(SmtpClientTest, QuitAnsweredOrNotTheAcceptedMessageCountsAsSent)
{
    // The message was accepted; the server then closes at once, or never answers QUIT.
    const std::vector<ServerStep> closes = Concat({{"", "220 fake\r\n"},
                                                   {"EHLO quill.test", "250 fake\r\n"},
                                                   {"MAIL FROM: <a@b>", "250 ok\r\n"},
                                                   {"RCPT TO: <c@d>", "250 ok\r\n"},
                                                   {"DATA", "354 go\r\n"}},
                                                  {{kDataBlock, "250 queued\r\n"}, {"QUIT", "", true}});
    std::vector<ServerStep> silent = closes;
    silent.back().CloseAfter = false;
    const SmtpClientOptions options{.ReplyTimeout = 400ms, .ConnectTimeout = 5s};
    for (const auto& script : {closes, silent}) {
        Outcome got = Run(script, kMessage, "c@d", "a@b", options);
        EXPECT_TRUE(got.Sent) << got.Log;
        EXPECT_EQ(got.Result, SmtpResult::Success);
        EXPECT_EQ(got.Log.find("unexpectedly closed"), std::string::npos) << got.Log;
    }
}

TEST_F(SmtpClientTest, UnreachableServerGivesTheConnectError)
{
    int port = 0;
    {
        test::LoopbackListener gone;
        ASSERT_TRUE(gone.Valid());
        port = gone.Port();
    }
    const std::string path = m_dir.WriteFile("message.txt", kMessage);
    LineLog log;
    SmtpClient client("127.0.0.1", port, "quill.test", log);
    EXPECT_FALSE(client.Send("a@b", "c@d", path.c_str()));
    EXPECT_EQ(client.Result(), SmtpResult::ConnectError);
    EXPECT_NE(log.Text().find("SMTP Winsock connect error: "), std::string::npos) << log.Text();
}

TEST_F(SmtpClientTest, MainIniChoosesTheLocalAddressAndHelo)
{
    struct Case {
        const char* Ini;
        std::uint32_t WantPeer;
        const char* WantGreeting;
    };

    const Case cases[] = {
            {"[WebServer]\r\nBindAddress=127.0.0.2\r\n[SmtpClient]\r\nUseESMTP=No\r\n", 0x7F000002, "HELO quill.test"},
            {"[WebServer]\r\nBindAddress=not an address\r\n", 0x7F000001, "EHLO quill.test"},
            {"", 0x7F000001, "EHLO quill.test"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Ini);
        SetMainIniPath(m_dir.WriteFile("Quillmail.ini", c.Ini));
        std::vector<ServerStep> script = Dialogue();
        script[1].Expect = c.WantGreeting;
        Outcome got = Run(script);
        EXPECT_TRUE(got.Sent) << got.Log << got.Problem;
        EXPECT_EQ(got.Peer, c.WantPeer);
        ASSERT_FALSE(got.Lines.empty());
        EXPECT_EQ(got.Lines[0], c.WantGreeting);
    }
}

TEST_F(SmtpClientTest, HeloDomainIsCutAtALineBreak)
{
    ScriptedServer server(Dialogue());
    ASSERT_TRUE(server.Valid());
    const std::string path = m_dir.WriteFile("message.txt", kMessage);
    LineLog log;
    SmtpClient client("127.0.0.1", server.Port(), "quill.test\r\nRSET", log);
    EXPECT_TRUE(client.Send("a@b", "c@d", path.c_str())) << log.Text();
    ASSERT_TRUE(server.WaitFinished());
    EXPECT_EQ(server.Problem(), "");
    EXPECT_EQ(server.Lines().front(), "EHLO quill.test");
}

} // namespace
} // namespace qm::store
