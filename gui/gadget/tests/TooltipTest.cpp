// The tooltip of a gadget window for the windows standing in it: an edit and a combo box with an edit part are
// tools; the mouse moving over them, between a combo box and its edit part, and away shows and hides their texts.
#include "gui/ctrl/Controls.h"
#include "gui/draw/Dc.h"
#include "gui/gadget/GadgetWindow.h"
#include "gui/window/Application.h"
#include "gui/window/WindowWidget.h"
#include "gui/window/tests/WindowTestSupport.h"
#include "testsupport/WaitUntil.h"

#include <QComboBox>
#include <QLineEdit>
#include <QTest>
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

namespace qm::gui {
namespace {

class TooltipTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        test::GuiTestApp();
        m_app = std::make_unique<TApplication>();
        m_bar = std::make_unique<TGadgetWindow>();
        m_bar->Attr.Style = WS_POPUP | WS_VISIBLE;
        m_bar->Attr.X = 30;
        m_bar->Attr.Y = 30;
        m_bar->Attr.W = 320;
        m_bar->Attr.H = 40;
        m_bar->SetShrinkWrap(false, false); // no gadgets: keep the room the controls stand in
        m_edit = new TEdit(m_bar.get(), 101, "", 10, 8, 80, 24);
        m_combo = new TComboBox(m_bar.get(), 102, 120, 8, 120, 24, CBS_DROPDOWN);
        m_late = new TEdit(m_bar.get(), 103, "", 260, 8, 40, 24);
        m_late->Attr.Style &= ~WS_VISIBLE;
        ASSERT_TRUE(m_bar->Create());
        m_bar->ShowWindow(SW_SHOWNORMAL);
        ASSERT_TRUE(qm::test::WaitUntil([&] {
            QApplication::processEvents();
            return WidgetOf(*m_bar)->isVisible();
        }));
    }

    void TearDown() override
    {
        MoveTo(WidgetOf(*m_bar), QPoint(300, 38)); // leave every tool
        m_bar->Destroy();
        m_bar.reset();
        m_app.reset();
    }

    // Moves the mouse to pos in widget through its top-level window, as the platform would: Qt sends the enter
    // and leave events on the way.
    static void MoveTo(QWidget* widget, QPoint pos)
    {
        QWidget* top = widget->window();
        QTest::mouseMove(top->windowHandle(), widget->mapTo(top, pos));
        QApplication::processEvents();
    }

    static void HoverOver(QWidget* widget) { MoveTo(widget, widget->rect().center()); }

    TTooltip& Tips() { return *m_bar->GetTooltip(); }

    std::unique_ptr<TApplication> m_app;
    std::unique_ptr<TGadgetWindow> m_bar;
    TEdit* m_edit = nullptr;
    TComboBox* m_combo = nullptr;
    TEdit* m_late = nullptr;
};

TEST_F(TooltipTest, ToolsShowTheirTextWhileTheMouseIsOverThemOrTheirParts)
{
    ASSERT_NE(m_bar->GetTooltip(), nullptr);
    ASSERT_TRUE(Tips().AddTool(m_edit->GetHandle(), "Find a user"));
    ASSERT_TRUE(Tips().AddTool(m_combo->GetHandle(), "Pick a domain"));
    EXPECT_EQ(Tips().GetToolCount(), 2);
    auto* combo = qobject_cast<QComboBox*>(WidgetOf(*m_combo));
    ASSERT_NE(combo, nullptr);
    ASSERT_NE(combo->lineEdit(), nullptr);

    struct Step {
        const char* Name;
        QWidget* Target;
        const char* Shown;
    };

    const Step steps[] = {
            {"over the bar itself", WidgetOf(*m_bar), ""},
            {"over the edit", WidgetOf(*m_edit), "Find a user"},
            {"over the bar itself", WidgetOf(*m_bar), ""},
            {"over the combo box's edit part", combo->lineEdit(), "Pick a domain"},
            {"from the edit part onto the combo box's frame", combo, "Pick a domain"},
            {"back to the edit", WidgetOf(*m_edit), "Find a user"},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.Name);
        if (s.Target == WidgetOf(*m_bar)) {
            MoveTo(s.Target, QPoint(300, 38));
        } else if (s.Target == combo) {
            MoveTo(combo, QPoint(1, 1));
        } else {
            HoverOver(s.Target);
        }
        EXPECT_EQ(Tips().GetShownText(), s.Shown);
    }

    // A new text shows at once on the tool under the mouse; registering again merges into the one tool.
    ASSERT_TRUE(Tips().AddTool(m_edit->GetHandle(), "Find a user by name"));
    EXPECT_EQ(Tips().GetToolCount(), 2);
    EXPECT_EQ(Tips().GetShownText(), "Find a user by name");
    EXPECT_TRUE(Tips().UpdateTipText(m_edit->GetHandle(), "Search"));
    EXPECT_EQ(Tips().GetToolText(m_edit->GetHandle()), "Search");
    EXPECT_EQ(Tips().GetShownText(), "Search");

    // A deleted tool hides its tip and shows nothing any more.
    Tips().DeleteTool(m_edit->GetHandle());
    EXPECT_FALSE(Tips().HasTool(m_edit->GetHandle()));
    EXPECT_EQ(Tips().GetShownText(), "");
    HoverOver(combo->lineEdit());
    HoverOver(WidgetOf(*m_edit));
    EXPECT_EQ(Tips().GetShownText(), "");
    Tips().DeleteTool(m_edit->GetHandle()); // twice is harmless
    EXPECT_EQ(Tips().GetToolCount(), 1);
}

