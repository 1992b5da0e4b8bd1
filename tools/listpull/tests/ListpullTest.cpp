#include "tools/listpull/Listpull.h"

#include "common/Scrambler.h"
#include "platform/IniFile.h"
#include "testsupport/TestInstallation.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace qm::tools {
namespace {

namespace fs = std::filesystem;

// An installation with its users directory, an input file and a run of the import that collects its output.
class ListpullRun : public ::testing::Test {
protected:
    ListpullRun() { fs::create_directories(m_install.Path("Users")); }

    std::string Input(std::string_view text) { return m_install.WriteFile("input.txt", text); }

    // Runs the import on arguments (the input file and the installation first) and gives its output.
    std::string Run(const std::string& text, const std::vector<std::string>& extra = {},
                    const ListpullHooks& hooks = {})
    {
        std::vector<std::string> arguments{Input(text), m_install.Dir().string(), "example.com"};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        const auto options = ParseListpullArguments(arguments);
        EXPECT_TRUE(options.has_value());
        return options ? RunOptions(*options, hooks) : std::string();
    }

    std::string RunOptions(const ListpullOptions& options, const ListpullHooks& hooks = {})
    {
        std::FILE* out = std::tmpfile();
        m_exitCode = RunListpull(options, out, hooks);
        std::string text;
        std::rewind(out);
        for (int c = std::fgetc(out); c != EOF; c = std::fgetc(out)) {
            text.push_back(static_cast<char>(c));
        }
        (void)std::fclose(out);
        return text;
    }

    std::string UserIni(const std::string& account) const { return m_install.Path("Users/" + account + "/User.ini"); }

    std::string Value(const std::string& account, const char* section, const char* key) const
    {
        return platform::IniRead(UserIni(account), section, key).value_or("<missing>");
    }

    bool AccountExists(const std::string& account) const { return fs::exists(m_install.Path("Users/" + account)); }

    static std::string Totals(int read, int created, int existing, int refused)
    {
        return "Total input lines read : " + std::to_string(read) +
               "\nQuillmail accounts created : " + std::to_string(created) +
               "\nQuillmail accounts already existing : " + std::to_string(existing) +
               "\nQuillmail accounts refused : " + std::to_string(refused) + "\n";
    }

