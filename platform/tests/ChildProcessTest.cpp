#include "platform/ChildProcess.h"

#include "platform/ProgramPath.h"
#include "testsupport/TempDir.h"
#include "testsupport/WaitUntil.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

namespace qm {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

using test::TempDir;

std::string ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

ChildOptions Options(std::vector<std::string> argv)
{
    ChildOptions options;
    options.Argv = std::move(argv);
    return options;
}

// Runs the child with stdout captured, and returns its output; the status goes to *status.
std::string Capture(ChildOptions options, ChildStatus* status = nullptr)
{
    options.Stdout = ChildStdio::Pipe();
    auto child = ChildProcess::Start(options);
    EXPECT_TRUE(child) << child.error().Message;
    if (!child) {
        return {};
    }
    std::string out;
    auto done = child->Communicate({}, &out, nullptr, {10000, 1 << 20});
    EXPECT_TRUE(done) << done.error().Message;
    if (done && status != nullptr) {
        *status = *done;
    }
    return out;
}

long long MsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST(ChildProcessTest, PassesArgumentsUnchangedWithoutAShell)
{
    const std::vector<std::string> args = {"a b", "it's",      "\"quoted\"",  "",          "$HOME",
                                           "*",   "; echo no", "back\\slash", "tab\there", "line\nbreak"};
    std::vector<std::string> argv = {"/usr/bin/printf", "[%s]\\n"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string want;
    for (const std::string& arg : args) {
        want += "[" + arg + "]\n";
    }
    EXPECT_EQ(Capture(Options(argv)), want);
}

TEST(ChildProcessTest, EnvironmentIsExactlyTheGivenOne)
{
    ::setenv("QM_PARENT_ONLY", "leak", 1);

    struct Case {
        std::vector<std::string> Env;
        std::string Want;
    };

    const Case cases[] = {
            {{}, ""},
            {{"A=1", "SPACED=x y", "EMPTY="}, "A=1\nSPACED=x y\nEMPTY=\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Want);
        ChildOptions options = Options({"/usr/bin/env"});
        options.Environment = c.Env;
        EXPECT_EQ(Capture(options), c.Want);
    }
    ::unsetenv("QM_PARENT_ONLY");
}

TEST(ChildProcessTest, EnvironmentBlockSplitsAtNulsAndEndsAtEmptyEntry)
{
    using namespace std::string_view_literals;
    EXPECT_EQ(EnvironmentFromBlock("A=1\0B=x y\0\0C=after\0"sv), (std::vector<std::string>{"A=1", "B=x y"}));
    EXPECT_EQ(EnvironmentFromBlock("NOEQUALS\0=bad\0D=\0\0"sv), (std::vector<std::string>{"D="}));
    EXPECT_EQ(EnvironmentFromBlock("E=unterminated"sv), (std::vector<std::string>{"E=unterminated"}));
    EXPECT_TRUE(EnvironmentFromBlock(""sv).empty());

    ChildOptions options = Options({"/bin/sh", "-c", "echo \"$REQUEST_METHOD $QUERY_STRING\""});
    options.Environment = EnvironmentFromBlock("REQUEST_METHOD=GET\0QUERY_STRING=a=1&b=2\0\0"sv);
    EXPECT_EQ(Capture(options), "GET a=1&b=2\n");
}

TEST(ChildProcessTest, InheritedDescriptorsAreNotVisibleInTheChild)
{
    TempDir dir;
    int leaked = ::open((dir.Path() / "leak").c_str(), O_CREAT | O_RDWR, 0600); // no O_CLOEXEC
    ASSERT_GE(leaked, 0);
    ASSERT_EQ(::dup2(leaked, 100), 100);

    // 3 is the descriptor through which ls reads the directory; nothing of the parent's may show.
    std::string listing = Capture(Options({"/bin/ls", "/proc/self/fd"}));
    EXPECT_EQ(listing, "0\n1\n2\n3\n") << "got " << listing << ", want 0 1 2 3";
    ::close(100);
    ::close(leaked);
}

TEST(ChildProcessTest, ReportsExitCodesAndSignals)
{
    struct Case {
        const char* Script;
        ChildState State;
        int Code;
    };

    const Case cases[] = {
            {"exit 0", ChildState::Exited, 0},
            {"exit 3", ChildState::Exited, 3},
            {"exit 255", ChildState::Exited, 255},
            {"kill -KILL $$", ChildState::Signalled, SIGKILL},
            {"kill -SEGV $$", ChildState::Signalled, SIGSEGV},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Script);
        auto status = ChildProcess::Run(Options({"/bin/sh", "-c", c.Script}), 10000);
        ASSERT_TRUE(status) << status.error().Message;
        EXPECT_EQ(status->State, c.State);
        EXPECT_EQ(status->Code, c.Code);
    }
}

TEST(ChildProcessTest, StandardStreamsTakeFilesDescriptorsAndNull)
{
    TempDir dir;
    fs::path input = dir.Path() / "in.txt";
    std::ofstream(input) << "from the input file\n";

    int errFd = ::open((dir.Path() / "err.txt").c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(errFd, 0);
    ChildOptions options = Options({"/bin/sh", "-c", "cat; echo to-err >&2"});
    options.Stdin = ChildStdio::File(input.string());
    options.Stdout = ChildStdio::File((dir.Path() / "out.txt").string());
    options.Stderr = ChildStdio::Fd(errFd);
    auto status = ChildProcess::Run(options, 10000);
    ::close(errFd);
    ASSERT_TRUE(status) << status.error().Message;
    EXPECT_TRUE(status->ExitedWith(0));
    EXPECT_EQ(ReadFile(dir.Path() / "out.txt"), "from the input file\n");
    EXPECT_EQ(ReadFile(dir.Path() / "err.txt"), "to-err\n");

    // Appending keeps what was there; a null stdin reads end-of-file at once.
    options.Stdin = ChildStdio::Null();
    options.Argv = {"/bin/sh", "-c", "cat; echo second"};
    options.Stdout = ChildStdio::File((dir.Path() / "out.txt").string(), FileMode::Append);
    options.Stderr = ChildStdio::Null();
    status = ChildProcess::Run(options, 10000);
    ASSERT_TRUE(status) << status.error().Message;
    EXPECT_EQ(ReadFile(dir.Path() / "out.txt"), "from the input file\nsecond\n");
}

TEST(ChildProcessTest, RunsInTheGivenWorkingDirectory)
{
    TempDir dir;
    ChildOptions options = Options({"/bin/pwd"});
    options.WorkingDirectory = dir.Path().string();
    EXPECT_EQ(Capture(options), fs::canonical(dir.Path()).string() + "\n");
}

TEST(ChildProcessTest, StartFailuresAreReported)
{
    TempDir dir;

    struct Case {
        const char* Name;
        ChildOptions Options;
        int Code;
    };

    ChildOptions missing = Options({"/nonexistent/program"});
    ChildOptions notExecutable = Options({(dir.Path() / "plain").string()});
    std::ofstream(dir.Path() / "plain") << "not a program\n";
    ChildOptions badDir = Options({"/bin/true"});
    badDir.WorkingDirectory = (dir.Path() / "missing").string();
    ChildOptions badEnv = Options({"/bin/true"});
    badEnv.Environment = {"NOEQUALS"};
    ChildOptions nulArg = Options({"/bin/echo", std::string("a\0b", 3)});
    ChildOptions empty;
    ChildOptions badFile = Options({"/bin/true"});
    badFile.Stdin = ChildStdio::File((dir.Path() / "no-such-input").string());

    const Case cases[] = {
            {"missing program", missing, ENOENT},    {"not executable", notExecutable, EACCES},
            {"missing directory", badDir, ENOENT},   {"environment entry without '='", badEnv, EINVAL},
            {"NUL in an argument", nulArg, EINVAL},  {"no argv", empty, EINVAL},
            {"missing input file", badFile, ENOENT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        auto child = ChildProcess::Start(c.Options);
        ASSERT_FALSE(child);
        EXPECT_EQ(child.error().Code, c.Code) << child.error().Message;
    }
}

TEST(ChildProcessTest, TimeLimitKillsAHangingChild)
{
    auto start = Clock::now();
    auto status = ChildProcess::Run(Options({"/bin/sleep", "30"}), 300);
    ASSERT_TRUE(status) << status.error().Message;
    EXPECT_EQ(status->State, ChildState::TimedOut);
    EXPECT_LT(MsSince(start), 3000);

    auto child = ChildProcess::Start(Options({"/bin/sleep", "30"}));
    ASSERT_TRUE(child) << child.error().Message;
    start = Clock::now();
    auto waited = child->Wait(200);
    ASSERT_TRUE(waited);
    EXPECT_EQ(waited->State, ChildState::TimedOut);
    EXPECT_GE(MsSince(start), 150);
    auto killed = child->Kill();
    ASSERT_TRUE(killed);
    EXPECT_EQ(killed->State, ChildState::Signalled);
    EXPECT_EQ(killed->Code, SIGTERM);
    EXPECT_EQ(::kill(child->Pid(), 0), -1) << "the child must be reaped";
    EXPECT_LT(MsSince(start), 3000);
}

TEST(ChildProcessTest, KillEscalatesToSigkillAndReachesTheGroup)
{
    // The shell ignores SIGTERM and so does the sleep it leaves behind; both are in the child's own group.
    ChildOptions options = Options({"/bin/sh", "-c", "trap '' TERM; /bin/sleep 30 & echo $!; wait"});
    options.Group = ProcessGroup::NewGroup;
    options.Stdout = ChildStdio::Pipe();
    auto child = ChildProcess::Start(options);
    ASSERT_TRUE(child) << child.error().Message;

    std::string line;
    char c;
    while (::read(child->StdoutFd(), &c, 1) == 1 && c != '\n') {
        line += c;
    }
    int grandchild = std::atoi(line.c_str());
    ASSERT_GT(grandchild, 0) << "got '" << line << "'";

    auto start = Clock::now();
    auto killed = child->Kill(300);
    ASSERT_TRUE(killed);
    EXPECT_EQ(killed->State, ChildState::Signalled);
    EXPECT_EQ(killed->Code, SIGKILL);
    EXPECT_LT(MsSince(start), 3000);
    // The grandchild was reparented: it is reaped elsewhere, or stays a zombie where nobody reaps.
    const bool gone = test::WaitUntil([grandchild] {
        std::ifstream stat("/proc/" + std::to_string(grandchild) + "/stat");
        std::string text;
        std::getline(stat, text);
        return text.empty() || text.find(") Z") != std::string::npos;
    });
    EXPECT_TRUE(gone) << "the grandchild " << grandchild << " still runs";
}

TEST(ChildProcessTest, DestructorKillsAndReapsARunningChild)
{
    int pid = -1;
    auto start = Clock::now();
    {
        auto child = ChildProcess::Start(Options({"/bin/sleep", "30"}));
        ASSERT_TRUE(child) << child.error().Message;
        pid = child->Pid();
        ChildProcess moved = std::move(*child); // the moved-from object owns nothing
    }
    EXPECT_EQ(::kill(pid, 0), -1) << "got a live or zombie child " << pid;
    EXPECT_LT(MsSince(start), 3000);
}

TEST(ChildProcessTest, RoundTripsOneMebibyteThroughCat)
{
    std::string input(1 << 20, '\0');
    for (std::size_t i = 0; i < input.size(); ++i) {
        input[i] = static_cast<char>((i * 131 + i / 7) & 0xff);
    }
    ChildOptions options = Options({"/bin/cat"});
    options.Stdin = ChildStdio::Pipe();
    options.Stdout = ChildStdio::Pipe();
    auto child = ChildProcess::Start(options);
    ASSERT_TRUE(child) << child.error().Message;
    std::string out;
    auto status = child->Communicate(input, &out, nullptr, {20000, 2 << 20});
    ASSERT_TRUE(status) << status.error().Message;
    EXPECT_TRUE(status->ExitedWith(0));
    EXPECT_EQ(out.size(), input.size());
    EXPECT_TRUE(out == input) << "the output differs from the input";
}

TEST(ChildProcessTest, CommunicateCapturesBothStreamsAndSurvivesAnEarlyClosedInput)
{
    ChildOptions options = Options({"/bin/sh", "-c", "head -c 10 >/dev/null; echo out; echo err >&2; exit 4"});
    options.Stdin = ChildStdio::Pipe();
    options.Stdout = ChildStdio::Pipe();
    options.Stderr = ChildStdio::Pipe();
    auto child = ChildProcess::Start(options);
    ASSERT_TRUE(child) << child.error().Message;
    std::string out;
    std::string err;
    auto status = child->Communicate(std::string(4 << 20, 'x'), &out, &err, {10000, 1024});
    ASSERT_TRUE(status) << status.error().Message;
    EXPECT_TRUE(status->ExitedWith(4)) << "got state " << static_cast<int>(status->State) << " code " << status->Code;
    EXPECT_EQ(out, "out\n");
    EXPECT_EQ(err, "err\n");
}

TEST(ChildProcessTest, CommunicateStopsAtItsLimits)
{
    ChildOptions options = Options({"/bin/sh", "-c", "echo partial; exec /bin/sleep 30"});
    options.Stdout = ChildStdio::Pipe();
    auto child = ChildProcess::Start(options);
    ASSERT_TRUE(child) << child.error().Message;
    std::string out;
    auto start = Clock::now();
    auto status = child->Communicate({}, &out, nullptr, {300, 1024});
    ASSERT_TRUE(status) << status.error().Message;
    EXPECT_EQ(status->State, ChildState::TimedOut);
    EXPECT_EQ(out, "partial\n");
    EXPECT_LT(MsSince(start), 3000);

    options.Argv = {"/bin/sh", "-c", "head -c 5000 /dev/zero; exec /bin/sleep 30"};
    child = ChildProcess::Start(options);
    ASSERT_TRUE(child) << child.error().Message;
    out.clear();
    status = child->Communicate({}, &out, nullptr, {10000, 4096});
    ASSERT_FALSE(status);
    EXPECT_EQ(status.error().Code, EFBIG);
    EXPECT_EQ(out.size(), 4096u);
    auto after = child->Wait(0);
    ASSERT_TRUE(after);
    EXPECT_NE(after->State, ChildState::TimedOut) << "the child must have been killed";
}

TEST(ChildProcessTest, DropsToTheGivenUserWhenRoot)
{
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root";
    }
    ChildOptions options = Options({"/bin/sh", "-c", "echo $(id -u) $(id -g) $(id -G)"});
    options.Environment = {"PATH=/usr/bin:/bin"};
    options.User = RunAsUser{65534, 65534, {}};
    EXPECT_EQ(Capture(options), "65534 65534 65534\n");

    options.User = RunAsUser{65534, 65534, {65534, 4}};
    EXPECT_EQ(Capture(options), "65534 65534 65534 4\n"); // id -G lists the primary group first
}

TEST(ChildProcessTest, LooksUpUsers)
{
    auto root = LookupUser("root");
    ASSERT_TRUE(root) << root.error().Message;
    EXPECT_EQ(root->Uid, 0u);
    EXPECT_EQ(root->Gid, 0u);
    auto missing = LookupUser("qm-no-such-user");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().Code, ENOENT);
}

TEST(ChildProcessTest, ProgramDirectoryIsThatOfTheRunningFile)
{
    auto path = ProgramPath();
    ASSERT_TRUE(path) << path.error().Message;
    EXPECT_EQ(fs::path(*path), fs::canonical("/proc/self/exe"));
    auto dir = ProgramDirectory();
    ASSERT_TRUE(dir) << dir.error().Message;
    EXPECT_EQ(fs::path(*dir), fs::canonical("/proc/self/exe").parent_path());
}

} // namespace
} // namespace qm
