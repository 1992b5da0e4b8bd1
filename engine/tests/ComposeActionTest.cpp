// The compose action through whole requests against a real SMTP receiver: sending, the Sent copy and its
// statistics, refused addresses and line breaks, a failed send, drafts saved and sent, replies and forwards marked,
// cancel and finish, attachments uploaded and removed, the spelling check before a send, and the compose of an
// ended session carried through the Logon page into Drafts.
#include "engine/ComposeAction.h"

#include "common/IniCache.h"
#include "common/Scrambler.h"
#include "engine/ComposeState.h"
#include "engine/EngineShared.h"
#include "engine/Request.h"
#include "engine/SessionManager.h"
#include "engine/TemplateCache.h"
#include "engine/UserLogonLocks.h"
#include "engine/tests/RequestTestSupport.h"
#include "engine/tests/SessionTestSupport.h"
#include "store/FolderList.h"
#include "store/MessageBuilder.h"
#include "store/MessageIndex.h"
#include "testsupport/SmtpSink.h"
#include "testsupport/TempDir.h"
#include "testsupport/WaitUntil.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <regex>
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

constexpr const char* kLanguages =
        "[en]\r\n001=English\r\n002=Inbox\r\n003=Drafts\r\n004=Sent\r\n005=Trash\r\n008=To\r\n011=Subject\r\n"
        "016=Session ended.\r\n029=Sent.\r\n046=No such message.\r\n048=Not sent.\r\n064=UTF-8\r\n"
        "090=Line break.\r\n091=Kept in Drafts.\r\n092=Form not read.\r\n093=Not attached: %s\r\n"
        "460=No sender address.\r\n461=Too large to edit.\r\n462=Not kept in Drafts: open again.\r\n"
        "520=Over %d recipients.\r\n521=Attachments over %d KB.\r\n522=%s not attached: over %d KB.\r\n";

class ComposeActionTest : public ::testing::Test {
public:
    ComposeActionTest()
    {
        const fs::path templates = m_harness.Settings().Dir() / "Templates";
        fs::create_directories(templates / "Globe");
        WriteFile(templates / "Languages.ini", kLanguages);
        const std::pair<const char*, const char*> pages[] = {
                {"Logon", "LOGON[<$STATUSMESG$>]<$CARRIEDCOMPOSE$>"},
                {"Main", "MAIN[<$STATUSMESG$>]"},
                {"Error", "ERROR"},
                {"List", "LIST[<$STATUSMESG$>][<$ERRORMESG$>]"},
                {"Message", "MESSAGE[<$STATUSMESG$>]"},
                {"Compose", "COMPOSE[<$STATUSMESG$>][<$ERRORMESG$>]<$IF BODYTOOLARGE$>(no text box)<$ENDIF$>"},
                {"Compose-Attach", "ATTACH[<$ERRORMESG$>]"},
                {"Compose-SpellCheck", "SPELL"},
        };
        for (const auto& [name, text] : pages) {
            WriteFile(templates / "Globe" / (std::string(name) + ".html"), text);
        }
        m_cache = std::make_unique<TemplateCache>(templates.string(), true, nullptr);
        for (const char* user : {"alice", "bob"}) {
            const fs::path dir = m_harness.Settings().UserDir(user);
            fs::create_directories(dir);
            WriteFile(dir / "User.ini", "[User]\r\nPassword=" + ScramblePassword("pw") +
                                                "\r\n[MailHost1]\r\nMailbox=main\r\nFullName=A " + user +
                                                "\r\nEMail=" + user +
                                                "@x.org\r\nHost=127.0.0.1\r\nActive=No\r\n"
                                                "Default=Yes\r\n[MailHost2]\r\nMailbox=work\r\nFullName=\r\n"
                                                "EMail=" +
                                                user + "@work.org\r\nHost=127.0.0.1\r\nActive=No\r\n");
        }
    }

    ~ComposeActionTest() override
    {
        if (m_session != nullptr) {
            m_session->Unbusy();
        }
    }

    ComposeActionTest(const ComposeActionTest&) = delete;
    ComposeActionTest& operator=(const ComposeActionTest&) = delete;

protected:
    // Starts the receiver, writes the domain settings (userDefaults added to the users' defaults) and logs alice on.
    void Start(const std::string& userDefaults = "SaveSentMail=Yes\r\n")
    {
        ASSERT_EQ(m_sink.Start(), "");
        WriteFile(m_harness.Settings().Dir() / "Domains.Ini",
                  "[Default:Settings]\r\nSmtpHost=127.0.0.1\r\nSmtpPort=" + std::to_string(m_sink.Port()) +
                          "\r\n[Default:UserDefaults]\r\n" + userDefaults);
        ASSERT_EQ(Send("View=Main&User=alice&Password=pw"), "MAIN[]");
        m_session = m_harness.Manager().FindByUser("alice");
        ASSERT_NE(m_session, nullptr);
        m_cookies = "Session=" + m_session->CookieSecret() + "; Lang=en; Theme=Globe";
    }

    // One request; a body is posted with the content type given. The page written.
    std::string Send(const std::string& query, const std::string& contentType = "", const std::string& body = "")
    {
        std::vector<std::string> env = {"REQUEST_METHOD=" + std::string(body.empty() ? "GET" : "POST"),
                                        "QUERY_STRING=" + query,
                                        "HTTP_COOKIE=" + m_cookies,
                                        "REMOTE_ADDR=127.0.0.1",
                                        "SERVER_NAME=localhost",
                                        "SERVER_PORT=2000",
                                        "SERVER_ADDR=127.0.0.1",
                                        "SCRIPT_NAME=/mail"};
        int in = -1;
        if (!body.empty()) {
            env.push_back("CONTENT_TYPE=" + contentType);
            env.push_back("CONTENT_LENGTH=" + std::to_string(body.size()));
            const fs::path bodyPath = m_harness.Settings().Dir() / "request-body";
            WriteFile(bodyPath, body);
            in = ::open(bodyPath.c_str(), O_RDONLY | O_CLOEXEC);
            EXPECT_GE(in, 0);
        }
        std::string environment;
        for (const std::string& entry : env) {
            environment += entry;
            environment += '\0';
        }
        environment += '\0';
        const std::string outPath = (m_harness.Settings().Dir() / "response").string();
        const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        EXPECT_GE(out, 0);
        {
            RequestServices services = test::HarnessServices(m_harness, m_cache.get());
            services.LogonLocks = &m_logonLocks;
            services.Compose = m_seams.get();
            Request request(in, out, environment.c_str(), std::move(services));
            request.Run();
        }
        const std::string text = ReadFile(outPath);
        const std::size_t end = text.find("\r\n\r\n");
        return end == std::string::npos ? text : text.substr(end + 4);
    }

    std::string Id() const { return m_session->Id(); }

    std::string Compose(const std::string& rest) { return Send("View=Compose&Session=" + Id() + rest); }

