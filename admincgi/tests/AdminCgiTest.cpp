#include "admincgi/tests/AdminCgiTestSupport.h"
#include "common/IniAccess.h"
#include "platform/Service.h"

#include <gmock/gmock.h>

namespace qm::admincgi::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

using AdminCgiTest = AdminCgiFixture;

TEST_F(AdminCgiTest, StartUpErrors)
{
    int code = 0;
    qm::test::WriteBytes(Install() / "Quillmail.ini", "[WebServer]\nCgiFile1=/nonexistent/Quillmail.so\n");
    EXPECT_THAT(Run("", &code), HasSubstr("Error loading Quillmail.dll!"));
    EXPECT_EQ(code, 255);
    qm::test::WriteBytes(Cgi() / "CGI.ini", "[CGI]\n");
    EXPECT_THAT(Run("", &code), HasSubstr("Error locating Quillmail.ini!"));
    EXPECT_EQ(code, 255);
}

TEST_F(AdminCgiTest, RelativeLibraryResolvesInTheInstallation)
{
    std::filesystem::copy_file(QM_FAKE_ENGINE, Install() / "Quillmail.so");
    qm::test::WriteBytes(Install() / "Quillmail.ini", "[WebServer]\nCgiFile1=Quillmail.so\n");
    Page("Main", "main page");
    int code = 1;
    EXPECT_EQ(Run("", &code), "main page");
    EXPECT_EQ(code, 0);
}

TEST_F(AdminCgiTest, ShowsStatusAndEscapedSessions)
{
    Page("QMAdmin", "<$Sessions$>|<$MaxSessions$>|<$QMErrors$>|<$FOREACH Session$>[<$ID$> <$User$> <$EMail$> "
                    "<$LastAccessIP$>]<$ENDEACH Session$>");
    const std::string page = Run("View=QMAdmin");
    EXPECT_THAT(page, HasSubstr("3|50|4|"));
    EXPECT_THAT(page, HasSubstr("[ABCDEFG &lt;b&gt;bob&lt;/b&gt; bob@example.org 127.0.0.1]"));
    EXPECT_THAT(page, HasSubstr("[HIJKLMN carol N/A 0.0.0.0]"));
}

TEST_F(AdminCgiTest, StoppedEngineIsNotRunning)
{
    setenv("QM_FAKE_START_TIME", "0", 1); // NOLINT(concurrency-mt-unsafe)
    Page("QMAdmin", "<$StartTime$>");
    EXPECT_EQ(Run("View=QMAdmin"), "Quillmail isn't running!");
}

TEST_F(AdminCgiTest, OnlyTheFirstKillIsActedOn)
{
    Page("QMAdmin", "x");
    Run(WithToken("View=QMAdmin&Kill:ABCDEFG=Kill&Kill:HIJKLMN=Kill"));
    const std::string log = EngineLog();
    EXPECT_THAT(log, HasSubstr("kill ABCDEFG"));
    EXPECT_THAT(log, Not(HasSubstr("kill HIJKLMN")));
    // The rows are read again after the kill.
    EXPECT_EQ(log, "status\nkill ABCDEFG\nstatus\n");
}

TEST_F(AdminCgiTest, ChangeWithoutTokenIsRefused)
{
    AddUser("bob");
    Page("QMAdmin", "<$StatusMesg$>");
    Page("Users", "<$StatusMesg$>");
    EXPECT_THAT(Run("View=QMAdmin&Kill:ABCDEFG=Kill"), HasSubstr("refused"));
    EXPECT_THAT(Run("View=Users&Delete:bob=Delete&Token=wrong"), HasSubstr("refused"));
    EXPECT_THAT(Run("View=Users&Disable:bob=Disable"), HasSubstr("refused"));
    Run("View=NewUser&CreateUser=1&Name=eve");
    const std::string log = EngineLog();
    EXPECT_THAT(log, Not(HasSubstr("kill")));
    EXPECT_THAT(log, Not(HasSubstr("delete")));
    EXPECT_THAT(log, Not(HasSubstr("create")));
    EXPECT_EQ(ReadIniStringFile("User", "Active", "", (Users() / "bob" / "User.ini").string()), "Yes");
}

