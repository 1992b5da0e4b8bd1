// The template vocabulary: the tables of value, condition and list names that templates use, and how a name finds
// its entry. A new name is one line in its table (TemplateValues.cpp, TemplateConditions.cpp, TemplateLists.cpp)
// and a handler function; templates are resolved against the tables once, when they are compiled.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace qm::engine {

class CompiledTemplate;
class TemplateRender;

/// A list body as a list handler gets it: TemplateRender::RenderItem renders it once per item.
struct ListBody {
    const CompiledTemplate* Template;
    std::uint32_t Block;
};

/// Writes the value of a name to the page; argument is the text after a prefix entry's prefix ("" otherwise).
using ValueHandler = void (*)(TemplateRender& render, std::string_view argument);

/// Tests a condition; argument as for values.
using ConditionHandler = bool (*)(TemplateRender& render, std::string_view argument);

/// Renders body once per item of the list.
using ListHandler = void (*)(TemplateRender& render, const ListBody& body);

/// How an entry's name matches a tag name: the whole name, or its beginning ("CGI:" matches "CGI:USER").
enum class NameMatch : std::uint8_t {
    Exact,
    Prefix,
};

/// Whether a list works without a session.
enum class ListNeeds : std::uint8_t {
    Session,
    Nothing,
};

struct ValueEntry {
    std::string_view Name;
    ValueHandler Handler;
    NameMatch Match = NameMatch::Exact;
};

struct ConditionEntry {
    std::string_view Name;
    ConditionHandler Handler;
    NameMatch Match = NameMatch::Exact;
};

struct ListEntry {
    std::string_view Name;
    ListHandler Handler;
    ListNeeds Needs = ListNeeds::Session;
};

/// The values of a page with a session, and the short vocabulary of a page without one.
std::span<const ValueEntry> SessionValues();
std::span<const ValueEntry> SessionlessValues();

/// The conditions and the lists (the same for pages with and without a session).
std::span<const ConditionEntry> Conditions();
std::span<const ListEntry> Lists();

/// The entry of name: an exact entry first, else the first prefix entry that name begins with, whose argument is
/// the rest of name. Null when none matches. Names are compared exactly (templates are upper-cased at load).
const ValueEntry* FindValue(std::span<const ValueEntry> table, std::string_view name, std::string_view& argument);
const ConditionEntry* FindCondition(std::string_view name, std::string_view& argument);
const ListEntry* FindList(std::string_view name);

/// Whether the fax server is used: [Telvane] UseTelvane of the engine INI (default off).
bool UseFaxServer();

/// The fax server's directory: [Telvane] AppPath of the engine INI, else the registry value AppPath of
/// "Software\Brindlewood Technologies\Telvane\Server"; "" when neither names one.
std::string FaxServerDir();

/// A file named relative to the fax server's directory ('\' or '/' separators, any case), or the path itself when
/// it is absolute; nullopt when it does not exist.
std::optional<std::string> FaxServerFile(std::string_view relative);

/// The filter of a directory look-up: pattern with "*NAME*" made "*" for an empty search, else every "NAME" made
/// the search text with the bytes that filters give a meaning ("*", "(", ")", "\\", NUL) escaped; cut to 63
/// characters.
std::string LdapSearchFilter(std::string_view pattern, std::string_view search);

/// The placeholders that substitution lists fill for their body.
enum class Placeholder : std::uint8_t {
    Name,
    Value,
    Email,
    Comment,
    FileName,
    Number,
};

inline constexpr int kPlaceholderCount = 6;

/// The placeholder of a value name ("NAME", "VALUE", "EMAIL", "COMMENT", "FILENAME", "NUMBER"), or -1.
int FindPlaceholder(std::string_view name);

} // namespace qm::engine
