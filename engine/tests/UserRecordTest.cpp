#include "engine/UserRecord.h"

#include "common/IniAccess.h"
#include "common/IniCache.h"
#include "common/Scrambler.h"
#include "engine/tests/SessionTestSupport.h"
#include "platform/IniFile.h"
#include "store/FilterList.h"
#include "store/FolderList.h"
#include "store/MailHostList.h"
#include "store/MessageIndex.h"
#include "store/StoreSeams.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace qm::engine {
namespace {

using test::SettingsInstall;
namespace fs = std::filesystem;

class UserRecordTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_install.WriteDomains(
                "[Default:Settings]\r\nDefaultDomain=home.org\r\nPopHost=pop.home.org\r\nPopPort=1110\r\n"
                "PopDelete=2\r\nSyncSystemMailbox=Yes\r\n[Default:UserDefaults]\r\nLang=en\r\n"
                "ListPerPage=25\r\nListRefreshTime=10\r\n");
    }

    std::unique_ptr<UserRecord> Open(const std::string& name)
    {
        auto record = UserRecord::Open(name);
        EXPECT_TRUE(record) << name;
        return record ? std::move(*record) : nullptr;
    }

    std::string UserIni(const std::string& name) const { return (m_install.UserDir(name) / "User.ini").string(); }

    SettingsInstall m_install;
};

TEST_F(UserRecordTest, TakesTheDomainFromTheNameOrTheDefaultDomain)
{
    auto withDomain = Open("bob@ex.com");
    EXPECT_EQ(withDomain->Domain(), "ex.com");
    EXPECT_EQ(fs::path(withDomain->Directory()), m_install.UserDir("bob@ex.com"));
    EXPECT_EQ(withDomain->IniPath(), UserIni("bob@ex.com"));

    auto twoAts = Open("a@b@c.org");
    EXPECT_EQ(twoAts->Domain(), "c.org");

    auto plain = Open("bob");
    EXPECT_EQ(plain->Domain(), "home.org");
    EXPECT_EQ(fs::path(plain->UserDir()), m_install.UserDir("bob"));
}

TEST_F(UserRecordTest, ANewRecordMakesTheDirectoryAndTheSpecialFolders)
{
    ASSERT_FALSE(fs::exists(m_install.UserDir("ann")));
    auto record = Open("ann");
    for (const char* folder : {"Inbox", "Drafts", "Sent", "Trash"}) {
        EXPECT_TRUE(fs::is_directory(m_install.UserDir("ann") / folder)) << folder;
    }
    EXPECT_EQ(record->Folders().Count(), 4);
    EXPECT_EQ(record->MailHosts().Count(), 0) << "no system account is made for a user without accounts";
}

TEST_F(UserRecordTest, OwnsTheIndexOfItsDirectoryAndWritesItsStatisticsWhenDestroyed)
{
    // An index file left by an earlier session: two stored messages of 1500 and 700 bytes and a headers-only one.
    fs::create_directories(m_install.UserDir("ann"));
    {
        store::MessageIndex earlier(m_install.UserDir("ann").string());

        const struct {
            std::int32_t Size;
            std::uint32_t Flags;
        } entries[] = {{1500, store::MessageFlag::Stored}, {700, store::MessageFlag::Stored}, {90000, 0}};

        for (const auto& e : entries) {
            store::MessageIndexEntry* entry = earlier.NewEntry();
            entry->SetFolder("Inbox");
            entry->SetSize(e.Size);
            entry->SetFlags(e.Flags);
        }
        ASSERT_TRUE(earlier.Save());
    }
    ASSERT_TRUE(WriteIniStringFile("Stats", "MessageCount", "99", UserIni("ann")));
    ASSERT_TRUE(WriteIniStringFile("Stats", "DiskSpace", "99", UserIni("ann")));

    auto record = Open("ann");
    store::StoreUser& user = *record;
    auto index = user.Index();
    ASSERT_TRUE(index);
    EXPECT_EQ(*index, &record->Messages());
    EXPECT_EQ((*index)->Count(), 3) << "loaded when the record was opened";
    EXPECT_EQ((*index)->UserDir(), record->Directory());

    // Nothing changed, and still both statistics are written: 3 entries, (1500 + 700 + 512) / 1024 = 2 KB.
    record.reset();
    EXPECT_EQ(ReadIniStringFile("Stats", "MessageCount", "", UserIni("ann")), "3");
    EXPECT_EQ(ReadIniStringFile("Stats", "DiskSpace", "", UserIni("ann")), "2");

    // A new user's record writes zeros.
    Open("newbie").reset();
    EXPECT_EQ(ReadIniStringFile("Stats", "MessageCount", "", UserIni("newbie")), "0");
    EXPECT_EQ(ReadIniStringFile("Stats", "DiskSpace", "", UserIni("newbie")), "0");
}

