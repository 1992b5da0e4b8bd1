// The failed-logon throttle: the free failures, the doubling delay and its cap, accounts and addresses counted
// apart, the right password clearing only its account, bursts checked one at a time, forgetting, and a table that
// stays within its size.
#include "engine/LogonThrottle.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace qm::engine {
namespace {

using std::chrono::milliseconds;

class LogonThrottleTest : public ::testing::Test {
protected:
    static LogonThrottlePolicy Policy()
    {
        LogonThrottlePolicy policy;
        policy.AccountFreeFailures = 5;
        policy.AddressFreeFailures = 10;
        policy.FirstDelay = milliseconds(1000);
        policy.MaxDelay = milliseconds(16000);
        policy.ForgetAfter = milliseconds(3600000);
        policy.Capacity = 64;
        return policy;
    }

    LogonThrottle Make(LogonThrottlePolicy policy = Policy())
    {
        return LogonThrottle(policy, [this] { return m_now; });
    }

    // One logon check that fails; false when it was not admitted.
    static bool Fail(LogonThrottle& throttle, const std::string& address, const std::string& account)
    {
        LogonThrottle::Verdict verdict = throttle.Admit(address, account);
        if (!verdict.Admitted) {
            return false;
        }
        verdict.Admitted->Failed();
        return true;
    }

    static milliseconds WaitOf(LogonThrottle& throttle, const std::string& address, const std::string& account)
    {
        return throttle.Admit(address, account).Wait;
    }

    milliseconds m_now{5000000};
};

TEST_F(LogonThrottleTest, AnAccountWaitsAfterItsFreeFailuresAndTheDelayDoublesUpToTheCap)
{
    LogonThrottle throttle = Make();
    // Each guess from another address: the account's own count stops them.
    for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(Fail(throttle, "192.0.2." + std::to_string(i), "alice")) << i;
    }
    EXPECT_EQ(WaitOf(throttle, "198.51.100.1", "alice"), milliseconds(1000));
    m_now += milliseconds(400);
    EXPECT_EQ(WaitOf(throttle, "198.51.100.1", "alice"), milliseconds(600)) << "refusals do not prolong the wait";

    const milliseconds want[] = {milliseconds(2000), milliseconds(4000), milliseconds(8000), milliseconds(16000),
                                 milliseconds(16000)};
    for (const milliseconds delay : want) {
        m_now += WaitOf(throttle, "198.51.100.1", "alice");
        ASSERT_TRUE(Fail(throttle, "198.51.100.1", "alice"));
        EXPECT_EQ(WaitOf(throttle, "198.51.100.1", "alice"), delay);
    }

    // Others are not held up: another account, from this address or another.
    EXPECT_TRUE(throttle.Admit("198.51.100.1", "bob").Admitted.has_value());
    EXPECT_TRUE(throttle.Admit("203.0.113.9", "carol").Admitted.has_value());
}

TEST_F(LogonThrottleTest, AnAddressWaitsAfterItsFreeFailuresWhateverTheAccount)
{
    LogonThrottle throttle = Make();
    for (int i = 0; i < 10; ++i) {
        EXPECT_TRUE(Fail(throttle, "192.0.2.1", "user" + std::to_string(i))) << i;
    }
    EXPECT_EQ(WaitOf(throttle, "192.0.2.1", "someone-else"), milliseconds(1000));
    EXPECT_TRUE(throttle.Admit("192.0.2.2", "someone-else").Admitted.has_value());

    // An IPv6 client does not get round it with other addresses of its network.
    for (int i = 0; i < 10; ++i) {
        EXPECT_TRUE(Fail(throttle, "2001:db8:1:2::" + std::to_string(i + 1), "v6user" + std::to_string(i)));
    }
    EXPECT_GT(WaitOf(throttle, "2001:db8:1:2:ffff::77", "v6other").count(), 0);
    EXPECT_TRUE(throttle.Admit("2001:db8:1:3::1", "v6other").Admitted.has_value());
}

