#include "engine/DomainSettings.h"

#include "common/Scrambler.h"
#include "engine/Engine.h"
#include "engine/tests/EngineTestSupport.h"
#include "platform/IniFile.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace qm::engine {
namespace {

using test::ReadFile;
using test::WriteFile;
namespace fs = std::filesystem;

constexpr const char* kDomains = "[Default:Settings]\r\n"
                                 "PopPort=110\r\n"
                                 "Port=2000\r\n"
                                 "Empty=fallback\r\n"
                                 "Flag=No\r\n"
                                 "[d.com:Settings]\r\n"
                                 "PopHost=pop.d.com\r\n"
                                 "Empty=\r\n"
                                 "Flag=yes\r\n"
                                 "Count=12abc\r\n"
                                 "[Default:UserOverrides]\r\n"
                                 "ListPerPage=50\r\n"
                                 "[d.com:UserOverrides]\r\n"
                                 "Style=Locked\r\n"
                                 "[Default:UserDefaults]\r\n"
                                 "Theme=Globe\r\n"
                                 "Lang=en\r\n"
                                 "ListPerPage=25\r\n"
                                 "SpellCheckBeforeSend=No\r\n"
                                 "[d.com:UserDefaults]\r\n"
                                 "Lang=fr\r\n"
                                 "Blank=\r\n";

constexpr const char* kUser = "[User]\r\n"
                              "ListPerPage=10\r\n"
                              "Style=Mine\r\n"
                              "Theme=Ocean\r\n"
                              "SpellCheckBeforeSend=Yes\r\n";

class DomainSettingsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "qmdom.XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_dir = pattern;
        m_domains = (m_dir / "Domains.Ini").string();
        m_user = {"d.com", (m_dir / "User.ini").string()};
        WriteFile(m_domains, kDomains);
        WriteFile(m_user.UserIni, kUser);
        SetDomainsIniPath(m_domains);
    }

    void TearDown() override
    {
        SetDomainsIniPath({});
        std::error_code ignored;
        fs::remove_all(m_dir, ignored);
    }

    fs::path m_dir;
    std::string m_domains;
    UserSettingsSource m_user;
};

TEST(DomainValueTest, NumbersAndBooleansOfSettingTexts)
{
    for (const char* yes : {"Yes", "yes", "True", "t", "1", "Y"}) {
        EXPECT_TRUE(DomainValueToBool(yes)) << yes;
    }
    for (const char* no : {"No", "0", "", "Off", "false", " yes"}) {
        EXPECT_FALSE(DomainValueToBool(no)) << no;
    }
    EXPECT_FALSE(DomainValueToBool(std::string_view("\0", 1)));

    struct Case {
        const char* Text;
        int Want;
    };

    const Case cases[] = {{"25", 25},
                          {" 7x", 7},
                          {"-3", -3},
                          {"+4", 4},
                          {"abc", 0},
                          {"", 0},
                          {"99999999999", INT_MAX},
                          {"-99999999999", INT_MIN},
                          {"0x10", 0}};
    for (const Case& c : cases) {
        EXPECT_EQ(DomainValueToInt(c.Text), c.Want) << c.Text;
    }
}

TEST_F(DomainSettingsTest, DomainSettingFallsBackToTheDefaultSection)
{
    struct Case {
        const char* Key;
        const char* Domain;
        const char* Want;
    };

    const Case cases[] = {
            {"PopHost", "d.com", "pop.d.com"}, // the domain's own value
            {"PopPort", "d.com", "110"},       // not in the domain's section: the default section's
            {"PopHost", "e.com", ""},          // nowhere
            {"Empty", "d.com", ""},            // present and empty: the search ends
            {"Empty", "e.com", "fallback"},
            {"POPHOST", "D.COM", "pop.d.com"}, // sections and keys in any case
            {"Port", "", "2000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.Key) + " of " + c.Domain);
        EXPECT_EQ(GetDomainSetting(c.Key, c.Domain), c.Want);
    }
    EXPECT_TRUE(GetDomainBool("Flag", "d.com"));
    EXPECT_FALSE(GetDomainBool("Flag", "e.com"));
    EXPECT_EQ(GetDomainInt("Count", "d.com"), 12);
    EXPECT_EQ(GetDomainInt("PopHost", "d.com"), 0);
}

TEST_F(DomainSettingsTest, DomainsAreListedInFileOrderWithoutLimit)
{
    std::string text = kDomains;
    for (int i = 0; i < 2000; ++i) {
        text += "[domain-number-" + std::to_string(i) + ".example:SETTINGS]\r\nPort=1\r\n";
    }
    text += "[x:UserDefaults]\r\n[b.org:Settings:Old]\r\n[Default:settings]\r\n";
    WriteFile(m_domains, text);
    const std::vector<std::string> domains = ListDomains();
    ASSERT_EQ(domains.size(), 2002u) << "far more than 16 KB of section names, all read";
    EXPECT_EQ(domains.front(), "d.com");
    EXPECT_EQ(domains[1], "domain-number-0.example");
    EXPECT_EQ(domains[2000], "domain-number-1999.example");
    EXPECT_EQ(domains.back(), "b.org");
}

TEST_F(DomainSettingsTest, UserSettingChainOverridesThenOwnThenDefaults)
{
    struct Case {
        const char* Key;
        const char* Domain;
        const char* Want;
    };

    const Case cases[] = {
            {"ListPerPage", "d.com", "50"}, // [Default:UserOverrides] beats the user's own 10
            {"Style", "d.com", "Locked"},   // the domain's override beats the user's own
            {"Style", "e.com", "Mine"},     // no override for e.com: the user's own
            {"Theme", "d.com", "Ocean"},    // the user's own beats the defaults
            {"Lang", "d.com", "fr"},        // not in User.ini: the domain's defaults
            {"Lang", "e.com", "en"},        // then [Default:UserDefaults]
            {"Blank", "d.com", ""},         // present and empty
            {"Nothing", "d.com", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.Key) + " of " + c.Domain);
        EXPECT_EQ(GetUserSetting(c.Key, {c.Domain, m_user.UserIni}), c.Want);
    }
    EXPECT_EQ(GetUserInt("ListPerPage", m_user), 50);
    EXPECT_TRUE(GetUserBool("SpellCheckBeforeSend", m_user));
    EXPECT_EQ(GetInheritedUserSetting("ListPerPage", "d.com"), "50");
    EXPECT_EQ(GetInheritedUserSetting("Theme", "d.com"), "Globe");
    EXPECT_EQ(GetInheritedUserSetting("Lang", "d.com"), "fr");
}

