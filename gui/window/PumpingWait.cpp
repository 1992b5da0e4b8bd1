// The pumping wait.
#include "gui/window/PumpingWait.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

namespace qm::gui {

void WaitPumping(std::chrono::milliseconds duration)
{
    QElapsedTimer clock;
    clock.start();
    // The timer wakes the wait at the end even when nothing else happens.
    QTimer wake;
    wake.setSingleShot(true);
    wake.setTimerType(Qt::PreciseTimer);
    wake.start(duration);
    while (clock.elapsed() < duration.count()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
}

} // namespace qm::gui
