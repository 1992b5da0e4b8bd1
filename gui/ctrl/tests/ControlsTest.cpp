// The standard controls' notifications, the list view's sorting, the dialog keys and the tray.
#include "gui/ctrl/Controls.h"

#include "gui/ctrl/CommonDialogs.h"
#include "gui/ctrl/Dialog.h"
#include "gui/ctrl/tests/CtrlTestSupport.h"
#include "gui/draw/Dc.h"
#include "gui/model/Metrics.h"
#include "gui/window/WindowWidget.h"
#include "gui/window/tests/WindowTestSupport.h"
#include "testsupport/TempDir.h"
#include "testsupport/WaitUntil.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>

namespace qm::gui {
namespace {

using test::Log;
using test::TRecordingWindow;

// A control that logs what reaches it, under the name given.
template <typename Base>
class TRecording : public Base {
public:
    template <typename... Args>
    explicit TRecording(std::string name, Args&&... args)
        : Base(std::forward<Args>(args)...)
        , Name(std::move(name))
    {}

    std::string Name;

    LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override
    {
        Log().push_back(test::Recorded{Name, msg, wParam, lParam});
        return Base::WindowProc(msg, wParam, lParam);
    }
};

// (window, notification code) of each WM_COMMAND logged.
std::vector<std::pair<std::string, int>> Commands()
{
    std::vector<std::pair<std::string, int>> out;
    for (const auto& r : Log()) {
        if (r.Msg == WM_COMMAND) {
            out.emplace_back(r.Window, HIWORD(r.WParam));
        }
    }
    return out;
}

// The messages of one kind logged at a window, as (window, lParam).
std::vector<std::pair<std::string, LPARAM>> Logged(UINT message)
{
    std::vector<std::pair<std::string, LPARAM>> out;
    for (const auto& r : Log()) {
        if (r.Msg == message) {
            out.emplace_back(r.Window, r.LParam);
        }
    }
    return out;
}

using ControlsTest = test::CtrlTest;

// Types text key by key as the keyboard would (QTest's key clicks take only ASCII).
void TypeText(QWidget* widget, const QString& text)
{
    for (const QChar ch : text) {
        test::SendKey(widget, static_cast<int>(ch.toUpper().unicode()), Qt::NoModifier, QString(ch));
    }
}

TEST_F(ControlsTest, TypingInAnEditSendsEnChangeToTheEditThenItsParent)
{
    auto* edit = new TRecording<TEdit>("edit", m_frame.get(), 101, "", 10, 10, 100, 22, 3);
    Show();
    edit->SetFocus();
    ASSERT_TRUE(WaitFor([&] { return TWindow::GetFocus() == edit; }));
    QTest::keyClicks(WidgetOf(*edit), "abcd");
    EXPECT_EQ(edit->GetText(), "abc"); // the limit holds
    const std::vector<std::pair<std::string, int>> want = {{"edit", EN_CHANGE}, {"frame", EN_CHANGE},
                                                           {"edit", EN_CHANGE}, {"frame", EN_CHANGE},
                                                           {"edit", EN_CHANGE}, {"frame", EN_CHANGE}};
    EXPECT_EQ(Commands(), want);
    for (const auto& r : Log()) {
        if (r.Window == "frame" && r.Msg == WM_COMMAND) {
            EXPECT_EQ(LOWORD(r.WParam), 101);
            EXPECT_EQ(static_cast<HWND>(r.LParam), edit->GetHandle());
        }
    }
}

TEST_F(ControlsTest, AnEditsLimitCountsTheBytesItsTransferFieldHolds)
{
    // Seven bytes and the terminator: the user, password and message fields of the dialogs are such fields.
    struct Case {
        const char* Typed;
        std::string Shown;
    };

    const Case cases[] = {
            {"abcdefghij", "abcdefg"},
            {"\xE9\xE9\xE9\xE9\xE9", "\u00E9\u00E9\u00E9"}, // two bytes each: a fourth would end past the field
            {"a\xFC\xFC\xFC"
             "b",
             "a\u00FC\u00FC\u00FC"},
    };
    auto* line = new TEdit(m_frame.get(), 101, "", 10, 10, 150, 22, 7);
    auto* multi = new TEdit(m_frame.get(), 102, "", 10, 40, 150, 60, 7, true);
    Show();
    for (TEdit* edit : {line, multi}) {
        for (const Case& c : cases) {
            edit->SetText("");
            edit->SetFocus();
            ASSERT_TRUE(WaitFor([&] { return TWindow::GetFocus() == edit; }));
            TypeText(WidgetOf(*edit), QString::fromLatin1(c.Typed));
            EXPECT_EQ(edit->GetText(), c.Shown) << c.Typed << (edit == multi ? " multi-line" : "");
            // What the edit shows is what its field receives.
            std::array<std::byte, 8> field{};
            edit->Transfer(field, tdGetData);
            EXPECT_EQ(GetTransferText(std::span<const char>(reinterpret_cast<const char*>(field.data()), field.size())),
                      c.Shown);
        }
        // Set text is held to the limit too, and a refused key tells the parent nothing.
        edit->SetText("\u00E9\u00E9\u00E9\u00E9");
        EXPECT_EQ(edit->GetText(), "\u00E9\u00E9\u00E9");
        Log().clear();
        TypeText(WidgetOf(*edit), QString::fromLatin1("\xE9"));
        EXPECT_EQ(edit->GetText(), "\u00E9\u00E9\u00E9");
        EXPECT_TRUE(Commands().empty());
    }
}

TEST_F(ControlsTest, AnEditMadeReadOnlyAfterItsCreationTakesNoTypingAndAsksAsStaticText)
{
    auto* edit = new TEdit(m_frame.get(), 101, "link", 10, 10, 150, 22);
    Show();
    edit->SetFocus();
    ASSERT_TRUE(WaitFor([&] { return TWindow::GetFocus() == edit; }));

    edit->SendMessage(EM_SETREADONLY, 1);
    EXPECT_TRUE(edit->IsReadOnly());
    EXPECT_NE(edit->GetStyle() & ES_READONLY, 0u);
    TypeText(WidgetOf(*edit), "x");
    EXPECT_EQ(edit->GetText(), "link");
    Log().clear();
    WidgetOf(*edit)->repaint();
    EXPECT_FALSE(Logged(WM_CTLCOLORSTATIC).empty());
    EXPECT_TRUE(Logged(WM_CTLCOLOREDIT).empty());

    edit->SendMessage(EM_SETREADONLY, 0);
    EXPECT_FALSE(edit->IsReadOnly());
    TypeText(WidgetOf(*edit), "s");
    EXPECT_EQ(edit->GetText(), "links");
}

TEST_F(ControlsTest, AControlsWindowTextIsTheTextItShows)
{
    auto* label = new TStatic(m_frame.get(), 4203, "", 10, 10, 100, 16);
    auto* button = new TButton(m_frame.get(), 1, "OK", 10, 30, 80, 24);
    auto* check = new TCheckBox(m_frame.get(), 3, "Active", 10, 60, 100, 20);
    auto* group = new TGroupBox(m_frame.get(), 4, "Version Info:", 120, 10, 200, 80);
    auto* edit = new TEdit(m_frame.get(), 1004, "", 10, 90, 100, 22);
    auto* multi = new TEdit(m_frame.get(), 4550, "", 10, 120, 150, 60, 0, true);
    auto* combo = new TComboBox(m_frame.get(), 6, 10, 190, 150, 24, CBS_DROPDOWN);
    Show();

    struct Case {
        TWindow* Control;
        std::function<QString()> Shown;
    };

    const Case cases[] = {
            {label,
             [&] {
                 return qobject_cast<QLabel*>(WidgetOf(*label))->text();
             }},
            {button,
             [&] {
                 return qobject_cast<QAbstractButton*>(WidgetOf(*button))->text();
             }},
            {check,
             [&] {
                 return qobject_cast<QAbstractButton*>(WidgetOf(*check))->text();
             }},
            {group,
             [&] {
                 return qobject_cast<QGroupBox*>(WidgetOf(*group))->title();
             }},
            {edit,
             [&] {
                 return qobject_cast<QLineEdit*>(WidgetOf(*edit))->text();
             }},
            {multi,
             [&] {
                 return qobject_cast<QPlainTextEdit*>(WidgetOf(*multi))->toPlainText();
             }},
            {combo,
             [&] {
                 return qobject_cast<QComboBox*>(WidgetOf(*combo))->currentText();
             }},
    };
    for (const Case& c : cases) {
        c.Control->SetWindowText("2.2.3");
        EXPECT_EQ(c.Shown(), "2.2.3") << c.Control->GetId();
        EXPECT_EQ(c.Control->GetWindowText(), "2.2.3") << c.Control->GetId();
    }
    // What the user types is the edit's text.
    edit->SetFocus();
    ASSERT_TRUE(WaitFor([&] { return TWindow::GetFocus() == edit; }));
    TypeText(WidgetOf(*edit), "x");
    EXPECT_EQ(edit->GetWindowText(), "2.2.3x");
    // A top-level window's text is its title.
    m_frame->SetWindowText("Quillmail");
    EXPECT_EQ(WidgetOf(*m_frame)->windowTitle(), "Quillmail");
}

TEST_F(ControlsTest, ClickOnARadioSendsBnClickedAndChecksOnlyIt)
{
    auto* first = new TRadioButton(m_frame.get(), 201, "&One", 10, 10, 100, 20);
    auto* second = new TRadioButton(m_frame.get(), 202, "&Two", 10, 40, 100, 20);
    Show();
    first->SetCheck(1);
    QTest::mouseClick(WidgetOf(*second), Qt::LeftButton, {}, QPoint(6, 10)); // on its mark
    ASSERT_EQ(Commands(), (std::vector<std::pair<std::string, int>>{{"frame", BN_CLICKED}}));
    for (const auto& r : Log()) {
        if (r.Msg == WM_COMMAND) {
            EXPECT_EQ(LOWORD(r.WParam), 202);
        }
    }
    EXPECT_EQ(second->GetCheck(), 1);
    EXPECT_EQ(first->GetCheck(), 0);
}

TEST_F(ControlsTest, ComboSelectionTellsTheControlFirstThenTheParentAndSetCurSelTellsNoOne)
{
    auto* combo = new TRecording<TComboBox>("combo", m_frame.get(), 301, 10, 10, 120, 22, CBS_DROPDOWNLIST);
    combo->AddString("alpha");
    combo->AddString("beta");
    Show();
    EXPECT_EQ(combo->SendMessage(CB_SETCURSEL, 0), 0);
    EXPECT_EQ(combo->SendMessage(CB_GETCURSEL), 0);
    EXPECT_TRUE(Commands().empty());
    combo->SetFocus();
    ASSERT_TRUE(WaitFor([&] { return TWindow::GetFocus() == combo; }));
    QTest::keyClick(WidgetOf(*combo), Qt::Key_Down);
    EXPECT_EQ(combo->GetSelIndex(), 1);
    EXPECT_EQ(Commands(),
              (std::vector<std::pair<std::string, int>>{{"combo", CBN_SELCHANGE}, {"frame", CBN_SELCHANGE}}));
    EXPECT_EQ(combo->SendMessage(CB_SETCURSEL, 5), CB_ERR);
}

TEST_F(ControlsTest, ComboTextIsTheEditPartsOrTheSelectedItemsAndTheLimitHolds)
{
    auto* editable = new TRecording<TComboBox>("combo", m_frame.get(), 302, 10, 10, 120, 22, CBS_DROPDOWN, 5);
    editable->AddString("alpha");
    EXPECT_TRUE(editable->SetText("abc")); // before the window: shown once it exists
    auto* list = new TComboBox(m_frame.get(), 303, 10, 40, 120, 22, CBS_DROPDOWNLIST);
    list->AddString("alpha");
    list->AddString("beta");
    Show();

    EXPECT_EQ(editable->GetText(), "abc");
    EXPECT_EQ(list->GetText(), ""); // nothing selected
    EXPECT_TRUE(list->SetText("BETA"));
    EXPECT_EQ(list->GetSelIndex(), 1);
    EXPECT_EQ(list->GetText(), "beta");
    EXPECT_FALSE(list->SetText("gamma"));
    EXPECT_EQ(list->GetSelIndex(), 1);
    EXPECT_TRUE(Commands().empty()); // the program's changes tell no one

    // The edit part is the combo box's: its focus, its keys and its limit.
    auto* line = WidgetOf(*editable)->findChild<QLineEdit*>();
    ASSERT_NE(line, nullptr);
    list->SetFocus();
    ASSERT_TRUE(WaitFor([&] { return TWindow::GetFocus() == list; }));
    Log().clear();
    QTest::mouseClick(line, Qt::LeftButton, {}, QPoint(5, line->height() / 2));
    ASSERT_TRUE(WaitFor([&] { return TWindow::GetFocus() == editable; }));
    EXPECT_TRUE(std::any_of(Log().begin(), Log().end(),
                            [](const test::Recorded& r) { return r.Window == "combo" && r.Msg == WM_SETFOCUS; }));
    EXPECT_TRUE(editable->SetText(""));
    QTest::keyClicks(line, "abcdefgh");
    EXPECT_EQ(editable->GetText(), "abcde");
    Log().clear();
    QTest::keyClick(line, Qt::Key_Return);
    EXPECT_TRUE(std::any_of(Log().begin(), Log().end(), [](const test::Recorded& r) {
        return r.Window == "combo" && r.Msg == WM_KEYDOWN && r.WParam == static_cast<WPARAM>(VK_RETURN);
    }));
}

TEST_F(ControlsTest, ComboWithAnEditShowsTheLastOfTheSelectionAndTheTextGivenBeforeItsWindow)
{
    struct Case {
        const char* What;
        std::function<void(TComboBox&)> Give;
        const char* Text;
        int Sel;
    };

    const Case cases[] = {
            {"a selection", [](TComboBox& c) { c.SetSelIndex(1); }, "beta", 1},
            {"a selection, then text",
             [](TComboBox& c) {
                 c.SetSelIndex(1);
                 c.SetText("own");
             },
             "own", 1},
            {"text, then a selection",
             [](TComboBox& c) {
                 c.SetText("own");
                 c.SetSelIndex(0);
             },
             "alpha", 0},
            {"a selection, then none",
             [](TComboBox& c) {
                 c.SetSelIndex(1);
                 c.SetSelIndex(-1);
             },
             "", CB_ERR},
    };
    std::vector<TComboBox*> combos;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].What);
        auto* combo = new TComboBox(m_frame.get(), 310 + static_cast<int>(i), 10, 10 + 30 * static_cast<int>(i), 120,
                                    22, CBS_DROPDOWN);
        combo->AddString("alpha");
        combo->AddString("beta");
        cases[i].Give(*combo);
        EXPECT_EQ(combo->GetText(), cases[i].Text) << "before the window";
        combos.push_back(combo);
    }
    Show();
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].What);
        EXPECT_EQ(combos[i]->GetText(), cases[i].Text);
        EXPECT_EQ(combos[i]->GetSelIndex(), cases[i].Sel);
    }
}

