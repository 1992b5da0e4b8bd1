// The admin server's own temporary directory: what it refuses to empty.
#include "portico/AdminServer.h"

#include <gtest/gtest.h>

namespace qm::portico {
namespace {

TEST(SafeToEmptyTest, RefusesTheRootAndEveryDirectoryThatHoldsTheInstallation)
{
    struct Case {
        const char* Dir;
        bool Safe;
    };

    const std::vector<std::string> kept = {"/srv/qm", "/srv/qm/Logs", "/var/www/admin"};
    const Case cases[] = {
            {"/", false},
            {"//", false},
            {"/srv", false},
            {"/srv/qm", false},
            {"/srv/qm/", false},
            {"/srv/qm/Logs/..", false},
            {"/var", false},
            {"", false},
            {"/srv/qm/Temp/.portico", true},
            {"/srv/qmx", true},
            {"/tmp/.portico", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Dir);
        EXPECT_EQ(SafeToEmpty(c.Dir, kept), c.Safe);
    }
}

} // namespace
} // namespace qm::portico
