#include "engine/ComposeState.h"

#include "common/IniAccess.h"
#include "common/NameValueList.h"
#include "common/StringUtil.h"
#include "engine/ComposeOutgoing.h"
#include "engine/DomainSettings.h"
#include "engine/Request.h"
#include "engine/Session.h"
#include "engine/SessionMail.h"
#include "engine/UserRecord.h"
#include "platform/Charset.h"
#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "store/AddressBook.h"
#include "store/BodyRenderer.h"
#include "store/HeaderBlock.h"
#include "store/MailHostList.h"
#include "store/MessageBuilder.h"
#include "store/MessageIndex.h"
#include "store/PartIndex.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace qm::engine {
namespace {

namespace MessageFlag = store::MessageFlag;
using store::MessageIndexEntry;

// The largest signature file taken, and the most of the original's text that is quoted.
constexpr std::uint64_t kMaxSignatureBytes = std::uint64_t{256} * 1024;
constexpr std::size_t kMaxQuotedBytes = std::size_t{32} << 20;

// The largest ".headers.txt" read back: every field at its limit.
constexpr std::uint64_t kMaxHeadersFileBytes = 4 * kMaxComposeFieldBytes;

// The quoting width comes from a user setting: kept within sane bounds so that a setting of 0 cannot stop the
// wrapping from advancing, and no line grows past the line limit of mail.
constexpr int kMinComposeWidth = 10;
constexpr int kMaxComposeWidth = 998;
constexpr int kDefaultComposeWidth = 74; // a missing or unreadable setting

// The most bytes one character reference becomes: a UTF-8 character takes up to four.
constexpr std::size_t kMaxReferenceBytes = 4;

// Attachment names tried when a name is taken already.
constexpr int kMaxNameTries = 1000;

NameValueList& Fields(Request& request)
{
    return request.MutableInput().Variables();
}

std::string_view Field(Request& request, const char* name)
{
    return Fields(request).GetValue(name);
}

void SetField(Request& request, const char* name, std::string_view value)
{
    Fields(request).Set(name, std::string(value));
}

// A header text as one line: CR and LF become blanks, so that no value taken from mail or typed into a field can
// add a line to a compose file or a header.
std::string OneLine(std::string_view text)
{
    std::string line(text);
    std::replace_if(
            line.begin(), line.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
    return line;
}

bool WriteComposeFile(const std::string& dir, std::string_view name, std::string_view contents)
{
    std::FILE* file = platform::OpenFileForWriting(platform::PathJoin(dir, name));
    if (file == nullptr) {
        return false;
    }
    const bool written = std::fwrite(contents.data(), 1, contents.size(), file) == contents.size();
    return std::fclose(file) == 0 && written;
}

// Splits text into lines at LF (a CR before it is dropped); a last line without LF counts, an empty rest does not.
template <typename Visit>
void ForEachLine(std::string_view text, Visit visit)
{
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        visit(line);
    }
}

// Cuts text to at most max bytes without splitting a UTF-8 sequence.
std::string_view CutText(std::string_view text, std::size_t max)
{
    if (text.size() <= max) {
        return text;
    }
    std::size_t cut = max;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    return text.substr(0, cut);
}

// The account whose mailbox is mailbox, else the default account; null when the user has none.
const store::MailHostAccount* SenderAccount(UserRecord& user, std::string_view mailbox)
{
    store::MailHostList& accounts = user.MailHosts();
    if (accounts.Count() == 0) {
        return nullptr;
    }
    if (const store::MailHostAccount* own = mailbox.empty() ? nullptr : accounts.Find(mailbox)) {
        return own;
    }
    return accounts.Find(accounts.GetDefaultMailbox());
}

// Sets From and Mailbox from the account; returns its mailbox ("" without one).
std::string SetSender(Request& request, const store::MailHostAccount* account)
{
    SetField(request, "From", account != nullptr ? SenderText(*account) : std::string());
    SetField(request, "Mailbox", account != nullptr ? account->Mailbox() : std::string());
    return account != nullptr ? account->Mailbox() : std::string();
}

// The UTF-8 bytes of a code point below 0x110000.
std::string Utf8Of(std::uint32_t code)
{
    std::string utf8;
    if (code < 0x80) {
        utf8.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        utf8 += {static_cast<char>(0xC0 | (code >> 6)), static_cast<char>(0x80 | (code & 0x3F))};
    } else if (code < 0x10000) {
        utf8 += {static_cast<char>(0xE0 | (code >> 12)), static_cast<char>(0x80 | ((code >> 6) & 0x3F)),
                 static_cast<char>(0x80 | (code & 0x3F))};
    } else {
        utf8 += {static_cast<char>(0xF0 | (code >> 18)), static_cast<char>(0x80 | ((code >> 12) & 0x3F)),
                 static_cast<char>(0x80 | ((code >> 6) & 0x3F)), static_cast<char>(0x80 | (code & 0x3F))};
    }
    return utf8;
}

// ---- recipients ----

struct Recipient {
    std::string Name;
    std::string Address;
};

// The items of an address list: split at ',' and ';' outside double quotes (a backslash takes the next byte as it
// is), each trimmed, empty ones left out.
std::vector<std::string> SplitAddressList(std::string_view list)
{
    std::vector<std::string> items;
    bool quoted = false;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= list.size(); ++i) {
        const char c = i < list.size() ? list[i] : ',';
        if (c == '\\' && i < list.size()) {
            ++i;
            continue;
        }
        if (c == '"') {
            quoted = !quoted;
            continue;
        }
        if (i < list.size() && (quoted || (c != ',' && c != ';'))) {
            continue;
        }
        const std::string_view item = TrimmedView(list.substr(start, std::min(i, list.size()) - start));
        if (!item.empty()) {
            items.emplace_back(item);
        }
        start = i + 1;
    }
    return items;
}