TEST_F(DomainSettingsTest, SettingTheInheritedValueRemovesTheUsersOwn)
{
    SetUserSetting("Theme", m_user, "Globe");
    EXPECT_FALSE(platform::IniRead(m_user.UserIni, "User", "Theme").has_value());
    EXPECT_EQ(GetUserSetting("Theme", m_user), "Globe");

    SetUserSetting("Theme", m_user, "Blue");
    EXPECT_EQ(platform::IniRead(m_user.UserIni, "User", "Theme"), "Blue");

    SetUserSetting("Theme", m_user, "globe"); // the comparison is exact
    EXPECT_EQ(platform::IniRead(m_user.UserIni, "User", "Theme"), "globe");

    const std::string longValue(300, 'v');
    SetUserSetting("Signature", m_user, longValue);
    EXPECT_EQ(GetUserSetting("Signature", m_user), longValue);
}

TEST_F(DomainSettingsTest, PlainSecretIsStoredScrambledInTheSectionItCameFrom)
{
    ASSERT_TRUE(platform::IniWrite(m_domains, "d.com:Settings", "NewAccountPassword", "-abc"));
    EXPECT_EQ(GetDomainSecret("NewAccountPassword", "d.com"), "abc");
    const std::string stored = platform::IniRead(m_domains, "d.com:Settings", "NewAccountPassword").value_or("");
    EXPECT_NE(stored, "-abc");
    EXPECT_EQ(UnscramblePassword(stored), "abc");
    EXPECT_FALSE(platform::IniRead(m_domains, "Default:Settings", "NewAccountPassword").has_value());
    EXPECT_EQ(GetDomainSecret("NewAccountPassword", "d.com"), "abc") << "read again from the scrambled form";
}

TEST_F(DomainSettingsTest, StoredSecretForms)
{
    struct Case {
        std::string Stored;
        std::string Want;
    };

    const Case cases[] = {
            {"\\DOMAIN", "\\DOMAIN"}, // an NT domain: as it is
            {"*", "*"},               // LDAP logon: as it is
            {"", ""},
            {ScramblePassword("pw"), "pw"},
            {"-\\x", "\\x"}, // the plain text after '-' is the secret, whatever it starts with
            {"-*y", "*y"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Stored);
        ASSERT_TRUE(platform::IniWrite(m_domains, "Default:Settings", "Secret", c.Stored));
        EXPECT_EQ(GetDomainSecret("Secret", "e.com"), c.Want);
        EXPECT_EQ(GetDomainSecret("Secret", "e.com"), c.Want) << "second read";
    }
    EXPECT_EQ(GetDomainSecret("NoSuchKey", "e.com"), "");
}

TEST_F(DomainSettingsTest, WriteDefaultsAddsOnlyMissingKeysInOrder)
{
    test::TempInstall install;
    install.WriteIni("");
    EngineProcessAttach(nullptr);
    ASSERT_TRUE(EngineAttached());
    const std::string path = (install.Dir() / "Domains.Ini").string();
    WriteFile(path, "[Default:Settings]\r\nPopPort=995\r\n[Default:UserDefaults]\r\nTheme=Night\r\n");

    ASSERT_TRUE(WriteDomainDefaults(true));
    EXPECT_EQ(DomainsIniPath(), path);
    const platform::IniDocument document = platform::IniLoad(path);
    EXPECT_EQ(document.Get("Default:Settings", "PopPort"), "995");
    EXPECT_EQ(document.Get("Default:UserDefaults", "Theme"), "Night");
    EXPECT_EQ(document.Get("Default:Settings", "UseEmailForPopUser"), "Yes");
    const auto settings = document.KeyNames("Default:Settings");
    ASSERT_EQ(settings.size(), 16u);
    EXPECT_EQ(settings[0], "PopPort");
    EXPECT_EQ(settings[1], "DefaultDomain");
    EXPECT_EQ(settings.back(), "EnforceQuotas");
    EXPECT_EQ(document.KeyNames("Default:UserDefaults").size(), 21u);

    const std::string before = ReadFile(path);
    ASSERT_TRUE(WriteDomainDefaults(false));
    EXPECT_EQ(ReadFile(path), before) << "present keys are never rewritten";

    // A file written by someone else under another spelling is the one found and completed.
    fs::remove(path);
    const std::string lower = (install.Dir() / "domains.ini").string();
    WriteFile(lower, "[Default:Settings]\r\nPort=8080\r\n");
    ASSERT_TRUE(WriteDomainDefaults(false));
    EXPECT_EQ(DomainsIniPath(), lower);
    EXPECT_EQ(platform::IniRead(lower, "Default:Settings", "Port"), "8080");
    EXPECT_EQ(platform::IniRead(lower, "Default:Settings", "UseEmailForPopUser"), "No");
    EXPECT_FALSE(fs::exists(path));
    EngineProcessDetach();
}

} // namespace
} // namespace qm::engine
