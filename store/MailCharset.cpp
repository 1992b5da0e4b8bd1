#include "store/MailCharset.h"

#include "common/StringUtil.h"
#include "platform/Charset.h"
#include "store/EncodedWords.h"

#include <algorithm>
#include <cstdint>
#include <utility>

namespace qm::store {

namespace {

// The characters of Windows-1252 bytes 0x80..0x9F; 0 where the set assigns none.
constexpr std::uint16_t kWindows1252High[32] = {
        0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

void AppendCodePoint(std::string& out, std::uint32_t code)
{
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

void AppendWindows1252Byte(std::string& out, unsigned char b)
{
    if (b >= 0x80 && b <= 0x9F && kWindows1252High[b - 0x80] != 0) {
        AppendCodePoint(out, kWindows1252High[b - 0x80]);
        return;
    }
    AppendCodePoint(out, b);
}

enum class Sequence {
    Valid,
    Invalid,
    CutOff, // a valid beginning that the end of the text cuts off
};

// The UTF-8 sequence at text[i]: whether it is valid, and its length when it is.
Sequence Utf8SequenceAt(std::string_view text, std::size_t i, std::size_t& length)
{
    const auto c = static_cast<unsigned char>(text[i]);
    unsigned min = 0;
    std::uint32_t code = 0;
    length = 1;
    if (c < 0x80) {
        return Sequence::Valid;
    }
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2, min = 0x80, code = c & 0x1Fu;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3, min = 0x800, code = c & 0x0Fu;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4, min = 0x10000, code = c & 0x07u;
    } else {
        return Sequence::Invalid;
    }
    std::size_t k = 1;
    for (; k < length && i + k < text.size(); ++k) {
        const auto next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xC0) != 0x80) {
            return Sequence::Invalid;
        }
        code = (code << 6) | (next & 0x3Fu);
    }
    if (k < length) {
        return Sequence::CutOff;
    }
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
        return Sequence::Invalid;
    }
    return Sequence::Valid;
}

// Appends bytes as undeclared text, stopping before a UTF-8 sequence cut off by the end when incomplete is given.
void AppendUtf8OrWindows1252(std::string& out, std::string_view bytes, std::size_t* incomplete)
{
    std::size_t i = 0;
    while (i < bytes.size()) {
        std::size_t length = 1;
        const Sequence s = Utf8SequenceAt(bytes, i, length);
        if (s == Sequence::Valid) {
            out.append(bytes.substr(i, length));
            i += length;
            continue;
        }
        if (s == Sequence::CutOff && incomplete != nullptr) {
            *incomplete = bytes.size() - i;
            return;
        }
        AppendWindows1252Byte(out, static_cast<unsigned char>(bytes[i]));
        ++i;
    }
}

bool IsWindows1252Label(std::string_view name)
{
    static constexpr std::string_view kNames[] = {
            "ISO-8859-1", "ISO8859-1", "ISO_8859-1", "ISO-8859-1:1987", "LATIN1", "L1",           "CP819", "IBM819",
            "US-ASCII",   "ASCII",     "US",         "ANSI_X3.4-1968",  "CP1252", "WINDOWS-1252",
    };
    return std::any_of(std::begin(kNames), std::end(kNames), [&](std::string_view n) { return EqualsNoCase(n, name); });
}

// A charset name that may go to the C library's converter: letters, digits, '-', '_', '.' and ':' only.
bool IsPlainCharsetName(std::string_view name)
{
    return !name.empty() && name.size() <= 40 && std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
               c == '.' || c == ':';
    });
}

// JIS text to UTF-8: by the converter when it can convert every character, otherwise by the byte rule to Shift-JIS
// and from there (the vendor set first, which holds the NEC rows). False when neither works.
bool AppendJis(std::string& out, std::string_view bytes, std::string_view name)
{
    std::string converted;
    if (IsPlainCharsetName(name) && ConvertCharset(name, "UTF-8", bytes, converted)) {
        out += converted;
        return true;
    }
    std::string shiftJis(bytes);
    JisToShiftJis(shiftJis);
    if (ConvertCharset("CP932", "UTF-8", shiftJis, converted) ||
        ConvertCharset("SHIFT_JIS", "UTF-8", shiftJis, converted)) {
        out += converted;
        return true;
    }
    return false;
}

