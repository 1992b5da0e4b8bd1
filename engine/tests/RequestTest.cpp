// The request from input to response: the logon and its cookies in their order, the session checks, one session
// per user, logout, the waiting page during a fetch, and the values from outside that must not reach a header or
// a path.
#include "engine/Request.h"

#include "common/IniAccess.h"
#include "common/Scrambler.h"
#include "engine/LogonThrottle.h"
#include "engine/ResponseHead.h"
#include "engine/SessionManager.h"
#include "engine/SessionPage.h"
#include "engine/TemplateCache.h"
#include "engine/UserLogonLocks.h"
#include "engine/tests/RequestTestSupport.h"
#include "engine/tests/SessionTestSupport.h"
#include "store/MailHostList.h"
#include "store/MessageIndex.h"
#include "testsupport/ScriptedPop3Server.h"
#include "testsupport/WaitUntil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace qm::engine {
namespace {

using test::ReadFile;
using test::SessionHarness;
using test::WriteFile;
namespace fs = std::filesystem;

constexpr const char* kLanguages = "[en]\r\n001=English\r\n015=Bad logon.\r\n016=Session gone.\r\n"
                                   "017=Not allowed.\r\n018=Already logged on.\r\n019=Logged out.\r\n"
                                   "056=No template.\r\n070=No logon service.\r\n075=Wrong address.\r\n"
                                   "076=Wrong cookie.\r\n540=Other site.\r\n542=Busy.\r\n"
                                   "012=No new accounts.\r\n013=Wrong sign-up password.\r\n"
                                   "047=Message not fetched.\r\n053=Bad logon at %s.\r\n054=No connection to %s.\r\n"
                                   "055=Fetch from %s failed.\r\n"
                                   "[de]\r\n001=Deutsch\r\n015=Falsch.\r\n";

const std::string kHead(kPageHead);

// What the engine wrote for one request.
using Response = test::RequestResponse;

class RequestTest : public ::testing::Test {
protected:
    RequestTest()
    {
        const fs::path templates = m_harness.Settings().Dir() / "Templates";
        fs::create_directories(templates / "Globe");
        WriteFile(templates / "Languages.ini", kLanguages);
        WriteFile(templates / "Globe" / "Logon.html", "LOGON[<$STATUSMESG$>]");
        WriteFile(templates / "Globe" / "Main.html", "MAIN[<$USER$>]");
        WriteFile(templates / "Globe" / "Error.html", "ERROR[<$STATUSMESG$>]");
        WriteFile(templates / "Globe" / "List.html", "LIST");
        WriteFile(templates / "Globe" / "List-Redirect.html", "WAIT");
        WriteFile(templates / "Globe" / "NewUser.html", "NEWUSER[<$CGI:NEWACCOUNTPASSWORD$>]");
        m_cache = std::make_unique<TemplateCache>(templates.string(), true, nullptr);
        AddUser("alice", "pw");
    }

    void AddUser(const std::string& name, const std::string& password)
    {
        fs::create_directories(m_harness.Settings().UserDir(name));
        WriteFile(m_harness.Settings().UserDir(name) / "User.ini",
                  "[User]\r\nPassword=" + ScramblePassword(password) + "\r\n");
    }

    // Runs one request with the query string and cookies given, from the client address given.
    Response Send(const std::string& query, const std::string& cookies = "", const std::string& remote = "127.0.0.1",
                  const std::string& outName = "response")
    {
        return test::RunRequest(test::GetRequestEnvironment(query, cookies, remote), Services(),
                                (m_harness.Settings().Dir() / outName).string());
    }

    RequestServices Services()
    {
        RequestServices services = test::HarnessServices(m_harness, m_cache.get());
        services.Throttle = m_throttle.get();
        services.LogonLocks = &m_logonLocks;
        services.Action = m_action;
        services.Forms = &m_forms;
        return services;
    }

    // A throttle of the engine's policy on the test's clock, or of another policy.
    std::unique_ptr<LogonThrottle> MakeThrottle(LogonThrottlePolicy policy = {})
    {
        return std::make_unique<LogonThrottle>(policy,
                                               [this] { return std::chrono::milliseconds(m_throttleNow.load()); });
    }

    // Logs alice on and returns her session id.
    std::string LogOn(const std::string& remote = "127.0.0.1")
    {
        const Response response = Send("View=Main&User=alice&Password=pw", "Lang=en; Theme=Globe", remote);
        EXPECT_EQ(response.Page(), "MAIN[alice]") << response.Text;
        Session* session = m_harness.Manager().FindByUser("alice");
        EXPECT_NE(session, nullptr);
        if (session == nullptr) {
            return {};
        }
        std::string id = session->Id();
        session->Unbusy();
        return id;
    }

    // The Session cookie of a live session: its secret.
    std::string SecretOf(const std::string& id)
    {
        Session* session = m_harness.Manager().FindById(id);
        EXPECT_NE(session, nullptr) << id;
        if (session == nullptr) {
            return {};
        }
        std::string secret = session->CookieSecret();
        session->Unbusy();
        return secret;
    }

    std::string CookiesOf(const std::string& id) { return "Session=" + SecretOf(id) + "; Lang=en; Theme=Globe"; }

    SessionHarness m_harness{"[General]\r\nLogLevel=1\r\n"};
    std::unique_ptr<TemplateCache> m_cache;
    std::atomic<long long> m_throttleNow{1000000};
    std::unique_ptr<LogonThrottle> m_throttle = MakeThrottle();
    UserLogonLocks m_logonLocks;
    std::function<void(Request&)> m_action;
    FormBudget m_forms;

    // Runs one POST of the URL-encoded body given (from a file, as the web server hands it over).
    Response Post(const std::string& query, const std::string& body, const std::string& cookies,
                  const std::string& outName)
    {
        const fs::path bodyPath = m_harness.Settings().Dir() / (outName + ".body");
        WriteFile(bodyPath, body);
        std::string environment = test::PostRequestEnvironment(query, cookies, "");
        environment.pop_back();
        for (const std::string& entry : {std::string("CONTENT_TYPE=application/x-www-form-urlencoded"),
                                         "CONTENT_LENGTH=" + std::to_string(body.size())}) {
            environment += entry;
            environment += '\0';
        }
        environment += '\0';
        const int in = ::open(bodyPath.c_str(), O_RDONLY | O_CLOEXEC);
        EXPECT_GE(in, 0);
        const std::string outPath = (m_harness.Settings().Dir() / outName).string();
        const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        EXPECT_GE(out, 0);
        {
            Request request(in, out, environment.c_str(), Services());
            request.Run();
        }
        return {ReadFile(outPath)};
    }
};

std::size_t Occurrences(const std::string& text, const std::string& part)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) {
        ++count;
    }
    return count;
}

