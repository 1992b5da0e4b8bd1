#include "engine/TemplateRender.h"
#include "engine/Views.h"
#include "engine/tests/PageTestSupport.h"
#include "platform/IniFile.h"
#include "store/FolderList.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace qm::engine {
namespace {

using test::FakePage;
using test::FakeSession;
using test::TemplateFixture;
using test::WriteFile;
namespace fs = std::filesystem;

class TemplateValuesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directories(UserDir());
        m_session.Source = {"d.com", UserIni()};
        m_fixture.WriteDomains("[d.com:Settings]\r\nPopHost=pop.d.com\r\nFlag=Yes\r\n"
                               "[Default:UserDefaults]\r\nStyle=Normal\r\nAdvancedCompose=No\r\n");
        WriteFile(UserIni(), "[User]\r\nFullName=Alice <A>\r\nStyle=Large\r\n");
    }

    std::string UserDir() const { return m_fixture.Path("Users/alice"); }

    std::string UserIni() const { return UserDir() + "/User.ini"; }

    // Gives the session its user, with the folders and mail accounts now in the user directory.
    void LoadUser() { m_session.UserObject = std::make_unique<test::FakeStoreUser>(UserDir(), m_cache.get()); }

    // A page with the session, in environment env.
    std::unique_ptr<FakePage> SessionPage(const std::vector<std::string>& env = {})
    {
        auto page = std::make_unique<FakePage>(*m_cache, env);
        page->SessionObject = &m_session;
        return page;
    }

    TemplateFixture m_fixture;
    std::unique_ptr<TemplateCache> m_cache = m_fixture.MakeCache(true);
    FakeSession m_session;
};

