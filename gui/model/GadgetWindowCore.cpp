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

void TGadgetWindowCore::GetDesiredSize(TSize& size)
{
    size = LayoutAll(false);
}

TSize TGadgetWindowCore::LayoutAll(bool apply)
{
    struct Placed {
        TGadget* Gadget;
        TSize Size;
    };

    std::vector<Placed> items;
    for (auto& g : m_gadgets) {
        g->SetWrapsRow(false);
        if (!g->IsVisible())
            continue;
        TSize s;
        g->GetDesiredSize(s);
        items.push_back({g.get(), s});
    }
    const TSize client = m_host.GetClientSize();
    const bool horizontal = m_direction != Vertical;
    auto alongOf = [horizontal](const TSize& s) {
        return horizontal ? s.cx : s.cy;
    };
    auto acrossOf = [horizontal](const TSize& s) {
        return horizontal ? s.cy : s.cx;
    };
    const int startAlong = horizontal ? m_margins.Left : m_margins.Top;
    const int endMargin = horizontal ? m_margins.Right : m_margins.Bottom;
    const int startAcross = horizontal ? m_margins.Top : m_margins.Left;
    const int endAcross = horizontal ? m_margins.Bottom : m_margins.Right;

    // Lines: one for a horizontal or vertical window, rows that wrap for a row layout.
    std::vector<std::vector<std::size_t>> lines(1);
    if (m_direction == Rectangular) {
        const int limit = m_rowWidth > 0 ? m_rowWidth : client.cx - m_margins.Left - m_margins.Right;
        int used = 0;
        for (std::size_t i = 0; i < items.size(); ++i) {
            const int w = items[i].Size.cx;
            if (!lines.back().empty() && used + w > limit) {
                items[lines.back().back()].Gadget->SetWrapsRow(true);
                lines.emplace_back();
                used = 0;
            }
            lines.back().push_back(i);
            used += w;
            if (items[i].Gadget->IsEndOfRow() && i + 1 < items.size()) {
                lines.emplace_back();
                used = 0;
            }
        }
    } else {
        for (std::size_t i = 0; i < items.size(); ++i)
            lines.back().push_back(i);
        // Wide-as-possible gadgets share what the others leave of the client length.
        const int length = horizontal ? client.cx : client.cy;
        const bool wraps = horizontal ? m_shrinkWrapWidth : m_shrinkWrapHeight;
        int fixed = 0;
        int wide = 0;
        for (const auto& it : items) {
            if (it.Gadget->WideAsPossible)
                ++wide;
            else
                fixed += alongOf(it.Size);
        }
        if (wide > 0 && !wraps) {
            const int room = length - startAlong - endMargin - fixed;
            int left = room;
            int n = wide;
            for (auto& it : items) {
                if (!it.Gadget->WideAsPossible)
                    continue;
                const int share = n == 1 ? left : room / wide;
                --n;
                left -= share;
                const int want = std::max(alongOf(it.Size), share);
                (horizontal ? it.Size.cx : it.Size.cy) = want;
            }
        }
    }

    int maxAlong = 0;
    int across = startAcross;
    for (std::size_t l = 0; l < lines.size(); ++l) {
        int thickness = 0;
        for (std::size_t i : lines[l])
            thickness = std::max(thickness, acrossOf(items[i].Size));
        int along = startAlong;
        for (std::size_t i : lines[l]) {
            const TSize s = items[i].Size;
            const int a = alongOf(s);
            int c = acrossOf(s);
            int offset = 0;
            if (c == 0)
                c = thickness;
            else
                offset = (thickness - c) / 2;
            if (apply) {
                const TRect r = horizontal ? TRect(along, across + offset, along + a, across + offset + c)
                                           : TRect(across + offset, along, across + offset + c, along + a);
                items[i].Gadget->SetBounds(r);
            }
            along += a;
        }
        maxAlong = std::max(maxAlong, along - startAlong);
        across += thickness;
        if (l + 1 < lines.size())
            across += m_rowMargin;
    }
    const int totalAlong = startAlong + maxAlong + endMargin;
    const int totalAcross = across + endAcross;
    return horizontal ? TSize(totalAlong, totalAcross) : TSize(totalAcross, totalAlong);
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
