#include "engine/MailActions.h"

#include "common/IniAccess.h"
#include "common/NameValueList.h"
#include "common/StringUtil.h"
#include "engine/ComposeState.h"
#include "engine/DomainSettings.h"
#include "engine/LanguagesFile.h"
#include "engine/OptionsActions.h"
#include "engine/Request.h"
#include "engine/ResponseHead.h"
#include "engine/Session.h"
#include "engine/SessionMail.h"
#include "engine/TemplateRender.h"
#include "engine/TemplateVocabulary.h"
#include "engine/UserRecord.h"
#include "store/AddressBook.h"
#include "store/BodyRenderer.h"
#include "store/FolderList.h"
#include "store/MailHostList.h"
#include "store/MessageIndex.h"
#include "store/PartIndex.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdio>
#include <string>
#include <system_error>
#include <vector>

namespace qm::engine {
namespace {

namespace MessageFlag = store::MessageFlag;
using store::MessageIndex;
using store::MessageIndexEntry;

// The longest sort order name kept in the user's settings.
constexpr std::size_t kMaxSortOrder = 31;

// The longest display name and address taken for the address book.
constexpr std::size_t kMaxBookText = 127;

constexpr const char* kTrash = "Trash";

bool IsLetter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool IsLetterOrDigit(char c)
{
    return IsLetter(c) || (c >= '0' && c <= '9');
}

constexpr std::string_view kPlainHead = "Content-type: text/plain\r\nX-Content-Type-Options: nosniff\r\n"
                                        "Expires: 0\r\nPragma: no-cache\r\n\r\n";

std::string_view Field(const Request& request, const char* name)
{
    return request.Input().Variables().GetValue(name);
}

bool Has(const Request& request, const char* name)
{
    return request.Input().Variables().Contains(name);
}

bool NonEmpty(const Request& request, const char* name)
{
    return !Field(request, name).empty();
}

Session& SessionOf(Request& request)
{
    return *request.CurrentSession();
}

UserRecord& UserOf(Request& request)
{
    return request.CurrentSession()->User();
}

// How a folder is named in a message to the user.
std::string FolderLabel(const store::FolderEntry& folder)
{
    return folder.GetDepth() == 0 ? folder.DisplayName() : folder.Name();
}

// The session's current message when it is still an entry of the index with a folder; else none.
MessageIndexEntry* CheckedCurrent(Session& session, const MessageIndex& index)
{
    MessageIndexEntry* current = session.CurrentMessage();
    if (current != nullptr && (index.IndexOf(current) < 0 || current->Folder().empty())) {
        session.SetCurrentMessage(nullptr);
        return nullptr;
    }
    return current;
}

// The message of that number, when the text is one and the message is in a folder (an entry waiting for its
// deletion on the server is gone for the user).
MessageIndexEntry* FindMessage(const MessageIndex& index, std::string_view text)
{
    const std::optional<std::uint32_t> number = ParseMessageNumberField(text);
    MessageIndexEntry* entry = number ? index.FindByNumber(*number) : nullptr;
    return entry != nullptr && !entry->Folder().empty() ? entry : nullptr;
}

// Copies entry into the folder dest. The read receipt the message asks for stays with the original only, so that
// opening both never sends two receipts for one message.
bool CopyForUser(MessageIndex& index, MessageIndexEntry* entry, std::string_view dest)
{
    MessageIndexEntry* copy = index.CopyToFolder(entry, dest);
    if (copy == nullptr) {
        return false;
    }
    copy->ChangeFlags(MessageFlag::ConfirmReading, false);
    return true;
}

// The messages that the Number fields name, each once, in the order named; unknown numbers are skipped.
std::vector<MessageIndexEntry*> NamedMessages(const Request& request, const MessageIndex& index)
{
    std::vector<MessageIndexEntry*> named;
    const NameValueList& fields = request.Input().Variables();
    for (int i = 0; i < fields.Count(); ++i) {
        const NameValuePair* pair = fields.Item(i);
        if (!EqualsNoCase(pair->Name(), "Number")) {
            continue;
        }
        MessageIndexEntry* entry = FindMessage(index, pair->Value());
        if (entry != nullptr && std::find(named.begin(), named.end(), entry) == named.end()) {
            named.push_back(entry);
        }
    }
    return named;
}

int FirstUnreadVisible(const MessageIndex& index)
{
    for (int i = index.FirstVisible(); i >= 0; i = index.NextVisible(i)) {
        if (!index.Entry(i)->HasFlag(MessageFlag::Read)) {
            return i;
        }
    }
    return -1;
}

// The name of the trash as it is spelled on disk.
std::string TrashName(const store::FolderList& folders)
{
    const store::FolderEntry* trash = folders.Find(kTrash);
    return trash != nullptr ? trash->Name() : kTrash;
}

// Deletes the message for good (or keeps it invisible until its server deletion); the session drops it as its
// current message. True unless the deletion failed.
bool DeleteMessage(Session& session, MessageIndex& index, MessageIndexEntry* entry)
{
    const bool current = session.CurrentMessage() == entry;
    const MessageIndex::DeleteOutcome outcome = index.DeleteEntry(entry);
    if (outcome == MessageIndex::DeleteOutcome::Failed) {
        return false;
    }
    if (current) {
        session.SetCurrentMessage(nullptr);
    }
    return true;
}

// The language message of a quota that stops the fetch of new mail (message count, then disk space), or 0.
int QuotaMessage(Request& request)
{
    if (!GetDomainBool("EnforceQuotas", request.Domain())) {
        return 0;
    }
    UserRecord& user = UserOf(request);
    const MessageIndex& index = user.Messages();
    const int countQuota = GetUserInt("MessageCountQuota", user.Settings());
    if (countQuota > 0 && countQuota < index.Count()) {
        return kTextCountQuotaReached;
    }
    const int diskQuota = GetUserInt("DiskSpaceQuota", user.Settings());
    if (diskQuota > 0 && diskQuota < index.StoredSizeKB()) {
        return kTextDiskQuotaReached;
    }
    return 0;
}

void AnnounceMailWork(Request& request, bool on)
{
    request.SetFetchAfterPage(on);
    SessionOf(request).SetRetrievalPending(on);
}

bool AnyActiveAccount(UserRecord& user)
{
    const store::MailHostList& accounts = user.MailHosts();
    for (int i = 0; i < accounts.Count(); ++i) {
        if (accounts.Item(i).Active()) {
            return true;
        }
    }
    return false;
}

// The account whose mailbox the entry names, or null.
const store::MailHostAccount* AccountOf(UserRecord& user, const MessageIndexEntry& entry)
{
    const store::MailHostList& accounts = user.MailHosts();
    return entry.Mailbox().empty() ? nullptr : accounts.Find(entry.Mailbox());
}

// A sort order as the List page posts it: letters only, so nothing else can reach the settings file.
bool IsSortOrderText(std::string_view order)
{
    return !order.empty() && order.size() <= kMaxSortOrder &&
           std::all_of(order.begin(), order.end(), [](char c) { return IsLetter(c); });
}

// Every message of the trash is deleted; entries waiting for their deletion on a server that deletes stay, and
// announce that deletion after the page; every other entry without a folder leaves the index. The message files go
// with the save of the index without them, so the index is saved here: the page says emptied only when it is, and
// otherwise what is left.
void EmptyTrash(Request& request)
{
    Session& session = SessionOf(request);
    UserRecord& user = session.User();
    MessageIndex& index = user.Messages();
    if (const MessageIndexEntry* current = session.CurrentMessage();
        current != nullptr && EqualsNoCase(current->Folder(), kTrash)) {
        session.SetCurrentMessage(nullptr);
    }
    (void)index.MoveFolderMessages(kTrash, nullptr);
    bool serverWork = false;
    for (int i = index.Count() - 1; i >= 0; --i) {
        MessageIndexEntry* entry = index.Entry(i);
        if (!entry->Folder().empty()) {
            continue;
        }
        const store::MailHostAccount* account = AccountOf(user, *entry);
        const bool keep = account != nullptr && !entry->Uid().empty() && account->Delete() != 0 &&
                          !(account->Delete() == 2 && entry->HasFlag(MessageFlag::Stored));
        if (keep) {
            serverWork = true;
            continue;
        }
        if (session.CurrentMessage() == entry) {
            session.SetCurrentMessage(nullptr);
        }
        index.RemoveEntry(entry);
        index.MarkDirty();
    }
    if (serverWork) {
        AnnounceMailWork(request, true);
    }
    if (!SaveMessageIndex(user, request.Log())) {
        TellError(request, kTextChangeFailed);
        return;
    }
    if (const int left = index.CountInFolder(kTrash); left > 0) {
        TellError(request, kTextTrashNotEmptied, {std::to_string(left)});
        return;
    }
    TellStatus(request, kTextTrashEmptied);
}

std::string Count(std::size_t n)
{
    return std::to_string(n);
}

// Deletes the named messages: into the trash, or for good when the trash is the folder shown.
void DeleteNamed(Request& request, const std::vector<MessageIndexEntry*>& named)
{
    Session& session = SessionOf(request);
    MessageIndex& index = session.User().Messages();
    store::FolderList& folders = session.User().Folders();
    const store::FolderEntry* selected = folders.GetSelected();
    std::size_t changed = 0;
    if (selected != nullptr && EqualsNoCase(selected->Name(), kTrash)) {
        for (MessageIndexEntry* entry : named) {
            changed += DeleteMessage(session, index, entry) ? 1 : 0;
        }
        if (changed > 0) {
            TellStatus(request, kTextDeletedForGood, {Count(changed)});
        }
        return;
    }
    const std::string trash = TrashName(folders);
    for (MessageIndexEntry* entry : named) {
        changed += !EqualsNoCase(entry->Folder(), trash) && entry->MoveToFolder(trash) ? 1 : 0;
    }
    if (changed > 0) {
        const store::FolderEntry* folder = folders.Find(trash);
        TellStatus(request, kTextMovedTo, {folder != nullptr ? FolderLabel(*folder) : trash, Count(changed)});
    }
}

// Moves (or copies) the named messages to the folder DestFolder when it exists; a move to the folder shown does
// nothing.
void FileNamed(Request& request, const std::vector<MessageIndexEntry*>& named, bool move)
{
    UserRecord& user = UserOf(request);
    store::FolderList& folders = user.Folders();
    const store::FolderEntry* dest = folders.Find(Field(request, "DestFolder"));
    if (dest == nullptr) {
        return;
    }
    const std::string destName = dest->Name();
    const store::FolderEntry* selected = folders.GetSelected();
    if (move && selected != nullptr && EqualsNoCase(destName, selected->Name())) {
        return;
    }
    std::size_t changed = 0;
    for (MessageIndexEntry* entry : named) {
        if (move) {
            changed += !EqualsNoCase(entry->Folder(), destName) && entry->MoveToFolder(destName) ? 1 : 0;
        } else {
            changed += CopyForUser(user.Messages(), entry, destName) ? 1 : 0;
        }
    }
    if (changed > 0) {
        TellStatus(request, move ? kTextMovedTo : kTextCopiedTo, {FolderLabel(*dest), Count(changed)});
    }
}

// Marking, deleting, moving or copying the messages the List form names: the first of them that the form asks for.
void ChangeNamedMessages(Request& request)
{
    const std::vector<MessageIndexEntry*> named = NamedMessages(request, UserOf(request).Messages());
    if (Has(request, "MarkRead") || Has(request, "MarkUnread")) {
        const bool read = Has(request, "MarkRead");
        for (MessageIndexEntry* entry : named) {
            entry->SetRead(read);
        }
        if (!named.empty()) {
            TellStatus(request, read ? kTextMarkedRead : kTextMarkedUnread, {Count(named.size())});
        }
    } else if (Has(request, "Delete")) {
        DeleteNamed(request, named);
    } else if (Has(request, "Move") && NonEmpty(request, "DestFolder")) {
        FileNamed(request, named, true);
    } else if (Has(request, "Copy") && NonEmpty(request, "DestFolder")) {
        FileNamed(request, named, false);
    }
}

// The text up to the first ',' or ';' outside double quotes (a backslash protects the next character), trimmed.
std::string_view FirstAddress(std::string_view list)
{
    bool quoted = false;
    std::size_t i = 0;
    for (; i < list.size(); ++i) {
        const char c = list[i];
        if (c == '\\') {
            ++i;
        } else if (c == '"') {
            quoted = !quoted;
        } else if (!quoted && (c == ',' || c == ';')) {
            break;
        }
    }
    return TrimmedView(list.substr(0, std::min(i, list.size())));
}

// A text for the address book: control bytes (TAB, CR and LF would split an entry of its file) dropped, cut to
// kMaxBookText bytes without splitting a UTF-8 sequence, trimmed.
std::string BookText(std::string_view text)
{
    std::string clean;
    for (const char c : text) {
        if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f) {
            clean.push_back(c);
        }
    }
    if (clean.size() > kMaxBookText) {
        std::size_t cut = kMaxBookText;
        while (cut > 0 && (static_cast<unsigned char>(clean[cut]) & 0xC0) == 0x80) {
            --cut;
        }
        clean.resize(cut);
    }
    return std::string(TrimmedView(clean));
}

// Adds the sender of the message to the user's address book unless an entry has the same name and address.
void AddSenderToAddressBook(Request& request, const MessageIndexEntry& message)
{
    const std::string first(FirstAddress(message.From()));
    if (first.empty()) {
        return;
    }
    std::string name = first;
    ExtractDisplayName(name.data());
    name = BookText(name.c_str());
    std::string address = first;
    ExtractAddress(address.data());
    address = BookText(address.c_str());
    if (EqualsNoCase(name, address)) {
        name.clear();
    }
    if (address.empty()) {
        return;
    }
    store::AddressBook& book = UserOf(request).AddrBook();
    for (int i = 0; i < book.Count(); ++i) {
        if (EqualsNoCase(book.Item(i).Name, name) && EqualsNoCase(book.Item(i).EMail, address)) {
            return;
        }
    }
    book.AddEntry(name.c_str(), address.c_str(), "");
    if (book.Save()) {
        TellStatus(request, kTextAddedToBook, {name.empty() ? address : name});
    }
}

void WriteValue(TemplateRender& render, std::string_view name)
{
    std::string_view argument;
    if (const ValueEntry* value = FindValue(SessionValues(), name, argument)) {
        value->Handler(render, argument);
    }
}

// The printable form of the current message: its header fields and its body on a plain page.
void WritePrintForm(Request& request)
{
    std::string& page = request.Output();
    page.clear();
    TemplateRender render(request);
    render.WritePlain("<HTML>\r\n<BODY>\r\n<TT>\r\n");

    const struct {
        int Label;
        const char* Value;
    } fields[] = {{kTextFrom, "FROM"}, {kTextTo, "TO"}, {kTextDate, "DATE"}, {kTextSubject, "SUBJECT"}};

    for (const auto& field : fields) {
        render.WritePlain("<B>");
        render.WriteEscaped(LanguageText(request, field.Label));
        render.WritePlain(": </B>");
        WriteValue(render, field.Value);
        render.WritePlain("<BR>\r\n");
    }
    render.WritePlain("<BR>\r\n");
    WriteValue(render, "BODY");
    render.WritePlain("</TT>\r\n</BODY>\r\n</HTML>\r\n");
    request.WriteOwnResponse([&](std::FILE* out) {
        (void)std::fwrite(kPageHead.data(), 1, kPageHead.size(), out);
        (void)std::fwrite(page.data(), 1, page.size(), out);
    });
}

// The message file as it is, byte for byte.
void WriteSource(Request& request, const MessageIndexEntry& message)
{
    const std::string path = message.GetMessagePath();
    request.WriteOwnResponse([&](std::FILE* out) {
        (void)std::fwrite(kPlainHead.data(), 1, kPlainHead.size(), out);
        std::FILE* file = std::fopen(path.c_str(), "rb");
        if (file == nullptr) {
            (void)std::fputs(LanguageText(request, kTextNoSuchMessage), out);
            (void)std::fputs("\r\n", out);
            return;
        }
        char buffer[64 * 1024];
        std::size_t got = 0;
        while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
            (void)std::fwrite(buffer, 1, got, out);
        }
        (void)std::fclose(file);
    });
}

