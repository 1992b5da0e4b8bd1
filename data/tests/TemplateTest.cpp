// The page templates of the Globe theme, compiled by the engine's own template compiler: every tag is closed and
// names something the engine knows (or a name listed as not built yet), IF blocks close in the block they open in,
// pages that are shown without a session use only what works without one, every translated text has its number in
// every language, and every page that a link or the engine names exists.
#include "common/StringUtil.h"
#include "data/tests/DataFiles.h"
#include "engine/CompiledTemplate.h"
#include "engine/TemplateCache.h"
#include "engine/TemplateVocabulary.h"
#include "engine/Views.h"
#include "testsupport/TestInstallation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <memory>
#include <optional>
#include <regex>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qm::test {
namespace {

using engine::CompiledTemplate;
using OpKind = engine::CompiledTemplate::OpKind;

// Pages that the engine may show without a session: everything on them must work without one, except what stands
// in an "IF CGI:SESSION" branch.
constexpr std::string_view kSessionlessPages[] = {"Logon", "Logout", "NewUser", "Error"};

// Views of the engine's table that write their own response and so have no template.
constexpr std::string_view kViewsWithoutTemplate[] = {"Attachment", "StatusCheck"};

// Pages the engine asks for besides its views: the pages shown while mail is fetched, and the help page.
constexpr std::string_view kOtherEnginePages[] = {"List-Redirect", "Message-Redirect", "HELP"};

bool Contains(std::span<const std::string_view> names, std::string_view name)
{
    return std::find(names.begin(), names.end(), name) != names.end();
}

// Checks one compiled template. Problems are collected as text.
class TemplateChecker {
public:
    explicit TemplateChecker(bool sessionless)
        : m_sessionless(sessionless)
    {}

    std::vector<std::string> Check(const CompiledTemplate& compiled)
    {
        m_compiled = &compiled;
        const std::size_t tags = CheckBlock(0);
        // Every "<$" of the text became a tag; the compiler drops a tag that is too long and a FOREACH without
        // its ENDEACH, and leaves an unclosed "<$" as text.
        std::size_t opens = 0;
        for (std::size_t at = compiled.Text().find("<$"); at != std::string::npos;
             at = compiled.Text().find("<$", at + 2)) {
            ++opens;
        }
        if (opens != tags) {
            Problem(std::to_string(opens - tags) + " tag(s) dropped: longer than " +
                    std::to_string(engine::kMaxTagName) + " characters, or a FOREACH without its ENDEACH");
        }
        return m_problems;
    }

private:
    struct Frame {
        bool IsList = false;
        std::string Name;           // list name, or the IF's condition
        bool SawElse = false;       // IF: an ELSE came
        bool SessionBranch = false; // IF CGI:SESSION, before its ELSE or ELSEIF
    };

    // Checks a block (its IF state is its own, as the renderer keeps it); the number of tags it holds.
    std::size_t CheckBlock(std::uint32_t block)
    {
        const std::size_t outer = m_frames.size();
        std::size_t tags = 0;
        for (const CompiledTemplate::Op& op : m_compiled->Ops(block)) {
            tags += op.Kind == OpKind::Text ? 0 : op.Kind == OpKind::Foreach ? 2 : 1;
            switch (op.Kind) {
            case OpKind::Text:
                if (m_compiled->TextOf(op).find("<$") != std::string_view::npos) {
                    Problem("\"<$\" not closed");
                }
                break;
            case OpKind::Value:
                CheckValue(m_compiled->Value(op.A));
                break;
            case OpKind::Foreach:
                tags += CheckList(m_compiled->List(op.A), op.B);
                break;
            case OpKind::If:
                OpenIf(m_compiled->Condition(op.A), outer);
                break;
            case OpKind::ElseIf:
                CheckCondition(m_compiled->Condition(op.A));
                ElseBranch("ELSEIF", outer);
                break;
            case OpKind::Else:
                ElseBranch("ELSE", outer);
                break;
            case OpKind::EndIf:
                if (m_frames.size() == outer) {
                    Problem("ENDIF without its IF");
                } else {
                    m_frames.pop_back();
                }
                break;
            }
        }
        while (m_frames.size() > outer) {
            Problem("IF " + m_frames.back().Name + " has no ENDIF in its block");
            m_frames.pop_back();
        }
        return tags;
    }

