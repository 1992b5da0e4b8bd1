// The windowless part of a gadget window: its gadgets in order, their layout (horizontal, vertical or in rows,
// with margins, separators, shrink-wrapping and wide-as-possible gadgets), hit testing, the gadget that holds the
// mouse capture, mouse routing and the idle pass. The window itself (Qt side) derives from it and answers the
// host calls.
#pragma once

#include "gui/model/Gadget.h"
#include "gui/model/Messages.h"

#include <memory>
#include <string_view>
#include <vector>

namespace qm::gui {

/// What the layout needs from its window.
class TGadgetWindowHost {
public:
    virtual ~TGadgetWindowHost() = default;
    virtual HWND GetHandle() const = 0;
    /// The window's current client size.
    virtual TSize GetClientSize() const = 0;
    /// Resizes the window to a new client size (the window's shrink-wrapped size changed).
    virtual void SetClientSize(const TSize& size) = 0;
    /// Sends a message to the parent window (WM_PARENTNOTIFY after a size change).
    virtual void NotifyParent(UINT message, WPARAM wParam, LPARAM lParam) = 0;
    /// Posts a message to the window itself (a button's WM_COMMAND).
    virtual void PostToSelf(UINT message, WPARAM wParam, LPARAM lParam) = 0;
    /// Asks the command chain about an enabler (the window's parent frame routes it).
    virtual void SendCommandEnable(TCommandEnabler& enabler) = 0;
    virtual void InvalidateRect(const TRect& rect, bool erase) = 0;
    /// Takes or releases the window's mouse capture for a gadget.
    virtual void SetMouseCapture(bool capture) = 0;
    /// Text measurement with the window's font.
    virtual TSize MeasureText(std::string_view text) = 0;
    virtual int GetFontHeight() = 0;
    virtual int GetAverageCharWidth() = 0;
    /// The size of a bitmap resource; (0, 0) when there is none.
    virtual TSize GetBitmapSize(int resId) = 0;

    /// Shows the hint of a command (the frame's status bar); -1 takes the hint away.
    virtual void SetHintCommand(int /*id*/) {}
};

class TGadgetWindowCore {
public:
    enum TTileDirection {
        Horizontal,
        Vertical,
        Rectangular
    };

    enum TPlacement {
        Before,
        After
    };

    /// When a gadget's hint shows: never, while a button is pressed, or as soon as the mouse is over a gadget.
    enum THintMode {
        NoHints = 0,
        PressHints = 1,
        EnterHints = 2
    };

    explicit TGadgetWindowCore(TGadgetWindowHost& host, TTileDirection direction = Horizontal);
    virtual ~TGadgetWindowCore();
    TGadgetWindowCore(const TGadgetWindowCore&) = delete;
    TGadgetWindowCore& operator=(const TGadgetWindowCore&) = delete;

    TGadgetWindowHost& GetHost() const { return m_host; }

    /// Takes the gadget: before or after sibling; with no sibling, After appends and Before prepends. Lays out
    /// once laid out before. Returns the gadget.
    TGadget* Insert(std::unique_ptr<TGadget> gadget, TPlacement placement = After, TGadget* sibling = nullptr);
    /// Gives the gadget back to the caller; null when it is not in this window. Does not lay out.
    std::unique_ptr<TGadget> Remove(TGadget& gadget);

    TGadget* FirstGadget() const { return m_gadgets.empty() ? nullptr : m_gadgets.front().get(); }

    TGadget* NextGadget(const TGadget& gadget) const;
    TGadget* PrevGadget(const TGadget& gadget) const;

    TGadget* LastGadget() const { return m_gadgets.empty() ? nullptr : m_gadgets.back().get(); }

    int GadgetCount() const { return static_cast<int>(m_gadgets.size()); }

    TGadget* GadgetWithId(int id) const;
    /// The visible gadget whose bounds hold the point; null for none.
    TGadget* GadgetFromPoint(const TPoint& point) const;

    TTileDirection GetDirection() const { return m_direction; }

    virtual void SetDirection(TTileDirection direction);

    const TMargins& GetMargins() const { return m_margins; }

    void SetMargins(const TMargins& margins);
    /// Rows of a row layout wrap at width; rowMargin pixels lie between rows.
    void SetRectangularDimensions(int width, int rowMargin = 4);
    /// The window takes the size its gadgets want across (and along) its direction.
    void SetShrinkWrap(bool width, bool height);
    /// Pixels between neighbouring gadgets of a line (a status bar's spacing).
    void SetSpacing(int spacing);

    int GetSpacing() const { return m_spacing; }

    THintMode GetHintMode() const { return m_hintMode; }

    void SetHintMode(THintMode mode) { m_hintMode = mode; }

    /// Shows a gadget's hint through the host unless the id is 0 (separators, plain gadgets); -1 clears.
    void SetHintCommand(int id);

    /// The client size the gadgets want.
    virtual void GetDesiredSize(TSize& size);
    /// Places every gadget; when the shrink-wrapped size changed, resizes the window and sends the parent
    /// WM_PARENTNOTIFY (WM_SIZE, the window's handle).
    virtual void LayoutSession();
    /// A gadget's desired size changed.
    void GadgetChangedSize(TGadget& gadget);

    /// Mouse input in client coordinates; a double-click is a press (two fast clicks are two clicks).
    void MouseMove(UINT modKeys, const TPoint& point);
    void LButtonDown(UINT modKeys, const TPoint& point);

    void LButtonDblClk(UINT modKeys, const TPoint& point) { LButtonDown(modKeys, point); }

    void LButtonUp(UINT modKeys, const TPoint& point);
    /// The mouse left the window.
    void MouseLeft();

    /// Routes the mouse to gadget until released. False when another gadget holds it.
    bool GadgetSetCapture(TGadget& gadget);
    void GadgetReleaseCapture(TGadget& gadget);

    TGadget* GetCapturedGadget() const { return m_capture; }

    TGadget* GetGadgetAtMouse() const { return m_atMouse; }

    /// The idle pass: every gadget's CommandEnable and IdleAction. True when some gadget wants more idle time.
    virtual bool IdleAction(long idleCount);
    /// A system colour change reaches every gadget.
    void SysColorChange();

private:
    // Computes the layout and, with apply, gives every gadget its bounds. Returns the client size it needs.
    TSize LayoutAll(bool apply);
    std::size_t IndexOf(const TGadget& gadget) const;

    TGadgetWindowHost& m_host;
    TTileDirection m_direction;
    TMargins m_margins;
    int m_rowWidth = 0;
    int m_rowMargin = 4;
    int m_spacing = 0;
    THintMode m_hintMode = PressHints;
    int m_hintShown = -1;
    bool m_shrinkWrapWidth = false;
    bool m_shrinkWrapHeight = true;
    bool m_laidOut = false;
    bool m_inLayout = false;
    std::vector<std::unique_ptr<TGadget>> m_gadgets;
    TGadget* m_capture = nullptr;
    TGadget* m_atMouse = nullptr;
};

} // namespace qm::gui
