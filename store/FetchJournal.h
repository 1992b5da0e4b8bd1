// The fetch journal of a user directory: the account and UID of every fetched message placed since the index was
// last saved, and of every message stored by a run that deletes after fetching whose deletion on the server has not
// been confirmed yet.
#pragma once

#include "base/Result.h"

#include <string>
#include <string_view>
#include <vector>

namespace qm::store {

/// One line of the journal. A line names a placed message file when FileId is not empty; DeletionDue marks a
/// message whose copy on the server is still to be deleted.
struct FetchJournalLine {
    std::string FileId;
    std::string Folder; ///< '/' between levels
    std::string Mailbox;
    std::string Uid;
    bool DeletionDue = false;
};

/// The text of one line: FileId, Folder ('\' between levels), Mailbox and Uid, each followed by the byte 0x01, then
/// "D" and 0x01 when the deletion is due, and CR LF. Readers that know only the first four fields ignore the rest.
std::string FetchJournalText(const FetchJournalLine& line);

/// The lines of the journal file at path that name a mailbox and a UID; none when it is missing or unreadable.
std::vector<FetchJournalLine> ReadFetchJournal(const std::string& path);

/// Replaces the journal file at path with lines, as one step; removes it when there are none.
Result<void> WriteFetchJournal(const std::string& path, const std::vector<FetchJournalLine>& lines);

} // namespace qm::store
