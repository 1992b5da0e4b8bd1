// Message boxes, the folder and file choosers (Qt's own dialogs) and the splash window.
#pragma once

#include "gui/window/Window.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace qm::gui {

// Message box buttons and icons.
inline constexpr UINT MB_OK = 0x0000;
inline constexpr UINT MB_OKCANCEL = 0x0001;
inline constexpr UINT MB_YESNOCANCEL = 0x0003;
inline constexpr UINT MB_YESNO = 0x0004;
inline constexpr UINT MB_ICONSTOP = 0x0010;
inline constexpr UINT MB_ICONERROR = MB_ICONSTOP;
inline constexpr UINT MB_ICONQUESTION = 0x0020;
inline constexpr UINT MB_ICONEXCLAMATION = 0x0030;
inline constexpr UINT MB_ICONINFORMATION = 0x0040;

/// A modal message box over owner (null: none); returns IDOK, IDCANCEL, IDYES or IDNO.
int MessageBox(TWindow* owner, std::string_view text, std::string_view caption, UINT type = MB_OK);

/// The folder the user chose, or nothing when cancelled.
std::optional<std::string> ChooseFolder(TWindow* owner, std::string_view title, std::string_view start = {});
/// The existing file the user chose to open, or nothing when cancelled. filter holds description|patterns pairs
/// ("Ini Files (*.ini)|*.ini|All files (*.*)|*.*||"), the first pair chosen at first; start is the folder to
/// show, or a file (a name alone: in the working directory) to propose; defaultExt ("ini", no dot) is added to a
/// name typed without an extension.
std::optional<std::string> ChooseOpenFile(TWindow* owner, std::string_view title, std::string_view filter = {},
                                          std::string_view start = {}, std::string_view defaultExt = {});

/// A splash window: a picture file shown centred on the screen, shrunk (keeping its shape) to fit, closing
/// by itself after closeAfterMs (0: it stays until destroyed). A missing or unreadable file shows nothing
/// (Create fails).
class TSplashWindow : public TWindow {
public:
    TSplashWindow(TWindow* parent, std::string path, UINT closeAfterMs);
    bool Create() override;
    void Paint(TDC& dc, bool erase, TRect& rect) override;
    LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override;
    /// The picture's size as shown.
    TSize ShownSize() const;

private:
    struct Picture;
    std::string m_path;
    UINT m_closeAfter;
    std::shared_ptr<Picture> m_picture;
};

} // namespace qm::gui
