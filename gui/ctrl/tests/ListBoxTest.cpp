// List boxes: owner-drawn items with their states, sorting, the selection kinds, top index, extent, columns.
#include "gui/ctrl/ListBox.h"

#include "gui/ctrl/tests/CtrlTestSupport.h"
#include "gui/draw/Dc.h"
#include "gui/window/WindowWidget.h"

#include <QImage>
#include <QListWidget>
#include <QScrollBar>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace qm::gui {
namespace {

using test::Log;

class ListBoxTest : public test::CtrlTest {
protected:
    TListBox* MakeBox(DWORD style, int w = 200, int h = 120)
    {
        auto* box = new TListBox(m_frame.get(), 500, 10, 10, w, h);
        box->Attr.Style = WS_CHILD | WS_VISIBLE | WS_TABSTOP | style;
        return box;
    }

    static QListWidget* List(const TListBox& box) { return static_cast<QListWidget*>(WidgetOf(box)); }

    // Clicks item index in the middle of its rectangle with the modifiers given.
    static void Click(const TListBox& box, int index, Qt::KeyboardModifiers modifiers = {})
    {
        const TRect r = box.GetItemRect(index);
        QTest::mouseClick(List(box)->viewport(), Qt::LeftButton, modifiers, QPoint(r.left + 5, (r.top + r.bottom) / 2));
    }

    int SelChanges() const
    {
        int n = 0;
        for (const auto& r : Log()) {
            n += r.Window == "frame" && r.Msg == WM_COMMAND && HIWORD(r.WParam) == LBN_SELCHANGE ? 1 : 0;
        }
        return n;
    }
};

TEST_F(ListBoxTest, OwnerDrawnItemsAreMeasuredOnceAndDrawnWithTheirStates)
{
    struct Drawn {
        UINT State = 0;
        TRect Rect;
        std::uint64_t Data = 0;
    };

    std::map<UINT, Drawn> drawn;
    int measured = 0;
    constexpr COLORREF kInk = RGB(0, 90, 200);
    m_frame->Handler = [&](UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) {
        if (msg == WM_MEASUREITEM) {
            auto* m = reinterpret_cast<MEASUREITEMSTRUCT*>(lParam);
            EXPECT_EQ(m->CtlType, ODT_LISTBOX);
            EXPECT_EQ(wParam, 500u);
            m->itemHeight = 21;
            ++measured;
            return (result = 1) != 0;
        }
        if (msg == WM_DRAWITEM) {
            auto* d = reinterpret_cast<DRAWITEMSTRUCT*>(lParam);
            EXPECT_EQ(d->CtlType, ODT_LISTBOX);
            EXPECT_EQ(d->CtlID, 500u);
            drawn[d->itemID] = Drawn{d->itemState, d->rcItem, d->itemData};
            if (d->itemState & ODS_FOCUS) {
                d->hDC->FillSolidRect(d->rcItem, TColor(kInk));
            }
            return (result = 1) != 0;
        }
        return false;
    };
    TListBox* box = MakeBox(LBS_OWNERDRAWFIXED | LBS_EXTENDEDSEL | LBS_NOTIFY | WS_VSCROLL);
    Show();
    EXPECT_EQ(measured, 1);
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(box->AddString("item"), i);
        box->SetItemData(i, 100 + i);
    }
    box->SetSel(1, true); // the program's change tells no one
    box->SetFocus();
    ASSERT_TRUE(WaitFor([&] { return TWindow::GetFocus() == box; }));
    Click(*box, 2, Qt::ControlModifier);
    EXPECT_EQ(SelChanges(), 1);
    EXPECT_EQ(box->GetSelIndexes(), (std::vector<int>{1, 2}));

    drawn.clear();
    List(*box)->viewport()->repaint();
    ASSERT_EQ(drawn.size(), 4u);
    EXPECT_EQ(drawn[0].State, 0u);
    EXPECT_EQ(drawn[1].State, ODS_SELECTED);
    EXPECT_EQ(drawn[2].State, ODS_SELECTED | ODS_FOCUS);
    EXPECT_EQ(drawn[3].State, 0u);
    const int width = List(*box)->viewport()->width();
    EXPECT_EQ(drawn[2].Rect, TRect(0, 42, width, 63));
    EXPECT_EQ(drawn[3].Data, 103u);

