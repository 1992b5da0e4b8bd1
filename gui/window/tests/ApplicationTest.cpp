// The application: its run result, the close chain, idle processing once per wake-up, minimising through
// SC_MINIMIZE, and the picture hook.
#include "gui/draw/Dc.h"
#include "gui/window/WindowDc.h"
#include "gui/window/WindowWidget.h"
#include "gui/window/tests/WindowTestSupport.h"
#include "testsupport/TempDir.h"
#include "testsupport/WaitUntil.h"

#include <QImage>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <filesystem>
#include <span>
#include <stdexcept>
#include <string>

namespace qm::gui {
namespace {

using test::Log;
using test::Messages;
using test::TRecordingWindow;

class TRunApp : public TApplication {
public:
    std::function<void(TRecordingWindow&)> Setup;
    bool AllowClose = true;
    long IdleCalls = 0;

    void InitMainWindow() override
    {
        auto window = std::make_unique<TRecordingWindow>(nullptr, "main");
        window->Attr.Style = WS_POPUP;
        window->Attr.W = 120;
        window->Attr.H = 80;
        if (Setup) {
            Setup(*window);
        }
        SetMainWindow(std::move(window));
    }

    bool CanClose() override { return AllowClose && TApplication::CanClose(); }

    bool IdleAction(long idleCount) override
    {
        ++IdleCalls;
        return TApplication::IdleAction(idleCount);
    }
};

class ApplicationTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        test::GuiTestApp();
        Log().clear();
    }
};

TEST_F(ApplicationTest, RunReturnsTheQuitCodeAfterTheMessagesBeforeIt)
{
    TRunApp app;
    app.Setup = [&](TRecordingWindow& w) {
        w.Handler = [&](UINT msg, WPARAM, LPARAM, LRESULT&) {
            if (msg == WM_CREATE) {
                QTimer::singleShot(0, [&] {
                    w.PostMessage(WM_USER + 1);
                    app.PostQuitMessage(3);
                    w.PostMessage(WM_USER + 2); // after the quit: never dispatched
                });
            }
            return false;
        };
    };
    EXPECT_EQ(app.Run(), 3);
    EXPECT_EQ(Messages("main", {WM_USER + 1, WM_USER + 2}), std::vector<UINT>{WM_USER + 1});
}

TEST_F(ApplicationTest, CloseGoesThroughCanCloseAndEndsTheRunWithZero)
{
    TRunApp app;
    app.AllowClose = false;
    app.Setup = [&](TRecordingWindow& w) {
        w.Handler = [&](UINT msg, WPARAM, LPARAM, LRESULT&) {
            if (msg == WM_CREATE) {
                QTimer::singleShot(0, [&] {
                    w.PostMessage(WM_CLOSE); // refused
                    w.PostMessage(WM_USER);
                });
            }
            if (msg == WM_USER) {
                EXPECT_TRUE(w.HasWindow()) << "a refused close must leave the window";
                app.AllowClose = true;
                w.PostMessage(WM_CLOSE);
            }
            return false;
        };
    };
    EXPECT_EQ(app.Run(), 0);
    EXPECT_EQ(Messages("main", {WM_CLOSE, WM_DESTROY}), (std::vector<UINT>{WM_CLOSE, WM_CLOSE, WM_DESTROY}));
    EXPECT_FALSE(app.GetMainWindow()->HasWindow());
}

TEST_F(ApplicationTest, IdleRunsOncePerWakeUp)
{
    TRunApp app;
    long idleAtFirst = -1;
    long idleAtSecond = -1;
    app.Setup = [&](TRecordingWindow& w) {
        w.Handler = [&](UINT msg, WPARAM, LPARAM, LRESULT&) {
            if (msg == WM_CREATE) {
                QTimer::singleShot(0, [&] { w.PostMessage(WM_USER); });
            }
            if (msg == WM_USER) {
                idleAtFirst = app.IdleCalls;
                // A later wake-up: the loop has been idle in between.
                QTimer::singleShot(20, [&] { w.PostMessage(WM_USER + 1); });
            }
            if (msg == WM_USER + 1) {
                idleAtSecond = app.IdleCalls;
                app.PostQuitMessage(0);
            }
            return false;
        };
    };
    EXPECT_EQ(app.Run(), 0);
    ASSERT_GE(idleAtFirst, 0);
    EXPECT_EQ(idleAtSecond, idleAtFirst + 1);
}

TEST_F(ApplicationTest, MinimisingAsksTheWindowWithScMinimizeWhileItIsStillShown)
{
    struct Case {
        const char* Name;
        bool HideInstead; // the console hides its window into the tray instead of minimising
    };

    for (const Case& c : {Case{"hide instead", true}, Case{"default", false}}) {
        SCOPED_TRACE(c.Name);
        TApplication app;
        TRecordingWindow w(nullptr, "w");
        w.Attr.W = 100;
        w.Attr.H = 60;
        bool visibleAtAsk = false;
        w.Handler = [&](UINT msg, WPARAM wParam, LPARAM, LRESULT&) {
            if (msg == WM_SYSCOMMAND && (wParam & 0xFFF0) == SC_MINIMIZE) {
                visibleAtAsk = w.IsWindowVisible();
                if (c.HideInstead) {
                    w.ShowWindow(SW_HIDE);
                    return true;
                }
            }
            return false;
        };
        ASSERT_TRUE(w.Create());
        w.ShowWindow(SW_SHOWNORMAL);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(WidgetOf(w)));
        bool asked = false;
        auto previous = w.Handler;
        w.Handler = [&](UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) {
            asked = asked || (msg == WM_SYSCOMMAND && (wParam & 0xFFF0) == SC_MINIMIZE);
            return previous(msg, wParam, lParam, result);
        };
        WidgetOf(w)->showMinimized(); // as the window manager's minimise button does
        ASSERT_TRUE(qm::test::WaitUntil([&] {
            QCoreApplication::processEvents();
            return asked;
        }));
        QCoreApplication::processEvents();
        EXPECT_TRUE(visibleAtAsk);
        if (c.HideInstead) {
            EXPECT_FALSE(w.IsWindowVisible());
        } else {
            EXPECT_TRUE(w.IsIconic());
        }
    }
}

