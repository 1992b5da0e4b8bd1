// The scalar vocabulary of the window layer: handles, message parameters and the word-packing helpers.
#pragma once

#include "platform/WindowMessage.h"

#include <cstdint>
#include <functional>

namespace qm::gui {

using UINT = std::uint32_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using BYTE = std::uint8_t;
using WPARAM = std::uint64_t;
using LPARAM = std::int64_t;
using LRESULT = std::int64_t;

/// A window handle is the cross-process handle of the platform layer (process id high, index low); 0 is none.
using HWND = WindowHandle;

/// A menu handle of the menu model. 0 is no menu; a destroyed menu's handle is never reused.
struct HMENU {
    std::uint32_t Value = 0;

    constexpr explicit operator bool() const { return Value != 0; }

    friend constexpr bool operator==(HMENU, HMENU) = default;
};

/// The drawing surface of the Qt side (a device context); the model only passes it along.
class TDC;
using HDC = TDC*;

constexpr WORD LOWORD(std::uint64_t v)
{
    return static_cast<WORD>(v & 0xFFFF);
}

constexpr WORD HIWORD(std::uint64_t v)
{
    return static_cast<WORD>((v >> 16) & 0xFFFF);
}

constexpr DWORD MAKELONG(WORD low, WORD high)
{
    return static_cast<DWORD>(low) | (static_cast<DWORD>(high) << 16);
}

constexpr WPARAM MAKEWPARAM(WORD low, WORD high)
{
    return MAKELONG(low, high);
}

/// Packs two signed 16-bit coordinates the way mouse messages carry them.
constexpr LPARAM MAKELPARAM(int low, int high)
{
    return static_cast<LPARAM>(MAKELONG(static_cast<WORD>(low), static_cast<WORD>(high)));
}

constexpr LRESULT MAKELRESULT(WORD low, WORD high)
{
    return static_cast<LRESULT>(MAKELONG(low, high));
}

/// The signed x and y of a mouse message's lParam (negative in non-client and captured moves).
constexpr int GET_X_LPARAM(LPARAM lp)
{
    return static_cast<std::int16_t>(LOWORD(static_cast<std::uint64_t>(lp)));
}

constexpr int GET_Y_LPARAM(LPARAM lp)
{
    return static_cast<std::int16_t>(HIWORD(static_cast<std::uint64_t>(lp)));
}

} // namespace qm::gui

template <>
struct std::hash<qm::gui::HMENU> {
    std::size_t operator()(qm::gui::HMENU h) const noexcept { return std::hash<std::uint32_t>{}(h.Value); }
};
