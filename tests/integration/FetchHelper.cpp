// qm_fetch_helper: fetches new mail for one user once, the way a session does it: the user's record is opened, the
// message files a killed run left without an index entry are adopted, every active account is fetched, and the
// index is saved. The crash test kills it at random points.
//
// Usage: qm_fetch_helper INI USER HOST PORT POPUSER PASSWORD MAILBOX DELETE
//   INI      the main INI ([Directories] UserDir and TempDir)
//   DELETE   the account's Delete setting (2: delete on the server once retrieved)
// Trusts its arguments and the server it is pointed at; a test program, never installed.
// Exit codes: 0 fetched and saved, 1 the fetch or the save failed, 2 bad arguments or no user record.
#include "common/IniAccess.h"
#include "common/LogFile.h"
#include "engine/Engine.h"
#include "engine/EngineMessages.h"
#include "engine/MailFetch.h"
#include "engine/SessionMail.h"
#include "engine/UserRecord.h"
#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "store/MailHostList.h"

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv)
{
    using namespace qm;
    using namespace qm::engine;
    if (argc != 9) {
        (void)std::fprintf(stderr, "usage: qm_fetch_helper INI USER HOST PORT POPUSER PASSWORD MAILBOX DELETE\n");
        return 2;
    }
    SetMainIniPath(argv[1]);
    SetDomainsIniPath(platform::PathJoin(platform::ParentDirectory(argv[1]), "Domains.Ini"));
    RegisterEngineMessages();
    const std::string tempRoot = ReadIniString("Directories", "TempDir", "");
    LogFile log(tempRoot.c_str(), "fetch.log", "", "", 0);
    auto record = UserRecord::Open(argv[2]);
    if (!record) {
        (void)std::fprintf(stderr, "no user record for %s\n", argv[2]);
        return 2;
    }
    UserRecord& user = **record;
    const std::string scratch = platform::PathJoin(tempRoot, "fetch-scratch");
    (void)platform::MakeDirectories(scratch);
    AdoptFolderFiles(user, scratch);

    store::MailHostAccount& account = user.MailHosts().NewAccount();
    (void)account.SetMailbox(argv[7]);
    (void)account.SetHost(argv[3]);
    account.SetPort(std::atoi(argv[4]));
    (void)account.SetUser(argv[5]);
    (void)account.SetPass(argv[6]);
    account.SetDelete(std::atoi(argv[8]));
    account.SetActive(true);

    const FetchReport report = FetchNewMailForUser(user, Pop3RunSite{nullptr, nullptr, &log});
    const bool saved = SaveMessageIndex(user, log);
    (void)std::printf("retrieved %d, failures %zu\n", report.Retrieved, report.Failures.size());
    return report.Failures.empty() && saved ? 0 : 1;
}
