// Points, sizes and rectangles with the window system's rules: a rectangle holds its left and top edges and
// excludes its right and bottom edges, so width = right - left and an empty rectangle contains no point.
#pragma once

#include <algorithm>

namespace qm::gui {

struct TSize {
    int cx = 0;
    int cy = 0;

    constexpr TSize() = default;

    constexpr TSize(int w, int h)
        : cx(w)
        , cy(h)
    {}

    friend constexpr bool operator==(const TSize&, const TSize&) = default;

    constexpr TSize operator+(const TSize& o) const { return {cx + o.cx, cy + o.cy}; }

    constexpr TSize operator-(const TSize& o) const { return {cx - o.cx, cy - o.cy}; }
};

struct TPoint {
    int x = 0;
    int y = 0;

    constexpr TPoint() = default;

    constexpr TPoint(int px, int py)
        : x(px)
        , y(py)
    {}

    friend constexpr bool operator==(const TPoint&, const TPoint&) = default;

    constexpr TPoint operator+(const TSize& s) const { return {x + s.cx, y + s.cy}; }

    constexpr TPoint operator-(const TSize& s) const { return {x - s.cx, y - s.cy}; }

    constexpr TSize operator-(const TPoint& o) const { return {x - o.x, y - o.y}; }

    constexpr TPoint OffsetBy(int dx, int dy) const { return {x + dx, y + dy}; }

    constexpr TPoint& Offset(int dx, int dy)
    {
        x += dx;
        y += dy;
        return *this;
    }
};

struct TRect {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;

    constexpr TRect() = default;

    constexpr TRect(int l, int t, int r, int b)
        : left(l)
        , top(t)
        , right(r)
        , bottom(b)
    {}

    constexpr TRect(const TPoint& origin, const TSize& size)
        : left(origin.x)
        , top(origin.y)
        , right(origin.x + size.cx)
        , bottom(origin.y + size.cy)
    {}

    constexpr TRect(const TPoint& topLeft, const TPoint& bottomRight)
        : left(topLeft.x)
        , top(topLeft.y)
        , right(bottomRight.x)
        , bottom(bottomRight.y)
    {}

    friend constexpr bool operator==(const TRect&, const TRect&) = default;

    constexpr int Width() const { return right - left; }

    constexpr int Height() const { return bottom - top; }

    constexpr TSize Size() const { return {Width(), Height()}; }

    constexpr TPoint TopLeft() const { return {left, top}; }

    constexpr TPoint TopRight() const { return {right, top}; }

    constexpr TPoint BottomLeft() const { return {left, bottom}; }

    constexpr TPoint BottomRight() const { return {right, bottom}; }

    /// No area: a zero or negative width or height.
    constexpr bool IsEmpty() const { return right <= left || bottom <= top; }

    /// All four edges zero.
    constexpr bool IsNull() const { return left == 0 && top == 0 && right == 0 && bottom == 0; }

    /// The point is inside: left <= x < right and top <= y < bottom.
    constexpr bool Contains(const TPoint& p) const { return p.x >= left && p.x < right && p.y >= top && p.y < bottom; }

    /// The whole of other lies inside this rectangle.
    constexpr bool Contains(const TRect& o) const
    {
        return o.left >= left && o.right <= right && o.top >= top && o.bottom <= bottom;
    }

    /// The two share at least one point (empty rectangles touch nothing).
    constexpr bool Touches(const TRect& o) const
    {
        return !IsEmpty() && !o.IsEmpty() && o.left < right && o.right > left && o.top < bottom && o.bottom > top;
    }

    constexpr TRect& Offset(int dx, int dy)
    {
        left += dx;
        right += dx;
        top += dy;
        bottom += dy;
        return *this;
    }

    constexpr TRect OffsetBy(int dx, int dy) const { return TRect(*this).Offset(dx, dy); }

    /// Grows by dx on the left and right and by dy on the top and bottom (negative values shrink).
    constexpr TRect& Inflate(int dx, int dy)
    {
        left -= dx;
        right += dx;
        top -= dy;
        bottom += dy;
        return *this;
    }

    constexpr TRect InflatedBy(int dx, int dy) const { return TRect(*this).Inflate(dx, dy); }

    /// Moves the rectangle so that its top-left corner is at (x, y), keeping its size.
    constexpr TRect& MoveTo(int x, int y)
    {
        right += x - left;
        bottom += y - top;
        left = x;
        top = y;
        return *this;
    }

    /// With left <= right and top <= bottom.
    constexpr TRect Normalized() const
    {
        return {std::min(left, right), std::min(top, bottom), std::max(left, right), std::max(top, bottom)};
    }

    /// The intersection; all zero when the two do not overlap.
    constexpr TRect operator&(const TRect& o) const
    {
        TRect r(std::max(left, o.left), std::max(top, o.top), std::min(right, o.right), std::min(bottom, o.bottom));
        return r.IsEmpty() ? TRect() : r;
    }

    /// The smallest rectangle holding both; an empty one does not count.
    constexpr TRect operator|(const TRect& o) const
    {
        if (IsEmpty())
            return o.IsEmpty() ? TRect() : o;
        if (o.IsEmpty())
            return *this;
        return {std::min(left, o.left), std::min(top, o.top), std::max(right, o.right), std::max(bottom, o.bottom)};
    }

    constexpr TRect& operator&=(const TRect& o) { return *this = *this & o; }

    constexpr TRect& operator|=(const TRect& o) { return *this = *this | o; }
};

} // namespace qm::gui
