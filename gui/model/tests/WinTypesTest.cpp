#include "gui/model/WinTypes.h"

#include "gui/model/Messages.h"

#include <gtest/gtest.h>

namespace qm::gui {
namespace {

TEST(WinTypesTest, MouseCoordinatesKeepTheirSignThroughLParam)
{
    struct Case {
        int X, Y;
    };

    const Case cases[] = {{0, 0}, {-1, -1}, {32767, -32768}, {-5, 1200}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.X << "," << c.Y);
        const LPARAM lp = MAKELPARAM(c.X, c.Y);
        EXPECT_EQ(GET_X_LPARAM(lp), c.X);
        EXPECT_EQ(GET_Y_LPARAM(lp), c.Y);
    }
    EXPECT_EQ(LOWORD(MAKEWPARAM(WM_SIZE, 7)), WM_SIZE);
    EXPECT_EQ(HIWORD(MAKEWPARAM(WM_SIZE, 7)), 7);
    EXPECT_EQ(HIWORD(static_cast<std::uint64_t>(MAKELRESULT(4, MNC_EXECUTE))), MNC_EXECUTE);
}

} // namespace
} // namespace qm::gui
