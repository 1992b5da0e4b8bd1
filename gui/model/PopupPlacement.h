// Where a pop-up menu opens: the alignment flags of TrackPopupMenu(Ex) around the given point, kept on the screen
// by flipping around the point, and kept off an exclusion rectangle (beside it or below/above it).
#pragma once

#include "gui/model/Geometry.h"
#include "gui/model/WinTypes.h"

namespace qm::gui {

/// The screen rectangle of a pop-up of the given size opened at 'at' with TPM_* flags. With an exclusion
/// rectangle the pop-up does not overlap it: horizontal flags first try right of it, then left of it, then below,
/// then above; TPM_VERTICAL tries below, then above, then right and left. When nothing fits, the pop-up stays at
/// its on-screen position. A pop-up larger than the screen starts at the screen's left or top edge.
TRect PlacePopup(TPoint at, TSize size, UINT flags, const TRect* exclude, const TRect& screen);

} // namespace qm::gui
