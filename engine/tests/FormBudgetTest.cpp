// The budget of form bytes held at once: reservations up to the limit, given back when they end, and never more
// held than the limit however many threads reserve at once.
#include "engine/FormBudget.h"

#include "common/IniAccess.h"
#include "engine/tests/SessionTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <thread>
#include <vector>

namespace qm::engine {
namespace {

TEST(FormBudgetTest, ReservesUpToTheLimitAndTakesBackWhatEnds)
{
    FormBudget budget;
    std::optional<FormBudget::Hold> first = budget.Reserve(600, 1000);
    ASSERT_TRUE(first.has_value());
    EXPECT_FALSE(budget.Reserve(401, 1000).has_value()) << "one byte over the limit";
    {
        const std::optional<FormBudget::Hold> second = budget.Reserve(400, 1000);
        EXPECT_TRUE(second.has_value()) << "exactly at the limit";
        EXPECT_EQ(budget.Held(), 1000u);
    }
    EXPECT_EQ(budget.Held(), 600u);
    first.reset();
    EXPECT_EQ(budget.Held(), 0u);
    EXPECT_FALSE(budget.Reserve(1001, 1000).has_value()) << "larger than the whole budget";
    EXPECT_FALSE(budget.Reserve(SIZE_MAX, 1000).has_value());
    EXPECT_TRUE(budget.Reserve(SIZE_MAX / 2, 0).has_value()) << "0: no limit";
    EXPECT_EQ(budget.Held(), 0u);
}

TEST(FormBudgetTest, ManyThreadsAtOnceNeverHoldMoreThanTheLimit)
{
    FormBudget budget;
    constexpr std::size_t kLimit = 8;
    std::atomic<std::size_t> most{0};
    std::atomic<int> granted{0};
    std::vector<std::thread> threads;
    threads.reserve(16);
    for (int t = 0; t < 16; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 500; ++i) {
                if (const std::optional<FormBudget::Hold> hold = budget.Reserve(1, kLimit)) {
                    ++granted;
                    const std::size_t now = budget.Held();
                    std::size_t seen = most.load();
                    while (now > seen && !most.compare_exchange_weak(seen, now)) {
                    }
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_LE(most.load(), kLimit);
    EXPECT_GT(granted.load(), 0);
    EXPECT_EQ(budget.Held(), 0u);
}

TEST(FormBudgetTest, TheLimitIsTheKeyInKilobytes)
{
    const test::SettingsInstall install("[General]\r\nLogLevel=1\r\n");
    EXPECT_EQ(EngineFormMemoryLimit(), std::size_t{kDefaultMaxFormMemoryKB} * 1024);
    ASSERT_TRUE(WriteIniString("General", "MaxFormMemory", "100"));
    EXPECT_EQ(EngineFormMemoryLimit(), 102400u);
    ASSERT_TRUE(WriteIniString("General", "MaxFormMemory", "0"));
    EXPECT_EQ(EngineFormMemoryLimit(), 0u) << "no limit";
    ASSERT_TRUE(WriteIniString("General", "MaxFormMemory", "-5"));
    EXPECT_EQ(EngineFormMemoryLimit(), 0u);
}

} // namespace
} // namespace qm::engine
