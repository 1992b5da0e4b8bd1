#include "engine/ReadReceipt.h"

#include "common/IniAccess.h"
#include "common/StringUtil.h"
#include "engine/DomainSettings.h"
#include "engine/Request.h"
#include "engine/RequestLogText.h"
#include "engine/Session.h"
#include "engine/SessionMail.h"
#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "store/HeaderBlock.h"
#include "store/MailHostList.h"
#include "store/MessageIndex.h"
#include "store/SmtpClient.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace qm::engine {
namespace {

// Whether text starts with an address type and ';' ("rfc822;", "x-local ;"), as an Original-Recipient value does.
bool HasAddressType(std::string_view text)
{
    const std::size_t semicolon = text.find(';');
    if (semicolon == std::string_view::npos || semicolon == 0) {
        return false;
    }
    const std::string_view type = text.substr(0, semicolon);
    const std::size_t last = type.find_last_not_of(' ');
    if (last == std::string_view::npos) {
        return false;
    }
    return std::all_of(type.begin(), type.begin() + static_cast<std::ptrdiff_t>(last) + 1, [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
    });
}

inline constexpr int kLogSendingReceipt = 242;
inline constexpr std::size_t kMaxSmtpSetting = 79;

std::string OneLine(std::string_view text)
{
    std::string kept;
    kept.reserve(text.size());
    for (const char c : text) {
        if (c != '\r' && c != '\n') {
            kept += c;
        }
    }
    return kept;
}

bool HasControlByte(std::string_view text)
{
    return std::ranges::any_of(text, [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7F;
    });
}

std::optional<std::string> HeaderValue(const store::HeaderBlock& headers, const char* name)
{
    if (!headers.Contains(name)) {
        return std::nullopt;
    }
    return OneLine(headers.GetValue(name));
}

// The reader as the receipt names it: the account of the message's mailbox, else the default account.
void FillSender(UserRecord& user, const store::MessageIndexEntry& message, ReceiptFields& fields)
{
    const store::MailHostList& hosts = user.MailHosts();
    const store::MailHostAccount* own = message.Mailbox().empty() ? nullptr : hosts.Find(message.Mailbox());
    if (own != nullptr && !own->EMail().empty()) {
        fields.SenderName = own->FullName();
        fields.SenderAddress = own->EMail();
        return;
    }
    fields.SenderName = user.DefaultAccountFullName();
    fields.SenderAddress = user.DefaultAccountEMail();
}

bool SendReadReceipt(Request& request, const ReceiptFields& fields)
{
    Logger& log = request.Log();
    log.LogMsg(2, kLogSendingReceipt, ForLog(fields.Recipient).c_str());
    engine::Session& session = *request.CurrentSession();
    const std::string path = platform::PathJoin(session.TempDir(), ".read.conf");
    const std::string text = ReadReceiptText(fields);
    if (!platform::WriteFileAtomic(path, text)) {
        log.Log(3, "The read confirmation could not be written to %s.", path.c_str());
        return false;
    }
    const std::string& domain = request.Domain();
    const std::string host = GetDomainSetting("SmtpHost", domain).substr(0, kMaxSmtpSetting);
    const std::string helo = GetDomainSetting("HeloDomain", domain).substr(0, kMaxSmtpSetting);
    store::SmtpClient client(host, GetDomainInt("SmtpPort", domain), helo, log);
    const bool sent = client.Send(OneLine(fields.SenderAddress).c_str(), fields.Recipient.c_str(), path.c_str()) &&
                      client.Result() == store::SmtpResult::Success;
    (void)platform::RemoveFile(path);
    return sent;
}

} // namespace

std::string ReceiptDateText(time_t when)
{
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm local{};
    if (::localtime_r(&when, &local) == nullptr) {
        return {};
    }
    char text[48];
    (void)std::snprintf(text, sizeof text, "%02d %s %04d %02d:%02d:%02d", local.tm_mday, kMonths[local.tm_mon % 12],
                        local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec);
    return text;
}

