// The mail vocabulary of the page templates: the message list with its paging, the values of the current message
// and its parts, compose values, address look-ups and mail accounts.
#include "engine/LdapLibrary.h"
#include "engine/TemplateRender.h"
#include "engine/Views.h"
#include "engine/tests/PageTestSupport.h"
#include "platform/ChildProcess.h"
#include "platform/FileSystem.h"
#include "platform/IniFile.h"
#include "store/CvUserBinding.h"
#include "store/MessageBuilder.h"
#include "store/MessageIndex.h"
#include "store/PartIndex.h"
#include "testsupport/LoopbackListener.h"
#include "testsupport/Program.h"
#include "testsupport/WaitUntil.h"

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <iomanip>
#include <sstream>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace qm::engine {
namespace {

using test::FakePage;
using test::FakeSession;
using test::TemplateFixture;
using test::WriteFile;
namespace fs = std::filesystem;

constexpr const char* kLanguages = "[en]\r\n001=English\r\n006=file\r\n007=files\r\n008=To\r\n009=From\r\n"
                                   "025=Page %d of %d\r\n030=(inline)\r\n046=Not stored here\r\n"
                                   "064=iso-8859-1\r\n066=No subject\r\n067=No date\r\n068=Rule \r\n"
                                   "071=Unreachable.\r\n072=Refused.\r\n073=Search failed.\r\n"
                                   "[de]\r\n001=Deutsch\r\n064=utf-8\r\n";

class TemplateMailTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        WriteFile(m_fixture.TemplateDir() + "/Languages.ini", kLanguages);
        m_cache = m_fixture.MakeCache(true);
        fs::create_directories(UserDir() + "/Inbox");
        fs::create_directories(TempDir());
        m_session.Source = {"d.com", UserIni()};
        m_session.Temp = TempDir();
        WriteFile(UserIni(), "[User]\r\nFullName=Alice\r\n");
    }

    std::string UserDir() const { return m_fixture.Path("Users/alice"); }

    std::string UserIni() const { return UserDir() + "/User.ini"; }

    std::string TempDir() const { return m_fixture.Path("Temp/ABCDEFG"); }

    void SetUser(const std::string& key, const std::string& value) const
    {
        ASSERT_TRUE(platform::IniWrite(UserIni(), "User", key, value));
    }

    // Gives the session its user, with what the user directory holds now.
    void LoadUser() { m_session.UserObject = std::make_unique<test::FakeStoreUser>(UserDir(), m_cache.get()); }

    store::MessageIndex& Index() { return m_session.UserObject->Messages(); }

    // A message of folder in the index (not in a file unless the test writes one).
    store::MessageIndexEntry& AddMessage(std::uint32_t number, const std::string& folder = "Inbox")
    {
        store::MessageIndexEntry& entry = *Index().NewEntry();
        entry.SetNumber(number);
        entry.SetFileId(store::MessageFileId(number));
        entry.SetFolder(folder);
        entry.SetDate(1700000000);
        entry.SetSubject("Subject " + std::to_string(number));
        entry.SetFrom("\"Bob B\" <bob@x.com>");
        entry.SetTo("\"Carol C\" <carol@y.com>");
        return entry;
    }

    // A message stored into the Inbox through the store's own builder, as arriving mail is.
    store::MessageIndexEntry* StoreMessage(const std::vector<std::string>& lines)
    {
        store::MessageBuilder builder(Index(), "Inbox");
        if (!builder.Begin(1000, true)) {
            return nullptr;
        }
        for (const std::string& line : lines) {
            builder.AddLine(line);
        }
        return builder.Finish();
    }

    std::unique_ptr<FakePage> SessionPage(int view, const std::vector<std::string>& env = {})
    {
        auto page = std::make_unique<FakePage>(*m_cache, env);
        page->SessionObject = &m_session;
        page->ViewId = view;
        return page;
    }

    TemplateFixture m_fixture;
    std::unique_ptr<TemplateCache> m_cache;
    FakeSession m_session;
};

// text with every '@' replaced by the session's LINK.
std::string Linked(std::string text)
{
    for (std::size_t at = text.find('@'); at != std::string::npos; at = text.find('@', at)) {
        text.replace(at, 1, "/qm?Session=ABCDEFG");
    }
    return text;
}

