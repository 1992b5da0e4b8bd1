// The menu model: menus are objects of this layer named by handles, with items that carry an id or a submenu,
// a type (string, owner-drawn, bitmap, separator, radio check), a state (grey, checked, default) and item data.
// Pop-ups are drawn and tracked by the layer's own windows; this model is what they show. Window thread only.
#pragma once

#include "gui/model/Messages.h"
#include "gui/model/WinTypes.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace qm::gui {

/// One item as GetMenuItemInfo/SetMenuItemInfo exchange it. fMask (MIIM_*) says which fields are read or written.
struct MENUITEMINFO {
    UINT fMask = 0;
    UINT fType = 0;  // MFT_*: string, bitmap, owner-draw, separator, radio check, right-justified
    UINT fState = 0; // MFS_*: grey, checked, default, hilite
    UINT wID = 0;
    HMENU hSubMenu{};
    std::uint64_t dwItemData = 0;
    std::string dwTypeData; // the item string (MIIM_STRING, or MIIM_TYPE with MFT_STRING)
    /// A bitmap resource id (MIIM_BITMAP, or MIIM_TYPE): the whole item of an MFT_BITMAP item, else an image
    /// drawn left of the item's string in the check-mark room; 0 for none.
    UINT hbmpItem = 0;
};

HMENU CreateMenu();
HMENU CreatePopupMenu();
/// Destroys the menu and, recursively, the submenus it holds. False for a handle that is not a menu.
bool DestroyMenu(HMENU menu);
bool IsMenu(HMENU menu);
/// True for a menu made by CreateMenu (a menu bar), false for a pop-up or a non-menu.
bool IsMenuBar(HMENU menu);

/// The number of items; -1 when the handle is not a menu.
int GetMenuItemCount(HMENU menu);
/// The item's command id; 0xFFFFFFFF for a submenu item or a position outside the menu.
UINT GetMenuItemID(HMENU menu, int pos);
/// The submenu at pos; none for a command item or a position outside the menu.
HMENU GetSubMenu(HMENU menu, int pos);
/// The item's flags (MF_ state and type bits, MF_POPUP for a submenu item, with the submenu's item count in the
/// high byte as the window system reports it); kNoMenuItem when no such item.
UINT GetMenuState(HMENU menu, UINT item, UINT flags);
/// The item's type and state bits and MF_POPUP for a submenu item, without the item count that GetMenuState puts
/// in the high byte (which overlaps MF_OWNERDRAW and MF_SEPARATOR); kNoMenuItem when no such item.
UINT GetMenuItemFlags(HMENU menu, UINT item, UINT flags);
/// The item string; empty when none.
std::string GetMenuString(HMENU menu, UINT item, UINT flags);

/// Appends an item: flags MF_STRING, MF_SEPARATOR, MF_OWNERDRAW or MF_BITMAP with state bits, MF_POPUP when
/// idOrSubMenu is a submenu handle value. For an owner-drawn item, data is its item data; for a bitmap item,
/// the bitmap resource id.
bool AppendMenu(HMENU menu, UINT flags, std::uint64_t idOrSubMenu, std::string_view text = {}, std::uint64_t data = 0);
/// Inserts before the item named by position (MF_BYPOSITION; a position at or past the end appends) or by
/// command (the first item with that id, also in submenus).
bool InsertMenu(HMENU menu, UINT item, UINT flags, std::uint64_t idOrSubMenu, std::string_view text = {},
                std::uint64_t data = 0);
/// Replaces an item's type, state, id or submenu, text and data. A submenu the item held and no longer holds is
/// destroyed, as the window system does.
bool ModifyMenu(HMENU menu, UINT item, UINT flags, std::uint64_t idOrSubMenu, std::string_view text = {},
                std::uint64_t data = 0);
/// Removes the item and destroys its submenu.
bool DeleteMenu(HMENU menu, UINT item, UINT flags);
/// Removes the item and leaves its submenu alive.
bool RemoveMenu(HMENU menu, UINT item, UINT flags);

/// The previous MF_GRAYED/MF_DISABLED bits, or -1 when no such item.
int EnableMenuItem(HMENU menu, UINT item, UINT flags);
/// The previous MF_CHECKED bit, or -1 when no such item.
int CheckMenuItem(HMENU menu, UINT item, UINT flags);
/// Checks item 'check' as a radio item and unchecks the others between first and last (inclusive).
bool CheckMenuRadioItem(HMENU menu, UINT first, UINT last, UINT check, UINT flags);
/// Makes the item the menu's one default item; item -1 (0xFFFFFFFF) clears it. byPos as in the window system.
bool SetMenuDefaultItem(HMENU menu, UINT item, UINT byPos);
/// The default item's id (or position with byPos); -1 (0xFFFFFFFF) when none.
UINT GetMenuDefaultItem(HMENU menu, UINT byPos);

bool GetMenuItemInfo(HMENU menu, UINT item, bool byPosition, MENUITEMINFO& info);
bool SetMenuItemInfo(HMENU menu, UINT item, bool byPosition, const MENUITEMINFO& info);
bool InsertMenuItem(HMENU menu, UINT item, bool byPosition, const MENUITEMINFO& info);

/// The number of live menus: for tests that look for leaks.
std::size_t LiveMenuCount();

/// A compiled-in menu description: a nested list of items, as a menu resource holds it.
struct TMenuTemplateItem {
    std::string Text;                     // "&Open...\tCtrl+O"; empty for a separator
    UINT Id = 0;                          // 0 for a separator or a submenu item
    UINT Flags = 0;                       // MF_GRAYED, MF_CHECKED, MF_DEFAULT, MFT_RADIOCHECK, ...
    std::vector<TMenuTemplateItem> Items; // not empty: a submenu
};

