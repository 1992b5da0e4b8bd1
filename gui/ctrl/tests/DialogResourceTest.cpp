// Dialogs from dialog descriptions: controls by id, units from the description's font, tab order, transfer
// buffers in control order, and a hidden modeless dialog that owns a timer.
#include "gui/model/DialogResource.h"

#include "gui/ctrl/Controls.h"
#include "gui/ctrl/Dialog.h"
#include "gui/ctrl/ListBox.h"
#include "gui/ctrl/TreeWindow.h"
#include "gui/draw/Icon.h"
#include "gui/draw/tests/GuiTestApp.h"
#include "gui/model/Metrics.h"
#include "gui/window/Application.h"
#include "gui/window/WindowWidget.h"
#include "testsupport/WaitUntil.h"

#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>

namespace qm::gui {
namespace {

using I = TDialogItemClass;

constexpr int kLogonDialog = 64549;
constexpr int kChoiceDialog = 64550;
constexpr int kHiddenDialog = 62210;

// The admin logon's description: labels, the user edit and two password edits, OK and Cancel.
TDialogTemplate LogonDescription(int points = 8)
{
    TDialogTemplate d;
    d.Rect = {0, 0, 186, 95};
    d.Title = "Remote Administration Logon";
    d.FontPoints = points;
    d.Items = {
            {I::Static, IDC_STATIC, "Remote Administration Logon Name", WS_VISIBLE, {7, 7, 130, 15}},
            {I::Edit, 4502, "", WS_VISIBLE | WS_TABSTOP | WS_BORDER | ES_AUTOHSCROLL, {7, 17, 130, 29}},
            {I::Static, IDC_STATIC, "Remote Administration Password", WS_VISIBLE, {7, 33, 130, 41}},
            {I::Edit, 4500, "", WS_VISIBLE | WS_TABSTOP | WS_BORDER | ES_PASSWORD, {7, 43, 130, 55}},
            {I::Static, IDC_STATIC, "Verify Password", WS_VISIBLE, {7, 59, 130, 67}},
            {I::Edit, 4501, "", WS_VISIBLE | WS_TABSTOP | WS_BORDER | ES_PASSWORD, {7, 69, 130, 81}},
            {I::Button, IDOK, "OK", WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, {136, 7, 179, 21}},
            {I::Button, IDCANCEL, "Cancel", WS_VISIBLE | WS_TABSTOP, {136, 24, 179, 38}},
    };
    return d;
}

struct TLogonBuffer {
    char User[32];
    char Password[32];
    char Confirmation[32];
};

class TLogonDialog : public TDialog {
public:
    TLogonDialog(TWindow* parent, TLogonBuffer& buffer)
        : TDialog(parent, kLogonDialog)
    {
        // Bound in the order user, password, confirmation: the buffer's order.
        User = new TEdit(this, 4502, 32);
        Password = new TEdit(this, 4500, 32);
        Confirmation = new TEdit(this, 4501, 32);
        SetTransferBuffer(&buffer);
    }

    TEdit* User;
    TEdit* Password;
    TEdit* Confirmation;
};

class DialogResourceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        test::GuiTestApp();
        m_app = std::make_unique<TApplication>();
        m_owner = std::make_unique<TWindow>(nullptr, "owner");
        m_owner->Attr.Style = WS_POPUP;
        m_owner->Attr.W = 600;
        m_owner->Attr.H = 400;
        ASSERT_TRUE(m_owner->Create());
        m_owner->ShowWindow(SW_SHOW);
        RegisterDialogResource(kLogonDialog, LogonDescription());
    }

    void TearDown() override
    {
        m_owner.reset();
        m_app.reset();
    }

    // Runs dialog modally while steps act on it once it is active; a guard ends a hung run.
    int Run(TDialog& dialog, const std::function<void()>& steps)
    {
        QTimer::singleShot(0, [&] {
            EXPECT_TRUE(QTest::qWaitForWindowActive(WidgetOf(dialog)));
            steps();
        });
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, [&] { m_app->EndModal(-1); });
        guard.start(30000);
        return dialog.Execute();
    }

    static void Type(const char* text) { QTest::keyClicks(QApplication::focusWidget(), text); }

    static void Key(Qt::Key key) { QTest::keyClick(QApplication::focusWidget(), key); }

    std::unique_ptr<TApplication> m_app;
    std::unique_ptr<TWindow> m_owner;
};