TEST_F(UserRecordTest, KeepsTheSpellingOfAnExistingAccount)
{
    fs::create_directories(m_install.UserDir("Bob"));
    auto record = Open("BOB");
    EXPECT_EQ(record->Name(), "Bob");
    EXPECT_EQ(fs::path(record->Directory()), m_install.UserDir("Bob"));
    EXPECT_FALSE(fs::exists(m_install.UserDir("BOB")));
}

TEST_F(UserRecordTest, RefusesNamesThatAreNoDirectoryName)
{
    for (const char* name : {"", "..", "../x", ".x", "a b", "a/b"}) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(UserRecord::Open(name));
    }
    EXPECT_TRUE(fs::is_empty(m_install.Dir() / "Users"));
}

TEST_F(UserRecordTest, ListSettingsHaveTheirFloors)
{
    struct Case {
        const char* Value;
        int PerPage;
    };

    auto record = Open("bob");
    for (const Case& c : {Case{"3", 5}, Case{"1", 5}, Case{"5", 5}, Case{"0", 2000000000}, Case{"-1", 2000000000},
                          Case{"30", 30}, Case{"abc", 2000000000}}) {
        SCOPED_TRACE(c.Value);
        ASSERT_TRUE(WriteIniStringFile("User", "ListPerPage", c.Value, record->IniPath()));
        EXPECT_EQ(record->ListPerPage(), c.PerPage);
    }

    struct RefreshCase {
        const char* Value;
        int Seconds;
    };

    for (const RefreshCase& c : {RefreshCase{"0", 86400}, RefreshCase{"2", 120}, RefreshCase{"-3", 86400},
                                 RefreshCase{"10", 600}, RefreshCase{"99999999", 2147483647}}) {
        SCOPED_TRACE(c.Value);
        ASSERT_TRUE(WriteIniStringFile("User", "ListRefreshTime", c.Value, record->IniPath()));
        EXPECT_EQ(record->ListRefreshSeconds(), c.Seconds);
    }
}

TEST_F(UserRecordTest, KeepsTheSystemAccountInStepWithTheDomain)
{
    fs::create_directories(m_install.UserDir("bob@home.org"));
    test::WriteFile(UserIni("bob@home.org"),
                    "[MailHost1]\r\nMailbox=mine\r\nHost=old\r\nUser=x\r\nPass=" + ScramblePassword("pw") +
                            "\r\nActive=No\r\n[MailHost2]\r\nMailbox=other\r\nHost=h2\r\n");
    auto record = Open("bob@home.org");
    ASSERT_EQ(record->MailHosts().Count(), 2);
    const store::MailHostAccount& system = record->MailHosts().Item(0);
    EXPECT_TRUE(system.System());
    EXPECT_TRUE(system.Active());
    EXPECT_EQ(system.User(), "bob");
    EXPECT_EQ(system.Pass(), "\\");
    EXPECT_EQ(system.Host(), "pop.home.org");
    EXPECT_EQ(system.Port(), 1110);
    EXPECT_EQ(system.Delete(), 2);
    EXPECT_EQ(record->MailHosts().Item(1).Host(), "h2") << "the other accounts stay as they are";
    EXPECT_EQ(platform::IniRead(UserIni("bob@home.org"), "MailHost1", "Host"), "old") << "in memory only";

    ASSERT_TRUE(WriteIniStringFile("Default:Settings", "UseEmailForPopUser", "Yes", DomainsIniPath()));
    EXPECT_EQ(Open("bob@home.org")->MailHosts().Item(0).User(), "bob@home.org");
    ASSERT_TRUE(WriteIniStringFile("Default:Settings", "SyncSystemMailbox", "No", DomainsIniPath()));
    EXPECT_EQ(Open("bob@home.org")->MailHosts().Item(0).Host(), "old");
}

TEST_F(UserRecordTest, LoadsAndSavesThePasswordByTheStoredForms)
{
    struct Case {
        const char* Stored;
        const char* Plain;
        const char* Written; // null: the scrambled plain text
    };

    const Case cases[] = {
            {"-secret", "secret", nullptr},
            {"\\WORKGROUP", "\\WORKGROUP", "\\WORKGROUP"},
            {"*ldap.host", "*ldap.host", "*ldap.host"},
            {"", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Stored);
        fs::create_directories(m_install.UserDir("pw"));
        test::WriteFile(UserIni("pw"), std::string("[User]\r\nPassword=") + c.Stored + "\r\nActive=0\r\n");
        auto record = Open("pw");
        EXPECT_EQ(record->Password(), c.Plain);
        ASSERT_TRUE(record->Save());
        const std::string written = platform::IniRead(UserIni("pw"), "User", "Password").value_or("?");
        EXPECT_EQ(written, c.Written != nullptr ? std::string(c.Written) : ScramblePassword(c.Plain));
        EXPECT_EQ(platform::IniRead(UserIni("pw"), "User", "Active"), "No");
    }
    auto fresh = Open("fresh");
    ASSERT_TRUE(fresh->Save());
    EXPECT_EQ(platform::IniRead(UserIni("fresh"), "User", "Active"), "Yes");
}

