#include "common/Log.h"

#include "common/StringTable.h"
#include "common/tests/LogTestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <type_traits>
#include <vector>

namespace qm {
namespace {

using logtest::kTestMessageNoText;
using logtest::kTestMessagePlain;
using logtest::kTestMessageWithArgs;
using logtest::kTestStringTable;

// Keeps every formatted line, to watch what Logger's own operations pass on.
class RecordingLogger final : public Logger {
public:
    [[gnu::format(printf, 2, 0)]] void VLog(const char* format, va_list args) override
    {
        char text[512];
        (void)std::vsnprintf(text, sizeof text, format, args);
        Lines.emplace_back(text);
    }

    void Write(const char* bytes, size_t length) override { Lines.emplace_back(bytes, length); }

    void Flush() override {}

    std::vector<std::string> Lines;
};

class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetStringTable(kTestStringTable, std::size(kTestStringTable));
        SetLogLevelSource(&m_level);
    }

    void TearDown() override
    {
        SetLogLevelSource(nullptr);
        SetStringTable(nullptr, 0);
    }

    int m_level = 1;
};

TEST_F(LoggerTest, WritesOnlyMessagesAtOrAboveTheLevel)
{
    struct Case {
        int Configured;
        int Message;
        bool Written;
    };

    const Case cases[] = {
            {3, 2, false}, {3, 3, true}, {3, 6, true}, {1, 1, true}, {6, 5, false}, {6, 6, true}, {7, 6, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("level " + std::to_string(c.Configured) + ", message " + std::to_string(c.Message));
        m_level = c.Configured;
        RecordingLogger logger;
        logger.LogMsg(c.Message, kTestMessagePlain);
        logger.Log(c.Message, "by format %d", 1);
        const size_t want = c.Written ? 2 : 0;
        EXPECT_EQ(logger.Lines.size(), want) << "got " << logger.Lines.size() << " lines, want " << want;
    }
}

TEST_F(LoggerTest, LevelChangesTakeEffectAtOnce)
{
    RecordingLogger logger;
    m_level = 4;
    logger.Log(3, "%s", "hidden");
    m_level = 2;
    logger.Log(3, "%s", "shown");
    ASSERT_EQ(logger.Lines.size(), 1u);
    EXPECT_EQ(logger.Lines[0], "shown");
}

TEST_F(LoggerTest, DefaultLevelIsOneWithoutASource)
{
    SetLogLevelSource(nullptr);
    EXPECT_EQ(CurrentLogLevel(), 1);
    RecordingLogger logger;
    logger.Log(0, "%s", "below");
    logger.Log(1, "%s", "at");
    ASSERT_EQ(logger.Lines.size(), 1u);
    EXPECT_EQ(logger.Lines[0], "at");
}

TEST_F(LoggerTest, LogMsgFormatsTheTableText)
{
    RecordingLogger logger;
    logger.LogMsg(1, kTestMessagePlain);
    logger.LogMsg(1, kTestMessageWithArgs, "bob", 3);
    // An id without text, or unknown, gives an empty line rather than nothing.
    logger.LogMsg(1, kTestMessageNoText);
    logger.LogMsg(1, 9999);
    const std::vector<std::string> want = {"plain message", "user bob has 3 messages", "", ""};
    EXPECT_EQ(logger.Lines, want);
}

// A logger deleted through the interface runs the derived destructor.
static_assert(std::has_virtual_destructor_v<Logger>);

TEST(LoggerStampTest, FormatsEveryDayWithCLocaleNames)
{
    logtest::ScopedTimeZone zone("QST-9");

    struct Case {
        int Day;
        int Hour;
        int Minute;
        int Second;
        const char* Want;
    };

    const Case cases[] = {
            {6, 0, 0, 0, "[Sun 2026-12-06 00:00:00] "},    {7, 23, 59, 59, "[Mon 2026-12-07 23:59:59] "},
            {8, 8, 24, 0, "[Tue 2026-12-08 08:24:00] "},   {9, 12, 5, 7, "[Wed 2026-12-09 12:05:07] "},
            {10, 1, 2, 3, "[Thu 2026-12-10 01:02:03] "},   {11, 10, 0, 0, "[Fri 2026-12-11 10:00:00] "},
            {12, 18, 30, 0, "[Sat 2026-12-12 18:30:00] "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Want);
        char stamp[kLogStampLength + 1];
        const size_t length =
                FormatLogStamp(logtest::LocalTime(2026, 12, c.Day, c.Hour, c.Minute, c.Second), stamp, sizeof stamp);
        EXPECT_EQ(length, kLogStampLength);
        EXPECT_STREQ(stamp, c.Want);
    }
}

TEST(LoggerStampTest, UsesLocalTime)
{
    // 2026-12-08 08:24:00 UTC is 17:24 nine hours east.
    logtest::ScopedTimeZone zone("QST-9");
    char stamp[kLogStampLength + 1];
    FormatLogStamp(1796718240, stamp, sizeof stamp);
    EXPECT_STREQ(stamp, "[Tue 2026-12-08 17:24:00] ");
}

TEST(StringTableTest, LooksUpById)
{
    SetStringTable(kTestStringTable, std::size(kTestStringTable));
    EXPECT_STREQ(LoadResourceString(kTestMessagePlain), "plain message");
    EXPECT_STREQ(LoadResourceString(1649), "----- %s %s Log file too large -----");
    EXPECT_STREQ(LoadResourceString(kTestMessageNoText), "");
    EXPECT_STREQ(LoadResourceString(0), "");
    EXPECT_STREQ(LoadResourceString(100000), "");
    SetStringTable(nullptr, 0);
    EXPECT_STREQ(LoadResourceString(kTestMessagePlain), "");
}

TEST(StringTableTest, RefusesAnUnsortedTable)
{
    static constexpr StringEntry kUnsorted[] = {{5, "five"}, {3, "three"}};
    EXPECT_DEATH(SetStringTable(kUnsorted, std::size(kUnsorted)), "assertion failed");
}

} // namespace
} // namespace qm
