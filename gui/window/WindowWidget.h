// Inside of the window layer's Qt side (includes Qt; not for callers): the widget of a painted window, message
// delivery with its dispatch depth, and the look-up from widgets to window objects.
#pragma once

#include "gui/window/Window.h"

#include <QImage>
#include <QRect>
#include <QWidget>

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
/// mouse): after Qt has painted the control, the control's window hears WM_PAINT, and what its handler draws
/// (through a paint, client or window context) shows on top, as drawing over a control after its own painting
/// does in the original window system. Drawing on a control outside WM_PAINT is not kept.
class TControlOverlay final : public QWidget {
public:
    explicit TControlOverlay(QWidget& control);

    /// The overlay of a standard control's widget, null when it has none.
    static TControlOverlay* Of(QWidget* control);

    QImage& Image() { return m_image; }

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
