// The actions of the options pages for mail accounts (Options-Hosts) and mail filters (Options-Filters): they add,
// change, rename and remove the user's POP3 accounts and their signatures, rebuild, reorder and delete the filter
// rules, and apply the rules to the messages of a folder.
#pragma once

namespace qm::engine {

class Request;

/// Language messages of the two pages (the confirmation is kTextChangesSaved of the other options pages).
inline constexpr int kTextNoAccountName = 39;
inline constexpr int kTextNoAccountEMail = 41;
inline constexpr int kTextNoAccountHost = 42;
inline constexpr int kTextNoAccountUser = 43;
inline constexpr int kTextNoAccountPass = 44;
inline constexpr int kTextAccountRemoved = 85;        // "%s": the account's name
inline constexpr int kTextAccountValueRefused = 86;   // a name, line break or port that cannot be stored
inline constexpr int kTextAccountNameTaken = 87;      // "%s": the name another account has
inline constexpr int kTextFilterRefused = 88;         // "%s": the filter's number on the page
inline constexpr int kTextFiltersApplied = 89;        // "%s": how many messages moved
inline constexpr int kTextFilterKept = 481;           // "%s": the filter's number; an edit it cannot hold was refused
inline constexpr int kTextAccountFilesInTheWay = 440; // "%s": the new name, whose UID or signature file exists
inline constexpr int kTextSystemAccountKept = 420;    // "%s": the account the domain keeps in step, not removed

/// Rows of the filter form: 0 to kLastFilterRow. The page numbers the rules from 1, and a new rule's row sorts
/// where it is wanted (the last row appends).
inline constexpr int kLastFilterRow = 100;

/// The Options-Hosts action (under the session's lock): Delete removes the account it names with its files, but
/// never the system account while the domain keeps it in step (the page offers no button for it); Save and Finished
/// take every row "Mailbox:%d" from 0 on and store the accounts; Cancel changes nothing.
void HostsAction(Request& request);

/// The Options-Filters action (under the session's lock): a FilterDelete button deletes one rule; Save, Finished
/// and Apply rebuild the rules from the rows (a FilterUp or FilterDown button swaps two of them); Apply then files
/// the messages of a folder again; Cancel changes nothing.
void FiltersAction(Request& request);

} // namespace qm::engine
