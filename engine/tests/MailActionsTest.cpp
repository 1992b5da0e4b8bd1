// The actions of the mail pages through whole requests: deleting, moving, copying and marking from the List page,
// paging and sorting, emptying the trash, the Message page's navigation, its printable and source forms and the
// sender put into the address book, quotas that stop the fetch, and the Attachment view's headers.
#include "engine/MailActions.h"

#include "common/IniAccess.h"
#include "common/IniCache.h"
#include "common/Scrambler.h"
#include "engine/DomainSettings.h"
#include "engine/Request.h"
#include "engine/ResponseHead.h"
#include "engine/SessionManager.h"
#include "engine/TemplateCache.h"
#include "engine/UserLogonLocks.h"
#include "engine/tests/RequestTestSupport.h"
#include "engine/tests/SessionTestSupport.h"
#include "store/AddressBook.h"
#include "store/FolderList.h"
#include "store/MailHostList.h"
#include "store/MessageBuilder.h"
#include "store/MessageIndex.h"
#include "testsupport/LoopbackListener.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace qm::engine {
namespace {

namespace MessageFlag = store::MessageFlag;
using store::MessageIndex;
using store::MessageIndexEntry;
using test::ReadFile;
using test::SessionHarness;
using test::WriteFile;
namespace fs = std::filesystem;

constexpr const char* kLanguages = "[en]\r\n001=English\r\n002=Inbox\r\n003=Drafts\r\n004=Sent\r\n005=Trash\r\n"
                                   "008=To\r\n009=From\r\n010=Date\r\n011=Subject\r\n015=Bad logon.\r\n"
                                   "036=Disk full.\r\n037=Too many.\r\n046=No such message.\r\n056=No template.\r\n"
                                   "077=Read: %s\r\n078=Unread: %s\r\n079=Moved to %s: %s\r\n"
                                   "080=Copied to %s: %s\r\n081=Deleted: %s\r\n082=Trash emptied.\r\n"
                                   "083=Added: %s\r\n099=Failed.\r\n480=Still in the trash: %s\r\n";

using Response = test::RequestResponse;

class MailActionsTest : public ::testing::Test {
public:
    MailActionsTest()
    {
        const fs::path templates = m_harness.Settings().Dir() / "Templates";
        fs::create_directories(templates / "Globe");
        WriteFile(templates / "Languages.ini", kLanguages);
        WriteFile(templates / "Globe" / "Logon.html", "LOGON");
        WriteFile(templates / "Globe" / "Main.html", "MAIN[<$FRAMEVIEW$>]");
        WriteFile(templates / "Globe" / "Error.html", "ERROR");
        WriteFile(templates / "Globe" / "List.html", "LIST[<$STATUSMESG$>]<$ERRORMESG$>");
        WriteFile(templates / "Globe" / "List-Redirect.html", "WAIT[<$STATUSMESG$>]");
        WriteFile(templates / "Globe" / "Message.html", "MESSAGE[<$NUMBER$>][<$STATUSMESG$>][<$ERRORMESG$>]");
        WriteFile(templates / "Globe" / "Message-Redirect.html", "FETCHING");
        WriteFile(templates / "Globe" / "Compose.html", "COMPOSE");
        m_cache = std::make_unique<TemplateCache>(templates.string(), true, nullptr);
        fs::create_directories(m_harness.Settings().UserDir("alice"));
        WriteFile(m_harness.Settings().UserDir("alice") / "User.ini",
                  "[User]\r\nPassword=" + ScramblePassword("pw") + "\r\n");
        WriteFile(m_harness.Settings().Dir() / "Domains.Ini", "");
    }

    ~MailActionsTest() override
    {
        if (m_session != nullptr) {
            m_session->Unbusy();
        }
    }

    MailActionsTest(const MailActionsTest&) = delete;
    MailActionsTest& operator=(const MailActionsTest&) = delete;

protected:
    // Logs alice on; the test keeps a busy count of her session.
    void LogOn()
    {
        const Response response = Send("View=Main&User=alice&Password=pw");
        ASSERT_EQ(response.Page(), "MAIN[List]") << response.Text;
        m_session = m_harness.Manager().FindByUser("alice");
        ASSERT_NE(m_session, nullptr);
        m_cookies = "Session=" + m_session->CookieSecret() + "; Lang=en; Theme=Globe";
    }

    Response Send(const std::string& query)
    {
        RequestServices services = test::HarnessServices(m_harness, m_cache.get());
        services.LogonLocks = &m_logonLocks;
        services.Action = m_action;
        return test::RunRequest(test::GetRequestEnvironment(query, m_cookies), std::move(services),
                                (m_harness.Settings().Dir() / "response").string());
    }

