// The compose state through whole requests: the files a new message, a reply, a reply to all and a forward leave in
// the session's directory, byte for byte; a draft opened from the Message page; the compose fields read back from
// ".headers.txt"; the posted text; and the quoting, name and character-reference rules on their own.
#include "engine/ComposeState.h"

#include "common/Scrambler.h"
#include "engine/DomainSettings.h"
#include "engine/MailActions.h"
#include "engine/Request.h"
#include "engine/SessionManager.h"
#include "engine/TemplateCache.h"
#include "engine/UserLogonLocks.h"
#include "engine/Views.h"
#include "engine/tests/SessionTestSupport.h"
#include "store/AddressBook.h"
#include "store/MessageBuilder.h"
#include "store/MessageIndex.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace qm::engine {
namespace {

namespace MessageFlag = store::MessageFlag;
using store::MessageIndexEntry;
using test::ReadFile;
using test::SessionHarness;
using test::WriteFile;
namespace fs = std::filesystem;

TEST(ComposeQuoteTest, LongLinesBreakAtBlanksOrAtTheWidthWithoutSplittingCharacters)
{
    const std::string spaceless(200, 'x');

    struct Case {
        const char* Name;
        std::string Source;
        std::string Prefix;
        int Width;
        std::string Language;
        std::string Want;
    };

    const Case cases[] = {
            {"200 bytes without a blank at 71", spaceless, "> ", 71, "en",
             "> " + std::string(71, 'x') + "\r\n> " + std::string(71, 'x') + "\r\n> " + std::string(58, 'x') + "\r\n"},
            {"breaks at the last blank, which is dropped", "aaa bbb ccc ddd", "> ", 8, "en",
             "> aaa bbb\r\n> ccc ddd\r\n"},
            {"a blank right after the width column still counts", "aaaa bbbb", "", 4, "en", "aaaa\r\nbbbb\r\n"},
            {"empty lines and bare LF are kept, CR LF read as one end", "a\r\n\nb", "> ", 10, "en",
             "> a\r\n> \r\n> b\r\n"},
            {"an empty remainder writes nothing", "abcd ", "", 4, "en", "abcd\r\n"},
            {"Shift-JIS pairs are not split", "a\x82\xA0\x82\xA2", "", 4, "ja", "a\x82\xA0\r\n\x82\xA2\r\n"},
            {"UTF-8 sequences are not split", "ab\xC3\xA4\xC3\xB6", "", 3, "en", "ab\r\n\xC3\xA4\r\n\xC3\xB6\r\n"},
            {"bytes of a single-byte charset are cut where they fall", "ab\xE4\xF6\xFC", "", 3, "ru",
             "ab\xE4\r\n\xF6\xFC\r\n"},
            {"a width of 0 still advances", "abc", "", 0, "en", "a\r\nb\r\nc\r\n"},
            {"a line of 5000 bytes is one line, never cut at a buffer size", std::string(5000, 'y'), "", 6000, "en",
             std::string(5000, 'y') + "\r\n"},
            {"received markup stays as it is", "</textarea><b>", "> ", 72, "en", "> </textarea><b>\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        EXPECT_EQ(QuoteLines(c.Source, c.Prefix, c.Width, c.Language), c.Want);
    }
}

TEST(ComposeQuoteTest, CharacterReferencesBecomeTheCharacterInThePagesCharset)
{
    struct Case {
        const char* Text;
        const char* Language;
        const char* Charset; // the page's, language message 64
        const char* Want;
    };

    const Case cases[] = {
            // A UTF-8 page (English and German here) gets UTF-8 characters, never single bytes of a code page.
            {"&#228;", "en", "UTF-8", "\xC3\xA4"},
            {"&#228;", "de", "utf-8", "\xC3\xA4"},
            {"x&#1076;&#8364;y", "en", "UTF-8", "x\xD0\xB4\xE2\x82\xACy"},
            {"&#128512;", "en", "UTF-8", "\xF0\x9F\x98\x80"},
            // A page in a single-byte or double-byte character set gets that set's bytes.
            {"&#1076;", "ru", "windows-1251", "\xE4"},
            {"&#228;", "en", "ISO-8859-1", "\xE4"},
            {"&#1076;", "en", "ISO-8859-1", "&#1076;"}, // that set has no such letter
            {"&#12354;", "ja", "Shift_JIS", "\x82\xA0"},
            // A character set the converter does not know: the code page of the language.
            {"&#1076;", "ru", "no-such-set", "\xE4"},
            {"&#228;", "en", "", "\xE4"},
            // What is not a reference to a character stays as it is.
            {"&#65;&#66", "en", "UTF-8", "A&#66"},
            {"&#0; &#; &# &#x41; &#55296; &#1114112; &#00000065;", "en", "UTF-8",
             "&#0; &#; &# &#x41; &#55296; &#1114112; &#00000065;"},
            {"&#&#65;", "en", "UTF-8", "&#A"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.Text) + " " + c.Charset);
        EXPECT_EQ(ReplaceCharacterReferences(c.Text, c.Language, c.Charset), c.Want);
    }
}

TEST(ComposeQuoteTest, AttachmentNamesStayInsideTheComposeDirectory)
{
    struct Case {
        const char* Part;
        const char* Want;
    };

    const Case cases[] = {
            {"report.pdf", "report.pdf"},
            {"../../x", "x"},
            {"C:\\Users\\a\\b.txt", "b.txt"},
            {".body.txt", "attachment-body.txt"},
            {".headers.txt", "attachment-headers.txt"},
            {"..", "attachment"},
            {"", "attachment"},
            {"a\r\nb\tc", "abc"},
            {"...", "attachment"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Part);
        const std::string name = AttachmentFileNameOf(c.Part);
        EXPECT_EQ(name, c.Want);
        EXPECT_TRUE(IsAttachmentFileName(name));
    }
    for (const char* bad : {"", ".x", "..", "a/b", "a\\b", "a\nb"}) {
        EXPECT_FALSE(IsAttachmentFileName(bad)) << bad;
    }
}

constexpr const char* kLanguages = "[en]\r\n001=English\r\n002=Inbox\r\n003=Drafts\r\n004=Sent\r\n005=Trash\r\n"
                                   "046=No such message.\r\n064=UTF-8\r\n[ru]\r\n064=windows-1251\r\n";

// The text of ".headers.txt" with the given fields set and every other one empty.
std::string HeadersFile(const std::map<std::string, std::string>& set)
{
    std::string text;
    for (const char* name : kComposeHeaderFields) {
        const auto found = set.find(name);
        text += std::string(name) + ": " + (found != set.end() ? found->second : "") + "\r\n";
    }
    return text;
}

constexpr const char* kFrom = "\"Alice A\" <alice@x.org>";

class ComposeStateTest : public ::testing::Test {
public:
    ComposeStateTest()
    {
        const fs::path templates = m_harness.Settings().Dir() / "Templates";
        fs::create_directories(templates / "Globe");
        WriteFile(templates / "Languages.ini", kLanguages);
        for (const char* page : {"Logon", "Main", "Error", "List", "Message", "Compose"}) {
            WriteFile(templates / "Globe" / (std::string(page) + ".html"), page);
        }
        m_cache = std::make_unique<TemplateCache>(templates.string(), true, nullptr);
        const fs::path userDir = m_harness.Settings().UserDir("alice");
        fs::create_directories(userDir);
        WriteFile(userDir / "User.ini", "[User]\r\nPassword=" + ScramblePassword("pw") +
                                                "\r\n[MailHost1]\r\nMailbox=main\r\nFullName=Alice A\r\n"
                                                "EMail=alice@x.org\r\nHost=127.0.0.1\r\nActive=No\r\nDefault=Yes\r\n"
                                                "[MailHost2]\r\nMailbox=work\r\nFullName=\r\nEMail=a@work.org\r\n"
                                                "Host=127.0.0.1\r\nActive=No\r\n");
        WriteFile(userDir / "main.sig", "-- \r\nAlice\r\n");
        WriteFile(m_harness.Settings().Dir() / "Domains.Ini", "");
    }

