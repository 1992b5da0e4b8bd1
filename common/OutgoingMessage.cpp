#include "common/OutgoingMessage.h"

#include "common/Scrambler.h"
#include "common/StringUtil.h"
#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "platform/Random.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace qm {

namespace {

constexpr std::size_t kFoldWidth = 76;
// Attachments are read in blocks of whole 57-byte groups: each gives exactly one 76-character base64 line, so the
// line grid runs on across blocks.
constexpr std::size_t kBase64Block = std::size_t{57} * 1024;

struct FileCloser {
    void operator()(std::FILE* f) const { static_cast<void>(std::fclose(f)); }
};

using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Reads lines of any length, NUL bytes included (the line end, LF or CR LF, removed). False at the end.
class LineReader {
public:
    explicit LineReader(std::FILE* in)
        : m_in(in)
    {}

    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    ~LineReader() { std::free(m_buffer); } // NOLINT(cppcoreguidelines-no-malloc): getline's buffer

    bool Next(std::string& line)
    {
        const auto got = getline(&m_buffer, &m_capacity, m_in);
        if (got <= 0) {
            return false;
        }
        line.assign(m_buffer, static_cast<std::size_t>(got));
        if (line.back() == '\n') {
            line.pop_back();
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
        }
        return true;
    }

private:
    std::FILE* m_in;
    char* m_buffer = nullptr;
    std::size_t m_capacity = 0;
};

bool HasLineBreak(std::string_view text)
{
    return text.find_first_of("\r\n") != std::string_view::npos;
}

std::string Blanked(std::string_view text)
{
    std::string out(text);
    std::ranges::replace(out, '\r', ' ');
    std::ranges::replace(out, '\n', ' ');
    return out;
}

bool IsJapanese(std::string_view language)
{
    return EqualsNoCase(language, "ja");
}

// What the text files hold: 8-bit bytes, and a line that the boundary would end.
// The longest line SMTP carries, without its CR LF.
constexpr std::size_t kMaxSmtpLine = 998;

struct TextScan {
    bool EightBit = false;
    bool HoldsBoundary = false;
    bool LongLine = false; // a line too long for SMTP: the text is sent quoted-printable
};

void ScanText(const std::string& path, const std::string& boundaryLine, TextScan& scan)
{
    FilePtr in(std::fopen(path.c_str(), "rb"));
    if (!in) {
        return;
    }
    LineReader reader(in.get());
    std::string line;
    while (reader.Next(line)) {
        scan.EightBit = scan.EightBit || HasEightBitBytes(line);
        scan.HoldsBoundary = scan.HoldsBoundary || line.starts_with(boundaryLine);
        scan.LongLine = scan.LongLine || line.size() > kMaxSmtpLine;
    }
}

const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::string DateHeader(const MessageTime& t)
{
    const int offset = t.UtcOffsetMinutes < 0 ? -t.UtcOffsetMinutes : t.UtcOffsetMinutes;
    char text[64];
    static_cast<void>(std::snprintf(text, sizeof text, "Date: %s, %02d %s %04d %02d:%02d:%02d %c%02d%02d\r\n",
                                    kDays[std::clamp(t.Weekday, 0, 6)], t.Day, kMonths[std::clamp(t.Month, 1, 12) - 1],
                                    t.Year, t.Hour, t.Minute, t.Second, t.UtcOffsetMinutes < 0 ? '-' : '+', offset / 60,
                                    offset % 60));
    return text;
}

// Writes bytes and remembers a failure.
class Output {
public:
    explicit Output(std::FILE* file)
        : m_file(file)
    {}

    void Put(std::string_view bytes)
    {
        if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), m_file) != bytes.size()) {
            m_failed = true;
        }
    }

    void Line(std::string_view text)
    {
        Put(text);
        Put("\r\n");
    }

    bool Failed() const { return m_failed; }

private:
    std::FILE* m_file;
    bool m_failed = false;
};

