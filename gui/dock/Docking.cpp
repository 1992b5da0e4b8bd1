// The dockable control bar and the framework's edge slip.
#include "gui/dock/Docking.h"

#include "gui/dock/Harbor.h"
#include "gui/draw/Dc.h"
#include "gui/frame/DecoratedFrame.h"
#include "gui/model/DockTarget.h"

#include <algorithm>

namespace qm::gui {
namespace {

bool IsRouted(UINT msg)
{
    return msg == WM_COMMAND || msg == WM_COMMAND_ENABLE || msg == kMsgGadgetHint || msg == kMsgGadgetTooltip;
}

} // namespace

TDockingSlip* SlipOf(TWindow& window)
{
    return dynamic_cast<TDockingSlip*>(window.GetParent());
}

TDockableControlBar::TDockableControlBar(TWindow* parent, TTileDirection direction, TFont font)
    : TGadgetWindow(parent, direction, std::move(font))
{
    SetMargins(BarMarginsFor(alTop)); // the grip stands in the left margin
    SetShrinkWrap(true, true);
}

TMargins TDockableControlBar::BarMarginsFor(TAbsLocation location)
{
    return location == alLeft || location == alRight ? TMargins{4, 4, 10, 4} : TMargins{10, 4, 4, 4};
}

TAbsLocation TDockableControlBar::GetLocation()
{
    TDockingSlip* slip = SlipOf(*this);
    return slip != nullptr ? slip->GetLocation() : alNone;
}

TSize TDockableControlBar::ComputeSize(TAbsLocation location)
{
    const TTileDirection old = GetDirection();
    const TMargins oldMargins = GetMargins();
    const TTileDirection direction = DirectionForLocation(location);
    SetDirection(direction);
    if ((old == Vertical) != (direction == Vertical)) {
        // Turned between a horizontal and a vertical edge, the margins turn with the bar.
        SetMargins(TMargins{oldMargins.Top, oldMargins.Bottom, oldMargins.Left, oldMargins.Right});
    }
    TSize size;
    GetDesiredSize(size);
    SetDirection(old);
    SetMargins(oldMargins);
    return size;
}

void TDockableControlBar::Layout(TAbsLocation location)
{
    SetDirection(DirectionForLocation(location));
    // A bar takes the size of its gadgets both ways at every edge (a direction of its own would make a
    // horizontal bar keep the width it had in a vertical slip).
    SetShrinkWrap(true, true);
    LayoutSession();
}

bool TDockableControlBar::ShouldBeginDrag(const TPoint& point)
{
    return GetClientRect().Contains(point) && GadgetFromPoint(point) == nullptr;
}

LRESULT TDockableControlBar::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == WM_LBUTTONDOWN) {
        const TPoint point(GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam));
        if (GetHarbor() != nullptr && ShouldBeginDrag(point)) {
            GetHarbor()->DockDragBegin(*this, ClientToScreen(point));
            return 0;
        }
    }
    return TGadgetWindow::WindowProc(msg, wParam, lParam);
}

void TDockableControlBar::Paint(TDC& dc, bool erase, TRect& rect)
{
    TGadgetWindow::Paint(dc, erase, rect);
    if (GetLocation() != alNone) {
        PaintGrip(dc);
    }
}

void TDockableControlBar::PaintGrip(TDC& dc)
{
    // Two raised bars across the bar's start.
    const TRect client = GetClientRect();
    const bool vertical = GetDirection() == Vertical;
    for (int i = 0; i < 2; ++i) {
        const TRect bar = vertical ? TRect(3, 3 + 3 * i, client.right - 3, 6 + 3 * i)
                                   : TRect(3 + 3 * i, 3, 6 + 3 * i, client.bottom - 3);
        dc.Draw3dRect(bar, TColor::FromSys(COLOR_BTNHIGHLIGHT), TColor::FromSys(COLOR_BTNSHADOW));
    }
}

TEdgeSlip::TEdgeSlip(TWindow& frame, TAbsLocation location)
    : TWindow(&frame)
    , m_location(location)
{
    Attr.Style = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN;
    Attr.W = 0;
    Attr.H = 0;
}

void TEdgeSlip::GetWindowClass(TWindowClass& windowClass)
{
    TWindow::GetWindowClass(windowClass);
    windowClass.Name = "EdgeSlip";
    windowClass.Background = TColor::FromSys(COLOR_BTNFACE);
}

