#include "webserver/CgiEnvironment.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qm {
namespace {

std::vector<std::string> Entries(const std::string& block)
{
    std::vector<std::string> entries;
    size_t at = 0;
    while (at < block.size() && block[at] != '\0') {
        const size_t end = block.find('\0', at);
        entries.push_back(block.substr(at, end - at));
        at = end + 1;
    }
    EXPECT_EQ(at + 1, block.size()) << "the block ends with one empty entry";
    return entries;
}

CgiRequestFacts GetFacts()
{
    CgiRequestFacts facts;
    facts.Host = "mail.example.org:2000";
    facts.UserAgent = "Browser/1.0";
    facts.Method = "GET";
    facts.ScriptName = "/mail";
    facts.PathInfo = "/x";
    facts.QueryString = "View=List&Session=abc";
    facts.LocalAddress = "10.0.0.1";
    facts.LocalPort = 2000;
    facts.RemoteAddress = "10.0.0.9";
    return facts;
}

TEST(CgiEnvironmentTest, GetHasTheTableEntriesInOrderWithoutBodyEntries)
{
    std::string block;
    BuildCgiEnvironment(GetFacts(), block);
    const std::vector<std::string> want = {
            "SERVER_NAME=mail.example.org",      "SERVER_PORT=2000",   "SERVER_ADDR=10.0.0.1", "REMOTE_ADDR=10.0.0.9",
            "HTTP_USER_AGENT=Browser/1.0",       "REQUEST_METHOD=GET", "SCRIPT_NAME=/mail",    "PATH_INFO=/x",
            "QUERY_STRING=View=List&Session=abc"};
    EXPECT_EQ(Entries(block), want);
}

TEST(CgiEnvironmentTest, PostAddsContentTypeLengthCookieAndOrigin)
{
    CgiRequestFacts facts = GetFacts();
    facts.Method = "POST";
    facts.ContentType = "application/x-www-form-urlencoded";
    facts.ContentLength = 12345;
    facts.Cookie = "Session=x; Lang=en";
    facts.Origin = "http://mail.example.org:2000";
    std::string block;
    BuildCgiEnvironment(facts, block);
    const std::vector<std::string> entries = Entries(block);
    ASSERT_EQ(entries.size(), 13u);
    EXPECT_EQ(entries[9], "CONTENT_TYPE=application/x-www-form-urlencoded");
    EXPECT_EQ(entries[10], "CONTENT_LENGTH=12345");
    EXPECT_EQ(entries[11], "HTTP_COOKIE=Session=x; Lang=en");
    EXPECT_EQ(entries[12], "HTTP_ORIGIN=http://mail.example.org:2000");
}

TEST(CgiEnvironmentTest, ServerNameAndPortFollowTheHostHeader)
{
    struct Case {
        std::optional<std::string_view> Host;
        std::string Name;
        std::string Port;
    };

    const Case cases[] = {
            {"example.org", "example.org", "80"},
            {"example.org:8080", "example.org", "8080"},
            {"[::1]:2000", "[::1]", "2000"},
            {"[::1]", "[::1]", "80"},
            {"", "", "80"},
            {std::nullopt, "10.0.0.1", "2000"}, // no Host: the local end
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(std::string(test.Host.value_or("(none)")));
        CgiRequestFacts facts = GetFacts();
        facts.Host = test.Host;
        std::string block;
        BuildCgiEnvironment(facts, block);
        const std::vector<std::string> entries = Entries(block);
        EXPECT_EQ(entries[0], "SERVER_NAME=" + test.Name);
        EXPECT_EQ(entries[1], "SERVER_PORT=" + test.Port);
    }
}

TEST(CgiEnvironmentTest, ReusedBlockHoldsOnlyTheNewRequest)
{
    std::string block;
    CgiRequestFacts facts = GetFacts();
    facts.ContentType = "text/plain";
    facts.Cookie = "a=b";
    BuildCgiEnvironment(facts, block);
    BuildCgiEnvironment(GetFacts(), block);
    EXPECT_EQ(Entries(block).size(), 9u);
}

} // namespace
} // namespace qm
