// Icons and the icon resource table: icon files read once per size and kept.
#include "gui/draw/Icon.h"

#include "gui/draw/DcImpl.h"
#include "gui/model/GuiState.h"

#include <QImageReader>

#include <map>
#include <optional>
#include <utility>

namespace qm::gui {

namespace {

// Icons are small; a larger picture under an icon's name is refused rather than decoded (megapixels).
constexpr int kIconAllocationLimitMiB = 16;

TIcon FromImage(const QImage& image)
{
    const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
    TBitmap color(argb.width(), argb.height());
    std::vector<bool> transparent(static_cast<std::size_t>(argb.width()) * static_cast<std::size_t>(argb.height()));
    QImage& target = color.GetImpl().Image;
    for (int y = 0; y < argb.height(); ++y) {
        for (int x = 0; x < argb.width(); ++x) {
            const QRgb px = argb.pixel(x, y);
            target.setPixel(x, y, qRgb(qRed(px), qGreen(px), qBlue(px)));
            transparent[static_cast<std::size_t>(y * argb.width() + x)] = qAlpha(px) < 128;
        }
    }
    return TIcon(std::move(color), std::move(transparent));
}

// The image of the file closest to size: the smallest at least as large, else the largest.
std::optional<QImage> BestImage(const std::string& path, TSize size)
{
    QImageReader reader(QString::fromStdString(path));
    reader.setAllocationLimit(kIconAllocationLimitMiB);
    std::optional<QImage> best;
    const int count = std::max(1, reader.imageCount());
    for (int i = 0; i < count; ++i) {
        if (i > 0 && !reader.jumpToImage(i)) {
            break;
        }
        QImage image = reader.read();
        if (image.isNull()) {
            continue;
        }
        const bool large = image.width() >= size.cx && image.height() >= size.cy;
        const bool bestLarge = best && best->width() >= size.cx && best->height() >= size.cy;
        const bool better = !best || (large && !bestLarge) || (large && bestLarge && image.width() < best->width()) ||
                            (!large && !bestLarge && image.width() > best->width());
        if (better) {
            best = std::move(image);
        }
    }
    return best;
}

} // namespace

TIcon::TIcon(TBitmap color, std::vector<bool> transparent)
    : m_color(std::move(color))
    , m_transparent(std::move(transparent))
{}

TIcon TIcon::FromFile(const std::string& path, TSize size)
{
    const std::optional<QImage> image = BestImage(path, size);
    if (!image) {
        return {};
    }
    return FromImage(*image).ScaledTo(size);
}

bool TIcon::IsTransparent(int x, int y) const
{
    const int w = m_color.Width();
    if (x < 0 || y < 0 || x >= w || y >= m_color.Height()) {
        return true;
    }
    const auto at = static_cast<std::size_t>(y * w + x);
    return at < m_transparent.size() && m_transparent[at];
}

TIcon TIcon::ScaledTo(TSize size) const
{
    if (IsEmpty() || Size() == size || size.cx <= 0 || size.cy <= 0) {
        return *this;
    }
    // Nearest pixel: icons scale without smoothing, so their edges stay sharp.
    TBitmap color(size.cx, size.cy);
    std::vector<bool> transparent(static_cast<std::size_t>(size.cx) * static_cast<std::size_t>(size.cy));
    for (int y = 0; y < size.cy; ++y) {
        const int sy = y * m_color.Height() / size.cy;
        for (int x = 0; x < size.cx; ++x) {
            const int sx = x * m_color.Width() / size.cx;
            color.SetPixel(x, y, m_color.GetPixel(sx, sy));
            transparent[static_cast<std::size_t>(y * size.cx + x)] = IsTransparent(sx, sy);
        }
    }
    return TIcon(std::move(color), std::move(transparent));
}

void DrawIcon(TDC& dc, TPoint point, const TIcon& icon)
{
    for (int y = 0; y < icon.Size().cy; ++y) {
        for (int x = 0; x < icon.Size().cx; ++x) {
            if (!icon.IsTransparent(x, y)) {
                dc.SetPixel(point.x + x, point.y + y, icon.Color().GetPixel(x, y));
            }
        }
    }
}

namespace {

struct IconEntry {
    std::string Location;
    std::optional<TIcon> Made;                   // an icon registered from memory
    std::map<std::pair<int, int>, TIcon> Loaded; // the file read once per size asked for; empty when unreadable
};

struct IconResources {
    std::map<int, IconEntry> Entries;
};

std::map<int, IconEntry>& IconTable()
{
    return GuiState().Part<IconResources>().Entries;
}

} // namespace

void RegisterIconResource(int id, std::string location)
{
    IconTable()[id] = IconEntry{std::move(location), std::nullopt, {}};
}

void RegisterIconResource(int id, TIcon icon)
{
    IconTable()[id] = IconEntry{std::string(), std::move(icon), {}};
}

bool HasIconResource(int id)
{
    return !LoadIconResource(id).IsEmpty();
}

TIcon LoadIconResource(int id, TSize size)
{
    auto it = IconTable().find(id);
    if (it == IconTable().end()) {
        return {};
    }
    if (it->second.Made) {
        return it->second.Made->ScaledTo(size);
    }
    // Frames ask for their icons again on every change of icon: the file is decoded once per size.
    auto [loaded, added] = it->second.Loaded.try_emplace({size.cx, size.cy});
    if (added) {
        loaded->second = TIcon::FromFile(it->second.Location, size);
    }
    return loaded->second;
}

void ClearIconResources()
{
    IconTable().clear();
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

QIcon ToQIcon(int iconId, int smallIconId)
{
    QIcon out;
    for (const auto& [id, size] : {std::pair{iconId, kIconSize}, std::pair{smallIconId, kSmallIconSize}}) {
        if (const TIcon icon = LoadIconResource(id, size); !icon.IsEmpty()) {
            out.addPixmap(ToPixmap(icon));
        }
    }
    return out;
}

} // namespace qm::gui
