// Pop3Client: one POP3 conversation (USER, PASS, STAT, UIDL, LIST, TOP, RETR, DELE, QUIT) that fetches a user's new
// mail from one account into the message index, completes one message kept with headers only, deletes on the
// server what was deleted here, or only tests the logon.
#pragma once

#include "common/AsyncSocket.h"
#include "common/StringList.h"
#include "store/CvUserApi.h"
#include "store/StoreBatch.h"
#include "store/UidSet.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

namespace qm {
class Logger;
} // namespace qm

namespace qm::store {

class MailHostAccount;
class MessageBuilder;
class MessageIndex;
class MessageIndexEntry;
class StoreUser;
class CvUserLibrary;

/// Result codes of a run (Pop3Client::GetResult).
inline constexpr int kPop3Success = 0;
inline constexpr int kPop3ConnectError = 1;
inline constexpr int kPop3TimedOut = 2;
inline constexpr int kPop3WaitError = 3;
inline constexpr int kPop3ConnectionClosed = 5;
inline constexpr int kPop3LogonRefused = 7;
inline constexpr int kPop3ErrorReply = 8;
inline constexpr int kPop3MailboxLocked = 10;

/// Numbers of the log messages a run writes (texts in the program's message table).
inline constexpr int kMsgPop3GettingMail = 183;
inline constexpr int kMsgPop3CompletedRetrieved = 184;
inline constexpr int kMsgPop3ReceiveOverflow = 185;
inline constexpr int kMsgPop3ReceiveError = 186;
inline constexpr int kMsgPop3UnexpectedClose = 187;
inline constexpr int kMsgPop3Connecting = 188;
inline constexpr int kMsgPop3ConnectError = 189;
inline constexpr int kMsgPop3TimedOut = 190;
inline constexpr int kMsgPop3WaitError = 191;
inline constexpr int kMsgPop3UnexpectedResponse = 192;
inline constexpr int kMsgPop3GettingMessage = 193;
inline constexpr int kMsgPop3MessageFound = 276;
inline constexpr int kMsgPop3Deleting = 277;
inline constexpr int kMsgPop3Retrieving = 278;
inline constexpr int kMsgPop3CompletedDeleted = 279;
inline constexpr int kMsgDirectInvalidLogon = 280;
inline constexpr int kMsgDirectLocked = 281;
inline constexpr int kMsgDirectStarting = 282;
inline constexpr int kMsgDirectCompleted = 283;

/// The longest line a server may send. A longer reply ends the run with kPop3ErrorReply; a longer line of a
/// message has that message skipped (left on the server, its UID remembered) and the run goes on.
inline constexpr std::size_t kMaxPop3Line = std::size_t{1} << 20;

/// The longest UIDL line taken; a longer one is dropped unread (its message is not fetched).
inline constexpr std::size_t kMaxPop3UidlLine = 1024;

/// The most UIDL lines a run takes; more end the run with kPop3ErrorReply.
inline constexpr std::size_t kMaxPop3UidlLines = 500000;

/// How far a message may run past the size the server announced for it (LIST) before it is skipped.
inline constexpr std::int64_t kPop3SizeSlack = std::int64_t{64} << 10;

/// The default [PopClient] MaxMessageSize, in bytes: a larger message is skipped.
inline constexpr std::int64_t kDefaultPop3MaxMessageSize = std::int64_t{32} << 20;

/// The default [PopClient] SessionTimeout, in seconds: the longest a whole run may take.
inline constexpr int kDefaultPop3SessionTimeoutSeconds = 600;

/// The longest UID taken from a UIDL line (the ".uid" file keeps lines of this length); a line with a longer UID,
/// an empty one or one holding control bytes is ignored.
inline constexpr std::size_t kMaxPop3Uid = StringList::kMaxLoadPiece;

/// A fetch places its messages in batches of at most this many messages or bytes (one sync of their data and
/// of their folders each); a batch is placed before any of its messages is deleted on the server and before the
/// run ends.
inline constexpr std::size_t kPop3BatchMessages = 64;
inline constexpr std::uint64_t kPop3BatchBytes = std::uint64_t{16} << 20;

/// The default [PopClient] Timeout, in seconds: for the connect and for every reply.
inline constexpr int kDefaultPop3TimeoutSeconds = 30;

/// One run against one account. Created for one run and destroyed after it; the run happens on the calling thread.
/// The counters, the account and the delete-mode flag may be read from another thread while it runs (the status
/// page); everything else belongs to the running thread.
///
/// When the companion server's user library is loaded, [Mailboxes] DirectCorvidPOP3 is true (the default) and the
/// account's user name is an address the companion knows, the run reads the companion's mailbox directory instead of
/// talking POP3 (direct mode): the lock file "poplock.lck" there keeps other readers out meanwhile.
///
/// A message larger than [PopClient] MaxMessageSize (default 32 MiB), one that runs more than kPop3SizeSlack past
/// the size the server announced, or one with a line longer than kMaxPop3Line is skipped: nothing of it is stored,
/// it stays on the server (never deleted there), its UID goes to the ".uid" file so that it is not fetched again, it
/// is logged once and counted (MessagesSkipped), and the run goes on with the next message. Its data is read and
/// dropped, never held.
///
/// Settings read from the main INI: [PopClient] Timeout (seconds, default 30), SessionTimeout (seconds for the whole
/// run, default 600: past it the run ends as timed out, after a QUIT), MaxMessageSize, [WebServer] BindAddress (the
/// local address connects are made from, default "0.0.0.0": none), [Directories] CorvidAppDir (whose "Corvid.ini" has
/// [Special] UseSafeHash, the form of the UIDs of direct mode).
class Pop3Client final : public AsyncSocket {
public:
    /// user may be null: then only TestLogon works. The account must outlive the client. log may be null.
    Pop3Client(StoreUser* user, const MailHostAccount& account, Logger* log, SocketOps& ops = SystemSocketOps());
    ~Pop3Client() override;

