#include "tools/rosterfix/Rosterfix.h"

#include "platform/IniFile.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace qm::tools {
namespace {

namespace fs = std::filesystem;

// A users directory with four accounts (two of them inactive, one spelling its file "user.ini"), a dot-folder, a
// symbolic link to a folder outside and a plain file.
class RosterfixTree : public ::testing::Test {
protected:
    RosterfixTree()
    {
        m_dir.WriteFile("Users/ann/User.ini", "[User]\nActive=No\n");
        m_dir.WriteFile("Users/bob/User.ini", "[User]\nActive=Yes\n");
        m_dir.WriteFile("Users/carl/user.ini", "[User]\nActive=no\n");
        fs::create_directories(m_dir / "Users/dora"); // no settings file yet
        m_dir.WriteFile("Users/.hidden/User.ini", "[User]\nActive=No\n");
        m_dir.WriteFile("Outside/User.ini", "[User]\nActive=No\n");
        fs::create_directory_symlink(m_dir / "Outside", m_dir / "Users/link");
        m_dir.WriteFile("Users/notes.txt", "a file\n");
    }

    std::string UserDir() const { return m_dir / "Users"; }

    std::string Read(const std::string& file, const char* key = "Active") const
    {
        return platform::IniRead(m_dir / file, "User", key).value_or("<missing>");
    }

