// The pop-up windows of menu tracking: one frameless top-most window per open level, taking the mouse (through
// the capture) and the keyboard while the tracker runs.
#include "gui/window/PopupMenu.h"

#include "gui/draw/Dc.h"
#include "gui/model/Color.h"
#include "gui/model/MenuTracker.h"
#include "gui/model/Metrics.h"
#include "gui/window/WindowDc.h"

#include <QEventLoop>
#include <QWidget>

#include <memory>
#include <vector>

namespace qm::gui {

namespace {

class TTracking;
TTracking* g_tracking = nullptr;

// Gaps around a string item's text: room for a check mark on the left and a submenu arrow on the right.
constexpr int kTextLeft = 20;
constexpr int kTextRight = 20;

class TPopupWindow : public TWindow {
public:
    TPopupWindow(TTracking& tracking, int level)
        : TWindow(nullptr)
        , m_tracking(tracking)
        , m_level(level)
    {
        Attr.Style = WS_POPUP;
        Attr.ExStyle = WS_EX_TOOLWINDOW | WS_EX_TOPMOST;
    }

    void GetWindowClass(TWindowClass& wc) override
    {
        wc.Name = "#32768";
        wc.Style = 0;
        wc.Background = TColor::FromSys(COLOR_MENU);
    }

    void Paint(TDC& dc, bool erase, TRect& rect) override;
    LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override;

private:
    TTracking& m_tracking;
    int m_level;
};

class TTracking final : public TMenuTrackerHost {
public:
    TTracking(TWindow& owner, HMENU menu, UINT flags, TPoint at, const TRect* exclude)
        : Owner(owner)
        , Tracker(*this, menu, flags, at, exclude, GetScreenRect())
    {}

    LRESULT SendToOwner(UINT message, WPARAM wParam, LPARAM lParam) override
    {
        return Owner.HasWindow() ? Owner.SendMessage(message, wParam, lParam) : 0;
    }

    void PostToOwner(UINT message, WPARAM wParam, LPARAM lParam) override
    {
        if (Owner.HasWindow()) {
            Owner.PostMessage(message, wParam, lParam);
        }
    }

    TSize MeasureItem(HMENU menu, int pos) override
    {
        const UINT flags = GetMenuItemFlags(menu, static_cast<UINT>(pos), MF_BYPOSITION);
        if ((flags & MF_OWNERDRAW) != 0) {
            MEASUREITEMSTRUCT m = MakeMenuMeasureItem(menu, pos);
            SendToOwner(WM_MEASUREITEM, 0, reinterpret_cast<LPARAM>(&m));
            return TSize(static_cast<int>(m.itemWidth), static_cast<int>(m.itemHeight));
        }
        if ((flags & MF_SEPARATOR) != 0) {
            return TSize(0, 8);
        }
        TMemoryDC dc;
        dc.SelectObject(TFont(GetMenuFont()));
        const std::string text = GetMenuString(menu, static_cast<UINT>(pos), MF_BYPOSITION);
        TRect r(0, 0, 0, 0);
        dc.DrawText(text, r, DT_SINGLELINE | DT_EXPANDTABS | DT_CALCRECT);
        return TSize(r.Width() + kTextLeft + kTextRight, std::max(GetSystemMetrics(SM_CYMENU), r.Height() + 4));
    }

    void PopupOpened(int level, HMENU, const TRect& screenRect) override
    {
        if (static_cast<int>(Windows.size()) <= level) {
            Windows.resize(static_cast<std::size_t>(level) + 1);
        }
        auto window = std::make_unique<TPopupWindow>(*this, level);
        window->Attr.X = screenRect.left;
        window->Attr.Y = screenRect.top;
        window->Attr.W = screenRect.Width();
        window->Attr.H = screenRect.Height();
        if (window->Create()) {
            window->ShowWindow(SW_SHOWNA);
        }
        Windows[static_cast<std::size_t>(level)] = std::move(window);
        Grab();
    }

    void PopupClosed(int level) override
    {
        // The pop-up may be closing from inside its own handler: the object goes once tracking is over.
        if (level < static_cast<int>(Windows.size()) && Windows[static_cast<std::size_t>(level)]) {
            Windows[static_cast<std::size_t>(level)]->Destroy();
            Closed.push_back(std::move(Windows[static_cast<std::size_t>(level)]));
        }
        Grab();
    }

    // Mouse (through the capture) and keyboard go to the first pop-up while tracking runs.
    void Grab()
    {
        TPopupWindow* first = Windows.empty() ? nullptr : Windows.front().get();
        if (first == nullptr || !first->HasWindow()) {
            return;
        }
        first->SetCapture();
        first->GetWidget()->grabKeyboard();
    }

    // After each input: repaint the open pop-ups, end the loop when done.
    void Changed()
    {
        for (const auto& w : Windows) {
            if (w && w->HasWindow()) {
                w->Invalidate(false);
            }
        }
        if (Tracker.IsDone() && Loop != nullptr) {
            Loop->quit();
        }
    }

