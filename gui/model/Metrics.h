// System metrics, the menu font and input timing: one settable table, filled with the classic values and with
// the screen size the Qt side reads from the primary screen.
#pragma once

#include "gui/model/Geometry.h"

#include <string>

namespace qm::gui {

inline constexpr int SM_CXSCREEN = 0;
inline constexpr int SM_CYSCREEN = 1;
inline constexpr int SM_CXVSCROLL = 2;
inline constexpr int SM_CYHSCROLL = 3;
inline constexpr int SM_CYCAPTION = 4;
inline constexpr int SM_CXBORDER = 5;
inline constexpr int SM_CYBORDER = 6;
inline constexpr int SM_CXDLGFRAME = 7;
inline constexpr int SM_CYDLGFRAME = 8;
inline constexpr int SM_CYVTHUMB = 9;
inline constexpr int SM_CXHTHUMB = 10;
inline constexpr int SM_CXICON = 11;
inline constexpr int SM_CYICON = 12;
inline constexpr int SM_CXCURSOR = 13;
inline constexpr int SM_CYCURSOR = 14;
inline constexpr int SM_CYMENU = 15;
inline constexpr int SM_CXFULLSCREEN = 16;
inline constexpr int SM_CYFULLSCREEN = 17;
inline constexpr int SM_CYVSCROLL = 20;
inline constexpr int SM_CXHSCROLL = 21;
inline constexpr int SM_CXMIN = 28;
inline constexpr int SM_CYMIN = 29;
inline constexpr int SM_CXSIZE = 30;
inline constexpr int SM_CYSIZE = 31;
inline constexpr int SM_CXFRAME = 32;
inline constexpr int SM_CYFRAME = 33;
inline constexpr int SM_CXDOUBLECLK = 36;
inline constexpr int SM_CYDOUBLECLK = 37;
inline constexpr int SM_CXEDGE = 45;
inline constexpr int SM_CYEDGE = 46;
inline constexpr int SM_CXSMICON = 49;
inline constexpr int SM_CYSMICON = 50;
inline constexpr int SM_CYSMCAPTION = 51;
inline constexpr int SM_CXSMSIZE = 52;
inline constexpr int SM_CYSMSIZE = 53;
inline constexpr int SM_CXMENUSIZE = 54;
inline constexpr int SM_CYMENUSIZE = 55;
inline constexpr int SM_CXDRAG = 68;
inline constexpr int SM_CYDRAG = 69;
inline constexpr int SM_CXMENUCHECK = 71;
inline constexpr int SM_CYMENUCHECK = 72;
/// The number of entries of the metrics table.
inline constexpr int kSystemMetricCount = 73;

/// The value of a metric; 0 for an index the table does not hold.
int GetSystemMetrics(int index);

/// Sets one metric (for the Qt side's screen size, and for tests). An index outside the table is ignored.
void SetSystemMetric(int index, int value);

/// Puts back the start values of every metric, the menu font and the timings: for tests.
void ResetSystemMetrics();

/// The screen rectangle, (0, 0, SM_CXSCREEN, SM_CYSCREEN).
TRect GetScreenRect();

/// A font description as the window system gives it: a negative height is the character height in pixels, a
/// positive one the cell height; weight 400 is normal, 700 bold.
struct TLogFont {
    std::string FaceName;
    int Height = 0;
    int Width = 0;
    int Weight = 400;
    bool Italic = false;
    bool Underline = false;

    friend bool operator==(const TLogFont&, const TLogFont&) = default;
};

/// The menu font of the non-client metrics (start value: "MS Sans Serif", height -11, normal weight; the Qt side
/// draws that face with its bundled substitute).
TLogFont GetMenuFont();
void SetMenuFont(const TLogFont& font);

/// Longest time in milliseconds between the two presses of a double-click (start value 500).
unsigned GetDoubleClickTime();
void SetDoubleClickTime(unsigned milliseconds);

} // namespace qm::gui
