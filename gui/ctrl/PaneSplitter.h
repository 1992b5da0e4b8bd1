// The pane splitter: a window whose client area is shared by pane windows, split again and again by bars the
// user drags.
#pragma once

#include "gui/model/PaneLayout.h"
#include "gui/window/Window.h"

#include <map>
#include <optional>

namespace qm::gui {

/// A pane splitter. Panes are child windows of the splitter (SplitPane makes them so, and gives them their
/// windows when the splitter has one); they follow every size change and every drag of a bar.
class TPaneSplitter : public TWindow {
public:
    explicit TPaneSplitter(TWindow* parent, std::string_view title = {});

    /// Gives newPane the share 1 - percent of target's place, below target (psHorizontal) or right of it
    /// (psVertical). On a splitter without panes target becomes the first pane. False when a pane is null,
    /// target is not a pane (of a splitter that has some), newPane already is one, the direction is psNone or
    /// percent is outside 0..1.
    bool SplitPane(TWindow* target, TWindow* newPane, TSplitDirection direction, float percent = 0.5f);

    int PaneCount() const { return static_cast<int>(m_panes.size()); }

    /// The pane windows in layout order.
    std::vector<TWindow*> GetPanes() const;

    void SetupWindow() override;
    void Paint(TDC& dc, bool erase, TRect& rect) override;
    LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override;

private:
    /// Moves every pane to its place.
    void Layout();
    int KeyOf(const TWindow* pane) const;

    TPaneLayout m_layout;
    std::map<int, TWindow*> m_panes; // layout key to pane; panes are owned as children
    int m_nextKey = 1;

    struct Drag {
        int Split = 0;
        bool Across = false; // a horizontal bar, moving up and down
        int Grab = 0;        // where on the bar it was taken, from its leading edge
    };

    std::optional<Drag> m_drag;
};

} // namespace qm::gui
