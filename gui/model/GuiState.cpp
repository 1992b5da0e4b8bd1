// The window layer's process state.
#include "gui/model/GuiState.h"

namespace qm::gui {

TGuiState::~TGuiState()
{
    Reset();
}

void TGuiState::Reset()
{
    // A part's destructor may reach another part (a window table that closes its menus); each leaves the list
    // before it goes, and one made meanwhile goes in a later round.
    for (;;) {
        Owned last(nullptr, nullptr);
        {
            std::lock_guard guard(m_lock);
            if (m_parts.empty()) {
                return;
            }
            last = std::move(m_parts.back().Object);
            m_parts.pop_back();
        }
        last.reset();
    }
}

std::size_t TGuiState::PartCount() const
{
    std::lock_guard guard(m_lock);
    return m_parts.size();
}

void* TGuiState::FindOrAdd(const void* key, Owned (*make)())
{
    {
        std::lock_guard guard(m_lock);
        for (const Entry& entry : m_parts) {
            if (entry.Key == key) {
                return entry.Object.get();
            }
        }
    }
    Owned made = make();
    std::lock_guard guard(m_lock);
    // Another thread may have made the same part meanwhile: the first one stays.
    for (const Entry& entry : m_parts) {
        if (entry.Key == key) {
            return entry.Object.get();
        }
    }
    m_parts.push_back(Entry{key, std::move(made)});
    return m_parts.back().Object.get();
}

TGuiState& GuiState()
{
    // Reachable through this pointer to the end, so a leak checker does not count it.
    static TGuiState* const state = new TGuiState;
    return *state;
}

} // namespace qm::gui
