// Drawing over a standard control from its WM_PAINT: what the handler draws after the control's own painting
// shows on top of it, and again after each repaint.
#include "gui/ctrl/Controls.h"
#include "gui/ctrl/tests/CtrlTestSupport.h"
#include "gui/window/WindowDc.h"
#include "gui/window/WindowWidget.h"

#include <QImage>
#include <QLineEdit>
#include <QTest>
#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace qm::gui {
namespace {

constexpr TColor kFrame(255, 0, 0);
constexpr TColor kFill(0, 0, 255);

struct TPaintCount {
    int Paints = 0;
};

// A control that, after its own painting, fills its client area blue and frames the whole window red.
template <typename Base>
class TPaintsOver
    : public Base
    , public TPaintCount {
public:
    using Base::Base;

    LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override
    {
        if (msg != WM_PAINT) {
            return Base::WindowProc(msg, wParam, lParam);
        }
        const LRESULT result = Base::WindowProc(msg, wParam, lParam);
        ++Paints;
        {
            TPaintDC dc(*this);
            dc.FillRect(this->GetClientRect(), TBrush(kFill));
        }
        TWindowDC dc(*this);
        const TRect window = this->GetWindowRect();
        dc.FrameRect(TRect(0, 0, window.Width(), window.Height()), TBrush(kFrame));
        return result;
    }
};

TColor PixelOf(const QImage& image, int x, int y)
{
    const QRgb p = image.pixel(x, y);
    return TColor(qRed(p), qGreen(p), qBlue(p));
}

class PaintOverTest : public test::CtrlTest {};

TEST_F(PaintOverTest, DrawingFromPaintShowsOverTheControlAndAfterEachRepaint)
{
    struct Case {
        const char* Name;
        std::function<TWindow*(TWindow*)> Make;
    };

    const Case cases[] = {
            {"edit",
             [](TWindow* p) {
                 return new TPaintsOver<TEdit>(p, 101, "text", 10, 10, 120, 24);
             }},
            {"combo with edit",
             [](TWindow* p) {
                 return new TPaintsOver<TComboBox>(p, 102, 10, 40, 150, 24, CBS_DROPDOWN);
             }},
            {"drop-down list",
             [](TWindow* p) {
                 return new TPaintsOver<TComboBox>(p, 103, 10, 70, 150, 24, CBS_DROPDOWNLIST);
             }},
            {"button",
             [](TWindow* p) {
                 return new TPaintsOver<TButton>(p, 104, "OK", 10, 100, 80, 24);
             }},
    };
    std::vector<TWindow*> made;
    for (const Case& c : cases) {
        made.push_back(c.Make(m_frame.get()));
    }
    auto* plain = new TEdit(m_frame.get(), 105, "text", 10, 130, 120, 24);
    Show();

    for (std::size_t i = 0; i < made.size(); ++i) {
        SCOPED_TRACE(cases[i].Name);
        TWindow* control = made[i];
        const auto paints = [control] {
            return dynamic_cast<TPaintCount&>(*control).Paints;
        };
        const auto shows = [control] {
            const QImage shot = WidgetOf(*control)->grab().toImage();
            return PixelOf(shot, 0, 0) == kFrame && PixelOf(shot, shot.width() - 1, shot.height() - 1) == kFrame &&
                   PixelOf(shot, shot.width() / 2, shot.height() / 2) == kFill;
        };
        ASSERT_TRUE(WaitFor([&] { return paints() > 0; }));
        EXPECT_TRUE(shows());

        // A repaint asked for without erasing runs the handler again, and its drawing stays on top.
        const int before = paints();
        control->Invalidate(false);
        ASSERT_TRUE(WaitFor([&] { return paints() > before; }));
        EXPECT_TRUE(shows());
    }

    // Typing repaints the combo box's edit part; the drawing over it stays.
    auto* comboEdit = WidgetOf(*made[1])->findChild<QLineEdit*>();
    ASSERT_NE(comboEdit, nullptr);
    const int beforeTyping = dynamic_cast<TPaintCount&>(*made[1]).Paints;
    comboEdit->setText("typed");
    ASSERT_TRUE(WaitFor([&] { return dynamic_cast<TPaintCount&>(*made[1]).Paints > beforeTyping; }))
            << "the edit part's repaint paints over it again";
    const QImage combo = WidgetOf(*made[1])->grab().toImage();
    EXPECT_EQ(PixelOf(combo, combo.width() / 2, combo.height() / 2), kFill);

    // A control without such a handler looks as Qt draws it.
    const QImage shot = WidgetOf(*plain)->grab().toImage();
    EXPECT_NE(PixelOf(shot, shot.width() / 2, shot.height() / 2), kFill);
}

TEST_F(PaintOverTest, DrawingOutsidePaintLeavesTheControlAlone)
{
    auto* edit = new TEdit(m_frame.get(), 101, "text", 10, 10, 120, 24);
    Show();
    const QImage before = WidgetOf(*edit)->grab().toImage();
    {
        TClientDC dc(*edit);
        dc.FillRect(edit->GetClientRect(), TBrush(kFill));
    }
    EXPECT_EQ(WidgetOf(*edit)->grab().toImage(), before);
}

} // namespace
} // namespace qm::gui
