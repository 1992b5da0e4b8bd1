#include "common/CgiInput.h"

#include "common/StringUtil.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

namespace {

constexpr std::string_view kFormUrlEncoded = "application/x-www-form-urlencoded";

// The body is read in pieces of this size, so that memory follows what arrives rather than what was announced.
constexpr std::size_t kReadChunk = std::size_t{64} * 1024;

// CONTENT_LENGTH as a decimal number: leading white space and a '+' are skipped, the digits end at the first other
// byte. A negative or missing number gives 0; a huge one saturates.
std::size_t ParseContentLength(const char* text)
{
    while (IsWhiteSpace(*text)) {
        ++text;
    }
    if (*text == '-') {
        return 0;
    }
    if (*text == '+') {
        ++text;
    }
    constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
    std::size_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        const auto digit = static_cast<std::size_t>(*text - '0');
        if (value > (kMax - digit) / 10) {
            return kMax;
        }
        value = value * 10 + digit;
    }
    return value;
}

// True when the block entry begins with name (without regard to ASCII case) followed by '='.
bool EntryHasName(const char* entry, std::string_view name)
{
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (entry[i] == '\0' || FoldCase(entry[i]) != FoldCase(name[i])) {
            return false;
        }
    }
    return entry[name.size()] == '=';
}

// A table of the given bytes.
constexpr std::array<bool, 256> MakeByteSet(std::string_view bytes)
{
    std::array<bool, 256> table{};
    for (const char c : bytes) {
        table[static_cast<unsigned char>(c)] = true;
    }
    return table;
}

// Bytes that URL encoding copies as they are.
constexpr std::array<bool, 256> kUrlSafe =
        MakeByteSet("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789$-_.!*'(),~");

// The encoded form of one byte into buf (1 or 3 bytes); returns its length.
std::size_t EncodeByte(char c, char* buf)
{
    constexpr const char* kHex = "0123456789ABCDEF";
    const auto b = static_cast<unsigned char>(c);
    if (kUrlSafe[b]) {
        buf[0] = c;
        return 1;
    }
    buf[0] = '%';
    buf[1] = kHex[b >> 4];
    buf[2] = kHex[b & 0x0F];
    return 3;
}

// Bytes that HTML escaping changes, in raw mode and otherwise.
constexpr std::array<bool, 256> kHtmlSpecialRaw = MakeByteSet("\"&<>");
constexpr std::array<bool, 256> kHtmlSpecial = MakeByteSet("\"&<>\t\n\r ");

// The one HTML escaper behind both sinks. Runs of bytes that need no change go to the sink in one piece.
template <class Sink>
void EscapeHtml(std::string_view text, bool raw, Sink& sink)
{
    const std::array<bool, 256>& special = raw ? kHtmlSpecialRaw : kHtmlSpecial;
    bool hardSpace = true; // the next space is written as "&nbsp;"
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t run = pos;
        while (run < text.size() && !special[static_cast<unsigned char>(text[run])]) {
            ++run;
        }
        if (run > pos) {
            sink.Put(text.substr(pos, run - pos));
            hardSpace = false;
            pos = run;
            continue;
        }
        const char c = text[pos++];
        switch (c) {
        case '"':
            sink.Put("&quot;");
            break;
        case '&':
            sink.Put("&amp;");
            break;
        case '<':
            sink.Put("&lt;");
            break;
        case '>':
            sink.Put("&gt;");
            break;
        case '\t':
            // Two blanks, in the alternation of the blanks around it.
            sink.Put(hardSpace ? "&nbsp; " : " &nbsp;");
            continue;
        case '\n':
            sink.Put("<BR>\r\n");
            hardSpace = true;
            continue;
        case '\r':
            continue; // dropped, and the hard-space flag stays as it was
        case ' ':
            sink.Put(hardSpace ? "&nbsp;" : " ");
            hardSpace = !hardSpace;
            continue;
        default:
            break;
        }
        hardSpace = false;
    }
}

// Collects output in a small work buffer and writes it to the stream whenever 240 bytes or more are waiting.
class FileSink {
public:
    explicit FileSink(std::FILE* out)
        : m_out(out)
    {}

    FileSink(const FileSink&) = delete;
    FileSink& operator=(const FileSink&) = delete;

    ~FileSink() { Flush(); }

