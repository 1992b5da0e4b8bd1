// Owner-drawn menus on the screen: the bar lays out by the sizes WM_MEASUREITEM answers, pop-up items are drawn at
// the rectangles WM_DRAWITEM gives, and a choice made in a tracked pop-up reaches the owner after tracking.
#include "gui/menu/MenuView.h"

#include "gui/draw/BitmapResources.h"
#include "gui/draw/Dc.h"
#include "gui/frame/FrameWindow.h"
#include "gui/model/Metrics.h"
#include "gui/window/WindowWidget.h"
#include "gui/window/tests/WindowTestSupport.h"
#include "testsupport/WaitUntil.h"

#include <QCoreApplication>
#include <QDir>
#include <QKeyEvent>
#include <QTimer>
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <optional>

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
    std::map<char, LRESULT> MenuChars;          // WM_MENUCHAR answers by character
    std::vector<std::pair<UINT, UINT>> Selects; // WM_MENUSELECT item and flags
    int MeasureCalls = 0;

    void MenuSelect(WPARAM wParam, LPARAM) override { Selects.emplace_back(LOWORD(wParam), HIWORD(wParam)); }

    LRESULT MenuChar(WPARAM wParam, LPARAM) override
    {
        const auto it = MenuChars.find(static_cast<char>(LOWORD(wParam)));
        return it != MenuChars.end() ? it->second : 0;
    }

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
    auto* widget = dynamic_cast<TWindowWidget*>(WidgetOf(window));
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
        auto* widget = window != nullptr ? dynamic_cast<TWindowWidget*>(WidgetOf(*window)) : nullptr;
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

// Posts a key event as the platform delivers it: through the event loop, so a menu loop it starts runs there.
void PostKey(QWidget* widget, QEvent::Type type, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier,
             const QString& text = {})
{
    QCoreApplication::postEvent(widget, new QKeyEvent(type, key, modifiers, text));
}

void PostKeyClick(QWidget* widget, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier, const QString& text = {})
{
    PostKey(widget, QEvent::KeyPress, key, modifiers, text);
    PostKey(widget, QEvent::KeyRelease, key, modifiers, text);
}

