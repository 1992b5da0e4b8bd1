// The one way the engine takes the sessions mutex of the shared block.
#pragma once

#include "common/Log.h"
#include "engine/EngineShared.h"
#include "platform/SharedMutex.h"

namespace qm::engine {

/// Holds the sessions mutex for a scope, waiting at most SharedLockTimeout() (10 s unless a test shortens it). A
/// lock that timed out or failed is logged at level 4, as errors are (in log, else in the engine log while the engine
/// runs) with the place that asked, and holds nothing: the caller answers with its failure (an error result or page),
/// never waits on.
class SessionsLock {
public:
    /// where: a short name of the caller for the log line ("AddRow").
    SessionsLock(EngineSharedBlock& block, const char* where, Logger* log = nullptr);

    bool Locked() const { return m_guard.Locked(); }

    explicit operator bool() const { return m_guard.Locked(); }

    /// The lock failed because another held the mutex for the whole time-out.
    bool TimedOut() const { return m_guard.TimedOut(); }

private:
    SharedMutexGuard m_guard;
};

} // namespace qm::engine
