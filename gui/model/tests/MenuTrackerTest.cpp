#include "gui/model/MenuTracker.h"

#include "gui/model/MenuBarKeys.h"

#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace qm::gui {
namespace {

struct Recorded {
    UINT Message;
    WPARAM WParam;
    LPARAM LParam;
    bool Posted;
};

// An owner that records every message and answers WM_MENUCHAR from a table; every item is 100 x 20.
class RecordingOwner : public TMenuTrackerHost {
public:
    std::vector<Recorded> Messages;
    std::map<char, LRESULT> MenuCharAnswers;
    int Beeps = 0;
    std::function<void(UINT)> OnSend;

    LRESULT SendToOwner(UINT message, WPARAM wParam, LPARAM lParam) override
    {
        Messages.push_back({message, wParam, lParam, false});
        if (OnSend)
            OnSend(message);
        if (message == WM_MENUCHAR) {
            const auto it = MenuCharAnswers.find(static_cast<char>(LOWORD(wParam)));
            return it == MenuCharAnswers.end() ? 0 : it->second;
        }
        return 0;
    }

    void PostToOwner(UINT message, WPARAM wParam, LPARAM lParam) override
    {
        Messages.push_back({message, wParam, lParam, true});
    }

    TSize MeasureItem(HMENU, int) override { return {100, 20}; }

    void Beep() override { ++Beeps; }

    std::vector<Recorded> Of(UINT message) const
    {
        std::vector<Recorded> out;
        for (const auto& m : Messages) {
            if (m.Message == message)
                out.push_back(m);
        }
        return out;
    }
};

// 0 Open 101 | 1 Grey 102 (grey) | 2 separator | 3 More > (201, 202) | 4 Last 104; all owner-drawn.
class MenuTrackerTest : public testing::Test {
protected:
    void SetUp() override
    {
        m_sub = CreatePopupMenu();
        AppendMenu(m_sub, MF_OWNERDRAW, 201, "&Inner", 11);
        AppendMenu(m_sub, MF_OWNERDRAW, 202, "I&nner two", 12);
        m_menu = CreatePopupMenu();
        AppendMenu(m_menu, MF_OWNERDRAW, 101, "&Open", 1);
        AppendMenu(m_menu, MF_OWNERDRAW | MF_GRAYED, 102, "&Grey", 2);
        AppendMenu(m_menu, MF_SEPARATOR, 0);
        AppendMenu(m_menu, MF_OWNERDRAW | MF_POPUP, m_sub.Value, "&More", 3);
        AppendMenu(m_menu, MF_OWNERDRAW, 104, "&Last", 4);
    }

    void TearDown() override
    {
        DestroyMenu(m_menu);
        EXPECT_EQ(LiveMenuCount(), 0u) << "a menu leaked";
    }