// A token of a media type (RFC 9110 tchar).
bool IsTypeToken(std::string_view text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return IsLetterOrDigit(c) || std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
    });
}

// The types shown in the browser on the mail site's origin: plain text and images that carry no script.
bool IsSafeInline(std::string_view type)
{
    static constexpr std::string_view kSafe[] = {"text/plain", "image/png",  "image/jpeg", "image/pjpeg",
                                                 "image/gif",  "image/webp", "image/bmp",  "image/avif"};
    return std::any_of(std::begin(kSafe), std::end(kSafe),
                       [&](std::string_view safe) { return EqualsNoCase(type, safe); });
}

bool IsUtf8(std::string_view text)
{
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::size_t length = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
        if (length == 0 || (length == 2 && c < 0xC2) || i + length > text.size()) {
            return false;
        }
        for (std::size_t k = 1; k < length; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) {
                return false;
            }
        }
        i += length;
    }
    return true;
}

// The file name as UTF-8 without control bytes: bytes that are not UTF-8 are read as ISO-8859-1.
std::string FileNameUtf8(std::string_view name)
{
    const bool utf8 = IsUtf8(name);
    std::string text;
    for (const char ch : name) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7f) {
            continue;
        }
        if (c >= 0x80 && !utf8) {
            text.push_back(static_cast<char>(0xC0 | (c >> 6)));
            text.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            text.push_back(ch);
        }
    }
    return text;
}

