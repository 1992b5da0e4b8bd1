// Text scanning: RFC 822 dates, small tokenisers, and matchers for links, host names, words, numbers and addresses.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>

namespace qm {

/// Character classes of the word matcher: 2 for letters, digits and bytes 128-254; 1 for '\'', '-' and '.';
/// 0 for everything else (255 included). Indexed by the byte as unsigned char.
extern const std::array<std::uint8_t, 256> kWordClass;

/// Character classes of the link matchers: 4 for '-', '_', letters and digits; 3 for '+', '/', '=', '~';
/// 2 for '!', '#', '$', '%', '&', ',', ':', '?', '@'; 1 for '.'; 0 for everything else.
extern const std::array<std::uint8_t, 256> kLinkClass;

/// Character classes of the address matcher: 4 for '-', '_', '~', letters and digits; 2 for '&', '+', '.';
/// 0 for everything else.
extern const std::array<std::uint8_t, 256> kAddressClass;

/// Reads a date of a message header or an HTTP header ("Tue, 08 Dec 2026 08:24:00 +0000") and returns it as
/// seconds since 1970-01-01 UTC, or 0 when the text is not a valid date or lies before 1970. The year must lie in
/// 1970..9999 (two-digit years 00-49 are 2000-2049, 50-99 are 1950-1999, three-digit ones count from 1900). The seconds
/// are optional ("08:24 +0530"). The zone is a signed hhmm number or one of the North American zone names; any other
/// name counts as UTC. Does not depend on the process time zone. A null text gives 0.
std::time_t ParseRfc822Date(const char* text);

/// Skips to the first decimal digit at or after *cursor, reads the run of digits as a decimal number and leaves
/// *cursor after it. Without a digit returns 0 with *cursor at the terminating NUL. A value above INT_MAX gives
/// INT_MAX (the whole run is still consumed).
int ScanNumber(const char** cursor);

/// Skips bytes 1-32 at *cursor, then copies at most `max` bytes of the following run of bytes above 32 into `buf`
/// and NUL-terminates it; `buf` must hold max + 1 bytes. The rest of the run is skipped: *cursor is left after the
/// whole run.
void ScanWord(char* buf, std::size_t max, const char** cursor);

/// A link starting at `text`: a scheme, "://", a host label, '.', and the rest, leaving trailing punctuation
/// outside. On success sets *end after the match; on failure returns false and leaves *end alone.
bool MatchUrl(const char* text, const char** end);

/// A host name starting with "www." (any case) at `text`, followed by a label, '.', and the rest, as MatchUrl.
bool MatchWwwHost(const char* text, const char** end);

/// A word at `text`: letters, digits and 8-bit bytes, with inner apostrophes, hyphens and points.
bool MatchWordRun(const char* text, const char** end);

/// A number at `text`: digits, with inner points each followed by a digit.
bool MatchNumber(const char* text, const char** end);

/// An e-mail address at `text`: a local part, '@', a domain label, '.', and the rest.
bool MatchEmailAddress(const char* text, const char** end);

/// The end of the run of bytes at `text` whose class in `table` is a or b (a NUL ends it). A matcher that failed at
/// one byte of such a run fails at every later byte of it, so scanners skip the rest of the run.
const char* ClassRunEnd(const char* text, const std::array<std::uint8_t, 256>& table, std::uint8_t a, std::uint8_t b);

/// Sets *out to the first byte at or after `text` that is NUL or of word class 2.
void SkipLinkSeparators(const char* text, const char** out);

} // namespace qm
