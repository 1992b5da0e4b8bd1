// The web administration program run by the real admin web server, with the real engine library, in a temporary
// installation: the status page, and an account created, edited, disabled and deleted through curl; and the pages
// as headless Chromium shows them.
#include "platform/Service.h"
#include "portico/tests/integration/PorticoHarness.h"
#include "testsupport/Program.h"
#include "testsupport/ShmObjects.h"
#include "testsupport/TempDir.h"
#include "testsupport/TestInstallation.h"
#include "testsupport/WaitUntil.h"

#include <gmock/gmock.h>

#include <filesystem>
#include <optional>
#include <sstream>

namespace qm::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kPassword = "Adm1n-pw";
constexpr const char* kToken = "feedfacefeedfacefeedfacefeedface";

class AdminCgiPorticoTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        namespace fs = std::filesystem;
        const fs::path data = fs::path(QM_SOURCE_DIR) / "data" / "AdminCGI";
        const fs::path cgi = m_install.Dir() / "cgi-bin";
        fs::create_directories(cgi);
        fs::create_directories(m_install.Dir() / "HTML");
        fs::create_directories(m_install.Dir() / "Users");
        fs::copy(data / "Templates", cgi / "Templates", fs::copy_options::recursive);
        fs::copy_file(data / "User.dsc", m_install.Dir() / "User.dsc");
        fs::copy_file(QM_ADMINCGI_PROGRAM, cgi / "QMAdminCGI");
        m_install.WriteFile("cgi-bin/CGI.ini", "[CGI]\r\nQMSetupFile=../Quillmail.ini\r\nUsersPerPage=100\r\n");
        m_install.WriteFile("cgi-bin/AdminCGI.key", kToken);
        m_install.WriteFile("MimeTypes.cfg", "text/html html\n");
    }

    void TearDown() override
    {
        if (m_server) {
            (void)m_server->Kill(20000);
        }
        (void)RemoveShmObjectsOf(m_install.Namespace());
    }

    std::string Ini(unsigned port) const
    {
        std::ostringstream ini;
        ini << "[General]\r\nRunAsService=No\r\n"
            << "[Directories]\r\nTempDir=" << m_install.Path("Temp") << "\r\nLogDir=" << m_install.Path("Logs")
            << "\r\nUserDir=" << m_install.Path("Users") << "\r\nBaseDir=" << m_install.Dir().string() << "\r\n"
            << "[WebServer]\r\nCgiFile1=" << QM_ENGINE_LIBRARY << "\r\n"
            << "[AdminWebServer]\r\nPort=" << port << "\r\nBindAddress=127.0.0.1\r\n"
            << "HtmlDir=" << m_install.Path("HTML") << "\r\nCgiDir=" << m_install.Path("cgi-bin") << "\r\n"
            << "Auth=-admin:" << kPassword << "\r\nLocalAuth=Yes\r\n";
        return ini.str();
    }

    bool Awaiting() const
    {
        return m_install.ReadFile("Logs/Portico-admin.log").find("Portico is awaiting connections...") !=
               std::string::npos;
    }

    void Start()
    {
        for (int attempt = 0; attempt < 5; ++attempt) {
            m_port = PickFreePort();
            m_install.WriteIni(Ini(m_port));
            std::filesystem::remove(m_install.Path("Logs/Portico-admin.log"));
            ChildOptions options;
            options.Argv = {QM_PORTICO_PROGRAM};
            options.Environment = m_install.Environment();
            options.Stderr = ChildStdio::File(m_install.Path("stderr.txt"), FileMode::Append);
            Result<ChildProcess> child = ChildProcess::Start(options);
            ASSERT_TRUE(child) << child.error().Message;
            m_server.emplace(std::move(*child));
            const bool ready = WaitUntil(
                    [&] {
                        Result<ChildStatus> status = m_server->Wait(0);
                        return Awaiting() || (status && status->State != ChildState::TimedOut);
                    },
                    std::chrono::seconds(30));
            if (ready && Awaiting()) {
                return;
            }
            m_server.reset();
        }
        FAIL() << "Portico did not start: " << m_install.ReadFile("stderr.txt");
    }

    CurlReply Get(const std::string& query) const
    {
        return Curl({"-u", std::string("admin:") + kPassword, Url() + "?" + query});
    }

    CurlReply Post(const std::string& form) const
    {
        return Curl({"-u", std::string("admin:") + kPassword, "--data", form + "&Token=" + kToken, Url()});
    }

    std::string Url() const { return "http://127.0.0.1:" + std::to_string(m_port) + "/cgi-bin/QMAdminCGI"; }

    std::string UserIni(const std::string& user) const { return m_install.ReadFile("Users/" + user + "/User.ini"); }

    TestInstallation m_install;
    std::optional<ChildProcess> m_server;
    unsigned m_port = 0;
};

TEST_F(AdminCgiPorticoTest, StatusPageWithTheRealEngineLibrary)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    const CurlReply reply = Get("View=QMAdmin");
    EXPECT_EQ(reply.Status, 200u) << reply.Raw;
    EXPECT_THAT(reply.Body, HasSubstr("Quillmail isn't running!"));
    EXPECT_THAT(reply.Body, HasSubstr("Live sessions"));
    EXPECT_EQ(Curl({Url() + "?View=QMAdmin"}).Status, 401u);
}