    /// Fetches the messages whose UIDs are not in the account's ".uid" file: those up to cutoff bytes (or all when
    /// cutoff is 0) in full, larger ones with their headers only. The ".uid" file is rewritten once the UID list was
    /// read: the known UIDs still on the server and those fetched or skipped. True when the run reached its normal
    /// end with every fetched message stored; skipped messages do not make it fail.
    bool FetchNewMail(std::int64_t cutoff);

    /// Fetches the whole text of entry (kept with headers only) and fills its headers-only copies. 1 when the run
    /// reached its end and the entry is stored, else 0. An entry already stored only has its copies filled.
    int RetrieveMessage(MessageIndexEntry& entry);

    /// Deletes on the server the account's messages deleted here (entries with Folder ""). An entry is removed from
    /// the index once its DELE was accepted and the server confirmed the QUIT that commits it, or when its UID is no
    /// longer on the server; the others stay for the next try. True when none is left.
    bool DeleteFromServer();

    /// Logs on and off again; true when the server accepted the logon.
    bool TestLogon();

    /// The result code of the run (kPop3*).
    int GetResult() const { return m_result; }

    /// Counters of the run, safe to read from another thread.
    int MessagesRetrieved() const { return m_retrieved.load(); }

    int MessagesDeleted() const { return m_deleted.load(); }

    /// Messages skipped by the run: too large, or with a line too long.
    int MessagesSkipped() const { return m_skipped.load(); }

    /// The message count from STAT.
    int MessageCount() const { return m_messageCount.load(); }

    /// UIDL lines read.
    int UidlLines() const { return m_uidlLines.load(); }

    /// Bytes of the message being fetched so far, and its size from LIST.
    std::int64_t MessageBytes() const { return m_messageBytes.load(); }

    std::int64_t MessageSize() const { return m_messageSize.load(); }

    bool InDeleteMode() const { return m_deleteMode.load(); }

    const MailHostAccount& Account() const { return *m_account.load(); }

protected:
    void OnRead() override;
    void OnClose() override;

private:
    // The conversation's states: waiting for the reply to a command, or reading a multi-line answer.
    enum class State {
        Greeting = 0,
        User = 1,
        Stat = 2,
        Uidl = 3,
        List = 4,
        Top = 5,
        Retr = 6,
        DeleAfterRetr = 7,
        Quit = 8,
        Pass = 9,
        Dele = 10,
        UidlData = 20,
        TopData = 21,
        RetrData = 22,
    };

    // One message of the work list: its number on the server (or its file and size in a mailbox directory) and its
    // UID; DeleAccepted: the server accepted its DELE (or its file was removed).
    // Kept small: a mailbox may list hundreds of thousands of messages.
    struct WorkItem {
        int Number = 0;
        std::uint32_t Uid = 0;  // position in m_workUids
        std::uint32_t File = 0; // position in m_workFiles (direct mode)
        std::int64_t Size = 0;
        bool DeleAccepted = false;
        /// Stored here by an earlier run whose deletion on the server never took effect: only deleted now.
        bool DeleteOnly = false;
    };

    enum class CaseRule {
        Exact,
        IgnoreCase,
    };

