#include "tools/acctpull/Acctpull.h"

#include "common/IniAccess.h"
#include "common/UserName.h"
#include "platform/FileSystem.h"
#include "platform/IniFile.h"
#include "platform/Path.h"

#include <algorithm>
#include <array>

namespace qm::tools {
namespace {

constexpr const char* kUserIniName = "User.ini";
constexpr std::uint32_t kFirstUserUid = 1000;
constexpr std::uint32_t kLastUserUid = 59999;

void SortByName(std::vector<ImportCandidate>& list)
{
    std::sort(list.begin(), list.end(),
              [](const ImportCandidate& a, const ImportCandidate& b) { return a.Name < b.Name; });
}

// Moves the entries at positions of from to to, the last chosen first, and keeps both sorted.
void Move(std::vector<ImportCandidate>& from, std::vector<ImportCandidate>& to, std::vector<std::size_t> positions)
{
    std::sort(positions.begin(), positions.end());
    positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
    for (auto it = positions.rbegin(); it != positions.rend(); ++it) {
        if (*it < from.size()) {
            to.push_back(std::move(from[*it]));
            from.erase(from.begin() + static_cast<std::ptrdiff_t>(*it));
        }
    }
    SortByName(to);
}

} // namespace

std::string UserDirOf(const std::string& iniFile)
{
    const std::string fallback = platform::PathJoin(platform::ParentDirectory(iniFile), "Users");
    return platform::NativePath(ReadIniStringFile("Directories", "UserDir", fallback, iniFile));
}

bool UserAccountExists(const std::string& userDir, std::string_view name)
{
    const auto folder = platform::ResolveNoCase(userDir, name);
    if (!folder) {
        return false;
    }
    const std::string dir = platform::PathJoin(userDir, *folder);
    return platform::IsDirectory(dir) && platform::ResolveNoCase(dir, kUserIniName).has_value();
}

std::string CutUtf8(std::string_view name, std::size_t maxBytes)
{
    if (name.size() <= maxBytes) {
        return std::string(name);
    }
    std::size_t end = maxBytes;
    // Step back over continuation bytes (10xxxxxx) to the start of the character that the cut would split.
    while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80) {
        --end;
    }
    return std::string(name.substr(0, end));
}

std::vector<ImportCandidate> OfferedAccounts(const std::vector<platform::SystemAccount>& accounts,
                                             const std::string& userDir)
{
    std::vector<ImportCandidate> offered;
    for (const platform::SystemAccount& account : accounts) {
        if (account.Uid < kFirstUserUid || account.Uid > kLastUserUid || account.Name == "nobody") {
            continue;
        }
        if (!account.Name.empty() && account.Name.back() == '$') {
            continue; // a machine account
        }
        std::string name = CutUtf8(account.Name, kMaxImportName);
        if (!IsValidUserName(name) || UserAccountExists(userDir, name)) {
            continue;
        }
        const bool known = std::any_of(offered.begin(), offered.end(), [&name](const ImportCandidate& c) {
            return platform::EqualsNoCase(c.Name, name);
        });
        if (known) {
            continue; // two system names that differ only by case would be one account
        }
        offered.push_back({name, account.FullName.empty() ? name : account.FullName});
    }
    SortByName(offered);
    return offered;
}

ImportLists::ImportLists(std::vector<ImportCandidate> offered)
    : m_offered(std::move(offered))
{
    SortByName(m_offered);
}

void ImportLists::Select(const std::vector<std::size_t>& positions)
{
    Move(m_offered, m_selected, positions);
}

void ImportLists::Unselect(const std::vector<std::size_t>& positions)
{
    Move(m_selected, m_offered, positions);
}

void ImportLists::RemoveSelected(const std::string& name)
{
    std::erase_if(m_selected, [&name](const ImportCandidate& c) { return c.Name == name; });
}

bool IsValidPamService(std::string_view service)
{
    if (service.empty() || service.size() > 32) {
        return false;
    }
    return std::all_of(service.begin(), service.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '.' ||
               c == '-';
    });
}

bool MakePath(const std::string& path)
{
    return platform::MakeDirectories(path).has_value();
}

bool CreateUserAccount(const std::string& userDir, const ImportCandidate& candidate, const std::string& service)
{
    if (!IsValidUserName(candidate.Name) || !IsValidPamService(service)) {
        return false;
    }
    // An existing directory in another case is the account's: two accounts never differ only by case.
    const std::string folder = platform::ResolveNoCase(userDir, candidate.Name).value_or(candidate.Name);
    const std::string dir = platform::PathJoin(userDir, folder);
    if (!MakePath(dir)) {
        return false;
    }
    const std::string file = platform::PathJoin(dir, platform::ResolveNoCase(dir, kUserIniName).value_or(kUserIniName));
    const std::array<platform::IniChange, 3> changes{{
            {"User", "Password", "\\" + service},
            {"MailHost1", "FullName", candidate.FullName.empty() ? candidate.Name : candidate.FullName},
            {"MailHost1", "Mailbox", "Mail on " + service},
    }};
    return platform::IniWriteMany(file, changes, platform::IniLinks::Refuse).has_value();
}

std::vector<std::string> ImportSelected(ImportLists& lists, const std::string& userDir, const std::string& service)
{
    std::vector<std::string> failed;
    const std::vector<ImportCandidate> chosen = lists.Selected();
    for (auto it = chosen.rbegin(); it != chosen.rend(); ++it) {
        if (CreateUserAccount(userDir, *it, service)) {
            lists.RemoveSelected(it->Name);
        } else {
            failed.push_back(it->Name);
        }
    }
    return failed;
}

std::string ImportFailureMessage(const std::vector<std::string>& failed)
{
    if (failed.empty()) {
        return {};
    }
    std::string message = "These accounts could not be imported:\n";
    for (const std::string& name : failed) {
        message += "\n" + name;
    }
    return message;
}

} // namespace qm::tools