// An address that can stand bare in an address list: no blank or control byte, and none of the bytes that would
// split it or start a name or a route.
bool IsPlainAddress(std::string_view address)
{
    return !address.empty() && std::none_of(address.begin(), address.end(), [](char c) {
        const auto b = static_cast<unsigned char>(c);
        return b <= 0x20 || b == 0x7F || std::string_view(",;\"<>\\").find(c) != std::string_view::npos;
    });
}

// A display name that can go between double quotes: without control bytes, '"' and '\'.
std::string QuotableName(std::string_view name)
{
    std::string clean;
    for (const char c : name) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b != 0x7F && c != '"' && c != '\\') {
            clean.push_back(c);
        }
    }
    return std::string(TrimmedView(CutText(clean, kMaxRecipientText)));
}

std::optional<Recipient> ParseRecipient(const std::string& item)
{
    std::string name = item;
    ExtractDisplayName(name.data());
    std::string address = item;
    ExtractAddress(address.data());
    Recipient recipient{QuotableName(name.c_str()), std::string(CutText(address.c_str(), kMaxRecipientText))};
    if (!IsPlainAddress(recipient.Address)) {
        return std::nullopt;
    }
    if (EqualsNoCase(recipient.Name, recipient.Address)) {
        recipient.Name.clear();
    }
    return recipient;
}

// Every address once, in order; a later item gives its name to an earlier one without a name.
std::vector<Recipient> KeptRecipients(std::string_view candidates)
{
    std::vector<Recipient> kept;
    for (const std::string& item : SplitAddressList(candidates)) {
        std::optional<Recipient> recipient = ParseRecipient(item);
        if (!recipient) {
            continue;
        }
        const auto same = std::find_if(kept.begin(), kept.end(),
                                       [&](const Recipient& r) { return EqualsNoCase(r.Address, recipient->Address); });
        if (same == kept.end()) {
            kept.push_back(std::move(*recipient));
        } else if (same->Name.empty()) {
            same->Name = std::move(recipient->Name);
        }
    }
    return kept;
}

