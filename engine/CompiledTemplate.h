// A prepared page template compiled once into operations: runs of text, value tags, lists with their bodies and
// the IF/ELSEIF/ELSE/ENDIF directives, every name already resolved against the vocabulary tables. Rendering walks
// the operations and never scans the text again.
#pragma once

#include "engine/TemplateVocabulary.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qm::engine {

/// Longest tag name between "<$" and "$>"; a longer tag is dropped.
inline constexpr std::size_t kMaxTagName = 79;

/// Most IF levels open at once; an IF beyond them is ignored.
inline constexpr int kMaxIfLevels = 31;

/// A compiled template. The tag syntax: "<$" name "$>" with names of at most kMaxTagName characters (upper case:
/// the loader upper-cases them); directives "FOREACH " list ... "<$ENDEACH " list "$>", "IF " condition,
/// "ELSEIF " condition, "ELSE" and "ENDIF"; every other name is a value. One line end (CR LF or LF) right after a
/// directive is dropped, and one right after a FOREACH's opening tag; a line end after a value stays. An unclosed
/// "<$" and everything after it is text. Immutable once built; safe to render from many threads at once.
class CompiledTemplate {
public:
    enum class OpKind : std::uint8_t {
        Text,    ///< A = offset in Text(), B = length
        Value,   ///< A = index of the value tag
        Foreach, ///< A = index of the list tag, B = the body's block
        If,      ///< A = index of the condition tag
        ElseIf,  ///< A = index of the condition tag
        Else,
        EndIf,
    };

    struct Op {
        OpKind Kind = OpKind::Text;
        std::uint32_t A = 0;
        std::uint32_t B = 0;
    };

    struct ValueTag {
        std::string_view Name;
        const ValueEntry* Session;     ///< entry of the session vocabulary, or null
        const ValueEntry* Sessionless; ///< entry of the sessionless vocabulary, or null
        std::string_view SessionArgument;
        std::string_view SessionlessArgument;
        int Placeholder; ///< the substitution placeholder this name is, or -1
    };

    struct ConditionTag {
        std::string_view Name; ///< without the leading '!'s
        bool Negate;
        const ConditionEntry* Entry; ///< null for an unknown name
        std::string_view Argument;
    };

    struct ListTag {
        std::string_view Name;
        const ListEntry* Entry; ///< null for an unknown name
    };

    /// Compiles text (already translated and upper-cased).
    explicit CompiledTemplate(std::string text);

    CompiledTemplate(const CompiledTemplate&) = delete;
    CompiledTemplate& operator=(const CompiledTemplate&) = delete;

    /// The prepared text the template was compiled from.
    const std::string& Text() const { return m_text; }

    /// The operations of a block: 0 is the whole template, the others are list bodies.
    std::span<const Op> Ops(std::uint32_t block) const { return m_blocks[block]; }

    std::string_view TextOf(const Op& op) const { return std::string_view(m_text).substr(op.A, op.B); }

    const ValueTag& Value(std::uint32_t index) const { return m_values[index]; }

    const ConditionTag& Condition(std::uint32_t index) const { return m_conditions[index]; }

    const ListTag& List(std::uint32_t index) const { return m_lists[index]; }

private:
    std::uint32_t CompileBlock(std::size_t begin, std::size_t end);
    std::size_t SkipLineEnd(std::size_t pos, std::size_t end) const;
    std::uint32_t AddCondition(std::string_view text);
    std::uint32_t AddValue(std::string_view name);

    std::string m_text;
    std::vector<std::vector<Op>> m_blocks;
    std::vector<ValueTag> m_values;
    std::vector<ConditionTag> m_conditions;
    std::vector<ListTag> m_lists;
};

} // namespace qm::engine