    // What the parent drew is what shows, at the item's place.
    const QImage shown = List(*box)->viewport()->grab().toImage();
    EXPECT_EQ(shown.pixelColor(5, 50).rgb() & 0xFFFFFF, 0x005AC8u); // RGB(0, 90, 200)
    EXPECT_NE(shown.pixelColor(5, 30).rgb() & 0xFFFFFF, 0x005AC8u);
}

// A box that erases and draws its items itself, as an image list box does.
class TSelfDrawnBox : public TListBox {
public:
    using TListBox::TListBox;

    LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override
    {
        if (msg == WM_ERASEBKGND) {
            reinterpret_cast<TDC*>(wParam)->FillSolidRect(GetClientRect(), TColor(RGB(200, 0, 0)));
            return 1;
        }
        return TListBox::WindowProc(msg, wParam, lParam);
    }

    void MeasureItem(MEASUREITEMSTRUCT& measure) override { measure.itemHeight = 30; }

    void DrawItem(DRAWITEMSTRUCT& draw) override
    {
        if (draw.itemState & ODS_SELECTED) {
            draw.hDC->FillSolidRect(draw.rcItem, TColor(RGB(0, 160, 0)));
        }
    }
};

TEST_F(ListBoxTest, ABoxWhoseParentLeavesTheDrawingErasesMeasuresAndDrawsItself)
{
    auto* box = new TSelfDrawnBox(m_frame.get(), 500, 10, 10, 200, 150);
    box->Attr.Style = WS_CHILD | WS_VISIBLE | LBS_OWNERDRAWFIXED | LBS_NOINTEGRALHEIGHT;
    Show();
    EXPECT_EQ(box->GetItemHeight(), 30);
    box->AddString("");
    box->AddString("");
    box->SetSelIndex(1);
    QWidget* viewport = List(*box)->viewport();
    viewport->repaint();
    const QImage shown = viewport->grab().toImage();
    EXPECT_EQ(shown.pixel(5, 45), qRgb(0, 160, 0)); // item 1, selected
    EXPECT_EQ(shown.pixel(5, 15), qRgb(200, 0, 0)); // item 0 draws nothing over the erased ground
    EXPECT_EQ(shown.pixel(5, 100), qRgb(200, 0, 0));
}

TEST_F(ListBoxTest, SortedBoxesPlaceTextsCaseInsensitivelyAndInsertStringDoesNotSort)
{
    TListBox* sorted = MakeBox(LBS_SORT);
    TListBox* plain = MakeBox(0);
    EXPECT_EQ(sorted->AddString("early"), LB_ERR); // no window yet
    Show();
    for (const char* text : {"delta", "Alpha", "charlie", "bravo"}) {
        sorted->AddString(text);
        plain->AddString(text);
    }
    EXPECT_EQ(sorted->InsertString("zulu", 0), 0);
    const std::vector<std::string> want = {"zulu", "Alpha", "bravo", "charlie", "delta"};
    const std::vector<std::string> wantPlain = {"delta", "Alpha", "charlie", "bravo"};
    for (int i = 0; i < sorted->GetCount(); ++i) {
        EXPECT_EQ(sorted->GetString(i), want[static_cast<std::size_t>(i)]);
    }
    for (int i = 0; i < plain->GetCount(); ++i) {
        EXPECT_EQ(plain->GetString(i), wantPlain[static_cast<std::size_t>(i)]);
    }
    EXPECT_EQ(plain->DeleteString(0), 3);
    EXPECT_EQ(plain->DeleteString(3), LB_ERR);
    EXPECT_EQ(plain->GetString(0), "Alpha");
}

struct SelectionStep {
    int Index;
    Qt::KeyboardModifiers Modifiers;
    std::vector<int> Want; // the selection after this click; each click changes it and notifies once
};

struct SelectionCase {
    const char* What;
    DWORD Style;
    std::vector<SelectionStep> Clicks;
};

class ListBoxSelectionTest
    : public ListBoxTest
    , public ::testing::WithParamInterface<SelectionCase> {};

