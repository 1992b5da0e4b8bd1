// The web server under the service layer: started, reported running, stopped, reported stopped; killed and
// reported stopped; a second instance refused; the record installed and removed by the program itself.
#include "platform/Service.h"
#include "webserver/tests/integration/WebServerHarness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>

namespace qm::test {
namespace {

constexpr const char* kService = "Quillmail";

class WebServerServiceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_port = PickFreePort();
        m_installation.WriteIni(m_port);
        // The service layer of this process and of the server find the same records.
        setenv("QUILLMAIL_SVCDIR", m_installation.ServiceDir().c_str(), 1); // NOLINT(concurrency-mt-unsafe)
        ServiceConfig config;
        config.Name = kService;
        config.DisplayName = "Quillmail web server";
        config.ProgramPath = QM_WEBSERVER_PROGRAM;
        config.Environment = m_installation.ServerEnvironment();
        config.LogPath = m_installation.Path("service.log");
        ASSERT_TRUE(InstallService(config));
    }

    void TearDown() override
    {
        if (QueryService(kService).value_or(ServiceState::Stopped) != ServiceState::Stopped) {
            (void)StopService(kService, 20000);
        }
        unsetenv("QUILLMAIL_SVCDIR"); // NOLINT(concurrency-mt-unsafe)
    }

    void StartAndWaitUntilRunning()
    {
        ASSERT_TRUE(StartService(kService));
        const Result<ServiceState> state = WaitForServiceState(kService, ServiceState::Running, 30000);
        ASSERT_TRUE(state);
        ASSERT_EQ(*state, ServiceState::Running) << TempDir::ReadFile(m_installation.Path("service.log"));
        ASSERT_TRUE(WaitForListener(m_port, 5000));
    }

    WebInstallation m_installation;
    unsigned m_port = 0;
};

TEST_F(WebServerServiceTest, StartsReportsRunningStopsAndReportsStopped)
{
    StartAndWaitUntilRunning();
    EXPECT_EQ(QueryService(kService).value_or(ServiceState::Stopped), ServiceState::Running);
    EXPECT_EQ(Curl({"http://127.0.0.1:" + std::to_string(m_port) + "/mail/small"}).Body, "ok");

    const Result<StopOutcome> stopped = StopService(kService, 20000);
    ASSERT_TRUE(stopped);
    EXPECT_EQ(*stopped, StopOutcome::Stopped);
    EXPECT_EQ(QueryService(kService).value_or(ServiceState::Running), ServiceState::Stopped);
    EXPECT_EQ(m_installation.Marker(), "startup\nshutdown active=0\n");
    EXPECT_FALSE(WaitForListener(m_port, 200));
}

TEST_F(WebServerServiceTest, KilledServerIsReportedStopped)
{
    StartAndWaitUntilRunning();
    const Result<int> pid = FindServiceProcess(kService);
    ASSERT_TRUE(pid);
    ASSERT_EQ(kill(*pid, SIGKILL), 0);
    const Result<ServiceState> state = WaitForServiceState(kService, ServiceState::Stopped, 10000);
    ASSERT_TRUE(state);
    EXPECT_EQ(*state, ServiceState::Stopped);
}

TEST_F(WebServerServiceTest, SecondInstanceIsRefused)
{
    StartAndWaitUntilRunning();
    ChildOptions options;
    options.Argv = {QM_WEBSERVER_PROGRAM};
    options.Environment = m_installation.ServerEnvironment();
    options.Stderr = ChildStdio::Pipe();
    Result<ChildProcess> second = ChildProcess::Start(options);
    ASSERT_TRUE(second);
    std::string errors;
    const Result<ChildStatus> status = second->Communicate("", nullptr, &errors);
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->ExitedWith(3)) << errors;
    EXPECT_NE(errors.find("already running"), std::string::npos) << errors;
    EXPECT_EQ(QueryService(kService).value_or(ServiceState::Stopped), ServiceState::Running);
}

// The program's own --install and --remove, with the service directory of a temporary installation.
class WebServerServiceRecordTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_port = PickFreePort();
        m_installation.WriteIni(m_port);
        setenv("QUILLMAIL_SVCDIR", m_installation.ServiceDir().c_str(), 1); // NOLINT(concurrency-mt-unsafe)
    }

    void TearDown() override
    {
        if (QueryService(kService).value_or(ServiceState::Stopped) != ServiceState::Stopped) {
            (void)StopService(kService, 20000);
        }
        unsetenv("QUILLMAIL_SVCDIR"); // NOLINT(concurrency-mt-unsafe)
    }

    // Runs the program with one option; its exit code, and what it wrote on stderr in `errors`.
    int RunWith(const char* option, std::string* errors = nullptr)
    {
        ChildOptions options;
        options.Argv = {QM_WEBSERVER_PROGRAM, option};
        options.Environment = m_installation.ServerEnvironment();
        options.Stdout = ChildStdio::Pipe();
        options.Stderr = ChildStdio::Pipe();
        Result<ChildProcess> child = ChildProcess::Start(options);
        if (!child) {
            ADD_FAILURE() << child.error().Message;
            return -1;
        }
        std::string output;
        std::string stderrText;
        const Result<ChildStatus> status = child->Communicate("", &output, &stderrText);
        if (errors != nullptr) {
            *errors = stderrText;
        }
        if (!status || status->State != ChildState::Exited) {
            ADD_FAILURE() << option << " did not exit: " << stderrText;
            return -1;
        }
        return status->Code;
    }

    WebInstallation m_installation;
    unsigned m_port = 0;
};

TEST_F(WebServerServiceRecordTest, InstallWritesARecordTheServiceLayerStartsAndRemoveDeletesIt)
{
    ASSERT_FALSE(IsServiceInstalled(kService));
    ASSERT_EQ(RunWith("--install"), 0);
    ASSERT_EQ(RunWith("--install"), 0) << "installing again replaces the record";
    const Result<ServiceConfig> record = ReadServiceConfig(kService);
    ASSERT_TRUE(record);
    EXPECT_EQ(std::filesystem::path(record->ProgramPath), std::filesystem::canonical(QM_WEBSERVER_PROGRAM));
    EXPECT_TRUE(record->Arguments.empty());
    const std::string ini = "QUILLMAIL_INI=" + m_installation.IniPath();
    EXPECT_NE(std::find(record->Environment.begin(), record->Environment.end(), ini), record->Environment.end());

    // Started through the service layer from that record alone, the server serves.
    ASSERT_TRUE(StartService(kService));
    const Result<ServiceState> state = WaitForServiceState(kService, ServiceState::Running, 30000);
    ASSERT_TRUE(state);
    ASSERT_EQ(*state, ServiceState::Running) << TempDir::ReadFile(record->LogPath);
    ASSERT_TRUE(WaitForListener(m_port, 5000));
    EXPECT_EQ(Curl({"http://127.0.0.1:" + std::to_string(m_port) + "/mail/small"}).Body, "ok");
    ASSERT_TRUE(StopService(kService, 20000));

    EXPECT_EQ(RunWith("--remove"), 0);
    EXPECT_FALSE(IsServiceInstalled(kService));
    std::string errors;
    EXPECT_EQ(RunWith("--remove", &errors), 1) << "nothing left to remove";
    EXPECT_FALSE(errors.empty());
    EXPECT_EQ(RunWith("--bogus", &errors), 2) << errors;
}

} // namespace
} // namespace qm::test
