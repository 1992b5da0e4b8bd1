#include "store/EncodedWords.h"

#include "common/Scrambler.h"
#include "common/StringUtil.h"
#include "store/MailCharset.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace qm::store {

namespace {

// The characters that end the charset of an encoded word.
bool IsCharsetEnd(char c)
{
    return std::strchr("()<>@,;:\"/[]?.=", c) != nullptr && c != '\0';
}

bool IsHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// Linear white space: what may separate two encoded words (folding included).
bool AllWhiteSpace(std::string_view s)
{
    return std::all_of(s.begin(), s.end(), [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; });
}

std::string DecodeQ(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '=' && i + 2 < text.size() && IsHexDigit(text[i + 1]) && IsHexDigit(text[i + 2])) {
            out.push_back(static_cast<char>(HexDigitValue(text[i + 1]) * 16 + HexDigitValue(text[i + 2])));
            i += 2;
        } else if (c == '_') {
            out.push_back(' ');
        } else {
            out.push_back(c);
        }
    }
    return out;
}

// One encoded word found at a "=?".
struct Word {
    std::string_view Charset;
    char Encoding = '\0';
    std::string_view Text;
    std::size_t End = 0; // position right after its "?="
};

// Parses the encoded word that starts at text[start] ("=?"); false when its shape or encoding is not one we decode.
bool ParseWord(std::string_view text, std::size_t start, Word& word)
{
    const std::size_t charsetStart = start + 2;
    std::size_t pos = charsetStart;
    while (pos < text.size() && !IsCharsetEnd(text[pos])) {
        ++pos;
    }
    if (pos >= text.size() || text[pos] != '?') {
        return false;
    }
    if (pos + 2 >= text.size() || text[pos + 2] != '?') {
        return false;
    }
    const char encoding = text[pos + 1];
    if (encoding != 'B' && encoding != 'b' && encoding != 'Q' && encoding != 'q') {
        return false;
    }
    const std::size_t textStart = pos + 3;
    const std::size_t textEnd = text.find("?=", textStart);
    if (textEnd == std::string_view::npos) {
        return false;
    }
    word.Charset = text.substr(charsetStart, pos - charsetStart);
    word.Encoding = encoding;
    word.Text = text.substr(textStart, textEnd - textStart);
    word.End = textEnd + 2;
    return true;
}

std::string DecodeWordBytes(const Word& word)
{
    return (word.Encoding == 'B' || word.Encoding == 'b') ? Base64Decode(word.Text) : DecodeQ(word.Text);
}

// True when text holds ESC '$' and, after it, ESC '('.
bool LooksLikeJis(std::string_view text)
{
    const std::size_t on = text.find("\x1B$");
    return on != std::string_view::npos && text.find("\x1B(", on + 2) != std::string_view::npos;
}

// The JIS X 0208 to Shift-JIS rule for one pair of bytes in 0x21..0x7E.
void MapPair(unsigned j1, unsigned j2, char* out)
{
    unsigned second = 0;
    if ((j1 & 1U) != 0) {
        second = j2 + (j2 >= 96 ? 32 : 31);
    } else {
        second = j2 + 126;
    }
    const unsigned first = (j1 + 1) / 2 + (j1 < 95 ? 112 : 176);
    out[0] = static_cast<char>(first);
    out[1] = static_cast<char>(second);
}

bool IsJisByte(char c)
{
    const auto b = static_cast<unsigned char>(c);
    return b >= 0x21 && b <= 0x7E;
}

// Appends header text that is not an encoded word: JIS text (ESC '$' and later ESC '(') as ISO-2022-JP, anything
// else as undeclared text.
void AppendRawText(std::string& out, std::string_view text)
{
    AppendInUtf8(out, text, LooksLikeJis(text) ? "ISO-2022-JP" : "");
}

// The bytes of a decoded word that end inside a character, until the next word shows whether they go on.
struct Pending {
    std::string Charset;
    std::string Bytes;
    bool FromCarry = false; // handed in by the caller, whose text already shows them

    // Writes them as undeclared text, unless the caller's text shows them already.
    void Flush(std::string& out)
    {
        if (!Bytes.empty() && !FromCarry) {
            AppendInUtf8(out, Bytes, "");
        }
        Bytes.clear();
        FromCarry = false;
    }
};

