#include "store/UidSet.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qm::store {
namespace {

TEST(UidSetTest, KeepsEachUidOnceInTheOrderItCameAndComparesExactly)
{
    UidSet set;
    EXPECT_FALSE(set.Contains("a"));
    EXPECT_EQ(set.Find("a"), UidSet::kNone);

    struct Step {
        const char* Uid;
        std::size_t Position;
        bool Added;
    };

    for (const Step& step : {Step{"uid-1", 0, true}, Step{"uid-2", 1, true}, Step{"uid-1", 0, false},
                             Step{"UID-1", 2, true}, Step{"", 3, true}, Step{"", 3, false}, Step{"uid-", 4, true}}) {
        SCOPED_TRACE(step.Uid);
        const auto [position, added] = set.Insert(step.Uid);
        EXPECT_EQ(position, step.Position);
        EXPECT_EQ(added, step.Added);
    }
    ASSERT_EQ(set.Count(), 5u);
    EXPECT_EQ(std::vector<std::string>({std::string(set.At(0)), std::string(set.At(1)), std::string(set.At(2)),
                                        std::string(set.At(3)), std::string(set.At(4))}),
              (std::vector<std::string>{"uid-1", "uid-2", "UID-1", "", "uid-"}));
    EXPECT_TRUE(set.Contains(""));
    EXPECT_FALSE(set.Contains("uid"));
    set.Clear();
    EXPECT_TRUE(set.Empty());
    EXPECT_FALSE(set.Contains("uid-1"));
    EXPECT_EQ(set.Insert("uid-2"), std::make_pair(std::size_t{0}, true));
}

TEST(UidSetTest, FindsEveryUidAfterGrowingWithOrWithoutReserve)
{
    for (const bool reserve : {false, true}) {
        SCOPED_TRACE(reserve ? "reserved" : "grown");
        UidSet set;
        constexpr std::size_t kCount = 50000;
        if (reserve) {
            set.Reserve(kCount / 2, kCount * 4); // too small: it grows past it
        }
        for (std::size_t i = 0; i < kCount; ++i) {
            ASSERT_TRUE(set.Insert("m" + std::to_string(i * 7919)).second) << i;
        }
        ASSERT_EQ(set.Count(), kCount);
        std::size_t wrong = 0;
        for (std::size_t i = 0; i < kCount; ++i) {
            const std::string uid = "m" + std::to_string(i * 7919);
            wrong += set.Find(uid) == i && set.At(i) == uid && !set.Insert(uid).second ? 0 : 1;
            wrong += set.Contains(uid + "x") ? 1 : 0;
        }
        EXPECT_EQ(wrong, 0u);
        EXPECT_EQ(set.Count(), kCount);
    }
}

} // namespace
} // namespace qm::store
