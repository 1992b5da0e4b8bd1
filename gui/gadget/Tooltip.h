// TTooltip: the tooltip of a gadget window for windows that stand in it. A tool is a window (named by its handle);
// while the mouse is over the tool or any window inside it (the edit part of a combo box), the tool's text shows.
#pragma once

#include "gui/model/WinTypes.h"

#include <memory>
#include <string>
#include <string_view>

namespace qm::gui {

class TWindow;

class TTooltip {
public:
    TTooltip();
    ~TTooltip();

    TTooltip(const TTooltip&) = delete;
    TTooltip& operator=(const TTooltip&) = delete;

    /// Registers the window of tool with text; a window already registered just takes the new text. False when
    /// tool names no window of this process or the window has not been created yet. Tools whose windows have
    /// been destroyed are dropped here.
    bool AddTool(HWND tool, std::string_view text);
    /// Forgets tool (its tip goes away when it shows); nothing for a window that is no tool.
    void DeleteTool(HWND tool);
    /// A new text for a registered tool; false when tool is none.
    bool UpdateTipText(HWND tool, std::string_view text);

    bool HasTool(HWND tool) const;
    /// The tool's text; empty when tool is none.
    std::string GetToolText(HWND tool) const;
    int GetToolCount() const;

    /// The text showing now (empty when none).
    const std::string& GetShownText() const;

private:
    class TImpl;
    std::unique_ptr<TImpl> m_impl;
};

} // namespace qm::gui