TEST_P(ListBoxSelectionTest, SelectionFollowsTheBoxesSelectionKind)
{
    const SelectionCase& c = GetParam();
    TListBox* box = MakeBox(c.Style | LBS_NOTIFY);
    Show();
    for (const char* text : {"a", "b", "c", "d", "e"}) {
        box->AddString(text);
    }
    for (std::size_t i = 0; i < c.Clicks.size(); ++i) {
        const SelectionStep& step = c.Clicks[i];
        SCOPED_TRACE("click " + std::to_string(i + 1) + " on item " + std::to_string(step.Index));
        const int before = SelChanges();
        Click(*box, step.Index, step.Modifiers);
        EXPECT_EQ(box->GetSelIndexes(), step.Want);
        EXPECT_EQ(box->GetSelCount(), static_cast<int>(step.Want.size()));
        EXPECT_EQ(SelChanges() - before, 1) << "LBN_SELCHANGE notifications for one change";
    }
}

INSTANTIATE_TEST_SUITE_P(
        Kinds, ListBoxSelectionTest,
        ::testing::Values(
                SelectionCase{"SingleTheLastClickWins", 0, {{1, {}, {1}}, {3, Qt::ControlModifier, {3}}}},
                SelectionCase{"ExtendedAPlainClickSelectsOnlyItsItem", LBS_EXTENDEDSEL, {{1, {}, {1}}, {3, {}, {3}}}},
                SelectionCase{"ExtendedShiftSelectsTheRangeFromTheAnchor",
                              LBS_EXTENDEDSEL,
                              {{1, {}, {1}}, {3, Qt::ShiftModifier, {1, 2, 3}}}},
                SelectionCase{"ExtendedControlAddsAndRemovesOneItem",
                              LBS_EXTENDEDSEL,
                              {{0, {}, {0}},
                               {2, Qt::ControlModifier, {0, 2}},
                               {4, Qt::ControlModifier, {0, 2, 4}},
                               {2, Qt::ControlModifier, {0, 4}}}},
                SelectionCase{"MultipleEveryClickTogglesItsItem",
                              LBS_MULTIPLESEL,
                              {{0, {}, {0}}, {2, {}, {0, 2}}, {3, {}, {0, 2, 3}}, {0, {}, {2, 3}}}}),
        [](const ::testing::TestParamInfo<SelectionCase>& param) { return std::string(param.param.What); });

TEST_F(ListBoxTest, TopIndexItemHeightAndHorizontalExtentPlaceTheItems)
{
    TListBox* box = MakeBox(WS_VSCROLL | WS_HSCROLL, 200, 120);
    Show();
    for (int i = 0; i < 100; ++i) {
        box->AddString("line " + std::to_string(i));
    }
    EXPECT_EQ(box->SendMessage(LB_SETITEMHEIGHT, 0, 20), 0);
    EXPECT_EQ(box->GetItemHeight(), 20);
    EXPECT_EQ(box->GetItemRect(3).top, 60);
    EXPECT_EQ(box->GetItemRect(3).Height(), 20);
    EXPECT_EQ(box->SendMessage(LB_SETITEMHEIGHT, 0, 256), LB_ERR);

    EXPECT_EQ(box->GetTopIndex(), 0);
    EXPECT_EQ(box->SetTopIndex(50), 0);
    EXPECT_EQ(box->GetTopIndex(), 50);
    EXPECT_EQ(box->GetItemRect(50).top, 0);
    // The last items cannot scroll past the bottom: the last page shows them.
    EXPECT_EQ(box->SetTopIndex(99), 0);
    // The client area leaves out the border and the scroll bars, so a page counted from it is what the box shows.
    EXPECT_EQ(box->GetClientRect().Size(), TSize(List(*box)->viewport()->width(), List(*box)->viewport()->height()));
    const int perPage = box->GetClientRect().Height() / 20;
    EXPECT_EQ(box->GetTopIndex(), 100 - perPage);
    EXPECT_EQ(box->GetItemRect(99).bottom, perPage * 20);
    EXPECT_EQ(box->ClientToScreen(TPoint(0, 0)), TPoint(List(*box)->viewport()->mapToGlobal(QPoint(0, 0)).x(),
                                                        List(*box)->viewport()->mapToGlobal(QPoint(0, 0)).y()));
    EXPECT_EQ(box->SetTopIndex(100), LB_ERR);

    QScrollBar* across = List(*box)->horizontalScrollBar();
    EXPECT_EQ(box->GetItemRect(0).Width(), List(*box)->viewport()->width());
    box->SetHorizontalExtent(1000);
    ASSERT_TRUE(WaitFor([&] { return across->maximum() > 0; }));
    EXPECT_EQ(across->maximum(), 1000 - List(*box)->viewport()->width());
    // The shown scroll bar is not part of the client area.
    ASSERT_TRUE(WaitFor([&] { return across->isVisible(); }));
    EXPECT_EQ(box->GetClientRect().Height(), box->GetWindowRect().Height() - across->height());
    EXPECT_EQ(box->GetItemRect(0).Width(), 1000);
    across->setValue(100);
    EXPECT_EQ(box->GetItemRect(0).left, -100);
}

