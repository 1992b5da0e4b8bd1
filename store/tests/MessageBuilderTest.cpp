#include "store/MessageBuilder.h"
#include "store/StoreBatch.h"

#include "common/IniAccess.h"
#include "common/MimeTypeTable.h"
#include "common/StringList.h"
#include "store/AddressBook.h"
#include "store/FilterList.h"
#include "store/FolderList.h"
#include "store/MailHostList.h"
#include "store/MessageIndex.h"
#include "store/StoreSeams.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace qm::store {
namespace {

namespace fs = std::filesystem;

std::string Joined(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines) {
        text += line + "\r\n";
    }
    return text;
}

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// A user with folders and filters, for messages fetched from an account.
class TestUser : public StoreUser {
public:
    explicit TestUser(const std::string& dir)
        : m_dir(dir)
        , m_folders(dir, "en")
    {}

    const char* UserDir() const override { return m_dir.c_str(); }

    Result<MessageIndex*> Index() override { return Fail("not used", ENOSYS); }

    FolderList& Folders() override { return m_folders; }

    FilterList& Filters() override { return m_filters; }

    MailHostList& MailHosts() override { return m_hosts; }

    AddressBook& AddrBook() override { return m_book; }

    const char* OwnPassword() const override { return ""; }

private:
    std::string m_dir;
    FolderList m_folders;
    FilterList m_filters;
    MailHostList m_hosts;
    AddressBook m_book;
};

class MessageBuilderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char* folder : FolderList::kSpecialFolders) {
            fs::create_directories(m_dir.Path() / folder);
        }
        m_dir.WriteFile("Quillmail.ini", "[General]\r\n");
        SetMainIniPath((m_dir / "Quillmail.ini"));
        m_dir.WriteFile("MimeTypes.cfg", "image/gif gif\napplication/pdf pdf\ntext/plain txt\n");
        ASSERT_TRUE(m_types.Load((m_dir / "MimeTypes.cfg").c_str()));
        SetStoreMimeTypes(&m_types);
    }

    void TearDown() override
    {
        SetStoreMimeTypes(nullptr);
        SetMainIniPath("");
    }

    std::string UserDir() const { return m_dir.Path().string(); }

    // Stores lines in the Inbox and gives the entry (never null).
    MessageIndexEntry& Store(const std::vector<std::string>& lines)
    {
        MessageIndexEntry* entry = StoreMessageLines(m_index, "Inbox", lines);
        EXPECT_NE(entry, nullptr);
        if (entry == nullptr) {
            throw std::runtime_error("not stored");
        }
        return *entry;
    }

    static std::vector<std::string> PartIds(MessageIndexEntry& entry)
    {
        std::vector<std::string> ids;
        const PartIndex& parts = *entry.GetPartIndex();
        for (int i = 0; i < parts.Count(); ++i) {
            ids.push_back(std::to_string(parts.Item(i).Part) + "." + std::to_string(parts.Item(i).SubPart));
        }
        return ids;
    }

    test::TempDir m_dir{"qm-builder"};
    MimeTypeTable m_types;
    MessageIndex m_index{UserDir()};
};

const std::vector<std::string> kMixed = {"From: a@x.com",
                                         "To: b@y.com",
                                         "Subject: Two parts",
                                         "Content-Type: multipart/mixed; boundary=\"b1\"",
                                         "",
                                         "preamble",
                                         "--b1",
                                         "Content-Type: text/plain",
                                         "",
                                         "hello",
                                         "--b1",
                                         "Content-Type: image/gif; name=\"pic.gif\"",
                                         "Content-Transfer-Encoding: base64",
                                         "Content-ID: <id1@x>",
                                         "",
                                         std::string(76, 'A'),
                                         "--b1--",
                                         "epilogue"};

TEST_F(MessageBuilderTest, PlainMessageIsStoredWithoutPartIndex)
{
    const std::vector<std::string> lines = {"From: a@x.com", "To: b@y.com", "Subject: Hi", "", "Body", "", "end."};
    MessageIndexEntry& e = Store(lines);
    EXPECT_EQ(e.Folder(), "Inbox");
    EXPECT_EQ(e.FileId(), MessageFileId(e.Number()));
    EXPECT_EQ(e.Flags(), MessageFlag::New | MessageFlag::Stored);
    EXPECT_EQ(e.Subject(), "Hi");
    EXPECT_EQ(ReadAll(e.GetMessagePath()), Joined(lines));
    EXPECT_FALSE(fs::exists(e.GetPartIndexPath()));
    EXPECT_EQ(e.GetPartIndex()->Count(), 0);
    // No temporary file is left behind.
    for (const auto& item : fs::directory_iterator(m_dir.Path())) {
        EXPECT_EQ(item.path().filename().string().find(".msg.tmp"), std::string::npos) << item.path();
    }
}

