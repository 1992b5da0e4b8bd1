#include "common/Version.h"

#include <gtest/gtest.h>

#include <cstring>

namespace qm {
namespace {

TEST(VersionTest, VersionStringsAgree)
{
    EXPECT_STREQ(VersionString(), "2.2.3.0");
    EXPECT_EQ(std::strncmp(VersionString(), ShortVersionString(), std::strlen(ShortVersionString())), 0);
}

} // namespace
} // namespace qm