    std::size_t CheckList(const CompiledTemplate::ListTag& list, std::uint32_t body)
    {
        const std::string name(list.Name);
        if (list.Entry == nullptr) {
            Unknown("list", name);
        } else if (WithoutSession() && list.Entry->Needs == engine::ListNeeds::Session) {
            Problem("list " + name + " renders nothing without a session");
        }
        m_frames.push_back({true, name, false, false});
        const std::size_t tags = CheckBlock(body);
        m_frames.pop_back();
        return tags;
    }

    void OpenIf(const CompiledTemplate::ConditionTag& condition, std::size_t outer)
    {
        CheckCondition(condition);
        const auto levels = static_cast<int>(m_frames.size() - outer);
        if (levels >= engine::kMaxIfLevels) {
            Problem("IF nested deeper than " + std::to_string(engine::kMaxIfLevels) + " levels");
        }
        m_frames.push_back({false, std::string(condition.Name), false, condition.Name == "CGI:SESSION"});
    }

    void ElseBranch(const char* directive, std::size_t outer)
    {
        if (m_frames.size() == outer) {
            Problem(std::string(directive) + " without its IF");
            return;
        }
        Frame& frame = m_frames.back();
        if (frame.SawElse) {
            Problem(std::string(directive) + " after ELSE");
        }
        frame.SawElse = frame.SawElse || std::string_view(directive) == "ELSE";
        frame.SessionBranch = false;
    }

    void CheckCondition(const CompiledTemplate::ConditionTag& condition)
    {
        const std::string name(condition.Name);
        if (condition.Entry == nullptr) {
            Unknown("condition", name);
        } else if (WithoutSession() && condition.Entry->Name == "USER:") {
            Problem("condition " + name + " is always false without a session");
        }
    }

    void CheckValue(const CompiledTemplate::ValueTag& value)
    {
        const std::string name(value.Name);
        if (value.Placeholder >= 0 && InList()) {
            return;
        }
        if (WithoutSession()) {
            if (value.Sessionless == nullptr) {
                Problem("value " + name + " is not known without a session");
            }
            return;
        }
        if (value.Session != nullptr) {
            return;
        }
        if (value.Placeholder >= 0) {
            Problem("placeholder " + name + " outside a list that replaces it");
            return;
        }
        Unknown("value", name);
    }

    // A name the engine does not have.
    void Unknown(const char* kind, const std::string& name) { Problem(std::string("unknown ") + kind + " " + name); }

    bool InList() const
    {
        return std::any_of(m_frames.begin(), m_frames.end(), [](const Frame& frame) { return frame.IsList; });
    }

    bool WithoutSession() const
    {
        return m_sessionless &&
               std::none_of(m_frames.begin(), m_frames.end(), [](const Frame& frame) { return frame.SessionBranch; });
    }

    void Problem(const std::string& text) { m_problems.push_back(text); }

