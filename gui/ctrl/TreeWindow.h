// The tree view: items with text, item data and images from an image list, under a root, expanded and
// collapsed, their children sorted on request. Items are named by handles that stay valid until the item goes.
#pragma once

#include "gui/ctrl/Controls.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qm::gui {

class TImageList;

/// An item's handle; 0 names no item.
using HTREEITEM = std::uintptr_t;
/// Insert positions and the root: the invisible parent of the top-level items.
inline constexpr HTREEITEM TVI_ROOT = static_cast<HTREEITEM>(-0x10000);
inline constexpr HTREEITEM TVI_FIRST = static_cast<HTREEITEM>(-0x0FFFF);
inline constexpr HTREEITEM TVI_LAST = static_cast<HTREEITEM>(-0x0FFFE);
inline constexpr HTREEITEM TVI_SORT = static_cast<HTREEITEM>(-0x0FFFD);

/// Tree styles.
inline constexpr DWORD TVS_HASBUTTONS = 0x0001;
inline constexpr DWORD TVS_HASLINES = 0x0002;
inline constexpr DWORD TVS_LINESATROOT = 0x0004;
inline constexpr DWORD TVS_DISABLEDRAGDROP = 0x0010;
inline constexpr DWORD TVS_SHOWSELALWAYS = 0x0020;

/// Expand actions.
inline constexpr UINT TVE_COLLAPSE = 0x0001;
inline constexpr UINT TVE_EXPAND = 0x0002;
inline constexpr UINT TVE_TOGGLE = 0x0003;

/// Image lists of a tree.
inline constexpr int TVSIL_NORMAL = 0;

/// A tree view. Every call needs the window (before Create and after Destroy they fail: 0, false, empty).
/// Mouse and keys reach the tree's WindowProc first (a pane's right press or double click); what it leaves to
/// the default handling works the tree.
class TTreeWindow : public TControl {
public:
    TTreeWindow(TWindow* parent, int id, int x, int y, int w, int h,
                DWORD style = TVS_HASBUTTONS | TVS_HASLINES | TVS_LINESATROOT);
    /// The tree of a dialog description's control resourceId (its styles are the description's).
    TTreeWindow(TWindow* parent, int resourceId);
    ~TTreeWindow() override;

    /// Adds an item under parent (TVI_ROOT for the top level) after insertAfter (TVI_FIRST, TVI_LAST, TVI_SORT
    /// or a child of parent); image and selectedImage index the normal image list (-1: none). Returns its
    /// handle, 0 when parent or insertAfter is not valid.
    HTREEITEM InsertItem(HTREEITEM parent, std::string_view text, int image = -1, int selectedImage = -1,
                         std::uint64_t data = 0, HTREEITEM insertAfter = TVI_LAST);
    /// Deletes the item and everything below it; TVI_ROOT deletes every item.
    bool DeleteItem(HTREEITEM item);
    /// Deletes every child of item (TVI_ROOT: every item), keeping item itself.
    void DeleteChildren(HTREEITEM item);

    void DeleteAllItems() { DeleteItem(TVI_ROOT); }

    int GetCount() const;
    /// The first child of item (TVI_ROOT: the first top-level item), 0 when none.
    HTREEITEM GetChild(HTREEITEM item) const;
    HTREEITEM GetNextSibling(HTREEITEM item) const;
    /// The parent, 0 for a top-level item.
    HTREEITEM GetParentItem(HTREEITEM item) const;
    std::vector<HTREEITEM> GetChildren(HTREEITEM item) const;

    std::string GetItemText(HTREEITEM item) const;
    bool SetItemText(HTREEITEM item, std::string_view text);
    std::uint64_t GetItemData(HTREEITEM item) const;
    bool SetItemData(HTREEITEM item, std::uint64_t data);
    bool SetItemImage(HTREEITEM item, int image, int selectedImage);
    /// The item's (image, selected image).
    std::pair<int, int> GetItemImage(HTREEITEM item) const;

    /// TVE_EXPAND, TVE_COLLAPSE or TVE_TOGGLE; false when item is not valid.
    bool Expand(HTREEITEM item, UINT action);
    bool IsExpanded(HTREEITEM item) const;
    /// Orders the children of item (TVI_ROOT: the top level) by their text ignoring case, equal texts kept in
    /// their order; with recurse, every level below too.
    bool SortChildren(HTREEITEM item, bool recurse = false);

    HTREEITEM GetSelection() const;
    bool SelectItem(HTREEITEM item);

    /// The images the items show: copied from list when set (a later change of list shows after the next
    /// SetImageList); null removes them.
    void SetImageList(int which, const TImageList* list);

protected:
    QWidget* MakeWidget(QWidget* parentWidget) override;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace qm::gui
