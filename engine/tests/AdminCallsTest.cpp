#include "engine/AdminCalls.h"

#include "common/IniAccess.h"
#include "common/Scrambler.h"
#include "engine/Engine.h"
#include "engine/EngineMessages.h"
#include "engine/SessionManager.h"
#include "engine/tests/EngineTestSupport.h"
#include "platform/IniFile.h"
#include "platform/WindowMessage.h"
#include "store/MailHostList.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace qm::engine {
namespace {

using test::ReadFile;
using test::TempInstall;
using test::WriteFile;
namespace fs = std::filesystem;

constexpr time_t kNow = 1765432100;

// A process attached to a fixture installation, as the console or the web administration is.
class AdminCallsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        RegisterEngineMessages();
        SetEngineClock([] { return kNow; });
        WriteIni("");
        WriteFile(m_install.Dir() / "Domains.Ini",
                  "[Default:Settings]\r\nDefaultDomain=home.org\r\nPopHost=pop.home.org\r\nPopPort=110\r\n"
                  "PopDelete=1\r\n");
        fs::create_directories(UserDir());
        EngineProcessAttach(nullptr);
        ASSERT_TRUE(EngineAttached());
    }

    void TearDown() override
    {
        (void)EngineShutDown();
        EngineProcessDetach();
        SetEngineClock(nullptr);
    }

    void WriteIni(const std::string& more) { m_install.WriteIni("[General]\r\nLogLevel=1\r\n" + more); }

    fs::path UserDir() const { return m_install.Dir() / "Users"; }

    fs::path UserIni(const std::string& name) const { return UserDir() / name / "User.ini"; }

    std::string Read(const std::string& name, const char* section, const char* key) const
    {
        return platform::IniRead(UserIni(name).string(), section, key).value_or("<missing>");
    }

    // A window of this process registered for the engine's notifications.
    WindowMessageEndpoint Window()
    {
        auto endpoint = WindowMessageEndpoint::Create(EngineNamespace());
        EXPECT_TRUE(endpoint);
        admin::RegisterWindow(endpoint->Handle());
        return std::move(*endpoint);
    }

    static std::vector<std::uint64_t> Codes(WindowMessageEndpoint& window)
    {
        std::vector<std::uint64_t> codes;
        while (auto message = window.WaitFor(std::chrono::milliseconds(200))) {
            EXPECT_EQ(message->Message, kWmEngineNotify);
            codes.push_back(message->WParam);
        }
        return codes;
    }

    std::vector<WindowHandle> Windows() const
    {
        const auto& slots = SharedBlock()->Section.NotifyWindows;
        return {std::begin(slots), std::end(slots)};
    }

    std::vector<std::string> Kills() const
    {
        std::vector<std::string> ids;
        for (const auto& slot : SharedBlock()->Section.KillList) {
            ids.emplace_back(slot, strnlen(slot, kSessionIdSize));
        }
        return ids;
    }

    TempInstall m_install;
};

TEST_F(AdminCallsTest, RegistersEightWindowsOnceEach)
{
    for (WindowHandle window = 1; window <= 8; ++window) {
        admin::RegisterWindow(window);
    }
    admin::RegisterWindow(3);
    admin::RegisterWindow(9);
    admin::RegisterWindow(kNoWindow);
    EXPECT_EQ(Windows(), (std::vector<WindowHandle>{1, 2, 3, 4, 5, 6, 7, 8})) << "the ninth is dropped";

    admin::UnRegisterWindow(3);
    admin::RegisterWindow(5);
    EXPECT_EQ(Windows(), (std::vector<WindowHandle>{1, 2, 0, 4, 5, 6, 7, 8})) << "a duplicate takes no slot";
    admin::RegisterWindow(9);
    EXPECT_EQ(Windows(), (std::vector<WindowHandle>{1, 2, 9, 4, 5, 6, 7, 8}));
    for (WindowHandle window = 1; window <= 9; ++window) {
        admin::UnRegisterWindow(window);
    }
    EXPECT_EQ(Windows(), std::vector<WindowHandle>(8, kNoWindow));
}

