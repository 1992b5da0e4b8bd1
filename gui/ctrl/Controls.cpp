// The standard controls over Qt's widgets, with their notifications to the parent.
#include "gui/ctrl/Controls.h"

#include "gui/ctrl/QtConvert.h"
#include "gui/draw/Dc.h"
#include "gui/window/WindowWidget.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QColor>
#include <QComboBox>
#include <QEvent>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QTextCursor>
#include <QTextDocument>
#include <QTreeWidget>

#include <algorithm>
#include <optional>

namespace qm::gui {

namespace {

QString Q(std::string_view s)
{
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

// Buttons and labels show a '&' prefix as the underlined mnemonic of the next letter; Qt's do the same.
QString Label(std::string_view s)
{
    return Q(s);
}

} // namespace

TControl::TControl(TWindow* parent, int id, std::string_view title, int x, int y, int w, int h)
    : TWindow(parent, title)
{
    Attr.Style = WS_CHILD | WS_VISIBLE | WS_TABSTOP;
    Attr.Id = id;
    Attr.X = x;
    Attr.Y = y;
    Attr.W = w;
    Attr.H = h;
}

void TControl::NotifyCommand(int code)
{
    const WPARAM wParam = MAKEWPARAM(static_cast<WORD>(GetId()), static_cast<WORD>(code));
    const auto lParam = static_cast<LPARAM>(GetHandle());
    SendMessage(WM_COMMAND, wParam, lParam);
    if (GetParent() != nullptr && GetParent()->HasWindow() && HasWindow()) {
        GetParent()->SendMessage(WM_COMMAND, wParam, lParam);
    }
}

void TControl::NotifyRecord(NMHDR& header)
{
    header.hwndFrom = GetHandle();
    header.idFrom = static_cast<UINT>(GetId());
    SendMessage(WM_NOTIFY, static_cast<WPARAM>(GetId()), reinterpret_cast<LPARAM>(&header));
    if (GetParent() != nullptr && GetParent()->HasWindow() && HasWindow()) {
        GetParent()->SendMessage(WM_NOTIFY, static_cast<WPARAM>(GetId()), reinterpret_cast<LPARAM>(&header));
    }
}

// Edit.

namespace {

QColor ToQt(TColor color)
{
    return QColor(color.Red(), color.Green(), color.Blue());
}

// Before an edit paints, the window that decides its colours is asked for them: WM_CTLCOLOREDIT (for a read-only
// or disabled edit WM_CTLCOLORSTATIC) with a device context whose text colour it may set (wParam, a TDC*) and
// the edit's handle (lParam). A nonzero answer points at the background's TBrush and the text takes the
// context's text colour; zero leaves the system's colours (for a read-only or disabled edit the face colour).
class TEditColourHook final : public QObject {
public:
    // askControl: ask the control the edit belongs to (the combo box), not its parent.
    TEditColourHook(QWidget& edit, bool askControl)
        : QObject(&edit)
        , m_edit(edit)
        , m_askControl(askControl)
    {
        auto* plain = qobject_cast<QPlainTextEdit*>(&edit);
        (plain != nullptr ? plain->viewport() : &edit)->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint) {
            Ask();
        }
        return false;
    }

private:
    void Ask()
    {
        // The control is found through its widget: a widget whose window is gone paints for no one.
        TWindow* control = WindowInternals::OwnerOf(&m_edit);
        TWindow* whom = control == nullptr || m_askControl ? control : control->GetParent();
        if (whom == nullptr || !whom->HasWindow() || !control->HasWindow()) {
            return;
        }
        auto* line = qobject_cast<QLineEdit*>(&m_edit);
        auto* plain = qobject_cast<QPlainTextEdit*>(&m_edit);
        const bool readOnly = (line != nullptr && line->isReadOnly()) || (plain != nullptr && plain->isReadOnly());
        const UINT message = readOnly || !m_edit.isEnabled() ? WM_CTLCOLORSTATIC : WM_CTLCOLOREDIT;
        TMemoryDC dc;
        dc.SetTextColor(TColor::FromSys(COLOR_WINDOWTEXT));
        dc.SetBkColor(TColor::FromSys(COLOR_WINDOW));
        const LRESULT answer = whom->SendMessage(message, reinterpret_cast<WPARAM>(static_cast<TDC*>(&dc)),
                                                 static_cast<LPARAM>(control->GetHandle()));
        const auto* brush = reinterpret_cast<const TBrush*>(answer);
        const QColor text = ToQt(brush != nullptr ? dc.GetTextColor() : TColor::FromSys(COLOR_WINDOWTEXT));
        // Unanswered, an edit that takes input shows the window colour; a read-only or disabled one, which asked
        // as static text does, the face colour of the dialog around it.
        const TColor fallback = TColor::FromSys(message == WM_CTLCOLORSTATIC ? COLOR_3DFACE : COLOR_WINDOW);
        const QColor back = ToQt(brush != nullptr ? brush->GetColor() : fallback);
        QPalette palette = m_edit.palette();
        if (palette.color(QPalette::Text) != text || palette.color(QPalette::Base) != back) {
            // Takes effect from the next paint, which the change asks for; the next answer is the same.
            palette.setColor(QPalette::Text, text);
            palette.setColor(QPalette::Base, back);
            m_edit.setPalette(palette);
        }
    }

