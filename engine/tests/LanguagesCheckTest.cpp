#include "engine/LanguagesCheck.h"

#include "engine/LanguagesFile.h"
#include "engine/tests/PageTestSupport.h"

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <string>

namespace qm::engine {
namespace {

using test::ReadFile;
using test::RecordingLog;
using test::WriteFile;
namespace fs = std::filesystem;

TEST(LanguagesFileTest, FormatsOnlyTheConversionsItHasArgumentsFor)
{
    struct Case {
        const char* Format = "";
        std::initializer_list<std::string_view> Args;
        const char* Want = "";
    };

    const Case cases[] = {
            {"Page %d of %d", {"3", "7"}, "Page 3 of 7"},
            {"%d messages from %s", {"2", "pop.example"}, "2 messages from pop.example"},
            {"Checking %s %s %s", {"box"}, "Checking box %s %s"}, // extra conversions stay as they are
            {"%n%p%x%f %s", {"a"}, "%n%p%x%f a"},                 // never a conversion that reads anything
            {"%-5d|%ld|%.3s|%03u|%zu", {"1", "2", "3", "4", "5"}, "1|2|3|4|5"},
            {"100%% done", {}, "100% done"},
            {"ends with %", {"a"}, "ends with %"},
            {"%s", {"%d %s"}, "%d %s"}, // an argument is never a format
            {"no conversions", {"unused"}, "no conversions"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Format);
        EXPECT_EQ(FormatLanguageMessage(c.Format, c.Args), c.Want);
    }
}

TEST(LanguagesFileTest, ReadsNumbersSectionsAndLinesOfAnyLength)
{
    EXPECT_EQ(ParseMessageNumber("005"), 5);
    EXPECT_EQ(ParseMessageNumber(" 7x"), 7);
    EXPECT_EQ(ParseMessageNumber("abc"), 0);
    EXPECT_EQ(ParseMessageNumber("-3"), -3);
    EXPECT_EQ(ParseMessageNumber("99999999999999"), INT_MAX);

    EXPECT_EQ(ClassifyLanguageLine("[english]").Code, "eng");
    EXPECT_EQ(ClassifyLanguageLine("[de]x").Code, "de");
    EXPECT_EQ(ClassifyLanguageLine("; 001=comment").Kind, LanguageLineKind::Comment);
    EXPECT_EQ(ClassifyLanguageLine("").Kind, LanguageLineKind::Comment);
    EXPECT_EQ(ClassifyLanguageLine("no equals sign").Kind, LanguageLineKind::Other);
    const LanguageLine entry = ClassifyLanguageLine("017=a=b");
    EXPECT_EQ(entry.Number, 17);
    EXPECT_EQ(entry.Text, "a=b");

    const std::string longText(9000, 'x');
    std::vector<std::string> lines;
    ForEachLine("a\r\n" + longText + "\nlast", [&](std::string_view line) { lines.emplace_back(line); });
    EXPECT_EQ(lines, (std::vector<std::string>{"a", longText, "last"}));
}

TEST(LanguagesFileTest, TranslatesMarkersByTheirEnglishNumber)
{
    const LanguageLists de = ReadLanguageLists("[en]\r\n2=Inbox\r\n100=Welcome\r\n[DE]\r\n002=Posteingang\r\n", "de");
    const EnglishIndex english(de.English);

    struct Case {
        const char* Text;
        const NumberedTexts* Language;
        const char* Want;
    };

    const Case cases[] = {
            {"a [$Inbox$] b", &de.Language, "a Posteingang b"},
            {"[$INBOX$]", &de.Language, "Posteingang"},                   // the English text matches whatever its case
            {"[$Welcome$]", &de.Language, "Welcome"},                     // no translation: the text itself
            {"[$Unknown$]", &de.Language, "Unknown"},                     // not an English text
            {"[$Inbox$]", nullptr, "Inbox"},                              // markers only removed
            {"x [$Inbox$] [$open", &de.Language, "x Posteingang [$open"}, // an open marker ends the translation
            {"[$$]", &de.Language, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Text);
        EXPECT_EQ(TranslateMarkers(c.Text, english, c.Language), c.Want);
    }

    std::string tags = "<$cgi:x$> <$if a$>b<$c";
    UpperCaseTags(tags);
    EXPECT_EQ(tags, "<$CGI:X$> <$IF A$>b<$c");
}

// A template directory of its own for each check.
class LanguagesCheckTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "qmlang.XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_dir = pattern;
        fs::create_directories(m_dir / "Globe");
    }

    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(m_dir, ignored);
    }

    std::string Dir() const { return m_dir.string(); }

    void WriteIni(const std::string& text) const { WriteFile(m_dir / "Languages.ini", text); }

    std::string Ini() const { return ReadFile(m_dir / "Languages.ini"); }

    void WriteTemplate(const std::string& name, const std::string& text) const
    {
        fs::create_directories((m_dir / name).parent_path());
        WriteFile(m_dir / name, text);
    }

    LanguagesCheckResult Check(bool englishTranslation = false)
    {
        return CheckLanguagesIni(Dir(), englishTranslation, m_log);
    }

    fs::path m_dir;
    RecordingLog m_log;
};

