// Windows and other processes: posts to a window's handle from a child process, also under a modal loop; posts
// within the process; a stop request (SIGTERM) closing a window program through WM_CLOSE and CanClose.
#include "gui/window/tests/WindowTestSupport.h"

#include "gui/window/CrossProcess.h"
#include "platform/ChildProcess.h"
#include "platform/IpcNamespace.h"
#include "platform/Service.h"
#include "testsupport/Program.h"
#include "testsupport/TempDir.h"
#include "testsupport/WaitUntil.h"

#include <QTimer>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <string>

#include <signal.h>
#include <unistd.h>

namespace qm::gui {
namespace {

using test::Log;
using test::Messages;
using test::TRecordingWindow;

constexpr UINT kEngineNotify = 9904;

std::string Hex(HWND h)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%llx", static_cast<unsigned long long>(h));
    return buf;
}

class ProcessTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        test::GuiTestApp();
        m_ns = "guitest" + std::to_string(QCoreApplication::applicationPid());
        SetWindowNamespace(IpcNamespace::Named(m_ns));
        Log().clear();
        m_app = std::make_unique<TApplication>();
        m_window = std::make_unique<TRecordingWindow>(nullptr, "w");
        m_window->Attr.Style = WS_POPUP;
        m_window->Attr.W = 100;
        m_window->Attr.H = 50;
        ASSERT_TRUE(m_window->Create());
    }
    void TearDown() override
    {
        m_window.reset();
        m_app.reset();
    }

    // Runs the helper that posts msg to the window's handle from another process.
    bool PostFromChild(UINT msg, WPARAM wParam)
    {
        const qm::test::ProgramRun run = qm::test::RunProgram(
            {QM_GUI_TEST_HELPER, "post", m_ns, Hex(m_window->GetHandle()), std::to_string(msg), std::to_string(wParam)});
        return run.Succeeded();
    }

    static bool WaitFor(const std::function<bool()>& condition)
    {
        return qm::test::WaitUntil([&] {
            QCoreApplication::processEvents();
            return condition();
        });
    }

    std::string m_ns;
    std::unique_ptr<TApplication> m_app;
    std::unique_ptr<TRecordingWindow> m_window;
};

TEST_F(ProcessTest, ChildProcessPostReachesTheHandler)
{
    ASSERT_TRUE(IsCrossProcessHandle(m_window->GetHandle()));
    ASSERT_TRUE(PostFromChild(kEngineNotify, 9905));
    ASSERT_TRUE(WaitFor([] { return !Messages("w", {kEngineNotify}).empty(); }));
    for (const auto& r : Log()) {
        if (r.Msg == kEngineNotify) {
            EXPECT_EQ(r.WParam, 9905u);
        }
    }
}

TEST_F(ProcessTest, ChildProcessPostReachesTheHandlerUnderAModalLoop)
{
    int modalResult = -1;
    m_window->Handler = [&](UINT msg, WPARAM, LPARAM, LRESULT&) {
        if (msg == kEngineNotify) {
            m_app->EndModal(7);
        }
        return false;
    };
    bool posted = false;
    QTimer::singleShot(0, [&] { posted = PostFromChild(kEngineNotify, 3); });
    // The modal loop ends only when the handler runs; a time-out keeps a failure from hanging the test.
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [&] { m_app->EndModal(-2); });
    guard.start(30000);
    modalResult = m_app->BeginModal(nullptr);
    EXPECT_TRUE(posted);
    EXPECT_EQ(modalResult, 7);
}

TEST_F(ProcessTest, PostToOwnHandleGoesStraightIntoTheQueue)
{
    // A post to this process's own handle works even without the handle's endpoint.
    CloseWindowHandle(m_window->GetHandle());
    EXPECT_FALSE(IsCrossProcessHandle(m_window->GetHandle()));
    EXPECT_TRUE(PostMessage(m_window->GetHandle(), kEngineNotify, 1, 2));
    EXPECT_TRUE(Messages("w", {kEngineNotify}).empty()); // posted, not sent
    ASSERT_TRUE(WaitFor([] { return !Messages("w", {kEngineNotify}).empty(); }));
}

TEST_F(ProcessTest, PostToADestroyedWindowIsDropped)
{
    const HWND handle = m_window->GetHandle();
    m_window->Destroy();
    EXPECT_FALSE(PostFromChild(kEngineNotify, 0)); // nobody receives there any more
    EXPECT_TRUE(PostMessage(handle, kEngineNotify, 0, 0));
    QCoreApplication::processEvents();
    EXPECT_TRUE(Messages("w", {kEngineNotify}).empty());
}

TEST(ProcessStopTest, SigtermClosesTheMainWindowThroughCanCloseToTheExitCode)
{
    qm::test::TempDir dir;
    const std::string svcdir = (dir.Path() / "services").string();
    ChildOptions options;
    options.Argv = {QM_GUI_TEST_HELPER, "app", "GuiHelper"};
    options.Environment = qm::test::ChildEnvironment({"QUILLMAIL_SVCDIR=" + svcdir, "QT_QPA_PLATFORM=offscreen",
                                                       "QUILLMAIL_IPC_NS=guistop" + std::to_string(::getpid())});
    auto child = ChildProcess::Start(options);
    ASSERT_TRUE(child) << child.error().Message;
    setenv("QUILLMAIL_SVCDIR", svcdir.c_str(), 1);
    const bool running = qm::test::WaitUntil([&] {
        auto pid = FindServiceProcess("GuiHelper");
        return pid && *pid == child->Pid();
    });
    unsetenv("QUILLMAIL_SVCDIR");
    ASSERT_TRUE(running);
    ASSERT_EQ(::kill(child->Pid(), SIGTERM), 0);
    auto status = child->Wait(30000);
    ASSERT_TRUE(status) << status.error().Message;
    EXPECT_TRUE(status->ExitedWith(42)) << "state " << static_cast<int>(status->State) << " code " << status->Code;
}

} // namespace
} // namespace qm::gui
