// What the service functions and the dispatcher of a service program share: service names, the files of a
// service, and the text of its lock file.
#pragma once

#include "base/Result.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace qm::svc {

/// Letters, digits, '_', '-' and '.', at most 64, beginning with a letter or a digit.
bool ValidName(std::string_view name);

/// EINVAL unless ValidName.
Result<void> CheckName(std::string_view name);

/// The service's file with the given extension in the service directory: the name folded to lower case, so that
/// names match without regard to case.
std::string ServiceFile(std::string_view name, const char* extension);

/// A failure with the system's text for err.
Unexpected FailErrno(const std::string& what, int err);

/// The lock file's text: the holder's process id and its state ("start-pending", "running", "stop-pending",
/// "stopped"), always this length, so that a rewrite never leaves a tail behind and can be done with one pwrite
/// from a signal handler.
inline constexpr std::size_t kLockLineLength = 25; // "%10d %-13s\n"

void FormatLockLine(char (&line)[kLockLineLength + 1], int pid, const char* state);

} // namespace qm::svc