    QWidget& m_edit;
    bool m_askControl;
};

// The text an edit last showed to its window (EN_CHANGE goes out only when it changes).
constexpr const char* kShownText = "qmShownText";

// The longest start of text within limit bytes of UTF-8 (limit 0: no limit), never ending inside a character.
QString FitLimit(const QString& text, int limit)
{
    if (limit <= 0) {
        return text;
    }
    const QByteArray bytes = text.toUtf8();
    if (bytes.size() <= limit) {
        return text;
    }
    const std::string_view view(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    const std::size_t fit = Utf8FitLength(view, static_cast<std::size_t>(limit));
    return QString::fromUtf8(bytes.constData(), static_cast<qsizetype>(fit));
}

} // namespace

TEdit::TEdit(TWindow* parent, int id, std::string_view text, int x, int y, int w, int h, int textLimit, bool multiLine)
    : TControl(parent, id, {}, x, y, w, h)
    , m_limit(textLimit)
    , m_initial(text)
{
    Attr.Style |= ES_AUTOHSCROLL;
    if (multiLine) {
        Attr.Style |= ES_MULTILINE | ES_AUTOVSCROLL;
    }
}

QWidget* TEdit::MakeWidget(QWidget* parentWidget)
{
    if (IsMultiLine()) {
        auto* edit = new QPlainTextEdit(parentWidget);
        edit->setPlainText(Q(m_initial));
        edit->setReadOnly((Attr.Style & ES_READONLY) != 0);
        edit->setTabChangesFocus(true);
        QObject::connect(edit, &QPlainTextEdit::textChanged, [this, edit] {
            // The limit holds for typed and pasted text: what goes past it is taken out again, with one EN_CHANGE
            // (none when nothing of the change is left).
            const QString text = edit->toPlainText();
            const QString kept = FitLimit(text, m_limit);
            if (kept.size() < text.size()) {
                const QSignalBlocker quiet(edit);
                QTextCursor cut(edit->document());
                cut.setPosition(static_cast<int>(kept.size()));
                cut.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
                cut.removeSelectedText();
            }
            if (kept != edit->property(kShownText).toString()) {
                edit->setProperty(kShownText, kept);
                NotifyCommand(EN_CHANGE);
            }
        });
        edit->setProperty(kShownText, edit->toPlainText());
        new TEditColourHook(*edit, false);
        return edit;
    }
    auto* edit = new QLineEdit(parentWidget);
    edit->setText(Q(m_initial));
    edit->setReadOnly((Attr.Style & ES_READONLY) != 0);
    if ((Attr.Style & ES_PASSWORD) != 0) {
        edit->setEchoMode(QLineEdit::Password);
    }
    if (m_limit > 0) {
        edit->setMaxLength(m_limit);
    }
    edit->setProperty(kShownText, edit->text());
    QObject::connect(edit, &QLineEdit::textChanged, [this, edit](const QString& text) {
        // Qt counts the limit in characters, the transfer buffer in bytes: what goes past it in bytes is taken
        // out again, so the buffer never cuts what the edit shows.
        const QString kept = FitLimit(text, m_limit);
        if (kept.size() < text.size()) {
            const QSignalBlocker quiet(edit);
            const int cursor = edit->cursorPosition();
            edit->setText(kept);
            edit->setCursorPosition(std::min(cursor, static_cast<int>(kept.size())));
        }
        if (kept != edit->property(kShownText).toString()) {
            edit->setProperty(kShownText, kept);
            NotifyCommand(EN_CHANGE);
        }
    });
    new TEditColourHook(*edit, false);
    return edit;
}

std::string TEdit::GetText() const
{
    if (auto* line = qobject_cast<QLineEdit*>(WidgetOf(*this))) {
        return line->text().toStdString();
    }
    if (auto* text = qobject_cast<QPlainTextEdit*>(WidgetOf(*this))) {
        return text->toPlainText().toStdString();
    }
    return m_initial;
}

void TEdit::SetText(std::string_view text)
{
    m_initial = text;
    if (auto* line = qobject_cast<QLineEdit*>(WidgetOf(*this))) {
        line->setText(Q(text));
    } else if (auto* multi = qobject_cast<QPlainTextEdit*>(WidgetOf(*this))) {
        multi->setPlainText(Q(text));
    }
}

void TEdit::LimitText(int limit)
{
    m_limit = limit;
    if (auto* line = qobject_cast<QLineEdit*>(WidgetOf(*this))) {
        line->setMaxLength(limit > 0 ? limit : 32767);
    }
}

void TEdit::SetReadOnly(bool readOnly)
{
    Attr.Style = readOnly ? (Attr.Style | ES_READONLY) : (Attr.Style & ~ES_READONLY);
    if (auto* line = qobject_cast<QLineEdit*>(WidgetOf(*this))) {
        line->setReadOnly(readOnly);
    } else if (auto* multi = qobject_cast<QPlainTextEdit*>(WidgetOf(*this))) {
        multi->setReadOnly(readOnly);
    }
}

LRESULT TEdit::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam)
{
    switch (msg) {
    case EM_SETREADONLY:
        SetReadOnly(wParam != 0);
        return 1;
    case EM_LIMITTEXT:
        LimitText(static_cast<int>(wParam));
        return 0;
    default:
        return TControl::WindowProc(msg, wParam, lParam);
    }
}

// Buttons.

TButton::TButton(TWindow* parent, int id, std::string_view text, int x, int y, int w, int h, bool isDefault)
    : TControl(parent, id, text, x, y, w, h)
{
    Attr.Style |= isDefault ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON;
}

QWidget* TButton::MakeWidget(QWidget* parentWidget)
{
    QAbstractButton* button = nullptr;
    const DWORD kind = Attr.Style & 0x0F;
    if (kind == BS_AUTORADIOBUTTON || kind == BS_RADIOBUTTON) {
        button = new QRadioButton(Label(GetCaption()), parentWidget);
        button->setAutoExclusive(kind == BS_AUTORADIOBUTTON);
    } else if (kind == BS_AUTOCHECKBOX || kind == BS_CHECKBOX) {
        button = new QCheckBox(Label(GetCaption()), parentWidget);
    } else {
        auto* push = new QPushButton(Label(GetCaption()), parentWidget);
        push->setDefault(kind == BS_DEFPUSHBUTTON);
        push->setAutoDefault(false);
        button = push;
    }
    QObject::connect(button, &QAbstractButton::clicked, [this] { NotifyCommand(BN_CLICKED); });
    return button;
}

TDialogControl::TKind TButton::GetDialogKind() const
{
    const DWORD kind = GetStyle() & 0x0F;
    if (kind == BS_AUTORADIOBUTTON || kind == BS_RADIOBUTTON) {
        return TDialogControl::RadioButton;
    }
    if (kind == BS_AUTOCHECKBOX || kind == BS_CHECKBOX) {
        return TDialogControl::CheckBox;
    }
    return TDialogControl::PushButton;
}

int TButton::GetCheck() const
{
    auto* button = qobject_cast<QAbstractButton*>(WidgetOf(*this));
    return button != nullptr && button->isChecked() ? 1 : 0;
}

void TButton::SetCheck(int check)
{
    if (auto* button = qobject_cast<QAbstractButton*>(WidgetOf(*this))) {
        button->setChecked(check != 0);
    }
}

TRadioButton::TRadioButton(TWindow* parent, int id, std::string_view text, int x, int y, int w, int h)
    : TButton(parent, id, text, x, y, w, h)
{
    Attr.Style = (Attr.Style & ~DWORD{0x0F}) | BS_AUTORADIOBUTTON;
}

TCheckBox::TCheckBox(TWindow* parent, int id, std::string_view text, int x, int y, int w, int h)
    : TButton(parent, id, text, x, y, w, h)
{
    Attr.Style = (Attr.Style & ~DWORD{0x0F}) | BS_AUTOCHECKBOX;
}

TStatic::TStatic(TWindow* parent, int id, std::string_view text, int x, int y, int w, int h)
    : TControl(parent, id, text, x, y, w, h)
{
    Attr.Style &= ~WS_TABSTOP;
}

QWidget* TStatic::MakeWidget(QWidget* parentWidget)
{
    if ((Attr.Style & SS_TYPEMASK) != SS_ICON) {
        return new QLabel(Label(GetCaption()), parentWidget);
    }
    auto* label = new QLabel(parentWidget);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    if (const std::optional<int> id = IconIdFromText(GetCaption()); id) {
        if (const TIcon icon = LoadIconResource(*id, kIconSize); !icon.IsEmpty()) {
            label->setPixmap(ToPixmap(icon));
        }
    }
    return label;
}

TGroupBox::TGroupBox(TWindow* parent, int id, std::string_view text, int x, int y, int w, int h)
    : TControl(parent, id, text, x, y, w, h)
{
    Attr.Style = (Attr.Style & ~WS_TABSTOP) | BS_GROUPBOX;
}

QWidget* TGroupBox::MakeWidget(QWidget* parentWidget)
{
    return new QGroupBox(Label(GetCaption()), parentWidget);
}

// Combo box.

TComboBox::TComboBox(TWindow* parent, int id, int x, int y, int w, int h, DWORD style, int textLimit)
    : TControl(parent, id, {}, x, y, w, h)
    , m_limit(textLimit)
{
    Attr.Style |= style;
}

QWidget* TComboBox::MakeWidget(QWidget* parentWidget)
{
    auto* combo = new QComboBox(parentWidget);
    combo->setEditable((Attr.Style & 0x03) == CBS_DROPDOWN);
    combo->setInsertPolicy(QComboBox::NoInsert);
    for (const std::string& item : m_pending) {
        combo->addItem(Q(item));
    }
    combo->setCurrentIndex(m_pendingSel);
    m_pending.clear();
    // Only the user's choice tells; CB_SETCURSEL does not.
    QObject::connect(combo, &QComboBox::activated, [this] { NotifyCommand(CBN_SELCHANGE); });
    if (combo->lineEdit() != nullptr) {
        // The edit part asks the combo box for its colours, which passes the question on to its parent.
        new TEditColourHook(*combo->lineEdit(), true);
        if (m_limit > 0) {
            combo->lineEdit()->setMaxLength(m_limit);
        }
        // The last of the selection and the text given before the window (a selection brought its item's text).
        combo->lineEdit()->setText(Q(m_pendingText));
    }
    return combo;
}

std::string TComboBox::GetText() const
{
    auto* combo = qobject_cast<QComboBox*>(WidgetOf(*this));
    if (combo == nullptr) {
        return IsDropDownList() ? GetString(m_pendingSel) : m_pendingText;
    }
    return combo->currentText().toStdString();
}

bool TComboBox::SetText(std::string_view text)
{
    if (IsDropDownList()) {
        for (int i = 0; i < GetCount(); ++i) {
            if (QString::compare(Q(GetString(i)), Q(text), Qt::CaseInsensitive) == 0) {
                SetSelIndex(i);
                return true;
            }
        }
        return false;
    }
    auto* combo = qobject_cast<QComboBox*>(WidgetOf(*this));
    if (combo == nullptr || combo->lineEdit() == nullptr) {
        m_pendingText = text;
        return true;
    }
    const QSignalBlocker quiet(combo);
    combo->lineEdit()->setText(Q(text));
    return true;
}

int TComboBox::AddString(std::string_view text)
{
    auto* combo = qobject_cast<QComboBox*>(WidgetOf(*this));
    if (combo == nullptr) {
        m_pending.emplace_back(text);
        return static_cast<int>(m_pending.size()) - 1;
    }
    combo->addItem(Q(text));
    return combo->count() - 1;
}

int TComboBox::GetCount() const
{
    auto* combo = qobject_cast<QComboBox*>(WidgetOf(*this));
    return combo != nullptr ? combo->count() : static_cast<int>(m_pending.size());
}

int TComboBox::GetSelIndex() const
{
    auto* combo = qobject_cast<QComboBox*>(WidgetOf(*this));
    if (combo == nullptr) {
        return m_pendingSel;
    }
    return combo->currentIndex() < 0 ? CB_ERR : combo->currentIndex();
}

int TComboBox::SetSelIndex(int index)
{
    auto* combo = qobject_cast<QComboBox*>(WidgetOf(*this));
    if (combo == nullptr) {
        m_pendingSel = index;
        // The edit part shows the selected item's text, until other text is put there.
        m_pendingText = GetString(index);
        return index;
    }
    if (index < -1 || index >= combo->count()) {
        return CB_ERR;
    }
    combo->setCurrentIndex(index);
    return index;
}

std::string TComboBox::GetString(int index) const
{
    auto* combo = qobject_cast<QComboBox*>(WidgetOf(*this));
    if (combo == nullptr) {
        return index >= 0 && index < static_cast<int>(m_pending.size()) ? m_pending[static_cast<std::size_t>(index)]
                                                                        : std::string();
    }
    if (index < 0 || index >= combo->count()) {
        return {};
    }
    return combo->itemText(index).toStdString();
}

void TComboBox::ClearList()
{
    if (auto* combo = qobject_cast<QComboBox*>(WidgetOf(*this))) {
        combo->clear();
    }
    m_pending.clear();
}

LRESULT TComboBox::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam)
{
    switch (msg) {
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORSTATIC:
        return GetParent() != nullptr && GetParent()->HasWindow() ? GetParent()->SendMessage(msg, wParam, lParam) : 0;
    case CB_GETCURSEL:
        return GetSelIndex();
    case CB_SETCURSEL:
        return SetSelIndex(static_cast<int>(static_cast<std::int64_t>(wParam)));
    case CB_SETEXTENDEDUI:
        // The extended interface (the list opens with the down arrow) is how Qt's combo box behaves already.
        return 0;
    default:
        return TControl::WindowProc(msg, wParam, lParam);
    }
}

