// Window handles between processes: every window's handle is bound to a platform window-message endpoint, so
// another process can post to it; received messages join the queue like local posts (and so reach their window
// inside any loop, modal ones included). Posts to another process's handle go out as datagrams.
#include "gui/window/CrossProcess.h"

#include "gui/model/GuiState.h"
#include "gui/window/Application.h"
#include "platform/IpcNamespace.h"
#include "platform/WindowMessage.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cstdlib>
#include <memory>
#include <optional>
#include <unordered_map>

namespace qm::gui {

namespace {

struct Receiver {
    explicit Receiver(WindowMessageEndpoint endpoint)
        : Endpoint(std::move(endpoint))
    {}

    WindowMessageEndpoint Endpoint;
    std::unique_ptr<QSocketNotifier> Notifier;
};

struct CrossProcessState {
    std::optional<IpcNamespace> Namespace;
    std::unordered_map<HWND, std::unique_ptr<Receiver>> Receivers;
};

CrossProcessState& State()
{
    return GuiState().Part<CrossProcessState>();
}

std::optional<IpcNamespace>& ChosenNamespace()
{
    return State().Namespace;
}

// The installation's namespace: the program's directory is the installation directory (QUILLMAIL_IPC_NS,
// read by the platform layer, overrides it).
const IpcNamespace& Namespace()
{
    if (!ChosenNamespace()) {
        ChosenNamespace() = IpcNamespace::ForInstallDir(QCoreApplication::applicationDirPath().toStdString());
    }
    return *ChosenNamespace();
}

std::unordered_map<HWND, std::unique_ptr<Receiver>>& Receivers()
{
    return State().Receivers;
}

} // namespace

void SetWindowNamespace(const IpcNamespace& ns)
{
    ChosenNamespace() = ns;
}

HWND OpenWindowHandle()
{
    auto endpoint = WindowMessageEndpoint::Create(Namespace());
    if (!endpoint) {
        return 0;
    }
    const HWND handle = endpoint->Handle();
    auto receiver = std::make_unique<Receiver>(std::move(*endpoint));
    receiver->Notifier = std::make_unique<QSocketNotifier>(receiver->Endpoint.Fd(), QSocketNotifier::Read);
    Receiver* raw = receiver.get();
    QObject::connect(raw->Notifier.get(), &QSocketNotifier::activated, [raw] {
        // A bounded batch per wake-up, so that a flood cannot starve the rest of the loop.
        for (int i = 0; i < 64; ++i) {
            const std::optional<WindowMessage> m = raw->Endpoint.Receive();
            if (!m) {
                return;
            }
            if (TApplication* app = TApplication::Current()) {
                app->Post(MSG{m->Window, m->Message, m->WParam, m->LParam, 0, TPoint()});
            }
        }
    });
    Receivers()[handle] = std::move(receiver);
    return handle;
}

void CloseWindowHandle(HWND handle)
{
    Receivers().erase(handle);
}

bool IsCrossProcessHandle(HWND handle)
{
    return Receivers().count(handle) != 0;
}

bool PostToOtherProcess(HWND window, UINT msg, WPARAM wParam, LPARAM lParam)
{
    return PostWindowMessage(Namespace(), window, msg, wParam, lParam) == PostResult::Queued;
}

} // namespace qm::gui