// A list box that keeps the client size its last WM_SIZE gave.
class TSizeRecordingBox : public TListBox {
public:
    using TListBox::TListBox;
    std::optional<TSize> LastSize;

    LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override
    {
        if (msg == WM_SIZE) {
            LastSize = TSize(LOWORD(lParam), HIWORD(lParam));
        }
        return TListBox::WindowProc(msg, wParam, lParam);
    }
};

TEST_F(ListBoxTest, ClientAreaOfABoxNotYetShownIsItsSizeInsideTheBorder)
{
    // Qt lays a hidden control out only at its first show; the client area and WM_SIZE are right before that.
    struct Case {
        const char* What;
        bool FrameShown;
        TSize ResizeTo; // another size given while hidden (0 x 0: none)
    };

    const Case cases[] = {
            {"made with a frame not yet shown", false, {}},
            {"made hidden in a shown frame", true, {}},
            {"resized while hidden", true, {150, 70}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        TearDown();
        SetUp();
        if (c.FrameShown) {
            Show();
        }
        auto* box = new TSizeRecordingBox(m_frame.get(), 500, 10, 10, 200, 120);
        box->Attr.Style = WS_CHILD | WS_BORDER | WS_VSCROLL;
        ASSERT_TRUE(c.FrameShown ? box->Create() : m_frame->Create());
        TSize size(200, 120);
        if (c.ResizeTo.cx != 0) {
            size = c.ResizeTo;
            box->MoveWindow(TRect(TPoint(10, 10), size), false);
        }
        ASSERT_FALSE(List(*box)->isVisible());
        const int border = List(*box)->frameWidth();
        const TSize want(size.cx - 2 * border, size.cy - 2 * border);
        const TSize client = box->GetClientRect().Size();
        EXPECT_EQ(client, want) << "got " << client.cx << " x " << client.cy << ", want " << want.cx << " x "
                                << want.cy;
        ASSERT_TRUE(box->LastSize.has_value());
        EXPECT_EQ(*box->LastSize, want) << "WM_SIZE got " << box->LastSize->cx << " x " << box->LastSize->cy;
    }
}

TEST_F(ListBoxTest, MultiColumnBoxesRunItemsDownEachColumnOfTheColumnWidth)
{
    for (DWORD scroll : {DWORD{0}, WS_HSCROLL}) {
        SCOPED_TRACE(scroll);
        TearDown();
        SetUp();
        TListBox* box = MakeBox(LBS_MULTICOLUMN | LBS_NOINTEGRALHEIGHT | scroll, 200, 150);
        Show();
        box->SendMessage(LB_SETITEMHEIGHT, 0, 20);
        box->SendMessage(LB_SETCOLUMNWIDTH, 40);
        for (int i = 0; i < 30; ++i) {
            box->AddString(std::to_string(i));
        }
        const int perColumn = List(*box)->viewport()->height() / 20;
        ASSERT_GT(perColumn, 2);
        for (int index : {0, perColumn - 1, perColumn, 2 * perColumn + 1}) {
            SCOPED_TRACE(index);
            const TRect r = box->GetItemRect(index);
            EXPECT_EQ(r.left, 40 * (index / perColumn));
            EXPECT_EQ(r.top, 20 * (index % perColumn));
            EXPECT_EQ(r.Size(), TSize(40, 20));
        }
    }
}

} // namespace
} // namespace qm::gui
