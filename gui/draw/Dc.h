// Device contexts: drawing with exact pixel rules on images the window layer owns.
//
// Rules every primitive keeps: no antialiasing; lines and rectangles exclude their end point, right and bottom
// edge; a pen of width w covers w pixels across, from w/2 left (or above) of the path; coordinates are pixels
// from the context's origin, clipped to its clip rectangle.
#pragma once

#include "gui/draw/GdiObjects.h"
#include "gui/model/Geometry.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qm::gui {

/// Border kinds of DrawEdge.
enum : unsigned {
    BDR_RAISEDOUTER = 0x0001,
    BDR_SUNKENOUTER = 0x0002,
    BDR_RAISEDINNER = 0x0004,
    BDR_SUNKENINNER = 0x0008,
    EDGE_RAISED = BDR_RAISEDOUTER | BDR_RAISEDINNER,
    EDGE_SUNKEN = BDR_SUNKENOUTER | BDR_SUNKENINNER,
    EDGE_ETCHED = BDR_SUNKENOUTER | BDR_RAISEDINNER,
    EDGE_BUMP = BDR_RAISEDOUTER | BDR_SUNKENINNER,
};

/// Sides and options of DrawEdge.
enum : unsigned {
    BF_LEFT = 0x0001,
    BF_TOP = 0x0002,
    BF_RIGHT = 0x0004,
    BF_BOTTOM = 0x0008,
    BF_TOPLEFT = BF_TOP | BF_LEFT,
    BF_BOTTOMRIGHT = BF_BOTTOM | BF_RIGHT,
    BF_RECT = BF_LEFT | BF_TOP | BF_RIGHT | BF_BOTTOM,
    BF_MIDDLE = 0x0800,
    BF_ADJUST = 0x2000,
    BF_FLAT = 0x4000,
    BF_MONO = 0x8000,
};

/// DrawText formats.
enum : unsigned {
    DT_LEFT = 0x0000,
    DT_TOP = 0x0000,
    DT_CENTER = 0x0001,
    DT_RIGHT = 0x0002,
    DT_VCENTER = 0x0004,
    DT_BOTTOM = 0x0008,
    DT_SINGLELINE = 0x0020,
    DT_EXPANDTABS = 0x0040,
    DT_NOCLIP = 0x0100,
    DT_CALCRECT = 0x0400,
    DT_NOPREFIX = 0x0800,
    DT_HIDEPREFIX = 0x00100000,
};

/// Background modes for text.
enum : int {
    TRANSPARENT = 1,
    OPAQUE = 2
};

/// Raster operations of BitBlt.
enum : std::uint32_t {
    SRCCOPY = 0x00CC0020,
    SRCINVERT = 0x00660046,
    DSTINVERT = 0x00550009
};

/// A drawing surface. The base class draws on whatever image its kind gives it; the kinds (memory, screen, and
/// the window layer's paint, client and window contexts) only choose the image, origin and clip. Not copyable.
/// Objects selected into a context are copied in, so the caller's objects may go away at once.
class TDC {
public:
    TDC(const TDC&) = delete;
    TDC& operator=(const TDC&) = delete;
    virtual ~TDC();

    // Selected objects. Each Select returns nothing; Restore puts back the object in force before the first
    // Select of that kind since the last Restore.
    void SelectObject(const TPen& pen);
    void SelectObject(const TBrush& brush);
    void SelectObject(const TFont& font);
    void RestorePen();
    void RestoreBrush();
    void RestoreFont();

    void SelectStockPen(TColor color) { SelectObject(TPen(color)); }

    TFont GetFont() const;

    TColor SetTextColor(TColor color);
    TColor GetTextColor() const;
    TColor SetBkColor(TColor color);
    TColor GetBkColor() const;
    int SetBkMode(int mode);
    /// The dither phase: brush pattern pixel (0, 0) lies at this point of the context.
    TPoint SetBrushOrg(TPoint origin);

    /// Keeps the drawing state (selected objects, colours, background mode, clip, brush origin, current position)
    /// on the context's stack; returns its level, 1 for the first kept.
    int SaveDC();
    /// Puts back the state kept at level (a negative level counts back from the last kept: -1 is the last) and
    /// forgets it and every state kept after it. False, changing nothing, when no state was kept at that level.
    bool RestoreDC(int level = -1);

    /// Narrows every later drawing to rect (in this context's coordinates), intersected with the current clip.
    void IntersectClipRect(const TRect& rect);
    TRect GetClipBox() const;

    // Primitives.
    void FillRect(const TRect& rect, const TBrush& brush);

    void FillSolidRect(const TRect& rect, TColor color) { FillRect(rect, TBrush(color)); }

    /// A one-pixel frame just inside rect, in the brush.
    void FrameRect(const TRect& rect, const TBrush& brush);
    /// Outline with the pen (inside the right and bottom edge), inside filled with the brush.
    void Rectangle(const TRect& rect);
    void MoveTo(TPoint point);