// A control that hands the focus on to another window as soon as it gets it.
template <typename Base>
class THandsFocusOn : public Base {
public:
    using Base::Base;
    TWindow* To = nullptr;
    int Refused = 0;

    LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override
    {
        if (msg == WM_SETFOCUS && To != nullptr) {
            ++Refused;
            To->SetFocus();
            return 0;
        }
        return Base::WindowProc(msg, wParam, lParam);
    }
};

TEST_F(ControlsTest, AControlThatPassesTheFocusOnFromSetFocusLeavesItThere)
{
    auto* edit = new THandsFocusOn<TEdit>(m_frame.get(), 401, "abc", 10, 10, 120, 22);
    auto* combo = new THandsFocusOn<TComboBox>(m_frame.get(), 402, 10, 40, 120, 22, CBS_DROPDOWN);
    Show();
    m_frame->SetFocus();
    ASSERT_TRUE(WaitFor([&] { return TWindow::GetFocus() == m_frame.get(); }));
    edit->To = m_frame.get();
    combo->To = m_frame.get();
    const std::pair<TWindow*, const int*> controls[] = {{edit, &edit->Refused}, {combo, &combo->Refused}};
    for (const auto& [control, refused] : controls) {
        QWidget* target = WidgetOf(*control);
        if (auto* line = target->findChild<QLineEdit*>()) {
            target = line;
        }
        QTest::mouseClick(target, Qt::LeftButton, {}, QPoint(5, target->height() / 2));
        // The focus came and was passed on: it stays with the frame.
        ASSERT_TRUE(WaitFor([refused = refused] { return *refused > 0; }));
        QCoreApplication::processEvents();
        EXPECT_EQ(TWindow::GetFocus(), m_frame.get());
    }
    EXPECT_EQ(edit->Refused, 1);
    EXPECT_EQ(combo->Refused, 1);
}

