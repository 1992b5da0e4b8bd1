// Non-client geometry: the frame, caption, menu bar and caption buttons a window style gives, the window
// rectangle for a client rectangle, and the hit test of a point. The layer draws captions itself (the floating
// slip's tool window caption with its close box), so these numbers are what it paints and hit-tests.
#pragma once

#include "gui/model/Geometry.h"
#include "gui/model/WinTypes.h"

namespace qm::gui {

struct TNonClientGeometry {
    TRect Window;   // (0, 0, width, height)
    TRect Client;   // in window coordinates
    TRect Caption;  // empty without a caption
    TRect CloseBox; // empty without a system menu
    TRect MenuBar;  // empty without a menu
    int FrameWidth = 0;
    int FrameHeight = 0;
    bool Sizable = false;
};

/// The frame width of a style: the sizing frame, else the dialog frame (also for a caption), else a thin border;
/// a client edge adds its width. Pop-ups and children without border styles have none.
TSize FrameSize(DWORD style, DWORD exStyle);

/// The geometry of a window of the given size. A caption is SM_CYCAPTION high (SM_CYSMCAPTION for a tool window);
/// the close box sits at the caption's right end, 2 pixels in.
TNonClientGeometry ComputeNonClient(TSize windowSize, DWORD style, DWORD exStyle, bool hasMenu);

/// The window rectangle whose client area is client (the window system's AdjustWindowRectEx).
TRect AdjustWindowRectEx(const TRect& client, DWORD style, bool hasMenu, DWORD exStyle);

/// HT* code of a point in window coordinates: HTNOWHERE outside, HTCLIENT, HTCLOSE, HTCAPTION, HTMENU, the
/// sizing edges and corners of a sizable frame, HTBORDER on a fixed frame.
int NcHitTest(const TNonClientGeometry& geometry, TPoint windowPoint);

} // namespace qm::gui