TEST_F(AdminCallsTest, KillRequestsWaitOnceEachWhateverTheirCase)
{
    admin::KillSession("ABCDEFG");
    admin::KillSession("abcdefg");
    admin::KillSession("HIJKLMNOP");
    admin::KillSession("");
    admin::KillSession(nullptr);
    EXPECT_EQ(Kills(), (std::vector<std::string>{"ABCDEFG", "HIJKLMN", "", "", "", "", "", ""}));
    for (const char* id : {"AAAAAAA", "BBBBBBB", "CCCCCCC", "DDDDDDD", "EEEEEEE", "FFFFFFF", "GGGGGGG"}) {
        admin::KillSession(id);
    }
    EXPECT_EQ(Kills(), (std::vector<std::string>{"ABCDEFG", "HIJKLMN", "AAAAAAA", "BBBBBBB", "CCCCCCC", "DDDDDDD",
                                                 "EEEEEEE", "FFFFFFF"}))
            << "with no free slot the request is dropped";
}

TEST_F(AdminCallsTest, SessionStatusWithoutAnEngineIsMinusTwoWithTheBufferZeroed)
{
    std::vector<SessionRecord> rows(3);
    std::memset(rows.data(), 0xEE, rows.size() * sizeof(SessionRecord));
    EXPECT_EQ(admin::GetSessionStatus(rows.data(), 3), admin::kNoEngine);
    for (const SessionRecord& row : rows) {
        EXPECT_EQ(row.SessionId[0], '\0');
        EXPECT_EQ(row.EMail[63], '\0');
    }
    EXPECT_EQ(admin::GetSessionStatus(nullptr, 5), admin::kNoEngine);

    EngineStatus status;
    std::memset(&status, 0xEE, sizeof status);
    admin::GetStatus(&status);
    EXPECT_EQ(status.Words[1], 0);
    admin::GetStatus(nullptr);
}

TEST_F(AdminCallsTest, SessionStatusCopiesTheRunningEnginesRowsWithinTheLimits)
{
    ASSERT_TRUE(EngineStartUp());
    for (const char* user : {"ann", "bob", "cid"}) {
        Session* session = EngineSessions()->Create(user, "192.0.2.7");
        ASSERT_NE(session, nullptr);
        session->Unbusy();
    }
    std::vector<SessionRecord> rows(5);
    std::memset(rows.data(), 0xEE, rows.size() * sizeof(SessionRecord));
    EXPECT_EQ(admin::GetSessionStatus(rows.data(), 0), 0);
    EXPECT_EQ(static_cast<unsigned char>(rows[0].SessionId[0]), 0xEE) << "max 0 writes nothing";
    EXPECT_EQ(admin::GetSessionStatus(rows.data(), -7), 0);
    EXPECT_EQ(static_cast<unsigned char>(rows[0].SessionId[0]), 0xEE) << "a negative max writes nothing";

    EXPECT_EQ(admin::GetSessionStatus(rows.data(), 5), 3);
    EXPECT_STREQ(rows[0].UserName, "ann");
    EXPECT_STREQ(rows[2].UserName, "cid");
    EXPECT_EQ(rows[3].SessionId[0], '\0');
    std::memset(rows.data(), 0xEE, rows.size() * sizeof(SessionRecord));
    EXPECT_EQ(admin::GetSessionStatus(rows.data(), 2), 2);
    EXPECT_STREQ(rows[1].UserName, "bob");
    EXPECT_EQ(static_cast<unsigned char>(rows[2].SessionId[0]), 0xEE) << "nothing past max is written";

    // A count that went wrong is held to the table.
    SetStatus(SharedBlock()->Section.Status, StatusWord::Sessions, 100000);
    std::vector<SessionRecord> many(300);
    EXPECT_EQ(admin::GetSessionStatus(many.data(), 300), 200);
    SetStatus(SharedBlock()->Section.Status, StatusWord::Sessions, -5);
    EXPECT_EQ(admin::GetSessionStatus(many.data(), 300), 0);
    SetStatus(SharedBlock()->Section.Status, StatusWord::Sessions, 3);

    EngineStatus status{};
    admin::GetStatus(&status);
    EXPECT_EQ(status.Words[0], static_cast<std::int32_t>(kNow));
    EXPECT_EQ(status.Words[1], 3);
    EXPECT_EQ(status.Words[3], 200);
}

