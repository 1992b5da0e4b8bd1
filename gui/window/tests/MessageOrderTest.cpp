// The order in which windows receive their messages, and the key chain.
#include "gui/draw/Dc.h"
#include "gui/window/WindowDc.h"
#include "gui/window/WindowWidget.h"
#include "gui/window/tests/WindowTestSupport.h"
#include "testsupport/WaitUntil.h"

#include <QAction>
#include <QShortcut>
#include <QTest>
#include <gtest/gtest.h>

namespace qm::gui {
namespace {

using test::Log;
using test::Messages;
using test::TRecordingEdit;
using test::TRecordingWindow;

class TTestApp : public TApplication {
public:
    std::function<bool(MSG&)> Prefilter;

    bool ProcessAppMsg(MSG& msg) override
    {
        if (Prefilter && Prefilter(msg)) {
            return true;
        }
        return TApplication::ProcessAppMsg(msg);
    }
};

class MessageOrderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        test::GuiTestApp();
        Log().clear();
        m_app = std::make_unique<TTestApp>();
    }

    void TearDown() override
    {
        m_windows.clear();
        m_app.reset();
        Log().clear();
    }

    // A top-level recording window, created and shown, of the given client size.
    TRecordingWindow& TopLevel(const std::string& name, int w = 200, int h = 120)
    {
        auto window = std::make_unique<TRecordingWindow>(nullptr, name);
        window->Attr.Style = WS_POPUP;
        window->Attr.X = 50;
        window->Attr.Y = 50;
        window->Attr.W = w;
        window->Attr.H = h;
        m_windows.push_back(std::move(window));
        return *m_windows.back();
    }

    static void Show(TWindow& w)
    {
        ASSERT_TRUE(w.Create() || w.HasWindow());
        w.ShowWindow(SW_SHOW);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(WidgetOf(w)));
    }

    static bool WaitFor(const std::function<bool()>& condition)
    {
        return qm::test::WaitUntil([&] {
            QCoreApplication::processEvents();
            return condition();
        });
    }

    std::unique_ptr<TTestApp> m_app;
    std::vector<std::unique_ptr<TRecordingWindow>> m_windows;
};

TEST_F(MessageOrderTest, HideSendsShowWindowZeroWhileStillVisible)
{
    TRecordingWindow& w = TopLevel("w");
    Show(w);
    bool visibleAtShowWindow = false;
    w.Handler = [&](UINT msg, WPARAM wParam, LPARAM, LRESULT&) {
        if (msg == WM_SHOWWINDOW && wParam == 0) {
            visibleAtShowWindow = w.IsWindowVisible();
        }
        return false;
    };
    Log().clear();
    EXPECT_TRUE(w.ShowWindow(SW_HIDE));
    EXPECT_EQ(Messages("w", {WM_SHOWWINDOW}), std::vector<UINT>{WM_SHOWWINDOW});
    EXPECT_TRUE(visibleAtShowWindow);
    EXPECT_FALSE(w.IsWindowVisible());
    // Hiding a hidden window says nothing.
    Log().clear();
    EXPECT_FALSE(w.ShowWindow(SW_HIDE));
    EXPECT_TRUE(Messages("w", {WM_SHOWWINDOW}).empty());
}

TEST_F(MessageOrderTest, PaintFollowsNonClientPaintAndEraseWithinTheInsets)
{
    TRecordingWindow& w = TopLevel("w", 60, 40);
    const COLORREF frame = RGB(0, 0, 255);
    const COLORREF body = RGB(255, 0, 0);
    w.Handler = [&](UINT msg, WPARAM, LPARAM lParam, LRESULT& result) {
        if (msg == WM_NCCALCSIZE) {
            auto* r = reinterpret_cast<TRect*>(lParam);
            r->Inflate(-3, -2);
            result = 0;
            return true;
        }
        if (msg == WM_NCPAINT) {
            TWindowDC dc(w);
            dc.FillRect(TRect(0, 0, 1000, 1000), TBrush(frame));
            return true;
        }
        if (msg == WM_PAINT) {
            TPaintDC dc(w);
            // Drawing far beyond the client area stays inside it.
            dc.FillRect(TRect(-50, -50, 1000, 1000), TBrush(body));
            return true;
        }
        return false;
    };
    Show(w);
    ASSERT_TRUE(WaitFor([] { return !Messages("w", {WM_PAINT}).empty(); }));
    EXPECT_EQ(Messages("w", {WM_NCCALCSIZE, WM_NCPAINT, WM_ERASEBKGND, WM_PAINT}),
              (std::vector<UINT>{WM_NCCALCSIZE, WM_NCPAINT, WM_ERASEBKGND, WM_PAINT}));
    EXPECT_EQ(w.GetClientRect(), TRect(0, 0, 54, 36));
    const QImage shot = WidgetOf(w)->grab().toImage();
    auto at = [&](int x, int y) {
        const QRgb p = shot.pixel(x, y);
        return RGB(qRed(p), qGreen(p), qBlue(p));
    };
    EXPECT_EQ(at(2, 1), frame);
    EXPECT_EQ(at(3, 2), body);
    EXPECT_EQ(at(56, 37), body);
    EXPECT_EQ(at(57, 38), frame);
    EXPECT_EQ(w.ClientToScreen(TPoint(0, 0)), TPoint(w.GetWindowRect().left + 3, w.GetWindowRect().top + 2));
}

