#include "store/MessageIndex.h"

#include "store/FolderList.h"
#include "store/tests/StoreLogRecorder.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qm::store {
namespace {

// One line of the current layout: eleven fields, each ended by 0x01, and CR LF.
std::string Line(const std::vector<std::string>& fields)
{
    std::string line;
    for (const std::string& f : fields) {
        line += f;
        line += '\x01';
    }
    return line + "\r\n";
}

class MessageIndexTest : public ::testing::Test {
protected:
    std::string IndexPath() const { return m_dir / kMessageIndexFile; }

    std::string UserDir() const { return m_dir.Path().string(); }

    test::TempDir m_dir{"qm-msgidx"};
};

TEST_F(MessageIndexTest, LoadThenSaveRewritesTheExactBytes)
{
    const std::string bytes = "42\n" +
                              Line({"uid-1", "Work", "a@x.com", "\"B\" <b@y.com>", "Hello", "1700000000", "1234", "7",
                                    "QM000007", "Inbox", "133"}) +
                              Line({"", "", "c@z.com", "d@z.com", "Re: \xc3\xa9t\xc3\xa9", "4102444800", "4294967295",
                                    "41", "QM000041", "Archive\\2024\\Jan", "0"});
    m_dir.WriteFile(kMessageIndexFile, bytes);

    MessageIndex index(UserDir());
    ASSERT_EQ(index.Count(), 2);
    EXPECT_TRUE(index.Dirty());
    EXPECT_EQ(index.PeekNextNumber(), 42u);
    const MessageIndexEntry& first = *index.Entry(0);
    EXPECT_EQ(first.Uid(), "uid-1");
    EXPECT_EQ(first.Mailbox(), "Work");
    EXPECT_EQ(first.From(), "\"B\" <b@y.com>");
    EXPECT_EQ(first.Date(), 1700000000);
    EXPECT_EQ(first.Size(), 1234);
    EXPECT_EQ(first.Number(), 7u);
    EXPECT_EQ(first.Flags(), MessageFlag::New | MessageFlag::Read | MessageFlag::Stored);
    const MessageIndexEntry& second = *index.Entry(1);
    EXPECT_EQ(second.Folder(), "Archive/2024/Jan");
    EXPECT_EQ(second.Date(), 4102444800) << "a date after 2038 is kept";
    EXPECT_EQ(second.GetMessagePath(), UserDir() + "/Archive/2024/Jan/QM000041.msg");
    EXPECT_EQ(second.GetPartIndexPath(), UserDir() + "/Archive/2024/Jan/QM000041.att");

    // An unchanged index is still written: remove the file and let Save bring it back byte for byte.
    std::filesystem::remove(IndexPath());
    ASSERT_TRUE(index.Save());
    EXPECT_FALSE(index.Dirty());
    EXPECT_EQ(test::ReadBytes(IndexPath()), bytes);

    // Not dirty: nothing is written.
    std::filesystem::remove(IndexPath());
    ASSERT_TRUE(index.Save());
    EXPECT_FALSE(std::filesystem::exists(IndexPath()));
}

TEST_F(MessageIndexTest, MissingFileGivesAnEmptyIndexThatSavesTheCounter)
{
    MessageIndex index(UserDir());
    EXPECT_EQ(index.Count(), 0);
    EXPECT_EQ(index.PeekNextNumber(), 1u);
    EXPECT_FALSE(index.Load());
    MessageIndexEntry& e = *index.NewEntry();
    EXPECT_EQ(e.Number(), 0u);
    EXPECT_EQ(e.Folder(), "");
    const std::uint32_t n = index.NextNumber();
    e.SetNumber(n);
    e.SetFileId(MessageFileId(n));
    e.SetFolder("Inbox/Sub");
    e.SetSubject("a\tb\r\nc\x01"
                 "d");
    ASSERT_TRUE(index.Save());
    EXPECT_EQ(test::ReadBytes(IndexPath()),
              "2\n" + Line({"", "", "", "", "a b  c d", "0", "0", "1", "QM000001", "Inbox\\Sub", "0"}));
    // Nothing but the index file is left in the directory (the temporary file was renamed).
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(m_dir.Path()), {}), 1);
}

