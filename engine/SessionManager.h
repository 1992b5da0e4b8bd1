// The session manager: creates, finds and removes the engine's sessions and keeps their rows in the session table
// that the console and the web administration read.
#pragma once

#include "common/Log.h"
#include "common/LogFile.h"
#include "engine/EngineShared.h"
#include "engine/Session.h"
#include "engine/SessionMail.h"
#include "engine/SessionService.h"
#include "engine/SessionTable.h"

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qm::engine {

/// Removal attempts of a busy session after which it is retired (logged at level 4, counted in status word 2, and
/// no longer found by its user's name).
inline constexpr int kMaxRemovalTries = 60;

/// What a session manager works on; every member must outlive it.
struct SessionManagerContext {
    /// The shared block: the status words, the sessions mutex and the registered windows.
    EngineSharedBlock* Shared = nullptr;

    /// The session table of this process (rows and their number), asked at each use; no rows while there is none.
    std::function<SessionTableView()> Table;

    /// Posts the engine's notification with a code to every registered window; called with the sessions mutex held.
    std::function<void(std::uint64_t code)> NotifyLocked;

    /// The engine log, for the expiry rounds' own log.
    LogFile* Log = nullptr;

    /// The current time.
    std::function<time_t()> Now;

    /// Draws a fresh session-id seed from the system's random source; nullopt when the source fails.
    std::function<std::optional<std::uint32_t>()> RandomSeed;

    /// Stores the welcome message of a new account in its Inbox. SendWelcomeMessage unless given.
    std::function<WelcomeOutcome(UserRecord& user, time_t now)> SendWelcome;
};

/// The sessions of the engine. Thread-safe. Lock order: the manager's lock, then a session's request lock, then
/// the sessions mutex. A session holding a busy count is never removed; a session whose removal has begun is no
/// longer found by FindById or FindByUser, so no request ever gets a session that is being destroyed.
class SessionManager final : public SessionService {
public:
    explicit SessionManager(SessionManagerContext context);

    /// Destroys every session left (their table rows are not touched: the table is gone by then).
    ~SessionManager() override;

    /// The id of seed: seven letters 'A' to 'Z', the seed written in base 26, least significant last. Returns the
    /// seed after it (seed x 134775813 + 1, modulo 2^32).
    static std::uint32_t MakeSessionId(std::uint32_t seed, char (&id)[kSessionIdSize]);

    /// Creates a session for userName (logged on from clientAddress) with one busy count held for the caller, fills
    /// its table row and posts 9905. Null when the user name is not valid, when [Session] Maximum (read now,
    /// default 200) or the table's rows are reached (the table and the windows are then left untouched), or when
    /// no random id can be drawn.
    Session* Create(std::string_view userName, std::string_view clientAddress);

    /// The session with this id (exact comparison) whose removal has not begun, with one busy count taken; null
    /// when there is none.
    Session* FindById(std::string_view id);

    /// The session of this user (name compared without regard to case) that is neither being removed nor
    /// retired, with one busy count taken; null when there is none.
    Session* FindByUser(std::string_view userName);

    /// What the watch program is told of a live session.
    struct SessionListing {
        std::string UserName;
        std::string ClientAddress;
        std::string Id;
    };

    /// The live sessions (not being removed) of this user (name compared without regard to case), in table order.
    std::vector<SessionListing> SessionsOfUser(std::string_view userName) const;

    /// Gives back one busy count and tries to remove the session; true when it was removed (it is gone then). The
    /// caller must not hold the session's request lock.
    bool Release(Session* session, Logger& log);

    // SessionService
    bool KillById(const char* id, Logger& log) override;
    void ExpireIdle() override;
    void BroadcastErrorMessage(const char* text) override;

    /// The number of sessions (those being removed included).
    int Count() const;

    time_t Now() const { return m_context.Now(); }

    /// The status words of the shared block, or null when the manager has none.
    EngineStatus* Status() const { return m_context.Shared != nullptr ? &m_context.Shared->Section.Status : nullptr; }

private:
    friend class Session;

    bool TryRemove(Session& session, Logger& log, std::unique_lock<std::recursive_mutex>& lock);
    void Remove(Session& session, Logger& log);
    bool DrawSessionId(char (&id)[kSessionIdSize]);
    bool IdInUse(const char* id) const;
    /// False when the sessions mutex could not be had (logged): the session is then not made.
    bool AddRow(Session& session) const;
    void UpdateRow(Session& session) const;
    void RemoveRow(const Session& session) const;

    SessionManagerContext m_context;
    mutable std::recursive_mutex m_lock;
    std::vector<std::unique_ptr<Session>> m_sessions;
};

/// The running engine's session manager, or null while the engine does not run.
SessionManager* EngineSessions();

} // namespace qm::engine
