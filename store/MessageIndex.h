// MessageIndex: every message of one user, in all folders, listed in the user directory's "Messages.idx", with the
// List page's view state (visible entries, sort state, current page).
#pragma once

#include "store/PartIndex.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace qm::store {

class FolderList;
class MessageIndex;

/// The name of the index file in the user directory.
inline constexpr const char* kMessageIndexFile = "Messages.idx";

/// The journal of fetched messages in the user directory: the account and UID of every fetched message placed
/// since the index was last saved, so that a message file adopted after a crash keeps them and is not fetched again,
/// and of every message stored by a run that deletes after fetching until its deletion on the server is confirmed.
inline constexpr const char* kFetchJournalFile = ".Fetched.journal";

/// The message files in the user directory whose removal failed (a deleted message's, or the old name of a moved
/// one), one path a line relative to the user directory with '\' between levels: the adoption of folder files leaves
/// them alone, so a deleted message never comes back, and every Save of the index tries to remove them again.
inline constexpr const char* kPendingRemovalsFile = ".Removals.pending";

/// What a fetched message's copy on the server awaits.
enum class ServerCopy {
    Kept,        ///< it stays, or goes only when it is deleted here
    DeletionDue, ///< it is deleted right after the fetch; the journal names it until the deletion is confirmed
};

/// The longest To, From and Subject an entry keeps: longer values are cut (never inside a UTF-8 sequence) when set,
/// so that index lines stay of sane length.
inline constexpr std::size_t kMaxEntryHeaderValue = 1023;

/// The highest message number; the next number after it is 1 again.
inline constexpr std::uint32_t kMaxMessageNumber = 999999;

/// The flag bits of an entry.
namespace MessageFlag {
inline constexpr std::uint32_t New = 0x001;
inline constexpr std::uint32_t Urgent = 0x002;
inline constexpr std::uint32_t Read = 0x004;
inline constexpr std::uint32_t Replied = 0x008;
inline constexpr std::uint32_t Forwarded = 0x010;
inline constexpr std::uint32_t HasAttachments = 0x020;
inline constexpr std::uint32_t Draft = 0x040;
inline constexpr std::uint32_t Stored = 0x080;
/// Headers-only copies of the entry exist; they are filled when the text arrives.
inline constexpr std::uint32_t HeadersOnlyCopies = 0x100;
inline constexpr std::uint32_t ConfirmReading = 0x200;
} // namespace MessageFlag

/// The file name (without extension) of message number: "QM%06d".
std::string MessageFileId(std::uint32_t number);

/// One message of an index. Owned by its index; every change through a setter marks the index dirty. Text values
/// are stored with every byte below 0x20 replaced by a blank, so no value can split a line of the index file.
class MessageIndexEntry {
public:
    MessageIndexEntry(const MessageIndexEntry&) = delete;
    MessageIndexEntry& operator=(const MessageIndexEntry&) = delete;

    std::uint32_t Number() const { return m_number; }

    const std::string& Uid() const { return m_uid; }

    const std::string& Mailbox() const { return m_mailbox; }

    const std::string& To() const { return m_to; }

    const std::string& From() const { return m_from; }

    const std::string& Subject() const { return m_subject; }

    /// Seconds since 1970 UTC; 0 when the message gave no usable date.
    std::int64_t Date() const { return m_date; }

    std::int32_t Size() const { return m_size; }

    /// '/' between levels; "" for a message deleted here whose deletion on the server is still due.
    const std::string& Folder() const { return m_folder; }

    const std::string& FileId() const { return m_fileId; }

    std::uint32_t Flags() const { return m_flags; }

    bool HasFlag(std::uint32_t flag) const { return (m_flags & flag) != 0; }

    bool Visible() const { return m_visible; }

    /// The index the entry belongs to.
    MessageIndex& Owner() const { return *m_owner; }

    void SetNumber(std::uint32_t number);
    void SetUid(std::string_view uid);
    void SetMailbox(std::string_view mailbox);
    /// To, From and Subject are cut to kMaxEntryHeaderValue bytes.
    void SetTo(std::string_view to);
    void SetFrom(std::string_view from);
    void SetSubject(std::string_view subject);
    void SetDate(std::int64_t date);
    void SetSize(std::int32_t size);
    void SetFolder(std::string_view folder);
    void SetFileId(std::string_view fileId);
    void SetFlags(std::uint32_t flags);
    /// Sets (on true) or clears the given flag bits.
    void ChangeFlags(std::uint32_t flags, bool on);

