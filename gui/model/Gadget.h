// Gadgets: the windowless items of a gadget window (tool and status bars) with their bounds, desired size,
// borders, margins and flags, their mouse behaviour and command enabling. Painting goes through a painter that
// the Qt side installs, so this part builds and runs without a display.
#pragma once

#include "gui/model/CommandEnabler.h"
#include "gui/model/Geometry.h"
#include "gui/model/WinTypes.h"

#include <string>
#include <string_view>

namespace qm::gui {

class TGadgetWindowCore;
class TGadget;
class TButtonGadget;
class TTextGadget;

/// Space around a gadget's or gadget window's contents, in pixels.
struct TMargins {
    int Left = 0;
    int Right = 0;
    int Top = 0;
    int Bottom = 0;

    friend bool operator==(const TMargins&, const TMargins&) = default;
};

/// Draws the standard gadgets; installed by the Qt side. Without one, gadgets paint nothing.
class TGadgetPainter {
public:
    virtual ~TGadgetPainter() = default;
    virtual void PaintBorder(const TGadget& gadget, TDC& dc) = 0;
    virtual void PaintGadget(const TGadget& gadget, TDC& dc) = 0;
    /// A button's face in rect (window client coordinates): the face colour (the dithered face of a latched
    /// button), the glyph centred, one pixel right and down while pressed or down, embossed when disabled.
    virtual void PaintButtonFace(const TButtonGadget& button, TDC& dc, const TRect& rect) = 0;
};

void SetGadgetPainter(TGadgetPainter* painter);
TGadgetPainter* GetGadgetPainter();

class TGadget {
public:
    enum TBorderStyle {
        None,
        Plain,
        Raised,
        Recessed,
        Embossed,
        Grooved,
        ButtonUp,
        ButtonDn,
        WellSet,
        WndRecessed
    };

    struct TBorders {
        int Left = 0;
        int Right = 0;
        int Top = 0;
        int Bottom = 0;
    };

    explicit TGadget(int id = 0, TBorderStyle style = None);
    virtual ~TGadget() = default;
    TGadget(const TGadget&) = delete;
    TGadget& operator=(const TGadget&) = delete;

    int GetId() const { return m_id; }

    /// The window the gadget stands in; null until inserted.
    TGadgetWindowCore* GetGadgetWindow() const { return m_window; }

    TGadget* NextGadget() const;

    /// Bounds in the window's client coordinates, set by the window's layout.
    const TRect& GetBounds() const { return m_bounds; }

    virtual void SetBounds(const TRect& bounds);
    /// The size used when the gadget does not shrink-wrap.
    void SetSize(const TSize& size);

    TBorderStyle GetBorderStyle() const { return m_borderStyle; }

    /// Also sets the border widths: none 0, plain/raised/recessed 1, the others 2.
    void SetBorderStyle(TBorderStyle style);

    const TBorders& GetBorders() const { return m_borders; }

    void SetBorders(const TBorders& borders);

    const TMargins& GetMargins() const { return m_margins; }

    void SetMargins(const TMargins& margins);

    void SetShrinkWrap(bool width, bool height);

    bool GetShrinkWrapWidth() const { return m_shrinkWrapWidth; }

    bool GetShrinkWrapHeight() const { return m_shrinkWrapHeight; }

    /// In a horizontal (vertical) window, takes the width (height) that the other gadgets leave.
    bool WideAsPossible = false;

    bool IsVisible() const { return m_visible; }

    void SetVisible(bool visible);

    bool GetEnabled() const { return m_enabled; }

    virtual void SetEnabled(bool enabled);

    /// A row ends after this gadget in a row layout: set by the program, or by the layout where a row wrapped.
    bool IsEndOfRow() const { return m_endOfRow || m_wrapsRow; }

    void SetEndOfRow(bool endOfRow);

    /// For the layout only: marks the gadget as the last of a row that wrapped.
    void SetWrapsRowFromLayout(bool wraps) { m_wrapsRow = wraps; }

    /// The size the gadget asks for: borders and margins plus contents; the current size in a direction it does
    /// not shrink-wrap.
    virtual void GetDesiredSize(TSize& size);
    /// The area inside borders and margins, relative to the gadget's top-left corner.
    virtual void GetInnerRect(TRect& rect);

    bool PtIn(const TPoint& point) const { return m_visible && m_bounds.Contains(point); }

    virtual void Inserted() {}

    virtual void Removed() {}

    /// Mouse input in the window's client coordinates.
    virtual void MouseEnter(UINT modKeys, const TPoint& point);
    virtual void MouseMove(UINT modKeys, const TPoint& point);
    virtual void MouseLeave(UINT modKeys, const TPoint& point);
    virtual void LButtonDown(UINT modKeys, const TPoint& point);
    virtual void LButtonUp(UINT modKeys, const TPoint& point);

    /// Called on the window's idle pass: asks the command chain about the gadget's command.
    virtual void CommandEnable() {}

    virtual void SysColorChange() {}

    virtual bool IdleAction(long /*idleCount*/) { return false; }

    virtual void Paint(TDC& dc);
    virtual void PaintBorder(TDC& dc);

    /// Asks the window to repaint the gadget's bounds.
    void Invalidate(bool erase = true);

protected:
    // The window sets m_window as the gadget joins and leaves it.
    friend class TGadgetWindowCore;

