// Process-wide settings of a server program, made once at the start of main.
#pragma once

namespace qm {

/// Ignores SIGPIPE, so that a write to a pipe or socket whose reader has gone fails with EPIPE instead of ending
/// the process.
void IgnoreBrokenPipes();

/// Raises the soft limit of open descriptors to the hard limit, so that many connections fit.
void RaiseDescriptorLimit();

/// Gives memory that the allocator keeps after it was freed back to the system. A server calls it after a large
/// piece of work ends (a session with a big index), so that its resident size follows what it holds.
void ReturnFreedMemory();

} // namespace qm
