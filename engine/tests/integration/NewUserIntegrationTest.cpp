// The NewUser form through whole requests: the checks of the form, the account made and logged on, the domain's
// new-account program (run from an argument vector with a filtered environment, its output shown, its failure
// undoing the account, a time limit), the notification mail to an SMTP receiver (aiosmtpd) of the test's own; and
// the answer to a logon whose directory server cannot be reached.
#include "common/IniAccess.h"
#include "engine/Engine.h"
#include "engine/LdapLibrary.h"
#include "engine/LogonThrottle.h"
#include "engine/Request.h"
#include "engine/SessionManager.h"
#include "engine/TemplateCache.h"
#include "engine/UserLogonLocks.h"
#include "engine/tests/RequestTestSupport.h"
#include "engine/tests/SessionTestSupport.h"
#include "platform/ChildProcess.h"
#include "testsupport/Program.h"
#include "testsupport/SmtpSink.h"
#include "testsupport/TempDir.h"
#include "testsupport/WaitUntil.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qm::engine {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::WriteFile;

constexpr const char* kLanguages = "[en]\r\n001=English\r\n012=No new accounts.\r\n013=Wrong sign-up password.\r\n"
                                   "015=Bad logon.\r\n033=No name.\r\n034=No password.\r\n035=Passwords differ.\r\n"
                                   "049=Exists.\r\n051=Mailbox failed.\r\n070=Logon service failed.\r\n"
                                   "074=Not created.\r\n541=Leading hyphen.\r\n";

// The program: writes its arguments (one a line) and its environment into its own directory, says one line, and
// exits with the code in the file "code" there.
constexpr const char* kProgram = "#!/bin/sh\nprintf '%s\\n' \"$@\" > args.txt\nenv > env.txt\n"
                                 "echo \"Mailbox made for $1.\"\nexit $(cat code)\n";

std::string Encode(const std::string& text)
{
    std::string out;
    for (const unsigned char c : text) {
        if (std::isalnum(c) != 0 || c == '-' || c == '_' || c == '.') {
            out += static_cast<char>(c);
        } else {
            char hex[4];
            (void)std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        }
    }
    return out;
}

class NewUserIntegrationTest : public ::testing::Test {
protected:
    NewUserIntegrationTest()
    {
        const fs::path templates = m_harness.Settings().Dir() / "Templates";
        fs::create_directories(templates / "Globe");
        WriteFile(templates / "Languages.ini", kLanguages);
        WriteFile(templates / "Globe" / "Logon.html", "LOGON[<$STATUSMESG$>]");
        WriteFile(templates / "Globe" / "Main.html", "MAIN[<$USER$>|<$STATUSMESG$>]");
        WriteFile(templates / "Globe" / "NewUser.html", "NEWUSER[<$STATUSMESG$>|<$ERRORMESG$>]");
        WriteFile(templates / "Globe" / "Error.html", "ERROR[<$STATUSMESG$>]");
        m_cache = std::make_unique<TemplateCache>(templates.string(), true, nullptr);
        m_program = m_tools.WriteFile("make-mailbox", kProgram);
        EXPECT_EQ(chmod(m_program.c_str(), 0700), 0);
        SetExitCode(0);
        EngineProcessAttach(nullptr);
        EXPECT_TRUE(EngineAttached());
    }

    void TearDown() override { EngineProcessDetach(); }

    void Domains(const std::string& settings)
    {
        m_harness.Settings().WriteDomains("[Default:Settings]\r\nNewAccountCreation=Yes\r\n" + settings);
    }

    void SetExitCode(int code) const { m_tools.WriteFile("code", std::to_string(code) + "\n"); }

    // The form's fields, with Pass and ConfirmPass given as one unless told otherwise.
    std::string Form(const std::string& user, const std::string& fullName = "New User",
                     const std::string& pass = "pw-1", const std::string& confirm = "") const
    {
        return "View=NewUser&Finished=1&User=" + Encode(user) + "&Pass=" + Encode(pass) +
               "&ConfirmPass=" + Encode(confirm.empty() ? pass : confirm) + "&FullName=" + Encode(fullName);
    }

    std::string Send(const std::string& query)
    {
        RequestServices services = test::HarnessServices(m_harness, m_cache.get());
        services.Throttle = &m_throttle;
        services.LogonLocks = &m_logonLocks;
        return test::RunRequest(test::GetRequestEnvironment(query, "Lang=en; Theme=Globe"), std::move(services),
                                (m_harness.Settings().Dir() / "response").string())
                .Page();
    }

    bool Exists(const std::string& user) const { return fs::exists(m_harness.Settings().UserDir(user)); }

    std::string Tool(const std::string& name) const { return ReadFile(m_tools.Path() / name); }

    test::SessionHarness m_harness{"[General]\r\nLogLevel=1\r\n"};
    std::unique_ptr<TemplateCache> m_cache;
    LogonThrottle m_throttle;
    UserLogonLocks m_logonLocks;
    qm::test::TempDir m_tools{"qm-newuser"};
    std::string m_program;
};

