// Dialog keyboard navigation.
#include "gui/model/DialogNavigation.h"

namespace qm::gui {

namespace {

bool CanFocus(const TDialogControl& c)
{
    return (c.Style & WS_VISIBLE) != 0 && (c.Style & WS_DISABLED) == 0 && c.Kind != TDialogControl::Static &&
           c.Kind != TDialogControl::GroupBox;
}

int Scaled(int value, int base, int divisor)
{
    // Rounded as the window system's MulDiv rounds: half away from zero.
    const long long product = static_cast<long long>(value) * base;
    const long long half = divisor / 2;
    return static_cast<int>(product >= 0 ? (product + half) / divisor : (product - half) / divisor);
}

bool TakesCharacters(const TDialogControl* c)
{
    return c != nullptr && c->Kind != TDialogControl::PushButton && c->Kind != TDialogControl::RadioButton &&
           c->Kind != TDialogControl::CheckBox && c->Kind != TDialogControl::Static &&
           c->Kind != TDialogControl::GroupBox;
}

bool IsMnemonicKey(int virtualKey)
{
    return (virtualKey >= 'A' && virtualKey <= 'Z') || (virtualKey >= '0' && virtualKey <= '9');
}

TDialogKeyAction MnemonicAction(std::span<const TDialogControl> controls, int focus, int virtualKey)
{
    const int n = static_cast<int>(controls.size());
    const int start = focus >= 0 && focus < n ? focus : n - 1;
    for (int step = 1; step <= n; ++step) {
        const int i = (start + step) % n;
        const TDialogControl& c = controls[static_cast<std::size_t>(i)];
        if (c.Mnemonic != virtualKey || (c.Style & WS_VISIBLE) == 0 || (c.Style & WS_DISABLED) != 0) {
            continue;
        }
        switch (c.Kind) {
        case TDialogControl::PushButton:
        case TDialogControl::RadioButton:
        case TDialogControl::CheckBox:
            return {TDialogKeyAction::Press, c.Id, i};
        case TDialogControl::Static:
        case TDialogControl::GroupBox: {
            const int next = NextTabItem(controls, i, false);
            return next < 0 ? TDialogKeyAction{} : TDialogKeyAction{TDialogKeyAction::MoveFocus, 0, next};
        }
        default:
            break;
        }
    }
    return {};
}

} // namespace

TRect MapDialogRect(const TRect& r, TSize base)
{
    return {Scaled(r.left, base.cx, 4), Scaled(r.top, base.cy, 8), Scaled(r.right, base.cx, 4),
            Scaled(r.bottom, base.cy, 8)};
}

int NextTabItem(std::span<const TDialogControl> controls, int current, bool previous)
{
    const int n = static_cast<int>(controls.size());
    if (n == 0)
        return -1;
    int i = current < 0 ? (previous ? 0 : n - 1) : current;
    for (int step = 0; step < n; ++step) {
        i = (i + (previous ? n - 1 : 1)) % n;
        const TDialogControl& c = controls[static_cast<std::size_t>(i)];
        if (CanFocus(c) && (c.Style & WS_TABSTOP) != 0)
            return i;
    }
    return -1;
}

int NextGroupItem(std::span<const TDialogControl> controls, int current, bool previous)
{
    const int n = static_cast<int>(controls.size());
    if (current < 0 || current >= n)
        return -1;
    int first = current;
    while (first > 0 && (controls[static_cast<std::size_t>(first)].Style & WS_GROUP) == 0)
        --first;
    int last = current + 1;
    while (last < n && (controls[static_cast<std::size_t>(last)].Style & WS_GROUP) == 0)
        ++last;
    const int size = last - first;
    int i = current;
    for (int step = 0; step < size; ++step) {
        i = first + ((i - first) + (previous ? size - 1 : 1)) % size;
        if (CanFocus(controls[static_cast<std::size_t>(i)]))
            return i;
    }
    return current;
}

TDialogKeyAction DialogKeyAction(std::span<const TDialogControl> controls, int focus, int virtualKey, bool shift,
                                 int defaultId, bool alt)
{
    const TDialogControl* f = focus >= 0 && focus < static_cast<int>(controls.size())
                                      ? &controls[static_cast<std::size_t>(focus)]
                                      : nullptr;
    if (IsMnemonicKey(virtualKey)) {
        return alt || !TakesCharacters(f) ? MnemonicAction(controls, focus, virtualKey) : TDialogKeyAction{};
    }
    if (alt) {
        return {};
    }
    const bool multiLine = f != nullptr && f->Kind == TDialogControl::Edit && (f->Style & ES_MULTILINE) != 0;
    switch (virtualKey) {
    case VK_RETURN:
        if (multiLine && (f->Style & ES_WANTRETURN) != 0)
            return {};
        if (f != nullptr && f->Kind == TDialogControl::PushButton)
            return {TDialogKeyAction::Command, f->Id, -1};
        return {TDialogKeyAction::Command, defaultId, -1};
    case VK_ESCAPE:
        return {TDialogKeyAction::Command, IDCANCEL, -1};
    case VK_TAB: {
        const int next = NextTabItem(controls, focus, shift);
        return next < 0 ? TDialogKeyAction{} : TDialogKeyAction{TDialogKeyAction::MoveFocus, 0, next};
    }
    case VK_LEFT:
    case VK_UP:
    case VK_RIGHT:
    case VK_DOWN: {
        // Edits, lists and combo boxes use the arrows themselves; buttons move through their group.
        if (f == nullptr || (f->Kind != TDialogControl::PushButton && f->Kind != TDialogControl::RadioButton &&
                             f->Kind != TDialogControl::CheckBox))
            return {};
        const int next = NextGroupItem(controls, focus, virtualKey == VK_LEFT || virtualKey == VK_UP);
        return next == focus ? TDialogKeyAction{} : TDialogKeyAction{TDialogKeyAction::MoveFocus, 0, next};
    }
    default:
        return {};
    }
}

} // namespace qm::gui
