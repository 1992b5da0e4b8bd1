// Accelerator tables: key combinations that become commands before a key reaches the focus window, so that an
// accelerator works with the focus in an edit. Tables are compiled in and registered by id.
#pragma once

#include "gui/model/Messages.h"
#include "gui/model/WinTypes.h"

#include <optional>
#include <span>
#include <vector>

namespace qm::gui {

inline constexpr BYTE FVIRTKEY = 0x01;
inline constexpr BYTE FNOINVERT = 0x02;
inline constexpr BYTE FSHIFT = 0x04;
inline constexpr BYTE FCONTROL = 0x08;
inline constexpr BYTE FALT = 0x10;

/// One entry: with FVIRTKEY, key is a virtual key matched on WM_KEYDOWN/WM_SYSKEYDOWN with exactly the named
/// modifiers; without it, key is a character matched on WM_CHAR/WM_SYSCHAR (case-sensitive; Ctrl+B is 2).
struct ACCEL {
    BYTE fVirt = 0;
    WORD key = 0;
    WORD cmd = 0;
};

/// The modifier keys held when the key message came.
struct TKeyModifiers {
    bool Shift = false;
    bool Control = false;
    bool Alt = false;
};

class TAccelTable {
public:
    TAccelTable() = default;

    explicit TAccelTable(std::vector<ACCEL> entries)
        : m_entries(std::move(entries))
    {}

    /// The command of the first entry the message matches; none for other messages and keys. The caller sends
    /// WM_COMMAND with 1 in the high word of wParam (from an accelerator).
    std::optional<UINT> Translate(const MSG& msg, const TKeyModifiers& modifiers) const;

    std::span<const ACCEL> Entries() const { return m_entries; }

private:
    std::vector<ACCEL> m_entries;
};

void RegisterAcceleratorResource(int id, std::vector<ACCEL> entries);
/// None when no table has that id.
std::optional<TAccelTable> LoadAccelerators(int id);

/// String resources by id ("hint\ncaption" for commands). None when no string has that id.
void RegisterStringResource(int id, std::string text);
std::optional<std::string> LoadString(int id);

enum THintText {
    htStatus = 1,
    htTooltip = 2
};

/// The hint a command's string gives: the status text is the part before the first newline, the tooltip the part
/// after it (the whole string when it has no newline). Empty when the command has no string.
std::string CommandHintText(int id, THintText kind);

} // namespace qm::gui
