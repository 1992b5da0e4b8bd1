#include "store/PartIndex.h"

#include "common/IniAccess.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <tuple>

namespace qm::store {
namespace {

PartIndexEntry& AddPart(PartIndex& index, int part, std::uint32_t subPart, const char* type, int size = 100)
{
    PartIndexEntry& e = *index.NewEntry();
    e.Part = part;
    e.SubPart = subPart;
    e.ContentType = type;
    e.Size = size;
    return e;
}

// Every field of an entry, for comparing two entries in one go.
auto Fields(const PartIndexEntry& e)
{
    return std::make_tuple(e.Part, e.SubPart, e.FileName, e.ContentType, e.TransferEncoding, e.ContentId, e.Size,
                           e.Offset, e.LineCount, e.Charset, e.Attachment);
}

TEST(PartIndexTest, IsInlinePartFollowsTypeSizeAndPreference)
{
    PartIndex alternatives;
    const PartIndexEntry& plain = AddPart(alternatives, 1, 1, "text/plain");
    const PartIndexEntry& html = AddPart(alternatives, 1, 2, "TEXT/HTML");
    const PartIndexEntry& picture = AddPart(alternatives, 1, 3, "image/png");
    const PartIndexEntry& lonePlain = AddPart(alternatives, 2, 1, "text/plain");

    PartIndex parts;
    const PartIndexEntry& bigText = AddPart(parts, 1, 0, "text/plain", 30 * 1024);
    const PartIndexEntry& edgeText = AddPart(parts, 2, 0, "text/plain", 20 * 1024);
    const PartIndexEntry& report = AddPart(parts, 3, 0, "message/delivery-status");
    const PartIndexEntry& mdn = AddPart(parts, 4, 0, "Message/Report");
    const PartIndexEntry& pdf = AddPart(parts, 5, 0, "application/pdf");
    const PartIndexEntry& rfc822 = AddPart(parts, 6, 0, "message/rfc822");
    const PartIndexEntry& calendar = AddPart(parts, 7, 0, "Text/Calendar");
    PartIndexEntry& attachedText = AddPart(parts, 8, 0, "text/plain");
    attachedText.Attachment = true;
    PartIndexEntry& attachedHtml = AddPart(alternatives, 3, 1, "text/html");
    attachedHtml.Attachment = true;

    struct Case {
        const char* Name;
        const PartIndex& Index;
        const PartIndexEntry& Part;
        const char* Preferred;
        int MaxKB;
        bool Want;
    };

    const Case cases[] = {
            {"plain alternative, html preferred", alternatives, plain, "text/html", 20, false},
            {"html alternative, html preferred", alternatives, html, "text/html", 20, true},
            {"plain alternative, plain preferred", alternatives, plain, "text/plain", 20, true},
            {"html alternative, plain preferred", alternatives, html, "text/plain", 20, false},
            {"picture among alternatives", alternatives, picture, "text/html", 20, false},
            {"plain alternative without an html sibling", alternatives, lonePlain, "text/html", 20, true},
            {"30 KB text at the default", parts, bigText, "text/html", 20, false},
            {"30 KB text without a limit", parts, bigText, "text/html", 0, true},
            {"30 KB text with a negative limit", parts, bigText, "text/html", -1, true},
            {"exactly at the limit", parts, edgeText, "text/html", 20, true},
            {"delivery status", parts, report, "text/html", 20, true},
            {"report", parts, mdn, "text/html", 20, true},
            {"pdf", parts, pdf, "text/html", 20, false},
            {"attached message", parts, rfc822, "text/html", 20, false},
            {"any text type", parts, calendar, "text/html", 20, true},
            {"text sent as an attachment", parts, attachedText, "text/html", 0, false},
            {"preferred alternative sent as an attachment", alternatives, attachedHtml, "text/html", 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        EXPECT_EQ(c.Index.IsInlinePart(c.Part, c.Preferred, c.MaxKB), c.Want);
    }
}

class PartIndexIniTest : public ::testing::Test {
protected:
    void SetUp() override { SetMainIniPath(m_ini); }

    void TearDown() override { SetMainIniPath(""); }

    test::TempDir m_dir;
    std::string m_ini = m_dir.PathOf("Quillmail.ini");
};

TEST_F(PartIndexIniTest, IsInlinePartReadsTheSizeLimitFromTheMainIni)
{
    PartIndex parts;
    const PartIndexEntry& text = AddPart(parts, 1, 0, "text/plain", 30 * 1024);

    struct Case {
        const char* Ini; // null: no INI file
        bool Want;
    };

    const Case cases[] = {
            {nullptr, false},
            {"[General]\r\n", false},
            {"[General]\r\nMaxInlineAttachSize=0\r\n", true},
            {"[general]\r\nmaxinlineattachsize=30\r\n", true},
            {"[General]\r\nMaxInlineAttachSize=29\r\n", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Ini != nullptr ? c.Ini : "no INI");
        std::filesystem::remove(m_ini);
        if (c.Ini != nullptr) {
            m_dir.WriteFile("Quillmail.ini", c.Ini);
        }
        EXPECT_EQ(parts.IsInlinePart(text, "text/html"), c.Want);
    }
}

TEST(PartIndexTest, FindsByPartIdFileNameAndContentId)
{
    PartIndex index;
    AddPart(index, 1, 0, "text/plain").FileName = "ATT00001.txt";
    PartIndexEntry& second = AddPart(index, 1, 2, "image/png");
    second.FileName = "Logo.PNG";
    second.ContentId = "part1@example.com";
    AddPart(index, 12, 0, "text/plain");

    EXPECT_EQ(index.FindByPartId("1.2"), &second);
    EXPECT_EQ(index.FindByPartId("1.0"), &index.Item(0));
    EXPECT_EQ(index.FindByPartId("12.0"), &index.Item(2));
    for (const char* id : {"1.20", "01.2", "1.2 ", "1", "", "2.1"}) {
        EXPECT_EQ(index.FindByPartId(id), nullptr) << id;
    }
    EXPECT_EQ(index.FindByPartId(nullptr), nullptr);

    EXPECT_EQ(index.FindByFileName("logo.png"), &second);
    EXPECT_EQ(index.FindByFileName("logo"), nullptr);
    EXPECT_EQ(index.FindByContentId("PART1@EXAMPLE.COM"), &second);
    EXPECT_EQ(index.FindByContentId("<part1@example.com>"), nullptr);
}

class PartIndexFileTest : public ::testing::Test {
protected:
    test::TempDir m_dir;
};

TEST_F(PartIndexFileTest, WriteGivesTheFileFormatAndReadGivesItBack)
{
    PartIndex index;
    PartIndexEntry& first = AddPart(index, 1, 0, "text/plain", 1234);
    first.FileName = "ATT00001.txt";
    first.TransferEncoding = "7bit";
    first.Offset = 567;
    first.LineCount = 12;
    PartIndexEntry& second = AddPart(index, 2, 4000000000U, "application/pdf", -1);
    second.FileName = "report.pdf";
    second.TransferEncoding = "base64";
    second.ContentId = "id@x";
    second.Offset = 3000000000U; // past 2 GiB: written unsigned
    second.LineCount = 4294967295U;
    PartIndexEntry& third = AddPart(index, 3, 0, "text/plain", 5);
    third.Charset = "koi8-r"; // a text part's charset follows the nine fields
    PartIndexEntry& fourth = AddPart(index, 4, 0, "text/plain", 6);
    fourth.FileName = "agenda.txt";
    fourth.Attachment = true; // the disposition follows the charset, empty or not
    PartIndexEntry& fifth = AddPart(index, 5, 0, "text/plain", 7);
    fifth.Charset = "utf-8";
    fifth.Attachment = true;

    const std::string path = m_dir.PathOf("QM000001.att");
    ASSERT_TRUE(index.Write(path.c_str()));
    EXPECT_EQ(test::TempDir::ReadFile(path), "1\x01"
                                             "0\x01"
                                             "ATT00001.txt\x01"
                                             "text/plain\x01"
                                             "7bit\x01\x01"
                                             "1234\x01"
                                             "567\x01"
                                             "12\x01\r\n"
                                             "2\x01"
                                             "4000000000\x01"
                                             "report.pdf\x01"
                                             "application/pdf\x01"
                                             "base64\x01"
                                             "id@x\x01"
                                             "-1\x01"
                                             "3000000000\x01"
                                             "4294967295\x01\r\n"
                                             "3\x01"
                                             "0\x01\x01"
                                             "text/plain\x01\x01\x01"
                                             "5\x01"
                                             "0\x01"
                                             "0\x01"
                                             "koi8-r\x01\r\n"
                                             "4\x01"
                                             "0\x01"
                                             "agenda.txt\x01"
                                             "text/plain\x01\x01\x01"
                                             "6\x01"
                                             "0\x01"
                                             "0\x01\x01"
                                             "attachment\x01\r\n"
                                             "5\x01"
                                             "0\x01\x01"
                                             "text/plain\x01\x01\x01"
                                             "7\x01"
                                             "0\x01"
                                             "0\x01"
                                             "utf-8\x01"
                                             "attachment\x01\r\n");

    PartIndex back;
    ASSERT_TRUE(back.Read(path.c_str()));
    ASSERT_EQ(back.Count(), 5);
    EXPECT_EQ(Fields(back.Item(0)), Fields(first));
    EXPECT_EQ(Fields(back.Item(1)), Fields(second));
    EXPECT_EQ(Fields(back.Item(2)), Fields(third));
    EXPECT_EQ(Fields(back.Item(3)), Fields(fourth));
    EXPECT_EQ(Fields(back.Item(4)), Fields(fifth));
    EXPECT_EQ(back.Item(0).Charset, "");
    EXPECT_EQ(back.Item(2).Charset, "koi8-r");
    EXPECT_FALSE(back.Item(2).Attachment);
    EXPECT_TRUE(back.Item(3).Attachment);
}

TEST_F(PartIndexFileTest, WriteCleansAndCutsTextsSoThatNoneSplitsALine)
{
    PartIndex index;
    PartIndexEntry& e = AddPart(index, 1, 0, "text/plain");
    e.FileName = "a\x01"
                 "2\x01"
                 "evil\r\nname\t.txt";
    e.ContentId = std::string(100, 'c');
    AddPart(index, 2, 0, "text/html").FileName =
            "a" + std::string(61, 'x') +
            "\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC";

    const std::string path = m_dir.PathOf("QM000002.att");
    ASSERT_TRUE(index.Write(path.c_str()));
    PartIndex back;
    ASSERT_TRUE(back.Read(path.c_str()));
    ASSERT_EQ(back.Count(), 2);
    EXPECT_EQ(back.Item(0).FileName, "a 2 evil  name .txt");
    EXPECT_EQ(back.Item(0).ContentId, std::string(79, 'c'));
    EXPECT_EQ(back.Item(1).Part, 2);
    EXPECT_EQ(back.Item(1).ContentType, "text/html");
    // Cut to 79 bytes without splitting a character: 62 bytes and five euro signs (79 would cut the sixth).
    EXPECT_EQ(back.Item(1).FileName,
              "a" + std::string(61, 'x') + "\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC");
}

TEST_F(PartIndexFileTest, ReadSkipsShortLinesAndAcceptsOlderForms)
{
    const std::string path = m_dir.WriteFile("QM000003.att",
                                             // a short line: 7 separators
                                             "9\x01"
                                             "0\x01"
                                             "short\x01"
                                             "t\x01"
                                             "e\x01"
                                             "i\x01"
                                             "1\x01\r\n"
                                             // 8 separators: the line count ends at the line end; bare LF
                                             "1\x01"
                                             "0\x01"
                                             "a.txt\x01"
                                             "text/plain\x01"
                                             "7bit\x01\x01"
                                             "5\x01"
                                             "10\x01"
                                             "3\n"
                                             // signed numbers of older writers, and a text past 79 characters
                                             "2\x01"
                                             "-1\x01" +
                                                     std::string(90, 'n') +
                                                     "\x01"
                                                     "x/y\x01\x01\x01"
                                                     "99999999999\x01"
                                                     "-2147483648\x01"
                                                     "-1\x01\r\n"
                                                     "\r\n"
                                                     "garbage\r\n");
    PartIndex index;
    ASSERT_TRUE(index.Read(path.c_str()));
    ASSERT_EQ(index.Count(), 2);
    EXPECT_EQ(index.Item(0).FileName, "a.txt");
    EXPECT_EQ(index.Item(0).Offset, 10u);
    EXPECT_EQ(index.Item(0).LineCount, 3u);
    EXPECT_EQ(index.Item(1).SubPart, 4294967295u);
    EXPECT_EQ(index.Item(1).FileName, std::string(79, 'n'));
    EXPECT_EQ(index.Item(1).Size, 2147483647) << "held within int";
    EXPECT_EQ(index.Item(1).Offset, 2147483648u) << "an offset written signed past 2 GiB";
    EXPECT_EQ(index.Item(1).LineCount, 4294967295u);
}

TEST_F(PartIndexFileTest, ReadAndWriteFailWithoutAFile)
{
    PartIndex index;
    EXPECT_FALSE(index.Read(m_dir.PathOf("missing.att").c_str()));
    EXPECT_FALSE(index.Read(nullptr));
    EXPECT_EQ(index.Count(), 0);
    AddPart(index, 1, 0, "text/plain");
    EXPECT_FALSE(index.Write(m_dir.PathOf("no/such/dir/x.att").c_str()));
    EXPECT_FALSE(index.Write(""));
}

} // namespace
} // namespace qm::store
