#include "engine/SessionPage.h"

#include "store/MailHostList.h"
#include "store/Pop3Client.h"

#include <algorithm>
#include <climits>
#include <cstdint>
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
    const store::Pop3Client& client = *m_session.Pop3Client();
    FetchProgress progress;
    progress.DeleteMode = client.InDeleteMode();
    progress.Mailbox = client.Account().Mailbox();
    // The messages on the server (from STAT) are what a run works through, fetching or deleting.
    progress.Done = progress.DeleteMode ? client.MessagesDeleted() : client.MessagesRetrieved();
    progress.Total = client.MessageCount();
    progress.Received = static_cast<int>(std::clamp<std::int64_t>(client.MessageBytes(), 0, INT_MAX));
    progress.Size = static_cast<int>(std::clamp<std::int64_t>(client.MessageSize(), 0, INT_MAX));
    progress.Deleted = client.MessagesDeleted();
    progress.ToDelete = progress.DeleteMode ? client.MessageCount() : 0;
    return progress;
}

} // namespace qm::engine
