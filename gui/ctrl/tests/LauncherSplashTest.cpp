// A program without a message loop (the launcher): its splash shows status texts painted by a synchronous
// update, and its pauses keep the window alive.
#include "gui/ctrl/CommonDialogs.h"
#include "gui/draw/Dc.h"
#include "gui/draw/tests/GuiTestApp.h"
#include "gui/window/PumpingWait.h"
#include "gui/window/WindowWidget.h"
#include "testsupport/TempDir.h"

#include <QElapsedTimer>
#include <QImage>
#include <gtest/gtest.h>

#include <string>

namespace qm::gui {
namespace {

using namespace std::chrono_literals;

const QRgb kBlue = qRgb(10, 20, 200);

// The launcher's splash: the picture with one status line at (10, 175) over it.
class TStatusSplash : public TSplashWindow {
public:
    using TSplashWindow::TSplashWindow;

    int Paints = 0;
    std::string Status;

    void SetStatusText(std::string_view text, bool update = true)
    {
        Status = text;
        Invalidate(false);
        if (update) {
            UpdateWindow();
        }
    }

    void Paint(TDC& dc, bool erase, TRect& rect) override
    {
        ++Paints;
        TSplashWindow::Paint(dc, erase, rect);
        dc.SetBkMode(TRANSPARENT);
        dc.SetTextColor(TColor(0, 0, 0));
        dc.TextOut(TPoint(10, 175), Status);
    }
};

// Pixels of the status line's area that are not the picture's blue.
int TextPixels(TWindow& window)
{
    auto* widget = dynamic_cast<TWindowWidget*>(WidgetOf(window));
    if (widget == nullptr) {
        return -1;
    }
    const QImage& image = widget->Image();
    int count = 0;
    for (int y = 170; y < 195; ++y) {
        for (int x = 0; x < 200; ++x) {
            count += (image.pixel(x, y) & 0xFFFFFF) != (kBlue & 0xFFFFFF) ? 1 : 0;
        }
    }
    return count;
}

TEST(LauncherSplashTest, StatusTextsArePaintedAtOnceAndStayUntilTheSplashIsDestroyed)
{
    test::GuiTestApp();
    qm::test::TempDir dir;
    const std::string path = (dir.Path() / "Splash.bmp").string();
    QImage picture(320, 200, QImage::Format_RGB32);
    picture.fill(kBlue);
    ASSERT_TRUE(picture.save(QString::fromStdString(path), "BMP"));

    TStatusSplash splash(nullptr, path, 0);
    ASSERT_TRUE(splash.Create());
    EXPECT_EQ(splash.ShownSize(), TSize(320, 200));

    // No event is handled between these steps: the update paints each text by itself.
    splash.SetStatusText("Initializing...");
    const int initializing = TextPixels(splash);
    EXPECT_GT(initializing, 20);
    splash.SetStatusText("");
    EXPECT_EQ(TextPixels(splash), 0); // the picture is redrawn under the text
    splash.SetStatusText("Error starting Quillmail!", false);
    EXPECT_EQ(TextPixels(splash), 0); // invalid, not painted yet
    splash.UpdateWindow();
    EXPECT_GT(TextPixels(splash), initializing);

    // The pause handles the window's events for its whole length, and a splash without a time stays.
    splash.Invalidate(false);
    const int paintsBefore = splash.Paints;
    QElapsedTimer clock;
    clock.start();
    WaitPumping(150ms);
    EXPECT_GE(clock.elapsed(), 150);
    EXPECT_GT(splash.Paints, paintsBefore);
    EXPECT_TRUE(splash.HasWindow());
    EXPECT_TRUE(splash.IsWindowVisible());
    splash.Destroy();
    EXPECT_FALSE(splash.HasWindow());
}

TEST(LauncherSplashTest, WithoutThePictureNoWindowIsMadeAndPausesStillLast)
{
    test::GuiTestApp();
    qm::test::TempDir dir;
    TStatusSplash splash(nullptr, (dir.Path() / "Splash.bmp").string(), 0);
    EXPECT_FALSE(splash.Create());
    // Status texts have nowhere to go and are drawn nowhere.
    splash.SetStatusText("Starting Quillmail service...");
    EXPECT_EQ(splash.Paints, 0);
    QElapsedTimer clock;
    clock.start();
    WaitPumping(50ms);
    EXPECT_GE(clock.elapsed(), 50);
}

} // namespace
} // namespace qm::gui
