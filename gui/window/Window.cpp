// TWindow: creation, the family, placement, painting requests and the default message handling.
#include "gui/window/Window.h"

#include "gui/draw/Dc.h"
#include "gui/draw/DcImpl.h"
#include "gui/model/GuiState.h"
#include "gui/window/Application.h"
#include "gui/window/CrossProcess.h"
#include "gui/window/QtCursor.h"
#include "gui/window/WindowDc.h"
#include "gui/window/WindowWidget.h"

#include <QAbstractButton>
#include <QAbstractScrollArea>
#include <QApplication>
#include <QComboBox>
#include <QCursor>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QResizeEvent>
#include <QTimer>
#include <QWidget>
#include <QWindow>

#include <algorithm>
#include <optional>
#include <unordered_map>

namespace qm::gui {

namespace {

struct WindowTable {
    std::unordered_map<HWND, TWindow*> Registry;
    std::uint32_t NextLocalHandle = 0;
    int CursorId = IDC_ARROW;
};

WindowTable& Windows()
{
    return GuiState().Part<WindowTable>();
}

std::unordered_map<HWND, TWindow*>& Registry()
{
    return Windows().Registry;
}

// A handle other processes can post to; without an endpoint, a handle only this process can use (its index has
// the high bit set, which the platform's endpoints never give).
HWND NewHandle()
{
    if (const HWND shared = OpenWindowHandle(); shared != 0) {
        return shared;
    }
    const auto pid = static_cast<std::uint64_t>(QCoreApplication::applicationPid());
    return (pid << 32) | 0x80000000u | ++Windows().NextLocalHandle;
}

QRect ToQRect(const TRect& r)
{
    return QRect(r.left, r.top, r.Width(), r.Height());
}

// Qt window flags for a top-level window from its styles.
Qt::WindowFlags TopLevelFlags(const TWindowAttr& attr, bool owned)
{
    Qt::WindowFlags flags = Qt::Window;
    if ((attr.ExStyle & WS_EX_TOOLWINDOW) != 0) {
        flags = Qt::Tool;
    } else if ((attr.Style & WS_POPUP) != 0 && owned) {
        // An owned pop-up with a caption is a dialog of its owner; without one (slips, pop-up menus) a tool window.
        flags = (attr.Style & WS_CAPTION) == WS_CAPTION ? Qt::Dialog : Qt::Tool;
    }
    if ((attr.Style & WS_POPUP) != 0 && (attr.Style & WS_CAPTION) != WS_CAPTION) {
        flags |= Qt::FramelessWindowHint;
    }
    if ((attr.ExStyle & WS_EX_TOPMOST) != 0) {
        flags |= Qt::WindowStaysOnTopHint;
    }
    return flags;
}

} // namespace

int CurrentCursorId()
{
    return Windows().CursorId;
}

// A timer of a window: each expiry is a queued WM_TIMER through the pre-filter.
class TWindowTimer {
public:
    TWindowTimer(TWindow& window, UINT id, UINT ms)
    {
        m_timer.setInterval(static_cast<int>(std::max(1u, ms)));
        const HWND handle = window.GetHandle();
        QObject::connect(&m_timer, &QTimer::timeout, [handle, id] {
            TApplication* app = TApplication::Current();
            if (app != nullptr && TWindow::FromHandle(handle) != nullptr) {
                MSG msg{handle, WM_TIMER, id, 0, 0, qm::gui::GetCursorPos()};
                app->DispatchQueued(msg);
            }
        });
        m_timer.start();
    }

private:
    QTimer m_timer;
};

TWindow::TWindow(TWindow* parent, std::string_view title)
    : m_parent(parent)
    , m_title(title)
{
    if (parent == nullptr) {
        Attr.Style = WS_OVERLAPPEDWINDOW;
    } else {
        parent->m_children.push_back(std::unique_ptr<TWindow>(this));
    }
}

TWindow::~TWindow()
{
    if (HasWindow()) {
        Destroy();
    }
    while (!m_children.empty()) {
        std::unique_ptr<TWindow> child = std::move(m_children.back());
        m_children.pop_back();
        child->m_parent = nullptr;
    }
    if (m_parent != nullptr) {
        m_parent->RemoveChild(this);
    }
}

void TWindow::RemoveChild(TWindow* child)
{
    for (auto it = m_children.begin(); it != m_children.end(); ++it) {
        if (it->get() == child) {
            (void)it->release(); // the child is going away by itself
            m_children.erase(it);
            return;
        }
    }
}

TWindow* TWindow::FromHandle(HWND handle)
{
    const auto it = Registry().find(handle);
    return it == Registry().end() ? nullptr : it->second;
}

void TWindow::GetWindowClass(TWindowClass&)
{}

QWidget* TWindow::MakeWidget(QWidget* parentWidget)
{
    const bool child = (Attr.Style & WS_CHILD) != 0 && parentWidget != nullptr;
    Qt::WindowFlags flags = child ? Qt::Widget : TopLevelFlags(Attr, parentWidget != nullptr);
    QWidget* qtParent = child ? parentWidget : (parentWidget != nullptr ? parentWidget->window() : nullptr);
    return new TWindowWidget(this, qtParent, flags);
}

bool TWindow::Create()
{
    if (HasWindow() || (m_parent != nullptr && !m_parent->HasWindow())) {
        return false;
    }
    if (!m_classRead) {
        GetWindowClass(m_class);
        m_classRead = true;
    }
    QWidget* parentWidget = m_parent != nullptr ? m_parent->m_widget : nullptr;
    QWidget* widget = MakeWidget(parentWidget);
    if (widget == nullptr) {
        return false;
    }
    m_widget = widget;
    TagWidget(widget, this);
    if (dynamic_cast<TWindowWidget*>(widget) == nullptr) {
        new TControlOverlay(*widget); // a child of the control's widget, gone with it
    }
    m_handle = NewHandle();
    Registry()[m_handle] = this;
    widget->setWindowTitle(QString::fromStdString(m_title));
    if (m_fontSet) {
        widget->setFont(ToQFont(m_font));
    }
    if ((Attr.Style & WS_DISABLED) != 0) {
        widget->setEnabled(false);
    }
    QPoint origin(Attr.X, Attr.Y);
    if (m_parent != nullptr && widget->parentWidget() == m_parent->m_widget) {
        origin += WindowInternals::ClientOrigin(*m_parent);
    }
    const int w = Attr.W > 0 ? Attr.W : (m_parent == nullptr ? 640 : 0);
    const int h = Attr.H > 0 ? Attr.H : (m_parent == nullptr ? 480 : 0);
    widget->setGeometry(QRect(origin, QSize(w, h)));
    Deliver(*this, WM_CREATE, 0, 0);
    SetupWindow();
    if (!HasWindow()) {
        return false;
    }
    WindowInternals::GeometryChanged(*this);
    if ((Attr.Style & WS_VISIBLE) != 0 && (Attr.Style & WS_CHILD) != 0) {
        ShowWindow(SW_SHOWNA);
    }
    return true;
}

void TWindow::SetupWindow()
{
    for (const auto& child : m_children) {
        if (!child->HasWindow()) {
            child->Create();
        }
    }
}

void TWindow::CleanupWindow()
{}

void TWindow::Destroy(int)
{
    if (!HasWindow()) {
        return;
    }
    CleanupWindow();
    Deliver(*this, WM_DESTROY, 0, 0);
    for (const auto& child : m_children) {
        child->Destroy();
    }
    DestroyWidget();
}

void TWindow::DestroyWidget()
{
    if (qm::gui::GetCapture() == m_handle && m_handle != 0) {
        TWindow::ReleaseCapture();
    }
    m_timers.clear();
    Registry().erase(m_handle);
    CloseWindowHandle(m_handle);
    QWidget* widget = m_widget;
    m_widget = nullptr;
    m_handle = 0;
    m_lastSize = TSize(-1, -1);
    if (auto* own = dynamic_cast<TWindowWidget*>(widget)) {
        own->Detach();
    }
    TagWidget(widget, nullptr);
    DisposeWidget(widget);
}

void TWindow::SetParent(TWindow* newParent)
{
    if (newParent == m_parent) {
        return;
    }
    std::unique_ptr<TWindow> self;
    if (m_parent != nullptr) {
        for (auto it = m_parent->m_children.begin(); it != m_parent->m_children.end(); ++it) {
            if (it->get() == this) {
                self = std::move(*it);
                m_parent->m_children.erase(it);
                break;
            }
        }
    }
    m_parent = newParent;
    if (newParent != nullptr) {
        if (self) {
            newParent->m_children.push_back(std::move(self));
        } else {
            newParent->m_children.push_back(std::unique_ptr<TWindow>(this));
        }
    } else {
        (void)self.release(); // a window without parent belongs to whoever holds it
    }
    if (m_widget == nullptr) {
        return;
    }
    const bool visible = !m_widget->isHidden();
    const QRect geometry = m_widget->geometry();
    QWidget* parentWidget = newParent != nullptr ? newParent->m_widget : nullptr;
    if ((Attr.Style & WS_CHILD) != 0 && parentWidget != nullptr) {
        m_widget->setParent(parentWidget, Qt::Widget);
    } else {
        m_widget->setParent(parentWidget != nullptr ? parentWidget->window() : nullptr,
                            TopLevelFlags(Attr, parentWidget != nullptr));
    }
    m_widget->setGeometry(geometry);
    if (visible) {
        m_widget->show();
    }
}

std::vector<TWindow*> TWindow::GetChildren() const
{
    std::vector<TWindow*> out;
    for (const auto& child : m_children) {
        out.push_back(child.get());
    }
    if (m_widget == nullptr) {
        return out;
    }
    // Qt keeps sibling widgets bottom first; windows without a widget go last.
    auto rank = [this](TWindow* w) {
        if (w->m_widget == nullptr || w->m_widget->parentWidget() != m_widget) {
            return -1;
        }
        return static_cast<int>(m_widget->children().indexOf(w->m_widget));
    };
    std::stable_sort(out.begin(), out.end(), [&](TWindow* a, TWindow* b) { return rank(a) > rank(b); });
    return out;
}

std::vector<TWindow*> TWindow::GetChildrenInCreationOrder() const
{
    std::vector<TWindow*> out;
    for (const auto& child : m_children) {
        out.push_back(child.get());
    }
    return out;
}

TWindow* TWindow::ChildWithId(int id) const
{
    for (const auto& child : m_children) {
        if (child->Attr.Id == id) {
            return child.get();
        }
    }
    return nullptr;
}

TApplication* TWindow::GetApplication() const
{
    return TApplication::Current();
}

TWindow* TWindow::GetTopLevel()
{
    TWindow* w = this;
    while (w->m_parent != nullptr && (w->Attr.Style & WS_CHILD) != 0) {
        w = w->m_parent;
    }
    return w;
}

namespace {

// A standard control's text is what it shows: a label's, a button's or a group box's caption, an edit's
// contents. False for a window that shows no text of its own (a painted window, an icon static).
bool SetControlText(QWidget& widget, const QString& text)
{
    if (auto* label = qobject_cast<QLabel*>(&widget)) {
        if (label->pixmap().isNull()) {
            label->setText(text);
        }
        return true;
    }
    if (auto* button = qobject_cast<QAbstractButton*>(&widget)) {
        button->setText(text);
        return true;
    }
    if (auto* group = qobject_cast<QGroupBox*>(&widget)) {
        group->setTitle(text);
        return true;
    }
    if (auto* line = qobject_cast<QLineEdit*>(&widget)) {
        line->setText(text);
        return true;
    }
    if (auto* multi = qobject_cast<QPlainTextEdit*>(&widget)) {
        multi->setPlainText(text);
        return true;
    }
    if (auto* combo = qobject_cast<QComboBox*>(&widget); combo != nullptr && combo->isEditable()) {
        combo->setEditText(text);
        return true;
    }
    return false;
}

std::optional<QString> ControlText(const QWidget& widget)
{
    if (const auto* line = qobject_cast<const QLineEdit*>(&widget)) {
        return line->text();
    }
    if (const auto* multi = qobject_cast<const QPlainTextEdit*>(&widget)) {
        return multi->toPlainText();
    }
    if (const auto* combo = qobject_cast<const QComboBox*>(&widget); combo != nullptr && combo->isEditable()) {
        return combo->currentText();
    }
    return std::nullopt;
}

} // namespace

void TWindow::SetCaption(std::string_view title)
{
    m_title = title;
    if (m_widget != nullptr) {
        const QString text = QString::fromStdString(m_title);
        if (m_widget->isWindow() || !SetControlText(*m_widget, text)) {
            m_widget->setWindowTitle(text);
        }
        if (m_widget != nullptr) {
            Deliver(*this, WM_SETTEXT, 0, 0);
        }
    }
}

std::string TWindow::GetWindowText() const
{
    if (m_widget != nullptr && !m_widget->isWindow()) {
        if (const std::optional<QString> text = ControlText(*m_widget)) {
            return text->toStdString();
        }
    }
    return m_title;
}

void TWindow::SetWindowFont(const TFont& font, bool redraw)
{
    m_font = font;
    m_fontSet = true;
    if (m_widget == nullptr) {
        return;
    }
    m_widget->setFont(ToQFont(font));
    Deliver(*this, WM_SETFONT, reinterpret_cast<WPARAM>(&m_font), redraw ? 1 : 0);
    if (redraw) {
        Invalidate(true);
    }
}

void TWindow::SetStyle(DWORD style)
{
    Attr.Style = style;
}

bool TWindow::ModifyStyle(DWORD remove, DWORD add, UINT swpFlags)
{
    const DWORD before = Attr.Style;
    Attr.Style = (Attr.Style & ~remove) | add;
    if (swpFlags != 0) {
        SetWindowPos(nullptr, 0, 0, 0, 0, swpFlags | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER);
    }
    return before != Attr.Style;
}

void TWindow::SetExStyle(DWORD style)
{
    Attr.ExStyle = style;
}

bool TWindow::ShowWindow(int cmdShow)
{
    if (m_widget == nullptr) {
        Attr.Style = cmdShow == SW_HIDE ? (Attr.Style & ~WS_VISIBLE) : (Attr.Style | WS_VISIBLE);
        return false;
    }
    const bool wasVisible = !m_widget->isHidden();
    if (cmdShow == SW_HIDE) {
        if (wasVisible) {
            Deliver(*this, WM_SHOWWINDOW, 0, 0);
            if (m_widget != nullptr) {
                m_widget->hide();
            }
        }
        Attr.Style &= ~WS_VISIBLE;
        return wasVisible;
    }
    if (!wasVisible) {
        Deliver(*this, WM_SHOWWINDOW, 1, 0);
        if (m_widget == nullptr) {
            return false;
        }
    }
    Attr.Style |= WS_VISIBLE;
    const bool topLevel = m_widget->isWindow();
    const bool activate = cmdShow != SW_SHOWNA && cmdShow != SW_SHOWNOACTIVATE && cmdShow != SW_SHOWMINNOACTIVE;
    m_widget->setAttribute(Qt::WA_ShowWithoutActivating, !activate);
    switch (cmdShow) {
    case SW_MINIMIZE:
    case SW_SHOWMINIMIZED:
    case SW_SHOWMINNOACTIVE:
        topLevel ? m_widget->showMinimized() : m_widget->show();
        break;
    case SW_SHOWMAXIMIZED:
        topLevel ? m_widget->showMaximized() : m_widget->show();
        break;
    case SW_RESTORE:
    case SW_SHOWNORMAL:
        topLevel ? m_widget->showNormal() : m_widget->show();
        break;
    default:
        m_widget->show();
        break;
    }
    if (topLevel && activate) {
        m_widget->activateWindow();
    }
    return wasVisible;
}

bool TWindow::IsWindowVisible() const
{
    return m_widget != nullptr && m_widget->isVisible();
}

bool TWindow::IsIconic() const
{
    return m_widget != nullptr && m_widget->window()->isMinimized();
}

bool TWindow::SetWindowPos(TWindow* insertAfter, int x, int y, int cx, int cy, UINT flags)
{
    if (insertAfter == nullptr) {
        return SetWindowPos(kHwndTop, x, y, cx, cy, flags);
    }
    if (m_widget != nullptr && insertAfter->m_widget != nullptr && (flags & SWP_NOZORDER) == 0) {
        m_widget->stackUnder(insertAfter->m_widget);
    }
    return SetWindowPos(kHwndTop, x, y, cx, cy, flags | SWP_NOZORDER);
}

bool TWindow::SetWindowPos(std::uintptr_t insertAfter, int x, int y, int cx, int cy, UINT flags)
{
    if ((flags & SWP_NOMOVE) == 0) {
        Attr.X = x;
        Attr.Y = y;
    }
    if ((flags & SWP_NOSIZE) == 0) {
        Attr.W = std::max(0, cx);
        Attr.H = std::max(0, cy);
    }
    if (m_widget == nullptr) {
        return true;
    }
    QRect g = m_widget->geometry();
    const bool child = !m_widget->isWindow() && m_parent != nullptr;
    const QPoint parentOrigin = child ? WindowInternals::ClientOrigin(*m_parent) : QPoint(0, 0);
    if ((flags & SWP_NOMOVE) == 0) {
        g.moveTopLeft(QPoint(x, y) + parentOrigin);
    }
    if ((flags & SWP_NOSIZE) == 0) {
        g.setSize(QSize(std::max(0, cx), std::max(0, cy)));
    }
    if (g != m_widget->geometry()) {
        m_widget->setGeometry(g);
    }
    if ((flags & SWP_NOZORDER) == 0) {
        if (insertAfter == kHwndBottom) {
            m_widget->lower();
        } else if (insertAfter == kHwndTopMost || insertAfter == kHwndNoTopMost) {
            const bool visible = !m_widget->isHidden();
            m_widget->setWindowFlag(Qt::WindowStaysOnTopHint, insertAfter == kHwndTopMost);
            if (visible) {
                m_widget->show();
            }
        } else {
            m_widget->raise();
        }
    }
    if ((flags & SWP_FRAMECHANGED) != 0) {
        m_lastSize = TSize(-1, -1); // recompute the non-client insets
        if (auto* own = dynamic_cast<TWindowWidget*>(m_widget)) {
            own->InvalidateFrame();
        }
    }
    WindowInternals::GeometryChanged(*this);
    if (m_widget == nullptr) {
        return true;
    }
    if ((flags & SWP_SHOWWINDOW) != 0) {
        ShowWindow((flags & SWP_NOACTIVATE) != 0 ? SW_SHOWNA : SW_SHOW);
    } else if ((flags & SWP_HIDEWINDOW) != 0) {
        ShowWindow(SW_HIDE);
    }
    return true;
}

void TWindow::MoveWindow(int x, int y, int w, int h, bool repaint)
{
    SetWindowPos(kHwndTop, x, y, w, h, SWP_NOZORDER | SWP_NOACTIVATE);
    if (repaint) {
        Invalidate(true);
    }
}

TRect TWindow::GetWindowRect() const
{
    if (m_widget == nullptr) {
        return TRect(Attr.X, Attr.Y, Attr.X + Attr.W, Attr.Y + Attr.H);
    }
    const QPoint topLeft = m_widget->mapToGlobal(QPoint(0, 0));
    return TRect(TPoint(topLeft.x(), topLeft.y()), TSize(m_widget->width(), m_widget->height()));
}

QRect WindowInternals::ClientArea(QWidget& widget, const TRect& insets)
{
    if (auto* scrolling = qobject_cast<QAbstractScrollArea*>(&widget)) {
        // Qt lays a hidden control out only when it is shown; until then the viewport keeps its first size.
        // The resize the show would send is sent now, so a control's client area is right from its creation.
        if (scrolling->testAttribute(Qt::WA_PendingResizeEvent)) {
            scrolling->setAttribute(Qt::WA_PendingResizeEvent, false);
            QResizeEvent resize(scrolling->size(), QSize());
            QCoreApplication::sendEvent(scrolling, &resize);
        }
        return scrolling->viewport()->geometry();
    }
    return QRect(insets.left, insets.top, std::max(0, widget.width() - insets.left - insets.right),
                 std::max(0, widget.height() - insets.top - insets.bottom));
}

TRect TWindow::GetClientRect() const
{
    if (m_widget == nullptr) {
        return TRect(0, 0, 0, 0);
    }
    const QRect area = WindowInternals::ClientArea(*m_widget, m_ncInsets);
    return TRect(0, 0, area.width(), area.height());
}

TPoint TWindow::ClientToScreen(TPoint point) const
{
    if (m_widget == nullptr) {
        return point;
    }
    const QPoint origin = WindowInternals::ClientArea(*m_widget, m_ncInsets).topLeft();
    const QPoint p = m_widget->mapToGlobal(QPoint(point.x + origin.x(), point.y + origin.y()));
    return TPoint(p.x(), p.y());
}

TPoint TWindow::ScreenToClient(TPoint point) const
{
    if (m_widget == nullptr) {
        return point;
    }
    const QPoint origin = WindowInternals::ClientArea(*m_widget, m_ncInsets).topLeft();
    const QPoint p = m_widget->mapFromGlobal(QPoint(point.x, point.y));
    return TPoint(p.x() - origin.x(), p.y() - origin.y());
}

TPoint TWindow::MapWindowPoint(const TWindow* to, TPoint point) const
{
    const TPoint screen = ClientToScreen(point);
    return to == nullptr ? screen : to->ScreenToClient(screen);
}

void TWindow::Invalidate(bool erase)
{
    InvalidateRect(GetClientRect(), erase);
}

void TWindow::InvalidateRect(const TRect& rect, bool erase)
{
    if (auto* own = dynamic_cast<TWindowWidget*>(m_widget)) {
        own->InvalidateClient(ToQRect(rect.Normalized()), erase);
    } else if (m_widget != nullptr) {
        m_widget->update();
    }
}

void TWindow::UpdateWindow()
{
    if (auto* own = dynamic_cast<TWindowWidget*>(m_widget)) {
        // Into the window's picture now, also before the window system has shown the window; then on screen.
        own->RunPaint();
        if (own->isVisible()) {
            own->repaint();
        }
    } else if (m_widget != nullptr) {
        m_widget->repaint();
    }
}

void TWindow::Paint(TDC&, bool, TRect&)
{
    WindowInternals::NoteBasePaint(*this);
}

bool TWindow::EnableWindow(bool enable)
{
    if (m_widget == nullptr) {
        const bool wasDisabled = (Attr.Style & WS_DISABLED) != 0;
        Attr.Style = enable ? (Attr.Style & ~WS_DISABLED) : (Attr.Style | WS_DISABLED);
        return wasDisabled;
    }
    const bool wasDisabled = !m_widget->isEnabled();
    if (wasDisabled == !enable) {
        return wasDisabled;
    }
    m_widget->setEnabled(enable);
    Attr.Style = enable ? (Attr.Style & ~WS_DISABLED) : (Attr.Style | WS_DISABLED);
    Deliver(*this, WM_ENABLE, enable ? 1 : 0, 0);
    return wasDisabled;
}

bool TWindow::IsWindowEnabled() const
{
    return m_widget != nullptr ? m_widget->isEnabled() : (Attr.Style & WS_DISABLED) == 0;
}

TWindow* TWindow::SetFocus()
{
    TWindow* previous = GetFocus();
    if (m_widget != nullptr) {
        m_widget->setFocus(Qt::OtherFocusReason);
    }
    return previous;
}

TWindow* TWindow::GetFocus()
{
    return WindowInternals::OwnerOf(QApplication::focusWidget());
}

namespace {

// The deepest widget under a screen point in the topmost top-level window that takes input there. Qt's own
// look-up gives up where a top-level window blind to input lies above (the screen context's overlay, on a
// platform that does not know its stacking), so that case looks again among the windows that take input, the
// newest first as such a platform stacks them.
QWidget* WidgetAt(const QPoint& screen)
{
    if (QWidget* widget = QApplication::widgetAt(screen)) {
        return widget;
    }
    const QWidgetList topLevels = QApplication::topLevelWidgets();
    const QWindowList windows = QGuiApplication::topLevelWindows();
    for (auto it = windows.crbegin(); it != windows.crend(); ++it) {
        const QWindow* window = *it;
        if (!window->isVisible() || window->flags().testFlag(Qt::WindowTransparentForInput) ||
            !window->geometry().contains(screen)) {
            continue;
        }
        for (QWidget* top : topLevels) {
            if (top->windowHandle() == window && !top->testAttribute(Qt::WA_TransparentForMouseEvents)) {
                QWidget* child = top->childAt(top->mapFromGlobal(screen));
                return child != nullptr ? child : top;
            }
        }
    }
    return nullptr;
}

} // namespace

TWindow* TWindow::WindowFromPoint(TPoint screen)
{
    return WindowInternals::OwnerOf(WidgetAt(QPoint(screen.x, screen.y)));
}

bool TWindow::SetForegroundWindow()
{
    if (m_widget == nullptr) {
        return false;
    }
    m_widget->window()->raise();
    m_widget->window()->activateWindow();
    return true;
}

void TWindow::BringWindowToTop()
{
    if (m_widget != nullptr) {
        m_widget->raise();
    }
}

void TWindow::SetCapture()
{
    if (m_widget == nullptr || qm::gui::GetCapture() == m_handle) {
        return;
    }
    TWindow* previous = FromHandle(qm::gui::SetCapture(m_handle));
    if (previous != nullptr) {
        Deliver(*previous, WM_CAPTURECHANGED, 0, static_cast<LPARAM>(m_handle));
    }
    // A visible window takes Qt's grab itself; a hidden one borrows the active window's, and the layer's event
    // filter passes every mouse event on to it.
    QWidget* grabber = m_widget->isVisible() ? m_widget : QApplication::activeWindow();
    if (grabber != nullptr && grabber->isVisible()) {
        grabber->grabMouse();
    }
}

void TWindow::ReleaseCapture()
{
    TWindow* previous = FromHandle(qm::gui::GetCapture());
    if (qm::gui::GetCapture() == 0) {
        return;
    }
    qm::gui::ReleaseCapture();
    if (QWidget* grabber = QWidget::mouseGrabber()) {
        grabber->releaseMouse();
    }
    if (QGuiApplication::overrideCursor() != nullptr) {
        QGuiApplication::restoreOverrideCursor();
    }
    if (previous != nullptr) {
        Deliver(*previous, WM_CAPTURECHANGED, 0, 0);
    }
}

TWindow* TWindow::GetCapture()
{
    return FromHandle(qm::gui::GetCapture());
}

HCURSOR TWindow::SetCursor(HCURSOR cursorId)
{
    const HCURSOR previous = Windows().CursorId;
    Windows().CursorId = cursorId;
    const QCursor cursor = ToQCursor(cursorId);
    if (qm::gui::GetCapture() != 0) {
        // During a drag the cursor holds everywhere until the capture ends.
        if (QGuiApplication::overrideCursor() != nullptr) {
            QGuiApplication::changeOverrideCursor(cursor);
        } else {
            QGuiApplication::setOverrideCursor(cursor);
        }
        return previous;
    }
    if (QWidget* under = QApplication::widgetAt(QCursor::pos())) {
        under->setCursor(cursor);
    }
    return previous;
}

void TWindow::ShowClientCursor(HCURSOR cursor)
{
    Windows().CursorId = cursor;
    if (m_widget != nullptr) {
        m_widget->setCursor(ToQCursor(cursor));
    }
}

HCURSOR TWindow::GetCursor()
{
    return Windows().CursorId;
}

UINT TWindow::SetTimer(UINT id, UINT milliseconds)
{
    if (m_widget == nullptr) {
        return 0;
    }
    m_timers[id] = std::make_unique<TWindowTimer>(*this, id, milliseconds);
    return id == 0 ? 1 : id;
}

bool TWindow::KillTimer(UINT id)
{
    return m_timers.erase(id) != 0;
}

LRESULT TWindow::SendMessage(UINT msg, WPARAM wParam, LPARAM lParam)
{
    return m_widget == nullptr ? 0 : Deliver(*this, msg, wParam, lParam);
}

bool TWindow::PostMessage(UINT msg, WPARAM wParam, LPARAM lParam)
{
    TApplication* app = TApplication::Current();
    if (m_handle == 0 || app == nullptr) {
        return false;
    }
    return app->Post(MSG{m_handle, msg, wParam, lParam, 0, qm::gui::GetCursorPos()});
}

LRESULT TWindow::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProc(msg, wParam, lParam);
}

