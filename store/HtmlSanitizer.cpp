#include "store/HtmlSanitizer.h"

#include "common/StringUtil.h"
#include "store/HtmlSource.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include <gumbo.h>

namespace qm::store {
namespace {

// What becomes of an element of the source.
enum class ElementRule : std::uint8_t {
    Unwrap, // the tag is left out, its content is kept (the default for every element not listed)
    Keep,   // written with its checked attributes and its content
    Void,   // written with its checked attributes; it has no content and no end tag
    Drop,   // left out together with its content
};

constexpr std::array<const char*, 72> kKeptElements = {
        "a",       "abbr",       "acronym", "address", "article", "aside", "b",          "bdi",     "bdo",
        "big",     "blockquote", "caption", "center",  "cite",    "code",  "colgroup",   "dd",      "del",
        "details", "dfn",        "div",     "dl",      "dt",      "em",    "figcaption", "figure",  "font",
        "footer",  "h1",         "h2",      "h3",      "h4",      "h5",    "h6",         "header",  "hgroup",
        "i",       "ins",        "kbd",     "li",      "main",    "mark",  "nav",        "ol",      "p",
        "pre",     "q",          "rp",      "rt",      "ruby",    "s",     "samp",       "section", "small",
        "span",    "strike",     "strong",  "sub",     "summary", "sup",   "table",      "tbody",   "td",
        "tfoot",   "th",         "thead",   "time",    "tr",      "tt",    "u",          "ul",      "var",
};

constexpr std::array<const char*, 5> kVoidElements = {"br", "col", "hr", "img", "wbr"};

constexpr std::array<const char*, 44> kDroppedElements = {
        "script",    "style",   "noscript", "template",
        "head",      "title",   "meta",     "link",
        "base",      "iframe",  "frame",    "frameset",
        "noframes",  "object",  "embed",    "applet",
        "param",     "svg",     "math",     "audio",
        "video",     "source",  "track",    "canvas",
        "textarea",  "select",  "option",   "optgroup",
        "input",     "button",  "datalist", "keygen",
        "output",    "map",     "area",     "xmp",
        "plaintext", "noembed", "image",    "isindex",
        "progress",  "meter",   "dialog",   kForeignStandIn.data(),
};

std::array<ElementRule, GUMBO_TAG_LAST + 1> MakeElementRules()
{
    std::array<ElementRule, GUMBO_TAG_LAST + 1> rules{};
    rules.fill(ElementRule::Unwrap);
    const auto set = [&rules](const char* name, ElementRule rule) {
        const GumboTag tag = gumbo_tag_enum(name);
        if (tag != GUMBO_TAG_UNKNOWN) {
            rules[tag] = rule;
        }
    };
    for (const char* name : kKeptElements) {
        set(name, ElementRule::Keep);
    }
    for (const char* name : kVoidElements) {
        set(name, ElementRule::Void);
    }
    for (const char* name : kDroppedElements) {
        set(name, ElementRule::Drop);
    }
    return rules;
}

const std::array<ElementRule, GUMBO_TAG_LAST + 1>& ElementRules()
{
    static const std::array<ElementRule, GUMBO_TAG_LAST + 1> kRules = MakeElementRules();
    return kRules;
}

// ----- output -------------------------------------------------------------------------------------------------

// Decodes one UTF-8 sequence of the parser's output at text[pos], advancing pos. The parser writes valid UTF-8;
// a broken sequence still gives one code point per lead byte (U+FFFD) and never reads past the end.
char32_t NextCodePoint(std::string_view text, std::size_t& pos)
{
    const auto lead = static_cast<unsigned char>(text[pos++]);
    if (lead < 0x80) {
        return lead;
    }
    int extra = 0;
    char32_t cp = 0;
    if ((lead & 0xE0) == 0xC0) {
        extra = 1;
        cp = lead & 0x1FU;
    } else if ((lead & 0xF0) == 0xE0) {
        extra = 2;
        cp = lead & 0x0FU;
    } else if ((lead & 0xF8) == 0xF0) {
        extra = 3;
        cp = lead & 0x07U;
    } else {
        return 0xFFFD;
    }
    for (int i = 0; i < extra; ++i) {
        if (pos >= text.size() || (static_cast<unsigned char>(text[pos]) & 0xC0) != 0x80) {
            return 0xFFFD;
        }
        cp = (cp << 6) | (static_cast<unsigned char>(text[pos++]) & 0x3FU);
    }
    return cp;
}

void AppendNumericReference(std::string& out, char32_t cp)
{
    char digits[12];
    int n = 0;
    std::uint32_t v = cp;
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    out += "&#";
    while (n > 0) {
        out += digits[--n];
    }
    out += ';';
}

// Control bytes other than TAB, CR and LF show nothing, and an ESC could switch a page read as ISO-2022-JP into
// two-byte mode, which would swallow the markup after it: none is written.
bool IsWrittenControl(char c)
{
    return c == '\t' || c == '\n' || c == '\r';
}

// ASCII that text and attribute values carry as it is.
bool IsPlainByte(char c)
{
    const auto b = static_cast<unsigned char>(c);
    return b < 0x80 && (b >= 0x20 || IsWrittenControl(c)) && c != '&' && c != '<' && c != '>' && c != '"';
}

// Appends text from the parser (UTF-8 of the mapped source) in the bytes of the mail: a source byte of 128 and
// above comes back as itself; a character that a reference produced becomes a numeric reference; NUL is dropped;
// & < > (and " in attribute values) are escaped.
void AppendEscaped(std::string& out, std::string_view text, bool attribute)
{
    std::size_t pos = 0;
    while (pos < text.size()) {
        // Runs of bytes that need no change go over in one piece.
        std::size_t run = pos;
        while (run < text.size() && IsPlainByte(text[run])) {
            ++run;
        }
        out.append(text.substr(pos, run - pos));
        pos = run;
        if (pos == text.size()) {
            return;
        }
        const char c = text[pos];
        if (static_cast<unsigned char>(c) < 0x80) {
            ++pos;
            switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += attribute ? "&quot;" : "\"";
                break;
            default:
                if (static_cast<unsigned char>(c) >= 0x20 || IsWrittenControl(c)) {
                    out += c;
                }
            }
            continue;
        }
        const char32_t cp = NextCodePoint(text, pos);
        if (cp >= kSourceByteBase + 0x80 && cp <= kSourceByteBase + 0xFF) {
            out += static_cast<char>(cp - kSourceByteBase);
            continue;
        }
        AppendNumericReference(out, cp);
    }
}

// ----- attribute values ---------------------------------------------------------------------------------------

bool IsAsciiAlnum(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// A URL as a browser reads it: leading and trailing blanks and control bytes dropped, TAB, CR and LF removed.
std::string CleanUrl(std::string_view value)
{
    std::string url;
    url.reserve(value.size());
    for (const char c : value) {
        if (c != '\t' && c != '\r' && c != '\n') {
            url += c;
        }
    }
    std::size_t begin = 0;
    while (begin < url.size() && static_cast<unsigned char>(url[begin]) <= 0x20) {
        ++begin;
    }
    std::size_t end = url.size();
    while (end > begin && static_cast<unsigned char>(url[end - 1]) <= 0x20) {
        --end;
    }
    return url.substr(begin, end - begin);
}

// The scheme of url in lower case, or "" for a relative URL (no scheme before the first '/', '?' or '#').
std::string SchemeOf(std::string_view url)
{
    if (url.empty() || !((url[0] >= 'a' && url[0] <= 'z') || (url[0] >= 'A' && url[0] <= 'Z'))) {
        return {};
    }
    std::string scheme;
    for (const char c : url) {
        if (c == ':') {
            return scheme;
        }
        if (!IsAsciiAlnum(c) && c != '+' && c != '-' && c != '.') {
            return {};
        }
        scheme += FoldCase(c);
    }
    return {};
}

bool IsLinkScheme(std::string_view scheme)
{
    return scheme == "http" || scheme == "https" || scheme == "ftp" || scheme == "mailto" || scheme == "news";
}

// A data: URL of a raster image format with base64 data and nothing else.
bool IsSafeDataImage(std::string_view url)
{
    static constexpr std::array<std::string_view, 6> kTypes = {"png", "gif", "jpeg", "jpg", "webp", "bmp"};
    if (!StartsWithNoCase(url, "data:image/")) {
        return false;
    }
    const std::string_view rest = url.substr(11);
    for (const std::string_view type : kTypes) {
        if (!StartsWithNoCase(rest, type) || !StartsWithNoCase(rest.substr(type.size()), ";base64,")) {
            continue;
        }
        return std::ranges::all_of(rest.substr(type.size() + 8),
                                   [](char c) { return IsAsciiAlnum(c) || c == '+' || c == '/' || c == '='; });
    }
    return false;
}

// A content id as a query value: letters, digits and "@.-_$!*'(),~" stay, every other byte becomes %XX.
void AppendContentId(std::string& out, std::string_view cid)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (const char c : cid) {
        if (IsAsciiAlnum(c) || std::string_view("@.-_$!*'(),~").find(c) != std::string_view::npos) {
            out += c;
            continue;
        }
        const auto b = static_cast<unsigned char>(c);
        out += '%';
        out += kHex[b >> 4];
        out += kHex[b & 15];
    }
}

// 1 to 5 digits, optionally followed by '%' or "px".
bool IsLength(std::string_view v)
{
    std::size_t digits = 0;
    while (digits < v.size() && v[digits] >= '0' && v[digits] <= '9') {
        ++digits;
    }
    if (digits == 0 || digits > 5) {
        return false;
    }
    const std::string_view unit = v.substr(digits);
    return unit.empty() || unit == "%" || EqualsNoCase(unit, "px");
}

// A word of letters, digits, '#', '-' and '+' of at most max bytes: colours, alignments, list types, languages.
bool IsWord(std::string_view v, std::size_t max)
{
    if (v.empty() || v.size() > max) {
        return false;
    }
    return std::ranges::all_of(v, [](char c) { return IsAsciiAlnum(c) || c == '#' || c == '-' || c == '+'; });
}

// Free text (title, alt, font names): anything but control bytes, at most max bytes.
bool IsText(std::string_view v, std::size_t max)
{
    if (v.size() > max) {
        return false;
    }
    return std::ranges::all_of(v, [](char c) { return static_cast<unsigned char>(c) >= 0x20 || c == '\t'; });
}

// How the value of an attribute is checked; None: the attribute is left out.
enum class AttributeKind : std::uint8_t {
    None,
    Length,
    Word,
    Text,
    Flag,
    Style,
    Href,
    Src
};

struct AttributeRule {
    std::string_view Name;
    AttributeKind Kind;
};

constexpr std::array<AttributeRule, 27> kAttributes = {{
        {"align", AttributeKind::Word},
        {"alt", AttributeKind::Text},
        {"bgcolor", AttributeKind::Word},
        {"border", AttributeKind::Length},
        {"cellpadding", AttributeKind::Length},
        {"cellspacing", AttributeKind::Length},
        {"clear", AttributeKind::Word},
        {"color", AttributeKind::Word},
        {"colspan", AttributeKind::Length},
        {"datetime", AttributeKind::Text},
        {"dir", AttributeKind::Word},
        {"face", AttributeKind::Text},
        {"height", AttributeKind::Length},
        {"href", AttributeKind::Href},
        {"lang", AttributeKind::Word},
        {"nowrap", AttributeKind::Flag},
        {"rowspan", AttributeKind::Length},
        {"scope", AttributeKind::Word},
        {"size", AttributeKind::Word},
        {"span", AttributeKind::Length},
        {"src", AttributeKind::Src},
        {"start", AttributeKind::Length},
        {"style", AttributeKind::Style},
        {"title", AttributeKind::Text},
        {"type", AttributeKind::Word},
        {"valign", AttributeKind::Word},
        {"width", AttributeKind::Length},
}};

AttributeKind KindOf(std::string_view name, GumboTag tag)
{
    for (const AttributeRule& rule : kAttributes) {
        if (rule.Name != name) {
            continue;
        }
        if (rule.Kind == AttributeKind::Href && tag != GUMBO_TAG_A) {
            return AttributeKind::None;
        }
        if (rule.Kind == AttributeKind::Src && tag != GUMBO_TAG_IMG) {
            return AttributeKind::None;
        }
        return rule.Kind;
    }
    return AttributeKind::None;
}

void AppendAttribute(std::string& out, std::string_view name, std::string_view value)
{
    out += ' ';
    out += name;
    out += "=\"";
    AppendEscaped(out, value, true);
    out += '"';
}

// ----- the walk -----------------------------------------------------------------------------------------------

class Rebuilder {
public:
    Rebuilder(const HtmlSanitizerOptions& options, std::size_t maxOutput, std::string& out, HtmlSanitizeReport& report)
        : m_options(options)
        , m_out(out)
        , m_report(report)
        , m_outputLimit(out.size() + maxOutput)
    {}