TEST_F(ControlsTest, ColumnClickNotifiesWithItsColumnAndTheViewSortsOnlyWhenAsked)
{
    auto* list = new TListView(m_frame.get(), 2008, 0, 0, 300, 200);
    Show();
    ASSERT_EQ(list->InsertColumn(0, "Session ID", 80), 0);
    ASSERT_EQ(list->InsertColumn(1, "Logon", 90), 1);
    ASSERT_EQ(list->InsertColumn(2, "Email Address", 120), 2);
    const std::vector<std::pair<std::string, std::uint64_t>> rows = {{"c", 3}, {"a", 1}, {"b", 2}};
    for (const auto& [text, data] : rows) {
        const int i = list->InsertItem(text, data);
        list->SetItemText(i, 1, "user" + text);
    }
    auto order = [&] {
        std::string s;
        for (int i = 0; i < list->GetItemCount(); ++i) {
            s += list->GetItemText(i, 0);
        }
        return s;
    };
    auto* view = static_cast<QTreeWidget*>(WidgetOf(*list));
    QHeaderView* header = view->header();
    const QPoint second(header->sectionViewportPosition(1) + 10, header->height() / 2);
    int column = -1;
    int clicks = 0;
    m_frame->Handler = [&](UINT msg, WPARAM, LPARAM lParam, LRESULT&) {
        if (msg == WM_NOTIFY) {
            // The record lives only while the notification is being handled.
            const auto* record = reinterpret_cast<const NMLISTVIEW*>(lParam);
            EXPECT_EQ(record->hdr.code, LVN_COLUMNCLICK);
            EXPECT_EQ(record->hdr.idFrom, 2008u);
            column = record->iSubItem;
            ++clicks;
        }
        return false;
    };
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, second);
    EXPECT_EQ(clicks, 1);
    EXPECT_EQ(column, 1);
    EXPECT_EQ(order(), "cab"); // the click itself sorts nothing

    ASSERT_TRUE(list->SortItems([](std::uint64_t a, std::uint64_t b, std::uint64_t) { return a < b ? -1 : a > b; }));
    EXPECT_EQ(order(), "abc");
    ASSERT_TRUE(list->SortItems([](std::uint64_t a, std::uint64_t b,
                                   std::uint64_t descending) { return descending ? (a > b ? -1 : a < b) : 0; },
                                1));
    EXPECT_EQ(order(), "cba");
    EXPECT_EQ(list->GetItemText(0, 1), "userc"); // rows move whole
    EXPECT_EQ(list->GetItemData(2), 1u);
}

