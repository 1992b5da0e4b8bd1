#include "gui/model/GadgetWindowCore.h"
#include "gui/model/tests/FakeGadgetHost.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace qm::gui {
namespace {

using test::FakeGadgetHost;

// One gadget of a layout case: B a button with a 16 x 15 glyph (23 x 22), S a separator of size A, T a
// shrink-wrapped recessed text gadget of A characters (2 + 6A x 15), F a fixed gadget A x B.
struct Shape {
    char Kind;
    int A = 0;
    int B = 0;
    bool Wide = false;
    bool EndOfRow = false;
    bool Hidden = false;
};

std::unique_ptr<TGadget> Make(const Shape& s)
{
    std::unique_ptr<TGadget> g;
    switch (s.Kind) {
    case 'B':
        g = std::make_unique<TButtonGadget>(100, 1, TButtonGadget::Command, true);
        break;
    case 'S':
        g = std::make_unique<TSeparatorGadget>(s.A);
        break;
    case 'T': {
        auto t = std::make_unique<TTextGadget>(0, TGadget::Recessed, TTextGadget::Left, 10, std::string(s.A, 'x'));
        t->SetShrinkWrap(true, true);
        g = std::move(t);
        break;
    }
    default:
        g = std::make_unique<TGadget>();
        g->SetShrinkWrap(false, false);
        g->SetSize({s.A, s.B});
        break;
    }
    g->WideAsPossible = s.Wide;
    g->SetEndOfRow(s.EndOfRow);
    g->SetVisible(!s.Hidden);
    return g;
}

std::string Str(const TRect& r)
{
    return std::to_string(r.left) + "," + std::to_string(r.top) + "," + std::to_string(r.right) + "," +
           std::to_string(r.bottom);
}

TEST(GadgetLayoutTest, PlacesGadgetsByDirectionMarginsAndFlags)
{
    struct Case {
        const char* What;
        TGadgetWindowCore::TTileDirection Direction;
        TMargins Margins;
        TSize Client;
        int RowWidth;
        int Spacing;
        std::vector<Shape> Gadgets;
        std::vector<TRect> Want; // bounds of the visible gadgets, in order
        TSize WantClient;
        std::vector<bool> WantEndOfRow;
    };

    using D = TGadgetWindowCore;
    const std::vector<Case> cases = {
            {"horizontal with a separator across the whole line",
             D::Horizontal,
             {},
             {300, 0},
             0,
             0,
             {{'B'}, {'S', 6}, {'B'}},
             {{0, 0, 23, 22}, {23, 0, 29, 22}, {29, 0, 52, 22}},
             {300, 22},
             {}},
            {"a separator of size 0 takes the default of six border widths",
             D::Horizontal,
             {},
             {300, 0},
             0,
             0,
             {{'B'}, {'S', 0}, {'B'}},
             {{0, 0, 23, 22}, {23, 0, 29, 22}, {29, 0, 52, 22}},
             {300, 22},
             {}},
            {"margins, and a smaller gadget centred across the line",
             D::Horizontal,
             {2, 2, 3, 3},
             {300, 0},
             0,
             0,
             {{'B'}, {'F', 10, 10}},
             {{2, 3, 25, 25}, {25, 9, 35, 19}},
             {300, 28},
             {}},
            {"vertical: shrink-wrapped width, separator as wide as the column",
             D::Vertical,
             {1, 1, 1, 1},
             {0, 200},
             0,
             0,
             {{'B'}, {'S', 6}, {'B'}},
             {{1, 1, 24, 23}, {1, 23, 24, 29}, {1, 29, 24, 51}},
             {25, 200},
             {}},
            {"wide-as-possible takes what shrink-wrapped text leaves",
             D::Horizontal,
             {},
             {200, 0},
             0,
             0,
             {{'F', 10, 15, true}, {'T', 3}, {'T', 2}},
             {{0, 0, 166, 15}, {166, 0, 186, 15}, {186, 0, 200, 15}},
             {200, 15},
             {}},
            {"two wide gadgets share the room",
             D::Horizontal,
             {},
             {101, 0},
             0,
             0,
             {{'F', 1, 10, true}, {'F', 20, 10}, {'F', 1, 10, true}},
             {{0, 0, 40, 10}, {40, 0, 60, 10}, {60, 0, 101, 10}},
             {101, 10},
             {}},
            {"rows wrap at the row width",
             D::Rectangular,
             {},
             {0, 0},
             60,
             0,
             {{'B'}, {'B'}, {'B'}},
             {{0, 0, 23, 22}, {23, 0, 46, 22}, {0, 26, 23, 48}},
             {46, 48},
             {false, true, false}},
            {"an end-of-row gadget ends its row",
             D::Rectangular,
             {},
             {0, 0},
             200,
             0,
             {{'B', 0, 0, false, true}, {'B'}, {'B'}},
             {{0, 0, 23, 22}, {0, 26, 23, 48}, {23, 26, 46, 48}},
             {46, 48},
             {true, false, false}},
            {"rows with margins and a separator as high as its row",
             D::Rectangular,
             {4, 4, 3, 3},
             {0, 0},
             50,
             0,
             {{'B'}, {'S', 6}, {'B'}, {'B'}},
             {{4, 3, 27, 25}, {27, 3, 33, 25}, {4, 29, 27, 51}, {27, 29, 50, 51}},
             {54, 54},
             {false, true, false, false}},
            {"spacing between the gadgets of a status bar",
             D::Horizontal,
             {},
             {200, 0},
             0,
             2,
             {{'F', 10, 15, true}, {'T', 3}, {'T', 2}},
             {{0, 0, 162, 15}, {164, 0, 184, 15}, {186, 0, 200, 15}},
             {200, 15},
             {}},
            {"spacing counts where rows wrap",
             D::Rectangular,
             {},
             {0, 0},
             48,
             2,
             {{'B'}, {'B'}, {'B'}},
             {{0, 0, 23, 22}, {25, 0, 48, 22}, {0, 26, 23, 48}},
             {48, 48},
             {false, true, false}},
            {"a hidden gadget takes no room",
             D::Horizontal,
             {},
             {300, 0},
             0,
             0,
             {{'B', 0, 0, false, false, true}, {'B'}},
             {{0, 0, 23, 22}},
             {300, 22},
             {}},
            {"an empty window is its margins", D::Vertical, {5, 5, 5, 5}, {0, 100}, 0, 0, {}, {}, {10, 100}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        FakeGadgetHost host;
        host.Client = c.Client;
        TGadgetWindowCore window(host, c.Direction);
        window.SetMargins(c.Margins);
        if (c.RowWidth > 0)
            window.SetRectangularDimensions(c.RowWidth, 4);
        window.SetSpacing(c.Spacing);
        for (const auto& s : c.Gadgets)
            window.Insert(Make(s));
        window.LayoutSession();
        std::vector<TRect> got;
        std::vector<bool> ends;
        for (TGadget* g = window.FirstGadget(); g != nullptr; g = g->NextGadget()) {
            if (!g->IsVisible())
                continue;
            got.push_back(g->GetBounds());
            ends.push_back(g->IsEndOfRow());
        }
        ASSERT_EQ(got.size(), c.Want.size());
        for (std::size_t i = 0; i < got.size(); ++i)
            EXPECT_EQ(got[i], c.Want[i]) << "gadget " << i << ": got " << Str(got[i]) << ", want " << Str(c.Want[i]);
        EXPECT_EQ(host.Client, c.WantClient) << "got " << host.Client.cx << "x" << host.Client.cy;
        if (!c.WantEndOfRow.empty()) {
            EXPECT_EQ(ends, c.WantEndOfRow);
        }
    }
}

TEST(GadgetLayoutTest, GadgetFromPointUsesExclusiveEdgesAndSkipsHiddenGadgets)
{
    FakeGadgetHost host;
    host.Client = {300, 0};
    TGadgetWindowCore window(host);
    TGadget* first = window.Insert(Make({'B'}));
    TGadget* sep = window.Insert(Make({'S', 6}));
    TGadget* last = window.Insert(Make({'B'}));
    window.LayoutSession();

    struct Case {
        TPoint Point;
        TGadget* Want;
    };

    const Case cases[] = {{{0, 0}, first},    {{22, 21}, first},  {{23, 5}, sep},    {{29, 5}, last},
                          {{52, 0}, nullptr}, {{0, 22}, nullptr}, {{-1, 0}, nullptr}};
    for (const auto& c : cases)
        EXPECT_EQ(window.GadgetFromPoint(c.Point), c.Want) << c.Point.x << "," << c.Point.y;
    last->SetVisible(false);
    EXPECT_EQ(window.GadgetFromPoint({30, 5}), nullptr);
}

TEST(GadgetLayoutTest, SizeChangeResizesTheWindowAndTellsTheParent)
{
    FakeGadgetHost host;
    host.Client = {300, 0};
    TGadgetWindowCore window(host);
    window.Insert(Make({'B'}));
    window.LayoutSession();
    ASSERT_EQ(host.ParentMessages.size(), 1u);
    EXPECT_EQ(host.ParentMessages[0].Message, static_cast<UINT>(WM_PARENTNOTIFY));
    EXPECT_EQ(LOWORD(host.ParentMessages[0].WParam), WM_SIZE);
    EXPECT_EQ(host.ParentMessages[0].LParam, static_cast<LPARAM>(FakeGadgetHost::kHandle));

    window.LayoutSession();
    EXPECT_EQ(host.ParentMessages.size(), 1u) << "no change, no notification";

    TGadget* tall = window.Insert(Make({'F', 10, 30}));
    EXPECT_EQ(host.Client, TSize(300, 30));
    EXPECT_EQ(host.ParentMessages.size(), 2u);

    auto removed = window.Remove(*tall);
    ASSERT_NE(removed, nullptr);
    EXPECT_EQ(removed->GetGadgetWindow(), nullptr);
    window.LayoutSession();
    EXPECT_EQ(host.Client, TSize(300, 22));
    EXPECT_EQ(host.ParentMessages.size(), 3u);

    // A shrink-wrapped text gadget of a vertical bar grows the bar's width with its text.
    FakeGadgetHost vhost;
    vhost.Client = {0, 100};
    TGadgetWindowCore vertical(vhost, TGadgetWindowCore::Vertical);
    auto* text = static_cast<TTextGadget*>(vertical.Insert(Make({'T', 2})));
    vertical.LayoutSession();
    EXPECT_EQ(vhost.Client.cx, 14);
    text->SetText("longer");
    EXPECT_EQ(vhost.Client.cx, 38);
    EXPECT_EQ(vhost.ParentMessages.size(), 2u);
}

TEST(GadgetLayoutTest, BitmapGadgetShowsOneCellOfItsBitmap)
{
    FakeGadgetHost host; // bitmaps are 16 x 15
    host.Client = {300, 0};
    TGadgetWindowCore bar(host);
    auto* g = static_cast<TBitmapGadget*>(bar.Insert(std::make_unique<TBitmapGadget>(5, 9, TGadget::Plain, 4, 7)));
    bar.LayoutSession();
    EXPECT_EQ(g->GetBounds().Size(), TSize(4 + 2, 15 + 2)) << "one of four cells, with a plain border";
    EXPECT_EQ(g->GetCurrentImage(), 3) << "a start cell past the last is the last";
    EXPECT_EQ(g->SelectImage(1), 3);
    EXPECT_EQ(g->SelectImage(4), 1) << "no fifth cell";
    EXPECT_EQ(g->GetCurrentImage(), 1);
}

TEST(GadgetLayoutTest, InsertBeforeAndAfterSiblings)
{
    FakeGadgetHost host;
    TGadgetWindowCore window(host);
    auto make = [](int id) {
        return std::make_unique<TGadget>(id);
    };
    TGadget* two = window.Insert(make(2));
    window.Insert(make(4));
    window.Insert(make(3), TGadgetWindowCore::After, two);
    window.Insert(make(1), TGadgetWindowCore::Before);
    window.Insert(make(0), TGadgetWindowCore::Before, window.FirstGadget());
    std::vector<int> ids;
    for (TGadget* g = window.FirstGadget(); g != nullptr; g = g->NextGadget())
        ids.push_back(g->GetId());
    EXPECT_EQ(ids, (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_EQ(window.PrevGadget(*two)->GetId(), 1);
    EXPECT_EQ(window.GadgetWithId(4), window.LastGadget());
    TGadget stranger;
    EXPECT_EQ(window.Remove(stranger), nullptr);
}

} // namespace
} // namespace qm::gui

namespace qm::gui {
namespace {

TEST(GadgetHintTest, HintsFollowTheWindowsHintMode)
{
    struct Case {
        const char* What;
        TGadgetWindowCore::THintMode Mode;
        std::vector<int> Want;
    };

    // Over button 7, press and release on it, over the separator, over button 8, out of the window.
    const Case cases[] = {
            {"press hints: while pressed", TGadgetWindowCore::PressHints, {7, -1}},
            {"enter hints: as the mouse enters", TGadgetWindowCore::EnterHints, {7, -1, 8, -1}},
            {"no hints", TGadgetWindowCore::NoHints, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        test::FakeGadgetHost host;
        host.Client = {300, 0};
        TGadgetWindowCore bar(host);
        bar.SetHintMode(c.Mode);
        bar.Insert(std::make_unique<TButtonGadget>(100, 7, TButtonGadget::Command, true));
        bar.Insert(std::make_unique<TSeparatorGadget>(6));
        bar.Insert(std::make_unique<TButtonGadget>(100, 8, TButtonGadget::Command, true));
        bar.LayoutSession();
        bar.MouseMove(0, {5, 5});
        bar.LButtonDown(MK_LBUTTON, {5, 5});
        bar.LButtonUp(0, {5, 5});
        bar.MouseMove(0, {25, 5});
        bar.MouseMove(0, {35, 5});
        bar.MouseLeft();
        EXPECT_EQ(host.Hints, c.Want);
    }
}

TEST(GadgetButtonTest, BorderStyleFollowsThePressAndTheState)
{
    // A button shows ButtonDn while pressed or down and ButtonUp otherwise, so the border painter draws it; the
    // border widths stay 2.
    test::FakeGadgetHost host;
    host.Client = {300, 0};
    TGadgetWindowCore bar(host);
    auto* button = static_cast<TButtonGadget*>(
            bar.Insert(std::make_unique<TButtonGadget>(100, 7, TButtonGadget::Command, true)));
    auto* latched = static_cast<TButtonGadget*>(bar.Insert(
            std::make_unique<TButtonGadget>(100, 8, TButtonGadget::NonExclusive, true, TButtonGadget::Down, true)));
    bar.LayoutSession();
    EXPECT_EQ(button->GetBorderStyle(), TGadget::ButtonUp);
    EXPECT_EQ(latched->GetBorderStyle(), TGadget::ButtonDn) << "made down";
    EXPECT_TRUE(latched->GetSharedGlyph());

    struct Step {
        const char* What;
        std::function<void()> Act;
        TGadget::TBorderStyle Want;
    };

    const TPoint on = button->GetBounds().TopLeft().OffsetBy(3, 3);
    const TPoint off(250, 3);
    const Step steps[] = {
            {"pressed", [&] { bar.LButtonDown(MK_LBUTTON, on); }, TGadget::ButtonDn},
            {"dragged off", [&] { bar.MouseMove(MK_LBUTTON, off); }, TGadget::ButtonUp},
            {"dragged back", [&] { bar.MouseMove(MK_LBUTTON, on); }, TGadget::ButtonDn},
            {"released on it", [&] { bar.LButtonUp(0, on); }, TGadget::ButtonUp},
            {"set down", [&] { button->SetButtonState(TButtonGadget::Down); }, TGadget::ButtonDn},
            {"set up", [&] { button->SetButtonState(TButtonGadget::Up); }, TGadget::ButtonUp},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.What);
        step.Act();
        EXPECT_EQ(button->GetBorderStyle(), step.Want);
        EXPECT_EQ(button->GetBorders().Left, 2);
    }
    EXPECT_EQ(host.Posted.size(), 1u) << "the one click";
}

TEST(GadgetBorderTest, ANewBorderStyleRepaintsTheGadgetAlsoAtTheSameWidth)
{
    struct Case {
        TGadget::TBorderStyle From;
        TGadget::TBorderStyle To;
        int Width;
    };

    const Case cases[] = {
            {TGadget::Raised, TGadget::Recessed, 1},
            {TGadget::Embossed, TGadget::Grooved, 2},
            {TGadget::Raised, TGadget::Embossed, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.To));
        test::FakeGadgetHost host;
        host.Client = {300, 0};
        TGadgetWindowCore bar(host);
        TGadget* text = bar.Insert(std::make_unique<TTextGadget>(1, c.From));
        bar.LayoutSession();
        host.Invalidated.clear();
        text->SetBorderStyle(c.To);
        EXPECT_EQ(text->GetBorderStyle(), c.To);
        EXPECT_EQ(text->GetBorders().Left, c.Width);
        const TRect bounds = text->GetBounds();
        EXPECT_TRUE(std::any_of(host.Invalidated.begin(), host.Invalidated.end(), [&](const TRect& r) {
            return r.left <= bounds.left && r.top <= bounds.top && r.right >= bounds.right && r.bottom >= bounds.bottom;
        })) << "the gadget is not painted again";
    }
}

} // namespace
} // namespace qm::gui
