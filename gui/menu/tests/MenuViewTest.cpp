// Owner-drawn menus on the screen: the bar lays out by the sizes WM_MEASUREITEM answers, pop-up items are drawn at
// the rectangles WM_DRAWITEM gives, and a choice made in a tracked pop-up reaches the owner after tracking.
#include "gui/menu/MenuView.h"

#include "gui/draw/Dc.h"
#include "gui/frame/FrameWindow.h"
#include "gui/model/Metrics.h"
#include "gui/window/WindowWidget.h"
#include "gui/window/tests/WindowTestSupport.h"
#include "testsupport/WaitUntil.h"

#include <QDir>
#include <QTimer>
#include <gtest/gtest.h>

#include <map>

namespace qm::gui {
namespace {

// The colour an owner draws item data d in.
TColor ItemColor(std::uint64_t d)
{
    return TColor(RGB(static_cast<int>(40 * d % 256), 200, static_cast<int>(255 - 30 * d % 256)));
}

struct DrawnItem {
    TRect Rect;
    UINT State = 0;
};

// A frame that measures its owner-drawn items by a table keyed by item data and fills each item in its colour.
class TOwnerFrame : public TFrameWindow {
public:
    TOwnerFrame()
        : TFrameWindow(nullptr, "owner")
    {
        Attr.Style = WS_POPUP | WS_VISIBLE;
        Attr.X = 10;
        Attr.Y = 10;
        Attr.W = 400;
        Attr.H = 300;
    }

    std::map<std::uint64_t, TSize> Sizes;
    std::map<std::uint64_t, DrawnItem> Drawn;
    std::vector<UINT> Commands;
    int MeasureCalls = 0;

    LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override
    {
        if (msg == WM_MEASUREITEM) {
            auto* mis = reinterpret_cast<MEASUREITEMSTRUCT*>(lParam);
            ++MeasureCalls;
            mis->itemWidth = static_cast<UINT>(Sizes[mis->itemData].cx);
            mis->itemHeight = static_cast<UINT>(Sizes[mis->itemData].cy);
            return 1;
        }
        if (msg == WM_DRAWITEM) {
            auto* dis = reinterpret_cast<DRAWITEMSTRUCT*>(lParam);
            dis->hDC->FillRect(dis->rcItem, TBrush(ItemColor(dis->itemData)));
            Drawn[dis->itemData] = DrawnItem{dis->rcItem, dis->itemState};
            return 1;
        }
        if (msg == WM_COMMAND) {
            Commands.push_back(LOWORD(wParam));
        }
        return TFrameWindow::WindowProc(msg, wParam, lParam);
    }
};

TColor PixelOf(TWindow& window, TPoint windowPoint)
{
    auto* widget = dynamic_cast<TWindowWidget*>(window.GetWidget());
    const QRgb rgb = widget->Image().pixel(windowPoint.x, windowPoint.y);
    return TColor(RGB(qRed(rgb), qGreen(rgb), qBlue(rgb)));
}

bool Pump(const std::function<bool()>& done)
{
    return qm::test::WaitUntil([&] {
        QApplication::processEvents();
        return done();
    });
}

class MenuViewTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        test::GuiTestApp();
        m_app = std::make_unique<TApplication>();
        m_frame = std::make_unique<TOwnerFrame>();
    }

    void TearDown() override
    {
        m_frame->Destroy();
        m_frame.reset();
        m_app.reset();
        EXPECT_EQ(ActiveMenuTracker(), nullptr);
    }

    std::unique_ptr<TApplication> m_app;
    std::unique_ptr<TOwnerFrame> m_frame;
};

TEST_F(MenuViewTest, BarLaysOutByMeasureItemWidths)
{
    struct Case {
        std::vector<int> Widths;
        int Height;
    };

    const Case cases[] = {{{40, 75, 23}, 20}, {{120}, 26}, {{60, 60, 60, 60}, 12}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "widths " << c.Widths.size() << " height " << c.Height);
        m_frame = std::make_unique<TOwnerFrame>();
        HMENU bar = CreateMenu();
        for (std::size_t i = 0; i < c.Widths.size(); ++i) {
            const std::uint64_t data = i + 1;
            m_frame->Sizes[data] = TSize(c.Widths[i], c.Height);
            HMENU sub = CreatePopupMenu();
            AppendMenu(sub, MF_STRING, 500 + i, "Item");
            ASSERT_TRUE(AppendMenu(bar, MF_OWNERDRAW | MF_POPUP, sub.Value, {}, data));
        }
        ASSERT_TRUE(m_frame->AssignMenu(bar));
        ASSERT_TRUE(m_frame->Create());
        ASSERT_TRUE(Pump([&] { return m_frame->Drawn.size() == c.Widths.size(); }));

        const std::vector<TRect> items = m_frame->GetMenuBarItemRects();
        ASSERT_EQ(items.size(), c.Widths.size());
        const TRect window = m_frame->GetWindowRect();
        const int line = std::max(c.Height, GetSystemMetrics(SM_CYMENU));
        int x = 0;
        for (std::size_t i = 0; i < items.size(); ++i) {
            EXPECT_EQ(items[i].Width(), c.Widths[i]) << "item " << i;
            EXPECT_EQ(items[i].left - window.left, x) << "item " << i;
            x += c.Widths[i];
            // The bar item is drawn by its owner at the rectangle it measured.
            const DrawnItem& drawn = m_frame->Drawn[i + 1];
            EXPECT_EQ(drawn.Rect, items[i].OffsetBy(-window.left, -window.top));
            EXPECT_EQ(PixelOf(*m_frame, drawn.Rect.TopLeft()).Rgb(), ItemColor(i + 1).Rgb());
            EXPECT_EQ(PixelOf(*m_frame, TPoint(drawn.Rect.right - 1, drawn.Rect.bottom - 1)).Rgb(),
                      ItemColor(i + 1).Rgb());
        }
        // The client area starts under the bar.
        EXPECT_EQ(m_frame->GetNonClientInsets().top, line + 1);
        m_frame->Destroy();
    }
}

