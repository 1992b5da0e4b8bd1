// TWindow: the framework's window object. The object comes first and gets its window (a Qt widget) at Create;
// every message reaches it through WindowProc, in the order the event filter gives input (EventFilter.h).
#pragma once

#include "gui/draw/GdiObjects.h"
#include "gui/model/Color.h"
#include "gui/model/CursorResource.h"
#include "gui/model/DialogNavigation.h"
#include "gui/model/Geometry.h"
#include "gui/model/InputState.h"
#include "gui/model/Messages.h"
#include "gui/model/WinTypes.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class QWidget; // the window's widget; only the Qt side of the layer looks inside (WidgetOf)

namespace qm::gui {

class TApplication;
class TDC;
class TWindowWidget;

/// Creation attributes, read by Create (and kept current by the window's own changes of them).
struct TWindowAttr {
    DWORD Style = WS_CHILD | WS_VISIBLE;
    DWORD ExStyle = 0;
    int X = 0;
    int Y = 0;
    int W = 0;
    int H = 0;
    int Id = 0;
};

/// A window class: its name, class styles (CS_DBLCLKS asks for double-click messages), background brush colour
/// (none: WM_ERASEBKGND leaves the background alone) and cursor id.
struct TWindowClass {
    std::string Name = "OWL_Window";
    UINT Style = CS_DBLCLKS;
    bool HasBackground = true;
    TColor Background = TColor::FromSys(COLOR_WINDOW);
    int Cursor = IDC_ARROW;
};

/// SetWindowPos's z-order places.
inline constexpr std::uintptr_t kHwndTop = 0;
inline constexpr std::uintptr_t kHwndBottom = 1;
inline constexpr std::uintptr_t kHwndTopMost = static_cast<std::uintptr_t>(-1);
inline constexpr std::uintptr_t kHwndNoTopMost = static_cast<std::uintptr_t>(-2);

/// A window. Children are owned by their parent object (deleted with it); a child deleted earlier leaves its
/// parent's list. Single-threaded: every call comes from the thread that runs the application.
class TWindow {
public:
    explicit TWindow(TWindow* parent, std::string_view title = {});
    TWindow(const TWindow&) = delete;
    TWindow& operator=(const TWindow&) = delete;
    virtual ~TWindow();

    TWindowAttr Attr;

    // Life cycle.
    /// Makes the window (and, through SetupWindow, its children's windows). False when it already has one or
    /// the parent has none.
    virtual bool Create();
    /// Called right after the window exists; the base creates the child windows. Overrides call the base first.
    virtual void SetupWindow();
    /// Called right before the window goes; overrides call the base last.
    virtual void CleanupWindow();
    /// Destroys the window (children first), keeping the object. Inside a message handler the widget's deletion
    /// waits until the outermost dispatch has returned; the window counts as gone at once.
    virtual void Destroy(int retVal = 0);

    bool HasWindow() const { return m_widget != nullptr; }

    HWND GetHandle() const { return m_handle; }

    /// The window object of a handle of this process, or null.
    static TWindow* FromHandle(HWND handle);

    // Family.
    TWindow* GetParent() const { return m_parent; }

    void SetParent(TWindow* newParent);
    /// Children in z-order, top first.
    std::vector<TWindow*> GetChildren() const;
    /// Children in the order they were made (the tab order of a dialog).
    std::vector<TWindow*> GetChildrenInCreationOrder() const;
    TWindow* ChildWithId(int id) const;

    int GetId() const { return Attr.Id; }

    TApplication* GetApplication() const;
    /// The top-level window this one stands in (itself when it has no parent).
    TWindow* GetTopLevel();

    // Class, text, styles.
    virtual void GetWindowClass(TWindowClass& windowClass);

    const TWindowClass& GetClass() const { return m_class; }

    /// The window's text: a top-level window's title; for a standard control the text it shows (a label's or
    /// button's caption, an edit's contents), which GetWindowText then reads back.
    void SetCaption(std::string_view title);

    const std::string& GetCaption() const { return m_title; }

    void SetWindowText(std::string_view text) { SetCaption(text); }

    std::string GetWindowText() const;

    DWORD GetStyle() const { return Attr.Style; }

    void SetStyle(DWORD style);
    bool ModifyStyle(DWORD remove, DWORD add, UINT swpFlags = 0);

    DWORD GetExStyle() const { return Attr.ExStyle; }

    void SetExStyle(DWORD style);

    /// The window's font: standard controls draw with it; the window hears WM_SETFONT (wParam points at the
    /// font, lParam says whether to redraw). WM_SETFONT sent to a window sets its font the same way (a null
    /// font: the default); WM_GETFONT answers a pointer to the font given, null when none was.
    void SetWindowFont(const TFont& font, bool redraw = true);

    const TFont& GetWindowFont() const { return m_font; }

    // Placement and showing.
    bool ShowWindow(int cmdShow);
    bool IsWindowVisible() const;
    bool IsIconic() const;
    /// Position and size in the parent's client coordinates (screen coordinates for a top-level window).
    bool SetWindowPos(std::uintptr_t insertAfter, int x, int y, int cx, int cy, UINT flags);
    bool SetWindowPos(TWindow* insertAfter, int x, int y, int cx, int cy, UINT flags);
    void MoveWindow(int x, int y, int w, int h, bool repaint = false);

    void MoveWindow(const TRect& rect, bool repaint = false)
    {
        MoveWindow(rect.left, rect.top, rect.Width(), rect.Height(), repaint);
    }

