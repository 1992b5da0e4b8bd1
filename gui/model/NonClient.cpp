// Non-client geometry.
#include "gui/model/NonClient.h"

#include "gui/model/Messages.h"
#include "gui/model/Metrics.h"

#include <algorithm>

namespace qm::gui {

namespace {

bool HasCaption(DWORD style)
{
    return (style & WS_CAPTION) == WS_CAPTION;
}

int CaptionHeight(DWORD style, DWORD exStyle)
{
    if (!HasCaption(style))
        return 0;
    return GetSystemMetrics((exStyle & WS_EX_TOOLWINDOW) != 0 ? SM_CYSMCAPTION : SM_CYCAPTION);
}

} // namespace

TSize FrameSize(DWORD style, DWORD exStyle)
{
    TSize s;
    if ((style & WS_THICKFRAME) != 0)
        s = {GetSystemMetrics(SM_CXFRAME), GetSystemMetrics(SM_CYFRAME)};
    else if ((style & WS_DLGFRAME) != 0 || (exStyle & WS_EX_DLGMODALFRAME) != 0)
        s = {GetSystemMetrics(SM_CXDLGFRAME), GetSystemMetrics(SM_CYDLGFRAME)};
    else if ((style & WS_BORDER) != 0)
        s = {GetSystemMetrics(SM_CXBORDER), GetSystemMetrics(SM_CYBORDER)};
    if ((exStyle & WS_EX_CLIENTEDGE) != 0)
        s = s + TSize(GetSystemMetrics(SM_CXEDGE), GetSystemMetrics(SM_CYEDGE));
    return s;
}

TNonClientGeometry ComputeNonClient(TSize windowSize, DWORD style, DWORD exStyle, bool hasMenu)
{
    TNonClientGeometry g;
    g.Window = TRect(TPoint(), windowSize);
    g.Sizable = (style & WS_THICKFRAME) != 0;
    const TSize frame = FrameSize(style, exStyle);
    g.FrameWidth = frame.cx;
    g.FrameHeight = frame.cy;
    // The client edge lies inside the caption and menu; the outer frame outside them.
    const int edgeX = (exStyle & WS_EX_CLIENTEDGE) != 0 ? GetSystemMetrics(SM_CXEDGE) : 0;
    const int edgeY = (exStyle & WS_EX_CLIENTEDGE) != 0 ? GetSystemMetrics(SM_CYEDGE) : 0;
    const int outerX = frame.cx - edgeX;
    const int outerY = frame.cy - edgeY;
    int y = outerY;
    const int caption = CaptionHeight(style, exStyle);
    if (caption > 0) {
        g.Caption = TRect(outerX, y, windowSize.cx - outerX, y + caption);
        y += caption;
        if ((style & WS_SYSMENU) != 0 && caption > 4) {
            const int h = caption - 4;
            const int w = h + 2;
            g.CloseBox = TRect(g.Caption.right - 2 - w, g.Caption.top + 2, g.Caption.right - 2, g.Caption.top + 2 + h);
        }
    }
    if (hasMenu && (style & WS_CHILD) == 0) {
        const int menu = GetSystemMetrics(SM_CYMENU);
        g.MenuBar = TRect(outerX, y, windowSize.cx - outerX, y + menu);
        y += menu;
    }
    g.Client = TRect(outerX + edgeX, y + edgeY, std::max(outerX + edgeX, windowSize.cx - frame.cx),
                     std::max(y + edgeY, windowSize.cy - frame.cy));
    return g;
}

TRect AdjustWindowRectEx(const TRect& client, DWORD style, bool hasMenu, DWORD exStyle)
{
    const TSize frame = FrameSize(style, exStyle);
    int top = frame.cy + CaptionHeight(style, exStyle);
    if (hasMenu && (style & WS_CHILD) == 0)
        top += GetSystemMetrics(SM_CYMENU);
    return {client.left - frame.cx, client.top - top, client.right + frame.cx, client.bottom + frame.cy};
}

int NcHitTest(const TNonClientGeometry& geometry, TPoint windowPoint)
{
    const TNonClientGeometry& g = geometry;
    const TPoint p = windowPoint;
    if (!g.Window.Contains(p))
        return HTNOWHERE;
    if (g.Client.Contains(p))
        return HTCLIENT;
    if (g.CloseBox.Contains(p))
        return HTCLOSE;
    if (g.Caption.Contains(p))
        return HTCAPTION;
    if (g.MenuBar.Contains(p))
        return HTMENU;
    if (!g.Sizable)
        return HTBORDER;
    // Corners reach as far along the edges as a caption is high, as the window system's do.
    const int corner = GetSystemMetrics(SM_CYCAPTION) + g.FrameHeight;
    const bool left = p.x < g.FrameWidth;
    const bool right = p.x >= g.Window.right - g.FrameWidth;
    const bool top = p.y < g.FrameHeight;
    const bool bottom = p.y >= g.Window.bottom - g.FrameHeight;
    const bool nearLeft = p.x < corner;
    const bool nearRight = p.x >= g.Window.right - corner;
    const bool nearTop = p.y < corner;
    const bool nearBottom = p.y >= g.Window.bottom - corner;
    if ((top && nearLeft) || (left && nearTop))
        return HTTOPLEFT;
    if ((top && nearRight) || (right && nearTop))
        return HTTOPRIGHT;
    if ((bottom && nearLeft) || (left && nearBottom))
        return HTBOTTOMLEFT;
    if ((bottom && nearRight) || (right && nearBottom))
        return HTBOTTOMRIGHT;
    if (left)
        return HTLEFT;
    if (right)
        return HTRIGHT;
    if (top)
        return HTTOP;
    if (bottom)
        return HTBOTTOM;
    return HTBORDER;
}

} // namespace qm::gui
