#include "store/MailHostList.h"

#include "common/Scrambler.h"
#include "platform/IniFile.h"
#include "store/tests/StoreLogRecorder.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace qm::store {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> MailboxesOf(const MailHostList& list)
{
    std::vector<std::string> names;
    for (int i = 0; i < list.Count(); ++i) {
        names.push_back(list.Item(i).Mailbox());
    }
    return names;
}

class MailHostListTest : public ::testing::Test {
protected:
    MailHostListTest()
        : m_user(m_dir.PathOf("user"))
    {
        fs::create_directory(m_user);
    }

    std::string WriteIni(const std::string& text) const { return m_dir.WriteFile("user/User.ini", text); }

    std::string ReadIni() const { return test::TempDir::ReadFile(m_user + "/User.ini"); }

    test::TempDir m_dir;
    std::string m_user;
};

TEST_F(MailHostListTest, TheListEndsAtTheFirstSectionWithoutMailbox)
{
    WriteIni("[MailHost1]\r\nMailbox=Work\r\n\r\n[MailHost3]\r\nMailbox=Lost\r\n");
    MailHostList list(m_user);
    EXPECT_EQ(MailboxesOf(list), (std::vector<std::string>{"Work"}));

    WriteIni("[MailHost1]\r\nMailbox=Work\r\n\r\n[MailHost2]\r\nMailbox=\r\nHost=h\r\n\r\n"
             "[MailHost3]\r\nMailbox=Lost\r\n");
    list.Load(m_user);
    EXPECT_EQ(MailboxesOf(list), (std::vector<std::string>{"Work"}));
}

TEST_F(MailHostListTest, AReaderNeverSeesAnAccountTwiceWhileTheListShrinks)
{
    WriteIni("[MailHost1]\r\nMailbox=A\r\n\r\n[MailHost2]\r\nMailbox=B\r\n\r\n[MailHost3]\r\nMailbox=C\r\n");
    MailHostList three(m_user);
    MailHostList two(m_user);
    two.RemoveAccount(0);
    ASSERT_EQ(MailboxesOf(two), (std::vector<std::string>{"B", "C"}));

    std::atomic<bool> done{false};
    std::atomic<int> badReads{0};
    // The reader takes whole snapshots of the file (the list's own loading reads key by key, like the profile
    // functions, and may mix two versions of the file).
    std::thread reader([&] {
        while (!done.load()) {
            const platform::IniDocument doc = platform::IniLoad(m_user + "/User.ini");
            std::vector<std::string> seen;
            for (const std::string& section : doc.SectionNames()) {
                seen.push_back(doc.Get(section, "Mailbox").value_or(""));
            }
            if (std::set<std::string>(seen.begin(), seen.end()).size() != seen.size()) {
                badReads.fetch_add(1);
            }
        }
    });
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(two.Save(m_user), 2);
        ASSERT_EQ(three.Save(m_user), 3);
    }
    done.store(true);
    reader.join();
    EXPECT_EQ(badReads.load(), 0) << "a save must write the accounts and drop the stale sections in one step";
}

