// Pixel rules of the device contexts on memory bitmaps and on the screen overlay.
#include "gui/draw/Dc.h"

#include "gui/draw/BitmapResources.h"
#include "gui/draw/DcImpl.h"
#include "gui/draw/tests/GuiTestApp.h"
#include "gui/model/Color.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace qm::gui {
namespace {

constexpr COLORREF kWhite = RGB(255, 255, 255);
constexpr COLORREF kBlack = RGB(0, 0, 0);
constexpr COLORREF kRed = RGB(255, 0, 0);

class DcTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        test::GuiTestApp();
        ResetSysColors();
    }

    // A memory context over a white bitmap.
    static void Blank(TMemoryDC& dc, int w, int h, COLORREF fill = kWhite) { dc.SelectBitmap(TBitmap(w, h, fill)); }

    // The picture of a small context as rows of characters: '#' for colour ink, '.' for anything else.
    static std::vector<std::string> Rows(TDC& dc, int w, int h, COLORREF ink)
    {
        std::vector<std::string> rows;
        for (int y = 0; y < h; ++y) {
            std::string row;
            for (int x = 0; x < w; ++x) {
                row += dc.GetPixel(x, y).Rgb() == ink ? '#' : '.';
            }
            rows.push_back(row);
        }
        return rows;
    }
};

TEST_F(DcTest, LinesLeaveOutTheirEndPoint)
{
    struct Case {
        TPoint From;
        TPoint To;
        std::vector<std::string> Want;
    };

    const std::vector<Case> cases = {
            {{1, 1}, {5, 1}, {"......", ".####.", "......", "......", "......"}},
            {{1, 4}, {1, 0}, {"......", ".#....", ".#....", ".#....", ".#...."}},
            {{0, 0}, {4, 4}, {"#.....", ".#....", "..#...", "...#..", "......"}},
            {{3, 3}, {3, 3}, {"......", "......", "......", "......", "......"}},
    };
    for (const Case& c : cases) {
        TMemoryDC dc;
        Blank(dc, 6, 5);
        dc.SelectObject(TPen(kBlack));
        dc.MoveTo(c.From);
        dc.LineTo(c.To);
        SCOPED_TRACE(testing::Message() << "from " << c.From.x << "," << c.From.y << " to " << c.To.x << "," << c.To.y);
        EXPECT_EQ(Rows(dc, 6, 5, kBlack), c.Want);
        EXPECT_EQ(dc.GetCurrentPosition(), c.To);
    }
}