    // A request of alice's session: the view and the rest of the query.
    Response View(const std::string& view, const std::string& rest = "")
    {
        return Send("View=" + view + "&Session=" + std::string(m_session->Id()) + rest);
    }

    MessageIndex& Index() { return m_session->User().Messages(); }

    // A stored message of folder from the lines given (header lines, a blank line, the body).
    MessageIndexEntry* Store(const std::string& folder, const std::vector<std::string>& lines)
    {
        store::MessageBuilder builder(Index(), folder);
        EXPECT_TRUE(builder.Begin(1000, true));
        for (const std::string& line : lines) {
            builder.AddLine(line);
        }
        MessageIndexEntry* entry = builder.Finish();
        EXPECT_NE(entry, nullptr);
        return entry;
    }

    MessageIndexEntry* Store(const std::string& folder, const std::string& subject, const std::string& from = "a@x.org",
                             const std::string& to = "me@x.org")
    {
        return Store(folder, {"From: " + from, "To: " + to, "Subject: " + subject, "", "Text of " + subject + "."});
    }

    std::string Query(const MessageIndexEntry* entry) { return "&Number=" + std::to_string(entry->Number()); }

    // The subjects of the visible messages in their order.
    std::vector<std::string> VisibleSubjects()
    {
        std::vector<std::string> subjects;
        for (int i = Index().FirstVisible(); i >= 0; i = Index().NextVisible(i)) {
            subjects.push_back(Index().Entry(i)->Subject());
        }
        return subjects;
    }

    void SetUser(const char* key, const std::string& value)
    {
        SetUserSetting(key, m_session->User().Settings(), value);
    }

    store::MailHostAccount& AddAccount(const std::string& mailbox, int deleteMode, bool active = true)
    {
        store::MailHostAccount& account = m_session->User().MailHosts().NewAccount();
        EXPECT_TRUE(account.SetMailbox(mailbox));
        account.SetHost("127.0.0.1");
        account.SetPort(ClosedPort());
        account.SetUser("alice");
        account.SetPass("pop-pw");
        account.SetActive(active);
        account.SetDelete(deleteMode);
        return account;
    }

    // A port on loopback where nobody listens: the mail work after the page fails at once.
    static int ClosedPort()
    {
        qm::test::LoopbackListener listener;
        return listener.Port();
    }

    // Runs the real action of the view and keeps what it announced, before the work after the page clears it.
    void RecordAnnouncements()
    {
        m_action = [this](Request& request) {
            if (request.View() == kViewList) {
                ListAction(request);
            } else if (request.View() == kViewMessage) {
                MessageAction(request);
            }
            m_announced = request.FetchAfterPage() && request.CurrentSession()->RetrievalPending();
            m_cleared = !request.FetchAfterPage() && !request.CurrentSession()->RetrievalPending();
            m_afterAction = Index().Count();
        };
    }