LRESULT TWindow::DefWindowProc(UINT msg, WPARAM wParam, LPARAM lParam)
{
    NoteDefault(*this, msg);
    switch (msg) {
    case WM_PAINT:
        if (dynamic_cast<TWindowWidget*>(m_widget) != nullptr || WindowInternals::InControlPaint(*this)) {
            TPaintDC dc(*this);
            TRect rect = dc.PaintRect();
            Paint(dc, dc.Erase(), rect);
        }
        return 0;
    case WM_ERASEBKGND:
        if (m_class.HasBackground && wParam != 0) {
            reinterpret_cast<TDC*>(wParam)->FillRect(GetClientRect(), TBrush(m_class.Background));
            return 1;
        }
        return 0;
    case WM_NCHITTEST: {
        const TPoint p = ScreenToClient(TPoint(GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)));
        if (GetClientRect().Contains(p)) {
            return HTCLIENT;
        }
        const TRect window = GetWindowRect();
        return window.Contains(TPoint(GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam))) ? HTBORDER : HTNOWHERE;
    }
    case WM_SETCURSOR:
        // The parent may set the cursor for its child first.
        if (m_parent != nullptr && (Attr.Style & WS_CHILD) != 0 && m_parent->HasWindow() &&
            Deliver(*m_parent, WM_SETCURSOR, wParam, lParam) != 0) {
            return 1;
        }
        if (static_cast<std::int16_t>(LOWORD(static_cast<std::uint64_t>(lParam))) == HTCLIENT && m_widget != nullptr) {
            ShowClientCursor(m_class.Cursor);
            return 1;
        }
        return 0;
    case WM_CLOSE: {
        TApplication* app = TApplication::Current();
        const bool isMain = app != nullptr && app->GetMainWindow() == this;
        if (isMain ? app->CanClose() : CanClose()) {
            Destroy();
        }
        return 0;
    }
    case WM_SETFONT: {
        // wParam: the font (null: the default font); lParam: whether to redraw.
        const auto* font = reinterpret_cast<const TFont*>(wParam);
        if (font != &m_font) {
            m_font = font != nullptr ? *font : DefaultGuiFont();
        }
        m_fontSet = font != nullptr;
        if (m_widget != nullptr) {
            m_widget->setFont(ToQFont(m_font));
            if (lParam != 0) {
                Invalidate(true);
            }
        }
        return 0;
    }
    case WM_GETFONT:
        // Null while the window draws with the default font, as it was never given one.
        return m_fontSet ? reinterpret_cast<LRESULT>(&m_font) : 0;
    case WM_SYSCOMMAND:
        switch (wParam & 0xFFF0) {
        case SC_CLOSE:
            return Deliver(*this, WM_CLOSE, 0, 0);
        case SC_MINIMIZE:
            if (m_widget != nullptr) {
                m_widget->setProperty("qmMinimizing", true);
                m_widget->window()->showMinimized();
                if (m_widget != nullptr) {
                    m_widget->setProperty("qmMinimizing", false);
                }
            }
            return 0;
        case SC_RESTORE:
            if (m_widget != nullptr) {
                m_widget->window()->showNormal();
            }
            return 0;
        case SC_MAXIMIZE:
            if (m_widget != nullptr) {
                m_widget->window()->showMaximized();
            }
            return 0;
        default:
            return 0;
        }
    case WM_DESTROY: {
        TApplication* app = TApplication::Current();
        if (app != nullptr && app->GetMainWindow() == this) {
            app->PostQuitMessage(0);
        }
        return 0;
    }
    default:
        return 0;
    }
}

bool TWindow::PreProcessMsg(MSG&)
{
    return false;
}

bool TWindow::TranslateAccelerators(MSG&)
{
    return false;
}

bool TWindow::HandleDialogKeys(MSG&)
{
    return false;
}

bool TWindow::IdleAction(long idleCount)
{
    bool more = false;
    for (TWindow* child : GetChildren()) {
        more = child->IdleAction(idleCount) || more;
    }
    return more;
}

bool TWindow::CanClose()
{
    for (const auto& child : m_children) {
        if (child->HasWindow() && !child->CanClose()) {
            return false;
        }
    }
    return true;
}

void TWindow::BroadcastSysColorChange()
{
    if (!HasWindow()) {
        return;
    }
    Deliver(*this, WM_SYSCOLORCHANGE, 0, 0);
    for (TWindow* child : GetChildren()) {
        child->BroadcastSysColorChange();
    }
    Invalidate(true);
}

LRESULT SendMessage(HWND window, UINT msg, WPARAM wParam, LPARAM lParam)
{
    TWindow* w = TWindow::FromHandle(window);
    return w == nullptr ? 0 : w->SendMessage(msg, wParam, lParam);
}

} // namespace qm::gui
