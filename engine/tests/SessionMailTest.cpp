#include "engine/SessionMail.h"

#include "common/IniAccess.h"
#include "engine/tests/SessionTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace qm::engine {
namespace {

using test::SessionHarness;
using test::SettingsInstall;
namespace fs = std::filesystem;

constexpr time_t kThursday = 1765432100; // Thu, 11 Dec 2025 05:48:20 UTC

// Sets the process's time zone for a scope.
class TimeZone {
public:
    explicit TimeZone(const char* zone)
    {
        if (const char* old = std::getenv("TZ")) {
            m_old = old;
        }
        ::setenv("TZ", zone, 1);
        ::tzset();
    }

    ~TimeZone()
    {
        if (m_old) {
            ::setenv("TZ", m_old->c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
        ::tzset();
    }

    TimeZone(const TimeZone&) = delete;
    TimeZone& operator=(const TimeZone&) = delete;

private:
    std::optional<std::string> m_old;
};

TEST(SessionMailTest, MailDatesCarryTheLocalOffsetWithItsSign)
{
    struct Case {
        const char* Zone;
        const char* Date;
    };

    const Case cases[] = {
            {"UTC0", "Thu, 11 Dec 2025 05:48:20 +0000"},    {"EST5", "Thu, 11 Dec 2025 00:48:20 -0500"},
            {"CET-1", "Thu, 11 Dec 2025 06:48:20 +0100"},   {"NST3:30", "Thu, 11 Dec 2025 02:18:20 -0330"},
            {"XYZ0:30", "Thu, 11 Dec 2025 05:18:20 -0030"}, {"IST-5:30", "Thu, 11 Dec 2025 11:18:20 +0530"},
            {"ABC12", "Wed, 10 Dec 2025 17:48:20 -1200"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Zone);
        TimeZone zone(c.Zone);
        EXPECT_EQ(MailDateText(kThursday), c.Date);
    }
}

TEST(SessionMailTest, WelcomeLinesAreWholeWithTheirTagsReplaced)
{
    TimeZone zone("UTC0");
    const std::string longLine(400, 'L');
    const std::string text = "Hello <$FULLNAME$>,\r\nyour name is <$username$> and your address <$Email$>.\n" +
                             longLine + "<$USERNAME$>\r\n\r\nlast line without end";
    const auto lines = WelcomeMessageLines(text, {"bob", "Bob B", "bob@ex.com"}, kThursday);
    const std::vector<std::string> expected = {
            "Date: Thu, 11 Dec 2025 05:48:20 +0000",
            "Hello Bob B,",
            "your name is bob and your address bob@ex.com.",
            longLine + "bob",
            "",
            "last line without end",
    };
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(WelcomeMessageLines("", {"a", "b", "c"}, kThursday).size(), 1u);
}

TEST(SessionMailTest, TheWelcomeMessageNeedsTheSettingAndTheFile)
{
    SettingsInstall install;
    auto record = UserRecord::Open("bob");
    ASSERT_TRUE(record);
    EXPECT_FALSE(LoadWelcomeMessage(**record, kThursday).has_value()) << "off by default";
    ASSERT_TRUE(WriteIniString("AccountCreation", "SendWelcomeMessage", "Yes"));
    EXPECT_FALSE(LoadWelcomeMessage(**record, kThursday).has_value()) << "no welcome.msg";
    test::WriteFile(install.Dir() / "WELCOME.MSG", "Hi <$USERNAME$>\r\n");
    const auto lines = LoadWelcomeMessage(**record, kThursday);
    ASSERT_TRUE(lines.has_value());
    ASSERT_EQ(lines->size(), 2u);
    EXPECT_EQ((*lines)[1], "Hi bob");
}

TEST(SessionMailTest, TheWelcomeFlagStaysUntilTheMessageIsStored)
{
    // The store cannot keep the message yet: the flag stays for a later logon, even with the file and the setting.
    SessionHarness harness;
    ASSERT_TRUE(WriteIniString("AccountCreation", "SendWelcomeMessage", "Yes"));
    test::WriteFile(harness.Settings().Dir() / "welcome.msg", "Hi <$USERNAME$>\r\n");
    fs::create_directories(harness.Settings().UserDir("bob"));
    test::WriteFile(harness.Settings().UserDir("bob") / "User.ini", "[User]\r\nSendWelcome=Yes\r\n");
    Session* session = harness.CreateIdle("bob");
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(ReadIniStringFile("User", "SendWelcome", "<missing>", session->User().IniPath()), "Yes");

    // Once a message is stored the flag goes, and only then.
    SessionManagerContext context = harness.Context();
    std::vector<std::string> sentTo;
    context.SendWelcome = [&sentTo](UserRecord& user, time_t /*now*/) {
        sentTo.push_back(user.Name());
        return true;
    };
    SessionManager storing(context);
    fs::create_directories(harness.Settings().UserDir("carol"));
    test::WriteFile(harness.Settings().UserDir("carol") / "User.ini", "[User]\r\nSendWelcome=Yes\r\n");
    Session* carol = storing.Create("carol", "127.0.0.1");
    ASSERT_NE(carol, nullptr);
    EXPECT_EQ(ReadIniStringFile("User", "SendWelcome", "<missing>", carol->User().IniPath()), "<missing>");
    EXPECT_EQ(sentTo, std::vector<std::string>{"carol"});
    carol->Unbusy();
}

} // namespace
} // namespace qm::engine