// One text line quoted-printable (RFC 2045): lines of at most 76 characters joined by soft breaks.
std::string QuotedPrintableLine(std::string_view line)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    std::size_t width = 0;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const auto c = static_cast<unsigned char>(line[i]);
        const bool blankAtEnd = (c == ' ' || c == '\t') && i + 1 == line.size();
        char token[3] = {static_cast<char>(c), 0, 0};
        std::size_t size = 1;
        if ((c < 33 && c != ' ' && c != '\t') || c > 126 || c == '=' || blankAtEnd) {
            token[0] = '=';
            token[1] = kHex[c >> 4];
            token[2] = kHex[c & 15];
            size = 3;
        }
        if (width + size > 75) {
            out += "=\r\n";
            width = 0;
        }
        out.append(token, size);
        width += size;
    }
    return out;
}

// The lines of a text file, converted for Japanese text, and quoted-printable when asked.
void WriteTextFile(Output& out, const std::string& path, bool japanese, bool quoted)
{
    FilePtr in(std::fopen(path.c_str(), "rb"));
    if (!in) {
        return;
    }
    LineReader reader(in.get());
    std::string line;
    while (reader.Next(line)) {
        const std::string text = japanese ? ShiftJisToIso2022Jp(line) : line;
        out.Line(quoted ? QuotedPrintableLine(text) : text);
    }
}

std::string FirstLine(const std::string& path)
{
    FilePtr in(std::fopen(path.c_str(), "rb"));
    if (!in) {
        return {};
    }
    char buffer[256];
    if (std::fgets(buffer, sizeof buffer, in.get()) == nullptr) {
        return {};
    }
    std::string line(buffer);
    line.resize(std::min(line.find_first_of("\r\n"), line.size()));
    return std::string(TrimmedView(line));
}

std::string AttachmentType(const OutgoingMessage& message, const std::string& name)
{
    // A type file written for a forwarded or reopened part wins; it is ours, but is checked like outside text.
    std::string type = FirstLine(platform::PathJoin(message.ComposeDir, "." + name));
    if (!type.empty() && std::ranges::none_of(type, [](char c) { return static_cast<unsigned char>(c) < 0x20; })) {
        return type;
    }
    if (message.MimeTypes == nullptr) {
        return MimeTypeTable::kDefaultType;
    }
    const std::size_t dot = name.rfind('.');
    const std::string extension = dot == std::string::npos ? std::string() : name.substr(dot + 1);
    return message.MimeTypes->TypeForExtension(extension.c_str());
}

std::string QuotedFileName(std::string_view name)
{
    std::string out;
    for (const char c : name) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    return out;
}

void WriteAttachmentPart(Output& out, const OutgoingMessage& message, const std::string& name)
{
    out.Line("Content-Type: " + AttachmentType(message, name));
    out.Line("Content-Transfer-Encoding: base64");
    out.Line("Content-Disposition: attachment; filename=\"" + QuotedFileName(name) + "\"");
    out.Line("");
    FilePtr in(std::fopen(platform::PathJoin(message.ComposeDir, name).c_str(), "rb"));
    if (!in) {
        return; // a file that vanished: the part without data
    }
    std::vector<char> block(kBase64Block);
    std::size_t got = 0;
    while ((got = std::fread(block.data(), 1, block.size(), in.get())) > 0) {
        const std::string encoded = Base64Encode(std::string_view(block.data(), got));
        for (std::size_t pos = 0; pos < encoded.size(); pos += kFoldWidth) {
            out.Line(std::string_view(encoded).substr(pos, kFoldWidth));
        }
    }
}

void AppendFolded(std::string& out, std::string line)
{
    while (line.size() > kFoldWidth) {
        std::size_t blank = std::string::npos;
        for (std::size_t pos = kFoldWidth; pos >= 1; --pos) {
            if (line[pos] == ' ' || line[pos] == '\t') {
                blank = pos;
                break;
            }
        }
        if (blank == std::string::npos) {
            out.append(line, 0, kFoldWidth).append("\r\n");
            line = "\t" + line.substr(kFoldWidth);
            continue;
        }
        out.append(line, 0, blank).append("\r\n");
        line[blank] = '\t';
        line.erase(0, blank);
    }
    out.append(line).append("\r\n");
}