    HMENU m_menu{};
    HMENU m_sub{};
    const TRect m_screen{0, 0, 1024, 768};
};

// One input of a sequence: a key ("D" down, "U" up, "R" right, "L" left, "E" escape, "N" return, "H" home, "Z" end,
// "A" Alt) or a character.
void Feed(TMenuTracker& tracker, const std::string& keys)
{
    for (char k : keys) {
        switch (k) {
        case 'D':
            tracker.KeyDown(VK_DOWN);
            break;
        case 'U':
            tracker.KeyDown(VK_UP);
            break;
        case 'R':
            tracker.KeyDown(VK_RIGHT);
            break;
        case 'L':
            tracker.KeyDown(VK_LEFT);
            break;
        case 'E':
            tracker.KeyDown(VK_ESCAPE);
            break;
        case 'N':
            tracker.KeyDown(VK_RETURN);
            break;
        case 'H':
            tracker.KeyDown(VK_HOME);
            break;
        case 'Z':
            tracker.KeyDown(VK_END);
            break;
        case 'A':
            tracker.KeyDown(VK_MENU);
            break;
        default:
            tracker.Char(k);
            break;
        }
    }
}

TEST_F(MenuTrackerTest, KeySequencesOverOwnerDrawnItemsGiveTheRightCommand)
{
    struct Case {
        const char* Keys;
        bool Done;
        UINT Command;
        int Beeps;
    };

    // Owner-drawn items have no mnemonic of their own: every letter goes to WM_MENUCHAR, which answers
    // o: execute 0, m: execute 3 (a submenu: opens it), l: select 4, q: close, anything else: 0 (beep).
    const Case cases[] = {
            {"DN", true, 101, 0},
            {"DDN", false, 0, 0}, // the grey item is selected but not chosen
            {"DDDN", false, 0, 0},
            {"DDDNN", true, 201, 0},  // Return on a submenu item opens it
            {"DDDRDN", true, 202, 0}, // Down skips the separator
            {"UN", true, 104, 0},
            {"o", true, 101, 0},
            {"mN", true, 201, 0},
            {"lN", true, 104, 0},
            {"l", false, 0, 0},
            {"q", true, 0, 0},
            {"x", false, 0, 1},
            {"xxo", true, 101, 2},
            {"E", true, 0, 0},
            {"DDDREN", false, 0, 0}, // Escape closes the submenu, Return on "More" opens it
                                     // again
            {"DDDRLN", false, 0, 0},
            {"DDDREE", true, 0, 0},
            {"ZN", true, 104, 0},  // End
            {"ZHN", true, 101, 0}, // Home
            {"DDDRA", true, 0, 0}, // Alt leaves the whole menu
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Keys);
        RecordingOwner owner;
        owner.MenuCharAnswers = {{'o', MAKELRESULT(0, MNC_EXECUTE)},
                                 {'m', MAKELRESULT(3, MNC_EXECUTE)},
                                 {'l', MAKELRESULT(4, MNC_SELECT)},
                                 {'q', MAKELRESULT(0, MNC_CLOSE)}};
        TMenuTracker tracker(owner, m_menu, 0, {100, 100}, nullptr, m_screen);
        ASSERT_TRUE(tracker.Start());
        Feed(tracker, c.Keys);
        EXPECT_EQ(tracker.IsDone(), c.Done);
        EXPECT_EQ(tracker.Result(), c.Command);
        EXPECT_EQ(owner.Beeps, c.Beeps);
        const auto posted = owner.Of(WM_COMMAND);
        ASSERT_EQ(posted.size(), c.Command != 0 ? 1u : 0u);
        if (c.Command != 0) {
            EXPECT_TRUE(posted[0].Posted);
            EXPECT_EQ(posted[0].WParam, c.Command);
        }
    }
}

TEST_F(MenuTrackerTest, MenuCharCarriesTheCharacterAndThePopupItWasTypedIn)
{
    RecordingOwner owner;
    TMenuTracker tracker(owner, m_menu, 0, {100, 100}, nullptr, m_screen);
    ASSERT_TRUE(tracker.Start());
    Feed(tracker, "DDDR");
    tracker.Char('z');
    const auto chars = owner.Of(WM_MENUCHAR);
    ASSERT_EQ(chars.size(), 1u);
    EXPECT_EQ(LOWORD(chars[0].WParam), 'z');
    EXPECT_EQ(HIWORD(chars[0].WParam), MF_POPUP);
    EXPECT_EQ(chars[0].LParam, static_cast<LPARAM>(m_sub.Value)) << "the submenu the key was typed in";
}

TEST_F(MenuTrackerTest, StringItemsUseTheirMnemonicsAndSharedLettersCycle)
{
    TPopupMenu menu;
    menu.AppendMenu(MF_STRING, 1, "&Alpha");
    menu.AppendMenu(MF_STRING, 2, "&Beta");
    menu.AppendMenu(MF_STRING, 3, "&Apple");
    menu.AppendMenu(MF_STRING, 4, "Fish && &Chips");

    struct Case {
        const char* Keys;
        UINT Command;
        int Selected;
    };

    const Case cases[] = {
            {"b", 2, -1}, {"B", 2, -1}, {"a", 0, 0}, {"aa", 0, 2}, {"aaa", 0, 0}, {"aaN", 3, -1}, {"c", 4, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Keys);
        RecordingOwner owner;
        TMenuTracker tracker(owner, menu, 0, {100, 100}, nullptr, m_screen);
        ASSERT_TRUE(tracker.Start());
        Feed(tracker, c.Keys);
        EXPECT_EQ(tracker.Result(), c.Command);
        if (!tracker.IsDone()) {
            EXPECT_EQ(tracker.SelectionAt(0), c.Selected);
        }
        EXPECT_TRUE(owner.Of(WM_MENUCHAR).empty()) << "a letter that is a mnemonic is not asked about";
    }
}