TEST_F(MessageBuilderTest, MixedPartsAreNumberedAndPointAtTheirBodies)
{
    MessageIndexEntry& e = Store(kMixed);
    EXPECT_TRUE(e.HasFlag(MessageFlag::HasAttachments));
    PartIndex parts;
    ASSERT_TRUE(parts.Read(e.GetPartIndexPath().c_str()));
    ASSERT_EQ(parts.Count(), 2);
    const std::string file = ReadAll(e.GetMessagePath());

    EXPECT_EQ(parts.Item(0).Part, 1);
    EXPECT_EQ(parts.Item(0).SubPart, 0u);
    EXPECT_EQ(parts.Item(0).ContentType, "text/plain");
    EXPECT_EQ(parts.Item(0).FileName, "ATT00001.txt");
    EXPECT_EQ(parts.Item(0).Size, 7);
    EXPECT_EQ(parts.Item(0).LineCount, 1u);
    EXPECT_EQ(file.substr(parts.Item(0).Offset, 7), "hello\r\n");

    EXPECT_EQ(parts.Item(1).Part, 2);
    EXPECT_EQ(parts.Item(1).FileName, "pic.gif");
    EXPECT_EQ(parts.Item(1).ContentType, "image/gif");
    EXPECT_EQ(parts.Item(1).ContentId, "id1@x");
    EXPECT_EQ(parts.Item(1).TransferEncoding, "base64");
    EXPECT_EQ(parts.Item(1).Size, 57) << "78 bytes of base64 in the file";
    EXPECT_EQ(file.substr(parts.Item(1).Offset, 4), "AAAA");
}

// A part whose Content-Disposition is "attachment" is marked so, whatever its type: such a text is a file sent
// along, not the text of the message.
TEST_F(MessageBuilderTest, ThePartsDispositionIsKept)
{
    const std::pair<const char*, bool> dispositions[] = {
            {"Content-Disposition: attachment; filename=\"agenda.txt\"", true},
            {"Content-Disposition: ATTACHMENT", true},
            {"Content-Disposition:  attachment ;filename=a.txt", true},
            {"Content-Disposition: inline; filename=\"note.txt\"", false},
            {"Content-Disposition: attachments", false},
            {"X-Other: attachment", false},
    };
    std::vector<std::string> lines = {"Content-Type: multipart/mixed; boundary=b1", ""};
    for (const auto& [header, attached] : dispositions) {
        lines.insert(lines.end(), {"--b1", "Content-Type: text/plain", header, "", "text"});
    }
    lines.emplace_back("--b1--");
    MessageIndexEntry& e = Store(lines);
    PartIndex parts;
    ASSERT_TRUE(parts.Read(e.GetPartIndexPath().c_str()));
    ASSERT_EQ(parts.Count(), static_cast<int>(std::size(dispositions)));
    for (int i = 0; i < parts.Count(); ++i) {
        SCOPED_TRACE(dispositions[i].first);
        EXPECT_EQ(parts.Item(i).Attachment, dispositions[i].second);
    }
}

TEST_F(MessageBuilderTest, AlternativePartsBecomeSubPartsOfPartOne)
{
    const std::vector<std::string> lines = {"Content-Type: multipart/alternative; boundary=alt",
                                            "",
                                            "--alt",
                                            "Content-Type: text/plain",
                                            "",
                                            "plain",
                                            "--alt",
                                            "Content-Type: text/html",
                                            "",
                                            "<p>html</p>",
                                            "--alt--"};
    MessageIndexEntry& e = Store(lines);
    EXPECT_EQ(PartIds(e), (std::vector<std::string>{"1.1", "1.2"}));
}