TEST_F(TemplateMailTest, ListsTheMessagesOfTheCurrentPage)
{
    struct Case {
        const char* PerPage;
        int Page;
        const char* Want;
        const char* Paging; // LISTCURRENTPAGE|LISTTOTALPAGES|LISTPREVPAGE|LISTNEXTPAGE|LISTLASTPAGE, '@' for LINK
    };

    const Case cases[] = {
            {"10", 3, "21,22,23,24,25,", "Page 3 of 3|3|@&View=List&Page=2|@&View=List&Page=4|@&View=List&Page=3"},
            {"10", 1, "1,2,3,4,5,6,7,8,9,10,",
             "Page 1 of 3|3|@&View=List&Page=0|@&View=List&Page=2|"
             "@&View=List&Page=3"},
            {"3", 2, "6,7,8,9,10,", "Page 2 of 5|5|@&View=List&Page=1|@&View=List&Page=3|@&View=List&Page=5"},
            {"0", 2, "1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25,",
             "Page 2 of 1|1|@&View=List&Page=1|@&View=List&Page=3|@&View=List&Page=1"},
            {"10", 4, "", "Page 4 of 3|3|@&View=List&Page=3|@&View=List&Page=5|@&View=List&Page=3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.PerPage) + " per page, page " + std::to_string(c.Page));
        SetUser("ListPerPage", c.PerPage);
        LoadUser();
        for (std::uint32_t n = 1; n <= 25; ++n) {
            AddMessage(n);
        }
        AddMessage(99, "Trash");
        Index().SelectView("Inbox", "", "");
        Index().SetCurrentPage(c.Page);
        store::MessageIndexEntry* before = Index().Entry(25);
        m_session.Current = before;
        auto page = SessionPage(kViewList, {"SCRIPT_NAME=/qm"});
        EXPECT_EQ(page->Render("<$FOREACH MESSAGE$><$NUMBER$>,<$ENDEACH MESSAGE$>"), c.Want);
        EXPECT_EQ(m_session.Current, before) << "the current message of before the list is restored";
        EXPECT_EQ(page->Render("<$LISTCURRENTPAGE$>|<$LISTTOTALPAGES$>|<$LISTPREVPAGE$>|<$LISTNEXTPAGE$>|"
                               "<$LISTLASTPAGE$>"),
                  Linked(c.Paging));
    }
}

TEST_F(TemplateMailTest, TestsTheFlagsOfTheCurrentMessageAndTheIndex)
{
    LoadUser();
    auto page = SessionPage(kViewList);
    const std::string flags = "<$IF MSGNEW$>n<$ENDIF$><$IF MSGURGENT$>u<$ENDIF$><$IF MSGUNREAD$>r<$ENDIF$>"
                              "<$IF MSGREPLIED$>p<$ENDIF$><$IF MSGFORWARDED$>f<$ENDIF$><$IF MSGHASATTACH$>a<$ENDIF$>"
                              "<$IF NOMESSAGES$>0<$ENDIF$><$IF UNREADMESSAGES$>*<$ENDIF$>"
                              "<$IF FOLDERHASUNREAD$>h<$ENDIF$>";
    Index().SelectView("Inbox", "", "");
    EXPECT_EQ(page->Render(flags), "0") << "no current message: every flag is false";

    store::MessageIndexEntry& m = AddMessage(1);
    Index().SelectView("Inbox", "", "");
    m_session.UserObject->Folders().Select("Inbox");
    m_session.Current = &m;

    struct Case {
        std::uint32_t Flags;
        const char* Want;
    };

    const Case cases[] = {
            {store::MessageFlag::New, "nr*h"},
            {store::MessageFlag::Urgent | store::MessageFlag::Read, "u"},
            {store::MessageFlag::Read | store::MessageFlag::Replied | store::MessageFlag::Forwarded, "pf"},
            {store::MessageFlag::Read | store::MessageFlag::HasAttachments, "a"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Want);
        m.SetFlags(c.Flags);
        EXPECT_EQ(page->Render(flags), c.Want);
    }
}

TEST_F(TemplateMailTest, WritesTheValuesOfTheCurrentMessage)
{
    WriteFile(UserIni(), "[User]\r\nListShowByAddress=0\r\n[MailHost1]\r\nMailbox=work\r\nColor=Style3\"><x\r\n");
    LoadUser();
    store::MessageIndexEntry& m = AddMessage(7);
    m.SetSize(1536);
    m.SetMailbox("work");

    struct Case {
        const char* Template;
        int View;
        const char* ShowBy;
        const char* Folder;
        const char* Want;
    };

    const Case cases[] = {
            {"<$NUMBER$>|<$SIZE$>|<$MESSAGECOLOR$>", kViewList, "0", "Inbox", "7|2|Style3&quot;&gt;&lt;x"},
            {"<$FROM$>|<$TO$>", kViewList, "0", "Inbox", "Bob B|Carol C"},
            {"<$FROM$>|<$TO$>", kViewList, "1", "Inbox", "bob@x.com|carol@y.com"},
            {"<$FROM$>|<$TO$>", kViewList, "2", "Inbox",
             "&quot;Bob B&quot; &lt;bob@x.com&gt;|"
             "&quot;Carol C&quot; &lt;carol@y.com&gt;"},
            {"<$WHO$>:<$FROM$>|<$FROMADDRESS,URL$>", kViewList, "1", "Sent", "To:carol@y.com|carol%40y.com"},
            {"<$WHO$>:<$FROM$>", kViewList, "1", "Inbox", "From:bob@x.com"},
            {"<$FROM$>", kViewMessage, "1", "Sent", "&quot;Bob B&quot; &lt;bob@x.com&gt;"},
            {"<$FROMADDRESS,URL$>", kViewMessage, "1", "Inbox", ""},
            {"<$SUBJECT$>", kViewMessage, "0", "Inbox", "Subject 7"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.Template) + " show-by " + c.ShowBy + " in " + c.Folder);
        SetUser("ListShowByAddress", c.ShowBy);
        m_session.UserObject->Folders().Select(c.Folder);
        m_session.Current = &m;
        EXPECT_EQ(SessionPage(c.View)->Render(c.Template), c.Want);
    }

    // Without a date, a subject or a sender: the bracketed messages and the List page's blank.
    m.SetDate(0);
    m.SetSubject("  \t ");
    m.SetFrom("");
    EXPECT_EQ(SessionPage(kViewList)->Render("<$DATE$>|<$SUBJECT$>|<$FROM$>"), "[No date]|[No subject]|&nbsp;");
    m.SetSubject("<script>x</script> <$USER$>");
    EXPECT_EQ(SessionPage(kViewMessage)->Render("<$SUBJECT$>"), "&lt;script&gt;x&lt;/script&gt; &lt;$USER$&gt;");
    m_session.Current = nullptr;
    EXPECT_EQ(SessionPage(kViewList)->Render("[<$NUMBER$><$DATE$><$FROM$><$SUBJECT$><$SIZE$><$BODY$>]"), "[]");
}

