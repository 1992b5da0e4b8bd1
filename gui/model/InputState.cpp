// The input state.
#include "gui/model/InputState.h"

#include "gui/model/GuiState.h"
#include "gui/model/Messages.h"
#include "gui/model/Metrics.h"

#include <array>

namespace qm::gui {

namespace {

struct State {
    HWND Capture = 0;
    TPoint Cursor;
    std::array<std::uint8_t, 256> Keys{}; // bit 0x80 down, bit 0x01 toggled
};

State& TheState()
{
    return GuiState().Part<State>();
}

} // namespace

HWND GetCapture()
{
    return TheState().Capture;
}

HWND SetCapture(HWND window)
{
    const HWND previous = TheState().Capture;
    TheState().Capture = window;
    return previous;
}

void ReleaseCapture()
{
    TheState().Capture = 0;
}

TPoint GetCursorPos()
{
    return TheState().Cursor;
}

void SetCursorPosState(TPoint screen)
{
    TheState().Cursor = screen;
}

std::int16_t GetKeyState(int virtualKey)
{
    if (virtualKey < 0 || virtualKey > 255)
        return 0;
    const std::uint8_t k = TheState().Keys[static_cast<std::size_t>(virtualKey)];
    return static_cast<std::int16_t>(((k & 0x80) != 0 ? 0x8000 : 0) | (k & 0x01));
}

void SetKeyDownState(int virtualKey, bool down)
{
    if (virtualKey < 0 || virtualKey > 255)
        return;
    std::uint8_t& k = TheState().Keys[static_cast<std::size_t>(virtualKey)];
    if (down && (k & 0x80) == 0)
        k = static_cast<std::uint8_t>((k ^ 0x01) | 0x80);
    else if (!down)
        k = static_cast<std::uint8_t>(k & 0x01);
}

void ResetInputState()
{
    TheState() = State{};
}

UINT TClickTracker::Press(HWND window, int button, TPoint at, std::uint64_t timeMs, TWantsDoubleClicks wants)
{
    const UINT down = button == VK_RBUTTON ? WM_RBUTTONDOWN : button == VK_MBUTTON ? WM_MBUTTONDOWN : WM_LBUTTONDOWN;
    const int halfW = GetSystemMetrics(SM_CXDOUBLECLK) / 2;
    const int halfH = GetSystemMetrics(SM_CYDOUBLECLK) / 2;
    const bool second = m_hasLast && m_window == window && m_button == button &&
                        timeMs - m_time <= GetDoubleClickTime() && at.x - m_at.x <= halfW && m_at.x - at.x <= halfW &&
                        at.y - m_at.y <= halfH && m_at.y - at.y <= halfH;
    if (second && wants == TWantsDoubleClicks::Yes) {
        m_hasLast = false; // the next press starts a new pair
        return down + (WM_LBUTTONDBLCLK - WM_LBUTTONDOWN);
    }
    m_hasLast = true;
    m_window = window;
    m_button = button;
    m_at = at;
    m_time = timeMs;
    return down;
}

} // namespace qm::gui
