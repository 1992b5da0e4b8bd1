// Gadget layout, hit testing and mouse routing.
#include "gui/model/GadgetWindowCore.h"

#include <algorithm>

namespace qm::gui {

TGadgetWindowCore::TGadgetWindowCore(TGadgetWindowHost& host, TTileDirection direction)
    : m_host(host)
    , m_direction(direction)
{
    m_shrinkWrapWidth = direction != Horizontal;
    m_shrinkWrapHeight = direction != Vertical;
}

TGadgetWindowCore::~TGadgetWindowCore()
{
    for (auto& g : m_gadgets)
        g->m_window = nullptr;
}

std::size_t TGadgetWindowCore::IndexOf(const TGadget& gadget) const
{
    for (std::size_t i = 0; i < m_gadgets.size(); ++i) {
        if (m_gadgets[i].get() == &gadget)
            return i;
    }
    return m_gadgets.size();
}

TGadget* TGadgetWindowCore::Insert(std::unique_ptr<TGadget> gadget, TPlacement placement, TGadget* sibling)
{
    std::size_t at = placement == After ? m_gadgets.size() : 0;
    if (sibling != nullptr) {
        const std::size_t i = IndexOf(*sibling);
        if (i < m_gadgets.size())
            at = placement == After ? i + 1 : i;
    }
    TGadget* g = gadget.get();
    g->m_window = this;
    m_gadgets.insert(m_gadgets.begin() + static_cast<std::ptrdiff_t>(at), std::move(gadget));
    g->Inserted();
    if (m_laidOut)
        LayoutSession();
    return g;
}

std::unique_ptr<TGadget> TGadgetWindowCore::Remove(TGadget& gadget)
{
    const std::size_t i = IndexOf(gadget);
    if (i == m_gadgets.size())
        return nullptr;
    if (m_capture == &gadget) {
        m_capture = nullptr;
        m_host.SetMouseCapture(false);
    }
    if (m_atMouse == &gadget)
        m_atMouse = nullptr;
    gadget.Removed();
    if (!gadget.GetBounds().IsEmpty())
        m_host.InvalidateRect(gadget.GetBounds(), true);
    std::unique_ptr<TGadget> out = std::move(m_gadgets[i]);
    m_gadgets.erase(m_gadgets.begin() + static_cast<std::ptrdiff_t>(i));
    out->m_window = nullptr;
    return out;
}

TGadget* TGadgetWindowCore::NextGadget(const TGadget& gadget) const
{
    const std::size_t i = IndexOf(gadget);
    return i + 1 < m_gadgets.size() ? m_gadgets[i + 1].get() : nullptr;
}

TGadget* TGadgetWindowCore::PrevGadget(const TGadget& gadget) const
{
    const std::size_t i = IndexOf(gadget);
    return i > 0 && i < m_gadgets.size() ? m_gadgets[i - 1].get() : nullptr;
}

TGadget* TGadgetWindowCore::GadgetWithId(int id) const
{
    for (const auto& g : m_gadgets) {
        if (g->GetId() == id)
            return g.get();
    }
    return nullptr;
}

TGadget* TGadgetWindowCore::GadgetFromPoint(const TPoint& point) const
{
    for (const auto& g : m_gadgets) {
        if (g->PtIn(point))
            return g.get();
    }
    return nullptr;
}

void TGadgetWindowCore::SetDirection(TTileDirection direction)
{
    if (m_direction == direction)
        return;
    m_direction = direction;
    m_shrinkWrapWidth = direction != Horizontal;
    m_shrinkWrapHeight = direction != Vertical;
    if (m_laidOut)
        LayoutSession();
}

void TGadgetWindowCore::SetMargins(const TMargins& margins)
{
    m_margins = margins;
    if (m_laidOut)
        LayoutSession();
}

void TGadgetWindowCore::SetRectangularDimensions(int width, int rowMargin)
{
    m_rowWidth = width;
    m_rowMargin = std::max(0, rowMargin);
    if (m_laidOut)
        LayoutSession();
}

void TGadgetWindowCore::SetShrinkWrap(bool width, bool height)
{
    m_shrinkWrapWidth = width;
    m_shrinkWrapHeight = height;
}

void TGadgetWindowCore::SetSpacing(int spacing)
{
    m_spacing = std::max(0, spacing);
    if (m_laidOut)
        LayoutSession();
}

void TGadgetWindowCore::SetHintCommand(int id)
{
    if (id == 0 || id == m_hintShown)
        return;
    m_hintShown = id;
    m_host.SetHintCommand(id);
}

void TGadgetWindowCore::GetDesiredSize(TSize& size)
{
    size = LayoutAll(false);
}

namespace {

struct Placed {
    TGadget* Gadget;
    TSize Size;
};

// The geometry of one layout pass, in "along" (the direction of the lines) and "across" terms, so that the
// horizontal, vertical and row layouts share one placement.
struct Axes {
    bool Horizontal;
    int StartAlong, EndAlong, StartAcross, EndAcross;
    int Spacing;