    ~ComposeStateTest() override
    {
        if (m_session != nullptr) {
            m_session->Unbusy();
        }
    }

    ComposeStateTest(const ComposeStateTest&) = delete;
    ComposeStateTest& operator=(const ComposeStateTest&) = delete;

protected:
    void SetUp() override
    {
        ASSERT_EQ(Send("View=Main&User=alice&Password=pw"), "Main");
        m_session = m_harness.Manager().FindByUser("alice");
        ASSERT_NE(m_session, nullptr);
        m_cookies = "Session=" + m_session->CookieSecret() + "; Lang=en; Theme=Globe";
    }

    // Runs one request and returns its page; the Message view runs its real action, Compose runs m_compose.
    std::string Send(const std::string& query)
    {
        std::string environment;
        for (const std::string& entry : std::vector<std::string>{
                     "REQUEST_METHOD=GET", "QUERY_STRING=" + query, "HTTP_COOKIE=" + m_cookies, "REMOTE_ADDR=127.0.0.1",
                     "SERVER_NAME=localhost", "SERVER_PORT=2000", "SERVER_ADDR=127.0.0.1", "SCRIPT_NAME=/mail"}) {
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
            services.LogonLocks = &m_logonLocks;
            services.Action = [this](Request& request) {
                if (request.View() == kViewMessage) {
                    MessageAction(request);
                } else if (request.View() == kViewCompose && m_compose) {
                    m_compose(request);
                }
                if (request.View() == kViewCompose) {
                    m_fields.clear();
                    for (const char* name : {"From", "To", "Subject", "Mailbox", "Advanced", "View", "Number"}) {
                        m_fields[name] = request.Input().Variables().GetValue(name);
                    }
                }
            };
            Request request(-1, out, environment.c_str(), std::move(services));
            request.Run();
        }
        const std::string text = ReadFile(outPath);
        const std::size_t end = text.find("\r\n\r\n");
        return end == std::string::npos ? text : text.substr(end + 4);
    }