TEST_F(MenuTrackerTest, NotifiesInWindowsOrderAndPostsTheCommandLast)
{
    RecordingOwner owner;
    TMenuTracker tracker(owner, m_menu, 0, {100, 100}, nullptr, m_screen);
    ASSERT_TRUE(tracker.Start());
    Feed(tracker, "DDDRDN");
    ASSERT_TRUE(tracker.IsDone());

    std::vector<std::pair<WORD, WORD>> selects;
    for (const auto& m : owner.Of(WM_MENUSELECT))
        selects.emplace_back(LOWORD(m.WParam), HIWORD(m.WParam));
    ASSERT_EQ(selects.size(), 6u);
    const WORD want[] = {101, 102, 3, 201, 202};
    for (std::size_t i = 0; i < 5; ++i)
        EXPECT_EQ(selects[i].first, want[i]) << "select " << i;
    EXPECT_NE(selects[1].second & MF_GRAYED, 0) << "the grey item's flags say so";
    EXPECT_NE(selects[2].second & MF_POPUP, 0) << "a submenu item is named by its position";
    EXPECT_EQ(selects[5].second, 0xFFFF) << "the closing select";
    EXPECT_EQ(owner.Of(WM_MENUSELECT).back().LParam, 0);

    const auto inits = owner.Of(WM_INITMENUPOPUP);
    ASSERT_EQ(inits.size(), 2u);
    EXPECT_EQ(inits[0].WParam, m_menu.Value);
    EXPECT_EQ(inits[1].WParam, m_sub.Value);
    EXPECT_EQ(LOWORD(static_cast<std::uint64_t>(inits[1].LParam)), 3) << "the submenu's position in its parent";

    // Order: enter loop, init menu, ..., exit loop, and only then the posted command.
    ASSERT_GE(owner.Messages.size(), 3u);
    EXPECT_EQ(owner.Messages.front().Message, static_cast<UINT>(WM_ENTERMENULOOP));
    EXPECT_EQ(owner.Messages[1].Message, static_cast<UINT>(WM_INITMENU));
    const auto& last = owner.Messages.back();
    EXPECT_TRUE(last.Posted);
    EXPECT_EQ(last.Message, static_cast<UINT>(WM_COMMAND));
    EXPECT_EQ(last.WParam, 202u);
    EXPECT_EQ(owner.Messages[owner.Messages.size() - 2].Message, static_cast<UINT>(WM_EXITMENULOOP));
}

TEST_F(MenuTrackerTest, OneInitMenuPopupPerOpening)
{
    RecordingOwner owner;
    TMenuTracker tracker(owner, m_menu, 0, {100, 100}, nullptr, m_screen);
    ASSERT_TRUE(tracker.Start());
    const TRect more = tracker.ItemRect(0, 3);
    const TPoint onMore(more.left + 5, more.top + 5);
    tracker.MouseMove(onMore);
    tracker.MouseMove(onMore.OffsetBy(10, 2)); // still on the same item: the open submenu stays
    tracker.MouseMove(onMore.OffsetBy(20, 1));
    EXPECT_EQ(owner.Of(WM_INITMENUPOPUP).size(), 2u);
    EXPECT_EQ(tracker.Depth(), 2);
    const TRect open = tracker.ItemRect(0, 0);
    tracker.MouseMove(TPoint(open.left + 1, open.top + 1)); // another item closes the submenu
    EXPECT_EQ(tracker.Depth(), 1);
    tracker.MouseMove(onMore); // and coming back opens it again: a second opening
    EXPECT_EQ(owner.Of(WM_INITMENUPOPUP).size(), 3u);
    Feed(tracker, "L");
    Feed(tracker, "R");
    EXPECT_EQ(owner.Of(WM_INITMENUPOPUP).size(), 4u);
}

TEST_F(MenuTrackerTest, RightReleaseAtTheOpeningPointChoosesNothing)
{
    // A small screen clamps the pop-up over its opening point, so the point lies on item 0.
    const TRect small(0, 0, 120, 120);
    const TPoint at(60, 20);
    RecordingOwner owner;
    TMenuTracker tracker(owner, m_menu, TPM_RIGHTBUTTON, at, nullptr, small);
    ASSERT_TRUE(tracker.Start());
    ASSERT_TRUE(tracker.ItemRect(0, 0).Contains(at));
    tracker.ButtonUp(VK_RBUTTON, at);
    EXPECT_FALSE(tracker.IsDone());
    tracker.MouseMove(at.OffsetBy(3, 0));
    tracker.MouseMove(at);
    tracker.ButtonUp(VK_RBUTTON, at);
    EXPECT_TRUE(tracker.IsDone());
    EXPECT_EQ(tracker.Result(), 101u);
}

