#include "engine/ComposeAction.h"

#include "common/CgiInput.h"
#include "common/IniAccess.h"
#include "common/NameValueList.h"
#include "common/StringUtil.h"
#include "engine/ComposeOutgoing.h"
#include "engine/ComposeState.h"
#include "engine/DomainSettings.h"
#include "engine/EngineShared.h"
#include "engine/LanguagesFile.h"
#include "engine/MailActions.h"
#include "engine/Request.h"
#include "engine/Session.h"
#include "engine/SessionMail.h"
#include "engine/SessionManager.h"
#include "engine/SpellCheck.h"
#include "engine/UserDirectory.h"
#include "engine/UserRecord.h"
#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "platform/Random.h"
#include "platform/Registry.h"
#include "store/MailHostList.h"
#include "store/MessageIndex.h"
#include "store/SmtpClient.h"

#include <algorithm>
#include <charconv>
#include <string>
#include <vector>

namespace qm::engine {
namespace {

namespace MessageFlag = store::MessageFlag;
using store::MessageIndex;
using store::MessageIndexEntry;

constexpr std::size_t kMaxFaxNumber = 31;
constexpr std::size_t kMaxFaxEmail = 127;
constexpr std::size_t kMaxSmtpHost = 255;
constexpr std::size_t kMaxSpellLanguage = 2;
// In the verbose confirmation a longer To or Subject is cut to kShownCut bytes and "...".
constexpr std::size_t kMaxShownText = 56;
constexpr std::size_t kShownCut = 53;

constexpr const char* kTelvaneKey = "Software\\Brindlewood Technologies\\Telvane\\Server";

NameValueList& Fields(Request& request)
{
    return request.MutableInput().Variables();
}

std::string_view Field(Request& request, const char* name)
{
    return Fields(request).GetValue(name);
}

bool Has(Request& request, const char* name)
{
    return Fields(request).Contains(name);
}

void SetField(Request& request, const char* name, std::string_view value)
{
    Fields(request).Set(name, std::string(value));
}

Session& SessionOf(Request& request)
{
    return *request.CurrentSession();
}

bool IsComposeView(int view)
{
    return view == kViewCompose || view == kViewComposeAttach || view == kViewComposeSpellCheck;
}

// A view a compose may return to: a page of the mail or options views, never a compose view (that would show the
// compose again, started anew) nor a view without a page of its own.
bool IsReturnView(int view)
{
    return view >= kViewList && view <= kViewOptionsAddrBook && view != kViewAttachment && !IsComposeView(view);
}

// Where a finished or cancelled compose goes: the frame view when one is set, else the previous view; the List
// when neither is a page to return to. The frame view is cleared.
int LeaveComposeView(Session& session)
{
    const int frame = session.FrameView();
    session.SetFrameView(0);
    if (IsReturnView(frame)) {
        return frame;
    }
    return IsReturnView(session.PreviousView()) ? session.PreviousView() : kViewList;
}

// Where a sub-page (attachments, spelling) goes back to: the view before it, which is the compose page itself.
int LeaveSubPage(Session& session)
{
    const int previous = session.PreviousView();
    return previous != 0 && previous != kViewComposeAttach && previous != kViewComposeSpellCheck ? previous
                                                                                                 : kViewCompose;
}

// The decimal form of a number and nothing else.
std::optional<int> DecimalIndex(std::string_view text)
{
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || std::to_string(value) != text) {
        return std::nullopt;
    }
    return value;
}

// A From that is the number of a mail account (the compose page's choice) becomes that account's sender text and
// mailbox; a number out of range names the default account.
void ResolveSender(Request& request)
{
    const std::optional<int> index = DecimalIndex(Field(request, "From"));
    if (!index) {
        return;
    }
    store::MailHostList& accounts = SessionOf(request).User().MailHosts();
    if (accounts.Count() == 0) {
        SetField(request, "From", "");
        return;
    }
    const int n = *index >= 0 && *index < accounts.Count() ? *index : accounts.IndexOf(accounts.GetDefaultMailbox());
    const store::MailHostAccount& account = accounts.Item(n);
    SetField(request, "Mailbox", account.Mailbox());
    SetField(request, "From", SenderText(account));
}

store::MessageIndexEntry* FindNumbered(Request& request, std::string_view text)
{
    int number = 0;
    const std::optional<int> parsed = DecimalIndex(text);
    if (!parsed || (number = *parsed) < 0) {
        return nullptr;
    }
    MessageIndexEntry* entry = SessionOf(request).User().Messages().FindByNumber(static_cast<std::uint32_t>(number));
    return entry != nullptr && !entry->Folder().empty() ? entry : nullptr;
}

// The draft this compose was opened from is replaced by what was sent or saved: it goes, with its files.
void DeleteSourceDraft(Request& request)
{
    Session& session = SessionOf(request);
    MessageIndexEntry* draft = FindNumbered(request, Field(request, "SourceMessage"));
    if (draft == nullptr) {
        return;
    }
    // Its file goes with the index's next save; a failed deletion leaves the draft where it was.
    if (session.User().Messages().DeleteEntry(draft) == MessageIndex::DeleteOutcome::Failed) {
        return;
    }
    session.SetCurrentMessage(nullptr);
    session.User().Messages().MarkDirty();
}

void MarkAnswered(Request& request)
{
    MessageIndex& index = SessionOf(request).User().Messages();
    if (MessageIndexEntry* forwarded = FindNumbered(request, Field(request, "ForwardMessage"))) {
        forwarded->SetFlags(forwarded->Flags() | MessageFlag::Forwarded);
        index.MarkDirty();
    }
    if (MessageIndexEntry* replied = FindNumbered(request, Field(request, "ReplyMessage"))) {
        replied->SetFlags(replied->Flags() | MessageFlag::Replied);
        index.MarkDirty();
    }
}

// The end of a compose that was sent or saved: the compose files go and the page leaves the compose.
void EndCompose(Request& request)
{
    ClearComposeFields(request);
    Fields(request).Remove("Mailbox");
    request.SetView(LeaveComposeView(SessionOf(request)));
}

// A To or Subject in the verbose confirmation: a long one cut, never inside a UTF-8 sequence.
std::string Shown(std::string_view text)
{
    if (text.size() <= kMaxShownText) {
        return std::string(text);
    }
    std::size_t cut = kShownCut;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    return std::string(text.substr(0, cut)) + "...";
}

void ConfirmSent(Request& request, std::string_view to)
{
    std::string text = LanguageText(request, kTextMessageSent);
    if (ReadIniBool("General", "VerboseSentConfirmation", false)) {
        text += "\n" + std::string(LanguageText(request, kTextTo)) + ": " + Shown(to);
        text += "\n" + std::string(LanguageText(request, kTextSubject)) + ": " + Shown(Field(request, "Subject"));
    }
    SetStatusMessage(request, text);
}

// The fax server's drop directory: [Directories] RFC822 of Telvane.ini in the fax server's program directory.
std::optional<std::string> TelvaneDropDir()
{
    std::string appPath = ReadIniString("Telvane", "AppPath", "");
    if (appPath.empty()) {
        appPath = platform::RegGetString(kTelvaneKey, "AppPath").value_or("");
    }
    const std::string ini = platform::PathJoin(appPath, "Telvane.ini");
    if (appPath.empty() || !platform::IsRegularFile(ini)) {
        return std::nullopt;
    }
    const std::string dir = ReadIniStringFile("Directories", "RFC822", "", ini);
    if (dir.empty() || !platform::IsDirectory(dir)) {
        return std::nullopt;
    }
    return dir;
}

// Hands the message file to the fax server: a lock file stands while the message moves to its drop name.
bool DropForTelvane(Request& request)
{
    const std::optional<std::string> dir = TelvaneDropDir();
    if (!dir) {
        return false;
    }
    const std::string stem = std::string("qm_") + SessionOf(request).Id() + "_" + std::to_string(request.Now());
    const std::string lock = platform::PathJoin(*dir, stem + ".lck");
    if (!platform::CreateNewFile(lock)) {
        return false;
    }
    const bool moved = static_cast<bool>(platform::ReplaceFile(
            platform::PathJoin(ComposeDir(request), kComposeMessageFile), platform::PathJoin(*dir, stem + ".msg")));
    (void)platform::RemoveFile(lock);
    return moved;
}

const ComposeSeams& Seams(Request& request)
{
    return request.Compose() != nullptr ? *request.Compose() : ComposeSeams::Engine();
}

// Sends the compose; true when it went (over SMTP or to the fax server).
bool Deliver(Request& request, bool fax, bool telvane)
{
    const ComposeSeams& seams = Seams(request);
    if (!seams.BuildOutgoing || !seams.BuildOutgoing(request, MessageForm::Send)) {
        return false;
    }
    if (fax && Field(request, "FaxNumber").empty()) {
        return false;
    }
    const std::string faxEmail = ReadIniString("Telvane", "FaxEmail", "").substr(0, kMaxFaxEmail);
    if (fax && telvane && faxEmail.empty()) {
        return DropForTelvane(request);
    }
    if (CheckComposeAddresses(Field(request, "From"), Field(request, "To"), Field(request, "CC"),
                              Field(request, "BCC")) != AddressProblem::None) {
        return false;
    }
    UserRecord& user = SessionOf(request).User();
    EngineStatus* status = request.Status();
    if (SendComposedMessage(request) != 0) {
        if (status != nullptr) {
            AddToStatus(*status, StatusWord::SmtpFailures, 1);
        }
        (void)user.AddStat("SendErrors", 1);
        return false;
    }
    if (status != nullptr) {
        AddToStatus(*status, StatusWord::SmtpSends, 1);
    }
    (void)user.AddStat("Sent", 1);
    return true;
}

// True when the sender text holds an address: an account without an e-mail address gives "\"Name\" <>", a user
// without any account "".
bool HasSenderAddress(std::string_view from)
{
    std::string address(from);
    ExtractAddress(address.data());
    return !TrimmedView(address.c_str()).empty();
}

std::vector<std::string_view> AddressItems(std::string_view list);

// The caps on one message: recipients and attachments. False, with the error message set, when one is passed; the
// compose stays as it is.
bool WithinSendCaps(Request& request)
{
    const int maxRecipients = MaxRecipients();
    const std::size_t recipients =
            CountComposeRecipients(Field(request, "To"), Field(request, "CC"), Field(request, "BCC"));
    if (recipients > static_cast<std::size_t>(maxRecipients)) {
        request.Log().Log(3, "Nothing sent: %zu recipients, more than MaxRecipients (%d).", recipients,
                          maxRecipients);
        SetErrorMessage(request, FormatLanguageMessage(LanguageText(request, kTextTooManyRecipients),
                                                       {std::to_string(maxRecipients)}));
        return false;
    }
    const std::uint64_t maxBytes = MaxAttachmentsBytes();
    const std::uint64_t attached = ComposeAttachmentsBytes(ComposeDir(request));
    if (attached > maxBytes) {
        request.Log().Log(3, "Nothing sent: the attachments hold %llu bytes, more than MaxAttachmentsSize (%llu KB).",
                          static_cast<unsigned long long>(attached), static_cast<unsigned long long>(maxBytes / 1024));
        SetErrorMessage(request, FormatLanguageMessage(LanguageText(request, kTextAttachmentsTooLarge),
                                                       {std::to_string(maxBytes / 1024)}));
        return false;
    }
    return true;
}

void SendNow(Request& request)
{
    // A line break in a sender or recipient field would let typed text add addresses or headers: refused whole.
    if (CheckComposeAddresses(Field(request, "From"), Field(request, "To"), Field(request, "CC"),
                              Field(request, "BCC")) == AddressProblem::LineBreak) {
        SetErrorMessage(request, LanguageText(request, kTextLineBreakInAddress));
        return;
    }
    const std::string typedTo(Field(request, "To"));
    const bool fax = Has(request, "FaxCompose");
    const bool telvane = ReadIniBool("Telvane", "UseTelvane", false);
    // Mail needs a sender; only a fax dropped for the fax server goes without one.
    const bool faxDrop = fax && telvane && ReadIniString("Telvane", "FaxEmail", "").empty();
    if (!faxDrop && !HasSenderAddress(Field(request, "From"))) {
        request.Log().Log(3, "Nothing sent: the sender has no e-mail address.");
        SetErrorMessage(request, LanguageText(request, kTextNoSenderAddress));
        return;
    }
    if (!WithinSendCaps(request)) {
        return;
    }
    if (fax && telvane) {
        SetField(request, "FaxNumber", FaxNumberOf(typedTo));
        SetField(request, "To", ReadIniString("Telvane", "FaxEmail", "").substr(0, kMaxFaxEmail));
    }
    if (!Deliver(request, fax, telvane)) {
        if (fax) {
            SetField(request, "To", typedTo);
        }
        SetErrorMessage(request, LanguageText(request, kTextSendFailed));
        return;
    }
    const ComposeSeams& seams = Seams(request);
    UserRecord& user = SessionOf(request).User();
    if (GetUserBool("SaveSentMail", user.Settings()) && seams.StoreComposed) {
        (void)seams.StoreComposed(request, "Sent", MessageForm::Send);
    }
    DeleteSourceDraft(request);
    MarkAnswered(request);
    ConfirmSent(request, Field(request, "To"));
    EndCompose(request);
}

void SendLater(Request& request)
{
    const ComposeSeams& seams = Seams(request);
    const bool built = seams.BuildOutgoing && seams.BuildOutgoing(request, MessageForm::Draft);
    MessageIndexEntry* stored =
            built && seams.StoreComposed ? seams.StoreComposed(request, "Drafts", MessageForm::Draft) : nullptr;
    if (stored == nullptr) {
        // Nothing was kept: the compose stays, so that no text is lost.
        SetErrorMessage(request, LanguageText(request, kTextSendFailed));
        return;
    }
    DeleteSourceDraft(request);
    EndCompose(request);
}

// Deletes one attachment of the compose; only a plain attachment name inside the compose directory.
void RemoveAttachment(Request& request)
{
    const std::string_view name = Field(request, "Attachments");
    if (!IsAttachmentFileName(name) || name == "..") {
        request.Log().Log(3, "Refused to remove the compose file \"%s\".", std::string(name).c_str());
        return;
    }
    (void)platform::RemoveFile(platform::PathJoin(ComposeDir(request), name));
}

// The spelling check before a send; true when it found a misspelling and the spelling page is shown instead.
bool SpellingStopsSend(Request& request, int view)
{
    const ComposeSeams& seams = Seams(request);
    if (view == kViewComposeSpellCheck || Has(request, "FaxCompose") || !seams.FindsMisspelling ||
        !GetUserBool("SpellCheckBeforeSend", SessionOf(request).User().Settings())) {
        return false;
    }
    std::string language = GetUserSetting("Lang", SessionOf(request).User().Settings()).substr(0, kMaxSpellLanguage);
    if (const std::string_view chosen = Field(request, "SpellLanguage"); !chosen.empty()) {
        language = std::string(chosen.substr(0, kMaxSpellLanguage));
    }
    if (!seams.FindsMisspelling(request, language)) {
        return false;
    }
    request.SetView(kViewComposeSpellCheck);
    return true;
}

// The spelling page's corrections, and the single word its link adds to the user's dictionary. Send applies the
// chosen corrections too, so that the message goes out as the page showed it corrected.
void SpellingPageButtons(Request& request)
{
    if (Has(request, "Correct") || Has(request, "SendNow")) {
        (void)ApplySpellCorrections(request, !Field(request, "AddToDictionary").empty());
    } else if (Has(request, "AddWord") && !AddDictionaryWord(request, Field(request, "AddWord"))) {
        request.Log().Log(3, "Refused to add a word of %zu bytes to the dictionary.", Field(request, "AddWord").size());
    }
}

// The buttons that start a compose; true when one did.
bool StartButtons(Request& request)
{
    Session& session = SessionOf(request);
    MessageIndexEntry* current = session.CurrentMessage();
    if (current != nullptr && session.User().Messages().IndexOf(current) < 0) {
        current = nullptr;
    }
    if (Has(request, "New")) {
        StartCompose(request, nullptr, ComposeKind::New);
    } else if (Has(request, "Reply")) {
        StartCompose(request, current, ComposeKind::Reply);
    } else if (Has(request, "ReplyAll")) {
        StartCompose(request, current, ComposeKind::ReplyAll);
    } else if (Has(request, "Forward")) {
        StartCompose(request, current, ComposeKind::Forward);
    } else {
        return false;
    }
    session.SetFrameView(session.CurrentView());
    return true;
}

bool IsMultipart(Request& request)
{
    return StartsWithNoCase(request.Input().GetEnv("CONTENT_TYPE"), "multipart/form-data");
}

// The posted compose form; false when a multipart body was not taken whole, so that nothing is done with it.
bool TakePostedData(Request& request)
{
    const std::string_view length = request.Input().GetEnv("CONTENT_LENGTH");
    const bool posted = !length.empty() && length != "0" && length.front() != '-';
    if (posted && IsMultipart(request)) {
        const ComposeSeams& seams = Seams(request);
        return !seams.ParseUpload || seams.ParseUpload(request);
    }
    if (Has(request, "Body")) {
        (void)SaveBodyField(request);
    }
    return true;
}

// Items of an address list, split at ',' and ';' outside double quotes ('\' takes the next byte as it is).
std::vector<std::string_view> AddressItems(std::string_view list)
{
    std::vector<std::string_view> items;
    bool quoted = false;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= list.size(); ++i) {
        if (i < list.size()) {
            const char c = list[i];
            if (c == '\\') {
                ++i;
                continue;
            }
            if (c == '"') {
                quoted = !quoted;
            }
            if (quoted || (c != ',' && c != ';')) {
                continue;
            }
        }
        const std::string_view item = TrimmedView(list.substr(start, std::min(i, list.size()) - start));
        if (!item.empty()) {
            items.push_back(item);
        }
        start = i + 1;
    }
    return items;
}