void AddToAddressBook(store::AddressBook& book, const std::vector<Recipient>& recipients, std::size_t count)
{
    bool added = false;
    for (std::size_t i = 0; i < std::min(count, recipients.size()); ++i) {
        const Recipient& r = recipients[i];
        bool known = false;
        for (int k = 0; k < book.Count() && !known; ++k) {
            known = EqualsNoCase(book.Item(k).Name, r.Name) && EqualsNoCase(book.Item(k).EMail, r.Address);
        }
        if (!known) {
            book.AddEntry(r.Name.c_str(), r.Address.c_str(), "");
            added = true;
        }
    }
    if (added) {
        (void)book.Save();
    }
}

// ---- quoting ----

bool IsLeadByte(unsigned char c, std::string_view language)
{
    if (language == "ja") {
        return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
    }
    return c >= 0x81 && c <= 0xFE; // zh
}

bool IsUtf8Text(std::string_view text)
{
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const std::size_t length = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
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

// Where a line without a blank is cut: after width bytes, moved back to the start of a character; never 0.
std::size_t HardCut(std::string_view rest, std::size_t width, std::string_view language, bool utf8)
{
    std::size_t cut = width;
    if (language == "ja" || language == "zh") {
        std::size_t at = 0;
        while (at < rest.size()) {
            const std::size_t length = IsLeadByte(static_cast<unsigned char>(rest[at]), language) ? 2 : 1;
            if (at + length > width) {
                break;
            }
            at += length;
        }
        cut = at;
    } else if (utf8) {
        while (cut > 0 && (static_cast<unsigned char>(rest[cut]) & 0xC0) == 0x80) {
            --cut;
        }
    }
    return cut > 0 ? cut : std::min(rest.size(), width);
}

void QuoteLine(std::string_view line, std::string_view prefix, std::size_t width, std::string_view language,
               std::string& out)
{
    const auto emit = [&](std::string_view piece) {
        out.append(prefix);
        out.append(piece);
        out.append("\r\n");
    };
    if (line.size() <= width) {
        emit(line);
        return;
    }
    const bool utf8 = language != "ja" && language != "zh" && IsUtf8Text(line);
    std::string_view rest = line;
    while (rest.size() > width) {
        const std::size_t blank = rest.substr(0, width + 1).rfind(' ');
        if (blank != std::string_view::npos) {
            emit(rest.substr(0, blank));
            rest.remove_prefix(blank + 1);
            continue;
        }
        const std::size_t cut = HardCut(rest, width, language, utf8);
        emit(rest.substr(0, cut));
        rest.remove_prefix(cut);
    }
    if (!rest.empty()) {
        emit(rest);
    }
}

// ---- copying parts of a stored message ----

// Renders the message (part null: the whole of it) in raw mode into path. False when either file cannot be opened.
bool RenderInto(const std::string& path, const std::string& messagePath, const store::PartIndexEntry* part,
                const store::RenderContext* context)
{
    std::FILE* out = platform::OpenFileForWriting(path);
    if (out == nullptr) {
        return false;
    }
    bool open = false;
    {
        store::BodyRenderer renderer(out, messagePath.c_str(), store::RenderMode::Raw, context);
        open = renderer.IsOpen();
        if (open && part != nullptr) {
            renderer.RenderPart(*part);
        } else if (open) {
            renderer.RenderMessage();
        }
    }
    const bool closed = std::fclose(out) == 0;
    if (!open || !closed) {
        (void)platform::RemoveFile(path);
        return false;
    }
    return true;
}

store::RenderContext ContextOf(Request& request)
{
    store::RenderContext context;
    context.SessionId = request.CurrentSession()->Id();
    context.Language = request.Language();
    context.SessionTempDir = ComposeDir(request);
    return context;
}

// A name for the attachment that no earlier attachment of this compose has (names compared without case).
std::string UniqueName(const std::string& name, std::set<std::string>& taken)
{
    const auto fold = [](std::string text) {
        std::transform(text.begin(), text.end(), text.begin(), FoldCase);
        return text;
    };
    std::string unique = name;
    for (int n = 2; !taken.insert(fold(unique)).second && n < kMaxNameTries; ++n) {
        unique = std::to_string(n) + "-" + name;
    }
    return unique;
}

// Copies every part of the entry but the one at index skip (-1: none) into the compose directory as attachments:
// its content type to ".<name>" and its decoded content to "<name>".
void CopyAttachments(Request& request, MessageIndexEntry& entry, int skip)
{
    const std::string dir = ComposeDir(request);
    const std::string messagePath = entry.GetMessagePath();
    const store::PartIndex& parts = *entry.GetPartIndex();
    std::set<std::string> taken;
    for (int i = 0; i < parts.Count(); ++i) {
        if (i == skip) {
            continue;
        }
        const store::PartIndexEntry& part = parts.Item(i);
        const std::string name = UniqueName(AttachmentFileNameOf(part.FileName), taken);
        (void)WriteComposeFile(dir, "." + name, part.ContentType);
        (void)RenderInto(platform::PathJoin(dir, name), messagePath, &part, nullptr);
    }
}

// The part that holds the text of a message with parts: the first whose type begins with "text"; -1 for none.
int TextPartIndex(const store::PartIndex& parts)
{
    for (int i = 0; i < parts.Count(); ++i) {
        if (StartsWithNoCase(parts.Item(i).ContentType, "text")) {
            return i;
        }
    }
    return -1;
}

// The first bytes of the file, at most max of them; "" when it cannot be read.
std::string ReadHead(const std::string& path, std::size_t max)
{
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return {};
    }
    std::string text;
    char buffer[64 * 1024];
    std::size_t got = 0;
    while (text.size() < max && (got = std::fread(buffer, 1, std::min(sizeof buffer, max - text.size()), file)) > 0) {
        text.append(buffer, got);
    }
    (void)std::fclose(file);
    return text;
}

