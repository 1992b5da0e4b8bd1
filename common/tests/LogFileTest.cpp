#include "common/LogFile.h"

#include "common/StringTable.h"
#include "common/tests/LogTestSupport.h"
#include "testsupport/ScopedUmask.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace qm {
namespace {

namespace fs = std::filesystem;
using logtest::Banner;
using logtest::LineTexts;
using logtest::LocalTime;
using logtest::ReadFile;

// A dated rotation: no switch at any of the quiet times, then a switch from the first file to the next at Due.
struct DatedCase {
    const char* Name;
    const char* Rotation;
    time_t Start;
    std::vector<time_t> Quiet;
    time_t Due;
    const char* FirstFile;
    const char* NextFile;
};

class LogFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetStringTable(logtest::kTestStringTable, std::size(logtest::kTestStringTable));
        SetLogLevelSource(&m_level);
        m_clock.Set(LocalTime(2026, 12, 8, 8, 24, 0));
    }

    void TearDown() override
    {
        SetLogLevelSource(nullptr);
        SetStringTable(nullptr, 0);
    }

    // An engine log in the temporary directory without dated rotation.
    std::unique_ptr<LogFile> EngineLog(int sizeLimitKb, const char* fileName = "Quillmail.log")
    {
        return std::make_unique<LogFile>(Dir().c_str(), fileName, "QM", "", sizeLimitKb, m_clock.AsLogClock());
    }

    void CheckDatedSwitch(const DatedCase& c)
    {
        logtest::TempDir dir;
        m_clock.Set(c.Start);
        LogFile log(dir.Path().c_str(), "Quillmail.log", "QM", c.Rotation, 0, m_clock.AsLogClock());
        EXPECT_EQ(fs::path(log.CurrentPath()), dir.Path() / c.FirstFile);
        for (time_t quiet : c.Quiet) {
            m_clock.Set(quiet);
            EXPECT_FALSE(log.CheckRotation()) << "rotated early at " << quiet;
        }
        m_clock.Set(c.Due);
        EXPECT_TRUE(log.CheckRotation());
        EXPECT_EQ(fs::path(log.CurrentPath()), dir.Path() / c.NextFile);
        EXPECT_FALSE(log.CheckRotation()) << "rotated twice";

        const std::vector<std::string> wantFirst = {Banner("starting"), Banner("rotating")};
        EXPECT_EQ(LineTexts(ReadFile(dir.Path() / c.FirstFile)), wantFirst);
        const std::vector<std::string> wantNext = {Banner("starting")};
        EXPECT_EQ(LineTexts(ReadFile(dir.Path() / c.NextFile)), wantNext);
        EXPECT_FALSE(fs::exists(dir.Path() / "Quillmail.log"));
        EXPECT_FALSE(fs::exists(dir.Path() / "LOCKLOG.SEM"));
    }

    const fs::path& Dir() const { return m_dir.Path(); }

    fs::path Marker() const { return Dir() / "LOCKLOG.SEM"; }

    // Pads the file with a raw line of dots up to `size`.
    static void FillTo(LogFile& log, uintmax_t size)
    {
        const uintmax_t now = fs::file_size(log.CurrentPath());
        ASSERT_LE(now + 2, size);
        const std::string padding = std::string(size - now - 2, '.') + "\r\n";
        log.Write(padding.data(), padding.size());
        ASSERT_EQ(fs::file_size(log.CurrentPath()), size);
    }

    logtest::ScopedTimeZone m_zone{"EST5EDT,M3.2.0,M11.1.0"};
    logtest::TempDir m_dir;
    logtest::FakeClock m_clock;
    int m_level = 1;
};

TEST_F(LogFileTest, WritesStampedLinesEndingInCrLf)
{
    {
        auto log = EngineLog(0);
        log->Log(1, "%s", "abc");
        log->Log(1, "%s", "abc\n");
        log->Log(1, "%d items", 3);
        log->LogMsg(1, logtest::kTestMessageNoText);
    }
    const std::string want = "[Tue 2026-12-08 08:24:00] ----- Quillmail Pro 2.2.3 Log file starting -----\r\n"
                             "[Tue 2026-12-08 08:24:00] abc\r\n"
                             "[Tue 2026-12-08 08:24:00] abc\n"
                             "[Tue 2026-12-08 08:24:00] 3 items\r\n"
                             "[Tue 2026-12-08 08:24:00] \r\n"
                             "[Tue 2026-12-08 08:24:00] ----- Quillmail Pro 2.2.3 Log file stopping -----\r\n";
    EXPECT_EQ(ReadFile(Dir() / "Quillmail.log"), want);
}