TEST_F(AdminCallsTest, EveryCallOnAHeldSessionsMutexGivesUpAndSaysSo)
{
    ASSERT_TRUE(EngineStartUp());
    std::vector<SessionRecord> rows(3);
    {
        test::MutexHolder holder(SharedBlock()->SessionsMutex, std::chrono::milliseconds(100));
        EXPECT_EQ(admin::GetSessionStatus(rows.data(), 3), admin::kTableUnreadable);
        admin::KillSession("ABCDEFG");
        admin::RegisterWindow(5);
        admin::UnRegisterWindow(5);
        NotifyWindows(kNotifyUserChanged);
        EXPECT_EQ(EngineSessions()->Create("ann", "192.0.2.7"), nullptr);
    }
    EXPECT_EQ(Kills(), std::vector<std::string>(8, ""));
    EXPECT_EQ(Windows(), std::vector<WindowHandle>(8, kNoWindow));
    EngineLog()->Flush();
    const std::string log = m_install.Log();
    for (const char* where :
         {"GetSessionStatus", "KillSession", "RegisterWindow", "UnRegisterWindow", "NotifyWindows", "AddRow"}) {
        EXPECT_NE(log.find(std::string(where) + ": the sessions mutex stayed held"), std::string::npos) << where;
    }
    EXPECT_EQ(admin::GetSessionStatus(rows.data(), 3), 0) << "free again afterwards";
}

TEST_F(AdminCallsTest, CreateMakesTheAccountAndPostsThree)
{
    WindowMessageEndpoint window = Window();
    ASSERT_TRUE(admin::UserCreate("bob", "secret", "de", "Bob B", ""));
    EXPECT_EQ(Read("bob", "User", "Password"), ScramblePassword("secret"));
    EXPECT_EQ(Read("bob", "User", "Lang"), "de");
    EXPECT_EQ(Read("bob", "User", "SendWelcome"), "Yes");
    EXPECT_EQ(Read("bob", "User", "Active"), "Yes");
    for (const char* folder : {"Inbox", "Drafts", "Sent", "Trash"}) {
        EXPECT_TRUE(fs::is_directory(UserDir() / "bob" / folder)) << folder;
    }
    store::MailHostList accounts((UserDir() / "bob").string());
    ASSERT_EQ(accounts.Count(), 1);
    EXPECT_EQ(accounts.Item(0).EMail(), "bob") << "an empty e-mail becomes the name";
    EXPECT_EQ(accounts.Item(0).Mailbox(), "bob");
    EXPECT_EQ(accounts.Item(0).FullName(), "Bob B");
    EXPECT_EQ(accounts.Item(0).Pass(), "secret");
    EXPECT_EQ(accounts.Item(0).Host(), "pop.home.org");
    EXPECT_EQ(Codes(window), std::vector<std::uint64_t>{kNotifyUserCreated});

    ASSERT_TRUE(admin::UserCreate("carl@ex.com", "\\\\NTDOM", "", "", "carl"));
    EXPECT_EQ(Read("carl@ex.com", "User", "Password"), "\\NTDOM");
    EXPECT_EQ(Read("carl@ex.com", "User", "Lang"), "<missing>");
    store::MailHostList carl((UserDir() / "carl@ex.com").string());
    EXPECT_EQ(carl.Item(0).EMail(), "carl@ex.com") << "the name's domain completes the address";
    EXPECT_EQ(carl.Item(0).User(), "carl");
    EXPECT_EQ(carl.Item(0).Pass(), "\\NTDOM");

    ASSERT_TRUE(admin::UserCreate("dora", "\\WORKGROUP", "", "", "dora@elsewhere.net"));
    EXPECT_EQ(Read("dora", "User", "Password"), "\\WORKGROUP");
    ASSERT_TRUE(admin::UserCreate("eve", "", "", "", ""));
    EXPECT_EQ(Read("eve", "User", "Password"), "");
}