int QuoteWidth(Request& request, std::size_t prefixLength)
{
    const int setting = GetUserInt("ComposeWidth", request.CurrentSession()->User().Settings());
    const int columns = setting > 0 ? std::clamp(setting, kMinComposeWidth, kMaxComposeWidth) : kDefaultComposeWidth;
    return columns - 1 - static_cast<int>(prefixLength);
}

// The quoted original after the signature: the separator, four header lines, the text of ".body.tmp".
std::string QuotedOriginal(Request& request, const store::HeaderBlock& headers, const std::string& text,
                           std::string_view prefix)
{
    std::string out = "\r\n\r\n-----Original Message-----\r\n";
    for (const char* name : {"From", "To", "Date", "Subject"}) {
        out += name;
        out += ": ";
        out += OneLine(headers.GetValue(name));
        out += "\r\n";
    }
    out += "\r\n";
    out += QuoteLines(text, prefix, QuoteWidth(request, prefix.size()), request.Language());
    return out;
}

} // namespace

std::string ComposeDir(Request& request)
{
    return request.CurrentSession() != nullptr ? request.CurrentSession()->TempDir() : std::string();
}

bool IsAttachmentFileName(std::string_view name)
{
    // The content type of an attachment is kept in '.' and its name: that must never be a compose file.
    for (const char* own : {kComposeBodyFile, kComposeBodyTempFile, kComposeHeadersFile, kComposeMessageFile}) {
        if (EqualsNoCase(name, own + 1)) {
            return false;
        }
    }
    return !name.empty() && name.front() != '.' && std::none_of(name.begin(), name.end(), [](char c) {
        const auto b = static_cast<unsigned char>(c);
        return b < 0x20 || b == 0x7F || c == '/' || c == '\\';
    });
}

