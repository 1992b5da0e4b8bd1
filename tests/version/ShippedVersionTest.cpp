// Every program and library we ship carries the one version string, read from the built file as an About box
// would read it.
#include "common/Version.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <string>

namespace qm {
namespace {

TEST(ShippedVersionTest, EveryShippedBinaryCarriesTheVersion)
{
    std::ifstream list(QM_SHIPPED_BINARIES_LIST);
    ASSERT_TRUE(list) << QM_SHIPPED_BINARIES_LIST;
    std::set<std::string> names;
    for (std::string path; std::getline(list, path);) {
        if (path.empty()) {
            continue;
        }
        SCOPED_TRACE(path);
        names.insert(path.substr(path.rfind('/') + 1));
        const auto version = ReadFileVersion(path);
        EXPECT_TRUE(version) << version.error().Message;
        EXPECT_EQ(version.value_or(""), "2.2.3.0");
    }
    for (const char* name : {"Quillmail", "Quillmail.so", "CVUser.so"}) {
        EXPECT_EQ(names.count(name), 1u) << name << " is not among the shipped binaries";
    }
}

} // namespace
} // namespace qm