TEST_F(MessageIndexTest, InputLinesByTheirSeparatorCount)
{
    // The old layout: 1 Uid, 2 Mailbox, 3 To, 4 From, 5 Subject, 6 and 7 ignored, 8 Date, 9 Size, 10 attachments,
    // 11 Number, 12 FileId, 13 Folder, 14 stored, 15 read, 16 draft.
    auto oldLine = [](const std::string& flags, int extra) {
        std::string line = "ou\x01mb\x01to\x01"
                           "fr\x01sub\x01x\x01y\x01"
                           "99\x01"
                           "55\x01" +
                           flags.substr(0, 1) +
                           "\x01"
                           "5\x01QM000005\x01"
                           "Old\\Nested\x01" +
                           flags.substr(1, 1) + "\x01" + flags.substr(2, 1) + "\x01" + flags.substr(3, 1) + "\x01";
        for (int i = 0; i < extra; ++i) {
            line += "z\x01";
        }
        return line + "\r\n";
    };

    struct Case {
        const char* Name;
        std::string Line;
        bool Kept;
        std::uint32_t Flags;
    };

    const std::string current = Line({"u", "m", "t", "f", "s", "10", "20", "3", "QM000003", "Inbox", "5"});
    const std::string twelve = current.substr(0, current.size() - 2) + "extra\x01\r\n";
    const std::string ten = Line({"u", "m", "t", "f", "s", "10", "20", "3", "QM000003", "Inbox"});
    const Case cases[] = {
            {"11 separators", current, true, 5},
            {"12 separators", twelve, false, 0},
            {"10 separators", ten, false, 0},
            {"empty line", "\r\n", false, 0},
            {"16 separators, none set", oldLine("NNNN", 0), true, 0},
            {"16 separators, attachments", oldLine("YNNN", 0), true, MessageFlag::HasAttachments},
            {"16 separators, stored", oldLine("NYNN", 0), true, MessageFlag::Stored},
            {"16 separators, read", oldLine("NNYN", 0), true, MessageFlag::Read},
            {"16 separators, draft", oldLine("NNNY", 0), true, MessageFlag::Draft},
            {"17 separators, all", oldLine("YYYY", 1), true,
             MessageFlag::HasAttachments | MessageFlag::Stored | MessageFlag::Read | MessageFlag::Draft},
            {"18 separators", oldLine("YYYY", 2), false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        m_dir.WriteFile(kMessageIndexFile, "9\n" + c.Line);
        MessageIndex index(UserDir());
        ASSERT_EQ(index.Count(), c.Kept ? 1 : 0);
        if (!c.Kept) {
            continue;
        }
        const MessageIndexEntry& e = *index.Entry(0);
        EXPECT_EQ(e.Flags(), c.Flags);
        if (c.Line == current) {
            EXPECT_EQ(e.Folder(), "Inbox");
            EXPECT_EQ(e.Number(), 3u);
            continue;
        }
        EXPECT_EQ(e.Uid(), "ou");
        EXPECT_EQ(e.Mailbox(), "mb");
        EXPECT_EQ(e.To(), "to");
        EXPECT_EQ(e.From(), "fr");
        EXPECT_EQ(e.Subject(), "sub");
        EXPECT_EQ(e.Date(), 99);
        EXPECT_EQ(e.Size(), 55);
        EXPECT_EQ(e.Number(), 5u);
        EXPECT_EQ(e.FileId(), "QM000005");
        EXPECT_EQ(e.Folder(), "Old/Nested") << "the older layout's '\\' is turned into '/' as well";
    }
}

TEST_F(MessageIndexTest, OldLayoutTakesTheUrgentFlagFromTheMessageFile)
{
    m_dir.WriteFile("Old/QM000005.msg", "From: a@b\r\nX-Priority: 1 (Highest)\r\n\r\nbody\r\n");
    m_dir.WriteFile("Old/QM000006.msg", "From: a@b\r\nPriority: URGENT\r\n\r\nbody\r\n");
    m_dir.WriteFile("Old/QM000007.msg", "From: a@b\r\nX-Priority: 3\r\n\r\nbody\r\n");
    std::string text = "1\n";
    for (int n : {5, 6, 7, 8}) {
        text += "u\x01m\x01t\x01"
                "f\x01s\x01x\x01y\x01"
                "1\x01"
                "2\x01N\x01" +
                std::to_string(n) + "\x01QM00000" + std::to_string(n) + "\x01Old\x01Y\x01N\x01N\x01\r\n";
    }
    m_dir.WriteFile(kMessageIndexFile, text);
    MessageIndex index(UserDir());
    ASSERT_EQ(index.Count(), 4);
    EXPECT_EQ(index.Entry(0)->Flags(), MessageFlag::Stored | MessageFlag::Urgent);
    EXPECT_EQ(index.Entry(1)->Flags(), MessageFlag::Stored | MessageFlag::Urgent);
    EXPECT_EQ(index.Entry(2)->Flags(), MessageFlag::Stored);
    EXPECT_EQ(index.Entry(3)->Flags(), MessageFlag::Stored) << "a missing message file gives no urgent flag";
}

TEST_F(MessageIndexTest, LongLinesAreReadWholeAndValuesAreCleaned)
{
    std::string many;
    while (many.size() < 20000) {
        many += "someone" + std::to_string(many.size()) + "@example.com, ";
    }
    const std::string bytes = "3\n" +
                              Line({"u", "m", many, "f", "tab\there", "1", "2", "1", "QM000001", "Inbox", "0"}) +
                              Line({"u2", "m", "t", "f", "s", "1", "2", "2", "QM000002", "Inbox", "0"});
    m_dir.WriteFile(kMessageIndexFile, bytes);
    MessageIndex index(UserDir());
    ASSERT_EQ(index.Count(), 2) << "a line of more than 4095 bytes is neither cut nor lost";
    EXPECT_EQ(index.Entry(0)->To(), many) << "a value in the file is kept whole";
    EXPECT_EQ(index.Entry(0)->Subject(), "tab here");
    EXPECT_EQ(index.Entry(1)->Uid(), "u2");

    // A new value is capped, and never inside a UTF-8 sequence.
    MessageIndexEntry& e = *index.NewEntry();
    e.SetTo(many);
    EXPECT_EQ(e.To(), many.substr(0, kMaxEntryHeaderValue));
    const std::string accents = std::string(kMaxEntryHeaderValue - 1, 'a') + "\xc3\xa9xyz";
    e.SetSubject(accents);
    EXPECT_EQ(e.Subject(), std::string(kMaxEntryHeaderValue - 1, 'a'));
    e.SetFrom("x\ny");
    EXPECT_EQ(e.From(), "x y");
}

TEST_F(MessageIndexTest, NextNumberWrapsAndSkipsNumbersInUse)
{
    {
        m_dir.WriteFile(kMessageIndexFile, "999999\n");
        MessageIndex index(UserDir());
        EXPECT_EQ(index.NextNumber(), 999999u);
        EXPECT_EQ(index.NextNumber(), 1u);
        EXPECT_EQ(index.NextNumber(), 2u);
        EXPECT_EQ(MessageFileId(1), "QM000001");
        EXPECT_EQ(MessageFileId(999999), "QM999999");
    }
    {
        // After the wrap: 1 is an entry's number, 2 an entry's file id, 3 a file in a folder of an entry, 4 a file
        // in the Inbox; 5 is free.
        m_dir.WriteFile(kMessageIndexFile,
                        "999999\n" + Line({"", "", "", "", "", "0", "0", "1", "QM000001", "Work", "0"}) +
                                Line({"", "", "", "", "", "0", "0", "77", "QM000002", "Sent\\Old", "0"}));
        m_dir.WriteFile("Sent/Old/QM000003.msg", "x");
        m_dir.WriteFile("Inbox/QM000004.msg", "x");
        MessageIndex index(UserDir());
        EXPECT_EQ(index.NextNumber(), 999999u);
        EXPECT_EQ(index.NextNumber(), 5u);
        EXPECT_EQ(index.PeekNextNumber(), 6u);
        EXPECT_TRUE(index.Dirty());
    }
    {
        // The numbers in use follow every change of the entries. Loaded: 10 is A's, 11 B's file id (lower case),
        // 12 C's and 13 a file in C's folder. Then A is renumbered, C removed and B put into C's folder.
        m_dir.WriteFile(kMessageIndexFile,
                        "10\n" + Line({"", "", "", "", "", "0", "0", "10", "QM000010", "Inbox", "0"}) +
                                Line({"", "", "", "", "", "0", "0", "50", "qm000011", "Inbox", "0"}) +
                                Line({"", "", "", "", "", "0", "0", "12", "QM000012", "Archive", "0"}));
        m_dir.WriteFile("Archive/QM000013.msg", "x");
        EXPECT_EQ(MessageIndex(UserDir()).NextNumber(), 14u);
        MessageIndex index(UserDir());
        index.FindByNumber(10)->SetNumber(60);
        index.FindByNumber(60)->SetFileId(MessageFileId(60));
        index.RemoveEntry(index.FindByNumber(12));
        EXPECT_EQ(index.NextNumber(), 10u);
        index.FindByNumber(50)->SetFolder("Archive");
        EXPECT_EQ(index.NextNumber(), 12u);
        EXPECT_EQ(index.NextNumber(), 14u) << "13 is a file in B's folder now";
    }
    {
        // A counter outside 1..999999 in the file starts again at 1.
        m_dir.WriteFile(kMessageIndexFile, "-4\n");
        EXPECT_EQ(MessageIndex(UserDir()).PeekNextNumber(), 1u);
    }
}

class MessageIndexSortTest : public MessageIndexTest {
protected:
    MessageIndexEntry& Add(std::uint32_t number, std::int64_t date, std::int32_t size, const char* from,
                           const char* subject, const char* mailbox = "")
    {
        MessageIndexEntry& e = *m_index.NewEntry();
        e.SetNumber(number);
        e.SetDate(date);
        e.SetSize(size);
        e.SetFrom(from);
        e.SetTo(from);
        e.SetSubject(subject);
        e.SetMailbox(mailbox);
        e.SetFolder("Inbox");
        return e;
    }

    std::vector<std::uint32_t> Order(const char* name, int mode = 0)
    {
        m_index.Sort(name, mode);
        std::vector<std::uint32_t> numbers;
        for (int i = 0; i < m_index.Count(); ++i) {
            numbers.push_back(m_index.Entry(i)->Number());
        }
        return numbers;
    }

    MessageIndex m_index{UserDir()};
};

TEST_F(MessageIndexSortTest, SortTable)
{
    Add(1, 300, 50, "\"Zed\" <alpha@x.com>", "Re: beta", "pop2");
    Add(2, 100, 10, "\"alice\" <zulu@x.com>", "FW:alpha", "Pop1");
    Add(3, 300, 30, "mike@x.com (Bob)", "fwd: Alpha", "pop3");
    Add(4, 200, 30, "\"Carol\" <carol@x.com>", "gamma", "pop0");
    EXPECT_TRUE(m_index.SortDirty());

    using V = std::vector<std::uint32_t>;

    struct Case {
        const char* Name;
        int Mode;
        V Expected;
    };

    const Case cases[] = {
            {"Date", 0, V{2, 4, 1, 3}},       {"RevDate", 0, V{3, 1, 4, 2}},
            {"date", 0, V{2, 4, 1, 3}},       {"Size", 0, V{2, 3, 4, 1}}, // equal sizes: newer first
            {"RevSize", 0, V{1, 3, 4, 2}},    {"From", 0, V{2, 3, 4, 1}}, // alice, Bob, Carol, Zed
            {"From", 1, V{1, 4, 3, 2}},                                   // alpha, carol, mike, zulu
            {"From", 2, V{2, 4, 1, 3}},                                   // "alice", "Carol", "Zed", mike
            {"RevFrom", 0, V{1, 4, 3, 2}},    {"To", 1, V{1, 4, 3, 2}},
            {"Subject", 0, V{3, 2, 1, 4}},    // alpha (newer first), alpha, beta, gamma
            {"RevSubject", 0, V{4, 1, 3, 2}}, // gamma, beta, then the equal alphas still newer first
            {"Mailbox", 0, V{4, 2, 1, 3}},    {"RevMailbox", 0, V{3, 1, 2, 4}},
            {"bogus", 0, V{3, 1, 4, 2}},      {"", 0, V{3, 1, 4, 2}},
            {"Rev", 0, V{3, 1, 4, 2}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.Name) + " mode " + std::to_string(c.Mode));
        EXPECT_EQ(Order(c.Name, c.Mode), c.Expected);
        EXPECT_FALSE(m_index.SortDirty());
    }
}

