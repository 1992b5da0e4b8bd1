#include "common/OutgoingMessage.h"

#include "common/Scrambler.h"
#include "platform/Charset.h"
#include "testsupport/Program.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace qm {
namespace {

using test::ReadBytes;
using test::TempDir;

const std::string kDate = "Date: Thu, 10 Dec 2026 15:34:44 +0100\r\n";
const std::string kBoundary = "1210-1534-44-PART-BREAK";

OutgoingMessage BaseMessage(const TempDir& dir)
{
    OutgoingMessage m;
    m.From = "\"Ann\" <ann@example.com>";
    m.To = "bob@example.com";
    m.Subject = "Hi";
    m.Charset = "ISO-8859-1";
    m.Language = "en";
    m.ComposeDir = dir / "compose";
    std::filesystem::create_directories(m.ComposeDir);
    m.Time = MessageTime{2026, 12, 10, 15, 34, 44, 4, 60};
    return m;
}

struct MessageCase {
    const char* Name;
    std::function<void(OutgoingMessage&, const TempDir&)> Setup;
    MessageForm Form;
    std::string Want;
};

void WriteFile(const std::string& path, const std::string& bytes)
{
    test::WriteBytes(path, bytes);
}

std::vector<MessageCase> MessageCases()
{
    const std::string head = kDate + "From: \"Ann\" <ann@example.com>\r\nTo: bob@example.com\r\n";
    const std::string mailer = "X-Mailer: Quillmail Pro 2.2.3\r\n";
    const std::string longLine(5000, 'L');
    return {
            {"PlainAsciiHasNoMimeHeaders",
             [](OutgoingMessage& m, const TempDir&) { WriteFile(m.ComposeDir + "/.body.txt", "Hello\r\nWorld"); },
             MessageForm::Send, head + "Subject: Hi\r\n" + mailer + "\r\nHello\r\nWorld\r\n"},
            {"EightBitText",
             [](OutgoingMessage& m, const TempDir&) {
                 m.Charset = "windows-1251";
                 WriteFile(m.ComposeDir + "/.body.txt", "\xcf\xf0\xe8\r\n");
             },
             MessageForm::Send,
             head +
                     "Subject: Hi\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset=\"windows-1251\"\r\n"
                     "Content-Transfer-Encoding: 8bit\r\n" +
                     mailer + "\r\n\xcf\xf0\xe8\r\n"},
            // Two 8-bit words around an ASCII word: one encoded word in the Subject, two in From.
            {"EncodedWords",
             [](OutgoingMessage& m, const TempDir&) {
                 m.From = "\xc4 x \xd6 <ann@example.com>";
                 m.Subject = "\xc4 x \xd6";
             },
             MessageForm::Send,
             kDate +
                     "From: =?ISO-8859-1?Q?=C4?= x =?ISO-8859-1?Q?=D6?= <ann@example.com>\r\nTo: bob@example.com\r\n"
                     "Subject: =?ISO-8859-1?B?xCB4INY=?=\r\n" +
                     mailer + "\r\n"},
            {"AttachmentsInBase64WithTheirTypes",
             [](OutgoingMessage& m, const TempDir&) {
                 WriteFile(m.ComposeDir + "/.body.txt", "See attached.");
                 WriteFile(m.ComposeDir + "/b.txt", "abc");
                 WriteFile(m.ComposeDir + "/.b.txt", "text/plain\r\n");
                 WriteFile(m.ComposeDir + "/a \"q\".bin", "");
             },
             MessageForm::Send,
             head + "Subject: Hi\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"" + kBoundary +
                     "\"\r\n" + mailer + "\r\n--" + kBoundary +
                     "\r\nContent-Type: text/plain\r\n\r\n\r\nSee attached.\r\n--" + kBoundary +
                     "\r\nContent-Type: application/octet-stream\r\nContent-Transfer-Encoding: base64\r\n"
                     "Content-Disposition: attachment; filename=\"a \\\"q\\\".bin\"\r\n\r\n--" +
                     kBoundary +
                     "\r\nContent-Type: text/plain\r\nContent-Transfer-Encoding: base64\r\n"
                     "Content-Disposition: attachment; filename=\"b.txt\"\r\n\r\nYWJj\r\n--" +
                     kBoundary + "--\r\n"},
            {"FooterAndOptionsOnASentMessage",
             [](OutgoingMessage& m, const TempDir& dir) {
                 WriteFile(m.ComposeDir + "/.body.txt", "Text\r\n");
                 m.FooterPath = dir / "footer.txt";
                 WriteFile(m.FooterPath, "--\nSent by Quillmail\n");
                 m.CC = "cc@example.com";
                 m.BCC = "hidden@example.com";
                 m.ReplyTo = " ";
                 m.InReplyTo = "<id@example.com>";
                 m.ConfirmDelivery = m.ConfirmRead = m.Urgent = true;
                 m.Mailbox = "ann";
             },
             MessageForm::Send,
             head + "CC: cc@example.com\r\nSubject: Hi\r\n" + mailer +
                     "In-Reply-To: <id@example.com>\r\nReturn-Receipt-To: ann@example.com\r\n"
                     "X-Confirm-Reading-To: ann@example.com\r\nDisposition-Notification-To: ann@example.com\r\n"
                     "X-Priority: 1 (Highest)\r\n\r\nText\r\n--\r\nSent by Quillmail\r\n"},
            // A reply: its own Message-ID, and the thread's References after In-Reply-To, folded at blanks.
            {"MessageIdAndReferences",
             [](OutgoingMessage& m, const TempDir&) {
                 m.MessageId = "<1.ab@example.com>";
                 m.InReplyTo = "<p3@example.org>";
                 m.References = "<p1@example.org> <p2@example.org> <p3-with-a-rather-long-name@example.org> "
                                "<p3@example.org>";
             },
             MessageForm::Send,
             head + "Subject: Hi\r\n" + mailer +
                     "Message-ID: <1.ab@example.com>\r\nIn-Reply-To: <p3@example.org>\r\n"
                     "References: <p1@example.org> <p2@example.org>\r\n"
                     "\t<p3-with-a-rather-long-name@example.org> <p3@example.org>\r\n\r\n"},
            {"DraftKeepsBccAndItsLinesWithoutFooter",
             [](OutgoingMessage& m, const TempDir& dir) {
                 WriteFile(m.ComposeDir + "/.body.txt", "Draft");
                 m.FooterPath = dir / "footer.txt";
                 WriteFile(m.FooterPath, "footer\n");
                 m.BCC = "hidden@example.com";
                 m.ReplyMessage = "12";
                 m.Mailbox = "ann";
                 m.Advanced = true;
             },
             MessageForm::Draft,
             head + "Subject: Hi\r\n" + mailer +
                     "BCC: hidden@example.com\r\nReplyMessage: 12\r\nMailbox: ann\r\nAdvanced: Yes\r\n\r\nDraft\r\n"},
            // Line breaks in the Subject become blanks; a draft keeps long text lines and NUL bytes, a bare LF ends a
            // line too.
            {"SubjectBreaksBlankedAndDraftLinesKept",
             [longLine](OutgoingMessage& m, const TempDir&) {
                 m.Subject = "Hi\r\nBcc: evil@example.com";
                 WriteFile(m.ComposeDir + "/.body.txt",
                           longLine + "\r\n" + longLine + "\nNUL " + std::string(1, '\0') + " kept");
             },
             MessageForm::Draft,
             head + "Subject: Hi  Bcc: evil@example.com\r\n" + mailer + "\r\n" + longLine + "\r\n" + longLine +
                     "\r\nNUL " + std::string(1, '\0') + " kept\r\n"},
            // A line longer than SMTP carries: the text goes quoted-printable, with soft breaks at 76 characters.
            {"LongLineSentQuotedPrintable",
             [](OutgoingMessage& m, const TempDir&) {
                 WriteFile(m.ComposeDir + "/.body.txt", "a=b \r\n" + std::string(999, 'x'));
             },
             MessageForm::Send,
             head +
                     "Subject: Hi\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset=\"us-ascii\"\r\n"
                     "Content-Transfer-Encoding: quoted-printable\r\n" +
                     mailer + "\r\na=3Db=20\r\n" +
                     [] {
                         std::string lines;
                         for (int i = 0; i < 13; ++i) {
                             lines += std::string(75, 'x') + "=\r\n";
                         }
                         return lines + std::string(999 - 13 * 75, 'x') + "\r\n";
                     }()},
            {"FaxShortTextOnItsCommentsLine",
             [](OutgoingMessage& m, const TempDir&) {
                 WriteFile(m.ComposeDir + "/.body.txt", "posted as multipart\r\nline 2");
                 m.Fax = OutgoingFax{"cover", "", "+1 555,12", "Mr \"X\"", "Co", std::nullopt};
             },
             MessageForm::Send,
             head + "Subject: Hi\r\n" + mailer +
                     "\r\nCOVERPAGE: cover\r\nFAXNUMBER: +1 555%12, \"Mr X\", \"Co\"\r\nPRINTEDFAX: TRUE\r\n"
                     "COMMENTS: posted as multipart%eline 2\r\n"},
    };
}

TEST(OutgoingMessageTest, MessagesAreWrittenByteForByte)
{
    for (const MessageCase& c : MessageCases()) {
        SCOPED_TRACE(c.Name);
        TempDir dir;
        OutgoingMessage m = BaseMessage(dir);
        c.Setup(m, dir);
        const std::string path = dir / "compose/.message.txt";
        const OutgoingResult result = WriteOutgoingMessage(m, c.Form, path);
        EXPECT_TRUE(result) << result.Field;
        EXPECT_EQ(ReadBytes(path), c.Want);
    }
}

// Every message gets its own id, on the right the sender's domain (or the fallback when the sender has none that is
// a plain domain name).
TEST(OutgoingMessageTest, MessageIdsAreUniqueAndNameTheSendersDomain)
{
    struct Case {
        const char* From;
        const char* Domain;
    };

    const Case cases[] = {
            {"\"Ann\" <ann@Example.COM>", "@Example.COM>"},
            {"ann@mail.example.com", "@mail.example.com>"},
            {"<ann>", "@fallback.example>"},
            {"", "@fallback.example>"},
            {"<ann@exa mple.com>", "@fallback.example>"},
            {"<ann@[10.0.0.1]>", "@fallback.example>"},
            {"\"x\" <a@b.org\r\nBcc: e@x.org>", "@fallback.example>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.From);
        const std::string id = NewMessageId(c.From, "fallback.example", 1765378484);
        EXPECT_EQ(id.rfind("<1765378484.", 0), 0u) << id;
        EXPECT_TRUE(id.ends_with(c.Domain)) << id;
        EXPECT_EQ(id.find_first_of(" \t\r\n"), std::string::npos) << id;
    }
    EXPECT_TRUE(NewMessageId("<a>", "not a name", 1).ends_with("@localhost>")) << "a fallback that is no name either";
    EXPECT_NE(NewMessageId("a@b.org", "x", 1), NewMessageId("a@b.org", "x", 1));
}

// References of a reply (RFC 5322 3.6.4): the parent's References, else its In-Reply-To when that is one id, then the
// parent's Message-ID; only well-formed ids, and a long thread keeps its first id and its latest ones.
TEST(OutgoingMessageTest, ReferencesOfAReplyFollowTheThread)
{
    struct Case {
        const char* Name;
        std::string References;
        std::string InReplyTo;
        std::string MessageId;
        std::string Want;
    };

    std::string longThread;
    for (int i = 0; i < 60; ++i) {
        longThread += "<thread-message-" + std::to_string(i) + "@example.org> ";
    }
    const Case cases[] = {
            {"FirstReply", "", "", "<m1@x.org>", "<m1@x.org>"},
            {"ParentsReferencesGoFirst", "<m1@x.org>\t<m2@x.org>", "<m2@x.org>", "<m3@x.org>",
             "<m1@x.org> <m2@x.org> <m3@x.org>"},
            {"ParentsInReplyToWithoutReferences", "", "<m1@x.org>", "<m2@x.org>", "<m1@x.org> <m2@x.org>"},
            {"InReplyToOfTwoIdsIsNotTaken", "", "<m1@x.org> <m0@x.org>", "<m2@x.org>", "<m2@x.org>"},
            {"NoParentIdNoReferences", "<m1@x.org>", "", "", ""},
            {"MalformedIdsDropped", "<m1@x.org> junk <a b@x.org> <m\x01@x.org> <\xe4@x.org> <>", "", "<m2@x.org>",
             "<m1@x.org> <m2@x.org>"},
            {"ARepeatedIdOnce", "<m1@x.org> <m2@x.org>", "", "<m1@x.org>", "<m1@x.org> <m2@x.org>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        EXPECT_EQ(ReplyReferences(c.References, c.InReplyTo, c.MessageId), c.Want);
    }
    const std::string trimmed = ReplyReferences(longThread, "", "<last@example.org>");
    EXPECT_LE(trimmed.size(), kMaxReferencesBytes);
    EXPECT_EQ(trimmed.rfind("<thread-message-0@example.org> <thread-message-", 0), 0u) << trimmed;
    EXPECT_TRUE(trimmed.ends_with(" <thread-message-59@example.org> <last@example.org>")) << trimmed;
}

TEST(OutgoingMessageTest, FaxTextOfAThousandBytesIsWrittenAsText)
{
    for (const std::size_t size : {std::size_t{999}, std::size_t{1000}}) {
        SCOPED_TRACE(size);
        TempDir dir;
        OutgoingMessage m = BaseMessage(dir);
        WriteFile(m.ComposeDir + "/.body.txt", "from the file");
        m.Fax = OutgoingFax{"", "", "5", "", "", std::string(size, 'f')};
        const std::string path = dir / "m.txt";
        ASSERT_TRUE(WriteOutgoingMessage(m, MessageForm::Send, path));
        const std::string got = ReadBytes(path);
        EXPECT_EQ(got.find("PRINTEDFAX: TRUE\r\nCOMMENTS: " + std::string(size, 'f') + "\r\n") != std::string::npos,
                  size < 1000);
        EXPECT_EQ(got.ends_with("\r\n\r\nFAXNUMBER: 5, \"\", \"\"\r\nfrom the file\r\n"), size == 1000);
    }
}

// A line break in an address field would add a header or a recipient: the message is refused and no file remains.
TEST(OutgoingMessageTest, LineBreaksInAddressFieldsAreRefused)
{
    const struct {
        const char* Field;
        std::string OutgoingMessage::*Member;
        const char* Value;
    } cases[] = {
            {"To", &OutgoingMessage::To, "a@example.com\r\nRCPT TO:<evil@example.com>"},
            {"CC", &OutgoingMessage::CC, "a@example.com\nBcc: evil@example.com"},
            {"BCC", &OutgoingMessage::BCC, "a@example.com\revil@example.com"},
            {"From", &OutgoingMessage::From, "<a@example.com>\r\nX-Evil: 1"},
            {"Reply-To", &OutgoingMessage::ReplyTo, "\n"},
    };

    for (const auto& c : cases) {
        SCOPED_TRACE(c.Field);
        TempDir dir;
        OutgoingMessage m = BaseMessage(dir);
        m.*c.Member = c.Value;
        const std::string path = dir / "compose/.message.txt";
        WriteFile(path, "an older message");
        const OutgoingResult result = WriteOutgoingMessage(m, MessageForm::Draft, path);
        EXPECT_EQ(result.Error, OutgoingError::LineBreakInAddress);
        EXPECT_EQ(result.Field, c.Field);
        EXPECT_FALSE(std::filesystem::exists(path));
    }
}

TEST(OutgoingMessageTest, LongAsciiHeaderFoldsAtBlanks)
{
    std::string subject;
    for (int i = 0; subject.size() < 200; ++i) {
        subject += "word" + std::to_string(i) + " ";
    }
    subject += std::string(100, 'z'); // a piece without blanks is cut at 76
    std::string out;
    AppendHeaderField(out, "Subject", subject, true, "en", "ISO-8859-1");
    std::string unfolded;
    std::size_t pos = 0;
    int lines = 0;
    while (pos < out.size()) {
        const std::size_t end = out.find("\r\n", pos);
        ASSERT_NE(end, std::string::npos);
        const std::string line = out.substr(pos, end - pos);
        EXPECT_LE(line.size(), 76U) << line;
        if (lines > 0) {
            EXPECT_EQ(line.front(), '\t') << line;
        }
        unfolded += line;
        ++lines;
        pos = end + 2;
    }
    EXPECT_GE(lines, 4);
    // Folding only turns blanks into line ends and TABs, or adds them: without white space the text is the same.
    std::string want = "Subject: " + subject;
    std::erase(want, ' ');
    std::erase(unfolded, ' ');
    std::erase(unfolded, '\t');
    EXPECT_EQ(unfolded, want);
}

TEST(OutgoingMessageTest, Base64LinesRunOnAcrossReadBlocks)
{
    TempDir dir;
    OutgoingMessage m = BaseMessage(dir);
    std::string data;
    for (int i = 0; i < 200000; ++i) {
        data += static_cast<char>(i * 7 + i / 256);
    }
    WriteFile(m.ComposeDir + "/data.bin", data);
    const std::string path = dir / "m.txt";
    ASSERT_TRUE(WriteOutgoingMessage(m, MessageForm::Send, path));
    const std::string got = ReadBytes(path);
    const std::size_t start = got.find("\r\n\r\n", got.find("filename=\"data.bin\"")) + 4;
    const std::size_t end = got.find("--" + kBoundary + "--");
    std::string joined;
    for (std::size_t pos = start; pos < end;) {
        const std::size_t eol = got.find("\r\n", pos);
        const std::size_t length = eol - pos;
        if (eol + 2 < end) {
            ASSERT_EQ(length, 76U) << "line at " << pos;
        }
        joined += got.substr(pos, length);
        pos = eol + 2;
    }
    EXPECT_EQ(Base64Decode(joined), data);
}

TEST(OutgoingMessageTest, JapaneseTextAsIso2022Jp)
{
    // "a" KATAKANA A (double-byte), half-width GA (KA with the voiced mark), half-width PA, then ASCII.
    const std::string sjis = "a\x83\x41\xb6\xde\xca\xdf!";
    const std::string jis = ShiftJisToIso2022Jp(sjis);
    EXPECT_EQ(jis, "a\x1b$B%\"%,%Q\x1b(B!");
    std::string utf8;
    ASSERT_TRUE(ConvertCharset("ISO-2022-JP", "UTF-8", jis, utf8));
    EXPECT_EQ(utf8, "a\xe3\x82\xa2\xe3\x82\xac\xe3\x83\x91!");
    EXPECT_EQ(ShiftJisToIso2022Jp("\x83"), "\x83"); // a lead byte without its trail byte
    // Escapes make the text longer than its buffer would have been: nothing is cut.
    std::string many;
    for (int i = 0; i < 3000; ++i) {
        many += "\x83\x41x";
    }
    std::string back;
    ASSERT_TRUE(ConvertCharset("ISO-2022-JP", "SHIFT_JIS", ShiftJisToIso2022Jp(many), back));
    EXPECT_EQ(back, many);

    TempDir dir;
    OutgoingMessage m = BaseMessage(dir);
    m.Language = "ja";
    m.Subject = "\x83\x41";
    WriteFile(m.ComposeDir + "/.body.txt", sjis);
    const std::string path = dir / "m.txt";
    ASSERT_TRUE(WriteOutgoingMessage(m, MessageForm::Send, path));
    const std::string got = ReadBytes(path);
    EXPECT_NE(got.find("Subject: =?ISO-2022-JP?B?GyRCJSIbKEI=?=\r\n"), std::string::npos);
    EXPECT_NE(got.find("Content-Type: text/plain; charset=\"ISO-2022-JP\"\r\nX-Mailer"), std::string::npos);
    EXPECT_EQ(got.find("Content-Transfer-Encoding"), std::string::npos);
    EXPECT_TRUE(got.ends_with("\r\n\r\n" + jis + "\r\n"));
}

// A stored copy gets the lines exactly as written: no line is split at a buffer size.
TEST(OutgoingMessageTest, MessageLinesAreReadWhole)
{
    TempDir dir;
    const std::vector<std::string> lines = {std::string(259, 'a'), std::string(260, 'b'), std::string(10000, 'c'), "",
                                            "last"};
    std::string file;
    for (const std::string& line : lines) {
        file += line + "\r\n";
    }
    const std::string path = dir.WriteFile("m.txt", file);
    std::vector<std::string> got;
    ASSERT_TRUE(ForEachMessageLine(path, [&got](std::string_view line) { got.emplace_back(line); }));
    EXPECT_EQ(got, lines);
    EXPECT_FALSE(ForEachMessageLine(dir / "missing", [](std::string_view) {}));
}

// Python's email package reads back what was written: headers, the text (which begins with an empty line and
// whose last line end belongs to the delimiter) and both attachments, with no defect found.
TEST(OutgoingMessageTest, PythonEmailParserReadsTheMessage)
{
    const std::string python = test::FindProgram("python3");
    if (python.empty()) {
        GTEST_SKIP() << "python3 is not installed";
    }
    TempDir dir;
    OutgoingMessage m = BaseMessage(dir);
    m.Subject = "Gr\xfc\xdf"
                "e aus K\xf6ln and a long tail of ascii words to make it longer than one line";
    m.CC = "carl@example.com";
    WriteFile(m.ComposeDir + "/.body.txt", "Zeile \xe4\xf6\xfc\r\n.\r\nEnde");
    WriteFile(m.ComposeDir + "/one.bin", std::string("\0\x01\xff\r\n", 5));
    WriteFile(m.ComposeDir + "/two.txt", std::string(3000, 't'));
    const std::string path = dir / "m.txt";
    ASSERT_TRUE(WriteOutgoingMessage(m, MessageForm::Send, path));
    const char* script = R"(
import email, email.policy, sys
msg = email.message_from_binary_file(open(sys.argv[1], 'rb'), policy=email.policy.default)
print(msg['From'].addresses[0].addr_spec, msg['To'], msg['CC'])
print(msg['Subject'])
parts = list(msg.iter_parts())
print(parts[0].get_content_charset(), repr(parts[0].get_content()))
for p in parts[1:]:
    data = p.get_content()
    print(p.get_filename(), p.get_content_type(), len(data), data[:5])
print(msg.defects, [p.defects for p in parts])
)";
    const test::ProgramRun run = test::RunProgram({python, "-c", script, path});
    ASSERT_TRUE(run.Succeeded()) << run.Errors;
    EXPECT_EQ(run.Output, "ann@example.com bob@example.com carl@example.com\n"
                          "Gr\xc3\xbc\xc3\x9f"
                          "e aus K\xc3\xb6ln and a long tail of ascii words to make it longer than one line\n"
                          "iso-8859-1 '\\nZeile \xc3\xa4\xc3\xb6\xc3\xbc\\n.\\nEnde'\n"
                          "one.bin application/octet-stream 5 b'\\x00\\x01\\xff\\r\\n'\n"
                          "two.txt application/octet-stream 3000 b'ttttt'\n"
                          "[] [[], [], []]\n");
}

// A text with lines too long for SMTP comes back whole from the quoted-printable form.
TEST(OutgoingMessageTest, PythonEmailParserReadsLongLinesBackWhole)
{
    const std::string python = test::FindProgram("python3");
    if (python.empty()) {
        GTEST_SKIP() << "python3 is not installed";
    }
    TempDir dir;
    OutgoingMessage m = BaseMessage(dir);
    std::string line;
    for (int i = 0; i < 300; ++i) {
        line += "w\xe4rt=" + std::to_string(i) + " ";
    }
    WriteFile(m.ComposeDir + "/.body.txt", line + "\r\nshort\t");
    const std::string path = dir / "m.txt";
    ASSERT_TRUE(WriteOutgoingMessage(m, MessageForm::Send, path));
    const std::string text = ReadBytes(path);
    std::size_t longest = 0;
    for (std::size_t at = 0, next; at < text.size(); at = next + 2) {
        next = text.find("\r\n", at);
        ASSERT_NE(next, std::string::npos);
        longest = std::max(longest, next - at);
    }
    EXPECT_LE(longest, 76u);
    const char* script = R"(
import email, email.policy, sys
msg = email.message_from_binary_file(open(sys.argv[1], 'rb'), policy=email.policy.default)
sys.stdout.buffer.write(msg.get_content().encode('iso-8859-1'))
)";
    const test::ProgramRun run = test::RunProgram({python, "-c", script, path});
    ASSERT_TRUE(run.Succeeded()) << run.Errors;
    EXPECT_EQ(run.Output, line + "\nshort\t\n");
}

} // namespace
} // namespace qm
