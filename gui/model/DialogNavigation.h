// Dialog keyboard rules and dialog units: which control Tab and the arrow keys move to, what Enter and Escape
// do (Enter is the default button unless the focused edit wants returns; Escape is IDCANCEL), and the pixel
// rectangle of a rectangle given in dialog units of the template's font.
#pragma once

#include "gui/model/Geometry.h"
#include "gui/model/Messages.h"

#include <span>

namespace qm::gui {

/// One control of a dialog, in its tab (creation) order.
struct TDialogControl {
    enum TKind {
        Other,
        Edit,
        PushButton,
        RadioButton,
        CheckBox,
        Static,
        GroupBox,
        ListBox,
        ComboBox
    };

    int Id = 0;
    TKind Kind = Other;
    DWORD Style = WS_VISIBLE; // WS_TABSTOP, WS_GROUP, WS_VISIBLE, WS_DISABLED and the control's own bits
    char Mnemonic = 0;        // a button's or label's '&' letter in capitals (MenuMnemonic of its text); 0: none
};

/// Dialog units: x in quarters of the font's average character width, y in eighths of its height.
TRect MapDialogRect(const TRect& dialogUnits, TSize baseUnits);

/// The next control that Tab (or Shift+Tab, previous) gives the focus: visible, enabled and a tab stop, after
/// current in tab order, wrapping round. current -1 starts before the first. -1 when there is none.
int NextTabItem(std::span<const TDialogControl> controls, int current, bool previous);

/// The next visible, enabled control of current's group (a group starts at a control with WS_GROUP and runs to
/// the next one), wrapping inside the group: what the arrow keys move to. current itself when it is alone.
int NextGroupItem(std::span<const TDialogControl> controls, int current, bool previous);

struct TDialogKeyAction {
    enum TKind {
        None,
        Command,
        MoveFocus,
        Press
    };

    TKind Kind = None;
    int CommandId = 0; // Command: the WM_COMMAND id (a button's BN_CLICKED, IDOK, IDCANCEL); Press: the button's id
    int Focus = -1;    // MoveFocus: the index of the control that gets the focus; Press: the button's index
};

/// What the dialog does with a key typed while controls[focus] has the focus (focus -1: the dialog itself).
/// defaultId is the default push button's id (IDOK when the dialog has none). None leaves the key to the control.
/// With alt (Alt held: WM_SYSKEYDOWN) only mnemonics count. A letter or digit is a mnemonic with Alt, or alone
/// when the focus control does not take characters (buttons, labels, the dialog itself). The first visible,
/// enabled control after the focus (wrapping) whose mnemonic it is: a button is pressed (Press; a check box or
/// radio takes the focus first), a label or group box moves the focus to the next tab stop after it.
TDialogKeyAction DialogKeyAction(std::span<const TDialogControl> controls, int focus, int virtualKey, bool shift,
                                 int defaultId = IDOK, bool alt = false);

} // namespace qm::gui
