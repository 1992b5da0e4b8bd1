// A fetch killed with SIGKILL at random points loses no message: the helper program qm_fetch_helper fetches a
// user's mail from a real dovecot (deleting on the server once retrieved) and is killed again and again while new
// messages keep arriving. After every kill each message is on the server, in the user's store, or both; after a
// last complete fetch each one is in the store and the server is empty.
#include "common/IniAccess.h"
#include "engine/Engine.h"
#include "engine/EngineMessages.h"
#include "engine/SessionMail.h"
#include "engine/UserRecord.h"
#include "platform/ChildProcess.h"
#include "store/MessageIndex.h"
#include "testsupport/DovecotServer.h"
#include "testsupport/Program.h"
#include "testsupport/TempDir.h"
#include "testsupport/WaitUntil.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>

#include <sys/types.h>

namespace qm::engine {
namespace {

namespace fs = std::filesystem;

constexpr const char* kPassword = "crash-pw-3";
constexpr int kRounds = 20;
constexpr int kNewPerRound = 30;

std::string ReadText(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The number N of the "Subject: message N" line of a message text, or -1.
int SubjectNumber(const std::string& text)
{
    const std::string tag = "Subject: message ";
    const std::size_t at = text.find(tag);
    if (at == std::string::npos) {
        return -1;
    }
    return std::atoi(text.c_str() + at + tag.size());
}

// Sizes from a few hundred bytes to about 150 KB, so that kills land inside messages as well as between them.
std::string MessageText(int n)
{
    static constexpr std::size_t kSizes[] = {300, 2000, 9000, 40000, 150000, 700};
    const std::size_t body = kSizes[static_cast<std::size_t>(n) % std::size(kSizes)];
    std::string text =
            "From: sender@example.org\nTo: alice@example.org\nSubject: message " + std::to_string(n) + "\n\n";
    const std::string line = "line of message " + std::to_string(n) + " ........................................\n";
    while (text.size() < body) {
        text += line;
    }
    return text;
}

class FetchCrashTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (test::DovecotServer::Program().empty()) {
            GTEST_SKIP() << "dovecot is not installed (scripts/deps installs dovecot-pop3d)";
        }
        const std::string prepared = m_server.Prepare();
        ASSERT_EQ(prepared, "");
        const std::string started = m_server.Start();
        ASSERT_EQ(started, "");
        const fs::path root = m_dir.Path() / "engine";
        fs::create_directories(root / "Users");
        fs::create_directories(root / "Temp");
        m_ini = (root / "Quillmail.ini").string();
        std::ofstream(m_ini) << "[Directories]\r\nBaseDir=" << root.string() << "\r\nUserDir=" << root.string()
                             << "/Users\r\nTempDir=" << root.string()
                             << "/Temp\r\n[PopClient]\r\nTimeout=20\r\nRetrCutoff=0\r\n";
        SetMainIniPath(m_ini);
        SetDomainsIniPath((root / "Domains.Ini").string());
        RegisterEngineMessages();
    }

    void TearDown() override
    {
        SetMainIniPath("");
        SetDomainsIniPath("");
    }

    Result<ChildProcess> StartFetch()
    {
        ChildOptions options;
        options.Argv = {QM_FETCH_HELPER, m_ini,     "alice", "127.0.0.1", std::to_string(m_server.Port()),
                        "alice",         kPassword, "dove",  "2"};
        options.Environment = test::ChildEnvironment();
        options.Stdout = ChildStdio::File((m_dir.Path() / "helper.out").string());
        options.Stderr = ChildStdio::File((m_dir.Path() / "helper.err").string());
        return ChildProcess::Start(options);
    }

    // Bytes of every file in the user's store directory, temporaries included: how far a fetch has come.
    std::uintmax_t StoreBytes() const
    {
        std::uintmax_t total = 0;
        std::error_code error;
        const fs::path dir = m_dir.Path() / "engine" / "Users" / "alice";
        for (fs::recursive_directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
            std::error_code sizeError;
            if (it->is_regular_file(sizeError)) {
                const std::uintmax_t size = it->file_size(sizeError);
                total += sizeError ? 0 : size;
            }
        }
        return total;
    }

    // How many times each message is on the server. The server's process of a killed run may still be moving
    // files from "new" to "cur" while the maildir is read, so one reading can miss a file in flight: the maildir
    // is read until two readings in a row agree.
    std::map<int, int> OnServer() const
    {
        std::map<int, int> last;
        bool agreed = false;
        const bool settled = test::WaitUntil(
                [&] {
                    std::map<int, int> found;
                    for (const char* sub : {"new", "cur"}) {
                        std::error_code error;
                        for (const auto& item : fs::directory_iterator(m_server.Maildir() / sub, error)) {
                            const std::string text = ReadText(item.path());
                            if (!text.empty()) {
                                ++found[SubjectNumber(text)];
                            }
                        }
                    }
                    agreed = found == last;
                    last = std::move(found);
                    return agreed;
                },
                std::chrono::seconds(30));
        EXPECT_TRUE(settled) << "the server's maildir never held still";
        return last;
    }