constexpr const char* kOrdered = "[en]\r\n001=English\r\n002=Inbox\r\n100=Welcome\r\n\r\n"
                                 "[de]\r\n001=Deutsch\r\n002=Posteingang\r\n100=Willkommen\r\n\r\n";

TEST_F(LanguagesCheckTest, LeavesAnOrderedCompleteFileAloneUnlessEnglishFillInsAreAsked)
{
    WriteIni(kOrdered);
    WriteTemplate("Globe/Logon.html", "[$welcome$] [$INBOX$]\r\n"); // only the letter case differs

    const LanguagesCheckResult result = Check();
    EXPECT_FALSE(result.Rewritten);
    EXPECT_EQ(result.AddedTexts, 0);
    EXPECT_EQ(Ini(), kOrdered);
    EXPECT_FALSE(fs::exists(m_dir / "Languages.bak"));
    EXPECT_FALSE(fs::exists(m_dir / "Languages.new"));
    EXPECT_EQ(m_log.Lines, (std::vector<std::string>{"Verifying Languages.ini..."}));

    ASSERT_TRUE(Check(true).Rewritten);
    EXPECT_EQ(Ini(), kOrdered);
    EXPECT_EQ(ReadFile(m_dir / "Languages.bak"), kOrdered);
    EXPECT_EQ(m_log.Count("Updating Languages.ini..."), 1);
    EXPECT_EQ(m_log.Count("Languages.ini finished updating."), 1);
}

TEST_F(LanguagesCheckTest, NumbersNewTemplateTextsAboveTheEngineMessages)
{
    // English ends at 76: a new text must not become the engine's message 77.
    WriteIni("[en]\r\n001=English\r\n076=Last message\r\n[de]\r\n001=Deutsch\r\n");
    WriteTemplate("Globe/List.html", "<p>[$Reply$] and [$Forward$]</p>\r\n<p>[$Reply$]</p>\r\n");
    WriteTemplate("Globe/sub/Deep.html", "[$Deep text$]");
    WriteTemplate("Globe/Not a template.txt", "[$Ignored$]");

    const LanguagesCheckResult result = Check();
    EXPECT_TRUE(result.Rewritten);
    EXPECT_EQ(result.AddedTexts, 3);
    EXPECT_EQ(Ini(), "[en]\r\n001=English\r\n076=Last message\r\n100=Reply\r\n101=Forward\r\n102=Deep text\r\n\r\n"
                     "[de]\r\n001=Deutsch\r\n\r\n");
    EXPECT_EQ(ReadFile(m_dir / "Languages.bak"), "[en]\r\n001=English\r\n076=Last message\r\n[de]\r\n001=Deutsch\r\n");
    EXPECT_EQ(m_log.Count("\"076=Last message\" needs translation to de"), 1);
    EXPECT_EQ(m_log.Count("\"100=Reply\" needs translation to de"), 1);

    // Above the engine's range numbering goes on from the highest English number.
    WriteTemplate("Globe/Logon.html", "[$Sign in$]");
    (void)Check();
    EXPECT_NE(Ini().find("102=Deep text\r\n103=Sign in\r\n"), std::string::npos) << Ini();
}

TEST_F(LanguagesCheckTest, StartsNumberingAt100WhenThereIsNoEnglishSection)
{
    WriteIni("[de]\r\n001=Deutsch\r\n");
    WriteTemplate("Globe/Logon.html", "[$Sign in$]");
    ASSERT_TRUE(Check().Rewritten);
    // "en" comes last when the file had no English line.
    EXPECT_EQ(Ini(), "[de]\r\n\r\n[en]\r\n100=Sign in\r\n\r\n");
}

TEST_F(LanguagesCheckTest, RewritesAnOutOfOrderSectionSortedAndDropsNumbersWithoutEnglish)
{
    WriteIni("; a comment that a rewrite drops\r\n[en]\r\n002=Inbox\r\n001=English\r\n"
             "[de]\r\n017=no English 17\r\n001=Deutsch\r\n");
    const LanguagesCheckResult result = Check();
    EXPECT_TRUE(result.Rewritten);
    EXPECT_EQ(Ini(), "[en]\r\n001=English\r\n002=Inbox\r\n\r\n[de]\r\n001=Deutsch\r\n\r\n");
    EXPECT_EQ(result.Missing, 1);
}

