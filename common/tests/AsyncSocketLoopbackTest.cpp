// The socket over real loopback connections: large sends to a slow reader, resets, accept, idle waits, close.
#include "common/AsyncSocket.h"
#include "common/tests/RecordingSocket.h"
#include "testsupport/LoopbackListener.h"
#include "testsupport/WaitUntil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace qm {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::CloseWithReset;
using test::LoopbackListener;
using test::RecordingSocket;
using test::ScopedFd;

constexpr std::uint32_t kLoopback = 0x7F000001;

// The owners' loop: wait and dispatch until `done` holds. False when it does not within `limit`, or the wait
// fails.
bool RunUntil(AsyncSocket& socket, const std::function<bool()>& done, Clock::duration limit = 20s)
{
    const auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > deadline) {
            return false;
        }
        WaitResult result = socket.Wait(100);
        if (result == WaitResult::Error) {
            return false;
        }
        if (result == WaitResult::Ready) {
            socket.DispatchEvents();
        }
    }
    return true;
}

std::string Pattern(std::size_t size)
{
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        text[i] = static_cast<char>(i * 7 + i / 251);
    }
    return text;
}

// Where two texts first differ, for a short failure message about large texts.
std::string FirstDifference(const std::string& got, const std::string& want)
{
    std::size_t i = 0;
    while (i < got.size() && i < want.size() && got[i] == want[i]) {
        ++i;
    }
    return "got " + std::to_string(got.size()) + " bytes, want " + std::to_string(want.size()) +
           "; first difference at " + std::to_string(i);
}

TEST(AsyncSocketLoopbackTest, LargeSendReachesASlowReaderWhole)
{
    for (std::size_t size : {std::size_t{10000}, std::size_t{1} << 20}) {
        SCOPED_TRACE(size);
        const std::string data = Pattern(size);
        // A small receive window and a reader that starts only after the first send and reads in small pieces.
        LoopbackListener listener({.ReceiveBuffer = 4096});
        ASSERT_TRUE(listener.Valid());
        std::string received;
        std::atomic<bool> firstSent{false};
        std::jthread peer([&] {
            ScopedFd fd = listener.AcceptWithin(10000);
            (void)test::WaitUntil([&] { return firstSent.load(); });
            char buffer[1024];
            for (;;) {
                long n = ::recv(fd.Get(), buffer, sizeof buffer, 0);
                if (n <= 0) {
                    break;
                }
                received.append(buffer, static_cast<std::size_t>(n));
                std::this_thread::sleep_for(100us);
            }
        });

        RecordingSocket socket;
        ASSERT_TRUE(socket.Connect("127.0.0.1", listener.Port())) << "error " << socket.LastError();
        // A small send buffer too, so that a large text cannot go out at once. (10,000 bytes may still fit: on
        // loopback a single send can pass more than the buffers' sizes.)
        int sendBuffer = 4096;
        ASSERT_EQ(::setsockopt(socket.Fd(), SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer), 0);
        ASSERT_TRUE(RunUntil(socket, [&] { return socket.IsWritable(); }));
        int first = socket.SendString(data);
        firstSent = true;
        EXPECT_GT(first, 0);
        const bool mustBlock = size > 100000;
        if (mustBlock) {
            EXPECT_LT(static_cast<std::size_t>(first), size) << "the socket should have refused part of it";
        }
        ASSERT_TRUE(RunUntil(socket, [&] { return socket.PendingBytes() == 0; }))
                << socket.PendingBytes() << " bytes still pending, error " << socket.LastError();
        EXPECT_EQ(socket.BytesSent(), size);
        if (mustBlock) {
            EXPECT_GT(socket.Count("write"), 1) << "the rest went out through write events";
        }
        socket.Close();
        peer.join();
        EXPECT_TRUE(received == data) << FirstDifference(received, data);
    }
}

