#include "gui/ctrl/QtConvert.h"

#include "gui/draw/DcImpl.h"

#include <QImage>

namespace qm::gui {

QString ToQString(std::string_view text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QPixmap ToPixmap(const TIcon& icon)
{
    QImage image(icon.Size().cx, icon.Size().cy, QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            image.setPixel(x, y, icon.IsTransparent(x, y) ? qRgba(0, 0, 0, 0) : ToRgb(icon.Color().GetPixel(x, y)));
        }
    }
    return QPixmap::fromImage(image);
}

} // namespace qm::gui