TEST_F(ControlsTest, ListViewSelectionFollowsItsRowsThroughASortByTiedData)
{
    auto* list = new TListView(m_frame.get(), 2008, 10, 10, 300, 150);
    list->InsertColumn(0, "Session ID", 80);
    Show();
    for (const char* text : {"c", "a", "d", "b"}) {
        list->InsertItem(text);
    }
    const auto order = [&] {
        std::string s;
        for (int i = 0; i < list->GetItemCount(); ++i) {
            s += list->GetItemText(i, 0);
        }
        return s;
    };

    EXPECT_TRUE(list->SetSel(-1, true));
    EXPECT_EQ(list->GetSelCount(), 4);
    EXPECT_TRUE(list->SetSel(1, false));
    EXPECT_TRUE(list->SetSel(3, false));
    EXPECT_EQ(list->GetSelIndexes(), (std::vector<int>{0, 2})); // "c" and "d"
    EXPECT_FALSE(list->GetSel(1));
    EXPECT_FALSE(list->SetSel(4, true));
    EXPECT_FALSE(list->SetSel(-2, true));
    EXPECT_FALSE(list->SetItemData(4, 1));

    // Data tied to the rows after they were made decides the order; the selected rows stay selected.
    for (int i = 0; i < list->GetItemCount(); ++i) {
        ASSERT_TRUE(list->SetItemData(i, static_cast<std::uint64_t>(list->GetItemText(i, 0)[0])));
    }
    ASSERT_TRUE(list->SortItems([](std::uint64_t a, std::uint64_t b, std::uint64_t) { return a < b ? -1 : a > b; }));
    EXPECT_EQ(order(), "abcd");
    EXPECT_EQ(list->GetSelIndexes(), (std::vector<int>{2, 3}));

    EXPECT_TRUE(list->SetSel(-1, false));
    EXPECT_EQ(list->GetSelCount(), 0);
}

