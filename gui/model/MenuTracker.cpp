// The pop-up menu tracker.
#include "gui/model/MenuTracker.h"

#include "gui/model/PopupPlacement.h"

#include <cctype>

namespace qm::gui {

namespace {

bool IsGrey(UINT state)
{
    return (state & (MF_GRAYED | MF_DISABLED)) != 0;
}

LPARAM MenuParam(HMENU menu)
{
    return static_cast<LPARAM>(menu.Value);
}

} // namespace

TMenuTracker::TMenuTracker(TMenuTrackerHost& host, HMENU menu, UINT flags, TPoint at, const TRect* exclude,
                           const TRect& screen)
    : m_host(host)
    , m_root(menu)
    , m_flags(flags)
    , m_at(at)
    , m_screen(screen)
{
    if (exclude != nullptr) {
        m_hasExclude = true;
        m_exclude = *exclude;
    }
}

bool TMenuTracker::Start()
{
    if (GetMenuItemCount(m_root) <= 0) {
        m_done = true;
        return false;
    }
    m_host.SendToOwner(WM_ENTERMENULOOP, 1, 0);
    m_host.SendToOwner(WM_INITMENU, m_root.Value, 0);
    Open(m_root, 0, m_at, m_hasExclude ? &m_exclude : nullptr, m_flags);
    return true;
}

TRect TMenuTracker::ItemRect(int level, int pos) const
{
    const Level& l = m_levels.at(static_cast<std::size_t>(level));
    return l.Items.at(static_cast<std::size_t>(pos)).OffsetBy(l.Rect.left, l.Rect.top);
}

void TMenuTracker::Open(HMENU menu, int parentPos, TPoint at, const TRect* exclude, UINT flags)
{
    // The owner's enablers run before the items are measured, so a changed label is measured as shown.
    m_host.SendToOwner(WM_INITMENUPOPUP, menu.Value, MAKELPARAM(parentPos, 0));
    Level level;
    level.Menu = menu;
    const int count = std::max(0, GetMenuItemCount(menu));
    int width = 0;
    int y = kPopupBorder;
    for (int i = 0; i < count; ++i) {
        const TSize size = m_host.MeasureItem(menu, i);
        level.Items.emplace_back(kPopupBorder, y, kPopupBorder + size.cx, y + size.cy);
        width = std::max(width, size.cx);
        y += size.cy;
    }
    for (auto& r : level.Items)
        r.right = kPopupBorder + width;
    const TSize size(width + 2 * kPopupBorder, y + kPopupBorder);
    level.Rect = PlacePopup(at, size, flags, exclude, m_screen);
    m_levels.push_back(level);
    m_host.PopupOpened(Depth() - 1, menu, level.Rect);
}

void TMenuTracker::OpenSubmenuOf(int level, bool selectFirst)
{
    const Level& parent = m_levels[static_cast<std::size_t>(level)];
    const int pos = parent.Selected;
    const HMENU sub = GetSubMenu(parent.Menu, pos);
    if (!sub || IsGrey(GetMenuState(parent.Menu, static_cast<UINT>(pos), MF_BYPOSITION)))
        return;
    if (Depth() > level + 1 && MenuAt(level + 1) == sub)
        return; // already open
    CloseDeeperThan(level);
    const TRect item = ItemRect(level, pos);
    // Beside the parent item, over the parent's frame, with its first item level with the parent item; never
    // over the item itself.
    Open(sub, pos, TPoint(item.right, item.top - kPopupBorder), &item, TPM_LEFTALIGN);
    if (selectFirst)
        MoveSelection(+1);
}

void TMenuTracker::CloseDeeperThan(int level)
{
    while (Depth() > level + 1) {
        m_levels.pop_back();
        m_host.PopupClosed(Depth());
    }
}

bool TMenuTracker::IsSelectable(HMENU menu, int pos) const
{
    return (GetMenuState(menu, static_cast<UINT>(pos), MF_BYPOSITION) & MF_SEPARATOR) == 0;
}

void TMenuTracker::Select(int level, int pos, bool byMouse)
{
    Level& l = m_levels[static_cast<std::size_t>(level)];
    if (l.Selected == pos)
        return;
    l.Selected = pos;
    if (pos < 0)
        return;
    const UINT state = GetMenuState(l.Menu, static_cast<UINT>(pos), MF_BYPOSITION);
    const bool popup = (state & MF_POPUP) != 0;
    UINT flags = (state & 0xFFFF & ~0xFF00u) | MF_HILITE | (byMouse ? MF_MOUSESELECT : 0);
    if (popup)
        flags |= MF_POPUP;
    const UINT item = popup ? static_cast<UINT>(pos) : GetMenuItemID(l.Menu, pos);
    m_host.SendToOwner(WM_MENUSELECT, MAKEWPARAM(static_cast<WORD>(item), static_cast<WORD>(flags)), MenuParam(l.Menu));
}

void TMenuTracker::Execute(int level, int pos)
{
    const HMENU menu = MenuAt(level);
    const UINT state = GetMenuState(menu, static_cast<UINT>(pos), MF_BYPOSITION);
    if (state == kNoMenuItem || (state & MF_SEPARATOR) != 0)
        return;
    CloseDeeperThan(level);
    Select(level, pos, false);
    if ((state & MF_POPUP) != 0) {
        OpenSubmenuOf(level, true);
        return;
    }
    if (IsGrey(state))
        return; // a grey item is shown selected but never chosen
    Finish(GetMenuItemID(menu, pos));
}

void TMenuTracker::Finish(UINT command)
{
    if (m_done)
        return;
    m_done = true;
    m_result = command;
    CloseDeeperThan(-1);
    m_host.SendToOwner(WM_MENUSELECT, MAKEWPARAM(0, 0xFFFF), 0);
    m_host.SendToOwner(WM_EXITMENULOOP, 1, 0);
    if (command != 0 && (m_flags & (TPM_RETURNCMD | TPM_NONOTIFY)) == 0)
        m_host.PostToOwner(WM_COMMAND, command, 0);
}

void TMenuTracker::Cancel()
{
    Finish(0);
}

void TMenuTracker::MoveSelection(int delta)
{
    const int level = Depth() - 1;
    const Level& l = m_levels[static_cast<std::size_t>(level)];
    const int count = static_cast<int>(l.Items.size());
    int pos = l.Selected;
    for (int step = 0; step < count; ++step) {
        pos = pos < 0 ? (delta > 0 ? 0 : count - 1) : (pos + delta + count) % count;
        if (IsSelectable(l.Menu, pos)) {
            Select(level, pos, false);
            return;
        }
    }
}

void TMenuTracker::KeyDown(int virtualKey)
{
    if (m_done)
        return;
    const int level = Depth() - 1;
    const int selected = SelectionAt(level);
    switch (virtualKey) {
    case VK_DOWN:
        MoveSelection(+1);
        break;
    case VK_UP:
        MoveSelection(-1);
        break;
    case VK_RIGHT:
        if (selected >= 0 && GetSubMenu(MenuAt(level), selected))
            OpenSubmenuOf(level, true);
        break;
    case VK_LEFT:
        if (level > 0)
            CloseDeeperThan(level - 1);
        break;
    case VK_ESCAPE:
        if (level > 0)
            CloseDeeperThan(level - 1);
        else
            Finish(0);
        break;
    case VK_RETURN:
        if (selected >= 0)
            Execute(level, selected);
        break;
    default:
        break;
    }
}

void TMenuTracker::Char(char ch)
{
    if (m_done || ch == 0)
        return;
    const int level = Depth() - 1;
    const HMENU menu = MenuAt(level);
    const char want = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    const int count = GetMenuItemCount(menu);
    std::vector<int> matches;
    for (int i = 0; i < count; ++i) {
        const UINT state = GetMenuState(menu, static_cast<UINT>(i), MF_BYPOSITION);
        if ((state & (MF_OWNERDRAW | MF_SEPARATOR | MF_BITMAP)) != 0)
            continue;
        if (MenuMnemonic(GetMenuString(menu, static_cast<UINT>(i), MF_BYPOSITION)) == want)
            matches.push_back(i);
    }
    if (matches.size() == 1) {
        Execute(level, matches.front());
        return;
    }
    if (matches.size() > 1) {
        // Several items share the letter: each press selects the next of them.
        const int selected = SelectionAt(level);
        int next = matches.front();
        for (int m : matches) {
            if (m > selected) {
                next = m;
                break;
            }
        }
        CloseDeeperThan(level);
        Select(level, next, false);
        return;
    }
    const LRESULT answer = m_host.SendToOwner(
            WM_MENUCHAR, MAKEWPARAM(static_cast<WORD>(static_cast<unsigned char>(ch)), static_cast<WORD>(MF_POPUP)),
            MenuParam(menu));
    const int code = HIWORD(static_cast<std::uint64_t>(answer));
    const int pos = LOWORD(static_cast<std::uint64_t>(answer));
    const bool inMenu = pos < count;
    switch (code) {
    case MNC_CLOSE:
        Finish(0);
        return;
    case MNC_EXECUTE:
        if (inMenu)
            Execute(level, pos);
        else
            m_host.Beep();
        return;
    case MNC_SELECT:
        if (inMenu && IsSelectable(menu, pos)) {
            CloseDeeperThan(level);
            Select(level, pos, false);
        } else {
            m_host.Beep();
        }
        return;
    default:
        m_host.Beep();
        return;
    }
}

bool TMenuTracker::HitTest(TPoint screen, int& level, int& pos) const
{
    for (int l = Depth() - 1; l >= 0; --l) {
        const Level& lv = m_levels[static_cast<std::size_t>(l)];
        if (!lv.Rect.Contains(screen))
            continue;
        level = l;
        pos = -1;
        const TPoint local(screen.x - lv.Rect.left, screen.y - lv.Rect.top);
        for (std::size_t i = 0; i < lv.Items.size(); ++i) {
            if (lv.Items[i].Contains(local))
                pos = static_cast<int>(i);
        }
        return true;
    }
    return false;
}

bool TMenuTracker::AllowedButton(int button) const
{
    return button == VK_LBUTTON || (button == VK_RBUTTON && (m_flags & TPM_RIGHTBUTTON) != 0);
}

void TMenuTracker::MouseMove(TPoint screen)
{
    if (m_done)
        return;
    if (screen != m_at)
        m_leftOpeningPoint = true;
    int level = 0;
    int pos = -1;
    if (!HitTest(screen, level, pos))
        return;
    if (pos >= 0 && !IsSelectable(MenuAt(level), pos))
        pos = -1;
    if (pos < 0) {
        if (Depth() == level + 1)
            m_levels[static_cast<std::size_t>(level)].Selected = -1;
        return;
    }
    if (SelectionAt(level) != pos)
        CloseDeeperThan(level);
    Select(level, pos, true);
    if (GetSubMenu(MenuAt(level), pos))
        OpenSubmenuOf(level, false);
}

void TMenuTracker::ButtonDown(int button, TPoint screen)
{
    if (m_done || !AllowedButton(button))
        return;
    int level = 0;
    int pos = -1;
    if (!HitTest(screen, level, pos)) {
        Finish(0); // a press outside every pop-up ends tracking
        return;
    }
    m_leftOpeningPoint = true;
    MouseMove(screen);
}

void TMenuTracker::ButtonUp(int button, TPoint screen)
{
    if (m_done || !AllowedButton(button))
        return;
    // The release of the press that opened a context menu lands where the menu opened: it chooses nothing.
    if (!m_leftOpeningPoint && screen == m_at)
        return;
    int level = 0;
    int pos = -1;
    if (!HitTest(screen, level, pos) || pos < 0)
        return;
    if (GetSubMenu(MenuAt(level), pos)) {
        CloseDeeperThan(level);
        Select(level, pos, true);
        OpenSubmenuOf(level, false);
        return;
    }
    const UINT state = GetMenuState(MenuAt(level), static_cast<UINT>(pos), MF_BYPOSITION);
    if ((state & MF_SEPARATOR) != 0 || IsGrey(state))
        return;
    Finish(GetMenuItemID(MenuAt(level), pos));
}

} // namespace qm::gui
