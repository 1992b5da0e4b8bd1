#include "engine/SessionPage.h"

#include <mutex>

namespace qm::engine {

int SessionPage::TakePendingFrameView()
{
    const int view = m_session.FrameView();
    m_session.SetFrameView(0);
    return view;
}

std::optional<FetchProgress> SessionPage::GetFetchProgress()
{
    std::lock_guard lock(m_session.ClientLock());
    if (m_session.Pop3Client() == nullptr) {
        return std::nullopt;
    }
    // The store has no POP3 client yet, so none can be running here; its counters are read here once it has one.
    return std::nullopt;
}

} // namespace qm::engine
