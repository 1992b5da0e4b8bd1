// TDialog: a window of controls, modal (Execute) or modeless (Create), with the dialog keys of the model's
// keyboard rules: Enter is the default button (unless the focused edit wants returns), Escape IDCANCEL, Tab and
// Shift+Tab move through the tab stops, the arrows through a group of buttons.
#pragma once

#include "gui/window/Window.h"

#include <memory>
#include <string_view>

namespace qm::gui {

class TDialog : public TWindow {
public:
    explicit TDialog(TWindow* parent, std::string_view title = {});

    /// Creates the dialog, shows it and runs a modal loop until CloseWindow; returns the code given to it
    /// (IDCANCEL when the dialog could not be made).
    virtual int Execute();
    /// Ends the dialog: a modal one returns retValue from Execute; both lose their window.
    virtual void CloseWindow(int retValue);
    /// IDOK: when CanClose agrees, CloseWindow(IDOK). IDCANCEL: CloseWindow(IDCANCEL).
    virtual void CmOk();
    virtual void CmCancel();

    bool IsModal() const { return m_modal; }

    /// Creates the controls; each hears WM_SETFONT with the dialog's font as it comes, the way controls of a
    /// dialog description take the description's font.
    void SetupWindow() override;
    LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override;
    bool HandleDialogKeys(MSG& msg) override;
    void GetWindowClass(TWindowClass& windowClass) override;

private:
    void FocusFirst();
    bool m_modal = false;
    bool m_ending = false;
};

/// Whether the desktop shows a notification area (false on the offscreen platform and without a tray).
bool TrayAvailable();

/// The notification-area icon of a window: clicks arrive at the window as callbackMessage with the mouse
/// message in lParam and the icon id in wParam. Add fails without a tray (the caller may retry later).
class TTrayIcon {
public:
    TTrayIcon(TWindow& window, UINT id, UINT callbackMessage);
    TTrayIcon(const TTrayIcon&) = delete;
    TTrayIcon& operator=(const TTrayIcon&) = delete;
    ~TTrayIcon();
    bool Add(std::string_view tip);
    bool Modify(std::string_view tip);
    void Delete();
    bool IsAdded() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace qm::gui