// List view.

TListView::TListView(TWindow* parent, int id, int x, int y, int w, int h)
    : TControl(parent, id, {}, x, y, w, h)
{}

QWidget* TListView::MakeWidget(QWidget* parentWidget)
{
    auto* view = new QTreeWidget(parentWidget);
    view->setRootIsDecorated(false);
    view->setItemsExpandable(false);
    view->setSortingEnabled(false);
    view->setAllColumnsShowFocus(true);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setSelectionMode(QAbstractItemView::ExtendedSelection);
    view->setColumnCount(0);
    view->header()->setSectionsClickable(true);
    view->header()->setStretchLastSection(false);
    QObject::connect(view->header(), &QHeaderView::sectionClicked, [this](int column) {
        NMLISTVIEW record;
        record.hdr.code = LVN_COLUMNCLICK;
        record.iSubItem = column;
        NotifyRecord(record.hdr);
    });
    return view;
}

namespace {

QTreeWidget* View(const TWindow& w)
{
    return qobject_cast<QTreeWidget*>(WidgetOf(w));
}

} // namespace

int TListView::InsertColumn(int index, std::string_view text, int width)
{
    QTreeWidget* view = View(*this);
    if (view == nullptr || index < 0) {
        return -1;
    }
    const int count = view->columnCount();
    index = std::min(index, count);
    QStringList labels;
    for (int i = 0; i < count; ++i) {
        labels << view->headerItem()->text(i);
    }
    labels.insert(index, Q(text));
    view->setColumnCount(count + 1);
    view->setHeaderLabels(labels);
    view->setColumnWidth(index, width);
    return index;
}

