// The device contexts' primitives, written pixel by pixel so that they keep the layer's pixel rules
// (end-exclusive lines and rectangles, no antialiasing) rather than QPainter's.
#include "gui/draw/Dc.h"

#include "gui/draw/DcImpl.h"
#include "gui/model/Color.h"

#include <QPainter>

#include <algorithm>
#include <cstdlib>

namespace qm::gui {

namespace {

// The span a pen of width w covers across its path: [path + Lo, path + Hi].
struct PenSpan {
    int Lo;
    int Hi;
};

PenSpan SpanOf(int width)
{
    return PenSpan{-(width / 2), width - 1 - width / 2};
}

TRect Normalised(const TRect& r)
{
    return TRect(std::min(r.left, r.right), std::min(r.top, r.bottom), std::max(r.left, r.right),
                 std::max(r.top, r.bottom));
}

TRect Intersect(const TRect& a, const TRect& b)
{
    TRect r(std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right), std::min(a.bottom, b.bottom));
    if (r.right < r.left) {
        r.right = r.left;
    }
    if (r.bottom < r.top) {
        r.bottom = r.top;
    }
    return r;
}

int Luminance(QRgb p)
{
    return (qRed(p) + qGreen(p) + qBlue(p)) / 3;
}

} // namespace

TColor TBrush::ColorAt(int x, int y) const
{
    if (m_kind != Kind::Dither) {
        return m_color;
    }
    // Rows alternate 0xAA (set bits at even columns) and 0x55 (set bits at odd columns).
    const int col = ((x % 8) + 8) % 8;
    const int row = ((y % 8) + 8) % 8;
    const unsigned pattern = (row % 2 == 0) ? 0xAAu : 0x55u;
    const bool set = ((pattern >> (7 - col)) & 1u) != 0;
    return set ? m_color : m_second;
}

QRect TDC::Impl::TargetClip() const
{
    const TRect c = Normalised(Clip);
    QRect r(c.left + Origin.x(), c.top + Origin.y(), c.right - c.left, c.bottom - c.top);
    if (Target == nullptr) {
        return QRect();
    }
    return r.intersected(Target->rect());
}

void TDC::Impl::Touch(const QRect& targetRect) const
{
    if (Changed && !targetRect.isEmpty()) {
        Changed(targetRect);
    }
}

void AttachDc(TDC::Impl& impl, QImage* target, QPoint origin, const TRect& clip)
{
    impl.Target = target;
    impl.Origin = origin;
    impl.Clip = clip;
}

namespace {

// Writes pixels of one context, clipped; collects the touched area for the overlay.
class Raster {
public:
    explicit Raster(const TDC::Impl& dc)
        : m_dc(dc)
        , m_clip(dc.TargetClip())
    {}

    ~Raster() { m_dc.Touch(m_touched); }

    Raster(const Raster&) = delete;
    Raster& operator=(const Raster&) = delete;

    bool Inside(int x, int y, int* tx, int* ty) const
    {
        *tx = x + m_dc.Origin.x();
        *ty = y + m_dc.Origin.y();
        return m_dc.Target != nullptr && m_clip.contains(*tx, *ty);
    }

    void Put(int x, int y, QRgb value)
    {
        int tx = 0;
        int ty = 0;
        if (!Inside(x, y, &tx, &ty)) {
            return;
        }
        m_dc.Target->setPixel(tx, ty, value);
        m_touched |= QRect(tx, ty, 1, 1);
    }

    void PutColor(int x, int y, TColor c) { Put(x, y, ToRgb(c)); }

    std::optional<QRgb> Get(int x, int y) const
    {
        int tx = 0;
        int ty = 0;
        if (m_dc.Target == nullptr) {
            return std::nullopt;
        }
        tx = x + m_dc.Origin.x();
        ty = y + m_dc.Origin.y();
        if (!m_dc.Target->rect().contains(tx, ty)) {
            return std::nullopt;
        }
        return m_dc.Target->pixel(tx, ty);
    }

