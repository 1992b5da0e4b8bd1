// The status bar: hint area, text gadgets and the size grip.
#include "gui/frame/StatusBar.h"

#include "gui/draw/Dc.h"

namespace qm::gui {
namespace {
constexpr int kGripSize = 13;
}

TStatusBar::TStatusBar(TWindow* parent, TGadget::TBorderStyle borderStyle, TFont font)
    : TGadgetWindow(parent, Horizontal, std::move(font))
    , m_style(borderStyle)
{
    SetMargins(TMargins{2, 2, 2, 2});
    SetSpacing(2);
    SetShrinkWrap(false, true);
    auto hint = std::make_unique<TTextGadget>(0, borderStyle, TTextGadget::Left, 10);
    hint->WideAsPossible = true;
    hint->SetMargins(TMargins{2, 2, 1, 1});
    m_hintArea = static_cast<TTextGadget*>(Insert(std::move(hint)));
}

void TStatusBar::SetText(std::string_view text)
{
    m_text = text;
    if (!m_showingHint) {
        m_hintArea->SetText(text);
    }
}

void TStatusBar::SetHintText(std::string_view hint)
{
    m_showingHint = true;
    m_hintArea->SetText(hint);
}

void TStatusBar::ClearHintText()
{
    m_showingHint = false;
    m_hintArea->SetText(m_text);
}

std::string TStatusBar::GetHintAreaText() const
{
    return m_hintArea->GetText();
}

TTextGadget* TStatusBar::AddTextGadget(int id, std::string_view text)
{
    auto gadget = std::make_unique<TTextGadget>(id, m_style, TTextGadget::Left, 0, text);
    gadget->SetShrinkWrap(true, true);
    gadget->SetMargins(TMargins{2, 2, 1, 1});
    return static_cast<TTextGadget*>(Insert(std::move(gadget)));
}

bool TStatusBar::ShowsSizeGrip() const
{
    const TWindow* parent = GetParent();
    return parent != nullptr && parent->GetParent() == nullptr && (parent->GetStyle() & WS_THICKFRAME) != 0 &&
           !parent->IsIconic();
}

TRect TStatusBar::SizeGripRect() const
{
    if (!ShowsSizeGrip()) {
        return TRect();
    }
    const TRect client = GetClientRect();
    return TRect(client.right - kGripSize, client.bottom - kGripSize, client.right, client.bottom);
}

void TStatusBar::LayoutSession()
{
    // The grip keeps its square free of gadgets.
    TMargins margins = GetMargins();
    const int right = ShowsSizeGrip() ? kGripSize + 2 : 2;
    if (margins.Right != right) {
        margins.Right = right;
        SetMargins(margins);
    }
    TGadgetWindow::LayoutSession();
}

void TStatusBar::Paint(TDC& dc, bool erase, TRect& rect)
{
    TGadgetWindow::Paint(dc, erase, rect);
    const TRect grip = SizeGripRect();
    if (grip.IsEmpty()) {
        return;
    }
    // Three pairs of diagonal lines, highlight beside shadow, rising to the bottom-right corner.
    for (int i = 0; i < 3; ++i) {
        const int off = 4 * i;
        dc.SelectObject(TPen(TColor::FromSys(COLOR_BTNSHADOW)));
        dc.MoveTo(grip.right - 2 - off, grip.bottom - 1);
        dc.LineTo(grip.right, grip.bottom - 3 - off);
        dc.MoveTo(grip.right - 3 - off, grip.bottom - 1);
        dc.LineTo(grip.right, grip.bottom - 4 - off);
        dc.SelectObject(TPen(TColor::FromSys(COLOR_BTNHIGHLIGHT)));
        dc.MoveTo(grip.right - 4 - off, grip.bottom - 1);
        dc.LineTo(grip.right, grip.bottom - 5 - off);
        dc.RestorePen();
    }
}

LRESULT TStatusBar::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == WM_NCHITTEST) {
        const TRect grip = SizeGripRect();
        const TPoint p = ScreenToClient(TPoint(GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)));
        if (!grip.IsEmpty() && grip.Contains(p)) {
            return HTBOTTOMRIGHT;
        }
    }
    return TGadgetWindow::WindowProc(msg, wParam, lParam);
}

} // namespace qm::gui
