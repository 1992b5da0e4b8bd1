// Icons: a colour image with a mask of transparent pixels, loaded by id from a compiled-in table (Qt's resource
// system or files: ICO, PNG with alpha, or any image whose alpha tells the mask), scaled to the size asked for.
#pragma once

#include "gui/draw/GdiObjects.h"
#include "gui/model/Geometry.h"

#include <string>
#include <vector>

namespace qm::gui {

class TDC;

/// An icon. Copies share nothing. An empty icon draws nothing.
class TIcon {
public:
    TIcon() = default;
    /// color and the mask of transparent pixels (row by row, width x height entries; missing entries are opaque).
    TIcon(TBitmap color, std::vector<bool> transparent);

    /// Reads an icon file (of several sizes, the one closest to size, at least as large when there is one) and
    /// scales it to size without smoothing; pixels with alpha below one half are transparent. Empty when the
    /// file cannot be read.
    static TIcon FromFile(const std::string& path, TSize size);

    bool IsEmpty() const { return m_color.IsEmpty(); }

    TSize Size() const { return m_color.Size(); }

    const TBitmap& Color() const { return m_color; }

    bool IsTransparent(int x, int y) const;
    /// The icon scaled to size without smoothing (itself when it has that size already).
    TIcon ScaledTo(TSize size) const;

private:
    TBitmap m_color;
    std::vector<bool> m_transparent;
};

/// Draws the icon's opaque pixels with its top-left corner at point.
void DrawIcon(TDC& dc, TPoint point, const TIcon& icon);

/// The standard icon sizes: 32 x 32 and the small 16 x 16.
inline constexpr TSize kIconSize{32, 32};
inline constexpr TSize kSmallIconSize{16, 16};

/// Makes id stand for the icon file at location (a Qt resource path or a file); a later registration replaces it.
void RegisterIconResource(int id, std::string location);
/// Makes id stand for an icon made in memory (scaled when loaded at another size).
void RegisterIconResource(int id, TIcon icon);
/// Whether id is registered and its icon can be read.
bool HasIconResource(int id);
/// The icon of id at size; an empty icon when id is unknown or its file cannot be read.
TIcon LoadIconResource(int id, TSize size = kIconSize);
/// Forgets every icon registration: for tests.
void ClearIconResources();

} // namespace qm::gui
