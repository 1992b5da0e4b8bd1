#include "engine/PageChoice.h"
#include "engine/TemplateRender.h"
#include "engine/Views.h"
#include "engine/tests/PageTestSupport.h"
#include "platform/IniFile.h"
#include "platform/Path.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace qm::engine {
namespace {

using test::FakePage;
using test::FakeSession;
using test::TemplateFixture;
using test::WriteFile;
namespace fs = std::filesystem;

class PageTemplatesTest : public ::testing::TestWithParam<bool> {
protected:
    bool Caching() const { return GetParam(); }

    TemplateFixture m_fixture;
    std::unique_ptr<TemplateCache> m_cache = m_fixture.MakeCache(GetParam());
};

TEST_P(PageTemplatesTest, RendersThePageElseErrorElseTheBuiltInPage)
{
    using Missing = std::vector<std::pair<std::string, std::string>>; // theme and page logged as missing
    const char* builtIn = "<HTML>The page is missing.</HTML>";

    struct Case {
        const char* Theme;
        const char* Page;
        const char* Language;
        const char* Want;
        Missing Logged;
    };

    const Case cases[] = {
            {"Globe", "Logon", "en", "<html>Sign in </html>\r\n", {}},
            {"globe", "LOGON", "de", "<html>Anmelden </html>\r\n", {}},
            {"Other", "Nope", "en", "Error page: \r\n", {{"Other", "Nope"}}},
            {"Globe", "Nope", "en", builtIn, {{"Globe", "Nope"}, {"Globe", "Error"}}},
            {"Globe", "Nope", "de", "<HTML>Die Seite fehlt.</HTML>", {{"Globe", "Nope"}, {"Globe", "Error"}}},
            // Names that would leave the theme's directory are never looked up.
            {"Globe", "../Other/Logon", "en", builtIn, {{"Globe", "../Other/Logon"}, {"Globe", "Error"}}},
            {"..", "Globe/Logon", "en", builtIn, {{"..", "Globe/Logon"}, {"..", "Error"}}},
            {"", "Logon", "en", builtIn, {{"", "Logon"}, {"", "Error"}}},
            {".hidden", "Logon", "en", builtIn, {{".hidden", "Logon"}, {".hidden", "Error"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.Theme) + "/" + c.Page);
        FakePage page(*m_cache);
        page.ThemeName = c.Theme;
        page.Lang = c.Language;
        RenderPage(page, c.Page);
        EXPECT_EQ(page.Out, c.Want);
        std::vector<std::string> logged;
        for (const auto& [theme, name] : c.Logged) {
            const std::string where =
                    Caching() ? theme + "\\" + name : platform::PathJoin(m_fixture.TemplateDir(), theme + "/" + name);
            logged.push_back("Could not find template " + where + ".html.");
        }
        EXPECT_EQ(page.Logged.Lines, logged);
    }
}

TEST_P(PageTemplatesTest, APageOverTheSizeLimitIsAnsweredWithTheErrorPage)
{
    const std::string tooLarge = "The page you asked for is too large to be shown.";
    const std::string big(kMaxPageBytes + 1, 'x');
    const std::string third(kMaxPageBytes / 3 + 1, 'y');
    for (const char* theme : {"Globe", "Other"}) {
        WriteFile(m_fixture.TemplateDir() + "/" + theme + "/Huge.html", big + "<$STATUSMESG$>");
        // Three languages in the fixture: the list alone passes the limit.
        WriteFile(m_fixture.TemplateDir() + "/" + theme + "/Grows.html",
                  "<$FOREACH LANGUAGE$>" + third + "<$ENDEACH LANGUAGE$>");
        WriteFile(m_fixture.TemplateDir() + "/" + theme + "/Fits.html", third + "<$STATUSMESG$>");
    }

    struct Case {
        const char* Theme;
        const char* Page;
        std::string Want;
    };

    const Case cases[] = {
            {"Globe", "Huge", "<HTML>" + tooLarge + "</HTML>"}, // no Error template in this theme
            {"Other", "Huge", "Error page: " + tooLarge + "\r\n"},
            {"Other", "Grows", "Error page: " + tooLarge + "\r\n"},
            {"Other", "Fits", third},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.Theme) + "/" + c.Page);
        test::ScopedLogLevel level(1);
        FakePage page(*m_cache);
        page.ThemeName = c.Theme;
        RenderPage(page, c.Page);
        EXPECT_EQ(page.Out, c.Want);
        const bool refused = c.Want != third;
        const std::string logged = std::string("The page ") + c.Page + " passed " + std::to_string(kMaxPageBytes) +
                                   " bytes; the error page is sent instead.";
        EXPECT_EQ(page.Logged.Count(logged), refused ? 1 : 0);
    }
}

