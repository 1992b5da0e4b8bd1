// What start-up, shut-down and the maintenance thread need of the session manager.
#pragma once

#include "common/Log.h"

namespace qm::engine {

/// The engine's view of its session manager. The session manager implements it; the engine creates it at
/// start-up (CreateSessionManager), drives kills, expiry and the alert from the maintenance thread, and destroys it
/// at shut-down (which destroys every session left). Called from the maintenance thread while request threads run.
class SessionService {
public:
    SessionService() = default;
    SessionService(const SessionService&) = delete;
    SessionService& operator=(const SessionService&) = delete;
    virtual ~SessionService() = default;

    /// Removes the session with this id (exact comparison) unless it is busy; logs to `log`. True when removed.
    virtual bool KillById(const char* id, Logger& log) = 0;

    /// Removes the sessions that have been idle too long.
    virtual void ExpireIdle() = 0;

    /// Gives every live session its own copy of text as its error message, shown once by its next page.
    virtual void BroadcastErrorMessage(const char* text) = 0;
};

} // namespace qm::engine
