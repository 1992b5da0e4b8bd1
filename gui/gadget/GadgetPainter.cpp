// The standard gadgets' look: border styles, text, buttons with their glyphs, bitmap cells.
#include "gui/draw/Dc.h"
#include "gui/gadget/GadgetWindow.h"

namespace qm::gui {
namespace {

TColor Sys(int index)
{
    return TColor::FromSys(index);
}

TRect ScreenBounds(const TGadget& gadget)
{
    return gadget.GetBounds();
}

class TStandardPainter final : public TGadgetPainter {
public:
    void PaintBorder(const TGadget& gadget, TDC& dc) override
    {
        TRect r = ScreenBounds(gadget);
        switch (gadget.GetBorderStyle()) {
        case TGadget::None:
            return;
        case TGadget::Plain:
            dc.FrameRect(r, TBrush(Sys(COLOR_WINDOWFRAME)));
            return;
        case TGadget::Raised:
            dc.Draw3dRect(r, Sys(COLOR_BTNHIGHLIGHT), Sys(COLOR_BTNSHADOW));
            return;
        case TGadget::Recessed:
            dc.Draw3dRect(r, Sys(COLOR_BTNSHADOW), Sys(COLOR_BTNHIGHLIGHT));
            return;
        case TGadget::Embossed:
            dc.DrawEdge(r, EDGE_BUMP, BF_RECT);
            return;
        case TGadget::Grooved:
            dc.DrawEdge(r, EDGE_ETCHED, BF_RECT);
            return;
        case TGadget::ButtonUp:
            dc.DrawEdge(r, EDGE_RAISED, BF_RECT);
            return;
        case TGadget::ButtonDn:
        case TGadget::WellSet:
        case TGadget::WndRecessed:
            dc.DrawEdge(r, EDGE_SUNKEN, BF_RECT);
            return;
        }
    }

    void PaintGadget(const TGadget& gadget, TDC& dc) override
    {
        if (const auto* button = dynamic_cast<const TButtonGadget*>(&gadget)) {
            PaintButtonFace(*button, dc, Inner(*button));
        } else if (const auto* text = dynamic_cast<const TTextGadget*>(&gadget)) {
            PaintText(*text, dc);
        } else if (const auto* bitmap = dynamic_cast<const TBitmapGadget*>(&gadget)) {
            PaintBitmap(*bitmap, dc);
        }
    }

    void PaintButtonFace(const TButtonGadget& gadget, TDC& dc, const TRect& r) override
    {
        const bool down = gadget.IsPressed() || gadget.GetButtonState() == TButtonGadget::Down;
        if (gadget.GetButtonState() == TButtonGadget::Down && !gadget.IsPressed()) {
            // A latched button shows the dithered face of a checked one.
            dc.FillRect(r, TBrush::Dither(Sys(COLOR_BTNHIGHLIGHT), Sys(COLOR_BTNFACE)));
        } else {
            dc.FillRect(r, TBrush(Sys(COLOR_BTNFACE)));
        }
        const TBitmap* glyph = FindBitmapResource(gadget.GetGlyph());
        if (glyph == nullptr) {
            return;
        }
        const int offset = down ? 1 : 0;
        const TPoint at(r.left + (r.Width() - glyph->Width()) / 2 + offset,
                        r.top + (r.Height() - glyph->Height()) / 2 + offset);
        const TColor mask(RGB(192, 192, 192));
        if (gadget.GetEnabled()) {
            dc.DrawBitmap(at, *glyph, mask);
        } else {
            dc.DrawEmbossed(at, *glyph, mask);
        }
    }

private:
    static TRect Inner(const TGadget& gadget)
    {
        TRect inner;
        const_cast<TGadget&>(gadget).GetInnerRect(inner);
        return inner.OffsetBy(gadget.GetBounds().left, gadget.GetBounds().top);
    }

    static void PaintText(const TTextGadget& gadget, TDC& dc)
    {
        TRect inner = Inner(gadget);
        dc.FillRect(inner, TBrush(Sys(COLOR_BTNFACE)));
        if (auto* window = dynamic_cast<TGadgetWindow*>(gadget.GetGadgetWindow())) {
            dc.SelectObject(window->GetFont());
        }
        dc.SetBkMode(TRANSPARENT);
        dc.SetTextColor(Sys(gadget.GetEnabled() ? COLOR_BTNTEXT : COLOR_GRAYTEXT));
        const unsigned align = gadget.GetAlign() == TTextGadget::Center  ? DT_CENTER
                               : gadget.GetAlign() == TTextGadget::Right ? DT_RIGHT
                                                                         : DT_LEFT;
        dc.DrawText(gadget.GetText(), inner, align | DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX);
    }

    static void PaintBitmap(const TBitmapGadget& gadget, TDC& dc)
    {
        const TBitmap* bitmap = FindBitmapResource(gadget.GetImageResId());
        const TRect inner = Inner(gadget);
        dc.FillRect(inner, TBrush(Sys(COLOR_BTNFACE)));
        if (bitmap == nullptr || gadget.GetNumImages() <= 0) {
            return;
        }
        const int cell = bitmap->Width() / gadget.GetNumImages();
        TMemoryDC source;
        source.SelectBitmap(*bitmap);
        dc.BitBlt(TRect(inner.left, inner.top, inner.left + cell, inner.top + bitmap->Height()), source,
                  TPoint(cell * gadget.GetCurrentImage(), 0));
    }
};

} // namespace

TGadgetPainter& StandardGadgetPainter()
{
    static TStandardPainter painter;
    return painter;
}

} // namespace qm::gui