    // Fills [left, right) x [top, bottom) with the brush, its pattern anchored at the brush origin. Works on
    // whole clipped rows: fills of large areas are the common case of painting.
    void Fill(const TRect& r, const TBrush& brush)
    {
        if (brush.GetKind() == TBrush::Kind::Hollow || m_dc.Target == nullptr) {
            return;
        }
        const QRect area =
                QRect(r.left + m_dc.Origin.x(), r.top + m_dc.Origin.y(), r.right - r.left, r.bottom - r.top) & m_clip;
        if (area.isEmpty()) {
            return;
        }
        QImage& image = *m_dc.Target;
        const QRgb solid = ToRgb(brush.GetColor());
        for (int ty = area.top(); ty <= area.bottom(); ++ty) {
            auto* row = reinterpret_cast<QRgb*>(image.scanLine(ty));
            if (brush.GetKind() == TBrush::Kind::Solid) {
                std::fill(row + area.left(), row + area.right() + 1, solid);
                continue;
            }
            const int y = ty - m_dc.Origin.y();
            for (int tx = area.left(); tx <= area.right(); ++tx) {
                const int x = tx - m_dc.Origin.x();
                row[tx] = ToRgb(brush.ColorAt(x - m_dc.BrushOrg.x, y - m_dc.BrushOrg.y));
            }
        }
        m_touched |= area;
    }

    void Stamp(int x, int y, const TPen& pen)
    {
        const PenSpan s = SpanOf(pen.GetWidth());
        for (int dy = s.Lo; dy <= s.Hi; ++dy) {
            for (int dx = s.Lo; dx <= s.Hi; ++dx) {
                PutColor(x + dx, y + dy, pen.GetColor());
            }
        }
    }

    // Bresenham from a to b, b itself left out.
    void Line(TPoint a, TPoint b, const TPen& pen)
    {
        if (pen.GetStyle() == PS_NULL) {
            return;
        }
        int x = a.x;
        int y = a.y;
        const int dx = std::abs(b.x - a.x);
        const int dy = -std::abs(b.y - a.y);
        const int sx = a.x < b.x ? 1 : -1;
        const int sy = a.y < b.y ? 1 : -1;
        int err = dx + dy;
        int n = 0;
        while (x != b.x || y != b.y) {
            const bool on = pen.GetStyle() != PS_DOT || n % 2 == 0;
            if (on) {
                Stamp(x, y, pen);
            }
            ++n;
            const int e2 = 2 * err;
            if (e2 >= dy) {
                err += dy;
                x += sx;
            }
            if (e2 <= dx) {
                err += dx;
                y += sy;
            }
        }
    }

private:
    const TDC::Impl& m_dc;
    QRect m_clip;
    QRect m_touched;
};

TColor Sys(int index)
{
    return GetSysColor(index);
}

} // namespace

TDC::TDC(std::unique_ptr<Impl> impl)
    : m_impl(std::move(impl))
{}

TDC::~TDC() = default;

void TDC::SelectObject(const TPen& pen)
{
    m_impl->Pens.push_back(pen);
}

void TDC::SelectObject(const TBrush& brush)
{
    m_impl->Brushes.push_back(brush);
}

void TDC::SelectObject(const TFont& font)
{
    m_impl->Fonts.push_back(font);
}

void TDC::RestorePen()
{
    m_impl->Pens.erase(m_impl->Pens.begin() + 1, m_impl->Pens.end());
}

void TDC::RestoreBrush()
{
    m_impl->Brushes.erase(m_impl->Brushes.begin() + 1, m_impl->Brushes.end());
}

void TDC::RestoreFont()
{
    m_impl->Fonts.erase(m_impl->Fonts.begin() + 1, m_impl->Fonts.end());
}

TFont TDC::GetFont() const
{
    return m_impl->Fonts.back();
}

TColor TDC::SetTextColor(TColor color)
{
    return std::exchange(m_impl->TextColor, color);
}

TColor TDC::GetTextColor() const
{
    return m_impl->TextColor;
}

