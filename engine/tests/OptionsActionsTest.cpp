// The actions of the Preferences, Folders and Address book pages through whole requests: passwords (refused,
// mismatched, set here, at the companion server and in the system mail account), the language change that reloads
// the frame set, the user settings a form may and may not change, the word list, folders created, renamed and
// deleted with their messages and filters, the address book rebuilt from the form, and Cancel.
#include "engine/OptionsActions.h"

#include "common/IniAccess.h"
#include "common/IniCache.h"
#include "common/Scrambler.h"
#include "engine/DomainSettings.h"
#include "engine/Request.h"
#include "engine/SessionManager.h"
#include "engine/TemplateCache.h"
#include "engine/UserLogonLocks.h"
#include "engine/tests/RequestTestSupport.h"
#include "engine/tests/SessionTestSupport.h"
#include "store/AddressBook.h"
#include "store/CvUserBinding.h"
#include "store/FilterList.h"
#include "store/FolderList.h"
#include "store/MailHostList.h"
#include "store/MessageBuilder.h"
#include "store/MessageIndex.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace qm::engine {
namespace {

using store::MessageIndex;
using store::MessageIndexEntry;
using test::ReadFile;
using test::SessionHarness;
using test::WriteFile;
namespace fs = std::filesystem;

constexpr const char* kLanguages =
        "[en]\r\n001=English\r\n002=Inbox\r\n003=Drafts\r\n004=Sent\r\n005=Trash\r\n015=Bad logon.\r\n"
        "031=Exists.\r\n035=Differ.\r\n052=Not created.\r\n056=No template.\r\n094=Saved.\r\n095=Refused: %s\r\n"
        "096=Too long.\r\n097=Marker.\r\n098=Bad name %s\r\n099=Failed.\r\n"
        "[de]\r\n001=Deutsch\r\n";

using Response = test::RequestResponse;

class OptionsActionsTest : public ::testing::Test {
public:
    OptionsActionsTest()
    {
        const fs::path templates = m_harness.Settings().Dir() / "Templates";
        for (const char* theme : {"Globe", "Plain"}) {
            fs::create_directories(templates / theme);
            WriteFile(templates / theme / "Logon.html", "LOGON");
            WriteFile(templates / theme / "Main.html", std::string(theme) + "MAIN[<$FRAMEVIEW$>]");
        }
        WriteFile(templates / "Languages.ini", kLanguages);
        WriteFile(templates / "Globe" / "Error.html", "ERROR");
        WriteFile(templates / "Globe" / "List.html", "LIST");
        WriteFile(templates / "Globe" / "Options.html", "OPTIONS");
        for (const char* page : {"Options-Prefs", "Options-Folders", "Options-AddrBook"}) {
            WriteFile(templates / "Globe" / (std::string(page) + ".html"),
                      std::string(page) + "[<$STATUSMESG$>][<$ERRORMESG$>]");
        }
        m_cache = std::make_unique<TemplateCache>(templates.string(), true, nullptr);
        fs::create_directories(m_harness.Settings().UserDir("alice"));
        WriteFile(UserIni(), "[User]\r\nPassword=" + ScramblePassword("pw") + "\r\nDiskSpaceQuota=1000\r\n");
        WriteFile(m_harness.Settings().Dir() / "Domains.Ini",
                  "[Default:UserDefaults]\r\nLang=en\r\nTheme=Globe\r\nComposeWidth=74\r\nDiskSpaceQuota=0\r\n");
    }

    ~OptionsActionsTest() override
    {
        if (m_session != nullptr) {
            m_session->Unbusy();
        }
    }

    OptionsActionsTest(const OptionsActionsTest&) = delete;
    OptionsActionsTest& operator=(const OptionsActionsTest&) = delete;

protected:
    // Logs alice on and opens the Options menu and then the page, so that the page's previous view is Options.
    void LogOnTo(const std::string& page)
    {
        const Response response = Send("View=Main&User=alice&Password=pw");
        ASSERT_EQ(response.Page(), "GlobeMAIN[List]") << response.Text;
        m_session = m_harness.Manager().FindByUser("alice");
        ASSERT_NE(m_session, nullptr);
        m_cookies = "Session=" + m_session->CookieSecret() + "; Lang=en; Theme=Globe";
        ASSERT_EQ(View("Options").Page(), "OPTIONS");
        ASSERT_EQ(View(page).Page(), page + "[][]");
    }

