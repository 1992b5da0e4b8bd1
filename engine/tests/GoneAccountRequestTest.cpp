// Whole requests about mail whose account is gone, with the shipped templates: a draft of the only account once it is
// deleted, and the read receipt of a message whose account is gone.
#include "engine/tests/RequestInstallation.h"
#include "store/MailHostList.h"
#include "store/MessageIndex.h"
#include "testsupport/SmtpSink.h"
#include "testsupport/TempDir.h"
#include "testsupport/WaitUntil.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qm::engine {
namespace {

using test::Answered;
using test::BrokenStore;
using test::RequestInstallation;
using test::RequestResponse;

class GoneAccountRequestTest : public ::testing::Test {
protected:
    static constexpr const char* kOffice = "[MailHost1]\r\nMailbox=Office\r\nFullName=Alice A\r\n"
                                           "EMail=alice@example.org\r\nHost=127.0.0.1\r\nColor=Style2\r\n"
                                           "Default=Yes\r\nActive=No\r\n";

    // The message of the session's index in folder with the subject, or null.
    static store::MessageIndexEntry* Find(Session& session, const std::string& folder, const std::string& subject)
    {
        store::MessageIndex& index = session.User().Messages();
        for (int i = 0; i < index.Count(); ++i) {
            store::MessageIndexEntry* entry = index.Entry(i);
            if (entry->Folder() == folder && entry->Subject() == subject) {
                return entry;
            }
        }
        return nullptr;
    }

    RequestInstallation m_install;
};

TEST_F(GoneAccountRequestTest, ADraftListsAndOpensOnceItsOnlyAccountIsDeleted)
{
    m_install.WriteUser(kOffice);
    Session* session = m_install.OpenSession();
    ASSERT_NE(session, nullptr);
    const std::string id = session->Id();
    ASSERT_TRUE(Answered(m_install.Send(id, "View=Compose&New=1")));
    ASSERT_TRUE(Answered(m_install.Send(id, "View=Compose",
                                        "SendLater=1&From=0&To=bob%40example.org&Subject=Kept"
                                        "&Body=Unfinished")));
    store::MessageIndexEntry* draft = Find(*session, "Drafts", "Kept");
    ASSERT_NE(draft, nullptr);
    EXPECT_EQ(draft->Mailbox(), "Office");
    const std::string number = std::to_string(draft->Number());

    const RequestResponse deleted = m_install.Send(id, "View=Options-Hosts&Delete=Office");
    EXPECT_NE(deleted.Page().find("The mail account Office has been removed."), std::string::npos) << deleted.Text;
    ASSERT_EQ(session->User().MailHosts().Count(), 0);

    // The list shows the draft in the colour of no account, and the draft opens for writing.
    const RequestResponse drafts = m_install.Send(id, "View=List&Folder=Drafts");
    ASSERT_TRUE(Answered(drafts));
    EXPECT_NE(drafts.Page().find("<tr class=\"Style1"), std::string::npos) << drafts.Page();
    EXPECT_NE(drafts.Page().find("Kept"), std::string::npos);
    const RequestResponse opened = m_install.Send(id, "View=Message&Number=" + number);
    ASSERT_TRUE(Answered(opened));
    EXPECT_NE(opened.Page().find("Unfinished"), std::string::npos) << opened.Page();
    EXPECT_TRUE(Answered(m_install.Send(id, "View=Main")));
    m_install.CloseSession(id);
}

TEST_F(GoneAccountRequestTest, AReadReceiptOfAGoneAccountGoesFromTheDefaultAccountAndNoneWithoutAccounts)
{
    // With an account left, the receipt goes from it.
    qm::test::TempDir sinkDir("qm-receipt-sink");
    qm::test::SmtpSink sink(sinkDir.Path());
    ASSERT_EQ(sink.Start(), "");
    m_install.WriteDomains(sink.Port(), "HeloDomain=mail.example.org\r\n");
    m_install.WriteUser(kOffice);
    Session* session = m_install.OpenSession();
    ASSERT_NE(session, nullptr);
    std::string id = session->Id();
    BrokenStore numbers = RequestInstallation::LayOutBrokenStore(*session);
    EXPECT_TRUE(Answered(m_install.Send(id, "View=Message&Number=" + std::to_string(numbers.ReceiptOfGoneAccount))));
    ASSERT_TRUE(qm::test::WaitUntil([&] { return sink.HasReceived("message1.data"); })) << sink.Errors();
    const std::string envelope = sink.Received("message1.envelope");
    EXPECT_NE(envelope.find("from alice@example.org"), std::string::npos) << envelope;
    EXPECT_NE(envelope.find("rcpt bob@example.org"), std::string::npos) << envelope;
    const std::string data = sink.Received("message1.data");
    EXPECT_NE(data.find("From: \"Alice A\" <alice@example.org>\r\n"), std::string::npos) << data;
    m_install.CloseSession(id);

    // Without any account there is no sender: nothing is sent, and the request is cleared all the same.
    m_install.WriteDomains();
    m_install.WriteUser();
    session = m_install.OpenSession();
    ASSERT_NE(session, nullptr);
    id = session->Id();
    numbers = RequestInstallation::LayOutBrokenStore(*session);
    EXPECT_TRUE(Answered(m_install.Send(id, "View=Message&Number=" + std::to_string(numbers.ReceiptOfGoneAccount))));
    const store::MessageIndexEntry* receipt = session->User().Messages().FindByNumber(numbers.ReceiptOfGoneAccount);
    ASSERT_NE(receipt, nullptr);
    EXPECT_FALSE(receipt->HasFlag(store::MessageFlag::ConfirmReading));
    EXPECT_NE(m_install.Harness().Log().find("No read confirmation: the user has no e-mail address."),
              std::string::npos);
    EXPECT_TRUE(Answered(m_install.Send(id, "View=List")));
    m_install.CloseSession(id);
}

} // namespace
} // namespace qm::engine