    int Along(const TSize& s) const { return Horizontal ? s.cx : s.cy; }

    int Across(const TSize& s) const { return Horizontal ? s.cy : s.cx; }

    int& Along(TSize& s) const { return Horizontal ? s.cx : s.cy; }
};

// Rows that wrap at limit or after an end-of-row gadget; the last gadget of a wrapped row is marked.
std::vector<std::vector<std::size_t>> SplitRows(std::vector<Placed>& items, int limit, int spacing)
{
    std::vector<std::vector<std::size_t>> lines(1);
    int used = 0;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const int w = items[i].Size.cx + (lines.back().empty() ? 0 : spacing);
        if (!lines.back().empty() && used + w > limit) {
            items[lines.back().back()].Gadget->SetWrapsRowFromLayout(true);
            lines.emplace_back();
            used = 0;
        }
        used += lines.back().empty() ? items[i].Size.cx : w;
        lines.back().push_back(i);
        if (items[i].Gadget->IsEndOfRow() && i + 1 < items.size()) {
            lines.emplace_back();
            used = 0;
        }
    }
    return lines;
}

// Wide-as-possible gadgets share what the others leave of the length; each keeps at least its own size.
void ShareWideRoom(std::vector<Placed>& items, const Axes& axes, int length)
{
    int fixed = 0;
    int wide = 0;
    for (const auto& it : items) {
        if (it.Gadget->WideAsPossible)
            ++wide;
        else
            fixed += axes.Along(it.Size);
    }
    if (wide == 0)
        return;
    const int gaps = static_cast<int>(items.size()) - 1;
    const int room = length - axes.StartAlong - axes.EndAlong - fixed - gaps * axes.Spacing;
    int left = room;
    int n = wide;
    for (auto& it : items) {
        if (!it.Gadget->WideAsPossible)
            continue;
        const int share = n == 1 ? left : room / wide;
        --n;
        left -= share;
        axes.Along(it.Size) = std::max(axes.Along(it.Size), share);
    }
}

// Places the lines one after the other across the direction. A gadget that asks for nothing across (a separator)
// gets its line's whole thickness; the others are centred in the line. Returns the size the lines take.
TSize PlaceLines(const std::vector<Placed>& items, const std::vector<std::vector<std::size_t>>& lines, const Axes& axes,
                 int rowMargin, bool apply)
{
    int maxAlong = 0;
    int across = axes.StartAcross;
    for (std::size_t l = 0; l < lines.size(); ++l) {
        int thickness = 0;
        for (std::size_t i : lines[l])
            thickness = std::max(thickness, axes.Across(items[i].Size));
        int along = axes.StartAlong;
        for (std::size_t i : lines[l]) {
            if (i != lines[l].front())
                along += axes.Spacing;
            const int a = axes.Along(items[i].Size);
            int c = axes.Across(items[i].Size);
            const int offset = c == 0 ? 0 : (thickness - c) / 2;
            if (c == 0)
                c = thickness;
            if (apply) {
                items[i].Gadget->SetBounds(axes.Horizontal
                                                   ? TRect(along, across + offset, along + a, across + offset + c)
                                                   : TRect(across + offset, along, across + offset + c, along + a));
            }
            along += a;
        }
        maxAlong = std::max(maxAlong, along - axes.StartAlong);
        across += thickness + (l + 1 < lines.size() ? rowMargin : 0);
    }
    const int totalAlong = axes.StartAlong + maxAlong + axes.EndAlong;
    const int totalAcross = across + axes.EndAcross;
    return axes.Horizontal ? TSize(totalAlong, totalAcross) : TSize(totalAcross, totalAlong);
}

} // namespace

