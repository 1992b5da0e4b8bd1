// The page templates' view of a real session.
#pragma once

#include "engine/PageContext.h"
#include "engine/Session.h"

namespace qm::engine {

/// A PageSession over a Session. The request makes one while it holds the session (a busy count and the request
/// lock) and hands it to the templates through PageContext::Session().
class SessionPage final : public PageSession {
public:
    explicit SessionPage(Session& session)
        : m_session(session)
    {}

    const char* Id() const override { return m_session.Id(); }

    const char* UserName() const override { return m_session.User().Name().c_str(); }

    UserSettingsSource Settings() const override { return m_session.User().Settings(); }

    MessageSlot& StatusMessage() override { return m_session.StatusMessage(); }

    MessageSlot& ErrorMessage() override { return m_session.ErrorMessage(); }

    /// The session's frame view, which this clears.
    int TakePendingFrameView() override;

    /// Read under the session's client lock: nothing while no POP3 client runs.
    std::optional<FetchProgress> GetFetchProgress() override;

    UserRecord& User() override { return m_session.User(); }

    store::MessageIndexEntry* CurrentMessage() override { return m_session.CurrentMessage(); }

    void SetCurrentMessage(store::MessageIndexEntry* entry) override { m_session.SetCurrentMessage(entry); }

    const std::string& TempDir() const override { return m_session.TempDir(); }

    Session& Get() { return m_session; }

private:
    Session& m_session;
};

} // namespace qm::engine
