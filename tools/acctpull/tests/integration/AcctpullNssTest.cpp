// The accounts Acctpull offers from the real name service calls, answered from a made-up passwd file by
// libnss-wrapper in a child program.
#include "testsupport/NssWrapper.h"
#include "testsupport/Program.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace qm {
namespace {

TEST(AcctpullNssTest, OffersTheOrdinaryUsersOfTheSystemWithTheirFullNames)
{
    test::TempDir dir("qm-acctpull-nss");
    std::filesystem::create_directories(dir / "Users");
    dir.WriteFile("Users/bob/User.ini", "[User]\n");
    const std::string passwd = dir.WriteFile("passwd", "root:x:0:0:root:/root:/bin/bash\n"
                                                       "daemon:x:999:999:Daemon:/:/usr/sbin/nologin\n"
                                                       "ann:x:1000:1000:Ann Smith,Room 1:/home/ann:/bin/sh\n"
                                                       "bob:x:1001:1001:Bob:/home/bob:/bin/sh\n"
                                                       "carl:x:59999:59999::/home/carl:/bin/sh\n"
                                                       "dora:x:60000:60000:Dora:/home/dora:/bin/sh\n"
                                                       "HOST$:x:1002:1002:Machine:/:/usr/sbin/nologin\n"
                                                       "nobody:x:65534:65534:nobody:/:/usr/sbin/nologin\n");
    const std::string group = dir.WriteFile("group", "root:x:0:\n");
    test::ProgramOptions options;
    options.Environment = test::ChildEnvironment(test::NssWrapperVariables(passwd, group));
    const test::ProgramRun run = test::RunProgram({QM_ACCTPULL_PROBE, dir / "Users"}, options);
    if (test::NssWrapperMissing(run.Errors)) {
        GTEST_SKIP() << "libnss-wrapper is not installed (scripts/deps installs it)";
    }
    ASSERT_TRUE(run.Succeeded()) << run.Errors;
    EXPECT_EQ(run.Output, "ann\tAnn Smith\ncarl\tcarl\n");
}

} // namespace
} // namespace qm
