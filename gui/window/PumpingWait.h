// A wait that keeps the program's windows alive: for a program without a message loop (the launcher does all its
// work before a loop would start), so that its windows are shown and repainted while it pauses.
#pragma once

#include <chrono>

namespace qm::gui {

/// Returns after duration, handling the window system's events (showing, painting, timers) meanwhile.
void WaitPumping(std::chrono::milliseconds duration);

} // namespace qm::gui
