#include "engine/TemplateRender.h"

#include "common/CgiInput.h"
#include "common/Log.h"
#include "common/StringUtil.h"
#include "engine/EngineMessages.h"
#include "engine/TemplateCache.h"
#include "platform/Charset.h"
#include "platform/Path.h"
#include "store/MailCharset.h"

#include <charconv>

namespace qm::engine {
namespace {

// The page shown when neither the page's template nor the Error template exists.
const CompiledTemplate& BuiltInPage()
{
    static const CompiledTemplate kPage("<HTML><$STATUSMESG$></HTML>");
    return kPage;
}

void LogName(PageContext& context, int id, std::string_view name)
{
    context.Log().LogMsg(3, id, std::string(name).c_str());
}

// The status message of the page that replaces one that grew too large.
constexpr const char* kTextPageTooLarge = "The page you asked for is too large to be shown.";

// Renders the template of page, else of "Error"; false when neither exists.
bool RenderFound(PageContext& context, std::string_view page)
{
    PageTemplate found = LoadPageTemplate(context, page);
    if (!found) {
        found = LoadPageTemplate(context, "Error");
    }
    if (!found) {
        return false;
    }
    RenderTemplate(context, *found);
    return true;
}

// Language message of the page's character set.
constexpr int kMsgCharset = 64;

bool IsAscii(std::string_view text)
{
    for (const char c : text) {
        if ((static_cast<unsigned char>(c) & 0x80) != 0) {
            return false;
        }
    }
    return true;
}

} // namespace

std::string_view CutEchoedText(std::string_view text)
{
    if (text.size() <= kMaxEchoedText) {
        return text;
    }
    std::size_t end = kMaxEchoedText;
    // Back up over continuation bytes (10xxxxxx) to the lead byte of the sequence the cut would split.
    for (int step = 0; step < 3 && end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80; ++step) {
        --end;
    }
    if ((static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
        end = kMaxEchoedText; // not UTF-8: cut where the limit is
    }
    return text.substr(0, end);
}

TemplateRender::TemplateRender(PageContext& context)
    : m_context(context)
    , m_out(context.Output())
{}

void TemplateRender::RenderItem(const ListBody& body, const Placeholders& item)
{
    m_items.push_back(&item);
    RenderBlock(*body.Template, body.Block);
    m_items.pop_back();
}

void TemplateRender::RenderBlock(const CompiledTemplate& compiled, std::uint32_t block)
{
    using Kind = CompiledTemplate::OpKind;
    // Level 0 is the state outside any IF; saved[n] is the output state of the level that encloses level n + 1,
    // taken[n] whether a branch of level n has been taken.
    bool saved[kMaxIfLevels + 1] = {};
    bool taken[kMaxIfLevels + 1] = {};
    int depth = 0;
    bool emit = true;
    for (const CompiledTemplate::Op& op : compiled.Ops(block)) {
        if (m_out.size() > kMaxPageBytes) {
            return; // the page is refused as a whole (RenderPage): nothing more is built
        }
        switch (op.Kind) {
        case Kind::Text:
            if (emit) {
                m_out.append(compiled.TextOf(op));
            }
            break;
        case Kind::Value:
            if (emit) {
                ExpandValue(compiled.Value(op.A));
            }
            break;
        case Kind::Foreach:
            if (emit) {
                ExpandList(compiled.List(op.A), ListBody{&compiled, op.B});
            }
            break;
        case Kind::If:
            if (depth < kMaxIfLevels) {
                saved[depth++] = emit;
                // The condition is evaluated even when nothing is written.
                emit = EvaluateCondition(compiled.Condition(op.A)) && emit;
                taken[depth] = emit;
            }
            break;
        case Kind::ElseIf:
            if (depth > 0) {
                emit = EvaluateCondition(compiled.Condition(op.A)) && saved[depth - 1] && !taken[depth];
                taken[depth] = taken[depth] || emit;
            }
            break;
        case Kind::Else:
            if (depth > 0) {
                emit = saved[depth - 1] && !taken[depth];
                taken[depth] = taken[depth] || emit;
            }
            break;
        case Kind::EndIf:
            if (depth > 0) {
                emit = saved[--depth];
            }
            break;
        }
    }
}

void TemplateRender::ExpandValue(const CompiledTemplate::ValueTag& tag)
{
    if (tag.Placeholder >= 0) {
        for (const Placeholders* item : m_items) {
            if (const std::string_view* text = item->Get(tag.Placeholder)) {
                WriteMailText(*text, true); // names from books, directories and files: in the page's set
                return;
            }
        }
    }
    if (m_context.Session() == nullptr) {
        if (tag.Sessionless != nullptr) {
            tag.Sessionless->Handler(*this, tag.SessionlessArgument);
        }
        return; // an unknown name of a page without a session is dropped silently
    }
    if (tag.Session == nullptr) {
        LogName(m_context, kMsgUnableToExpand, tag.Name);
        return;
    }
    tag.Session->Handler(*this, tag.SessionArgument);
}

bool TemplateRender::EvaluateCondition(const CompiledTemplate::ConditionTag& tag)
{
    bool result = false;
    if (tag.Entry != nullptr) {
        result = tag.Entry->Handler(*this, tag.Argument);
    } else {
        LogName(m_context, kMsgUnableToEvaluate, tag.Name);
    }
    return tag.Negate ? !result : result;
}

void TemplateRender::ExpandList(const CompiledTemplate::ListTag& tag, const ListBody& body)
{
    if (tag.Entry == nullptr) {
        LogName(m_context, kMsgUnableToIterate, tag.Name);
        return;
    }
    if (tag.Entry->Needs == ListNeeds::Session && m_context.Session() == nullptr) {
        return;
    }
    tag.Entry->Handler(*this, body);
}

void TemplateRender::WriteEscaped(std::string_view text)
{
    AppendHtmlEscaped(m_out, text, false);
}

void TemplateRender::WriteEscapedRaw(std::string_view text)
{
    AppendHtmlEscaped(m_out, text, true);
}

bool TemplateRender::PageIsUtf8()
{
    if (m_pageCharset < 0) {
        m_charsetName = LanguageText(m_context, kMsgCharset);
        const bool utf8 = EqualsNoCase(m_charsetName, "utf-8") || EqualsNoCase(m_charsetName, "utf8");
        m_pageCharset = utf8 ? 0 : 1;
    }
    return m_pageCharset == 0;
}

std::string_view TemplateRender::InPageCharset(std::string_view text)
{
    if (IsAscii(text)) {
        return text;
    }
    if (PageIsUtf8()) {
        // Index text is UTF-8 already (older entries may hold other bytes).
        if (store::IsUtf8(text)) {
            return text;
        }
        m_converted.clear();
        store::AppendUndeclaredAsUtf8(m_converted, text);
        return m_converted;
    }
    if (store::IsUtf8(text) && !m_charsetName.empty() && ConvertCharset("UTF-8", m_charsetName, text, m_converted)) {
        return m_converted;
    }
    return text;
}

void TemplateRender::WriteMailText(std::string_view text, bool raw)
{
    AppendHtmlEscaped(m_out, InPageCharset(text), raw);
}

// The body's HTML was escaped and rebuilt in its own charset, so only a conversion that keeps the markup as it is
// may turn it into the page's (ConvertMarkup).
void TemplateRender::WriteMailHtml(std::string_view html, std::string_view charset)
{
    if (IsAscii(html)) {
        m_out.append(html);
        return;
    }
    const bool declaredUtf8 = EqualsNoCase(charset, "utf-8") || EqualsNoCase(charset, "utf8");
    if (PageIsUtf8()) {
        if ((charset.empty() || declaredUtf8) && store::IsUtf8(html)) {
            m_out.append(html);
            return;
        }
        store::AppendMarkupInUtf8(m_out, html, charset);
        return;
    }
    if (!charset.empty() && EqualsNoCase(charset, m_charsetName)) {
        m_out.append(html);
        return;
    }
    const std::string_view from = !charset.empty() ? charset : store::IsUtf8(html) ? "UTF-8" : "";
    if (!from.empty() && !m_charsetName.empty() && store::ConvertMarkup(from, m_charsetName, html, m_converted)) {
        m_out.append(m_converted);
        return;
    }
    m_out.append(html);
}

void TemplateRender::WriteUrl(std::string_view text)
{
    AppendUrlEncoded(m_out, text);
}

void TemplateRender::WriteJs(std::string_view text, std::size_t maxLength)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    text = text.substr(0, maxLength);
    std::size_t plain = 0; // start of the run of bytes that need no escape
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const bool special = c < 0x20 || c == '\\' || c == '\'' || c == '"' || c == '<' || c == '>' || c == '&';
        if (!special) {
            continue;
        }
        m_out.append(text.substr(plain, i - plain));
        plain = i + 1;
        if (c == '\\' || c == '\'' || c == '"') {
            m_out += '\\';
            m_out += static_cast<char>(c);
        } else if (c == '\n') {
            m_out += "\\n";
        } else if (c == '\r') {
            m_out += "\\r";
        } else {
            m_out += "\\x";
            m_out += kHex[c >> 4];
            m_out += kHex[c & 15];
        }
    }
    m_out.append(text.substr(plain));
}

