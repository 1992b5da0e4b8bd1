#include "common/RequestLog.h"

#include "common/LogFile.h"
#include "common/StringTable.h"
#include "common/tests/LogTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace qm {
namespace {

namespace fs = std::filesystem;
using logtest::LineTexts;
using logtest::ReadFile;

class RequestLogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetStringTable(logtest::kTestStringTable, std::size(logtest::kTestStringTable));
        SetLogLevelSource(&m_level);
        m_clock.Set(logtest::LocalTime(2026, 12, 8, 8, 24, 0));
        m_log = std::make_unique<LogFile>(m_dir.Path().c_str(), "Quillmail.log", "QM", "", 0, m_clock.AsLogClock());
        m_start = ReadFile(Path()).size();
    }

    void TearDown() override
    {
        m_log.reset();
        SetLogLevelSource(nullptr);
        SetStringTable(nullptr, 0);
    }

    fs::path Path() const { return m_dir.Path() / "Quillmail.log"; }

    // What reached the file after the "starting" banner.
    std::string Written() const { return ReadFile(Path()).substr(m_start); }

    logtest::ScopedTimeZone m_zone{"EST5EDT,M3.2.0,M11.1.0"};
    logtest::TempDir m_dir;
    logtest::FakeClock m_clock;
    int m_level = 1;
    std::unique_ptr<LogFile> m_log;
    size_t m_start = 0;
};

TEST_F(RequestLogTest, HoldsLinesUntilFlushAboveLevelOne)
{
    m_level = 2;
    {
        RequestLog request(*m_log);
        request.SetPrefix("ABCDEFG");
        request.Log(2, "%s", "one");
        request.LogMsg(3, logtest::kTestMessageWithArgs, "bob", 4);
        request.Log(1, "%s", "below the level");
        request.Write("raw\r\n", 5);
        EXPECT_EQ(Written(), "") << "lines reached the file before Flush";

        request.Flush();
        EXPECT_EQ(Written(), "[Tue 2026-12-08 08:24:00] [ABCDEFG] one\r\n"
                             "[Tue 2026-12-08 08:24:00] [ABCDEFG] user bob has 4 messages\r\n"
                             "raw\r\n");
        request.Log(2, "%s", "two\n");
        request.Flush();
        request.Log(2, "%s", "at the end");
        EXPECT_EQ(LineTexts(Written()).back(), "[ABCDEFG] two");
    }
    EXPECT_EQ(LineTexts(Written()).back(), "[ABCDEFG] at the end") << "the destructor did not flush";
}

TEST_F(RequestLogTest, WritesEachLineAtOnceAtLevelOne)
{
    RequestLog request(*m_log);
    request.SetPrefix("S");
    request.Log(1, "%s", "abc");
    EXPECT_EQ(Written(), "[Tue 2026-12-08 08:24:00] [S] abc\r\n");
    request.Log(1, "%s", "abc\n");
    request.Write("raw", 3);
    EXPECT_EQ(Written(), "[Tue 2026-12-08 08:24:00] [S] abc\r\n"
                         "[Tue 2026-12-08 08:24:00] [S] abc\n"
                         "raw");
}

TEST_F(RequestLogTest, CutsThePrefixNotTheText)
{
    struct Case {
        std::string Text;
        std::string Want;
    };

    const Case cases[] = {
            {"ABCDEFG", "[ABCDEFG] msg"},
            {std::string(60, 'p'), "[" + std::string(60, 'p') + "] msg"},
            {std::string(61, 'p'), "[" + std::string(61, 'p') + "]msg"},
            {std::string(100, 'p'), "[" + std::string(62, 'p') + "msg"},
            {"", "msg"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Text);
        RequestLog request(*m_log);
        request.SetPrefix("earlier");
        request.SetPrefix(c.Text.c_str());
        request.Log(1, "%s", "msg");
        EXPECT_EQ(LineTexts(Written()).back(), c.Want);
    }
    RequestLog request(*m_log);
    request.SetPrefix("earlier");
    request.SetPrefix(nullptr);
    request.Log(1, "%s", "cleared");
    EXPECT_EQ(LineTexts(Written()).back(), "cleared");
}

TEST_F(RequestLogTest, CutsOverlongTextToTheLine)
{
    RequestLog request(*m_log);
    request.SetPrefix("S");
    const std::string longText(2000, 'x');
    request.Log(1, "%s", longText.c_str());
    EXPECT_EQ(Written(), "[Tue 2026-12-08 08:24:00] [S] " + std::string(766, 'x') + "\r\n");
}