    SessionHarness m_harness{"[General]\r\nLogLevel=1\r\n"};
    std::unique_ptr<TemplateCache> m_cache;
    UserLogonLocks m_logonLocks;
    std::function<void(Request&)> m_action;
    Session* m_session = nullptr;
    std::string m_cookies = "Lang=en; Theme=Globe";
    bool m_announced = false;
    bool m_cleared = false;
    int m_afterAction = -1;
};

TEST(MailActionsParseTest, NumbersAreDecimalDigitsOnlyWithoutOverflow)
{
    EXPECT_EQ(ParseMessageNumberField("42"), 42U);
    EXPECT_EQ(ParseMessageNumberField("4294967295"), 4294967295U);
    for (const char* bad : {"", "+1", "-1", " 1", "1 ", "1x", "0x10", "4294967296", "99999999999999999999"}) {
        EXPECT_FALSE(ParseMessageNumberField(bad).has_value()) << bad;
    }
    EXPECT_EQ(ParsePageNumber("3"), 3);
    EXPECT_EQ(ParsePageNumber("-2"), -2);
    EXPECT_EQ(ParsePageNumber("99999999999"), INT_MAX);
    EXPECT_EQ(ParsePageNumber("-99999999999"), INT_MIN);
    for (const char* bad : {"", "-", "2a", "+2", " 2"}) {
        EXPECT_FALSE(ParsePageNumber(bad).has_value()) << bad;
    }
}

TEST_F(MailActionsTest, DeleteMovesToTheTrashAndInTheTrashDeletesForGood)
{
    LogOn();
    MessageIndexEntry* doomed = Store("Inbox", "doomed");
    MessageIndexEntry* kept = Store("Inbox", "kept");
    const std::uint32_t number = doomed->Number();
    const std::string inboxPath = doomed->GetMessagePath();

    EXPECT_EQ(View("List", "&Folder=Inbox&Delete=1" + Query(doomed)).Page(), "LIST[Moved to Trash: 1]");
    EXPECT_EQ(doomed->Folder(), "Trash");
    EXPECT_EQ(kept->Folder(), "Inbox");
    EXPECT_FALSE(fs::exists(inboxPath)) << "the old name goes with the saved index";
    const std::string trashPath = doomed->GetMessagePath();
    EXPECT_TRUE(fs::exists(trashPath));
    EXPECT_EQ(VisibleSubjects(), std::vector<std::string>{"kept"});

    EXPECT_EQ(View("List", "&Folder=Trash&Delete=1" + Query(doomed)).Page(), "LIST[Deleted: 1]");
    EXPECT_EQ(Index().FindByNumber(number), nullptr);
    EXPECT_FALSE(fs::exists(trashPath));
    EXPECT_EQ(Index().Count(), 1);
}

TEST_F(MailActionsTest, MoveToTheFolderShownChangesNothingAndCopyToItDuplicates)
{
    LogOn();
    MessageIndexEntry* message = Store("Inbox", "one");
    message->ChangeFlags(MessageFlag::ConfirmReading, true);

    struct Case {
        const char* Rest;
        const char* Page;
        int Inbox;
        int Sent;
    };

    const Case cases[] = {
            {"&Move=1&DestFolder=inbox", "LIST[]", 1, 0},
            {"&Move=1&DestFolder=NoSuchFolder", "LIST[]", 1, 0},
            {"&Copy=1&DestFolder=NoSuchFolder", "LIST[]", 1, 0},
            {"&Copy=1&DestFolder=Inbox", "LIST[Copied to Inbox: 1]", 2, 0},
            {"&Move=1&DestFolder=Sent", "LIST[Moved to Sent: 1]", 1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Rest);
        EXPECT_EQ(View("List", std::string("&Folder=Inbox") + c.Rest + Query(message)).Page(), c.Page);
        EXPECT_EQ(Index().CountInFolder("Inbox"), c.Inbox);
        EXPECT_EQ(Index().CountInFolder("Sent"), c.Sent);
    }
    EXPECT_EQ(message->Folder(), "Sent");
    for (int i = 0; i < Index().Count(); ++i) {
        EXPECT_TRUE(fs::exists(Index().Entry(i)->GetMessagePath())) << Index().Entry(i)->Folder();
        // The read receipt asked for stays with the original: opening the copy too sends no second one.
        EXPECT_EQ(Index().Entry(i)->HasFlag(MessageFlag::ConfirmReading), Index().Entry(i) == message);
    }
}

TEST_F(MailActionsTest, MarkingWinsOverDeleteAndOnlyNamedMessagesChange)
{
    LogOn();
    MessageIndexEntry* a = Store("Inbox", "a");
    MessageIndexEntry* b = Store("Inbox", "b");
    MessageIndexEntry* other = Store("Inbox", "other");
    const std::string ab = Query(a) + Query(b) + Query(a) + "&Number=+" + std::to_string(other->Number()) +
                           "&Number=99999999999&Number=" + std::to_string(other->Number()) + "x";

    EXPECT_EQ(View("List", "&Folder=Inbox&MarkRead=1&Delete=1" + ab).Page(), "LIST[Read: 2]");
    EXPECT_TRUE(a->HasFlag(MessageFlag::Read));
    EXPECT_TRUE(b->HasFlag(MessageFlag::Read));
    EXPECT_FALSE(other->HasFlag(MessageFlag::Read)) << "malformed numbers name no message";
    EXPECT_EQ(Index().CountInFolder("Inbox"), 3) << "nothing deleted";

    EXPECT_EQ(View("List", "&MarkUnread=1" + Query(b)).Page(), "LIST[Unread: 1]");
    EXPECT_FALSE(b->HasFlag(MessageFlag::Read));
    EXPECT_TRUE(a->HasFlag(MessageFlag::Read));

    // A number given twice is copied once.
    EXPECT_EQ(View("List", "&Copy=1&DestFolder=Drafts" + Query(a) + Query(a)).Page(), "LIST[Copied to Drafts: 1]");
    EXPECT_EQ(Index().CountInFolder("Drafts"), 1);
}

TEST_F(MailActionsTest, ThePageIsKeptWithinThePagesThereAre)
{
    LogOn();
    SetUser("ListPerPage", "5");
    for (int i = 0; i < 11; ++i) {
        Store("Inbox", "m" + std::to_string(i));
    }

    struct Case {
        const char* Page;
        int Shown;
    };

    const Case cases[] = {{"9", 3}, {"0", 1}, {"2", 2}, {"-4", 1}, {"99999999999", 3}, {"3", 3}, {"x2", 3}, {"", 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Page);
        EXPECT_EQ(View("List", std::string("&Page=") + c.Page).Page(), "LIST[]");
        EXPECT_EQ(Index().CurrentPage(), c.Shown);
    }
    EXPECT_EQ(View("List", "&Folder=Inbox").Page(), "LIST[]");
    EXPECT_EQ(Index().CurrentPage(), 1) << "another folder opens on its first page";
}

TEST_F(MailActionsTest, SentMailSortsByItsRecipientsWhenFromIsReplaced)
{
    LogOn();
    Store("Sent", "to-b", "a@x.org", "b@x.org");
    Store("Sent", "to-c", "c@x.org", "c@x.org");
    Store("Sent", "to-a", "b@x.org", "a@x.org");
    Store("Inbox", "from-b", "b@x.org");
    Store("Inbox", "from-a", "a@x.org");
    SetUser("ListShowByAddress", "1");

    EXPECT_EQ(View("List", "&Folder=Sent&Sort=From").Page(), "LIST[]");
    EXPECT_EQ(GetUserSetting("ListSortOrder", m_session->User().Settings()), "From");
    EXPECT_EQ(VisibleSubjects(), (std::vector<std::string>{"to-a", "to-b", "to-c"}));
    EXPECT_EQ(View("List", "&Sort=RevFrom").Page(), "LIST[]");
    EXPECT_EQ(VisibleSubjects(), (std::vector<std::string>{"to-c", "to-b", "to-a"}));
    EXPECT_EQ(View("List", "&Folder=Inbox&Sort=From").Page(), "LIST[]");
    EXPECT_EQ(VisibleSubjects(), (std::vector<std::string>{"from-a", "from-b"}));
    EXPECT_EQ(View("List", "&Folder=Sent").Page(), "LIST[]");
    EXPECT_EQ(VisibleSubjects(), (std::vector<std::string>{"to-a", "to-b", "to-c"})) << "by recipient again";

    WriteFile(m_harness.Settings().IniPath(),
              ReadFile(m_harness.Settings().IniPath()) + "[General]\r\nEnableReplaceFrom=No\r\n");
    EXPECT_EQ(View("List", "&Folder=Sent&Sort=RevDate").Page(), "LIST[]");
    EXPECT_EQ(View("List", "&Sort=From").Page(), "LIST[]");
    EXPECT_EQ(VisibleSubjects(), (std::vector<std::string>{"to-b", "to-a", "to-c"})) << "by sender";
    // A sort order that is not a name never reaches the settings.
    EXPECT_EQ(View("List", "&Sort=From%0D%0A%5BUser%5D").Page(), "LIST[]");
    EXPECT_EQ(GetUserSetting("ListSortOrder", m_session->User().Settings()), "From");
}

TEST_F(MailActionsTest, EmptyingTheTrashKeepsWhatAServerStillHasToDelete)
{
    LogOn();
    AddAccount("later", 1);
    AddAccount("never", 0);
    AddAccount("atonce", 2);
    const auto trashed = [&](const std::string& subject, const std::string& mailbox, bool stored) {
        MessageIndexEntry* entry = Store("Trash", subject);
        entry->SetMailbox(mailbox);
        entry->SetUid(mailbox.empty() ? "" : "uid-" + subject);
        entry->ChangeFlags(MessageFlag::Stored, stored);
        return entry;
    };
    trashed("later", "later", true);
    trashed("never", "never", true);
    trashed("atonce-stored", "atonce", true);
    trashed("atonce-headers", "atonce", false);
    trashed("local", "", true);
    trashed("gone-account", "removed", true);
    Store("Inbox", "inbox");
    RecordAnnouncements();
    m_session->SetRetrievalDone(true); // no new mail fetch: what is announced is the deletions

    EXPECT_EQ(View("List", "&EmptyTrash=1").Page(), "WAIT[Trash emptied.]");
    EXPECT_TRUE(m_announced) << "the server deletions run after the page";
    std::vector<std::string> left;
    left.reserve(static_cast<std::size_t>(Index().Count()));
    for (int i = 0; i < Index().Count(); ++i) {
        left.push_back(Index().Entry(i)->Subject() + ":" + Index().Entry(i)->Folder());
    }
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"atonce-headers:", "inbox:Inbox", "later:"}));
    EXPECT_EQ(Index().CountInFolder("Trash"), 0);

    // Nothing for a server to do: nothing announced.
    for (int i = Index().Count() - 1; i >= 0; --i) {
        if (Index().Entry(i)->Folder().empty()) {
            Index().RemoveEntry(Index().Entry(i));
        }
    }
    m_session->SetRetrievalDone(true); // no new mail fetch either
    trashed("local2", "", true);
    EXPECT_EQ(View("List", "&EmptyTrash=1").Page(), "LIST[Trash emptied.]");
    EXPECT_FALSE(m_announced);
    EXPECT_EQ(Index().Count(), 1);
}

