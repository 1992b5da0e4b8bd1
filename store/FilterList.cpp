#include "store/FilterList.h"

#include "base/Assert.h"
#include "common/IniAccess.h"
#include "common/IniCache.h"
#include "common/StringUtil.h"
#include "platform/IniFile.h"
#include "platform/Path.h"
#include "store/FolderList.h"
#include "store/HeaderBlock.h"
#include "store/StoreSeams.h"
#include "store/StoreText.h"

#include <algorithm>
#include <string>

namespace qm::store {

namespace {

char UpperAscii(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - ('a' - 'A')) : c;
}

bool ContainsNoCase(std::string_view haystack, std::string_view needle)
{
    if (needle.size() > haystack.size()) {
        return false;
    }
    for (std::size_t i = 0; i + needle.size() <= haystack.size(); ++i) {
        if (StartsWithNoCase(haystack.substr(i), needle)) {
            return true;
        }
    }
    return false;
}

// The value that a rule's header letter looks at.
std::string_view ValueFor(char header, const HeaderBlock& headers, std::string_view mailbox)
{
    switch (header) {
    case 'C':
        return headers.GetValue("CC");
    case 'F':
        return headers.GetValue("From");
    case 'M':
        return mailbox;
    case 'N':
        return headers.GetValue("Sender");
    case 'S':
        return headers.GetValue("Subject");
    case 'T':
        return headers.GetValue("To");
    default:
        return {};
    }
}

bool Matches(char op, std::string_view value, std::string_view text)
{
    switch (op) {
    case 'C':
        return ContainsNoCase(value, text);
    case 'N':
        return !ContainsNoCase(value, text);
    case 'I':
        return EqualsNoCase(value, text);
    case 'S':
        return StartsWithNoCase(value, text);
    case 'E':
        return EndsWithNoCase(value, text);
    default:
        return false;
    }
}

// A folder that a rule may name: a valid folder name that the stored form can carry back unchanged.
bool IsRuleFolder(std::string_view folder)
{
    return IsValidFolderName(folder) && folder.find('"') == std::string_view::npos;
}

// Reads one rule from the cleaned text s (no byte below 0x20 in it). Malformed when a part is missing.
FilterList::AddResult ParseRule(std::string_view s, FilterRule& rule)
{
    std::size_t i = 0;
    auto skipBlanks = [&] {
        while (i < s.size() && s[i] == ' ') {
            ++i;
        }
    };
    auto nextLetter = [&](char& letter) {
        skipBlanks();
        if (i >= s.size()) {
            return false;
        }
        letter = UpperAscii(s[i++]);
        return true;
    };
    char active = 0;
    if (!nextLetter(active) || !nextLetter(rule.Header) || !nextLetter(rule.Operator)) {
        return FilterList::AddResult::Malformed;
    }
    rule.Active = active == 'Y';

    skipBlanks();
    if (i >= s.size()) {
        return FilterList::AddResult::Malformed;
    }
    std::size_t end = 0;
    if (s[i] == '"') {
        // A quoted text ends at the next '"' that a blank follows.
        end = s.find("\" ", i + 1);
        ++i;
    } else {
        end = s.find(' ', i);
    }
    if (end == std::string_view::npos) {
        return FilterList::AddResult::Malformed;
    }
    rule.Text.assign(s.substr(i, std::min(end - i, FilterList::kMaxText)));
    i = s[end] == '"' ? end + 1 : end;

    skipBlanks();
    if (i >= s.size()) {
        return FilterList::AddResult::Malformed;
    }
    std::string_view folder = s.substr(i);
    if (s[i] == '"') {
        const std::size_t last = s.rfind('"');
        if (last == i) {
            return FilterList::AddResult::Malformed;
        }
        folder = s.substr(i + 1, last - i - 1);
    }
    rule.Folder = platform::NativePath(folder);
    return IsRuleFolder(rule.Folder) ? FilterList::AddResult::Added : FilterList::AddResult::Refused;
}

std::string KeyFor(int index)
{
    return "Filter" + std::to_string(index);
}

} // namespace

std::string FilterList::FormatRule(const FilterRule& rule)
{
    std::string line;
    line.reserve(rule.Text.size() + rule.Folder.size() + 12);
    line.push_back(rule.Active ? 'Y' : 'N');
    line.push_back(' ');
    line.push_back(rule.Header);
    line.push_back(' ');
    line.push_back(rule.Operator);
    line.append(" \"");
    line.append(rule.Text);
    line.append("\" \"");
    line.append(platform::StoredPath(rule.Folder));
    line.push_back('"');
    return line;
}

