// The watch program's status protocol: the version, the logon that hands out the session id, the address checks
// of both ways to name a session, the folders' counts around a fetch, and what the lists disclose; and the download
// of its installer with the settings file in the archive, listed by the real unzip.
#include "common/IniAccess.h"
#include "common/IniCache.h"
#include "common/Scrambler.h"
#include "engine/DomainSettings.h"
#include "engine/LogonThrottle.h"
#include "engine/Request.h"
#include "engine/SessionManager.h"
#include "engine/StatusCheck.h"
#include "engine/TemplateCache.h"
#include "engine/UserLogonLocks.h"
#include "engine/WatchInstaller.h"
#include "engine/tests/PageTestSupport.h"
#include "engine/tests/SessionTestSupport.h"
#include "store/FolderList.h"
#include "store/MailHostList.h"
#include "store/MessageIndex.h"
#include "testsupport/Program.h"
#include "testsupport/ScriptedPop3Server.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>
#include <zip.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace qm::engine {
namespace {

using test::ReadFile;
using test::SessionHarness;
using test::WriteFile;
namespace fs = std::filesystem;

const std::string kHead(kStatusHead);

class StatusCheckTest : public ::testing::Test {
protected:
    StatusCheckTest()
    {
        const fs::path templates = m_harness.Settings().Dir() / "Templates";
        fs::create_directories(templates / "Globe");
        WriteFile(templates / "Languages.ini", "[en]\r\n001=English\r\n");
        WriteFile(templates / "Globe" / "Main.html", "MAIN");
        WriteFile(templates / "Globe" / "Logon.html", "LOGON");
        m_cache = std::make_unique<TemplateCache>(templates.string(), true, nullptr);
        AddUser("alice", "pw");
        AddUser("bob", "bob-pw");
    }

    void AddUser(const std::string& name, const std::string& password)
    {
        fs::create_directories(m_harness.Settings().UserDir(name));
        WriteFile(m_harness.Settings().UserDir(name) / "User.ini",
                  "[User]\r\nPassword=" + ScramblePassword(password) + "\r\n");
    }

    // Runs one request of the query string from the client address given, with the Session cookie given (none when
    // empty); the whole response.
    std::string Send(const std::string& query, const std::string& remote = "127.0.0.1",
                     const std::string& sessionCookie = "")
    {
        std::string cookies = "HTTP_COOKIE=Lang=en; Theme=Globe";
        if (!sessionCookie.empty()) {
            cookies += "; Session=" + sessionCookie;
        }
        std::string environment;
        for (const std::string& entry : std::vector<std::string>{
                     "REQUEST_METHOD=GET", "QUERY_STRING=" + query, "REMOTE_ADDR=" + remote, "SERVER_NAME=localhost",
                     "SERVER_PORT=2000", "SERVER_ADDR=127.0.0.1", "SCRIPT_NAME=/mail", cookies}) {
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
            Request request(-1, out, environment.c_str(), std::move(services));
            request.Run();
        }
        return ReadFile(outPath);
    }

    // The live session of the user (its busy count given back at once), or null.
    Session* SessionOf(const std::string& user)
    {
        Session* session = m_harness.Manager().FindByUser(user);
        if (session != nullptr) {
            session->Unbusy();
        }
        return session;
    }

    std::string WatchLogon(const std::string& remote = "127.0.0.1", const std::string& extra = "")
    {
        return Send("View=StatusCheck&GetSession=1&User=alice&Password=pw" + extra, remote);
    }

    // A poll of the watch program by the session's id, with the session's cookie, from its own address.
    std::string Poll(Session& session, const std::string& fields)
    {
        return Send("View=StatusCheck&Session=" + std::string(session.Id()) + fields, "127.0.0.1",
                    session.CookieSecret());
    }

    // The head of a reply that hands out the session's cookie.
    static std::string CookieHead(const Session& session)
    {
        return "Set-Cookie: Session=" + session.CookieSecret() + "; path=/; HttpOnly; SameSite=Lax\r\n" + kHead;
    }

