#include "engine/TemplateCache.h"

#include "engine/tests/PageTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace qm::engine {
namespace {

using test::RecordingLog;
using test::TemplateFixture;
using test::WriteFile;
namespace fs = std::filesystem;

TEST(TemplateCacheTest, MessagesComeFromTheLanguageThenFromEnglish)
{
    TemplateFixture fixture;
    WriteFile(fixture.TemplateDir() + "/Languages.ini", "[en]\r\n001=English\r\n5=Trash\r\n007=files\r\n"
                                                        "420=later\r\n999=last\r\n"
                                                        "[DE]\r\n001=Deutsch\r\n007=Dateien\r\n007=second\r\n"
                                                        "420=danach\r\n"
                                                        "[deu]\r\n001=Deutsch (3)\r\n");
    const auto cache = fixture.MakeCache(true);

    struct Case {
        const char* Language;
        int Number;
        const char* Want;
    };

    const Case cases[] = {
            {"de", 7, "Dateien"},          // the first line of a number wins
            {"de", 5, "Trash"},            // "5" is number 5, and de lacks it: the English text
            {"de", 9, ""},                 // neither has it
            {"de", 0, ""},                 // out of range
            {"de", 420, "danach"},         // a message added after the first 99
            {"de", 999, "last"},           // the highest number of three digits
            {"de", 1000, ""},              // out of range
            {"DE", 1, "Deutsch"},          // codes compare without regard to case
            {"de-CH", 1, "Deutsch"},       // the leading letters
            {"Deutsch", 1, "Deutsch (3)"}, // at most three letters
            {"deu", 7, "files"},           // a language without the number: English
            {"xx", 1, "English"},          // no section: the English set
            {"\r\nSet-Cookie", 1, "English"},
            {"", 1, "English"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.Language) + " " + std::to_string(c.Number));
        EXPECT_STREQ(cache->GetLanguageText(c.Number, c.Language), c.Want);
    }
    EXPECT_STREQ(cache->GetLanguageText(1, nullptr), "English");
}

TEST(TemplateCacheTest, CodesWithoutASectionShareTheEnglishSet)
{
    TemplateFixture fixture;
    RecordingLog log;
    const auto cache = fixture.MakeCache(true, &log);
    for (int i = 0; i < 200; ++i) {
        const std::string code = {static_cast<char>('a' + i % 26), static_cast<char>('a' + i / 26)};
        (void)cache->GetLanguageText(1, code.c_str());
    }
    (void)cache->GetLanguageText(1, "de");
    (void)cache->GetLanguageText(1, "DE");
    // Two sets: "en" for every code without a section, and "de".
    EXPECT_EQ(log.Lines,
              (std::vector<std::string>{"Loading templates for language en", "Loading templates for language de"}));
    EXPECT_TRUE(cache->HasLanguage("fr"));
    EXPECT_FALSE(cache->HasLanguage("it"));
    EXPECT_FALSE(cache->HasLanguage("e"));
    EXPECT_EQ(cache->SetCodeFor("it"), "en");
}

TEST(TemplateCacheTest, KeepsEveryThemesTemplatesApartAndFindsThemWhateverTheCase)
{
    TemplateFixture fixture;
    const auto cache = fixture.MakeCache(true);
    const CompiledTemplate* globe = cache->FindTemplate("en", "Globe", "List");
    const CompiledTemplate* other = cache->FindTemplate("en", "Other", "List");
    ASSERT_NE(globe, nullptr);
    ASSERT_NE(other, nullptr);
    EXPECT_NE(globe, other);
    EXPECT_EQ(other->Text(), "Other list\r\n");
    EXPECT_EQ(cache->FindTemplate("en", "gLOBE", "list"), globe);
    EXPECT_NE(cache->FindTemplate("en", "Globe/sub", "Deep"), nullptr);
    EXPECT_EQ(cache->FindTemplate("en", "Globe", "Missing"), nullptr);
    EXPECT_EQ(cache->FindTemplate("en", ".hidden", "Logon"), nullptr);
    // Tag names are upper-cased at load, markers translated.
    EXPECT_EQ(cache->FindTemplate("de", "Globe", "Logon")->Text(), "<html>Anmelden <$STATUSMESG$></html>\r\n");
}

