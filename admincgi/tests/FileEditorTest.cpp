#include "admincgi/tests/AdminCgiTestSupport.h"
#include "common/CgiInput.h"
#include "common/IniAccess.h"
#include "common/Scrambler.h"

#include <gmock/gmock.h>

namespace qm::admincgi::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

class FileEditorTest : public AdminCgiFixture {
protected:
    FileEditorTest()
    {
        std::filesystem::create_directories(Conf());
        qm::test::WriteBytes(Cgi() / "FileList.dat", "# files\nProgram=Engine, " + Conf().string() +
                                                             ", Engine\n"
                                                             "File=$DIR$/Engine.ini, Engine settings, READONLY\n"
                                                             "File=$DIR$/Site.ini, Site settings\n"
                                                             "File=$DIR$/Alias.dat, Aliases\n"
                                                             "File=$DIR$/Server.log, Log\n");
        qm::test::WriteBytes(Conf() / "Engine.ini", "[General]\nLogLevel=1\n");
        qm::test::WriteBytes(Conf() / "Site.ini", "[Site]\nActive=Yes\nLanguage=no\nEnabled=Yes\nName=site\n"
                                                  "Secret=" +
                                                          ScramblePassword("pw") +
                                                          "\nDomainPass=\\DOMAIN\n[Hidden]\nX=1\n");
        qm::test::WriteBytes(Conf() / "Site.dsc", "[Site]\nSite:Desc=The site\nName=Site name <b>\n"
                                                  "Secret=_ENCRYPTED__PASSWORD_Secret\nDomainPass=_ENCRYPTED_\n"
                                                  "[Hidden]\nHidden:Desc=_DONOTSHOW_\n");
        Page("EditFile", "<$Body$>");
    }

    std::filesystem::path Conf() const { return Install() / "conf"; }

    std::string Edit(const std::string& file, const std::string& rest = "")
    {
        return Run("View=EditFile&File=" + UrlEncode((Conf() / file).string()) + rest);
    }

    std::string Site(const char* key) const
    {
        return ReadIniStringFile("Site", key, "<missing>", (Conf() / "Site.ini").string());
    }
};

TEST_F(FileEditorTest, ShowsIniFieldsByTheDescriptor)
{
    const std::string page = Edit("Site.ini");
    EXPECT_THAT(page, HasSubstr("<SELECT NAME=\"Site:Active\"><OPTION VALUE=\"Yes\">Yes</OPTION><OPTION "
                                "VALUE=\"No\">No</OPTION></SELECT>"));
    EXPECT_THAT(page, HasSubstr("NAME=\"Site:Language\" VALUE=\"no\""));
    EXPECT_THAT(page, HasSubstr("Site name &lt;b&gt;"));
    EXPECT_THAT(page, HasSubstr("<INPUT TYPE=\"Password\" NAME=\"Site:Secret_ENC_\" VALUE=\"pw\""));
    EXPECT_THAT(page, HasSubstr("<INPUT TYPE=\"Text\" NAME=\"Site:DomainPass_ENC_\" VALUE=\"\\DOMAIN\""));
    EXPECT_THAT(page, Not(HasSubstr("_ENCRYPTED_")));
    EXPECT_THAT(page, Not(HasSubstr("Hidden")));
    EXPECT_THAT(page, HasSubstr("NAME=\"Site:NewKeys\""));
}

TEST_F(FileEditorTest, SavesIniFields)
{
    Edit("Site.ini", WithToken("&Save=1&Site:Enabled=NULL&Site:Name=+padded&Site:NewKeys=X%3D1%0D%0AY%3D2%0AZ") +
                             "&Site:DomainPass_ENC_=%5CDOMAIN&Site:Secret_ENC_=new");
    EXPECT_EQ(Site("Enabled"), "<missing>");
    EXPECT_EQ(Site("Name"), " padded");
    EXPECT_EQ(Site("X"), "1");
    EXPECT_EQ(Site("Y"), "2");
    EXPECT_EQ(Site("Z"), "<missing>");
    EXPECT_EQ(Site("DomainPass"), "\\DOMAIN");
    EXPECT_EQ(UnscramblePassword(Site("Secret")), "new");
    Edit("Site.ini", WithToken("&Save=1&Site:NewKeys=X%3DNULL"));
    EXPECT_EQ(Site("X"), "<missing>");
}

TEST_F(FileEditorTest, RefusesLineBreaksInValues)
{
    const std::string page = Edit("Site.ini", WithToken("&Save=1&Site:Name=a%0D%0A%5BEvil%5D&Site:Language=de"));
    EXPECT_THAT(page, HasSubstr("could not be saved"));
    EXPECT_EQ(Site("Name"), "site");
    EXPECT_EQ(Site("Language"), "de");
    EXPECT_EQ(ReadIniStringFile("Evil", "x", "<none>", (Conf() / "Site.ini").string()), "<none>");
}

