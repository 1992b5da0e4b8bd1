// Bitmap resources by id: compiled-in names of images in Qt's resource system (":/...") or files, loaded on
// demand, or images made in memory; with the existence test the kit uses before it asks for a glyph. The glyphs
// of button gadgets and the cells of bitmap gadgets are found here.
#pragma once

#include "gui/draw/GdiObjects.h"

#include <string>

namespace qm::gui {

/// Makes id stand for the image at location (a Qt resource path or a file); a later registration replaces it.
void RegisterBitmapResource(int id, std::string location);
/// Makes id stand for an image made in memory; a later registration replaces it.
void RegisterBitmapResource(int id, TBitmap bitmap);
/// Whether id is registered and its image can be read.
bool HasBitmapResource(int id);
/// The image of id; an empty bitmap when id is unknown or its image cannot be read.
TBitmap LoadBitmapResource(int id);
/// The image of id without a copy; null when id is unknown or its image cannot be read. The pointer stays valid
/// until id is registered again or the registrations are cleared.
const TBitmap* FindBitmapResource(int id);
/// Forgets every registration: for tests.
void ClearBitmapResources();

} // namespace qm::gui