enum class ByteClass : unsigned char {
    Separator,
    Word,
    EightBit
};

ByteClass Classify(char ch)
{
    const auto c = static_cast<unsigned char>(ch);
    if (c >= 0x80) {
        return ByteClass::EightBit;
    }
    return (c >= '/' && c <= '9') || c >= '@' ? ByteClass::Word : ByteClass::Separator;
}

std::string EncodedWord(std::string_view run, std::string_view language, std::string_view charset)
{
    if (IsJapanese(language)) {
        return "=?ISO-2022-JP?B?" + BEncode(ShiftJisToIso2022Jp(run)) + "?=";
    }
    const std::string b = BEncode(run);
    const std::string q = QEncode(run);
    return b.size() < q.size() ? "=?" + std::string(charset) + "?B?" + b + "?="
                               : "=?" + std::string(charset) + "?Q?" + q + "?=";
}

// Half-width katakana 0xA1..0xDF as JIS X 0208 codes.
constexpr std::array<std::uint16_t, 63> kKatakana = {
        0x2123, 0x2156, 0x2157, 0x2122, 0x2126, 0x2572, 0x2521, 0x2523, 0x2525, 0x2527, 0x2529, 0x2563, 0x2565,
        0x2567, 0x2543, 0x213C, 0x2522, 0x2524, 0x2526, 0x2528, 0x252A, 0x252B, 0x252D, 0x252F, 0x2531, 0x2533,
        0x2535, 0x2537, 0x2539, 0x253B, 0x253D, 0x253F, 0x2541, 0x2544, 0x2546, 0x2548, 0x254A, 0x254B, 0x254C,
        0x254D, 0x254E, 0x254F, 0x2552, 0x2555, 0x2558, 0x255B, 0x255E, 0x255F, 0x2560, 0x2561, 0x2562, 0x2564,
        0x2566, 0x2568, 0x2569, 0x256A, 0x256B, 0x256C, 0x256D, 0x256F, 0x2573, 0x212B, 0x212C,
};

bool IsLeadByte(unsigned char c)
{
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xEF);
}

// The JIS X 0208 code of a half-width katakana at text[i] and how many bytes it takes (a merged sound mark).
std::uint16_t FullWidthKatakana(std::string_view text, std::size_t i, std::size_t& used)
{
    const auto c = static_cast<unsigned char>(text[i]);
    std::uint16_t code = kKatakana[c - 0xA1];
    used = 1;
    const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
    if (next == 0xDE && ((c >= 0xB6 && c <= 0xC4) || (c >= 0xCA && c <= 0xCE))) {
        ++code;
        used = 2;
    } else if (next == 0xDE && c == 0xB3) {
        code = 0x2574; // VU
        used = 2;
    } else if (next == 0xDF && c >= 0xCA && c <= 0xCE) {
        code += 2;
        used = 2;
    }
    return code;
}

std::string FaxComments(const OutgoingMessage& message, const OutgoingFax& fax)
{
    std::string text;
    if (fax.BodyField) {
        text = *fax.BodyField;
    } else if (auto body = platform::ReadWholeFile(platform::PathJoin(message.ComposeDir, ".body.txt"), 1 << 20)) {
        text = std::move(*body);
    }
    return text;
}

// Writes the fax block; true when the text went on its COMMENTS line (and the text and footer are left out).
bool WriteFaxBlock(Output& out, const OutgoingMessage& message, const OutgoingFax& fax)
{
    if (!fax.CoverPage.empty()) {
        out.Line("COVERPAGE: " + Blanked(fax.CoverPage));
    }
    if (!fax.FaxPassword.empty()) {
        out.Line("FAXPASSWORD: " + Blanked(fax.FaxPassword));
    }
    std::string number = Blanked(fax.FaxNumber.substr(0, 31));
    std::ranges::replace(number, ',', '%');
    std::string attn = Blanked(fax.Attn.substr(0, 63));
    std::string company = Blanked(fax.Company.substr(0, 63));
    std::erase(attn, '"');
    std::erase(company, '"');
    out.Line("FAXNUMBER: " + number + ", \"" + attn + "\", \"" + company + "\"");
    std::string comments = FaxComments(message, fax);
    if (comments.size() >= 1000) {
        return false;
    }
    ReplaceAll(comments, "\r\n", "%e");
    ReplaceAll(comments, "\r", "%e");
    ReplaceAll(comments, "\n", "%e");
    out.Line("PRINTEDFAX: TRUE");
    out.Line("COMMENTS: " + comments);
    return true;
}