// One plain address: something '@' something, without blanks, control bytes or the bytes of address syntax.
bool IsUsableAddress(std::string_view item)
{
    std::string address(item);
    ExtractAddress(address.data());
    const std::string_view bare = address.c_str();
    const std::size_t at = bare.rfind('@');
    if (bare.empty() || at == 0 || at == std::string_view::npos || at + 1 == bare.size()) {
        return false;
    }
    return std::none_of(bare.begin(), bare.end(), [](char c) {
        const auto b = static_cast<unsigned char>(c);
        return b <= 0x20 || b == 0x7F || std::string_view("<>,;\"\\()").find(c) != std::string_view::npos;
    });
}

// A carried compose that could not go to Drafts stays the compose of the new session: its text and fields are in
// the compose files already, and the frame set opens the compose page on them, which says what happened.
void KeepCarriedComposeOpen(Request& request, bool textWritten, const OutgoingResult& built)
{
    const std::string user = SessionOf(request).User().Name();
    if (!textWritten) {
        request.Log().Log(4,
                          "The text %s wrote before the session ended could not be written to the compose of the "
                          "new session.",
                          user.c_str());
        return;
    }
    const char* why = "could not be stored in Drafts";
    if (built.Error == OutgoingError::LineBreakInAddress) {
        why = "could not be built (an address field holds a line break)";
    } else if (!built) {
        why = "could not be built";
    }
    request.Log().Log(4, "The message %s wrote before the session ended %s; it stays open in the compose page.",
                      user.c_str(), why);
    (void)platform::RemoveFile(platform::PathJoin(ComposeDir(request), kComposeMessageFile));
    SessionOf(request).SetFrameView(kViewCompose);
    SetErrorMessage(request, LanguageText(request, kTextCarriedComposeOpen));
}

} // namespace

