// The tree view: handles, item data, insert places, deleting, expanding, sorting children, images, and the
// double click left to the tree's window.
#include "gui/ctrl/TreeWindow.h"

#include "gui/ctrl/tests/CtrlTestSupport.h"
#include "gui/draw/ImageList.h"
#include "gui/window/WindowWidget.h"

#include <QFontMetrics>
#include <QHeaderView>
#include <QIcon>
#include <QScrollBar>
#include <QImage>
#include <QTreeWidget>

#include <string>
#include <vector>

namespace qm::gui {
namespace {

class TreeWindowTest : public test::CtrlTest {
protected:
    TTreeWindow* MakeTree()
    {
        return new TTreeWindow(m_frame.get(), 2001, 0, 0, 300, 250,
                               TVS_HASBUTTONS | TVS_HASLINES | TVS_LINESATROOT | TVS_DISABLEDRAGDROP);
    }

    static std::string Texts(const TTreeWindow& tree, HTREEITEM parent)
    {
        std::string out;
        for (HTREEITEM child = tree.GetChild(parent); child != 0; child = tree.GetNextSibling(child)) {
            out += (out.empty() ? "" : ",") + tree.GetItemText(child);
        }
        return out;
    }
};

TEST_F(TreeWindowTest, ItemsKeepTheirDataAndPlacesAndDeletedHandlesFindNothing)
{
    TTreeWindow* tree = MakeTree();
    EXPECT_EQ(tree->InsertItem(TVI_ROOT, "early"), 0u); // no window yet
    Show();
    const HTREEITEM version = tree->InsertItem(TVI_ROOT, "Quillmail Version", 0, 0, 4);
    const HTREEITEM status = tree->InsertItem(TVI_ROOT, "Quillmail Status", 3, 3, 6);
    const HTREEITEM accounts = tree->InsertItem(TVI_ROOT, "Quillmail Accounts", 2, 2, 2);
    ASSERT_NE(version, 0u);
    EXPECT_EQ(tree->InsertItem(TVI_ROOT, "Quillmail Properties", 1, 1, 1, version), version + 3);
    EXPECT_EQ(tree->InsertItem(TVI_ROOT, "First", -1, -1, 0, TVI_FIRST), version + 4);
    EXPECT_EQ(Texts(*tree, TVI_ROOT),
              "First,Quillmail Version,Quillmail Properties,Quillmail Status,Quillmail Accounts");
    EXPECT_EQ(tree->InsertItem(TVI_ROOT, "x", -1, -1, 0, tree->InsertItem(status, "child")), 0u)
            << "insertAfter must be a child of the parent";

    for (const char* user : {"mike, Mike", "anna, Anna", "Zed, Z"}) {
        const HTREEITEM account = tree->InsertItem(accounts, user, 2, 2, 3, TVI_SORT);
        tree->InsertItem(account, "Logons: 3", 2, 2, 8);
    }
    EXPECT_EQ(Texts(*tree, accounts), "anna, Anna,mike, Mike,Zed, Z");
    const HTREEITEM anna = tree->GetChild(accounts);
    EXPECT_EQ(tree->GetItemData(anna), 3u);
    EXPECT_EQ(tree->GetParentItem(anna), accounts);
    EXPECT_EQ(tree->GetParentItem(accounts), 0u);
    EXPECT_EQ(tree->GetItemImage(accounts), (std::pair<int, int>{2, 2}));
    EXPECT_TRUE(tree->SetItemData(anna, 7));
    EXPECT_EQ(tree->GetItemData(anna), 7u);
    EXPECT_EQ(tree->GetCount(), 12);

    const HTREEITEM annaStats = tree->GetChild(anna);
    tree->DeleteChildren(accounts);
    EXPECT_EQ(tree->GetChild(accounts), 0u);
    EXPECT_EQ(tree->GetCount(), 6);
    for (HTREEITEM gone : {anna, annaStats}) {
        EXPECT_EQ(tree->GetItemText(gone), "");
        EXPECT_FALSE(tree->DeleteItem(gone));
        EXPECT_FALSE(tree->SetItemText(gone, "again"));
    }
    EXPECT_TRUE(tree->DeleteItem(status));
    EXPECT_EQ(tree->GetCount(), 4);
    tree->DeleteAllItems();
    EXPECT_EQ(tree->GetCount(), 0);
    EXPECT_EQ(tree->GetChild(TVI_ROOT), 0u);
}

TEST_F(TreeWindowTest, SortingChildrenIgnoresCaseKeepsEqualTextsAndExpandedItems)
{
    TTreeWindow* tree = MakeTree();
    Show();
    const HTREEITEM root = tree->InsertItem(TVI_ROOT, "Accounts");
    std::vector<HTREEITEM> items;
    for (const char* text : {"b", "A", "c", "a"}) {
        items.push_back(tree->InsertItem(root, text));
        tree->InsertItem(items.back(), "z");
        tree->InsertItem(items.back(), "y");
    }
    ASSERT_TRUE(tree->Expand(root, TVE_EXPAND));
    ASSERT_TRUE(tree->Expand(items[2], TVE_EXPAND));
    ASSERT_TRUE(tree->SelectItem(items[2]));

    ASSERT_TRUE(tree->SortChildren(root));
    EXPECT_EQ(Texts(*tree, root), "A,a,b,c");
    EXPECT_EQ(tree->GetChild(root), items[1]); // "A" came before "a"
    EXPECT_EQ(Texts(*tree, items[0]), "z,y");  // one level only
    EXPECT_TRUE(tree->IsExpanded(root));
    EXPECT_TRUE(tree->IsExpanded(items[2]));
    EXPECT_FALSE(tree->IsExpanded(items[0]));
    EXPECT_EQ(tree->GetSelection(), items[2]);

    ASSERT_TRUE(tree->SortChildren(TVI_ROOT, true));
    EXPECT_EQ(Texts(*tree, items[0]), "y,z");
    EXPECT_FALSE(tree->SortChildren(items[0] + 1000));
}

TEST_F(TreeWindowTest, ExpandCollapseAndToggle)
{
    TTreeWindow* tree = MakeTree();
    Show();
    const HTREEITEM root = tree->InsertItem(TVI_ROOT, "Status");
    tree->InsertItem(root, "Current Sessions: N/A");

    struct Step {
        UINT Action;
        bool Want;
    };

    for (const Step& step : {Step{TVE_EXPAND, true}, Step{TVE_EXPAND, true}, Step{TVE_COLLAPSE, false},
                             Step{TVE_TOGGLE, true}, Step{TVE_TOGGLE, false}}) {
        SCOPED_TRACE(step.Action);
        EXPECT_TRUE(tree->Expand(root, step.Action));
        EXPECT_EQ(tree->IsExpanded(root), step.Want);
    }
    EXPECT_FALSE(tree->Expand(0, TVE_EXPAND));
}

TEST_F(TreeWindowTest, ItemsShowTheirImagesFromTheImageList)
{
    TImageList images(kSmallIconSize, ILC_COLOR32 | ILC_MASK, 4, 4);
    TBitmap red(16, 16, TColor(RGB(255, 0, 0)));
    red.SetPixel(0, 0, TColor(RGB(192, 192, 192)));
    ASSERT_EQ(images.Add(red, TColor(RGB(192, 192, 192))), 0);
    ASSERT_EQ(images.Add(TBitmap(16, 16, TColor(RGB(0, 0, 255)))), 1);

    TTreeWindow* tree = MakeTree();
    Show();
    const HTREEITEM item = tree->InsertItem(TVI_ROOT, "Quillmail Properties", 0, 1);
    tree->SetImageList(TVSIL_NORMAL, &images);
    auto* view = static_cast<QTreeWidget*>(WidgetOf(*tree));
    auto pixel = [&](QIcon::Mode mode, int x, int y) {
        return view->topLevelItem(0)->icon(0).pixmap(QSize(16, 16), 1.0, mode).toImage().pixel(x, y);
    };
    EXPECT_EQ(pixel(QIcon::Normal, 5, 5), qRgb(255, 0, 0));
    EXPECT_EQ(qAlpha(pixel(QIcon::Normal, 0, 0)), 0); // the mask colour is transparent
    EXPECT_EQ(pixel(QIcon::Selected, 5, 5), qRgb(0, 0, 255));
    ASSERT_TRUE(tree->SetItemImage(item, 1, 1));
    EXPECT_EQ(pixel(QIcon::Normal, 5, 5), qRgb(0, 0, 255));
}

// A tree pane that acts on the double click itself.
class TPaneTree : public TTreeWindow {
public:
    using TTreeWindow::TTreeWindow;
    int DoubleClicks = 0;

    LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override
    {
        if (msg == WM_LBUTTONDBLCLK) {
            ++DoubleClicks;
        }
        return TTreeWindow::WindowProc(msg, wParam, lParam);
    }
};

TEST_F(TreeWindowTest, ADoubleClickReachesTheTreesWindowAndDoesNotExpand)
{
    auto* tree = new TPaneTree(m_frame.get(), 2001, 0, 0, 300, 250);
    Show();
    const HTREEITEM root = tree->InsertItem(TVI_ROOT, "Quillmail Accounts");
    tree->InsertItem(root, "anna, Anna");
    auto* view = static_cast<QTreeWidget*>(WidgetOf(*tree));
    const QRect r = view->visualItemRect(view->topLevelItem(0));
    QWidget* viewport = view->viewport();
    test::SendMouse(viewport, QEvent::MouseButtonPress, Qt::LeftButton, r.center(), Qt::LeftButton);
    test::SendMouse(viewport, QEvent::MouseButtonRelease, Qt::LeftButton, r.center(), Qt::NoButton);
    test::SendMouse(viewport, QEvent::MouseButtonDblClick, Qt::LeftButton, r.center(), Qt::LeftButton);
    test::SendMouse(viewport, QEvent::MouseButtonRelease, Qt::LeftButton, r.center(), Qt::NoButton);
    EXPECT_EQ(tree->DoubleClicks, 1);
    EXPECT_FALSE(tree->IsExpanded(root));
    EXPECT_EQ(tree->GetSelection(), root);
}

TEST_F(TreeWindowTest, LabelWiderThanTheTreeIsWholeAndScrollsSideways)
{
    auto* tree = new TTreeWindow(m_frame.get(), 2002, 0, 0, 110, 110, TVS_HASBUTTONS | TVS_HASLINES | TVS_LINESATROOT);
    Show();
    const HTREEITEM status = tree->InsertItem(TVI_ROOT, "Quillmail Status");
    tree->InsertItem(status, "Current Sessions: N/A");
    tree->Expand(status, TVE_EXPAND);
    auto* view = qobject_cast<QTreeWidget*>(WidgetOf(*tree));
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view->textElideMode(), Qt::ElideNone);
    const int label = QFontMetrics(view->font()).horizontalAdvance(QStringLiteral("Current Sessions: N/A"));
    EXPECT_TRUE(WaitFor([&] {
        return view->header()->sectionSize(0) >= label && view->horizontalScrollBar()->maximum() > 0;
    })) << "column " << view->header()->sectionSize(0) << " for a label of " << label << ", scroll range "
        << view->horizontalScrollBar()->maximum();
}

} // namespace
} // namespace qm::gui
