#include "store/FolderList.h"

#include "store/StoreSeams.h"
#include "store/tests/StoreLogRecorder.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace qm::store {
namespace {

namespace fs = std::filesystem;

using Names = std::vector<std::string>;

Names NamesOf(const FolderList& list)
{
    Names names;
    for (int i = 0; i < list.Count(); ++i) {
        names.push_back(list.Item(i).Name());
    }
    return names;
}

// Every path below root, relative and sorted, for checking what an operation created or left.
Names TreeOf(const fs::path& root)
{
    Names paths;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        paths.push_back(fs::relative(e.path(), root).string());
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

// Language texts 1 to 5 of "de" and "fr" (1 is the language's name); nothing for other languages.
class FakeTexts : public LanguageTexts {
public:
    const char* GetLanguageText(int number, const char* language) const override
    {
        static const char* const kGerman[] = {"", "Deutsch", "Posteingang", "Entw\xFCrfe", "Gesendet", "Papierkorb"};
        static const char* const kFrench[] = {"",           "Fran\347ais", "R\351ception",
                                              "Brouillons", "Envoy\xE9s",  "Corbeille"};
        if (number < 1 || number > 5) {
            return "";
        }
        if (std::string(language) == "de") {
            return kGerman[number];
        }
        if (std::string(language) == "fr") {
            return kFrench[number];
        }
        return "";
    }
};

class FolderListTest : public ::testing::Test {
protected:
    // The user directory lies inside the temporary directory, so that anything created beside it shows.
    FolderListTest()
        : m_user(m_dir.PathOf("user"))
    {
        fs::create_directory(m_user);
    }

    void MakeDirs(const Names& names) const
    {
        for (const std::string& name : names) {
            fs::create_directories(fs::path(m_user) / name);
        }
    }

    test::TempDir m_dir;
    std::string m_user;
};

TEST_F(FolderListTest, NewUserDirectoryGetsTheSpecialFolders)
{
    FolderList list(m_user, nullptr);
    EXPECT_EQ(NamesOf(list), (Names{"Inbox", "Drafts", "Sent", "Trash"}));
    EXPECT_EQ(TreeOf(m_user), (Names{"Drafts", "Inbox", "Sent", "Trash"}));
    EXPECT_EQ(list.Language(), "en");
    EXPECT_EQ(list.SelectedIndex(), -1);
}

TEST_F(FolderListTest, SortsSpecialGroupsFirstAndSubfoldersRightAfterTheirParent)
{
    MakeDirs({"Archive", "Inbox/Sub", "Sent/x", "aaa", "Inboxes", "Lists/Dev", "Lists-old", "_misc", "Trash/Old",
              "Drafts/b/c"});
    FolderList list(m_user, nullptr);
    EXPECT_EQ(NamesOf(list),
              (Names{"Inbox", "Inbox/Sub", "Drafts", "Drafts/b", "Drafts/b/c", "Sent", "Sent/x", "Trash", "Trash/Old",
                     "_misc", "aaa", "Archive", "Inboxes", "Lists", "Lists/Dev", "Lists-old"}));
}

TEST_F(FolderListTest, CompareFoldersTable)
{
    struct Case {
        const char* A;
        const char* B;
        int Want; // sign
    };

    const Case cases[] = {
            {"Trash", "Archive", -1},
            {"Inbox/Sub", "Drafts", -1},
            {"Inbox", "Inbox/Sub", -1},
            {"Sent/x", "Trash", -1},
            {"Sent", "Sent/x", -1},
            {"inbox", "INBOX", 0},
            {"Lists/Dev", "Lists-old", -1},
            {"_a", "a", -1},
            {"b", "A", 1},
            {"SentItems", "Sent/x", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.A) + " vs " + c.B);
        const int got = CompareFolders(c.A, c.B);
        EXPECT_EQ((got > 0) - (got < 0), c.Want);
        EXPECT_EQ((CompareFolders(c.B, c.A) > 0) - (CompareFolders(c.B, c.A) < 0), -c.Want);
    }
}

TEST_F(FolderListTest, NameHelpers)
{
    EXPECT_TRUE(IsSpecialFolder("inbox"));
    EXPECT_TRUE(IsSpecialFolder("TRASH"));
    EXPECT_FALSE(IsSpecialFolder("Inbox/Sub"));
    EXPECT_FALSE(IsSpecialFolder("Inboxes"));

    EXPECT_TRUE(IsFolderOrBelow("Lists", "lists"));
    EXPECT_TRUE(IsFolderOrBelow("Lists/Dev", "LISTS"));
    EXPECT_FALSE(IsFolderOrBelow("Lists-old", "Lists"));
    EXPECT_FALSE(IsFolderOrBelow("List", "Lists"));

    EXPECT_TRUE(IsStrictlyBelow("Lists", "lists/Dev"));
    EXPECT_FALSE(IsStrictlyBelow("Lists", "Lists"));
    EXPECT_FALSE(IsStrictlyBelow("Lists", "Listsx/Dev"));
}

TEST_F(FolderListTest, EntryNamesAndDisplayNames)
{
    MakeDirs({"Inbox/Sub/Deep", "Work"});
    FolderList list(m_user, nullptr);

    const FolderEntry* sub = list.Find("inbox/sub");
    ASSERT_NE(sub, nullptr);
    EXPECT_EQ(sub->Name(), "Inbox/Sub");
    EXPECT_EQ(sub->DisplayName(), "  Sub");
    EXPECT_EQ(sub->GetDepth(), 1);
    EXPECT_EQ(sub->GetLeafName(), "Sub");
    EXPECT_EQ(sub->GetShortName(), "Sub");
    EXPECT_EQ(sub->GetParentName(), "Inbox");
    EXPECT_EQ(sub->GetPath(), m_user + "/Inbox/Sub");
    EXPECT_TRUE(sub->HasSubfolders());

    const FolderEntry* deep = list.Find("Inbox/Sub/Deep");
    ASSERT_NE(deep, nullptr);
    EXPECT_EQ(deep->DisplayName(), "    Deep");
    EXPECT_FALSE(deep->HasSubfolders());

    const FolderEntry* work = list.Find("WORK");
    ASSERT_NE(work, nullptr);
    EXPECT_EQ(work->DisplayName(), "Work");
    EXPECT_EQ(work->GetShortName(), "Work");
    EXPECT_EQ(work->GetParentName(), "");
    EXPECT_EQ(list.Find("Inbox")->DisplayName(), "Inbox");
}

TEST_F(FolderListTest, SpecialFoldersTakeTheirNamesFromTheLanguageTexts)
{
    MakeDirs({"Inbox/Sub"});
    const FakeTexts texts;
    FolderList list(m_user, "de", &texts);
    EXPECT_EQ(list.Find("Inbox")->DisplayName(), "Posteingang");
    EXPECT_EQ(list.Find("Drafts")->DisplayName(), "Entw\xFCrfe");
    EXPECT_EQ(list.Find("Sent")->DisplayName(), "Gesendet");
    EXPECT_EQ(list.Find("Trash")->DisplayName(), "Papierkorb");
    EXPECT_EQ(list.Find("Trash")->GetShortName(), "Papierkorb");
    EXPECT_EQ(list.Find("Inbox/Sub")->DisplayName(), "  Sub");

    list.SetLanguage("fr");
    EXPECT_EQ(list.Language(), "fr");
    EXPECT_EQ(list.Find("Sent")->DisplayName(), "Envoy\xE9s");

    list.SetLanguage("FR");
    EXPECT_EQ(list.Language(), "fr") << "a code that differs only in case changes nothing";

    // A language without texts shows the folders' own names; codes are cut to four characters.
    list.SetLanguage("xx-long");
    EXPECT_EQ(list.Language(), "xx-l");
    EXPECT_EQ(list.Find("Sent")->DisplayName(), "Sent");
}

TEST_F(FolderListTest, CreateMakesTheDirectoryAndAppendsTheEntry)
{
    FolderList list(m_user, nullptr);
    EXPECT_TRUE(list.Create("Work"));
    EXPECT_TRUE(fs::is_directory(fs::path(m_user) / "Work"));
    EXPECT_EQ(list.Item(list.Count() - 1).Name(), "Work");

    EXPECT_TRUE(list.Create("Work")) << "an existing folder is success";
    EXPECT_TRUE(list.Create("work/Sub"));
    EXPECT_TRUE(fs::is_directory(fs::path(m_user) / "Work/Sub")) << "the parent's real spelling is used";
    EXPECT_NE(list.Find("Work/Sub"), nullptr);
    EXPECT_TRUE(list.Exists("WORK/sub"));
    EXPECT_FALSE(list.Exists("Work/Other"));
}

TEST_F(FolderListTest, CreateTakesACaseTwinAsTheSameFolder)
{
    MakeDirs({"Work"});
    FolderList list(m_user, nullptr);
    const int count = list.Count();
    EXPECT_TRUE(list.Create("WORK"));
    EXPECT_EQ(list.Count(), count);
    EXPECT_EQ(TreeOf(m_user), (Names{"Drafts", "Inbox", "Sent", "Trash", "Work"}));
}

TEST_F(FolderListTest, CreateFailures)
{
    MakeDirs({"Work"});
    std::ofstream(fs::path(m_user) / "plain") << "x";
    FolderList list(m_user, nullptr);
    const int count = list.Count();
    EXPECT_FALSE(list.Create("a+b"));
    EXPECT_FALSE(list.Create("Work/a+b"));
    EXPECT_FALSE(list.Create("Missing/Sub")) << "the parent must exist";
    EXPECT_FALSE(list.Create("plain")) << "a file of that name is no folder";
    EXPECT_EQ(list.Count(), count);
    EXPECT_EQ(TreeOf(m_user), (Names{"Drafts", "Inbox", "Sent", "Trash", "Work", "plain"}));
}

TEST_F(FolderListTest, HostileNamesAreRefusedAndTouchNothing)
{
    MakeDirs({"Work", "Inbox/Sub"});
    fs::create_directory(m_dir.PathOf("outside"));
    FolderList list(m_user, nullptr);
    const Names before = TreeOf(m_dir.PathOf(""));

    const std::string longName(128, 'a');
    const char* const hostile[] = {"..",    "../x", "a/../b", "/x", "a//b", ".x", "Work/.x", "a\001b",  "a\tb",
                                   "a\x7f", "a\\b", "..\\x",  "a/", "x/.",  ".",  "",        "Work/..", "../outside/x"};
    for (const char* name : hostile) {
        SCOPED_TRACE(std::string("name \"") + name + "\"");
        EXPECT_FALSE(IsValidFolderName(name));
        EXPECT_FALSE(list.Create(name));
        EXPECT_EQ(list.Rename("Work", name), nullptr);
        EXPECT_FALSE(list.AddEntry(name));
        EXPECT_FALSE(list.Exists(name));
    }
    EXPECT_FALSE(IsValidFolderName(longName));
    EXPECT_FALSE(list.Create(longName));
    EXPECT_EQ(list.Rename("Work", longName), nullptr);

    EXPECT_EQ(TreeOf(m_dir.PathOf("")), before);
    EXPECT_NE(list.Find("Work"), nullptr);

    // The longest name that passes.
    const std::string longest(127, 'b');
    EXPECT_TRUE(IsValidFolderName(longest));
    EXPECT_TRUE(list.Create(longest));
    EXPECT_TRUE(IsValidFolderName("Caf\xE9/Ann's mail (old)"));
}

TEST_F(FolderListTest, LinksBelowTheUserDirectoryAreNeitherListedNorFollowed)
{
    fs::create_directory(m_dir.PathOf("outside"));
    fs::create_directory_symlink(m_dir.PathOf("outside"), fs::path(m_user) / "link");
    FolderList list(m_user, nullptr);
    EXPECT_EQ(list.Find("link"), nullptr);
    EXPECT_FALSE(list.Exists("link"));
    EXPECT_FALSE(list.Create("link/x"));
    EXPECT_FALSE(list.Create("link")) << "the link's name is taken";
    EXPECT_TRUE(fs::is_empty(m_dir.PathOf("outside")));
}

TEST_F(FolderListTest, RefreshLeavesOutHiddenAndUnusableNames)
{
    MakeDirs({".hidden/x", "Work/.cache", "bad\\name", "ok", "Archive..2024/x.."});
    fs::create_directories(fs::path(m_user) / std::string(100, 'd') / std::string(30, 'e'));
    FolderList list(m_user, nullptr);
    EXPECT_EQ(NamesOf(list), (Names{"Inbox", "Drafts", "Sent", "Trash", "Archive..2024", "Archive..2024/x..",
                                    std::string(100, 'd'), "ok", "Work"}));
}

// What Refresh cannot list as a folder is reported once per listing and stays on disk, contents and all, whatever
// the list does to the folders around it.
TEST_F(FolderListTest, DirectoriesThatAreNoFoldersAreReportedAndLeftAsTheyAre)
{
    const std::string tooLong = std::string(100, 'd') + "/" + std::string(30, 'e');
    MakeDirs({"bad\\name/inner", "Work/ctl\x01name", tooLong, ".hidden"});
    for (const std::string& dir : {std::string("bad\\name/inner"), std::string("Work/ctl\x01name"), tooLong}) {
        std::ofstream(fs::path(m_user) / dir / "QM000001.msg") << "mail";
    }
    test::StoreLogRecorder log;
    FolderList list(m_user, nullptr);
    const Names before = TreeOf(m_user);

    ASSERT_EQ(log.Lines.size(), 3u) << log.Text();
    EXPECT_NE(log.Text().find(m_user + ": directory \"bad\\name\""), std::string::npos) << log.Text();
    EXPECT_NE(log.Text().find("\"Work/ctl\\x01name\""), std::string::npos) << "control bytes are escaped";
    EXPECT_NE(log.Text().find("\"" + tooLong + "\""), std::string::npos);
    EXPECT_EQ(log.Text().find(".hidden"), std::string::npos) << "hidden directories are not reported";

    EXPECT_FALSE(list.Remove("Work")) << "it holds a directory that is no folder";
    EXPECT_FALSE(list.Remove(std::string(100, 'd')));
    ASSERT_TRUE(list.Create("New"));
    ASSERT_TRUE(list.Remove("New"));
    ASSERT_TRUE(list.Refresh());
    EXPECT_EQ(TreeOf(m_user), before);

    // A rename moves the unlisted directory along with its parent, contents and all.
    ASSERT_NE(list.Rename("Work", "Job"), nullptr);
    EXPECT_EQ(test::TempDir::ReadFile(m_user + "/Job/ctl\x01name/QM000001.msg"), "mail");
}

TEST_F(FolderListTest, RefreshOfAMissingUserDirectoryFailsAndSelectsNothing)
{
    FolderList list(m_dir.PathOf("nobody"), nullptr);
    EXPECT_EQ(list.Count(), 0);
    EXPECT_FALSE(list.Refresh());
    EXPECT_EQ(list.GetSelected(), nullptr);
    list.SetSelectedIndex(3);
    EXPECT_EQ(list.GetSelected(), nullptr);
    EXPECT_FALSE(fs::exists(m_dir.PathOf("nobody")));
}

TEST_F(FolderListTest, SelectAndGetSelected)
{
    MakeDirs({"Work"});
    FolderList list(m_user, nullptr);
    EXPECT_EQ(list.GetSelected()->Name(), "Inbox") << "no selection gives the first entry";
    EXPECT_EQ(list.Select("sent"), 2);
    EXPECT_EQ(list.GetSelected()->Name(), "Sent");
    EXPECT_EQ(list.Select("nothing"), -1);
    EXPECT_EQ(list.GetSelected()->Name(), "Inbox");
    list.SetSelectedIndex(99);
    EXPECT_EQ(list.GetSelected()->Name(), "Inbox");
}

TEST_F(FolderListTest, RenameMovesTheFolderWithItsSubfolders)
{
    MakeDirs({"Lists/Dev/Old"});
    std::ofstream(fs::path(m_user) / "Lists/Dev/QM000001.msg") << "x";
    FolderList list(m_user, nullptr);
    FolderEntry* renamed = list.Rename("lists", "Inbox/Archive");
    ASSERT_NE(renamed, nullptr);
    EXPECT_EQ(renamed->Name(), "Inbox/Archive");
    EXPECT_EQ(NamesOf(list), (Names{"Inbox", "Inbox/Archive", "Inbox/Archive/Dev", "Inbox/Archive/Dev/Old", "Drafts",
                                    "Sent", "Trash"}));
    EXPECT_TRUE(fs::exists(fs::path(m_user) / "Inbox/Archive/Dev/QM000001.msg"));
    EXPECT_FALSE(fs::exists(fs::path(m_user) / "Lists"));
}

TEST_F(FolderListTest, RenameThatChangesOnlyTheCaseIsAllowed)
{
    MakeDirs({"work/Sub"});
    FolderList list(m_user, nullptr);
    FolderEntry* renamed = list.Rename("work", "Work");
    ASSERT_NE(renamed, nullptr);
    EXPECT_EQ(renamed->Name(), "Work");
    EXPECT_TRUE(fs::is_directory(fs::path(m_user) / "Work/Sub"));
    EXPECT_FALSE(fs::exists(fs::path(m_user) / "work"));

    ASSERT_NE(list.Rename("Work", "Work"), nullptr) << "the same spelling changes nothing";
    EXPECT_TRUE(fs::is_directory(fs::path(m_user) / "Work/Sub"));
}

TEST_F(FolderListTest, RenameFailuresChangeNothing)
{
    MakeDirs({"A/B", "Other", "Work"});
    FolderList list(m_user, nullptr);
    const Names names = NamesOf(list);
    const Names tree = TreeOf(m_user);

    struct Case {
        const char* Old;
        const char* New;
    };

    const std::string tooLongForB(126, 'z'); // "A" -> 126 characters makes "<126>/B" 128 long
    const Case cases[] = {
            {"Sent", "Sent2"},   {"Work", "Inbox"},       {"Work", "trash"}, {"A", "A/B"},
            {"A", "a/C"},        {"Work", "Other"},       {"Work", "OTHER"}, {"Work", "W+k"},
            {"Nothing", "Else"}, {"Work", "Missing/Sub"}, {"Work", "A/B"},   {"A", tooLongForB.c_str()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.Old) + " -> " + c.New);
        EXPECT_EQ(list.Rename(c.Old, c.New), nullptr);
    }
    EXPECT_EQ(NamesOf(list), names);
    EXPECT_EQ(TreeOf(m_user), tree);