TLogonBuffer StoredLogon()
{
    TLogonBuffer buffer{};
    std::strcpy(buffer.User, "admin");
    std::strcpy(buffer.Password, "secret");
    std::strcpy(buffer.Confirmation, "secret");
    return buffer;
}

TEST_F(DialogResourceTest, TheLogonOpensWithTheStoredValuesAndOkTakesWhatWasTyped)
{
    TLogonBuffer buffer = StoredLogon();
    TLogonDialog dialog(m_owner.get(), buffer);
    std::string user, password, confirmation, title;
    bool hidden = false;
    std::vector<std::string> labels;
    const int result = Run(dialog, [&] {
        user = dialog.User->GetText();
        password = dialog.Password->GetText();
        confirmation = dialog.Confirmation->GetText();
        title = dialog.GetCaption();
        hidden = qobject_cast<QLineEdit*>(WidgetOf(*dialog.Password))->echoMode() == QLineEdit::Password &&
                 qobject_cast<QLineEdit*>(WidgetOf(*dialog.Confirmation))->echoMode() == QLineEdit::Password;
        for (QLabel* label : WidgetOf(dialog)->findChildren<QLabel*>()) {
            labels.push_back(label->text().toStdString());
        }
        // The first tab stop of the description has the focus: replace the user, overrun its 31 characters.
        EXPECT_EQ(TWindow::GetFocus(), dialog.User);
        qobject_cast<QLineEdit*>(WidgetOf(*dialog.User))->selectAll();
        Type("root-user-with-a-name-far-too-long-for-it");
        Key(Qt::Key_Tab);
        EXPECT_EQ(TWindow::GetFocus(), dialog.Password);
        Key(Qt::Key_Tab);
        EXPECT_EQ(TWindow::GetFocus(), dialog.Confirmation);
        Type("!");
        Key(Qt::Key_Return);
    });
    EXPECT_EQ(result, IDOK);
    EXPECT_EQ(title, "Remote Administration Logon");
    EXPECT_EQ(user, "admin");
    EXPECT_EQ(password, "secret");
    EXPECT_EQ(confirmation, "secret");
    EXPECT_TRUE(hidden);
    std::sort(labels.begin(), labels.end());
    EXPECT_EQ(labels, (std::vector<std::string>{"Remote Administration Logon Name", "Remote Administration Password",
                                                "Verify Password"}));
    EXPECT_STREQ(buffer.User, "root-user-with-a-name-far-too-l"); // 31 characters and the terminator
    EXPECT_STREQ(buffer.Password, "secret");
    EXPECT_STREQ(buffer.Confirmation, "secret!");
}

// A dialog that, once set up, moves itself over its parent: its top 30 pixels below the parent's, centred across.
class TCentredLogon : public TLogonDialog {
public:
    using TLogonDialog::TLogonDialog;

    TRect AtSetup;
    TRect ParentAtSetup;
    TPoint Target;