TEST_F(MessageIndexSortTest, SubjectPrefixesSkipOnlyOneAndNeedTheColon)
{
    Add(1, 100, 0, "", "Re:Re: b"); // sorts under "Re: b"
    Add(2, 100, 0, "", "Reb");      // no colon: as it is
    Add(3, 100, 0, "", "Fwd:c");    // "c"
    Add(4, 100, 0, "", "Re:  a");   // one blank skipped: " a"
    EXPECT_EQ(Order("Subject"), (std::vector<std::uint32_t>{4, 3, 1, 2}));
}

TEST_F(MessageIndexSortTest, SelectViewAndPaging)
{
    Add(1, 1, 0, "Anna <anna@x.com>", "Report", "Work").SetFolder("INBOX");
    Add(2, 2, 0, "bob@x.com", "Lunch", "home");
    Add(3, 3, 0, "carl@x.com", "report two", "Home");
    Add(4, 4, 0, "dora@x.com", "other", "Work").SetFolder("Sent");
    Add(5, 5, 0, "eve@x.com", "x", "Work");
    EXPECT_TRUE(m_index.ViewDirty());

    struct Case {
        const char* Folder;
        const char* Search;
        const char* Mailbox;
        std::vector<int> Visible;
    };

    const Case cases[] = {
            {"inbox", "", "", {0, 1, 2, 4}}, {"Inbox", "REPORT", "", {0, 2}},  {"Inbox", "ANNA@", "", {0}},
            {"Inbox", "", "HOME", {1, 2}},   {"Inbox", "report", "work", {0}}, {"Sent", "", "", {3}},
            {"Drafts", "", "", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.Folder) + "/" + c.Search + "/" + c.Mailbox);
        m_index.SelectView(c.Folder, c.Search, c.Mailbox);
        EXPECT_FALSE(m_index.ViewDirty());
        std::vector<int> visible;
        for (int i = m_index.FirstVisible(); i >= 0; i = m_index.NextVisible(i)) {
            visible.push_back(i);
        }
        EXPECT_EQ(visible, c.Visible);
        std::vector<int> backwards;
        for (int i = m_index.LastVisible(); i >= 0; i = m_index.PrevVisible(i)) {
            backwards.insert(backwards.begin(), i);
        }
        EXPECT_EQ(backwards, c.Visible);
        EXPECT_EQ(m_index.CountVisible(), static_cast<int>(c.Visible.size()));
    }

    m_index.SelectView("Inbox", "", ""); // visible: 0, 1, 2, 4
    EXPECT_EQ(m_index.PageOf(0, 2), 1);
    EXPECT_EQ(m_index.PageOf(2, 2), 2);
    EXPECT_EQ(m_index.PageOf(4, 2), 2);
    EXPECT_EQ(m_index.PageOf(4, 3), 2);
    EXPECT_EQ(m_index.PageOf(4, 0), 4) << "perPage 0 is taken as 1";
    EXPECT_EQ(m_index.PageOf(4, -5), 4);
    EXPECT_EQ(m_index.PageOf(m_index.LastVisible(), 10), 1);

    EXPECT_EQ(m_index.CountInFolder("inbox"), 4);
    m_index.Entry(1)->SetRead(true);
    EXPECT_EQ(m_index.CountUnreadInFolder("INBOX"), 3);
}

