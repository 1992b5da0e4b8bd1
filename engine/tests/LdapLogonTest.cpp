// Directory logon without a server: the escaping that keeps a user name from widening the search filter, the URI
// made of the host text, and the refusals that come before anything is sent; and the client library looked for by
// several names.
#include "engine/LdapLogon.h"

#include "engine/EngineMessages.h"
#include "engine/tests/PageTestSupport.h"
#include "engine/tests/SessionTestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <optional>
#include <string>
#include <vector>

namespace qm::engine {
namespace {

TEST(LdapLogonTest, FilterValuesAreEscapedSoThatNoNameCanWidenTheSearch)
{
    struct Case {
        std::string Value;
        std::string Want;
    };

    const Case cases[] = {
            {"alice", "alice"},
            {"*", "\\2a"},
            {"a*)(cn=*", "a\\2a\\29\\28cn=\\2a"},
            {"x\\2a", "x\\5c2a"},
            {std::string("nul\0x", 5), "nul\\00x"},
            {"Ünïcode@d.com", "Ünïcode@d.com"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(EscapeLdapFilterValue(c.Value), c.Want) << c.Value;
    }
}

TEST(LdapLogonTest, EveryUserInTheFilterIsReplacedInAnyCaseWithoutACut)
{
    EXPECT_EQ(LdapFilterFor("(cn=USER)", "bob"), "(cn=bob)");
    EXPECT_EQ(LdapFilterFor("(|(uid=user)(mail=User@x))", "b*"), "(|(uid=b\\2a)(mail=b\\2a@x))");
    EXPECT_EQ(LdapFilterFor("(cn=USE)", "bob"), "(cn=USE)");
    // A long name escaped past any fixed buffer stays whole, closing parenthesis included.
    const std::string name(79, '*');
    const std::string filter = LdapFilterFor("(&(objectClass=person)(cn=USER))", name);
    EXPECT_EQ(filter.size(), std::string("(&(objectClass=person)(cn=))").size() + 79 * 3);
    EXPECT_EQ(filter.back(), ')');
}

TEST(LdapLogonTest, TheHostTextBecomesALdapUriOrNothing)
{
    struct Case {
        const char* Host;
        std::optional<std::string> Want;
    };

    const Case cases[] = {
            {"ldap.example.com", "ldap://ldap.example.com:389"},
            {"127.0.0.1:3890", "ldap://127.0.0.1:3890"},
            {"[::1]", "ldap://[::1]:389"},
            {"[::1]:636", "ldap://[::1]:636"},
            {"", std::nullopt},
            {"::1", std::nullopt},
            {"host:port", std::nullopt},
            {"host:123456", std::nullopt},
            {"host/dc=x??sub", std::nullopt},
            {"evil.com:389/?x", std::nullopt},
            {"a b", std::nullopt},
            {"[::1]x", std::nullopt},
            {"ho[st]", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(LdapUriFor(c.Host), c.Want) << c.Host;
    }
}

TEST(LdapLogonTest, WithoutTheLibraryOrWithAnEmptyPasswordNothingIsAsked)
{
    RegisterEngineMessages();
    test::SettingsInstall install("[General]\r\nLogLevel=1\r\n[LDAPAuth]\r\nHost=127.0.0.1:1\r\n");
    test::RecordingLog log;
    EXPECT_EQ(LdapLogon(nullptr, "bob", "*", "pw", log), LogonResult::ServiceFailed);
    EXPECT_EQ(log.Count("LDAP logon attempted, but the DLL is not loaded!"), 1);

    auto library = LdapLibrary::Load();
    ASSERT_TRUE(library) << library.error().Message;
    log.Lines.clear();
    EXPECT_EQ(LdapLogon(library->get(), "bob", "*", "", log), LogonResult::Refused);
    EXPECT_TRUE(log.Lines.empty());
    EXPECT_EQ(LdapLogon(library->get(), "bob", "*bad host", "pw", log), LogonResult::ServiceFailed);
    EXPECT_EQ(log.Count("LDAP could not connect to bad host."), 1);
}

TEST(LdapLibraryTest, TheFirstNameThatServesIsLoadedAndAFailureNamesEveryNameTried)
{
    // A system without the first name (that of another OpenLDAP version) still finds a later one.
    const std::vector<const char*> later = {"libqm-no-such-ldap.so.0", "libldap.so"};
    auto found = LdapLibrary::Load(later);
    ASSERT_TRUE(found) << found.error().Message;
    EXPECT_EQ((*found)->Name(), "libldap.so");

    struct Case {
        std::vector<const char*> Names;
        int Code;
        const char* Tried;
        const char* Reason;
    };

    const Case cases[] = {
            {{"libqm-no-such-ldap.so.0", "libqm-nor-this.so"},
             ENOENT,
             "libqm-no-such-ldap.so.0, libqm-nor-this.so",
             "libqm-nor-this.so: cannot open"},
            // A library that is there but is no LDAP library tells more than a name that is not there.
            {{"libc.so.6", "libqm-no-such-ldap.so.0"},
             kLdapMissingEntryPoint,
             "libc.so.6, libqm-no-such-ldap.so.0",
             "an entry point of libc.so.6 is missing"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Tried);
        auto library = LdapLibrary::Load(c.Names);
        ASSERT_FALSE(library);
        EXPECT_EQ(library.error().Code, c.Code);
        EXPECT_NE(library.error().Message.find(c.Tried), std::string::npos) << library.error().Message;
        EXPECT_NE(library.error().Message.find(c.Reason), std::string::npos) << library.error().Message;
    }
}

TEST(LdapLibraryTest, AFailedLoadIsLoggedOnceWithTheNamesTried)
{
    RegisterEngineMessages();
    test::RecordingLog log;
    const std::vector<const char*> names = {"libqm-no-such-ldap.so.0", "libqm-nor-this.so"};
    EXPECT_FALSE(LoadLdapLibrary(log, names));
    EXPECT_EQ(LoadedLdap(), nullptr);
    ASSERT_EQ(log.Lines.size(), 2U) << testing::PrintToString(log.Lines);
    EXPECT_EQ(log.Lines[0], "LDAP DLL could not load, error code 2.");
    EXPECT_EQ(log.Lines[1].rfind("The LDAP library was looked for as libqm-no-such-ldap.so.0, libqm-nor-this.so: ", 0),
              0U)
            << log.Lines[1];

    // By the names of the distributions the library of this system is found, and nothing is logged.
    log.Lines.clear();
    EXPECT_TRUE(LoadLdapLibrary(log));
    EXPECT_NE(LoadedLdap(), nullptr);
    EXPECT_TRUE(log.Lines.empty()) << testing::PrintToString(log.Lines);
    UnloadLdapLibrary();
}

} // namespace
} // namespace qm::engine