    // How many times each message is in the store as the next session sees it: a stored index entry whose file
    // holds the message, after the files a killed run left without an entry were adopted (as every session start
    // does). Entries that are not stored, or whose file is missing or holds another message, are failures.
    std::map<int, int> InStore()
    {
        std::map<int, int> found;
        auto record = UserRecord::Open("alice");
        EXPECT_TRUE(record);
        if (!record) {
            return found;
        }
        UserRecord& user = **record;
        const fs::path scratch = m_dir.Path() / "engine" / "Temp" / "check";
        fs::create_directories(scratch);
        AdoptFolderFiles(user, scratch.string());
        EXPECT_TRUE(user.Messages().Save());
        store::MessageIndex& index = user.Messages();
        for (int i = 0; i < index.Count(); ++i) {
            const store::MessageIndexEntry& entry = *index.Entry(i);
            const int number = SubjectNumber("Subject: " + entry.Subject());
            EXPECT_TRUE(entry.HasFlag(store::MessageFlag::Stored)) << entry.Subject();
            EXPECT_EQ(SubjectNumber(ReadText(entry.GetMessagePath())), number) << entry.Subject();
            ++found[number];
        }
        return found;
    }

    // Rounds of new messages, each fetched by a run killed at a random point, with the no-loss check after every
    // kill; then one complete run. Returns what the store holds at the end; sent is the number of messages.
    std::map<int, int> KillRoundsThenFetch(int& sent)
    {
        std::mt19937 random(std::random_device{}());
        int killed = 0;
        sent = 0;
        for (int round = 0; round < kRounds; ++round) {
            SCOPED_TRACE("round " + std::to_string(round));
            for (int i = 0; i < kNewPerRound; ++i, ++sent) {
                EXPECT_TRUE(m_server.AddMessage("2000" + std::to_string(sent) + ".M1P1.crash", MessageText(sent)));
            }
            Result<ChildProcess> fetch = StartFetch();
            EXPECT_TRUE(fetch.has_value()) << fetch.error().Message;
            if (!fetch) {
                return {};
            }
            // A random point of the run, measured in bytes written to the user's store (up to a little more than
            // this round's messages), so that the kill lands in the logon, inside a message, between messages, in
            // the UID file's write, in the index save, or after the end.
            const std::uintmax_t start = StoreBytes();
            const std::uintmax_t until = start + std::uniform_int_distribution<std::uintmax_t>(
                                                         0, std::uintmax_t{kNewPerRound} * 40000)(random);
            (void)test::WaitUntil([&] {
                const Result<ChildStatus> now = fetch->Wait(0);
                return !(now.has_value() && now->State == ChildState::TimedOut) || StoreBytes() >= until;
            });
            const Result<ChildStatus> running = fetch->Wait(0);
            if (running.has_value() && running->State == ChildState::TimedOut) {
                ::kill(fetch->Pid(), SIGKILL);
                ++killed;
            }
            EXPECT_TRUE(fetch->Wait(30000).has_value());

            const std::map<int, int> server = OnServer();
            const std::map<int, int> store = InStore();
            for (int n = 0; n < sent; ++n) {
                EXPECT_TRUE(server.contains(n) || store.contains(n)) << "message " << n << " is lost";
            }
        }
        EXPECT_GT(killed, 0) << "every run ended before its kill";
        (void)std::printf("%d of %d runs killed, %d messages\n", killed, kRounds, sent);

        Result<ChildProcess> last = StartFetch();
        EXPECT_TRUE(last.has_value());
        if (!last) {
            return {};
        }
        const Result<ChildStatus> status = last->Wait(120000);
        EXPECT_TRUE(status.has_value() && status->ExitedWith(0)) << ReadText(m_dir.Path() / "helper.err");
        EXPECT_EQ(m_server.MessageCount(), 0) << "every message retrieved was deleted on the server";
        return InStore();
    }

    test::TempDir m_dir{"qm-fetch-crash"};
    test::DovecotServer m_server{m_dir.Path(), "alice", kPassword};
    std::string m_ini;
};

TEST_F(FetchCrashTest, AKilledFetchLosesNoMessage)
{
    int sent = 0;
    const std::map<int, int> store = KillRoundsThenFetch(sent);
    for (int n = 0; n < sent; ++n) {
        EXPECT_TRUE(store.contains(n)) << "message " << n << " is not in the store";
    }
}

// A run killed after it placed message files but before the index was saved leaves files that the next session
// adopts while the server still has the messages: the fetch journal gives them their UIDs back, so none is fetched
// a second time.
TEST_F(FetchCrashTest, AFetchAfterAKillStoresEveryMessageOnce)
{
    int sent = 0;
    const std::map<int, int> store = KillRoundsThenFetch(sent);
    for (int n = 0; n < sent; ++n) {
        EXPECT_EQ(store.contains(n) ? store.at(n) : 0, 1) << "message " << n << " in the store";
    }
    EXPECT_EQ(store.size(), static_cast<std::size_t>(sent)) << "nothing else in the store";
}

} // namespace
} // namespace qm::engine
