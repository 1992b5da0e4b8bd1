#include "platform/Service.h"

#include "platform/ChildProcess.h"
#include "testsupport/TempDir.h"
#include "testsupport/WaitUntil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <poll.h>
#include <signal.h>
#include <unistd.h>

namespace qm {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kSettleMs = 10000; // generous: the program under test is built with sanitizers

const char* StateName(ServiceState state)
{
    switch (state) {
    case ServiceState::Stopped:
        return "stopped";
    case ServiceState::StartPending:
        return "start pending";
    case ServiceState::Running:
        return "running";
    case ServiceState::StopPending:
        return "stop pending";
    }
    return "?";
}

std::string ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_dir = m_temp.Path();
        ::setenv("QUILLMAIL_SVCDIR", (m_dir / "services").c_str(), 1);
    }

    void TearDown() override
    {
        for (const std::string& name : m_started) {
            if (auto pid = FindServiceProcess(name)) {
                ::kill(*pid, SIGKILL);
            }
        }
        ::unsetenv("QUILLMAIL_SVCDIR");
    }

    // Installs the test program as the service NAME with the given extra arguments.
    ServiceConfig InstallProgram(const std::string& name, std::vector<std::string> extra = {})
    {
        ServiceConfig config;
        config.Name = name;
        config.DisplayName = name + " test service";
        config.ProgramPath = QM_TEST_SERVICE_PROGRAM;
        config.Arguments = {name};
        config.Arguments.insert(config.Arguments.end(), extra.begin(), extra.end());
        config.Environment = {"QM_TEST_MARK=service env", "LANG=C"};
        config.LogPath = (m_dir / (name + ".log")).string();
        auto installed = InstallService(config);
        EXPECT_TRUE(installed) << installed.error().Message;
        return config;
    }

    int StartAndAwait(const std::string& name, ServiceState wanted = ServiceState::Running)
    {
        m_started.push_back(name);
        auto pid = StartService(name);
        EXPECT_TRUE(pid) << pid.error().Message;
        if (!pid) {
            return -1;
        }
        ExpectState(name, wanted);
        return *pid;
    }

    void ExpectState(const std::string& name, ServiceState wanted)
    {
        auto state = WaitForServiceState(name, wanted, kSettleMs);
        ASSERT_TRUE(state) << state.error().Message;
        EXPECT_EQ(*state, wanted) << "got " << StateName(*state) << ", want " << StateName(wanted);
    }

    test::TempDir m_temp{"qmsvc"};
    fs::path m_dir;
    std::vector<std::string> m_started;
};

TEST_F(ServiceTest, InstallRecordsTheServiceAndRemoveDeletesIt)
{
    ServiceConfig config;
    config.Name = "QMAdmin";
    config.DisplayName = "Quillmail Admin";
    config.ProgramPath = "/opt/quill mail/Portico";
    config.Arguments = {"two words", "line\nbreak", "back\\slash", "", "tail\\n"};
    config.Environment = {"A=1", "QUILLMAIL_INI=/x y/Quillmail.ini"};
    config.LogPath = "/tmp/portico.log";
    ASSERT_TRUE(InstallService(config));

    auto read = ReadServiceConfig("qmadmin"); // names match without regard to case
    ASSERT_TRUE(read) << read.error().Message;
    EXPECT_EQ(read->Name, config.Name);
    EXPECT_EQ(read->DisplayName, config.DisplayName);
    EXPECT_EQ(read->ProgramPath, config.ProgramPath);
    EXPECT_EQ(read->Arguments, config.Arguments);
    EXPECT_EQ(read->Environment, config.Environment);
    EXPECT_EQ(read->LogPath, config.LogPath);
    EXPECT_TRUE(IsServiceInstalled("QMADMIN"));
    EXPECT_FALSE(IsServiceInstalled("Quillmail"));

    auto again = InstallService(config);
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error().Code, EEXIST);

    ASSERT_TRUE(RemoveService("QMAdmin"));
    EXPECT_FALSE(IsServiceInstalled("QMAdmin"));
    auto gone = RemoveService("QMAdmin");
    ASSERT_FALSE(gone);
    EXPECT_EQ(gone.error().Code, ENOENT);
    auto missing = ReadServiceConfig("QMAdmin");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().Code, ENOENT);
}

