#include "common/EntryGuard.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace qm {
namespace {

std::string g_reported;

void Record(const char* entry, const char* what) noexcept
{
    g_reported = std::string(entry) + ": " + what;
}

class EntryGuardTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_reported.clear();
        SetEntryFailureReporter(&Record);
    }

    void TearDown() override { SetEntryFailureReporter(nullptr); }
};

TEST_F(EntryGuardTest, PassesTheBodysResultThrough)
{
    EXPECT_EQ(GuardEntry("Entry", 0, [] { return 7; }), 7);
    EXPECT_EQ(g_reported, "");
}

TEST_F(EntryGuardTest, ReportsAnExceptionAndReturnsTheFailureValue)
{
    struct Case {
        const char* name;
        bool standard;
        std::string want;
    };

    for (const Case& c :
         {Case{"StartUp", true, "StartUp: broken"}, Case{"CV_Foo", false, "CV_Foo: unknown exception"}}) {
        SCOPED_TRACE(c.name);
        const int got = GuardEntry(c.name, -1, [&]() -> int {
            if (c.standard) {
                throw std::runtime_error("broken");
            }
            throw 42;
        });
        EXPECT_EQ(got, -1);
        EXPECT_EQ(g_reported, c.want);
    }
}

TEST_F(EntryGuardTest, GuardsEntriesWithoutAResult)
{
    GuardEntry("QM_RegisterWindow", [] { throw std::logic_error("no window"); });
    EXPECT_EQ(g_reported, "QM_RegisterWindow: no window");
}

} // namespace
} // namespace qm
