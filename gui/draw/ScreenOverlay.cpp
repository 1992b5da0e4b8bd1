// The screen context's surface: one transparent, input-transparent, top-most window over the primary screen,
// showing an image of its own. Compositors and the offscreen platform give no access to screen pixels, so what
// is drawn "on the screen" (drag markers) is drawn here and saved and restored from here.
#include "gui/draw/Dc.h"
#include "gui/draw/DcImpl.h"
#include "gui/model/GuiState.h"

#include <QApplication>
#include <QGuiApplication>
#include <QPainter>
#include <QPointer>
#include <QScreen>
#include <QWidget>

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

} // namespace

QImage& ScreenOverlayImage()
{
    return TheOverlay().Image;
}

void ScreenOverlayChanged(const QRect& rect)
{
    Overlay& o = TheOverlay();
    // Without a widget application there is nothing to show the overlay in; the image still holds the pixels.
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
        return;
    }
    if (o.Widget.isNull()) {
        o.Widget = new OverlayWidget(&o.Image);
        o.Widget->setGeometry(o.Screen);
    }
    if (!o.Widget->isVisible()) {
        o.Widget->show();
    }
    o.Widget->update(rect.translated(-o.Screen.topLeft()));
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
    : TDC(ScreenImpl())
{}

TScreenDC::~TScreenDC() = default;

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
    o.Image.fill(Qt::transparent);
    if (!o.Widget.isNull()) {
        o.Widget->update();
    }
}

} // namespace qm::gui