    void MoveTo(int x, int y) { MoveTo(TPoint(x, y)); }

    /// A line from the current position to point, point itself not drawn; point becomes the current position.
    void LineTo(TPoint point);

    void LineTo(int x, int y) { LineTo(TPoint(x, y)); }

    TPoint GetCurrentPosition() const;
    void SetPixel(TPoint point, TColor color);

    void SetPixel(int x, int y, TColor color) { SetPixel(TPoint(x, y), color); }

    TColor GetPixel(TPoint point) const;

    TColor GetPixel(int x, int y) const { return GetPixel(TPoint(x, y)); }

    /// An ellipse inside rect, outlined with the pen and filled with the brush.
    void Ellipse(const TRect& rect);
    /// A closed polygon filled (even-odd, by pixel centres) with the brush and outlined with the pen.
    void Polygon(const std::vector<TPoint>& points);
    /// Copies (or combines, by rop) the source's pixels at srcOrigin into dest.
    void BitBlt(const TRect& dest, const TDC& source, TPoint srcOrigin, std::uint32_t rop = SRCCOPY);
    /// Draws the bitmap at point, pixels of the transparent colour left out when one is given.
    void DrawBitmap(TPoint point, const TBitmap& bitmap, std::optional<TColor> transparent = std::nullopt);
    /// A bitmap drawn disabled: its dark pixels (not the transparent colour, darker than light grey) once in the
    /// highlight colour one pixel right and down, then in the shadow colour in place.
    void DrawEmbossed(TPoint point, const TBitmap& bitmap, std::optional<TColor> transparent = std::nullopt);
    /// The 3-D edge of kind edge (BDR_/EDGE_) on the sides of flags (BF_). With BF_ADJUST rect shrinks by the
    /// width drawn; BF_MIDDLE fills the inside with the face colour.
    void DrawEdge(TRect& rect, unsigned edge, unsigned flags);
    /// A one-pixel frame: top and left in topLeft, bottom and right in bottomRight (which take the two corners
    /// they meet the other colour at).
    void Draw3dRect(const TRect& rect, TColor topLeft, TColor bottomRight);
    /// The dotted focus frame, drawn by inverting every other pixel: drawing it twice restores the pixels.
    void DrawFocusRect(const TRect& rect);

    // Text.
    /// Draws text in rect by format (DT_). Returns the text height; with DT_CALCRECT draws nothing and sets
    /// rect's right and bottom to the text's extent.
    int DrawText(std::string_view text, TRect& rect, unsigned format);
    void TextOut(TPoint point, std::string_view text);
    /// Width and height of text on one line, tabs not expanded, '&' kept.
    TSize GetTextExtent(std::string_view text) const;
    /// Width and height of text with tabs at the stops given (pixels from the start; none: every 8 average
    /// character widths).
    TSize GetTabbedTextExtent(std::string_view text, const std::vector<int>& tabStops = {}) const;
    /// The average character width and the height of the selected font.
    TSize GetAverageCharSize() const;

    struct Impl;

    Impl& GetImpl() const { return *m_impl; }

protected:
    explicit TDC(std::unique_ptr<Impl> impl);

private:
    std::unique_ptr<Impl> m_impl;
};

/// A context over a bitmap of its own (32-bit, white at first, until SelectBitmap replaces it).
class TMemoryDC : public TDC {
public:
    TMemoryDC();
    /// A memory context compatible with other (same pixel format; accepted for familiarity).
    explicit TMemoryDC(const TDC& other);
    ~TMemoryDC() override;
    /// Makes bitmap the drawing surface (a copy); the previous one is returned.
    TBitmap SelectBitmap(const TBitmap& bitmap);
    /// The surface as it is now.
    TBitmap GetBitmap() const;
};

/// A context on the screen overlay: one transparent, input-transparent, top-most window over the whole screen,
/// backed by an image. Drawing shows above every window; pixels not drawn stay transparent. Coordinates are
/// screen coordinates. The overlay is shown only while a screen context lives and has drawn: a drag holds one
/// from its start to its end. Where the display does not composite, the overlay starts from the screen's picture
/// taken when the first live context opened, so its pixels read as the screen's. The last one gone hides the
/// overlay and clears it.
class TScreenDC : public TDC {
public:
    TScreenDC();
    ~TScreenDC() override;
};

/// The overlay's pixels, for tests: the colour at a screen point, or nothing while that pixel is transparent.
std::optional<TColor> ScreenOverlayPixel(TPoint point);
/// Clears the overlay (every pixel transparent, or the screen's picture while a session has one).
void ClearScreenOverlay();
/// Whether the overlay's window is shown now.
bool ScreenOverlayShown();

} // namespace qm::gui