TEST_F(RequestTest, ALogonWritesTheUserAndSessionCookiesThenTheContentType)
{
    const Response response = Send("View=Main&User=alice&Password=pw", "Lang=en; Theme=Globe");
    Session* session = m_harness.Manager().FindByUser("alice");
    ASSERT_NE(session, nullptr);
    const std::string id = session->Id();
    session->Unbusy();
    const std::string want = "Set-Cookie: User=alice; Expires=" + CookieDate(m_harness.Now() + kCookieLifetime) +
                             "; path=/; HttpOnly; SameSite=Lax\r\nSet-Cookie: Session=" + session->CookieSecret() +
                             "; path=/; HttpOnly; SameSite=Lax\r\n" + kHead + "MAIN[alice]";
    EXPECT_EQ(response.Text, want);
    EXPECT_EQ(session->CurrentView(), kViewList);

    // The request is logged without the password.
    const std::string log = m_harness.Log();
    EXPECT_NE(log.find("BegRequest: View=2 View=Main&User=alice&Password=*"), std::string::npos) << log;
    EXPECT_EQ(log.find("Password=pw"), std::string::npos) << log;
}

TEST_F(RequestTest, AnEncodedPasswordNameIsMaskedInTheLog)
{
    // The attack: "%50assword" is the Password field once decoded, and logs alice on.
    const Response response = Send("View=Main&User=alice&%50assword=pw&Theme=%01x&pass%77ord.x=pw", "Lang=en");
    EXPECT_EQ(response.Page(), "MAIN[alice]") << response.Text;
    const std::string log = m_harness.Log();
    EXPECT_NE(log.find("BegRequest: View=2 View=Main&User=alice&%50assword=*&Theme=%01x&pass%77ord.x=*"),
              std::string::npos)
            << log;
    EXPECT_EQ(log.find("=pw"), std::string::npos) << log;
}

TEST_F(RequestTest, AFormOfTooManyFieldsIsRefusedWhole)
{
    const auto filler = [](int count) {
        std::string text;
        for (int i = 0; i < count; ++i) {
            text += "&f" + std::to_string(i) + "=1";
        }
        return text;
    };
    const std::string logon = "View=Main&User=alice&Password=pw";
    const std::string refused = "ERROR[The request was refused: it has more than 2048 form fields.]";

    struct Case {
        const char* Name;
        std::string Query;
        std::string Want;
    };

    const Case cases[] = {
            {"at the limit", logon + filler(static_cast<int>(kMaxFormFields) - 3), "MAIN[alice]"},
            {"one over, the logon fields first", logon + filler(static_cast<int>(kMaxFormFields) - 2), refused},
            {"the logon fields past the limit", filler(static_cast<int>(kMaxFormFields)) + "&" + logon, refused},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const Response response = Send(c.Query, "Lang=en; Theme=Globe");
        EXPECT_EQ(response.Page(), c.Want) << response.Text.substr(0, 300);
        const bool loggedOn = c.Want == "MAIN[alice]";
        EXPECT_EQ(m_harness.Manager().Count(), loggedOn ? 1 : 0);
        if (Session* session = m_harness.Manager().FindByUser("alice")) {
            EXPECT_TRUE(m_harness.Manager().Release(session, m_harness.LogTarget()));
        }
    }
    EXPECT_NE(m_harness.Log().find("Request from 127.0.0.1 refused: too many form fields."), std::string::npos);
}

TEST_F(RequestTest, LanguageAndThemeCookiesFollowTheSessionCookiesWhenTheyChange)
{
    const Response response = Send("View=Main&User=alice&Password=pw&Lang=de");
    const std::size_t user = response.Text.find("Set-Cookie: User=");
    const std::size_t session = response.Text.find("Set-Cookie: Session=");
    const std::size_t lang = response.Text.find("Set-Cookie: Lang=de; Expires=");
    const std::size_t theme = response.Text.find("Set-Cookie: Theme=Globe; Expires=");
    const std::size_t type = response.Text.find("Content-type: text/html\r\n");
    EXPECT_EQ(user, 0u) << response.Text;
    EXPECT_LT(user, session);
    EXPECT_LT(session, lang);
    EXPECT_LT(lang, theme);
    EXPECT_LT(theme, type);
}

