// Command enabling and routing: a command goes to the client, then the frame, then the application; the first
// that handles it wins. A command enabler asks the same chain whether a command is available: the first target
// with an enabler for the id decides; otherwise a target with a handler makes it enabled; with auto-enable on, a
// command that nobody handles is disabled.
#pragma once

#include "gui/model/Menu.h"
#include "gui/model/WinTypes.h"

#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>

namespace qm::gui {

/// Asks the receivers of a command for its state. Enable, SetCheck and SetText change the user interface object
/// (menu item, button gadget) the enabler stands for; only Enable marks the enabler handled, so an enabler that
/// just sets a check or a text leaves the enabled state to auto-enable.
class TCommandEnabler {
public:
    enum TCheckState {
        Unchecked = 0,
        Checked = 1,
        Indeterminate = 2
    };

    explicit TCommandEnabler(UINT id, HWND receiver = 0)
        : m_id(id)
        , m_receiver(receiver)
    {}

    virtual ~TCommandEnabler() = default;
    TCommandEnabler(const TCommandEnabler&) = delete;
    TCommandEnabler& operator=(const TCommandEnabler&) = delete;

    UINT GetId() const { return m_id; }

    HWND GetReceiver() const { return m_receiver; }

    bool IsReceiver(HWND window) const { return window != 0 && window == m_receiver; }

    virtual void Enable(bool enable = true);
    virtual void SetText(std::string_view text);
    virtual void SetCheck(int state);

    bool GetHandled() const { return m_handled; }

    void SetHandled() { m_handled = true; }

    /// False for an object that does not send the command itself (its state is only shown).
    bool SendsCommand() const { return m_sendsCommand; }

protected:
    void SetNonSender() { m_sendsCommand = false; }

private:
    UINT m_id;
    HWND m_receiver;
    bool m_handled = false;
    bool m_sendsCommand = true;
};

/// The enabler of one item of a pop-up menu, by position.
class TMenuItemEnabler : public TCommandEnabler {
public:
    TMenuItemEnabler(HMENU menu, UINT id, HWND receiver, int position)
        : TCommandEnabler(id, receiver)
        , m_menu(menu)
        , m_position(position)
    {}

    HMENU GetMenu() const { return m_menu; }

    int GetPosition() const { return m_position; }

    void Enable(bool enable = true) override;
    /// Replaces the item's string, keeping its type, state and data.
    void SetText(std::string_view text) override;
    void SetCheck(int state) override;

private:
    HMENU m_menu;
    int m_position;
};

/// One receiver in the command chain: its own command handlers and enablers, looked up by id.
class TCommandTarget {
public:
    using TCommandHandler = std::function<void()>;
    using TEnableHandler = std::function<void(TCommandEnabler&)>;

    virtual ~TCommandTarget() = default;

    void OnCommand(UINT id, TCommandHandler handler) { m_commands[id] = std::move(handler); }

    void OnCommandEnable(UINT id, TEnableHandler handler) { m_enablers[id] = std::move(handler); }

    virtual bool HasCommand(UINT id) const { return m_commands.contains(id); }

    virtual bool HasCommandEnable(UINT id) const { return m_enablers.contains(id); }

    /// Runs the handler; false when there is none.
    virtual bool Command(UINT id);
    /// Runs the enabler; false when there is none.
    virtual bool CommandEnable(TCommandEnabler& enabler);

private:
    std::unordered_map<UINT, TCommandHandler> m_commands;
    std::unordered_map<UINT, TEnableHandler> m_enablers;
};

enum class TAutoEnable {
    Off,
    On
};

/// Sends the command to the first target of the chain (client, frame, application; null entries skipped) that
/// handles it. False when none does.
bool RouteCommand(std::span<TCommandTarget* const> chain, UINT id);

/// Asks the chain about the enabler's command (see the file comment). Afterwards the enabler is handled whenever
/// some target answered or auto-enable decided.
void RouteCommandEnable(std::span<TCommandTarget* const> chain, TCommandEnabler& enabler, TAutoEnable autoEnable);

/// The frame's answer to WM_INITMENUPOPUP: an enabler for every command item of the pop-up (separators and
/// submenu items are skipped), routed through the chain.
void EnableMenuItems(HMENU popup, std::span<TCommandTarget* const> chain, HWND receiver, TAutoEnable autoEnable);

} // namespace qm::gui
