// The decorated frame, its status bar and the gadget window over Qt: edges and re-layout, hints from menu
// selections and gadgets, routing and auto-enable of gadget commands, mouse enter and leave, tooltips, the size
// grip, and the frame's picture.
#include "gui/dock/tests/DockTestSupport.h"
#include "gui/draw/Icon.h"
#include "gui/frame/DecoratedFrame.h"
#include "gui/model/Accelerator.h"
#include "gui/window/WindowDc.h"
#include "gui/window/WindowWidget.h"

#include <QIcon>
#include <QImage>
#include <QTest>
#include <gtest/gtest.h>

namespace qm::gui {
namespace {

constexpr int kOpen = 301;
constexpr int kSave = 302;
constexpr int kGlyphOpen = 9001;
constexpr int kGlyphSave = 9002;

class FrameTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        test::GuiTestApp();
        RegisterStringResource(kOpen, "Opens a mailbox\nOpen mailbox");
        RegisterStringResource(kSave, "Saves the message\nSave");
        RegisterBitmapResource(kGlyphOpen, test::Glyph(TColor(RGB(0, 0, 255))));
        RegisterBitmapResource(kGlyphSave, test::Glyph(TColor(RGB(255, 0, 0))));
        m_app = std::make_unique<TApplication>();
        m_frame = std::make_unique<TDecoratedFrame>(nullptr, "Quillmail", new TWindow(nullptr), true);
        m_frame->Attr.X = 20;
        m_frame->Attr.Y = 20;
        m_frame->Attr.W = 420;
        m_frame->Attr.H = 260;
        m_bar = new TGadgetWindow(m_frame.get());
        m_bar->SetMargins(TMargins{4, 4, 3, 3});
        m_bar->SetHintMode(TGadgetWindowCore::EnterHints);
        m_open = static_cast<TButtonGadget*>(m_bar->Insert(std::make_unique<TButtonGadget>(kGlyphOpen, kOpen)));
        m_bar->Insert(std::make_unique<TSeparatorGadget>());
        m_save = static_cast<TButtonGadget*>(m_bar->Insert(std::make_unique<TButtonGadget>(kGlyphSave, kSave)));
        m_status = new TStatusBar(m_frame.get());
        m_status->SetText("Ready");
        m_status->AddTextGadget(50, "12 sessions");
        m_frame->Insert(*m_bar, alTop);
        m_frame->Insert(*m_status, alBottom);
        m_frame->OnCommand(kOpen, [this] { ++m_opened; });
        ASSERT_TRUE(m_frame->Create());
        m_frame->ShowWindow(SW_SHOWNORMAL);
        ASSERT_TRUE(test::Pump([&] {
            auto* w = dynamic_cast<TWindowWidget*>(WidgetOf(*m_status));
            return w != nullptr && w->Painted();
        }));
    }

    void TearDown() override
    {
        m_frame->Destroy();
        m_frame.reset();
        m_app.reset();
    }

    std::unique_ptr<TApplication> m_app;
    std::unique_ptr<TDecoratedFrame> m_frame;
    TGadgetWindow* m_bar = nullptr;
    TStatusBar* m_status = nullptr;
    TButtonGadget* m_open = nullptr;
    TButtonGadget* m_save = nullptr;
    int m_opened = 0;
};

TEST_F(FrameTest, TheFrameShowsItsIconAndSmallIconById)
{
    RegisterIconResource(140, TIcon(TBitmap(32, 32, TColor(RGB(0, 0, 255))), {}));
    RegisterIconResource(141, TIcon(TBitmap(32, 32, TColor(RGB(0, 160, 0))), {}));
    auto shown = [](const TWindow& frame, int side) {
        return WidgetOf(frame)->windowIcon().pixmap(QSize(side, side), 1.0).toImage().pixel(side / 2, side / 2);
    };
    EXPECT_FALSE(m_frame->SetIcon(999)); // not registered: nothing changes
    EXPECT_TRUE(WidgetOf(*m_frame)->windowIcon().isNull());
    ASSERT_TRUE(m_frame->SetIcon(140));
    EXPECT_EQ(shown(*m_frame, 32), qRgb(0, 0, 255));
    EXPECT_EQ(shown(*m_frame, 16), qRgb(0, 0, 255)); // no small icon yet: the large one serves
    ASSERT_TRUE(m_frame->SetIconSm(141));
    EXPECT_EQ(shown(*m_frame, 32), qRgb(0, 0, 255));
    EXPECT_EQ(shown(*m_frame, 16), qRgb(0, 160, 0));

    // Set before the frame has a window, the icon shows once it has one.
    TFrameWindow later(nullptr, "later");
    ASSERT_TRUE(later.SetIcon(141));
    ASSERT_TRUE(later.Create());
    EXPECT_EQ(shown(later, 32), qRgb(0, 160, 0));
    later.Destroy();
    ClearIconResources();
}

