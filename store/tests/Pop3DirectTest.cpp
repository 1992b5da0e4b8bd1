// Direct mode: the POP3 client reading the companion's mailbox directory through the companion library of our own.
#include "common/Scrambler.h"
#include "common/ScramblerKeys.h"
#include "store/CvUserBinding.h"
#include "store/MailHostList.h"
#include "store/MessageIndex.h"
#include "store/Pop3Client.h"
#include "store/tests/Pop3TestUser.h"
#include "testsupport/LoopbackListener.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace qm::store {
namespace {

namespace fs = std::filesystem;

constexpr const char* kPassword = "direct-pw";

// A message file as the companion writes one: CR LF line ends.
std::string MessageFile(const std::string& subject, const std::string& body = "hello")
{
    return "From: a@x.com\r\nTo: alice@example.org\r\nSubject: " + subject + "\r\n\r\n" + body + "\r\n";
}

// The companion's enciphered form of text before base64: the key text added to every byte.
std::string CipheredBytes(const std::string& text)
{
    std::string bytes = text;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<char>(static_cast<unsigned char>(bytes[i]) +
                                     static_cast<unsigned char>(kDescramblerKeyText[i % 242]));
    }
    return bytes;
}

// The companion's enciphered form: the marker line, then the text with the key added, base64 in lines of 76.
std::string Enciphered(const std::string& text)
{
    const std::string coded = Base64Encode(CipheredBytes(text));
    std::string file = "Encrypted By Corvid\r\n";
    for (std::size_t at = 0; at < coded.size(); at += 76) {
        file += coded.substr(at, 76) + "\r\n";
    }
    return file;
}

class Pop3DirectTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_appDir = m_dir / "corvid";
        fs::create_directories(m_appDir);
        fs::copy_file(QM_CVUSER_LIBRARY, m_appDir + "/" + kCvUserLibraryName);
        test::WriteBytes(m_appDir + "/Corvid.ini", "[Domains]\r\nDefault=example.org\r\n[Directories]\r\nMailRoot=" +
                                                           (m_dir / "mailroot") + "\r\n");
        test::WriteBytes(m_appDir + "/Users.ini",
                         "[alice@example.org]\r\nFullName=Alice\r\nPassword=" + std::string(kPassword) + "\r\n");
        test::WriteBytes(m_dir / "Quillmail.ini", "[Directories]\r\nCorvidAppDir=" + m_appDir + "\r\n");
        Result<void> loaded =
                LoadCVUser((m_appDir + "/" + kCvUserLibraryName).c_str(), CvReload::Yes, CvMissing::Refuse);
        ASSERT_TRUE(loaded.has_value()) << loaded.error().Message;
        m_mailDir = m_dir / "mailroot/example.org/alice";
        fs::create_directories(m_mailDir);

        m_account.SetMailbox("corvid");
        m_account.SetEMail("alice@example.org");
        m_account.SetHost("127.0.0.1");
        m_account.SetPort(1);
        m_account.SetUser("alice@example.org");
        m_account.SetPass(kPassword);
    }

    void TearDown() override { UnloadCVUser(); }

    void AddFile(const std::string& name, const std::string& text) const
    {
        test::WriteBytes(m_mailDir + "/" + name, text);
    }

    bool Exists(const std::string& name) const { return fs::exists(m_mailDir + "/" + name); }

    MessageIndex& Index() { return m_user.Messages(); }

    MessageIndexEntry* FindSubject(const std::string& subject)
    {
        for (int i = 0; i < Index().Count(); ++i) {
            if (Index().Entry(i)->Subject() == subject) {
                return Index().Entry(i);
            }
        }
        return nullptr;
    }

    bool Fetch(std::int64_t cutoff = 8192, int* result = nullptr)
    {
        Pop3Client client(&m_user, m_account, &m_log);
        const bool fetched = client.FetchNewMail(cutoff);
        if (result != nullptr) {
            *result = client.GetResult();
        }
        return fetched;
    }

    std::string UidFile() const { return test::ReadBytes(m_dir / "user/corvid.uid"); }

    test::TempDir m_dir{"qm-pop3-direct"};
    test::Pop3TestSettings m_settings{m_dir, 5};
    test::Pop3TestUser m_user{m_dir / "user"};
    test::StoreLogRecorder m_log;
    MailHostAccount m_account;
    std::string m_appDir;
    std::string m_mailDir;
};

