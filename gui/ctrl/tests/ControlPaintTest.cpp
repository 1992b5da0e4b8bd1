// A standard control drawn and tracked by its own window: a read-only edit that shows its text as an underlined
// link, changes colour and cursor while the mouse is over it and holds the mouse while it hovers.
#include "gui/ctrl/Controls.h"
#include "gui/ctrl/Dialog.h"
#include "gui/ctrl/tests/CtrlTestSupport.h"
#include "gui/draw/Dc.h"
#include "gui/window/WindowDc.h"
#include "gui/window/WindowWidget.h"

#include <QImage>
#include <QTest>
#include <gtest/gtest.h>

#include <vector>

namespace qm::gui {
namespace {

const TColor kNormal(0xFF0000); // blue in the stored byte order
const TColor kHover(0x0000FF);  // red

QColor Q(TColor c)
{
    return QColor(c.Red(), c.Green(), c.Blue());
}

class TLink : public TEdit {
public:
    TLink(TWindow* parent, int id, std::string_view text)
        : TEdit(parent, id, text, 10, 10, 160, 24)
    {
        Attr.Style |= ES_READONLY;
    }

    bool Hover = false;
    int Moves = 0;
    int CursorRequests = 0;

    LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override
    {
        switch (msg) {
        case WM_SETCURSOR:
            ++CursorRequests;
            SetCursor(LoadCursor(Hover ? IDC_HAND : IDC_ARROW));
            return 1;
        case WM_MOUSEMOVE: {
            ++Moves;
            const TPoint p(GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam));
            const bool inside = GetClientRect().Contains(p);
            if (inside != Hover) {
                Hover = inside;
                Invalidate();
            }
            SetCursor(LoadCursor(inside ? IDC_HAND : IDC_ARROW));
            if (inside) {
                SetCapture();
            } else if (GetCapture() == this) {
                ReleaseCapture();
            }
            break;
        }
        default:
            break;
        }
        return TEdit::WindowProc(msg, wParam, lParam);
    }

    void Paint(TDC& dc, bool, TRect&) override
    {
        TFont font = GetWindowFont();
        font.Underline = true;
        dc.SelectObject(font);
        dc.SetBkMode(TRANSPARENT);
        dc.SetTextColor(Hover ? kHover : kNormal);
        TRect client = GetClientRect();
        dc.DrawText(GetText(), client, DT_LEFT | DT_VCENTER | DT_SINGLELINE);
        dc.RestoreFont();
    }
};

struct TPixels {
    int Count = 0;
    int Top = 1 << 20;
    int Bottom = -1;
    int WidestRow = 0; // the longest run of the colour in one row (the underline)
};

TPixels PixelsOf(const QImage& image, const QColor& colour)
{
    TPixels out;
    for (int y = 0; y < image.height(); ++y) {
        int run = 0;
        for (int x = 0; x < image.width(); ++x) {
            if (QColor(image.pixel(x, y)) == colour) {
                ++out.Count;
                out.Top = std::min(out.Top, y);
                out.Bottom = std::max(out.Bottom, y);
                out.WidestRow = std::max(out.WidestRow, ++run);
            } else {
                run = 0;
            }
        }
    }
    return out;
}

class ControlPaintTest : public test::CtrlTest {
protected:
    void SetUp() override
    {
        CtrlTest::SetUp();
        m_dialog = std::make_unique<TDialog>(nullptr, "links");
        m_dialog->Attr.X = 40;
        m_dialog->Attr.Y = 40;
        m_dialog->Attr.W = 300;
        m_dialog->Attr.H = 160;
    }

    void TearDown() override
    {
        TWindow::ReleaseCapture();
        m_dialog.reset();
        CtrlTest::TearDown();
    }

    void ShowDialog()
    {
        ASSERT_TRUE(m_dialog->Create());
        m_dialog->ShowWindow(SW_SHOW);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(WidgetOf(*m_dialog)));
    }

    std::unique_ptr<TDialog> m_dialog;
};

TEST_F(ControlPaintTest, AControlWhoseWindowPaintsIsDrawnByItOnItsParentsBackground)
{
    auto* link = new TLink(m_dialog.get(), 4209, "Click for support options");
    auto* plain = new TEdit(m_dialog.get(), 4210, "plain", 10, 50, 160, 24);
    ShowDialog();

    const QImage shot = WidgetOf(*link)->grab().toImage();
    const QColor face = Q(TColor::FromSys(COLOR_3DFACE));
    // Nothing of the edit's own look: its background is the dialog's, the text the link's colour.
    EXPECT_EQ(QColor(shot.pixel(shot.width() - 3, 2)), face);
    EXPECT_EQ(PixelsOf(shot, Q(TColor::FromSys(COLOR_WINDOW))).Count, 0);
    const TPixels blue = PixelsOf(shot, Q(kNormal));
    ASSERT_GT(blue.Count, 0);
    // Vertically centred, and underlined: one row of the colour much wider than any letter.
    EXPECT_LE(std::abs((blue.Top + blue.Bottom) / 2 - shot.height() / 2), 2) << blue.Top << ".." << blue.Bottom;
    EXPECT_GT(blue.WidestRow, 60);
    EXPECT_EQ(PixelsOf(shot, Q(kHover)).Count, 0);

    // An edit whose window leaves painting alone keeps its own look (the window's white base behind its text).
    const QImage own = WidgetOf(*plain)->grab().toImage();
    EXPECT_EQ(QColor(own.pixel(own.width() - 8, own.height() / 2)), Q(TColor::FromSys(COLOR_WINDOW)));
    EXPECT_EQ(PixelsOf(own, Q(kNormal)).Count, 0);
}

TEST_F(ControlPaintTest, MovingOverAControlReachesItsWindowWhichMayHoldTheMouseUntilItLeaves)
{
    auto* link = new TLink(m_dialog.get(), 4209, "Click for support options");
    ShowDialog();
    QWidget* edit = WidgetOf(*link);

    // A plain move, no button down, through the platform: the control hears it and its cursor request.
    QTest::mouseMove(edit, QPoint(20, 12));
    ASSERT_TRUE(WaitFor([&] { return link->Hover; }));
    EXPECT_GT(link->CursorRequests, 0);
    EXPECT_EQ(TWindow::GetCapture(), link);
    EXPECT_EQ(TWindow::GetCursor(), LoadCursor(IDC_HAND));
    EXPECT_TRUE(WaitFor([&] { return PixelsOf(edit->grab().toImage(), Q(kHover)).Count > 0; }));
    EXPECT_EQ(PixelsOf(edit->grab().toImage(), Q(kNormal)).Count, 0);

    // Leaving over the dialog: the held mouse still reports to the link, which lets go.
    const int before = link->Moves;
    QTest::mouseMove(WidgetOf(*m_dialog), QPoint(250, 120));
    ASSERT_TRUE(WaitFor([&] { return !link->Hover; }));
    EXPECT_GT(link->Moves, before);
    EXPECT_EQ(TWindow::GetCapture(), nullptr);
    EXPECT_EQ(TWindow::GetCursor(), LoadCursor(IDC_ARROW));
    EXPECT_TRUE(WaitFor([&] { return PixelsOf(edit->grab().toImage(), Q(kNormal)).Count > 0; }));
}

} // namespace
} // namespace qm::gui
