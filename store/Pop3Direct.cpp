// Direct mode of the POP3 client: the same runs done by reading the companion server's mailbox directory (one file
// per message) instead of talking POP3 to it.
#include "common/IniAccess.h"
#include "common/Log.h"
#include "common/Scrambler.h"
#include "common/StringUtil.h"
#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "store/CvUserBinding.h"
#include "store/MailHostList.h"
#include "store/MessageBuilder.h"
#include "store/MessageIndex.h"
#include "store/Pop3Client.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <unordered_set>

namespace qm::store {

namespace {

constexpr std::size_t kMaxDirectUid = 70;
constexpr std::size_t kMaxMailDir = 1024;
constexpr std::string_view kEncipheredMarker = "Encrypted By Corvid";

// Seconds between 1601-01-01 and 1970-01-01: the companion counts file times from 1601 in 100 ns steps.
constexpr std::int64_t kEpochDifference = 11644473600;

template <typename... Args>
void Note(Logger* log, int level, int id, Args... args)
{
    if (log != nullptr) {
        log->LogMsg(level, id, args...);
    }
}

struct FileCloser {
    void operator()(std::FILE* file) const { static_cast<void>(std::fclose(file)); }
};

using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

// Removes the mailbox lock when the run ends, whichever way.
class MailboxLock {
public:
    explicit MailboxLock(std::string path)
        : m_path(std::move(path))
    {}

    ~MailboxLock() { static_cast<void>(platform::RemoveFile(m_path)); }

