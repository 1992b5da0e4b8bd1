// Which PAM service a stored system password names: the strict check that keeps a stored domain from naming a
// file outside the PAM configuration or a service nobody meant.
#include "engine/SystemLogon.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace qm::engine {
namespace {

TEST(SystemLogonTest, TheStoredDomainNamesThePamService)
{
    struct Case {
        const char* Stored;
        std::optional<std::string> Want;
    };

    const Case cases[] = {
            {"\\", "quillmail"},
            {"\\.", "quillmail"},
            {"\\NT_ANY", "quillmail"},
            {"\\nt_any", "quillmail"},
            {"\\\\", "quillmail"},
            {"\\CORP", "corp"},
            {"\\\\Mail-Users", "mail-users"},
            {"\\a.b_c", "a.b_c"},
            {"\\..", std::nullopt},
            {"\\.hidden", std::nullopt},
            {"\\-x", std::nullopt},
            {"\\../../etc/shadow", std::nullopt},
            {"\\a/b", std::nullopt},
            {"\\a b", std::nullopt},
            {"\\x\ty", std::nullopt},
            {"\\123456789012345678901234567890123", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(PamServiceFor(c.Stored), c.Want) << c.Stored;
    }
    EXPECT_EQ(PamServiceFor("\\12345678901234567890123456789012"), "12345678901234567890123456789012");
}

} // namespace
} // namespace qm::engine