TEST_F(MessageBuilderTest, NestedAlternativeKeepsItsPartNumber)
{
    const std::vector<std::string> lines = {"Content-Type: multipart/mixed; boundary=out",
                                            "",
                                            "--out",
                                            "Content-Type: multipart/alternative; boundary=in",
                                            "",
                                            "--in",
                                            "Content-Type: text/plain",
                                            "",
                                            "p",
                                            "--in",
                                            "Content-Type: text/html",
                                            "",
                                            "h",
                                            "--in--",
                                            "--out",
                                            "Content-Type: application/pdf",
                                            "",
                                            "pdf",
                                            "--out--"};
    MessageIndexEntry& e = Store(lines);
    EXPECT_EQ(PartIds(e), (std::vector<std::string>{"1.1", "1.2", "2.0"}));
}

TEST_F(MessageBuilderTest, LoneNonTextBodyIsOnePartAndDashedLinesStayInIt)
{
    const std::vector<std::string> lines = {
            "Content-Type: application/pdf", "", "%PDF-1.4", "-----BEGIN X-----", "----",
            "Content-Type: text/plain",      "", "%%EOF"};
    MessageIndexEntry& e = Store(lines);
    ASSERT_EQ(PartIds(e), (std::vector<std::string>{"0.0"}));
    const PartIndexEntry& part = e.GetPartIndex()->Item(0);
    EXPECT_EQ(part.FileName, "ATT00001.pdf");
    EXPECT_EQ(part.LineCount, 6u) << "no line of the body is taken as a boundary";
}

TEST_F(MessageBuilderTest, UuencodedBlockNeedsModeNameAndExactEnd)
{
    const std::vector<std::string> uu = {"Subject: pic", "", "Here it is:", "begin 644 pic.gif", "M1234567", "`",
                                         "end",          "", "bye"};
    MessageIndexEntry& e = Store(uu);
    EXPECT_TRUE(e.HasFlag(MessageFlag::HasAttachments));
    const PartIndex& parts = *e.GetPartIndex();
    ASSERT_EQ(parts.Count(), 3);
    EXPECT_EQ(parts.Item(0).ContentType, "text/plain");
    EXPECT_EQ(parts.Item(0).Part, 0);
    EXPECT_EQ(parts.Item(1).FileName, "pic.gif");
    EXPECT_EQ(parts.Item(1).ContentType, "image/gif");
    EXPECT_EQ(parts.Item(1).TransferEncoding, "uuencode");
    EXPECT_EQ(parts.Item(1).Part, 1);
    EXPECT_EQ(parts.Item(1).Size, 8 * 6 / 8 + 1 * 6 / 8);
    EXPECT_EQ(parts.Item(2).Part, 2);
    const std::string file = ReadAll(e.GetMessagePath());
    EXPECT_EQ(file.substr(parts.Item(1).Offset, 8), "M1234567");

    for (const std::vector<std::string>& lines :
         {std::vector<std::string>{"Subject: x", "", "begin the meeting at ten", "endless talk", "end"},
          std::vector<std::string>{"Subject: x", "", "begin 64 a.gif", "M", "end"},
          std::vector<std::string>{"Subject: x", "", "begin 644 a.gif", "M", "ending"}}) {
        MessageIndexEntry& plain = Store(lines);
        EXPECT_FALSE(plain.HasFlag(MessageFlag::HasAttachments)) << lines[2] << " / " << lines[4];
    }
}

TEST_F(MessageBuilderTest, EntryFieldsComeFromTheTopHeaders)
{
    struct Case {
        std::vector<std::string> Headers;
        bool UseReceivedDate;
        std::uint32_t Flags;
        std::int64_t Date;
    };

    const std::string received = "Received: from x by y; Tue, 08 Dec 2026 10:00:00 +0000";
    const std::string date = "Date: Mon, 07 Dec 2026 10:00:00 +0000";
    const Case cases[] = {
            {{"X-Priority: 1 (Highest)"}, false, MessageFlag::Urgent, 0},
            {{"Priority: URGENT"}, false, MessageFlag::Urgent, 0},
            {{"X-Priority: 3"}, false, 0, 0},
            {{"Disposition-Notification-To: a@x.com"}, false, MessageFlag::ConfirmReading, 0},
            {{"X-Confirm-Reading-To: a@x.com"}, false, MessageFlag::ConfirmReading, 0},
            {{date, received}, false, 0, 1796637600},
            {{date, received}, true, 0, 1796724000},
            {{received}, false, 0, 1796724000},
            {{"Date: Tue, 01 Jan 2041 00:00:00 +0000"}, false, 0, 2240611200},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Headers[0]);
        m_dir.WriteFile("Quillmail.ini",
                        std::string("[PopClient]\r\nUseReceivedDate=") + (c.UseReceivedDate ? "Yes" : "No") + "\r\n");
        std::vector<std::string> lines = c.Headers;
        lines.insert(lines.end(), {"", "text"});
        MessageIndexEntry& e = Store(lines);
        EXPECT_EQ(e.Flags(), MessageFlag::New | MessageFlag::Stored | c.Flags);
        EXPECT_EQ(e.Date(), c.Date);
    }
}

