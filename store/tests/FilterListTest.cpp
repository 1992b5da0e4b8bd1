#include "store/FilterList.h"

#include "platform/IniFile.h"
#include "store/HeaderBlock.h"
#include "store/tests/StoreLogRecorder.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace qm::store {
namespace {

using Result = FilterList::AddResult;

std::string Describe(const FilterRule& r)
{
    return std::string(r.Active ? "Y" : "N") + " " + r.Header + " " + r.Operator + " [" + r.Text + "] [" + r.Folder +
           "]";
}

std::vector<std::string> RulesOf(const FilterList& list)
{
    std::vector<std::string> rules;
    for (int i = 0; i < list.Count(); ++i) {
        rules.push_back(Describe(list.Item(i)));
    }
    return rules;
}

HeaderBlock Headers(const std::vector<std::string>& lines)
{
    HeaderBlock block;
    for (const std::string& line : lines) {
        block.AddLine(line);
    }
    return block;
}

class FilterListTest : public ::testing::Test {
protected:
    std::string Ini(const std::string& text) const { return m_dir.WriteFile("User.ini", text); }

    test::TempDir m_dir;
};

TEST_F(FilterListTest, AddFromTextTable)
{
    struct Case {
        const char* Name;
        std::string Text;
        Result Want;
        const char* WantRule; // when added
    };

    const std::string longText(140, 't');
    const Case cases[] = {
            {"quoted text and nested folder", "Y S S \"Re: hello\" \"Lists\\Dev\"", Result::Added,
             "Y S S [Re: hello] [Lists/Dev]"},
            {"unquoted", "Y F C foo Some/Folder", Result::Added, "Y F C [foo] [Some/Folder]"},
            {"lower case letters", "y f c \"x\" \"F\"", Result::Added, "Y F C [x] [F]"},
            {"no blanks between letters", "YSC \"a\" \"b\"", Result::Added, "Y S C [a] [b]"},
            {"extra blanks", "  N  T  I  a   \"b c\"  ", Result::Added, "N T I [a] [b c]"},
            {"inactive for anything but Y", "X S C a b", Result::Added, "N S C [a] [b]"},
            {"quote inside a quoted text", "Y S C \"say \"hi\"\" \"F\"", Result::Added, "Y S C [say \"hi\"] [F]"},
            {"empty quoted text", "Y S C \"\" \"F\"", Result::Added, "Y S C [] [F]"},
            {"unknown letters kept", "Y Z Q a b", Result::Added, "Y Z Q [a] [b]"},
            {"long text cut", "Y S C \"" + longText + "\" \"F\"", Result::Added, nullptr}, // checked below
            {"line breaks become blanks", "Y S C \"a\r\nb\tc\x01\" \"F\"", Result::Added, "Y S C [a  b c ] [F]"},
            {"empty", "", Result::Malformed, nullptr},
            {"flag only", "Y", Result::Malformed, nullptr},
            {"no operator", "Y S", Result::Malformed, nullptr},
            {"no text", "Y S C  ", Result::Malformed, nullptr},
            {"no folder after quoted text", "Y S C \"abc\"", Result::Malformed, nullptr},
            {"no blank after unquoted text", "Y S C foo", Result::Malformed, nullptr},
            {"unclosed quoted folder", "Y S C a \"Folder", Result::Malformed, nullptr},
            {"empty quoted folder", "Y S C a \"\"", Result::Refused, nullptr},
            {"folder leaving the user directory", "Y S C a \"..\\etc\"", Result::Refused, nullptr},
            {"hidden folder", "Y S C a \".x\"", Result::Refused, nullptr},
            {"folder with a quote", "Y S C a \"a\"b\"", Result::Refused, nullptr},
            {"text with a quote and a blank, as a form builds it", "Y S C \"a\" b\" \"F\"", Result::Refused, nullptr},
            {"the same at the end of the text", "Y S C \"a\" \" \"F\"", Result::Refused, nullptr},
            {"folder too long", "Y S C a \"" + std::string(128, 'f') + "\"", Result::Refused, nullptr},
            {"dots inside a folder name", "Y S C a \"Archive..2024\\x..\"", Result::Added,
             "Y S C [a] [Archive..2024/x..]"},
            {"a level of dots", "Y S C a \"Archive\\..\\x\"", Result::Refused, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        FilterList list;
        EXPECT_EQ(list.AddFromText(c.Text), c.Want);
        EXPECT_EQ(list.Count(), c.Want == Result::Added ? 1 : 0);
        if (c.WantRule != nullptr && list.Count() == 1) {
            EXPECT_EQ(Describe(list.Item(0)), c.WantRule);
        }
    }

    FilterList list;
    ASSERT_EQ(list.AddFromText("Y S C \"" + longText + "\" \"F\""), Result::Added);
    EXPECT_EQ(list.Item(0).Text, std::string(FilterList::kMaxText, 't'));
}

TEST_F(FilterListTest, MatchTable)
{
    struct Case {
        const char* Rule;
        std::vector<std::string> Headers;
        const char* Mailbox;
        const char* Want;
    };

    const Case cases[] = {
            {"Y S S \"[dev]\" \"Lists\\Dev\"", {"Subject: [DEV] build"}, "", "Lists/Dev"},
            {"Y S S \"[dev]\" \"Lists\\Dev\"", {"Subject: Re: [dev] build"}, "", "Inbox"},
            {"N S C \"\" \"X\"", {"Subject: anything"}, "", "Inbox"},
            {"Y S C \"\" \"X\"", {}, "", "X"},
            {"Y S N \"\" \"X\"", {"Subject: a"}, "", "Inbox"},
            {"Y F E \"example.com\" \"X\"", {"From: Bob@EXAMPLE.COM"}, "", "X"},
            {"Y F E \"example.com\" \"X\"", {"From: a@example.com.evil.org"}, "", "Inbox"},
            {"Y F E \"example.com\" \"X\"", {"From: com"}, "", "Inbox"},
            {"Y M I \"work\" \"X\"", {}, "Work", "X"},
            {"Y M I \"work\" \"X\"", {}, "Work2", "Inbox"},
            {"Y T I \"a@b\" \"X\"", {"To: a@b.c"}, "", "Inbox"},
            {"Y C C \"list\" \"X\"", {"Cc: the-LIST@x"}, "", "X"},
            {"Y N S \"bounce\" \"X\"", {"Sender: Bounces@x"}, "", "X"},
            {"Y T N \"me\" \"X\"", {"To: you"}, "", "X"},
            {"Y T N \"me\" \"X\"", {"To: ME"}, "", "Inbox"},
            {"Y Z C \"\" \"X\"", {"Subject: a"}, "", "X"},
            {"Y Z C \"a\" \"X\"", {"Subject: a"}, "", "Inbox"},
            {"Y S Q \"a\" \"X\"", {"Subject: a"}, "", "Inbox"},
            {"Y S C \"a\" \"X\"", {"From: a"}, "", "Inbox"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Rule);
        FilterList list;
        ASSERT_EQ(list.AddFromText(c.Rule), Result::Added);
        EXPECT_EQ(list.Match(Headers(c.Headers), c.Mailbox, "Inbox"), c.Want);
    }
}

TEST_F(FilterListTest, FirstActiveMatchingRuleWins)
{
    FilterList list;
    ASSERT_EQ(list.AddFromText("N S C \"a\" \"Off\""), Result::Added);
    ASSERT_EQ(list.AddFromText("Y S C \"zzz\" \"Other\""), Result::Added);
    ASSERT_EQ(list.AddFromText("Y S C \"a\" \"First\""), Result::Added);
    ASSERT_EQ(list.AddFromText("Y S C \"a\" \"Second\""), Result::Added);
    EXPECT_EQ(list.Match(Headers({"Subject: a"}), "", "Inbox"), "First");
    EXPECT_EQ(list.Match(Headers({"Subject: b"}), "", "Trash"), "Trash");
}

TEST_F(FilterListTest, LoadReadsEveryKeyAndSaveRewritesTheSectionFromZero)
{
    const std::string path = Ini("[Filters]\r\n"
                                 "Filter5=Y S C \"b\" \"Second\"\r\n"
                                 "Filter0=Y S C \"a\" \"Lists\\Dev\"\r\n"
                                 "Filter7=\r\n"
                                 "Filter8=garbage\r\n"
                                 "Filter100=Y S C \"c\" \"Past\"\r\n"
                                 "\r\n"
                                 "[User]\r\n"
                                 "FullName=Ann\r\n");
    FilterList list;
    list.Load(path.c_str());
    EXPECT_EQ(RulesOf(list), (std::vector<std::string>{"Y S C [a] [Lists/Dev]", "Y S C [b] [Second]"}));

    EXPECT_EQ(list.Save(), 2);
    EXPECT_EQ(test::TempDir::ReadFile(path), "[User]\r\n"
                                             "FullName=Ann\r\n"
                                             "\r\n"
                                             "[Filters]\r\n"
                                             "Filter0=Y S C \"a\" \"Lists\\Dev\"\r\n"
                                             "Filter1=Y S C \"b\" \"Second\"\r\n"
                                             "Filter2=garbage\r\n");

    FilterList again;
    again.Load(path.c_str());
    EXPECT_EQ(RulesOf(again), RulesOf(list));
}

TEST_F(FilterListTest, AReaderNeverSeesTheRulesGoneWhileTheyAreSaved)
{
    const std::string path = Ini("[Filters]\r\nFilter0=Y S C \"a\" \"One\"\r\nFilter1=Y S C \"b\" \"Two\"\r\n");
    FilterList list;
    list.Load(path.c_str());
    ASSERT_EQ(list.Count(), 2);

    std::atomic<bool> done{false};
    std::atomic<int> emptyReads{0};
    std::thread reader([&] {
        FilterList seen;
        while (!done.load()) {
            seen.Load(path.c_str());
            if (seen.Count() != 2) {
                emptyReads.fetch_add(1);
            }
        }
    });
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(list.Save(), 2);
    }
    done.store(true);
    reader.join();
    EXPECT_EQ(emptyReads.load(), 0) << "a save must replace the rules in one step";
}

TEST_F(FilterListTest, SavingNoRulesRemovesTheSection)
{
    const std::string path = Ini("[User]\r\nFullName=Ann\r\n\r\n[Filters]\r\nFilter0=Y S C a b\r\n");
    FilterList list;
    list.Load(path.c_str());
    list.Clear();
    EXPECT_EQ(list.Save(), 0);
    EXPECT_EQ(test::TempDir::ReadFile(path), "[User]\r\nFullName=Ann\r\n");
}

TEST_F(FilterListTest, FullRuleOfMaximalLengthRoundTrips)
{
    const std::string path = m_dir.PathOf("User.ini");
    const std::string text(FilterList::kMaxText, 't');
    const std::string folder = std::string(60, 'a') + "/" + std::string(66, 'b');
    FilterList list;
    list.Load(path.c_str());
    ASSERT_EQ(list.AddFromText("Y S C \"" + text + "\" \"" + folder + "\""), Result::Added);
    EXPECT_EQ(FilterList::FormatRule(list.Item(0)).size(), 6 + 129 + 1 + 129);
    ASSERT_EQ(list.Save(), 1);

    FilterList again;
    again.Load(path.c_str());
    ASSERT_EQ(again.Count(), 1);
    EXPECT_EQ(again.Item(0).Text, text);
    EXPECT_EQ(again.Item(0).Folder, folder);
}

TEST_F(FilterListTest, ValuesWithLineBreaksAreCleanedNotSplit)
{
    const std::string path = m_dir.PathOf("User.ini");
    FilterList list;
    list.Load(path.c_str());
    ASSERT_EQ(list.AddFromText("Y S C \"a\tb\r\nFilter1=Y S C x Evil\x01\" \"F\""), Result::Added);
    ASSERT_EQ(list.Save(), 1);

    const std::string file = test::TempDir::ReadFile(path);
    EXPECT_EQ(file, "[Filters]\r\nFilter0=Y S C \"a b  Filter1=Y S C x Evil \" \"F\"\r\n");
    FilterList again;
    again.Load(path.c_str());
    EXPECT_EQ(RulesOf(again), (std::vector<std::string>{"Y S C [a b  Filter1=Y S C x Evil ] [F]"}));
}

TEST_F(FilterListTest, HoldsAtMostOneHundredRules)
{
    const std::string path = m_dir.PathOf("User.ini");
    FilterList list;
    list.Load(path.c_str());
    for (int i = 0; i < FilterList::kMaxRules; ++i) {
        ASSERT_EQ(list.AddFromText("Y S C \"r" + std::to_string(i) + "\" \"F\""), Result::Added);
    }
    EXPECT_EQ(list.AddFromText("Y S C \"one more\" \"F\""), Result::Full);
    EXPECT_EQ(list.Count(), FilterList::kMaxRules);
    ASSERT_EQ(list.Save(), FilterList::kMaxRules);

    FilterList again;
    again.Load(path.c_str());
    ASSERT_EQ(again.Count(), FilterList::kMaxRules);
    EXPECT_EQ(again.Item(99).Text, "r99");
}

// A value that is no rule here may be one to another program or a later version: it is reported and written back as
// it stood, in its place among the rules, whatever happens to the rules around it.
TEST_F(FilterListTest, ValuesThatAreNoRulesAreReportedAndKeptInTheirPlace)
{
    const std::string path = Ini("[Filters]\r\n"
                                 "Filter0=Y S C a \"First\"\r\n"
                                 "Filter1=  garbage  \r\n"
                                 "Filter2=Y S C b \".hidden\"\r\n"
                                 "Filter3=Y S C c \"Lists\\Dev\"\r\n"
                                 "Filter4=\"  padded  \"\r\n");
    test::StoreLogRecorder log;
    FilterList list;
    list.Load(path.c_str());
    EXPECT_EQ(RulesOf(list), (std::vector<std::string>{"Y S C [a] [First]", "Y S C [c] [Lists/Dev]"}));
    ASSERT_EQ(log.Lines.size(), 3u) << log.Text();
    for (const char* key : {"Filter1 ", "Filter2 ", "Filter4 "}) {
        EXPECT_NE(log.Text().find(path + ": key " + key), std::string::npos) << log.Text();
    }

    list.RemoveRule(0);
    ASSERT_EQ(list.AddFromText("Y S C d \"Last\""), Result::Added);
    ASSERT_EQ(list.Save(), 2);
    const std::string want = "Filter0=garbage\r\n"
                             "Filter1=Y S C b \".hidden\"\r\n"
                             "Filter2=Y S C \"c\" \"Lists\\Dev\"\r\n"
                             "Filter3=\"  padded  \"\r\n"
                             "Filter4=Y S C \"d\" \"Last\"\r\n";
    EXPECT_EQ(test::TempDir::ReadFile(path), "[Filters]\r\n" + want);

    // Folder changes and a cleared list leave them too.
    FilterList again;
    again.Load(path.c_str());
    EXPECT_TRUE(again.RemoveFolder("Lists"));
    again.Clear();
    ASSERT_EQ(again.Save(), 0);
    EXPECT_EQ(test::TempDir::ReadFile(path), "[Filters]\r\n"
                                             "Filter0=garbage\r\n"
                                             "Filter1=Y S C b \".hidden\"\r\n"
                                             "Filter2=\"  padded  \"\r\n");
}

TEST_F(FilterListTest, KeptValuesCountTowardsTheHundredKeys)
{
    std::string text = "[Filters]\r\nFilter0=garbage\r\n";
    for (int i = 1; i < FilterList::kMaxRules; ++i) {
        text += "Filter" + std::to_string(i) + "=Y S C r" + std::to_string(i) + " F\r\n";
    }
    const std::string path = Ini(text);
    FilterList list;
    list.Load(path.c_str());
    ASSERT_EQ(list.Count(), FilterList::kMaxRules - 1);
    EXPECT_EQ(list.AddFromText("Y S C \"one more\" \"F\""), Result::Full);
    ASSERT_EQ(list.Save(), FilterList::kMaxRules - 1);
    FilterList again;
    again.Load(path.c_str());
    EXPECT_EQ(again.Count(), FilterList::kMaxRules - 1);
    EXPECT_EQ(platform::IniRead(path, FilterList::kSection, "Filter0"), "garbage");
}

TEST_F(FilterListTest, RenameFolderRewritesTheFolderAndEverythingBelowIt)
{
    const std::string path = Ini("[Filters]\r\n"
                                 "Filter0=Y S C a \"Lists\"\r\n"
                                 "Filter1=Y S C b \"lists\\Dev\"\r\n"
                                 "Filter2=Y S C c \"Lists-old\"\r\n"
                                 "Filter3=Y S C d \"Other\"\r\n");
    FilterList list;
    list.Load(path.c_str());
    EXPECT_TRUE(list.RenameFolder("Lists", "Old"));
    const std::vector<std::string> want = {"Y S C [a] [Old]", "Y S C [b] [Old/Dev]", "Y S C [c] [Lists-old]",
                                           "Y S C [d] [Other]"};
    EXPECT_EQ(RulesOf(list), want);

    FilterList saved;
    saved.Load(path.c_str());
    EXPECT_EQ(RulesOf(saved), want) << "the change is saved";

    EXPECT_FALSE(list.RenameFolder("Nothing", "Else"));
    // A subfolder whose name would pass the limit keeps its old name.
    EXPECT_TRUE(list.RenameFolder("Old", std::string(124, 'n')));
    EXPECT_EQ(list.Item(0).Folder, std::string(124, 'n'));
    EXPECT_EQ(list.Item(1).Folder, "Old/Dev");
}

TEST_F(FilterListTest, RemoveFolderDeletesItsRulesAndSaves)
{
    const std::string path = Ini("[Filters]\r\n"
                                 "Filter0=Y S C a \"Lists\"\r\n"
                                 "Filter1=Y S C b \"Lists\\Dev\"\r\n"
                                 "Filter2=Y S C c \"Lists-old\"\r\n");
    FilterList list;
    list.Load(path.c_str());
    EXPECT_TRUE(list.RemoveFolder("LISTS"));
    EXPECT_EQ(RulesOf(list), (std::vector<std::string>{"Y S C [c] [Lists-old]"}));
    EXPECT_FALSE(list.RemoveFolder("Lists"));

    FilterList saved;
    saved.Load(path.c_str());
    EXPECT_EQ(RulesOf(saved), RulesOf(list));
}

TEST_F(FilterListTest, WithoutAFileNothingIsReadOrWritten)
{
    FilterList list;
    list.Load(nullptr);
    ASSERT_EQ(list.AddFromText("Y S C a b"), Result::Added);
    EXPECT_EQ(list.Save(), -1);

    const std::string path = Ini("[Filters]\r\nFilter0=Y S C a b\r\n");
    list.Load(path.c_str());
    list.Load(nullptr);
    EXPECT_EQ(list.Count(), 1) << "a null path reads the file given before";
    EXPECT_EQ(list.Path(), path);

    list.RemoveRule(0);
    EXPECT_EQ(list.Count(), 0);
}

} // namespace
} // namespace qm::store