TEST_F(LogFileTest, WritesOnlyMessagesAtOrAboveTheLevel)
{
    m_level = 3;
    auto log = EngineLog(0);
    log->LogMsg(2, logtest::kTestMessagePlain);
    log->LogMsg(3, logtest::kTestMessageWithArgs, "bob", 2);
    const std::vector<std::string> want = {Banner("starting"), "user bob has 2 messages"};
    EXPECT_EQ(LineTexts(ReadFile(log->CurrentPath())), want);
}

TEST_F(LogFileTest, CutsOverlongTextToTheLine)
{
    auto log = EngineLog(0);
    const uintmax_t before = fs::file_size(log->CurrentPath());
    const std::string longText(2000, 'x');
    log->Log(1, "%s", longText.c_str());
    // An over-long text that ends in LF loses its LF in the cut and gets CR LF like any other.
    log->Log(1, "%s\n", longText.c_str());

    const std::string content = ReadFile(log->CurrentPath()).substr(before);
    const std::string line = "[Tue 2026-12-08 08:24:00] " + std::string(738, 'x') + "\r\n";
    EXPECT_EQ(content, line + line);
}

TEST_F(LogFileTest, ReadsRotationModeInAnyCase)
{
    struct Case {
        const char* Text;
        LogRotation Want;
    };

    const Case cases[] = {
            {"DAILY", LogRotation::Daily},     {"daily", LogRotation::Daily}, {"Weekly", LogRotation::Weekly},
            {"mOnThLy", LogRotation::Monthly}, {"", LogRotation::None},       {nullptr, LogRotation::None},
            {"dailyx", LogRotation::None},     {"day", LogRotation::None},    {"hourly", LogRotation::None},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Text ? c.Text : "(null)");
        EXPECT_EQ(ParseLogRotation(c.Text), c.Want);
    }
}

TEST_F(LogFileTest, SwitchesDatedFilesAtLocalMidnight)
{
    const DatedCase cases[] = {
            {"daily",
             "Daily",
             LocalTime(2026, 12, 8, 8, 24),
             {LocalTime(2026, 12, 8, 23, 59, 59)},
             LocalTime(2026, 12, 9),
             "QM20261208.log",
             "QM20261209.log"},
            {"weekly from a Sunday",
             "WEEKLY",
             LocalTime(2026, 12, 6, 10),
             {LocalTime(2026, 12, 7), LocalTime(2026, 12, 12, 23, 59, 59)},
             LocalTime(2026, 12, 13),
             "QM20261206.log",
             "QM20261213.log"},
            {"weekly from a Tuesday",
             "weekly",
             LocalTime(2026, 12, 8, 8, 24),
             {LocalTime(2026, 12, 12, 23, 59, 59)},
             LocalTime(2026, 12, 13),
             "QM20261208.log",
             "QM20261213.log"},
            {"monthly",
             "Monthly",
             LocalTime(2026, 12, 8, 8, 24),
             {LocalTime(2026, 12, 9), LocalTime(2026, 12, 31, 23, 59, 59)},
             LocalTime(2027, 1, 1),
             "QM20261208.log",
             "QM20270101.log"},
            {"daily over the spring clock change",
             "daily",
             LocalTime(2026, 3, 8, 0, 30),
             {LocalTime(2026, 3, 8, 23, 59, 59)},
             LocalTime(2026, 3, 9),
             "QM20260308.log",
             "QM20260309.log"},
            {"daily over the autumn clock change",
             "daily",
             LocalTime(2026, 11, 1, 0, 30),
             {LocalTime(2026, 11, 1, 23, 59, 59)},
             LocalTime(2026, 11, 2),
             "QM20261101.log",
             "QM20261102.log"},
    };
    for (const DatedCase& c : cases) {
        SCOPED_TRACE(c.Name);
        CheckDatedSwitch(c);
    }
}

