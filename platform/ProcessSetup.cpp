#include "platform/ProcessSetup.h"

#include <csignal>

#include <malloc.h>
#include <sys/resource.h>

namespace qm {

void IgnoreBrokenPipes()
{
    struct sigaction ignore {};

    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    (void)sigaction(SIGPIPE, &ignore, nullptr);
}

void RaiseDescriptorLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        (void)setrlimit(RLIMIT_NOFILE, &limit);
    }
}

void ReturnFreedMemory()
{
    (void)malloc_trim(0);
}

} // namespace qm
