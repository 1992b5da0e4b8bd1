// Many threads creating, finding, touching, killing, expiring and removing sessions at once. Run under the address
// and the thread sanitizer, it catches a session used after its removal and unguarded shared state.
#include "common/RequestLog.h"
#include "engine/SessionManager.h"
#include "engine/tests/SessionTestSupport.h"
#include "testsupport/WaitUntil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace qm::engine {
namespace {

using test::SessionHarness;

// Ids seen so far, for the threads to look up, kill and release (some of them long gone).
class IdPool {
public:
    void Add(const char* id)
    {
        std::lock_guard lock(m_lock);
        if (m_ids.size() < 256) {
            m_ids.emplace_back(id);
        } else {
            m_ids[m_next++ % m_ids.size()] = id;
        }
    }

    std::string Pick(std::mt19937& random)
    {
        std::lock_guard lock(m_lock);
        if (m_ids.empty()) {
            return "AAAAAAA";
        }
        return m_ids[random() % m_ids.size()];
    }

private:
    std::mutex m_lock;
    std::vector<std::string> m_ids;
    std::size_t m_next = 0;
};

// What one request does with a session it holds: touch it, work under its lock, read its messages.
void UseSession(Session& session, std::mt19937& random)
{
    session.Touch();
    std::lock_guard request(session.RequestLock());
    session.SetCurrentView(static_cast<int>(random() % 18) + 1);
    session.SetPreviousView(session.CurrentView());
    (void)session.User().Name().size();
    (void)session.User().IniPath().size();
    (void)session.ErrorMessage().Take();
    session.StatusMessage().Set("done");
}

TEST(SessionManagerStressTest, ManyThreadsNeverUseARemovedSession)
{
    SessionHarness harness("[Session]\r\nMaximum=48\r\nExpireTime=1\r\nComposeExpireTime=2\r\n", 64);
    SessionManager& manager = harness.Manager();
    IdPool pool;
    std::atomic<bool> stop{false};
    std::atomic<long> operations{0};

    constexpr unsigned kThreads = 8;
    constexpr long kOperations = 2000; // together, before they stop
    qm::test::StartLine start(kThreads + 1);
    auto worker = [&](unsigned seed) {
        std::mt19937 random(seed);
        RequestLog log(harness.LogTarget());
        const std::string user = "user" + std::to_string(seed % 12);
        if (!start.ArriveAndWait()) {
            return;
        }
        while (!stop.load()) {
            switch (random() % 10) {
            case 0:
            case 1:
                if (Session* session = manager.Create(user, "192.0.2.7")) {
                    pool.Add(session->Id());
                    UseSession(*session, random);
                    session->Unbusy();
                }
                break;
            case 2:
            case 3:
                if (Session* session = manager.FindById(pool.Pick(random))) {
                    UseSession(*session, random);
                    session->Unbusy();
                }
                break;
            case 4:
                if (Session* session = manager.FindByUser(user)) {
                    UseSession(*session, random);
                    (void)manager.Release(session, log); // a logout, or a second logon of the user
                }
                break;
            case 5:
                (void)manager.KillById(pool.Pick(random).c_str(), log);
                break;
            case 6:
                manager.ExpireIdle();
                break;
            case 7:
                manager.BroadcastErrorMessage("alert");
                break;
            case 8:
                harness.Advance(20);
                break;
            default:
                if (Session* session = manager.FindById(pool.Pick(random))) {
                    (void)manager.Release(session, log);
                }
                break;
            }
            ++operations;
        }
    };

    std::vector<std::thread> threads;
    for (unsigned i = 0; i < kThreads; ++i) {
        threads.emplace_back(worker, 1000 + i);
    }
    EXPECT_TRUE(start.ArriveAndWait()) << "the threads did not all start";
    EXPECT_TRUE(qm::test::WaitUntil([&] { return operations.load() >= kOperations; }, std::chrono::minutes(2)))
            << operations.load() << " operations";
    stop.store(true);
    for (auto& thread : threads) {
        thread.join();
    }

    // Every session left has exactly one row, in the table's first rows, and holds no busy count.
    const int count = manager.Count();
    ASSERT_EQ(harness.Word(StatusWord::Sessions), count);
    std::set<std::string> rows;
    for (int i = 0; i < count; ++i) {
        rows.insert(std::string(harness.Row(i).SessionId, 7));
    }
    EXPECT_EQ(static_cast<int>(rows.size()), count);
    for (const std::string& id : rows) {
        Session* session = manager.FindById(id);
        ASSERT_NE(session, nullptr) << id;
        EXPECT_EQ(session->BusyCount(), 1) << id;
        session->Unbusy();
    }
    EXPECT_EQ(harness.Row(count).SessionId[0], '\0');

    // All of them go once they are idle long enough.
    harness.Advance(3 * 60 * 60);
    manager.ExpireIdle();
    EXPECT_EQ(manager.Count(), 0);
    EXPECT_EQ(harness.Word(StatusWord::Sessions), 0);
}

} // namespace
} // namespace qm::engine
