#include "gui/ctrl/PaneSplitter.h"

#include "gui/draw/Dc.h"
#include "gui/model/InputState.h"

#include <cstdint>

namespace qm::gui {

namespace {

/// A bar between panes one above the other moves up and down; one between panes side by side, left and right.
HCURSOR SizingCursor(const TSplitterBar& bar)
{
    return LoadCursor(bar.Direction == TSplitDirection::psHorizontal ? IDC_SIZENS : IDC_SIZEWE);
}

} // namespace

TPaneSplitter::TPaneSplitter(TWindow* parent, std::string_view title)
    : TWindow(parent, title)
{
    Attr.Style = WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN;
}

int TPaneSplitter::KeyOf(const TWindow* pane) const
{
    for (const auto& [key, window] : m_panes) {
        if (window == pane) {
            return key;
        }
    }
    return 0;
}

bool TPaneSplitter::SplitPane(TWindow* target, TWindow* newPane, TSplitDirection direction, float percent)
{
    if (target == nullptr || newPane == nullptr || KeyOf(newPane) != 0) {
        return false;
    }
    int targetKey = KeyOf(target);
    const bool first = m_layout.IsEmpty();
    if (targetKey == 0 && !first) {
        return false;
    }
    if (targetKey == 0) {
        targetKey = m_nextKey++;
    }
    const int newKey = m_nextKey++;
    if (!m_layout.Split(targetKey, newKey, direction, percent)) {
        return false;
    }
    if (first) {
        m_panes[targetKey] = target;
    }
    m_panes[newKey] = newPane;
    for (TWindow* pane : {target, newPane}) {
        pane->SetParent(this);
        if (HasWindow() && !pane->HasWindow()) {
            pane->Create();
        }
    }
    Layout();
    return true;
}

std::vector<TWindow*> TPaneSplitter::GetPanes() const
{
    std::vector<TWindow*> out;
    for (int key : m_layout.Panes()) {
        out.push_back(m_panes.at(key));
    }
    return out;
}

void TPaneSplitter::SetupWindow()
{
    TWindow::SetupWindow();
    Layout();
}

void TPaneSplitter::Layout()
{
    if (!HasWindow()) {
        return;
    }
    for (const TPanePlace& place : m_layout.Places(GetClientRect())) {
        TWindow* pane = m_panes.at(place.Pane);
        if (pane->HasWindow()) {
            pane->MoveWindow(place.Rect, true);
        }
    }
    Invalidate(false);
}

void TPaneSplitter::Paint(TDC& dc, bool, TRect&)
{
    for (const TSplitterBar& bar : m_layout.Bars(GetClientRect())) {
        dc.FillSolidRect(bar.Rect, TColor::FromSys(COLOR_3DFACE));
    }
}

LRESULT TPaneSplitter::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam)
{
    const TPoint point(GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam));
    switch (msg) {
    case WM_SIZE: {
        const LRESULT result = TWindow::WindowProc(msg, wParam, lParam);
        Layout();
        return result;
    }
    case WM_SETCURSOR:
        // Over a bar the sizing cursor of its direction. Elsewhere (also over a pane, whose widget inherits the
        // splitter's cursor) the class cursor comes back before the usual handling.
        if (static_cast<std::int16_t>(LOWORD(static_cast<std::uint64_t>(lParam))) == HTCLIENT) {
            const std::optional<TSplitterBar> bar =
                    m_layout.BarAt(GetClientRect(), ScreenToClient(qm::gui::GetCursorPos()));
            if (bar && static_cast<HWND>(wParam) == GetHandle()) {
                ShowClientCursor(SizingCursor(*bar));
                return 1;
            }
            ShowClientCursor(GetClass().Cursor);
        }
        break;
    case WM_LBUTTONDOWN:
        if (const std::optional<TSplitterBar> bar = m_layout.BarAt(GetClientRect(), point)) {
            const bool across = bar->Direction == TSplitDirection::psHorizontal;
            m_drag = Drag{bar->Split, across, across ? point.y - bar->Rect.top : point.x - bar->Rect.left};
            SetCapture();
            // The sizing cursor holds while the bar is dragged, wherever the pointer goes.
            SetCursor(SizingCursor(*bar));
            return 0;
        }
        break;
    case WM_MOUSEMOVE:
        if (m_drag) {
            m_layout.MoveBar(GetClientRect(), m_drag->Split, (m_drag->Across ? point.y : point.x) - m_drag->Grab);
            Layout();
            return 0;
        }
        break;
    case WM_LBUTTONUP:
        if (m_drag) {
            m_drag.reset();
            ReleaseCapture();
            return 0;
        }
        break;
    case WM_CAPTURECHANGED:
        m_drag.reset();
        break;
    default:
        break;
    }
    return TWindow::WindowProc(msg, wParam, lParam);
}

} // namespace qm::gui
