// The first admin logon that the installation makes: random, stored scrambled, told in a file only its owner reads.
#include "portico/AdminLogon.h"

#include "common/IniAccess.h"
#include "common/Scrambler.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

namespace qm::portico {
namespace {

using test::TempDir;

class AdminLogonTest : public ::testing::Test {
protected:
    void SetUp() override { SetMainIniPath(m_dir / "Quillmail.ini"); }

    void TearDown() override { SetMainIniPath(""); }

    std::string LogonFile() const { return m_dir / kAdminLogonFileName; }

    // The value of a "Key=value" line of the logon file.
    std::string FileValue(const std::string& key) const
    {
        const std::string text = TempDir::ReadFile(LogonFile());
        const std::size_t at = text.find("\r\n" + key + "=");
        if (at == std::string::npos) {
            return "";
        }
        const std::size_t start = at + key.size() + 3;
        return text.substr(start, text.find("\r\n", start) - start);
    }

    TempDir m_dir{"qm-portico-logon"};
};

TEST_F(AdminLogonTest, PasswordsAreLongRandomLettersAndDigits)
{
    std::set<std::string> seen;
    for (int i = 0; i < 50; ++i) {
        Result<std::string> password = MakeAdminPassword();
        ASSERT_TRUE(password);
        EXPECT_EQ(password->size(), kAdminPasswordLength);
        EXPECT_EQ(password->find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
                  std::string::npos)
                << *password;
        seen.insert(*password);
    }
    EXPECT_EQ(seen.size(), 50u);
}

TEST_F(AdminLogonTest, EmptyAuthGetsALogonThatOnlyTheFileTells)
{
    m_dir.WriteFile("Quillmail.ini", "[AdminWebServer]\r\nAuth=\r\nPort=2001\r\n");
    // Whatever lies at the file's name is replaced, a link too: its target is never written.
    const std::string outside = m_dir.WriteFile("outside.txt", "keep");
    std::filesystem::create_symlink(outside, LogonFile());
    Result<std::string> made = MakeAdminLogonIfNone(m_dir / "Quillmail.ini");
    ASSERT_TRUE(made) << made.error().Message;
    EXPECT_EQ(*made, LogonFile());
    EXPECT_EQ(TempDir::ReadFile(outside), "keep");
    EXPECT_FALSE(std::filesystem::is_symlink(LogonFile()));
    EXPECT_EQ(std::filesystem::status(LogonFile()).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

    const std::string password = FileValue("Password");
    EXPECT_EQ(FileValue("User"), kAdminLogonUser);
    ASSERT_EQ(password.size(), kAdminPasswordLength);
    const std::string auth = ReadIniString("AdminWebServer", "Auth", "");
    EXPECT_EQ(UnscramblePassword(auth), std::string(kAdminLogonUser) + ":" + password);
    EXPECT_EQ(TempDir::ReadFile(m_dir / "Quillmail.ini").find(password), std::string::npos);
    EXPECT_EQ(ReadIniInt("AdminWebServer", "Port", 0), 2001);

    // Once Auth is set, nothing changes.
    Result<std::string> again = MakeAdminLogonIfNone(m_dir / "Quillmail.ini");
    ASSERT_TRUE(again);
    EXPECT_EQ(*again, "");
    EXPECT_EQ(ReadIniString("AdminWebServer", "Auth", ""), auth);
    EXPECT_EQ(FileValue("Password"), password);
}

TEST_F(AdminLogonTest, AMissingAuthKeyCountsAsEmptyAndASetOneIsKept)
{
    m_dir.WriteFile("Quillmail.ini", "[General]\r\nLogLevel=1\r\n");
    Result<std::string> made = MakeAdminLogonIfNone(m_dir / "Quillmail.ini");
    ASSERT_TRUE(made);
    EXPECT_FALSE(made->empty());
    EXPECT_FALSE(ReadIniString("AdminWebServer", "Auth", "").empty());

    m_dir.WriteFile("Quillmail.ini", "[AdminWebServer]\r\nAuth=-ops:chosen\r\n");
    std::filesystem::remove(LogonFile());
    made = MakeAdminLogonIfNone(m_dir / "Quillmail.ini");
    ASSERT_TRUE(made);
    EXPECT_EQ(*made, "");
    EXPECT_FALSE(std::filesystem::exists(LogonFile()));
    EXPECT_EQ(ReadIniString("AdminWebServer", "Auth", ""), "-ops:chosen");
}

} // namespace
} // namespace qm::portico
