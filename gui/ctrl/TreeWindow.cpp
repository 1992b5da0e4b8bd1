// The tree view over Qt's tree widget; handles are numbers of our own, so a deleted item's handle finds nothing.
#include "gui/ctrl/TreeWindow.h"

#include "gui/ctrl/QtConvert.h"
#include "gui/draw/ImageList.h"
#include "gui/model/TextOrder.h"
#include "gui/window/WindowWidget.h"

#include <QHeaderView>
#include <QIcon>
#include <QHeaderView>
#include <QTreeWidget>

#include <algorithm>
#include <unordered_map>

namespace qm::gui {

namespace {

constexpr int kHandleRole = Qt::UserRole;
constexpr int kDataRole = Qt::UserRole + 1;
constexpr int kImageRole = Qt::UserRole + 2;
constexpr int kSelectedImageRole = Qt::UserRole + 3;

} // namespace

struct TTreeWindow::Impl {
    QTreeWidget* View = nullptr; // the widget the handles below belong to
    std::unordered_map<HTREEITEM, QTreeWidgetItem*> Items;
    HTREEITEM Next = 1;
    std::vector<QPixmap> Images;
    QSize IconSize{16, 16};

    // The tree widget of the tree while the handles belong to it, or null.
    QTreeWidget* ViewFor(const TWindow& tree) const
    {
        auto* view = qobject_cast<QTreeWidget*>(WidgetOf(tree));
        return view != nullptr && view == View ? view : nullptr;
    }

    HTREEITEM HandleOf(const QTreeWidgetItem* item) const
    {
        return item == nullptr ? 0 : static_cast<HTREEITEM>(item->data(0, kHandleRole).toULongLong());
    }

    void Forget(QTreeWidgetItem* item)
    {
        for (int i = 0; i < item->childCount(); ++i) {
            Forget(item->child(i));
        }
        Items.erase(HandleOf(item));
    }

    void ShowImage(QTreeWidgetItem* item) const
    {
        const int normal = item->data(0, kImageRole).toInt();
        const int selected = item->data(0, kSelectedImageRole).toInt();
        QIcon icon;
        if (normal >= 0 && normal < static_cast<int>(Images.size())) {
            icon.addPixmap(Images[static_cast<std::size_t>(normal)], QIcon::Normal);
        }
        if (selected >= 0 && selected < static_cast<int>(Images.size())) {
            icon.addPixmap(Images[static_cast<std::size_t>(selected)], QIcon::Selected);
        }
        item->setIcon(0, icon);
    }