    MailboxLock(const MailboxLock&) = delete;
    MailboxLock& operator=(const MailboxLock&) = delete;

private:
    std::string m_path;
};

// The next line of file without its line end; a line longer than kMaxPop3Line comes in pieces of that length.
// False at the end of the file.
bool ReadLine(std::FILE* file, std::string& line)
{
    line.clear();
    char chunk[4096];
    bool any = false;
    while (line.size() < kMaxPop3Line && std::fgets(chunk, sizeof chunk, file) != nullptr) {
        any = true;
        std::string_view piece(chunk);
        if (piece.ends_with('\n')) {
            piece.remove_suffix(1);
            line.append(piece);
            if (line.ends_with('\r')) {
                line.pop_back();
            }
            return true;
        }
        line.append(piece);
    }
    return any;
}

// Reads the enciphered lines that follow the marker line, deciphers them and gives addLine the message's lines: the
// text split at LF, each line cut at its first CR; runs of LF give no empty lines, and an over-long line comes in
// pieces of kMaxPop3Line, as in a plain file. Without whole the lines end after the first empty one, but the text
// is read to its end all the same: size becomes the length of the whole deciphered text. False when the text was
// damaged, so that part of it could not be deciphered.
bool FeedDeciphered(std::FILE* file, bool whole, const std::function<void(std::string_view)>& addLine,
                    std::int64_t& size)
{
    KeyedDescrambler descrambler;
    std::string piece;
    std::string text;
    std::string line;       // the current line, up to its first CR
    bool lineBegun = false; // the current line has a byte, a CR at least
    bool afterCr = false;
    bool stopped = false; // without whole, after the first empty line
    const auto feed = [&] {
        addLine(line);
        stopped = !whole && line.empty();
        line.clear();
        lineBegun = false;
        afterCr = false;
    };
    while (ReadLine(file, piece)) {
        text.clear();
        descrambler.Decipher(piece, text);
        for (std::size_t i = 0; i < text.size() && !stopped; ++i) {
            const char c = text[i];
            if (c == '\n') {
                if (lineBegun) {
                    feed();
                }
                continue;
            }
            lineBegun = true;
            afterCr = afterCr || c == '\r';
            if (!afterCr) {
                line += c;
                if (line.size() >= kMaxPop3Line) {
                    feed();
                }
            }
        }
    }
    if (lineBegun && !stopped) {
        feed();
    }
    size = static_cast<std::int64_t>(std::min<std::uint64_t>(descrambler.Length(), INT64_MAX));
    return !descrambler.Damaged();
}

// Gives addLine the lines of a plain message file; without whole they end after the first empty one. False when
// they run past limit bytes (line ends counted as CR LF): the rest is not read.
bool FeedPlain(std::FILE* file, bool whole, std::int64_t limit, const std::function<void(std::string_view)>& addLine)
{
    std::string line;
    std::int64_t bytes = 0;
    while (ReadLine(file, line)) {
        bytes += static_cast<std::int64_t>(line.size()) + 2;
        if (bytes > limit) {
            return false;
        }
        addLine(line);
        if (!whole && line.empty()) {
            break;
        }
    }
    return true;
}

std::tm LocalTime(std::int64_t seconds)
{
    const std::time_t when = static_cast<std::time_t>(seconds);
    std::tm local{};
    if (localtime_r(&when, &local) == nullptr) {
        local = std::tm{};
    }
    return local;
}

// The UID the companion's own POP3 server gives a message file: its name, size and last-write time, with blanks
// and dots as ':', a leading 'R' as 'M', cut to 70 characters and in upper case.
std::string DirectUid(const std::string& name, std::uint64_t size, const platform::Timestamp& modified, bool safeHash)
{
    std::string uid = name + '.' + std::to_string(size) + '.';
    if (safeHash) {
        const auto ticks = static_cast<std::uint64_t>(modified.Seconds + kEpochDifference) * 10000000u +
                           static_cast<std::uint64_t>(modified.Nanoseconds / 100);
        uid += std::to_string(ticks >> 32) + '.' + std::to_string(ticks & 0xFFFFFFFFu);
    } else {
        const std::tm local = LocalTime(modified.Seconds);
        const int year = std::clamp(local.tm_year + 1900, 1980, 2107);
        const unsigned dosDate = (static_cast<unsigned>(year - 1980) << 9) |
                                 (static_cast<unsigned>(local.tm_mon + 1) << 5) | static_cast<unsigned>(local.tm_mday);
        const unsigned dosTime = (static_cast<unsigned>(local.tm_hour) << 11) |
                                 (static_cast<unsigned>(local.tm_min) << 5) |
                                 static_cast<unsigned>(std::min(local.tm_sec, 59) / 2);
        uid += std::to_string(dosDate) + std::to_string(dosTime);
    }
    if (uid[0] == 'R') {
        uid[0] = 'M';
    }
    if (uid.size() > kMaxDirectUid) {
        uid.resize(kMaxDirectUid);
    }
    for (char& c : uid) {
        if (c == ' ' || c == '.') {
            c = ':';
        } else if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return uid;
}

std::string LowerCase(std::string_view text)
{
    std::string lower(text);
    for (char& c : lower) {
        c = FoldCase(c);
    }
    return lower;
}

} // namespace

bool Pop3Client::RunDirectIfKnown()
{
    const std::shared_ptr<const CvUserLibrary> library = LoadedCVUser();
    const MailHostAccount& account = Account();
    if (library == nullptr || !ReadIniBool("Mailboxes", "DirectCorvidPOP3", true) ||
        account.User().find('@') == std::string::npos) {
        return false;
    }
    const CvHandle handle = library->GetByEmail(account.User().c_str());
    if (handle == kCvNoUser) {
        library->GetFree(handle);
        return false;
    }
    RunDirect(*library, handle);
    library->GetFree(handle);
    return true;
}

void Pop3Client::RunDirect(const CvUserLibrary& library, CvHandle handle)
{
    const MailHostAccount& account = Account();
    if (!library.ValidateUser(handle, Password().c_str())) {
        Note(m_log, 3, kMsgDirectInvalidLogon, EscapeControlBytes(account.EMail()).c_str());
        m_result = kPop3LogonRefused;
        return;
    }
    if (m_logonTest) {
        m_quitSent = true;
        return;
    }
    char buffer[kMaxMailDir] = {};
    if (!library.GetMailDir(handle, buffer, static_cast<int>(sizeof buffer)) || buffer[0] == '\0') {
        if (m_log != nullptr) {
            m_log->Log(4, "Corvid POP3 no mailbox directory for %s.", EscapeControlBytes(account.User()).c_str());
        }
        m_result = kPop3ErrorReply;
        return;
    }
    std::string dir(buffer);
    AppendCharIfMissing(dir, '/');

    const std::string lockPath = dir + "poplock.lck";
    if (Result<void> locked = platform::CreateNewFile(lockPath); !locked.has_value()) {
        if (locked.error().Code == EEXIST) {
            Note(m_log, 3, kMsgDirectLocked);
            m_result = kPop3MailboxLocked;
        } else {
            if (m_log != nullptr) {
                m_log->Log(4, "Corvid POP3 cannot lock the mailbox: %s.", locked.error().Message.c_str());
            }
            m_result = kPop3ErrorReply;
        }
        return;
    }
    const MailboxLock lock(lockPath);
    Note(m_log, 2, kMsgDirectStarting);

    const std::tm now = LocalTime(std::time(nullptr));
    char date[64];
    static_cast<void>(std::strftime(date, sizeof date, "(%m/%d/%Y %H:%M)", &now));
    static_cast<void>(WriteIniStringFile("LastAccess", "Date", date, (dir + "hiwater.mrk").c_str()));

    const std::string appDir = ReadIniString("Directories", "CorvidAppDir", "");
    const bool safeHash = !appDir.empty() &&
                          ReadIniBoolFile("Special", "UseSafeHash", false, platform::PathJoin(appDir, "Corvid.ini"));
    ListMailboxDirectory(dir, safeHash);
    LogWorkList();
    m_position = 0;
    m_uidsWritten = true;
    m_uidListComplete = true;

    if (m_deleteMode) {
        for (WorkItem& item : m_work) {
            if (platform::RemoveFile(dir + std::string(m_workFiles.At(item.File))).has_value()) {
                item.DeleAccepted = true;
                ++m_deleted;
            }
        }
        m_quitConfirmed = true;
    } else {
        for (const WorkItem& item : m_work) {
            FetchFromFile(dir, item);
            if (m_storeFailed) {
                break;
            }
        }
    }
    Note(m_log, 2, kMsgDirectCompleted);
    m_quitSent = !m_storeFailed;
}

void Pop3Client::ListMailboxDirectory(const std::string& dir, bool safeHash)
{
    Result<std::vector<platform::DirEntry>> listed = platform::ListDirectory(dir);
    if (!listed.has_value()) {
        return;
    }
    // A message the companion is still writing has a ".LCK" file beside it: "name.LCK" or the name with its
    // extension replaced.
    std::unordered_set<std::string> names;
    for (const platform::DirEntry& e : *listed) {
        names.insert(LowerCase(e.Name));
    }
    for (const platform::DirEntry& e : *listed) {
        if (e.Type != platform::EntryType::File || EndsWithNoCase(e.Name, ".lck") || EndsWithNoCase(e.Name, ".mrk")) {
            continue;
        }
        const std::string lower = LowerCase(e.Name);
        const std::size_t dot = lower.rfind('.');
        if (names.contains(lower + ".lck") ||
            (dot != std::string::npos && names.contains(lower.substr(0, dot) + ".lck"))) {
            continue;
        }
        const std::string path = dir + e.Name;
        const std::optional<std::uint64_t> size = platform::FileSize(path);
        const std::optional<platform::FileTimes> times = platform::GetFileTimes(path);
        if (!size || !times) {
            continue;
        }
        const std::string uid = DirectUid(e.Name, *size, times->Modified, safeHash);
        if (std::any_of(uid.begin(), uid.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; })) {
            continue;
        }
        if (Select(uid, m_single ? CaseRule::IgnoreCase : CaseRule::Exact)) {
            const std::size_t file = m_workFiles.Insert(e.Name).first;
            if (file == UidSet::kNone) {
                continue;
            }
            WorkItem item;
            item.File = static_cast<std::uint32_t>(file);
            item.Size = static_cast<std::int64_t>(std::min<std::uint64_t>(*size, INT64_MAX));
            static_cast<void>(AddWorkItem(item, uid));
        }
    }
}

void Pop3Client::FetchFromFile(const std::string& dir, const WorkItem& item)
{
    const std::string name(m_workFiles.At(item.File));
    const std::string path = dir + name;
    const bool whole = m_single || m_cutoff == 0 || m_cutoff >= item.Size;
    // Read at most this much: the file may grow while it is read.
    const std::int64_t limit = std::min(item.Size + kPop3SizeSlack, m_maxMessageSize);
    const auto skip = [&](const char* reason) {
        ++m_skipped;
        if (!m_single) {
            AddSeen(UidOf(item));
        }
        if (m_log != nullptr) {
            m_log->Log(3, "Corvid POP3 message %s skipped: %s; left in the mailbox.", EscapeControlBytes(name).c_str(),
                       reason);
        }
    };
    if (whole && item.Size > m_maxMessageSize) {
        skip("it is larger than [PopClient] MaxMessageSize");
        return;
    }
    const UniqueFile file(std::fopen(path.c_str(), "rb"));
    if (file == nullptr) {
        return;
    }
    m_current = nullptr;
    if (m_single) {
        m_builder = std::make_unique<MessageBuilder>(*m_entry);
        m_builderBound = true;
    } else {
        m_builder = std::make_unique<MessageBuilder>(Account(), *m_index, nullptr, UidOf(item), m_user);
        m_builderBound = false;
    }
    m_messageSize = item.Size;
    m_messageBytes = 0;

    std::string line;
    const bool enciphered = ReadLine(file.get(), line) && EqualsNoCase(line, kEncipheredMarker);
    bool readWhole = true;
    bool tooLarge = false;
    std::int64_t decipheredSize = 0;
    // An enciphered message's size is known only at the end of its text: its entry takes it after Finish.
    static_cast<void>(m_builder->Begin(item.Size, whole));
    const auto addLine = [this](std::string_view text) {
        m_messageBytes += m_builder->AddLine(text);
    };
    if (!enciphered) {
        std::rewind(file.get());
        tooLarge = !FeedPlain(file.get(), whole, limit, addLine);
    } else {
        readWhole = FeedDeciphered(file.get(), whole, addLine, decipheredSize);
    }
    readWhole = readWhole && std::ferror(file.get()) == 0;
    if (tooLarge) {
        DropUnfinishedMessage();
        skip(limit < m_maxMessageSize ? "it grew past its size while it was read"
                                      : "it is larger than [PopClient] MaxMessageSize");
        return;
    }
    if (!readWhole) {
        // What was read is not the whole message: nothing of it is kept, and the file stays for the next run.
        if (m_log != nullptr) {
            m_log->Log(4, "Corvid POP3 message %s cannot be read whole; left in the mailbox.",
                       EscapeControlBytes(name).c_str());
        }
        DropUnfinishedMessage();
        return;
    }
    if (m_builder->InHeader()) {
        m_builder->AddLine("");
    }
    MessageIndexEntry* entry = m_builder->Finish();
    const bool stored = entry != nullptr && entry->HasFlag(MessageFlag::Stored);
    m_builder.reset();
    if (enciphered && entry != nullptr && !m_builderBound) {
        entry->SetSize(static_cast<std::int32_t>(std::min<std::int64_t>(decipheredSize, INT32_MAX)));
    }
    if (!whole) {
        if (entry != nullptr) {
            AddSeen(UidOf(item));
        }
        return;
    }
    if (!stored) {
        // It stays in the mailbox and is read again next time.
        if (!m_builderBound && entry != nullptr) {
            m_index->RemoveEntry(entry);
        }
        if (m_log != nullptr) {
            m_log->Log(4, "Corvid POP3 message %s could not be stored.", EscapeControlBytes(name).c_str());
        }
        m_storeFailed = true;
        SetResult(kPop3ErrorReply);
        return;
    }
    if (!m_single) {
        AddSeen(UidOf(item));
    }
    ++m_retrieved;
    if (Account().Delete() == 2) {
        static_cast<void>(platform::RemoveFile(path));
    }
}

} // namespace qm::store