TSize TGadgetWindowCore::LayoutAll(bool apply)
{
    std::vector<Placed> items;
    for (auto& g : m_gadgets) {
        g->SetWrapsRowFromLayout(false);
        if (!g->IsVisible())
            continue;
        TSize s;
        g->GetDesiredSize(s);
        items.push_back({g.get(), s});
    }
    const TSize client = m_host.GetClientSize();
    const bool horizontal = m_direction != Vertical;
    const Axes axes{horizontal,
                    horizontal ? m_margins.Left : m_margins.Top,
                    horizontal ? m_margins.Right : m_margins.Bottom,
                    horizontal ? m_margins.Top : m_margins.Left,
                    horizontal ? m_margins.Bottom : m_margins.Right,
                    m_spacing};
    std::vector<std::vector<std::size_t>> lines;
    if (m_direction == Rectangular) {
        lines = SplitRows(items, m_rowWidth > 0 ? m_rowWidth : client.cx - m_margins.Left - m_margins.Right, m_spacing);
    } else {
        lines.emplace_back();
        for (std::size_t i = 0; i < items.size(); ++i)
            lines.back().push_back(i);
        if (!(horizontal ? m_shrinkWrapWidth : m_shrinkWrapHeight))
            ShareWideRoom(items, axes, horizontal ? client.cx : client.cy);
    }
    return PlaceLines(items, lines, axes, m_rowMargin, apply);
}

void TGadgetWindowCore::LayoutSession()
{
    if (m_inLayout)
        return;
    m_inLayout = true;
    m_laidOut = true;
    const TSize client = m_host.GetClientSize();
    const TSize desired = LayoutAll(false);
    const TSize wanted(m_shrinkWrapWidth ? desired.cx : client.cx, m_shrinkWrapHeight ? desired.cy : client.cy);
    const bool changed = wanted != client;
    if (changed)
        m_host.SetClientSize(wanted);
    LayoutAll(true);
    m_host.InvalidateRect(TRect(TPoint(), m_host.GetClientSize()), true);
    m_inLayout = false;
    if (changed) {
        m_host.NotifyParent(WM_PARENTNOTIFY, MAKEWPARAM(static_cast<WORD>(WM_SIZE), 0),
                            static_cast<LPARAM>(m_host.GetHandle()));
    }
}

void TGadgetWindowCore::GadgetChangedSize(TGadget& /*gadget*/)
{
    if (m_laidOut)
        LayoutSession();
}

void TGadgetWindowCore::MouseMove(UINT modKeys, const TPoint& point)
{
    if (m_capture != nullptr) {
        m_capture->MouseMove(modKeys, point);
        return;
    }
    TGadget* under = GadgetFromPoint(point);
    if (under != m_atMouse) {
        if (m_atMouse != nullptr)
            m_atMouse->MouseLeave(modKeys, point);
        m_atMouse = under;
        if (under != nullptr)
            under->MouseEnter(modKeys, point);
        if (m_hintMode == EnterHints)
            SetHintCommand(under != nullptr && under->GetId() != 0 ? under->GetId() : -1);
    }
    if (under != nullptr)
        under->MouseMove(modKeys, point);
}

void TGadgetWindowCore::LButtonDown(UINT modKeys, const TPoint& point)
{
    TGadget* target = m_capture != nullptr ? m_capture : GadgetFromPoint(point);
    if (target != nullptr && (target->GetEnabled() || target == m_capture))
        target->LButtonDown(modKeys, point);
}

void TGadgetWindowCore::LButtonUp(UINT modKeys, const TPoint& point)
{
    TGadget* target = m_capture != nullptr ? m_capture : GadgetFromPoint(point);
    if (target != nullptr)
        target->LButtonUp(modKeys, point);
}

void TGadgetWindowCore::MouseLeft()
{
    if (m_atMouse != nullptr && m_capture == nullptr) {
        TGadget* was = m_atMouse;
        m_atMouse = nullptr;
        was->MouseLeave(0, TPoint(-1, -1));
        if (m_hintMode == EnterHints)
            SetHintCommand(-1);
    }
}

bool TGadgetWindowCore::GadgetSetCapture(TGadget& gadget)
{
    if (m_capture != nullptr && m_capture != &gadget)
        return false;
    m_capture = &gadget;
    m_host.SetMouseCapture(true);
    return true;
}

void TGadgetWindowCore::GadgetReleaseCapture(TGadget& gadget)
{
    if (m_capture != &gadget)
        return;
    m_capture = nullptr;
    m_host.SetMouseCapture(false);
}

bool TGadgetWindowCore::IdleAction(long idleCount)
{
    bool more = false;
    // The list may change under an enabler (a gadget removed): walk by index and re-check.
    for (std::size_t i = 0; i < m_gadgets.size(); ++i) {
        TGadget* g = m_gadgets[i].get();
        g->CommandEnable();
        if (i < m_gadgets.size() && m_gadgets[i].get() == g)
            more = g->IdleAction(idleCount) || more;
    }
    return more;
}

void TGadgetWindowCore::SysColorChange()
{
    for (auto& g : m_gadgets)
        g->SysColorChange();
}

} // namespace qm::gui
