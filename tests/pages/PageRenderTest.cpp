// Every page of the Globe theme rendered for a user with mail, in English and German, through the main web server:
// no page may leave a list, a condition or a value that the engine does not know. Also the reading pages' own
// behaviour as a browser sees it with curl: folder headings, the empty folder, paging and the actions' feedback.
#include "store/MessageBuilder.h"
#include "store/MessageIndex.h"
#include "store/demo/DemoMailbox.h"
#include "tests/pages/PageInstallation.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace qm::test {
namespace {

namespace fs = std::filesystem;

// Lines of the engine log that name a list, condition or value the engine does not know.
std::vector<std::string> UnknownTagLines(const std::string& log)
{
    std::vector<std::string> found;
    std::istringstream lines(log);
    std::string line;
    while (std::getline(lines, line)) {
        for (const char* what : {"Unable to expand", "Unable to iterate", "Unable to evaluate"}) {
            if (line.find(what) != std::string::npos) {
                found.push_back(line);
            }
        }
    }
    return found;
}

// text itself, checked to be a text of the English pages, so a changed wording fails here and not as a miss.
std::string EnglishMessageText(const std::string& text)
{
    const std::string languages = TempDir::ReadFile(fs::path(QM_SOURCE_DIR) / "data/Languages.ini");
    EXPECT_NE(languages.find("=" + text + "\n"), std::string::npos) << text;
    return text;
}

std::string Title(const std::string& page)
{
    static const std::regex kTitle("<title>([^<]*)</title>");
    std::smatch match;
    return std::regex_search(page, match, kTitle) ? match[1].str() : std::string();
}

// The numbers of the messages that a List page links to, in page order.
std::vector<std::string> ListedNumbers(const std::string& page)
{
    static const std::regex kLink("View=Message&amp;Number=([0-9]+)\"");
    std::vector<std::string> numbers;
    for (std::sregex_iterator it(page.begin(), page.end(), kLink), end; it != end; ++it) {
        numbers.push_back((*it)[1].str());
    }
    return numbers;
}

// A message of folder with a subject of its own.
std::vector<std::string> PlainMessage(const std::string& subject, int day)
{
    char date[64];
    (void)std::snprintf(date, sizeof date, "Date: Mon, %02d Nov 2026 10:00:00 +0000", day);
    return {"From: Carol <carol@example.org>",
            "To: demo@quillmail.example",
            "Subject: " + subject,
            date,
            "",
            "Text of " + subject};
}

class PageRenderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string userDir = m_install.Path(std::string("Users/") + kDemoUser);
        ASSERT_EQ(store::demo::StoreDemoMail(userDir, static_cast<std::int64_t>(std::time(nullptr))), "");
        {
            // Enough mail in one more folder for three list pages of five.
            fs::create_directories(userDir + "/Archive");
            store::MessageIndex index(userDir);
            for (int day = 1; day <= 12; ++day) {
                ASSERT_NE(store::StoreMessageLines(index, "Archive",
                                                   PlainMessage("Archived " + std::to_string(day), day)),
                          nullptr);
            }
            index.MarkDirty();
            ASSERT_TRUE(index.Save());
            for (int i = 0; i < index.Count(); ++i) {
                const store::MessageIndexEntry& entry = *index.Entry(i);
                m_numbers[entry.Subject()] = std::to_string(entry.Number());
            }
        }
        // Five messages a page; a mail account whose server refuses connections, so the List page fetches (and
        // shows its Redirect page) and the account lists and colours have an entry.
        std::string ini = TempDir::ReadFile(userDir + "/User.ini");
        ini += "ListPerPage=5\r\n[MailHost1]\r\nMailbox=Office\r\nFullName=Demo User\r\nEMail=demo@quillmail.example"
               "\r\nHost=127.0.0.1\r\nPort=1\r\nUser=demo\r\nPass=-demo\r\nDefault=Yes\r\nActive=No\r\n"
               "Color=Style2\r\n";
        m_install.Web().WriteFile(std::string("Users/") + kDemoUser + "/User.ini", ini);
        // The account stays the user's own: not the domain's system mailbox, which is always active.
        m_install.Web().WriteFile("Domains.Ini", "[Default:Settings]\r\nDefaultDomain=\r\nAutoAccountCreation=No\r\n"
                                                 "SyncSystemMailbox=No\r\n");
        ASSERT_TRUE(m_install.Start()) << m_install.Server().Errors();
    }

    void TearDown() override { EXPECT_TRUE(m_install.Stop()); }

    CurlReply WithJar(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"-b", m_jar.PathOf("jar"), "-c", m_jar.PathOf("jar")});
        return Curl(args);
    }

    std::string LogOn(const std::string& lang)
    {
        const CurlReply logon = WithJar({"--data-urlencode", std::string("User=") + kDemoUser, "--data-urlencode",
                                         std::string("Password=") + kDemoPassword, "--data-urlencode", "Lang=" + lang,
                                         m_install.MailUrl("View=Main")});
        return FindSessionId(logon.Body);
    }

    // A page of the session; query without the session.
    CurlReply Page(const std::string& session, const std::string& query)
    {
        return WithJar({m_install.MailUrl(query + "&Session=" + session)});
    }

    // A form posted to the session's view, fields "name=value" each.
    CurlReply Post(const std::string& session, const std::string& view, const std::vector<std::string>& fields)
    {
        std::vector<std::string> args;
        for (const std::string& field : fields) {
            args.push_back("--data-urlencode");
            args.push_back(field);
        }
        args.push_back(m_install.MailUrl("Session=" + session + "&View=" + view));
        return WithJar(args);
    }

    // The number of the message whose subject holds text ("" when none does).
    std::string Number(const std::string& text) const
    {
        for (const auto& [subject, number] : m_numbers) {
            if (subject.find(text) != std::string::npos) {
                return number;
            }
        }
        return {};
    }

    PageInstallation m_install;
    TempDir m_jar;
    std::map<std::string, std::string> m_numbers; // message number by subject as the index keeps it
};

