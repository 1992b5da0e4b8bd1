#include "store/Pop3Client.h"

#include "common/IniAccess.h"
#include "common/Log.h"
#include "common/StringUtil.h"
#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "platform/SocketOps.h"
#include "store/MailHostList.h"
#include "store/MessageBuilder.h"
#include "store/MessageIndex.h"
#include "store/StoreSeams.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <utility>

namespace qm::store {

namespace {

using Clock = std::chrono::steady_clock;

template <typename... Args>
void Note(Logger* log, int level, int id, Args... args)
{
    if (log != nullptr) {
        log->LogMsg(level, id, args...);
    }
}

// CR, LF or NUL: a value holding one could end a command line early and add a command of its own.
bool HasLineBreak(std::string_view text)
{
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

bool ContainsNoCase(std::string_view text, std::string_view word)
{
    if (word.size() > text.size()) {
        return false;
    }
    for (std::size_t i = 0; i + word.size() <= text.size(); ++i) {
        if (EqualsNoCase(text.substr(i, word.size()), word)) {
            return true;
        }
    }
    return false;
}

// A UID that can be kept in the ".uid" file and matched again: not empty, one line piece, no control bytes.
bool IsUsableUid(std::string_view uid)
{
    if (uid.empty() || uid.size() > kMaxPop3Uid) {
        return false;
    }
    return std::none_of(uid.begin(), uid.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7F;
    });
}

// The number after the n-th blank of a reply ("+OK 2 320": 1 gives 2, 2 gives 320); 0 when there is none.
long long NumberAfterBlank(std::string_view line, int n)
{
    std::size_t at = 0;
    for (int i = 0; i < n; ++i) {
        at = line.find(' ', at);
        if (at == std::string_view::npos) {
            return 0;
        }
        ++at;
    }
    return ParseDecimal(line.substr(at));
}

std::string Numbered(const char* command, int number)
{
    return std::string(command) + ' ' + std::to_string(number) + "\r\n";
}

} // namespace

Pop3Client::Pop3Client(StoreUser* user, const MailHostAccount& account, Logger* log, SocketOps& ops)
    : AsyncSocket(ops)
    , m_user(user)
    , m_log(log)
    , m_account(&account)
{
    if (user != nullptr) {
        Result<MessageIndex*> index = user->Index();
        if (index.has_value()) {
            m_index = *index;
        }
    }
}

Pop3Client::~Pop3Client()
{
    DropUnfinishedMessage();
}

// ---- the four runs ----

bool Pop3Client::FetchNewMail(std::int64_t cutoff)
{
    const MailHostAccount& account = Account();
    Note(m_log, 2, kMsgPop3GettingMail, account.Mailbox().c_str());
    if (m_index == nullptr || !LoadKnownUids()) {
        if (m_log != nullptr) {
            m_log->Log(4, "POP3 No message index or UID file for mailbox %s.",
                       EscapeControlBytes(account.Mailbox()).c_str());
        }
        m_result = kPop3ErrorReply;
        return false;
    }
    m_cutoff = std::max<std::int64_t>(cutoff, 0);
    RunSession();
    if (m_uidsWritten) {
        SaveSeenUids();
    }
    SettleDeletionsDue();
    return m_quitSent && m_result == kPop3Success;
}

int Pop3Client::RetrieveMessage(MessageIndexEntry& entry)
{
    Note(m_log, 2, kMsgPop3GettingMessage, Account().Mailbox().c_str());
    m_index = &entry.Owner();
    // A stored message is never fetched over itself: a run that broke off would take the stored flag from it.
    if (entry.HasFlag(MessageFlag::Stored)) {
        FillHeadersOnlyCopies(entry);
        return 1;
    }
    m_single = true;
    m_entry = &entry;
    RunSession();
    SettleDeletionsDue();
    if (!entry.HasFlag(MessageFlag::Stored)) {
        return 0;
    }
    FillHeadersOnlyCopies(entry);
    return m_quitSent ? 1 : 0;
}

bool Pop3Client::DeleteFromServer()
{
    if (m_index == nullptr) {
        return false;
    }
    const std::string& mailbox = Account().Mailbox();
    std::vector<MessageIndexEntry*> pending;
    for (int i = 0; i < m_index->Count(); ++i) {
        MessageIndexEntry* e = m_index->Entry(i);
        if (e->Folder().empty() && EqualsNoCase(e->Mailbox(), mailbox)) {
            pending.push_back(e);
            m_toDelete.insert(e->Uid());
        }
    }
    if (pending.empty()) {
        return true;
    }
    m_deleteMode = true;
    RunSession();

    // A DELE only takes effect once the server has accepted the QUIT that ends the session.
    std::unordered_set<std::string> onServer;
    std::unordered_set<std::string> deleted;
    for (const WorkItem& item : m_work) {
        onServer.insert(std::string(UidOf(item)));
        if (item.DeleAccepted && m_quitConfirmed) {
            deleted.insert(std::string(UidOf(item)));
        }
    }
    int left = 0;
    for (MessageIndexEntry* e : pending) {
        const bool gone = m_uidListComplete && !onServer.contains(e->Uid());
        if (gone || deleted.contains(e->Uid())) {
            m_index->RemoveEntry(e);
        } else {
            ++left;
        }
    }
    return left == 0;
}

bool Pop3Client::TestLogon()
{
    m_logonTest = true;
    RunSession();
    return m_quitSent && m_result == kPop3Success;
}

// ---- the session ----

void Pop3Client::RunSession()
{
    m_state = State::Greeting;
    m_done = false;
    m_quitSent = false;
    m_quitConfirmed = false;
    m_result = kPop3Success;
    m_received.clear();
    m_discardingLine = false;
    m_skipping = false;
    m_maxMessageSize = MaxMessageSize();
    if (RunDirectIfKnown()) {
        return;
    }
    if (!CheckAccount()) {
        return;
    }
    const MailHostAccount& account = Account();
    Note(m_log, 1, kMsgPop3Connecting, EscapeControlBytes(account.Host()).c_str());

    std::uint32_t local = 0;
    if (!ParseIpv4(ReadIniString("WebServer", "BindAddress", "0.0.0.0").c_str(), &local)) {
        local = 0;
    }
    int seconds = ReadIniInt("PopClient", "Timeout", kDefaultPop3TimeoutSeconds);
    if (seconds < 1) {
        seconds = kDefaultPop3TimeoutSeconds;
    }
    m_timeout = std::chrono::seconds(std::min(seconds, 24 * 3600));
    m_sessionSeconds = ReadIniInt("PopClient", "SessionTimeout", kDefaultPop3SessionTimeoutSeconds);
    if (m_sessionSeconds < 1) {
        m_sessionSeconds = kDefaultPop3SessionTimeoutSeconds;
    }
    m_sessionSeconds = std::min(m_sessionSeconds, 7 * 24 * 3600);
    m_sessionDeadline = Clock::now() + std::chrono::seconds(m_sessionSeconds);
    if (!Connect(account.Host().c_str(), account.Port(), local, static_cast<int>(m_timeout.count()))) {
        Note(m_log, 4, kMsgPop3ConnectError, LastError());
        m_result = kPop3ConnectError;
        Close();
    } else {
        m_deadline = Clock::now() + m_timeout;
        WaitForReplies();
        Close();
    }
    DropUnfinishedMessage();
    // Messages received whole before the run ended are kept; their server copies stay until a later run.
    static_cast<void>(PlaceBatch());
    if (m_deleteMode) {
        Note(m_log, 2, kMsgPop3CompletedDeleted, m_deleted.load());
    } else {
        Note(m_log, 2, kMsgPop3CompletedRetrieved, m_retrieved.load());
    }
}

bool Pop3Client::CheckAccount()
{
    const MailHostAccount& account = Account();
    const std::string mailbox = EscapeControlBytes(account.Mailbox());
    if (HasLineBreak(account.Host())) {
        if (m_log != nullptr) {
            m_log->Log(4, "POP3 The host of mailbox %s holds a line break: not connecting.", mailbox.c_str());
        }
        m_result = kPop3ConnectError;
        return false;
    }
    const char* refusal = nullptr;
    if (HasLineBreak(account.User()) || HasLineBreak(account.Pass())) {
        refusal = "its user name or password holds a line break";
    } else if (account.Pass().starts_with('\\')) {
        if (m_user == nullptr) {
            refusal = "its password is the user's own, and there is no user";
        } else if (const char* own = m_user->OwnPassword(); own != nullptr && HasLineBreak(own)) {
            refusal = "the user's own password holds a line break";
        }
    }
    if (refusal != nullptr) {
        if (m_log != nullptr) {
            m_log->Log(4, "POP3 Not logging on to mailbox %s: %s.", mailbox.c_str(), refusal);
        }
        m_result = kPop3LogonRefused;
        return false;
    }
    return true;
}

std::string Pop3Client::Password() const
{
    const std::string& pass = Account().Pass();
    if (!pass.starts_with('\\')) {
        return pass;
    }
    const char* own = m_user != nullptr ? m_user->OwnPassword() : nullptr;
    return own != nullptr ? std::string(own) : std::string();
}

void Pop3Client::WaitForReplies()
{
    while (!m_done) {
        // Checked before every wait: a server that keeps sending holds the run no longer than a silent one.
        if (Clock::now() >= m_sessionDeadline) {
            if (m_log != nullptr) {
                m_log->Log(4, "POP3 Session time limit of %d seconds reached.", m_sessionSeconds);
            }
            SetResult(kPop3TimedOut);
            if (m_state != State::Quit) {
                SendQuit(false); // best effort: its reply is not waited for
            }
            return;
        }
        const auto until = std::min(m_deadline, m_sessionDeadline);
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
        const WaitResult waited = left.count() > 0 ? Wait(static_cast<int>(left.count())) : WaitResult::Timeout;
        if (waited == WaitResult::Timeout) {
            if (Clock::now() < m_deadline) {
                continue;
            }
            Note(m_log, 4, kMsgPop3TimedOut);
            SetResult(kPop3TimedOut);
            return;
        }
        if (waited == WaitResult::Error) {
            Note(m_log, 4, kMsgPop3WaitError, LastError());
            SetResult(kPop3WaitError);
            return;
        }
        DispatchEvents();
    }
}

void Pop3Client::SetResult(int result)
{
    // The first failure is the one reported: a time-out waiting for the QUIT after a refused logon stays a refusal.
    if (m_result == kPop3Success) {
        m_result = result;
    }
}

void Pop3Client::EndWith(int result)
{
    SetResult(result);
    m_done = true;
}

void Pop3Client::OnRead()
{
    ReadAvailable(false);
}

void Pop3Client::OnClose()
{
    // What arrived before the close is still read: it may hold the last replies.
    ReadAvailable(true);
    if (!m_done && m_state != State::Quit) {
        Note(m_log, 4, kMsgPop3UnexpectedClose);
        SetResult(kPop3ConnectionClosed);
    }
    m_done = true;
}

void Pop3Client::ReadAvailable(bool drain)
{
    char chunk[4096];
    while (!m_done) {
        const int n = Receive(chunk, static_cast<int>(sizeof chunk));
        if (n < 0) {
            Note(m_log, 4, kMsgPop3ReceiveError, LastError());
            EndWith(kPop3ConnectionClosed);
            return;
        }
        if (n == 0) {
            return;
        }
        m_received.append(chunk, static_cast<std::size_t>(n));
        SplitLines();
        if (!drain) {
            return;
        }
    }
}

void Pop3Client::SplitLines()
{
    std::size_t start = 0;
    if (m_discardingLine) {
        // The rest of a line too long to keep: dropped up to its line end, as it comes.
        const std::size_t lf = m_received.find('\n');
        m_messageBytes += static_cast<std::int64_t>(lf == std::string::npos ? m_received.size() : lf + 1);
        m_deadline = Clock::now() + m_timeout;
        if (lf == std::string::npos) {
            m_received.clear();
            return;
        }
        m_discardingLine = false;
        start = lf + 1;
    }
    while (!m_done) {
        const std::size_t lf = m_received.find('\n', start);
        if (lf == std::string::npos) {
            break;
        }
        std::size_t end = lf;
        if (end > start && m_received[end - 1] == '\r') {
            --end;
        }
        if (end - start > LineCap()) {
            if (OnOverlongLine()) {
                m_messageBytes += static_cast<std::int64_t>(lf + 1 - start);
                start = lf + 1;
                continue;
            }
            break;
        }
        OnReply(std::string_view(m_received).substr(start, end - start));
        start = lf + 1;
    }
    m_received.erase(0, start);
    if (!m_done && m_received.size() > LineCap() && OnOverlongLine()) {
        m_messageBytes += static_cast<std::int64_t>(m_received.size());
        m_received.clear();
        m_discardingLine = true;
    }
}

std::size_t Pop3Client::LineCap() const
{
    return m_state == State::UidlData ? kMaxPop3UidlLine : kMaxPop3Line;
}

// A line longer than LineCap: true when it is dropped and the run goes on (a message's line: the message is skipped;
// a UIDL line: that line is ignored), false when it ended the run.
bool Pop3Client::OnOverlongLine()
{
    if (m_state == State::RetrData || m_state == State::TopData) {
        if (!m_skipping) {
            SkipMessage("a line longer than 1 MiB");
        }
        return true;
    }
    if (m_state == State::UidlData) {
        if (m_overlongUidlLines++ == 0 && m_log != nullptr) {
            m_log->Log(3, "POP3 UIDL line longer than %zu bytes ignored.", kMaxPop3UidlLine);
        }
        if (static_cast<std::size_t>(++m_uidlLines) > kMaxPop3UidlLines) {
            if (m_log != nullptr) {
                m_log->Log(4, "POP3 More than %zu UIDL lines.", kMaxPop3UidlLines);
            }
            EndWith(kPop3ErrorReply);
            return false;
        }
        return true;
    }
    Note(m_log, 4, kMsgPop3ReceiveOverflow);
    EndWith(kPop3ErrorReply);
    return false;
}

std::int64_t Pop3Client::MaxMessageSize() const
{
    const int max = ReadIniInt("PopClient", "MaxMessageSize", static_cast<int>(kDefaultPop3MaxMessageSize));
    return max < 1 ? kDefaultPop3MaxMessageSize : max;
}

// The current message is not stored: what was built of it is dropped, and its remaining data is read and dropped up
// to its end (OnDataEnd). It stays on the server and its UID is remembered there.
void Pop3Client::SkipMessage(const char* reason)
{
    m_skipping = true;
    ++m_skipped;
    DropUnfinishedMessage();
    if (m_log != nullptr) {
        m_log->Log(3, "POP3 Message %d (UID %s) of mailbox %s skipped: %s; left on the server.", m_current->Number,
                   EscapeControlBytes(UidOf(*m_current)).c_str(), EscapeControlBytes(Account().Mailbox()).c_str(),
                   reason);
    }
}

void Pop3Client::SendCommand(std::string command)
{
    m_command = std::move(command);
    if (m_log != nullptr) {
        if (m_command.starts_with("PASS ")) {
            m_log->Log(1, "POP3 <<< PASS ****");
        } else {
            std::string_view shown(m_command);
            shown.remove_suffix(shown.ends_with("\r\n") ? 2 : 0);
            m_log->Log(1, "POP3 <<< %s", EscapeControlBytes(shown).c_str());
        }
    }
    if (SendString(m_command) < 0) {
        if (m_log != nullptr) {
            m_log->Log(4, "POP3 Winsock send error: %d.", LastError());
        }
        EndWith(kPop3ConnectionClosed);
    }
}

void Pop3Client::SendQuit(bool normalEnd)
{
    if (normalEnd) {
        m_quitSent = true;
    }
    m_state = State::Quit;
    SendCommand("QUIT\r\n");
}

// ---- replies ----

void Pop3Client::OnReply(std::string_view line)
{
    m_deadline = Clock::now() + m_timeout;
    if (m_state >= State::UidlData) {
        OnDataLine(line);
        return;
    }
    if (m_log != nullptr) {
        m_log->Log(1, "POP3 >>> %s", EscapeControlBytes(line).c_str());
    }
    if (line.starts_with("+OK")) {
        OnOkReply(line);
    } else {
        OnErrorReply(line);
    }
}

void Pop3Client::OnErrorReply(std::string_view line)
{
    Note(m_log, 4, kMsgPop3UnexpectedResponse, EscapeControlBytes(line).c_str());
    if (m_state == State::Quit) {
        EndWith(kPop3ErrorReply);
        return;
    }
    int result = kPop3ErrorReply;
    if (m_state == State::User || m_state == State::Pass) {
        const bool locked = ContainsNoCase(line, "lock") || ContainsNoCase(line, "in-use");
        result = locked ? kPop3MailboxLocked : kPop3LogonRefused;
    }
    SetResult(result);
    SendQuit(false);
}

void Pop3Client::OnOkReply(std::string_view line)
{
    switch (m_state) {
    case State::Greeting:
        m_state = State::User;
        SendCommand("USER " + Account().User() + "\r\n");
        break;
    case State::User:
        m_state = State::Pass;
        SendCommand("PASS " + Password() + "\r\n");
        break;
    case State::Pass:
        if (m_logonTest) {
            SendQuit(true);
        } else {
            m_state = State::Stat;
            SendCommand("STAT\r\n");
        }
        break;
    case State::Stat:
        m_messageCount = static_cast<int>(std::clamp<long long>(NumberAfterBlank(line, 1), 0, INT32_MAX));
        if (m_messageCount.load() == 0) {
            m_uidListComplete = true;
            StartWorkList();
        } else {
            m_state = State::Uidl;
            SendCommand("UIDL\r\n");
        }
        break;
    case State::Uidl:
        m_state = State::UidlData;
        break;
    case State::List:
        OnListReply(line);
        break;
    case State::Top:
        m_state = State::TopData;
        break;
    case State::Retr:
        m_state = State::RetrData;
        break;
    case State::DeleAfterRetr:
        m_current->DeleAccepted = true;
        RetrieveNext();
        break;
    case State::Quit:
        m_quitConfirmed = true;
        m_done = true;
        break;
    case State::Dele:
        ++m_deleted;
        m_current->DeleAccepted = true;
        DeleteNext();
        break;
    default:
        break;
    }
}

void Pop3Client::OnDataLine(std::string_view line)
{
    if (line == ".") {
        OnDataEnd();
        return;
    }
    if (line.starts_with("..")) {
        line.remove_prefix(1);
    }
    if (m_state == State::UidlData) {
        OnUidlLine(line);
        return;
    }
    m_messageBytes += static_cast<std::int64_t>(line.size() + 2);
    if (m_skipping) {
        return;
    }
    if (m_messageBytes.load() > m_messageLimit) {
        SkipMessage(m_messageLimit < m_maxMessageSize ? "it runs past the size the server announced"
                                                      : "it is larger than [PopClient] MaxMessageSize");
        return;
    }
    m_builder->AddLine(line);
}

void Pop3Client::OnDataEnd()
{
    if (m_state == State::UidlData) {
        OnUidlEnd();
        return;
    }
    if (m_skipping) {
        m_skipping = false;
        if (!m_single) {
            AddSeen(UidOf(*m_current));
        }
        RetrieveNext();
        return;
    }
    if (m_state == State::RetrData) {
        OnRetrEnd();
        return;
    }
    if (m_builder->InHeader()) {
        m_builder->AddLine("");
    }
    MessageIndexEntry* entry = m_builder->Finish();
    m_builder.reset();
    if (entry != nullptr) {
        AddSeen(UidOf(*m_current));
    }
    RetrieveNext();
}

void Pop3Client::OnUidlLine(std::string_view line)
{
    if (static_cast<std::size_t>(++m_uidlLines) > kMaxPop3UidlLines) {
        if (m_log != nullptr) {
            m_log->Log(4, "POP3 More than %zu UIDL lines.", kMaxPop3UidlLines);
        }
        EndWith(kPop3ErrorReply);
        return;
    }
    const std::size_t blank = line.find(' ');
    if (blank == std::string_view::npos) {
        return;
    }
    const int number = ParseDecimalInt(line.substr(0, blank));
    const std::string_view uid = line.substr(blank + 1);
    if (number <= 0 || !IsUsableUid(uid)) {
        return;
    }
    if (Select(uid, CaseRule::Exact)) {
        WorkItem item;
        item.Number = number;
        static_cast<void>(AddWorkItem(item, uid));
    } else if (!m_single && !m_deleteMode && Account().Delete() == 2 && m_storedUids.Contains(uid) &&
               m_deletionsDue.contains(std::string(uid))) {
        // Stored by a run that ended before its deletions took effect (they do only at QUIT): delete it now. Only
        // those: a message stored while the account kept the server's copies stays for the mailbox's other
        // clients.
        WorkItem item;
        item.Number = number;
        item.DeleteOnly = true;
        static_cast<void>(AddWorkItem(item, uid));
    }
}

bool Pop3Client::AddWorkItem(WorkItem item, std::string_view uid)
{
    const std::size_t at = m_workUids.Insert(uid).first;
    if (at == UidSet::kNone) {
        return false;
    }
    item.Uid = static_cast<std::uint32_t>(at);
    m_work.push_back(item);
    return true;
}

bool Pop3Client::Select(std::string_view uid, CaseRule rule)
{
    if (m_single) {
        // One message is looked for: the first match is the one.
        const bool same = rule == CaseRule::Exact ? uid == m_entry->Uid() : EqualsNoCase(uid, m_entry->Uid());
        return same && m_work.empty();
    }
    if (m_deleteMode) {
        return m_toDelete.contains(std::string(uid));
    }
    if (m_known.Contains(uid)) {
        AddSeen(uid);
        return false;
    }
    return true;
}

void Pop3Client::OnUidlEnd()
{
    m_uidListComplete = true;
    LogWorkList();
    StartWorkList();
}

void Pop3Client::LogWorkList()
{
    const int count = static_cast<int>(m_work.size());
    if (!m_single) {
        Note(m_log, 2, m_deleteMode ? kMsgPop3Deleting : kMsgPop3Retrieving, count);
    } else if (count > 0) {
        Note(m_log, 2, kMsgPop3MessageFound);
    }
}

void Pop3Client::StartWorkList()
{
    m_position = 0;
    if (m_deleteMode) {
        DeleteNext();
        return;
    }
    m_uidsWritten = true;
    RetrieveNext();
}

void Pop3Client::RetrieveNext()
{
    // A fetched message is deleted on the server only once its batch is on disk.
    if (!m_deleDue.empty()) {
        m_current = &m_work[m_deleDue.front()];
        m_deleDue.erase(m_deleDue.begin());
        m_state = State::DeleAfterRetr;
        SendCommand(Numbered("DELE", m_current->Number));
        return;
    }
    const bool end = m_position >= m_work.size();
    if (!m_unplaced.empty() &&
        (end || m_batch.Count() >= kPop3BatchMessages || m_batch.Bytes() >= kPop3BatchBytes)) {
        m_storeFailed = !PlaceBatch() || m_storeFailed;
        if (!m_deleDue.empty()) {
            RetrieveNext();
            return;
        }
    }
    if (m_storeFailed) {
        SetResult(kPop3ErrorReply);
        SendQuit(false);
        return;
    }
    if (end) {
        SendQuit(true);
        return;
    }
    m_current = &m_work[m_position++];
    if (m_current->DeleteOnly) {
        m_state = State::DeleAfterRetr;
        SendCommand(Numbered("DELE", m_current->Number));
        return;
    }
    m_state = State::List;
    SendCommand(Numbered("LIST", m_current->Number));
}

void Pop3Client::DeleteNext()
{
    if (m_position >= m_work.size()) {
        SendQuit(true);
        return;
    }
    m_current = &m_work[m_position++];
    m_state = State::Dele;
    SendCommand(Numbered("DELE", m_current->Number));
}

void Pop3Client::OnListReply(std::string_view line)
{
    m_messageBytes = 0;
    m_skipping = false;
    // The size the server announces bounds what is taken of the message.
    const std::int64_t announced = std::max<long long>(NumberAfterBlank(line, 2), 0);
    // A reply without a size leaves only the cap.
    m_messageLimit = announced > 0 ? std::min(announced + kPop3SizeSlack, m_maxMessageSize) : m_maxMessageSize;
    if (m_single || m_cutoff == 0 || m_cutoff >= announced) {
        // To be fetched whole: one larger than the cap is not fetched at all.
        if (announced > m_maxMessageSize) {
            SkipMessage("it is larger than [PopClient] MaxMessageSize");
            m_skipping = false;
            if (!m_single) {
                AddSeen(UidOf(*m_current));
            }
            RetrieveNext();
            return;
        }
    }
    if (m_single) {
        m_messageSize = m_entry->Size();
        m_builder = std::make_unique<MessageBuilder>(*m_entry);
        m_builderBound = true;
        static_cast<void>(m_builder->Begin(m_entry->Size(), true));
        m_state = State::Retr;
        SendCommand(Numbered("RETR", m_current->Number));
        return;
    }
    const std::int64_t size = announced;
    m_messageSize = size;
    m_builder = std::make_unique<MessageBuilder>(Account(), *m_index, nullptr, UidOf(*m_current), m_user);
    m_builder->SetBatch(&m_batch);
    m_builderBound = false;
    // The UID joins the seen list only once the message is in the index (OnDataEnd, OnRetrEnd), so a message whose
    // fetch broke off is fetched again next time.
    if (m_cutoff != 0 && m_cutoff < size) {
        static_cast<void>(m_builder->Begin(size, false));
        m_state = State::Top;
        SendCommand("TOP " + std::to_string(m_current->Number) + " 0\r\n");
    } else {
        static_cast<void>(m_builder->Begin(size, true));
        m_state = State::Retr;
        SendCommand(Numbered("RETR", m_current->Number));
    }
}

void Pop3Client::OnRetrEnd()
{
    MessageIndexEntry* entry = m_builder->Finish();
    const bool queued = entry != nullptr && m_builder->Queued();
    const bool stored = entry != nullptr && entry->HasFlag(MessageFlag::Stored);
    m_builder.reset();
    if (queued) {
        // Counted, seen and deleted on the server once its batch is placed (PlaceBatch).
        m_unplaced.emplace_back(m_position - 1, entry);
        RetrieveNext();
        return;
    }
    if (!stored) {
        // Nothing of it is kept here, so it stays on the server and is fetched again next time.
        if (!m_builderBound && entry != nullptr) {
            m_index->RemoveEntry(entry);
        }
        if (m_log != nullptr) {
            m_log->Log(4, "POP3 Message %d of mailbox %s could not be stored.", m_current->Number,
                       EscapeControlBytes(Account().Mailbox()).c_str());
        }
        SetResult(kPop3ErrorReply);
        SendQuit(false);
        return;
    }
    if (!m_single) {
        AddSeen(UidOf(*m_current));
    }
    ++m_retrieved;
    if (Account().Delete() == 2) {
        if (m_single) {
            // A new message's builder noted this in the journal; a completed one's is noted here.
            m_index->RecordFetched("", "", Account().Mailbox(), UidOf(*m_current), ServerCopy::DeletionDue);
        }
        m_state = State::DeleAfterRetr;
        SendCommand(Numbered("DELE", m_current->Number));
        return;
    }
    RetrieveNext();
}

// ---- the store side ----

void Pop3Client::DropUnfinishedMessage()
{
    if (m_builder == nullptr) {
        return;
    }
    const std::uint32_t number = m_builder->Number();
    const bool bound = m_builderBound;
    m_builder.reset(); // removes what it wrote
    // A new message whose data broke off leaves no entry: it is fetched again next time.
    if (!bound && number != 0 && m_index != nullptr) {
        if (MessageIndexEntry* entry = m_index->FindByNumber(number); entry != nullptr) {
            m_index->RemoveEntry(entry);
        }
    }
}

// Places the fetched messages written since the last batch (StoreBatch::Commit: their data synced, their names, their
// folders synced); only then are they seen and counted, and their DELEs become due. A message that could not be
// placed leaves no entry: it stays on the server and is fetched again next time. False when one could not.
bool Pop3Client::PlaceBatch()
{
    if (m_unplaced.empty()) {
        return true;
    }
    static_cast<void>(m_batch.Commit(platform::DirSync::Now));
    bool placedAll = true;
    for (const auto& [position, entry] : m_unplaced) {
        const WorkItem& item = m_work[position];
        if (!entry->HasFlag(MessageFlag::Stored)) {
            m_index->RemoveEntry(entry);
            if (m_log != nullptr) {
                m_log->Log(4, "POP3 Message %d of mailbox %s could not be stored.", item.Number,
                           EscapeControlBytes(Account().Mailbox()).c_str());
            }
            placedAll = false;
            continue;
        }
        AddSeen(UidOf(item));
        ++m_retrieved;
        if (Account().Delete() == 2) {
            m_deleDue.push_back(position);
        }
    }
    m_unplaced.clear();
    return placedAll;
}

void Pop3Client::FillHeadersOnlyCopies(MessageIndexEntry& entry)
{
    if (!entry.HasFlag(MessageFlag::HeadersOnlyCopies)) {
        return;
    }
    entry.ChangeFlags(MessageFlag::HeadersOnlyCopies, false);
    const std::string messagePath = entry.GetMessagePath();
    const std::string partsPath = entry.GetPartIndexPath();
    const bool hasParts = platform::IsRegularFile(partsPath);
    MessageIndex& index = entry.Owner();
    for (int i = 0; i < index.Count(); ++i) {
        MessageIndexEntry* copy = index.Entry(i);
        if (copy == &entry || !copy->HasFlag(MessageFlag::HeadersOnlyCopies) || copy->HasFlag(MessageFlag::Stored) ||
            copy->Uid().empty() || copy->Uid() != entry.Uid() || !EqualsNoCase(copy->Mailbox(), entry.Mailbox())) {
            continue;
        }
        const std::string copyPath = copy->GetMessagePath();
        const std::string copyDir = platform::ParentDirectory(copyPath);
        if (!platform::IsDirectory(copyDir)) {
            static_cast<void>(platform::MakeDirectories(copyDir));
        }
        if (hasParts) {
            static_cast<void>(platform::CopyFile(partsPath, copy->GetPartIndexPath(), platform::CopyMode::Overwrite));
        }
        if (!platform::CopyFile(messagePath, copyPath, platform::CopyMode::Overwrite).has_value()) {
            continue;
        }
        copy->ChangeFlags(MessageFlag::Stored, true);
        copy->ChangeFlags(MessageFlag::HeadersOnlyCopies, false);
        copy->ForgetPartIndex();
    }
}

void Pop3Client::AddSeen(std::string_view uid)
{
    static_cast<void>(m_seen.Insert(uid));
}

std::string Pop3Client::UidFilePath() const
{
    if (m_user == nullptr) {
        return {};
    }
    return MailboxFilePath(m_user->UserDir(), Account().Mailbox(), MailboxFile::Uid).value_or(std::string());
}

bool Pop3Client::LoadKnownUids()
{
    const std::string path = UidFilePath();
    if (path.empty()) {
        return false;
    }
    // Read straight into the set: a file of many lines would cost a string each on the way. A missing file: nothing
    // seen yet. Lines that cannot be UIDs (empty, too long) are passed over.
    const Result<std::string> text =
            platform::ReadWholeFile(path, static_cast<std::uint64_t>(kMaxPop3UidlLines) * (kMaxPop3Uid + 2));
    if (text.has_value()) {
        const std::string_view all = *text;
        const auto lines = static_cast<std::size_t>(std::count(all.begin(), all.end(), '\n')) + 1;
        m_known.Reserve(lines + static_cast<std::size_t>(m_index->Count()), all.size());
        // Most known UIDs are still on the server: the seen list takes them again.
        m_seen.Reserve(lines, all.size());
        for (std::size_t at = 0; at < all.size();) {
            const std::size_t lf = std::min(all.find('\n', at), all.size());
            std::string_view line = all.substr(at, lf - at);
            at = lf + 1;
            line = line.substr(0, line.find('\0'));
            if (line.ends_with('\r')) {
                line.remove_suffix(1);
            }
            if (!line.empty() && line.size() <= kMaxPop3Uid) {
                static_cast<void>(m_known.Insert(line));
            }
        }
    }
    // A message in the index is known whatever the UID file says: one adopted after a crash kept its UID.
    for (int i = 0; i < m_index->Count(); ++i) {
        const MessageIndexEntry& e = *m_index->Entry(i);
        if (!e.Uid().empty() && EqualsNoCase(e.Mailbox(), Account().Mailbox())) {
            static_cast<void>(m_known.Insert(e.Uid()));
            if (e.HasFlag(MessageFlag::Stored)) {
                static_cast<void>(m_storedUids.Insert(e.Uid()));
            }
        }
    }
    m_deletionsDue = m_index->DeletionsDue(Account().Mailbox());
    return true;
}

// After a run: a deletion named due in the journal is done once the server confirmed the QUIT after its DELE. A run
// that read the whole UID list also drops those no longer on the server, and every one when the account no longer
// deletes after fetching.
void Pop3Client::SettleDeletionsDue()
{
    if (m_index == nullptr || m_deleteMode || !m_uidListComplete) {
        return;
    }
    std::unordered_set<std::string> listed;
    std::unordered_set<std::string> deleted;
    for (const WorkItem& item : m_work) {
        listed.insert(std::string(UidOf(item)));
        if (item.DeleAccepted && m_quitConfirmed) {
            deleted.insert(std::string(UidOf(item)));
        }
    }
    const bool wholeList = !m_single;
    const bool deleting = Account().Delete() == 2;
    m_index->SettleDeletionsDue(Account().Mailbox(), [&](const std::string& uid) {
        if (deleted.contains(uid)) {
            return false;
        }
        return !wholeList || (deleting && (listed.contains(uid) || m_seen.Contains(uid)));
    });
}

void Pop3Client::SaveSeenUids()
{
    const std::string path = UidFilePath();
    std::string text;
    for (std::size_t i = 0; i < m_seen.Count(); ++i) {
        text.append(m_seen.At(i)).append("\r\n");
    }
    // Written as one step: a torn file would make every message it lost be fetched again.
    if (path.empty() || !platform::WriteFileAtomic(path, text).has_value()) {
        if (m_log != nullptr) {
            m_log->Log(4, "POP3 Cannot write the UID file of mailbox %s.",
                       EscapeControlBytes(Account().Mailbox()).c_str());
        }
    }
}

} // namespace qm::store
