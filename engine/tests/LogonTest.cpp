// The local logon: stored password forms, letter case, inactive accounts, domains added and removed, and the seams
// for directory and system logon.
#include "engine/Logon.h"

#include "common/IniAccess.h"
#include "common/Scrambler.h"
#include "engine/Engine.h"
#include "engine/EngineMessages.h"
#include "engine/SystemLogon.h"
#include "engine/tests/PageTestSupport.h"
#include "engine/tests/SessionTestSupport.h"
#include "store/CvUserBinding.h"
#include "testsupport/ScriptedPop3Server.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

// Linux-PAM 1.5.2 keeps 96 bytes of every transaction begun with its own configuration directory, which only the
// tests use; the leak checker is told to leave that one library alone.
// NOLINTBEGIN(bugprone-reserved-identifier,readability-identifier-naming): the leak checker's own hook
extern "C" const char* __lsan_default_suppressions();

extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libpam.so\n";
}

// NOLINTEND(bugprone-reserved-identifier,readability-identifier-naming)

namespace qm::engine {
namespace {

using test::ReadFile;
using test::RecordingLog;
using test::SettingsInstall;
using test::WriteFile;
namespace fs = std::filesystem;

// Records what the logon handed to the seams and answers as told.
class FakeServices final : public LogonServices {
public:
    LogonResult DirectoryLogon(std::string_view user, std::string_view stored, std::string_view typed,
                               Logger& /*log*/) const override
    {
        Calls += "ldap:" + std::string(user) + ":" + std::string(stored) + ":" + std::string(typed) + ";";
        return Answer;
    }

    LogonResult SystemLogon(std::string_view user, std::string_view stored, std::string_view typed,
                            Logger& /*log*/) const override
    {
        Calls += "system:" + std::string(user) + ":" + std::string(stored) + ":" + std::string(typed) + ";";
        return Answer;
    }

    bool CreateAccountAfterPopLogon(std::string_view user, std::string_view /*typed*/, std::string_view popHost,
                                    std::string_view /*domain*/, Logger& /*log*/) const override
    {
        Calls += "pop:" + std::string(user) + "@" + std::string(popHost) + ";";
        return false;
    }

    mutable std::string Calls;
    LogonResult Answer = LogonResult::Accepted;
};

class LogonTest : public ::testing::Test {
protected:
    LogonTest() { RegisterEngineMessages(); }

    void AddUser(const std::string& name, const std::string& userIni)
    {
        fs::create_directories(m_install.UserDir(name));
        WriteFile(m_install.UserDir(name) / "User.ini", userIni);
    }

    LogonResult Try(std::string& user, const std::string& password, std::string& domain)
    {
        return Logon(user, password, domain, m_log, m_services);
    }

    SettingsInstall m_install{"[General]\r\nLogLevel=1\r\n"};
    RecordingLog m_log;
    FakeServices m_services;
};

TEST_F(LogonTest, ComparesTheStoredPasswordWithItsLetterCaseAsConfigured)
{
    AddUser("alice", "[User]\r\nPassword=" + ScramblePassword("Secret") + "\r\n");

    struct Case {
        const char* Typed;
        const char* CaseSensitive;
        LogonResult Want;
    };

    const Case cases[] = {
            {"Secret", "Yes", LogonResult::Accepted}, {"secret", "Yes", LogonResult::Refused},
            {"secret", "No", LogonResult::Accepted},  {"Secret ", "No", LogonResult::Refused},
            {"", "No", LogonResult::Refused},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.Typed) + " " + c.CaseSensitive);
        ASSERT_TRUE(WriteIniString("General", "CaseSensitivePasswords", c.CaseSensitive));
        std::string user = "alice";
        std::string domain;
        EXPECT_EQ(Try(user, c.Typed, domain), c.Want);
        EXPECT_EQ(user, "alice");
    }
}