TEST_F(MailHostListTest, MissingKeysTakeTheirDefaults)
{
    WriteIni("[User]\r\nFullName=Ann Smith\r\nEMail=ann@x.org\r\n\r\n"
             "[MailHost1]\r\nMailbox=Work\r\n\r\n"
             "[MailHost2]\r\nMailbox=Home\r\nFullName=\r\nEMail=me@home\r\nPort=995\r\nActive=No\r\n"
             "Default=No\r\nDelete=2\r\nHost=pop.home\r\nUser=me\r\nColor=#FF0000\r\n");
    MailHostList list(m_user);
    ASSERT_EQ(list.Count(), 2);

    const MailHostAccount& work = list.Item(0);
    EXPECT_EQ(work.FullName(), "Ann Smith");
    EXPECT_EQ(work.EMail(), "ann@x.org");
    EXPECT_EQ(work.Host(), "");
    EXPECT_EQ(work.User(), "");
    EXPECT_EQ(work.Pass(), "");
    EXPECT_EQ(work.Color(), "");
    EXPECT_EQ(work.Port(), 110);
    EXPECT_TRUE(work.Active());
    EXPECT_EQ(work.Delete(), 0);
    EXPECT_TRUE(work.Default()) << "with no default the first account becomes it";
    EXPECT_FALSE(work.System());

    const MailHostAccount& home = list.Item(1);
    EXPECT_EQ(home.FullName(), "") << "an empty key is no missing key";
    EXPECT_EQ(home.EMail(), "me@home");
    EXPECT_EQ(home.Host(), "pop.home");
    EXPECT_EQ(home.User(), "me");
    EXPECT_EQ(home.Color(), "#FF0000");
    EXPECT_EQ(home.Port(), 995);
    EXPECT_FALSE(home.Active());
    EXPECT_FALSE(home.Default());
    EXPECT_EQ(home.Delete(), 2);

    EXPECT_EQ(ReadIni().find("Default=Yes"), std::string::npos) << "the default is made in memory only";
}

TEST_F(MailHostListTest, APlainPasswordIsScrambledInTheFileOnFirstLoad)
{
    WriteIni("[MailHost1]\r\nMailbox=Work\r\nPass=-secret\r\n\r\n[MailHost2]\r\nMailbox=Nt\r\nPass=\\DOMAIN\r\n");
    MailHostList list(m_user);
    ASSERT_EQ(list.Count(), 2);
    EXPECT_EQ(list.Item(0).Pass(), "secret");
    EXPECT_EQ(list.Item(1).Pass(), "\\DOMAIN");
    const std::string want = "[MailHost1]\r\nMailbox=Work\r\nPass=" + ScramblePassword("secret") +
                             "\r\n\r\n[MailHost2]\r\nMailbox=Nt\r\nPass=\\DOMAIN\r\n";
    EXPECT_EQ(ReadIni(), want);

    MailHostList again(m_user);
    EXPECT_EQ(again.Item(0).Pass(), "secret");
    EXPECT_EQ(ReadIni(), want) << "the scrambled value is read, not converted again";

    ASSERT_EQ(again.Save(m_user), 2);
    EXPECT_NE(ReadIni().find("Pass=\\DOMAIN\r\n"), std::string::npos) << "the domain form is stored as it is";
    EXPECT_NE(ReadIni().find("Pass=" + ScramblePassword("secret") + "\r\n"), std::string::npos);
}

TEST_F(MailHostListTest, SaveWritesEveryKeyInOrder)
{
    WriteIni("[User]\r\nFullName=Ann\r\n");
    MailHostList list;
    MailHostAccount& a = list.NewAccount();
    ASSERT_TRUE(a.SetMailbox("Work"));
    a.SetFullName("Ann Smith");
    a.SetEMail("ann@x.org");
    ASSERT_TRUE(a.SetHost("pop.x.org"));
    ASSERT_TRUE(a.SetUser("ann"));
    ASSERT_TRUE(a.SetPass("pw"));
    a.SetColor("blue");
    a.SetActive(true);
    a.SetDefault(true);
    a.SetDelete(1);
    a.SetSystem(true);
    ASSERT_EQ(list.Save(m_user), 1);
    EXPECT_EQ(ReadIni(), "[User]\r\nFullName=Ann\r\n\r\n"
                         "[MailHost1]\r\n"
                         "Mailbox=Work\r\n"
                         "FullName=Ann Smith\r\n"
                         "EMail=ann@x.org\r\n"
                         "Host=pop.x.org\r\n"
                         "User=ann\r\n"
                         "Pass=" +
                                 ScramblePassword("pw") +
                                 "\r\n"
                                 "Color=blue\r\n"
                                 "Port=110\r\n"
                                 "Default=Yes\r\n"
                                 "Active=Yes\r\n"
                                 "Delete=1\r\n");
}