TEST_F(MessageOrderTest, UpdateWindowPaintsOnceAtOnceAndThePendingUpdateAddsNoSecondPaint)
{
    TRecordingWindow& w = TopLevel("w", 60, 40);
    Show(w);
    ASSERT_TRUE(WaitFor([] { return !Messages("w", {WM_PAINT}).empty(); }));
    Log().clear();
    w.Invalidate();
    w.UpdateWindow();
    EXPECT_EQ(Messages("w", {WM_PAINT}).size(), 1U);
    // The update the invalidation queued finds nothing left to paint.
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    EXPECT_EQ(Messages("w", {WM_PAINT}).size(), 1U);
    // Nothing invalid: nothing painted.
    w.UpdateWindow();
    EXPECT_EQ(Messages("w", {WM_PAINT}).size(), 1U);
    w.Invalidate(false);
    w.UpdateWindow();
    EXPECT_EQ(Messages("w", {WM_PAINT, WM_ERASEBKGND}), (std::vector<UINT>{WM_ERASEBKGND, WM_PAINT, WM_PAINT}));
}

TEST_F(MessageOrderTest, SetCursorComesBeforeEveryMouseMessageWithClientCoordinates)
{
    TRecordingWindow& w = TopLevel("w");
    Show(w);
    Log().clear();
    test::SendMouse(WidgetOf(w), QEvent::MouseMove, Qt::NoButton, QPoint(10, 20), Qt::NoButton);
    test::SendMouse(WidgetOf(w), QEvent::MouseButtonPress, Qt::LeftButton, QPoint(11, 21), Qt::LeftButton,
                    Qt::ControlModifier);
    EXPECT_EQ(Messages("w", {WM_SETCURSOR, WM_MOUSEMOVE, WM_LBUTTONDOWN}),
              (std::vector<UINT>{WM_SETCURSOR, WM_MOUSEMOVE, WM_SETCURSOR, WM_LBUTTONDOWN}));
    for (const auto& r : Log()) {
        if (r.Msg == WM_SETCURSOR) {
            EXPECT_EQ(r.WParam, w.GetHandle());
            EXPECT_EQ(static_cast<int>(LOWORD(static_cast<std::uint64_t>(r.LParam))), HTCLIENT);
        }
        if (r.Msg == WM_MOUSEMOVE) {
            EXPECT_EQ(GET_X_LPARAM(r.LParam), 10);
            EXPECT_EQ(GET_Y_LPARAM(r.LParam), 20);
            EXPECT_EQ(r.WParam, 0u);
        }
        if (r.Msg == WM_LBUTTONDOWN) {
            EXPECT_EQ(r.WParam, MK_LBUTTON | MK_CONTROL);
        }
    }
}