TEST_F(MenuViewTest, PopupItemIsDrawnAtItsDrawItemRectangleAndChoiceIsPostedAfterTracking)
{
    const int heights[] = {18, 24, 30};
    TPopupMenu popup;
    for (int i = 0; i < 3; ++i) {
        const std::uint64_t data = static_cast<std::uint64_t>(i) + 1;
        m_frame->Sizes[data] = TSize(90 + 10 * i, heights[i]);
        ASSERT_TRUE(popup.AppendMenu(MF_OWNERDRAW, 700 + static_cast<UINT>(i), {}, data));
        // A command nobody handles would be greyed by auto-enable and could not be chosen.
        m_frame->OnCommand(700 + static_cast<UINT>(i), [] {});
    }
    ASSERT_TRUE(m_frame->Create());

    std::vector<std::pair<TRect, TColor>> seen; // item rectangles and the popup's pixels there
    std::vector<TRect> trackerRects;
    bool failed = false;
    int step = 0;
    QTimer driver;
    const auto deadline = qm::test::TestClock::now() + qm::test::kPatience;
    QObject::connect(&driver, &QTimer::timeout, [&] {
        TWindow* window = ActiveMenuPopup(0);
        if (qm::test::TestClock::now() > deadline) {
            failed = true;
            CancelMenuTracking();
            return;
        }
        auto* widget = window != nullptr ? dynamic_cast<TWindowWidget*>(window->GetWidget()) : nullptr;
        if (widget == nullptr || !widget->Painted()) {
            return;
        }
        if (step == 0 && m_frame->Drawn.size() == 3) {
            for (int i = 0; i < 3; ++i) {
                const DrawnItem& d = m_frame->Drawn[static_cast<std::uint64_t>(i) + 1];
                const TRect screen = ActiveMenuTracker()->ItemRect(0, i);
                const TRect popupRect = ActiveMenuTracker()->PopupRect(0);
                trackerRects.push_back(screen.OffsetBy(-popupRect.left, -popupRect.top));
                seen.emplace_back(d.Rect, PixelOf(*window, TPoint(d.Rect.left + 1, d.Rect.top + 1)));
            }
            m_frame->Drawn.clear();
            step = 1;
            // Down twice selects the second item; it is drawn again, selected.
            test::SendKey(widget, Qt::Key_Down);
            test::SendKey(widget, Qt::Key_Down);
            return;
        }
        if (step == 1 && m_frame->Drawn.contains(2) && (m_frame->Drawn[2].State & ODS_SELECTED) != 0) {
            step = 2;
            test::SendKey(widget, Qt::Key_Return);
        }
    });
    driver.start(5);
    const UINT result = TrackPopupMenuEx(popup, TPM_LEFTALIGN, 50, 60, *m_frame, nullptr);
    driver.stop();
    ASSERT_FALSE(failed) << "the pop-up never showed its items";
    EXPECT_EQ(result, 1u);

    ASSERT_EQ(seen.size(), 3u);
    int y = TMenuTracker::kPopupBorder;
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(seen[static_cast<std::size_t>(i)].first, trackerRects[static_cast<std::size_t>(i)]);
        EXPECT_EQ(seen[static_cast<std::size_t>(i)].first.top, y);
        EXPECT_EQ(seen[static_cast<std::size_t>(i)].first.Height(), heights[i]);
        EXPECT_EQ(seen[static_cast<std::size_t>(i)].second.Rgb(), ItemColor(static_cast<std::uint64_t>(i) + 1).Rgb());
        y += heights[i];
    }
    // The command arrives by the queue once tracking is over, exactly once.
    EXPECT_TRUE(m_frame->Commands.empty());
    ASSERT_TRUE(Pump([&] { return !m_frame->Commands.empty(); }));
    QApplication::processEvents();
    EXPECT_EQ(m_frame->Commands, std::vector<UINT>{701});
    EXPECT_EQ(ActiveMenuPopup(0), nullptr);
}

TEST_F(MenuViewTest, TrackingRefusesWhatIsNoMenu)
{
    ASSERT_TRUE(m_frame->Create());
    HMENU empty = CreatePopupMenu();
    EXPECT_EQ(TrackPopupMenuEx(HMENU{}, TPM_RETURNCMD, 0, 0, *m_frame, nullptr), 0u);
    EXPECT_EQ(TrackPopupMenuEx(empty, TPM_RETURNCMD, 0, 0, *m_frame, nullptr), 0u);
    DestroyMenu(empty);
}

} // namespace
} // namespace qm::gui