// The page names of the theme: its template files.
std::vector<std::string> ThemePages()
{
    std::vector<std::string> pages;
    for (const fs::directory_entry& file : fs::directory_iterator(fs::path(QM_SOURCE_DIR) / "data/Templates/Globe")) {
        if (file.path().extension() == ".html") {
            pages.push_back(file.path().stem().string());
        }
    }
    std::sort(pages.begin(), pages.end());
    return pages;
}

TEST_F(PageRenderTest, EveryPageRendersInBothLanguagesWithoutUnknownTags)
{
    const std::vector<std::string> pages = ThemePages();
    ASSERT_GE(pages.size(), 20u);
    const std::string attachments = Number("Agenda and a picture for Thursday");
    ASSERT_FALSE(attachments.empty());
    for (const std::string lang : {"en", "de"}) {
        SCOPED_TRACE(lang);
        const std::string session = LogOn(lang);
        ASSERT_EQ(session.size(), 7u);
        const std::string errorTitle = Title(Page(session, "View=Error").Body);
        ASSERT_FALSE(errorTitle.empty());
        for (const std::string& page : pages) {
            if (page == "Logout") {
                continue; // ends the session: last
            }
            SCOPED_TRACE(page);
            std::vector<std::string> queries = {"View=" + page + "&Lang=" + lang};
            if (page == "Message") {
                for (const auto& [subject, number] : m_numbers) {
                    queries.push_back("View=Message&Lang=" + lang + "&Number=" + number);
                }
            }
            if (page == "List") {
                for (const char* folder : {"Inbox", "Projects", "Archive", "Trash", "Sent"}) {
                    queries.push_back("View=List&Lang=" + lang + "&Folder=" + folder);
                }
                queries.push_back("View=List&Lang=" + lang + "&Folder=Archive&Page=2");
            }
            for (const std::string& query : queries) {
                SCOPED_TRACE(query);
                const CurlReply reply = Page(session, query);
                EXPECT_EQ(reply.Status, 200u) << reply.Head;
                EXPECT_NE(reply.Body.find("<html lang=\"" + lang + "\""), std::string::npos) << reply.Body;
                if (page != "Error") {
                    EXPECT_NE(Title(reply.Body), errorTitle) << "the page fell back to the Error page";
                }
                // Every tag was expanded or dropped; none reaches the browser.
                EXPECT_EQ(reply.Body.find("<$"), std::string::npos) << reply.Body;
                EXPECT_EQ(reply.Body.find("[$"), std::string::npos) << reply.Body;
            }
        }
        const CurlReply logout = Page(session, "View=Logout&Lang=" + lang);
        EXPECT_EQ(logout.Status, 200u);
        EXPECT_NE(logout.Body.find("View=Main\">"), std::string::npos) << "no way to log on again: " << logout.Body;
    }
    // The sessionless pages.
    for (const std::string lang : {"en", "de"}) {
        EXPECT_EQ(Curl({m_install.MailUrl("Lang=" + lang)}).Status, 200u);
    }
    const std::vector<std::string> unknown = UnknownTagLines(m_install.EngineLog());
    EXPECT_TRUE(unknown.empty()) << ::testing::PrintToString(unknown);
}