TEST_F(MenuViewTest, KeyboardEntersTheMenuBarThroughTheFrame)
{
    // "&File" (New, Open), an owner-drawn "Tools" (Run) found through WM_MENUCHAR, "&Help" (About).
    HMENU bar = CreateMenu();
    const HMENU file = CreatePopupMenu();
    AppendMenu(file, MF_STRING, 801, "&New");
    AppendMenu(file, MF_STRING, 802, "&Open");
    const HMENU tools = CreatePopupMenu();
    AppendMenu(tools, MF_STRING, 803, "&Run");
    const HMENU help = CreatePopupMenu();
    AppendMenu(help, MF_STRING, 804, "&About");
    AppendMenu(bar, MF_POPUP, file.Value, "&File");
    AppendMenu(bar, MF_POPUP | MF_OWNERDRAW, tools.Value, {}, 5);
    AppendMenu(bar, MF_POPUP, help.Value, "&Help");
    m_frame->Sizes[5] = TSize(50, 18);
    m_frame->MenuChars['t'] = MAKELRESULT(1, MNC_EXECUTE);
    for (UINT id = 801; id <= 804; ++id) {
        m_frame->OnCommand(id, [] {});
    }
    ASSERT_TRUE(m_frame->AssignMenu(bar));
    ASSERT_TRUE(m_frame->Create());
    m_frame->ShowWindow(SW_SHOW);
    QWidget* widget = WidgetOf(*m_frame);
    ASSERT_TRUE(Pump([&] { return dynamic_cast<TWindowWidget*>(widget)->Painted(); }));
    const TRect window = m_frame->GetWindowRect();
    const TRect fileItem = m_frame->GetMenuBarItemRects().at(0).OffsetBy(-window.left, -window.top);

    const auto tracking = [] {
        return ActiveMenuTracker() != nullptr;
    };
    const auto barAt = [](int item, int depth) {
        const TMenuTracker* t = ActiveMenuTracker();
        return t != nullptr && t->BarSelection() == item && t->Depth() == depth &&
               (depth == 0 || (ActiveMenuPopup(0) != nullptr && t->SelectionAt(0) == 0));
    };
    bool barHighlighted = false;

    struct Stage {
        const char* What;
        std::function<void()> Input;
        std::function<bool()> Reached;
    };

    const std::vector<Stage> stages = {
            {"F10 selects File", [&] { PostKeyClick(widget, Qt::Key_F10); },
             [&] {
                 if (!barAt(0, 0)) {
                     return false;
                 }
                 barHighlighted = PixelOf(*m_frame, fileItem.TopLeft().OffsetBy(2, 2)).Rgb() ==
                                  TColor::FromSys(COLOR_HIGHLIGHT).Rgb();
                 return true;
             }},
            {"right, right, left",
             [&] {
                 PostKeyClick(widget, Qt::Key_Right);
                 PostKeyClick(widget, Qt::Key_Right);
                 PostKeyClick(widget, Qt::Key_Left);
             },
             [&] {
                 return m_frame->Selects.size() >= 4 && barAt(1, 0);
             }},
            {"escape leaves", [&] { PostKeyClick(widget, Qt::Key_Escape); },
             [&] {
                 return !tracking();
             }},
            {"Alt+H opens Help with About selected",
             [&] {
                 PostKey(widget, QEvent::KeyPress, Qt::Key_Alt, Qt::AltModifier);
                 PostKey(widget, QEvent::KeyPress, Qt::Key_H, Qt::AltModifier, "h");
             },
             [&] {
                 return barAt(2, 1);
             }},
            {"return chooses About", [&] { PostKey(widget, QEvent::KeyPress, Qt::Key_Return); },
             [&] {
                 return !tracking() && !m_frame->Commands.empty();
             }},
            {"the releases open nothing",
             [&] {
                 PostKey(widget, QEvent::KeyRelease, Qt::Key_H, Qt::AltModifier, "h");
                 PostKey(widget, QEvent::KeyRelease, Qt::Key_Alt, Qt::AltModifier);
                 PostKeyClick(widget, Qt::Key_Shift);
             },
             [&] {
                 return !tracking();
             }},
            {"a lone Alt selects File",
             [&] {
                 PostKey(widget, QEvent::KeyPress, Qt::Key_Alt, Qt::AltModifier);
                 PostKey(widget, QEvent::KeyRelease, Qt::Key_Alt, Qt::AltModifier);
             },
             [&] {
                 return barAt(0, 0);
             }},
            {"Alt again leaves", [&] { PostKey(widget, QEvent::KeyPress, Qt::Key_Alt, Qt::AltModifier); },
             [&] {
                 return !tracking();
             }},
            {"Alt+T opens the owner-drawn Tools through WM_MENUCHAR",
             [&] {
                 PostKey(widget, QEvent::KeyRelease, Qt::Key_Alt, Qt::AltModifier);
                 PostKey(widget, QEvent::KeyPress, Qt::Key_Alt, Qt::AltModifier);
                 PostKey(widget, QEvent::KeyPress, Qt::Key_T, Qt::AltModifier, "t");
             },
             [&] {
                 return barAt(1, 1);
             }},
            {"return chooses Run", [&] { PostKey(widget, QEvent::KeyPress, Qt::Key_Return); },
             [&] {
                 return !tracking() && m_frame->Commands.size() == 2;
             }},
    };

    std::size_t next = 0;
    bool waiting = false;
    QTimer driver;
    QObject::connect(&driver, &QTimer::timeout, [&] {
        if (waiting && !stages[next].Reached()) {
            return;
        }
        if (waiting) {
            ++next;
            waiting = false;
        }
        if (next < stages.size()) {
            stages[next].Input();
            waiting = true;
        }
    });
    driver.start(5);
    const bool done = Pump([&] { return next == stages.size(); });
    driver.stop();
    if (ActiveMenuTracker() != nullptr) {
        CancelMenuTracking();
    }
    ASSERT_TRUE(done) << "stuck at: " << stages[std::min(next, stages.size() - 1)].What;
    EXPECT_TRUE(barHighlighted) << "F10's selection shows in the bar before any other key";

    // The bar's items were selected in order: File, Tools, Help, Tools (bar items name their position).
    std::vector<UINT> firstFour;
    for (std::size_t i = 0; i < 4 && i < m_frame->Selects.size(); ++i) {
        firstFour.push_back(m_frame->Selects[i].first);
        EXPECT_NE(m_frame->Selects[i].second & MF_HILITE, 0u);
    }
    EXPECT_EQ(firstFour, (std::vector<UINT>{0, 1, 2, 1}));
    EXPECT_EQ(m_frame->Commands, (std::vector<UINT>{804, 803}));
}

