#include "gui/model/CommandEnabler.h"

#include "gui/model/GadgetWindowCore.h"
#include "gui/model/InputState.h"
#include "gui/model/Metrics.h"
#include "gui/model/tests/FakeGadgetHost.h"

#include <gtest/gtest.h>

#include <array>

namespace qm::gui {
namespace {

using test::FakeGadgetHost;

// Client, frame and application of a console-like program: the client handles 10 (with an enabler that follows
// clientWants10) and 11 (no enabler); the frame has an enabler for 12 that only sets a check; the application
// handles 20. Nobody handles 30.
class CommandEnablerTest : public testing::Test {
protected:
    void SetUp() override
    {
        m_client.OnCommand(10, [this] { ++m_runs[0]; });
        m_client.OnCommandEnable(10, [this](TCommandEnabler& ce) { ce.Enable(m_clientWants10); });
        m_client.OnCommand(11, [this] { ++m_runs[1]; });
        m_frame.OnCommandEnable(12, [](TCommandEnabler& ce) { ce.SetCheck(TCommandEnabler::Checked); });
        m_app.OnCommand(20, [this] { ++m_runs[2]; });
        m_app.OnCommand(10, [this] { ++m_runs[3]; }); // shadowed by the client's
    }

    void TearDown() override { ResetInputState(); }

    std::array<TCommandTarget*, 3> Chain() { return {&m_client, &m_frame, &m_app}; }

