// FolderList: a user's mail folders, the directories below the user directory, special folders first.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qm::store {

class FolderList;
class LanguageTexts;

/// Longest folder name, '/' between levels.
inline constexpr std::size_t kMaxFolderName = 127;

/// Longest display name of a folder.
inline constexpr std::size_t kMaxFolderDisplayName = 159;

/// Longest language code that a folder list keeps.
inline constexpr std::size_t kMaxLanguageCode = 4;

/// True for "Inbox", "Drafts", "Sent" and "Trash", whole names compared without regard to ASCII case.
bool IsSpecialFolder(std::string_view name);

/// True when path is folder, or lies below it (begins with folder and a '/'); ASCII case ignored.
bool IsFolderOrBelow(std::string_view path, std::string_view folder);

/// True when path lies below parent (begins with parent and a '/'); ASCII case ignored.
bool IsStrictlyBelow(std::string_view parent, std::string_view path);

/// The check that every folder name passes before it reaches the file system: at most kMaxFolderName bytes, levels
/// separated by single '/' characters, and every level a safe file name (not empty, no leading '.', no '\', no
/// control byte or DEL). So "../x", "a/../b", "/x", "a//b", "a/", ".x" and "a\b" are all refused; "Archive..2024"
/// is a name like any other.
bool IsValidFolderName(std::string_view name);

/// The order of the folder list: "Inbox" and the folders below it, then "Drafts", "Sent" and "Trash" the same way,
/// then every other folder. Inside a group names compare without regard to ASCII case, level by level, so that
/// every folder's subfolders follow it directly. Negative, zero or positive like strcmp.
int CompareFolders(std::string_view a, std::string_view b);

/// One folder of a FolderList. Entries are owned by their list and stay valid until the list drops them (Refresh,
/// Rename, Remove, or the list's end).
class FolderEntry {
public:
    FolderEntry(const FolderEntry&) = delete;
    FolderEntry& operator=(const FolderEntry&) = delete;

    /// The folder's name as it is spelled on disk, '/' between levels.
    const std::string& Name() const { return m_name; }

    /// The name shown to the user: the language's name of a special folder, two blanks per level and the leaf name
    /// of a nested folder, else the name itself.
    const std::string& DisplayName() const { return m_displayName; }

    /// The folder's directory: the user directory, '/' and the name.
    std::string GetPath() const;

    /// True when some folder of the list lies below this one.
    bool HasSubfolders() const;

    /// The number of '/' in the name.
    int GetDepth() const;

    /// The text after the last '/', or the whole name.
    std::string_view GetLeafName() const;

    /// The leaf name of a nested folder, the display name of a top-level one.
    std::string_view GetShortName() const;

    /// The text before the last '/', or "".
    std::string_view GetParentName() const;

private:
    friend class FolderList;

    FolderEntry(const FolderList& owner, std::string name);

    void UpdateDisplayName();

    const FolderList* m_owner;
    std::string m_name;
    std::string m_displayName;
};

/// The folders of one user: every directory below the user directory (nested to any depth) whose name passes
/// IsValidFolderName, with the four special folders kept in existence. Names are looked up without regard to ASCII
/// case, and a folder that differs from an existing one only by case is that folder: no case twin is ever created.
/// Nothing outside the user directory is touched: names are checked, and symbolic links below the user directory
/// are neither listed nor followed.
///
/// Not thread-safe: one thread at a time.
class FolderList {
public:
    /// The special folders in their order, also the numbers of their language texts (1 "Inbox" to 4 "Trash").
    static constexpr const char* kSpecialFolders[] = {"Inbox", "Drafts", "Sent", "Trash"};

    /// The folders of userDir in language (a null or empty code is "en"), listed at once (Refresh). texts gives the
    /// names of the special folders; without it they show their own names. texts is not owned and must outlive the
    /// list. No selection.
    FolderList(std::string userDir, const char* language, const LanguageTexts* texts = nullptr);

    FolderList(const FolderList&) = delete;
    FolderList& operator=(const FolderList&) = delete;

    /// Index of the folder name (ASCII case ignored), or -1.
    int IndexOf(std::string_view name) const;

    /// The folder name (ASCII case ignored), or null.
    FolderEntry* Find(std::string_view name);
    const FolderEntry* Find(std::string_view name) const;

    /// Appends an entry for name (without touching the disk). False, adding nothing, when the list has a folder of
    /// that name already or the name fails IsValidFolderName.
    bool AddEntry(std::string_view name);

    /// True when the folder's directory exists below the user directory (found without regard to case).
    bool Exists(std::string_view name) const;

    /// Makes sure the folder exists and is in the list: an existing directory of that name, in any case, is taken
    /// as it is; otherwise the directory is created below its parent folder, which must exist. The entry is
    /// appended when the list lacks it. False when name holds '+' or fails IsValidFolderName, when the parent is
    /// missing, or when the directory cannot be created.
    bool Create(std::string_view name);

    /// Sets the language code (cut to kMaxLanguageCode characters) and renews every display name; nothing happens
    /// when code equals the current one without regard to case.
    void SetLanguage(std::string_view code);

    /// Lists the folders again: the special folders are created when missing, then every directory below the user
    /// directory is listed (links, names beginning with '.' and names failing IsValidFolderName are left out, with
    /// everything below them; the last are reported to the store's log, and every directory left out stays on disk
    /// as it is) and the list is sorted with CompareFolders. False, with only what was found so far,
    /// when the user directory cannot be listed. The selection index stays as it was and may now denote another
    /// folder: callers select again.
    bool Refresh();

    /// Renames the folder oldName to newName, its subfolders moving with it, lists the folders again and returns
    /// the renamed entry. A rename that changes only the case of the name is allowed. Null, changing nothing, when
    /// either name is special, newName holds '+' or fails IsValidFolderName, oldName is unknown, newName exists
    /// already or lies below oldName, the new parent is missing, a subfolder's new name would be too long, or the
    /// directory cannot be renamed. The caller renames the folder in the message index and in the filters.
    FolderEntry* Rename(std::string_view oldName, std::string_view newName);

    /// Removes the folder's directory, which must be empty, and its entry. The selection follows: -1 when it was
    /// the removed entry, one less when it lay after it. False for a special folder, an unknown name or a directory
    /// that cannot be removed (it still holds files or folders).
    bool Remove(std::string_view name);

    /// Selects the folder name; returns its index, or -1 (no selection) when it is unknown.
    int Select(std::string_view name);

    /// The selected entry; the first entry when the selection is out of range; null when the list is empty.
    FolderEntry* GetSelected();

    /// The selection index, -1 when none.
    int SelectedIndex() const { return m_selected; }

    /// Sets the selection index as it is (for lists that walk the folders and restore the selection after).
    void SetSelectedIndex(int index) { m_selected = index; }

    int Count() const { return static_cast<int>(m_entries.size()); }

    /// The entry at index 0..Count()-1.
    FolderEntry& Item(int index);
    const FolderEntry& Item(int index) const;

    const std::string& UserDir() const { return m_userDir; }

    const std::string& Language() const { return m_language; }

private:
    friend class FolderEntry;

    bool AddTree(const std::string& relative);

    std::vector<std::unique_ptr<FolderEntry>> m_entries;
    std::string m_userDir;
    std::string m_language;
    const LanguageTexts* m_texts;
    int m_selected = -1;
};

} // namespace qm::store
