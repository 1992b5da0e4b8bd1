#include "gui/model/PaneLayout.h"

#include "gui/model/TextOrder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qm::gui {
namespace {

constexpr int kLog = 2000;
constexpr int kTree = 2001;
constexpr int kSessions = 2008;

TRect PlaceOf(const TPaneLayout& layout, const TRect& client, int pane)
{
    for (const TPanePlace& place : layout.Places(client)) {
        if (place.Pane == pane) {
            return place.Rect;
        }
    }
    ADD_FAILURE() << "no place for pane " << pane;
    return {};
}

// The console's arrangement: log above sessions at 0.7, then log beside the tree at 0.7.
TPaneLayout ConsoleLayout()
{
    TPaneLayout layout;
    EXPECT_TRUE(layout.Split(kLog, kSessions, TSplitDirection::psHorizontal, 0.7));
    EXPECT_TRUE(layout.Split(kLog, kTree, TSplitDirection::psVertical, 0.7));
    return layout;
}

TEST(PaneLayoutTest, NestedSplitsShareTheClientAreaByTheirRatios)
{
    const TPaneLayout layout = ConsoleLayout();
    const TRect client(0, 0, 604, 404);
    EXPECT_EQ(layout.Panes(), (std::vector<int>{kLog, kTree, kSessions}));
    // 400 pixels besides the bar: 280 above, then the bar, then 120 below; across, 600 split 420 / 180.
    EXPECT_EQ(PlaceOf(layout, client, kSessions), TRect(0, 284, 604, 404));
    EXPECT_EQ(PlaceOf(layout, client, kLog), TRect(0, 0, 420, 280));
    EXPECT_EQ(PlaceOf(layout, client, kTree), TRect(424, 0, 604, 280));
    const std::vector<TSplitterBar> bars = layout.Bars(client);
    ASSERT_EQ(bars.size(), 2u);
    EXPECT_EQ(bars[0].Rect, TRect(0, 280, 604, 284));
    EXPECT_EQ(bars[0].Direction, TSplitDirection::psHorizontal);
    EXPECT_EQ(bars[1].Rect, TRect(420, 0, 424, 280));
    EXPECT_EQ(bars[1].Direction, TSplitDirection::psVertical);
}

TEST(PaneLayoutTest, RefusesSplitsThatDoNotNameOnePaneAndOneNewPane)
{
    struct Case {
        const char* What;
        int Target;
        int New;
        TSplitDirection Direction;
        double Percent;
    };

    const Case cases[] = {
            {"unknown target", 77, 78, TSplitDirection::psVertical, 0.5},
            {"new pane already placed", kLog, kTree, TSplitDirection::psVertical, 0.5},
            {"a pane split with itself", kLog, kLog, TSplitDirection::psVertical, 0.5},
            {"no direction", kLog, 78, TSplitDirection::psNone, 0.5},
            {"share above one", kLog, 78, TSplitDirection::psVertical, 1.5},
            {"share below zero", kLog, 78, TSplitDirection::psVertical, -0.1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        TPaneLayout layout = ConsoleLayout();
        EXPECT_FALSE(layout.Split(c.Target, c.New, c.Direction, c.Percent));
        EXPECT_EQ(layout.Panes().size(), 3u);
    }
}

TEST(PaneLayoutTest, DraggingABarMovesItWithinItsSplitOnly)
{
    TPaneLayout layout = ConsoleLayout();
    const TRect client(0, 0, 604, 404);
    const std::optional<TSplitterBar> across = layout.BarAt(client, TPoint(10, 282));
    ASSERT_TRUE(across.has_value());
    EXPECT_FALSE(layout.BarAt(client, TPoint(10, 100)).has_value());

    ASSERT_TRUE(layout.MoveBar(client, across->Split, 100));
    EXPECT_EQ(PlaceOf(layout, client, kLog), TRect(0, 0, 420, 100));
    EXPECT_EQ(PlaceOf(layout, client, kSessions), TRect(0, 104, 604, 404));
    // Past the end the bar stops at the split's edge; the pane behind it keeps no height.
    ASSERT_TRUE(layout.MoveBar(client, across->Split, 5000));
    EXPECT_EQ(PlaceOf(layout, client, kSessions), TRect(0, 404, 604, 404));
    ASSERT_TRUE(layout.MoveBar(client, across->Split, -50));
    EXPECT_EQ(PlaceOf(layout, client, kLog), TRect(0, 0, 420, 0));
    EXPECT_FALSE(layout.MoveBar(client, 999, 10));
}

TEST(PaneLayoutTest, RemovingAPaneGivesItsSiblingTheWholePlace)
{
    TPaneLayout layout = ConsoleLayout();
    const TRect client(0, 0, 604, 404);
    ASSERT_TRUE(layout.Remove(kLog));
    EXPECT_EQ(layout.Panes(), (std::vector<int>{kTree, kSessions}));
    EXPECT_EQ(PlaceOf(layout, client, kTree), TRect(0, 0, 604, 280));
    ASSERT_TRUE(layout.Remove(kSessions));
    EXPECT_EQ(PlaceOf(layout, client, kTree), client);
    EXPECT_TRUE(layout.Bars(client).empty());
    EXPECT_FALSE(layout.Remove(kSessions));
    ASSERT_TRUE(layout.Remove(kTree));
    EXPECT_TRUE(layout.IsEmpty());
}

TEST(PaneLayoutTest, TinyClientAreasGiveEmptyPanesNotNegativeOnes)
{
    const TPaneLayout layout = ConsoleLayout();
    for (const TPanePlace& place : layout.Places(TRect(0, 0, 2, 2))) {
        SCOPED_TRACE(place.Pane);
        EXPECT_GE(place.Rect.Width(), 0);
        EXPECT_GE(place.Rect.Height(), 0);
    }
}

TEST(TextOrderTest, SortedTextsIgnoreCaseAndKeepEqualTextsInArrivalOrder)
{
    struct Case {
        std::string A;
        std::string B;
        int Want;
    };

    const Case cases[] = {
            {"abc", "ABC", 0}, {"abc", "abd", -1}, {"B", "a", 1},
            {"ab", "abc", -1}, {"", "a", -1},      {"z", "\xC3\xA9", -1}, // 8-bit bytes after ASCII
            {"_", "a", -1},                                               // '_' sorts before the folded letters
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.A + " vs " + c.B);
        const int got = CompareTextNoCase(c.A, c.B);
        EXPECT_EQ((got > 0) - (got < 0), c.Want);
    }
    const std::vector<std::string> sorted = {"alpha", "Beta", "beta", "delta"};
    EXPECT_EQ(SortedInsertIndex(sorted, "BETA"), 3);
    EXPECT_EQ(SortedInsertIndex(sorted, "Aardvark"), 0);
    EXPECT_EQ(SortedInsertIndex(sorted, "gamma"), 4);
    EXPECT_EQ(SortedInsertIndex({}, "x"), 0);
}

} // namespace
} // namespace qm::gui
