// The list box: one or several columns of items (text and item data), single, multiple or extended selection,
// sorted or in the order added, a horizontal extent and a top index. The box draws its items itself with the
// layer's device contexts; an owner-drawn box asks its parent instead (WM_MEASUREITEM once, WM_DRAWITEM for
// every item it shows, with the selected and focus states).
#pragma once

#include "gui/ctrl/Controls.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qm::gui {

// List box styles beside the ones in Messages.h.
inline constexpr DWORD LBS_NOTIFY = 0x0001;
inline constexpr DWORD LBS_NOINTEGRALHEIGHT = 0x0100;
inline constexpr DWORD LBS_STANDARD = LBS_NOTIFY | LBS_SORT | WS_VSCROLL | WS_BORDER;

/// A list box. Its items live in its window: before Create and after Destroy every call fails (LB_ERR, empty
/// results). The constructor's style is LBS_STANDARD (notify, sorted, vertical scroll bar, border); change
/// Attr.Style before Create for others. LBS_EXTENDEDSEL selects with Shift and Ctrl, LBS_MULTIPLESEL toggles
/// on each click, otherwise one item is selected. With LBS_NOTIFY the parent hears LBN_SELCHANGE when the user
/// changes the selection (not when the program does) and LBN_DBLCLK on a double click, first through the box.
/// LB_SETITEMHEIGHT (lParam: the height) and LB_SETCOLUMNWIDTH (wParam: the width) arrive as messages too.
class TListBox : public TControl {
public:
    TListBox(TWindow* parent, int id, int x, int y, int w, int h);
    /// The list box of a dialog description's control resourceId (its styles are the description's).
    TListBox(TWindow* parent, int resourceId);

    TDialogControl::TKind GetDialogKind() const override { return TDialogControl::ListBox; }

    /// Adds text at its sorted place (LBS_SORT) or at the end; returns its index.
    int AddString(std::string_view text);
    /// Inserts text at index (-1: the end), never sorting; returns its index.
    int InsertString(std::string_view text, int index);
    /// Returns the number of items left.
    int DeleteString(int index);
    void ClearList();
    int GetCount() const;
    std::string GetString(int index) const;
    std::uint64_t GetItemData(int index) const;
    int SetItemData(int index, std::uint64_t data);

    /// The selected item of a single-selection box, LB_ERR when none.
    int GetSelIndex() const;
    /// Selects only index (-1: nothing); LB_ERR when index is out of range.
    int SetSelIndex(int index);
    /// Whether index is selected.
    bool GetSel(int index) const;
    /// Selects or deselects index; index -1 means every item. LB_ERR when index is out of range.
    int SetSel(int index, bool select);
    int GetSelCount() const;
    /// The selected indexes in ascending order.
    std::vector<int> GetSelIndexes() const;
    /// The item with the focus rectangle, LB_ERR when none.
    int GetCaretIndex() const;

    /// The first item shown (in a multi-column box the first of the first column shown).
    int GetTopIndex() const;
    /// Scrolls index to the top as far as the items below allow; LB_ERR when out of range.
    int SetTopIndex(int index);
    /// The width in pixels the box scrolls over horizontally (a single-column box with a horizontal scroll bar).
    void SetHorizontalExtent(int extent);

    int GetHorizontalExtent() const { return m_extent; }

    /// Every item has one height (index is accepted for familiarity and ignored).
    int GetItemHeight(int index = 0) const;
    int SetItemHeight(int index, int height);
    /// The width of every column of an LBS_MULTICOLUMN box.
    void SetColumnWidth(int width);

    int GetColumnWidth() const { return m_columnWidth; }

    /// The item's rectangle in client coordinates; empty when index is out of range.
    TRect GetItemRect(int index) const;

    bool IsOwnerDrawn() const { return (Attr.Style & (LBS_OWNERDRAWFIXED | LBS_OWNERDRAWVARIABLE)) != 0; }

    LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override;
    void SetupWindow() override;

    /// What an owner-drawn box does when its parent leaves WM_DRAWITEM unanswered (0): the box's own drawing.
    /// The base draws nothing.
    virtual void DrawItem(DRAWITEMSTRUCT& drawInfo);
    /// What an owner-drawn box does when its parent leaves WM_MEASUREITEM unanswered: the base keeps the
    /// height of the box's font.
    virtual void MeasureItem(MEASUREITEMSTRUCT& measureInfo);

    /// Paints the items into dc (client coordinates): the box's own painting, for its widget.
    void PaintItems(TDC& dc, const TRect& clip);

protected:
    QWidget* MakeWidget(QWidget* parentWidget) override;

private:
    void Relayout();
    int FontHeight() const;

    int m_itemHeight = 0; // 0: the font's height
    int m_columnWidth = 0;
    int m_extent = 0;
    bool m_quiet = false; // the program is changing the selection: no LBN_SELCHANGE
};

} // namespace qm::gui