TEST_F(LogFileTest, WithoutRotationModeNeverSwitches)
{
    auto log = EngineLog(0);
    m_clock.Set(LocalTime(2027, 6, 1));
    EXPECT_FALSE(log->CheckRotation());
    EXPECT_EQ(fs::path(log->CurrentPath()), Dir() / "Quillmail.log");
}

TEST_F(LogFileTest, RotatesBySizeToOldFile)
{
    {
        std::ofstream older(Dir() / "Quillmail.old", std::ios::binary);
        older << "an earlier log\r\n";
    }
    auto log = EngineLog(1);
    log->Log(1, "%s", "first line");
    FillTo(*log, 1023);
    EXPECT_FALSE(log->CheckRotation()) << "rotated below the limit";
    const std::string full = ReadFile(Dir() / "Quillmail.log") + ".";
    log->Write(".", 1);
    EXPECT_TRUE(log->CheckRotation());

    const std::string old = ReadFile(Dir() / "Quillmail.old");
    const std::string tooLarge = "[Tue 2026-12-08 08:24:00] " + Banner("too large") + "\r\n";
    EXPECT_EQ(old, full + tooLarge);
    const std::vector<std::string> wantNew = {Banner("starting")};
    EXPECT_EQ(LineTexts(ReadFile(Dir() / "Quillmail.log")), wantNew);
    EXPECT_FALSE(fs::exists(Marker()));
    EXPECT_EQ(fs::path(log->CurrentPath()), Dir() / "Quillmail.log");
}

TEST_F(LogFileTest, LogsAreTheOwnersAloneEvenAfterRotation)
{
    // Request lines may carry what users typed: no other local user reads a log, from its first byte on.
    test::ScopedUmask scoped(022);
    auto log = EngineLog(1);
    log->Log(1, "%s", "first line");
    log->Flush();
    EXPECT_EQ(test::ModeOf((Dir() / "Quillmail.log").c_str()), 0600U);
    FillTo(*log, 1024);
    ASSERT_TRUE(log->CheckRotation());
    log->Log(1, "%s", "after rotation");
    log->Flush();
    EXPECT_EQ(test::ModeOf((Dir() / "Quillmail.log").c_str()), 0600U);
    EXPECT_EQ(test::ModeOf((Dir() / "Quillmail.old").c_str()), 0600U);
}

TEST_F(LogFileTest, NamesTheOldFileFromTheLastPathComponent)
{
    struct Case {
        const char* Subdir;
        const char* FileName;
        const char* Rotation;
        const char* OldName;
    };

    const Case cases[] = {
            {"logs.v2", "Quillmail.log", "", "Quillmail.old"},
            {"logs.v2", "Quillmail", "", "Quillmail.old"},
            {"a.b", "x.y.log", "", "x.y.old"},
            {"logs", "Quillmail.log", "daily", "QM20261208.old"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.Subdir) + "/" + c.FileName);
        const fs::path dir = Dir() / c.Subdir;
        fs::create_directories(dir);
        LogFile log(dir.c_str(), c.FileName, "QM", c.Rotation, 1, m_clock.AsLogClock());
        FillTo(log, 1024);
        EXPECT_TRUE(log.CheckRotation());
        EXPECT_TRUE(fs::is_regular_file(dir / c.OldName));
        EXPECT_TRUE(fs::is_directory(dir)) << "the directory was renamed";
        EXPECT_FALSE(fs::exists(dir / "LOCKLOG.SEM"));
    }
}

TEST_F(LogFileTest, SizeIsTheFilesRealSize)
{
    auto log = EngineLog(1);
    // Another writer appends to the same file: this stream's own position knows nothing of it.
    {
        std::ofstream other(Dir() / "Quillmail.log", std::ios::binary | std::ios::app);
        other << std::string(2000, 'o');
    }
    EXPECT_TRUE(log->CheckRotation());
    EXPECT_TRUE(fs::exists(Dir() / "Quillmail.old"));
}