TEST_F(Pop3DirectTest, FetchesTheMailboxFilesOnceAndLeavesThemWithoutDelete)
{
    AddFile("R0001.MSG", MessageFile("one"));
    AddFile("R0002.MSG", MessageFile("two", "..two dots stay"));
    AddFile("R0003.MSG", MessageFile("being written"));
    AddFile("R0003.LCK", "");
    AddFile("R0004.RCV", MessageFile("also being written"));
    AddFile("R0004.RCV.LCK", "");
    AddFile("other.MRK", "x");
    ASSERT_TRUE(Fetch()) << m_log.Text();
    ASSERT_EQ(Index().Count(), 2);
    for (const auto& [subject, file] : {std::pair{"one", "R0001.MSG"}, std::pair{"two", "R0002.MSG"}}) {
        SCOPED_TRACE(subject);
        MessageIndexEntry* entry = FindSubject(subject);
        ASSERT_NE(entry, nullptr);
        EXPECT_TRUE(entry->HasFlag(MessageFlag::Stored));
        EXPECT_EQ(entry->Mailbox(), "corvid");
        EXPECT_EQ(test::ReadBytes(entry->GetMessagePath()), test::ReadBytes(m_mailDir + "/" + file));
        // The name with its first 'R' as 'M', dots as ':', then the size and the time stamp, in upper case.
        EXPECT_TRUE(entry->Uid().starts_with(std::string("M000") + file[4] + ":MSG:")) << entry->Uid();
        EXPECT_TRUE(Exists(file));
    }
    EXPECT_FALSE(Exists("poplock.lck"));
    EXPECT_NE(test::ReadBytes(m_mailDir + "/hiwater.mrk").find("[LastAccess]"), std::string::npos);
    const std::string uids = UidFile();
    EXPECT_EQ(uids, FindSubject("one")->Uid() + "\r\n" + FindSubject("two")->Uid() + "\r\n");

    ASSERT_TRUE(Fetch());
    EXPECT_EQ(Index().Count(), 2);
    EXPECT_EQ(UidFile(), uids);
    EXPECT_NE(m_log.Text().find("Corvid POP3 session completed."), std::string::npos);
}

TEST_F(Pop3DirectTest, UidsTakeTheSafeHashFormWhenTheCompanionAsksForIt)
{
    test::WriteBytes(m_appDir + "/Corvid.ini",
                     "[Directories]\r\nMailRoot=" + (m_dir / "mailroot") + "\r\n[Special]\r\nUseSafeHash=Yes\r\n");
    AddFile("msg 1.txt", MessageFile("safe"));
    fs::last_write_time(m_mailDir + "/msg 1.txt", fs::file_time_type::clock::from_sys(
                                                          std::chrono::sys_seconds{std::chrono::seconds{1000000000}}));
    ASSERT_TRUE(Fetch()) << m_log.Text();
    MessageIndexEntry* entry = FindSubject("safe");
    ASSERT_NE(entry, nullptr);
    // 2001-09-09 01:46:40 UTC is 126444736000000000 in 100 ns steps since 1601: high word 29440209, low 1157595136.
    const std::string size = std::to_string(MessageFile("safe").size());
    EXPECT_EQ(entry->Uid(), "MSG:1:TXT:" + size + ":29440209:1157595136");
}

TEST_F(Pop3DirectTest, DeleteAfterFetchRemovesStoredFilesAndKeepsLargeOnes)
{
    m_account.SetDelete(2);
    AddFile("R0001.MSG", MessageFile("small"));
    AddFile("R0002.MSG", MessageFile("large", std::string(9000, 'x')));
    ASSERT_TRUE(Fetch(8192)) << m_log.Text();
    EXPECT_FALSE(Exists("R0001.MSG"));
    EXPECT_TRUE(Exists("R0002.MSG"));
    MessageIndexEntry* large = FindSubject("large");
    ASSERT_NE(large, nullptr);
    EXPECT_FALSE(large->HasFlag(MessageFlag::Stored));

    Pop3Client client(&m_user, m_account, &m_log);
    EXPECT_EQ(client.RetrieveMessage(*large), 1) << m_log.Text();
    EXPECT_EQ(test::ReadBytes(large->GetMessagePath()), MessageFile("large", std::string(9000, 'x')));
    EXPECT_FALSE(Exists("R0002.MSG"));
}

