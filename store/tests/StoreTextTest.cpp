#include "store/StoreText.h"

#include "platform/IniFile.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qm::store {
namespace {

// Every value an INI reader can return comes back the same through IniValueAsRead.
TEST(StoreTextTest, IniValueAsReadReadsBackAsTheValue)
{
    for (const std::string value :
         {"", "plain", "a b", " lead", "trail\t", "\"quoted\"", "\"", "\"open", "close\"", "\" both \"", "  \"\"  "}) {
        SCOPED_TRACE("value [" + value + "]");
        const platform::IniDocument doc = platform::IniDocument::Parse("[S]\r\nk=" + IniValueAsRead(value) + "\r\n");
        EXPECT_EQ(doc.Get("S", "k"), value);
    }
    EXPECT_EQ(IniValueAsRead("Y S C \"a\" \"F\""), "Y S C \"a\" \"F\"") << "kept as it is when it needs no quotes";
}

TEST(StoreTextTest, CleaningReplacesEveryByteBelowBlank)
{
    std::string all;
    for (int b = 0; b < 256; ++b) {
        all.push_back(static_cast<char>(b));
    }
    const std::string cleaned = CleanedRecordValue(all);
    ASSERT_EQ(cleaned.size(), 256u);
    for (int b = 0; b < 256; ++b) {
        const char want = b < 0x20 ? ' ' : static_cast<char>(b);
        EXPECT_EQ(cleaned[static_cast<std::size_t>(b)], want) << "byte " << b;
    }

    char text[] = "a\tb\rc\nd\x01"
                  "e\x1F"
                  "f\x7F\xE9";
    CleanRecordValue(text);
    EXPECT_STREQ(text, "a b c d e f\x7F\xE9");
    CleanRecordValue(static_cast<char*>(nullptr));

    std::string record = "x\x01";
    AppendRecordField(record,
                      "evil\x01"
                      "1\r\n",
                      '\x01');
    EXPECT_EQ(record, "x\x01"
                      "evil 1  \x01");
}

class LineReaderTest : public ::testing::Test {
protected:
    // Every line of bytes as the reader gives it, with maxLength, and whether each was cut.
    std::vector<std::string> Lines(const std::string& bytes, std::size_t maxLength = std::string::npos,
                                   std::vector<bool>* cuts = nullptr)
    {
        const std::string path = m_dir.WriteFile("lines.txt", bytes);
        FilePtr file = OpenFile(path.c_str(), "rb");
        EXPECT_TRUE(file);
        LineReader reader(file.get());
        std::vector<std::string> lines;
        std::string line;
        while (reader.Next(line, maxLength)) {
            lines.push_back(line);
            if (cuts != nullptr) {
                cuts->push_back(reader.Cut());
            }
        }
        EXPECT_FALSE(reader.Failed());
        return lines;
    }

    test::TempDir m_dir;
};

using LineList = std::vector<std::string>;

TEST_F(LineReaderTest, ReadsCrLfAndBareLfLinesWithAnyBytes)
{
    EXPECT_EQ(Lines("a\r\nb\n\r\nc"), (LineList{"a", "b", "", "c"}));
    EXPECT_EQ(Lines("a\rb\r\n"), (LineList{"a\rb"})) << "a CR inside a line stays";
    EXPECT_EQ(Lines("a\r\r\n"), (LineList{"a\r"})) << "only one CR belongs to the line end";
    EXPECT_EQ(Lines(std::string("a\0b\n", 4)), (LineList{std::string("a\0b", 3)}));
    EXPECT_EQ(Lines(""), LineList{});
    EXPECT_EQ(Lines("\n"), (LineList{""}));
}

TEST_F(LineReaderTest, ReadsWholeLinesAcrossItsBuffer)
{
    const std::string big(20000, 'x');
    EXPECT_EQ(Lines(big + "\r\n" + big + "y\n"), (LineList{big, big + "y"}));
    // A CR LF split between two reads of the buffer.
    const std::string edge(8191, 'e');
    EXPECT_EQ(Lines(edge + "\r\nz"), (LineList{edge, "z"}));
}

TEST_F(LineReaderTest, CutsLongLinesAndSkipsTheirRest)
{
    std::vector<bool> cuts;
    EXPECT_EQ(Lines("12345\r\n123456\r\n1234\r\n", 5, &cuts), (LineList{"12345", "12345", "1234"}));
    EXPECT_EQ(cuts, (std::vector<bool>{false, true, false}));

    // The limit falls right before the CR of the line end: not a cut line.
    cuts.clear();
    EXPECT_EQ(Lines("abc\r\nabc\rd\n", 3, &cuts), (LineList{"abc", "abc"}));
    EXPECT_EQ(cuts, (std::vector<bool>{false, true}));

    cuts.clear();
    const std::string big(30000, 'x');
    EXPECT_EQ(Lines(big + "\nnext", 4095, &cuts), (LineList{std::string(4095, 'x'), "next"}));
    EXPECT_EQ(cuts, (std::vector<bool>{true, false}));
}

TEST_F(LineReaderTest, OpenFileRefusesEmptyPaths)
{
    EXPECT_FALSE(OpenFile(nullptr, "rb"));
    EXPECT_FALSE(OpenFile("", "rb"));
    EXPECT_FALSE(OpenFile(m_dir.PathOf("missing").c_str(), "rb"));
    EXPECT_FALSE(WriteWholeFile(m_dir.PathOf("no/such/dir/file").c_str(), "x"));
    EXPECT_FALSE(WriteWholeFile(nullptr, "x"));
    ASSERT_TRUE(WriteWholeFile(m_dir.PathOf("f").c_str(), std::string("a\0b", 3)));
    EXPECT_EQ(test::TempDir::ReadFile(m_dir.PathOf("f")), std::string("a\0b", 3));
}

} // namespace
} // namespace qm::store