    /// Lets the window lay out again after the desired size changed.
    void ChangedSize();

    int m_id;
    TRect m_bounds;
    TBorderStyle m_borderStyle = None;
    TBorders m_borders;
    TMargins m_margins;
    bool m_shrinkWrapWidth = true;
    bool m_shrinkWrapHeight = true;
    bool m_visible = true;
    bool m_enabled = true;
    bool m_endOfRow = false;
    bool m_wrapsRow = false;
    TGadgetWindowCore* m_window = nullptr;
};

/// Empty space between gadgets: 'size' pixels along the window's direction (0: six border widths, 6 pixels),
/// the line's thickness across it.
class TSeparatorGadget : public TGadget {
public:
    explicit TSeparatorGadget(int size = 0, int id = 0);
    void GetDesiredSize(TSize& size) override;

    int GetSeparatorSize() const { return m_size; }

private:
    int m_size;
};

/// Text in a gadget: shrink-wrapped it is as wide as its text, otherwise as wide as numChars average characters.
class TTextGadget : public TGadget {
public:
    enum TAlign {
        Left,
        Center,
        Right
    };

    explicit TTextGadget(int id = 0, TBorderStyle style = Recessed, TAlign align = Left, int numChars = 10,
                         std::string_view text = {});

    const std::string& GetText() const { return m_text; }

    /// A shrink-wrapped gadget whose text width changes lets the window lay out again.
    void SetText(std::string_view text);

    TAlign GetAlign() const { return m_align; }

    int GetNumChars() const { return m_numChars; }

    void GetDesiredSize(TSize& size) override;

private:
    std::string m_text;
    TAlign m_align;
    int m_numChars;
};

/// One cell of a bitmap resource that holds numImages cells side by side; the cell shown can change.
class TBitmapGadget : public TGadget {
public:
    /// sharedResource: the bitmap is shared with other gadgets (kept for the callers' argument lists; a bitmap
    /// resource is never owned by a gadget here).
    TBitmapGadget(int imageResId, int id, TBorderStyle style, int numImages, int startImage = 0,
                  bool sharedResource = false);

    int GetImageResId() const { return m_imageResId; }

    int GetNumImages() const { return m_numImages; }

    int GetCurrentImage() const { return m_current; }

    bool GetSharedResource() const { return m_shared; }

    /// Shows another cell; returns the previous one. A number outside the cells is refused (the old stays).
    int SelectImage(int imageNum);
    /// The cell size (the bitmap's width divided by the number of cells) plus borders and margins.
    void GetDesiredSize(TSize& size) override;

private:
    int m_imageResId;
    int m_numImages;
    int m_current;
    bool m_shared;
};

/// A push button with a glyph: pressed while the left button is held over it, it acts when released over it.
class TButtonGadget : public TGadget {
public:
    enum TType {
        Command,
        Exclusive,
        NonExclusive,
        SemiExclusive,
        RepeatCmd
    };

    enum TState {
        Up,
        Down,
        Indeterminate
    };

    /// sharedGlyph: the glyph resource is shared with other buttons (kept for the callers' argument lists; a
    /// glyph is never owned by a button here).
    TButtonGadget(int glyphResId, int id, TType type = Command, bool enabled = false, TState state = Up,
                  bool sharedGlyph = false);

    int GetGlyph() const { return m_glyph; }

    bool GetSharedGlyph() const { return m_sharedGlyph; }

    TType GetButtonType() const { return m_type; }

    TState GetButtonState() const { return m_state; }

    virtual void SetButtonState(TState state);

    bool IsPressed() const { return m_pressed; }

    /// Glyph size + 7 pixels each way (borders and the press offset), plus margins.
    void GetDesiredSize(TSize& size) override;
    void LButtonDown(UINT modKeys, const TPoint& point) override;
    void MouseMove(UINT modKeys, const TPoint& point) override;
    void LButtonUp(UINT modKeys, const TPoint& point) override;
    void CommandEnable() override;
    /// The border by the border style, then the face in the inner rectangle.
    void Paint(TDC& dc) override;

protected:
    /// Paints the face in rect (window client coordinates) with the standard painter.
    virtual void PaintFace(TDC& dc, const TRect& rect);
    /// Called whenever the pressed look or the state changed: the button shows ButtonDn while pressed or down,
    /// ButtonUp otherwise. A derived button may choose its own border styles here.
    virtual void UpdateBorderStyle();
    virtual void BeginPressed(const TPoint& point);
    virtual void CancelPressed(const TPoint& point);
    /// The click: by type, then WM_COMMAND with the id is posted to the window.
    virtual void Activate(const TPoint& point);

    int m_glyph;
    TType m_type;
    TState m_state;
    bool m_sharedGlyph;
    bool m_pressed = false;
};

/// The enabler a button gadget sends on the idle pass: Enable sets the gadget's enabled state, SetCheck its
/// button state, SetText does nothing.
class TButtonGadgetEnabler : public TCommandEnabler {
public:
    TButtonGadgetEnabler(HWND receiver, TButtonGadget& gadget)
        : TCommandEnabler(static_cast<UINT>(gadget.GetId()), receiver)
        , m_gadget(gadget)
    {}

    void Enable(bool enable = true) override;
    void SetCheck(int state) override;
    void SetText(std::string_view text) override;

private:
    TButtonGadget& m_gadget;
};

} // namespace qm::gui