TEST(TemplateCacheTest, CachedAndUncachedLoadingGiveTheSameText)
{
    TemplateFixture fixture;
    const auto cached = fixture.MakeCache(true);
    const auto uncached = fixture.MakeCache(false);
    for (const char* language : {"en", "de", "fr", "xx"}) {
        for (const char* page : {"Logon", "List", "sub/Deep"}) {
            SCOPED_TRACE(std::string(language) + " " + page);
            const std::string_view theme = std::string_view(page) == "sub/Deep" ? "Globe/sub" : "Globe";
            const std::string_view name = std::string_view(page) == "sub/Deep" ? "Deep" : page;
            const CompiledTemplate* fromCache = cached->FindTemplate(language, theme, name);
            std::string path;
            const auto fromDisk = uncached->LoadUncached(language, theme, name, path);
            ASSERT_NE(fromCache, nullptr);
            ASSERT_NE(fromDisk, nullptr);
            std::string want = fromCache->Text();
            if (std::string_view(language) == "en" || std::string_view(language) == "xx") {
                // The one difference: with the English set the cache takes the spelling of Languages.ini for a
                // marked text that differs from it only in letter case.
                const std::size_t at = want.find("Welcome");
                if (at != std::string::npos) {
                    want.replace(at, 7, "welcome");
                }
            }
            EXPECT_EQ(fromDisk->Text(), want);
        }
    }
    EXPECT_EQ(cached->FindTemplate("de", "Globe", "List")->Text(),
              "<$IF CGI:X$>\r\nX\r\n<$ELSE$>\r\nPosteingang\r\n<$ENDIF$>\r\nWillkommen <$LANG$> "
              "<$FOREACH THEME$>[<$NAME$>]<$ENDEACH THEME$>\r\n");
}

TEST(TemplateCacheTest, ReadsTemplatesWhenTheSetLoadsOnlyWhenCaching)
{
    TemplateFixture fixture;
    const auto cached = fixture.MakeCache(true);
    const auto uncached = fixture.MakeCache(false);
    EXPECT_FALSE(uncached->Caching());
    (void)cached->GetLanguageText(1, "en");
    (void)uncached->GetLanguageText(1, "en");

    // After the sets are made the files change: the cache keeps what it read, the uncached loader reads them now.
    fs::remove(fixture.TemplateDir() + "/Other/List.html");
    WriteFile(fixture.TemplateDir() + "/Other/Logon.html", "changed");
    ASSERT_NE(cached->FindTemplate("en", "Other", "List"), nullptr);
    EXPECT_EQ(cached->FindTemplate("en", "Other", "Logon")->Text(), "<html>Other logon</html>\r\n");
    EXPECT_EQ(uncached->FindTemplate("en", "Other", "Logon"), nullptr);

    std::string path;
    EXPECT_EQ(uncached->LoadUncached("en", "Other", "List", path), nullptr);
    EXPECT_EQ(path, fixture.TemplateDir() + "/Other/List.html");
    const auto logon = uncached->LoadUncached("en", "other", "LOGON", path);
    ASSERT_NE(logon, nullptr);
    EXPECT_EQ(logon->Text(), "changed");
    EXPECT_EQ(path, fixture.TemplateDir() + "/Other/Logon.html");
}

TEST(TemplateCacheTest, AMissingLanguagesIniGivesEmptyMessagesAndUntranslatedTemplates)
{
    TemplateFixture fixture;
    fs::remove(fixture.TemplateDir() + "/Languages.ini");
    const auto cache = fixture.MakeCache(true);
    EXPECT_STREQ(cache->GetLanguageText(56, "de"), "");
    EXPECT_FALSE(cache->HasLanguage("de"));
    EXPECT_EQ(cache->FindTemplate("de", "Globe", "Logon")->Text(), "<html>Sign in <$STATUSMESG$></html>\r\n");
}

} // namespace
} // namespace qm::engine
