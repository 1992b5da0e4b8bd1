// The POP3 client against a real POP3 server: the distribution's dovecot, started by the test as an unprivileged
// process with a configuration of its own (its own directories, a password file, a maildir with generated
// messages, a loopback port chosen at run time). Nothing outside the test's temporary directory is touched.
#include "platform/ChildProcess.h"
#include "store/MailHostList.h"
#include "store/MessageIndex.h"
#include "store/Pop3Client.h"
#include "store/tests/Pop3TestUser.h"
#include "testsupport/LoopbackListener.h"
#include "testsupport/Program.h"
#include "testsupport/TempDir.h"
#include "testsupport/WaitUntil.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qm::store {
namespace {

namespace fs = std::filesystem;

constexpr const char* kPassword = "dove-pw-9";

std::string DovecotProgram()
{
    std::string path = test::FindProgram("dovecot");
    if (path.empty() && ::access("/usr/sbin/dovecot", X_OK) == 0) {
        path = "/usr/sbin/dovecot";
    }
    return path;
}

// A free loopback port: one the system handed out and that was closed again.
int FreePort()
{
    test::LoopbackListener probe;
    return probe.Port();
}

bool Greets(int port)
{
    test::ScopedFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<std::uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        return false;
    }
    char reply[64] = {};
    timeval wait{5, 0};
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    return ::recv(fd.Get(), reply, sizeof reply - 1, 0) > 3 && std::string(reply).starts_with("+OK");
}

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
        m_program = DovecotProgram();
        if (m_program.empty()) {
            GTEST_SKIP() << "dovecot is not installed (scripts/deps installs dovecot-pop3d)";
        }
        // As root the server runs as nobody; otherwise as the caller.
        if (::geteuid() == 0) {
            Result<RunAsUser> nobody = LookupUser("nobody");
            ASSERT_TRUE(nobody.has_value());
            m_runAs = *nobody;
        }
        const unsigned uid = m_runAs ? m_runAs->Uid : ::getuid();
        const unsigned gid = m_runAs ? m_runAs->Gid : ::getgid();
        passwd user{};
        group grp{};
        passwd* foundUser = nullptr;
        group* foundGroup = nullptr;
        std::vector<char> names(16384);
        std::vector<char> groupNames(16384);
        ASSERT_EQ(::getpwuid_r(uid, &user, names.data(), names.size(), &foundUser), 0);
        ASSERT_EQ(::getgrgid_r(gid, &grp, groupNames.data(), groupNames.size(), &foundGroup), 0);
        ASSERT_NE(foundUser, nullptr);
        ASSERT_NE(foundGroup, nullptr);

        m_base = m_dir.Path() / "dovecot";
        m_maildir = m_base / "mail" / "alice";
        for (const char* sub : {"run", "state", "mail/alice/new", "mail/alice/cur", "mail/alice/tmp"}) {
            fs::create_directories(m_base / sub);
        }
        for (int n = 1; n <= 3; ++n) {
            AddServerMessage(n);
        }
        test::WriteBytes(m_base / "passwd", "alice:{PLAIN}" + std::string(kPassword) + ":" + std::to_string(uid) + ":" +
                                                    std::to_string(gid) + "::" + m_maildir.string() + "::\n");
        m_port = FreePort();
        test::WriteBytes(m_base / "dovecot.conf", Config(user.pw_name, grp.gr_name));
        if (m_runAs) {
            // The server's own files belong to it; the rest of the test directory is only passed through.
            fs::permissions(m_dir.Path(), fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
            for (const auto& item : fs::recursive_directory_iterator(m_base)) {
                ASSERT_EQ(::lchown(item.path().c_str(), uid, gid), 0);
            }
            ASSERT_EQ(::lchown(m_base.c_str(), uid, gid), 0);
        }
        StartServer();

        m_account.SetMailbox("dove");
        m_account.SetHost("127.0.0.1");
        m_account.SetPort(m_port);
        m_account.SetUser("alice");
        m_account.SetPass(kPassword);
    }

    void TearDown() override
    {
        if (m_server) {
            static_cast<void>(m_server->Kill());
        }
    }

    std::string Config(const std::string& userName, const std::string& groupName) const
    {
        const std::string base = m_base.string();
        return "base_dir = " + base + "/run\n" + "state_dir = " + base + "/state\n" + "log_path = " + base +
               "/dovecot.log\n" + "protocols = pop3\nlisten = 127.0.0.1\nssl = no\n" +
               "disable_plaintext_auth = no\nauth_mechanisms = plain\n" + "default_internal_user = " + userName +
               "\ndefault_internal_group = " + groupName + "\ndefault_login_user = " + userName +
               "\nfirst_valid_uid = 0\nfirst_valid_gid = 0\n" + "mail_location = maildir:~\n" +
               "pop3_uidl_format = %08Xu%08Xv\n" + "passdb {\n  driver = passwd-file\n  args = scheme=PLAIN " + base +
               "/passwd\n}\n" + "userdb {\n  driver = passwd-file\n  args = " + base + "/passwd\n}\n" +
               "service pop3-login {\n  chroot =\n  inet_listener pop3 {\n    address = 127.0.0.1\n    port = " +
               std::to_string(m_port) + "\n  }\n}\n" + "service anvil {\n  chroot =\n}\n" +
               "service imap-login {\n  chroot =\n}\n" + "service submission-login {\n  chroot =\n}\n";
    }

    void StartServer()
    {
        ChildOptions options;
        options.Argv = {m_program, "-F", "-c", (m_base / "dovecot.conf").string()};
        options.Environment = test::ChildEnvironment();
        options.Stdout = ChildStdio::File((m_dir.Path() / "dovecot.out").string());
        options.Stderr = ChildStdio::File((m_dir.Path() / "dovecot.err").string());
        options.User = m_runAs;
        options.Group = ProcessGroup::NewGroup; // stopping it stops its helper processes too
        Result<ChildProcess> child = ChildProcess::Start(options);
        ASSERT_TRUE(child.has_value()) << child.error().Message;
        m_server.emplace(std::move(*child));
        ASSERT_TRUE(test::WaitUntil([this] { return Greets(m_port); }))
                << test::ReadBytes(m_dir.Path() / "dovecot.err") << test::ReadBytes(m_base / "dovecot.log");
    }

    void AddServerMessage(int n, std::size_t bodyBytes = 20)
    {
        const fs::path path = m_maildir / "new" / ("100" + std::to_string(n) + ".M1P1.test");
        test::WriteBytes(path, MessageText(n, bodyBytes));
        if (m_runAs) {
            ASSERT_EQ(::lchown(path.c_str(), m_runAs->Uid, m_runAs->Gid), 0);
        }
    }

    int ServerMessageCount() const
    {
        int count = 0;
        for (const char* sub : {"new", "cur"}) {
            for (const auto& item : fs::directory_iterator(m_maildir / sub)) {
                count += item.is_regular_file() ? 1 : 0;
            }
        }
        return count;
    }

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
    std::string m_program;
    std::optional<RunAsUser> m_runAs;
    std::optional<ChildProcess> m_server;
    fs::path m_base;
    fs::path m_maildir;
    int m_port = 0;
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
