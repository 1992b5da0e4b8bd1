// ShellExecute: opening a document or an address with the desktop's opener, which starts the user's application
// for it (the browser for an address).
#pragma once

#include "gui/window/Window.h"

#include <string_view>

namespace qm::gui {

/// ShellExecute's failures (a result above 32 is success).
inline constexpr int SE_ERR_FNF = 2;      // the opener is not installed, or could not be started
inline constexpr int SE_ERR_NOASSOC = 31; // a verb other than "open", parameters, or a target it will not pass on

/// Opens file (a path or an address) with the desktop's opener found on PATH, started detached in directory
/// (empty: the current one) and never waited for. verb is "open" (or empty); parameters must be empty: the opener
/// takes the target alone. owner and showCmd are accepted for familiarity: where and how the application shows is
/// its own and the desktop's choice. Returns 33 when the opener was started, else SE_ERR_FNF or SE_ERR_NOASSOC.
int ShellExecute(TWindow* owner, std::string_view verb, std::string_view file, std::string_view parameters,
                 std::string_view directory, int showCmd);

} // namespace qm::gui