TEST_F(NewUserIntegrationTest, TheFormIsCheckedBeforeAnyAccountIsMade)
{
    Domains("[closed.org:Settings]\r\nNewAccountCreation=No\r\n"
            "[guarded.org:Settings]\r\nNewAccountCreation=Yes\r\nNewAccountPassword=-sesame\r\n");
    fs::create_directories(m_harness.Settings().UserDir("taken"));

    struct Case {
        std::string Query;
        std::string Want;
    };

    const Case cases[] = {
            {"View=NewUser&User=x", "NEWUSER[|]"},
            {"View=NewUser&Cancel=1&User=x&Pass=p&ConfirmPass=p", "LOGON[]"},
            {Form("  "), "NEWUSER[No name.|]"},
            {Form("x", "", ""), "NEWUSER[No password.|]"},
            {Form("x", "", "Secret", "secret"), "NEWUSER[Passwords differ.|]"},
            {Form("taken"), "NEWUSER[Exists.|]"},
            {Form(std::string(80, 'n')), "NEWUSER[Not created.|]"},
            {Form("../x"), "NEWUSER[Not created.|]"},
            // A password that would be kept as a directory or system logon (with a host of the visitor's choice).
            {Form("sly", "", "*evil.example:389"), "NEWUSER[Not created.|]"},
            {Form("sly", "", "\\"), "NEWUSER[Not created.|]"},
            {Form("x@closed.org"), "LOGON[No new accounts.]"},
            {Form("x@guarded.org") + "&NewAccountPassword=wrong", "LOGON[Wrong sign-up password.]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Query);
        EXPECT_EQ(Send(c.Query), c.Want);
    }
    EXPECT_FALSE(Exists("x"));
    EXPECT_FALSE(Exists("sly"));
    EXPECT_FALSE(Exists(std::string(80, 'n')));
    EXPECT_EQ(m_harness.Manager().Count(), 0);

    // Another domain's own sign-up password lets the visitor in there.
    EXPECT_EQ(Send(Form("y@guarded.org") + "&NewAccountPassword=sesame"), "MAIN[y@guarded.org|]");
    // 79 bytes is still a name.
    EXPECT_EQ(Send(Form(std::string(79, 'n'))), "MAIN[" + std::string(79, 'n') + "|]");
}

TEST_F(NewUserIntegrationTest, WithoutAProgramTheAccountIsMadeAndLoggedOn)
{
    Domains("");
    EXPECT_EQ(Send(Form("newbie")), "MAIN[newbie|]");
    EXPECT_TRUE(Exists("newbie"));
    // The password given on the form is the account's.
    EXPECT_EQ(Send("View=Main&User=newbie&Password=pw-1"), "MAIN[newbie|]");
}

TEST_F(NewUserIntegrationTest, TheProgramGetsTheFormAsDataAndItsOutputIsShown)
{
    Domains("NewAccountExecutable=" + m_program + "\r\n");
    const std::string pwn = (m_tools.Path() / "pwn").string();
    const std::string fullName = "x\" ; touch " + pwn + " ; \"";
    EXPECT_EQ(Send(Form("carl", fullName) + "&LD_PRELOAD=" + Encode(pwn) + "&Extra=1&PATH=" + Encode(m_tools.Path())),
              "MAIN[carl|Mailbox made for carl.<BR>\r\n]");
    EXPECT_TRUE(Exists("carl"));
    EXPECT_FALSE(fs::exists(pwn));
    EXPECT_EQ(Tool("args.txt"), "carl\npw-1\n" + fullName + "\n");

    const std::string env = "\n" + Tool("env.txt");
    for (const std::string& present :
         {std::string("\nUser=carl\n"), std::string("\nPass=pw-1\n"), "\nFullName=" + fullName + "\n",
          std::string("\nPATH=/usr/local/bin:/usr/bin:/bin\n"), std::string("\nDOMAIN=")}) {
        EXPECT_NE(env.find(present), std::string::npos) << present;
    }
    for (const char* absent : {"\nLD_PRELOAD=", "\nExtra=", "\nPATH=/tmp"}) {
        EXPECT_EQ(env.find(absent), std::string::npos) << absent;
    }
}

// The program gets the user name as its first argument: a name like "--help" would reach it as an option.
TEST_F(NewUserIntegrationTest, ANameThatBeginsWithAHyphenNeverReachesTheProgram)
{
    Domains("NewAccountExecutable=" + m_program + "\r\n");
    for (const char* name : {"--help", "-rf", " -x", "-x@example.org"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(Send(Form(name)), "NEWUSER[Leading hyphen.|]");
        EXPECT_FALSE(fs::exists(m_tools.Path() / "args.txt")) << "the program ran";
        EXPECT_FALSE(Exists(name));
    }
    EXPECT_FALSE(Exists("-x"));
    EXPECT_FALSE(Exists("-x@example.org"));
    // Within a name a hyphen is as good as any letter.
    EXPECT_EQ(Send(Form("a-b")), "MAIN[a-b|Mailbox made for a-b.<BR>\r\n]");
}

TEST_F(NewUserIntegrationTest, AProgramThatFailsUndoesTheAccount)
{
    struct Case {
        const char* Settings;
        int Exit;
        const char* Ini;
    };

    const Case cases[] = {
            {"NewAccountReturnValue=1\r\n", 0, ""},
            {"", 3, ""},
            // Killed when it runs too long.
            {"", 0, "[AccountCreation]\r\nNewAccountTimeout=1\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.Settings) + std::to_string(c.Exit) + c.Ini);
        Domains("NewAccountExecutable=" + m_program + "\r\n" + c.Settings);
        if (*c.Ini != '\0') {
            ASSERT_TRUE(WriteIniString("AccountCreation", "NewAccountTimeout", "1"));
            m_tools.WriteFile("make-mailbox", "#!/bin/sh\nexec sleep 60\n");
        }
        SetExitCode(c.Exit);
        const std::string page = Send(Form("dora"));
        EXPECT_NE(page.find("|Mailbox failed.]"), std::string::npos) << page;
        EXPECT_FALSE(Exists("dora"));
    }
    EXPECT_EQ(m_harness.Manager().Count(), 0);
    // Once the program works the name can be had.
    m_tools.WriteFile("make-mailbox", kProgram);
    ASSERT_TRUE(WriteIniString("AccountCreation", "NewAccountTimeout", "60"));
    Domains("NewAccountExecutable=" + m_program + "\r\n");
    SetExitCode(0);
    EXPECT_EQ(Send(Form("dora")), "MAIN[dora|Mailbox made for dora.<BR>\r\n]");
}

TEST_F(NewUserIntegrationTest, TheAdministratorIsToldOfTheNewAccountByMail)
{
    qm::test::SmtpSink sink(m_tools.Path());
    const std::string started = sink.Start();
    ASSERT_EQ(started, "");
    const int port = sink.Port();

    ASSERT_TRUE(WriteIniString("AccountCreation", "NewUserNotification", "Yes"));
    ASSERT_TRUE(WriteIniString("Registration", "Administrator", "admin@test.example"));
    Domains("SmtpHost=127.0.0.1\r\nSmtpPort=" + std::to_string(port) + "\r\n");
    EXPECT_EQ(Send(Form("nina", "Nina N\r\nBcc: victim@else.example")), "MAIN[nina|]");

    ASSERT_TRUE(qm::test::WaitUntil([&] { return sink.HasReceived("message1.data"); })) << sink.Errors();
    const std::string mail = sink.Received("message1.data");
    for (const char* line :
         {"\nFrom: Quillmail Pro <>\r\n", "\nTo: Quillmail Administrator <admin@test.example>\r\n",
          "\nSubject: New Quillmail Account (nina)\r\n", "\r\n\r\nA new Quillmail account has been created.\r\n\r\n",
          "\nUser name : nina\r\n", "\nFull name : Nina N  Bcc: victim@else.example\r\n"}) {
        EXPECT_NE(mail.find(line), std::string::npos) << line << " in " << mail;
    }
    EXPECT_EQ(mail.rfind("Date: ", 0), 0u) << mail;
    // The sender is empty and the administrator the one recipient (the MAIL parameters are the client's own).
    const std::string envelope = sink.Received("message1.envelope");
    EXPECT_EQ(envelope.rfind("from <>\noptions ", 0), 0u) << envelope;
    EXPECT_TRUE(envelope.ends_with("\nrcpt admin@test.example\n")) << envelope;
    EXPECT_EQ(envelope.find("rcpt "), envelope.rfind("rcpt ")) << envelope;
    // The notification's file is gone from the temporary directory (where only the new session's own is left).
    for (const auto& entry : fs::directory_iterator(m_harness.Settings().TempDir())) {
        EXPECT_TRUE(entry.is_directory()) << entry.path();
    }
}

// The page does not tell that a directory keeps the account's password: the answer is that of a wrong password,
// and the log says why.
TEST_F(NewUserIntegrationTest, ALogonWhoseDirectoryCannotBeReachedIsAnsweredAsAWrongPassword)
{
    ASSERT_TRUE(LoadLdapLibrary());
    fs::create_directories(m_harness.Settings().UserDir("dave"));
    // Nothing listens on port 1 of the loopback address.
    WriteFile(m_harness.Settings().UserDir("dave") / "User.ini", "[User]\r\nPassword=*127.0.0.1:1\r\n");
    EXPECT_EQ(Send("View=Main&User=dave&Password=pw"), "LOGON[Bad logon.]");
    EXPECT_EQ(m_harness.Manager().Count(), 0);
    const std::string log = m_harness.Log();
    EXPECT_NE(log.find("Logon of user dave from 127.0.0.1 refused: its password could not be checked."),
              std::string::npos)
            << log;
    UnloadLdapLibrary();
}

} // namespace
} // namespace qm::engine