    TCommandTarget m_client, m_frame, m_app;
    bool m_clientWants10 = false;
    std::array<int, 4> m_runs{};
};

TEST_F(CommandEnablerTest, CommandsGoToTheFirstReceiverInTheChain)
{
    const auto chain = Chain();
    EXPECT_TRUE(RouteCommand(chain, 10));
    EXPECT_TRUE(RouteCommand(chain, 20));
    EXPECT_FALSE(RouteCommand(chain, 30));
    EXPECT_EQ(m_runs, (std::array<int, 4>{1, 0, 1, 0}));
    const std::array<TCommandTarget*, 3> withHole{nullptr, &m_frame, &m_app};
    EXPECT_TRUE(RouteCommand(withHole, 10));
    EXPECT_EQ(m_runs[3], 1) << "without the client the application's handler runs";
}

TEST_F(CommandEnablerTest, IdlePassEnablesButtonGadgetsByTheirReceivers)
{
    FakeGadgetHost host;
    host.Client = {300, 0};
    const auto chain = Chain();
    host.OnCommandEnable = [&chain](TCommandEnabler& ce) {
        RouteCommandEnable(chain, ce, TAutoEnable::On);
    };
    TGadgetWindowCore bar(host);

    struct Case {
        int Id;
        bool InitiallyEnabled;
        bool WantFirst;
        bool WantSecond; // after the client's enabler changed its mind
    };

    const Case cases[] = {
            {10, true, false, true},  // the client's enabler decides
            {11, false, true, true},  // handled by the client without an enabler: enabled
            {20, false, true, true},  // handled by the application: enabled
            {30, true, false, false}, // handled by no one: disabled
            {12, true, false, false}, // the frame's enabler only checks it: still nobody handles the command
    };
    std::vector<TButtonGadget*> buttons;
    for (const auto& c : cases)
        buttons.push_back(static_cast<TButtonGadget*>(
                bar.Insert(std::make_unique<TButtonGadget>(100, c.Id, TButtonGadget::Command, c.InitiallyEnabled))));
    bar.LayoutSession();

    bar.IdleAction(0);
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(buttons[i]->GetEnabled(), cases[i].WantFirst) << "first pass, id " << cases[i].Id;
    m_clientWants10 = true;
    bar.IdleAction(1);
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(buttons[i]->GetEnabled(), cases[i].WantSecond) << "second pass, id " << cases[i].Id;
    EXPECT_EQ(buttons[4]->GetButtonState(), TButtonGadget::Down) << "the frame's SetCheck reached the button";
}

TEST_F(CommandEnablerTest, PopupItemsAreEnabledByTheChainWithAutoEnable)
{
    TPopupMenu menu;
    menu.AppendMenu(MF_STRING, 10, "Ten");
    menu.AppendMenu(MF_SEPARATOR, 0);
    menu.AppendMenu(MF_STRING | MF_GRAYED, 20, "Twenty");
    menu.AppendMenu(MF_STRING, 30, "Thirty");
    menu.AppendMenu(MF_STRING, 12, "Twelve");
    const auto chain = Chain();
    EnableMenuItems(menu, chain, 0, TAutoEnable::On);
    auto grey = [&menu](UINT id) {
        return (menu.GetMenuState(id, MF_BYCOMMAND) & MF_GRAYED) != 0;
    };
    EXPECT_TRUE(grey(10));
    EXPECT_FALSE(grey(20));
    EXPECT_TRUE(grey(30));
    EXPECT_TRUE(grey(12));
    EXPECT_NE(menu.GetMenuState(12, MF_BYCOMMAND) & MF_CHECKED, 0u);
    m_clientWants10 = true;
    EnableMenuItems(menu, chain, 0, TAutoEnable::On);
    EXPECT_FALSE(grey(10));

    TPopupMenu plain;
    plain.AppendMenu(MF_STRING, 30, "Thirty");
    EnableMenuItems(plain, chain, 0, TAutoEnable::Off);
    EXPECT_EQ(plain.GetMenuState(30, 0) & MF_GRAYED, 0u) << "auto-enable off leaves it alone";

    // An enabler may change the item's text; type and data stay.
    TPopupMenu owner;
    owner.AppendMenu(MF_OWNERDRAW, 77, "Old", 5);
    TCommandTarget target;
    target.OnCommandEnable(77, [](TCommandEnabler& ce) { ce.SetText("New"); });
    target.OnCommand(77, [] {});
    const std::array<TCommandTarget*, 1> one{&target};
    EnableMenuItems(owner, one, 0, TAutoEnable::On);
    MENUITEMINFO info;
    info.fMask = MIIM_TYPE | MIIM_DATA;
    ASSERT_TRUE(owner.GetMenuItemInfo(0, true, info));
    EXPECT_EQ(info.dwTypeData, "New");
    EXPECT_EQ(info.fType, MFT_OWNERDRAW);
    EXPECT_EQ(info.dwItemData, 5u);
}

// Presses through the click tracker as the window layer delivers them, into a bar with one command button.
TEST_F(CommandEnablerTest, OneClickPostsOneCommandAndTwoFastClicksPostTwo)
{
    struct Case {
        const char* What;
        std::vector<std::uint64_t> PressTimes;
        bool MoveOffBeforeRelease;
        std::size_t WantCommands;
    };

    const Case cases[] = {
            {"one click", {0}, false, 1},
            {"two fast clicks (the second a double-click)", {0, 100}, false, 2},
            {"three fast clicks", {0, 100, 200}, false, 3},
            {"a press dragged off the button", {0}, true, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        FakeGadgetHost host;
        host.Client = {300, 0};
        TGadgetWindowCore bar(host);
        bar.Insert(std::make_unique<TButtonGadget>(100, 2010, TButtonGadget::Command, true));
        bar.LayoutSession();
        TClickTracker clicks;
        const TPoint at(5, 5);
        for (std::uint64_t t : c.PressTimes) {
            const UINT msg =
                    clicks.Press(FakeGadgetHost::kHandle, VK_LBUTTON, at, t, TClickTracker::TWantsDoubleClicks::Yes);
            if (msg == WM_LBUTTONDBLCLK)
                bar.LButtonDblClk(MK_LBUTTON, at);
            else
                bar.LButtonDown(MK_LBUTTON, at);
            EXPECT_TRUE(host.Captured);
            if (c.MoveOffBeforeRelease)
                bar.MouseMove(MK_LBUTTON, {100, 5});
            bar.LButtonUp(0, c.MoveOffBeforeRelease ? TPoint(100, 5) : at);
            EXPECT_FALSE(host.Captured);
        }
        ASSERT_EQ(host.Posted.size(), c.WantCommands);
        for (const auto& m : host.Posted) {
            EXPECT_EQ(m.Message, static_cast<UINT>(WM_COMMAND));
            EXPECT_EQ(m.WParam, 2010u);
        }
    }
}

TEST_F(CommandEnablerTest, ButtonTypesChangeStateOnClick)
{
    FakeGadgetHost host;
    host.Client = {300, 0};
    TGadgetWindowCore bar(host);
    using B = TButtonGadget;
    auto* a = static_cast<B*>(bar.Insert(std::make_unique<B>(100, 1, B::Exclusive, true, B::Down)));
    auto* b = static_cast<B*>(bar.Insert(std::make_unique<B>(100, 2, B::Exclusive, true)));
    auto* toggle = static_cast<B*>(bar.Insert(std::make_unique<B>(100, 3, B::NonExclusive, true)));
    auto* off = static_cast<B*>(bar.Insert(std::make_unique<B>(100, 4, B::Command, false)));
    bar.LayoutSession();
    auto click = [&bar](B* g) {
        const TPoint p(g->GetBounds().left + 2, g->GetBounds().top + 2);
        bar.LButtonDown(MK_LBUTTON, p);
        bar.LButtonUp(0, p);
    };
    click(b);
    EXPECT_EQ(a->GetButtonState(), B::Up);
    EXPECT_EQ(b->GetButtonState(), B::Down);
    click(toggle);
    click(toggle);
    EXPECT_EQ(toggle->GetButtonState(), B::Up);
    click(off);
    ASSERT_EQ(host.Posted.size(), 3u) << "a disabled button posts nothing";
    EXPECT_EQ(host.Posted[0].WParam, 2u);
    EXPECT_EQ(host.Posted[2].WParam, 3u);
}

TEST_F(CommandEnablerTest, ClickTrackerMakesDoubleClicksOnlyWhereAsked)
{
    using W = TClickTracker::TWantsDoubleClicks;

    struct Press {
        HWND Window;
        int Button;
        TPoint At;
        std::uint64_t Time;
    };

    struct Case {
        const char* What;
        W Wants;
        Press Second;
        UINT Want;
    };

    const Press first{1, VK_LBUTTON, {10, 10}, 1000};
    const Case cases[] = {
            {"fast and close", W::Yes, {1, VK_LBUTTON, {11, 11}, 1300}, WM_LBUTTONDBLCLK},
            {"class without double-clicks", W::No, {1, VK_LBUTTON, {10, 10}, 1100}, WM_LBUTTONDOWN},
            {"too slow", W::Yes, {1, VK_LBUTTON, {10, 10}, 1501}, WM_LBUTTONDOWN},
            {"too far", W::Yes, {1, VK_LBUTTON, {13, 10}, 1100}, WM_LBUTTONDOWN},
            {"other window", W::Yes, {2, VK_LBUTTON, {10, 10}, 1100}, WM_LBUTTONDOWN},
            {"other button", W::Yes, {1, VK_RBUTTON, {10, 10}, 1100}, WM_RBUTTONDOWN},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        TClickTracker t;
        EXPECT_EQ(t.Press(first.Window, first.Button, first.At, first.Time, c.Wants), WM_LBUTTONDOWN);
        EXPECT_EQ(t.Press(c.Second.Window, c.Second.Button, c.Second.At, c.Second.Time, c.Wants), c.Want);
    }
    TClickTracker t;
    t.Press(1, VK_RBUTTON, {0, 0}, 0, W::Yes);
    EXPECT_EQ(t.Press(1, VK_RBUTTON, {0, 0}, 10, W::Yes), WM_RBUTTONDBLCLK);
    EXPECT_EQ(t.Press(1, VK_RBUTTON, {0, 0}, 20, W::Yes), WM_RBUTTONDOWN) << "a third press starts over";

    SetKeyDownState(VK_CONTROL, true);
    EXPECT_LT(GetKeyState(VK_CONTROL), 0);
    SetKeyDownState(VK_CONTROL, false);
    EXPECT_GE(GetKeyState(VK_CONTROL), 0);
    EXPECT_EQ(SetCapture(5), 0u);
    EXPECT_EQ(GetCapture(), 5u);
    ReleaseCapture();
    EXPECT_EQ(GetCapture(), 0u);
}

} // namespace
} // namespace qm::gui
