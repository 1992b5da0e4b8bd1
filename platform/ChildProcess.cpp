// ChildProcess: fork and execve with everything the child needs made beforehand, so that the child between fork
// and exec makes only async-signal-safe system calls.
#include "platform/ChildProcess.h"

#include "common/Assert.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pthread.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qm {

static_assert(sizeof(unsigned) == sizeof(uid_t) && sizeof(unsigned) == sizeof(gid_t));

namespace {

using Clock = std::chrono::steady_clock;

// Time a child gets between SIGTERM and SIGKILL once a caller's time limit has run out.
constexpr int kTimeLimitKillGraceMs = 250;

class OwnedFd {
public:
    OwnedFd() = default;

    explicit OwnedFd(int fd)
        : m_fd(fd)
    {}

    OwnedFd(OwnedFd&& other) noexcept
        : m_fd(other.Release())
    {}

    OwnedFd& operator=(OwnedFd&& other) noexcept
    {
        Reset(other.Release());
        return *this;
    }

    OwnedFd(const OwnedFd&) = delete;
    OwnedFd& operator=(const OwnedFd&) = delete;

    ~OwnedFd() { Reset(); }

    int Get() const { return m_fd; }

    int Release()
    {
        int fd = m_fd;
        m_fd = -1;
        return fd;
    }