TEST_F(LogFileTest, MarkerExistsOnlyDuringSizeRotation)
{
    auto log = EngineLog(1);
    int calls = 0;
    log->SetSizeRotationHook([&](const fs::path& marker) {
        ++calls;
        EXPECT_EQ(marker, Marker());
        EXPECT_TRUE(fs::exists(marker)) << "no marker during the rotation";
        // The file is still the full one: the reader closes its view before anything moves.
        EXPECT_FALSE(fs::exists(Dir() / "Quillmail.old"));
    });
    FillTo(*log, 2000);
    EXPECT_TRUE(log->CheckRotation());
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(fs::exists(Marker()));
}

TEST_F(LogFileTest, RemovesALeftoverMarker)
{
    auto log = EngineLog(1);
    std::ofstream(Marker()).close();
    EXPECT_FALSE(log->CheckRotation());
    EXPECT_FALSE(fs::exists(Marker()));
}

TEST_F(LogFileTest, AdminServerLogRotatesWithoutTheMarker)
{
    const fs::path path = Dir() / "Portico-admin.log";
    {
        LogFile log(path.c_str(), 1, m_clock.AsLogClock());
        int calls = 0;
        log.SetSizeRotationHook([&](const fs::path& marker) {
            ++calls;
            EXPECT_FALSE(fs::exists(marker)) << "the admin server's log created the marker";
        });
        log.Log(1, "%s", "hello");
        FillTo(log, 1024);
        EXPECT_TRUE(log.CheckRotation());
        EXPECT_EQ(calls, 1);
        EXPECT_FALSE(fs::exists(Marker()));
    }
    const std::vector<std::string> old = LineTexts(ReadFile(Dir() / "Portico-admin.old"));
    ASSERT_EQ(old.size(), 4u);
    EXPECT_EQ(old[0], Banner("starting", kAdminServerLogProductName));
    EXPECT_EQ(old[1], "hello");
    EXPECT_EQ(old[3], Banner("too large", kAdminServerLogProductName));
    const std::vector<std::string> current = {Banner("starting", kAdminServerLogProductName),
                                              Banner("stopping", kAdminServerLogProductName)};
    EXPECT_EQ(LineTexts(ReadFile(path)), current);
}

TEST_F(LogFileTest, AdminServerLogLeavesTheEnginesMarker)
{
    // The engine's marker, should both logs share a directory.
    const fs::path path = Dir() / "Portico-admin.log";
    LogFile log(path.c_str(), 1, m_clock.AsLogClock());
    std::ofstream(Marker()).close();
    EXPECT_FALSE(log.CheckRotation());
    FillTo(log, 1024);
    EXPECT_TRUE(log.CheckRotation());
    EXPECT_TRUE(fs::exists(Marker()));
}

TEST_F(LogFileTest, FailedRenameKeepsLoggingToTheSameFile)
{
    // A non-empty directory where the old file would go can be neither deleted nor replaced.
    fs::create_directories(Dir() / "Quillmail.old" / "keep");
    auto log = EngineLog(1);
    log->Log(1, "%s", "before");
    FillTo(*log, 1024);
    EXPECT_TRUE(log->CheckRotation());
    log->Log(1, "%s", "after");

    const std::vector<std::string> lines = LineTexts(ReadFile(Dir() / "Quillmail.log"));
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], Banner("starting"));
    EXPECT_EQ(lines[1], "before");
    EXPECT_EQ(lines[3], Banner("too large"));
    EXPECT_EQ(lines[4], Banner("starting"));
    EXPECT_EQ(lines[5], "after");
    EXPECT_TRUE(fs::is_directory(Dir() / "Quillmail.old" / "keep"));
    EXPECT_FALSE(fs::exists(Marker()));
}

TEST_F(LogFileTest, UnopenableLogDropsLinesAndRetries)
{
    const fs::path dir = Dir() / "later";
    LogFile log(dir.c_str(), "Quillmail.log", "QM", "", 1, m_clock.AsLogClock());
    log.Log(1, "%s", "lost");
    log.Write("lost too\r\n", 10);
    log.Flush();
    EXPECT_FALSE(log.CheckRotation());
    EXPECT_FALSE(fs::exists(dir));

    fs::create_directory(dir);
    log.Log(1, "%s", "kept");
    const std::vector<std::string> want = {Banner("starting"), "kept"};
    EXPECT_EQ(LineTexts(ReadFile(dir / "Quillmail.log")), want);
}

