#include "store/HeaderBlock.h"

#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace qm::store {
namespace {

using Items = std::vector<std::pair<std::string, std::string>>;

Items ItemsOf(const HeaderBlock& block)
{
    Items items;
    for (int i = 0; i < block.Count(); ++i) {
        items.emplace_back(block.Item(i)->Name(), block.Item(i)->Value());
    }
    return items;
}

HeaderBlock BlockOf(const std::vector<std::string>& lines, const HeaderLimits& limits = {})
{
    HeaderBlock block(limits);
    for (const std::string& line : lines) {
        block.AddLine(line);
    }
    return block;
}

TEST(HeaderBlockTest, AddLineSplitsUnfoldsAndDecodes)
{
    struct Case {
        const char* Name;
        std::vector<std::string> Lines;
        Items Want;
    };

    const Case cases[] = {
            {"encoded subject", {"Subject: =?ISO-8859-1?Q?Caf=E9_au_lait?="}, {{"Subject", "Caf\xC3\xA9 au lait"}}},
            // A character split across words on two folded lines comes out whole; when nothing completes it, its
            // bytes are read as Windows-1252.
            {"character split across folded words",
             {"Subject: =?UTF-8?Q?Caf=C3?=", " =?UTF-8?Q?=A9?= ok"},
             {{"Subject", "Caf\xC3\xA9 ok"}}},
            {"character split across three lines",
             {"Subject: =?UTF-8?Q?=E2?=", "\t=?UTF-8?Q?=82?=", " =?UTF-8?Q?=AC?="},
             {{"Subject", "\xE2\x82\xAC"}}},
            {"split character followed by plain text",
             {"Subject: =?UTF-8?Q?Caf=C3?=", " plain"},
             {{"Subject", "Caf\xC3\x83 plain"}}},
            {"split character followed by another charset",
             {"Subject: =?UTF-8?Q?a=C3?=", " =?ISO-8859-1?Q?=E9?="},
             {{"Subject", "a\xC3\x83\xC3\xA9"}}},
            {"split character left at the end of the header",
             {"Subject: =?UTF-8?Q?a=C3?=", "To: b"},
             {{"Subject", "a\xC3\x83"}, {"To", "b"}}},
            {"folded encoded words join", {"Subject: =?a?Q?x?=", "\t=?a?Q?y?="}, {{"Subject", "xy"}}},
            {"folded words with more blanks", {"Subject: =?a?Q?x?=", "  \t =?a?Q?y?= z"}, {{"Subject", "xy z"}}},
            {"plain continuation joins with one blank",
             {"Subject: hello", "   \t world"},
             {{"Subject", "hello world"}}},
            {"word then plain continuation", {"Subject: =?a?Q?x?=", " plain"}, {{"Subject", "x plain"}}},
            {"plain then word continuation", {"Subject: plain", " =?a?Q?x?="}, {{"Subject", "plain x"}}},
            {"blank after the word keeps the fold", {"Subject: =?a?Q?x?= ", " =?a?Q?y?="}, {{"Subject", "x  y"}}},
            {"line without colon adds nothing", {"no colon here"}, {}},
            {"continuation before any header is dropped", {" orphan", "To: a"}, {{"To", "a"}}},
            {"continuation of an ignored line is dropped", {"To: a", "no colon", " more"}, {{"To", "a"}}},
            {"empty line is ignored", {"To: a", "", " more"}, {{"To", "a more"}}},
            {"value loses leading blanks and tabs", {"X:  \t v ", "Y:"}, {{"X", "v "}, {"Y", ""}}},
            {"name keeps its case and the text before the colon", {"cOnTeNt-TyPe : x:y"}, {{"cOnTeNt-TyPe ", "x:y"}}},
            {"final CR is dropped", {"To: a\r", " b\r"}, {{"To", "a b"}}},
            {"NUL becomes a blank", {std::string("To: a\0b", 7), std::string(" c\0", 3)}, {{"To", "a b c "}}},
            {"8-bit bytes not UTF-8 are read as Windows-1252",
             {"Subject: \xE9t\xE9 \x80"},
             {{"Subject", "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC"}}},
            {"UTF-8 stays", {"Subject: \xC3\xA9t\xC3\xA9"}, {{"Subject", "\xC3\xA9t\xC3\xA9"}}},
            {"decoded control bytes stay in the block",
             {"Subject: =?x?Q?a=0Ab=01c?="},
             {{"Subject", "a\nb\x01"
                          "c"}}},
            {"names are not decoded", {"=?a?Q?X?=: y", "=?a?Q?Subject=3A_evil?="}, {{"=?a?Q?X?=", "y"}}},
            {"raw JIS text becomes UTF-8", {"Subject: \x1B$B0!\x1B(B"}, {{"Subject", "\xE4\xBA\x9C"}}},
            {"long names are cut", {std::string(70, 'N') + ": v"}, {{std::string(59, 'N'), "v"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        EXPECT_EQ(ItemsOf(BlockOf(c.Lines)), c.Want);
    }
}

TEST(HeaderBlockTest, RepeatedHeadersGiveSeveralItemsAndLookUpFindsTheFirst)
{
    HeaderBlock block = BlockOf({"Received: one", "Subject: s", "Received: two", " folded"});
    EXPECT_EQ(ItemsOf(block), (Items{{"Received", "one"}, {"Subject", "s"}, {"Received", "two folded"}}));
    EXPECT_STREQ(block.GetValue("received"), "one");
    EXPECT_STREQ(block.GetValue("RECEIVED"), "one");
    EXPECT_STREQ(block.GetValue("Missing"), "");
    EXPECT_FALSE(block.Contains("Missing"));

    block.Clear();
    EXPECT_EQ(block.Count(), 0);
    block.AddLine(" after clear");
    EXPECT_EQ(block.Count(), 0);
}

TEST(HeaderBlockTest, EndsWithEncodedWordFollowsTheLastDecodedText)
{
    HeaderBlock block;
    block.AddLine("Subject: =?a?Q?x?=");
    EXPECT_TRUE(block.EndsWithEncodedWord());
    block.AddLine(" tail");
    EXPECT_FALSE(block.EndsWithEncodedWord());
    block.AddLine(" =?a?Q?y?=");
    EXPECT_TRUE(block.EndsWithEncodedWord());
    EXPECT_STREQ(block.GetValue("Subject"), "x tail y");
}

TEST(HeaderBlockTest, LimitsDropWhatLiesBeyondThem)
{
    HeaderLimits limits;
    limits.MaxHeaders = 2;
    EXPECT_EQ(ItemsOf(BlockOf({"A: 1", "B: 2", " more", "C: 3", " lost", "D: 4"}, limits)),
              (Items{{"A", "1"}, {"B", "2 more"}}));

    limits = {};
    limits.MaxLineLength = 8;
    EXPECT_EQ(ItemsOf(BlockOf({"A: 12345", "A: 123456", " 9876543210"}, limits)),
              (Items{{"A", "12345"}, {"A", "12345 9876543"}}))
            << "a line is cut at the limit, continuation lines too";
    EXPECT_EQ(ItemsOf(BlockOf({"A: 12345\r"}, limits)), (Items{{"A", "12345"}})) << "the CR does not count";

    // Total size counts names and values; exactly at the limit fits, one more does not.
    limits = {};
    limits.MaxTotalSize = 10;
    EXPECT_EQ(ItemsOf(BlockOf({"AB: 123", "C: 45678", " x", "D: 9"}, limits)), (Items{{"AB", "123"}, {"D", "9"}}));
    EXPECT_EQ(ItemsOf(BlockOf({"AB: 123", "C: 4567", "D: 9"}, limits)), (Items{{"AB", "123"}, {"C", "4567"}}));
    EXPECT_EQ(ItemsOf(BlockOf({"AB: 123", " 4567", " 8", "D: 9"}, limits)), (Items{{"AB", "123 4567"}}))
            << "a continuation that does not fit ends the value";
}

TEST(HeaderBlockTest, GetBoundaryTakesTheParameterWithDashes)
{
    struct Case {
        std::string ContentType;
        bool Found;
        std::string Want;
    };

    const std::string longValue(200, 'b');
    const Case cases[] = {
            {"multipart/mixed; boundary=\"a\\\"b\"", true, "--a\"b"},
            {"multipart/mixed; boundary=abc;x=y", true, "--abc"},
            {"multipart/mixed; BOUNDARY=abc", true, "--abc"},
            {"multipart/mixed;\tboundary=\"=_x.y?z\"; charset=us-ascii", true, "--=_x.y?z"},
            {"multipart/mixed; boundary=a.b_c-d", true, "--a.b_c-d"},
            {"multipart/mixed; boundary=abc def", true, "--abc"},
            {"multipart/mixed; boundary=abc(comment)", true, "--abc"},
            {"multipart/mixed; boundary=\"abc", true, "--abc"},
            {"multipart/mixed; boundary=\"ab\\", true, "--ab"},
            {"multipart/mixed; boundary=" + longValue, true, "--" + std::string(77, 'b')},
            {"multipart/mixed; boundary=\"" + longValue + "\"", true, "--" + std::string(77, 'b')},
            {"multipart/mixed; boundary=\"\"", false, ""},
            {"multipart/mixed; boundary=;x=y", false, ""},
            {"multipart/mixed; boundary=", false, ""},
            {"multipart/mixed", false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ContentType);
        HeaderBlock block;
        block.AddLine("Content-Type: " + c.ContentType);
        std::string boundary = "junk";
        EXPECT_EQ(block.GetBoundary(boundary), c.Found);
        EXPECT_EQ(boundary, c.Want);
        EXPECT_LE(boundary.size(), kMaxBoundaryLength);
    }

    HeaderBlock none;
    std::string boundary;
    EXPECT_FALSE(none.GetBoundary(boundary));
}

TEST(HeaderBlockTest, GetBoundaryIntoABufferStopsAtItsSize)
{
    HeaderBlock block;
    block.AddLine("Content-Type: multipart/mixed; boundary=" + std::string(200, 'q'));
    char buf[80];
    ASSERT_TRUE(block.GetBoundary(buf, sizeof buf));
    EXPECT_EQ(std::string(buf), "--" + std::string(77, 'q'));

    char small[6] = "xxxxx";
    ASSERT_TRUE(block.GetBoundary(small, 5));
    EXPECT_STREQ(small, "--qq");
    EXPECT_EQ(small[5], '\0') << "nothing written past the given size";
    EXPECT_TRUE(block.GetBoundary(nullptr, 0));
}

class HeaderBlockFileTest : public ::testing::Test {
protected:
    test::TempDir m_dir;
};

TEST_F(HeaderBlockFileTest, ReadFileStopsAtTheFirstEmptyLine)
{
    const std::string path = m_dir.WriteFile("QM000001.msg", "From: a@example.com\r\n"
                                                             "Subject: =?ISO-8859-1?Q?Caf=E9?=\r\n"
                                                             "\t=?ISO-8859-1?Q?_au_lait?=\r\n"
                                                             "To: b@example.com\n"
                                                             "\r\n"
                                                             "X-Body: not a header\r\n");
    const HeaderBlock block = HeaderBlock::ReadFile(path.c_str());
    EXPECT_EQ(ItemsOf(block),
              (Items{{"From", "a@example.com"}, {"Subject", "Caf\xC3\xA9 au lait"}, {"To", "b@example.com"}}));
}

TEST_F(HeaderBlockFileTest, ReadFileCutsLongLinesWithoutMakingHeadersOfTheirRest)
{
    // The rest of a long line must not come back as a line of its own ("Bcc: x" here).
    const std::string longLine = "Subject: " + std::string(4100, 's') + "Bcc: x";
    const std::string path = m_dir.WriteFile("long.msg", longLine + "\r\nTo: b\r\n\r\n");
    const HeaderBlock block = HeaderBlock::ReadFile(path.c_str());
    ASSERT_EQ(block.Count(), 2);
    EXPECT_EQ(std::string(block.GetValue("Subject")), std::string(4095 - 9, 's'));
    EXPECT_STREQ(block.GetValue("To"), "b");
    EXPECT_FALSE(block.Contains("Bcc"));
}

TEST_F(HeaderBlockFileTest, ReadFileOfAMissingFileGivesAnEmptyBlock)
{
    EXPECT_EQ(HeaderBlock::ReadFile(m_dir.PathOf("missing.msg").c_str()).Count(), 0);
    EXPECT_EQ(HeaderBlock::ReadFile(nullptr).Count(), 0);
    EXPECT_EQ(HeaderBlock::ReadFile("").Count(), 0);
}

TEST(HeaderBlockTest, MovedBlockKeepsItsCurrentHeader)
{
    HeaderBlock block;
    block.AddLine("Subject: one");
    HeaderBlock moved(std::move(block));
    moved.AddLine(" two");
    EXPECT_STREQ(moved.GetValue("Subject"), "one two");

    HeaderBlock assigned;
    assigned = std::move(moved);
    assigned.AddLine(" three");
    EXPECT_STREQ(assigned.GetValue("Subject"), "one two three");
}

} // namespace
} // namespace qm::store