    void Reset(int fd = -1)
    {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
        m_fd = fd;
    }

private:
    int m_fd = -1;
};

std::string ErrnoText(int err)
{
    char buffer[256];
    return strerror_r(err, buffer, sizeof buffer); // the GNU form returns the text
}

Unexpected FailErrno(const std::string& what, int err)
{
    return Fail(what + ": " + ErrnoText(err), err);
}

void CloseFd(int& fd)
{
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

// What the child reports through the status pipe. The pipe is close-on-exec, so a successful exec reports
// nothing and the parent reads end-of-file.
enum ChildStage : int {
    StageDaemonPid = 1, // Value is the daemon's process id (from the middle process of StartDetached)
    StageFork,
    StageStdio,
    StageSession,
    StageUser,
    StageChdir,
    StageExec,
};

struct StatusRecord {
    int Stage = 0;
    int Value = 0;
};

const char* StageText(int stage)
{
    switch (stage) {
    case StageFork:
        return "cannot fork";
    case StageStdio:
        return "cannot set up the standard streams of";
    case StageSession:
        return "cannot make a process group for";
    case StageUser:
        return "cannot take the user for";
    case StageChdir:
        return "cannot enter the working directory for";
    default:
        return "cannot execute";
    }
}

// Everything the child needs, made before fork.
struct Prepared {
    std::string Program;
    std::vector<char*> Argv;
    std::vector<char*> Envp;
    const char* WorkingDirectory = nullptr;
    int Stdio[3] = {-1, -1, -1}; // descriptors that become the child's 0, 1 and 2
    OwnedFd Opened[3];           // descriptors opened for the child; closed in the parent after the start
    OwnedFd ParentEnd[3];        // the caller's ends of pipes
    bool DropUser = false;
    uid_t Uid = 0;
    gid_t Gid = 0;
    std::vector<gid_t> Groups;
    ProcessGroup Group = ProcessGroup::Inherit;
};

bool HasNul(const std::string& text)
{
    return text.find('\0') != std::string::npos;
}

Result<void> PrepareStream(const ChildStdio& spec, int index, Prepared& prepared)
{
    const bool input = index == 0;
    switch (spec.GetKind()) {
    case ChildStdio::Kind::Null: {
        int fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        if (fd < 0) {
            return FailErrno("cannot open /dev/null", errno);
        }
        prepared.Opened[index].Reset(fd);
        prepared.Stdio[index] = fd;
        return {};
    }
    case ChildStdio::Kind::Fd:
        if (spec.GetFd() < 0 || ::fcntl(spec.GetFd(), F_GETFD) < 0) {
            return FailErrno("bad descriptor for a child's standard stream", EBADF);
        }
        prepared.Stdio[index] = spec.GetFd();
        return {};
    case ChildStdio::Kind::Pipe: {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) {
            return FailErrno("cannot make a pipe", errno);
        }
        prepared.Opened[index].Reset(input ? ends[0] : ends[1]);
        prepared.ParentEnd[index].Reset(input ? ends[1] : ends[0]);
        prepared.Stdio[index] = prepared.Opened[index].Get();
        return {};
    }
    case ChildStdio::Kind::File: {
        if (HasNul(spec.GetPath())) {
            return Fail("file name with a NUL byte", EINVAL);
        }
        int flags = O_CLOEXEC;
        if (input) {
            flags |= O_RDONLY;
        } else {
            flags |= O_WRONLY | O_CREAT | (spec.GetFileMode() == FileMode::Append ? O_APPEND : O_TRUNC);
        }
        int fd = ::open(spec.GetPath().c_str(), flags, 0600);
        if (fd < 0) {
            return FailErrno("cannot open " + spec.GetPath(), errno);
        }
        prepared.Opened[index].Reset(fd);
        prepared.Stdio[index] = fd;
        return {};
    }
    }
    return Fail("unknown stream kind", EINVAL);
}

Result<void> Prepare(const ChildOptions& options, Prepared& prepared)
{
    if (options.Argv.empty() || options.Argv[0].empty()) {
        return Fail("no program to start", EINVAL);
    }
    for (const std::string& arg : options.Argv) {
        if (HasNul(arg)) {
            return Fail("argument with a NUL byte", EINVAL);
        }
    }
    for (const std::string& entry : options.Environment) {
        if (HasNul(entry) || entry.find('=') == std::string::npos || entry.front() == '=') {
            return Fail("bad environment entry", EINVAL);
        }
    }
    if (HasNul(options.ProgramName) || HasNul(options.WorkingDirectory)) {
        return Fail("name with a NUL byte", EINVAL);
    }

    prepared.Program = options.Argv[0];
    if (prepared.Program.front() != '/') {
        char cwd[4096];
        if (::getcwd(cwd, sizeof cwd) == nullptr) {
            return FailErrno("cannot read the working directory", errno);
        }
        prepared.Program = std::string(cwd) + "/" + prepared.Program;
    }
    // execve takes char* const[]; it does not write through the pointers.
    const std::string& name = options.ProgramName.empty() ? options.Argv[0] : options.ProgramName;
    prepared.Argv.push_back(const_cast<char*>(name.c_str()));
    for (std::size_t i = 1; i < options.Argv.size(); ++i) {
        prepared.Argv.push_back(const_cast<char*>(options.Argv[i].c_str()));
    }
    prepared.Argv.push_back(nullptr);
    for (const std::string& entry : options.Environment) {
        prepared.Envp.push_back(const_cast<char*>(entry.c_str()));
    }
    prepared.Envp.push_back(nullptr);
    if (!options.WorkingDirectory.empty()) {
        prepared.WorkingDirectory = options.WorkingDirectory.c_str();
    }

    const ChildStdio* streams[3] = {&options.Stdin, &options.Stdout, &options.Stderr};
    for (int i = 0; i < 3; ++i) {
        if (auto r = PrepareStream(*streams[i], i, prepared); !r) {
            return r;
        }
    }

    if (options.User && ::geteuid() == 0) {
        prepared.DropUser = true;
        prepared.Uid = options.User->Uid;
        prepared.Gid = options.User->Gid;
        prepared.Groups.assign(options.User->Groups.begin(), options.User->Groups.end());
    }
    prepared.Group = options.Group;
    return {};
}

// ---- In the child: async-signal-safe calls only. ----

void Report(int statusFd, int stage, int value)
{
    StatusRecord record{stage, value};
    while (::write(statusFd, &record, sizeof record) < 0 && errno == EINTR) {
    }
}

[[noreturn]] void ChildFail(int statusFd, int stage)
{
    Report(statusFd, stage, errno);
    ::_exit(127);
}

void ResetSignalDispositions()
{
    struct sigaction action {};

    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int signo = 1; signo < NSIG; ++signo) {
        if (signo != SIGKILL && signo != SIGSTOP) {
            ::sigaction(signo, &action, nullptr); // fails harmlessly for the signals the C library reserves
        }
    }
}

