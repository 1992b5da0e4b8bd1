// Cursors over Qt.
#include "gui/window/QtCursor.h"

#include "gui/model/GuiState.h"
#include "gui/model/Messages.h"

#include <QBitmap>
#include <QCoreApplication>
#include <QImage>

#include <unordered_map>

namespace qm::gui {

namespace {

QCursor FromPicture(const TCursorPicture& picture)
{
    // Qt's two-bitmap cursors: a set mask bit shows the pixel, a set bitmap bit paints it black.
    QImage bits(picture.Width(), picture.Height(), QImage::Format_Mono);
    QImage mask(picture.Width(), picture.Height(), QImage::Format_Mono);
    // Index 1 is colour1 (black), the set bit of a bitmap.
    for (QImage* image : {&bits, &mask}) {
        image->setColor(0, qRgb(255, 255, 255));
        image->setColor(1, qRgb(0, 0, 0));
        image->fill(0);
    }
    for (int y = 0; y < picture.Height(); ++y) {
        const std::string& row = picture.Rows[static_cast<std::size_t>(y)];
        for (int x = 0; x < picture.Width(); ++x) {
            const char c = row[static_cast<std::size_t>(x)];
            mask.setPixel(x, y, c == ' ' ? 0 : 1);
            bits.setPixel(x, y, c == 'X' ? 1 : 0);
        }
    }
    return QCursor(QBitmap::fromImage(bits), QBitmap::fromImage(mask), picture.HotSpot.x, picture.HotSpot.y);
}

// Pictures are turned into bitmaps once per registration: a drag sets its cursor at every mouse move.
struct Cache {
    unsigned Generation = 0;
    std::unordered_map<HCURSOR, QCursor> Cursors;

    // Bitmaps must go before the application does.
    Cache()
    {
        qAddPostRoutine([] { GuiState().Part<Cache>().Cursors.clear(); });
    }
};

} // namespace

QCursor ToQCursor(HCURSOR cursor)
{
    switch (cursor) {
    case 0:
        return QCursor(Qt::BlankCursor);
    case IDC_ARROW:
        return QCursor(Qt::ArrowCursor);
    case IDC_IBEAM:
        return QCursor(Qt::IBeamCursor);
    case IDC_WAIT:
        return QCursor(Qt::WaitCursor);
    case IDC_CROSS:
        return QCursor(Qt::CrossCursor);
    case IDC_SIZEWE:
        return QCursor(Qt::SizeHorCursor);
    case IDC_SIZENS:
        return QCursor(Qt::SizeVerCursor);
    case IDC_SIZEALL:
        return QCursor(Qt::SizeAllCursor);
    case IDC_NO:
        return QCursor(Qt::ForbiddenCursor);
    case IDC_HAND:
        return QCursor(Qt::PointingHandCursor);
    default:
        break;
    }

    Cache* const cache = &GuiState().Part<Cache>();
    if (cache->Generation != CursorResourceGeneration()) {
        cache->Cursors.clear();
        cache->Generation = CursorResourceGeneration();
    }
    if (const auto it = cache->Cursors.find(cursor); it != cache->Cursors.end()) {
        return it->second;
    }
    if (const TCursorPicture* picture = FindCursorResource(cursor)) {
        return cache->Cursors.emplace(cursor, FromPicture(*picture)).first->second;
    }
    // A handle of a cursor no longer registered shows nothing rather than a wrong picture.
    return QCursor(Qt::BlankCursor);
}

} // namespace qm::gui
