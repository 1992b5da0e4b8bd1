// Process-wide settings of a server program, made once at the start of main.
#pragma once

#include "platform/UniqueFd.h"

namespace qm {

/// Ignores SIGPIPE, so that a write to a pipe or socket whose reader has gone fails with EPIPE instead of ending
/// the process.
void IgnoreBrokenPipes();

/// Raises the soft limit of open descriptors to the hard limit, so that many connections fit.
void RaiseDescriptorLimit();

/// Gives memory that the allocator keeps after it was freed back to the system. A server calls it after a large
/// piece of work ends (a session with a big index), so that its resident size follows what it holds.
void ReturnFreedMemory();

/// Makes SIGTERM and SIGINT a descriptor's business: blocks both for the calling thread (and every thread it
/// starts later, so call it before any) and returns a descriptor that becomes readable, and stays so, once one
/// arrives. An event loop watches it to close down in order. Fails (an invalid descriptor) only when the system
/// cannot make one; the signals are then unblocked again.
platform::UniqueFd StopSignalDescriptor();

} // namespace qm