TEST_F(MailActionsTest, EmptyingTheTrashSaysWhatCouldNotBeDone)
{
    LogOn();
    m_session->SetRetrievalDone(true); // no new mail fetch
    const std::string stuck = Store("Trash", "stuck")->GetMessagePath();
    const std::string gone = Store("Trash", "gone")->GetMessagePath();
    // A message whose file is a directory cannot be deleted: it stays in the trash, and the page says so.
    fs::remove(stuck);
    fs::create_directories(stuck);
    EXPECT_EQ(View("List", "&EmptyTrash=1").Page(), "LIST[]Still in the trash: 1");
    EXPECT_EQ(Index().CountInFolder("Trash"), 1);
    EXPECT_FALSE(fs::exists(gone));

    // Until the index without them is saved the files stay, so a save that fails has emptied nothing.
    fs::remove(stuck);
    const std::string last = Store("Trash", "last")->GetMessagePath();
    const fs::path indexFile = m_harness.Settings().UserDir("alice") / store::kMessageIndexFile;
    fs::remove(indexFile);
    fs::create_directories(indexFile / "x");
    EXPECT_EQ(View("List", "&EmptyTrash=1").Page(), "LIST[]Failed.");
    EXPECT_TRUE(fs::exists(last));
    fs::remove_all(indexFile);
    EXPECT_EQ(View("List", "&EmptyTrash=1").Page(), "LIST[Trash emptied.]");
    EXPECT_FALSE(fs::exists(last));
}

