#include "gui/model/PaneLayout.h"

#include <algorithm>
#include <cmath>

namespace qm::gui {

template <typename Visit>
void TPaneLayout::Walk(int start, const TRect& rect, Visit&& visit) const
{
    if (start < 0) {
        return;
    }
    const Node& node = m_nodes[static_cast<std::size_t>(start)];
    visit(start, rect);
    if (!node.IsSplit) {
        return;
    }
    const Parts parts = Divide(node, rect);
    Walk(node.First, parts.First, visit);
    Walk(node.Second, parts.Second, visit);
}

TPaneLayout::Parts TPaneLayout::Divide(const Node& split, const TRect& rect)
{
    const bool across = split.Direction == TSplitDirection::psHorizontal;
    const int start = across ? rect.top : rect.left;
    const int end = across ? rect.bottom : rect.right;
    const int available = std::max(0, end - start - kBarWidth);
    const int first = std::clamp(static_cast<int>(std::lround(available * split.Ratio)), 0, available);
    const int barStart = start + first;
    const int barEnd = std::min(end, barStart + kBarWidth);
    if (across) {
        return {TRect(rect.left, rect.top, rect.right, barStart), TRect(rect.left, barStart, rect.right, barEnd),
                TRect(rect.left, barEnd, rect.right, std::max(barEnd, end))};
    }
    return {TRect(rect.left, rect.top, barStart, rect.bottom), TRect(barStart, rect.top, barEnd, rect.bottom),
            TRect(barEnd, rect.top, std::max(barEnd, end), rect.bottom)};
}

int TPaneLayout::LeafOf(int pane) const
{
    int found = -1;
    Walk(m_root, TRect(), [&](int index, const TRect&) {
        const Node& node = m_nodes[static_cast<std::size_t>(index)];
        if (!node.IsSplit && node.Pane == pane) {
            found = index;
        }
    });
    return found;
}

bool TPaneLayout::HasPane(int pane) const
{
    return LeafOf(pane) >= 0;
}

std::vector<int> TPaneLayout::Panes() const
{
    std::vector<int> out;
    Walk(m_root, TRect(), [&](int index, const TRect&) {
        const Node& node = m_nodes[static_cast<std::size_t>(index)];
        if (!node.IsSplit) {
            out.push_back(node.Pane);
        }
    });
    return out;
}

bool TPaneLayout::Split(int target, int newPane, TSplitDirection direction, double percent)
{
    if (direction == TSplitDirection::psNone || !(percent >= 0.0 && percent <= 1.0) || target == newPane ||
        HasPane(newPane)) {
        return false;
    }
    if (m_root < 0) {
        m_nodes.push_back(Node{.Pane = target});
        m_root = static_cast<int>(m_nodes.size()) - 1;
    }
    const int leaf = LeafOf(target);
    if (leaf < 0) {
        return false;
    }
    // The target's leaf becomes the split; the target and the new pane become its two parts.
    const int first = static_cast<int>(m_nodes.size());
    m_nodes.push_back(Node{.Pane = target, .Parent = leaf});
    m_nodes.push_back(Node{.Pane = newPane, .Parent = leaf});
    Node& split = m_nodes[static_cast<std::size_t>(leaf)];
    split.IsSplit = true;
    split.Direction = direction;
    split.Ratio = percent;
    split.First = first;
    split.Second = first + 1;
    return true;
}

bool TPaneLayout::Remove(int pane)
{
    const int leaf = LeafOf(pane);
    if (leaf < 0) {
        return false;
    }
    const int parent = m_nodes[static_cast<std::size_t>(leaf)].Parent;
    if (parent < 0) {
        m_nodes.clear();
        m_root = -1;
        return true;
    }
    // The sibling's subtree moves up into the parent's place.
    const Node& p = m_nodes[static_cast<std::size_t>(parent)];
    const int sibling = p.First == leaf ? p.Second : p.First;
    Node moved = m_nodes[static_cast<std::size_t>(sibling)];
    moved.Parent = p.Parent;
    m_nodes[static_cast<std::size_t>(parent)] = moved;
    if (moved.IsSplit) {
        m_nodes[static_cast<std::size_t>(moved.First)].Parent = parent;
        m_nodes[static_cast<std::size_t>(moved.Second)].Parent = parent;
    }
    return true;
}

std::vector<TPanePlace> TPaneLayout::Places(const TRect& client) const
{
    std::vector<TPanePlace> out;
    Walk(m_root, client, [&](int index, const TRect& rect) {
        const Node& node = m_nodes[static_cast<std::size_t>(index)];
        if (!node.IsSplit) {
            out.push_back(TPanePlace{node.Pane, rect});
        }
    });
    return out;
}

std::vector<TSplitterBar> TPaneLayout::Bars(const TRect& client) const
{
    std::vector<TSplitterBar> out;
    Walk(m_root, client, [&](int index, const TRect& rect) {
        const Node& node = m_nodes[static_cast<std::size_t>(index)];
        if (node.IsSplit) {
            out.push_back(TSplitterBar{index, node.Direction, Divide(node, rect).Bar});
        }
    });
    return out;
}

std::optional<TSplitterBar> TPaneLayout::BarAt(const TRect& client, TPoint point) const
{
    for (const TSplitterBar& bar : Bars(client)) {
        if (bar.Rect.Contains(point)) {
            return bar;
        }
    }
    return std::nullopt;
}

bool TPaneLayout::MoveBar(const TRect& client, int split, int position)
{
    std::optional<TRect> splitRect;
    Walk(m_root, client, [&](int index, const TRect& rect) {
        if (index == split && m_nodes[static_cast<std::size_t>(index)].IsSplit) {
            splitRect = rect;
        }
    });
    if (!splitRect) {
        return false;
    }
    Node& node = m_nodes[static_cast<std::size_t>(split)];
    const bool across = node.Direction == TSplitDirection::psHorizontal;
    const int start = across ? splitRect->top : splitRect->left;
    const int end = across ? splitRect->bottom : splitRect->right;
    const int available = end - start - kBarWidth;
    if (available <= 0) {
        return true;
    }
    node.Ratio = std::clamp(static_cast<double>(position - start) / available, 0.0, 1.0);
    return true;
}

std::optional<double> TPaneLayout::Ratio(int split) const
{
    if (split < 0 || split >= static_cast<int>(m_nodes.size()) || !m_nodes[static_cast<std::size_t>(split)].IsSplit) {
        return std::nullopt;
    }
    return m_nodes[static_cast<std::size_t>(split)].Ratio;
}

} // namespace qm::gui
