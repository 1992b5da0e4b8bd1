#include "engine/StatusCheck.h"

#include "common/IniAccess.h"
#include "common/StringUtil.h"
#include "engine/DomainSettings.h"
#include "engine/Logon.h"
#include "engine/LogonThrottle.h"
#include "engine/MailFetch.h"
#include "engine/PageChoice.h"
#include "engine/RequestLogText.h"
#include "engine/RequestMessages.h"
#include "engine/ResponseHead.h"
#include "engine/SessionMail.h"
#include "engine/SessionManager.h"
#include "engine/UserDirectory.h"
#include "engine/UserLogonLocks.h"
#include "store/FolderList.h"
#include "store/MessageIndex.h"

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

namespace qm::engine {
namespace {

inline constexpr int kLogStatusSessionCreated = 253;
inline constexpr int kLogWatchBegin = 284;
inline constexpr int kLogWatchEnd = 285;
inline constexpr int kLogWatchWrongAddress = 286;
inline constexpr int kLogWatchUnknownSession = 287;

// The longest typed password the session keeps for mail accounts whose stored password is '\'.
constexpr std::size_t kMaxOwnPassword = 31;

std::string WithoutLineEnds(std::string_view text)
{
    std::string kept;
    kept.reserve(text.size());
    for (const char c : text) {
        if (c != '\r' && c != '\n') {
            kept += c;
        }
    }
    return kept;
}

// New-flag counts of every folder of the list, in its order.
std::vector<int> NewCounts(const store::FolderList& folders, const store::MessageIndex& index)
{
    std::vector<int> counts(static_cast<std::size_t>(folders.Count()), 0);
    for (int f = 0; f < folders.Count(); ++f) {
        const std::string& name = folders.Item(f).Name();
        for (int i = 0; i < index.Count(); ++i) {
            const store::MessageIndexEntry& e = *index.Entry(i);
            if (e.HasFlag(store::MessageFlag::New) && EqualsNoCase(e.Folder(), name)) {
                ++counts[static_cast<std::size_t>(f)];
            }
        }
    }
    return counts;
}

bool OverQuota(UserRecord& user)
{
    const int countQuota = GetUserInt("MessageCountQuota", user.Settings());
    if (countQuota > 0 && countQuota < user.Messages().Count()) {
        return true;
    }
    const int diskQuota = GetUserInt("DiskSpaceQuota", user.Settings());
    return diskQuota > 0 && diskQuota < user.Messages().StoredSizeKB();
}

// Whether sessions are held to their cookie: [Special] UseCookies and [Session] CheckCookie, as for every page.
bool SessionCookieChecked()
{
    return UseCookies() && ReadIniBool("Session", "CheckCookie", true);
}

// One status request from its fields to its reply.
class StatusCheck {
public:
    explicit StatusCheck(const StatusCheckSite& site)
        : m_site(site)
    {}

    void Run();

private:
    const char* Field(const char* name) const { return m_site.Input.Variables().GetValue(name); }

    bool Given(const char* name) const { return !m_site.Input.Variables().IsEmpty(name); }

    const char* Env(const char* name) const { return m_site.Input.GetEnv(name); }

    // The head goes out with the first element (or at the end), after any cookie line the logon added.
    void Write(std::string_view text)
    {
        if (m_site.Out == nullptr) {
            return;
        }
        if (!m_headWritten) {
            m_headWritten = true;
            m_cookies += kStatusHead;
            (void)std::fwrite(m_cookies.data(), 1, m_cookies.size(), m_site.Out);
        }
        (void)std::fwrite(text.data(), 1, text.size(), m_site.Out);
    }

    Session* SessionById();
    Session* SessionByLogon();
    void WriteMessageCounts(Session& session);
    void WriteSessions(Session& session);

