#include "common/StringUtil.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace qm {

namespace {

unsigned char FoldByte(char c)
{
    return static_cast<unsigned char>(FoldCase(c));
}

bool EqualBytesNoCase(const char* a, const char* b, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i) {
        if (FoldByte(a[i]) != FoldByte(b[i])) {
            return false;
        }
    }
    return true;
}

// Moves the tail of a string (from `from` through its NUL) to `to`.
void MoveTail(char* to, const char* from)
{
    std::memmove(to, from, std::strlen(from) + 1);
}

// The one replacement loop behind ReplaceAll and ReplaceAllNoCase on C strings.
template <class Matcher>
bool ReplaceEach(char* s, const char* pattern, const char* replacement, std::size_t size, Matcher matches)
{
    if (s == nullptr || pattern == nullptr || *pattern == '\0') {
        return true;
    }
    if (replacement == nullptr) {
        replacement = "";
    }
    const std::size_t patternLen = std::strlen(pattern);
    const std::size_t replacementLen = std::strlen(replacement);
    std::size_t len = std::strlen(s);
    std::size_t pos = 0;
    while (len - pos >= patternLen) {
        if (!matches(s + pos, pattern, patternLen)) {
            ++pos;
            continue;
        }
        const std::size_t newLen = len - patternLen + replacementLen;
        if (newLen + 1 > size) {
            return false;
        }
        std::memmove(s + pos + replacementLen, s + pos + patternLen, len - pos - patternLen + 1);
        std::memcpy(s + pos, replacement, replacementLen); // NOLINT(bugprone-not-null-terminated-result): mid-string
        len = newLen;
        pos += replacementLen;
    }
    return true;
}

template <class Finder>
void ReplaceEachString(std::string& s, std::string_view pattern, std::string_view replacement, Finder find)
{
    if (pattern.empty()) {
        return;
    }
    std::string out;
    std::size_t from = 0;
    for (std::size_t at = find(s, pattern, from); at != std::string::npos; at = find(s, pattern, from)) {
        out.append(s, from, at - from);
        out.append(replacement);
        from = at + pattern.size();
    }
    if (from == 0) {
        return; // no occurrence: leave s as it is
    }
    out.append(std::string_view(s).substr(from));
    s = std::move(out);
}

std::size_t FindCaseSensitive(const std::string& s, std::string_view pattern, std::size_t from)
{
    return s.find(pattern, from);
}

std::size_t FindFoldedFrom(const std::string& s, std::string_view pattern, std::size_t from)
{
    for (std::size_t at = from; at + pattern.size() <= s.size(); ++at) {
        if (EqualBytesNoCase(s.data() + at, pattern.data(), pattern.size())) {
            return at;
        }
    }
    return std::string::npos;
}

} // namespace

int CompareNoCase(std::string_view a, std::string_view b)
{
    const std::size_t n = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < n; ++i) {
        const int diff = FoldByte(a[i]) - FoldByte(b[i]);
        if (diff != 0) {
            return diff;
        }
    }
    if (a.size() == b.size()) {
        return 0;
    }
    return a.size() < b.size() ? -1 : 1;
}

bool EqualsNoCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && EqualBytesNoCase(a.data(), b.data(), a.size());
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix)
{
    return s.size() >= prefix.size() && EqualBytesNoCase(s.data(), prefix.data(), prefix.size());
}

bool EndsWithNoCase(std::string_view s, std::string_view suffix)
{
    return s.size() >= suffix.size() &&
           EqualBytesNoCase(s.data() + s.size() - suffix.size(), suffix.data(), suffix.size());
}

std::unique_ptr<char[]> DupString(const char* s)
{
    if (s == nullptr) {
        return nullptr;
    }
    const std::size_t size = std::strlen(s) + 1;
    auto copy = std::make_unique_for_overwrite<char[]>(size);
    std::memcpy(copy.get(), s, size);
    return copy;
}

