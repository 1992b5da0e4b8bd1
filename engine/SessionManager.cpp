#include "engine/SessionManager.h"

#include "common/IniAccess.h"
#include "common/RequestLog.h"
#include "common/StringUtil.h"
#include "engine/Engine.h"
#include "engine/EngineMessages.h"
#include "engine/SessionMail.h"
#include "engine/SessionsLock.h"
#include "engine/UserDirectory.h"
#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "platform/ProcessSetup.h"
#include "platform/Random.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace qm::engine {
namespace {

// Tries to draw an id that no live session has before giving up.
constexpr int kIdDraws = 8;

// A fresh cookie secret from the system's random source, as hex digits; nullopt when the source fails.
std::optional<std::string> DrawCookieSecret()
{
    unsigned char bytes[kCookieSecretBytes];
    if (!platform::FillRandom(bytes, sizeof bytes)) {
        return std::nullopt;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(kCookieSecretLength);
    for (const unsigned char byte : bytes) {
        text += kHex[byte >> 4];
        text += kHex[byte & 0x0f];
    }
    return text;
}

bool IsComposeView(int view)
{
    return view == kViewCompose || view == kViewComposeAttach || view == kViewComposeSpellCheck;
}

// The log's lines carry the session id while a removal writes them.
void SetLogPrefix(Logger& log, const char* prefix)
{
    if (auto* requestLog = dynamic_cast<RequestLog*>(&log)) {
        requestLog->SetPrefix(prefix);
    }
}

} // namespace

SessionManager::SessionManager(SessionManagerContext context)
    : m_context(std::move(context))
{
    if (!m_context.Now) {
        m_context.Now = [] {
            return std::time(nullptr);
        };
    }
    if (!m_context.RandomSeed) {
        m_context.RandomSeed = []() -> std::optional<std::uint32_t> {
            auto value = platform::RandomUint32();
            return value ? std::optional<std::uint32_t>(*value) : std::nullopt;
        };
    }
    if (!m_context.SendWelcome) {
        m_context.SendWelcome = [](UserRecord& user, time_t now) {
            return SendWelcomeMessage(user, now);
        };
    }
}

SessionManager::~SessionManager()
{
    std::vector<std::unique_ptr<Session>> sessions;
    {
        std::lock_guard lock(m_lock);
        sessions.swap(m_sessions);
    }
}

std::uint32_t SessionManager::MakeSessionId(std::uint32_t seed, char (&id)[kSessionIdSize])
{
    std::uint32_t a = seed;
    for (int i = 6; i >= 0; --i) {
        id[i] = static_cast<char>('A' + a % 26);
        a /= 26;
    }
    id[7] = '\0';
    return seed * 134775813u + 1u;
}

bool SessionManager::IdInUse(const char* id) const
{
    return std::any_of(m_sessions.begin(), m_sessions.end(), [id](const std::unique_ptr<Session>& session) {
        return std::memcmp(session->m_id, id, kSessionIdSize) == 0;
    });
}

bool SessionManager::DrawSessionId(char (&id)[kSessionIdSize])
{
    for (int draw = 0; draw < kIdDraws; ++draw) {
        const auto seed = m_context.RandomSeed();
        if (!seed) {
            return false;
        }
        (void)MakeSessionId(*seed, id);
        if (!IdInUse(id)) {
            return true;
        }
    }
    return false;
}

Session* SessionManager::Create(std::string_view userName, std::string_view clientAddress)
{
    if (!IsValidUserName(userName)) {
        return nullptr;
    }
    std::lock_guard lock(m_lock);
    const int maximum = ReadIniInt("Session", "Maximum", 200);
    const int count = static_cast<int>(m_sessions.size());
    if (count >= maximum || count >= m_context.Table().Capacity) {
        return nullptr;
    }
    char id[kSessionIdSize];
    if (!DrawSessionId(id)) {
        if (m_context.Log != nullptr) {
            m_context.Log->Log(4, "No session id could be drawn from the random source.");
        }
        return nullptr;
    }
    auto secret = DrawCookieSecret();
    if (!secret) {
        if (m_context.Log != nullptr) {
            m_context.Log->Log(4, "No session cookie secret could be drawn from the random source.");
        }
        return nullptr;
    }
    auto user = UserRecord::Open(userName);
    if (!user) {
        return nullptr;
    }

    std::unique_ptr<Session> session(new Session(*this, id, std::move(*secret), clientAddress));
    session->m_busy.store(1);
    session->m_lastAccess.store(Now());
    session->m_user = std::move(*user);
    session->m_tempDir = platform::PathJoin(TempDirRoot(), id);
    (void)platform::MakeDirectories(session->m_tempDir);
    AdoptFolderFiles(*session->m_user, session->m_tempDir);
    const std::string& userIni = session->m_user->IniPath();
    // The flag goes once the message is in the Inbox, or at once when there is no welcome to store (an account
    // made while welcomes are off gets none when they are switched on later); a welcome that could not be stored
    // is tried again at the next logon.
    if (ReadIniBoolFile("User", "SendWelcome", false, userIni) &&
        m_context.SendWelcome(*session->m_user, Now()) != WelcomeOutcome::Failed) {
        (void)WriteIniStringFile("User", "SendWelcome", nullptr, userIni.c_str());
    }
    session->RefreshIdentity();

    if (!AddRow(*session)) {
        return nullptr; // no session that the console cannot see or end
    }
    Session* created = session.get();
    m_sessions.push_back(std::move(session));
    return created;
}

Session* SessionManager::FindById(std::string_view id)
{
    if (id.size() != kSessionIdSize - 1) {
        return nullptr;
    }
    std::lock_guard lock(m_lock);
    for (const auto& session : m_sessions) {
        if (!session->m_removing && std::memcmp(session->m_id, id.data(), id.size()) == 0) {
            session->m_busy.fetch_add(1);
            return session.get();
        }
    }
    return nullptr;
}

Session* SessionManager::FindByUser(std::string_view userName)
{
    std::lock_guard lock(m_lock);
    for (const auto& session : m_sessions) {
        if (!session->m_removing && !session->m_retired.load() && EqualsNoCase(session->m_user->Name(), userName)) {
            session->m_busy.fetch_add(1);
            return session.get();
        }
    }
    return nullptr;
}

std::vector<SessionManager::SessionListing> SessionManager::SessionsOfUser(std::string_view userName) const
{
    std::vector<SessionListing> listed;
    std::lock_guard lock(m_lock);
    for (const auto& session : m_sessions) {
        if (!session->m_removing && EqualsNoCase(session->m_user->Name(), userName)) {
            listed.push_back({session->m_user->Name(), session->ClientAddress(), session->Id()});
        }
    }
    return listed;
}

bool SessionManager::Release(Session* session, Logger& log)
{
    std::unique_lock lock(m_lock);
    session->m_busy.fetch_sub(1);
    return TryRemove(*session, log, lock);
}

bool SessionManager::KillById(const char* id, Logger& log)
{
    Session* session = FindById(id != nullptr ? id : "");
    return session != nullptr && Release(session, log);
}

bool SessionManager::TryRemove(Session& session, Logger& log, std::unique_lock<std::recursive_mutex>& lock)
{
    ++session.m_removalTries;
    if (session.m_busy.load() <= 0) {
        // From here on the session is the remover's: no look-up finds it and its busy count keeps it from a second
        // removal.
        session.m_busy.fetch_add(1);
        session.m_removing = true;
        lock.unlock();
        Remove(session, log);
        return true;
    }
    if (session.m_removalTries < kMaxRemovalTries) {
        log.LogMsg(1, kMsgCouldNotDeleteSession, session.m_id, session.m_busy.load());
        return false;
    }
    if (session.m_removalTries == kMaxRemovalTries) {
        AddToStatus(m_context.Shared->Section.Status, StatusWord::FailedRemovals, 1);
        log.LogMsg(4, kMsgCouldNotDeleteSession, session.m_id, session.m_busy.load());
        // The user may log on again; the row shows the session as retired.
        session.m_retired.store(true);
        UpdateRow(session);
        return false;
    }
    session.m_removalTries = kMaxRemovalTries;
    return false;
}

void SessionManager::Remove(Session& session, Logger& log)
{
    {
        std::lock_guard request(session.m_requestLock);
        SetLogPrefix(log, session.m_id);
        log.LogMsg(1, kMsgExpiringSession, session.m_id);
        if (!session.WatchOnly()) {
            CleanUpMailAtSessionEnd(*session.m_user, log);
        }
        log.LogMsg(3, kMsgSessionExpired, session.m_id);
        SetLogPrefix(log, nullptr);
    }

    std::unique_ptr<Session> removed;
    {
        std::lock_guard lock(m_lock);
        RemoveRow(session);
        auto found = std::find_if(m_sessions.begin(), m_sessions.end(),
                                  [&session](const std::unique_ptr<Session>& item) { return item.get() == &session; });
        if (found != m_sessions.end()) {
            removed = std::move(*found);
            m_sessions.erase(found);
        }
    }
    // Destroyed outside the manager's lock where the caller does not hold it (its files are deleted and the
    // user's statistics written): nobody can reach the session any more.
    removed.reset();
    // A session may have held a large index and its pages; without this the allocator keeps what they used.
    ReturnFreedMemory();
}

void SessionManager::ExpireIdle()
{
    if (m_context.Log == nullptr) {
        return;
    }
    RequestLog log(*m_context.Log);
    {
        std::lock_guard outer(m_lock);
        const long long expire = ReadIniInt("Session", "ExpireTime", 20);
        const long long composeExpire = ReadIniInt("Session", "ComposeExpireTime", 120);
        const long long now = Now();
        for (std::size_t i = m_sessions.size(); i-- > 0;) {
            if (i >= m_sessions.size()) {
                continue;
            }
            Session& session = *m_sessions[i];
            const long long minutes = IsComposeView(session.CurrentView()) ? composeExpire : expire;
            if (session.m_removing || session.LastAccess() >= now - 60 * minutes || session.m_busy.load() != 0) {
                continue;
            }
            log.LogMsg(3, kMsgSessionTimedOut, session.m_id);
            std::unique_lock inner(m_lock);
            (void)TryRemove(session, log, inner);
        }
    }
    log.Flush();
}

void SessionManager::BroadcastErrorMessage(const char* text)
{
    std::lock_guard lock(m_lock);
    for (const auto& session : m_sessions) {
        session->m_errorMessage.Set(text != nullptr ? text : "");
    }
}

int SessionManager::Count() const
{
    std::lock_guard lock(m_lock);
    return static_cast<int>(m_sessions.size());
}

bool SessionManager::AddRow(Session& session) const
{
    const Session::Identity identity = session.RowIdentity();
    SessionsLock guard(*m_context.Shared, "AddRow", m_context.Log);
    if (!guard) {
        return false;
    }
    const SessionTableView table = m_context.Table();
    EngineStatus& status = m_context.Shared->Section.Status;
    const int rows = std::clamp(GetStatus(status, StatusWord::Sessions), 0, table.Capacity);
    if (rows >= table.Capacity) {
        return true;
    }
    FillSessionRecord(
            *table.Row(rows), session.m_id,
            {session.m_clientIPv4.load(), session.LastAccess(), identity.UserName, identity.FullName, identity.EMail});
    SetStatus(status, StatusWord::Sessions, rows + 1);
    m_context.NotifyLocked(kNotifySessionCreated);
    return true;
}

void SessionManager::UpdateRow(Session& session) const
{
    const Session::Identity identity = session.RowIdentity();
    SessionsLock guard(*m_context.Shared, "UpdateRow", m_context.Log);
    if (!guard) {
        return;
    }
    const SessionTableView table = m_context.Table();
    const int rows = std::clamp(GetStatus(m_context.Shared->Section.Status, StatusWord::Sessions), 0, table.Capacity);
    const int index = FindSessionRecord(table, rows, session.m_id);
    if (index < 0) {
        return;
    }
    UpdateSessionRecord(*table.Row(index), {session.m_clientIPv4.load(), session.LastAccess(), identity.UserName,
                                            identity.FullName, identity.EMail});
    m_context.NotifyLocked(kNotifySessionUpdated);
}

void SessionManager::RemoveRow(const Session& session) const
{
    SessionsLock guard(*m_context.Shared, "RemoveRow", m_context.Log);
    if (!guard) {
        return;
    }
    const SessionTableView table = m_context.Table();
    EngineStatus& status = m_context.Shared->Section.Status;
    const int rows = std::clamp(GetStatus(status, StatusWord::Sessions), 0, table.Capacity);
    const int index = FindSessionRecord(table, rows, session.m_id);
    if (index >= 0) {
        RemoveSessionRecord(table, rows, index);
        SetStatus(status, StatusWord::Sessions, rows - 1);
    }
    m_context.NotifyLocked(kNotifySessionRemoved);
}

SessionManager* EngineSessions()
{
    return static_cast<SessionManager*>(Sessions());
}

} // namespace qm::engine
