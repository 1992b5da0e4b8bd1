// AddressBook: a list of (name, e-mail address, comment) entries kept in a text file, "AddrBook.txt" for a user.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qm::store {

struct AddressBookEntry {
    std::string Name;
    std::string EMail;
    std::string Comment;
};

/// The sort order of AddressBook::Sort that name names (ASCII case ignored), in its own spelling ("RevName"); null
/// for a name that names none.
const char* AddressBookSortOrder(std::string_view name);

/// An address book and the file it lives in. File format: one entry per line, name TAB e-mail TAB comment CR LF.
/// Reading accepts CR LF and bare LF, lines of any length; a line with fewer than two TABs, or beginning with ';' or
/// '#', is skipped; a third TAB ends the comment. Writing replaces every byte below 0x20 in a field (TAB, CR, LF
/// included) with a blank, so that no field can split an entry, and puts a blank before a name that begins with ';'
/// or '#', so that the entry is not read back as a comment line.
///
/// Not thread-safe: one thread at a time.
class AddressBook {
public:
    /// The file name of a user's address book in the user directory.
    static constexpr const char* kFileName = "AddrBook.txt";

    /// What the argument of the constructor names.
    enum class PathKind {
        Directory, ///< a directory holding kFileName
        File,      ///< the file itself
    };

    /// A book without a file: Load and Save fail.
    AddressBook() = default;

    /// A book kept in the file that dirOrFile names (see PathKind), loaded at once. A null or empty dirOrFile gives
    /// a book without a file.
    AddressBook(const char* dirOrFile, PathKind kind);

    /// Drops every entry and reads the file. False without a file or when it cannot be opened (the book is then
    /// empty).
    bool Load();

    /// Writes every entry to the file (created or truncated). False without a file or when it cannot be created or
    /// written.
    bool Save() const;

    /// Appends an entry with copies of the texts (null gives "").
    void AddEntry(const char* name, const char* email, const char* comment);

    /// Appends copies of every entry of other (which may be this book).
    void Merge(const AddressBook& other);

    /// Sorts by the order that orderName names, compared without regard to ASCII case, ties broken as shown:
    /// "Name" (name, ties by e-mail), "RevName" (name descending, ties by e-mail ascending), "EMail" (e-mail, ties
    /// by name), "RevEMail" (e-mail descending, ties by name ascending), "Comment" (comment, ties by name),
    /// "RevComment" (comment descending, ties by name ascending). Any other name sorts as "Name"; a null or empty
    /// name leaves the order. Entries equal in both keys keep their order.
    void Sort(const char* orderName);

    /// Drops every entry (the file is untouched until Save).
    void Clear() { m_entries.clear(); }

    int Count() const { return static_cast<int>(m_entries.size()); }

    /// The entry at index 0..Count()-1.
    const AddressBookEntry& Item(int index) const;

    /// The file's path, or null for a book without a file.
    const char* Path() const { return m_path.empty() ? nullptr : m_path.c_str(); }

private:
    std::vector<AddressBookEntry> m_entries;
    std::string m_path;
};

} // namespace qm::store
