#include "gui/model/FrameLayout.h"

#include "gui/model/Accelerator.h"
#include "gui/model/DockTarget.h"
#include "gui/model/Metrics.h"
#include "gui/model/NonClient.h"

#include <gtest/gtest.h>

#include <vector>

namespace qm::gui {
namespace {

std::string Str(const TRect& r)
{
    return std::to_string(r.left) + "," + std::to_string(r.top) + "," + std::to_string(r.right) + "," +
           std::to_string(r.bottom);
}

TEST(FrameLayoutTest, DecorationsStackAlongTheEdgesAroundTheClient)
{
    // The console: slips at the top, left and right, the status bar at the bottom.
    struct Deco {
        int Key;
        TAbsLocation Where;
        TSize Size;
        bool Visible = true;
    };

    struct Case {
        const char* What;
        std::vector<Deco> Decorations;
        TRect Frame;
        std::vector<TRect> Want;
        TRect WantClient;
    };

    const std::vector<Case> cases = {
            {"no decorations", {}, {0, 0, 400, 300}, {}, {0, 0, 400, 300}},
            {"console frame",
             {{1, alTop, {0, 26}}, {2, alLeft, {0, 0}}, {3, alRight, {30, 0}}, {4, alBottom, {0, 20}}},
             {0, 0, 400, 300},
             {{0, 0, 400, 26}, {0, 26, 0, 280}, {370, 26, 400, 280}, {0, 280, 400, 300}},
             {0, 26, 370, 280}},
            {"a newer top decoration stands below the older one",
             {{1, alTop, {0, 10}}, {2, alTop, {0, 20}}},
             {0, 0, 400, 300},
             {{0, 0, 400, 10}, {0, 10, 400, 30}},
             {0, 30, 400, 300}},
            {"a hidden decoration takes no room",
             {{1, alTop, {0, 26}, false}, {2, alBottom, {0, 20}}},
             {0, 0, 400, 300},
             {{0, 280, 400, 300}},
             {0, 0, 400, 280}},
            {"a frame smaller than its decorations leaves an empty client",
             {{1, alTop, {0, 30}}, {2, alBottom, {0, 30}}, {3, alLeft, {50, 0}}},
             {0, 0, 40, 40},
             {{0, 0, 40, 30}, {0, 30, 40, 40}, {0, 30, 40, 30}},
             {40, 30, 40, 30}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        TDecorationLayout layout;
        for (const auto& d : c.Decorations) {
            layout.Insert(d.Key, d.Where, d.Size);
            layout.SetVisible(d.Key, d.Visible);
        }
        const auto result = layout.Layout(c.Frame);
        ASSERT_EQ(result.Decorations.size(), c.Want.size());
        for (std::size_t i = 0; i < c.Want.size(); ++i)
            EXPECT_EQ(result.Decorations[i].Rect, c.Want[i]) << i << ": got " << Str(result.Decorations[i].Rect);
        EXPECT_EQ(result.Client, c.WantClient) << "got " << Str(result.Client);
        EXPECT_FALSE(result.Client.Width() < 0 || result.Client.Height() < 0);
    }
    TDecorationLayout grow;
    grow.Insert(7, alTop, {0, 26});
    grow.SetDesiredSize(7, {0, 52});
    EXPECT_EQ(grow.Layout({0, 0, 100, 100}).Client.top, 52) << "a slip that grew a line pushes the client down";
    grow.Remove(7);
    EXPECT_FALSE(grow.Contains(7));
}

TEST(FrameLayoutTest, MenuSelectionShowsTheCommandHint)
{
    RegisterStringResource(2010, "Start the Quillmail engine");

    struct Case {
        WPARAM WParam;
        LPARAM LParam;
        std::optional<std::string> Want;
    };

    const Case cases[] = {
            {MAKEWPARAM(2010, MF_HILITE), 5, std::string("Start the Quillmail engine")},
            {MAKEWPARAM(3, MF_HILITE | MF_POPUP), 5, std::string()},
            {MAKEWPARAM(4711, MF_HILITE), 5, std::string()},
            {MAKEWPARAM(0, 0xFFFF), 0, std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MenuSelectHint(c.WParam, c.LParam), c.Want) << LOWORD(c.WParam);
}

TEST(FrameLayoutTest, NonClientGeometryFollowsTheStyle)
{
    struct Case {
        const char* What;
        DWORD Style;
        DWORD ExStyle;
        bool Menu;
        TRect WantAdjusted; // for the client (0, 0, 100, 100)
    };

    const Case cases[] = {
            {"overlapped window", WS_OVERLAPPEDWINDOW, 0, false, {-4, -23, 104, 104}},
            {"with a menu", WS_OVERLAPPEDWINDOW, 0, true, {-4, -42, 104, 104}},
            {"dialog frame", WS_POPUP | WS_CAPTION | WS_SYSMENU, WS_EX_DLGMODALFRAME, false, {-3, -22, 103, 103}},
            {"tool window",
             WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME,
             WS_EX_TOOLWINDOW,
             false,
             {-4, -19, 104, 104}},
            {"child with a client edge", WS_CHILD, WS_EX_CLIENTEDGE, true, {-2, -2, 102, 102}},
            {"bare pop-up", WS_POPUP, 0, false, {0, 0, 100, 100}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        const TRect adjusted = AdjustWindowRectEx({0, 0, 100, 100}, c.Style, c.Menu, c.ExStyle);
        EXPECT_EQ(adjusted, c.WantAdjusted) << "got " << Str(adjusted);
        // The geometry of that window gives the client back.
        const auto g = ComputeNonClient(adjusted.Size(), c.Style, c.ExStyle, c.Menu);
        EXPECT_EQ(g.Client, TRect(0, 0, 100, 100).OffsetBy(-adjusted.left, -adjusted.top)) << Str(g.Client);
    }
}

TEST(FrameLayoutTest, NonClientHitTestOfAFloatingSlip)
{
    // A floating slip: a sizable tool window with caption and close box, 200 x 100.
    const auto g =
            ComputeNonClient({200, 100}, WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME, WS_EX_TOOLWINDOW, false);
    EXPECT_EQ(g.Caption, TRect(4, 4, 196, 19));
    EXPECT_EQ(g.CloseBox, TRect(181, 6, 194, 17));

    struct Case {
        TPoint P;
        int Want;
    };

    const Case cases[] = {
            {{50, 10}, HTCAPTION},      {{185, 10}, HTCLOSE},    {{100, 50}, HTCLIENT},  {{1, 50}, HTLEFT},
            {{198, 50}, HTRIGHT},       {{100, 1}, HTTOP},       {{100, 98}, HTBOTTOM},  {{1, 1}, HTTOPLEFT},
            {{199, 99}, HTBOTTOMRIGHT}, {{2, 95}, HTBOTTOMLEFT}, {{200, 50}, HTNOWHERE}, {{-1, 0}, HTNOWHERE},
    };
    for (const auto& c : cases)
        EXPECT_EQ(NcHitTest(g, c.P), c.Want) << c.P.x << "," << c.P.y;

    const auto fixed = ComputeNonClient({100, 50}, WS_POPUP | WS_BORDER, 0, false);
    EXPECT_EQ(NcHitTest(fixed, {0, 20}), HTBORDER);
    EXPECT_TRUE(fixed.Caption.IsEmpty());
    EXPECT_TRUE(fixed.CloseBox.IsEmpty());
}

TEST(FrameLayoutTest, DockDragChoosesTheEdgeUnderTheCursorOrFloats)
{
    // The frame's client at (100, 100)-(500, 400) on the screen; a top slip holding a bar, empty left and right
    // slips, no bottom slip.
    const TRect frame(100, 100, 500, 400);
    const TDockEdge edges[] = {{alTop, {100, 100, 500, 126}}, {alLeft, {}}, {alRight, {}}};

    struct Case {
        const char* What;
        TPoint Cursor;
        bool Control;
        TAbsLocation Want;
    };

    const Case cases[] = {
            {"on the top slip", {300, 110}, false, alTop},
            {"just above the frame", {300, 95}, false, alTop},
            {"just below the top slip", {300, 130}, false, alTop},
            {"well inside the client", {300, 250}, false, alNone},
            {"near the empty left edge", {105, 250}, false, alLeft},
            {"just outside the right edge", {505, 250}, false, alRight},
            {"near the bottom, which has no slip", {300, 395}, false, alNone},
            {"Ctrl floats", {300, 110}, true, alNone},
            {"far away", {900, 900}, false, alNone},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ChooseDockTarget(c.Cursor, frame, edges, c.Control), c.Want) << c.What;
    EXPECT_EQ(DirectionForLocation(alTop), TGadgetWindowCore::Horizontal);
    EXPECT_EQ(DirectionForLocation(alRight), TGadgetWindowCore::Vertical);
    EXPECT_EQ(DirectionForLocation(alNone), TGadgetWindowCore::Rectangular);
}

} // namespace
} // namespace qm::gui
