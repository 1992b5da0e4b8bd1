// The screen context's surface: one transparent, input-transparent, top-most window over the primary screen,
// showing an image of its own. Compositors and the offscreen platform give no access to screen pixels, so what
// is drawn "on the screen" (drag markers) is drawn here and saved and restored from here.
//
// The window is mapped only while a screen context lives (a drag holds one from its start to its end) and has
// drawn something. Without a compositor an X display shows a "transparent" window's pixels as they are (black),
// so there the image starts as the screen's picture taken when the first context opens: the overlay then looks
// like the screen under it, and what a drag saves and restores is the screen's pixels.
#include "gui/draw/Dc.h"
#include "gui/draw/DcImpl.h"
#include "gui/model/GuiState.h"

#include <QApplication>
#include <QGuiApplication>
#include <QPainter>
#include <QPixmap>
#include <QPointer>
#include <QScreen>
#include <QWidget>

#ifdef QM_GUI_XCB
#include <xcb/xcb.h>
#endif

#include <cstdlib>
#include <cstring>
#include <functional>
#include <utility>

namespace qm::gui {

namespace {

class OverlayWidget final : public QWidget {
public:
    explicit OverlayWidget(QImage* image)
        : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                                   Qt::WindowTransparentForInput | Qt::WindowDoesNotAcceptFocus)
        , m_image(image)
    {
        setAttribute(Qt::WA_TranslucentBackground);
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setAttribute(Qt::WA_ShowWithoutActivating);
        setObjectName(QStringLiteral("qmScreenOverlay"));
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.drawImage(0, 0, *m_image);
    }

private:
    QImage* m_image;
};

struct Overlay {
    QImage Image;
    QPointer<OverlayWidget> Widget;
    QRect Screen;
    int Contexts = 0;  // screen contexts alive now
    QImage Backdrop;   // the screen's picture under this session's drawing; null where the display composites
    std::function<QImage()> TestBackdrop;

    // A reset of the layer's state takes the window with it.
    ~Overlay() { delete Widget.data(); }
};

Overlay& TheOverlay()
{
    Overlay& overlay = GuiState().Part<Overlay>();
    if (overlay.Image.isNull()) {
        QRect screen(0, 0, 1024, 768);
        if (const QScreen* s = QGuiApplication::primaryScreen()) {
            screen = s->geometry();
        }
        overlay.Screen = screen;
        overlay.Image = QImage(screen.size(), QImage::Format_ARGB32);
        overlay.Image.fill(Qt::transparent);
    }
    return overlay;
}

// Whether the display blends a translucent window with what is under it. Only an X display without a
// compositing manager does not (the manager owns the selection _NET_WM_CM_S<screen>); the offscreen platform
// keeps the overlay to itself and Wayland always composites.
bool DisplayComposites()
{
    if (QGuiApplication::platformName() != QLatin1String("xcb")) {
        return true;
    }
#ifdef QM_GUI_XCB
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t* connection = x11 != nullptr ? x11->connection() : nullptr;
    if (connection == nullptr) {
        return true;
    }
    // The overlay covers the primary screen, which is the display's first X screen on all but multi-screen
    // (one X screen per monitor) setups.
    const char* name = "_NET_WM_CM_S0";
    xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
            connection, xcb_intern_atom(connection, 1, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr);
    if (atom == nullptr) {
        return true;
    }
    const xcb_atom_t selection = atom->atom;
    std::free(atom);
    if (selection == XCB_ATOM_NONE) {
        return false; // nobody ever named it: no manager has run
    }
    xcb_get_selection_owner_reply_t* owner =
            xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, selection), nullptr);
    const bool owned = owner != nullptr && owner->owner != XCB_NONE;
    std::free(owner);
    return owned;
#else
    return true;
#endif
}

