// The preparation of an HTML body for the parser: its bytes carried through as characters, and its tags bounded.
#pragma once

#include "store/HtmlSanitizer.h"

#include <string>
#include <string_view>

namespace qm::store {

/// The parser reads UTF-8, but mail comes in every character set. Each source byte b of 128 and above is handed
/// to it as the private-use character kSourceByteBase + b, and turned back into b when the output is written, so
/// that Latin-1, Shift-JIS and UTF-8 bodies all come out byte for byte.
inline constexpr char32_t kSourceByteBase = 0xF700;

/// The element that SVG and MathML tags are renamed to ("<svg" becomes "<multicol"), so that the parser never
/// enters foreign content; the sanitizer drops it with its content. Tags of the element itself become
/// "x-multicol", an unknown element whose content is kept.
inline constexpr std::string_view kForeignStandIn = "multicol";

/// The source as the parser gets it: bytes of 128 and above mapped as above, control bytes but TAB, LF, FF and CR
/// dropped, SVG and MathML tags renamed as above (wherever they stand), and the bounds of options applied
/// (start tags nested too deep or past the tag limit dropped, attributes past the limit dropped). `bounded` is set
/// when a bound dropped something. The scan follows the tokenizer only roughly (comments, quoted attribute values
/// and the elements whose content is raw text): what it gets wrong costs layout, never safety, as the parse and
/// the allow-list decide what is written.
std::string BoundHtmlSource(std::string_view html, const HtmlSanitizerOptions& options, bool& bounded);

} // namespace qm::store
