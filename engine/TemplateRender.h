// The template interpreter: renders compiled templates into the page of a request, and finds the page template of
// the request's language and theme.
#pragma once

#include "engine/CompiledTemplate.h"
#include "engine/PageContext.h"
#include "engine/TemplateVocabulary.h"

#include <array>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qm::engine {

/// The most bytes of one request text (a form field, a cookie, a CGI variable) that a page echoes; a longer text is
/// cut, at the start of a UTF-8 sequence when one straddles the cut.
inline constexpr std::size_t kMaxEchoedText = 255;

/// The largest page body the engine builds. Rendering stops once the page has passed it, and the request is answered
/// with the error page instead.
inline constexpr std::size_t kMaxPageBytes = std::size_t{8} << 20;

/// text cut to kMaxEchoedText bytes without splitting a UTF-8 sequence.
std::string_view CutEchoedText(std::string_view text);

/// The texts a substitution list gives the placeholders of its body for one item.
class Placeholders {
public:
    Placeholders& Set(Placeholder which, std::string_view text)
    {
        m_texts[static_cast<int>(which)] = text;
        m_set |= static_cast<unsigned>(1u << static_cast<unsigned>(which));
        return *this;
    }

    /// The text of placeholder index, or null when this item does not give it.
    const std::string_view* Get(int index) const
    {
        return (m_set & (1u << static_cast<unsigned>(index))) != 0 ? &m_texts[static_cast<std::size_t>(index)]
                                                                   : nullptr;
    }

private:
    std::array<std::string_view, kPlaceholderCount> m_texts{};
    unsigned m_set = 0;
};

/// One rendering of a page (or of a part of one) into the request's output. Handlers of the vocabulary get it to
/// write their text and to render list bodies.
class TemplateRender {
public:
    explicit TemplateRender(PageContext& context);
    TemplateRender(const TemplateRender&) = delete;
    TemplateRender& operator=(const TemplateRender&) = delete;

    PageContext& Context() { return m_context; }

    /// The session of the request, or null.
    PageSession* Session() { return m_context.Session(); }

    /// Renders a whole template.
    void Render(const CompiledTemplate& compiled) { RenderBlock(compiled, 0); }

    /// Renders a list body for one item (its cursor set by the list), with a fresh IF state.
    void RenderItem(const ListBody& body) { RenderBlock(*body.Template, body.Block); }

    /// Renders a list body for one item of a substitution list: the placeholder tags of the body, and of the lists
    /// inside it, write the item's texts (HTML-escaped, in the page's character set as WriteMailText). Where lists
    /// nest, the outer list's text wins.
    void RenderItem(const ListBody& body, const Placeholders& item);

    // ---- output forms ----

    /// Writes text as it is (for text that the engine made and that needs no escaping: numbers, fixed markup).
    void WritePlain(std::string_view text) { m_out.append(text); }

    /// HTML-escaped with line conversion: entities for '"', '&', '<', '>'; TAB, line ends and runs of spaces kept
    /// visible.
    void WriteEscaped(std::string_view text);

    /// HTML-escaped without line conversion (safe in element text and in a double-quoted attribute value).
    void WriteEscapedRaw(std::string_view text);

    /// URL-encoded (safe in a URL's query and in a double-quoted attribute value).
    void WriteUrl(std::string_view text);

    /// For a quoted script string: at most maxLength bytes of text; backslash, apostrophe and double quote get a
    /// backslash, '<', '>' and '&' are written as "\x3C", "\x3E", "\x26" and line ends and other control bytes as
    /// escapes, so the text can neither end the string nor the script element.
    void WriteJs(std::string_view text, std::size_t maxLength);

    /// A decimal number.
    void WriteInt(long long value);

    /// Text from mail (header fields, names, addresses) in the page's character set (language message 64), then
    /// escaped as WriteEscaped (raw: as WriteEscapedRaw). On a UTF-8 page, bytes that are not UTF-8 are read as
    /// Windows-1252 (ISO-8859-1 where that has no character); on any other page, UTF-8 text is converted to the
    /// page's set when every character has a counterpart there. Text is otherwise written as its bytes.
    void WriteMailText(std::string_view text, bool raw = false);

