// Dialogs built from dialog descriptions, the controls' resource-id constructors and transfer buffers.
#include "gui/ctrl/Controls.h"
#include "gui/ctrl/Dialog.h"
#include "gui/ctrl/ListBox.h"
#include "gui/ctrl/TreeWindow.h"
#include "gui/draw/Dc.h"
#include "gui/window/WindowWidget.h"

#include <QAbstractButton>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <set>

namespace qm::gui {

namespace {

std::span<char> Chars(std::span<std::byte> field)
{
    return {reinterpret_cast<char*>(field.data()), field.size()};
}

template <typename T>
T ReadField(std::span<std::byte> field)
{
    T value{};
    std::memcpy(&value, field.data(), std::min(sizeof(T), field.size()));
    return value;
}

template <typename T>
void WriteField(std::span<std::byte> field, T value)
{
    std::memcpy(field.data(), &value, std::min(sizeof(T), field.size()));
}

bool IsCheckKind(DWORD style)
{
    const DWORD kind = style & 0x0F;
    return kind == BS_CHECKBOX || kind == BS_AUTOCHECKBOX || kind == BS_RADIOBUTTON || kind == BS_AUTORADIOBUTTON;
}

constexpr std::string_view kLetters = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

} // namespace

// Transfer.

void TControl::Transfer(std::span<std::byte>, TTransferDirection)
{}

TEdit::TEdit(TWindow* parent, int resourceId, int textLimit)
    : TEdit(parent, resourceId, {}, 0, 0, 0, 0, textLimit > 1 ? textLimit - 1 : 0)
{}

TTransferField TEdit::GetTransferField() const
{
    return m_limit > 0 ? TTransferField{static_cast<std::size_t>(m_limit) + 1, 1} : TTransferField{};
}

void TEdit::Transfer(std::span<std::byte> field, TTransferDirection direction)
{
    if (direction == tdGetData) {
        PutTransferText(Chars(field), GetText());
    } else {
        SetText(GetTransferText(Chars(field)));
    }
}

TButton::TButton(TWindow* parent, int resourceId)
    : TButton(parent, resourceId, {}, 0, 0, 0, 0)
{}

TTransferField TButton::GetTransferField() const
{
    return IsCheckKind(Attr.Style) ? TTransferField{sizeof(std::uint16_t), alignof(std::uint16_t)} : TTransferField{};
}

void TButton::Transfer(std::span<std::byte> field, TTransferDirection direction)
{
    if (direction == tdGetData) {
        WriteField<std::uint16_t>(field, static_cast<std::uint16_t>(GetCheck()));
        return;
    }
    const bool check = ReadField<std::uint16_t>(field) != 0;
    auto* button = qobject_cast<QAbstractButton*>(WidgetOf(*this));
    if (button == nullptr || button->isChecked() == check) {
        return;
    }
    // An automatic radio button would refuse to lose its check by itself.
    const bool exclusive = button->autoExclusive();
    button->setAutoExclusive(false);
    button->setChecked(check);
    button->setAutoExclusive(exclusive);
}

TRadioButton::TRadioButton(TWindow* parent, int resourceId)
    : TRadioButton(parent, resourceId, {}, 0, 0, 0, 0)
{}

TCheckBox::TCheckBox(TWindow* parent, int resourceId)
    : TCheckBox(parent, resourceId, {}, 0, 0, 0, 0)
{}

TStatic::TStatic(TWindow* parent, int resourceId)
    : TStatic(parent, resourceId, {}, 0, 0, 0, 0)
{}

TGroupBox::TGroupBox(TWindow* parent, int resourceId)
    : TGroupBox(parent, resourceId, {}, 0, 0, 0, 0)
{}

TComboBox::TComboBox(TWindow* parent, int resourceId)
    : TComboBox(parent, resourceId, 0, 0, 0, 0)
{}

TTransferField TComboBox::GetTransferField() const
{
    return (Attr.Style & 0x03) == CBS_DROPDOWNLIST ? TTransferField{sizeof(std::int32_t), alignof(std::int32_t)}
                                                   : TTransferField{};
}

void TComboBox::Transfer(std::span<std::byte> field, TTransferDirection direction)
{
    if (direction == tdGetData) {
        WriteField<std::int32_t>(field, GetSelIndex());
    } else if (SetSelIndex(ReadField<std::int32_t>(field)) == CB_ERR) {
        SetSelIndex(-1);
    }
}

// Dialogs from descriptions.

TListBox::TListBox(TWindow* parent, int resourceId)
    : TListBox(parent, resourceId, 0, 0, 0, 0)
{}

TTreeWindow::TTreeWindow(TWindow* parent, int resourceId)
    : TTreeWindow(parent, resourceId, 0, 0, 0, 0)
{}

TDialog::TDialog(TWindow* parent, int resourceId)
    : TDialog(parent, std::string_view{})
{
    m_resourceId = resourceId;
}

bool TDialog::Create()
{
    if (HasWindow()) {
        return false;
    }
    if (m_resourceId != 0) {
        const TDialogTemplate* description = FindDialogResource(m_resourceId);
        if (description == nullptr) {
            return false;
        }
        ApplyDescription(*description);
    }
    if (!TWindow::Create()) {
        return false;
    }
    if (!m_modal && (Attr.Style & WS_VISIBLE) != 0) {
        ShowWindow(SW_SHOW);
    }
    return true;
}

void TDialog::ApplyDescription(const TDialogTemplate& description)
{
    // The font first: the dialog's units come from it, and its controls take it.
    const TFont font(description.FontFace, FontHeightFromPoints(description.FontPoints));
    SetWindowFont(font, false);
    TMemoryDC dc;
    dc.SelectObject(font);
    const TSize letters = dc.GetTextExtent(kLetters);
    m_baseUnits = DialogBaseUnits(letters.cx, letters.cy);

    Attr.Style = description.Style & ~DS_CENTER;
    Attr.ExStyle = description.ExStyle;
    SetCaption(description.Title);
    const TRect frame = MapDialogRect(description.Rect);
    TPoint at(frame.left, frame.top);
    const bool owned = GetParent() != nullptr && GetParent()->HasWindow();
    if ((description.Style & DS_CENTER) != 0) {
        const TRect over = owned ? GetParent()->GetWindowRect()
                                 : TRect(0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
        at = TPoint(over.left + (over.Width() - frame.Width()) / 2, over.top + (over.Height() - frame.Height()) / 2);
    } else if (owned) {
        at = GetParent()->ClientToScreen(at);
    }
    Attr.X = at.x;
    Attr.Y = at.y;
    Attr.W = frame.Width();
    Attr.H = frame.Height();

    // Each control of the description is the program's object made with its id, else one made here.
    const std::vector<TWindow*> made = GetChildrenInCreationOrder();
    std::set<TWindow*> bound;
    m_itemWindows.clear();
    for (const TDialogItem& item : description.Items) {
        const TRect r = MapDialogRect(item.Rect);
        const auto own = std::find_if(made.begin(), made.end(), [&](TWindow* child) {
            return child->GetId() == item.Id && !bound.contains(child) && !child->HasWindow();
        });
        TWindow* control = nullptr;
        if (own != made.end()) {
            control = *own;
            if (auto* edit = dynamic_cast<TEdit*>(control); edit != nullptr) {
                if (edit->GetText().empty()) {
                    edit->SetText(item.Text);
                }
            } else if (control->GetCaption().empty()) {
                control->SetCaption(item.Text);
            }
        } else {
            TControl* fresh = nullptr;
            switch (item.Class) {
            case TDialogItemClass::Button:
                fresh = (item.Style & 0x0F) == BS_GROUPBOX
                                ? static_cast<TControl*>(new TGroupBox(this, item.Id, item.Text, 0, 0, 0, 0))
                                : new TButton(this, item.Id, item.Text, 0, 0, 0, 0);
                break;
            case TDialogItemClass::Edit:
                fresh = new TEdit(this, item.Id, item.Text, 0, 0, 0, 0);
                break;
            case TDialogItemClass::Static:
                fresh = new TStatic(this, item.Id, item.Text, 0, 0, 0, 0);
                break;
            case TDialogItemClass::ComboBox:
                fresh = new TComboBox(this, item.Id, 0, 0, 0, 0, item.Style);
                break;
            case TDialogItemClass::ListBox:
                fresh = new TListBox(this, item.Id);
                break;
            case TDialogItemClass::TreeView:
                fresh = new TTreeWindow(this, item.Id);
                break;
            }
            if (fresh == nullptr) {
                continue;
            }
            // Controls nobody made take no part in transfer: the buffer holds the program's controls only.
            fresh->DisableTransfer();
            control = fresh;
        }
        bound.insert(control);
        control->Attr.Style = item.Style | WS_CHILD;
        control->Attr.ExStyle = item.ExStyle;
        control->Attr.X = r.left;
        control->Attr.Y = r.top;
        control->Attr.W = r.Width();
        control->Attr.H = r.Height();
        m_itemWindows.push_back(control);
    }
}

std::vector<TWindow*> TDialog::TabOrder() const
{
    const std::vector<TWindow*> children = GetChildrenInCreationOrder();
    std::vector<TWindow*> order;
    for (TWindow* item : m_itemWindows) {
        // A control object deleted since is no longer a child.
        if (std::find(children.begin(), children.end(), item) != children.end()) {
            order.push_back(item);
        }
    }
    for (TWindow* child : children) {
        if (std::find(order.begin(), order.end(), child) == order.end()) {
            order.push_back(child);
        }
    }
    return order;
}

TRect TDialog::MapDialogRect(const TRect& dialogUnits) const
{
    return qm::gui::MapDialogRect(dialogUnits, m_baseUnits);
}

void TDialog::SetTransferBuffer(void* buffer, std::size_t size)
{
    m_transferBuffer = static_cast<std::byte*>(buffer);
    m_transferSize = buffer != nullptr ? size : 0;
}

bool TDialog::TransferData(TTransferDirection direction)
{
    if (m_transferBuffer == nullptr) {
        return false;
    }
    std::vector<TControl*> controls;
    std::vector<TTransferField> fields;
    for (TWindow* child : GetChildrenInCreationOrder()) {
        if (auto* control = dynamic_cast<TControl*>(child); control != nullptr) {
            controls.push_back(control);
            fields.push_back(control->IsTransferEnabled() && control->HasWindow() ? control->GetTransferField()
                                                                                  : TTransferField{});
        }
    }
    const std::vector<std::optional<std::size_t>> offsets = TransferOffsets(fields, m_transferSize);
    bool whole = true;
    for (std::size_t i = 0; i < controls.size(); ++i) {
        if (!offsets[i]) {
            whole = whole && fields[i].Size == 0;
            continue;
        }
        controls[i]->Transfer(std::span<std::byte>(m_transferBuffer + *offsets[i], fields[i].Size), direction);
    }
    return whole;
}

} // namespace qm::gui
