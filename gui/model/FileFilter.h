// File-type filters of the open-file chooser: the callers' form, pairs of description and patterns joined by '|'
// ("Ini Files (*.ini)|*.ini|All files (*.*)|*.*||"), in the chooser's own form, one filter a line.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qm::gui {

/// One "Description (pattern pattern)" per pair, in order. The patterns are the pair's second part, split at ';'
/// with blanks trimmed; "*.*" becomes "*" (on Windows it also matches names without a dot). A description's own
/// closing "(...)" is replaced by the patterns, so it is shown once. A description without patterns, or patterns
/// without a description (an odd count) are left out; an empty pair ends the list.
std::vector<std::string> FileFiltersFromPairs(std::string_view pairs);

} // namespace qm::gui