TEST_F(ServiceTest, InstallRefusesBadRecords)
{
    struct Case {
        const char* Why;
        std::string Name;
        std::string Program;
        std::string Env;
    };

    const Case cases[] = {
            {"empty name", "", "/bin/true", "A=1"},
            {"slash in the name", "a/b", "/bin/true", "A=1"},
            {"dot dot", "..", "/bin/true", "A=1"},
            {"leading dot", ".hidden", "/bin/true", "A=1"},
            {"space in the name", "two words", "/bin/true", "A=1"},
            {"name too long", std::string(65, 'n'), "/bin/true", "A=1"},
            {"relative program", "Svc", "bin/true", "A=1"},
            {"NUL in the program", "Svc", std::string("/bin/tr\0ue", 10), "A=1"},
            {"environment without '='", "Svc", "/bin/true", "NOEQUALS"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Why);
        ServiceConfig config;
        config.Name = c.Name;
        config.ProgramPath = c.Program;
        config.Environment = {c.Env};
        auto installed = InstallService(config);
        ASSERT_FALSE(installed);
        EXPECT_EQ(installed.error().Code, EINVAL);
    }
    EXPECT_TRUE(fs::is_empty(m_dir) || !fs::exists(m_dir / "services") || fs::is_empty(m_dir / "services"));
}

TEST_F(ServiceTest, StartsQueriesAndStopsAService)
{
    fs::path facts = m_dir / "facts.txt";
    ServiceConfig config = InstallProgram("Quillmail", {"two words", "--write", facts.string()});
    auto before = QueryService("Quillmail");
    ASSERT_TRUE(before);
    EXPECT_EQ(*before, ServiceState::Stopped);

    int pid = StartAndAwait("Quillmail");
    ASSERT_GT(pid, 0);
    auto found = FindServiceProcess("QUILLMAIL");
    ASSERT_TRUE(found) << found.error().Message;
    EXPECT_EQ(*found, pid);
    EXPECT_NE(::getsid(pid), ::getsid(0)) << "the service runs in a session of its own";

    // The program got exactly its arguments and the recorded environment, plus where its lock lives and which
    // service it runs as.
    std::string want =
            std::to_string(pid) + "\narg:" + QM_TEST_SERVICE_PROGRAM +
            "\narg:Quillmail\narg:two words\narg:--write\narg:" + facts.string() +
            "\nenv:QM_TEST_MARK=service env\nenv:LANG=C\nenv:QUILLMAIL_SVCDIR=" + (m_dir / "services").string() +
            "\nenv:QUILLMAIL_SERVICE=Quillmail\n";
    EXPECT_TRUE(test::WaitUntil([&] { return ReadFile(facts) == want; })) << ReadFile(facts);

    auto again = StartService("Quillmail");
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error().Code, kServiceAlreadyRunning);

    auto stopped = StopService("Quillmail", kSettleMs);
    ASSERT_TRUE(stopped) << stopped.error().Message;
    EXPECT_EQ(*stopped, StopOutcome::Stopped);
    auto after = QueryService("Quillmail");
    ASSERT_TRUE(after);
    EXPECT_EQ(*after, ServiceState::Stopped);
    EXPECT_EQ(ReadFile(config.LogPath), "started Quillmail\nstop requested\n");

    auto notRunning = StopService("Quillmail");
    ASSERT_FALSE(notRunning);
    EXPECT_EQ(notRunning.error().Code, kServiceNotRunning);

    // It starts again after a stop.
    int second = StartAndAwait("Quillmail");
    EXPECT_GT(second, 0);
    EXPECT_NE(second, pid);
    ASSERT_TRUE(StopService("Quillmail", kSettleMs));
}