    fs::path Dir() const { return m_session->TempDir(); }

    std::vector<std::string> ComposeFiles() const
    {
        std::vector<std::string> names;
        if (fs::exists(Dir())) {
            for (const auto& entry : fs::directory_iterator(Dir())) {
                names.push_back(entry.path().filename().string());
            }
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    std::vector<MessageIndexEntry*> InFolder(const std::string& folder)
    {
        std::vector<MessageIndexEntry*> found;
        store::MessageIndex& index = m_session->User().Messages();
        for (int i = 0; i < index.Count(); ++i) {
            if (index.Entry(i)->Folder() == folder) {
                found.push_back(index.Entry(i));
            }
        }
        return found;
    }

    MessageIndexEntry* Store(const std::string& folder, const std::vector<std::string>& lines)
    {
        store::MessageBuilder builder(m_session->User().Messages(), folder);
        EXPECT_TRUE(builder.Begin(1000, true));
        for (const std::string& line : lines) {
            builder.AddLine(line);
        }
        return builder.Finish();
    }

    std::string Stat(const std::string& key) const
    {
        const std::string ini = ReadFile(m_harness.Settings().UserDir("alice") / "User.ini");
        const std::size_t at = ini.find("\n" + key + "=");
        return at == std::string::npos ? ""
                                       : ini.substr(at + key.size() + 2, ini.find('\r', at + 1) - at - key.size() - 2);
    }

    int Word(StatusWord word) { return GetStatus(m_harness.Block().Section.Status, word); }

    std::string Received(const std::string& name)
    {
        EXPECT_TRUE(qm::test::WaitUntil([&] { return m_sink.HasReceived(name); })) << m_sink.Errors();
        return m_sink.Received(name);
    }

    qm::test::TempDir m_sinkDir{"qm-compose-sink"};
    qm::test::SmtpSink m_sink{m_sinkDir.Path()};
    SessionHarness m_harness;
    std::unique_ptr<TemplateCache> m_cache;
    UserLogonLocks m_logonLocks;
    std::unique_ptr<ComposeSeams> m_seams;
    Session* m_session = nullptr;
    std::string m_cookies;
};

TEST_F(ComposeActionTest, SendNowDeliversKeepsASentCopyAndCounts)
{
    Start();
    ASSERT_EQ(Compose("&New=1"), "COMPOSE[][]");
    EXPECT_EQ(Compose("&SendNow=1&From=1&To=bob@y.org&CC=%22C%2C+D%22+%3Ccd@y.org%3E&BCC=hidden@y.org&Subject=Hi"
                      "&Body=Hello+there%0D%0Asecond%0D%0A" +
                      std::string(900, 'x')),
              "LIST[Sent.][]");
    const std::string envelope = Received("message1.envelope");
    EXPECT_NE(envelope.find("from alice@work.org"), std::string::npos) << envelope;
    for (const char* rcpt : {"rcpt bob@y.org", "rcpt cd@y.org", "rcpt hidden@y.org"}) {
        EXPECT_NE(envelope.find(rcpt), std::string::npos) << rcpt << "\n" << envelope;
    }
    const std::string data = Received("message1.data");
    EXPECT_NE(data.find("From: <alice@work.org>\r\nTo: bob@y.org\r\n"), std::string::npos) << data;
    EXPECT_NE(data.find("Subject: Hi\r\n"), std::string::npos) << data;
    EXPECT_NE(data.find("\r\n\r\nHello there\r\nsecond\r\n"), std::string::npos) << data;
    EXPECT_EQ(data.find("hidden@y.org"), std::string::npos) << "the message sent carries no BCC";
    const std::regex messageId("\r\nMessage-ID: <[0-9]+\\.[0-9a-f]{32}@work\\.org>\r\n");
    EXPECT_TRUE(std::regex_search(data, messageId)) << data;
    EXPECT_EQ(data.find("References:"), std::string::npos) << "a new message starts no thread";

    const std::vector<MessageIndexEntry*> sent = InFolder("Sent");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_TRUE(sent[0]->HasFlag(MessageFlag::Read));
    EXPECT_FALSE(sent[0]->HasFlag(MessageFlag::Draft) || sent[0]->HasFlag(MessageFlag::New));
    EXPECT_EQ(sent[0]->Mailbox(), "work");
    EXPECT_NE(ReadFile(sent[0]->GetMessagePath()).find("\r\nsecond\r\n" + std::string(900, 'x') + "\r\n"),
              std::string::npos)
            << "the Sent copy keeps a long line whole";
    EXPECT_EQ(Stat("Sent"), "1");
    EXPECT_EQ(Word(StatusWord::SmtpSends), 1);
    EXPECT_EQ(ComposeFiles(), std::vector<std::string>{}) << "the compose ends with the send";
}

TEST_F(ComposeActionTest, TheVerboseConfirmationNamesRecipientsAndSubjectCutWhole)
{
    WriteFile(m_harness.Settings().IniPath(),
              ReadFile(m_harness.Settings().IniPath()) + "[General]\r\nVerboseSentConfirmation=Yes\r\n");
    NoteIniWritten(m_harness.Settings().IniPath());
    Start();
    ASSERT_EQ(Compose("&New=1"), "COMPOSE[][]");
    // 52 ASCII bytes, then a two-byte letter across byte 53: the cut keeps the letter out whole.
    const std::string subject = std::string(52, 's') + "%C3%A4" + std::string(10, 't');
    EXPECT_EQ(Compose("&SendNow=1&To=bob@y.org&Body=b&Subject=" + subject),
              "LIST[Sent.<BR>\r\nTo: bob@y.org<BR>\r\nSubject: " + std::string(52, 's') + "...][]");
}

TEST_F(ComposeActionTest, WithoutSaveSentMailNothingIsStoredButTheSendCounts)
{
    Start("SaveSentMail=No\r\n");
    ASSERT_EQ(Compose("&New=1"), "COMPOSE[][]");
    EXPECT_EQ(Compose("&SendNow=1&To=bob@y.org&Subject=s&Body=b"), "LIST[Sent.][]");
    (void)Received("message1.data");
    EXPECT_TRUE(InFolder("Sent").empty());
    EXPECT_EQ(Stat("Sent"), "1");
}

// A paragraph typed as one line longer than SMTP carries is sent quoted-printable and arrives.
TEST_F(ComposeActionTest, ALineLongerThanSmtpCarriesIsSent)
{
    Start("SaveSentMail=No\r\n");
    ASSERT_EQ(Compose("&New=1"), "COMPOSE[][]");
    EXPECT_EQ(Compose("&SendNow=1&To=bob@y.org&Subject=s&Body=" + std::string(3000, 'p')), "LIST[Sent.][]");
    const std::string data = Received("message1.data");
    EXPECT_NE(data.find("Content-Transfer-Encoding: quoted-printable\r\n"), std::string::npos) << data;
    EXPECT_NE(data.find(std::string(75, 'p') + "=\r\n"), std::string::npos);
}

TEST_F(ComposeActionTest, LineBreaksAndUnusableAddressesSendNothing)
{
    Start();

    struct Case {
        const char* Fields;
        const char* Page;
    };

    const Case cases[] = {
            {"&To=a@b.org%0D%0ARCPT+TO:%3Cevil@x.org%3E", "COMPOSE[][Line break.]"},
            {"&To=a@b.org&CC=c@d.org%0Aevil@x.org", "COMPOSE[][Line break.]"},
            {"&To=a@b.org&BCC=%0Devil@x.org", "COMPOSE[][Line break.]"},
            {"&To=a@b.org&From=%3Calice@x.org%3E%0D%0ABcc:+evil@x.org", "COMPOSE[][Line break.]"},
            {"&To=", "COMPOSE[][Not sent.]"},
            {"&To=bob", "COMPOSE[][Not sent.]"},
            {"&To=a+b@c.org", "COMPOSE[][Not sent.]"},
            {"&To=a@b.org,+@", "COMPOSE[][Not sent.]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Fields);
        ASSERT_EQ(Compose("&New=1"), "COMPOSE[][]");
        EXPECT_EQ(Compose(std::string("&SendNow=1&Subject=s&Body=text") + c.Fields), c.Page);
        EXPECT_EQ(ReadFile(Dir() / ".body.txt"), "text") << "the compose stays for another try";
    }
    EXPECT_FALSE(m_sink.HasReceived("message1.envelope")) << "the send runs within the request: nothing went";
    EXPECT_EQ(Word(StatusWord::SmtpSends), 0);
    EXPECT_TRUE(InFolder("Sent").empty());
}

TEST_F(ComposeActionTest, WithoutASenderAddressTheUserIsToldItIsMissing)
{
    // alice's default account has no e-mail address; bob has no mail account at all.
    const fs::path alice = m_harness.Settings().UserDir("alice") / "User.ini";
    std::string ini = ReadFile(alice);
    ini.replace(ini.find("EMail=alice@x.org"), 17, "EMail=");
    WriteFile(alice, ini);
    WriteFile(m_harness.Settings().UserDir("bob") / "User.ini",
              "[User]\r\nPassword=" + ScramblePassword("pw") + "\r\n");
    Start();
    ASSERT_EQ(Compose("&New=1"), "COMPOSE[][]");
    EXPECT_EQ(Compose("&SendNow=1&To=bob@y.org&Subject=s&Body=text"), "COMPOSE[][No sender address.]");
    EXPECT_EQ(Compose("&SendNow=1&From=0"), "COMPOSE[][No sender address.]");
    EXPECT_EQ(ReadFile(Dir() / ".body.txt"), "text") << "the compose stays";
    // The other account has an address: chosen, the message goes.
    EXPECT_EQ(Compose("&SendNow=1&From=1"), "LIST[Sent.][]");
    (void)Received("message1.data");

    m_session->Unbusy();
    ASSERT_EQ(Send("View=Main&User=bob&Password=pw"), "MAIN[]");
    m_session = m_harness.Manager().FindByUser("bob");
    ASSERT_NE(m_session, nullptr);
    m_cookies = "Session=" + m_session->CookieSecret() + "; Lang=en; Theme=Globe";
    ASSERT_EQ(Compose("&New=1"), "COMPOSE[][]");
    EXPECT_EQ(Compose("&SendNow=1&To=alice@y.org&Subject=s&Body=text"), "COMPOSE[][No sender address.]");
    EXPECT_EQ(Compose("&SendNow=1&From=0"), "COMPOSE[][No sender address.]");
    EXPECT_FALSE(m_sink.HasReceived("message2.envelope"));
    EXPECT_EQ(Word(StatusWord::SmtpFailures), 0) << "nothing was tried";
}

TEST_F(ComposeActionTest, ATextTooLargeToEditIsNeverWrittenOver)
{
    Start();
    ASSERT_EQ(Compose("&New=1"), "COMPOSE[][]");
    const std::string large = std::string(kMaxEditableComposeText, 'x') + "\r\nthe end";
    WriteFile(Dir() / ".body.txt", large);
    // The page says why there is no text box, and offers none.
    EXPECT_EQ(Compose(""), "COMPOSE[][Too large to edit.](no text box)");
    // A text posted all the same (an older page) would replace a text the user never saw: refused, nothing done.
    EXPECT_EQ(Compose("&SendNow=1&To=bob@y.org&Body="), "COMPOSE[][Too large to edit.](no text box)");
    EXPECT_EQ(Compose("&SendLater=1&Body=short"), "COMPOSE[][Too large to edit.](no text box)");
    EXPECT_EQ(ReadFile(Dir() / ".body.txt"), large);
    EXPECT_TRUE(InFolder("Drafts").empty());
    // Without a text field the compose goes on with the text as it is.
    EXPECT_EQ(Compose("&SendLater=1&To=bob@y.org&Subject=big"), "LIST[][]");
    const std::vector<MessageIndexEntry*> drafts = InFolder("Drafts");
    ASSERT_EQ(drafts.size(), 1u);
    EXPECT_NE(ReadFile(drafts[0]->GetMessagePath()).find("\r\nthe end\r\n"), std::string::npos);

    // At the limit the text is shown and edited as any other.
    ASSERT_EQ(Compose("&New=1"), "COMPOSE[][]");
    WriteFile(Dir() / ".body.txt", std::string(kMaxEditableComposeText, 'y'));
    EXPECT_EQ(Compose(""), "COMPOSE[][]");
    EXPECT_EQ(Compose("&Body=edited"), "COMPOSE[][]");
    EXPECT_EQ(ReadFile(Dir() / ".body.txt"), "edited");
}

TEST_F(ComposeActionTest, ARefusedSendKeepsTheComposeAndCountsTheError)
{
    Start();
    ASSERT_EQ(Compose("&New=1"), "COMPOSE[][]");
    EXPECT_EQ(Compose("&SendNow=1&To=refuse@y.org&Subject=s&Body=keep+me"), "COMPOSE[][Not sent.]");
    EXPECT_EQ(Stat("SendErrors"), "1");
    EXPECT_EQ(Word(StatusWord::SmtpFailures), 1);
    EXPECT_EQ(Word(StatusWord::SmtpSends), 0);
    EXPECT_EQ(ReadFile(Dir() / ".body.txt"), "keep me");
    EXPECT_NE(ReadFile(Dir() / ".headers.txt").find("To: refuse@y.org\r\n"), std::string::npos);
    EXPECT_TRUE(InFolder("Sent").empty());
}

TEST_F(ComposeActionTest, TooManyRecipientsOrTooLargeAttachmentsSendNothingAndKeepTheCompose)
{
    Start();
    const auto list = [](int count) {
        std::string text;
        for (int i = 0; i < count; ++i) {
            text += (i == 0 ? "" : ", ") + std::string("r") + std::to_string(i) + "@y.org";
        }
        return text;
    };
    const auto encoded = [](const std::string& text) {
        std::string out;
        for (const char c : text) {
            out += c == '@' ? "%40" : c == ',' ? "%2C" : c == ';' ? "%3B" : c == ' ' ? "+" : std::string(1, c);
        }
        return out;
    };
    // Nothing went out and the compose is as it was, text and fields.
    const auto expectKept = [&](const std::string& to) {
        EXPECT_FALSE(m_sink.HasReceived("message1.envelope"));
        EXPECT_EQ(ReadFile(Dir() / ".body.txt"), "keep me");
        EXPECT_NE(ReadFile(Dir() / ".headers.txt").find("\r\nTo: " + to + "\r\n"), std::string::npos);
        EXPECT_TRUE(InFolder("Sent").empty());
        EXPECT_EQ(Stat("SendErrors"), "");
    };

    struct Case {
        const char* Name;
        const char* Cap; // [SmtpClient] MaxRecipients; null: not set
        std::string To;
        std::string CcAndBcc;
        std::string Page;
    };

    const Case cases[] = {
            {"101 in To, the default cap", nullptr, list(101), "", "COMPOSE[][Over 100 recipients.]"},
            {"a cap below 1 is the default", "0", list(101), "", "COMPOSE[][Over 100 recipients.]"},
            {"To, CC and BCC count together", "3", list(2), "&CC=c%40y.org&BCC=b%40y.org",
             "COMPOSE[][Over 3 recipients.]"},
            {"a repeated address counts each time", "3", "a@y.org;a@y.org,a@y.org; a@y.org", "",
             "COMPOSE[][Over 3 recipients.]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        if (c.Cap != nullptr) {
            ASSERT_TRUE(WriteIniString("SmtpClient", "MaxRecipients", c.Cap));
        }
        ASSERT_EQ(Compose("&New=1"), "COMPOSE[][]");
        EXPECT_EQ(Compose("&SendNow=1&Subject=s&Body=keep+me&To=" + encoded(c.To) + c.CcAndBcc), c.Page);
        expectKept(c.To);
    }

    // Attachments: over the cap nothing is sent; at the cap the message goes.
    ASSERT_TRUE(WriteIniString("General", "MaxAttachmentsSize", "1"));
    ASSERT_EQ(Compose("&New=1"), "COMPOSE[][]");
    WriteFile(Dir() / "a.dat", std::string(600, 'a'));
    WriteFile(Dir() / "b.dat", std::string(425, 'b'));
    EXPECT_EQ(Compose("&SendNow=1&To=bob%40y.org&Subject=s&Body=keep+me"), "COMPOSE[][Attachments over 1 KB.]");
    expectKept("bob@y.org");
    WriteFile(Dir() / "b.dat", std::string(424, 'b'));
    EXPECT_EQ(Compose("&SendNow=1&To=bob%40y.org&Subject=s&Body=keep+me"), "LIST[Sent.][]");
    EXPECT_NE(Received("message1.data").find("filename=\"b.dat\""), std::string::npos);
}

TEST_F(ComposeActionTest, AnUploadThatWouldPassTheAttachmentCapIsNotStored)
{
    Start();
    ASSERT_TRUE(WriteIniString("General", "MaxAttachmentsSize", "1"));
    ASSERT_EQ(Compose("&New=1"), "COMPOSE[][]");
    WriteFile(Dir() / "held.dat", std::string(1000, 'h'));
    const std::string boundary = "----b0undary";
    const auto form = [&](const std::string& file, const std::string& data) {
        return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"Attachment\"; filename=\"" + file +
               "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + data + "\r\n--" + boundary +
               "\r\nContent-Disposition: form-data; name=\"Body\"\r\n\r\ntext after the file\r\n--" + boundary +
               "--\r\n";
    };
    const std::string type = "multipart/form-data; boundary=" + boundary;
    // 1000 held and 25 more pass 1 KB: the file is dropped, the rest of the form is taken.
    EXPECT_EQ(Send("View=Compose-Attach&Session=" + Id(), type, form("big.dat", std::string(25, 'x'))),
              "ATTACH[big.dat not attached: over 1 KB.]");
    EXPECT_EQ(ComposeFiles(), (std::vector<std::string>{".body.txt", ".headers.txt", "held.dat"}));
    EXPECT_EQ(ReadFile(Dir() / ".body.txt"), "text after the file");
    // What is left of the cap still takes a file.
    EXPECT_EQ(Send("View=Compose-Attach&Session=" + Id(), type, form("small.dat", std::string(24, 's'))),
              "ATTACH[]");
    EXPECT_EQ(ReadFile(Dir() / "small.dat"), std::string(24, 's'));
}

TEST_F(ComposeActionTest, ADraftIsSavedReopenedAndGoesWhenItIsSent)
{
    Start();
    ASSERT_EQ(Compose("&New=1"), "COMPOSE[][]");
    EXPECT_EQ(Compose("&SendLater=1&To=bob@y.org&BCC=b2@y.org&Subject=Later&Body=draft+text%0D%0A" +
                      std::string(5000, 'y')),
              "LIST[][]");
    EXPECT_EQ(ComposeFiles(), std::vector<std::string>{});
    std::vector<MessageIndexEntry*> drafts = InFolder("Drafts");
    ASSERT_EQ(drafts.size(), 1u);
    EXPECT_TRUE(drafts[0]->HasFlag(MessageFlag::Draft));
    EXPECT_NE(ReadFile(drafts[0]->GetMessagePath()).find("\r\ndraft text\r\n" + std::string(5000, 'y') + "\r\n"),
              std::string::npos)
            << "a draft keeps a long line whole";
    const std::string number = std::to_string(drafts[0]->Number());

    EXPECT_EQ(Send("View=Message&Session=" + Id() + "&Number=" + number), "COMPOSE[][]");
    EXPECT_NE(ReadFile(Dir() / ".headers.txt").find("BCC: b2@y.org\r\n"), std::string::npos);
    EXPECT_NE(ReadFile(Dir() / ".body.txt").find("draft text"), std::string::npos);
    EXPECT_EQ(Compose("&SendNow=1&Body=draft+text+sent"), "LIST[Sent.][]");
    const std::string envelope = Received("message1.envelope");
    EXPECT_NE(envelope.find("rcpt b2@y.org"), std::string::npos) << envelope;
    EXPECT_TRUE(InFolder("Drafts").empty()) << "the draft that was sent is gone";
    EXPECT_EQ(InFolder("Sent").size(), 1u);
    EXPECT_EQ(m_session->CurrentMessage(), nullptr);
}

TEST_F(ComposeActionTest, ReplyAndForwardMarkTheOriginalAndStartEmptyWithoutOne)
{
    Start();
    MessageIndexEntry* original = Store("Inbox", {"From: Carl <carl@y.org>", "To: alice@x.org", "Subject: Plans",
                                                  "Message-ID: <p1@y.org>", "", "See you."});
    ASSERT_NE(original, nullptr);
    ASSERT_EQ(Send("View=Message&Session=" + Id() + "&Number=" + std::to_string(original->Number())), "MESSAGE[]");
    ASSERT_EQ(Compose("&Reply=Yes"), "COMPOSE[][]");
    const std::string headers = ReadFile(Dir() / ".headers.txt");
    EXPECT_NE(headers.find("To: \"Carl\" <carl@y.org>\r\n"), std::string::npos) << headers;
    EXPECT_NE(headers.find("Subject: Re: Plans\r\n"), std::string::npos) << headers;
    EXPECT_NE(ReadFile(Dir() / ".body.txt").find("> See you."), std::string::npos);
    EXPECT_EQ(Compose("&SendNow=1"), "MESSAGE[Sent.]") << "back to the message answered";
    const std::string data = Received("message1.data");
    EXPECT_NE(data.find("In-Reply-To: <p1@y.org>\r\nReferences: <p1@y.org>\r\n"), std::string::npos) << data;
    EXPECT_NE(data.find("> See you."), std::string::npos) << data;
    EXPECT_TRUE(original->HasFlag(MessageFlag::Replied));
    // The Sent copy is the message sent, with its Message-ID; a reply to it continues the thread.
    const std::vector<MessageIndexEntry*> sent = InFolder("Sent");
    ASSERT_EQ(sent.size(), 1u);
    const std::string copy = ReadFile(sent[0]->GetMessagePath());
    std::smatch id;
    ASSERT_TRUE(std::regex_search(copy, id, std::regex("\r\nMessage-ID: (<[^>]+@x\\.org>)\r\n"))) << copy;
    EXPECT_NE(data.find("Message-ID: " + id[1].str() + "\r\n"), std::string::npos) << data;
    ASSERT_EQ(Send("View=Message&Session=" + Id() + "&Number=" + std::to_string(sent[0]->Number())), "MESSAGE[]");
    ASSERT_EQ(Compose("&Reply=Yes"), "COMPOSE[][]");
    EXPECT_EQ(Compose("&SendNow=1&To=carl@y.org"), "MESSAGE[Sent.]");
    const std::string again = Received("message2.data");
    EXPECT_NE(again.find("In-Reply-To: " + id[1].str() + "\r\nReferences: <p1@y.org> " + id[1].str() + "\r\n"),
              std::string::npos)
            << again;
    EXPECT_EQ(again.find("Message-ID: " + id[1].str()), std::string::npos) << "every message has an id of its own";
    ASSERT_EQ(Send("View=Message&Session=" + Id() + "&Number=" + std::to_string(original->Number())), "MESSAGE[]");

    ASSERT_EQ(Compose("&Forward=Yes"), "COMPOSE[][]");
    EXPECT_NE(ReadFile(Dir() / ".headers.txt").find("Subject: Fwd: Plans\r\n"), std::string::npos);
    EXPECT_EQ(Compose("&SendNow=1&To=dan@y.org"), "MESSAGE[Sent.]");
    const std::string forward = Received("message3.data");
    EXPECT_NE(forward.find("See you."), std::string::npos);
    EXPECT_EQ(forward.find("References:"), std::string::npos) << forward;
    EXPECT_TRUE(original->HasFlag(MessageFlag::Forwarded));

    // Without a current message a reply is a new, empty compose.
    m_session->SetCurrentMessage(nullptr);
    ASSERT_EQ(Compose("&ReplyAll=Yes"), "COMPOSE[][]");
    const std::string empty = ReadFile(Dir() / ".headers.txt");
    EXPECT_NE(empty.find("To: \r\n"), std::string::npos) << empty;
    EXPECT_NE(empty.find("Subject: \r\n"), std::string::npos) << empty;
    EXPECT_NE(empty.find("From: \"A alice\" <alice@x.org>\r\n"), std::string::npos) << empty;
}

TEST_F(ComposeActionTest, CancelAndFinishedLeaveTheComposeWhereTheyShould)
{
    Start();
    ASSERT_EQ(Send("View=List&Session=" + Id()), "LIST[][]");
    ASSERT_EQ(Compose("&New=1"), "COMPOSE[][]");
    // The attachment page and back: its Cancel keeps every file.
    EXPECT_EQ(Compose("&Attach=Yes&To=x@y.org&Body=words"), "ATTACH[]");
    WriteFile(Dir() / "a.txt", "data");
    EXPECT_EQ(Send("View=Compose-Attach&Session=" + Id() + "&Cancel=Yes"), "COMPOSE[][]");
    EXPECT_EQ(ComposeFiles(), (std::vector<std::string>{".body.txt", ".headers.txt", "a.txt"}));
    EXPECT_EQ(Send("View=Compose-Attach&Session=" + Id() + "&Finished=Yes"), "COMPOSE[][]");
    EXPECT_NE(ReadFile(Dir() / ".headers.txt").find("To: x@y.org\r\n"), std::string::npos);
    // Cancel on the compose page goes back to the list and ends the compose.
    EXPECT_EQ(Compose("&Cancel=Yes"), "LIST[][]");
    EXPECT_EQ(ComposeFiles(), std::vector<std::string>{});

    // A compose opened in the frames goes back to the view before it, not to itself.
    ASSERT_EQ(Send("Frames=1&View=Compose&Session=" + Id()), "MAIN[]");
    ASSERT_EQ(Compose(""), "COMPOSE[][]");
    EXPECT_EQ(Compose("&Cancel=Yes"), "LIST[][]");
    EXPECT_EQ(ComposeFiles(), std::vector<std::string>{});
}

TEST_F(ComposeActionTest, UploadedFilesAreSentAndRemovedOnlyByPlainName)
{
    Start();
    ASSERT_EQ(Compose("&New=1"), "COMPOSE[][]");
    const std::string boundary = "----b0undary";
    const auto part = [&](const std::string& name, const std::string& file, const std::string& data) {
        std::string text = "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"";
        if (!file.empty()) {
            text += "; filename=\"" + file + "\"\r\nContent-Type: application/octet-stream";
        }
        return text + "\r\n\r\n" + data + "\r\n";
    };
    const std::string bytes("\x00\x01\r\n--x\xff", 8);
    const std::string body =
            part("Attachment", "C:\\tmp\\bin.dat", bytes) + part("Upload", "", "Yes") + "--" + boundary + "--\r\n";
    EXPECT_EQ(Send("View=Compose-Attach&Session=" + Id(), "multipart/form-data; boundary=" + boundary, body),
              "ATTACH[]");
    EXPECT_EQ(ReadFile(Dir() / "bin.dat"), bytes);

    // A file whose name fails the check is dropped, and the user is told which.
    const std::string hostile = part("Attachment", ".headers.txt", "To: evil@example.com") + part("Upload", "", "Yes") +
                                "--" + boundary + "--\r\n";
    EXPECT_EQ(Send("View=Compose-Attach&Session=" + Id(), "multipart/form-data; boundary=" + boundary, hostile),
              "ATTACH[Not attached: .headers.txt]");
    EXPECT_EQ(ReadFile(Dir() / ".headers.txt").find("evil"), std::string::npos);
    // So is a file named like a compose file without its dot: the text would be taken as its content type.
    const std::string twin = part("Attachment", "Body.txt", "First line of my text") + part("Upload", "", "Yes") +
                             "--" + boundary + "--\r\n";
    EXPECT_EQ(Send("View=Compose-Attach&Session=" + Id(), "multipart/form-data; boundary=" + boundary, twin),
              "ATTACH[Not attached: Body.txt]");
    EXPECT_FALSE(fs::exists(Dir() / "Body.txt"));

    const std::string cut = part("Attachment", "late.dat", "abc");
    EXPECT_EQ(Send("View=Compose-Attach&Session=" + Id(), "multipart/form-data; boundary=" + boundary, cut),
              "ATTACH[Form not read.]");
    EXPECT_FALSE(fs::exists(Dir() / "late.dat"));

    WriteFile(Dir() / "gone.txt", "x");
    for (const char* name : {"..", ".body.txt", "..%2FUser.ini", "%2Fetc%2Fpasswd", "gone.txt"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(Send("View=Compose-Attach&Session=" + Id() + "&Remove=Yes&Attachments=" + name), "ATTACH[]");
    }
    EXPECT_EQ(ComposeFiles(), (std::vector<std::string>{".body.txt", ".headers.txt", "bin.dat"}));
    EXPECT_TRUE(fs::exists(m_harness.Settings().UserDir("alice") / "User.ini"));

    EXPECT_EQ(Compose("&SendNow=1&To=bob@y.org&Subject=file&Body=see+attached"), "LIST[Sent.][]");
    const std::string data = Received("message1.data");
    EXPECT_NE(data.find("Content-Disposition: attachment; filename=\"bin.dat\""), std::string::npos) << data;
    EXPECT_NE(data.find("AAENCi0teP8="), std::string::npos) << data;
}

TEST_F(ComposeActionTest, AMisspellingShowsTheSpellingPageAndSendsNothing)
{
    Start("SpellCheckBeforeSend=Yes\r\nLang=en\r\n");
    std::string checked;
    m_seams = std::make_unique<ComposeSeams>(ComposeSeams::Engine());
    m_seams->FindsMisspelling = [&](Request&, std::string_view language) {
        checked = language;
        return true;
    };
    ASSERT_EQ(Compose("&New=1"), "COMPOSE[][]");
    EXPECT_EQ(Compose("&SendNow=1&To=bob@y.org&Body=teh&SpellLanguage=deu"), "SPELL");
    EXPECT_EQ(checked, "de");
    EXPECT_FALSE(m_sink.HasReceived("message1.envelope"));
    // From the spelling page itself the message goes without another check.
    checked.clear();
    EXPECT_EQ(Send("View=Compose-SpellCheck&Session=" + Id() + "&SendNow=1"), "LIST[Sent.][]");
    EXPECT_EQ(checked, "");
    (void)Received("message1.data");
}

// The spelling check with a small English dictionary: a misspelling stops a send, quoted lines do not, the spelling
// page's corrections and dictionary words reach the compose text and the user's dictionary, and a send from the
// spelling page goes out unchecked.
TEST_F(ComposeActionTest, TheSpellingCheckStopsASendAndItsPageCorrectsTheText)
{
    const fs::path dir = m_harness.Settings().Dir();
    fs::create_directories(dir / "SpellCheck");
    WriteFile(dir / "tiny.aff", "SET UTF-8\nTRY esiaénrtolcdugmfphbyvkw\n");
    WriteFile(dir / "tiny.dic", "5\nhello\nreceive\nthe\nmessage\nplease\n");
    WriteFile(dir / "SpellCheck" / "Common.en", (dir / "tiny").string() + "\n");
    Start("SpellCheckBeforeSend=Yes\r\nLang=en\r\n");
    const fs::path dictionary = m_harness.Settings().UserDir("alice") / "Dictionary.txt";

    ASSERT_EQ(Compose("&New=1"), "COMPOSE[][]");
    EXPECT_EQ(Compose("&SendNow=1&To=bob@y.org&Body=hello%0D%0A%3E+recieve+the+mesage"), "LIST[Sent.][]");
    (void)Received("message1.data");

    ASSERT_EQ(Compose("&New=1"), "COMPOSE[][]");
    EXPECT_EQ(Compose("&SendNow=1&To=bob@y.org&Body=please+recieve+the+mesage+Quillmail"), "SPELL");
    EXPECT_FALSE(m_sink.HasReceived("message2.envelope"));
    const std::string spell = "View=Compose-SpellCheck&Session=" + Id();
    EXPECT_EQ(Send(spell + "&AddWord=Quillmail"), "SPELL");
    EXPECT_EQ(Send(spell + "&AddWord=bad%0D%0Aword"), "SPELL");
    EXPECT_EQ(ReadFile(dictionary), "Quillmail\r\n");
    EXPECT_EQ(Send(spell + "&Correct=1&AddToDictionary=Yes&WORD1=receive&WORD3=mesage"), "SPELL");
    EXPECT_EQ(ReadFile(Dir() / ".body.txt"), "please receive the mesage Quillmail");
    EXPECT_EQ(ReadFile(dictionary), "Quillmail\r\nmesage\r\n");
    // Back on the compose page the text and the fields are those of before; the send checks again and passes.
    EXPECT_EQ(Send(spell + "&Finished=1"), "COMPOSE[][]");
    EXPECT_EQ(Compose("&SendNow=1"), "LIST[Sent.][]");
    EXPECT_NE(Received("message2.data").find("please receive the mesage Quillmail"), std::string::npos);

    // From the spelling page the message goes unchecked, as it is when no correction was chosen.
    ASSERT_EQ(Compose("&New=1"), "COMPOSE[][]");
    EXPECT_EQ(Compose("&SendNow=1&To=bob@y.org&Body=wrold"), "SPELL");
    EXPECT_EQ(Send(spell + "&SendNow=1"), "LIST[Sent.][]");
    EXPECT_NE(Received("message3.data").find("wrold"), std::string::npos);

    // Send on the spelling page applies the corrections chosen there first, and keeps words as Correct does.
    ASSERT_EQ(Compose("&New=1"), "COMPOSE[][]");
    EXPECT_EQ(Compose("&SendNow=1&To=bob@y.org&Body=please+recieve+the+Zorblat"), "SPELL");
    EXPECT_EQ(Send(spell + "&SendNow=1&AddToDictionary=Yes&WORD1=receive&WORD3=Zorblat"), "LIST[Sent.][]");
    const std::string corrected = Received("message4.data");
    EXPECT_NE(corrected.find("please receive the Zorblat"), std::string::npos) << corrected;
    EXPECT_EQ(corrected.find("recieve"), std::string::npos) << corrected;
    EXPECT_EQ(ReadFile(dictionary), "Quillmail\r\nmesage\r\nZorblat\r\n");
}

TEST_F(ComposeActionTest, AComposeOfAnEndedSessionReachesDraftsAfterTheLogon)
{
    Start();
    const std::string oldId = Id();
    ASSERT_EQ(Compose("&New=1"), "COMPOSE[][]");
    m_session->Unbusy();
    m_session = nullptr;
    ASSERT_EQ(Send("View=Logout&Session=" + oldId), "LOGON[]");

    const std::string fields = "&ComposeUser=alice&To=bob@y.org&Subject=Lost%3F&Body=long+text%0D%0Aline+2";
    const std::string logon = Send("View=Compose&Session=" + oldId + "&SendNow=1" + fields);
    EXPECT_NE(logon.find("LOGON[Session ended.]"), std::string::npos) << logon;
    for (const char* hidden : {R"(<input type="hidden" name="ComposeUser" value="alice">)",
                               R"(<input type="hidden" name="Subject" value="Lost?">)",
                               "<input type=\"hidden\" name=\"Body\" value=\"long text\r\nline 2\">"}) {
        EXPECT_NE(logon.find(hidden), std::string::npos) << hidden << "\n" << logon;
    }
    // Another user who logs on with the carried form gets nothing of it.
    EXPECT_EQ(Send("View=Main&User=bob&Password=pw" + fields), "MAIN[]");
    Session* bob = m_harness.Manager().FindByUser("bob");
    ASSERT_NE(bob, nullptr);
    EXPECT_EQ(bob->User().Messages().Count(), 0);
    bob->Unbusy();

    EXPECT_EQ(Send("View=Main&User=alice&Password=pw" + fields), "MAIN[Kept in Drafts.]");
    m_session = m_harness.Manager().FindByUser("alice");
    ASSERT_NE(m_session, nullptr);
    const std::vector<MessageIndexEntry*> drafts = InFolder("Drafts");
    ASSERT_EQ(drafts.size(), 1u);
    EXPECT_TRUE(drafts[0]->HasFlag(MessageFlag::Draft));
    EXPECT_EQ(drafts[0]->Subject(), "Lost?");
    EXPECT_NE(ReadFile(drafts[0]->GetMessagePath()).find("long text\r\nline 2\r\n"), std::string::npos);
    EXPECT_EQ(ComposeFiles(), std::vector<std::string>{});
    EXPECT_FALSE(m_sink.HasReceived("message1.envelope")) << "a carried compose is kept, never sent";
}

// The attachment and spelling pages carry the compose as hidden fields; posted after the session ended, even as
// multipart, they reach the Logon page, which carries them on (an uploaded file cannot be kept).
TEST_F(ComposeActionTest, TheAttachmentAndSpellingPagesCarryTheComposeWhenTheSessionEnds)
{
    const fs::path templates = m_harness.Settings().Dir() / "Templates" / "Globe";
    WriteFile(templates / "Compose-Attach.html", "ATTACH<$CARRIEDCOMPOSE$>");
    WriteFile(templates / "Compose-SpellCheck.html", "SPELL<$CARRIEDCOMPOSE$>");
    Start();
    ASSERT_EQ(Compose("&New=1"), "COMPOSE[][]");
    const std::string attach = Compose("&Attach=Yes&To=bob@y.org&Subject=Kept%3F&SpellLanguage=en&Body=line+1%0D%0A"
                                       "%3C/b%3E+%22q%22");
    const std::string text = "line 1\r\n&lt;/b&gt; &quot;q&quot;";
    for (const std::string& hidden : {std::string(R"(<input type="hidden" name="ComposeUser" value="alice">)"),
                                      std::string(R"(<input type="hidden" name="To" value="bob@y.org">)"),
                                      std::string(R"(<input type="hidden" name="Subject" value="Kept?">)"),
                                      std::string(R"(<input type="hidden" name="SpellLanguage" value="en">)"),
                                      "<input type=\"hidden\" name=\"Body\" value=\"" + text + "\">"}) {
        EXPECT_NE(attach.find(hidden), std::string::npos) << hidden << "\n" << attach;
    }
    const std::string spell = Send("View=Compose-SpellCheck&Session=" + Id());
    EXPECT_NE(spell.find("<input type=\"hidden\" name=\"Body\" value=\"" + text + "\">"), std::string::npos) << spell;
    EXPECT_EQ(spell.find("name=\"SpellLanguage\""), std::string::npos) << "the page has its own list";

    // With the session alive the carried text posted back changes nothing.
    const std::string boundary = "----c4rried";
    const auto part = [&](const std::string& name, const std::string& file, const std::string& data) {
        std::string field = "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"";
        if (!file.empty()) {
            field += "; filename=\"" + file + "\"";
        }
        return field + "\r\n\r\n" + data + "\r\n";
    };
    const std::string form = part("ComposeUser", "", "alice") + part("To", "", "bob@y.org") +
                             part("Subject", "", "Kept?") + part("Body", "", "line 1\r\n</b> \"q\"");
    const std::string type = "multipart/form-data; boundary=" + boundary;
    EXPECT_EQ(Send("View=Compose-Attach&Session=" + Id(), type,
                   form + part("Finished", "", "Yes") + "--" + boundary + "--\r\n"),
              "COMPOSE[][]");
    EXPECT_EQ(ReadFile(Dir() / ".body.txt"), "line 1\r\n</b> \"q\"");
    // A text too large to edit is not carried: nothing would stand for it.
    const std::string kept = ReadFile(Dir() / ".body.txt");
    WriteFile(Dir() / ".body.txt", std::string(kMaxEditableComposeText + 1, 'x'));
    EXPECT_EQ(Send("View=Compose-Attach&Session=" + Id()), "ATTACH");
    WriteFile(Dir() / ".body.txt", kept);

    const std::string oldId = Id();
    const fs::path tempRoot = Dir().parent_path();
    m_session->Unbusy();
    m_session = nullptr;
    ASSERT_EQ(Send("View=Logout&Session=" + oldId), "LOGON[]");
    const std::string logon = Send("View=Compose-Attach&Session=" + oldId, type,
                                   form + part("Attachment", "late.txt", "late") + part("Upload", "", "Yes") + "--" +
                                           boundary + "--\r\n");
    EXPECT_NE(logon.find("LOGON[Session ended.]"), std::string::npos) << logon;
    for (const std::string& hidden : {std::string(R"(<input type="hidden" name="ComposeUser" value="alice">)"),
                                      std::string(R"(<input type="hidden" name="Subject" value="Kept?">)"),
                                      "<input type=\"hidden\" name=\"Body\" value=\"" + text + "\">"}) {
        EXPECT_NE(logon.find(hidden), std::string::npos) << hidden << "\n" << logon;
    }
    EXPECT_NE(m_harness.Log().find("came with 1 file(s); they were not kept"), std::string::npos) << m_harness.Log();
    for (const auto& entry : fs::directory_iterator(tempRoot)) {
        EXPECT_EQ(entry.path().filename().string().rfind("carried-", 0), std::string::npos) << entry.path();
    }
    // A form cut short is not carried.
    const std::string cut = Send("View=Compose-Attach&Session=" + oldId, type, form);
    EXPECT_EQ(cut.find("name=\"Body\""), std::string::npos) << cut;
}

// A carried compose that cannot be kept in Drafts is not dropped: it stays open in the new session, whose frame
// shows the compose page with the text, and the log says why.
TEST_F(ComposeActionTest, ACarriedComposeThatCannotBeKeptInDraftsStaysOpen)
{
    Start();
    const std::string fields = "&ComposeUser=alice&To=bob@y.org&Subject=Lost%3F&Body=long+text%0D%0Aline+2";

    struct Case {
        const char* Name;
        std::function<void(ComposeSeams&)> Break;
        const char* Logged;
    };

    const Case cases[] = {
            {"not stored",
             [](ComposeSeams& seams) {
                 seams.StoreComposed = [](Request&, std::string_view, MessageForm) {
                     return nullptr;
                 };
             },
             "could not be stored in Drafts"},
            {"not built",
             [](ComposeSeams& seams) {
                 seams.BuildOutgoing = [](Request&, MessageForm) {
                     return OutgoingResult{OutgoingError::CannotWrite, {}};
                 };
             },
             "could not be built"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        m_seams = std::make_unique<ComposeSeams>(ComposeSeams::Engine());
        c.Break(*m_seams);
        const std::string oldId = Id();
        m_session->Unbusy();
        m_session = nullptr;
        ASSERT_EQ(Send("View=Logout&Session=" + oldId), "LOGON[]");
        EXPECT_EQ(Send("View=Main&User=alice&Password=pw" + fields), "MAIN[]");
        m_session = m_harness.Manager().FindByUser("alice");
        ASSERT_NE(m_session, nullptr);
        m_cookies = "Session=" + m_session->CookieSecret() + "; Lang=en; Theme=Globe";
        EXPECT_TRUE(InFolder("Drafts").empty());
        EXPECT_EQ(m_session->FrameView(), kViewCompose) << "the frame opens the compose";
        EXPECT_EQ(ReadFile(Dir() / ".body.txt"), "long text\r\nline 2");
        EXPECT_NE(m_harness.Log().find(c.Logged), std::string::npos) << m_harness.Log();
        EXPECT_EQ(Compose(""), "COMPOSE[][Not kept in Drafts: open again.]");
        const std::string headers = ReadFile(Dir() / ".headers.txt");
        EXPECT_NE(headers.find("To: bob@y.org\r\n"), std::string::npos) << headers;
        EXPECT_NE(headers.find("Subject: Lost?\r\n"), std::string::npos) << headers;
        EXPECT_NE(headers.find("From: \"A alice\" <alice@x.org>\r\n"), std::string::npos) << headers;
    }
    EXPECT_FALSE(m_sink.HasReceived("message1.envelope"));
}

TEST_F(ComposeActionTest, AFaxGoesToTheFaxServersDropDirectoryBehindALockFile)
{
    const fs::path app = m_harness.Settings().Dir() / "Telvane";
    const fs::path drop = app / "drop";
    fs::create_directories(drop);
    WriteFile(app / "Telvane.ini", "[Directories]\r\nRFC822=" + drop.string() + "\r\n");
    WriteFile(m_harness.Settings().IniPath(), ReadFile(m_harness.Settings().IniPath()) +
                                                      "[Telvane]\r\nUseTelvane=Yes\r\nAppPath=" + app.string() +
                                                      "\r\n");
    NoteIniWritten(m_harness.Settings().IniPath());
    Start();
    ASSERT_EQ(Compose("&New=1&FaxCompose=Yes"), "COMPOSE[][]");
    EXPECT_EQ(Compose("&FaxCompose=Yes&SendNow=1&To=%2B1+(555)+123%2C45&Attn=Ann&Company=Co&Body=short+fax"),
              "LIST[Sent.][]");
    std::vector<fs::path> dropped;
    for (const auto& entry : fs::directory_iterator(drop)) {
        dropped.push_back(entry.path());
    }
    ASSERT_EQ(dropped.size(), 1u) << "the message only, its lock file gone";
    EXPECT_EQ(dropped[0].extension(), ".msg");
    EXPECT_EQ(dropped[0].filename().string().rfind("qm_" + Id() + "_", 0), 0u) << dropped[0];
    const std::string fax = ReadFile(dropped[0]);
    EXPECT_NE(fax.find("FAXNUMBER: +1 555 123%45, \"Ann\", \"Co\"\r\n"), std::string::npos) << fax;
    EXPECT_NE(fax.find("COMMENTS: short fax"), std::string::npos) << fax;
    EXPECT_FALSE(m_sink.HasReceived("message1.envelope")) << "a dropped fax is not mailed";

    // Without a number the fax fails and the typed To comes back.
    ASSERT_EQ(Compose("&New=1&FaxCompose=Yes"), "COMPOSE[][]");
    EXPECT_EQ(Compose("&FaxCompose=Yes&SendNow=1&To=(none)&Body=x"), "COMPOSE[][Not sent.]");
    EXPECT_NE(ReadFile(Dir() / ".headers.txt").find("To: (none)\r\n"), std::string::npos);
}

TEST(ComposeActionRulesTest, FaxNumbersAndAddressChecks)
{
    EXPECT_EQ(FaxNumberOf("+1 (555) 123,45"), "+1 555 123%45");
    EXPECT_EQ(FaxNumberOf("9W555-1234 ext."), "9W555-1234 ");
    EXPECT_EQ(FaxNumberOf(std::string(40, '7')), std::string(31, '7'));

    struct Case {
        const char* To;
        AddressProblem Want;
    };

    const Case cases[] = {
            {"a@b.org", AddressProblem::None},
            {"\"Doe, J\" <j@b.org>; k@b.org", AddressProblem::None},
            {"a@b.org\r\n", AddressProblem::LineBreak},
            {"a@b.org\nRCPT TO:<e@x.org>", AddressProblem::LineBreak},
            {"", AddressProblem::Unusable},
            {" , ;", AddressProblem::Unusable},
            {"nobody", AddressProblem::Unusable},
            {"a b@c.org", AddressProblem::Unusable},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.To);
        EXPECT_EQ(CheckComposeAddresses("<me@x.org>", c.To, "", ""), c.Want);
    }
    EXPECT_EQ(CheckComposeAddresses("", "a@b.org", "", ""), AddressProblem::Unusable);
    EXPECT_EQ(CheckComposeAddresses("me@x.org", "", "", "c@d.org"), AddressProblem::None);
}

} // namespace
} // namespace qm::engine