    void Put(std::string_view s)
    {
        while (!s.empty()) {
            const std::size_t n = std::min(s.size(), sizeof m_buffer - m_used);
            std::memcpy(m_buffer + m_used, s.data(), n);
            m_used += n;
            s.remove_prefix(n);
            if (m_used >= kFlushAt) {
                Flush();
            }
        }
    }

private:
    static constexpr std::size_t kFlushAt = 240;

    void Flush()
    {
        if (m_used > 0) {
            // A failed write leaves the stream's error flag set, which is where its owner looks.
            static_cast<void>(std::fwrite(m_buffer, 1, m_used, m_out));
            m_used = 0;
        }
    }

    std::FILE* m_out;
    char m_buffer[260] = {};
    std::size_t m_used = 0;
};

class StringSink {
public:
    explicit StringSink(std::string& out)
        : m_out(out)
    {}

    void Put(std::string_view s) { m_out.append(s); }

private:
    std::string& m_out;
};

// An image button sends its click as "name.x" and "name.y": both arrive under the button's own name.
void DropImageCoordinate(char* name)
{
    if (char* dot = std::strrchr(name, '.');
        dot != nullptr && (FoldCase(dot[1]) == 'x' || FoldCase(dot[1]) == 'y') && dot[2] == '\0') {
        *dot = '\0';
    }
}

} // namespace

CgiInput::CgiInput(std::FILE* input, std::FILE* output, const char* environment)
    : m_input(input)
    , m_output(output)
    , m_environment(environment)
{}

void CgiInput::ReadInput(bool /*binary*/)
{
    if (auto query = DupString(GetEnv("QUERY_STRING"))) {
        ParseFormData(query.get());
    }
    ReadFormBody();
    ReadCookies();
}

// The body is parsed as it is read, one field at a time, and each decoded value is moved into the form: a large
// value is held once (not as body, field and value at the same time), so memory follows the largest value.
std::size_t CgiInput::FormBodyLength() const
{
    if (m_input == nullptr || !StartsWithNoCase(GetEnv("CONTENT_TYPE"), kFormUrlEncoded)) {
        return 0;
    }
    return ParseContentLength(GetEnv("CONTENT_LENGTH"));
}

void CgiInput::ReadFormBody()
{
    const std::size_t length = FormBodyLength();
    if (length == 0) {
        return;
    }
    if (length > kMaxFormPostBytes) {
        m_overflow = InputOverflow::BodyTooLarge;
        return;
    }
    std::vector<char> chunk(std::min(length, kReadChunk));
    std::string field;
    std::size_t left = length;
    while (left > 0 && m_overflow == InputOverflow::None) {
        const std::size_t got = std::fread(chunk.data(), 1, std::min(left, chunk.size()), m_input);
        if (got == 0) {
            break; // end of input or a read error: take what arrived
        }
        left -= got;
        std::string_view rest(chunk.data(), got);
        while (!rest.empty() && m_overflow == InputOverflow::None) {
            const std::size_t amp = rest.find('&');
            if (field.empty() && amp == std::string_view::npos) {
                // A field that goes on past this chunk: room for the rest of the body at most. Pages of the
                // reserve that are never written cost no memory.
                field.reserve(rest.size() + left);
            }
            field.append(rest.substr(0, amp));
            if (amp == std::string_view::npos) {
                break;
            }
            TakeFormField(std::move(field));
            field = std::string();
            rest.remove_prefix(amp + 1);
        }
    }
    if (m_overflow == InputOverflow::None) {
        TakeFormField(std::move(field));
    }
}

void CgiInput::ReadCookies()
{
    const char* text = GetEnv("HTTP_COOKIE");
    if (*text == '\0') {
        text = GetEnv("COOKIE");
    }
    auto copy = DupString(text);
    for (char* piece = copy.get(); piece != nullptr;) {
        char* next = SplitAt(piece, ';');
        if (char* value = SplitAt(piece, '='); value != nullptr) {
            m_cookies.Add(TrimSpace(piece), TrimSpace(value));
        }
        piece = next;
    }
}

