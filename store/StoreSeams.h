// The store's view of the engine objects that it works with. The store never includes engine code: the engine
// implements these interfaces (its user record, its language texts, its request) and hands them in.
#pragma once

#include "base/Result.h"

#include <string>

namespace qm {
class Logger;
} // namespace qm

namespace qm::store {

class AddressBook;
class FilterList;
class FolderList;
class MailHostList;
class MessageIndex;

/// The user whose store is worked on: the user directory and the store objects the user owns.
class StoreUser {
public:
    virtual ~StoreUser() = default;

    /// The user directory, without a trailing '/'.
    virtual const char* UserDir() const = 0;

    /// The user's message index; a user without one (a stand-in of a test) fails, so a caller answers with its
    /// error path instead of ending the process.
    virtual Result<MessageIndex*> Index() = 0;

    virtual FolderList& Folders() = 0;
    virtual FilterList& Filters() = 0;
    virtual MailHostList& MailHosts() = 0;
    virtual AddressBook& AddrBook() = 0;

    /// The password the user typed at logon, used for a mail account whose stored password is a single '\'.
    virtual const char* OwnPassword() const = 0;
};

/// The numbered messages of the languages (1 to 999), such as the names of the special folders.
class LanguageTexts {
public:
    virtual ~LanguageTexts() = default;

    /// Message number (1 to 999) of language (its code, "en"); "" when there is none. The text stays owned by the
    /// implementation and valid while it lives.
    virtual const char* GetLanguageText(int number, const char* language) const = 0;
};

/// What rendering a message for a page needs of the request; empty fields mean "no session".
struct RenderContext {
    std::string SessionId;
    /// The user's language code ("en", "ja").
    std::string Language;
    /// The CGI SCRIPT_NAME, the base of links back into the session.
    std::string ScriptName;
    /// The session's temporary directory.
    std::string SessionTempDir;
};

/// Level of the store's reports of records that it could not read and left in their files as they were.
inline constexpr int kStoreSkipLogLevel = 4;

/// Points the store's reports at log (the engine's log); null stops them. The engine sets it once its log is open
/// and clears it before the log ends; nothing may be reporting while it is cleared. Without a log set, reports go
/// nowhere.
void SetStoreLog(Logger* log) noexcept;

/// Reports, when a log is set and the level passes, that a record of file was left out: "<file>: <record> <reason>".
/// The record is named by the store ("section [MailHost2]", "key Filter3 of [Filters]", "directory \"x\"");
/// values read from the file are never part of it, so no password can reach the log.
void ReportSkippedRecord(const std::string& file, const std::string& record, const char* reason);

/// Reports, when a log is set and the level passes, a file operation of the store that failed: "<failure>; <what
/// follows>", where failure is the error's text (it names the file).
void ReportFileFailure(const std::string& failure, const char* consequence);

} // namespace qm::store
