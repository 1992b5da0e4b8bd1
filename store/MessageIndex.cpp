#include "store/MessageIndex.h"

#include "common/StringUtil.h"
#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "store/FetchJournal.h"
#include "store/FolderList.h"
#include "store/HeaderBlock.h"
#include "store/MailHostList.h"
#include "store/MessageBuilder.h"
#include "store/StoreText.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace qm::store {
namespace {

// value cut to at most maxLength bytes, backing off so that no UTF-8 sequence is split.
std::string_view CapText(std::string_view value, std::size_t maxLength)
{
    if (value.size() <= maxLength) {
        return value;
    }
    std::size_t cut = maxLength;
    while (cut > 0 && (static_cast<unsigned char>(value[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    return value.substr(0, cut);
}

// The subject without one leading reply or forward prefix ("Re:", "Fw:", "Fwd:", and one blank after it).
std::string_view SubjectKey(std::string_view subject)
{
    std::size_t skip = 0;
    if (subject.size() >= 3 && subject[2] == ':' &&
        (EqualsNoCase(subject.substr(0, 2), "re") || EqualsNoCase(subject.substr(0, 2), "fw"))) {
        skip = 3;
    } else if (subject.size() >= 4 && subject[3] == ':' && EqualsNoCase(subject.substr(0, 3), "fwd")) {
        skip = 4;
    }
    if (skip > 0 && skip < subject.size() && subject[skip] == ' ') {
        ++skip;
    }
    return subject.substr(skip);
}

std::string AddressKey(const std::string& header, int mode)
{
    if (mode != 0 && mode != 1) {
        return header;
    }
    std::string copy = header;
    if (mode == 0) {
        ExtractDisplayName(copy.data());
    } else {
        ExtractAddress(copy.data());
    }
    copy.resize(std::char_traits<char>::length(copy.c_str()));
    return copy;
}

bool ContainsNoCase(std::string_view text, std::string_view part)
{
    if (part.empty()) {
        return true;
    }
    if (part.size() > text.size()) {
        return false;
    }
    for (std::size_t i = 0; i + part.size() <= text.size(); ++i) {
        if (EqualsNoCase(text.substr(i, part.size()), part)) {
            return true;
        }
    }
    return false;
}

// The number a FileId "QM%06d" (ASCII case ignored) names; 0 for any other FileId.
std::uint32_t FileIdNumber(std::string_view fileId)
{
    if (fileId.size() != 8 || !EqualsNoCase(fileId.substr(0, 2), "qm")) {
        return 0;
    }
    std::uint32_t number = 0;
    for (const char c : fileId.substr(2)) {
        if (c < '0' || c > '9') {
            return 0;
        }
        number = number * 10 + static_cast<std::uint32_t>(c - '0');
    }
    return number;
}

bool IsYes(std::string_view field)
{
    return !field.empty() && (field[0] == 'Y' || field[0] == 'y');
}

} // namespace

std::string MessageFileId(std::uint32_t number)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "QM%06u", static_cast<unsigned>(number));
    return buf;
}

// ---- MessageIndexEntry ----

void MessageIndexEntry::Touch()
{
    m_owner->MarkDirty();
    m_owner->m_countsValid = false;
}

void MessageIndexEntry::SetText(std::string& field, std::string_view value, std::size_t maxLength)
{
    field.assign(CapText(value, maxLength));
    CleanRecordValue(field);
    Touch();
}

void MessageIndexEntry::SetNumber(std::uint32_t number)
{
    m_owner->CountUses(*this, -1);
    m_number = number;
    m_owner->CountUses(*this, 1);
    Touch();
}

void MessageIndexEntry::SetUid(std::string_view uid)
{
    SetText(m_uid, uid, std::string::npos);
}

void MessageIndexEntry::SetMailbox(std::string_view mailbox)
{
    SetText(m_mailbox, mailbox, std::string::npos);
}

void MessageIndexEntry::SetTo(std::string_view to)
{
    SetText(m_to, to, kMaxEntryHeaderValue);
}

void MessageIndexEntry::SetFrom(std::string_view from)
{
    SetText(m_from, from, kMaxEntryHeaderValue);
}

void MessageIndexEntry::SetSubject(std::string_view subject)
{
    SetText(m_subject, subject, kMaxEntryHeaderValue);
}

void MessageIndexEntry::SetDate(std::int64_t date)
{
    m_date = date < 0 ? 0 : date;
    Touch();
}

void MessageIndexEntry::SetSize(std::int32_t size)
{
    m_size = size;
    Touch();
}

void MessageIndexEntry::SetFolder(std::string_view folder)
{
    m_owner->CountUses(*this, -1);
    SetText(m_folder, folder, std::string::npos);
    m_owner->CountUses(*this, 1);
}

void MessageIndexEntry::SetFileId(std::string_view fileId)
{
    m_owner->CountUses(*this, -1);
    SetText(m_fileId, fileId, std::string::npos);
    m_owner->CountUses(*this, 1);
}

void MessageIndexEntry::SetFlags(std::uint32_t flags)
{
    // Flags set to what they are change nothing: the session's end clears the new flag of every entry, and an
    // index it leaves as it was need not be written again.
    if (flags == m_flags) {
        return;
    }
    m_flags = flags;
    Touch();
}

void MessageIndexEntry::ChangeFlags(std::uint32_t flags, bool on)
{
    SetFlags(on ? (m_flags | flags) : (m_flags & ~flags));
}

void MessageIndexEntry::SetRead(bool read)
{
    if (read) {
        SetFlags((m_flags | MessageFlag::Read) & ~MessageFlag::New);
    } else {
        ChangeFlags(MessageFlag::Read, false);
    }
}

bool MessageIndexEntry::MoveToFolder(std::string_view dest)
{
    if (EqualsNoCase(dest, m_folder)) {
        return true;
    }
    if (HasFlag(MessageFlag::Stored)) {
        // The file gets its new name first and loses the old one only once the index naming dest is saved: a
        // crash in between leaves two names of one file, which adoption tells from a message of its own.
        const std::string oldMessage = GetMessagePath();
        const std::string oldParts = GetPartIndexPath();
        const std::string dir = platform::PathJoin(m_owner->UserDir(), dest);
        bool linked = false;
        if (!m_owner->AddName(oldMessage, platform::PathJoin(dir, m_fileId + ".msg"), linked)) {
            return false;
        }
        if (linked) {
            m_owner->m_removeAfterSave.push_back(oldMessage);
        }
        if (m_owner->AddName(oldParts, platform::PathJoin(dir, m_fileId + ".att"), linked) && linked) {
            m_owner->m_removeAfterSave.push_back(oldParts);
        }
    }
    SetFolder(dest);
    m_visible = false;
    m_owner->ForgetVisible();
    return true;
}

std::string MessageIndexEntry::GetMessagePath() const
{
    const std::string folder = m_folder.substr(0, std::min(m_folder.size(), kMaxFolderName));
    return platform::PathJoin(platform::PathJoin(m_owner->UserDir(), folder), m_fileId + ".msg");
}

std::string MessageIndexEntry::GetPartIndexPath() const
{
    const std::string folder = m_folder.substr(0, std::min(m_folder.size(), kMaxFolderName));
    return platform::PathJoin(platform::PathJoin(m_owner->UserDir(), folder), m_fileId + ".att");
}

PartIndex* MessageIndexEntry::GetPartIndex()
{
    if (m_parts) {
        return m_parts.get();
    }
    auto parts = std::make_unique<PartIndex>();
    const std::string attPath = GetPartIndexPath();
    if (parts->Read(attPath.c_str())) {
        m_parts = std::move(parts);
        return m_parts.get();
    }
    if (RebuildPartIndex()) {
        static_cast<void>(m_parts->Write(attPath.c_str()));
    }
    return m_parts.get();
}

bool MessageIndexEntry::RebuildPartIndex()
{
    m_parts = std::make_unique<PartIndex>();
    std::FILE* file = std::fopen(GetMessagePath().c_str(), "rb");
    if (file == nullptr) {
        return false;
    }
    MessageBuilder builder(*this);
    static_cast<void>(builder.Begin(m_size, false));
    char* buffer = nullptr;
    std::size_t capacity = 0;
    for (ssize_t n; (n = ::getline(&buffer, &capacity, file)) > 0;) {
        std::size_t length = static_cast<std::size_t>(n);
        if (buffer[length - 1] == '\n') {
            --length;
            if (length > 0 && buffer[length - 1] == '\r') {
                --length;
            }
        }
        builder.AddReadLine(std::string_view(buffer, length), static_cast<std::uint64_t>(n));
    }
    std::free(buffer);
    static_cast<void>(std::fclose(file));
    static_cast<void>(builder.Finish());
    *m_parts = builder.TakeParts();
    return true;
}

// ---- MessageIndex ----

MessageIndex::MessageIndex(std::string userDir)
    : m_userDir(std::move(userDir))
{
    static_cast<void>(Load());
    LoadPendingRemovals();
}

MessageIndex::~MessageIndex() = default;

bool MessageIndex::Load()
{
    const std::string path = platform::PathJoin(m_userDir, kMessageIndexFile);
    FilePtr file = OpenFile(path.c_str(), "rb");
    if (!file) {
        return false;
    }
    LineReader reader(file.get());
    std::string line;
    if (reader.Next(line)) {
        const long long next = ParseDecimal(line);
        m_nextNumber = (next >= 1 && next <= kMaxMessageNumber) ? static_cast<std::uint32_t>(next) : 1;
    }
    while (reader.Next(line)) {
        AddLine(line);
    }
    m_dirty = true;
    return true;
}

void MessageIndex::AddLine(std::string_view line)
{
    // The fields before each separator; a line with more separators than any layout has is skipped below.
    std::array<std::string_view, 18> fields;
    std::size_t separators = 0;
    std::size_t start = 0;
    for (std::size_t i = 0; i < line.size() && separators < fields.size(); ++i) {
        if (line[i] == '\x01') {
            fields[separators++] = line.substr(start, i - start);
            start = i + 1;
        }
    }
    if (separators != 11 && separators != 16 && separators != 17) {
        return;
    }
    auto entry = std::unique_ptr<MessageIndexEntry>(new MessageIndexEntry(*this));
    MessageIndexEntry& e = *entry;
    // Values already in the file are kept whole (only cleaned): the cap on To, From and Subject applies when an
    // entry is made, and cutting here would change a message's headers at every load.
    e.m_uid = CleanedRecordValue(fields[0]);
    e.m_mailbox = CleanedRecordValue(fields[1]);
    e.m_to = CleanedRecordValue(fields[2]);
    e.m_from = CleanedRecordValue(fields[3]);
    e.m_subject = CleanedRecordValue(fields[4]);
    if (separators == 11) {
        e.SetDate(ParseDecimal(fields[5]));
        e.SetSize(static_cast<std::int32_t>(ParseDecimal(fields[6])));
        e.SetNumber(static_cast<std::uint32_t>(ParseDecimal(fields[7])));
        e.SetFileId(fields[8]);
        e.SetFolder(platform::NativePath(fields[9]));
        e.SetFlags(static_cast<std::uint32_t>(ParseDecimal(fields[10])));
    } else {
        e.SetDate(ParseDecimal(fields[7]));
        e.SetSize(static_cast<std::int32_t>(ParseDecimal(fields[8])));
        e.SetNumber(static_cast<std::uint32_t>(ParseDecimal(fields[10])));
        e.SetFileId(fields[11]);
        // The older layout kept '\' in memory too; the folder list and the adoption of folder files expect '/'.
        e.SetFolder(platform::NativePath(fields[12]));
        std::uint32_t flags = 0;
        flags |= IsYes(fields[9]) ? MessageFlag::HasAttachments : 0;
        flags |= IsYes(fields[13]) ? MessageFlag::Stored : 0;
        flags |= IsYes(fields[14]) ? MessageFlag::Read : 0;
        flags |= IsYes(fields[15]) ? MessageFlag::Draft : 0;
        const HeaderBlock headers = HeaderBlock::ReadFile(e.GetMessagePath().c_str());
        const char* priority = headers.GetValue("X-Priority");
        const char* plain = headers.GetValue("Priority");
        if (priority[0] == '1' || StartsWithNoCase(plain, "urgent")) {
            flags |= MessageFlag::Urgent;
        }
        e.SetFlags(flags);
    }
    m_entries.push_back(std::move(entry));
    m_viewDirty = true;
    m_sortDirty = true;
    m_countsValid = false;
    m_visibleValid = false;
}

bool MessageIndex::Save()
{
    for (const std::string& dir : m_syncBeforeSave) {
        platform::SyncDirectory(dir);
    }
    m_syncBeforeSave.clear();
    if (m_dirty && !WriteIndexFile()) {
        return false;
    }
    if (m_journalPending) {
        // Every file the journal names has its entry in the saved index now; deletions still due stay.
        const std::string journal = platform::PathJoin(m_userDir, kFetchJournalFile);
        std::vector<FetchJournalLine> due = ReadFetchJournal(journal);
        std::erase_if(due, [](const FetchJournalLine& line) { return !line.DeletionDue; });
        for (FetchJournalLine& line : due) {
            line.FileId.clear();
            line.Folder.clear();
        }
        static_cast<void>(WriteFetchJournal(journal, due));
        m_journalPending = false;
    }
    RemoveFilesAfterSave();
    return true;
}

bool MessageIndex::AddName(const std::string& from, const std::string& to, bool& linked)
{
    linked = false;
    const auto due = std::find(m_removeAfterSave.begin(), m_removeAfterSave.end(), to);
    if (due != m_removeAfterSave.end() && platform::SameFile(from, to)) {
        // Moved back before the index was saved: the old name stays after all.
        m_removeAfterSave.erase(due);
        linked = true;
        return true;
    }
    // The new name's directory is synced once at the next Save, before the index naming it is written: a move of
    // many messages costs one sync per folder instead of one per message.
    const Result<void> link = platform::LinkFile(from, to, platform::DirSync::Later);
    if (link.has_value()) {
        SyncBeforeSave(platform::ParentDirectory(to));
        linked = true;
        return true;
    }
    const int code = link.error().Code;
    if (code != EXDEV && code != EPERM && code != EMLINK && code != ENOTSUP) {
        return false;
    }
    // No second name possible here (another file system, or none that keeps links): move it at once.
    if (!platform::MoveNoReplace(from, to).has_value()) {
        return false;
    }
    SyncBeforeSave(platform::ParentDirectory(to));
    return true;
}

bool MessageIndex::AwaitsRemoval(const std::string& path) const
{
    return std::find(m_removeAfterSave.begin(), m_removeAfterSave.end(), path) != m_removeAfterSave.end();
}

bool MessageIndex::RemoveIfStray(const std::string& dir, std::string_view fileId) const
{
    const std::string message = platform::PathJoin(dir, std::string(fileId) + ".msg");
    const std::string parts = platform::PathJoin(dir, std::string(fileId) + ".att");
    for (const auto& e : m_entries) {
        if (e->HasFlag(MessageFlag::Stored) && !e->m_folder.empty() && EqualsNoCase(e->m_fileId, fileId) &&
            platform::SameFile(e->GetMessagePath(), message)) {
            static_cast<void>(platform::RemoveFile(message));
            if (platform::SameFile(e->GetPartIndexPath(), parts)) {
                static_cast<void>(platform::RemoveFile(parts));
            }
            return true;
        }
    }
    return false;
}

bool MessageIndex::WriteIndexFile()
{
    std::string text = std::to_string(m_nextNumber) + "\n";
    for (const auto& e : m_entries) {
        AppendRecordField(text, e->m_uid, '\x01');
        AppendRecordField(text, e->m_mailbox, '\x01');
        AppendRecordField(text, e->m_to, '\x01');
        AppendRecordField(text, e->m_from, '\x01');
        AppendRecordField(text, e->m_subject, '\x01');
        AppendRecordField(text, std::to_string(e->m_date), '\x01');
        AppendRecordField(text, std::to_string(static_cast<std::uint32_t>(e->m_size)), '\x01');
        AppendRecordField(text, std::to_string(e->m_number), '\x01');
        AppendRecordField(text, e->m_fileId, '\x01');
        AppendRecordField(text, platform::StoredPath(e->m_folder), '\x01');
        AppendRecordField(text, std::to_string(e->m_flags), '\x01');
        text += "\r\n";
    }
    if (!platform::WriteFileAtomic(platform::PathJoin(m_userDir, kMessageIndexFile), text).has_value()) {
        return false;
    }
    m_dirty = false;
    return true;
}

void MessageIndex::CountUses(const MessageIndexEntry& e, int delta)
{
    auto count = [delta](auto& uses, const auto& key) {
        auto [it, added] = uses.try_emplace(key, 0);
        it->second += delta;
        if (it->second <= 0) {
            uses.erase(it);
        }
    };
    if (e.m_number != 0) {
        count(m_numberUses, e.m_number);
    }
    if (const std::uint32_t fromId = FileIdNumber(e.m_fileId); fromId != 0 && fromId != e.m_number) {
        count(m_numberUses, fromId);
    }
    if (!e.m_folder.empty()) {
        count(m_folderUses, e.m_folder);
    }
}

bool MessageIndex::NumberInUse(std::uint32_t number) const
{
    if (m_numberUses.contains(number)) {
        return true;
    }
    const std::string file = MessageFileId(number) + ".msg";
    auto fileIn = [&](const std::string& folder) {
        return platform::PathExists(platform::PathJoin(platform::PathJoin(m_userDir, folder), file));
    };
    return fileIn("Inbox") || std::any_of(m_folderUses.begin(), m_folderUses.end(),
                                          [&](const auto& use) { return use.first != "Inbox" && fileIn(use.first); });
}

std::uint32_t MessageIndex::NextNumber()
{
    for (std::uint32_t tries = 0; tries < kMaxMessageNumber; ++tries) {
        const std::uint32_t number = m_nextNumber;
        m_nextNumber = number >= kMaxMessageNumber ? 1 : number + 1;
        m_dirty = true;
        if (!NumberInUse(number)) {
            return number;
        }
    }
    return 0;
}

MessageIndexEntry* MessageIndex::NewEntry()
{
    m_entries.push_back(std::unique_ptr<MessageIndexEntry>(new MessageIndexEntry(*this)));
    m_dirty = true;
    m_viewDirty = true;
    m_sortDirty = true;
    m_countsValid = false;
    m_visibleValid = false;
    return m_entries.back().get();
}

int MessageIndex::IndexOf(const MessageIndexEntry* entry) const
{
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        if (m_entries[i].get() == entry) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

MessageIndexEntry* MessageIndex::FindByNumber(std::uint32_t number) const
{
    for (const auto& e : m_entries) {
        if (e->m_number == number) {
            return e.get();
        }
    }
    return nullptr;
}

void MessageIndex::RemoveEntry(MessageIndexEntry* entry)
{
    const int i = IndexOf(entry);
    if (i >= 0) {
        CountUses(*entry, -1);
        m_entries.erase(m_entries.begin() + i);
        m_dirty = true;
        m_countsValid = false;
        m_visibleValid = false;
    }
}

MessageIndex::DeleteOutcome MessageIndex::DeleteEntry(MessageIndexEntry* entry)
{
    const std::string message = entry->GetMessagePath();
    if (platform::PathExists(message) && !platform::IsRegularFile(message)) {
        return DeleteOutcome::Failed;
    }
    // The files go once the index without them is saved: a crash before that keeps message and entry together.
    if (!entry->m_folder.empty()) {
        m_removeAfterSave.push_back(message);
        m_removeAfterSave.push_back(entry->GetPartIndexPath());
    }
    entry->SetFolder("");
    entry->m_visible = false;
    m_visibleValid = false;
    if (!entry->m_uid.empty() && !entry->m_mailbox.empty()) {
        return DeleteOutcome::Kept;
    }
    RemoveEntry(entry);
    return DeleteOutcome::Freed;
}

MessageIndexEntry* MessageIndex::CopyToFolder(MessageIndexEntry* source, std::string_view dest)
{
    const std::uint32_t number = NextNumber();
    if (number == 0) {
        return nullptr;
    }
    MessageIndexEntry& copy = *NewEntry();
    copy.SetNumber(number);
    copy.SetFileId(MessageFileId(number));
    copy.m_uid = source->m_uid;
    copy.m_mailbox = source->m_mailbox;
    copy.m_to = source->m_to;
    copy.m_from = source->m_from;
    copy.m_subject = source->m_subject;
    copy.m_date = source->m_date;
    copy.m_size = source->m_size;
    copy.SetFolder(dest);
    const bool stored = source->HasFlag(MessageFlag::Stored);
    source->ChangeFlags(MessageFlag::HeadersOnlyCopies, !stored);
    copy.SetFlags(source->m_flags);
    if (stored) {
        if (!platform::CopyFile(source->GetMessagePath(), copy.GetMessagePath(), platform::CopyMode::NoReplace)
                     .has_value()) {
            RemoveEntry(&copy);
            return nullptr;
        }
        static_cast<void>(
                platform::CopyFile(source->GetPartIndexPath(), copy.GetPartIndexPath(), platform::CopyMode::NoReplace));
    }
    return &copy;
}

bool MessageIndex::MoveFolderMessages(std::string_view folder, const std::string* dest)
{
    bool ok = true;
    for (int i = Count() - 1; i >= 0; --i) {
        MessageIndexEntry* e = Entry(i);
        if (!EqualsNoCase(e->m_folder, folder)) {
            continue;
        }
        if (dest != nullptr) {
            ok = e->MoveToFolder(*dest) && ok;
        } else {
            ok = DeleteEntry(e) != DeleteOutcome::Failed && ok;
        }
    }
    return ok;
}

bool MessageIndex::RenameFolder(std::string_view oldName, std::string_view newName)
{
    for (const auto& e : m_entries) {
        if (IsFolderOrBelow(e->m_folder, oldName) &&
            newName.size() + (e->m_folder.size() - oldName.size()) > kMaxFolderName) {
            return false;
        }
    }
    for (const auto& e : m_entries) {
        if (IsFolderOrBelow(e->m_folder, oldName)) {
            e->SetFolder(std::string(newName) + e->m_folder.substr(oldName.size()));
        }
    }
    return true;
}

// A builder killed while it wrote left its hidden temporary message file in the user directory, and a save of the
// index killed before its rename its hidden ".Messages.idx.*.tmp": no entry names them, and nothing else writes
// there while the user's session is being set up.
void MessageIndex::RemoveStaleTemporaries() const
{
    const std::string indexTemp = std::string(".") + kMessageIndexFile + ".";
    std::error_code error;
    for (std::filesystem::directory_iterator it(m_userDir, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        if ((name.size() > 12 && name.compare(0, 3, ".QM") == 0 &&
             (EndsWithNoCase(name, ".msg.tmp") || EndsWithNoCase(name, ".att.tmp"))) ||
            (name.starts_with(indexTemp) && name.ends_with(".tmp"))) {
            static_cast<void>(platform::RemoveFile(it->path().string()));
        }
    }
}

void MessageIndex::RecordFetched(std::string_view fileId, std::string_view folder, std::string_view mailbox,
                                 std::string_view uid, ServerCopy copy)
{
    const std::string line = FetchJournalText({std::string(fileId), std::string(folder), std::string(mailbox),
                                               std::string(uid), copy == ServerCopy::DeletionDue});
    // Written without a sync of its own: it only has to outlive the process, like the placed file's name until the
    // folder is synced at the next save.
    std::FILE* file = platform::OpenFileForAppend(platform::PathJoin(m_userDir, kFetchJournalFile));
    if (file != nullptr) {
        static_cast<void>(std::fwrite(line.data(), 1, line.size(), file));
        static_cast<void>(std::fclose(file));
        m_journalPending = m_journalPending || !fileId.empty();
    }
}

std::unordered_set<std::string> MessageIndex::DeletionsDue(std::string_view mailbox) const
{
    std::unordered_set<std::string> due;
    for (const FetchJournalLine& line : ReadFetchJournal(platform::PathJoin(m_userDir, kFetchJournalFile))) {
        if (line.DeletionDue && EqualsNoCase(line.Mailbox, mailbox)) {
            due.insert(line.Uid);
        }
    }
    return due;
}

void MessageIndex::SettleDeletionsDue(std::string_view mailbox,
                                      const std::function<bool(const std::string& uid)>& stillDue)
{
    const std::string journal = platform::PathJoin(m_userDir, kFetchJournalFile);
    std::vector<FetchJournalLine> lines = ReadFetchJournal(journal);
    bool changed = false;
    for (FetchJournalLine& line : lines) {
        if (line.DeletionDue && EqualsNoCase(line.Mailbox, mailbox) && !stillDue(line.Uid)) {
            line.DeletionDue = false;
            changed = true;
        }
    }
    if (!changed) {
        return;
    }
    // A line that still names a placed file stays for the adoption of that file.
    std::erase_if(lines, [](const FetchJournalLine& line) { return !line.DeletionDue && line.FileId.empty(); });
    static_cast<void>(WriteFetchJournal(journal, lines));
}

namespace {

// A file id and a folder name as one key, ASCII case folded.
std::string FileFolderKey(std::string_view fileId, std::string_view folder)
{
    std::string key;
    key.reserve(fileId.size() + 1 + folder.size());
    key.append(fileId).append(1, '\x01').append(folder);
    std::transform(key.begin(), key.end(), key.begin(), [](char c) { return FoldCase(c); });
    return key;
}

// The fetch journal's lines that name a placed file, by file id and folder (ASCII case folded): the mailbox and UID
// of each.
std::map<std::string, std::pair<std::string, std::string>> FetchedFiles(const std::string& path)
{
    std::map<std::string, std::pair<std::string, std::string>> fetched;
    for (const FetchJournalLine& line : ReadFetchJournal(path)) {
        if (line.FileId.empty()) {
            continue;
        }
        fetched[FileFolderKey(line.FileId, line.Folder)] = {line.Mailbox, line.Uid};
    }
    return fetched;
}

} // namespace

void MessageIndex::AdoptFolderFiles(const FolderList& folders, const std::string& scratchDir,
                                    const RestoreFunction& restore)
{
    struct Orphan {
        std::string Folder;
        std::string Original;
        std::string Scratch;
    };

    RemoveStaleTemporaries();
    // The entries by file id and folder, case folded: one look-up per message file instead of a walk of the index
    // (a logon with a large inbox compared every file with every entry). The first entry of a pair is its owner.
    std::unordered_map<std::string, const MessageIndexEntry*> owners;
    owners.reserve(m_entries.size());
    for (const auto& e : m_entries) {
        owners.emplace(FileFolderKey(e->m_fileId, e->m_folder), e.get());
    }
    std::unordered_set<const MessageIndexEntry*> seen;
    seen.reserve(m_entries.size());
    std::vector<Orphan> orphans;
    for (int f = 0; f < folders.Count(); ++f) {
        const FolderEntry& folder = folders.Item(f);
        const std::string dir = folder.GetPath();
        auto listing = platform::ListDirectory(dir, "*.msg");
        if (!listing.has_value()) {
            continue;
        }
        for (const platform::DirEntry& file : listing.value()) {
            if (file.Type != platform::EntryType::File || file.Name.size() <= 4) {
                continue;
            }
            const std::string_view id = std::string_view(file.Name).substr(0, file.Name.size() - 4);
            if (const auto owner = owners.find(FileFolderKey(id, folder.Name())); owner != owners.end()) {
                seen.insert(owner->second);
                continue;
            }
            const std::string original = platform::PathJoin(dir, file.Name);
            if (AwaitsRemoval(original)) {
                continue;
            }
            if (RemoveIfStray(dir, id)) {
                continue;
            }
            if (!restore) {
                continue;
            }
            // The scratch copy is a second name (or a copy on another file system): the original stays in its
            // folder until the message is stored again, so a crash meanwhile cannot take it out of every folder.
            // Two folders may hold orphans of the same name: never put one over the other.
            for (int attempt = 0; attempt < 1000; ++attempt) {
                const std::string scratch = platform::PathJoin(
                        scratchDir, attempt == 0 ? file.Name : std::to_string(attempt) + "-" + file.Name);
                Result<void> copied = platform::LinkFile(original, scratch);
                if (!copied.has_value() && copied.error().Code != EEXIST) {
                    copied = platform::CopyFile(original, scratch, platform::CopyMode::NoReplace);
                }
                if (copied.has_value()) {
                    orphans.push_back({folder.Name(), original, scratch});
                    break;
                }
                if (copied.error().Code != EEXIST) {
                    break;
                }
            }
        }
    }
    const std::string journal = platform::PathJoin(m_userDir, kFetchJournalFile);
    const auto fetched = orphans.empty() ? decltype(FetchedFiles(journal))() : FetchedFiles(journal);
    m_journalPending = m_journalPending || platform::PathExists(journal);
    for (const Orphan& orphan : orphans) {
        MessageIndexEntry* entry = restore(*this, orphan.Folder, orphan.Scratch);
        if (entry != nullptr && entry->HasFlag(MessageFlag::Stored)) {
            // A fetched message placed just before a crash: it keeps its account and UID, so it is not fetched
            // again.
            std::string name = orphan.Original.substr(platform::LastSeparator(orphan.Original) + 1);
            name.resize(name.size() - 4);
            if (const auto it = fetched.find(FileFolderKey(name, orphan.Folder)); it != fetched.end()) {
                entry->SetMailbox(it->second.first);
                entry->SetUid(it->second.second);
            }
            seen.insert(entry);
            static_cast<void>(platform::RemoveFile(orphan.Original));
        }
        // Not stored again: the original is still where it was, so the message is not lost.
        static_cast<void>(platform::RemoveFile(orphan.Scratch));
    }
    for (int i = Count() - 1; i >= 0; --i) {
        MessageIndexEntry* e = Entry(i);
        if (e->HasFlag(MessageFlag::Stored) && !e->m_folder.empty() && seen.count(e) == 0) {
            RemoveEntry(e);
        }
    }
    m_viewDirty = true;
}

void MessageIndex::SelectView(std::string_view folder, std::string_view search, std::string_view mailbox)
{
    for (const auto& e : m_entries) {
        e->m_visible = EqualsNoCase(e->m_folder, folder) &&
                       (search.empty() || ContainsNoCase(e->m_to, search) || ContainsNoCase(e->m_from, search) ||
                        ContainsNoCase(e->m_subject, search)) &&
                       (mailbox.empty() || EqualsNoCase(e->m_mailbox, mailbox));
    }
    m_viewDirty = false;
    m_visibleValid = false;
}

int MessageIndex::FirstVisible() const
{
    return NextVisible(-1);
}

int MessageIndex::LastVisible() const
{
    return PrevVisible(Count());
}

const std::vector<int>& MessageIndex::VisibleAt() const
{
    if (!m_visibleValid) {
        m_visibleAt.clear();
        for (int j = 0; j < Count(); ++j) {
            if (Entry(j)->m_visible) {
                m_visibleAt.push_back(j);
            }
        }
        m_visibleValid = true;
    }
    return m_visibleAt;
}

int MessageIndex::PrevVisible(int i) const
{
    const std::vector<int>& at = VisibleAt();
    const auto after = std::lower_bound(at.begin(), at.end(), std::min(i, Count()));
    return after == at.begin() ? -1 : *(after - 1);
}

int MessageIndex::NextVisible(int i) const
{
    const std::vector<int>& at = VisibleAt();
    const auto next = std::upper_bound(at.begin(), at.end(), std::max(i, -1));
    return next == at.end() ? -1 : *next;
}

int MessageIndex::CountVisible() const
{
    return static_cast<int>(VisibleAt().size());
}

int MessageIndex::PageOf(int i, int perPage) const
{
    perPage = std::max(perPage, 1);
    const std::vector<int>& at = VisibleAt();
    const auto before = std::lower_bound(at.begin(), at.end(), std::min(i, Count())) - at.begin();
    return static_cast<int>(before) / perPage + 1;
}

namespace {

std::string FoldedKey(std::string_view text)
{
    std::string key(text);
    for (char& c : key) {
        c = FoldCase(c);
    }
    return key;
}

} // namespace

const MessageIndex::FolderCounts* MessageIndex::CountsOf(std::string_view folder) const
{
    if (!m_countsValid) {
        m_folderCounts.clear();
        for (const auto& e : m_entries) {
            FolderCounts& counts = m_folderCounts[FoldedKey(e->m_folder)];
            ++counts.Total;
            counts.Unread += e->HasFlag(MessageFlag::Read) ? 0 : 1;
        }
        m_countsValid = true;
    }
    const auto found = m_folderCounts.find(FoldedKey(folder));
    return found == m_folderCounts.end() ? nullptr : &found->second;
}

int MessageIndex::CountInFolder(std::string_view folder) const
{
    const FolderCounts* counts = CountsOf(folder);
    return counts != nullptr ? counts->Total : 0;
}

int MessageIndex::CountUnreadInFolder(std::string_view folder) const
{
    const FolderCounts* counts = CountsOf(folder);
    return counts != nullptr ? counts->Unread : 0;
}

std::int64_t MessageIndex::StoredSizeKB() const
{
    std::int64_t sum = 0;
    for (const auto& e : m_entries) {
        if (e->HasFlag(MessageFlag::Stored)) {
            sum += e->m_size;
        }
    }
    return (sum + 512) / 1024;
}

void MessageIndex::Sort(std::string_view orderName, int fromToMode)
{
    bool reverse = false;
    std::string_view key = orderName;
    if (key.size() >= 3 && EqualsNoCase(key.substr(0, 3), "rev")) {
        reverse = true;
        key.remove_prefix(3);
    }
    enum class Key {
        Date,
        Size,
        From,
        To,
        Subject,
        Mailbox
    } by = Key::Date;
    if (EqualsNoCase(key, "date")) {
        by = Key::Date;
    } else if (EqualsNoCase(key, "size")) {
        by = Key::Size;
    } else if (EqualsNoCase(key, "from")) {
        by = Key::From;
    } else if (EqualsNoCase(key, "to")) {
        by = Key::To;
    } else if (EqualsNoCase(key, "subject")) {
        by = Key::Subject;
    } else if (EqualsNoCase(key, "mailbox")) {
        by = Key::Mailbox;
    } else {
        by = Key::Date;
        reverse = true;
    }

    struct Item {
        std::string Text;
        MessageIndexEntry* Entry;
        std::size_t Position;
    };

    std::vector<Item> items;
    items.reserve(m_entries.size());
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        const auto& e = m_entries[i];
        std::string text;
        switch (by) {
        case Key::From:
            text = AddressKey(e->m_from, fromToMode);
            break;
        case Key::To:
            text = AddressKey(e->m_to, fromToMode);
            break;
        case Key::Subject:
            text = std::string(SubjectKey(e->m_subject));
            break;
        case Key::Mailbox:
            text = e->m_mailbox;
            break;
        default:
            break;
        }
        items.push_back({std::move(text), e.get(), i});
    }
    // Newer first, then the higher number first.
    auto tie = [](const MessageIndexEntry* a, const MessageIndexEntry* b) {
        if (a->m_date != b->m_date) {
            return a->m_date > b->m_date;
        }
        return a->m_number > b->m_number;
    };
    auto less = [&](const Item& x, const Item& y) {
        const MessageIndexEntry* a = x.Entry;
        const MessageIndexEntry* b = y.Entry;
        if (by == Key::Date) {
            if (a->m_date != b->m_date) {
                return reverse ? a->m_date > b->m_date : a->m_date < b->m_date;
            }
            return reverse ? a->m_number > b->m_number : a->m_number < b->m_number;
        }
        int c = 0;
        if (by == Key::Size) {
            c = a->m_size < b->m_size ? -1 : (a->m_size > b->m_size ? 1 : 0);
        } else {
            c = CompareNoCase(x.Text, y.Text);
        }
        if (c != 0) {
            return reverse ? c > 0 : c < 0;
        }
        return tie(a, b);
    };
    std::stable_sort(items.begin(), items.end(), less);
    std::vector<std::unique_ptr<MessageIndexEntry>> sorted;
    sorted.reserve(items.size());
    for (const Item& item : items) {
        sorted.push_back(std::move(m_entries[item.Position]));
    }
    m_entries = std::move(sorted);
    m_sortDirty = false;
    m_visibleValid = false;
}

bool MessageIndex::RenameMailbox(std::string_view oldName, std::string_view newName)
{
    const std::array<MailboxFile, 2> kinds = {MailboxFile::Uid, MailboxFile::Signature};
    // A file of the new name (left by an earlier account of that name) is never overwritten: the UIDs it would lose
    // or bring in belong to another account.
    if (!EqualsNoCase(oldName, newName)) {
        for (const MailboxFile kind : kinds) {
            const std::optional<std::string> target = MailboxFilePath(m_userDir, newName, kind);
            if (target && platform::PathExists(*target)) {
                return false;
            }
        }
    }
    if (IsValidMailboxName(oldName) && IsValidMailboxName(newName)) {
        for (const MailboxFile kind : kinds) {
            const std::optional<std::string> from = MailboxFilePath(m_userDir, oldName, kind);
            const std::string to =
                    platform::PathJoin(m_userDir, std::string(newName) + (kind == MailboxFile::Uid ? ".uid" : ".sig"));
            if (from && platform::PathExists(*from)) {
                static_cast<void>(platform::MoveNoReplace(*from, to));
            }
        }
    }
    for (const auto& e : m_entries) {
        if (EqualsNoCase(e->m_mailbox, oldName)) {
            e->SetMailbox(newName);
        }
    }
    return true;
}

} // namespace qm::store