    const StatusCheckSite& m_site;
    bool m_loggedOn = false;
    bool m_headWritten = false;
    std::string m_cookies; // Set-Cookie lines written before the head
};

void StatusCheck::Run()
{
    if (Given("GetVersion")) {
        Write(VersionElement());
        return;
    }
    Session* session = Given("GetSession") ? SessionByLogon() : (Given("Session") ? SessionById() : nullptr);
    if (session == nullptr) {
        Write("");
        return;
    }
    m_site.Log.SetPrefix(session->Id());
    session->Touch();
    session->SetWatchOnly(true);
    if (m_loggedOn) {
        // The browser that the watch program opens gets the session's cookie on its first framed page. Only a
        // caller who gave the password may arm this: a session id alone never leads to the cookie.
        session->SetWatchCookie(true);
    }
    const std::string query = QueryForLog(Env("QUERY_STRING"));
    m_site.Log.LogMsg(2, kLogWatchBegin, query.c_str());
    if (Given("GetMessageCounts")) {
        WriteMessageCounts(*session);
    }
    if (Given("GetSessions")) {
        WriteSessions(*session);
    }
    if (Given("GetUsers")) {
        // Only the caller's own account: the list of every account is nobody else's business.
        Write("<users>\n\t<user><name>" + session->User().Name() + "</name></user>\n</users>\n");
    }
    Write(""); // a poll that asks for nothing gets the head
    m_site.Log.LogMsg(1, kLogWatchEnd, query.c_str());
    session->Unbusy();
}

// The session named by the Session field, with its cookie as every page asks it, and from its own client address
// when CheckIP is on. Without the cookie the caller learns nothing, not even that the id is live.
Session* StatusCheck::SessionById()
{
    const std::string id = Field("Session");
    Session* found = m_site.Services.Sessions->FindById(id);
    if (found == nullptr) {
        m_site.Log.LogMsg(2, kLogWatchUnknownSession, ForLog(id).c_str());
        return nullptr;
    }
    const std::string remote = Env("REMOTE_ADDR");
    if (SessionCookieChecked() && !found->IsCookieSecret(m_site.Input.Cookies().GetValue("Session"))) {
        m_site.Log.LogMsg(3, kLogInvalidCookie, found->Id(), ForLog(remote).c_str());
        found->Unbusy();
        return nullptr;
    }
    if (ReadIniBool("Session", "CheckIP", true) && !found->IsFromAddress(remote)) {
        // Without the password the session never moves.
        m_site.Log.LogMsg(2, kLogWatchWrongAddress, found->Id());
        Write(DisconnectElement());
        found->Unbusy();
        return nullptr;
    }
    return found;
}

// The user's session after a logon with User and Password: the existing one, or a new one.
Session* StatusCheck::SessionByLogon()
{
    const RequestServices& services = m_site.Services;
    std::string user = std::string(Field("User")).substr(0, kMaxUserNameLength);
    const std::string password = Field("Password");
    const std::string remote = Env("REMOTE_ADDR");
    std::string domain = m_site.Domain;
    LogonThrottle& throttle = services.Throttle != nullptr ? *services.Throttle : EngineLogonThrottle();
    LogonThrottle::Verdict verdict = throttle.Admit(remote, LogonAccountKey(user, domain));
    if (!verdict.Admitted) {
        m_site.Log.Log(3, "Status logon of user %s from %s refused unchecked after failed logons.",
                       ForLog(user).c_str(), ForLog(remote).c_str());
        return nullptr;
    }
    const LogonServices& logon = services.Logon != nullptr ? *services.Logon : DefaultLogonServices();
    const LogonResult result = Logon(user, password, domain, m_site.Log, logon);
    if (result != LogonResult::Accepted) {
        if (result == LogonResult::Refused) {
            verdict.Admitted->Failed();
            m_site.Log.LogMsg(3, kLogBadLogon, ForLog(user).c_str(), ForLog(remote).c_str());
        }
        return nullptr;
    }
    verdict.Admitted->Succeeded();
    m_loggedOn = true;
    UserLogonLocks& locks = services.LogonLocks != nullptr ? *services.LogonLocks : EngineUserLogonLocks();
    Session* session = nullptr;
    {
        const UserLogonLocks::Held held = locks.Lock(user);
        session = services.Sessions->FindByUser(user);
        if (session == nullptr) {
            session = services.Sessions->Create(user, remote);
            if (session == nullptr) {
                m_site.Log.LogMsg(4, kLogTooManySessions, user.c_str());
                return nullptr;
            }
            m_site.Log.SetPrefix(session->Id());
            m_site.Log.LogMsg(2, kLogStatusSessionCreated, session->User().Name().c_str(), ForLog(remote).c_str());
            session->User().SetOwnPassword(std::string_view(password).substr(0, kMaxOwnPassword));
        }
    }
    if (ReadIniBool("Session", "CheckIP", true) && !session->IsFromAddress(remote)) {
        if (!Given("TakeOver")) {
            m_site.Log.LogMsg(2, kLogWatchWrongAddress, session->Id());
            Write(DisconnectElement());
            session->Unbusy();
            return nullptr;
        }
        session->MoveToAddress(remote);
    }
    if (SessionCookieChecked()) {
        // The watch program polls by the id from now on, with the cookie as a browser would.
        AppendSetCookie(m_cookies, "Session", session->CookieSecret(), 0, CookieReach::ServerOnly);
    }
    Write(SessionElement(session->Id()));
    return session;
}

void StatusCheck::WriteMessageCounts(Session& session)
{
    if (const std::unique_ptr<char[]> alert = session.ErrorMessage().Take()) {
        Write(AlertElement(alert.get()));
    }
    std::lock_guard lock(session.RequestLock());
    UserRecord& user = session.User();
    const store::FolderList& folders = user.Folders();
    const std::vector<int> before = NewCounts(folders, user.Messages());
    const Pop3RunSite site{&session, m_site.Services.Sessions->Status(), &m_site.Log};
    if (GetDomainBool("EnforceQuotas", user.Domain())) {
        (void)FetchNewMailForUser(user, site, [&user] { return OverQuota(user); });
    } else {
        (void)FetchNewMailForUser(user, site);
    }
    session.SetLastMailCheck(m_site.Services.Now ? m_site.Services.Now() : m_site.Services.Sessions->Now());
    session.SetRetrievalDone(true);
    (void)SaveMessageIndex(user, m_site.Log);
    const store::MessageIndex& index = user.Messages();
    const std::vector<int> after = NewCounts(folders, index);
    std::string text = "<messagecounts>\n";
    for (int f = 0; f < folders.Count(); ++f) {
        const store::FolderEntry& folder = folders.Item(f);
        FolderCounts counts{folder.Name(), folder.DisplayName()};
        counts.Total = index.CountInFolder(folder.Name());
        counts.Unread = index.CountUnreadInFolder(folder.Name());
        counts.New = after[static_cast<std::size_t>(f)];
        counts.Recent = std::max(0, counts.New - before[static_cast<std::size_t>(f)]);
        text += FolderLine(counts);
    }
    text += "</messagecounts>\n";
    Write(text);
}

// Only the sessions of the caller's own user: their ids are nobody else's business.
void StatusCheck::WriteSessions(Session& session)
{
    std::string text = "<sessions>\n";
    for (const SessionManager::SessionListing& listed :
         m_site.Services.Sessions->SessionsOfUser(session.User().Name())) {
        text += "\t<session><name>" + listed.UserName + "</name><ip>" + listed.ClientAddress + "</ip><id>" + listed.Id +
                "</id></session>\n";
    }
    text += "</sessions>\n";
    Write(text);
}

} // namespace

bool UseWatchProgram()
{
    return ReadIniBool("QMWatch", "UseQMWatch", true);
}

void StatusCheckPage(const StatusCheckSite& site)
{
    if (!UseWatchProgram()) {
        return;
    }
    StatusCheck(site).Run();
}

std::string VersionElement()
{
    return "<version>" + std::string(kWatchVersion) + "</version>\n";
}

std::string DisconnectElement()
{
    return "<disconnect></disconnect>\n";
}

std::string SessionElement(std::string_view id)
{
    return "<session>" + std::string(id) + "</session>\n";
}

std::string AlertElement(std::string_view text)
{
    return "<alert>" + WithoutLineEnds(text) + "</alert>\n";
}

std::string FolderLine(const FolderCounts& folder)
{
    return "\t<folder><name>" + folder.Name + "</name><displayname>" + folder.DisplayName + "</displayname><total>" +
           std::to_string(folder.Total) + "</total><unread>" + std::to_string(folder.Unread) + "</unread><new>" +
           std::to_string(folder.New) + "</new><recent>" + std::to_string(folder.Recent) + "</recent></folder>\n";
}

} // namespace qm::engine
