#include "engine/SessionMail.h"

#include "common/IniAccess.h"
#include "engine/tests/PageTestSupport.h"
#include "engine/tests/SessionTestSupport.h"
#include "store/MailHostList.h"
#include "store/MessageIndex.h"
#include "testsupport/LoopbackListener.h"
#include "testsupport/ScriptedPop3Server.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qm::engine {
namespace {

using test::SessionHarness;
using test::SettingsInstall;
namespace fs = std::filesystem;

constexpr time_t kThursday = 1765432100; // Thu, 11 Dec 2025 05:48:20 UTC

// Sets the process's time zone for a scope.
class TimeZone {
public:
    explicit TimeZone(const char* zone)
    {
        if (const char* old = std::getenv("TZ")) {
            m_old = old;
        }
        ::setenv("TZ", zone, 1);
        ::tzset();
    }

    ~TimeZone()
    {
        if (m_old) {
            ::setenv("TZ", m_old->c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
        ::tzset();
    }

    TimeZone(const TimeZone&) = delete;
    TimeZone& operator=(const TimeZone&) = delete;

private:
    std::optional<std::string> m_old;
};

TEST(SessionMailTest, MailDatesCarryTheLocalOffsetWithItsSign)
{
    struct Case {
        const char* Zone;
        const char* Date;
    };

    const Case cases[] = {
            {"UTC0", "Thu, 11 Dec 2025 05:48:20 +0000"},    {"EST5", "Thu, 11 Dec 2025 00:48:20 -0500"},
            {"CET-1", "Thu, 11 Dec 2025 06:48:20 +0100"},   {"NST3:30", "Thu, 11 Dec 2025 02:18:20 -0330"},
            {"XYZ0:30", "Thu, 11 Dec 2025 05:18:20 -0030"}, {"IST-5:30", "Thu, 11 Dec 2025 11:18:20 +0530"},
            {"ABC12", "Wed, 10 Dec 2025 17:48:20 -1200"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Zone);
        TimeZone zone(c.Zone);
        EXPECT_EQ(MailDateText(kThursday), c.Date);
    }
}

TEST(SessionMailTest, WelcomeLinesAreWholeWithTheirTagsReplaced)
{
    TimeZone zone("UTC0");
    const std::string longLine(400, 'L');
    const std::string text = "Hello <$FULLNAME$>,\r\nyour name is <$username$> and your address <$Email$>.\n" +
                             longLine + "<$USERNAME$>\r\n\r\nlast line without end";
    const auto lines = WelcomeMessageLines(text, {"bob", "Bob B", "bob@ex.com"}, kThursday);
    const std::vector<std::string> expected = {
            "Date: Thu, 11 Dec 2025 05:48:20 +0000",
            "Hello Bob B,",
            "your name is bob and your address bob@ex.com.",
            longLine + "bob",
            "",
            "last line without end",
    };
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(WelcomeMessageLines("", {"a", "b", "c"}, kThursday).size(), 1u);
}

TEST(SessionMailTest, TheWelcomeMessageNeedsTheSettingAndTheFile)
{
    SettingsInstall install;
    auto record = UserRecord::Open("bob");
    ASSERT_TRUE(record);
    EXPECT_FALSE(LoadWelcomeMessage(**record, kThursday).has_value()) << "off by default";
    ASSERT_TRUE(WriteIniString("AccountCreation", "SendWelcomeMessage", "Yes"));
    EXPECT_FALSE(LoadWelcomeMessage(**record, kThursday).has_value()) << "no welcome.msg";
    test::WriteFile(install.Dir() / "WELCOME.MSG", "Hi <$USERNAME$>\r\n");
    const auto lines = LoadWelcomeMessage(**record, kThursday);
    ASSERT_TRUE(lines.has_value());
    ASSERT_EQ(lines->size(), 2u);
    EXPECT_EQ((*lines)[1], "Hi bob");
}

TEST(SessionMailTest, ANewAccountsWelcomeIsStoredInTheInboxAndItsFlagGoes)
{
    SessionHarness harness;
    ASSERT_TRUE(WriteIniString("AccountCreation", "SendWelcomeMessage", "Yes"));
    test::WriteFile(harness.Settings().Dir() / "welcome.msg",
                    "From: Postmaster <postmaster@example.org>\r\nSubject: Welcome <$USERNAME$>\r\n\r\n"
                    "Hi <$USERNAME$>\r\n");
    fs::create_directories(harness.Settings().UserDir("bob"));
    test::WriteFile(harness.Settings().UserDir("bob") / "User.ini", "[User]\r\nSendWelcome=Yes\r\n");
    Session* session = harness.CreateIdle("bob");
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(ReadIniStringFile("User", "SendWelcome", "<missing>", session->User().IniPath()), "<missing>");

    // The index on disk already holds it (saved at once), with its file.
    store::MessageIndex saved(harness.Settings().UserDir("bob").string());
    ASSERT_EQ(saved.Count(), 1);
    const store::MessageIndexEntry& entry = *saved.Entry(0);
    EXPECT_EQ(entry.Folder(), "Inbox");
    EXPECT_EQ(entry.Subject(), "Welcome bob");
    EXPECT_TRUE(entry.HasFlag(store::MessageFlag::Stored));
    EXPECT_TRUE(entry.HasFlag(store::MessageFlag::New));
    const std::string text = test::ReadFile(entry.GetMessagePath());
    EXPECT_NE(text.find("\r\nSubject: Welcome bob\r\n\r\nHi bob\r\n"), std::string::npos) << text;
    EXPECT_EQ(text.rfind("Date: ", 0), 0u) << text;
    // The size is the sum of the line lengths, without line ends.
    std::size_t lineBytes = 0;
    for (std::size_t at = 0, end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2) {
        lineBytes += end - at;
    }
    EXPECT_EQ(static_cast<std::size_t>(entry.Size()), lineBytes);

    // A second logon sends no second welcome.
    ASSERT_TRUE(harness.Manager().KillById(session->Id(), harness.LogTarget()));
    session = harness.CreateIdle("bob");
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(session->User().Messages().Count(), 1);
}

TEST(SessionMailTest, AnAccountMadeWhileWelcomesAreOffNeverGetsOneLater)
{
    SessionHarness harness;
    test::WriteFile(harness.Settings().Dir() / "welcome.msg", "Subject: Welcome\r\n\r\nHi\r\n");
    fs::create_directories(harness.Settings().UserDir("bob"));
    const std::string ini = (harness.Settings().UserDir("bob") / "User.ini").string();
    test::WriteFile(ini, "[User]\r\nSendWelcome=Yes\r\n");
    Session* session = harness.CreateIdle("bob");
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(session->User().Messages().Count(), 0);
    EXPECT_EQ(ReadIniStringFile("User", "SendWelcome", "<missing>", ini), "<missing>") << "no welcome is to be stored";
    ASSERT_TRUE(harness.Manager().KillById(session->Id(), harness.LogTarget()));

    // The administrator switches welcomes on later: only accounts made from now on get one.
    ASSERT_TRUE(WriteIniString("AccountCreation", "SendWelcomeMessage", "Yes"));
    session = harness.CreateIdle("bob");
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(session->User().Messages().Count(), 0);
}

TEST(SessionMailTest, AWelcomeThatCannotBeStoredLeavesNoEntry)
{
    SettingsInstall install;
    // A file where the Inbox directory should be: the message file cannot be placed.
    fs::create_directories(install.UserDir("bob"));
    test::WriteFile(install.UserDir("bob") / "Inbox", "not a directory");
    auto record = UserRecord::Open("bob");
    ASSERT_TRUE(record);
    EXPECT_FALSE(StoreWelcomeMessage(**record, {"Subject: Hi", "", "Hello"}));
    EXPECT_EQ((*record)->Messages().Count(), 0) << "no entry for a message without its file";
    EXPECT_EQ(test::ReadFile(install.UserDir("bob") / "Inbox"), "not a directory");
}

TEST(SessionMailTest, TheWelcomeFlagStaysUntilTheMessageIsStored)
{
    SessionHarness harness;
    SessionManagerContext context = harness.Context();
    std::vector<std::string> sentTo;
    bool stores = false;
    context.SendWelcome = [&](UserRecord& user, time_t /*now*/) {
        sentTo.push_back(user.Name());
        return stores ? WelcomeOutcome::Stored : WelcomeOutcome::Failed;
    };
    SessionManager manager(context);
    fs::create_directories(harness.Settings().UserDir("carol"));
    const std::string ini = (harness.Settings().UserDir("carol") / "User.ini").string();
    test::WriteFile(ini, "[User]\r\nSendWelcome=Yes\r\n");

    // Not stored: the flag stays for the next logon.
    Session* carol = manager.Create("carol", "127.0.0.1");
    ASSERT_NE(carol, nullptr);
    EXPECT_EQ(ReadIniStringFile("User", "SendWelcome", "<missing>", ini), "Yes");
    ASSERT_TRUE(manager.Release(carol, harness.LogTarget()));

    stores = true;
    carol = manager.Create("carol", "127.0.0.1");
    ASSERT_NE(carol, nullptr);
    EXPECT_EQ(ReadIniStringFile("User", "SendWelcome", "<missing>", ini), "<missing>");
    EXPECT_EQ(sentTo, (std::vector<std::string>{"carol", "carol"}));
    carol->Unbusy();
}

TEST(SessionMailTest, AMessageFileDroppedIntoAFolderIsListedFromTheNextSession)
{
    SessionHarness harness;
    const fs::path inbox = harness.Settings().UserDir("bob") / "Inbox";
    fs::create_directories(inbox);
    test::WriteFile(inbox / "dropped.msg", "From: a@example.org\r\nSubject: Dropped in\r\n\r\nBody\r\n");
    Session* session = harness.CreateIdle("bob");
    ASSERT_NE(session, nullptr);
    store::MessageIndex& index = session->User().Messages();
    ASSERT_EQ(index.Count(), 1);
    const store::MessageIndexEntry& entry = *index.Entry(0);
    EXPECT_EQ(entry.Folder(), "Inbox");
    EXPECT_EQ(entry.Subject(), "Dropped in");
    EXPECT_TRUE(entry.HasFlag(store::MessageFlag::Stored));
    EXPECT_EQ(test::ReadFile(entry.GetMessagePath()), "From: a@example.org\r\nSubject: Dropped in\r\n\r\nBody\r\n");
    EXPECT_FALSE(fs::exists(inbox / "dropped.msg"));
    EXPECT_TRUE(fs::is_empty(harness.Settings().TempDir() / session->Id())) << "the scratch copy is gone";
}

// The end of a session on an index set up by the test.
class SessionEndTest : public ::testing::Test {
protected:
    SessionEndTest()
    {
        RegisterEngineMessages();
        auto record = UserRecord::Open("bob");
        EXPECT_TRUE(record);
        m_user = std::move(*record);
    }

    store::MessageIndex& Index() { return m_user->Messages(); }

    // An account of the user with that mailbox and Delete setting, on a POP3 server at port (0: none).
    void AddAccount(const std::string& mailbox, int deleteMode, int port = 0)
    {
        store::MailHostAccount& account = m_user->MailHosts().NewAccount();
        ASSERT_TRUE(account.SetMailbox(mailbox));
        account.SetDelete(deleteMode);
        if (port != 0) {
            account.SetHost("127.0.0.1");
            account.SetPort(port);
            account.SetUser("bob");
            account.SetPass("pw");
        }
    }

    // A message of folder; a stored one gets its file.
    store::MessageIndexEntry* AddMessage(const std::string& folder, const std::string& subject, bool stored,
                                         std::int32_t size = 100, const std::string& mailbox = "",
                                         const std::string& uid = "")
    {
        store::MessageIndexEntry* entry = Index().NewEntry();
        const std::uint32_t number = Index().NextNumber();
        entry->SetNumber(number);
        entry->SetFileId(store::MessageFileId(number));
        entry->SetFolder(folder);
        entry->SetSubject(subject);
        entry->SetSize(size);
        entry->SetMailbox(mailbox);
        entry->SetUid(uid);
        entry->SetFlags(store::MessageFlag::New | (stored ? store::MessageFlag::Stored : 0));
        if (stored && !folder.empty()) {
            test::WriteFile(entry->GetMessagePath(), "Subject: " + subject + "\r\n\r\n");
        }
        return entry;
    }

    void SetUserSetting(const char* key, const char* value)
    {
        ASSERT_TRUE(WriteIniStringFile("User", key, value, m_user->IniPath()));
    }

    std::vector<std::string> Subjects() const
    {
        std::vector<std::string> subjects;
        store::MessageIndex& index = m_user->Messages();
        for (int i = 0; i < index.Count(); ++i) {
            subjects.push_back(index.Entry(i)->Subject());
        }
        return subjects;
    }

    SettingsInstall m_install;
    std::unique_ptr<UserRecord> m_user;
    test::RecordingLog m_log;
    test::ScopedLogLevel m_level{1};
};

TEST_F(SessionEndTest, EntriesDeletedHereStayOnlyWhileTheirServerCopyIsToBeDeleted)
{
    AddAccount("never", 0);
    AddAccount("always", 1);
    AddAccount("retrieved", 2);

    struct Case {
        const char* Name;
        const char* Mailbox;
        const char* Uid;
        bool Stored;
        bool Kept;
    };

    const Case cases[] = {
            {"delete 0, headers only", "never", "u1", false, false},
            {"delete 0, stored", "never", "u2", true, false},
            {"delete 1, headers only", "always", "u3", false, true},
            {"delete 1, stored", "always", "u4", true, true},
            {"delete 1, mailbox in another case", "ALWAYS", "u5", true, true},
            {"delete 2, stored", "retrieved", "u6", true, false},
            {"delete 2, headers only", "retrieved", "u7", false, true},
            {"no such account", "gone", "u8", true, false},
            {"no mailbox", "", "u9", false, false},
            {"no uid", "always", "", false, false},
    };
    for (const Case& c : cases) {
        AddMessage("", c.Name, c.Stored, 100, c.Mailbox, c.Uid);
    }
    AddMessage("Inbox", "in a folder, delete 0", true, 100, "never", "u10");

    CleanUpMailAtSessionEnd(*m_user, m_log);

    std::vector<std::string> kept;
    for (const Case& c : cases) {
        if (c.Kept) {
            kept.emplace_back(c.Name);
        }
    }
    kept.emplace_back("in a folder, delete 0");
    EXPECT_EQ(Subjects(), kept);
    // The accounts name no server: every deletion fails and the kept entries stay for the next try.
    EXPECT_EQ(m_log.Count("Some messages of bob are still to be deleted on their mail server."), 1)
            << testing::PrintToString(m_log.Lines);

    // Saved: the file holds what is left, every new flag cleared.
    store::MessageIndex saved(m_user->Directory());
    ASSERT_EQ(saved.Count(), static_cast<int>(kept.size()));
    for (int i = 0; i < saved.Count(); ++i) {
        SCOPED_TRACE(saved.Entry(i)->Subject());
        EXPECT_EQ(saved.Entry(i)->Subject(), kept[static_cast<std::size_t>(i)]);
        EXPECT_FALSE(saved.Entry(i)->HasFlag(store::MessageFlag::New));
    }
}

TEST_F(SessionEndTest, NothingWaitingForTheServerIsNotLoggedAndTheNewFlagsAreClearedAndSaved)
{
    AddMessage("Inbox", "one", true);
    AddMessage("Drafts", "two", false);
    Index().Entry(1)->SetRead(true); // read, and so no longer new
    CleanUpMailAtSessionEnd(*m_user, m_log);
    EXPECT_FALSE(Index().Dirty());
    store::MessageIndex saved(m_user->Directory());
    ASSERT_EQ(saved.Count(), 2);
    EXPECT_EQ(saved.Entry(0)->Flags(), store::MessageFlag::Stored);
    EXPECT_EQ(saved.Entry(1)->Flags(), store::MessageFlag::Read);
    EXPECT_TRUE(m_log.Lines.empty()) << testing::PrintToString(m_log.Lines);
}

TEST_F(SessionEndTest, TheTrashIsEmptiedByTheSettingOrAPassedQuotaOnly)
{
    struct Case {
        const char* Key;
        const char* Value;
        bool Emptied;
    };

    // Two stored messages of 3000 bytes: 2 entries, (6000 + 512) / 1024 = 6 KB.
    const Case cases[] = {
            {nullptr, nullptr, false},        {"EmptyTrash", "Yes", true},       {"EmptyTrash", "No", false},
            {"MessageCountQuota", "1", true}, {"MessageCountQuota", "2", false}, {"MessageCountQuota", "-1", false},
            {"DiskSpaceQuota", "5", true},    {"DiskSpaceQuota", "6", false},    {"DiskSpaceQuota", "0", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Key != nullptr ? std::string(c.Key) + "=" + c.Value : "nothing set");
        for (const char* key : {"EmptyTrash", "MessageCountQuota", "DiskSpaceQuota"}) {
            ASSERT_TRUE(WriteIniStringFile("User", key, nullptr, m_user->IniPath().c_str()));
        }
        if (c.Key != nullptr) {
            SetUserSetting(c.Key, c.Value);
        }
        while (Index().Count() > 0) {
            Index().RemoveEntry(Index().Entry(0));
        }
        m_log.Lines.clear();
        AddMessage("Inbox", "kept", true, 3000);
        const std::string trashFile = AddMessage("Trash", "thrown away", true, 3000)->GetMessagePath();

        CleanUpMailAtSessionEnd(*m_user, m_log);

        const std::vector<std::string> left =
                c.Emptied ? std::vector<std::string>{"kept"} : std::vector<std::string>{"kept", "thrown away"};
        EXPECT_EQ(Subjects(), left);
        EXPECT_EQ(fs::exists(trashFile), !c.Emptied);
        EXPECT_EQ(m_log.Count("Emptying trash for bob..."), c.Emptied ? 1 : 0);
    }
}

TEST_F(SessionEndTest, AFetchedMessageFromTheTrashWaitsForItsServerDeletion)
{
    AddAccount("always", 1);
    AddAccount("never", 0);
    SetUserSetting("EmptyTrash", "Yes");
    const std::string fetchedFile = AddMessage("Trash", "fetched", true, 100, "always", "u1")->GetMessagePath();
    AddMessage("Trash", "fetched, kept on the server", true, 100, "never", "u2");
    AddMessage("Trash", "composed", true);

    CleanUpMailAtSessionEnd(*m_user, m_log);

    ASSERT_EQ(Subjects(), std::vector<std::string>{"fetched"});
    EXPECT_EQ(Index().Entry(0)->Folder(), "");
    EXPECT_FALSE(fs::exists(fetchedFile)) << "only the entry waits, its file is gone";
    EXPECT_TRUE(fs::is_empty(m_install.UserDir("bob") / "Trash"));
}

TEST_F(SessionEndTest, AnIndexThatCannotBeSavedIsLogged)
{
    AddMessage("Inbox", "one", true);
    // The index file cannot be replaced while a directory stands in its place.
    fs::create_directories(m_install.UserDir("bob") / store::kMessageIndexFile / "x");
    CleanUpMailAtSessionEnd(*m_user, m_log);
    EXPECT_EQ(m_log.Count("The message index of bob could not be saved."), 1) << testing::PrintToString(m_log.Lines);
    EXPECT_TRUE(Index().Dirty());
}

TEST_F(SessionEndTest, KeptEntriesAreDeletedOnTheirServerAndGoFromTheSavedIndex)
{
    using qm::test::AfterReply;
    using qm::test::CrLfLines;
    qm::test::ScriptedPop3Server server({{"", "+OK\r\n"},
                                         {"USER bob", "+OK\r\n"},
                                         {"PASS pw", "+OK\r\n"},
                                         {"STAT", "+OK 3 300\r\n"},
                                         {"UIDL", CrLfLines({"+OK", "1 u-inbox", "2 u-del", "3 u-other", "."})},
                                         {"DELE 2", "+OK\r\n"},
                                         {"QUIT", "+OK\r\n", AfterReply::Close}});
    ASSERT_TRUE(server.Valid());
    AddAccount("pop", 1, server.Port());
    AddMessage("", "deleted here", false, 100, "pop", "u-del");
    AddMessage("", "already gone from the server", false, 100, "pop", "u-gone");
    AddMessage("Inbox", "still in the inbox", true, 100, "pop", "u-inbox");

    CleanUpMailAtSessionEnd(*m_user, m_log);

    EXPECT_TRUE(server.WaitDone());
    EXPECT_TRUE(server.Mismatches().empty()) << testing::PrintToString(server.Mismatches()) << server.CommandText();
    EXPECT_EQ(Subjects(), std::vector<std::string>{"still in the inbox"});
    store::MessageIndex saved(m_user->Directory());
    ASSERT_EQ(saved.Count(), 1);
    EXPECT_EQ(saved.Entry(0)->Uid(), "u-inbox");
    EXPECT_EQ(m_log.Count("Some messages of bob are still to be deleted on their mail server."), 0);
}

TEST_F(SessionEndTest, AnUnreachableServerKeepsTheEntriesPendingInTheSavedIndex)
{
    int closedPort = 0;
    {
        qm::test::LoopbackListener listener;
        closedPort = listener.Port();
    }
    AddAccount("pop", 1, closedPort);
    AddMessage("", "waits", false, 100, "pop", "u-1");
    AddMessage("", "waits too", true, 100, "pop", "u-2");

    CleanUpMailAtSessionEnd(*m_user, m_log);

    EXPECT_EQ(Subjects(), (std::vector<std::string>{"waits", "waits too"}));
    store::MessageIndex saved(m_user->Directory());
    ASSERT_EQ(saved.Count(), 2);
    EXPECT_EQ(saved.Entry(0)->Folder(), "");
    EXPECT_EQ(saved.Entry(1)->Uid(), "u-2");
    EXPECT_EQ(m_log.Count("Some messages of bob are still to be deleted on their mail server."), 1)
            << testing::PrintToString(m_log.Lines);
}

} // namespace
} // namespace qm::engine