// The href of the pager's link with rel, the entities of the page undone.
std::string PagerLink(const std::string& page, const std::string& rel)
{
    const std::regex link("rel=\"" + rel + "\" href=\"([^\"]*)\"");
    std::smatch match;
    if (!std::regex_search(page, match, link)) {
        return {};
    }
    return std::regex_replace(match[1].str(), std::regex("&amp;"), "&");
}

TEST_F(PageRenderTest, EveryFolderShowsItsNameTheEmptyOneSaysSoAndThePagerWalksThePages)
{
    const std::string session = LogOn("en");
    ASSERT_EQ(session.size(), 7u);
    const std::string empty = EnglishMessageText("There are no messages here.");

    const CurlReply projects = Page(session, "View=List&Folder=Projects");
    EXPECT_NE(projects.Body.find("<h1>Projects</h1>"), std::string::npos) << projects.Body;
    EXPECT_EQ(ListedNumbers(projects.Body), std::vector<std::string>{Number("Project plan, second draft")});
    const CurlReply trash = Page(session, "View=List&Folder=Trash");
    EXPECT_NE(trash.Body.find("<h1>" + EnglishMessage(5) + "</h1>"), std::string::npos) << trash.Body;
    EXPECT_NE(trash.Body.find(empty), std::string::npos) << trash.Body;
    EXPECT_TRUE(ListedNumbers(trash.Body).empty());
    const CurlReply inbox = Page(session, "View=List&Folder=Inbox");
    EXPECT_NE(inbox.Body.find("<h1>" + EnglishMessage(2) + "</h1>"), std::string::npos) << inbox.Body;
    EXPECT_EQ(ListedNumbers(inbox.Body).size(), 3u) << inbox.Body;
    EXPECT_EQ(inbox.Body.find(empty), std::string::npos);

    // A search shows what it looks for, escaped where it stands, and finds by subject.
    const CurlReply search = Page(session, "View=List&Folder=Archive&Search=%22%3E%3Cb%3EArchived+1");
    EXPECT_EQ(search.Body.find("\"><b>Archived"), std::string::npos) << search.Body;
    EXPECT_NE(search.Body.find("<q class=\"search-term\">&quot;&gt;&lt;b&gt;Archived 1</q>"), std::string::npos)
            << search.Body;
    EXPECT_TRUE(ListedNumbers(search.Body).empty()) << "no subject holds the quote";
    const CurlReply found = Page(session, "View=List&Search=Archived+1");
    EXPECT_EQ(ListedNumbers(found.Body).size(), 4u) << "Archived 1, 10, 11 and 12: " << found.Body;
    (void)Page(session, "View=List&Search=");

    // Twelve messages, five a page, newest first: the pager's links lead through the three pages and back.
    std::set<std::string> seen;
    CurlReply page = Page(session, "View=List&Folder=Archive");
    EXPECT_NE(page.Body.find("<h1>Archive</h1>"), std::string::npos) << page.Body;
    for (const std::size_t want : {5u, 5u, 2u}) {
        const std::vector<std::string> numbers = ListedNumbers(page.Body);
        EXPECT_EQ(numbers.size(), want) << page.Body;
        seen.insert(numbers.begin(), numbers.end());
        const std::string next = PagerLink(page.Body, "next");
        ASSERT_FALSE(next.empty()) << page.Body;
        page = WithJar({m_install.Server().Url(next)});
    }
    EXPECT_EQ(seen.size(), 12u) << "every message on one page";
    EXPECT_EQ(ListedNumbers(page.Body).size(), 2u) << "past the last page the last one shows";
    const std::vector<std::string> newest = ListedNumbers(page.Body);
    const CurlReply first = WithJar({m_install.Server().Url(PagerLink(page.Body, "first"))});
    ASSERT_FALSE(ListedNumbers(first.Body).empty()) << first.Body;
    EXPECT_EQ(ListedNumbers(first.Body).front(), Number("Archived 12")) << first.Body;
    const CurlReply last = WithJar({m_install.Server().Url(PagerLink(first.Body, "last"))});
    EXPECT_EQ(ListedNumbers(last.Body), newest);
}

