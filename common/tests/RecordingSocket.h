// A socket for tests that records its handler calls in order and, when asked, receives in OnRead as the
// owners do.
#pragma once

#include "common/AsyncSocket.h"

#include <algorithm>
#include <string>
#include <vector>

namespace qm::test {

class RecordingSocket : public AsyncSocket {
public:
    using AsyncSocket::AsyncSocket;
    using CallList = std::vector<std::string>;

    /// How often the handler `name` ("read", "write", "close", "connect") has run.
    long Count(const char* name) const { return std::count(Calls.begin(), Calls.end(), name); }

    CallList Calls;
    bool ReceiveOnRead = false;
    std::string Received;

protected:
    void OnConnect() override { Calls.emplace_back("connect"); }

    void OnRead() override
    {
        Calls.emplace_back("read");
        if (ReceiveOnRead) {
            char buffer[256];
            int n = Receive(buffer, sizeof buffer);
            if (n > 0) {
                Received.append(buffer, static_cast<std::size_t>(n));
            }
        }
    }

    void OnClose() override { Calls.emplace_back("close"); }

    void OnWrite() override
    {
        Calls.emplace_back("write");
        AsyncSocket::OnWrite();
    }
};

} // namespace qm::test