TEST_F(MenuViewTest, BitmapItemsAreMeasuredByTheirBitmapsAndDrawnInEachState)
{
    // A dark 20 x 12 bitmap with one red corner pixel, so its place and its inversion can be read.
    constexpr int kBitmap = 4101;
    constexpr int kMissing = 4102;
    const TColor dark(RGB(10, 20, 200));
    const TColor corner(RGB(200, 30, 40));
    TBitmap image(20, 12, dark);
    image.SetPixel(0, 0, corner);
    RegisterBitmapResource(kBitmap, image);
    const int menuHeight = GetSystemMetrics(SM_CYMENU);

    TPopupMenu popup;
    ASSERT_TRUE(popup.AppendMenu(MF_BITMAP, 801, {}, kBitmap));             // 0: the bitmap is the item
    ASSERT_TRUE(popup.AppendMenu(MF_BITMAP | MF_GRAYED, 802, {}, kBitmap)); // 1: grey
    ASSERT_TRUE(popup.AppendMenu(MF_STRING | MF_CHECKED, 803, "&Save"));    // 2: image beside, checked
    ASSERT_TRUE(popup.AppendMenu(MF_STRING, 804, "&Print"));                // 3: a missing image beside
    ASSERT_TRUE(popup.AppendMenu(MF_BITMAP, 805, {}, kMissing));            // 4: a missing bitmap item
    MENUITEMINFO beside;
    beside.fMask = MIIM_BITMAP;
    beside.hbmpItem = kBitmap;
    ASSERT_TRUE(popup.SetMenuItemInfo(803, false, beside));
    beside.hbmpItem = kMissing;
    ASSERT_TRUE(popup.SetMenuItemInfo(804, false, beside));
    TMenu bar;
    ASSERT_TRUE(bar.AppendMenu(MF_BITMAP, 806, {}, kBitmap));

    // Sizes: a bitmap item is its bitmap with the check and arrow room (in the bar: padding, a menu line high);
    // an image beside a string widens the check room to the image and 4 pixels.
    const TSize plain = MeasureMenuItem(*m_frame, popup, 3, false);
    EXPECT_EQ(MeasureMenuItem(*m_frame, popup, 0, false), TSize(18 + 20 + 15, 14));
    EXPECT_EQ(MeasureMenuItem(*m_frame, bar, 0, true), TSize(20 + 12, std::max(menuHeight, 14)));
    EXPECT_EQ(MeasureMenuItem(*m_frame, popup, 4, false), TSize(18 + 15, 2)) << "an unreadable bitmap is empty";
    const TSize saveSize = MeasureMenuItem(*m_frame, popup, 2, false);
    const TSize saveText = MeasureMenuItem(*m_frame, popup, 2, true); // in the bar no image shows
    EXPECT_EQ(saveSize.cx, saveText.cx - 12 + 24 + 15 + 8);
    EXPECT_EQ(saveSize.cy, std::max(plain.cy, 14));

    struct Case {
        const char* Name;
        HMENU Menu;
        int Pos;
        bool Selected;
        bool InBar;
        TPoint Corner; // where the bitmap's top-left pixel lands, from the item's top-left
        TColor Expected;
    };

    const TColor shadow = TColor::FromSys(COLOR_3DSHADOW);
    const TColor inverted(RGB(255 - 200, 255 - 30, 255 - 40));
    const int barTop = (std::max(menuHeight, 14) - 12) / 2;
    const Case cases[] = {
            {"pop-up bitmap item", popup, 0, false, false, TPoint(18, 1), corner},
            {"selected bitmap item is inverted", popup, 0, true, false, TPoint(18, 1), inverted},
            {"grey bitmap item is embossed", popup, 1, false, false, TPoint(18, 1), shadow},
            {"bar bitmap item is centred", bar, 0, false, true, TPoint(6, barTop), corner},
            {"image beside a string", popup, 2, false, false, TPoint(2, (saveSize.cy - 12) / 2), corner},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const TSize size = MeasureMenuItem(*m_frame, c.Menu, c.Pos, c.InBar);
        TMemoryDC dc;
        dc.SelectBitmap(TBitmap(size.cx + 20, size.cy + 20, TColor(RGB(0, 255, 0))));
        const TRect rect(TPoint(10, 10), size);
        DrawMenuItem(dc, *m_frame, c.Menu, c.Pos, rect, c.Selected, c.InBar);
        const TPoint at = rect.TopLeft().OffsetBy(c.Corner.x, c.Corner.y);
        EXPECT_EQ(dc.GetPixel(at).Rgb(), c.Expected.Rgb());
        const TColor back = TColor::FromSys(c.Selected ? COLOR_HIGHLIGHT : COLOR_MENU);
        EXPECT_EQ(dc.GetPixel(rect.TopLeft()).Rgb(), back.Rgb()) << "the item's background";
        EXPECT_EQ(dc.GetPixel(TPoint(9, 9)).Rgb(), RGB(0, 255, 0)) << "nothing drawn outside the item";
        if (c.Pos == 2) {
            // The checked item frames its image sunken instead of drawing a tick.
            EXPECT_EQ(dc.GetPixel(at.OffsetBy(-1, -1)).Rgb(), shadow.Rgb());
        }
    }
    ClearBitmapResources();
}

