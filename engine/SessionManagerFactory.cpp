#include "engine/Engine.h"

namespace qm::engine {

// The engine has no session manager yet: without one no session exists, so kill requests, expiry and the alert
// find nobody to act on, and the maintenance thread only empties the kill list.
std::unique_ptr<SessionService> CreateSessionManager()
{
    return nullptr;
}

} // namespace qm::engine