TEST_F(TemplateMailTest, TheMessageColourIsThatOfItsOwnAccountElseStyle1)
{
    const std::string accounts = "[MailHost1]\r\nMailbox=home\r\nColor=Style2\r\nDefault=Yes\r\n"
                                 "[MailHost2]\r\nMailbox=work\r\nColor=Style3\r\n";

    struct Case {
        const char* Name;
        std::string Accounts;
        const char* Mailbox;
        const char* Want;
    };

    // A message whose account is gone, or that names none, never takes the default account's colour; a user without
    // any account is no different.
    const Case cases[] = {
            {"own account", accounts, "WORK", "Style3|Style3"},   {"account gone", accounts, "gone", "Style1|Style1"},
            {"no account named", accounts, "", "Style1|Style1"},  {"no accounts at all", "", "gone", "Style1|Style1"},
            {"no accounts, none named", "", "", "Style1|Style1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        WriteFile(UserIni(), "[User]\r\nFullName=Alice\r\n" + c.Accounts);
        LoadUser();
        store::MessageIndexEntry& m = AddMessage(1);
        m.SetMailbox(c.Mailbox);
        m_session.Current = &m;
        EXPECT_EQ(SessionPage(kViewList)->Render("<$MESSAGECOLOR$>|<$MESSAGESTYLE$>"), c.Want);
        m_session.Current = nullptr;
    }
}

TEST_F(TemplateMailTest, ShowsMailTextInThePagesCharacterSet)
{
    LoadUser();
    store::MessageIndexEntry& m = AddMessage(1);
    m_session.Current = &m;
    m.SetSubject("Caf\xe9 cr\xe8me");
    auto utf8 = SessionPage(kViewMessage);
    utf8->Lang = "de";
    EXPECT_EQ(utf8->Render("<$SUBJECT$>"), "Caf\xc3\xa9 cr\xc3\xa8me");
    auto latin1 = SessionPage(kViewMessage);
    EXPECT_EQ(latin1->Render("<$SUBJECT$>"), "Caf\xe9 cr\xe8me");
    // UTF-8 text reaches a Latin-1 page as Latin-1; a UTF-8 page takes it as it is.
    m.SetSubject("Caf\xc3\xa9");
    EXPECT_EQ(latin1->Render("<$SUBJECT$>"), "Caf\xe9");
    EXPECT_EQ(utf8->Render("<$SUBJECT$>"), "Caf\xc3\xa9");
    // Windows-1252 punctuation on a UTF-8 page.
    m.SetSubject("\x93quoted\x94");
    EXPECT_EQ(utf8->Render("<$SUBJECT$>"), "\xe2\x80\x9cquoted\xe2\x80\x9d");
}

TEST_F(TemplateMailTest, ShowsStoredMailInItsRealLettersOnAUtf8Page)
{
    LoadUser();
    // Headers in encoded words and raw 8-bit bytes; text parts in four character sets, one without a declared one.
    store::MessageIndexEntry* m = StoreMessage({"From: =?ISO-8859-1?Q?Andr=E9?= <andre@x.com>",
                                                "Subject: =?ISO-8859-1?Q?Caf=E9_cr=E8me?=",
                                                "Cc: J\xfcrgen <j@x.com>",
                                                "To: =?KOI8-R?Q?=F0=D2?= <p@x.com>",
                                                "Content-Type: multipart/mixed; boundary=b",
                                                "",
                                                "--b",
                                                "Content-Type: text/plain; charset=KOI8-R",
                                                "",
                                                "\xf0\xd2\xc9\xd7\xc5\xd4",
                                                "--b",
                                                "Content-Type: text/html; charset=iso-8859-1",
                                                "",
                                                "<p>na\xefve</p>",
                                                "--b",
                                                "Content-Type: text/plain",
                                                "",
                                                "\x93quoted\x94",
                                                "--b",
                                                "Content-Type: text/plain; charset=iso-2022-jp",
                                                "",
                                                "\x1b$B0!\x1b(B",
                                                "--b--"});
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->Subject(), "Caf\xc3\xa9 cr\xc3\xa8me") << "the index holds UTF-8";
    m_session.Current = m;
    auto utf8 = SessionPage(kViewMessage);
    utf8->Lang = "de";
    EXPECT_EQ(utf8->Render("<$SUBJECT$>|<$FROM$>|<$CC$>|<$TO$>"),
              "Caf\xc3\xa9 cr\xc3\xa8me|Andr\xc3\xa9 &lt;andre@x.com&gt;|J\xc3\xbcrgen &lt;j@x.com&gt;|"
              "\xd0\x9f\xd1\x80 &lt;p@x.com&gt;");
    const std::string body = utf8->Render("<$BODY$>");
    for (const char* want : {"\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82", "na\xc3\xafve",
                             "\xe2\x80\x9cquoted\xe2\x80\x9d", "\xe4\xba\x9c"}) {
        EXPECT_NE(body.find(want), std::string::npos) << "want " << want << " in " << body;
    }
    // The same message on a Latin-1 page.
    EXPECT_EQ(SessionPage(kViewMessage)->Render("<$SUBJECT$>"), "Caf\xe9 cr\xe8me");
}