TEST_F(AdminCallsTest, CreateRefusesBadNamesAndExistingAccountsWithoutTouchingThem)
{
    fs::create_directories(UserDir() / "Taken");
    WriteFile(UserIni("Taken"), "[User]\r\nPassword=keep\r\n");
    WindowMessageEndpoint window = Window();
    for (const char* name : {"", " a", "a b", ".a", "..", "a/../../x", "/etc", "a\\b", "taken", "TAKEN", "Taken"}) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(admin::UserCreate(name, "pw", "en", "", ""));
    }
    EXPECT_FALSE(admin::UserCreate(nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(ReadFile(UserIni("Taken")), "[User]\r\nPassword=keep\r\n");
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(UserDir())) {
        left.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(left, std::vector<std::string>{"Taken"});
    EXPECT_FALSE(fs::exists(m_install.Dir() / "x"));
    EXPECT_TRUE(Codes(window).empty());
}

TEST_F(AdminCallsTest, CreateRefusesAPasswordOrLanguageTheIniCannotHold)
{
    WindowMessageEndpoint window = Window();

    struct Case {
        const char* password;
        const char* language;
    };

    for (const Case& c :
         {Case{"\\DOM\r\nActive=No", "en"}, Case{"\\DOM\nX", ""}, Case{"pw", "e\nn"}, Case{"pw", "en\r"}}) {
        SCOPED_TRACE(c.password);
        SCOPED_TRACE(c.language);
        EXPECT_FALSE(admin::UserCreate("frank", c.password, c.language, "", ""));
        EXPECT_FALSE(fs::exists(UserDir() / "frank")) << "no account without its password";
    }
    EXPECT_TRUE(Codes(window).empty());
}

TEST_F(AdminCallsTest, DeleteRefusesHostileNamesAndRemovesAnAccountWhateverItsCase)
{
    ASSERT_TRUE(admin::UserCreate("bob", "pw", "", "", ""));
    WriteFile(m_install.Dir() / "keep.txt", "keep");
    WindowMessageEndpoint window = Window();
    for (const char* name : {"", ".", "..", "a/../b", "../Users", "/", "bob/..", "bob/Inbox", "nobody"}) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(admin::UserDelete(name));
    }
    EXPECT_FALSE(admin::UserDelete(nullptr));
    EXPECT_TRUE(fs::is_directory(UserDir() / "bob" / "Inbox"));
    EXPECT_TRUE(fs::exists(m_install.Dir() / "keep.txt"));
    EXPECT_TRUE(Codes(window).empty());

    EXPECT_TRUE(admin::UserDelete("BOB"));
    EXPECT_FALSE(fs::exists(UserDir() / "bob"));
    EXPECT_TRUE(fs::is_directory(UserDir()));
    EXPECT_EQ(Codes(window), std::vector<std::uint64_t>{kNotifyUserDeleted});
    EXPECT_FALSE(admin::UserDelete("bob"));
}

