// Services over a directory of records and lock files; see Service.h for the files and what they mean.
#include "platform/Service.h"

#include "platform/ChildProcess.h"
#include "platform/ServiceFiles.h"
#include "platform/UniqueFd.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qm {

using svc::CheckName;
using svc::FailErrno;
using svc::ServiceFile;
using svc::ValidName;

namespace {

using platform::UniqueFd;

using Clock = std::chrono::steady_clock;

constexpr const char* kDefaultServiceDirectory = "/var/lib/quillmail/services";
constexpr std::size_t kMaxRecordSize = 1 << 20;
constexpr int kPollMs = 10;
constexpr int kKillWaitMs = 5000;
constexpr int kPidWaitMs = 1000;

// ---- The record. ----

void AppendEscaped(std::string& out, const char* key, const std::string& value)
{
    out += key;
    out += '=';
    for (char c : value) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            out += c;
        }
    }
    out += '\n';
}

std::string Unescape(std::string_view value)
{
    std::string out;
    out.reserve(value.size());
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\' || i + 1 == value.size()) {
            out += value[i];
            continue;
        }
        char next = value[++i];
        out += next == 'n' ? '\n' : next == 'r' ? '\r' : next;
    }
    return out;
}

std::string EncodeRecord(const ServiceConfig& config)
{
    std::string out = "# Quillmail service record\n";
    AppendEscaped(out, "Name", config.Name);
    AppendEscaped(out, "DisplayName", config.DisplayName);
    AppendEscaped(out, "Program", config.ProgramPath);
    for (const std::string& arg : config.Arguments) {
        AppendEscaped(out, "Arg", arg);
    }
    for (const std::string& entry : config.Environment) {
        AppendEscaped(out, "Env", entry);
    }
    AppendEscaped(out, "Log", config.LogPath);
    return out;
}

Result<ServiceConfig> DecodeRecord(std::string_view text)
{
    ServiceConfig config;
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        std::size_t eq = line.find('=');
        if (line.empty() || line[0] == '#' || eq == std::string_view::npos) {
            continue;
        }
        std::string_view key = line.substr(0, eq);
        std::string value = Unescape(line.substr(eq + 1));
        if (key == "Name") {
            config.Name = std::move(value);
        } else if (key == "DisplayName") {
            config.DisplayName = std::move(value);
        } else if (key == "Program") {
            config.ProgramPath = std::move(value);
        } else if (key == "Arg") {
            config.Arguments.push_back(std::move(value));
        } else if (key == "Env") {
            config.Environment.push_back(std::move(value));
        } else if (key == "Log") {
            config.LogPath = std::move(value);
        }
    }
    if (config.ProgramPath.empty()) {
        return Fail("service record without a program", EINVAL);
    }
    return config;
}

Result<std::string> ReadFd(int fd, std::size_t limit)
{
    std::string text;
    char buffer[4096];
    for (;;) {
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got == 0) {
            return text;
        }
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return FailErrno("cannot read a service file", errno);
        }
        text.append(buffer, static_cast<std::size_t>(got));
        if (text.size() > limit) {
            return Fail("service file too large", EFBIG);
        }
    }
}

Result<void> WriteAll(int fd, std::string_view text)
{
    while (!text.empty()) {
        ssize_t put = ::write(fd, text.data(), text.size());
        if (put < 0) {
            if (errno == EINTR) {
                continue;
            }
            return FailErrno("cannot write a service file", errno);
        }
        text.remove_prefix(static_cast<std::size_t>(put));
    }
    return {};
}

// Writes a whole file beside its final name, then puts it in place: with Replace by rename, otherwise by link,
// which fails with EEXIST when the name is taken.
enum class Placement {
    Replace,
    CreateOnly,
};

Result<void> WriteFileAtomically(const std::string& path, std::string_view text, Placement placement)
{
    std::string temp = path + ".tmp." + std::to_string(::getpid());
    UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (fd.Get() < 0) {
        return FailErrno("cannot create " + temp, errno);
    }
    auto written = WriteAll(fd.Get(), text);
    if (written && ::fsync(fd.Get()) != 0) {
        written = FailErrno("cannot write " + temp, errno);
    }
    if (written) {
        int rc = placement == Placement::Replace ? ::rename(temp.c_str(), path.c_str())
                                                 : ::link(temp.c_str(), path.c_str());
        if (rc != 0) {
            written = FailErrno("cannot write " + path, errno);
        }
    }
    if (placement == Placement::CreateOnly || !written) {
        ::unlink(temp.c_str());
    }
    return written;
}