const ComposeSeams& ComposeSeams::Engine()
{
    static const ComposeSeams seams{
            .BuildOutgoing = BuildOutgoingMessage,
            .StoreComposed = StoreComposedMessage,
            .ParseUpload =
                    [](Request& request) {
                        const UploadResult upload = ReadComposeUpload(request);
                        if (!upload.TooLargeNames.empty()) {
                            request.Log().Log(3, "An uploaded file was not attached: it would pass "
                                                 "MaxAttachmentsSize.");
                            SetErrorMessage(request,
                                            FormatLanguageMessage(LanguageText(request, kTextAttachmentTooLarge),
                                                                  {upload.TooLargeNames.front(),
                                                                   std::to_string(MaxAttachmentsBytes() / 1024)}));
                        } else if (!upload.RefusedNames.empty()) {
                            SetErrorMessage(request, FormatLanguageMessage(LanguageText(request, kTextFileNameRefused),
                                                                           {upload.RefusedNames.front()}));
                        }
                        return upload.Status == UploadStatus::Complete ||
                               upload.Status == UploadStatus::FileNameRefused ||
                               upload.Status == UploadStatus::FileTooLarge;
                    },
            .FindsMisspelling =
                    [](Request& request, std::string_view language) {
                        return SpellCheckBody(request, language, SpellMode::Check);
                    },
    };
    return seams;
}

