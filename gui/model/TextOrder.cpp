#include "gui/model/TextOrder.h"

#include "common/StringUtil.h"

#include <algorithm>

namespace qm::gui {

int CompareTextNoCase(std::string_view a, std::string_view b)
{
    return CompareNoCase(a, b);
}

int SortedInsertIndex(const std::vector<std::string>& sortedTexts, std::string_view text)
{
    const auto at = std::upper_bound(sortedTexts.begin(), sortedTexts.end(), text,
                                     [](std::string_view t, const std::string& e) { return CompareNoCase(t, e) < 0; });
    return static_cast<int>(at - sortedTexts.begin());
}

} // namespace qm::gui