    SessionHarness m_harness{"[General]\r\nLogLevel=1\r\n"};
    std::unique_ptr<TemplateCache> m_cache;
    LogonThrottle m_throttle{LogonThrottlePolicy{}, [] {
                                 return std::chrono::milliseconds(1000000);
                             }};
    UserLogonLocks m_logonLocks;
};

TEST_F(StatusCheckTest, OnlyTheVersionIsAnsweredWithoutASession)
{
    EXPECT_EQ(Send("View=StatusCheck&GetVersion=1&GetSession=1&User=alice&Password=pw"),
              kHead + "<version>2.2.3</version>\n");
    EXPECT_EQ(m_harness.Manager().Count(), 0);
}

TEST_F(StatusCheckTest, WithTheWatchProgramOffNothingAtAllIsWritten)
{
    ASSERT_TRUE(WriteIniString("QMWatch", "UseQMWatch", "No"));
    EXPECT_EQ(Send("View=StatusCheck&GetVersion=1"), "");
    EXPECT_EQ(WatchLogon(), "");
    EXPECT_EQ(m_harness.Manager().Count(), 0);
}

TEST_F(StatusCheckTest, ALogonHandsOutTheUsersSessionAndNeverLogsThePassword)
{
    const std::string first = WatchLogon();
    Session* session = SessionOf("alice");
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(first, CookieHead(*session) + "<session>" + session->Id() + "</session>\n");
    EXPECT_TRUE(session->WatchOnly());
    EXPECT_TRUE(session->WatchCookie()) << "the browser it opens gets the cookie";
    EXPECT_EQ(session->BusyCount(), 0);

    // A second logon finds the same session.
    EXPECT_EQ(WatchLogon(), first);
    EXPECT_EQ(m_harness.Manager().Count(), 1);

    const std::string log = m_harness.Log();
    EXPECT_NE(log.find("StatusCheck session created for alice from 127.0.0.1."), std::string::npos) << log;
    EXPECT_NE(log.find("BegQMWatch: View=StatusCheck&GetSession=1&User=alice&Password=*"), std::string::npos) << log;
    EXPECT_NE(log.find("EndQMWatch: "), std::string::npos) << log;
    EXPECT_EQ(log.find("=pw"), std::string::npos) << log;
}

TEST_F(StatusCheckTest, AWrongPasswordGetsTheHeadAlone)
{
    EXPECT_EQ(Send("View=StatusCheck&GetSession=1&User=alice&Password=wrong&GetMessageCounts=1"), kHead);
    EXPECT_EQ(Send("View=StatusCheck&GetSession=1&User=nobody&Password=pw"), kHead);
    EXPECT_EQ(m_harness.Manager().Count(), 0);
    EXPECT_EQ(m_harness.Log().find("wrong"), std::string::npos);
}

TEST_F(StatusCheckTest, APollFromANewAddressIsDisconnectedUnlessItTakesTheSessionOver)
{
    (void)WatchLogon();
    Session* session = SessionOf("alice");
    ASSERT_NE(session, nullptr);
    const std::string id = session->Id();

    EXPECT_EQ(WatchLogon("127.0.0.2"), kHead + "<disconnect></disconnect>\n") << "the owner's address stays unsaid";
    EXPECT_NE(m_harness.Log().find("QMWatch request for session " + id + " has invalid IP, sending disconnect."),
              std::string::npos);
    EXPECT_EQ(session->BusyCount(), 0);
    EXPECT_TRUE(session->IsFromAddress("127.0.0.1"));

    EXPECT_EQ(WatchLogon("127.0.0.2", "&TakeOver=1"), CookieHead(*session) + "<session>" + id + "</session>\n");
    EXPECT_TRUE(session->IsFromAddress("127.0.0.2"));
    EXPECT_EQ(session->ClientAddress(), "127.0.0.2");
    EXPECT_EQ(session->BusyCount(), 0);

    // With the address check off any address may poll.
    ASSERT_TRUE(WriteIniString("Session", "CheckIP", "No"));
    EXPECT_EQ(WatchLogon("127.0.0.3"), CookieHead(*session) + "<session>" + id + "</session>\n");
}

TEST_F(StatusCheckTest, ALeakedSessionIdWithoutItsCookieLearnsAndChangesNothing)
{
    // A browser session, whose id leaked, with an account that a fetch would try and an alert waiting.
    ASSERT_NE(Send("View=Main&User=alice&Password=pw").find("MAIN"), std::string::npos);
    Session* session = SessionOf("alice");
    ASSERT_NE(session, nullptr);
    const std::string id = session->Id();
    store::MailHostAccount& account = session->User().MailHosts().NewAccount();
    ASSERT_TRUE(account.SetMailbox("pop"));
    account.SetHost("127.0.0.1");
    account.SetPort(qm::test::LoopbackListener().Port());
    account.SetActive(true);
    session->ErrorMessage().Set("Server going down");
    const time_t lastAccess = session->LastAccess();
    m_harness.Advance(60);

    const std::string everything = "View=StatusCheck&Session=" + id + "&GetMessageCounts=1&GetSessions=1&GetUsers=1";

    struct Case {
        const char* Name;
        std::string Remote;
        std::string Extra;
        std::string Cookie;
    };

    const Case cases[] = {
            {"another host", "127.0.0.2", "", ""},
            {"another host taking over", "127.0.0.2", "&TakeOver=1", ""},
            {"the owner's address", "127.0.0.1", "", ""},
            {"a wrong cookie", "127.0.0.1", "", std::string(kCookieSecretLength, '0')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        EXPECT_EQ(Send(everything + c.Extra, c.Remote, c.Cookie), kHead);
    }
    EXPECT_EQ(m_harness.Word(StatusWord::Pop3Sessions), 0) << "no fetch was started";
    EXPECT_EQ(session->LastAccess(), lastAccess) << "the session was not kept alive";
    EXPECT_FALSE(session->WatchOnly()) << "its clean-up at the end is not skipped";
    EXPECT_FALSE(session->WatchCookie());
    EXPECT_TRUE(session->IsFromAddress("127.0.0.1"));
    EXPECT_NE(session->ErrorMessage().Take(), nullptr) << "the alert is still the owner's";
    EXPECT_NE(
            m_harness.Log().find("Request for session " + id + " from 127.0.0.2 denied due to invalid session cookie."),
            std::string::npos)
            << m_harness.Log();

    // With the cookie from another host: told to disconnect, but not where the session is.
    EXPECT_EQ(Send("View=StatusCheck&Session=" + id + "&GetUsers=1&TakeOver=1", "127.0.0.2", session->CookieSecret()),
              kHead + "<disconnect></disconnect>\n");
    EXPECT_TRUE(session->IsFromAddress("127.0.0.1")) << "without the password the session never moves";

    // With the cookie from its own address the owner is served; the id alone never arms the cookie hand-over.
    EXPECT_EQ(Poll(*session, "&GetUsers=1"), kHead + "<users>\n\t<user><name>alice</name></user>\n</users>\n");
    EXPECT_EQ(Poll(*session, ""), kHead);
    EXPECT_TRUE(session->WatchOnly());
    EXPECT_FALSE(session->WatchCookie());
    EXPECT_EQ(session->BusyCount(), 0);

    // Without the cookie check the id alone is enough, as for every page.
    ASSERT_TRUE(WriteIniString("Session", "CheckCookie", "No"));
    EXPECT_EQ(Send("View=StatusCheck&Session=" + id + "&GetUsers=1"),
              kHead + "<users>\n\t<user><name>alice</name></user>\n</users>\n");

    EXPECT_EQ(Send("View=StatusCheck&Session=NOSUCHX&GetUsers=1"), kHead);
    EXPECT_NE(m_harness.Log().find("QMWatch request for invalid session NOSUCHX."), std::string::npos);
}

TEST_F(StatusCheckTest, TheWatchProgramPollsWithTheCookieItsLogonGave)
{
    const std::string reply = WatchLogon();
    Session* session = SessionOf("alice");
    ASSERT_NE(session, nullptr);
    const std::string prefix = "Set-Cookie: Session=";
    ASSERT_EQ(reply.rfind(prefix, 0), 0u) << reply;
    const std::string cookie = reply.substr(prefix.size(), reply.find(';') - prefix.size());
    EXPECT_EQ(Send("View=StatusCheck&Session=" + std::string(session->Id()) + "&GetUsers=1", "127.0.0.1", cookie),
              kHead + "<users>\n\t<user><name>alice</name></user>\n</users>\n");

    // Without cookies nothing is handed out, and the id alone is enough.
    ASSERT_TRUE(WriteIniString("Special", "UseCookies", "No"));
    EXPECT_EQ(WatchLogon(), kHead + "<session>" + session->Id() + "</session>\n");
}

TEST_F(StatusCheckTest, TheListsNameOnlyTheCallersOwnUserAndSessions)
{
    ASSERT_NE(Send("View=StatusCheck&GetSession=1&User=bob&Password=bob-pw").find("<session>"), std::string::npos);
    ASSERT_NE(SessionOf("bob"), nullptr);
    (void)WatchLogon();
    Session* alice = SessionOf("alice");
    ASSERT_NE(alice, nullptr);
    const std::string id = alice->Id();

    EXPECT_EQ(Poll(*alice, "&GetSessions=1&GetUsers=1"),
              kHead + "<sessions>\n\t<session><name>alice</name><ip>127.0.0.1</ip><id>" + id +
                      "</id></session>\n</sessions>\n<users>\n\t<user><name>alice</name></user>\n</users>\n");
}

// The expected line of a folder.
std::string Line(const store::FolderEntry& folder, int total, int unread, int fresh, int recent)
{
    return FolderLine({folder.Name(), folder.DisplayName(), total, unread, fresh, recent});
}

TEST_F(StatusCheckTest, MessageCountsFollowTheFolderListAndCountWhatTheFetchBrought)
{
    (void)WatchLogon();
    Session* session = SessionOf("alice");
    ASSERT_NE(session, nullptr);
    const std::string id = session->Id();
    UserRecord& user = session->User();
    store::MessageIndex& index = user.Messages();
    store::MessageIndexEntry* old = index.NewEntry();
    old->SetFolder("Inbox");
    old->SetFlags(store::MessageFlag::Stored | store::MessageFlag::New);
    store::MessageIndexEntry* read = index.NewEntry();
    read->SetFolder("inbox");
    read->SetFlags(store::MessageFlag::Stored | store::MessageFlag::Read);
    session->ErrorMessage().Set("Server going\r\ndown");

    // No new mail: nothing recent anywhere.
    const store::FolderList& folders = user.Folders();
    ASSERT_GE(folders.Count(), 2);
    std::string want = kHead + "<alert>Server goingdown</alert>\n<messagecounts>\n";
    for (int f = 0; f < folders.Count(); ++f) {
        const bool inbox = folders.Item(f).Name() == "Inbox";
        want += inbox ? Line(folders.Item(f), 2, 1, 1, 0) : Line(folders.Item(f), 0, 0, 0, 0);
    }
    want += "</messagecounts>\n";
    EXPECT_EQ(Poll(*session, "&GetMessageCounts=1"), want);
    EXPECT_EQ(session->ErrorMessage().Take(), nullptr) << "the alert is shown once";
    EXPECT_TRUE(session->RetrievalDone());
    EXPECT_FALSE(index.Dirty()) << "the index was saved";

    // One new message from the account: recent 1 in the Inbox.
    using qm::test::AfterReply;
    using qm::test::CrLfLines;
    qm::test::ScriptedPop3Server server({{"", "+OK ready\r\n"},
                                         {"USER alice", "+OK\r\n"},
                                         {"PASS pop-pw", "+OK\r\n"},
                                         {"STAT", "+OK 1 100\r\n"},
                                         {"UIDL", CrLfLines({"+OK", "1 uid-a", "."})},
                                         {"LIST 1", "+OK 1 100\r\n"},
                                         {"RETR 1", "+OK\r\nFrom: a@example.org\r\nSubject: hi\r\n\r\nbody\r\n.\r\n"},
                                         {"QUIT", "+OK\r\n", AfterReply::Close}});
    ASSERT_TRUE(server.Valid());
    store::MailHostAccount& account = user.MailHosts().NewAccount();
    ASSERT_TRUE(account.SetMailbox("pop"));
    account.SetHost("127.0.0.1");
    account.SetPort(server.Port());
    account.SetUser("alice");
    account.SetPass("pop-pw");
    account.SetActive(true);
    const std::string counts = Poll(*session, "&GetMessageCounts=1");
    EXPECT_TRUE(server.WaitDone());
    const int inbox = folders.IndexOf("Inbox");
    ASSERT_GE(inbox, 0);
    EXPECT_NE(counts.find(Line(folders.Item(inbox), 3, 2, 2, 1)), std::string::npos) << counts;
    EXPECT_EQ(session->Pop3Client(), nullptr);
}

TEST_F(StatusCheckTest, AnAccountIsSkippedWhileTheUserIsOverAQuotaWithQuotasEnforced)
{
    (void)WatchLogon();
    Session* session = SessionOf("alice");
    ASSERT_NE(session, nullptr);
    const std::string id = session->Id();
    UserRecord& user = session->User();
    for (int i = 0; i < 2; ++i) {
        user.Messages().NewEntry()->SetFolder("Inbox");
    }
    SetUserSetting("MessageCountQuota", user.Settings(), "1");
    store::MailHostAccount& account = user.MailHosts().NewAccount();
    ASSERT_TRUE(account.SetMailbox("pop"));
    account.SetHost("127.0.0.1");
    account.SetPort(qm::test::LoopbackListener().Port()); // nobody listens there: a run would fail and be counted
    account.SetActive(true);

    m_harness.Settings().WriteDomains("[Default:Settings]\r\nEnforceQuotas=Yes\r\n");
    NoteIniWritten((m_harness.Settings().Dir() / "Domains.Ini").string());
    EXPECT_NE(Poll(*session, "&GetMessageCounts=1").find("<messagecounts>"), std::string::npos);
    EXPECT_EQ(m_harness.Word(StatusWord::Pop3Sessions), 0) << "over the quota: not fetched";

    m_harness.Settings().WriteDomains("[Default:Settings]\r\nEnforceQuotas=No\r\n");
    NoteIniWritten((m_harness.Settings().Dir() / "Domains.Ini").string());
    (void)Poll(*session, "&GetMessageCounts=1");
    EXPECT_EQ(m_harness.Word(StatusWord::Pop3Sessions), 1);
    EXPECT_EQ(m_harness.Word(StatusWord::Pop3Failures), 1);
}

// A small archive standing in for the installer template: one file "setup.bin".
void WriteTemplateArchive(const fs::path& path)
{
    int error = 0;
    zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    ASSERT_NE(archive, nullptr) << error;
    static constexpr char kSetup[] = "setup program bytes";
    zip_source_t* source = zip_source_buffer(archive, kSetup, sizeof kSetup - 1, 0);
    ASSERT_NE(source, nullptr);
    ASSERT_GE(zip_file_add(archive, "setup.bin", source, 0), 0);
    ASSERT_EQ(zip_close(archive), 0);
}

// unzip's listing of the archive, and the text of one member ("" when unzip failed).
std::string UnzipList(const fs::path& archive)
{
    const qm::test::ProgramRun run = qm::test::RunProgram({"unzip", "-l", archive.string()});
    EXPECT_TRUE(run.Succeeded()) << run.Errors << run.Output;
    return run.Output;
}

std::string UnzipMember(const fs::path& archive, const std::string& member)
{
    const qm::test::ProgramRun run = qm::test::RunProgram({"unzip", "-p", archive.string(), member});
    EXPECT_TRUE(run.Succeeded()) << run.Errors;
    return run.Output;
}

TEST(WatchInstallerTest, TheSettingsNameTheEngineAndTheUserAndKeepNoForeignLines)
{
    struct Case {
        WatchSettings Given;
        std::string Url;
    };

    const Case cases[] = {
            {{"mail.example.org", "80", "/mail", "alice", "pw"}, "http://mail.example.org/mail"},
            {{"mail.example.org", "2000", "/cgi/mail", "alice", "pw"}, "http://mail.example.org:2000/cgi/mail"},
            {{"[::1]", "8080", "/mail", "alice", "pw"}, "http://[::1]:8080/mail"},
            // Request values never add a line or a key of their own.
            {{"evil\r\nUser=mallory", "80\r\nX=1", "/m\r\nPassword=x", "alice", "pw"},
             "http://evilUsermallory/mPassword=x"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Url);
        EXPECT_EQ(WatchSettingsText(c.Given),
                  "[QMWatch]\r\nURL=" + c.Url + "\r\nUser=alice\r\nPassword=" + ScramblePassword("pw") + "\r\n");
    }
}

TEST(WatchInstallerTest, ThePackagedArchiveCarriesTheSettingsBesideTheInstaller)
{
    qm::test::TempDir dir;
    const fs::path templatePath = dir.Path() / "QmWatchInstall.exe";
    const fs::path archive = dir.Path() / ".copy.exe";
    WriteTemplateArchive(templatePath);
    test::RecordingLog log;
    const std::string settings = "[QMWatch]\r\nURL=http://h/mail\r\nUser=alice\r\nPassword=x\r\n";
    ASSERT_TRUE(PackageWatchInstaller(templatePath.string(), archive.string(), settings, log));
    const std::string listing = UnzipList(archive);
    EXPECT_NE(listing.find("setup.bin"), std::string::npos) << listing;
    EXPECT_NE(listing.find("qmwatch.ini"), std::string::npos) << listing;
    EXPECT_EQ(UnzipMember(archive, "qmwatch.ini"), settings);
    EXPECT_EQ(UnzipMember(templatePath, "setup.bin"), "setup program bytes");
    EXPECT_EQ(UnzipList(templatePath).find("qmwatch.ini"), std::string::npos) << "the template stays as it was";

    // A template that is no archive is sent as it is; a missing or oversized one not at all.
    WriteFile(templatePath, "plain installer");
    ASSERT_TRUE(PackageWatchInstaller(templatePath.string(), archive.string(), settings, log));
    EXPECT_EQ(ReadFile(archive), "plain installer");
    EXPECT_FALSE(PackageWatchInstaller((dir.Path() / "none.exe").string(), archive.string(), settings, log));
    fs::resize_file(templatePath, kMaxWatchInstallerBytes + 1); // sparse: nothing is written
    EXPECT_FALSE(PackageWatchInstaller(templatePath.string(), archive.string(), settings, log));
}

TEST_F(StatusCheckTest, TheDownloadIsTheArchiveWithItsLengthAndLeavesNoWorkFile)
{
    ASSERT_TRUE(WriteIniString("Session", "CheckCookie", "No"));
    const fs::path html = m_harness.Settings().Dir() / "HTML";
    fs::create_directories(html);
    ASSERT_TRUE(WriteIniString("WebServer", "HtmlDir", html.string()));
    ASSERT_NE(Send("View=Main&User=alice&Password=pw").find("MAIN"), std::string::npos);
    Session* session = SessionOf("alice");
    ASSERT_NE(session, nullptr);
    const std::string id = session->Id();

    // No template yet: an empty answer.
    EXPECT_EQ(Send("View=QMWatchInstall.exe&Session=" + id),
              "Content-type: text/plain\r\nExpires: 0\r\nPragma: no-cache\r\n\r\n");

    WriteTemplateArchive(html / "QmWatchInstall.exe");
    const std::string response = Send("View=qmwatchinstall.exe&Session=" + id);
    const std::size_t end = response.find("\r\n\r\n");
    ASSERT_NE(end, std::string::npos) << response;
    const std::string body = response.substr(end + 4);
    EXPECT_EQ(response.substr(0, end + 4),
              "Content-type: application/octet-stream\r\nContent-length: " + std::to_string(body.size()) +
                      "\r\nExpires: 0\r\nPragma: no-cache\r\n\r\n");
    const fs::path received = m_harness.Settings().Dir() / "received.zip";
    WriteFile(received, body);
    EXPECT_NE(UnzipList(received).find("qmwatch.ini"), std::string::npos);
    EXPECT_EQ(UnzipMember(received, "qmwatch.ini"), "[QMWatch]\r\nURL=http://localhost:2000/mail\r\nUser=alice\r\n"
                                                    "Password=" +
                                                            ScramblePassword("pw") + "\r\n");
    EXPECT_TRUE(fs::is_empty(session->TempDir())) << "the work file is gone";

    // Off, the name is an ordinary page name again.
    ASSERT_TRUE(WriteIniString("QMWatch", "UseQMWatch", "No"));
    EXPECT_EQ(Send("View=QMWatchInstall.exe&Session=" + id).find("application/octet-stream"), std::string::npos);
}

TEST_F(StatusCheckTest, TheAlertStaysOneLine)
{
    EXPECT_EQ(AlertElement("a\r\nb\nc"), "<alert>abc</alert>\n");
    EXPECT_EQ(DisconnectElement(), "<disconnect></disconnect>\n");
}

} // namespace
} // namespace qm::engine
