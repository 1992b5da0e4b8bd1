// The dispatcher of a service program: the lock that makes it the one instance, and the stop signals.
#include "base/Assert.h"
#include "platform/ObjectAccess.h"
#include "platform/Service.h"
#include "platform/ServiceFiles.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qm {

using svc::CheckName;
using svc::FailErrno;
using svc::FormatLockLine;
using svc::kLockLineLength;
using svc::ServiceFile;

namespace {

using Clock = std::chrono::steady_clock;

// A second instance keeps trying to take the lock this long: a state query holds it for a moment, never longer.
constexpr int kLockRetryMs = 500;

// What the signal handler touches: plain descriptors and lines made beforehand.
std::atomic<bool> g_dispatcherActive{false};
std::atomic<bool> g_stopRequested{false};
int g_lockFd = -1;
int g_stopRead = -1;
int g_stopWrite = -1;
char g_stopPendingLine[kLockLineLength + 1];
char g_runningLine[kLockLineLength + 1];

static_assert(std::atomic<bool>::is_always_lock_free);

void WriteLockLine(const char* line)
{
    ssize_t ignored = ::pwrite(g_lockFd, line, kLockLineLength, 0);
    (void)ignored;
}

void OnStopSignal(int)
{
    int savedErrno = errno;
    if (!g_stopRequested.exchange(true)) {
        WriteLockLine(g_stopPendingLine);
        ssize_t ignored = ::write(g_stopWrite, "s", 1); // never read: the pipe stays readable
        (void)ignored;
    }
    errno = savedErrno;
}

Result<int> TakeLock(std::string_view name)
{
    std::error_code error;
    std::filesystem::create_directories(ServiceDirectory(), error);
    if (error) {
        return Fail("cannot create " + ServiceDirectory() + ": " + error.message(), error.value());
    }
    std::string path = ServiceFile(name, ".lock");
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, platform::kOwnerOnlyMode);
    if (fd < 0) {
        return FailErrno("cannot open " + path, errno);
    }
    if (struct stat st{}; ::fstat(fd, &st) == 0 && st.st_uid == ::geteuid()) {
        (void)platform::ApplyAccess(fd, platform::SharedObjectAccess()); // whatever the umask
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(kLockRetryMs);
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int err = errno;
        if (err == EINTR) {
            continue;
        }
        if (err != EWOULDBLOCK || Clock::now() >= deadline) {
            ::close(fd);
            if (err == EWOULDBLOCK) {
                return Fail("service " + std::string(name) + " is already running", kServiceAlreadyRunning);
            }
            return FailErrno("cannot lock " + path, err);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return fd;
}

// The descriptors a dispatcher runs with; it owns them all from its construction.
struct DispatcherFds {
    int Lock = -1;
    int Stop[2] = {-1, -1}; // written by the signal handler, polled by the body and the watcher
    int Wake[2] = {-1, -1}; // closed to end the watcher (only with a stop callback)
};

// Installs the stop handling on construction and takes it all down, lock last, on destruction.
class Dispatcher {
public:
    Dispatcher(const DispatcherFds& fds, const std::function<void()>& onStop)
        : m_wake{fds.Wake[0], fds.Wake[1]}
    {
        g_lockFd = fds.Lock;
        g_stopRead = fds.Stop[0];
        g_stopWrite = fds.Stop[1];
        g_stopRequested = false;
        int pid = static_cast<int>(::getpid());
        FormatLockLine(g_runningLine, pid, "running");
        FormatLockLine(g_stopPendingLine, pid, "stop-pending");
        char startLine[kLockLineLength + 1];
        FormatLockLine(startLine, pid, "start-pending");
        if (::ftruncate(g_lockFd, 0) == 0) {
            WriteLockLine(startLine);
        }

        struct sigaction action {};

        action.sa_handler = OnStopSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        (void)::sigaction(SIGTERM, &action, &m_oldTerm);
        (void)::sigaction(SIGINT, &action, &m_oldInt);

        if (onStop) {
            m_watcher = std::thread([this, onStop] { Watch(onStop); });
        }
    }

    Dispatcher(const Dispatcher&) = delete;
    Dispatcher& operator=(const Dispatcher&) = delete;

    ~Dispatcher()
    {
        (void)::sigaction(SIGTERM, &m_oldTerm, nullptr);
        (void)::sigaction(SIGINT, &m_oldInt, nullptr);
        if (m_watcher.joinable()) {
            ::close(m_wake[1]);
            m_wake[1] = -1;
            m_watcher.join();
        }
        char stoppedLine[kLockLineLength + 1];
        FormatLockLine(stoppedLine, static_cast<int>(::getpid()), "stopped");
        WriteLockLine(stoppedLine);
        CloseAll(DispatcherFds{g_lockFd, {g_stopRead, g_stopWrite}, {m_wake[0], m_wake[1]}}); // releases the lock
        g_stopRead = g_stopWrite = g_lockFd = -1;
    }

    static void CloseAll(const DispatcherFds& fds)
    {
        for (int fd : {fds.Stop[0], fds.Stop[1], fds.Wake[0], fds.Wake[1], fds.Lock}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }

private:
    void Watch(const std::function<void()>& onStop)
    {
        pollfd fds[2] = {{g_stopRead, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        for (;;) {
            if (::poll(fds, 2, -1) < 0) {
                continue; // EINTR
            }
            if (fds[0].revents != 0) {
                onStop();
                return;
            }
            if (fds[1].revents != 0) {
                return;
            }
        }
    }

    struct sigaction m_oldTerm {};

    struct sigaction m_oldInt {};

    int m_wake[2];
    std::thread m_watcher;
};

// Takes the lock and makes the pipes of a dispatcher.
Result<DispatcherFds> OpenDispatcher(std::string_view name, bool withWatcher)
{
    auto lock = TakeLock(name);
    if (!lock) {
        return Unexpected{lock.error()};
    }
    DispatcherFds fds;
    fds.Lock = *lock;
    if (::pipe2(fds.Stop, O_CLOEXEC | O_NONBLOCK) != 0 || (withWatcher && ::pipe2(fds.Wake, O_CLOEXEC) != 0)) {
        int err = errno;
        Dispatcher::CloseAll(fds);
        return FailErrno("cannot make the stop pipe of service " + std::string(name), err);
    }
    return fds;
}

} // namespace

bool ServiceControl::StopRequested() const
{
    return g_stopRequested.load();
}

int ServiceControl::StopFd() const
{
    return g_stopRead;
}

void ServiceControl::ReportRunning()
{
    // A stop signal may arrive between the test and the write: look again afterwards so stop pending wins.
    if (g_stopRequested.load()) {
        return;
    }
    WriteLockLine(g_runningLine);
    if (g_stopRequested.load()) {
        WriteLockLine(g_stopPendingLine);
    }
}

Result<int> RunService(std::string_view name, const std::function<int(ServiceControl&)>& body,
                       const std::function<void()>& onStop)
{
    if (auto r = CheckName(name); !r) {
        return Unexpected{r.error()};
    }
    const bool wasActive = g_dispatcherActive.exchange(true);
    QM_ASSERT(!wasActive); // one dispatcher per process
    auto fds = OpenDispatcher(name, static_cast<bool>(onStop));
    if (!fds) {
        g_dispatcherActive = false;
        return Unexpected{fds.error()};
    }
    int code;
    {
        Dispatcher dispatcher(*fds, onStop);
        ServiceControl control;
        code = body(control);
    }
    g_dispatcherActive = false;
    return code;
}

} // namespace qm
