#include "platform/SharedMutex.h"

#include "platform/SharedMemory.h"
#include "platform/tests/IpcTestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>

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

} // namespace
} // namespace qm