// Counts and the steps through the view are kept between calls: every change of the entries, their order or their
// visibility must show in the next answer.
TEST_F(MessageIndexSortTest, CountsAndViewStepsFollowEveryChange)
{
    Add(1, 10, 0, "a@x.com", "one");
    Add(2, 20, 0, "b@x.com", "two");
    Add(3, 30, 0, "c@x.com", "three").SetFolder("Work");
    m_index.SelectView("inbox", "", "");
    EXPECT_EQ(m_index.CountInFolder("Inbox"), 2);
    EXPECT_EQ(m_index.CountUnreadInFolder("INBOX"), 2);
    EXPECT_EQ(m_index.CountInFolder("Nowhere"), 0);
    EXPECT_EQ(m_index.FirstVisible(), 0);
    EXPECT_EQ(m_index.LastVisible(), 1);

    m_index.Entry(0)->SetRead(true);
    EXPECT_EQ(m_index.CountUnreadInFolder("Inbox"), 1) << "a flag set";
    m_index.Entry(2)->SetFolder("Inbox");
    EXPECT_EQ(m_index.CountInFolder("Inbox"), 3) << "a folder set";
    EXPECT_EQ(m_index.CountInFolder("work"), 0);
    EXPECT_EQ(m_index.CountVisible(), 2) << "a new folder does not make the entry visible";

    m_index.SelectView("Inbox", "", "");
    EXPECT_EQ(m_index.CountVisible(), 3);
    m_index.Sort("Date", 0); // numbers 1, 2, 3 at 0, 1, 2
    ASSERT_EQ(m_index.Entry(2)->Number(), 3u);
    m_index.SelectView("Inbox", "t", ""); // "two" and "three" at 1 and 2
    EXPECT_EQ(m_index.FirstVisible(), 1);
    m_index.Sort("RevDate", 0); // numbers 3, 2, 1: visible at 0 and 1
    EXPECT_EQ(m_index.FirstVisible(), 0) << "the order changed";
    EXPECT_EQ(m_index.LastVisible(), 1);
    EXPECT_EQ(m_index.PageOf(2, 1), 3);

    ASSERT_TRUE(m_index.Entry(0)->MoveToFolder("Trash"));
    EXPECT_EQ(m_index.FirstVisible(), 1) << "a moved entry leaves the view";
    EXPECT_EQ(m_index.CountInFolder("trash"), 1);
    EXPECT_EQ(m_index.DeleteEntry(m_index.Entry(1)), MessageIndex::DeleteOutcome::Freed);
    EXPECT_EQ(m_index.FirstVisible(), -1) << "a deleted entry leaves the view";
    EXPECT_EQ(m_index.CountVisible(), 0);
    EXPECT_EQ(m_index.CountInFolder("Inbox"), 1);
    Add(4, 40, 0, "d@x.com", "four");
    EXPECT_EQ(m_index.CountInFolder("Inbox"), 2) << "a new entry";
    EXPECT_EQ(m_index.CountUnreadInFolder("Inbox"), 1);
}

