// Read receipts: the message disposition notification (multipart/report, report-type disposition-notification)
// sent once when a message that asked for one is opened and the engine is set to send them.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace qm::store {
class HeaderBlock;
} // namespace qm::store

namespace qm::engine {

class Request;

/// The boundary between the receipt's parts.
inline constexpr std::string_view kReceiptBoundary = "---PART-BREAK";

/// The longest receipt address taken from a header.
inline constexpr std::size_t kMaxReceiptAddress = 259;

/// What a receipt says.
struct ReceiptFields {
    std::string SenderName;    // the reader's full name; may be empty
    std::string SenderAddress; // the reader's e-mail address
    std::string Recipient;     // the bare address the message asked the receipt for
    std::string Subject;       // the opened message's subject
    time_t MessageDate = 0;    // the opened message's date
    std::optional<std::string> OriginalRecipient;
    std::optional<std::string> MessageId;
    time_t Now = 0;
};

/// The whole receipt, CR LF line ends. Every value written into a header or a report field loses its CR and LF
/// bytes, so nothing taken from a message can add a line of its own. Dates are in English whatever the locale.
std::string ReadReceiptText(const ReceiptFields& fields);

/// The address a receipt goes to: the Disposition-Notification-To header, else X-Confirm-Reading-To, cut to
/// kMaxReceiptAddress and reduced to the bare address. nullopt when there is none, when it is empty, when it holds
/// CR, LF or another control byte, or when it names more than one address (items split at ',' and ';' outside
/// double quotes): a receipt has exactly one recipient. For a list, *listed (when given) is set true.
std::optional<std::string> ReceiptAddress(const store::HeaderBlock& headers, bool* listed = nullptr);

/// The local time as "%d %b %Y %H:%M:%S" with English month names.
std::string ReceiptDateText(time_t when);

/// After the Message page: when the current message asked for a receipt and is stored, the request flag is cleared
/// and the index saved first (so a message is answered at most once, even after a crash; when the save fails nothing
/// is sent); then, when [General]
/// SendReadConfirmations is on, the receipt is written to ".read.conf" in the session's temporary directory, sent
/// with the domain's SmtpHost, SmtpPort and HeloDomain, and the file removed. True when a receipt was sent.
bool AnswerReadReceipt(Request& request);

} // namespace qm::engine