    test::TestInstallation m_install;
    int m_exitCode = -1;
};

TEST(ListpullArgumentsTest, RefusesWhatTheUsageDoesNotAllow)
{
    const std::vector<std::vector<std::string>> cases{
            {},
            {"/?"},
            {"in.txt", "/opt/qm"},
            {"in.txt", "/opt/qm", "example.com", "fourth"},
            {"in.txt", "/opt/qm", "example.com", "/X=1"},
            {"in.txt", "/opt/qm", "example.com", "/?"},
            {"in.txt", "/opt/qm", "example.com", "/D=7"},
            {"in.txt", "/opt/qm", "example.com", "/D=-1"},
            {"in.txt", "/opt/qm", "example.com", "/D=99999999999999999999"},
            {"in.txt", "/opt/qm", "example.com", "/P=0"},
            {"in.txt", "/opt/qm", "example.com", "/P=65536"},
            {"in.txt", "/opt/qm", "example.com", "/P=11x"},
            {"in.txt", "/opt/qm", "example.com", "/H=pop host"},
            {"in.txt", "/opt/qm", "example.com", "/H=pop\x01"},
            {"in.txt", "/opt/qm", "example.com", "/H=" + std::string(64, 'h')},
            {"in.txt", "/opt/qm", "example.com", "/N=box\nX"},
            {"in.txt", "/opt/qm", "example.com", "/N=" + std::string(256, 'n')},
            {"in.txt", "/opt/qm", "exa mple.com"},
            {"in.txt", "/opt/qm", "example\t.com"},
            {"in.txt", "/opt/qm", ""},
            {"in.txt", "/opt/qm", std::string(64, 'd')},
    };
    for (const auto& arguments : cases) {
        std::string shown;
        for (const auto& argument : arguments) {
            shown += "[" + argument + "]";
        }
        SCOPED_TRACE(shown);
        EXPECT_FALSE(ParseListpullArguments(arguments).has_value());
    }
}

TEST(ListpullArgumentsTest, TakesOptionsInEitherCaseAndWithEitherMark)
{
    const auto options = ParseListpullArguments(
            {"/h=pop.example.com", "in.txt", "-P=995", "/opt/qm/", "/n=Office", "example.com", "-d=2"});
    ASSERT_TRUE(options.has_value());
    EXPECT_EQ(options->InputFile, "in.txt");
    EXPECT_EQ(options->QuillmailDir, "/opt/qm") << "one trailing '/' is removed";
    EXPECT_EQ(options->DomainName, "example.com");
    EXPECT_EQ(options->Host, "pop.example.com");
    EXPECT_EQ(options->Port, "995");
    EXPECT_EQ(options->MailboxName, "Office");
    EXPECT_EQ(options->DeleteOption, 2);

    for (const auto& [text, want] :
         std::vector<std::pair<std::string, int>>{{"/d=abc", 0}, {"/D=", 0}, {"/D=1", 1}, {"/D=2x", 2}, {"/D=+2", 2}}) {
        SCOPED_TRACE(text);
        const auto parsed = ParseListpullArguments({"in.txt", "/opt/qm//", "example.com", text});
        ASSERT_TRUE(parsed.has_value());
        EXPECT_EQ(parsed->DeleteOption, want);
        EXPECT_EQ(parsed->QuillmailDir, "/opt/qm/") << "only one trailing '/' is removed";
    }
}

TEST(ListpullLineTest, SplitsTheFieldsAndRefusesWhatCannotBecomeAnAccount)
{
    struct Case {
        std::string Line;
        ListpullLine::Kind Verdict;
        std::string Message;
    };

    const std::string p63(63, 'p');
    const std::vector<Case> cases{
            {"ann\tAnn\tann", ListpullLine::Kind::Skipped, ""},
            {"ann\tAnn\tann\tpw", ListpullLine::Kind::Entry, ""},
            {"ann\tAnn\tann\t" + p63 + "\t" + p63, ListpullLine::Kind::Entry, ""},
            {"ann\tAnn\tann\t" + p63 + "p", ListpullLine::Kind::Refused, "Line 7: the pop password is too long.\n"},
            {"ann\tAnn\tann\tpw\t" + p63 + "p", ListpullLine::Kind::Refused, "Line 7: the QM password is too long.\n"},
            {std::string(64, 'a') + "\tAnn\tann\tpw", ListpullLine::Kind::Refused,
             "Line 7: the account name is too long.\n"},
            {"ann\t" + std::string(96, 'f') + "\tann\tpw", ListpullLine::Kind::Refused,
             "Line 7: the full name is too long.\n"},
            {"ann\tAnn\t" + std::string(64, 'u') + "\tpw", ListpullLine::Kind::Refused,
             "Line 7: the pop user is too long.\n"},
            {"../x\tX\tx\tpw", ListpullLine::Kind::Refused, "Line 7: the account name is not valid.\n"},
            {".a\tX\tx\tpw", ListpullLine::Kind::Refused, "Line 7: the account name is not valid.\n"},
            {"a b\tX\tx\tpw", ListpullLine::Kind::Refused, "Line 7: the account name is not valid.\n"},
            {"\tX\tx\tpw", ListpullLine::Kind::Refused, "Line 7: the account name is not valid.\n"},
            {"ann\tAnn\tann\t", ListpullLine::Kind::Refused, "Line 7: the QM password is empty.\n"},
            {"ann\tAnn\tann\t\t", ListpullLine::Kind::Refused, "Line 7: the QM password is empty.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Line);
        const ListpullLine got = ParseListpullLine(c.Line, 7);
        EXPECT_EQ(got.Verdict, c.Verdict);
        EXPECT_EQ(got.Message, c.Message);
    }

    const ListpullEntry five = ParseListpullLine("ann\tAnn Smith\tasmith\tpop\tweb\tignored", 1).Entry;
    EXPECT_EQ(five.Account, "ann");
    EXPECT_EQ(five.FullName, "Ann Smith");
    EXPECT_EQ(five.PopUser, "asmith");
    EXPECT_EQ(five.PopPassword, "pop");
    EXPECT_EQ(five.WebPassword, "web");
    EXPECT_EQ(ParseListpullLine("ann\tAnn\tann\tpop\t", 1).Entry.WebPassword, "pop")
            << "an empty fifth field means the POP password";
    EXPECT_EQ(ParseListpullLine("ann\tAnn\tann\tpop", 1).Entry.WebPassword, "pop");
}

TEST_F(ListpullRun, WritesTheSettingsInOrderWithScrambledPasswords)
{
    const std::string out = Run("ann\tAnn Smith\tasmith\tpopSecret\twebSecret\n");
    EXPECT_EQ(m_exitCode, 0);
    EXPECT_EQ(out, Totals(1, 1, 0, 0));
    EXPECT_EQ(platform::IniSectionNames(UserIni("ann")), (std::vector<std::string>{"User", "MailHost1"}));
    EXPECT_EQ(platform::IniKeyNames(UserIni("ann"), "MailHost1"),
              (std::vector<std::string>{"Mailbox", "FullName", "Email", "Host", "User", "Pass", "Port", "Active",
                                        "Delete"}));
    EXPECT_EQ(UnscramblePassword(Value("ann", "User", "Password")), "webSecret");
    EXPECT_NE(Value("ann", "User", "Password"), "webSecret");
    EXPECT_EQ(UnscramblePassword(Value("ann", "MailHost1", "Pass")), "popSecret");
    EXPECT_EQ(Value("ann", "MailHost1", "Mailbox"), "example.com") << "the mailbox is named after the domain";
    EXPECT_EQ(Value("ann", "MailHost1", "FullName"), "Ann Smith");
    EXPECT_EQ(Value("ann", "MailHost1", "Email"), "ann@example.com");
    EXPECT_EQ(Value("ann", "MailHost1", "Host"), "mail");
    EXPECT_EQ(Value("ann", "MailHost1", "User"), "asmith");
    EXPECT_EQ(Value("ann", "MailHost1", "Port"), "110");
    EXPECT_EQ(Value("ann", "MailHost1", "Active"), "Yes");
    EXPECT_EQ(Value("ann", "MailHost1", "Delete"), "0");

    struct stat st {};

    ASSERT_EQ(::stat(UserIni("ann").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(ListpullRun, TakesHostAndPortFromTheUserDefaultsUnlessGiven)
{
    m_install.WriteIni("[UserDefaults]\nMailHost=pop.example.com\nMailPort=995\n");
    Run("ann\tAnn\tann\tpw\n");
    EXPECT_EQ(Value("ann", "MailHost1", "Host"), "pop.example.com");
    EXPECT_EQ(Value("ann", "MailHost1", "Port"), "995");

    Run("bob\tBob\tbob\tpw\n", {"/H=other.example.com", "/P=1110", "/N=Office", "/D=2"});
    EXPECT_EQ(Value("bob", "MailHost1", "Host"), "other.example.com");
    EXPECT_EQ(Value("bob", "MailHost1", "Port"), "1110");
    EXPECT_EQ(Value("bob", "MailHost1", "Mailbox"), "Office");
    EXPECT_EQ(Value("bob", "MailHost1", "Delete"), "2");

    Run("carl\tCarl\tcarl\tpw\n", {"/d=abc"});
    EXPECT_EQ(Value("carl", "MailHost1", "Delete"), "0");
}

TEST_F(ListpullRun, KeepsPasswordsWithAMarkerAsTheyStand)
{
    const std::string out = Run("ann\tAnn\tann\t\\x\t\\DOMAIN\n"
                                "bob\tBob\tbob\t-plainpop\t*\n"
                                "carl\tCarl\tcarl\tpop\t-plainweb\n");
    EXPECT_EQ(out, Totals(3, 3, 0, 0));
    EXPECT_EQ(Value("ann", "User", "Password"), "\\DOMAIN");
    EXPECT_EQ(Value("ann", "MailHost1", "Pass"), "") << "a POP password of '\\x' writes an empty Pass";
    EXPECT_EQ(Value("bob", "User", "Password"), "*") << "an LDAP logon keeps its form";
    EXPECT_EQ(Value("bob", "MailHost1", "Pass"), "-plainpop");
    EXPECT_EQ(Value("carl", "User", "Password"), "-plainweb");
}

TEST_F(ListpullRun, ASecondRunFindsEveryAccountWhateverTheCase)
{
    const std::string input = "ann\tAnn\tann\tpw\nbob\tBob\tbob\tpw\n";
    EXPECT_EQ(Run(input), Totals(2, 2, 0, 0));
    EXPECT_EQ(Run(input), Totals(2, 0, 2, 0));
    EXPECT_EQ(Run("ANN\tAnn\tann\tpw\n"), Totals(1, 0, 1, 0));
    EXPECT_FALSE(AccountExists("ANN"));
}

TEST_F(ListpullRun, CountsLinesAndRefusesTheOnesThatCannotBeAccounts)
{
    const std::string tooLong = "long\tL\tl\t" + std::string(kMaxLineLength - 9 + 1, 'p');
    const std::string longest = "max\tM\tm\t" + std::string(kMaxLineLength - 8, 'f');
    ASSERT_EQ(tooLong.size(), 512u);
    ASSERT_EQ(longest.size(), 511u);
    const std::string out = Run("\xEF\xBB\xBF"
                                "ann\tAnn\tann\tpw\r\n"
                                "\r\n"
                                "\n"
                                "two\ttabs\tonly\n" +
                                tooLong + "\n" + longest + "\n" +
                                "../x\tX\tx\tpw\n"
                                "bob\tBob\tbob\t" +
                                std::string(64, 'p') +
                                "\n"
                                "carl\tCarl\tcarl\tpw"); // no line end at the end of the file
    EXPECT_EQ(m_exitCode, 0);
    // "max" has a 500-byte POP password field: over its width, so refused too.
    EXPECT_EQ(out, "Line 5 is too long.\n"
                   "Line 6: the pop password is too long.\n"
                   "Line 7: the account name is not valid.\n"
                   "Line 8: the pop password is too long.\n" +
                           Totals(7, 2, 0, 4));
    EXPECT_TRUE(AccountExists("ann")) << "the BOM is not part of the first name";
    EXPECT_EQ(Value("ann", "MailHost1", "FullName"), "Ann");
    EXPECT_EQ(UnscramblePassword(Value("ann", "User", "Password")), "pw") << "no CR in the password";
    EXPECT_TRUE(AccountExists("carl"));
    EXPECT_FALSE(AccountExists("two"));
    EXPECT_FALSE(AccountExists("long"));
    EXPECT_FALSE(AccountExists("bob"));
    EXPECT_FALSE(fs::exists(m_install.Path("x")));
}

TEST_F(ListpullRun, ReportsAMissingFileOrUsersDirectory)
{
    auto options = ParseListpullArguments({m_install.Path("missing.txt"), m_install.Dir().string(), "example.com"});
    ASSERT_TRUE(options.has_value());
    EXPECT_EQ(RunOptions(*options), "\nCould not find input file : " + m_install.Path("missing.txt") + "\n");
    EXPECT_EQ(m_exitCode, 1);

    options->InputFile = Input("ann\tAnn\tann\tpw\n");
    m_install.WriteIni("[Directories]\nUserDir=" + m_install.Path("NoUsers") + "\n");
    EXPECT_EQ(RunOptions(*options),
              "\nCould not find Quillmail's users directory : " + m_install.Path("NoUsers") + "\n");
    EXPECT_EQ(m_exitCode, 1);

    // A users directory named with '\' separators is found.
    fs::create_directories(m_install.Path("Other/Users"));
    m_install.WriteIni("[Directories]\nUserDir=" + m_install.Dir().string() + "\\Other\\Users\n");
    EXPECT_EQ(RunOptions(*options), Totals(1, 1, 0, 0));
    EXPECT_TRUE(fs::exists(m_install.Path("Other/Users/ann/User.ini")));

    options->InputFile = m_install.Path("Users"); // a directory: there, but no file to read
    EXPECT_EQ(RunOptions(*options), "\nCould not open input file : " + m_install.Path("Users") + "\n");
    EXPECT_EQ(m_exitCode, 1);
}

TEST_F(ListpullRun, ASettingsFileThatCannotBeWrittenLeavesNoHalfMadeAccount)
{
    // The users directory passed the check; the account's own directory then refuses its settings file. Root
    // writes whatever the permission bits say, so there a directory in the settings file's place stops the write.
    ListpullHooks hooks;
    hooks.AccountDirectoryMade = [](const std::string& accountDir) {
        if (::geteuid() == 0) {
            fs::create_directories(accountDir + "/User.ini/inside");
        } else {
            fs::permissions(accountDir, fs::perms::owner_read | fs::perms::owner_exec);
        }
    };
    const std::string input = "ann\tAnn\tann\tpw\n";
    EXPECT_EQ(Run(input, {}, hooks), "Could not write the settings of account : ann\n" + Totals(1, 0, 0, 0));
    EXPECT_EQ(m_exitCode, 0);
    EXPECT_FALSE(AccountExists("ann")) << "the half-made directory is removed";
    EXPECT_EQ(Run(input), Totals(1, 1, 0, 0)) << "so a later run makes the account";
}

TEST_F(ListpullRun, AnythingInTheAccountsPlaceCountsAsExisting)
{
    m_install.WriteFile("Users/ann", "not a directory");
    EXPECT_EQ(Run("ANN\tAnn\tann\tpw\n"), Totals(1, 0, 1, 0));
    EXPECT_EQ(m_install.ReadFile("Users/ann"), "not a directory");
}

TEST_F(ListpullRun, ReportsAnAccountDirectoryThatCannotBeMadeAndGoesOn)
{
    if (::geteuid() == 0) {
        GTEST_SKIP() << "root makes directories whatever the permission bits say, and no other failure of a new "
                        "directory in an existing one can be brought about here";
    }
    fs::permissions(m_install.Path("Users"), fs::perms::owner_read | fs::perms::owner_exec);
    const std::string out = Run("bob\tBob\tbob\tpw\ncarl\tCarl\tcarl\tpw\n");
    fs::permissions(m_install.Path("Users"), fs::perms::owner_all);
    EXPECT_EQ(out, "Could not create account directory : bob\nCould not create account directory : carl\n" +
                           Totals(2, 0, 0, 0));
    EXPECT_EQ(m_exitCode, 0);
}

} // namespace
} // namespace qm::tools
