// A button gadget paints its border by its border style and its face in the inner rectangle, so a derived button
// can choose another border (none at all) and paint the face where it wants (a glyph beside a caption).
#include "gui/draw/BitmapResources.h"
#include "gui/draw/Dc.h"
#include "gui/gadget/GadgetWindow.h"
#include "gui/window/tests/WindowTestSupport.h"

#include <gtest/gtest.h>

#include <optional>

namespace qm::gui {
namespace {

constexpr int kGlyph = 4301;
const TColor kGlyphColor(RGB(10, 20, 200));
const TColor kCorner(RGB(200, 30, 40));

// A button whose border a caller chooses and whose face it may paint into another rectangle.
class TChosenBorderButton : public TButtonGadget {
public:
    TChosenBorderButton(std::optional<TBorderStyle> border, TState state, bool enabled)
        : TButtonGadget(kGlyph, 500, NonExclusive, enabled, state)
        , m_border(border)
    {
        UpdateBorderStyle();
    }

    void PaintFaceAt(TDC& dc, const TRect& rect) { PaintFace(dc, rect); }

protected:
    void UpdateBorderStyle() override
    {
        if (m_border)
            SetBorderStyle(*m_border);
        else
            TButtonGadget::UpdateBorderStyle();
    }

private:
    std::optional<TBorderStyle> m_border;
};

class ButtonPaintTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        test::GuiTestApp();
        TBitmap glyph(8, 6, kGlyphColor);
        glyph.SetPixel(0, 0, kCorner);
        RegisterBitmapResource(kGlyph, glyph);
        m_previous = GetGadgetPainter();
        SetGadgetPainter(&StandardGadgetPainter());
    }

    void TearDown() override
    {
        SetGadgetPainter(m_previous);
        ClearBitmapResources();
    }

    TGadgetPainter* m_previous = nullptr;
};

TEST_F(ButtonPaintTest, BorderFollowsTheStyleAndTheFaceStandsInTheInnerRectangle)
{
    const TRect bounds(10, 10, 32, 30); // 22 x 20: the glyph's corner lands at (17, 17) in an up button

    struct Case {
        const char* Name;
        std::optional<TGadget::TBorderStyle> Border; // none: the framework's choice
        TButtonGadget::TState State;
        bool Enabled;
        unsigned Edge;     // the edge drawn at the bounds (0: none)
        TPoint GlyphAt;    // the glyph's top-left pixel
        TColor GlyphPixel; // its colour there
    };

    const Case cases[] = {
            {"up", std::nullopt, TButtonGadget::Up, true, EDGE_RAISED, TPoint(17, 17), kCorner},
            {"down: sunken, glyph one pixel right and down", std::nullopt, TButtonGadget::Down, true, EDGE_SUNKEN,
             TPoint(18, 18), kCorner},
            {"no border chosen by a derived button", TGadget::None, TButtonGadget::Up, true, 0, TPoint(17, 17),
             kCorner},
            {"thin raised border chosen", TGadget::Raised, TButtonGadget::Up, true, BDR_RAISEDINNER, TPoint(17, 17),
             kCorner},
            {"disabled: embossed", std::nullopt, TButtonGadget::Up, false, EDGE_RAISED, TPoint(17, 17),
             TColor::FromSys(COLOR_BTNSHADOW)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TChosenBorderButton button(c.Border, c.State, c.Enabled);
        button.SetBounds(bounds);
        TMemoryDC dc;
        dc.SelectBitmap(TBitmap(50, 40, TColor(RGB(0, 255, 0))));
        button.Paint(dc);

        TMemoryDC expected;
        expected.SelectBitmap(TBitmap(50, 40, TColor(RGB(0, 255, 0))));
        expected.FillRect(bounds, TBrush(TColor::FromSys(COLOR_BTNFACE)));
        if (c.Edge != 0) {
            TRect edge = bounds;
            expected.DrawEdge(edge, c.Edge, BF_RECT);
        }
        for (const TPoint p : {bounds.TopLeft(), TPoint(bounds.right - 1, bounds.bottom - 1), TPoint(11, 11)}) {
            EXPECT_EQ(dc.GetPixel(p).Rgb(), expected.GetPixel(p).Rgb()) << p.x << "," << p.y;
        }
        EXPECT_EQ(dc.GetPixel(c.GlyphAt).Rgb(), c.GlyphPixel.Rgb());
        EXPECT_EQ(dc.GetPixel(TPoint(9, 9)).Rgb(), RGB(0, 255, 0)) << "nothing outside the bounds";
    }
}

TEST_F(ButtonPaintTest, FacePaintedIntoAnotherRectangleCentresTheGlyphThere)
{
    // A button with a caption paints the glyph in the cell at its left and the caption beside it.
    TChosenBorderButton button(TGadget::None, TButtonGadget::Up, true);
    button.SetBounds(TRect(0, 0, 60, 20));
    TMemoryDC dc;
    dc.SelectBitmap(TBitmap(60, 20, TColor(RGB(0, 255, 0))));
    button.PaintFaceAt(dc, TRect(0, 0, 20, 20));
    EXPECT_EQ(dc.GetPixel(TPoint(6, 7)).Rgb(), kCorner.Rgb());
    EXPECT_EQ(dc.GetPixel(TPoint(30, 10)).Rgb(), RGB(0, 255, 0)) << "the face fills only the cell given";
}

TEST(GadgetWindowFontTest, PointSizesBecomePixelHeightsAndBarsMeasureWithThem)
{
    test::GuiTestApp();

    struct Case {
        int Points;
        bool Bold;
        bool Italic;
        int Height; // the character height asked for
    };

    const Case cases[] = {{10, false, false, -13}, {8, true, false, -11}, {12, false, true, -16}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Points);
        const TGadgetWindowFont font(c.Points, c.Bold, c.Italic);
        EXPECT_EQ(font.Height, c.Height);
        EXPECT_EQ(font.Weight, c.Bold ? FW_BOLD : FW_NORMAL);
        EXPECT_EQ(font.Italic, c.Italic);
    }
    TGadgetWindow small(nullptr, TGadgetWindow::Horizontal, TGadgetWindowFont(8));
    TGadgetWindow large(nullptr, TGadgetWindow::Horizontal, TGadgetWindowFont(12));
    EXPECT_LT(small.MeasureText("Toolbar").cx, large.MeasureText("Toolbar").cx);
    EXPECT_LT(small.GetFontHeight(), large.GetFontHeight());
    // A new font is measured anew.
    const int smallHeight = small.GetFontHeight();
    const int smallWidth = small.GetAverageCharWidth();
    small.SetFont(TGadgetWindowFont(12));
    EXPECT_EQ(small.GetFontHeight(), large.GetFontHeight());
    EXPECT_GT(small.GetFontHeight(), smallHeight);
    EXPECT_GT(small.GetAverageCharWidth(), smallWidth);
}

} // namespace
} // namespace qm::gui
