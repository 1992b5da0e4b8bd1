// How often whole requests read and write the settings files: each file is parsed once for a logon and a List page
// and checked once per request, User.ini is written only when a value in it changes, and an edit by another process
// still takes effect at the next request.
#include "common/IniAccess.h"
#include "common/IniCache.h"
#include "common/Scrambler.h"
#include "engine/DomainSettings.h"
#include "engine/LogonThrottle.h"
#include "engine/Request.h"
#include "engine/TemplateCache.h"
#include "engine/UserLogonLocks.h"
#include "engine/tests/RequestTestSupport.h"
#include "engine/tests/SessionTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace qm::engine {
namespace {

using test::ReadFile;
using test::SessionHarness;
using test::WriteFile;
namespace fs = std::filesystem;

class SettingsReadsTest : public ::testing::Test {
protected:
    SettingsReadsTest()
    {
        const fs::path templates = m_harness.Settings().Dir() / "Templates";
        fs::create_directories(templates / "Globe");
        WriteFile(templates / "Languages.ini", "[en]\r\n001=English\r\n015=Bad logon.\r\n");
        WriteFile(templates / "Globe" / "Logon.html", "LOGON");
        WriteFile(templates / "Globe" / "Main.html", "MAIN[<$USER$>]");
        WriteFile(templates / "Globe" / "List.html", "LIST");
        m_cache = std::make_unique<TemplateCache>(templates.string(), true, nullptr);
        m_harness.Settings().WriteDomains("[Default:Settings]\r\nDefaultDomain=\r\nAutoAccountCreation=No\r\n"
                                          "[Default:UserDefaults]\r\nLang=en\r\nTheme=Globe\r\nListPerPage=25\r\n");
        fs::create_directories(m_harness.Settings().UserDir("alice"));
        m_userIni = (m_harness.Settings().UserDir("alice") / "User.ini").string();
        WriteFile(m_userIni, "[User]\r\nPassword=" + ScramblePassword("pw") + "\r\nFullName=Alice\r\n");
        m_domainsIni = (m_harness.Settings().Dir() / "Domains.Ini").string();
    }

    void SetUp() override
    {
        // The files were written just now: trust their stamps alone, as for files an administrator left a while ago.
        SetIniCacheSettleTime(std::chrono::nanoseconds(0));
        ClearIniCache();
        EnableIniFileCounts(true);
        ResetIniFileCounts();
    }

    void TearDown() override
    {
        EnableIniFileCounts(false);
        ResetIniFileCounts();
        SetIniCacheSettleTime(kIniCacheSettleTime);
        ClearIniCache();
    }

    std::string Send(const std::string& query, const std::string& cookies = "Lang=en; Theme=Globe")
    {
        RequestServices services = test::HarnessServices(m_harness, m_cache.get());
        services.Throttle = m_throttle.get();
        services.LogonLocks = &m_logonLocks;
        services.Action = m_action;
        return test::RunRequest(test::GetRequestEnvironment(query, cookies), std::move(services),
                                (m_harness.Settings().Dir() / "response").string())
                .Page();
    }

    // Logs alice on; returns the cookies of her session.
    std::string LogOn()
    {
        EXPECT_EQ(Send("View=Main&User=alice&Password=pw"), "MAIN[alice]");
        Session* session = m_harness.Manager().FindByUser("alice");
        EXPECT_NE(session, nullptr);
        if (session == nullptr) {
            return {};
        }
        m_id = session->Id();
        std::string cookies = "Session=" + session->CookieSecret() + "; Lang=en; Theme=Globe";
        session->Unbusy();
        return cookies;
    }

    std::vector<std::string> SettingsFiles() const { return {m_harness.Settings().IniPath(), m_domainsIni, m_userIni}; }