    void SetupWindow() override
    {
        TLogonDialog::SetupWindow();
        AtSetup = GetWindowRect();
        ParentAtSetup = GetParent()->GetWindowRect();
        const int top = ParentAtSetup.top + 30;
        Target = TPoint(ParentAtSetup.left + (ParentAtSetup.Width() - AtSetup.Width()) / 2,
                        top + (ParentAtSetup.bottom - top - AtSetup.Height()) / 2);
        SetWindowPos(kHwndTop, Target.x, Target.y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
};

TEST_F(DialogResourceTest, ADialogPlacedInItsSetUpOpensThereAtItsDescriptionsSize)
{
    m_owner->MoveWindow(100, 80, 600, 400);
    ASSERT_TRUE(qm::test::WaitUntil([&] {
        QCoreApplication::processEvents();
        return m_owner->GetWindowRect() == TRect(100, 80, 700, 480);
    }));
    ASSERT_GT(GetSystemMetrics(SM_CXSCREEN), 700);
    ASSERT_GT(GetSystemMetrics(SM_CYSCREEN), 480);
    TLogonBuffer buffer = StoredLogon();
    TCentredLogon dialog(m_owner.get(), buffer);
    TRect shown;
    Run(dialog, [&] {
        shown = dialog.GetWindowRect();
        dialog.CloseWindow(IDCANCEL);
    });
    EXPECT_EQ(dialog.ParentAtSetup, TRect(100, 80, 700, 480));
    // The size is the description's from the start, and neither the move nor the showing changes it.
    const TRect frame = dialog.MapDialogRect(LogonDescription().Rect);
    EXPECT_EQ(dialog.AtSetup.Size(), frame.Size());
    EXPECT_EQ(shown, TRect(dialog.Target, frame.Size()));
}

TEST_F(DialogResourceTest, ACentredDescriptionOpensCentredOnItsOwner)
{
    m_owner->MoveWindow(100, 80, 600, 400);
    ASSERT_TRUE(qm::test::WaitUntil([&] {
        QCoreApplication::processEvents();
        return m_owner->GetWindowRect() == TRect(100, 80, 700, 480);
    }));
    constexpr int kCentred = 64602;
    TDialogTemplate d;
    d.Style |= DS_CENTER;
    d.Rect = {0, 0, 120, 60};
    d.Title = "Centred";
    d.Items = {{I::Button, IDOK, "OK", WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, {40, 40, 80, 54}}};
    RegisterDialogResource(kCentred, d);
    TDialog dialog(m_owner.get(), kCentred);
    TRect shown;
    Run(dialog, [&] {
        shown = dialog.GetWindowRect();
        dialog.CloseWindow(IDCANCEL);
    });
    const TSize size = dialog.MapDialogRect(d.Rect).Size();
    EXPECT_EQ(shown, TRect(TPoint(100 + (600 - size.cx) / 2, 80 + (400 - size.cy) / 2), size));
}

TEST_F(DialogResourceTest, CancelLeavesTheBufferAsItWas)
{
    TLogonBuffer buffer = StoredLogon();
    TLogonDialog dialog(m_owner.get(), buffer);
    const int result = Run(dialog, [&] {
        Type("changed");
        Key(Qt::Key_Escape);
    });
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_STREQ(buffer.User, "admin");
    EXPECT_STREQ(buffer.Password, "secret");
}

TEST_F(DialogResourceTest, ControlsLieWhereTheDescriptionsUnitsOfItsFontPutThem)
{
    TLogonBuffer buffer = StoredLogon();
    TLogonDialog small(m_owner.get(), buffer);
    ASSERT_TRUE(small.Create());
    // The 8-point face gives units near the classic 6 x 13 pixels.
    const TRect unit = small.MapDialogRect({0, 0, 4, 8});
    EXPECT_GE(unit.Width(), 5);
    EXPECT_LE(unit.Width(), 8);
    EXPECT_GE(unit.Height(), 12);
    EXPECT_LE(unit.Height(), 16);
    EXPECT_EQ(small.GetClientRect().Width(), small.MapDialogRect({0, 0, 186, 95}).Width());
    EXPECT_EQ(small.GetClientRect().Height(), small.MapDialogRect({0, 0, 186, 95}).Height());
    // The OK button where its dialog units map to, in the dialog's client area.
    TWindow* ok = small.ChildWithId(IDOK);
    ASSERT_NE(ok, nullptr);
    const TRect okRect = ok->GetWindowRect();
    const TPoint okAt = small.ScreenToClient(TPoint(okRect.left, okRect.top));
    const TRect want = small.MapDialogRect({136, 7, 179, 21});
    EXPECT_EQ(TRect(okAt.x, okAt.y, okAt.x + okRect.Width(), okAt.y + okRect.Height()), want);
    // Every control draws with the description's font.
    EXPECT_EQ(small.User->GetWindowFont(), TFont("MS Sans Serif", FontHeightFromPoints(8)));

    // The same description in a larger font makes a larger dialog.
    RegisterDialogResource(kLogonDialog, LogonDescription(12));
    TLogonDialog large(m_owner.get(), buffer);
    ASSERT_TRUE(large.Create());
    EXPECT_GT(large.GetClientRect().Width(), small.GetClientRect().Width());
    EXPECT_GT(large.GetClientRect().Height(), small.GetClientRect().Height());
    small.Destroy();
    large.Destroy();
}

TEST_F(DialogResourceTest, ADescriptionMakesListsTreesAndIconStaticsItselfAndBindsTheProgramsOwn)
{
    constexpr int kAboutDialog = 64600;
    TBitmap color(32, 32, TColor(RGB(0, 0, 255)));
    std::vector<bool> transparent(32 * 32, false);
    transparent[0] = true; // the top-left corner
    RegisterIconResource(140, TIcon(color, transparent));
    TDialogTemplate d;
    d.Rect = {0, 0, 220, 140};
    d.Items = {
            {I::Static, IDC_STATIC, "140", WS_VISIBLE | SS_ICON, {7, 7, 40, 40}},
            {I::Static, 4301, "999", WS_VISIBLE | SS_ICON, {50, 7, 80, 40}}, // no such icon: an empty static
            {I::ListBox, 4302, "", WS_VISIBLE | WS_TABSTOP | WS_BORDER | LBS_MULTIPLESEL, {7, 45, 100, 100}},
            {I::ListBox, 4303, "", WS_VISIBLE | WS_TABSTOP | WS_BORDER, {110, 45, 210, 100}},
            {I::TreeView, 4304, "", WS_VISIBLE | WS_TABSTOP | WS_BORDER | TVS_HASBUTTONS, {7, 105, 210, 135}},
    };
    RegisterDialogResource(kAboutDialog, d);

    TDialog dialog(m_owner.get(), kAboutDialog);
    auto* own = new TListBox(&dialog, 4303);
    ASSERT_TRUE(dialog.Create());
    dialog.ShowWindow(SW_SHOW);

    // The program's list is the one bound to 4303, with the description's styles.
    EXPECT_EQ(dialog.ChildWithId(4303), own);
    EXPECT_EQ(own->Attr.Style & LBS_SORT, 0U);
    EXPECT_EQ(own->AddString("b"), 0);
    EXPECT_EQ(own->AddString("a"), 1);

    auto* made = dynamic_cast<TListBox*>(dialog.ChildWithId(4302));
    ASSERT_NE(made, nullptr);
    ASSERT_TRUE(made->HasWindow());
    EXPECT_EQ(made->AddString("one"), 0);
    EXPECT_EQ(made->AddString("two"), 1);
    EXPECT_EQ(made->SetSel(0, true), 0);
    EXPECT_EQ(made->SetSel(1, true), 0);
    EXPECT_EQ(made->GetSelCount(), 2); // LBS_MULTIPLESEL from the description

    auto* tree = dynamic_cast<TTreeWindow*>(dialog.ChildWithId(4304));
    ASSERT_NE(tree, nullptr);
    const HTREEITEM root = tree->InsertItem(TVI_ROOT, "Quillmail");
    ASSERT_NE(root, 0U);
    EXPECT_NE(tree->InsertItem(root, "Accounts"), 0U);
    EXPECT_EQ(tree->GetCount(), 2);

    // The icon static shows icon 140 at its top-left corner, its transparent pixel letting the face through.
    TWindow* icon = nullptr;
    for (TWindow* child : dialog.GetChildrenInCreationOrder()) {
        if (child->GetId() == IDC_STATIC) {
            icon = child;
        }
    }
    ASSERT_NE(icon, nullptr);
    const QImage shown = WidgetOf(*icon)->grab().toImage();
    ASSERT_GE(shown.width(), 32);
    ASSERT_GE(shown.height(), 32);
    EXPECT_EQ(shown.pixel(16, 16), qRgb(0, 0, 255));
    EXPECT_EQ(shown.pixel(31, 31), qRgb(0, 0, 255));
    EXPECT_NE(shown.pixel(0, 0), qRgb(0, 0, 255));
    const QImage missing = WidgetOf(*dialog.ChildWithId(4301))->grab().toImage();
    EXPECT_NE(missing.pixel(16, 16), qRgb(0, 0, 255));
    dialog.Destroy();
    ClearIconResources();
}

// A button that counts the BN_CLICKED it hears (a control hears its notification before its parent).
class TClickCountingButton : public TButton {
public:
    using TButton::TButton;

    LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override
    {
        if (msg == WM_COMMAND && HIWORD(wParam) == BN_CLICKED) {
            ++Clicks;
        }
        return TButton::WindowProc(msg, wParam, lParam);
    }

    int Clicks = 0;
};

TEST_F(DialogResourceTest, MnemonicsPressButtonsAndLabelsFocusTheControlAfterThem)
{
    constexpr int kOptionsDialog = 64601;
    TDialogTemplate d;
    d.Rect = {0, 0, 200, 100};
    d.Items = {
            {I::Static, IDC_STATIC, "&User name:", WS_VISIBLE, {7, 7, 60, 15}},
            {I::Edit, 4510, "", WS_VISIBLE | WS_TABSTOP | WS_BORDER, {7, 17, 130, 29}},
            {I::Button, 4511, "&Log sessions", WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX, {7, 35, 130, 45}},
            {I::Button, 4512, "Apply &now", WS_VISIBLE | WS_TABSTOP, {7, 50, 60, 64}},
            {I::Button, IDOK, "OK", WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, {136, 7, 179, 21}},
            {I::Button, IDCANCEL, "&Cancel", WS_VISIBLE | WS_TABSTOP, {136, 24, 179, 38}},
    };
    RegisterDialogResource(kOptionsDialog, d);

    TDialog dialog(m_owner.get(), kOptionsDialog);
    auto* name = new TEdit(&dialog, 4510, 64);
    auto* log = new TCheckBox(&dialog, 4511);
    auto* apply = new TClickCountingButton(&dialog, 4512);
    const int& applied = apply->Clicks;
    std::string typed;
    const int result = Run(dialog, [&] {
        EXPECT_EQ(TWindow::GetFocus(), name);
        // The bare letter goes into the edit; with Alt it checks the box and moves the focus there.
        Type("l");
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_L, Qt::AltModifier);
        EXPECT_EQ(log->GetCheck(), 1);
        EXPECT_EQ(TWindow::GetFocus(), log);
        // With a button focused the bare letter is a mnemonic: the box unchecks, then "Apply now" is pressed
        // without taking the focus.
        Type("l");
        EXPECT_EQ(log->GetCheck(), 0);
        Type("n");
        EXPECT_EQ(applied, 1);
        EXPECT_EQ(TWindow::GetFocus(), log);
        // The label's letter focuses the edit after it.
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_U, Qt::AltModifier);
        EXPECT_EQ(TWindow::GetFocus(), name);
        typed = name->GetText();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_C, Qt::AltModifier);
    });
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_EQ(typed, "l");
    EXPECT_EQ(applied, 1);
}