// The ASCII fallback of a UTF-8 file name: one '_' for each character outside printable ASCII and for the bytes
// that a quoted string or a browser would read specially ('"', '\\', '%').
std::string AsciiFileName(std::string_view utf8)
{
    std::string text;
    for (const char ch : utf8) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c & 0xC0) == 0x80) {
            continue;
        }
        text.push_back(c >= 0x80 || ch == '"' || ch == '\\' || ch == '%' ? '_' : ch);
    }
    return text;
}

// RFC 5987 value characters: everything else is percent-encoded.
std::string PercentEncoded(std::string_view utf8)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string text;
    for (const char ch : utf8) {
        const auto c = static_cast<unsigned char>(ch);
        if (IsLetterOrDigit(ch) || std::string_view("!#$&+-.^_`|~").find(ch) != std::string_view::npos) {
            text.push_back(ch);
        } else {
            text.push_back('%');
            text.push_back(kHex[c >> 4]);
            text.push_back(kHex[c & 0xF]);
        }
    }
    return text;
}

} // namespace

std::optional<std::uint32_t> ParseMessageNumberField(std::string_view text)
{
    if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    std::uint32_t number = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return number;
}

std::optional<int> ParsePageNumber(std::string_view text)
{
    const bool negative = !text.empty() && text.front() == '-';
    const std::string_view digits = negative ? text.substr(1) : text;
    if (digits.empty() || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    int page = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), page);
    if (error == std::errc::result_out_of_range) {
        return negative ? INT_MIN : INT_MAX;
    }
    if (error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return page;
}