TEST_F(MenuTrackerTest, MouseChoosesEnabledCommandsAndTheButtonFlagsDecideWhichButton)
{
    struct Case {
        const char* What;
        UINT Flags;
        int Button;
        int Pos;
        bool Done;
        UINT Command;
    };

    const Case cases[] = {
            {"left click on a command", 0, VK_LBUTTON, 0, true, 101},
            {"right click without TPM_RIGHTBUTTON", 0, VK_RBUTTON, 0, false, 0},
            {"right click with TPM_RIGHTBUTTON", TPM_RIGHTBUTTON, VK_RBUTTON, 4, true, 104},
            {"grey item", 0, VK_LBUTTON, 1, false, 0},
            {"separator", 0, VK_LBUTTON, 2, false, 0},
            {"submenu item opens it", 0, VK_LBUTTON, 3, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        RecordingOwner owner;
        TMenuTracker tracker(owner, m_menu, c.Flags, {100, 100}, nullptr, m_screen);
        ASSERT_TRUE(tracker.Start());
        const TRect item = tracker.ItemRect(0, c.Pos);
        const TPoint p(item.left + 4, item.top + 4);
        tracker.MouseMove(p);
        tracker.ButtonDown(c.Button, p);
        tracker.ButtonUp(c.Button, p);
        EXPECT_EQ(tracker.IsDone(), c.Done);
        EXPECT_EQ(tracker.Result(), c.Command);
    }
    RecordingOwner owner;
    TMenuTracker tracker(owner, m_menu, 0, {100, 100}, nullptr, m_screen);
    ASSERT_TRUE(tracker.Start());
    tracker.ButtonDown(VK_LBUTTON, {5, 5});
    EXPECT_TRUE(tracker.IsDone()) << "a press outside ends tracking";
    EXPECT_EQ(tracker.Result(), 0u);
}

TEST_F(MenuTrackerTest, ReturnCommandFlagReturnsWithoutPostingAndEmptyMenuDoesNotOpen)
{
    RecordingOwner owner;
    TMenuTracker tracker(owner, m_menu, TPM_RETURNCMD, {100, 100}, nullptr, m_screen);
    ASSERT_TRUE(tracker.Start());
    Feed(tracker, "DN");
    EXPECT_EQ(tracker.Result(), 101u);
    EXPECT_TRUE(owner.Of(WM_COMMAND).empty());

    TPopupMenu empty;
    RecordingOwner other;
    TMenuTracker none(other, empty, 0, {100, 100}, nullptr, m_screen);
    EXPECT_FALSE(none.Start());
    EXPECT_TRUE(none.IsDone());
    EXPECT_TRUE(other.Messages.empty());
}

TEST_F(MenuTrackerTest, SurvivesTheOwnerDestroyingTheOpenSubmenu)
{
    RecordingOwner owner;
    TMenuTracker tracker(owner, m_menu, 0, {100, 100}, nullptr, m_screen);
    ASSERT_TRUE(tracker.Start());
    Feed(tracker, "DDDR");
    ASSERT_EQ(tracker.Depth(), 2);
    DestroyMenu(m_sub);
    Feed(tracker, "DUNx");
    tracker.MouseMove(tracker.ItemRect(1, 0).TopLeft().OffsetBy(1, 1));
    tracker.ButtonUp(VK_LBUTTON, tracker.ItemRect(1, 0).TopLeft().OffsetBy(1, 1));
    EXPECT_FALSE(tracker.IsDone());
    EXPECT_EQ(tracker.Result(), 0u) << "nothing is chosen from a menu that is gone";
    Feed(tracker, "EN");
    EXPECT_EQ(tracker.Depth(), 1) << "the dead submenu does not open again";
    Feed(tracker, "UUN");
    EXPECT_TRUE(tracker.IsDone());
    EXPECT_EQ(tracker.Result(), 101u);
}

TEST_F(MenuTrackerTest, SubmenuOpensBesideItsItemAndFlipsAtTheScreenEdge)
{
    RecordingOwner owner;
    TMenuTracker tracker(owner, m_menu, 0, {100, 100}, nullptr, m_screen);
    ASSERT_TRUE(tracker.Start());
    Feed(tracker, "DDDR");
    ASSERT_EQ(tracker.Depth(), 2);
    EXPECT_EQ(tracker.PopupRect(1).left, tracker.ItemRect(0, 3).right);
    Feed(tracker, "EE");

    RecordingOwner edge;
    TMenuTracker right(edge, m_menu, 0, {1023 - 106, 100}, nullptr, m_screen);
    ASSERT_TRUE(right.Start());
    Feed(right, "DDDR");
    ASSERT_EQ(right.Depth(), 2);
    EXPECT_EQ(right.PopupRect(1).right, right.ItemRect(0, 3).left) << "no room on the right: opens on the left";
    EXPECT_FALSE(right.PopupRect(1).Touches(right.ItemRect(0, 3)));
    Feed(right, "EE");
}

} // namespace
} // namespace qm::gui

