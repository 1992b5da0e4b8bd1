// Decoding of RFC 2047 encoded words in header text into UTF-8, and the JIS (ISO-2022-JP) to Shift-JIS conversion.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qm::store {

/// What DecodeEncodedWords found.
struct EncodedWordScan {
    /// At least one encoded word was decoded.
    bool Decoded = false;
    /// The text begins with a decoded word (only white space before it).
    bool StartsWithEncodedWord = false;
    /// The text ends with a decoded word: nothing follows its "?=".
    bool EndsWithEncodedWord = false;
    /// The first word completed the character that the carry handed in had cut off: the caller's text must drop
    /// the carry's Shown bytes before this text is appended, without a blank.
    bool UsedCarry = false;
};

/// The bytes at the end of the last encoded word of a text that end inside a character (a UTF-8 character split
/// across two words on two folded lines), kept for the next piece of the same header.
struct EncodedWordCarry {
    std::string Charset;
    std::string Bytes;
    /// Bytes at the end of the decoded text that stand for Bytes meanwhile (read as undeclared text), so the text
    /// is whole even when no next piece comes.
    std::size_t Shown = 0;
};

/// Decodes, in place, every well-formed encoded word "=?charset?B?text?=" or "=?charset?Q?text?=" of text.
///
/// The charset runs from "=?" to the next of ( ) < > @ , ; : " / [ ] ? . = which must be '?'; one encoding letter
/// and '?' follow, and the encoded text runs to the next "?=". B (any case) is base64, Q (any case) gives a byte for
/// "=" and two hex digits, a blank for '_' and every other character as it is ("=" without two hex digits stays).
/// A word of any other shape or encoding is left as it is and the search goes on after its "=?". Decoded bytes are
/// not searched again. White space between two decoded words is dropped, so a character split across two words
/// comes out whole.
///
/// The result is UTF-8 (see AppendInUtf8 in MailCharset.h): every word is converted from its charset; adjacent
/// words of the same charset are joined where a character runs across them; text outside the words is read as
/// undeclared text (UTF-8 as it is, any other 8-bit byte as Windows-1252), and JIS text in it (ESC '$' and later
/// ESC '(') as ISO-2022-JP. A NUL becomes a blank (header values are NUL-terminated). Conversion can make the text
/// longer, at most threefold; whoever stores it applies the caps.
///
/// With carry non-null: on entry it is what the previous piece of the header left (see EncodedWordCarry), used
/// when this text begins with a word of the same charset (UsedCarry); on return it holds what this text leaves,
/// or is empty.
///
/// Decoded bytes may hold any other byte, CR, LF and 0x01 included: whoever writes them into a store record cleans
/// them first (CleanRecordValue).
EncodedWordScan DecodeEncodedWords(std::string& text, EncodedWordCarry* carry = nullptr);

/// In place: JIS to Shift-JIS by the JIS X 0208 byte rule. Kanji mode starts off; ESC '$' x turns it on and ESC '(' x
/// off (three bytes each), ESC 'K' on and ESC with any other byte off (two bytes each); every escape is dropped, and
/// an escape cut off by the end of the text is dropped as far as it goes. CR and LF turn the mode off. In kanji mode
/// a pair of bytes in 0x21..0x7E is mapped to its Shift-JIS pair; every other byte is copied. Never reads past the
/// text and never makes it longer.
void JisToShiftJis(std::string& text);

/// As above on a NUL-terminated string (null is ignored).
void JisToShiftJis(char* text);

/// As above on length bytes of text, with the kanji mode carried in and out (for text converted line by line).
/// Returns the new length.
std::size_t JisToShiftJis(char* text, std::size_t length, bool& kanjiMode);

} // namespace qm::store
