// Inside of the window layer's Qt side (includes Qt; not for callers): the widget of a painted window, message
// delivery with its dispatch depth, and the look-up from widgets to window objects.
#pragma once

#include "gui/window/Window.h"

#include <QImage>
#include <QRect>
#include <QWidget>

class QPaintEvent;

namespace qm::gui {

/// The widget of a window the layer paints itself: the whole window (non-client insets included) is drawn into
/// an image through NCPAINT, ERASEBKGND and PAINT, then shown.
class TWindowWidget final : public QWidget {
public:
    TWindowWidget(TWindow* owner, QWidget* parent, Qt::WindowFlags flags);
    ~TWindowWidget() override;

    TWindow* Owner() const { return m_owner; }

    void Detach() { m_owner = nullptr; }

    QImage& Image();
    /// Marks a client rectangle (in client coordinates) invalid.
    void InvalidateClient(const QRect& rect, bool erase);
    void InvalidateFrame();
    /// Runs the non-client, erase and paint messages for what is invalid, now.
    void RunPaint();

    bool InPaint() const { return m_inPaint; }

    QRect PaintRect() const { return m_paintRect; }

    bool PaintErase() const { return m_paintErase; }

    bool Painted() const { return m_painted; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool event(QEvent* event) override;

private:
    TWindow* m_owner;
    QImage m_image;
    QRect m_invalid; // client coordinates
    bool m_erase = false;
    bool m_ncDirty = true;
    bool m_inPaint = false;
    bool m_painted = false;
    QRect m_paintRect;
    bool m_paintErase = false;
};

/// The layer above a standard control's widget (a transparent child over the whole control, blind to the
/// mouse). What the control's window draws from its WM_PAINT after the control's own painting (the default
/// handling) is kept here and shows on top, also when only a part of the control repaints: what a window draws
/// over its control stays over it. Drawing on a control outside WM_PAINT is not kept.
class TControlOverlay final : public QWidget {
public:
    explicit TControlOverlay(QWidget& control);

    /// The overlay of a standard control's widget, null when it has none.
    static TControlOverlay* Of(QWidget* control);

    /// The kept drawing, as large as the control.
    QImage& Image();

    /// Drawing goes here from now until EndDrawing, within rect (widget coordinates), which is cleared first.
    void BeginDrawing(const QRect& rect);
    void EndDrawing();

    bool InPaint() const { return m_inPaint; }

    /// The part being painted, in widget coordinates.
    QRect PaintRect() const { return m_paintRect; }

protected:
    void paintEvent(QPaintEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QImage m_image;
    bool m_inPaint = false;
    QRect m_paintRect;
};

/// What the event filter and the contexts need of a window object.
struct WindowInternals {
    /// The window's widget (null before Create and after Destroy).
    static QWidget* Widget(const TWindow& window) { return window.GetWidget(); }

    /// The window object a widget (or a widget inside a control) belongs to, or null.
    static TWindow* OwnerOf(QObject* object);
    /// The client area in the widget's own coordinates: inside the non-client insets, or for a native control that
    /// scrolls (list box, tree, list view, multi-line edit) its viewport, which leaves out the border and scroll
    /// bars as a control's client area does.
    static QRect ClientArea(QWidget& widget, const TRect& insets);
    /// The widget's position of the window's client origin, in widget coordinates.
    static QPoint ClientOrigin(const TWindow& window);
    /// After a move or resize: NCCALCSIZE, SIZE, MOVE and the parent's PARENTNOTIFY, when something changed.
    static void GeometryChanged(TWindow& window);

    static void SetWidget(TWindow& window, QWidget* widget) { window.m_widget = widget; }

    /// A standard control's client widget is about to paint: its window hears WM_PAINT. Until the default
    /// handling runs, what the window draws goes into an image of the client area that starts as the parent's
    /// background; when the window handled WM_PAINT itself (or overrides Paint) that image is shown and Qt's
    /// painting left out. When the default handling ran, the control paints as usual and what the window draws
    /// after it goes to the control's overlay, on top. False: let Qt paint.
    static bool PaintControl(QWidget* widget, QPaintEvent* event);
    /// Whether window is a standard control whose window paints it now (its Paint runs from the default WM_PAINT).
    static bool InControlPaint(const TWindow& window);
    /// The base Paint ran for such a control: the control paints its own look, and drawing goes over it from now.
    static void NoteBasePaint(const TWindow& window);
};

/// The window's widget (null before Create and after Destroy): for the layer's Qt side and its tests only.
inline QWidget* WidgetOf(const TWindow& window)
{
    return WindowInternals::Widget(window);
}

/// Delivers a message to a window's WindowProc, counting the dispatch depth so that windows destroyed inside a
/// handler are deleted after the outermost dispatch. wentDefault, when given, tells whether the message
/// reached DefWindowProc (for input to a standard control: let Qt handle the event).
LRESULT Deliver(TWindow& window, UINT msg, WPARAM wParam, LPARAM lParam, bool* wentDefault = nullptr);
/// Marks the innermost delivery as gone to the default handling.
void NoteDefault(const TWindow& window, UINT msg);
/// Deletes the widget now, or after the outermost dispatch when one runs.
void DisposeWidget(QWidget* widget);
/// Notes that the loop did work (for idle processing once per wake-up).
void NoteActivity();

/// Marks a widget as the window of owner.
void TagWidget(QWidget* widget, TWindow* owner);

/// The cursor set by SetCursor (or the class cursor).
int CurrentCursorId();

} // namespace qm::gui