TEST_F(ControlsTest, EditsAskForTheirColoursBeforeTheyPaint)
{
    static const TBrush yellow(TColor(RGB(255, 255, 0)));
    m_frame->Handler = [](UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) {
        TWindow* edit = TWindow::FromHandle(static_cast<HWND>(lParam));
        if (msg != WM_CTLCOLOREDIT || edit == nullptr || edit->GetId() != 101) {
            return false;
        }
        reinterpret_cast<TDC*>(wParam)->SetTextColor(TColor(RGB(200, 0, 0)));
        result = reinterpret_cast<LRESULT>(&yellow);
        return true;
    };
    auto* coloured = new TEdit(m_frame.get(), 101, "abc", 10, 10, 100, 22);
    auto* plain = new TEdit(m_frame.get(), 102, "abc", 10, 40, 100, 22);
    auto* readOnly = new TEdit(m_frame.get(), 103, "abc", 10, 70, 100, 22);
    readOnly->Attr.Style |= ES_READONLY;
    auto* combo = new TRecording<TComboBox>("combo", m_frame.get(), 104, 10, 100, 150, 24, CBS_DROPDOWN);
    auto* list = new TComboBox(m_frame.get(), 105, 10, 130, 150, 24, CBS_DROPDOWNLIST);
    Show();

    // The parent's answer colours the edit from its next paint: background from the brush, text from the DC.
    const auto backgroundOf = [](TWindow* edit) {
        const QImage shot = WidgetOf(*edit)->grab().toImage();
        return QColor(shot.pixel(shot.width() - 6, shot.height() / 2));
    };
    EXPECT_TRUE(WaitFor([&] { return backgroundOf(coloured) == QColor(255, 255, 0); }));
    EXPECT_EQ(WidgetOf(*coloured)->palette().color(QPalette::Text), QColor(200, 0, 0));
    // Answered 0 (the default handling): the system's window colours.
    const TColor window = TColor::FromSys(COLOR_WINDOW);
    EXPECT_EQ(backgroundOf(plain), QColor(window.Red(), window.Green(), window.Blue()));
    // A read-only edit unanswered: the face colour, as static text.
    const TColor face = TColor::FromSys(COLOR_3DFACE);
    EXPECT_TRUE(WaitFor([&] { return backgroundOf(readOnly) == QColor(face.Red(), face.Green(), face.Blue()); }));

    Log().clear();
    const std::vector<TWindow*> all = {coloured, plain, readOnly, combo, list};
    for (TWindow* w : all) {
        WidgetOf(*w)->repaint();
    }
    const auto edit = Logged(WM_CTLCOLOREDIT);
    const auto contains = [](const auto& seen, const std::pair<std::string, LPARAM>& one) {
        return std::find(seen.begin(), seen.end(), one) != seen.end();
    };
    EXPECT_TRUE(contains(edit, {"frame", static_cast<LPARAM>(coloured->GetHandle())}));
    EXPECT_TRUE(contains(edit, {"frame", static_cast<LPARAM>(plain->GetHandle())}));
    // The combo box's edit part asks the combo box, which asks its parent.
    EXPECT_TRUE(contains(edit, {"combo", static_cast<LPARAM>(combo->GetHandle())}));
    EXPECT_TRUE(contains(edit, {"frame", static_cast<LPARAM>(combo->GetHandle())}));
    // A read-only edit asks as static text does; a drop-down list has no edit to ask for.
    EXPECT_FALSE(contains(edit, {"frame", static_cast<LPARAM>(readOnly->GetHandle())}));
    EXPECT_TRUE(contains(Logged(WM_CTLCOLORSTATIC), {"frame", static_cast<LPARAM>(readOnly->GetHandle())}));
    for (const auto& asked : edit) {
        EXPECT_NE(asked.second, static_cast<LPARAM>(list->GetHandle()));
    }
}

