// A web-mail session ended from the web administration: the main web server with the engine library and the admin
// web server with the administration program run on one installation, so that both see the same session table. The
// demo user logs on with curl; the sessions page lists the session, its Kill button is submitted with the form's
// token, and the session goes from the list and from the server.
#include "tests/integration/AdminMailInstallation.h"
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
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(m_servers.Start(kAdminPassword)); }

    void TearDown() override { m_servers.Stop(); }

    CurlReply SessionsPage() const
    {
        return Curl({"-u", std::string("admin:") + kAdminPassword, m_servers.AdminUrl("View=QMAdmin")});
    }

    // curl with the web-mail user's cookie jar.
    CurlReply AsUser(std::vector<std::string> args) const
    {
        args.insert(args.begin(), {"-b", m_jar.PathOf("jar"), "-c", m_jar.PathOf("jar")});
        return Curl(args);
    }

    AdminMailInstallation m_servers{kToken};
    PageInstallation& m_pages = m_servers.Pages();
    TempDir m_jar;
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
    const CurlReply killed =
            Curl({"-u", std::string("admin:") + kAdminPassword, "--data",
                  "Token=" + token + "&Kill%3A" + id + "=End+session", m_servers.AdminUrl("View=QMAdmin")});
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