TEST_F(DialogResourceTest, TheBroadcastTextHoldsAtMost511CharactersTypedOrSet)
{
    constexpr int kBroadcastDialog = 64599;
    TDialogTemplate d;
    d.Rect = {0, 0, 220, 120};
    d.Title = "Broadcast Message";
    d.Items = {
            {I::Edit, 4550, "", WS_VISIBLE | WS_TABSTOP | ES_MULTILINE | ES_WANTRETURN, {7, 7, 213, 90}},
            {I::Button, IDOK, "&Broadcast", WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, {7, 98, 57, 112}},
            {I::Button, IDCANCEL, "&Cancel", WS_VISIBLE | WS_TABSTOP, {63, 98, 113, 112}},
    };
    RegisterDialogResource(kBroadcastDialog, d);

    struct {
        char Text[512];
    } message{};

    TDialog dialog(m_owner.get(), kBroadcastDialog);
    auto* text = new TEdit(&dialog, 4550, 512);
    dialog.SetTransferBuffer(&message);
    std::size_t afterSet = 0;
    std::size_t afterTyping = 0;
    const int result = Run(dialog, [&] {
        EXPECT_TRUE(text->IsMultiLine());
        text->SetText(std::string(600, 'x'));
        afterSet = text->GetText().size();
        text->SetText(std::string(509, 'x'));
        text->SetFocus();
        QTest::keyClick(WidgetOf(*text), Qt::Key_End, Qt::ControlModifier);
        Type("abcd");
        afterTyping = text->GetText().size();
        dialog.CmOk();
    });
    EXPECT_EQ(result, IDOK);
    EXPECT_EQ(afterSet, 511U);
    EXPECT_EQ(afterTyping, 511U);
    EXPECT_EQ(std::string(message.Text), std::string(509, 'x') + "ab");
}