TEST_P(PageTemplatesTest, LogsAMissingTemplateAtLevelThree)
{
    FakePage page(*m_cache);
    {
        test::ScopedLogLevel level(4);
        EXPECT_FALSE(LoadPageTemplate(page, "Nope"));
        EXPECT_TRUE(page.Logged.Lines.empty());
    }
    test::ScopedLogLevel level(3);
    EXPECT_FALSE(LoadPageTemplate(page, "Nope"));
    EXPECT_EQ(page.Logged.Lines.size(), 1u);
    EXPECT_TRUE(LoadPageTemplate(page, "List"));
}

INSTANTIATE_TEST_SUITE_P(CachedAndUncached, PageTemplatesTest, ::testing::Bool());

class PageChoiceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_session.Source = {"d.com", m_fixture.Path("User.ini")};
        fs::create_directories(m_fixture.TemplateDir() + "/Alpha"); // sorts first but has no Logon.html
    }

    void Configure(const std::string& domains, const std::string& userIni, bool useCookies)
    {
        m_fixture.WriteDomains(domains);
        WriteFile(m_fixture.Path("User.ini"), userIni);
        m_fixture.WriteIni(useCookies ? "" : "[Special]\r\nUseCookies=No\r\n");
    }

    TemplateFixture m_fixture;
    std::unique_ptr<TemplateCache> m_cache = m_fixture.MakeCache(true);
    FakeSession m_session;
};

struct ChoiceCase {
    const char* Name;
    std::string Domains;
    const char* Field;  // the request field, or null
    const char* Cookie; // the cookie, or null
    std::string UserIni;
    bool WithSession;
    bool UseCookies;
    const char* Want;
};

TEST_F(PageChoiceTest, ThemeIsTheFirstValidOfTheChain)
{
    const std::string overrides = "[d.com:UserOverrides]\r\nTheme=Other\r\n[Default:UserOverrides]\r\nTheme=Globe\r\n";
    const ChoiceCase cases[] = {
            {"domain overrides", overrides, "Globe", "Globe", "", true, true, "Other"},
            {"default overrides",
             "[d.com:UserOverrides]\r\nTheme=NoLogon\r\n[Default:UserOverrides]\r\nTheme=Other\r\n", "Globe", nullptr,
             "", false, true, "Other"},
            {"field, any case", "[Default:UserDefaults]\r\nTheme=Globe\r\n", "oTHER", "Globe", "", false, true,
             "Other"},
            {"unsafe field", "", "../Templates/Other", nullptr, "[User]\r\nTheme=Other\r\n", true, true, "Other"},
            {"user before cookie", "", nullptr, "Globe", "[User]\r\nTheme=Other\r\n", true, true, "Other"},
            {"cookie", "[Default:UserDefaults]\r\nTheme=Globe\r\n", nullptr, "Other", "", false, true, "Other"},
            {"cookie unused", "[Default:UserDefaults]\r\nTheme=Globe\r\n", nullptr, "Other", "", false, false, "Globe"},
            {"domain defaults", "[d.com:UserDefaults]\r\nTheme=Other\r\n[Default:UserDefaults]\r\nTheme=Globe\r\n",
             nullptr, ".hidden", "", false, true, "Other"},
            {"first directory", "[Default:UserDefaults]\r\nTheme=" + std::string(32, 'G') + "\r\n", "NoLogon", nullptr,
             "", false, true, "Globe"},
    };
    for (const ChoiceCase& c : cases) {
        SCOPED_TRACE(c.Name);
        Configure(c.Domains, c.UserIni, c.UseCookies);
        FakePage page(*m_cache, {c.Cookie != nullptr ? std::string("HTTP_COOKIE=Theme=") + c.Cookie : "X=1"});
        if (c.Field != nullptr) {
            page.Field("Theme", c.Field);
        }
        page.SessionObject = c.WithSession ? &m_session : nullptr;
        page.ThemeName = "unset";
        ResolveTheme(page);
        EXPECT_EQ(page.ThemeName, c.Want);
    }
}

