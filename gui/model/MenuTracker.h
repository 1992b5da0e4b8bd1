// Tracking a pop-up menu: the keyboard, the mouse and the owner's notifications, as a state machine that the
// layer's pop-up windows feed with input and draw from. It sends the owner WM_ENTERMENULOOP, WM_INITMENU, one
// WM_INITMENUPOPUP each time a pop-up opens, WM_MENUSELECT on every change of the selected item (and the closing
// 0xFFFF one), WM_MENUCHAR for a character that is no item's mnemonic, WM_EXITMENULOOP; the chosen command is
// posted as WM_COMMAND only after all that, when tracking has ended.
#pragma once

#include "gui/model/Geometry.h"
#include "gui/model/Menu.h"
#include "gui/model/Messages.h"

#include <span>
#include <utility>
#include <vector>

namespace qm::gui {

/// The rectangles of a menu bar's items in bar coordinates: left to right by the sizes the items measure (an
/// owner-drawn item's from WM_MEASUREITEM), each line at least minHeight high; an item that does not fit the width
/// starts a new line, as does an item with MF_MENUBREAK or MF_MENUBARBREAK.
std::vector<TRect> LayoutMenuBar(HMENU bar, std::span<const TSize> itemSizes, int width, int minHeight);

/// What the tracker needs from the owner window and from the pop-up view.
class TMenuTrackerHost {
public:
    virtual ~TMenuTrackerHost() = default;
    /// Sends a message to the owner window and returns its answer.
    virtual LRESULT SendToOwner(UINT message, WPARAM wParam, LPARAM lParam) = 0;
    /// Posts a message to the owner window (the chosen command).
    virtual void PostToOwner(UINT message, WPARAM wParam, LPARAM lParam) = 0;
    /// The size of an item as it is drawn: the view measures strings and asks the owner (WM_MEASUREITEM) for
    /// owner-drawn items.
    virtual TSize MeasureItem(HMENU menu, int pos) = 0;

    /// A key that did nothing (WM_MENUCHAR answered 0).
    virtual void Beep() {}

    /// A pop-up window opens at level (0 the first) at its screen rectangle, or closes.
    virtual void PopupOpened(int /*level*/, HMENU /*menu*/, const TRect& /*screenRect*/) {}

    virtual void PopupClosed(int /*level*/) {}
};

class TMenuTracker {
public:
    /// Frame width of a pop-up window around its items, in pixels.
    static constexpr int kPopupBorder = 3;

    /// flags: TPM_* (alignment, TPM_RIGHTBUTTON, TPM_VERTICAL, TPM_RETURNCMD, TPM_NONOTIFY). exclude may be null.
    TMenuTracker(TMenuTrackerHost& host, HMENU menu, UINT flags, TPoint at, const TRect* exclude, const TRect& screen);

    /// Tracking of a menu bar: barItems are the screen rectangles of the bar's items (from LayoutMenuBar). The
    /// bar's pop-ups open below their item, or above it without room below.
    TMenuTracker(TMenuTrackerHost& host, HMENU bar, std::vector<TRect> barItems, const TRect& screen);

    /// Sends the opening notifications and opens the first pop-up. False when the handle is not a menu or it has
    /// no items (nothing is shown and tracking is over).
    bool Start();
    /// Menu-bar tracking: selects bar item 'index' (F10 or Alt: no pop-up; a click or Alt+letter: with its
    /// pop-up). False when the bar is not a menu or index is outside it.
    bool StartBar(int index, bool openPopup);

    /// Menu-bar tracking entered by Alt and a character: the bar item whose mnemonic ch is (a string item's, or
    /// the one WM_MENUCHAR names) opens its pop-up with the first item selected, or is chosen when it is a
    /// command. Returns whether tracking goes on: false when a bar command was chosen at once (Result() holds
    /// it), and, after a beep, when no item answers to ch or the bar is not a menu.
    bool StartBarByChar(char ch);

    /// The selected bar item in menu-bar tracking; -1 for none.
    int BarSelection() const { return m_barSel; }

    void KeyDown(int virtualKey);
    void Char(char ch);
    /// Mouse input in screen coordinates. button is VK_LBUTTON or VK_RBUTTON.
    void MouseMove(TPoint screen);
    void ButtonDown(int button, TPoint screen);
    void ButtonUp(int button, TPoint screen);
    /// Ends tracking with no command (focus lost, the owner cancelled).
    void Cancel();

    bool IsDone() const { return m_done; }

    /// The chosen command; 0 for none.
    UINT Result() const { return m_result; }

    int Depth() const { return static_cast<int>(m_levels.size()); }

    HMENU MenuAt(int level) const { return m_levels.at(static_cast<std::size_t>(level)).Menu; }

    /// The selected position at level; -1 for none.
    int SelectionAt(int level) const { return m_levels.at(static_cast<std::size_t>(level)).Selected; }

    TRect PopupRect(int level) const { return m_levels.at(static_cast<std::size_t>(level)).Rect; }

    /// The item's rectangle in screen coordinates (the rectangle WM_DRAWITEM gets, offset by the pop-up's origin).
    TRect ItemRect(int level, int pos) const;

private:
    struct Level {
        HMENU Menu{};
        TRect Rect;
        std::vector<TRect> Items; // relative to Rect's top-left
        int Selected = -1;
    };

    void Open(HMENU menu, int parentPos, TPoint at, const TRect* exclude, UINT flags);
    void OpenSubmenuOf(int level, bool selectFirst);
    void CloseDeeperThan(int level);
    void Select(int level, int pos, bool byMouse);
    void Execute(int level, int pos);
    void Finish(UINT command);
    void MoveSelection(int delta);
    bool HitTest(TPoint screen, int& level, int& pos) const;
    bool AllowedButton(int button) const;
    bool IsSelectable(HMENU menu, int pos) const;
    void SelectBar(int index);
    void OpenBarPopup(int index, bool selectFirst);
    void SwitchBar(int delta);
    bool BarKeyDown(int virtualKey);
    void BarChar(char ch);
    /// The bar item ch names and what to do with it: {position, MNC_EXECUTE or MNC_SELECT}, {-1, MNC_CLOSE},
    /// or {-1, MNC_IGNORE} when nothing answers.
    std::pair<int, int> FindBarItem(char ch);
    int BarItemAt(TPoint screen) const;
    void ExecuteBar(int index);

    TMenuTrackerHost& m_host;
    HMENU m_root;
    UINT m_flags;
    TPoint m_at;
    bool m_hasExclude = false;
    TRect m_exclude;
    TRect m_screen;
    std::vector<Level> m_levels;
    HMENU m_bar{};
    std::vector<TRect> m_barItems;
    int m_barSel = -1;
    bool m_done = false;
    bool m_leftOpeningPoint = false;
    UINT m_result = 0;
};

} // namespace qm::gui