// ---- Lock and start marker. ----

struct LockInfo {
    bool Held = false;
    int Pid = 0;     // the holder's, when State is that of a live holder; else 0
    int LastPid = 0; // whatever process id the text names: the last holder's when not held
    std::string State;
};

Result<LockInfo> InspectLock(std::string_view name)
{
    LockInfo info;
    std::string path = ServiceFile(name, ".lock");
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.Get() < 0) {
        if (errno == ENOENT) {
            return info;
        }
        return FailErrno("cannot open " + path, errno);
    }
    // A shared lock that can be taken means that no program holds the exclusive one. It is held only for this
    // moment; the program's own attempt to lock retries for longer than that.
    if (::flock(fd.Get(), LOCK_SH | LOCK_NB) == 0) {
        ::flock(fd.Get(), LOCK_UN);
    } else if (errno == EWOULDBLOCK) {
        info.Held = true;
    } else {
        return FailErrno("cannot test the lock " + path, errno);
    }
    auto text = ReadFd(fd.Get(), 4096);
    if (!text) {
        return Unexpected{text.error()};
    }
    // The process id counts only with a state of a live holder: a new holder that has just taken the lock may not
    // have replaced its predecessor's text yet.
    char state[32] = "";
    if (std::sscanf(text->c_str(), "%d %31s", &info.LastPid, state) == 2) {
        info.State = state;
    }
    if (info.State == "start-pending" || info.State == "running" || info.State == "stop-pending") {
        info.Pid = info.LastPid;
    }
    return info;
}

// The start time of a live process (in clock ticks since boot), or -1 when there is no such process or it has
// ended (a zombie). Together with the process id it names one process, whatever ids are reused later.
long long ProcessStartTime(int pid)
{
    if (pid <= 0) {
        return -1;
    }
    std::string path = "/proc/" + std::to_string(pid) + "/stat";
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.Get() < 0) {
        return -1;
    }
    auto text = ReadFd(fd.Get(), 4096);
    std::size_t close = text ? text->rfind(')') : std::string::npos;
    if (close == std::string::npos) {
        return -1;
    }
    // After the command's closing parenthesis: field 3 (state) ... field 22 (start time).
    char state = 0;
    long long start = -1;
    if (std::sscanf(text->c_str() + close + 1,
                    " %c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %*u %*u %*d %*d %*d %*d %*d %*d %lld", &state,
                    &start) != 2 ||
        state == 'Z' || state == 'X') {
        return -1;
    }
    return start;
}

struct Probe {
    ServiceState State = ServiceState::Stopped;
    int Pid = 0; // 0 when not known yet
};

Result<Probe> ProbeService(std::string_view name)
{
    if (auto r = CheckName(name); !r) {
        return Unexpected{r.error()};
    }
    auto lock = InspectLock(name);
    if (!lock) {
        return Unexpected{lock.error()};
    }
    Probe probe;
    if (lock->Held) {
        probe.Pid = lock->Pid;
        probe.State = lock->State == "running"        ? ServiceState::Running
                      : lock->State == "stop-pending" ? ServiceState::StopPending
                                                      : ServiceState::StartPending;
        return probe;
    }
    // Not held: start pending while the process last started lives and has not yet been the lock's holder.
    std::string marker = ServiceFile(name, ".start");
    UniqueFd fd(::open(marker.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.Get() < 0) {
        return probe;
    }
    auto text = ReadFd(fd.Get(), 4096);
    int pid = 0;
    long long start = -1;
    if (text && std::sscanf(text->c_str(), "%d %lld", &pid, &start) == 2 && pid > 0 && pid != lock->LastPid &&
        ProcessStartTime(pid) == start) {
        probe.State = ServiceState::StartPending;
        probe.Pid = pid;
    }
    return probe;
}

void Pause()
{
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
}

// Probes until the state is not stopped and the process id is known, or the time is up.
Result<Probe> ProbeForPid(std::string_view name)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(kPidWaitMs);
    for (;;) {
        auto probe = ProbeService(name);
        if (!probe) {
            return probe;
        }
        if (probe->State == ServiceState::Stopped) {
            return Fail("service " + std::string(name) + " is not running", kServiceNotRunning);
        }
        if (probe->Pid > 0) {
            return probe;
        }
        if (Clock::now() >= deadline) {
            return Fail("service " + std::string(name) + " has no process id yet", EAGAIN);
        }
        Pause();
    }
}