TEST_F(DcTest, RestoreDcPutsBackTheStateKeptAtItsLevel)
{
    constexpr COLORREF kBlue = RGB(0, 0, 255);
    // Draws with whatever is in force: text colour and mode, font, pen and current position, clip.
    const auto draw = [](TMemoryDC& dc) {
        TRect r(0, 0, 60, 16);
        dc.DrawText("Hi", r, DT_LEFT | DT_SINGLELINE);
        dc.LineTo(TPoint(59, 19));
    };
    const auto picture = [&](const std::function<void(TMemoryDC&)>& prepare) {
        TMemoryDC dc;
        Blank(dc, 60, 20);
        prepare(dc);
        draw(dc);
        std::vector<COLORREF> pixels;
        for (int y = 0; y < 20; ++y) {
            for (int x = 0; x < 60; ++x) {
                pixels.push_back(dc.GetPixel(x, y).Rgb());
            }
        }
        return pixels;
    };
    const auto base = [&](TMemoryDC& dc) {
        dc.SetTextColor(TColor(kRed));
        dc.SetBkMode(TRANSPARENT);
        dc.MoveTo(0, 19);
    };
    const auto changeAll = [&](TMemoryDC& dc) {
        dc.SetTextColor(TColor(kBlue));
        dc.SetBkMode(OPAQUE);
        dc.SetBkColor(TColor(kBlue));
        TFont font = dc.GetFont();
        font.Underline = true;
        font.Weight = FW_BOLD;
        dc.SelectObject(font);
        dc.SelectObject(TPen(TColor(kBlue), 2));
        dc.IntersectClipRect(TRect(0, 0, 5, 5));
        dc.MoveTo(30, 0);
    };
    const std::vector<COLORREF> before = picture(base);
    ASSERT_NE(before, picture([&](TMemoryDC& dc) {
                  base(dc);
                  changeAll(dc);
              }));

    // The last level, a level by number, and a level below later ones (which go with it).
    EXPECT_EQ(before, picture([&](TMemoryDC& dc) {
                  base(dc);
                  EXPECT_EQ(dc.SaveDC(), 1);
                  changeAll(dc);
                  EXPECT_TRUE(dc.RestoreDC());
              }));
    EXPECT_EQ(before, picture([&](TMemoryDC& dc) {
                  base(dc);
                  const int level = dc.SaveDC();
                  changeAll(dc);
                  EXPECT_EQ(dc.SaveDC(), level + 1);
                  dc.SetTextColor(TColor(RGB(0, 255, 0)));
                  EXPECT_TRUE(dc.RestoreDC(level));
                  EXPECT_FALSE(dc.RestoreDC(level + 1)); // forgotten with its level
              }));
    // Nothing kept, or no such level: nothing changes.
    EXPECT_EQ(picture([&](TMemoryDC& dc) {
                  base(dc);
                  changeAll(dc);
              }),
              picture([&](TMemoryDC& dc) {
                  base(dc);
                  changeAll(dc);
                  EXPECT_FALSE(dc.RestoreDC());
                  EXPECT_FALSE(dc.RestoreDC(0));
                  EXPECT_FALSE(dc.RestoreDC(3));
              }));
}

TEST_F(DcTest, RectangleOutlineStaysInsideRightAndBottomEdge)
{
    TMemoryDC dc;
    Blank(dc, 7, 6);
    dc.SelectObject(TPen(kBlack));
    dc.SelectObject(TBrush(kRed));
    dc.Rectangle(TRect(1, 1, 6, 5));
    EXPECT_EQ(Rows(dc, 7, 6, kBlack),
              (std::vector<std::string>{".......", ".#####.", ".#...#.", ".#...#.", ".#####.", "......."}));
    EXPECT_EQ(Rows(dc, 7, 6, kRed),
              (std::vector<std::string>{".......", ".......", "..###..", "..###..", ".......", "......."}));
}

TEST_F(DcTest, TwoPixelPenFromOneInsideFramesTheBoundsExactly)
{
    // The selection mark of a gadget: from (left + 1, top + 1) to (right, bottom), 2-pixel pen, hollow brush.
    TMemoryDC dc;
    Blank(dc, 8, 7);
    const TRect bounds(1, 1, 7, 6);
    dc.SelectObject(TPen(kBlack, 2));
    dc.SelectObject(TBrush::Hollow());
    dc.Rectangle(TRect(bounds.left + 1, bounds.top + 1, bounds.right, bounds.bottom));
    EXPECT_EQ(Rows(dc, 8, 7, kBlack), (std::vector<std::string>{"........", ".######.", ".######.", ".##..##.",
                                                                ".######.", ".######.", "........"}));
}

TEST_F(DcTest, FillAndFrameRectExcludeRightAndBottom)
{
    TMemoryDC dc;
    Blank(dc, 6, 5);
    dc.FillRect(TRect(1, 1, 3, 3), TBrush(kBlack));
    dc.FrameRect(TRect(3, 0, 6, 4), TBrush(kRed));
    EXPECT_EQ(Rows(dc, 6, 5, kBlack), (std::vector<std::string>{"......", ".##...", ".##...", "......", "......"}));
    EXPECT_EQ(Rows(dc, 6, 5, kRed), (std::vector<std::string>{"...###", "...#.#", "...#.#", "...###", "......"}));
}

