#include "gui/model/Geometry.h"

#include <gtest/gtest.h>

namespace qm::gui {
namespace {

TEST(GeometryTest, RectangleExcludesItsRightAndBottomEdges)
{
    const TRect r(10, 20, 30, 50);

    struct Case {
        TPoint Point;
        bool Inside;
    };

    const Case cases[] = {
            {{10, 20}, true}, {{29, 49}, true},  {{30, 20}, false}, {{10, 50}, false},
            {{9, 25}, false}, {{15, 19}, false}, {{29, 20}, true},  {{30, 50}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "point " << c.Point.x << "," << c.Point.y);
        EXPECT_EQ(r.Contains(c.Point), c.Inside);
    }
    EXPECT_EQ(r.Width(), 20);
    EXPECT_EQ(r.Height(), 30);
    EXPECT_FALSE(TRect(5, 5, 5, 9).Contains(TPoint(5, 5))) << "an empty rectangle holds no point";
}

TEST(GeometryTest, IntersectionAndUnionFollowTheWindowRules)
{
    struct Case {
        TRect A, B, And, Or;
    };

    const Case cases[] = {
            {{0, 0, 10, 10}, {5, 5, 15, 15}, {5, 5, 10, 10}, {0, 0, 15, 15}},
            // Edges that only meet do not overlap, as the right edge is outside.
            {{0, 0, 10, 10}, {10, 0, 20, 10}, {}, {0, 0, 20, 10}},
            // An empty rectangle does not widen a union.
            {{0, 0, 10, 10}, {50, 50, 50, 60}, {}, {0, 0, 10, 10}},
            {{3, 3, 3, 3}, {1, 1, 2, 2}, {}, {1, 1, 2, 2}},
            {{0, 0, 0, 0}, {0, 0, 0, 0}, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "A " << c.A.left << "," << c.A.top << "," << c.A.right << "," << c.A.bottom);
        EXPECT_EQ(c.A & c.B, c.And);
        EXPECT_EQ(c.A | c.B, c.Or);
        EXPECT_EQ(c.A.Touches(c.B), !c.And.IsEmpty());
    }
}

TEST(GeometryTest, InflateOffsetAndMoveKeepTheSize)
{
    TRect r(10, 10, 20, 30);
    EXPECT_EQ(r.InflatedBy(2, 3), TRect(8, 7, 22, 33));
    EXPECT_EQ(r.InflatedBy(-5, -10), TRect(15, 20, 15, 20));
    EXPECT_TRUE(r.InflatedBy(-5, -10).IsEmpty());
    EXPECT_EQ(r.OffsetBy(-10, 5), TRect(0, 15, 10, 35));
    r.MoveTo(100, 200);
    EXPECT_EQ(r, TRect(100, 200, 110, 220));
    EXPECT_EQ(TRect(20, 30, 10, 10).Normalized(), TRect(10, 10, 20, 30));
    EXPECT_EQ(TRect(TPoint(4, 5), TSize(6, 7)), TRect(4, 5, 10, 12));
}

} // namespace
} // namespace qm::gui