AddressProblem CheckComposeAddresses(std::string_view from, std::string_view to, std::string_view cc,
                                     std::string_view bcc)
{
    for (const std::string_view field : {from, to, cc, bcc}) {
        if (field.find_first_of("\r\n") != std::string_view::npos) {
            return AddressProblem::LineBreak;
        }
    }
    if (!IsUsableAddress(from)) {
        return AddressProblem::Unusable;
    }
    std::size_t recipients = 0;
    for (const std::string_view list : {to, cc, bcc}) {
        for (const std::string_view item : AddressItems(list)) {
            if (!IsUsableAddress(item)) {
                return AddressProblem::Unusable;
            }
            ++recipients;
        }
    }
    return recipients > 0 ? AddressProblem::None : AddressProblem::Unusable;
}

int MaxRecipients()
{
    const int cap = ReadIniInt("SmtpClient", "MaxRecipients", kDefaultMaxRecipients);
    return cap < 1 ? kDefaultMaxRecipients : cap;
}

std::size_t CountComposeRecipients(std::string_view to, std::string_view cc, std::string_view bcc)
{
    return AddressItems(to).size() + AddressItems(cc).size() + AddressItems(bcc).size();
}

std::string FaxNumberOf(std::string_view to)
{
    std::string number;
    for (const char c : to) {
        if (number.size() >= kMaxFaxNumber) {
            break;
        }
        if ((c >= '0' && c <= '9') || c == ' ' || c == '%' || c == '+' || c == '-' || c == 'W' || c == 'w') {
            number.push_back(c);
        } else if (c == ',') {
            number.push_back('%');
        }
    }
    return number;
}

