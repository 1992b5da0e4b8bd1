#include "platform/Path.h"

#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <string>

#include <sys/stat.h>

namespace qm::platform {
namespace {

using qm::test::TempDir;
using qm::test::WriteBytes;

TEST(PathTest, JoinsWithOneSlash)
{
    struct Case {
        const char* Dir;
        const char* Name;
        const char* Want;
    };

    const Case cases[] = {
            {"a", "b", "a/b"}, {"a/", "b", "a/b"}, {"a", "/b", "a/b"}, {"a/", "/b", "a/b"},
            {"", "b", "b"},    {"/", "b", "/b"},   {"a", "", "a"},     {"/x/y", "User.ini", "/x/y/User.ini"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.Dir) + " + " + c.Name);
        EXPECT_EQ(PathJoin(c.Dir, c.Name), c.Want);
    }
}

TEST(PathTest, ConvertsStoredSeparatorsAtTheBoundary)
{
    EXPECT_EQ(NativePath("Inbox\\Lists\\Dev"), "Inbox/Lists/Dev");
    EXPECT_EQ(NativePath("\\Program Files\\Quillmail\\Temp"), "/Program Files/Quillmail/Temp");
    EXPECT_EQ(StoredPath("Inbox/Lists/Dev"), "Inbox\\Lists\\Dev");
    EXPECT_EQ(StoredPath(NativePath("a\\b")), "a\\b");
}

TEST(PathTest, FindsLastSeparatorOfEitherKind)
{
    EXPECT_EQ(LastSeparator("a\\b/c"), 3u);
    EXPECT_EQ(LastSeparator("a/b\\c"), 3u);
    EXPECT_EQ(LastSeparator("abc"), std::string_view::npos);
    EXPECT_EQ(ParentDirectory("dir/sub/User.ini"), "dir/sub");
    EXPECT_EQ(ParentDirectory("User.ini"), ".");
    EXPECT_EQ(ParentDirectory("/User.ini"), "/");
}

TEST(PathTest, SafeNameRefusesEverythingThatCouldLeaveTheDirectory)
{
    struct Case {
        std::string Name;
        bool Want;
    };

    const Case cases[] = {
            {"bob", true},
            {"Bob Smith", true},
            {"report.pdf", true},
            {"Caf\xC3\xA9", true},
            {"a.b.c", true},
            {std::string(255, 'x'), true},
            // ".." inside one level cannot climb: there is no separator for it to stand between.
            {"a..b", true},
            {"Archive..2024", true},
            {"x..", true},
            {"x...", true},
            {"", false},
            {".", false},
            {"..", false},
            {"../x", false},
            {"a/../b", false},
            {"a../b", false},
            {"a\\..", false},
            {"..\\x", false},
            {"...", false},
            {"..x", false},
            {"/etc", false},
            {"a/b", false},
            {"a\\b", false},
            {"\\x", false},
            {".hidden", false},
            {".cache", false},
            {"a\x01"
             "b",
             false},
            {"tab\there", false},
            {"line\r\nbreak", false},
            {"del\x7f", false},
            {std::string("nul\0x", 5), false},
            {std::string(256, 'x'), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("name \"" + c.Name + "\"");
        EXPECT_EQ(IsSafeName(c.Name), c.Want);
    }
}

TEST(PathTest, ResolveNoCaseFindsTheRealSpelling)
{
    TempDir dir;
    WriteBytes(dir / "User.ini", "x");
    ASSERT_EQ(mkdir((dir / "bob").c_str(), 0777), 0);

    EXPECT_EQ(ResolveNoCase(dir.Path(), "User.ini").value_or("-"), "User.ini");
    EXPECT_EQ(ResolveNoCase(dir.Path(), "user.ini").value_or("-"), "User.ini");
    EXPECT_EQ(ResolveNoCase(dir.Path(), "USER.INI").value_or("-"), "User.ini");
    EXPECT_EQ(ResolveNoCase(dir.Path(), "Bob").value_or("-"), "bob");
    WriteBytes(dir / "bob/user.ini", "x");
    EXPECT_EQ(ResolveNoCase(dir / "bob", "User.ini").value_or("-"), "user.ini");
    EXPECT_FALSE(ResolveNoCase(dir.Path(), "User.ini.bak"));
    EXPECT_FALSE(ResolveNoCase(dir.Path(), "Users.ini"));
    EXPECT_FALSE(ResolveNoCase(dir / "missing", "User.ini"));
    // Only single names are resolved: nothing leads out of the directory.
    EXPECT_FALSE(ResolveNoCase(dir / "bob", ".."));
    EXPECT_FALSE(ResolveNoCase(dir / "bob", "../User.ini"));
    EXPECT_FALSE(ResolveNoCase(dir.Path(), ""));
}

TEST(PathTest, ResolveNoCasePrefersTheExactSpelling)
{
    TempDir dir;
    WriteBytes(dir / "Alert.sem", "1");
    WriteBytes(dir / "ALERT.SEM", "2");
    EXPECT_EQ(ResolveNoCase(dir.Path(), "Alert.sem").value_or("-"), "Alert.sem");
    EXPECT_EQ(ResolveNoCase(dir.Path(), "ALERT.SEM").value_or("-"), "ALERT.SEM");
    // Neither is exact: the byte-wise smallest wins, the same on every call.
    EXPECT_EQ(ResolveNoCase(dir.Path(), "alert.sem").value_or("-"), "ALERT.SEM");
}

TEST(PathTest, ResolvePathNoCaseResolvesEveryLevel)
{
    TempDir dir;
    ASSERT_EQ(mkdir((dir / "Users").c_str(), 0777), 0);
    ASSERT_EQ(mkdir((dir / "Users/bob").c_str(), 0777), 0);
    ASSERT_EQ(mkdir((dir / "Users/bob/Inbox").c_str(), 0777), 0);
    WriteBytes(dir / "Users/bob/User.ini", "x");

    EXPECT_EQ(ResolvePathNoCase(dir.Path(), "users\\BOB/inbox").value_or("-"), dir / "Users/bob/Inbox");
    EXPECT_EQ(ResolvePathNoCase(dir.Path(), "USERS/Bob/user.INI").value_or("-"), dir / "Users/bob/User.ini");
    EXPECT_EQ(ResolvePathNoCase(dir.Path(), "").value_or("-"), dir.Path());
    EXPECT_FALSE(ResolvePathNoCase(dir.Path(), "Users/bob/Sent"));
    EXPECT_FALSE(ResolvePathNoCase(dir / "Users/bob", "../bob/User.ini"));
    EXPECT_FALSE(ResolvePathNoCase(dir.Path(), "Users/./bob"));
}

TEST(PathTest, WildcardMatchesCaseInsensitively)
{
    struct Case {
        const char* Pattern;
        const char* Name;
        bool Want;
    };

    const Case cases[] = {
            {"*.sem", "ALERT.SEM", true},
            {"*.sem", "alert.sem", true},
            {"*.sem", "alert.semx", false},
            {"*.html", "Main.HTML", true},
            {"*.html", "html", false},
            {"*.msg", ".msg", true},
            {"QM??????.msg", "QM000001.MSG", true},
            {"QM??????.msg", "QM00001.msg", false},
            {"*", "", true},
            {"*", "anything", true},
            {"*.*", "noextension", true},
            {"*.*", "a.b", true},
            {"a*b*c", "aXXbYYc", true},
            {"a*b*c", "aXXbYY", false},
            {"*a", "banana", true},
            {"", "", true},
            {"", "x", false},
            {"x", "", false},
            {"caf\xE9", "CAF\xE9", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.Pattern) + " ~ " + c.Name);
        EXPECT_EQ(WildcardMatch(c.Pattern, c.Name), c.Want);
    }
}

} // namespace
} // namespace qm::platform
