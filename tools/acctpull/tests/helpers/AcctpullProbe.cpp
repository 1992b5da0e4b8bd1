// Prints the accounts Acctpull offers from the system's account list, one line each: "name TAB full name".
// Usage: qm_acctpull_probe USERDIR
// Exit codes: 0 listed; 1 the list could not be read, or no USERDIR.
#include "platform/SystemAccounts.h"
#include "tools/acctpull/Acctpull.h"

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 2) {
        return 1;
    }
    auto accounts = qm::platform::ListSystemAccounts();
    if (!accounts) {
        (void)std::fprintf(stderr, "%s\n", accounts.error().Message.c_str());
        return 1;
    }
    for (const auto& candidate : qm::tools::OfferedAccounts(*accounts, argv[1])) {
        (void)std::printf("%s\t%s\n", candidate.Name.c_str(), candidate.FullName.c_str());
    }
    return 0;
}