// A dialog of every transferring kind; its objects are made in another order than the description lists them.
struct TChoiceBuffer {
    char Text[8];
    std::uint16_t Check;
    std::uint16_t First;
    std::uint16_t Second;
    std::int32_t Mode;
};

class TChoiceDialog : public TDialog {
public:
    explicit TChoiceDialog(TWindow* parent)
        : TDialog(parent, kChoiceDialog)
    {
        Text = new TEdit(this, 10, 8);
        Check = new TCheckBox(this, 11);
        First = new TRadioButton(this, 12);
        Second = new TRadioButton(this, 13);
        Mode = new TComboBox(this, 14);
        Mode->AddString("No Exceptions");
        Mode->AddString("If Key Value Is Equal To");
        new TButton(this, IDOK); // a push button takes no part
    }

    TEdit* Text;
    TCheckBox* Check;
    TRadioButton* First;
    TRadioButton* Second;
    TComboBox* Mode;
};

TDialogTemplate ChoiceDescription()
{
    TDialogTemplate d;
    d.Rect = {0, 0, 200, 120};
    d.Title = "Choices";
    d.Items = {
            {I::ComboBox, 14, "", WS_VISIBLE | WS_TABSTOP | CBS_DROPDOWNLIST, {7, 7, 100, 60}},
            {I::Button, 12, "First", WS_VISIBLE | WS_TABSTOP | WS_GROUP | BS_AUTORADIOBUTTON, {7, 24, 100, 34}},
            {I::Button, 13, "Second", WS_VISIBLE | BS_AUTORADIOBUTTON, {7, 36, 100, 46}},
            {I::Button, 11, "Check", WS_VISIBLE | WS_TABSTOP | WS_GROUP | BS_AUTOCHECKBOX, {7, 48, 100, 58}},
            {I::Edit, 10, "", WS_VISIBLE | WS_TABSTOP | WS_BORDER, {7, 60, 100, 72}},
            {I::Button, IDOK, "OK", WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, {120, 7, 170, 21}},
            {I::Button, IDCANCEL, "Cancel", WS_VISIBLE | WS_TABSTOP, {120, 24, 170, 38}},
    };
    return d;
}