TEST_F(MessageOrderTest, HiddenCaptureWindowGetsMovesAndTheRelease)
{
    TRecordingWindow& visible = TopLevel("visible");
    TRecordingWindow& hidden = TopLevel("hidden");
    Show(visible);
    ASSERT_TRUE(hidden.Create());
    ASSERT_FALSE(hidden.IsWindowVisible());
    test::SendMouse(WidgetOf(visible), QEvent::MouseButtonPress, Qt::LeftButton, QPoint(5, 5), Qt::LeftButton);
    hidden.SetCapture();
    Log().clear();
    test::SendMouse(WidgetOf(visible), QEvent::MouseMove, Qt::NoButton, QPoint(30, 40), Qt::LeftButton);
    test::SendMouse(WidgetOf(visible), QEvent::MouseButtonRelease, Qt::LeftButton, QPoint(31, 41), Qt::NoButton);
    // Moves while only hovering go there too.
    test::SendMouse(WidgetOf(visible), QEvent::MouseMove, Qt::NoButton, QPoint(32, 42), Qt::NoButton);
    EXPECT_EQ(Messages("hidden", {WM_MOUSEMOVE, WM_LBUTTONUP, WM_SETCURSOR, WM_NCHITTEST}),
              (std::vector<UINT>{WM_MOUSEMOVE, WM_LBUTTONUP, WM_MOUSEMOVE}));
    EXPECT_TRUE(Messages("visible", {WM_MOUSEMOVE, WM_LBUTTONUP}).empty());
    // Coordinates are the capture window's client coordinates.
    const TPoint screen = visible.ClientToScreen(TPoint(31, 41));
    const TPoint want = hidden.ScreenToClient(screen);
    for (const auto& r : Log()) {
        if (r.Window == "hidden" && r.Msg == WM_LBUTTONUP) {
            EXPECT_EQ(TPoint(GET_X_LPARAM(r.LParam), GET_Y_LPARAM(r.LParam)), want);
        }
    }
    TWindow::ReleaseCapture();
    Log().clear();
    test::SendMouse(WidgetOf(visible), QEvent::MouseMove, Qt::NoButton, QPoint(33, 43), Qt::NoButton);
    EXPECT_EQ(Messages("visible", {WM_MOUSEMOVE}), std::vector<UINT>{WM_MOUSEMOVE});
    EXPECT_TRUE(Messages("hidden", {WM_MOUSEMOVE}).empty());
}

TEST_F(MessageOrderTest, DoubleClicksOnlyForClassesThatAskForThem)
{
    struct Case {
        UINT ClassStyle;
        std::vector<UINT> Want;
    };

    const std::vector<Case> cases = {
            {CS_DBLCLKS, {WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK, WM_LBUTTONUP}},
            {0, {WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDOWN, WM_LBUTTONUP}},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ClassStyle);
        const std::string name = "w" + std::to_string(n++);
        TRecordingWindow& w = TopLevel(name);
        w.ClassStyle = c.ClassStyle;
        Show(w);
        QWidget* widget = WidgetOf(w);
        test::SendMouse(widget, QEvent::MouseButtonPress, Qt::LeftButton, QPoint(5, 5), Qt::LeftButton);
        test::SendMouse(widget, QEvent::MouseButtonRelease, Qt::LeftButton, QPoint(5, 5), Qt::NoButton);
        test::SendMouse(widget, QEvent::MouseButtonDblClick, Qt::LeftButton, QPoint(5, 5), Qt::LeftButton);
        test::SendMouse(widget, QEvent::MouseButtonRelease, Qt::LeftButton, QPoint(5, 5), Qt::NoButton);
        EXPECT_EQ(Messages(name, {WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK}), c.Want);
    }
}

TEST_F(MessageOrderTest, RightClickOnAnEditGivesRightButtonDownAndNoQtMenu)
{
    TRecordingWindow& frame = TopLevel("frame");
    auto* edit = new TRecordingEdit(&frame, "edit");
    edit->Attr.W = 100;
    edit->Attr.H = 22;
    Show(frame);
    ASSERT_TRUE(edit->HasWindow());
    QWidget* widget = WidgetOf(*edit);
    Log().clear();
    test::SendMouse(widget, QEvent::MouseButtonPress, Qt::RightButton, QPoint(10, 10), Qt::RightButton);
    test::SendMouse(widget, QEvent::MouseButtonRelease, Qt::RightButton, QPoint(10, 10), Qt::NoButton);
    QContextMenuEvent menu(QContextMenuEvent::Mouse, QPoint(10, 10), widget->mapToGlobal(QPoint(10, 10)));
    QApplication::sendEvent(widget, &menu);
    QCoreApplication::processEvents();
    EXPECT_EQ(Messages("edit", {WM_RBUTTONDOWN, WM_RBUTTONUP}), (std::vector<UINT>{WM_RBUTTONDOWN, WM_RBUTTONUP}));
    EXPECT_EQ(QApplication::activePopupWidget(), nullptr);
    EXPECT_TRUE(Messages("frame", {WM_RBUTTONDOWN}).empty());
}

