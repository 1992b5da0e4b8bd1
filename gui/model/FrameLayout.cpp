// Decorated frame layout.
#include "gui/model/FrameLayout.h"

#include "gui/model/Accelerator.h"

#include <algorithm>

namespace qm::gui {

void TDecorationLayout::Insert(int key, TAbsLocation location, TSize desired)
{
    Remove(key);
    m_entries.push_back({key, location, desired, true});
}

void TDecorationLayout::Remove(int key)
{
    std::erase_if(m_entries, [key](const Entry& e) { return e.Key == key; });
}

void TDecorationLayout::SetDesiredSize(int key, TSize desired)
{
    for (auto& e : m_entries) {
        if (e.Key == key)
            e.Desired = desired;
    }
}

void TDecorationLayout::SetVisible(int key, bool visible)
{
    for (auto& e : m_entries) {
        if (e.Key == key)
            e.Visible = visible;
    }
}

bool TDecorationLayout::Contains(int key) const
{
    return std::any_of(m_entries.begin(), m_entries.end(), [key](const Entry& e) { return e.Key == key; });
}

TDecorationLayout::TResult TDecorationLayout::Layout(const TRect& frameClient) const
{
    TResult result;
    int top = frameClient.top;
    int bottom = frameClient.bottom;
    int left = frameClient.left;
    int right = frameClient.right;
    // Top and bottom first: the side decorations stand between them.
    std::vector<std::pair<std::size_t, TRect>> placed;
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        const Entry& e = m_entries[i];
        if (!e.Visible || (e.Location != alTop && e.Location != alBottom))
            continue;
        const int h = std::clamp(e.Desired.cy, 0, std::max(0, bottom - top));
        if (e.Location == alTop) {
            placed.emplace_back(i, TRect(left, top, right, top + h));
            top += h;
        } else {
            placed.emplace_back(i, TRect(left, bottom - h, right, bottom));
            bottom -= h;
        }
    }
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        const Entry& e = m_entries[i];
        if (!e.Visible || (e.Location != alLeft && e.Location != alRight))
            continue;
        const int w = std::clamp(e.Desired.cx, 0, std::max(0, right - left));
        if (e.Location == alLeft) {
            placed.emplace_back(i, TRect(left, top, left + w, bottom));
            left += w;
        } else {
            placed.emplace_back(i, TRect(right - w, top, right, bottom));
            right -= w;
        }
    }
    std::sort(placed.begin(), placed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& p : placed)
        result.Decorations.push_back({m_entries[p.first].Key, p.second});
    result.Client = TRect(left, top, std::max(left, right), std::max(top, bottom));
    return result;
}

std::optional<std::string> MenuSelectHint(WPARAM wParam, LPARAM lParam)
{
    const WORD flags = HIWORD(wParam);
    if (flags == 0xFFFF && lParam == 0)
        return std::nullopt;
    if ((flags & (MF_POPUP | MF_SEPARATOR)) != 0)
        return std::string();
    return CommandHintText(LOWORD(wParam), htStatus);
}

} // namespace qm::gui
