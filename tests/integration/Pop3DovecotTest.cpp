// The POP3 client against a real POP3 server: the distribution's dovecot, started by the test as an unprivileged
// process with a configuration of its own (its own directories, a password file, a maildir with generated
// messages, a loopback port chosen at run time). Nothing outside the test's temporary directory is touched.
#include "store/MailHostList.h"
#include "store/MessageIndex.h"
#include "store/Pop3Client.h"
#include "store/tests/Pop3TestUser.h"
#include "testsupport/DovecotServer.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace qm::store {
namespace {

namespace fs = std::filesystem;

constexpr const char* kPassword = "dove-pw-9";

std::string MessageText(int n, std::size_t bodyBytes = 20)
{
    return "From: sender" + std::to_string(n) + "@example.org\nTo: alice@example.org\nSubject: message " +
           std::to_string(n) + "\n\n" + std::string(bodyBytes, static_cast<char>('a' + n)) + "\n.starts with a dot\n";
}

// The stored form of MessageText: CR LF line ends.
std::string StoredText(int n, std::size_t bodyBytes = 20)
{
    std::string text = MessageText(n, bodyBytes);
    std::string out;
    for (char c : text) {
        if (c == '\n') {
            out += '\r';
        }
        out += c;
    }
    return out;
}

class Pop3DovecotTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (test::DovecotServer::Program().empty()) {
            GTEST_SKIP() << "dovecot is not installed (scripts/deps installs dovecot-pop3d)";
        }
        const std::string prepared = m_server.Prepare();
        ASSERT_EQ(prepared, "");
        for (int n = 1; n <= 3; ++n) {
            AddServerMessage(n);
        }
        const std::string started = m_server.Start();
        ASSERT_EQ(started, "");

        m_account.SetMailbox("dove");
        m_account.SetHost("127.0.0.1");
        m_account.SetPort(m_server.Port());
        m_account.SetUser("alice");
        m_account.SetPass(kPassword);
    }

    void AddServerMessage(int n, std::size_t bodyBytes = 20)
    {
        ASSERT_TRUE(m_server.AddMessage("100" + std::to_string(n) + ".M1P1.test", MessageText(n, bodyBytes)));
    }

    int ServerMessageCount() const { return m_server.MessageCount(); }

    bool Fetch(std::int64_t cutoff = 8192, int* retrieved = nullptr)
    {
        Pop3Client client(&m_user, m_account, &m_log);
        const bool fetched = client.FetchNewMail(cutoff);
        EXPECT_EQ(client.GetResult(), kPop3Success) << m_log.Text();
        if (retrieved != nullptr) {
            *retrieved = client.MessagesRetrieved();
        }
        return fetched;
    }

    MessageIndexEntry* FindSubject(const std::string& subject)
    {
        for (int i = 0; i < Index().Count(); ++i) {
            if (Index().Entry(i)->Subject() == subject) {
                return Index().Entry(i);
            }
        }
        return nullptr;
    }

    MessageIndex& Index() { return m_user.Messages(); }

    test::TempDir m_dir{"qm-dovecot"};
    test::Pop3TestSettings m_settings{m_dir, 20};
    test::Pop3TestUser m_user{m_dir / "user"};
    test::StoreLogRecorder m_log;
    MailHostAccount m_account;
    test::DovecotServer m_server{m_dir.Path(), "alice", kPassword};
};

TEST_F(Pop3DovecotTest, FetchesEachMessageOnceAndStoresItWhole)
{
    int retrieved = -1;
    ASSERT_TRUE(Fetch(8192, &retrieved)) << m_log.Text();
    EXPECT_EQ(retrieved, 3);
    ASSERT_EQ(Index().Count(), 3);
    for (int n = 1; n <= 3; ++n) {
        SCOPED_TRACE(n);
        MessageIndexEntry* entry = FindSubject("message " + std::to_string(n));
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(entry->Mailbox(), "dove");
        EXPECT_FALSE(entry->Uid().empty());
        EXPECT_TRUE(entry->HasFlag(MessageFlag::Stored));
        EXPECT_EQ(test::ReadBytes(entry->GetMessagePath()), StoredText(n));
    }
    const std::string uids = test::ReadBytes(m_dir / "user/dove.uid");
    EXPECT_EQ(std::count(uids.begin(), uids.end(), '\n'), 3) << uids;

    ASSERT_TRUE(Fetch(8192, &retrieved)) << m_log.Text();
    EXPECT_EQ(retrieved, 0);
    EXPECT_EQ(Index().Count(), 3);
    EXPECT_EQ(test::ReadBytes(m_dir / "user/dove.uid"), uids);
    EXPECT_EQ(ServerMessageCount(), 3);
    EXPECT_EQ(m_log.Text().find(kPassword), std::string::npos);
}