void TEdgeSlip::DockableInsert(TDockable& dockable, const TPoint* topLeft)
{
    TWindow* window = dockable.GetWindow();
    window->ShowWindow(SW_HIDE);
    window->Attr.Style = (window->Attr.Style & ~WS_POPUP) | WS_CHILD | WS_VISIBLE;
    window->SetParent(this);
    dockable.SetHarbor(GetHarbor());
    m_inLayout = true;
    // Inside the insertion: the size the new margins give in the old direction is not this slip's to place.
    if (auto* bar = dynamic_cast<TGadgetWindow*>(window); bar != nullptr) {
        bar->SetMargins(TDockableControlBar::BarMarginsFor(m_location));
    }
    if (HasWindow() && !window->HasWindow()) {
        window->Create();
    }
    dockable.Layout(m_location);
    m_inLayout = false;
    // Without a drop point the bar goes after the others.
    TPoint at(0, 0);
    if (topLeft != nullptr) {
        at = *topLeft;
    } else {
        for (TWindow* child : GetChildren()) {
            if (child != window && child->HasWindow()) {
                const TRect r = child->GetWindowRect();
                const TPoint end = ScreenToClient(r.BottomRight());
                at = Horizontal() ? TPoint(std::max(at.x, end.x), 0) : TPoint(0, std::max(at.y, end.y));
            }
        }
    }
    if (window->HasWindow()) {
        window->SetWindowPos(kHwndTop, Horizontal() ? at.x : 0, Horizontal() ? 0 : at.y, 0, 0,
                             SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        window->ShowWindow(SW_SHOWNA);
    }
    ReLayout();
}

void TEdgeSlip::DockableMove(TDockable& dockable, const TPoint* topLeft)
{
    TWindow* window = dockable.GetWindow();
    const TPoint at = topLeft != nullptr ? *topLeft : TPoint(0, 0);
    if (window->HasWindow()) {
        window->SetWindowPos(kHwndTop, Horizontal() ? at.x : 0, Horizontal() ? 0 : at.y, 0, 0,
                             SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    ReLayout();
}

void TEdgeSlip::DockableRemoved(TDockable&)
{
    ReLayout();
}

void TEdgeSlip::ReLayout()
{
    if (m_inLayout || !HasWindow()) {
        return;
    }
    m_inLayout = true;

    // Bars in order along the edge by where they stand (each place read once); none overlaps the one before it.
    struct TPlaced {
        int Along;
        TWindow* Bar;
    };

    std::vector<TPlaced> bars;
    for (TWindow* child : GetChildren()) {
        if (child->HasWindow() && (child->GetStyle() & WS_VISIBLE) != 0) {
            const TPoint p = ScreenToClient(child->GetWindowRect().TopLeft());
            bars.push_back({Horizontal() ? p.x : p.y, child});
        }
    }
    std::stable_sort(bars.begin(), bars.end(), [](const TPlaced& a, const TPlaced& b) { return a.Along < b.Along; });
    int next = 0;
    int thickness = 0;
    for (const auto& [along, bar] : bars) {
        const TRect r = bar->GetWindowRect();
        const int pos = std::max(next, along);
        bar->SetWindowPos(kHwndTop, Horizontal() ? pos : 0, Horizontal() ? 0 : pos, 0, 0,
                          SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        next = pos + (Horizontal() ? r.Width() : r.Height());
        thickness = std::max(thickness, Horizontal() ? r.Height() : r.Width());
    }
    m_inLayout = false;
    if (thickness == m_thickness) {
        return;
    }
    m_thickness = thickness;
    const TRect own = GetWindowRect();
    SetWindowPos(kHwndTop, 0, 0, Horizontal() ? own.Width() : thickness, Horizontal() ? thickness : own.Height(),
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    if (auto* frame = dynamic_cast<TDecoratedFrame*>(GetParent()); frame != nullptr) {
        frame->ReLayout();
    }
}

LRESULT TEdgeSlip::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (IsRouted(msg)) {
        return GetParent() != nullptr && GetParent()->HasWindow() ? GetParent()->SendMessage(msg, wParam, lParam) : 0;
    }
    if (msg == WM_PARENTNOTIFY && LOWORD(wParam) == WM_SIZE && !m_inLayout) {
        ReLayout();
    }
    return TWindow::WindowProc(msg, wParam, lParam);
}

} // namespace qm::gui