    bool m_sessionless;
    const CompiledTemplate* m_compiled = nullptr;
    std::vector<Frame> m_frames;
    std::vector<std::string> m_problems;
};

std::vector<std::string> CheckText(const std::string& text, bool sessionless)
{
    const CompiledTemplate compiled(text);
    return TemplateChecker(sessionless).Check(compiled);
}

std::string Joined(const std::vector<std::string>& problems)
{
    std::string text;
    for (const std::string& problem : problems) {
        text += "\n  " + problem;
    }
    return text;
}

// The texts marked "[$" ... "$]" in a template; a marker that is not closed on its line is a problem.
std::vector<std::string> MarkedTexts(std::string_view text, std::vector<std::string>& problems)
{
    std::vector<std::string> texts;
    int lineNumber = 0;
    for (const std::string& line : SplitLines(text)) {
        ++lineNumber;
        std::size_t from = 0;
        while (true) {
            const std::size_t open = line.find("[$", from);
            if (open == std::string::npos) {
                break;
            }
            const std::size_t close = line.find("$]", open + 2);
            if (close == std::string::npos) {
                problems.push_back("line " + std::to_string(lineNumber) + ": \"[$\" not closed on its line");
                break;
            }
            texts.push_back(line.substr(open + 2, close - open - 2));
            from = close + 2;
        }
    }
    return texts;
}

// The checker itself finds the faults it is there for, so that a clean result on the real pages means something.
TEST(TemplateTest, CheckerReportsBrokenTemplates)
{
    struct Case {
        const char* Text; // as the loader hands it to the compiler: tag names upper-cased
        bool Sessionless;
        const char* Problem; // a part of the expected problem; null: none expected
    };

    const Case cases[] = {
            {"<$IF QMPRO$>a<$ELSE$>b<$ENDIF$>\n", false, nullptr},
            {"<$IF QMPRO$>a\n", false, "IF QMPRO has no ENDIF"},
            {"a<$ENDIF$>\n", false, "ENDIF without its IF"},
            {"<$ELSE$>\n", false, "ELSE without its IF"},
            {"<$IF QMPRO$><$ELSE$><$ELSEIF QMPRO$><$ENDIF$>\n", false, "ELSEIF after ELSE"},
            {"<$FOREACH FOLDER$>\n<$FOLDERNAME$>\n", false, "dropped"},
            {"<$FOREACH FOLDER$><$IF QMPRO$><$ENDEACH FOLDER$><$ENDIF$>\n", false, "has no ENDIF in its block"},
            {"<$FOREACH FOLDER$><$IF QMPRO$><$ENDEACH FOLDER$><$ENDIF$>\n", false, "ENDIF without its IF"},
            {"<$FOREACH FOLDER$><$FOREACH FOLDER$><$ENDEACH FOLDER$><$ENDEACH FOLDER$>\n", false, "dropped"},
            {"<$FOREACH FOLDERS$><$ENDEACH FOLDERS$>\n", false, "unknown list FOLDERS"},
            {"<$IF MSGUNREADS$><$ENDIF$>\n", false, "unknown condition MSGUNREADS"},
            {"<$FOLDERNAMES$>\n", false, "unknown value FOLDERNAMES"},
            {"<$ IF QMPRO$>\n", false, "unknown value  IF QMPRO"},
            {"<$FOLDERNAME\n$>\n", false, "unknown value FOLDERNAME\n"},
            {"text <$FOLDERNAME\n", false, "not closed"},
            {"<$NAME$>\n", false, "placeholder NAME outside"},
            {"<$FOREACH THEME$><$NAME$><$ENDEACH THEME$>\n", true, nullptr},
            {"<$LINK$>\n", true, "LINK is not known without a session"},
            {"<$IF CGI:SESSION$><$LINK$><$ELSE$><$ACTION$><$ENDIF$>\n", true, nullptr},
            {"<$IF CGI:SESSION$><$ELSE$><$LINK$><$ENDIF$>\n", true, "LINK is not known without a session"},
            {"<$FOREACH FOLDER$><$ENDEACH FOLDER$>\n", true, "renders nothing without a session"},
            {"<$IF USER:SAVESENTMAIL$><$ENDIF$>\n", true, "always false without a session"},
            {"<$USER:LISTPERPAGE$><$CGI:X$><$DOMAIN:POPPORT$>\n", false, nullptr},
            {"<$MSGCOUNT$><$IF MSGUNREAD$><$ENDIF$><$FOREACH MESSAGE$><$ENDEACH MESSAGE$>\n", false, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Text);
        const std::vector<std::string> problems = CheckText(c.Text, c.Sessionless);
        if (c.Problem == nullptr) {
            EXPECT_TRUE(problems.empty()) << "got" << Joined(problems) << "\nwant no problem";
            continue;
        }
        const bool found = std::any_of(problems.begin(), problems.end(), [&](const std::string& problem) {
            return problem.find(c.Problem) != std::string::npos;
        });
        EXPECT_TRUE(found) << "got" << Joined(problems) << "\nwant a problem with \"" << c.Problem << "\"";
    }
    const std::string longTag = "<$" + std::string(engine::kMaxTagName + 1, 'A') + "$>\n";
    EXPECT_FALSE(CheckText(longTag, false).empty()) << "want the 80-character tag reported";
    std::string nested;
    for (int i = 0; i <= engine::kMaxIfLevels; ++i) {
        nested += "<$IF QMPRO$>";
    }
    for (int i = 0; i <= engine::kMaxIfLevels; ++i) {
        nested += "<$ENDIF$>";
    }
    EXPECT_FALSE(CheckText(nested, false).empty()) << "want the 32nd IF level reported";
}

// The shipped data laid out as an installation, and the engine's template cache over it.
class ShippedPagesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_install.CopyShippedData();
        m_cache = std::make_unique<engine::TemplateCache>(m_install.Path("Templates"), false, nullptr);
    }

    // The page as the engine loads it for English: translated, tag names upper-cased, compiled.
    std::unique_ptr<CompiledTemplate> Load(const std::string& page) const
    {
        std::string path;
        return m_cache->LoadUncached("en", "Globe", page, path);
    }

    TestInstallation m_install;
    std::unique_ptr<engine::TemplateCache> m_cache;
};

