#include "common/StringUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace qm {
namespace {

// A heap buffer of exactly `size` bytes holding `text`, so that AddressSanitizer sees any write past it.
std::unique_ptr<char[]> Buffer(const std::string& text, std::size_t size)
{
    auto buf = std::make_unique<char[]>(size);
    std::memcpy(buf.get(), text.c_str(), std::min(size, text.size() + 1));
    return buf;
}

std::unique_ptr<char[]> Buffer(const std::string& text)
{
    return Buffer(text, text.size() + 1);
}

// Runs an in-place editor on a copy of `input` and returns the result.
template <class Edit>
std::string Edited(const std::string& input, Edit edit)
{
    auto buf = Buffer(input);
    edit(buf.get());
    return buf.get();
}

struct EditCase {
    const char* Input;
    const char* Want;
};

template <class Edit>
void CheckEdits(const std::vector<EditCase>& cases, Edit edit)
{
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("input '") + c.Input + "'");
        EXPECT_EQ(Edited(c.Input, edit), c.Want);
    }
}

TEST(StringUtilTest, CompareNoCaseFoldsToLowerCase)
{
    EXPECT_EQ(CompareNoCase("abc", "ABC"), 0);
    EXPECT_LT(CompareNoCase("_x", "A"), 0) << "'_' (95) sorts before the letters folded to lower case";
    EXPECT_LT(CompareNoCase("[", "a"), 0) << "'[' (91) against 'a' (97)";
    EXPECT_LT(CompareNoCase("ab", "abc"), 0);
    EXPECT_GT(CompareNoCase("abd", "ABC"), 0);
    EXPECT_GT(CompareNoCase("\xE9", "z"), 0) << "bytes compare unsigned";
    EXPECT_TRUE(EqualsNoCase("Content-Type", "content-TYPE"));
    EXPECT_FALSE(EqualsNoCase("abc", "abcd"));
    EXPECT_FALSE(EqualsNoCase("\xC0", "\xE0")) << "only ASCII letters fold";
    EXPECT_TRUE(StartsWithNoCase("Application/X-WWW-form", "application/x-www"));
    EXPECT_FALSE(StartsWithNoCase("app", "application"));
    EXPECT_TRUE(EndsWithNoCase("go.X", ".x"));
    EXPECT_FALSE(EndsWithNoCase("x", ".x"));
}

TEST(StringUtilTest, DupStringCopiesAndKeepsNull)
{
    EXPECT_EQ(DupString(nullptr), nullptr);
    const char original[] = "hello";
    auto copy = DupString(original);
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy.get(), "hello");
    EXPECT_NE(copy.get(), original);
    EXPECT_STREQ(DupString("").get(), "");
}

TEST(StringUtilTest, TrimSpaceRemovesBytesOneToThirtyTwoOnly)
{
    CheckEdits(
            {
                    {"  abc  ", "abc"},
                    {" \t\r\n\x01\x1F ", ""},
                    {"", ""},
                    {"a b", "a b"},
                    {"\xA0"
                     "abc\xA0",
                     "\xA0"
                     "abc\xA0"},
                    {"\x7F", "\x7F"},
            },
            TrimSpace);
    EXPECT_EQ(TrimSpace(nullptr), nullptr);
    EXPECT_EQ(TrimmedView(" \tkey \r\n"), "key");
    EXPECT_EQ(TrimmedView("   "), "");
    EXPECT_EQ(TrimmedView("\xFFx\xFF"), "\xFFx\xFF");
}

TEST(StringUtilTest, CutAndSplitReturnTheirPositions)
{
    auto buf = Buffer("key=value=more");
    char* rest = SplitAt(buf.get(), '=');
    EXPECT_STREQ(buf.get(), "key");
    ASSERT_NE(rest, nullptr);
    EXPECT_STREQ(rest, "value=more");

    auto none = Buffer("keyonly");
    EXPECT_EQ(SplitAt(none.get(), '='), nullptr);
    EXPECT_STREQ(none.get(), "keyonly");
    EXPECT_EQ(SplitAt(nullptr, '='), nullptr);

    auto path = Buffer("a/b/c");
    char* last = CutAtLast(path.get(), '/');
    EXPECT_EQ(last, path.get() + 3);
    EXPECT_STREQ(path.get(), "a/b");
    EXPECT_EQ(CutAtLast(path.get(), ':'), nullptr);

    char* first = CutAtFirst(path.get(), '/');
    EXPECT_EQ(first, path.get() + 1);
    EXPECT_STREQ(path.get(), "a");
}

