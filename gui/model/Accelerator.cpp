// Accelerator tables and string resources.
#include "gui/model/Accelerator.h"

#include "gui/model/GuiState.h"

#include <map>
#include <string>

namespace qm::gui {

namespace {

struct Resources {
    std::map<int, std::vector<ACCEL>> AccelTables;
    std::map<int, std::string> Strings;
};

std::map<int, std::vector<ACCEL>>& AccelTables()
{
    return GuiState().Part<Resources>().AccelTables;
}

std::map<int, std::string>& Strings()
{
    return GuiState().Part<Resources>().Strings;
}

} // namespace

std::optional<UINT> TAccelTable::Translate(const MSG& msg, const TKeyModifiers& modifiers) const
{
    const bool keyDown = msg.message == WM_KEYDOWN || msg.message == WM_SYSKEYDOWN;
    const bool character = msg.message == WM_CHAR || msg.message == WM_SYSCHAR;
    if (!keyDown && !character)
        return std::nullopt;
    for (const ACCEL& a : m_entries) {
        const bool virt = (a.fVirt & FVIRTKEY) != 0;
        if (virt != keyDown || a.key != (msg.wParam & 0xFFFF))
            continue;
        if (((a.fVirt & FALT) != 0) != modifiers.Alt)
            continue;
        // A character already carries Shift and Ctrl in its code; only virtual keys compare them.
        if (virt && (((a.fVirt & FSHIFT) != 0) != modifiers.Shift || ((a.fVirt & FCONTROL) != 0) != modifiers.Control))
            continue;
        return a.cmd;
    }
    return std::nullopt;
}

void RegisterAcceleratorResource(int id, std::vector<ACCEL> entries)
{
    AccelTables()[id] = std::move(entries);
}

std::optional<TAccelTable> LoadAccelerators(int id)
{
    const auto it = AccelTables().find(id);
    if (it == AccelTables().end())
        return std::nullopt;
    return TAccelTable(it->second);
}

void RegisterStringResource(int id, std::string text)
{
    Strings()[id] = std::move(text);
}

std::optional<std::string> LoadString(int id)
{
    const auto it = Strings().find(id);
    if (it == Strings().end())
        return std::nullopt;
    return it->second;
}

std::string CommandHintText(int id, THintText kind)
{
    const auto text = LoadString(id);
    if (!text)
        return {};
    const auto nl = text->find('\n');
    if (nl == std::string::npos)
        return *text;
    return kind == htStatus ? text->substr(0, nl) : text->substr(nl + 1);
}

} // namespace qm::gui
