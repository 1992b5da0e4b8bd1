#include "platform/Charset.h"

#include <gtest/gtest.h>

#include <string>

namespace qm {
namespace {

TEST(CharsetTest, ConvertsBetweenKnownCharsets)
{
    struct Case {
        const char* From;
        const char* To;
        std::string Input;
        std::string Want;
    };

    const Case cases[] = {
            {"ISO-8859-1", "UTF-8", "Caf\xE9", "Caf\xC3\xA9"},
            {"UTF-8", "ISO-8859-1", "Caf\xC3\xA9", "Caf\xE9"},
            // JIS X 0208 "0!" is the first kanji, 0x88 0x9F in Shift-JIS; the escapes go.
            {"ISO-2022-JP", "SHIFT_JIS", "a\x1B$B0!\x1B(Bb",
             "a\x88\x9F"
             "b"},
            {"iso-2022-jp", "shift_jis", "", ""},
            // A stateful target gets its final shift back to ASCII.
            {"SHIFT_JIS", "ISO-2022-JP", "\x88\x9F", "\x1B$B0!\x1B(B"},
            // Embedded NUL bytes are data.
            {"UTF-8", "ISO-8859-1", std::string("a\0b", 3), std::string("a\0b", 3)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.From) + " -> " + c.To + ": " + c.Input);
        std::string out = "junk";
        ASSERT_TRUE(ConvertCharset(c.From, c.To, c.Input, out));
        EXPECT_EQ(out, c.Want);
    }
}

TEST(CharsetTest, ConvertsLongInputThatOutgrowsTheFirstBuffer)
{
    // Every Latin-1 byte above 127 takes two bytes in UTF-8, so the output needs more room than the input.
    const std::string input(10000, '\xE9');
    std::string out;
    ASSERT_TRUE(ConvertCharset("ISO-8859-1", "UTF-8", input, out));
    ASSERT_EQ(out.size(), 20000u);
    EXPECT_EQ(out.substr(0, 4), "\xC3\xA9\xC3\xA9");
}

TEST(CharsetTest, FailsOnUnknownNamesAndBadInput)
{
    struct Case {
        const char* From;
        const char* To;
        std::string Input;
    };

    const Case cases[] = {
            {"NO-SUCH-CHARSET", "UTF-8", "abc"},     {"UTF-8", "NO-SUCH-CHARSET", "abc"},
            {"UTF-8", "ISO-8859-1", "\xFF"},         // invalid input
            {"UTF-8", "ISO-8859-1", "\xC3"},         // cut-off sequence
            {"UTF-8", "ISO-8859-1", "\xE4\xBA\x9C"}, // no counterpart in Latin-1
            {"ISO-2022-JP", "SHIFT_JIS", "\x1B$B0"}, // half a pair
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.From) + " -> " + c.To);
        std::string out = "junk";
        EXPECT_FALSE(ConvertCharset(c.From, c.To, c.Input, out));
        EXPECT_EQ(out, "");
    }
}

} // namespace
} // namespace qm
