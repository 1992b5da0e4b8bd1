// The demo program on an X display of its own (Xvfb, no window manager), driven with xdotool and read from
// pictures of the whole screen: a bar's drag leaves the main window's pixels as they were, the docked bar's row
// is drawn while a menu is open, and SIGTERM ends the program in order.
#include "platform/ChildProcess.h"
#include "testsupport/TempDir.h"
#include "testsupport/WaitUntil.h"

#include <QColor>
#include <QImage>
#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

using qm::ChildOptions;
using qm::ChildProcess;
using qm::ChildStdio;

// A program on PATH, or nothing.
std::optional<std::string> FindProgram(const std::string& name)
{
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const std::string candidate = dir + "/" + name;
        if (!dir.empty() && ::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return std::nullopt;
}

class DemoScreenTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char* tool : {"Xvfb", "xdotool", "import"}) {
            auto found = FindProgram(tool);
            if (!found) {
                GTEST_SKIP() << tool << " is missing (scripts/deps installs xvfb, xdotool and imagemagick)";
            }
            m_tools[tool] = *found;
        }
        StartDisplay();
        if (m_display.empty()) {
            return;
        }
        ChildOptions demo;
        demo.Argv = {QM_GUI_DEMO};
        demo.Environment = Environment();
        demo.Environment.push_back("QT_QPA_PLATFORM=xcb");
        demo.Stderr = ChildStdio::File((m_dir.Path() / "demo.log").string());
        auto started = ChildProcess::Start(demo);
        ASSERT_TRUE(started.has_value()) << "the demo did not start";
        m_demo.emplace(std::move(*started));
    }

    void TearDown() override
    {
        // Both are ended whatever happened: the demo first, while its display is still there.
        if (m_demo) {
            (void)m_demo->Kill();
        }
        if (m_xvfb) {
            (void)m_xvfb->Kill();
        }
    }

    void StartDisplay()
    {
        // Xvfb picks a free display and writes its number to the descriptor given.
        ChildOptions x;
        x.Argv = {m_tools["Xvfb"], "-displayfd", "1", "-screen", "0", "1280x900x24", "-nolisten", "tcp"};
        x.Environment = {"PATH=/usr/bin:/bin"};
        x.Stdout = ChildStdio::Pipe();
        x.Stderr = ChildStdio::File((m_dir.Path() / "xvfb.log").string());
        auto started = ChildProcess::Start(x);
        ASSERT_TRUE(started.has_value()) << "Xvfb did not start";
        m_xvfb.emplace(std::move(*started));
        std::string number;
        const bool read = qm::test::WaitUntil([&] {
            pollfd p{m_xvfb->StdoutFd(), POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) {
                return false;
            }
            char c = 0;
            while (::read(m_xvfb->StdoutFd(), &c, 1) == 1) {
                if (c == '\n') {
                    return !number.empty();
                }
                number += c;
            }
            return false;
        });
        ASSERT_TRUE(read) << "Xvfb named no display: " << qm::test::ReadBytes(m_dir.Path() / "xvfb.log");
        m_display = ":" + number;
    }

    std::vector<std::string> Environment() const
    {
        std::vector<std::string> env = {"DISPLAY=" + m_display, "PATH=/usr/bin:/bin"};
        // The system's message bus library keeps a buffer to the end, which the leak check would count as the
        // demo's: that one library is left out of the check.
        const std::string suppressions = (m_dir.Path() / "lsan.supp").string();
        qm::test::WriteBytes(suppressions, "leak:libdbus-1.so\n");
        env.push_back("LSAN_OPTIONS=suppressions=" + suppressions);
        for (const char* keep : {"HOME", "UBSAN_OPTIONS"}) {
            if (const char* v = std::getenv(keep)) {
                env.push_back(std::string(keep) + "=" + v);
            }
        }
        // The X keyboard library calls strndup on a keymap name that is not NUL-terminated, which is sound with its
        // bound but which strict string checks report as an overflow: they stay off for the demo alone.
        const char* asan = std::getenv("ASAN_OPTIONS");
        env.push_back(std::string("ASAN_OPTIONS=") + (asan != nullptr ? std::string(asan) + ":" : std::string()) +
                      "strict_string_checks=0");
        return env;
    }

    bool Run(const std::string& tool, std::vector<std::string> args)
    {
        ChildOptions o;
        o.Argv = {m_tools[tool]};
        o.Argv.insert(o.Argv.end(), args.begin(), args.end());
        o.Environment = Environment();
        auto status = ChildProcess::Run(o, 20000);
        return status.has_value() && status->ExitedWith(0);
    }

    QImage Screen()
    {
        const std::string file = (m_dir.Path() / "screen.png").string();
        std::filesystem::remove(file);
        if (!Run("import", {"-window", "root", file})) {
            return {};
        }
        return QImage(QString::fromStdString(file)).convertToFormat(QImage::Format_RGB32);
    }

    // Waits for a picture of the screen that satisfies want; the last picture taken is kept in m_last.
    bool WaitForScreen(const std::function<bool(const QImage&)>& want,
                       qm::test::TestClock::duration budget = qm::test::kPatience)
    {
        return qm::test::WaitUntil(
                [&] {
                    m_last = Screen();
                    return !m_last.isNull() && want(m_last);
                },
                budget);
    }

    static bool HasColour(const QImage& image, const QRect& area, QRgb colour)
    {
        const QRect r = area & image.rect();
        for (int y = r.top(); y <= r.bottom(); ++y) {
            for (int x = r.left(); x <= r.right(); ++x) {
                if ((image.pixel(x, y) & 0xFFFFFF) == (colour & 0xFFFFFF)) {
                    return true;
                }
            }
        }
        return false;
    }

    // How many pixels of area differ between two pictures.
    static int Differences(const QImage& a, const QImage& b, const QRect& area)
    {
        int n = 0;
        for (int y = area.top(); y <= area.bottom(); ++y) {
            for (int x = area.left(); x <= area.right(); ++x) {
                n += a.pixel(x, y) != b.pixel(x, y) ? 1 : 0;
            }
        }
        return n;
    }

    void SavePicture(const std::string& name) const
    {
#ifdef QM_GUI_SHOT_DIR
        std::filesystem::create_directories(QM_GUI_SHOT_DIR);
        m_last.save(QString::fromStdString(std::string(QM_GUI_SHOT_DIR) + "/" + name + ".png"));
#else
        (void)name;
#endif
    }

    qm::test::TempDir m_dir{"qm-gui-screen"};
    std::map<std::string, std::string> m_tools;
    std::string m_display;
    std::optional<ChildProcess> m_xvfb;
    std::optional<ChildProcess> m_demo;
    QImage m_last;
};

