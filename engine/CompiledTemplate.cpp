#include "engine/CompiledTemplate.h"

#include <utility>

namespace qm::engine {
namespace {

// Position of needle in text[from, end), or npos.
std::size_t FindIn(std::string_view text, std::string_view needle, std::size_t from, std::size_t end)
{
    if (from > end) {
        return std::string_view::npos;
    }
    const std::size_t found = text.substr(0, end).find(needle, from);
    return found;
}

constexpr std::string_view kForeach = "FOREACH ";
constexpr std::string_view kEndEach = "ENDEACH ";
constexpr std::string_view kIf = "IF ";
constexpr std::string_view kElseIf = "ELSEIF ";

} // namespace

CompiledTemplate::CompiledTemplate(std::string text)
    : m_text(std::move(text))
{
    (void)CompileBlock(0, m_text.size());
}

std::size_t CompiledTemplate::SkipLineEnd(std::size_t pos, std::size_t end) const
{
    if (pos + 2 <= end && m_text[pos] == '\r' && m_text[pos + 1] == '\n') {
        return pos + 2;
    }
    if (pos < end && m_text[pos] == '\n') {
        return pos + 1;
    }
    return pos;
}

std::uint32_t CompiledTemplate::AddValue(std::string_view name)
{
    ValueTag tag{};
    tag.Name = name;
    tag.Session = FindValue(SessionValues(), name, tag.SessionArgument);
    tag.Sessionless = FindValue(SessionlessValues(), name, tag.SessionlessArgument);
    tag.Placeholder = FindPlaceholder(name);
    m_values.push_back(tag);
    return static_cast<std::uint32_t>(m_values.size() - 1);
}

std::uint32_t CompiledTemplate::AddCondition(std::string_view text)
{
    // Each leading '!' negates the rest.
    bool negate = false;
    while (!text.empty() && text.front() == '!') {
        negate = !negate;
        text.remove_prefix(1);
    }
    ConditionTag tag{};
    tag.Name = text;
    tag.Negate = negate;
    tag.Entry = FindCondition(text, tag.Argument);
    m_conditions.push_back(tag);
    return static_cast<std::uint32_t>(m_conditions.size() - 1);
}

std::uint32_t CompiledTemplate::CompileBlock(std::size_t begin, std::size_t end)
{
    const auto index = static_cast<std::uint32_t>(m_blocks.size());
    m_blocks.emplace_back();
    std::vector<Op> ops;
    const std::string_view text(m_text);
    const auto addText = [&ops](std::size_t from, std::size_t to) {
        if (to > from) {
            ops.push_back({OpKind::Text, static_cast<std::uint32_t>(from), static_cast<std::uint32_t>(to - from)});
        }
    };

    std::size_t p = begin;
    while (p < end) {
        const std::size_t open = FindIn(text, "<$", p, end);
        const std::size_t close = open == std::string_view::npos ? open : FindIn(text, "$>", open + 2, end);
        if (close == std::string_view::npos) {
            addText(p, end); // no tag left, or an unclosed "<$": the rest is text
            break;
        }
        addText(p, open);
        const std::string_view name = text.substr(open + 2, close - open - 2);
        p = close + 2;
        if (name.size() > kMaxTagName) {
            continue;
        }
        if (name.starts_with(kForeach)) {
            const std::string_view list = name.substr(kForeach.size());
            const std::size_t bodyBegin = SkipLineEnd(p, end);
            std::string closing = "<$";
            closing += kEndEach;
            closing += list;
            closing += "$>";
            const std::size_t bodyEnd = FindIn(text, closing, bodyBegin, end);
            if (bodyEnd == std::string_view::npos) {
                p = bodyBegin; // the opening tag is dropped; what follows is read as usual
            } else {
                m_lists.push_back({list, FindList(list)});
                const auto listIndex = static_cast<std::uint32_t>(m_lists.size() - 1);
                const std::uint32_t body = CompileBlock(bodyBegin, bodyEnd);
                ops.push_back({OpKind::Foreach, listIndex, body});
                p = bodyEnd + closing.size();
            }
        } else if (name.starts_with(kIf)) {
            ops.push_back({OpKind::If, AddCondition(name.substr(kIf.size()))});
        } else if (name.starts_with(kElseIf)) {
            ops.push_back({OpKind::ElseIf, AddCondition(name.substr(kElseIf.size()))});
        } else if (name == "ELSE") {
            ops.push_back({OpKind::Else});
        } else if (name == "ENDIF") {
            ops.push_back({OpKind::EndIf});
        } else {
            ops.push_back({OpKind::Value, AddValue(name)});
            continue; // a line end after a value stays
        }
        p = SkipLineEnd(p, end);
    }
    m_blocks[index] = std::move(ops);
    return index;
}

} // namespace qm::engine