TColor TDC::SetBkColor(TColor color)
{
    return std::exchange(m_impl->BkColor, color);
}

TColor TDC::GetBkColor() const
{
    return m_impl->BkColor;
}

int TDC::SaveDC()
{
    TDC::Impl& d = *m_impl;
    d.Saved.push_back({d.Clip, d.BrushOrg, d.Pens, d.Brushes, d.Fonts, d.TextColor, d.BkColor, d.BkMode, d.Position});
    return static_cast<int>(d.Saved.size());
}

bool TDC::RestoreDC(int level)
{
    TDC::Impl& d = *m_impl;
    const int count = static_cast<int>(d.Saved.size());
    const int index = level < 0 ? count + level : level - 1;
    if (level == 0 || index < 0 || index >= count) {
        return false;
    }
    TDC::Impl::TState state = std::move(d.Saved[static_cast<std::size_t>(index)]);
    d.Saved.resize(static_cast<std::size_t>(index));
    d.Clip = state.Clip;
    d.BrushOrg = state.BrushOrg;
    d.Pens = std::move(state.Pens);
    d.Brushes = std::move(state.Brushes);
    d.Fonts = std::move(state.Fonts);
    d.TextColor = state.TextColor;
    d.BkColor = state.BkColor;
    d.BkMode = state.BkMode;
    d.Position = state.Position;
    return true;
}

int TDC::SetBkMode(int mode)
{
    return std::exchange(m_impl->BkMode, mode);
}

TPoint TDC::SetBrushOrg(TPoint origin)
{
    return std::exchange(m_impl->BrushOrg, origin);
}

void TDC::IntersectClipRect(const TRect& rect)
{
    m_impl->Clip = Intersect(Normalised(m_impl->Clip), Normalised(rect));
}

TRect TDC::GetClipBox() const
{
    return m_impl->Clip;
}

void TDC::FillRect(const TRect& rect, const TBrush& brush)
{
    Raster(*m_impl).Fill(Normalised(rect), brush);
}

void TDC::FrameRect(const TRect& rect, const TBrush& brush)
{
    const TRect r = Normalised(rect);
    if (r.right - r.left < 1 || r.bottom - r.top < 1) {
        return;
    }
    Raster ras(*m_impl);
    ras.Fill(TRect(r.left, r.top, r.right, r.top + 1), brush);
    ras.Fill(TRect(r.left, r.bottom - 1, r.right, r.bottom), brush);
    ras.Fill(TRect(r.left, r.top, r.left + 1, r.bottom), brush);
    ras.Fill(TRect(r.right - 1, r.top, r.right, r.bottom), brush);
}

void TDC::Rectangle(const TRect& rect)
{
    const TRect r = Normalised(rect);
    const TPen& pen = m_impl->Pens.back();
    Raster ras(*m_impl);
    if (pen.GetStyle() == PS_NULL) {
        // Without a pen the fill is one pixel smaller on the right and bottom.
        ras.Fill(TRect(r.left, r.top, r.right - 1, r.bottom - 1), m_impl->Brushes.back());
        return;
    }
    ras.Fill(TRect(r.left + 1, r.top + 1, r.right - 1, r.bottom - 1), m_impl->Brushes.back());
    // The outline's path runs through (left, top) and (right - 1, bottom - 1); the pen spans it.
    PenSpan s = SpanOf(pen.GetWidth());
    int l = r.left;
    int t = r.top;
    int rr = r.right - 1;
    int b = r.bottom - 1;
    if (pen.GetStyle() == PS_INSIDEFRAME) {
        // The whole pen stays inside the rectangle.
        s = PenSpan{0, pen.GetWidth() - 1};
        rr -= pen.GetWidth() - 1;
        b -= pen.GetWidth() - 1;
    }
    const TBrush ink(pen.GetColor());
    ras.Fill(TRect(l + s.Lo, t + s.Lo, rr + s.Hi + 1, t + s.Hi + 1), ink);
    ras.Fill(TRect(l + s.Lo, b + s.Lo, rr + s.Hi + 1, b + s.Hi + 1), ink);
    ras.Fill(TRect(l + s.Lo, t + s.Lo, l + s.Hi + 1, b + s.Hi + 1), ink);
    ras.Fill(TRect(rr + s.Lo, t + s.Lo, rr + s.Hi + 1, b + s.Hi + 1), ink);
}