TEST(AsyncSocketLoopbackTest, PeerResetGivesOneCloseEventAndNoSignal)
{
    ASSERT_TRUE(test::SigpipeKillsProcess()) << "SIGPIPE must keep its default action for this test to prove anything";
    LoopbackListener listener;
    ASSERT_TRUE(listener.Valid());
    RecordingSocket socket;
    ASSERT_TRUE(socket.Connect("127.0.0.1", listener.Port()));
    ScopedFd server = listener.AcceptWithin(5000);
    ASSERT_GE(server.Get(), 0);
    ASSERT_TRUE(RunUntil(socket, [&] { return socket.IsWritable(); }));

    CloseWithReset(server);
    ASSERT_EQ(socket.Wait(5000), WaitResult::Ready);
    char buffer[100];
    EXPECT_EQ(socket.Receive(buffer, sizeof buffer), -1);
    EXPECT_EQ(socket.LastError(), ECONNRESET);
    // The send that raises SIGPIPE unless the socket suppresses it.
    EXPECT_EQ(socket.SendString("QUIT\r\n"), -1);
    EXPECT_EQ(socket.LastError(), EPIPE);

    socket.DispatchEvents();
    socket.DispatchEvents();
    EXPECT_EQ(socket.Count("close"), 1);
    EXPECT_EQ(socket.Wait(200), WaitResult::Timeout) << "nothing is left to report";
}

TEST(AsyncSocketLoopbackTest, PeerResetMidSendEndsWithOneCloseEvent)
{
    ASSERT_TRUE(test::SigpipeKillsProcess());
    LoopbackListener listener({.ReceiveBuffer = 4096});
    ASSERT_TRUE(listener.Valid());
    std::jthread peer([&] {
        ScopedFd fd = listener.AcceptWithin(10000);
        char buffer[1024];
        for (int taken = 0; taken < 8192;) {
            long n = ::recv(fd.Get(), buffer, sizeof buffer, 0);
            if (n <= 0) {
                break;
            }
            taken += static_cast<int>(n);
        }
        CloseWithReset(fd);
    });

    const std::string data = Pattern(std::size_t{4} << 20);
    RecordingSocket socket;
    socket.ReceiveOnRead = true;
    ASSERT_TRUE(socket.Connect("127.0.0.1", listener.Port()));
    ASSERT_TRUE(RunUntil(socket, [&] { return socket.IsWritable(); }));
    socket.SendString(data);
    ASSERT_TRUE(RunUntil(socket, [&] { return socket.Count("close") > 0; }));
    peer.join();
    EXPECT_LT(socket.BytesSent(), data.size());
    EXPECT_EQ(socket.Wait(200), WaitResult::Timeout);
    EXPECT_EQ(socket.Count("close"), 1);
}

TEST(AsyncSocketLoopbackTest, AcceptedConnectionTalksBothWaysAndSeesTheClose)
{
    LoopbackListener listener;
    ASSERT_TRUE(listener.Valid());
    RecordingSocket client;
    client.ReceiveOnRead = true;
    ASSERT_TRUE(client.Connect("127.0.0.1", listener.Port()));
    RecordingSocket server;
    server.ReceiveOnRead = true;
    ASSERT_TRUE(server.Accept(listener.Fd())) << "error " << server.LastError();
    EXPECT_EQ(server.PeerAddress(), kLoopback);

    ASSERT_TRUE(RunUntil(server, [&] { return server.IsWritable(); }));
    EXPECT_EQ(server.SendString("+OK ready\r\n"), 11);
    ASSERT_TRUE(RunUntil(client, [&] { return client.Received == "+OK ready\r\n"; })) << client.Received;
    ASSERT_TRUE(RunUntil(client, [&] { return client.IsWritable(); }));
    EXPECT_EQ(client.SendString("QUIT\r\n"), 6);
    ASSERT_TRUE(RunUntil(server, [&] { return server.Received == "QUIT\r\n"; })) << server.Received;

    client.Close();
    ASSERT_TRUE(RunUntil(server, [&] { return server.Count("close") == 1; }));
    EXPECT_EQ(server.BytesReceived(), 6u);
    EXPECT_EQ(server.BytesSent(), 11u);
    EXPECT_EQ(client.BytesReceived(), 11u);
    EXPECT_EQ(server.Wait(200), WaitResult::Timeout) << "after the end of the stream nothing more is reported";
    EXPECT_EQ(server.Count("close"), 1);
}

