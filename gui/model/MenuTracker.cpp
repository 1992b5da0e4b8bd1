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

TMenuTracker::TMenuTracker(TMenuTrackerHost& host, HMENU bar, std::vector<TRect> barItems, const TRect& screen)
    : m_host(host)
    , m_root(bar)
    , m_flags(0)
    , m_screen(screen)
    , m_bar(bar)
    , m_barItems(std::move(barItems))
{
    // No release chooses nothing in bar tracking: the menu did not open under a pressed button.
    m_leftOpeningPoint = true;
}

std::vector<TRect> LayoutMenuBar(HMENU bar, std::span<const TSize> itemSizes, int width, int minHeight)
{
    std::vector<TRect> rects;
    std::vector<std::size_t> lineStart{0};
    int x = 0;
    for (std::size_t i = 0; i < itemSizes.size(); ++i) {
        const UINT state = GetMenuItemFlags(bar, static_cast<UINT>(i), MF_BYPOSITION);
        const bool breaks = state != kNoMenuItem && (state & (MF_MENUBREAK | MF_MENUBARBREAK)) != 0;
        if (i > 0 && (breaks || x + itemSizes[i].cx > width)) {
            lineStart.push_back(i);
            x = 0;
        }
        rects.emplace_back(x, 0, x + itemSizes[i].cx, itemSizes[i].cy);
        x += itemSizes[i].cx;
    }
    lineStart.push_back(itemSizes.size());
    int y = 0;
    for (std::size_t l = 0; l + 1 < lineStart.size(); ++l) {
        int h = minHeight;
        for (std::size_t i = lineStart[l]; i < lineStart[l + 1]; ++i)
            h = std::max(h, itemSizes[i].cy);
        for (std::size_t i = lineStart[l]; i < lineStart[l + 1]; ++i) {
            rects[i].top = y;
            rects[i].bottom = y + h;
        }
        y += h;
    }
    return rects;
}

bool TMenuTracker::StartBar(int index, bool openPopup)
{
    const int count = GetMenuItemCount(m_bar);
    if (count <= 0 || index < 0 || index >= count || static_cast<std::size_t>(index) >= m_barItems.size()) {
        m_done = true;
        return false;
    }
    m_host.SendToOwner(WM_ENTERMENULOOP, 0, 0);
    m_host.SendToOwner(WM_INITMENU, m_bar.Value, 0);
    SelectBar(index);
    if (openPopup)
        OpenBarPopup(index, false);
    return true;
}

void TMenuTracker::SelectBar(int index)
{
    if (m_barSel == index)
        return;
    m_barSel = index;
    const UINT state = GetMenuItemFlags(m_bar, static_cast<UINT>(index), MF_BYPOSITION);
    const bool popup = (state & MF_POPUP) != 0;
    const UINT flags = (state & 0xFFFF) | MF_HILITE;
    const UINT item = popup ? static_cast<UINT>(index) : GetMenuItemID(m_bar, index);
    m_host.SendToOwner(WM_MENUSELECT, MAKEWPARAM(static_cast<WORD>(item), static_cast<WORD>(flags)), MenuParam(m_bar));
}

void TMenuTracker::OpenBarPopup(int index, bool selectFirst)
{
    CloseDeeperThan(-1);
    SelectBar(index);
    const HMENU sub = GetSubMenu(m_bar, index);
    if (!sub || IsGrey(GetMenuItemFlags(m_bar, static_cast<UINT>(index), MF_BYPOSITION)))
        return;
    const TRect item = m_barItems[static_cast<std::size_t>(index)];
    Open(sub, index, item.BottomLeft(), &item, TPM_LEFTALIGN | TPM_VERTICAL);
    if (selectFirst)
        MoveSelection(+1);
}

void TMenuTracker::SwitchBar(int delta)
{
    const int count = static_cast<int>(m_barItems.size());
    if (count == 0)
        return;
    const int next = ((m_barSel < 0 ? 0 : m_barSel) + delta + count) % count;
    if (Depth() > 0)
        OpenBarPopup(next, true);
    else
        SelectBar(next);
}