TEST_F(FileEditorTest, NeverSavesReadOnlyOrUnlistedFiles)
{
    const std::string before = qm::test::ReadBytes(Conf() / "Engine.ini");
    // A form made by hand for the read-only file.
    EXPECT_THAT(Edit("Engine.ini", WithToken("&Save=1&General:LogLevel=6&Content=x")), HasSubstr("read-only"));
    EXPECT_EQ(qm::test::ReadBytes(Conf() / "Engine.ini"), before);
    // Another spelling of a listed path opens the listed file, with its flags.
    EXPECT_THAT(Run("View=EditFile&File=" + UrlEncode((Conf() / "ENGINE.INI").string()) +
                    WithToken("&Save=1&General:LogLevel=6")),
                HasSubstr("read-only"));
    EXPECT_EQ(qm::test::ReadBytes(Conf() / "Engine.ini"), before);

    qm::test::WriteBytes(Conf() / "Other.ini", "[A]\nB=1\n");
    EXPECT_THAT(Edit("Other.ini", WithToken("&Save=1&A:B=2")), HasSubstr("Unable to Load File for Editing!"));
    EXPECT_EQ(ReadIniStringFile("A", "B", "", (Conf() / "Other.ini").string()), "1");
    EXPECT_THAT(Edit("../conf/Site.ini"), HasSubstr("Unable to Load File for Editing!"));
}

TEST_F(FileEditorTest, SaveWithoutTokenChangesNothing)
{
    Edit("Site.ini", "&Save=1&Site:Name=changed");
    EXPECT_EQ(Site("Name"), "site");
}

TEST_F(FileEditorTest, TextFilesAndAliasSemaphore)
{
    qm::test::WriteBytes(Conf() / "Alias.dat", "a=b\n</TEXTAREA><script>\n");
    const std::string page = Edit("Alias.dat");
    EXPECT_THAT(page, HasSubstr("&lt;/TEXTAREA&gt;&lt;script&gt;"));
    // The browser's CR LF line ends become the LF line ends the file had.
    Edit("Alias.dat", WithToken("&Save=1&Content=c%3Dd%0D%0Ae%0D%0A"));
    EXPECT_EQ(qm::test::ReadBytes(Conf() / "Alias.dat"), "c=d\ne\n");
    EXPECT_TRUE(std::filesystem::exists(Conf() / "Alias.sem"));
    // A file with CR LF line ends keeps them; a lone CR is kept as it came.
    qm::test::WriteBytes(Conf() / "Alias.dat", "a=b\r\n");
    Edit("Alias.dat", WithToken("&Save=1&Content=c%3Dd%0D%0Ax%0Dy"));
    EXPECT_EQ(qm::test::ReadBytes(Conf() / "Alias.dat"), "c=d\r\nx\ry");
}

TEST_F(FileEditorTest, TextAreaHoldsTheFilesOwnBytes)
{
    // No line end is added after a last line without one, and a first empty line survives the parser's dropping
    // of the line end after the opening tag.
    qm::test::WriteBytes(Conf() / "Alias.dat", "\nno end & <b>");
    EXPECT_THAT(Edit("Alias.dat"), HasSubstr("ROWS=\"30\">\n\nno end &amp; &lt;b&gt;</TEXTAREA>"));
}

TEST_F(FileEditorTest, AliasSemaphoreIsNamedAfterTheFileNotItsDirectory)
{
    const std::filesystem::path dir = Install() / "x.data";
    std::filesystem::create_directories(dir);
    std::filesystem::create_directories(Install() / "x.sema");
    qm::test::WriteBytes(Install() / "x.sema" / "Alias.dat", "unrelated");
    qm::test::WriteBytes(dir / "Alias.dat", "a=b\n");
    qm::test::WriteBytes(Cgi() / "FileList.dat", "Program=Aliases, " + dir.string() +
                                                         ", Aliases\n"
                                                         "File=$DIR$/Alias.dat, Aliases\n");
    Run(WithToken("View=EditFile&File=" + UrlEncode((dir / "Alias.dat").string()) + "&Save=1&Content=c%3Dd%0A"));
    EXPECT_EQ(qm::test::ReadBytes(dir / "Alias.dat"), "c=d\n");
    EXPECT_TRUE(std::filesystem::exists(dir / "Alias.sem"));
    EXPECT_EQ(qm::test::ReadBytes(Install() / "x.sema" / "Alias.dat"), "unrelated");
}

