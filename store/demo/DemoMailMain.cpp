// qm_demo_mail: gives a user of an installation a few messages, stored through the message builder as fetched
// mail is: a read welcome, an unread message with two attachments, an unread message in ISO-8859-1 in the inbox,
// and a read message in the folder "Projects".
//
//   qm_demo_mail <user directory>
//
// Trusts its argument: the user directory must exist and belong to the caller; nothing outside it is written.
// Exit codes: 0 stored, 1 failure (said on stderr), 2 usage.
#include "store/demo/DemoMailbox.h"

#include <cstdio>
#include <ctime>

int main(int argc, char** argv)
{
    if (argc != 2) {
        (void)std::fprintf(stderr, "usage: qm_demo_mail <user directory>\n");
        return 2;
    }
    const std::string failure = qm::store::demo::StoreDemoMail(argv[1], static_cast<std::int64_t>(std::time(nullptr)));
    if (!failure.empty()) {
        (void)std::fprintf(stderr, "qm_demo_mail: %s\n", failure.c_str());
        return 1;
    }
    return 0;
}