// A quota case: the domain's EnforceQuotas line, the user's two quotas, and the status message expected ("" when
// nothing stops the fetch).
struct QuotaCase {
    const char* Domains;
    const char* CountQuota;
    const char* DiskQuota;
    std::string Status;
};

class MailQuotaTest : public MailActionsTest {
protected:
    // The List page and the Message page of the headers-only message under the quotas of c.
    void Check(const QuotaCase& c, const MessageIndexEntry* headers)
    {
        m_harness.Settings().WriteDomains(std::string("[Default:Settings]\r\n") + c.Domains + "\r\n; " + c.CountQuota +
                                          c.DiskQuota + "\r\n");
        NoteIniWritten((m_harness.Settings().Dir() / "Domains.Ini").string());
        SetUser("MessageCountQuota", c.CountQuota);
        SetUser("DiskSpaceQuota", c.DiskQuota);
        m_session->SetLastMailCheck(0);
        m_session->SetRetrievalDone(false);
        const bool fetches = c.Status.empty();
        EXPECT_EQ(View("List").Page(), (fetches ? "WAIT[" : "LIST[") + c.Status + "]");
        EXPECT_EQ(m_announced, fetches);

        m_session->SetRetrievalDone(false);
        const std::string message = View("Message", Query(headers)).Page();
        EXPECT_EQ(message,
                  fetches ? "FETCHING" : "MESSAGE[" + std::to_string(headers->Number()) + "][" + c.Status + "][]");
        EXPECT_EQ(m_announced, fetches);
        EXPECT_EQ(m_cleared, !fetches);
    }
};

TEST_F(MailQuotaTest, QuotasStopTheFetchOfNewMailAndOfAWholeMessage)
{
    LogOn();
    AddAccount("pop", 0);
    Store("Inbox", "one");
    Store("Inbox", "two");
    MessageIndexEntry* headers = Index().NewEntry();
    headers->SetNumber(Index().NextNumber());
    headers->SetFileId(store::MessageFileId(headers->Number()));
    headers->SetMailbox("pop");
    headers->SetUid("uid-h");
    headers->SetFolder("Inbox");
    ASSERT_EQ(Index().StoredSizeKB(), 2) << "two stored messages of 1000 bytes";
    RecordAnnouncements();
    const QuotaCase cases[] = {
            {"", "1", "1", ""},
            {"EnforceQuotas=Yes", "0", "0", ""},
            {"EnforceQuotas=Yes", "2", "0", "Too many."},
            {"EnforceQuotas=Yes", "3", "0", ""},
            {"EnforceQuotas=Yes", "0", "1", "Disk full."},
            {"EnforceQuotas=Yes", "2", "1", "Too many."},
            {"EnforceQuotas=Yes", "0", "2", ""},
    };
    for (const QuotaCase& c : cases) {
        SCOPED_TRACE(std::string(c.Domains) + " count " + c.CountQuota + " disk " + c.DiskQuota);
        Check(c, headers);
    }
}