void TemplateRender::WriteInt(long long value)
{
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    m_out.append(digits, result.ptr);
}

void RenderTemplate(PageContext& context, const CompiledTemplate& compiled)
{
    TemplateRender render(context);
    render.Render(compiled);
}

PageTemplate LoadPageTemplate(PageContext& context, std::string_view page)
{
    TemplateCache& cache = context.Templates();
    const std::string& theme = context.Theme();
    const bool safe = platform::IsSafeName(theme) && platform::IsSafeName(page) && page.size() <= kMaxPageName;
    if (cache.Caching()) {
        const CompiledTemplate* cached = safe ? cache.FindTemplate(context.Language(), theme, page) : nullptr;
        if (cached == nullptr) {
            LogName(context, kMsgTemplateNotFound, TemplateKey(theme, page));
            return {};
        }
        return PageTemplate(cached);
    }
    std::string path = platform::PathJoin(cache.TemplateDir(), theme + "/" + std::string(page) + ".html");
    if (safe) {
        if (auto loaded = cache.LoadUncached(context.Language(), theme, page, path)) {
            return PageTemplate(std::move(loaded));
        }
    }
    LogName(context, kMsgTemplateNotFound, path);
    return {};
}

void RenderPage(PageContext& context, std::string_view page)
{
    std::string& out = context.Output();
    const std::size_t start = out.size();
    bool rendered = RenderFound(context, page);
    if (rendered && out.size() - start > kMaxPageBytes) {
        context.Log().Log(1, "The page %s passed %zu bytes; the error page is sent instead.", std::string(page).c_str(),
                          kMaxPageBytes);
        out.resize(start);
        out.shrink_to_fit();
        SetStatusMessage(context, kTextPageTooLarge, MessageTone::Refusal);
        rendered = page != "Error" && RenderFound(context, "Error") && out.size() - start <= kMaxPageBytes;
        if (!rendered) {
            out.resize(start);
            SetStatusMessage(context, kTextPageTooLarge, MessageTone::Refusal);
            RenderTemplate(context, BuiltInPage());
        }
        return;
    }
    if (!rendered) {
        SetStatusMessage(context, LanguageText(context, 56), MessageTone::Refusal);
        RenderTemplate(context, BuiltInPage());
    }
}

} // namespace qm::engine
