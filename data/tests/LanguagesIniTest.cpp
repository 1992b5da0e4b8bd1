// Languages.ini as shipped: it reads the same through the INI layer as through the engine's own reader, it is
// sorted and complete so that the start-up check has nothing to rewrite, every message the engine shows is there in
// every language with the conversions the engine fills in, and its lines fit the readers.
#include "data/tests/DataFiles.h"
#include "platform/IniFile.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace qm::test {
namespace {

// The messages the engine shows, by number, with the printf conversions it fills in, in order.
struct EngineMessage {
    int Number;
    const char* Conversions;
};

constexpr EngineMessage kEngineMessages[] = {
        {1, ""},    {2, ""},    {3, ""},     {4, ""},     {5, ""},    {6, ""},    {7, ""},     {8, ""},   {9, ""},
        {10, ""},   {11, ""},   {12, ""},    {13, ""},    {14, ""},   {15, ""},   {16, ""},    {17, ""},  {18, ""},
        {19, ""},   {21, "s"},  {22, "dds"}, {23, "dds"}, {24, "dd"}, {25, "dd"}, {28, "dds"}, {29, ""},  {30, ""},
        {31, ""},   {32, ""},   {33, ""},    {34, ""},    {35, ""},   {36, ""},   {37, ""},    {39, ""},  {41, ""},
        {42, ""},   {43, ""},   {44, ""},    {46, ""},    {47, ""},   {48, ""},   {49, ""},    {51, ""},  {52, ""},
        {53, "s"},  {54, "s"},  {55, "s"},   {56, ""},    {64, ""},   {66, ""},   {67, ""},    {68, ""},  {69, ""},
        {70, ""},   {71, ""},   {72, ""},    {73, ""},    {74, ""},   {75, ""},   {76, ""},    {77, "s"}, {78, "s"},
        {79, "ss"}, {80, "ss"}, {81, "s"},   {82, ""},    {83, "s"},  {85, "s"},  {86, ""},    {87, "s"}, {88, "s"},
        {89, "s"},  {90, ""},   {91, ""},    {92, ""},    {93, "s"},  {94, ""},   {95, "s"},   {96, ""},  {97, ""},
        {98, "s"},  {99, ""},   {420, "s"},
};

// The longest line that the readers of the file take whole.
constexpr std::size_t kMaxLineBytes = 255;

// The conversion letters of a printf format, in order ("%%" is no conversion).
std::string Conversions(std::string_view text)
{
    std::string letters;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            continue;
        }
        ++i;
        while (i < text.size() && std::string_view("-+ #0123456789.hlLqjzt").find(text[i]) != std::string_view::npos) {
            ++i;
        }
        if (i < text.size() && text[i] != '%') {
            letters.push_back(text[i]);
        }
    }
    return letters;
}

class LanguagesIniTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_text = ReadWholeFile(DataDir() / "Languages.ini");
        ASSERT_FALSE(m_text.empty()) << "cannot read " << DataDir() / "Languages.ini";
        m_sections = ParseLanguages(m_text);
        m_english = FindSection(m_sections, "en");
        ASSERT_NE(m_english, nullptr) << "no [en] section";
    }

    std::string m_text;
    std::vector<LanguageSection> m_sections;
    const LanguageSection* m_english = nullptr;
};

TEST_F(LanguagesIniTest, ReadsTheSameThroughTheIniLayer)
{
    const platform::IniDocument ini = platform::IniDocument::Parse(m_text);
    std::vector<std::string> codes;
    for (const LanguageSection& section : m_sections) {
        codes.push_back(section.Code);
    }
    EXPECT_EQ(ini.SectionNames(), codes);
    EXPECT_EQ(codes, (std::vector<std::string>{"en", "de"})) << "want English first, then German";
    for (const LanguageSection& section : m_sections) {
        for (const LanguageLine& line : section.Lines) {
            SCOPED_TRACE("[" + section.Code + "] line " + std::to_string(line.LineNumber));
            const std::optional<std::string> value = ini.Get(section.Code, line.Key);
            ASSERT_TRUE(value.has_value()) << "the INI layer does not see key " << line.Key;
            EXPECT_EQ(*value, line.Text) << "blanks or quotes around the text read differently";
        }
    }
}

