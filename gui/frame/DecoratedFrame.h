// TDecoratedFrame: a frame with decorations (bars, slips, the status bar) along its edges, laid out by the model's
// decoration layout, and status hints for menu selections and gadgets.
#pragma once

#include "gui/frame/FrameWindow.h"
#include "gui/model/Accelerator.h"
#include "gui/model/FrameLayout.h"

#include <string>

namespace qm::gui {

class TStatusBar;

class TDecoratedFrame : public TFrameWindow {
public:
    TDecoratedFrame(TWindow* parent, std::string_view title = {}, TWindow* client = nullptr,
                    bool trackMenuSelection = false);

    /// Adds a decoration at an edge (it becomes the frame's child). A status bar at the bottom shows the hints.
    void Insert(TWindow& decoration, TAbsLocation location);
    /// Takes a decoration off its edge (the window stays the frame's child).
    void RemoveDecoration(TWindow& decoration);
    bool HasDecoration(const TWindow& decoration) const;

    /// Places decorations and client again, now.
    void ReLayout() { Layout(); }

    /// The hint text of a command: kind htStatus for the status bar, htTooltip for a tooltip. The base gives the
    /// command's string resource ("hint\ncaption") split by kind; empty when there is none.
    virtual std::string GetHintText(int id, THintText kind) const;
    /// Shows a command's hint in the status bar (-1 gives the bar its own text back).
    void SetHintCommand(int id);

    TStatusBar* GetStatusBar() const { return m_statusBar; }

    LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override;

protected:
    void Layout() override;
    void MenuSelect(WPARAM wParam, LPARAM lParam) override;

private:
    TSize DesiredSizeOf(TWindow& decoration) const;

    TDecorationLayout m_layout;
    std::vector<TWindow*> m_decorations; // keys are indexes here
    TStatusBar* m_statusBar = nullptr;
    bool m_trackMenuSelection;
    bool m_inLayout = false;
};

/// The nearest decorated frame up the parent chain of window (window itself excluded), or null.
TDecoratedFrame* FindDecoratedFrame(TWindow* window);
/// The hint of a command from the nearest decorated frame above window (empty when there is none).
std::string GetFrameHintText(TWindow* window, int id, THintText kind);

} // namespace qm::gui
