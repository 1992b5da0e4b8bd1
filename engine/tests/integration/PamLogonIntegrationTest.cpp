// System logon through PAM with a PAM configuration of the test's own: a service whose module runs a script that
// accepts one password for one account, the service named by the stored domain, and domains that name none.
#include "engine/EngineMessages.h"
#include "engine/Logon.h"
#include "engine/SystemLogon.h"
#include "engine/tests/PageTestSupport.h"
#include "engine/tests/SessionTestSupport.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include <sys/stat.h>

// Linux-PAM 1.5.2 keeps 96 bytes of every transaction begun with its own configuration directory, which only the
// tests use; the leak checker is told to leave that one library alone.
// NOLINTBEGIN(bugprone-reserved-identifier,readability-identifier-naming): the leak checker's own hook
extern "C" const char* __lsan_default_suppressions();

extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libpam.so\n";
}

// NOLINTEND(bugprone-reserved-identifier,readability-identifier-naming)

namespace qm::engine {
namespace {

namespace fs = std::filesystem;

constexpr const char* kPamExec = "/usr/lib/x86_64-linux-gnu/security/pam_exec.so";

class PamLogonIntegrationTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(fs::exists(kPamExec)) << "pam_exec is missing (scripts/deps installs libpam-modules)";
        RegisterEngineMessages();
        // The password comes on standard input, ended by a NUL byte or by the end of the input.
        Service("quillmail", "erin", "open-sesame");
        Service("corp", "emil", "corp-pw");
        ASSERT_EQ(setenv(kPamConfDirVariable, m_pam.Path().c_str(), 1), 0); // NOLINT(concurrency-mt-unsafe)
        AddUser("erin", "\\");
        AddUser("erin@d.com", "\\.");
        AddUser("emil", "\\\\CORP");
        AddUser("hugo", "\\../../etc/passwd");
    }

    void TearDown() override
    {
        unsetenv(kPamConfDirVariable); // NOLINT(concurrency-mt-unsafe)
    }

    void Service(const std::string& name, const std::string& account, const std::string& password)
    {
        const std::string script = m_pam.WriteFile(name + ".sh", "#!/bin/sh\nIFS= read -r pw\n"
                                                                 "[ \"$PAM_USER\" = '" +
                                                                         account +
                                                                         "' ] && "
                                                                         "[ \"$pw\" = '" +
                                                                         password + "' ]\n");
        ASSERT_EQ(chmod(script.c_str(), 0700), 0);
        m_pam.WriteFile(name, std::string("auth required ") + kPamExec + " expose_authtok quiet " + script +
                                      "\naccount required pam_permit.so\n");
    }

    void AddUser(const std::string& name, const std::string& stored)
    {
        fs::create_directories(m_install.UserDir(name));
        test::WriteFile(m_install.UserDir(name) / "User.ini", "[User]\r\nPassword=" + stored + "\r\n");
    }

    test::SettingsInstall m_install{"[General]\r\nLogLevel=1\r\n"};
    qm::test::TempDir m_pam{"qm-pam"};
    test::RecordingLog m_log;
};

TEST_F(PamLogonIntegrationTest, TheServiceOfTheStoredDomainChecksTheAccountsPassword)
{
    struct Case {
        const char* User;
        const char* Domain;
        const char* Password;
        LogonResult Want;
    };

    const Case cases[] = {
            {"erin", "", "open-sesame", LogonResult::Accepted},
            {"erin", "", "open-sesame ", LogonResult::Refused},
            {"erin", "", "Open-Sesame", LogonResult::Refused},
            // The account is the name before '@'.
            {"erin", "d.com", "open-sesame", LogonResult::Accepted},
            {"emil", "", "corp-pw", LogonResult::Accepted},
            {"emil", "", "open-sesame", LogonResult::Refused},
            // A domain that is no service name is refused without any service being asked.
            {"hugo", "", "x", LogonResult::Refused},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.User) + "@" + c.Domain + " " + c.Password);
        std::string user = c.User;
        std::string domain = c.Domain;
        EXPECT_EQ(Logon(user, c.Password, domain, m_log), c.Want);
    }
    // The refusals of the script (a failed module), and the one service never asked for.
    EXPECT_EQ(m_log.Count("Network authentication failed, error: 4."), 3) << testing::PrintToString(m_log.Lines);
    EXPECT_EQ(m_log.Count("Network authentication failed, error: 3."), 1);
}

} // namespace
} // namespace qm::engine