TEST_F(AdminCallsTest, RenameMovesTheDirectoryOnlyToAFreeValidName)
{
    ASSERT_TRUE(admin::UserCreate("ann", "pw", "", "", ""));
    ASSERT_TRUE(admin::UserCreate("bob", "pw", "", "", ""));
    WindowMessageEndpoint window = Window();
    EXPECT_FALSE(admin::UserRename("ann", "BOB")) << "the new name is taken in another case";
    EXPECT_FALSE(admin::UserRename("nobody", "carl"));
    EXPECT_FALSE(admin::UserRename("ann", "../carl"));
    EXPECT_FALSE(admin::UserRename("ann", ""));
    EXPECT_FALSE(admin::UserRename("", "carl"));
    EXPECT_FALSE(admin::UserRename("../Users/ann", "carl"));
    EXPECT_TRUE(fs::is_directory(UserDir() / "ann"));

    EXPECT_TRUE(admin::UserRename("ANN", "carl"));
    EXPECT_FALSE(fs::exists(UserDir() / "ann"));
    EXPECT_TRUE(fs::is_directory(UserDir() / "carl" / "Inbox"));
    EXPECT_TRUE(Codes(window).empty()) << "a rename posts nothing";
}

TEST_F(AdminCallsTest, ChangeWithoutTheMailServerChangesNothingAndSaysTrue)
{
    ASSERT_TRUE(admin::UserCreate("ann", "pw", "", "Ann", ""));
    const std::string before = ReadFile(UserIni("ann"));
    EXPECT_TRUE(admin::UserChange("ann", "anna", "Anna", "new"));
    EXPECT_EQ(ReadFile(UserIni("ann")), before);
    EXPECT_FALSE(fs::exists(UserDir() / "anna"));
    EXPECT_FALSE(admin::UserChange("nobody", "", "", ""));
    EXPECT_FALSE(admin::UserChange("..", "", "", ""));
}

TEST_F(AdminCallsTest, ChangeRenamesAndUpdatesTheSystemAccount)
{
    WriteIni("[Mailboxes]\r\nSyncWithMailServer=Yes\r\n");
    ASSERT_TRUE(admin::UserCreate("ann", "pw", "", "Ann", "ann@home.org"));
    ASSERT_TRUE(admin::UserCreate("taken", "pw", "", "", ""));
    WindowMessageEndpoint window = Window();

    EXPECT_FALSE(admin::UserChange("ann", "taken", "X", "y")) << "the rename fails";
    EXPECT_FALSE(admin::UserChange("ann", "../evil", "X", "y"));
    EXPECT_FALSE(fs::exists(UserDir() / "evil"));
    EXPECT_FALSE(fs::exists(m_install.Dir() / "evil"));
    EXPECT_FALSE(admin::UserChange("ann", "anne", "X", "new\r\npw")) << "a password no INI line can hold";
    EXPECT_FALSE(fs::exists(UserDir() / "anne"));
    EXPECT_EQ(Read("ann", "MailHost1", "FullName"), "Ann") << "nothing changed after a failed rename";
    EXPECT_TRUE(Codes(window).empty());

    ASSERT_TRUE(admin::UserChange("ann", "anna@home.org", "Anna A", "newpw"));
    EXPECT_FALSE(fs::exists(UserDir() / "ann"));
    EXPECT_EQ(Read("anna@home.org", "User", "Password"), ScramblePassword("newpw"));
    store::MailHostList accounts((UserDir() / "anna@home.org").string());
    ASSERT_EQ(accounts.Count(), 1);
    EXPECT_EQ(accounts.Item(0).User(), "anna@home.org");
    EXPECT_EQ(accounts.Item(0).Mailbox(), "anna@home.org");
    EXPECT_EQ(accounts.Item(0).EMail(), "anna@home.org");
    EXPECT_EQ(accounts.Item(0).FullName(), "Anna A");
    EXPECT_EQ(accounts.Item(0).Pass(), "newpw");
    EXPECT_EQ(Codes(window), std::vector<std::uint64_t>{kNotifyUserChanged});

    ASSERT_TRUE(admin::UserChange("anna@home.org", "", "", ""));
    EXPECT_EQ(Read("anna@home.org", "User", "Password"), ScramblePassword("newpw")) << "empty texts change nothing";
}