std::string ReadReceiptText(const ReceiptFields& fields)
{
    const std::string boundary(kReceiptBoundary);
    const std::string name = OneLine(fields.SenderName);
    const std::string address = OneLine(fields.SenderAddress);
    const std::string subject = OneLine(fields.Subject);
    const std::string sender = name.empty() ? "<" + address + ">" : "\"" + name + "\" <" + address + ">";
    std::string text;
    text += "Date: " + MailDateText(fields.Now) + "\r\n";
    text += "From: " + sender + "\r\n";
    text += "To: <" + OneLine(fields.Recipient) + ">\r\n";
    text += "MIME-Version: 1.0\r\n";
    text += "Content-Type: multipart/report; boundary=\"" + boundary +
            "\";\r\n\treport-type=disposition-notification\r\n";
    text += "Subject: Notification for \"" + subject + "\"\r\n\r\n";
    text += "--" + boundary + "\r\nContent-Type: text/plain\r\n\r\n";
    text += "Your message of " + ReceiptDateText(fields.MessageDate) + " regarding \"" + subject +
            "\" has been displayed by " + (name.empty() ? address : name) + ".\r\n\r\n";
    text += "--" + boundary + "\r\nContent-Type: message/disposition-notification\r\n\r\n";
    text += "Final-Recipient: rfc822; <" + address + ">\r\n";
    if (fields.OriginalRecipient) {
        // The header's value already starts with its address type ("rfc822;a@b"); a bare address gets one.
        const std::string original = OneLine(*fields.OriginalRecipient);
        text += "Original-Recipient: " + (HasAddressType(original) ? original : "rfc822; " + original) + "\r\n";
    }
    if (fields.MessageId) {
        text += "Original-Message-ID: " + OneLine(*fields.MessageId) + "\r\n";
    }
    text += "Disposition: manual-action/MDN-sent-automatically; displayed\r\n";
    text += "\r\n--" + boundary + "--\r\n";
    return text;
}

std::optional<std::string> ReceiptAddress(const store::HeaderBlock& headers, bool* listed)
{
    if (listed != nullptr) {
        *listed = false;
    }
    const char* name =
            headers.Contains("Disposition-Notification-To") ? "Disposition-Notification-To" : "X-Confirm-Reading-To";
    if (!headers.Contains(name)) {
        return std::nullopt;
    }
    std::string value = std::string(headers.GetValue(name)).substr(0, kMaxReceiptAddress);
    if (HasControlByte(value)) {
        return std::nullopt;
    }
    // The items of the value, split as the SMTP client splits recipients: at ',' and ';' outside double quotes.
    std::vector<std::string> addresses;
    std::string item;
    auto takeItem = [&] {
        std::vector<char> buffer(item.begin(), item.end());
        buffer.push_back('\0');
        item.clear();
        ExtractAddress(buffer.data());
        if (std::string address(TrimmedView(buffer.data())); !address.empty()) {
            addresses.push_back(std::move(address));
        }
    };
    bool quoted = false;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (c == '\\' && i + 1 < value.size()) {
            item += c;
            item += value[++i];
        } else if (c == '"') {
            quoted = !quoted;
            item += c;
        } else if ((c == ',' || c == ';') && !quoted) {
            takeItem();
        } else {
            item += c;
        }
    }
    takeItem();
    if (addresses.size() > 1) {
        // A receipt has one recipient: a list would make one opening send mail to every address of it.
        if (listed != nullptr) {
            *listed = true;
        }
        return std::nullopt;
    }
    // The one address must stay one recipient of one command line.
    if (addresses.empty() || std::ranges::any_of(addresses.front(), [](char c) {
            return c == ' ' || c == ',' || c == ';' || c == '<' || c == '>' || c == '"';
        })) {
        return std::nullopt;
    }
    return addresses.front();
}

bool AnswerReadReceipt(Request& request)
{
    engine::Session* session = request.CurrentSession();
    if (session == nullptr || session->CurrentMessage() == nullptr) {
        return false;
    }
    store::MessageIndexEntry& message = *session->CurrentMessage();
    if (!message.HasFlag(store::MessageFlag::ConfirmReading) || !message.HasFlag(store::MessageFlag::Stored)) {
        return false;
    }
    // Answered at most once: the request is gone from the index on disk before anything is sent. When that cannot
    // be saved, nothing is sent: the index read again later would ask once more.
    message.ChangeFlags(store::MessageFlag::ConfirmReading, false);
    UserRecord& user = session->User();
    const bool remembered = SaveMessageIndex(user, request.Log());
    if (!ReadIniBool("General", "SendReadConfirmations", false)) {
        return false;
    }
    if (!remembered) {
        request.Log().Log(3, "No read confirmation: the message index could not be saved.");
        return false;
    }
    const store::HeaderBlock headers = store::HeaderBlock::ReadFile(message.GetMessagePath().c_str());
    bool listed = false;
    const std::optional<std::string> recipient = ReceiptAddress(headers, &listed);
    if (listed) {
        request.Log().Log(3, "No read confirmation: message %u asks for one to a list of addresses.",
                          static_cast<unsigned>(message.Number()));
    }
    if (!recipient) {
        return false;
    }
    ReceiptFields fields;
    FillSender(user, message, fields);
    if (fields.SenderAddress.empty()) {
        request.Log().Log(3, "No read confirmation: the user has no e-mail address.");
        return false;
    }
    fields.Recipient = *recipient;
    fields.Subject = message.Subject();
    fields.MessageDate = static_cast<time_t>(message.Date());
    fields.OriginalRecipient = HeaderValue(headers, "Original-Recipient");
    fields.MessageId = HeaderValue(headers, "Message-ID");
    fields.Now = request.Now();
    return SendReadReceipt(request, fields);
}

} // namespace qm::engine