TEST_F(MessageIndexTest, ReadFlagsAndStoredSize)
{
    MessageIndex index(UserDir());
    MessageIndexEntry& a = *index.NewEntry();
    a.SetFlags(MessageFlag::New | MessageFlag::Stored);
    a.SetSize(1000);
    a.SetRead(true);
    EXPECT_EQ(a.Flags(), MessageFlag::Read | MessageFlag::Stored);
    a.ChangeFlags(MessageFlag::New, true);
    a.SetRead(false);
    EXPECT_EQ(a.Flags(), MessageFlag::New | MessageFlag::Stored);
    MessageIndexEntry& b = *index.NewEntry();
    b.SetSize(100000); // not stored: not counted
    MessageIndexEntry& c = *index.NewEntry();
    c.SetFlags(MessageFlag::Stored);
    c.SetSize(100);
    EXPECT_EQ(index.StoredSizeKB(), 1); // (1100 + 512) / 1024
    EXPECT_EQ(index.IndexOf(&c), 2);
    index.RemoveEntry(&b);
    EXPECT_EQ(index.IndexOf(&c), 1);
}

TEST_F(MessageIndexTest, RenameMailboxRenamesEntriesAndItsFiles)
{
    m_dir.WriteFile("Old.uid", "uids");
    MessageIndex index(UserDir());
    MessageIndexEntry& a = *index.NewEntry();
    a.SetMailbox("OLD");
    MessageIndexEntry& b = *index.NewEntry();
    b.SetMailbox("Other");
    EXPECT_TRUE(index.RenameMailbox("Old", "New"));
    EXPECT_EQ(a.Mailbox(), "New");
    EXPECT_EQ(b.Mailbox(), "Other");
    EXPECT_EQ(test::ReadBytes(m_dir / "New.uid"), "uids");
    EXPECT_FALSE(std::filesystem::exists(m_dir / "Old.uid"));
}

TEST_F(MessageIndexTest, RenameMailboxNeverOverwritesTheFilesOfTheNewName)
{
    for (const char* stale : {"new.uid", "NEW.sig"}) {
        SCOPED_TRACE(stale);
        m_dir.WriteFile("Old.uid", "old uids");
        m_dir.WriteFile("Old.sig", "old sig");
        m_dir.WriteFile(stale, "an earlier account's");
        MessageIndex index(UserDir());
        MessageIndexEntry& a = *index.NewEntry();
        a.SetMailbox("Old");
        EXPECT_FALSE(index.RenameMailbox("Old", "New"));
        EXPECT_EQ(a.Mailbox(), "Old");
        EXPECT_EQ(test::ReadBytes(m_dir / "Old.uid"), "old uids");
        EXPECT_EQ(test::ReadBytes(m_dir / "Old.sig"), "old sig");
        EXPECT_EQ(test::ReadBytes(m_dir / stale), "an earlier account's");
        std::filesystem::remove(m_dir / stale);
    }
    // Only the case changes: the files are the mailbox's own.
    MessageIndex index(UserDir());
    EXPECT_TRUE(index.RenameMailbox("Old", "OLD"));
    EXPECT_EQ(test::ReadBytes(m_dir / "OLD.uid"), "old uids");
    EXPECT_EQ(test::ReadBytes(m_dir / "OLD.sig"), "old sig");
}

class MessageIndexMoveTest : public MessageIndexTest {
protected:
    // A stored message in folder with its two files.
    MessageIndexEntry& Stored(const char* folder, const char* uid = "", const char* mailbox = "")
    {
        MessageIndexEntry& e = *m_index.NewEntry();
        const std::uint32_t n = m_index.NextNumber();
        e.SetNumber(n);
        e.SetFileId(MessageFileId(n));
        e.SetFolder(folder);
        e.SetUid(uid);
        e.SetMailbox(mailbox);
        e.SetFlags(MessageFlag::Stored);
        m_dir.WriteFile(std::string(folder) + "/" + e.FileId() + ".msg", "text " + e.FileId());
        m_dir.WriteFile(std::string(folder) + "/" + e.FileId() + ".att", "parts");
        return e;
    }

    MessageIndex m_index{UserDir()};
};

TEST_F(MessageIndexMoveTest, MoveCarriesTheFilesAndRefusesToOverwrite)
{
    MessageIndexEntry& e = Stored("Inbox");
    std::filesystem::create_directories(m_dir.Path() / "Archive" / "Old");
    e.ChangeFlags(MessageFlag::Read, true);
    ASSERT_TRUE(e.MoveToFolder("Archive/Old"));
    EXPECT_EQ(e.Folder(), "Archive/Old");
    EXPECT_FALSE(e.Visible());
    EXPECT_EQ(test::ReadBytes(m_dir / "Archive/Old/QM000001.msg"), "text QM000001");
    EXPECT_EQ(test::ReadBytes(m_dir / "Archive/Old/QM000001.att"), "parts");
    EXPECT_TRUE(std::filesystem::exists(m_dir / "Inbox/QM000001.msg")) << "the old name stays until the save";
    ASSERT_TRUE(m_index.Save());
    EXPECT_FALSE(std::filesystem::exists(m_dir / "Inbox/QM000001.msg"));
    EXPECT_FALSE(std::filesystem::exists(m_dir / "Inbox/QM000001.att"));

    // A missing folder, and a file of the same name in the destination: nothing changes.
    EXPECT_FALSE(e.MoveToFolder("Nowhere"));
    m_dir.WriteFile("Sent/QM000001.msg", "someone else's");
    EXPECT_FALSE(e.MoveToFolder("Sent"));
    EXPECT_EQ(e.Folder(), "Archive/Old");
    EXPECT_EQ(test::ReadBytes(m_dir / "Sent/QM000001.msg"), "someone else's");
    EXPECT_TRUE(std::filesystem::exists(m_dir / "Archive/Old/QM000001.msg"));

    // Same folder in another case: nothing to do.
    EXPECT_TRUE(e.MoveToFolder("ARCHIVE/old"));
    EXPECT_EQ(e.Folder(), "Archive/Old");
}