TEST_F(MailHostListTest, SavingFewerAccountsRemovesTheStaleSection)
{
    WriteIni("[MailHost1]\r\nMailbox=One\r\n\r\n[MailHost2]\r\nMailbox=Two\r\n\r\n[MailHost3]\r\nMailbox=Three\r\n"
             "\r\n[User]\r\nFullName=Ann\r\n");
    MailHostList list(m_user);
    ASSERT_EQ(list.Count(), 3);
    list.RemoveAccount(1);
    ASSERT_EQ(list.Save(m_user), 2);
    const std::string ini = ReadIni();
    EXPECT_EQ(ini.find("[MailHost3]"), std::string::npos);
    EXPECT_NE(ini.find("[User]\r\nFullName=Ann\r\n"), std::string::npos);

    MailHostList again(m_user);
    EXPECT_EQ(MailboxesOf(again), (std::vector<std::string>{"One", "Three"}));
}

TEST_F(MailHostListTest, SaveRemovesEverySectionPastTheLastAccount)
{
    WriteIni("[MailHost1]\r\nMailbox=One\r\n\r\n[MailHost2]\r\nMailbox=Two\r\n\r\n[mailhost4]\r\nMailbox=Four\r\n"
             "\r\n[MailHost2x]\r\nKeep=1\r\n\r\n[User]\r\nFullName=Ann\r\n");
    MailHostList list;
    EXPECT_EQ(list.Save(m_user), 0);
    EXPECT_EQ(ReadIni(), "[MailHost2x]\r\nKeep=1\r\n\r\n[User]\r\nFullName=Ann\r\n");

    // A program that later writes a first account alone must not bring the old second one back.
    WriteIni(ReadIni() + "\r\n[MailHost1]\r\nMailbox=New\r\n");
    list.Load(m_user);
    EXPECT_EQ(MailboxesOf(list), (std::vector<std::string>{"New"}));

    MailHostList none;
    EXPECT_EQ(none.Save(m_dir.PathOf("")), 0);
    EXPECT_FALSE(fs::exists(m_dir.PathOf("User.ini"))) << "saving no accounts creates no file";
}

TEST_F(MailHostListTest, AnAccountWithoutMailboxIsNotSavedAndHidesNothing)
{
    MailHostList list;
    ASSERT_TRUE(list.NewAccount().SetMailbox("One"));
    list.NewAccount();
    ASSERT_TRUE(list.NewAccount().SetMailbox("Three"));
    EXPECT_EQ(list.Save(m_user), 2);
    MailHostList again(m_user);
    EXPECT_EQ(MailboxesOf(again), (std::vector<std::string>{"One", "Three"}));
}

TEST_F(MailHostListTest, LongPasswordsKeepEveryByte)
{
    const std::string pass(200, 'p');
    MailHostList list;
    MailHostAccount& a = list.NewAccount();
    ASSERT_TRUE(a.SetMailbox("Work"));
    ASSERT_TRUE(a.SetPass(pass));
    ASSERT_EQ(list.Save(m_user), 1);
    EXPECT_NE(ReadIni().find("Pass=" + ScramblePassword(pass) + "\r\n"), std::string::npos);
    EXPECT_EQ(ScramblePassword(pass).size(), 267u);

    MailHostList again(m_user);
    EXPECT_EQ(again.Item(0).Pass(), pass);
}

