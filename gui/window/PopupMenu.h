// Pop-up menus on the screen: the model's menu tracker shown in the layer's own pop-up windows, which draw
// string items themselves and owner-drawn items through WM_MEASUREITEM and WM_DRAWITEM to the owner.
#pragma once

#include "gui/model/Menu.h"
#include "gui/model/Messages.h"
#include "gui/window/Window.h"

namespace qm::gui {

/// Tracks menu (a pop-up) at (x, y) in screen coordinates for owner, in a nested loop that ends when an item
/// is chosen or the tracking is cancelled. flags: TPM_*; params' exclusion rectangle, when given, is never
/// covered. The chosen command is posted to owner after the tracking returns; with TPM_RETURNCMD it is
/// returned instead (0: none). Otherwise true when the menu could be shown.
UINT TrackPopupMenuEx(HMENU menu, UINT flags, int x, int y, TWindow& owner, const TPMPARAMS* params = nullptr);

/// The same without an exclusion rectangle.
inline bool TrackPopupMenu(HMENU menu, UINT flags, int x, int y, TWindow& owner)
{
    return TrackPopupMenuEx(menu, flags, x, y, owner, nullptr) != 0;
}

/// Ends the tracking that runs, choosing nothing (for tests and for the owner's own reasons).
void EndMenu();

} // namespace qm::gui