bool IsAscii(std::string_view text)
{
    return std::all_of(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0x80) == 0; });
}

} // namespace

EncodedWordScan DecodeEncodedWords(std::string& text, EncodedWordCarry* carry)
{
    EncodedWordScan scan;
    Pending pending;
    if (carry != nullptr) {
        pending.Charset = std::move(carry->Charset);
        pending.Bytes = std::move(carry->Bytes);
        pending.FromCarry = true;
        *carry = {};
    }
    std::size_t start = text.find("=?");
    if (start == std::string::npos && IsAscii(text) && !LooksLikeJis(text)) {
        return scan;
    }

    const std::string_view in = text;
    std::string out;
    out.reserve(in.size() + in.size() / 2);
    std::size_t pos = 0;                         // next byte of `in` not yet copied
    std::size_t lastWordEnd = std::string::npos; // position in `in` right after the last decoded word
    for (; start != std::string_view::npos; start = in.find("=?", start)) {
        Word word;
        if (!ParseWord(in, start, word)) {
            start += 2;
            continue;
        }
        const std::string_view gap = in.substr(pos, start - pos);
        if (!scan.Decoded) {
            scan.StartsWithEncodedWord = AllWhiteSpace(gap);
        }
        // White space between two decoded words is dropped, and bytes of a character that one word cut off are
        // put in front of the next word of the same charset.
        const bool adjacent = AllWhiteSpace(gap) && (lastWordEnd == pos || (!scan.Decoded && pending.FromCarry));
        std::string bytes = DecodeWordBytes(word);
        if (adjacent && !pending.Bytes.empty() && EqualsNoCase(pending.Charset, word.Charset)) {
            scan.UsedCarry = pending.FromCarry;
            bytes.insert(0, pending.Bytes);
            pending.Bytes.clear();
            pending.FromCarry = false;
        }
        pending.Flush(out);
        if (!adjacent) {
            AppendRawText(out, gap);
        }
        std::size_t cut = 0;
        AppendInUtf8(out, bytes, word.Charset, &cut);
        if (cut > 0) {
            pending.Charset = word.Charset;
            pending.Bytes = bytes.substr(bytes.size() - cut);
        }
        scan.Decoded = true;
        pos = lastWordEnd = start = word.End;
    }
    scan.EndsWithEncodedWord = scan.Decoded && lastWordEnd == in.size();
    if (scan.EndsWithEncodedWord && carry != nullptr && !pending.Bytes.empty() && !pending.FromCarry) {
        const std::size_t before = out.size();
        AppendInUtf8(out, pending.Bytes, "");
        carry->Charset = std::move(pending.Charset);
        carry->Bytes = std::move(pending.Bytes);
        carry->Shown = out.size() - before;
    } else {
        pending.Flush(out);
    }
    AppendRawText(out, in.substr(pos));
    text = std::move(out);
    return scan;
}

std::size_t JisToShiftJis(char* text, std::size_t length, bool& kanjiMode)
{
    std::size_t r = 0;
    std::size_t w = 0;
    while (r < length) {
        const char c = text[r];
        if (c == '\x1B') {
            const char next = r + 1 < length ? text[r + 1] : '\0';
            std::size_t skip = 2;
            if (next == '$' || next == '(') {
                kanjiMode = next == '$';
                skip = 3;
            } else {
                kanjiMode = next == 'K' && r + 1 < length;
            }
            r += std::min(skip, length - r);
            continue;
        }
        if (c == '\r' || c == '\n') {
            kanjiMode = false;
        } else if (kanjiMode && IsJisByte(c) && r + 1 < length && IsJisByte(text[r + 1])) {
            MapPair(static_cast<unsigned char>(c), static_cast<unsigned char>(text[r + 1]), text + w);
            r += 2;
            w += 2;
            continue;
        }
        text[w++] = c;
        ++r;
    }
    return w;
}

void JisToShiftJis(std::string& text)
{
    bool kanjiMode = false;
    text.resize(JisToShiftJis(text.data(), text.size(), kanjiMode));
}

void JisToShiftJis(char* text)
{
    if (text == nullptr) {
        return;
    }
    bool kanjiMode = false;
    text[JisToShiftJis(text, std::strlen(text), kanjiMode)] = '\0';
}

} // namespace qm::store