std::string AttachmentHead(std::string_view contentType, std::string_view fileName)
{
    const std::size_t slash = contentType.find('/');
    const bool valid = slash != std::string_view::npos && IsTypeToken(contentType.substr(0, slash)) &&
                       IsTypeToken(contentType.substr(slash + 1));
    const std::string_view type = valid ? contentType : std::string_view("application/octet-stream");
    std::string head = "Content-type: ";
    head += type;
    head += "\r\nX-Content-Type-Options: nosniff\r\nContent-Disposition: ";
    head += IsSafeInline(type) ? "inline" : "attachment";
    const std::string name = FileNameUtf8(fileName);
    if (!name.empty()) {
        head += "; filename=\"";
        head += AsciiFileName(name);
        head += "\"; filename*=UTF-8''";
        head += PercentEncoded(name);
    }
    head += "\r\n";
    return head;
}

void MainAction(Request& request)
{
    Session& session = SessionOf(request);
    UserRecord& user = session.User();
    MessageIndex& index = user.Messages();
    if (NonEmpty(request, "Folder")) {
        (void)user.Folders().Select(Field(request, "Folder"));
        index.MarkViewDirty();
    }
    if (!NonEmpty(request, "FirstUnread")) {
        return;
    }
    index.MarkViewDirty();
    index.MarkSortDirty();
    PrepareListPage(request);
    const int unread = FirstUnreadVisible(index);
    session.SetCurrentMessage(unread >= 0 ? index.Entry(unread) : nullptr);
    if (unread < 0) {
        // Nothing unread: the frame shows the list instead of an empty message.
        session.SetFrameView(kViewList);
        session.SetCurrentView(kViewList);
    }
}

