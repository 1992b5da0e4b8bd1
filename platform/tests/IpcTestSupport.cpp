#include "platform/tests/IpcTestSupport.h"

#include "platform/EngineLock.h"
#include "platform/SharedMemory.h"
#include "platform/WindowMessage.h"
#include "testsupport/ShmObjects.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qm::ipctest {

namespace {

constexpr const char* kRoleEnv = "QM_IPC_TEST_ROLE";
constexpr const char* kArgEnv = "QM_IPC_TEST_ARG";

IpcNamespace HelperNs()
{
    return IpcNamespace::ForInstallDir("."); // the test's QUILLMAIL_IPC_NS
}

void InitSection(void* block)
{
    auto* section = static_cast<TestSection*>(block);
    section->Level = kInitialLevel;
    QM_ASSERT(section->Mutex.Init());
}

Result<ShmSegment> AttachSection()
{
    return ShmSegment::Attach(HelperNs(), kSectionName, sizeof(TestSection), InitSection);
}

// Blocks until the test closes our standard input (or kills us).
void WaitForInputEnd()
{
    char byte = 0;
    while (::read(0, &byte, 1) > 0 || errno == EINTR) {
    }
}

// Writes one line to the test, unbuffered.
void Say(std::string line)
{
    line += '\n';
    std::size_t done = 0;
    while (done < line.size()) {
        const ssize_t wrote = ::write(1, line.data() + done, line.size() - done);
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote <= 0) {
            return;
        }
        done += static_cast<std::size_t>(wrote);
    }
}

int RoleAttach(const std::string& arg)
{
    auto segment = AttachSection();
    if (!segment) {
        Say("error " + segment.error().Message);
        return 2;
    }
    auto* section = segment->As<TestSection>();
    Say("first=" + std::to_string(segment->FirstAttacher() ? 1 : 0) + " level=" + std::to_string(section->Level) +
        " text=" + std::string(section->Text, ::strnlen(section->Text, sizeof section->Text)));
    if (!arg.empty()) {
        PutText(section->Text, sizeof section->Text, arg);
        Say("stored");
    }
    WaitForInputEnd();
    return 0;
}

int RoleHoldEngineLock()
{
    auto lock = EngineLock::TryAcquire(HelperNs());
    if (!lock) {
        Say("busy " + std::to_string(lock.error().Code));
        return 1;
    }
    // What an engine makes under the lock, to be left behind when it is killed.
    auto sessions = ShmSegment::Recreate(HelperNs(), "sessions", 4096);
    if (!sessions) {
        Say("error " + sessions.error().Message);
        return 2;
    }
    PutText(sessions->Data(), sessions->Size(), "stale");
    Say("locked");
    WaitForInputEnd();
    return 0;
}

int RoleTryEngineLock()
{
    auto lock = EngineLock::TryAcquire(HelperNs());
    if (lock) {
        Say("acquired");
    } else {
        Say("busy " + std::to_string(lock.error().Code));
    }
    return 0;
}

int RoleLockMutexAndHold()
{
    auto segment = AttachSection();
    if (!segment) {
        Say("error " + segment.error().Message);
        return 2;
    }
    auto state = segment->As<TestSection>()->Mutex.Lock();
    if (!state) {
        Say("error " + std::to_string(state.error().Code));
        return 2;
    }
    Say("locked");
    WaitForInputEnd(); // the test kills us here, holding the mutex
    return 0;
}

int RoleTryMutex(const std::string& arg)
{
    auto segment = AttachSection();
    if (!segment) {
        Say("error " + segment.error().Message);
        return 2;
    }
    SharedMutex& mutex = segment->As<TestSection>()->Mutex;
    auto state = mutex.TryLockFor(std::chrono::milliseconds(std::atoi(arg.c_str())));
    if (!state) {
        Say(state.error().Code == ETIMEDOUT ? "timeout" : "error");
        return 0;
    }
    mutex.Unlock();
    Say(*state == SharedLockState::OwnerDied ? "owner-died" : "acquired");
    return 0;
}

int RolePost(const std::string& arg)
{
    std::uint64_t window = 0;
    unsigned message = 0;
    std::uint64_t wParam = 0;
    if (std::sscanf(arg.c_str(), "%" SCNx64 " %u %" SCNu64, &window, &message, &wParam) != 3) {
        Say("bad argument");
        return 2;
    }
    const PostResult result = PostWindowMessage(HelperNs(), window, message, wParam, 0);
    Say(std::to_string(static_cast<int>(result)));
    return 0;
}

int RunRole(const std::string& role, const std::string& arg)
{
    if (role == "attach") {
        return RoleAttach(arg);
    }
    if (role == "hold-engine-lock") {
        return RoleHoldEngineLock();
    }
    if (role == "try-engine-lock") {
        return RoleTryEngineLock();
    }
    if (role == "lock-mutex-and-hold") {
        return RoleLockMutexAndHold();
    }
    if (role == "try-mutex") {
        return RoleTryMutex(arg);
    }
    if (role == "post") {
        return RolePost(arg);
    }
    Say("unknown role " + role);
    return 3;
}