TEST_F(ApplicationTest, SysColorChangeIsBroadcastToTheMainWindowAndItsChildren)
{
    TRunApp app;
    app.InitMainWindow();
    TWindow* main = app.GetMainWindow();
    new TRecordingWindow(main, "child");
    ASSERT_TRUE(main->Create());
    Log().clear();
    const int index = COLOR_3DFACE;
    const COLORREF colour = RGB(1, 2, 3);
    ASSERT_TRUE(SetSysColors(std::span<const int>(&index, 1), std::span<const COLORREF>(&colour, 1)));
    EXPECT_EQ(Messages("main", {WM_SYSCOLORCHANGE}), std::vector<UINT>{WM_SYSCOLORCHANGE});
    EXPECT_EQ(Messages("child", {WM_SYSCOLORCHANGE}), std::vector<UINT>{WM_SYSCOLORCHANGE});
    // The standard controls follow the table too.
    EXPECT_EQ(QApplication::palette().color(QPalette::Window), QColor(1, 2, 3));
    ResetSysColors();
}

std::vector<std::string>& Warnings()
{
    static std::vector<std::string> warnings;
    return warnings;
}

void RecordWarning(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    if (type == QtWarningMsg) {
        Warnings().push_back(text.toStdString());
    }
}

TEST_F(ApplicationTest, AnExceptionOfAnyTypeEndsAtItsDeliveryWithItsFrame)
{
    struct Case {
        const char* Name;
        std::function<void()> Throw;
        const char* Logged;
    };

    const Case cases[] = {
            {"standard exception", [] { throw std::runtime_error("broken handler"); }, "broken handler"},
            {"other type", [] { throw 42; }, "unknown type"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TApplication app;
        TRecordingWindow outer(nullptr, "outer");
        TRecordingWindow inner(nullptr, "inner");
        outer.Attr.Style = inner.Attr.Style = WS_POPUP;
        inner.Handler = [&](UINT msg, WPARAM, LPARAM, LRESULT&) {
            if (msg == WM_USER + 2) {
                c.Throw();
            }
            return false;
        };
        LRESULT innerResult = -1;
        outer.Handler = [&](UINT msg, WPARAM, LPARAM, LRESULT&) {
            if (msg == WM_USER + 1) {
                innerResult = inner.SendMessage(WM_USER + 2);
            }
            return false; // on to the default handling, which the outer delivery must see
        };
        ASSERT_TRUE(outer.Create());
        ASSERT_TRUE(inner.Create());

        Warnings().clear();
        const QtMessageHandler previous = qInstallMessageHandler(RecordWarning);
        bool wentDefault = false;
        Deliver(outer, WM_USER + 1, 0, 0, &wentDefault);
        qInstallMessageHandler(previous);

        EXPECT_EQ(innerResult, 0) << "a message whose handler threw counts as handled with 0";
        // A frame left behind by the throw would take the outer delivery's mark.
        EXPECT_TRUE(wentDefault) << "the outer delivery lost its frame to the inner one";
        ASSERT_EQ(Warnings().size(), 1u);
        EXPECT_NE(Warnings()[0].find("0x402"), std::string::npos) << Warnings()[0];
        EXPECT_NE(Warnings()[0].find(c.Logged), std::string::npos) << Warnings()[0];

        wentDefault = false;
        Deliver(outer, WM_USER + 3, 0, 0, &wentDefault);
        EXPECT_TRUE(wentDefault) << "a later delivery has its own frame";
    }
}

TEST_F(ApplicationTest, ShotHookWritesTheWindowAfterItsFirstPaint)
{
    qm::test::TempDir dir;
    const std::filesystem::path file = dir.Path() / "shot.png";
    qputenv("QMGUI_SHOT", QByteArray::fromStdString(file.string()));
    TApplication app;
    TRecordingWindow w(nullptr, "w");
    w.Attr.Style = WS_POPUP;
    w.Attr.W = 64;
    w.Attr.H = 32;
    w.Handler = [&](UINT msg, WPARAM, LPARAM, LRESULT&) {
        if (msg == WM_PAINT) {
            TPaintDC dc(w);
            dc.FillRect(w.GetClientRect(), TBrush(TColor(RGB(0, 128, 0))));
            return true;
        }
        return false;
    };
    ASSERT_TRUE(w.Create());
    w.ShowWindow(SW_SHOW);
    const bool written = qm::test::WaitUntil([&] {
        QCoreApplication::processEvents();
        return std::filesystem::exists(file) && std::filesystem::file_size(file) > 0;
    });
    qunsetenv("QMGUI_SHOT");
    ASSERT_TRUE(written);
    const QImage shot(QString::fromStdString(file.string()));
    ASSERT_FALSE(shot.isNull());
    EXPECT_EQ(shot.size(), QSize(64, 32));
    EXPECT_EQ(shot.pixel(10, 10) & 0xFFFFFFu, 0x008000u);
}

} // namespace
} // namespace qm::gui
