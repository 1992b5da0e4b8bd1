// The list box over Qt's list view: Qt keeps the items, the selection and the scrolling; the box paints every
// item itself through a device context, so owner-drawn boxes get a WM_DRAWITEM record for each item.
#include "gui/ctrl/ListBox.h"

#include "gui/ctrl/QtConvert.h"
#include "gui/draw/Dc.h"
#include "gui/draw/DcImpl.h"
#include "gui/model/TextOrder.h"
#include "gui/window/WindowWidget.h"

#include <QEvent>
#include <QImage>
#include <QListWidget>
#include <QPainter>
#include <QScrollBar>
#include <QStyledItemDelegate>

#include <algorithm>

namespace qm::gui {

namespace {

// Qt's list with its delayed layout done on demand, so that positions are current right after a change.
class TListWidget final : public QListWidget {
public:
    using QListWidget::QListWidget;

    void Settle() { executeDelayedItemsLayout(); }
};

TListWidget* ListOf(const TWindow& box)
{
    return dynamic_cast<TListWidget*>(WidgetOf(box));
}

// A device context over an image of the list's visible area.
class TImageDC final : public TDC {
public:
    explicit TImageDC(QImage& image)
        : TDC(std::make_unique<Impl>())
    {
        AttachDc(GetImpl(), &image, QPoint(0, 0), TRect(0, 0, image.width(), image.height()));
    }
};

// The box is found through the widget, so a widget that outlives its box (its deletion deferred until a
// handler returns) asks no one.
TListBox* BoxOf(QObject* widget)
{
    auto* box = dynamic_cast<TListBox*>(WindowInternals::OwnerOf(widget));
    return box != nullptr && box->HasWindow() ? box : nullptr;
}

// Every item has the box's item height; a single column is as wide as the horizontal extent, so the view
// scrolls over it; a multi-column box's columns are the column width.
class TListBoxDelegate final : public QStyledItemDelegate {
public:
    explicit TListBoxDelegate(QListWidget& list)
        : QStyledItemDelegate(&list)
        , m_list(list)
    {}

    QSize sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const override
    {
        const TListBox* box = BoxOf(&m_list);
        if (box == nullptr) {
            return {1, 1};
        }
        const int height = box->GetItemHeight();
        if ((box->Attr.Style & LBS_MULTICOLUMN) != 0) {
            const int column = box->GetColumnWidth() > 0 ? box->GetColumnWidth() : m_list.viewport()->width();
            return {std::max(1, column), height};
        }
        return {std::max(1, box->GetHorizontalExtent()), height};
    }

private:
    QListWidget& m_list;
};

// Paints the viewport: the box's WM_ERASEBKGND, then its items, onto one image shown in one go.
class TListBoxPainter final : public QObject {
public:
    explicit TListBoxPainter(QWidget& viewport)
        : QObject(&viewport)
        , m_viewport(viewport)
    {
        viewport.installEventFilter(this);
    }

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        TListBox* box = event->type() == QEvent::Paint ? BoxOf(&m_viewport) : nullptr;
        if (box == nullptr) {
            return false;
        }
        QImage image(m_viewport.size(), QImage::Format_ARGB32);
        image.fill(ToRgb(TColor::FromSys(COLOR_WINDOW)));
        {
            TImageDC dc(image);
            dc.SelectObject(box->GetWindowFont());
            box->SendMessage(WM_ERASEBKGND, reinterpret_cast<WPARAM>(static_cast<TDC*>(&dc)), 0);
            if (box->HasWindow()) {
                box->PaintItems(dc, TRect(0, 0, image.width(), image.height()));
            }
        }
        QPainter painter(&m_viewport);
        painter.drawImage(0, 0, image);
        return true;
    }

private:
    QWidget& m_viewport;
};

} // namespace

TListBox::TListBox(TWindow* parent, int id, int x, int y, int w, int h)
    : TControl(parent, id, {}, x, y, w, h)
{
    Attr.Style |= LBS_STANDARD;
}