void TDC::MoveTo(TPoint point)
{
    m_impl->Position = point;
}

void TDC::LineTo(TPoint point)
{
    Raster(*m_impl).Line(m_impl->Position, point, m_impl->Pens.back());
    m_impl->Position = point;
}

TPoint TDC::GetCurrentPosition() const
{
    return m_impl->Position;
}

void TDC::SetPixel(TPoint point, TColor color)
{
    Raster(*m_impl).PutColor(point.x, point.y, color);
}

TColor TDC::GetPixel(TPoint point) const
{
    const auto p = Raster(*m_impl).Get(point.x, point.y);
    return p ? FromRgb(*p) : TColor(0);
}

void TDC::Ellipse(const TRect& rect)
{
    const TRect r = Normalised(rect);
    if (m_impl->Target == nullptr || r.right - r.left < 2 || r.bottom - r.top < 2) {
        return;
    }
    QPainter painter(m_impl->Target);
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setClipRect(m_impl->TargetClip());
    painter.translate(m_impl->Origin);
    const TPen& pen = m_impl->Pens.back();
    if (pen.GetStyle() == PS_NULL) {
        painter.setPen(Qt::NoPen);
    } else {
        QPen qpen(ToQColor(pen.GetColor()));
        qpen.setWidth(pen.GetWidth());
        painter.setPen(qpen);
    }
    const TBrush& brush = m_impl->Brushes.back();
    if (brush.GetKind() == TBrush::Kind::Hollow) {
        painter.setBrush(Qt::NoBrush);
    } else {
        painter.setBrush(ToQColor(brush.GetColor()));
    }
    painter.drawEllipse(QRect(r.left, r.top, r.right - r.left - 1, r.bottom - r.top - 1));
    painter.end();
    m_impl->Touch(QRect(r.left + m_impl->Origin.x(), r.top + m_impl->Origin.y(), r.right - r.left, r.bottom - r.top));
}

void TDC::Polygon(const std::vector<TPoint>& points)
{
    if (points.size() < 2) {
        return;
    }
    Raster ras(*m_impl);
    int minY = points[0].y;
    int maxY = points[0].y;
    for (const TPoint& p : points) {
        minY = std::min(minY, p.y);
        maxY = std::max(maxY, p.y);
    }
    // Even-odd fill of the pixels whose centres lie inside.
    const TBrush& brush = m_impl->Brushes.back();
    std::vector<double> xs;
    for (int y = minY; y < maxY; ++y) {
        const double cy = y + 0.5;
        xs.clear();
        for (std::size_t i = 0; i < points.size(); ++i) {
            const TPoint a = points[i];
            const TPoint b = points[(i + 1) % points.size()];
            if ((a.y <= cy) == (b.y <= cy)) {
                continue;
            }
            xs.push_back(a.x + (cy - a.y) * (b.x - a.x) / static_cast<double>(b.y - a.y));
        }
        std::sort(xs.begin(), xs.end());
        for (std::size_t i = 0; i + 1 < xs.size(); i += 2) {
            for (int x = static_cast<int>(xs[i] - 0.5 + 0.999999); x + 0.5 < xs[i + 1]; ++x) {
                if (brush.GetKind() != TBrush::Kind::Hollow) {
                    ras.PutColor(x, y, brush.ColorAt(x - m_impl->BrushOrg.x, y - m_impl->BrushOrg.y));
                }
            }
        }
    }
    for (std::size_t i = 0; i < points.size(); ++i) {
        ras.Line(points[i], points[(i + 1) % points.size()], m_impl->Pens.back());
    }
}