TEST_F(Pop3DovecotTest, DeletesOnTheServerWhatWasDeletedHere)
{
    ASSERT_TRUE(Fetch()) << m_log.Text();
    MessageIndexEntry* entry = FindSubject("message 2");
    ASSERT_NE(entry, nullptr);
    ASSERT_EQ(Index().DeleteEntry(entry), MessageIndex::DeleteOutcome::Kept);

    Pop3Client client(&m_user, m_account, &m_log);
    EXPECT_TRUE(client.DeleteFromServer()) << m_log.Text();
    EXPECT_EQ(client.MessagesDeleted(), 1);
    EXPECT_EQ(Index().Count(), 2);
    EXPECT_EQ(FindSubject("message 2"), nullptr);
    EXPECT_EQ(ServerMessageCount(), 2);

    int retrieved = -1;
    ASSERT_TRUE(Fetch(8192, &retrieved));
    EXPECT_EQ(retrieved, 0);
}

TEST_F(Pop3DovecotTest, DeleteAfterFetchRemovesFullyFetchedMessagesOnly)
{
    AddServerMessage(4, 9000); // past the cut-off: headers only, stays on the server
    m_account.SetDelete(2);
    int retrieved = -1;
    ASSERT_TRUE(Fetch(8192, &retrieved)) << m_log.Text();
    EXPECT_EQ(retrieved, 3);
    EXPECT_EQ(Index().Count(), 4);
    EXPECT_EQ(ServerMessageCount(), 1);

    MessageIndexEntry* large = FindSubject("message 4");
    ASSERT_NE(large, nullptr);
    EXPECT_FALSE(large->HasFlag(MessageFlag::Stored));
    Pop3Client client(&m_user, m_account, &m_log);
    EXPECT_EQ(client.RetrieveMessage(*large), 1) << m_log.Text();
    EXPECT_EQ(test::ReadBytes(large->GetMessagePath()), StoredText(4, 9000));
    EXPECT_EQ(ServerMessageCount(), 0);
}

TEST_F(Pop3DovecotTest, SwitchingToDeleteAfterFetchLeavesWhatEarlierRunsStoredOnTheServer)
{
    // Another client of the mailbox still wants the messages that a run without server deletion fetched.
    ASSERT_TRUE(Fetch()) << m_log.Text();
    ASSERT_TRUE(Index().Save());
    EXPECT_EQ(ServerMessageCount(), 3);

    m_account.SetDelete(2);
    AddServerMessage(4);
    int retrieved = -1;
    ASSERT_TRUE(Fetch(8192, &retrieved)) << m_log.Text();
    EXPECT_EQ(retrieved, 1);
    EXPECT_EQ(Index().Count(), 4);
    EXPECT_EQ(ServerMessageCount(), 3) << "only the message fetched with Delete 2 goes";
}

TEST_F(Pop3DovecotTest, MessagesTooLargeStayOnTheServerWhileLaterMailArrives)
{
    test::WriteBytes(m_dir / "Quillmail.ini",
                     "[PopClient]\r\nTimeout=20\r\nMaxMessageSize=2000000\r\n[WebServer]\r\nBindAddress=127.0.0.1\r\n");
    AddServerMessage(4, 3000000); // larger than the cap: not fetched at all
    AddServerMessage(5, 1200000); // below the cap, but its body is one line over 1 MiB
    m_account.SetDelete(2);
    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE(run);
        if (run == 2) {
            AddServerMessage(6);
        }
        Pop3Client client(&m_user, m_account, &m_log);
        ASSERT_TRUE(client.FetchNewMail(0)) << m_log.Text();
        EXPECT_EQ(client.MessagesRetrieved(), run == 1 ? 3 : 1);
        EXPECT_EQ(client.MessagesSkipped(), run == 1 ? 2 : 0) << "remembered, not fetched again";
        EXPECT_EQ(Index().Count(), run == 1 ? 3 : 4);
        EXPECT_EQ(FindSubject("message 4"), nullptr);
        EXPECT_EQ(FindSubject("message 5"), nullptr);
        EXPECT_EQ(ServerMessageCount(), 2) << "the skipped ones are never deleted";
    }
    ASSERT_NE(FindSubject("message 6"), nullptr);
    EXPECT_EQ(test::ReadBytes(FindSubject("message 6")->GetMessagePath()), StoredText(6));
}

TEST_F(Pop3DovecotTest, WrongPasswordIsALogonRefusal)
{
    m_account.SetPass("not-it");
    Pop3Client client(&m_user, m_account, &m_log);
    EXPECT_FALSE(client.TestLogon());
    EXPECT_EQ(client.GetResult(), kPop3LogonRefused) << m_log.Text();
    m_account.SetPass(kPassword);
    Pop3Client again(&m_user, m_account, &m_log);
    EXPECT_TRUE(again.TestLogon()) << m_log.Text();
}

} // namespace
} // namespace qm::store