TEST_F(TemplateValuesTest, WritesRequestAndPageValuesEscapedForTheirPlace)
{
    const std::vector<std::string> env = {"SCRIPT_NAME=/cgi/qm", "SERVER_NAME=mail.d.com", "SERVER_PORT=8080"};

    struct Case {
        const char* Template;
        bool WithSession;
        int View;
        const char* Want;
    };

    const Case cases[] = {
            {"<$ACTION$>", true, kViewOptionsPrefs, "/cgi/qm?Session=ABCDEFG&View=Options-Prefs"},
            {"<$ACTION$>", true, kViewUnlisted, "/cgi/qm?Session=ABCDEFG&View=x%22%3E%3Cscript%3E"},
            {"<$ACTION$>", false, kViewNewUser, "/cgi/qm?View=NewUser"},
            {"<$ACTION$>", false, kViewLogon, "/cgi/qm?View=Main"},
            {"<$LINK$>|<$SCRIPTNAME$>", true, kViewList, "/cgi/qm?Session=ABCDEFG|/cgi/qm"},
            {"<$BASE$><$STYLE$>.css", true, kViewList, "http://mail.d.com:8080/Globe/Large.css"},
            {"<$BASE$><$STYLE$>.css", false, kViewLogon, "http://mail.d.com:8080/Globe/Normal.css"},
            {"<$HELP$>", true, kViewList, "/help/"},
            {"<$LANG$>|<$THEME$>|<$PREFS_THEME$>", false, kViewLogon, "en|Globe|Globe"},
            {"<$PREFS_THEME$>", true, kViewLogon, ""}, // only the sessionless vocabulary has it
            {"<$VERSION$>|<$CHARSET$>", true, kViewList, "2.2.3|iso-8859-1"},
            {"<$USER$>", true, kViewList, "alice"},
            {"<$USER:FULLNAME$>|<$DOMAIN:POPHOST$>|<$CGI:FIELD$>", true, kViewList,
             "Alice &lt;A&gt;|pop.d.com|a&amp;b"},
            {"<$DOMAIN:POPHOST$>|<$CGI:FIELD$>|<$USER:FULLNAME$>", false, kViewLogon, "pop.d.com|a&amp;b|"},
            {"<$REDIRECTTIME$>", true, kViewList, "2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Template);
        FakePage page(*m_cache, env);
        page.SessionObject = c.WithSession ? &m_session : nullptr;
        page.ViewId = c.View;
        page.Field("View", "x\"><script>").Field("Field", "a&b");
        EXPECT_EQ(page.Render(c.Template), c.Want);
    }

    auto german = SessionPage(env);
    german->Lang = "de";
    EXPECT_EQ(german->Render("<$HELP$>|<$CHARSET$>"), "/cgi/qm?Session=ABCDEFG&View=HELP|utf-8");
    german->Field("NoKeepAlive", "");
    german->ViewId = kViewList;
    EXPECT_EQ(german->Render("<$ACTION$>"), "/cgi/qm?Session=ABCDEFG&View=List&NoKeepAlive=Yes");
}

TEST_F(TemplateValuesTest, BaseLeavesOutPort80AndEscapesTheHostName)
{
    struct Case {
        const char* Port;
        const char* Host;
        const char* Want;
    };

    const Case cases[] = {
            {"80", "mail.d.com", "http://mail.d.com/Globe/"},
            {"8080", "mail.d.com", "http://mail.d.com:8080/Globe/"},
            {"", "mail.d.com", "http://mail.d.com/Globe/"},
            {"80", "x\"><script>", "http://x&quot;&gt;&lt;script&gt;/Globe/"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Port);
        FakePage page(*m_cache, {std::string("SERVER_PORT=") + c.Port, std::string("SERVER_NAME=") + c.Host});
        EXPECT_EQ(page.Render("<$BASE$>"), c.Want);
    }
}

TEST_F(TemplateValuesTest, ShowsEachMessageOnceTheSessionsFirst)
{
    auto page = SessionPage();
    m_session.Status.Set("session <news>");
    page->Status.Set("request news");
    EXPECT_EQ(page->Render("[<$STATUSMESG$>][<$STATUSMESG$>][<$STATUSMESG$>]"),
              "[session &lt;news&gt;][request news][]");

    m_session.Error.Set("Say \"hi\"\\ </script>\n");
    EXPECT_EQ(page->Render("alert('<$ERRORMESG,JS$>');<$ERRORMESG$>"),
              "alert('Say \\\"hi\\\"\\\\ \\x3C/script\\x3E\\n');");
    m_session.Error.Set(std::string(300, 'e'));
    EXPECT_EQ(page->Render("<$ERRORMESG,JS$>"), std::string(255, 'e'));

    FakePage sessionless(*m_cache);
    sessionless.Error.Set("error");
    sessionless.Status.Set("status");
    EXPECT_EQ(sessionless.Render("<$ERRORMESG$>|<$STATUSMESG$>|<$STATUSMESG$>"), "error|status|");
    SetStatusMessage(sessionless, "set without a session");
    EXPECT_EQ(sessionless.Render("<$STATUSMESG$>"), "set without a session");
    SetErrorMessage(*page, "set with a session");
    EXPECT_FALSE(page->Error.IsSet());
    EXPECT_EQ(page->Render("<$ERRORMESG$>"), "set with a session");
}

// STATUSERROR tells a refusal from a notice in the slot STATUSMESG is about to show: the session's, else the
// request's; once shown, neither.
TEST_F(TemplateValuesTest, StatusErrorTellsWhetherTheMessageAboutToShowIsARefusal)
{
    const char* page = "<$IF STATUSERROR$>error<$ELSE$>notice<$ENDIF$>:<$STATUSMESG$>;"
                       "<$IF STATUSERROR$>error<$ELSE$>notice<$ENDIF$>:<$STATUSMESG$>";

    struct Case {
        const char* SessionText;
        const char* RequestText;
        const char* Want;
        MessageTone SessionTone;
        MessageTone RequestTone;
        bool WithSession;
    };

    using enum MessageTone;
    const Case cases[] = {
            {"refused", nullptr, "error:refused;notice:", Refusal, Notice, true},
            {"saved", nullptr, "notice:saved;notice:", Notice, Notice, true},
            {"saved", "refused", "notice:saved;error:refused", Notice, Refusal, true},
            {nullptr, "refused", "error:refused;notice:", Notice, Refusal, true},
            {nullptr, "wrong password", "error:wrong password;notice:", Notice, Refusal, false},
            {nullptr, "logged out", "notice:logged out;notice:", Notice, Notice, false},
            {nullptr, nullptr, "notice:;notice:", Notice, Notice, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(page);
        SCOPED_TRACE(c.Want);
        FakePage request(*m_cache);
        request.SessionObject = c.WithSession ? &m_session : nullptr;
        if (c.SessionText != nullptr) {
            m_session.Status.Set(c.SessionText, c.SessionTone);
        }
        if (c.RequestText != nullptr) {
            request.Status.Set(c.RequestText, c.RequestTone);
        }
        EXPECT_EQ(request.Render(page), c.Want);
    }

    // The helpers set the tone: a refusal through TellRefusal, a notice otherwise.
    WriteFile(m_fixture.TemplateDir() + "/Languages.ini", "[en]\r\n015=Bad logon.\r\n094=Saved.\r\n");
    m_cache = m_fixture.MakeCache(true);
    FakePage sessionless(*m_cache);
    TellRefusal(sessionless, 15);
    EXPECT_EQ(sessionless.Render(page), "error:Bad logon.;notice:");
    TellStatus(sessionless, 94);
    EXPECT_EQ(sessionless.Render(page), "notice:Saved.;notice:");
}

TEST_F(TemplateValuesTest, ShowsTheUserNameOfTheNewUserFormOrOfTheCookie)
{
    FakePage newUser(*m_cache, {"HTTP_COOKIE=User=cookie\"user"});
    newUser.ViewId = kViewNewUser;
    newUser.Field("User", "typed<user>");
    EXPECT_EQ(newUser.Render("<$USER$>"), "typed&lt;user&gt;");
    newUser.ViewId = kViewLogon;
    EXPECT_EQ(newUser.Render("<$USER$>"), "cookie&quot;user");
    m_fixture.WriteIni("[Special]\r\nUseCookies=No\r\n");
    EXPECT_EQ(newUser.Render("<$USER$>"), "");
}

TEST_F(TemplateValuesTest, ReportsTheMailFetchOfTheRedirectPages)
{
    WriteFile(m_fixture.TemplateDir() + "/Languages.ini",
              "[en]\r\n021=Checking %s\r\n022=%d of %d from %s\r\n023=Deleting %d of %d on %s\r\n"
              "024=%d of %d bytes\r\n028=Removing %d of %d on %s\r\n[xx]\r\n021=%s %s %n %d\r\n");
    m_cache = m_fixture.MakeCache(true);

    struct Case {
        int View = 0;
        FetchProgress Progress;
        const char* Want = "";
    };

    const Case cases[] = {
            {kViewList, {false, "pop<1>", 0, 0, 0, 0, 0, 0}, "Checking pop&lt;1&gt;"},
            {kViewList, {false, "pop", 2, 5, 0, 0, 0, 0}, "2 of 5 from pop"},
            {kViewList, {false, "pop", 0, 0, 0, 0, 1, 3}, "Deleting 1 of 3 on pop"},
            {kViewList, {true, "pop", 1, 4, 0, 0, 0, 0}, "Removing 1 of 4 on pop"},
            {kViewList, {true, "pop", 0, 0, 0, 0, 1, 3}, ""},
            {kViewMessage, {false, "pop", 0, 0, 100, 2000, 0, 0}, "100 of 2000 bytes"},
            {kViewMessage, {false, "pop", 0, 0, 0, 2000, 0, 0}, ""},
            {kViewMain, {false, "pop", 2, 5, 0, 0, 0, 0}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Want);
        auto page = SessionPage();
        page->ViewId = c.View;
        m_session.Progress = c.Progress;
        EXPECT_EQ(page->Render("<$REDIRECTSTATUS$>"), c.Want);
    }
    // A translation with more conversions than arguments, and one that reads memory in printf, is shown as text.
    auto translated = SessionPage();
    translated->Lang = "xx";
    translated->ViewId = kViewList;
    m_session.Progress = FetchProgress{false, "pop", 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(translated->Render("<$REDIRECTSTATUS$>"), "pop %s %n %d");

    m_session.Progress.reset();
    EXPECT_EQ(SessionPage()->Render("<$REDIRECTSTATUS$>"), "");
    m_fixture.WriteIni("[General]\r\nRedirectWait=5\r\n");
    EXPECT_EQ(SessionPage()->Render("<$REDIRECTTIME$>"), "5");

    for (const auto& [minutes, want] : {std::pair{"10", "600"}, {"0", "86400"}, {"-3", "86400"}}) {
        WriteFile(UserIni(), std::string("[User]\r\nListRefreshTime=") + minutes + "\r\n");
        EXPECT_EQ(SessionPage()->Render("<$LISTREFRESHTIME$>"), want) << minutes;
    }
}

TEST_F(TemplateValuesTest, FramesShowThePendingViewOrTheRequestedOne)
{
    WriteFile(UserIni(), "[MailHost1]\r\nMailbox=main\r\nDefault=Yes\r\nActive=No\r\n"
                         "[MailHost2]\r\nMailbox=other\r\nEMail=o@d.com\r\nActive=No\r\n");
    LoadUser();
    auto page = SessionPage();
    EXPECT_EQ(page->Render("<$FRAMEVIEW$>"), "List");
    m_session.PendingFrameView = kViewMessage;
    EXPECT_EQ(page->Render("<$FRAMEVIEW$>|<$FRAMEVIEW$>"), "Message|List");
    page->Field("FrameView", "main");
    EXPECT_EQ(page->Render("<$FRAMEVIEW$>"), "List");
    EXPECT_EQ(platform::IniRead(UserIni(), "MailHost1", "Active"), "No");

    // The account options in a frame make a default account without an address active.
    auto hosts = SessionPage();
    hosts->Field("FrameView", "Options-Hosts");
    EXPECT_EQ(hosts->Render("<$FRAMEVIEW$>"), "Options-Hosts");
    EXPECT_EQ(platform::IniRead(UserIni(), "MailHost1", "Active"), "Yes");
    EXPECT_EQ(platform::IniRead(UserIni(), "MailHost2", "Active"), "No");

    auto hostile = SessionPage();
    hostile->Field("FrameView", "List&x=\"><b>");
    EXPECT_EQ(hostile->Render("<$FRAMEVIEW$>"), "List");
    auto known = SessionPage();
    known->Field("FrameView", "options-prefs");
    EXPECT_EQ(known->Render("<$FRAMEVIEW$>"), "Options-Prefs");
}

TEST_F(TemplateValuesTest, TheNavigationPageWalksTheFolders)
{
    fs::create_directories(UserDir() + "/Work");
    WriteFile(UserIni(), "[MailHost1]\r\nMailbox=main\r\n[MailHost2]\r\nMailbox=other\r\n");
    LoadUser();
    auto page = SessionPage();
    // Two accounts and five folders.
    EXPECT_EQ(page->Render("<$LEFTFRAMEHEIGHT$>"), "262");

    store::FolderList& folders = m_session.UserObject->Folders();
    ASSERT_TRUE(folders.Create("Work/Bob's"));
    ASSERT_GE(folders.Select("Sent"), 0);
    const std::string navigation = "<$FOREACH FOLDER$><$FOREACH FOLDERDEPTH$>-<$ENDEACH FOLDERDEPTH$>"
                                   "<$FOLDERNUMBER$>:<$FOLDERNAME,URL$>|<$SUBFOLDERNAME$>|<$FOLDERPARENT$>"
                                   "<$IF FOLDERREADONLY$> ro<$ENDIF$><$IF FOLDERHASSUBS$> subs<$ENDIF$>;"
                                   "<$ENDEACH FOLDER$><$FOLDERNAME$>";
    EXPECT_EQ(page->Render(navigation), "0:Inbox|Inbox| ro;1:Drafts|Drafts| ro;2:Sent|Sent| ro;"
                                        "3:Trash|Trash| ro;4:Work|Work| subs;-5:Work%2FBob's|Bob's|Work;Sent");

    ASSERT_GE(folders.Select("work/bob's"), 0);
    EXPECT_EQ(page->Render("<$FOLDERDISPLAYNAME$>|<$SUBFOLDERDISPLAYNAME$>|<$FOLDERNAME,JS$>|<$FOLDERPARENT,JS$>|"
                           "<$SUBFOLDERNAME,JS$>|<$SUBFOLDERDISPLAYNAME,JS$>"),
              "&nbsp; Bob's|Bob's|Work/Bob\\'s|Work|Bob\\'s|Bob\\'s");

    // Without a session the folder vocabulary writes and lists nothing.
    FakePage sessionless(*m_cache);
    EXPECT_EQ(sessionless.Render("<$FOREACH FOLDER$>x<$ENDEACH FOLDER$><$FOLDERNAME$><$IF FOLDERREADONLY$>r<$ENDIF$>"),
              "");
}

TEST_F(TemplateValuesTest, ListsLanguagesThemesStylesAndSpellingLanguages)
{
    fs::create_directories(m_fixture.Path("Spell"));
    WriteFile(m_fixture.Path("Spell/common.DE"), "");
    WriteFile(m_fixture.Path("Spell/Common.fr"), "");
    WriteFile(m_fixture.TemplateDir() + "/Languages.ini",
              "[en]\r\n001=English\r\n[de]\r\n001=Deutsch\r\n1=Deutsch again\r\n[nolang]\r\n002=x\r\n"
              "[fc]\r\n001=Fran\xe7"
              "ais (CA)\r\n[a-very-long-section-name]\r\n001=Long\r\n");
    FakePage page(*m_cache);
    EXPECT_EQ(page.Render("<$FOREACH LANGUAGE$><$VALUE$>:<$NAME$>;<$ENDEACH LANGUAGE$>"),
              "en:English;de:Deutsch;de:Deutsch again;fc:Fran\xe7"
              "ais (CA);a-very-long-sec:Long;");
    EXPECT_EQ(page.Render("<$FOREACH SPELLCHECKLANG$><$VALUE$>;<$ENDEACH SPELLCHECKLANG$>"), "de;de;fc;");
    EXPECT_EQ(page.Render("<$FOREACH THEME$><$NAME$>;<$ENDEACH THEME$>"), "Globe;NoLogon;Other;");
    EXPECT_EQ(page.Render("<$FOREACH STYLE$><option><$NAME$></option><$ENDEACH STYLE$>"),
              "<option>Large</option><option>Normal</option>");
    // A placeholder that the list does not give is an ordinary value; an outer list's text wins inside an inner one.
    EXPECT_EQ(page.Render("<$FOREACH STYLE$>[<$VALUE$>]<$ENDEACH STYLE$>"), "[][]");
    EXPECT_EQ(page.Render("<$FOREACH STYLE$><$FOREACH THEME$><$NAME$>,<$ENDEACH THEME$>;<$ENDEACH STYLE$>"),
              "Large,Large,Large,;Normal,Normal,Normal,;");

    WriteFile(m_fixture.TemplateDir() + "/Languages.ini", "[de]\r\n001=<b>\"quoted\"\r\n");
    EXPECT_EQ(page.Render("<option value=\"<$FOREACH LANGUAGE$><$VALUE$>\"><$NAME$><$ENDEACH LANGUAGE$>"),
              "<option value=\"de\">&lt;b&gt;&quot;quoted&quot;");

    page.ThemeName = "../Globe";
    EXPECT_EQ(page.Render("<$FOREACH STYLE$><$NAME$><$ENDEACH STYLE$>"), "");
    EXPECT_EQ(page.Render("<$FOREACH NOSUCHLIST$>x<$ENDEACH NOSUCHLIST$>"), "");
    EXPECT_EQ(page.Logged.Lines, (std::vector<std::string>{"Unable to iterate: NOSUCHLIST."}));
}

TEST_F(TemplateValuesTest, TestsTheRequestTheSettingsAndTheConfiguration)
{
    struct Case {
        const char* Condition;
        bool WithSession;
        bool Want;
    };

    const Case cases[] = {
            {"CGI:FIELD", false, true},        {"!CGI:FIELD", false, false}, {"CGI:MISSING", false, false},
            {"!CGI:MISSING", false, true},     {"DOMAIN:FLAG", false, true}, {"DOMAIN:POPHOST", false, false},
            {"USER:STYLE", true, false},       {"USER:FLAG", false, false},  {"ADVANCEDCOMPOSE", true, false},
            {"FAXCOMPOSE", false, false},      {"TELVANE", false, false},    {"CORVID", false, false},
            {"TESSERA", false, false},         {"QMPRO", false, true},       {"QMSTANDARD", false, false},
            {"QMWATCH", false, true},          {"NETSCAPE", false, true},    {"NOSUCHCONDITION", false, false},
            {"!NOSUCHCONDITION", false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Condition);
        FakePage page(*m_cache, {"HTTP_USER_AGENT=Mozilla/5.0 (X11; Linux x86_64)"});
        page.SessionObject = c.WithSession ? &m_session : nullptr;
        page.Field("Field", "");
        EXPECT_EQ(page.Render(std::string("<$IF ") + c.Condition + "$>yes<$ELSE$>no<$ENDIF$>"), c.Want ? "yes" : "no");
    }

    WriteFile(UserIni(), "[User]\r\nAdvancedCompose=Yes\r\nFlag=1\r\n");
    m_fixture.WriteIni("[Telvane]\r\nUseTelvane=Yes\r\n[QMWatch]\r\nUseQMWatch=No\r\n");
    auto page = SessionPage({"HTTP_USER_AGENT=Mozilla/4.0 (compatible; MSIE 6.0)"});
    page->Field("FaxCompose", "");
    EXPECT_EQ(page->Render("<$IF ADVANCEDCOMPOSE$>a<$ENDIF$><$IF USER:FLAG$>u<$ENDIF$><$IF FAXCOMPOSE$>f<$ENDIF$>"
                           "<$IF TELVANE$>t<$ENDIF$><$IF QMWATCH$>w<$ENDIF$><$IF NETSCAPE$>n<$ENDIF$>"),
              "auft");
}

} // namespace
} // namespace qm::engine