char* TrimSpace(char* s)
{
    if (s == nullptr) {
        return s;
    }
    std::size_t len = std::strlen(s);
    while (len > 0 && IsWhiteSpace(s[len - 1])) {
        --len;
    }
    s[len] = '\0';
    std::size_t start = 0;
    while (IsWhiteSpace(s[start])) {
        ++start;
    }
    if (start > 0) {
        std::memmove(s, s + start, len - start + 1);
    }
    return s;
}

std::string_view TrimmedView(std::string_view s)
{
    while (!s.empty() && IsWhiteSpace(s.back())) {
        s.remove_suffix(1);
    }
    while (!s.empty() && IsWhiteSpace(s.front())) {
        s.remove_prefix(1);
    }
    return s;
}

char* CutAtFirst(char* s, char ch)
{
    char* at = s == nullptr ? nullptr : std::strchr(s, ch);
    if (at != nullptr) {
        *at = '\0';
    }
    return at;
}

char* CutAtLast(char* s, char ch)
{
    char* at = s == nullptr ? nullptr : std::strrchr(s, ch);
    if (at != nullptr) {
        *at = '\0';
    }
    return at;
}

char* SplitAt(char* s, char ch)
{
    char* at = CutAtFirst(s, ch);
    return at == nullptr ? nullptr : at + 1;
}

void DropThroughFirst(char* s, char ch)
{
    const char* at = s == nullptr ? nullptr : std::strchr(s, ch);
    if (at != nullptr) {
        MoveTail(s, at + 1);
    }
}

void DropThroughLast(char* s, char ch)
{
    const char* at = s == nullptr ? nullptr : std::strrchr(s, ch);
    if (at != nullptr) {
        MoveTail(s, at + 1);
    }
}

void ReplaceChar(char* s, char from, char to)
{
    for (; s != nullptr && *s != '\0'; ++s) {
        if (*s == from) {
            *s = to;
        }
    }
}

void RemoveChar(char* s, char ch)
{
    if (s == nullptr) {
        return;
    }
    char* out = s;
    for (const char* in = s; *in != '\0'; ++in) {
        if (*in != ch) {
            *out++ = *in;
        }
    }
    *out = '\0';
}

std::size_t CountChar(const char* s, char ch)
{
    std::size_t count = 0;
    for (; s != nullptr && *s != '\0'; ++s) {
        count += *s == ch ? 1 : 0;
    }
    return count;
}

bool ReplaceAll(char* s, const char* pattern, const char* replacement, std::size_t size)
{
    return ReplaceEach(s, pattern, replacement, size,
                       [](const char* at, const char* p, std::size_t n) { return std::memcmp(at, p, n) == 0; });
}

void ReplaceAll(std::string& s, std::string_view pattern, std::string_view replacement)
{
    ReplaceEachString(s, pattern, replacement, FindCaseSensitive);
}

bool ReplaceAllNoCase(char* buf, const char* pattern, const char* replacement, std::size_t size)
{
    return ReplaceEach(buf, pattern, replacement, size, EqualBytesNoCase);
}

void ReplaceAllNoCase(std::string& s, std::string_view pattern, std::string_view replacement)
{
    ReplaceEachString(s, pattern, replacement, FindFoldedFrom);
}

const char* FindNoCase(const char* haystack, const char* needle)
{
    if (haystack == nullptr || needle == nullptr) {
        return nullptr;
    }
    const std::size_t needleLen = std::strlen(needle);
    for (const char* at = haystack;; ++at) {
        // Compare before testing for the end, so that an empty needle matches an empty haystack. The compare stops
        // at the first difference, so it never reads past the haystack's NUL.
        if (EqualBytesNoCase(at, needle, needleLen)) {
            return at;
        }
        if (*at == '\0') {
            return nullptr;
        }
    }
}

char* FindNoCase(char* haystack, const char* needle)
{
    return const_cast<char*>(FindNoCase(static_cast<const char*>(haystack), needle));
}

void StripLineEnd(char* s)
{
    if (s == nullptr) {
        return;
    }
    std::size_t len = std::strlen(s);
    if (len == 0 || s[len - 1] != '\n') {
        return;
    }
    s[--len] = '\0';
    if (len > 0 && s[len - 1] == '\r') {
        s[len - 1] = '\0';
    }
}

