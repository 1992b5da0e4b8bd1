#include "engine/UserDirectory.h"

#include "engine/tests/SessionTestSupport.h"

#include <gtest/gtest.h>

#include <string>

namespace qm::engine {
namespace {

using test::SettingsInstall;
namespace fs = std::filesystem;

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
