// Cursors by id: the stock cursors (IDC_ARROW, IDC_NO, ...) and compiled-in pictures registered under a program's
// own ids (the kit's drag cursors, a link's hand). A cursor handle is the id it was loaded by; 0 is no cursor,
// which hides the pointer when set.
#pragma once

#include "gui/model/Geometry.h"

#include <string>
#include <vector>

namespace qm::gui {

using HCURSOR = int;

/// A two-colour cursor drawn as rows of characters: 'X' black, 'o' white, ' ' transparent. All rows are as
/// wide as the first; the hot spot lies inside.
struct TCursorPicture {
    std::vector<std::string> Rows;
    TPoint HotSpot;

    int Width() const { return Rows.empty() ? 0 : static_cast<int>(Rows.front().size()); }

    int Height() const { return static_cast<int>(Rows.size()); }
};

/// Makes id stand for picture; false (and nothing registered) for an empty or malformed picture, a stock id or 0.
bool RegisterCursorResource(int id, TCursorPicture picture);
/// The picture of a registered id, or null. Valid until id is registered again.
const TCursorPicture* FindCursorResource(int id);
/// Forgets every registration: for tests.
void ClearCursorResources();
/// Changes whenever a registration is made or forgotten, so that what was built from the pictures can be rebuilt.
unsigned CursorResourceGeneration();

/// Whether id is one of the system's stock cursors.
bool IsStockCursor(int id);
/// The handle of a stock or registered cursor; 0 when there is no cursor of that id.
HCURSOR LoadCursor(int id);

/// Pictures for a drag of a toolbar button, for a program to register under its cursor ids: an arrow with a
/// small button (move), with a plus sign (copy) and with a cross (remove). Hot spot at the arrow's tip.
TCursorPicture DragMoveCursorPicture();
TCursorPicture DragCopyCursorPicture();
TCursorPicture DragRemoveCursorPicture();
/// A pointing hand for a program to register as a link's cursor: hot spot at the tip of the index finger.
TCursorPicture LinkHandCursorPicture();

} // namespace qm::gui
