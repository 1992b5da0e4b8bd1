#include "webserver/AccessLog.h"

#include "testsupport/ScopedUmask.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <regex>

namespace qm {
namespace {

// The log's times are local; these tests pin the zone so that the text is known.
class AccessLogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* zone = std::getenv("TZ"); // NOLINT(concurrency-mt-unsafe): single-threaded test
        m_savedZone = zone != nullptr ? std::optional<std::string>(zone) : std::nullopt;
        setenv("TZ", "EST5", 1); // NOLINT(concurrency-mt-unsafe)
        tzset();
    }

    void TearDown() override
    {
        if (m_savedZone) {
            setenv("TZ", m_savedZone->c_str(), 1); // NOLINT(concurrency-mt-unsafe)
        } else {
            unsetenv("TZ"); // NOLINT(concurrency-mt-unsafe)
        }
        tzset();
    }

    static AccessLogEntry Entry()
    {
        AccessLogEntry entry;
        entry.Client = "192.0.2.7";
        entry.When = 1'700'000'000; // Tue 14 Nov 2023 22:13:20 UTC
        entry.Method = "GET";
        entry.Target = "/mail?View=List";
        entry.Version = "HTTP/1.1";
        entry.Status = 200;
        entry.Bytes = 1234;
        return entry;
    }

private:
    std::optional<std::string> m_savedZone;
};

TEST_F(AccessLogTest, WritesTheCommonLogFormat)
{
    char line[512];
    const size_t length = FormatAccessLogLine(Entry(), line, sizeof line);
    EXPECT_EQ(std::string(line, length),
              "192.0.2.7 - - [14/Nov/2023:17:13:20 -0500] \"GET /mail?View=List HTTP/1.1\" 200 1234\n");
}

TEST_F(AccessLogTest, EscapesBytesThatWouldBreakTheLine)
{
    AccessLogEntry entry = Entry();
    entry.Target = "/a\"b\\c\r\nd\x01\xff";
    char line[512];
    const size_t length = FormatAccessLogLine(entry, line, sizeof line);
    EXPECT_NE(std::string(line, length).find("\"GET /a\\x22b\\x5cc\\x0d\\x0ad\\x01\\xff HTTP/1.1\""), std::string::npos)
            << line;
}

TEST_F(AccessLogTest, MasksPasswordFieldsOfTheQuery)
{
    struct Case {
        const char* Target;
        const char* Want; // the target as the line shows it
    };

    const Case cases[] = {
            {"/mail?User=bob&Password=s3cret&View=Logon", "/mail?User=bob&Password=*&View=Logon"},
            {"/mail?User=bob&%50assword=s3cret", "/mail?User=bob&%50assword=*"},
            {"/mail?PASS%57ORD=s3cret", "/mail?PASS%57ORD=*"},
            {"/mail?NewPassword=a&OldPassword1=b", "/mail?NewPassword=*&OldPassword1=*"},
            {"/mail?password=", "/mail?password=*"},
            {"/mail?Password=a=b&x=1", "/mail?Password=*&x=1"},
            {"/mail?Password=\r\n%0d", "/mail?Password=*"},
            {"/mail?Pass=word&pwd=x", "/mail?Pass=*&pwd=x"},
            {"/mail?MailPass%3A0=x", "/mail?MailPass%3A0=*"},
            // A non-digit after '%' counts as 0 for the engine: "%5X" is 'P' there, so it is here too.
            {"/mail?%5Xassword=s3cret", "/mail?%5Xassword=*"},
            {"/mail?View=Password&Password", "/mail?View=Password&Password"},
            {"/mail?Pa%2573s=x", "/mail?Pa%2573s=x"}, // decoded once, as the engine does: "Pa%73s"
            {"/Password=x?a=1", "/Password=x?a=1"},
            {"/mail?\x01Password=x", "/mail?\\x01Password=*"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.Target);
        AccessLogEntry entry = Entry();
        entry.Target = test.Target;
        char line[512];
        const std::string got(line, FormatAccessLogLine(entry, line, sizeof line));
        EXPECT_NE(got.find(std::string("\"GET ") + test.Want + " HTTP/1.1\""), std::string::npos)
                << "got " << got << "want " << test.Want;
    }
}

TEST_F(AccessLogTest, CutsALongLineAndStillEndsIt)
{
    AccessLogEntry entry = Entry();
    const std::string target(5000, 'x');
    entry.Target = target;
    char line[300];
    const size_t length = FormatAccessLogLine(entry, line, sizeof line);
    EXPECT_EQ(length, sizeof line - 1);
    EXPECT_EQ(line[length - 1], '\n');
    EXPECT_EQ(line[length], '\0');
    EXPECT_EQ(FormatAccessLogLine(entry, line, 1), 0u);
}

TEST_F(AccessLogTest, RotatesToTheOldFileAtItsSizeLimit)
{
    test::TempDir dir;
    AccessLog log(dir.PathOf(""), 1); // 1 KB
    ASSERT_TRUE(log.Opened());
    for (int i = 0; i < 15; ++i) {
        log.Write(Entry()); // about 85 bytes a line: the 13th passes 1024
    }
    const std::string current = test::TempDir::ReadFile(dir.PathOf(kAccessLogName));
    const std::string old = test::TempDir::ReadFile(dir.PathOf(kAccessLogOldName));
    EXPECT_GE(old.size(), 1024u);
    EXPECT_LT(current.size(), 1024u);
    EXPECT_FALSE(current.empty());
}

TEST_F(AccessLogTest, TheLogAndItsSuccessorAreTheOwnersAlone)
{
    test::TempDir dir;
    test::ScopedUmask scoped(022);
    AccessLog log(dir.PathOf(""), 1);
    ASSERT_TRUE(log.Opened());
    EXPECT_EQ(test::ModeOf(dir.PathOf(kAccessLogName).c_str()), 0600U);
    for (int i = 0; i < 15; ++i) {
        log.Write(Entry());
    }
    EXPECT_EQ(test::ModeOf(dir.PathOf(kAccessLogName).c_str()), 0600U) << "the file made at rotation";
    EXPECT_EQ(test::ModeOf(dir.PathOf(kAccessLogOldName).c_str()), 0600U);
}

TEST(HttpDateTest, FormatsInGmt)
{
    char date[40];
    FormatHttpDate(1'700'000'000, date, sizeof date);
    EXPECT_STREQ(date, "Tue, 14 Nov 2023 22:13:20 GMT");
}

} // namespace
} // namespace qm
