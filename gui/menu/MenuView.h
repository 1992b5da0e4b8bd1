// Menus on the screen: a menu bar measured, laid out and drawn by its owner's rules (WM_MEASUREITEM and
// WM_DRAWITEM for owner-drawn items), and pop-up menus shown in the layer's own pop-up windows while the model's
// tracker decides what the keyboard and the mouse do.
#pragma once

#include "gui/model/Geometry.h"
#include "gui/model/Menu.h"
#include "gui/model/MenuTracker.h"
#include "gui/model/Messages.h"

#include <vector>

namespace qm::gui {

class TDC;
class TWindow;

/// The size of one item as a menu draws it: an owner-drawn item asks owner with WM_MEASUREITEM, a string item is
/// its text (in the menu font) with room for the check mark and the submenu arrow, a separator is 8 pixels high.
/// inBar measures a menu-bar item (text plus 6 pixels each side).
TSize MeasureMenuItem(TWindow& owner, HMENU menu, int pos, bool inBar);

/// The menu bar's item rectangles (bar coordinates) at a width: the items measured as above and laid out by
/// the model's bar layout, each line at least SM_CYMENU high.
std::vector<TRect> LayoutMenuBarItems(TWindow& owner, HMENU bar, int width);

/// Draws one item at rect: an owner-drawn one by WM_DRAWITEM to owner with rect as its rectangle (a pop-up's
/// submenu item then gets the submenu arrow over it, in the 15 pixels at its right end), others in the standard
/// look (highlight when selected, grey text, separators etched, the accelerator right-aligned).
void DrawMenuItem(TDC& dc, TWindow& owner, HMENU menu, int pos, const TRect& rect, bool selected, bool inBar);

/// Shows the pop-up at (x, y) in screen coordinates, owned by owner, and tracks it in a nested loop until a
/// command is chosen or the menu is dismissed. With TPM_RETURNCMD the command is returned and nothing is
/// posted; otherwise the chosen command is posted to owner as WM_COMMAND after tracking has ended, and the result
/// is nonzero when one was chosen. params (may be null) holds a rectangle the pop-up never covers. Returns 0 at
/// once for a handle that is not a menu or an empty menu, and when another menu is being tracked.
UINT TrackPopupMenuEx(HMENU menu, UINT flags, int x, int y, TWindow& owner, const TPMPARAMS* params = nullptr);
/// The same without an exclusion rectangle (rect is ignored; callers may pass one).
bool TrackPopupMenu(HMENU menu, UINT flags, int x, int y, int reserved, TWindow& owner, const TRect* rect = nullptr);

/// Tracks a menu bar whose items stand at screenItems: bar item index is selected, with its pop-up open when
/// openPopup. Returns the chosen command (posted to owner as WM_COMMAND as well), 0 for none.
UINT TrackMenuBar(TWindow& owner, HMENU bar, std::vector<TRect> screenItems, int index, bool openPopup);

/// Tracks a menu bar entered from the keyboard: mnemonic 0 (F10 or Alt alone) selects the first item with no
/// pop-up open; otherwise the item with that mnemonic (a string item's, or the one the owner's WM_MENUCHAR names)
/// opens its pop-up, or is chosen when it is a command. Returns the chosen command (posted to owner as well).
UINT TrackMenuBarByKey(TWindow& owner, HMENU bar, std::vector<TRect> screenItems, char mnemonic);

/// The tracking in progress (null when none): for the frame's bar painting and for tests.
const TMenuTracker* ActiveMenuTracker();
/// The pop-up window showing level of the tracking in progress; null when none.
TWindow* ActiveMenuPopup(int level);
/// Ends the tracking in progress with no command.
void CancelMenuTracking();

} // namespace qm::gui
