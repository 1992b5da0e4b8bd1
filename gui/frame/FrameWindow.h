// TFrameWindow: a top-level window with a client window and a menu bar. The bar lives in the non-client area,
// measured and drawn by the owner-draw rules, and is tracked by the layer's menus. Commands go from the client
// to the frame to the application; menu items and gadgets are enabled along the same chain, with auto-enable.
#pragma once

#include "gui/model/CommandEnabler.h"
#include "gui/model/Menu.h"
#include "gui/window/Window.h"

#include <vector>

namespace qm::gui {

class TFrameWindow
    : public TWindow
    , public TCommandTarget {
public:
    /// client (may be null) becomes the frame's child and fills its client area.
    TFrameWindow(TWindow* parent, std::string_view title = {}, TWindow* client = nullptr);
    ~TFrameWindow() override;

    TWindow* GetClientWindow() const { return m_client; }

    /// Replaces the client window; returns the old one (still the frame's child).
    TWindow* SetClientWindow(TWindow* client);

    /// Gives the frame a menu bar; the frame owns it and destroys the previous one.
    bool AssignMenu(HMENU menu);
    bool AssignMenu(int resId);

    HMENU GetMenu() const { return m_menu; }

    /// Lays the bar out again and repaints it (after its items changed).
    void DrawMenuBar();
    /// The bar's item rectangles in screen coordinates (empty without a menu or a window).
    std::vector<TRect> GetMenuBarItemRects() const;

    /// The frame's icon (the window manager's large one) and small icon by id; without a small icon the
    /// large one is scaled. False (and nothing changed) when the id is not registered.
    bool SetIcon(int iconId);
    bool SetIconSm(int iconId);

    TAutoEnable AutoEnable = TAutoEnable::On;

    /// The receivers of a command: the client, the frame, the application (those that are command targets).
    std::vector<TCommandTarget*> CommandChain() const;

    LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override;
    void SetupWindow() override;

protected:
    /// Places the client window in the client area; decorated frames place their decorations too.
    virtual void Layout();
    /// A WM_MENUSELECT while the frame's menus are tracked.
    virtual void MenuSelect(WPARAM wParam, LPARAM lParam);
    /// The answer to WM_MENUCHAR; 0 (beep) by default.
    virtual LRESULT MenuChar(WPARAM wParam, LPARAM lParam);

private:
    int MenuBarHeight(int width) const;
    TRect MenuBarRect() const; // window coordinates
    void PaintMenuBar();
    void ShowIcon();
    /// Makes slot (the large or the small icon) iconId and shows the icons; false when iconId is not registered.
    bool ShowIcon(int& slot, int iconId);

    TWindow* m_client = nullptr;
    HMENU m_menu{};
    int m_iconId = 0;
    int m_iconSmId = 0;
    mutable std::vector<TRect> m_barItems; // bar coordinates, from the last layout
};

} // namespace qm::gui
