// The floating slip: a frameless tool window with a caption and close box drawn by the layer.
#include "gui/dock/FloatingSlip.h"

#include "gui/dock/Harbor.h"
#include "gui/draw/Dc.h"
#include "gui/window/WindowDc.h"

#include <algorithm>

namespace qm::gui {
namespace {

// The look the slip draws: a tool window's caption and close box on a thin frame; the real window is frameless.
constexpr DWORD kDrawnStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU;
constexpr DWORD kDrawnExStyle = WS_EX_TOOLWINDOW;

TFont CaptionFont()
{
    TFont font = DefaultGuiFont();
    font.Weight = FW_BOLD;
    return font;
}

// Where the caption's text goes: after a small gap, up to the close box.
TRect CaptionTextRect(const TNonClientGeometry& g)
{
    TRect text = g.Caption;
    text.left += 2;
    text.right = g.CloseBox.IsEmpty() ? text.right : g.CloseBox.left - 1;
    return text;
}

} // namespace

TSize TFloatingSlip::WindowSizeFor(TDockable& dockable, std::string_view caption)
{
    const TSize size = dockable.ComputeSize(alNone);
    const TRect window = AdjustWindowRectEx(TRect(0, 0, size.cx, size.cy), kDrawnStyle, false, kDrawnExStyle);
    if (caption.empty()) {
        return window.Size();
    }
    TMemoryDC dc;
    dc.SelectBitmap(TBitmap(1, 1));
    dc.SelectObject(CaptionFont());
    const int need = dc.GetTextExtent(caption).cx;
    const TNonClientGeometry g = ComputeNonClient(window.Size(), kDrawnStyle, kDrawnExStyle, false);
    return TSize(window.Width() + std::max(0, need - CaptionTextRect(g).Width()), window.Height());
}

TFloatingSlip::TFloatingSlip(TWindow* parent, int x, int y, TDockable& dockable, std::string_view title)
    : TWindow(parent, title)
    , m_dockable(&dockable)
{
    Attr.Style = WS_POPUP | WS_VISIBLE | WS_CLIPCHILDREN;
    Attr.ExStyle = WS_EX_TOOLWINDOW;
    Attr.X = x;
    Attr.Y = y;
    const TSize window = WindowSizeFor(dockable, title);
    Attr.W = window.cx;
    Attr.H = window.cy;
}

void TFloatingSlip::GetWindowClass(TWindowClass& windowClass)
{
    TWindow::GetWindowClass(windowClass);
    windowClass.Name = "FloatingSlip";
    windowClass.Background = TColor::FromSys(COLOR_BTNFACE);
}

void TFloatingSlip::SetupWindow()
{
    TWindow::SetupWindow();
    if (m_dockable != nullptr) {
        DockableInsert(*m_dockable, nullptr);
    }
}

TNonClientGeometry TFloatingSlip::Geometry() const
{
    const TRect window = HasWindow() ? GetWindowRect() : TRect(0, 0, Attr.W, Attr.H);
    return ComputeNonClient(window.Size(), kDrawnStyle, kDrawnExStyle, false);
}

void TFloatingSlip::FitToDockable()
{
    if (m_dockable == nullptr || !HasWindow()) {
        return;
    }
    const TSize window = WindowSizeFor(*m_dockable, GetCaption());
    SetWindowPos(kHwndTop, 0, 0, window.cx, window.cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void TFloatingSlip::DockableInsert(TDockable& dockable, const TPoint*)
{
    m_dockable = &dockable;
    TWindow* window = dockable.GetWindow();
    if (window->GetParent() != this) {
        window->ShowWindow(SW_HIDE);
        window->SetParent(this);
    }
    window->Attr.Style = (window->Attr.Style & ~WS_POPUP) | WS_CHILD | WS_VISIBLE;
    dockable.SetHarbor(GetHarbor());
    if (auto* bar = dynamic_cast<TGadgetWindow*>(window); bar != nullptr) {
        bar->SetMargins(TDockableControlBar::BarMarginsFor(alNone));
    }
    if (HasWindow() && !window->HasWindow()) {
        window->Create();
    }
    dockable.Layout(alNone);
    SetCaption(window->GetCaption());
    FitToDockable();
    if (window->HasWindow()) {
        window->SetWindowPos(kHwndTop, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        window->ShowWindow(SW_SHOWNA);
    }
}

void TFloatingSlip::DockableMove(TDockable&, const TPoint* topLeft)
{
    if (topLeft != nullptr && HasWindow()) {
        SetWindowPos(kHwndTop, topLeft->x, topLeft->y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
}

void TFloatingSlip::DockableRemoved(TDockable& dockable)
{
    if (m_dockable == &dockable) {
        m_dockable = nullptr;
    }
}

void TFloatingSlip::CloseBoxClicked()
{
    ShowWindow(SW_HIDE);
}

void TFloatingSlip::PaintCaption()
{
    if (!HasWindow()) {
        return;
    }
    const TNonClientGeometry g = Geometry();
    TWindowDC dc(*this);
    // The frame: a raised edge filled with the face colour up to the client area.
    TRect frame = g.Window;
    dc.DrawEdge(frame, EDGE_RAISED, BF_RECT | BF_MIDDLE);
    dc.FillRect(g.Caption, TBrush(TColor::FromSys(COLOR_ACTIVECAPTION)));
    TRect text = CaptionTextRect(g);
    dc.SetBkMode(TRANSPARENT);
    dc.SetTextColor(TColor::FromSys(COLOR_CAPTIONTEXT));
    dc.SelectObject(CaptionFont());
    dc.DrawText(GetCaption(), text, DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
    if (g.CloseBox.IsEmpty()) {
        return;
    }
    TRect box = g.CloseBox;
    dc.DrawEdge(box, m_closePressed ? EDGE_SUNKEN : EDGE_RAISED, BF_RECT | BF_MIDDLE);
    // The cross: two diagonals two pixels thick in the button text colour.
    const int off = m_closePressed ? 1 : 0;
    const TRect c = g.CloseBox.InflatedBy(-3, -3).OffsetBy(off, off);
    dc.SelectObject(TPen(TColor::FromSys(COLOR_BTNTEXT)));
    for (int d = 0; d < 2; ++d) {
        dc.MoveTo(c.left + d, c.top);
        dc.LineTo(c.right - 1 + d, c.bottom - 1);
        dc.MoveTo(c.right - 2 + d, c.top);
        dc.LineTo(c.left - 1 + d, c.bottom - 1);
    }
    dc.RestorePen();
}

LRESULT TFloatingSlip::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam)
{
    switch (msg) {
    case WM_NCCALCSIZE: {
        auto* rect = reinterpret_cast<TRect*>(lParam);
        const TNonClientGeometry g = ComputeNonClient(rect->Size(), kDrawnStyle, kDrawnExStyle, false);
        *rect = g.Client.OffsetBy(rect->left, rect->top);
        return 0;
    }
    case WM_NCPAINT:
        PaintCaption();
        return 0;
    case WM_NCHITTEST: {
        const TRect window = GetWindowRect();
        return NcHitTest(Geometry(), TPoint(GET_X_LPARAM(lParam) - window.left, GET_Y_LPARAM(lParam) - window.top));
    }
    case WM_NCLBUTTONDOWN:
        if (wParam == HTCLOSE) {
            m_closePressed = true;
            PaintCaption();
        } else if (wParam == HTCAPTION && m_dockable != nullptr && m_dockable->GetHarbor() != nullptr) {
            m_dockable->GetHarbor()->DockDragBegin(*m_dockable, TPoint(GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)));
        }
        return 0;
    case WM_NCLBUTTONUP:
        if (m_closePressed) {
            m_closePressed = false;
            PaintCaption();
            if (wParam == HTCLOSE) {
                CloseBoxClicked();
            }
        }
        return 0;
    case WM_NCMOUSEMOVE:
        if (m_closePressed && wParam != HTCLOSE) {
            m_closePressed = false;
            PaintCaption();
        }
        return 0;
    case WM_PARENTNOTIFY:
        if (LOWORD(wParam) == WM_SIZE) {
            FitToDockable();
        }
        return TWindow::WindowProc(msg, wParam, lParam);
    case WM_COMMAND:
    case WM_COMMAND_ENABLE:
    case kMsgGadgetHint:
    case kMsgGadgetTooltip:
        return GetParent() != nullptr && GetParent()->HasWindow() ? GetParent()->SendMessage(msg, wParam, lParam) : 0;
    default:
        return TWindow::WindowProc(msg, wParam, lParam);
    }
}

} // namespace qm::gui