TEST_F(MailActionsTest, NewMailIsFetchedWhenTheRefreshTimeIsDueOrOnReload)
{
    LogOn();
    AddAccount("pop", 0);
    SetUser("ListRefreshTime", "5");
    RecordAnnouncements();
    m_session->SetLastMailCheck(m_harness.Now() - 200);
    EXPECT_EQ(View("List").Page(), "LIST[]") << "fetched 200 s ago: not due";
    EXPECT_FALSE(m_announced);
    EXPECT_EQ(View("List", "&Reload=1").Page(), "WAIT[]");
    EXPECT_TRUE(m_announced);
    EXPECT_TRUE(m_session->RetrievalDone());
    EXPECT_EQ(View("List", "&Reload=1").Page(), "LIST[]") << "the page right after a fetch fetches nothing";
    EXPECT_FALSE(m_announced);
    m_harness.Advance(300);
    EXPECT_EQ(View("List").Page(), "WAIT[]") << "five minutes later";

    m_session->User().MailHosts().Item(0).SetActive(false);
    EXPECT_EQ(View("List", "&Reload=1").Page(), "LIST[]") << "no active account";
}

TEST_F(MailActionsTest, TheMessagePageStepsThroughTheVisibleMessagesAndBackToTheList)
{
    LogOn();
    SetUser("ListSortOrder", "Subject");
    MessageIndexEntry* a = Store("Inbox", "a");
    MessageIndexEntry* b = Store("Inbox", "b");
    MessageIndexEntry* c = Store("Inbox", "c");
    EXPECT_EQ(View("List", "&Folder=Inbox").Page(), "LIST[]");
    ASSERT_EQ(VisibleSubjects(), (std::vector<std::string>{"a", "b", "c"}));
    const std::string n = [](const MessageIndexEntry* e) {
        return std::to_string(e->Number());
    }(b);

    EXPECT_EQ(View("Message", Query(a)).Page(), "MESSAGE[" + std::to_string(a->Number()) + "][][]");
    EXPECT_TRUE(a->HasFlag(MessageFlag::Read)) << "a stored message shown is read";
    EXPECT_EQ(View("Message", "&Next=1").Page(), "MESSAGE[" + n + "][][]");
    EXPECT_EQ(View("Message", "&NextUnread=1").Page(), "MESSAGE[" + std::to_string(c->Number()) + "][][]");
    EXPECT_EQ(View("Message", "&Next=1").Page(), "LIST[]") << "after the last one: the list";
    EXPECT_EQ(m_session->CurrentView(), kViewList);
    EXPECT_EQ(View("Message", Query(a) + "&Prev=1").Page(), "LIST[]");
}

TEST_F(MailActionsTest, FilingAMessageShowsTheNextOrTheListAndDraftsOpenInCompose)
{
    LogOn();
    SetUser("ListSortOrder", "Subject");
    Store("Inbox", "a");
    MessageIndexEntry* b = Store("Inbox", "b");
    MessageIndexEntry* c = Store("Inbox", "c");
    EXPECT_EQ(View("List", "&Folder=Inbox").Page(), "LIST[]");

    // Deleting shows the next message; moving the last one shows the list.
    EXPECT_EQ(View("Message", Query(b) + "&Delete=1").Page(),
              "MESSAGE[" + std::to_string(c->Number()) + "][Moved to Trash: 1][]");
    EXPECT_EQ(b->Folder(), "Trash");
    EXPECT_EQ(View("Message", "&Move=1&DestFolder=Sent").Page(), "LIST[Moved to Sent: 1]");
    EXPECT_EQ(c->Folder(), "Sent");

    EXPECT_EQ(View("Message", "&Number=999999").Page(), "MESSAGE[][][No such message.]");
    EXPECT_EQ(View("Message", "&Number=1x").Page(), "MESSAGE[][][No such message.]");

    MessageIndexEntry* draft = Store("Drafts", "draft");
    draft->ChangeFlags(MessageFlag::Draft, true);
    EXPECT_EQ(View("Message", Query(draft)).Page(), "COMPOSE");
}

TEST_F(MailActionsTest, MainWithFirstUnreadOpensItOrFallsBackToTheList)
{
    LogOn();
    MessageIndexEntry* read = Store("Inbox", "read");
    read->SetRead(true);
    m_session->SetFrameView(kViewMessage);
    m_session->SetCurrentView(kViewMessage);
    EXPECT_EQ(View("Main", "&FirstUnread=1").Page(), "MAIN[List]");
    EXPECT_EQ(m_session->CurrentMessage(), nullptr);
    EXPECT_EQ(m_session->CurrentView(), kViewList);

    MessageIndexEntry* unread = Store("Inbox", "unread");
    m_session->SetFrameView(kViewMessage);
    EXPECT_EQ(View("Main", "&FirstUnread=1").Page(), "MAIN[Message]");
    EXPECT_EQ(m_session->CurrentMessage(), unread);
}

