// Pop-up menus on the screen: keyboard choice, the owner's notifications, owner-drawn items at their rectangles.
#include "gui/draw/Dc.h"
#include "gui/menu/MenuView.h"
#include "gui/window/tests/WindowTestSupport.h"
#include "testsupport/WaitUntil.h"

#include <QImage>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

namespace qm::gui {
namespace {

using test::Log;
using test::Messages;
using test::TRecordingWindow;

class PopupMenuTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        test::GuiTestApp();
        Log().clear();
        m_app = std::make_unique<TApplication>();
        m_owner = std::make_unique<TRecordingWindow>(nullptr, "owner");
        m_owner->Attr.Style = WS_POPUP;
        m_owner->Attr.W = 200;
        m_owner->Attr.H = 100;
        ASSERT_TRUE(m_owner->Create());
        m_owner->ShowWindow(SW_SHOW);
    }

    void TearDown() override
    {
        m_owner.reset();
        m_app.reset();
        Log().clear();
    }

    std::unique_ptr<TApplication> m_app;
    std::unique_ptr<TRecordingWindow> m_owner;
};

TEST_F(PopupMenuTest, KeysChooseAnOwnerDrawnItemDrawnAtItsRectangleAndTheCommandIsPostedAfterwards)
{
    const COLORREF ink = RGB(200, 30, 40);
    TRect drawn;
    m_owner->Handler = [&](UINT msg, WPARAM, LPARAM lParam, LRESULT& result) {
        if (msg == WM_MEASUREITEM) {
            auto* m = reinterpret_cast<MEASUREITEMSTRUCT*>(lParam);
            m->itemWidth = 90;
            m->itemHeight = 24;
            result = 1;
            return true;
        }
        if (msg == WM_DRAWITEM) {
            auto* d = reinterpret_cast<DRAWITEMSTRUCT*>(lParam);
            EXPECT_EQ(d->CtlType, ODT_MENU);
            if (d->itemID == 101) {
                drawn = d->rcItem;
                d->hDC->FillRect(d->rcItem, TBrush(TColor(ink)));
            }
            result = 1;
            return true;
        }
        return false;
    };
    TPopupMenu menu;
    ASSERT_TRUE(AppendMenu(menu.GetHandle(), MF_OWNERDRAW, 101, {}, 7));
    ASSERT_TRUE(AppendMenu(menu.GetHandle(), MF_STRING, 102, "&Second"));
    bool sawPixels = false;
    QTimer::singleShot(0, [&] {
        ASSERT_TRUE(qm::test::WaitUntil([&] {
            QCoreApplication::processEvents();
            return QWidget::keyboardGrabber() != nullptr && drawn.Width() > 0;
        }));
        QWidget* popup = QWidget::keyboardGrabber();
        const QImage shot = popup->grab().toImage();
        const QPoint centre(drawn.left + drawn.Width() / 2, drawn.top + drawn.Height() / 2);
        sawPixels = (shot.pixel(centre) & 0xFFFFFFu) == qRgb(200, 30, 40) - 0xFF000000u;
        EXPECT_EQ(drawn.Size(), TSize(90, 24));
        QTest::keyClick(popup, Qt::Key_Down);
        QTest::keyClick(popup, Qt::Key_Return);
    });
    EXPECT_TRUE(TrackPopupMenuEx(menu.GetHandle(), TPM_LEFTALIGN | TPM_RIGHTBUTTON, 300, 200, *m_owner));
    EXPECT_TRUE(sawPixels);
    // The command comes after the tracking, as a posted message.
    EXPECT_TRUE(Messages("owner", {WM_COMMAND}).empty());
    ASSERT_TRUE(qm::test::WaitUntil([&] {
        QCoreApplication::processEvents();
        return !Messages("owner", {WM_COMMAND}).empty();
    }));
    std::vector<UINT> commands;
    for (const auto& r : Log()) {
        if (r.Msg == WM_COMMAND) {
            commands.push_back(LOWORD(r.WParam));
        }
    }
    EXPECT_EQ(commands, std::vector<UINT>{101});
    EXPECT_EQ(Messages("owner", {WM_INITMENUPOPUP}), std::vector<UINT>{WM_INITMENUPOPUP});
    EXPECT_FALSE(Messages("owner", {WM_MENUSELECT}).empty());
    EXPECT_EQ(QWidget::keyboardGrabber(), nullptr);
    EXPECT_EQ(TWindow::GetCapture(), nullptr);
}

TEST_F(PopupMenuTest, EscapeChoosesNothing)
{
    TPopupMenu menu;
    ASSERT_TRUE(AppendMenu(menu.GetHandle(), MF_STRING, 201, "&First\tCtrl+F"));
    QTimer::singleShot(0, [&] {
        ASSERT_TRUE(qm::test::WaitUntil([&] {
            QCoreApplication::processEvents();
            return QWidget::keyboardGrabber() != nullptr;
        }));
        QTest::keyClick(QWidget::keyboardGrabber(), Qt::Key_Escape);
    });
    EXPECT_EQ(TrackPopupMenuEx(menu.GetHandle(), TPM_RETURNCMD, 10, 10, *m_owner), 0u);
    QCoreApplication::processEvents();
    EXPECT_TRUE(Messages("owner", {WM_COMMAND}).empty());
}

} // namespace
} // namespace qm::gui