    void ShowImages(QTreeWidgetItem* item) const
    {
        for (int i = 0; i < item->childCount(); ++i) {
            ShowImage(item->child(i));
            ShowImages(item->child(i));
        }
    }
};

TTreeWindow::TTreeWindow(TWindow* parent, int id, int x, int y, int w, int h, DWORD style)
    : TControl(parent, id, {}, x, y, w, h)
    , m_impl(std::make_unique<Impl>())
{
    Attr.Style |= style | WS_BORDER;
}

TTreeWindow::~TTreeWindow() = default;

QWidget* TTreeWindow::MakeWidget(QWidget* parentWidget)
{
    auto* view = new QTreeWidget(parentWidget);
    view->setHeaderHidden(true);
    view->setColumnCount(1);
    // Labels are never cut short with an ellipsis: the column is as wide as the widest label and a label wider
    // than the tree scrolls sideways.
    view->setTextElideMode(Qt::ElideNone);
    view->header()->setStretchLastSection(false);
    view->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    view->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    view->setSortingEnabled(false);
    view->setContextMenuPolicy(Qt::NoContextMenu);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setSelectionMode(QAbstractItemView::SingleSelection);
    view->setRootIsDecorated((Attr.Style & TVS_LINESATROOT) != 0);
    view->setDragEnabled(false); // no item drags: the panes ask for none
    view->setIconSize(m_impl->IconSize);
    // A double click belongs to the tree's window (the panes act on it), not to expanding.
    view->setExpandsOnDoubleClick(false);
    m_impl->View = view;
    m_impl->Items.clear();
    return view;
}

namespace {

QTreeWidgetItem* Resolve(QTreeWidget* view, const std::unordered_map<HTREEITEM, QTreeWidgetItem*>& items,
                         HTREEITEM handle)
{
    if (view == nullptr) {
        return nullptr;
    }
    if (handle == TVI_ROOT) {
        return view->invisibleRootItem();
    }
    auto it = items.find(handle);
    return it == items.end() ? nullptr : it->second;
}

} // namespace

HTREEITEM TTreeWindow::InsertItem(HTREEITEM parent, std::string_view text, int image, int selectedImage,
                                  std::uint64_t data, HTREEITEM insertAfter)
{
    QTreeWidget* view = m_impl->ViewFor(*this);
    QTreeWidgetItem* under = Resolve(view, m_impl->Items, parent);
    if (under == nullptr) {
        return 0;
    }
    int at = under->childCount();
    if (insertAfter == TVI_FIRST) {
        at = 0;
    } else if (insertAfter == TVI_SORT) {
        std::vector<std::string> texts;
        for (int i = 0; i < under->childCount(); ++i) {
            texts.push_back(under->child(i)->text(0).toStdString());
        }
        at = SortedInsertIndex(texts, text);
    } else if (insertAfter != TVI_LAST) {
        QTreeWidgetItem* after = Resolve(view, m_impl->Items, insertAfter);
        if (after == nullptr || after->parent() != (parent == TVI_ROOT ? nullptr : under)) {
            return 0;
        }
        at = under->indexOfChild(after) + 1;
    }
    auto* item = new QTreeWidgetItem(QStringList{ToQString(text)});
    const HTREEITEM handle = m_impl->Next++;
    item->setData(0, kHandleRole, QVariant::fromValue(static_cast<qulonglong>(handle)));
    item->setData(0, kDataRole, QVariant::fromValue(static_cast<qulonglong>(data)));
    item->setData(0, kImageRole, image);
    item->setData(0, kSelectedImageRole, selectedImage);
    under->insertChild(at, item);
    m_impl->ShowImage(item);
    m_impl->Items[handle] = item;
    return handle;
}

bool TTreeWindow::DeleteItem(HTREEITEM item)
{
    QTreeWidget* view = m_impl->ViewFor(*this);
    if (item == TVI_ROOT) {
        if (view == nullptr) {
            return false;
        }
        DeleteChildren(TVI_ROOT);
        return true;
    }
    QTreeWidgetItem* found = Resolve(view, m_impl->Items, item);
    if (found == nullptr) {
        return false;
    }
    m_impl->Forget(found);
    delete found;
    return true;
}

void TTreeWindow::DeleteChildren(HTREEITEM item)
{
    QTreeWidgetItem* found = Resolve(m_impl->ViewFor(*this), m_impl->Items, item);
    if (found == nullptr) {
        return;
    }
    for (QTreeWidgetItem* child : found->takeChildren()) {
        m_impl->Forget(child);
        delete child;
    }
}

int TTreeWindow::GetCount() const
{
    return m_impl->ViewFor(*this) == nullptr ? 0 : static_cast<int>(m_impl->Items.size());
}

HTREEITEM TTreeWindow::GetChild(HTREEITEM item) const
{
    QTreeWidgetItem* found = Resolve(m_impl->ViewFor(*this), m_impl->Items, item);
    return found == nullptr || found->childCount() == 0 ? 0 : m_impl->HandleOf(found->child(0));
}

HTREEITEM TTreeWindow::GetNextSibling(HTREEITEM item) const
{
    QTreeWidget* view = m_impl->ViewFor(*this);
    QTreeWidgetItem* found = item == TVI_ROOT ? nullptr : Resolve(view, m_impl->Items, item);
    if (found == nullptr) {
        return 0;
    }
    QTreeWidgetItem* parent = found->parent() != nullptr ? found->parent() : view->invisibleRootItem();
    const int next = parent->indexOfChild(found) + 1;
    return next < parent->childCount() ? m_impl->HandleOf(parent->child(next)) : 0;
}

HTREEITEM TTreeWindow::GetParentItem(HTREEITEM item) const
{
    QTreeWidgetItem* found = item == TVI_ROOT ? nullptr : Resolve(m_impl->ViewFor(*this), m_impl->Items, item);
    return found == nullptr ? 0 : m_impl->HandleOf(found->parent());
}

std::vector<HTREEITEM> TTreeWindow::GetChildren(HTREEITEM item) const
{
    std::vector<HTREEITEM> out;
    if (QTreeWidgetItem* found = Resolve(m_impl->ViewFor(*this), m_impl->Items, item)) {
        for (int i = 0; i < found->childCount(); ++i) {
            out.push_back(m_impl->HandleOf(found->child(i)));
        }
    }
    return out;
}

std::string TTreeWindow::GetItemText(HTREEITEM item) const
{
    QTreeWidgetItem* found = item == TVI_ROOT ? nullptr : Resolve(m_impl->ViewFor(*this), m_impl->Items, item);
    return found == nullptr ? std::string() : found->text(0).toStdString();
}

bool TTreeWindow::SetItemText(HTREEITEM item, std::string_view text)
{
    QTreeWidgetItem* found = item == TVI_ROOT ? nullptr : Resolve(m_impl->ViewFor(*this), m_impl->Items, item);
    if (found == nullptr) {
        return false;
    }
    found->setText(0, ToQString(text));
    return true;
}

std::uint64_t TTreeWindow::GetItemData(HTREEITEM item) const
{
    QTreeWidgetItem* found = item == TVI_ROOT ? nullptr : Resolve(m_impl->ViewFor(*this), m_impl->Items, item);
    return found == nullptr ? 0 : found->data(0, kDataRole).toULongLong();
}

bool TTreeWindow::SetItemData(HTREEITEM item, std::uint64_t data)
{
    QTreeWidgetItem* found = item == TVI_ROOT ? nullptr : Resolve(m_impl->ViewFor(*this), m_impl->Items, item);
    if (found == nullptr) {
        return false;
    }
    found->setData(0, kDataRole, QVariant::fromValue(static_cast<qulonglong>(data)));
    return true;
}

bool TTreeWindow::SetItemImage(HTREEITEM item, int image, int selectedImage)
{
    QTreeWidgetItem* found = item == TVI_ROOT ? nullptr : Resolve(m_impl->ViewFor(*this), m_impl->Items, item);
    if (found == nullptr) {
        return false;
    }
    found->setData(0, kImageRole, image);
    found->setData(0, kSelectedImageRole, selectedImage);
    m_impl->ShowImage(found);
    return true;
}

std::pair<int, int> TTreeWindow::GetItemImage(HTREEITEM item) const
{
    QTreeWidgetItem* found = item == TVI_ROOT ? nullptr : Resolve(m_impl->ViewFor(*this), m_impl->Items, item);
    if (found == nullptr) {
        return {-1, -1};
    }
    return {found->data(0, kImageRole).toInt(), found->data(0, kSelectedImageRole).toInt()};
}

bool TTreeWindow::Expand(HTREEITEM item, UINT action)
{
    QTreeWidgetItem* found = item == TVI_ROOT ? nullptr : Resolve(m_impl->ViewFor(*this), m_impl->Items, item);
    if (found == nullptr) {
        return false;
    }
    switch (action & 0x0003) {
    case TVE_EXPAND:
        found->setExpanded(true);
        return true;
    case TVE_COLLAPSE:
        found->setExpanded(false);
        return true;
    case TVE_TOGGLE:
        found->setExpanded(!found->isExpanded());
        return true;
    default:
        return false;
    }
}

bool TTreeWindow::IsExpanded(HTREEITEM item) const
{
    QTreeWidgetItem* found = item == TVI_ROOT ? nullptr : Resolve(m_impl->ViewFor(*this), m_impl->Items, item);
    return found != nullptr && found->isExpanded();
}

namespace {

void SortLevel(QTreeWidgetItem& parent, bool recurse)
{
    QList<QTreeWidgetItem*> children = parent.takeChildren();
    std::stable_sort(children.begin(), children.end(), [](const QTreeWidgetItem* a, const QTreeWidgetItem* b) {
        return CompareTextNoCase(a->text(0).toStdString(), b->text(0).toStdString()) < 0;
    });
    parent.addChildren(children);
    if (recurse) {
        for (QTreeWidgetItem* child : children) {
            SortLevel(*child, true);
        }
    }
}

// Taking items out of the view forgets their expanded state; it is put back after.
void CollectExpanded(QTreeWidgetItem& item, std::vector<QTreeWidgetItem*>& expanded)
{
    for (int i = 0; i < item.childCount(); ++i) {
        if (item.child(i)->isExpanded()) {
            expanded.push_back(item.child(i));
        }
        CollectExpanded(*item.child(i), expanded);
    }
}

} // namespace

bool TTreeWindow::SortChildren(HTREEITEM item, bool recurse)
{
    QTreeWidget* view = m_impl->ViewFor(*this);
    QTreeWidgetItem* found = Resolve(view, m_impl->Items, item);
    if (found == nullptr) {
        return false;
    }
    std::vector<QTreeWidgetItem*> expanded;
    CollectExpanded(*found, expanded);
    QTreeWidgetItem* selected = view->currentItem();
    const bool wasSelected = selected != nullptr && selected->isSelected();
    SortLevel(*found, recurse);
    for (QTreeWidgetItem* e : expanded) {
        e->setExpanded(true);
    }
    if (wasSelected) {
        view->setCurrentItem(selected);
    }
    return true;
}

HTREEITEM TTreeWindow::GetSelection() const
{
    QTreeWidget* view = m_impl->ViewFor(*this);
    if (view == nullptr || view->currentItem() == nullptr || !view->currentItem()->isSelected()) {
        return 0;
    }
    return m_impl->HandleOf(view->currentItem());
}

bool TTreeWindow::SelectItem(HTREEITEM item)
{
    QTreeWidget* view = m_impl->ViewFor(*this);
    if (view == nullptr) {
        return false;
    }
    if (item == 0) {
        view->setCurrentItem(nullptr);
        view->clearSelection();
        return true;
    }
    QTreeWidgetItem* found = item == TVI_ROOT ? nullptr : Resolve(view, m_impl->Items, item);
    if (found == nullptr) {
        return false;
    }
    view->setCurrentItem(found);
    return true;
}

void TTreeWindow::SetImageList(int which, const TImageList* list)
{
    if (which != TVSIL_NORMAL) {
        return;
    }
    m_impl->Images.clear();
    if (list != nullptr) {
        for (int i = 0; i < list->GetImageCount(); ++i) {
            m_impl->Images.push_back(ToPixmap(list->GetIcon(i)));
        }
    }
    if (list != nullptr) {
        m_impl->IconSize = QSize(list->GetImageSize().cx, list->GetImageSize().cy);
    }
    if (QTreeWidget* view = m_impl->ViewFor(*this)) {
        view->setIconSize(m_impl->IconSize);
        m_impl->ShowImages(view->invisibleRootItem());
    }
}

} // namespace qm::gui