TEST_F(Pop3DirectTest, FileLargerThanTheCapIsSkippedAndStaysInTheMailbox)
{
    test::WriteBytes(m_dir / "Quillmail.ini",
                     "[Directories]\r\nCorvidAppDir=" + m_appDir + "\r\n[PopClient]\r\nMaxMessageSize=5000\r\n");
    m_account.SetDelete(2);
    AddFile("R0001.MSG", MessageFile("small"));
    AddFile("R0002.MSG", MessageFile("huge", std::string(9000, 'x')));
    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE(run);
        Pop3Client client(&m_user, m_account, &m_log);
        EXPECT_TRUE(client.FetchNewMail(0)) << m_log.Text();
        // Skipped and counted once: the second run knows its UID.
        EXPECT_EQ(client.MessagesSkipped(), run == 1 ? 1 : 0);
        EXPECT_EQ(Index().Count(), 1);
        EXPECT_NE(FindSubject("small"), nullptr);
        EXPECT_EQ(FindSubject("huge"), nullptr);
        EXPECT_FALSE(Exists("R0001.MSG"));
        EXPECT_TRUE(Exists("R0002.MSG"));
        EXPECT_NE(UidFile().find("M0002:MSG:"), std::string::npos) << UidFile();
    }
    std::size_t logged = 0;
    for (const std::string& line : m_log.Lines) {
        logged += line.find("R0002.MSG skipped") != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(logged, 1u) << m_log.Text();
}

TEST_F(Pop3DirectTest, FileThatCannotBeStoredStaysInTheMailbox)
{
    m_account.SetDelete(2);
    AddFile("R0001.MSG", MessageFile("kept"));
    fs::create_directories(m_dir / ("user/." + MessageFileId(Index().PeekNextNumber()) + ".msg.tmp"));
    int result = -1;
    EXPECT_FALSE(Fetch(8192, &result));
    EXPECT_EQ(result, kPop3ErrorReply);
    EXPECT_TRUE(Exists("R0001.MSG"));
    EXPECT_EQ(Index().Count(), 0);
    EXPECT_EQ(UidFile(), "");
    EXPECT_FALSE(Exists("poplock.lck"));
}

TEST_F(Pop3DirectTest, DeleteFromServerRemovesTheFilesOfMessagesDeletedHere)
{
    AddFile("R0001.MSG", MessageFile("one"));
    AddFile("R0002.MSG", MessageFile("two"));
    ASSERT_TRUE(Fetch());
    ASSERT_EQ(Index().DeleteEntry(FindSubject("one")), MessageIndex::DeleteOutcome::Kept);
    Pop3Client client(&m_user, m_account, &m_log);
    EXPECT_TRUE(client.DeleteFromServer());
    EXPECT_FALSE(Exists("R0001.MSG"));
    EXPECT_TRUE(Exists("R0002.MSG"));
    EXPECT_EQ(Index().Count(), 1);
}

// Lines of 8-bit text, repeated until they cover every position of the key text several times.
std::string EightBitMessage(const std::string& subject, const std::string& line, std::size_t bodyBytes)
{
    std::string text = "From: a@x.com\r\nSubject: " + subject + "\r\n\r\n";
    while (text.size() < bodyBytes) {
        text += line + "\r\n";
    }
    return text;
}

TEST_F(Pop3DirectTest, EncipheredFilesAreDecipheredWholeByLength)
{
    m_account.SetDelete(2);

    struct Case {
        const char* Name;
        std::string Text;
    };

    const std::vector<Case> cases = {
            {"short", "From: a@x.com\r\nSubject: short\r\n\r\nline one\r\n\r\nline two\r\n"},
            {"utf-8", EightBitMessage("utf-8",
                                      "Gr\xC3\xBC\xC3\x9F"
                                      "e aus K\xC3\xB6ln: caf\xC3\xA9, na\xC3\xAFve",
                                      3000)},
            {"latin-1", EightBitMessage("latin-1",
                                        "Voil\xE0, \xE0 la fran\xE7"
                                        "aise: d\xE9j\xE0 vu \xE0 Z\xFCrich",
                                        3000)},
            {"200 KB", EightBitMessage("200 KB",
                                       "Stra\xC3\x9F"
                                       "e, \xC3\x86r\xC3\xB8 and plain words",
                                       200 * 1024)},
    };
    int file = 0;
    for (const Case& c : cases) {
        if (c.Name != std::string("short")) {
            ASSERT_NE(CipheredBytes(c.Text).find('\0'), std::string::npos)
                    << c.Name << ": the fixture must hold a byte whose ciphered form is 0";
        }
        AddFile("R000" + std::to_string(++file) + ".MSG", Enciphered(c.Text));
    }
    ASSERT_TRUE(Fetch(0)) << m_log.Text();
    EXPECT_EQ(Index().Count(), static_cast<int>(cases.size()));
    file = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::string name = "R000" + std::to_string(++file) + ".MSG";
        MessageIndexEntry* entry = FindSubject(c.Name);
        ASSERT_NE(entry, nullptr);
        EXPECT_TRUE(entry->HasFlag(MessageFlag::Stored));
        const std::string stored = test::ReadBytes(entry->GetMessagePath());
        EXPECT_EQ(stored.size(), c.Text.size());
        EXPECT_TRUE(stored == c.Text) << "the stored message differs from the deciphered text";
        EXPECT_EQ(entry->Size(), static_cast<std::int32_t>(c.Text.size()));
        EXPECT_FALSE(Exists(name)) << "Delete 2 removes the companion's file of a message stored whole";
    }
}

