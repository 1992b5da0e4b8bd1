#include "store/AddressBook.h"

#include "base/Assert.h"
#include "common/StringUtil.h"
#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "store/StoreText.h"

#include <algorithm>
#include <string_view>

namespace qm::store {

namespace {

const char* OrEmpty(const char* s)
{
    return s == nullptr ? "" : s;
}

using Field = std::string AddressBookEntry::*;

// A sort order: the key field, whether it runs descending, and the field that breaks ties (always ascending).
struct SortOrder {
    const char* Name;
    Field Key;
    bool Descending;
    Field Tie;
};

constexpr SortOrder kOrders[] = {
        {"Name", &AddressBookEntry::Name, false, &AddressBookEntry::EMail},
        {"RevName", &AddressBookEntry::Name, true, &AddressBookEntry::EMail},
        {"EMail", &AddressBookEntry::EMail, false, &AddressBookEntry::Name},
        {"RevEMail", &AddressBookEntry::EMail, true, &AddressBookEntry::Name},
        {"Comment", &AddressBookEntry::Comment, false, &AddressBookEntry::Name},
        {"RevComment", &AddressBookEntry::Comment, true, &AddressBookEntry::Name},
};

const SortOrder& FindOrder(std::string_view name)
{
    for (const SortOrder& order : kOrders) {
        if (EqualsNoCase(order.Name, name)) {
            return order;
        }
    }
    return kOrders[0];
}

// Splits one line of the file into an entry; false for a line that holds none.
bool ParseLine(std::string_view line, AddressBookEntry& entry)
{
    if (line.empty() || line[0] == ';' || line[0] == '#') {
        return false;
    }
    const std::size_t tab1 = line.find('\t');
    const std::size_t tab2 = tab1 == std::string_view::npos ? tab1 : line.find('\t', tab1 + 1);
    if (tab2 == std::string_view::npos) {
        return false;
    }
    const std::size_t tab3 = line.find('\t', tab2 + 1);
    entry.Name.assign(line.substr(0, tab1));
    entry.EMail.assign(line.substr(tab1 + 1, tab2 - tab1 - 1));
    entry.Comment.assign(line.substr(tab2 + 1, tab3 == std::string_view::npos ? tab3 : tab3 - tab2 - 1));
    return true;
}

} // namespace

const char* AddressBookSortOrder(std::string_view name)
{
    for (const SortOrder& order : kOrders) {
        if (EqualsNoCase(order.Name, name)) {
            return order.Name;
        }
    }
    return nullptr;
}

AddressBook::AddressBook(const char* dirOrFile, PathKind kind)
{
    const std::string_view arg = OrEmpty(dirOrFile);
    if (!arg.empty()) {
        m_path = kind == PathKind::Directory ? platform::PathJoin(arg, kFileName) : std::string(arg);
        // An existing file is found whatever the case of its name ("addrbook.txt"); a new one gets the name as given.
        const std::size_t nameStart = m_path.rfind('/') + 1; // 0 without a '/'
        const std::string dir = nameStart == 0 ? "." : nameStart == 1 ? "/" : m_path.substr(0, nameStart - 1);
        const std::string name = m_path.substr(nameStart);
        if (const auto found = platform::ResolveNoCase(dir, name); found && *found != name) {
            m_path.resize(nameStart);
            m_path += *found;
        }
    }
    static_cast<void>(Load());
}

bool AddressBook::Load()
{
    m_entries.clear();
    FilePtr file = OpenFile(Path(), "rb");
    if (!file) {
        return false;
    }
    LineReader reader(file.get());
    std::string line;
    AddressBookEntry entry;
    while (reader.Next(line)) {
        if (ParseLine(line, entry)) {
            m_entries.push_back(entry);
        }
    }
    return !reader.Failed();
}

bool AddressBook::Save() const
{
    if (Path() == nullptr) {
        return false;
    }
    std::string data;
    for (const AddressBookEntry& e : m_entries) {
        if (!e.Name.empty() && (e.Name[0] == ';' || e.Name[0] == '#')) {
            data.push_back(' ');
        }
        AppendRecordField(data, e.Name, '\t');
        AppendRecordField(data, e.EMail, '\t');
        AppendRecordField(data, e.Comment, '\r');
        data.push_back('\n');
    }
    // Written as one step: a crash leaves the old book or the new one, never a part of it.
    return platform::WriteFileAtomic(m_path, data).has_value();
}

void AddressBook::AddEntry(const char* name, const char* email, const char* comment)
{
    m_entries.push_back({OrEmpty(name), OrEmpty(email), OrEmpty(comment)});
}

void AddressBook::Merge(const AddressBook& other)
{
    // By index, with room made first: other may be this very book.
    const std::size_t n = other.m_entries.size();
    m_entries.reserve(m_entries.size() + n);
    for (std::size_t i = 0; i < n; ++i) {
        m_entries.push_back(other.m_entries[i]);
    }
}

void AddressBook::Sort(const char* orderName)
{
    if (orderName == nullptr || *orderName == '\0') {
        return;
    }
    const SortOrder& order = FindOrder(orderName);
    std::stable_sort(m_entries.begin(), m_entries.end(),
                     [&order](const AddressBookEntry& a, const AddressBookEntry& b) {
                         int c = CompareNoCase(a.*order.Key, b.*order.Key);
                         if (order.Descending) {
                             c = -c;
                         }
                         if (c == 0) {
                             c = CompareNoCase(a.*order.Tie, b.*order.Tie);
                         }
                         return c < 0;
                     });
}

const AddressBookEntry& AddressBook::Item(int index) const
{
    QM_ASSERT(index >= 0 && index < Count());
    return m_entries[static_cast<std::size_t>(index)];
}

} // namespace qm::store
