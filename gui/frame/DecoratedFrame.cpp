// The decorated frame: decorations at the edges, the client in what is left, hints in the status bar.
#include "gui/frame/DecoratedFrame.h"

#include "gui/frame/StatusBar.h"
#include "gui/gadget/GadgetWindow.h"

#include <algorithm>

namespace qm::gui {

TDecoratedFrame::TDecoratedFrame(TWindow* parent, std::string_view title, TWindow* client, bool trackMenuSelection)
    : TFrameWindow(parent, title, client)
    , m_trackMenuSelection(trackMenuSelection)
{}

TSize TDecoratedFrame::DesiredSizeOf(TWindow& decoration) const
{
    if (auto* gadgets = dynamic_cast<TGadgetWindow*>(&decoration); gadgets != nullptr) {
        TSize size;
        gadgets->GetDesiredSize(size);
        const TRect insets = decoration.GetNonClientInsets();
        return TSize(size.cx + insets.left + insets.right, size.cy + insets.top + insets.bottom);
    }
    if (decoration.HasWindow()) {
        return decoration.GetWindowRect().Size();
    }
    return TSize(decoration.Attr.W, decoration.Attr.H);
}

void TDecoratedFrame::Insert(TWindow& decoration, TAbsLocation location)
{
    if (decoration.GetParent() != this) {
        decoration.SetParent(this);
    }
    decoration.Attr.Style |= WS_CHILD;
    auto it = std::find(m_decorations.begin(), m_decorations.end(), &decoration);
    if (it == m_decorations.end()) {
        m_decorations.push_back(&decoration);
        it = m_decorations.end() - 1;
    }
    const int key = static_cast<int>(it - m_decorations.begin());
    if (auto* status = dynamic_cast<TStatusBar*>(&decoration); status != nullptr && location == alBottom) {
        m_statusBar = status;
    }
    if (HasWindow() && !decoration.HasWindow()) {
        decoration.Create();
    }
    m_layout.Insert(key, location, DesiredSizeOf(decoration));
    m_layout.SetVisible(key, (decoration.GetStyle() & WS_VISIBLE) != 0);
    if (HasWindow()) {
        Layout();
    }
}

void TDecoratedFrame::RemoveDecoration(TWindow& decoration)
{
    const auto it = std::find(m_decorations.begin(), m_decorations.end(), &decoration);
    if (it == m_decorations.end()) {
        return;
    }
    m_layout.Remove(static_cast<int>(it - m_decorations.begin()));
    *it = nullptr; // keys stay stable
    if (m_statusBar == &decoration) {
        m_statusBar = nullptr;
    }
    if (HasWindow()) {
        Layout();
    }
}

bool TDecoratedFrame::HasDecoration(const TWindow& decoration) const
{
    return std::find(m_decorations.begin(), m_decorations.end(), &decoration) != m_decorations.end();
}

void TDecoratedFrame::Layout()
{
    if (m_inLayout || !HasWindow()) {
        return;
    }
    m_inLayout = true;
    for (std::size_t key = 0; key < m_decorations.size(); ++key) {
        TWindow* d = m_decorations[key];
        if (d == nullptr) {
            continue;
        }
        m_layout.SetDesiredSize(static_cast<int>(key), DesiredSizeOf(*d));
        // The style bit, not the widget: children of a frame not shown yet count as shown.
        m_layout.SetVisible(static_cast<int>(key), d->HasWindow() && (d->GetStyle() & WS_VISIBLE) != 0);
    }
    const TDecorationLayout::TResult result = m_layout.Layout(GetClientRect());
    std::vector<TWindow*> resizedHolders;
    for (const auto& placed : result.Decorations) {
        TWindow* d = m_decorations[static_cast<std::size_t>(placed.Key)];
        if (d != nullptr && d->HasWindow() && d->GetWindowRect().Size() != placed.Rect.Size()) {
            d->MoveWindow(placed.Rect, true);
            if (dynamic_cast<TBarHolder*>(d) != nullptr) {
                resizedHolders.push_back(d);
            }
        } else if (d != nullptr && d->HasWindow()) {
            d->SetWindowPos(kHwndTop, placed.Rect.left, placed.Rect.top, 0, 0,
                            SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        }
    }
    if (TWindow* client = GetClientWindow(); client != nullptr && client->HasWindow()) {
        client->MoveWindow(result.Client, true);
    }
    m_inLayout = false;
    // A slip that got another length places its bars again (and may ask for another thickness).
    for (TWindow* holder : resizedHolders) {
        if (HasDecoration(*holder) && holder->HasWindow()) {
            dynamic_cast<TBarHolder*>(holder)->ReLayout();
        }
    }
}

std::string TDecoratedFrame::GetHintText(int id, THintText kind) const
{
    return CommandHintText(id, kind);
}

void TDecoratedFrame::SetHintCommand(int id)
{
    if (m_statusBar == nullptr) {
        return;
    }
    if (id < 0) {
        m_statusBar->ClearHintText();
        return;
    }
    m_statusBar->SetHintText(GetHintText(id, htStatus));
}

void TDecoratedFrame::MenuSelect(WPARAM wParam, LPARAM lParam)
{
    if (!m_trackMenuSelection || m_statusBar == nullptr) {
        return;
    }
    const std::optional<std::string> hint = MenuSelectHint(wParam, lParam);
    if (!hint) {
        m_statusBar->ClearHintText();
        return;
    }
    const WORD flags = HIWORD(wParam);
    if ((flags & (MF_POPUP | MF_SEPARATOR)) != 0) {
        m_statusBar->SetHintText("");
        return;
    }
    m_statusBar->SetHintText(GetHintText(LOWORD(wParam), htStatus));
}

LRESULT TDecoratedFrame::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam)
{
    switch (msg) {
    case WM_PARENTNOTIFY:
        // A decoration that changed its size makes room for itself.
        if (LOWORD(wParam) == WM_SIZE && !m_inLayout) {
            for (TWindow* d : m_decorations) {
                if (d != nullptr && d->GetHandle() == static_cast<HWND>(lParam)) {
                    Layout();
                    break;
                }
            }
        }
        return TFrameWindow::WindowProc(msg, wParam, lParam);
    case kMsgGadgetHint:
        SetHintCommand(static_cast<int>(static_cast<std::int64_t>(wParam)));
        return 0;
    case kMsgGadgetTooltip: {
        auto* text = reinterpret_cast<std::string*>(lParam);
        *text = GetHintText(static_cast<int>(wParam), htTooltip);
        return text->empty() ? 0 : 1;
    }
    default:
        return TFrameWindow::WindowProc(msg, wParam, lParam);
    }
}

TDecoratedFrame* FindDecoratedFrame(TWindow* window)
{
    for (TWindow* w = window != nullptr ? window->GetParent() : nullptr; w != nullptr; w = w->GetParent()) {
        if (auto* frame = dynamic_cast<TDecoratedFrame*>(w); frame != nullptr) {
            return frame;
        }
    }
    return nullptr;
}

std::string GetFrameHintText(TWindow* window, int id, THintText kind)
{
    TDecoratedFrame* frame = FindDecoratedFrame(window);
    return frame != nullptr ? frame->GetHintText(id, kind) : std::string();
}

} // namespace qm::gui
