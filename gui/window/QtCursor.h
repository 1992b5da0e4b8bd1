// The Qt cursor of a cursor handle: stock ids as Qt's shapes, registered pictures as bitmap cursors, 0 blank.
#pragma once

#include "gui/model/CursorResource.h"

#include <QCursor>

namespace qm::gui {

QCursor ToQCursor(HCURSOR cursor);

} // namespace qm::gui
