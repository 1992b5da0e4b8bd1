#include "engine/MailFetch.h"

#include "common/IniAccess.h"
#include "common/StringUtil.h"
#include "engine/Session.h"
#include "engine/UserRecord.h"
#include "store/MailHostList.h"
#include "store/MessageIndex.h"
#include "store/Pop3Client.h"

#include <mutex>

namespace qm::engine {
namespace {

// Puts a client into the session's slot for its run and takes it out again, both under the client lock, before the
// client is destroyed: the status page reads the slot's client under that lock from other threads.
class SlotHold {
public:
    SlotHold(Session* session, store::Pop3Client& client)
        : m_session(session)
    {
        if (m_session != nullptr) {
            std::lock_guard lock(m_session->ClientLock());
            m_session->SetPop3Client(&client);
        }
    }

    ~SlotHold()
    {
        if (m_session != nullptr) {
            std::lock_guard lock(m_session->ClientLock());
            m_session->SetPop3Client(nullptr);
        }
    }

    SlotHold(const SlotHold&) = delete;
    SlotHold& operator=(const SlotHold&) = delete;

private:
    Session* m_session;
};

void Count(const Pop3RunSite& site, StatusWord word)
{
    if (site.Status != nullptr) {
        AddToStatus(*site.Status, word, 1);
    }
}

std::int64_t RetrCutoff()
{
    return ReadIniInt("PopClient", "RetrCutoff", static_cast<int>(kDefaultRetrCutoff));
}

} // namespace

int FetchFailureMessage(int pop3Result)
{
    switch (pop3Result) {
    case store::kPop3MailboxLocked:
        return 0;
    case store::kPop3LogonRefused:
        return kTextFetchBadLogon;
    case store::kPop3ConnectError:
        return kTextFetchNoConnection;
    default:
        return kTextFetchFailed;
    }
}

FetchReport FetchNewMailForUser(UserRecord& user, const Pop3RunSite& site, const std::function<bool()>& skip)
{
    FetchReport report;
    const std::int64_t cutoff = RetrCutoff();
    store::MailHostList& accounts = user.MailHosts();
    for (int i = 0; i < accounts.Count(); ++i) {
        const store::MailHostAccount& account = accounts.Item(i);
        if (!account.Active() || (skip && skip())) {
            continue;
        }
        ++report.Runs;
        Count(site, StatusWord::Pop3Sessions);
        store::Pop3Client client(&user, account, site.Log);
        bool fetched = false;
        {
            const SlotHold hold(site.Slot, client);
            fetched = client.FetchNewMail(cutoff);
        }
        // Messages stored by a run that failed later are in the index all the same: they count as received.
        const int retrieved = client.MessagesRetrieved();
        report.Retrieved += retrieved;
        if (retrieved > 0) {
            (void)user.AddStat("Received", retrieved);
        }
        if (const int skipped = client.MessagesSkipped(); skipped > 0) {
            (void)user.AddStat("RecvSkipped", skipped);
        }
        if (!fetched) {
            Count(site, StatusWord::Pop3Failures);
            (void)user.AddStat("RecvErrors", 1);
            report.Failures.push_back({account.Mailbox(), client.GetResult()});
        }
        user.WriteStoreStats();
    }
    return report;
}

bool DeleteOnServers(UserRecord& user, const Pop3RunSite& site)
{
    bool allDone = true;
    store::MailHostList& accounts = user.MailHosts();
    for (int i = 0; i < accounts.Count(); ++i) {
        const store::MailHostAccount& account = accounts.Item(i);
        if (account.Delete() == 0) {
            continue;
        }
        store::Pop3Client client(&user, account, site.Log);
        const SlotHold hold(site.Slot, client);
        allDone = client.DeleteFromServer() && allDone;
    }
    return allDone;
}

int RetrieveWholeMessage(UserRecord& user, store::MessageIndexEntry& entry, const Pop3RunSite& site)
{
    store::MailHostList& accounts = user.MailHosts();
    for (int i = 0; i < accounts.Count(); ++i) {
        const store::MailHostAccount& account = accounts.Item(i);
        if (entry.Mailbox().empty() || !EqualsNoCase(account.Mailbox(), entry.Mailbox())) {
            continue;
        }
        Count(site, StatusWord::Pop3Sessions);
        store::Pop3Client client(&user, account, site.Log);
        int stored = 0;
        {
            const SlotHold hold(site.Slot, client);
            stored = client.RetrieveMessage(entry);
        }
        if (client.MessagesSkipped() > 0) {
            (void)user.AddStat("RecvSkipped", client.MessagesSkipped());
        }
        if (stored != 1) {
            Count(site, StatusWord::Pop3Failures);
            (void)user.AddStat("RecvErrors", 1);
            return 0;
        }
        (void)user.AddStat("Received", client.MessagesRetrieved());
        user.WriteStoreStats();
        return 1;
    }
    return -1;
}

} // namespace qm::engine
