// The widget of a painted window and the window contexts over its image.
#include "gui/window/WindowWidget.h"

#include "gui/draw/DcImpl.h"
#include "gui/model/GuiState.h"
#include "gui/window/WindowDc.h"

#include <QAbstractScrollArea>
#include <QCloseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QPointer>
#include <QTimer>

#include <cstdlib>

namespace qm::gui {

namespace {

QRect ToQRect(const TRect& r)
{
    return QRect(r.left, r.top, r.Width(), r.Height());
}

TRect ToTRect(const QRect& r)
{
    return TRect(r.left(), r.top(), r.left() + r.width(), r.top() + r.height());
}

// QMGUI_SHOT=file.png: the first top-level window to finish its first paint is written to that file once.
void MaybeWriteShot(QWidget* widget)
{
    struct Shot {
        bool Written = false;
    };

    bool& written = GuiState().Part<Shot>().Written;
    const char* path = std::getenv("QMGUI_SHOT");
    if (written || path == nullptr || *path == '\0' || !widget->isWindow()) {
        return;
    }
    written = true;
    const QString file = QString::fromLocal8Bit(path);
    // After the children have had their first paint too.
    QTimer::singleShot(0, widget, [widget, file] { widget->grab().save(file, "PNG"); });
}

// The standard control whose window is painting it now (one at a time: a paint inside a paint goes to Qt).
struct TControlPaint {
    QWidget* Widget = nullptr;
    const TWindow* Window = nullptr;
    QImage Image; // the client area drawn by the window in place of the control's look
    QRect Rect;   // the part being painted, in client widget coordinates
    bool BaseReached = false;
    QPointer<TControlOverlay> Overlay;
    QPoint ClientPos; // the client widget's position in the control's widget
};

TControlPaint& ControlPaint()
{
    return GuiState().Part<TControlPaint>();
}

// The widget a standard control's client area is painted on: the control's own, or a scrolling control's viewport.
QWidget* ClientWidget(const TWindow& window)
{
    QWidget* widget = WidgetOf(window);
    if (auto* scrolling = qobject_cast<QAbstractScrollArea*>(widget)) {
        return scrolling->viewport();
    }
    return widget;
}

} // namespace

bool WindowInternals::PaintControl(QWidget* widget, QPaintEvent* event)
{
    TWindow* owner = OwnerOf(widget);
    if (owner == nullptr || !owner->HasWindow() || dynamic_cast<TWindowWidget*>(WidgetOf(*owner)) != nullptr ||
        ClientWidget(*owner) != widget || ControlPaint().Widget != nullptr) {
        return false;
    }
    QColor background = widget->palette().color(QPalette::Window);
    if (TWindow* parent = owner->GetParent(); parent != nullptr && parent->GetClass().HasBackground) {
        const TColor colour = parent->GetClass().Background;
        background = QColor(colour.Red(), colour.Green(), colour.Blue());
    }
    ControlPaint().Widget = widget;
    ControlPaint().Window = owner;
    ControlPaint().Image = QImage(widget->size().expandedTo(QSize(1, 1)), QImage::Format_ARGB32);
    ControlPaint().Image.fill(background);
    ControlPaint().Rect = event->rect() & widget->rect();
    ControlPaint().Overlay = TControlOverlay::Of(WidgetOf(*owner));
    ControlPaint().ClientPos = widget == WidgetOf(*owner) ? QPoint(0, 0) : widget->pos();
    QPointer<QWidget> guard(widget);
    bool wentDefault = false;
    Deliver(*owner, WM_PAINT, 0, 0, &wentDefault);
    TControlPaint done = std::move(ControlPaint());
    ControlPaint() = TControlPaint{};
    if (!done.Overlay.isNull()) {
        done.Overlay->EndDrawing();
    }
    if (guard.isNull()) {
        return true;
    }
    if (wentDefault && done.BaseReached) {
        return false;
    }
    QPainter painter(widget);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.drawImage(event->rect(), done.Image, event->rect());
    return true;
}

bool WindowInternals::InControlPaint(const TWindow& window)
{
    return ControlPaint().Window == &window;
}

void WindowInternals::NoteBasePaint(const TWindow& window)
{
    if (ControlPaint().Window != &window || ControlPaint().BaseReached) {
        return;
    }
    ControlPaint().BaseReached = true;
    if (!ControlPaint().Overlay.isNull()) {
        ControlPaint().Overlay->BeginDrawing(ControlPaint().Rect.translated(ControlPaint().ClientPos));
    }
}

TWindowWidget::TWindowWidget(TWindow* owner, QWidget* parent, Qt::WindowFlags flags)
    : QWidget(parent, flags)
    , m_owner(owner)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_NoSystemBackground);
    setMouseTracking(true);
    setFocusPolicy(Qt::NoFocus);
    setAutoFillBackground(false);
}