std::string HeaderBlock(const OutgoingMessage& message, MessageForm form, const std::string& boundary, bool attachments,
                        const TextScan& scan, bool quoted)
{
    const bool japanese = scan.EightBit && IsJapanese(message.Language);
    const std::string charset = japanese ? "ISO-2022-JP" : scan.EightBit ? message.Charset : "us-ascii";
    const bool mimeText = scan.EightBit || quoted;
    const std::string encoding = quoted     ? "Content-Transfer-Encoding: quoted-printable\r\n"
                                 : japanese ? ""
                                            : "Content-Transfer-Encoding: 8bit\r\n";
    std::string h = DateHeader(message.Time);
    AppendHeaderField(h, "From", message.From, false, message.Language, message.Charset);
    AppendHeaderField(h, "To", message.To, false, message.Language, message.Charset);
    if (!TrimmedView(message.ReplyTo).empty()) {
        AppendHeaderField(h, "Reply-To", message.ReplyTo, false, message.Language, message.Charset);
    }
    if (!TrimmedView(message.CC).empty()) {
        AppendHeaderField(h, "CC", message.CC, false, message.Language, message.Charset);
    }
    AppendHeaderField(h, "Subject", Blanked(message.Subject), true, message.Language, message.Charset);
    if (attachments) {
        h += "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"" + boundary + "\"\r\n";
    } else if (mimeText) {
        h += "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=\"" + charset + "\"\r\n" + encoding;
    }
    h += "X-Mailer: Quillmail Pro 2.2.3\r\n";
    if (!message.MessageId.empty()) {
        h += "Message-ID: " + Blanked(message.MessageId) + "\r\n";
    }
    if (!message.InReplyTo.empty()) {
        h += "In-Reply-To: " + Blanked(message.InReplyTo) + "\r\n";
    }
    if (!message.References.empty()) {
        AppendHeaderField(h, "References", Blanked(message.References), false, message.Language, message.Charset);
    }
    std::string address = Blanked(message.From);
    ExtractAddress(address.data());
    address.resize(std::strlen(address.c_str()));
    if (message.ConfirmDelivery) {
        h += "Return-Receipt-To: " + address + "\r\n";
    }
    if (message.ConfirmRead) {
        h += "X-Confirm-Reading-To: " + address + "\r\nDisposition-Notification-To: " + address + "\r\n";
    }
    if (message.Urgent) {
        h += "X-Priority: 1 (Highest)\r\n";
    }
    if (form == MessageForm::Draft) {
        for (const auto& [name, value] : {std::pair<const char*, const std::string&>{"BCC", message.BCC},
                                          {"ReplyMessage", message.ReplyMessage},
                                          {"ForwardMessage", message.ForwardMessage},
                                          {"SpellLanguage", message.SpellLanguage},
                                          {"Mailbox", message.Mailbox}}) {
            if (!value.empty()) {
                h += std::string(name) + ": " + Blanked(value) + "\r\n";
            }
        }
        if (message.Advanced) {
            h += "Advanced: Yes\r\n";
        }
    }
    h += "\r\n";
    if (attachments) {
        h += "--" + boundary + "\r\n";
        if (mimeText) {
            h += "Content-Type: text/plain; charset=\"" + charset + "\"\r\n" + encoding;
        } else {
            h += "Content-Type: text/plain\r\n";
        }
        h += "\r\n\r\n";
    }
    return h;
}