namespace qm::gui {
namespace {

// A bar of "&Servers" (Start 2010, Stop 2011), an owner-drawn "Tools" (2009) and "&Help" (2004), plus a bar
// command "&Refresh" (2028), at (100, 50) on the screen.
class MenuBarTrackerTest : public testing::Test {
protected:
    void SetUp() override
    {
        m_bar = CreateMenu();
        const HMENU servers = CreatePopupMenu();
        AppendMenu(servers, MF_STRING, 2010, "&Start");
        AppendMenu(servers, MF_STRING, 2011, "S&top");
        const HMENU tools = CreatePopupMenu();
        AppendMenu(tools, MF_STRING, 2009, "&Open web administration");
        const HMENU help = CreatePopupMenu();
        AppendMenu(help, MF_STRING, 2004, "&About");
        AppendMenu(m_bar, MF_POPUP, servers.Value, "&Servers");
        AppendMenu(m_bar, MF_POPUP | MF_OWNERDRAW, tools.Value, "Tools", 42);
        AppendMenu(m_bar, MF_POPUP, help.Value, "&Help");
        AppendMenu(m_bar, MF_STRING, 2028, "&Refresh");
        const TSize sizes[] = {{60, 19}, {50, 19}, {40, 19}, {55, 19}};
        for (TRect r : LayoutMenuBar(m_bar, sizes, 400, 19))
            m_items.push_back(r.OffsetBy(100, 50));
    }

    void TearDown() override
    {
        DestroyMenu(m_bar);
        EXPECT_EQ(LiveMenuCount(), 0u);
    }