void AppendConverted(std::string& out, std::string_view bytes, std::string_view name, std::size_t* incomplete)
{
    if (IsWindows1252Label(name)) {
        AppendWindows1252AsUtf8(out, bytes);
        return;
    }
    if (EqualsNoCase(name, "UTF-8") || EqualsNoCase(name, "UTF8")) {
        AppendUtf8OrWindows1252(out, bytes, incomplete);
        return;
    }
    if (StartsWithNoCase(name, "ISO-2022-JP")) {
        if (!AppendJis(out, bytes, name)) {
            AppendUtf8OrWindows1252(out, bytes, nullptr);
        }
        return;
    }
    std::string converted;
    std::size_t cut = 0;
    if (!IsPlainCharsetName(name) || !ConvertCharset(name, "UTF-8", bytes, converted, cut)) {
        AppendUtf8OrWindows1252(out, bytes, nullptr);
        return;
    }
    out += converted;
    if (cut == 0) {
        return;
    }
    if (incomplete != nullptr && cut <= kMaxIncompleteBytes) {
        *incomplete = cut;
        return;
    }
    AppendUtf8OrWindows1252(out, bytes.substr(bytes.size() - cut), nullptr);
}

// The ASCII that a charset must keep as it is for markup to pass through it: printable ASCII without '\\' and '~'
// (Shift-JIS has the yen sign and the overline there, harmless in HTML), with TAB, LF, CR, SO, SI and ESC, so that
// stateful sets that shift on them fail.
std::string AsciiProbe()
{
    std::string probe = "\t\n\r\x0E\x0F\x1B";
    for (char c = ' '; c < '\x7F'; ++c) {
        if (c != '\\' && c != '~') {
            probe += c;
        }
    }
    return probe;
}

bool KeepsAscii(std::string_view charset)
{
    static const std::string kProbe = AsciiProbe();
    if (IsWindows1252Label(charset) || EqualsNoCase(charset, "UTF-8") || EqualsNoCase(charset, "UTF8")) {
        return true;
    }
    std::string converted;
    return IsPlainCharsetName(charset) && ConvertCharset(charset, "UTF-8", kProbe, converted) && converted == kProbe;
}

bool IsMarkupByte(char c)
{
    return c == '<' || c == '>' || c == '"' || c == '\'' || c == '&';
}

// Whether a and b hold the same markup bytes in the same order.
bool SameMarkup(std::string_view a, std::string_view b)
{
    std::size_t i = 0;
    std::size_t j = 0;
    for (;;) {
        while (i < a.size() && !IsMarkupByte(a[i])) {
            ++i;
        }
        while (j < b.size() && !IsMarkupByte(b[j])) {
            ++j;
        }
        if (i == a.size() || j == b.size()) {
            return i == a.size() && j == b.size();
        }
        if (a[i++] != b[j++]) {
            return false;
        }
    }
}

} // namespace

bool ConvertMarkup(std::string_view from, std::string_view to, std::string_view html, std::string& output)
{
    output.clear();
    from = from.substr(0, from.find('*'));
    if (!KeepsAscii(from) || !KeepsAscii(to)) {
        return false;
    }
    std::string converted;
    if (IsWindows1252Label(from) && (EqualsNoCase(to, "UTF-8") || EqualsNoCase(to, "UTF8"))) {
        AppendWindows1252AsUtf8(converted, html);
    } else if (!ConvertCharset(from, to, html, converted)) {
        return false;
    }
    if (!SameMarkup(html, converted)) {
        return false;
    }
    output = std::move(converted);
    return true;
}

void AppendMarkupInUtf8(std::string& out, std::string_view html, std::string_view charset)
{
    const std::string_view name = charset.substr(0, charset.find('*'));
    std::string converted;
    if (!name.empty() && !EqualsNoCase(name, "UTF-8") && !EqualsNoCase(name, "UTF8") &&
        ConvertMarkup(name, "UTF-8", html, converted)) {
        out += converted;
        return;
    }
    AppendUtf8OrWindows1252(out, html, nullptr);
}

bool IsUtf8(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t length = 1;
        if (Utf8SequenceAt(text, i, length) != Sequence::Valid) {
            return false;
        }
        i += length;
    }
    return true;
}

void AppendWindows1252AsUtf8(std::string& out, std::string_view bytes)
{
    for (const char c : bytes) {
        AppendWindows1252Byte(out, static_cast<unsigned char>(c));
    }
}

void AppendUndeclaredAsUtf8(std::string& out, std::string_view bytes)
{
    AppendUtf8OrWindows1252(out, bytes, nullptr);
}

void AppendInUtf8(std::string& out, std::string_view bytes, std::string_view charset, std::size_t* incomplete)
{
    if (incomplete != nullptr) {
        *incomplete = 0;
    }
    const std::size_t start = out.size();
    AppendConverted(out, bytes, charset.substr(0, charset.find('*')), incomplete);
    std::replace(out.begin() + static_cast<std::ptrdiff_t>(start), out.end(), '\0', ' ');
}

} // namespace qm::store
