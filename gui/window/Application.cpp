// TApplication: the queue, the loop, idle processing and modal loops; message delivery and its dispatch depth.
#include "gui/window/Application.h"

#include "base/Assert.h"
#include "gui/draw/DcImpl.h"
#include "gui/model/Color.h"
#include "gui/model/GuiState.h"
#include "gui/model/Metrics.h"
#include "gui/window/CrossProcess.h"
#include "gui/window/EventFilter.h"
#include "gui/window/WindowWidget.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QEventLoop>
#include <QPalette>
#include <QPointer>
#include <QScreen>
#include <QSocketNotifier>
#include <QStyleFactory>

#include <deque>
#include <exception>
#include <vector>

namespace qm::gui {

namespace {

struct Frame {
    const TWindow* Window;
    UINT Msg;
    bool Defaulted;
};

struct AppState {
    TApplication* Current = nullptr;
    // The messages being delivered now, the innermost last.
    std::vector<Frame> Frames;
    // Whether a message came since the last idle processing.
    bool Activity = true;
};

AppState& State()
{
    return GuiState().Part<AppState>();
}

std::vector<Frame>& Frames()
{
    return State().Frames;
}

// The palette of the standard controls from the system colour table.
void ApplyPalette()
{
    auto c = [](int index) {
        return ToQColor(TColor(GetSysColor(index)));
    };
    QPalette p;
    p.setColor(QPalette::Window, c(COLOR_3DFACE));
    p.setColor(QPalette::WindowText, c(COLOR_WINDOWTEXT));
    p.setColor(QPalette::Base, c(COLOR_WINDOW));
    p.setColor(QPalette::AlternateBase, c(COLOR_3DFACE));
    p.setColor(QPalette::Text, c(COLOR_WINDOWTEXT));
    p.setColor(QPalette::Button, c(COLOR_BTNFACE));
    p.setColor(QPalette::ButtonText, c(COLOR_BTNTEXT));
    p.setColor(QPalette::Highlight, c(COLOR_HIGHLIGHT));
    p.setColor(QPalette::HighlightedText, c(COLOR_HIGHLIGHTTEXT));
    p.setColor(QPalette::Light, c(COLOR_3DHILIGHT));
    p.setColor(QPalette::Midlight, c(COLOR_3DLIGHT));
    p.setColor(QPalette::Mid, c(COLOR_3DSHADOW));
    p.setColor(QPalette::Dark, c(COLOR_3DSHADOW));
    p.setColor(QPalette::Shadow, c(COLOR_3DDKSHADOW));
    p.setColor(QPalette::ToolTipBase, c(COLOR_INFOBK));
    p.setColor(QPalette::ToolTipText, c(COLOR_INFOTEXT));
    p.setColor(QPalette::Disabled, QPalette::Text, c(COLOR_GRAYTEXT));
    p.setColor(QPalette::Disabled, QPalette::WindowText, c(COLOR_GRAYTEXT));
    p.setColor(QPalette::Disabled, QPalette::ButtonText, c(COLOR_GRAYTEXT));
    QApplication::setPalette(p);
}

// The same look on every machine: the Fusion style, the layer's colours and the bundled fonts.
void ApplyLookAndFeel()
{
    if (QStyle* fusion = QStyleFactory::create(QStringLiteral("Fusion"))) {
        QApplication::setStyle(fusion);
    }
    ApplyPalette();
    QApplication::setFont(ToQFont(DefaultGuiFont()));
    QApplication::setDoubleClickInterval(static_cast<int>(GetDoubleClickTime()));
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        SetSystemMetric(SM_CXSCREEN, screen->geometry().width());
        SetSystemMetric(SM_CYSCREEN, screen->geometry().height());
    }
}

// Receives one wake-up per posted message and dispatches the oldest queued one.
class Pump final : public QObject {
public:
    explicit Pump(TApplication& app)
        : m_app(app)
    {}