// A helper process runs its role before the test framework starts and never reaches it.
int RunRoleIfAsked()
{
    const char* role = std::getenv(kRoleEnv); // NOLINT(concurrency-mt-unsafe): before main, one thread
    if (role == nullptr) {
        return 0;
    }
    const char* arg = std::getenv(kArgEnv); // NOLINT(concurrency-mt-unsafe)
    const int code = RunRole(role, arg != nullptr ? arg : "");
    ::_exit(code);
}

[[maybe_unused]] int g_roleRun = RunRoleIfAsked();

int g_testCounter = 0;

} // namespace

void PutText(void* dst, std::size_t capacity, std::string_view text)
{
    QM_ASSERT(capacity > 0);
    const std::size_t size = std::min(text.size(), capacity - 1);
    std::memcpy(dst, text.data(), size);
    static_cast<char*>(dst)[size] = '\0';
}

std::string Hex16(std::uint64_t value)
{
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out(16, '0');
    for (std::size_t i = out.size(); i-- > 0; value >>= 4) {
        out[i] = kHex[value & 0xF];
    }
    return out;
}

void IpcTest::SetUp()
{
    m_ns = "t" + std::to_string(::getpid()) + "x" + std::to_string(++g_testCounter);
    std::string pattern = (std::filesystem::temp_directory_path() / "qm-ipc-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    m_runtimeDir = pattern;
    // The tests run on one thread; helper processes inherit these.
    ::setenv(kIpcNamespaceEnv, m_ns.c_str(), 1);       // NOLINT(concurrency-mt-unsafe)
    ::setenv(kRuntimeDirEnv, m_runtimeDir.c_str(), 1); // NOLINT(concurrency-mt-unsafe)
}

void IpcTest::TearDown()
{
    for (const char* name : {kSectionName, "sessions"}) {
        EXPECT_TRUE(ShmSegment::Unlink(Ns(), name));
    }
    // Whatever else a test made in its namespace (or left when it failed) goes too.
    (void)test::RemoveShmObjectsOf(m_ns);
    std::error_code ec;
    std::filesystem::remove_all(m_runtimeDir, ec);
    ::unsetenv(kIpcNamespaceEnv); // NOLINT(concurrency-mt-unsafe)
    ::unsetenv(kRuntimeDirEnv);   // NOLINT(concurrency-mt-unsafe)
}

HelperProcess::HelperProcess(std::string_view role, std::string_view arg)
{
    int toChild[2] = {-1, -1};
    int fromChild[2] = {-1, -1};
    QM_ASSERT(::pipe2(toChild, O_CLOEXEC) == 0 && ::pipe2(fromChild, O_CLOEXEC) == 0);

    // Everything the child needs is made before fork(): after it, only async-signal-safe calls.
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        env.emplace_back(*entry);
    }
    env.push_back(std::string(kRoleEnv) + "=" + std::string(role));
    env.push_back(std::string(kArgEnv) + "=" + std::string(arg));
    std::vector<char*> envp;
    envp.reserve(env.size() + 1);
    for (auto& entry : env) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    char self[] = "/proc/self/exe";
    char* argv[] = {self, nullptr};

    m_pid = ::fork();
    QM_ASSERT(m_pid >= 0);
    if (m_pid == 0) {
        ::dup2(toChild[0], 0);
        ::dup2(fromChild[1], 1);
        ::execve(self, argv, envp.data());
        ::_exit(127);
    }
    ::close(toChild[0]);
    ::close(fromChild[1]);
    m_in = toChild[1];
    m_out = fromChild[0];
}

HelperProcess::~HelperProcess()
{
    CloseInput();
    if (m_pid > 0) {
        Wait();
    }
    if (m_out >= 0) {
        ::close(m_out);
    }
}

std::string HelperProcess::ReadLine(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (const auto end = m_buffer.find('\n'); end != std::string::npos) {
            std::string line = m_buffer.substr(0, end);
            m_buffer.erase(0, end + 1);
            return line;
        }
        const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd pfd{m_out, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
            return {};
        }
        char chunk[256];
        const ssize_t got = ::read(m_out, chunk, sizeof chunk);
        if (got <= 0) {
            return {};
        }
        m_buffer.append(chunk, static_cast<std::size_t>(got));
    }
}

void HelperProcess::CloseInput()
{
    if (m_in >= 0) {
        ::close(m_in);
        m_in = -1;
    }
}

int HelperProcess::Wait()
{
    if (m_pid <= 0) {
        return -1;
    }
    int status = 0;
    while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
    m_pid = -1;
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

int HelperProcess::Kill()
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
    }
    return Wait();
}

} // namespace qm::ipctest
