// Conversions to Qt's types for the controls: texts, and icons from the drawing layer (includes Qt; not for
// callers).
#pragma once

#include "gui/draw/DcImpl.h"
#include "gui/draw/Icon.h"

#include <QString>

#include <string_view>

namespace qm::gui {

/// UTF-8 text as a QString.
QString ToQString(std::string_view text);

} // namespace qm::gui
