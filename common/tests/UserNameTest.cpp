#include "common/UserName.h"

#include <gtest/gtest.h>

#include <string>

namespace qm {
namespace {

TEST(UserNameTest, AcceptsOnlyNamesThatStayOneDirectoryBelowUserDir)
{
    for (const char* name : {"bob", "bob@ex.com", "Bob.Smith", "a..b", "x-y_z+1", "\xc3\xa9mile", "a.", "123"}) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(IsValidUserName(name));
    }
    EXPECT_TRUE(IsValidUserName(std::string(79, 'a')));
    for (const char* name : {"", ".", "..", ".bob", "a/../../x", "/", "a/b", "a\\b", "\\", " a", "a b", "a\tb", "a\nb",
                             "a\rb", "a\x7f", "a\x01"}) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(IsValidUserName(name));
    }
    EXPECT_FALSE(IsValidUserName(std::string(80, 'a')));
    EXPECT_FALSE(IsValidUserName(std::string_view("a\0b", 3)));
}

} // namespace
} // namespace qm
