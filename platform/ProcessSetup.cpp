#include "platform/ProcessSetup.h"

#include <csignal>

#include <malloc.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/signalfd.h>

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

platform::UniqueFd StopSignalDescriptor()
{
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigset_t old;
    if (::pthread_sigmask(SIG_BLOCK, &stop, &old) != 0) {
        return platform::UniqueFd();
    }
    platform::UniqueFd fd(::signalfd(-1, &stop, SFD_CLOEXEC | SFD_NONBLOCK));
    if (!fd) {
        ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    }
    return fd;
}

} // namespace qm
