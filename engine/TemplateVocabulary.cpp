#include "engine/TemplateVocabulary.h"

#include "common/IniAccess.h"
#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "platform/Registry.h"

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

bool UseFaxServer()
{
    return ReadIniBool("Telvane", "UseTelvane", false);
}

std::string FaxServerDir()
{
    std::string dir = ReadIniString("Telvane", "AppPath", "");
    if (dir.empty()) {
        dir = platform::RegGetString("Software\\Brindlewood Technologies\\Telvane\\Server", "AppPath")
                      .value_or(std::string());
    }
    return platform::NativePath(dir);
}

std::optional<std::string> FaxServerFile(std::string_view relative)
{
    const std::string native = platform::NativePath(relative);
    if (native.empty()) {
        return std::nullopt;
    }
    if (native.front() == '/') {
        return platform::IsRegularFile(native) || platform::IsDirectory(native) ? std::optional<std::string>(native)
                                                                                : std::nullopt;
    }
    const std::string dir = FaxServerDir();
    if (dir.empty()) {
        return std::nullopt;
    }
    return platform::ResolvePathNoCase(dir, native);
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
