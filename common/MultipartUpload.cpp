#include "common/MultipartUpload.h"

#include "common/StringUtil.h"
#include "platform/FileSystem.h"
#include "platform/Path.h"

#include <algorithm>
#include <vector>

namespace qm {

namespace {

// Input is taken in pieces of at most this size, so that the pending bytes stay small whatever a caller feeds.
constexpr std::size_t kFeedPiece = std::size_t{16} * 1024;
// Blanks allowed between a delimiter and its line end (transport padding).
constexpr std::size_t kMaxPadding = 64;
constexpr std::size_t kMaxBoundary = 70;
constexpr std::size_t kMaxNameBytes = 255;
constexpr std::size_t kMaxTypeBytes = 255;

bool IsBoundaryByte(char c)
{
    const auto b = static_cast<unsigned char>(c);
    return (b >= '0' && b <= '9') || (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') ||
           std::string_view("'()+_,-./:=? ").find(c) != std::string_view::npos;
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

// The value of parameter `name` (exact name, any case) of a header value "type; a=1; b="x y"": quoted values run to
// the next '"' (browsers send a quote inside a file name as %22 and keep backslashes of Windows paths as they are).
std::optional<std::string> HeaderParameter(std::string_view value, std::string_view name)
{
    std::size_t pos = value.find(';');
    while (pos != std::string_view::npos && pos < value.size()) {
        ++pos;
        while (pos < value.size() && IsBlank(value[pos])) {
            ++pos;
        }
        const std::size_t eq = value.find('=', pos);
        if (eq == std::string_view::npos) {
            return std::nullopt;
        }
        const bool wanted = EqualsNoCase(TrimmedView(value.substr(pos, eq - pos)), name);
        std::size_t start = eq + 1;
        while (start < value.size() && IsBlank(value[start])) {
            ++start;
        }
        std::string_view text;
        if (start < value.size() && value[start] == '"') {
            const std::size_t close = value.find('"', start + 1);
            const std::size_t end = close == std::string_view::npos ? value.size() : close;
            text = value.substr(start + 1, end - start - 1);
            pos = close == std::string_view::npos ? value.size() : value.find(';', close);
        } else {
            const std::size_t end = std::min(value.find(';', start), value.size());
            text = TrimmedView(value.substr(start, end - start));
            pos = end;
        }
        if (wanted) {
            return std::string(text);
        }
    }
    return std::nullopt;
}

// A sent file name reduced to its last component: browsers of some systems send the whole path.
std::string_view BareFileName(std::string_view name)
{
    const std::size_t cut = name.find_last_of("\\/:");
    return cut == std::string_view::npos ? name : name.substr(cut + 1);
}

// The last non-empty line of a field value (CR LF or LF line ends).
std::string LastNonEmptyLine(std::string_view value)
{
    while (!value.empty()) {
        const std::size_t nl = value.rfind('\n');
        std::string_view line = nl == std::string_view::npos ? value : value.substr(nl + 1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (!line.empty()) {
            return std::string(line);
        }
        if (nl == std::string_view::npos) {
            break;
        }
        value = value.substr(0, nl);
    }
    return {};
}

// An image button's click arrives as "name.x" and "name.y": both count under the button's name.
std::string FieldName(std::string name)
{
    if (name.size() >= 2 && name[name.size() - 2] == '.' &&
        (FoldCase(name.back()) == 'x' || FoldCase(name.back()) == 'y')) {
        name.resize(name.size() - 2);
    }
    return name;
}

// The compose keeps its own files under '.' and a name, and may keep an attachment's content type in '.' and the
// attachment's name: an attachment whose '.' form is one of the compose's files (or this parser's temporary file)
// would take that file as its type and could never be removed.
bool NamesAComposeFile(std::string_view name)
{
    constexpr std::string_view kOwn[] = {"body.txt", "body.tmp", "headers.txt", "message.txt", "upload.part"};
    return std::ranges::any_of(kOwn, [&](std::string_view own) { return EqualsNoCase(name, own); });
}

bool IsFailure(UploadStatus status)
{
    return status != UploadStatus::Complete && status != UploadStatus::FileNameRefused &&
           status != UploadStatus::FileTooLarge;
}

} // namespace

std::optional<std::string> MultipartBoundary(std::string_view contentType)
{
    std::optional<std::string> boundary = HeaderParameter(contentType, "boundary");
    if (!boundary || boundary->empty() || boundary->size() > kMaxBoundary || boundary->back() == ' ' ||
        !std::ranges::all_of(*boundary, IsBoundaryByte)) {
        return std::nullopt;
    }
    return boundary;
}

MultipartParser::MultipartParser(std::string boundary, std::string composeDir, NameValueList& fields,
                                 MultipartLimits limits)
    : m_delimiter("\r\n--" + boundary)
    , m_boundary(std::move(boundary))
    , m_dir(std::move(composeDir))
    , m_fields(fields)
    , m_limits(limits)
    , m_pending("\r\n") // the first delimiter may open the body, without a line end before it
{}

MultipartParser::~MultipartParser()
{
    AbortPart();
}

bool MultipartParser::Feed(std::string_view bytes)
{
    while (!bytes.empty() && m_state != State::Done) {
        const std::string_view piece = bytes.substr(0, kFeedPiece);
        bytes.remove_prefix(piece.size());
        m_total += piece.size();
        if (m_total > m_limits.MaxTotalBytes) {
            Fail(UploadStatus::TooLarge);
            break;
        }
        FeedPiece(piece);
    }
    return m_state != State::Done;
}

UploadResult MultipartParser::Finish()
{
    if (m_state != State::Done) {
        Fail(UploadStatus::Truncated);
    }
    return std::move(m_result);
}

void MultipartParser::FeedPiece(std::string_view bytes)
{
    m_pending.append(bytes);
    while (m_state != State::Done) {
        if (m_state != State::Headers) {
            ScanData(); // returns when it needs more bytes, or at the next part's headers
            if (m_state != State::Headers) {
                return;
            }
            continue;
        }
        const std::size_t nl = m_pending.find('\n');
        if (nl == std::string::npos) {
            if (m_headerLine.size() + m_pending.size() > m_limits.MaxHeaderLine + 1) {
                Fail(UploadStatus::HeaderTooLong);
                return;
            }
            m_headerLine.append(m_pending);
            m_pending.clear();
            return;
        }
        m_headerLine.append(m_pending, 0, nl);
        m_pending.erase(0, nl + 1);
        if (!m_headerLine.empty() && m_headerLine.back() == '\r') {
            m_headerLine.pop_back();
        }
        if (m_headerLine.size() > m_limits.MaxHeaderLine) {
            Fail(UploadStatus::HeaderTooLong);
            return;
        }
        std::string line = std::move(m_headerLine);
        m_headerLine.clear();
        HeaderLine(line);
    }
}

// Looks for the delimiter in the pending bytes while in the preamble or in a part's data; bytes that cannot
// belong to a delimiter are passed on at once, the rest wait for the next piece.
void MultipartParser::ScanData()
{
    while (m_state == State::Preamble || m_state == State::Data) {
        const std::size_t pos = m_pending.find(m_delimiter);
        if (pos == std::string::npos) {
            const std::size_t keep = std::min(m_pending.size(), m_delimiter.size() - 1);
            EmitData(std::string_view(m_pending).substr(0, m_pending.size() - keep));
            m_pending.erase(0, m_pending.size() - keep);
            return;
        }
        std::size_t consumed = 0;
        bool closing = false;
        const std::size_t after = pos + m_delimiter.size();
        if (!TakeDelimiterEnd(after, consumed, closing)) {
            if (consumed == 0) { // more bytes needed to decide
                EmitData(std::string_view(m_pending).substr(0, pos));
                m_pending.erase(0, pos);
                return;
            }
            // The boundary text goes on with other bytes: content, not a delimiter.
            EmitData(std::string_view(m_pending).substr(0, pos + 1));
            m_pending.erase(0, pos + 1);
            continue;
        }
        EmitData(std::string_view(m_pending).substr(0, pos));
        m_pending.erase(0, after + consumed);
        if (m_state == State::Data) {
            EndPart();
            if (m_state == State::Done) {
                return;
            }
        }
        if (closing) {
            m_state = State::Done;
            m_pending.clear();
            return;
        }
        if (++m_parts > m_limits.MaxParts) {
            Fail(UploadStatus::TooManyParts);
            return;
        }
        m_state = State::Headers;
        m_headerBytes = 0;
        m_lastHeader.clear();
        m_name.clear();
        m_fileName.reset();
        m_type.clear();
    }
}

// Whether the delimiter ending before `at` is followed by "--" (closing) or blanks and a line end. False with
// consumed 0: not enough bytes yet; false with consumed 1: not a delimiter.
bool MultipartParser::TakeDelimiterEnd(std::size_t at, std::size_t& consumed, bool& closing) const
{
    const std::string_view rest = std::string_view(m_pending).substr(at);
    consumed = 0;
    if (rest.empty() || (rest.size() == 1 && rest[0] == '-')) {
        return false;
    }
    if (rest.starts_with("--")) {
        closing = true;
        consumed = 2;
        return true;
    }
    std::size_t i = 0;
    while (i < rest.size() && IsBlank(rest[i]) && i <= kMaxPadding) {
        ++i;
    }
    if (i > kMaxPadding) {
        consumed = 1;
        return false;
    }
    if (i == rest.size() || (rest[i] == '\r' && i + 1 == rest.size())) {
        return false;
    }
    if (rest[i] == '\n') {
        consumed = i + 1;
        return true;
    }
    if (rest[i] == '\r' && rest[i + 1] == '\n') {
        consumed = i + 2;
        return true;
    }
    consumed = 1;
    return false;
}

void MultipartParser::EmitData(std::string_view bytes)
{
    if (bytes.empty() || m_state != State::Data) {
        return;
    }
    switch (m_sink) {
    case Sink::Drop:
        return;
    case Sink::Field:
        if (m_value.size() + bytes.size() > m_limits.MaxFieldValue) {
            Fail(UploadStatus::FieldTooLong);
            return;
        }
        m_value.append(bytes);
        return;
    case Sink::Body: {
        // Every line end becomes CR LF: CR LF stays, a bare LF or a bare CR gets its partner.
        std::string out;
        out.reserve(bytes.size() + bytes.size() / 8 + 2);
        for (const char c : bytes) {
            if (m_lastWasCr && c != '\n') {
                out += '\n';
            } else if (!m_lastWasCr && c == '\n') {
                out += '\r';
            }
            out += c;
            m_lastWasCr = c == '\r';
        }
        bytes = out;
        if (std::fwrite(bytes.data(), 1, bytes.size(), m_file) != bytes.size()) {
            Fail(UploadStatus::WriteFailed);
        }
        return;
    }
    case Sink::File:
        if (bytes.size() > m_limits.MaxFileBytes - m_fileBytes) {
            // The file would pass the cap: dropped before it is stored whole; the rest of the form still counts.
            m_fileBytes -= m_partBytes;
            m_partBytes = 0;
            m_result.TooLargeNames.push_back(*m_fileName);
            if (m_result.Status == UploadStatus::Complete) {
                m_result.Status = UploadStatus::FileTooLarge;
            }
            AbortPart();
            return;
        }
        m_fileBytes += bytes.size();
        m_partBytes += bytes.size();
        if (std::fwrite(bytes.data(), 1, bytes.size(), m_file) != bytes.size()) {
            Fail(UploadStatus::WriteFailed);
        }
        return;
    }
}

void MultipartParser::HeaderLine(std::string_view line)
{
    m_headerBytes += line.size() + 2;
    if (m_headerBytes > m_limits.MaxPartHeaderBytes) {
        Fail(UploadStatus::HeaderTooLong);
        return;
    }
    if (!line.empty() && IsBlank(line.front()) && !m_lastHeader.empty()) {
        m_lastHeader.append(line); // a folded header goes on
        return;
    }
    // The header before this line is complete.
    const std::string_view header = m_lastHeader;
    const std::size_t colon = header.find(':');
    if (colon != std::string_view::npos) {
        const std::string_view name = TrimmedView(header.substr(0, colon));
        const std::string_view value = TrimmedView(header.substr(colon + 1));
        if (EqualsNoCase(name, "Content-Type")) {
            m_type = std::string(TrimmedView(value.substr(0, std::min(value.find(';'), value.size()))));
            m_type.resize(std::min(m_type.size(), kMaxTypeBytes));
        } else if (EqualsNoCase(name, "Content-Disposition")) {
            m_name = HeaderParameter(value, "name").value_or("");
            m_fileName = HeaderParameter(value, "filename");
            if (m_name.size() > kMaxNameBytes) {
                Fail(UploadStatus::HeaderTooLong);
                return;
            }
        }
    }
    m_lastHeader = line;
    if (line.empty()) {
        StartPartData();
    }
}

void MultipartParser::StartPartData()
{
    m_state = State::Data;
    m_sink = Sink::Drop;
    m_value.clear();
    m_lastWasCr = false;
    m_partBytes = 0;
    if (m_name.empty()) {
        return;
    }
    if (EqualsNoCase(m_name, "Attachment")) {
        if (!m_fileName || m_fileName->empty()) {
            return; // an empty file field
        }
        const std::string_view bare = BareFileName(*m_fileName);
        if (!platform::IsSafeName(bare) || NamesAComposeFile(bare)) {
            m_result.RefusedNames.emplace_back(m_fileName->substr(0, kMaxNameBytes));
            if (m_result.Status == UploadStatus::Complete) {
                m_result.Status = UploadStatus::FileNameRefused;
            }
            return;
        }
        m_fileName = std::string(bare);
        m_fields.Set("AttachName", m_fileName->c_str());
        m_fields.Set("AttachType", m_type.c_str());
        m_fields.Set("AttachBoundary", m_boundary.c_str());
        m_sink = Sink::File;
    } else if (EqualsNoCase(m_name, "Body")) {
        m_sink = Sink::Body;
    } else if (m_fileName) {
        return; // a file of any other field is not a form value
    } else {
        m_sink = Sink::Field;
        return;
    }
    m_file = platform::OpenFileForWriting(TempPath());
    if (m_file == nullptr) {
        Fail(UploadStatus::WriteFailed);
    }
}

void MultipartParser::EndPart()
{
    if (m_sink == Sink::Field) {
        std::string value = LastNonEmptyLine(m_value);
        if (!value.empty()) {
            m_fields.Set(FieldName(m_name).c_str(), std::move(value));
        }
        m_value.clear();
    } else if (m_sink == Sink::Body || m_sink == Sink::File) {
        if (m_sink == Sink::Body && m_lastWasCr && std::fputc('\n', m_file) == EOF) {
            Fail(UploadStatus::WriteFailed);
            return;
        }
        std::FILE* file = m_file;
        m_file = nullptr;
        const std::string target = platform::PathJoin(m_dir, m_sink == Sink::Body ? ".body.txt" : *m_fileName);
        if (std::fclose(file) != 0 || !platform::ReplaceFile(TempPath(), target)) {
            static_cast<void>(platform::RemoveFile(TempPath()));
            Fail(UploadStatus::WriteFailed);
            return;
        }
        if (m_sink == Sink::File) {
            m_result.StoredFiles.push_back(*m_fileName);
        }
    }
    m_sink = Sink::Drop;
}

void MultipartParser::AbortPart()
{
    if (m_file != nullptr) {
        static_cast<void>(std::fclose(m_file));
        m_file = nullptr;
        static_cast<void>(platform::RemoveFile(TempPath()));
    }
    m_sink = Sink::Drop;
    m_value.clear();
}

void MultipartParser::Fail(UploadStatus status)
{
    AbortPart();
    if (!IsFailure(m_result.Status)) {
        m_result.Status = status;
    }
    m_state = State::Done;
    m_pending.clear();
}

std::string MultipartParser::TempPath() const
{
    return platform::PathJoin(m_dir, ".upload.part");
}

UploadResult ParseMultipartUpload(std::FILE* input, std::string_view contentType, std::uint64_t contentLength,
                                  const std::string& composeDir, NameValueList& fields, const MultipartLimits& limits)
{
    std::optional<std::string> boundary = MultipartBoundary(contentType);
    if (!boundary) {
        return UploadResult{UploadStatus::NoBoundary, {}, {}, {}};
    }
    if (contentLength > limits.MaxTotalBytes) {
        return UploadResult{UploadStatus::TooLarge, {}, {}, {}};
    }
    MultipartParser parser(std::move(*boundary), composeDir, fields, limits);
    std::vector<char> buffer(std::size_t{64} * 1024);
    std::uint64_t left = contentLength;
    while (left > 0 && input != nullptr) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, buffer.size()));
        const std::size_t got = std::fread(buffer.data(), 1, want, input);
        if (got == 0) {
            break; // the body ended before its announced length
        }
        left -= got;
        if (!parser.Feed(std::string_view(buffer.data(), got))) {
            break; // nothing after the closing delimiter is read
        }
    }
    return parser.Finish();
}

} // namespace qm