TEST_F(LanguagesCheckTest, KeepsTheFirstLineOfADuplicateNumber)
{
    const std::string text = "[en]\r\n001=English\r\n002=Inbox\r\n002=Second inbox\r\n";
    WriteIni(text);
    EXPECT_FALSE(Check().Rewritten); // the duplicate alone does not ask for a rewrite
    EXPECT_EQ(Ini(), text);
    ASSERT_TRUE(Check(true).Rewritten);
    EXPECT_EQ(Ini(), "[en]\r\n001=English\r\n002=Inbox\r\n\r\n");
}

TEST_F(LanguagesCheckTest, EnglishFillInsLeaveNothingMissingForTheNextStart)
{
    WriteIni("[en]\r\n001=English\r\n002=Inbox\r\n064=iso-8859-1\r\n[de]\r\n001=Deutsch\r\n");
    const LanguagesCheckResult first = Check(true);
    EXPECT_TRUE(first.Rewritten);
    EXPECT_EQ(first.Missing, 2);
    EXPECT_EQ(m_log.Count("\"064=iso-8859-1\" needs translation to de"), 1);
    EXPECT_EQ(Ini(), "[en]\r\n001=English\r\n002=Inbox\r\n064=iso-8859-1\r\n\r\n"
                     "[de]\r\n001=Deutsch\r\n002=Inbox\r\n064=iso-8859-1\r\n\r\n");

    m_log.Lines.clear();
    EXPECT_EQ(Check().Missing, 0);
    EXPECT_EQ(m_log.Lines, (std::vector<std::string>{"Verifying Languages.ini..."}));
}

TEST_F(LanguagesCheckTest, KeepsLongLinesWholeAndSeesMarkersOnlyWithinOneLine)
{
    const std::string longText(300, 't');
    WriteIni("[en]\r\n001=English\r\n002=" + longText + "\r\n[de]\r\n002=" + longText + "d\r\n");
    const std::string farMarker = std::string(9000, ' ') + "[$Far marker$]";
    WriteTemplate("Globe/Logon.html", "[$Two\r\nlines$]\r\n" + farMarker + "\r\n");
    const LanguagesCheckResult result = Check();
    EXPECT_EQ(result.AddedTexts, 1);
    EXPECT_EQ(Ini(), "[en]\r\n001=English\r\n002=" + longText + "\r\n100=Far marker\r\n\r\n[de]\r\n002=" + longText +
                             "d\r\n\r\n");
}

TEST_F(LanguagesCheckTest, AFailedWriteLeavesLanguagesIniAsItWas)
{
    const std::string text = "[en]\r\n002=Inbox\r\n001=English\r\n";
    WriteIni(text);
    fs::create_directory(m_dir / "Languages.new"); // the new file cannot be written
    const LanguagesCheckResult result = Check();
    EXPECT_FALSE(result.Rewritten);
    EXPECT_EQ(Ini(), text);
    EXPECT_FALSE(fs::exists(m_dir / "Languages.bak"));
    EXPECT_EQ(m_log.Count("Updating Languages.ini..."), 0);
    ASSERT_FALSE(m_log.Lines.empty());
    EXPECT_EQ(m_log.Lines.back().rfind("Could not update Languages.ini: ", 0), 0u) << m_log.Lines.back();
}

TEST_F(LanguagesCheckTest, ReplacesAnOldBackupAndFindsTheFileWhateverItsCase)
{
    WriteFile(m_dir / "languages.INI", "[en]\r\n002=Inbox\r\n001=English\r\n");
    WriteFile(m_dir / "Languages.bak", "an older backup");
    ASSERT_TRUE(Check().Rewritten);
    EXPECT_EQ(ReadFile(m_dir / "languages.INI"), "[en]\r\n001=English\r\n002=Inbox\r\n\r\n");
    EXPECT_EQ(ReadFile(m_dir / "Languages.bak"), "[en]\r\n002=Inbox\r\n001=English\r\n");
    EXPECT_FALSE(fs::exists(m_dir / "Languages.ini"));
}

TEST_F(LanguagesCheckTest, ReadsItsSettingsFromTheEngineIniAndWritesEnglishTranslationBack)
{
    const std::string ini = (m_dir / "Quillmail.ini").string();
    WriteFile(ini, "[Directories]\r\nTemplateDir=" + Dir() + "\r\n");
    SetMainIniPath(ini);
    WriteIni(kOrdered);
    EXPECT_FALSE(CheckLanguagesIni(m_log).Rewritten);
    EXPECT_EQ(ReadIniString("Special", "EnglishTranslation", "missing"), "No");

    ASSERT_TRUE(WriteIniString("Special", "EnglishTranslation", "Yes"));
    EXPECT_TRUE(CheckLanguagesIni(m_log).Rewritten);
    SetMainIniPath("");
}

} // namespace
} // namespace qm::engine
