// The work on a user's mail when a session begins and ends: adopting message files dropped into folders, the
// welcome message of a new account, and the clean-up at the end (trash, new flags, server deletions, index save).
//
// All of it works on the user's message index and builds messages with the store's message builder.
#pragma once

#include "common/Log.h"
#include "engine/UserRecord.h"

#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qm::engine {

/// Name of the welcome message's text in the base directory (found whatever its case).
inline constexpr const char* kWelcomeFileName = "welcome.msg";

/// Reconciles the user's folders with their message files: files without an index entry are stored again as new
/// messages (through scratchDir), entries whose stored file is gone are dropped.
void AdoptFolderFiles(UserRecord& user, const std::string& scratchDir);

/// The clean-up at the end of a session (unless it served only status checks), in this order:
/// 1. the trash is emptied (log 207) when the user setting EmptyTrash is true, or MessageCountQuota is above 0 and
///    the index holds more entries, or DiskSpaceQuota is above 0 and the stored messages take more kilobytes;
/// 2. the new flag of every entry is cleared;
/// 3. an entry deleted here (Folder "") is dropped when no account of the user has its Mailbox, its Mailbox or Uid
///    is empty, that account's Delete setting is 0, or it is 2 (deleted when retrieved) and the message is stored;
///    it is kept otherwise;
/// 4. when an entry was kept, the server deletion runs for every account whose Delete setting is not 0, each with
///    a client of its own; entries whose deletion did not go through stay in the index (logged at level 2);
/// then the index is saved when changed (a failure is logged at level 4).
void CleanUpMailAtSessionEnd(UserRecord& user, Logger& log);

/// Saves the user's message index when it changed; a failure is logged (level 4) and gives false.
bool SaveMessageIndex(UserRecord& user, Logger& log);

/// The local time as a mail date, "Tue, 08 Dec 2026 08:24:00 +0100" (English names whatever the locale; the zone
/// is the local offset from UTC, its sign kept also for offsets under an hour).
std::string MailDateText(time_t when);

/// The texts that the welcome message puts in place of "<$USERNAME$>", "<$FULLNAME$>" and "<$EMAIL$>".
struct WelcomeFields {
    std::string_view UserName;
    std::string_view FullName;
    std::string_view EMail;
};

/// The lines of the welcome message: "Date: " and MailDateText(now), then every line of fileText (CR LF or LF
/// ends a line; lines are taken whole) with the three tags replaced, in any case.
std::vector<std::string> WelcomeMessageLines(std::string_view fileText, const WelcomeFields& fields, time_t now);

/// The welcome message for user: nullopt unless [AccountCreation] SendWelcomeMessage is true and the base directory
/// holds welcome.msg; otherwise its lines (WelcomeMessageLines with the user's name and default mail account).
std::optional<std::vector<std::string>> LoadWelcomeMessage(const UserRecord& user, time_t now);

/// Stores lines as a new message in the user's "Inbox", its size the sum of the line lengths, and saves the index.
/// True only when the message file was written and the index saved.
bool StoreWelcomeMessage(UserRecord& user, const std::vector<std::string>& lines);

/// What SendWelcomeMessage did.
enum class WelcomeOutcome {
    Stored,     ///< the welcome message is in the Inbox
    NoneToSend, ///< LoadWelcomeMessage gave none: welcomes are off, or there is no welcome.msg
    Failed,     ///< there was one, but it could not be stored
};

/// LoadWelcomeMessage, then StoreWelcomeMessage.
WelcomeOutcome SendWelcomeMessage(UserRecord& user, time_t now);

} // namespace qm::engine