    std::deque<MSG> Queue;
    /// After WM_QUIT the loops end; what was posted after it stays queued, as it would in a message queue.
    bool Quitting = false;

protected:
    bool event(QEvent* event) override
    {
        if (event->type() != QEvent::User) {
            return QObject::event(event);
        }
        if (Queue.empty() || Quitting) {
            return true;
        }
        MSG msg = Queue.front();
        Queue.pop_front();
        if (msg.message == WM_QUIT && msg.hwnd == 0) {
            Quitting = true;
            QCoreApplication::exit(static_cast<int>(msg.wParam));
            return true;
        }
        m_app.DispatchQueued(msg);
        return true;
    }

private:
    TApplication& m_app;
};

} // namespace

LRESULT Deliver(TWindow& window, UINT msg, WPARAM wParam, LPARAM lParam, bool* wentDefault)
{
    Frames().push_back(Frame{&window, msg, false});

    // The frame goes however the handler ends.
    struct PopFrame {
        bool* WentDefault;

        ~PopFrame()
        {
            const bool defaulted = Frames().back().Defaulted;
            Frames().pop_back();
            if (WentDefault != nullptr) {
                *WentDefault = defaulted;
            }
        }
    } pop{wentDefault};

    // Nothing may cross Qt's event loop; the message counts as handled.
    try {
        return window.WindowProc(msg, wParam, lParam);
    } catch (const std::exception& e) {
        qWarning("window message 0x%x: %s", msg, e.what());
    } catch (...) {
        qWarning("window message 0x%x: an exception of unknown type", msg);
    }
    return 0;
}

void NoteDefault(const TWindow& window, UINT msg)
{
    if (!Frames().empty() && Frames().back().Window == &window && Frames().back().Msg == msg) {
        Frames().back().Defaulted = true;
    }
}

void DisposeWidget(QWidget* widget)
{
    if (widget == nullptr) {
        return;
    }
    widget->hide();
    // Deleted once control is back in the event loop, so never under a handler that still runs for it.
    widget->deleteLater();
}

void NoteActivity()
{
    State().Activity = true;
}

struct TApplication::Impl {
    std::unique_ptr<Pump> ThePump;
    std::unique_ptr<TEventFilter> Filter;
    std::vector<QEventLoop*> Modal;
    long IdleCount = 0;
    std::unique_ptr<QSocketNotifier> Stop;
    int SysColorListener = -1;
    QMetaObject::Connection IdleConnection;
};

TApplication::TApplication(std::string_view)
    : m_impl(std::make_unique<Impl>())
{
    QM_ASSERT(State().Current == nullptr);
    State().Current = this;
    ApplyLookAndFeel();
    m_impl->ThePump = std::make_unique<Pump>(*this);
    m_impl->Filter = std::make_unique<TEventFilter>();
    qApp->installEventFilter(m_impl->Filter.get());
    if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance()) {
        m_impl->IdleConnection = QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, [this] {
            if (!State().Activity) {
                return;
            }
            State().Activity = false;
            IdleAction(m_impl->IdleCount++);
        });
    }
    m_impl->SysColorListener = AddSysColorListener([this] {
        ApplyPalette();
        if (m_mainWindow) {
            m_mainWindow->BroadcastSysColorChange();
        }
    });
}

TApplication::~TApplication()
{
    RemoveSysColorListener(m_impl->SysColorListener);
    QObject::disconnect(m_impl->IdleConnection);
    m_mainWindow.reset();
    qApp->removeEventFilter(m_impl->Filter.get());
    // Widgets of destroyed windows wait for the loop; without one they go now.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    State().Current = nullptr;
}

TApplication* TApplication::Current()
{
    return State().Current;
}

void TApplication::InitMainWindow()
{}

void TApplication::InitInstance()
{
    if (m_mainWindow && !m_mainWindow->HasWindow()) {
        m_mainWindow->Create();
    }
    if (m_mainWindow && m_mainWindow->HasWindow()) {
        m_mainWindow->ShowWindow(nCmdShow);
    }
}

