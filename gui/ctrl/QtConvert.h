// Conversions to Qt's types for the controls: texts and icons (includes Qt; not for callers).
#pragma once

#include "gui/draw/Icon.h"

#include <QPixmap>
#include <QString>

#include <string_view>

namespace qm::gui {

/// UTF-8 text as a QString.
QString ToQString(std::string_view text);
/// The icon's pixels, its transparent ones with alpha 0.
QPixmap ToPixmap(const TIcon& icon);

} // namespace qm::gui
