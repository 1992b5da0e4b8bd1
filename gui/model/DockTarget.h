// Where a dragged dockable bar would land: the first edge (top, bottom, left, right) whose docking zone holds
// the cursor, or floating. An edge's zone is its slip, or, for an edge whose slip is empty, a strip along that
// edge of the frame's client area; either reaches kDockZone pixels further out and in. Holding Ctrl floats.
#pragma once

#include "gui/model/FrameLayout.h"
#include "gui/model/GadgetWindowCore.h"

#include <span>

namespace qm::gui {

struct TDockEdge {
    TAbsLocation Location = alNone;
    /// The edge's slip in screen coordinates; empty when the slip holds no bar (or has no window yet).
    TRect Slip;
};

inline constexpr int kDockZone = 10;

/// The zone of one edge, in screen coordinates.
TRect DockZone(const TDockEdge& edge, const TRect& frameClient);

/// The edge the bar would dock at, or alNone to float. Only the edges given (those with slips) are candidates.
TAbsLocation ChooseDockTarget(TPoint cursor, const TRect& frameClient, std::span<const TDockEdge> edges,
                              bool controlDown);

/// A bar at an edge lays its gadgets out along the edge; a floating bar in rows.
TGadgetWindowCore::TTileDirection DirectionForLocation(TAbsLocation location);

} // namespace qm::gui
