#include "store/HtmlSource.h"

#include "common/StringUtil.h"

#include <algorithm>
#include <array>
#include <vector>

namespace qm::store {
namespace {

bool IsKeptAscii(unsigned char b)
{
    return b < 0x80 && (b >= 0x20 || b == '\t' || b == '\n' || b == '\r' || b == '\f');
}

// Control bytes other than TAB, LF, FF and CR are dropped: they show nothing (the parser would make them U+FFFD).
void AppendMapped(std::string& out, std::string_view bytes)
{
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        // Runs of ASCII go over in one piece.
        std::size_t run = pos;
        while (run < bytes.size() && IsKeptAscii(static_cast<unsigned char>(bytes[run]))) {
            ++run;
        }
        out.append(bytes.substr(pos, run - pos));
        if (run == bytes.size()) {
            return;
        }
        const auto b = static_cast<unsigned char>(bytes[run]);
        pos = run + 1;
        if (b < 0x80) {
            continue;
        }
        const char32_t cp = kSourceByteBase + b;
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

bool IsLetter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool IsHtmlSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

bool IsOneOf(std::string_view name, const auto& names)
{
    return std::ranges::any_of(names, [name](std::string_view n) { return EqualsNoCase(name, n); });
}

// Elements whose content is raw text up to their end tag.
constexpr std::array<std::string_view, 10> kRawText = {"script", "style",   "textarea", "title",    "xmp",
                                                       "iframe", "noembed", "noframes", "noscript", "plaintext"};

// Elements that never nest: void elements, those that the next of their kind closes, and the document's frame.
constexpr std::array<std::string_view, 38> kFlat = {
        "area",    "base",     "br",     "col",      "embed",  "hr",    "img",   "input",   "link",     "meta",
        "param",   "source",   "track",  "wbr",      "keygen", "frame", "image", "isindex", "basefont", "bgsound",
        "p",       "li",       "dt",     "dd",       "tr",     "td",    "th",    "tbody",   "thead",    "tfoot",
        "caption", "colgroup", "option", "optgroup", "rb",     "rt",    "rp",    "rtc",
};

// The formatting elements, which the parser opens again after every block that closed them until their own end
// tag comes: each one still open costs an element for every later block, so their number is bounded.
constexpr std::array<std::string_view, 14> kFormatting = {"a",    "b", "big",   "code",   "em",     "font", "i",
                                                          "nobr", "s", "small", "strike", "strong", "tt",   "u"};

bool Nests(std::string_view name)
{
    return !IsOneOf(name, kFlat) && !IsOneOf(name, kRawText) && !EqualsNoCase(name, "html") &&
           !EqualsNoCase(name, "head") && !EqualsNoCase(name, "body");
}

// The position of the end tag "</name" (any case) at or after from, or the end of html.
std::size_t FindEndTag(std::string_view html, std::size_t from, std::string_view name)
{
    std::size_t pos = from;
    while ((pos = html.find("</", pos)) != std::string_view::npos) {
        if (EqualsNoCase(html.substr(pos + 2, name.size()), name)) {
            return pos;
        }
        pos += 2;
    }
    return html.size();
}

// The length of "<" or "</" when text holds a start or end tag of name at pos ('<', an optional '/', the name in any
// case and the end of a tag name), else 0. This is exactly what the parser's tokenizer takes for such a tag, once
// control bytes are gone.
std::size_t TagAt(std::string_view text, std::size_t pos, std::string_view name)
{
    const std::size_t open = pos + 1 < text.size() && text[pos + 1] == '/' ? 2 : 1;
    if (!EqualsNoCase(text.substr(pos + open, name.size()), name)) {
        return 0;
    }
    const std::size_t end = pos + open + name.size();
    const bool nameEnds = end == text.size() || IsHtmlSpace(text[end]) || text[end] == '/' || text[end] == '>';
    return nameEnds ? open : 0;
}

// What the tag at pos is renamed to, with the length of "<" or "</" and of the name; Name is empty when the tag
// stays as it is.
struct Renaming {
    std::size_t Open = 0;
    std::size_t NameLength = 0;
    std::string_view Name;
};

Renaming RenamingAt(std::string_view text, std::size_t pos)
{
    for (const std::string_view foreign : {std::string_view("svg"), std::string_view("math")}) {
        if (const std::size_t open = TagAt(text, pos, foreign); open != 0) {
            return {open, foreign.size(), kForeignStandIn};
        }
    }
    // The stand-in's own tags become an unknown element, whose content is kept.
    if (const std::size_t open = TagAt(text, pos, kForeignStandIn); open != 0) {
        return {open, kForeignStandIn.size(), "x-multicol"};
    }
    return {};
}

// Control bytes dropped, and every SVG and MathML tag renamed to the stand-in ("<svg" to "<multicol", "</math" to
// "</multicol"), wherever it stands (attribute values and comments included). SVG and MathML never reach the page,
// and keeping the parser out of foreign content altogether keeps it off the paths where it is least sound (a CDATA
// section in MathML in a table fails one of its assertions, which ends the process). The stand-in is an element
// that the parser knows and treats as an ordinary one, so that its end tag closes it (an unknown element's end tag
// may close another unknown element); the sanitizer drops it with its content.
std::string WithoutForeignContent(std::string_view html)
{
    std::string clean;
    clean.reserve(html.size());
    for (const char c : html) {
        if (static_cast<unsigned char>(c) >= 0x80 || IsKeptAscii(static_cast<unsigned char>(c))) {
            clean += c;
        }
    }
    bool any = false;
    for (std::size_t pos = clean.find('<'); pos != std::string::npos && !any; pos = clean.find('<', pos + 1)) {
        any = !RenamingAt(clean, pos).Name.empty();
    }
    if (!any) {
        return clean;
    }
    std::string renamed;
    renamed.reserve(clean.size() + clean.size() / 8);
    for (std::size_t pos = 0; pos < clean.size(); ++pos) {
        const Renaming renaming = clean[pos] == '<' ? RenamingAt(clean, pos) : Renaming{};
        if (renaming.Name.empty()) {
            renamed += clean[pos];
            continue;
        }
        renamed.append(clean, pos, renaming.Open);
        renamed += renaming.Name;
        pos += renaming.Open + renaming.NameLength - 1;
    }
    return renamed;
}

class SourceScan {
public:
    SourceScan(std::string_view html, const HtmlSanitizerOptions& options, bool& bounded)
        : m_html(html)
        , m_options(options)
        , m_bounded(bounded)
    {
        m_out.reserve(html.size() + html.size() / 8);
    }

    std::string Run();

private:
    void Tag(bool endTag, std::size_t nameStart);
    bool Admit(bool endTag, std::string_view name);
    std::size_t SkipAttributes(std::size_t p, std::size_t& cut) const;

    std::string_view m_html;
    const HtmlSanitizerOptions& m_options;
    bool& m_bounded;
    std::string m_out;
    std::size_t m_pos = 0;
    std::size_t m_tags = 0;                     // start tags so far
    std::vector<std::string_view> m_open;       // the elements that nest, as the scan sees them
    std::vector<std::string_view> m_formatting; // the formatting elements without their end tag yet
    std::vector<std::size_t> m_tables;          // for each open table, the formatting elements before it
};

std::string SourceScan::Run()
{
    const std::size_t n = m_html.size();
    while (m_pos < n) {
        const std::size_t lt = m_html.find('<', m_pos);
        if (lt == std::string_view::npos) {
            AppendMapped(m_out, m_html.substr(m_pos));
            break;
        }
        AppendMapped(m_out, m_html.substr(m_pos, lt - m_pos));
        m_pos = lt;
        const std::string_view rest = m_html.substr(lt);
        std::size_t end = std::string_view::npos;
        if (rest.starts_with("<!--")) {
            end = m_html.find("-->", lt + 4);
            end = end == std::string_view::npos ? n : end + 3;
        } else if (rest.size() > 1 && (rest[1] == '!' || rest[1] == '?')) {
            end = m_html.find('>', lt);
            end = end == std::string_view::npos ? n : end + 1;
        }
        if (end != std::string_view::npos) {
            AppendMapped(m_out, m_html.substr(lt, end - lt));
            m_pos = end;
            continue;
        }
        const bool endTag = rest.size() > 1 && rest[1] == '/';
        const std::size_t nameStart = lt + (endTag ? 2 : 1);
        if (nameStart >= n || !IsLetter(m_html[nameStart])) {
            m_out += '<';
            ++m_pos;
            continue;
        }
        Tag(endTag, nameStart);
    }
    return std::move(m_out);
}

// Follows the nesting of one tag; false when the tag would pass a bound and is to be dropped.
bool SourceScan::Admit(bool endTag, std::string_view name)
{
    const auto dropLast = [name](std::vector<std::string_view>& list) {
        for (std::size_t i = list.size(); i > 0; --i) {
            if (EqualsNoCase(list[i - 1], name)) {
                list.erase(list.begin() + static_cast<std::ptrdiff_t>(i - 1));
                return true;
            }
        }
        return false;
    };
    // Table cells start without the formatting elements of the cells before them.
    const bool table = EqualsNoCase(name, "table");
    if (!m_tables.empty() && (table || IsOneOf(name, std::array<std::string_view, 3>{"td", "th", "caption"}))) {
        m_formatting.resize(std::min(m_formatting.size(), m_tables.back()));
    }
    if (endTag) {
        for (std::size_t i = m_open.size(); i > 0; --i) {
            if (EqualsNoCase(m_open[i - 1], name)) {
                m_open.resize(i - 1);
                break;
            }
        }
        if (table && !m_tables.empty()) {
            m_tables.pop_back();
        }
        static_cast<void>(dropLast(m_formatting));
        return true;
    }
    if (IsOneOf(name, kFormatting)) {
        if (m_formatting.size() >= m_options.MaxFormatting) {
            return false;
        }
        m_formatting.push_back(name);
    }
    if (Nests(name)) {
        if (m_open.size() >= m_options.MaxSourceNesting) {
            return false;
        }
        m_open.push_back(name);
    }
    if (table) {
        m_tables.push_back(m_formatting.size());
    }
    return true;
}

// Moves from p over the attributes of a tag to its '>' (or the end), setting cut to where the attribute past
// MaxAttributes begins, if there is one.
std::size_t SourceScan::SkipAttributes(std::size_t p, std::size_t& cut) const
{
    const std::size_t n = m_html.size();
    const auto skipSpace = [this, n](std::size_t& q) {
        while (q < n && IsHtmlSpace(m_html[q])) {
            ++q;
        }
    };
    std::size_t attributes = 0;
    while (p < n && m_html[p] != '>') {
        if (IsHtmlSpace(m_html[p]) || m_html[p] == '/') {
            ++p;
            continue;
        }
        if (++attributes == m_options.MaxAttributes + 1) {
            cut = p;
        }
        while (p < n && !IsHtmlSpace(m_html[p]) && m_html[p] != '/' && m_html[p] != '>' && m_html[p] != '=') {
            ++p;
        }
        skipSpace(p);
        if (p >= n || m_html[p] != '=') {
            continue;
        }
        ++p;
        skipSpace(p);
        if (p < n && (m_html[p] == '"' || m_html[p] == '\'')) {
            const std::size_t close = m_html.find(m_html[p], p + 1);
            p = close == std::string_view::npos ? n : close + 1;
            continue;
        }
        while (p < n && !IsHtmlSpace(m_html[p]) && m_html[p] != '>') {
            ++p;
        }
    }
    return p;
}

// One tag at m_pos, its name at nameStart: written, shortened or dropped; m_pos moves past it (and past the
// content of a raw-text element).
void SourceScan::Tag(bool endTag, std::size_t nameStart)
{
    const std::size_t n = m_html.size();
    std::size_t p = nameStart;
    while (p < n && !IsHtmlSpace(m_html[p]) && m_html[p] != '/' && m_html[p] != '>') {
        ++p;
    }
    const std::string_view name = m_html.substr(nameStart, p - nameStart);
    std::size_t cut = std::string_view::npos; // where the attributes past the limit begin
    p = SkipAttributes(p, cut);
    const std::size_t tagEnd = p < n ? p + 1 : n;
    const std::size_t start = m_pos;
    m_pos = tagEnd;
    if (!endTag && ++m_tags > m_options.MaxSourceTags) {
        m_bounded = true;
        return;
    }
    if (!Admit(endTag, name)) {
        m_bounded = true;
        return;
    }
    if (cut != std::string_view::npos) {
        AppendMapped(m_out, m_html.substr(start, cut - start));
        m_out += '>';
        m_bounded = true;
    } else {
        AppendMapped(m_out, m_html.substr(start, tagEnd - start));
    }
    if (!endTag && IsOneOf(name, kRawText)) {
        const std::size_t close = EqualsNoCase(name, "plaintext") ? n : FindEndTag(m_html, tagEnd, name);
        AppendMapped(m_out, m_html.substr(tagEnd, close - tagEnd));
        m_pos = close;
    }
}

} // namespace

std::string BoundHtmlSource(std::string_view html, const HtmlSanitizerOptions& options, bool& bounded)
{
    const std::string source = WithoutForeignContent(html);
    return SourceScan(source, options, bounded).Run();
}

} // namespace qm::store
