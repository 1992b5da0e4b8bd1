// The layout of a decorated frame: decorations (tool bar slips, the status bar) stacked along the edges of the
// frame's client area, the client window in what remains; and the status hint a menu selection shows.
#pragma once

#include "gui/model/Geometry.h"
#include "gui/model/Messages.h"

#include <optional>
#include <string>
#include <vector>

namespace qm::gui {

/// The framework's edge codes: 0 floating (no edge), 1 top, 2 bottom, 3 left, 4 right.
enum TAbsLocation {
    alNone = 0,
    alTop = 1,
    alBottom = 2,
    alLeft = 3,
    alRight = 4
};

/// Decorations by key, in insertion order per edge. A newer decoration stands nearer the client than the older
/// ones of its edge. Top and bottom decorations span the frame's width; left and right ones the height between
/// them. A hidden decoration takes no room.
class TDecorationLayout {
public:
    /// Adds or moves a decoration. size: its height (top, bottom) or width (left, right) is used.
    void Insert(int key, TAbsLocation location, TSize desired);
    void Remove(int key);
    void SetDesiredSize(int key, TSize desired);
    void SetVisible(int key, bool visible);
    bool Contains(int key) const;

    struct TPlaced {
        int Key = 0;
        TRect Rect;
    };

    struct TResult {
        std::vector<TPlaced> Decorations; // visible ones, in insertion order
        TRect Client;
    };

    /// Places everything inside the frame's client rectangle. A frame too small leaves the client empty (never
    /// inverted) and cuts the decorations that come last.
    TResult Layout(const TRect& frameClient) const;

private:
    struct Entry {
        int Key = 0;
        TAbsLocation Location = alNone;
        TSize Desired;
        bool Visible = true;
    };

    std::vector<Entry> m_entries;
};

/// What a frame with menu-selection tracking shows in its status bar for a WM_MENUSELECT: the hint of the
/// selected command, an empty hint for submenus and separators, or none when the menu closed (the status bar's
/// own text comes back).
std::optional<std::string> MenuSelectHint(WPARAM wParam, LPARAM lParam);

} // namespace qm::gui