void StripLineEnd(std::string& s)
{
    if (s.empty() || s.back() != '\n') {
        return;
    }
    s.pop_back();
    if (!s.empty() && s.back() == '\r') {
        s.pop_back();
    }
}

bool ReplaceFromLast(char* s, char ch, const char* text, std::size_t size)
{
    if (s == nullptr) {
        return false;
    }
    if (text == nullptr) {
        text = "";
    }
    const std::size_t len = std::strlen(s);
    const char* last = std::strrchr(s, ch);
    const std::size_t keep = last == nullptr ? len : static_cast<std::size_t>(last - s);
    const std::size_t textLen = std::strlen(text);
    if (keep + textLen + 1 > size) {
        return false;
    }
    std::memmove(s + keep, text, textLen + 1);
    return true;
}

void ReplaceFromLast(std::string& s, char ch, std::string_view text)
{
    const std::size_t last = s.rfind(ch);
    if (last != std::string::npos) {
        s.resize(last);
    }
    s.append(text);
}

bool AppendCharIfMissing(char* s, char ch, std::size_t size)
{
    if (s == nullptr) {
        return false;
    }
    const std::size_t len = std::strlen(s);
    if (len > 0 && s[len - 1] == ch) {
        return true;
    }
    if (len + 2 > size) {
        return false;
    }
    s[len] = ch;
    s[len + 1] = '\0';
    return true;
}

void AppendCharIfMissing(std::string& s, char ch)
{
    if (s.empty() || s.back() != ch) {
        s.push_back(ch);
    }
}

void DropTrailingChar(char* s, char ch)
{
    if (s == nullptr) {
        return;
    }
    const std::size_t len = std::strlen(s);
    if (len > 0 && s[len - 1] == ch) {
        s[len - 1] = '\0';
    }
}

int HexDigitOrMinusOne(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

long long ParseDecimal(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        ++i;
    }
    constexpr long long kMax = std::numeric_limits<long long>::max();
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        const int digit = text[i] - '0';
        value = value > (kMax - digit) / 10 ? kMax : value * 10 + digit;
    }
    return negative ? -value : value;
}

int ParseDecimalInt(std::string_view text)
{
    return static_cast<int>(std::clamp(ParseDecimal(text), static_cast<long long>(std::numeric_limits<int>::min()),
                                       static_cast<long long>(std::numeric_limits<int>::max())));
}

int HexDigitValue(char c)
{
    const int value = HexDigitOrMinusOne(c);
    return value < 0 ? 0 : value;
}

std::string EscapeControlBytes(std::string_view text)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string shown;
    shown.reserve(text.size());
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F) {
            shown += "\\x";
            shown += kHex[b >> 4];
            shown += kHex[b & 15];
        } else {
            shown += c;
        }
    }
    return shown;
}

void ExtractDisplayName(char* address)
{
    if (address == nullptr) {
        return;
    }
    RemoveChar(address, '"');
    TrimSpace(address);
    if (address[0] == '<') {
        DropThroughFirst(address, '<');
        CutAtLast(address, '>');
    } else {
        CutAtFirst(address, '<');
    }
    TrimSpace(address);
    const std::size_t len = std::strlen(address);
    if (len > 0 && address[len - 1] == ')' && std::strchr(address, '(') != nullptr) {
        address[len - 1] = '\0';
        DropThroughFirst(address, '(');
        TrimSpace(address);
    }
}

void ExtractAddress(char* address)
{
    if (address == nullptr) {
        return;
    }
    if (const char* open = std::strchr(address, '<'); open != nullptr) {
        MoveTail(address, open + 1);
        CutAtFirst(address, '>');
        TrimSpace(address);
        return;
    }
    if (address[std::strspn(address, " >")] == '\0') {
        address[0] = '\0';
        return;
    }
    // Remove every comment "(...)", again and again; an unclosed '(' ends the removal and stays.
    for (char* open = std::strchr(address, '('); open != nullptr; open = std::strchr(address, '(')) {
        const char* close = std::strchr(open + 1, ')');
        if (close == nullptr) {
            break;
        }
        MoveTail(open, close + 1);
    }
    TrimSpace(address);
}

} // namespace qm
