// Command routing and the command enablers.
#include "gui/model/CommandEnabler.h"

#include "gui/model/Messages.h"

namespace qm::gui {

void TCommandEnabler::Enable(bool /*enable*/)
{
    m_handled = true;
}

void TCommandEnabler::SetText(std::string_view /*text*/)
{}

void TCommandEnabler::SetCheck(int /*state*/)
{}

void TMenuItemEnabler::Enable(bool enable)
{
    TCommandEnabler::Enable(enable);
    EnableMenuItem(m_menu, static_cast<UINT>(m_position), MF_BYPOSITION | (enable ? MF_ENABLED : MF_GRAYED));
}

void TMenuItemEnabler::SetText(std::string_view text)
{
    TCommandEnabler::SetText(text);
    MENUITEMINFO info;
    info.fMask = MIIM_TYPE;
    if (!GetMenuItemInfo(m_menu, static_cast<UINT>(m_position), true, info))
        return;
    info.dwTypeData = std::string(text);
    SetMenuItemInfo(m_menu, static_cast<UINT>(m_position), true, info);
}

void TMenuItemEnabler::SetCheck(int state)
{
    TCommandEnabler::SetCheck(state);
    CheckMenuItem(m_menu, static_cast<UINT>(m_position), MF_BYPOSITION | (state == Checked ? MF_CHECKED : 0));
}

bool TCommandTarget::Command(UINT id)
{
    const auto it = m_commands.find(id);
    if (it == m_commands.end())
        return false;
    // A copy: the handler may replace its own table entry.
    const TCommandHandler handler = it->second;
    handler();
    return true;
}

bool TCommandTarget::CommandEnable(TCommandEnabler& enabler)
{
    const auto it = m_enablers.find(enabler.GetId());
    if (it == m_enablers.end())
        return false;
    const TEnableHandler handler = it->second;
    handler(enabler);
    return true;
}

bool RouteCommand(std::span<TCommandTarget* const> chain, UINT id)
{
    for (TCommandTarget* target : chain) {
        if (target != nullptr && target->HasCommand(id))
            return target->Command(id);
    }
    return false;
}

void RouteCommandEnable(std::span<TCommandTarget* const> chain, TCommandEnabler& enabler, TAutoEnable autoEnable)
{
    bool handlerFound = false;
    for (TCommandTarget* target : chain) {
        if (target == nullptr)
            continue;
        if (target->HasCommandEnable(enabler.GetId())) {
            target->CommandEnable(enabler);
            if (enabler.GetHandled())
                return;
        }
        if (target->HasCommand(enabler.GetId())) {
            handlerFound = true;
            break; // the first receiver of the command decides; nothing later in the chain would get it
        }
    }
    if (handlerFound)
        enabler.Enable(true);
    else if (autoEnable == TAutoEnable::On && enabler.SendsCommand())
        enabler.Enable(false);
}

void EnableMenuItems(HMENU popup, std::span<TCommandTarget* const> chain, HWND receiver, TAutoEnable autoEnable)
{
    const int count = GetMenuItemCount(popup);
    for (int pos = 0; pos < count; ++pos) {
        const UINT state = GetMenuItemFlags(popup, static_cast<UINT>(pos), MF_BYPOSITION);
        if ((state & (MF_POPUP | MF_SEPARATOR)) != 0)
            continue;
        const UINT id = GetMenuItemID(popup, pos);
        if (id == 0)
            continue;
        TMenuItemEnabler enabler(popup, id, receiver, pos);
        RouteCommandEnable(chain, enabler, autoEnable);
    }
}

} // namespace qm::gui