TEST_F(LogFileTest, ReopensWithAStartingBanner)
{
    auto log = EngineLog(0);
    EXPECT_TRUE(log->Open());
    log->Log(1, "%s", "x");
    const std::vector<std::string> want = {Banner("starting"), Banner("starting"), "x"};
    EXPECT_EQ(LineTexts(ReadFile(log->CurrentPath())), want);
}

// Checks that every line is whole ("T<thread> L<line> <payload>" or a banner) and returns the lines of each
// thread in file order.
std::vector<std::vector<int>> CollectThreadLines(const std::vector<std::string>& texts, int threads)
{
    std::vector<std::vector<int>> seen(threads);
    for (const std::string& text : texts) {
        if (text.rfind("----- Quillmail Pro 2.2.3 Log file ", 0) == 0) {
            continue;
        }
        int thread = -1;
        int line = -1;
        int payload = -1;
        const int fields = std::sscanf(text.c_str(), "T%d L%d %n", &thread, &line, &payload);
        if (fields != 2 || thread < 0 || thread >= threads || payload < 0) {
            ADD_FAILURE() << "broken line: " << text;
            return seen;
        }
        const std::string body = text.substr(static_cast<size_t>(payload));
        const std::string want(static_cast<size_t>(line % 50), static_cast<char>('a' + thread));
        if (body != want) {
            ADD_FAILURE() << "mixed line: " << text;
            return seen;
        }
        seen[thread].push_back(line);
    }
    return seen;
}

TEST_F(LogFileTest, ConcurrentLinesStayWhole)
{
    constexpr int kThreads = 8;
    constexpr int kLines = 1000;
    auto log = EngineLog(0);
    std::vector<std::thread> threads;
    threads.reserve(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&log, t] {
            for (int i = 0; i < kLines; ++i) {
                const std::string payload(static_cast<size_t>(i % 50), static_cast<char>('a' + t));
                log->Log(1, "T%d L%d %s", t, i, payload.c_str());
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    const std::vector<std::vector<int>> seen = CollectThreadLines(LineTexts(ReadFile(log->CurrentPath())), kThreads);
    for (int t = 0; t < kThreads; ++t) {
        SCOPED_TRACE("thread " + std::to_string(t));
        ASSERT_EQ(seen[t].size(), static_cast<size_t>(kLines));
        for (int i = 0; i < kLines; ++i) {
            ASSERT_EQ(seen[t][i], i) << "lines out of order";
        }
    }
}

TEST_F(LogFileTest, RotatesUnderLoadWithoutBreakingLines)
{
    constexpr int kThreads = 8;
    constexpr int kLines = 1000;
    // Daily rotation and a small size limit: the checker both switches dates and rotates by size.
    LogFile log(Dir().c_str(), "Quillmail.log", "QM", "daily", 16, m_clock.AsLogClock());
    std::atomic<bool> done{false};
    std::atomic<int> rotations{0};
    std::thread checker([&] {
        while (!done.load()) {
            if (log.CheckRotation()) {
                rotations.fetch_add(1);
            }
            m_clock.Advance(3600);
        }
    });
    std::vector<std::thread> threads;
    threads.reserve(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&log, t] {
            for (int i = 0; i < kLines; ++i) {
                const std::string payload(static_cast<size_t>(i % 50), static_cast<char>('a' + t));
                log.Log(1, "T%d L%d %s", t, i, payload.c_str());
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    done.store(true);
    checker.join();

    EXPECT_GT(rotations.load(), 0);
    for (const fs::directory_entry& entry : fs::directory_iterator(Dir())) {
        SCOPED_TRACE(entry.path().filename().string());
        EXPECT_NE(entry.path().filename(), "LOCKLOG.SEM");
        CollectThreadLines(LineTexts(ReadFile(entry.path())), kThreads);
    }
}

} // namespace
} // namespace qm