    /// HTML made from a mail body (markup in ASCII, text in the body's character set), written in the page's
    /// character set: converted from charset when it is given and known and the conversion keeps the markup as it
    /// is (store::ConvertMarkup); otherwise, on a UTF-8 page, as WriteMailText reads bytes, and on other pages as
    /// it is.
    void WriteMailHtml(std::string_view html, std::string_view charset);

    /// The list index: the item of the address-book, attachment, filter and mail-account lists that values read.
    int ListIndex() const { return m_listIndex; }

    void SetListIndex(int index) { m_listIndex = index; }

    /// A setting that values read for every row of a list, looked up once per rendering: the first call for key
    /// keeps what read() gives, later calls return it. The page shows one state of its settings, and a long list
    /// does not go to the settings once a row.
    template <class Read>
    const std::string& PageSetting(std::string_view key, Read&& read)
    {
        for (const auto& [name, value] : m_pageSettings) {
            if (name == key) {
                return value;
            }
        }
        return m_pageSettings.emplace_back(std::string(key), read()).second;
    }

    /// PageSetting for a number.
    template <class Read>
    long long PageNumber(std::string_view key, Read&& read)
    {
        for (const auto& [name, value] : m_pageNumbers) {
            if (name == key) {
                return value;
            }
        }
        return m_pageNumbers.emplace_back(std::string(key), read()).second;
    }

private:
    // text in the page's character set (the text itself, or m_converted holding it).
    std::string_view InPageCharset(std::string_view text);
    bool PageIsUtf8();
    void RenderBlock(const CompiledTemplate& compiled, std::uint32_t block);
    void ExpandValue(const CompiledTemplate::ValueTag& tag);
    bool EvaluateCondition(const CompiledTemplate::ConditionTag& tag);
    void ExpandList(const CompiledTemplate::ListTag& tag, const ListBody& body);

    PageContext& m_context;
    std::string& m_out;
    std::vector<const Placeholders*> m_items; // substitution items of the lists being rendered, outermost first
    int m_listIndex = 0;
    int m_pageCharset = -1; // -1 not looked up yet, 0 UTF-8, 1 another set
    std::string m_charsetName;
    std::string m_converted;                                        // scratch of WriteMailText
    std::deque<std::pair<std::string, std::string>> m_pageSettings; // a deque: references stay valid
    std::vector<std::pair<std::string, long long>> m_pageNumbers;
};

/// Renders a compiled template into the request's output.
void RenderTemplate(PageContext& context, const CompiledTemplate& compiled);

/// A page template: the cache's (not owned) or one loaded for this request (owned).
class PageTemplate {
public:
    PageTemplate() = default;

    explicit PageTemplate(const CompiledTemplate* cached)
        : m_template(cached)
    {}

    explicit PageTemplate(std::unique_ptr<CompiledTemplate> loaded)
        : m_owned(std::move(loaded))
        , m_template(m_owned.get())
    {}

    explicit operator bool() const { return m_template != nullptr; }

    const CompiledTemplate& operator*() const { return *m_template; }

    const CompiledTemplate* Get() const { return m_template; }

private:
    std::unique_ptr<CompiledTemplate> m_owned;
    const CompiledTemplate* m_template = nullptr;
};

/// The template of page (the file "<TemplateDir>/<theme>/<page>.html") for the request's language and theme:
/// from the template cache when it caches templates, else read, translated and compiled now. Theme and page must
/// be safe names (platform::IsSafeName); files are found whatever the case of their names. A page that cannot be
/// found is logged (234 "Could not find template %s." at level 3) and gives an empty PageTemplate.
PageTemplate LoadPageTemplate(PageContext& context, std::string_view page);

/// The body of a page: the template of page, else of "Error", rendered; when neither exists, the status message
/// becomes language message 56 and the built-in page "<HTML><$STATUSMESG$></HTML>" is rendered. A page that passes
/// kMaxPageBytes is logged and replaced by the "Error" page (or the built-in one) with a status message that says
/// so.
void RenderPage(PageContext& context, std::string_view page);

} // namespace qm::engine
