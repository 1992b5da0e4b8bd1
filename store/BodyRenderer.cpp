#include "store/BodyRenderer.h"

#include "common/CgiInput.h"
#include "common/StringUtil.h"
#include "common/TextScan.h"
#include "platform/FileSystem.h"
#include "store/EncodedWords.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace qm::store {

namespace {

// The longest piece of a line that is handled at once; a longer line comes in several pieces.
constexpr std::size_t kMaxChunk = 4095;
// Output is written to the stream in pieces of about this size.
constexpr std::size_t kFlushSize = 16384;
// The previous character after a blank written as "&nbsp;" (so that the next blank is a plain one).
constexpr char kHardBlank = '\x01';

// The value of each base64 character; kNotBase64 for every other byte.
constexpr std::uint8_t kNotBase64 = 255;

constexpr std::array<std::uint8_t, 256> MakeBase64Values()
{
    std::array<std::uint8_t, 256> values{};
    for (auto& v : values) {
        v = kNotBase64;
    }
    constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (std::size_t i = 0; i < kAlphabet.size(); ++i) {
        values[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::uint8_t>(i);
    }
    return values;
}

constexpr std::array<std::uint8_t, 256> kBase64Values = MakeBase64Values();

// The schemes of links made from plain text; others ("javascript://x.y/...") stay text.
bool IsTextLinkScheme(std::string_view scheme)
{
    return EqualsNoCase(scheme, "http") || EqualsNoCase(scheme, "https") || EqualsNoCase(scheme, "ftp") ||
           EqualsNoCase(scheme, "news") || EqualsNoCase(scheme, "mailto");
}

} // namespace

// Reads a stream in pieces: a line of up to kMaxChunk bytes, or kMaxChunk bytes of a longer one. The line end (LF,
// and a CR before it) is removed and reported; the end of the stream ends the last line.
class BodyRenderer::ChunkReader {
public:
    explicit ChunkReader(std::FILE* file)
        : m_file(file)
    {}

    bool Next(std::string& chunk, bool& lineEnded)
    {
        chunk.clear();
        lineEnded = false;
        for (;;) {
            if (m_pos == m_end && !Fill()) {
                lineEnded = true;
                return !chunk.empty();
            }
            if (chunk.size() >= kMaxChunk) {
                if (m_buffer[m_pos] == '\n') {
                    ++m_pos;
                    lineEnded = true;
                    DropCr(chunk);
                }
                return true;
            }
            const std::size_t avail = std::min(m_end - m_pos, kMaxChunk - chunk.size());
            const char* start = m_buffer.data() + m_pos;
            const auto* lf = static_cast<const char*>(std::memchr(start, '\n', avail));
            if (lf != nullptr) {
                chunk.append(start, static_cast<std::size_t>(lf - start));
                m_pos += static_cast<std::size_t>(lf - start) + 1;
                lineEnded = true;
                DropCr(chunk);
                return true;
            }
            chunk.append(start, avail);
            m_pos += avail;
        }
    }

private:
    static void DropCr(std::string& chunk)
    {
        if (!chunk.empty() && chunk.back() == '\r') {
            chunk.pop_back();
        }
    }

    bool Fill()
    {
        m_pos = 0;
        m_end = std::fread(m_buffer.data(), 1, m_buffer.size(), m_file);
        return m_end > 0;
    }

