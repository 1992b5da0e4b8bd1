// Keyboard entry to the menu bar.
#include "gui/model/MenuBarKeys.h"

namespace qm::gui {

TMenuBarKeys::TEntry TMenuBarKeys::Key(UINT message, WPARAM wParam)
{
    const int key = static_cast<int>(wParam);
    switch (message) {
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN: {
        // Alt or F10 counts only when no other key is held with it (Shift+F10 and Ctrl+Alt are other keys); its
        // own auto-repeat keeps it alone.
        const bool alone = m_held.empty() || (m_held.size() == 1 && m_held.contains(key));
        m_armed = (key == VK_MENU || key == VK_F10) && alone ? key : 0;
        m_held.insert(key);
        return {};
    }
    case WM_KEYUP:
    case WM_SYSKEYUP: {
        m_held.erase(key);
        const bool enter = key != 0 && key == m_armed;
        if (enter) {
            Reset();
        }
        m_armed = 0;
        return {enter, 0};
    }
    case WM_SYSCHAR: {
        m_armed = 0;
        const char ch = static_cast<char>(wParam);
        // A printable character other than the blank (Alt+Space is the system menu, which has no counterpart);
        // with Ctrl held it is a shortcut, not a mnemonic.
        if (wParam > 0x20 && wParam < 0x7F && !m_held.contains(VK_CONTROL)) {
            Reset();
            return {true, ch};
        }
        return {};
    }
    default:
        return {};
    }
}

void TMenuBarKeys::Reset()
{
    m_held.clear();
    m_armed = 0;
}

} // namespace qm::gui
