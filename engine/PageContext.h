// What the page templates need of the request and the session they are rendered for. The request implements
// PageContext (and, while it has a session, hands out a PageSession); the interpreter, the template vocabulary and
// the choice of language, theme and style see the request only through these two interfaces.
#pragma once

#include "engine/DomainSettings.h"
#include "engine/MessageSlot.h"
#include "store/StoreSeams.h"

namespace qm::store {
class MessageIndexEntry;
} // namespace qm::store

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

namespace qm {
class CgiInput;
class Logger;
} // namespace qm

namespace qm::engine {

class TemplateCache;

/// The progress of the mail fetch that runs after a page (read from the session's running POP3 client).
struct FetchProgress {
    bool DeleteMode = false; ///< the client deletes messages on the server
    std::string Mailbox;     ///< the mailbox name of the account being fetched
    int Done = 0;            ///< messages fetched so far
    int Total = 0;           ///< messages to fetch
    int Received = 0;        ///< bytes received of the message being fetched
    int Size = 0;            ///< its size in bytes
    int Deleted = 0;         ///< messages deleted on the server
    int ToDelete = 0;        ///< messages to delete
};

/// The session of a page. Every call comes from the request's thread while it holds the session's request lock.
class PageSession {
public:
    PageSession() = default;
    PageSession(const PageSession&) = delete;
    PageSession& operator=(const PageSession&) = delete;
    virtual ~PageSession() = default;

    /// The session id (seven letters).
    virtual const char* Id() const = 0;

    /// The user's name as the session holds it.
    virtual const char* UserName() const = 0;

    /// Where the user's settings come from (the user's domain and User.ini).
    virtual UserSettingsSource Settings() const = 0;

    /// The session's status and error messages, shown once by the next page.
    virtual MessageSlot& StatusMessage() = 0;
    virtual MessageSlot& ErrorMessage() = 0;

    /// The view an action set for the next frame page, which this call clears; 0 when none is pending.
    virtual int TakePendingFrameView() = 0;

    /// The progress of the session's running mail fetch, read under the session's client lock; nullopt while no
    /// POP3 client runs.
    virtual std::optional<FetchProgress> GetFetchProgress() = 0;

    /// The user of the session, with the store objects the user owns (folders, mail accounts, ...).
    virtual store::StoreUser& User() = 0;

    /// The message the mail pages show (an entry of the user's index, not owned), or null; the MESSAGE list makes
    /// each of its entries current in turn.
    virtual store::MessageIndexEntry* CurrentMessage() = 0;
    virtual void SetCurrentMessage(store::MessageIndexEntry* entry) = 0;

    /// The session's temporary directory (compose files, decoded bodies).
    virtual const std::string& TempDir() const = 0;
};

/// The request a page is rendered for. Every call comes from the request's own thread.
class PageContext {
public:
    PageContext() = default;
    PageContext(const PageContext&) = delete;
    PageContext& operator=(const PageContext&) = delete;
    virtual ~PageContext() = default;

    /// The page being built: rendering appends to it. The request writes it out after the page is complete.
    virtual std::string& Output() = 0;

    /// The request's form fields, cookies and CGI environment.
    virtual const CgiInput& Input() const = 0;

    /// The request's log.
    virtual Logger& Log() = 0;

    /// The engine's template cache.
    virtual TemplateCache& Templates() = 0;

    /// The session, or null while the request has none.
    virtual PageSession* Session() = 0;

    /// The view id of the request (Views.h); 0 for a view outside the table.
    virtual int View() const = 0;

    /// The request's language code (two or three lower-case letters), theme name and domain name.
    virtual const std::string& Language() const = 0;
    virtual const std::string& Theme() const = 0;
    virtual const std::string& Domain() const = 0;

    /// Set by ResolveLanguage and ResolveTheme.
    virtual void SetLanguage(std::string code) = 0;
    virtual void SetTheme(std::string theme) = 0;

    /// The request's own status and error messages, used while it has no session.
    virtual MessageSlot& RequestStatusMessage() = 0;
    virtual MessageSlot& RequestErrorMessage() = 0;
};

/// Stores text as the status message of the session, or of the request while it has none; tone says whether it
/// tells of something done or of something refused.
void SetStatusMessage(PageContext& context, std::string_view text, MessageTone tone = MessageTone::Notice);

/// Stores text as the error message of the session, or of the request while it has none.
void SetErrorMessage(PageContext& context, std::string_view text);

/// Message number (1 to 999) of the request's language (the English text when the language lacks it; "" when
/// neither has it). The text belongs to the template cache.
const char* LanguageText(PageContext& context, int number);

/// Language message `number` with args put in its conversions, as the status message (TellStatus, a notice;
/// TellRefusal, a refusal) or the error message (TellError); nothing when neither the request's language nor
/// English has the text.
void TellStatus(PageContext& context, int number, std::initializer_list<std::string_view> args = {});
void TellRefusal(PageContext& context, int number, std::initializer_list<std::string_view> args = {});
void TellError(PageContext& context, int number, std::initializer_list<std::string_view> args = {});

/// True when the status message that the page's STATUSMESG would show (the session's, else the request's) is a
/// refusal.
bool StatusIsRefusal(PageContext& context);

} // namespace qm::engine
