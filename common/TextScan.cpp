#include "common/TextScan.h"

#include "common/StringUtil.h"

#include <climits>
#include <cstring>
#include <string_view>

namespace qm {

namespace {

constexpr bool IsDigit(unsigned char c)
{
    return c >= '0' && c <= '9';
}

constexpr bool IsAlnum(unsigned char c)
{
    return IsDigit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

constexpr std::array<std::uint8_t, 256> BuildWordClass()
{
    std::array<std::uint8_t, 256> table{};
    for (int c = 0; c < 256; ++c) {
        const auto u = static_cast<unsigned char>(c);
        if (IsAlnum(u) || (c >= 128 && c <= 254)) {
            table[u] = 2;
        } else if (c == '\'' || c == '-' || c == '.') {
            table[u] = 1;
        }
    }
    return table;
}

constexpr std::array<std::uint8_t, 256> BuildLinkClass()
{
    std::array<std::uint8_t, 256> table{};
    for (int c = 0; c < 256; ++c) {
        const auto u = static_cast<unsigned char>(c);
        if (IsAlnum(u) || c == '-' || c == '_') {
            table[u] = 4;
        }
    }
    for (unsigned char c : std::string_view("+/=~")) {
        table[c] = 3;
    }
    for (unsigned char c : std::string_view("!#$%&,:?@")) {
        table[c] = 2;
    }
    table['.'] = 1;
    return table;
}

constexpr std::array<std::uint8_t, 256> BuildAddressClass()
{
    std::array<std::uint8_t, 256> table{};
    for (int c = 0; c < 256; ++c) {
        const auto u = static_cast<unsigned char>(c);
        if (IsAlnum(u) || c == '-' || c == '_' || c == '~') {
            table[u] = 4;
        }
    }
    for (unsigned char c : std::string_view("&+.")) {
        table[c] = 2;
    }
    return table;
}

inline std::uint8_t ClassOf(const std::array<std::uint8_t, 256>& table, const char* p)
{
    return table[static_cast<unsigned char>(*p)];
}

// Extends a match from `p` over bytes of class `take` or more; a byte of class 1 up to `take` - 1 joins only
// when the byte after it would be taken, so trailing punctuation stays outside. Class 0 (NUL included) ends it.
const char* ExtendMatch(const std::array<std::uint8_t, 256>& table, const char* p, std::uint8_t take)
{
    for (;;) {
        const std::uint8_t c = ClassOf(table, p);
        if (c >= take) {
            ++p;
        } else if (c != 0 && ClassOf(table, p + 1) >= take) {
            ++p;
        } else {
            return p;
        }
    }
}

// The part of a link after the scheme's "://" or after "www.": a host label of class 2 or more, '.', a byte of
// class 3 or more, and the rest. Returns the end of the match, or null.
const char* MatchHostAndRest(const char* p)
{
    if (ClassOf(kLinkClass, p) < 2) {
        return nullptr;
    }
    while (ClassOf(kLinkClass, p) >= 2) {
        ++p;
    }
    if (*p != '.' || ClassOf(kLinkClass, p + 1) < 3) {
        return nullptr;
    }
    return ExtendMatch(kLinkClass, p + 1, 3);
}

constexpr std::string_view kMonths[12] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                          "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};

struct ZoneName {
    std::string_view Name;
    int Offset; // hhmm as a signed decimal number
};

constexpr ZoneName kZones[] = {{"EDT", -400}, {"EST", -500}, {"CDT", -500}, {"CST", -600},
                               {"MDT", -600}, {"MST", -700}, {"PDT", -700}, {"PST", -800}};

// The signed decimal number a zone word starts with ("+0100" is 100, "-0330" is -330, "EST" is 0).
int LeadingNumber(const char* s)
{
    bool negative = false;
    if (*s == '+' || *s == '-') {
        negative = *s == '-';
        ++s;
    }
    int value = 0;
    // The word is at most 8 bytes, so the value cannot overflow.
    while (IsDigit(static_cast<unsigned char>(*s))) {
        value = value * 10 + (*s - '0');
        ++s;
    }
    return negative ? -value : value;
}

int ZoneOffset(const char* zone)
{
    const int value = LeadingNumber(zone);
    if (value != 0) {
        // A number of more than four digits is no hhmm zone (and would overflow once turned into seconds).
        return value >= -9999 && value <= 9999 ? value : 0;
    }
    for (const ZoneName& z : kZones) {
        if (EqualsNoCase(zone, z.Name)) {
            return z.Offset;
        }
    }
    return 0;
}

// Days from 1970-01-01 to the given date of the proleptic Gregorian calendar. A day beyond the month's end
// simply runs into the next month.
std::int64_t DaysFromCivil(std::int64_t year, int month, int day)
{
    // Count years from March so that the leap day is the last day of the counted year.
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const std::int64_t yearOfEra = year - era * 400;                       // 0..399
    const int shiftedMonth = month > 2 ? month - 3 : month + 9;            // March is 0
    const std::int64_t dayOfYear = (153 * shiftedMonth + 2) / 5 + day - 1; // 0..365
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468; // 719468 days from 0000-03-01 to 1970-01-01
}

} // namespace

constexpr std::array<std::uint8_t, 256> kWordClass = BuildWordClass();
constexpr std::array<std::uint8_t, 256> kLinkClass = BuildLinkClass();
constexpr std::array<std::uint8_t, 256> kAddressClass = BuildAddressClass();

int ScanNumber(const char** cursor)
{
    const char* p = *cursor;
    while (*p != '\0' && !IsDigit(static_cast<unsigned char>(*p))) {
        ++p;
    }
    int value = 0;
    while (IsDigit(static_cast<unsigned char>(*p))) {
        const int digit = *p - '0';
        value = value > (INT_MAX - digit) / 10 ? INT_MAX : value * 10 + digit;
        ++p;
    }
    *cursor = p;
    return value;
}

void ScanWord(char* buf, std::size_t max, const char** cursor)
{
    const char* p = *cursor;
    while (*p != '\0' && static_cast<unsigned char>(*p) <= 32) {
        ++p;
    }
    std::size_t n = 0;
    while (static_cast<unsigned char>(*p) > 32) {
        if (n < max) {
            buf[n++] = *p;
        }
        ++p;
    }
    buf[n] = '\0';
    *cursor = p;
}

std::time_t ParseRfc822Date(const char* text)
{
    if (text == nullptr) {
        return 0;
    }
    const char* p = text;
    const int day = ScanNumber(&p);
    char monthName[4];
    ScanWord(monthName, 3, &p);
    int year = ScanNumber(&p);
    // Four digits name the year itself; fewer count from 1900, two-digit years below 50 from 2000.
    if (year >= 1000) {
        year -= 1900;
    } else if (year < 50) {
        year += 100;
    }
    const int hour = ScanNumber(&p);
    const int minute = ScanNumber(&p);
    // The seconds are optional: read them only when ':' follows the minute, so that "08:24 +0530" keeps its zone.
    int second = 0;
    if (*p == ':') {
        second = ScanNumber(&p);
    }
    char zone[9];
    ScanWord(zone, 8, &p);

    int month = -1;
    for (int i = 0; i < 12; ++i) {
        if (EqualsNoCase(monthName, kMonths[i])) {
            month = i;
            break;
        }
    }
    if (day < 1 || day > 31 || month < 0 || year < 70 || year > 9999 - 1900 || hour > 23 || minute > 59 ||
        second > 59) {
        return 0;
    }
    const int offset = ZoneOffset(zone);
    const std::int64_t days = DaysFromCivil(1900 + year, month + 1, day);
    const std::int64_t wall = days * 86400 + hour * 3600 + minute * 60 + second;
    // Both parts of the offset carry its sign (truncation toward zero), so -0330 adds 3 h 30 min.
    const std::int64_t utc = wall - (offset / 100) * 3600 - (offset % 100) * 60;
    // A zone can carry the first minutes of 1970 back before it: those dates are as unusable as 1969's.
    return utc < 0 ? 0 : static_cast<std::time_t>(utc);
}

bool MatchUrl(const char* text, const char** end)
{
    const char* p = text;
    if (ClassOf(kLinkClass, p) != 4) {
        return false;
    }
    while (ClassOf(kLinkClass, p) == 4) {
        ++p;
    }
    if (std::strncmp(p, "://", 3) != 0) {
        return false;
    }
    const char* matchEnd = MatchHostAndRest(p + 3);
    if (matchEnd == nullptr) {
        return false;
    }
    *end = matchEnd;
    return true;
}

bool MatchWwwHost(const char* text, const char** end)
{
    for (int i = 0; i < 4; ++i) {
        if (FoldCase(text[i]) != "www."[i]) {
            return false; // also stops at the NUL of a short text
        }
    }
    const char* matchEnd = MatchHostAndRest(text + 4);
    if (matchEnd == nullptr) {
        return false;
    }
    *end = matchEnd;
    return true;
}

const char* ClassRunEnd(const char* text, const std::array<std::uint8_t, 256>& table, std::uint8_t a, std::uint8_t b)
{
    while (*text != '\0') {
        const std::uint8_t c = table[static_cast<unsigned char>(*text)];
        if (c != a && c != b) {
            break;
        }
        ++text;
    }
    return text;
}

bool MatchWordRun(const char* text, const char** end)
{
    if (ClassOf(kWordClass, text) != 2) {
        return false;
    }
    *end = ExtendMatch(kWordClass, text, 2);
    return true;
}

bool MatchNumber(const char* text, const char** end)
{
    const char* p = text;
    if (!IsDigit(static_cast<unsigned char>(*p))) {
        return false;
    }
    for (;;) {
        if (IsDigit(static_cast<unsigned char>(*p))) {
            ++p;
        } else if (*p == '.' && IsDigit(static_cast<unsigned char>(p[1]))) {
            ++p;
        } else {
            break;
        }
    }
    *end = p;
    return true;
}

bool MatchEmailAddress(const char* text, const char** end)
{
    const char* p = text;
    if (ClassOf(kAddressClass, p) != 4) {
        return false;
    }
    while (ClassOf(kAddressClass, p) != 0) {
        ++p;
    }
    if (*p != '@') {
        return false;
    }
    ++p;
    if (ClassOf(kAddressClass, p) != 4) {
        return false;
    }
    while (ClassOf(kAddressClass, p) == 4) {
        ++p;
    }
    if (*p != '.' || ClassOf(kAddressClass, p + 1) != 4) {
        return false;
    }
    *end = ExtendMatch(kAddressClass, p + 1, 4);
    return true;
}

void SkipLinkSeparators(const char* text, const char** out)
{
    const char* p = text;
    while (*p != '\0' && ClassOf(kWordClass, p) != 2) {
        ++p;
    }
    *out = p;
}

} // namespace qm
