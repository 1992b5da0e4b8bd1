// The request's pieces that need no session: the View look-up, page names, the domain pick, the header lines and
// the request as the log shows it.
#include "engine/DomainPick.h"
#include "engine/RequestLogText.h"
#include "engine/RequestViews.h"
#include "engine/ResponseHead.h"
#include "engine/tests/SessionTestSupport.h"

#include <gtest/gtest.h>

#include <clocale>
#include <optional>
#include <string>

namespace qm::engine {
namespace {

using test::SettingsInstall;

TEST(LookupViewTest, MapsTheViewFieldToItsId)
{
    struct Case {
        const char* View;
        bool Attach;
        bool SpellCheck;
        int Want;
    };

    const Case cases[] = {
            {"", false, false, kViewLogon},
            {"Main", false, false, kViewMain},
            {"list", false, false, kViewList},
            {"OPTIONS-PREFS", false, false, kViewOptionsPrefs},
            {"Compose", false, false, kViewCompose},
            {"compose", true, false, kViewComposeAttach}, // an empty Attach field counts
            {"Compose", false, true, kViewComposeSpellCheck},
            {"Compose", true, true, kViewComposeAttach},
            {"Compose-Attach", false, false, kViewComposeAttach},
            {"Logout", false, false, kViewLogout},
            {"Nope", false, false, kViewUnlisted},
            {"Main ", false, false, kViewUnlisted},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.View);
        EXPECT_EQ(LookupView(c.View, c.Attach, c.SpellCheck), c.Want);
    }
}

TEST(LookupViewTest, AnUnlistedViewIsAPageNameOnlyWhenItIsASafeFileName)
{
    struct Case {
        int View;
        std::string Raw;
        std::optional<std::string> Want;
    };

    const Case cases[] = {
            {kViewOptionsAddrBook, "options-addrbook", "Options-AddrBook"},
            {kViewUnlisted, "Nope", "Nope"},
            {kViewUnlisted, "HELP", "HELP"},
            {kViewUnlisted, "../../etc/x", std::nullopt},
            {kViewUnlisted, "..", std::nullopt},
            {kViewUnlisted, ".hidden", std::nullopt},
            {kViewUnlisted, "a\\b", std::nullopt},
            {kViewUnlisted, "a\r\nb", std::nullopt},
            {kViewUnlisted, "", std::nullopt},
            {kViewUnlisted, std::string(79, 'p'), std::string(79, 'p')},
            {kViewUnlisted, std::string(80, 'p'), std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Raw);
        EXPECT_EQ(PageNameOf(c.View, c.Raw), c.Want);
    }
    EXPECT_EQ(RedirectPageName("List"), "List-Redirect");
    EXPECT_EQ(RedirectPageName(std::string(79, 'x')), std::string(70, 'x') + "-Redirect");
}

TEST(PickDomainTest, ScoresAddressPortNameAndTheDefault)
{
    const ServerEndpoint server{"10.0.0.5", "8080", "mail.example.com"};

    struct Case {
        const char* Name;
        DomainMatchSettings Settings;
        const char* Default;
        int Want;
    };

    const Case cases[] = {
            {"example.com", {"", "8080"}, "", 4},   // port and name suffix after a '.'
            {"other.org", {"10.0.0.5", ""}, "", 2}, // address only
            {"ample.com", {"", ""}, "", 0},         // a suffix without a '.' before it is no match
            {"mail.example.com", {"", ""}, "", 2},  // the whole name
            {"MAIL.EXAMPLE.COM", {"", ""}, "", 2},  // names compared without regard to case
            {"d.com", {"", ""}, "D.COM", 1},        // the default domain
            {"x.com", {"10.0.0.5", "8080"}, "x.com", 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        EXPECT_EQ(ScoreDomain(c.Name, c.Settings, server, c.Default), c.Want);
    }
    // Empty request values match nothing, not even settings that are empty too.
    EXPECT_EQ(ScoreDomain("a.com", {"", ""}, ServerEndpoint{"", "", ""}, ""), 0);
}

TEST(PickDomainTest, TheBestScoreWinsAndTiesKeepTheEarlierSection)
{
    SettingsInstall install;
    install.WriteDomains("[Default:Settings]\r\nDefaultDomain=home.net\r\nPort=2000\r\n"
                         "[byip.org:Settings]\r\nIP=10.0.0.5\r\nPort=1\r\n"
                         "[example.com:Settings]\r\nPort=8080\r\n"
                         "[Default:UserDefaults]\r\nLang=en\r\n"
                         "[tie.com:Settings]\r\nPort=8080\r\n"
                         "[home.net:Settings]\r\nPort=1\r\n");

    struct Case {
        ServerEndpoint Server;
        const char* Want;
    };

    const Case cases[] = {
            {{"10.0.0.5", "8080", "mail.example.com"}, "example.com"}, // 4 beats the address-only 2
            {{"10.0.0.5", "9", "www"}, "byip.org"},                    // 2 beats the default's 1
            {{"10.0.0.9", "8080", "www"}, "example.com"},              // 2 and 2: the earlier section
            {{"10.0.0.9", "2000", "www"}, "home.net"},                 // domains without a Port of their own...
            {{"10.0.0.9", "9", "www"}, "home.net"},                    // nothing matches: the default domain
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.Server.Address) + " " + std::string(c.Server.Port));
        EXPECT_EQ(PickDomain(c.Server), c.Want);
    }
}

