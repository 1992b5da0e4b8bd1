#include "engine/TemplateVocabulary.h"

namespace qm::engine {
namespace {

template <class Entry>
const Entry* FindEntry(std::span<const Entry> table, std::string_view name, std::string_view& argument)
{
    argument = {};
    for (const Entry& entry : table) {
        if (entry.Match == NameMatch::Exact && entry.Name == name) {
            return &entry;
        }
    }
    for (const Entry& entry : table) {
        if (entry.Match == NameMatch::Prefix && name.starts_with(entry.Name)) {
            argument = name.substr(entry.Name.size());
            return &entry;
        }
    }
    return nullptr;
}

constexpr std::string_view kPlaceholderNames[kPlaceholderCount] = {"NAME",    "VALUE",    "EMAIL",
                                                                   "COMMENT", "FILENAME", "NUMBER"};

} // namespace

const ValueEntry* FindValue(std::span<const ValueEntry> table, std::string_view name, std::string_view& argument)
{
    return FindEntry(table, name, argument);
}

const ConditionEntry* FindCondition(std::string_view name, std::string_view& argument)
{
    return FindEntry(Conditions(), name, argument);
}

const ListEntry* FindList(std::string_view name)
{
    for (const ListEntry& entry : Lists()) {
        if (entry.Name == name) {
            return &entry;
        }
    }
    return nullptr;
}

int FindPlaceholder(std::string_view name)
{
    for (int i = 0; i < kPlaceholderCount; ++i) {
        if (kPlaceholderNames[i] == name) {
            return i;
        }
    }
    return -1;
}

} // namespace qm::engine
