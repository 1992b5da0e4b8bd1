// Input, focus and window-state events become window messages here, in this order:
// NCHITTEST and SETCURSOR before every mouse message of a window without capture, double-clicks only for
// classes that ask for them, KEYDOWN then CHAR, every one through the application's pre-filter. Nothing of Qt's
// own reaches the windows: no shortcuts, no context menus of the standard controls.
#include "gui/window/EventFilter.h"

#include "gui/model/GuiState.h"
#include "gui/model/MenuBarKeys.h"
#include "gui/window/Application.h"
#include "gui/window/WindowWidget.h"

#include <QApplication>
#include <QCursor>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QTimer>
#include <QVariant>
#include <QWindowStateChangeEvent>

#include <optional>

namespace qm::gui {

namespace {

constexpr const char* kOwnerProperty = "qmWindow";

// The last mouse event turned into messages: Qt passes an unused mouse event on to the parent widgets as copies,
// which must not become messages a second time.
struct MouseKey {
    int Type = 0;
    quint64 Timestamp = 0;
    QPoint Global;
    bool operator==(const MouseKey&) const = default;
};

struct FilterState {
    TPoint CursorPos{0, 0};
    TClickTracker Clicks;
    // Buttons whose press the pre-filter ate: their release is eaten too.
    unsigned EatenButtons = 0;
    // F10, a lone Alt and Alt with a character, watched on every key message.
    TMenuBarKeys MenuKeys;
    MouseKey LastMouse;
    bool LastMouseResult = false;
};

FilterState& State()
{
    return GuiState().Part<FilterState>();
}

// Keeps the input state's modifier and button keys in step with what Qt reports on each event.
void SyncKeys(Qt::KeyboardModifiers modifiers, std::optional<Qt::MouseButtons> buttons)
{
    SetKeyDownState(VK_CONTROL, (modifiers & Qt::ControlModifier) != 0);
    SetKeyDownState(VK_SHIFT, (modifiers & Qt::ShiftModifier) != 0);
    SetKeyDownState(VK_MENU, (modifiers & Qt::AltModifier) != 0);
    if (buttons) {
        SetKeyDownState(VK_LBUTTON, (*buttons & Qt::LeftButton) != 0);
        SetKeyDownState(VK_RBUTTON, (*buttons & Qt::RightButton) != 0);
        SetKeyDownState(VK_MBUTTON, (*buttons & Qt::MiddleButton) != 0);
    }
}

WPARAM MouseKeys(Qt::MouseButtons buttons, Qt::KeyboardModifiers modifiers)
{
    WPARAM keys = 0;
    keys |= (buttons & Qt::LeftButton) ? MK_LBUTTON : 0;
    keys |= (buttons & Qt::RightButton) ? MK_RBUTTON : 0;
    keys |= (buttons & Qt::MiddleButton) ? MK_MBUTTON : 0;
    keys |= (modifiers & Qt::ShiftModifier) ? MK_SHIFT : 0;
    keys |= (modifiers & Qt::ControlModifier) ? MK_CONTROL : 0;
    return keys;
}

// One queued input message: the pre-filter, then the window. Returns whether it was dispatched; wentDefault
// tells whether it reached the default handling.
bool DispatchInput(MSG& msg, bool* wentDefault)
{
    *wentDefault = false;
    NoteActivity();
    TApplication* app = TApplication::Current();
    if (app != nullptr && app->ProcessAppMsg(msg)) {
        return false;
    }
    TWindow* window = TWindow::FromHandle(msg.hwnd);
    if (window == nullptr) {
        return false;
    }
    Deliver(*window, msg.message, msg.wParam, msg.lParam, wentDefault);
    return true;
}

bool IsStandardControl(const TWindow& window)
{
    return dynamic_cast<TWindowWidget*>(WidgetOf(window)) == nullptr;
}

// Button index (0 left, 1 right, 2 middle) and the message numbers of each kind.
int ButtonIndex(Qt::MouseButton b)
{
    switch (b) {
    case Qt::LeftButton:
        return 0;
    case Qt::RightButton:
        return 1;
    case Qt::MiddleButton:
        return 2;
    default:
        return -1;
    }
}

constexpr UINT kDown[] = {WM_LBUTTONDOWN, WM_RBUTTONDOWN, WM_MBUTTONDOWN};
constexpr UINT kUp[] = {WM_LBUTTONUP, WM_RBUTTONUP, WM_MBUTTONUP};
constexpr UINT kDbl[] = {WM_LBUTTONDBLCLK, WM_RBUTTONDBLCLK, WM_MBUTTONDBLCLK};
// The non-client messages are the client ones shifted by WM_NCMOUSEMOVE - WM_MOUSEMOVE (middle: none here).
constexpr UINT kNcOffset = WM_NCMOUSEMOVE - WM_MOUSEMOVE;

bool HandleMouse(QWidget* widget, QMouseEvent* e)
{
    FilterState& state = State();
    const QPoint global = e->globalPosition().toPoint();
    state.CursorPos = TPoint(global.x(), global.y());
    SetCursorPosState(state.CursorPos);
    SyncKeys(e->modifiers(), e->buttons());

    TWindow* capture = TWindow::GetCapture();
    TWindow* target = capture != nullptr ? capture : WindowInternals::OwnerOf(widget);
    if (target == nullptr || !target->HasWindow()) {
        return false;
    }
    const MouseKey key{static_cast<int>(e->type()), e->timestamp(), global};
    if (key == state.LastMouse) {
        return state.LastMouseResult;
    }
    state.LastMouse = key;

    const int button = ButtonIndex(e->button());
    UINT msg = WM_MOUSEMOVE;
    bool release = false;
    bool press = false;
    switch (e->type()) {
    case QEvent::MouseMove:
        break;
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
        if (button < 0) {
            return state.LastMouseResult = true;
        }
        press = true;
        state.MenuKeys.Reset(); // a click between Alt's press and release opens no menu
        break;
    case QEvent::MouseButtonRelease:
        if (button < 0) {
            return state.LastMouseResult = true;
        }
        msg = kUp[button];
        release = true;
        break;
    default:
        return false;
    }

    const HWND handle = target->GetHandle();
    int hit = HTCLIENT;
    if (capture == nullptr) {
        hit = static_cast<int>(Deliver(*target, WM_NCHITTEST, 0, MAKELPARAM(state.CursorPos.x, state.CursorPos.y)));
        if (hit != HTCLIENT && button == 2) {
            hit = HTCLIENT; // no non-client messages of the middle button here
        }
    }
    if (press) {
        // A second fast press is a double-click only for classes that ask (the non-client area always asks).
        constexpr int kVk[] = {VK_LBUTTON, VK_RBUTTON, VK_MBUTTON};
        const bool wants = hit != HTCLIENT || (target->GetClass().Style & CS_DBLCLKS) != 0;
        const UINT kind = state.Clicks.Press(handle, kVk[button], state.CursorPos, e->timestamp(),
                                             wants ? TClickTracker::TWantsDoubleClicks::Yes
                                                   : TClickTracker::TWantsDoubleClicks::No);
        msg = kind == kDbl[button] ? kDbl[button] : kDown[button];
    }
    if (capture == nullptr) {
        if (hit != HTCLIENT) {
            msg += kNcOffset;
        }
        if (!target->HasWindow()) {
            return state.LastMouseResult = true;
        }
        if (!release) {
            Deliver(*target, WM_SETCURSOR, handle, MAKELPARAM(hit, msg));
            if (!target->HasWindow()) {
                return state.LastMouseResult = true;
            }
        }
    }

    const unsigned bit = button >= 0 ? (1u << button) : 0u;
    if (release && (state.EatenButtons & bit) != 0) {
        state.EatenButtons &= ~bit;
        return state.LastMouseResult = true;
    }
    MSG m;
    m.hwnd = handle;
    m.message = msg;
    m.pt = state.CursorPos;
    m.time = static_cast<DWORD>(e->timestamp());
    if (hit == HTCLIENT) {
        const TPoint p = target->ScreenToClient(state.CursorPos);
        m.wParam = MouseKeys(e->buttons(), e->modifiers());
        m.lParam = MAKELPARAM(p.x, p.y);
    } else {
        m.wParam = static_cast<WPARAM>(hit);
        m.lParam = MAKELPARAM(state.CursorPos.x, state.CursorPos.y);
    }
    bool wentDefault = false;
    const bool dispatched = DispatchInput(m, &wentDefault);
    if (!dispatched && press) {
        state.EatenButtons |= bit;
    }
    // A standard control does its own thing when its window left the message to the default handling.
    const bool letQt = dispatched && wentDefault && capture == nullptr && IsStandardControl(*target);
    return state.LastMouseResult = !letQt;
}

// The handle of the top-level window a window belongs to.
HWND TopLevelHandle(TWindow& window)
{
    QWidget* top = WidgetOf(window) != nullptr ? WidgetOf(window)->window() : nullptr;
    TWindow* owner = top != nullptr ? WindowInternals::OwnerOf(top) : nullptr;
    return owner != nullptr ? owner->GetHandle() : window.GetHandle();
}

void EnterMenuBar(HWND topLevel, const TMenuBarKeys::TEntry& entry)
{
    if (TWindow* top = TWindow::FromHandle(topLevel); top != nullptr && top->HasWindow()) {
        Deliver(*top, WM_SYSCOMMAND, SC_KEYMENU, static_cast<LPARAM>(static_cast<unsigned char>(entry.Mnemonic)));
    }
}

bool HandleKey(QWidget* widget, QKeyEvent* e)
{
    SyncKeys(e->modifiers(), std::nullopt);
    TWindow* target = WindowInternals::OwnerOf(widget);
    if (target == nullptr) {
        return false;
    }
    // A key an unused control passed on to its parent widget is no new message.
    QWidget* focus = QApplication::focusWidget();
    if (focus != nullptr && focus != widget && WindowInternals::OwnerOf(focus) != target) {
        return false;
    }
    const int vk = VirtualKey(*e);
    const bool press = e->type() == QEvent::KeyPress;
    if (vk != 0) {
        SetKeyDownState(vk, press);
    }
    const bool alt = (e->modifiers() & Qt::AltModifier) != 0;
    const bool sys = alt || vk == VK_F10 || vk == VK_MENU;
    MSG m;
    m.hwnd = target->GetHandle();
    m.message = press ? (sys ? WM_SYSKEYDOWN : WM_KEYDOWN) : (sys ? WM_SYSKEYUP : WM_KEYUP);
    m.wParam = static_cast<WPARAM>(vk);
    LPARAM lp = 1 | (static_cast<LPARAM>(e->nativeScanCode() & 0xFF) << 16);
    lp |= alt ? (LPARAM(1) << 29) : 0;
    lp |= (e->isAutoRepeat() || !press) ? (LPARAM(1) << 30) : 0;
    lp |= press ? 0 : (LPARAM(1) << 31);
    m.lParam = lp;
    m.pt = State().CursorPos;
    m.time = static_cast<DWORD>(e->timestamp());
    bool allDefault = true;
    bool wentDefault = false;
    // The menu bar is entered by a system key message that reached the default handling; the top-level window
    // of the one that got it hears SC_KEYMENU.
    const HWND topLevel = TopLevelHandle(*target);
    const TMenuBarKeys::TEntry keyEntry = vk != 0 ? State().MenuKeys.Key(m.message, m.wParam) : TMenuBarKeys::TEntry{};
    bool dispatched = vk == 0 || DispatchInput(m, &wentDefault);
    allDefault = dispatched && (vk == 0 || wentDefault);
    if (dispatched && wentDefault && keyEntry.Enter) {
        EnterMenuBar(topLevel, keyEntry);
    }
    if (dispatched && press && target->HasWindow()) {
        // The characters the key typed, as TranslateMessage makes them.
        for (const QChar ch : e->text()) {
            if (ch.isNull()) {
                continue;
            }
            MSG c = m;
            c.message = sys ? WM_SYSCHAR : WM_CHAR;
            c.wParam = ch.unicode();
            c.lParam = lp;
            const TMenuBarKeys::TEntry charEntry = State().MenuKeys.Key(c.message, c.wParam);
            const bool charDispatched = DispatchInput(c, &wentDefault);
            allDefault = allDefault && charDispatched && wentDefault;
            if (charDispatched && wentDefault && charEntry.Enter) {
                EnterMenuBar(topLevel, charEntry);
            }
        }
    }
    if (!dispatched) {
        return true;
    }
    return !(allDefault && target->HasWindow() && IsStandardControl(*target));
}

bool HandleFocus(QWidget* widget, QFocusEvent* e)
{
    TWindow* target = WindowInternals::OwnerOf(widget);
    if (target == nullptr || widget != WidgetOf(*target)) {
        return false;
    }
    Deliver(*target, e->gotFocus() ? WM_SETFOCUS : WM_KILLFOCUS, 0, 0);
    return false;
}

// The window manager minimised a top-level window: the window hears SC_MINIMIZE while it is still shown and
// decides (its default handling keeps it minimised; the console hides it into the tray instead). Qt reports the
// minimising only after the fact and the platform echoes state changes back, so the state is not undone here.
bool HandleStateChange(QWidget* widget, QWindowStateChangeEvent* e)
{
    TWindow* target = WindowInternals::OwnerOf(widget);
    if (target == nullptr || widget != WidgetOf(*target) || !widget->isWindow()) {
        return false;
    }
    const bool nowMinimized = (widget->windowState() & Qt::WindowMinimized) != 0;
    const bool wasMinimized = (e->oldState() & Qt::WindowMinimized) != 0;
    if (!nowMinimized || wasMinimized || widget->property("qmMinimizing").toBool()) {
        return false;
    }
    // Asked once the state change is over (showMinimized shows the window again after it).
    const HWND handle = target->GetHandle();
    QTimer::singleShot(0, widget, [handle, widget] {
        TWindow* window = TWindow::FromHandle(handle);
        if (window == nullptr || WidgetOf(*window) != widget) {
            return;
        }
        widget->setProperty("qmMinimizing", true);
        Deliver(*window, WM_SYSCOMMAND, SC_MINIMIZE, MAKELPARAM(State().CursorPos.x, State().CursorPos.y));
        if (WidgetOf(*window) == widget) {
            widget->setProperty("qmMinimizing", false);
        }
    });
    return false;
}

} // namespace

int VirtualKey(const QKeyEvent& e)
{
    const int key = e.key();
    if (key >= Qt::Key_A && key <= Qt::Key_Z) {
        return 'A' + (key - Qt::Key_A);
    }
    if (key >= Qt::Key_0 && key <= Qt::Key_9) {
        return '0' + (key - Qt::Key_0);
    }
    if (key >= Qt::Key_F1 && key <= Qt::Key_F12) {
        return VK_F1 + (key - Qt::Key_F1);
    }
    switch (key) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        return VK_RETURN;
    case Qt::Key_Escape:
        return VK_ESCAPE;
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
        return VK_TAB;
    case Qt::Key_Backspace:
        return VK_BACK;
    case Qt::Key_Space:
        return VK_SPACE;
    case Qt::Key_Left:
        return VK_LEFT;
    case Qt::Key_Right:
        return VK_RIGHT;
    case Qt::Key_Up:
        return VK_UP;
    case Qt::Key_Down:
        return VK_DOWN;
    case Qt::Key_Home:
        return VK_HOME;
    case Qt::Key_End:
        return VK_END;
    case Qt::Key_PageUp:
        return VK_PRIOR;
    case Qt::Key_PageDown:
        return VK_NEXT;
    case Qt::Key_Insert:
        return VK_INSERT;
    case Qt::Key_Delete:
        return VK_DELETE;
    case Qt::Key_Shift:
        return VK_SHIFT;
    case Qt::Key_Control:
        return VK_CONTROL;
    case Qt::Key_Alt:
        return VK_MENU;
    case Qt::Key_Menu:
        return VK_APPS;
    case Qt::Key_Pause:
        return VK_PAUSE;
    default:
        return 0;
    }
}

