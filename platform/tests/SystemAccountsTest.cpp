// ListSystemAccounts over the real name service calls, answered from a made-up passwd file by libnss-wrapper in a
// child program (the wrapper must be preloaded, so it cannot run inside this test process).
#include "platform/SystemAccounts.h"

#include "testsupport/NssWrapper.h"
#include "testsupport/Program.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qm {
namespace {

// Runs the probe over passwd (the text of a passwd file) and gives its output; skips when the wrapper is missing.
class SystemAccountsTest : public ::testing::Test {
protected:
    test::ProgramRun Probe(const std::string& passwd, const std::string& rounds = "1")
    {
        const std::string passwdFile = m_dir.WriteFile("passwd", passwd);
        const std::string groupFile = m_dir.WriteFile("group", "root:x:0:\nusers:x:100:\n");
        test::ProgramOptions options;
        options.Environment = test::ChildEnvironment(test::NssWrapperVariables(passwdFile, groupFile));
        return test::RunProgram({QM_SYSTEM_ACCOUNTS_PROBE, rounds}, options);
    }

private:
    test::TempDir m_dir{"qm-nss"};
};

#define QM_PROBE_OR_SKIP(run, ...)                                                                                     \
    const test::ProgramRun run = Probe(__VA_ARGS__);                                                                   \
    if (test::NssWrapperMissing(run.Errors)) {                                                                         \
        GTEST_SKIP() << "libnss-wrapper is not installed (scripts/deps installs it)";                                  \
    }                                                                                                                  \
    ASSERT_TRUE(run.Succeeded()) << run.Errors

TEST_F(SystemAccountsTest, ListsEveryEntryWithItsUidAndTheFullNameUpToTheFirstComma)
{
    QM_PROBE_OR_SKIP(run, "root:x:0:0:root:/root:/bin/bash\n"
                          "ann:x:1000:1000:Ann Smith,Room 12,555-1234:/home/ann:/bin/sh\n"
                          "bob:x:1001:1001:Bob Jones:/home/bob:/bin/sh\n"
                          "carl:x:1002:1002::/home/carl:/bin/sh\n"
                          "dora:x:1003:1003:,Room 9:/home/dora:/bin/sh\n"
                          "HOST$:x:1004:1004:Machine:/nonexistent:/usr/sbin/nologin\n"
                          "nobody:x:65534:65534:nobody:/nonexistent:/usr/sbin/nologin\n");
    // No entry is left out here: choosing among them is the caller's business.
    EXPECT_EQ(run.Output, "root\t0\troot\n"
                          "ann\t1000\tAnn Smith\n"
                          "bob\t1001\tBob Jones\n"
                          "carl\t1002\t\n"
                          "dora\t1003\t\n"
                          "HOST$\t1004\tMachine\n"
                          "nobody\t65534\tnobody\n"
                          "--\n");
}

TEST_F(SystemAccountsTest, AnEmptyAccountListGivesNoEntries)
{
    QM_PROBE_OR_SKIP(run, "");
    EXPECT_EQ(run.Output, "--\n");
}

TEST_F(SystemAccountsTest, EachCallStartsFromTheFirstEntry)
{
    QM_PROBE_OR_SKIP(run, "ann:x:1000:1000:Ann:/home/ann:/bin/sh\nbob:x:1001:1001:Bob:/home/bob:/bin/sh\n", "2");
    EXPECT_EQ(run.Output, "ann\t1000\tAnn\nbob\t1001\tBob\n--\nann\t1000\tAnn\nbob\t1001\tBob\n--\n");
}

TEST_F(SystemAccountsTest, AnEntryOfManyKilobytesIsReadWhole)
{
    const std::string longName(20000, 'x');
    QM_PROBE_OR_SKIP(run, "ann:x:1000:1000:Ann:/home/ann:/bin/sh\n"
                          "big:x:1001:1001:" +
                                  longName +
                                  ",more:/home/big:/bin/sh\n"
                                  "bob:x:1002:1002:Bob:/home/bob:/bin/sh\n");
    // Compared without the long name, so that a failure stays readable.
    const std::string want = "ann\t1000\tAnn\nbig\t1001\t" + longName + "\nbob\t1002\tBob\n--\n";
    EXPECT_TRUE(run.Output == want) << "got " << run.Output.size() << " bytes, want " << want.size() << ": "
                                    << run.Output.substr(0, 60);
}

} // namespace
} // namespace qm
