// The state of a message being written: the compose files in the session's temporary directory, the compose form
// fields they carry between requests, and the set-up of a new message, a reply, a reply to all, a forward and a
// draft opened for editing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qm::store {
class HeaderBlock;
class MailHostAccount;
class MessageIndexEntry;
} // namespace qm::store

namespace qm::engine {

class Request;

/// The compose's own files in the compose directory. Every other name there is an attachment.
inline constexpr const char* kComposeBodyFile = ".body.txt";       ///< the text being written (CR LF line ends)
inline constexpr const char* kComposeBodyTempFile = ".body.tmp";   ///< scratch: the text of the source message
inline constexpr const char* kComposeHeadersFile = ".headers.txt"; ///< the compose fields, "Name: value" CR LF
inline constexpr const char* kComposeMessageFile = ".message.txt"; ///< the outgoing message

/// Log messages of the compose set-up.
inline constexpr int kMsgLoadingCompose = 254;  // "Loading compose file..."
inline constexpr int kMsgCreatingCompose = 255; // "Creating compose file, type=%d." with the kind

/// The fields of ".headers.txt", in the order they are written.
inline constexpr const char* kComposeHeaderFields[] = {"From",         "To",
                                                       "CC",           "BCC",
                                                       "Reply-To",     "SourceMessage",
                                                       "ReplyMessage", "ForwardMessage",
                                                       "Subject",      "ConfirmDelivery",
                                                       "ConfirmRead",  "ComposeUrgent",
                                                       "In-Reply-To",  "Mailbox",
                                                       "Attn",         "Company",
                                                       "CoverPage",    "SpellLanguage"};

/// The longest value a compose field keeps when it is read back from ".headers.txt".
inline constexpr std::size_t kMaxComposeFieldBytes = std::size_t{1} << 20;

/// The largest compose text the compose page shows for editing, in bytes. A larger one is kept as it is: it can be
/// sent, saved or discarded, but no posted text replaces it.
inline constexpr std::uint64_t kMaxEditableComposeText = std::uint64_t{8} << 20;

/// The longest display name and address taken from one recipient of the original.
inline constexpr std::size_t kMaxRecipientText = 127;

/// What StartCompose sets up.
enum class ComposeKind {
    Page = -1, ///< a compose page found no text: a new, empty message
    New = 0,
    Forward = 1,
    Reply = 2,
    ReplyAll = 3,
};

/// Whether LoadComposeHeaders runs for a posted compose form.
enum class FormPosted {
    No,
    Yes,
};

/// The compose directory of the request's session (its temporary directory); "" without a session.
std::string ComposeDir(Request& request);

/// True for a name that may be an attachment file of the compose directory: not empty, no leading '.', no '/' or
/// '\', no control byte or DEL, and not a name whose type file ('.' and the name) is one of the compose's own files
/// ("body.txt", "body.tmp", "headers.txt", "message.txt", any case).
bool IsAttachmentFileName(std::string_view name);

/// The name an attachment of a stored message gets in the compose directory: the part's file name reduced to a bare
/// name (no directory, no control bytes), leading dots dropped, cut to 79 bytes without splitting a UTF-8 sequence;
/// "attachment" when nothing is left, "attachment-" in front of a name of a compose file. Passes
/// IsAttachmentFileName.
std::string AttachmentFileNameOf(std::string_view partFileName);

/// The default of [General] MaxAttachmentsSize: the attachments of one compose together, in KB.
inline constexpr int kDefaultMaxAttachmentsKb = 25600;

/// [General] MaxAttachmentsSize in bytes; a value below 1 counts as the default, so that there is always a cap.
std::uint64_t MaxAttachmentsBytes();

/// The bytes of the compose's attachments together: the regular files of composeDir that the outgoing message
/// attaches (names that pass the name check, no leading '.').
std::uint64_t ComposeAttachmentsBytes(const std::string& composeDir);

/// The sender text of an account: "\"<full name>\" <<e-mail>>", or "<<e-mail>>" without a full name.
std::string SenderText(const store::MailHostAccount& account);

/// Empties the compose directory; sets To to "" unless QUERY_STRING holds "&To=" (any case), and CC, BCC and Subject
/// to "". The fields that tie the compose to a stored message (SourceMessage, ReplyMessage, ForwardMessage,
/// In-Reply-To) are set to "" too, so that a new compose never deletes an earlier draft or marks another message
/// when it is sent.
void ClearComposeFields(Request& request);

/// Reads ".headers.txt" (absent: nothing happens) into the form fields. FormPosted::No sets a field only when it is
/// missing or empty; FormPosted::Yes only when the request has no field of that name, and, when the request has
/// AdvancedCompose, never ConfirmDelivery, ConfirmRead or ComposeUrgent (an advanced form posts those check boxes
/// only when ticked). A line "Name:" with nothing after it gives "".
void LoadComposeHeaders(Request& request, FormPosted posted);

/// Writes ".headers.txt" from the form fields (missing ones as ""), CR and LF in a value written as blanks, so that
/// no value adds a line. False when the file cannot be written.
bool SaveComposeHeaders(Request& request);

/// True unless the compose text in composeDir is larger than kMaxEditableComposeText (no text: true).
bool IsComposeTextEditable(const std::string& composeDir);

/// Language message of a compose page whose text is too large to edit.
inline constexpr int kTextTooLargeToEdit = 461;

/// Writes the Body field to ".body.txt" exactly as posted, except that every numeric character reference "&#<digits>;"
/// becomes the bytes of that character in the character set of the request's pages (language message 64; see
/// ReplaceCharacterReferences). A text too large to edit (IsComposeTextEditable) is never written over. False when
/// nothing was written.
bool SaveBodyField(Request& request);

/// text with every "&#<decimal>;" replaced by the character's bytes in charset, the character set of the page the
/// text was typed on (UTF-8 gives UTF-8). When charset is empty or unknown to the converter, the code page of
/// language: "ja" CP932, "zh" CP936, "ko" CP949, "cs" and "pl" CP1250, "ru" CP1251, any other CP1252. A reference
/// that names no character (0, a surrogate, past U+10FFFF, more than 7 digits) or that the character set cannot hold
/// in 1 to 4 bytes stays as it is.
std::string ReplaceCharacterReferences(std::string_view text, std::string_view language, std::string_view charset);

/// The text of ".body.txt" for the quoted original: every line of source (CR LF or LF ends; a last line without one
/// counts) written as prefix + line + CR LF when it is at most width bytes; a longer one broken again and again at
/// the last blank at or before byte width (the blank dropped) or, without one, after width bytes, moved back so that
/// no double-byte character (language "ja" or "zh") or, in a line that is valid UTF-8, no UTF-8 sequence is split.
/// width below 1 is taken as 1.
std::string QuoteLines(std::string_view source, std::string_view prefix, int width, std::string_view language);

/// Sets up a compose (see ComposeKind); entry null, or kind New or Page, starts an empty message from the default
/// account. A reply or forward copies the original's text, quoted, into ".body.txt" below the signature; a forward
/// also copies every other part as an attachment. Ends by writing ".headers.txt". Logs kMsgCreatingCompose.
void StartCompose(Request& request, store::MessageIndexEntry* entry, ComposeKind kind);

/// Makes the stored draft entry the current compose: the compose directory is emptied, the draft's compose header
/// fields become form fields (only those: a header never sets any other field of the request), its first part (or
/// its whole text) becomes ".body.txt" and every further part an attachment; SourceMessage is the draft's number.
/// Ends by writing ".headers.txt". Logs kMsgLoadingCompose.
void OpenDraftForEditing(Request& request, store::MessageIndexEntry& entry);

/// Sets To for a reply to the original's headers: Reply-To, else From; for a reply to all also every address of
/// From, To and CC but the user's own (that of the From field), each address once. Adds the recipients to the
/// personal address book when the user setting AddRepliesToAddrBook is on.
void BuildReplyRecipients(Request& request, const store::HeaderBlock& headers, bool all);

/// Run when a compose page is prepared: LoadComposeHeaders (No); without ".body.txt" a new compose (ComposeKind::Page)
/// and the frame view becomes the current view; then SaveComposeHeaders. The Compose page of a text too large to
/// edit gets the error message kTextTooLargeToEdit (unless another one is waiting).
void PrepareComposePage(Request& request);

/// The signature of mailbox in userDir ("<mailbox>.sig"): "\r\n", then every line of the file followed by "\r\n".
/// "" when there is none (or it is larger than 256 KiB).
std::string SignatureText(const std::string& userDir, std::string_view mailbox);

} // namespace qm::engine
