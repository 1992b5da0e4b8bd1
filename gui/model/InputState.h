// The input state the framework calls read: mouse capture, the cursor position, the key states, and the rule
// that turns a second fast press into a double-click only for window classes that ask for double-clicks.
#pragma once

#include "gui/model/Geometry.h"
#include "gui/model/WinTypes.h"

#include <cstdint>

namespace qm::gui {

/// The window that has the mouse capture (also a hidden window); 0 for none. The Qt side routes every mouse
/// message to it while it is set.
HWND GetCapture();
/// Returns the previous capture window.
HWND SetCapture(HWND window);
void ReleaseCapture();

/// The cursor position in screen coordinates, as the Qt side last saw it.
TPoint GetCursorPos();
void SetCursorPosState(TPoint screen);

/// High bit set (the result is negative) while the key is down; the low bit toggles with each press.
std::int16_t GetKeyState(int virtualKey);
/// The Qt side records each key and button press and release here.
void SetKeyDownState(int virtualKey, bool down);
/// Forgets every key, the capture and the cursor: for tests.
void ResetInputState();

/// Turns button presses into WM_xBUTTONDOWN or WM_xBUTTONDBLCLK: a second press of the same button on the same
/// window, within the double-click time and the double-click rectangle of the first, is a double-click when the
/// window's class has CS_DBLCLKS; a third press starts over. Without CS_DBLCLKS every press is a press.
class TClickTracker {
public:
    enum class TWantsDoubleClicks {
        No,
        Yes
    };

    /// button: VK_LBUTTON, VK_RBUTTON or VK_MBUTTON; at in screen coordinates; timeMs a monotonic time.
    UINT Press(HWND window, int button, TPoint at, std::uint64_t timeMs, TWantsDoubleClicks wants);

    /// Forgets the last press (the capture changed, a menu opened).
    void Reset() { m_hasLast = false; }

private:
    bool m_hasLast = false;
    HWND m_window = 0;
    int m_button = 0;
    TPoint m_at;
    std::uint64_t m_time = 0;
};

} // namespace qm::gui
