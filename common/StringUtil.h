// Small byte-string helpers: in-place editing of NUL-terminated strings, ASCII case-insensitive comparison and the
// e-mail address reducers.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace qm {

// Every function here works on bytes; no character set is assumed. "White space" means the bytes 1 to 32 (space
// and every control byte); bytes of 128 and above are never white space. Functions that take a `char*` edit it in
// place and accept a null pointer as "nothing to do". Functions that can grow a string take the size of its buffer
// (the NUL included), never write past it, and report with `false` that they stopped for lack of room.

/// True for the bytes 1 to 32.
inline bool IsWhiteSpace(char c)
{
    const auto b = static_cast<unsigned char>(c);
    return b >= 1 && b <= 32;
}

/// ASCII fold to lower case; every byte that is not 'A'..'Z' is itself.
inline char FoldCase(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
}

/// Compares without regard to ASCII case, folding to lower case, bytes unsigned: '_' sorts before letters.
/// Negative, zero or positive like strcmp; a string sorts before every longer string it begins.
int CompareNoCase(std::string_view a, std::string_view b);

/// True when a and b are equal without regard to ASCII case.
bool EqualsNoCase(std::string_view a, std::string_view b);

/// True when s begins with prefix without regard to ASCII case.
bool StartsWithNoCase(std::string_view s, std::string_view prefix);

/// True when s ends with suffix without regard to ASCII case.
bool EndsWithNoCase(std::string_view s, std::string_view suffix);

/// A heap copy of s that the caller owns; null gives null.
std::unique_ptr<char[]> DupString(const char* s);

/// Removes white space at the end, then at the start (the rest moves left). Returns s.
char* TrimSpace(char* s);

/// The part of s without white space at either end.
std::string_view TrimmedView(std::string_view s);

/// Puts a NUL at the first ch and returns that position, or null when s has no ch.
char* CutAtFirst(char* s, char ch);

/// Puts a NUL at the last ch and returns that position, or null when s has no ch.
char* CutAtLast(char* s, char ch);

/// Puts a NUL at the first ch and returns the text after it; null when s is null or has no ch.
char* SplitAt(char* s, char ch);

/// Removes everything up to and including the first ch; without ch, s is unchanged.
void DropThroughFirst(char* s, char ch);

/// Removes everything up to and including the last ch; without ch, s is unchanged.
void DropThroughLast(char* s, char ch);

/// Replaces every from by to.
void ReplaceChar(char* s, char from, char to);

/// Deletes every ch, closing the gaps.
void RemoveChar(char* s, char ch);

/// The number of occurrences of ch in s (0 for a null s).
std::size_t CountChar(const char* s, char ch);

/// Replaces every occurrence of pattern (case-sensitive) by replacement, scanning on after each inserted
/// replacement so that it is never scanned again. An empty pattern changes nothing. When a replacement would need
/// more than size bytes (NUL included) the scan stops there, the rest stays unchanged and the result is false.
bool ReplaceAll(char* s, const char* pattern, const char* replacement, std::size_t size);

/// As above on a std::string, which grows as needed.
void ReplaceAll(std::string& s, std::string_view pattern, std::string_view replacement);

/// As ReplaceAll, comparing the pattern without regard to ASCII case.
bool ReplaceAllNoCase(char* buf, const char* pattern, const char* replacement, std::size_t size);

/// As above on a std::string, which grows as needed.
void ReplaceAllNoCase(std::string& s, std::string_view pattern, std::string_view replacement);

/// The first position of needle in haystack without regard to ASCII case, or null; an empty needle gives haystack.
const char* FindNoCase(const char* haystack, const char* needle);
char* FindNoCase(char* haystack, const char* needle);

/// Removes one line end: a final LF, and then a CR right before it. A lone final CR stays, and so does a CR that is
/// followed by data ("a\rb" is unchanged).
void StripLineEnd(char* s);
void StripLineEnd(std::string& s);

/// Overwrites s from its last ch (inclusive) with text, or appends text when s has no ch (changes a file's
/// extension or last path component). When the result would need more than size bytes, s is unchanged and the
/// result is false.
bool ReplaceFromLast(char* s, char ch, const char* text, std::size_t size);
void ReplaceFromLast(std::string& s, char ch, std::string_view text);

/// Appends ch unless s already ends with it (an empty s becomes ch). False, with s unchanged, when there is no room
/// in size bytes.
bool AppendCharIfMissing(char* s, char ch, std::size_t size);
void AppendCharIfMissing(std::string& s, char ch);

/// Removes one ch at the end, if there is one.
void DropTrailingChar(char* s, char ch);

/// 0-9 for '0'-'9', 10-15 for 'A'-'F' and 'a'-'f', 0 for every other byte.
int HexDigitValue(char c);

/// The same, but -1 for a byte that is no hexadecimal digit.
int HexDigitOrMinusOne(char c);

/// Decimal text read as atol reads it: leading blanks and TABs, a sign, then digits; the first other byte ends it;
/// 0 when there is no digit. Saturates at the long long range instead of overflowing.
long long ParseDecimal(std::string_view text);

/// The same, clamped to the int range.
int ParseDecimalInt(std::string_view text);

/// text with every control byte and DEL written as "\xHH" (upper-case digits), so that text from outside cannot
/// split or forge a log line.
std::string EscapeControlBytes(std::string_view text);

/// In place: the display name of an e-mail address ('"John Doe" <jd@x.com>' gives "John Doe",
/// 'jd@x.com (John Doe)' gives "John Doe", '<jd@x.com>' gives "jd@x.com"). Quoting is not parsed.
void ExtractDisplayName(char* address);

/// In place: the bare mailbox of an e-mail address ('"John Doe" <jd@x.com>' and 'jd@x.com (John Doe)' both give
/// "jd@x.com"). Quoting is not parsed.
void ExtractAddress(char* address);

} // namespace qm