TEST_F(ServiceTest, KilledServiceIsReportedStopped)
{
    InstallProgram("QMAdmin");
    int pid = StartAndAwait("QMAdmin");
    ASSERT_GT(pid, 0);
    ASSERT_EQ(::kill(pid, SIGKILL), 0);
    ExpectState("QMAdmin", ServiceState::Stopped);
    auto found = FindServiceProcess("QMAdmin");
    ASSERT_FALSE(found);
    EXPECT_EQ(found.error().Code, kServiceNotRunning);

    // A killed service starts again: its lock file was left behind but is not held.
    EXPECT_GT(StartAndAwait("QMAdmin"), 0);
}

TEST_F(ServiceTest, StopKillsAServiceThatIgnoresSigterm)
{
    InstallProgram("Stubborn", {"--ignore-stop"});
    ASSERT_GT(StartAndAwait("Stubborn"), 0);

    ASSERT_TRUE(RequestServiceStop("Stubborn"));
    ExpectState("Stubborn", ServiceState::StopPending);

    auto start = Clock::now();
    auto stopped = StopService("Stubborn", 300);
    ASSERT_TRUE(stopped) << stopped.error().Message;
    EXPECT_EQ(*stopped, StopOutcome::Killed);
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(), 5000);
    auto state = QueryService("Stubborn");
    ASSERT_TRUE(state);
    EXPECT_EQ(*state, ServiceState::Stopped);
}

TEST_F(ServiceTest, StoppedOnceTheLockIsReleasedThoughTheProcessLingers)
{
    InstallProgram("Lingering", {"--linger", "30000"});
    int pid = StartAndAwait("Lingering");
    ASSERT_GT(pid, 0);
    auto start = Clock::now();
    auto stopped = StopService("Lingering", kSettleMs);
    ASSERT_TRUE(stopped) << stopped.error().Message;
    EXPECT_EQ(*stopped, StopOutcome::Stopped);
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(), kSettleMs / 2);
    EXPECT_EQ(::kill(pid, 0), 0) << "the program should still be finishing";
    auto state = QueryService("Lingering");
    ASSERT_TRUE(state);
    EXPECT_EQ(*state, ServiceState::Stopped) << "got " << StateName(*state);
    ::kill(pid, SIGKILL);
}

TEST_F(ServiceTest, StaysStartPendingUntilTheProgramReportsRunning)
{
    InstallProgram("Slow", {"--no-report"});
    ASSERT_GT(StartAndAwait("Slow", ServiceState::StartPending), 0);
    auto found = FindServiceProcess("Slow");
    ASSERT_TRUE(found) << found.error().Message;
    auto stopped = StopService("Slow", kSettleMs);
    ASSERT_TRUE(stopped) << stopped.error().Message;
    EXPECT_EQ(*stopped, StopOutcome::Stopped);
}

TEST_F(ServiceTest, SecondInstanceRefusesToRun)
{
    InstallProgram("QMAdmin");
    int pid = StartAndAwait("QMAdmin");
    ASSERT_GT(pid, 0);

    // The same program started by hand.
    ChildOptions options;
    options.Argv = {QM_TEST_SERVICE_PROGRAM, "QMAdmin"};
    options.Environment = {"QUILLMAIL_SVCDIR=" + (m_dir / "services").string()};
    options.Stderr = ChildStdio::Pipe();
    auto child = ChildProcess::Start(options);
    ASSERT_TRUE(child) << child.error().Message;
    std::string err;
    auto status = child->Communicate({}, nullptr, &err, {kSettleMs, 4096});
    ASSERT_TRUE(status) << status.error().Message;
    EXPECT_TRUE(status->ExitedWith(2)) << "got state " << static_cast<int>(status->State) << " code " << status->Code
                                       << ": " << err;
    EXPECT_NE(err.find("already running"), std::string::npos) << err;

    // And from this process, whatever the spelling of the name.
    bool ran = false;
    auto refused = RunService("qmadmin", [&](ServiceControl&) {
        ran = true;
        return 0;
    });
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().Code, kServiceAlreadyRunning);
    EXPECT_FALSE(ran);

    auto found = FindServiceProcess("QMAdmin");
    ASSERT_TRUE(found);
    EXPECT_EQ(*found, pid) << "the first instance must be untouched";
}

