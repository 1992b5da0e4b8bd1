// A scripted stand-in for the socket calls: what Poll reports, what each receive returns, how much a send
// takes, how connect and look-up end; and a record of the calls made.
#pragma once

#include "platform/SocketOps.h"

#include <cerrno>
#include <cstring>
#include <deque>
#include <limits>
#include <string>
#include <vector>

namespace qm::test {

class FakeSocketOps : public SocketOps {
public:
    static constexpr int kFd = 42;

    // Script.
    unsigned PollBits = 0;            ///< the state Poll reports (filtered by the interest, see Poll)
    std::deque<std::string> Incoming; ///< each receive takes from the front piece only
    bool EndOfStream = false;         ///< with Incoming empty: 0 instead of -EAGAIN
    bool Endless = false;             ///< every receive fills the whole buffer
    int ReceiveError = 0;             ///< when set, receives fail with it
    std::size_t SendRoom = std::numeric_limits<std::size_t>::max(); ///< bytes taken before sends block
    int SendError = 0;                                              ///< when set, sends fail with it
    int ConnectResult = 0;                                          ///< 0, -EINPROGRESS or -errno
    int PendingErrorResult = 0;
    int ResolveResult = 0;
    std::uint32_t ResolvedAddress = 0;
    int PollFailure = 0; ///< when set, polls of the socket fail with it

    // Record.
    std::string Sent;
    int OpenCalls = 0;
    int ReceiveCalls = 0;
    int SendCalls = 0;
    int ShutdownCalls = 0;
    int CloseCalls = 0;
    std::vector<std::string> Resolved;
    std::uint32_t BoundAddress = 0;
    int BoundPort = -1;
    std::uint32_t ConnectedAddress = 0;
    int ConnectedPort = -1;
    std::vector<unsigned> PollInterests; ///< for polls of the socket
    std::vector<int> PollTimeouts;       ///< for polls of the socket
    std::vector<int> Sleeps;             ///< timeouts of polls without a descriptor

    int OpenStream() override
    {
        ++OpenCalls;
        return kFd;
    }

    int Bind(int, std::uint32_t address, std::uint16_t port) override
    {
        BoundAddress = address;
        BoundPort = port;
        return 0;
    }

    int Connect(int, std::uint32_t address, std::uint16_t port) override
    {
        ConnectedAddress = address;
        ConnectedPort = port;
        return ConnectResult;
    }

    int Accept(int, std::uint32_t* peerAddress) override
    {
        *peerAddress = 0x0A000005;
        return kFd;
    }

    long Send(int, const void* data, std::size_t size) override
    {
        ++SendCalls;
        if (SendError != 0) {
            return -SendError;
        }
        if (SendRoom == 0) {
            return -EAGAIN;
        }
        std::size_t n = size < SendRoom ? size : SendRoom;
        SendRoom -= n;
        Sent.append(static_cast<const char*>(data), n);
        return static_cast<long>(n);
    }

    long Receive(int, void* buffer, std::size_t size) override
    {
        ++ReceiveCalls;
        if (ReceiveError != 0) {
            return -ReceiveError;
        }
        if (Endless) {
            std::memset(buffer, 'e', size);
            return static_cast<long>(size);
        }
        if (Incoming.empty()) {
            return EndOfStream ? 0 : -EAGAIN;
        }
        std::string& front = Incoming.front();
        std::size_t n = size < front.size() ? size : front.size();
        std::memcpy(buffer, front.data(), n);
        front.erase(0, n);
        if (front.empty()) {
            Incoming.pop_front();
        }
        return static_cast<long>(n);
    }

    // Like poll: reports the asked-for bits that hold, and a hang-up or error whether asked for or not.
    int Poll(int fd, unsigned interest, int timeoutMs) override
    {
        if (fd < 0) {
            Sleeps.push_back(timeoutMs);
            return 0;
        }
        PollInterests.push_back(interest);
        PollTimeouts.push_back(timeoutMs);
        if (PollFailure != 0) {
            return -PollFailure;
        }
        return static_cast<int>(PollBits & (interest | kPollHangUp | kPollError));
    }

    int PendingError(int) override { return PendingErrorResult; }

    int ShutdownSend(int) override
    {
        ++ShutdownCalls;
        return 0;
    }

    int Close(int) override
    {
        ++CloseCalls;
        return 0;
    }

    int Resolve(const char* host, std::uint32_t* address) override
    {
        Resolved.emplace_back(host);
        if (ResolveResult == 0) {
            *address = ResolvedAddress;
        }
        return ResolveResult;
    }
};

} // namespace qm::test