TEST_F(ShippedPagesTest, EveryPageUsesTheTagLanguageSoundly)
{
    const std::vector<PageTemplate> pages = ThemePages();
    ASSERT_FALSE(pages.empty()) << "no templates in " << ThemeDir();
    for (const PageTemplate& page : pages) {
        SCOPED_TRACE(page.Name);
        const std::unique_ptr<CompiledTemplate> compiled = Load(page.Name);
        ASSERT_NE(compiled, nullptr) << "the engine cannot load " << page.Path;
        const std::vector<std::string> problems =
                TemplateChecker(Contains(kSessionlessPages, page.Name)).Check(*compiled);
        EXPECT_TRUE(problems.empty()) << page.Path << ":" << Joined(problems);
    }
}

// Every page of the engine's view table has a template (but the views that write their own response), and so has
// every other page the engine asks for.
TEST_F(ShippedPagesTest, EveryPageTheEngineAsksForExists)
{
    std::vector<std::string> wanted(std::begin(kOtherEnginePages), std::end(kOtherEnginePages));
    for (int view = 1; view <= engine::kLastView; ++view) {
        const std::string_view name = engine::ViewName(view);
        ASSERT_FALSE(name.empty()) << view;
        if (!Contains(kViewsWithoutTemplate, name)) {
            wanted.emplace_back(name);
        }
    }
    for (const std::string& name : wanted) {
        SCOPED_TRACE(name);
        EXPECT_NE(Load(name), nullptr) << "no template for it";
    }
    for (std::string_view name : kViewsWithoutTemplate) {
        EXPECT_NE(engine::FindViewByName(name), engine::kViewUnlisted) << name << " is no view of the engine";
    }
}

