// Bitmap resources by id: compiled-in names of images in Qt's resource system (":/...") or files, loaded on
// demand, with the existence test the kit uses before it asks for a glyph.
#pragma once

#include "gui/draw/GdiObjects.h"

#include <string>

namespace qm::gui {

/// Makes id stand for the image at location (a Qt resource path or a file); a later registration replaces it.
void RegisterBitmapResource(int id, std::string location);
/// Whether id is registered and its image can be read.
bool HasBitmapResource(int id);
/// The image of id; an empty bitmap when id is unknown or its image cannot be read.
TBitmap LoadBitmapResource(int id);
/// Forgets every registration: for tests.
void ClearBitmapResources();

} // namespace qm::gui