TEST_F(LogonTest, APlainStoredPasswordIsScrambledAtTheFirstLogon)
{
    AddUser("bob", "[User]\r\nPassword=-plain\r\n");
    std::string user = "bob";
    std::string domain;
    EXPECT_EQ(Try(user, "plain", domain), LogonResult::Accepted);
    EXPECT_NE(ReadFile(m_install.UserDir("bob") / "User.ini").find("Password=" + ScramblePassword("plain")),
              std::string::npos);
    EXPECT_EQ(Try(user, "plain", domain), LogonResult::Accepted);
}

// Whoever does not know the password learns nothing of the account: neither that it is disabled nor that a
// directory checks its password.
TEST_F(LogonTest, AnInactiveAccountIsToldOnlyToWhoeverKnowsItsPassword)
{
    AddUser("carol", "[User]\r\nPassword=" + ScramblePassword("pw") + "\r\nActive=No\r\n");
    AddUser("dina", "[User]\r\nPassword=*\r\nActive=No\r\n");

    struct Case {
        const char* User;
        const char* Typed;
        LogonResult DirectoryAnswer;
        LogonResult Want;
    };

    const Case cases[] = {
            {"carol", "pw", LogonResult::Accepted, LogonResult::NotAllowed},
            {"carol", "wrong", LogonResult::Accepted, LogonResult::Refused},
            {"dina", "pw", LogonResult::Accepted, LogonResult::NotAllowed},
            {"dina", "wrong", LogonResult::Refused, LogonResult::Refused},
            {"dina", "pw", LogonResult::ServiceFailed, LogonResult::ServiceFailed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.User) + " " + c.Typed);
        m_services.Answer = c.DirectoryAnswer;
        std::string user = c.User;
        std::string domain;
        EXPECT_EQ(Try(user, c.Typed, domain), c.Want);
    }
}

TEST_F(LogonTest, DirectoryAndSystemPasswordsGoToTheirServices)
{
    struct Case {
        const char* User;
        const char* Stored;
        const char* Call;
    };

    const Case cases[] = {
            {"dave", "*", "ldap:dave:*:pw;"},
            {"dora", "*127.0.0.1:3890", "ldap:dora:*127.0.0.1:3890:pw;"},
            {"erin", "\\", "system:erin:\\:pw;"},
            {"emil", "\\CORP", "system:emil:\\CORP:pw;"},
    };
    for (const LogonResult answer : {LogonResult::Accepted, LogonResult::Refused, LogonResult::ServiceFailed}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.User) + " " + std::to_string(static_cast<int>(answer)));
            AddUser(c.User, std::string("[User]\r\nPassword=") + c.Stored + "\r\n");
            m_services.Calls.clear();
            m_services.Answer = answer;
            std::string user = c.User;
            std::string domain;
            EXPECT_EQ(Try(user, "pw", domain), answer);
            EXPECT_EQ(m_services.Calls, c.Call);
        }
    }

    // The engine's own services: no directory library is loaded here, and the system logon asks the PAM
    // configuration of the test, which has no service at all.
    const qm::test::TempDir pam("qm-pam");
    ASSERT_EQ(setenv(kPamConfDirVariable, pam.Path().c_str(), 1), 0); // NOLINT(concurrency-mt-unsafe)
    std::string domain;
    std::string user = "dave";
    EXPECT_EQ(Logon(user, "pw", domain, m_log), LogonResult::ServiceFailed);
    user = "erin";
    EXPECT_EQ(Logon(user, "pw", domain, m_log), LogonResult::Refused);
    unsetenv(kPamConfDirVariable); // NOLINT(concurrency-mt-unsafe)
}