void TMenuTracker::ExecuteBar(int index)
{
    const UINT state = GetMenuItemFlags(m_bar, static_cast<UINT>(index), MF_BYPOSITION);
    if (state == kNoMenuItem)
        return;
    if ((state & MF_POPUP) != 0) {
        OpenBarPopup(index, true);
        return;
    }
    SelectBar(index);
    if (!IsGrey(state))
        Finish(GetMenuItemID(m_bar, index));
}

// The keys that act on the bar itself; false when the key is for the open pop-up.
bool TMenuTracker::BarKeyDown(int virtualKey)
{
    if (Depth() == 0) {
        switch (virtualKey) {
        case VK_LEFT:
            SwitchBar(-1);
            break;
        case VK_RIGHT:
            SwitchBar(+1);
            break;
        case VK_DOWN:
        case VK_RETURN:
            if (m_barSel >= 0)
                ExecuteBar(m_barSel);
            break;
        case VK_ESCAPE:
            Finish(0);
            break;
        default:
            break;
        }
        return true;
    }
    const int level = Depth() - 1;
    if (virtualKey == VK_ESCAPE && level == 0) {
        CloseDeeperThan(-1); // back to the bar, its item still selected
        return true;
    }
    if (virtualKey == VK_LEFT && level == 0) {
        SwitchBar(-1);
        return true;
    }
    const int selected = SelectionAt(level);
    if (virtualKey == VK_RIGHT && (selected < 0 || !GetSubMenu(MenuAt(level), selected))) {
        SwitchBar(+1);
        return true;
    }
    return false;
}

std::pair<int, int> TMenuTracker::FindBarItem(char ch)
{
    const char want = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    const int count = GetMenuItemCount(m_bar);
    for (int i = 0; i < count; ++i) {
        const UINT state = GetMenuItemFlags(m_bar, static_cast<UINT>(i), MF_BYPOSITION);
        if ((state & (MF_OWNERDRAW | MF_BITMAP)) == 0 &&
            MenuMnemonic(GetMenuString(m_bar, static_cast<UINT>(i), MF_BYPOSITION)) == want &&
            static_cast<std::size_t>(i) < m_barItems.size()) {
            return {i, MNC_EXECUTE};
        }
    }
    const LRESULT answer = m_host.SendToOwner(
            WM_MENUCHAR, MAKEWPARAM(static_cast<WORD>(static_cast<unsigned char>(ch)), 0), MenuParam(m_bar));
    const int code = HIWORD(static_cast<std::uint64_t>(answer));
    const int pos = LOWORD(static_cast<std::uint64_t>(answer));
    if (code == MNC_CLOSE)
        return {-1, MNC_CLOSE};
    if ((code == MNC_EXECUTE || code == MNC_SELECT) && pos < count && static_cast<std::size_t>(pos) < m_barItems.size())
        return {pos, code};
    return {-1, MNC_IGNORE};
}

void TMenuTracker::BarChar(char ch)
{
    const auto [pos, code] = FindBarItem(ch);
    if (code == MNC_CLOSE)
        Finish(0);
    else if (code == MNC_EXECUTE)
        ExecuteBar(pos);
    else if (code == MNC_SELECT)
        SelectBar(pos);
    else
        m_host.Beep();
}

bool TMenuTracker::StartBarByChar(char ch)
{
    if (GetMenuItemCount(m_bar) <= 0 || m_barItems.empty() || ch == 0) {
        m_done = true;
        return false;
    }
    // The owner prepares the bar (WM_INITMENU) before its mnemonics are looked up.
    m_host.SendToOwner(WM_ENTERMENULOOP, 0, 0);
    m_host.SendToOwner(WM_INITMENU, m_bar.Value, 0);
    const auto [pos, code] = FindBarItem(ch);
    if (code == MNC_EXECUTE) {
        ExecuteBar(pos);
    } else if (code == MNC_SELECT) {
        SelectBar(pos);
    } else {
        if (code != MNC_CLOSE)
            m_host.Beep();
        Finish(0);
    }
    return !m_done;
}