    /// SetRead(true) sets read and clears new; SetRead(false) clears read only.
    void SetRead(bool read);

    /// Moves the entry to folder dest ('/' between levels). A stored message's file first gets a second name in
    /// dest's directory (never over an existing file; on failure false and nothing changed), then its part index
    /// (failure ignored); the old names go at the index's next Save, once the index naming dest is on disk, so a
    /// crash leaves the file where the saved index looks for it. When dest differs from Folder (ASCII case ignored)
    /// the entry takes it and becomes invisible.
    bool MoveToFolder(std::string_view dest);

    /// The message file: user directory, folder, FileId and ".msg".
    std::string GetMessagePath() const;

    /// The part index file beside the message file (".att").
    std::string GetPartIndexPath() const;

    /// The message's parts: the cached list, else the ".att" file read; when that cannot be read the list is
    /// rebuilt from the message file (RebuildPartIndex) and, when the message file existed, written as the new
    /// ".att". Never null; the list stays owned by the entry.
    PartIndex* GetPartIndex();

    /// Walks the message file again with storing off and makes the part list found the cache; false when the
    /// message file cannot be read (the cache is then an empty list). Never changes the message file or the flags.
    bool RebuildPartIndex();

    /// Drops the cached part list, so the next GetPartIndex reads the ".att" file again.
    void ForgetPartIndex() { m_parts.reset(); }

private:
    friend class MessageIndex;

    explicit MessageIndexEntry(MessageIndex& owner)
        : m_owner(&owner)
    {}

    void Touch();
    void SetText(std::string& field, std::string_view value, std::size_t maxLength);

    MessageIndex* m_owner;
    std::uint32_t m_number = 0;
    std::string m_uid;
    std::string m_mailbox;
    std::string m_to;
    std::string m_from;
    std::string m_subject;
    std::int64_t m_date = 0;
    std::int32_t m_size = 0;
    std::string m_folder;
    std::string m_fileId;
    std::uint32_t m_flags = 0;
    std::unique_ptr<PartIndex> m_parts;
    bool m_visible = false;
};

/// The message index of one user. Not thread-safe: the owner's session lock serialises its use.
///
/// File format: the next message number and LF; then one line per entry: Uid, Mailbox, To, From, Subject, Date,
/// Size, Number, FileId, Folder ('\' between levels), Flags, each followed by the byte 0x01, and CR LF. Numbers are
/// decimal. A line with 16 or 17 separators is of the older layout and converted when read; a line with any other
/// count than 11 is skipped. Lines are read whole, however long.
class MessageIndex {
public:
    /// The index of userDir, loaded from its file (an empty index numbering from 1 when there is none).
    explicit MessageIndex(std::string userDir);
    ~MessageIndex();
    MessageIndex(const MessageIndex&) = delete;
    MessageIndex& operator=(const MessageIndex&) = delete;

    /// Reads the index file, appending its entries. False when it cannot be opened. Marks the index dirty at the
    /// end, so the next Save always writes the file.
    bool Load();

    /// Writes the file when the index is dirty, as one step (a crash leaves the old or the new file whole), then
    /// removes the files that deletions and moves left for it. True when nothing was to do or the write succeeded;
    /// when it fails those files stay for the next Save. An index destroyed without Save leaves them, as the index
    /// file on disk still names them. A file that cannot be removed is logged once and named in
    /// kPendingRemovalsFile, so that later Saves, also of the next sessions, try again.
    bool Save();

    const std::string& UserDir() const { return m_userDir; }

    /// Returns the next free message number and advances the counter: after kMaxMessageNumber it starts again at
    /// 1, and numbers held by an entry (as Number or as FileId) or whose message file exists in a folder of the
    /// index or in "Inbox" are skipped. 0 when every number is taken.
    std::uint32_t NextNumber();

    /// The counter as it stands (the number NextNumber tries first).
    std::uint32_t PeekNextNumber() const { return m_nextNumber; }

    /// Appends an empty entry (all texts "", numbers and flags 0) and returns it.
    MessageIndexEntry* NewEntry();

    int Count() const { return static_cast<int>(m_entries.size()); }

    MessageIndexEntry* Entry(int i) const { return m_entries[static_cast<std::size_t>(i)].get(); }

    /// Array index of entry, or -1.
    int IndexOf(const MessageIndexEntry* entry) const;
    MessageIndexEntry* FindByNumber(std::uint32_t number) const;

    /// Removes entry from the index and frees it.
    void RemoveEntry(MessageIndexEntry* entry);