TEST_F(PageChoiceTest, ThemeIsStoredForTheUserAndEmptyWhenNoneIsValid)
{
    Configure("[Default:UserDefaults]\r\nTheme=Globe\r\n", "[User]\r\n", true);
    FakePage page(*m_cache);
    page.SessionObject = &m_session;
    page.Field("Theme", "other");
    ResolveTheme(page);
    EXPECT_EQ(platform::IniRead(m_fixture.Path("User.ini"), "User", "Theme"), "Other");

    fs::remove(m_fixture.TemplateDir() + "/Globe/Logon.html");
    fs::remove(m_fixture.TemplateDir() + "/Other/Logon.html");
    FakePage none(*m_cache);
    none.SessionObject = &m_session;
    ResolveTheme(none);
    EXPECT_EQ(none.ThemeName, "");
    EXPECT_EQ(platform::IniRead(m_fixture.Path("User.ini"), "User", "Theme"), "Other"); // nothing stored
}

TEST_F(PageChoiceTest, LanguageIsTheFirstCodeGivenWithOrWithoutASection)
{
    const ChoiceCase cases[] = {
            {"domain overrides", "[d.com:UserOverrides]\r\nLang=fr\r\n", "de", nullptr, "", false, true, "fr"},
            {"default overrides", "[Default:UserOverrides]\r\nLang=FR\r\n", "de", nullptr, "", false, true, "fr"},
            {"field", "[Default:UserDefaults]\r\nLang=fr\r\n", "de", "fr", "", false, true, "de"},
            {"field with a country", "", "de-CH", nullptr, "", false, true, "de"},
            {"three letters without their section", "", "deu", nullptr, "", false, true, "de"},
            {"field without a section", "[Default:UserDefaults]\r\nLang=fr\r\n", "xx", nullptr, "", false, true, "xx"},
            {"default overrides without a section", "[Default:UserOverrides]\r\nLang=zz\r\n", "de", nullptr,
             "[User]\r\nLang=fr\r\n", true, true, "zz"},
            {"stored code without a section", "[Default:UserDefaults]\r\nLang=fr\r\n", nullptr, "de",
             "[User]\r\nLang=xx\r\n", true, true, "xx"},
            {"header in the field", "", "\r\nSet-Cookie: a=b", nullptr, "", false, true, "en"},
            {"user before cookie", "", nullptr, "de", "[User]\r\nLang=fr\r\n", true, true, "fr"},
            {"cookie", "[Default:UserDefaults]\r\nLang=fr\r\n", nullptr, "de", "", false, true, "de"},
            {"cookie unused", "[Default:UserDefaults]\r\nLang=fr\r\n", nullptr, "de", "", false, false, "fr"},
            {"domain defaults", "[d.com:UserDefaults]\r\nLang=de\r\n[Default:UserDefaults]\r\nLang=fr\r\n", nullptr,
             nullptr, "", false, true, "de"},
            {"nothing", "", "e", "x1", "", false, true, "en"},
    };
    for (const ChoiceCase& c : cases) {
        SCOPED_TRACE(c.Name);
        Configure(c.Domains, c.UserIni, c.UseCookies);
        FakePage page(*m_cache, {c.Cookie != nullptr ? std::string("HTTP_COOKIE=Lang=") + c.Cookie : "X=1"});
        if (c.Field != nullptr) {
            page.Field("Lang", c.Field);
        }
        page.SessionObject = c.WithSession ? &m_session : nullptr;
        page.Lang = "unset";
        ResolveLanguage(page);
        EXPECT_EQ(page.Lang, c.Want);
    }

    Configure("[Default:UserDefaults]\r\nLang=en\r\n", "[User]\r\n", true);
    FakePage page(*m_cache);
    page.SessionObject = &m_session;
    page.Field("Lang", "DE");
    ResolveLanguage(page);
    EXPECT_EQ(platform::IniRead(m_fixture.Path("User.ini"), "User", "Lang"), "de");

    // A stored code without a section stays stored; its pages show the English texts.
    Configure("[Default:UserDefaults]\r\nLang=de\r\n", "[User]\r\nLang=xx\r\n", true);
    FakePage unknown(*m_cache);
    unknown.SessionObject = &m_session;
    ResolveLanguage(unknown);
    EXPECT_EQ(unknown.Lang, "xx");
    EXPECT_EQ(platform::IniRead(m_fixture.Path("User.ini"), "User", "Lang"), "xx");
    EXPECT_STREQ(LanguageText(unknown, 1), "English");
}

