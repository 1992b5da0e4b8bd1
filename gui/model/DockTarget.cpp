// Dock target choice.
#include "gui/model/DockTarget.h"

namespace qm::gui {

TRect DockZone(const TDockEdge& edge, const TRect& f)
{
    const bool empty = edge.Slip.IsEmpty();
    const TRect& s = edge.Slip;
    switch (edge.Location) {
    case alTop:
        return empty ? TRect(f.left, f.top - kDockZone, f.right, f.top + kDockZone)
                     : TRect(f.left, s.top - kDockZone, f.right, s.bottom + kDockZone);
    case alBottom:
        return empty ? TRect(f.left, f.bottom - kDockZone, f.right, f.bottom + kDockZone)
                     : TRect(f.left, s.top - kDockZone, f.right, s.bottom + kDockZone);
    case alLeft:
        return empty ? TRect(f.left - kDockZone, f.top, f.left + kDockZone, f.bottom)
                     : TRect(s.left - kDockZone, f.top, s.right + kDockZone, f.bottom);
    case alRight:
        return empty ? TRect(f.right - kDockZone, f.top, f.right + kDockZone, f.bottom)
                     : TRect(s.left - kDockZone, f.top, s.right + kDockZone, f.bottom);
    default:
        return {};
    }
}

TAbsLocation ChooseDockTarget(TPoint cursor, const TRect& frameClient, std::span<const TDockEdge> edges,
                              bool controlDown)
{
    if (controlDown)
        return alNone;
    for (const TAbsLocation want : {alTop, alBottom, alLeft, alRight}) {
        for (const TDockEdge& edge : edges) {
            if (edge.Location == want && DockZone(edge, frameClient).Contains(cursor))
                return want;
        }
    }
    return alNone;
}

TGadgetWindowCore::TTileDirection DirectionForLocation(TAbsLocation location)
{
    switch (location) {
    case alTop:
    case alBottom:
        return TGadgetWindowCore::Horizontal;
    case alLeft:
    case alRight:
        return TGadgetWindowCore::Vertical;
    default:
        return TGadgetWindowCore::Rectangular;
    }
}

} // namespace qm::gui