TEST_F(MessageBuilderTest, FetchedMessageTakesItsFolderFromTheFilters)
{
    TestUser user(UserDir());
    fs::create_directories(m_dir.Path() / "Lists");
    ASSERT_TRUE(user.Folders().Refresh());
    ASSERT_EQ(user.Filters().AddFromText("Y S C \"digest\" \"Lists\""), FilterList::AddResult::Added);
    ASSERT_EQ(user.Filters().AddFromText("Y S C \"gone\" \"Missing\""), FilterList::AddResult::Added);
    MailHostAccount account;
    ASSERT_TRUE(account.SetMailbox("work"));
    StringList seen;

    struct Case {
        const char* Subject;
        const char* Folder;
    };

    for (const Case c : {Case{"Weekly digest", "Lists"}, Case{"all gone", "Inbox"}, Case{"hello", "Inbox"}}) {
        const std::string uid = std::string("uid-") + c.Subject;
        MessageBuilder builder(account, m_index, &seen, uid, &user);
        ASSERT_TRUE(builder.Begin(100, true));
        builder.AddLine(std::string("Subject: ") + c.Subject);
        EXPECT_TRUE(builder.InHeader());
        builder.AddLine("");
        builder.AddLine("text");
        MessageIndexEntry* e = builder.Finish();
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(e->Folder(), c.Folder) << c.Subject;
        EXPECT_EQ(e->Mailbox(), "work");
        EXPECT_EQ(e->Uid(), uid);
        EXPECT_TRUE(seen.Contains(uid.c_str()));
        EXPECT_TRUE(fs::exists(e->GetMessagePath()));
    }
}

TEST_F(MessageBuilderTest, UnfinishedBuilderLeavesNoFileAndRebuildNeverDeletesTheSource)
{
    MessageIndexEntry* entry = nullptr;
    {
        MessageBuilder builder(m_index, "Inbox");
        ASSERT_TRUE(builder.Begin(10, true));
        builder.AddLine("Subject: cut off");
        builder.AddLine("");
        builder.AddLine("half a body");
        entry = m_index.Entry(m_index.Count() - 1);
    }
    EXPECT_FALSE(entry->HasFlag(MessageFlag::Stored));
    EXPECT_FALSE(fs::exists(entry->GetMessagePath()));
    for (const auto& item : fs::directory_iterator(m_dir.Path())) {
        EXPECT_EQ(item.path().filename().string().find(".msg.tmp"), std::string::npos) << item.path();
    }

    MessageIndexEntry& stored = Store(kMixed);
    const std::string before = ReadAll(stored.GetMessagePath());
    {
        MessageBuilder rebuild(stored);
        ASSERT_TRUE(rebuild.Begin(stored.Size(), false));
        rebuild.AddReadLine("Subject: x", 12);
        // Destroyed in the middle of the walk.
    }
    EXPECT_EQ(ReadAll(stored.GetMessagePath()), before);
    EXPECT_TRUE(stored.HasFlag(MessageFlag::Stored));
}

