// Starting programs with fork and execve. Everything the child needs is made beforehand, so that the child between
// fork and exec makes only async-signal-safe system calls.
#include "platform/ChildSpawn.h"

#include "platform/FdUtil.h"
#include "platform/UniqueFd.h"

#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <grp.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qm {

using spawn::FailErrno;

namespace {

using platform::UniqueFd;

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
    UniqueFd Opened[3];          // descriptors opened for the child; closed in the parent after the start
    UniqueFd ParentEnd[3];       // the caller's ends of pipes
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

Result<void> PrepareStream(const ChildStdio& stream, int index, Prepared& prepared)
{
    const bool input = index == 0;
    switch (stream.GetKind()) {
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
        if (stream.GetFd() < 0 || ::fcntl(stream.GetFd(), F_GETFD) < 0) {
            return FailErrno("bad descriptor for a child's standard stream", EBADF);
        }
        prepared.Stdio[index] = stream.GetFd();
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
        if (HasNul(stream.GetPath())) {
            return Fail("file name with a NUL byte", EINVAL);
        }
        int flags = O_CLOEXEC;
        if (input) {
            flags |= O_RDONLY;
        } else {
            flags |= O_WRONLY | O_CREAT | (stream.GetFileMode() == FileMode::Append ? O_APPEND : O_TRUNC);
        }
        int fd = ::open(stream.GetPath().c_str(), flags, 0600);
        if (fd < 0) {
            return FailErrno("cannot open " + stream.GetPath(), errno);
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
    UniqueFd statusRead(status[0]);
    UniqueFd statusWrite(status[1]);

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

} // namespace

namespace spawn {

Unexpected FailErrno(const std::string& what, int err)
{
    return platform::SystemFailure(what, err);
}

Result<Spawned> Spawn(const ChildOptions& options, Mode mode)
{
    Prepared prepared;
    if (auto r = Prepare(options, prepared); !r) {
        return Unexpected{r.error()};
    }
    const bool daemon = mode == Mode::Daemon;
    auto forked = ForkChild(prepared, daemon);
    if (!forked) {
        return Unexpected{forked.error()};
    }
    Spawned spawned;
    if (daemon) {
        ReapBlocking(forked->Pid); // the middle process exits as soon as it has started the daemon
    }
    for (const StatusRecord& record : forked->Records) {
        if (record.Stage == StageDaemonPid) {
            spawned.Pid = record.Value;
            continue;
        }
        if (!daemon) {
            ReapBlocking(forked->Pid); // the child has reported and exits
        }
        return ChildFailure(record, prepared.Program);
    }
    if (!daemon) {
        spawned.Pid = forked->Pid;
    }
    if (spawned.Pid <= 0) {
        return Fail("the daemon of " + prepared.Program + " did not start", ECHILD);
    }
    spawned.StdinFd = prepared.ParentEnd[0].Release();
    spawned.StdoutFd = prepared.ParentEnd[1].Release();
    spawned.StderrFd = prepared.ParentEnd[2].Release();
    return spawned;
}

} // namespace spawn

Result<int> StartDetached(const ChildOptions& options)
{
    auto spawned = spawn::Spawn(options, spawn::Mode::Daemon);
    if (!spawned) {
        return Unexpected{spawned.error()};
    }
    for (int fd : {spawned->StdinFd, spawned->StdoutFd, spawned->StderrFd}) {
        if (fd >= 0) {
            ::close(fd); // a daemon's pipes have nobody at this end
        }
    }
    return spawned->Pid;
}

} // namespace qm