std::string AttachmentFileNameOf(std::string_view partFileName)
{
    std::string name = store::CleanPartFileName(partFileName);
    const std::size_t first = name.find_first_not_of('.');
    name.erase(0, first == std::string::npos ? name.size() : first);
    name = std::string(TrimmedView(CutText(name, store::PartIndexEntry::kMaxText)));
    if (name.empty()) {
        return "attachment";
    }
    return IsAttachmentFileName(name) ? name : "attachment-" + name;
}

std::uint64_t MaxAttachmentsBytes()
{
    int kb = ReadIniInt("General", "MaxAttachmentsSize", kDefaultMaxAttachmentsKb);
    if (kb < 1) {
        kb = kDefaultMaxAttachmentsKb;
    }
    return static_cast<std::uint64_t>(kb) * 1024;
}

std::uint64_t ComposeAttachmentsBytes(const std::string& composeDir)
{
    std::uint64_t total = 0;
    if (auto entries = platform::ListDirectory(composeDir)) {
        for (const platform::DirEntry& entry : *entries) {
            if (entry.Type == platform::EntryType::File && platform::IsSafeName(entry.Name)) {
                total += platform::FileSize(platform::PathJoin(composeDir, entry.Name)).value_or(0);
            }
        }
    }
    return total;
}

std::string SenderText(const store::MailHostAccount& account)
{
    if (account.FullName().empty()) {
        return "<" + account.EMail() + ">";
    }
    return "\"" + account.FullName() + "\" <" + account.EMail() + ">";
}

void ClearComposeFields(Request& request)
{
    const std::string dir = ComposeDir(request);
    if (!dir.empty()) {
        (void)platform::EmptyDirectory(dir);
    }
    const char* query = request.Input().GetEnv("QUERY_STRING");
    if (query == nullptr || FindNoCase(query, "&To=") == nullptr) {
        SetField(request, "To", "");
    }
    for (const char* name :
         {"CC", "BCC", "Subject", "SourceMessage", "ReplyMessage", "ForwardMessage", "In-Reply-To"}) {
        SetField(request, name, "");
    }
}

void LoadComposeHeaders(Request& request, FormPosted posted)
{
    const Result<std::string> text =
            platform::ReadWholeFile(platform::PathJoin(ComposeDir(request), kComposeHeadersFile), kMaxHeadersFileBytes);
    if (!text) {
        return;
    }
    NameValueList& fields = Fields(request);
    const bool advanced = fields.Contains("AdvancedCompose");
    ForEachLine(*text, [&](std::string_view line) {
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) {
            return;
        }
        const std::string name(line.substr(0, colon));
        std::string_view value = line.substr(colon + 1);
        if (!value.empty() && value.front() == ' ') {
            value.remove_prefix(1);
        }
        value = CutText(value, kMaxComposeFieldBytes);
        if (posted == FormPosted::No) {
            if (fields.IsEmpty(name.c_str())) {
                fields.Set(name.c_str(), std::string(value));
            }
            return;
        }
        const bool checkBox = EqualsNoCase(name, "ConfirmDelivery") || EqualsNoCase(name, "ConfirmRead") ||
                              EqualsNoCase(name, "ComposeUrgent");
        if (!fields.Contains(name.c_str()) && !(advanced && checkBox)) {
            fields.Set(name.c_str(), std::string(value));
        }
    });
}

bool SaveComposeHeaders(Request& request)
{
    std::string text;
    for (const char* name : kComposeHeaderFields) {
        text += name;
        text += ": ";
        text += OneLine(CutText(Field(request, name), kMaxComposeFieldBytes));
        text += "\r\n";
    }
    return WriteComposeFile(ComposeDir(request), kComposeHeadersFile, text);
}