QWidget* TListBox::MakeWidget(QWidget* parentWidget)
{
    auto* list = new TListWidget(parentWidget);
    const bool multiColumn = (Attr.Style & LBS_MULTICOLUMN) != 0;
    list->setUniformItemSizes(true);
    list->setSpacing(0);
    list->setFrameShape((Attr.Style & WS_BORDER) != 0 ? QFrame::StyledPanel : QFrame::NoFrame);
    list->setContextMenuPolicy(Qt::NoContextMenu);
    list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    list->setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    if (multiColumn) {
        // Items run down a column and on into the next; the box scrolls sideways by columns.
        list->setFlow(QListView::TopToBottom);
        list->setWrapping(true);
        list->setResizeMode(QListView::Adjust);
        // A column holds as many items as the client height takes, so the scroll bar's room is fixed: always
        // there with WS_HSCROLL, never without.
        list->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        list->setHorizontalScrollBarPolicy((Attr.Style & WS_HSCROLL) != 0 ? Qt::ScrollBarAlwaysOn
                                                                          : Qt::ScrollBarAlwaysOff);
    } else {
        list->setVerticalScrollBarPolicy((Attr.Style & WS_VSCROLL) != 0 ? Qt::ScrollBarAsNeeded
                                                                        : Qt::ScrollBarAlwaysOff);
        list->setHorizontalScrollBarPolicy((Attr.Style & WS_HSCROLL) != 0 ? Qt::ScrollBarAsNeeded
                                                                          : Qt::ScrollBarAlwaysOff);
    }
    if ((Attr.Style & LBS_EXTENDEDSEL) != 0) {
        list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    } else if ((Attr.Style & LBS_MULTIPLESEL) != 0) {
        list->setSelectionMode(QAbstractItemView::MultiSelection);
    } else {
        list->setSelectionMode(QAbstractItemView::SingleSelection);
    }
    list->setItemDelegate(new TListBoxDelegate(*list));
    new TListBoxPainter(*list->viewport());
    QObject::connect(list, &QListWidget::itemSelectionChanged, [this] {
        if (!m_quiet && (Attr.Style & LBS_NOTIFY) != 0) {
            NotifyCommand(LBN_SELCHANGE);
        }
    });
    QObject::connect(list, &QListWidget::itemDoubleClicked, [this] {
        if ((Attr.Style & LBS_NOTIFY) != 0) {
            NotifyCommand(LBN_DBLCLK);
        }
    });
    return list;
}

void TListBox::SetupWindow()
{
    TControl::SetupWindow();
    if (!IsOwnerDrawn() || !HasWindow()) {
        return;
    }
    // An owner-drawn box asks once for its item height; the font's height stands when no one answers.
    MEASUREITEMSTRUCT measure;
    measure.CtlType = ODT_LISTBOX;
    measure.CtlID = static_cast<UINT>(GetId());
    measure.itemWidth = static_cast<UINT>(std::max(0, GetClientRect().Width()));
    measure.itemHeight = static_cast<UINT>(FontHeight());
    const LRESULT answered = GetParent() != nullptr && GetParent()->HasWindow()
                                     ? GetParent()->SendMessage(WM_MEASUREITEM, static_cast<WPARAM>(GetId()),
                                                                reinterpret_cast<LPARAM>(&measure))
                                     : 0;
    if (answered == 0) {
        MeasureItem(measure);
    }
    m_itemHeight = std::clamp(static_cast<int>(measure.itemHeight), 1, 255);
    Relayout();
}

void TListBox::DrawItem(DRAWITEMSTRUCT&)
{}

void TListBox::MeasureItem(MEASUREITEMSTRUCT&)
{}

int TListBox::FontHeight() const
{
    TMemoryDC dc;
    dc.SelectObject(GetWindowFont());
    return std::max(1, dc.GetTextExtent("Ag").cy);
}

int TListBox::GetItemHeight(int) const
{
    return m_itemHeight > 0 ? m_itemHeight : FontHeight();
}

int TListBox::SetItemHeight(int, int height)
{
    // Item heights are 1 to 255; any other is refused.
    if (height <= 0 || height > 255) {
        return LB_ERR;
    }
    m_itemHeight = height;
    Relayout();
    return 0;
}

void TListBox::SetColumnWidth(int width)
{
    m_columnWidth = std::max(0, width);
    Relayout();
}

void TListBox::SetHorizontalExtent(int extent)
{
    m_extent = std::max(0, extent);
    Relayout();
}

void TListBox::Relayout()
{
    if (TListWidget* list = ListOf(*this)) {
        list->doItemsLayout();
        list->viewport()->update();
    }
}