    ASSERT_NE(list.Rename("A", std::string(125, 'y')), nullptr) << "one shorter fits";
}

TEST_F(FolderListTest, RemoveTakesOnlyEmptyNonSpecialFolders)
{
    MakeDirs({"Full/Sub", "Mail", "Empty"});
    std::ofstream(fs::path(m_user) / "Mail/QM000001.msg") << "x";
    FolderList list(m_user, nullptr);

    EXPECT_FALSE(list.Remove("Sent"));
    EXPECT_FALSE(list.Remove("Nothing"));
    EXPECT_FALSE(list.Remove("Full")) << "it holds a folder";
    EXPECT_FALSE(list.Remove("Mail")) << "it holds a file";
    EXPECT_NE(list.Find("Mail"), nullptr);

    EXPECT_TRUE(list.Remove("EMPTY"));
    EXPECT_EQ(list.Find("Empty"), nullptr);
    EXPECT_FALSE(fs::exists(fs::path(m_user) / "Empty"));
    EXPECT_TRUE(list.Remove("Full/Sub"));
    EXPECT_TRUE(list.Remove("Full"));
}

TEST_F(FolderListTest, RemoveMovesTheSelection)
{
    MakeDirs({"a", "b", "c"});

    struct Case {
        const char* Selected;
        const char* Removed;
        const char* WantSelected; // null: no selection
    };

    const Case cases[] = {
            {"b", "b", nullptr},
            {"c", "a", "c"},
            {"a", "c", "a"},
            {"Inbox", "a", "Inbox"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("selected ") + c.Selected + ", removed " + c.Removed);
        MakeDirs({"a", "b", "c"});
        FolderList list(m_user, nullptr);
        list.Select(c.Selected);
        ASSERT_TRUE(list.Remove(c.Removed));
        if (c.WantSelected == nullptr) {
            EXPECT_EQ(list.SelectedIndex(), -1);
        } else {
            ASSERT_GE(list.SelectedIndex(), 0);
            EXPECT_EQ(list.Item(list.SelectedIndex()).Name(), c.WantSelected);
        }
    }
}

} // namespace
} // namespace qm::store