    void RunSession();
    bool RunDirectIfKnown();
    void RunDirect(const CvUserLibrary& library, CvHandle handle);
    void ListMailboxDirectory(const std::string& dir, bool safeHash);
    void FetchFromFile(const std::string& dir, const WorkItem& item);
    bool CheckAccount();
    std::string Password() const;
    void WaitForReplies();
    void SetResult(int result);
    void EndWith(int result);
    void ReadAvailable(bool drain);
    void SplitLines();
    void SendCommand(std::string command);
    void SendQuit(bool normalEnd);
    void OnReply(std::string_view line);
    void OnErrorReply(std::string_view line);
    void OnOkReply(std::string_view line);
    void OnDataLine(std::string_view line);
    bool OnOverlongLine();
    std::size_t LineCap() const;
    std::int64_t MaxMessageSize() const;
    void SkipMessage(const char* reason);
    bool AddWorkItem(WorkItem item, std::string_view uid);

    std::string_view UidOf(const WorkItem& item) const { return m_workUids.At(item.Uid); }

    void OnDataEnd();
    void OnUidlLine(std::string_view line);
    bool Select(std::string_view uid, CaseRule rule);
    void OnUidlEnd();
    void LogWorkList();
    void StartWorkList();
    void RetrieveNext();
    void DeleteNext();
    void OnListReply(std::string_view line);
    void OnRetrEnd();
    void DropUnfinishedMessage();
    bool PlaceBatch();
    void FillHeadersOnlyCopies(MessageIndexEntry& entry);
    void AddSeen(std::string_view uid);
    std::string UidFilePath() const;
    bool LoadKnownUids();
    void SaveSeenUids();
    void SettleDeletionsDue();

    StoreUser* m_user;
    MessageIndex* m_index = nullptr;
    Logger* m_log;
    std::atomic<const MailHostAccount*> m_account;

    // Received bytes not yet split into lines; never more than kMaxPop3Line past the last line end.
    std::string m_received;
    // The command being sent: kept here until it has gone out.
    std::string m_command;

    std::vector<WorkItem> m_work;
    UidSet m_workUids;
    UidSet m_workFiles;
    std::size_t m_position = 0;
    WorkItem* m_current = nullptr;

    State m_state = State::Greeting;
    bool m_done = false;
    bool m_quitSent = false;
    bool m_quitConfirmed = false;
    bool m_uidsWritten = false;
    bool m_uidListComplete = false;
    bool m_single = false;
    bool m_logonTest = false;
    bool m_storeFailed = false;
    std::atomic<bool> m_deleteMode{false};
    bool m_discardingLine = false; // the rest of an over-long line is dropped as it comes
    bool m_skipping = false;       // the current message's data is dropped up to its end
    std::int64_t m_messageLimit = 0;
    std::int64_t m_maxMessageSize = kDefaultPop3MaxMessageSize;
    int m_overlongUidlLines = 0;

    // Fetched messages written but not yet placed (their positions in m_work and entries), and the fetched
    // messages placed whose DELE is still to be sent (positions in m_work).
    StoreBatch m_batch;
    std::vector<std::pair<std::size_t, MessageIndexEntry*>> m_unplaced;
    std::vector<std::size_t> m_deleDue;
    std::unique_ptr<MessageBuilder> m_builder;
    bool m_builderBound = false;
    MessageIndexEntry* m_entry = nullptr; // the entry to fetch (single-message mode)

    UidSet m_known;      // the ".uid" file and the UIDs of the account's index entries
    UidSet m_storedUids; // the UIDs of the account's stored index entries
    // Stored by a run that deletes after fetching, whose deletion was not confirmed: the fetch journal names them.
    std::unordered_set<std::string> m_deletionsDue;
    std::unordered_set<std::string> m_toDelete;
    UidSet m_seen; // what the ".uid" file will hold, in order

    std::int64_t m_cutoff = 0;
    int m_result = kPop3Success;
    std::chrono::milliseconds m_timeout{kDefaultPop3TimeoutSeconds * 1000};
    std::chrono::steady_clock::time_point m_deadline;
    std::chrono::steady_clock::time_point m_sessionDeadline;
    int m_sessionSeconds = kDefaultPop3SessionTimeoutSeconds;

    std::atomic<int> m_messageCount{0};
    std::atomic<int> m_uidlLines{0};
    std::atomic<std::int64_t> m_messageBytes{0};
    std::atomic<std::int64_t> m_messageSize{0};
    std::atomic<int> m_retrieved{0};
    std::atomic<int> m_deleted{0};
    std::atomic<int> m_skipped{0};
};

} // namespace qm::store
