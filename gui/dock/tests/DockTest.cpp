// Docking: bars in edge slips, the harbour's drag with its outline on the screen overlay, floating slips with
// their drawn caption and close box, and the pictures of a floating slip, an open owner-drawn menu and a dialog.
#include "gui/ctrl/Controls.h"
#include "gui/ctrl/Dialog.h"
#include "gui/dock/tests/DockTestSupport.h"
#include "gui/menu/MenuView.h"
#include "gui/model/DockTarget.h"
#include "gui/window/WindowWidget.h"

#include <QTimer>
#include <gtest/gtest.h>

namespace qm::gui {
namespace {

constexpr int kGlyph = 9101;

// An application whose pre-filter records every message and, when told, eats right presses as a harbour with a
// toolbars menu does.
class TRecordingApp : public TApplication {
public:
    std::vector<UINT> Seen;
    bool EatRightPresses = false;

    bool ProcessAppMsg(MSG& msg) override
    {
        Seen.push_back(msg.message);
        if (EatRightPresses && msg.message == WM_RBUTTONDOWN) {
            return true;
        }
        return TApplication::ProcessAppMsg(msg);
    }

    long CountSeen(UINT message) const { return std::count(Seen.begin(), Seen.end(), message); }
};

class DockTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        test::GuiTestApp();
        ClearScreenOverlay();
        RegisterBitmapResource(kGlyph, test::Glyph(TColor(RGB(0, 128, 0))));
        m_app = std::make_unique<TRecordingApp>();
        m_frame = std::make_unique<TDecoratedFrame>(nullptr, "Docking", new TWindow(nullptr));
        m_frame->Attr.X = 30;
        m_frame->Attr.Y = 30;
        m_frame->Attr.W = 500;
        m_frame->Attr.H = 340;
        m_harbor = new THarbor(*m_frame);
        ASSERT_TRUE(m_frame->Create());
        m_frame->ShowWindow(SW_SHOWNORMAL);
        m_bar = new TDockableControlBar(nullptr);
        m_bar->SetCaption("Standard");
        for (int i = 0; i < 3; ++i) {
            m_bar->Insert(std::make_unique<TButtonGadget>(kGlyph, 400 + i, TButtonGadget::Command, true));
        }
        m_harbor->Insert(*m_bar, alTop);
        ASSERT_TRUE(test::Pump([&] { return m_bar->HasWindow() && m_bar->IsWindowVisible(); }));
    }

    void TearDown() override
    {
        m_frame->Destroy();
        m_frame.reset();
        m_app.reset();
        ClearScreenOverlay();
    }

    TEdgeSlip* TopSlip() { return dynamic_cast<TEdgeSlip*>(m_harbor->GetEdgeSlip(alTop)); }