TEST_F(FrameTest, DecorationsStandAtTheirEdgesAndTheClientTakesTheRest)
{
    const TRect client = m_frame->GetClientRect();
    const TRect bar = m_bar->GetWindowRect();
    const TRect status = m_status->GetWindowRect();
    const TPoint origin = m_frame->ClientToScreen(TPoint(0, 0));
    TSize wanted;
    m_bar->GetDesiredSize(wanted);
    EXPECT_EQ(bar, TRect(origin, TSize(client.Width(), wanted.cy)));
    EXPECT_EQ(status.bottom - origin.y, client.bottom);
    EXPECT_EQ(status.Width(), client.Width());
    const TRect inner = m_frame->GetClientWindow()->GetWindowRect();
    EXPECT_EQ(inner.top, bar.bottom);
    EXPECT_EQ(inner.bottom, status.top);

    // A decoration that grows makes the frame lay out again.
    auto tall = std::make_unique<TTextGadget>(77, TGadget::Recessed, TTextGadget::Left, 4, "tall");
    tall->SetShrinkWrap(false, false);
    tall->SetSize(TSize(40, wanted.cy + 20));
    m_bar->Insert(std::move(tall));
    m_bar->LayoutSession();
    ASSERT_TRUE(test::Pump([&] { return m_frame->GetClientWindow()->GetWindowRect().top > bar.bottom; }));
    EXPECT_EQ(m_frame->GetClientWindow()->GetWindowRect().top, m_bar->GetWindowRect().bottom);
}

TEST_F(FrameTest, MenuSelectionShowsHintsAndTheBarsOwnTextComesBack)
{
    HMENU menu = CreatePopupMenu();

    struct Case {
        WPARAM WParam;
        LPARAM LParam;
        std::string Want;
    };

    const Case cases[] = {
            {MAKEWPARAM(kOpen, 0), static_cast<LPARAM>(menu.Value), "Opens a mailbox"},
            {MAKEWPARAM(0, MF_POPUP), static_cast<LPARAM>(menu.Value), ""},
            {MAKEWPARAM(kSave, MF_HILITE), static_cast<LPARAM>(menu.Value), "Saves the message"},
            {MAKEWPARAM(999, 0), static_cast<LPARAM>(menu.Value), ""},
            {MAKEWPARAM(0, 0xFFFF), 0, "Ready"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Want);
        m_frame->SendMessage(WM_MENUSELECT, c.WParam, c.LParam);
        EXPECT_EQ(m_status->GetHintAreaText(), c.Want);
    }
    DestroyMenu(menu);
}

TEST_F(FrameTest, GadgetCommandsRouteToTheFrameAndFollowAutoEnable)
{
    // The idle pass asks the frame: kOpen has a handler, kSave has none and is disabled.
    m_bar->IdleAction(0);
    EXPECT_TRUE(m_open->GetEnabled());
    EXPECT_FALSE(m_save->GetEnabled());

    QWidget* widget = WidgetOf(*m_bar);
    const TRect open = m_open->GetBounds();
    const QPoint at = test::WidgetPoint(*m_bar, TPoint(open.left + 3, open.top + 3));
    test::Click(widget, Qt::LeftButton, at);
    ASSERT_TRUE(test::Pump([&] { return m_opened == 1; }));
    // Two fast clicks are two clicks.
    test::Click(widget, Qt::LeftButton, at);
    test::Click(widget, Qt::LeftButton, at);
    ASSERT_TRUE(test::Pump([&] { return m_opened == 3; }));
    // A disabled button does nothing.
    const TRect save = m_save->GetBounds();
    test::Click(widget, Qt::LeftButton, test::WidgetPoint(*m_bar, TPoint(save.left + 3, save.top + 3)));
    QApplication::processEvents();
    EXPECT_EQ(m_opened, 3);
}