void TDC::BitBlt(const TRect& dest, const TDC& source, TPoint srcOrigin, std::uint32_t rop)
{
    const TRect d = Normalised(dest);
    const Raster src(*source.m_impl);
    Raster ras(*m_impl);
    for (int y = d.top; y < d.bottom; ++y) {
        for (int x = d.left; x < d.right; ++x) {
            if (rop == DSTINVERT) {
                if (const auto p = ras.Get(x, y)) {
                    ras.Put(x, y, *p ^ 0x00FFFFFFu);
                }
                continue;
            }
            const auto s = src.Get(srcOrigin.x + (x - d.left), srcOrigin.y + (y - d.top));
            if (!s) {
                continue;
            }
            if (rop == SRCINVERT) {
                if (const auto p = ras.Get(x, y)) {
                    ras.Put(x, y, *p ^ (*s & 0x00FFFFFFu));
                }
                continue;
            }
            // A plain copy keeps the whole pixel, so saving and restoring overlay pixels is exact.
            ras.Put(x, y, *s);
        }
    }
}

void TDC::DrawBitmap(TPoint point, const TBitmap& bitmap, std::optional<TColor> transparent)
{
    if (bitmap.IsEmpty()) {
        return;
    }
    const QImage& img = bitmap.GetImpl().Image;
    // A plain flag and value rather than an optional: GCC's optimizer reports the optional's value as maybe unset.
    const bool keyed = transparent.has_value();
    const QRgb key = keyed ? ToRgb(*transparent) & 0x00FFFFFFu : 0u;
    Raster ras(*m_impl);
    for (int y = 0; y < img.height(); ++y) {
        for (int x = 0; x < img.width(); ++x) {
            const QRgb p = img.pixel(x, y);
            if (keyed && (p & 0x00FFFFFFu) == key) {
                continue;
            }
            ras.Put(point.x + x, point.y + y, p | 0xFF000000u);
        }
    }
}

void TDC::DrawEmbossed(TPoint point, const TBitmap& bitmap, std::optional<TColor> transparent)
{
    if (bitmap.IsEmpty()) {
        return;
    }
    const QImage& img = bitmap.GetImpl().Image;
    // A plain flag and value rather than an optional: GCC's optimizer reports the optional's value as maybe unset.
    const bool keyed = transparent.has_value();
    const QRgb key = keyed ? ToRgb(*transparent) & 0x00FFFFFFu : 0u;
    // Which pixels carry ink, found once for both passes.
    std::vector<bool> ink(static_cast<std::size_t>(img.width()) * static_cast<std::size_t>(img.height()));
    for (int y = 0; y < img.height(); ++y) {
        for (int x = 0; x < img.width(); ++x) {
            const QRgb p = img.pixel(x, y);
            ink[static_cast<std::size_t>(y * img.width() + x)] =
                    !(keyed && (p & 0x00FFFFFFu) == key) && Luminance(p) < 192;
        }
    }
    Raster ras(*m_impl);
    const TColor hilight = Sys(COLOR_3DHILIGHT);
    const TColor shadow = Sys(COLOR_3DSHADOW);
    for (int pass = 0; pass < 2; ++pass) {
        const int offset = pass == 0 ? 1 : 0;
        const TColor color = pass == 0 ? hilight : shadow;
        for (int y = 0; y < img.height(); ++y) {
            for (int x = 0; x < img.width(); ++x) {
                if (ink[static_cast<std::size_t>(y * img.width() + x)]) {
                    ras.PutColor(point.x + x + offset, point.y + y + offset, color);
                }
            }
        }
    }
}

