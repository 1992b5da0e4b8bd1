#include "admincgi/tests/AdminCgiTestSupport.h"
#include "common/CgiInput.h"

#include <gmock/gmock.h>

namespace qm::admincgi::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

class ShippedPagesTest : public AdminCgiFixture {
protected:
    ShippedPagesTest()
    {
        const std::filesystem::path data = std::filesystem::path(QM_SOURCE_DIR) / "data" / "AdminCGI";
        std::filesystem::copy(data / "Templates", Cgi() / "Templates",
                              std::filesystem::copy_options::recursive |
                                      std::filesystem::copy_options::overwrite_existing);
        std::filesystem::copy_file(data / "FileList.dat", Cgi() / "FileList.dat");
        qm::test::WriteBytes(Install() / "Quillmail.ini", std::string("[WebServer]\nCgiFile1=") + QM_FAKE_ENGINE +
                                                                  "\n[Directories]\nUserDir=Users\n");
        AddUser("bob", "[User]\nActive=Yes\n[MailHost1]\nHost=h\nFullName=Bob <b>\n");
    }
};

TEST_F(ShippedPagesTest, EveryPageRendersWithEveryTagExpanded)
{
    for (const char* view : {"Main", "Menu", "QMAdmin", "FileList", "NewUser", "Users", "EditFile"}) {
        SCOPED_TRACE(view);
        const std::string page =
                Run(std::string("View=") + view + "&File=" + UrlEncode((Install() / "Quillmail.ini").string()));
        EXPECT_THAT(page, HasSubstr("</HTML>"));
        EXPECT_THAT(page, Not(HasSubstr("<$")));
        EXPECT_THAT(page, Not(HasSubstr("$>")));
    }
}

TEST_F(ShippedPagesTest, FormsCarryTheTokenAndEscapedNames)
{
    const std::string users = Run("View=Users");
    EXPECT_THAT(users, HasSubstr(std::string("NAME=\"Token\" VALUE=\"") + kToken + "\""));
    EXPECT_THAT(users, HasSubstr("NAME=\"Disable:bob\""));
    EXPECT_THAT(users, HasSubstr("Bob &lt;b&gt;"));
    const std::string sessions = Run("View=QMAdmin");
    EXPECT_THAT(sessions, HasSubstr("NAME=\"Kill:ABCDEFG\""));
    EXPECT_THAT(sessions, HasSubstr("&lt;b&gt;bob&lt;/b&gt;"));
    EXPECT_THAT(Run("View=FileList"), HasSubstr(">Quillmail.ini</A>"));
}

} // namespace
} // namespace qm::admincgi::test