/// Builds a menu bar (or a pop-up) from a description; the caller owns the handle.
HMENU LoadMenuIndirect(std::span<const TMenuTemplateItem> items, bool popup = false);

/// Menu resources by id: the program registers its descriptions at start, LoadMenu builds a new menu from one.
void RegisterMenuResource(int id, std::vector<TMenuTemplateItem> items);
/// None when no description has that id.
HMENU LoadMenu(int id);

/// The framework's menu object over a handle. It owns the handle only when told so (a loaded menu);
/// a TMenu made from a handle it does not own never destroys it.
class TMenu {
public:
    enum class TAutoDelete {
        NoAutoDelete,
        AutoDelete
    };

    TMenu()
        : TMenu(CreateMenu(), TAutoDelete::AutoDelete)
    {}

    explicit TMenu(HMENU handle, TAutoDelete autoDelete = TAutoDelete::NoAutoDelete)
        : m_handle(handle)
        , m_owns(autoDelete == TAutoDelete::AutoDelete)
    {}

    TMenu(const TMenu&) = delete;
    TMenu& operator=(const TMenu&) = delete;
    virtual ~TMenu();

    HMENU GetHandle() const { return m_handle; }

    operator HMENU() const { return m_handle; } // NOLINT: a menu object goes wherever a handle does

    bool IsOK() const { return IsMenu(m_handle); }

    /// Gives up ownership: the caller destroys the handle.
    HMENU Release();

    int GetMenuItemCount() const { return qm::gui::GetMenuItemCount(m_handle); }

    UINT GetMenuItemID(int pos) const { return qm::gui::GetMenuItemID(m_handle, pos); }

    HMENU GetSubMenu(int pos) const { return qm::gui::GetSubMenu(m_handle, pos); }

    UINT GetMenuState(UINT item, UINT flags) const { return qm::gui::GetMenuState(m_handle, item, flags); }

    std::string GetMenuString(UINT item, UINT flags) const { return qm::gui::GetMenuString(m_handle, item, flags); }

    bool AppendMenu(UINT flags, std::uint64_t id = 0, std::string_view text = {}, std::uint64_t data = 0)
    {
        return qm::gui::AppendMenu(m_handle, flags, id, text, data);
    }

    bool InsertMenu(UINT item, UINT flags, std::uint64_t id = 0, std::string_view text = {}, std::uint64_t data = 0)
    {
        return qm::gui::InsertMenu(m_handle, item, flags, id, text, data);
    }

    bool ModifyMenu(UINT item, UINT flags, std::uint64_t id = 0, std::string_view text = {}, std::uint64_t data = 0)
    {
        return qm::gui::ModifyMenu(m_handle, item, flags, id, text, data);
    }

    bool DeleteMenu(UINT item, UINT flags) { return qm::gui::DeleteMenu(m_handle, item, flags); }

    bool RemoveMenu(UINT item, UINT flags) { return qm::gui::RemoveMenu(m_handle, item, flags); }

    int EnableMenuItem(UINT item, UINT flags) { return qm::gui::EnableMenuItem(m_handle, item, flags); }

    int CheckMenuItem(UINT item, UINT flags) { return qm::gui::CheckMenuItem(m_handle, item, flags); }

    bool GetMenuItemInfo(UINT item, bool byPos, MENUITEMINFO& info) const
    {
        return qm::gui::GetMenuItemInfo(m_handle, item, byPos, info);
    }

    bool SetMenuItemInfo(UINT item, bool byPos, const MENUITEMINFO& info)
    {
        return qm::gui::SetMenuItemInfo(m_handle, item, byPos, info);
    }

private:
    HMENU m_handle;
    bool m_owns;
};

/// A new pop-up menu, destroyed with the object.
class TPopupMenu : public TMenu {
public:
    TPopupMenu()
        : TMenu(CreatePopupMenu(), TAutoDelete::AutoDelete)
    {}

    explicit TPopupMenu(HMENU handle, TAutoDelete autoDelete = TAutoDelete::NoAutoDelete)
        : TMenu(handle, autoDelete)
    {}
};

/// The WM_MEASUREITEM record of an owner-drawn menu item: ODT_MENU, the command id (the submenu's handle value
/// for a submenu item) and the item data; the owner fills in the size.
MEASUREITEMSTRUCT MakeMenuMeasureItem(HMENU menu, int pos);
/// The WM_DRAWITEM record of a menu item at rect: its grey, checked and default state, ODS_SELECTED when
/// selected, and action (ODA_DRAWENTIRE or ODA_SELECT).
DRAWITEMSTRUCT MakeMenuDrawItem(HMENU menu, int pos, const TRect& rect, bool selected, HDC dc,
                                UINT action = ODA_DRAWENTIRE);

/// A frame's menu description: the menu built from a resource and the number of its pop-ups in each of the six
/// menu groups (file, edit, container, object, window, help) used when menus are merged. Owns its menu.
class TMenuDescr : public TMenu {
public:
    enum TGroup {
        FileGroup,
        EditGroup,
        ContainerGroup,
        ObjectGroup,
        WindowGroup,
        HelpGroup,
        NumGroups
    };

    /// With no group counts, all of the menu's pop-ups count as the file group.
    explicit TMenuDescr(int resId, int fileGroup = -1, int editGroup = 0, int containerGroup = 0, int objectGroup = 0,
                        int windowGroup = 0, int helpGroup = 0);

    int GetId() const { return m_id; }

    int GetGroupCount(TGroup group) const { return m_groups[group]; }

private:
    int m_id;
    int m_groups[NumGroups];
};

/// The character after the first single '&' of a menu string, in capitals; 0 when none ("&&" is a literal '&').
char MenuMnemonic(std::string_view text);

} // namespace qm::gui
