#include "platform/SharedMutex.h"

#include "platform/SharedMemory.h"
#include "platform/tests/IpcTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

namespace qm {
namespace {

using ipctest::HelperProcess;
using ipctest::IpcTest;
using ipctest::kInitialLevel;
using ipctest::kSectionName;
using ipctest::TestSection;
using namespace std::chrono_literals;

class SharedMutexTest : public IpcTest {
protected:
    void SetUp() override
    {
        IpcTest::SetUp();
        auto attached = ShmSegment::Attach(Ns(), kSectionName, sizeof(TestSection), [](void* block) {
            auto* section = static_cast<TestSection*>(block);
            section->Level = kInitialLevel;
            ASSERT_TRUE(section->Mutex.Init());
        });
        ASSERT_TRUE(attached) << attached.error().Message;
        m_segment = std::move(*attached);
    }

    void TearDown() override
    {
        m_segment.Close();
        IpcTest::TearDown();
    }

    SharedMutex& Mutex() { return m_segment.As<TestSection>()->Mutex; }

private:
    ShmSegment m_segment;
};

TEST_F(SharedMutexTest, RecursiveLockExcludesOtherProcessesUntilFullyReleased)
{
    auto outer = Mutex().Lock();
    ASSERT_TRUE(outer);
    EXPECT_EQ(*outer, SharedLockState::Acquired);
    auto inner = Mutex().TryLockFor(0ms);
    ASSERT_TRUE(inner) << "the owner may lock again";
    {
        SharedMutexGuard guard(Mutex());
        EXPECT_TRUE(guard.Locked());
        EXPECT_FALSE(guard.OwnerDied());
    }
    Mutex().Unlock();

    {
        HelperProcess other("try-mutex", "50");
        EXPECT_EQ(other.ReadLine(), "timeout") << "one level is still held";
    }
    Mutex().Unlock();
    HelperProcess other("try-mutex", "2000");
    EXPECT_EQ(other.ReadLine(), "acquired");
}

TEST_F(SharedMutexTest, LockAfterTheOwnerIsKilledReportsOwnerDied)
{
    HelperProcess owner("lock-mutex-and-hold");
    ASSERT_EQ(owner.ReadLine(), "locked");

    auto busy = Mutex().TryLockFor(30ms);
    ASSERT_FALSE(busy);
    EXPECT_EQ(busy.error().Code, ETIMEDOUT);

    EXPECT_EQ(owner.Kill(), 128 + 9);
    auto state = Mutex().Lock();
    ASSERT_TRUE(state) << state.error().Message;
    EXPECT_EQ(*state, SharedLockState::OwnerDied);
    Mutex().Unlock();

    // Made consistent again: an ordinary mutex for everybody from now on.
    SharedMutexGuard guard(Mutex());
    ASSERT_TRUE(guard.Locked());
    EXPECT_FALSE(guard.OwnerDied());
}

TEST_F(SharedMutexTest, OwnerDeathIsReportedToAWaitingProcess)
{
    HelperProcess owner("lock-mutex-and-hold");
    ASSERT_EQ(owner.ReadLine(), "locked");
    HelperProcess waiter("try-mutex", "10000");
    // The waiter is blocked on the mutex (or about to be) when its owner dies; either way it wins the lock.
    EXPECT_EQ(owner.Kill(), 128 + 9);
    EXPECT_EQ(waiter.ReadLine(), "owner-died");
    EXPECT_EQ(waiter.Wait(), 0);
    auto state = Mutex().TryLockFor(0ms);
    ASSERT_TRUE(state);
    EXPECT_EQ(*state, SharedLockState::Acquired);
    Mutex().Unlock();
}

// Sets the process's lock time-out for a scope and restores the default.
class ScopedLockTimeout {
public:
    explicit ScopedLockTimeout(std::chrono::milliseconds timeout) { SetSharedLockTimeout(timeout); }

    ScopedLockTimeout(const ScopedLockTimeout&) = delete;
    ScopedLockTimeout& operator=(const ScopedLockTimeout&) = delete;

    ~ScopedLockTimeout() { SetSharedLockTimeout(0ms); }
};

TEST_F(SharedMutexTest, EveryWaitGivesUpWhenAnotherProcessKeepsTheMutex)
{
    // A process that stops while it holds the mutex (or a hostile one that locks it) must not freeze its peers.
    HelperProcess owner("lock-mutex-and-hold");
    ASSERT_EQ(owner.ReadLine(), "locked");
    ScopedLockTimeout timeout(200ms);

    const auto start = std::chrono::steady_clock::now();
    {
        SharedMutexGuard guard(Mutex());
        EXPECT_FALSE(guard.Locked());
        EXPECT_TRUE(guard.TimedOut());
        EXPECT_EQ(guard.ErrorCode(), ETIMEDOUT);
    }
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, 150ms) << "it waited for the time-out";
    EXPECT_LT(waited, 8s) << "and not for the default one";

    auto locked = Mutex().Lock();
    ASSERT_FALSE(locked) << "Lock() has the same time-out";
    EXPECT_EQ(locked.error().Code, ETIMEDOUT);

    SharedMutexGuard briefly(Mutex(), 1ms);
    EXPECT_TRUE(briefly.TimedOut()) << "a time-out of the caller's own";

    owner.CloseInput();
    EXPECT_EQ(owner.Wait(), 0);
}

TEST_F(SharedMutexTest, AGuardGivesUpOnAMutexAnotherThreadKeeps)
{
    ScopedLockTimeout timeout(250ms);
    std::atomic<bool> held{false};
    std::atomic<bool> release{false};
    std::thread holder([&] {
        SharedMutexGuard guard(Mutex());
        held.store(guard.Locked());
        while (!release.load()) {
            std::this_thread::yield();
        }
    });
    while (!held.load()) {
        std::this_thread::yield();
    }
    {
        SharedMutexGuard guard(Mutex());
        EXPECT_TRUE(guard.TimedOut());
    }
    release.store(true);
    holder.join();
    SharedMutexGuard guard(Mutex());
    EXPECT_TRUE(guard.Locked()) << "free again once the holder left";
}

TEST(SharedLockTimeoutTest, DefaultsToTenSecondsAndCanBeRestored)
{
    EXPECT_EQ(SharedLockTimeout(), kDefaultSharedLockTimeout);
    EXPECT_EQ(kDefaultSharedLockTimeout, 10s);
    SetSharedLockTimeout(40ms);
    EXPECT_EQ(SharedLockTimeout(), 40ms);
    SetSharedLockTimeout(0ms);
    EXPECT_EQ(SharedLockTimeout(), kDefaultSharedLockTimeout);
}

} // namespace
} // namespace qm
