// Colours in the window system's byte order (0x00BBGGRR) and the process-wide table of system colours.
// The table is settable so that a colour change (and the SYSCOLORCHANGE it causes) can be made and tested; the
// Qt side converts a colour only where it draws.
#pragma once

#include "gui/model/WinTypes.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

namespace qm::gui {

using COLORREF = std::uint32_t;

constexpr COLORREF RGB(int r, int g, int b)
{
    return static_cast<COLORREF>(r & 0xFF) | (static_cast<COLORREF>(g & 0xFF) << 8) |
           (static_cast<COLORREF>(b & 0xFF) << 16);
}

constexpr int GetRValue(COLORREF c)
{
    return static_cast<int>(c & 0xFF);
}

constexpr int GetGValue(COLORREF c)
{
    return static_cast<int>((c >> 8) & 0xFF);
}

constexpr int GetBValue(COLORREF c)
{
    return static_cast<int>((c >> 16) & 0xFF);
}

// System colour indexes.
inline constexpr int COLOR_SCROLLBAR = 0;
inline constexpr int COLOR_BACKGROUND = 1;
inline constexpr int COLOR_ACTIVECAPTION = 2;
inline constexpr int COLOR_INACTIVECAPTION = 3;
inline constexpr int COLOR_MENU = 4;
inline constexpr int COLOR_WINDOW = 5;
inline constexpr int COLOR_WINDOWFRAME = 6;
inline constexpr int COLOR_MENUTEXT = 7;
inline constexpr int COLOR_WINDOWTEXT = 8;
inline constexpr int COLOR_CAPTIONTEXT = 9;
inline constexpr int COLOR_ACTIVEBORDER = 10;
inline constexpr int COLOR_INACTIVEBORDER = 11;
inline constexpr int COLOR_APPWORKSPACE = 12;
inline constexpr int COLOR_HIGHLIGHT = 13;
inline constexpr int COLOR_HIGHLIGHTTEXT = 14;
inline constexpr int COLOR_BTNFACE = 15;
inline constexpr int COLOR_BTNSHADOW = 16;
inline constexpr int COLOR_GRAYTEXT = 17;
inline constexpr int COLOR_BTNTEXT = 18;
inline constexpr int COLOR_INACTIVECAPTIONTEXT = 19;
inline constexpr int COLOR_BTNHIGHLIGHT = 20;
inline constexpr int COLOR_3DDKSHADOW = 21;
inline constexpr int COLOR_3DLIGHT = 22;
inline constexpr int COLOR_INFOTEXT = 23;
inline constexpr int COLOR_INFOBK = 24;
inline constexpr int COLOR_3DFACE = COLOR_BTNFACE;
inline constexpr int COLOR_3DSHADOW = COLOR_BTNSHADOW;
inline constexpr int COLOR_3DHILIGHT = COLOR_BTNHIGHLIGHT;
inline constexpr int COLOR_3DHIGHLIGHT = COLOR_BTNHIGHLIGHT;
inline constexpr int COLOR_DESKTOP = COLOR_BACKGROUND;
/// The number of entries of the system colour table.
inline constexpr int kSysColorCount = 25;

/// The colour of a system colour index; black for an index outside the table.
COLORREF GetSysColor(int index);

/// Sets count system colours at once (indexes outside the table are skipped), then calls every listener once,
/// so that the Qt side can broadcast WM_SYSCOLORCHANGE. Returns false when no index was valid.
bool SetSysColors(std::span<const int> indexes, std::span<const COLORREF> colors);

/// Puts back the table's start values (and tells the listeners): for tests.
void ResetSysColors();

/// Called after every change of the table; the id removes it again. Listeners run on the calling thread.
using SysColorListener = std::function<void()>;
int AddSysColorListener(SysColorListener listener);
void RemoveSysColorListener(int id);

/// Counts the changes of the table since the process began; caches compare it to know when to rebuild.
std::uint32_t SysColorGeneration();

/// A colour value: either a plain RGB colour or a reference to a system colour that is looked up when used, so a
/// brush made from TColor::Sys3dFace follows a colour change.
class TColor {
public:
    constexpr TColor() = default;

    constexpr TColor(COLORREF value)
        : m_value(value & 0x00FFFFFF)
    {} // NOLINT: converts like a COLORREF

    constexpr TColor(int r, int g, int b)
        : m_value(RGB(r, g, b))
    {}

    /// The colour that system colour index stands for, resolved when used.
    static constexpr TColor FromSys(int index)
    {
        TColor c;
        c.m_value = kSysFlag | static_cast<std::uint32_t>(index & 0xFF);
        return c;
    }

    constexpr bool IsSysColor() const { return (m_value & kSysFlag) != 0; }

    constexpr int Index() const { return static_cast<int>(m_value & 0xFF); }

    /// The RGB value now (a system colour looked up in the table).
    COLORREF Rgb() const { return IsSysColor() ? GetSysColor(Index()) : m_value; }

    operator COLORREF() const { return Rgb(); } // NOLINT: a colour is used wherever a COLORREF is

    int Red() const { return GetRValue(Rgb()); }

    int Green() const { return GetGValue(Rgb()); }

    int Blue() const { return GetBValue(Rgb()); }

    /// The same value (a system colour reference equals only the same reference, not its current RGB).
    constexpr bool SameAs(const TColor& o) const { return m_value == o.m_value; }

    static const TColor Black, White, LtGray, Gray, LtRed, LtGreen, LtBlue, LtYellow;
    static const TColor Sys3dFace, Sys3dShadow, Sys3dHilight, Sys3dDkShadow, Sys3dLight, SysMenu, SysMenuText,
            SysHighlight, SysHighlightText, SysGrayText, SysBtnFace, SysBtnShadow, SysBtnHighlight, SysBtnText,
            SysWindow, SysWindowText, SysInfoBk, SysInfoText, SysActiveCaption, SysCaptionText;

private:
    static constexpr std::uint32_t kSysFlag = 0x80000000u;
    std::uint32_t m_value = 0;
};

} // namespace qm::gui
