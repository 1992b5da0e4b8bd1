// Menus on the screen: measuring, drawing and tracking over the model's menus and tracker.
#include "gui/menu/MenuView.h"

#include "gui/draw/BitmapResources.h"
#include "gui/draw/Dc.h"
#include "gui/model/GuiState.h"
#include "gui/model/Metrics.h"
#include "gui/window/Application.h"
#include "gui/window/EventFilter.h"
#include "gui/window/Window.h"
#include "gui/window/WindowDc.h"
#include "gui/window/WindowWidget.h"

#include <QApplication>
#include <QEventLoop>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QObject>
#include <QWidget>

#include <algorithm>
#include <functional>
#include <memory>

namespace qm::gui {
namespace {

constexpr int kCheckRoom = 18; // room left of a string item's text for a check mark
constexpr int kArrowRoom = 15; // room right of the text for the submenu arrow
constexpr int kBarPadding = 6;

TFont MenuFont()
{
    return TFont(GetMenuFont());
}

bool IsOwnerDrawn(UINT flags)
{
    return (flags & MF_OWNERDRAW) != 0;
}

// The size of a label as it is drawn: the '&' of a mnemonic takes no room, tabs are expanded.
TSize TextSize(std::string_view text)
{
    TMemoryDC dc;
    dc.SelectObject(MenuFont());
    TRect r(0, 0, 0, 0);
    dc.DrawText(text, r, DT_SINGLELINE | DT_EXPANDTABS | DT_CALCRECT);
    return r.Size();
}

// The bitmap an item shows (the whole item of an MFT_BITMAP item, else an image left of its string); null for
// none or a bitmap resource that cannot be read.
const TBitmap* ItemBitmap(HMENU menu, int pos)
{
    MENUITEMINFO info;
    info.fMask = MIIM_BITMAP;
    if (!GetMenuItemInfo(menu, static_cast<UINT>(pos), true, info) || info.hbmpItem == 0) {
        return nullptr;
    }
    const TBitmap* bitmap = FindBitmapResource(static_cast<int>(info.hbmpItem));
    return bitmap != nullptr && !bitmap->IsEmpty() ? bitmap : nullptr;
}

// The room left of a pop-up item's string: the check mark's, or wider for an image beside the string.
int CheckRoom(const TBitmap* beside)
{
    return beside != nullptr ? std::max(kCheckRoom, beside->Width() + 4) : kCheckRoom;
}

class TMenuSession;

// The menu being tracked now (one at a time).
struct ActiveMenu {
    TMenuSession* Session = nullptr;
};

TMenuSession*& Session()
{
    return GuiState().Part<ActiveMenu>().Session;
}

// A window of the pop-up at one level; it paints the items the tracker placed.
class TMenuPopupWindow : public TWindow {
public:
    TMenuPopupWindow(TMenuSession& session, int level)
        : TWindow(nullptr)
        , m_session(session)
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

private:
    TMenuSession& m_session;
    int m_level;
};

// One tracking: the tracker, the owner's side of it, the pop-up windows and the input they receive.
class TMenuSession final
    : public QObject
    , public TMenuTrackerHost {
public:
    TMenuSession(TWindow& owner)
        : m_owner(owner)
    {}

    ~TMenuSession() override
    {
        ReleaseGrab();
        for (auto& popup : m_popups) {
            if (popup) {
                popup->Destroy();
            }
        }
    }

    TWindow& Owner() const { return m_owner; }

    const TMenuTracker* Tracker() const { return m_tracker.get(); }

    TWindow* Popup(int level) const
    {
        return level >= 0 && level < static_cast<int>(m_popups.size()) ? m_popups[static_cast<std::size_t>(level)].get()
                                                                       : nullptr;
    }

    void SetTracker(std::unique_ptr<TMenuTracker> tracker) { m_tracker = std::move(tracker); }

    UINT Loop()
    {
        if (m_tracker->IsDone()) {
            return m_tracker->Result();
        }
        Repaint(); // a bar item selected from the keyboard shows before any input
        qApp->installEventFilter(this);
        QEventLoop loop;
        m_loop = &loop;
        loop.exec();
        m_loop = nullptr;
        qApp->removeEventFilter(this);
        return m_tracker->Result();
    }

    void Cancel()
    {
        m_tracker->Cancel();
        AfterInput();
    }

    // TMenuTrackerHost
    LRESULT SendToOwner(UINT message, WPARAM wParam, LPARAM lParam) override
    {
        return m_owner.HasWindow() ? m_owner.SendMessage(message, wParam, lParam) : 0;
    }

    void PostToOwner(UINT message, WPARAM wParam, LPARAM lParam) override
    {
        m_owner.PostMessage(message, wParam, lParam);
    }

    TSize MeasureItem(HMENU menu, int pos) override { return MeasureMenuItem(m_owner, menu, pos, false); }

    void Beep() override { QApplication::beep(); }

    void PopupOpened(int level, HMENU, const TRect& screenRect) override
    {
        if (static_cast<int>(m_popups.size()) <= level) {
            m_popups.resize(static_cast<std::size_t>(level) + 1);
        }
        auto popup = std::make_unique<TMenuPopupWindow>(*this, level);
        popup->Attr.X = screenRect.left;
        popup->Attr.Y = screenRect.top;
        popup->Attr.W = screenRect.Width();
        popup->Attr.H = screenRect.Height();
        if (popup->Create()) {
            popup->ShowWindow(SW_SHOWNA);
        }
        m_popups[static_cast<std::size_t>(level)] = std::move(popup);
        Grab();
    }

    void PopupClosed(int level) override
    {
        if (level < static_cast<int>(m_popups.size()) && m_popups[static_cast<std::size_t>(level)]) {
            m_popups[static_cast<std::size_t>(level)]->Destroy();
            m_popups[static_cast<std::size_t>(level)].reset();
        }
        Grab();
    }

protected:
    bool eventFilter(QObject* object, QEvent* event) override;

private:
    // The first open pop-up takes the mouse (through the capture, so a press outside the application still ends
    // the tracking) and the keyboard; with none open (a bar item selected) the grabs are given back.
    void Grab()
    {
        TWindow* first = m_popups.empty() ? nullptr : m_popups.front().get();
        if (first == nullptr || !first->HasWindow()) {
            ReleaseGrab();
            return;
        }
        first->SetCapture();
        WidgetOf(*first)->grabKeyboard();
    }

    static void ReleaseGrab()
    {
        if (QWidget* grabber = QWidget::keyboardGrabber()) {
            grabber->releaseKeyboard();
        }
        TWindow::ReleaseCapture();
    }

    void Repaint()
    {
        for (auto& popup : m_popups) {
            if (popup && popup->HasWindow()) {
                popup->Invalidate(false);
            }
        }
        if (m_owner.HasWindow()) {
            m_owner.SendMessage(WM_NCPAINT, 1, 0); // a bar item's selection shows in the frame's menu bar
        }
    }

    void AfterInput()
    {
        Repaint();
        if (m_tracker->IsDone() && m_loop != nullptr) {
            m_loop->quit();
        }
    }

    TWindow& m_owner;
    std::unique_ptr<TMenuTracker> m_tracker;
    std::vector<std::unique_ptr<TMenuPopupWindow>> m_popups;
    QEventLoop* m_loop = nullptr;
};

bool TMenuSession::eventFilter(QObject* object, QEvent* event)
{
    (void)object;
    switch (event->type()) {
    case QEvent::KeyPress: {
        auto* e = static_cast<QKeyEvent*>(event);
        if (const int vk = VirtualKey(*e); vk != 0) {
            m_tracker->KeyDown(vk);
        }
        // The character the key typed, when printable: a mnemonic.
        if (const QString text = e->text();
            !text.isEmpty() && text.at(0).unicode() >= 0x20 && text.at(0).unicode() < 0x7F) {
            m_tracker->Char(static_cast<char>(text.at(0).unicode()));
        }
        AfterInput();
        return true;
    }
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
        return true;
    case QEvent::MouseMove:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseButtonRelease: {
        auto* e = static_cast<QMouseEvent*>(event);
        const QPointF g = e->globalPosition();
        const TPoint at(static_cast<int>(g.x()), static_cast<int>(g.y()));
        const int button = e->button() == Qt::RightButton ? VK_RBUTTON : VK_LBUTTON;
        if (event->type() == QEvent::MouseMove) {
            m_tracker->MouseMove(at);
        } else if (event->type() == QEvent::MouseButtonRelease) {
            m_tracker->ButtonUp(button, at);
        } else {
            m_tracker->ButtonDown(button, at);
        }
        AfterInput();
        return true;
    }
    case QEvent::ApplicationDeactivate:
        m_tracker->Cancel();
        AfterInput();
        return false;
    default:
        return false;
    }
}

void TMenuPopupWindow::Paint(TDC& dc, bool, TRect&)
{
    const TMenuTracker* tracker = m_session.Tracker();
    if (tracker == nullptr || m_level >= tracker->Depth()) {
        return;
    }
    const TRect client = GetClientRect();
    TRect edge = client;
    dc.DrawEdge(edge, EDGE_RAISED, BF_RECT | BF_MIDDLE);
    dc.FillRect(TRect(2, 2, client.right - 2, client.bottom - 2), TBrush(TColor::FromSys(COLOR_MENU)));
    const HMENU menu = tracker->MenuAt(m_level);
    const TRect popup = tracker->PopupRect(m_level);
    const int count = GetMenuItemCount(menu);
    for (int pos = 0; pos < count; ++pos) {
        TRect item = tracker->ItemRect(m_level, pos);
        item.Offset(-popup.left, -popup.top);
        DrawMenuItem(dc, m_session.Owner(), menu, pos, item, tracker->SelectionAt(m_level) == pos, false);
    }
}

// The submenu arrow of a pop-up item: a small triangle pointing right in the arrow room at the item's right end.
void DrawSubmenuArrow(TDC& dc, const TRect& rect, TColor color)
{
    const int cx = rect.right - 8;
    const int cy = rect.top + rect.Height() / 2;
    for (int i = 0; i < 4; ++i) {
        dc.FillRect(TRect(cx - 4 + i, cy - (3 - i), cx - 3 + i, cy + (4 - i)), TBrush(color));
    }
}

void DrawStringItem(TDC& dc, HMENU menu, int pos, const TRect& rect, bool selected, bool inBar, UINT flags)
{
    const bool grey = (flags & (MF_GRAYED | MF_DISABLED)) != 0;
    const TColor back = TColor::FromSys(selected ? COLOR_HIGHLIGHT : COLOR_MENU);
    dc.FillRect(rect, TBrush(back));
    dc.SetBkMode(TRANSPARENT);
    dc.SelectObject(MenuFont());
    const std::string text = GetMenuString(menu, static_cast<UINT>(pos), MF_BYPOSITION);
    const auto tab = text.find('\t');
    const TBitmap* beside = inBar ? nullptr : ItemBitmap(menu, pos);
    TRect textRect = rect;
    if (!inBar) {
        textRect.left += CheckRoom(beside);
        textRect.right -= kArrowRoom;
    }
    const auto draw = [&](std::string_view part, unsigned align) {
        TRect r = textRect;
        if (grey && !selected) {
            dc.SetTextColor(TColor::FromSys(COLOR_3DHILIGHT));
            TRect shifted = r;
            shifted.Offset(1, 1);
            dc.DrawText(part, shifted, align | DT_SINGLELINE | DT_VCENTER);
        }
        dc.SetTextColor(TColor::FromSys(grey ? COLOR_GRAYTEXT : (selected ? COLOR_HIGHLIGHTTEXT : COLOR_MENUTEXT)));
        dc.DrawText(part, r, align | DT_SINGLELINE | DT_VCENTER);
    };
    draw(std::string_view(text).substr(0, tab), inBar ? DT_CENTER : DT_LEFT);
    if (tab != std::string::npos) {
        draw(std::string_view(text).substr(tab + 1), DT_RIGHT);
    }
    const TColor mark = TColor::FromSys(selected ? COLOR_HIGHLIGHTTEXT : COLOR_MENUTEXT);
    if (beside != nullptr) {
        // The image stands in the check room, centred; a checked item frames it sunken instead of a tick.
        const int room = CheckRoom(beside);
        const TPoint at(rect.left + (room - beside->Width()) / 2, rect.top + (rect.Height() - beside->Height()) / 2);
        if (grey) {
            dc.DrawEmbossed(at, *beside);
        } else {
            dc.DrawBitmap(at, *beside);
        }
        if ((flags & MF_CHECKED) != 0) {
            dc.Draw3dRect(TRect(at.x - 1, at.y - 1, at.x + beside->Width() + 1, at.y + beside->Height() + 1),
                          TColor::FromSys(COLOR_3DSHADOW), TColor::FromSys(COLOR_3DHILIGHT));
        }
    } else if (!inBar && (flags & MF_CHECKED) != 0) {
        // A small tick in the check room, centred vertically.
        const int x = rect.left + 4;
        const int y = rect.top + rect.Height() / 2 - 3;
        for (int i = 0; i < 7; ++i) {
            const int dy = i < 3 ? i : 4 - i + 2;
            dc.FillRect(TRect(x + i, y + dy + (i < 3 ? 2 : 0), x + i + 1, y + dy + (i < 3 ? 5 : 3)), TBrush(mark));
        }
    }
    if (!inBar && (flags & MF_POPUP) != 0) {
        DrawSubmenuArrow(dc, rect, mark);
    }
}

// An MFT_BITMAP item: the bitmap is the item, left-aligned after the check room in a pop-up and centred in the
// bar; a selected one is drawn inverted on the highlight, a grey one embossed.
void DrawBitmapItem(TDC& dc, const TBitmap& bitmap, const TRect& rect, bool selected, bool inBar, UINT flags)
{
    const bool grey = (flags & (MF_GRAYED | MF_DISABLED)) != 0;
    dc.FillRect(rect, TBrush(TColor::FromSys(selected ? COLOR_HIGHLIGHT : COLOR_MENU)));
    const int x = inBar ? rect.left + (rect.Width() - bitmap.Width()) / 2 : rect.left + kCheckRoom;
    const TPoint at(x, rect.top + (rect.Height() - bitmap.Height()) / 2);
    if (grey) {
        dc.DrawEmbossed(at, bitmap);
        return;
    }
    dc.DrawBitmap(at, bitmap);
    if (selected) {
        const TRect drawn(at, bitmap.Size());
        dc.BitBlt(drawn, dc, drawn.TopLeft(), DSTINVERT);
    }
}

} // namespace

TSize MeasureMenuItem(TWindow& owner, HMENU menu, int pos, bool inBar)
{
    const UINT flags = GetMenuItemFlags(menu, static_cast<UINT>(pos), MF_BYPOSITION);
    if (flags == kNoMenuItem) {
        return TSize(0, 0);
    }
    if (IsOwnerDrawn(flags)) {
        MEASUREITEMSTRUCT mis = MakeMenuMeasureItem(menu, pos);
        if (owner.HasWindow()) {
            owner.SendMessage(WM_MEASUREITEM, 0, reinterpret_cast<LPARAM>(&mis));
        }
        return TSize(static_cast<int>(mis.itemWidth), static_cast<int>(mis.itemHeight));
    }
    if ((flags & MF_SEPARATOR) != 0) {
        return TSize(0, 8);
    }
    const TBitmap* bitmap = ItemBitmap(menu, pos);
    if ((flags & MF_BITMAP) != 0) {
        // The bitmap is the item (an unreadable one leaves an empty item of the usual height).
        const TSize size = bitmap != nullptr ? bitmap->Size() : TSize(0, 0);
        const int height = std::max(inBar ? GetSystemMetrics(SM_CYMENU) : 0, size.cy + 2);
        return inBar ? TSize(size.cx + 2 * kBarPadding, height) : TSize(kCheckRoom + size.cx + kArrowRoom, height);
    }
    const TSize text = TextSize(GetMenuString(menu, static_cast<UINT>(pos), MF_BYPOSITION));
    int height = std::max(GetSystemMetrics(SM_CYMENU), text.cy + 4);
    if (inBar) {
        return TSize(text.cx + 2 * kBarPadding, height);
    }
    if (bitmap != nullptr) {
        height = std::max(height, bitmap->Height() + 2);
    }
    return TSize(CheckRoom(bitmap) + text.cx + kArrowRoom + 8, height);
}

std::vector<TRect> LayoutMenuBarItems(TWindow& owner, HMENU bar, int width)
{
    std::vector<TSize> sizes;
    const int count = std::max(0, GetMenuItemCount(bar));
    for (int pos = 0; pos < count; ++pos) {
        sizes.push_back(MeasureMenuItem(owner, bar, pos, true));
    }
    return LayoutMenuBar(bar, sizes, width, GetSystemMetrics(SM_CYMENU));
}

void DrawMenuItem(TDC& dc, TWindow& owner, HMENU menu, int pos, const TRect& rect, bool selected, bool inBar)
{
    const UINT flags = GetMenuItemFlags(menu, static_cast<UINT>(pos), MF_BYPOSITION);
    if (flags == kNoMenuItem) {
        return;
    }
    if (IsOwnerDrawn(flags)) {
        DRAWITEMSTRUCT dis = MakeMenuDrawItem(menu, pos, rect, selected, &dc);
        if (owner.HasWindow()) {
            owner.SendMessage(WM_DRAWITEM, 0, reinterpret_cast<LPARAM>(&dis));
        }
        if (!inBar && (flags & MF_POPUP) != 0) {
            // As the window system does, the arrow of a submenu is drawn over what the owner drew, in the
            // arrow room the owner leaves at the item's right end.
            DrawSubmenuArrow(dc, rect, TColor::FromSys(selected ? COLOR_HIGHLIGHTTEXT : COLOR_MENUTEXT));
        }
        return;
    }
    if ((flags & MF_SEPARATOR) != 0) {
        const int y = rect.top + rect.Height() / 2 - 1;
        dc.FillRect(TRect(rect.left + 2, y, rect.right - 2, y + 1), TBrush(TColor::FromSys(COLOR_3DSHADOW)));
        dc.FillRect(TRect(rect.left + 2, y + 1, rect.right - 2, y + 2), TBrush(TColor::FromSys(COLOR_3DHILIGHT)));
        return;
    }
    if ((flags & MF_BITMAP) != 0) {
        if (const TBitmap* bitmap = ItemBitmap(menu, pos); bitmap != nullptr) {
            DrawBitmapItem(dc, *bitmap, rect, selected, inBar, flags);
        } else {
            dc.FillRect(rect, TBrush(TColor::FromSys(selected ? COLOR_HIGHLIGHT : COLOR_MENU)));
        }
        return;
    }
    DrawStringItem(dc, menu, pos, rect, selected, inBar, flags);
}

UINT TrackPopupMenuEx(HMENU menu, UINT flags, int x, int y, TWindow& owner, const TPMPARAMS* params)
{
    if (Session() != nullptr || !IsMenu(menu) || GetMenuItemCount(menu) <= 0) {
        return 0;
    }
    TMenuSession session(owner);
    Session() = &session;
    const TRect* exclude = params != nullptr ? &params->rcExclude : nullptr;
    session.SetTracker(std::make_unique<TMenuTracker>(session, menu, flags, TPoint(x, y), exclude, GetScreenRect()));
    UINT result = 0;
    if (const_cast<TMenuTracker*>(session.Tracker())->Start()) {
        result = session.Loop();
    }
    Session() = nullptr;
    if ((flags & TPM_RETURNCMD) != 0) {
        return result;
    }
    return result != 0 ? 1 : 0;
}

bool TrackPopupMenu(HMENU menu, UINT flags, int x, int y, int, TWindow& owner, const TRect*)
{
    return TrackPopupMenuEx(menu, flags, x, y, owner, nullptr) != 0;
}

namespace {

// Tracks a menu bar from the start that start makes; the chosen command, 0 for none.
UINT TrackBar(TWindow& owner, HMENU bar, std::vector<TRect> screenItems,
              const std::function<bool(TMenuTracker&)>& start)
{
    if (Session() != nullptr || !IsMenu(bar)) {
        return 0;
    }
    TMenuSession session(owner);
    Session() = &session;
    session.SetTracker(std::make_unique<TMenuTracker>(session, bar, std::move(screenItems), GetScreenRect()));
    auto& tracker = const_cast<TMenuTracker&>(*session.Tracker());
    const UINT result = start(tracker) ? session.Loop() : tracker.Result();
    Session() = nullptr;
    if (owner.HasWindow()) {
        owner.SendMessage(WM_NCPAINT, 1, 0);
    }
    return result;
}

} // namespace

UINT TrackMenuBar(TWindow& owner, HMENU bar, std::vector<TRect> screenItems, int index, bool openPopup)
{
    return TrackBar(owner, bar, std::move(screenItems),
                    [&](TMenuTracker& tracker) { return tracker.StartBar(index, openPopup); });
}

UINT TrackMenuBarByKey(TWindow& owner, HMENU bar, std::vector<TRect> screenItems, char mnemonic)
{
    return TrackBar(owner, bar, std::move(screenItems), [&](TMenuTracker& tracker) {
        return mnemonic == 0 ? tracker.StartBar(0, false) : tracker.StartBarByChar(mnemonic);
    });
}

const TMenuTracker* ActiveMenuTracker()
{
    return Session() != nullptr ? Session()->Tracker() : nullptr;
}

TWindow* ActiveMenuPopup(int level)
{
    return Session() != nullptr ? Session()->Popup(level) : nullptr;
}

void CancelMenuTracking()
{
    if (Session() != nullptr) {
        Session()->Cancel();
    }
}

} // namespace qm::gui