// A domain name that can stand on the right of a Message-ID.
bool IsPlainDomain(std::string_view domain)
{
    return !domain.empty() && domain.size() <= 253 && domain.front() != '.' && domain.back() != '.' &&
           std::ranges::all_of(domain, [](char c) {
               return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                      c == '.';
           });
}

// The well-formed message ids of a header text, in order.
std::vector<std::string_view> MessageIds(std::string_view text)
{
    std::vector<std::string_view> ids;
    for (std::size_t open = text.find('<'); open != std::string_view::npos; open = text.find('<', open + 1)) {
        const std::size_t close = text.find_first_of("<>", open + 1);
        if (close == std::string_view::npos || text[close] != '>') {
            continue;
        }
        const std::string_view inside = text.substr(open + 1, close - open - 1);
        if (!inside.empty() && std::ranges::all_of(inside, [](char c) { return c > ' ' && c <= '~'; })) {
            ids.push_back(text.substr(open, close - open + 1));
        }
        open = close;
    }
    return ids;
}

} // namespace

std::string NewMessageId(std::string_view from, std::string_view fallbackDomain, std::time_t when)
{
    std::string address(from);
    ExtractAddress(address.data());
    address.resize(std::strlen(address.c_str()));
    const std::size_t at = address.rfind('@');
    const bool plain = std::ranges::none_of(address, [](char c) { return c <= ' ' || c == 0x7F; });
    std::string domain = at == std::string::npos || !plain ? std::string() : address.substr(at + 1);
    if (!IsPlainDomain(domain)) {
        domain = IsPlainDomain(fallbackDomain) ? std::string(fallbackDomain) : std::string("localhost");
    }
    std::array<unsigned char, 16> random{};
    if (!platform::FillRandom(random.data(), random.size())) {
        // Without the random source the id is still unique within this process.
        static std::atomic<std::uint64_t> s_counter{0};
        const std::uint64_t n = ++s_counter;
        const auto ticks = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
        for (std::size_t i = 0; i < 8; ++i) {
            random[i] = static_cast<unsigned char>(n >> (8 * i));
            random[8 + i] = static_cast<unsigned char>(ticks >> (8 * i));
        }
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string id = "<" + std::to_string(static_cast<long long>(when)) + ".";
    for (const unsigned char b : random) {
        id += kHex[b >> 4];
        id += kHex[b & 0x0F];
    }
    return id + "@" + domain + ">";
}

std::string ReplyReferences(std::string_view references, std::string_view inReplyTo, std::string_view messageId)
{
    const std::vector<std::string_view> own = MessageIds(messageId);
    if (own.empty()) {
        return {};
    }
    std::vector<std::string_view> thread = MessageIds(references);
    if (thread.empty()) {
        if (const std::vector<std::string_view> parent = MessageIds(inReplyTo); parent.size() == 1) {
            thread = parent;
        }
    }
    thread.push_back(own.front());
    std::vector<std::string_view> ids;
    for (const std::string_view id : thread) {
        if (std::ranges::find(ids, id) == ids.end()) {
            ids.push_back(id);
        }
    }
    // The first id and, from the latest back, as many as fit.
    std::size_t size = ids.front().size();
    std::size_t keepFrom = ids.size();
    while (keepFrom > 1 && size + 1 + ids[keepFrom - 1].size() <= kMaxReferencesBytes) {
        size += 1 + ids[keepFrom - 1].size();
        --keepFrom;
    }
    std::string text(ids.front());
    for (std::size_t i = keepFrom; i < ids.size(); ++i) {
        text += ' ';
        text += ids[i];
    }
    return text;
}

MessageTime MessageTime::Local(std::time_t when)
{
    std::tm local{};
    MessageTime t;
    if (localtime_r(&when, &local) == nullptr) {
        return t;
    }
    t.Year = local.tm_year + 1900;
    t.Month = local.tm_mon + 1;
    t.Day = local.tm_mday;
    t.Hour = local.tm_hour;
    t.Minute = local.tm_min;
    t.Second = local.tm_sec;
    t.Weekday = local.tm_wday;
    t.UtcOffsetMinutes = static_cast<int>(local.tm_gmtoff / 60);
    return t;
}

OutgoingResult WriteOutgoingMessage(const OutgoingMessage& message, MessageForm form, const std::string& path)
{
    for (const auto& [name, value] : {std::pair<const char*, const std::string&>{"From", message.From},
                                      {"To", message.To},
                                      {"CC", message.CC},
                                      {"BCC", message.BCC},
                                      {"Reply-To", message.ReplyTo}}) {
        if (HasLineBreak(value)) {
            static_cast<void>(platform::RemoveFile(path));
            return {OutgoingError::LineBreakInAddress, name};
        }
    }
    std::vector<std::string> attachments;
    if (auto entries = platform::ListDirectory(message.ComposeDir)) {
        for (const platform::DirEntry& entry : *entries) {
            if (entry.Type == platform::EntryType::File && platform::IsSafeName(entry.Name)) {
                attachments.push_back(entry.Name);
            }
        }
    }
    char stamp[32];
    static_cast<void>(std::snprintf(stamp, sizeof stamp, "%02d%02d-%02d%02d-%02d-PART-BREAK", message.Time.Month % 100,
                                    message.Time.Day % 100, message.Time.Hour % 100, message.Time.Minute % 100,
                                    message.Time.Second % 100));
    std::string boundary = stamp;
    const std::string bodyPath = platform::PathJoin(message.ComposeDir, ".body.txt");
    const bool footer = form == MessageForm::Send && !message.Fax && !message.FooterPath.empty();
    TextScan scan;
    for (int round = 0;; ++round) {
        scan = TextScan{};
        ScanText(bodyPath, "--" + boundary, scan);
        if (footer) {
            ScanText(message.FooterPath, "--" + boundary, scan);
        }
        if (!scan.HoldsBoundary || attachments.empty() || round == 9) {
            break;
        }
        boundary = stamp + std::string("-") + std::to_string(round + 1); // the text holds the boundary line
    }
    const bool japanese = scan.EightBit && IsJapanese(message.Language);
    // Drafts keep their lines whole; a message to be sent with a line longer than SMTP carries goes quoted-printable.
    const bool quoted = form == MessageForm::Send && scan.LongLine;

    FilePtr file(platform::OpenFileForWriting(path));
    if (!file) {
        return {OutgoingError::CannotWrite, {}};
    }
    Output out(file.get());
    out.Put(HeaderBlock(message, form, boundary, !attachments.empty(), scan, quoted));
    const bool faxComments = message.Fax && WriteFaxBlock(out, message, *message.Fax);
    if (!faxComments) {
        WriteTextFile(out, bodyPath, japanese, quoted);
        if (footer) {
            WriteTextFile(out, message.FooterPath, japanese, quoted);
        }
    }
    for (const std::string& name : attachments) {
        out.Line("--" + boundary);
        WriteAttachmentPart(out, message, name);
    }
    if (!attachments.empty()) {
        out.Line("--" + boundary + "--");
    }
    std::FILE* raw = file.release();
    if (out.Failed() || std::fclose(raw) != 0) {
        static_cast<void>(platform::RemoveFile(path));
        return {OutgoingError::CannotWrite, {}};
    }
    return {};
}

void AppendHeaderField(std::string& out, std::string_view name, std::string_view value, bool joinWords,
                       std::string_view language, std::string_view charset)
{
    std::string line = std::string(name) + ": " + std::string(value);
    if (!HasEightBitBytes(line)) {
        AppendFolded(out, std::move(line));
        return;
    }
    std::vector<ByteClass> cls(line.size());
    std::ranges::transform(line, cls.begin(), Classify);
    // A word that holds or touches an 8-bit byte is encoded whole.
    for (std::size_t i = 0; i < cls.size();) {
        if (cls[i] != ByteClass::Word) {
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < cls.size() && cls[end] == ByteClass::Word) {
            ++end;
        }
        if ((i > 0 && cls[i - 1] == ByteClass::EightBit) || (end < cls.size() && cls[end] == ByteClass::EightBit)) {
            std::fill(cls.begin() + static_cast<std::ptrdiff_t>(i), cls.begin() + static_cast<std::ptrdiff_t>(end),
                      ByteClass::EightBit);
        }
        i = end;
    }
    // A gap between two encoded runs joins them when it holds only separators (or words too, with joinWords).
    std::size_t lastEnd = std::string::npos;
    for (std::size_t i = 0; i < cls.size(); ++i) {
        if (cls[i] != ByteClass::EightBit) {
            continue;
        }
        if (lastEnd != std::string::npos && lastEnd < i &&
            std::all_of(cls.begin() + static_cast<std::ptrdiff_t>(lastEnd),
                        cls.begin() + static_cast<std::ptrdiff_t>(i),
                        [joinWords](ByteClass c) { return c == ByteClass::Separator || joinWords; })) {
            std::fill(cls.begin() + static_cast<std::ptrdiff_t>(lastEnd), cls.begin() + static_cast<std::ptrdiff_t>(i),
                      ByteClass::EightBit);
        }
        lastEnd = i + 1;
    }
    for (std::size_t i = 0; i < line.size();) {
        std::size_t end = i;
        const bool encoded = cls[i] == ByteClass::EightBit;
        while (end < line.size() && (cls[end] == ByteClass::EightBit) == encoded) {
            ++end;
        }
        const std::string_view run = std::string_view(line).substr(i, end - i);
        out += encoded ? EncodedWord(run, language, charset) : std::string(run);
        i = end;
    }
    out += "\r\n";
}

std::string QEncode(std::string_view text)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == ' ') {
            out += '_';
        } else if (c >= '!' && c <= '~' && c != '=' && c != '?' && c != '_') {
            out += ch;
        } else {
            out += '=';
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        }
    }
    return out;
}

