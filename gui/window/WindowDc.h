// The device contexts of a window: its client area during WM_PAINT (paint), at any time (client), and the
// whole window with the non-client area (window).
#pragma once

#include "gui/draw/Dc.h"
#include "gui/window/Window.h"

namespace qm::gui {

/// The context of a WM_PAINT: clipped to the invalid part of the client area. Outside WM_PAINT it paints
/// nothing (its rectangle is empty).
class TPaintDC : public TDC {
public:
    explicit TPaintDC(TWindow& window);
    ~TPaintDC() override;
    /// Whether the background still needs erasing (WM_ERASEBKGND did not erase it).
    bool Erase() const { return m_erase; }
    /// The rectangle to paint, in client coordinates.
    TRect PaintRect() const { return m_rect; }

private:
    bool m_erase = false;
    TRect m_rect;
};

/// The client area, drawn at once; what is drawn shows without a WM_PAINT.
class TClientDC : public TDC {
public:
    explicit TClientDC(TWindow& window);
    ~TClientDC() override;
};

/// The whole window, non-client area included; (0, 0) is the window's top-left corner.
class TWindowDC : public TDC {
public:
    explicit TWindowDC(TWindow& window);
    ~TWindowDC() override;
};

} // namespace qm::gui
