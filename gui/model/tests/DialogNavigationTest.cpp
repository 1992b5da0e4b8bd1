#include "gui/model/DialogNavigation.h"

#include <gtest/gtest.h>

#include <vector>

namespace qm::gui {
namespace {

using C = TDialogControl;

// The appearance dialog's shape: three radios in a group, a label, a list, a label, an edit, OK and Cancel.
const std::vector<C> kControls = {
        {20501, C::RadioButton, WS_VISIBLE | WS_TABSTOP | WS_GROUP},
        {20502, C::RadioButton, WS_VISIBLE},
        {20503, C::RadioButton, WS_VISIBLE},
        {20505, C::Static, WS_VISIBLE | WS_GROUP},
        {20506, C::ListBox, WS_VISIBLE | WS_TABSTOP | WS_GROUP},
        {20509, C::Static, WS_VISIBLE | WS_GROUP},
        {20510, C::Edit, WS_VISIBLE | WS_TABSTOP | WS_GROUP},
        {IDOK, C::PushButton, WS_VISIBLE | WS_TABSTOP | WS_GROUP},
        {IDCANCEL, C::PushButton, WS_VISIBLE | WS_TABSTOP},
};

TEST(DialogNavigationTest, TabAndArrowsMoveTheFocusByTabStopsAndGroups)
{
    struct Case {
        const char* What;
        std::vector<C> Controls;
        int Focus;
        int Key;
        bool Shift;
        TDialogKeyAction::TKind Kind;
        int Want; // the focus index, or the command id
    };

    std::vector<C> disabledList = kControls;
    disabledList[4].Style |= WS_DISABLED;
    const Case cases[] = {
            {"tab from the radios skips labels", kControls, 0, VK_TAB, false, TDialogKeyAction::MoveFocus, 4},
            {"tab skips a disabled control", disabledList, 0, VK_TAB, false, TDialogKeyAction::MoveFocus, 6},
            {"tab wraps round", kControls, 8, VK_TAB, false, TDialogKeyAction::MoveFocus, 0},
            {"shift-tab goes back", kControls, 4, VK_TAB, true, TDialogKeyAction::MoveFocus, 0},
            {"tab from nothing starts at the first stop", kControls, -1, VK_TAB, false, TDialogKeyAction::MoveFocus, 0},
            {"down moves inside the radio group", kControls, 0, VK_DOWN, false, TDialogKeyAction::MoveFocus, 1},
            {"up wraps inside the group", kControls, 0, VK_UP, false, TDialogKeyAction::MoveFocus, 2},
            {"right from OK goes to Cancel", kControls, 7, VK_RIGHT, false, TDialogKeyAction::MoveFocus, 8},
            {"arrows in an edit stay with the edit", kControls, 6, VK_DOWN, false, TDialogKeyAction::None, 0},
            {"arrows in a list stay with the list", kControls, 4, VK_UP, false, TDialogKeyAction::None, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        const auto action = DialogKeyAction(c.Controls, c.Focus, c.Key, c.Shift);
        EXPECT_EQ(action.Kind, c.Kind);
        if (c.Kind == TDialogKeyAction::MoveFocus) {
            EXPECT_EQ(action.Focus, c.Want);
        }
    }
}

TEST(DialogNavigationTest, EnterIsTheDefaultButtonUnlessTheEditWantsReturns)
{
    std::vector<C> controls = kControls;

    struct Case {
        const char* What;
        DWORD EditStyle;
        int Focus;
        int Key;
        int DefaultId;
        TDialogKeyAction::TKind Kind;
        int WantCommand;
    };

    const Case cases[] = {
            {"enter in a single-line edit", 0, 6, VK_RETURN, IDOK, TDialogKeyAction::Command, IDOK},
            {"enter in a multi-line edit without want-return", ES_MULTILINE, 6, VK_RETURN, IDOK,
             TDialogKeyAction::Command, IDOK},
            {"enter in a multi-line edit that wants returns", ES_MULTILINE | ES_WANTRETURN, 6, VK_RETURN, IDOK,
             TDialogKeyAction::None, 0},
            {"enter on a focused push button presses it", 0, 8, VK_RETURN, IDOK, TDialogKeyAction::Command, IDCANCEL},
            {"enter with another default button", 0, 0, VK_RETURN, 20510, TDialogKeyAction::Command, 20510},
            {"escape is cancel, even in a multi-line edit", ES_MULTILINE | ES_WANTRETURN, 6, VK_ESCAPE, IDOK,
             TDialogKeyAction::Command, IDCANCEL},
            {"other keys stay with the control", 0, 6, 'A', IDOK, TDialogKeyAction::None, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        controls[6].Style = WS_VISIBLE | WS_TABSTOP | WS_GROUP | c.EditStyle;
        const auto action = DialogKeyAction(controls, c.Focus, c.Key, false, c.DefaultId);
        EXPECT_EQ(action.Kind, c.Kind);
        EXPECT_EQ(action.CommandId, c.WantCommand);
    }
}

TEST(DialogNavigationTest, MnemonicsPressButtonsAndLabelsMoveToTheNextControl)
{
    // A label "&User" before its edit, a "&Log" check box, a disabled "&Retry", "&Save" and a second "&Stop".
    const std::vector<C> controls = {
            {4501, C::Static, WS_VISIBLE | WS_GROUP, 'U'},
            {4502, C::Edit, WS_VISIBLE | WS_TABSTOP | WS_GROUP},
            {4503, C::CheckBox, WS_VISIBLE | WS_TABSTOP, 'L'},
            {4504, C::PushButton, WS_VISIBLE | WS_TABSTOP | WS_DISABLED, 'R'},
            {4505, C::PushButton, WS_VISIBLE | WS_TABSTOP, 'S'},
            {4506, C::PushButton, WS_VISIBLE | WS_TABSTOP, 'S'},
            {4507, C::Static, WS_VISIBLE, 'H'},     // a label with no tab stop after it but the first
            {4508, C::PushButton, WS_TABSTOP, 'V'}, // hidden
    };

    struct Case {
        const char* What;
        int Focus;
        int Key;
        bool Alt;
        TDialogKeyAction::TKind Kind;
        int Want; // the focus index
    };

    const Case cases[] = {
            {"alt and a label's letter focus the control after it", 2, 'U', true, TDialogKeyAction::MoveFocus, 1},
            {"alt and a button's letter press it", 1, 'L', true, TDialogKeyAction::Press, 2},
            {"alt works while an edit has the focus", 1, 'S', true, TDialogKeyAction::Press, 4},
            {"the bare letter works on a button", 2, 'S', false, TDialogKeyAction::Press, 4},
            {"the bare letter stays with an edit", 1, 'S', false, TDialogKeyAction::None, -1},
            {"the bare letter works with no focus control", -1, 'L', false, TDialogKeyAction::Press, 2},
            {"a shared letter goes to the next one after the focus", 4, 'S', true, TDialogKeyAction::Press, 5},
            {"a shared letter wraps round", 5, 'S', false, TDialogKeyAction::Press, 4},
            {"a disabled button is not pressed", 1, 'R', true, TDialogKeyAction::None, -1},
            {"a hidden button is not pressed", 1, 'V', true, TDialogKeyAction::None, -1},
            {"a last label wraps to the first tab stop", 1, 'H', true, TDialogKeyAction::MoveFocus, 1},
            {"a letter no one has does nothing", 2, 'Q', true, TDialogKeyAction::None, -1},
            {"alt and Enter is no dialog key", 2, VK_RETURN, true, TDialogKeyAction::None, -1},
    };
    for (const Case& c : cases) {
        const TDialogKeyAction action = DialogKeyAction(controls, c.Focus, c.Key, false, IDOK, c.Alt);
        EXPECT_EQ(action.Kind, c.Kind) << c.What;
        if (c.Kind != TDialogKeyAction::None) {
            EXPECT_EQ(action.Focus, c.Want) << c.What;
        }
        if (c.Kind == TDialogKeyAction::Press) {
            EXPECT_EQ(action.CommandId, controls[static_cast<std::size_t>(c.Want)].Id) << c.What;
        }
    }
}

TEST(DialogNavigationTest, DialogUnitsScaleByTheTemplateFont)
{
    // A font with 6-pixel average characters, 13 pixels high.
    const TSize base(6, 13);
    EXPECT_EQ(MapDialogRect({0, 0, 4, 8}, base), TRect(0, 0, 6, 13));
    EXPECT_EQ(MapDialogRect({7, 7, 50, 14}, base), TRect(11, 11, 75, 23)) << "rounded half away from zero";
    EXPECT_EQ(MapDialogRect({-2, -4, 0, 0}, base), TRect(-3, -7, 0, 0));
    const std::vector<C> none;
    EXPECT_EQ(NextTabItem(none, -1, false), -1);
    std::vector<C> statics = {{1, C::Static, WS_VISIBLE | WS_TABSTOP}};
    EXPECT_EQ(NextTabItem(statics, -1, false), -1) << "a label never takes the focus";
}

} // namespace
} // namespace qm::gui