TEST(StringUtilTest, DropThroughRemovesPrefixes)
{
    CheckEdits({{"a-b-c", "b-c"}, {"abc", "abc"}, {"-", ""}}, [](char* s) { DropThroughFirst(s, '-'); });
    CheckEdits({{"a-b-c", "c"}, {"abc", "abc"}, {"abc-", ""}}, [](char* s) { DropThroughLast(s, '-'); });
}

TEST(StringUtilTest, CharacterEdits)
{
    CheckEdits({{"a.b.c", "a_b_c"}, {"", ""}}, [](char* s) { ReplaceChar(s, '.', '_'); });
    CheckEdits({{"\"a\"b\"", "ab"}, {"\"\"", ""}, {"x", "x"}}, [](char* s) { RemoveChar(s, '"'); });
    CheckEdits({{"path/", "path"}, {"path//", "path/"}, {"path", "path"}, {"", ""}},
               [](char* s) { DropTrailingChar(s, '/'); });
    EXPECT_EQ(CountChar("a,b,,c", ','), 3u);
    EXPECT_EQ(CountChar("", ','), 0u);
    EXPECT_EQ(CountChar(nullptr, ','), 0u);
}

TEST(StringUtilTest, StripLineEndRemovesOneLineEnd)
{
    // A final LF goes, then a CR right before it; a CR anywhere else is data.
    const std::vector<EditCase> cases = {
            {"abc\r\n", "abc"}, {"abc\n", "abc"}, {"abc\r", "abc\r"}, {"a\rb", "a\rb"}, {"abc\n\n", "abc\n"},
            {"\r\n", ""},       {"\n", ""},       {"", ""},           {"abc", "abc"},   {"ab\r\r\n", "ab\r"},
    };
    CheckEdits(cases, [](char* s) { StripLineEnd(s); });
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("string form, input '") + c.Input + "'");
        std::string s = c.Input;
        StripLineEnd(s);
        EXPECT_EQ(s, c.Want);
    }
}

TEST(StringUtilTest, HexDigitValue)
{
    const std::string digits = "0123456789abcdefABCDEF";
    const int want[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 10, 11, 12, 13, 14, 15};
    for (std::size_t i = 0; i < digits.size(); ++i) {
        EXPECT_EQ(HexDigitValue(digits[i]), want[i]) << "digit " << digits[i];
    }
    for (char c : {'g', 'G', 'z', ' ', '\0', '/', ':', '@', '`', '\xFF'}) {
        EXPECT_EQ(HexDigitValue(c), 0) << "byte " << static_cast<int>(static_cast<unsigned char>(c));
        EXPECT_EQ(HexDigitOrMinusOne(c), -1) << "byte " << static_cast<int>(static_cast<unsigned char>(c));
    }
}

TEST(StringUtilTest, ParseDecimalReadsAsAtolAndSaturates)
{
    constexpr long long kMax = std::numeric_limits<long long>::max();
    const std::pair<const char*, long long> cases[] = {
            {"", 0},
            {"abc", 0},
            {"  \t42x7", 42},
            {"-17", -17},
            {"+5", 5},
            {"- 5", 0},
            {"1796256000", 1796256000}, // a date after 2038 stays whole
            {"9223372036854775807", kMax},
            {"9223372036854775808", kMax},
            {"99999999999999999999999", kMax},
            {"-99999999999999999999999", -kMax},
    };
    for (const auto& [text, want] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(ParseDecimal(text), want);
    }
    EXPECT_EQ(ParseDecimalInt("99999999999"), std::numeric_limits<int>::max());
    EXPECT_EQ(ParseDecimalInt("-99999999999"), std::numeric_limits<int>::min());
    EXPECT_EQ(ParseDecimalInt("-2147483648"), std::numeric_limits<int>::min());
}