    test::TempDir m_dir{"qm-rosterfix"};
};

TEST_F(RosterfixTree, ListsOnlyRealUserFolders)
{
    EXPECT_EQ(ListUserFolders(UserDir()), (std::vector<std::string>{"ann", "bob", "carl", "dora"}));
    EXPECT_TRUE(ListUserFolders(m_dir / "Missing").empty());
}

TEST_F(RosterfixTree, ModeOneSparesTheUsersWhoseValueEqualsTheCompareValue)
{
    AddChangeRequest request{"Active  ", "Yes\t", "User ", ExceptionMode::IfValueEquals, "No "};
    ASSERT_EQ(CheckAddChange(request), "");
    const AddChangeCounts counts = AddChangeKey(UserDir(), request);
    EXPECT_EQ(AddChangeMessage(counts),
              "Add/Changes complete!\n\nUsers' settings changed: 3\nUsers skipped: 1\nUsers that could not be "
              "changed: 0");
    EXPECT_EQ(Read("Users/ann/User.ini"), "No") << "equal to the compare value: kept";
    EXPECT_EQ(Read("Users/bob/User.ini"), "Yes");
    EXPECT_EQ(Read("Users/carl/user.ini"), "Yes") << "the comparison is case-sensitive; the file found in any case";
    EXPECT_FALSE(fs::exists(m_dir / "Users/carl/User.ini"));
    EXPECT_EQ(Read("Users/dora/User.ini"), "Yes") << "a missing settings file is made";
    EXPECT_EQ(Read("Users/.hidden/User.ini"), "No") << "a dot-folder is never touched";
    EXPECT_EQ(Read("Outside/User.ini"), "No") << "a link to a folder outside is not followed";
    EXPECT_EQ(platform::IniKeyNames(m_dir / "Users/bob/User.ini", "User"), (std::vector<std::string>{"Active"}))
            << "the trailing blanks are not part of the key";
}

TEST_F(RosterfixTree, ModeOneComparesTheWholeValue)
{
    m_dir.WriteFile("Users/ann/User.ini", "[User]\nNote=" + std::string(300, 'n') + "x\n");
    const std::string compare(300, 'n');
    const AddChangeCounts counts =
            AddChangeKey(UserDir(), {"Note", "new", "User", ExceptionMode::IfValueEquals, compare});
    EXPECT_EQ(counts.Skipped, 0) << "a value that only begins with the compare value is changed";
    EXPECT_EQ(Read("Users/ann/User.ini", "Note"), "new");
}

TEST_F(RosterfixTree, ModeZeroChangesEveryUser)
{
    const AddChangeCounts counts = AddChangeKey(UserDir(), {"Active", "Yes", "User", ExceptionMode::None, ""});
    EXPECT_EQ(counts.Changed, 4);
    EXPECT_EQ(counts.Skipped, 0);
    EXPECT_EQ(Read("Users/ann/User.ini"), "Yes");
}

TEST(RosterfixCheckTest, RefusesIncompleteRequestsAndNamesThatTheFileCannotHold)
{
    const std::string incomplete = "Please complete all necessary information!";

    struct Case {
        AddChangeRequest Request;
        bool Incomplete;
        bool Refused;
    };

    const std::vector<Case> cases{
            {{"Key", "Value", "Section", ExceptionMode::None, ""}, false, false},
            {{"Key", "Value", "Section", ExceptionMode::IfValueEquals, ""}, true, true},
            {{"Key", "Value", "Section", ExceptionMode::IfValueEquals, "x"}, false, false},
            {{"  ", "Value", "Section", ExceptionMode::None, ""}, true, true},
            {{"Key", " \t", "Section", ExceptionMode::None, ""}, true, true},
            {{"Key", "Value", "", ExceptionMode::None, ""}, true, true},
            {{"Ke=y", "Value", "Section", ExceptionMode::None, ""}, false, true},
            {{"[Key", "Value", "Section", ExceptionMode::None, ""}, false, true},
            {{";Key", "Value", "Section", ExceptionMode::None, ""}, false, true},
            {{" ;Key", "Value", "Section", ExceptionMode::None, ""}, false, true},
            {{"Key", "Value", "Sec]tion", ExceptionMode::None, ""}, false, true},
            {{"Key", "Value", "Sec[tion", ExceptionMode::None, ""}, false, true},
            {{"K\x01y", "Value", "Section", ExceptionMode::None, ""}, false, true},
            {{"Key", "Value", "Sec\ttion", ExceptionMode::None, ""}, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Request.Key + "|" + c.Request.Value + "|" + c.Request.Section);
        const std::string got = CheckAddChange(c.Request);
        EXPECT_EQ(got.empty(), !c.Refused) << got;
        EXPECT_EQ(got == incomplete, c.Incomplete) << got;
    }
    EXPECT_EQ(CheckDelete("Key ", "Section "), "");
    EXPECT_EQ(CheckDelete("Key", " "), incomplete);
    EXPECT_NE(CheckDelete("K=y", "Section"), "");
    EXPECT_NE(CheckDelete("Key", ";Section"), "");
}

TEST_F(RosterfixTree, DeleteCountsEveryUserFolder)
{
    const DeleteCounts counts = DeleteKey(UserDir(), "Active ", "User ");
    EXPECT_EQ(DeleteMessage(counts), "Processing complete!\n\nUsers processed: 4\nUsers that could not be changed: 0");
    EXPECT_EQ(Read("Users/ann/User.ini"), "<missing>");
    EXPECT_EQ(Read("Users/carl/user.ini"), "<missing>");
    EXPECT_FALSE(fs::exists(m_dir / "Users/dora/User.ini")) << "a delete makes no settings file";
    EXPECT_EQ(Read("Users/.hidden/User.ini"), "No");
    EXPECT_EQ(Read("Outside/User.ini"), "No");
}

TEST_F(RosterfixTree, CountsASettingsFileThatCannotBeWritten)
{
    // A directory in the settings file's place cannot be rewritten, by root either.
    fs::create_directories(m_dir / "Users/dora/User.ini/inside");
    const AddChangeCounts counts = AddChangeKey(UserDir(), {"Active", "Yes", "User", ExceptionMode::None, ""});
    EXPECT_EQ(counts.Changed, 3);
    EXPECT_EQ(counts.Failed, 1);
    fs::create_symlink(m_dir / "Outside/User.ini", m_dir / "Users/ann/Linked.ini");
    fs::remove(m_dir / "Users/ann/User.ini");
    fs::rename(m_dir / "Users/ann/Linked.ini", m_dir / "Users/ann/User.ini");
    const DeleteCounts deleted = DeleteKey(UserDir(), "Active", "User");
    EXPECT_EQ(deleted.Failed, 2) << "a settings file that is a symbolic link is not written through";
    EXPECT_EQ(Read("Outside/User.ini"), "No");
}

TEST(RosterfixFindUserDirTest, LooksForTheEngineIniInItsPlaces)
{
    test::TempDir dir("qm-rosterfix-find");
    fs::create_directories(dir / "install/bin");
    const std::string programDir = dir / "install/bin";
    bool asked = false;
    auto cancel = [&asked]() -> std::optional<std::string> {
        asked = true;
        return std::nullopt;
    };
    EXPECT_EQ(FindUserDir(programDir, "", cancel), std::nullopt);
    EXPECT_TRUE(asked) << "without an INI the folder is asked for";

    dir.WriteFile("chosen/Quillmail.ini", "[Directories]\nUserDir=/srv\\qm\\Users\n");
    EXPECT_EQ(FindUserDir(programDir, "", [&dir] { return std::optional<std::string>(dir / "chosen"); }),
              "/srv/qm/Users");

    dir.WriteFile("install/Quillmail.ini", "[Directories]\nUserDir=/parent/Users\n");
    EXPECT_EQ(FindUserDir(programDir, "", cancel), "/parent/Users");
    dir.WriteFile("install/bin/Quillmail.ini", "[Directories]\nUserDir=/here/Users\n");
    EXPECT_EQ(FindUserDir(programDir, "", cancel), "/here/Users");
    dir.WriteFile("env.ini", "[Directories]\nUserDir=/env/Users\n");
    EXPECT_EQ(FindUserDir(programDir, dir / "env.ini", cancel), "/env/Users");

    dir.WriteFile("install/bin/Quillmail.ini", "[Directories]\nUserDir=\n");
    EXPECT_EQ(FindUserDir(programDir, "", cancel), std::nullopt) << "an empty UserDir";
}

} // namespace
} // namespace qm::tools
