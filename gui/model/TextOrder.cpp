#include "gui/model/TextOrder.h"

#include <algorithm>

namespace qm::gui {

namespace {

unsigned char Folded(char c)
{
    const auto u = static_cast<unsigned char>(c);
    return (u >= 'A' && u <= 'Z') ? static_cast<unsigned char>(u - 'A' + 'a') : u;
}

} // namespace

int CompareTextNoCase(std::string_view a, std::string_view b)
{
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char ca = Folded(a[i]);
        const unsigned char cb = Folded(b[i]);
        if (ca != cb) {
            return ca < cb ? -1 : 1;
        }
    }
    if (a.size() == b.size()) {
        return 0;
    }
    return a.size() < b.size() ? -1 : 1;
}

int SortedInsertIndex(const std::vector<std::string>& sortedTexts, std::string_view text)
{
    const auto at =
            std::upper_bound(sortedTexts.begin(), sortedTexts.end(), text,
                             [](std::string_view t, const std::string& e) { return CompareTextNoCase(t, e) < 0; });
    return static_cast<int>(at - sortedTexts.begin());
}

} // namespace qm::gui