TEST_F(MessageOrderTest, SizeChangeSendsSizeAndTellsTheParent)
{
    TRecordingWindow& frame = TopLevel("frame");
    auto* child = new TRecordingWindow(&frame, "child");
    child->Attr.Id = 77;
    child->Attr.W = 30;
    child->Attr.H = 10;
    Show(frame);
    Log().clear();
    child->SetWindowPos(kHwndTop, 0, 0, 40, 12, SWP_NOMOVE | SWP_NOZORDER);
    EXPECT_EQ(Messages("child", {WM_NCCALCSIZE, WM_SIZE}), (std::vector<UINT>{WM_NCCALCSIZE, WM_SIZE}));
    bool notified = false;
    for (const auto& r : Log()) {
        if (r.Window == "child" && r.Msg == WM_SIZE) {
            EXPECT_EQ(r.LParam, MAKELPARAM(40, 12));
        }
        if (r.Window == "frame" && r.Msg == WM_PARENTNOTIFY) {
            notified = true;
            EXPECT_EQ(LOWORD(r.WParam), WM_SIZE);
            EXPECT_EQ(HIWORD(r.WParam), 77);
            EXPECT_EQ(static_cast<HWND>(r.LParam), child->GetHandle());
        }
    }
    EXPECT_TRUE(notified);
    // The same size again says nothing.
    Log().clear();
    child->SetWindowPos(kHwndTop, 0, 0, 40, 12, SWP_NOMOVE | SWP_NOZORDER);
    EXPECT_TRUE(Messages("child", {WM_SIZE}).empty());
}

TEST_F(MessageOrderTest, DestroyInsideAHandlerDeletesTheWidgetAfterTheDispatch)
{
    TRecordingWindow& w = TopLevel("w");
    Show(w);
    QPointer<QWidget> widget = WidgetOf(w);
    bool aliveInHandler = false;
    w.Handler = [&](UINT msg, WPARAM, LPARAM, LRESULT&) {
        if (msg == WM_LBUTTONDOWN) {
            w.Destroy();
            aliveInHandler = !widget.isNull();
            EXPECT_FALSE(w.HasWindow());
            return true;
        }
        return false;
    };
    test::SendMouse(widget, QEvent::MouseButtonPress, Qt::LeftButton, QPoint(5, 5), Qt::LeftButton);
    EXPECT_TRUE(aliveInHandler);
    EXPECT_FALSE(w.HasWindow());
    EXPECT_EQ(TWindow::FromHandle(w.GetHandle()), nullptr);
    EXPECT_TRUE(WaitFor([&] { return widget.isNull(); }));
    EXPECT_EQ(Messages("w", {WM_DESTROY}), std::vector<UINT>{WM_DESTROY});
}

TEST_F(MessageOrderTest, SetFontTellsTheWindowAndTheControlDrawsWithIt)
{
    TRecordingWindow& frame = TopLevel("frame");
    auto* edit = new TRecordingEdit(&frame, "edit");
    Show(frame);
    Log().clear();
    const TFont font("MS Sans Serif", -16, 0, FW_BOLD);
    edit->SetWindowFont(font, false);
    ASSERT_EQ(Messages("edit", {WM_SETFONT}), std::vector<UINT>{WM_SETFONT});
    for (const auto& r : Log()) {
        if (r.Msg == WM_SETFONT) {
            EXPECT_EQ(*reinterpret_cast<const TFont*>(r.WParam), font);
            EXPECT_EQ(r.LParam, 0);
        }
    }
    EXPECT_EQ(WidgetOf(*edit)->font().pixelSize(), 16);
    EXPECT_TRUE(WidgetOf(*edit)->font().bold());
}

// The key chain.

TEST_F(MessageOrderTest, PrefilterThatEatsARightPressAlsoEatsItsRelease)
{
    TRecordingWindow& w = TopLevel("w");
    w.ClassStyle = 0; // the second fast click stays a press
    Show(w);
    int seen = 0;
    m_app->Prefilter = [&](MSG& msg) {
        if (msg.message == WM_RBUTTONDOWN) {
            ++seen;
            return true;
        }
        return false;
    };
    Log().clear();
    test::Click(WidgetOf(w), Qt::RightButton, QPoint(5, 5));
    EXPECT_EQ(seen, 1);
    EXPECT_TRUE(Messages("w", {WM_RBUTTONDOWN, WM_RBUTTONUP}).empty());
    // A later click the pre-filter lets through arrives whole.
    m_app->Prefilter = nullptr;
    test::Click(WidgetOf(w), Qt::RightButton, QPoint(5, 5));
    EXPECT_EQ(Messages("w", {WM_RBUTTONDOWN, WM_RBUTTONUP}), (std::vector<UINT>{WM_RBUTTONDOWN, WM_RBUTTONUP}));
}

