// The system metrics table.
#include "gui/model/Metrics.h"

#include "gui/model/GuiState.h"

#include <array>
#include <atomic>
#include <mutex>

namespace qm::gui {

namespace {

std::array<int, kSystemMetricCount> StartMetrics()
{
    std::array<int, kSystemMetricCount> m{};
    m[SM_CXSCREEN] = 1024;
    m[SM_CYSCREEN] = 768;
    m[SM_CXVSCROLL] = m[SM_CYHSCROLL] = m[SM_CYVSCROLL] = m[SM_CXHSCROLL] = 16;
    m[SM_CYVTHUMB] = m[SM_CXHTHUMB] = 16;
    m[SM_CYCAPTION] = 19;
    m[SM_CXBORDER] = m[SM_CYBORDER] = 1;
    m[SM_CXDLGFRAME] = m[SM_CYDLGFRAME] = 3;
    m[SM_CXICON] = m[SM_CYICON] = 32;
    m[SM_CXCURSOR] = m[SM_CYCURSOR] = 32;
    m[SM_CYMENU] = 19;
    m[SM_CXFULLSCREEN] = 1024;
    m[SM_CYFULLSCREEN] = 768 - 19;
    m[SM_CXMIN] = 112;
    m[SM_CYMIN] = 27;
    m[SM_CXSIZE] = m[SM_CYSIZE] = 18;
    m[SM_CXFRAME] = m[SM_CYFRAME] = 4;
    m[SM_CXDOUBLECLK] = m[SM_CYDOUBLECLK] = 4;
    m[SM_CXEDGE] = m[SM_CYEDGE] = 2;
    m[SM_CXSMICON] = m[SM_CYSMICON] = 16;
    m[SM_CYSMCAPTION] = 15;
    m[SM_CXSMSIZE] = m[SM_CYSMSIZE] = 13;
    m[SM_CXMENUSIZE] = m[SM_CYMENUSIZE] = 18;
    m[SM_CXDRAG] = m[SM_CYDRAG] = 4;
    m[SM_CXMENUCHECK] = m[SM_CYMENUCHECK] = 13;
    return m;
}

TLogFont StartMenuFont()
{
    return TLogFont{"MS Sans Serif", -11, 0, 400, false, false};
}

struct Table {
    std::array<std::atomic<int>, kSystemMetricCount> Values{};
    std::mutex FontLock;
    TLogFont MenuFont = StartMenuFont();
    std::atomic<unsigned> DoubleClickMs{500};

    Table() { Reset(); }

    void Reset()
    {
        const auto start = StartMetrics();
        for (std::size_t i = 0; i < start.size(); ++i)
            Values[i].store(start[i], std::memory_order_relaxed);
        {
            std::lock_guard guard(FontLock);
            MenuFont = StartMenuFont();
        }
        DoubleClickMs.store(500);
    }
};

Table& TheTable()
{
    return GuiState().Part<Table>();
}

} // namespace

int GetSystemMetrics(int index)
{
    if (index < 0 || index >= kSystemMetricCount)
        return 0;
    return TheTable().Values[static_cast<std::size_t>(index)].load(std::memory_order_acquire);
}

void SetSystemMetric(int index, int value)
{
    if (index < 0 || index >= kSystemMetricCount)
        return;
    TheTable().Values[static_cast<std::size_t>(index)].store(value, std::memory_order_release);
}

void ResetSystemMetrics()
{
    TheTable().Reset();
}

TRect GetScreenRect()
{
    return {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
}

TLogFont GetMenuFont()
{
    Table& t = TheTable();
    std::lock_guard guard(t.FontLock);
    return t.MenuFont;
}

void SetMenuFont(const TLogFont& font)
{
    Table& t = TheTable();
    std::lock_guard guard(t.FontLock);
    t.MenuFont = font;
}

unsigned GetDoubleClickTime()
{
    return TheTable().DoubleClickMs.load();
}

void SetDoubleClickTime(unsigned milliseconds)
{
    TheTable().DoubleClickMs.store(milliseconds);
}

} // namespace qm::gui
