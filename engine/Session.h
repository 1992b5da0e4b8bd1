// One logged-on user's session: its id, the user's record, the messages for its next page, the state carried from
// one request to the next, its busy count and its request lock.
#pragma once

#include "engine/EngineShared.h"
#include "engine/MessageSlot.h"
#include "engine/UserRecord.h"
#include "engine/Views.h"

#include <atomic>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace qm::store {
class MessageIndexEntry;
class Pop3Client;
} // namespace qm::store

namespace qm::engine {

class SessionManager;

/// Random bytes of a session's cookie secret, and the length of its text (lower-case hex digits).
inline constexpr std::size_t kCookieSecretBytes = 16;
inline constexpr std::size_t kCookieSecretLength = 2 * kCookieSecretBytes;

/// A session, owned by the SessionManager. A caller may use a session only while it holds one of its busy counts
/// (from SessionManager::Create, FindById or FindByUser) and must give that count back exactly once, with
/// Unbusy() or SessionManager::Release(); after that the session may be gone. Request state (views, current
/// message, the user record's store objects) is used under RequestLock(); the flags, the messages and the times may
/// be read and set from any thread.
class Session {
public:
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    /// Deletes the temporary directory with everything in it, then the user record (which writes its statistics).
    ~Session();

    /// The id: seven upper-case letters.
    const char* Id() const { return m_id; }

    /// The value of the Session cookie: 128 random bits of the session's own, drawn at its creation, as 32 hex
    /// digits. Unlike the id it never appears in a URL or a log line.
    const std::string& CookieSecret() const { return m_cookieSecret; }

    /// True when cookie is the session's secret. The time taken does not depend on where the texts differ.
    bool IsCookieSecret(std::string_view cookie) const;

    /// The user's record. Its store objects are used under RequestLock().
    UserRecord& User() { return *m_user; }

    const UserRecord& User() const { return *m_user; }

    /// The session's temporary directory ([Directories] TempDir and the id).
    const std::string& TempDir() const { return m_tempDir; }

    /// The client address of the logon request, as REMOTE_ADDR gave it (or as MoveToAddress set it).
    std::string ClientAddress() const;

    /// The session now belongs to the client at remoteAddress (a watch program that took its session over).
    void MoveToAddress(std::string_view remoteAddress);

    /// True when remoteAddress is the logon's client address: the same IPv4 address, or for any other form the
    /// same text.
    bool IsFromAddress(std::string_view remoteAddress) const;

    /// Messages shown once by the next page; the error message also receives the administrator's alert.
    MessageSlot& StatusMessage() { return m_statusMessage; }

    MessageSlot& ErrorMessage() { return m_errorMessage; }

    /// The view of the last page (0 for a new session), the one before it (initially List) and the view the main
    /// frame shows.
    int CurrentView() const { return m_currentView.load(); }

    void SetCurrentView(int view) { m_currentView.store(view); }

    int PreviousView() const { return m_previousView.load(); }

    void SetPreviousView(int view) { m_previousView.store(view); }

    int FrameView() const { return m_frameView.load(); }

    void SetFrameView(int view) { m_frameView.store(view); }

    /// When mail was last fetched for the session, and when it was last used.
    time_t LastMailCheck() const { return m_lastMailCheck.load(); }

    void SetLastMailCheck(time_t when) { m_lastMailCheck.store(when); }

    time_t LastAccess() const { return m_lastAccess.load(); }

    /// Mail is being fetched for an earlier request / the fetch has ended / the session serves only status checks
    /// / the next framed status check writes the Session cookie.
    bool RetrievalPending() const { return m_retrievalPending.load(); }

    void SetRetrievalPending(bool on) { m_retrievalPending.store(on); }

    bool RetrievalDone() const { return m_retrievalDone.load(); }

    void SetRetrievalDone(bool on) { m_retrievalDone.store(on); }

    bool WatchOnly() const { return m_watchOnly.load(); }

    void SetWatchOnly(bool on) { m_watchOnly.store(on); }

    bool WatchCookie() const { return m_watchCookie.load(); }

    void SetWatchCookie(bool on) { m_watchCookie.store(on); }

    /// The message index entry the mail pages show (not owned); under RequestLock().
    store::MessageIndexEntry* CurrentMessage() const { return m_currentMessage; }

    void SetCurrentMessage(store::MessageIndexEntry* entry) { m_currentMessage = entry; }

    /// The POP3 client running for the session (not owned), or null; read and set under ClientLock() only.
    std::mutex& ClientLock() { return m_clientLock; }

    store::Pop3Client* Pop3Client() const { return m_pop3Client; }

    void SetPop3Client(store::Pop3Client* client) { m_pop3Client = client; }

    /// Held for the whole of a request. Never held while taking the session manager's lock, and never held when
    /// calling SessionManager::Release.
    std::recursive_mutex& RequestLock() { return m_requestLock; }

    /// The number of busy counts held.
    int BusyCount() const { return m_busy.load(); }

    /// Gives back one busy count without trying to remove the session (the end of an ordinary request).
    void Unbusy() { m_busy.fetch_sub(1); }

    /// Marks the session used now: at most once a second, writes [Stats] LastAccess of User.ini and refreshes the
    /// session's row of the session table (posting 9907). Safe from any thread, with or without the request lock.
    void Touch();

    /// Takes the user's name, full name and e-mail address for the session's row from the user record again; call
    /// it under RequestLock() after the user's mail accounts changed (Touch does it when the lock is free).
    void RefreshIdentity();

private:
    friend class SessionManager;

    // What the session's row shows of the user; guarded by m_identityLock, which is taken last of all locks.
    struct Identity {
        std::string UserName;
        std::string FullName;
        std::string EMail;
    };

    Session(SessionManager& manager, const char* id, std::string cookieSecret, std::string_view clientAddress);

    Identity RowIdentity() const;

    SessionManager& m_manager;
    char m_id[kSessionIdSize] = {};
    const std::string m_cookieSecret;
    MessageSlot m_statusMessage;
    MessageSlot m_errorMessage;
    std::atomic<int> m_currentView{0};
    std::atomic<int> m_previousView{kViewList};
    std::atomic<int> m_frameView{0};
    std::atomic<time_t> m_lastMailCheck{0};
    std::atomic<time_t> m_lastAccess{0};
    std::string m_clientAddress;                // guarded by m_identityLock
    std::atomic<std::uint32_t> m_clientIPv4{0}; // network byte order; 0 when the address is not IPv4
    std::atomic<bool> m_retrievalPending{false};
    std::atomic<bool> m_retrievalDone{false};
    std::atomic<bool> m_watchOnly{false};
    std::atomic<bool> m_watchCookie{false};
    std::string m_tempDir;
    std::unique_ptr<UserRecord> m_user;
    store::MessageIndexEntry* m_currentMessage = nullptr;
    store::Pop3Client* m_pop3Client = nullptr;
    std::mutex m_clientLock;
    std::atomic<int> m_busy{0};
    std::recursive_mutex m_requestLock;

    // Guarded by the manager's lock.
    int m_removalTries = 0;
    bool m_removing = false; // the removal has begun: look-ups no longer find the session

    // Set under the manager's lock, read also by Touch: removal failed 60 times, so FindByUser no longer finds the
    // session and its row shows "*name*".
    std::atomic<bool> m_retired{false};

    mutable std::mutex m_identityLock;
    Identity m_identity;
};

} // namespace qm::engine