TEST_F(LogonThrottleTest, TheRightPasswordAfterTheDelayClearsTheAccountButNotTheAddress)
{
    LogonThrottle throttle = Make();
    for (int i = 0; i < 9; ++i) {
        ASSERT_TRUE(Fail(throttle, "192.0.2.1", i < 5 ? "alice" : "x" + std::to_string(i)));
    }
    EXPECT_GT(WaitOf(throttle, "192.0.2.7", "alice").count(), 0);
    m_now += WaitOf(throttle, "192.0.2.7", "alice");
    {
        LogonThrottle::Verdict verdict = throttle.Admit("192.0.2.1", "alice");
        ASSERT_TRUE(verdict.Admitted.has_value());
        verdict.Admitted->Succeeded();
    }
    // alice has her free failures again; the address still counts nine.
    for (int i = 0; i < 4; ++i) {
        EXPECT_TRUE(Fail(throttle, "192.0.2.2", "alice")) << i;
    }
    EXPECT_TRUE(Fail(throttle, "192.0.2.1", "mallory"));
    EXPECT_GT(WaitOf(throttle, "192.0.2.1", "bob").count(), 0);

    // A check that ends neither way (an account not allowed, a service failure) counts as no failure.
    const std::size_t accounts = throttle.Accounts();
    {
        LogonThrottle::Verdict verdict = throttle.Admit("192.0.2.3", "dave");
        EXPECT_TRUE(verdict.Admitted.has_value());
    }
    EXPECT_EQ(throttle.Accounts(), accounts) << "dave left nothing behind";
}

TEST_F(LogonThrottleTest, GuessesSentAtOnceAreCheckedOneByOneOncePastTheFreeFailures)
{
    LogonThrottle throttle = Make();
    std::vector<LogonThrottle::Attempt> running;
    for (int i = 0; i < 20; ++i) {
        LogonThrottle::Verdict verdict = throttle.Admit("192.0.2." + std::to_string(i), "alice");
        if (verdict.Admitted) {
            running.push_back(std::move(*verdict.Admitted));
        }
    }
    EXPECT_EQ(running.size(), 5u) << "no more checks at once than free failures";
    for (LogonThrottle::Attempt& attempt : running) {
        attempt.Failed();
    }
    running.clear();
    EXPECT_EQ(WaitOf(throttle, "192.0.2.99", "alice"), milliseconds(1000));

    // Past the delay one check runs at a time.
    m_now += milliseconds(1000);
    LogonThrottle::Verdict first = throttle.Admit("192.0.2.50", "alice");
    ASSERT_TRUE(first.Admitted.has_value());
    EXPECT_FALSE(throttle.Admit("192.0.2.51", "alice").Admitted.has_value());
}

TEST_F(LogonThrottleTest, FailuresAreForgottenAndTheTableKeepsItsSize)
{
    LogonThrottle throttle = Make();
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(Fail(throttle, "192.0.2.1", "alice"));
    }
    m_now += milliseconds(3600000);
    for (int i = 0; i < 4; ++i) {
        EXPECT_TRUE(Fail(throttle, "192.0.2.1", "alice")) << "an hour later the count starts again";
    }

    // A flood of names and addresses: the table stays within its size.
    for (int i = 0; i < 1000; ++i) {
        m_now += milliseconds(1);
        (void)Fail(throttle, "10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256),
                   "name" + std::to_string(i));
    }
    EXPECT_LE(throttle.Accounts(), Policy().Capacity);
    EXPECT_LE(throttle.Addresses(), Policy().Capacity);

    // A table full of running checks refuses rather than forget one.
    LogonThrottlePolicy tiny = Policy();
    tiny.Capacity = 2;
    LogonThrottle small = Make(tiny);
    LogonThrottle::Verdict a = small.Admit("192.0.2.1", "a");
    LogonThrottle::Verdict b = small.Admit("192.0.2.2", "b");
    ASSERT_TRUE(a.Admitted && b.Admitted);
    EXPECT_FALSE(small.Admit("192.0.2.3", "c").Admitted.has_value());
    EXPECT_EQ(small.Accounts(), 2u);
}

TEST(LogonThrottleAddressTest, IPv6AddressesCountByTheirNetwork)
{
    struct Case {
        const char* Address;
        const char* Key;
    };

    const Case cases[] = {
            {"2001:db8:1:2:3:4:5:6", "2001:db8:1:2::/64"},
            {"2001:DB8:1:2::9", "2001:db8:1:2::/64"},
            {"2001:db8::1", "2001:db8:0:0::/64"},
            {"fe80::1%eth0", "fe80:0:0:0::/64"},
            {"::1", "0:0:0:0::/64"},
            {"::ffff:192.0.2.1", "0:0:0:0::/64"},
            {"192.0.2.1", "192.0.2.1"},
            {"1:2:3", "1:2:3"},
            {"1::2::3", "1::2::3"},
            {"12345::1", "12345::1"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(LogonThrottle::AddressKey(c.Address), c.Key) << c.Address;
    }
    EXPECT_EQ(LogonThrottle::AddressKey(std::string(500, 'a')).size(), 64u);
}

} // namespace
} // namespace qm::engine