TEST_F(RequestTest, RefusedLogonsShowTheLogonPageWithTheirMessage)
{
    WriteFile(m_harness.Settings().UserDir("alice") / "User.ini",
              "[User]\r\nPassword=" + ScramblePassword("pw") + "\r\nActive=No\r\n");
    AddUser("bob", "pw");
    // A directory account while no directory library is loaded: its password cannot be checked.
    fs::create_directories(m_harness.Settings().UserDir("dina"));
    WriteFile(m_harness.Settings().UserDir("dina") / "User.ini", "[User]\r\nPassword=*\r\n");

    struct Case {
        const char* Query;
        const char* Want;
    };

    const Case cases[] = {
            {"View=Main&User=bob&Password=wrong", "LOGON[Bad logon.]"},
            {"View=Main&User=nobody&Password=pw", "LOGON[Bad logon.]"},
            {"View=Main&User=alice&Password=pw", "LOGON[Not allowed.]"},
            // Neither a disabled account nor a directory one shows as such to whoever lacks the password.
            {"View=Main&User=alice&Password=wrong", "LOGON[Bad logon.]"},
            {"View=Main&User=dina&Password=guess", "LOGON[Bad logon.]"},
            {"View=Main&User=bob&Password=wrong&Lang=de", "LOGON[Falsch.]"},
            {"View=Main&User=bob", "LOGON[]"},
            {"", "LOGON[]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Query);
        const Response response = Send(c.Query, "Lang=en; Theme=Globe");
        EXPECT_EQ(response.Text, kHead + c.Want);
    }
    EXPECT_EQ(m_harness.Manager().Count(), 0);

    // A user name cannot forge a line of the log.
    Send("View=Main&User=x%0D%0A[Thu 2026-12-10 05:00:00] forged&Password=pw");
    EXPECT_NE(m_harness.Log().find("Bad logon attempt for user x\\x0D\\x0A[Thu"), std::string::npos);
}

TEST_F(RequestTest, ASessionFromAnotherAddressGetsTheLogonPageUnlessTheCheckIsOff)
{
    const std::string id = LogOn();
    EXPECT_EQ(Send("View=Main&Session=" + id, CookiesOf(id)).Page(), "MAIN[alice]");
    EXPECT_EQ(Send("View=Main&Session=" + id, CookiesOf(id), "127.0.0.2").Page(), "LOGON[Wrong address.]");
    EXPECT_NE(m_harness.Log().find("Request for session " + id + " from 127.0.0.2 denied due to invalid IP."),
              std::string::npos);

    ASSERT_TRUE(WriteIniString("Session", "CheckIP", "No"));
    EXPECT_EQ(Send("View=Main&Session=" + id, CookiesOf(id), "127.0.0.2").Page(), "MAIN[alice]");

    // IPv6 clients are checked by their address text.
    ASSERT_TRUE(WriteIniString("Session", "CheckIP", "Yes"));
    Send("View=Logout&Session=" + id, CookiesOf(id));
    const std::string v6 = LogOn("2001:db8::1");
    EXPECT_EQ(Send("View=Main&Session=" + v6, CookiesOf(v6), "2001:db8::1").Page(), "MAIN[alice]");
    EXPECT_EQ(Send("View=Main&Session=" + v6, CookiesOf(v6), "2001:db8::2").Page(), "LOGON[Wrong address.]");
}

TEST_F(RequestTest, AWrongOrMissingSessionCookieGetsTheLogonPage)
{
    const std::string id = LogOn();
    EXPECT_EQ(Send("View=Main&Session=" + id, "Session=bogus").Page(), "LOGON[Wrong cookie.]");
    EXPECT_EQ(Send("View=Main&Session=" + id, "").Page(), "LOGON[Wrong cookie.]");
    ASSERT_TRUE(WriteIniString("Session", "CheckCookie", "No"));
    EXPECT_EQ(Send("View=Main&Session=" + id, "Lang=en; Theme=Globe").Page(), "MAIN[alice]");
}

TEST_F(RequestTest, TheSessionCookieIsTheSessionsOwnSecretAndNeverLogged)
{
    const std::string id = LogOn();
    const std::string secret = SecretOf(id);
    ASSERT_EQ(secret.size(), kCookieSecretLength);
    EXPECT_EQ(secret.find_first_not_of("0123456789abcdef"), std::string::npos) << secret;

    // Knowing the id is not enough: the cookie the id alone gives (the old scramble) and near misses are refused.
    const std::string forged[] = {
            ScramblePassword("Q" + id + "M"),
            id,
            secret.substr(0, secret.size() - 1),
            secret.substr(0, secret.size() - 1) + (secret.back() == '0' ? '1' : '0'),
            secret + "0",
            "",
    };
    for (const std::string& cookie : forged) {
        SCOPED_TRACE(cookie);
        EXPECT_EQ(Send("View=Main&Session=" + id, "Session=" + cookie + "; Lang=en; Theme=Globe").Page(),
                  "LOGON[Wrong cookie.]");
        EXPECT_EQ(m_harness.Manager().Count(), 1) << "a refused cookie leaves the session alive";
    }
    EXPECT_EQ(Send("View=Main&Session=" + id, "Session=" + secret + "; Lang=en; Theme=Globe").Page(), "MAIN[alice]");

    // A new logon of the same user gets a new secret; the old one opens nothing.
    const std::string next = LogOn();
    EXPECT_NE(SecretOf(next), secret);
    EXPECT_EQ(Send("View=Main&Session=" + next, "Session=" + secret + "; Lang=en; Theme=Globe").Page(),
              "LOGON[Wrong cookie.]");

    // The watch program's hand-over gives the cookie to the first framed page only.
    Session* session = m_harness.Manager().FindById(next);
    ASSERT_NE(session, nullptr);
    session->SetWatchCookie(true);
    session->Unbusy();
    const Response handed = Send("View=List&Frames=1&Session=" + next, "Lang=en; Theme=Globe");
    EXPECT_NE(handed.Text.find("Set-Cookie: Session=" + SecretOf(next) + "; path=/; HttpOnly; SameSite=Lax\r\n"),
              std::string::npos)
            << handed.Text;
    EXPECT_EQ(Send("View=List&Frames=1&Session=" + next, "Lang=en; Theme=Globe").Page(), "LOGON[Wrong cookie.]");

    const std::string log = m_harness.Log();
    EXPECT_NE(log.find(id), std::string::npos) << "the log names the session by its id";
    EXPECT_EQ(log.find(secret), std::string::npos) << log;
    EXPECT_EQ(log.find(SecretOf(next)), std::string::npos) << log;
}

TEST_F(RequestTest, AnUnknownSessionGetsTheLogonPageAndSavesNoDraft)
{
    AddUser("bob", "pw");
    const Response response = Send("View=Compose&Session=NOSUCHX&ComposeUser=bob&Body=hello&To=x%40y");
    EXPECT_EQ(response.Page(), "LOGON[Session gone.]");
    EXPECT_EQ(m_harness.Manager().Count(), 0);
    EXPECT_FALSE(fs::exists(m_harness.Settings().UserDir("bob") / "Drafts"));
    EXPECT_FALSE(fs::exists(m_harness.Settings().UserDir("eve")));
    EXPECT_EQ(Send("View=Compose&Session=NOSUCHX&ComposeUser=eve&Body=hello").Page(), "LOGON[Session gone.]");
    EXPECT_FALSE(fs::exists(m_harness.Settings().UserDir("eve")));
}

TEST_F(RequestTest, ASecondLogonReplacesAnIdleSessionAndIsRefusedWhileTheOldOneIsBusy)
{
    const std::string first = LogOn();
    const std::string second = LogOn();
    EXPECT_NE(first, second);
    EXPECT_EQ(m_harness.Manager().Count(), 1);
    EXPECT_EQ(m_harness.Manager().FindById(first), nullptr);

    Session* busy = m_harness.Manager().FindById(second);
    ASSERT_NE(busy, nullptr);
    const Response refused = Send("View=Main&User=alice&Password=pw", "Lang=en; Theme=Globe");
    EXPECT_EQ(refused.Text, kHead + "LOGON[Already logged on.]");
    EXPECT_NE(m_harness.Log().find("Could not kill session " + second + " for alice."), std::string::npos);
    busy->Unbusy();
    EXPECT_EQ(m_harness.Manager().Count(), 1);
}

TEST_F(RequestTest, GuessedPasswordsAreRefusedUncheckedAndTheRightOneLogsOnAfterTheDelay)
{
    AddUser("bob", "pw");
    for (int i = 0; i < 40; ++i) {
        EXPECT_EQ(Send("View=Main&User=alice&Password=guess" + std::to_string(i), "Lang=en; Theme=Globe").Page(),
                  "LOGON[Bad logon.]");
    }
    std::string log = m_harness.Log();
    EXPECT_EQ(Occurrences(log, "User alice attempting logon."), 5u) << "only the free failures were checked";
    EXPECT_NE(log.find("Logon of user alice from 127.0.0.1 refused unchecked after failed logons; retry in 1 s."),
              std::string::npos)
            << log;

    // While the delay runs even the right password is refused, from any address, with the same message.
    EXPECT_EQ(Send("View=Main&User=alice&Password=pw", "Lang=en; Theme=Globe").Page(), "LOGON[Bad logon.]");
    EXPECT_EQ(Send("View=Main&User=ALICE&Password=pw", "Lang=en; Theme=Globe", "127.0.0.3").Page(),
              "LOGON[Bad logon.]");
    EXPECT_EQ(m_harness.Manager().Count(), 0);

    // Another account from another address is not held up.
    EXPECT_EQ(Send("View=Main&User=bob&Password=pw", "Lang=en; Theme=Globe", "127.0.0.2").Page(), "MAIN[bob]");

    // After the delay the right password logs on.
    m_throttleNow += 1000;
    EXPECT_EQ(Send("View=Main&User=alice&Password=pw", "Lang=en; Theme=Globe").Page(), "MAIN[alice]");
}

TEST_F(RequestTest, AUsersLogonLockHoldsUpOnlyThatUsersLogons)
{
    AddUser("bob", "pw");
    std::optional<UserLogonLocks::Held> alice(m_logonLocks.Lock("ALICE"));
    EXPECT_EQ(Send("View=Main&User=bob&Password=pw", "Lang=en; Theme=Globe", "127.0.0.2").Page(), "MAIN[bob]");

    auto waiting = std::async(std::launch::async, [this] {
        return Send("View=Main&User=alice&Password=pw", "Lang=en; Theme=Globe", "127.0.0.1", "alice-response").Page();
    });
    EXPECT_EQ(waiting.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout)
            << "alice's logon did not wait for her lock";
    alice.reset();
    ASSERT_EQ(waiting.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_EQ(waiting.get(), "MAIN[alice]");
    EXPECT_EQ(m_logonLocks.Size(), 0u);
}

TEST_F(RequestTest, LogonsOfOneUserAtOnceLeaveOneSession)
{
    // Every thread's password is checked: the throttle's one-at-a-time rule would let fewer of them meet.
    LogonThrottlePolicy lenient;
    lenient.AccountFreeFailures = 1000;
    lenient.AddressFreeFailures = 1000;
    m_throttle = MakeThrottle(lenient);
    constexpr int kThreads = 8;
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::promise<void> go;
        const std::shared_future<void> start = go.get_future().share();
        std::vector<std::thread> threads;
        for (int i = 0; i < kThreads; ++i) {
            threads.emplace_back([this, start, i] {
                start.wait();
                (void)Send("View=Main&User=alice&Password=pw", "Lang=en; Theme=Globe", "127.0.0.1",
                           "response" + std::to_string(i));
            });
        }
        go.set_value();
        for (std::thread& thread : threads) {
            thread.join();
        }
        EXPECT_EQ(m_harness.Manager().Count(), 1) << "got several sessions for one user, want one";
    }
}

TEST_F(RequestTest, LogoutEndsTheSessionAndShowsTheLogoutOrLogonPage)
{
    std::string id = LogOn();
    EXPECT_EQ(Send("View=Logout&Session=" + id, CookiesOf(id)).Text, kHead + "LOGON[Logged out.]");
    EXPECT_EQ(m_harness.Manager().Count(), 0);

    WriteFile(m_harness.Settings().Dir() / "Templates" / "Globe" / "Logout.html", "BYE[<$STATUSMESG$>]");
    m_cache = std::make_unique<TemplateCache>((m_harness.Settings().Dir() / "Templates").string(), true, nullptr);
    id = LogOn();
    const std::string cookies = CookiesOf(id);
    EXPECT_EQ(Send("View=Logout&Session=" + id, cookies).Page(), "BYE[Logged out.]");
    EXPECT_EQ(Send("View=Main&Session=" + id, cookies).Page(), "LOGON[Session gone.]");
}

// The Logon page tells its refusals ("!") from the news that the user has logged out.
TEST_F(RequestTest, LogonRefusalsAreMarkedAsErrorsAndTheLogoutIsNot)
{
    const fs::path templates = m_harness.Settings().Dir() / "Templates";
    WriteFile(templates / "Globe" / "Logon.html", "LOGON<$IF STATUSERROR$>!<$ENDIF$>[<$STATUSMESG$>]");
    m_cache = std::make_unique<TemplateCache>(templates.string(), true, nullptr);

    EXPECT_EQ(Send("View=Main&User=alice&Password=wrong").Page(), "LOGON![Bad logon.]");
    std::string id = LogOn();
    EXPECT_EQ(Send("View=Main&Session=" + id, CookiesOf(id), "127.0.0.2").Page(), "LOGON![Wrong address.]");
    EXPECT_EQ(Send("View=Main&Session=" + id, "Session=bogus").Page(), "LOGON![Wrong cookie.]");
    const std::string cookies = CookiesOf(id);
    EXPECT_EQ(Send("View=Logout&Session=" + id, cookies).Page(), "LOGON[Logged out.]");
    EXPECT_EQ(Send("View=Main&Session=" + id, cookies).Page(), "LOGON![Session gone.]");
}

TEST_F(RequestTest, AListDuringAFetchGetsTheWaitingPageWithoutWaitingForTheSession)
{
    const std::string id = LogOn();
    Session* session = m_harness.Manager().FindById(id);
    ASSERT_NE(session, nullptr);
    session->SetRetrievalPending(true);

    // Another request of the session holds its lock meanwhile.
    std::promise<void> locked;
    std::promise<void> release;
    std::thread holder([&] {
        std::lock_guard lock(session->RequestLock());
        locked.set_value();
        release.get_future().wait();
    });
    locked.get_future().wait();
    EXPECT_EQ(Send("View=List&Session=" + id, CookiesOf(id)).Page(), "WAIT");
    release.set_value();
    holder.join();
    session->SetRetrievalPending(false);
    session->Unbusy();
    EXPECT_EQ(Send("View=List&Session=" + id, CookiesOf(id)).Page(), "LIST");
    EXPECT_EQ(session->CurrentView(), kViewList);
}

TEST_F(RequestTest, EveryRequestSavesTheMessageIndexWhenItChanged)
{
    const std::string id = LogOn();
    const fs::path indexFile = m_harness.Settings().UserDir("alice") / store::kMessageIndexFile;
    EXPECT_FALSE(fs::exists(indexFile)) << "nothing changed yet";

    Session* session = m_harness.Manager().FindById(id);
    ASSERT_NE(session, nullptr);
    store::MessageIndexEntry* entry = session->User().Messages().NewEntry();
    entry->SetFolder("Inbox");
    entry->SetSubject("changed during the request");
    session->Unbusy();

    EXPECT_EQ(Send("View=List&Session=" + id, CookiesOf(id)).Page(), "LIST");
    EXPECT_NE(ReadFile(indexFile).find("changed during the request"), std::string::npos);
    EXPECT_FALSE(session->User().Messages().Dirty());
}

TEST_F(RequestTest, ValuesFromOutsideReachNeitherAHeaderNorAPath)
{
    const std::string id = LogOn();
    // A language or theme cookie that is not one of ours is replaced by the default, and the header stays whole.
    const Response response =
            Send("View=Main&Session=" + id, "Session=" + SecretOf(id) + "; Lang=x%0D%0AX: y; Theme=..");
    EXPECT_NE(response.Text.find("Set-Cookie: Lang=en; Expires="), std::string::npos) << response.Text;
    EXPECT_NE(response.Text.find("Set-Cookie: Theme=Globe; Expires="), std::string::npos) << response.Text;
    EXPECT_EQ(response.Text.find("X: y"), std::string::npos);

    // A page name that would leave the theme's directory shows the Error page.
    WriteFile(m_harness.Settings().Dir() / "secret.html", "SECRET");
    EXPECT_EQ(Send("View=../secret&Session=" + id, CookiesOf(id)).Page(), "ERROR[]");
    EXPECT_EQ(Send("View=Nope&Session=" + id, CookiesOf(id)).Page(), "ERROR[]");
}

TEST_F(RequestTest, TheNewAccountButtonLeadsToTheNewUserFormWhereTheDomainAllowsIt)
{
    struct Case {
        const char* Domains;
        const char* Query;
        const char* Want;
    };

    const Case cases[] = {
            {"", "View=Main&NewAccount=1&User=x&Password=s", "LOGON[No new accounts.]"},
            {"NewAccountCreation=Yes\r\nNewAccountPassword=-secret\r\n", "View=Main&NewAccount=1&Password=bad",
             "LOGON[Wrong sign-up password.]"},
            {"NewAccountCreation=Yes\r\nNewAccountPassword=-secret\r\n", "View=Main&NewAccount=1&Password=secret",
             "NEWUSER[secret]"},
            {"NewAccountCreation=Yes\r\n", "View=NewUser", "NEWUSER[]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Query);
        m_harness.Settings().WriteDomains(std::string("[Default:Settings]\r\n") + c.Domains);
        EXPECT_EQ(Send(c.Query, "Lang=en; Theme=Globe").Page(), c.Want);
    }
    EXPECT_EQ(m_harness.Manager().Count(), 0);
}

// Someone arms the cookie hand-over of his own session with the watch program's logon, then has a victim post the
// logon form with that session's id beside her own name and password.
TEST_F(RequestTest, ALogonAlwaysMakesASessionOfItsOwn)
{
    AddUser("mallory", "mpw");
    ASSERT_NE(Send("View=StatusCheck&GetSession=1&User=mallory&Password=mpw").Text.find("<session>"),
              std::string::npos);
    Session* planted = m_harness.Manager().FindByUser("mallory");
    ASSERT_NE(planted, nullptr);
    const std::string plantedId = planted->Id();
    const std::string plantedSecret = planted->CookieSecret();
    planted->Unbusy();

    const Response response =
            Send("View=Main&Frames=1&User=alice&Password=pw&Session=" + plantedId, "Lang=en; Theme=Globe");
    EXPECT_EQ(response.Page(), "MAIN[alice]") << response.Text;
    EXPECT_EQ(response.Text.find(plantedSecret), std::string::npos) << "the planted session's cookie was handed out";
    Session* own = m_harness.Manager().FindByUser("alice");
    ASSERT_NE(own, nullptr);
    const std::string ownId = own->Id();
    EXPECT_NE(ownId, plantedId);
    own->Unbusy();

    // A logon beside the user's own live session, cookie and all, makes a new one too.
    EXPECT_EQ(Send("View=Main&User=alice&Password=pw&Session=" + ownId, CookiesOf(ownId)).Page(), "MAIN[alice]");
    Session* again = m_harness.Manager().FindByUser("alice");
    ASSERT_NE(again, nullptr);
    EXPECT_NE(std::string(again->Id()), ownId);
    again->Unbusy();
    EXPECT_EQ(m_harness.Manager().FindById(ownId), nullptr);
}

TEST_F(RequestTest, ALogonFormThatAnotherSitePostedIsRefused)
{
    struct Case {
        const char* Origin;
        bool Post;
        const char* Want;
    };

    // The pages are at localhost:2000 (SERVER_NAME and SERVER_PORT, from the Host header).
    const Case cases[] = {
            {"http://evil.example", true, "LOGON[Other site.]"},
            {"null", true, "LOGON[Other site.]"},
            {"http://localhost", true, "LOGON[Other site.]"},
            {"http://localhost:2000.evil.example", true, "LOGON[Other site.]"},
            {"http://localhost:2000/x", true, "LOGON[Other site.]"},
            {"http://user@localhost:2000", true, "LOGON[Other site.]"},
            {"ftp://localhost:2000", true, "LOGON[Other site.]"},
            {"http://localhost:2000", true, "MAIN[alice]"},
            {"https://LocalHost:2000", true, "MAIN[alice]"},
            {"", true, "MAIN[alice]"},                     // no Origin header
            {"http://evil.example", false, "MAIN[alice]"}, // a GET is not a posted form
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.Origin) + (c.Post ? " POST" : " GET"));
        const std::string query = "View=Main&User=alice&Password=pw";
        std::string environment = c.Post ? test::PostRequestEnvironment(query, "Lang=en; Theme=Globe", c.Origin)
                                         : test::GetRequestEnvironment(query, "Lang=en; Theme=Globe");
        if (!c.Post) {
            environment.pop_back();
            environment += std::string("HTTP_ORIGIN=") + c.Origin + '\0' + '\0';
        }
        const Response response =
                test::RunRequest(environment, Services(), (m_harness.Settings().Dir() / "response").string());
        EXPECT_EQ(response.Page(), c.Want) << response.Text;
        const bool loggedOn = std::string_view(c.Want) == "MAIN[alice]";
        EXPECT_EQ(response.Text.find("Set-Cookie: Session=") != std::string::npos, loggedOn) << response.Text;
    }
    EXPECT_NE(m_harness.Log().find("Logon form from 127.0.0.1 refused: it was posted by the page of another site "
                                   "(Origin http://evil.example)."),
              std::string::npos)
            << m_harness.Log();

    // The sign-up form is a logon form too: no account is made from another site's post.
    m_harness.Settings().WriteDomains("[Default:Settings]\r\nNewAccountCreation=Yes\r\n");
    const Response signUp =
            test::RunRequest(test::PostRequestEnvironment("View=NewUser&User=newbie&Pass=p&ConfirmPass=p&Finished=1",
                                                          "Lang=en; Theme=Globe", "http://evil.example"),
                             Services(), (m_harness.Settings().Dir() / "response").string());
    EXPECT_EQ(signUp.Page(), "LOGON[Other site.]");
    EXPECT_FALSE(fs::exists(m_harness.Settings().UserDir("newbie")));
}