    HMENU m_bar{};
    std::vector<TRect> m_items;
    const TRect m_screen{0, 0, 1024, 768};
};

TEST_F(MenuBarTrackerTest, KeysMoveAlongTheBarAndThroughItsPopups)
{
    struct Case {
        const char* What;
        int Start;
        bool Open;
        const char* Keys;
        bool Done;
        UINT Command;
        int Bar;   // bar selection while still tracking
        int Depth; // pop-ups open while still tracking
    };

    const Case cases[] = {
            {"F10, right, down opens Tools with its first item", 0, false, "RDN", true, 2009, -1, 0},
            {"right from a command item goes to the next pop-up", 0, true, "DR", false, 0, 1, 1},
            {"left from the first pop-up wraps to the bar's last item", 0, true, "L", false, 0, 3, 0},
            {"escape goes back to the bar, a second one ends", 0, true, "E", false, 0, 0, 0},
            {"escape twice", 0, true, "EE", true, 0, -1, 0},
            {"a bar mnemonic opens its pop-up", 1, false, "h", false, 0, 2, 1},
            {"a bar command by its mnemonic", 0, false, "r", true, 2028, -1, 0},
            {"the owner answers for an owner-drawn bar item", 0, false, "tN", true, 2009, -1, 0},
            {"a pop-up mnemonic", 0, true, "t", true, 2011, -1, 0},
            {"an unknown letter on the bar beeps", 0, false, "z", false, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        RecordingOwner owner;
        owner.MenuCharAnswers = {{'t', MAKELRESULT(1, MNC_EXECUTE)}};
        TMenuTracker tracker(owner, m_bar, m_items, m_screen);
        ASSERT_TRUE(tracker.StartBar(c.Start, c.Open));
        Feed(tracker, c.Keys);
        EXPECT_EQ(tracker.IsDone(), c.Done);
        EXPECT_EQ(tracker.Result(), c.Command);
        if (!tracker.IsDone()) {
            EXPECT_EQ(tracker.BarSelection(), c.Bar);
            EXPECT_EQ(tracker.Depth(), c.Depth);
        }
    }
}

TEST_F(MenuBarTrackerTest, MenuCharOnTheBarNamesTheBarAndNoPopupFlag)
{
    RecordingOwner owner;
    TMenuTracker tracker(owner, m_bar, m_items, m_screen);
    ASSERT_TRUE(tracker.StartBar(0, false));
    tracker.Char('z');
    const auto chars = owner.Of(WM_MENUCHAR);
    ASSERT_EQ(chars.size(), 1u);
    EXPECT_EQ(HIWORD(chars[0].WParam), 0);
    EXPECT_EQ(chars[0].LParam, static_cast<LPARAM>(m_bar.Value));
    EXPECT_EQ(owner.Beeps, 1);
}

TEST_F(MenuBarTrackerTest, MouseSwitchesPopupsAndPopupsOpenBelowTheirItem)
{
    RecordingOwner owner;
    TMenuTracker tracker(owner, m_bar, m_items, m_screen);
    ASSERT_TRUE(tracker.StartBar(0, true));
    EXPECT_EQ(tracker.PopupRect(0).TopLeft(), m_items[0].BottomLeft());
    tracker.MouseMove(m_items[2].TopLeft().OffsetBy(3, 3));
    EXPECT_EQ(tracker.BarSelection(), 2);
    EXPECT_EQ(tracker.MenuAt(0), GetSubMenu(m_bar, 2));
    EXPECT_EQ(owner.Of(WM_INITMENUPOPUP).size(), 2u);
    const TRect about = tracker.ItemRect(0, 0);
    tracker.MouseMove(about.TopLeft().OffsetBy(2, 2));
    tracker.ButtonDown(VK_LBUTTON, about.TopLeft().OffsetBy(2, 2));
    tracker.ButtonUp(VK_LBUTTON, about.TopLeft().OffsetBy(2, 2));
    EXPECT_EQ(tracker.Result(), 2004u);

    RecordingOwner again;
    TMenuTracker closing(again, m_bar, m_items, m_screen);
    ASSERT_TRUE(closing.StartBar(1, true));
    closing.ButtonDown(VK_LBUTTON, m_items[1].TopLeft().OffsetBy(1, 1));
    EXPECT_TRUE(closing.IsDone()) << "a click on the open bar item closes the menu";
    EXPECT_EQ(closing.Result(), 0u);

    RecordingOwner command;
    TMenuTracker bar(command, m_bar, m_items, m_screen);
    ASSERT_TRUE(bar.StartBar(3, false));
    bar.ButtonDown(VK_LBUTTON, m_items[3].TopLeft().OffsetBy(1, 1));
    bar.ButtonUp(VK_LBUTTON, m_items[3].TopLeft().OffsetBy(1, 1));
    EXPECT_EQ(bar.Result(), 2028u) << "a bar item without a pop-up is a command";

    // A bar at the bottom of the screen opens its pop-ups above.
    std::vector<TRect> low;
    for (const TRect& r : m_items)
        low.push_back(r.OffsetBy(0, 740 - r.top));
    RecordingOwner bottom;
    TMenuTracker up(bottom, m_bar, low, m_screen);
    ASSERT_TRUE(up.StartBar(0, true));
    EXPECT_EQ(up.PopupRect(0).bottom, low[0].top);
}

// Keyboard entry to the bar as the layer drives it: key messages go to TMenuBarKeys until it asks for the bar,
// then to the tracker (which, like the pop-up windows, sees key presses and characters, never releases).
// Tokens: "a+" "a-" "a*" Alt down, up, repeat; "f+" "f-" F10; "sh+" "sh-" Shift; "ct+" "ct-" Ctrl; "x+" "x-"
// the letter x with Alt held; "#x" the character x with Alt (WM_SYSCHAR, "#_" a blank); "m" a mouse press;
// "R" "L" "D" "E" "N" right, left, down, escape, return.
struct BarKeyRun {
    bool Entered = false;
    bool Tracking = false;
    std::unique_ptr<TMenuTracker> Tracker;
};

BarKeyRun RunBarKeys(RecordingOwner& owner, HMENU bar, const std::vector<TRect>& items, const std::string& keys)
{
    BarKeyRun run;
    TMenuBarKeys entry;
    std::istringstream in(keys);
    std::string token;
    while (in >> token) {
        const bool tracking = run.Tracker && !run.Tracker->IsDone();
        if (tracking) {
            const std::map<std::string, int> navigation = {{"R", VK_RIGHT},  {"L", VK_LEFT},   {"D", VK_DOWN},
                                                           {"E", VK_ESCAPE}, {"N", VK_RETURN}, {"a+", VK_MENU},
                                                           {"f+", VK_F10}};
            if (const auto it = navigation.find(token); it != navigation.end())
                run.Tracker->KeyDown(it->second);
            else if (token[0] == '#')
                run.Tracker->Char(token[1]);
            continue;
        }
        TMenuBarKeys::TEntry asked;
        if (token == "m") {
            entry.Reset();
        } else if (token[0] == '#') {
            const char ch = token[1] == '_' ? ' ' : token[1];
            asked = entry.Key(WM_SYSCHAR, static_cast<WPARAM>(ch));
        } else {
            const std::string name = token.substr(0, token.size() - 1);
            const char how = token.back();
            const std::map<std::string, int> named = {
                    {"a", VK_MENU}, {"f", VK_F10}, {"sh", VK_SHIFT}, {"ct", VK_CONTROL}};
            const auto it = named.find(name);
            const int vk = it != named.end() ? it->second : std::toupper(static_cast<unsigned char>(name[0]));
            const bool sys = vk != VK_SHIFT && vk != VK_CONTROL;
            const bool down = how != '-';
            const UINT message = down ? (sys ? WM_SYSKEYDOWN : WM_KEYDOWN) : (sys ? WM_SYSKEYUP : WM_KEYUP);
            asked = entry.Key(message, static_cast<WPARAM>(vk));
        }
        if (!asked.Enter)
            continue;
        run.Entered = true;
        run.Tracker = std::make_unique<TMenuTracker>(owner, bar, items, TRect(0, 0, 1024, 768));
        if (asked.Mnemonic == 0)
            run.Tracker->StartBar(0, false);
        else
            run.Tracker->StartBarByChar(asked.Mnemonic);
    }
    run.Tracking = run.Tracker && !run.Tracker->IsDone();
    return run;
}

TEST_F(MenuBarTrackerTest, KeyboardEntersTheBarAndMovesAlongIt)
{
    struct Case {
        const char* What;
        const char* Keys;
        bool Entered;
        bool Tracking;
        UINT Command;
        int Bar;       // bar selection while still tracking
        int Depth;     // pop-ups open while still tracking
        int Selection; // selected item of the open pop-up; -1 for none
        int Beeps;
    };

    const Case cases[] = {
            {"a lone Alt selects the first item", "a+ a-", true, true, 0, 0, 0, -1, 0},
            {"Alt held down is still alone", "a+ a* a* a-", true, true, 0, 0, 0, -1, 0},
            {"F10 selects the first item", "f+ f-", true, true, 0, 0, 0, -1, 0},
            {"Shift+F10 is not the menu", "sh+ f+ f- sh-", false, false, 0, -1, 0, -1, 0},
            {"Alt with Ctrl between is no lone Alt", "a+ ct+ ct- a-", false, false, 0, -1, 0, -1, 0},
            {"Alt pressed while Shift is held", "sh+ a+ a- sh-", false, false, 0, -1, 0, -1, 0},
            {"a click between Alt's press and release", "a+ m a-", false, false, 0, -1, 0, -1, 0},
            {"Alt+letter opens that pop-up with its first item", "a+ h+ #h", true, true, 0, 2, 1, 0, 0},
            {"Alt+letter in any case", "a+ s+ #S", true, true, 0, 0, 1, 0, 0},
            {"the owner names an owner-drawn bar item", "a+ t+ #t", true, true, 0, 1, 1, 0, 0},
            {"Alt+letter of a bar command chooses it", "a+ r+ #r", true, false, 2028, -1, 0, -1, 0},
            {"Alt with a letter no item has: a beep, no tracking", "a+ z+ #z z- a-", true, false, 0, -1, 0, -1, 1},
            {"the owner closes the menu without a beep", "a+ q+ #q", true, false, 0, -1, 0, -1, 0},
            {"Ctrl+Alt+letter is no mnemonic", "ct+ a+ h+ #h", false, false, 0, -1, 0, -1, 0},
            {"Alt+Space is no mnemonic", "a+ #_ a-", false, false, 0, -1, 0, -1, 0},
            {"right and left move along the bar", "f+ f- R R L", true, true, 0, 1, 0, -1, 0},
            {"left from the first item wraps to the last", "a+ a- L", true, true, 0, 3, 0, -1, 0},
            {"down opens, right moves to the next pop-up", "f+ f- D R N", true, false, 2009, -1, 0, -1, 0},
            {"right from an open pop-up opens the next one", "a+ s+ #s R", true, true, 0, 1, 1, 0, 0},
            {"escape goes back to the bar, a second one leaves", "a+ s+ #s E", true, true, 0, 0, 0, -1, 0},
            {"escape twice", "a+ s+ #s E E", true, false, 0, -1, 0, -1, 0},
            {"escape on the bar leaves", "f+ f- E", true, false, 0, -1, 0, -1, 0},
            {"Alt again leaves", "a+ a- a+", true, false, 0, -1, 0, -1, 0},
            {"F10 again leaves", "f+ f- f+", true, false, 0, -1, 0, -1, 0},
            {"after leaving, a lone Alt enters again", "f+ f- E a+ a-", true, true, 0, 0, 0, -1, 0},
            {"keys held into the tracking are no keys held after it", "a+ h+ #h E E a+ a-", true, true, 0, 0, 0, -1, 0},
            {"a pop-up mnemonic after Alt+letter", "a+ s+ #s #t", true, false, 2011, -1, 0, -1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.What << ": " << c.Keys);
        RecordingOwner owner;
        owner.MenuCharAnswers = {{'t', MAKELRESULT(1, MNC_EXECUTE)}, {'q', MAKELRESULT(0, MNC_CLOSE)}};
        const BarKeyRun run = RunBarKeys(owner, m_bar, m_items, c.Keys);
        EXPECT_EQ(run.Entered, c.Entered);
        EXPECT_EQ(run.Tracking, c.Tracking);
        EXPECT_EQ(owner.Beeps, c.Beeps);
        if (run.Tracker != nullptr) {
            EXPECT_EQ(run.Tracker->Result(), c.Command);
        }
        if (run.Tracking) {
            EXPECT_EQ(run.Tracker->BarSelection(), c.Bar);
            EXPECT_EQ(run.Tracker->Depth(), c.Depth);
            if (run.Tracker->Depth() > 0) {
                EXPECT_EQ(run.Tracker->SelectionAt(run.Tracker->Depth() - 1), c.Selection);
            }
        }
        // Commands reach the owner only as the posted WM_COMMAND, at most one.
        const auto commands = owner.Of(WM_COMMAND);
        EXPECT_EQ(commands.size(), c.Command != 0 ? 1u : 0u);
    }
}

TEST_F(MenuBarTrackerTest, AltLetterPreparesTheBarBeforeAskingTheOwner)
{
    RecordingOwner owner;
    TMenuTracker tracker(owner, m_bar, m_items, m_screen);
    EXPECT_FALSE(tracker.StartBarByChar('z'));
    std::vector<UINT> order;
    for (const auto& m : owner.Messages)
        order.push_back(m.Message);
    const std::vector<UINT> expected = {WM_ENTERMENULOOP, WM_INITMENU, WM_MENUCHAR, WM_MENUSELECT, WM_EXITMENULOOP};
    EXPECT_EQ(order, expected);
    const auto chars = owner.Of(WM_MENUCHAR);
    ASSERT_EQ(chars.size(), 1u);
    EXPECT_EQ(HIWORD(chars[0].WParam), 0) << "a bar is no pop-up";
    EXPECT_EQ(chars[0].LParam, static_cast<LPARAM>(m_bar.Value));

    // The owner's answer beyond the bar's items is no item.
    RecordingOwner wrong;
    wrong.MenuCharAnswers = {{'t', MAKELRESULT(9, MNC_EXECUTE)}};
    TMenuTracker beyond(wrong, m_bar, m_items, m_screen);
    EXPECT_FALSE(beyond.StartBarByChar('t'));
    EXPECT_EQ(wrong.Beeps, 1);
}

TEST_F(MenuBarTrackerTest, BarLayoutWrapsAndTakesTheTallestItem)
{
    const TSize sizes[] = {{60, 19}, {50, 25}, {40, 19}, {10, 5}};
    const auto rects = LayoutMenuBar(m_bar, sizes, 100, 19);
    ASSERT_EQ(rects.size(), 4u);
    EXPECT_EQ(rects[0], TRect(0, 0, 60, 19));
    EXPECT_EQ(rects[1], TRect(0, 19, 50, 44));
    EXPECT_EQ(rects[2], TRect(50, 19, 90, 44));
    EXPECT_EQ(rects[3], TRect(90, 19, 100, 44));
}

} // namespace
} // namespace qm::gui
