// The application's one event filter: turns Qt's input, focus and state events into window messages, in a fixed
// order (EventFilter.cpp lists it), and passes them through the application's pre-filter.
#pragma once

#include "gui/model/WinTypes.h"

#include <QObject>

class QKeyEvent;

namespace qm::gui {

/// The virtual-key code of a Qt key event (VK_*; letters and digits as their capitals); 0 for keys the layer
/// does not name.
int VirtualKey(const QKeyEvent& e);

class TEventFilter final : public QObject {
public:
    bool eventFilter(QObject* watched, QEvent* event) override;
};

} // namespace qm::gui