void FilterList::Load(const char* iniPath)
{
    if (iniPath != nullptr) {
        m_path = iniPath;
    }
    m_rules.clear();
    m_kept.clear();
    if (m_path.empty()) {
        return;
    }
    const IniSnapshot ini = LoadIniCached(m_path);
    for (int i = 0; i < kMaxRules; ++i) {
        std::optional<std::string> value = ini->Get(kSection, KeyFor(i));
        if (!value || value->empty()) {
            continue;
        }
        const AddResult added = AddFromText(*value);
        if (added == AddResult::Added) {
            continue;
        }
        // No rule, but it may be one that another version or program understands: Save writes it back as it is.
        ReportSkippedRecord(m_path, "key " + KeyFor(i) + " of [" + kSection + "]",
                            added == AddResult::Refused
                                    ? "is no usable rule (its folder cannot be used); it is kept as it stands"
                                    : "is no rule (a letter, the text or the folder is missing); it is kept as it "
                                      "stands");
        m_kept.push_back(KeptValue{m_rules.size(), std::move(*value)});
    }
}

void FilterList::AddSaveChanges(std::vector<platform::IniChange>& changes) const
{
    // The section is replaced whole in the same rewrite: no reader sees it half written, and a failed write keeps
    // the rules on disk as they were.
    changes.push_back(platform::IniChange{kSection, std::string(), std::nullopt});
    int number = 0;
    auto add = [&](std::string value) {
        changes.push_back(platform::IniChange{kSection, KeyFor(number++), std::move(value)});
    };
    std::size_t nextKept = 0;
    for (std::size_t i = 0; i < m_rules.size(); ++i) {
        for (; nextKept < m_kept.size() && m_kept[nextKept].Before <= i; ++nextKept) {
            add(IniValueAsRead(m_kept[nextKept].Text));
        }
        add(FormatRule(m_rules[i]));
    }
    for (; nextKept < m_kept.size(); ++nextKept) {
        add(IniValueAsRead(m_kept[nextKept].Text));
    }
}

int FilterList::Save() const
{
    if (m_path.empty()) {
        return -1;
    }
    std::vector<platform::IniChange> changes;
    AddSaveChanges(changes);
    if (!WriteIniChangesFile(m_path, changes)) {
        return -1;
    }
    return Count();
}

FilterList::AddResult FilterList::AddFromText(std::string_view text)
{
    if (m_rules.size() + m_kept.size() >= static_cast<std::size_t>(kMaxRules)) {
        return AddResult::Full;
    }
    FilterRule rule;
    const AddResult result = ParseRule(CleanedRecordValue(text), rule);
    if (result == AddResult::Added) {
        m_rules.push_back(std::move(rule));
    }
    return result;
}

std::string_view FilterList::Match(const HeaderBlock& headers, std::string_view mailbox, std::string_view def) const
{
    for (const FilterRule& rule : m_rules) {
        if (rule.Active && Matches(rule.Operator, ValueFor(rule.Header, headers, mailbox), rule.Text)) {
            return rule.Folder;
        }
    }
    return def;
}

bool FilterList::RenameFolder(std::string_view oldName, std::string_view newName)
{
    bool changed = false;
    for (FilterRule& rule : m_rules) {
        if (!IsFolderOrBelow(rule.Folder, oldName)) {
            continue;
        }
        std::string renamed(newName);
        renamed.append(rule.Folder, oldName.size());
        if (IsRuleFolder(renamed) && renamed != rule.Folder) {
            rule.Folder = std::move(renamed);
            changed = true;
        }
    }
    if (changed) {
        static_cast<void>(Save());
    }
    return changed;
}

bool FilterList::RemoveFolder(std::string_view folder)
{
    std::size_t removed = 0;
    for (int i = Count() - 1; i >= 0; --i) {
        if (IsFolderOrBelow(m_rules[static_cast<std::size_t>(i)].Folder, folder)) {
            RemoveRule(i);
            ++removed;
        }
    }
    if (removed > 0) {
        static_cast<void>(Save());
    }
    return removed > 0;
}

void FilterList::RemoveRule(int index)
{
    QM_ASSERT(index >= 0 && index < Count());
    m_rules.erase(m_rules.begin() + index);
    for (KeptValue& kept : m_kept) {
        if (kept.Before > static_cast<std::size_t>(index)) {
            --kept.Before;
        }
    }
}

void FilterList::Clear()
{
    m_rules.clear();
    for (KeptValue& kept : m_kept) {
        kept.Before = 0;
    }
}

const FilterRule& FilterList::Item(int index) const
{
    QM_ASSERT(index >= 0 && index < Count());
    return m_rules[static_cast<std::size_t>(index)];
}

} // namespace qm::store
