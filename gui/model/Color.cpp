// The system colour table and its listeners.
#include "gui/model/Color.h"

#include "gui/model/GuiState.h"

#include <array>
#include <atomic>
#include <mutex>
#include <utility>
#include <vector>

namespace qm::gui {

namespace {

// The classic grey 3-D scheme, which the kit's bitmaps (light-grey mask colour) are drawn for.
constexpr std::array<COLORREF, kSysColorCount> kStartColors = {
        RGB(192, 192, 192), // scroll bar
        RGB(0, 128, 128),   // desktop
        RGB(0, 0, 128),     // active caption
        RGB(128, 128, 128), // inactive caption
        RGB(192, 192, 192), // menu
        RGB(255, 255, 255), // window
        RGB(0, 0, 0),       // window frame
        RGB(0, 0, 0),       // menu text
        RGB(0, 0, 0),       // window text
        RGB(255, 255, 255), // caption text
        RGB(192, 192, 192), // active border
        RGB(192, 192, 192), // inactive border
        RGB(128, 128, 128), // application work space
        RGB(0, 0, 128),     // highlight
        RGB(255, 255, 255), // highlight text
        RGB(192, 192, 192), // button face
        RGB(128, 128, 128), // button shadow
        RGB(128, 128, 128), // grey text
        RGB(0, 0, 0),       // button text
        RGB(192, 192, 192), // inactive caption text
        RGB(255, 255, 255), // button highlight
        RGB(0, 0, 0),       // 3-D dark shadow
        RGB(223, 223, 223), // 3-D light
        RGB(0, 0, 0),       // tooltip text
        RGB(255, 255, 225), // tooltip background
};

struct Table {
    std::mutex Lock;
    std::array<std::atomic<COLORREF>, kSysColorCount> Colors{};
    std::vector<std::pair<int, SysColorListener>> Listeners;
    int NextId = 1;
    std::atomic<std::uint32_t> Generation{0};

    Table()
    {
        for (std::size_t i = 0; i < Colors.size(); ++i)
            Colors[i].store(kStartColors[i], std::memory_order_relaxed);
    }
};

Table& TheTable()
{
    return GuiState().Part<Table>();
}

void Notify()
{
    Table& t = TheTable();
    t.Generation.fetch_add(1, std::memory_order_acq_rel);
    std::vector<SysColorListener> listeners;
    {
        std::lock_guard guard(t.Lock);
        for (const auto& entry : t.Listeners)
            listeners.push_back(entry.second);
    }
    // Called outside the lock: a listener may read colours or add and remove listeners.
    for (const auto& listener : listeners)
        listener();
}

} // namespace

COLORREF GetSysColor(int index)
{
    if (index < 0 || index >= kSysColorCount)
        return 0;
    return TheTable().Colors[static_cast<std::size_t>(index)].load(std::memory_order_acquire);
}

bool SetSysColors(std::span<const int> indexes, std::span<const COLORREF> colors)
{
    Table& t = TheTable();
    bool any = false;
    for (std::size_t i = 0; i < indexes.size() && i < colors.size(); ++i) {
        const int index = indexes[i];
        if (index < 0 || index >= kSysColorCount)
            continue;
        t.Colors[static_cast<std::size_t>(index)].store(colors[i] & 0x00FFFFFF, std::memory_order_release);
        any = true;
    }
    if (any)
        Notify();
    return any;
}

void ResetSysColors()
{
    Table& t = TheTable();
    for (std::size_t i = 0; i < t.Colors.size(); ++i)
        t.Colors[i].store(kStartColors[i], std::memory_order_release);
    Notify();
}

int AddSysColorListener(SysColorListener listener)
{
    Table& t = TheTable();
    std::lock_guard guard(t.Lock);
    const int id = t.NextId++;
    t.Listeners.emplace_back(id, std::move(listener));
    return id;
}

void RemoveSysColorListener(int id)
{
    Table& t = TheTable();
    std::lock_guard guard(t.Lock);
    std::erase_if(t.Listeners, [id](const auto& entry) { return entry.first == id; });
}

std::uint32_t SysColorGeneration()
{
    return TheTable().Generation.load(std::memory_order_acquire);
}

const TColor TColor::Black(0, 0, 0);
const TColor TColor::White(255, 255, 255);
const TColor TColor::LtGray(192, 192, 192);
const TColor TColor::Gray(128, 128, 128);
const TColor TColor::LtRed(255, 0, 0);
const TColor TColor::LtGreen(0, 255, 0);
const TColor TColor::LtBlue(0, 0, 255);
const TColor TColor::LtYellow(255, 255, 0);
const TColor TColor::Sys3dFace = TColor::FromSys(COLOR_3DFACE);
const TColor TColor::Sys3dShadow = TColor::FromSys(COLOR_3DSHADOW);
const TColor TColor::Sys3dHilight = TColor::FromSys(COLOR_3DHILIGHT);
const TColor TColor::Sys3dDkShadow = TColor::FromSys(COLOR_3DDKSHADOW);
const TColor TColor::Sys3dLight = TColor::FromSys(COLOR_3DLIGHT);
const TColor TColor::SysMenu = TColor::FromSys(COLOR_MENU);
const TColor TColor::SysMenuText = TColor::FromSys(COLOR_MENUTEXT);
const TColor TColor::SysHighlight = TColor::FromSys(COLOR_HIGHLIGHT);
const TColor TColor::SysHighlightText = TColor::FromSys(COLOR_HIGHLIGHTTEXT);
const TColor TColor::SysGrayText = TColor::FromSys(COLOR_GRAYTEXT);
const TColor TColor::SysBtnFace = TColor::FromSys(COLOR_BTNFACE);
const TColor TColor::SysBtnShadow = TColor::FromSys(COLOR_BTNSHADOW);
const TColor TColor::SysBtnHighlight = TColor::FromSys(COLOR_BTNHIGHLIGHT);
const TColor TColor::SysBtnText = TColor::FromSys(COLOR_BTNTEXT);
const TColor TColor::SysWindow = TColor::FromSys(COLOR_WINDOW);
const TColor TColor::SysWindowText = TColor::FromSys(COLOR_WINDOWTEXT);
const TColor TColor::SysInfoBk = TColor::FromSys(COLOR_INFOBK);
const TColor TColor::SysInfoText = TColor::FromSys(COLOR_INFOTEXT);
const TColor TColor::SysActiveCaption = TColor::FromSys(COLOR_ACTIVECAPTION);
const TColor TColor::SysCaptionText = TColor::FromSys(COLOR_CAPTIONTEXT);

} // namespace qm::gui
