#include "engine/SessionsLock.h"

#include "engine/Engine.h"

namespace qm::engine {

SessionsLock::SessionsLock(EngineSharedBlock& block, const char* where, Logger* log)
    : m_guard(block.SessionsMutex)
{
    if (m_guard.Locked()) {
        return;
    }
    if (log == nullptr) {
        log = EngineLog();
    }
    if (log != nullptr) {
        if (m_guard.TimedOut()) {
            log->Log(4, "%s: the sessions mutex stayed held for %lld ms; gave up", where,
                     static_cast<long long>(SharedLockTimeout().count()));
        } else {
            log->Log(4, "%s: the sessions mutex cannot be locked (error %d)", where, m_guard.ErrorCode());
        }
    }
}

} // namespace qm::engine
