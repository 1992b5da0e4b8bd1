// The pane splitter: the console's two splits, panes following a size change and a dragged bar.
#include "gui/ctrl/PaneSplitter.h"

#include "gui/ctrl/tests/CtrlTestSupport.h"
#include "gui/window/WindowWidget.h"

#include <QCursor>
#include <QGuiApplication>
#include <QImage>

namespace qm::gui {
namespace {

using test::TRecordingWindow;

class PaneSplitterTest : public test::CtrlTest {
protected:
    // The pane's rectangle in the splitter's client coordinates.
    static TRect PlaceOf(const TWindow& splitter, const TWindow& pane)
    {
        const TPoint origin = pane.MapWindowPoint(&splitter, TPoint(0, 0));
        return TRect(origin, pane.GetClientRect().Size());
    }

    void Build()
    {
        m_splitter = new TPaneSplitter(m_frame.get());
        m_splitter->Attr.W = 404;
        m_splitter->Attr.H = 304;
        m_log = new TRecordingWindow(m_splitter, "log");
        m_tree = new TRecordingWindow(m_splitter, "tree");
        m_sessions = new TRecordingWindow(m_splitter, "sessions");
        for (TWindow* pane :
             {static_cast<TWindow*>(m_log), static_cast<TWindow*>(m_tree), static_cast<TWindow*>(m_sessions)}) {
            pane->Attr.Style = WS_CHILD | WS_VISIBLE;
        }
        m_frame->Attr.W = 700;
        m_frame->Attr.H = 500;
    }

