#include "tools/rosterfix/Rosterfix.h"

#include "common/IniAccess.h"
#include "common/StringUtil.h"
#include "common/UserName.h"
#include "platform/FileSystem.h"
#include "platform/IniFile.h"
#include "platform/Path.h"

#include <algorithm>
#include <array>

namespace qm::tools {
namespace {

constexpr const char* kIncomplete = "Please complete all necessary information!";
constexpr const char* kBadName =
        "A key or section name may not hold '=', '[', ']' or a control character, nor begin with ';'.";
constexpr const char* kUserIniName = "User.ini";

// A key or section name that the settings file can hold as it is.
bool IsPlainName(const std::string& name)
{
    const std::size_t first = name.find_first_not_of(' ');
    if (first == std::string::npos || name[first] == ';') {
        return false;
    }
    return std::none_of(name.begin(), name.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7f || c == '=' || c == '[' || c == ']';
    });
}

// The user's settings file: an existing one in any case of its name, else the engine's spelling.
std::string SettingsFile(const std::string& userDir, const std::string& folder)
{
    const std::string dir = platform::PathJoin(userDir, folder);
    return platform::PathJoin(dir, platform::ResolveNoCase(dir, kUserIniName).value_or(kUserIniName));
}

bool Apply(const std::string& file, const std::string& section, const std::string& key,
           std::optional<std::string> value)
{
    const std::array<platform::IniChange, 1> change{{{section, key, std::move(value)}}};
    return platform::IniWriteMany(file, change, platform::IniLinks::Refuse).has_value();
}

} // namespace

std::string TrimTrailing(const std::string& text)
{
    std::size_t end = text.size();
    while (end > 0 && IsWhiteSpace(text[end - 1])) {
        --end;
    }
    return text.substr(0, end);
}

std::optional<std::string> FindUserDir(const std::string& programDir, const std::string& iniFromEnvironment,
                                       const std::function<std::optional<std::string>()>& chooseFolder)
{
    std::string ini = iniFromEnvironment;
    if (ini.empty() || !FileExists(ini)) {
        ini = platform::PathJoin(programDir, "Quillmail.ini");
    }
    if (!FileExists(ini)) {
        ini = platform::PathJoin(platform::ParentDirectory(programDir), "Quillmail.ini");
    }
    if (!FileExists(ini)) {
        const std::optional<std::string> folder = chooseFolder ? chooseFolder() : std::nullopt;
        if (!folder) {
            return std::nullopt;
        }
        ini = platform::PathJoin(*folder, "Quillmail.ini");
        if (!FileExists(ini)) {
            return std::nullopt;
        }
    }
    std::string userDir = platform::NativePath(ReadIniStringFile("Directories", "UserDir", "", ini));
    if (userDir.empty()) {
        return std::nullopt;
    }
    return userDir;
}

std::vector<std::string> ListUserFolders(const std::string& userDir)
{
    std::vector<std::string> folders;
    auto entries = platform::ListDirectory(userDir);
    if (!entries) {
        return folders;
    }
    for (const platform::DirEntry& entry : *entries) {
        if (entry.Type == platform::EntryType::Directory && IsValidUserName(entry.Name)) {
            folders.push_back(entry.Name);
        }
    }
    return folders;
}

std::string CheckAddChange(const AddChangeRequest& request)
{
    const std::string key = TrimTrailing(request.Key);
    const std::string section = TrimTrailing(request.Section);
    if (key.empty() || TrimTrailing(request.Value).empty() || section.empty() ||
        (request.Mode == ExceptionMode::IfValueEquals && TrimTrailing(request.CompareValue).empty())) {
        return kIncomplete;
    }
    return IsPlainName(key) && IsPlainName(section) ? std::string() : std::string(kBadName);
}

std::string CheckDelete(const std::string& key, const std::string& section)
{
    const std::string trimmedKey = TrimTrailing(key);
    const std::string trimmedSection = TrimTrailing(section);
    if (trimmedKey.empty() || trimmedSection.empty()) {
        return kIncomplete;
    }
    return IsPlainName(trimmedKey) && IsPlainName(trimmedSection) ? std::string() : std::string(kBadName);
}

AddChangeCounts AddChangeKey(const std::string& userDir, const AddChangeRequest& request)
{
    const std::string key = TrimTrailing(request.Key);
    const std::string value = TrimTrailing(request.Value);
    const std::string section = TrimTrailing(request.Section);
    const std::string compare = TrimTrailing(request.CompareValue);
    AddChangeCounts counts;
    for (const std::string& folder : ListUserFolders(userDir)) {
        const std::string file = SettingsFile(userDir, folder);
        if (request.Mode == ExceptionMode::IfValueEquals &&
            platform::IniRead(file, section, key).value_or(std::string()) == compare) {
            ++counts.Skipped;
            continue;
        }
        if (Apply(file, section, key, value)) {
            ++counts.Changed;
        } else {
            ++counts.Failed;
        }
    }
    return counts;
}

DeleteCounts DeleteKey(const std::string& userDir, const std::string& key, const std::string& section)
{
    DeleteCounts counts;
    for (const std::string& folder : ListUserFolders(userDir)) {
        if (Apply(SettingsFile(userDir, folder), TrimTrailing(section), TrimTrailing(key), std::nullopt)) {
            ++counts.Processed;
        } else {
            ++counts.Failed;
        }
    }
    return counts;
}

std::string AddChangeMessage(const AddChangeCounts& counts)
{
    return "Add/Changes complete!\n\nUsers' settings changed: " + std::to_string(counts.Changed) +
           "\nUsers skipped: " + std::to_string(counts.Skipped) +
           "\nUsers that could not be changed: " + std::to_string(counts.Failed);
}

std::string DeleteMessage(const DeleteCounts& counts)
{
    return "Processing complete!\n\nUsers processed: " + std::to_string(counts.Processed) +
           "\nUsers that could not be changed: " + std::to_string(counts.Failed);
}

} // namespace qm::tools