// The demo's glyph colours: the docked bar's first button, the About item's glyph, the second bar's buttons.
constexpr QRgb kNewGlyph = qRgb(0, 0, 200);
constexpr QRgb kAboutGlyph = qRgb(200, 150, 0);
constexpr QRgb kToolsGlyph = qRgb(120, 0, 160);
// Parts of the main window (640 x 420 at the screen's top-left: no window manager moves it).
const QRect kBarRow(0, 20, 31, 26); // left of where the Help menu opens
const QRect kMenuBar(0, 0, 640, 18);
const QRect kStatusBar(0, 400, 640, 20);

TEST_F(DemoScreenTest, BarsRowIsDrawnUnderAnOpenMenuAndTheWindowIsBackAfterADrag)
{
    ASSERT_FALSE(m_display.empty());
    // The sanitized demo starts slowly while the whole suite runs beside it: its first window gets a longer budget.
    const bool shown = WaitForScreen(
            [](const QImage& s) {
                return HasColour(s, kBarRow, kNewGlyph) && HasColour(s, QRect(280, 280, 120, 120), kToolsGlyph);
            },
            4 * qm::test::kPatience);
    if (!shown) {
        SavePicture("demo-screen-never-shown");
    }
    ASSERT_TRUE(shown) << "the demo's window never showed its bars; its log:\n"
                       << qm::test::ReadBytes(m_dir.Path() / "demo.log");
    SavePicture("demo-screen-start");
    const QImage before = m_last;

    // The Help menu opens under its title; the bar's row beside it stays drawn.
    ASSERT_TRUE(Run("xdotool", {"mousemove", "48", "9", "click", "1"}));
    EXPECT_TRUE(WaitForScreen([](const QImage& s) { return HasColour(s, QRect(31, 19, 150, 40), kAboutGlyph); }))
            << "the Help menu did not open";
    SavePicture("demo-screen-menu");
    EXPECT_TRUE(HasColour(m_last, kBarRow, kNewGlyph)) << "the docked bar's row is blank under the open menu";
    // The status bar stays drawn: its "offline" part is as it was (its text part shows the menu's hint, empty
    // while only a pop-up's title is chosen).
    EXPECT_EQ(Differences(m_last, before, QRect(584, 401, 56, 18)), 0) << "the status bar's part is not drawn";
    ASSERT_TRUE(Run("xdotool", {"mousemove", "800", "600"}));
    // Escape closes the pop-up, then leaves the menu bar; each picture that still shows the menu gets one more.
    // Where the menu was (left of the edit, whose caret blinks) the window is as it was.
    const QRect underMenu(0, 0, 250, 200);
    const bool closed = WaitForScreen([&](const QImage& s) {
        if (Differences(s, before, underMenu) == 0) {
            return true;
        }
        (void)Run("xdotool", {"key", "Escape"});
        return false;
    });
    SavePicture("demo-screen-menu-closed");
    ASSERT_TRUE(closed) << "the menu left pixels behind: " << Differences(m_last, before, underMenu);

    // The bar is dragged by its grip and dropped low on the screen, where it floats.
    ASSERT_TRUE(Run("xdotool", {"mousemove", "5", "35", "mousedown", "1"}));
    ASSERT_TRUE(Run("xdotool", {"mousemove", "200", "500"}));
    ASSERT_TRUE(Run("xdotool", {"mousemove", "300", "650", "mouseup", "1"}));
    EXPECT_TRUE(WaitForScreen([](const QImage& s) {
        return HasColour(s, QRect(250, 600, 200, 200), kNewGlyph) && !HasColour(s, kBarRow, kNewGlyph);
    })) << "the bar did not float where it was dropped";
    SavePicture("demo-screen-dropped");
    // The main window's pixels are back: its menu bar, status bar and the floating second bar are as they were
    // (the bar's row is gone and the client moved up into it, so the rest differs by design).
    EXPECT_EQ(Differences(m_last, before, kMenuBar), 0) << "the menu bar is not back after the drop";
    EXPECT_EQ(Differences(m_last, before, kStatusBar), 0) << "the status bar is not back after the drop";
    EXPECT_EQ(Differences(m_last, before, QRect(300, 300, 40, 60)), 0) << "the second bar is not back";
    // Nothing over the screen: away from the windows the screen is Xvfb's own black.
    EXPECT_FALSE(HasColour(m_last, QRect(700, 0, 500, 500), qRgb(192, 192, 192)));

    // A stop request ends the program in order: it closes its window and exits with 0.
    const auto ended = m_demo->Kill(20000);
    ASSERT_TRUE(ended.has_value());
    EXPECT_TRUE(ended->ExitedWith(0)) << "the demo did not end by itself on SIGTERM: "
                                      << qm::test::ReadBytes(m_dir.Path() / "demo.log");
    m_demo.reset();
}

} // namespace