TEST_F(AdminCgiPorticoTest, CreatesEditsDisablesAndDeletesAnAccount)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    CurlReply reply = Post("View=NewUser&CreateUser=1&Name=carol&Pass=pw1&FullName=Carol+C&Email=carol%40example.org");
    ASSERT_EQ(reply.Status, 200u) << reply.Raw;
    EXPECT_THAT(reply.Body, HasSubstr("Account created for carol."));
    EXPECT_THAT(reply.Body, HasSubstr("NAME=\"Disable:carol\""));
    ASSERT_THAT(UserIni("carol"), Not(""));

    reply = Post("View=Users&Disable:carol=Disable");
    EXPECT_THAT(reply.Body, HasSubstr("NAME=\"Enable:carol\""));
    EXPECT_THAT(UserIni("carol"), HasSubstr("Active=No"));

    reply = Post("View=EditFile&EditUser=carol&Save=1&User:Active=Yes&User:NewKeys=Note%3Dhello");
    EXPECT_THAT(reply.Body, HasSubstr("Changes saved."));
    EXPECT_THAT(UserIni("carol"), HasSubstr("Active=Yes"));
    EXPECT_THAT(UserIni("carol"), HasSubstr("Note=hello"));

    // Without the token nothing changes.
    reply = Curl({"-u", std::string("admin:") + kPassword, "--data", "View=Users&Delete:carol=Delete", Url()});
    EXPECT_THAT(reply.Body, HasSubstr("refused"));
    EXPECT_TRUE(std::filesystem::exists(m_install.Dir() / "Users" / "carol"));

    reply = Post("View=Users&Delete:carol=Delete");
    EXPECT_EQ(reply.Status, 200u);
    EXPECT_FALSE(std::filesystem::exists(m_install.Dir() / "Users" / "carol"));
    EXPECT_THAT(reply.Body, Not(HasSubstr("carol")));
}

// Headless Chromium with a profile of its own and nothing that reaches outside; its standard output.
std::string RunChromium(const std::string& profile, const std::vector<std::string>& args, const std::string& url)
{
    std::filesystem::create_directories(profile);
    ChildOptions options;
    options.Argv = {"/usr/bin/chromium",
                    "--headless",
                    "--no-sandbox",
                    "--disable-gpu",
                    "--disable-quic",
                    "--no-first-run",
                    "--disable-background-networking",
                    "--disable-component-update",
                    "--disable-sync",
                    "--user-data-dir=" + profile,
                    "--window-size=1280,800",
                    "--virtual-time-budget=5000"};
    options.Argv.insert(options.Argv.end(), args.begin(), args.end());
    options.Argv.push_back(url);
    options.Environment = {"HOME=" + profile, "PATH=/usr/bin:/bin"};
    // Files, not pipes: chromium's helper processes may keep inherited pipes open after it has ended.
    options.Stdout = ChildStdio::File(profile + ".out");
    options.Stderr = ChildStdio::File(profile + ".err");
    Result<ChildStatus> status = ChildProcess::Run(options, 120000);
    EXPECT_TRUE(status && status->ExitedWith(0)) << TempDir::ReadFile(profile + ".err");
    return TempDir::ReadFile(profile + ".out");
}

TEST_F(AdminCgiPorticoTest, ChromiumShowsTheAccountList)
{
    if (!std::filesystem::exists("/usr/bin/chromium")) {
        GTEST_SKIP() << "chromium is not installed";
    }
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_THAT(Post("View=NewUser&CreateUser=1&Name=dave&FullName=Dave+%3Cb%3ED%3C%2Fb%3E").Body,
                HasSubstr("Account created for dave."));
    TempDir scratch;
    const std::string url = "http://admin:" + std::string(kPassword) + "@127.0.0.1:" + std::to_string(m_port) +
                            "/cgi-bin/QMAdminCGI?View=Users";
    const std::string dom = RunChromium(scratch.PathOf("dom"), {"--dump-dom"}, url);
    EXPECT_THAT(dom, HasSubstr("name=\"Disable:dave\""));
    EXPECT_THAT(dom, HasSubstr("Dave &lt;b&gt;D&lt;/b&gt;"));
    EXPECT_THAT(dom, Not(HasSubstr("<b>D</b>")));
    const std::string shots = std::string(QM_BINARY_DIR) + "/tests/screenshots";
    std::filesystem::create_directories(shots);
    const std::string shot = shots + "/AdminUsers.png";
    std::filesystem::remove(shot);
    (void)RunChromium(scratch.PathOf("shot"), {"--screenshot=" + shot}, url);
    const std::string bytes = TempDir::ReadFile(shot);
    EXPECT_TRUE(bytes.size() > 1000 && bytes.compare(0, 8, "\x89PNG\r\n\x1a\n") == 0) << shot;
}

} // namespace
} // namespace qm::test