TEST_F(MessageIndexMoveTest, DeleteFreesLocalEntriesAndKeepsFetchedOnes)
{
    MessageIndexEntry& local = Stored("Inbox");
    MessageIndexEntry& fetched = Stored("Inbox", "uid-9", "pop");
    MessageIndexEntry* uidOnly = &Stored("Inbox", "uid-10", "");
    EXPECT_EQ(m_index.DeleteEntry(&local), MessageIndex::DeleteOutcome::Freed);
    EXPECT_EQ(m_index.DeleteEntry(uidOnly), MessageIndex::DeleteOutcome::Freed);
    ASSERT_EQ(m_index.DeleteEntry(&fetched), MessageIndex::DeleteOutcome::Kept);
    EXPECT_EQ(fetched.Folder(), "");
    EXPECT_FALSE(fetched.Visible());
    EXPECT_TRUE(fetched.HasFlag(MessageFlag::Stored)) << "the stored bit stays for the server deletion";
    EXPECT_TRUE(std::filesystem::exists(m_dir / "Inbox/QM000001.msg")) << "the file goes with the save";
    ASSERT_TRUE(m_index.Save());
    for (const char* name : {"QM000001.msg", "QM000001.att", "QM000002.msg", "QM000002.att", "QM000003.msg"}) {
        EXPECT_FALSE(std::filesystem::exists(m_dir.Path() / "Inbox" / name)) << name;
    }
    ASSERT_EQ(m_index.Count(), 1);
    m_index.SelectView("", "", "");
    EXPECT_EQ(m_index.CountVisible(), 1);
    m_index.SelectView("Inbox", "", "");
    EXPECT_EQ(m_index.CountVisible(), 0);
}

// An index dropped without Save stands for a crash: the saved index and the files must still agree.
TEST_F(MessageIndexMoveTest, DeletesAndMovesCutShortLeaveTheSavedIndexWhole)
{
    MessageIndexEntry& doomed = Stored("Inbox");
    MessageIndexEntry& moving = Stored("Inbox");
    MessageIndexEntry& roundTrip = Stored("Inbox");
    std::filesystem::create_directories(m_dir.Path() / "Work");
    ASSERT_TRUE(m_index.Save());

    {
        MessageIndex crashed(UserDir());
        ASSERT_EQ(crashed.DeleteEntry(crashed.FindByNumber(doomed.Number())), MessageIndex::DeleteOutcome::Freed);
        ASSERT_TRUE(crashed.FindByNumber(moving.Number())->MoveToFolder("Work"));
    }
    EXPECT_TRUE(std::filesystem::exists(m_dir / "Inbox/QM000001.msg"));
    EXPECT_TRUE(std::filesystem::exists(m_dir / "Inbox/QM000002.msg"));
    EXPECT_TRUE(std::filesystem::exists(m_dir / "Work/QM000002.msg")) << "the second name of a move cut short";

    // Adoption takes the second name for what it is: no copy of the message appears.
    {
        MessageIndex after(UserDir());
        test::TempDir scratch("qm-scratch");
        int restored = 0;
        after.AdoptFolderFiles(FolderList(UserDir(), "en"), scratch.Path().string(),
                               [&](MessageIndex&, const std::string&, const std::string&) -> MessageIndexEntry* {
                                   ++restored;
                                   return nullptr;
                               });
        EXPECT_EQ(restored, 0);
        EXPECT_EQ(after.Count(), 3);
        EXPECT_FALSE(std::filesystem::exists(m_dir / "Work/QM000002.msg"));
        EXPECT_FALSE(std::filesystem::exists(m_dir / "Work/QM000002.att"));
        EXPECT_EQ(test::ReadBytes(m_dir / "Inbox/QM000002.att"), "parts");
    }

    // Saved after the move but cut short before the old name went: the old name is the stray one.
    {
        MessageIndex moved(UserDir());
        ASSERT_TRUE(moved.FindByNumber(moving.Number())->MoveToFolder("Work"));
        ASSERT_TRUE(moved.Save());
    }
    ASSERT_TRUE(std::filesystem::exists(m_dir / "Work/QM000002.msg"));
    std::filesystem::create_hard_link(m_dir / "Work/QM000002.msg", m_dir / "Inbox/QM000002.msg");
    {
        MessageIndex after(UserDir());
        test::TempDir scratch("qm-scratch");
        after.AdoptFolderFiles(FolderList(UserDir(), "en"), scratch.Path().string(), nullptr);
        EXPECT_EQ(after.FindByNumber(moving.Number())->Folder(), "Work");
        EXPECT_FALSE(std::filesystem::exists(m_dir / "Inbox/QM000002.msg"));
        EXPECT_EQ(test::ReadBytes(m_dir / "Work/QM000002.msg"), "text QM000002");

        // There and back before a save: the file stays where it began, under its one name.
        MessageIndexEntry& e = *after.FindByNumber(roundTrip.Number());
        ASSERT_TRUE(e.MoveToFolder("Work"));
        ASSERT_TRUE(e.MoveToFolder("Inbox"));
        ASSERT_TRUE(after.Save());
        EXPECT_EQ(test::ReadBytes(m_dir / "Inbox/QM000003.msg"), "text QM000003");
        EXPECT_EQ(test::ReadBytes(m_dir / "Inbox/QM000003.att"), "parts");
        EXPECT_FALSE(std::filesystem::exists(m_dir / "Work/QM000003.msg"));
        EXPECT_FALSE(std::filesystem::exists(m_dir / "Work/QM000003.att"));

        // A directory where the message file should be is not deleted.
        MessageIndexEntry& odd = *after.FindByNumber(moving.Number());
        std::filesystem::remove(odd.GetMessagePath());
        std::filesystem::create_directory(odd.GetMessagePath());
        EXPECT_EQ(after.DeleteEntry(&odd), MessageIndex::DeleteOutcome::Failed);
        EXPECT_EQ(odd.Folder(), "Work");
    }
}