std::string ReplaceCharacterReferences(std::string_view text, std::string_view language, std::string_view charset)
{
    static const std::map<std::string_view, const char*> kCodePages = {
            {"ja", "CP932"}, {"zh", "CP936"}, {"ko", "CP949"}, {"cs", "CP1250"}, {"pl", "CP1250"}, {"ru", "CP1251"}};
    const auto page = kCodePages.find(language);
    const char* codePage = page != kCodePages.end() ? page->second : "CP1252";
    // The page's own character set, when the converter knows it: the browser showed the text in it.
    std::string target(charset);
    if (std::string probe; target.empty() || !ConvertCharset("UTF-8", target, "a", probe)) {
        target = codePage;
    }
    std::map<std::uint32_t, std::string> converted; // a text with many references converts each character once
    std::string out;
    out.reserve(text.size());
    std::size_t at = 0;
    for (std::size_t ref = text.find("&#"); ref != std::string_view::npos; ref = text.find("&#", at)) {
        std::size_t end = ref + 2;
        std::uint32_t code = 0;
        while (end < text.size() && end - ref - 2 < 8 && text[end] >= '0' && text[end] <= '9') {
            code = code * 10 + static_cast<std::uint32_t>(text[end] - '0');
            ++end;
        }
        const std::size_t digits = end - ref - 2;
        const bool named = digits > 0 && digits <= 7 && end < text.size() && text[end] == ';' && code != 0 &&
                           code <= 0x10FFFF && !(code >= 0xD800 && code <= 0xDFFF);
        if (!named) {
            out.append(text.substr(at, ref + 2 - at));
            at = ref + 2;
            continue;
        }
        auto found = converted.find(code);
        if (found == converted.end()) {
            std::string bytes;
            if (!ConvertCharset("UTF-8", target, Utf8Of(code), bytes) || bytes.empty() ||
                bytes.size() > kMaxReferenceBytes) {
                bytes.clear();
            }
            found = converted.emplace(code, std::move(bytes)).first;
        }
        out.append(text.substr(at, ref - at));
        if (found->second.empty()) {
            out.append(text.substr(ref, end + 1 - ref));
        } else {
            out.append(found->second);
        }
        at = end + 1;
    }
    out.append(text.substr(at));
    return out;
}

bool IsComposeTextEditable(const std::string& composeDir)
{
    const std::optional<std::uint64_t> size = platform::FileSize(platform::PathJoin(composeDir, kComposeBodyFile));
    return !size || *size <= kMaxEditableComposeText;
}

bool SaveBodyField(Request& request)
{
    const std::string_view body = Field(request, "Body");
    const std::string dir = ComposeDir(request);
    if (!IsComposeTextEditable(dir)) {
        return false; // the page could not show it, so what it posted is no edit of it
    }
    if (body.find("&#") == std::string_view::npos) {
        return WriteComposeFile(dir, kComposeBodyFile, body);
    }
    return WriteComposeFile(
            dir, kComposeBodyFile,
            ReplaceCharacterReferences(body, request.Language(), LanguageText(request, kTextCharsetName)));
}

std::string QuoteLines(std::string_view source, std::string_view prefix, int width, std::string_view language)
{
    const std::size_t columns = static_cast<std::size_t>(std::max(width, 1));
    std::string out;
    out.reserve(source.size() + source.size() / 8);
    ForEachLine(source, [&](std::string_view line) { QuoteLine(line, prefix, columns, language, out); });
    return out;
}

std::string SignatureText(const std::string& userDir, std::string_view mailbox)
{
    const std::optional<std::string> path = store::MailboxFilePath(userDir, mailbox, store::MailboxFile::Signature);
    if (!path) {
        return {};
    }
    const Result<std::string> text = platform::ReadWholeFile(*path, kMaxSignatureBytes);
    if (!text) {
        return {};
    }
    std::string signature = "\r\n";
    ForEachLine(*text, [&](std::string_view line) {
        signature.append(line);
        signature.append("\r\n");
    });
    return signature;
}

