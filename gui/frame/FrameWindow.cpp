// The frame window: client placement, the menu bar in the non-client area, command routing and enabling.
#include "gui/frame/FrameWindow.h"

#include "gui/draw/Dc.h"
#include "gui/draw/DcImpl.h"
#include "gui/menu/MenuView.h"
#include "gui/model/Metrics.h"
#include "gui/window/Application.h"
#include "gui/window/WindowDc.h"
#include "gui/window/WindowWidget.h"

#include <QWidget>

namespace qm::gui {

TFrameWindow::TFrameWindow(TWindow* parent, std::string_view title, TWindow* client)
    : TWindow(parent, title)
{
    Attr.Style = WS_OVERLAPPEDWINDOW | WS_VISIBLE;
    SetClientWindow(client);
}

TFrameWindow::~TFrameWindow()
{
    if (m_menu) {
        DestroyMenu(m_menu);
    }
}

TWindow* TFrameWindow::SetClientWindow(TWindow* client)
{
    TWindow* old = m_client;
    m_client = client;
    if (client != nullptr) {
        if (client->GetParent() != this) {
            client->SetParent(this);
        }
        client->Attr.Style |= WS_CHILD | WS_VISIBLE;
        if (HasWindow() && !client->HasWindow()) {
            client->Create();
        }
    }
    if (HasWindow()) {
        Layout();
    }
    return old;
}

bool TFrameWindow::AssignMenu(HMENU menu)
{
    if (menu && !IsMenu(menu)) {
        return false;
    }
    if (m_menu && m_menu != menu) {
        DestroyMenu(m_menu);
    }
    m_menu = menu;
    DrawMenuBar();
    return true;
}

bool TFrameWindow::AssignMenu(int resId)
{
    const HMENU menu = LoadMenu(resId);
    return menu && AssignMenu(menu);
}

int TFrameWindow::MenuBarHeight(int width) const
{
    if (!m_menu || GetMenuItemCount(m_menu) <= 0) {
        m_barItems.clear();
        return 0;
    }
    m_barItems = LayoutMenuBarItems(const_cast<TFrameWindow&>(*this), m_menu, width);
    int bottom = 0;
    for (const TRect& r : m_barItems) {
        bottom = std::max(bottom, r.bottom);
    }
    return bottom + 1; // a line under the bar parts it from the client area
}

TRect TFrameWindow::MenuBarRect() const
{
    const TRect insets = GetNonClientInsets();
    const TRect window = GetWindowRect();
    return TRect(0, 0, window.Width(), insets.top);
}

void TFrameWindow::DrawMenuBar()
{
    if (!HasWindow()) {
        return;
    }
    // A new non-client size follows from NCCALCSIZE at the next geometry change; force one now.
    const TRect window = GetWindowRect();
    SetWindowPos(kHwndTop, 0, 0, window.Width(), window.Height() + 1, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    SetWindowPos(kHwndTop, 0, 0, window.Width(), window.Height(), SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    PaintMenuBar();
}

std::vector<TRect> TFrameWindow::GetMenuBarItemRects() const
{
    std::vector<TRect> out;
    if (!HasWindow() || !m_menu) {
        return out;
    }
    const TRect window = GetWindowRect();
    for (const TRect& r : m_barItems) {
        out.push_back(r.OffsetBy(window.left, window.top));
    }
    return out;
}

void TFrameWindow::PaintMenuBar()
{
    if (!HasWindow() || !m_menu) {
        return;
    }
    const TRect bar = MenuBarRect();
    if (bar.IsEmpty()) {
        return;
    }
    TWindowDC dc(*this);
    dc.FillRect(bar, TBrush(TColor::FromSys(COLOR_MENU)));
    dc.FillRect(TRect(bar.left, bar.bottom - 1, bar.right, bar.bottom), TBrush(TColor::FromSys(COLOR_3DSHADOW)));
    const TMenuTracker* tracker = ActiveMenuTracker();
    const int selected = tracker != nullptr ? tracker->BarSelection() : -1;
    for (std::size_t i = 0; i < m_barItems.size(); ++i) {
        DrawMenuItem(dc, *this, m_menu, static_cast<int>(i), m_barItems[i], static_cast<int>(i) == selected, true);
    }
}

std::vector<TCommandTarget*> TFrameWindow::CommandChain() const
{
    std::vector<TCommandTarget*> chain;
    if (auto* client = dynamic_cast<TCommandTarget*>(m_client); client != nullptr) {
        chain.push_back(client);
    }
    chain.push_back(const_cast<TFrameWindow*>(this));
    if (auto* app = dynamic_cast<TCommandTarget*>(TApplication::Current()); app != nullptr) {
        chain.push_back(app);
    }
    return chain;
}

bool TFrameWindow::SetIcon(int iconId)
{
    return ShowIcon(m_iconId, iconId);
}

bool TFrameWindow::SetIconSm(int iconId)
{
    return ShowIcon(m_iconSmId, iconId);
}

bool TFrameWindow::ShowIcon(int& slot, int iconId)
{
    if (!HasIconResource(iconId)) {
        return false;
    }
    slot = iconId;
    ShowIcon();
    return true;
}

void TFrameWindow::ShowIcon()
{
    if (HasWindow() && (m_iconId != 0 || m_iconSmId != 0)) {
        WidgetOf(*this)->setWindowIcon(ToQIcon(m_iconId, m_iconSmId != 0 ? m_iconSmId : m_iconId));
    }
}

void TFrameWindow::SetupWindow()
{
    TWindow::SetupWindow();
    ShowIcon();
    if (m_client != nullptr && !m_client->HasWindow()) {
        m_client->Create();
    }
    if (m_menu) {
        DrawMenuBar();
    }
    Layout();
}

void TFrameWindow::Layout()
{
    if (m_client != nullptr && m_client->HasWindow()) {
        m_client->MoveWindow(GetClientRect(), true);
    }
}

void TFrameWindow::MenuSelect(WPARAM, LPARAM)
{}

LRESULT TFrameWindow::MenuChar(WPARAM, LPARAM)
{
    return 0;
}

LRESULT TFrameWindow::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam)
{
    switch (msg) {
    case WM_NCCALCSIZE: {
        TWindow::WindowProc(msg, wParam, lParam);
        auto* rect = reinterpret_cast<TRect*>(lParam);
        rect->top = std::min(rect->bottom, rect->top + MenuBarHeight(rect->Width()));
        return 0;
    }
    case WM_NCPAINT:
        TWindow::WindowProc(msg, wParam, lParam);
        PaintMenuBar();
        return 0;
    case WM_NCHITTEST: {
        const TPoint screen(GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam));
        const TRect window = GetWindowRect();
        if (MenuBarRect().OffsetBy(window.left, window.top).Contains(screen)) {
            return HTMENU;
        }
        return TWindow::WindowProc(msg, wParam, lParam);
    }
    case WM_NCLBUTTONDOWN:
        if (wParam == HTMENU) {
            const std::vector<TRect> items = GetMenuBarItemRects();
            const TPoint screen(GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam));
            for (std::size_t i = 0; i < items.size(); ++i) {
                if (items[i].Contains(screen)) {
                    TrackMenuBar(*this, m_menu, items, static_cast<int>(i), true);
                    break;
                }
            }
            return 0;
        }
        return TWindow::WindowProc(msg, wParam, lParam);
    case WM_COMMAND: {
        const std::vector<TCommandTarget*> chain = CommandChain();
        if (RouteCommand(chain, LOWORD(wParam))) {
            return 0;
        }
        return TWindow::WindowProc(msg, wParam, lParam);
    }
    case WM_COMMAND_ENABLE: {
        const std::vector<TCommandTarget*> chain = CommandChain();
        RouteCommandEnable(chain, *reinterpret_cast<TCommandEnabler*>(lParam), AutoEnable);
        return 1;
    }
    case WM_INITMENUPOPUP: {
        const std::vector<TCommandTarget*> chain = CommandChain();
        EnableMenuItems(HMENU{static_cast<std::uint32_t>(wParam)}, chain, GetHandle(), AutoEnable);
        return 0;
    }
    case WM_SYSCOMMAND:
        if ((wParam & 0xFFF0) == SC_KEYMENU && m_menu && HasWindow()) {
            TrackMenuBarByKey(*this, m_menu, GetMenuBarItemRects(), static_cast<char>(lParam));
            return 0;
        }
        return TWindow::WindowProc(msg, wParam, lParam);
    case WM_MENUSELECT:
        MenuSelect(wParam, lParam);
        return 0;
    case WM_MENUCHAR:
        return MenuChar(wParam, lParam);
    case WM_SIZE:
        TWindow::WindowProc(msg, wParam, lParam);
        Layout();
        return 0;
    default:
        return TWindow::WindowProc(msg, wParam, lParam);
    }
}

} // namespace qm::gui