// Makes sure that no descriptor but 0, 1 and 2 survives the exec.
void MarkAllCloseOnExec()
{
    if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0) {
        return;
    }
    int dir = ::open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        alignas(8) char buffer[4096];
        for (;;) {
            long got = ::syscall(SYS_getdents64, dir, buffer, sizeof buffer);
            if (got <= 0) {
                break;
            }
            for (long offset = 0; offset < got;) {
                unsigned short length = 0;
                std::memcpy(&length, buffer + offset + 16, sizeof length); // d_reclen of struct linux_dirent64
                const char* name = buffer + offset + 19;                   // d_name
                int fd = 0;
                bool digits = *name != '\0';
                for (const char* p = name; *p != '\0'; ++p) {
                    digits = digits && *p >= '0' && *p <= '9';
                    fd = fd * 10 + (*p - '0');
                }
                if (digits && fd >= 3 && fd != dir) {
                    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
                }
                offset += length;
            }
        }
        ::close(dir);
        return;
    }

    struct rlimit limit {};

    rlim_t top = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_cur : 65536;
    for (rlim_t fd = 3; fd < top && fd < (1u << 20); ++fd) {
        ::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
    }
}

// Moves a descriptor to 3 or above (close-on-exec) so that setting up 0, 1 and 2 cannot overwrite it.
int MoveAboveStdio(int fd)
{
    return fd >= 3 ? fd : ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
}

[[noreturn]] void RunChild(const Prepared& prepared, int statusFd, bool daemon)
{
    ResetSignalDispositions();
    statusFd = MoveAboveStdio(statusFd);
    if (statusFd < 0) {
        ::_exit(127);
    }

    if (daemon) {
        if (::setsid() < 0) {
            ChildFail(statusFd, StageSession);
        }
        pid_t pid = ::fork();
        if (pid < 0) {
            ChildFail(statusFd, StageFork);
        }
        if (pid > 0) {
            Report(statusFd, StageDaemonPid, pid);
            ::_exit(0);
        }
    } else {
        bool failed = (prepared.Group == ProcessGroup::NewSession && ::setsid() < 0) ||
                      (prepared.Group == ProcessGroup::NewGroup && ::setpgid(0, 0) != 0);
        if (failed) {
            ChildFail(statusFd, StageSession);
        }
    }

    int sources[3];
    for (int i = 0; i < 3; ++i) {
        sources[i] = MoveAboveStdio(prepared.Stdio[i]);
        if (sources[i] < 0) {
            ChildFail(statusFd, StageStdio);
        }
    }
    for (int i = 0; i < 3; ++i) {
        if (::dup2(sources[i], i) < 0) { // the copy at i is not close-on-exec
            ChildFail(statusFd, StageStdio);
        }
    }

    if (prepared.DropUser) {
        if (::setgroups(prepared.Groups.size(), prepared.Groups.data()) != 0 || ::setgid(prepared.Gid) != 0 ||
            ::setuid(prepared.Uid) != 0) {
            ChildFail(statusFd, StageUser);
        }
    }
    if (prepared.WorkingDirectory != nullptr && ::chdir(prepared.WorkingDirectory) != 0) {
        ChildFail(statusFd, StageChdir);
    }

    MarkAllCloseOnExec();
    sigset_t none;
    sigemptyset(&none);
    ::pthread_sigmask(SIG_SETMASK, &none, nullptr);
    ::execve(prepared.Program.c_str(), prepared.Argv.data(), prepared.Envp.data());
    ChildFail(statusFd, StageExec);
}