    void Walk(const GumboNode& body);

private:
    struct Frame {
        const GumboNode* Node;
        unsigned Next;
        bool Written; // its start tag was written, so its end tag is due
    };

    void Visit(const GumboNode& node, bool bodyChild);
    void WriteStartTag(const GumboElement& element);
    void WriteAttribute(const GumboElement& element, const GumboAttribute& attribute, bool& hasHref);
    void WriteImageSource(std::string_view url);

    const HtmlSanitizerOptions& m_options;
    std::string& m_out;
    HtmlSanitizeReport& m_report;
    std::vector<Frame> m_stack;
    std::size_t m_written = 0; // elements on the stack whose tags were written
    std::size_t m_bodyEnd = SIZE_MAX;
    std::size_t m_outputLimit; // past this size of out no more content is written, only the end tags due
};

void Rebuilder::Walk(const GumboNode& body)
{
    // Content after the body's end tag (list footers and the like) is dropped: the parser moves it into the body.
    if (body.v.element.original_end_tag.data != nullptr) {
        m_bodyEnd = body.v.element.end_pos.offset;
    }
    m_stack.push_back({&body, 0, false});
    while (!m_stack.empty()) {
        Frame& frame = m_stack.back();
        const GumboVector& children = frame.Node->v.element.children;
        if (frame.Next >= children.length) {
            if (frame.Written) {
                m_out += "</";
                m_out += gumbo_normalized_tagname(frame.Node->v.element.tag);
                m_out += '>';
                --m_written;
            }
            m_stack.pop_back();
            continue;
        }
        if (m_out.size() > m_outputLimit) {
            m_report.Bounded = true;
            frame.Next = children.length;
            continue;
        }
        const auto* child = static_cast<const GumboNode*>(children.data[frame.Next++]);
        Visit(*child, m_stack.size() == 1);
    }
}

void Rebuilder::Visit(const GumboNode& node, bool bodyChild)
{
    switch (node.type) {
    case GUMBO_NODE_TEXT:
    case GUMBO_NODE_WHITESPACE:
        if (bodyChild && node.v.text.start_pos.offset > m_bodyEnd) {
            return;
        }
        AppendEscaped(m_out, node.v.text.text, false);
        return;
    case GUMBO_NODE_ELEMENT:
        break;
    default: // comments, CDATA, templates
        return;
    }
    const GumboElement& element = node.v.element;
    if (element.tag_namespace != GUMBO_NAMESPACE_HTML || (bodyChild && element.start_pos.offset > m_bodyEnd)) {
        return;
    }
    ElementRule rule = ElementRules()[element.tag];
    if (rule == ElementRule::Drop) {
        return;
    }
    if (rule != ElementRule::Unwrap && m_written >= m_options.MaxDepth) {
        m_report.Bounded = true;
        rule = rule == ElementRule::Void ? ElementRule::Drop : ElementRule::Unwrap;
    }
    if (rule == ElementRule::Drop) {
        return;
    }
    if (rule == ElementRule::Void) {
        WriteStartTag(element);
        return;
    }
    const bool written = rule == ElementRule::Keep;
    if (written) {
        WriteStartTag(element);
        ++m_written;
    }
    m_stack.push_back({&node, 0, written});
}

void Rebuilder::WriteStartTag(const GumboElement& element)
{
    m_out += '<';
    m_out += gumbo_normalized_tagname(element.tag);
    bool hasHref = false;
    for (unsigned i = 0; i < element.attributes.length; ++i) {
        WriteAttribute(element, *static_cast<const GumboAttribute*>(element.attributes.data[i]), hasHref);
    }
    if (hasHref) {
        m_out += " target=\"_blank\" rel=\"noopener noreferrer\"";
    }
    m_out += '>';
    if (element.tag == GUMBO_TAG_PRE) {
        // A browser drops one line end right after <pre>; this one keeps a line end that the text begins with.
        m_out += '\n';
    }
}

void Rebuilder::WriteAttribute(const GumboElement& element, const GumboAttribute& attribute, bool& hasHref)
{
    if (attribute.attr_namespace != GUMBO_ATTR_NAMESPACE_NONE) {
        return;
    }
    const std::string_view name = attribute.name;
    const std::string_view value = attribute.value;
    switch (KindOf(name, element.tag)) {
    case AttributeKind::None:
        return;
    case AttributeKind::Length:
        if (IsLength(value)) {
            AppendAttribute(m_out, name, value);
        }
        return;
    case AttributeKind::Word:
        if (IsWord(value, 32)) {
            AppendAttribute(m_out, name, value);
        }
        return;
    case AttributeKind::Text:
        if (IsText(value, 1024)) {
            AppendAttribute(m_out, name, value);
        }
        return;
    case AttributeKind::Flag:
        m_out += ' ';
        m_out += name;
        return;
    case AttributeKind::Style: {
        const std::string style = SanitizeStyle(value);
        if (!style.empty()) {
            AppendAttribute(m_out, name, style);
        }
        return;
    }
    case AttributeKind::Href: {
        const std::string url = CleanUrl(value);
        if (!hasHref && IsLinkScheme(SchemeOf(url))) {
            AppendAttribute(m_out, name, url);
            hasHref = true;
        }
        return;
    }
    case AttributeKind::Src:
        WriteImageSource(CleanUrl(value));
        return;
    }
}

void Rebuilder::WriteImageSource(std::string_view url)
{
    const std::string scheme = SchemeOf(url);
    if (scheme == "cid") {
        if (!m_options.AttachmentUrlBase.empty() && url.size() > 4) {
            std::string link = m_options.AttachmentUrlBase;
            AppendContentId(link, url.substr(4));
            AppendAttribute(m_out, "src", link);
        }
        return;
    }
    if (scheme == "data") {
        if (IsSafeDataImage(url)) {
            AppendAttribute(m_out, "src", url);
        }
        return;
    }
    // Remote images, also those written without a scheme ("//host/x.png").
    const bool noScheme = url.starts_with("//");
    if (scheme != "http" && scheme != "https" && !noScheme) {
        return;
    }
    if (m_options.Images == RemoteImages::Block) {
        m_report.RemoteImagesBlocked = true;
        return;
    }
    AppendAttribute(m_out, "src", noScheme ? "https:" + std::string(url) : std::string(url));
}

const GumboNode* FindBody(const GumboNode* root)
{
    if (root == nullptr || root->type != GUMBO_NODE_ELEMENT) {
        return nullptr;
    }
    const GumboVector& children = root->v.element.children;
    for (unsigned i = 0; i < children.length; ++i) {
        const auto* child = static_cast<const GumboNode*>(children.data[i]);
        if (child->type == GUMBO_NODE_ELEMENT && child->v.element.tag == GUMBO_TAG_BODY) {
            return child;
        }
    }
    return nullptr;
}

struct OutputDeleter {
    void operator()(GumboOutput* output) const { gumbo_destroy_output(&kGumboDefaultOptions, output); }
};

} // namespace

HtmlSanitizeReport SanitizeHtml(std::string_view html, const HtmlSanitizerOptions& options, std::string& out)
{
    HtmlSanitizeReport report;
    const std::string source = BoundHtmlSource(html, options, report.Bounded);
    GumboOptions parseOptions = kGumboDefaultOptions;
    parseOptions.max_errors = 0; // the errors are not wanted; recording them costs time and memory
    const std::unique_ptr<GumboOutput, OutputDeleter> parsed(
            gumbo_parse_with_options(&parseOptions, source.data(), source.size()));
    const GumboNode* body = parsed ? FindBody(parsed->root) : nullptr;
    if (body == nullptr) {
        return report; // a frameset document, or no memory
    }
    Rebuilder(options, html.size() * 8 + 4096, out, report).Walk(*body);
    return report;
}

} // namespace qm::store
