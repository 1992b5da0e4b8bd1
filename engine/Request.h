// One web-mail request: reads the CGI input, picks the mail domain, finds the user's session or logs the user on,
// runs the view's action under the session's lock, writes the page from the view's template, and then does the
// work the page announced, after the page has been written and the output closed.
#pragma once

#include "common/CgiInput.h"
#include "common/LogFile.h"
#include "common/RequestLog.h"
#include "engine/FormBudget.h"
#include "engine/Logon.h"
#include "engine/MessageSlot.h"
#include "engine/PageContext.h"
#include "platform/FdStream.h"

#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace qm::engine {

struct ComposeSeams;
struct EngineStatus;
class LogonThrottle;
class Request;
struct Pop3RunSite;
class Session;
class SessionManager;
class SessionPage;
class TemplateCache;
class UserLogonLocks;

/// What a request works with. Every member must outlive the request.
struct RequestServices {
    SessionManager* Sessions = nullptr;
    TemplateCache* Templates = nullptr;
    LogFile* Log = nullptr;
    const LogonServices* Logon = nullptr;
    std::function<time_t()> Now;

    /// Runs in place of the view's action when set: the tests' stand-in for the actions of the mail pages.
    std::function<void(Request&)> Action;

    /// The failed-logon counts and the per-user logon locks; the engine's when not given.
    LogonThrottle* Throttle = nullptr;
    UserLogonLocks* LogonLocks = nullptr;

    /// The bytes that large forms hold at once; the engine's when not given.
    FormBudget* Forms = nullptr;

    /// The pieces the compose action uses (the outgoing message, the upload parser, the spelling check); the
    /// engine's when not given.
    const ComposeSeams* Compose = nullptr;

    /// The running engine's.
    static RequestServices FromEngine();
};

/// One request, built on the stack of the engine's Main. It owns both descriptors and closes them; everything it
/// writes goes to the output descriptor: the header lines, a blank line and the page. Not thread-safe: one thread.
class Request final : public PageContext {
public:
    /// inFd is the request body (-1: none), outFd the response (-1: nothing is written), environment the CGI
    /// environment block (null: the process environment).
    Request(int inFd, int outFd, const char* environment, RequestServices services);

    /// The same with the response going to `out` (null: nothing is written), a stream the request closes.
    Request(int inFd, platform::UniqueFile out, const char* environment, RequestServices services);
    ~Request() override;

    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;

    /// The whole request.
    void Run();

    /// The session the request works for, or null.
    engine::Session* CurrentSession() { return m_session; }

    /// The mail work after the page: set by the List and Message actions (with the session's RetrievalPending).
    void SetFetchAfterPage(bool on) { m_fetchAfterPage = on; }

    /// Whether the mail work after the page was asked for.
    bool FetchAfterPage() const { return m_fetchAfterPage; }

    CgiInput& MutableInput() { return m_input; }

    /// The view an action changes to: the page of that view is shown instead.
    void SetView(int view) { m_view = view; }

    /// The compose pieces given with the services, or null for the engine's.
    const ComposeSeams* Compose() const { return m_services.Compose; }

    /// The engine's status counters, or null when the sessions have no shared block.
    EngineStatus* Status() const;

    /// The request's clock.
    time_t Now() const { return m_services.Now(); }

    /// For a view that writes the whole response itself: writes the cookie lines, then lets write put its own
    /// header lines, the blank line and the body on the stream; then the output is closed and no page is rendered.
    /// Nothing is written when the request has no output or its response is written already.
    void WriteOwnResponse(const std::function<void(std::FILE*)>& write);

    /// True once the response has been written.
    bool ResponseWritten() const { return m_pageWritten; }

    // PageContext
    std::string& Output() override { return m_page; }

    const CgiInput& Input() const override { return m_input; }

    Logger& Log() override { return *m_log; }

    TemplateCache& Templates() override { return *m_services.Templates; }

    PageSession* Session() override;

    int View() const override { return m_view; }

    const std::string& Language() const override { return m_language; }

    const std::string& Theme() const override { return m_theme; }

    const std::string& Domain() const override { return m_domain; }

    void SetLanguage(std::string code) override { m_language = std::move(code); }

    void SetTheme(std::string theme) override { m_theme = std::move(theme); }

    MessageSlot& RequestStatusMessage() override { return m_statusMessage; }

    MessageSlot& RequestErrorMessage() override { return m_errorMessage; }

private:
    void Parse();
    bool ReserveForm();
    void RefuseBusyForm();
    void RefuseOverflowedInput();
    void Authenticate();
    bool PostedByOtherSite();
    void ResolveLook();
    bool CheckSession();
    bool CheckSessionCookie(engine::Session& found);
    void EnterSession(engine::Session* found);
    bool CheckNewAccount();
    bool HandleNewUserForm();
    void ShowLogonForm();
    void LogonFromForm();
    void KeepCarriedCompose();
    bool CheckPassword(std::string& user, const std::string& password);
    engine::Session* ReplaceSession(const std::string& user);
    void StartSession(engine::Session* created, const std::string& password);
    void Refuse(int message);
    void BeginView();
    void RunAction();
    void PreparePage();
    void WritePage();
    void AfterPage();
    void FetchMailAfterPage();
    void FetchNewMailAfterPage(const Pop3RunSite& site);
    void SetSession(engine::Session* session);
    void DropSession();
    void CloseStreams();
    void SetStatusText(int message, MessageTone tone = MessageTone::Refusal);
    bool Cookies() const;
    std::string PageName() const;

    const char* Env(const char* name) const { return m_input.GetEnv(name); }

    const char* Field(const char* name) const { return m_input.Variables().GetValue(name); }

    bool HasField(const char* name) const { return m_input.Variables().Contains(name); }

    RequestServices m_services;
    std::optional<FormBudget::Hold> m_formHold; // given back after the form (in m_input) is gone
    bool m_formRefused = false;
    platform::UniqueFile m_in;
    platform::UniqueFile m_out;
    CgiInput m_input;
    std::unique_ptr<RequestLog> m_log;
    engine::Session* m_session = nullptr; // holds one busy count while set
    std::unique_ptr<SessionPage> m_sessionPage;
    std::string m_language;
    std::string m_theme;
    std::string m_domain;
    int m_view = 0;
    bool m_fetchAfterPage = false;
    bool m_pageWritten = false;
    bool m_carryMessages = false; // the request's status message goes to the session it logs on
    MessageSlot m_statusMessage;
    MessageSlot m_errorMessage;
    std::string m_head; // header lines written before the content type (the cookies)
    std::string m_page; // the page being rendered
};

} // namespace qm::engine