int SendComposedMessage(Request& request)
{
    const std::string host = GetDomainSetting("SmtpHost", request.Domain()).substr(0, kMaxSmtpHost);
    const int port = GetDomainInt("SmtpPort", request.Domain());
    const std::string helo = ReadIniString("SmtpClient", "HeloDomain", "Quillmail");
    const std::string recipients = std::string(Field(request, "To")) + ";" + std::string(Field(request, "CC")) + ";" +
                                   std::string(Field(request, "BCC"));
    const std::string from(Field(request, "From"));
    const std::string path = platform::PathJoin(ComposeDir(request), kComposeMessageFile);
    store::SmtpClient client(host, port, helo, request.Log());
    (void)client.Send(from.c_str(), recipients.c_str(), path.c_str());
    return static_cast<int>(client.Result());
}

void ComposeAction(Request& request)
{
    Session& session = SessionOf(request);
    const int view = request.View();
    if (Has(request, "Cancel")) {
        if (view == kViewCompose && session.FrameView() != 0) {
            ClearComposeFields(request);
            request.SetView(LeaveComposeView(session));
        } else {
            request.SetView(view == kViewCompose ? LeaveComposeView(session) : LeaveSubPage(session));
        }
        return;
    }
    if (Has(request, "Body") && !IsComposeTextEditable(ComposeDir(request))) {
        // The page could not show this text: a posted one would replace what the user never saw. Nothing is done.
        request.Log().Log(3, "A posted text was refused: the compose text is larger than %llu bytes.",
                          static_cast<unsigned long long>(kMaxEditableComposeText));
        SetErrorMessage(request, LanguageText(request, kTextTooLargeToEdit));
        return;
    }
    if (!TakePostedData(request)) {
        SetErrorMessage(request, LanguageText(request, kTextUploadFailed));
        return;
    }
    if (StartButtons(request)) {
        return;
    }
    if (view == kViewComposeSpellCheck) {
        SpellingPageButtons(request);
    }
    LoadComposeHeaders(request, FormPosted::Yes);
    ResolveSender(request);
    if (Has(request, "Finished")) {
        (void)SaveComposeHeaders(request);
        request.SetView(view == kViewCompose ? LeaveComposeView(session) : LeaveSubPage(session));
        return;
    }
    if (Has(request, "SendNow")) {
        (void)SaveComposeHeaders(request);
        if (!SpellingStopsSend(request, view)) {
            SendNow(request);
        }
        return;
    }
    if (Has(request, "SendLater")) {
        (void)SaveComposeHeaders(request);
        SendLater(request);
        return;
    }
    if (Has(request, "Remove")) {
        RemoveAttachment(request);
    }
    (void)SaveComposeHeaders(request);
}

