// Image lists: a row of equally sized images, each with an optional mask, drawn by index; the kit's command
// images (18 x 17, 16 colours, masked) and the console's 16 x 16 lists made from icons.
#pragma once

#include "gui/draw/GdiObjects.h"
#include "gui/draw/Icon.h"
#include "gui/model/Color.h"
#include "gui/model/Geometry.h"

#include <optional>
#include <vector>

namespace qm::gui {

class TDC;

/// Creation flags of an image list.
enum : unsigned {
    ILC_MASK = 0x0001,
    ILC_COLOR = 0x0000,
    ILC_COLOR4 = 0x0004,
    ILC_COLOR8 = 0x0008,
    ILC_COLOR24 = 0x0018,
    ILC_COLOR32 = 0x0020,
};

/// Drawing styles of an image list.
enum : unsigned {
    ILD_NORMAL = 0x0000,
    ILD_TRANSPARENT = 0x0001,
};

/// An image list. Every image is imageSize; with ILC_COLOR4 the images keep only the 16 standard colours
/// (each pixel becomes the nearest of them). Without ILC_MASK images have no transparent pixels.
class TImageList {
public:
    /// initialCount and growBy reserve room as the images arrive; they do not limit the count.
    TImageList(TSize imageSize, unsigned flags, int initialCount = 0, int growBy = 1);

    TSize GetImageSize() const { return m_size; }

    int GetImageCount() const { return static_cast<int>(m_images.size()); }

    unsigned GetFlags() const { return m_flags; }

    /// Adds the bitmap cut into images of the list's width (a strip adds several); with ILC_MASK the pixels of
    /// maskColor become transparent. Returns the index of the first image added, -1 when the bitmap is empty or
    /// lower or narrower than one image.
    int Add(const TBitmap& bitmap, std::optional<TColor> maskColor = std::nullopt);
    /// Adds an icon scaled to the image size, its transparent pixels kept with ILC_MASK; -1 when it is empty.
    int AddIcon(const TIcon& icon);
    /// Replaces image index by the icon; false when index is out of range or the icon empty.
    bool ReplaceIcon(int index, const TIcon& icon);
    bool Remove(int index);

    void RemoveAll() { m_images.clear(); }

    /// The colour drawn under the transparent pixels by ILD_NORMAL; none (the default) leaves them alone.
    /// Returns the previous one.
    std::optional<TColor> SetBkColor(std::optional<TColor> color);

    std::optional<TColor> GetBkColor() const { return m_background; }

    /// Draws image index at point. ILD_TRANSPARENT, or no background colour, leaves the transparent pixels
    /// alone. False when index is out of range.
    bool Draw(int index, TDC& dc, TPoint point, unsigned style = ILD_NORMAL) const;
    /// Image index as an icon (its transparent pixels as the mask); empty when index is out of range.
    TIcon GetIcon(int index) const;

private:
    int AddImage(TIcon image);

    TSize m_size;
    unsigned m_flags;
    int m_growBy;
    std::optional<TColor> m_background;
    std::vector<TIcon> m_images;
};

} // namespace qm::gui