TEST_F(PageRenderTest, TheFolderListCountsUnreadMessages)
{
    const std::string session = LogOn("en");
    ASSERT_EQ(session.size(), 7u);
    const CurlReply folders = Page(session, "View=Folders");
    // Two unread messages in the inbox, none elsewhere.
    const std::regex inbox("Folder=Inbox\"[^>]*>" + EnglishMessage(2) + " <span class=\"count\">2<");
    EXPECT_TRUE(std::regex_search(folders.Body, inbox)) << folders.Body;
    EXPECT_NE(folders.Body.find("data-folder=\"Projects\" data-unread=\"0\">Projects</a>"), std::string::npos)
            << folders.Body;

    // Reading one leaves one unread.
    (void)Page(session, "View=Message&Number=" + Number("Agenda and a picture for Thursday"));
    const CurlReply after = Page(session, "View=Folders");
    const std::regex one("Folder=Inbox\"[^>]*>" + EnglishMessage(2) + " <span class=\"count\">1<");
    EXPECT_TRUE(std::regex_search(after.Body, one)) << after.Body;
}

TEST_F(PageRenderTest, TheListActionsDoWhatTheySayAndSaySo)
{
    const std::string session = LogOn("en");
    ASSERT_EQ(session.size(), 7u);
    const std::string plan = Number("Project plan, second draft");
    const std::string welcome = Number("Welcome to Quillmail");
    ASSERT_FALSE(plan.empty());
    (void)Page(session, "View=List&Folder=Inbox");

    struct Case {
        std::vector<std::string> Fields;
        std::string Feedback;
    };

    const Case cases[] = {
            {{"Number=" + welcome, "MarkUnread=Yes"}, "Messages marked as unread: 1"},
            {{"Number=" + welcome, "MarkRead=Yes"}, "Messages marked as read: 1"},
            {{"MarkRead=Yes"}, "Tick the messages to work on first."},
            {{"Number=" + welcome, "Move=Yes"}, "Choose the folder to move or copy to first."},
            {{"Number=" + welcome, "Copy=Yes", "DestFolder=Projects"}, "Messages copied to Projects: 1"},
            {{"Number=" + welcome, "Move=Yes", "DestFolder=Archive"}, "Messages moved to Archive: 1"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.Feedback);
        const CurlReply reply = Post(session, "List", test.Fields);
        EXPECT_NE(reply.Body.find(test.Feedback), std::string::npos) << reply.Body;
    }
    // The welcome was copied to Projects and then moved from the inbox to Archive.
    EXPECT_EQ(ListedNumbers(Page(session, "View=List&Folder=Inbox").Body).size(), 2u);
    EXPECT_EQ(ListedNumbers(Page(session, "View=List&Folder=Projects").Body).size(), 2u);
    const std::vector<std::string> archive = ListedNumbers(Page(session, "View=List&Folder=Archive&Page=1").Body);
    EXPECT_NE(std::find(archive.begin(), archive.end(), welcome), archive.end());

    // Deleting from a folder moves to the trash; deleting there and emptying the trash removes for good.
    (void)Page(session, "View=List&Folder=Projects");
    const CurlReply deleted = Post(session, "List", {"Number=" + plan, "Delete=Yes"});
    EXPECT_NE(deleted.Body.find("Messages moved to Trash: 1"), std::string::npos) << deleted.Body;
    EXPECT_EQ(ListedNumbers(Page(session, "View=List&Folder=Trash").Body), std::vector<std::string>{plan});
    const CurlReply emptied = Post(session, "List", {"EmptyTrash=Yes"});
    EXPECT_NE(emptied.Body.find("The trash has been emptied."), std::string::npos) << emptied.Body;
    const CurlReply trash = Page(session, "View=List&Folder=Trash");
    EXPECT_TRUE(ListedNumbers(trash.Body).empty()) << trash.Body;
}