const char* CgiInput::GetEnv(const char* name) const
{
    if (name == nullptr || *name == '\0') {
        return "";
    }
    if (m_environment == nullptr) {
        // The process environment is set up before any request and not changed while requests run.
        const char* value = std::getenv(name); // NOLINT(concurrency-mt-unsafe)
        return value == nullptr ? "" : value;
    }
    const std::string_view wanted(name);
    if (m_lastHit != nullptr && EntryHasName(m_lastHit, wanted)) {
        return m_lastHit + wanted.size() + 1;
    }
    for (const char* entry = m_environment; *entry != '\0'; entry += std::strlen(entry) + 1) {
        if (EntryHasName(entry, wanted)) {
            m_lastHit = entry;
            return entry + wanted.size() + 1;
        }
    }
    return "";
}

void CgiInput::ParseFormData(char* text)
{
    for (char* piece = text; piece != nullptr && m_overflow == InputOverflow::None;) {
        char* next = SplitAt(piece, '&');
        TakeFormField(std::string(piece));
        piece = next;
    }
}

// Takes one raw "name=value" field: both halves are decoded in place and the value keeps the field's storage.
void CgiInput::TakeFormField(std::string&& field)
{
    if (field.empty()) {
        return;
    }
    if (m_formFields == kMaxFormFields) {
        m_overflow = InputOverflow::TooManyFields;
        return;
    }
    ++m_formFields;
    std::size_t eq = field.find('=');
    if (eq == std::string::npos) {
        eq = field.size();
        field.push_back('='); // a name without a value: the value is ""
    }
    field[eq] = '\0';
    DropImageCoordinate(field.data());
    UrlDecode(field.data());
    // Names are kept to 59 bytes; comparing more than this many of a hostile name's bytes gains nothing.
    constexpr std::size_t kNameBytesKept = 1024;
    const std::string name(field.c_str(), std::min(std::strlen(field.c_str()), kNameBytesKept));
    char* value = field.data() + eq + 1;
    UrlDecode(value);
    const std::size_t valueLength = std::strlen(value);
    field.erase(0, eq + 1);
    field.resize(valueLength);
    if (field.capacity() > 4 * field.size() + kReadChunk) {
        field.shrink_to_fit(); // a small value must not keep a reserve made for a large one
    }
    if (m_multiValuedNames.Contains(name.c_str())) {
        m_variables.Add(name.c_str(), std::move(field));
    } else {
        m_variables.Set(name.c_str(), std::move(field));
    }
}

void UrlDecode(char* s)
{
    if (s == nullptr) {
        return;
    }
    char* out = s;
    for (const char* in = s; *in != '\0'; ++in) {
        if (*in == '+') {
            *out++ = ' ';
        } else if (*in == '%' && in[1] != '\0' && in[2] != '\0') {
            *out++ = static_cast<char>(HexDigitValue(in[1]) * 16 + HexDigitValue(in[2]));
            in += 2;
            if (out[-1] == '\0') {
                return; // a decoded NUL ends the text
            }
        } else {
            *out++ = *in;
        }
    }
    *out = '\0';
}

std::string DecodeFormName(std::string_view raw)
{
    std::string name(raw);
    DropImageCoordinate(name.data());
    UrlDecode(name.data());
    name.resize(std::strlen(name.c_str()));
    return name;
}

bool UrlEncode(char* out, const char* text, std::size_t size)
{
    if (out == nullptr || size == 0) {
        return false;
    }
    std::size_t used = 0;
    for (const char* in = text == nullptr ? "" : text; *in != '\0'; ++in) {
        char encoded[3];
        const std::size_t n = EncodeByte(*in, encoded);
        if (used + n + 1 > size) {
            out[used] = '\0';
            return false;
        }
        std::memcpy(out + used, encoded, n);
        used += n;
    }
    out[used] = '\0';
    return true;
}

void AppendUrlEncoded(std::string& out, std::string_view text)
{
    out.reserve(out.size() + text.size());
    for (const char c : text) {
        char encoded[3];
        out.append(encoded, EncodeByte(c, encoded));
    }
}

std::string UrlEncode(std::string_view text)
{
    std::string out;
    AppendUrlEncoded(out, text);
    return out;
}

void WriteHtmlEscaped(const char* text, std::FILE* out, bool raw)
{
    if (text == nullptr || out == nullptr) {
        return;
    }
    FileSink sink(out);
    EscapeHtml(text, raw, sink);
}

void AppendHtmlEscaped(std::string& out, std::string_view text, bool raw)
{
    StringSink sink(out);
    EscapeHtml(text, raw, sink);
}

} // namespace qm