TEST_F(DialogResourceTest, TransferFollowsTheObjectsOrderAndTabTheDescriptions)
{
    RegisterDialogResource(kChoiceDialog, ChoiceDescription());
    TChoiceBuffer buffer{};
    std::strcpy(buffer.Text, "abc");
    buffer.Check = 1;
    buffer.First = 0;
    buffer.Second = 1;
    buffer.Mode = 1;
    TChoiceDialog dialog(m_owner.get());
    dialog.SetTransferBuffer(&buffer);
    std::vector<TWindow*> focus;
    const int result = Run(dialog, [&] {
        // Filled from the buffer at set-up.
        EXPECT_EQ(dialog.Text->GetText(), "abc");
        EXPECT_EQ(dialog.Check->GetCheck(), 1);
        EXPECT_EQ(dialog.First->GetCheck(), 0);
        EXPECT_EQ(dialog.Second->GetCheck(), 1);
        EXPECT_EQ(dialog.Mode->GetSelIndex(), 1);
        // Tab goes by the description: the list, the radio group's tab stop, the check box, the edit, OK, Cancel.
        for (int i = 0; i < 6; ++i) {
            focus.push_back(TWindow::GetFocus());
            Key(Qt::Key_Tab);
        }
        dialog.First->SetCheck(1);
        dialog.Check->SetCheck(0);
        dialog.Mode->SetSelIndex(0);
        dialog.Text->SetText("a\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"); // 9 bytes: cut before a character
        dialog.CmOk();
    });
    EXPECT_EQ(result, IDOK);
    EXPECT_EQ(focus, (std::vector<TWindow*>{dialog.Mode, dialog.First, dialog.Check, dialog.Text,
                                            dialog.ChildWithId(IDOK), dialog.ChildWithId(IDCANCEL)}));
    EXPECT_STREQ(buffer.Text, "a\xC3\xA9\xC3\xA9\xC3\xA9");
    EXPECT_EQ(buffer.Check, 0);
    EXPECT_EQ(buffer.First, 1);
    EXPECT_EQ(buffer.Second, 0);
    EXPECT_EQ(buffer.Mode, 0);
}

