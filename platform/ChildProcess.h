// ChildProcess: starts programs from an argument vector (never through a shell) with an explicit environment,
// and waits for them with a time limit.
#pragma once

#include "base/Result.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

/// Wait for ever (for Wait and the helpers that take a time limit).
inline constexpr int kWaitForever = -1;

/// Time that Kill gives a child between SIGTERM and SIGKILL, and that the destructor uses.
inline constexpr int kDefaultKillGraceMs = 2000;

/// How a file named for a child's output is opened.
enum class FileMode {
    Truncate,
    Append,
};

/// Where one standard stream of a child comes from or goes to.
class ChildStdio {
public:
    enum class Kind {
        Null, // /dev/null
        Fd,   // a descriptor of the caller's, duplicated into the child; the caller keeps its own
        Pipe, // a pipe whose other end the ChildProcess owns (StdinFd, StdoutFd, StderrFd)
        File, // a file opened by the parent before the start (created with mode 0600 if missing)
    };

    static ChildStdio Null() { return ChildStdio(Kind::Null); }

    static ChildStdio Fd(int fd);

    static ChildStdio Pipe() { return ChildStdio(Kind::Pipe); }

    static ChildStdio File(std::string path, FileMode mode = FileMode::Truncate);

    Kind GetKind() const { return m_kind; }

    int GetFd() const { return m_fd; }

    const std::string& GetPath() const { return m_path; }

    FileMode GetFileMode() const { return m_mode; }

private:
    explicit ChildStdio(Kind kind)
        : m_kind(kind)
    {}

    Kind m_kind;
    int m_fd = -1;
    std::string m_path;
    FileMode m_mode = FileMode::Truncate;
};

/// The account a child runs as. Applied only when the caller runs as root (effective uid 0): the child then takes
/// exactly these groups and ids before it starts the program. Otherwise the child runs as the caller.
struct RunAsUser {
    unsigned Uid = 0;
    unsigned Gid = 0;
    std::vector<unsigned> Groups; // supplementary groups; empty: none
};

/// Looks a user up by name (NSS), with its primary and supplementary groups.
/// Fails with ENOENT when there is no such user.
Result<RunAsUser> LookupUser(std::string_view name);

/// Process group and session of a child.
enum class ProcessGroup {
    Inherit,    // the caller's group
    NewGroup,   // a group of its own: Kill then signals the whole group (the child's own children too)
    NewSession, // a session (and group) of its own, without a controlling terminal
};

/// Everything about how a child starts.
struct ChildOptions {
    /// Argv[0] is the program's path: absolute, or relative to the caller's working directory. There is no search
    /// of PATH. Argv[0] is also what the program sees as its name unless ProgramName is set.
    std::vector<std::string> Argv;
    /// The name the program sees as argv[0]; empty: Argv[0].
    std::string ProgramName;
    /// The child's whole environment, "NAME=value" each; nothing is inherited.
    std::vector<std::string> Environment;
    /// The child's working directory; empty: the caller's.
    std::string WorkingDirectory;
    ChildStdio Stdin = ChildStdio::Null();
    ChildStdio Stdout = ChildStdio::Null();
    ChildStdio Stderr = ChildStdio::Null();
    std::optional<RunAsUser> User;
    ProcessGroup Group = ProcessGroup::Inherit;
};

/// How a child ended, or that it had not ended within the time limit.
enum class ChildState {
    Exited,    // Code is the exit code
    Signalled, // Code is the signal number
    TimedOut,  // still running when the time limit ran out (Code 0)
};

struct ChildStatus {
    ChildState State = ChildState::TimedOut;
    int Code = 0;

    bool ExitedWith(int code) const { return State == ChildState::Exited && Code == code; }
};

/// Limits of ChildProcess::Communicate.
struct CommunicateLimits {
    int TimeoutMs = 30000;                         // for the whole exchange, including the child's exit
    std::size_t MaxOutput = std::size_t{16} << 20; // per captured stream
};

