// The spelling check of the compose text against small hunspell dictionaries written by the tests (and one test
// against the system's English dictionary): what is checked and what is not, the page's suggestion lists, the
// corrections posted back, the word lists, the options, the lexicon files and what happens when pieces are missing.
#include "engine/SpellCheck.h"

#include "common/CgiInput.h"
#include "common/IniAccess.h"
#include "engine/HunspellLibrary.h"
#include "engine/Speller.h"
#include "engine/TemplateCache.h"
#include "engine/tests/PageTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace qm::engine {
namespace {

using test::FakePage;
using test::FakeSession;
using test::FakeStoreUser;
using test::ReadFile;
using test::TemplateFixture;
using test::WriteFile;
namespace fs = std::filesystem;

// A tiny English dictionary; BREAK 0 keeps the library from splitting hyphenated words itself.
constexpr const char* kEnglishAff = "SET UTF-8\nTRY esiaénrtolcdugmfphbyvkw\nBREAK 0\n";
constexpr const char* kEnglishDic = "12\nhello\nworld\nreceive\nthe\nmessage\nplease\nself\nmade\nsee\nand\nthen\nor\n";
constexpr const char* kFrenchAff = "SET UTF-8\nTRY eéasrc\nBREAK 0\n";
constexpr const char* kFrenchDic = "3\nécole\nl\nmaison\n";
// Latin-1, so that words and suggestions are converted on their way.
constexpr const char* kGermanAff = "SET ISO8859-1\nTRY esianrtolcdugmfphbyvkw\xdf\nBREAK 0\n";
constexpr const char* kGermanDic = "2\nStra\xdf"
                                   "e\nHaus\n";

class SpellCheckTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The fixture's languages, with the two texts of the spelling page in English.
        const std::string languages = m_fixture.TemplateDir() + "/Languages.ini";
        std::string text = ReadFile(languages);
        text.insert(text.find("[en]") + 4, "\r\n032=No dictionary for this language.\r\n069=Add <it>");
        WriteFile(languages, text);
        WriteIni("");
        m_cache = m_fixture.MakeCache(false);
        fs::create_directories(Spell());
        fs::create_directories(m_fixture.Path("Temp"));
        fs::create_directories(UserDir());
        WriteDictionary("en_test", kEnglishAff, kEnglishDic);
        WriteDictionary("fr_test", kFrenchAff, kFrenchDic);
        WriteDictionary("de_test", kGermanAff, kGermanDic);
        WriteFile(Spell() / "Common.en", "# the test's English\n\n" + Dict("en_test") + "\n");
        WriteFile(Spell() / "COMMON.FR", Dict("fr_test") + "\n");
        WriteFile(Spell() / "Common.de", Dict("de_test") + "\n");
        WriteFile(UserDir() / "User.ini", "[User]\r\n");
        m_session.Temp = m_fixture.Path("Temp");
        m_session.Source.UserIni = (UserDir() / "User.ini").string();
        m_session.UserObject = std::make_unique<FakeStoreUser>(UserDir().string(), m_cache.get());
    }

    // The engine INI: the fixture's directories, BaseDir, then extra sections.
    void WriteIni(const std::string& extra)
    {
        const std::string ini = m_fixture.Path("Quillmail.ini");
        WriteFile(ini, "[Directories]\r\nTemplateDir=" + m_fixture.TemplateDir() + "\r\nSpellDir=" + Spell().string() +
                               "\r\nBaseDir=" + m_fixture.Path("") + "\r\n" + extra);
        SetMainIniPath(ini);
    }

    fs::path Spell() const { return m_fixture.Path("Spell"); }

    fs::path UserDir() const { return m_fixture.Path("Users/alice"); }

    std::string Dict(const std::string& name) const { return m_fixture.Path("Dict/" + name); }

    void WriteDictionary(const std::string& name, const std::string& aff, const std::string& dic)
    {
        fs::create_directories(m_fixture.Path("Dict"));
        WriteFile(Dict(name) + ".aff", aff);
        WriteFile(Dict(name) + ".dic", dic);
    }

    void SetBody(const std::string& text) { WriteFile(m_fixture.Path("Temp/.body.txt"), text); }

    std::string Body() const { return ReadFile(m_fixture.Path("Temp/.body.txt")); }

    // A request of the spelling page with the form fields given.
    std::unique_ptr<FakePage> Page(const std::vector<std::pair<std::string, std::string>>& fields = {},
                                   const std::string& scriptName = "/mail")
    {
        auto page = std::make_unique<FakePage>(*m_cache, std::vector<std::string>{"SCRIPT_NAME=" + scriptName});
        page->SessionObject = &m_session;
        for (const auto& [name, value] : fields) {
            page->Field(name.c_str(), value.c_str());
        }
        return page;
    }

    bool Check(const std::string& language)
    {
        auto page = Page();
        return SpellCheckBody(*page, language, SpellMode::Check);
    }

    std::string Render(const std::string& language, FakePage* page = nullptr)
    {
        auto own = Page();
        FakePage& used = page != nullptr ? *page : *own;
        used.Out.clear();
        EXPECT_FALSE(SpellCheckBody(used, language, SpellMode::Render));
        return used.Out;
    }

    // The selection lists of a rendered page: list name to the option texts in order.
    static std::map<std::string, std::vector<std::string>> Lists(const std::string& page)
    {
        std::map<std::string, std::vector<std::string>> lists;
        static const std::regex kSelect(R"re(<SELECT NAME="(WORD\d+)">(.*?)</SELECT>)re");
        static const std::regex kOption(R"re(<OPTION[^>]*>(.*?)</OPTION>)re");
        for (std::sregex_iterator s(page.begin(), page.end(), kSelect), end; s != end; ++s) {
            const std::string options = (*s)[2].str();
            std::vector<std::string>& texts = lists[(*s)[1].str()];
            for (std::sregex_iterator o(options.begin(), options.end(), kOption); o != end; ++o) {
                texts.push_back(Unescaped((*o)[1].str()));
            }
        }
        return lists;
    }

    std::string ErrorText()
    {
        const std::unique_ptr<char[]> text = m_session.Error.Take();
        return text ? text.get() : "";
    }

    static std::string Unescaped(std::string text)
    {
        for (const auto& [entity, c] : std::vector<std::pair<std::string, std::string>>{
                     {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&amp;", "&"}}) {
            for (std::size_t at = text.find(entity); at != std::string::npos; at = text.find(entity, at + 1)) {
                text.replace(at, entity.size(), c);
            }
        }
        return text;
    }

    TemplateFixture m_fixture;
    std::unique_ptr<TemplateCache> m_cache;
    FakeSession m_session;
};

TEST_F(SpellCheckTest, QuotedLinesAndTheOriginalAreNeverFlagged)
{
    struct Case {
        const char* Text;
        bool Misspelled;
    };

    const Case cases[] = {
            {"hello world\r\n", false},
            {"hello wrold\r\n", true},
            {"> wrold recieve\r\n: mesage\r\nhello\r\n", false},
            {">wrold\r\n", true}, // no blank after the '>': not a quoted line
            {" > wrold\r\n", true},
            {"hello\r\n-----Original Message-----\r\nwrold recieve\r\n", false},
            {"hello\r\n---- original message from bob\r\nwrold\r\n", false},
            {"hello\r\n---- wrold\r\n", true}, // a rule without "Message" starts nothing
            {"see http://wrold.example/recieve and wrold@mesage.org or www.wrold.example 123.45\r\n", false},
            {"", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Text);
        SetBody(c.Text);
        EXPECT_EQ(Check("en"), c.Misspelled);
    }
}

TEST_F(SpellCheckTest, TheRenderedTextListsSuggestionsWithTheWordFirstAndSelected)
{
    SetBody("see http://wrold.example/x and wrold@x.org then recieve\r\n> recieve\r\n"
            "-----Original Message-----\r\nrecieve <b>&amp;</b>\r\n");
    const std::string page = Render("en");
    const auto lists = Lists(page);
    // see(0) and(1) then(2) recieve(3); the link and the address take no index.
    ASSERT_EQ(lists.size(), 1u) << page;
    ASSERT_TRUE(lists.contains("WORD3")) << page;
    EXPECT_EQ(lists.at("WORD3"), (std::vector<std::string>{"recieve", "receive"}));
    EXPECT_NE(page.find("<SELECT NAME=\"WORD3\"><OPTION SELECTED>recieve</OPTION><OPTION>receive</OPTION>"),
              std::string::npos)
            << page;
    // Everything else is there as escaped text, the original too; line ends are line breaks.
    for (const char* shown : {"http://wrold.example/x", "wrold@x.org", "&gt; recieve<BR>",
                              "-----Original&nbsp;Message-----<BR>", "recieve&nbsp;&lt;b&gt;&amp;amp;&lt;/b&gt;"}) {
        EXPECT_NE(page.find(shown), std::string::npos) << shown << " not in " << page;
    }
    EXPECT_EQ(page.find("<b>"), std::string::npos) << page;
}

TEST_F(SpellCheckTest, TheAddWordLinkAndEveryTextOfThePageAreEscaped)
{
    SetBody("<script>alert('x')</script> wrold's\r\n");
    auto page = Page({}, "/mail\"><script>x</script>");
    page->ThemeName = "Globe\"onload=\"x";
    const std::string html = Render("en", page.get());
    EXPECT_EQ(html.find("<script>"), std::string::npos) << html;
    EXPECT_EQ(html.find("\"onload"), std::string::npos) << html;
    EXPECT_NE(html.find("<OPTION SELECTED>wrold's</OPTION>"), std::string::npos) << html;
    EXPECT_NE(html.find("<A HREF=\"/mail&quot;&gt;&lt;script&gt;x&lt;/script&gt;?Session=ABCDEFG&amp;View=Compose-"
                        "SpellCheck&amp;AddWord=wrold's\"><IMG SRC=\"/Globe&quot;onload=&quot;x/addword.gif\" "
                        "BORDER=\"0\" ALT=\"Add &lt;it&gt;\"></A>"),
              std::string::npos)
            << html;
    // Without AddSingleWords there is no link.
    WriteIni("[SpellCheck]\r\nAddSingleWords=No\r\n");
    EXPECT_EQ(Render("en").find("<A HREF"), std::string::npos);
}

TEST_F(SpellCheckTest, PostingThePageUnchangedKeepsTheTextByteForByte)
{
    // Tabs, runs of blanks, 8-bit text, a NUL, bare LF and CR LF, no line end at the end, and a line longer than
    // 259 bytes with a misspelled word across that length.
    const std::string longLine = std::string(254, 'x') + " mesage wrold\r\n";
    const std::string text = "hello\twrold  \xc3\xa9t\xc3\xa9 recieve\r\n> wrold\nx" + std::string(1, '\0') +
                             "y mesage-wrold\r\n" + longLine + "last wrold";
    SetBody(text);
    const std::string page = Render("en");
    const auto lists = Lists(page);
    EXPECT_TRUE(lists.contains("WORD10")) << page; // the word across byte 259 is flagged whole
    std::vector<std::pair<std::string, std::string>> fields;
    for (const auto& [name, options] : lists) {
        fields.emplace_back(name, options.front());
    }
    auto posted = Page(fields);
    ASSERT_TRUE(ApplySpellCorrections(*posted, false));
    EXPECT_EQ(Body(), text);
    EXPECT_FALSE(fs::exists(m_fixture.Path("Temp/.body.tmp")));
}

TEST_F(SpellCheckTest, ACorrectionReplacesTheWordOfItsOwnIndex)
{
    struct Case {
        const char* Text;
        std::vector<std::pair<std::string, std::string>> Fields;
        const char* Want;
    };

    const Case cases[] = {
            {"recieve the recieve, recieve\r\n", {{"WORD3", "receive"}}, "recieve the recieve, receive\r\n"},
            {"a\r\nb c recieve recieve\r\n", {{"WORD3", "receive"}}, "a\r\nb c receive recieve\r\n"},
            {"see http://x.org/a b recieve\r\n", {{"WORD2", "receive"}}, "see http://x.org/a b receive\r\n"},
            {"wrold\r\n", {{"WORD0", "a much\r\nlonger\nreplacement"}}, "a muchlongerreplacement\r\n"},
            {"wrold mesage\r\n", {{"WORD0", "world"}, {"WORD1", "message"}, {"WORD7", "x"}}, "world message\r\n"},
            {"wrold\r\n", {{"WORD0", ""}}, "\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Text);
        SetBody(c.Text);
        auto page = Page(c.Fields);
        ASSERT_TRUE(ApplySpellCorrections(*page, false));
        EXPECT_EQ(Body(), c.Want);
    }
    // Without a compose text there is nothing to correct, and nothing is made.
    fs::remove(m_fixture.Path("Temp/.body.txt"));
    auto page = Page({{"WORD0", "x"}});
    EXPECT_FALSE(ApplySpellCorrections(*page, false));
    EXPECT_FALSE(fs::exists(m_fixture.Path("Temp/.body.txt")));
}

TEST_F(SpellCheckTest, KeptWordsGoToTheUsersDictionaryOnce)
{
    WriteFile(UserDir() / "dictionary.TXT", "Zorg\r\nqux");
    SetBody("wrold Wrold wrold zorg mesage quux\r\n");
    auto page = Page({{"WORD0", "wrold"},
                      {"WORD1", "Wrold"},
                      {"WORD2", "wrold"},
                      {"WORD3", "zorg"},
                      {"WORD4", "message"},
                      {"WORD5", "quux"}});
    ASSERT_TRUE(ApplySpellCorrections(*page, true));
    EXPECT_EQ(Body(), "wrold Wrold wrold zorg message quux\r\n");
    // The file found whatever the case of its name keeps its name; a last line without its end gets one.
    EXPECT_EQ(ReadFile(UserDir() / "dictionary.TXT"), "Zorg\r\nqux\r\nwrold\r\nquux\r\n");
    EXPECT_FALSE(fs::exists(UserDir() / "Dictionary.txt"));
    // The kept words pass from now on; without AddToDictionary nothing is added.
    SetBody("wrold Wrold quux Zorg qux\r\n");
    EXPECT_FALSE(Check("en"));
    SetBody("blorf\r\n");
    auto again = Page({{"WORD0", "blorf"}});
    ASSERT_TRUE(ApplySpellCorrections(*again, false));
    EXPECT_EQ(ReadFile(UserDir() / "dictionary.TXT"), "Zorg\r\nqux\r\nwrold\r\nquux\r\n");
}

TEST_F(SpellCheckTest, TheUsersAndTheGlobalWordListsAreAccepted)
{
    WriteFile(UserDir() / "Dictionary.txt", "wrold\r\nParis\n\n");
    WriteFile(m_fixture.Path("DICTIONARY.txt"), "mesage\r\n");

    struct Case {
        const char* Text;
        bool Misspelled;
    };

    const Case cases[] = {
            {"wrold mesage Paris", false},
            {"Wrold WROLD MESAGE", false},
            {"wRold", true},
            {"paris", true}, // kept capitalised: the lower-case form is another word
            {"PARIS", true},
            {"wrolds", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Text);
        SetBody(c.Text);
        EXPECT_EQ(Check("en"), c.Misspelled);
    }
}

TEST_F(SpellCheckTest, AddingOneWordChecksIt)
{
    auto page = Page();
    for (const std::string& bad : {std::string(), std::string("two\r\nlines"), std::string("tab\there"),
                                   std::string(kMaxDictionaryWord + 1, 'a')}) {
        EXPECT_FALSE(AddDictionaryWord(*page, bad)) << bad;
    }
    EXPECT_FALSE(fs::exists(UserDir() / "Dictionary.txt"));
    EXPECT_TRUE(AddDictionaryWord(*page, "wrold"));
    EXPECT_TRUE(AddDictionaryWord(*page, std::string(kMaxDictionaryWord, 'b')));
    EXPECT_EQ(ReadFile(UserDir() / "Dictionary.txt"), "wrold\r\n" + std::string(kMaxDictionaryWord, 'b') + "\r\n");
    // A full dictionary takes no more.
    WriteFile(UserDir() / "Dictionary.txt", std::string(kMaxDictionaryFile - 3, 'c'));
    EXPECT_FALSE(AddDictionaryWord(*page, "word"));
    EXPECT_EQ(fs::file_size(UserDir() / "Dictionary.txt"), kMaxDictionaryFile - 3);
}

TEST_F(SpellCheckTest, OptionsFollowTheLanguageListsAndTheUsersSettings)
{
    struct Case {
        const char* Ini;
        const char* User;
        const char* Language;
        const char* Text;
        bool Misspelled;
    };

    const Case cases[] = {
            {"", "", "en", "self-made", true},
            {"SplitWords=en\r\n", "", "en", "self-made", false},
            {"SplitWords=en\r\n", "", "en", "self-mad", true},
            {"", "", "en", "hello'world", true},
            {"SplitContractedWords=de; EN\r\n", "", "en", "hello'world", false},
            {"SplitContractedWords=en\r\n", "", "en", "hello'wrold", true},
            {"", "", "en", "WROLD", true},
            {"", "SpellCheckIgnoreAllCaps=Yes\r\n", "en", "WROLD X2Y", false},
            {"", "SpellCheckIgnoreAllCaps=Yes\r\n", "en", "Wrold", true},
            {"", "", "en", "wrold2", true},
            {"", "SpellCheckIgnoreMixedDigits=Yes\r\n", "en", "wrold2", false},
            // "fc" uses the French files and, by default, lets capitals lack their accents; "fr" does not.
            {"", "", "fc", "Ecole ECOLE école maison", false},
            {"", "", "fr", "Ecole", true},
            {"", "", "fc", "ecole", true}, // a small letter must have its accent
            {"NoAccentedCaps=fr\r\n", "", "fr", "Ecole", false},
            // Split and contracted words by the default lists: "fr" splits at apostrophes, "de" at hyphens.
            {"", "", "fr", "l'école", false},
            {"", "", "de",
             "Haus-Stra\xc3\x9f"
             "e",
             false},
            // Words are converted to the dictionary's character set; one it cannot hold is misspelled.
            {"", "", "de",
             "Stra\xc3\x9f"
             "e",
             false},
            {"", "", "de", "Haus\xe2\x82\xac", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.Ini) + c.User + c.Language + ": " + c.Text);
        WriteIni(std::string("[SpellCheck]\r\n") + c.Ini);
        WriteFile(UserDir() / "User.ini", std::string("[User]\r\n") + c.User);
        SetBody(c.Text);
        EXPECT_EQ(Check(c.Language), c.Misspelled);
    }
}

TEST_F(SpellCheckTest, SuggestionsComeBackInUtf8AndSplitOnesOnlyWhereAllowed)
{
    WriteDictionary("en_test", kEnglishAff, "3\na\nlot\nallot\n");
    WriteFile(Spell() / "Common.en", Dict("en_test") + "\n# changed\n"); // a changed lexicon file loads anew
    SetBody("alot");
    WriteIni("[SpellCheck]\r\nSuggestSplitWords=\r\n");
    auto lists = Lists(Render("en"));
    ASSERT_TRUE(lists.contains("WORD0"));
    EXPECT_EQ(std::count(lists["WORD0"].begin(), lists["WORD0"].end(), "a lot"), 0);
    WriteIni("");
    lists = Lists(Render("en"));
    EXPECT_EQ(std::count(lists["WORD0"].begin(), lists["WORD0"].end(), "a lot"), 1) << ::testing::PrintToString(lists);

    SetBody("Strase");
    lists = Lists(Render("de"));
    EXPECT_EQ(lists["WORD0"], (std::vector<std::string>{"Strase", "Stra\xc3\x9f"
                                                                  "e"}));
}

TEST_F(SpellCheckTest, TheLexiconFilesNameTheDictionary)
{
    // A missing or unusable lexicon: logged, message 32 on the page, the text shown without any list.
    for (const char* language : {"xx", "../en", "e n", "fi"}) {
        SCOPED_TRACE(language);
        WriteFile(Spell() / "Common.fi", "# only a comment\n");
        SetBody("wrold hello\r\n");
        auto page = Page();
        EXPECT_FALSE(SpellCheckBody(*page, language, SpellMode::Check));
        page->Logged.Lines.clear();
        m_session.Error.Clear();
        EXPECT_EQ(Render(language, page.get()), "wrold&nbsp;hello<BR>\r\n");
        EXPECT_EQ(ErrorText(), "No dictionary for this language.");
        ASSERT_EQ(page->Logged.Lines.size(), 1u);
        EXPECT_NE(page->Logged.Lines[0].find("Could not load spell check dictionary for"), std::string::npos)
                << page->Logged.Lines[0];
    }
    // A bare name is looked up among the system's dictionaries, a path that names nothing fails.
    const std::pair<std::string, bool> named[] = {
            {"en_US", true}, {"en_US/../en_US", false}, {Dict("missing"), false}, {"relative/en_test", false}};
    for (const auto& [name, loads] : named) {
        SCOPED_TRACE(name);
        WriteFile(Spell() / "Common.en", name + "\n");
        SetBody("wrold");
        auto page = Page();
        EXPECT_EQ(SpellCheckBody(*page, "en", SpellMode::Check), loads);
        EXPECT_EQ(page->Logged.Lines.empty(), loads);
    }
}

TEST_F(SpellCheckTest, WithoutTheLibraryEveryCheckPassesQuietly)
{
    SetHunspellLibraryName("libqm-no-such-spelling-library.so.0");
    SetBody("wrold mesage\r\n");
    auto page = Page();
    EXPECT_FALSE(SpellCheckBody(*page, "en", SpellMode::Check));
    EXPECT_EQ(Render("en", page.get()), "");
    EXPECT_TRUE(page->Logged.Lines.empty());
    EXPECT_EQ(ErrorText(), "");
    SetHunspellLibraryName(kHunspellLibraryName);
    EXPECT_TRUE(SpellCheckBody(*page, "en", SpellMode::Check));
}

TEST_F(SpellCheckTest, ABusyDictionaryEndsTheCheckQuietlyAfterItsWait)
{
    SpellerSession holder(Spell().string(), "en", {});
    ASSERT_EQ(holder.Status(), SpellerStatus::Ready);
    std::unique_lock<SpellLock> held = holder.Hold();
    ASSERT_TRUE(held.owns_lock());
    SpellerSession waiting(Spell().string(), "en", {}, std::chrono::milliseconds(20));
    ASSERT_EQ(waiting.Status(), SpellerStatus::Ready);
    EXPECT_FALSE(waiting.IsCorrect("wrold").has_value());
    EXPECT_FALSE(waiting.Suggest("wrold", 8).has_value());
    // Free again, the same dictionary answers.
    held.unlock();
    EXPECT_EQ(waiting.IsCorrect("wrold").value_or(true), false);
}

// A text of more misspelled words than a session may ask suggestions for: every word still gets its list, the
// ones past the budget with the word alone.
TEST_F(SpellCheckTest, SuggestionsStopAfterTheSessionsBudgetButEveryWordKeepsItsList)
{
    std::string body;
    for (std::size_t i = 0; i <= kMaxSpellSuggestCalls; ++i) {
        body += "wrold ";
    }
    SetBody(body + "\r\n");
    const auto lists = Lists(Render("en"));
    ASSERT_EQ(lists.size(), kMaxSpellSuggestCalls + 1);
    const std::vector<std::string>& first = lists.at("WORD0");
    EXPECT_NE(std::find(first.begin(), first.end(), "world"), first.end());
    EXPECT_EQ(lists.at("WORD" + std::to_string(kMaxSpellSuggestCalls)), std::vector<std::string>{"wrold"});
}

// Requests of many sessions check at once against one shared dictionary, while its lexicon file changes under
// them (every change loads the dictionary again): each answer stays right and no dictionary goes while in use.
TEST_F(SpellCheckTest, ManySessionsCheckAtOnceWhileTheDictionaryIsReloaded)
{
    constexpr int kThreads = 6;
    constexpr int kRounds = 40;
    std::atomic<int> wrong{0};
    std::atomic<bool> checking{true};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int round = 0; round < kRounds; ++round) {
                SpellerSession session(Spell().string(), "en", {});
                if (session.Status() != SpellerStatus::Ready || session.IsCorrect("world").value_or(false) != true ||
                    session.IsCorrect("wrold").value_or(true) != false) {
                    ++wrong;
                }
                const auto suggestions = session.Suggest("wrold", 8);
                if (!suggestions ||
                    std::find(suggestions->begin(), suggestions->end(), "world") == suggestions->end()) {
                    ++wrong;
                }
            }
        });
    }
    // The lexicon file is rewritten (a new stamp) again and again while the sessions run.
    std::thread writer([&] {
        for (int i = 0; checking.load() && i < 200; ++i) {
            // Written aside and renamed into place, as an editor saves it: a reader never sees half a file.
            WriteFile(Spell() / ".Common.en.new", "# version " + std::to_string(i) + "\n" + Dict("en_test") + "\n");
            fs::rename(Spell() / ".Common.en.new", Spell() / "Common.en");
        }
    });
    for (std::thread& thread : threads) {
        thread.join();
    }
    checking = false;
    writer.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST_F(SpellCheckTest, TheSystemsEnglishDictionarySuggestsTheRightWord)
{
    WriteFile(Spell() / "Common.en", "en_US\n");
    SetBody("Please recieve the message.\r\n");
    EXPECT_TRUE(Check("en"));
    const auto lists = Lists(Render("en"));
    ASSERT_TRUE(lists.contains("WORD1"));
    const std::vector<std::string>& options = lists.at("WORD1");
    EXPECT_EQ(options.front(), "recieve");
    EXPECT_LE(options.size(), 1 + kMaxSpellSuggestions);
    EXPECT_NE(std::find(options.begin(), options.end(), "receive"), options.end());
}

TEST(SpellCheckListTest, ALanguageIsInAListWhateverItsSeparatorsAndCase)
{
    struct Case {
        const char* List;
        const char* Language;
        bool In;
    };

    const Case cases[] = {
            {"de,fi", "de", true},    {"de,fi", "fi", true}, {"de,fi", "d", false}, {"fr, fc ;it", "FC", true},
            {"fr,,\tit", "it", true}, {"", "en", false},     {"en", "", false},     {"english", "en", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsLanguageInList(c.List, c.Language), c.In) << c.List << " / " << c.Language;
    }
}

} // namespace
} // namespace qm::engine
