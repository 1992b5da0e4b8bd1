#include "admincgi/EngineApi.h"

#include <gtest/gtest.h>

namespace qm::admincgi {
namespace {

TEST(EngineBindingTest, LibraryWithoutDiskSpaceBindsOnlyWithoutUserCalls)
{
    EXPECT_FALSE(LoadEngineDll(QM_PARTIAL_ENGINE, UserCalls::Wanted));
    EXPECT_EQ(Engine().Module, nullptr);
    EXPECT_EQ(Engine().QM_GetStatus, nullptr);

    ASSERT_TRUE(LoadEngineDll(QM_PARTIAL_ENGINE, UserCalls::NotWanted));
    EXPECT_NE(Engine().QM_GetStatus, nullptr);
    EXPECT_FALSE(Engine().UserCalls);
    UnloadEngineDll();
    EXPECT_EQ(Engine().Module, nullptr);

    ASSERT_TRUE(LoadEngineDll(QM_FAKE_ENGINE, UserCalls::Wanted));
    EXPECT_TRUE(Engine().UserCalls);
    EXPECT_NE(Engine().QM_UserDiskSpace, nullptr);
    UnloadEngineDll();
    EXPECT_FALSE(Engine().UserCalls);
}

TEST(EngineBindingTest, MissingLibraryAndUnloadWithoutModule)
{
    UnloadEngineDll();
    EXPECT_EQ(Engine().Module, nullptr);
    EXPECT_FALSE(LoadEngineDll("/nonexistent/Quillmail.so", UserCalls::NotWanted));
    EXPECT_FALSE(LoadEngineDll("", UserCalls::NotWanted));
    EXPECT_EQ(Engine().Module, nullptr);
}

TEST(EngineBindingTest, RemoveAllTakesOutEveryOccurrence)
{
    const struct {
        const char* Text;
        const char* Pattern;
        const char* Want;
    } cases[] = {
            {"_PASSWORD_Password of the account_PASSWORD_", "_PASSWORD_", "Password of the account"},
            {"a_X__X_b", "_X_", "ab"},
            {"__X_X__", "_X_", "_X__"}, // one pass: what the removal joins is not removed again
            {"nothing", "_X_", "nothing"},
            {"_x_", "_X_", "_x_"}, // exact case
    };

    for (const auto& c : cases) {
        std::string s = c.Text;
        RemoveAll(s, c.Pattern);
        EXPECT_EQ(s, c.Want) << "text " << c.Text;
    }
}

} // namespace
} // namespace qm::admincgi
