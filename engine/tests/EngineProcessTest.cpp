// The engine library across real processes: each engine, loader and window here is a process of its own that loads
// Quillmail.so (the test host program), as a web server, the console and the administration program do.
#include "engine/tests/EngineTestSupport.h"
#include "platform/ChildProcess.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <optional>
#include <sstream>
#include <string>

#include <unistd.h>

namespace qm::engine {
namespace {

using test::ReadFile;
using test::TempInstall;
using test::WriteFile;
namespace fs = std::filesystem;

// One host process with pipes to its standard input and output.
class Host {
public:
    Host(const TempInstall& install, const char* mode, std::vector<std::string> environment = {})
    {
        ChildOptions options;
        options.Argv = {QM_ENGINE_TEST_HOST, QM_ENGINE_LIBRARY, mode};
        options.Environment = environment.empty() ? install.Environment() : std::move(environment);
        options.Stdin = ChildStdio::Pipe();
        options.Stdout = ChildStdio::Pipe();
        auto child = ChildProcess::Start(options);
        EXPECT_TRUE(child) << child.error().Message;
        if (child) {
            m_child.emplace(std::move(*child));
        }
    }

    /// The next line of output, waiting up to timeout; "" at its end or on time-out.
    std::string ReadLine(std::chrono::milliseconds timeout = std::chrono::seconds(30))
    {
        return test::ReadLineFrom(m_child ? m_child->StdoutFd() : -1, m_buffer, timeout);
    }

    void Send(const std::string& line)
    {
        const std::string text = line + "\n";
        ASSERT_EQ(::write(m_child->StdinFd(), text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }

    ChildStatus Wait()
    {
        auto status = m_child->Wait(30000);
        EXPECT_TRUE(status);
        return status ? *status : ChildStatus{};
    }

    int Pid() const { return m_child->Pid(); }

private:
    std::optional<ChildProcess> m_child;
    std::string m_buffer;
};

class EngineProcessTest : public ::testing::Test {
protected:
    void SetUp() override { m_install.WriteIni("[General]\r\nLogLevel=3\r\n[Session]\r\nMaximum=20\r\n"); }

    TempInstall m_install;
};

TEST_F(EngineProcessTest, SecondEngineFailsAndLeavesTheFirstAndItsFilesAlone)
{
    Host first(m_install, "engine");
    ASSERT_EQ(first.ReadLine(), "startup 1");
    // A session's file of the running engine, which a second start-up must not empty away.
    fs::create_directories(m_install.Dir() / "Temp" / "SESSION");
    WriteFile(m_install.Dir() / "Temp" / "SESSION" / "compose.txt", "draft");

    // The second engine reads another log level, which must not reach the running one.
    m_install.WriteIni("[General]\r\nLogLevel=2\r\n[Session]\r\nMaximum=20\r\n");

    Host second(m_install, "engine");
    EXPECT_EQ(second.ReadLine(), "startup 0");
    EXPECT_TRUE(second.Wait().ExitedWith(3));
    EXPECT_EQ(ReadFile(m_install.Dir() / "Temp" / "SESSION" / "compose.txt"), "draft");
    EXPECT_NE(m_install.Log().find("Shared memory creation error 11."), std::string::npos) << m_install.Log();

    Host reader(m_install, "inspect");
    EXPECT_EQ(reader.ReadLine(), "ini " + m_install.IniPath());
    EXPECT_EQ(reader.ReadLine(), "loglevel 3");
    std::istringstream status(reader.ReadLine());
    std::string word;
    int startTime = 0;
    int maximum = 0;
    status >> word >> startTime;
    for (int i = 1; i <= 3; ++i) {
        status >> maximum;
    }
    EXPECT_GT(startTime, 0) << "the first engine's status is intact";
    EXPECT_EQ(maximum, 20);

    first.Send("stop");
    EXPECT_EQ(first.ReadLine(), "shutdown 1");
    EXPECT_TRUE(first.Wait().ExitedWith(0));
}

TEST_F(EngineProcessTest, LoaderWithoutStartUpSeesTheRunningEngine)
{
    Host engine(m_install, "engine");
    ASSERT_EQ(engine.ReadLine(), "startup 1");

    // A loader that would find another INI path keeps the one of the first process.
    std::vector<std::string> environment = m_install.Environment();
    for (std::string& entry : environment) {
        if (entry.rfind("QUILLMAIL_INI=", 0) == 0) {
            entry = "QUILLMAIL_INI=" + (m_install.Dir() / "Other.ini").string();
        }
    }
    Host reader(m_install, "inspect", environment);
    EXPECT_EQ(reader.ReadLine(), "ini " + m_install.IniPath());
    EXPECT_EQ(reader.ReadLine(), "loglevel 3");
    const std::string status = reader.ReadLine();
    EXPECT_EQ(status.substr(status.find(' ', 7)), " 0 0 20 0 0 0 0 0") << status;
    EXPECT_TRUE(reader.Wait().ExitedWith(0));

    engine.Send("stop");
    EXPECT_EQ(engine.ReadLine(), "shutdown 1");
}

TEST_F(EngineProcessTest, StartUpSucceedsAfterTheEngineWasKilled)
{
    {
        Host engine(m_install, "engine");
        ASSERT_EQ(engine.ReadLine(), "startup 1");
        ASSERT_EQ(::kill(engine.Pid(), SIGKILL), 0);
        EXPECT_EQ(engine.Wait().State, ChildState::Signalled);
    }
    Host next(m_install, "engine");
    EXPECT_EQ(next.ReadLine(), "startup 1");
    next.Send("stop");
    EXPECT_EQ(next.ReadLine(), "shutdown 1");
    EXPECT_TRUE(next.Wait().ExitedWith(0));
}

TEST_F(EngineProcessTest, RegisteredWindowOfAnotherProcessHearsTheShutDown)
{
    Host engine(m_install, "engine");
    ASSERT_EQ(engine.ReadLine(), "startup 1");
    Host window(m_install, "window");
    ASSERT_EQ(window.ReadLine(), "ready");

    engine.Send("stop");
    EXPECT_EQ(engine.ReadLine(), "shutdown 1");
    EXPECT_EQ(window.ReadLine(), "message 9904 9906");
    EXPECT_TRUE(window.Wait().ExitedWith(0));
}

} // namespace
} // namespace qm::engine