TWindowWidget::~TWindowWidget()
{
    if (m_owner != nullptr && WidgetOf(*m_owner) == this) {
        WindowInternals::SetWidget(*m_owner, nullptr);
    }
}

QImage& TWindowWidget::Image()
{
    if (m_image.size() != size()) {
        QImage grown(size().expandedTo(QSize(1, 1)), QImage::Format_ARGB32);
        grown.fill(qRgb(255, 255, 255));
        if (!m_image.isNull()) {
            QPainter p(&grown);
            p.drawImage(0, 0, m_image);
        }
        m_image = grown;
    }
    return m_image;
}

void TWindowWidget::InvalidateClient(const QRect& rect, bool erase)
{
    m_invalid |= rect;
    m_erase = m_erase || erase;
    if (m_owner != nullptr) {
        update(rect.translated(WindowInternals::ClientOrigin(*m_owner)));
    }
}

void TWindowWidget::InvalidateFrame()
{
    m_ncDirty = true;
    update();
}

void TWindowWidget::RunPaint()
{
    if (m_owner == nullptr || m_inPaint) {
        return;
    }
    TWindow& w = *m_owner;
    Image();
    if (m_ncDirty) {
        m_ncDirty = false;
        Deliver(w, WM_NCPAINT, 1, 0);
        if (m_owner == nullptr) {
            return;
        }
    }
    const QRect client = ToQRect(w.GetClientRect());
    const QRect rect = m_invalid & client;
    const bool erase = m_erase;
    m_invalid = QRect();
    m_erase = false;
    if (rect.isEmpty()) {
        return;
    }
    bool stillErase = erase;
    if (erase) {
        TClientDC dc(w);
        dc.IntersectClipRect(ToTRect(rect));
        stillErase = Deliver(w, WM_ERASEBKGND, reinterpret_cast<WPARAM>(static_cast<TDC*>(&dc)), 0) == 0;
        if (m_owner == nullptr) {
            return;
        }
    }
    m_paintRect = rect;
    m_paintErase = stillErase;
    m_inPaint = true;
    Deliver(w, WM_PAINT, 0, 0);
    m_inPaint = false;
    m_paintRect = QRect();
    if (!m_painted) {
        m_painted = true;
        MaybeWriteShot(this);
    }
}

void TWindowWidget::paintEvent(QPaintEvent* event)
{
    RunPaint();
    QPainter painter(this);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    const QRect r = event->rect();
    painter.drawImage(r, Image(), r);
}

void TWindowWidget::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    if (m_owner != nullptr) {
        WindowInternals::GeometryChanged(*m_owner);
    }
}

void TWindowWidget::moveEvent(QMoveEvent* event)
{
    QWidget::moveEvent(event);
    if (m_owner != nullptr) {
        WindowInternals::GeometryChanged(*m_owner);
    }
}

void TWindowWidget::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (m_owner != nullptr) {
        m_ncDirty = true;
        InvalidateClient(ToQRect(m_owner->GetClientRect()), true);
    }
}

void TWindowWidget::closeEvent(QCloseEvent* event)
{
    // The window manager's close box: the window decides through WM_SYSCOMMAND and WM_CLOSE.
    event->ignore();
    if (m_owner != nullptr) {
        Deliver(*m_owner, WM_SYSCOMMAND, SC_CLOSE, 0);
    }
}

bool TWindowWidget::event(QEvent* event)
{
    const bool handled = QWidget::event(event);
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::Wheel:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ContextMenu:
        // Messages go to one window: nothing passes on to the parent widget.
        event->accept();
        return true;
    default:
        return handled;
    }
}

// The overlay of a standard control.

TControlOverlay::TControlOverlay(QWidget& control)
    : QWidget(&control)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
    setFocusPolicy(Qt::NoFocus);
    setGeometry(control.rect());
    control.installEventFilter(this);
    raise();
    show();
}

TControlOverlay* TControlOverlay::Of(QWidget* control)
{
    if (control == nullptr) {
        return nullptr;
    }
    for (QObject* child : control->children()) {
        if (auto* overlay = dynamic_cast<TControlOverlay*>(child)) {
            return overlay;
        }
    }
    return nullptr;
}

bool TControlOverlay::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == parent()) {
        if (event->type() == QEvent::Resize) {
            setGeometry(parentWidget()->rect());
        } else if (event->type() == QEvent::ChildAdded) {
            // A part the control makes later (a combo box's edit) stays below.
            QTimer::singleShot(0, this, [this] { raise(); });
        }
    }
    return false;
}

