// The standard gadgets.
#include "gui/model/Gadget.h"

#include "gui/model/GadgetWindowCore.h"
#include "gui/model/GuiState.h"
#include "gui/model/Metrics.h"

#include <algorithm>

namespace qm::gui {

namespace {

struct PainterChoice {
    TGadgetPainter* Painter = nullptr;
};

TGadgetPainter*& Painter()
{
    return GuiState().Part<PainterChoice>().Painter;
}

} // namespace

void SetGadgetPainter(TGadgetPainter* painter)
{
    Painter() = painter;
}

TGadgetPainter* GetGadgetPainter()
{
    return Painter();
}

TGadget::TGadget(int id, TBorderStyle style)
    : m_id(id)
{
    SetBorderStyle(style);
}

TGadget* TGadget::NextGadget() const
{
    return m_window == nullptr ? nullptr : m_window->NextGadget(*this);
}

void TGadget::SetBounds(const TRect& bounds)
{
    m_bounds = bounds;
}

void TGadget::SetSize(const TSize& size)
{
    m_bounds = TRect(m_bounds.TopLeft(), size);
    ChangedSize();
}

void TGadget::SetBorderStyle(TBorderStyle style)
{
    m_borderStyle = style;
    const int w = style == None ? 0 : (style == Plain || style == Raised || style == Recessed) ? 1 : 2;
    // A style of the same width (a button going down) needs no new layout, only a new picture.
    if (m_borders.Left != w || m_borders.Right != w || m_borders.Top != w || m_borders.Bottom != w)
        SetBorders({w, w, w, w});
    else
        Invalidate();
}

void TGadget::SetBorders(const TBorders& borders)
{
    m_borders = borders;
    ChangedSize();
}

void TGadget::SetMargins(const TMargins& margins)
{
    m_margins = margins;
    ChangedSize();
}

void TGadget::SetShrinkWrap(bool width, bool height)
{
    m_shrinkWrapWidth = width;
    m_shrinkWrapHeight = height;
    ChangedSize();
}

void TGadget::SetVisible(bool visible)
{
    if (m_visible == visible)
        return;
    m_visible = visible;
    ChangedSize();
}

void TGadget::SetEnabled(bool enabled)
{
    if (m_enabled == enabled)
        return;
    m_enabled = enabled;
    Invalidate();
}

void TGadget::SetEndOfRow(bool endOfRow)
{
    m_endOfRow = endOfRow;
    ChangedSize();
}

void TGadget::GetDesiredSize(TSize& size)
{
    const int w = m_borders.Left + m_borders.Right + m_margins.Left + m_margins.Right;
    const int h = m_borders.Top + m_borders.Bottom + m_margins.Top + m_margins.Bottom;
    size.cx = m_shrinkWrapWidth ? w : m_bounds.Width();
    size.cy = m_shrinkWrapHeight ? h : m_bounds.Height();
}

void TGadget::GetInnerRect(TRect& rect)
{
    rect = TRect(m_borders.Left + m_margins.Left, m_borders.Top + m_margins.Top,
                 m_bounds.Width() - m_borders.Right - m_margins.Right,
                 m_bounds.Height() - m_borders.Bottom - m_margins.Bottom);
}

void TGadget::MouseEnter(UINT, const TPoint&)
{}

void TGadget::MouseMove(UINT, const TPoint&)
{}

void TGadget::MouseLeave(UINT, const TPoint&)
{}

void TGadget::LButtonDown(UINT, const TPoint&)
{}

void TGadget::LButtonUp(UINT, const TPoint&)
{}

void TGadget::Paint(TDC& dc)
{
    PaintBorder(dc);
    if (TGadgetPainter* painter = Painter())
        painter->PaintGadget(*this, dc);
}

void TGadget::PaintBorder(TDC& dc)
{
    if (TGadgetPainter* painter = Painter())
        painter->PaintBorder(*this, dc);
}

void TGadget::Invalidate(bool erase)
{
    if (m_window != nullptr && !m_bounds.IsEmpty())
        m_window->GetHost().InvalidateRect(m_bounds, erase);
}

void TGadget::ChangedSize()
{
    if (m_window != nullptr)
        m_window->GadgetChangedSize(*this);
}

TSeparatorGadget::TSeparatorGadget(int size, int id)
    : TGadget(id, None)
    , m_size(size != 0 ? size : GetSystemMetrics(SM_CXBORDER) * 6)
{
    m_enabled = false;
}

void TSeparatorGadget::GetDesiredSize(TSize& size)
{
    // Zero across the direction: the layout gives a separator the thickness of its line.
    const bool vertical = m_window != nullptr && m_window->GetDirection() == TGadgetWindowCore::Vertical;
    size = vertical ? TSize(0, m_size) : TSize(m_size, 0);
}

TTextGadget::TTextGadget(int id, TBorderStyle style, TAlign align, int numChars, std::string_view text)
    : TGadget(id, style)
    , m_text(text)
    , m_align(align)
    , m_numChars(numChars)
{
    m_shrinkWrapWidth = false;
    m_shrinkWrapHeight = true;
}

void TTextGadget::SetText(std::string_view text)
{
    if (m_text == text)
        return;
    TSize before;
    GetDesiredSize(before);
    m_text = std::string(text);
    TSize after;
    GetDesiredSize(after);
    if (after != before)
        ChangedSize();
    Invalidate();
}

void TTextGadget::GetDesiredSize(TSize& size)
{
    const int w = m_borders.Left + m_borders.Right + m_margins.Left + m_margins.Right;
    const int h = m_borders.Top + m_borders.Bottom + m_margins.Top + m_margins.Bottom;
    if (m_window == nullptr) {
        size = TSize(w, h);
        return;
    }
    TGadgetWindowHost& host = m_window->GetHost();
    size.cx = w + (m_shrinkWrapWidth ? host.MeasureText(m_text).cx : m_numChars * host.GetAverageCharWidth());
    size.cy = m_shrinkWrapHeight ? h + host.GetFontHeight() : m_bounds.Height();
}

TBitmapGadget::TBitmapGadget(int imageResId, int id, TBorderStyle style, int numImages, int startImage,
                             bool sharedResource)
    : TGadget(id, style)
    , m_imageResId(imageResId)
    , m_numImages(std::max(1, numImages))
    , m_current(std::clamp(startImage, 0, std::max(1, numImages) - 1))
    , m_shared(sharedResource)
{}

int TBitmapGadget::SelectImage(int imageNum)
{
    const int previous = m_current;
    if (imageNum < 0 || imageNum >= m_numImages || imageNum == m_current)
        return previous;
    m_current = imageNum;
    Invalidate(false);
    return previous;
}

void TBitmapGadget::GetDesiredSize(TSize& size)
{
    TGadget::GetDesiredSize(size);
    if (m_window == nullptr)
        return;
    const TSize bitmap = m_window->GetHost().GetBitmapSize(m_imageResId);
    if (m_shrinkWrapWidth)
        size.cx += bitmap.cx / m_numImages;
    if (m_shrinkWrapHeight)
        size.cy += bitmap.cy;
}

TButtonGadget::TButtonGadget(int glyphResId, int id, TType type, bool enabled, TState state, bool sharedGlyph)
    : TGadget(id, state == Down ? ButtonDn : ButtonUp)
    , m_glyph(glyphResId)
    , m_type(type)
    , m_state(state)
    , m_sharedGlyph(sharedGlyph)
{
    m_enabled = enabled;
}

void TButtonGadget::SetButtonState(TState state)
{
    if (m_state == state)
        return;
    m_state = state;
    UpdateBorderStyle();
    Invalidate();
}

void TButtonGadget::UpdateBorderStyle()
{
    SetBorderStyle(m_pressed || m_state == Down ? ButtonDn : ButtonUp);
}

void TButtonGadget::Paint(TDC& dc)
{
    PaintBorder(dc);
    TRect face;
    GetInnerRect(face);
    PaintFace(dc, face.OffsetBy(m_bounds.left, m_bounds.top));
}

void TButtonGadget::PaintFace(TDC& dc, const TRect& rect)
{
    if (TGadgetPainter* painter = GetGadgetPainter(); painter != nullptr)
        painter->PaintButtonFace(*this, dc, rect);
}

void TButtonGadget::GetDesiredSize(TSize& size)
{
    const TSize glyph = m_window == nullptr ? TSize() : m_window->GetHost().GetBitmapSize(m_glyph);
    size = TSize(glyph.cx + 7 + m_margins.Left + m_margins.Right, glyph.cy + 7 + m_margins.Top + m_margins.Bottom);
}

void TButtonGadget::LButtonDown(UINT, const TPoint& point)
{
    if (!m_enabled)
        return;
    BeginPressed(point);
}

void TButtonGadget::MouseMove(UINT, const TPoint& point)
{
    if (m_window == nullptr || m_window->GetCapturedGadget() != this)
        return;
    const bool over = PtIn(point);
    if (over != m_pressed) {
        m_pressed = over;
        UpdateBorderStyle();
        Invalidate();
    }
}

void TButtonGadget::LButtonUp(UINT, const TPoint& point)
{
    if (m_window == nullptr || m_window->GetCapturedGadget() != this)
        return;
    m_window->GadgetReleaseCapture(*this);
    if (m_pressed && PtIn(point))
        Activate(point);
    else
        CancelPressed(point);
}

void TButtonGadget::BeginPressed(const TPoint&)
{
    if (m_window == nullptr || !m_window->GadgetSetCapture(*this))
        return;
    m_pressed = true;
    UpdateBorderStyle();
    Invalidate();
    if (m_window->GetHintMode() == TGadgetWindowCore::PressHints)
        m_window->SetHintCommand(m_id);
}

void TButtonGadget::CancelPressed(const TPoint&)
{
    if (m_window != nullptr && m_window->GetHintMode() == TGadgetWindowCore::PressHints &&
        m_window->GetCapturedGadget() != this)
        m_window->SetHintCommand(-1);
    if (!m_pressed)
        return;
    m_pressed = false;
    UpdateBorderStyle();
    Invalidate();
}

void TButtonGadget::Activate(const TPoint& point)
{
    switch (m_type) {
    case Exclusive:
        if (m_state != Down) {
            // The exclusive buttons next to this one form its group: they go up.
            for (TGadget* g = m_window->PrevGadget(*this); g != nullptr; g = m_window->PrevGadget(*g)) {
                auto* b = dynamic_cast<TButtonGadget*>(g);
                if (b == nullptr || b->GetButtonType() != Exclusive)
                    break;
                b->SetButtonState(Up);
            }
            for (TGadget* g = NextGadget(); g != nullptr; g = g->NextGadget()) {
                auto* b = dynamic_cast<TButtonGadget*>(g);
                if (b == nullptr || b->GetButtonType() != Exclusive)
                    break;
                b->SetButtonState(Up);
            }
            SetButtonState(Down);
        }
        break;
    case NonExclusive:
    case SemiExclusive:
        SetButtonState(m_state == Down ? Up : Down);
        break;
    default:
        break;
    }
    CancelPressed(point);
    if (m_enabled && m_window != nullptr)
        m_window->GetHost().PostToSelf(WM_COMMAND, static_cast<WPARAM>(m_id), 0);
}

void TButtonGadget::CommandEnable()
{
    if (m_window == nullptr)
        return;
    TButtonGadgetEnabler enabler(m_window->GetHost().GetHandle(), *this);
    m_window->GetHost().SendCommandEnable(enabler);
}

void TButtonGadgetEnabler::Enable(bool enable)
{
    TCommandEnabler::Enable(enable);
    m_gadget.SetEnabled(enable);
}

void TButtonGadgetEnabler::SetCheck(int state)
{
    TCommandEnabler::SetCheck(state);
    m_gadget.SetButtonState(state == Checked         ? TButtonGadget::Down
                            : state == Indeterminate ? TButtonGadget::Indeterminate
                                                     : TButtonGadget::Up);
}

void TButtonGadgetEnabler::SetText(std::string_view /*text*/)
{
    // A button shows no text.
}

} // namespace qm::gui
