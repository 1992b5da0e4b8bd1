// The arrangement of a pane splitter: panes split in two, again and again, each split with its direction, the
// share of its first part and the bar between the parts. Plain geometry, so it is tested without a display.
#pragma once

#include "gui/model/Geometry.h"

#include <optional>
#include <vector>

namespace qm::gui {

/// How a pane is split: psHorizontal puts a horizontal bar between a pane above and one below, psVertical a
/// vertical bar between a pane on the left and one on the right.
enum class TSplitDirection {
    psHorizontal,
    psVertical,
    psNone
};

/// A pane's place: the caller's pane key and its rectangle.
struct TPanePlace {
    int Pane = 0;
    TRect Rect;
};

/// A splitter bar: which split it belongs to, its direction and its rectangle.
struct TSplitterBar {
    int Split = 0;
    TSplitDirection Direction = TSplitDirection::psNone;
    TRect Rect;
};

/// The split tree of a pane splitter. Panes are keys the caller chooses (distinct, any int).
class TPaneLayout {
public:
    /// The thickness of a splitter bar in pixels.
    static constexpr int kBarWidth = 4;

    bool IsEmpty() const { return m_nodes.empty(); }

    bool HasPane(int pane) const;
    /// The panes in layout order (a split's first part before its second).
    std::vector<int> Panes() const;
    /// Makes newPane take the share 1 - percent of target's place, below (psHorizontal) or right of
    /// (psVertical) it. On an empty layout target becomes the first pane. False when target is not a pane (of a
    /// non-empty layout), newPane already is one, they are the same, the direction is psNone or percent is not
    /// within 0..1.
    bool Split(int target, int newPane, TSplitDirection direction, double percent);
    /// Takes a pane out; its sibling takes the whole place of their split. False when it is not a pane.
    bool Remove(int pane);
    /// Every pane's rectangle inside client.
    std::vector<TPanePlace> Places(const TRect& client) const;
    /// Every bar's rectangle inside client.
    std::vector<TSplitterBar> Bars(const TRect& client) const;
    /// The bar under point, if any.
    std::optional<TSplitterBar> BarAt(const TRect& client, TPoint point) const;
    /// Moves the bar of split so that its leading edge lies at position (x for a vertical bar, y for a
    /// horizontal one), kept within its split's rectangle. False when split is not a split.
    bool MoveBar(const TRect& client, int split, int position);
    /// The first part's share of split (0..1); nothing when split is not a split.
    std::optional<double> Ratio(int split) const;

private:
    struct Node {
        bool IsSplit = false;
        int Pane = 0; // leaves
        TSplitDirection Direction = TSplitDirection::psNone;
        double Ratio = 0.5;
        int First = -1;
        int Second = -1;
        int Parent = -1;
    };

    struct Parts {
        TRect First;
        TRect Bar;
        TRect Second;
    };

    static Parts Divide(const Node& split, const TRect& rect);
    int LeafOf(int pane) const;
    /// Calls visit(node, rect) for every node below start, parents first.
    template <typename Visit>
    void Walk(int start, const TRect& rect, Visit&& visit) const;

    std::vector<Node> m_nodes; // node 0 is the root; removed nodes stay as unreachable entries
    int m_root = -1;
};

} // namespace qm::gui