int TListView::InsertItem(std::string_view text, std::uint64_t itemData)
{
    QTreeWidget* view = View(*this);
    if (view == nullptr) {
        return -1;
    }
    auto* item = new QTreeWidgetItem(view);
    item->setText(0, Q(text));
    item->setData(0, Qt::UserRole, QVariant::fromValue(static_cast<qulonglong>(itemData)));
    return view->indexOfTopLevelItem(item);
}

bool TListView::SetItemText(int item, int subItem, std::string_view text)
{
    QTreeWidget* view = View(*this);
    if (view == nullptr || item < 0 || item >= view->topLevelItemCount() || subItem < 0) {
        return false;
    }
    view->topLevelItem(item)->setText(subItem, Q(text));
    return true;
}

std::string TListView::GetItemText(int item, int subItem) const
{
    QTreeWidget* view = View(*this);
    if (view == nullptr || item < 0 || item >= view->topLevelItemCount() || subItem < 0) {
        return {};
    }
    return view->topLevelItem(item)->text(subItem).toStdString();
}

std::uint64_t TListView::GetItemData(int item) const
{
    QTreeWidget* view = View(*this);
    if (view == nullptr || item < 0 || item >= view->topLevelItemCount()) {
        return 0;
    }
    return view->topLevelItem(item)->data(0, Qt::UserRole).toULongLong();
}