void ListAction(Request& request)
{
    Session& session = SessionOf(request);
    UserRecord& user = session.User();
    MessageIndex& index = user.Messages();
    store::FolderList& folders = user.Folders();
    if (NonEmpty(request, "Folder")) {
        (void)folders.Select(Field(request, "Folder"));
        index.MarkViewDirty();
    } else if (Has(request, "Change") && NonEmpty(request, "DestFolder")) {
        (void)folders.Select(Field(request, "DestFolder"));
        index.MarkViewDirty();
    }
    const std::string_view sort = Field(request, "Sort");
    if (IsSortOrderText(sort) && !EqualsNoCase(sort, GetUserSetting("ListSortOrder", user.Settings()))) {
        SetUserSetting("ListSortOrder", user.Settings(), sort);
        index.MarkSortDirty();
    }
    if (Has(request, "EmptyTrash")) {
        EmptyTrash(request);
    }
    ChangeNamedMessages(request);
    if (Has(request, "Reload")) {
        session.SetLastMailCheck(0);
    }
    if (!session.RetrievalDone() && request.Now() - session.LastMailCheck() >= user.ListRefreshSeconds()) {
        if (const int quota = QuotaMessage(request); quota != 0) {
            TellRefusal(request, quota);
        } else if (AnyActiveAccount(user)) {
            AnnounceMailWork(request, true);
        }
    }
}