// Numbers in ascending order and the same set in every section: the start-up check then leaves the file alone.
TEST_F(LanguagesIniTest, SectionsAreSortedAndComplete)
{
    std::vector<std::string> englishKeys;
    for (const LanguageLine& line : m_english->Lines) {
        englishKeys.push_back(line.Key);
    }
    for (const LanguageSection& section : m_sections) {
        SCOPED_TRACE("[" + section.Code + "]");
        int previous = 0;
        std::vector<std::string> keys;
        for (const LanguageLine& line : section.Lines) {
            const int number = KeyNumber(line.Key);
            EXPECT_GT(number, 0) << "key \"" << line.Key << "\" is not a number of three digits";
            EXPECT_GT(number, previous) << "key " << line.Key << " is out of order or repeated";
            EXPECT_FALSE(line.Text.empty()) << "key " << line.Key << " has no text";
            previous = number;
            keys.push_back(line.Key);
        }
        EXPECT_EQ(keys, englishKeys) << "want every language to have exactly the English numbers";
    }
}

TEST_F(LanguagesIniTest, EveryEngineMessageIsThereWithItsConversions)
{
    std::set<int> engineNumbers;
    for (const EngineMessage& message : kEngineMessages) {
        engineNumbers.insert(message.Number);
        for (const LanguageSection& section : m_sections) {
            SCOPED_TRACE("[" + section.Code + "] message " + std::to_string(message.Number));
            char key[8];
            (void)std::snprintf(key, sizeof key, "%03d", message.Number);
            const LanguageLine* line = FindKey(section, key);
            ASSERT_NE(line, nullptr) << "missing";
            EXPECT_EQ(Conversions(line->Text), message.Conversions)
                    << "got \"" << line->Text << "\", want the conversions \"" << message.Conversions << "\"";
        }
    }
    for (const LanguageLine& line : m_english->Lines) {
        const int number = KeyNumber(line.Key);
        if (number > 0 && number < 100) {
            EXPECT_TRUE(engineNumbers.contains(number)) << "message " << line.Key << " is not one the engine shows";
        }
    }
}

TEST_F(LanguagesIniTest, EnglishTextsAreUnique)
{
    // A template text is found by its English wording; two lines with one wording would make the number ambiguous.
    std::set<std::string> seen;
    for (const LanguageLine& line : m_english->Lines) {
        std::string folded;
        for (char c : line.Text) {
            folded.push_back((c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c);
        }
        EXPECT_TRUE(seen.insert(folded).second) << "[en] " << line.Key << "=" << line.Text << " repeats a text";
    }
}

TEST_F(LanguagesIniTest, LanguageNamesAndCharacterSets)
{
    std::set<std::string> names;
    for (const LanguageSection& section : m_sections) {
        SCOPED_TRACE("[" + section.Code + "]");
        EXPECT_EQ(section.Code.size(), 2U) << "a language code has two letters";
        const LanguageLine* name = FindKey(section, "001");
        ASSERT_NE(name, nullptr);
        EXPECT_TRUE(names.insert(name->Text).second) << "two languages are both called " << name->Text;
        // The pages and the mail carry the texts as UTF-8, so every language names that character set.
        const LanguageLine* charset = FindKey(section, "064");
        ASSERT_NE(charset, nullptr);
        EXPECT_EQ(charset->Text, "UTF-8");
    }
}

TEST_F(LanguagesIniTest, LinesFitTheReadersAndAreUtf8)
{
    EXPECT_TRUE(IsValidUtf8(m_text));
    int number = 0;
    for (const std::string& line : SplitLines(m_text)) {
        ++number;
        EXPECT_LE(line.size(), kMaxLineBytes) << "line " << number << " is too long for the readers";
    }
}

TEST(TextCheckTest, TellsValidUtf8AndFormatConversions)
{
    struct Case {
        std::string_view Text;
        bool Valid;
    };

    const Case cases[] = {
            {"plain", true},
            {"Gr\xC3\xB6\xC3\x9F"
             "e",
             true},
            {"\xE2\x80\x9E"
             "x"
             "\xE2\x80\x9C",
             true},
            {"\xC3", false},
            {"\xC3(", false},
            {"\xE2\x80", false},
            {"\xC0\xAF", false},
            {"\xFF", false},
            {"a\x80"
             "b",
             false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.Text));
        EXPECT_EQ(IsValidUtf8(c.Text), c.Valid);
    }
    EXPECT_EQ(Conversions("Fetching %d of %d from %s (100%%)"), "dds");
    EXPECT_EQ(Conversions("%-5.2ld and %03u"), "du");
}

} // namespace
} // namespace qm::test