TEST_F(MessageBuilderTest, LostPartIndexIsRebuiltFromTheMessageFileOnce)
{
    MessageIndexEntry& e = Store(kMixed);
    PartIndex original;
    ASSERT_TRUE(original.Read(e.GetPartIndexPath().c_str()));
    fs::remove(e.GetPartIndexPath());
    e.ForgetPartIndex();

    const PartIndex& rebuilt = *e.GetPartIndex();
    ASSERT_EQ(rebuilt.Count(), original.Count());
    for (int i = 0; i < rebuilt.Count(); ++i) {
        EXPECT_EQ(rebuilt.Item(i).Offset, original.Item(i).Offset);
        EXPECT_EQ(rebuilt.Item(i).Size, original.Item(i).Size);
        EXPECT_EQ(rebuilt.Item(i).FileName, original.Item(i).FileName);
    }
    EXPECT_TRUE(fs::exists(e.GetPartIndexPath())) << "the rebuilt list is written as the new part index";

    // The same for a text message whose parts came from a uuencoded block.
    MessageIndexEntry& uu = Store({"Subject: pic", "", "text", "begin 600 a.gif", "M12", "end"});
    const int count = uu.GetPartIndex()->Count();
    ASSERT_EQ(count, 2);
    fs::remove(uu.GetPartIndexPath());
    uu.ForgetPartIndex();
    EXPECT_EQ(uu.GetPartIndex()->Count(), count);
    EXPECT_EQ(uu.GetPartIndex()->Item(1).FileName, "a.gif");

    // A missing message file gives an empty list and writes nothing.
    fs::remove(uu.GetMessagePath());
    fs::remove(uu.GetPartIndexPath());
    uu.ForgetPartIndex();
    EXPECT_FALSE(uu.RebuildPartIndex());
    EXPECT_EQ(uu.GetPartIndex()->Count(), 0);
    EXPECT_FALSE(fs::exists(uu.GetPartIndexPath()));
}

TEST_F(MessageBuilderTest, PartNamesAreCleanedAndFoundWhateverTheirCase)
{
    struct Case {
        std::vector<std::string> PartHeaders;
        const char* Name;
    };

    const Case cases[] = {
            {{"Content-Type: application/octet-stream; NAME=\"report.pdf\""}, "report.pdf"},
            {{"Content-Type: image/gif; filename=wrong.gif", "Content-Disposition: attachment"}, "ATT00001.gif"},
            {{"Content-Type: image/gif; name=\"../../etc/passwd\""}, "passwd"},
            {{"Content-Type: image/gif; name=\"C:\\\\temp\\\\x.gif\""}, "x.gif"},
            {{"Content-Type: image/gif; name=\"..\""}, "ATT00001.gif"},
            {{"Content-Type: image/gif; name=a.gif", "Content-Disposition: attachment; FileName=\"b\tc.gif\""},
             "bc.gif"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.PartHeaders[0]);
        std::vector<std::string> lines = {"Content-Type: multipart/mixed; boundary=zz", "", "--zz"};
        lines.insert(lines.end(), c.PartHeaders.begin(), c.PartHeaders.end());
        lines.insert(lines.end(), {"", "data", "--zz--"});
        MessageIndexEntry& e = Store(lines);
        ASSERT_EQ(e.GetPartIndex()->Count(), 1);
        EXPECT_EQ(e.GetPartIndex()->Item(0).FileName, c.Name);
    }
    // An octet stream with a known extension takes the extension's type.
    MessageIndexEntry& typed = Store({"Content-Type: multipart/mixed; boundary=zz", "", "--zz",
                                      "Content-Type: application/octet-stream; name=r.pdf", "", "x", "--zz--"});
    EXPECT_EQ(typed.GetPartIndex()->Item(0).ContentType, "application/pdf");
}

TEST_F(MessageBuilderTest, MultipartWithoutBoundaryHasNoAttachments)
{
    MessageIndexEntry& e = Store({"Content-Type: multipart/mixed", "", "--x", "", "text"});
    EXPECT_FALSE(e.HasFlag(MessageFlag::HasAttachments));
    EXPECT_FALSE(fs::exists(e.GetPartIndexPath()));
}

TEST_F(MessageBuilderTest, HeaderOnlyLinesGetTheirEmptyLineAndAdoptionStoresForeignFiles)
{
    MessageIndexEntry& e = Store({"Subject: only headers"});
    EXPECT_EQ(ReadAll(e.GetMessagePath()), "Subject: only headers\r\n\r\n");

    m_dir.WriteFile("Inbox/foreign.msg", "Subject: dropped in\r\n\r\nhello\r\n");
    FolderList folders(UserDir(), "en");
    test::TempDir scratch{"qm-builder-scratch"};
    m_dir.WriteFile(".QM000777.msg.tmp", "left by a crash");
    m_index.AdoptFolderFiles(folders, scratch.Path().string(), RestoreMessageFile);
    EXPECT_FALSE(fs::exists(m_dir.Path() / ".QM000777.msg.tmp"));
    EXPECT_FALSE(fs::exists(m_dir.Path() / "Inbox/foreign.msg"));
    const MessageIndexEntry* adopted = m_index.Entry(m_index.Count() - 1);
    EXPECT_EQ(adopted->Subject(), "dropped in");
    EXPECT_TRUE(adopted->HasFlag(MessageFlag::Stored));
    EXPECT_EQ(ReadAll(adopted->GetMessagePath()), "Subject: dropped in\r\n\r\nhello\r\n");
    EXPECT_EQ(adopted->Size(), 30);
}

} // namespace
} // namespace qm::store

