// The order sorted list boxes and tree views put their texts in: case-insensitive, bytes compared unsigned.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qm::gui {

/// Compares two texts ignoring the case of ASCII letters: < 0, 0 or > 0.
int CompareTextNoCase(std::string_view a, std::string_view b);
/// Where a sorted list puts text: after every entry that does not compare greater, so equal texts keep the order
/// they were added in.
int SortedInsertIndex(const std::vector<std::string>& sortedTexts, std::string_view text);

} // namespace qm::gui
