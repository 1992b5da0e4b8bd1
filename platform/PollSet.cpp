#include "platform/PollSet.h"

#include "platform/SocketOps.h"

#include <cerrno>
#include <chrono>
#include <vector>

#include <poll.h>

namespace qm {
namespace {

short ToEvents(unsigned interest)
{
    short events = 0;
    events = static_cast<short>(events | ((interest & kPollIn) != 0 ? POLLIN : 0));
    events = static_cast<short>(events | ((interest & kPollOut) != 0 ? POLLOUT : 0));
    events = static_cast<short>(events | ((interest & kPollPeerClosed) != 0 ? POLLRDHUP : 0));
    return events;
}

unsigned FromEvents(short revents)
{
    unsigned bits = 0;
    bits |= (revents & POLLIN) != 0 ? kPollIn : 0;
    bits |= (revents & POLLOUT) != 0 ? kPollOut : 0;
    bits |= (revents & POLLRDHUP) != 0 ? kPollPeerClosed : 0;
    bits |= (revents & POLLHUP) != 0 ? kPollHangUp : 0;
    bits |= (revents & (POLLERR | POLLNVAL)) != 0 ? kPollError : 0;
    return bits;
}

} // namespace

int PollMany(std::span<PollEntry> entries, int timeoutMs)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    std::vector<pollfd> fds;
    fds.reserve(entries.size());
    for (PollEntry& entry : entries) {
        entry.Ready = 0;
        fds.push_back({entry.Fd, ToEvents(entry.Interest), 0});
    }
    int wait = timeoutMs;
    for (;;) {
        const int n = ::poll(fds.data(), fds.size(), wait);
        if (n >= 0) {
            for (std::size_t i = 0; i < fds.size(); ++i) {
                entries[i].Ready = FromEvents(fds[i].revents);
            }
            return n;
        }
        if (errno != EINTR) {
            return -errno;
        }
        if (timeoutMs >= 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            wait = left > 0 ? static_cast<int>(left) : 0;
        }
    }
}

} // namespace qm