TEST_F(FileEditorTest, TailOfALog)
{
    std::string log;
    for (int i = 0; i < 1000; ++i) {
        log += "line " + std::to_string(i) + " <x>\n";
    }
    qm::test::WriteBytes(Conf() / "Server.log", log);
    const std::string page = Edit("Server.log", "&ReadOnly=1&TailSize=4");
    EXPECT_THAT(page, HasSubstr("line 999 &lt;x&gt;"));
    EXPECT_THAT(page, Not(HasSubstr("line 0 ")));
    // The view starts at a whole line.
    const std::size_t start = page.find("<PRE>\n") + 6;
    EXPECT_EQ(page.substr(start, 5), "line ");
    EXPECT_THAT(Edit("Server.log", "&ReadOnly=1&TailSize=4000"), HasSubstr("line 0 "));
    // A line longer than the editor's line limit is shown in pieces, whole.
    qm::test::WriteBytes(Conf() / "Server.log", std::string(5000, 'a') + "\nend\n");
    const std::string longLine = Edit("Server.log", "&ReadOnly=1");
    EXPECT_THAT(longLine, HasSubstr(std::string(1023, 'a') + "\n" + std::string(1023, 'a')));
    EXPECT_THAT(longLine, HasSubstr("\nend\n</PRE>"));
    // The text area keeps it whole, so that saving it changes nothing.
    EXPECT_THAT(Edit("Server.log"), HasSubstr(std::string(5000, 'a') + "\nend\n</TEXTAREA>"));
}

TEST_F(FileEditorTest, ListsProgramsAndFiles)
{
    qm::test::WriteBytes(Conf() / "Alias.dat", "x");
    Page("FileList", "<$FOREACH Program$>[<$Program$>:<$FOREACH File$>(<$FileName$> <$FileDesc$><$IF "
                     "ReadOnly$> ro<$ENDIF$>)<$ENDEACH File$>]<$ENDEACH Program$>");
    EXPECT_EQ(Run("View=FileList"),
              "[Engine:(Engine.ini Engine settings ro)(Site.ini Site settings)(Alias.dat Aliases)]");
}

TEST_F(FileEditorTest, EditsAUsersSettings)
{
    AddUser("bob", "[User]\nActive=Yes\nPassword=x\n");
    qm::test::WriteBytes(Install() / "User.dsc", "[User]\nPassword=_DONOTSHOW_\n");
    const std::string page = Run("View=EditFile&EditUser=bob");
    EXPECT_THAT(page, HasSubstr("NAME=\"User:Active\""));
    EXPECT_THAT(page, Not(HasSubstr("Password")));
    Run(WithToken("View=EditFile&EditUser=bob&Save=1&User:Active=No&User:Password=y"));
    const std::string ini = (Users() / "bob" / "User.ini").string();
    EXPECT_EQ(ReadIniStringFile("User", "Active", "", ini), "No");
    EXPECT_EQ(ReadIniStringFile("User", "Password", "", ini), "x");
}

// Whoever can put a symbolic link into the installation must not get the editor to read or write what it names.
TEST_F(FileEditorTest, NeverFollowsASymbolicLink)
{
    const std::filesystem::path outside = Install().parent_path() / "outside";
    std::filesystem::create_directories(outside / "eve");
    const std::string secret = "[User]\nActive=Yes\nSecret=outside\n";
    qm::test::WriteBytes(outside / "User.ini", secret);
    qm::test::WriteBytes(outside / "eve" / "User.ini", secret);
    qm::test::WriteBytes(outside / "Site.ini", secret);
    std::filesystem::create_directories(Users() / "mallory");
    std::filesystem::create_symlink(outside / "User.ini", Users() / "mallory" / "User.ini");
    std::filesystem::create_directory_symlink(outside / "eve", Users() / "eve");
    std::filesystem::remove(Conf() / "Site.ini");
    std::filesystem::create_symlink(outside / "Site.ini", Conf() / "Site.ini");

    struct Case {
        std::string Query;
        const char* Refusal;
    };

    const Case cases[] = {
            {"View=EditFile&EditUser=mallory", "Unable to load User.ini for editing!"},
            {"View=EditFile&EditUser=eve", "Unable to load User.ini for editing!"},
            {"View=EditFile&File=" + UrlEncode((Conf() / "Site.ini").string()), "Unable to Load File for Editing!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Query);
        const std::string shown = Run(c.Query);
        EXPECT_THAT(shown, HasSubstr(c.Refusal));
        EXPECT_THAT(shown, Not(HasSubstr("outside")));
        EXPECT_THAT(Run(WithToken(c.Query + "&Save=1&User:Active=No&Site:Active=No&Content=x")), HasSubstr(c.Refusal));
    }
    for (const char* file : {"User.ini", "eve/User.ini", "Site.ini"}) {
        EXPECT_EQ(qm::test::ReadBytes(outside / file), secret) << file;
    }
}

} // namespace
} // namespace qm::admincgi::test