TEST_F(MailActionsTest, PrintAndSourceWriteTheWholeResponse)
{
    LogOn();
    const std::string longLine(7000, 'L');
    MessageIndexEntry* message = Store("Inbox", {"From: Ann <ann@x.org>", "To: bob@x.org", "Subject: Hello <b>", "",
                                                 "Body & more", longLine, "\xE9t\xE9"});
    const std::string file = ReadFile(message->GetMessagePath());

    const Response print = View("Message", Query(message) + "&Print=1");
    const std::string head = std::string(kPageHead) + "<HTML>\r\n<BODY>\r\n<TT>\r\n";
    ASSERT_EQ(print.Text.substr(0, head.size()), head);
    const std::string from = "<B>From: </B>Ann &lt;ann@x.org&gt;<BR>\r\n<B>To: </B>bob@x.org<BR>\r\n";
    EXPECT_EQ(print.Text.substr(head.size(), from.size()), from);
    EXPECT_NE(print.Text.find("<B>Subject: </B>Hello &lt;b&gt;<BR>\r\n<BR>\r\n"), std::string::npos);
    EXPECT_NE(print.Text.find("Body &amp; more"), std::string::npos);
    EXPECT_TRUE(print.Text.ends_with("</TT>\r\n</BODY>\r\n</HTML>\r\n"));
    EXPECT_TRUE(message->HasFlag(MessageFlag::Read));

    const Response source = View("Message", Query(message) + "&Source=1");
    const std::string plain = "Content-type: text/plain\r\nX-Content-Type-Options: nosniff\r\n"
                              "Expires: 0\r\nPragma: no-cache\r\n\r\n";
    EXPECT_EQ(source.Text, plain + file) << "the file byte for byte, long lines whole";
    EXPECT_NE(file.find(longLine + "\r\n"), std::string::npos);

    fs::remove(message->GetMessagePath());
    EXPECT_EQ(View("Message", Query(message) + "&Source=1").Text, plain + "No such message.\r\n");
}