TEST_F(MenuViewTest, OwnerDrawnSubmenuItemGetsTheArrowOverWhatTheOwnerDrew)
{
    // The owner fills each item in one colour and leaves the arrow room alone; the layer adds the arrow of a
    // submenu item in the menu-text colour (highlight text when selected), only there and only in a pop-up.
    TPopupMenu popup;
    HMENU sub = CreatePopupMenu();
    ASSERT_TRUE(AppendMenu(sub, MF_STRING, 711, "Inner"));
    ASSERT_TRUE(popup.AppendMenu(MF_OWNERDRAW | MF_POPUP, sub.Value, {}, 1));
    ASSERT_TRUE(popup.AppendMenu(MF_OWNERDRAW, 712, {}, 2));
    TMenu bar;
    HMENU barSub = CreatePopupMenu();
    ASSERT_TRUE(bar.AppendMenu(MF_OWNERDRAW | MF_POPUP, barSub.Value, {}, 3));
    ASSERT_TRUE(m_frame->Create());

    struct Case {
        const char* Name;
        HMENU Menu;
        int Pos;
        bool Selected;
        bool InBar;
        std::optional<int> ArrowColor; // none: no arrow pixel anywhere
    };

    const Case cases[] = {
            {"submenu item", popup, 0, false, false, COLOR_MENUTEXT},
            {"selected submenu item", popup, 0, true, false, COLOR_HIGHLIGHTTEXT},
            {"command item", popup, 1, false, false, std::nullopt},
            {"menu-bar item with a pop-up", bar, 0, false, true, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const TRect rect(10, 10, 130, 32);
        TMemoryDC dc;
        dc.SelectBitmap(TBitmap(150, 50, TColor(RGB(0, 255, 0))));
        MENUITEMINFO info;
        info.fMask = MIIM_DATA;
        ASSERT_TRUE(GetMenuItemInfo(c.Menu, static_cast<UINT>(c.Pos), true, info));
        const TColor owner = ItemColor(info.dwItemData);
        DrawMenuItem(dc, *m_frame, c.Menu, c.Pos, rect, c.Selected, c.InBar);
        // The arrow's tip column stands in the arrow room, at the item's vertical middle.
        const TPoint tip(rect.right - 9, rect.top + rect.Height() / 2);
        if (c.ArrowColor) {
            EXPECT_EQ(dc.GetPixel(tip).Rgb(), TColor::FromSys(*c.ArrowColor).Rgb());
        } else {
            EXPECT_EQ(dc.GetPixel(tip).Rgb(), owner.Rgb());
        }
        int arrowPixels = 0;
        for (int y = rect.top; y < rect.bottom; ++y) {
            for (int x = rect.left; x < rect.right; ++x) {
                if (dc.GetPixel(TPoint(x, y)).Rgb() != owner.Rgb()) {
                    ++arrowPixels;
                    EXPECT_GE(x, rect.right - 15) << "the arrow stays in the arrow room";
                }
            }
        }
        EXPECT_EQ(arrowPixels > 0, c.ArrowColor.has_value());
        EXPECT_EQ(dc.GetPixel(TPoint(9, 9)).Rgb(), RGB(0, 255, 0)) << "nothing drawn outside the item";
    }
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