    /// What DeleteEntry did with the entry.
    enum class DeleteOutcome {
        Failed, ///< the message path names something other than a file; the entry is unchanged
        Kept,   ///< fetched from a server (Uid and Mailbox set): kept with Folder "" until the server deletes it
        Freed,  ///< removed from the index; the pointer is no longer valid
    };

    /// Deletes the message: keeps the entry invisible with Folder "" or frees it (see DeleteOutcome); its message
    /// file and part index are removed by the next Save, after the index without them is on disk, so a crash never
    /// leaves a saved stored entry whose file is gone. The caller must drop every pointer to a freed entry.
    DeleteOutcome DeleteEntry(MessageIndexEntry* entry);

    /// Appends a copy of entry in folder dest under a new number and returns it (null on failure). The source's
    /// HeadersOnlyCopies bit is set when it is not stored and cleared when it is; the copy gets the source's flags.
    /// A stored message's file and part index are copied to the copy's names; when the message file cannot be copied
    /// the copy is removed again and the result is null.
    MessageIndexEntry* CopyToFolder(MessageIndexEntry* entry, std::string_view dest);

    /// Moves every entry of folder (ASCII case ignored), from the last to the first, to dest; with no dest they are
    /// deleted (DeleteEntry). False when any failed.
    bool MoveFolderMessages(std::string_view folder, const std::string* dest);

    /// Every entry in oldName or below it gets newName in place of oldName. False, changing nothing, when a new
    /// name would be longer than kMaxFolderName.
    bool RenameFolder(std::string_view oldName, std::string_view newName);

    /// Makes visible the entries of folder (ASCII case ignored) whose To, From or Subject holds search (ASCII case
    /// ignored; "" matches every entry) and whose Mailbox is mailbox ("" matches every entry).
    void SelectView(std::string_view folder, std::string_view search, std::string_view mailbox);
    int FirstVisible() const;
    int LastVisible() const;
    int PrevVisible(int i) const;
    int NextVisible(int i) const;
    int CountVisible() const;
    /// The 1-based page that holds array index i: visible entries before i divided by perPage (below 1 taken as 1),
    /// plus 1.
    int PageOf(int i, int perPage) const;

    int CountInFolder(std::string_view folder) const;
    int CountUnreadInFolder(std::string_view folder) const;
    /// Kilobytes of the stored messages, rounded.
    std::int64_t StoredSizeKB() const;

    /// Sorts the entries: orderName is "Date", "Size", "From", "To", "Subject" or "Mailbox", with "Rev" in front for
    /// the descending order (ASCII case ignored); any other name sorts as "RevDate". fromToMode 0 compares the
    /// display names of From and To, 1 their addresses, any other value the whole header. Text compares ignore
    /// ASCII case; equal keys put the newer Date first, then the higher Number. A subject's leading "Re:", "Fw:" or
    /// "Fwd:" (one blank after it too) is skipped.
    void Sort(std::string_view orderName, int fromToMode);

    /// Sets Mailbox to newName in every entry whose Mailbox is oldName (ASCII case ignored) and renames the
    /// mailbox's ".uid" and ".sig" files in the user directory (failures ignored). False, changing nothing, when a
    /// ".uid" or ".sig" file of newName exists already (unless the names differ only in case).
    [[nodiscard]] bool RenameMailbox(std::string_view oldName, std::string_view newName);

    /// Stores the message file at path again as a new message of folder and returns its new entry, or null when it
    /// could not. The message builder does this; the index only hands it the file.
    using RestoreFunction =
            std::function<MessageIndexEntry*(MessageIndex& index, const std::string& folder, const std::string& path)>;

    /// Brings the index in line with the message files of folders, once per session:
    /// 1. a ".msg" file in a folder directory without an entry of that folder and FileId (ASCII case ignored) is
    ///    linked or copied into scratchDir (never over another file there) and the copy given to restore; when
    ///    the entry it returns is stored, the original is removed, otherwise it stays; the copy is removed. With
    ///    no restore such files are left alone. Not orphans: a file waiting for removal at the next Save, and a
    ///    second name of a stored entry's message file in another folder (left by a move that a crash cut
    ///    short), which is removed with its part index name;
    /// 2. every stored entry of a folder whose message file was not found is removed. Entries that are not stored
    ///    (headers only) and entries with Folder "" (waiting for their server deletion) stay.
    /// Temporary files that a message builder or a save of the index stopped while writing left in the user
    /// directory go first.
    void AdoptFolderFiles(const FolderList& folders, const std::string& scratchDir, const RestoreFunction& restore);