bool TEventFilter::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::ApplicationDeactivate) {
        State().MenuKeys.Reset(); // the releases of keys held now go to another application
        return false;
    }
    auto* widget = qobject_cast<QWidget*>(watched);
    if (widget == nullptr) {
        return false;
    }
    switch (event->type()) {
    case QEvent::ShortcutOverride:
        // No Qt shortcut fires: the key goes on as an ordinary key press.
        event->accept();
        return true;
    case QEvent::Shortcut:
        return true;
    case QEvent::ContextMenu:
        return WindowInternals::OwnerOf(widget) != nullptr;
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
        return HandleMouse(widget, static_cast<QMouseEvent*>(event));
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
        return HandleKey(widget, static_cast<QKeyEvent*>(event));
    case QEvent::FocusIn:
    case QEvent::FocusOut:
        return HandleFocus(widget, static_cast<QFocusEvent*>(event));
    case QEvent::WindowStateChange:
        return HandleStateChange(widget, static_cast<QWindowStateChangeEvent*>(event));
    case QEvent::Paint:
        return WindowInternals::PaintControl(widget, static_cast<QPaintEvent*>(event));
    default:
        return false;
    }
}

void TagWidget(QWidget* widget, TWindow* owner)
{
    if (widget == nullptr) {
        return;
    }
    widget->setProperty(kOwnerProperty, QVariant::fromValue(reinterpret_cast<quintptr>(owner)));
    if (owner != nullptr && dynamic_cast<TWindowWidget*>(widget) == nullptr) {
        // Standard controls open no menu of their own on the right button.
        widget->setContextMenuPolicy(Qt::PreventContextMenu);
    }
}

