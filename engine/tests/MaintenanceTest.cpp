#include "engine/Maintenance.h"

#include "engine/EngineMessages.h"
#include "engine/tests/EngineTestSupport.h"
#include "testsupport/WaitUntil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace qm::engine {
namespace {

using test::ReadFile;
using test::WriteFile;
namespace fs = std::filesystem;

// Records what the maintenance work asks of the session manager.
class RecordingSessions final : public SessionService {
public:
    bool KillById(const char* id, Logger& log) override
    {
        std::lock_guard lock(m_lock);
        log.Log(1, "kill %s", id);
        Kills.emplace_back(id);
        return true;
    }

    void ExpireIdle() override
    {
        std::lock_guard lock(m_lock);
        ++Expiries;
    }

    void BroadcastErrorMessage(const char* text) override
    {
        std::lock_guard lock(m_lock);
        Alerts.emplace_back(text);
    }

    int ExpiriesSoFar()
    {
        std::lock_guard lock(m_lock);
        return Expiries;
    }

    std::vector<std::string> AlertsSoFar()
    {
        std::lock_guard lock(m_lock);
        return Alerts;
    }

    std::vector<std::string> Kills;
    int Expiries = 0;
    std::vector<std::string> Alerts;

private:
    std::mutex m_lock;
};

// A session manager whose expiry throws in its first rounds, as a fault in a round would.
class ThrowingSessions final : public SessionService {
public:
    bool KillById(const char* /*id*/, Logger& /*log*/) override { return false; }

    void ExpireIdle() override
    {
        const int round = ++m_rounds;
        if (round == 1) {
            throw std::runtime_error("expiry broke");
        }
        if (round == 2) {
            throw 42;
        }
    }

    void BroadcastErrorMessage(const char* /*text*/) override {}

    int Rounds() const { return m_rounds.load(); }

private:
    std::atomic<int> m_rounds{0};
};

class MaintenanceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        RegisterEngineMessages();
        m_dir = m_temp.Path();
        fs::create_directories(m_dir / "Logs");
        m_block = std::make_unique<EngineSharedBlock>();
        std::memset(m_block.get(), 0, sizeof *m_block);
        ASSERT_TRUE(m_block->SessionsMutex.Init());
        m_log = std::make_unique<LogFile>((m_dir / "Logs").c_str(), "Quillmail.log", "QM", "", 1);
    }

    void TearDown() override { m_log.reset(); }

    MaintenanceContext Context()
    {
        MaintenanceContext context;
        context.Log = m_log.get();
        context.Sessions = &m_sessions;
        context.Shared = m_block.get();
        context.BaseDir = [this] {
            return m_dir.string();
        };
        context.LogFileChanged = [this](const std::string& path) {
            m_newLogFiles.push_back(path);
        };
        context.Exiting = [this] {
            m_exited = true;
        };
        return context;
    }

    void RequestKill(int slot, const char* id) { std::strncpy(m_block->Section.KillList[slot], id, 7); }

    std::string Log() const { return ReadFile(m_dir / "Logs" / "Quillmail.log"); }

    qm::test::TempDir m_temp{"qmmnt"};
    fs::path m_dir;
    std::unique_ptr<EngineSharedBlock> m_block;
    std::unique_ptr<LogFile> m_log;
    RecordingSessions m_sessions;
    std::vector<std::string> m_newLogFiles;
    bool m_exited = false;
};

TEST_F(MaintenanceTest, StartDeletesMarkerFilesOfAnyCase)
{
    for (const char* name : {"ALERT.SEM", "x.SEM", "rebootqm.sem", "Alert.Sem"}) {
        WriteFile(m_dir / name, "old");
    }
    WriteFile(m_dir / "notes.txt", "keep");
    WriteFile(m_dir / "sem", "keep");
    fs::create_directories(m_dir / "d.sem");
    Maintenance(Context()).Start();
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(m_dir)) {
        left.push_back(entry.path().filename().string());
    }
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"Logs", "d.sem", "notes.txt", "sem"}));
    EXPECT_NE(Log().find("Maintenance thread starting..."), std::string::npos);
}

TEST_F(MaintenanceTest, RoundKillsRequestedSessionsInSlotOrderAndEmptiesTheList)
{
    RequestKill(2, "CCCCCCC");
    RequestKill(0, "AAAAAAA");
    RequestKill(7, "HHHHHHH");
    Maintenance maintenance(Context());
    maintenance.Round();
    EXPECT_EQ(m_sessions.Kills, (std::vector<std::string>{"AAAAAAA", "CCCCCCC", "HHHHHHH"}));
    for (const auto& slot : m_block->Section.KillList) {
        EXPECT_EQ(std::string(slot, 8), std::string(8, '\0'));
    }
    EXPECT_EQ(m_sessions.Expiries, 1);
    const std::string log = Log();
    EXPECT_NE(log.find("Session AAAAAAA is flagged for deletion."), std::string::npos) << log;
    EXPECT_LT(log.find("AAAAAAA is flagged"), log.find("kill AAAAAAA"));
    EXPECT_LT(log.find("kill AAAAAAA"), log.find("CCCCCCC is flagged"));

    maintenance.Round();
    EXPECT_EQ(m_sessions.Kills.size(), 3u) << "the list was emptied";
    EXPECT_EQ(m_sessions.Expiries, 2);
}

TEST_F(MaintenanceTest, KillIdWithoutTerminatorIsCutToSevenLetters)
{
    std::memset(m_block->Section.KillList[1], 'Z', 8);
    Maintenance(Context()).Round();
    EXPECT_EQ(m_sessions.Kills, (std::vector<std::string>{"ZZZZZZZ"}));
}