TEST_F(ControlsTest, SetFontReachesControlsAndADialogsControlsTakeItsFont)
{
    Show();
    const TFont big("MS Sans Serif", -17, 0, FW_BOLD);
    TDialog dialog(m_frame.get(), "Fonts");
    dialog.SetWindowFont(big);
    auto* edit = new TRecording<TEdit>("edit", &dialog, 201, "x", 10, 10, 100, 24);
    auto* button = new TRecording<TButton>("button", &dialog, IDOK, "OK", 10, 40, 80, 24);
    ASSERT_TRUE(dialog.Create());

    // Each control hears the dialog's font once as it is made, and draws with it.
    EXPECT_EQ(Logged(WM_SETFONT).size(), 2u);
    for (TWindow* control : {static_cast<TWindow*>(edit), static_cast<TWindow*>(button)}) {
        EXPECT_EQ(control->GetWindowFont(), big);
        const auto* answered = reinterpret_cast<const TFont*>(control->SendMessage(WM_GETFONT));
        ASSERT_NE(answered, nullptr);
        EXPECT_EQ(*answered, big);
        EXPECT_TRUE(WidgetOf(*control)->font().bold());
        EXPECT_EQ(WidgetOf(*control)->font(), WidgetOf(dialog)->font());
    }

    // WM_SETFONT sent to a control changes its font; a null font is the default one again.
    const TFont mono("Courier New", -10);
    edit->SendMessage(WM_SETFONT, reinterpret_cast<WPARAM>(&mono), 1);
    EXPECT_EQ(edit->GetWindowFont(), mono);
    EXPECT_FALSE(WidgetOf(*edit)->font().bold());
    EXPECT_NE(WidgetOf(*edit)->font(), WidgetOf(*button)->font());
    edit->SendMessage(WM_SETFONT, 0, 0);
    EXPECT_EQ(edit->GetWindowFont(), DefaultGuiFont());
    EXPECT_EQ(edit->SendMessage(WM_GETFONT), 0);

    // A control outside a dialog was given no font.
    auto* alone = new TEdit(m_frame.get(), 301, "", 10, 10, 100, 22);
    ASSERT_TRUE(alone->Create());
    EXPECT_EQ(alone->SendMessage(WM_GETFONT), 0);
    dialog.Destroy();
}

