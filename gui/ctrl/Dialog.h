// TDialog: a window of controls, modal (Execute) or modeless (Create), with the dialog keys of the model's
// keyboard rules: Enter is the default button (unless the focused edit wants returns), Escape IDCANCEL, Tab and
// Shift+Tab move through the tab stops, the arrows through a group of buttons.
#pragma once

#include "gui/draw/Icon.h"
#include "gui/model/DialogResource.h"
#include "gui/window/Window.h"

#include <cstddef>
#include <memory>
#include <string_view>

namespace qm::gui {

class TDialog : public TWindow {
public:
    explicit TDialog(TWindow* parent, std::string_view title = {});
    /// A dialog built from the dialog description registered as resourceId: its frame, title, font and size,
    /// and its controls in the description's tab order. A control object the program made with a control's id
    /// (the resource-id constructors) becomes that control; the dialog makes the others itself, and those take
    /// no part in transfer. Create fails when no description has that id.
    TDialog(TWindow* parent, int resourceId);

    /// Applies the description (when the dialog has one) and makes the window; a modeless dialog whose
    /// description is visible shows at once.
    bool Create() override;

    /// Creates the dialog, shows it and runs a modal loop until CloseWindow; returns the code given to it
    /// (IDCANCEL when the dialog could not be made).
    virtual int Execute();
    /// Ends the dialog: a modal one returns retValue from Execute; both lose their window.
    virtual void CloseWindow(int retValue);
    /// IDOK: when CanClose agrees, CloseWindow(IDOK). IDCANCEL: CloseWindow(IDCANCEL).
    virtual void CmOk();
    virtual void CmCancel();

    bool IsModal() const { return m_modal; }

    int GetResourceId() const { return m_resourceId; }

    /// The buffer the controls' values are copied to and from: one field per transferring control, in the
    /// order the control objects were made, laid out as a struct of those fields. SetupWindow fills the
    /// controls from it, CmOk the buffer from the controls. A control whose field would run past size is left
    /// out. The buffer must outlive the dialog's window.
    void SetTransferBuffer(void* buffer, std::size_t size);

    template <typename T>
    void SetTransferBuffer(T* buffer)
    {
        SetTransferBuffer(buffer, sizeof(T));
    }

    /// Copies between the controls and the transfer buffer; false when there is no buffer or a field did not fit.
    bool TransferData(TTransferDirection direction);
    /// The pixels of a rectangle in this dialog's units (from its font).
    TRect MapDialogRect(const TRect& dialogUnits) const;

    /// Creates the controls; each hears WM_SETFONT with the dialog's font as it comes, the way controls of a
    /// dialog description take the description's font.
    void SetupWindow() override;
    LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override;
    bool HandleDialogKeys(MSG& msg) override;
    void GetWindowClass(TWindowClass& windowClass) override;

private:
    void ApplyDescription(const TDialogTemplate& description);
    /// The controls in tab order: the description's order when there is one, then any others as made.
    std::vector<TWindow*> TabOrder() const;
    void FocusFirst();
    int m_resourceId = 0;
    std::vector<TWindow*> m_itemWindows; // the description's controls, in tab order
    TSize m_baseUnits{6, 13};
    std::byte* m_transferBuffer = nullptr;
    std::size_t m_transferSize = 0;
    bool m_modal = false;
    bool m_ending = false;
};

/// Whether the desktop shows a notification area (false on the offscreen platform and without a tray).
bool TrayAvailable();

/// The notification-area icon of a window, showing icon iconId: clicks arrive at the window as callbackMessage
/// with the mouse message in lParam and the icon id in wParam. Add fails without a tray (the caller may retry
/// later).
class TTrayIcon {
public:
    TTrayIcon(TWindow& window, UINT id, UINT callbackMessage, int iconId);
    TTrayIcon(const TTrayIcon&) = delete;
    TTrayIcon& operator=(const TTrayIcon&) = delete;
    ~TTrayIcon();
    bool Add(std::string_view tip);
    bool Modify(std::string_view tip);
    void Delete();
    bool IsAdded() const;
    /// The small picture the tray shows (empty when iconId is not registered).
    TIcon GetIcon() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace qm::gui
