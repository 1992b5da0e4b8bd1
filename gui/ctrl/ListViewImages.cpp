// The list view's state images: one image list, each row showing one of its images before its first column.
#include "gui/ctrl/Controls.h"
#include "gui/ctrl/QtConvert.h"
#include "gui/draw/ImageList.h"
#include "gui/window/WindowWidget.h"

#include <QIcon>
#include <QTreeWidget>

namespace qm::gui {

namespace {

constexpr int kStateImageRole = Qt::UserRole + 1;

} // namespace

void TListView::SetImageList(const TImageList* list, int which)
{
    if (which != LVSIL_STATE) {
        return;
    }
    m_stateImages.clear();
    for (int i = 0; list != nullptr && i < list->GetImageCount(); ++i) {
        m_stateImages.push_back(list->GetIcon(i));
    }
    auto* view = qobject_cast<QTreeWidget*>(WidgetOf(*this));
    if (view == nullptr) {
        return;
    }
    if (list != nullptr) {
        view->setIconSize(QSize(list->GetImageSize().cx, list->GetImageSize().cy));
    }
    for (int i = 0; i < view->topLevelItemCount(); ++i) {
        SetItemStateImage(i, view->topLevelItem(i)->data(0, kStateImageRole).toInt());
    }
}

bool TListView::SetItemStateImage(int item, int stateImage)
{
    auto* view = qobject_cast<QTreeWidget*>(WidgetOf(*this));
    if (view == nullptr || item < 0 || item >= view->topLevelItemCount()) {
        return false;
    }
    QTreeWidgetItem* row = view->topLevelItem(item);
    row->setData(0, kStateImageRole, stateImage);
    const int index = stateImage - 1;
    row->setIcon(0, index >= 0 && index < static_cast<int>(m_stateImages.size())
                            ? QIcon(ToPixmap(m_stateImages[static_cast<std::size_t>(index)]))
                            : QIcon());
    return true;
}

} // namespace qm::gui