    std::FILE* m_file;
    std::array<char, 65536> m_buffer{};
    std::size_t m_pos = 0;
    std::size_t m_end = 0;
};

BodyRenderer::BodyRenderer(std::FILE* out, const char* messagePath, RenderMode mode, const RenderContext* request,
                           const BodyRenderLimits& limits)
    : m_out(out)
    , m_file(OpenFile(messagePath, "rb"))
    , m_mode(mode)
    , m_request(request)
    , m_limits(limits)
{}

BodyRenderer::~BodyRenderer()
{
    Close();
}

void BodyRenderer::Close()
{
    Flush();
    m_file.reset();
    if (m_tempFileMade) {
        static_cast<void>(platform::RemoveFile(m_tempPath));
        m_tempFileMade = false;
    }
}

bool BodyRenderer::HasSession() const
{
    return m_request != nullptr && !m_request->SessionId.empty();
}

void BodyRenderer::Setup(std::string_view encoding, std::string_view contentType)
{
    encoding = TrimmedView(encoding);
    m_encoding = EqualsNoCase(encoding, "base64")             ? Encoding::Base64
                 : EqualsNoCase(encoding, "quoted-printable") ? Encoding::QuotedPrintable
                 : EqualsNoCase(encoding, "uuencode")         ? Encoding::Uuencode
                                                              : Encoding::None;
    contentType = TrimmedView(contentType);
    m_kind = StartsWithNoCase(contentType, "text/html")                                          ? Kind::Html
             : StartsWithNoCase(contentType, "text") || StartsWithNoCase(contentType, "message") ? Kind::Text
                                                                                                 : Kind::Other;
    m_japanese =
            m_request != nullptr && EqualsNoCase(m_request->Language, "ja") ? Japanese::WhenEscaped : Japanese::None;
    const std::string type(contentType);
    if (const char* charset = FindNoCase(type.c_str(), "charset="); charset != nullptr) {
        std::string_view value(charset);
        value = value.substr(0, value.find(';'));
        if (FindNoCase(std::string(value).c_str(), "ISO-2022-JP") != nullptr) {
            m_japanese = Japanese::Convert;
        }
    }
    m_kanjiMode = false;
    m_qpCarry.clear();
    m_base64Bits = 0;
    m_base64BitCount = 0;
}

void BodyRenderer::RenderMessage()
{
    if (m_file == nullptr || m_out == nullptr) {
        return;
    }
    ChunkReader reader(m_file.get());
    std::string contentType = "text/plain";
    std::string encoding = "7bit";
    bool inContentType = false;
    bool lineStart = true;
    std::string chunk;
    bool lineEnded = false;
    while (reader.Next(chunk, lineEnded)) {
        const bool first = lineStart;
        lineStart = lineEnded;
        if (!first) {
            continue; // the rest of an over-long header line
        }
        if (chunk.empty()) {
            Setup(encoding, contentType);
            m_budget = kWholeFileLines;
            Render(reader);
            return;
        }
        if (chunk[0] == ' ' || chunk[0] == '\t') {
            if (inContentType) {
                contentType += ' ';
                contentType += TrimmedView(chunk);
                contentType.resize(std::min<std::size_t>(contentType.size(), 255));
            }
            continue;
        }
        inContentType = StartsWithNoCase(chunk, "Content-Type: ");
        if (inContentType) {
            contentType = chunk.substr(14, 255);
        } else if (StartsWithNoCase(chunk, "Content-Transfer-Encoding: ")) {
            encoding = chunk.substr(27, 63);
        }
    }
}

void BodyRenderer::RenderPart(const PartIndexEntry& part)
{
    if (m_file == nullptr || m_out == nullptr) {
        return;
    }
    if (std::fseek(m_file.get(), static_cast<long>(part.Offset), SEEK_SET) != 0) {
        return;
    }
    Setup(part.TransferEncoding,
          part.Charset.empty() ? part.ContentType : part.ContentType + "; charset=" + part.Charset);
    m_budget = part.LineCount;
    ChunkReader reader(m_file.get());
    Render(reader);
}

void BodyRenderer::Render(ChunkReader& reader)
{
    m_shown = 0;
    m_bodyCut = false;
    m_previous = ' ';
    if (m_mode == RenderMode::Display && Prepare(reader)) {
        ChunkReader decoded(m_file.get());
        Render(decoded);
        return;
    }
    if (m_mode == RenderMode::Display && m_kind == Kind::Html) {
        RenderHtml(reader);
    } else {
        RenderText(reader);
    }
    Flush();
}

// With a session, an encoded body is decoded into the session's temporary file first, which is then rendered in
// its place without encoding. False (and nothing changed) without a session or encoding, or when the file cannot
// be made.
bool BodyRenderer::Prepare(ChunkReader& reader)
{
    if (m_encoding == Encoding::None || m_request == nullptr || m_request->SessionTempDir.empty()) {
        return false;
    }
    m_tempPath = m_request->SessionTempDir + "/.body.tmp";
    FilePtr temp(platform::OpenFileForWriting(m_tempPath));
    if (temp == nullptr) {
        return false;
    }
    m_tempFileMade = true;
    std::string chunk;
    std::string decoded;
    bool lineEnded = false;
    std::size_t written = 0;
    // One byte more than is shown, so that the cut is seen when the file is rendered.
    while (m_budget > 0 && written <= m_limits.MaxDisplayBytes && reader.Next(chunk, lineEnded)) {
        m_budget -= lineEnded ? 1 : 0;
        decoded.clear();
        if (Decode(chunk, lineEnded, decoded)) {
            decoded += "\r\n";
        }
        written += decoded.size();
        if (std::fwrite(decoded.data(), 1, decoded.size(), temp.get()) != decoded.size()) {
            return false;
        }
    }
    if (std::fclose(temp.release()) != 0) {
        return false;
    }
    FilePtr input = OpenFile(m_tempPath.c_str(), "rb");
    if (input == nullptr) {
        return false;
    }
    m_file = std::move(input);
    m_encoding = Encoding::None;
    m_budget = kWholeFileLines;
    return true;
}

bool BodyRenderer::NextLine(ChunkReader& reader, std::string& decoded)
{
    std::string chunk;
    bool lineEnded = false;
    decoded.clear();
    if (m_budget == 0 || !reader.Next(chunk, lineEnded)) {
        return false;
    }
    m_budget -= lineEnded ? 1 : 0;
    const bool lineEnd = Decode(chunk, lineEnded, decoded);
    ConvertJapanese(decoded);
    if (lineEnd) {
        decoded += "\r\n";
    }
    return true;
}

bool BodyRenderer::Decode(std::string_view chunk, bool lineEnded, std::string& decoded)
{
    switch (m_encoding) {
    case Encoding::Base64:
        DecodeBase64(chunk, decoded);
        return false;
    case Encoding::QuotedPrintable:
        return DecodeQuotedPrintable(chunk, lineEnded, decoded);
    case Encoding::Uuencode:
        DecodeUuencode(chunk, decoded);
        return false;
    case Encoding::None:
        break;
    }
    decoded.append(chunk);
    return lineEnded;
}

// Standard base64 up to the first byte outside the alphabet; bits carry over to the next line.
void BodyRenderer::DecodeBase64(std::string_view chunk, std::string& decoded)
{
    for (const char c : chunk) {
        const std::uint8_t v = kBase64Values[static_cast<unsigned char>(c)];
        if (v == kNotBase64) {
            return;
        }
        m_base64Bits = ((m_base64Bits << 6) | static_cast<std::uint32_t>(v)) & 0xFFFFFFU;
        m_base64BitCount += 6;
        if (m_base64BitCount >= 8) {
            m_base64BitCount -= 8;
            decoded += static_cast<char>((m_base64Bits >> m_base64BitCount) & 0xFF);
        }
    }
}

// "=" and two hex digits give a byte; any other '=' stays as it is, except that one ending the line is a soft
// break, which joins the next line. An escape cut by the end of a piece of an over-long line waits for the next
// piece. Returns whether the line end follows.
bool BodyRenderer::DecodeQuotedPrintable(std::string_view piece, bool lineEnded, std::string& decoded)
{
    std::string joined;
    std::string_view chunk = piece;
    if (!m_qpCarry.empty()) {
        joined = m_qpCarry + std::string(piece);
        chunk = joined;
        m_qpCarry.clear();
    }
    for (std::size_t i = 0; i < chunk.size(); ++i) {
        const char c = chunk[i];
        if (c != '=') {
            decoded += c;
            continue;
        }
        if (i + 1 == chunk.size() && lineEnded) {
            return false;
        }
        if (i + 2 >= chunk.size() && !lineEnded) {
            m_qpCarry = chunk.substr(i);
            return false;
        }
        const int high = i + 2 < chunk.size() ? HexDigitOrMinusOne(chunk[i + 1]) : -1;
        const int low = high >= 0 ? HexDigitOrMinusOne(chunk[i + 2]) : -1;
        if (low < 0) {
            decoded += c;
            continue;
        }
        decoded += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return lineEnded;
}

// A uuencoded line: the first character gives the byte count, every 4 characters give 3 bytes. The count is held to
// what the line carries; the "begin" and "end" lines around the data carry none.
void BodyRenderer::DecodeUuencode(std::string_view chunk, std::string& decoded)
{
    if (chunk.empty() || chunk.starts_with("begin ") || chunk == "end") {
        return;
    }
    const auto value = [](char c) {
        return static_cast<unsigned>(static_cast<unsigned char>(c) - 32) & 63U;
    };
    std::size_t count = value(chunk[0]);
    const std::string_view data = chunk.substr(1);
    count = std::min(count, data.size() / 4 * 3 + (data.size() % 4 > 1 ? data.size() % 4 - 1 : 0));
    for (std::size_t i = 0; count > 0; i += 4) {
        std::array<unsigned, 4> v{};
        for (std::size_t k = 0; k < 4; ++k) {
            v[k] = i + k < data.size() ? value(data[i + k]) : 0;
        }
        const std::array<unsigned, 3> bytes = {(v[0] << 2) | (v[1] >> 4), ((v[1] & 15) << 4) | (v[2] >> 2),
                                               ((v[2] & 3) << 6) | v[3]};
        for (std::size_t k = 0; k < 3 && count > 0; ++k, --count) {
            decoded += static_cast<char>(bytes[k] & 0xFF);
        }
    }
}

void BodyRenderer::ConvertJapanese(std::string& text)
{
    if (m_kind == Kind::Other || m_japanese == Japanese::None) {
        return; // binary parts keep their bytes
    }
    if (m_japanese == Japanese::WhenEscaped) {
        const std::size_t on = text.find("\x1B$");
        if (on == std::string::npos || text.find("\x1B(", on + 2) == std::string::npos) {
            return;
        }
        m_japanese = Japanese::Convert;
    }
    text.resize(JisToShiftJis(text.data(), text.size(), m_kanjiMode));
}

void BodyRenderer::RenderHtml(ChunkReader& reader)
{
    std::string html;
    std::string line;
    while (NextLine(reader, line)) {
        if (m_shown + line.size() > m_limits.MaxDisplayBytes) {
            html.append(line, 0, m_limits.MaxDisplayBytes - m_shown);
            m_bodyCut = true;
            break;
        }
        m_shown += line.size();
        html += line;
    }
    HtmlSanitizerOptions options;
    options.Images = m_remoteImages;
    if (HasSession()) {
        options.AttachmentUrlBase =
                m_request->ScriptName + "?Session=" + m_request->SessionId + "&View=Attachment&CID=";
    }
    const HtmlSanitizeReport report = SanitizeHtml(html, options, m_page);
    m_remoteImagesBlocked = m_remoteImagesBlocked || report.RemoteImagesBlocked;
    if (m_bodyCut) {
        m_page += m_limits.CutNote;
    }
}

void BodyRenderer::RenderText(ChunkReader& reader)
{
    std::string line;
    while (NextLine(reader, line)) {
        if (m_mode == RenderMode::Raw) {
            m_page += line;
        } else {
            if (m_shown + line.size() > m_limits.MaxDisplayBytes) {
                line.resize(m_limits.MaxDisplayBytes - m_shown);
                m_bodyCut = true;
            }
            m_shown += line.size();
            // The matchers read NUL-terminated text; a NUL of the mail has no place in a page anyway.
            line.erase(std::remove(line.begin(), line.end(), '\0'), line.end());
            Linkify(line);
            if (m_bodyCut) {
                m_page += m_limits.CutNote;
                break;
            }
        }
        if (m_page.size() >= kFlushSize) {
            Flush();
        }
    }
}

// Links, "www." hosts and (with a session) addresses become links; words go out as they are; the rest is escaped.
void BodyRenderer::Linkify(const std::string& text)
{
    const char* p = text.c_str();
    const char* const end = p + text.size();
    // A failed match fails for every start inside the same run of bytes: remembering the run keeps a line of
    // many short words linear.
    const char* noUrlBefore = p;
    const char* noAddressBefore = p;
    while (p < end) {
        const char* e = nullptr;
        if (p >= noUrlBefore) {
            if (MatchUrl(p, &e)) {
                const char* colon = std::strchr(p, ':');
                if (IsTextLinkScheme(std::string_view(p, static_cast<std::size_t>(colon - p)))) {
                    WriteLink(std::string_view(p, static_cast<std::size_t>(e - p)), "", {p, e});
                    p = e;
                    continue;
                }
            } else if (kLinkClass[static_cast<unsigned char>(*p)] == 4) {
                noUrlBefore = ClassRunEnd(p, kLinkClass, 4, 4);
            }
        }
        if (MatchWwwHost(p, &e)) {
            WriteLink(std::string_view(p, static_cast<std::size_t>(e - p)), "http://", {p, e});
            p = e;
            continue;
        }
        if (HasSession() && p >= noAddressBefore) {
            if (MatchEmailAddress(p, &e)) {
                WriteComposeLink(std::string_view(p, static_cast<std::size_t>(e - p)));
                p = e;
                continue;
            }
            if (kAddressClass[static_cast<unsigned char>(*p)] == 4) {
                noAddressBefore = ClassRunEnd(p, kAddressClass, 4, 2);
            }
        }
        if (MatchWordRun(p, &e)) {
            m_page.append(p, e);
            m_previous = e[-1];
            p = e;
            continue;
        }
        SkipLinkSeparators(p, &e);
        if (e == p) {
            ++e;
        }
        WriteEscaped(std::string_view(p, static_cast<std::size_t>(e - p)));
        p = e;
    }
}

void BodyRenderer::WriteLink(std::string_view href, std::string_view prefix, std::string_view text)
{
    m_page += "<A HREF=\"";
    m_page += prefix;
    AppendHtmlEscaped(m_page, href, true);
    m_page += "\" TARGET=\"_blank\" REL=\"noopener noreferrer\">";
    WriteEscaped(text);
    m_page += "</A>";
}

void BodyRenderer::WriteComposeLink(std::string_view address)
{
    m_page += "<A HREF=\"";
    AppendHtmlEscaped(m_page, m_request->ScriptName, true);
    m_page += "?Session=";
    AppendHtmlEscaped(m_page, m_request->SessionId, true);
    m_page += "&View=Compose&To=";
    AppendUrlEncoded(m_page, address);
    m_page += "&New=Yes\">";
    WriteEscaped(address);
    m_page += "</A>";
}

// TAB gives "&nbsp; &nbsp;", LF "<BR>" and CR LF, CR nothing; a blank after a blank written as a blank, or at the
// start of a line, gives "&nbsp;", so runs of blanks alternate and leading blanks stay visible.
void BodyRenderer::WriteEscaped(std::string_view text)
{
    for (const char c : text) {
        switch (c) {
        case '\t':
            m_page += "&nbsp; &nbsp;";
            break;
        case '\n':
            m_page += "<BR>\r\n";
            break;
        case '\r':
            continue;
        case '"':
            m_page += "&quot;";
            break;
        case '&':
            m_page += "&amp;";
            break;
        case '<':
            m_page += "&lt;";
            break;
        case '>':
            m_page += "&gt;";
            break;
        case ' ':
            if (m_previous == ' ' || m_previous == '\n') {
                m_page += "&nbsp;";
                m_previous = kHardBlank;
                continue;
            }
            m_page += ' ';
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                continue; // nothing to show, and an ESC could switch a page read as ISO-2022-JP to two-byte mode
            }
            m_page += c;
        }
        m_previous = c;
    }
}

void BodyRenderer::Flush()
{
    if (!m_page.empty() && m_out != nullptr) {
        static_cast<void>(std::fwrite(m_page.data(), 1, m_page.size(), m_out));
    }
    m_page.clear();
}

} // namespace qm::store