// Waits until the service is stopped; false when the time ran out first.
Result<bool> WaitStopped(std::string_view name, Clock::time_point deadline)
{
    for (;;) {
        auto probe = ProbeService(name);
        if (!probe) {
            return Unexpected{probe.error()};
        }
        if (probe->State == ServiceState::Stopped) {
            return true;
        }
        if (Clock::now() >= deadline) {
            return false;
        }
        Pause();
    }
}

Result<void> SendSignal(int pid, int signo)
{
    if (::kill(pid, signo) != 0 && errno != ESRCH) { // ESRCH: it has just ended
        return FailErrno("cannot signal process " + std::to_string(pid), errno);
    }
    return {};
}

} // namespace

std::string ServiceDirectory()
{
    const char* dir = std::getenv("QUILLMAIL_SVCDIR"); // NOLINT(concurrency-mt-unsafe): set before threads start
    return dir != nullptr && *dir != '\0' ? dir : kDefaultServiceDirectory;
}

Result<void> InstallService(const ServiceConfig& config)
{
    if (auto r = CheckName(config.Name); !r) {
        return r;
    }
    if (config.ProgramPath.empty() || config.ProgramPath.front() != '/') {
        return Fail("service program path must be absolute: " + config.ProgramPath, EINVAL);
    }
    auto hasNul = [](const std::string& text) {
        return text.find('\0') != std::string::npos;
    };
    bool bad = hasNul(config.DisplayName) || hasNul(config.ProgramPath) || hasNul(config.LogPath) ||
               std::any_of(config.Arguments.begin(), config.Arguments.end(), hasNul);
    for (const std::string& entry : config.Environment) {
        bad = bad || hasNul(entry) || entry.find('=') == std::string::npos || entry.front() == '=';
    }
    if (bad) {
        return Fail("bad value in the record of service " + config.Name, EINVAL);
    }
    std::error_code error;
    std::filesystem::create_directories(ServiceDirectory(), error);
    if (error) {
        return Fail("cannot create " + ServiceDirectory() + ": " + error.message(), error.value());
    }
    auto written =
            WriteFileAtomically(ServiceFile(config.Name, ".service"), EncodeRecord(config), Placement::CreateOnly);
    if (!written && written.error().Code == EEXIST) {
        return Fail("service " + config.Name + " is already installed", EEXIST);
    }
    return written;
}

Result<void> RemoveService(std::string_view name)
{
    if (auto r = CheckName(name); !r) {
        return r;
    }
    std::string record = ServiceFile(name, ".service");
    if (::unlink(record.c_str()) != 0) {
        return FailErrno("cannot remove service " + std::string(name), errno);
    }
    ::unlink(ServiceFile(name, ".start").c_str());
    // The lock file stays: a running program holds it, and a new file would let a second instance start.
    return {};
}

bool IsServiceInstalled(std::string_view name)
{
    return ValidName(name) && ::access(ServiceFile(name, ".service").c_str(), F_OK) == 0;
}

Result<ServiceConfig> ReadServiceConfig(std::string_view name)
{
    if (auto r = CheckName(name); !r) {
        return Unexpected{r.error()};
    }
    std::string path = ServiceFile(name, ".service");
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.Get() < 0) {
        return FailErrno("cannot read service " + std::string(name), errno);
    }
    auto text = ReadFd(fd.Get(), kMaxRecordSize);
    if (!text) {
        return Unexpected{text.error()};
    }
    return DecodeRecord(*text);
}