TEST_F(MailActionsTest, TheSenderGoesIntoTheAddressBookOnceAndWhole)
{
    LogOn();
    const fs::path book = m_harness.Settings().UserDir("alice") / store::AddressBook::kFileName;

    struct Case {
        const char* From;
        const char* Page;
        const char* Book; // the whole file afterwards
    };

    const Case cases[] = {
            {"\"Eve\tTab\" <eve@x.org>, other@y.org", "[Added: Eve Tab]", "Eve Tab\teve@x.org\t\r\n"},
            {"\"Eve\tTab\" <eve@x.org>", "[]", "Eve Tab\teve@x.org\t\r\n"},
            {"\"Doe, John\" <jd@x.org>; x@y.org", "[Added: Doe, John]",
             "Eve Tab\teve@x.org\t\r\nDoe, John\tjd@x.org\t\r\n"},
            {"plain@x.org", "[Added: plain@x.org]",
             "Eve Tab\teve@x.org\t\r\nDoe, John\tjd@x.org\t\r\n\tplain@x.org\t\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.From);
        MessageIndexEntry* message = Store("Inbox", "hi", c.From);
        EXPECT_EQ(View("Message", Query(message) + "&ToAddrBook=1").Page(),
                  "MESSAGE[" + std::to_string(message->Number()) + "]" + c.Page + "[]");
        EXPECT_EQ(ReadFile(book), c.Book);
    }
}

TEST(AttachmentHeadTest, UnsafeTypesDownloadAndNamesAreEncodedSafely)
{
    struct Case {
        const char* Type;
        const char* Name;
        const char* Head;
    };

    const Case cases[] = {
            {"image/png", "a.png",
             "Content-type: image/png\r\nX-Content-Type-Options: nosniff\r\n"
             "Content-Disposition: inline; filename=\"a.png\"; filename*=UTF-8''a.png\r\n"},
            {"text/plain", "",
             "Content-type: text/plain\r\nX-Content-Type-Options: nosniff\r\nContent-Disposition: inline\r\n"},
            {"text/html", "page.html",
             "Content-type: text/html\r\nX-Content-Type-Options: nosniff\r\n"
             "Content-Disposition: attachment; filename=\"page.html\"; filename*=UTF-8''page.html\r\n"},
            {"image/SVG+xml", "x.svg",
             "Content-type: image/SVG+xml\r\nX-Content-Type-Options: nosniff\r\n"
             "Content-Disposition: attachment; filename=\"x.svg\"; filename*=UTF-8''x.svg\r\n"},
            {"application/pdf", "",
             "Content-type: application/pdf\r\nX-Content-Type-Options: nosniff\r\n"
             "Content-Disposition: attachment\r\n"},
            {"text/html\r\nSet-Cookie: a=b", "",
             "Content-type: application/octet-stream\r\nX-Content-Type-Options: nosniff\r\n"
             "Content-Disposition: attachment\r\n"},
            {"text/xml", "q\"uo\\te\r\n%.txt",
             "Content-type: text/xml\r\nX-Content-Type-Options: nosniff\r\n"
             "Content-Disposition: attachment; filename=\"q_uo_te_.txt\"; "
             "filename*=UTF-8''q%22uo%5Cte%25.txt\r\n"},
            {"image/jpeg", "r\xC3\xA9sum\xC3\xA9 1.jpg",
             "Content-type: image/jpeg\r\nX-Content-Type-Options: nosniff\r\n"
             "Content-Disposition: inline; filename=\"r_sum_ 1.jpg\"; filename*=UTF-8''r%C3%A9sum%C3%A9%201.jpg\r\n"},
            {"image/gif", "caf\xE9.gif", // ISO-8859-1: read as such
             "Content-type: image/gif\r\nX-Content-Type-Options: nosniff\r\n"
             "Content-Disposition: inline; filename=\"caf_.gif\"; filename*=UTF-8''caf%C3%A9.gif\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Type);
        EXPECT_EQ(AttachmentHead(c.Type, c.Name), c.Head);
    }
}

TEST_F(MailActionsTest, TheAttachmentViewSendsThePartWithSafeHeaders)
{
    LogOn();
    MessageIndexEntry* message = Store("Inbox", {"From: a@x.org",
                                                 "Subject: parts",
                                                 "MIME-Version: 1.0",
                                                 "Content-Type: multipart/mixed; boundary=\"b\"",
                                                 "",
                                                 "--b",
                                                 "Content-Type: text/plain",
                                                 "",
                                                 "Hello.",
                                                 "--b",
                                                 "Content-Type: text/html; name=\"page.html\"",
                                                 "",
                                                 "<script>alert(1)</script>",
                                                 "--b",
                                                 "Content-Type: image/svg+xml; name=\"p.svg\"",
                                                 "",
                                                 "<svg onload=\"alert(1)\"/>",
                                                 "--b",
                                                 "Content-Type: message/rfc822; name=\"fwd.eml\"",
                                                 "",
                                                 "Subject: inner",
                                                 "",
                                                 "inner text",
                                                 "--b",
                                                 "Content-Type: image/png; name=\"dot.png\"",
                                                 "Content-Transfer-Encoding: base64",
                                                 "",
                                                 "iVBORw0KGgo=",
                                                 "--b--"});
    ASSERT_TRUE(message->HasFlag(MessageFlag::HasAttachments));
    const store::PartIndex* parts = message->GetPartIndex();
    ASSERT_NE(parts, nullptr);
    const auto partId = [&](const char* name) {
        const store::PartIndexEntry* part = parts->FindByFileName(name);
        EXPECT_NE(part, nullptr) << name;
        return part == nullptr ? std::string() : std::to_string(part->Part) + "." + std::to_string(part->SubPart);
    };
    const std::string tail = "Expires: 0\r\nPragma: no-cache\r\n\r\n";

    struct Case {
        std::string Rest;
        std::string Head;
        std::string Body;
    };

    const std::vector<Case> cases = {
            {"&Part=" + partId("page.html"), AttachmentHead("text/html", "page.html") + tail,
             "<script>alert(1)</script>\r\n"},
            {"&Filename=P.SVG", AttachmentHead("image/svg+xml", "p.svg") + tail, "<svg onload=\"alert(1)\"/>\r\n"},
            {"&Filename=fwd.eml", AttachmentHead("text/plain", "fwd.eml") + tail,
             "Subject: inner\r\n\r\ninner text\r\n"},
            {"&Filename=dot.png", AttachmentHead("image/png", "dot.png") + tail, std::string("\x89PNG\r\n\x1A\n", 8)},
            {"&Part=9.9", "Content-type: text/plain\r\nX-Content-Type-Options: nosniff\r\n" + tail, ""},
            {"&Number=999999&Part=1.0", "Content-type: text/plain\r\nX-Content-Type-Options: nosniff\r\n" + tail, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Rest);
        const std::string rest = c.Rest.starts_with("&Number") ? c.Rest : Query(message) + c.Rest;
        EXPECT_EQ(View("Attachment", rest).Text, c.Head + c.Body);
    }

    WriteFile(m_harness.Settings().IniPath(),
              ReadFile(m_harness.Settings().IniPath()) + "[Special]\r\nSendMessageAttachmentAsText=No\r\n");
    EXPECT_TRUE(View("Attachment", Query(message) + "&Filename=fwd.eml")
                        .Text.starts_with("Content-type: message/rfc822\r\n"));
}

} // namespace
} // namespace qm::engine