TEST_F(TemplateMailTest, NeverLetsABodysCharsetTurnItsTextIntoMarkup)
{
    LoadUser();

    // Read as UTF-7 or as EBCDIC, these bodies spell a script element; the renderer escaped nothing because there
    // was nothing to escape.
    struct Case {
        const char* Type;
        const char* Body;
    };

    const Case cases[] = {
            {"text/html; charset=utf-7", "+ADw-script+AD4-alert(1)+ADw-/script+AD4-"},
            {"text/plain; charset=UTF-7", "+ADw-img src=x onerror=alert(1)+AD4-"},
            {"text/html; charset=IBM037", "L\xa2\x83\x99\x89\x97\xa3n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Type);
        store::MessageIndexEntry* m =
                StoreMessage({"From: a@x.com", "Subject: charset", std::string("Content-Type: ") + c.Type, "", c.Body});
        ASSERT_NE(m, nullptr);
        m_session.Current = m;
        auto page = SessionPage(kViewMessage);
        page->Lang = "de";
        const std::string body = page->Render("<$BODY$>");
        EXPECT_EQ(body.find("<script"), std::string::npos) << body;
        EXPECT_EQ(body.find("<img"), std::string::npos) << body;
    }
}

TEST_F(TemplateMailTest, ListsAndLinksTheAttachments)
{
    LoadUser();
    store::MessageIndexEntry& m = AddMessage(3);
    m.SetFlags(store::MessageFlag::Stored | store::MessageFlag::HasAttachments);
    store::PartIndex parts;
    const auto add = [&](int part, std::uint32_t sub, const char* name, const char* type, int size) {
        store::PartIndexEntry& e = *parts.NewEntry();
        e.Part = part;
        e.SubPart = sub;
        e.FileName = name;
        e.ContentType = type;
        e.Size = size;
    };
    add(1, 0, "", "text/plain", 10);
    add(2, 0, "a b.png", "image/png", 1536);
    add(3, 0, "<x>.pdf", "application/pdf", 100);
    ASSERT_TRUE(parts.Write(m.GetPartIndexPath().c_str()));
    m_session.Current = &m;
    auto page = SessionPage(kViewMessage, {"SCRIPT_NAME=/qm"});

    EXPECT_EQ(page->Render("<$FOREACH ATTACHMENT$><$ATTACHNUM$> <$ATTACHFILE$> <$ATTACHTYPE$> <$ATTACHSIZE$>"
                           "<$ATTACHINLINE$>;<$ENDEACH ATTACHMENT$>"),
              "2.0 a b.png image/png 2;3.0 &lt;x&gt;.pdf application/pdf 0;");
    EXPECT_EQ(page->Render("<$FOREACH ATTACHMENT$><$ATTACHLINK$>\n<$ATTACHIMAGE$><$ENDEACH ATTACHMENT$>"),
              "/qm/a%20b.png?Session=ABCDEFG&View=Attachment&Part=2.0&Filename=a%20b.png\n"
              "<A HREF=\"/qm/a%20b.png?Session=ABCDEFG&View=Attachment&Filename=a%20b.png\"><IMG BORDER=0 SRC=\""
              "/qm/a%20b.png?Session=ABCDEFG&View=Attachment&Filename=a%20b.png\"></A><BR>\r\n"
              "/qm/%3Cx%3E.pdf?Session=ABCDEFG&View=Attachment&Part=3.0&Filename=%3Cx%3E.pdf\n");

    SetUser("ListAllAttach", "Yes");
    EXPECT_EQ(page->Render("<$FOREACH ATTACHMENT$><$ATTACHNUM$><$ATTACHINLINE$>;<$ENDEACH ATTACHMENT$>"),
              "1.0(inline);2.0;3.0;");
    m.SetFlags(store::MessageFlag::Stored);
    EXPECT_EQ(page->Render("<$FOREACH ATTACHMENT$>x<$ENDEACH ATTACHMENT$>"), "");
}

TEST_F(TemplateMailTest, RendersTheBodySafely)
{
    LoadUser();
    store::MessageIndexEntry& m = AddMessage(4);
    m_session.Current = &m;
    WriteFile(m.GetMessagePath(), "Subject: x\r\n\r\nHello <b>there</b>\r\n");
    auto page = SessionPage(kViewMessage);
    EXPECT_EQ(page->Render("<$BODY$>"), "<CENTER><STRONG>Not stored here</STRONG></CENTER><BR>");
    m.SetFlags(store::MessageFlag::Stored);
    const std::string body = page->Render("<$BODY$>");
    EXPECT_NE(body.find("Hello &lt;b&gt;there&lt;/b&gt;"), std::string::npos) << body;
    EXPECT_EQ(body.find("<b>"), std::string::npos) << body;

    // The body reaches the page in the page's character set, from the one it declares, or read as Windows-1252.
    struct Case {
        const char* Header;
        const char* Lang;
        const char* Want;
    };

    const Case cases[] = {
            {"Content-Type: text/plain; charset=iso-8859-1", "de", "Caf\xc3\xa9"},
            {"Content-Type: text/plain; charset=\"ISO-8859-1\"", "en", "Caf\xe9"},
            {"Subject: none declared", "de", "Caf\xc3\xa9"},
            {"Content-Type: text/plain; charset=no-such-set", "en", "Caf\xe9"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Header);
        WriteFile(m.GetMessagePath(), std::string(c.Header) + "\r\n\r\nCaf\xe9\r\n");
        auto charsetPage = SessionPage(kViewMessage);
        charsetPage->Lang = c.Lang;
        const std::string shown = charsetPage->Render("<$BODY$>");
        EXPECT_NE(shown.find(c.Want), std::string::npos) << shown;
    }
    WriteFile(m.GetMessagePath(), "Content-Type: text/plain; charset=utf-8\r\n\r\nCaf\xc3\xa9\r\n");
    EXPECT_NE(page->Render("<$BODY$>").find("Caf\xe9"), std::string::npos) << "UTF-8 on a Latin-1 page";

    // On the compose page the text goes inside a TEXTAREA, which it must not be able to close.
    WriteFile(TempDir() + "/.body.txt", "Hi</textarea><script>x</script>\r\n");
    auto compose = SessionPage(kViewCompose);
    EXPECT_EQ(compose->Render("<textarea><$BODY$></textarea>"),
              "<textarea>Hi&lt;/textarea&gt;&lt;script&gt;x&lt;/script&gt;\r\n</textarea>");
}

TEST_F(TemplateMailTest, WritesTheComposeValuesFromTheRequest)
{
    WriteFile(UserIni(), "[MailHost1]\r\nMailbox=one\r\nEMail=a@d.com\r\n[MailHost2]\r\nMailbox=two\r\n"
                         "FullName=Al \"B\"\r\nEMail=b@d.com\r\nDefault=Yes\r\n");
    WriteFile(UserDir() + "/one.sig", "Line \"1\" \\ </script>\r\nLine 2\r\n");
    WriteFile(TempDir() + "/report.pdf", "x");
    WriteFile(TempDir() + "/.state", "x");
    LoadUser();
    auto page = SessionPage(kViewCompose);
    page->Field("TO", "a@b.c\" onx=\"1");
    page->Field("CONFIRMREAD", "on");
    page->Field("COMPOSEURGENT", "");
    EXPECT_EQ(page->Render("<$TO$>|<$CONFIRMREAD$>|<$COMPOSEURGENT$>|<$ATTACHMENTCOUNT$>|<$MAILBOX$>"),
              "a@b.c&quot; onx=&quot;1|1||(1 file)|1");
    EXPECT_EQ(page->Render("<$ATTACHMENTLIST$>"), "<OPTION>report.pdf</OPTION>\r\n");
    EXPECT_EQ(page->Render("<$FROMSELECT$>"),
              "<OPTION VALUE=\"0\">&lt;a@d.com&gt;</OPTION>\r\n"
              "<OPTION SELECTED VALUE=\"1\">&quot;Al &quot;B&quot;&quot; &lt;b@d.com&gt;</OPTION>\r\n");
    EXPECT_EQ(page->Render("var s = [<$SIGARRAY$>];"),
              "var s = [\"Line \\\"1\\\" \\\\ \\x3C/script\\x3E\\r\\nLine 2\\r\\n\", \"\"];");
    page->Field("Mailbox", "ONE");
    EXPECT_EQ(page->Render("<$MAILBOX$>"), "0");
    // Off the compose views the header values are the message's, and BCC is empty.
    page->ViewId = kViewMessage;
    page->Field("BCC", "secret@x");
    EXPECT_EQ(page->Render("[<$BCC$><$TO$>]"), "[]");
}

TEST_F(TemplateMailTest, LooksUpAddressesWithoutLettingThemActAsTemplateText)
{
    WriteFile(UserDir() + "/AddrBook.txt", "ZED ALPHA\tz@x.com\tboss\r\n"
                                           "<script>alert(1)</script>\tevil@x.com\t<$USER$>\r\n"
                                           "Bob\tbob@zed.org\t\r\n"
                                           "Carol\tc@y.com\t\r\n");
    LoadUser();

    struct Case {
        const char* Search;
        const char* Want;
    };

    const Case cases[] = {
            {"zed", "ZED ALPHA<z@x.com>(boss);Bob<bob@zed.org>();"},
            {"SCRIPT", "&lt;script&gt;alert(1)&lt;/script&gt;<evil@x.com>(&lt;$USER$&gt;);"},
            {"nobody", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Search);
        auto page = SessionPage(kViewCompose);
        page->Field("Search", c.Search);
        EXPECT_EQ(page->Render("<$FOREACH ADDRLOOKUP$><$NAME$><<$EMAIL$>>(<$COMMENT$>);<$ENDEACH ADDRLOOKUP$>"),
                  c.Want);
    }
    // A Latin-1 name of the book on a UTF-8 page.
    WriteFile(UserDir() + "/AddrBook.txt", "Ren\xe9\tr@x.com\t\r\n");
    LoadUser();
    auto utf8 = SessionPage(kViewCompose);
    utf8->Lang = "de";
    EXPECT_EQ(utf8->Render("<$FOREACH ADDRLOOKUP$><$NAME$><$ENDEACH ADDRLOOKUP$>"), "Ren\xc3\xa9");
    WriteFile(UserDir() + "/AddrBook.txt", "ZED ALPHA\tz@x.com\tboss\r\n"
                                           "<script>alert(1)</script>\tevil@x.com\t<$USER$>\r\n"
                                           "Bob\tbob@zed.org\t\r\n"
                                           "Carol\tc@y.com\t\r\n");
    LoadUser();

    auto all = SessionPage(kViewCompose);
    all->Field("SortOrder", "RevName");
    EXPECT_EQ(all->Render("<$FOREACH ADDRLOOKUP$><$NAME$>;<$ENDEACH ADDRLOOKUP$>"),
              "ZED ALPHA;Carol;Bob;&lt;script&gt;alert(1)&lt;/script&gt;;");
    EXPECT_EQ(platform::IniRead(UserIni(), "User", "AddrBookSortOrder"), "RevName");

    // The address book list itself: sorted by the user's order, the list index restored after.
    auto book = SessionPage(kViewOptionsAddrBook);
    EXPECT_EQ(book->Render("<$FOREACH ADDRBOOK$><$ADDRNUM$>:<$ADDRNAME$>;<$ENDEACH ADDRBOOK$>[<$ADDRNUM$>]"),
              "1:ZED ALPHA;2:Carol;3:Bob;4:&lt;script&gt;alert(1)&lt;/script&gt;;[1]");
}

TEST_F(TemplateMailTest, ListsTheMailAccounts)
{
    WriteFile(UserIni(), "[MailHost1]\r\nMailbox=main\r\nHost=pop.d.com\r\nPort=110\r\nDefault=Yes\r\n"
                         "Color=Style1\r\n"
                         "[MailHost2]\r\nMailbox=a&b\r\nHost=h\r\nPort=995\r\nActive=No\r\nColor=\"><i>\r\n"
                         "Delete=2\r\n");
    m_fixture.WriteDomains("[d.com:Settings]\r\nSyncSystemMailbox=Yes\r\nMailHost=mail.d.com\r\nPopPort=111\r\n");
    LoadUser();
    auto page = SessionPage(kViewOptionsHosts);
    EXPECT_EQ(page->Render("<$FOREACH MAILBOX$><$MAILNUM$>:<$MAILBOX$>,<$MAILBOX,URL$>,<$MAILHOST$>,<$MAILPORT$>,"
                           "<$MAILACTIVE$><$MAILDEFAULT$><$MAILDELETE$>,<$MAILCOLOR$>"
                           "<$IF MAILBOXREADONLY$>,ro<$ENDIF$>;<$ENDEACH MAILBOX$>"),
              "1:main,main,pop.d.com,110,110,Style1,ro;2:a&amp;b,a%26b,h,995,002,&quot;&gt;&lt;i&gt;;");
    EXPECT_EQ(page->Render("<$COLORLEGEND$>"),
              "<TABLE WIDTH=\"100%\">\r\n<TR><TD WIDTH=\"20%\" ALIGN=\"CENTER\" CLASS=\"Style1\">main</TD>"
              "<TD WIDTH=\"20%\" ALIGN=\"CENTER\" CLASS=\"&quot;&gt;&lt;i&gt;\">a&amp;b</TD></TR>\r\n</TABLE>\r\n");
    // Two fixed items, the folders, then the accounts, numbered through.
    std::string want;
    for (int i = 0; i < 2 + m_session.UserObject->Folders().Count() + 2; ++i) {
        want += std::to_string(i) + ";";
    }
    EXPECT_EQ(page->Render("<$FOREACH LITEMLIST$><$NUMBER$>;<$ENDEACH LITEMLIST$>"), want);
    EXPECT_EQ(page->Render("<$FOREACH LITEMLIST$><$IF CGI:NONE$><$ELSE$><$MAILNUM$><$ENDIF$><$ENDEACH LITEMLIST$>"),
              std::string(static_cast<std::size_t>(2 + m_session.UserObject->Folders().Count()), '1') + "12");
    // After the list the index is back at the first account; with no account there, the domain's defaults.
    EXPECT_EQ(page->Render("<$FOREACH MAILBOX$><$ENDEACH MAILBOX$><$MAILNUM$>,<$MAILHOST$>,<$MAILPORT$>"),
              "1,pop.d.com,110");
    WriteFile(UserIni(), "");
    LoadUser();
    EXPECT_EQ(page->Render("<$MAILNUM$>,<$MAILHOST$>,<$MAILPORT$>,<$MAILACTIVE$>"), "0,mail.d.com,111,1");
}

} // namespace
} // namespace qm::engine

