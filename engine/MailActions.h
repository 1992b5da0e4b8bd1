// The actions of the four views that read mail (Main, List, Message, Attachment) and the preparation of the List and
// Message pages: they select, sort and page the visible messages, mark, move, copy and delete messages, empty the
// trash, choose the current message and announce the mail work after the page. The Attachment view, and the
// printable and source forms of a message, write the whole response themselves.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qm::engine {

class Request;

/// Language messages the mail pages show.
inline constexpr int kTextTo = 8;
inline constexpr int kTextFrom = 9;
inline constexpr int kTextDate = 10;
inline constexpr int kTextSubject = 11;
inline constexpr int kTextDiskQuotaReached = 36;
inline constexpr int kTextCountQuotaReached = 37;
inline constexpr int kTextNoSuchMessage = 46;
inline constexpr int kTextMarkedRead = 77;     // "%s": how many
inline constexpr int kTextMarkedUnread = 78;   // "%s": how many
inline constexpr int kTextMovedTo = 79;        // "%s %s": the folder, how many
inline constexpr int kTextCopiedTo = 80;       // "%s %s": the folder, how many
inline constexpr int kTextDeletedForGood = 81; // "%s": how many
inline constexpr int kTextTrashEmptied = 82;
inline constexpr int kTextTrashNotEmptied = 480; // "%s": how many messages the trash still holds
inline constexpr int kTextAddedToBook = 83;      // "%s": the name or address added

/// The actions; each runs under the session's lock of a request that has a session.
void MainAction(Request& request);
void ListAction(Request& request);
void MessageAction(Request& request);
void AttachmentAction(Request& request);

/// Run before the List page (and by the Main action) / the Message page is rendered.
void PrepareListPage(Request& request);
void PrepareMessagePage(Request& request);

/// A message number as a form field gives it: decimal digits only, nothing else, within 32 bits.
std::optional<std::uint32_t> ParseMessageNumberField(std::string_view text);

/// A page number: an optional '-' and decimal digits only; a value too large for an int is clamped to the int's
/// range.
std::optional<int> ParsePageNumber(std::string_view text);

/// The header lines that say how the browser treats an attachment part (each line ending CR LF, no blank line):
/// "Content-type" (contentType when it is a plain "type/subtype" token pair, else "application/octet-stream"),
/// "X-Content-Type-Options: nosniff", and "Content-Disposition": inline only for types that are safe to show on the
/// mail site's own origin (text/plain and images other than SVG), else attachment; with a file name, an ASCII
/// fallback filename="..." and filename*=UTF-8''... percent-encoded.
std::string AttachmentHead(std::string_view contentType, std::string_view fileName);

} // namespace qm::engine
