#include "common/TextScan.h"

#include "testsupport/Program.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace qm {
namespace {

// 2026-12-08 08:24:00 UTC.
constexpr std::time_t kBase = 1796718240;

TEST(TextScanTest, ParsesDatesAndZones)
{
    struct Case {
        const char* Text;
        std::time_t Want;
    };

    const Case cases[] = {
            {"Tue, 08 Dec 2026 08:24:00 +0000", kBase},
            {"Tue, 08 Dec 2026 08:24:00 EST", kBase + 5 * 3600},
            {"Tue, 08 Dec 2026 08:24:00 +0530", kBase - 5 * 3600 - 30 * 60},
            {"Tue, 08 Dec 2026 08:24:00 -0330", kBase + 3 * 3600 + 30 * 60},
            {"Tue, 08 Dec 2026 08:24:00 -0800 (PST)", kBase + 8 * 3600},
            {"Tue, 08 Dec 2026 08:24:00 PST", kBase + 8 * 3600},
            {"Tue, 08 Dec 2026 08:24:00 pdt", kBase + 7 * 3600},
            {"Tue, 08 Dec 2026 08:24:00 EDT", kBase + 4 * 3600},
            {"Tue, 08 Dec 2026 08:24:00 CST", kBase + 6 * 3600},
            {"Tue, 08 Dec 2026 08:24:00 CDT", kBase + 5 * 3600},
            {"Tue, 08 Dec 2026 08:24:00 MST", kBase + 7 * 3600},
            {"Tue, 08 Dec 2026 08:24:00 MDT", kBase + 6 * 3600},
            {"Tue, 08 Dec 2026 08:24:00 GMT", kBase},
            {"Tue, 08 Dec 2026 08:24:00 UT", kBase},
            {"Tue, 08 Dec 2026 08:24:00 XYZ", kBase},
            {"Tue, 08 Dec 2026 08:24:00", kBase},
            {"Tue, 08 Dec 2026 08:24:00 +0100", kBase - 3600},
            // A zone number of more than four digits is no hhmm zone: UTC (it used to overflow in seconds).
            {"Tue, 08 Dec 2026 08:24:00 99999999", kBase},
            {"Tue, 08 Dec 2026 08:24:00 -99999999", kBase},
            {"Tue, 08 Dec 2026 08:24:00 +9999", kBase - 99 * 3600 - 99 * 60},
            // Without seconds the zone still counts.
            {"Tue, 08 Dec 2026 08:24 +0530", kBase - 5 * 3600 - 30 * 60},
            {"Tue, 08 Dec 2026 08:24 EST", kBase + 5 * 3600},
            {"08 Dec 2026 08:24", kBase},
            // Without a time: midnight.
            {"08 Dec 2026", kBase - (8 * 3600 + 24 * 60)},
            // Separators other than single blanks, and a line end.
            {"Tue,\t8  Dec\t2026 08:24:00 +0000\r\n", kBase},
            {"Tue, 08 dec 2026 08:24:00 +0000", kBase},
            {"Tue, 08 DECEMBER 2026 08:24:00 +0000", kBase},
            {"Tue, 08 Dec 2026 08:24:59 +0000", kBase + 59},
            {"Tue, 08 Dec 2026 23:59:59 +0000", kBase - (8 * 3600 + 24 * 60) + 86399},
            // An HTTP date.
            {"Sun, 06 Nov 1994 08:49:37 GMT", 784111777},
            // Leap day, dates past the 32-bit limit, and the last second of the year 9999.
            {"29 Feb 2024 12:00:00 +0000", 1709208000},
            {"31 Dec 2038 23:59:59 +0000", 2177452799},
            {"01 Jan 2106 00:00:00 +0000", 4291747200},
            {"31 Dec 9999 23:59:59 +0000", 253402300799},
            {"01 Jan 1970 00:00:00 +0000", 0},
            {"01 Jan 1970 01:00:00 +0000", 3600},
            // The day is not checked against the month: 31 Feb runs into March.
            {"31 Feb 2026 00:00:00 +0000", 1772496000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Text);
        EXPECT_EQ(ParseRfc822Date(c.Text), c.Want);
    }
}

TEST(TextScanTest, ReadsYearsFrom1970On)
{
    const std::time_t want = ParseRfc822Date("Tue, 08 Dec 2026 08:24:00 +0000");
    ASSERT_EQ(want, kBase);
    EXPECT_EQ(ParseRfc822Date("Tue, 08 Dec 26 08:24:00 +0000"), want);
    EXPECT_EQ(ParseRfc822Date("Tue, 08 Dec 126 08:24:00 +0000"), want);
    EXPECT_EQ(ParseRfc822Date("08 Dec 00 00:00:00 +0000"), 976233600);  // 2000
    EXPECT_EQ(ParseRfc822Date("08 Dec 70 00:00:00 +0000"), 29462400);   // 1970
    EXPECT_EQ(ParseRfc822Date("08 Dec 99 00:00:00 +0000"), 944611200);  // 1999
    EXPECT_EQ(ParseRfc822Date("08 Dec 38 00:00:00 +0000"), 2175379200); // 2038
    EXPECT_EQ(ParseRfc822Date("08 Dec 49 00:00:00 +0000"), 2522534400); // 2049
    EXPECT_EQ(ParseRfc822Date("08 Dec 139 00:00:00 +0000"), 2206915200); // 2039
    EXPECT_EQ(ParseRfc822Date("08 Dec 2039 00:00:00 +0000"), 2206915200);

    // Before 1970, also when only the zone carries the time back into 1969, and past 9999.
    const char* outside[] = {"08 Dec 1969 00:00:00 +0000", "08 Dec 50 00:00:00 +0000",   "08 Dec 69 00:00:00 +0000",
                             "08 Dec 1900 00:00:00 +0000", "01 Jan 1970 00:30:00 +0100", "01 Jan 10000 00:00:00 +0000"};
    for (const char* text : outside) {
        SCOPED_TRACE(text);
        EXPECT_EQ(ParseRfc822Date(text), 0);
    }
}

TEST(TextScanTest, RejectsInvalidDates)
{
    const char* texts[] = {
            "",
            "garbage",
            "Tue, 32 Dec 2026 08:24:00 +0000",
            "Tue, 00 Dec 2026 08:24:00 +0000",
            "Tue, 08 Dez 2026 08:24:00 +0000",
            "Tue, 08 De 2026 08:24:00 +0000",
            "Tue, 08 Dec 2026 24:00:00 +0000",
            "Tue, 08 Dec 2026 08:60:00 +0000",
            "Tue, 08 Dec 2026 08:24:60 +0000",
            "99999999999999999999 Dec 2026 08:24:00 +0000",
            "08 Dec 99999999999999999999 08:24:00 +0000",
            // RFC 850 and asctime forms are not read.
            "Sunday, 06-Nov-94 08:49:37 GMT",
            "Sun Nov  6 08:49:37 1994",
    };
    for (const char* text : texts) {
        SCOPED_TRACE(text);
        EXPECT_EQ(ParseRfc822Date(text), 0);
    }
    EXPECT_EQ(ParseRfc822Date(nullptr), 0);
}

TEST(TextScanTest, DateParsingStaysInsideTruncatedText)
{
    const std::string full = "Tue, 08 Dec 2026 08:24:00 +0530";
    for (std::size_t n = 0; n <= full.size(); ++n) {
        // An exact-size heap copy, so that reading past the NUL is caught by the address sanitizer.
        std::vector<char> text(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
        text.push_back('\0');
        SCOPED_TRACE(text.data());
        const std::time_t got = ParseRfc822Date(text.data());
        if (n < std::string("Tue, 08 Dec").size()) {
            EXPECT_EQ(got, 0);
        }
        if (n >= std::string("Tue, 08 Dec 2026 08:24:00").size() && n <= full.size() - 3) {
            EXPECT_EQ(got, kBase); // no zone yet, "+" or "+0"
        }
    }
    EXPECT_EQ(ParseRfc822Date(full.c_str()), kBase - 5 * 3600 - 30 * 60);
}

TEST(TextScanTest, ScanNumberReadsDigitRunsAndSaturates)
{
    struct Case {
        const char* Text;
        int Want;
        const char* Rest;
    };

    const Case cases[] = {
            {"abc123def", 123, "def"},
            {"", 0, ""},
            {"abc", 0, ""},
            {"007x", 7, "x"},
            {"-5", 5, ""},
            {"12:34", 12, ":34"},
            {"\xB2\xB3 9", 9, ""},
            {"2147483647 ", INT_MAX, " "},
            {"2147483648 ", INT_MAX, " "},
            {"99999999999999999999x", INT_MAX, "x"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Text);
        const char* cursor = c.Text;
        EXPECT_EQ(ScanNumber(&cursor), c.Want);
        EXPECT_STREQ(cursor, c.Rest);
    }
}

TEST(TextScanTest, ScanWordCopiesAtMostMaxAndSkipsTheRun)
{
    struct Case {
        const char* Text;
        std::size_t Max;
        const char* Want;
        const char* Rest;
    };

    const Case cases[] = {
            {"  December 2026", 3, "Dec", " 2026"},
            {"\t\r\nabc", 8, "abc", ""},
            {"", 8, "", ""},
            {"   ", 8, "", ""},
            {"abc", 3, "abc", ""},
            {"abcdefghij rest", 8, "abcdefgh", " rest"},
            {"word rest", 0, "", " rest"},
            {"ab\x01"
             "cd",
             8, "ab",
             "\x01"
             "cd"},
            {"\xE9t\xE9 x", 8, "\xE9t\xE9", " x"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Text);
        std::vector<char> buf(c.Max + 1, 'X'); // exactly max + 1 bytes
        const char* cursor = c.Text;
        ScanWord(buf.data(), c.Max, &cursor);
        EXPECT_STREQ(buf.data(), c.Want);
        EXPECT_STREQ(cursor, c.Rest);
    }
}

using Matcher = bool (*)(const char*, const char**);

struct MatchCase {
    const char* Text;
    int Want; // length of the match, or -1 for no match
};

void CheckMatcher(Matcher match, const std::vector<MatchCase>& cases)
{
    for (const MatchCase& c : cases) {
        SCOPED_TRACE(c.Text);
        // An exact-size heap copy, so that looking past the NUL is caught by the address sanitizer.
        const std::string text(c.Text);
        std::vector<char> copy(text.begin(), text.end());
        copy.push_back('\0');
        const char sentinel = 0;
        const char* end = &sentinel;
        const char* start = copy.data();
        const bool matched = match(start, &end);
        if (c.Want < 0) {
            EXPECT_FALSE(matched);
            EXPECT_EQ(end, &sentinel) << "a failed match must leave *end alone";
            continue;
        }
        ASSERT_TRUE(matched);
        EXPECT_EQ(end - start, c.Want) << "matched \"" << std::string(start, end) << "\"";
    }
}

TEST(TextScanTest, MatchUrlLeavesTrailingPunctuationOutside)
{
    CheckMatcher(MatchUrl, {
                                   {"http://www.example.com/a?b=1.", 28},
                                   {"http://localhost", -1},
                                   {"http://localhost/x", -1},
                                   {"http://a.com/x,", 14},
                                   {"http://a.com/x, next", 14},
                                   {"https://a.b", 11},
                                   {"HTTP://A.COM", 12},
                                   {"http://a.com/p?x=1&y=2 rest", 22},
                                   {"http://a.com/x)", 14},
                                   {"<http://a.com/x>", -1},
                                   {"http://a.com/x>", 14},
                                   {"http://a.com/x?!", 14},
                                   {"http://a.com/x?y", 16},
                                   {"http://user@a.com", 17},
                                   {"http://a.com\xE9", 12},
                                   {"http://a.com:8080/", 18},
                                   {"http:/a.com", -1},
                                   {"http//a.com", -1},
                                   {"://a.com", -1},
                                   {"mailto:x@y.com", -1},
                                   {"http://.com", -1},
                                   {"http://a.", -1},
                                   {"http://a.,b", -1},
                                   {"http://", -1},
                                   {"", -1},
                           });
}

TEST(TextScanTest, MatchWwwHostAcceptsAnyCase)
{
    CheckMatcher(MatchWwwHost, {
                                       {"WWW.example.com,", 15},
                                       {"www.example.com", 15},
                                       {"Www.example.com/x.", 17},
                                       {"www.a.b.c/d.", 11},
                                       {"www.com", -1},
                                       {"ww.example.com", -1},
                                       {"www", -1},
                                       {"www.", -1},
                                       {"www..com", -1},
                                       {"", -1},
                               });
}

TEST(TextScanTest, MatchWordRunTakesInnerPunctuationOnly)
{
    CheckMatcher(MatchWordRun, {
                                       {"don't.", 5},
                                       {"well-known word", 10},
                                       {"e.g.", 3},
                                       {"a--b", 1},
                                       {"end.", 3},
                                       {"x", 1},
                                       {"\xE9t\xE9 ", 3},
                                       {"ab\xFF", 2},
                                       {"\xFF", -1},
                                       {"'quoted", -1},
                                       {" word", -1},
                                       {"", -1},
                               });
}

TEST(TextScanTest, MatchNumberTakesInnerPointsOnly)
{
    CheckMatcher(MatchNumber, {
                                      {"3.14.", 4},
                                      {"1.2.3", 5},
                                      {"12a", 2},
                                      {"5", 1},
                                      {"1..2", 1},
                                      {".5", -1},
                                      {"a1", -1},
                                      {"", -1},
                              });
}

TEST(TextScanTest, MatchEmailAddressNeedsADottedDomain)
{
    CheckMatcher(MatchEmailAddress, {
                                            {"a.b+c@mail.example.co.uk>", 24},
                                            {"user@localhost", -1},
                                            {"x@y.z", 5},
                                            {"x@y.z.", 5},
                                            {"x@y.com, next", 7},
                                            {"first&last@a.b", 14},
                                            {"x@-y.com", 8},
                                            {"x@y.com@z", 7},
                                            {"x~y_z@a.b", 9},
                                            {".x@y.z", -1},
                                            {"x y@z.com", -1},
                                            {"x@y..com", -1},
                                            {"x@.com", -1},
                                            {"x@", -1},
                                            {"x", -1},
                                            {"", -1},
                                    });
}

TEST(TextScanTest, SkipLinkSeparatorsStopsAtWordBytesOrEnd)
{
    struct Case {
        const char* Text;
        std::size_t Want;
    };

    const Case cases[] = {{"  ,;abc", 4},
                          {"abc", 0},
                          {"....", 4},
                          {"", 0},
                          {"  \xE9", 2},
                          {"\xFF\xFF"
                           "a",
                           2},
                          {"-'.x", 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Text);
        const char* out = nullptr;
        SkipLinkSeparators(c.Text, &out);
        EXPECT_EQ(static_cast<std::size_t>(out - c.Text), c.Want);
    }
}

TEST(TextScanTest, ClassTablesKeepTheirQuirks)
{
    struct Case {
        unsigned char Byte;
        int Word;
        int Link;
        int Address;
    };

    const Case cases[] = {
            {0, 0, 0, 0},   {' ', 0, 0, 0}, {'\'', 1, 0, 0}, {'-', 1, 4, 4}, {'.', 1, 1, 2},
            {'_', 0, 4, 4}, {'~', 0, 3, 4}, {'+', 0, 3, 2},  {'/', 0, 3, 0}, {'=', 0, 3, 0},
            {'&', 0, 2, 2}, {'@', 0, 2, 0}, {',', 0, 2, 0},  {':', 0, 2, 0}, {'?', 0, 2, 0},
            {'"', 0, 0, 0}, {'<', 0, 0, 0}, {'\\', 0, 0, 0}, {'A', 2, 4, 4}, {'z', 2, 4, 4},
            {'5', 2, 4, 4}, {127, 0, 0, 0}, {128, 2, 0, 0},  {254, 2, 0, 0}, {255, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.Byte));
        EXPECT_EQ(kWordClass[c.Byte], c.Word);
        EXPECT_EQ(kLinkClass[c.Byte], c.Link);
        EXPECT_EQ(kAddressClass[c.Byte], c.Address);
    }
}

// Generates valid dates in many spellings and compares the results with Python's e-mail date parser.
TEST(TextScanTest, AgreesWithPythonOnGeneratedDates)
{
    if (test::FindProgram("python3").empty()) {
        GTEST_SKIP() << "python3 is not installed";
    }
    static const char* const kDays[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
    static const char* const kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    static const char* const kZoneNames[] = {"EDT", "EST", "CDT", "CST", "MDT", "MST", "PDT",
                                             "PST", "GMT", "UT",  "est", "Pst", "UTC"};
    std::mt19937 rng(20261208);
    auto pick = [&rng](int lo, int hi) {
        return std::uniform_int_distribution<int>(lo, hi)(rng);
    };

    std::vector<std::string> dates;
    for (int i = 0; i < 400; ++i) {
        const int year = pick(1970, 2200);
        const int month = pick(1, 12);
        static const int kLengths[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
        const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
        const int day = pick(1, kLengths[month - 1] + (month == 2 && leap ? 1 : 0));

        std::string monthName = kMonthNames[month - 1];
        for (char& ch : monthName) {
            if (pick(0, 2) == 0) {
                ch = static_cast<char>(ch ^ 0x20); // flip the case
            }
        }
        char zone[16];
        if (pick(0, 2) == 0) {
            std::snprintf(zone, sizeof zone, "%s", kZoneNames[pick(0, 12)]);
        } else {
            std::snprintf(zone, sizeof zone, "%c%02d%02d", pick(0, 1) ? '+' : '-', pick(0, 12), 15 * pick(0, 3));
        }
        char time[16];
        if (pick(0, 3) == 0) {
            std::snprintf(time, sizeof time, "%02d:%02d", pick(0, 23), pick(0, 59));
        } else {
            std::snprintf(time, sizeof time, "%02d:%02d:%02d", pick(0, 23), pick(0, 59), pick(0, 59));
        }
        const bool twoDigitYear = year <= 2049 && pick(0, 2) == 0;
        // No weekday, or one followed by a comma or a blank.
        std::string date;
        if (const int form = pick(0, 2); form != 0) {
            date = std::string(kDays[pick(0, 6)]) + (form == 1 ? ", " : " ");
        }
        char rest[64];
        std::snprintf(rest, sizeof rest, "%d %s %0*d %s %s", day, monthName.c_str(), twoDigitYear ? 2 : 4,
                      twoDigitYear ? year % 100 : year, time, zone);
        date += rest;
        dates.push_back(date);
    }

    const test::TempDir dir;
    {
        std::ofstream out(dir.Path() / "dates.txt", std::ios::binary);
        for (const std::string& d : dates) {
            out << d << '\n';
        }
        std::ofstream script(dir.Path() / "parse.py", std::ios::binary);
        script << "import sys, datetime, email.utils\n"
                  "for line in open(sys.argv[1]):\n"
                  "    try:\n"
                  "        dt = email.utils.parsedate_to_datetime(line.rstrip('\\n'))\n"
                  "        if dt.tzinfo is None:\n"
                  "            dt = dt.replace(tzinfo=datetime.timezone.utc)\n"
                  "        print(max(0, int(dt.timestamp())))\n"
                  "    except Exception:\n"
                  "        print('error')\n";
    }
    const test::ProgramRun run = test::RunProgram({"python3", dir / "parse.py", dir / "dates.txt"});
    ASSERT_TRUE(run.Succeeded()) << run.Errors;
    std::vector<std::string> answers;
    std::istringstream lines(run.Output);
    for (std::string answer; std::getline(lines, answer);) {
        answers.push_back(answer);
    }
    ASSERT_EQ(answers.size(), dates.size());
    for (std::size_t i = 0; i < dates.size(); ++i) {
        SCOPED_TRACE(dates[i]);
        EXPECT_EQ(std::to_string(ParseRfc822Date(dates[i].c_str())), answers[i]);
    }
}

} // namespace
} // namespace qm