// ---- In the parent. ----

// Reads the child's records until end-of-file; false on a read error.
bool ReadRecords(int fd, std::vector<StatusRecord>& records)
{
    for (;;) {
        StatusRecord record;
        ssize_t got = ::read(fd, &record, sizeof record);
        if (got == 0) {
            return true;
        }
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (got == static_cast<ssize_t>(sizeof record)) { // records are written whole (far below PIPE_BUF)
            records.push_back(record);
        }
    }
}

void ReapBlocking(pid_t pid)
{
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

struct Forked {
    pid_t Pid = -1;
    std::vector<StatusRecord> Records;
};

// Forks with every signal blocked (so that no handler of the caller runs in the child before it resets them),
// runs the child, and collects what the child reports up to its exec.
Result<Forked> ForkChild(const Prepared& prepared, bool daemon)
{
    int status[2];
    if (::pipe2(status, O_CLOEXEC) != 0) {
        return FailErrno("cannot make a pipe", errno);
    }
    OwnedFd statusRead(status[0]);
    OwnedFd statusWrite(status[1]);

    sigset_t all;
    sigset_t old;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &old);
    pid_t pid = ::fork();
    if (pid == 0) {
        RunChild(prepared, statusWrite.Get(), daemon);
    }
    int forkError = errno;
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (pid < 0) {
        return FailErrno("cannot fork", forkError);
    }
    statusWrite.Reset();

    Forked forked;
    forked.Pid = pid;
    if (!ReadRecords(statusRead.Get(), forked.Records)) {
        int err = errno;
        ::kill(pid, SIGKILL);
        ReapBlocking(pid);
        return FailErrno("cannot read the child's status", err);
    }
    return forked;
}

Unexpected ChildFailure(const StatusRecord& record, const std::string& program)
{
    return FailErrno(std::string(StageText(record.Stage)) + " " + program, record.Value);
}

int OpenPidFd(pid_t pid)
{
#ifdef SYS_pidfd_open
    long fd = ::syscall(SYS_pidfd_open, pid, 0);
    if (fd >= 0) {
        ::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
        return static_cast<int>(fd);
    }
#endif
    (void)pid;
    return -1;
}

int RemainingMs(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
        return 0;
    }
    return static_cast<int>(std::min<long long>(left, 1 << 30));
}

void SetNonBlocking(int fd)
{
    if (fd >= 0) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
}

} // namespace

ChildStdio ChildStdio::Fd(int fd)
{
    ChildStdio stdio(Kind::Fd);
    stdio.m_fd = fd;
    return stdio;
}

ChildStdio ChildStdio::File(std::string path, FileMode mode)
{
    ChildStdio stdio(Kind::File);
    stdio.m_path = std::move(path);
    stdio.m_mode = mode;
    return stdio;
}

Result<ChildProcess> ChildProcess::Start(const ChildOptions& options)
{
    Prepared prepared;
    if (auto r = Prepare(options, prepared); !r) {
        return Unexpected{r.error()};
    }
    auto forked = ForkChild(prepared, false);
    if (!forked) {
        return Unexpected{forked.error()};
    }
    if (!forked->Records.empty()) {
        ReapBlocking(forked->Pid); // the child has reported and exits
        return ChildFailure(forked->Records.front(), prepared.Program);
    }

    ChildProcess child;
    child.m_pid = forked->Pid;
    child.m_pidFd = OpenPidFd(forked->Pid);
    child.m_stdin = prepared.ParentEnd[0].Release();
    child.m_stdout = prepared.ParentEnd[1].Release();
    child.m_stderr = prepared.ParentEnd[2].Release();
    child.m_ownGroup = options.Group != ProcessGroup::Inherit;
    return child;
}

