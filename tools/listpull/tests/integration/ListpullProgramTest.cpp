// The program Listpull run as the administrator runs it, on an installation of its own.
#include "platform/IniFile.h"
#include "testsupport/Program.h"
#include "testsupport/TestInstallation.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace qm {
namespace {

namespace fs = std::filesystem;

test::ProgramRun RunListpull(std::vector<std::string> arguments)
{
    arguments.insert(arguments.begin(), QM_LISTPULL_PROGRAM);
    return test::RunProgram(arguments);
}

TEST(ListpullProgramTest, PrintsTheUsageAndExitsOneForACommandLineItCannotUse)
{
    const std::vector<std::vector<std::string>> cases{{},
                                                      {"/X=1"},
                                                      {"in.txt", "/opt/qm", "example.com", "/X=1"},
                                                      {"in.txt", "/opt/qm", "example.com", "more"},
                                                      {"/?"},
                                                      {"in.txt", "/opt/qm", "example.com", "/D=7"},
                                                      {"in.txt", "/opt/qm", "example.com", "/P=0"}};
    for (const auto& arguments : cases) {
        SCOPED_TRACE(arguments.empty() ? "(none)" : arguments.back());
        const test::ProgramRun run = RunListpull(arguments);
        ASSERT_TRUE(run.Started) << run.Errors;
        EXPECT_TRUE(run.Status.ExitedWith(1));
        EXPECT_EQ(run.Output.rfind("\nUsage: \n\n    Listpull InputFile QuillmailDir DomainName [/H=PopHost] "
                                   "[/P=PopPort] [/?]\n\n",
                                   0),
                  0u)
                << run.Output;
        EXPECT_NE(run.Output.find("\nExample:\n\n    Listpull "), std::string::npos);
    }
}

TEST(ListpullProgramTest, ReportsWhatItCannotFindAndExitsOne)
{
    test::TestInstallation install;
    const std::string input = install.WriteFile("users.txt", "ann\tAnn\tann\tpw\n");
    const test::ProgramRun noInput = RunListpull({install.Path("none.txt"), install.Dir().string(), "example.com"});
    EXPECT_TRUE(noInput.Status.ExitedWith(1));
    EXPECT_EQ(noInput.Output, "\nCould not find input file : " + install.Path("none.txt") + "\n");

    const test::ProgramRun noUsers = RunListpull({input, install.Dir().string() + "/", "example.com"});
    EXPECT_TRUE(noUsers.Status.ExitedWith(1));
    EXPECT_EQ(noUsers.Output, "\nCould not find Quillmail's users directory : " + install.Path("Users") + "\n");

    fs::create_directories(install.Path("Users"));
    const test::ProgramRun notAFile = RunListpull({install.Path("Users"), install.Dir().string(), "example.com"});
    EXPECT_TRUE(notAFile.Status.ExitedWith(1));
    EXPECT_EQ(notAFile.Output, "\nCould not open input file : " + install.Path("Users") + "\n");
}

TEST(ListpullProgramTest, MakesTheAccountsOfTheFileAndCountsThem)
{
    test::TestInstallation install;
    fs::create_directories(install.Path("Users"));
    const std::string input =
            install.WriteFile("users.txt", "ann\tAnn Smith\tasmith\tpw\nbob\tBob\tbob\tpw\tweb\nx\tonly\ttwo\n");
    const test::ProgramRun first =
            RunListpull({input, install.Dir().string() + "/", "example.com", "/h=pop.example.com", "/d=2"});
    EXPECT_TRUE(first.Succeeded()) << first.Output << first.Errors;
    EXPECT_EQ(first.Output, "Total input lines read : 3\nQuillmail accounts created : 2\n"
                            "Quillmail accounts already existing : 0\nQuillmail accounts refused : 0\n");
    const std::string userIni = install.Path("Users/ann/User.ini");
    EXPECT_EQ(platform::IniRead(userIni, "MailHost1", "Host"), "pop.example.com");
    EXPECT_EQ(platform::IniRead(userIni, "MailHost1", "Delete"), "2");
    EXPECT_EQ(platform::IniRead(userIni, "MailHost1", "Email"), "ann@example.com");

    const test::ProgramRun second = RunListpull({input, install.Dir().string(), "example.com"});
    EXPECT_TRUE(second.Succeeded());
    EXPECT_EQ(second.Output, "Total input lines read : 3\nQuillmail accounts created : 0\n"
                             "Quillmail accounts already existing : 2\nQuillmail accounts refused : 0\n");
}

} // namespace
} // namespace qm