void PrepareListPage(Request& request)
{
    Session& session = SessionOf(request);
    UserRecord& user = session.User();
    MessageIndex& index = user.Messages();
    const store::FolderEntry* selected = user.Folders().GetSelected();
    const std::string folder = selected != nullptr ? selected->Name() : std::string("Inbox");
    std::string order;
    if (index.ViewDirty() || Has(request, "Search") || Has(request, "Mailbox")) {
        index.SelectView(folder, Field(request, "Search"), Field(request, "Mailbox"));
        session.SetCurrentMessage(nullptr);
        index.SetCurrentPage(1);
        // An order by sender means by recipient in some folders: another folder may need another order.
        order = GetUserSetting("ListSortOrder", user.Settings()).substr(0, kMaxSortOrder);
        if (EqualsNoCase(order, "From") || EqualsNoCase(order, "RevFrom")) {
            index.MarkSortDirty();
        }
    }
    if (index.SortDirty()) {
        if (order.empty()) {
            order = GetUserSetting("ListSortOrder", user.Settings()).substr(0, kMaxSortOrder);
        }
        // Drafts and sent mail list their recipients where other folders list senders, and sort by them.
        if (ReadIniBool("General", "EnableReplaceFrom", true) &&
            (store::IsFolderOrBelow(folder, "Drafts") || store::IsFolderOrBelow(folder, "Sent"))) {
            if (EqualsNoCase(order, "From")) {
                order = "To";
            } else if (EqualsNoCase(order, "RevFrom")) {
                order = "RevTo";
            }
        }
        index.Sort(order, GetUserInt("ListShowByAddress", user.Settings()));
        index.SetCurrentPage(1);
    }
    if (NonEmpty(request, "Page")) {
        if (const std::optional<int> page = ParsePageNumber(Field(request, "Page"))) {
            index.SetCurrentPage(*page);
        }
    }
    const int last = index.LastVisible();
    const int pages = last < 0 ? 1 : index.PageOf(last, user.ListPerPage());
    const int page = index.CurrentPage();
    index.SetCurrentPage(page <= 0 ? 1 : std::min(page, pages));
}