    Response Send(const std::string& query)
    {
        RequestServices services = test::HarnessServices(m_harness, m_cache.get());
        services.LogonLocks = &m_logonLocks;
        return test::RunRequest(test::GetRequestEnvironment(query, m_cookies), std::move(services),
                                (m_harness.Settings().Dir() / "response").string());
    }

    Response View(const std::string& view, const std::string& rest = "")
    {
        return Send("View=" + view + "&Session=" + std::string(m_session->Id()) + rest);
    }

    fs::path UserDir() const { return m_harness.Settings().UserDir("alice"); }

    std::string UserIni() const { return (UserDir() / "User.ini").string(); }

    // A key of alice's [User] as the file holds it now; "<missing>" when it is not there.
    std::string Stored(const char* key) const
    {
        return LoadIniCurrent(UserIni())->Get("User", key).value_or("<missing>");
    }

    std::string StoredPassword() const { return ReadIniPassword("User", "Password", UserIni()); }

    UserRecord& User() { return m_session->User(); }

    MessageIndexEntry* Store(const std::string& folder, const std::string& subject)
    {
        store::MessageBuilder builder(User().Messages(), folder);
        EXPECT_TRUE(builder.Begin(1000, true));
        for (const std::string& line : std::vector<std::string>{"From: a@x.org", "To: me@x.org", "Subject: " + subject,
                                                                "", "Text of " + subject + "."}) {
            builder.AddLine(line);
        }
        MessageIndexEntry* entry = builder.Finish();
        EXPECT_NE(entry, nullptr);
        return entry;
    }

    // The folders of the messages with that subject.
    std::vector<std::string> FoldersOf(const std::string& subject)
    {
        std::vector<std::string> folders;
        MessageIndex& index = User().Messages();
        for (int i = 0; i < index.Count(); ++i) {
            if (index.Entry(i)->Subject() == subject) {
                folders.push_back(index.Entry(i)->Folder());
            }
        }
        return folders;
    }

    std::vector<std::string> RuleFolders()
    {
        std::vector<std::string> folders;
        for (int i = 0; i < User().Filters().Count(); ++i) {
            folders.push_back(User().Filters().Item(i).Folder);
        }
        return folders;
    }

    std::vector<std::string> BookLines()
    {
        std::vector<std::string> lines;
        store::AddressBook book(UserDir().c_str(), store::AddressBook::PathKind::Directory);
        for (int i = 0; i < book.Count(); ++i) {
            lines.push_back(book.Item(i).Name + "|" + book.Item(i).EMail + "|" + book.Item(i).Comment);
        }
        return lines;
    }