int TListBox::AddString(std::string_view text)
{
    TListWidget* list = ListOf(*this);
    if (list == nullptr) {
        return LB_ERR;
    }
    int at = list->count();
    if ((Attr.Style & LBS_SORT) != 0) {
        std::vector<std::string> texts;
        texts.reserve(static_cast<std::size_t>(list->count()));
        for (int i = 0; i < list->count(); ++i) {
            texts.push_back(list->item(i)->text().toStdString());
        }
        at = SortedInsertIndex(texts, text);
    }
    return InsertString(text, at);
}

int TListBox::InsertString(std::string_view text, int index)
{
    TListWidget* list = ListOf(*this);
    if (list == nullptr || index < -1 || index > list->count()) {
        return LB_ERR;
    }
    const int at = index == -1 ? list->count() : index;
    m_quiet = true;
    list->insertItem(at, ToQString(text));
    list->item(at)->setData(Qt::UserRole, QVariant::fromValue(qulonglong{0}));
    m_quiet = false;
    return at;
}

int TListBox::DeleteString(int index)
{
    TListWidget* list = ListOf(*this);
    if (list == nullptr || index < 0 || index >= list->count()) {
        return LB_ERR;
    }
    m_quiet = true;
    delete list->takeItem(index);
    m_quiet = false;
    return list->count();
}

void TListBox::ClearList()
{
    if (TListWidget* list = ListOf(*this)) {
        m_quiet = true;
        list->clear();
        m_quiet = false;
    }
}

int TListBox::GetCount() const
{
    TListWidget* list = ListOf(*this);
    return list == nullptr ? LB_ERR : list->count();
}

std::string TListBox::GetString(int index) const
{
    TListWidget* list = ListOf(*this);
    if (list == nullptr || index < 0 || index >= list->count()) {
        return {};
    }
    return list->item(index)->text().toStdString();
}

std::uint64_t TListBox::GetItemData(int index) const
{
    TListWidget* list = ListOf(*this);
    if (list == nullptr || index < 0 || index >= list->count()) {
        return 0;
    }
    return list->item(index)->data(Qt::UserRole).toULongLong();
}

int TListBox::SetItemData(int index, std::uint64_t data)
{
    TListWidget* list = ListOf(*this);
    if (list == nullptr || index < 0 || index >= list->count()) {
        return LB_ERR;
    }
    list->item(index)->setData(Qt::UserRole, QVariant::fromValue(static_cast<qulonglong>(data)));
    return 0;
}

int TListBox::GetSelIndex() const
{
    TListWidget* list = ListOf(*this);
    if (list == nullptr) {
        return LB_ERR;
    }
    const int current = list->currentRow();
    return current >= 0 && list->item(current)->isSelected() ? current : LB_ERR;
}

int TListBox::SetSelIndex(int index)
{
    TListWidget* list = ListOf(*this);
    if (list == nullptr || index < -1 || index >= list->count()) {
        return LB_ERR;
    }
    m_quiet = true;
    list->clearSelection();
    if (index >= 0) {
        list->setCurrentRow(index, QItemSelectionModel::ClearAndSelect);
        list->scrollToItem(list->item(index));
    }
    m_quiet = false;
    return index;
}

bool TListBox::GetSel(int index) const
{
    TListWidget* list = ListOf(*this);
    return list != nullptr && index >= 0 && index < list->count() && list->item(index)->isSelected();
}

int TListBox::SetSel(int index, bool select)
{
    TListWidget* list = ListOf(*this);
    if (list == nullptr || index < -1 || index >= list->count()) {
        return LB_ERR;
    }
    m_quiet = true;
    const int first = index == -1 ? 0 : index;
    const int last = index == -1 ? list->count() - 1 : index;
    for (int i = first; i <= last; ++i) {
        list->item(i)->setSelected(select);
    }
    m_quiet = false;
    return 0;
}

int TListBox::GetSelCount() const
{
    TListWidget* list = ListOf(*this);
    return list == nullptr ? LB_ERR : static_cast<int>(list->selectedItems().size());
}

std::vector<int> TListBox::GetSelIndexes() const
{
    std::vector<int> out;
    if (TListWidget* list = ListOf(*this)) {
        for (int i = 0; i < list->count(); ++i) {
            if (list->item(i)->isSelected()) {
                out.push_back(i);
            }
        }
    }
    return out;
}

int TListBox::GetCaretIndex() const
{
    TListWidget* list = ListOf(*this);
    return list == nullptr || list->currentRow() < 0 ? LB_ERR : list->currentRow();
}