Result<ChildStatus> ChildProcess::Run(const ChildOptions& options, int timeoutMs)
{
    auto child = Start(options);
    if (!child) {
        return Unexpected{child.error()};
    }
    auto status = child->Wait(timeoutMs);
    if (status && status->State == ChildState::TimedOut) {
        if (auto killed = child->Kill(kTimeLimitKillGraceMs); !killed) {
            return killed;
        }
    }
    return status;
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
{
    *this = std::move(other);
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept
{
    if (this != &other) {
        Reset();
        m_pid = std::exchange(other.m_pid, -1);
        m_pidFd = std::exchange(other.m_pidFd, -1);
        m_stdin = std::exchange(other.m_stdin, -1);
        m_stdout = std::exchange(other.m_stdout, -1);
        m_stderr = std::exchange(other.m_stderr, -1);
        m_ownGroup = other.m_ownGroup;
        m_status = std::exchange(other.m_status, std::nullopt);
    }
    return *this;
}

ChildProcess::~ChildProcess()
{
    Reset();
}

void ChildProcess::Reset()
{
    CloseFd(m_stdin);
    CloseFd(m_stdout);
    CloseFd(m_stderr);
    if (m_pid > 0 && !Reaped()) {
        (void)Kill(kDefaultKillGraceMs);
    }
    CloseFd(m_pidFd);
    m_pid = -1;
    m_status.reset();
}

void ChildProcess::CloseStdin()
{
    CloseFd(m_stdin);
}

Result<ChildStatus> ChildProcess::Reap(bool block)
{
    int raw = 0;
    pid_t got;
    do {
        got = ::waitpid(m_pid, &raw, block ? 0 : WNOHANG);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        int err = errno;
        m_pid = -1; // reaped by someone else: never signal that number again
        return FailErrno("cannot wait for the child", err);
    }
    if (got == 0) {
        return ChildStatus{ChildState::TimedOut, 0};
    }
    CloseFd(m_pidFd);
    if (WIFSIGNALED(raw)) {
        m_status = ChildStatus{ChildState::Signalled, WTERMSIG(raw)};
    } else {
        m_status = ChildStatus{ChildState::Exited, WEXITSTATUS(raw)};
    }
    return *m_status;
}

Result<ChildStatus> ChildProcess::Wait(int timeoutMs)
{
    if (m_status) {
        return *m_status;
    }
    if (m_pid <= 0) {
        return Fail("no child to wait for", ECHILD);
    }
    if (timeoutMs < 0) {
        return Reap(true);
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    int pauseMs = 1;
    for (;;) {
        auto status = Reap(false);
        if (!status || status->State != ChildState::TimedOut) {
            return status;
        }
        int left = RemainingMs(deadline);
        if (left == 0) {
            return status;
        }
        if (m_pidFd >= 0) {
            pollfd ready{m_pidFd, POLLIN, 0};
            ::poll(&ready, 1, left); // EINTR or readiness: look again
            continue;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(left, pauseMs)));
        pauseMs = std::min(pauseMs * 2, 20);
    }
}

void ChildProcess::Signal(int signo) const
{
    if (m_ownGroup && ::kill(-m_pid, signo) == 0) {
        return;
    }
    ::kill(m_pid, signo);
}

Result<ChildStatus> ChildProcess::Kill(int graceMs)
{
    if (m_status) {
        return *m_status;
    }
    if (m_pid <= 0) {
        return Fail("no child to kill", ECHILD);
    }
    Signal(SIGTERM);
    auto status = Wait(std::max(graceMs, 0));
    if (!status || status->State != ChildState::TimedOut) {
        return status;
    }
    Signal(SIGKILL);
    return Wait(kWaitForever);
}

namespace {

// Blocks SIGPIPE in this thread for its lifetime, so that writing to a pipe whose reader is gone gives EPIPE;
// a SIGPIPE raised meanwhile is taken off again before the mask is restored.
class SigPipeBlock {
public:
    SigPipeBlock()
    {
        sigset_t pending;
        sigemptyset(&pending);
        ::sigpending(&pending);
        m_wasPending = sigismember(&pending, SIGPIPE) == 1;
        sigset_t block;
        sigemptyset(&block);
        sigaddset(&block, SIGPIPE);
        ::pthread_sigmask(SIG_BLOCK, &block, &m_old);
    }

    SigPipeBlock(const SigPipeBlock&) = delete;
    SigPipeBlock& operator=(const SigPipeBlock&) = delete;

    ~SigPipeBlock()
    {
        if (m_raised && !m_wasPending) {
            sigset_t pipe;
            sigemptyset(&pipe);
            sigaddset(&pipe, SIGPIPE);
            timespec zero{0, 0};
            while (::sigtimedwait(&pipe, nullptr, &zero) < 0 && errno == EINTR) {
            }
        }
        ::pthread_sigmask(SIG_SETMASK, &m_old, nullptr);
    }

    void Raised() { m_raised = true; }

private:
    sigset_t m_old{};
    bool m_wasPending = false;
    bool m_raised = false;
};

// Writes what the pipe takes of the rest of input. A reader that has gone away takes the rest unread.
Result<void> FeedInput(int fd, std::string_view input, std::size_t& written, SigPipeBlock& sigPipe)
{
    ssize_t put = ::write(fd, input.data() + written, std::min<std::size_t>(input.size() - written, 65536));
    if (put > 0) {
        written += static_cast<std::size_t>(put);
    } else if (put < 0 && errno == EPIPE) {
        sigPipe.Raised();
        written = input.size();
    } else if (put < 0 && errno != EAGAIN && errno != EINTR) {
        return FailErrno("cannot write to the child", errno);
    }
    return {};
}

// Reads what is there from fd into sink (or drops it). Returns false at end-of-file; error EFBIG past the limit.
Result<bool> ReadAvailable(int fd, std::string* sink, std::size_t limit)
{
    char scratch[65536];
    for (;;) {
        std::size_t have = sink != nullptr ? sink->size() : 0;
        // One byte more than the limit allows, so that passing it is seen.
        std::size_t left = limit - std::min(have, limit);
        std::size_t room = left >= sizeof scratch ? sizeof scratch : left + 1;
        char* target = scratch;
        if (sink != nullptr) {
            sink->resize(have + room);
            target = sink->data() + have;
        }
        ssize_t got = ::read(fd, target, room);
        if (sink != nullptr) {
            sink->resize(have + static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
        }
        if (got > 0) {
            if (sink != nullptr && sink->size() > limit) {
                sink->resize(limit);
                return Fail("child's output passes the limit", EFBIG);
            }
            continue;
        }
        if (got == 0) {
            return false;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return true;
        }
        return FailErrno("cannot read the child's output", errno);
    }
}

} // namespace

Result<ChildStatus> ChildProcess::Communicate(std::string_view input, std::string* out, std::string* err,
                                              const CommunicateLimits& limits)
{
    QM_ASSERT(input.empty() || m_stdin >= 0);
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(limits.TimeoutMs, 0));
    SetNonBlocking(m_stdin);
    SetNonBlocking(m_stdout);
    SetNonBlocking(m_stderr);
    if (input.empty()) {
        CloseStdin();
    }

    std::size_t written = 0;
    bool timedOut = false;
    {
        SigPipeBlock sigPipe;
        while (m_stdin >= 0 || m_stdout >= 0 || m_stderr >= 0) {
            int left = RemainingMs(deadline);
            if (left == 0) {
                timedOut = true;
                break;
            }
            pollfd fds[3] = {{m_stdin, POLLOUT, 0}, {m_stdout, POLLIN, 0}, {m_stderr, POLLIN, 0}};
            if (::poll(fds, 3, left) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return FailErrno("cannot poll the child's pipes", errno);
            }
            if (m_stdin >= 0 && fds[0].revents != 0) {
                auto fed = FeedInput(m_stdin, input, written, sigPipe);
                if (!fed) {
                    return Unexpected{fed.error()};
                }
                if (written == input.size()) {
                    CloseStdin();
                }
            }
            int* outputs[2] = {&m_stdout, &m_stderr};
            std::string* sinks[2] = {out, err};
            for (int i = 0; i < 2; ++i) {
                if (*outputs[i] < 0 || fds[i + 1].revents == 0) {
                    continue;
                }
                auto more = ReadAvailable(*outputs[i], sinks[i], limits.MaxOutput);
                if (!more) {
                    (void)Kill(kTimeLimitKillGraceMs);
                    return Unexpected{more.error()};
                }
                if (!*more) {
                    CloseFd(*outputs[i]);
                }
            }
        }
    }

    if (!timedOut) {
        auto status = Wait(RemainingMs(deadline));
        if (!status || status->State != ChildState::TimedOut) {
            return status;
        }
    }
    if (auto killed = Kill(kTimeLimitKillGraceMs); !killed) {
        return killed;
    }
    return ChildStatus{ChildState::TimedOut, 0};
}

Result<int> StartDetached(const ChildOptions& options)
{
    Prepared prepared;
    if (auto r = Prepare(options, prepared); !r) {
        return Unexpected{r.error()};
    }
    auto forked = ForkChild(prepared, true);
    if (!forked) {
        return Unexpected{forked.error()};
    }
    ReapBlocking(forked->Pid); // the middle process exits as soon as it has started the daemon
    int daemonPid = -1;
    for (const StatusRecord& record : forked->Records) {
        if (record.Stage == StageDaemonPid) {
            daemonPid = record.Value;
            continue;
        }
        return ChildFailure(record, prepared.Program);
    }
    if (daemonPid <= 0) {
        return Fail("the daemon of " + prepared.Program + " did not start", ECHILD);
    }
    return daemonPid;
}

Result<RunAsUser> LookupUser(std::string_view name)
{
    std::string key(name);
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    int rc;
    while ((rc = ::getpwnam_r(key.c_str(), &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
           buffer.size() < (1u << 22)) {
        buffer.resize(buffer.size() * 2);
    }
    if (rc != 0) {
        return FailErrno("cannot look up user " + key, rc);
    }
    if (found == nullptr) {
        return Fail("no such user: " + key, ENOENT);
    }

    RunAsUser user;
    user.Uid = entry.pw_uid;
    user.Gid = entry.pw_gid;
    std::vector<gid_t> groups(32);
    for (;;) {
        int count = static_cast<int>(groups.size());
        if (::getgrouplist(key.c_str(), entry.pw_gid, groups.data(), &count) >= 0) {
            groups.resize(static_cast<std::size_t>(count));
            break;
        }
        if (count <= static_cast<int>(groups.size())) {
            groups.resize(groups.size() * 2);
        } else {
            groups.resize(static_cast<std::size_t>(count));
        }
    }
    user.Groups.assign(groups.begin(), groups.end());
    return user;
}

std::vector<std::string> EnvironmentFromBlock(std::string_view block)
{
    std::vector<std::string> entries;
    std::size_t pos = 0;
    while (pos < block.size()) {
        std::size_t end = block.find('\0', pos);
        if (end == std::string_view::npos) {
            end = block.size();
        }
        std::string_view entry = block.substr(pos, end - pos);
        if (entry.empty()) {
            break;
        }
        if (std::size_t eq = entry.find('='); eq != std::string_view::npos && eq > 0) {
            entries.emplace_back(entry);
        }
        pos = end + 1;
    }
    return entries;
}

std::vector<std::string> CurrentEnvironment()
{
    std::vector<std::string> entries;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        entries.emplace_back(*entry);
    }
    return entries;
}

} // namespace qm
