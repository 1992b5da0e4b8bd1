// Dialog descriptions: compiled-in tables of a dialog's frame, font and controls, registered by id, and the
// arithmetic dialogs are laid out with (dialog units from the description's font) and filled with (transfer
// buffers, fixed-size fields in control order).
#pragma once

#include "gui/model/DialogNavigation.h"
#include "gui/model/Geometry.h"
#include "gui/model/Messages.h"

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qm::gui {

/// The id of labels and frames nobody addresses; several controls may share it.
inline constexpr int IDC_STATIC = -1;

/// The kinds of control a dialog description holds (the window classes of the standard controls).
enum class TDialogItemClass {
    Button, // push buttons, check boxes, radios and group boxes, by BS_ style
    Edit,
    Static,
    ListBox,
    ComboBox,
    TreeView
};

/// One control: its class, id, text, styles and rectangle in dialog units (left, top, right, bottom).
/// Every control is a visible child unless its style says otherwise. An icon static (Static with SS_ICON)
/// names its icon's id as its text, in decimal ("140").
struct TDialogItem {
    TDialogItemClass Class = TDialogItemClass::Static;
    int Id = IDC_STATIC;
    std::string Text;
    DWORD Style = WS_VISIBLE;
    TRect Rect;
    DWORD ExStyle = 0;
};

/// A dialog: frame styles, rectangle in dialog units (the position is where the dialog opens relative to its
/// owner), title, the font its controls use and its units come from, and the controls in tab order.
struct TDialogTemplate {
    DWORD Style = WS_POPUP | WS_CAPTION | WS_SYSMENU;
    TRect Rect;
    std::string Title;
    std::string FontFace = "MS Sans Serif";
    int FontPoints = 8;
    std::vector<TDialogItem> Items;
    DWORD ExStyle = WS_EX_DLGMODALFRAME;
};

/// Makes id stand for a description; a later registration replaces it.
void RegisterDialogResource(int id, TDialogTemplate description);
/// The description of id, or null. The pointer stays valid until id is registered again.
const TDialogTemplate* FindDialogResource(int id);

/// The character height (negative, as fonts are asked for) of a font of points on a 96-dpi screen.
int FontHeightFromPoints(int points);

/// A font's dialog base units: x from the width of the 52 letters A-Z and a-z together (their average,
/// rounded), y the font's cell height. MapDialogRect turns dialog units into pixels with them.
TSize DialogBaseUnits(int widthOfLetters, int cellHeight);

/// The icon id an icon static's text names; none for other text (empty, not a number, out of range).
std::optional<int> IconIdFromText(std::string_view text);

/// How the keyboard rules see an item (a button's kind comes from its BS_ style).
TDialogControl::TKind DialogItemKind(TDialogItemClass itemClass, DWORD style);

/// Transfer buffers hold one field per transferring control, in control order.
enum TTransferDirection {
    tdGetData, // controls -> buffer
    tdSetData  // buffer -> controls
};

/// The field a control takes in a transfer buffer: its size in bytes (0: the control takes no part) and its
/// alignment, so that a plain struct of the fields in control order is the buffer.
struct TTransferField {
    std::size_t Size = 0;
    std::size_t Align = 1;
};

/// The offset of each field in a buffer of bufferSize bytes, laid out in order as a struct lays out its members;
/// none for a field that takes no part or that does not fit whole in the buffer.
std::vector<std::optional<std::size_t>> TransferOffsets(std::span<const TTransferField> fields, std::size_t bufferSize);

/// The length of text's longest start of at most maxBytes bytes that does not end inside a UTF-8 character.
std::size_t Utf8FitLength(std::string_view text, std::size_t maxBytes);

/// Writes text into a text field of a transfer buffer: cut to field.size() - 1 bytes at a character boundary
/// (UTF-8), then NUL-terminated. An empty field takes nothing.
void PutTransferText(std::span<char> field, std::string_view text);
/// The text of a field: up to its first NUL, or the whole field when it has none.
std::string GetTransferText(std::span<const char> field);

} // namespace qm::gui
