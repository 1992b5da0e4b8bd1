// What ChildProcess and StartDetached share: starting a program with fork and execve.
#pragma once

#include "base/Result.h"
#include "platform/ChildProcess.h"

#include <string>

namespace qm::spawn {

enum class Mode {
    Child,  // the program is the caller's child
    Daemon, // a middle process in a new session starts the program and exits at once
};

/// A started program: its process id and the caller's ends of the pipes asked for (or -1), owned by the caller.
struct Spawned {
    int Pid = -1;
    int StdinFd = -1;
    int StdoutFd = -1;
    int StderrFd = -1;
};

/// Starts the program as options say (options.Group is ignored for a daemon). A child that fails before its exec
/// has been reaped when this returns its failure.
Result<Spawned> Spawn(const ChildOptions& options, Mode mode);

/// A failure with the system's text for err.
Unexpected FailErrno(const std::string& what, int err);

} // namespace qm::spawn