bool TListView::SetItemData(int item, std::uint64_t data)
{
    QTreeWidget* view = View(*this);
    if (view == nullptr || item < 0 || item >= view->topLevelItemCount()) {
        return false;
    }
    view->topLevelItem(item)->setData(0, Qt::UserRole, QVariant::fromValue(static_cast<qulonglong>(data)));
    return true;
}

bool TListView::SetSel(int item, bool select)
{
    QTreeWidget* view = View(*this);
    if (view == nullptr || item < -1 || item >= view->topLevelItemCount()) {
        return false;
    }
    if (item != -1) {
        view->topLevelItem(item)->setSelected(select);
        return true;
    }
    for (int i = 0; i < view->topLevelItemCount(); ++i) {
        view->topLevelItem(i)->setSelected(select);
    }
    return true;
}

bool TListView::GetSel(int item) const
{
    QTreeWidget* view = View(*this);
    return view != nullptr && item >= 0 && item < view->topLevelItemCount() && view->topLevelItem(item)->isSelected();
}

int TListView::GetSelCount() const
{
    return static_cast<int>(GetSelIndexes().size());
}

std::vector<int> TListView::GetSelIndexes() const
{
    std::vector<int> out;
    QTreeWidget* view = View(*this);
    for (int i = 0; view != nullptr && i < view->topLevelItemCount(); ++i) {
        if (view->topLevelItem(i)->isSelected()) {
            out.push_back(i);
        }
    }
    return out;
}

int TListView::GetItemCount() const
{
    QTreeWidget* view = View(*this);
    return view == nullptr ? 0 : view->topLevelItemCount();
}

void TListView::DeleteAllItems()
{
    if (QTreeWidget* view = View(*this)) {
        view->clear();
    }
}

bool TListView::SortItems(const TCompareFunc& compare, std::uint64_t parameter)
{
    QTreeWidget* view = View(*this);
    if (view == nullptr || !compare) {
        return false;
    }
    QList<QTreeWidgetItem*> items = view->invisibleRootItem()->takeChildren();
    std::stable_sort(items.begin(), items.end(), [&](QTreeWidgetItem* a, QTreeWidgetItem* b) {
        return compare(a->data(0, Qt::UserRole).toULongLong(), b->data(0, Qt::UserRole).toULongLong(), parameter) < 0;
    });
    view->invisibleRootItem()->addChildren(items);
    return true;
}

} // namespace qm::gui
