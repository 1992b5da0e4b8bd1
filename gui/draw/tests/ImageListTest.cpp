// Image lists and icons: cutting strips, masks, the 16 colours, the background under masked pixels, icons by id.
#include "gui/draw/ImageList.h"

#include "gui/draw/Dc.h"
#include "gui/draw/Icon.h"
#include "gui/draw/tests/GuiTestApp.h"
#include "testsupport/TempDir.h"

#include <QImage>
#include <gtest/gtest.h>

#include <string>

namespace qm::gui {
namespace {

constexpr COLORREF kGrey = RGB(192, 192, 192);
constexpr COLORREF kWhite = RGB(255, 255, 255);
constexpr COLORREF kFace = RGB(10, 200, 30);

class ImageListTest : public ::testing::Test {
protected:
    void SetUp() override { test::GuiTestApp(); }

    void TearDown() override { ClearIconResources(); }

    // A strip of 18 x 17 cells on the mask grey: cell i has one dark-red pixel at (i, i), which a 4-bit list
    // keeps as maroon.
    static TBitmap Strip(int cells)
    {
        TBitmap strip(18 * cells, 17, TColor(kGrey));
        for (int i = 0; i < cells; ++i) {
            strip.SetPixel(18 * i + i, i, TColor(RGB(120, 10, 5)));
        }
        return strip;
    }

    static TBitmap Drawn(const TImageList& list, int index, unsigned style, COLORREF ground = kWhite)
    {
        TMemoryDC dc;
        dc.SelectBitmap(TBitmap(20, 20, TColor(ground)));
        EXPECT_TRUE(list.Draw(index, dc, TPoint(1, 1), style));
        return dc.GetBitmap();
    }
};

TEST_F(ImageListTest, AStripBecomesOneImagePerCellWithItsMaskAndSixteenColours)
{
    TImageList list(TSize(18, 17), ILC_COLOR4 | ILC_MASK, 0, 1);
    EXPECT_EQ(list.Add(Strip(3), TColor(kGrey)), 0);
    EXPECT_EQ(list.Add(Strip(1), TColor(kGrey)), 3);
    ASSERT_EQ(list.GetImageCount(), 4);

    // No background colour: the grey is transparent and the ground shows; the ink is kept as maroon.
    const TBitmap plain = Drawn(list, 2, ILD_NORMAL);
    EXPECT_EQ(plain.GetPixel(3, 3).Rgb(), RGB(128, 0, 0));
    EXPECT_EQ(plain.GetPixel(1, 1).Rgb(), kWhite);
    EXPECT_EQ(plain.GetPixel(19, 18).Rgb(), kWhite); // outside the cell

    // With a background colour the masked pixels take it, unless drawn transparent.
    EXPECT_FALSE(list.SetBkColor(TColor(kFace)).has_value());
    const TBitmap filled = Drawn(list, 2, ILD_NORMAL);
    EXPECT_EQ(filled.GetPixel(1, 1).Rgb(), kFace);
    EXPECT_EQ(filled.GetPixel(18, 17).Rgb(), kFace); // the cell's last pixel
    EXPECT_EQ(filled.GetPixel(19, 17).Rgb(), kWhite);
    EXPECT_EQ(Drawn(list, 2, ILD_TRANSPARENT).GetPixel(1, 1).Rgb(), kWhite);

    TMemoryDC dc;
    EXPECT_FALSE(list.Draw(4, dc, TPoint(0, 0)));
    EXPECT_FALSE(list.Draw(-1, dc, TPoint(0, 0)));
}

TEST_F(ImageListTest, WithoutAMaskEveryPixelIsDrawnAndFullColourIsKept)
{
    TImageList list(TSize(18, 17), ILC_COLOR24, 5, 5);
    ASSERT_EQ(list.Add(Strip(1), TColor(kGrey)), 0);
    const TBitmap drawn = Drawn(list, 0, ILD_TRANSPARENT);
    EXPECT_EQ(drawn.GetPixel(1, 1).Rgb(), RGB(120, 10, 5));
    EXPECT_EQ(drawn.GetPixel(2, 2).Rgb(), kGrey);
}

TEST_F(ImageListTest, BitmapsSmallerThanOneImageAreRefused)
{
    TImageList list(TSize(18, 17), ILC_COLOR4 | ILC_MASK);
    EXPECT_EQ(list.Add(TBitmap()), -1);
    EXPECT_EQ(list.Add(TBitmap(17, 17)), -1);
    EXPECT_EQ(list.Add(TBitmap(18, 16)), -1);
    EXPECT_EQ(list.AddIcon(TIcon()), -1);
    EXPECT_EQ(list.GetImageCount(), 0);
}

TEST_F(ImageListTest, IconsByIdAreScaledAndKeepTheirTransparentPixels)
{
    qm::test::TempDir dir("qm-icons");
    // 32 x 32: transparent except an opaque blue left half with a red top-left quarter.
    QImage image(32, 32, QImage::Format_ARGB32);
    image.fill(qRgba(0, 0, 0, 0));
    for (int y = 0; y < 32; ++y) {
        for (int x = 0; x < 16; ++x) {
            image.setPixel(x, y, (x < 8 && y < 8) ? qRgba(255, 0, 0, 255) : qRgba(0, 0, 255, 255));
        }
    }
    const std::string path = (dir.Path() / "141.png").string();
    ASSERT_TRUE(image.save(QString::fromStdString(path), "PNG"));
    RegisterIconResource(141, path);
    RegisterIconResource(142, (dir.Path() / "missing.ico").string());

    EXPECT_TRUE(HasIconResource(141));
    EXPECT_FALSE(HasIconResource(142));
    EXPECT_FALSE(HasIconResource(143));
    EXPECT_TRUE(LoadIconResource(143).IsEmpty());

    const TIcon small = LoadIconResource(141, kSmallIconSize);
    ASSERT_EQ(small.Size(), kSmallIconSize);
    EXPECT_EQ(small.Color().GetPixel(3, 3).Rgb(), RGB(255, 0, 0));
    EXPECT_EQ(small.Color().GetPixel(5, 10).Rgb(), RGB(0, 0, 255));
    EXPECT_FALSE(small.IsTransparent(7, 15));
    EXPECT_TRUE(small.IsTransparent(8, 0));

    TImageList list(kSmallIconSize, ILC_COLOR32 | ILC_MASK, 1, 1);
    EXPECT_EQ(list.AddIcon(LoadIconResource(141)), 0); // 32 x 32 scaled down on the way in
    TMemoryDC dc;
    dc.SelectBitmap(TBitmap(16, 16, TColor(kWhite)));
    ASSERT_TRUE(list.Draw(0, dc, TPoint(0, 0)));
    EXPECT_EQ(dc.GetPixel(3, 3).Rgb(), RGB(255, 0, 0));
    EXPECT_EQ(dc.GetPixel(12, 12).Rgb(), kWhite);

    TMemoryDC iconDc;
    iconDc.SelectBitmap(TBitmap(40, 40, TColor(kWhite)));
    DrawIcon(iconDc, TPoint(4, 4), LoadIconResource(141));
    EXPECT_EQ(iconDc.GetPixel(4, 4).Rgb(), RGB(255, 0, 0));
    EXPECT_EQ(iconDc.GetPixel(4 + 20, 4).Rgb(), kWhite);
}

} // namespace
} // namespace qm::gui