TEST_F(MessageIndexMoveTest, DeletedMessageWhoseFileCannotBeRemovedStaysDeleted)
{
    const MessageIndexEntry& doomed = Stored("Inbox");
    const std::string file = doomed.GetMessagePath();
    Stored("Inbox");
    ASSERT_TRUE(m_index.Save());
    // The session runs as an ordinary user (root may remove any file): it may write the user directory, but not
    // the Inbox directory.
    test::TempDir logDir("qm-msgidx-log");
    ASSERT_EQ(::chmod(logDir.Path().c_str(), 0777), 0);
    ASSERT_EQ(::chmod(m_dir.Path().c_str(), 0777), 0);
    ASSERT_EQ(::chmod((m_dir / kMessageIndexFile).c_str(), 0666), 0);
    ASSERT_EQ(::chmod((m_dir / "Inbox").c_str(), 0555), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) {
            ::_exit(2);
        }
        int code = 0;
        {
            test::StoreLogRecorder log;
            MessageIndex session(UserDir());
            code = session.DeleteEntry(session.FindByNumber(1)) == MessageIndex::DeleteOutcome::Freed ? 0 : 3;
            code = code == 0 && !session.Save() ? 4 : code;
            test::WriteBytes(logDir / "log", log.Text());
        }
        ::_exit(code);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_EQ(::chmod((m_dir / "Inbox").c_str(), 0755), 0);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_NE(WEXITSTATUS(status), 2) << "could not drop to an ordinary user";
    ASSERT_EQ(WEXITSTATUS(status), 0) << "the delete or the save failed";
    ASSERT_TRUE(std::filesystem::exists(file)) << "the file was removed after all: nothing was tried";
    const std::string log = test::ReadBytes(logDir / "log");
    EXPECT_NE(log.find(file), std::string::npos) << "the failure is logged: " << log;

    // The next session does not bring the message back; now that the file can go, the next save removes it.
    MessageIndex next(UserDir());
    test::TempDir scratch("qm-scratch");
    int restored = 0;
    next.AdoptFolderFiles(FolderList(UserDir(), "en"), scratch.Path().string(),
                          [&](MessageIndex&, const std::string&, const std::string&) -> MessageIndexEntry* {
                              ++restored;
                              return nullptr;
                          });
    EXPECT_EQ(restored, 0);
    EXPECT_EQ(next.Count(), 1);
    EXPECT_TRUE(std::filesystem::exists(file));
    ASSERT_TRUE(next.Save());
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_FALSE(std::filesystem::exists(m_dir / kPendingRemovalsFile));
}

TEST_F(MessageIndexMoveTest, CopyTakesTheNextNumberAndCopiesTheFiles)
{
    MessageIndexEntry& source = Stored("Inbox", "u", "m");
    source.SetSubject("hello");
    source.ChangeFlags(MessageFlag::HeadersOnlyCopies | MessageFlag::Read, true);
    std::filesystem::create_directories(m_dir.Path() / "Work");
    MessageIndexEntry* copy = m_index.CopyToFolder(&source, "Work");
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->Number(), 2u);
    EXPECT_EQ(copy->FileId(), "QM000002");
    EXPECT_EQ(copy->Folder(), "Work");
    EXPECT_EQ(copy->Subject(), "hello");
    EXPECT_EQ(copy->Uid(), "u");
    EXPECT_EQ(source.Flags(), MessageFlag::Stored | MessageFlag::Read);
    EXPECT_EQ(copy->Flags(), source.Flags());
    EXPECT_EQ(test::ReadBytes(m_dir / "Work/QM000002.msg"), "text QM000001");
    EXPECT_EQ(test::ReadBytes(m_dir / "Work/QM000002.att"), "parts");

    // Headers only: no files, and both carry the headers-only-copies bit.
    MessageIndexEntry& headers = *m_index.NewEntry();
    headers.SetNumber(m_index.NextNumber());
    headers.SetFileId(MessageFileId(headers.Number()));
    headers.SetFolder("Inbox");
    MessageIndexEntry* headersCopy = m_index.CopyToFolder(&headers, "Work");
    ASSERT_NE(headersCopy, nullptr);
    EXPECT_TRUE(headers.HasFlag(MessageFlag::HeadersOnlyCopies));
    EXPECT_TRUE(headersCopy->HasFlag(MessageFlag::HeadersOnlyCopies));
    EXPECT_FALSE(std::filesystem::exists(headersCopy->GetMessagePath()));

    // The message file cannot be copied (no such folder): no entry is left behind.
    const int before = m_index.Count();
    EXPECT_EQ(m_index.CopyToFolder(&source, "Missing"), nullptr);
    EXPECT_EQ(m_index.Count(), before);
}

