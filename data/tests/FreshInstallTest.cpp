// A fresh `cmake --install`: both services registered, a random admin logon that only its owner can read, and the
// web administration behind it: another host gets none of its pages without the logon, and "/" leads to it with
// the logon. 127.0.0.2 stands for the other host.
#include "common/IniAccess.h"
#include "common/Scrambler.h"
#include "platform/Service.h"
#include "testsupport/FreePort.h"
#include "testsupport/Program.h"
#include "testsupport/ShmObjects.h"
#include "testsupport/TestInstallation.h"
#include "testsupport/WaitUntil.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qm::test {
namespace {

namespace fs = std::filesystem;

struct Reply {
    unsigned Status = 0;
    std::string Body;
};

// curl from 127.0.0.2 to the admin server.
Reply FromOtherHost(unsigned port, const std::string& path, const std::vector<std::string>& args = {})
{
    std::vector<std::string> argv = {"/usr/bin/curl", "-0", "-i",          "-sS",
                                     "--max-time",    "30", "--interface", "127.0.0.2"};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back("http://127.0.0.1:" + std::to_string(port) + path);
    const ProgramRun run = RunProgram(argv);
    EXPECT_TRUE(run.Succeeded()) << run.Errors;
    Reply reply;
    std::istringstream status(run.Output);
    std::string version;
    status >> version >> reply.Status;
    const std::size_t end = run.Output.find("\r\n\r\n");
    reply.Body = end == std::string::npos ? "" : run.Output.substr(end + 4);
    return reply;
}

// The value of a "Key=value" line.
std::string LineValue(const std::string& text, const std::string& key)
{
    const std::size_t at = text.find("\n" + key + "=");
    if (at == std::string::npos) {
        return "";
    }
    const std::size_t start = at + key.size() + 2;
    return text.substr(start, text.find_first_of("\r\n", start) - start);
}

class FreshInstallTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        if (m_started) {
            (void)StopService("QMAdmin", 20000);
        }
        (void)RemoveShmObjectsOf(m_install.Namespace());
    }

    TestInstallation m_install;
    bool m_started = false;
};

TEST_F(FreshInstallTest, RegistersBothServersAndGuardsTheAdministrationWithARandomLogon)
{
    m_install.ExportToProcess(); // this installation's service directory, for the service calls below
    std::string output;
    ASSERT_TRUE(m_install.InstallEverything(&output));

    // Both services are registered, each with its program, and each has its systemd unit.
    for (const auto& [service, program, unit] : {std::tuple{"Quillmail", "Quillmail", "quillmail.service"},
                                                 std::tuple{"QMAdmin", "Portico", "quillmail-admin.service"}}) {
        SCOPED_TRACE(service);
        Result<ServiceConfig> record = ReadServiceConfig(service);
        ASSERT_TRUE(record) << record.error().Message << "\n" << output;
        EXPECT_EQ(record->ProgramPath, m_install.Path(program));
        EXPECT_NE(m_install.ReadFile(unit).find("ExecStart=" + m_install.Path(program) + "\n"), std::string::npos);
    }

    // The logon is random, told only in a file of the owner's, and stored scrambled.
    const fs::path logonFile = m_install.Dir() / "AdminLogon.txt";
    ASSERT_TRUE(fs::is_regular_file(logonFile)) << output;
    EXPECT_EQ(fs::status(logonFile).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    const std::string logon = m_install.ReadFile("AdminLogon.txt");
    const std::string user = LineValue(logon, "User");
    const std::string password = LineValue(logon, "Password");
    ASSERT_GE(password.size(), 16u) << logon;
    EXPECT_NE(output.find(logonFile.string()), std::string::npos) << "the installation does not say where it is";
    EXPECT_EQ(output.find(password), std::string::npos) << "the password is in the installation's output";
    const std::string ini = m_install.IniPath();
    EXPECT_EQ(m_install.ReadFile("Quillmail.ini").find(password), std::string::npos);
    EXPECT_EQ(UnscramblePassword(ReadIniStringFile("AdminWebServer", "Auth", "", ini)), user + ":" + password);

    // The admin server on a port of the test's, started by the service layer as the console starts it.
    const unsigned port = test::PickFreePort();
    ASSERT_TRUE(WriteIniStringFile("AdminWebServer", "Port", std::to_string(port), ini));
    ASSERT_TRUE(WriteIniStringFile("AdminWebServer", "BindAddress", "127.0.0.1", ini));
    Result<int> started = StartService("QMAdmin");
    ASSERT_TRUE(started) << started.error().Message;
    m_started = true;
    ASSERT_TRUE(WaitUntil([&] {
        return m_install.ReadFile("Logs/Portico-admin.log").find("Portico is awaiting connections...") !=
               std::string::npos;
    })) << m_install.ReadFile("Logs/Portico-service.log");

    // Without the logon, another host gets no page, and the file editor writes nothing.
    const std::string domains = m_install.ReadFile("Domains.Ini");
    for (const char* path : {"/", "/cgi-bin/QMAdminCGI", "/cgi-bin/QMAdminCGI?View=Users", "/index.html"}) {
        SCOPED_TRACE(path);
        const Reply refused = FromOtherHost(port, path);
        EXPECT_EQ(refused.Status, 401u) << refused.Body;
        EXPECT_EQ(refused.Body.find("Quillmail administration"), std::string::npos);
    }
    const Reply edit = FromOtherHost(port, "/cgi-bin/QMAdminCGI",
                                     {"--data", "View=EditFile&Save=1&File=" + m_install.Path("Domains.Ini") +
                                                        "&Default:Settings:NewAccountExecutable=/usr/bin/env"});
    EXPECT_EQ(edit.Status, 401u) << edit.Body;
    EXPECT_EQ(m_install.ReadFile("Domains.Ini"), domains);

    // With it, "/" is the web administration's home page.
    const Reply home = FromOtherHost(port, "/", {"-u", user + ":" + password});
    EXPECT_EQ(home.Status, 200u) << home.Body;
    EXPECT_NE(home.Body.find("<TITLE>Quillmail administration: Home</TITLE>"), std::string::npos) << home.Body;

    ASSERT_TRUE(StopService("QMAdmin", 20000));
    m_started = false;
}

} // namespace
} // namespace qm::test