namespace qm::store {
namespace {

// The hidden temporary files in the user directory.
int TemporaryFiles(const fs::path& dir)
{
    int count = 0;
    for (const auto& item : fs::directory_iterator(dir)) {
        count += item.path().extension() == ".tmp" ? 1 : 0;
    }
    return count;
}

// Messages given a batch are written aside and placed by its Commit only: one data sync for all, one per folder.
TEST_F(MessageBuilderTest, BatchedMessagesArePlacedByTheCommit)
{
    StoreBatch batch;
    const std::vector<std::string> plain = {"From: a@x.com", "Subject: plain", "", "text"};
    std::vector<MessageIndexEntry*> entries;
    for (const auto* lines : {&plain, &kMixed, &plain}) {
        entries.push_back(StoreMessageLines(m_index, "Inbox", *lines, &batch));
        ASSERT_NE(entries.back(), nullptr);
        EXPECT_FALSE(entries.back()->HasFlag(MessageFlag::Stored)) << "stored before the commit";
        EXPECT_FALSE(fs::exists(entries.back()->GetMessagePath())) << "placed before the commit";
    }
    EXPECT_EQ(batch.Count(), 3u);
    EXPECT_EQ(TemporaryFiles(m_dir.Path()), 4) << "three message files and one part index";
    EXPECT_TRUE(batch.Commit().empty());
    EXPECT_EQ(batch.SyncCalls(), 2) << "the data of all, then the Inbox";
    EXPECT_EQ(batch.Count(), 0u);
    EXPECT_EQ(TemporaryFiles(m_dir.Path()), 0);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(entries[i]->HasFlag(MessageFlag::Stored));
        EXPECT_TRUE(fs::exists(entries[i]->GetMessagePath()));
        EXPECT_EQ(fs::exists(entries[i]->GetPartIndexPath()), i == 1);
    }
    EXPECT_EQ(PartIds(*entries[1]), (std::vector<std::string>{"1.0", "2.0"}));
}

TEST_F(MessageBuilderTest, BatchDroppedWithoutCommitLeavesNoFiles)
{
    MessageIndexEntry* entry = nullptr;
    {
        StoreBatch batch;
        entry = StoreMessageLines(m_index, "Inbox", kMixed, &batch);
        ASSERT_NE(entry, nullptr);
        EXPECT_GT(TemporaryFiles(m_dir.Path()), 0);
    }
    EXPECT_EQ(TemporaryFiles(m_dir.Path()), 0);
    EXPECT_FALSE(entry->HasFlag(MessageFlag::Stored));
    EXPECT_FALSE(fs::exists(entry->GetMessagePath()));
}

// A placement that fails (the folder path is taken by a file) leaves the entry unstored, is returned, and leaves no
// temporary file; the other messages of the batch are placed.
TEST_F(MessageBuilderTest, CommitReturnsTheMessagesItCouldNotPlace)
{
    m_dir.WriteFile("Blocked", "not a folder");
    StoreBatch batch;
    const std::vector<std::string> plain = {"From: a@x.com", "Subject: plain", "", "text"};
    MessageIndexEntry* blocked = StoreMessageLines(m_index, "Blocked", plain, &batch);
    MessageIndexEntry* fine = StoreMessageLines(m_index, "Inbox", plain, &batch);
    ASSERT_NE(blocked, nullptr);
    ASSERT_NE(fine, nullptr);
    EXPECT_EQ(batch.Commit(), (std::vector<MessageIndexEntry*>{blocked}));
    EXPECT_FALSE(blocked->HasFlag(MessageFlag::Stored));
    EXPECT_TRUE(fine->HasFlag(MessageFlag::Stored));
    EXPECT_EQ(TemporaryFiles(m_dir.Path()), 0);
}

} // namespace
} // namespace qm::store
