#include "engine/ComposeOutgoing.h"

#include "common/IniAccess.h"
#include "common/NameValueList.h"
#include "common/StringUtil.h"
#include "engine/ComposeState.h"
#include "engine/Engine.h"
#include "engine/Request.h"
#include "engine/Session.h"
#include "engine/UserRecord.h"
#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "store/HeaderBlock.h"
#include "store/MailHostList.h"
#include "store/MessageBuilder.h"
#include "store/MessageIndex.h"

#include <charconv>
#include <cstdio>
#include <string>

namespace qm::engine {
namespace {

namespace MessageFlag = store::MessageFlag;

constexpr int kMsgCreatingMessage = 256; // "Creating RFC822 e-mail file."

// The largest message file stored as a Sent copy or a draft.
constexpr std::uint64_t kMaxStoredMessage = std::uint64_t{1} << 30;

std::string Text(Request& request, const char* name)
{
    return std::string(request.Input().Variables().GetValue(name));
}

bool On(Request& request, const char* name)
{
    return !request.Input().Variables().IsEmpty(name);
}

// The mailbox of the account whose sender text is from (ASCII case ignored); "" when none is.
std::string MailboxOfSender(Request& request, std::string_view from)
{
    const store::MailHostList& accounts = request.CurrentSession()->User().MailHosts();
    for (int i = 0; i < accounts.Count(); ++i) {
        if (EqualsNoCase(SenderText(accounts.Item(i)), from)) {
            return accounts.Item(i).Mailbox();
        }
    }
    return {};
}

// The References of a reply: the thread of the message answered (ReplyMessage) when it is still in the index, and
// the Message-ID answered (In-Reply-To).
std::string ReferencesOf(Request& request)
{
    const std::string answered = Text(request, "In-Reply-To");
    if (answered.empty()) {
        return {};
    }
    std::string references;
    std::string inReplyTo;
    std::uint32_t number = 0;
    const std::string replied = Text(request, "ReplyMessage");
    const auto [end, error] = std::from_chars(replied.data(), replied.data() + replied.size(), number);
    if (!replied.empty() && error == std::errc() && end == replied.data() + replied.size()) {
        const store::MessageIndexEntry* parent = request.CurrentSession()->User().Messages().FindByNumber(number);
        if (parent != nullptr && !parent->Folder().empty()) {
            const store::HeaderBlock headers = store::HeaderBlock::ReadFile(parent->GetMessagePath().c_str());
            references = headers.GetValue("References");
            inReplyTo = headers.GetValue("In-Reply-To");
        }
    }
    return ReplyReferences(references, inReplyTo, answered);
}

} // namespace

OutgoingMessage OutgoingMessageOf(Request& request)
{
    OutgoingMessage message;
    message.From = Text(request, "From");
    message.To = Text(request, "To");
    message.CC = Text(request, "CC");
    message.BCC = Text(request, "BCC");
    message.ReplyTo = Text(request, "Reply-To");
    message.Subject = Text(request, "Subject");
    message.InReplyTo = Text(request, "In-Reply-To");
    message.MessageId =
            NewMessageId(message.From, ReadIniString("SmtpClient", "HeloDomain", "Quillmail"), request.Now());
    message.References = ReferencesOf(request);
    message.ConfirmDelivery = On(request, "ConfirmDelivery");
    message.ConfirmRead = On(request, "ConfirmRead");
    message.Urgent = On(request, "ComposeUrgent");
    message.ReplyMessage = Text(request, "ReplyMessage");
    message.ForwardMessage = Text(request, "ForwardMessage");
    message.SpellLanguage = Text(request, "SpellLanguage");
    message.Mailbox = Text(request, "Mailbox");
    message.Advanced = request.Input().Variables().Contains("AdvancedCompose");
    if (request.Input().Variables().Contains("FaxCompose")) {
        OutgoingFax fax;
        fax.CoverPage = Text(request, "CoverPage");
        fax.FaxPassword = Text(request, "FaxPassword");
        fax.FaxNumber = Text(request, "FaxNumber");
        fax.Attn = Text(request, "Attn");
        fax.Company = Text(request, "Company");
        if (request.Input().Variables().Contains("Body")) {
            fax.BodyField = Text(request, "Body");
        }
        message.Fax = std::move(fax);
    }
    message.Language = request.Language();
    message.Charset = LanguageText(request, kTextCharsetName);
    message.ComposeDir = ComposeDir(request);
    message.FooterPath = platform::PathJoin(ReadIniString("Directories", "BaseDir", InstallDir()), "footer.txt");
    message.MimeTypes = MimeTypes();
    message.Time = MessageTime::Local(request.Now());
    return message;
}

OutgoingResult BuildOutgoingMessage(Request& request, MessageForm form)
{
    request.Log().LogMsg(1, kMsgCreatingMessage);
    return WriteOutgoingMessage(OutgoingMessageOf(request), form,
                                platform::PathJoin(ComposeDir(request), kComposeMessageFile));
}

store::MessageIndexEntry* StoreComposedMessage(Request& request, std::string_view folder, MessageForm form)
{
    const std::string path = platform::PathJoin(ComposeDir(request), kComposeMessageFile);
    const std::optional<std::uint64_t> size = platform::FileSize(path);
    if (!size || *size > kMaxStoredMessage) {
        return nullptr;
    }
    UserRecord& user = request.CurrentSession()->User();
    store::MessageBuilder builder(user.Messages(), std::string(folder));
    if (!builder.Begin(static_cast<std::int64_t>(*size), true) ||
        !ForEachMessageLine(path, [&](std::string_view line) { (void)builder.AddLine(line); })) {
        return nullptr;
    }
    store::MessageIndexEntry* entry = builder.Finish();
    if (entry == nullptr) {
        return nullptr;
    }
    const bool draft = form == MessageForm::Draft;
    entry->ChangeFlags(MessageFlag::Stored, true);
    entry->ChangeFlags(MessageFlag::Draft, draft);
    entry->ChangeFlags(MessageFlag::Read, !draft || entry->HasFlag(MessageFlag::Read));
    entry->ChangeFlags(MessageFlag::New | MessageFlag::ConfirmReading, false);
    std::string mailbox = Text(request, "Mailbox");
    if (mailbox.empty()) {
        mailbox = MailboxOfSender(request, Text(request, "From"));
    }
    if (!mailbox.empty()) {
        entry->SetMailbox(mailbox);
    }
    user.Messages().MarkDirty();
    user.WriteStoreStats();
    return entry;
}

UploadResult ReadComposeUpload(Request& request)
{
    const std::string_view length = request.Input().GetEnv("CONTENT_LENGTH");
    std::uint64_t bytes = 0;
    const auto [end, error] = std::from_chars(length.data(), length.data() + length.size(), bytes);
    if (error != std::errc() || end != length.data() + length.size()) {
        return {UploadStatus::Truncated, {}, {}, {}};
    }
    const std::string dir = ComposeDir(request);
    (void)platform::MakeDirectories(dir);
    // The files of this upload may add what is left of the cap on the compose's attachments together.
    MultipartLimits limits;
    const std::uint64_t cap = MaxAttachmentsBytes();
    const std::uint64_t held = ComposeAttachmentsBytes(dir);
    limits.MaxFileBytes = held < cap ? cap - held : 0;
    return ParseMultipartUpload(request.Input().Input(), request.Input().GetEnv("CONTENT_TYPE"), bytes, dir,
                                request.MutableInput().Variables(), limits);
}

} // namespace qm::engine