    TPaneSplitter* m_splitter = nullptr;
    TRecordingWindow* m_log = nullptr;
    TRecordingWindow* m_tree = nullptr;
    TRecordingWindow* m_sessions = nullptr;
};

TEST_F(PaneSplitterTest, TheConsolesSplitsShareTheAreaAndFollowItsSize)
{
    Build();
    // Split before the windows exist, as the console's set-up does after the splitter's own.
    ASSERT_TRUE(m_splitter->SplitPane(m_log, m_sessions, TSplitDirection::psHorizontal, 0.7f));
    ASSERT_TRUE(m_splitter->SplitPane(m_log, m_tree, TSplitDirection::psVertical, 0.7f));
    EXPECT_FALSE(m_splitter->SplitPane(m_log, m_tree, TSplitDirection::psVertical, 0.5f));
    EXPECT_FALSE(m_splitter->SplitPane(m_log, nullptr, TSplitDirection::psVertical, 0.5f));
    Show();
    EXPECT_EQ(m_splitter->GetPanes(), (std::vector<TWindow*>{m_log, m_tree, m_sessions}));
    EXPECT_EQ(PlaceOf(*m_splitter, *m_log), TRect(0, 0, 280, 210));
    EXPECT_EQ(PlaceOf(*m_splitter, *m_tree), TRect(284, 0, 404, 210));
    EXPECT_EQ(PlaceOf(*m_splitter, *m_sessions), TRect(0, 214, 404, 304));

    m_splitter->MoveWindow(0, 0, 604, 404, true);
    ASSERT_TRUE(WaitFor([&] { return PlaceOf(*m_splitter, *m_log) == TRect(0, 0, 420, 280); }));
    EXPECT_EQ(PlaceOf(*m_splitter, *m_sessions), TRect(0, 284, 604, 404));

    // The bars show in the face colour between the panes.
    m_splitter->UpdateWindow();
    const QImage shown = WidgetOf(*m_splitter)->grab().toImage();
    const TColor face = TColor::FromSys(COLOR_3DFACE);
    EXPECT_EQ(shown.pixel(10, 282), qRgb(face.Red(), face.Green(), face.Blue()));
    EXPECT_EQ(shown.pixel(422, 100), qRgb(face.Red(), face.Green(), face.Blue()));
}

TEST_F(PaneSplitterTest, DraggingABarMovesThePanesBesideIt)
{
    Build();
    Show();
    ASSERT_TRUE(m_splitter->SplitPane(m_log, m_sessions, TSplitDirection::psHorizontal, 0.7f));
    ASSERT_TRUE(m_splitter->SplitPane(m_log, m_tree, TSplitDirection::psVertical, 0.7f));
    ASSERT_TRUE(m_log->HasWindow());
    QWidget* widget = WidgetOf(*m_splitter);
    // Taken 2 pixels into the bar (top 210) and dragged up by 100 pixels.
    test::SendMouse(widget, QEvent::MouseButtonPress, Qt::LeftButton, QPoint(10, 212), Qt::LeftButton);
    EXPECT_EQ(TWindow::GetCapture(), m_splitter);
    test::SendMouse(widget, QEvent::MouseMove, Qt::NoButton, QPoint(10, 150), Qt::LeftButton);
    test::SendMouse(widget, QEvent::MouseMove, Qt::NoButton, QPoint(10, 112), Qt::LeftButton);
    test::SendMouse(widget, QEvent::MouseButtonRelease, Qt::LeftButton, QPoint(10, 112), Qt::NoButton);
    EXPECT_EQ(TWindow::GetCapture(), nullptr);
    EXPECT_EQ(PlaceOf(*m_splitter, *m_log), TRect(0, 0, 280, 110));
    EXPECT_EQ(PlaceOf(*m_splitter, *m_sessions), TRect(0, 114, 404, 304));
    // Moves after the release move nothing.
    test::SendMouse(widget, QEvent::MouseMove, Qt::NoButton, QPoint(10, 50), Qt::NoButton);
    EXPECT_EQ(PlaceOf(*m_splitter, *m_log), TRect(0, 0, 280, 110));
}

TEST_F(PaneSplitterTest, TheBarsShowTheSizingCursorOfTheirDirection)
{
    Build();
    Show();
    ASSERT_TRUE(m_splitter->SplitPane(m_log, m_sessions, TSplitDirection::psHorizontal, 0.7f));
    ASSERT_TRUE(m_splitter->SplitPane(m_log, m_tree, TSplitDirection::psVertical, 0.7f));
    QWidget* widget = WidgetOf(*m_splitter);

    struct Case {
        const char* What;
        QPoint At;
        HCURSOR Want;
        Qt::CursorShape Shape;
    };

    const Case cases[] = {
            {"the bar under the log and the tree", QPoint(10, 212), IDC_SIZENS, Qt::SizeVerCursor},
            {"the bar between the log and the tree", QPoint(282, 100), IDC_SIZEWE, Qt::SizeHorCursor},
            {"off the bars", QPoint(10, 50), IDC_ARROW, Qt::ArrowCursor},
    };
    for (const Case& c : cases) {
        test::SendMouse(widget, QEvent::MouseMove, Qt::NoButton, c.At, Qt::NoButton);
        EXPECT_EQ(TWindow::GetCursor(), c.Want) << c.What;
        EXPECT_EQ(widget->cursor().shape(), c.Shape) << c.What;
    }
    // From a bar straight into a pane, whose widget would otherwise inherit the sizing cursor.
    test::SendMouse(widget, QEvent::MouseMove, Qt::NoButton, QPoint(10, 212), Qt::NoButton);
    test::SendMouse(WidgetOf(*m_sessions), QEvent::MouseMove, Qt::NoButton, QPoint(10, 10), Qt::NoButton);
    EXPECT_EQ(WidgetOf(*m_sessions)->cursor().shape(), Qt::ArrowCursor);

    // While a bar is dragged its cursor holds wherever the pointer goes, and goes with the capture.
    test::SendMouse(widget, QEvent::MouseButtonPress, Qt::LeftButton, QPoint(282, 100), Qt::LeftButton);
    test::SendMouse(widget, QEvent::MouseMove, Qt::NoButton, QPoint(100, 100), Qt::LeftButton);
    ASSERT_NE(QGuiApplication::overrideCursor(), nullptr);
    EXPECT_EQ(QGuiApplication::overrideCursor()->shape(), Qt::SizeHorCursor);
    test::SendMouse(widget, QEvent::MouseButtonRelease, Qt::LeftButton, QPoint(100, 100), Qt::NoButton);
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

} // namespace
} // namespace qm::gui