TEST_F(MaintenanceTest, RoundWithoutSessionManagerStillEmptiesTheKillList)
{
    RequestKill(3, "DDDDDDD");
    MaintenanceContext context = Context();
    context.Sessions = nullptr;
    Maintenance(std::move(context)).Round();
    EXPECT_EQ(m_block->Section.KillList[3][0], '\0');
    EXPECT_NE(Log().find("Session DDDDDDD is flagged for deletion."), std::string::npos);
}

TEST_F(MaintenanceTest, RoundRecordsTheNewFileAfterASizeRotation)
{
    Maintenance maintenance(Context());
    maintenance.Round();
    EXPECT_TRUE(m_newLogFiles.empty());
    for (int i = 0; i < 40; ++i) {
        m_log->Log(1, "filling the log past its limit of one kilobyte");
    }
    maintenance.Round();
    ASSERT_EQ(m_newLogFiles.size(), 1u);
    EXPECT_EQ(m_newLogFiles[0], m_log->CurrentPath());
    EXPECT_TRUE(fs::exists(m_dir / "Logs" / "Quillmail.old"));
}

TEST_F(MaintenanceTest, AlertTextFromTheFile)
{
    struct Case {
        std::string File;
        std::string Want;
    };

    const Case cases[] = {
            {"A\r\nB", "A B"},
            {"A\nB\n", "A B "},
            {"", ""},
            {std::string(600, 'x'), std::string(511, 'x')},
            {std::string(700, '\r') + "tail", "tail"},
            {std::string(510, 'x') + "\r\nyz", std::string(510, 'x') + " "},
            {std::string("before\0after", 12), "before"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.File.substr(0, 20));
        WriteFile(m_dir / "Alert.sem", c.File);
        m_sessions.Alerts.clear();
        ASSERT_TRUE(Maintenance(Context()).DeliverAlert());
        ASSERT_EQ(m_sessions.Alerts.size(), 1u);
        EXPECT_EQ(m_sessions.Alerts[0], c.Want);
        EXPECT_FALSE(fs::exists(m_dir / "Alert.sem")) << "the file is deleted";
    }
}

TEST_F(MaintenanceTest, AlertFileIsFoundWhateverItsCase)
{
    WriteFile(m_dir / "ALERT.SEM", "from the console");
    ASSERT_TRUE(Maintenance(Context()).DeliverAlert());
    EXPECT_EQ(m_sessions.Alerts, (std::vector<std::string>{"from the console"}));
    EXPECT_FALSE(fs::exists(m_dir / "ALERT.SEM"));
    EXPECT_FALSE(Maintenance(Context()).DeliverAlert()) << "no file, no alert";
    EXPECT_EQ(m_sessions.Alerts.size(), 1u);
}

TEST_F(MaintenanceTest, ThreadDeletesOldMarkersBeforeItsFirstRoundAndDeliversNewAlerts)
{
    WriteFile(m_dir / "ALERT.SEM", "left from an earlier run");
    MaintenanceThread thread;
    ASSERT_TRUE(thread.Start(Context(), std::chrono::milliseconds(20)));
    ASSERT_TRUE(qm::test::WaitUntil([&] { return !fs::exists(m_dir / "ALERT.SEM"); })) << "the old marker stays";
    WriteFile(m_dir / "Alert.sem", "new");
    EXPECT_TRUE(qm::test::WaitUntil([&] { return !m_sessions.AlertsSoFar().empty(); })) << "no alert delivered";
    thread.SignalStop();
    thread.Join();
    EXPECT_EQ(m_sessions.AlertsSoFar(), (std::vector<std::string>{"new"})) << "the old marker never acted";
}

TEST_F(MaintenanceTest, ThreadStopsWithinOneRoundAndRunsItsExitSteps)
{
    MaintenanceThread thread;
    ASSERT_TRUE(thread.Start(Context()));
    // After its first round the thread waits out the (five-second) period.
    ASSERT_TRUE(qm::test::WaitUntil([&] { return m_sessions.ExpiriesSoFar() > 0; }));
    const auto begin = std::chrono::steady_clock::now();
    thread.SignalStop();
    thread.Join();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(2));
    EXPECT_TRUE(m_exited);
    EXPECT_TRUE(thread.Stop().IsSignalled());
    const std::string log = Log();
    const std::size_t notice = log.find("Maintenance thread has received shutdown notice.");
    ASSERT_NE(notice, std::string::npos) << log;
    EXPECT_LT(notice, log.find("Maintenance thread exiting."));
}

TEST_F(MaintenanceTest, ARoundThatThrowsIsLoggedAndSkippedAndTheThreadGoesOn)
{
    ThrowingSessions sessions;
    MaintenanceContext context = Context();
    context.Sessions = &sessions;
    MaintenanceThread thread;
    ASSERT_TRUE(thread.Start(std::move(context), std::chrono::milliseconds(5)));
    EXPECT_TRUE(qm::test::WaitUntil([&] { return sessions.Rounds() >= 4; }))
            << "rounds go on after the ones that threw";
    EXPECT_FALSE(thread.Stop().IsSignalled()) << "the thread is still running";
    EXPECT_FALSE(m_exited);
    thread.SignalStop();
    thread.Join();
    const std::string log = Log();
    EXPECT_NE(log.find("Maintenance round skipped after an error: expiry broke"), std::string::npos) << log;
    EXPECT_NE(log.find("Maintenance round skipped after an error: unknown exception"), std::string::npos) << log;
}

} // namespace
} // namespace qm::engine