TEST_F(MessageIndexMoveTest, RenameAndMoveWholeFolders)
{
    MessageIndexEntry& a = Stored("Work");
    MessageIndexEntry& b = Stored("Work/Sub");
    MessageIndexEntry& c = Stored("Workshop");
    ASSERT_TRUE(m_index.RenameFolder("work", "Jobs"));
    EXPECT_EQ(a.Folder(), "Jobs");
    EXPECT_EQ(b.Folder(), "Jobs/Sub");
    EXPECT_EQ(c.Folder(), "Workshop");
    EXPECT_FALSE(m_index.RenameFolder("Jobs", std::string(kMaxFolderName - 2, 'x')))
            << "\"Jobs/Sub\" would become too long";
    EXPECT_EQ(a.Folder(), "Jobs");
    EXPECT_TRUE(m_index.RenameFolder("Jobs", std::string(kMaxFolderName - 4, 'x')));
    EXPECT_EQ(b.Folder(), std::string(kMaxFolderName - 4, 'x') + "/Sub");

    MessageIndexEntry& d = Stored("Trash");
    Stored("Trash");
    EXPECT_TRUE(m_index.MoveFolderMessages("TRASH", nullptr));
    EXPECT_EQ(m_index.IndexOf(&d), -1);
    EXPECT_EQ(m_index.Count(), 3);
    const std::string inbox = "Inbox";
    std::filesystem::create_directories(m_dir.Path() / inbox);
    EXPECT_TRUE(m_index.MoveFolderMessages("workshop", &inbox));
    EXPECT_EQ(c.Folder(), "Inbox");
    EXPECT_TRUE(std::filesystem::exists(m_dir / ("Inbox/" + c.FileId() + ".msg")));
}

TEST_F(MessageIndexMoveTest, AdoptFolderFilesMatchesTheFolders)
{
    MessageIndexEntry& kept = Stored("Inbox");
    MessageIndexEntry* gone = &Stored("Work");
    std::filesystem::remove(m_dir / "Work/QM000002.msg");
    MessageIndexEntry& headersOnly = *m_index.NewEntry();
    headersOnly.SetFolder("Inbox");
    headersOnly.SetFileId("QM000050");
    MessageIndexEntry& pending = Stored("Inbox", "u", "pop");
    ASSERT_EQ(m_index.DeleteEntry(&pending), MessageIndex::DeleteOutcome::Kept);
    ASSERT_TRUE(pending.HasFlag(MessageFlag::Stored));
    m_dir.WriteFile("Inbox/foreign.msg", "dropped in");
    m_dir.WriteFile("Work/Deep/foreign.msg", "same name elsewhere");
    m_dir.WriteFile("Work/Deep/.hidden.msg", "hidden");
    m_dir.WriteFile("Work/Deep/broken.msg", "cannot be stored");
    // Left by a builder and by a save of the index that were killed; the last is no temporary of theirs.
    m_dir.WriteFile(".QM000009.msg.tmp", "half a mess");
    m_dir.WriteFile(".Messages.idx.4711.0.beef.tmp", "7\n");
    m_dir.WriteFile("Messages.idx.tmp", "kept");
    test::TempDir scratch("qm-scratch");
    const FolderList folders(UserDir(), "en");

    std::vector<std::string> given;
    const MessageIndex::RestoreFunction restore = [&](MessageIndex& index, const std::string& folder,
                                                      const std::string& path) -> MessageIndexEntry* {
        const std::string text = test::ReadBytes(path);
        given.push_back(folder + ":" + text);
        // Until it is stored again the message stays in its folder too: a crash now must not lose it.
        bool inFolder = false;
        for (const auto& file : std::filesystem::directory_iterator(m_dir / folder)) {
            inFolder = inFolder || (file.path().extension() == ".msg" && test::ReadBytes(file.path()) == text);
        }
        EXPECT_TRUE(inFolder) << text;
        if (text == "cannot be stored") {
            return nullptr;
        }
        MessageIndexEntry& e = *index.NewEntry();
        e.SetNumber(index.NextNumber());
        e.SetFileId(MessageFileId(e.Number()));
        e.SetFolder(folder);
        e.SetFlags(MessageFlag::Stored);
        test::WriteBytes(e.GetMessagePath(), text);
        return &e;
    };
    m_index.AdoptFolderFiles(folders, scratch.Path().string(), restore);

    std::sort(given.begin(), given.end());
    EXPECT_EQ(given, (std::vector<std::string>{"Inbox:dropped in", "Work/Deep:cannot be stored",
                                               "Work/Deep:same name elsewhere"}));
    EXPECT_NE(m_index.IndexOf(&kept), -1);
    EXPECT_EQ(m_index.IndexOf(gone), -1) << "a stored entry whose file is gone is dropped";
    EXPECT_NE(m_index.IndexOf(&headersOnly), -1);
    EXPECT_NE(m_index.IndexOf(&pending), -1) << "an entry waiting for its server deletion stays";
    EXPECT_EQ(m_index.CountInFolder("Inbox"), 3);
    EXPECT_EQ(m_index.CountInFolder("Work/Deep"), 1);
    EXPECT_TRUE(m_index.ViewDirty());
    EXPECT_FALSE(std::filesystem::exists(m_dir / "Inbox/foreign.msg"));
    EXPECT_EQ(test::ReadBytes(m_dir / "Work/Deep/broken.msg"), "cannot be stored") << "moved back, not lost";
    EXPECT_TRUE(std::filesystem::exists(m_dir / "Work/Deep/.hidden.msg"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(scratch.Path()), {}), 0);
    EXPECT_FALSE(std::filesystem::exists(m_dir / ".QM000009.msg.tmp"));
    EXPECT_FALSE(std::filesystem::exists(m_dir / ".Messages.idx.4711.0.beef.tmp"));
    EXPECT_EQ(test::ReadBytes(m_dir / "Messages.idx.tmp"), "kept");

    // A second run finds everything in place and changes nothing.
    const int count = m_index.Count();
    given.clear();
    m_index.AdoptFolderFiles(folders, scratch.Path().string(), restore);
    EXPECT_EQ(given, (std::vector<std::string>{"Work/Deep:cannot be stored"}));
    EXPECT_EQ(m_index.Count(), count);

    // Without a restore function a foreign file is left where it is.
    m_index.AdoptFolderFiles(folders, scratch.Path().string(), {});
    EXPECT_EQ(test::ReadBytes(m_dir / "Work/Deep/broken.msg"), "cannot be stored");
}

} // namespace
} // namespace qm::store