class TTestDialog : public TDialog {
public:
    explicit TTestDialog(TWindow* parent)
        : TDialog(parent, "Test")
    {
        Line = new TEdit(this, 401, "", 10, 10, 100, 22);
        Text = new TEdit(this, 402, "", 10, 40, 100, 60, 0, true);
        Text->Attr.Style |= ES_WANTRETURN;
    }

    TEdit* Line;
    TEdit* Text;
};

TEST_F(ControlsTest, DialogReturnsOnEnterAndEscapeAndAMultiLineEditThatWantsReturnsTakesEnter)
{
    Show();

    struct Case {
        const char* Name;
        bool InText; // focus in the multi-line edit first
        std::vector<int> Keys;
        int Want;
    };

    const std::vector<Case> cases = {
            {"enter", false, {Qt::Key_Return}, IDOK},
            {"escape", false, {Qt::Key_Escape}, IDCANCEL},
            {"enter in the multi-line edit, then escape", true, {Qt::Key_Return, Qt::Key_Escape}, IDCANCEL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TTestDialog dialog(m_frame.get());
        std::string textAfterEnter;
        QTimer::singleShot(0, [&] {
            ASSERT_TRUE(QTest::qWaitForWindowActive(WidgetOf(dialog)));
            if (c.InText) {
                dialog.Text->SetFocus();
            }
            for (int key : c.Keys) {
                QWidget* focus = QApplication::focusWidget();
                ASSERT_NE(focus, nullptr);
                QTest::keyClick(focus, static_cast<Qt::Key>(key));
                if (c.InText && textAfterEnter.empty()) {
                    textAfterEnter = dialog.Text->GetText();
                }
            }
        });
        QTimer guard; // keeps a failure from hanging
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, [&] { m_app->EndModal(-1); });
        guard.start(30000);
        EXPECT_EQ(dialog.Execute(), c.Want);
        EXPECT_FALSE(dialog.HasWindow());
        if (c.InText) {
            EXPECT_EQ(textAfterEnter, "\n");
        }
    }
}

