// The logon locks by user name: one name's holder keeps out only that name (in any case), and a name's lock is
// dropped when its last user leaves.
#include "engine/UserLogonLocks.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <optional>

namespace qm::engine {
namespace {

using namespace std::chrono_literals;

TEST(UserLogonLocksTest, ANameKeepsOutOnlyItselfInAnyCase)
{
    UserLogonLocks locks;
    std::optional<UserLogonLocks::Held> alice(locks.Lock("alice"));

    // Another name goes on while alice's lock is held (on another thread, so a shared lock would hang it).
    auto bob = std::async(std::launch::async, [&locks] { const UserLogonLocks::Held held = locks.Lock("bob"); });
    EXPECT_EQ(bob.wait_for(30s), std::future_status::ready) << "bob waited for alice";

    // The same name in another case waits until alice's holder leaves.
    auto again = std::async(std::launch::async, [&locks] { const UserLogonLocks::Held held = locks.Lock("ALICE"); });
    EXPECT_EQ(again.wait_for(100ms), std::future_status::timeout) << "ALICE did not wait for alice";
    alice.reset();
    EXPECT_EQ(again.wait_for(30s), std::future_status::ready);
    EXPECT_EQ(locks.Size(), 0u) << "no lock is kept for names nobody logs on";
}

} // namespace
} // namespace qm::engine
