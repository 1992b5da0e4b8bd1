#include "store/FolderList.h"

#include "base/Assert.h"
#include "common/StringUtil.h"
#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "store/StoreSeams.h"

#include <algorithm>
#include <optional>

namespace qm::store {

namespace {

constexpr int kSpecialCount = static_cast<int>(std::size(FolderList::kSpecialFolders));

// The group of a name in the folder order: the index of the special folder it is or lies below, else kSpecialCount.
int GroupOf(std::string_view name)
{
    for (int i = 0; i < kSpecialCount; ++i) {
        if (IsFolderOrBelow(name, FolderList::kSpecialFolders[i])) {
            return i;
        }
    }
    return kSpecialCount;
}

// The byte as the folder order compares it: ASCII folded to lower case, and '/' below every byte a name may hold,
// so that "Lists/Dev" comes before "Lists-old" and a folder's subfolders follow it directly.
unsigned char FolderOrderByte(char c)
{
    return c == '/' ? 1 : static_cast<unsigned char>(FoldCase(c));
}

std::string_view ParentOf(std::string_view name)
{
    const std::size_t slash = name.rfind('/');
    return slash == std::string_view::npos ? std::string_view() : name.substr(0, slash);
}

std::string_view LeafOf(std::string_view name)
{
    const std::size_t slash = name.rfind('/');
    return slash == std::string_view::npos ? name : name.substr(slash + 1);
}

std::string JoinName(std::string_view parent, std::string_view leaf)
{
    std::string name(parent);
    if (!name.empty()) {
        name.push_back('/');
    }
    name.append(leaf);
    return name;
}

// The directory entry of dir that is the directory level: the exact spelling first, else the first that equals it
// without regard to case. Symbolic links and other non-directories never match, so no link is ever followed.
std::optional<std::string> FindLevel(const std::string& dir, std::string_view level)
{
    auto listing = platform::ListSubdirectories(dir);
    if (!listing) {
        return std::nullopt;
    }
    const platform::DirEntry* caseMatch = nullptr;
    for (const platform::DirEntry& e : *listing) {
        if (e.Type != platform::EntryType::Directory) {
            continue;
        }
        if (e.Name == level) {
            return e.Name;
        }
        if (caseMatch == nullptr && EqualsNoCase(e.Name, level)) {
            caseMatch = &e;
        }
    }
    if (caseMatch == nullptr) {
        return std::nullopt;
    }
    return caseMatch->Name;
}

// The name of an existing folder directory as spelled on disk, each level found with FindLevel; "" resolves to "".
std::optional<std::string> ResolveFolder(const std::string& userDir, std::string_view name)
{
    std::string resolved;
    std::string dir = userDir;
    while (!name.empty()) {
        const std::size_t slash = name.find('/');
        const std::string_view level = name.substr(0, slash);
        name = slash == std::string_view::npos ? std::string_view() : name.substr(slash + 1);
        std::optional<std::string> real = FindLevel(dir, level);
        if (!real) {
            return std::nullopt;
        }
        dir = platform::PathJoin(dir, *real);
        resolved = JoinName(resolved, *real);
    }
    return resolved;
}

} // namespace

bool IsSpecialFolder(std::string_view name)
{
    return std::ranges::any_of(FolderList::kSpecialFolders,
                               [name](const char* special) { return EqualsNoCase(name, special); });
}

bool IsFolderOrBelow(std::string_view path, std::string_view folder)
{
    return StartsWithNoCase(path, folder) && (path.size() == folder.size() || path[folder.size()] == '/');
}

bool IsStrictlyBelow(std::string_view parent, std::string_view path)
{
    return path.size() > parent.size() && StartsWithNoCase(path, parent) && path[parent.size()] == '/';
}

bool IsValidFolderName(std::string_view name)
{
    if (name.empty() || name.size() > kMaxFolderName) {
        return false;
    }
    while (true) {
        const std::size_t slash = name.find('/');
        if (!platform::IsSafeName(name.substr(0, slash))) {
            return false;
        }
        if (slash == std::string_view::npos) {
            return true;
        }
        name.remove_prefix(slash + 1);
    }
}

int CompareFolders(std::string_view a, std::string_view b)
{
    const int groupA = GroupOf(a);
    const int groupB = GroupOf(b);
    if (groupA != groupB) {
        return groupA < groupB ? -1 : 1;
    }
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char x = FolderOrderByte(a[i]);
        const unsigned char y = FolderOrderByte(b[i]);
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
    if (a.size() == b.size()) {
        return 0;
    }
    return a.size() < b.size() ? -1 : 1;
}

// ---- FolderEntry ----

FolderEntry::FolderEntry(const FolderList& owner, std::string name)
    : m_owner(&owner)
    , m_name(std::move(name))
{
    UpdateDisplayName();
}

std::string FolderEntry::GetPath() const
{
    return platform::PathJoin(m_owner->m_userDir, m_name);
}

bool FolderEntry::HasSubfolders() const
{
    return std::ranges::any_of(m_owner->m_entries,
                               [this](const auto& other) { return IsStrictlyBelow(m_name, other->m_name); });
}

int FolderEntry::GetDepth() const
{
    return static_cast<int>(std::ranges::count(m_name, '/'));
}

std::string_view FolderEntry::GetLeafName() const
{
    return LeafOf(m_name);
}

std::string_view FolderEntry::GetShortName() const
{
    return GetDepth() > 0 ? GetLeafName() : std::string_view(m_displayName);
}

std::string_view FolderEntry::GetParentName() const
{
    return ParentOf(m_name);
}

void FolderEntry::UpdateDisplayName()
{
    m_displayName.clear();
    if (m_owner->m_texts != nullptr && IsSpecialFolder(m_name)) {
        for (int i = 0; i < kSpecialCount; ++i) {
            if (EqualsNoCase(m_name, FolderList::kSpecialFolders[i])) {
                // Message 1 is the language's own name; the special folders are messages 2 to 5.
                const char* text = m_owner->m_texts->GetLanguageText(i + 2, m_owner->m_language.c_str());
                m_displayName = text == nullptr ? "" : text;
            }
        }
    }
    // A special folder whose language has no text for it shows its own name rather than nothing.
    if (m_displayName.empty()) {
        const int depth = GetDepth();
        if (depth > 0) {
            m_displayName.assign(static_cast<std::size_t>(depth) * 2, ' ');
            m_displayName.append(GetLeafName());
        } else {
            m_displayName = m_name;
        }
    }
    if (m_displayName.size() > kMaxFolderDisplayName) {
        m_displayName.resize(kMaxFolderDisplayName);
    }
}

// ---- FolderList ----

FolderList::FolderList(std::string userDir, const char* language, const LanguageTexts* texts)
    : m_userDir(std::move(userDir))
    , m_language(language == nullptr || *language == '\0' ? "en" : language)
    , m_texts(texts)
{
    if (m_language.size() > kMaxLanguageCode) {
        m_language.resize(kMaxLanguageCode);
    }
    static_cast<void>(Refresh());
}

int FolderList::IndexOf(std::string_view name) const
{
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        if (EqualsNoCase(m_entries[i]->m_name, name)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

FolderEntry* FolderList::Find(std::string_view name)
{
    const int i = IndexOf(name);
    return i < 0 ? nullptr : m_entries[static_cast<std::size_t>(i)].get();
}

const FolderEntry* FolderList::Find(std::string_view name) const
{
    const int i = IndexOf(name);
    return i < 0 ? nullptr : m_entries[static_cast<std::size_t>(i)].get();
}

bool FolderList::AddEntry(std::string_view name)
{
    if (!IsValidFolderName(name) || IndexOf(name) >= 0) {
        return false;
    }
    m_entries.push_back(std::unique_ptr<FolderEntry>(new FolderEntry(*this, std::string(name))));
    return true;
}

bool FolderList::Exists(std::string_view name) const
{
    return IsValidFolderName(name) && ResolveFolder(m_userDir, name).has_value();
}

bool FolderList::Create(std::string_view name)
{
    if (name.find('+') != std::string_view::npos || !IsValidFolderName(name)) {
        return false;
    }
    // An existing directory of that name in any case is the folder: no case twin is made beside it.
    if (std::optional<std::string> existing = ResolveFolder(m_userDir, name)) {
        static_cast<void>(AddEntry(*existing));
        return true;
    }
    std::optional<std::string> parent = ResolveFolder(m_userDir, ParentOf(name));
    if (!parent) {
        return false;
    }
    std::string real = JoinName(*parent, LeafOf(name));
    if (!platform::MakeDirectory(platform::PathJoin(m_userDir, real))) {
        return false;
    }
    static_cast<void>(AddEntry(real));
    return true;
}

void FolderList::SetLanguage(std::string_view code)
{
    if (EqualsNoCase(code, m_language)) {
        return;
    }
    m_language.assign(code.substr(0, kMaxLanguageCode));
    for (auto& entry : m_entries) {
        entry->UpdateDisplayName();
    }
}

bool FolderList::AddTree(const std::string& relative)
{
    auto listing = platform::ListSubdirectories(platform::PathJoin(m_userDir, relative));
    if (!listing) {
        return false;
    }
    for (const platform::DirEntry& e : *listing) {
        if (e.Type != platform::EntryType::Directory) {
            continue;
        }
        std::string name = JoinName(relative, e.Name);
        // A name that fails the check could not be used safely later, and nothing below it could either. The
        // directory stays as it is: nothing here removes or moves what it does not list.
        if (!IsValidFolderName(name)) {
            ReportSkippedRecord(m_userDir, "directory \"" + name + "\"",
                                "is no folder (its name cannot be used as one); it is left as it is");
            continue;
        }
        static_cast<void>(AddEntry(name));
        static_cast<void>(AddTree(name));
    }
    return true;
}

bool FolderList::Refresh()
{
    m_entries.clear();
    for (const char* special : kSpecialFolders) {
        static_cast<void>(Create(special));
    }
    if (!AddTree({})) {
        return false;
    }
    std::stable_sort(m_entries.begin(), m_entries.end(),
                     [](const auto& a, const auto& b) { return CompareFolders(a->m_name, b->m_name) < 0; });
    return true;
}

FolderEntry* FolderList::Rename(std::string_view oldName, std::string_view newName)
{
    if (IsSpecialFolder(oldName) || IsSpecialFolder(newName) || newName.find('+') != std::string_view::npos ||
        !IsValidFolderName(newName)) {
        return nullptr;
    }
    const FolderEntry* entry = Find(oldName);
    if (entry == nullptr || IsStrictlyBelow(entry->m_name, newName)) {
        return nullptr;
    }
    // A new name that differs only in case names the same folder: that rename only changes the spelling.
    const bool caseOnly = EqualsNoCase(entry->m_name, newName);
    if (!caseOnly && (Find(newName) != nullptr || ResolveFolder(m_userDir, newName))) {
        return nullptr;
    }
    // Every subfolder's name must stay within the limit after the move.
    for (const auto& other : m_entries) {
        if (IsStrictlyBelow(entry->m_name, other->m_name) &&
            newName.size() + other->m_name.size() - entry->m_name.size() > kMaxFolderName) {
            return nullptr;
        }
    }
    std::optional<std::string> parent = ResolveFolder(m_userDir, ParentOf(newName));
    if (!parent) {
        return nullptr;
    }
    const std::string real = JoinName(*parent, LeafOf(newName));
    if (real != entry->m_name && !platform::MoveNoReplace(entry->GetPath(), platform::PathJoin(m_userDir, real))) {
        return nullptr;
    }
    static_cast<void>(Refresh());
    return Find(real);
}

bool FolderList::Remove(std::string_view name)
{
    if (IsSpecialFolder(name)) {
        return false;
    }
    const int index = IndexOf(name);
    if (index < 0) {
        return false;
    }
    const auto at = m_entries.begin() + index;
    if (!platform::RemoveDirectory((*at)->GetPath())) {
        return false;
    }
    m_entries.erase(at);
    if (m_selected == index) {
        m_selected = -1;
    } else if (m_selected > index) {
        --m_selected;
    }
    return true;
}

int FolderList::Select(std::string_view name)
{
    m_selected = IndexOf(name);
    return m_selected;
}

FolderEntry* FolderList::GetSelected()
{
    if (m_entries.empty()) {
        return nullptr;
    }
    if (m_selected < 0 || m_selected >= Count()) {
        return m_entries.front().get();
    }
    return m_entries[static_cast<std::size_t>(m_selected)].get();
}

FolderEntry& FolderList::Item(int index)
{
    QM_ASSERT(index >= 0 && index < Count());
    return *m_entries[static_cast<std::size_t>(index)];
}

const FolderEntry& FolderList::Item(int index) const
{
    QM_ASSERT(index >= 0 && index < Count());
    return *m_entries[static_cast<std::size_t>(index)];
}

} // namespace qm::store