TEST_F(PageRenderTest, TheMessagePageShowsTheMessageAndItsActionsWork)
{
    const std::string session = LogOn("en");
    ASSERT_EQ(session.size(), 7u);
    const std::string agenda = Number("Agenda and a picture for Thursday");
    (void)Page(session, "View=List&Folder=Inbox");
    const CurlReply message = Page(session, "View=Message&Number=" + agenda);
    const std::string& body = message.Body;
    EXPECT_NE(body.find("Agenda and a picture for Thursday</h1>"), std::string::npos) << body;
    EXPECT_NE(body.find("alice@example.org"), std::string::npos);
    EXPECT_NE(body.find("the agenda for Thursday is attached"), std::string::npos) << body;
    // The text sent as an attachment and the picture are listed with their links; the text is not in the body.
    EXPECT_EQ(body.find(store::demo::kDemoAttachmentText), std::string::npos) << body;
    EXPECT_NE(body.find(">agenda.txt</a>"), std::string::npos) << body;
    EXPECT_NE(body.find(std::string(">") + store::demo::kDemoPictureName + "</a>"), std::string::npos) << body;

    // Each attachment link serves the part's decoded content.
    const auto download = [&](const std::string& name) {
        const std::regex attach("class=\"attachment\" href=\"([^\"]*View=Attachment[^\"]*)\" download>" + name + "<");
        std::smatch link;
        EXPECT_TRUE(std::regex_search(body, link, attach)) << name << "\n" << body;
        const std::string address = std::regex_replace(link[1].str(), std::regex("&amp;"), "&");
        return WithJar({m_install.Server().Url(address)});
    };
    const CurlReply part = download(store::demo::kDemoPictureName);
    EXPECT_EQ(part.Status, 200u);
    EXPECT_EQ(part.Header("Content-Type").value_or(""), "image/png") << part.Head;
    EXPECT_EQ(part.Body.size(), store::demo::kDemoPictureBytes) << part.Head;
    EXPECT_EQ(part.Body.rfind("\x89PNG\r\n\x1a\n", 0), 0u);
    const CurlReply attached = download("agenda\\.txt");
    EXPECT_EQ(attached.Header("Content-Type").value_or(""), "text/plain") << attached.Head;
    EXPECT_EQ(attached.Body.rfind(store::demo::kDemoAttachmentText, 0), 0u) << attached.Body;

    // The Latin-1 message reads in its real letters on the UTF-8 page.
    const CurlReply latin = Page(session, "View=Message&Number=" + Number("e aus K"));
    EXPECT_NE(latin.Body.find("Grüße aus Köln</h1>"), std::string::npos) << latin.Body;
    EXPECT_NE(latin.Body.find("Jürgen Müller"), std::string::npos);

    // Print and source write the message alone.
    const CurlReply print = Page(session, "View=Message&Print=Yes&Number=" + agenda);
    EXPECT_EQ(print.Body.rfind("<HTML>\r\n<BODY>\r\n<TT>\r\n", 0), 0u) << print.Body;
    const CurlReply source = Page(session, "View=Message&Source=Yes&Number=" + agenda);
    EXPECT_EQ(source.Header("Content-Type").value_or(""), "text/plain") << source.Head;
    EXPECT_NE(source.Body.find("boundary=\"demo-boundary-1\""), std::string::npos) << source.Body;

    // The sender goes into the address book once.
    for (const bool first : {true, false}) {
        const CurlReply added = Page(session, "View=Message&ToAddrBook=Yes&Number=" + agenda);
        EXPECT_NE(added.Body.find("The sender is in your address book."), std::string::npos) << added.Body;
        EXPECT_EQ(added.Body.find("Added to your address book: Alice Example") != std::string::npos, first)
                << added.Body;
    }
    const std::string book = TempDir::ReadFile(m_install.Path("Users/demo/AddrBook.txt"));
    EXPECT_EQ(book, "Alice Example\talice@example.org\t\r\n") << book;

    // Move to Projects: the next message shows; it is in Projects now.
    const CurlReply moved = Post(session, "Message", {"Number=" + agenda, "Move=Yes", "DestFolder=Projects"});
    EXPECT_NE(moved.Body.find("Messages moved to Projects: 1"), std::string::npos) << moved.Body;
    const std::vector<std::string> projects = ListedNumbers(Page(session, "View=List&Folder=Projects").Body);
    EXPECT_NE(std::find(projects.begin(), projects.end(), agenda), projects.end());
}

// Previous and next walk the inbox in its order (newest first); past either end the list shows and says why.
TEST_F(PageRenderTest, PreviousAndNextWalkTheListAndSayWhenTheyReachItsEnd)
{
    const std::string session = LogOn("en");
    ASSERT_EQ(session.size(), 7u);
    (void)Page(session, "View=List&Folder=Inbox");
    const std::string newest = Number("e aus K");
    const std::string agenda = Number("Agenda and a picture");
    const std::string oldest = Number("Welcome to Quillmail");

    struct Case {
        std::string From;
        std::string Button;
        std::string Shows; // the subject of the message shown, or the List page's hint
    };

    const Case cases[] = {
            {newest, "Next", "Agenda and a picture for Thursday</h1>"},
            {agenda, "Next", "Welcome to Quillmail</h1>"},
            {agenda, "Prev", "Köln</h1>"},
            {newest, "Prev", "There is no earlier message in this list."},
            {oldest, "Next", "There is no later message in this list."},
            // The agenda and the newest are read by now, the welcome was read before.
            {newest, "NextUnread", "There is no later unread message in this list."},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.Button + " from " + test.From);
        const CurlReply reply = Post(session, "Message", {"Number=" + test.From, test.Button + "=Yes"});
        EXPECT_NE(reply.Body.find(test.Shows), std::string::npos) << reply.Body;
    }
}

} // namespace
} // namespace qm::test
