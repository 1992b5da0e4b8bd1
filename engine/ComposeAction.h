// The action of the compose views (Compose, Compose-Attach, Compose-SpellCheck): the buttons of the compose form
// (new, reply, reply to all, forward, cancel, finished, send now, send later, remove an attachment, the spelling
// page's corrections and dictionary words), sending the outgoing message over SMTP or handing a fax to the fax server
// as a drop file, the Sent copy and the draft.
#pragma once

#include "common/OutgoingMessage.h"

#include <functional>
#include <string>
#include <string_view>

namespace qm::store {
class MessageIndexEntry;
} // namespace qm::store

namespace qm::engine {

class Request;

/// Language messages of the compose action.
inline constexpr int kTextMessageSent = 29;
inline constexpr int kTextSendFailed = 48;
inline constexpr int kTextLineBreakInAddress = 90;  // a sender or recipient field holds CR or LF: nothing sent
inline constexpr int kTextKeptAsDraft = 91;         // the compose of an ended session was kept in Drafts
inline constexpr int kTextUploadFailed = 92;        // a multipart post was not taken whole: nothing done
inline constexpr int kTextFileNameRefused = 93;     // an uploaded file's name failed the name check: not attached
inline constexpr int kTextNoSenderAddress = 460;    // the sender (account) has no e-mail address: nothing sent
inline constexpr int kTextCarriedComposeOpen = 462; // the compose of an ended session is open, not in Drafts
inline constexpr int kTextTooManyRecipients = 520;   // more recipients than [SmtpClient] MaxRecipients: nothing sent
inline constexpr int kTextAttachmentsTooLarge = 521; // attachments over [General] MaxAttachmentsSize: nothing sent
inline constexpr int kTextAttachmentTooLarge = 522;  // an uploaded file would pass MaxAttachmentsSize: not attached

/// The default of [SmtpClient] MaxRecipients: the recipients of one message, To, CC and BCC together.
inline constexpr int kDefaultMaxRecipients = 100;

/// [SmtpClient] MaxRecipients; a value below 1 counts as the default, so that there is always a cap.
int MaxRecipients();

/// The recipients of a compose as the SMTP client takes them: the items of To, CC and BCC (split at ',' and ';'
/// outside double quotes), each counted however often it is repeated.
std::size_t CountComposeRecipients(std::string_view to, std::string_view cc, std::string_view bcc);

/// The pieces of the compose that other parts of the engine provide: the outgoing message file, its copy into a
/// folder, the upload parser and the spelling check. Tests may give their own. An empty FindsMisspelling never
/// stops a send.
struct ComposeSeams {
    /// Writes ".message.txt" of the compose directory from the compose files and the form fields.
    std::function<OutgoingResult(Request&, MessageForm)> BuildOutgoing;
    /// Stores ".message.txt" as a message of the folder; the new entry, or null.
    std::function<store::MessageIndexEntry*(Request&, std::string_view folder, MessageForm)> StoreComposed;
    /// Reads a multipart/form-data body into the form fields and the compose directory; false when the body was
    /// not taken whole.
    std::function<bool(Request&)> ParseUpload;
    /// True when the compose text has a word the dictionary of the two-letter language does not know.
    std::function<bool(Request&, std::string_view language)> FindsMisspelling;

    /// The engine's own pieces.
    static const ComposeSeams& Engine();
};

/// The action of the three compose views. Runs under the session's request lock of a request with a session.
void ComposeAction(Request& request);

/// Run before the page of a compose view is rendered.
void PrepareComposeView(Request& request);

/// Sends ".message.txt" over SMTP (domain settings SmtpHost and SmtpPort, [SmtpClient] HeloDomain) from the From
/// field to the addresses of To, CC and BCC. The client's result: 0 when the server took the message.
int SendComposedMessage(Request& request);

/// Why a compose cannot be sent as its fields stand.
enum class AddressProblem {
    None,
    LineBreak, ///< From, To, CC or BCC holds CR or LF
    Unusable,  ///< no recipient, or a sender or recipient that is not one plain address
};

/// Checks the sender and recipients before anything goes to the SMTP client: a CR or LF anywhere in from, to, cc
/// or bcc, then every item of the lists (split at ',' and ';' outside double quotes) reduced to its address.
AddressProblem CheckComposeAddresses(std::string_view from, std::string_view to, std::string_view cc,
                                     std::string_view bcc);

/// The fax number typed as a To: digits, ' ', '%', '+', '-', 'W' and 'w' kept, ',' as '%', every other byte
/// dropped; at most 31 kept.
std::string FaxNumberOf(std::string_view to);

/// Keeps the compose form of a request whose session had ended. The logon page posts the compose fields again
/// (CarriedComposeFields, under their own names) with ComposeUser, the user who wrote them; after a logon with a
/// password as that user (ASCII case ignored) the compose is stored in Drafts of the new session, and the status
/// message says so. True when a draft was stored. When it cannot be built or stored, it stays the compose of the new
/// session instead (its frame opens the compose page, the error message says so) and the log says why.
bool SaveCarriedDraft(Request& request, std::string_view loggedOnUser);

/// The form fields that the logon page carries for a compose of an ended session.
inline constexpr const char* kCarriedComposeFields[] = {"From",
                                                        "To",
                                                        "CC",
                                                        "BCC",
                                                        "Reply-To",
                                                        "Subject",
                                                        "Body",
                                                        "ComposeUrgent",
                                                        "ConfirmDelivery",
                                                        "ConfirmRead",
                                                        "ReplyMessage",
                                                        "ForwardMessage",
                                                        "In-Reply-To",
                                                        "SpellLanguage",
                                                        "Attn",
                                                        "Company",
                                                        "CoverPage",
                                                        "AdvancedCompose"};

/// The field that names the user whose compose is carried.
inline constexpr const char* kCarriedUserField = "ComposeUser";

/// True when the request is a compose post (a compose view with a Body field) that is worth keeping.
bool IsComposePost(const Request& request);

/// For a multipart compose post (the attachment page) whose session has ended: reads its fields, the text into
/// Body, so that the Logon page can carry them. Uploaded files are dropped (there is no store to keep them in),
/// and the log says so. The body is read through a scratch directory that is removed before this returns; a body
/// over kMaxFormPostBytes is not read. Does nothing for any other request.
void TakeCarriedUpload(Request& request);

} // namespace qm::engine