TEST_F(AdminCallsTest, ExistsAndDiskSpaceFollowTheDirectory)
{
    ASSERT_TRUE(admin::UserCreate("bob", "pw", "", "", ""));
    WriteFile(UserDir() / "bob" / "Inbox" / "QM000001.msg", std::string(1000, 'x'));
    const auto expected = static_cast<int>(1000 + fs::file_size(UserIni("bob")));
    EXPECT_TRUE(admin::UserExists("bob"));
    EXPECT_TRUE(admin::UserExists("BOB"));
    EXPECT_EQ(admin::UserDiskSpace("Bob"), expected);
    for (const char* name : {"", "..", ".", "nobody", "bob/Inbox", "../Users"}) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(admin::UserExists(name));
        EXPECT_EQ(admin::UserDiskSpace(name), 0);
    }
    EXPECT_FALSE(admin::UserExists(nullptr));
    EXPECT_EQ(admin::UserDiskSpace(nullptr), 0);

    // Past 2 GiB the count stays at INT_MAX instead of wrapping (a sparse file takes no disk here).
    fs::resize_file(UserDir() / "bob" / "Inbox" / "QM000001.msg", 3ull << 30);
    EXPECT_EQ(admin::UserDiskSpace("bob"), INT_MAX);
}

} // namespace
} // namespace qm::engine

namespace qm::engine {
namespace {

// With the mail server's accounts followed, the account calls keep the companion's user list in step, loading its
// library for the call (a copy of it in an application directory of the test's own).
class AdminCompanionTest : public AdminCallsTest {
protected:
    void SetUp() override
    {
        AdminCallsTest::SetUp();
        m_corvid = m_install.Dir() / "Corvid";
        fs::create_directories(m_corvid);
        fs::copy_file(QM_CVUSER_LIBRARY, m_corvid / "CVUser.so");
        WriteFile(m_corvid / "Corvid.ini", "[Domains]\r\nDefault=Corp.org\r\n");
        WriteIni("[Mailboxes]\r\nSyncWithMailServer=Yes\r\n[Directories]\r\nCorvidAppDir=" + m_corvid.string() +
                 "\r\n");
    }

    std::optional<std::string> Companion(const std::string& account, const char* key) const
    {
        return platform::IniRead((m_corvid / "Users.ini").string(), account, key);
    }

    fs::path m_corvid;
};

TEST_F(AdminCompanionTest, CreateAddsTheCompanionAccountUnderTheRightDomain)
{
    ASSERT_TRUE(admin::UserCreate("dan", "pw1", "", "Dan D", ""));
    EXPECT_TRUE(fs::is_directory(UserDir() / "dan@corp.org")) << "a name without '@' gets the companion's domain";
    EXPECT_FALSE(fs::exists(UserDir() / "dan"));
    EXPECT_EQ(Companion("dan@corp.org", "FullName"), "Dan D");
    EXPECT_EQ(Companion("dan@corp.org", "Password"), "pw1");

    ASSERT_TRUE(admin::UserCreate("eva", "pw2", "", "Eva", "eva@Other.net"));
    EXPECT_TRUE(fs::is_directory(UserDir() / "eva@Other.net")) << "or the domain of its e-mail address";
    EXPECT_EQ(Companion("eva@other.net", "Password"), "pw2");

    EXPECT_FALSE(admin::UserCreate("dan", "pw", "", "", "")) << "dan@corp.org exists";
    const std::string longName(75, 'x');
    EXPECT_FALSE(admin::UserCreate(longName.c_str(), "pw", "", "", "")) << "too long once the domain is added";

    ASSERT_TRUE(admin::UserDelete("dan@corp.org"));
    EXPECT_FALSE(Companion("dan@corp.org", "FullName").has_value());
    EXPECT_TRUE(Companion("eva@other.net", "FullName").has_value());
}

TEST_F(AdminCompanionTest, CreateFailsWithoutTheLibraryAndMakesNothing)
{
    fs::remove(m_corvid / "CVUser.so");
    EXPECT_FALSE(admin::UserCreate("dan", "pw", "", "", ""));
    EXPECT_TRUE(fs::is_empty(UserDir()));
}

} // namespace
} // namespace qm::engine