namespace {

// One ring of an edge: top and left in tl, bottom and right in br. The top-left colour stops one pixel short of
// the right and bottom sides it meets, so the two far corners take the bottom-right colour.
void Ring(Raster& ras, const TRect& r, unsigned sides, TColor tl, TColor br)
{
    const TBrush tlb(tl);
    const TBrush brb(br);
    const int tlRight = (sides & BF_RIGHT) ? r.right - 1 : r.right;
    const int tlBottom = (sides & BF_BOTTOM) ? r.bottom - 1 : r.bottom;
    if (sides & BF_TOP) {
        ras.Fill(TRect(r.left, r.top, tlRight, r.top + 1), tlb);
    }
    if (sides & BF_LEFT) {
        ras.Fill(TRect(r.left, r.top, r.left + 1, tlBottom), tlb);
    }
    if (sides & BF_BOTTOM) {
        ras.Fill(TRect(r.left, r.bottom - 1, r.right, r.bottom), brb);
    }
    if (sides & BF_RIGHT) {
        ras.Fill(TRect(r.right - 1, r.top, r.right, r.bottom), brb);
    }
}

TRect Shrink(const TRect& r, unsigned sides)
{
    return TRect(r.left + ((sides & BF_LEFT) ? 1 : 0), r.top + ((sides & BF_TOP) ? 1 : 0),
                 r.right - ((sides & BF_RIGHT) ? 1 : 0), r.bottom - ((sides & BF_BOTTOM) ? 1 : 0));
}

} // namespace

void TDC::DrawEdge(TRect& rect, unsigned edge, unsigned flags)
{
    TRect r = Normalised(rect);
    const unsigned sides = flags & BF_RECT;
    Raster ras(*m_impl);
    const unsigned outer = edge & (BDR_RAISEDOUTER | BDR_SUNKENOUTER);
    const unsigned inner = edge & (BDR_RAISEDINNER | BDR_SUNKENINNER);
    if (outer != 0) {
        if (flags & (BF_FLAT | BF_MONO)) {
            const TColor c = (flags & BF_MONO) ? Sys(COLOR_WINDOWFRAME) : Sys(COLOR_3DSHADOW);
            Ring(ras, r, sides, c, c);
        } else if (outer & BDR_RAISEDOUTER) {
            Ring(ras, r, sides, Sys(COLOR_3DLIGHT), Sys(COLOR_3DDKSHADOW));
        } else {
            Ring(ras, r, sides, Sys(COLOR_3DSHADOW), Sys(COLOR_3DHILIGHT));
        }
        r = Shrink(r, sides);
    }
    if (inner != 0) {
        if (flags & (BF_FLAT | BF_MONO)) {
            const TColor c = (flags & BF_MONO) ? Sys(COLOR_WINDOW) : Sys(COLOR_3DFACE);
            Ring(ras, r, sides, c, c);
        } else if (inner & BDR_RAISEDINNER) {
            Ring(ras, r, sides, Sys(COLOR_3DHILIGHT), Sys(COLOR_3DSHADOW));
        } else {
            Ring(ras, r, sides, Sys(COLOR_3DDKSHADOW), Sys(COLOR_3DLIGHT));
        }
        r = Shrink(r, sides);
    }
    if (flags & BF_MIDDLE) {
        ras.Fill(r, TBrush((flags & BF_MONO) ? Sys(COLOR_WINDOW) : Sys(COLOR_3DFACE)));
    }
    if (flags & BF_ADJUST) {
        rect = r;
    }
}

void TDC::Draw3dRect(const TRect& rect, TColor topLeft, TColor bottomRight)
{
    Raster ras(*m_impl);
    Ring(ras, Normalised(rect), BF_RECT, topLeft, bottomRight);
}

void TDC::DrawFocusRect(const TRect& rect)
{
    const TRect r = Normalised(rect);
    if (r.right - r.left < 1 || r.bottom - r.top < 1) {
        return;
    }
    Raster ras(*m_impl);
    auto invert = [&](int x, int y) {
        if (((x + y) & 1) != 0) {
            return;
        }
        if (const auto p = ras.Get(x, y)) {
            ras.Put(x, y, *p ^ 0x00FFFFFFu);
        }
    };
    for (int x = r.left; x < r.right; ++x) {
        invert(x, r.top);
        if (r.bottom - 1 != r.top) {
            invert(x, r.bottom - 1);
        }
    }
    for (int y = r.top + 1; y < r.bottom - 1; ++y) {
        invert(r.left, y);
        if (r.right - 1 != r.left) {
            invert(r.right - 1, y);
        }
    }
}

} // namespace qm::gui
