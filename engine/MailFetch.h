// The engine's POP3 runs for a user: new mail for every active account, the server deletions of the messages deleted
// here, and the whole text of one message kept with its headers only. Each run's client sits in the session's client
// slot while it runs, so that the status page can read its counters.
#pragma once

#include "common/Log.h"
#include "engine/EngineShared.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace qm::store {
class MessageIndexEntry;
} // namespace qm::store

namespace qm::engine {

class Session;
class UserRecord;

/// Language messages shown after a failed fetch (used as a format with the account's mailbox name).
inline constexpr int kTextFetchBadLogon = 53;
inline constexpr int kTextFetchNoConnection = 54;
inline constexpr int kTextFetchFailed = 55;
inline constexpr int kTextMessageFetchFailed = 47;

/// The default [PopClient] RetrCutoff: bytes above which a new message is fetched with its headers only.
inline constexpr std::int64_t kDefaultRetrCutoff = 8192;

/// The language message for a failed fetch with this POP3 result: 53 for a refused logon, 54 for a connection that
/// could not be made, 55 for every other failure, 0 (nothing shown) for a locked mailbox.
int FetchFailureMessage(int pop3Result);

/// One account whose fetch failed.
struct FetchFailure {
    std::string Mailbox;
    int Result = 0;
};

/// What FetchNewMailForUser did.
struct FetchReport {
    int Runs = 0;
    int Retrieved = 0;
    std::vector<FetchFailure> Failures;
};

/// Where the runs are shown and counted; every member may be null.
struct Pop3RunSite {
    /// The session whose client slot holds each client while it runs.
    Session* Slot = nullptr;
    /// Status word 4 counts the runs, word 5 the failed ones.
    EngineStatus* Status = nullptr;
    Logger* Log = nullptr;
};

/// Fetches new mail for every active account of the user, in list order, with [PopClient] RetrCutoff (default
/// 8192). A success adds the messages retrieved to [Stats] Received; a failure adds 1 to RecvErrors; messages
/// skipped as too large (left on the server) are added to RecvSkipped. [Stats]
/// MessageCount and DiskSpace are written after every run. skip, when given, is asked as each active account comes
/// up: true leaves that account out (a quota reached by the accounts before it).
FetchReport FetchNewMailForUser(UserRecord& user, const Pop3RunSite& site, const std::function<bool()>& skip = {});

/// Runs the server deletion (Pop3Client::DeleteFromServer) for every account whose Delete setting is not 0. Entries
/// whose deletion did not go through stay in the index for the next try. True when none of them is left.
bool DeleteOnServers(UserRecord& user, const Pop3RunSite& site);

/// Fetches the whole text of entry (kept with headers only) from the account named by its mailbox: -1 when no
/// account has that mailbox (nothing runs); 1 when the entry is now stored ([Stats] Received, MessageCount and
/// DiskSpace written); 0 when the run failed (status word 5 and [Stats] RecvErrors counted; a message too large
/// to fetch is counted in RecvSkipped too).
int RetrieveWholeMessage(UserRecord& user, store::MessageIndexEntry& entry, const Pop3RunSite& site);

} // namespace qm::engine