// A slip of the program's own: a plain window that holds bars and handles none of their messages.
class TOwnSlip
    : public TWindow
    , public TDockingSlip {
public:
    explicit TOwnSlip(TWindow* frame)
        : TWindow(frame)
    {}

    void DockableInsert(TDockable&, const TPoint*) override {}

    void DockableMove(TDockable&, const TPoint*) override {}

    void DockableRemoved(TDockable&) override {}

    TAbsLocation GetLocation() const override { return alTop; }

    TWindow* GetSlipWindow() override { return this; }

    void ReLayout() override { ++ReLayouts; }

    int ReLayouts = 0;
};

TEST_F(FrameTest, GadgetsInASlipOfTheProgramsOwnReachTheFrame)
{
    auto* slip = new TOwnSlip(m_frame.get());
    ASSERT_TRUE(slip->Create());
    m_bar->SetParent(slip);
    // Enabling, commands and hints pass the slip on their way to the frame.
    m_open->SetEnabled(false);
    m_save->SetEnabled(true);
    m_bar->IdleAction(0);
    EXPECT_TRUE(m_open->GetEnabled());
    EXPECT_FALSE(m_save->GetEnabled()) << "no one handles it";
    m_bar->SendMessage(WM_COMMAND, kOpen);
    EXPECT_EQ(m_opened, 1);
    m_bar->SetHintCommand(kOpen);
    EXPECT_EQ(m_status->GetHintAreaText(), "Opens a mailbox");
    m_bar->SetHintCommand(-1);
    EXPECT_EQ(m_status->GetHintAreaText(), "Ready");
}

TEST_F(FrameTest, ASlipThatGetsAnotherLengthFromTheFrameLaysItsBarsOutAgain)
{
    auto* slip = new TOwnSlip(m_frame.get());
    slip->Attr.H = 12;
    m_frame->Insert(*slip, alTop);
    ASSERT_TRUE(slip->HasWindow());
    const int before = slip->ReLayouts;
    const TRect frame = m_frame->GetWindowRect();
    // Taller only: the top slip keeps its length.
    m_frame->SetWindowPos(kHwndTop, 0, 0, frame.Width(), frame.Height() + 40, SWP_NOMOVE | SWP_NOZORDER);
    ASSERT_TRUE(test::Pump([&] { return m_frame->GetWindowRect().Height() == frame.Height() + 40; }));
    EXPECT_EQ(slip->ReLayouts, before);
    // Wider: the slip is longer and places its bars again.
    m_frame->SetWindowPos(kHwndTop, 0, 0, frame.Width() + 60, frame.Height() + 40, SWP_NOMOVE | SWP_NOZORDER);
    ASSERT_TRUE(test::Pump([&] { return slip->ReLayouts > before; }));
    EXPECT_EQ(slip->GetWindowRect().Width(), m_frame->GetClientRect().Width());
}

// A slip with a 2-pixel etched line above its client area, drawn in its non-client area.
class TEtchedSlip : public TOwnSlip {
public:
    using TOwnSlip::TOwnSlip;

    LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override
    {
        if (msg == WM_NCCALCSIZE) {
            reinterpret_cast<TRect*>(lParam)->top += 2;
            return 0;
        }
        if (msg == WM_NCPAINT) {
            TWindowDC dc(*this);
            TRect edge(0, 0, 9999, 2);
            dc.DrawEdge(edge, EDGE_ETCHED, BF_TOP);
            return 0;
        }
        return TOwnSlip::WindowProc(msg, wParam, lParam);
    }
};