void PrepareComposeView(Request& request)
{
    PrepareComposePage(request);
}

bool IsComposePost(const Request& request)
{
    const NameValueList& fields = request.Input().Variables();
    return IsComposeView(request.View()) && fields.Contains("Body") && !fields.IsBlank("Body") &&
           !fields.Contains("Cancel") && !fields.IsEmpty(kCarriedUserField);
}

void TakeCarriedUpload(Request& request)
{
    if (!IsComposeView(request.View()) || !IsMultipart(request) || Has(request, "Body")) {
        return;
    }
    const std::string_view length = request.Input().GetEnv("CONTENT_LENGTH");
    std::uint64_t bytes = 0;
    const auto [end, error] = std::from_chars(length.data(), length.data() + length.size(), bytes);
    if (error != std::errc() || end != length.data() + length.size() || bytes == 0 || bytes > kMaxFormPostBytes) {
        return;
    }
    std::uint64_t random = 0;
    if (!platform::FillRandom(&random, sizeof random)) {
        return;
    }
    const std::string dir = platform::PathJoin(TempDirRoot(), "carried-" + std::to_string(random));
    if (!platform::MakeDirectories(TempDirRoot()) || !platform::MakeDirectory(dir)) {
        request.Log().Log(4, "A compose posted after its session ended could not be read: no scratch directory.");
        return;
    }
    MultipartLimits limits;
    limits.MaxTotalBytes = kMaxFormPostBytes;
    const UploadResult upload = ParseMultipartUpload(request.Input().Input(), request.Input().GetEnv("CONTENT_TYPE"),
                                                     bytes, dir, Fields(request), limits);
    const Result<std::string> text =
            platform::ReadWholeFile(platform::PathJoin(dir, kComposeBodyFile), kMaxFormPostBytes);
    (void)platform::DeleteDirectoryTree(dir);
    if (upload.Status != UploadStatus::Complete && upload.Status != UploadStatus::FileNameRefused) {
        Fields(request).Remove(kCarriedUserField); // a form not taken whole is not carried
        return;
    }
    if (text) {
        SetField(request, "Body", *text);
    }
    if (!upload.StoredFiles.empty()) {
        request.Log().Log(3, "A compose posted after its session ended came with %zu file(s); they were not kept.",
                          upload.StoredFiles.size());
    }
}