TEST_F(MessageOrderTest, PreProcessMsgSeesReturnBeforeTheEdit)
{
    TRecordingWindow& frame = TopLevel("frame");
    auto* edit = new TRecordingEdit(&frame, "edit");
    edit->Attr.W = 100;
    edit->Attr.H = 22;
    std::vector<std::string> order;
    frame.PreProcess = [&](MSG& msg) {
        if (msg.message == WM_KEYDOWN && msg.wParam == VK_RETURN) {
            order.push_back("frame");
        }
        return false;
    };
    edit->Handler = [&](UINT msg, WPARAM wParam, LPARAM, LRESULT&) {
        if (msg == WM_KEYDOWN && wParam == VK_RETURN) {
            order.push_back("edit");
        }
        return false;
    };
    Show(frame);
    edit->SetFocus();
    ASSERT_TRUE(WaitFor([&] { return TWindow::GetFocus() == edit; }));
    test::SendKey(WidgetOf(*edit), Qt::Key_Return, Qt::NoModifier, QStringLiteral("\r"));
    EXPECT_EQ(order, (std::vector<std::string>{"frame", "edit"}));
}

class TAcceleratedFrame : public TRecordingWindow {
public:
    using TRecordingWindow::TRecordingWindow;

    bool TranslateAccelerators(MSG& msg) override
    {
        if (msg.message == WM_KEYDOWN && msg.wParam == 'B' && GetKeyState(VK_CONTROL) < 0) {
            PostMessage(WM_COMMAND, 2026, 0);
            return true;
        }
        return false;
    }
};

TEST_F(MessageOrderTest, AcceleratorWorksWithFocusInAnEditAndNoQtShortcutFires)
{
    auto frameOwner = std::make_unique<TAcceleratedFrame>(nullptr, "frame");
    TAcceleratedFrame& frame = *frameOwner;
    frame.Attr.Style = WS_POPUP;
    frame.Attr.W = 200;
    frame.Attr.H = 100;
    auto* edit = new TRecordingEdit(&frame, "edit");
    edit->Attr.W = 100;
    edit->Attr.H = 22;
    Show(frame);
    int qtShortcuts = 0;
    auto* shortcut = new QShortcut(QKeySequence(QStringLiteral("Ctrl+B")), WidgetOf(frame));
    shortcut->setContext(Qt::ApplicationShortcut);
    QObject::connect(shortcut, &QShortcut::activated, [&] { ++qtShortcuts; });
    WidgetOf(frame)->activateWindow();
    edit->SetFocus();
    ASSERT_TRUE(WaitFor([&] { return TWindow::GetFocus() == edit; }));
    Log().clear();
    QTest::keyClick(WidgetOf(*edit), Qt::Key_B, Qt::ControlModifier);
    ASSERT_TRUE(WaitFor([] { return !Messages("frame", {WM_COMMAND}).empty(); }));
    EXPECT_EQ(qtShortcuts, 0);
    // The edit saw the Control key itself, but neither the B that became the command nor a character.
    for (const auto& r : Log()) {
        if (r.Window == "edit") {
            EXPECT_FALSE(r.Msg == WM_KEYDOWN && r.WParam == 'B');
            EXPECT_NE(r.Msg, WM_CHAR);
        }
    }
    EXPECT_EQ(static_cast<QLineEdit*>(WidgetOf(*edit))->text(), QString());
    // A plain key still types into the edit through its default handling.
    Log().clear();
    QTest::keyClick(WidgetOf(*edit), Qt::Key_X, Qt::NoModifier);
    EXPECT_EQ(Messages("edit", {WM_KEYDOWN, WM_CHAR, WM_KEYUP}), (std::vector<UINT>{WM_KEYDOWN, WM_CHAR, WM_KEYUP}));
    EXPECT_EQ(static_cast<QLineEdit*>(WidgetOf(*edit))->text(), QStringLiteral("x"));
    frameOwner.reset();
}

} // namespace
} // namespace qm::gui
