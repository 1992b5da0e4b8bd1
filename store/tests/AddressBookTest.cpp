#include "store/AddressBook.h"

#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace qm::store {
namespace {

using Entries = std::vector<std::vector<std::string>>;

Entries EntriesOf(const AddressBook& book)
{
    Entries entries;
    for (int i = 0; i < book.Count(); ++i) {
        const AddressBookEntry& e = book.Item(i);
        entries.push_back({e.Name, e.EMail, e.Comment});
    }
    return entries;
}

class AddressBookTest : public ::testing::Test {
protected:
    test::TempDir m_dir;
};

TEST_F(AddressBookTest, LoadParsesLinesWithTwoTabs)
{
    struct Case {
        const char* Name;
        std::string File;
        Entries Want;
    };

    const Case cases[] = {
            {"one entry, CR LF", "Ann\tann@x.org\tfriend\r\n", {{"Ann", "ann@x.org", "friend"}}},
            {"bare LF and no final line end",
             "Ann\tann@x.org\tc\nBob\tbob@x.org\t",
             {{"Ann", "ann@x.org", "c"}, {"Bob", "bob@x.org", ""}}},
            {"one TAB is skipped", "Ann\tann@x.org\r\n", {}},
            {"two TABs with an empty comment", "Ann\tann@x.org\t\r\n", {{"Ann", "ann@x.org", ""}}},
            {"empty name and address", "\t\t\r\n", {{"", "", ""}}},
            {"comment lines", ";Ann\ta\tb\r\n#Bob\tb\tc\r\n", {}},
            {"a fourth field is dropped", "Ann\ta\tc\textra\tmore\r\n", {{"Ann", "a", "c"}}},
            {"blank lines", "\r\n\n", {}},
            {"8-bit bytes stay", "Jos\xE9\tj@x\t\xE9t\xE9\r\n", {{"Jos\xE9", "j@x", "\xE9t\xE9"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::string path = m_dir.WriteFile("book.txt", c.File);
        AddressBook book(path.c_str(), AddressBook::PathKind::File);
        EXPECT_EQ(EntriesOf(book), c.Want);
    }
}

TEST_F(AddressBookTest, ReadsTheUsersFileInADirectory)
{
    m_dir.WriteFile("AddrBook.txt", "Ann\tann@x.org\t\r\n");
    AddressBook book(m_dir.PathOf("").c_str(), AddressBook::PathKind::Directory);
    EXPECT_EQ(std::string(book.Path()), m_dir.PathOf("AddrBook.txt"));
    EXPECT_EQ(book.Count(), 1);

    const std::string dir = m_dir.PathOf("");
    AddressBook withoutSlash(dir.substr(0, dir.size() - 1).c_str(), AddressBook::PathKind::Directory);
    EXPECT_EQ(std::string(withoutSlash.Path()), m_dir.PathOf("AddrBook.txt"));
    EXPECT_EQ(withoutSlash.Count(), 1);

    AddressBook missing(m_dir.PathOf("nobody").c_str(), AddressBook::PathKind::Directory);
    EXPECT_EQ(missing.Count(), 0);
    EXPECT_FALSE(missing.Load());
    missing.AddEntry("Ann", "ann@x.org", "");
    EXPECT_FALSE(missing.Save()) << "the directory does not exist";
}

TEST_F(AddressBookTest, FindsTheFileWhateverTheCaseOfItsName)
{
    m_dir.WriteFile("addrbook.TXT", "Ann\tann@x.org\t\r\n");
    AddressBook book(m_dir.PathOf("").c_str(), AddressBook::PathKind::Directory);
    EXPECT_EQ(std::string(book.Path()), m_dir.PathOf("addrbook.TXT"));
    ASSERT_EQ(book.Count(), 1);
    book.AddEntry("Bob", "bob@x.org", "");
    ASSERT_TRUE(book.Save());
    EXPECT_FALSE(std::filesystem::exists(m_dir.PathOf("AddrBook.txt"))) << "no second book beside the first";
    EXPECT_EQ(test::TempDir::ReadFile(m_dir.PathOf("addrbook.TXT")), "Ann\tann@x.org\t\r\nBob\tbob@x.org\t\r\n");

    AddressBook byFile(m_dir.PathOf("ADDRBOOK.txt").c_str(), AddressBook::PathKind::File);
    EXPECT_EQ(byFile.Count(), 2);
}

TEST_F(AddressBookTest, BookWithoutPathNeitherLoadsNorSaves)
{
    AddressBook books[] = {{nullptr, AddressBook::PathKind::File},
                           {nullptr, AddressBook::PathKind::Directory},
                           {"", AddressBook::PathKind::File},
                           {"", AddressBook::PathKind::Directory},
                           {}};
    for (AddressBook& book : books) {
        EXPECT_EQ(book.Path(), nullptr);
        book.AddEntry("Ann", "ann@x.org", "");
        EXPECT_FALSE(book.Load());
        EXPECT_EQ(book.Count(), 0) << "Load drops the entries even without a file";
        book.AddEntry("Ann", "ann@x.org", "");
        EXPECT_FALSE(book.Save());
    }
}

TEST_F(AddressBookTest, SaveWritesTheFormatAndLoadReadsItBack)
{
    const std::string path = m_dir.PathOf("AddrBook.txt");
    AddressBook book(path.c_str(), AddressBook::PathKind::File);
    const std::string longComment(400, 'c');
    book.AddEntry("Ann", "ann@x.org", "friend");
    book.AddEntry("Bob", "bob@x.org", longComment.c_str());
    book.AddEntry(nullptr, "x@y", nullptr);
    ASSERT_TRUE(book.Save());
    EXPECT_EQ(test::TempDir::ReadFile(path),
              "Ann\tann@x.org\tfriend\r\nBob\tbob@x.org\t" + longComment + "\r\n\tx@y\t\r\n");

    AddressBook back(path.c_str(), AddressBook::PathKind::File);
    EXPECT_EQ(EntriesOf(back),
              (Entries{{"Ann", "ann@x.org", "friend"}, {"Bob", "bob@x.org", longComment}, {"", "x@y", ""}}));
}

TEST_F(AddressBookTest, SaveCleansFieldsSoThatNoneSplitsAnEntry)
{
    const std::string path = m_dir.PathOf("AddrBook.txt");
    AddressBook book(path.c_str(), AddressBook::PathKind::File);
    book.AddEntry("Ann\tSmith", "ann@x.org\r\nEve\tevil@x.org\t",
                  "a\x01"
                  "b\nc");
    book.AddEntry("#1 Friend", "f@x.org", "");
    book.AddEntry(";semi", "s@x.org", "");
    ASSERT_TRUE(book.Save());

    AddressBook back(path.c_str(), AddressBook::PathKind::File);
    EXPECT_EQ(EntriesOf(back), (Entries{{"Ann Smith", "ann@x.org  Eve evil@x.org ", "a b c"},
                                        {" #1 Friend", "f@x.org", ""},
                                        {" ;semi", "s@x.org", ""}}));
}

TEST(AddressBookSortTest, SortsByEachOrderWithItsTies)
{
    struct Case {
        const char* Order;
        std::vector<std::string> WantNames; // name/e-mail pairs joined by '|'
    };

    const Case cases[] = {
            {"Name", {"ann|b@x", "Ann|c@x", "bob|a@x", "Carl|a@x"}},
            {"name", {"ann|b@x", "Ann|c@x", "bob|a@x", "Carl|a@x"}},
            {"RevName", {"Carl|a@x", "bob|a@x", "ann|b@x", "Ann|c@x"}},
            {"EMail", {"bob|a@x", "Carl|a@x", "ann|b@x", "Ann|c@x"}},
            {"RevEMail", {"Ann|c@x", "ann|b@x", "bob|a@x", "Carl|a@x"}},
            {"Comment", {"Ann|c@x", "Carl|a@x", "ann|b@x", "bob|a@x"}},
            {"RevComment", {"bob|a@x", "ann|b@x", "Ann|c@x", "Carl|a@x"}},
            {"Unknown", {"ann|b@x", "Ann|c@x", "bob|a@x", "Carl|a@x"}},
            {"", {"bob|a@x", "Ann|c@x", "Carl|a@x", "ann|b@x"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Order);
        AddressBook book;
        book.AddEntry("bob", "a@x", "zz");
        book.AddEntry("Ann", "c@x", "a");
        book.AddEntry("Carl", "a@x", "a");
        book.AddEntry("ann", "b@x", "M");
        book.Sort(c.Order);
        std::vector<std::string> got;
        got.reserve(static_cast<std::size_t>(book.Count()));
        for (int i = 0; i < book.Count(); ++i) {
            got.push_back(book.Item(i).Name + "|" + book.Item(i).EMail);
        }
        EXPECT_EQ(got, c.WantNames);
    }
    AddressBook empty;
    empty.Sort(nullptr);
    empty.Sort("Name");
    EXPECT_EQ(empty.Count(), 0);
}

TEST_F(AddressBookTest, MergesTheGlobalBookIntoTheUsersAndSortsBoth)
{
    const std::string userDir = m_dir.PathOf("user");
    const std::string baseDir = m_dir.PathOf("base");
    std::filesystem::create_directories(userDir);
    std::filesystem::create_directories(baseDir);
    m_dir.WriteFile("user/AddrBook.txt", "Zed\tz@x\tmine\r\nAmy\tamy@x\t\r\n");
    m_dir.WriteFile("base/AddrBook.txt", "Bea\tbea@corp\tglobal\r\nAmy\tamy@corp\t\r\n");

    AddressBook user(userDir.c_str(), AddressBook::PathKind::Directory);
    const AddressBook global(baseDir.c_str(), AddressBook::PathKind::Directory);
    user.Merge(global);
    user.Sort("Name");
    EXPECT_EQ(EntriesOf(user), (Entries{{"Amy", "amy@corp", ""},
                                        {"Amy", "amy@x", ""},
                                        {"Bea", "bea@corp", "global"},
                                        {"Zed", "z@x", "mine"}}));
    EXPECT_EQ(global.Count(), 2) << "the merged book is unchanged";

    user.Merge(user);
    EXPECT_EQ(user.Count(), 8) << "a book merged with itself doubles";
}

} // namespace
} // namespace qm::store