TEST_F(DcTest, EdgeKindsUseTheirColoursAndCorners)
{
    const COLORREF hi = GetSysColor(COLOR_3DHILIGHT);
    const COLORREF sh = GetSysColor(COLOR_3DSHADOW);
    const COLORREF li = GetSysColor(COLOR_3DLIGHT);
    const COLORREF dk = GetSysColor(COLOR_3DDKSHADOW);

    struct Case {
        const char* Name;
        unsigned Edge;
        COLORREF OuterTopLeft, OuterBottomRight, InnerTopLeft, InnerBottomRight;
        int Width;
    };

    const std::vector<Case> cases = {
            {"raised", EDGE_RAISED, li, dk, hi, sh, 2},
            {"sunken", EDGE_SUNKEN, sh, hi, dk, li, 2},
            {"etched", EDGE_ETCHED, sh, hi, hi, sh, 2},
            {"bump", EDGE_BUMP, li, dk, dk, li, 2},
            {"thin sunken", BDR_SUNKENOUTER, sh, hi, kWhite, kWhite, 1},
            {"thin raised", BDR_RAISEDINNER, hi, sh, kWhite, kWhite, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TMemoryDC dc;
        Blank(dc, 8, 8, kWhite);
        TRect r(1, 1, 7, 7);
        dc.DrawEdge(r, c.Edge, BF_RECT | BF_ADJUST);
        EXPECT_EQ(r, TRect(1 + c.Width, 1 + c.Width, 7 - c.Width, 7 - c.Width));
        EXPECT_EQ(dc.GetPixel(1, 1).Rgb(), c.OuterTopLeft);
        EXPECT_EQ(dc.GetPixel(5, 1).Rgb(), c.OuterTopLeft);     // top row stops one short of the right side
        EXPECT_EQ(dc.GetPixel(6, 1).Rgb(), c.OuterBottomRight); // top-right corner
        EXPECT_EQ(dc.GetPixel(1, 6).Rgb(), c.OuterBottomRight); // bottom-left corner
        EXPECT_EQ(dc.GetPixel(6, 6).Rgb(), c.OuterBottomRight);
        EXPECT_EQ(dc.GetPixel(7, 7).Rgb(), kWhite); // outside the rectangle
        EXPECT_EQ(dc.GetPixel(2, 2).Rgb(), c.InnerTopLeft);
        EXPECT_EQ(dc.GetPixel(5, 5).Rgb(), c.InnerBottomRight);
        EXPECT_EQ(dc.GetPixel(3, 3).Rgb(), kWhite); // no BF_MIDDLE
    }
}

TEST_F(DcTest, Draw3dRectGivesTheFarCornersTheBottomRightColour)
{
    TMemoryDC dc;
    Blank(dc, 5, 5);
    dc.Draw3dRect(TRect(0, 0, 4, 4), kRed, kBlack);
    EXPECT_EQ(Rows(dc, 5, 5, kRed), (std::vector<std::string>{"###..", "#....", "#....", ".....", "....."}));
    EXPECT_EQ(Rows(dc, 5, 5, kBlack), (std::vector<std::string>{"...#.", "...#.", "...#.", "####.", "....."}));
}

TEST_F(DcTest, DitherIsAnchoredAtTheBrushOriginNotAtTheRectangle)
{
    const TBrush dither = TBrush::Dither(kBlack, kWhite);
    // Two fills side by side must continue one pattern: pixel colour depends on (x + y) parity only.
    TMemoryDC dc;
    Blank(dc, 8, 4, kRed);
    dc.FillRect(TRect(0, 0, 3, 4), dither);
    dc.FillRect(TRect(3, 0, 8, 4), dither);
    EXPECT_EQ(Rows(dc, 8, 4, kBlack), (std::vector<std::string>{"#.#.#.#.", ".#.#.#.#", "#.#.#.#.", ".#.#.#.#"}));
    // A window whose origin is one pixel further right sees the other phase at the same context point.
    TMemoryDC shifted;
    Blank(shifted, 4, 2, kRed);
    shifted.SetBrushOrg(TPoint(1, 0));
    shifted.FillRect(TRect(0, 0, 4, 2), dither);
    EXPECT_EQ(Rows(shifted, 4, 2, kBlack), (std::vector<std::string>{".#.#", "#.#."}));
}

TEST_F(DcTest, EmbossDrawsHighlightBelowRightThenShadow)
{
    TBitmap glyph(3, 3, RGB(192, 192, 192));
    glyph.SetPixel(0, 0, kBlack);
    glyph.SetPixel(1, 1, kBlack);
    const COLORREF face = GetSysColor(COLOR_3DFACE);
    TMemoryDC dc;
    Blank(dc, 5, 5, face);
    dc.DrawEmbossed(TPoint(1, 1), glyph, TColor(RGB(192, 192, 192)));
    const COLORREF hi = GetSysColor(COLOR_3DHILIGHT);
    const COLORREF sh = GetSysColor(COLOR_3DSHADOW);
    EXPECT_EQ(Rows(dc, 5, 5, sh), (std::vector<std::string>{".....", ".#...", "..#..", ".....", "....."}));
    EXPECT_EQ(Rows(dc, 5, 5, hi), (std::vector<std::string>{".....", ".....", ".....", "...#.", "....."}));
    EXPECT_EQ(dc.GetPixel(4, 4).Rgb(), face);
}

TEST_F(DcTest, FocusRectTwiceRestoresThePixels)
{
    TMemoryDC dc;
    Blank(dc, 6, 6, RGB(10, 20, 30));
    dc.SetPixel(2, 0, kRed);
    const TBitmap before = dc.GetBitmap();
    dc.DrawFocusRect(TRect(0, 0, 6, 6));
    EXPECT_EQ(dc.GetPixel(0, 0).Rgb(), RGB(245, 235, 225));
    EXPECT_EQ(dc.GetPixel(1, 0).Rgb(), RGB(10, 20, 30));
    EXPECT_EQ(dc.GetPixel(2, 2).Rgb(), RGB(10, 20, 30)); // inside untouched
    dc.DrawFocusRect(TRect(0, 0, 6, 6));
    for (int y = 0; y < 6; ++y) {
        for (int x = 0; x < 6; ++x) {
            EXPECT_EQ(dc.GetPixel(x, y).Rgb(), before.GetPixel(x, y).Rgb()) << x << "," << y;
        }
    }
}

TEST_F(DcTest, PolygonFillsByPixelCentresAndOutlinesEveryEdge)
{
    TMemoryDC dc;
    Blank(dc, 7, 7);
    dc.SelectObject(TPen(kBlack));
    dc.SelectObject(TBrush(kRed));
    dc.Polygon({TPoint(1, 1), TPoint(5, 1), TPoint(5, 5), TPoint(1, 5)});
    EXPECT_EQ(Rows(dc, 7, 7, kBlack),
              (std::vector<std::string>{".......", ".#####.", ".#...#.", ".#...#.", ".#...#.", ".#####.", "......."}));
    EXPECT_EQ(Rows(dc, 7, 7, kRed),
              (std::vector<std::string>{".......", ".......", "..###..", "..###..", "..###..", ".......", "......."}));
}

TEST_F(DcTest, TextPrefixesAreUnderlinedAndNotDrawn)
{
    TMemoryDC dc;
    Blank(dc, 80, 20);
    dc.SetBkMode(TRANSPARENT);
    TRect calc(0, 0, 0, 0);
    dc.DrawText("&File", calc, DT_SINGLELINE | DT_CALCRECT);
    EXPECT_EQ(calc.Width(), dc.GetTextExtent("File").cx);
    TRect amp(0, 0, 0, 0);
    dc.DrawText("a&&b", amp, DT_SINGLELINE | DT_CALCRECT);
    EXPECT_EQ(amp.Width(), dc.GetTextExtent("a&b").cx);
    TRect noPrefix(0, 0, 0, 0);
    dc.DrawText("&File", noPrefix, DT_SINGLELINE | DT_CALCRECT | DT_NOPREFIX);
    EXPECT_EQ(noPrefix.Width(), dc.GetTextExtent("&File").cx);

    // With the prefix, a line is drawn under the F; without, that row stays white under the first letter.
    TRect r(0, 0, 80, 20);
    const TSize avg = dc.GetAverageCharSize();
    dc.DrawText("&File", r, DT_SINGLELINE | DT_TOP);
    TMemoryDC plain;
    Blank(plain, 80, 20);
    plain.SetBkMode(TRANSPARENT);
    TRect r2(0, 0, 80, 20);
    plain.DrawText("File", r2, DT_SINGLELINE | DT_TOP);
    int differing = 0;
    for (int y = 0; y < 20; ++y) {
        for (int x = 0; x < avg.cx * 2; ++x) {
            differing += dc.GetPixel(x, y).Rgb() != plain.GetPixel(x, y).Rgb() ? 1 : 0;
        }
    }
    EXPECT_GT(differing, 2) << "no underline under the prefixed letter";
}

TEST_F(DcTest, TextAlignsInItsRectangleWithoutAntialiasing)
{
    struct Case {
        unsigned Format;
        const char* Name;
    };

    for (const Case& c : {Case{DT_LEFT, "left"}, Case{DT_CENTER, "centre"}, Case{DT_RIGHT, "right"}}) {
        SCOPED_TRACE(c.Name);
        TMemoryDC dc;
        Blank(dc, 100, 30);
        dc.SetBkMode(TRANSPARENT);
        TRect r(0, 0, 100, 30);
        dc.DrawText("Mm", r, c.Format | DT_SINGLELINE | DT_VCENTER);
        int minX = 100;
        int maxX = -1;
        int minY = 30;
        int maxY = -1;
        for (int y = 0; y < 30; ++y) {
            for (int x = 0; x < 100; ++x) {
                const COLORREF p = dc.GetPixel(x, y).Rgb();
                ASSERT_TRUE(p == kWhite || p == kBlack) << "antialiased pixel at " << x << "," << y;
                if (p == kBlack) {
                    minX = std::min(minX, x);
                    maxX = std::max(maxX, x);
                    minY = std::min(minY, y);
                    maxY = std::max(maxY, y);
                }
            }
        }
        ASSERT_GE(maxX, 0);
        const int w = dc.GetTextExtent("Mm").cx;
        if (c.Format == DT_LEFT) {
            EXPECT_LT(minX, 3);
        } else if (c.Format == DT_CENTER) {
            EXPECT_NEAR(minX + (maxX - minX) / 2, 50, 3);
        } else {
            EXPECT_GT(maxX, 100 - 4);
            EXPECT_GE(minX, 100 - w - 1);
        }
        EXPECT_NEAR((minY + maxY) / 2, 15, 3); // vertically centred
    }
}

TEST_F(DcTest, TabsExpandToStops)
{
    TMemoryDC dc;
    Blank(dc, 10, 10);
    const int b = dc.GetTextExtent("b").cx;
    EXPECT_EQ(dc.GetTabbedTextExtent("a\tb", {40}).cx, 40 + b);
    EXPECT_EQ(dc.GetTabbedTextExtent("a\tb\tc", {30}).cx, 60 + dc.GetTextExtent("c").cx);
    EXPECT_EQ(dc.GetTabbedTextExtent("a\tb").cx, 8 * dc.GetAverageCharSize().cx + b);
    TRect r(0, 0, 0, 0);
    dc.DrawText("a\tb", r, DT_SINGLELINE | DT_EXPANDTABS | DT_CALCRECT);
    EXPECT_EQ(r.Width(), 8 * dc.GetAverageCharSize().cx + b);
}

TEST_F(DcTest, ScreenSaveDrawRestoreLeavesTheOverlayUnchanged)
{
    ClearScreenOverlay();
    const TRect area(100, 100, 112, 130);
    TScreenDC screen;
    screen.SetPixel(TPoint(101, 101), kRed); // something already on the overlay
    // Save, draw the I-shaped marker polygon, restore: as a drag marker does.
    TMemoryDC save(screen);
    save.SelectBitmap(TBitmap(area.Width(), area.Height()));
    save.BitBlt(TRect(0, 0, area.Width(), area.Height()), screen, area.TopLeft());
    screen.SelectObject(TPen(kBlack));
    screen.SelectObject(TBrush(kBlack));
    const TRect r1 = area.InflatedBy(-1, -1);
    const TRect r2 = area.InflatedBy(-4, -4);
    screen.Polygon({r1.TopLeft(), TPoint(r1.right, r1.top), TPoint(r2.right, r2.top), TPoint(r2.right, r2.bottom),
                    r1.BottomRight(), TPoint(r1.left, r1.bottom), TPoint(r2.left, r2.bottom), r2.TopLeft()});
    EXPECT_EQ(ScreenOverlayPixel(TPoint(102, 102)), std::optional<TColor>(TColor(kBlack)));
    screen.BitBlt(area, save, TPoint(0, 0));
    for (int y = area.top - 1; y <= area.bottom; ++y) {
        for (int x = area.left - 1; x <= area.right; ++x) {
            const auto p = ScreenOverlayPixel(TPoint(x, y));
            if (x == 101 && y == 101) {
                ASSERT_TRUE(p.has_value());
                EXPECT_EQ(p->Rgb(), kRed);
            } else {
                EXPECT_FALSE(p.has_value()) << "overlay pixel left at " << x << "," << y;
            }
        }
    }
}

TEST_F(DcTest, ScreenOverlayIsShownOnlyWhileAScreenContextLives)
{
    // A top-level window over the whole screen that stayed mapped would hide every window for good.
    ClearScreenOverlay();
    EXPECT_FALSE(ScreenOverlayShown());
    {
        TScreenDC outer;
        EXPECT_FALSE(ScreenOverlayShown()) << "shown before anything was drawn";
        outer.SetPixel(TPoint(5, 5), kRed);
        EXPECT_TRUE(ScreenOverlayShown());
        {
            TScreenDC inner; // a second context in the same session keeps the overlay and its pixels
            EXPECT_TRUE(ScreenOverlayPixel(TPoint(5, 5)).has_value());
        }
        EXPECT_TRUE(ScreenOverlayShown());
        EXPECT_TRUE(ScreenOverlayPixel(TPoint(5, 5)).has_value());
    }
    EXPECT_FALSE(ScreenOverlayShown()) << "still shown after the last screen context";
    EXPECT_FALSE(ScreenOverlayPixel(TPoint(5, 5)).has_value()) << "a pixel left for the next session";
}

TEST_F(DcTest, ScreenOverlayWithoutACompositorStartsFromTheScreensPicture)
{
    // Where the display does not blend translucent windows, the overlay shows the screen's picture under the
    // drawing, and what is saved and restored is that picture.
    constexpr COLORREF kScreen = RGB(10, 120, 200);
    int taken = 0;
    SetScreenOverlayBackdropForTest([&] {
        ++taken;
        QImage picture(ScreenOverlayImage().size(), QImage::Format_RGB32);
        picture.fill(QColor(10, 120, 200));
        return picture;
    });
    {
        TScreenDC screen;
        EXPECT_EQ(taken, 1);
        ASSERT_TRUE(ScreenOverlayPixel(TPoint(50, 50)).has_value());
        EXPECT_EQ(ScreenOverlayPixel(TPoint(50, 50))->Rgb(), kScreen);
        const TRect area(40, 40, 60, 60);
        TMemoryDC save(screen);
        save.SelectBitmap(TBitmap(area.Width(), area.Height()));
        save.BitBlt(TRect(0, 0, area.Width(), area.Height()), screen, area.TopLeft());
        screen.FillRect(area, TBrush(kBlack));
        EXPECT_EQ(ScreenOverlayPixel(TPoint(50, 50))->Rgb(), kBlack);
        EXPECT_TRUE(ScreenOverlayShown());
        screen.BitBlt(area, save, TPoint(0, 0));
        EXPECT_EQ(ScreenOverlayPixel(TPoint(50, 50))->Rgb(), kScreen) << "the restore lost the screen's picture";
        ClearScreenOverlay();
        EXPECT_EQ(ScreenOverlayPixel(TPoint(50, 50))->Rgb(), kScreen) << "a clear lost the screen's picture";
    }
    EXPECT_FALSE(ScreenOverlayShown());
    EXPECT_FALSE(ScreenOverlayPixel(TPoint(50, 50)).has_value());
    {
        TScreenDC next; // each session takes the picture anew: the windows may have changed since
        EXPECT_EQ(taken, 2);
    }
    SetScreenOverlayBackdropForTest({});
}

TEST_F(DcTest, BitmapResourcesAreFoundByIdAndMissingOnesAreEmpty)
{
    qm::test::TempDir dir;
    const std::string file = (dir.Path() / "2009.png").string();
    TBitmap glyph(3, 2, RGB(10, 20, 30));
    glyph.SetPixel(2, 1, kRed);
    ASSERT_TRUE(glyph.SavePng(file));
    ClearBitmapResources();
    RegisterBitmapResource(2009, file);
    RegisterBitmapResource(2010, (dir.Path() / "missing.png").string());
    EXPECT_TRUE(HasBitmapResource(2009));
    EXPECT_FALSE(HasBitmapResource(2010)); // registered, but nothing to read
    EXPECT_FALSE(HasBitmapResource(2011)); // never registered
    const TBitmap loaded = LoadBitmapResource(2009);
    EXPECT_EQ(loaded.Size(), TSize(3, 2));
    EXPECT_EQ(loaded.GetPixel(2, 1).Rgb(), kRed);
    EXPECT_TRUE(LoadBitmapResource(2011).IsEmpty());
    EXPECT_EQ(FindBitmapResource(2010), nullptr);
    EXPECT_EQ(FindBitmapResource(2011), nullptr);
    // An image made in memory replaces the file registered under the same id.
    RegisterBitmapResource(2009, TBitmap(5, 4, TColor(kRed)));
    ASSERT_NE(FindBitmapResource(2009), nullptr);
    EXPECT_EQ(FindBitmapResource(2009)->Size(), TSize(5, 4));
    EXPECT_EQ(LoadBitmapResource(2009).GetPixel(4, 3).Rgb(), kRed);
    ClearBitmapResources();
    EXPECT_FALSE(HasBitmapResource(2009));
}

TEST_F(DcTest, StockVariableFontHasATwelvePixelCellAndDiffersFromTheGuiFont)
{
    TMemoryDC dc;
    Blank(dc, 200, 40);
    dc.SelectObject(GetStockFont(ANSI_VAR_FONT));
    const TSize var = dc.GetTextExtent("Hg");
    // The bundled face's integer metrics round a 12-pixel cell to 11 or 12.
    EXPECT_GE(var.cy, 11);
    EXPECT_LE(var.cy, 12);
    dc.SelectObject(GetStockFont(DEFAULT_GUI_FONT));
    EXPECT_EQ(dc.GetFont(), DefaultGuiFont());
    EXPECT_GT(dc.GetTextExtent("Hg").cy, var.cy);
    EXPECT_NE(GetStockFont(ANSI_VAR_FONT), DefaultGuiFont());
}

} // namespace
} // namespace qm::gui
