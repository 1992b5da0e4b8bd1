// The standard controls: windows whose widget is a Qt control. They tell their parent what the user did with
// notifications (WM_COMMAND with EN_CHANGE, BN_CLICKED, CBN_SELCHANGE; WM_NOTIFY with
// LVN_COLUMNCLICK), each first to the control itself and then to its parent.
#pragma once

#include "gui/draw/Icon.h"
#include "gui/model/DialogResource.h"
#include "gui/window/Window.h"

#include <cstddef>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qm::gui {

/// The base of the standard controls: placed by its creation attributes, a child with a tab stop.
class TControl : public TWindow {
public:
    TControl(TWindow* parent, int id, std::string_view title, int x, int y, int w, int h);

    /// The control's field in its dialog's transfer buffer (size 0 while transfer is disabled or the control
    /// has no value to transfer), and the copy between the control and that field.
    virtual TTransferField GetTransferField() const { return {}; }

    virtual void Transfer(std::span<std::byte> field, TTransferDirection direction);

    void EnableTransfer() { m_transfer = true; }

    void DisableTransfer() { m_transfer = false; }

    bool IsTransferEnabled() const { return m_transfer; }

protected:
    /// Sends WM_COMMAND (id, code) to the control, then to its parent.
    void NotifyCommand(int code);
    /// Sends WM_NOTIFY with record (its header filled here) to the control, then to its parent.
    void NotifyRecord(NMHDR& header);

private:
    bool m_transfer = true;
};

/// An edit control: one line, or several with ES_MULTILINE (Enter then adds a line only with ES_WANTRETURN).
/// The text limit holds for both, for typed and set text; it counts bytes of UTF-8, as the transfer buffer does.
/// Before it paints it asks its parent for its colours with WM_CTLCOLOREDIT (WM_CTLCOLORSTATIC when read-only or
/// disabled): wParam a TDC* whose text colour the parent may set, lParam the edit's handle; the parent answers a
/// TBrush* for the background, or 0 for the system's colours (the window colour; the face colour when read-only or
/// disabled).
class TEdit : public TControl {
public:
    /// textLimit 0: no limit other than the control's own.
    TEdit(TWindow* parent, int id, std::string_view text, int x, int y, int w, int h, int textLimit = 0,
          bool multiLine = false);
    /// The edit of a dialog description's control resourceId, taking at most textLimit - 1 bytes; its
    /// transfer field is textLimit bytes (the text and its terminator).
    TEdit(TWindow* parent, int resourceId, int textLimit);
    std::string GetText() const;
    void SetText(std::string_view text);
    void LimitText(int limit);

    int GetTextLimit() const { return m_limit; }

    /// Makes the edit read-only (the text stays selectable and copyable) or editable again; the style follows.
    /// A dialog description's style decides at creation; this changes it afterwards.
    void SetReadOnly(bool readOnly);

    bool IsReadOnly() const { return (Attr.Style & ES_READONLY) != 0; }

    /// EM_SETREADONLY (wParam: nonzero for read-only) and EM_LIMITTEXT (wParam: the limit, 0 none) as messages.
    LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override;

    bool IsMultiLine() const { return (Attr.Style & ES_MULTILINE) != 0; }

    bool WantsReturn() const { return (Attr.Style & ES_WANTRETURN) != 0; }

    /// limit + 1 bytes; an edit without a limit takes no part.
    TTransferField GetTransferField() const override;
    void Transfer(std::span<std::byte> field, TTransferDirection direction) override;

    TDialogControl::TKind GetDialogKind() const override { return TDialogControl::Edit; }

protected:
    QWidget* MakeWidget(QWidget* parentWidget) override;

private:
    int m_limit;
    std::string m_initial;
};

/// Push buttons, check boxes and auto radio buttons (by BS_ style); BN_CLICKED on a click.
class TButton : public TControl {
public:
    TButton(TWindow* parent, int id, std::string_view text, int x, int y, int w, int h, bool isDefault = false);
    /// The button of a dialog description's control resourceId.
    TButton(TWindow* parent, int resourceId);
    /// 1 checked, 0 not (check boxes and radio buttons).
    int GetCheck() const;
    void SetCheck(int check);
    /// Check boxes and radio buttons: a 16-bit check state (1 checked, 0 not); push buttons take no part.
    TTransferField GetTransferField() const override;
    void Transfer(std::span<std::byte> field, TTransferDirection direction) override;
    /// A radio button, check box or push button by its BS_ style.
    TDialogControl::TKind GetDialogKind() const override;

protected:
    QWidget* MakeWidget(QWidget* parentWidget) override;
};

class TRadioButton : public TButton {
public:
    TRadioButton(TWindow* parent, int id, std::string_view text, int x, int y, int w, int h);
    explicit TRadioButton(TWindow* parent, int resourceId);
};

class TCheckBox : public TButton {
public:
    TCheckBox(TWindow* parent, int id, std::string_view text, int x, int y, int w, int h);
    explicit TCheckBox(TWindow* parent, int resourceId);
};