TEST_F(FrameTest, ChildSlipDrawsItsNonClientLineAndPlacesItsBarsBelowIt)
{
    auto* slip = new TEtchedSlip(m_frame.get());
    slip->Attr.H = 40;
    m_frame->Insert(*slip, alTop);
    ASSERT_TRUE(slip->HasWindow());
    m_bar->SetParent(slip);
    m_bar->SetWindowPos(kHwndTop, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    EXPECT_EQ(slip->GetNonClientInsets(), TRect(0, 2, 0, 0));
    EXPECT_EQ(slip->GetClientRect().Height(), 38);
    // The bar's client (0, 0) stands below the line.
    EXPECT_EQ(m_bar->GetWindowRect().top, slip->GetWindowRect().top + 2);
    ASSERT_TRUE(test::Pump([&] {
        return test::WindowPixel(*slip, TPoint(5, 0)) == TColor::FromSys(COLOR_3DSHADOW).Rgb() &&
               test::WindowPixel(*slip, TPoint(5, 1)) == TColor::FromSys(COLOR_3DHILIGHT).Rgb();
    })) << std::hex
        << test::WindowPixel(*slip, TPoint(5, 0)) << " " << test::WindowPixel(*slip, TPoint(5, 1));
}

TEST_F(FrameTest, MouseEnterAndLeaveShowHintAndTooltip)
{
    QWidget* widget = WidgetOf(*m_bar);
    const TRect open = m_open->GetBounds();
    test::SendMouse(widget, QEvent::MouseMove, Qt::NoButton, test::WidgetPoint(*m_bar, open.TopLeft().OffsetBy(2, 2)),
                    Qt::NoButton);
    EXPECT_EQ(m_bar->GetGadgetAtMouse(), m_open);
    EXPECT_EQ(m_bar->GetShownTooltip(), "Open mailbox");
    EXPECT_EQ(m_status->GetHintAreaText(), "Opens a mailbox");

    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(widget, &leave);
    EXPECT_EQ(m_bar->GetGadgetAtMouse(), nullptr);
    EXPECT_EQ(m_bar->GetShownTooltip(), "");
    EXPECT_EQ(m_status->GetHintAreaText(), "Ready");
}

TEST_F(FrameTest, ButtonDrawsItsGlyphAndTheStatusBarItsGrip)
{
    m_bar->IdleAction(0); // enables the button whose command the frame handles
    const TRect open = m_open->GetBounds();
    const TRect insets = m_bar->GetNonClientInsets();
    const TPoint centre(insets.left + open.left + open.Width() / 2, insets.top + open.top + open.Height() / 2);
    ASSERT_TRUE(test::Pump([&] { return test::WindowPixel(*m_bar, centre) == RGB(0, 0, 255); }));
    EXPECT_EQ(test::WindowPixel(*m_bar, TPoint(insets.left + open.left, insets.top + open.top)),
              TColor::FromSys(COLOR_3DLIGHT).Rgb()); // the raised edge's outer corner

    const TRect grip = m_status->SizeGripRect();
    ASSERT_FALSE(grip.IsEmpty());
    const TRect client = m_status->GetClientRect();
    EXPECT_EQ(grip.BottomRight(), client.BottomRight());
    const TPoint corner = m_status->ClientToScreen(TPoint(grip.right - 2, grip.bottom - 2));
    EXPECT_EQ(m_status->SendMessage(WM_NCHITTEST, 0, MAKELPARAM(corner.x, corner.y)), HTBOTTOMRIGHT);
    // A disabled button shows its glyph embossed: no blue left.
    const TRect save = m_save->GetBounds();
    EXPECT_FALSE(m_save->GetEnabled());
    const TPoint saveCentre(insets.left + save.left + save.Width() / 2, insets.top + save.top + save.Height() / 2);
    EXPECT_NE(test::WindowPixel(*m_bar, saveCentre), RGB(255, 0, 0));
    // The gadgets keep clear of the grip.
    for (TGadget* g = m_status->FirstGadget(); g != nullptr; g = m_status->NextGadget(*g)) {
        EXPECT_LE(g->GetBounds().right, grip.left);
    }
    EXPECT_TRUE(test::WriteShot(*m_frame, "frame-decorated"));
}

} // namespace
} // namespace qm::gui
