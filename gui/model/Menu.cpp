// The menu model's handle table and item operations.
#include "gui/model/Menu.h"

#include "gui/model/GuiState.h"

#include <cctype>
#include <map>
#include <unordered_map>
#include <utility>

namespace qm::gui {

namespace {

constexpr UINT kTypeBits =
        MF_BITMAP | MF_OWNERDRAW | MF_SEPARATOR | MFT_RADIOCHECK | MF_MENUBARBREAK | MF_MENUBREAK | MFT_RIGHTJUSTIFY;
constexpr UINT kStateBits = MF_GRAYED | MF_DISABLED | MF_CHECKED | MF_HILITE | MF_DEFAULT;
constexpr UINT kNone = 0xFFFFFFFFu;

struct Item {
    UINT Type = 0;
    UINT State = 0;
    UINT Id = 0;
    HMENU Sub{};
    std::uint64_t Data = 0;
    std::string Text;
    UINT Bitmap = 0;
};

struct MenuObject {
    bool Bar = false;
    std::vector<Item> Items;
};

struct Table {
    std::unordered_map<HMENU, MenuObject> Menus;
    std::uint32_t Next = 1;
    std::map<int, std::vector<TMenuTemplateItem>> Resources;
};

Table& TheTable()
{
    return GuiState().Part<Table>();
}

MenuObject* Find(HMENU menu)
{
    auto& menus = TheTable().Menus;
    const auto it = menus.find(menu);
    return it == menus.end() ? nullptr : &it->second;
}

HMENU NewMenu(bool bar)
{
    Table& t = TheTable();
    const HMENU h{t.Next++};
    t.Menus.emplace(h, MenuObject{bar, {}});
    return h;
}

struct Location {
    MenuObject* Menu = nullptr;
    std::size_t Pos = 0;
};

// The item an id names, searching submenus depth first as the window system does.
Location FindCommand(HMENU menu, UINT id, int depth)
{
    MenuObject* m = Find(menu);
    if (m == nullptr || depth > 32)
        return {};
    for (std::size_t i = 0; i < m->Items.size(); ++i) {
        if (!m->Items[i].Sub && m->Items[i].Id == id)
            return {m, i};
    }
    for (auto& item : m->Items) {
        if (item.Sub) {
            if (Location found = FindCommand(item.Sub, id, depth + 1); found.Menu)
                return found;
        }
    }
    return {};
}

Location Locate(HMENU menu, UINT item, UINT flags)
{
    if ((flags & MF_BYPOSITION) == 0)
        return FindCommand(menu, item, 0);
    MenuObject* m = Find(menu);
    if (m == nullptr || item >= m->Items.size())
        return {};
    return {m, item};
}

Item MakeItem(UINT flags, std::uint64_t idOrSubMenu, std::string_view text, std::uint64_t data)
{
    Item item;
    item.Type = flags & kTypeBits;
    item.State = flags & kStateBits;
    if ((flags & MF_POPUP) != 0)
        item.Sub = HMENU{static_cast<std::uint32_t>(idOrSubMenu)};
    else
        item.Id = static_cast<UINT>(idOrSubMenu & 0xFFFFFFFFu);
    if ((flags & MF_SEPARATOR) != 0)
        item.Id = 0;
    item.Text = std::string(text);
    if ((flags & MF_BITMAP) != 0)
        item.Bitmap = static_cast<UINT>(data);
    else
        item.Data = data;
    return item;
}

bool ValidItem(UINT flags, std::uint64_t idOrSubMenu)
{
    return (flags & MF_POPUP) == 0 || IsMenu(HMENU{static_cast<std::uint32_t>(idOrSubMenu)});
}

void DestroyRecursive(HMENU menu, int depth)
{
    Table& t = TheTable();
    const auto it = t.Menus.find(menu);
    if (it == t.Menus.end())
        return;
    std::vector<Item> items = std::move(it->second.Items);
    t.Menus.erase(it);
    if (depth > 32)
        return;
    for (const auto& item : items) {
        if (item.Sub)
            DestroyRecursive(item.Sub, depth + 1);
    }
}

// MIIM_TYPE exchanges type, string and bitmap together; MIIM_FTYPE, MIIM_STRING and MIIM_BITMAP each one of them.
void FillInfo(const Item& item, MENUITEMINFO& info)
{
    if ((info.fMask & (MIIM_TYPE | MIIM_FTYPE)) != 0)
        info.fType = item.Type;
    if ((info.fMask & (MIIM_TYPE | MIIM_STRING)) != 0)
        info.dwTypeData = item.Text;
    if ((info.fMask & (MIIM_TYPE | MIIM_BITMAP)) != 0)
        info.hbmpItem = item.Bitmap;
    if ((info.fMask & MIIM_STATE) != 0)
        info.fState = item.State;
    if ((info.fMask & MIIM_ID) != 0)
        info.wID = item.Id;
    if ((info.fMask & MIIM_SUBMENU) != 0)
        info.hSubMenu = item.Sub;
    if ((info.fMask & MIIM_DATA) != 0)
        info.dwItemData = item.Data;
}

void ApplyInfo(Item& item, const MENUITEMINFO& info)
{
    if ((info.fMask & (MIIM_TYPE | MIIM_FTYPE)) != 0)
        item.Type = info.fType & kTypeBits;
    if ((info.fMask & (MIIM_TYPE | MIIM_STRING)) != 0)
        item.Text = info.dwTypeData;
    if ((info.fMask & (MIIM_TYPE | MIIM_BITMAP)) != 0)
        item.Bitmap = info.hbmpItem;
    if ((info.fMask & MIIM_STATE) != 0)
        item.State = info.fState & kStateBits;
    if ((info.fMask & MIIM_ID) != 0)
        item.Id = info.wID;
    if ((info.fMask & MIIM_SUBMENU) != 0)
        item.Sub = IsMenu(info.hSubMenu) ? info.hSubMenu : HMENU{};
    if ((info.fMask & MIIM_DATA) != 0)
        item.Data = info.dwItemData;
}

HMENU Build(std::span<const TMenuTemplateItem> items, bool popup)
{
    const HMENU menu = popup ? CreatePopupMenu() : CreateMenu();
    for (const auto& entry : items) {
        if (!entry.Items.empty()) {
            const HMENU sub = Build(entry.Items, true);
            AppendMenu(menu, MF_POPUP | (entry.Flags & ~MF_POPUP), sub.Value, entry.Text);
        } else if (entry.Text.empty() && entry.Id == 0) {
            AppendMenu(menu, MF_SEPARATOR, 0);
        } else {
            AppendMenu(menu, entry.Flags, entry.Id, entry.Text);
        }
    }
    return menu;
}

} // namespace

HMENU CreateMenu()
{
    return NewMenu(true);
}

HMENU CreatePopupMenu()
{
    return NewMenu(false);
}

bool DestroyMenu(HMENU menu)
{
    if (!IsMenu(menu))
        return false;
    DestroyRecursive(menu, 0);
    return true;
}

bool IsMenu(HMENU menu)
{
    return Find(menu) != nullptr;
}

bool IsMenuBar(HMENU menu)
{
    const MenuObject* m = Find(menu);
    return m != nullptr && m->Bar;
}

int GetMenuItemCount(HMENU menu)
{
    const MenuObject* m = Find(menu);
    return m == nullptr ? -1 : static_cast<int>(m->Items.size());
}

UINT GetMenuItemID(HMENU menu, int pos)
{
    const MenuObject* m = Find(menu);
    if (m == nullptr || pos < 0 || static_cast<std::size_t>(pos) >= m->Items.size())
        return kNone;
    const Item& item = m->Items[static_cast<std::size_t>(pos)];
    return item.Sub ? kNone : item.Id;
}

HMENU GetSubMenu(HMENU menu, int pos)
{
    const MenuObject* m = Find(menu);
    if (m == nullptr || pos < 0 || static_cast<std::size_t>(pos) >= m->Items.size())
        return {};
    // A submenu destroyed while its item still names it is no submenu any more.
    const HMENU sub = m->Items[static_cast<std::size_t>(pos)].Sub;
    return IsMenu(sub) ? sub : HMENU{};
}

UINT GetMenuState(HMENU menu, UINT item, UINT flags)
{
    const Location at = Locate(menu, item, flags);
    if (at.Menu == nullptr)
        return kNoMenuItem;
    const Item& it = at.Menu->Items[at.Pos];
    UINT state = it.Type | it.State;
    if (it.Sub)
        state |= MF_POPUP | (static_cast<UINT>(std::max(0, GetMenuItemCount(it.Sub)) & 0xFF) << 8);
    return state;
}

UINT GetMenuItemFlags(HMENU menu, UINT item, UINT flags)
{
    const Location at = Locate(menu, item, flags);
    if (at.Menu == nullptr)
        return kNoMenuItem;
    const Item& it = at.Menu->Items[at.Pos];
    return it.Type | it.State | (it.Sub ? MF_POPUP : 0);
}

std::string GetMenuString(HMENU menu, UINT item, UINT flags)
{
    const Location at = Locate(menu, item, flags);
    return at.Menu == nullptr ? std::string() : at.Menu->Items[at.Pos].Text;
}

bool AppendMenu(HMENU menu, UINT flags, std::uint64_t idOrSubMenu, std::string_view text, std::uint64_t data)
{
    MenuObject* m = Find(menu);
    if (m == nullptr || !ValidItem(flags, idOrSubMenu))
        return false;
    m->Items.push_back(MakeItem(flags, idOrSubMenu, text, data));
    return true;
}

bool InsertMenu(HMENU menu, UINT item, UINT flags, std::uint64_t idOrSubMenu, std::string_view text, std::uint64_t data)
{
    if (!ValidItem(flags, idOrSubMenu))
        return false;
    Location at;
    if ((flags & MF_BYPOSITION) != 0) {
        at.Menu = Find(menu);
        if (at.Menu == nullptr)
            return false;
        at.Pos = std::min<std::size_t>(item, at.Menu->Items.size());
    } else {
        at = FindCommand(menu, item, 0);
        if (at.Menu == nullptr)
            return false;
    }
    const auto pos = static_cast<std::ptrdiff_t>(at.Pos);
    at.Menu->Items.insert(at.Menu->Items.begin() + pos, MakeItem(flags, idOrSubMenu, text, data));
    return true;
}

bool ModifyMenu(HMENU menu, UINT item, UINT flags, std::uint64_t idOrSubMenu, std::string_view text, std::uint64_t data)
{
    if (!ValidItem(flags, idOrSubMenu))
        return false;
    const Location at = Locate(menu, item, flags);
    if (at.Menu == nullptr)
        return false;
    const HMENU old = at.Menu->Items[at.Pos].Sub;
    Item replacement = MakeItem(flags, idOrSubMenu, text, data);
    const HMENU keep = replacement.Sub;
    at.Menu->Items[at.Pos] = std::move(replacement);
    if (old && old != keep)
        DestroyMenu(old); // may move other menus' storage: at is not used after this
    return true;
}

bool DeleteMenu(HMENU menu, UINT item, UINT flags)
{
    const Location at = Locate(menu, item, flags);
    if (at.Menu == nullptr)
        return false;
    const HMENU sub = at.Menu->Items[at.Pos].Sub;
    at.Menu->Items.erase(at.Menu->Items.begin() + static_cast<std::ptrdiff_t>(at.Pos));
    if (sub)
        DestroyMenu(sub);
    return true;
}

bool RemoveMenu(HMENU menu, UINT item, UINT flags)
{
    const Location at = Locate(menu, item, flags);
    if (at.Menu == nullptr)
        return false;
    at.Menu->Items.erase(at.Menu->Items.begin() + static_cast<std::ptrdiff_t>(at.Pos));
    return true;
}

int EnableMenuItem(HMENU menu, UINT item, UINT flags)
{
    const Location at = Locate(menu, item, flags);
    if (at.Menu == nullptr)
        return -1;
    Item& it = at.Menu->Items[at.Pos];
    const int previous = static_cast<int>(it.State & (MF_GRAYED | MF_DISABLED));
    it.State = (it.State & ~(MF_GRAYED | MF_DISABLED)) | (flags & (MF_GRAYED | MF_DISABLED));
    return previous;
}

int CheckMenuItem(HMENU menu, UINT item, UINT flags)
{
    const Location at = Locate(menu, item, flags);
    if (at.Menu == nullptr)
        return -1;
    Item& it = at.Menu->Items[at.Pos];
    const int previous = static_cast<int>(it.State & MF_CHECKED);
    it.State = (it.State & ~MF_CHECKED) | (flags & MF_CHECKED);
    return previous;
}

bool CheckMenuRadioItem(HMENU menu, UINT first, UINT last, UINT check, UINT flags)
{
    MenuObject* m = Find(menu);
    if (m == nullptr)
        return false;
    bool found = false;
    for (std::size_t i = 0; i < m->Items.size(); ++i) {
        Item& it = m->Items[i];
        const UINT key = (flags & MF_BYPOSITION) != 0 ? static_cast<UINT>(i) : it.Id;
        if (it.Sub || key < first || key > last)
            continue;
        if (key == check) {
            it.State |= MF_CHECKED;
            it.Type |= MFT_RADIOCHECK;
            found = true;
        } else {
            it.State &= ~MF_CHECKED;
        }
    }
    return found;
}

bool SetMenuDefaultItem(HMENU menu, UINT item, UINT byPos)
{
    MenuObject* m = Find(menu);
    if (m == nullptr)
        return false;
    std::size_t target = m->Items.size();
    if (item != kNone) {
        for (std::size_t i = 0; i < m->Items.size(); ++i) {
            if (byPos != 0 ? i == item : (!m->Items[i].Sub && m->Items[i].Id == item))
                target = i;
        }
        if (target == m->Items.size())
            return false;
    }
    for (std::size_t i = 0; i < m->Items.size(); ++i) {
        if (i == target)
            m->Items[i].State |= MF_DEFAULT;
        else
            m->Items[i].State &= ~MF_DEFAULT;
    }
    return true;
}

UINT GetMenuDefaultItem(HMENU menu, UINT byPos)
{
    const MenuObject* m = Find(menu);
    if (m == nullptr)
        return kNone;
    for (std::size_t i = 0; i < m->Items.size(); ++i) {
        if ((m->Items[i].State & MF_DEFAULT) != 0)
            return byPos != 0 ? static_cast<UINT>(i) : (m->Items[i].Sub ? kNone : m->Items[i].Id);
    }
    return kNone;
}

bool GetMenuItemInfo(HMENU menu, UINT item, bool byPosition, MENUITEMINFO& info)
{
    const Location at = Locate(menu, item, byPosition ? MF_BYPOSITION : MF_BYCOMMAND);
    if (at.Menu == nullptr)
        return false;
    FillInfo(at.Menu->Items[at.Pos], info);
    return true;
}

bool SetMenuItemInfo(HMENU menu, UINT item, bool byPosition, const MENUITEMINFO& info)
{
    const Location at = Locate(menu, item, byPosition ? MF_BYPOSITION : MF_BYCOMMAND);
    if (at.Menu == nullptr)
        return false;
    ApplyInfo(at.Menu->Items[at.Pos], info);
    return true;
}

bool InsertMenuItem(HMENU menu, UINT item, bool byPosition, const MENUITEMINFO& info)
{
    Location at;
    if (byPosition) {
        at.Menu = Find(menu);
        if (at.Menu == nullptr)
            return false;
        at.Pos = std::min<std::size_t>(item, at.Menu->Items.size());
    } else {
        at = FindCommand(menu, item, 0);
        if (at.Menu == nullptr)
            return false;
    }
    Item fresh;
    ApplyInfo(fresh, info);
    at.Menu->Items.insert(at.Menu->Items.begin() + static_cast<std::ptrdiff_t>(at.Pos), std::move(fresh));
    return true;
}

std::size_t LiveMenuCount()
{
    return TheTable().Menus.size();
}

HMENU LoadMenuIndirect(std::span<const TMenuTemplateItem> items, bool popup)
{
    return Build(items, popup);
}

void RegisterMenuResource(int id, std::vector<TMenuTemplateItem> items)
{
    TheTable().Resources[id] = std::move(items);
}

HMENU LoadMenu(int id)
{
    const auto& resources = TheTable().Resources;
    const auto it = resources.find(id);
    if (it == resources.end())
        return {};
    return Build(it->second, false);
}

TMenu::~TMenu()
{
    if (m_owns)
        DestroyMenu(m_handle);
}

HMENU TMenu::Release()
{
    m_owns = false;
    return m_handle;
}

MEASUREITEMSTRUCT MakeMenuMeasureItem(HMENU menu, int pos)
{
    MEASUREITEMSTRUCT m;
    m.CtlType = ODT_MENU;
    const HMENU sub = GetSubMenu(menu, pos);
    m.itemID = sub ? sub.Value : GetMenuItemID(menu, pos);
    MENUITEMINFO info;
    info.fMask = MIIM_DATA;
    if (GetMenuItemInfo(menu, static_cast<UINT>(pos), true, info))
        m.itemData = info.dwItemData;
    return m;
}

DRAWITEMSTRUCT MakeMenuDrawItem(HMENU menu, int pos, const TRect& rect, bool selected, HDC dc, UINT action)
{
    DRAWITEMSTRUCT d;
    d.CtlType = ODT_MENU;
    const HMENU sub = GetSubMenu(menu, pos);
    d.itemID = sub ? sub.Value : GetMenuItemID(menu, pos);
    d.itemAction = action;
    d.hMenuItem = menu;
    d.hDC = dc;
    d.rcItem = rect;
    const UINT flags = GetMenuItemFlags(menu, static_cast<UINT>(pos), MF_BYPOSITION);
    if (flags != kNoMenuItem) {
        if ((flags & MF_GRAYED) != 0)
            d.itemState |= ODS_GRAYED | ODS_DISABLED;
        else if ((flags & MF_DISABLED) != 0)
            d.itemState |= ODS_DISABLED;
        if ((flags & MF_CHECKED) != 0)
            d.itemState |= ODS_CHECKED;
        if ((flags & MF_DEFAULT) != 0)
            d.itemState |= ODS_DEFAULT;
    }
    if (selected)
        d.itemState |= ODS_SELECTED;
    MENUITEMINFO info;
    info.fMask = MIIM_DATA;
    if (GetMenuItemInfo(menu, static_cast<UINT>(pos), true, info))
        d.itemData = info.dwItemData;
    return d;
}

TMenuDescr::TMenuDescr(int resId, int fileGroup, int editGroup, int containerGroup, int objectGroup, int windowGroup,
                       int helpGroup)
    : TMenu(LoadMenu(resId), TAutoDelete::AutoDelete)
    , m_id(resId)
    , m_groups{fileGroup < 0 ? std::max(0, qm::gui::GetMenuItemCount(GetHandle())) : fileGroup,
               editGroup,
               containerGroup,
               objectGroup,
               windowGroup,
               helpGroup}
{}

char MenuMnemonic(std::string_view text)
{
    for (std::size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] != '&')
            continue;
        if (text[i + 1] == '&') {
            ++i;
            continue;
        }
        return static_cast<char>(std::toupper(static_cast<unsigned char>(text[i + 1])));
    }
    return 0;
}

} // namespace qm::gui