    /// The window's rectangle in screen coordinates.
    TRect GetWindowRect() const;
    /// (0, 0, client width, client height).
    TRect GetClientRect() const;

    /// Space the non-client area takes on each side (from WM_NCCALCSIZE), as a rectangle of insets.
    TRect GetNonClientInsets() const { return m_ncInsets; }

    TPoint ClientToScreen(TPoint point) const;
    TPoint ScreenToClient(TPoint point) const;
    /// Maps a point from this window's client coordinates to to's (the screen when to is null).
    TPoint MapWindowPoint(const TWindow* to, TPoint point) const;

    // Painting.
    void Invalidate(bool erase = true);
    void InvalidateRect(const TRect& rect, bool erase = true);
    /// Paints now what is invalid (NCPAINT, ERASEBKGND, PAINT), without waiting for the event loop.
    void UpdateWindow();
    /// The window's own painting, called by the default WM_PAINT with a paint context. A standard control whose
    /// window handles WM_PAINT or overrides Paint is drawn by it instead of by its own look: on the parent's
    /// background, which shows through where the window draws nothing.
    virtual void Paint(TDC& dc, bool erase, TRect& rect);

    // Input state.
    bool EnableWindow(bool enable);
    bool IsWindowEnabled() const;
    /// Gives this window the keyboard focus; returns the window that had it (or null).
    TWindow* SetFocus();
    static TWindow* GetFocus();
    /// The window of this process under a screen point (the topmost, deepest one; a standard control's inner
    /// parts count as the control), or null where none is.
    static TWindow* WindowFromPoint(TPoint screen);
    bool SetForegroundWindow();
    void BringWindowToTop();
    /// Mouse capture: every mouse message goes to this window, also while it is hidden and while the mouse
    /// only hovers, until ReleaseCapture.
    void SetCapture();
    static void ReleaseCapture();
    static TWindow* GetCapture();
    /// Shows cursor (a handle from LoadCursor; 0 hides the pointer) and returns the one shown before. During a
    /// capture it holds everywhere until the capture ends.
    static HCURSOR SetCursor(HCURSOR cursor);
    static HCURSOR GetCursor();

    // Timers.
    UINT SetTimer(UINT id, UINT milliseconds);
    bool KillTimer(UINT id);

    // Messages.
    LRESULT SendMessage(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0);
    bool PostMessage(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0);
    /// The window's message handler. The base runs DefWindowProc; overrides handle what they want and pass the
    /// rest to the base.
    virtual LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam);
    /// The default handling of a message (for a standard control: the control's own behaviour).
    LRESULT DefWindowProc(UINT msg, WPARAM wParam, LPARAM lParam);
    /// Sees every queued message meant for this window or a descendant before it is dispatched; true eats it.
    virtual bool PreProcessMsg(MSG& msg);
    /// The keyboard accelerators of this (top-level) window: true when msg was translated into a command.
    virtual bool TranslateAccelerators(MSG& msg);
    /// Dialog keys (Tab, Enter, Escape) of this window: true when msg was one and was handled.
    virtual bool HandleDialogKeys(MSG& msg);

    /// What the dialog keyboard rules (Tab, arrows, mnemonics, the default button) take this window for: a
    /// control answers with its kind; any other window is Other.
    virtual TDialogControl::TKind GetDialogKind() const { return TDialogControl::Other; }

    /// Idle processing, once per wake-up of the event loop; the base passes it to the children.
    virtual bool IdleAction(long idleCount);
    /// Whether the window may close; the base asks every child.
    virtual bool CanClose();
    /// Sends WM_SYSCOLORCHANGE to this window and all its descendants.
    void BroadcastSysColorChange();

protected:
    /// Builds the widget for Create; the base makes the layer's own painted window. Standard controls return
    /// their Qt control. parentWidget is the parent's widget (null for a top-level window).
    virtual QWidget* MakeWidget(QWidget* parentWidget);
    /// What a WM_SETCURSOR over the client area does: shows cursor over this window (the class cursor by
    /// default; a window may show another over parts of its client area).
    void ShowClientCursor(HCURSOR cursor);

private:
    // The widget (null before Create and after Destroy) is reached through WidgetOf (gui/window/WindowWidget.h), a
    // header of the layer's own: no one outside the layer sees Qt through a window.
    QWidget* GetWidget() const { return m_widget; }

    friend class TWindowWidget;
    friend class TApplication;
    friend struct WindowInternals;

    void DestroyWidget();
    void RemoveChild(TWindow* child);

    TWindow* m_parent = nullptr;
    std::vector<std::unique_ptr<TWindow>> m_children; // creation order; z-order is kept by the widgets
    std::string m_title;
    TWindowClass m_class;
    QWidget* m_widget = nullptr;
    HWND m_handle = 0;
    TRect m_ncInsets;
    TFont m_font = DefaultGuiFont();
    bool m_fontSet = false;
    TSize m_lastSize{-1, -1};
    TPoint m_lastPos{-1000000, -1000000};
    bool m_classRead = false;
    std::map<UINT, std::unique_ptr<class TWindowTimer>> m_timers;
};

/// Posts to a handle: of this process straight into the queue, of another process through the platform's
/// window messages. False when the message was dropped.
bool PostMessage(HWND window, UINT msg, WPARAM wParam = 0, LPARAM lParam = 0);
/// Sends to a window of this process; 0 when the handle is not one.
LRESULT SendMessage(HWND window, UINT msg, WPARAM wParam = 0, LPARAM lParam = 0);

} // namespace qm::gui
