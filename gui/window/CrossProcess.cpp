// Messages between processes: posts to another process's window handle go out as the platform's window
// message datagrams.
#include "gui/window/EventFilter.h"

#include "platform/IpcNamespace.h"
#include "platform/WindowMessage.h"

#include <QCoreApplication>

namespace qm::gui {

namespace {

// The installation's namespace: the program's directory is the installation directory.
const IpcNamespace& Namespace()
{
    static const IpcNamespace ns = IpcNamespace::ForInstallDir(QCoreApplication::applicationDirPath().toStdString());
    return ns;
}

} // namespace

bool PostToOtherProcess(HWND window, UINT msg, WPARAM wParam, LPARAM lParam)
{
    return PostWindowMessage(Namespace(), window, msg, wParam, lParam) == PostResult::Queued;
}

} // namespace qm::gui