int TApplication::Run()
{
    m_impl->ThePump->Quitting = false;
    InitMainWindow();
    InitInstance();
    NoteActivity();
    const int result = QApplication::exec();
    m_impl->ThePump->Quitting = false;
    return result;
}

void TApplication::SetMainWindow(std::unique_ptr<TWindow> window)
{
    m_mainWindow = std::move(window);
}

bool TApplication::CanClose()
{
    return !m_mainWindow || m_mainWindow->CanClose();
}

bool TApplication::ProcessAppMsg(MSG& msg)
{
    TWindow* target = TWindow::FromHandle(msg.hwnd);
    for (TWindow* w = target; w != nullptr; w = w->GetParent()) {
        if (w->PreProcessMsg(msg)) {
            return true;
        }
    }
    if (target == nullptr) {
        return false;
    }
    if (target->GetTopLevel()->TranslateAccelerators(msg)) {
        return true;
    }
    for (TWindow* w = target; w != nullptr; w = w->GetParent()) {
        if (w->HandleDialogKeys(msg)) {
            return true;
        }
    }
    return false;
}

bool TApplication::IdleAction(long idleCount)
{
    return m_mainWindow && m_mainWindow->HasWindow() && m_mainWindow->IdleAction(idleCount);
}

void TApplication::PostQuitMessage(int code)
{
    Post(MSG{0, WM_QUIT, static_cast<WPARAM>(code), 0, 0, TPoint()});
}

int TApplication::BeginModal(TWindow*)
{
    // Which windows take no input meanwhile is the modal window's business (a dialog is application-modal).
    QEventLoop loop;
    m_impl->Modal.push_back(&loop);
    const int result = loop.exec();
    m_impl->Modal.pop_back();
    return result;
}

void TApplication::EndModal(int result)
{
    if (!m_impl->Modal.empty()) {
        m_impl->Modal.back()->exit(result);
    }
}

int TApplication::ModalDepth() const
{
    return static_cast<int>(m_impl->Modal.size());
}

void TApplication::WatchStopDescriptor(int fd)
{
    m_impl->Stop = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    QObject::connect(m_impl->Stop.get(), &QSocketNotifier::activated, [this] {
        // The descriptor stays readable: one close request is enough.
        m_impl->Stop->setEnabled(false);
        if (m_mainWindow && m_mainWindow->HasWindow()) {
            m_mainWindow->PostMessage(WM_CLOSE);
        }
    });
}

bool TApplication::Post(const MSG& msg)
{
    m_impl->ThePump->Queue.push_back(msg);
    QCoreApplication::postEvent(m_impl->ThePump.get(), new QEvent(QEvent::User));
    return true;
}

bool TApplication::DispatchQueued(MSG& msg)
{
    NoteActivity();
    m_impl->IdleCount = 0;
    if (ProcessAppMsg(msg)) {
        return false;
    }
    TWindow* window = TWindow::FromHandle(msg.hwnd);
    if (window == nullptr) {
        return false;
    }
    Deliver(*window, msg.message, msg.wParam, msg.lParam);
    return true;
}

bool PostMessage(HWND window, UINT msg, WPARAM wParam, LPARAM lParam)
{
    TApplication* app = TApplication::Current();
    if (app == nullptr || window == 0) {
        return false;
    }
    if (WindowProcessId(window) == static_cast<std::uint32_t>(QCoreApplication::applicationPid())) {
        // A window of this process: straight into the queue (a vanished window's message is dropped there).
        return app->Post(MSG{window, msg, wParam, lParam, 0, GetCursorPos()});
    }
    return PostToOtherProcess(window, msg, wParam, lParam);
}

struct TGuiProcess::Impl {
    std::unique_ptr<QApplication> App;
};

TGuiProcess::TGuiProcess(int& argc, char** argv)
    : m_impl(std::make_unique<Impl>())
{
    if (QCoreApplication::instance() == nullptr) {
        m_impl->App = std::make_unique<QApplication>(argc, argv);
    }
    ApplyLookAndFeel();
}

TGuiProcess::~TGuiProcess() = default;

} // namespace qm::gui
