#include "common/IniAccess.h"

#include "common/Scrambler.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace qm {
namespace {

using qm::test::TempDir;

class IniAccessTest : public ::testing::Test {
protected:
    void SetUp() override { SetMainIniPath(m_ini); }

    void TearDown() override { SetMainIniPath(""); }

    void WriteIni(const std::string& bytes) { m_dir.WriteFile("Quillmail.ini", bytes); }

    std::string IniBytes() const { return TempDir::ReadFile(m_ini); }

    TempDir m_dir;
    std::string m_ini = m_dir.PathOf("Quillmail.ini");
};

TEST_F(IniAccessTest, ReadsBooleansByTheirFirstCharacter)
{
    struct Case {
        const char* Stored; // null: the key is missing
        bool Default;
        bool Want;
    };

    const Case cases[] = {
            {"Yes", false, true},   {"yes", false, true},    {"True", false, true}, {"true", false, true},
            {"1", false, true},     {"Y", false, true},      {"t", false, true},    {"Yesterday", false, true},
            {"No", true, false},    {"0", true, false},      {"", true, false},     {"Off", true, false},
            {"False", true, false}, {"On", true, false},     {"2", true, false},    {"\"Yes\"", false, true},
            {nullptr, true, true},  {nullptr, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("stored ") + (c.Stored != nullptr ? "\"" + std::string(c.Stored) + "\"" : "nothing") +
                     (c.Default ? ", default true" : ", default false"));
        WriteIni(c.Stored != nullptr ? std::string("[General]\r\nFlag=") + c.Stored + "\r\n" : "[General]\r\n");
        EXPECT_EQ(ReadIniBool("General", "Flag", c.Default), c.Want);
        EXPECT_EQ(ReadIniBoolFile("general", "FLAG", c.Default, m_ini), c.Want);
    }
}

TEST_F(IniAccessTest, WritesBooleansAsYesAndNo)
{
    ASSERT_TRUE(WriteIniBool("General", "A", true));
    ASSERT_TRUE(WriteIniBoolFile("General", "B", false, m_ini));
    EXPECT_EQ(IniBytes(), "[General]\r\nA=Yes\r\nB=No\r\n");
    EXPECT_TRUE(ReadIniBool("General", "A", false));
    EXPECT_FALSE(ReadIniBool("General", "B", true));
}

TEST_F(IniAccessTest, ReadsIntegersAsTheProfileFunctionsDo)
{
    struct Case {
        const char* Stored; // null: the key is missing
        int Want;
    };

    const Case cases[] = {
            {"42", 42},
            {"-7", -7},
            {"+5", 5},
            {"  8  ", 8},
            {"12abc", 12},
            {"abc", 0},
            {"0x10", 0},
            {"-", 0},
            {"", -1},
            {nullptr, -1},
            {"2147483647", INT_MAX},
            {"99999999999", INT_MAX},
            {"-2147483648", INT_MIN},
            {"-99999999999", INT_MIN},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Stored != nullptr ? std::string("stored \"") + c.Stored + "\"" : "missing");
        WriteIni(c.Stored != nullptr ? std::string("[Session]\r\nMaximum=") + c.Stored + "\r\n" : "");
        EXPECT_EQ(ReadIniInt("Session", "Maximum", -1), c.Want);
        EXPECT_EQ(ReadIniIntFile("Session", "Maximum", -1, m_ini), c.Want);
    }
    ASSERT_TRUE(WriteIniInt("Session", "Maximum", -12));
    ASSERT_TRUE(WriteIniIntFile("Session", "Timeout", 300, m_ini));
    EXPECT_EQ(IniBytes(), "[Session]\r\nMaximum=-12\r\nTimeout=300\r\n");
}