TEST_F(ServiceTest, StartFailuresAreReported)
{
    auto notInstalled = StartService("Quillmail");
    ASSERT_FALSE(notInstalled);
    EXPECT_EQ(notInstalled.error().Code, ENOENT);

    ServiceConfig config;
    config.Name = "Quillmail";
    config.ProgramPath = (m_dir / "no-such-program").string();
    ASSERT_TRUE(InstallService(config));
    auto missing = StartService("Quillmail");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().Code, ENOENT) << missing.error().Message;
    auto state = QueryService("Quillmail");
    ASSERT_TRUE(state);
    EXPECT_EQ(*state, ServiceState::Stopped);

    auto badName = QueryService("../etc");
    ASSERT_FALSE(badName);
    EXPECT_EQ(badName.error().Code, EINVAL);
}

TEST_F(ServiceTest, DispatcherReportsStatesAndHandsOverTheStopSignal)
{
    struct sigaction before {};

    ::sigaction(SIGTERM, nullptr, &before);
    std::atomic<int> stopCalls{0};
    std::vector<ServiceState> seen;
    auto look = [&] {
        auto state = QueryService("InProcess");
        seen.push_back(state ? *state : ServiceState::Stopped);
    };

    auto result = RunService(
            "InProcess",
            [&](ServiceControl& control) {
                look();
                control.ReportRunning();
                look();
                EXPECT_FALSE(control.StopRequested());
                ::kill(::getpid(), SIGTERM);
                pollfd stop{control.StopFd(), POLLIN, 0};
                EXPECT_EQ(::poll(&stop, 1, kSettleMs), 1);
                EXPECT_TRUE(control.StopRequested());
                look();
                control.ReportRunning(); // too late: a stop is pending
                look();
                EXPECT_TRUE(test::WaitUntil([&] { return stopCalls > 0; }));
                return 7;
            },
            [&] { ++stopCalls; });
    ASSERT_TRUE(result) << result.error().Message;
    EXPECT_EQ(*result, 7);
    EXPECT_EQ(stopCalls, 1);
    const std::vector<ServiceState> want = {ServiceState::StartPending, ServiceState::Running,
                                            ServiceState::StopPending, ServiceState::StopPending};
    EXPECT_EQ(seen, want);
    auto after = QueryService("InProcess");
    ASSERT_TRUE(after);
    EXPECT_EQ(*after, ServiceState::Stopped);

    struct sigaction restored {};

    ::sigaction(SIGTERM, nullptr, &restored);
    EXPECT_EQ(restored.sa_handler, before.sa_handler) << "the dispatcher must restore the SIGTERM handling";
}

TEST_F(ServiceTest, StartedAsServiceWhenTheVariableNamesIt)
{
    struct Case {
        const char* Value; // nullptr: unset
        bool Admin;
    };

    const Case cases[] = {{nullptr, false},     {"", false},         {"QMAdmin", true}, {"qmadmin", true},
                          {"Quillmail", false}, {"QMAdmin2", false}, {"QMAdmi", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Value == nullptr ? "(unset)" : c.Value);
        if (c.Value == nullptr) {
            ::unsetenv(kServiceNameVariable);
        } else {
            ::setenv(kServiceNameVariable, c.Value, 1);
        }
        EXPECT_EQ(StartedAsService("QMAdmin"), c.Admin);
    }
    ::unsetenv(kServiceNameVariable);
}

TEST_F(ServiceTest, ServiceDirectoryComesFromTheEnvironment)
{
    EXPECT_EQ(ServiceDirectory(), (m_dir / "services").string());
    ::setenv("QUILLMAIL_SVCDIR", "", 1);
    EXPECT_EQ(ServiceDirectory(), "/var/lib/quillmail/services");
    ::unsetenv("QUILLMAIL_SVCDIR");
    EXPECT_EQ(ServiceDirectory(), "/var/lib/quillmail/services");
}

} // namespace
} // namespace qm