void BuildReplyRecipients(Request& request, const store::HeaderBlock& headers, bool all)
{
    std::string own(Field(request, "From"));
    ExtractAddress(own.data());
    own = std::string(CutText(own.c_str(), kMaxRecipientText));

    std::string candidates = std::string(headers.GetValue("Reply-To")) + ";" + headers.GetValue("From");
    if (all) {
        candidates += std::string(";") + headers.GetValue("To") + ";" + headers.GetValue("CC");
    }
    const std::vector<Recipient> kept = KeptRecipients(OneLine(candidates));

    UserRecord& user = request.CurrentSession()->User();
    if (GetUserBool("AddRepliesToAddrBook", user.Settings())) {
        AddToAddressBook(user.AddrBook(), kept, all ? kept.size() : 1);
    }
    std::string to;
    for (std::size_t i = 0; i < kept.size() && (all || i == 0); ++i) {
        const Recipient& r = kept[i];
        if (i > 0 && EqualsNoCase(r.Address, own)) {
            continue;
        }
        if (!to.empty()) {
            to += ", ";
        }
        to += r.Name.empty() ? r.Address : "\"" + r.Name + "\" <" + r.Address + ">";
    }
    SetField(request, "To", to);
}

void StartCompose(Request& request, MessageIndexEntry* entry, ComposeKind kind)
{
    request.Log().LogMsg(1, kMsgCreatingCompose, static_cast<int>(kind));
    ClearComposeFields(request);
    Session& session = *request.CurrentSession();
    UserRecord& user = session.User();
    const std::string dir = ComposeDir(request);
    (void)platform::MakeDirectories(dir);
    if (entry == nullptr || kind == ComposeKind::New || kind == ComposeKind::Page) {
        const std::string mailbox = SetSender(request, SenderAccount(user, ""));
        (void)WriteComposeFile(dir, kComposeBodyFile, SignatureText(user.Directory(), mailbox));
        (void)SaveComposeHeaders(request);
        return;
    }

    const std::string messagePath = entry->GetMessagePath();
    store::HeaderBlock headers = store::HeaderBlock::ReadFile(messagePath.c_str());
    const std::string mailbox = SetSender(request, SenderAccount(user, entry->Mailbox()));
    const std::pair<const char*, const std::string*> known[] = {
            {"From", &entry->From()}, {"To", &entry->To()}, {"Subject", &entry->Subject()}};
    for (const auto& [name, value] : known) {
        if (!headers.Contains(name)) {
            headers.Add(name, value->c_str());
        }
    }
    if (!headers.Contains("Date") && entry->Date() != 0) {
        headers.Add("Date", MailDateText(static_cast<time_t>(entry->Date())).c_str());
    }

    const std::string subject = OneLine(headers.GetValue("Subject"));
    const std::string number = std::to_string(entry->Number());
    if (kind == ComposeKind::Forward) {
        SetField(request, "Subject", StartsWithNoCase(subject, "Fwd:") ? subject : "Fwd: " + subject);
        SetField(request, "ForwardMessage", number);
    } else {
        BuildReplyRecipients(request, headers, kind == ComposeKind::ReplyAll);
        SetField(request, "Subject", StartsWithNoCase(subject, "Re:") ? subject : "Re: " + subject);
        SetField(request, "ReplyMessage", number);
        if (const std::string id = OneLine(headers.GetValue("Message-ID")); !id.empty()) {
            SetField(request, "In-Reply-To", id);
        }
    }

    // The original's text, decoded, into ".body.tmp".
    const std::string tempPath = platform::PathJoin(dir, kComposeBodyTempFile);
    const store::RenderContext context = ContextOf(request);
    int textPart = -1;
    bool rendered = false;
    if (entry->HasFlag(MessageFlag::HasAttachments)) {
        const store::PartIndex& parts = *entry->GetPartIndex();
        textPart = TextPartIndex(parts);
        if (textPart >= 0) {
            rendered = RenderInto(tempPath, messagePath, &parts.Item(textPart), &context);
        }
    } else {
        rendered = RenderInto(tempPath, messagePath, nullptr, &context);
    }

    std::string body = SignatureText(user.Directory(), mailbox);
    if (rendered) {
        const std::string_view prefix = kind == ComposeKind::Forward ? "" : "> ";
        body += QuotedOriginal(request, headers, ReadHead(tempPath, kMaxQuotedBytes), prefix);
        (void)platform::RemoveFile(tempPath);
    }
    (void)WriteComposeFile(dir, kComposeBodyFile, body);
    if (kind == ComposeKind::Forward && entry->HasFlag(MessageFlag::HasAttachments)) {
        CopyAttachments(request, *entry, textPart);
    }
    (void)SaveComposeHeaders(request);
}

