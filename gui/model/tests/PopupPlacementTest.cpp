#include "gui/model/PopupPlacement.h"

#include "gui/model/Messages.h"

#include <gtest/gtest.h>

#include <optional>

namespace qm::gui {
namespace {

TEST(PopupPlacementTest, KeepsThePopupOnScreenAndOffTheExclusionRectangle)
{
    const TRect screen(0, 0, 1024, 768);

    struct Case {
        const char* What;
        TPoint At;
        TSize Size;
        UINT Flags;
        std::optional<TRect> Exclude;
        TRect Want;
    };

    const Case cases[] = {
            {"fits as asked", {10, 10}, {100, 200}, 0, {}, {10, 10, 110, 210}},
            {"near the right edge opens left of the point", {1000, 10}, {100, 200}, 0, {}, {900, 10, 1000, 210}},
            {"near the bottom opens above the point", {10, 700}, {100, 200}, 0, {}, {10, 500, 110, 700}},
            {"right-aligned ends at the point", {500, 300}, {100, 200}, TPM_RIGHTALIGN, {}, {400, 300, 500, 500}},
            {"right-aligned near the left edge starts at the point",
             {50, 300},
             {100, 200},
             TPM_RIGHTALIGN,
             {},
             {50, 300, 150, 500}},
            {"centred near the left edge is clamped", {30, 300}, {100, 200}, TPM_CENTERALIGN, {}, {0, 300, 100, 500}},
            {"bottom-aligned", {400, 300}, {100, 200}, TPM_BOTTOMALIGN, {}, {400, 100, 500, 300}},
            {"wider than the screen starts at its left edge", {500, 10}, {2000, 100}, 0, {}, {0, 10, 2000, 110}},
            {"button strip exclusion opens below the button",
             {200, 100},
             {100, 200},
             TPM_RIGHTBUTTON,
             TRect(0, 100, 32000, 122),
             {200, 122, 300, 322}},
            {"button strip exclusion without room below opens above",
             {200, 560},
             {100, 200},
             TPM_RIGHTBUTTON,
             TRect(0, 560, 32000, 700),
             {200, 360, 300, 560}},
            {"small exclusion, horizontal first: right of it",
             {200, 100},
             {100, 200},
             0,
             TRect(200, 100, 300, 130),
             {300, 100, 400, 300}},
            {"small exclusion, vertical first: below it",
             {200, 100},
             {100, 200},
             TPM_VERTICAL,
             TRect(200, 100, 300, 130),
             {200, 130, 300, 330}},
            {"exclusion near the right edge: left of it",
             {950, 100},
             {100, 200},
             0,
             TRect(900, 100, 1000, 130),
             {800, 100, 900, 300}},
            {"exclusion not touched stays", {10, 10}, {100, 200}, 0, TRect(500, 500, 600, 600), {10, 10, 110, 210}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        const TRect got = PlacePopup(c.At, c.Size, c.Flags, c.Exclude ? &*c.Exclude : nullptr, screen);
        EXPECT_EQ(got, c.Want) << "got " << got.left << "," << got.top << "," << got.right << "," << got.bottom;
        if (c.Exclude && c.Size.cx < screen.Width()) {
            EXPECT_FALSE(got.Touches(*c.Exclude));
        }
    }
}

} // namespace
} // namespace qm::gui
