// The page templates of the Globe theme: every tag is closed on its line and names something the engine knows,
// IF and FOREACH blocks nest, pages that are shown without a session use only what works without one, every
// translated text has its number in every language, and every page that a link or the engine names exists.
#include "common/StringUtil.h"
#include "data/tests/DataFiles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <optional>
#include <regex>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qm::test {
namespace {

// Lists whose body sees each item through placeholders that are replaced as text.
constexpr std::string_view kSubstitutionLists[] = {
        "LANGUAGE",   "SPELLCHECKLANG",   "STYLE",     "THEME",
        "ADDRLOOKUP", "ADDRLOOKUPSELECT", "LITEMLIST", "TELVANECOVERPAGE",
};

// Lists whose body reads the current item through values.
constexpr std::string_view kCursorLists[] = {
        "ADDRBOOK", "ATTACHMENT", "FILTER", "FOLDER", "FOLDERDEPTH", "MAILBOX", "MESSAGE",
};

// The lists that render without a session.
constexpr std::string_view kSessionlessLists[] = {"LANGUAGE", "SPELLCHECKLANG", "STYLE", "THEME"};

// Placeholders of substitution lists (NUMBER is a value as well).
constexpr std::string_view kPlaceholders[] = {"NAME", "VALUE", "EMAIL", "COMMENT", "FILENAME", "NUMBER"};

constexpr std::string_view kConditions[] = {
        "ADVANCEDCOMPOSE", "FAXCOMPOSE",      "FOLDERHASSUBS",   "FOLDERHASUNREAD",
        "FOLDERREADONLY",  "NOMESSAGES",      "MAILBOXREADONLY", "MAILBOXDELETEREADONLY",
        "CORVID",          "MSGFORWARDED",    "MSGHASATTACH",    "MSGNEW",
        "MSGREPLIED",      "MSGUNREAD",       "MSGURGENT",       "NETSCAPE",
        "TELVANE",         "TELVANEPASSWORD", "UNREADMESSAGES",  "TESSERA",
        "QMPRO",           "QMSTANDARD",      "QMWATCH",
};

// Conditions that do not depend on a session.
constexpr std::string_view kSessionlessConditions[] = {
        "NETSCAPE", "TELVANE", "CORVID", "QMPRO", "QMSTANDARD", "QMWATCH",
};

constexpr std::string_view kValues[] = {
        "ACTION",
        "LINK",
        "SCRIPTNAME",
        "BASE",
        "HELP",
        "LANG",
        "THEME",
        "STYLE",
        "VERSION",
        "CHARSET",
        "USER",
        "STATUSMESG",
        "ERRORMESG",
        "ERRORMESG,JS",
        "REDIRECTTIME",
        "REDIRECTSTATUS",
        "FRAMEVIEW",
        "LEFTFRAMEHEIGHT",
        "TESSERAURL",
        "FOLDERNAME",
        "FOLDERNAME,JS",
        "FOLDERNAME,URL",
        "FOLDERDISPLAYNAME",
        "FOLDERNUMBER",
        "FOLDERPARENT",
        "FOLDERPARENT,JS",
        "SUBFOLDERNAME",
        "SUBFOLDERNAME,JS",
        "SUBFOLDERDISPLAYNAME",
        "SUBFOLDERDISPLAYNAME,JS",
        "MSGCOUNT",
        "UNREADCOUNT",
        "ALLUNREADCOUNTS",
        "LISTCURRENTPAGE",
        "LISTTOTALPAGES",
        "LISTFIRSTPAGE",
        "LISTLASTPAGE",
        "LISTNEXTPAGE",
        "LISTPREVPAGE",
        "LISTREFRESHTIME",
        "WHO",
        "COLORLEGEND",
        "NUMBER",
        "DATE",
        "FROM",
        "FROMADDRESS,URL",
        "TO",
        "SUBJECT",
        "SIZE",
        "MESSAGECOLOR",
        "MESSAGESTYLE",
        "ATTN",
        "CC",
        "COMPANY",
        "COVERPAGE",
        "BODY",
        "ATTACHFILE",
        "ATTACHTYPE",
        "ATTACHNUM",
        "ATTACHSIZE",
        "ATTACHINLINE",
        "ATTACHLINK",
        "ATTACHIMAGE",
        "ATTACHMENTCOUNT",
        "ATTACHMENTLIST",
        "BCC",
        "REPLY-TO",
        "COMPOSEURGENT",
        "CONFIRMDELIVERY",
        "CONFIRMREAD",
        "FROMSELECT",
        "SIGARRAY",
        "SPELLCHECKLANG",
        "SPELLBODY",
        "ADDRNAME",
        "ADDREMAIL",
        "ADDRCOMMENT",
        "ADDRNUM",
        "PREFS_DICTIONARY",
        "FILTERENABLE",
        "FILTERWHAT",
        "FILTERMATCH",
        "FILTERLITERAL",
        "FILTERFOLDER",
        "FILTERNAME",
        "FILTERNUM",
        "MAILBOX",
        "MAILBOX,URL",
        "MAILBOXNUMBER",
        "MAILNUM",
        "MAILNAME",
        "MAILEMAIL",
        "MAILUSER",
        "MAILPASS",
        "MAILHOST",
        "MAILPORT",
        "MAILCOLOR",
        "MAILACTIVE",
        "MAILDEFAULT",
        "MAILDELETE",
        "MAILSIG",
};

constexpr std::string_view kSessionlessValues[] = {
        "ACTION",     "PREFS_THEME", "THEME", "BASE", "CHARSET", "ERRORMESG",
        "STATUSMESG", "LANG",        "STYLE", "USER", "VERSION",
};

// Pages that the engine may show without a session: everything on them must work without one, except what stands
// in an "IF CGI:SESSION" branch.
constexpr std::string_view kSessionlessPages[] = {"Logon", "Logout", "NewUser", "Error"};

// The pages the engine itself asks for: the views with a template, and the pages shown while mail is fetched.
constexpr std::string_view kEnginePages[] = {
        "Logon",
        "Main",
        "List",
        "Message",
        "Compose",
        "Compose-Attach",
        "Compose-SpellCheck",
        "Options",
        "Options-Prefs",
        "Options-Hosts",
        "Options-Filters",
        "Options-Folders",
        "Options-AddrBook",
        "Error",
        "NewUser",
        "Logout",
        "List-Redirect",
        "Message-Redirect",
        "HELP",
};

// Views that write their own response and so have no template.
constexpr std::string_view kViewsWithoutTemplate[] = {"Attachment", "StatusCheck"};

// The longest tag name the interpreter expands.
constexpr std::size_t kMaxTagName = 79;
// The deepest IF nesting the interpreter follows.
constexpr std::size_t kMaxIfLevels = 31;

bool Contains(std::span<const std::string_view> names, std::string_view name)
{
    return std::find(names.begin(), names.end(), name) != names.end();
}

std::string Upper(std::string_view text)
{
    std::string upper(text);
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; });
    return upper;
}

