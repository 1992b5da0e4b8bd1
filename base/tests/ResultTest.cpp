#include "base/Result.h"

#include <gtest/gtest.h>

#include <string>

namespace qm {
namespace {

Result<int> ParsePositive(int value)
{
    if (value <= 0) {
        return Fail("not positive", 22);
    }
    return value;
}

TEST(ResultTest, CarriesValueOrError)
{
    auto good = ParsePositive(5);
    ASSERT_TRUE(good);
    EXPECT_EQ(*good, 5);
    EXPECT_EQ(good.value_or(9), 5);

    auto bad = ParsePositive(-1);
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().Code, 22);
    EXPECT_EQ(bad.error().Message, "not positive");
    EXPECT_EQ(bad.value_or(9), 9);
}

TEST(ResultTest, VoidResultReportsFailure)
{
    Result<void> ok;
    EXPECT_TRUE(ok);
    Result<void> failed = Fail("gone", 2);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().Code, 2);
}

TEST(ResultTest, ReadingFailedValueAborts)
{
    EXPECT_DEATH(
            {
                auto bad = ParsePositive(0);
                (void)bad.value();
            },
            "");
}

} // namespace
} // namespace qm