/// A running or finished child. The object owns the child: it never leaves a zombie. Destroying it while the
/// child still runs kills the child (SIGTERM, then SIGKILL after kDefaultKillGraceMs) and reaps it.
/// Every descriptor of the caller's except the child's three standard streams is closed in the child.
/// Not thread-safe: one thread uses one ChildProcess at a time.
class ChildProcess {
public:
    /// Starts the program. Fails (with the errno of the step) when a file, pipe or the process cannot be made,
    /// or when the child cannot take the working directory or the user, or cannot execute the program (ENOENT
    /// for a missing program): such a child has already been reaped. EINVAL for an empty Argv, a string with a
    /// NUL byte, or an environment entry without '='.
    static Result<ChildProcess> Start(const ChildOptions& options);

    /// Starts the program, waits up to timeoutMs for it, and kills it when the time runs out (the status is then
    /// TimedOut).
    static Result<ChildStatus> Run(const ChildOptions& options, int timeoutMs);

    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    int Pid() const { return m_pid; }

    /// The caller's ends of the pipes asked for, or -1. They stay owned by this object. Writing to StdinFd after
    /// the child has closed its end raises SIGPIPE in the caller unless SIGPIPE is ignored; Communicate never does.
    int StdinFd() const { return m_stdin; }

    int StdoutFd() const { return m_stdout; }

    int StderrFd() const { return m_stderr; }

    /// Closes the caller's end of the stdin pipe, so that the child reads end-of-file.
    void CloseStdin();

    /// Waits up to timeoutMs (kWaitForever: no limit) for the child to end, and reaps it. TimedOut when it still
    /// runs. Once the child is reaped every call gives the same status.
    Result<ChildStatus> Wait(int timeoutMs);

    /// Ends the child: SIGTERM, up to graceMs for it to end, then SIGKILL. With a group of its own, the whole group
    /// is signalled. Returns how it ended (a child that had already ended keeps its own status).
    Result<ChildStatus> Kill(int graceMs = kDefaultKillGraceMs);

    /// Writes input to the stdin pipe (then closes it) while reading the stdout and stderr pipes (whichever were
    /// asked for as pipes) into the given strings, without deadlock, then waits for the child. The child is killed
    /// when the time limit runs out (status TimedOut, output so far kept) or when a stream passes MaxOutput
    /// (failure EFBIG). A child that stops reading its input early does not make this fail: the rest is dropped.
    /// A null out or err reads that stream and drops it. Non-empty input needs Stdin to be a pipe.
    Result<ChildStatus> Communicate(std::string_view input, std::string* out, std::string* err,
                                    const CommunicateLimits& limits = {});

private:
    ChildProcess() = default;
    void Reset();

    bool Reaped() const { return m_status.has_value(); }

    Result<ChildStatus> Reap(bool block);
    void Signal(int signo) const;

    int m_pid = -1;
    int m_pidFd = -1; // readable when the child ends; -1 where the kernel has none (then Wait polls)
    int m_stdin = -1;
    int m_stdout = -1;
    int m_stderr = -1;
    bool m_ownGroup = false;
    std::optional<ChildStatus> m_status;
};

/// Starts the program as a daemon: it is not the caller's child (a middle process starts it and exits at once),
/// it runs in a new session, and it is never waited for. Fails like ChildProcess::Start (ENOENT for a missing
/// program). Returns the daemon's process id. options.Group is ignored (always a new session).
Result<int> StartDetached(const ChildOptions& options);

/// Splits a CGI-style environment block (entries each ended by a NUL, the block ended by an empty entry) into
/// entries. Reading stops at the empty entry or at the end of the view; entries without '=' are dropped.
std::vector<std::string> EnvironmentFromBlock(std::string_view block);

/// The calling process's own environment, "NAME=value" each.
std::vector<std::string> CurrentEnvironment();

} // namespace qm
