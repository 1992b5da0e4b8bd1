// Prints the system's accounts as ListSystemAccounts gives them, for the test that runs it over a made-up account
// list: one line each, "name TAB uid TAB full name".
// Usage: qm_system_accounts_probe [COUNT]   lists COUNT times (default 1), a line "--" after each listing.
// Exit codes: 0 listed; 1 the listing failed (the reason on stderr).
#include "platform/SystemAccounts.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    const int count = argc > 1 ? std::atoi(argv[1]) : 1;
    for (int round = 0; round < count; ++round) {
        auto accounts = qm::platform::ListSystemAccounts();
        if (!accounts) {
            (void)std::fprintf(stderr, "%s (%d)\n", accounts.error().Message.c_str(), accounts.error().Code);
            return 1;
        }
        for (const auto& account : *accounts) {
            (void)std::printf("%s\t%u\t%s\n", account.Name.c_str(), account.Uid, account.FullName.c_str());
        }
        (void)std::printf("--\n");
    }
    return 0;
}