namespace qm::engine {
namespace {

TEST_F(TemplateMailTest, ReadsTheFaxServersCoverPagesPasswordAndAddressBook)
{
    const std::string fax = m_fixture.Path("Fax");
    fs::create_directories(fax + "/Covers");
    WriteFile(fax + "/Telvane.ini", "[Security]\r\nRequirePassword=Yes\r\n[Directories]\r\nCoverPages=covers\r\n"
                                    "[Files]\r\nAddressBook=Book\\fax.txt\r\n");
    WriteFile(fax + "/Covers/Standard.Cover.cpe", "");
    WriteFile(fax + "/Covers/.hidden.cpe", "");
    WriteFile(fax + "/Covers/notes.txt", "");
    fs::create_directories(fax + "/Book");
    WriteFile(fax + "/Book/fax.txt", "Fax <Desk>\tfax@x.com\t\r\n");
    WriteFile(UserDir() + "/AddrBook.txt", "Own\town@x.com\t\r\n");
    LoadUser();
    const std::string tpl = "<$IF TELVANEPASSWORD$>p<$ENDIF$>"
                            "<$FOREACH TELVANECOVERPAGE$>[<$FILENAME$>|<$NAME$>]<$ENDEACH TELVANECOVERPAGE$>";
    auto page = SessionPage(kViewCompose);
    m_fixture.WriteIni("[Telvane]\r\nAppPath=" + fax + "\r\n");
    EXPECT_EQ(page->Render(tpl), "") << "the fax server is off by default";
    m_fixture.WriteIni("[Telvane]\r\nUseTelvane=Yes\r\nAppPath=" + fax + "\r\n");
    EXPECT_EQ(page->Render(tpl), "p[Standard.Cover.cpe|Standard.Cover]");

    // The directories of AddrLookup.ini (in the base directory) by their descriptions.
    WriteFile(m_fixture.Path("AddrLookup.ini"), "[Corp]\r\nDescr=Corporate <staff>\r\nHost=ldap.x\r\n[Plain]\r\n");
    m_fixture.WriteIni("[Directories]\r\nBaseDir=" + m_fixture.Path("") +
                       "\r\n[Telvane]\r\nUseTelvane=Yes\r\n"
                       "AppPath=" +
                       fax + "\r\n");
    EXPECT_EQ(page->Render("<$FOREACH ADDRLOOKUPSELECT$><$NAME$>;<$ENDEACH ADDRLOOKUPSELECT$>"),
              "Corporate &lt;staff&gt;;Plain;");

    struct Case {
        const char* Select;
        const char* Want;
    };

    const Case cases[] = {
            {"FaxAddrBook", "Fax &lt;Desk&gt;;"},
            {"FullAddrBook", "Fax &lt;Desk&gt;;Own;"},
            {"AddrBook", "Own;"},
            {"Some Directory", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Select);
        auto lookup = SessionPage(kViewCompose);
        lookup->Field("AddrLookupSelect", c.Select);
        lookup->Field("SortOrder", "Name");
        EXPECT_EQ(lookup->Render("<$FOREACH ADDRLOOKUP$><$NAME$>;<$ENDEACH ADDRLOOKUP$>"), c.Want);
    }
}

} // namespace
} // namespace qm::engine