namespace {

// Where the Message form's navigation leaves the current message.
enum class Navigation {
    Stay,   // the same message, or the one stepped to
    ToList, // no message left to show: the List page
};

// Steps to the message at array index next, or to the List view when there is none.
Navigation StepTo(Request& request, int next)
{
    if (next < 0) {
        request.SetView(kViewList);
        return Navigation::ToList;
    }
    SessionOf(request).SetCurrentMessage(UserOf(request).Messages().Entry(next));
    return Navigation::Stay;
}

// Files the current message in target ("" deletes it); the next visible message becomes current when it went.
Navigation FileCurrent(Request& request, MessageIndexEntry* message, const std::string& target)
{
    Session& session = SessionOf(request);
    MessageIndex& index = session.User().Messages();
    const int nextAt = index.NextVisible(index.IndexOf(message));
    MessageIndexEntry* next = nextAt >= 0 ? index.Entry(nextAt) : nullptr;
    const bool filed = target.empty() ? DeleteMessage(session, index, message) : message->MoveToFolder(target);
    if (!filed) {
        return Navigation::Stay;
    }
    session.SetCurrentMessage(next);
    if (target.empty()) {
        TellStatus(request, kTextDeletedForGood, {"1"});
    } else {
        const store::FolderEntry* folder = session.User().Folders().Find(target);
        TellStatus(request, kTextMovedTo, {folder != nullptr ? FolderLabel(*folder) : target, "1"});
    }
    if (next == nullptr) {
        request.SetView(kViewList);
        return Navigation::ToList;
    }
    return Navigation::Stay;
}

// The Message form's buttons: previous, next, next unread, delete, move and copy, the first that it has.
Navigation Navigate(Request& request, MessageIndexEntry* message)
{
    MessageIndex& index = UserOf(request).Messages();
    store::FolderList& folders = UserOf(request).Folders();
    const int at = index.IndexOf(message);
    if (Has(request, "Prev")) {
        return StepTo(request, index.PrevVisible(at));
    }
    if (Has(request, "Next")) {
        return StepTo(request, index.NextVisible(at));
    }
    if (Has(request, "NextUnread")) {
        int next = index.NextVisible(at);
        while (next >= 0 && index.Entry(next)->HasFlag(MessageFlag::Read)) {
            next = index.NextVisible(next);
        }
        return StepTo(request, next);
    }
    if (Has(request, "Delete")) {
        return FileCurrent(request, message, EqualsNoCase(message->Folder(), kTrash) ? "" : TrashName(folders));
    }
    const bool move = Has(request, "Move") && NonEmpty(request, "DestFolder");
    const bool copy = !move && Has(request, "Copy") && NonEmpty(request, "DestFolder");
    const store::FolderEntry* dest = move || copy ? folders.Find(Field(request, "DestFolder")) : nullptr;
    if (dest == nullptr) {
        return Navigation::Stay;
    }
    if (move) {
        return EqualsNoCase(dest->Name(), message->Folder()) ? Navigation::Stay
                                                             : FileCurrent(request, message, dest->Name());
    }
    if (CopyForUser(index, message, dest->Name())) {
        TellStatus(request, kTextCopiedTo, {FolderLabel(*dest), "1"});
    }
    return Navigation::Stay;
}

// The message is here (or cannot be fetched): the printable form, the source or the sender to the address book
// when asked for; a stored message is read now.
void ShowMessage(Request& request, MessageIndexEntry& message)
{
    if (Has(request, "Print")) {
        WritePrintForm(request);
    } else if (Has(request, "Source")) {
        WriteSource(request, message);
    } else if (Has(request, "ToAddrBook")) {
        AddSenderToAddressBook(request, message);
    }
    if (message.HasFlag(MessageFlag::Stored) &&
        (!message.HasFlag(MessageFlag::Read) || message.HasFlag(MessageFlag::New))) {
        message.SetRead(true);
    }
}

} // namespace