TEST_F(IniAccessTest, ReadsStringsIntoBuffersWithoutOverflow)
{
    WriteIni("[Directories]\r\nUserDir=/srv/quillmail/Users\r\nEmpty=\r\n");
    char buf[8];
    EXPECT_STREQ(ReadIniString("Directories", "UserDir", "x", buf, sizeof buf), "/srv/qu");
    EXPECT_STREQ(ReadIniString("Directories", "Empty", "x", buf, sizeof buf), "");
    EXPECT_STREQ(ReadIniString("Directories", "Missing", "default", buf, sizeof buf), "default");
    EXPECT_STREQ(ReadIniString("Directories", "Missing", "longer default", buf, sizeof buf), "longer ");
    EXPECT_STREQ(ReadIniString("Directories", "Missing", nullptr, buf, sizeof buf), "");
    EXPECT_STREQ(ReadIniString("Directories", "UserDir", "x", buf, 1), "");

    // The default may be the buffer itself, as callers pass it to keep a value they already hold.
    std::strcpy(buf, "keep");
    EXPECT_STREQ(ReadIniString("Directories", "Missing", buf, buf, sizeof buf), "keep");

    buf[0] = 'z';
    EXPECT_EQ(ReadIniString("Directories", "UserDir", "x", buf, 0), buf);
    EXPECT_EQ(buf[0], 'z');
    EXPECT_EQ(ReadIniString("Directories", "UserDir", "x", nullptr, 8), nullptr);

    char wide[64];
    EXPECT_STREQ(ReadIniStringFile("DIRECTORIES", "userdir", "", wide, sizeof wide, m_ini.c_str()),
                 "/srv/quillmail/Users");
    EXPECT_EQ(ReadIniString("Directories", "UserDir", ""), "/srv/quillmail/Users");
    EXPECT_EQ(ReadIniStringFile("Directories", "Missing", "dflt", m_ini), "dflt");
    EXPECT_EQ(ReadIniStringFile("Directories", "UserDir", "dflt", m_dir.PathOf("none.ini")), "dflt");
}

TEST_F(IniAccessTest, WritesAndDeletesStrings)
{
    ASSERT_TRUE(WriteIniString("User", "FullName", "Bob"));
    ASSERT_TRUE(WriteIniString("User", "Email", "bob@example.com"));
    ASSERT_TRUE(WriteIniStringFile(std::string("Stats"), std::string("Logons"), std::string("3"), m_ini));
    EXPECT_EQ(IniBytes(), "[User]\r\nFullName=Bob\r\nEmail=bob@example.com\r\n\r\n[Stats]\r\nLogons=3\r\n");

    ASSERT_TRUE(WriteIniString("User", "Email", nullptr));
    EXPECT_EQ(ReadIniString("User", "Email", "gone"), "gone");
    ASSERT_TRUE(WriteIniStringFile("Stats", nullptr, nullptr, m_ini.c_str()));
    EXPECT_EQ(IniBytes(), "[User]\r\nFullName=Bob\r\n");
    EXPECT_FALSE(WriteIniString(nullptr, "x", "y"));
}

TEST_F(IniAccessTest, RefusesLineBreaksSoNoValueCanAddKeys)
{
    WriteIni("[User]\r\nFullName=Bob\r\n");
    EXPECT_FALSE(WriteIniString("User", "FullName", "Eve\r\nPassword=-forged"));
    EXPECT_FALSE(WriteIniString("User", "FullName", "Eve\n[Admin]"));
    EXPECT_FALSE(WriteIniString("User\r\n[x", "FullName", "Eve"));
    EXPECT_FALSE(WriteIniString("User", "Full\nName", "Eve"));
    EXPECT_EQ(IniBytes(), "[User]\r\nFullName=Bob\r\n");
    EXPECT_EQ(ReadIniString("User", "Password", "none"), "none");
}

TEST_F(IniAccessTest, WithoutAMainIniReadsGiveDefaultsAndWritesFail)
{
    SetMainIniPath("");
    EXPECT_EQ(MainIniPath(), "");
    EXPECT_EQ(ReadIniString("General", "LogLevel", "3"), "3");
    EXPECT_EQ(ReadIniInt("General", "LogLevel", 3), 3);
    EXPECT_TRUE(ReadIniBool("General", "Flag", true));
    EXPECT_FALSE(WriteIniString("General", "LogLevel", "4"));
    EXPECT_FALSE(WriteIniBool("General", "Flag", true));
}