TEST(StringUtilTest, FindNoCase)
{
    const char* hay = "Content-Type: Text/HTML";
    EXPECT_EQ(FindNoCase(hay, "text/html"), hay + 14);
    EXPECT_EQ(FindNoCase(hay, "CONTENT"), hay);
    EXPECT_EQ(FindNoCase(hay, ""), hay);
    const char* empty = "";
    EXPECT_EQ(FindNoCase(empty, ""), empty);
    EXPECT_EQ(FindNoCase(hay, "html!"), nullptr);
    EXPECT_EQ(FindNoCase("ab", "abc"), nullptr);
    EXPECT_EQ(FindNoCase(static_cast<const char*>(nullptr), "a"), nullptr);
    char writable[] = "xAbc";
    char* at = FindNoCase(writable, "ab");
    ASSERT_EQ(at, writable + 1);
    *at = 'Q';
    EXPECT_STREQ(writable, "xQbc");
}

struct ReplaceCase {
    const char* Input;
    const char* Pattern;
    const char* Replacement;
    std::size_t Size; // 0: exactly as large as the full result needs
    const char* Want;
    bool Complete;
};

TEST(StringUtilTest, ReplaceAllScansOnAfterEachReplacement)
{
    const std::vector<ReplaceCase> cases = {
            {"a\r\nb\r\n", "\r\n", "<BR>", 0, "a<BR>b<BR>", true},
            {"$DIR$\\x;$DIR$", "$DIR$", "/opt/q", 0, "/opt/q\\x;/opt/q", true},
            // A replacement that contains the pattern is not scanned again.
            {"aXb", "X", "XX", 0, "aXXb", true},
            {"aaa", "a", "aa", 0, "aaaaaa", true},
            {"abc", "", "zz", 0, "abc", true},
            {"abc", "b", "", 0, "ac", true},
            {"aBc", "b", "x", 0, "aBc", true},
            {"", "x", "y", 0, "", true},
            // Room for the first replacement only: the scan stops, the rest stays.
            {"x-x", "x", "yy", 5, "yy-x", false},
            {"x-x", "x", "yy", 4, "x-x", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("input '") + c.Input + "' pattern '" + c.Pattern + "'");
        std::string full = c.Input;
        ReplaceAll(full, c.Pattern, c.Replacement);
        const std::size_t size = c.Size != 0 ? c.Size : std::max(full.size(), std::strlen(c.Input)) + 1;
        auto buf = Buffer(c.Input, size);
        EXPECT_EQ(ReplaceAll(buf.get(), c.Pattern, c.Replacement, size), c.Complete);
        EXPECT_STREQ(buf.get(), c.Want);
        if (c.Complete) {
            EXPECT_EQ(full, c.Want) << "the string form agrees";
        }
    }
}

TEST(StringUtilTest, ReplaceAllNoCaseMatchesAnyCase)
{
    const std::vector<ReplaceCase> cases = {
            {"<$Name$> and <$NAME$>", "<$name$>", "Bob", 0, "Bob and Bob", true},
            {"AbAb", "ab", "abAB", 0, "abABabAB", true},
            {"abc", "", "x", 0, "abc", true},
            {"ab", "abc", "x", 0, "ab", true},
            // A buffer too small for the second replacement replaces only the first.
            {"X.X", "x", "long", 9, "long.X", false},
            {"X.X", "x", "long", 10, "long.long", true},
            // Shrinking always fits.
            {"AAAA", "aa", "b", 5, "bb", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("input '") + c.Input + "' pattern '" + c.Pattern + "'");
        std::string full = c.Input;
        ReplaceAllNoCase(full, c.Pattern, c.Replacement);
        const std::size_t size = c.Size != 0 ? c.Size : std::max(full.size(), std::strlen(c.Input)) + 1;
        auto buf = Buffer(c.Input, size);
        EXPECT_EQ(ReplaceAllNoCase(buf.get(), c.Pattern, c.Replacement, size), c.Complete);
        EXPECT_STREQ(buf.get(), c.Want);
        if (c.Complete) {
            EXPECT_EQ(full, c.Want) << "the string form agrees";
        }
    }
}

