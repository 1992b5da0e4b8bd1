// Every view and every action of the mail and options pages, with the shipped templates, for users whose store
// holds what no page may choke on: no mail account, no folder beyond the special ones, an empty index, and messages
// whose account, file, part index or folder is gone. Each request must be answered and the next one served, as the
// host serves every user of the machine.
#include "engine/tests/RequestInstallation.h"
#include "store/MailHostList.h"
#include "store/MessageIndex.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <tuple>
#include <vector>

namespace qm::engine {
namespace {

using test::Answered;
using test::BrokenStore;
using test::RequestInstallation;
using test::RequestResponse;

// One case: requests of one session in order; "{draft}" and the like stand for the numbers of BrokenStore's
// messages, "{all}" for a Number field of each. A request that starts "POST " sends its fields as a form body.
struct PageCase {
    std::vector<std::string> Requests;
    // A page has a body; the Attachment, StatusCheck and installer answers may have none (an unknown part, no
    // question, no installer) but still a head.
    bool Page = true;
};

std::string Replace(std::string text, const std::string& from, const std::string& to)
{
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

std::string WithNumbers(std::string text, const BrokenStore& store)
{
    std::string all;
    for (const std::uint32_t number : store.All()) {
        all += (all.empty() ? "Number=" : "&Number=") + std::to_string(number);
    }
    text = Replace(text, "{all}", all);
    text = Replace(text, "{draft}", std::to_string(store.DraftOfGoneAccount));
    text = Replace(text, "{receipt}", std::to_string(store.ReceiptOfGoneAccount));
    text = Replace(text, "{headers}", std::to_string(store.HeadersOnly));
    text = Replace(text, "{file}", std::to_string(store.FileGone));
    text = Replace(text, "{parts}", std::to_string(store.PartsGone));
    return Replace(text, "{folder}", std::to_string(store.FolderGone));
}

// What the Message view is asked to do with each message.
const char* const kMessageActions[] = {
        "",
        "&Print=1",
        "&Source=1",
        "&ToAddrBook=1",
        "&Prev=1",
        "&Next=1",
        "&NextUnread=1",
        "&Delete=1",
        "&Move=1&DestFolder=Old",
        "&Move=1&DestFolder=Sent",
        "&Copy=1&DestFolder=Drafts",
};

// The groups of cases, each run as a test of its own.
enum class PageGroup {
    MainAndList,
    MessagesOfGoneAccounts, // the draft, the receipt and the headers-only message
    MessagesWithGoneFiles,  // the messages whose file, parts or folder is gone, and numbers of none
    AttachmentsAndCompose,
    OptionsAndOthers,
};

std::vector<PageCase> MessageCases(std::initializer_list<const char*> messages)
{
    std::vector<PageCase> cases;
    for (const char* message : messages) {
        for (const char* action : kMessageActions) {
            cases.push_back({{std::string("View=Message&Number=") + message + action}});
        }
    }
    return cases;
}

std::vector<PageCase> CasesOf(PageGroup group)
{
    switch (group) {
    case PageGroup::MessagesOfGoneAccounts:
        return MessageCases({"{draft}", "{receipt}", "{headers}"});
    case PageGroup::MessagesWithGoneFiles: {
        std::vector<PageCase> cases = MessageCases({"{file}", "{parts}", "{folder}", "999999", "abc"});
        cases.insert(cases.end(), {{{"View=Message"}}, {{"View=Message&FirstUnread=1"}}, {{"View=Message&Next=1"}}});
        return cases;
    }
    case PageGroup::MainAndList:
        return {
                // Main and the frame set.
                {{"View=Main"}},
                {{"View=Main&Folder=Drafts"}},
                {{"View=Main&Folder=Old"}},
                {{"View=Main&FirstUnread=1"}},
                {{"View=Main&FrameView=Options-Hosts"}},
                {{"View=Main&FrameView=Nope"}},
                {{"Frames=1"}},
                {{"Frames=1&View=Options-Hosts"}},
                {{"View=Folders"}},
                // The list, in every folder and with every action.
                {{"View=List"}},
                {{"View=List&Folder=Drafts"}},
                {{"View=List&Folder=Sent"}},
                {{"View=List&Folder=Trash"}},
                {{"View=List&Folder=Old"}},
                {{"View=List&Folder=..%2FNope"}},
                {{"View=List&Change=1&DestFolder=Drafts"}},
                {{"View=List&Sort=From"}},
                {{"View=List&Folder=Sent&Sort=RevFrom"}},
                {{"View=List&Sort=RevMailbox"}},
                {{"View=List&EmptyTrash=1"}},
                {{"View=List&MarkRead=1&{all}"}},
                {{"View=List&MarkUnread=1&{all}"}},
                {{"View=List&Delete=1&{all}"}},
                {{"View=List&Delete=1&{all}", "View=List&Folder=Trash&Delete=1&{all}", "View=List&EmptyTrash=1"}},
                {{"View=List&Move=1&DestFolder=Old&{all}"}},
                {{"View=List&Move=1&DestFolder=Trash&{all}"}},
                {{"View=List&Copy=1&DestFolder=Inbox&{all}"}},
                {{"View=List&Copy=1&DestFolder=Nope&{all}"}},
                {{"View=List&Delete=1&Number=999999&Number=abc&Number=-1&Number="}},
                {{"View=List&Reload=1"}},
                {{"View=List&Search=text"}},
                {{"View=List&Mailbox=Gone"}},
                {{"View=List&Page=9"}},
                {{"View=List&Page=-5"}},
                {{"View=List&Page=99999999999999999999"}},
        };
    case PageGroup::AttachmentsAndCompose:
        return {
                // Attachments of messages whose parts are gone, and of none.
                {{"View=Attachment"}, false},
                {{"View=Attachment&Number={parts}&Part=1.0"}, false},
                {{"View=Attachment&Number={parts}&Part=2.0"}, false},
                {{"View=Attachment&Number={parts}&Filename=a.png"}, false},
                {{"View=Attachment&Number={file}&Part=1.0"}, false},
                {{"View=Attachment&Number={folder}&CID=x"}, false},
                {{"View=Attachment&Number={headers}&Part=99.99"}, false},
                {{"View=Attachment&Number={parts}&Part=-1.-1"}, false},
                // Writing mail without an account, from messages that are gone.
                {{"View=Compose"}},
                {{"View=Compose&New=1"}},
                {{"View=Compose&Reply=1"}},
                {{"View=Message&Number={file}", "View=Compose&Reply=1"}},
                {{"View=Message&Number={folder}", "View=Compose&ReplyAll=1"}},
                {{"View=Message&Number={parts}", "View=Compose&Forward=1"}},
                {{"View=Message&Number={headers}", "View=Compose&Forward=1"}},
                {{"View=Message&Number={receipt}", "View=List&Delete=1&Number={receipt}", "View=Compose&Reply=1"}},
                {{"View=Compose&Cancel=1"}},
                {{"View=Compose&Finished=1"}},
                {{"View=Compose&From=0"}},
                {{"View=Compose&From=7&Mailbox=Gone"}},
                {{"POST View=Compose&SendNow=1&To=bob%40example.org&Subject=Hi&Body=Hello"}},
                {{"POST View=Compose&SendNow=1&FaxCompose=1&To=%2B1+555&Body=Fax"}},
                {{"POST View=Compose&SendLater=1&To=bob%40example.org&Body=Later"}},
                {{"POST View=Compose&SendLater=1&SourceMessage={file}&Body=Again"}},
                {{"POST "
                  "View=Compose&SendNow=1&To=bob%40example.org&Body=x&ReplyMessage={folder}&ForwardMessage={parts}"}},
                {{"View=Compose&Remove=1&Attachments=..%2FUser.ini"}},
                {{"View=Compose&Attach=1"}},
                {{"View=Compose&SpellCheck=1&Body=Helo"}},
                {{"View=Compose-SpellCheck&Correct=1&WORD0=Hello&AddToDictionary=1"}},
                {{"View=Compose-SpellCheck&AddWord=Quillmail"}},
                {{"View=Compose-Attach"}},
        };
    case PageGroup::OptionsAndOthers:
        return {
                // The options pages.
                {{"View=Options"}},
                {{"View=Options-Prefs"}},
                {{"View=Options-Prefs&Save=1"}},
                {{"View=Options-Prefs&Finished=1&Pass=a&ConfirmPass=b"}},
                {{"View=Options-Prefs&Save=1&UserLang=de&UserTheme=Nope&UserStyle=Large"}},
                {{"View=Options-Prefs&Save=1&Dictionary=one+two%3Bthree"}},
                {{"View=Options-Prefs&Save=1&USER%3AListPerPage=0"}},
                {{"View=Options-Prefs&Cancel=1"}},
                {{"View=Options-Hosts"}},
                {{"View=Options-Hosts&Delete=Gone"}},
                {{"View=Options-Hosts&Delete="}},
                {{"View=Options-Hosts&Save=1&Mailbox%3A0=New&OldMailbox%3A0=Gone&MailEMail%3A0=a%40b.org"
                  "&MailHost%3A0=127.0.0.1&MailUser%3A0=u&MailPass%3A0=p"}},
                {{"View=Options-Hosts&Save=1&Mailbox%3A0=&MailEMail%3A0=a"}},
                {{"View=Options-Hosts&Finished=1"}},
                {{"View=Options-Hosts&Cancel=1"}},
                {{"View=Options-Filters"}},
                {{"View=Options-Filters&Save=1&FilterWhat%3A1=S&FilterMatch%3A1=C&FilterLiteral%3A1=x"
                  "&FilterFolder%3A1=Old"}},
                {{"View=Options-Filters&FilterDelete%3A1=1"}},
                {{"View=Options-Filters&FilterDelete%3A999=1&Save=1"}},
                {{"View=Options-Filters&FilterUp%3A1.x=1"}},
                {{"View=Options-Filters&FilterDown%3A0.x=1"}},
                {{"View=Options-Filters&Apply=1&DestFolder=Old"}},
                {{"View=Options-Filters&Apply=1&DestFolder=Inbox&ApplyToSubfolders=1"}},
                {{"View=Options-Folders"}},
                {{"View=Options-Folders&Create=1&NewFolder=New&NewFolderParent=Old"}},
                {{"View=Options-Folders&Create=1&NewFolder=.."}},
                {{"View=Options-Folders&Rename=1&OldFolder=Old&Folder=Older"}},
                {{"View=Options-Folders&Rename=1&OldFolder=Inbox&Folder=X"}},
                {{"View=Options-Folders&Delete=Old"}},
                {{"View=Options-Folders&Delete=Inbox"}},
                {{"View=Options-Folders&Delete=Nope&Finished=1"}},
                {{"View=Options-AddrBook"}},
                {{"View=Options-AddrBook&Save=1&AddrEMail%3A1=a%40b.org&AddrName%3A1=A"}},
                {{"View=Options-AddrBook&Delete=1&Number=1&Number=nope"}},
                {{"View=Options-AddrBook&Sort=x"}},
                // The views without an action, the unknown ones and the end.
                {{"View=Error"}},
                {{"View=Logon"}},
                {{"View=NewUser"}},
                {{"View=StatusCheck"}, false},
                {{"View=HELP"}},
                {{"View=Nope"}},
                {{"View=QMWatchInstall.exe"}, false},
                {{"View=Logout"}},
        };
    }
    return {};
}

// The user's state before each case.
enum class UserState {
    NoAccountsNoMail,     // no mail account, the special folders only, an empty index
    NoAccountsBrokenMail, // no mail account, and the messages of BrokenStore
    AccountsBrokenMail,   // an account that is not the messages', and the messages of BrokenStore
};

class BrokenStoreRequestTest : public ::testing::TestWithParam<std::tuple<UserState, PageGroup>> {
protected:
    // The user laid out in the state of the test, with a session of her own.
    std::string Prepare(BrokenStore& numbers)
    {
        const UserState state = std::get<UserState>(GetParam());
        m_install.WriteUser(state == UserState::AccountsBrokenMail
                                    ? "[MailHost1]\r\nMailbox=Office\r\nEMail=alice@example.org\r\nHost=127.0.0.1\r\n"
                                      "Port=" +
                                              std::to_string(m_install.Port()) +
                                              "\r\nColor=Style2\r\nDefault=Yes\r\nActive=No\r\n"
                                    : "");
        Session* session = m_install.OpenSession();
        if (session == nullptr) {
            ADD_FAILURE() << "no session";
            return {};
        }
        if (state != UserState::NoAccountsNoMail) {
            numbers = RequestInstallation::LayOutBrokenStore(*session);
        }
        return session->Id();
    }

    // The request text as Send takes it: the query, or the form body of a "POST " request.
    RequestResponse Send(const std::string& id, const std::string& request)
    {
        if (request.rfind("POST ", 0) == 0) {
            const std::string fields = request.substr(5);
            const std::size_t view = fields.find('&');
            return m_install.Send(id, fields.substr(0, view), view == std::string::npos ? "" : fields.substr(view + 1));
        }
        return m_install.Send(id, request);
    }

    RequestInstallation m_install;
};

TEST_P(BrokenStoreRequestTest, EveryViewAndActionIsAnsweredAndTheNextRequestServed)
{
    for (const PageCase& c : CasesOf(std::get<PageGroup>(GetParam()))) {
        BrokenStore numbers;
        const std::string id = Prepare(numbers);
        ASSERT_FALSE(id.empty());
        for (const std::string& step : c.Requests) {
            const std::string request = WithNumbers(step, numbers);
            SCOPED_TRACE(request);
            const RequestResponse response = Send(id, request);
            EXPECT_TRUE(Answered(response, c.Page));
        }
        // The same session, or the Logon page once the case has ended it, goes on.
        SCOPED_TRACE("after " + c.Requests.back());
        EXPECT_TRUE(Answered(m_install.Send(id, "View=List")));
        EXPECT_TRUE(Answered(m_install.Send(id, "View=Main")));
        m_install.CloseSession(id);
    }
}

std::string NameOf(UserState state)
{
    switch (state) {
    case UserState::NoAccountsNoMail:
        return "NoAccountsNoMail";
    case UserState::NoAccountsBrokenMail:
        return "NoAccountsBrokenMail";
    case UserState::AccountsBrokenMail:
        return "AccountsBrokenMail";
    }
    return "Unknown";
}

std::string NameOf(PageGroup group)
{
    switch (group) {
    case PageGroup::MainAndList:
        return "MainAndList";
    case PageGroup::MessagesOfGoneAccounts:
        return "MessagesOfGoneAccounts";
    case PageGroup::MessagesWithGoneFiles:
        return "MessagesWithGoneFiles";
    case PageGroup::AttachmentsAndCompose:
        return "AttachmentsAndCompose";
    case PageGroup::OptionsAndOthers:
        return "OptionsAndOthers";
    }
    return "Unknown";
}

INSTANTIATE_TEST_SUITE_P(
        Users, BrokenStoreRequestTest,
        ::testing::Combine(::testing::Values(UserState::NoAccountsNoMail, UserState::NoAccountsBrokenMail,
                                             UserState::AccountsBrokenMail),
                           ::testing::Values(PageGroup::MainAndList, PageGroup::MessagesOfGoneAccounts,
                                             PageGroup::MessagesWithGoneFiles, PageGroup::AttachmentsAndCompose,
                                             PageGroup::OptionsAndOthers)),
        [](const ::testing::TestParamInfo<std::tuple<UserState, PageGroup>>& param) {
            return NameOf(std::get<UserState>(param.param)) + "In" + NameOf(std::get<PageGroup>(param.param));
        });

} // namespace
} // namespace qm::engine
