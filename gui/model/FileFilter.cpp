#include "gui/model/FileFilter.h"

#include "common/StringUtil.h"

namespace qm::gui {

namespace {

std::vector<std::string_view> Split(std::string_view s, char separator)
{
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = s.find(separator, start);
        parts.push_back(s.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos) {
            return parts;
        }
        start = end + 1;
    }
}

} // namespace

std::vector<std::string> FileFiltersFromPairs(std::string_view pairs)
{
    const std::vector<std::string_view> parts = Split(pairs, '|');
    std::vector<std::string> filters;
    for (std::size_t i = 0; i + 1 < parts.size(); i += 2) {
        std::string_view description = TrimmedView(parts[i]);
        const std::string_view patternText = TrimmedView(parts[i + 1]);
        if (description.empty() && patternText.empty()) {
            break;
        }
        std::string patterns;
        for (std::string_view pattern : Split(patternText, ';')) {
            pattern = TrimmedView(pattern);
            if (pattern.empty()) {
                continue;
            }
            if (!patterns.empty()) {
                patterns += ' ';
            }
            patterns += pattern == "*.*" ? std::string_view("*") : pattern;
        }
        if (description.empty() || patterns.empty()) {
            continue;
        }
        if (description.back() == ')') {
            if (const std::size_t open = description.rfind('('); open != std::string_view::npos && open > 0) {
                description = TrimmedView(description.substr(0, open));
            }
        }
        filters.push_back(std::string(description) + " (" + patterns + ")");
    }
    return filters;
}

} // namespace qm::gui
