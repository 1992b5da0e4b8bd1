// Image lists over icons: each image is a colour bitmap with its mask.
#include "gui/draw/ImageList.h"

#include "gui/draw/Dc.h"

#include <algorithm>
#include <array>
#include <limits>
#include <utility>

namespace qm::gui {

namespace {

// The 16 colours a 4-bit image keeps.
constexpr std::array<COLORREF, 16> kSixteenColours = {
        RGB(0, 0, 0),     RGB(128, 0, 0),     RGB(0, 128, 0),     RGB(128, 128, 0),  RGB(0, 0, 128), RGB(128, 0, 128),
        RGB(0, 128, 128), RGB(192, 192, 192), RGB(128, 128, 128), RGB(255, 0, 0),    RGB(0, 255, 0), RGB(255, 255, 0),
        RGB(0, 0, 255),   RGB(255, 0, 255),   RGB(0, 255, 255),   RGB(255, 255, 255)};

TColor NearestOfSixteen(TColor color)
{
    COLORREF best = kSixteenColours[0];
    int bestDistance = std::numeric_limits<int>::max();
    for (COLORREF c : kSixteenColours) {
        const int dr = color.Red() - GetRValue(c);
        const int dg = color.Green() - GetGValue(c);
        const int db = color.Blue() - GetBValue(c);
        const int distance = dr * dr + dg * dg + db * db;
        if (distance < bestDistance) {
            bestDistance = distance;
            best = c;
        }
    }
    return TColor(best);
}

} // namespace

TImageList::TImageList(TSize imageSize, unsigned flags, int initialCount, int growBy)
    : m_size(std::max(0, imageSize.cx), std::max(0, imageSize.cy))
    , m_flags(flags)
    , m_growBy(std::max(1, growBy))
{
    m_images.reserve(static_cast<std::size_t>(std::max(0, initialCount)));
}

int TImageList::AddImage(TIcon image)
{
    if (m_images.size() == m_images.capacity()) {
        m_images.reserve(m_images.size() + static_cast<std::size_t>(m_growBy));
    }
    // Colour depth and mask are the list's, whatever the image came with.
    TBitmap color = image.Color();
    std::vector<bool> transparent(static_cast<std::size_t>(m_size.cx) * static_cast<std::size_t>(m_size.cy));
    const bool fourBit = (m_flags & 0x00FE) == ILC_COLOR4;
    for (int y = 0; y < m_size.cy; ++y) {
        for (int x = 0; x < m_size.cx; ++x) {
            if (fourBit) {
                color.SetPixel(x, y, NearestOfSixteen(color.GetPixel(x, y)));
            }
            transparent[static_cast<std::size_t>(y * m_size.cx + x)] =
                    (m_flags & ILC_MASK) != 0 && image.IsTransparent(x, y);
        }
    }
    m_images.emplace_back(std::move(color), std::move(transparent));
    return static_cast<int>(m_images.size()) - 1;
}

int TImageList::Add(const TBitmap& bitmap, std::optional<TColor> maskColor)
{
    if (bitmap.IsEmpty() || m_size.cx <= 0 || m_size.cy <= 0 || bitmap.Width() < m_size.cx ||
        bitmap.Height() < m_size.cy) {
        return -1;
    }
    const int first = GetImageCount();
    const COLORREF mask = maskColor ? maskColor->Rgb() : 0;
    for (int left = 0; left + m_size.cx <= bitmap.Width(); left += m_size.cx) {
        TBitmap cell(m_size.cx, m_size.cy);
        std::vector<bool> transparent(static_cast<std::size_t>(m_size.cx) * static_cast<std::size_t>(m_size.cy));
        for (int y = 0; y < m_size.cy; ++y) {
            for (int x = 0; x < m_size.cx; ++x) {
                const TColor px = bitmap.GetPixel(left + x, y);
                cell.SetPixel(x, y, px);
                transparent[static_cast<std::size_t>(y * m_size.cx + x)] = maskColor && px.Rgb() == mask;
            }
        }
        AddImage(TIcon(std::move(cell), std::move(transparent)));
    }
    return first;
}

int TImageList::AddIcon(const TIcon& icon)
{
    if (icon.IsEmpty() || m_size.cx <= 0 || m_size.cy <= 0) {
        return -1;
    }
    return AddImage(icon.ScaledTo(m_size));
}

bool TImageList::ReplaceIcon(int index, const TIcon& icon)
{
    if (index < 0 || index >= GetImageCount() || icon.IsEmpty()) {
        return false;
    }
    AddImage(icon.ScaledTo(m_size));
    m_images[static_cast<std::size_t>(index)] = std::move(m_images.back());
    m_images.pop_back();
    return true;
}

bool TImageList::Remove(int index)
{
    if (index < 0 || index >= GetImageCount()) {
        return false;
    }
    m_images.erase(m_images.begin() + index);
    return true;
}

std::optional<TColor> TImageList::SetBkColor(std::optional<TColor> color)
{
    return std::exchange(m_background, color);
}

bool TImageList::Draw(int index, TDC& dc, TPoint point, unsigned style) const
{
    if (index < 0 || index >= GetImageCount()) {
        return false;
    }
    const TIcon& image = m_images[static_cast<std::size_t>(index)];
    const bool fillMasked = m_background && (style & ILD_TRANSPARENT) == 0;
    for (int y = 0; y < m_size.cy; ++y) {
        for (int x = 0; x < m_size.cx; ++x) {
            if (!image.IsTransparent(x, y)) {
                dc.SetPixel(point.x + x, point.y + y, image.Color().GetPixel(x, y));
            } else if (fillMasked) {
                dc.SetPixel(point.x + x, point.y + y, *m_background);
            }
        }
    }
    return true;
}

TIcon TImageList::GetIcon(int index) const
{
    if (index < 0 || index >= GetImageCount()) {
        return {};
    }
    return m_images[static_cast<std::size_t>(index)];
}

} // namespace qm::gui