TEST_F(Pop3DirectTest, LargeEncipheredMessageIsFetchedWithItsHeadersFirstAndWholeLater)
{
    m_account.SetDelete(2);
    const std::string text = EightBitMessage("large",
                                             "Gr\xC3\xBC\xC3\x9F"
                                             "e, caf\xC3\xA9",
                                             20000);
    AddFile("R0001.MSG", Enciphered(text));
    ASSERT_TRUE(Fetch(8192)) << m_log.Text();
    MessageIndexEntry* entry = FindSubject("large");
    ASSERT_NE(entry, nullptr);
    EXPECT_FALSE(entry->HasFlag(MessageFlag::Stored));
    EXPECT_EQ(entry->Size(), static_cast<std::int32_t>(text.size())) << "the size of the deciphered text";
    EXPECT_TRUE(Exists("R0001.MSG"));

    Pop3Client client(&m_user, m_account, &m_log);
    ASSERT_EQ(client.RetrieveMessage(*entry), 1) << m_log.Text();
    EXPECT_TRUE(test::ReadBytes(entry->GetMessagePath()) == text);
    EXPECT_FALSE(Exists("R0001.MSG"));
}

TEST_F(Pop3DirectTest, EncipheredFileThatCannotBeReadWholeIsNeitherStoredNorDeleted)
{
    m_account.SetDelete(2);
    // Text that is not base64 in the middle of the enciphered lines: what follows it cannot be deciphered.
    std::string damaged = Enciphered(MessageFile("damaged", std::string(400, 'd')));
    damaged.insert(damaged.find("\r\n", 30) + 2, "** not base64 **\r\n");
    AddFile("R0001.MSG", damaged);
    AddFile("R0002.MSG", Enciphered(MessageFile("fine")));
    ASSERT_TRUE(Fetch(0)) << m_log.Text();
    EXPECT_EQ(FindSubject("damaged"), nullptr);
    EXPECT_TRUE(Exists("R0001.MSG"));
    ASSERT_NE(FindSubject("fine"), nullptr);
    EXPECT_FALSE(Exists("R0002.MSG"));
    EXPECT_NE(m_log.Text().find("R0001.MSG"), std::string::npos) << m_log.Text();
    EXPECT_EQ(UidFile(), FindSubject("fine")->Uid() + "\r\n") << "the damaged message is tried again next time";
}

TEST_F(Pop3DirectTest, LockedMailboxOrWrongPasswordEndsTheRun)
{
    AddFile("R0001.MSG", MessageFile("one"));
    AddFile("poplock.lck", "");
    int result = -1;
    EXPECT_FALSE(Fetch(8192, &result));
    EXPECT_EQ(result, kPop3MailboxLocked);
    EXPECT_TRUE(Exists("poplock.lck")); // another reader's lock stays
    EXPECT_NE(m_log.Text().find("Corvid POP3 mailbox is locked."), std::string::npos) << m_log.Text();

    fs::remove(m_mailDir + "/poplock.lck");
    m_account.SetPass("wrong");
    EXPECT_FALSE(Fetch(8192, &result));
    EXPECT_EQ(result, kPop3LogonRefused);
    EXPECT_NE(m_log.Text().find("Corvid POP3 invalid logon attempt for alice@example.org."), std::string::npos);
    EXPECT_EQ(Index().Count(), 0);
}

TEST_F(Pop3DirectTest, AddressTheCompanionDoesNotKnowTalksPop3)
{
    m_account.SetUser("bob@example.org");
    int port = 0;
    {
        test::LoopbackListener closed;
        port = closed.Port();
    }
    m_account.SetPort(port);
    int result = -1;
    EXPECT_FALSE(Fetch(8192, &result));
    EXPECT_EQ(result, kPop3ConnectError);

    test::WriteBytes(m_dir / "Quillmail.ini", "[Mailboxes]\r\nDirectCorvidPOP3=No\r\n");
    m_account.SetUser("alice@example.org");
    EXPECT_FALSE(Fetch(8192, &result));
    EXPECT_EQ(result, kPop3ConnectError);
}

} // namespace
} // namespace qm::store