namespace qm::engine {
namespace {

TEST_F(TemplateMailTest, HandsTheSessionToTheCompanionsWebConfiguration)
{
    const fs::path corvid = m_fixture.Path("Corvid");
    fs::create_directories(corvid / "App");
    fs::create_directories(corvid / "Tessera");
    WriteFile((corvid / "Tessera" / "Tessera.ini").string(), "[WebServer]\r\nPort=3005\r\nCgiBase1=/t.cgi\r\n");
    WriteFile((corvid / "Tessera" / "Sessions.ini").string(), "[ABCDEFG]\r\nEMail=old\r\nStale=1\r\n");
    m_fixture.WriteIni("[Directories]\r\nCorvidAppDir=" + (corvid / "App").string() + "\r\n");
    LoadUser();
    auto page = SessionPage(kViewOptions, {"SERVER_NAME=mail.d.com"});
    EXPECT_EQ(page->Render("[<$TESSERAURL$>]"), "[]") << "nothing without the companion library";

    fs::copy_file(QM_CVUSER_LIBRARY, corvid / "App" / "CVUser.so");
    ASSERT_TRUE(
            store::LoadCVUser((corvid / "App" / "CVUser.so").c_str(), store::CvReload::Yes, store::CvMissing::Allow));
    m_session.Name = "ann@corp.org";
    EXPECT_EQ(page->Render("<$TESSERAURL$>"), "http://mail.d.com:3005/t.cgi?Session=ABCDEFG&View=EditUser");
    const std::string sessions = (corvid / "Tessera" / "Sessions.ini").string();
    EXPECT_EQ(platform::IniRead(sessions, "ABCDEFG", "EMail"), "ann@corp.org");
    EXPECT_EQ(platform::IniRead(sessions, "ABCDEFG", "Stale"), std::nullopt);
    EXPECT_TRUE(platform::IniRead(sessions, "ABCDEFG", "LastAccess").has_value());
    store::UnloadCVUser();
}

} // namespace
} // namespace qm::engine

