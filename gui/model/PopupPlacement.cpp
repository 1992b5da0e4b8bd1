// Pop-up placement.
#include "gui/model/PopupPlacement.h"

#include "gui/model/Messages.h"

namespace qm::gui {

namespace {

// The start of a span of length 'len' aligned at 'at' (0 start, 1 centre, 2 end), flipped around 'at' when it
// leaves [lo, hi), and finally clamped into it.
int Place1D(int at, int len, int align, int lo, int hi)
{
    int start = align == 0 ? at : align == 1 ? at - len / 2 : at - len;
    if (start + len > hi && align == 0)
        start = at - len; // flip to the other side of the point
    else if (start < lo && align == 2)
        start = at;
    if (start + len > hi)
        start = hi - len;
    if (start < lo)
        start = lo;
    return start;
}

bool FitsIn(const TRect& r, const TRect& screen)
{
    return r.left >= screen.left && r.top >= screen.top && r.right <= screen.right && r.bottom <= screen.bottom;
}

bool TryHorizontal(TRect& r, const TRect& ex, const TRect& screen)
{
    TRect right = r;
    right.MoveTo(ex.right, r.top);
    if (FitsIn(right, screen)) {
        r = right;
        return true;
    }
    TRect left = r;
    left.MoveTo(ex.left - r.Width(), r.top);
    if (FitsIn(left, screen)) {
        r = left;
        return true;
    }
    return false;
}

bool TryVertical(TRect& r, const TRect& ex, const TRect& screen)
{
    TRect below = r;
    below.MoveTo(r.left, ex.bottom);
    if (FitsIn(below, screen)) {
        r = below;
        return true;
    }
    TRect above = r;
    above.MoveTo(r.left, ex.top - r.Height());
    if (FitsIn(above, screen)) {
        r = above;
        return true;
    }
    return false;
}

} // namespace

TRect PlacePopup(TPoint at, TSize size, UINT flags, const TRect* exclude, const TRect& screen)
{
    const int hAlign = (flags & TPM_RIGHTALIGN) != 0 ? 2 : (flags & TPM_CENTERALIGN) != 0 ? 1 : 0;
    const int vAlign = (flags & TPM_BOTTOMALIGN) != 0 ? 2 : (flags & TPM_VCENTERALIGN) != 0 ? 1 : 0;
    TRect r(TPoint(Place1D(at.x, size.cx, hAlign, screen.left, screen.right),
                   Place1D(at.y, size.cy, vAlign, screen.top, screen.bottom)),
            size);
    if (exclude == nullptr || !r.Touches(*exclude))
        return r;
    if ((flags & TPM_VERTICAL) != 0) {
        if (!TryVertical(r, *exclude, screen))
            TryHorizontal(r, *exclude, screen);
    } else if (!TryHorizontal(r, *exclude, screen)) {
        TryVertical(r, *exclude, screen);
    }
    return r;
}

} // namespace qm::gui
