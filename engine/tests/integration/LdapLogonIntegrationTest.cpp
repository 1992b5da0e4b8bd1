// Directory logon against a real LDAP server (slapd, started by the test on a loopback port with a configuration
// and a database of its own): the right password, a wrong one, an entry whose name differs, a name that would be a
// wildcard, and a server that is gone.
#include "common/IniAccess.h"
#include "engine/EngineMessages.h"
#include "engine/LdapLibrary.h"
#include "engine/Logon.h"
#include "engine/tests/PageTestSupport.h"
#include "engine/tests/SessionTestSupport.h"
#include "platform/ChildProcess.h"
#include "testsupport/Program.h"
#include "testsupport/TempDir.h"
#include "testsupport/WaitUntil.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qm::engine {
namespace {

namespace fs = std::filesystem;

constexpr const char* kSlapd = "/usr/sbin/slapd";
constexpr const char* kSlapadd = "/usr/sbin/slapadd";

// Two people under dc=test; everybody may read everything (the logon reads the password attribute anonymously).
constexpr const char* kEntries = R"(dn: dc=test
objectClass: dcObject
objectClass: organization
o: test
dc: test

dn: uid=alice,dc=test
objectClass: inetOrgPerson
uid: alice
cn: alice
sn: A
userPassword: alice-pw

dn: uid=carol,dc=test
objectClass: inetOrgPerson
uid: carol
cn: Caroline
sn: C
userPassword: carol-pw
)";

// A port on 127.0.0.1 that nothing listens on just now.
int UnusedPort()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    close(fd);
    return port;
}

bool Accepts(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return connected;
}

class LdapLogonIntegrationTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(fs::exists(kSlapd)) << "slapd is missing (scripts/deps installs it)";
        RegisterEngineMessages();
        const std::string dir = m_dir.Path().string();
        fs::create_directory(m_dir.Path() / "db");
        const std::string config = m_dir.WriteFile("slapd.conf", "include /etc/ldap/schema/core.schema\n"
                                                                 "include /etc/ldap/schema/cosine.schema\n"
                                                                 "include /etc/ldap/schema/inetorgperson.schema\n"
                                                                 "pidfile " +
                                                                         dir +
                                                                         "/slapd.pid\n"
                                                                         "modulepath /usr/lib/ldap\n"
                                                                         "moduleload back_mdb\n"
                                                                         "database mdb\n"
                                                                         "maxsize 10485760\n"
                                                                         "suffix \"dc=test\"\n"
                                                                         "directory " +
                                                                         dir +
                                                                         "/db\n"
                                                                         "access to * by * read\n");
        const std::string entries = m_dir.WriteFile("entries.ldif", kEntries);
        const qm::test::ProgramRun added = qm::test::RunProgram({kSlapadd, "-f", config, "-l", entries});
        ASSERT_TRUE(added.Succeeded()) << added.Errors;
        for (int attempt = 0; attempt < 5 && !m_server; ++attempt) {
            m_port = UnusedPort();
            ChildOptions options;
            options.Argv = {kSlapd, "-d", "0", "-f", config, "-h", "ldap://127.0.0.1:" + std::to_string(m_port)};
            options.Environment = qm::test::ChildEnvironment();
            options.Stderr = ChildStdio::File(m_dir.PathOf("slapd-errors.txt"));
            options.Group = ProcessGroup::NewGroup;
            Result<ChildProcess> child = ChildProcess::Start(options);
            ASSERT_TRUE(child) << child.error().Message;
            m_server.emplace(std::move(child.value()));
            const bool up = qm::test::WaitUntil([this] {
                auto status = m_server->Wait(0);
                return Accepts(m_port) || !status || status->State != ChildState::TimedOut;
            });
            auto status = m_server->Wait(0);
            if (!up || !status || status->State != ChildState::TimedOut) {
                m_server.reset(); // the port was taken meanwhile: another one
            }
        }
        ASSERT_TRUE(m_server) << qm::test::TempDir::ReadFile(m_dir.Path() / "slapd-errors.txt");
        ASSERT_TRUE(LoadLdapLibrary());
        SetLdapIni("(uid=USER)", "uid");
        AddUser("alice", "*127.0.0.1:" + std::to_string(m_port));
        AddUser("carol", "*127.0.0.1:" + std::to_string(m_port));
        AddUser("*", "*127.0.0.1:" + std::to_string(m_port));
    }

    void TearDown() override
    {
        UnloadLdapLibrary();
        if (m_server) {
            (void)m_server->Kill();
        }
    }

    void SetLdapIni(const std::string& filter, const std::string& nameAttr)
    {
        ASSERT_TRUE(WriteIniString("LDAPAuth", "Base", "dc=test"));
        ASSERT_TRUE(WriteIniString("LDAPAuth", "Filter", filter.c_str()));
        ASSERT_TRUE(WriteIniString("LDAPAuth", "NameAttr", nameAttr.c_str()));
        ASSERT_TRUE(WriteIniString("LDAPAuth", "PassAttr", "userPassword"));
    }

    void AddUser(const std::string& name, const std::string& stored)
    {
        fs::create_directories(m_install.UserDir(name));
        test::WriteFile(m_install.UserDir(name) / "User.ini", "[User]\r\nPassword=" + stored + "\r\n");
    }

    LogonResult Try(const std::string& name, const std::string& password)
    {
        std::string user = name;
        std::string domain;
        return Logon(user, password, domain, m_log);
    }

    test::SettingsInstall m_install{"[General]\r\nLogLevel=1\r\n"};
    qm::test::TempDir m_dir{"qm-slapd"};
    test::RecordingLog m_log;
    std::optional<ChildProcess> m_server;
    int m_port = 0;
};