// Many large forms at once each held their whole text: the budget refuses a large one while the others hold it,
// and serves small ones meanwhile.
TEST_F(RequestTest, LargeFormsPastTheBudgetGet503WhileSmallOnesAreServed)
{
    ASSERT_TRUE(WriteIniString("General", "MaxFormMemory", "256")); // KB
    AddUser("bob", "pw");
    const std::string id = LogOn();
    const std::string held = "Note=" + std::string(std::size_t{200} * 1024, 'a');
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    m_action = [released](Request& request) {
        if (request.View() == kViewOptionsPrefs) {
            released.wait(); // a large form still being worked on
        }
    };
    std::thread first([&] { (void)Post("View=Options-Prefs&Session=" + id, held, CookiesOf(id), "first"); });

    // The first request ends whatever the checks below find.
    struct Finish {
        Finish(std::promise<void>& release, std::thread& first)
            : Release(release)
            , First(first)
        {}

        Finish(const Finish&) = delete;
        Finish& operator=(const Finish&) = delete;

        ~Finish()
        {
            Release.set_value();
            First.join();
        }

        std::promise<void>& Release;
        std::thread& First;
    };

    std::optional<Finish> finish;
    finish.emplace(release, first);
    EXPECT_TRUE(qm::test::WaitUntil([&] { return m_forms.Held() == held.size(); })) << m_forms.Held();

    const std::string large = "User=bob&Password=pw&Pad=" + std::string(std::size_t{100} * 1024, 'b');
    const Response refused = Post("View=Main", large, "Lang=en; Theme=Globe", "second");
    EXPECT_EQ(refused.Text.rfind("Status: 503 Service Unavailable\r\nRetry-After: 5\r\n", 0), 0u) << refused.Text;
    EXPECT_EQ(refused.Page(), "ERROR[Busy.]");
    if (Session* acted = m_harness.Manager().FindByUser("bob")) {
        acted->Unbusy();
        ADD_FAILURE() << "the refused form was acted on";
    }

    const Response small = Post("View=Main", "User=bob&Password=pw", "Lang=en; Theme=Globe", "third");
    EXPECT_EQ(small.Page(), "MAIN[bob]") << small.Text;

    finish.reset();
    EXPECT_EQ(m_forms.Held(), 0u) << "every form gave its bytes back";
    const Response later = Post("View=Main", large, "Lang=en; Theme=Globe", "fourth");
    EXPECT_EQ(later.Page(), "MAIN[bob]") << later.Text;
    EXPECT_NE(m_harness.Log().find("Form of " + std::to_string(large.size()) + " bytes from 127.0.0.1 refused"),
              std::string::npos)
            << m_harness.Log();
}