std::string BEncode(std::string_view text)
{
    return Base64Encode(text);
}

std::string ShiftJisToIso2022Jp(std::string_view text)
{
    std::string out;
    out.reserve(text.size() + text.size() / 2 + 8);
    bool kanji = false;
    const auto putKanji = [&](std::uint16_t code) {
        if (!kanji) {
            out += "\x1b$B";
            kanji = true;
        }
        out += static_cast<char>(code >> 8);
        out += static_cast<char>(code & 0xFF);
    };
    const auto putSingle = [&](std::string_view bytes) {
        if (kanji) {
            out += "\x1b(B";
            kanji = false;
        }
        out += bytes;
    };
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0xA1 && c <= 0xDF) {
            std::size_t used = 0;
            putKanji(FullWidthKatakana(text, i, used));
            i += used;
            continue;
        }
        if (IsLeadByte(c) && i + 1 < text.size()) {
            const auto t = static_cast<unsigned char>(text[i + 1]);
            if (t >= 0x40 && t <= 0xFC && t != 0x7F) {
                int row = (c - (c < 0xA0 ? 0x70 : 0xB0)) << 1;
                int col = 0;
                if (t < 0x9F) {
                    --row;
                    col = t - (t > 0x7F ? 0x20 : 0x1F);
                } else {
                    col = t - 0x7E;
                }
                putKanji(static_cast<std::uint16_t>((row << 8) | col));
            } else {
                putSingle(text.substr(i, 2));
            }
            i += 2;
            continue;
        }
        putSingle(text.substr(i, 1));
        ++i;
    }
    if (kanji) {
        out += "\x1b(B";
    }
    return out;
}

bool ForEachMessageLine(const std::string& path, const std::function<void(std::string_view)>& take)
{
    FilePtr in(std::fopen(path.c_str(), "rb"));
    if (!in) {
        return false;
    }
    LineReader reader(in.get());
    std::string line;
    while (reader.Next(line)) {
        take(line);
    }
    return true;
}

bool HasEightBitBytes(std::string_view text)
{
    return std::ranges::any_of(text, [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
}

} // namespace qm