    // Drags the bar from its grip to a screen point, checking the outline on the overlay on the way.
    void DragBarTo(TPoint target, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
    {
        QWidget* widget = WidgetOf(*m_bar);
        const QPoint grip = test::WidgetPoint(*m_bar, TPoint(4, 4));
        test::SendMouse(widget, QEvent::MouseButtonPress, Qt::LeftButton, grip, Qt::LeftButton);
        ASSERT_TRUE(m_harbor->IsDragging());
        const QPoint local = widget->mapFromGlobal(QPoint(target.x, target.y));
        test::SendMouse(widget, QEvent::MouseMove, Qt::NoButton, local, Qt::LeftButton, modifiers);
        const TRect outline = m_harbor->DragRect();
        EXPECT_TRUE(ScreenOverlayPixel(outline.TopLeft()).has_value()) << "no outline on the overlay";
        EXPECT_FALSE(ScreenOverlayPixel(outline.TopLeft().OffsetBy(5, 5)).has_value());
        test::SendMouse(widget, QEvent::MouseButtonRelease, Qt::LeftButton, local, Qt::NoButton, modifiers);
        EXPECT_FALSE(m_harbor->IsDragging());
        // The overlay has its pixels back.
        EXPECT_FALSE(ScreenOverlayPixel(outline.TopLeft()).has_value());
    }

    std::unique_ptr<TRecordingApp> m_app;
    std::unique_ptr<TDecoratedFrame> m_frame;
    THarbor* m_harbor = nullptr;
    TDockableControlBar* m_bar = nullptr;
};

TEST_F(DockTest, EdgeSlipIsAsThickAsItsBarAndTheClientStartsBelowIt)
{
    TEdgeSlip* slip = TopSlip();
    ASSERT_NE(slip, nullptr);
    EXPECT_EQ(m_bar->GetParent(), slip);
    EXPECT_EQ(slip->GetThickness(), m_bar->GetWindowRect().Height());
    EXPECT_EQ(m_frame->GetClientWindow()->GetWindowRect().top, slip->GetWindowRect().bottom);
    EXPECT_EQ(m_bar->GetDirection(), TGadgetWindowCore::Horizontal);
}

TEST_F(DockTest, BarKeepsTheMarginsItsSlipGaveAndFloatingSlipFitsThem)
{
    // A slip of the program's own gives the bar its margins and then has it lay out for its edge: the bar keeps
    // them. Three 23 x 23 buttons.
    const TMargins own{14, 5, 5, 5};
    m_bar->SetMargins(own);
    m_bar->Layout(alTop);
    EXPECT_EQ(m_bar->GetMargins(), own);
    EXPECT_EQ(m_bar->GetWindowRect().Size(), TSize(3 * 23 + 19, 23 + 10));
    // The size at another edge turns the margins with the bar; the bar itself is left as it was.
    EXPECT_EQ(m_bar->ComputeSize(alLeft), TSize(23 + 10, 3 * 23 + 19));
    EXPECT_EQ(m_bar->ComputeSize(alBottom), TSize(3 * 23 + 19, 23 + 10));
    EXPECT_EQ(m_bar->GetMargins(), own);
    EXPECT_EQ(m_bar->GetDirection(), TGadgetWindowCore::Horizontal);
    m_bar->Layout(alLeft);
    EXPECT_EQ(m_bar->GetMargins(), own);
    EXPECT_EQ(m_bar->GetDirection(), TGadgetWindowCore::Vertical);

    // The framework's slips give theirs.
    m_harbor->Insert(*m_bar, alLeft);
    EXPECT_EQ(m_bar->GetMargins(), TDockableControlBar::BarMarginsFor(alLeft));
    m_harbor->Insert(*m_bar, alTop); // floating from a horizontal edge keeps one row
    EXPECT_EQ(m_bar->GetMargins(), TDockableControlBar::BarMarginsFor(alTop));
    EXPECT_EQ(m_bar->GetWindowRect().Size(), TSize(3 * 23 + 14, 23 + 8)) << "back from the left edge, one row again";
    m_harbor->Insert(*m_bar, alNone);
    EXPECT_EQ(m_bar->GetMargins(), TDockableControlBar::BarMarginsFor(alNone));
    auto* floating = dynamic_cast<TFloatingSlip*>(m_bar->GetParent());
    ASSERT_NE(floating, nullptr);
    ASSERT_TRUE(test::Pump([&] { return m_bar->IsWindowVisible(); }));

    // A floating slip's program gives the bar other margins after the insertion: the slip fits the bar again.
    m_bar->SetMargins(TMargins{4, 4, 3, 3});
    const TSize bar(3 * 23 + 8, 23 + 6);
    EXPECT_TRUE(test::Pump([&] {
        return m_bar->GetWindowRect().Size() == bar && floating->GetClientRect().Size() == bar;
    })) << "slip "
        << floating->GetClientRect().Width() << " x " << floating->GetClientRect().Height() << ", bar "
        << m_bar->GetWindowRect().Width() << " x " << m_bar->GetWindowRect().Height();
}

// A bar that records the button messages it gets.
class TRecordingBar : public TDockableControlBar {
public:
    std::vector<UINT> Buttons;

    LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override
    {
        if (msg >= WM_LBUTTONDOWN && msg <= WM_LBUTTONDBLCLK) {
            Buttons.push_back(msg);
        }
        return TDockableControlBar::WindowProc(msg, wParam, lParam);
    }
};

TEST_F(DockTest, SecondFastPressOnTheGripIsADoubleClickAfterTheFirstStartedADrag)
{
    auto* bar = new TRecordingBar;
    bar->Insert(std::make_unique<TButtonGadget>(kGlyph, 410, TButtonGadget::Command, true));
    m_harbor->Insert(*bar, alBottom);
    ASSERT_TRUE(test::Pump([&] { return bar->HasWindow() && bar->IsWindowVisible(); }));
    const QPoint grip = test::WidgetPoint(*bar, TPoint(4, 4));
    test::Click(WidgetOf(*bar), Qt::LeftButton, grip);
    EXPECT_FALSE(m_harbor->IsDragging()) << "a release without a move ends the drag";
    test::Click(WidgetOf(*bar), Qt::LeftButton, grip);
    EXPECT_EQ(bar->Buttons, (std::vector<UINT>{WM_LBUTTONDOWN, WM_LBUTTONDBLCLK, WM_LBUTTONUP}))
            << "the first release goes to the harbour, which holds the capture during its drag";
    EXPECT_EQ(bar->GetParent(), m_harbor->GetEdgeSlip(alBottom)->GetSlipWindow())
            << "a click on the grip moves nothing";
}

// A bar that draws its own grip: none.
class TGriplessBar : public TDockableControlBar {
protected:
    void PaintGrip(TDC&) override {}
};

TEST_F(DockTest, DockedBarDrawsTheGripUnlessItDrawsItsOwn)
{
    auto* gripless = new TGriplessBar;
    gripless->Insert(std::make_unique<TButtonGadget>(kGlyph, 430, TButtonGadget::Command, true));
    m_harbor->Insert(*gripless, alBottom);
    const TPoint grip(3, 4); // the first grip bar's highlighted left side
    ASSERT_TRUE(test::Pump([&] {
        return test::WindowPixel(*m_bar, grip) == TColor::FromSys(COLOR_BTNHIGHLIGHT).Rgb() &&
               test::WindowPixel(*gripless, grip) == TColor::FromSys(COLOR_BTNFACE).Rgb();
    })) << std::hex
        << test::WindowPixel(*m_bar, grip) << " " << test::WindowPixel(*gripless, grip);
}

TEST_F(DockTest, DragsBetweenEdgesAndFloatingByTheDockTargetChoice)
{
    // Targets relative to the frame's client area as it is at each step (slips come and go).
    struct Case {
        const char* Name;
        std::function<TPoint(const TRect&)> Target;
        Qt::KeyboardModifiers Modifiers;
        TAbsLocation Want;
    };

    const Case cases[] = {
            {"middle floats", [](const TRect& r) { return TPoint(r.left + r.Width() / 2, r.top + r.Height() / 2); },
             Qt::NoModifier, alNone},
            {"left edge docks", [](const TRect& r) { return TPoint(r.left + 2, r.top + r.Height() / 2); },
             Qt::NoModifier, alLeft},
            {"top with ctrl floats", [](const TRect& r) { return TPoint(r.left + 60, r.top + 2); }, Qt::ControlModifier,
             alNone},
            {"back to the top", [](const TRect& r) { return TPoint(r.left + 60, r.top + 2); }, Qt::NoModifier, alTop},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const TRect client = m_frame->GetClientRect();
        const TRect screen(m_frame->ClientToScreen(client.TopLeft()), m_frame->ClientToScreen(client.BottomRight()));
        DragBarTo(c.Target(screen), c.Modifiers);
        TDockingSlip* slip = SlipOf(*m_bar);
        ASSERT_NE(slip, nullptr);
        EXPECT_EQ(slip->GetLocation(), c.Want);
        EXPECT_EQ(m_bar->GetDirection(), DirectionForLocation(c.Want));
        if (c.Want == alNone) {
            EXPECT_NE(dynamic_cast<TFloatingSlip*>(slip), nullptr);
        }
        EXPECT_TRUE(m_bar->IsWindowVisible());
    }
    // The left slip left empty takes no room.
    EXPECT_EQ(dynamic_cast<TEdgeSlip*>(m_harbor->GetEdgeSlip(alLeft))->GetThickness(), 0);
}

TEST_F(DockTest, CtrlDuringADragCountsAtOnceAndARightPressEndsItUnseenByThePreFilter)
{
    QWidget* widget = WidgetOf(*m_bar);
    test::SendMouse(widget, QEvent::MouseButtonPress, Qt::LeftButton, test::WidgetPoint(*m_bar, TPoint(4, 4)),
                    Qt::LeftButton);
    ASSERT_TRUE(m_harbor->IsDragging());
    const TPoint top = m_frame->ClientToScreen(TPoint(60, 2));
    const QPoint local = widget->mapFromGlobal(QPoint(top.x, top.y));
    test::SendMouse(widget, QEvent::MouseMove, Qt::NoButton, local, Qt::LeftButton);
    EXPECT_EQ(m_harbor->DragTarget(), alTop);

    // Ctrl pressed and released with the mouse standing still (the keys go to the focus window): the outline
    // floats and docks again at once.
    struct Step {
        QEvent::Type Type;
        Qt::KeyboardModifiers Modifiers;
        TAbsLocation Want;
    };

    const Step steps[] = {{QEvent::KeyPress, Qt::ControlModifier, alNone},
                          {QEvent::KeyPress, Qt::ControlModifier, alNone}, // held: nothing new
                          {QEvent::KeyRelease, Qt::NoModifier, alTop}};
    for (const Step& s : steps) {
        QKeyEvent key(s.Type, Qt::Key_Control, s.Modifiers);
        QApplication::sendEvent(WidgetOf(*m_frame), &key);
        EXPECT_EQ(m_harbor->DragTarget(), s.Want);
        EXPECT_TRUE(ScreenOverlayPixel(m_harbor->DragRect().TopLeft()).has_value()) << "the outline follows";
    }

    // The pre-filter eats right presses; during the drag the press goes to the harbour alone and ends the drag
    // without a drop, and its release goes nowhere.
    m_app->EatRightPresses = true;
    m_app->Seen.clear();
    const TRect outline = m_harbor->DragRect();
    test::SendMouse(widget, QEvent::MouseButtonPress, Qt::RightButton, local, Qt::LeftButton | Qt::RightButton);
    EXPECT_FALSE(m_harbor->IsDragging());
    EXPECT_FALSE(ScreenOverlayPixel(outline.TopLeft()).has_value());
    test::SendMouse(widget, QEvent::MouseButtonRelease, Qt::RightButton, local, Qt::LeftButton);
    test::SendMouse(widget, QEvent::MouseButtonRelease, Qt::LeftButton, local, Qt::NoButton);
    EXPECT_EQ(m_app->CountSeen(WM_RBUTTONDOWN), 0);
    EXPECT_EQ(m_app->CountSeen(WM_RBUTTONUP), 0);
    EXPECT_EQ(SlipOf(*m_bar), TopSlip()) << "the bar stays where it was";

    // Without a drag, right presses reach the pre-filter again.
    const QPoint inside = test::WidgetPoint(*m_bar, TPoint(4, 4));
    test::SendMouse(widget, QEvent::MouseButtonPress, Qt::RightButton, inside, Qt::RightButton);
    test::SendMouse(widget, QEvent::MouseButtonRelease, Qt::RightButton, inside, Qt::NoButton);
    EXPECT_EQ(m_app->CountSeen(WM_RBUTTONDOWN), 1);
}

TEST_F(DockTest, FloatingSlipDrawsCaptionAndCloseBoxAndHidesByIt)
{
    m_harbor->Insert(*m_bar, alNone);
    auto* slip = dynamic_cast<TFloatingSlip*>(SlipOf(*m_bar));
    ASSERT_NE(slip, nullptr);
    ASSERT_TRUE(test::Pump([&] {
        auto* w = dynamic_cast<TWindowWidget*>(WidgetOf(*slip));
        return w != nullptr && w->Painted();
    }));
    EXPECT_EQ(slip->GetCaption(), "Standard");
    const TNonClientGeometry g = slip->Geometry();
    ASSERT_FALSE(g.Caption.IsEmpty());
    ASSERT_FALSE(g.CloseBox.IsEmpty());
    // The client area holds the bar exactly.
    EXPECT_EQ(g.Client.Size(), m_bar->GetWindowRect().Size());
    EXPECT_EQ(test::WindowPixel(*slip, g.Caption.TopLeft().OffsetBy(1, 1)), TColor::FromSys(COLOR_ACTIVECAPTION).Rgb());
    const TRect window = slip->GetWindowRect();

    struct Hit {
        TPoint At;
        LRESULT Want;
    };

    const Hit hits[] = {{g.Caption.TopLeft().OffsetBy(3, 2), HTCAPTION},
                        {g.CloseBox.TopLeft().OffsetBy(2, 2), HTCLOSE},
                        {g.Client.TopLeft().OffsetBy(2, 2), HTCLIENT}};
    for (const Hit& h : hits) {
        const TPoint screen = h.At.OffsetBy(window.left, window.top);
        EXPECT_EQ(slip->SendMessage(WM_NCHITTEST, 0, MAKELPARAM(screen.x, screen.y)), h.Want);
    }
    EXPECT_TRUE(test::WriteShot(*slip, "floating-slip"));

    const TPoint box = g.CloseBox.TopLeft().OffsetBy(window.left + 3, window.top + 3);
    slip->SendMessage(WM_NCLBUTTONDOWN, HTCLOSE, MAKELPARAM(box.x, box.y));
    slip->SendMessage(WM_NCLBUTTONUP, HTCLOSE, MAKELPARAM(box.x, box.y));
    EXPECT_FALSE(slip->IsWindowVisible());
}

TEST_F(DockTest, FloatingSlipIsWideEnoughForItsWholeCaption)
{
    // A one-button bar is narrower than its caption: the slip widens so the caption is not cut at the close box;
    // the harbour's outline for floating has the slip's size.
    auto* narrow = new TDockableControlBar(nullptr);
    narrow->SetCaption("Tools");
    narrow->Insert(std::make_unique<TButtonGadget>(kGlyph, 410, TButtonGadget::Command, true));
    const TPoint where(300, 200);
    m_harbor->Insert(*narrow, alNone, &where);
    auto* slip = dynamic_cast<TFloatingSlip*>(SlipOf(*narrow));
    ASSERT_NE(slip, nullptr);
    ASSERT_TRUE(test::Pump([&] {
        auto* w = dynamic_cast<TWindowWidget*>(WidgetOf(*slip));
        return w != nullptr && w->Painted();
    }));
    const TNonClientGeometry g = slip->Geometry();
    TMemoryDC dc;
    dc.SelectBitmap(TBitmap(1, 1));
    TFont bold = DefaultGuiFont();
    bold.Weight = FW_BOLD;
    dc.SelectObject(bold);
    const int text = dc.GetTextExtent("Tools").cx;
    EXPECT_GE(g.CloseBox.left - 1 - (g.Caption.left + 2), text) << "the caption is cut";
    EXPECT_GT(g.Client.Width(), narrow->GetWindowRect().Width()) << "the bar alone would cut it";
    EXPECT_EQ(g.Client.Height(), narrow->GetWindowRect().Height());
    // The caption's last letter is drawn: caption-text pixels in the caption's last few columns before the box.
    bool letter = false;
    for (int x = g.Caption.left + 2 + text - 4; x < g.Caption.left + 2 + text && !letter; ++x) {
        for (int y = g.Caption.top; y < g.Caption.bottom && !letter; ++y) {
            letter = test::WindowPixel(*slip, TPoint(x, y)) == TColor::FromSys(COLOR_CAPTIONTEXT).Rgb();
        }
    }
    EXPECT_TRUE(letter) << "no end of the caption's text";
    EXPECT_EQ(TFloatingSlip::WindowSizeFor(*narrow, "Tools"), slip->GetWindowRect().Size());
    EXPECT_TRUE(test::WriteShot(*slip, "floating-slip-narrow"));
}

// A floating slip that records the non-client button messages of its drawn caption, and the harbour that makes it.
class TRecordingSlip : public TFloatingSlip {
public:
    using TFloatingSlip::TFloatingSlip;
    std::vector<std::pair<UINT, WPARAM>> Buttons;

    LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override
    {
        if (msg >= WM_NCLBUTTONDOWN && msg <= WM_NCRBUTTONDBLCLK) {
            Buttons.emplace_back(msg, wParam);
        }
        return TFloatingSlip::WindowProc(msg, wParam, lParam);
    }
};

class TRecordingHarbor : public THarbor {
public:
    using THarbor::THarbor;

protected:
    TFloatingSlip* MakeFloatingSlip(TDecoratedFrame& frame, int x, int y, TDockable& dockable) override
    {
        return new TRecordingSlip(&frame, x, y, dockable);
    }
};

TEST_F(DockTest, CaptionOfAFloatingSlipGetsRightPressesAndDoubleClicks)
{
    TDecoratedFrame frame(nullptr, "Recording", new TWindow(nullptr));
    frame.Attr.X = 60;
    frame.Attr.Y = 60;
    frame.Attr.W = 300;
    frame.Attr.H = 200;
    auto* harbor = new TRecordingHarbor(frame);
    ASSERT_TRUE(frame.Create());
    auto* bar = new TDockableControlBar(nullptr);
    bar->Insert(std::make_unique<TButtonGadget>(kGlyph, 420, TButtonGadget::Command, true));
    harbor->Insert(*bar, alNone);
    auto* slip = dynamic_cast<TRecordingSlip*>(bar->GetParent());
    ASSERT_NE(slip, nullptr);
    ASSERT_TRUE(test::Pump([&] { return slip->IsWindowVisible(); }));
    const TNonClientGeometry g = slip->Geometry();
    const QPoint caption(g.Caption.left + 4, g.Caption.top + 3); // widget coordinates: the window's own
    test::Click(WidgetOf(*slip), Qt::RightButton, caption);
    test::Click(WidgetOf(*slip), Qt::LeftButton, caption);
    EXPECT_FALSE(harbor->IsDragging()) << "a release without a move ends the drag the press began";
    test::Click(WidgetOf(*slip), Qt::LeftButton, caption);
    const std::vector<std::pair<UINT, WPARAM>> want = {{WM_NCRBUTTONDOWN, HTCAPTION},
                                                       {WM_NCRBUTTONUP, HTCAPTION},
                                                       {WM_NCLBUTTONDOWN, HTCAPTION},
                                                       {WM_NCLBUTTONDBLCLK, HTCAPTION},
                                                       {WM_NCLBUTTONUP, HTCAPTION}};
    EXPECT_EQ(slip->Buttons, want);
    frame.Destroy();
}

TEST_F(DockTest, PicturesOfAnOpenOwnerDrawnMenuAndADialog)
{
    // The frame paints its menu items itself: a coloured square before each label.
    class TMenuFrame : public TDecoratedFrame {
    public:
        TMenuFrame()
            : TDecoratedFrame(nullptr, "Menus", new TWindow(nullptr), true)
        {}

        LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override
        {
            if (msg == WM_MEASUREITEM) {
                auto* mis = reinterpret_cast<MEASUREITEMSTRUCT*>(lParam);
                mis->itemWidth = 140;
                mis->itemHeight = 22;
                return 1;
            }
            if (msg == WM_DRAWITEM) {
                auto* dis = reinterpret_cast<DRAWITEMSTRUCT*>(lParam);
                TDC& dc = *dis->hDC;
                const bool selected = (dis->itemState & ODS_SELECTED) != 0;
                dc.FillRect(dis->rcItem, TBrush(TColor::FromSys(selected ? COLOR_HIGHLIGHT : COLOR_MENU)));
                const TRect square(dis->rcItem.left + 3, dis->rcItem.top + 3, dis->rcItem.left + 19,
                                   dis->rcItem.bottom - 3);
                dc.FillRect(square, TBrush(TColor(RGB(0, 128, 0))));
                TRect text(square.right + 6, dis->rcItem.top, dis->rcItem.right - 4, dis->rcItem.bottom);
                dc.SetBkMode(TRANSPARENT);
                dc.SetTextColor(TColor::FromSys(selected ? COLOR_HIGHLIGHTTEXT : COLOR_MENUTEXT));
                const std::string label = "Command " + std::to_string(dis->itemID);
                dc.DrawText(label, text, DT_LEFT | DT_VCENTER | DT_SINGLELINE);
                return 1;
            }
            return TDecoratedFrame::WindowProc(msg, wParam, lParam);
        }
    };

    TMenuFrame frame;
    frame.Attr.W = 360;
    frame.Attr.H = 240;
    HMENU bar = CreateMenu();
    HMENU file = CreatePopupMenu();
    for (UINT id = 501; id <= 504; ++id) {
        AppendMenu(file, MF_OWNERDRAW, id, {}, id);
        frame.OnCommand(id, [] {});
    }
    AppendMenu(bar, MF_STRING | MF_POPUP, file.Value, "&File");
    ASSERT_TRUE(frame.AssignMenu(bar));
    ASSERT_TRUE(frame.Create());
    frame.ShowWindow(SW_SHOWNORMAL);

    bool shot = false;
    QTimer driver;
    const auto deadline = qm::test::TestClock::now() + qm::test::kPatience;
    QObject::connect(&driver, &QTimer::timeout, [&] {
        TWindow* popup = ActiveMenuPopup(0);
        auto* widget = popup != nullptr ? dynamic_cast<TWindowWidget*>(WidgetOf(*popup)) : nullptr;
        if (widget != nullptr && widget->Painted()) {
            shot = test::WriteShot(*popup, "menu-open");
            CancelMenuTracking();
        } else if (qm::test::TestClock::now() > deadline) {
            CancelMenuTracking();
        }
    });
    driver.start(5);
    TrackMenuBar(frame, bar, frame.GetMenuBarItemRects(), 0, true);
    driver.stop();
    EXPECT_TRUE(shot);
    frame.Destroy();

    // A dialog with a few controls, pictured after its first paint.
    TDialog dialog(nullptr, "Server settings");
    dialog.Attr.W = 300;
    dialog.Attr.H = 160;
    auto* label = new TStatic(&dialog, 10, "&Host name:", 10, 14, 80, 16);
    (void)label;
    new TEdit(&dialog, 11, "mail.example.org", 96, 10, 180, 22);
    new TButton(&dialog, IDOK, "OK", 110, 110, 80, 26, true);
    new TButton(&dialog, IDCANCEL, "Cancel", 200, 110, 80, 26);
    bool dialogShot = false;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        auto* widget = dynamic_cast<TWindowWidget*>(WidgetOf(dialog));
        if (widget != nullptr && widget->Painted()) {
            dialogShot = test::WriteShot(dialog, "dialog");
            dialog.CloseWindow(IDCANCEL);
        } else if (qm::test::TestClock::now() > deadline) {
            dialog.CloseWindow(IDCANCEL);
        }
    });
    closer.start(5);
    EXPECT_EQ(dialog.Execute(), IDCANCEL);
    closer.stop();
    EXPECT_TRUE(dialogShot);
}

} // namespace
} // namespace qm::gui