    TWindow& Owner;
    TMenuTracker Tracker;
    std::vector<std::unique_ptr<TPopupWindow>> Windows;
    std::vector<std::unique_ptr<TPopupWindow>> Closed;
    QEventLoop* Loop = nullptr;
};

void TPopupWindow::Paint(TDC& dc, bool, TRect&)
{
    TMenuTracker& tracker = m_tracking.Tracker;
    if (m_level >= tracker.Depth()) {
        return;
    }
    const HMENU menu = tracker.MenuAt(m_level);
    const TPoint origin = tracker.PopupRect(m_level).TopLeft();
    TRect frame = GetClientRect();
    dc.DrawEdge(frame, EDGE_RAISED, BF_RECT | BF_ADJUST);
    dc.SelectObject(TFont(GetMenuFont()));
    dc.SetBkMode(TRANSPARENT);
    const int count = GetMenuItemCount(menu);
    for (int pos = 0; pos < count; ++pos) {
        TRect r = tracker.ItemRect(m_level, pos);
        r.Offset(-origin.x, -origin.y);
        const bool selected = tracker.SelectionAt(m_level) == pos;
        const UINT flags = GetMenuItemFlags(menu, static_cast<UINT>(pos), MF_BYPOSITION);
        if ((flags & MF_OWNERDRAW) != 0) {
            DRAWITEMSTRUCT d = MakeMenuDrawItem(menu, pos, r, selected, &dc);
            m_tracking.SendToOwner(WM_DRAWITEM, 0, reinterpret_cast<LPARAM>(&d));
            continue;
        }
        if ((flags & MF_SEPARATOR) != 0) {
            const int y = r.top + r.Height() / 2 - 1;
            dc.FillRect(TRect(r.left + 1, y, r.right - 1, y + 1), TBrush(TColor::FromSys(COLOR_3DSHADOW)));
            dc.FillRect(TRect(r.left + 1, y + 1, r.right - 1, y + 2), TBrush(TColor::FromSys(COLOR_3DHILIGHT)));
            continue;
        }
        const bool grey = (flags & (MF_GRAYED | MF_DISABLED)) != 0;
        dc.FillRect(r, TBrush(TColor::FromSys(selected ? COLOR_HIGHLIGHT : COLOR_MENU)));
        dc.SetTextColor(TColor::FromSys(grey ? COLOR_GRAYTEXT : (selected ? COLOR_HIGHLIGHTTEXT : COLOR_MENUTEXT)));
        const std::string text = GetMenuString(menu, static_cast<UINT>(pos), MF_BYPOSITION);
        const auto tab = text.find('\t');
        TRect textRect(r.left + kTextLeft, r.top, r.right - kTextRight, r.bottom);
        dc.DrawText(text.substr(0, tab), textRect, DT_SINGLELINE | DT_VCENTER | DT_LEFT);
        if (tab != std::string::npos) {
            dc.DrawText(text.substr(tab + 1), textRect, DT_SINGLELINE | DT_VCENTER | DT_RIGHT);
        }
        if ((flags & MF_CHECKED) != 0) {
            TRect mark(r.left + 4, r.top, r.left + kTextLeft, r.bottom);
            dc.DrawText("\xE2\x9C\x93", mark, DT_SINGLELINE | DT_VCENTER | DT_LEFT | DT_NOPREFIX);
        }
        if ((flags & MF_POPUP) != 0) {
            TRect arrow(r.right - kTextRight, r.top, r.right - 4, r.bottom);
            dc.DrawText("\xE2\x96\xB8", arrow, DT_SINGLELINE | DT_VCENTER | DT_RIGHT | DT_NOPREFIX);
        }
    }
}

LRESULT TPopupWindow::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam)
{
    TMenuTracker& tracker = m_tracking.Tracker;
    const TPoint screen = ClientToScreen(TPoint(GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)));
    switch (msg) {
    case WM_MOUSEMOVE:
        tracker.MouseMove(screen);
        break;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
        tracker.ButtonDown(VK_LBUTTON, screen);
        break;
    case WM_RBUTTONDOWN:
    case WM_RBUTTONDBLCLK:
        tracker.ButtonDown(VK_RBUTTON, screen);
        break;
    case WM_LBUTTONUP:
        tracker.ButtonUp(VK_LBUTTON, screen);
        break;
    case WM_RBUTTONUP:
        tracker.ButtonUp(VK_RBUTTON, screen);
        break;
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN:
        tracker.KeyDown(static_cast<int>(wParam));
        break;
    case WM_CHAR:
        if (wParam >= 0x20 && wParam < 0x7F) {
            tracker.Char(static_cast<char>(wParam));
        }
        break;
    default:
        return TWindow::WindowProc(msg, wParam, lParam);
    }
    m_tracking.Changed();
    return 0;
}

} // namespace

UINT TrackPopupMenuEx(HMENU menu, UINT flags, int x, int y, TWindow& owner, const TPMPARAMS* params)
{
    if (g_tracking != nullptr || !owner.HasWindow() || !IsMenu(menu)) {
        return 0;
    }
    TTracking tracking(owner, menu, flags, TPoint(x, y), params != nullptr ? &params->rcExclude : nullptr);
    if (!tracking.Tracker.Start()) {
        return 0;
    }
    g_tracking = &tracking;
    QEventLoop loop;
    tracking.Loop = &loop;
    if (!tracking.Tracker.IsDone()) {
        loop.exec();
    }
    g_tracking = nullptr;
    if (QWidget* grabber = QWidget::keyboardGrabber()) {
        grabber->releaseKeyboard();
    }
    TWindow::ReleaseCapture();
    tracking.Windows.clear();
    tracking.Closed.clear();
    if ((flags & TPM_RETURNCMD) != 0) {
        return tracking.Tracker.Result();
    }
    return 1;
}

void EndMenu()
{
    if (g_tracking != nullptr) {
        g_tracking->Tracker.Cancel();
        g_tracking->Changed();
    }
}

} // namespace qm::gui