Result<int> StartService(std::string_view name)
{
    if (auto r = CheckName(name); !r) {
        return Unexpected{r.error()};
    }
    // Holding the record locked makes two starts at the same time take turns: the second finds start pending.
    std::string recordPath = ServiceFile(name, ".service");
    UniqueFd record(::open(recordPath.c_str(), O_RDONLY | O_CLOEXEC));
    if (record.Get() < 0) {
        return FailErrno("cannot open service " + std::string(name), errno);
    }
    while (::flock(record.Get(), LOCK_EX) != 0 && errno == EINTR) {
    }
    auto text = ReadFd(record.Get(), kMaxRecordSize);
    if (!text) {
        return Unexpected{text.error()};
    }
    auto config = DecodeRecord(*text);
    if (!config) {
        return Unexpected{config.error()};
    }
    auto probe = ProbeService(name);
    if (!probe) {
        return Unexpected{probe.error()};
    }
    if (probe->State != ServiceState::Stopped) {
        return Fail("service " + std::string(name) + " is already running", kServiceAlreadyRunning);
    }

    ChildOptions options;
    options.Argv.push_back(config->ProgramPath);
    options.Argv.insert(options.Argv.end(), config->Arguments.begin(), config->Arguments.end());
    const std::string nameEntry = std::string(kServiceNameVariable) + "=";
    for (const std::string& entry : config->Environment) {
        if (entry.rfind("QUILLMAIL_SVCDIR=", 0) != 0 && entry.rfind(nameEntry, 0) != 0) {
            options.Environment.push_back(entry);
        }
    }
    options.Environment.push_back("QUILLMAIL_SVCDIR=" + ServiceDirectory());
    options.Environment.push_back(nameEntry + config->Name);
    options.WorkingDirectory = "/";
    UniqueFd log(config->LogPath.empty()
                         ? -1
                         : ::open(config->LogPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600));
    if (!config->LogPath.empty()) {
        if (log.Get() < 0) {
            return FailErrno("cannot open the log " + config->LogPath, errno);
        }
        options.Stdout = ChildStdio::Fd(log.Get());
        options.Stderr = ChildStdio::Fd(log.Get());
    }

    auto pid = StartDetached(options);
    if (!pid) {
        return pid;
    }
    std::string marker = std::to_string(*pid) + " " + std::to_string(ProcessStartTime(*pid)) + "\n";
    if (auto r = WriteFileAtomically(ServiceFile(name, ".start"), marker, Placement::Replace); !r) {
        return Unexpected{r.error()};
    }
    return pid;
}

Result<StopOutcome> StopService(std::string_view name, int timeoutMs)
{
    auto probe = ProbeForPid(name);
    if (!probe) {
        return Unexpected{probe.error()};
    }
    if (auto r = SendSignal(probe->Pid, SIGTERM); !r) {
        return Unexpected{r.error()};
    }
    auto stopped = WaitStopped(name, Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0)));
    if (!stopped) {
        return Unexpected{stopped.error()};
    }
    if (*stopped) {
        return StopOutcome::Stopped;
    }

    // Kill only the process that still holds the lock (or is still starting), never a number seen earlier.
    auto still = ProbeService(name);
    if (!still) {
        return Unexpected{still.error()};
    }
    if (still->State != ServiceState::Stopped && still->Pid > 0) {
        if (auto r = SendSignal(still->Pid, SIGKILL); !r) {
            return Unexpected{r.error()};
        }
    }
    stopped = WaitStopped(name, Clock::now() + std::chrono::milliseconds(kKillWaitMs));
    if (!stopped) {
        return Unexpected{stopped.error()};
    }
    if (!*stopped) {
        return Fail("service " + std::string(name) + " did not stop", ETIMEDOUT);
    }
    return StopOutcome::Killed;
}

Result<void> RequestServiceStop(std::string_view name)
{
    auto probe = ProbeForPid(name);
    if (!probe) {
        return Unexpected{probe.error()};
    }
    return SendSignal(probe->Pid, SIGTERM);
}

Result<ServiceState> QueryService(std::string_view name)
{
    auto probe = ProbeService(name);
    if (!probe) {
        return Unexpected{probe.error()};
    }
    return probe->State;
}

Result<int> FindServiceProcess(std::string_view name)
{
    auto probe = ProbeForPid(name);
    if (!probe) {
        return Unexpected{probe.error()};
    }
    return probe->Pid;
}

bool StartedAsService(std::string_view name)
{
    const char* started = std::getenv(kServiceNameVariable); // NOLINT(concurrency-mt-unsafe): read at start
    if (started == nullptr || !ValidName(name)) {
        return false;
    }
    const std::string_view given(started);
    return given.size() == name.size() && std::equal(given.begin(), given.end(), name.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
           });
}

Result<ServiceState> WaitForServiceState(std::string_view name, ServiceState wanted, int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    for (;;) {
        auto state = QueryService(name);
        if (!state || *state == wanted || Clock::now() >= deadline) {
            return state;
        }
        Pause();
    }
}

} // namespace qm
