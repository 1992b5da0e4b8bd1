// Character-set conversion through the C library's converter (iconv).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qm {

/// Converts `input` from the character set named `from` to the one named `to` (names as the C library knows them,
/// any case: "ISO-2022-JP", "SHIFT_JIS", "UTF-8"). Returns false when either name is unknown, or when the input
/// holds a sequence that is invalid or incomplete in `from` or has no counterpart in `to`; `output` is then left
/// empty. Nothing is transliterated or skipped: a true result means every character was converted.
/// Thread-safe: every call uses a converter of its own.
bool ConvertCharset(std::string_view from, std::string_view to, std::string_view input, std::string& output);

/// As above, except that a sequence cut off by the end of the input is not an error: the bytes before it are
/// converted and its length is returned in `incomplete` (0 when the input ended on a character). Text arriving in
/// pieces (encoded words of one header) can carry those bytes over to the next piece.
bool ConvertCharset(std::string_view from, std::string_view to, std::string_view input, std::string& output,
                    std::size_t& incomplete);

} // namespace qm
