// TStatusBar: the frame's bottom bar: a hint area that takes the room left, further text gadgets shrink-wrapped
// to their text, recessed borders, and a size grip at the right end when the frame can be resized.
#pragma once

#include "gui/gadget/GadgetWindow.h"

#include <string>

namespace qm::gui {

class TStatusBar : public TGadgetWindow {
public:
    explicit TStatusBar(TWindow* parent = nullptr, TGadget::TBorderStyle borderStyle = TGadget::Recessed,
                        TFont font = TFont());

    /// The hint area's text; SetHintText shows a hint over it until ClearHintText.
    void SetText(std::string_view text);
    void SetHintText(std::string_view hint);
    void ClearHintText();
    std::string GetHintAreaText() const;

    /// Adds a text gadget after the others (shrink-wrapped to its text, with the bar's border style).
    TTextGadget* AddTextGadget(int id, std::string_view text);

    /// Whether the size grip shows: the bar stands at the bottom of a resizable top-level window.
    bool ShowsSizeGrip() const;
    /// The grip's square in client coordinates (empty when it does not show).
    TRect SizeGripRect() const;

    void Paint(TDC& dc, bool erase, TRect& rect) override;
    LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override;
    void LayoutSession() override;

private:
    TGadget::TBorderStyle m_style;
    TTextGadget* m_hintArea;
    std::string m_text;
    bool m_showingHint = false;
};

} // namespace qm::gui