// "USER:", "DOMAIN:" or "CGI:" followed by a key.
bool IsPrefixForm(std::string_view name, std::string_view prefix)
{
    return name.size() > prefix.size() && name.substr(0, prefix.size()) == prefix;
}

// Checks the tags of one template. Problems are collected as "line N: text".
class TemplateChecker {
public:
    explicit TemplateChecker(bool sessionless)
        : m_sessionless(sessionless)
    {}

    std::vector<std::string> Check(std::string_view text)
    {
        int lineNumber = 0;
        for (const std::string& line : SplitLines(text)) {
            ++lineNumber;
            m_line = lineNumber;
            CheckLine(line);
        }
        for (const Frame& frame : m_frames) {
            Problem(frame.IsList ? "FOREACH " + frame.Name + " has no ENDEACH" : "IF " + frame.Name + " has no ENDIF");
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

    void CheckLine(std::string_view line)
    {
        std::size_t from = 0;
        while (true) {
            const std::size_t open = line.find("<$", from);
            if (open == std::string_view::npos) {
                return;
            }
            const std::size_t close = line.find("$>", open + 2);
            if (close == std::string_view::npos) {
                Problem("\"<$\" not closed on its line");
                return;
            }
            const std::string_view name = line.substr(open + 2, close - open - 2);
            from = close + 2;
            if (name.find("<$") != std::string_view::npos) {
                Problem("\"<$\" inside a tag");
                continue;
            }
            if (name.size() > kMaxTagName) {
                Problem("tag longer than " + std::to_string(kMaxTagName) + " characters");
                continue;
            }
            CheckTag(Upper(name));
        }
    }

    void CheckTag(const std::string& tag)
    {
        if (tag.starts_with("FOREACH ")) {
            OpenList(tag.substr(8));
        } else if (tag.starts_with("ENDEACH ")) {
            CloseList(tag.substr(8));
        } else if (tag.starts_with("IF ")) {
            OpenIf(tag.substr(3));
        } else if (tag.starts_with("ELSEIF ")) {
            CheckCondition(tag.substr(7));
            ElseBranch("ELSEIF");
        } else if (tag == "ELSE") {
            ElseBranch("ELSE");
        } else if (tag == "ENDIF") {
            if (m_frames.empty() || m_frames.back().IsList) {
                Problem("ENDIF without its IF");
                return;
            }
            m_frames.pop_back();
        } else {
            CheckValue(tag);
        }
    }

    void OpenList(const std::string& list)
    {
        if (!Contains(kSubstitutionLists, list) && !Contains(kCursorLists, list)) {
            Problem("unknown list " + list);
        } else if (WithoutSession() && !Contains(kSessionlessLists, list)) {
            Problem("list " + list + " renders nothing without a session");
        }
        for (const Frame& frame : m_frames) {
            if (frame.IsList && frame.Name == list) {
                Problem("FOREACH " + list + " inside a list of the same name");
            }
        }
        m_frames.push_back({true, list, false, false});
    }

    void CloseList(const std::string& list)
    {
        if (m_frames.empty() || !m_frames.back().IsList || m_frames.back().Name != list) {
            Problem("ENDEACH " + list + " does not close the innermost FOREACH or an IF inside it is open");
            return;
        }
        m_frames.pop_back();
    }

    void OpenIf(const std::string& condition)
    {
        CheckCondition(condition);
        const auto levels = static_cast<std::size_t>(
                std::count_if(m_frames.begin(), m_frames.end(), [](const Frame& frame) { return !frame.IsList; }));
        if (levels >= kMaxIfLevels) {
            Problem("IF nested deeper than " + std::to_string(kMaxIfLevels) + " levels");
        }
        m_frames.push_back({false, condition, false, condition == "CGI:SESSION"});
    }

    void ElseBranch(const char* directive)
    {
        if (m_frames.empty() || m_frames.back().IsList) {
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

    void CheckCondition(std::string_view condition)
    {
        if (!condition.empty() && condition.front() == '!') {
            condition.remove_prefix(1);
        }
        if (IsPrefixForm(condition, "CGI:") || IsPrefixForm(condition, "DOMAIN:")) {
            return;
        }
        if (IsPrefixForm(condition, "USER:")) {
            if (WithoutSession()) {
                Problem("condition " + std::string(condition) + " is always false without a session");
            }
            return;
        }
        if (!Contains(kConditions, condition)) {
            Problem("unknown condition " + std::string(condition));
        } else if (WithoutSession() && !Contains(kSessionlessConditions, condition)) {
            Problem("condition " + std::string(condition) + " is always false without a session");
        }
    }

    void CheckValue(const std::string& name)
    {
        if (Contains(kPlaceholders, name) && InSubstitutionList()) {
            return;
        }
        if (Contains(kPlaceholders, name) && name != "NUMBER") {
            Problem("placeholder " + name + " outside a list that replaces it");
            return;
        }
        if (IsPrefixForm(name, "CGI:") || IsPrefixForm(name, "DOMAIN:")) {
            return;
        }
        if (WithoutSession()) {
            if (!Contains(kSessionlessValues, name)) {
                Problem("value " + name + " is not known without a session");
            }
            return;
        }
        if (!IsPrefixForm(name, "USER:") && !Contains(kValues, name)) {
            Problem("unknown value " + name);
        }
    }

    bool InSubstitutionList() const
    {
        return std::any_of(m_frames.begin(), m_frames.end(),
                           [](const Frame& frame) { return frame.IsList && Contains(kSubstitutionLists, frame.Name); });
    }

    bool WithoutSession() const
    {
        return m_sessionless &&
               std::none_of(m_frames.begin(), m_frames.end(), [](const Frame& frame) { return frame.SessionBranch; });
    }

    void Problem(const std::string& text) { m_problems.push_back("line " + std::to_string(m_line) + ": " + text); }

    bool m_sessionless;
    int m_line = 0;
    std::vector<Frame> m_frames;
    std::vector<std::string> m_problems;
};

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
        const char* Text;
        bool Sessionless;
        const char* Problem; // a part of the expected problem; null: none expected
    };

    const Case cases[] = {
            {"<$IF MSGUNREAD$>a<$ELSE$>b<$ENDIF$>\n", false, nullptr},
            {"<$if msgunread$>a<$endif$>\n", false, nullptr},
            {"<$IF MSGUNREAD$>a\n", false, "has no ENDIF"},
            {"a<$ENDIF$>\n", false, "ENDIF without its IF"},
            {"<$ELSE$>\n", false, "ELSE without its IF"},
            {"<$IF QMPRO$><$ELSE$><$ELSEIF QMPRO$><$ENDIF$>\n", false, "ELSEIF after ELSE"},
            {"<$FOREACH FOLDER$>\n<$FOLDERNAME$>\n", false, "FOREACH FOLDER has no ENDEACH"},
            {"<$FOREACH FOLDER$><$IF QMPRO$><$ENDEACH FOLDER$><$ENDIF$>\n", false, "does not close"},
            {"<$FOREACH FOLDER$><$FOREACH FOLDER$><$ENDEACH FOLDER$><$ENDEACH FOLDER$>\n", false, "same name"},
            {"<$FOREACH FOLDERS$><$ENDEACH FOLDERS$>\n", false, "unknown list FOLDERS"},
            {"<$IF MSGUNREADS$><$ENDIF$>\n", false, "unknown condition MSGUNREADS"},
            {"<$FOLDERNAMES$>\n", false, "unknown value FOLDERNAMES"},
            {"<$ IF QMPRO$>\n", false, "unknown value  IF QMPRO"},
            {"<$FOLDERNAME\n$>\n", false, "not closed on its line"},
            {"<$NAME$>\n", false, "placeholder NAME outside"},
            {"<$FOREACH THEME$><$NAME$><$ENDEACH THEME$>\n", true, nullptr},
            {"<$LINK$>\n", true, "LINK is not known without a session"},
            {"<$IF CGI:SESSION$><$LINK$><$ELSE$><$ACTION$><$ENDIF$>\n", true, nullptr},
            {"<$IF CGI:SESSION$><$ELSE$><$LINK$><$ENDIF$>\n", true, "LINK is not known without a session"},
            {"<$FOREACH FOLDER$><$ENDEACH FOLDER$>\n", true, "renders nothing without a session"},
            {"<$IF USER:SAVESENTMAIL$><$ENDIF$>\n", true, "always false without a session"},
            {"<$USER:LISTPERPAGE$><$CGI:X$><$DOMAIN:POPPORT$>\n", false, nullptr},
    };
    std::string longTag = "<$" + std::string(kMaxTagName + 1, 'A') + "$>\n";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Text);
        const std::vector<std::string> problems = TemplateChecker(c.Sessionless).Check(c.Text);
        if (c.Problem == nullptr) {
            EXPECT_TRUE(problems.empty()) << "got" << Joined(problems) << "\nwant no problem";
            continue;
        }
        const bool found = std::any_of(problems.begin(), problems.end(), [&](const std::string& problem) {
            return problem.find(c.Problem) != std::string::npos;
        });
        EXPECT_TRUE(found) << "got" << Joined(problems) << "\nwant a problem with \"" << c.Problem << "\"";
    }
    EXPECT_FALSE(TemplateChecker(false).Check(longTag).empty()) << "want the 80-character tag reported";
    std::string nested;
    for (std::size_t i = 0; i <= kMaxIfLevels; ++i) {
        nested += "<$IF QMPRO$>";
    }
    for (std::size_t i = 0; i <= kMaxIfLevels; ++i) {
        nested += "<$ENDIF$>";
    }
    EXPECT_FALSE(TemplateChecker(false).Check(nested).empty()) << "want the 32nd IF level reported";
}

TEST(TemplateTest, EveryPageUsesTheTagLanguageSoundly)
{
    const std::vector<PageTemplate> pages = ThemePages();
    ASSERT_FALSE(pages.empty()) << "no templates in " << ThemeDir();
    for (const PageTemplate& page : pages) {
        SCOPED_TRACE(page.Name);
        const bool sessionless = Contains(kSessionlessPages, page.Name);
        const std::vector<std::string> problems = TemplateChecker(sessionless).Check(ReadWholeFile(page.Path));
        EXPECT_TRUE(problems.empty()) << page.Path << ":" << Joined(problems);
    }
}

TEST(TemplateTest, EveryPageTheEngineAsksForExists)
{
    for (std::string_view name : kEnginePages) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(std::filesystem::is_regular_file(ThemeDir() / (std::string(name) + ".html")));
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

TEST_F(MarkedTextTest, EveryTemplateTextOfTheFileIsUsedByAPage)
{
    for (const LanguageLine& line : m_english->Lines) {
        if (KeyNumber(line.Key) >= 100) {
            EXPECT_TRUE(m_texts.contains(line.Text))
                    << "[en] " << line.Key << "=" << line.Text << " is used by no page";
        }
    }
}

} // namespace
} // namespace qm::test
