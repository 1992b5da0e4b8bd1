#include "platform/EngineLock.h"

#include "platform/SharedMemory.h"
#include "platform/tests/IpcTestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

namespace qm {
namespace {

using ipctest::HelperProcess;
using ipctest::IpcTest;

class EngineLockTest : public IpcTest {};

const std::string kBusy = "busy " + std::to_string(EWOULDBLOCK);

TEST_F(EngineLockTest, OneHolderPerNamespace)
{
    auto first = EngineLock::TryAcquire(Ns());
    ASSERT_TRUE(first) << first.error().Message;
    EXPECT_TRUE(first->Held());
    EXPECT_EQ(first->Path(), RuntimeDir() + "/engine." + Ns().Name() + ".lock");

    auto second = EngineLock::TryAcquire(Ns());
    ASSERT_FALSE(second);
    EXPECT_EQ(second.error().Code, EWOULDBLOCK);

    auto otherNamespace = EngineLock::TryAcquire(IpcNamespace::Named(Ns().Name() + "b"));
    EXPECT_TRUE(otherNamespace) << "another installation runs its own engine";

    {
        HelperProcess other("try-engine-lock");
        EXPECT_EQ(other.ReadLine(), kBusy);
    }
    first->Release();
    EXPECT_FALSE(first->Held());
    EXPECT_TRUE(EngineLock::TryAcquire(Ns()));
}

TEST_F(EngineLockTest, AForkedChildThatLeavesKeepsTheParentsLock)
{
    auto lock = EngineLock::TryAcquire(Ns());
    ASSERT_TRUE(lock) << lock.error().Message;
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        lock->Release(); // what the child's destructors would do on its way out
        ::_exit(0);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    auto second = EngineLock::TryAcquire(Ns());
    ASSERT_FALSE(second) << "the child released the parent's lock";
    EXPECT_EQ(second.error().Code, EWOULDBLOCK);
}

TEST_F(EngineLockTest, KilledHolderFreesTheLockAndItsSegmentIsReclaimed)
{
    HelperProcess engine("hold-engine-lock");
    ASSERT_EQ(engine.ReadLine(), "locked");

    auto refused = EngineLock::TryAcquire(Ns());
    ASSERT_FALSE(refused) << "the lock refuses a second engine while the first lives";
    EXPECT_EQ(refused.error().Code, EWOULDBLOCK);
    {
        HelperProcess other("try-engine-lock");
        EXPECT_EQ(other.ReadLine(), kBusy);
    }

    EXPECT_EQ(engine.Kill(), 128 + 9);
    auto lock = EngineLock::TryAcquire(Ns());
    ASSERT_TRUE(lock) << lock.error().Message;

    // The killed engine's segment is still there; under the lock it is stale and gives way to a new one.
    auto stale = ShmSegment::Open(Ns(), "sessions", ShmAccess::ReadOnly);
    ASSERT_TRUE(stale);
    EXPECT_STREQ(stale->As<const char>(), "stale");
    auto fresh = ShmSegment::Recreate(Ns(), "sessions", std::size_t{224} * 200);
    ASSERT_TRUE(fresh) << fresh.error().Message;
    EXPECT_STREQ(fresh->As<const char>(), "");
    EXPECT_EQ(fresh->Size(), 224U * 200);
}

} // namespace
} // namespace qm