// ---- stored passwords ----

TEST_F(IniAccessTest, ScramblesAPlainPasswordExactlyOnce)
{
    const std::string scrambled = ScramblePassword("secret");
    WriteIni("[User]\r\nPassword=-secret\r\n");
    EXPECT_EQ(ReadIniPassword("User", "Password", m_ini), "secret");
    const std::string converted = IniBytes();
    EXPECT_EQ(converted, "[User]\r\nPassword=" + scrambled + "\r\n");

    // Mark the file as old; the second read must neither change nor rewrite it.
    const auto past = std::filesystem::last_write_time(m_ini) - std::chrono::hours(1);
    std::filesystem::last_write_time(m_ini, past);
    struct stat before = {};
    ASSERT_EQ(stat(m_ini.c_str(), &before), 0);

    char buf[128];
    EXPECT_STREQ(ReadIniPassword("User", "Password", buf, sizeof buf, m_ini.c_str()), "secret");
    EXPECT_EQ(IniBytes(), converted);
    EXPECT_EQ(std::filesystem::last_write_time(m_ini), past);
    struct stat after = {};
    ASSERT_EQ(stat(m_ini.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << "the file was replaced";
}

TEST_F(IniAccessTest, KeepsMarkerPasswordsAndEmptyValuesAsTheyAre)
{
    struct Case {
        const char* Stored; // null: the key is missing
        const char* Want;
    };

    const Case cases[] = {
            {"\\DOM", "\\DOM"}, {"\\", "\\"}, {"*", "*"}, {"*ldap", "*ldap"}, {"", ""}, {"-", ""}, {nullptr, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Stored != nullptr ? std::string("stored \"") + c.Stored + "\"" : "missing");
        std::string file = c.Stored != nullptr ? std::string("[User]\r\nPassword=") + c.Stored + "\r\n" : "";
        WriteIni(file);
        char buf[32];
        EXPECT_STREQ(ReadIniPassword("User", "Password", buf, sizeof buf, m_ini.c_str()), c.Want);
        if (c.Stored != nullptr && c.Stored[0] != '-') {
            EXPECT_EQ(IniBytes(), file) << "nothing to convert, nothing written";
        }
    }
}

TEST_F(IniAccessTest, ConvertsLongPasswordsWhateverTheCallersBufferHolds)
{
    // 100 plain characters scramble to 134, more than the caller's 128-byte buffer: converting happens outside it.
    const std::string plain(100, 'p');
    WriteIni("[User]\r\nPassword=-" + plain + "\r\n");
    char buf[128];
    EXPECT_EQ(std::string(ReadIniPassword("User", "Password", buf, sizeof buf, m_ini.c_str())), plain);
    EXPECT_EQ(ReadIniString("User", "Password", ""), ScramblePassword(plain));
    EXPECT_EQ(ScramblePassword(plain).size(), 134u);

    // The whole stored value is unscrambled before the plain text is cut: a small buffer gets a prefix of the
    // password, never the unscrambled prefix of the stored text.
    char small[16];
    EXPECT_STREQ(ReadIniPassword("User", "Password", small, sizeof small, m_ini.c_str()), plain.substr(0, 15).c_str());
    WriteIni("[User]\r\nPassword=" + ScramblePassword("abcdefghijklmnopqrstuvwxyz") + "\r\n");
    char mid[32];
    EXPECT_STREQ(ReadIniPassword("User", "Password", mid, sizeof mid, m_ini.c_str()), "abcdefghijklmnopqrstuvwxyz");
}

TEST_F(IniAccessTest, StoresPasswordsScrambledUpToTheLimit)
{
    const std::string longest(kMaxStoredPassword, 'x');
    ASSERT_TRUE(WriteIniPassword("User", "Password", longest, m_ini));
    EXPECT_EQ(ReadIniString("User", "Password", ""), ScramblePassword(longest));
    EXPECT_EQ(ReadIniString("User", "Password", "").size(), 127u);
    EXPECT_EQ(ReadIniPassword("User", "Password", m_ini), longest);

    const std::string before = IniBytes();
    EXPECT_FALSE(WriteIniPassword("User", "Password", longest + "y", m_ini));
    EXPECT_EQ(IniBytes(), before) << "a refused password changes nothing";

    struct Case {
        const char* Plain;
        std::string Stored;
    };

    const Case cases[] = {
            {"secret", ScramblePassword("secret")},
            {"-dash", ScramblePassword("-dash")},
            {"", ""},
            {"\\DOMAIN", "\\DOMAIN"},
            {"*", "*"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("password \"") + c.Plain + "\"");
        ASSERT_TRUE(WriteIniPassword("User", "Password", c.Plain, m_ini));
        EXPECT_EQ(ReadIniString("User", "Password", "(missing)"), c.Stored);
        EXPECT_EQ(ReadIniPassword("User", "Password", m_ini), c.Plain);
    }
    EXPECT_FALSE(WriteIniPassword("User", "Password", "\\DOM\r\nAdmin=Yes", m_ini));
}

// ---- files ----

TEST_F(IniAccessTest, ReportsFilesAndSizes)
{
    std::string file = m_dir.WriteFile("a.msg", "12345");
    EXPECT_TRUE(FileExists(file));
    EXPECT_TRUE(FileExists(m_dir.PathOf("")));
    EXPECT_FALSE(FileExists(m_dir.PathOf("missing")));
    EXPECT_FALSE(FileExists(""));
    EXPECT_EQ(GetFileSizeByName(file), 5u);
    EXPECT_EQ(GetFileSizeByName(m_dir.PathOf("missing")), 0u);
    EXPECT_EQ(GetFileSizeByName(m_dir.PathOf("")), 0u);
}

TEST_F(IniAccessTest, TreeSizeIsExactAndClampedOnlyForTheNarrowForm)
{
    std::filesystem::create_directory(m_dir.PathOf("user"));
    std::string big = m_dir.WriteFile("user/big", "");
    std::filesystem::resize_file(big, 3ull << 30); // sparse
    m_dir.WriteFile("user/small", "abc");
    EXPECT_EQ(DirectoryTreeSize(m_dir.PathOf("user")), (3ull << 30) + 3);
    EXPECT_EQ(DirectoryTreeSizeInt32(m_dir.PathOf("user")), INT32_MAX);
    std::filesystem::remove(big);
    EXPECT_EQ(DirectoryTreeSizeInt32(m_dir.PathOf("user")), 3);
    EXPECT_EQ(DirectoryTreeSize(m_dir.PathOf("missing")), 0u);
    EXPECT_EQ(DirectoryTreeSizeInt32(m_dir.PathOf("missing")), 0);
}

TEST_F(IniAccessTest, EmptiesAndDeletesDirectoryTrees)
{
    std::string user = m_dir.PathOf("user");
    std::filesystem::create_directories(user + "/Inbox");
    std::filesystem::create_directories(user + "/.cache");
    m_dir.WriteFile("user/Inbox/QM000001.msg", "m");
    m_dir.WriteFile("user/User.ini", "[User]\r\n");

    std::string saved = std::filesystem::current_path();
    std::filesystem::current_path(user);
    EXPECT_FALSE(EmptyDirectory("  "));
    std::filesystem::current_path(saved);
    EXPECT_TRUE(FileExists(user + "/User.ini")) << "a blank name emptied the working directory";

    EXPECT_TRUE(EmptyDirectory(user));
    EXPECT_FALSE(FileExists(user + "/User.ini"));
    EXPECT_FALSE(FileExists(user + "/Inbox"));
    EXPECT_TRUE(FileExists(user + "/.cache"));
    EXPECT_FALSE(DeleteDirectoryTree(user)) << "'.cache' keeps the directory";
    std::filesystem::remove(user + "/.cache");
    EXPECT_TRUE(DeleteDirectoryTree(user));
    EXPECT_FALSE(FileExists(user));
}

} // namespace
} // namespace qm
