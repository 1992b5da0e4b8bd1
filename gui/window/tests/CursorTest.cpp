// Cursors by handle: registered pictures, stock shapes, no cursor, the previous one back, the class cursor.
#include "gui/model/CursorResource.h"
#include "gui/window/Application.h"
#include "gui/window/Window.h"
#include "gui/window/WindowWidget.h"
#include "gui/window/tests/WindowTestSupport.h"

#include <QBitmap>
#include <QGuiApplication>
#include <QImage>
#include <QWidget>
#include <gtest/gtest.h>

namespace qm::gui {
namespace {

constexpr int kMove = 19097;
constexpr int kHand = 24001;

// Whether a cursor bitmap's bit at (x, y) is set (drawn black).
bool IsSet(const QImage& image, int x, int y)
{
    return qGray(image.pixel(x, y)) < 128;
}

class TLinkWindow : public TWindow {
public:
    using TWindow::TWindow;

    void GetWindowClass(TWindowClass& wc) override { wc.Cursor = kHand; }
};

class CursorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        test::GuiTestApp();
        ClearCursorResources();
        m_app = std::make_unique<TApplication>();
    }

    void TearDown() override
    {
        TWindow::ReleaseCapture();
        TWindow::SetCursor(IDC_ARROW);
        ClearCursorResources();
        m_app.reset();
    }

    std::unique_ptr<TApplication> m_app;
};

TEST_F(CursorTest, ADragShowsRegisteredStockAndNoCursorsAndGetsTheSavedOneBack)
{
    ASSERT_TRUE(RegisterCursorResource(kMove, DragMoveCursorPicture()));
    TWindow harbour(nullptr, "harbour");
    harbour.Attr.Style = WS_POPUP;
    ASSERT_TRUE(harbour.Create());
    TWindow::SetCursor(IDC_ARROW);
    harbour.SetCapture();

    // The drag saves the cursor in force and shows its move cursor everywhere.
    const HCURSOR saved = TWindow::SetCursor(LoadCursor(kMove));
    EXPECT_EQ(saved, IDC_ARROW);
    EXPECT_EQ(TWindow::GetCursor(), kMove);
    const QCursor* shown = QGuiApplication::overrideCursor();
    ASSERT_NE(shown, nullptr);
    EXPECT_EQ(shown->shape(), Qt::BitmapCursor);
    EXPECT_EQ(shown->hotSpot(), QPoint(0, 0));
    const QImage mask = shown->mask().toImage();
    const QImage bits = shown->bitmap().toImage();
    ASSERT_EQ(mask.size(), QSize(20, 20));
    // The tip is black, the arrow's inside white, the far corner transparent.
    EXPECT_TRUE(IsSet(mask, 0, 0));
    EXPECT_TRUE(IsSet(bits, 0, 0));
    EXPECT_TRUE(IsSet(mask, 1, 2));
    EXPECT_FALSE(IsSet(bits, 1, 2));
    EXPECT_FALSE(IsSet(mask, 19, 0));

    // A cursor the program never registered is a null handle: the pointer vanishes.
    TWindow::SetCursor(LoadCursor(19099));
    EXPECT_EQ(QGuiApplication::overrideCursor()->shape(), Qt::BlankCursor);
    TWindow::SetCursor(LoadCursor(IDC_NO));
    EXPECT_EQ(QGuiApplication::overrideCursor()->shape(), Qt::ForbiddenCursor);

    // The drag ends: the saved cursor back, the capture's cursor gone.
    EXPECT_EQ(TWindow::SetCursor(saved), IDC_NO);
    EXPECT_EQ(TWindow::GetCursor(), IDC_ARROW);
    TWindow::ReleaseCapture();
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

TEST_F(CursorTest, AClassCursorFromAPictureIsShownOverTheClientArea)
{
    const TCursorPicture hand{{" XX ", "XooX", " XX "}, {1, 1}};
    ASSERT_TRUE(RegisterCursorResource(kHand, hand));
    TLinkWindow link(nullptr, "link");
    link.Attr.Style = WS_POPUP;
    ASSERT_TRUE(link.Create());
    link.SendMessage(WM_SETCURSOR, link.GetHandle(), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
    EXPECT_EQ(TWindow::GetCursor(), kHand);
    const QCursor cursor = WidgetOf(link)->cursor();
    EXPECT_EQ(cursor.shape(), Qt::BitmapCursor);
    EXPECT_EQ(cursor.hotSpot(), QPoint(1, 1));
    EXPECT_EQ(cursor.mask().size(), QSize(4, 3));
    EXPECT_FALSE(IsSet(cursor.mask().toImage(), 0, 0));
    EXPECT_TRUE(IsSet(cursor.bitmap().toImage(), 1, 0));
}

TEST_F(CursorTest, APictureIsBuiltOnceAndAgainOnlyWhenItsIdIsRegisteredAnew)
{
    ASSERT_TRUE(RegisterCursorResource(kMove, DragMoveCursorPicture()));
    TWindow harbour(nullptr, "harbour");
    harbour.Attr.Style = WS_POPUP;
    ASSERT_TRUE(harbour.Create());
    harbour.SetCapture();
    TWindow::SetCursor(LoadCursor(kMove));
    ASSERT_NE(QGuiApplication::overrideCursor(), nullptr);
    const qint64 first = QGuiApplication::overrideCursor()->bitmap().cacheKey();
    TWindow::SetCursor(IDC_ARROW);
    TWindow::SetCursor(LoadCursor(kMove));
    EXPECT_EQ(QGuiApplication::overrideCursor()->bitmap().cacheKey(), first);

    // The same id with another picture shows the new one.
    ASSERT_TRUE(RegisterCursorResource(kMove, DragRemoveCursorPicture()));
    TWindow::SetCursor(IDC_ARROW);
    TWindow::SetCursor(LoadCursor(kMove));
    const QCursor* shown = QGuiApplication::overrideCursor();
    ASSERT_NE(shown, nullptr);
    EXPECT_NE(shown->bitmap().cacheKey(), first);
    const TCursorPicture removal = DragRemoveCursorPicture();
    const QImage bits = shown->bitmap().toImage();
    for (int y = 0; y < removal.Height(); ++y) {
        for (int x = 0; x < removal.Width(); ++x) {
            ASSERT_EQ(IsSet(bits, x, y), removal.Rows[static_cast<std::size_t>(y)][static_cast<std::size_t>(x)] == 'X')
                    << x << "," << y;
        }
    }
}

} // namespace
} // namespace qm::gui
