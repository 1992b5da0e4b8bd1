#include "gui/ctrl/QtConvert.h"

namespace qm::gui {

QString ToQString(std::string_view text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace qm::gui
