// ChildProcess: a started program owned until it is reaped; waiting with time limits, killing, and feeding and
// reading its pipes without deadlock.
#include "platform/ChildProcess.h"

#include "base/Assert.h"
#include "platform/ChildSpawn.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <thread>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pthread.h>
#include <pwd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qm {

static_assert(sizeof(unsigned) == sizeof(uid_t) && sizeof(unsigned) == sizeof(gid_t));

using spawn::FailErrno;

namespace {

using Clock = std::chrono::steady_clock;

// Time a child gets between SIGTERM and SIGKILL once a caller's time limit has run out.
constexpr int kTimeLimitKillGraceMs = 250;

void CloseFd(int& fd)
{
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
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
    auto spawned = spawn::Spawn(options, spawn::Mode::Child);
    if (!spawned) {
        return Unexpected{spawned.error()};
    }
    ChildProcess child;
    child.m_pid = spawned->Pid;
    child.m_pidFd = OpenPidFd(spawned->Pid);
    child.m_stdin = spawned->StdinFd;
    child.m_stdout = spawned->StdoutFd;
    child.m_stderr = spawned->StderrFd;
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
