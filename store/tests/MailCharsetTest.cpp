#include "store/MailCharset.h"

#include <gtest/gtest.h>

#include <string>

namespace qm::store {
namespace {

TEST(MailCharsetTest, ConvertsMarkupOnlyThroughSetsThatKeepItAsItIs)
{
    struct Case {
        const char* Charset;
        std::string Html;
        bool Converts;
        std::string Want; // when it converts
    };

    const Case cases[] = {
            {"ISO-8859-1", "<p title=\"caf\xE9\">&amp; \x80</p>", true,
             "<p title=\"caf\xC3\xA9\">&amp; \xE2\x82\xAC</p>"},
            {"KOI8-R", "<b>\xF0\xD2</b>", true, "<b>\xD0\x9F\xD1\x80</b>"},
            {"CP932", "<i>\x88\x9F</i>", true, "<i>\xE4\xBA\x9C</i>"},
            {"Shift_JIS", "<i>\x88\x9F</i>", true, "<i>\xE4\xBA\x9C</i>"},
            {"GB18030", "<i>\xC4\xE3</i>", true, "<i>\xE4\xBD\xA0</i>"},
            {"ISO-8859-15*de", "<i>\xA4</i>", true, "<i>\xE2\x82\xAC</i>"},
            // Escaped text that the set would turn into markup, or markup it would swallow: refused.
            {"UTF-7", "&lt;p&gt;+ADw-script+AD4-alert(1)+ADw-/script+AD4-", false, ""},
            {"IBM037", "L\xA2\x83\x99\x89\x97\xA3n", false, ""},
            {"ISO-2022-KR", "<p title=\"\x1B$)C\x0E\">x</p>", false, ""},
            {"UTF-16BE", std::string("<p>\x00<</p>", 9), false, ""},
            // A lead byte that would take the markup after it as its second byte: the conversion fails.
            {"Shift_JIS", "<p title=\"\x88\">x</p>", false, ""},
            {"no-such-set", "<p>\xE9</p>", false, ""},
            {"KOI8-R/x", "<p>\xE9</p>", false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Charset + std::string(" ") + c.Html);
        std::string got;
        EXPECT_EQ(ConvertMarkup(c.Charset, "UTF-8", c.Html, got), c.Converts);
        EXPECT_EQ(got, c.Want);
        // What the page shows instead keeps every ASCII byte as it is.
        std::string shown;
        AppendMarkupInUtf8(shown, c.Html, c.Charset);
        EXPECT_TRUE(IsUtf8(shown));
        if (!c.Converts) {
            std::string ascii;
            for (char ch : c.Html) {
                if ((static_cast<unsigned char>(ch) & 0x80) == 0) {
                    ascii += ch;
                }
            }
            std::string shownAscii;
            for (char ch : shown) {
                if ((static_cast<unsigned char>(ch) & 0x80) == 0) {
                    shownAscii += ch;
                }
            }
            EXPECT_EQ(shownAscii, ascii);
        }
    }
    // To a page in another set: UTF-8 text to Latin-1, and a target that is not ASCII-based refused.
    std::string latin1;
    EXPECT_TRUE(ConvertMarkup("UTF-8", "ISO-8859-1", "<b>caf\xC3\xA9</b>", latin1));
    EXPECT_EQ(latin1, "<b>caf\xE9</b>");
    EXPECT_FALSE(ConvertMarkup("ISO-8859-1", "UTF-7", "<b>caf\xE9</b>", latin1));
}

} // namespace
} // namespace qm::store