TEST_F(TooltipTest, RefusesWhatIsNoWindowAndForgetsADestroyedTool)
{
    EXPECT_FALSE(Tips().AddTool(0, "nothing"));
    EXPECT_FALSE(Tips().UpdateTipText(m_edit->GetHandle(), "not a tool"));
    EXPECT_EQ(Tips().GetToolText(m_edit->GetHandle()), "");

    // A tool whose window goes away shows nothing and can be deleted safely; made again, it registers anew.
    ASSERT_TRUE(Tips().AddTool(m_late->GetHandle(), "Late"));
    m_late->Destroy();
    QApplication::processEvents();
    HoverOver(WidgetOf(*m_edit));
    EXPECT_EQ(Tips().GetShownText(), "");
    ASSERT_TRUE(m_late->Create());
    m_late->ShowWindow(SW_SHOWNA);
    ASSERT_TRUE(Tips().AddTool(m_late->GetHandle(), "Late again"));
    EXPECT_EQ(Tips().GetToolCount(), 1) << "the tool of the window that went is dropped";
    HoverOver(WidgetOf(*m_late));
    EXPECT_EQ(Tips().GetShownText(), "Late again");
    Tips().DeleteTool(m_late->GetHandle());
    EXPECT_EQ(Tips().GetToolCount(), 0);
}

TEST_F(TooltipTest, WindowFromPointFindsTheWindowUnderAScreenPointAndCountsAControlsPartsAsIt)
{
    auto centre = [](TWindow* w) {
        const TRect r = w->GetWindowRect();
        return TPoint(r.left + r.Width() / 2, r.top + r.Height() / 2);
    };
    auto* comboEdit = static_cast<QComboBox*>(WidgetOf(*m_combo))->lineEdit();
    ASSERT_NE(comboEdit, nullptr);
    const QPoint inEdit = comboEdit->mapToGlobal(comboEdit->rect().center());
    const TRect bar = m_bar->GetWindowRect();
    m_late->ShowWindow(SW_HIDE);

    struct Case {
        const char* What;
        TPoint Screen;
        TWindow* Want;
    };

    const Case cases[] = {
            {"an edit", centre(m_edit), m_edit},
            {"the edit part of a combo box", TPoint(inEdit.x(), inEdit.y()), m_combo},
            {"the bar between its controls", TPoint(bar.left + 95, bar.top + 20), m_bar.get()},
            {"where a hidden edit stands", centre(m_late), m_bar.get()},
            {"outside every window", TPoint(bar.right + 200, bar.bottom + 200), nullptr},
    };
    for (const bool overlayShown : {false, true}) {
        SCOPED_TRACE(overlayShown ? "with the screen overlay shown" : "without the screen overlay");
        std::optional<TScreenDC> dc;
        if (overlayShown) {
            // While a screen context lives and has drawn, its overlay covers the screen, input-transparent, above
            // every window.
            dc.emplace();
            dc->SetPixel(TPoint(1, 1), TColor(RGB(1, 2, 3)));
            ASSERT_TRUE(ScreenOverlayShown());
        }
        for (const Case& c : cases) {
            SCOPED_TRACE(c.What);
            EXPECT_EQ(TWindow::WindowFromPoint(c.Screen), c.Want);
        }
    }
    ClearScreenOverlay();
}

TEST_F(TooltipTest, ControlLeavesTheBarAndComesBackAsAControlGadgetMovesItsControl)
{
    // Taken off the bar: hidden, without parent, and the tool forgotten; the caller holds the control then.
    ASSERT_TRUE(Tips().AddTool(m_edit->GetHandle(), "Find"));
    const TRect before = m_edit->GetWindowRect();
    m_edit->ShowWindow(SW_HIDE);
    m_edit->SetParent(nullptr);
    Tips().DeleteTool(m_edit->GetHandle());
    std::unique_ptr<TEdit> held(m_edit);
    EXPECT_EQ(m_edit->GetParent(), nullptr);
    EXPECT_FALSE(m_edit->IsWindowVisible());
    EXPECT_NE(TWindow::WindowFromPoint(TPoint(before.left + 5, before.top + 5)), m_edit);
    const auto children = m_bar->GetChildren();
    EXPECT_EQ(std::count(children.begin(), children.end(), m_edit), 0);

    // Put back at another place: a child of the bar again, shown without activation, a tool again.
    m_edit->SetParent(m_bar.get());
    (void)held.release(); // the bar owns it again
    m_edit->SetWindowPos(kHwndTop, 200, 8, 60, 24, SWP_NOZORDER | SWP_NOACTIVATE);
    m_edit->ShowWindow(SW_SHOWNA);
    ASSERT_TRUE(Tips().AddTool(m_edit->GetHandle(), "Find"));
    const TRect bar = m_bar->GetWindowRect();
    const TRect after = m_edit->GetWindowRect();
    EXPECT_EQ(after.Size(), TSize(60, 24));
    EXPECT_EQ(after.left - bar.left - m_bar->GetNonClientInsets().left, 200);
    EXPECT_TRUE(m_edit->IsWindowVisible());
    EXPECT_EQ(TWindow::WindowFromPoint(TPoint(after.left + 5, after.top + 5)), m_edit);
}

} // namespace
} // namespace qm::gui