// The screen's picture for a session on a display that does not composite; null where it composites or the
// picture cannot be taken.
QImage TakeBackdrop(const Overlay& o)
{
    if (o.TestBackdrop) {
        return o.TestBackdrop();
    }
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr || DisplayComposites()) {
        return {};
    }
    QScreen* screen = QGuiApplication::primaryScreen();
    if (screen == nullptr) {
        return {};
    }
    const QPixmap picture = screen->grabWindow(0);
    return picture.isNull() ? QImage() : picture.toImage();
}

// Fills the image as a session starts or the overlay is cleared: the backdrop where there is one, else
// transparent.
void ResetImage(Overlay& o)
{
    o.Image.fill(Qt::transparent);
    if (!o.Backdrop.isNull()) {
        QPainter painter(&o.Image);
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.drawImage(0, 0, o.Backdrop);
    }
}

void BeginSession()
{
    Overlay& o = TheOverlay();
    if (o.Contexts++ > 0) {
        return;
    }
    // The overlay is hidden between sessions, so the picture shows the windows alone.
    o.Backdrop = TakeBackdrop(o);
    ResetImage(o);
}

void EndSession()
{
    Overlay& o = TheOverlay();
    if (o.Contexts == 0 || --o.Contexts > 0) {
        return;
    }
    if (!o.Widget.isNull()) {
        o.Widget->hide(); // the windows under it are exposed and paint themselves again
    }
    o.Backdrop = QImage();
    o.Image.fill(Qt::transparent);
}

} // namespace

QImage& ScreenOverlayImage()
{
    return TheOverlay().Image;
}

void ScreenOverlayChanged(const QRect& rect)
{
    Overlay& o = TheOverlay();
    // Without a widget application there is nothing to show the overlay in; the image still holds the pixels.
    // Nor is it shown outside a session: only a live screen context draws on it.
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr || o.Contexts == 0) {
        return;
    }
    if (o.Widget.isNull()) {
        o.Widget = new OverlayWidget(&o.Image);
        o.Widget->setGeometry(o.Screen);
    }
    if (!o.Widget->isVisible()) {
        o.Widget->show();
        o.Widget->raise(); // a window mapped again keeps its old place in the stack
        o.Widget->update();
        return;
    }
    o.Widget->update(rect.translated(-o.Screen.topLeft()));
}

bool ScreenOverlayShown()
{
    const Overlay& o = TheOverlay();
    return !o.Widget.isNull() && o.Widget->isVisible();
}

void SetScreenOverlayBackdropForTest(std::function<QImage()> take)
{
    TheOverlay().TestBackdrop = std::move(take);
}

namespace {

std::unique_ptr<TDC::Impl> ScreenImpl()
{
    auto impl = std::make_unique<TDC::Impl>();
    Overlay& o = TheOverlay();
    // Screen coordinates: the image's (0, 0) is the screen's top-left.
    AttachDc(*impl, &o.Image, -o.Screen.topLeft(),
             TRect(o.Screen.left(), o.Screen.top(), o.Screen.right() + 1, o.Screen.bottom() + 1));
    impl->Changed = [](const QRect& r) {
        ScreenOverlayChanged(r);
    };
    return impl;
}

} // namespace

TScreenDC::TScreenDC()
    : TDC((BeginSession(), ScreenImpl()))
{}

TScreenDC::~TScreenDC()
{
    EndSession();
}

std::optional<TColor> ScreenOverlayPixel(TPoint point)
{
    Overlay& o = TheOverlay();
    const QPoint p = QPoint(point.x, point.y) - o.Screen.topLeft();
    if (!o.Image.rect().contains(p)) {
        return std::nullopt;
    }
    const QRgb v = o.Image.pixel(p);
    if (qAlpha(v) == 0) {
        return std::nullopt;
    }
    return FromRgb(v);
}

void ClearScreenOverlay()
{
    Overlay& o = TheOverlay();
    ResetImage(o);
    if (!o.Widget.isNull()) {
        o.Widget->update();
    }
}

} // namespace qm::gui
