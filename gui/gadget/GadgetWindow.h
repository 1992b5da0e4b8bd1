// TGadgetWindow: a window that holds gadgets. The layout, hit testing, gadget capture and the idle pass are the
// model's TGadgetWindowCore; this window gives it a widget, paints the gadgets through the standard painter,
// feeds it the mouse (with enter and leave), and shows a gadget's tooltip.
#pragma once

#include "gui/draw/BitmapResources.h"
#include "gui/draw/GdiObjects.h"
#include "gui/gadget/Tooltip.h"
#include "gui/model/GadgetWindowCore.h"
#include "gui/window/Window.h"

#include <memory>
#include <optional>
#include <string>

namespace qm::gui {

/// Sent up the parent chain by a gadget window to show a command's status hint: wParam the command id (-1
/// clears the hint). A frame answers it.
inline constexpr UINT kMsgGadgetHint = 0x03F0;
/// Sent up the parent chain to fetch a command's tooltip: wParam the id, lParam a std::string* to fill; the
/// answer is 1 when the text was filled.
inline constexpr UINT kMsgGadgetTooltip = 0x03F1;

/// A gadget window's font given in points (on a 96-dpi screen), as bars are described: "MS Sans Serif" (drawn
/// with its bundled substitute), normal or bold, upright or italic.
struct TGadgetWindowFont : TFont {
    explicit TGadgetWindowFont(int pointSize = 10, bool bold = false, bool italic = false);
};

/// A window that holds bars (a docking slip): a gadget window sends its commands, command enabling, hints and
/// tooltip requests past it to the first window above it that holds no bars.
class TBarHolder {
public:
    virtual ~TBarHolder() = default;

    /// Places the bars again; the decorated frame calls it when its layout gave the holder another size.
    virtual void ReLayout() {}
};

/// The painter that draws the standard gadgets (text, button, bitmap, separator) and their border styles.
/// TGadgetWindow installs it when no painter is set.
TGadgetPainter& StandardGadgetPainter();

class TGadgetWindow
    : public TWindow
    , public TGadgetWindowHost
    , public TGadgetWindowCore {
public:
    TGadgetWindow(TWindow* parent = nullptr, TTileDirection direction = Horizontal, TFont font = TFont());
    ~TGadgetWindow() override;

    void SetFont(const TFont& font);

    const TFont& GetFont() const { return m_font; }

    /// The tooltip shown now (empty when none); the text comes from the parent chain (kMsgGadgetTooltip).
    const std::string& GetShownTooltip() const { return m_tooltip; }

    /// The bar's tooltip for the windows that stand in it (a control gadget's control registers here).
    TTooltip* GetTooltip() { return &m_tools; }

    // TGadgetWindowHost
    HWND GetHandle() const override { return TWindow::GetHandle(); }

    TSize GetClientSize() const override;
    void SetClientSize(const TSize& size) override;
    void NotifyParent(UINT message, WPARAM wParam, LPARAM lParam) override;
    void PostToSelf(UINT message, WPARAM wParam, LPARAM lParam) override;
    void SendCommandEnable(TCommandEnabler& enabler) override;

    void InvalidateRect(const TRect& rect, bool erase) override { TWindow::InvalidateRect(rect, erase); }

    void SetMouseCapture(bool capture) override;
    TSize MeasureText(std::string_view text) override;
    int GetFontHeight() override;
    int GetAverageCharWidth() override;
    TSize GetBitmapSize(int resId) override;
    void SetHintCommand(int id) override;

    bool IdleAction(long idleCount) override;
    void SetupWindow() override;
    LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override;
    void Paint(TDC& dc, bool erase, TRect& rect) override;
    /// Paints every visible gadget (borders, then contents) that meets rect.
    virtual void PaintGadgets(TDC& dc, bool erase, TRect& rect);

protected:
    void GetWindowClass(TWindowClass& windowClass) override;
    /// The mouse left the window (the Qt side reports it).
    void MouseLeftWindow();
    /// Shows or hides the tooltip of the gadget under the mouse.
    void UpdateTooltip();

private:
    /// The window that answers for the bar's gadgets: the parent, past the bar holders; null when it has no
    /// window.
    TWindow* Receiver() const;

    /// The font's average character width and height, measured once per font: layout asks for them for
    /// every text gadget at every pass.
    TSize CharSize();

    class TLeaveWatcher;
    TFont m_font;
    std::optional<TSize> m_charSize;
    std::string m_tooltip;
    int m_tooltipId = 0;
    std::unique_ptr<TLeaveWatcher> m_leaveWatcher;
    TTooltip m_tools;
};

} // namespace qm::gui