TEST_F(LdapLogonIntegrationTest, TheEntrysPasswordDecidesAndItsNameMustBeTheUsers)
{
    struct Case {
        const char* Filter;
        const char* NameAttr;
        const char* User;
        const char* Password;
        LogonResult Want;
    };

    const Case cases[] = {
            {"(uid=USER)", "uid", "alice", "alice-pw", LogonResult::Accepted},
            {"(uid=USER)", "uid", "ALICE", "alice-pw", LogonResult::Accepted},
            {"(uid=USER)", "uid", "alice", "wrong", LogonResult::Refused},
            {"(uid=USER)", "uid", "alice", "ALICE-PW", LogonResult::Refused},
            // The entry is found by its uid, but its cn is another name: refused although the password is right.
            {"(uid=USER)", "cn", "carol", "carol-pw", LogonResult::Refused},
            {"(cn=USER)", "cn", "carol", "carol-pw", LogonResult::Refused},
            // As a wildcard the name would match both entries, past the size limit; escaped it matches none.
            {"(uid=USER)", "uid", "*", "alice-pw", LogonResult::Refused},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.Filter) + " " + c.User + " " + c.Password);
        SetLdapIni(c.Filter, c.NameAttr);
        EXPECT_EQ(Try(c.User, c.Password), c.Want);
    }
    EXPECT_EQ(m_log.Count("LDAP search error with host 127.0.0.1:" + std::to_string(m_port) + "."), 0);
}

TEST_F(LdapLogonIntegrationTest, AServerThatIsGoneIsAFailureOfTheService)
{
    ASSERT_TRUE(m_server->Kill());
    m_server.reset();
    EXPECT_EQ(Try("alice", "alice-pw"), LogonResult::ServiceFailed);
    // The library connects at the bind, so the bind is where an unreachable server shows: it is no refused logon.
    const std::string host = "127.0.0.1:" + std::to_string(m_port);
    EXPECT_EQ(m_log.Count("LDAP could not connect to " + host + "."), 1) << testing::PrintToString(m_log.Lines);
    EXPECT_EQ(m_log.Count("LDAP could not login to " + host + "."), 0);
}

} // namespace
} // namespace qm::engine