    /// Names directory dir as holding a message file placed since the last Save: the next Save syncs it to disk
    /// before it writes the index, so a saved index never names a file whose directory entry a power loss could
    /// undo. One sync per directory and save instead of one per message.
    void SyncBeforeSave(const std::string& dir) { m_syncBeforeSave.insert(dir); }

    /// Appends to the fetch journal that the message file fileId of folder came from account mailbox with uid. A
    /// builder does this before it places the file; the next Save, once the index holds the entry, drops the file
    /// from the journal, and AdoptFolderFiles gives an adopted file the mailbox and UID the journal names for it.
    /// With ServerCopy::DeletionDue the journal keeps naming the message, across saves, until SettleDeletionsDue
    /// drops it; fileId and folder may then be empty (no file placed).
    void RecordFetched(std::string_view fileId, std::string_view folder, std::string_view mailbox, std::string_view uid,
                       ServerCopy copy = ServerCopy::Kept);

    /// The UIDs of the messages of mailbox (ASCII case ignored) whose deletion on the server the journal names as
    /// due.
    std::unordered_set<std::string> DeletionsDue(std::string_view mailbox) const;

    /// Keeps of the deletions due of mailbox (ASCII case ignored) those for which stillDue(uid) is true.
    void SettleDeletionsDue(std::string_view mailbox, const std::function<bool(const std::string& uid)>& stillDue);

    bool Dirty() const { return m_dirty; }

    void MarkDirty() { m_dirty = true; }

    /// The visible set must be computed again (SelectView clears the mark) / the order must be computed again
    /// (Sort clears it).
    bool ViewDirty() const { return m_viewDirty; }

    void MarkViewDirty() { m_viewDirty = true; }

    bool SortDirty() const { return m_sortDirty; }

    void MarkSortDirty() { m_sortDirty = true; }

    int CurrentPage() const { return m_currentPage; }

    void SetCurrentPage(int page) { m_currentPage = page; }

private:
    friend class MessageIndexEntry;

    bool NumberInUse(std::uint32_t number) const;
    void RemoveStaleTemporaries() const;
    void AddLine(std::string_view line);
    /// Gives the file from a second name to, taking it back from the removals due when it is already there.
    bool AddName(const std::string& from, const std::string& to, bool& linked);
    bool AwaitsRemoval(const std::string& path) const;
    bool WriteIndexFile();
    /// Removes the message file fileId of folder directory dir (and its part index) when it is a second name of a
    /// stored entry's files elsewhere, left by a move cut short; true when it was.
    bool RemoveIfStray(const std::string& dir, std::string_view fileId) const;

    // Files of deleted and moved messages, removed once the index without them is saved.
    std::vector<std::string> m_removeAfterSave;
    // Those whose removal failed as kPendingRemovalsFile names them, and those already logged.
    std::vector<std::string> m_pendingRemovals;
    std::set<std::string> m_removalsReported;
    void LoadPendingRemovals();
    void RemoveFilesAfterSave();
    std::set<std::string> m_syncBeforeSave;
    bool m_journalPending = false;

    /// Adds (delta 1) or takes away (-1) the numbers and the folder that entry e holds, keeping NextNumber's
    /// check of the numbers in use from walking every entry.
    void CountUses(const MessageIndexEntry& e, int delta);
    std::unordered_map<std::uint32_t, int> m_numberUses; // Number and FileId's number of every entry
    std::map<std::string, int> m_folderUses;             // the folders of the entries

    std::vector<std::unique_ptr<MessageIndexEntry>> m_entries;

    // The entries and unread entries of every folder (case folded), counted in one pass at the first count after a
    // change of the entries; the List page asks for them once per folder, and a pass over a large index each time
    // was most of the page's cost.
    struct FolderCounts {
        int Total = 0;
        int Unread = 0;
    };

    const FolderCounts* CountsOf(std::string_view folder) const;
    mutable std::unordered_map<std::string, FolderCounts> m_folderCounts;
    mutable bool m_countsValid = false;

    // The array indexes of the visible entries in ascending order, found at the first use after the visibility or
    // the order of the entries changed, so that stepping and paging through the view does not walk the index.
    const std::vector<int>& VisibleAt() const;

    void ForgetVisible() { m_visibleValid = false; }

    mutable std::vector<int> m_visibleAt;
    mutable bool m_visibleValid = false;

    std::uint32_t m_nextNumber = 1;
    std::string m_userDir;
    bool m_dirty = false;
    bool m_viewDirty = true;
    bool m_sortDirty = true;
    int m_currentPage = 1;
};

} // namespace qm::store
