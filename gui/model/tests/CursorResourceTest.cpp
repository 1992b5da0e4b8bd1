#include "gui/model/CursorResource.h"

#include "gui/model/Messages.h"

#include <gtest/gtest.h>

namespace qm::gui {
namespace {

TEST(CursorResourceTest, StockAndRegisteredCursorsLoadAndMissingOnesGiveNoCursor)
{
    ClearCursorResources();
    EXPECT_EQ(LoadCursor(IDC_ARROW), IDC_ARROW);
    EXPECT_EQ(LoadCursor(IDC_NO), IDC_NO);
    EXPECT_EQ(LoadCursor(IDC_SIZEWE), IDC_SIZEWE); // the splitter's sizing cursors
    EXPECT_EQ(LoadCursor(IDC_SIZENS), IDC_SIZENS);
    // The kit's drag cursors before the program registered them: null handles.
    EXPECT_EQ(LoadCursor(19097), 0);
    EXPECT_TRUE(RegisterCursorResource(19097, DragMoveCursorPicture()));
    EXPECT_TRUE(RegisterCursorResource(19098, DragCopyCursorPicture()));
    EXPECT_TRUE(RegisterCursorResource(19099, DragRemoveCursorPicture()));
    EXPECT_EQ(LoadCursor(19097), 19097);
    EXPECT_EQ(LoadCursor(19099), 19099);
    ASSERT_NE(FindCursorResource(19098), nullptr);
    EXPECT_EQ(FindCursorResource(19098)->HotSpot, TPoint(0, 0));
    EXPECT_EQ(FindCursorResource(19098)->Width(), 20);
    // A link's hand points with its hot spot on the finger's tip, an outline pixel.
    const TCursorPicture hand = LinkHandCursorPicture();
    EXPECT_TRUE(RegisterCursorResource(24001, hand));
    EXPECT_EQ(hand.Rows[static_cast<std::size_t>(hand.HotSpot.y)][static_cast<std::size_t>(hand.HotSpot.x)], 'X');
    EXPECT_EQ(hand.HotSpot.y, 0);
    // The three pictures differ.
    EXPECT_NE(DragMoveCursorPicture().Rows, DragCopyCursorPicture().Rows);
    EXPECT_NE(DragCopyCursorPicture().Rows, DragRemoveCursorPicture().Rows);
    ClearCursorResources();
    EXPECT_EQ(LoadCursor(19097), 0);
}

TEST(CursorResourceTest, MalformedPicturesAndReservedIdsAreRefused)
{
    ClearCursorResources();
    const TCursorPicture good{{"X ", "oX"}, {0, 0}};

    struct Case {
        const char* What;
        int Id;
        TCursorPicture Picture;
    };

    const Case cases[] = {
            {"empty", 24001, {}},
            {"ragged rows", 24001, {{"XX", "X"}, {0, 0}}},
            {"unknown colour", 24001, {{"X#", "oX"}, {0, 0}}},
            {"hot spot outside", 24001, {{"X ", "oX"}, {2, 0}}},
            {"negative hot spot", 24001, {{"X ", "oX"}, {0, -1}}},
            {"too large", 24001, {std::vector<std::string>(65, std::string(65, 'X')), {0, 0}}},
            {"id 0 stands for no cursor", 0, good},
            {"a stock id", IDC_ARROW, good},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(RegisterCursorResource(c.Id, c.Picture)) << c.What;
    }
    EXPECT_EQ(LoadCursor(24001), 0);
    EXPECT_TRUE(RegisterCursorResource(24001, good));
    EXPECT_EQ(LoadCursor(24001), 24001);
    ClearCursorResources();
}

} // namespace
} // namespace qm::gui