TEST(StringUtilTest, ReplaceFromLastChangesExtensionOrLastComponent)
{
    struct Case {
        const char* Input;
        char Ch;
        const char* Text;
        const char* Want;
    };

    const std::vector<Case> cases = {
            {"name.txt", '.', ".old", "name.old"},
            {"name", '.', ".old", "name.old"},
            {"a.b.c", '.', "", "a.b"},
            {"Logs\\Quillmail.log", '\\', "\\LOCKLOG.SEM", "Logs\\LOCKLOG.SEM"},
            {"/q/Logs/Quillmail.log", '/', "/LOCKLOG.SEM", "/q/Logs/LOCKLOG.SEM"},
            {"", '.', ".old", ".old"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("input '") + c.Input + "'");
        const std::size_t size = std::max(std::strlen(c.Input), std::strlen(c.Want)) + 1;
        auto buf = Buffer(c.Input, size);
        EXPECT_TRUE(ReplaceFromLast(buf.get(), c.Ch, c.Text, size));
        EXPECT_STREQ(buf.get(), c.Want);
        std::string s = c.Input;
        ReplaceFromLast(s, c.Ch, c.Text);
        EXPECT_EQ(s, c.Want);
    }

    auto tight = Buffer("name.txt", 9);
    EXPECT_FALSE(ReplaceFromLast(tight.get(), '.', ".older", 9));
    EXPECT_STREQ(tight.get(), "name.txt") << "a result that does not fit leaves the string alone";
    EXPECT_TRUE(ReplaceFromLast(tight.get(), '.', ".abc", 9));
    EXPECT_STREQ(tight.get(), "name.abc") << "a result of exactly the buffer size fits";
}

TEST(StringUtilTest, AppendCharIfMissing)
{
    auto buf = Buffer("dir", 5);
    EXPECT_TRUE(AppendCharIfMissing(buf.get(), '/', 5));
    EXPECT_STREQ(buf.get(), "dir/");
    EXPECT_TRUE(AppendCharIfMissing(buf.get(), '/', 5)) << "already there";
    EXPECT_STREQ(buf.get(), "dir/");
    EXPECT_FALSE(AppendCharIfMissing(buf.get(), '\\', 5)) << "no room for a fifth byte and the NUL";
    EXPECT_STREQ(buf.get(), "dir/");

    auto empty = Buffer("", 2);
    EXPECT_TRUE(AppendCharIfMissing(empty.get(), '\\', 2));
    EXPECT_STREQ(empty.get(), "\\");

    std::string s;
    AppendCharIfMissing(s, '/');
    AppendCharIfMissing(s, '/');
    EXPECT_EQ(s, "/");
}

struct AddressCase {
    const char* Input;
    const char* DisplayName;
    const char* Address;
};

TEST(StringUtilTest, ExtractDisplayNameAndAddress)
{
    const std::vector<AddressCase> cases = {
            {"\"John Doe\" <jd@x.com>", "John Doe", "jd@x.com"},
            {"John Doe <jd@x.com>", "John Doe", "jd@x.com"},
            {"jd@x.com (John Doe)", "John Doe", "jd@x.com"},
            {"<jd@x.com>", "jd@x.com", "jd@x.com"},
            {"  jd@x.com  ", "jd@x.com", "jd@x.com"},
            {"   ", "", ""},
            {"", "", ""},
            {" > >", "> >", ""},
            {"Doe <jd@x.com", "Doe", "jd@x.com"},
            {"jd@x.com (a) (b)", "a) (b", "jd@x.com"},
            {"jd@x.com (unclosed", "jd@x.com (unclosed", "jd@x.com (unclosed"},
            // Quoting is not parsed: a '<' inside quotes is taken as the address start.
            {"\"a<b\" <x@y>", "a", "b\" <x@y"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("input '") + c.Input + "'");
        EXPECT_EQ(Edited(c.Input, ExtractDisplayName), c.DisplayName);
        EXPECT_EQ(Edited(c.Input, ExtractAddress), c.Address);
    }
}

// Every prefix of a few inputs, each in a buffer of exactly its size: the editors must stay inside it.
TEST(StringUtilTest, EditorsStayInsideEveryTruncation)
{
    const std::string inputs[] = {"\"John Doe\" <jd@x.com> (c)", "a\r\n\r", "x(y)(z", " <a@b> "};
    for (const auto& input : inputs) {
        for (std::size_t n = 0; n <= input.size(); ++n) {
            const std::string piece = input.substr(0, n);
            SCOPED_TRACE("piece '" + piece + "'");
            Edited(piece, ExtractDisplayName);
            Edited(piece, ExtractAddress);
            Edited(piece, TrimSpace);
            Edited(piece, [](char* s) { StripLineEnd(s); });
            auto buf = Buffer(piece);
            EXPECT_TRUE(ReplaceAllNoCase(buf.get(), "(", "", piece.size() + 1));
            EXPECT_EQ(std::strchr(buf.get(), '('), nullptr);
        }
    }
}

} // namespace
} // namespace qm