namespace qm::engine {
namespace {

TEST(LdapSearchFilterTest, PutsTheSearchTextIntoThePatternAsAValue)
{
    struct Case {
        const char* Pattern;
        const char* Search;
        const char* Want;
    };

    const Case cases[] = {
            {"(cn=*NAME*)", "", "(cn=*)"},
            {"(cn=*NAME*)", "ann", "(cn=*ann*)"},
            {"(|(cn=NAME*)(mail=NAME*))", "bo", "(|(cn=bo*)(mail=bo*))"},
            {"(cn=*NAME*)", "*)(uid=*", "(cn=*\\2a\\29\\28uid=\\2a*)"},
            {"(cn=*NAME*)", "a\\b", "(cn=*a\\5cb*)"},
            {"(cn=*NAME*)", nullptr, nullptr},
    };
    for (const Case& c : cases) {
        const std::string search = c.Search != nullptr ? c.Search : std::string(70, 'x'); // null: a long one
        SCOPED_TRACE(search);
        const std::string filter = LdapSearchFilter(c.Pattern, search);
        if (c.Want != nullptr) {
            EXPECT_EQ(filter, c.Want);
        } else {
            EXPECT_EQ(filter, "(cn=*" + std::string(58, 'x'));
        }
    }
}

std::string ReadAll(const std::string& path)
{
    auto text = platform::ReadWholeFile(path);
    return text ? *text : std::string();
}

// A directory server of the distribution (slapd with its built-in LDIF back end) on a loopback port of its own.
class LdapLookupTest : public TemplateMailTest {
protected:
    void SetUp() override
    {
        TemplateMailTest::SetUp();
        // The library stays mapped once loaded, so the process-wide state it allocates once stays reachable and is
        // not reported as leaked at exit.
        if (!fs::exists("/usr/sbin/slapd") || !fs::exists("/usr/sbin/slapadd") || !LoadLdapLibrary()) {
            GTEST_SKIP() << "no directory server or LDAP library here";
        }
        const std::string dir = m_fixture.Path("ldap");
        fs::create_directories(dir + "/data");
        const std::string conf = dir + "/slapd.conf";
        WriteFile(conf, "include /etc/ldap/schema/core.schema\ninclude /etc/ldap/schema/cosine.schema\n"
                        "include /etc/ldap/schema/inetorgperson.schema\npidfile " +
                                dir +
                                "/slapd.pid\n"
                                "database ldif\ndirectory " +
                                dir +
                                "/data\nsuffix \"dc=example,dc=com\"\n"
                                "rootdn \"cn=admin,dc=example,dc=com\"\n");
        WriteFile(dir + "/data.ldif",
                  "dn: dc=example,dc=com\nobjectClass: dcObject\nobjectClass: organization\no: Example\ndc: example\n\n"
                  "dn: uid=zed,dc=example,dc=com\nobjectClass: inetOrgPerson\nuid: zed\ncn: ZED ALPHA\nsn: Alpha\n"
                  "mail: zed@example.com\n\n"
                  "dn: uid=eve,dc=example,dc=com\nobjectClass: inetOrgPerson\nuid: eve\n"
                  "cn: <script>Eve</script> <$USER$>\nsn: Eve\nmail: eve@example.com\n");
        ChildOptions add;
        add.Argv = {"/usr/sbin/slapadd", "-f", conf, "-l", dir + "/data.ldif"};
        add.Stderr = ChildStdio::File(dir + "/slapadd.err");
        Result<ChildStatus> added = ChildProcess::Run(add, 30000);
        ASSERT_TRUE(added && added->ExitedWith(0)) << ReadAll(dir + "/slapadd.err");
        m_port = qm::test::LoopbackListener().Port();
        ChildOptions serve;
        serve.Argv = {
                "/usr/sbin/slapd", "-f", conf, "-h", "ldap://127.0.0.1:" + std::to_string(m_port) + "/", "-d", "0"};
        serve.Stderr = ChildStdio::File(dir + "/slapd.err");
        serve.Group = ProcessGroup::NewGroup;
        Result<ChildProcess> child = ChildProcess::Start(serve);
        ASSERT_TRUE(child) << child.error().Message;
        m_server.emplace(std::move(*child));
        ASSERT_TRUE(qm::test::WaitUntil([this] { return Listens(); })) << ReadAll(dir + "/slapd.err");
        m_fixture.WriteIni("[Directories]\r\nBaseDir=" + m_fixture.Path("") + "\r\n");
    }

    void TearDown() override
    {
        if (m_server) {
            (void)m_server->Kill();
        }
        UnloadLdapLibrary();
    }

    bool Listens() const
    {
        qm::test::ScopedFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<std::uint16_t>(m_port));
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return ::connect(fd.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    }