TEST_F(MailHostListTest, TextsAreCleanedCutOrRefused)
{
    MailHostAccount a;
    a.SetFullName("Ann\tB\r\nFullName=x\x01");
    EXPECT_EQ(a.FullName(), "Ann B  FullName=x ");
    a.SetEMail(std::string(70, 'e'));
    EXPECT_EQ(a.EMail(), std::string(63, 'e'));
    a.SetColor("a-very-long-colour-name");
    EXPECT_EQ(a.Color(), "a-very-long-col");

    struct Case {
        const char* Name;
        std::string Value;
        bool Want;
        const char* WantStored;
    };

    const Case cases[] = {
            {"plain", "pop.x.org", true, "pop.x.org"},
            {"TAB and 0x01 become blanks", "a\tb\x01", true, "a b "},
            {"CR", "a\rQUIT", false, nullptr},
            {"LF", "a\nQUIT", false, nullptr},
            {"NUL", std::string("a\0b", 3), false, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        MailHostAccount b;
        ASSERT_TRUE(b.SetHost("old"));
        ASSERT_TRUE(b.SetUser("old"));
        ASSERT_TRUE(b.SetPass("old"));
        EXPECT_EQ(b.SetHost(c.Value), c.Want);
        EXPECT_EQ(b.SetUser(c.Value), c.Want);
        EXPECT_EQ(b.Host(), c.Want ? c.WantStored : "old");
        EXPECT_EQ(b.User(), c.Want ? c.WantStored : "old");
        EXPECT_EQ(b.SetPass(c.Value), c.Want);
        EXPECT_EQ(b.Pass(), c.Want ? c.Value : "old") << "a password is kept byte for byte";
    }
}

TEST_F(MailHostListTest, ValuesWithControlBytesRoundTripCleaned)
{
    MailHostList list;
    MailHostAccount& a = list.NewAccount();
    ASSERT_TRUE(a.SetMailbox("Work"));
    a.SetFullName("Ann\r\n[MailHost2]\r\nMailbox=Evil");
    a.SetEMail("a\001b\tc");
    ASSERT_TRUE(a.SetPass("\\DOM\tAIN\x01"));
    ASSERT_EQ(list.Save(m_user), 1);

    const std::string ini = ReadIni();
    EXPECT_EQ(ini.find("[MailHost2]\r\n"), std::string::npos);
    EXPECT_NE(ini.find("Pass=\\DOM AIN \r\n"), std::string::npos);

    MailHostList again(m_user);
    ASSERT_EQ(again.Count(), 1);
    EXPECT_EQ(again.Item(0).FullName(), "Ann  [MailHost2]  Mailbox=Evil");
    EXPECT_EQ(again.Item(0).EMail(), "a b c");
}

TEST_F(MailHostListTest, MailboxNamesThatLeaveTheUserDirectoryAreRefused)
{
    const std::string longName(32, 'm');
    const char* const hostile[] = {"", "..", "../x", "a/b", "a\\b", ".hidden", "a\001b", "a\tb", "a\x7f", "..x"};
    for (const char* name : hostile) {
        SCOPED_TRACE(std::string("mailbox \"") + name + "\"");
        EXPECT_FALSE(IsValidMailboxName(name));
        MailHostAccount a;
        ASSERT_TRUE(a.SetMailbox("Work"));
        EXPECT_FALSE(a.SetMailbox(name));
        EXPECT_EQ(a.Mailbox(), "Work");
        EXPECT_FALSE(MailboxFilePath(m_user, name, MailboxFile::Uid));
        EXPECT_FALSE(MailboxFilePath(m_user, name, MailboxFile::Signature));
    }
    EXPECT_FALSE(IsValidMailboxName(longName));
    EXPECT_TRUE(IsValidMailboxName(std::string(31, 'm')));
    EXPECT_TRUE(IsValidMailboxName("Mail on example.com"));
    // ".." inside a name stays inside the user directory.
    for (const char* name : {"x..y", "x..", "Archive..2024"}) {
        SCOPED_TRACE(std::string("mailbox \"") + name + "\"");
        EXPECT_TRUE(IsValidMailboxName(name));
        EXPECT_EQ(MailboxFilePath(m_user, name, MailboxFile::Uid), m_user + "/" + name + ".uid");
    }

    MailHostAccount a;
    EXPECT_TRUE(a.SetMailbox(std::string(40, 'm'))) << "a long name is cut to the limit";
    EXPECT_EQ(a.Mailbox(), std::string(31, 'm'));
}

// A section whose Mailbox could name no file in the user directory is no account here, but another program may read
// it: it is reported, never used for a path, and written back as it stood.
TEST_F(MailHostListTest, ASectionThatIsNoAccountIsReportedAndKeptAsItStood)
{
    const std::string kept = "[MailHost2]\r\nMailbox=../../etc/passwd\r\nHost=pop.example.com\r\nPass=-secret\r\n"
                             "Color=\"  padded  \"\r\nExtra=kept too\r\n";
    const std::string path =
            WriteIni("[MailHost1]\r\nMailbox=One\r\n\r\n" + kept + "\r\n[MailHost3]\r\nMailbox=Three\r\n");
    test::StoreLogRecorder log;
    MailHostList list(m_user);
    EXPECT_EQ(MailboxesOf(list), (std::vector<std::string>{"One", "Three"}));
    ASSERT_EQ(log.Lines.size(), 1u);
    EXPECT_NE(log.Lines[0].find(path), std::string::npos) << log.Lines[0];
    EXPECT_NE(log.Lines[0].find("[MailHost2]"), std::string::npos) << log.Lines[0];
    EXPECT_EQ(log.Text().find("secret"), std::string::npos) << "no value of the section reaches the log";

    // Saved in place, the section stays byte for byte, its '-' password unconverted.
    ASSERT_EQ(list.Save(m_user), 3);
    EXPECT_NE(ReadIni().find(kept), std::string::npos) << ReadIni();
    MailHostList again(m_user);
    EXPECT_EQ(MailboxesOf(again), (std::vector<std::string>{"One", "Three"}));

    // Once an account before it goes, it moves up with every key and value as readers saw them, and the account
    // that takes its old number carries none of its keys.
    again.RemoveAccount(0);
    ASSERT_EQ(again.Save(m_user), 2);
    const platform::IniDocument doc = platform::IniLoad(path);
    EXPECT_EQ(doc.Entries("MailHost1"), (std::vector<std::pair<std::string, std::string>>{
                                                {"Mailbox", "../../etc/passwd"},
                                                {"Host", "pop.example.com"},
                                                {"Pass", "-secret"},
                                                {"Color", "  padded  "},
                                                {"Extra", "kept too"},
                                        }));
    EXPECT_EQ(doc.Get("MailHost2", "Mailbox"), "Three");
    EXPECT_EQ(doc.Get("MailHost2", "Extra"), std::nullopt);
    EXPECT_FALSE(doc.HasSection("MailHost3"));
    MailHostList third(m_user);
    EXPECT_EQ(MailboxesOf(third), (std::vector<std::string>{"Three"}));

    // A new account goes after it; removing the last account leaves it alone.
    third.NewAccount().SetMailbox("Four");
    third.RemoveAccount(0);
    ASSERT_EQ(third.Save(m_user), 2);
    const platform::IniDocument last = platform::IniLoad(path);
    EXPECT_EQ(last.Get("MailHost1", "Mailbox"), "../../etc/passwd");
    EXPECT_EQ(last.Get("MailHost2", "Mailbox"), "Four");
}

TEST_F(MailHostListTest, AMailboxWithDotsInsideItsNameIsAnAccount)
{
    WriteIni("[MailHost1]\r\nMailbox=x..y\r\n\r\n[MailHost2]\r\nMailbox=Archive..2024\r\n");
    test::StoreLogRecorder log;
    MailHostList list(m_user);
    EXPECT_EQ(MailboxesOf(list), (std::vector<std::string>{"x..y", "Archive..2024"}));
    EXPECT_TRUE(log.Lines.empty());
}

TEST_F(MailHostListTest, MailboxFilesLieInTheUserDirectoryFoundWithoutRegardToCase)
{
    EXPECT_EQ(MailboxFilePath(m_user, "Work", MailboxFile::Uid), m_user + "/Work.uid");
    EXPECT_EQ(MailboxFilePath(m_user, "Work", MailboxFile::Signature), m_user + "/Work.sig");
    m_dir.WriteFile("user/work.SIG", "-- \r\nAnn\r\n");
    EXPECT_EQ(MailboxFilePath(m_user, "Work", MailboxFile::Signature), m_user + "/work.SIG");
    EXPECT_EQ(MailboxFilePath(m_user, "Work", MailboxFile::Uid), m_user + "/Work.uid");
}

TEST_F(MailHostListTest, TheSettingsFileIsFoundWithoutRegardToCase)
{
    m_dir.WriteFile("user/user.ini", "[MailHost1]\r\nMailbox=Work\r\n");
    EXPECT_EQ(MailHostList::IniPath(m_user), m_user + "/user.ini");
    MailHostList list(m_user);
    ASSERT_EQ(list.Count(), 1);
    ASSERT_EQ(list.Save(m_user), 1);
    EXPECT_FALSE(fs::exists(m_user + "/User.ini"));
}

TEST_F(MailHostListTest, LookUps)
{
    WriteIni("[MailHost1]\r\nMailbox=One\r\n\r\n[MailHost2]\r\nMailbox=Two\r\nDefault=Yes\r\n\r\n"
             "[MailHost3]\r\nMailbox=Three\r\n");
    MailHostList list(m_user);
    EXPECT_STREQ(list.FindMailbox("THREE"), "Three");
    EXPECT_EQ(list.FindMailbox("Four"), nullptr);
    EXPECT_EQ(list.Find("tHREE"), &list.Item(2));
    EXPECT_EQ(list.Find("Four"), nullptr) << "no stand-in: a message's account may be gone";
    EXPECT_EQ(std::as_const(list).Find("two"), &list.Item(1));
    EXPECT_EQ(list.IndexOf("three"), 2);
    EXPECT_EQ(list.IndexOf("unknown"), 1) << "the default's index";
    EXPECT_EQ(list.GetDefaultMailbox(), "Two");

    list.Item(1).SetDefault(false);
    EXPECT_EQ(list.IndexOf("unknown"), 0);
    EXPECT_EQ(list.GetDefaultMailbox(), "One") << "the first becomes the default";
    EXPECT_TRUE(list.Item(0).Default());

    MailHostList empty;
    EXPECT_EQ(empty.Find("x"), nullptr);
    EXPECT_EQ(empty.Find(""), nullptr);
    EXPECT_EQ(empty.IndexOf("x"), 0) << "no index of the list";
    EXPECT_EQ(empty.GetDefaultMailbox(), "");
}

TEST_F(MailHostListTest, SystemAccount)
{
    WriteIni("[MailHost1]\r\nMailbox=One\r\n\r\n[MailHost2]\r\nMailbox=Two\r\n");
    MailHostList list(m_user);
    MailHostAccount& first = list.GetSystemAccount();
    EXPECT_EQ(&first, &list.Item(0));
    EXPECT_TRUE(first.System());

    first.SetSystem(false);
    list.Item(1).SetSystem(true);
    EXPECT_EQ(&list.GetSystemAccount(), &list.Item(1));

    // The stand-in of an empty list: what a caller writes to it does not last.
    MailHostList empty;
    MailHostAccount& standIn = empty.GetSystemAccount();
    EXPECT_EQ(standIn.Mailbox(), "");
    ASSERT_TRUE(standIn.SetHost("pop.evil"));
    standIn.SetSystem(true);
    EXPECT_EQ(empty.GetSystemAccount().Host(), "");
    EXPECT_FALSE(empty.GetSystemAccount().System());
    EXPECT_EQ(empty.Count(), 0);
}

TEST_F(MailHostListTest, NewAccountStartsEmpty)
{
    MailHostList list;
    const MailHostAccount& a = list.NewAccount();
    EXPECT_EQ(a.Mailbox(), "");
    EXPECT_EQ(a.Pass(), "");
    EXPECT_EQ(a.Port(), 110);
    EXPECT_EQ(a.Delete(), 0);
    EXPECT_FALSE(a.Active());
    EXPECT_FALSE(a.Default());
    EXPECT_FALSE(a.System());
    EXPECT_EQ(list.Count(), 1);
}

TEST_F(MailHostListTest, SaveIntoAMissingDirectoryFails)
{
    MailHostList list;
    ASSERT_TRUE(list.NewAccount().SetMailbox("Work"));
    EXPECT_EQ(list.Save(m_dir.PathOf("missing")), -1);
}

} // namespace
} // namespace qm::store