    SessionHarness m_harness{"[General]\r\nLogLevel=1\r\n"};
    std::unique_ptr<TemplateCache> m_cache;
    UserLogonLocks m_logonLocks;
    Session* m_session = nullptr;
    std::string m_cookies = "Lang=en; Theme=Globe";
};

TEST(JoinFolderPathTest, JoinsWithOneSlashAndNoTrailingSlash)
{
    struct Case {
        const char* Parent;
        const char* Name;
        const char* Want;
    };

    for (const Case& c : {Case{"a\\b", "c//d/", "a/b/c/d"}, Case{"", "Work", "Work"}, Case{"Inbox", "Sub", "Inbox/Sub"},
                          Case{"Inbox/", "/Sub", "Inbox/Sub"}, Case{"", "a\\\\b\\", "a/b"}, Case{"", "", ""},
                          Case{"Inbox", "", "Inbox"}, Case{"", "///", ""}}) {
        SCOPED_TRACE(std::string(c.Parent) + " + " + c.Name);
        EXPECT_EQ(JoinFolderPath(c.Parent, c.Name), c.Want);
    }
}

TEST(DictionaryWordsTest, CutsAtBreaksBlanksCommasAndSemicolons)
{
    EXPECT_EQ(DictionaryWords("one two,three;four\r\nfive\n\tsix ,; "),
              (std::vector<std::string>{"one", "two", "three", "four", "five", "six"}));
    EXPECT_TRUE(DictionaryWords(" ,;\r\n").empty());
}

TEST(UserPreferenceKeyTest, OnlyPreferencesOtherThanTheQuotas)
{
    EXPECT_STREQ(UserPreferenceKey("composewidth"), "ComposeWidth");
    EXPECT_STREQ(UserPreferenceKey("Lang"), "Lang");
    for (const char* key : {"DiskSpaceQuota", "MessageCountQuota", "Active", "Password", "SendWelcome", "PopHost",
                            "Lang=x", "[User]", "Lang\r\n", ""}) {
        SCOPED_TRACE(key);
        EXPECT_EQ(UserPreferenceKey(key), nullptr);
    }
}

TEST_F(OptionsActionsTest, MismatchedPasswordsStoreNothingAndSetTheErrorFrame)
{
    LogOnTo("Options-Prefs");
    const Response page = View("Options-Prefs", "&Pass=new1&ConfirmPass=new2&USER:ComposeWidth=90&Save=Yes");
    EXPECT_EQ(page.Page(), "Options-Prefs[Differ.][]");
    EXPECT_EQ(m_session->FrameView(), kViewError);
    EXPECT_EQ(StoredPassword(), "pw");
    EXPECT_EQ(Stored("ComposeWidth"), "<missing>");
}

// The pages show a refusal unlike a confirmation: "!" marks the status messages that are refusals.
TEST_F(OptionsActionsTest, RefusalsAreMarkedAsErrorsAndConfirmationsAreNot)
{
    LogOnTo("Options-Prefs");
    const fs::path templates = m_harness.Settings().Dir() / "Templates";
    WriteFile(templates / "Globe" / "Options-Prefs.html", "PREFS<$IF STATUSERROR$>!<$ENDIF$>[<$STATUSMESG$>]");
    m_cache = std::make_unique<TemplateCache>(templates.string(), true, nullptr);

    struct Case {
        const char* Fields;
        const char* Want;
    };

    const Case cases[] = {
            {"&USER:ComposeWidth=80&Save=Yes", "PREFS[Saved.]"},
            {"&Pass=new1&ConfirmPass=new2&Save=Yes", "PREFS![Differ.]"},
            {"&Pass=*ldap&ConfirmPass=*ldap&Save=Yes", "PREFS![Marker.]"},
            {"&USER:DiskSpaceQuota=9&Save=Yes", "PREFS![Refused: USER:DiskSpaceQuota]"},
            {"&Save=Yes", "PREFS[Saved.]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Fields);
        EXPECT_EQ(View("Options-Prefs", c.Fields).Page(), c.Want);
    }
}

TEST_F(OptionsActionsTest, RefusedPasswordsSayWhyAndStoreNothing)
{
    struct Case {
        std::string Pass;
        const char* Want;
    };

    LogOnTo("Options-Prefs");
    for (const Case& c :
         {Case{std::string(32, 'p'), "Too long."}, Case{"%5Cdomain", "Marker."}, Case{"*ldap", "Marker."}}) {
        SCOPED_TRACE(c.Pass);
        const Response page =
                View("Options-Prefs", "&Pass=" + c.Pass + "&ConfirmPass=" + c.Pass + "&USER:ComposeWidth=90&Save=Yes");
        EXPECT_EQ(page.Page(), std::string("Options-Prefs[") + c.Want + "][]");
        EXPECT_EQ(StoredPassword(), "pw");
        EXPECT_EQ(Stored("ComposeWidth"), "<missing>");
    }
    // 31 characters are a password.
    const std::string longest(31, 'p');
    EXPECT_EQ(View("Options-Prefs", "&Pass=" + longest + "&ConfirmPass=" + longest + "&Save=Yes").Page(),
              "Options-Prefs[Saved.][]");
    EXPECT_EQ(StoredPassword(), longest);
}

TEST_F(OptionsActionsTest, PasswordIsSetHereInTheSystemAccountAndAtTheCompanion)
{
    LogOnTo("Options-Prefs");
    ASSERT_TRUE(User().AddSystemAccount("Alice", "alice@corp.org", "\\"));
    ASSERT_TRUE(WriteIniString("Mailboxes", "SyncWithMailServer", "Yes"));
    const fs::path corvid = m_harness.Settings().Dir() / "Corvid";
    fs::create_directories(corvid);
    fs::copy_file(QM_CVUSER_LIBRARY, corvid / "CVUser.so");
    WriteFile(corvid / "Corvid.ini", "[Domains]\r\nDefault=corp.org\r\n");
    WriteFile(corvid / "Users.ini", "[alice@corp.org]\r\nPassword=pw\r\nAliases=alice\r\n");
    ASSERT_TRUE(store::LoadCVUser((corvid / "CVUser.so").c_str(), store::CvReload::Yes, store::CvMissing::Allow));

    struct Unload {
        ~Unload() { store::UnloadCVUser(); }
    } unload;

    EXPECT_EQ(View("Options-Prefs", "&Pass=s3cret&ConfirmPass=s3cret&Save=Yes").Page(), "Options-Prefs[Saved.][]");
    EXPECT_EQ(StoredPassword(), "s3cret");
    EXPECT_NE(ReadFile(corvid / "Users.ini").find("Password=s3cret"), std::string::npos)
            << ReadFile(corvid / "Users.ini");
    store::MailHostList accounts;
    accounts.Load(UserDir().string());
    EXPECT_EQ(accounts.GetSystemAccount().Pass(), "s3cret");
    EXPECT_STREQ(User().OwnPassword(), "s3cret");

    // A user the companion does not know keeps the password: the server would refuse the new one at logon.
    WriteFile(corvid / "Users.ini", "[bob@corp.org]\r\nPassword=pw\r\n");
    EXPECT_EQ(View("Options-Prefs", "&Pass=other&ConfirmPass=other&Save=Yes").Page(), "Options-Prefs[Failed.][]");
    EXPECT_EQ(StoredPassword(), "s3cret");
}

TEST_F(OptionsActionsTest, LanguageChangeReloadsTheFrameSetWithThePageInside)
{
    LogOnTo("Options-Prefs");
    EXPECT_EQ(View("Options-Prefs", "&UserLang=de&Save=Yes").Page(), "GlobeMAIN[Options-Prefs]");
    EXPECT_EQ(Stored("Lang"), "de");
    EXPECT_EQ(User().Folders().Language(), "de");
    // The same language again changes nothing and stays on the page.
    EXPECT_EQ(View("Options-Prefs", "&UserLang=DE&Save=Yes").Page(), "Options-Prefs[Saved.][]");

    // Finished after a reload: the frame goes back to where the page was opened from.
    EXPECT_EQ(View("Options-Prefs", "&UserLang=en&Finished=Yes").Page(), "GlobeMAIN[Options]");
    EXPECT_EQ(Stored("Lang"), "<missing>") << "the default needs no key of its own";
    EXPECT_EQ(View("Options-Prefs", "&UserTheme=Plain&Save=Yes").Page(), "PlainMAIN[Options-Prefs]");
    EXPECT_EQ(Stored("Theme"), "Plain");
}

TEST_F(OptionsActionsTest, FinishedWithoutReloadGoesBackAndSaveStays)
{
    LogOnTo("Options-Prefs");
    EXPECT_EQ(View("Options-Prefs", "&USER:ComposeWidth=90&Save=Yes").Page(), "Options-Prefs[Saved.][]");
    EXPECT_EQ(Stored("ComposeWidth"), "90");
    EXPECT_EQ(View("Options-Prefs", "&USER:ComposeWidth=91&Finished=Yes").Page(), "OPTIONS");
    EXPECT_EQ(Stored("ComposeWidth"), "91");
}

TEST_F(OptionsActionsTest, UserFieldsChangeOnlyPreferences)
{
    LogOnTo("Options-Prefs");
    const Response page = View("Options-Prefs", "&USER:composewidth=90&USER:ComposeHeight=2%0D%0A0"
                                                "&USER:DiskSpaceQuota=0&USER:MessageCountQuota=9&USER:Active=No"
                                                "&USER:Password=x&USER:SendWelcome=Yes&USER:A%3DB=1&Save=Yes");
    EXPECT_EQ(page.Page(), "Options-Prefs[Refused: USER:DiskSpaceQuota, USER:MessageCountQuota, USER:Active, "
                           "USER:Password, USER:SendWelcome, USER:A=B][]");
    EXPECT_EQ(Stored("ComposeWidth"), "90");
    EXPECT_EQ(Stored("ComposeHeight"), "20") << "line breaks are dropped from values";
    EXPECT_EQ(Stored("DiskSpaceQuota"), "1000");
    EXPECT_EQ(Stored("MessageCountQuota"), "<missing>");
    EXPECT_EQ(Stored("Active"), "Yes");
    EXPECT_EQ(StoredPassword(), "pw");
    EXPECT_EQ(Stored("SendWelcome"), "<missing>");
    EXPECT_EQ(Stored("A"), "<missing>");

    // However many fields a forged form holds, the message names the first few.
    std::string many;
    for (int i = 0; i < 50; ++i) {
        many += "&USER:Forged" + std::to_string(i) + "=1";
    }
    EXPECT_EQ(View("Options-Prefs", many + "&Save=Yes").Page(),
              "Options-Prefs[Refused: USER:Forged0, USER:Forged1, USER:Forged2, USER:Forged3, USER:Forged4, "
              "USER:Forged5, USER:Forged6, USER:Forged7, ...][]");
}

TEST_F(OptionsActionsTest, DictionaryIsRewrittenForItsOwnerOnly)
{
    WriteFile(UserDir() / "dictionary.txt", "old\r\n");
    LogOnTo("Options-Prefs");
    EXPECT_EQ(View("Options-Prefs", "&Dictionary=one+two,three;four%0D%0Afive%0A&Save=Yes").Page(),
              "Options-Prefs[Saved.][]");
    EXPECT_EQ(ReadFile(UserDir() / "dictionary.txt"), "one\r\ntwo\r\nthree\r\nfour\r\nfive\r\n");
    EXPECT_FALSE(fs::exists(UserDir() / "Dictionary.txt"));

    fs::remove(UserDir() / "dictionary.txt");
    EXPECT_EQ(View("Options-Prefs", "&Dictionary=word&Save=Yes").Page(), "Options-Prefs[Saved.][]");

    struct stat info {};

    ASSERT_EQ(::stat((UserDir() / "Dictionary.txt").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(ReadFile(UserDir() / "Dictionary.txt"), "word\r\n");
}

TEST_F(OptionsActionsTest, CancelChangesNothingAndGoesBack)
{
    for (const char* view : {"Options-Prefs", "Options-Folders", "Options-AddrBook"}) {
        SCOPED_TRACE(view);
        if (m_session == nullptr) {
            LogOnTo(view);
        } else {
            ASSERT_EQ(View("Options").Page(), "OPTIONS");
            ASSERT_EQ(View(view).Page(), std::string(view) + "[][]");
        }
        EXPECT_EQ(View(view, "&Cancel=Yes&Pass=x&ConfirmPass=x&USER:ComposeWidth=90&UserLang=de&NewFolder=New"
                             "&Create=Yes&AddrEMail:new=a@x.org&Sort=RevName&Save=Yes")
                          .Page(),
                  "OPTIONS");
        EXPECT_EQ(StoredPassword(), "pw");
        EXPECT_EQ(Stored("ComposeWidth"), "<missing>");
        EXPECT_EQ(Stored("Lang"), "<missing>");
        EXPECT_EQ(Stored("AddrBookSortOrder"), "<missing>");
        EXPECT_FALSE(fs::exists(UserDir() / "New"));
        EXPECT_TRUE(BookLines().empty());
    }
}

TEST_F(OptionsActionsTest, FoldersAreCreatedWithCleanNamesOnce)
{
    LogOnTo("Options-Folders");
    EXPECT_EQ(View("Options-Folders", "&NewFolder=Work&Create=Yes").Page(), "Options-Folders[Saved.][]");
    EXPECT_EQ(View("Options-Folders", "&NewFolderParent=Work%5C&NewFolder=%2F%2FProjects%2F&Create=Yes").Page(),
              "Options-Folders[Saved.][]");
    EXPECT_TRUE(fs::is_directory(UserDir() / "Work" / "Projects"));
    EXPECT_NE(User().Folders().Find("Work/Projects"), nullptr);

    EXPECT_EQ(View("Options-Folders", "&NewFolder=inbox&Create=Yes").Page(), "Options-Folders[][Exists.]");
    EXPECT_EQ(View("Options-Folders", "&NewFolder=Bad%2Bname&Create=Yes").Page(), "Options-Folders[][Not created.]");
}

TEST_F(OptionsActionsTest, FolderNamesThatCouldLeaveTheUserDirectoryAreRefused)
{
    LogOnTo("Options-Folders");

    struct Case {
        const char* Query;
        const char* Name;
    };

    for (const Case& c : {Case{"&NewFolder=..%2Fx", "../x"}, Case{"&NewFolderParent=Inbox&NewFolder=..", "Inbox/.."},
                          Case{"&NewFolder=.hidden", ".hidden"},
                          Case{"&NewFolder=a%01b", "a\x01"
                                                   "b"}}) {
        SCOPED_TRACE(c.Name);
        EXPECT_EQ(View("Options-Folders", std::string(c.Query) + "&Create=Yes").Page(),
                  std::string("Options-Folders[][Bad name ") + c.Name + "]");
    }
    EXPECT_FALSE(fs::exists(m_harness.Settings().Dir() / "Users" / "x"));
    EXPECT_FALSE(fs::exists(UserDir() / ".hidden"));
    EXPECT_EQ(View("Options-Folders", "&OldFolder=Inbox&Folder=..%2F..%2Fevil&Rename=Yes").Page(),
              "Options-Folders[][Bad name ../../evil]");
}

TEST_F(OptionsActionsTest, RenameCarriesMessagesAndFilters)
{
    LogOnTo("Options-Folders");
    ASSERT_TRUE(User().Folders().Create("Work"));
    ASSERT_TRUE(User().Folders().Create("Work/Old"));
    Store("Work", "top");
    Store("Work/Old", "below");
    ASSERT_EQ(User().Filters().AddFromText("Y S C \"x\" \"Work/Old\""), store::FilterList::AddResult::Added);
    ASSERT_GE(User().Filters().Save(), 0);

    EXPECT_EQ(View("Options-Folders", "&OldFolder=Work&Folder=Job&Rename=Yes").Page(), "Options-Folders[Saved.][]");
    EXPECT_TRUE(fs::is_directory(UserDir() / "Job" / "Old"));
    EXPECT_FALSE(fs::exists(UserDir() / "Work"));
    EXPECT_EQ(FoldersOf("top"), std::vector<std::string>{"Job"});
    EXPECT_EQ(FoldersOf("below"), std::vector<std::string>{"Job/Old"});
    EXPECT_EQ(RuleFolders(), std::vector<std::string>{"Job/Old"});
    EXPECT_NE(ReadFile(UserIni()).find("Job\\Old"), std::string::npos);

    EXPECT_EQ(View("Options-Folders", "&OldFolder=Job&Folder=Inbox&Rename=Yes").Page(), "Options-Folders[][Exists.]");
}

TEST_F(OptionsActionsTest, AFolderChangeIsSavedOnlyWithTheMessageIndex)
{
    LogOnTo("Options-Folders");
    ASSERT_TRUE(User().Folders().Create("Work"));
    ASSERT_TRUE(User().Folders().Create("Old"));
    Store("Work", "work");
    const std::string old = Store("Old", "old")->GetMessagePath();
    ASSERT_TRUE(User().Messages().Save());
    // The index file cannot be replaced while a directory stands in its place.
    const fs::path indexFile = UserDir() / store::kMessageIndexFile;
    fs::remove(indexFile);
    fs::create_directories(indexFile / "x");

    // A new folder changes no message: the index has nothing to save.
    EXPECT_EQ(View("Options-Folders", "&NewFolder=New&Create=Yes").Page(), "Options-Folders[Saved.][]");
    EXPECT_EQ(View("Options-Folders", "&OldFolder=Work&Folder=Job&Rename=Yes").Page(), "Options-Folders[][Failed.]");
    // The folder stays, and with it the only name of its message that the saved index knows.
    EXPECT_EQ(View("Options-Folders", "&Delete=Old").Page(), "Options-Folders[][Failed.]");
    EXPECT_TRUE(fs::exists(old));
    EXPECT_NE(User().Folders().Find("Old"), nullptr);

    fs::remove_all(indexFile);
    EXPECT_EQ(View("Options-Folders", "&Delete=Old").Page(), "Options-Folders[Saved.][]");
    EXPECT_FALSE(fs::exists(UserDir() / "Old"));
    EXPECT_EQ(FoldersOf("old"), std::vector<std::string>{"Trash"});
    EXPECT_EQ(FoldersOf("work"), std::vector<std::string>{"Job"});
}

TEST_F(OptionsActionsTest, DeletingSentDoesNothing)
{
    LogOnTo("Options-Folders");
    Store("Sent", "kept");
    EXPECT_EQ(View("Options-Folders", "&Delete=Sent").Page(), "Options-Folders[][]");
    EXPECT_TRUE(fs::is_directory(UserDir() / "Sent"));
    EXPECT_EQ(FoldersOf("kept"), std::vector<std::string>{"Sent"});
}

TEST_F(OptionsActionsTest, DeletingASubfolderMovesItsMessagesToTrashAndDropsItsFilters)
{
    LogOnTo("Options-Folders");
    ASSERT_TRUE(User().Folders().Create("Inbox/Sub"));
    ASSERT_TRUE(User().Folders().Create("Inbox/Sub/Deeper"));
    Store("Inbox/Sub", "sub");
    Store("Inbox/Sub/Deeper", "deeper");
    ASSERT_EQ(User().Filters().AddFromText("Y S C \"x\" \"Inbox/Sub\""), store::FilterList::AddResult::Added);
    ASSERT_EQ(User().Filters().AddFromText("Y S C \"y\" \"Inbox\""), store::FilterList::AddResult::Added);
    ASSERT_GE(User().Filters().Save(), 0);

    EXPECT_EQ(View("Options-Folders", "&Delete=inbox%2Fsub").Page(), "Options-Folders[Saved.][]");
    EXPECT_FALSE(fs::exists(UserDir() / "Inbox" / "Sub"));
    EXPECT_EQ(User().Folders().Find("Inbox/Sub"), nullptr);
    EXPECT_EQ(User().Folders().Find("Inbox/Sub/Deeper"), nullptr);
    EXPECT_EQ(FoldersOf("sub"), std::vector<std::string>{"Trash"});
    EXPECT_EQ(FoldersOf("deeper"), std::vector<std::string>{"Trash"}) << "a folder below goes with its messages";
    for (const char* subject : {"sub", "deeper"}) {
        const MessageIndex& index = User().Messages();
        for (int i = 0; i < index.Count(); ++i) {
            if (index.Entry(i)->Subject() == subject) {
                EXPECT_TRUE(fs::exists(index.Entry(i)->GetMessagePath())) << subject;
            }
        }
    }
    EXPECT_EQ(RuleFolders(), std::vector<std::string>{"Inbox"});
}

TEST_F(OptionsActionsTest, AddressBookIsRebuiltFromTheForm)
{
    LogOnTo("Options-AddrBook");
    EXPECT_EQ(View("Options-AddrBook", "&AddrEMail:2=b@x.org&AddrName:2=B%09ob&AddrComment:2=line%0D%0Atwo"
                                       "&AddrEMail:1=a@x.org&AddrName:1=Ann&AddrEMail:3=&AddrName:3=Nobody"
                                       "&AddrEMail:new=c@x.org&AddrName:new=Cy&Sort=revname&Save=Yes")
                      .Page(),
              "Options-AddrBook[Saved.][]");
    EXPECT_EQ(BookLines(), (std::vector<std::string>{"Bob|b@x.org|linetwo", "Ann|a@x.org|", "Cy|c@x.org|"}));
    EXPECT_EQ(Stored("AddrBookSortOrder"), "RevName");

    EXPECT_EQ(View("Options-AddrBook", "&AddrEMail:1=a@x.org&AddrEMail:2=b@x.org&AddrEMail:3=c@x.org"
                                       "&Number=1&Number=3&Delete=Yes")
                      .Page(),
              "Options-AddrBook[Saved.][]");
    EXPECT_EQ(BookLines(), std::vector<std::string>{"|b@x.org|"});

    // A sort order that names none is not stored; without a button the book stays.
    EXPECT_EQ(View("Options-AddrBook", "&Sort=Bogus&AddrEMail:1=z@x.org").Page(), "Options-AddrBook[][]");
    EXPECT_EQ(Stored("AddrBookSortOrder"), "RevName");
    EXPECT_EQ(BookLines(), std::vector<std::string>{"|b@x.org|"});
    EXPECT_EQ(View("Options-AddrBook", "&AddrEMail:1=z@x.org&Finished=Yes").Page(), "OPTIONS");
    EXPECT_EQ(BookLines(), std::vector<std::string>{"|z@x.org|"});
}

} // namespace
} // namespace qm::engine