TEST_F(RequestLogTest, GrowsForManyLinesAndLargeWrites)
{
    m_level = 2;
    std::string want;
    {
        RequestLog request(*m_log);
        for (int i = 0; i < 100; ++i) {
            const std::string text = std::to_string(i) + std::string(700, static_cast<char>('a' + i % 26));
            request.Log(2, "%s", text.c_str());
            want += "[Tue 2026-12-08 08:24:00] " + text + "\r\n";
        }
        const std::string raw(10000, 'r');
        request.Write(raw.data(), raw.size());
        want += raw;
        request.Log(2, "%s", "last");
        want += "[Tue 2026-12-08 08:24:00] last\r\n";
        EXPECT_EQ(Written(), "");
    }
    EXPECT_EQ(Written(), want);
}

// Checks that every line reads "[T<thread>] L<line> <payload>" and returns the thread of each line in file order.
std::vector<int> ThreadsInOrder(const std::vector<std::string>& texts, int threads, std::vector<int>& counts)
{
    std::vector<int> order;
    counts.assign(threads, 0);
    for (const std::string& text : texts) {
        if (text.rfind("----- Quillmail Pro 2.2.3 Log file ", 0) == 0) {
            continue;
        }
        int thread = -1;
        int line = -1;
        int payload = -1;
        if (std::sscanf(text.c_str(), "[T%d] L%d %n", &thread, &line, &payload) != 2 || thread < 0 ||
            thread >= threads || payload < 0 ||
            text.substr(static_cast<size_t>(payload)) !=
                    std::string(static_cast<size_t>(line % 40), static_cast<char>('a' + thread))) {
            ADD_FAILURE() << "broken line: " << text;
            return order;
        }
        if (line != counts[thread]) {
            ADD_FAILURE() << "thread " << thread << ": got line " << line << ", want " << counts[thread];
            return order;
        }
        ++counts[thread];
        order.push_back(thread);
    }
    return order;
}

void LogLines(RequestLog& request, int thread, int lines)
{
    for (int i = 0; i < lines; ++i) {
        const std::string payload(static_cast<size_t>(i % 40), static_cast<char>('a' + thread));
        request.Log(2, "L%d %s", i, payload.c_str());
    }
}

TEST_F(RequestLogTest, ConcurrentRequestsWriteTheirLinesTogether)
{
    constexpr int kThreads = 8;
    constexpr int kLines = 1000;
    m_level = 2;
    std::vector<std::thread> threads;
    threads.reserve(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this, t] {
            RequestLog request(*m_log);
            request.SetPrefix(("T" + std::to_string(t)).c_str());
            LogLines(request, t, kLines);
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    std::vector<int> counts;
    const std::vector<int> order = ThreadsInOrder(LineTexts(Written()), kThreads, counts);
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(counts[t], kLines) << "thread " << t;
    }
    // Each request's lines form one run in the file.
    int runs = 0;
    for (size_t i = 0; i < order.size(); ++i) {
        runs += (i == 0 || order[i] != order[i - 1]) ? 1 : 0;
    }
    EXPECT_EQ(runs, kThreads);
}

TEST_F(RequestLogTest, SharedRequestLogAtLevelOneWithRotationDoesNotDeadlock)
{
    constexpr int kThreads = 8;
    constexpr int kLines = 1000;
    LogFile log(m_dir.Path().c_str(), "Shared.log", "QM", "", 8, m_clock.AsLogClock());
    std::vector<std::unique_ptr<RequestLog>> requests;
    for (int t = 0; t < kThreads; ++t) {
        requests.push_back(std::make_unique<RequestLog>(log));
        requests.back()->SetPrefix(("T" + std::to_string(t)).c_str());
    }
    std::atomic<bool> done{false};
    std::thread checker([&] {
        while (!done.load()) {
            log.CheckRotation();
        }
    });
    // Each thread logs through its own RequestLog, and also flushes its neighbour's, crossing the locks.
    std::vector<std::thread> threads;
    threads.reserve(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&requests, t] {
            for (int i = 0; i < kLines; ++i) {
                const std::string payload(static_cast<size_t>(i % 40), static_cast<char>('a' + t));
                requests[t]->Log(1, "L%d %s", i, payload.c_str());
                requests[(t + 1) % kThreads]->Flush();
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    done.store(true);
    checker.join();
    requests.clear();

    EXPECT_TRUE(fs::exists(m_dir.Path() / "Shared.old")) << "no size rotation happened";
    for (const char* name : {"Shared.old", "Shared.log"}) {
        SCOPED_TRACE(name);
        for (const std::string& text : LineTexts(ReadFile(m_dir.Path() / name))) {
            int thread = -1;
            int line = -1;
            int payload = -1;
            const bool banner = text.rfind("----- Quillmail Pro 2.2.3 Log file ", 0) == 0;
            const bool whole = std::sscanf(text.c_str(), "[T%d] L%d %n", &thread, &line, &payload) == 2 &&
                               thread >= 0 && thread < kThreads && payload >= 0 &&
                               text.substr(static_cast<size_t>(payload)) ==
                                       std::string(static_cast<size_t>(line % 40), static_cast<char>('a' + thread));
            ASSERT_TRUE(banner || whole) << "broken line: " << text;
        }
    }
}

} // namespace
} // namespace qm
