// A web-mail session ended from the web administration: the main web server with the engine library and the admin
// web server with the administration program run on one installation, so that both see the same session table. The
// demo user logs on with curl; the sessions page lists the session, its Kill button is submitted with the form's
// token, and the session goes from the list and from the server.
#include "platform/ChildProcess.h"
#include "tests/pages/PageInstallation.h"
#include "testsupport/ShmObjects.h"
#include "testsupport/TempDir.h"
#include "testsupport/WaitUntil.h"

#include <gmock/gmock.h>

#include <filesystem>
#include <optional>
#include <regex>
#include <string>

namespace qm::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kAdminPassword = "Adm1n-pw";
constexpr const char* kToken = "0123456789abcdef0123456789abcdef";

class AdminKillSessionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        namespace fs = std::filesystem;
        const fs::path data = fs::path(QM_SOURCE_DIR) / "data" / "AdminCGI";
        const fs::path dir = Install().Dir();
        fs::create_directories(dir / "cgi-bin");
        fs::copy(data / "Templates", dir / "cgi-bin" / "Templates", fs::copy_options::recursive);
        fs::copy_file(data / "User.dsc", dir / "User.dsc", fs::copy_options::overwrite_existing);
        fs::copy_file(QM_ADMINCGI_PROGRAM, dir / "cgi-bin" / "QMAdminCGI");
        Install().WriteFile("cgi-bin/CGI.ini", "[CGI]\r\nQMSetupFile=../Quillmail.ini\r\nUsersPerPage=100\r\n");
        Install().WriteFile("cgi-bin/AdminCGI.key", kToken);
        // After PageInstallation's "[General]" line: the admin web server runs in the foreground.
        m_pages.Web().AddWebServerLine("RunAsService=No");
        ASSERT_TRUE(m_pages.Start()) << m_pages.Server().Errors();
        ASSERT_NO_FATAL_FAILURE(StartPortico());
    }

    void TearDown() override
    {
        if (m_portico) {
            (void)m_portico->Kill(20000);
        }
        EXPECT_TRUE(m_pages.Stop());
        (void)RemoveShmObjectsOf(Install().Namespace());
    }

    TestInstallation& Install() { return m_pages.Web().Installation(); }

    bool PorticoAwaiting()
    {
        return Install().ReadFile("Logs/Portico-admin.log").find("Portico is awaiting connections...") !=
               std::string::npos;
    }

    // The admin web server on the main server's INI, with its own section added for a port of its own.
    void StartPortico()
    {
        const std::string mainIni = TempDir::ReadFile(Install().IniPath());
        for (int attempt = 0; attempt < 5; ++attempt) {
            m_adminPort = PickFreePort();
            Install().WriteIni(mainIni + "[AdminWebServer]\nPort=" + std::to_string(m_adminPort) +
                               "\nBindAddress=127.0.0.1\nHtmlDir=" + Install().Path("HTML") + "\nCgiDir=" +
                               Install().Path("cgi-bin") + "\nAuth=-admin:" + kAdminPassword + "\nLocalAuth=Yes\n");
            std::filesystem::remove(Install().Path("Logs/Portico-admin.log"));
            ChildOptions options;
            options.Argv = {QM_PORTICO_PROGRAM};
            options.Environment = Install().Environment();
            options.Stderr = ChildStdio::File(Install().Path("portico-stderr.txt"), FileMode::Append);
            Result<ChildProcess> child = ChildProcess::Start(options);
            ASSERT_TRUE(child) << child.error().Message;
            m_portico.emplace(std::move(*child));
            const bool settled = WaitUntil([&] {
                Result<ChildStatus> status = m_portico->Wait(0);
                return PorticoAwaiting() || (status && status->State != ChildState::TimedOut);
            });
            if (settled && PorticoAwaiting()) {
                return;
            }
            m_portico.reset();
        }
        FAIL() << "Portico did not start: " << Install().ReadFile("portico-stderr.txt");
    }

    std::string AdminUrl() const { return "http://127.0.0.1:" + std::to_string(m_adminPort) + "/cgi-bin/QMAdminCGI"; }

    CurlReply SessionsPage() const
    {
        return Curl({"-u", std::string("admin:") + kAdminPassword, AdminUrl() + "?View=QMAdmin"});
    }

    // curl with the web-mail user's cookie jar.
    CurlReply AsUser(std::vector<std::string> args) const
    {
        args.insert(args.begin(), {"-b", m_jar.PathOf("jar"), "-c", m_jar.PathOf("jar")});
        return Curl(args);
    }

    PageInstallation m_pages;
    TempDir m_jar;
    std::optional<ChildProcess> m_portico;
    unsigned m_adminPort = 0;
};

// The hidden form token of an admin page, or "".
std::string FormToken(const std::string& page)
{
    static const std::regex kTokenField(R"re(NAME="Token" VALUE="([^"]*)")re", std::regex::icase);
    std::smatch match;
    return std::regex_search(page, match, kTokenField) ? match[1].str() : std::string();
}

TEST_F(AdminKillSessionTest, TheKillButtonEndsTheUsersSession)
{
    const CurlReply logon = AsUser({"--data-urlencode", std::string("User=") + kDemoUser, "--data-urlencode",
                                    std::string("Password=") + kDemoPassword, m_pages.MailUrl("View=Main")});
    ASSERT_EQ(logon.Status, 200u) << logon.Head << logon.Body;
    const std::string id = FindSessionId(logon.Body);
    ASSERT_EQ(id.size(), 7u) << logon.Body;
    const std::string mainPage = "View=Main&Session=" + id;
    ASSERT_THAT(AsUser({m_pages.MailUrl(mainPage)}).Body, HasSubstr("<title>Quillmail · demo</title>"));

    const std::string killField = "NAME=\"Kill:" + id + "\"";
    const CurlReply sessions = SessionsPage();
    ASSERT_EQ(sessions.Status, 200u) << sessions.Head << sessions.Body;
    ASSERT_THAT(sessions.Body, HasSubstr("<TD>" + id + "</TD><TD>" + kDemoUser + "</TD>"));
    ASSERT_THAT(sessions.Body, HasSubstr(killField));
    const std::string token = FormToken(sessions.Body);
    ASSERT_EQ(token, kToken) << sessions.Body;

    // The form as a browser sends it: the button's name and value, and the hidden token.
    const CurlReply killed = Curl({"-u", std::string("admin:") + kAdminPassword, "--data",
                                   "Token=" + token + "&Kill%3A" + id + "=End+session", AdminUrl() + "?View=QMAdmin"});
    ASSERT_EQ(killed.Status, 200u) << killed.Head << killed.Body;
    EXPECT_THAT(killed.Body, Not(HasSubstr("refused")));

    // The main server's maintenance round removes the session.
    std::string last;
    EXPECT_TRUE(WaitUntil([&] {
        last = SessionsPage().Body;
        return last.find("Live sessions") != std::string::npos && last.find(killField) == std::string::npos;
    })) << last;
    const CurlReply after = AsUser({m_pages.MailUrl(mainPage)});
    EXPECT_EQ(after.Status, 200u);
    EXPECT_THAT(after.Body, HasSubstr("name=\"Password\"")) << after.Body;
    EXPECT_THAT(after.Body, Not(HasSubstr("<title>Quillmail · demo</title>")));
}

} // namespace
} // namespace qm::test
