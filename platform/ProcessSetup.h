// Process-wide settings of a server program, made once at the start of main.
#pragma once

namespace qm {

/// Ignores SIGPIPE, so that a write to a pipe or socket whose reader has gone fails with EPIPE instead of ending
/// the process.
void IgnoreBrokenPipes();

/// Raises the soft limit of open descriptors to the hard limit, so that many connections fit.
void RaiseDescriptorLimit();

} // namespace qm
