#include "common/StringList.h"

#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qm {
namespace {

std::vector<std::string> Items(const StringList& list)
{
    std::vector<std::string> items;
    for (int i = 0; i < list.Count(); ++i) {
        items.emplace_back(list.Item(i));
    }
    return items;
}

class StringListFileTest : public ::testing::Test {
protected:
    std::string PathOf(const char* name) const { return m_dir.PathOf(name); }

    std::string WriteFile(const char* name, const std::string& bytes) const { return m_dir.WriteFile(name, bytes); }

    static std::string ReadFile(const std::string& path) { return test::TempDir::ReadFile(path); }

    test::TempDir m_dir;
};

TEST(StringListTest, AddReplaceAndSearch)
{
    StringList list;
    EXPECT_EQ(list.Add("abc"), 1);
    EXPECT_EQ(list.Add("Def"), 2);
    EXPECT_EQ(list.Add(nullptr), 3);
    EXPECT_EQ(list.IndexOf("ABC"), 0);
    EXPECT_EQ(list.IndexOf("def"), 1);
    EXPECT_EQ(list.IndexOf(""), 2);
    EXPECT_EQ(list.IndexOf("ab"), -1);
    EXPECT_TRUE(list.Contains("DEF"));
    EXPECT_FALSE(list.Contains("x"));

    list.Replace(1, "xyz");
    list.Replace(-1, "ignored");
    list.Replace(3, "ignored");
    EXPECT_EQ(Items(list), (std::vector<std::string>{"abc", "xyz", ""}));

    // Replacing an item with its own text, or a part of it, is safe.
    list.Replace(0, list.Item(0));
    list.Replace(1, list.Item(1) + 1);
    EXPECT_EQ(Items(list), (std::vector<std::string>{"abc", "yz", ""}));

    list.Clear();
    EXPECT_EQ(list.Count(), 0);
}

TEST(StringListTest, SortFoldsToLowerCase)
{
    StringList list;
    for (const char* s : {"b", "A", "_x", "a", "B", "[", "\xE9"}) {
        list.Add(s);
    }
    list.Sort();
    // '[' (91) and '_' (95) sort before the letters once they are folded to lower case (97..122);
    // equal strings keep their order; bytes above 127 come last.
    EXPECT_EQ(Items(list), (std::vector<std::string>{"[", "_x", "A", "a", "b", "B", "\xE9"}));
}

TEST_F(StringListFileTest, SaveWritesCrLfAndLoadReadsItBack)
{
    StringList list;
    for (const char* s : {"first", "", "  spaced  ", "\xC3\xA9t\xC3\xA9", "last"}) {
        list.Add(s);
    }
    const std::string path = PathOf("words.txt");
    ASSERT_TRUE(list.Save(path.c_str()));
    EXPECT_EQ(ReadFile(path), "first\r\n\r\n  spaced  \r\n\xC3\xA9t\xC3\xA9\r\nlast\r\n");

    StringList loaded;
    ASSERT_TRUE(loaded.Load(path.c_str()));
    EXPECT_EQ(Items(loaded), Items(list));

    // Load appends to what the list holds.
    ASSERT_TRUE(loaded.Load(path.c_str()));
    EXPECT_EQ(loaded.Count(), 2 * list.Count());
}

TEST_F(StringListFileTest, LoadAcceptsEveryLineEnd)
{
    struct Case {
        const char* Name;
        std::string Bytes;
        std::vector<std::string> Want;
    };

    const std::vector<Case> cases = {
            {"crlf", "a\r\nb\r\n", {"a", "b"}},        {"lf", "a\nb\n", {"a", "b"}},
            {"no final line end", "a\nb", {"a", "b"}}, {"blank lines", "\n\r\n\n", {"", "", ""}},
            {"inner cr", "a\rb\n", {"a\rb"}},          {"empty file", "", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        StringList list;
        ASSERT_TRUE(list.Load(WriteFile("in.txt", c.Bytes).c_str()));
        EXPECT_EQ(Items(list), c.Want);
    }
}

TEST_F(StringListFileTest, LongLinesArriveInPiecesWithoutSpuriousItems)
{
    const std::string l254(254, 'a');
    const std::string l255(255, 'b');
    const std::string l256(256, 'c');

    struct Case {
        const char* Name;
        std::string Bytes;
        std::vector<std::string> Want;
    };

    const std::vector<Case> cases = {
            // The CR ends the first 255-byte piece and the LF is a piece of its own: still one line end.
            {"254 + CR LF", l254 + "\r\nnext\r\n", {l254, "next"}},
            {"255 + LF", l255 + "\nnext\n", {l255, "next"}},
            {"255 + CR LF", l255 + "\r\nnext\r\n", {l255, "next"}},
            {"256 + CR LF", l256 + "\r\n", {l256.substr(0, 255), "c"}},
            {"510 + LF", l255 + l255 + "\n", {l255, l255}},
            {"254 + CR LF + empty line", l254 + "\r\n\r\nx\r\n", {l254, "", "x"}},
            {"255 + LF at end of file", l255 + "\n", {l255}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        StringList list;
        ASSERT_TRUE(list.Load(WriteFile("long.txt", c.Bytes).c_str()));
        EXPECT_EQ(Items(list), c.Want);
    }

    // Items of 254 and 255 bytes survive a save and load.
    StringList list;
    list.Add(l254.c_str());
    list.Add(l255.c_str());
    list.Add("tail");
    const std::string path = PathOf("round.txt");
    ASSERT_TRUE(list.Save(path.c_str()));
    StringList loaded;
    ASSERT_TRUE(loaded.Load(path.c_str()));
    EXPECT_EQ(Items(loaded), Items(list));
}

TEST_F(StringListFileTest, MissingFileAndUnwritablePathFail)
{
    StringList list;
    list.Add("kept");
    EXPECT_FALSE(list.Load(PathOf("missing.txt").c_str()));
    EXPECT_EQ(list.Count(), 1);
    EXPECT_FALSE(list.Save(PathOf("no-such-dir/out.txt").c_str()));
    EXPECT_FALSE(list.Load(nullptr));
}

} // namespace
} // namespace qm