TEST_F(LogonTest, AnAccountIsCreatedAfterALogonAtTheDomainsPopServer)
{
    RegisterEngineMessages();
    EngineProcessAttach(nullptr);
    ASSERT_TRUE(EngineAttached());

    struct Case {
        const char* Name;
        const char* Typed;
        bool PopAccepts;
        bool Created;
    };

    const Case cases[] = {
            {"newbie", "pop-pw", true, true},
            {"refused", "pop-pw", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        qm::test::ScriptedPop3Server pop({
                {"", "+OK ready\r\n"},
                {std::string("USER ") + c.Name, "+OK\r\n"},
                {std::string("PASS ") + c.Typed, c.PopAccepts ? "+OK in\r\n" : "-ERR no\r\n"},
                {"QUIT", "+OK bye\r\n", qm::test::AfterReply::Close},
        });
        ASSERT_TRUE(pop.Valid());
        m_install.WriteDomains("[pop.org:Settings]\r\nAutoAccountCreation=Yes\r\nPopHost=127.0.0.1\r\nPopPort=" +
                               std::to_string(pop.Port()) + "\r\n");
        std::string user = c.Name;
        std::string domain = "pop.org";
        EXPECT_EQ(Logon(user, c.Typed, domain, m_log), c.Created ? LogonResult::Accepted : LogonResult::Refused);
        EXPECT_EQ(fs::exists(m_install.UserDir(std::string(c.Name) + "@pop.org")), c.Created);
        if (c.Created) {
            // The account keeps the password that opened the mailbox.
            std::string again = c.Name;
            EXPECT_EQ(Logon(again, c.Typed, domain, m_log), LogonResult::Accepted);
            EXPECT_EQ(Logon(again, "other", domain, m_log), LogonResult::Refused);
        }
    }

    // A typed password that would be stored as a directory or system logon creates nothing and asks no server.
    m_install.WriteDomains("[pop.org:Settings]\r\nAutoAccountCreation=Yes\r\nPopHost=127.0.0.1\r\nPopPort=1\r\n");
    for (const char* typed : {"*evil.example:389", "\\"}) {
        std::string user = "sly";
        std::string domain = "pop.org";
        EXPECT_EQ(Logon(user, typed, domain, m_log), LogonResult::Refused);
        EXPECT_FALSE(fs::exists(m_install.UserDir("sly@pop.org")));
    }
    EngineProcessDetach();
}

TEST_F(LogonTest, TheDomainIsAddedTakenFromTheNameAndDroppedForTheDefaultDomain)
{
    m_install.WriteDomains("[Default:Settings]\r\nDefaultDomain=home.net\r\nAutoAccountCreation=No\r\n");
    AddUser("frank@d.com", "[User]\r\nPassword=" + ScramblePassword("pw") + "\r\n");
    AddUser("gina", "[User]\r\nPassword=" + ScramblePassword("pw") + "\r\n");

    std::string user = "frank";
    std::string domain = "d.com";
    EXPECT_EQ(Try(user, "pw", domain), LogonResult::Accepted);
    EXPECT_EQ(user, "frank@d.com");

    user = "frank@d.com";
    domain = "other.org";
    EXPECT_EQ(Try(user, "pw", domain), LogonResult::Accepted);
    EXPECT_EQ(domain, "d.com");

    // In the default domain the account of the bare name is the user's.
    user = "gina";
    domain = "home.net";
    EXPECT_EQ(Try(user, "pw", domain), LogonResult::Accepted);
    EXPECT_EQ(user, "gina");

    // In another domain it is not.
    user = "gina";
    domain = "d.com";
    EXPECT_EQ(Try(user, "pw", domain), LogonResult::Refused);
}

TEST_F(LogonTest, EverySpellingOfOneAccountCountsItsFailedLogonsUnderOneKey)
{
    m_install.WriteDomains("[Default:Settings]\r\nDefaultDomain=home.net\r\n");

    struct Case {
        const char* Typed;
        const char* Domain;
        const char* Key;
    };

    const Case cases[] = {
            {"gina", "home.net", "gina"},      {"GINA@Home.Net", "d.com", "gina"},
            {"gina@home.net", "", "gina"},     {"gina", "", "gina"},
            {"Frank", "d.com", "frank@d.com"}, {"frank@D.COM", "home.net", "frank@d.com"},
            {"a@b@d.com", "", "a@b@d.com"},    {"bad/name", "d.com", "bad/name"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(LogonAccountKey(c.Typed, c.Domain), c.Key) << c.Typed << " in " << c.Domain;
    }
    EXPECT_EQ(LogonAccountKey(std::string(200, 'x'), "").size(), 79u);
}

TEST_F(LogonTest, UnknownUsersAreRefusedWithoutAnyFileBeingMade)
{
    m_install.WriteDomains("[Default:Settings]\r\nAutoAccountCreation=Yes\r\nPopHost=\r\n"
                           "[pop.org:Settings]\r\nPopHost=pop.pop.org\r\n");
    const char* names[] = {"nobody", "../etc", ".hidden", "a b", "x/y", "nobody@pop.org"};
    for (const char* name : names) {
        SCOPED_TRACE(name);
        std::string user = name;
        std::string domain;
        EXPECT_EQ(Try(user, "pw", domain), LogonResult::Refused);
    }
    // With a POP host the account would be made after a POP3 logon there.
    EXPECT_EQ(m_services.Calls, "pop:nobody@pop.org@pop.pop.org;");
    EXPECT_TRUE(fs::is_empty(m_install.Dir() / "Users"));

    std::string longName(70, 'n');
    std::string domain(20, 'd');
    EXPECT_EQ(Try(longName, "pw", domain), LogonResult::Refused) << "a name cut to 79 bytes would be another's";
}

} // namespace
} // namespace qm::engine

