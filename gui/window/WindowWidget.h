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

/// What the event filter and the contexts need of a window object.
struct WindowInternals {
    /// The window object a widget (or a widget inside a control) belongs to, or null.
    static TWindow* OwnerOf(QObject* object);
    /// The widget's position of the window's client origin, in widget coordinates.
    static QPoint ClientOrigin(const TWindow& window);
    /// After a move or resize: NCCALCSIZE, SIZE, MOVE and the parent's PARENTNOTIFY, when something changed.
    static void GeometryChanged(TWindow& window);

    static void SetWidget(TWindow& window, QWidget* widget) { window.m_widget = widget; }

    /// A standard control's paint event: the control's window hears WM_PAINT first, its paint context drawing on
    /// an image of the client area that starts as the parent's background (what shows through a control that
    /// erases nothing). When the window handled WM_PAINT itself the image is shown and Qt's painting left out;
    /// when it left the message to the default handling, the control paints as usual. False: let Qt paint.
    static bool PaintControl(QWidget* widget, QPaintEvent* event);
    /// Whether window is a standard control whose window paints it now (its Paint runs from the default WM_PAINT).
    static bool InControlPaint(const TWindow& window);
    /// The base Paint ran for such a control: its Paint is not overridden, so the control paints as usual.
    static void NoteBasePaint(const TWindow& window);
};

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
