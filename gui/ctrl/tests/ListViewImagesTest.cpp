// The list view's state images: the session list's rows show the first image of a 16 x 16 list from an icon.
#include "gui/ctrl/Controls.h"
#include "gui/ctrl/tests/CtrlTestSupport.h"
#include "gui/draw/ImageList.h"
#include "gui/window/WindowWidget.h"

#include <QIcon>
#include <QImage>
#include <QTreeWidget>

namespace qm::gui {
namespace {

using ListViewImagesTest = test::CtrlTest;

TEST_F(ListViewImagesTest, RowsShowTheStateImageTheyAreGiven)
{
    TBitmap color(32, 32, TColor(RGB(0, 128, 0)));
    std::vector<bool> transparent(32 * 32, false);
    transparent[0] = true; // the top-left corner
    RegisterIconResource(141, TIcon(color, transparent));
    TImageList states(kSmallIconSize, ILC_COLOR32 | ILC_MASK, 1, 1);
    ASSERT_EQ(states.AddIcon(LoadIconResource(141)), 0);

    auto* list = new TListView(m_frame.get(), 2008, 0, 0, 300, 200);
    Show();
    list->InsertColumn(0, "Session ID", 80);
    list->SetImageList(&states, LVSIL_STATE);
    for (const char* id : {"A1", "B2"}) {
        ASSERT_TRUE(list->SetItemStateImage(list->InsertItem(id), 1));
    }
    EXPECT_FALSE(list->SetItemStateImage(2, 1));
    ASSERT_TRUE(list->SetItemStateImage(1, 0));

    auto* view = static_cast<QTreeWidget*>(WidgetOf(*list));
    const QImage first = view->topLevelItem(0)->icon(0).pixmap(QSize(16, 16), 1.0).toImage();
    ASSERT_FALSE(first.isNull());
    EXPECT_EQ(first.pixel(8, 8), qRgb(0, 128, 0));
    EXPECT_EQ(qAlpha(first.pixel(0, 0)), 0);
    EXPECT_TRUE(view->topLevelItem(1)->icon(0).isNull());
    ClearIconResources();
}

} // namespace
} // namespace qm::gui
