// MailCharset: text from mail in its declared character set, or with none, turned into UTF-8.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qm::store {

/// Whether text is well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsUtf8(std::string_view text);

/// Appends bytes read as Windows-1252 to out as UTF-8. The five bytes Windows-1252 leaves unassigned (0x81, 0x8D,
/// 0x8F, 0x90, 0x9D) are read as ISO-8859-1 (the C1 control of that number). Every byte gives a character, so
/// this never fails; the text grows at most threefold.
void AppendWindows1252AsUtf8(std::string& out, std::string_view bytes);

/// What mail text without a declared character set means: itself when it is UTF-8 already, otherwise its bytes read
/// as Windows-1252. Appended to out.
void AppendUndeclaredAsUtf8(std::string& out, std::string_view bytes);

/// Appends bytes in the character set named charset (as a message names it: any case, an RFC 2231 language suffix
/// "*en" allowed) to out as UTF-8:
/// - "ISO-8859-1", "US-ASCII" and their aliases are read as Windows-1252, the superset that mail labelled so uses;
/// - UTF-8 is checked, not converted;
/// - ISO-2022-JP and the sets named after it go through the C library's converter, or, where that cannot convert
///   every character, through the JIS X 0208 byte rule and the Shift-JIS converter (NEC and vendor rows);
/// - any other set the C library knows is converted by it;
/// - an unknown set, or bytes that are not valid in the declared one, are read as AppendUndeclaredAsUtf8 reads them.
///
/// With incomplete non-null, a character cut off by the end of the bytes is not converted: its bytes (at most
/// kMaxIncompleteBytes) are left out and their count is stored there, so that the caller can put them in front of
/// the next piece of the same text. Without it they are read as undeclared text. The result is always UTF-8; a NUL
/// a conversion yields becomes a blank.
void AppendInUtf8(std::string& out, std::string_view bytes, std::string_view charset,
                  std::size_t* incomplete = nullptr);

/// Converts HTML that was made from mail (markup in ASCII, text in the charset `from`: what the body renderer
/// writes) into the charset `to`. Markup must come through as it is, so this refuses (false, output empty) unless
/// both sets keep ASCII as it is (checked by converting the printable ASCII characters, with TAB, CR, LF, SO, SI
/// and ESC) and the converted text has exactly the < > " ' & of the input, in order: a set such as UTF-7 or an
/// EBCDIC page would otherwise turn escaped text into markup ("+ADw-" into "<"), and a stateful one such as
/// ISO-2022-KR would swallow markup into its characters.
bool ConvertMarkup(std::string_view from, std::string_view to, std::string_view html, std::string& output);

/// Appends such HTML to out as UTF-8: from charset when ConvertMarkup can, otherwise read as undeclared text
/// (which keeps ASCII as it is). An empty charset reads it as undeclared text.
void AppendMarkupInUtf8(std::string& out, std::string_view html, std::string_view charset);

/// The most bytes of a cut-off character that AppendInUtf8 leaves for the next piece.
inline constexpr std::size_t kMaxIncompleteBytes = 8;

} // namespace qm::store
