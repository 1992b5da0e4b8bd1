#include "gui/model/Color.h"

#include "gui/model/Metrics.h"

#include <gtest/gtest.h>

#include <vector>

namespace qm::gui {
namespace {

class ColorTest : public testing::Test {
protected:
    void TearDown() override
    {
        ResetSysColors();
        ResetSystemMetrics();
    }
};

TEST_F(ColorTest, KeepsTheBlueGreenRedByteOrder)
{
    EXPECT_EQ(RGB(0x12, 0x34, 0x56), 0x00563412u);
    EXPECT_EQ(GetRValue(0x00563412u), 0x12);
    EXPECT_EQ(GetGValue(0x00563412u), 0x34);
    EXPECT_EQ(GetBValue(0x00563412u), 0x56);
    const TColor c(255, 0, 128);
    EXPECT_EQ(static_cast<COLORREF>(c), 0x008000FFu);
    EXPECT_EQ(TColor(0xFF123456u).Rgb(), 0x00123456u) << "the top byte is not part of a colour";
}

TEST_F(ColorTest, SystemColourReferenceFollowsTheTableAndChangeTellsListeners)
{
    const TColor face = TColor::Sys3dFace;
    EXPECT_EQ(face.Rgb(), RGB(192, 192, 192));
    EXPECT_EQ(TColor::SysBtnFace.Rgb(), face.Rgb()) << "button face and 3-D face are one entry";

    int calls = 0;
    const int id = AddSysColorListener([&calls] { ++calls; });
    const auto before = SysColorGeneration();
    const int indexes[] = {COLOR_3DFACE, 99, COLOR_HIGHLIGHT};
    const COLORREF colors[] = {RGB(10, 20, 30), RGB(1, 1, 1), RGB(40, 50, 60)};
    EXPECT_TRUE(SetSysColors(indexes, colors));
    EXPECT_EQ(calls, 1) << "one change of several colours is one notification";
    EXPECT_NE(SysColorGeneration(), before);
    EXPECT_EQ(face.Rgb(), RGB(10, 20, 30));
    EXPECT_EQ(GetSysColor(COLOR_HIGHLIGHT), RGB(40, 50, 60));
    EXPECT_EQ(GetSysColor(99), 0u);

    const int onlyBad[] = {-1};
    EXPECT_FALSE(SetSysColors(onlyBad, colors));
    EXPECT_EQ(calls, 1) << "nothing changed, nobody told";

    RemoveSysColorListener(id);
    ResetSysColors();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(face.Rgb(), RGB(192, 192, 192));
}

TEST_F(ColorTest, MetricsAreSettableAndOutOfRangeIndexesAnswerZero)
{
    EXPECT_EQ(GetSystemMetrics(SM_CYMENU), 19);
    SetSystemMetric(SM_CXSCREEN, 1600);
    SetSystemMetric(SM_CYSCREEN, 900);
    EXPECT_EQ(GetScreenRect(), TRect(0, 0, 1600, 900));
    SetSystemMetric(-1, 5);
    SetSystemMetric(kSystemMetricCount, 5);
    EXPECT_EQ(GetSystemMetrics(-1), 0);
    EXPECT_EQ(GetSystemMetrics(kSystemMetricCount), 0);
    EXPECT_EQ(GetMenuFont().FaceName, "MS Sans Serif");
}

} // namespace
} // namespace qm::gui