void MessageAction(Request& request)
{
    Session& session = SessionOf(request);
    UserRecord& user = session.User();
    MessageIndex& index = user.Messages();
    if (NonEmpty(request, "Number")) {
        session.SetCurrentMessage(FindMessage(index, Field(request, "Number")));
    } else if (NonEmpty(request, "FirstUnread")) {
        const int unread = FirstUnreadVisible(index);
        session.SetCurrentMessage(unread >= 0 ? index.Entry(unread) : nullptr);
    }
    MessageIndexEntry* message = CheckedCurrent(session, index);
    if (message == nullptr) {
        SetErrorMessage(request, LanguageText(request, kTextNoSuchMessage));
        return;
    }
    if (message->HasFlag(MessageFlag::Draft)) {
        // A draft opens in the compose page, its text and fields loaded into the compose files.
        request.SetView(kViewCompose);
        OpenDraftForEditing(request, *message);
        return;
    }
    if (Navigate(request, message) == Navigation::ToList) {
        return;
    }
    message = session.CurrentMessage();
    if (message->HasFlag(MessageFlag::Stored) || session.RetrievalDone() || AccountOf(user, *message) == nullptr) {
        ShowMessage(request, *message);
        return;
    }
    // Only the headers are here: the whole text is fetched after the page, unless a quota stops it.
    if (const int quota = QuotaMessage(request); quota != 0) {
        TellRefusal(request, quota);
        AnnounceMailWork(request, false);
    } else {
        AnnounceMailWork(request, true);
    }
}

void PrepareMessagePage(Request& request)
{
    Session& session = SessionOf(request);
    UserRecord& user = session.User();
    MessageIndex& index = user.Messages();
    const MessageIndexEntry* current = session.CurrentMessage();
    const int at = current != nullptr ? index.IndexOf(current) : -1;
    if (at >= 0) {
        index.SetCurrentPage(index.PageOf(at, user.ListPerPage()));
    }
}

void AttachmentAction(Request& request)
{
    Session& session = SessionOf(request);
    MessageIndex& index = session.User().Messages();
    if (NonEmpty(request, "Number")) {
        session.SetCurrentMessage(FindMessage(index, Field(request, "Number")));
    }
    MessageIndexEntry* message = CheckedCurrent(session, index);
    std::optional<store::PartIndexEntry> part;
    if (message != nullptr && message->HasFlag(MessageFlag::Stored)) {
        const store::PartIndex* parts = message->GetPartIndex();
        const store::PartIndexEntry* found = nullptr;
        if (Has(request, "Part")) {
            found = parts->FindByPartId(std::string(Field(request, "Part")).c_str());
        } else if (Has(request, "Filename")) {
            found = parts->FindByFileName(std::string(Field(request, "Filename")).c_str());
        } else if (Has(request, "CID")) {
            found = parts->FindByContentId(std::string(Field(request, "CID")).c_str());
        }
        if (found != nullptr) {
            part = *found;
        }
    }
    request.WriteOwnResponse([&](std::FILE* out) {
        if (!part) {
            // Nothing to send: an empty plain answer rather than a response without a head.
            (void)std::fwrite(kPlainHead.data(), 1, kPlainHead.size(), out);
            return;
        }
        std::string_view type = part->ContentType;
        if (EqualsNoCase(type, "message/rfc822") && ReadIniBool("Special", "SendMessageAttachmentAsText", true)) {
            type = "text/plain";
        }
        const std::string head = AttachmentHead(type, part->FileName) + "Expires: 0\r\nPragma: no-cache\r\n\r\n";
        (void)std::fwrite(head.data(), 1, head.size(), out);
        store::BodyRenderer renderer(out, message->GetMessagePath().c_str(), store::RenderMode::Raw, nullptr);
        renderer.RenderPart(*part);
    });
}

} // namespace qm::engine