TEST_F(UserRecordTest, StatsAreWrittenAndAdded)
{
    auto record = Open("bob");
    EXPECT_TRUE(record->SetStat("LastAccess", "2026-12-10 08:00:00"));
    EXPECT_TRUE(record->AddStat("Received", 3));
    EXPECT_TRUE(record->AddStat("Received", 4));
    EXPECT_TRUE(record->SetStatInt("DiskSpace", 12));
    EXPECT_EQ(platform::IniRead(record->IniPath(), "Stats", "Received"), "7");
    EXPECT_EQ(platform::IniRead(record->IniPath(), "Stats", "DiskSpace"), "12");
    EXPECT_EQ(platform::IniRead(record->IniPath(), "Stats", "LastAccess"), "2026-12-10 08:00:00");
}

// A record with mail accounts and filters: opening it parses User.ini once (accounts, filters, password and settings
// from one copy), saving writes it once, and closing writes the statistics once, or not at all when the file
// holds them already.
TEST_F(UserRecordTest, OpeningSavingAndClosingParseAndWriteUserIniOncePerChangeSet)
{
    fs::create_directories(m_install.UserDir("eve"));
    const std::string ini = UserIni("eve");
    test::WriteFile(ini, "[User]\r\nPassword=" + ScramblePassword("pw") +
                                 "\r\nFullName=Eve\r\n[MailHost1]\r\nMailbox=eve\r\nHost=pop.ex.com\r\n"
                                 "Pass=-popsecret\r\n[MailHost2]\r\nMailbox=work\r\nHost=pop.work.com\r\n"
                                 "[Filters]\r\nFilter0=Y S C \"news\" \"Trash\"\r\n");
    SetIniCacheSettleTime(std::chrono::nanoseconds(0)); // the file was written just now: trust its stamps
    ClearIniCache();
    EnableIniFileCounts(true);
    ResetIniFileCounts();
    {
        auto record = Open("eve");
        ASSERT_EQ(record->MailHosts().Count(), 2);
        EXPECT_EQ(record->MailHosts().Item(0).Pass(), "\\") << "the system account uses the typed password";
        EXPECT_EQ(record->MailHosts().Item(1).Host(), "pop.work.com");
        EXPECT_EQ(record->Filters().Count(), 1);
        EXPECT_EQ(record->Password(), "pw");
        // The one write so far: the account password stored plain, now scrambled.
        EXPECT_EQ(GetIniFileCounts(ini).Writes, 1u);
        EXPECT_EQ(GetIniFileCounts(ini).FileReads, 2u) << "parsed once, and once after the write";

        ResetIniFileCounts();
        record->SetPassword("new");
        ASSERT_TRUE(record->Save());
        EXPECT_EQ(GetIniFileCounts(ini).Writes, 1u) << "password, Active and filters in one rewrite";
        ASSERT_TRUE(record->Save());
        EXPECT_EQ(GetIniFileCounts(ini).Writes, 1u) << "nothing changed";
        ResetIniFileCounts();
    }
    EXPECT_EQ(GetIniFileCounts(ini).Writes, 1u) << "MessageCount and DiskSpace in one rewrite";
    EXPECT_EQ(platform::IniRead(ini, "Stats", "MessageCount"), "0");
    EXPECT_EQ(platform::IniRead(ini, "Stats", "DiskSpace"), "0");
    EXPECT_EQ(platform::IniRead(ini, "Filters", "Filter0"), "Y S C \"news\" \"Trash\"");
    EXPECT_EQ(UnscramblePassword(platform::IniRead(ini, "User", "Password").value_or("")), "new");
    ResetIniFileCounts();
    Open("eve").reset();
    EXPECT_EQ(GetIniFileCounts(ini).Writes, 0u) << "the statistics stand as they were";
    EnableIniFileCounts(false);
    SetIniCacheSettleTime(kIniCacheSettleTime);
}

TEST_F(UserRecordTest, NewSystemAccountTakesTheDomainsMailServer)
{
    auto record = Open("carl@home.org");
    ASSERT_TRUE(record->AddSystemAccount("Carl C", "carl@home.org", "\\\\NTDOM"));
    store::MailHostList saved(record->Directory());
    ASSERT_EQ(saved.Count(), 1);
    const store::MailHostAccount& account = saved.Item(0);
    EXPECT_EQ(account.Mailbox(), "carl@home.org");
    EXPECT_EQ(account.FullName(), "Carl C");
    EXPECT_EQ(account.EMail(), "carl@home.org");
    EXPECT_EQ(account.User(), "carl");
    EXPECT_EQ(account.Pass(), "\\NTDOM");
    EXPECT_EQ(account.Color(), "Style1");
    EXPECT_EQ(account.Host(), "pop.home.org");
    EXPECT_EQ(account.Port(), 1110);
    EXPECT_EQ(account.Delete(), 2);
    EXPECT_TRUE(account.Default());
    EXPECT_TRUE(account.Active());
    EXPECT_EQ(record->DefaultAccountFullName(), "Carl C");
    EXPECT_EQ(record->DefaultAccountEMail(), "carl@home.org");
}

} // namespace
} // namespace qm::engine
