// Shared pieces of the frame and docking tests: a decorated frame on the offscreen screen, event pumping with a
// deadline, and pictures written under the build directory.
#pragma once

#include "gui/dock/Harbor.h"
#include "gui/draw/Dc.h"
#include "gui/frame/StatusBar.h"
#include "gui/window/WindowWidget.h"
#include "gui/window/tests/WindowTestSupport.h"
#include "testsupport/WaitUntil.h"

#include <QDir>

#include <functional>
#include <string>

namespace qm::gui::test {

inline bool Pump(const std::function<bool()>& done)
{
    return qm::test::WaitUntil([&] {
        QApplication::processEvents();
        return done();
    });
}

/// A glyph: a square of one colour on the mask grey.
inline TBitmap Glyph(TColor color, int size = 16)
{
    TBitmap bitmap(size, size, TColor(RGB(192, 192, 192)));
    for (int y = 3; y < size - 3; ++y) {
        for (int x = 3; x < size - 3; ++x) {
            bitmap.SetPixel(x, y, color);
        }
    }
    return bitmap;
}

/// Writes the window's picture as name.png under the build directory's picture folder.
inline bool WriteShot(TWindow& window, const std::string& name)
{
    QDir().mkpath(QStringLiteral(QM_GUI_SHOT_DIR));
    const QString file = QStringLiteral(QM_GUI_SHOT_DIR) + "/" + QString::fromStdString(name) + ".png";
    return WidgetOf(window)->grab().save(file, "PNG");
}

/// The colour of a pixel of a painted window's image, in window coordinates.
inline COLORREF WindowPixel(TWindow& window, TPoint point)
{
    auto* widget = dynamic_cast<TWindowWidget*>(WidgetOf(window));
    const QRgb rgb = widget->Image().pixel(point.x, point.y);
    return RGB(qRed(rgb), qGreen(rgb), qBlue(rgb));
}

/// The widget point of a client point of window.
inline QPoint WidgetPoint(TWindow& window, TPoint client)
{
    const TRect insets = window.GetNonClientInsets();
    return QPoint(client.x + insets.left, client.y + insets.top);
}

} // namespace qm::gui::test