int TMenuTracker::BarItemAt(TPoint screen) const
{
    for (std::size_t i = 0; i < m_barItems.size(); ++i) {
        if (m_barItems[i].Contains(screen))
            return static_cast<int>(i);
    }
    return -1;
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
    if (!sub || IsGrey(GetMenuItemFlags(parent.Menu, static_cast<UINT>(pos), MF_BYPOSITION)))
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
    return (GetMenuItemFlags(menu, static_cast<UINT>(pos), MF_BYPOSITION) & MF_SEPARATOR) == 0;
}

void TMenuTracker::Select(int level, int pos, bool byMouse)
{
    Level& l = m_levels[static_cast<std::size_t>(level)];
    if (l.Selected == pos)
        return;
    l.Selected = pos;
    if (pos < 0)
        return;
    const UINT state = GetMenuItemFlags(l.Menu, static_cast<UINT>(pos), MF_BYPOSITION);
    if (state == kNoMenuItem)
        return; // the owner changed the menu under the tracker
    const bool popup = (state & MF_POPUP) != 0;
    UINT flags = (state & 0xFFFF) | MF_HILITE | (byMouse ? MF_MOUSESELECT : 0);
    if (popup)
        flags |= MF_POPUP;
    const UINT item = popup ? static_cast<UINT>(pos) : GetMenuItemID(l.Menu, pos);
    m_host.SendToOwner(WM_MENUSELECT, MAKEWPARAM(static_cast<WORD>(item), static_cast<WORD>(flags)), MenuParam(l.Menu));
}

void TMenuTracker::Execute(int level, int pos)
{
    const HMENU menu = MenuAt(level);
    const UINT state = GetMenuItemFlags(menu, static_cast<UINT>(pos), MF_BYPOSITION);
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
    m_barSel = -1;
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
    if (virtualKey == VK_MENU || virtualKey == VK_F10) {
        Finish(0); // Alt or F10 leaves the menu altogether
        return;
    }
    if (m_bar && BarKeyDown(virtualKey))
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
    case VK_HOME:
        m_levels.back().Selected = -1;
        MoveSelection(+1);
        break;
    case VK_END:
        m_levels.back().Selected = -1;
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
    if (m_bar && Depth() == 0) {
        BarChar(ch);
        return;
    }
    const int level = Depth() - 1;
    const HMENU menu = MenuAt(level);
    const char want = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    const int count = GetMenuItemCount(menu);
    std::vector<int> matches;
    for (int i = 0; i < count; ++i) {
        const UINT state = GetMenuItemFlags(menu, static_cast<UINT>(i), MF_BYPOSITION);
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
    if (!HitTest(screen, level, pos)) {
        // Over another bar item while a pop-up is open: that item's pop-up opens instead.
        const int barItem = m_bar ? BarItemAt(screen) : -1;
        if (barItem >= 0 && barItem != m_barSel && Depth() > 0)
            OpenBarPopup(barItem, false);
        return;
    }
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
        const int barItem = m_bar ? BarItemAt(screen) : -1;
        if (barItem >= 0 && (barItem != m_barSel || Depth() == 0)) {
            OpenBarPopup(barItem, false);
            return;
        }
        Finish(0); // a press outside every pop-up, or on the open bar item, ends tracking
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
    if (!HitTest(screen, level, pos)) {
        // A release on a bar item that is a command (no pop-up) chooses it.
        const int barItem = m_bar ? BarItemAt(screen) : -1;
        if (barItem >= 0 && barItem == m_barSel && !GetSubMenu(m_bar, barItem))
            ExecuteBar(barItem);
        return;
    }
    if (pos < 0)
        return;
    if (GetSubMenu(MenuAt(level), pos)) {
        CloseDeeperThan(level);
        Select(level, pos, true);
        OpenSubmenuOf(level, false);
        return;
    }
    const UINT state = GetMenuItemFlags(MenuAt(level), static_cast<UINT>(pos), MF_BYPOSITION);
    if ((state & MF_SEPARATOR) != 0 || IsGrey(state))
        return;
    Finish(GetMenuItemID(MenuAt(level), pos));
}

} // namespace qm::gui