TEST_F(ControlsTest, TabMovesThroughTheTabStopsInCreationOrder)
{
    Show();
    TTestDialog dialog(m_frame.get());
    std::vector<TWindow*> seen;
    QTimer::singleShot(0, [&] {
        EXPECT_TRUE(QTest::qWaitForWindowActive(WidgetOf(dialog)));
        seen.push_back(TWindow::GetFocus());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        seen.push_back(TWindow::GetFocus());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        seen.push_back(TWindow::GetFocus());
        dialog.CloseWindow(IDOK);
    });
    EXPECT_EQ(dialog.Execute(), IDOK);
    EXPECT_EQ(seen, (std::vector<TWindow*>{dialog.Line, dialog.Text, dialog.Line}));
}

// A control of the kit's own, painted by its window: it answers for itself what the dialog keys take it for.
class TKitButton : public TWindow {
public:
    TKitButton(TWindow* parent, int id)
        : TWindow(parent, "Kit")
    {
        Attr.Id = id;
        Attr.Style = WS_CHILD | WS_VISIBLE | WS_TABSTOP;
        Attr.X = 10;
        Attr.Y = 110;
        Attr.W = 60;
        Attr.H = 22;
    }

    TDialogControl::TKind GetDialogKind() const override { return TDialogControl::PushButton; }
};

TEST_F(ControlsTest, EnterOnAKitControlThatAnswersPushButtonCommandsItsId)
{
    Show();

    class TKitDialog : public TTestDialog {
    public:
        using TTestDialog::TTestDialog;
        TKitButton* Kit = new TKitButton(this, 501);

        LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override
        {
            if (msg == WM_COMMAND && LOWORD(wParam) == 501) {
                CloseWindow(501);
                return 0;
            }
            return TTestDialog::WindowProc(msg, wParam, lParam);
        }
    };

    TKitDialog dialog(m_frame.get());
    QTimer::singleShot(0, [&] {
        ASSERT_TRUE(QTest::qWaitForWindowActive(WidgetOf(dialog)));
        dialog.Kit->SetFocus();
        ASSERT_TRUE(WaitFor([&] { return TWindow::GetFocus() == dialog.Kit; }));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    });
    QTimer guard; // keeps a failure from hanging
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [&] { m_app->EndModal(-1); });
    guard.start(30000);
    // Taken for any other window, Enter would press the default button (IDOK).
    EXPECT_EQ(dialog.Execute(), 501);
}

TEST_F(ControlsTest, WithoutATrayAddingTheIconFails)
{
    Show();
    EXPECT_FALSE(TrayAvailable());
    TBitmap color(32, 32, TColor(RGB(200, 0, 0)));
    RegisterIconResource(140, TIcon(color, {}));
    TTrayIcon tray(*m_frame, 140, kMsgTrayCallback, 140);
    EXPECT_FALSE(tray.Add("Quillmail Administration Utility"));
    EXPECT_FALSE(tray.IsAdded());
    EXPECT_TRUE(m_frame->IsWindowVisible()); // nothing is hidden without a tray
    // The tray shows its icon by id, in the small size.
    const TIcon shown = tray.GetIcon();
    EXPECT_EQ(shown.Size(), kSmallIconSize);
    EXPECT_EQ(shown.Color().GetPixel(8, 8), TColor(RGB(200, 0, 0)));
    EXPECT_TRUE(TTrayIcon(*m_frame, 140, kMsgTrayCallback, 141).GetIcon().IsEmpty());
    ClearIconResources();
}

TEST_F(ControlsTest, SplashShowsTheFileShrunkToFitAndClosesByItself)
{
    qm::test::TempDir dir;
    const std::string path = (dir.Path() / "Splash.bmp").string();
    const TRect screen = GetScreenRect();
    QImage big(screen.Width() * 2, screen.Height(), QImage::Format_RGB32);
    big.fill(qRgb(10, 20, 200));
    ASSERT_TRUE(big.save(QString::fromStdString(path), "BMP"));
    TSplashWindow splash(nullptr, path, 50);
    ASSERT_TRUE(splash.Create());
    EXPECT_EQ(splash.ShownSize(), TSize(screen.Width(), screen.Height() / 2)); // the shape is kept
    EXPECT_TRUE(splash.IsWindowVisible());
    splash.UpdateWindow();
    EXPECT_TRUE(WaitFor([&] { return !splash.HasWindow(); }));

    TSplashWindow missing(nullptr, (dir.Path() / "none.bmp").string(), 50);
    EXPECT_FALSE(missing.Create());
}

} // namespace
} // namespace qm::gui