    SessionHarness m_harness{"[General]\r\nLogLevel=1\r\n"};
    std::unique_ptr<TemplateCache> m_cache;
    std::unique_ptr<LogonThrottle> m_throttle =
            std::make_unique<LogonThrottle>(LogonThrottlePolicy{}, [] { return std::chrono::milliseconds(1000000); });
    UserLogonLocks m_logonLocks;
    std::function<void(Request&)> m_action;
    std::string m_userIni;
    std::string m_domainsIni;
    std::string m_id;
};

// A return of the reads per key (a stat or a parse for every value) or of the writes per key shows here.
TEST_F(SettingsReadsTest, ALogonAndAListPageParseEachSettingsFileOnceAndWriteUserIniAtMostOnce)
{
    const std::string cookies = LogOn();
    ASSERT_FALSE(cookies.empty());
    m_harness.Advance(1); // a second later: the List page records the user's last access
    ASSERT_EQ(Send("View=List&Session=" + m_id, cookies), "LIST");

    const std::uint64_t userWrites = GetIniFileCounts(m_userIni).Writes;
    EXPECT_LE(userWrites, 1u) << "User.ini is written once per change set";
    for (const std::string& file : SettingsFiles()) {
        SCOPED_TRACE(file);
        const IniCacheCounts counts = GetIniFileCounts(file);
        // A file this process writes keeps the version its write left: it is not read again.
        const std::uint64_t ownWrites = file == m_userIni ? userWrites : 0;
        EXPECT_EQ(counts.FileReads, 1u);
        EXPECT_EQ(counts.Writes, ownWrites);
        // Two requests: one check each, and one more after each write of this process (of any file).
        EXPECT_LE(counts.StampChecks, 2u + 2 * userWrites);
    }
    EXPECT_NE(ReadFile(m_userIni).find("LastAccess="), std::string::npos);

    // Another List page in the same second changes nothing in User.ini, and reads nothing again.
    ResetIniFileCounts();
    ASSERT_EQ(Send("View=List&Session=" + m_id, cookies), "LIST");
    for (const std::string& file : SettingsFiles()) {
        SCOPED_TRACE(file);
        EXPECT_EQ(GetIniFileCounts(file).FileReads, 0u);
        EXPECT_EQ(GetIniFileCounts(file).Writes, 0u);
        EXPECT_EQ(GetIniFileCounts(file).StampChecks, 1u);
    }
}

// An administrator's edit between two requests is seen by the second, whether the file was rewritten in place or
// replaced, however many values the first read.
TEST_F(SettingsReadsTest, AnEditByAnotherProcessTakesEffectAtTheNextRequest)
{
    const std::string cookies = LogOn();
    ASSERT_FALSE(cookies.empty());
    const UserSettingsSource alice{"", m_userIni};
    std::vector<int> seen;
    m_action = [&](Request&) {
        seen.push_back(GetUserInt("ListPerPage", alice));
        seen.push_back(GetUserInt("ListPerPage", alice));
    };
    ASSERT_EQ(Send("View=List&Session=" + m_id, cookies), "LIST");

    // In place, as an editor saves it.
    std::string text = ReadFile(m_userIni);
    text.insert(text.find("\r\n") + 2, "ListPerPage=40\r\n");
    const int fd = ::open(m_userIni.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ::close(fd);
    ASSERT_EQ(Send("View=List&Session=" + m_id, cookies), "LIST");

    // Replaced by a rename, as the INI layer of the admin program writes.
    WriteFile(m_domainsIni + ".new", "[Default:Settings]\r\nDefaultDomain=\r\n[Default:UserOverrides]\r\n"
                                     "ListPerPage=10\r\n");
    fs::rename(m_domainsIni + ".new", m_domainsIni);
    ASSERT_EQ(Send("View=List&Session=" + m_id, cookies), "LIST");

    // Deleted: the defaults of the code apply.
    fs::remove(m_domainsIni);
    ASSERT_EQ(Send("View=List&Session=" + m_id, cookies), "LIST");
    EXPECT_EQ(seen, (std::vector<int>{25, 25, 40, 40, 10, 10, 40, 40}));
}

} // namespace
} // namespace qm::engine
