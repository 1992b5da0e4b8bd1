#include "engine/Request.h"

#include "base/Assert.h"
#include "common/IniAccess.h"
#include "common/IniCache.h"
#include "common/StringUtil.h"
#include "engine/ComposeAction.h"
#include "engine/DomainPick.h"
#include "engine/DomainSettings.h"
#include "engine/Engine.h"
#include "engine/LanguagesFile.h"
#include "engine/LogonThrottle.h"
#include "engine/MailActions.h"
#include "engine/MailFetch.h"
#include "engine/NewAccount.h"
#include "engine/OptionsActions.h"
#include "engine/OptionsMailActions.h"
#include "engine/PageChoice.h"
#include "engine/ReadReceipt.h"
#include "engine/RequestLogText.h"
#include "engine/RequestMessages.h"
#include "engine/RequestViews.h"
#include "engine/ResponseHead.h"
#include "engine/SessionMail.h"
#include "engine/SessionManager.h"
#include "engine/SessionPage.h"
#include "engine/StatusCheck.h"
#include "engine/TemplateCache.h"
#include "engine/TemplateRender.h"
#include "engine/UserDirectory.h"
#include "engine/UserLogonLocks.h"
#include "engine/WatchInstaller.h"
#include "platform/Path.h"

#include <cstdio>
#include <mutex>
#include <string>
#include <utility>

