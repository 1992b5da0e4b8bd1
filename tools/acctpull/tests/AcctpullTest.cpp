#include "tools/acctpull/Acctpull.h"

#include "platform/IniFile.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace qm::tools {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> Names(const std::vector<ImportCandidate>& list)
{
    std::vector<std::string> names;
    for (const auto& c : list) {
        names.push_back(c.Name);
    }
    return names;
}

class AcctpullUsers : public ::testing::Test {
protected:
    AcctpullUsers() { fs::create_directories(m_dir / "Users"); }

    std::string UserDir() const { return m_dir / "Users"; }

    std::string Value(const std::string& account, const char* section, const char* key) const
    {
        return platform::IniRead(m_dir / ("Users/" + account + "/User.ini"), section, key).value_or("<missing>");
    }

    test::TempDir m_dir{"qm-acctpull"};
};

TEST_F(AcctpullUsers, OffersOnlyOrdinaryUsersWithoutAnAccount)
{
    m_dir.WriteFile("Users/Bob/user.ini", "[User]\nPassword=x\n");
    fs::create_directories(m_dir / "Users/carl"); // a directory without settings is no account
    const std::string eAcute = "\xc3\xa9";
    const std::string longName = std::string(63, 'l') + eAcute; // 65 bytes: the cut may not split the 'é'
    const std::vector<platform::SystemAccount> accounts{
            {"root", 0, "root"},        {"daemon", 999, ""},         {"zed", 1000, "Zed Last"},
            {"ann", 1001, "Ann Smith"}, {"bob", 1002, "Bob"},        {"carl", 1003, ""},
            {"HOST$", 1004, "Machine"}, {"nobody", 65534, "nobody"}, {"nobody", 1005, "nobody in range"},
            {"edge", 59999, "Edge"},    {"past", 60000, "Past"},     {".dot", 1006, ""},
            {"a b", 1007, ""},          {longName, 1008, ""},        {"ANN", 1009, "Twin"},
    };
    const std::vector<ImportCandidate> offered = OfferedAccounts(accounts, UserDir());
    EXPECT_EQ(Names(offered), (std::vector<std::string>{"ann", "carl", "edge", std::string(63, 'l'), "zed"}));
    EXPECT_EQ(offered[0].FullName, "Ann Smith");
    EXPECT_EQ(offered[1].FullName, "carl") << "no full name gives the account name";
}

TEST(AcctpullNameTest, CutsOnACharacterBoundary)
{
    EXPECT_EQ(CutUtf8("abc", 3), "abc");
    EXPECT_EQ(CutUtf8("abcd", 3), "abc");
    EXPECT_EQ(CutUtf8("ab\xc3\xa9", 3), "ab");
    EXPECT_EQ(CutUtf8("a\xe2\x82\xac", 3), "a");
    EXPECT_EQ(CutUtf8("a\xe2\x82\xac", 4), "a\xe2\x82\xac");
}

TEST(AcctpullListsTest, MovingEntriesKeepsThemAllAndBothListsSorted)
{
    ImportLists lists({{"dora", "Dora"}, {"ann", "Ann"}, {"carl", "Carl"}, {"bob", "Bob"}});
    EXPECT_EQ(Names(lists.Offered()), (std::vector<std::string>{"ann", "bob", "carl", "dora"}));
    lists.Select({0, 2, 3, 3, 9});
    EXPECT_EQ(Names(lists.Offered()), (std::vector<std::string>{"bob"}));
    EXPECT_EQ(Names(lists.Selected()), (std::vector<std::string>{"ann", "carl", "dora"}));
    lists.Unselect({1});
    EXPECT_EQ(Names(lists.Offered()), (std::vector<std::string>{"bob", "carl"}));
    EXPECT_EQ(Names(lists.Selected()), (std::vector<std::string>{"ann", "dora"}));
    EXPECT_EQ(lists.Selected()[1].FullName, "Dora");
}

TEST(AcctpullServiceTest, AcceptsOnlyPlainServiceNames)
{
    for (const char* good : {"quillmail", "login", "a", "x_y.z-1", "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345"}) {
        SCOPED_TRACE(good);
        EXPECT_TRUE(IsValidPamService(good));
    }
    for (const char* bad : {"", "a b", "../etc", "a/b", "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456", "svc\n", "\\svc"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(IsValidPamService(bad));
    }
}

TEST_F(AcctpullUsers, CreatesTheAccountWithTheSystemLogon)
{
    ASSERT_TRUE(CreateUserAccount(UserDir(), {"ann", "Ann Smith"}, "quillmail"));
    EXPECT_EQ(Value("ann", "User", "Password"), "\\quillmail");
    EXPECT_EQ(Value("ann", "MailHost1", "FullName"), "Ann Smith");
    EXPECT_EQ(Value("ann", "MailHost1", "Mailbox"), "Mail on quillmail");

    struct stat st {};

    ASSERT_EQ(::stat((m_dir / "Users/ann/User.ini").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_TRUE(UserAccountExists(UserDir(), "ANN"));

    ASSERT_TRUE(CreateUserAccount(UserDir(), {"bob", ""}, "login"));
    EXPECT_EQ(Value("bob", "MailHost1", "FullName"), "bob");

    EXPECT_FALSE(CreateUserAccount(UserDir(), {"carl", "Carl"}, "bad service"));
    EXPECT_FALSE(CreateUserAccount(UserDir(), {"../carl", "Carl"}, "login"));
    EXPECT_FALSE(fs::exists(m_dir / "Users/carl"));
    EXPECT_FALSE(fs::exists(m_dir / "carl"));
}

TEST_F(AcctpullUsers, MakePathCreatesEveryMissingLevel)
{
    EXPECT_TRUE(MakePath(m_dir / "a/b/c"));
    EXPECT_TRUE(fs::is_directory(m_dir / "a/b/c"));
    EXPECT_TRUE(MakePath(m_dir / "a/b/c")) << "existing levels are left as they are";
    m_dir.WriteFile("file", "x");
    EXPECT_FALSE(MakePath(m_dir / "file/below"));
}

TEST_F(AcctpullUsers, AnEntryWhoseAccountCouldNotBeMadeStaysListed)
{
    m_dir.WriteFile("Users/bob", "a file where the directory should be");
    ImportLists lists({{"ann", "Ann"}, {"bob", "Bob"}, {"carl", "Carl"}});
    lists.Select({0, 1, 2});
    const std::vector<std::string> failed = ImportSelected(lists, UserDir(), "quillmail");
    EXPECT_EQ(failed, (std::vector<std::string>{"bob"}));
    EXPECT_EQ(Names(lists.Selected()), (std::vector<std::string>{"bob"}));
    EXPECT_TRUE(lists.Offered().empty());
    EXPECT_EQ(Value("ann", "User", "Password"), "\\quillmail");
    EXPECT_EQ(Value("carl", "User", "Password"), "\\quillmail");
    EXPECT_EQ(ImportFailureMessage(failed), "These accounts could not be imported:\n\nbob");
    EXPECT_EQ(ImportFailureMessage({}), "");
}

TEST(AcctpullUserDirTest, DefaultsToUsersBesideTheIni)
{
    test::TempDir dir("qm-acctpull-ini");
    const std::string ini = dir.WriteFile("Quillmail.ini", "[General]\n");
    EXPECT_EQ(UserDirOf(ini), dir / "Users");
    dir.WriteFile("Quillmail.ini", "[Directories]\nUserDir=/srv\\qm\\Users\n");
    EXPECT_EQ(UserDirOf(ini), "/srv/qm/Users");
}

} // namespace
} // namespace qm::tools
