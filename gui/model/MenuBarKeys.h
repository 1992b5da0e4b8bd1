// Keyboard entry to a window's menu bar: F10, or Alt pressed and released with no other key between, selects the
// bar's first item; Alt with a character opens the bar item whose mnemonic it is. The layer feeds every key
// message it builds here before dispatching it, and starts the bar's tracking (WM_SYSCOMMAND SC_KEYMENU to the
// top-level window) when the message that asked for it reached the default handling.
#pragma once

#include "gui/model/Messages.h"

#include <set>

namespace qm::gui {

class TMenuBarKeys {
public:
    /// What a key message asks of the menu bar.
    struct TEntry {
        bool Enter = false; // start tracking the bar
        char Mnemonic = 0;  // 0: select the first item; otherwise open the item with this mnemonic
    };

    /// A key message: WM_KEYDOWN, WM_SYSKEYDOWN, WM_KEYUP, WM_SYSKEYUP or WM_SYSCHAR with its key or character.
    /// Other messages ask nothing. Once it asks for the bar, the keys still held are forgotten: the bar's tracking
    /// takes their releases.
    TEntry Key(UINT message, WPARAM wParam);
    /// A mouse button went down or the application lost the focus: a pending Alt or F10 release opens nothing,
    /// and no key is held any more.
    void Reset();

private:
    std::set<int> m_held; // keys down now (an auto-repeat is a key already down)
    int m_armed = 0;      // VK_MENU or VK_F10 pressed alone; 0 for none
};

} // namespace qm::gui