TEST_F(DialogResourceTest, ABufferTooSmallForTheControlsIsNeverWrittenPastItsEnd)
{
    RegisterDialogResource(kChoiceDialog, ChoiceDescription());

    // Room for the text, the check and the first radio only; the bytes after it are a sentinel.
    struct {
        char Text[8];
        std::uint16_t Check;
        std::uint16_t First;
        unsigned char Sentinel[8];
    } memory{};

    std::memset(memory.Sentinel, 0x5A, sizeof memory.Sentinel);
    TChoiceDialog dialog(m_owner.get());
    dialog.SetTransferBuffer(&memory, offsetof(decltype(memory), Sentinel));
    ASSERT_TRUE(dialog.Create());
    dialog.Text->SetText("xyz");
    dialog.Check->SetCheck(1);
    dialog.Second->SetCheck(1);
    dialog.Mode->SetSelIndex(1);
    EXPECT_FALSE(dialog.TransferData(tdGetData));
    EXPECT_STREQ(memory.Text, "xyz");
    EXPECT_EQ(memory.Check, 1);
    EXPECT_EQ(memory.First, 0);
    for (unsigned char b : memory.Sentinel) {
        EXPECT_EQ(b, 0x5A);
    }
    dialog.Destroy();
}

TEST_F(DialogResourceTest, AHiddenModelessDialogOwnsATimerAndAMissingDescriptionMakesNoDialog)
{
    TDialogTemplate hidden;
    hidden.Style = WS_POPUP; // not visible, size 0 x 0
    RegisterDialogResource(kHiddenDialog, hidden);

    class TTicking : public TDialog {
    public:
        using TDialog::TDialog;
        int Ticks = 0;

        LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override
        {
            if (msg == WM_TIMER && wParam == 7) {
                ++Ticks;
                return 0;
            }
            return TDialog::WindowProc(msg, wParam, lParam);
        }
    };

    TTicking manager(m_owner.get(), kHiddenDialog);
    ASSERT_TRUE(manager.Create());
    EXPECT_FALSE(manager.IsWindowVisible());
    EXPECT_FALSE(manager.IsModal());
    EXPECT_NE(manager.SetTimer(7, 10), 0U);
    EXPECT_TRUE(qm::test::WaitUntil([&] {
        QCoreApplication::processEvents();
        return manager.Ticks >= 2;
    }));
    EXPECT_FALSE(manager.IsWindowVisible());
    manager.Destroy();

    TDialog missing(m_owner.get(), 4711);
    EXPECT_FALSE(missing.Create());
    EXPECT_EQ(missing.Execute(), IDCANCEL);
    EXPECT_FALSE(missing.HasWindow());
}

} // namespace
} // namespace qm::gui