TEST(AsyncSocketLoopbackTest, AcceptWithNothingWaitingWouldBlock)
{
    LoopbackListener listener({.NonBlocking = true});
    ASSERT_TRUE(listener.Valid());
    RecordingSocket server;
    EXPECT_FALSE(server.Accept(listener.Fd()));
    EXPECT_EQ(server.LastError(), EAGAIN);
    EXPECT_FALSE(server.IsOpen());
}

TEST(AsyncSocketLoopbackTest, IdleConnectionWaitsOutItsTimeAndUnreadDataWakesOnce)
{
    LoopbackListener listener;
    ASSERT_TRUE(listener.Valid());
    RecordingSocket socket;
    ASSERT_TRUE(socket.Connect("127.0.0.1", listener.Port()));
    ScopedFd server = listener.AcceptWithin(5000);
    ASSERT_GE(server.Get(), 0);
    ASSERT_TRUE(RunUntil(socket, [&] { return socket.IsWritable(); }));

    auto start = Clock::now();
    EXPECT_EQ(socket.Wait(200), WaitResult::Timeout);
    EXPECT_GE(Clock::now() - start, 190ms);

    ASSERT_EQ(::send(server.Get(), "x", 1, 0), 1);
    ASSERT_EQ(socket.Wait(5000), WaitResult::Ready);
    socket.DispatchEvents();
    EXPECT_EQ(socket.Count("read"), 1);
    EXPECT_EQ(socket.Wait(200), WaitResult::Timeout) << "unread data is reported once until a receive";

    char buffer[16];
    EXPECT_EQ(socket.Receive(buffer, sizeof buffer), 1);
    ASSERT_EQ(::send(server.Get(), "y", 1, 0), 1);
    EXPECT_EQ(socket.Wait(5000), WaitResult::Ready);
}

TEST(AsyncSocketLoopbackTest, ConnectLooksUpNamesBindsAndReportsFailures)
{
    LoopbackListener listener;
    ASSERT_TRUE(listener.Valid());
    int closedPort = 0;
    {
        LoopbackListener gone;
        ASSERT_TRUE(gone.Valid());
        closedPort = gone.Port();
    }

    struct Case {
        const char* Name;
        const char* Host;
        int Port;
        std::uint32_t Local;
        bool WantOk;
        int WantError; // 1: any resolver code (negative)
    };

    const Case cases[] = {
            {"dotted quad", "127.0.0.1", listener.Port(), 0, true, 0},
            {"name", "localhost", listener.Port(), 0, true, 0},
            {"bound to a local address", "127.0.0.1", listener.Port(), kLoopback, true, 0},
            {"nobody listening", "127.0.0.1", closedPort, 0, false, ECONNREFUSED},
            {"empty name", "", listener.Port(), 0, false, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        RecordingSocket socket;
        EXPECT_EQ(socket.Connect(c.Host, c.Port, c.Local, 5000), c.WantOk);
        if (c.WantError == 1) {
            EXPECT_LT(socket.LastError(), 0);
        } else {
            EXPECT_EQ(socket.LastError(), c.WantError);
        }
        if (c.WantOk) {
            ScopedFd accepted = listener.AcceptWithin(5000);
            EXPECT_GE(accepted.Get(), 0);
        }
    }
}

TEST(AsyncSocketLoopbackTest, CloseDoesNotWaitForAPeerThatKeepsSending)
{
    LoopbackListener listener;
    ASSERT_TRUE(listener.Valid());
    std::jthread peer([&] {
        ScopedFd fd = listener.AcceptWithin(10000);
        timeval limit{10, 0};
        ::setsockopt(fd.Get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        const std::string chunk(65536, 'z');
        while (::send(fd.Get(), chunk.data(), chunk.size(), MSG_NOSIGNAL) > 0) {
        }
    });

    RecordingSocket socket;
    ASSERT_TRUE(socket.Connect("127.0.0.1", listener.Port()));
    ASSERT_TRUE(RunUntil(socket, [&] { return socket.Count("read") > 0; }));
    auto start = Clock::now();
    socket.Close();
    EXPECT_LT(Clock::now() - start, 1s);
    EXPECT_FALSE(socket.IsOpen());
}

} // namespace
} // namespace qm
