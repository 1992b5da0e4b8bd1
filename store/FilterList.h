// FilterList: the user's mail filters, kept in the [Filters] section of User.ini, that file incoming mail into folders.
#pragma once

#include "platform/IniFile.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qm::store {

class HeaderBlock;

/// One filter rule.
struct FilterRule {
    bool Active = false;
    /// What the rule looks at: C "CC", F "From", M the mail account's mailbox name, N "Sender", S "Subject",
    /// T "To"; any other letter looks at "".
    char Header = 'S';
    /// How it compares (ASCII case ignored): C contains, N does not contain, I is, S starts with, E ends with; any
    /// other letter never matches.
    char Operator = 'C';
    /// The text to compare with, at most FilterList::kMaxText bytes.
    std::string Text;
    /// The folder the rule files into, '/' between levels; it passes IsValidFolderName and holds no '"'.
    std::string Folder;
};

/// The filter rules of one user, in order. Stored as keys "Filter0" to "Filter99" of the section [Filters] of the
/// user's User.ini, each rule as the value
///     Y S C "text" "Folder\Sub"
/// ('Y' active or 'N', the header letter, the operator letter, the text and the folder with '\' between levels,
/// each quoted). The stored form has no escapes, so a rule must be able to come back from it unchanged: values are
/// cleaned (every byte below 0x20 becomes a blank) and a text holding a '"' followed by a blank, which would end the
/// text early, is refused; so is a folder holding '"'.
///
/// Not thread-safe: one thread at a time.
class FilterList {
public:
    /// Rules a list holds at most: as many as the stored keys Filter0 to Filter99.
    static constexpr int kMaxRules = 100;

    /// Longest rule text; a longer one is cut.
    static constexpr std::size_t kMaxText = 127;

    static constexpr const char* kSection = "Filters";

    enum class AddResult {
        Added,
        Malformed, ///< a letter, the text or the folder is missing
        Refused,   ///< the folder fails IsValidFolderName or holds '"' (also what a text with '"' and a blank gives)
        Full,      ///< the list holds kMaxRules rules already (kept values that are no rules count)
    };

    /// An empty list without a file.
    FilterList() = default;

    /// Reads the rules of iniPath (null keeps the path given before). Every rule is dropped first; then the values
    /// of "Filter0" to "Filter99" are read (whole values, gaps do not stop the reading) and every non-empty one is
    /// added with AddFromText. A value that it does not take is no rule: it is reported to the store's log and kept
    /// as it stood, in its place among the rules, for Save to write back.
    void Load(const char* iniPath);

    /// Deletes the whole [Filters] section and writes "Filter%d" in order from 0 for every rule and every value that
    /// Load kept (unchanged), in their order. Returns the number of rules, or -1 when there is no file or it cannot
    /// be written.
    int Save() const;

    /// The changes that Save makes, appended to changes, for a caller that writes them with other keys of the file
    /// in one rewrite.
    void AddSaveChanges(std::vector<platform::IniChange>& changes) const;

    /// Parses one rule in the stored form (blanks between the letters optional; letters upper-cased; a text or
    /// folder in double quotes, or a text up to the next blank and a folder up to the end; a quoted text runs to the
    /// next '"' followed by a blank, a quoted folder to the last '"') and appends it. Bytes below 0x20 become
    /// blanks first; the text is cut to kMaxText bytes; '\' in the folder becomes '/'.
    AddResult AddFromText(std::string_view text);

    /// The folder of the first active rule that matches the headers (mailbox for 'M'), else def. The view points
    /// into the rule or into def.
    std::string_view Match(const HeaderBlock& headers, std::string_view mailbox, std::string_view def) const;

    /// Every rule whose folder is oldName or lies below it gets newName in place of oldName (ASCII case ignored);
    /// a rule whose folder would become invalid (too long) keeps it. Saves when any changed; true when any did.
    bool RenameFolder(std::string_view oldName, std::string_view newName);

    /// Deletes every rule whose folder is folder or lies below it. Saves when any was deleted; true when any was.
    bool RemoveFolder(std::string_view folder);

    /// Deletes the rule at index 0..Count()-1 (the file is untouched until Save).
    void RemoveRule(int index);

    /// Drops every rule (the file is untouched until Save). The values that Load kept without taking them as rules
    /// stay, in their order, before any rule added afterwards.
    void Clear();

    int Count() const { return static_cast<int>(m_rules.size()); }

    /// The rule at index 0..Count()-1.
    const FilterRule& Item(int index) const;

    /// The stored form of rule, as Save writes it.
    static std::string FormatRule(const FilterRule& rule);

    /// The INI file, "" when none was given.
    const std::string& Path() const { return m_path; }

private:
    // A value of the file that Load could not take as a rule, as it stood.
    struct KeptValue {
        std::size_t Before = 0; // the index of the rule it stands before; Count() or more when after the last
        std::string Text;
    };

    std::vector<FilterRule> m_rules;
    std::vector<KeptValue> m_kept;
    std::string m_path;
};

} // namespace qm::store