namespace qm::engine {
namespace {

// With the companion mail server's user library loaded, its user list decides: web access, password, and the
// account made from its data at the first logon.
class CompanionLogonTest : public LogonTest {
protected:
    void SetUp() override
    {
        m_corvid = m_install.Dir() / "Corvid";
        fs::create_directories(m_corvid);
        fs::copy_file(QM_CVUSER_LIBRARY, m_corvid / "CVUser.so");
        WriteFile(m_corvid / "Corvid.ini", "[Domains]\r\nDefault=corp.org\r\n");
        WriteFile(m_corvid / "Users.ini", "[ann@corp.org]\r\nFullName=Ann A\r\nPassword=Pw1\r\nWebAccess=Yes\r\n"
                                          "[bo@corp.org]\r\nFullName=Bo\r\nPassword=Pw2\r\nWebAccess=No\r\n");
        ASSERT_TRUE(WriteIniString("Mailboxes", "SyncWithMailServer", "Yes"));
        ASSERT_TRUE(WriteIniString("Directories", "CorvidAppDir", m_corvid.string()));
        m_install.WriteDomains("[Default:Settings]\r\nAutoAccountCreation=Yes\r\n");
        ASSERT_TRUE(store::LoadCVUser((m_corvid / "CVUser.so").c_str(), store::CvReload::Yes, store::CvMissing::Allow));
        // Accounts are made through the administration calls, which work for a process attached to the engine.
        EngineProcessAttach(nullptr);
        ASSERT_TRUE(EngineAttached());
    }

    void TearDown() override
    {
        EngineProcessDetach();
        store::UnloadCVUser();
    }

    fs::path m_corvid;
};

TEST_F(CompanionLogonTest, TheCompanionsUserListDecidesAndTheAccountIsMadeFromIt)
{
    struct Case {
        const char* User;
        const char* Typed;
        LogonResult Want;
    };

    const Case cases[] = {
            {"ann@corp.org", "wrong", LogonResult::Refused}, {"bo@corp.org", "Pw2", LogonResult::NotAllowed},
            {"bo@corp.org", "wrong", LogonResult::Refused},  {"nobody@corp.org", "Pw1", LogonResult::Refused},
            {"ann@corp.org", "Pw1", LogonResult::Accepted},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.User) + " " + c.Typed);
        std::string user = c.User;
        std::string domain;
        EXPECT_EQ(Try(user, c.Typed, domain), c.Want);
    }
    EXPECT_FALSE(fs::exists(m_install.UserDir("bo@corp.org")));
    // The account was made from the companion's data, and the companion's password stored scrambled.
    const std::string userIni = ReadFile(m_install.UserDir("ann@corp.org") / "User.ini");
    EXPECT_NE(userIni.find("Password=" + ScramblePassword("Pw1")), std::string::npos) << userIni;
    EXPECT_NE(userIni.find("FullName=Ann A"), std::string::npos) << userIni;
}

} // namespace
} // namespace qm::engine
