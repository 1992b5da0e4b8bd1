// OutgoingMessage: the RFC 822/MIME file of a message being sent or kept as a draft, written byte for byte from
// the compose fields and the compose directory: headers with RFC 2047 words and folding, the text in its character
// set, the footer, the fax block and base64 attachments.
#pragma once

#include "common/MimeTypeTable.h"

#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace qm {

/// The local time of writing, as the Date header and the MIME boundary show it.
struct MessageTime {
    int Year = 1970;
    int Month = 1; ///< 1 to 12
    int Day = 1;
    int Hour = 0;
    int Minute = 0;
    int Second = 0;
    int Weekday = 4;          ///< 0 Sunday
    int UtcOffsetMinutes = 0; ///< local time minus UTC, daylight saving included

    /// The local time of `when` (UTC when the local time cannot be had).
    static MessageTime Local(std::time_t when);
};

/// The fax block of a fax compose.
struct OutgoingFax {
    std::string CoverPage;
    std::string FaxPassword;
    std::string FaxNumber;
    std::string Attn;
    std::string Company;
    /// The text as posted in a URL-encoded form; absent when the form came as multipart, where the text is only
    /// in .body.txt (which is then used).
    std::optional<std::string> BodyField;
};

/// The inputs of one outgoing message: the compose fields as the form variables hold them, and where the rest is.
struct OutgoingMessage {
    std::string From;
    std::string To;
    std::string CC;
    std::string BCC; ///< written in the draft form only
    std::string ReplyTo;
    std::string Subject;
    std::string InReplyTo;
    std::string MessageId;  ///< "<...>", written when not empty (NewMessageId)
    std::string References; ///< the thread of a reply, written when not empty (ReplyReferences)
    bool ConfirmDelivery = false;
    bool ConfirmRead = false;
    bool Urgent = false;
    // Draft form only.
    std::string ReplyMessage;
    std::string ForwardMessage;
    std::string SpellLanguage;
    std::string Mailbox;
    bool Advanced = false;

    std::optional<OutgoingFax> Fax;
    std::string Language;   ///< the request's language; "ja" sends 8-bit text as ISO-2022-JP from Shift_JIS
    std::string Charset;    ///< the language's character set name, for 8-bit text of any other language
    std::string ComposeDir; ///< holds .body.txt and the attachments
    std::string FooterPath; ///< footer.txt; empty or missing: no footer
    const MimeTypeTable* MimeTypes = nullptr; ///< types of attachments by extension; null: all octet-stream
    MessageTime Time;
};

enum class MessageForm {
    Send,  ///< with the footer, without BCC and the draft lines
    Draft, ///< with BCC and the draft lines, without the footer
};

enum class OutgoingError {
    None,
    LineBreakInAddress, ///< an address field holds CR or LF; nothing was written
    CannotWrite,        ///< the file could not be created or written; it does not exist afterwards
};

struct OutgoingResult {
    OutgoingError Error = OutgoingError::None;
    std::string Field; ///< the header name of a refused field

    explicit operator bool() const { return Error == OutgoingError::None; }
};

/// Writes the message to path (".message.txt" of the compose directory), every line ended by CR LF. A From, To, CC,
/// BCC or Reply-To holding CR or LF is refused (it would add a header or a recipient) and a file already at path
/// is removed, so that no earlier message is sent in its place. Line breaks in the Subject and the other header
/// values become blanks. Text lines of any length are kept whole. Attachments are the files of the compose
/// directory that pass the name check, sorted by name.
OutgoingResult WriteOutgoingMessage(const OutgoingMessage& message, MessageForm form, const std::string& path);

/// Appends one header line "name: value" ended by CR LF: folded at blanks into lines of at most 76 characters (TAB
/// continuations) when ASCII; with 8-bit bytes, the runs holding them as RFC 2047 words of `charset` (B or Q,
/// whichever is shorter; ISO-2022-JP B words for language "ja"), not folded. joinWords merges two encoded runs
/// with the ASCII words between them into one.
void AppendHeaderField(std::string& out, std::string_view name, std::string_view value, bool joinWords,
                       std::string_view language, std::string_view charset);

/// The longest References text of a reply: ids joined by blanks.
inline constexpr std::size_t kMaxReferencesBytes = 900;

/// A new Message-ID, "<seconds.random@domain>": the time, 16 bytes of the system's random source in hex, and the
/// domain of from's address, or fallbackDomain when that address has no plain domain name (letters, digits, '-' and
/// '.'); "localhost" when neither is one.
std::string NewMessageId(std::string_view from, std::string_view fallbackDomain, std::time_t when);

/// The References of a reply (RFC 5322 3.6.4) to a message with the given References, In-Reply-To and Message-ID
/// header texts: the parent's References, or its In-Reply-To when it has no References and that holds one id, then
/// the parent's Message-ID; ids joined by blanks, each once. Only well-formed ids are taken ("<", printable ASCII
/// without blanks or angle brackets, ">"). A thread longer than kMaxReferencesBytes keeps its first id and as many
/// of its latest as fit. "" when messageId holds no id.
std::string ReplyReferences(std::string_view references, std::string_view inReplyTo, std::string_view messageId);

/// RFC 2047 Q text: '!' to '~' except '=', '?' and '_' kept, a blank as '_', every other byte "=XX".
std::string QEncode(std::string_view text);

/// Standard base64 with '=' padding.
std::string BEncode(std::string_view text);

/// Shift_JIS to ISO-2022-JP (RFC 1468): double-byte characters between ESC $ B and ESC ( B; half-width katakana
/// become their full-width forms (a following voiced or semi-voiced sound mark merged where such a form exists).
/// A lead byte without a valid trail byte is copied as it is. The result grows as it needs.
std::string ShiftJisToIso2022Jp(std::string_view text);

/// Calls take with every line of the message file at path, its line end (CR LF or LF) removed, whatever its
/// length: for storing the message as a sent copy or a draft with its lines exactly as written. False when the file
/// cannot be opened.
bool ForEachMessageLine(const std::string& path, const std::function<void(std::string_view)>& take);

/// True when any byte has its high bit set.
bool HasEightBitBytes(std::string_view text);

} // namespace qm
