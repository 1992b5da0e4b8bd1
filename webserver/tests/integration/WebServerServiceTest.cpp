// The web server under the service layer: started, reported running, stopped, reported stopped; killed and
// reported stopped; a second instance refused.
#include "platform/Service.h"
#include "webserver/tests/integration/WebServerHarness.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>

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

} // namespace
} // namespace qm::test
