// A helper program of the window tests, another process for them.
//
// Usage: qm_gui_test_helper post NAMESPACE HANDLE MESSAGE WPARAM
//          posts one window message to HANDLE (hexadecimal) in NAMESPACE; exit 0 when it was queued, 3 when not.
//        qm_gui_test_helper app SERVICE
//          runs a window program as service SERVICE (QUILLMAIL_SVCDIR names the service directory) on the
//          offscreen platform; a stop request (SIGTERM) closes its main window through WM_CLOSE and CanClose,
//          and its main window ends the program with code 42 when it is destroyed.
// Exit codes: as above; 1 on a bad command line or a failure.
#include "gui/window/Application.h"
#include "platform/IpcNamespace.h"
#include "platform/Service.h"
#include "platform/WindowMessage.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using namespace qm::gui;

class TClosingWindow : public TWindow {
public:
    TClosingWindow() : TWindow(nullptr, "helper") {}
    bool Closed = false;
    LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override
    {
        if (msg == WM_CLOSE) {
            Closed = true;
        }
        if (msg == WM_DESTROY) {
            // Only a window that went through WM_CLOSE ends with the code the test looks for.
            GetApplication()->PostQuitMessage(Closed ? 42 : 5);
            return 0;
        }
        return TWindow::WindowProc(msg, wParam, lParam);
    }
};

class THelperApp : public TApplication {
public:
    void InitMainWindow() override { SetMainWindow(std::make_unique<TClosingWindow>()); }
};

int Post(int argc, char** argv)
{
    if (argc != 6) {
        return 1;
    }
    const auto ns = qm::IpcNamespace::Named(argv[2]);
    const auto handle = std::strtoull(argv[3], nullptr, 16);
    const auto msg = static_cast<std::uint32_t>(std::strtoul(argv[4], nullptr, 10));
    const auto wParam = std::strtoull(argv[5], nullptr, 10);
    return qm::PostWindowMessage(ns, handle, msg, wParam, 0) == qm::PostResult::Queued ? 0 : 3;
}

int App(int argc, char** argv)
{
    if (argc != 3) {
        return 1;
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    auto result = qm::RunService(argv[2], [&](qm::ServiceControl& control) {
        int qtArgc = 1;
        TGuiProcess process(qtArgc, argv);
        THelperApp app;
        app.WatchStopDescriptor(control.StopFd());
        control.ReportRunning();
        return app.Run();
    });
    if (!result) {
        std::fprintf(stderr, "helper: %s\n", result.error().Message.c_str());
        return 1;
    }
    return *result;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        return 1;
    }
    const std::string mode = argv[1];
    if (mode == "post") {
        return Post(argc, argv);
    }
    if (mode == "app") {
        return App(argc, argv);
    }
    return 1;
}