// A link or form that names a view by a fixed name must name a page of the theme or a view without a template.
TEST(TemplateTest, EveryViewNamedByAPageExists)
{
    const std::vector<PageTemplate> pages = ThemePages();
    std::set<std::string> known(std::begin(kViewsWithoutTemplate), std::end(kViewsWithoutTemplate));
    for (const PageTemplate& page : pages) {
        known.insert(page.Name);
    }
    const std::regex view("View=([A-Za-z][A-Za-z0-9_-]*)");
    int links = 0;
    for (const PageTemplate& page : pages) {
        const std::string text = ReadWholeFile(page.Path);
        for (auto it = std::sregex_iterator(text.begin(), text.end(), view); it != std::sregex_iterator(); ++it) {
            ++links;
            EXPECT_TRUE(known.contains((*it)[1].str()))
                    << page.Name << " names the page " << (*it)[1].str() << ", which the theme does not have";
        }
    }
    EXPECT_GT(links, 0) << "want the pages to link to each other by view name";
}

// The value of attribute name in the start tag text (quoted with double quotes), or nullopt.
std::optional<std::string> Attribute(const std::string& tag, const std::string& name)
{
    const std::regex pattern("\\s" + name + "=\"([^\"]*)\"", std::regex::icase);
    std::smatch match;
    if (!std::regex_search(tag, match, pattern)) {
        return std::nullopt;
    }
    return match[1].str();
}

// The form controls of a page (input, select, textarea) that a screen reader could not name: no aria-label, no
// aria-labelledby and no label whose "for" names the control's id. Hidden inputs and buttons need no label.
std::vector<std::string> UnlabelledControls(const std::string& page)
{
    // Template tags end in '>' too; written as "{NAME}" they no longer end the HTML tag around them.
    const std::string text = std::regex_replace(page, std::regex("<\\$([^$]*)\\$>"), "{$1}");
    std::set<std::string> labelled;
    const std::regex label("<label\\b[^>]*>", std::regex::icase);
    for (auto it = std::sregex_iterator(text.begin(), text.end(), label); it != std::sregex_iterator(); ++it) {
        if (const auto target = Attribute(it->str(), "for")) {
            labelled.insert(*target);
        }
    }
    std::vector<std::string> unlabelled;
    const std::regex control("<(input|select|textarea)\\b[^>]*>", std::regex::icase);
    for (auto it = std::sregex_iterator(text.begin(), text.end(), control); it != std::sregex_iterator(); ++it) {
        const std::string tag = it->str();
        const std::string type = Attribute(tag, "type").value_or("");
        if (type == "hidden" || type == "submit" || type == "button" || type == "image") {
            continue;
        }
        if (Attribute(tag, "aria-label") || Attribute(tag, "aria-labelledby")) {
            continue;
        }
        const auto id = Attribute(tag, "id");
        if (!id || !labelled.contains(*id)) {
            unlabelled.push_back(tag);
        }
    }
    return unlabelled;
}

TEST(TemplateTest, LabelCheckFindsUnlabelledControls)
{
    EXPECT_TRUE(UnlabelledControls("<label for=\"a\">A</label><input id=\"a\" name=\"A\">").empty());
    EXPECT_TRUE(UnlabelledControls("<input type=\"checkbox\" aria-label=\"Mark\"><input type=\"hidden\" name=\"x\">")
                        .empty());
    EXPECT_EQ(UnlabelledControls("<label for=\"a\">A</label><input id=\"b\" name=\"B\">").size(), 1U);
    EXPECT_EQ(UnlabelledControls("<select name=\"S\"></select><textarea name=\"T\"></textarea>").size(), 2U);
    EXPECT_TRUE(
            UnlabelledControls("<label for=\"n<$NUMBER$>\">N</label><input id=\"n<$NUMBER$>\" name=\"N\">").empty());
    EXPECT_EQ(UnlabelledControls("<input name=\"N<$NUMBER$>\" value=\"<$X$>\"><label for=\"x\">").size(), 1U);
}

TEST(TemplateTest, EveryFormControlHasALabel)
{
    for (const PageTemplate& page : ThemePages()) {
        SCOPED_TRACE(page.Name);
        const std::vector<std::string> unlabelled = UnlabelledControls(ReadWholeFile(page.Path));
        EXPECT_TRUE(unlabelled.empty()) << "no label for" << Joined(unlabelled);
    }
}