TWindow* WindowInternals::OwnerOf(QObject* object)
{
    for (QObject* o = object; o != nullptr; o = o->parent()) {
        const QVariant v = o->property(kOwnerProperty);
        if (v.isValid()) {
            return reinterpret_cast<TWindow*>(v.value<quintptr>());
        }
        if (auto* w = qobject_cast<QWidget*>(o); w != nullptr && w->isWindow()) {
            break;
        }
    }
    return nullptr;
}

QPoint WindowInternals::ClientOrigin(const TWindow& window)
{
    const TRect insets = window.GetNonClientInsets();
    if (WidgetOf(window) == nullptr) {
        return QPoint(insets.left, insets.top);
    }
    return ClientArea(*WidgetOf(window), insets).topLeft();
}

void WindowInternals::GeometryChanged(TWindow& window)
{
    QWidget* widget = WidgetOf(window);
    if (widget == nullptr) {
        return;
    }
    QRect g = widget->geometry();
    TWindow* parent = window.GetParent();
    if (!widget->isWindow() && parent != nullptr) {
        g.translate(-ClientOrigin(*parent));
    }
    const TSize size(g.width(), g.height());
    const TPoint pos(g.x(), g.y());
    if (size != window.m_lastSize) {
        window.m_lastSize = size;
        // The window answers how much of itself is non-client area.
        TRect rect(TPoint(g.x(), g.y()), size);
        const TRect before = rect;
        Deliver(window, WM_NCCALCSIZE, 0, reinterpret_cast<LPARAM>(&rect));
        window.m_ncInsets = TRect(rect.left - before.left, rect.top - before.top, before.right - rect.right,
                                  before.bottom - rect.bottom);
        if (!window.HasWindow()) {
            return;
        }
        const TRect client = window.GetClientRect();
        const WPARAM kind = widget->isMinimized() ? 1 : (widget->isMaximized() ? 2 : 0);
        Deliver(window, WM_SIZE, kind, MAKELPARAM(client.Width(), client.Height()));
        if (auto* own = dynamic_cast<TWindowWidget*>(widget); own != nullptr && window.HasWindow()) {
            own->InvalidateFrame();
            own->InvalidateClient(QRect(0, 0, client.Width(), client.Height()), true);
        }
        if (parent != nullptr && parent->HasWindow() && window.HasWindow()) {
            Deliver(*parent, WM_PARENTNOTIFY, MAKEWPARAM(WM_SIZE, static_cast<WORD>(window.GetId())),
                    static_cast<LPARAM>(window.GetHandle()));
        }
    }
    if (window.HasWindow() && pos != window.m_lastPos) {
        window.m_lastPos = pos;
        Deliver(window, WM_MOVE, 0, MAKELPARAM(pos.x, pos.y));
    }
}

} // namespace qm::gui