TEST_F(AdminCgiTest, NewUserMessages)
{
    // "!" marks a message the page shows as a failure.
    Page("NewUser", "new:<$IF StatusError$>!<$ENDIF$><$StatusMesg$>");
    Page("Users", "users:<$IF StatusError$>!<$ENDIF$><$StatusMesg$>|<$IF StatusError$>!<$ENDIF$><$StatusMesg$>");
    EXPECT_EQ(Run(WithToken("View=NewUser&CreateUser=1&Name=")), "new:!You must provide a new user name!");
    EXPECT_EQ(Run(WithToken("View=NewUser&CreateUser=1&Name=bob&Pass=pw&FullName=Bob+B")),
              "users:Account created for bob.|");
    EXPECT_THAT(EngineLog(), HasSubstr("create bob|pw||Bob B|"));
    EXPECT_EQ(Run(WithToken("View=NewUser&CreateUser=1&Name=bob")), "new:!Error creating Quillmail user bob.");
    EXPECT_EQ(Run(WithToken("View=NewUser&CreateUser=1&Name=%3Cx%3E")), "users:Account created for &lt;x&gt;.|");
    // A name that is no single path component never reaches the engine.
    EXPECT_EQ(Run(WithToken("View=NewUser&CreateUser=1&Name=a%2Fb")), "new:!Error creating Quillmail user a/b.");
    EXPECT_THAT(EngineLog(), Not(HasSubstr("create a/b")));
    // A form without the token is refused as a failure.
    EXPECT_EQ(Run("View=NewUser&CreateUser=1&Name=bob"),
              "new:!Request refused: the form has expired or came from another page.");
}

TEST_F(AdminCgiTest, EnablesDisablesAndDeletes)
{
    AddUser("bob");
    Page("Users", "<$FOREACH User$><$CurrentUser$>:<$EnableDisable$><$ENDEACH User$>");
    const std::string ini = (Users() / "bob" / "User.ini").string();
    EXPECT_THAT(Run(WithToken("View=Users&Disable:bob=Disable")), HasSubstr("NAME=\"Enable:bob\""));
    EXPECT_EQ(ReadIniStringFile("User", "Active", "", ini), "No");
    EXPECT_THAT(Run(WithToken("View=Users&Enable:bob=Enable")), HasSubstr("NAME=\"Disable:bob\""));
    EXPECT_EQ(ReadIniStringFile("User", "Active", "", ini), "Yes");
    Run(WithToken("View=Users&Delete:bob=Delete"));
    EXPECT_THAT(EngineLog(), HasSubstr("delete bob"));
}

TEST_F(AdminCgiTest, HostileNamesAreRefused)
{
    AddUser("a");
    qm::test::WriteBytes(Install() / "User.ini", "[User]\nActive=Yes\n");
    Page("Users", "<$StatusMesg$>");
    Page("EditFile", "<$Body$>");
    for (const char* query : {"View=Users&Disable:..=1", "View=Users&Disable:a%2Fb=1", "View=Users&Delete:..=1",
                              "View=Users&Enable:.hidden=1", "View=Users&Delete:a%5Cb=1", "View=Users&Edit:..=1"}) {
        SCOPED_TRACE(query);
        EXPECT_EQ(Run(WithToken(query)), "Invalid user name!");
    }
    EXPECT_THAT(EngineLog(), Not(HasSubstr("delete")));
    EXPECT_EQ(ReadIniStringFile("User", "Active", "", (Install() / "User.ini").string()), "Yes");
    EXPECT_THAT(Run("View=EditFile&EditUser=.."), HasSubstr("Unable to load User.ini for editing!"));
    EXPECT_THAT(Run("View=EditFile&EditUser=a%2F..%2F.."), HasSubstr("Unable to load User.ini for editing!"));
}

TEST_F(AdminCgiTest, EditButtonShowsTheUsersEditor)
{
    AddUser("bob");
    Page("EditFile", "editing <$EditUser$>");
    EXPECT_EQ(Run("View=Users&Edit:bob=Edit"), "editing bob");
}

