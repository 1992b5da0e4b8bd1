#include "engine/Engine.h"
#include "engine/SessionManager.h"

namespace qm::engine {

// The engine's session manager, working on this process's shared block, session table and log.
std::unique_ptr<SessionService> CreateSessionManager()
{
    SessionManagerContext context;
    context.Shared = SharedBlock();
    context.Table = [] {
        return SessionTableView{SessionTableRows(), SessionTableCapacity()};
    };
    context.NotifyLocked = [](std::uint64_t code) {
        NotifyWindowsLocked(code);
    };
    context.Log = EngineLog();
    context.Now = [] {
        return EngineNow();
    };
    return std::make_unique<SessionManager>(std::move(context));
}

} // namespace qm::engine