namespace qm::engine {
namespace {

// The longest typed password the session keeps for mail accounts whose stored password is '\'.
constexpr std::size_t kMaxOwnPassword = 31;

bool CheckIp()
{
    return ReadIniBool("Session", "CheckIP", true);
}

bool CheckCookie()
{
    return ReadIniBool("Session", "CheckCookie", true);
}

// The host and port of an Origin header ("scheme://host[:port]"), or false when it names no site of ours to
// compare ("null", another scheme, a path after the host).
bool SplitOrigin(std::string_view origin, std::string_view& host, std::string_view& port)
{
    std::size_t start = 0;
    if (StartsWithNoCase(origin, "http://")) {
        start = 7;
    } else if (StartsWithNoCase(origin, "https://")) {
        start = 8;
    } else {
        return false;
    }
    const std::string_view authority = origin.substr(start);
    if (authority.empty() || authority.find_first_of("/?#@ ") != std::string_view::npos) {
        return false;
    }
    const std::size_t colon = authority.rfind(':');
    const std::size_t bracket = authority.rfind(']');
    if (colon == std::string_view::npos || (bracket != std::string_view::npos && bracket > colon)) {
        host = authority;
        port = {};
        return true;
    }
    host = authority.substr(0, colon);
    port = authority.substr(colon + 1);
    return !host.empty() && !port.empty();
}

// True when the Origin header names this server as the browser reached it (SERVER_NAME and SERVER_PORT come from
// the Host header, with port 80 when it names none). The scheme is not compared: a proxy in front may add TLS.
bool OriginIsThisServer(std::string_view origin, std::string_view serverName, std::string_view serverPort)
{
    std::string_view host;
    std::string_view port;
    if (!SplitOrigin(origin, host, port) || !EqualsNoCase(host, serverName)) {
        return false;
    }
    return port.empty() ? serverPort == "80" : port == serverPort;
}

// The status text of a request that is refused before anything runs, because its form was not taken whole.
std::string OverflowText(InputOverflow overflow)
{
    if (overflow == InputOverflow::TooManyFields) {
        return "The request was refused: it has more than " + std::to_string(kMaxFormFields) + " form fields.";
    }
    return "The request was refused: its form is larger than " + std::to_string(kMaxFormPostBytes >> 20) + " MiB.";
}

} // namespace

RequestServices RequestServices::FromEngine()
{
    RequestServices services;
    services.Sessions = EngineSessions();
    services.Templates = EngineTemplates();
    services.Log = EngineLog();
    services.Logon = &DefaultLogonServices();
    services.Throttle = &EngineLogonThrottle();
    services.LogonLocks = &EngineUserLogonLocks();
    services.Forms = &EngineFormBudget();
    services.Now = [] {
        return EngineNow();
    };
    return services;
}

Request::Request(int inFd, int outFd, const char* environment, RequestServices services)
    : Request(inFd, platform::StreamOverFd(outFd, platform::StreamMode::Write), environment, std::move(services))
{}

Request::Request(int inFd, platform::UniqueFile out, const char* environment, RequestServices services)
    : m_services(std::move(services))
    , m_in(platform::StreamOverFd(inFd, platform::StreamMode::Read))
    , m_out(std::move(out))
    , m_input(m_in.get(), m_out.get(), environment)
{
    QM_ASSERT(m_services.Log != nullptr && m_services.Templates != nullptr && m_services.Sessions != nullptr);
    if (m_services.Logon == nullptr) {
        m_services.Logon = &DefaultLogonServices();
    }
    if (m_services.Throttle == nullptr) {
        m_services.Throttle = &EngineLogonThrottle();
    }
    if (m_services.LogonLocks == nullptr) {
        m_services.LogonLocks = &EngineUserLogonLocks();
    }
    if (m_services.Forms == nullptr) {
        m_services.Forms = &EngineFormBudget();
    }
    m_log = std::make_unique<RequestLog>(*m_services.Log);
}

Request::~Request()
{
    // A request that ends early (an exception on the way) still gives its busy count back.
    if (m_session != nullptr) {
        m_session->Unbusy();
    }
    m_log->Flush();
}

EngineStatus* Request::Status() const
{
    return m_services.Sessions->Status();
}

PageSession* Request::Session()
{
    return m_sessionPage.get();
}

void Request::Run()
{
    // Each settings file is checked once for the whole request (and again after a write of this process).
    const IniReadScope settings;
    Parse();
    if (m_formRefused) {
        RefuseBusyForm();
        return;
    }
    if (m_input.Overflowed() != InputOverflow::None) {
        RefuseOverflowedInput();
        return;
    }
    if (m_view == kViewStatusCheck) {
        // The watch program's status protocol: no session check and no page; the reply is all it writes.
        StatusCheckPage({m_input, m_out.get(), *m_log, m_services, m_domain});
        CloseStreams();
        return;
    }
    Authenticate();
    BeginView();
    if (m_session == nullptr) {
        WritePage();
        return;
    }
    const std::string query = QueryForLog(Env("QUERY_STRING"));
    m_log->LogMsg(2, kLogBeginRequest, m_view, query.c_str());
    {
        std::lock_guard lock(m_session->RequestLock());
        RunAction();
        PreparePage();
        WritePage();
        AfterPage();
    }
    m_log->LogMsg(2, kLogEndRequest, m_view, query.c_str());
    DropSession();
}

void Request::Parse()
{
    (void)m_input.MultiValuedNames().Add("Number");
    m_formRefused = !ReserveForm();
    if (!m_formRefused) {
        m_input.ReadInput(true);
    }
    m_domain = PickDomain({Env("SERVER_ADDR"), Env("SERVER_PORT"), Env("SERVER_NAME")});
    m_view = LookupView(Field("View"), HasField("Attach"), HasField("SpellCheck"));
}

// A large form takes its length from the engine's budget before it is read, and holds it to the end of the request;
// false when the budget cannot take it now. Small forms and those too large to be read at all take nothing.
bool Request::ReserveForm()
{
    const std::size_t length = m_input.FormBodyLength();
    if (length <= kSmallFormBytes || length > kMaxFormPostBytes) {
        return true;
    }
    std::optional<FormBudget::Hold> hold = m_services.Forms->Reserve(length, EngineFormMemoryLimit());
    if (!hold) {
        return false;
    }
    m_formHold.emplace(std::move(*hold));
    return true;
}

// A large form that came while the others held the budget is not read: 503, so that it may be sent again soon.
void Request::RefuseBusyForm()
{
    m_log->Log(3, "Form of %zu bytes from %s refused: other forms hold %zu of the %zu bytes they may.",
               m_input.FormBodyLength(), ForLog(Env("REMOTE_ADDR")).c_str(), m_services.Forms->Held(),
               EngineFormMemoryLimit());
    ResolveLook();
    m_view = kViewError;
    m_head += "Status: 503 Service Unavailable\r\nRetry-After: 5\r\n";
    SetStatusText(kTextFormsBusy);
    WritePage();
}

// A form that was not taken whole is never acted on: no logon, no session, no action; the error page says why.
void Request::RefuseOverflowedInput()
{
    const bool tooMany = m_input.Overflowed() == InputOverflow::TooManyFields;
    m_log->Log(3, "Request from %s refused: %s.", ForLog(Env("REMOTE_ADDR")).c_str(),
               tooMany ? "too many form fields" : "form body too large");
    ResolveLook();
    m_view = kViewError;
    SetStatusMessage(*this, OverflowText(m_input.Overflowed()), MessageTone::Refusal);
    WritePage();
}

// Ends with a session, or with the Logon or NewUser view and a status message.
void Request::Authenticate()
{
    ResolveLook();
    if (PostedByOtherSite()) {
        Refuse(kTextFormFromOtherSite);
        return;
    }
    // A logon always makes a session of its own: a Session field beside the user name and password would put
    // whoever logs on into a session that someone else chose.
    if (!m_input.Variables().IsEmpty("User") && !m_input.Variables().IsEmpty("Password")) {
        m_input.Variables().Remove("Session");
    }
    if (HasField("Session") && CheckSession()) {
        return;
    }
    if (!CheckNewAccount() || !HandleNewUserForm()) {
        return;
    }
    if (m_input.Variables().IsEmpty("User") || m_input.Variables().IsEmpty("Password")) {
        ShowLogonForm();
        return;
    }
    LogonFromForm();
}

// The request's language, theme and style, before anything can refuse it.
void Request::ResolveLook()
{
    ResolveLanguage(*this);
    ResolveTheme(*this);
    (void)ResolveStyle(*this);
}

// True for a logon or sign-up form (a POST with a user name) that a page of another site posted, as its Origin
// header says; a request without the header (older browsers, other clients) is not refused for it.
bool Request::PostedByOtherSite()
{
    const std::string_view origin = Env("HTTP_ORIGIN");
    if (origin.empty() || !EqualsNoCase(Env("REQUEST_METHOD"), "POST") || m_input.Variables().IsEmpty("User") ||
        OriginIsThisServer(origin, Env("SERVER_NAME"), Env("SERVER_PORT"))) {
        return false;
    }
    m_log->Log(3, "Logon form from %s refused: it was posted by the page of another site (Origin %s).",
               ForLog(Env("REMOTE_ADDR")).c_str(), ForLog(origin.substr(0, 200)).c_str());
    return true;
}

// True when the request goes on with the session named by its Session field.
bool Request::CheckSession()
{
    const std::string id = Field("Session");
    const std::string remote = Env("REMOTE_ADDR");
    engine::Session* found = m_services.Sessions->FindById(id);
    if (found == nullptr) {
        return false;
    }
    if (CheckIp() && !found->IsFromAddress(remote)) {
        found->Unbusy();
        m_log->LogMsg(3, kLogInvalidIp, id.c_str(), remote.c_str());
        m_input.Variables().Remove("Session");
        SetStatusText(kTextWrongAddress);
        return false;
    }
    if (!CheckSessionCookie(*found)) {
        found->Unbusy();
        m_log->LogMsg(3, kLogInvalidCookie, id.c_str(), remote.c_str());
        m_input.Variables().Remove("Session");
        SetStatusText(kTextWrongSessionCookie);
        return false;
    }
    EnterSession(found);
    return true;
}

// True when the request carries the session's secret in its Session cookie, or the check is off. The watch
// program hands its session to the browser: the first framed page after it gets the cookie instead, once.
bool Request::CheckSessionCookie(engine::Session& found)
{
    if (!Cookies() || !CheckCookie()) {
        return true;
    }
    if (HasField("Frames") && found.WatchCookie()) {
        found.SetWatchCookie(false);
        AppendSetCookie(m_head, "Session", found.CookieSecret(), 0, CookieReach::ServerOnly);
        return true;
    }
    return found.IsCookieSecret(m_input.Cookies().GetValue("Session"));
}

// The request works for the session found; a framed request shows the main page with its view in the frame.
void Request::EnterSession(engine::Session* found)
{
    SetSession(found);
    m_session->Touch();
    m_domain = m_session->User().Domain();
    if (!HasField("Frames")) {
        return;
    }
    m_view = kViewMain;
    const std::string view = Field("View");
    const int frame = view.empty() ? kViewList : LookupView(view, HasField("Attach"), HasField("SpellCheck"));
    // The view the frame showed before is where a page opened now goes back to (a compose that is cancelled).
    if (const int before = m_session->CurrentView(); before != 0 && before != frame) {
        m_session->SetPreviousView(before);
    }
    m_session->SetCurrentView(frame);
    m_session->SetFrameView(frame);
}

// The new-account button leads to the NewUser form where the domain allows it; false when the request was refused.
bool Request::CheckNewAccount()
{
    if (HasField("NewAccount") && (m_view == kViewLogon || m_view == kViewMain)) {
        const std::string password = Field("Password");
        m_input.Variables().Set("NewAccountPassword", password.c_str());
        m_input.Variables().Remove("Password");
        m_view = kViewNewUser;
    }
    if (m_view != kViewNewUser) {
        return true;
    }
    if (!GetDomainBool("NewAccountCreation", m_domain)) {
        Refuse(kTextNoNewAccounts);
        return false;
    }
    if (!SignUpPasswordAccepted(m_domain, Field("NewAccountPassword"), Env("REMOTE_ADDR"), *m_services.Throttle,
                                *m_log)) {
        Refuse(kTextBadNewAccountPassword);
        return false;
    }
    return true;
}

// The NewUser form's buttons; true when the new account is to be logged on.
bool Request::HandleNewUserForm()
{
    if (m_view != kViewNewUser) {
        return true;
    }
    switch (NewUserPage(*this, m_input, m_domain, Env("REMOTE_ADDR"), *m_services.Throttle)) {
    case NewUserStep::LogOn:
        m_carryMessages = true; // what the new-account program said is shown on the new session's first page
        return true;
    case NewUserStep::ToLogon:
        m_view = kViewLogon;
        return false;
    case NewUserStep::ShowForm:
        break;
    }
    return false;
}

// No logon asked for. A compose form posted with a session that is gone is not stored now (without a valid
// session nothing is written to any user's store): the Logon page carries its fields, and the logon that follows
// keeps it as a draft (KeepCarriedCompose).
void Request::ShowLogonForm()
{
    if (HasField("Session")) {
        TakeCarriedUpload(*this); // the attachment page posts as multipart: its fields are not read yet
    }
    if (!HasField("Session") || !IsComposePost(*this)) {
        m_input.Variables().Remove(kCarriedUserField);
    }
    m_input.Variables().Remove("View");
    if (HasField("Session") && m_view != kViewLogon && m_view != kViewLogout) {
        SetStatusText(kTextSessionGone);
    }
    if (m_view != kViewNewUser && m_view != kViewLogout) {
        m_view = kViewLogon;
    }
}

void Request::LogonFromForm()
{
    std::string user = std::string(Field("User")).substr(0, kMaxUserNameLength);
    const std::string password = Field("Password");
    if (!CheckPassword(user, password)) {
        return;
    }
    if (engine::Session* created = ReplaceSession(user)) {
        StartSession(created, password);
        KeepCarriedCompose();
    }
}

// A compose that the Logon page carried from an ended session goes to Drafts of the new session when the user who
// logged on wrote it.
void Request::KeepCarriedCompose()
{
    if (m_input.Variables().IsEmpty(kCarriedUserField)) {
        return;
    }
    std::lock_guard lock(m_session->RequestLock());
    (void)SaveCarriedDraft(*this, m_session->User().Name());
}

// True when the user may log on with the password (the user name may change, Logon). Refused at once, without a
// check, while the client address or the account waits out the delay of its failed logons.
bool Request::CheckPassword(std::string& user, const std::string& password)
{
    const std::string remote = Env("REMOTE_ADDR");
    LogonThrottle::Verdict verdict = m_services.Throttle->Admit(remote, LogonAccountKey(user, m_domain));
    if (!verdict.Admitted) {
        const long long seconds = (verdict.Wait.count() + 999) / 1000;
        m_log->Log(3, "Logon of user %s from %s refused unchecked after failed logons; retry in %lld s.",
                   ForLog(user).c_str(), ForLog(remote).c_str(), seconds);
        Refuse(kTextBadLogon);
        return false;
    }
    LogonThrottle::Attempt& attempt = *verdict.Admitted;
    const LogonResult result = Logon(user, password, m_domain, *m_log, *m_services.Logon);
    switch (result) {
    case LogonResult::Accepted:
        attempt.Succeeded();
        return true;
    case LogonResult::NotAllowed:
        Refuse(kTextNotAllowed);
        return false;
    case LogonResult::ServiceFailed:
        // The password could not be checked: answered as a wrong one, so that nobody learns from the answer that
        // a directory keeps this account's password. Why it failed is in the log already.
        m_log->Log(3, "Logon of user %s from %s refused: its password could not be checked.", ForLog(user).c_str(),
                   ForLog(remote).c_str());
        Refuse(kTextBadLogon);
        return false;
    case LogonResult::Refused:
        break;
    }
    attempt.Failed();
    m_log->LogMsg(3, kLogBadLogon, ForLog(user).c_str(), remote.c_str());
    Refuse(kTextBadLogon);
    return false;
}

// The user's new session, with one busy count; null (and the refusal shown) when an old session of the user is
// busy or the table is full. An idle old session is removed first. Logons of one user run one at a time from the
// look-up to the new session, so two of them at once cannot both find none; other users' logons go on meanwhile.
engine::Session* Request::ReplaceSession(const std::string& user)
{
    const std::string remote = Env("REMOTE_ADDR");
    engine::Session* created = nullptr;
    {
        const UserLogonLocks::Held held = m_services.LogonLocks->Lock(user);
        if (engine::Session* old = m_services.Sessions->FindByUser(user)) {
            const std::string oldId = old->Id();
            m_log->LogMsg(1, kLogAlreadyLoggedOn, user.c_str(), oldId.c_str());
            if (!m_services.Sessions->Release(old, *m_log)) {
                m_log->LogMsg(4, kLogCouldNotKill, oldId.c_str(), user.c_str());
                Refuse(kTextAlreadyLoggedOn);
                return nullptr;
            }
        }
        created = m_services.Sessions->Create(user, remote);
    }
    if (created == nullptr) {
        SetStatusText(kTextTooManySessions);
        m_log->LogMsg(4, kLogTooManySessions, user.c_str());
        m_view = kViewLogon;
    }
    return created;
}

// The request works for the new session: its cookies, the typed password kept for the mail accounts, its views.
void Request::StartSession(engine::Session* created, const std::string& password)
{
    SetSession(created);
    m_log->LogMsg(3, kLogSessionCreated, m_session->User().Name().c_str(), Env("REMOTE_ADDR"));
    m_session->User().SetOwnPassword(std::string_view(password).substr(0, kMaxOwnPassword));
    if (Cookies()) {
        AppendSetCookie(m_head, "User", Field("User"), m_services.Now() + kCookieLifetime, CookieReach::ServerOnly);
        if (CheckCookie()) {
            AppendSetCookie(m_head, "Session", m_session->CookieSecret(), 0, CookieReach::ServerOnly);
        }
    }
    if (const std::string view = Field("View"); !view.empty()) {
        m_input.Variables().Set("FrameView", view.c_str());
    }
    if (m_session->CurrentView() == 0) {
        m_view = kViewMain;
        m_session->SetCurrentView(kViewList);
        m_session->SetFrameView(kViewList);
    }
}

void Request::Refuse(int message)
{
    SetStatusText(message);
    m_view = kViewLogon;
}

void Request::BeginView()
{
    if (m_session != nullptr) {
        m_session->SetWatchOnly(false);
        ResolveLanguage(*this);
        ResolveTheme(*this);
        (void)ResolveStyle(*this);
    }
    if (m_view == kViewLogout) {
        if (m_session != nullptr) {
            m_log->LogMsg(2, kLogLoggingOut, m_session->User().Name().c_str());
            engine::Session* leaving = std::exchange(m_session, nullptr);
            m_sessionPage.reset();
            (void)m_services.Sessions->Release(leaving, *m_log);
        }
        m_input.Variables().Remove("View");
        SetStatusText(kTextLoggedOut, MessageTone::Notice);
        const bool hasLogoutPage = !m_theme.empty() && platform::ResolvePathNoCase(m_services.Templates->TemplateDir(),
                                                                                   m_theme + "/Logout.html");
        if (!hasLogoutPage) {
            m_view = kViewLogon;
        }
    } else if (m_session != nullptr && m_session->RetrievalPending() &&
               (m_view == kViewList || m_view == kViewMessage)) {
        // Mail is still being fetched for an earlier request: answer at once with the waiting page.
        WritePage();
        DropSession();
    }
    if (m_session == nullptr) {
        m_log->SetPrefix("");
    }
}

void Request::RunAction()
{
    if (m_services.Action) {
        m_services.Action(*this);
        return;
    }
    switch (m_view) {
    case kViewMain:
        MainAction(*this);
        break;
    case kViewList:
        ListAction(*this);
        break;
    case kViewMessage:
        MessageAction(*this);
        break;
    case kViewAttachment:
        AttachmentAction(*this);
        break;
    case kViewUnlisted:
        if (IsWatchInstallerRequest(Field("View"))) {
            SendWatchInstaller(*this);
        }
        break;
    case kViewCompose:
    case kViewComposeAttach:
    case kViewComposeSpellCheck:
        ComposeAction(*this);
        break;
    case kViewOptionsPrefs:
        PrefsAction(*this);
        break;
    case kViewOptionsFolders:
        FoldersAction(*this);
        break;
    case kViewOptionsAddrBook:
        AddrBookAction(*this);
        break;
    case kViewOptionsHosts:
        HostsAction(*this);
        break;
    case kViewOptionsFilters:
        FiltersAction(*this);
        break;
    default:
        break;
    }
}

void Request::PreparePage()
{
    if (Cookies()) {
        const time_t expires = m_services.Now() + kCookieLifetime;
        const std::string_view langCookie = m_input.Cookies().GetValue("Lang");
        if (langCookie.empty() || !EqualsNoCase(langCookie, m_language)) {
            AppendSetCookie(m_head, "Lang", m_language, expires);
        }
        const std::string_view themeCookie = m_input.Cookies().GetValue("Theme");
        if (themeCookie.empty() || !EqualsNoCase(themeCookie.substr(0, kMaxThemeName), m_theme)) {
            AppendSetCookie(m_head, "Theme", m_theme, expires);
        }
    }
    if (m_pageWritten) {
        return;
    }
    if (m_view == kViewList) {
        PrepareListPage(*this);
    } else if (m_view == kViewMessage) {
        PrepareMessagePage(*this);
    } else if (m_view == kViewCompose || m_view == kViewComposeAttach || m_view == kViewComposeSpellCheck) {
        PrepareComposeView(*this);
    }
}

std::string Request::PageName() const
{
    std::string name = PageNameOf(m_view, Field("View")).value_or(std::string(ViewName(kViewError)));
    if (m_session != nullptr && m_session->RetrievalPending()) {
        name = RedirectPageName(name);
    }
    return name;
}

void Request::WritePage()
{
    if (m_pageWritten || !m_out) {
        return;
    }
    m_pageWritten = true;
    m_page.clear();
    RenderPage(*this, PageName());
    std::FILE* out = m_out.get();
    (void)std::fwrite(m_head.data(), 1, m_head.size(), out);
    (void)std::fwrite(kPageHead.data(), 1, kPageHead.size(), out);
    (void)std::fwrite(m_page.data(), 1, m_page.size(), out);
    // The host sees the end of the response here, before the work after the page.
    CloseStreams();
}

void Request::WriteOwnResponse(const std::function<void(std::FILE*)>& write)
{
    if (m_pageWritten || !m_out) {
        return;
    }
    m_pageWritten = true;
    std::FILE* out = m_out.get();
    (void)std::fwrite(m_head.data(), 1, m_head.size(), out);
    write(out);
    CloseStreams();
}

void Request::AfterPage()
{
    if (m_view == kViewMessage) {
        (void)AnswerReadReceipt(*this);
    }
    if (m_fetchAfterPage) {
        FetchMailAfterPage();
    } else {
        m_session->SetRetrievalDone(false);
    }
    (void)SaveMessageIndex(m_session->User(), *m_log);
    if (m_view >= kViewList && m_view <= kViewOptionsAddrBook && m_view != kViewAttachment &&
        m_view != m_session->CurrentView()) {
        const int current = m_session->CurrentView();
        if (current != 0 && current != m_session->PreviousView()) {
            m_session->SetPreviousView(current);
        }
        m_session->SetCurrentView(m_view);
    }
}

// The mail work the page announced, after the output was closed and still under the session's lock: the server
// deletions after the trash was emptied, new mail for the List page, or the whole text of the message shown.
void Request::FetchMailAfterPage()
{
    const bool keepAlive = !HasField("NoKeepAlive");
    if (keepAlive) {
        m_session->Touch();
    }
    if (m_session->RetrievalPending()) {
        UserRecord& user = m_session->User();
        const Pop3RunSite site{m_session, m_services.Sessions->Status(), m_log.get()};
        if (m_view == kViewList && HasField("EmptyTrash")) {
            (void)DeleteOnServers(user, site);
            user.WriteStoreStats();
        } else if (m_view == kViewList) {
            FetchNewMailAfterPage(site);
        } else if (m_view == kViewMessage && !m_session->RetrievalDone() && m_session->CurrentMessage() != nullptr) {
            if (RetrieveWholeMessage(user, *m_session->CurrentMessage(), site) == 0) {
                SetErrorMessage(*this, LanguageText(*this, kTextMessageFetchFailed));
            }
            m_session->SetRetrievalDone(true);
        }
        m_session->SetRetrievalPending(false);
    }
    if (keepAlive) {
        m_session->Touch();
    }
}

// New mail for every active account; a failed account is named in the next page's error message (the last one
// wins), except a locked mailbox, which is busy only for a moment.
void Request::FetchNewMailAfterPage(const Pop3RunSite& site)
{
    const FetchReport report = FetchNewMailForUser(m_session->User(), site);
    for (const FetchFailure& failure : report.Failures) {
        if (const int message = FetchFailureMessage(failure.Result); message != 0) {
            SetErrorMessage(*this, FormatLanguageMessage(LanguageText(*this, message), {failure.Mailbox}));
        }
    }
    m_session->SetLastMailCheck(m_services.Now());
    m_session->SetRetrievalDone(true);
}

void Request::SetSession(engine::Session* session)
{
    m_session = session;
    m_sessionPage = std::make_unique<engine::SessionPage>(*session);
    if (std::exchange(m_carryMessages, false)) {
        const MessageTone tone = m_statusMessage.Tone();
        if (const std::unique_ptr<char[]> text = m_statusMessage.Take()) {
            session->StatusMessage().Set(text.get(), tone);
        }
    }
    m_log->SetPrefix(session->Id());
}

void Request::DropSession()
{
    if (m_session == nullptr) {
        return;
    }
    m_sessionPage.reset();
    std::exchange(m_session, nullptr)->Unbusy();
}

void Request::CloseStreams()
{
    m_in.reset();
    m_out.reset();
}

void Request::SetStatusText(int message, MessageTone tone)
{
    SetStatusMessage(*this, LanguageText(*this, message), tone);
}

bool Request::Cookies() const
{
    return UseCookies();
}

} // namespace qm::engine
