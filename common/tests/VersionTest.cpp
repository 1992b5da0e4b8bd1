#include "common/Version.h"

#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace qm {
namespace {

using std::string_literals::operator""s;

TEST(VersionTest, VersionStringsAgree)
{
    EXPECT_STREQ(VersionString(), "2.2.3.0");
    EXPECT_EQ(std::strncmp(VersionString(), ShortVersionString(), std::strlen(ShortVersionString())), 0);
}

TEST(VersionTest, ReadsTheVersionOfAFileWithoutLoadingIt)
{
    test::TempDir dir;
    const std::string marker = "QMVERSION:";
    // 64 KiB is the reader's chunk: markers and versions cut by the boundary are found too.
    const std::string pad(64 * 1024 - 4, 'x');

    struct Case {
        const char* Name;
        std::string Bytes;
        std::string Version; // empty: no version
    };

    const Case cases[] = {
            {"plain",
             "\x7f"
             "ELF\0\0"s +
                     marker + "2.2.3.0\0tail"s,
             "2.2.3.0"},
            {"marker across the chunk boundary", pad + marker + "2.2.3.0\0"s, "2.2.3.0"},
            {"version across the chunk boundary", pad + "x" + marker + "2.2.3.0\0"s, "2.2.3.0"},
            {"a bare marker text comes first", marker + "\0"s + marker + "version\0"s + marker + "1.0\0"s, "1.0"},
            {"no marker", "just bytes\0QMVERSIO\0"s, ""},
            {"version without its NUL at the end of the file", marker + "2.2.3.0", ""},
            {"version too long", marker + std::string(40, '1') + "\0"s, ""},
            {"empty file", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const auto version = ReadFileVersion(dir.WriteFile("binary", c.Bytes));
        if (c.Version.empty()) {
            ASSERT_FALSE(version);
            EXPECT_EQ(version.error().Code, ENOENT);
        } else {
            ASSERT_TRUE(version) << version.error().Message;
            EXPECT_EQ(*version, c.Version);
        }
    }
    const auto missing = ReadFileVersion(dir / "missing");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().Code, ENOENT);
}

TEST(VersionTest, TheTestBinaryCarriesItsOwnVersion)
{
    const auto version = ReadFileVersion("/proc/self/exe");
    ASSERT_TRUE(version) << version.error().Message;
    EXPECT_EQ(*version, VersionString());
}

} // namespace
} // namespace qm