TEST(ResponseHeadTest, CookieDatesAreEnglishUtcWhateverTheLocale)
{
    const char* previous = std::setlocale(LC_TIME, nullptr);
    const std::string saved = previous != nullptr ? previous : "C";
    (void)std::setlocale(LC_TIME, "de_DE.UTF-8"); // may not exist; the result must not depend on it
    EXPECT_EQ(CookieDate(1765432100), "Thu, 11-Dec-2025 05:48:20 GMT");
    EXPECT_EQ(CookieDate(0), "Thu, 01-Jan-1970 00:00:00 GMT");
    (void)std::setlocale(LC_TIME, saved.c_str());
}

TEST(ResponseHeadTest, CookieValuesCannotEndTheLineOrTheCookie)
{
    std::string head;
    AppendSetCookie(head, "User", "eve\r\nSet-Cookie: Session=x; a", 0);
    EXPECT_EQ(head, "Set-Cookie: User=eveSet-Cookie: Session=x a; path=/\r\n");
    head.clear();
    AppendSetCookie(head, "Lang", "de", 1765432100);
    EXPECT_EQ(head, "Set-Cookie: Lang=de; Expires=Thu, 11-Dec-2025 05:48:20 GMT; path=/\r\n");
    head.clear();
    AppendSetCookie(head, "Session", "0123abcd", 0, CookieReach::ServerOnly);
    EXPECT_EQ(head, "Set-Cookie: Session=0123abcd; path=/; HttpOnly; SameSite=Lax\r\n");
}

TEST(QueryForLogTest, MasksPasswordFieldsByTheirDecodedNames)
{
    const std::pair<std::string, std::string> cases[] = {
            {"View=Main&User=alice&Password=pw", "View=Main&User=alice&Password=*"},
            // Encoded names reach the form as Password: the mask looks at the name the form holds.
            {"User=a&%50assword=pw", "User=a&%50assword=*"},
            {"pass%77ord=pw&PASSWORD=pw2", "pass%77ord=*&PASSWORD=*"},
            {"Password.x=pw", "Password.x=*"},
            {"NewAccountPassword=s&ConfirmPass=c&MailPass%3A0=m&FaxPassword=f", "NewAccountPassword=*&ConfirmPass=*"
                                                                                "&MailPass%3A0=*&FaxPassword=*"},
            {"Pa%73s=x&P%2541ss=y", "Pa%73s=*&P%2541ss=y"}, // "P%41ss" is what the second name decodes to
            {"Password", "Password"},                       // no value to hide
            {"a=1&&Password=&b=2", "a=1&&Password=*&b=2"},
            {"", ""},
            // Control bytes of request data cannot end the log line.
            {"User=x\r\n[forged]&Password=pw", "User=x\\x0D\\x0A[forged]&Password=*"},
            {"V=\x01\x7F\x1B", "V=\\x01\\x7F\\x1B"},
    };
    for (const auto& [query, want] : cases) {
        SCOPED_TRACE(query);
        EXPECT_EQ(QueryForLog(query), want);
    }
    EXPECT_EQ(ForLog("a\tb\xE9"), "a\\x09b\xE9");
}

} // namespace
} // namespace qm::engine