QImage& TControlOverlay::Image()
{
    if (m_image.size() != size()) {
        m_image = QImage(size().expandedTo(QSize(1, 1)), QImage::Format_ARGB32);
        m_image.fill(Qt::transparent);
    }
    return m_image;
}

void TControlOverlay::BeginDrawing(const QRect& rect)
{
    QPainter clear(&Image());
    clear.setCompositionMode(QPainter::CompositionMode_Source);
    clear.fillRect(rect, Qt::transparent);
    m_paintRect = rect;
    m_inPaint = true;
}

void TControlOverlay::EndDrawing()
{
    m_inPaint = false;
    m_paintRect = QRect();
}

void TControlOverlay::paintEvent(QPaintEvent* event)
{
    // Painted after the control (a child is painted after its parent, and this one lies over the viewport of a
    // scrolling control), so what the window drew in this paint is already here.
    const QRect r = event->rect() & Image().rect();
    QPainter painter(this);
    painter.drawImage(r, m_image, r);
}

// The contexts.

namespace {

std::unique_ptr<TDC::Impl> WindowImpl(TWindow& window, bool wholeWindow)
{
    auto impl = std::make_unique<TDC::Impl>();
    auto* widget = dynamic_cast<TWindowWidget*>(WidgetOf(window));
    if (widget == nullptr) {
        // A standard control paints itself; drawing on it shows only from its WM_PAINT: in place of its look until
        // the default handling, over it afterwards.
        if (ControlPaint().Window == &window && !ControlPaint().BaseReached) {
            const QPoint origin = wholeWindow ? -ControlPaint().ClientPos : QPoint(0, 0);
            AttachDc(*impl, &ControlPaint().Image, origin, ToTRect(ControlPaint().Rect.translated(-origin)));
            return impl;
        }
        // The overlay this paint found for the control: no search of the control's children per context.
        TControlOverlay* overlay = ControlPaint().Window == &window ? ControlPaint().Overlay.data() : nullptr;
        if (overlay == nullptr || !overlay->InPaint()) {
            impl->Own = QImage(1, 1, QImage::Format_ARGB32);
            AttachDc(*impl, &impl->Own, QPoint(0, 0), TRect(0, 0, 0, 0));
            return impl;
        }
        QImage* image = &overlay->Image();
        const QPoint origin = wholeWindow ? QPoint(0, 0) : WindowInternals::ClientOrigin(window);
        const QRect area = wholeWindow ? image->rect() : ToQRect(window.GetClientRect()).translated(origin);
        AttachDc(*impl, image, origin, ToTRect((area & overlay->PaintRect()).translated(-origin)));
        return impl;
    }
    QImage* image = &widget->Image();
    if (wholeWindow) {
        AttachDc(*impl, image, QPoint(0, 0), TRect(0, 0, image->width(), image->height()));
    } else {
        const TRect client = window.GetClientRect();
        AttachDc(*impl, image, WindowInternals::ClientOrigin(window), client);
    }
    QPointer<TWindowWidget> guard(widget);
    impl->Changed = [guard](const QRect& r) {
        if (!guard.isNull() && !guard->InPaint()) {
            guard->update(r);
        }
    };
    return impl;
}

std::unique_ptr<TDC::Impl> PaintImpl(TWindow& window, bool* erase, TRect* rect)
{
    auto impl = WindowImpl(window, false);
    if (ControlPaint().Window == &window) {
        // A standard control painted by its window: in place of its look, or over it after the default handling.
        *rect = impl->Clip;
        *erase = false;
        return impl;
    }
    auto* widget = dynamic_cast<TWindowWidget*>(WidgetOf(window));
    if (widget == nullptr || !widget->InPaint()) {
        impl->Clip = TRect(0, 0, 0, 0);
        *erase = false;
        *rect = TRect();
        return impl;
    }
    *rect = ToTRect(widget->PaintRect());
    *erase = widget->PaintErase();
    impl->Clip = *rect;
    return impl;
}

} // namespace

TPaintDC::TPaintDC(TWindow& window)
    : TDC(PaintImpl(window, &m_erase, &m_rect))
{}

TPaintDC::~TPaintDC() = default;

TClientDC::TClientDC(TWindow& window)
    : TDC(WindowImpl(window, false))
{}

TClientDC::~TClientDC() = default;

TWindowDC::TWindowDC(TWindow& window)
    : TDC(WindowImpl(window, true))
{}

TWindowDC::~TWindowDC() = default;

} // namespace qm::gui
