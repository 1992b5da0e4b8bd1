#include "platform/Random.h"

#include <gtest/gtest.h>

#include <set>
#include <vector>

namespace qm::platform {
namespace {

TEST(RandomTest, FillsEveryByteAndNeverRepeatsABlock)
{
    std::vector<unsigned char> first(4096, 0);
    std::vector<unsigned char> second(4096, 0);
    ASSERT_TRUE(FillRandom(first.data(), first.size()));
    ASSERT_TRUE(FillRandom(second.data(), second.size()));
    EXPECT_NE(first, second);
    // 4096 random bytes take (nearly) every value; a buffer left partly unfilled would be mostly zeros.
    EXPECT_GT(std::set<unsigned char>(first.begin(), first.end()).size(), 200u);
    EXPECT_TRUE(FillRandom(nullptr, 0));
}

TEST(RandomTest, NumbersDiffer)
{
    std::set<std::uint32_t> seen;
    for (int i = 0; i < 64; ++i) {
        auto value = RandomUint32();
        ASSERT_TRUE(value);
        seen.insert(*value);
    }
    EXPECT_GT(seen.size(), 60u);
}

} // namespace
} // namespace qm::platform
