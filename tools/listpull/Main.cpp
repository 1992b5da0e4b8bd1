// Listpull: creates Quillmail accounts for the users listed in a tab-separated text file, one line each: account
// name, full name, POP user, POP password and optionally the web password. Each account is a directory below the
// installation's users directory with a User.ini holding the web password and one POP3 mail account.
//
// Usage: Listpull InputFile QuillmailDir DomainName [/H=PopHost] [/P=PopPort] [/N=name] [/D=x]
//        (Listpull with no arguments prints the whole usage.)
//
// Trust: run by the administrator, with the rights of the installation's owner. The command line and the
// installation's Quillmail.ini are trusted; the input file is not: every line is bounded (511 bytes, each field
// its width), an account name must be one plain path component, and nothing outside the users directory is
// written. Passwords are written scrambled (or with their marker), never printed.
//
// Exit codes: 0 the file was read to its end (lines that were refused are reported and counted); 1 the usage was
// printed, or the input file or the users directory is missing, cannot be opened or cannot be read.
#include "tools/listpull/Listpull.h"

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    const auto options = qm::tools::ParseListpullArguments(arguments);
    if (!options) {
        qm::tools::PrintUsage(stdout);
        return 1;
    }
    return qm::tools::RunListpull(*options, stdout);
}