int TListBox::GetTopIndex() const
{
    TListWidget* list = ListOf(*this);
    if (list == nullptr) {
        return LB_ERR;
    }
    list->Settle();
    const QModelIndex top = list->indexAt(QPoint(0, 0));
    return top.isValid() ? top.row() : 0;
}

int TListBox::SetTopIndex(int index)
{
    TListWidget* list = ListOf(*this);
    if (list == nullptr || index < 0 || index >= list->count()) {
        return LB_ERR;
    }
    list->Settle();
    list->scrollToItem(list->item(index), QAbstractItemView::PositionAtTop);
    return 0;
}

TRect TListBox::GetItemRect(int index) const
{
    TListWidget* list = ListOf(*this);
    if (list == nullptr || index < 0 || index >= list->count()) {
        return {};
    }
    list->Settle();
    const QRect r = list->visualItemRect(list->item(index));
    TRect rect(r.left(), r.top(), r.left() + r.width(), r.top() + r.height());
    if ((Attr.Style & LBS_MULTICOLUMN) == 0) {
        // A single-column item spans the client width, or the extent when that is wider.
        rect.right = rect.left + std::max(m_extent, list->viewport()->width());
    }
    return rect;
}

void TListBox::PaintItems(TDC& dc, const TRect& clip)
{
    TListWidget* list = ListOf(*this);
    if (list == nullptr) {
        return;
    }
    const int caret = list->currentRow();
    const bool focus = list->hasFocus();
    const bool enabled = list->isEnabled();
    for (int i = 0; i < list->count(); ++i) {
        const TRect rect = GetItemRect(i);
        if (rect.right <= clip.left || rect.left >= clip.right || rect.bottom <= clip.top || rect.top >= clip.bottom) {
            continue;
        }
        const bool selected = list->item(i)->isSelected();
        DRAWITEMSTRUCT draw;
        draw.CtlType = ODT_LISTBOX;
        draw.CtlID = static_cast<UINT>(GetId());
        draw.itemID = static_cast<UINT>(i);
        draw.itemAction = ODA_DRAWENTIRE;
        draw.itemState =
                (selected ? ODS_SELECTED : 0u) | (focus && i == caret ? ODS_FOCUS : 0u) | (enabled ? 0u : ODS_DISABLED);
        draw.hwndItem = GetHandle();
        draw.hDC = &dc;
        draw.rcItem = rect;
        draw.itemData = GetItemData(i);
        if (IsOwnerDrawn()) {
            TWindow* parent = GetParent();
            const LRESULT answered = parent != nullptr && parent->HasWindow()
                                             ? parent->SendMessage(WM_DRAWITEM, static_cast<WPARAM>(GetId()),
                                                                   reinterpret_cast<LPARAM>(&draw))
                                             : 0;
            if (answered == 0 && HasWindow()) {
                DrawItem(draw);
            }
            if (!HasWindow()) {
                return; // the window went while its parent drew
            }
            continue;
        }
        // The standard look: the highlight behind a selected item, the dotted frame around the caret.
        const TColor back = TColor::FromSys(selected ? COLOR_HIGHLIGHT : COLOR_WINDOW);
        dc.FillSolidRect(rect, back);
        dc.SetBkMode(TRANSPARENT);
        dc.SetTextColor(
                TColor::FromSys(!enabled ? COLOR_GRAYTEXT : (selected ? COLOR_HIGHLIGHTTEXT : COLOR_WINDOWTEXT)));
        TRect text(rect.left + 2, rect.top, rect.right, rect.bottom);
        dc.DrawText(list->item(i)->text().toStdString(), text,
                    DT_LEFT | DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX | DT_EXPANDTABS);
        if (draw.itemState & ODS_FOCUS) {
            dc.DrawFocusRect(rect);
        }
    }
}

LRESULT TListBox::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam)
{
    switch (msg) {
    case LB_SETITEMHEIGHT:
        return SetItemHeight(static_cast<int>(wParam), static_cast<int>(lParam));
    case LB_SETCOLUMNWIDTH:
        SetColumnWidth(static_cast<int>(wParam));
        return 0;
    case WM_SETFONT: {
        const LRESULT result = TControl::WindowProc(msg, wParam, lParam);
        // A box that draws its own items follows its font's height; an owner-drawn one keeps what it measured.
        if (!IsOwnerDrawn()) {
            m_itemHeight = 0;
            Relayout();
        }
        return result;
    }
    default:
        return TControl::WindowProc(msg, wParam, lParam);
    }
}

} // namespace qm::gui