void OpenDraftForEditing(Request& request, MessageIndexEntry& entry)
{
    request.Log().LogMsg(1, kMsgLoadingCompose);
    const std::string dir = ComposeDir(request);
    (void)platform::EmptyDirectory(dir);
    (void)platform::MakeDirectories(dir);
    for (const char* name : kComposeHeaderFields) {
        SetField(request, name, "");
    }
    const std::string messagePath = entry.GetMessagePath();
    const store::HeaderBlock headers = store::HeaderBlock::ReadFile(messagePath.c_str());
    // Only the compose fields come back from the draft's headers: a header never sets a field such as View.
    for (const char* name : kComposeHeaderFields) {
        if (headers.Contains(name)) {
            SetField(request, name, OneLine(CutText(headers.GetValue(name), kMaxComposeFieldBytes)));
        }
    }
    if (headers.Contains("Advanced")) {
        SetField(request, "Advanced", OneLine(CutText(headers.GetValue("Advanced"), kMaxComposeFieldBytes)));
    }
    if (!headers.IsBlank("Return-Receipt-To")) {
        SetField(request, "ConfirmDelivery", "Yes");
    }
    if (!headers.IsBlank("X-Confirm-Reading-To") || !headers.IsBlank("Disposition-Notification-To")) {
        SetField(request, "ConfirmRead", "Yes");
    }
    if (std::string_view(headers.GetValue("X-Priority")).starts_with('1') ||
        StartsWithNoCase(headers.GetValue("Priority"), "urgent")) {
        SetField(request, "ComposeUrgent", "Yes");
    }

    const std::string bodyPath = platform::PathJoin(dir, kComposeBodyFile);
    const store::RenderContext context = ContextOf(request);
    const store::PartIndex* parts = entry.HasFlag(MessageFlag::HasAttachments) ? entry.GetPartIndex() : nullptr;
    if (parts != nullptr && parts->Count() > 0) {
        if (!RenderInto(bodyPath, messagePath, &parts->Item(0), &context)) {
            (void)WriteComposeFile(dir, kComposeBodyFile, "");
        }
        CopyAttachments(request, entry, 0);
    } else if (!RenderInto(bodyPath, messagePath, nullptr, &context)) {
        (void)WriteComposeFile(dir, kComposeBodyFile, "");
    }

    SetField(request, "SourceMessage", std::to_string(entry.Number()));
    if (Field(request, "Mailbox").empty()) {
        SetField(request, "Mailbox", entry.Mailbox());
    }
    (void)SaveComposeHeaders(request);
}

void PrepareComposePage(Request& request)
{
    LoadComposeHeaders(request, FormPosted::No);
    Session& session = *request.CurrentSession();
    if (!platform::PathExists(platform::PathJoin(ComposeDir(request), kComposeBodyFile))) {
        StartCompose(request, nullptr, ComposeKind::Page);
        session.SetFrameView(session.CurrentView());
    }
    if (request.View() == kViewCompose && !IsComposeTextEditable(ComposeDir(request)) &&
        !session.ErrorMessage().IsSet()) {
        TellError(request, kTextTooLargeToEdit);
    }
    (void)SaveComposeHeaders(request);
}

} // namespace qm::engine