// Every page names its language and its character set, and scales to the width of a phone.
TEST(TemplateTest, EveryPageNamesItsLanguageAndFitsAPhone)
{
    for (const PageTemplate& page : ThemePages()) {
        SCOPED_TRACE(page.Name);
        const std::string text = ReadWholeFile(page.Path);
        EXPECT_NE(text.find("<html lang=\"<$LANG$>\">"), std::string::npos);
        EXPECT_NE(text.find("<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"),
                  std::string::npos);
        EXPECT_NE(text.find("<$CHARSET$>"), std::string::npos) << "want the character set of the language";
    }
}

// The marked texts of all pages; markers not closed on their line fail the test.
std::set<std::string> AllMarkedTexts()
{
    std::set<std::string> texts;
    for (const PageTemplate& page : ThemePages()) {
        std::vector<std::string> problems;
        for (std::string& text : MarkedTexts(ReadWholeFile(page.Path), problems)) {
            texts.insert(std::move(text));
        }
        EXPECT_TRUE(problems.empty()) << page.Name << ":" << Joined(problems);
    }
    return texts;
}

class MarkedTextTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_sections = ParseLanguages(ReadWholeFile(DataDir() / "Languages.ini"));
        m_english = FindSection(m_sections, "en");
        ASSERT_NE(m_english, nullptr) << "Languages.ini has no [en] section";
        m_texts = AllMarkedTexts();
        ASSERT_FALSE(m_texts.empty());
    }

    // The [en] line whose text equals text without regard to case, or null.
    const LanguageLine* EnglishLine(const std::string& text) const
    {
        for (const LanguageLine& line : m_english->Lines) {
            if (EqualsNoCase(line.Text, text)) {
                return &line;
            }
        }
        return nullptr;
    }

    std::vector<LanguageSection> m_sections;
    const LanguageSection* m_english = nullptr;
    std::set<std::string> m_texts;
};

// Every marked text has a number in every language, spelled in the English section exactly as in the template
// (the start-up check would otherwise give it a number of its own, and rewrite the file).
TEST_F(MarkedTextTest, EveryTextHasANumberInEveryLanguage)
{
    for (const std::string& text : m_texts) {
        SCOPED_TRACE(text);
        const LanguageLine* english = EnglishLine(text);
        if (english == nullptr) {
            ADD_FAILURE() << "no [en] line has this text";
            continue;
        }
        EXPECT_EQ(english->Text, text) << "the [en] line differs in letter case";
        for (const LanguageSection& section : m_sections) {
            EXPECT_NE(FindKey(section, english->Key), nullptr)
                    << "[" << section.Code << "] has no line " << english->Key;
        }
    }
}

// Two marked texts that differ only in letter case would share one number and one translation.
TEST_F(MarkedTextTest, TextsDifferInMoreThanLetterCase)
{
    std::set<std::string> folded;
    for (const std::string& text : m_texts) {
        std::string fold(text);
        std::transform(fold.begin(), fold.end(), fold.begin(), [](char c) { return FoldCase(c); });
        EXPECT_TRUE(folded.insert(fold).second) << "\"" << text << "\" differs from another text only in case";
    }
}

// The engine's messages numbered after the template texts (LanguagesIniTest checks their conversions).
const std::set<int> kLaterEngineMessages = {420};

TEST_F(MarkedTextTest, EveryTemplateTextOfTheFileIsUsedByAPage)
{
    for (const LanguageLine& line : m_english->Lines) {
        if (KeyNumber(line.Key) >= 100 && !kLaterEngineMessages.contains(KeyNumber(line.Key))) {
            EXPECT_TRUE(m_texts.contains(line.Text))
                    << "[en] " << line.Key << "=" << line.Text << " is used by no page";
        }
    }
}

} // namespace
} // namespace qm::test