    // A Compose request whose action is compose.
    std::string Compose(const std::string& rest, std::function<void(Request&)> compose)
    {
        m_compose = std::move(compose);
        return Send("View=Compose&Session=" + std::string(m_session->Id()) + rest);
    }

    std::string Start(MessageIndexEntry* entry, ComposeKind kind, const std::string& rest = "")
    {
        return Compose(rest, [=](Request& request) { StartCompose(request, entry, kind); });
    }

    MessageIndexEntry* Store(const std::string& folder, const std::vector<std::string>& lines)
    {
        store::MessageBuilder builder(m_session->User().Messages(), folder);
        EXPECT_TRUE(builder.Begin(1000, true));
        for (const std::string& line : lines) {
            builder.AddLine(line);
        }
        MessageIndexEntry* entry = builder.Finish();
        EXPECT_NE(entry, nullptr);
        return entry;
    }

    fs::path Dir() const { return m_session->TempDir(); }

    std::string File(const std::string& name) const { return ReadFile(Dir() / name); }

    // The names in the compose directory, sorted.
    std::vector<std::string> Names() const
    {
        std::vector<std::string> names;
        for (const fs::directory_entry& entry : fs::directory_iterator(Dir())) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    SessionHarness m_harness{"[General]\r\nLogLevel=1\r\n"};
    std::unique_ptr<TemplateCache> m_cache;
    UserLogonLocks m_logonLocks;
    std::function<void(Request&)> m_compose;
    std::map<std::string, std::string> m_fields; // fields of the last Compose request after its action
    Session* m_session = nullptr;
    std::string m_cookies = "Lang=en; Theme=Globe";
};

constexpr const char* kSignature = "\r\n-- \r\nAlice\r\n";

TEST_F(ComposeStateTest, ANewMessageHasTheDefaultSenderAndSignatureAndKeepsALinkedTo)
{
    WriteFile(Dir() / "old.pdf", "left from an earlier compose");
    EXPECT_EQ(Start(nullptr, ComposeKind::New, "&New=1&To=bob@y.org"), "Compose");
    EXPECT_EQ(Names(), (std::vector<std::string>{".body.txt", ".headers.txt"}));
    EXPECT_EQ(File(".body.txt"), kSignature);
    EXPECT_EQ(File(".headers.txt"), HeadersFile({{"From", kFrom}, {"To", "bob@y.org"}, {"Mailbox", "main"}}));

    // To first in the query string is not "&To=": the compose clears it.
    EXPECT_EQ(Compose("", [](Request&) {}), "Compose");
    const std::string query = "View=Compose&Session=" + std::string(m_session->Id());
    m_compose = [](Request& request) {
        StartCompose(request, nullptr, ComposeKind::Reply);
    };
    EXPECT_EQ(Send("To=bob@y.org&" + query), "Compose");
    EXPECT_EQ(m_fields["To"], "");
    EXPECT_EQ(m_fields["Subject"], "") << "a reply without a message is a new, empty compose";
}

TEST_F(ComposeStateTest, RepliesQuoteTheTextAndAnswerTheRightRecipients)
{
    struct Case {
        const char* Name;
        std::vector<std::string> Lines;
        ComposeKind Kind;
        std::string To;
        std::string Subject;
    };

    const Case cases[] = {
            {"reply to a display name",
             {"From: \"Bob B\" <bob@y.org>", "To: alice@x.org", "Subject: Lunch", "Message-ID: <m1@y.org>",
              "Date: Tue, 08 Dec 2026 08:24:00 +0000", "", "Hello", "World"},
             ComposeKind::Reply,
             "\"Bob B\" <bob@y.org>",
             "Re: Lunch"},
            {"Reply-To wins and the subject keeps its RE:",
             {"From: bob@y.org", "Reply-To: list@y.org (The List)", "To: alice@x.org", "Subject: RE: Lunch",
              "Message-ID: <m1@y.org>", "Date: Tue, 08 Dec 2026 08:24:00 +0000", "", "Hello", "World"},
             ComposeKind::Reply,
             "\"The List\" <list@y.org>",
             "RE: Lunch"},
            {"reply to all leaves out the own address and merges duplicates",
             {"From: bob@y.org", "To: \"Alice\" <ALICE@x.org>, \"Doe, Carol\" <carol@z.org>; dave@z.org",
              "CC: Bob B <BOB@y.org>, carol@z.org, <x y@evil.org>", "Subject: Lunch", "Message-ID: <m1@y.org>",
              "Date: Tue, 08 Dec 2026 08:24:00 +0000", "", "Hello", "World"},
             ComposeKind::ReplyAll,
             "\"Bob B\" <bob@y.org>, \"Doe, Carol\" <carol@z.org>, dave@z.org",
             "Re: Lunch"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        MessageIndexEntry* original = Store("Inbox", c.Lines);
        EXPECT_EQ(Start(original, c.Kind), "Compose");
        EXPECT_EQ(Names(), (std::vector<std::string>{".body.txt", ".headers.txt"})) << ".body.tmp is removed";
        const std::string from = c.Lines[0].substr(6);
        const std::string to = c.Lines[c.Lines[1].starts_with("Reply-To") ? 2 : 1].substr(4);
        EXPECT_EQ(File(".body.txt"), std::string(kSignature) + "\r\n\r\n-----Original Message-----\r\nFrom: " + from +
                                             "\r\nTo: " + to +
                                             "\r\nDate: Tue, 08 Dec 2026 08:24:00 +0000\r\nSubject: " +
                                             c.Lines[c.Lines.size() - 6].substr(9) + "\r\n\r\n> Hello\r\n> World\r\n");
        EXPECT_EQ(File(".headers.txt"), HeadersFile({{"From", kFrom},
                                                     {"To", c.To},
                                                     {"ReplyMessage", std::to_string(original->Number())},
                                                     {"Subject", c.Subject},
                                                     {"In-Reply-To", "<m1@y.org>"},
                                                     {"Mailbox", "main"}}));
    }
}

TEST_F(ComposeStateTest, TheQuoteWidthComesFromTheUsersSettingWithinBounds)
{
    MessageIndexEntry* original = Store("Inbox", {"From: bob@y.org", "Subject: s", "", std::string(30, 'x')});

    struct Case {
        const char* Setting;
        std::string Quoted;
    };

    const Case cases[] = {
            {"20", "> " + std::string(17, 'x') + "\r\n> " + std::string(13, 'x') + "\r\n"},
            {"3", "> " + std::string(7, 'x') + "\r\n> " + std::string(7, 'x') + "\r\n> " + std::string(7, 'x') +
                          "\r\n> " + std::string(7, 'x') + "\r\n> xx\r\n"},
            {"0", "> " + std::string(30, 'x') + "\r\n"},
            {"wide", "> " + std::string(30, 'x') + "\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Setting);
        SetUserSetting("ComposeWidth", m_session->User().Settings(), c.Setting);
        EXPECT_EQ(Start(original, ComposeKind::Reply), "Compose");
        const std::string body = File(".body.txt");
        EXPECT_TRUE(body.ends_with("Subject: s\r\n\r\n" + c.Quoted)) << body;
    }
}

TEST_F(ComposeStateTest, AReplyToAllFromTheUserKeepsTheUserFirstAndTheAccountOfTheMessageWrites)
{
    MessageIndexEntry* sent = Store("Sent", {"From: a@work.org", "To: bob@y.org", "Subject: x", "", "text"});
    sent->SetMailbox("work");
    EXPECT_EQ(Start(sent, ComposeKind::ReplyAll), "Compose");
    EXPECT_EQ(m_fields["To"], "a@work.org, bob@y.org");
    EXPECT_EQ(m_fields["From"], "<a@work.org>");
    EXPECT_EQ(m_fields["Mailbox"], "work");
    EXPECT_TRUE(File(".body.txt").starts_with("\r\n\r\n-----Original Message-----\r\n")) << "work has no signature";
}

TEST_F(ComposeStateTest, RepliesGoToTheAddressBookWithoutLineBreaksWhenTheUserWantsThem)
{
    SetUserSetting("AddRepliesToAddrBook", m_session->User().Settings(), "Yes");
    MessageIndexEntry* original = Store("Inbox", {"From: =?UTF-8?Q?Bob=09B=0D=0ACC:_x?= <bob@y.org>",
                                                  "To: alice@x.org, carol@z.org", "Subject: s", "", "t"});
    EXPECT_EQ(Start(original, ComposeKind::Reply), "Compose");
    EXPECT_EQ(Start(original, ComposeKind::Reply), "Compose");
    const std::string book = ReadFile(m_harness.Settings().UserDir("alice") / store::AddressBook::kFileName);
    EXPECT_EQ(book, "BobB  CC: x\tbob@y.org\t\r\n") << "once, only the one answered";
    EXPECT_EQ(m_fields["To"], "\"BobB  CC: x\" <bob@y.org>");
}

TEST_F(ComposeStateTest, AForwardCarriesTheTextUnquotedAndEveryOtherPartAsAnAttachment)
{
    MessageIndexEntry* original = Store("Inbox", {"From: bob@y.org",
                                                  "To: alice@x.org",
                                                  "Subject: Fw: Report",
                                                  "Date: Tue, 08 Dec 2026 08:24:00 +0000",
                                                  "MIME-Version: 1.0",
                                                  "Content-Type: multipart/mixed; boundary=\"b1\"",
                                                  "",
                                                  "preamble",
                                                  "--b1",
                                                  "Content-Type: text/plain",
                                                  "",
                                                  "See the report.",
                                                  "--b1",
                                                  "Content-Type: application/pdf; name=\"../../report.pdf\"",
                                                  "Content-Transfer-Encoding: base64",
                                                  "",
                                                  "JVBERi0xLjQK",
                                                  "--b1",
                                                  "Content-Type: text/x-note; name=\".headers.txt\"",
                                                  "",
                                                  "not the headers",
                                                  "--b1--"});
    ASSERT_TRUE(original->HasFlag(MessageFlag::HasAttachments));
    EXPECT_EQ(Start(original, ComposeKind::Forward), "Compose");
    EXPECT_EQ(Names(), (std::vector<std::string>{".attachment-headers.txt", ".body.txt", ".headers.txt", ".report.pdf",
                                                 "attachment-headers.txt", "report.pdf"}));
    EXPECT_EQ(File(".body.txt"), std::string(kSignature) +
                                         "\r\n\r\n-----Original Message-----\r\nFrom: bob@y.org\r\nTo: alice@x.org\r\n"
                                         "Date: Tue, 08 Dec 2026 08:24:00 +0000\r\nSubject: Fw: Report\r\n\r\n"
                                         "See the report.\r\n");
    EXPECT_EQ(File("report.pdf"), "%PDF-1.4\n");
    EXPECT_EQ(File(".report.pdf"), "application/pdf");
    EXPECT_EQ(File("attachment-headers.txt"), "not the headers\r\n");
    EXPECT_EQ(File(".attachment-headers.txt"), "text/x-note");
    EXPECT_EQ(File(".headers.txt"), HeadersFile({{"From", kFrom},
                                                 {"ForwardMessage", std::to_string(original->Number())},
                                                 {"Subject", "Fwd: Fw: Report"},
                                                 {"Mailbox", "main"}}));
    EXPECT_TRUE(fs::exists(Dir().parent_path() / m_session->Id())) << "nothing was written outside";
    EXPECT_FALSE(fs::exists(Dir().parent_path() / "report.pdf"));

    MessageIndexEntry* fwd = Store("Inbox", {"From: b@y.org", "Subject: FWD: x", "", "t"});
    EXPECT_EQ(Start(fwd, ComposeKind::Forward), "Compose");
    EXPECT_EQ(m_fields["Subject"], "FWD: x");
    EXPECT_EQ(m_fields["To"], "");
}

TEST_F(ComposeStateTest, HostileHeadersNeverAddALineAndMarkupIsKeptByteForByte)
{
    MessageIndexEntry* original =
            Store("Inbox", {"From: =?UTF-8?Q?Eve=22_<x@e.org>,_=0D=0ABCC:_all@e.org_</textarea>?= <eve@e.org>",
                            "To: alice@x.org", "Subject: =?UTF-8?Q?hi=0D=0ABCC:_all@e.org_</textarea>?=",
                            "Message-ID: =?UTF-8?Q?<a=0D=0AX:_y>?=", "Date: Tue, 08 Dec 2026 08:24:00 +0000", "",
                            "</textarea><script>alert(1)</script>"});
    EXPECT_EQ(Start(original, ComposeKind::Reply), "Compose");
    EXPECT_EQ(File(".body.txt"),
              std::string(kSignature) +
                      "\r\n\r\n-----Original Message-----\r\nFrom: Eve\" <x@e.org>,   BCC: all@e.org </textarea> "
                      "<eve@e.org>\r\nTo: alice@x.org\r\nDate: Tue, 08 Dec 2026 08:24:00 +0000\r\n"
                      "Subject: hi  BCC: all@e.org </textarea>\r\n\r\n> </textarea><script>alert(1)</script>\r\n");
    EXPECT_EQ(File(".headers.txt"), HeadersFile({{"From", kFrom},
                                                 {"To", "\"Eve\" <x@e.org>"},
                                                 {"ReplyMessage", std::to_string(original->Number())},
                                                 {"Subject", "Re: hi  BCC: all@e.org </textarea>"},
                                                 {"In-Reply-To", "<a  X: y>"},
                                                 {"Mailbox", "main"}}));
}

TEST_F(ComposeStateTest, ADraftOpensFromTheMessagePageWithItsFieldsTextAndAttachments)
{
    WriteFile(Dir() / "stale.bin", "an attachment of an earlier compose");
    MessageIndexEntry* draft = Store("Drafts", {"Date: Tue, 08 Dec 2026 08:24:00 +0000",
                                                "From: \"Alice A\" <alice@x.org>",
                                                "To: bob@y.org",
                                                "Subject: =?UTF-8?Q?Plan=0D=0AX:_y?=",
                                                "MIME-Version: 1.0",
                                                "Content-Type: multipart/mixed; boundary=\"1208-0824-00-PART-BREAK\"",
                                                "X-Priority: 1 (Highest)",
                                                "Disposition-Notification-To: alice@x.org",
                                                "BCC: carol@z.org",
                                                "ReplyMessage: 17",
                                                "Mailbox: work",
                                                "Advanced: Yes",
                                                "View: List",
                                                "Number: 1",
                                                "",
                                                "--1208-0824-00-PART-BREAK",
                                                "Content-Type: text/plain",
                                                "",
                                                "",
                                                "Draft text",
                                                std::string(5000, 'z'),
                                                "--1208-0824-00-PART-BREAK",
                                                "Content-Type: image/png",
                                                "Content-Transfer-Encoding: base64",
                                                "Content-Disposition: attachment; filename=\"dot.png\"",
                                                "",
                                                "iVBORw==",
                                                "--1208-0824-00-PART-BREAK--"});
    draft->ChangeFlags(MessageFlag::Draft, true);
    m_compose = nullptr;
    EXPECT_EQ(
            Send("View=Message&Session=" + std::string(m_session->Id()) + "&Number=" + std::to_string(draft->Number())),
            "Compose");
    EXPECT_EQ(Names(), (std::vector<std::string>{".body.txt", ".dot.png", ".headers.txt", "dot.png"}));
    EXPECT_EQ(File(".body.txt"), "\r\nDraft text\r\n" + std::string(5000, 'z') + "\r\n");
    EXPECT_EQ(File("dot.png"), std::string("\x89PNG", 4));
    EXPECT_EQ(File(".dot.png"), "image/png");
    EXPECT_EQ(File(".headers.txt"), HeadersFile({{"From", kFrom},
                                                 {"To", "bob@y.org"},
                                                 {"BCC", "carol@z.org"},
                                                 {"SourceMessage", std::to_string(draft->Number())},
                                                 {"ReplyMessage", "17"},
                                                 {"Subject", "Plan  X: y"},
                                                 {"ConfirmRead", "Yes"},
                                                 {"ComposeUrgent", "Yes"},
                                                 {"Mailbox", "work"}}));
    EXPECT_EQ(m_fields["Advanced"], "Yes");
    EXPECT_EQ(m_fields["View"], "Message") << "a header sets no other field";
    EXPECT_EQ(m_fields["Number"], std::to_string(draft->Number()));

    // A single-part draft is its text; the mailbox comes from the entry when the draft names none.
    MessageIndexEntry* plain = Store("Drafts", {"From: <a@work.org>", "To: bob@y.org", "Subject: s",
                                                "Return-Receipt-To: a@work.org", "", "one", "two"});
    plain->ChangeFlags(MessageFlag::Draft, true);
    plain->SetMailbox("work");
    EXPECT_EQ(
            Send("View=Message&Session=" + std::string(m_session->Id()) + "&Number=" + std::to_string(plain->Number())),
            "Compose");
    EXPECT_EQ(Names(), (std::vector<std::string>{".body.txt", ".headers.txt"}));
    EXPECT_EQ(File(".body.txt"), "one\r\ntwo\r\n");
    EXPECT_EQ(File(".headers.txt"), HeadersFile({{"From", "<a@work.org>"},
                                                 {"To", "bob@y.org"},
                                                 {"SourceMessage", std::to_string(plain->Number())},
                                                 {"Subject", "s"},
                                                 {"ConfirmDelivery", "Yes"},
                                                 {"Mailbox", "work"}}));
}

TEST_F(ComposeStateTest, StoredFieldsComeBackOnlyWhereTheFormLeavesThemOpen)
{
    const auto loaded = [&](const std::string& rest, FormPosted posted) {
        // The compose page rewrites the file after every request: each case starts from the same one.
        WriteFile(Dir() / ".headers.txt",
                  "From: <a@work.org>\r\nTo: bob@y.org\r\nSubject:\r\nCC\r\nConfirmRead: Yes\r\n"
                  "ComposeUrgent: Yes\r\nAttn: " +
                          std::string(6000, 'q') + "\r\n");
        WriteFile(Dir() / ".body.txt", "text");
        std::map<std::string, std::string> fields;
        Compose(rest, [&](Request& request) {
            LoadComposeHeaders(request, posted);
            for (const char* name : {"From", "To", "Subject", "ConfirmRead", "ComposeUrgent", "Attn"}) {
                fields[name] = request.Input().Variables().Contains(name) ? request.Input().Variables().GetValue(name)
                                                                          : "(missing)";
            }
        });
        return fields;
    };
    using Fields = std::map<std::string, std::string>;
    const std::string attn(6000, 'q');
    EXPECT_EQ(loaded("&To=&Subject=mine", FormPosted::No), (Fields{{"From", "<a@work.org>"},
                                                                   {"To", "bob@y.org"},
                                                                   {"Subject", "mine"},
                                                                   {"ConfirmRead", "Yes"},
                                                                   {"ComposeUrgent", "Yes"},
                                                                   {"Attn", attn}}));
    EXPECT_EQ(loaded("&To=&ComposeUrgent=Yes&AdvancedCompose=1", FormPosted::Yes), (Fields{{"From", "<a@work.org>"},
                                                                                           {"To", ""},
                                                                                           {"Subject", ""},
                                                                                           {"ConfirmRead", "(missing)"},
                                                                                           {"ComposeUrgent", "Yes"},
                                                                                           {"Attn", attn}}))
            << "the advanced form unticked ConfirmRead";
    EXPECT_EQ(loaded("", FormPosted::Yes)["ConfirmRead"], "Yes");

    // Saving writes every field on one line.
    Compose("&To=a@b.org%0D%0ARCPT%20TO:x&Subject=s",
            [](Request& request) { EXPECT_TRUE(SaveComposeHeaders(request)); });
    EXPECT_EQ(File(".headers.txt"), HeadersFile({{"To", "a@b.org  RCPT TO:x"}, {"Subject", "s"}}));
}

TEST_F(ComposeStateTest, ThePostedTextIsStoredAsPostedWithReferencesConverted)
{
    const std::string line(9000, 'w');
    Compose("&Body=" + line + "%0D%0A%3C/textarea%3E%26%231076;", [](Request& request) {
        request.SetLanguage("ru");
        EXPECT_TRUE(SaveBodyField(request));
    });
    EXPECT_EQ(File(".body.txt"), line + "\r\n</textarea>\xE4");
    // On a UTF-8 page the reference becomes the UTF-8 character.
    Compose("&Body=K%26%23246;ln", [](Request& request) { EXPECT_TRUE(SaveBodyField(request)); });
    EXPECT_EQ(File(".body.txt"), "K\xC3\xB6ln");
}

TEST_F(ComposeStateTest, AComposePageWithoutTextStartsANewCompose)
{
    m_session->SetCurrentView(kViewCompose);
    Compose("&To=bob@y.org", [](Request& request) { PrepareComposePage(request); });
    EXPECT_EQ(File(".body.txt"), kSignature);
    EXPECT_EQ(File(".headers.txt"), HeadersFile({{"From", kFrom}, {"To", "bob@y.org"}, {"Mailbox", "main"}}));
    EXPECT_EQ(m_session->FrameView(), kViewCompose);

    // With a text the stored fields fill the page and nothing is started again.
    WriteFile(Dir() / ".body.txt", "typed");
    Compose("", [](Request& request) { PrepareComposePage(request); });
    EXPECT_EQ(File(".body.txt"), "typed");
    EXPECT_EQ(m_fields["To"], "bob@y.org");
}

} // namespace
} // namespace qm::engine
