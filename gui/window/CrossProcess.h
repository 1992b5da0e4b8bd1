// Window handles other processes can post to (the platform's window messages), for the window layer.
#pragma once

#include "gui/model/WinTypes.h"

namespace qm {
class IpcNamespace;
}

namespace qm::gui {

/// The namespace window handles are made in (default: that of the program's directory).
void SetWindowNamespace(const IpcNamespace& ns);
/// A new handle bound to an endpoint whose messages are queued for the handle's window; 0 when none could be
/// made (the window then only takes posts from its own process).
HWND OpenWindowHandle();
void CloseWindowHandle(HWND handle);
/// Whether the handle has an endpoint of this process.
bool IsCrossProcessHandle(HWND handle);
/// Posts to a window of another process; false when the message was dropped.
bool PostToOtherProcess(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);

} // namespace qm::gui