    int m_port = 0;
    std::optional<ChildProcess> m_server;
};

TEST_F(LdapLookupTest, ListsTheDirectorysEntriesEscaped)
{
    // A loopback port that nothing listens on.
    const std::string downHost = "127.0.0.1:" + std::to_string(qm::test::LoopbackListener().Port());
    WriteFile(m_fixture.Path("AddrLookup.ini"), "[Corp]\r\nDescr=Staff\r\nHost=127.0.0.1:" + std::to_string(m_port) +
                                                        "\r\nBase=dc=example,dc=com\r\n"
                                                        "[Down]\r\nHost=" +
                                                        downHost + "\r\n");
    LoadUser();

    struct Case {
        const char* Select;
        const char* Search;
        const char* Want;
    };

    const Case cases[] = {
            {"staff", "alpha", "ZED ALPHA<zed@example.com>;"},
            {"Staff", "SCRIPT", "&lt;script&gt;Eve&lt;/script&gt; &lt;$USER$&gt;<eve@example.com>;"},
            {"Staff", "*)(uid=*", ""},
            {"Nowhere", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Search);
        auto page = SessionPage(kViewCompose);
        page->Field("AddrLookupSelect", c.Select);
        page->Field("Search", c.Search);
        EXPECT_EQ(page->Render("<$FOREACH ADDRLOOKUP$><$NAME$><<$EMAIL$>>;<$ENDEACH ADDRLOOKUP$>"), c.Want);
    }
    auto all = SessionPage(kViewCompose);
    all->Field("AddrLookupSelect", "Staff");
    EXPECT_EQ(all->Render("<$FOREACH ADDRLOOKUP$>x<$ENDEACH ADDRLOOKUP$>"), "xx");

    test::ScopedLogLevel level(3);
    auto down = SessionPage(kViewCompose);
    down->Field("AddrLookupSelect", "Down");
    EXPECT_EQ(down->Render("<$FOREACH ADDRLOOKUP$>x<$ENDEACH ADDRLOOKUP$>"), "");
    // The client library connects at the bind: a server that is not there is one that cannot be reached.
    EXPECT_EQ(down->Logged.Count("LDAP could not connect to " + downHost + "."), 1)
            << testing::PrintToString(down->Logged.Lines);
    const std::unique_ptr<char[]> shown = m_session.Error.Take();
    ASSERT_NE(shown, nullptr) << "the failure is shown to the user";
    EXPECT_STREQ(shown.get(), "Unreachable.");
}

} // namespace
} // namespace qm::engine

namespace qm::engine {
namespace {

TEST_F(TemplateMailTest, CountsTheMessagesOfTheFoldersAndFormatsDates)
{
    LoadUser();
    AddMessage(1).SetFlags(store::MessageFlag::Read);
    AddMessage(2);
    AddMessage(3, "Trash");
    AddMessage(4, "Sent").SetFlags(store::MessageFlag::Read);
    store::FolderList& folders = m_session.UserObject->Folders();
    auto page = SessionPage(kViewList, {"SCRIPT_NAME=/qm"});
    // Nothing selected yet (the first List page after a logon): the inbox is shown, so it is not an "other" folder.
    folders.SetSelectedIndex(-1);
    EXPECT_EQ(page->Render("<$MSGCOUNT$>/<$UNREADCOUNT$>|<$ALLUNREADCOUNTS$>"),
              "2/1|<A HREF=\"/qm?Session=ABCDEFG&View=List&Folder=Trash\">Trash:1</A>");
    ASSERT_GE(folders.Select("Inbox"), 0);
    EXPECT_EQ(page->Render("<$MSGCOUNT$>/<$UNREADCOUNT$>|<$ALLUNREADCOUNTS$>"),
              "2/1|<A HREF=\"/qm?Session=ABCDEFG&View=List&Folder=Trash\">Trash:1</A>");
    ASSERT_GE(folders.Select("Sent"), 0);
    EXPECT_EQ(page->Render("<$MSGCOUNT$>/<$UNREADCOUNT$>|<$ALLUNREADCOUNTS$>"),
              "1/0|<A HREF=\"/qm?Session=ABCDEFG&View=List&Folder=Inbox\">Inbox:1</A>, "
              "<A HREF=\"/qm?Session=ABCDEFG&View=List&Folder=Trash\">Trash:1</A>");

    // The List page and the other pages have date formats of their own (the date is in November 2023 everywhere).
    m_fixture.WriteIni("[General]\r\nListDateFormat=L%Y\r\nMessageDateFormat=M%Y <%m>\r\n");
    m_session.Current = Index().Entry(0);
    EXPECT_EQ(page->Render("<$DATE$>"), "L2023");
    EXPECT_EQ(SessionPage(kViewMessage)->Render("<$DATE$>"), "M2023 &lt;11&gt;");
}

// While Quillmail.ini keeps the default (US) forms, a page shows dates in the form its language gives; an
// administrator's own form holds for every language.
TEST_F(TemplateMailTest, DatesTakeTheFormOfThePageLanguageUnlessTheAdministratorSetOne)
{
    WriteFile(m_fixture.TemplateDir() + "/Languages.ini",
              std::string(kLanguages) + "500=%d.%m. %H:%M\r\n501=%d.%m.%Y %H:%M:%S\r\n[fr]\r\n001=Francais\r\n");
    m_cache = m_fixture.MakeCache(true);
    LoadUser();
    m_session.Current = &AddMessage(1);
    const auto when = static_cast<time_t>(m_session.Current->Date());

    struct tm local {};

    ASSERT_NE(localtime_r(&when, &local), nullptr);
    const auto shown = [&](const char* format) {
        std::ostringstream text;
        text << std::put_time(&local, format);
        return text.str();
    };

    struct Case {
        const char* Ini;
        const char* Lang;
        int View;
        std::string Want;
    };

    const Case cases[] = {
            {"", "de", kViewList, shown("%d.%m. %H:%M")},
            {"", "de", kViewMessage, shown("%d.%m.%Y %H:%M:%S")},
            {"", "en", kViewList, shown("%m/%d %H:%M")},
            {"", "en", kViewMessage, shown("%x %X")},
            // A language with no forms of its own: the English ones, which are none here, so the defaults.
            {"", "fr", kViewList, shown("%m/%d %H:%M")},
            {"[General]\r\nListDateFormat=%m/%d %H:%M\r\nMessageDateFormat=%x %X\r\n", "de", kViewList,
             shown("%d.%m. %H:%M")},
            {"[General]\r\nListDateFormat=%Y-%m-%d\r\n", "de", kViewList, shown("%Y-%m-%d")},
            {"[General]\r\nMessageDateFormat=%Y-%m-%d %H:%M\r\n", "de", kViewMessage, shown("%Y-%m-%d %H:%M")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.Lang) + " " + c.Ini);
        m_fixture.WriteIni(c.Ini);
        auto page = SessionPage(c.View);
        page->Lang = c.Lang;
        EXPECT_EQ(page->Render("<$DATE$>"), c.Want);
    }
}

} // namespace
} // namespace qm::engine
