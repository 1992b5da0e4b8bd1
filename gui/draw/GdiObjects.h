// Drawing objects a device context selects: pens, brushes, fonts and bitmaps.
#pragma once

#include "gui/model/Color.h"
#include "gui/model/Geometry.h"
#include "gui/model/Metrics.h"

#include <cstdint>
#include <memory>
#include <string>

namespace qm::gui {

/// Pen styles a device context draws with.
enum PenStyle : int {
    PS_SOLID = 0,
    PS_DASH = 1,
    PS_DOT = 2,
    PS_NULL = 5,
    PS_INSIDEFRAME = 6
};

/// A pen: colour, width in pixels (0 and 1 both draw one pixel), style.
class TPen {
public:
    explicit TPen(TColor color, int width = 1, int style = PS_SOLID)
        : m_color(color)
        , m_width(width)
        , m_style(style)
    {}

    TColor GetColor() const { return m_color; }

    int GetWidth() const { return m_width < 1 ? 1 : m_width; }

    int GetStyle() const { return m_style; }

private:
    TColor m_color;
    int m_width;
    int m_style;
};

/// A brush: solid, hollow (paints nothing) or the 8x8 dither of two colours (rows alternate the bit patterns
/// 0xAA and 0x55; a set bit takes the first colour). The dither is anchored at the brush origin of the device
/// context, so neighbouring fills of one window line up.
class TBrush {
public:
    enum class Kind {
        Solid,
        Hollow,
        Dither
    };

    explicit TBrush(TColor color)
        : m_kind(Kind::Solid)
        , m_color(color)
        , m_second(color)
    {}

    static TBrush Hollow() { return TBrush(Kind::Hollow, TColor(0), TColor(0)); }

    static TBrush Dither(TColor setBits, TColor clearBits) { return TBrush(Kind::Dither, setBits, clearBits); }

    Kind GetKind() const { return m_kind; }

    TColor GetColor() const { return m_color; }

    /// The colour of a pixel at (x, y) measured from the brush origin.
    TColor ColorAt(int x, int y) const;

private:
    TBrush(Kind kind, TColor first, TColor second)
        : m_kind(kind)
        , m_color(first)
        , m_second(second)
    {}

    Kind m_kind;
    TColor m_color;
    TColor m_second;
};

/// Font weights as the drawing calls take them.
inline constexpr int FW_NORMAL = 400;
inline constexpr int FW_BOLD = 700;

/// A font described as the window layer's callers describe fonts. Height < 0 is the character height in pixels,
/// height > 0 the cell height (ascent plus descent), 0 the default of 13 pixels. Width 0 keeps the face's own
/// proportions. Every face is drawn with the bundled DejaVu fonts: "MS Sans Serif", "Arial", "Helvetica" and
/// unknown faces with DejaVu Sans, faces with "Courier" or "Mono" with DejaVu Sans Mono, "Times" and "Serif" with
/// DejaVu Serif, so that text looks the same on every machine.
struct TFont {
    std::string Face = "MS Sans Serif";
    int Height = 0;
    int Width = 0;
    int Weight = FW_NORMAL;
    bool Italic = false;
    bool Underline = false;

    TFont() = default;

    TFont(std::string face, int height, int width = 0, int weight = FW_NORMAL, bool italic = false,
          bool underline = false)
        : Face(std::move(face))
        , Height(height)
        , Width(width)
        , Weight(weight)
        , Italic(italic)
        , Underline(underline)
    {}

    /// The description the system metrics give (the menu font).
    explicit TFont(const TLogFont& font)
        : Face(font.FaceName)
        , Height(font.Height)
        , Width(font.Width)
        , Weight(font.Weight)
        , Italic(font.Italic)
        , Underline(font.Underline)
    {}

    bool operator==(const TFont&) const = default;
};

/// The font menus and bars use unless told otherwise (the menu font of the system metrics).
TFont DefaultGuiFont();

/// Stock font ids as GetStockObject takes them.
inline constexpr int ANSI_VAR_FONT = 12;
inline constexpr int DEFAULT_GUI_FONT = 17;

/// The stock font with that id: ANSI_VAR_FONT is the variable-pitch font with a 12-pixel cell, DEFAULT_GUI_FONT
/// (and an unknown id) the default GUI font.
TFont GetStockFont(int id);

/// A 32-bit bitmap (pixels in TColor's byte order when read back). Copies share nothing.
class TBitmap {
public:
    TBitmap();
    TBitmap(int width, int height, TColor fill = TColor(0xFFFFFF));
    TBitmap(const TBitmap& other);
    TBitmap& operator=(const TBitmap& other);
    TBitmap(TBitmap&&) noexcept;
    TBitmap& operator=(TBitmap&&) noexcept;
    ~TBitmap();

    /// Reads a BMP or PNG file; an empty bitmap when it cannot be read.
    static TBitmap FromFile(const std::string& path);

    bool IsEmpty() const;
    int Width() const;
    int Height() const;

    TSize Size() const { return TSize(Width(), Height()); }

    TColor GetPixel(int x, int y) const;
    void SetPixel(int x, int y, TColor color);
    /// The bitmap scaled (without smoothing) to fit inside maxSize keeping its aspect; itself when it fits.
    TBitmap ShrunkToFit(TSize maxSize) const;
    /// Writes a PNG file; false when it cannot be written.
    bool SavePng(const std::string& path) const;

    struct Impl;

    Impl& GetImpl() const { return *m_impl; }

private:
    std::unique_ptr<Impl> m_impl;
};

} // namespace qm::gui