TEST_F(AdminCgiTest, PagesTheUserList)
{
    for (int i = 1; i <= 250; ++i) {
        char name[8];
        std::snprintf(name, sizeof name, "u%03d", i);
        AddUser(name);
    }
    Page("Users", "<$FOREACH User$><$CurrentUser$>,<$ENDEACH User$>|<$PrevNextLinks$>");
    const std::string page = Run("View=Users&Num=100");
    EXPECT_EQ(ReadIniStringFile("CGI", "UsersPerPage", "", (Cgi() / "CGI.ini").string()), "100");
    EXPECT_THAT(page, HasSubstr("|<CENTER>"));
    EXPECT_TRUE(page.starts_with("u101,u102,")) << page.substr(0, 40);
    EXPECT_THAT(page, HasSubstr("u200,|"));
    EXPECT_THAT(page, Not(HasSubstr("u201")));
    EXPECT_THAT(page, HasSubstr("Users&amp;Num=0\">[Prev Page]"));
    EXPECT_THAT(page, HasSubstr("Users&amp;Num=200\">[Next Page]"));

    WriteIniStringFile("CGI", "UsersPerPage", "0", (Cgi() / "CGI.ini").string().c_str());
    const std::string all = Run("View=Users");
    EXPECT_THAT(all, HasSubstr("u001,"));
    EXPECT_THAT(all, HasSubstr("u250,|"));
    EXPECT_THAT(all, Not(HasSubstr("[Next Page]")));
    EXPECT_THAT(all, Not(HasSubstr("[Prev Page]")));
}

TEST_F(AdminCgiTest, LastPageHasNoNextLink)
{
    for (int i = 1; i <= 200; ++i) {
        AddUser("u" + std::to_string(1000 + i));
    }
    Page("Users", "<$PrevNextLinks$>");
    const std::string page = Run("View=Users&Num=100");
    EXPECT_THAT(page, HasSubstr("[Prev Page]"));
    EXPECT_THAT(page, Not(HasSubstr("[Next Page]")));
}

TEST_F(AdminCgiTest, UserListIsSortedWithoutCaseAndEscaped)
{
    AddUser("bob", "[User]\nActive=No\n[Stats]\nMessageCount=7\n[MailHost1]\nHost=h\nFullName=<i>Bob</i>\n");
    AddUser("Alice");
    AddUser("carol");
    std::filesystem::create_directories(Users() / ".hidden");
    qm::test::WriteBytes(Users() / "file", "x");
    Page("Users", "<$FOREACH User$>[<$CurrentUser$> <$FullName$> <$MsgCount$>]<$ENDEACH User$>");
    EXPECT_EQ(Run("View=Users"), "[Alice N/A 0][bob &lt;i&gt;Bob&lt;/i&gt; 7][carol N/A 0]");
}

TEST_F(AdminCgiTest, ViewNamesOnlyListedPagesAndValuesAreEscaped)
{
    Page("Main", "main <$BASE$> <$base$> <$Users$>");
    setenv("SERVER_NAME", "h\"><script>", 1); // NOLINT(concurrency-mt-unsafe)
    setenv("SERVER_PORT", "81", 1);           // NOLINT(concurrency-mt-unsafe)
    const std::string page = Run("View=..%2F..%2Fetc%2Fpasswd");
    EXPECT_EQ(page, "main http://h&quot;&gt;&lt;script&gt;:81  /cgi/QMAdminCGI?View=Users");
    EXPECT_EQ(Run("View=main"), page);
}

} // namespace
} // namespace qm::admincgi::test

namespace qm::admincgi::test {
namespace {

TEST_F(AdminCgiTest, ServerStartAndStopReportTheRealResult)
{
    const std::filesystem::path services = m_temp.Path() / "services";
    setenv("QUILLMAIL_SVCDIR", services.c_str(), 1); // NOLINT(concurrency-mt-unsafe)
    Page("Main", "<$IF StatusError$>!<$ENDIF$><$StatusMesg$>");
    // No such service is installed.
    EXPECT_EQ(Run(WithToken("View=Main&StartQM=1")), "!Error starting Quillmail Service!");
    EXPECT_EQ(Run(WithToken("View=Main&StopQM=1")), "!Error stopping Quillmail Service!");

    ServiceConfig config;
    config.Name = "Quillmail";
    config.DisplayName = "Quillmail";
    config.ProgramPath = "/bin/true";
    ASSERT_TRUE(InstallService(config));
    EXPECT_EQ(Run(WithToken("View=Main&StartQM=1")), "Starting Quillmail Service...");
    // Without the token the server is left alone.
    EXPECT_THAT(Run("View=Main&StartQM=1"), ::testing::HasSubstr("refused"));
    unsetenv("QUILLMAIL_SVCDIR"); // NOLINT(concurrency-mt-unsafe)
}

} // namespace
} // namespace qm::admincgi::test