bool SaveCarriedDraft(Request& request, std::string_view loggedOnUser)
{
    NameValueList& fields = Fields(request);
    if (!fields.Contains("Body") || fields.IsBlank("Body") ||
        !EqualsNoCase(fields.GetValue(kCarriedUserField), loggedOnUser)) {
        return false;
    }
    request.Log().LogMsg(2, 259, std::string(loggedOnUser).c_str());
    const std::string dir = ComposeDir(request);
    (void)platform::MakeDirectories(dir);
    const bool written = SaveBodyField(request);
    if (Field(request, "From").empty()) {
        SetField(request, "From", "-1"); // no sender posted: an index out of range names the default account
    }
    ResolveSender(request);
    (void)SaveComposeHeaders(request);
    const ComposeSeams& seams = Seams(request);
    const OutgoingResult built = seams.BuildOutgoing ? seams.BuildOutgoing(request, MessageForm::Draft)
                                                     : OutgoingResult{OutgoingError::CannotWrite, {}};
    MessageIndexEntry* stored =
            built && seams.StoreComposed ? seams.StoreComposed(request, "Drafts", MessageForm::Draft) : nullptr;
    if (stored != nullptr) {
        stored->SetFlags(stored->Flags() | MessageFlag::New);
        SessionOf(request).User().Messages().MarkDirty();
        (void)SaveMessageIndex(SessionOf(request).User(), request.Log());
        SetStatusMessage(request, LanguageText(request, kTextKeptAsDraft));
        ClearComposeFields(request);
    } else {
        KeepCarriedComposeOpen(request, written, built);
    }
    for (const char* name : kCarriedComposeFields) {
        fields.Remove(name);
    }
    return stored != nullptr;
}

} // namespace qm::engine
