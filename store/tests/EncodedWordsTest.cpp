#include "store/EncodedWords.h"

#include "platform/Charset.h"
#include "store/MailCharset.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

namespace qm::store {
namespace {

// Shows the bytes of a text, control and 8-bit bytes as \xNN, for failure messages.
std::string Shown(const std::string& s)
{
    std::string out;
    for (char c : s) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b >= 0x7F) {
            static constexpr char kHex[] = "0123456789ABCDEF";
            out += "\\x";
            out += kHex[b >> 4];
            out += kHex[b & 15];
        } else {
            out += c;
        }
    }
    return out;
}

TEST(EncodedWordsTest, DecodesWordsIntoUtf8)
{
    struct Case {
        std::string In;
        std::string Want;
    };

    const Case cases[] = {
            // Q and B, any case of the letter, converted from their charsets.
            {"=?ISO-8859-1?Q?Caf=E9_au_lait?=", "Caf\xC3\xA9 au lait"},
            {"=?iso-8859-1?q?a=3db?=", "a=b"},
            {"=?UTF-8?B?Q2Fmw6k=?=", "Caf\xC3\xA9"},
            {"=?utf-8?b?Q2Fmw6k=?=", "Caf\xC3\xA9"},
            {"=?KOI8-R?Q?=F0=D2?=", "\xD0\x9F\xD1\x80"},
            {"=?UTF-8?Q?=E4=BA=9C?=", "\xE4\xBA\x9C"},
            {"=?Shift_JIS?B?iJ8=?=", "\xE4\xBA\x9C"},
            {"=?UTF-16BE?B?AGEAYg==?=", "ab"},
            {"=?ISO-8859-15?Q?=A4?=", "\xE2\x82\xAC"},
            {"=?ISO-8859-1*fr?Q?=E9?=", "\xC3\xA9"}, // an RFC 2231 language suffix
            // Windows-1252, and ISO-8859-1 and US-ASCII read as it (what mail labelled so holds).
            {"=?windows-1252?Q?=80_5?=", "\xE2\x82\xAC 5"},
            {"=?ISO-8859-1?Q?=80=93?=", "\xE2\x82\xAC\xE2\x80\x9C"},
            {"=?us-ascii?Q?=E9?=", "\xC3\xA9"},
            {"=?windows-1252?Q?=81?=", "\xC2\x81"}, // unassigned: the C1 control of ISO-8859-1
            // An unknown charset, or bytes not valid in the declared one: UTF-8 stays, other bytes are Windows-1252.
            {"=?x-unknown?Q?caf=E9?=", "caf\xC3\xA9"},
            {"=?x-unknown?Q?caf=C3=A9?=", "caf\xC3\xA9"},
            {"=?UTF-8?Q?caf=E9_ok=C3=A9?=", "caf\xC3\xA9 ok\xC3\xA9"},
            {"=?KOI8-R/x?Q?=E9?=", "=?KOI8-R/x?Q?=E9?="}, // not a word: '/' ends the charset
            {"=?ISO-2022-KR?Q?=1B$)C=0E=FF?=", "\x1B$)C\x0E\xC3\xBF"},
            // Broken base64: decoded as far as it goes; a character it cuts off is read as Windows-1252.
            {"=?UTF-8?B?Q2Fmw6k?=", "Caf\xC3\xA9"},
            {"=?UTF-8?B?w6?=", "\xC3\x83"},
            {"=?UTF-8?B?Q2F*mw6k=?=", "Ca"},
            // Text around words stays; words need no blank around them.
            {"Re: =?a?Q?x?=!", "Re: x!"},
            {"abc=?a?Q?x?=def", "abcxdef"},
            {"=?a?Q?x?= and =?a?Q?y?=", "x and y"},
            // Raw 8-bit text: UTF-8 stays, other bytes are read as Windows-1252.
            {"Caf\xE9 =?UTF-8?Q?cr=C3=A8me?=", "Caf\xC3\xA9 cr\xC3\xA8me"},
            {"Caf\xE9 \x80", "Caf\xC3\xA9 \xE2\x82\xAC"},
            {"Jos\xC3\xA9", "Jos\xC3\xA9"},
            // White space between adjacent words goes, also when it mends a character split across two words.
            {"=?a?Q?x?= =?a?Q?y?=", "xy"},
            {"=?a?Q?x?= \t  =?a?Q?y?= z", "xy z"},
            {"=?UTF-8?Q?=C3?= =?UTF-8?Q?=A9?=", "\xC3\xA9"},
            {"=?UTF-8?B?4oI=?= =?utf-8?B?rA==?=", "\xE2\x82\xAC"},
            {"=?UTF-8?Q?=E2?==?UTF-8?Q?=82?==?UTF-8?Q?=AC?=", "\xE2\x82\xAC"},
            {"=?UTF-16BE?Q?=00?= =?UTF-16BE?Q?a?=", "a"},
            {"=?a?Q?x?==?a?Q?y?=", "xy"},
            // A cut-off character is not mended by a word of another charset, nor across text.
            {"=?UTF-8?Q?=C3?= =?ISO-8859-1?Q?=A9?=", "\xC3\x83\xC2\xA9"},
            {"=?UTF-8?Q?=C3?= x =?UTF-8?Q?=A9?=", "\xC3\x83 x \xC2\xA9"},
            // Q: "=" without two hex digits stays as it is.
            {"=?a?Q?50=_off=4?=", "50= off=4"},
            {"=?a?Q?x=G1=?=", "x=G1="},
            // Decoded bytes are exact, control bytes included; only NUL becomes a blank.
            {"=?x?Q?a=0Ab=01c=0D=09?=", "a\nb\x01"
                                        "c\r\t"},
            {"=?x?Q?a=00b?=", "a b"},
            {"=?x?B?YQBi?=", "a b"},
            {"=?UTF-16BE?B?AAA=?=", " "},
            // B stops at the first byte outside the alphabet.
            {"=?a?B?YW*i?=", "a"},
            {"=?a?Q?"
             "?=",
             ""}, // an empty word
            // Decoded bytes are not decoded again.
            {"=?a?Q?=3D=3Fa=3FQ=3Fx=3F=3D?=", "=?a?Q?x?="},
            // Malformed words stay as they are; the search goes on after their "=?".
            {"=?x?X?abc?=", "=?x?X?abc?="},
            {"=?bad", "=?bad"},
            {"=?a?Q?abc", "=?a?Q?abc"},
            {"=?a?QQ?abc?=", "=?a?QQ?abc?="},
            {"=?a?", "=?a?"},
            {"=?a?Q", "=?a?Q"},
            {"=?iso.8859-1?Q?x?=", "=?iso.8859-1?Q?x?="},
            {"=?a(b?Q?x?=", "=?a(b?Q?x?="},
            {"=?bad =?a?Q?ok?=", "=?bad ok"},
            {"=?a?Q?x?= =?bad?= =?a?Q?y?=", "x =?bad?= y"},
            {"=?", "=?"},
            {"", ""},
            // JIS becomes UTF-8: through the converter, or by the byte rule and the vendor Shift-JIS set where the
            // converter cannot (the NEC row 13 circled one is not JIS X 0208).
            {"=?ISO-2022-JP?B?GyRCMCEbKEI=?=", "\xE4\xBA\x9C"},
            {"=?iso-2022-jp?Q?=1B$B0!=1B(B?=", "\xE4\xBA\x9C"},
            {"=?ISO-2022-JP-2?B?GyRCMCEbKEI=?=", "\xE4\xBA\x9C"},
            {"=?ISO-2022-JP*ja?B?GyRCMCEbKEI=?=", "\xE4\xBA\x9C"},
            {"=?ISO-2022-JP?B?GyRCMCE=?=", "\xE4\xBA\x9C"},
            {"=?ISO-2022-JP?B?GyRCLSEbKEI=?=", "\xE2\x91\xA0"},
            {"=?ISO-2022-JPx?B?GyRCMCEbKEI=?=", "\xE4\xBA\x9C"},
            // Without a word, JIS text (ESC '$' and later ESC '(') is converted as a whole; anything else stays.
            {"Subj \x1B$B0!\x1B(B end", "Subj \xE4\xBA\x9C end"},
            {"only \x1B$B0!", "only \x1B$B0!"},
            {"plain text", "plain text"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("input: " + Shown(c.In));
        std::string text = c.In;
        DecodeEncodedWords(text);
        EXPECT_EQ(text, c.Want) << "got " << Shown(text) << ", want " << Shown(c.Want);
        EXPECT_TRUE(IsUtf8(text)) << "not UTF-8: " << Shown(text);
    }
}

TEST(EncodedWordsTest, ReportsWordsAtTheStartAndTheEnd)
{
    struct Case {
        const char* In;
        bool Decoded;
        bool Starts;
        bool Ends;
    };

    const Case cases[] = {
            {"=?a?Q?x?=", true, true, true},      {"  =?a?Q?x?=", true, true, true},
            {"a =?a?Q?x?=", true, false, true},   {"=?a?Q?x?= b", true, true, false},
            {"=?a?Q?x?= ", true, true, false},    {"=?a?Q?x?= =?bad", true, true, false},
            {"=?x?X?abc?=", false, false, false}, {"plain", false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.In);
        std::string text = c.In;
        const EncodedWordScan scan = DecodeEncodedWords(text);
        EXPECT_EQ(scan.Decoded, c.Decoded);
        EXPECT_EQ(scan.StartsWithEncodedWord, c.Starts);
        EXPECT_EQ(scan.EndsWithEncodedWord, c.Ends);
    }
}

TEST(EncodedWordsTest, JisToShiftJisMapsPairsAndNeverReadsPastTheEnd)
{
    struct Case {
        std::string In;
        std::string Want;
    };

    const Case cases[] = {
            {"\x1B$B\x30\x21\x1B(B", "\x88\x9F"},
            {"a\x1B$B\x30\x21\x1B(Bb", "a\x88\x9F"
                                       "b"},
            // Odd first byte: second byte + 31, or + 32 from 96 on; first bytes from 95 on take + 176.
            {"\x1B$B\x21\x60", "\x81\x80"},
            {"\x1B$B\x21\x5F", "\x81\x7E"},
            {"\x1B$B\x5F\x21", "\xE0\x40"},
            {"\x1B$B\x74\x26", "\xEA\xA4"},
            // ESC 'K' turns kanji mode on, ESC with any other byte off.
            {"\x1BK\x30\x21", "\x88\x9F"},
            {"\x1B$B\x1Bx\x30\x21", "\x30\x21"},
            // CR and LF turn it off.
            {"\x1B$B\x30\x21\n\x30\x21", "\x88\x9F\n\x30\x21"},
            {"\x1B$B\r\x30\x21", "\r\x30\x21"},
            // Cut-off escapes and an odd last byte: dropped or copied, never read past.
            {"abc\x1B", "abc"},
            {"abc\x1B$", "abc"},
            {"abc\x1B$B", "abc"},
            {"abc\x1B(", "abc"},
            {"\x1B$B\x30", "\x30"},
            {"\x1B$B\x30\x21\x30", "\x88\x9F\x30"},
            // Only pairs of JIS bytes are mapped; other bytes are copied.
            {"\x1B$B\xA4\xA2", "\xA4\xA2"},
            {"\x1B$B \x30\x21", " \x88\x9F"},
            {std::string("\x1B$B\x30\0\x21", 6), std::string("\x30\0\x21", 3)},
            {"", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("input: " + Shown(c.In));
        std::string text = c.In;
        JisToShiftJis(text);
        EXPECT_EQ(text, c.Want) << "got " << Shown(text) << ", want " << Shown(c.Want);

        // The NUL-terminated form gives the same up to the first NUL, on a buffer that is exactly as long.
        const std::string upToNul = c.In.substr(0, c.In.find('\0'));
        auto buf = std::make_unique<char[]>(upToNul.size() + 1);
        std::copy(upToNul.begin(), upToNul.end(), buf.get());
        buf[upToNul.size()] = '\0';
        JisToShiftJis(buf.get());
        std::string fromBuf = upToNul;
        JisToShiftJis(fromBuf);
        EXPECT_EQ(std::string(buf.get()), fromBuf);
    }
    JisToShiftJis(static_cast<char*>(nullptr));
}

TEST(EncodedWordsTest, JisToShiftJisCarriesKanjiModeAcrossCalls)
{
    bool kanjiMode = false;
    std::string first = "a\x1B$B\x30\x21";
    first.resize(JisToShiftJis(first.data(), first.size(), kanjiMode));
    EXPECT_EQ(first, "a\x88\x9F");
    EXPECT_TRUE(kanjiMode);

    std::string second = "\x30\x21\x1B(Bz";
    second.resize(JisToShiftJis(second.data(), second.size(), kanjiMode));
    EXPECT_EQ(second, "\x88\x9F"
                      "z");
    EXPECT_FALSE(kanjiMode);
}

TEST(EncodedWordsTest, ByteRuleAgreesWithTheConverterOnEveryJisCharacter)
{
    // Every JIS X 0208 character that the C library converts must come out of the byte rule the same way.
    int compared = 0;
    for (int j1 = 0x21; j1 <= 0x7E; ++j1) {
        for (int j2 = 0x21; j2 <= 0x7E; ++j2) {
            const std::string jis = std::string("\x1B$B") + static_cast<char>(j1) + static_cast<char>(j2) + "\x1B(B";
            std::string want;
            if (!ConvertCharset("ISO-2022-JP", "SHIFT_JIS", jis, want)) {
                continue; // unassigned code, or outside the converter's table
            }
            std::string got = jis;
            JisToShiftJis(got);
            ASSERT_EQ(got, want) << "JIS " << std::hex << j1 << " " << j2;
            ++compared;
        }
    }
    // JIS X 0208 has 6879 characters.
    EXPECT_GE(compared, 6879);
}

} // namespace
} // namespace qm::store