TEST_F(PageChoiceTest, StyleNeedsItsStyleSheet)
{
    const ChoiceCase cases[] = {
            {"overrides", "[Default:UserOverrides]\r\nStyle=Normal\r\n", nullptr, nullptr, "[User]\r\nStyle=Large\r\n",
             true, true, "Normal"},
            {"user, spelled as the file", "[Default:UserDefaults]\r\nStyle=Normal\r\n", nullptr, nullptr,
             "[User]\r\nStyle=large\r\n", true, true, "Large"},
            {"user ignored without a session", "[Default:UserDefaults]\r\nStyle=Normal\r\n", nullptr, nullptr,
             "[User]\r\nStyle=Large\r\n", false, true, "Normal"},
            {"first style sheet", "[Default:UserDefaults]\r\nStyle=../Globe/Normal\r\n", nullptr, nullptr, "", false,
             true, "Large"},
    };
    for (const ChoiceCase& c : cases) {
        SCOPED_TRACE(c.Name);
        Configure(c.Domains, c.UserIni, c.UseCookies);
        FakePage page(*m_cache);
        page.SessionObject = c.WithSession ? &m_session : nullptr;
        EXPECT_EQ(ResolveStyle(page), c.Want);
    }
    EXPECT_EQ(platform::IniRead(m_fixture.Path("User.ini"), "User", "Style"), std::nullopt);

    Configure("[Default:UserDefaults]\r\nStyle=Normal\r\n", "[User]\r\nStyle=large\r\n", true);
    FakePage page(*m_cache);
    page.SessionObject = &m_session;
    EXPECT_EQ(ResolveStyle(page), "Large");
    EXPECT_EQ(platform::IniRead(m_fixture.Path("User.ini"), "User", "Style"), "Large");
    page.ThemeName = "Other"; // no style sheets for this theme
    EXPECT_EQ(ResolveStyle(page), "");
    page.ThemeName = "";
    EXPECT_EQ(ResolveStyle(page), "");
}

// A name spelled as its directory or file is taken at once only when the marker page or the style sheet is there;
// otherwise the look-up by any case decides, as for any other spelling.
TEST_F(PageChoiceTest, AnExactSpellingNeedsItsMarkerPageOrStyleSheetToo)
{
    const std::string templates = m_fixture.TemplateDir();
    fs::create_directories(templates + "/Lower");
    WriteFile(templates + "/Lower/logon.html", "<HTML></HTML>"); // the marker page in another case
    const std::string html = m_fixture.Path("HTML/Globe");
    fs::create_directories(html + "/Folder.css"); // a directory is no style sheet

    struct ExactCase {
        const char* Theme;
        const char* WantTheme;
        const char* Style;
        const char* WantStyle;
    };

    const ExactCase cases[] = {
            {"Other", "Other", "Large", "Large"},
            {"Lower", "Lower", "Normal", "Normal"},
            {"Alpha", "Globe", "Folder", "Large"}, // no Logon.html; the first theme and style sheet instead
    };
    for (const ExactCase& c : cases) {
        SCOPED_TRACE(c.Theme);
        Configure(std::string("[Default:UserDefaults]\r\nTheme=") + c.Theme + "\r\nStyle=" + c.Style + "\r\n", "",
                  true);
        FakePage page(*m_cache);
        ResolveTheme(page);
        EXPECT_EQ(page.ThemeName, c.WantTheme);
        page.ThemeName = "Globe";
        EXPECT_EQ(ResolveStyle(page), c.WantStyle);
    }
}

} // namespace
} // namespace qm::engine
