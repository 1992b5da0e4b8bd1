// Waiting on several sockets at once, for a server that keeps many connections and serves them from one thread.
#pragma once

#include <span>

namespace qm {

/// One descriptor to wait on: what it is waited for (kPoll* bits of SocketOps.h) and, after PollMany, what holds.
struct PollEntry {
    int Fd = -1;
    unsigned Interest = 0;
    unsigned Ready = 0; // set by PollMany: kPoll* bits, kPollHangUp and kPollError even when not asked for
};

/// Waits up to `timeoutMs` (negative: without limit) until at least one entry is ready for its interest, then sets
/// every entry's Ready (0 for those that are not). A descriptor that is not open is reported as kPollError. Returns
/// the number of ready entries, 0 on time-out, or -errno. Interrupted waits resume with the time left.
int PollMany(std::span<PollEntry> entries, int timeoutMs);

} // namespace qm