/// Static text; with SS_ICON the icon whose id its text names (kIconSize, its top-left corner at the control's).
class TStatic : public TControl {
public:
    TStatic(TWindow* parent, int id, std::string_view text, int x, int y, int w, int h);
    /// The label of a dialog description's control resourceId (labels take no part in transfer).
    TStatic(TWindow* parent, int resourceId);

    TDialogControl::TKind GetDialogKind() const override { return TDialogControl::Static; }

protected:
    QWidget* MakeWidget(QWidget* parentWidget) override;
};

/// A group box around controls.
class TGroupBox : public TControl {
public:
    TGroupBox(TWindow* parent, int id, std::string_view text, int x, int y, int w, int h);
    TGroupBox(TWindow* parent, int resourceId);

    TDialogControl::TKind GetDialogKind() const override { return TDialogControl::GroupBox; }

protected:
    QWidget* MakeWidget(QWidget* parentWidget) override;
};

/// A combo box: CBS_DROPDOWN (with an edit) or CBS_DROPDOWNLIST. CBN_SELCHANGE when the user picks an item;
/// CB_GETCURSEL, CB_SETCURSEL and CB_SETEXTENDEDUI as messages. The edit part of a CBS_DROPDOWN asks the combo box
/// for its colours as an edit asks its parent; the combo box passes the question on to its own parent. The edit
/// part has no window of its own: the combo box's handle stands for it in lParam.
class TComboBox : public TControl {
public:
    /// textLimit: at most that many characters in the edit part (0: no limit other than the control's own).
    TComboBox(TWindow* parent, int id, int x, int y, int w, int h, DWORD style = CBS_DROPDOWNLIST, int textLimit = 0);
    /// The combo box of a dialog description's control resourceId.
    TComboBox(TWindow* parent, int resourceId);

    TDialogControl::TKind GetDialogKind() const override { return TDialogControl::ComboBox; }

    int AddString(std::string_view text);
    int GetCount() const;
    int GetSelIndex() const;
    int SetSelIndex(int index);
    std::string GetString(int index) const;
    void ClearList();
    /// The text of the edit part; of a drop-down list, the selected item's text (empty when none).
    std::string GetText() const;
    /// Puts text into the edit part. A drop-down list selects the first item with that text instead (ignoring
    /// case) and returns false, changing nothing, when there is none.
    bool SetText(std::string_view text);

    int GetTextLimit() const { return m_limit; }

    bool IsDropDownList() const { return (Attr.Style & CBS_DROPDOWNLIST) == CBS_DROPDOWNLIST; }

    LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override;
    /// A drop-down list: its selection index as a 32-bit integer (-1 none); a combo box with an edit takes no
    /// part.
    TTransferField GetTransferField() const override;
    void Transfer(std::span<std::byte> field, TTransferDirection direction) override;

protected:
    QWidget* MakeWidget(QWidget* parentWidget) override;

private:
    std::vector<std::string> m_pending; // items added before the window exists
    int m_pendingSel = -1;
    std::string m_pendingText; // the edit part's text before the window exists
    int m_limit;
};

/// The record of LVN_COLUMNCLICK and the other list view notifications.
struct NMLISTVIEW {
    NMHDR hdr;
    int iItem = -1;
    int iSubItem = 0;
    std::uint64_t lParam = 0;
};

/// A report-mode list view: columns, rows with item data, full-row selection. It never sorts by itself:
/// SortItems orders the rows by the caller's comparison.
class TListView : public TControl {
public:
    TListView(TWindow* parent, int id, int x, int y, int w, int h);
    int InsertColumn(int index, std::string_view text, int width);
    /// Appends a row; returns its index.
    int InsertItem(std::string_view text, std::uint64_t itemData = 0);
    bool SetItemText(int item, int subItem, std::string_view text);
    std::string GetItemText(int item, int subItem) const;
    std::uint64_t GetItemData(int item) const;
    /// Ties data to a row (what SortItems hands the comparison); false when item is out of range.
    bool SetItemData(int item, std::uint64_t data);
    int GetItemCount() const;
    void DeleteAllItems();
    /// Selects or deselects a row, item -1 every row; false when item is out of range. Several rows may be
    /// selected at once (the user extends the selection with Shift and Ctrl).
    bool SetSel(int item, bool select);
    bool GetSel(int item) const;
    int GetSelCount() const;
    /// The selected rows in ascending order.
    std::vector<int> GetSelIndexes() const;
    /// compare(data1, data2, parameter) < 0 puts data1's row first; the order of equal rows is kept, and so is
    /// the selection (it moves with its rows).
    using TCompareFunc = std::function<int(std::uint64_t, std::uint64_t, std::uint64_t)>;
    bool SortItems(const TCompareFunc& compare, std::uint64_t parameter = 0);
    /// The state images of the rows (which: LVSIL_STATE), copied from list; null removes them.
    void SetImageList(const class TImageList* list, int which);
    /// Shows state image stateImage (1 the first, 0 none) before the row's first column; false when item is
    /// out of range.
    bool SetItemStateImage(int item, int stateImage);

protected:
    QWidget* MakeWidget(QWidget* parentWidget) override;

private:
    std::vector<TIcon> m_stateImages;
};

/// Image lists of a list view.
inline constexpr int LVSIL_STATE = 2;

} // namespace qm::gui
