#include "store/MessageBuilder.h"

#include "common/IniAccess.h"
#include "common/MimeTypeTable.h"
#include "common/StringList.h"
#include "common/StringUtil.h"
#include "common/TextScan.h"
#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "store/FilterList.h"
#include "store/FolderList.h"
#include "store/MailCharset.h"
#include "store/MailHostList.h"
#include "store/MessageIndex.h"
#include "store/StoreBatch.h"
#include "store/StoreSeams.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>

namespace qm::store {
namespace {

std::atomic<const MimeTypeTable*> g_mimeTypes{nullptr};

// Bytes of the write buffer of a message file: large enough that a line costs no system call.
constexpr std::size_t kWriteBuffer = std::size_t{64} * 1024;

// value cut to at most maxLength bytes, backing off so that no UTF-8 sequence is split.
std::string CapText(std::string_view value, std::size_t maxLength)
{
    if (value.size() <= maxLength) {
        return std::string(value);
    }
    std::size_t cut = maxLength;
    while (cut > 0 && (static_cast<unsigned char>(value[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    return std::string(value.substr(0, cut));
}

// A header value up to its first ';', trimmed and cut to maxLength.
std::string ValueBeforeSemicolon(std::string_view value, std::size_t maxLength)
{
    return CapText(TrimmedView(value.substr(0, value.find(';'))), maxLength);
}

bool IsParameterStart(std::string_view header, std::size_t at)
{
    return at == 0 || header[at - 1] == ';' || header[at - 1] == ' ' || header[at - 1] == '\t';
}

// The value of parameter name ("name", "filename") of a structured header: a quoted value runs to its closing
// quote (a backslash takes the next character as it is), any other to the next ';'. Parameter names are found
// without regard to case, and only where a parameter can begin, so "name=" is never found inside "filename=".
std::string ParameterValue(std::string_view header, std::string_view name)
{
    for (std::size_t at = 0; at + name.size() < header.size(); ++at) {
        if (!IsParameterStart(header, at) || !EqualsNoCase(header.substr(at, name.size()), name)) {
            continue;
        }
        std::size_t p = at + name.size();
        while (p < header.size() && (header[p] == ' ' || header[p] == '\t')) {
            ++p;
        }
        if (p >= header.size() || header[p] != '=') {
            continue;
        }
        ++p;
        while (p < header.size() && (header[p] == ' ' || header[p] == '\t')) {
            ++p;
        }
        std::string value;
        if (p < header.size() && header[p] == '"') {
            for (++p; p < header.size() && header[p] != '"'; ++p) {
                if (header[p] == '\\' && p + 1 < header.size()) {
                    ++p;
                }
                value += header[p];
            }
            return value;
        }
        const std::size_t end = header.find(';', p);
        return std::string(TrimmedView(header.substr(p, end == std::string_view::npos ? end : end - p)));
    }
    return {};
}

bool IsHexDigitChar(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// RFC 2231 percent-encoding undone: "%" and two hex digits give a byte, anything else stays.
void AppendPercentDecoded(std::string& out, std::string_view text)
{
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && IsHexDigitChar(text[i + 1]) && IsHexDigitChar(text[i + 2])) {
            out += static_cast<char>(HexDigitValue(text[i + 1]) * 16 + HexDigitValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
}

// The most continuation pieces of one RFC 2231 parameter that are joined.
constexpr int kMaxParameterPieces = 32;

// The RFC 2231 form of parameter name in UTF-8: "name*=charset'lang'%XX..." or the pieces "name*0*=" (the first
// with the charset), "name*1*=", ... and unencoded "name*0=", "name*1=", ... joined in order until one is missing.
// Bytes are converted from the declared charset (undeclared: UTF-8 or Windows-1252). "" when there is none.
std::string ExtendedParameterValue(std::string_view header, std::string_view name)
{
    std::string charset;
    std::string bytes;
    bool found = false;
    const auto addEncoded = [&](const std::string& value, bool first) {
        std::string_view text = value;
        if (first) {
            const std::size_t quote = text.find('\'');
            const std::size_t second = quote == std::string_view::npos ? quote : text.find('\'', quote + 1);
            if (second != std::string_view::npos) {
                charset.assign(text.substr(0, quote));
                text.remove_prefix(second + 1);
            }
        }
        AppendPercentDecoded(bytes, text);
    };
    const std::string base(name);
    if (std::string single = ParameterValue(header, base + "*"); !single.empty()) {
        addEncoded(single, true);
        found = true;
    } else {
        for (int i = 0; i < kMaxParameterPieces; ++i) {
            const std::string piece = base + "*" + std::to_string(i);
            if (std::string encoded = ParameterValue(header, piece + "*"); !encoded.empty()) {
                addEncoded(encoded, i == 0);
            } else if (std::string plain = ParameterValue(header, piece); !plain.empty()) {
                bytes += plain;
            } else {
                break;
            }
            found = true;
        }
    }
    if (!found) {
        return {};
    }
    std::string text;
    AppendInUtf8(text, bytes, charset);
    return text;
}

bool IsOctal(char c)
{
    return c >= '0' && c <= '7';
}

// The text of name's extension (after its last '.'), "" when it has none.
std::string_view ExtensionOf(std::string_view name)
{
    const std::size_t dot = name.rfind('.');
    return dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
}

const char* TypeForExtension(std::string_view extension)
{
    const MimeTypeTable* table = g_mimeTypes.load(std::memory_order_acquire);
    return table == nullptr ? MimeTypeTable::kDefaultType : table->TypeForExtension(std::string(extension).c_str());
}

const char* ExtensionForType(const std::string& type)
{
    const MimeTypeTable* table = g_mimeTypes.load(std::memory_order_acquire);
    return table == nullptr ? MimeTypeTable::kDefaultExtension : table->ExtensionForType(type.c_str());
}

int AddCapped(int value, std::int64_t add)
{
    const std::int64_t sum = static_cast<std::int64_t>(value) + add;
    return sum > INT_MAX ? INT_MAX : static_cast<int>(sum);
}

std::uint32_t CappedOffset(std::uint64_t position)
{
    return position > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(position);
}

// Reads the lines of an open file one at a time, whole however long, with the bytes each took (its line end
// included), so callers can keep file positions.
class LineSource {
public:
    explicit LineSource(std::FILE* file)
        : m_file(file)
    {}

    ~LineSource() { std::free(m_buffer); }

    LineSource(const LineSource&) = delete;
    LineSource& operator=(const LineSource&) = delete;

    bool Next(std::string_view& line, std::uint64_t& bytes)
    {
        const ssize_t n = ::getline(&m_buffer, &m_capacity, m_file);
        if (n <= 0) {
            return false;
        }
        bytes = static_cast<std::uint64_t>(n);
        std::size_t length = static_cast<std::size_t>(n);
        if (length > 0 && m_buffer[length - 1] == '\n') {
            --length;
            if (length > 0 && m_buffer[length - 1] == '\r') {
                --length;
            }
        }
        line = std::string_view(m_buffer, length);
        return true;
    }

private:
    std::FILE* m_file;
    char* m_buffer = nullptr;
    std::size_t m_capacity = 0;
};

// The "charset" parameter of a content type, kept only when it is a plain charset name (letters, digits and
// "-_.:"), cut to the part index's text length; "" otherwise.
std::string CharsetParameter(std::string_view contentType)
{
    std::string charset = ParameterValue(contentType, "charset");
    const bool plain = !charset.empty() && charset.size() <= PartIndexEntry::kMaxText &&
                       std::all_of(charset.begin(), charset.end(), [](char c) {
                           return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                                  c == '-' || c == '_' || c == '.' || c == ':';
                       });
    return plain ? charset : std::string();
}

} // namespace

void SetStoreMimeTypes(const MimeTypeTable* table) noexcept
{
    g_mimeTypes.store(table, std::memory_order_release);
}

bool IsUuencodeBegin(std::string_view line)
{
    if (line.size() < 6 || line.substr(0, 6) != "begin ") {
        return false;
    }
    std::size_t p = 6;
    std::size_t digits = 0;
    while (p < line.size() && IsOctal(line[p])) {
        ++p;
        ++digits;
    }
    if (digits < 3 || digits > 4 || p >= line.size() || line[p] != ' ') {
        return false;
    }
    return !TrimmedView(line.substr(p + 1)).empty();
}

bool IsUuencodeEnd(std::string_view line)
{
    return line.size() >= 3 && line.substr(0, 3) == "end" && TrimmedView(line.substr(3)).empty();
}

std::string CleanPartFileName(std::string_view name)
{
    const std::size_t slash = name.find_last_of("/\\");
    if (slash != std::string_view::npos) {
        name.remove_prefix(slash + 1);
    }
    std::string clean;
    clean.reserve(name.size());
    for (const char c : name) {
        if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F) {
            clean += c;
        }
    }
    // Cut first: cutting can leave "." or "..".
    clean = std::string(TrimmedView(CapText(clean, PartIndexEntry::kMaxText)));
    if (clean == "." || clean == "..") {
        clean.clear();
    }
    return clean;
}

// ---- MessageBuilder ----

MessageBuilder::MessageBuilder(MessageIndex& index, std::string folder)
    : m_index(index)
    , m_folder(std::move(folder))
{}

MessageBuilder::MessageBuilder(const MailHostAccount& account, MessageIndex& index, StringList* seenUids,
                               std::string_view uid, StoreUser* user)
    : m_index(index)
    , m_seenUids(seenUids)
    , m_user(user)
    , m_uid(uid)
    , m_mailbox(account.Mailbox())
    , m_serverCopy(account.Delete() == 2 ? ServerCopy::DeletionDue : ServerCopy::Kept)
{}

MessageBuilder::MessageBuilder(MessageIndexEntry& entry)
    : m_index(entry.Owner())
    , m_entry(&entry)
    , m_bound(true)
{}

MessageBuilder::~MessageBuilder()
{
    Abandon();
}

void MessageBuilder::Abandon()
{
    if (m_file != nullptr) {
        static_cast<void>(std::fclose(m_file));
        m_file = nullptr;
    }
    if (!m_tempPath.empty()) {
        static_cast<void>(platform::RemoveFile(m_tempPath));
        m_tempPath.clear();
        if (m_entry != nullptr) {
            m_entry->ChangeFlags(MessageFlag::Stored, false);
        }
    }
}

bool MessageBuilder::Begin(std::int64_t size, bool store)
{
    Abandon();
    m_size = size;
    m_store = store;
    m_state = BuildState::TopHeader;
    m_partCounter = 0;
    m_subPartCounter = 0;
    m_position = 0;
    m_writeFailed = false;
    m_reading = m_bound && !store;
    m_headers.Clear();
    m_topLines.clear();
    m_topBytes = 0;
    m_topType = "text/plain";
    m_topCharset.clear();
    m_outerBoundary.clear();
    m_innerBoundary.clear();
    m_singlePart = false;
    m_parts.Clear();
    m_current = nullptr;
    m_beginSeen = false;
    m_endSeen = false;
    if (m_bound) {
        m_number = m_entry->Number();
        m_fileId = m_entry->FileId();
        m_folder = m_entry->Folder();
        return true;
    }
    m_number = m_index.NextNumber();
    if (m_number == 0) {
        m_store = false;
        return false;
    }
    m_fileId = MessageFileId(m_number);
    return true;
}

int MessageBuilder::AddLine(std::string_view line)
{
    Consume(line);
    return static_cast<int>(std::min<std::size_t>(line.size() + 2, INT_MAX));
}

void MessageBuilder::AddReadLine(std::string_view line, std::uint64_t fileBytes)
{
    m_position += fileBytes;
    Consume(line);
}

void MessageBuilder::WriteLine(std::string_view line)
{
    if (std::fwrite(line.data(), 1, line.size(), m_file) != line.size() || std::fwrite("\r\n", 1, 2, m_file) != 2) {
        m_writeFailed = true;
    }
    m_position += line.size() + 2;
}

void MessageBuilder::Consume(std::string_view line)
{
    if (m_file != nullptr && m_state != BuildState::TopHeader) {
        WriteLine(line);
    }
    const auto startsWith = [&line](const std::string& boundary) {
        return !boundary.empty() && line.size() >= boundary.size() && line.substr(0, boundary.size()) == boundary;
    };
    const auto closes = [&line](const std::string& boundary) {
        return line.size() >= boundary.size() + 2 && line.substr(boundary.size(), 2) == "--";
    };
    // An outer boundary ends whatever part or inner level is open: a nested part whose closing boundary is
    // missing does not swallow the rest of the message.
    const auto reachOuterBoundary = [&]() {
        ++m_partCounter;
        m_subPartCounter = 0;
        m_state = closes(m_outerBoundary) ? BuildState::Body : BuildState::PartHeader;
        m_headers.Clear();
    };

    switch (m_state) {
    case BuildState::TopHeader:
        if (line.empty()) {
            m_topLines.emplace_back();
            EndTopHeader();
            return;
        }
        if (m_topBytes + line.size() + 2 > kMaxTopHeaderBytes) {
            // A header block this long is no header block: it ends here and the line is the first of the body.
            EndTopHeader();
            Consume(line);
            return;
        }
        m_topBytes += line.size() + 2;
        m_topLines.emplace_back(line);
        m_headers.AddLine(line);
        return;

    case BuildState::Body:
        if (!m_beginSeen) {
            m_beginSeen = IsUuencodeBegin(line);
        } else if (!m_endSeen) {
            m_endSeen = IsUuencodeEnd(line);
        }
        return;

    case BuildState::OuterWait:
        if (startsWith(m_outerBoundary)) {
            reachOuterBoundary();
        }
        return;

    case BuildState::PartBody:
        if (!m_singlePart && startsWith(m_outerBoundary)) {
            AdjustSize();
            reachOuterBoundary();
            return;
        }
        CountBodyLine(line);
        return;

    case BuildState::PartHeader:
        if (line.empty()) {
            std::string inner;
            if (StartsWithNoCase(m_headers.GetValue("Content-Type"), "multipart") && m_headers.GetBoundary(inner)) {
                m_innerBoundary = std::move(inner);
                m_state = BuildState::InnerWait;
            } else {
                m_state = BuildState::PartBody;
                StartPart(m_partCounter, m_subPartCounter);
            }
            m_headers.Clear();
            return;
        }
        if (startsWith(m_outerBoundary)) {
            reachOuterBoundary();
            return;
        }
        m_headers.AddLine(line);
        return;

    case BuildState::InnerWait:
        if (startsWith(m_innerBoundary)) {
            ReachInnerBoundary(line);
        } else if (startsWith(m_outerBoundary)) {
            reachOuterBoundary();
        }
        return;

    case BuildState::InnerHeader:
        if (line.empty()) {
            m_state = BuildState::InnerBody;
            StartPart(m_partCounter, m_subPartCounter);
            m_headers.Clear();
            return;
        }
        if (startsWith(m_outerBoundary)) {
            reachOuterBoundary();
            return;
        }
        m_headers.AddLine(line);
        return;

    case BuildState::InnerBody:
        if (startsWith(m_innerBoundary)) {
            AdjustSize();
            ReachInnerBoundary(line);
        } else if (startsWith(m_outerBoundary)) {
            AdjustSize();
            reachOuterBoundary();
        } else {
            CountBodyLine(line);
        }
        return;
    }
}

void MessageBuilder::ReachInnerBoundary(std::string_view line)
{
    ++m_subPartCounter;
    const bool last = line.size() >= m_innerBoundary.size() + 2 && line.substr(m_innerBoundary.size(), 2) == "--";
    m_state = last ? BuildState::OuterWait : BuildState::InnerHeader;
    m_headers.Clear();
}

void MessageBuilder::EndTopHeader()
{
    m_topType = ValueBeforeSemicolon(m_headers.GetValue("Content-Type"), kMaxTopContentType);
    m_topCharset = CharsetParameter(m_headers.GetValue("Content-Type"));
    if (m_topType.empty()) {
        m_topType = "text/plain";
    }
    if (m_entry == nullptr) {
        CreateEntry();
    }
    m_state = BuildState::Body;
    if (m_store && m_entry != nullptr) {
        static_cast<void>(OpenMessageFile());
    }
    if ((m_file != nullptr || m_reading) && m_entry != nullptr && m_entry->HasFlag(MessageFlag::HasAttachments)) {
        std::string boundary;
        if (!StartsWithNoCase(m_topType, "multipart")) {
            // A text message rebuilt from its file got its parts from uuencoded blocks: Finish scans for them.
            if (!(m_reading && StartsWithNoCase(m_topType, "text"))) {
                m_singlePart = true;
                m_state = BuildState::PartBody;
                StartPart(0, 0);
            }
        } else if (m_headers.GetBoundary(boundary)) {
            m_outerBoundary = std::move(boundary);
            m_state = BuildState::OuterWait;
        } else if (!m_reading) {
            m_entry->ChangeFlags(MessageFlag::HasAttachments, false);
        }
    }
    m_headers.Clear();
    m_topLines.clear();
    m_topLines.shrink_to_fit();
    m_topBytes = 0;
}

void MessageBuilder::CreateEntry()
{
    if (m_number == 0) {
        return;
    }
    MessageIndexEntry* e = m_index.NewEntry();
    e->SetFrom(m_headers.GetValue("From"));
    e->SetTo(m_headers.GetValue("To"));
    e->SetSubject(m_headers.GetValue("Subject"));

    // The date after the last ';' of the first Received header: the time the message reached its server.
    std::int64_t received = 0;
    if (const char* value = m_headers.GetValue("Received"); value[0] != '\0') {
        const char* semicolon = std::strrchr(value, ';');
        received = ParseRfc822Date(semicolon != nullptr ? semicolon + 1 : "");
    }
    std::int64_t date = ReadIniBool("PopClient", "UseReceivedDate", false) ? received : 0;
    if (date == 0) {
        date = ParseRfc822Date(m_headers.GetValue("Date"));
    }
    if (date == 0) {
        date = received;
    }
    e->SetDate(date);
    e->SetSize(static_cast<std::int32_t>(std::clamp<std::int64_t>(m_size, 0, INT32_MAX)));

    if (m_user != nullptr) {
        std::string folder(m_user->Filters().Match(m_headers, m_mailbox, "Inbox"));
        if (!m_user->Folders().Exists(folder)) {
            folder = "Inbox";
        }
        m_folder = std::move(folder);
    }
    e->SetFolder(m_folder);
    e->SetMailbox(m_mailbox);
    e->SetNumber(m_number);
    e->SetFileId(m_fileId);

    std::uint32_t flags = MessageFlag::New;
    if (!StartsWithNoCase(m_topType, "text")) {
        flags |= MessageFlag::HasAttachments;
    }
    if (m_headers.GetValue("X-Priority")[0] == '1' || StartsWithNoCase(m_headers.GetValue("Priority"), "urgent")) {
        flags |= MessageFlag::Urgent;
    }
    if (m_headers.Contains("Disposition-Notification-To") || m_headers.Contains("X-Confirm-Reading-To")) {
        flags |= MessageFlag::ConfirmReading;
    }
    e->SetFlags(flags);
    if (!m_uid.empty()) {
        e->SetUid(m_uid);
        if (m_seenUids != nullptr) {
            static_cast<void>(m_seenUids->Add(m_uid.c_str()));
        }
    }
    m_entry = e;
}

bool MessageBuilder::OpenMessageFile()
{
    m_tempPath = platform::PathJoin(m_index.UserDir(), "." + m_fileId + ".msg.tmp");
    m_file = platform::OpenFileForWriting(m_tempPath);
    if (m_file == nullptr) {
        m_tempPath.clear();
        return false;
    }
    static_cast<void>(std::setvbuf(m_file, nullptr, _IOFBF, kWriteBuffer));
    for (const std::string& line : m_topLines) {
        WriteLine(line);
    }
    return true;
}

void MessageBuilder::StartPart(int part, std::uint32_t subPart)
{
    if (m_parts.Count() >= kMaxMessageParts) {
        m_current = nullptr;
        return;
    }
    PartIndexEntry* p = m_parts.NewEntry();
    const std::string_view contentType = m_headers.GetValue("Content-Type");
    p->ContentType = ValueBeforeSemicolon(contentType, PartIndexEntry::kMaxText);
    p->Charset = CharsetParameter(contentType);
    // The name: the disposition's "filename" wins over the type's "name"; in each the RFC 2231 form wins.
    const std::string_view disposition = m_headers.GetValue("Content-Disposition");
    for (const std::string& name :
         {ParameterValue(contentType, "name"), ExtendedParameterValue(contentType, "name"),
          ParameterValue(disposition, "filename"), ExtendedParameterValue(disposition, "filename")}) {
        if (std::string clean = CleanPartFileName(name); !clean.empty()) {
            p->FileName = std::move(clean);
        }
    }
    p->Attachment = EqualsNoCase(TrimmedView(disposition.substr(0, disposition.find(';'))), "attachment");
    p->TransferEncoding =
            CapText(TrimmedView(m_headers.GetValue("Content-Transfer-Encoding")), PartIndexEntry::kMaxText);
    std::string_view id = TrimmedView(m_headers.GetValue("Content-ID"));
    if (!id.empty() && id.front() == '<') {
        id.remove_prefix(1);
    }
    if (!id.empty() && id.back() == '>') {
        id.remove_suffix(1);
    }
    p->ContentId = CapText(id, PartIndexEntry::kMaxText);
    p->Offset = CappedOffset(m_position);
    p->Part = part;
    p->SubPart = subPart;
    m_current = p;
}

void MessageBuilder::CountBodyLine(std::string_view line)
{
    if (m_current != nullptr) {
        m_current->Size = AddCapped(m_current->Size, static_cast<std::int64_t>(line.size()) + 2);
        ++m_current->LineCount;
    }
}

void MessageBuilder::AdjustSize()
{
    if (m_current == nullptr) {
        return;
    }
    const std::int64_t size = m_current->Size;
    if (EqualsNoCase(m_current->TransferEncoding, "base64")) {
        m_current->Size = static_cast<int>(size * 57 / 78);
    } else if (EqualsNoCase(m_current->TransferEncoding, "quoted-printable")) {
        m_current->Size = static_cast<int>(size * 73 / 78);
    }
    m_current = nullptr;
}

void MessageBuilder::ScanUuencodedParts(const std::string& path)
{
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return;
    }
    LineSource lines(file);
    std::string_view line;
    std::uint64_t bytes = 0;
    std::uint64_t position = 0;
    while (lines.Next(line, bytes)) {
        position += bytes;
        if (line.empty()) {
            break;
        }
    }
    int partNumber = m_partCounter;
    PartIndexEntry* current = nullptr;
    bool inBlock = false;
    while (lines.Next(line, bytes)) {
        const std::uint64_t start = position;
        position += bytes;
        if (inBlock) {
            if (IsUuencodeEnd(line)) {
                inBlock = false;
                current = nullptr;
            } else {
                current->Size = AddCapped(current->Size, static_cast<std::int64_t>(line.size()) * 6 / 8);
                ++current->LineCount;
            }
            continue;
        }
        if (IsUuencodeBegin(line)) {
            // "begin 644 name": the name follows the mode.
            const std::size_t afterMode = line.find(' ', 6);
            if (m_parts.Count() >= kMaxMessageParts) {
                break;
            }
            current = m_parts.NewEntry();
            current->Part = partNumber++;
            current->FileName = CleanPartFileName(line.substr(afterMode + 1));
            current->TransferEncoding = "uuencode";
            current->Offset = CappedOffset(position);
            inBlock = true;
            continue;
        }
        if (current == nullptr) {
            if (line.empty() && m_parts.Count() > 0) {
                continue;
            }
            if (m_parts.Count() >= kMaxMessageParts) {
                break;
            }
            current = m_parts.NewEntry();
            current->Part = partNumber++;
            current->ContentType = "text/plain";
            current->Charset = m_topCharset;
            current->TransferEncoding = "7bit";
            current->Offset = CappedOffset(start);
        }
        current->Size = AddCapped(current->Size, static_cast<std::int64_t>(line.size()) + 2);
        ++current->LineCount;
    }
    static_cast<void>(std::fclose(file));
}

void MessageBuilder::NameParts()
{
    for (int i = 0; i < m_parts.Count(); ++i) {
        PartIndexEntry& p = m_parts.Item(i);
        const std::string_view extension = ExtensionOf(p.FileName);
        if (p.ContentType.empty()) {
            p.ContentType = extension.empty() ? "text/plain" : TypeForExtension(extension);
        }
        if (p.FileName.empty()) {
            char name[PartIndexEntry::kMaxText + 1];
            static_cast<void>(std::snprintf(name, sizeof name, "ATT%05d.%s", i + 1, ExtensionForType(p.ContentType)));
            p.FileName = name;
        } else if (EqualsNoCase(p.ContentType, MimeTypeTable::kDefaultType) && !extension.empty()) {
            p.ContentType = TypeForExtension(extension);
        }
    }
}

MessageIndexEntry* MessageBuilder::Finish()
{
    if (m_state == BuildState::PartBody || m_state == BuildState::InnerBody) {
        AdjustSize();
    }
    // Without a batch of its caller's, the message is a batch of its own: its files synced together, then placed.
    StoreBatch own;
    StoreBatch& batch = m_batch != nullptr ? *m_batch : own;
    bool placeFile = false;
    if (m_file != nullptr) {
        if (m_writeFailed || !batch.m_sync.AddStream(m_file).has_value()) {
            m_writeFailed = true;
        }
        if (std::fclose(m_file) != 0) {
            m_writeFailed = true;
        }
        m_file = nullptr;
        placeFile = !m_writeFailed;
        if (!placeFile) {
            Abandon();
        }
    }
    const bool walked = placeFile || m_reading;
    if (walked && m_entry != nullptr && !m_entry->HasFlag(MessageFlag::HasAttachments) && m_endSeen) {
        if (placeFile) {
            m_entry->ChangeFlags(MessageFlag::HasAttachments, true);
            ScanUuencodedParts(m_tempPath);
        }
    } else if (m_reading && m_entry != nullptr && m_entry->HasFlag(MessageFlag::HasAttachments) &&
               m_outerBoundary.empty() && !m_singlePart) {
        // A body without structure (a text type, or multipart without a boundary) got its parts from uuencoded
        // blocks when it was stored.
        ScanUuencodedParts(m_entry->GetMessagePath());
    }

    const bool hasParts =
            walked && m_entry != nullptr && m_entry->HasFlag(MessageFlag::HasAttachments) && m_parts.Count() > 0;
    if (hasParts) {
        if (EqualsNoCase(m_topType, "multipart/alternative")) {
            for (int i = 0; i < m_parts.Count(); ++i) {
                PartIndexEntry& p = m_parts.Item(i);
                p.SubPart = static_cast<std::uint32_t>(p.Part);
                p.Part = 1;
            }
        }
        NameParts();
    }
    if (!placeFile) {
        return m_entry;
    }

    // Both files are written aside, unsynced; the batch syncs them and places the part index first: a message file
    // in its folder always has its parts listed beside it.
    StoreBatch::Pending pending;
    pending.Entry = m_entry;
    pending.MessageTemp = m_tempPath;
    pending.Copy = m_serverCopy;
    pending.Bound = m_bound;
    if (hasParts) {
        const std::string attTemp = platform::PathJoin(m_index.UserDir(), "." + m_fileId + ".att.tmp");
        if (batch.m_sync.WriteFile(attTemp, m_parts.Text()).has_value()) {
            pending.PartsTemp = attTemp;
        }
    }
    m_tempPath.clear();
    batch.m_pending.push_back(std::move(pending));
    batch.m_bytes += static_cast<std::uint64_t>(std::max<std::int64_t>(m_size, 0));
    if (m_batch != nullptr) {
        m_queued = true;
        return m_entry;
    }
    // The folder is synced once, at the index's next save.
    static_cast<void>(own.Commit(platform::DirSync::Later));
    return m_entry;
}

// ---- Whole messages ----

MessageIndexEntry* RestoreMessageFile(MessageIndex& index, const std::string& folder, const std::string& path)
{
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return nullptr;
    }
    const std::int64_t size = static_cast<std::int64_t>(platform::FileSize(path).value_or(0));
    MessageBuilder builder(index, folder);
    MessageIndexEntry* entry = nullptr;
    if (builder.Begin(size, true)) {
        LineSource lines(file);
        std::string_view line;
        std::uint64_t bytes = 0;
        while (lines.Next(line, bytes)) {
            builder.AddLine(line);
        }
        if (builder.InHeader()) {
            builder.AddLine("");
        }
        entry = builder.Finish();
    }
    static_cast<void>(std::fclose(file));
    if (entry != nullptr && !entry->HasFlag(MessageFlag::Stored)) {
        index.RemoveEntry(entry);
        entry = nullptr;
    }
    return entry;
}

MessageIndexEntry* StoreMessageLines(MessageIndex& index, const std::string& folder,
                                     const std::vector<std::string>& lines, StoreBatch* batch)
{
    std::int64_t size = 0;
    for (const std::string& line : lines) {
        size += static_cast<std::int64_t>(line.size());
    }
    MessageBuilder builder(index, folder);
    builder.SetBatch(batch);
    if (!builder.Begin(size, true)) {
        return nullptr;
    }
    for (const std::string& line : lines) {
        builder.AddLine(line);
    }
    if (builder.InHeader()) {
        builder.AddLine("");
    }
    MessageIndexEntry* entry = builder.Finish();
    if (entry != nullptr && !builder.Queued() && !entry->HasFlag(MessageFlag::Stored)) {
        index.RemoveEntry(entry);
        entry = nullptr;
    }
    return entry;
}

} // namespace qm::store
