#include "engine/UserDirectory.h"

#include "engine/tests/SessionTestSupport.h"

#include <gtest/gtest.h>

#include <string>

namespace qm::engine {
namespace {

using test::SettingsInstall;
namespace fs = std::filesystem;

TEST(UserDirectoryTest, AcceptsOnlyNamesThatStayOneDirectoryBelowUserDir)
{
    for (const char* name : {"bob", "bob@ex.com", "Bob.Smith", "a..b", "x-y_z+1", "\xc3\xa9mile", "a.", "123"}) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(IsValidUserName(name));
    }
    EXPECT_TRUE(IsValidUserName(std::string(79, 'a')));
    for (const char* name : {"", ".", "..", ".bob", "a/../../x", "/", "a/b", "a\\b", "\\", " a", "a b", "a\tb", "a\nb",
                             "a\rb", "a\x7f", "a\x01"}) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(IsValidUserName(name));
    }
    EXPECT_FALSE(IsValidUserName(std::string(80, 'a')));
    EXPECT_FALSE(IsValidUserName(std::string_view("a\0b", 3)));
}

TEST(UserDirectoryTest, FindsTheUserDirectoryWhateverTheCaseOfTheName)
{
    SettingsInstall install;
    EXPECT_FALSE(UserDirExists("Bob"));
    EXPECT_TRUE(MakeUserDir("bob"));
    EXPECT_FALSE(MakeUserDir("BOB")) << "no case twin of an account";
    EXPECT_TRUE(UserDirExists("Bob"));
    EXPECT_EQ(FindUserDirName("BoB"), "bob");
    EXPECT_EQ(fs::path(UserDirPath("BOB")), install.UserDir("bob"));
    EXPECT_EQ(fs::path(UserDirPath("ann")), install.UserDir("ann"));
    EXPECT_FALSE(UserDirExists(".."));
    EXPECT_FALSE(MakeUserDir("../x"));
    EXPECT_FALSE(fs::exists(install.Dir() / "x"));

    test::WriteFile(install.UserDir("file"), "not a directory");
    EXPECT_FALSE(UserDirExists("file"));
}

} // namespace
} // namespace qm::engine