// Guessing the sign-up password is slowed as guessing a logon password is: after the free failures even the right
// one is refused until the delay is over, on the Logon page's button and for the domain a name asks for alike.
TEST_F(RequestTest, SignUpPasswordGuessesAreThrottled)
{
    const std::string refused = "LOGON[Wrong sign-up password.]";

    struct Case {
        const char* Name;
        std::string Domains;
        std::string Guess;
        std::string Right;
        std::string RightPage;
    };

    const Case cases[] = {
            {"the Logon page's button", "NewAccountPassword=-secret\r\n", "View=Main&NewAccount=1&Password=guess",
             "View=Main&NewAccount=1&Password=secret", "NEWUSER[secret]"},
            {"another domain's form",
             "[guarded.org:Settings]\r\nNewAccountCreation=Yes\r\nNewAccountPassword=-sesame\r\n",
             "View=NewUser&Finished=1&User=x@guarded.org&Pass=p&ConfirmPass=p"
             "&NewAccountPassword=guess",
             "View=NewUser&Finished=1&User=x@guarded.org&Pass=p&ConfirmPass=p&NewAccountPassword=sesame",
             "NEWUSER[sesame]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        m_harness.Settings().WriteDomains("[Default:Settings]\r\nNewAccountCreation=Yes\r\n" + c.Domains);
        m_throttle = MakeThrottle();
        for (int i = 0; i < LogonThrottlePolicy{}.AccountFreeFailures; ++i) {
            EXPECT_EQ(Send(c.Guess, "Lang=en; Theme=Globe", "127.0.0.2").Page(), refused) << i;
        }
        EXPECT_EQ(Send(c.Right, "Lang=en; Theme=Globe", "127.0.0.2").Page(), refused) << "checked during the delay";
        EXPECT_EQ(Send(c.Right, "Lang=en; Theme=Globe", "127.0.0.3").Page(), refused)
                << "the domain's sign-up waits whoever asks";
        m_throttleNow += LogonThrottlePolicy{}.FirstDelay.count();
        EXPECT_EQ(Send(c.Right, "Lang=en; Theme=Globe", "127.0.0.2").Page(), c.RightPage);
    }
    EXPECT_NE(m_harness.Log().find("Sign-up password for domain guarded.org from 127.0.0.2 refused unchecked"),
              std::string::npos)
            << m_harness.Log();
    EXPECT_EQ(m_harness.Log().find("sesame"), std::string::npos);
}

TEST_F(RequestTest, AFramedRequestShowsTheMainPageWithTheViewInItsFrame)
{
    const std::string id = LogOn();
    EXPECT_EQ(Send("View=Options-Prefs&Frames=1&Session=" + id, CookiesOf(id)).Page(), "MAIN[alice]");
    Session* session = m_harness.Manager().FindById(id);
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(session->CurrentView(), kViewOptionsPrefs);
    EXPECT_EQ(session->FrameView(), kViewOptionsPrefs);
    session->Unbusy();
}

TEST_F(RequestTest, WithoutAnOutputTheRequestStillRuns)
{
    std::string environment = "QUERY_STRING=View=Main&User=alice&Password=pw";
    environment += '\0';
    environment += "REMOTE_ADDR=127.0.0.1";
    environment += '\0';
    environment += '\0';
    {
        Request request(-1, -1, environment.c_str(), Services());
        request.Run();
    }
    Session* session = m_harness.Manager().FindByUser("alice");
    ASSERT_NE(session, nullptr);
    session->Unbusy();
}

// ---- the mail work after the page ----

using qm::test::AfterReply;
using qm::test::CrLfLines;
using qm::test::ScriptedPop3Server;
using qm::test::ScriptStep;

std::vector<ScriptStep> PopLogon()
{
    return {{"", "+OK ready\r\n"}, {"USER alice", "+OK\r\n"}, {"PASS pop-pw", "+OK\r\n"}};
}

std::vector<ScriptStep> PopJoin(std::vector<ScriptStep> steps, const std::vector<ScriptStep>& more)
{
    steps.insert(steps.end(), more.begin(), more.end());
    return steps;
}

std::string PopMessage(const std::string& subject)
{
    return "+OK\r\nFrom: a@example.org\r\nSubject: " + subject + "\r\n\r\nbody\r\n.\r\n";
}

class RequestFetchTest : public RequestTest {
public:
    RequestFetchTest()
    {
        m_id = LogOn();
        m_session = m_harness.Manager().FindById(m_id);
        EXPECT_NE(m_session, nullptr);
        // The stand-in for the List and Message actions: they announce the mail work after the page.
        m_action = [](Request& request) {
            request.SetFetchAfterPage(true);
            request.CurrentSession()->SetRetrievalPending(true);
        };
    }

    ~RequestFetchTest() override
    {
        if (m_session != nullptr) {
            m_session->Unbusy();
        }
    }

    RequestFetchTest(const RequestFetchTest&) = delete;
    RequestFetchTest& operator=(const RequestFetchTest&) = delete;

protected:
    store::MailHostAccount& AddAccount(const std::string& mailbox, int port, bool active = true, int deleteMode = 0)
    {
        store::MailHostAccount& account = m_session->User().MailHosts().NewAccount();
        EXPECT_TRUE(account.SetMailbox(mailbox));
        account.SetHost("127.0.0.1");
        account.SetPort(port);
        account.SetUser("alice");
        account.SetPass("pop-pw");
        account.SetActive(active);
        account.SetDelete(deleteMode);
        return account;
    }

    Response List(const std::string& extra = "") { return Send("View=List&Session=" + m_id + extra, CookiesOf(m_id)); }

    std::string Stat(const char* key) const
    {
        return ReadIniStringFile("Stats", key, "<none>", m_session->User().IniPath());
    }

    std::string TakeError()
    {
        const std::unique_ptr<char[]> text = m_session->ErrorMessage().Take();
        return text ? text.get() : "";
    }

    static void ExpectFollowed(const ScriptedPop3Server& server)
    {
        EXPECT_TRUE(server.WaitDone());
        for (const std::string& mismatch : server.Mismatches()) {
            ADD_FAILURE() << mismatch << "\nsent:\n" << server.CommandText();
        }
    }

    std::string m_id;
    Session* m_session = nullptr;
};

// A port on loopback where nobody listens.
int ClosedPort()
{
    qm::test::LoopbackListener listener;
    return listener.Port();
}

TEST_F(RequestFetchTest, TheListPageFetchesNewMailOfEveryActiveAccountAfterThePage)
{
    ScriptedPop3Server server(PopJoin(PopLogon(), {{"STAT", "+OK 2 300\r\n"},
                                                   {"UIDL", CrLfLines({"+OK", "1 uid-a", "2 uid-b", "."})},
                                                   {"LIST 1", "+OK 1 100\r\n"},
                                                   {"RETR 1", PopMessage("one")},
                                                   {"LIST 2", "+OK 2 200\r\n"},
                                                   {"RETR 2", PopMessage("two")},
                                                   {"QUIT", "+OK\r\n", AfterReply::Close}}));
    ASSERT_TRUE(server.Valid());
    AddAccount("pop", server.Port());
    AddAccount("idle", ClosedPort(), false); // inactive: never contacted, never counted
    ASSERT_TRUE(WriteIniStringFile("Stats", "Received", "5", m_session->User().IniPath()));
    m_harness.Advance(90);

    EXPECT_EQ(List().Page(), "WAIT") << "the page announces the fetch";
    ExpectFollowed(server);

    store::MessageIndex& index = m_session->User().Messages();
    ASSERT_EQ(index.Count(), 2);
    for (int i = 0; i < index.Count(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(index.Entry(i)->HasFlag(store::MessageFlag::Stored));
        EXPECT_EQ(index.Entry(i)->Mailbox(), "pop");
        EXPECT_TRUE(fs::exists(index.Entry(i)->GetMessagePath()));
    }
    EXPECT_FALSE(index.Dirty()) << "saved after the fetch";
    EXPECT_EQ(Stat("Received"), "7");
    EXPECT_EQ(Stat("MessageCount"), "2");
    EXPECT_EQ(Stat("DiskSpace"), std::to_string(index.StoredSizeKB()));
    EXPECT_EQ(Stat("RecvErrors"), "<none>");
    EXPECT_EQ(m_harness.Word(StatusWord::Pop3Sessions), 1);
    EXPECT_EQ(m_harness.Word(StatusWord::Pop3Failures), 0);
    EXPECT_FALSE(m_session->RetrievalPending());
    EXPECT_TRUE(m_session->RetrievalDone());
    EXPECT_EQ(m_session->LastMailCheck(), m_harness.Now());
    EXPECT_EQ(TakeError(), "");
    EXPECT_EQ(m_session->Pop3Client(), nullptr);

    // A page that announces nothing clears the done flag and fetches nothing.
    m_action = nullptr;
    EXPECT_EQ(List().Page(), "LIST");
    EXPECT_FALSE(m_session->RetrievalDone());
    EXPECT_EQ(m_harness.Word(StatusWord::Pop3Sessions), 1);
}

TEST_F(RequestFetchTest, AMessageSkippedAsTooLargeIsCountedApartAndTheFetchSucceeds)
{
    // Announced as 100 bytes, it sends 100 KB: skipped, and the next message is fetched.
    ScriptedPop3Server server(PopJoin(PopLogon(), {{"STAT", "+OK 2 300\r\n"},
                                                   {"UIDL", CrLfLines({"+OK", "1 big", "2 next", "."})},
                                                   {"LIST 1", "+OK 1 100\r\n"},
                                                   {"RETR 1", "+OK\r\nSubject: big\r\n\r\n", AfterReply::Continue,
                                                    std::string(998, 'x') + "\r\n", 100, ".\r\n"},
                                                   {"LIST 2", "+OK 2 200\r\n"},
                                                   {"RETR 2", PopMessage("next")},
                                                   {"QUIT", "+OK\r\n", AfterReply::Close}}));
    ASSERT_TRUE(server.Valid());
    AddAccount("pop", server.Port());
    EXPECT_EQ(List().Page(), "WAIT");
    ExpectFollowed(server);
    EXPECT_EQ(m_session->User().Messages().Count(), 1);
    EXPECT_EQ(Stat("Received"), "1");
    EXPECT_EQ(Stat("RecvSkipped"), "1");
    EXPECT_EQ(Stat("RecvErrors"), "<none>");
    EXPECT_EQ(TakeError(), "");
}

TEST_F(RequestFetchTest, AFailedFetchNamesTheMailboxInTheMessageForItsCause)
{
    struct Case {
        const char* Name;
        std::vector<ScriptStep> Script; // empty: nobody listens
        const char* Error;
    };

    const std::vector<Case> cases = {
            {"logon refused",
             {{"", "+OK\r\n"}, {"USER alice", "+OK\r\n"}, {"PASS pop-pw", "-ERR wrong\r\n"}, {"QUIT", "+OK\r\n"}},
             "Bad logon at box."},
            {"no connection", {}, "No connection to box."},
            {"error reply", PopJoin(PopLogon(), {{"STAT", "-ERR broken\r\n"}, {"QUIT", "+OK\r\n"}}),
             "Fetch from box failed."},
            {"mailbox locked",
             {{"", "+OK\r\n"},
              {"USER alice", "+OK\r\n"},
              {"PASS pop-pw", "-ERR mailbox is locked\r\n"},
              {"QUIT", "+OK\r\n"}},
             ""},
    };
    int runs = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        std::optional<ScriptedPop3Server> server;
        if (!c.Script.empty()) {
            server.emplace(c.Script);
        }
        store::MailHostList& accounts = m_session->User().MailHosts();
        while (accounts.Count() > 0) {
            accounts.RemoveAccount(0);
        }
        AddAccount("box", server ? server->Port() : ClosedPort());

        EXPECT_EQ(List().Page(), "WAIT");
        if (server) {
            ExpectFollowed(*server);
        }
        ++runs;
        EXPECT_EQ(TakeError(), c.Error);
        EXPECT_EQ(Stat("RecvErrors"), std::to_string(runs));
        EXPECT_EQ(m_harness.Word(StatusWord::Pop3Sessions), runs);
        EXPECT_EQ(m_harness.Word(StatusWord::Pop3Failures), runs);
        EXPECT_TRUE(m_session->RetrievalDone()) << "a failed fetch is done all the same";
        EXPECT_FALSE(m_session->RetrievalPending());
    }
    EXPECT_EQ(Stat("Received"), "<none>");
}

TEST_F(RequestFetchTest, EmptyingTheTrashDeletesOnTheServersThatDeleteAndWritesTheStats)
{
    ScriptedPop3Server server(PopJoin(PopLogon(), {{"STAT", "+OK 2 200\r\n"},
                                                   {"UIDL", CrLfLines({"+OK", "1 keep", "2 del-a", "."})},
                                                   {"DELE 2", "+OK\r\n"},
                                                   {"QUIT", "+OK\r\n", AfterReply::Close}}));
    ASSERT_TRUE(server.Valid());
    AddAccount("deleting", server.Port(), true, 1);
    AddAccount("keeping", ClosedPort(), true, 0); // Delete 0: never contacted
    store::MessageIndex& index = m_session->User().Messages();
    for (const char* mailbox : {"deleting", "keeping"}) {
        store::MessageIndexEntry* entry = index.NewEntry();
        entry->SetNumber(index.NextNumber());
        entry->SetMailbox(mailbox);
        entry->SetUid("del-a");
        entry->SetFolder("");
    }
    index.MarkDirty();

    EXPECT_EQ(List("&EmptyTrash=1").Page(), "WAIT");
    ExpectFollowed(server);
    ASSERT_EQ(index.Count(), 1);
    EXPECT_EQ(index.Entry(0)->Mailbox(), "keeping");
    EXPECT_EQ(Stat("MessageCount"), "1");
    EXPECT_EQ(Stat("DiskSpace"), "0");
    EXPECT_EQ(m_harness.Word(StatusWord::Pop3Sessions), 0) << "deletions are not fetches";
    EXPECT_FALSE(m_session->RetrievalPending());
    EXPECT_FALSE(m_session->RetrievalDone());
    EXPECT_EQ(TakeError(), "");
}

TEST_F(RequestFetchTest, TheMessagePageFetchesTheWholeTextOfAHeadersOnlyMessage)
{
    ScriptedPop3Server server(PopJoin(PopLogon(), {{"STAT", "+OK 1 100\r\n"},
                                                   {"UIDL", CrLfLines({"+OK", "1 uid-big", "."})},
                                                   {"LIST 1", "+OK 1 100\r\n"},
                                                   {"RETR 1", PopMessage("big")},
                                                   {"QUIT", "+OK\r\n", AfterReply::Close}}));
    ASSERT_TRUE(server.Valid());
    AddAccount("pop", server.Port());
    store::MessageIndex& index = m_session->User().Messages();
    store::MessageIndexEntry* entry = index.NewEntry();
    const std::uint32_t number = index.NextNumber();
    entry->SetNumber(number);
    entry->SetFileId(store::MessageFileId(number));
    entry->SetMailbox("pop");
    entry->SetUid("uid-big");
    entry->SetFolder("Inbox");
    entry->SetSize(100);
    m_session->SetCurrentMessage(entry);

    EXPECT_EQ(Send("View=Message&Session=" + m_id, CookiesOf(m_id)).Page(), "ERROR[]") << "no Message template";
    ExpectFollowed(server);
    EXPECT_TRUE(entry->HasFlag(store::MessageFlag::Stored));
    EXPECT_NE(ReadFile(entry->GetMessagePath()).find("Subject: big"), std::string::npos);
    EXPECT_EQ(Stat("Received"), "1");
    EXPECT_TRUE(m_session->RetrievalDone());

    // Once done, the next Message page fetches nothing: nobody would answer.
    m_session->SetCurrentMessage(entry);
    entry->ChangeFlags(store::MessageFlag::Stored, false);
    EXPECT_EQ(Send("View=Message&Session=" + m_id, CookiesOf(m_id)).Page(), "ERROR[]");
    EXPECT_EQ(m_harness.Word(StatusWord::Pop3Sessions), 1);
    EXPECT_EQ(TakeError(), "");
    m_session->SetCurrentMessage(nullptr);
}

TEST_F(RequestFetchTest, TheRunningClientSitsInTheSessionsSlotForTheStatusPage)
{
    ASSERT_TRUE(WriteIniString("PopClient", "Timeout", "2"));
    // The server stops answering after UIDL: the client waits in its slot until its time-out.
    ScriptedPop3Server server(PopJoin(PopLogon(), {{"STAT", "+OK 3 300\r\n"},
                                                   {"UIDL", CrLfLines({"+OK", "1 a", "2 b", "3 c", "."})},
                                                   {"LIST 1", "", AfterReply::Silence}}));
    ASSERT_TRUE(server.Valid());
    AddAccount("slow", server.Port());
    std::thread request([this] { (void)List(); });

    SessionPage page(*m_session);
    std::optional<FetchProgress> seen;
    EXPECT_TRUE(qm::test::WaitUntil([&] {
        seen = page.GetFetchProgress();
        return seen && seen->Total == 3;
    }));
    request.join();
    ASSERT_TRUE(seen.has_value());
    EXPECT_EQ(seen->Mailbox, "slow");
    EXPECT_FALSE(seen->DeleteMode);
    EXPECT_EQ(seen->Done, 0);
    EXPECT_FALSE(page.GetFetchProgress().has_value()) << "the slot is empty once the run has ended";
    EXPECT_EQ(TakeError(), "Fetch from slow failed.");
}

} // namespace
} // namespace qm::engine
