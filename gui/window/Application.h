// TApplication: the message loop of a window program: the queue of posted messages, the pre-filter every
// queued message passes, idle processing, nested modal loops and the main window's life.
#pragma once

#include "gui/model/Messages.h"
#include "gui/model/WinTypes.h"
#include "gui/window/Window.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace qm::gui {

/// One per process. The Qt application must exist first (the program makes it, or a TGuiProcess does).
class TApplication {
public:
    explicit TApplication(std::string_view name = {});
    TApplication(const TApplication&) = delete;
    TApplication& operator=(const TApplication&) = delete;
    virtual ~TApplication();

    static TApplication* Current();

    /// The show state the main window is shown with (SW_SHOWNORMAL unless set).
    int nCmdShow = SW_SHOWNORMAL;

    /// Creates the main window object (overrides call SetMainWindow).
    virtual void InitMainWindow();
    /// Creates and shows the main window; overrides call the base first.
    virtual void InitInstance();
    /// InitMainWindow, InitInstance, then the message loop; returns the code given to PostQuitMessage.
    virtual int Run();
    /// Takes ownership of the main window object (the previous one is deleted).
    void SetMainWindow(std::unique_ptr<TWindow> window);

    TWindow* GetMainWindow() const { return m_mainWindow.get(); }

    /// Whether the application may end: the main window's CanClose.
    virtual bool CanClose();

    /// Every queued message (posted messages, input, timers) passes here before its dispatch; true eats it.
    /// The base asks PreProcessMsg of the window and each ancestor, then the top-level window's accelerators,
    /// then the dialog keys of the nearest window that has them.
    virtual bool ProcessAppMsg(MSG& msg);
    /// Once per wake-up of the event loop (nested loops included) after the queue is empty: the base asks the
    /// main window. idleCount counts the calls since the last message.
    virtual bool IdleAction(long idleCount);

    /// Ends the message loop (and every nested one) with code, after the messages already queued.
    void PostQuitMessage(int code);
    /// Runs a nested loop until EndModal; returns EndModal's result. Idle processing, timers and posted
    /// messages go on inside it.
    int BeginModal(TWindow* window);
    void EndModal(int result);
    int ModalDepth() const;

    /// Watches a descriptor that becomes readable once a stop is requested (the service layer's stop
    /// descriptor, SIGTERM): WM_CLOSE then goes to the main window, which closes through CanClose.
    void WatchStopDescriptor(int fd);

    /// Queues a message for a window of this process (the path of PostMessage).
    bool Post(const MSG& msg);
    /// Dispatches one queued message: the pre-filter, then the window's WindowProc. Returns whether it was
    /// dispatched (false when eaten or when its window is gone).
    bool DispatchQueued(MSG& msg);

    struct Impl;

    Impl& GetImpl() const { return *m_impl; }

private:
    std::unique_ptr<Impl> m_impl;
    std::unique_ptr<TWindow> m_mainWindow;
};

/// The Qt side of a window program: makes the Qt widget application (the Fusion style, the layer's palette
/// and fonts) and ends it with the object. A program's main holds one before it makes its TApplication. argc
/// and argv must outlive it.
class TGuiProcess {
public:
    TGuiProcess(int& argc, char** argv);
    TGuiProcess(const TGuiProcess&) = delete;
    TGuiProcess& operator=(const TGuiProcess&) = delete;
    ~TGuiProcess();

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace qm::gui
