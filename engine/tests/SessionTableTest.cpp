#include "engine/SessionTable.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include <arpa/inet.h>

namespace qm::engine {
namespace {

TEST(SessionTableTest, ParsesDottedIPv4IntoNetworkOrderAndRefusesEverythingElse)
{
    for (const char* text : {"192.0.2.7", "0.0.0.0", "255.255.255.255", "10.1.2.3", "127.0.0.1"}) {
        SCOPED_TRACE(text);
        in_addr expected{};
        ASSERT_EQ(::inet_pton(AF_INET, text, &expected), 1);
        const auto parsed = ParseIPv4(text);
        ASSERT_TRUE(parsed.has_value());
        EXPECT_EQ(*parsed, expected.s_addr);
    }
    for (const char* text : {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1.2.3.4 ", " 1.2.3.4", "1..3.4", "::1",
                             "2001:db8::1", "1.2.3.0004", "a.b.c.d", "1.2.3.-4", "1.2.3."}) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(ParseIPv4(text).has_value());
    }
}

class SessionTableRowsTest : public ::testing::Test {
protected:
    SessionTableView Table() { return {m_rows.data(), 4}; }

    void Fill(int index, const char* id, const char* user)
    {
        FillSessionRecord(*Table().Row(index), id, {1, 100, user, "Full", "a@b"});
    }

    std::vector<unsigned char> m_rows = std::vector<unsigned char>(4 * kSessionRecordSize, 0xEE);
};

TEST_F(SessionTableRowsTest, FillCutsEveryTextToItsFieldAndZeroesTheRest)
{
    const std::string longName(200, 'n');
    const std::string longMail(200, 'm');
    FillSessionRecord(*Table().Row(0), "ABCDEFGHIJ", {7, 1700000000, longName, longName, longMail});
    const SessionRecord& row = *Table().Row(0);
    EXPECT_STREQ(row.SessionId, "ABCDEFG");
    EXPECT_EQ(row.ClientAddress, 7u);
    EXPECT_EQ(row.LastAccess, 1700000000);
    EXPECT_EQ(std::string(row.UserName), std::string(79, 'n'));
    EXPECT_EQ(std::string(row.FullName), std::string(63, 'n'));
    EXPECT_EQ(std::string(row.EMail), std::string(63, 'm'));

    FillSessionRecord(*Table().Row(1), "ABC", {0, 0, "bo", "", ""});
    const SessionRecord& shortRow = *Table().Row(1);
    for (std::size_t i = 2; i < sizeof shortRow.UserName; ++i) {
        ASSERT_EQ(shortRow.UserName[i], '\0') << i;
    }
    for (std::size_t i = 3; i < sizeof shortRow.SessionId; ++i) {
        ASSERT_EQ(shortRow.SessionId[i], '\0') << i;
    }
}

TEST_F(SessionTableRowsTest, FindComparesTheWholeId)
{
    Fill(0, "AAAAAAB", "a");
    Fill(1, "AAAAAAC", "b");
    EXPECT_EQ(FindSessionRecord(Table(), 2, "AAAAAAC"), 1);
    EXPECT_EQ(FindSessionRecord(Table(), 2, "aaaaaac"), -1);
    EXPECT_EQ(FindSessionRecord(Table(), 2, "AAAAAA"), -1);
    EXPECT_EQ(FindSessionRecord(Table(), 1, "AAAAAAC"), -1) << "only the rows in use count";
}

TEST_F(SessionTableRowsTest, RemoveMovesTheLaterRowsDownAndClearsTheLast)
{
    Fill(0, "AAAAAAA", "a");
    Fill(1, "BBBBBBB", "b");
    Fill(2, "CCCCCCC", "c");
    RemoveSessionRecord(Table(), 3, 0);
    EXPECT_STREQ(Table().Row(0)->UserName, "b");
    EXPECT_STREQ(Table().Row(1)->UserName, "c");
    EXPECT_EQ(Table().Row(2)->SessionId[0], '\0');
    RemoveSessionRecord(Table(), 2, 1);
    EXPECT_STREQ(Table().Row(0)->UserName, "b");
    EXPECT_EQ(Table().Row(1)->SessionId[0], '\0');
    RemoveSessionRecord(Table(), 1, 5); // out of range: nothing
    EXPECT_STREQ(Table().Row(0)->UserName, "b");
}

} // namespace
} // namespace qm::engine
