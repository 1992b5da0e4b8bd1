#include "platform/SocketOps.h"

#include "testsupport/LoopbackListener.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>

#include <fcntl.h>

namespace qm {
namespace {

using test::CloseWithReset;
using test::LoopbackListener;
using test::ScopedFd;

constexpr std::uint32_t kLoopback = 0x7F000001;

struct Connection {
    ScopedFd Client; // made through SocketOps
    ScopedFd Server; // the listener's side
};

// Connects through the system calls under test to `listener` and accepts the other side.
Connection Connect(const LoopbackListener& listener)
{
    SocketOps& ops = SystemSocketOps();
    Connection c;
    c.Client.Reset(ops.OpenStream());
    if (c.Client.Get() < 0) {
        ADD_FAILURE() << "OpenStream: got " << c.Client.Get();
        return c;
    }
    int rc = ops.Connect(c.Client.Get(), kLoopback, static_cast<std::uint16_t>(listener.Port()));
    if (rc == -EINPROGRESS) {
        EXPECT_EQ(ops.Poll(c.Client.Get(), kPollOut, 5000) & kPollOut, kPollOut);
        rc = -ops.PendingError(c.Client.Get());
    }
    EXPECT_EQ(rc, 0) << "connect";
    c.Server = listener.AcceptBlocking();
    EXPECT_GE(c.Server.Get(), 0);
    return c;
}

bool HasFlags(int fd, int statusFlag, int descriptorFlag)
{
    return (::fcntl(fd, F_GETFL) & statusFlag) != 0 && (::fcntl(fd, F_GETFD) & descriptorFlag) != 0;
}

TEST(SocketOpsTest, ParseIpv4ReadsOnlyDottedQuads)
{
    struct Case {
        const char* Text;
        bool Ok;
        std::uint32_t Address;
    };

    const Case cases[] = {
            {"127.0.0.1", true, kLoopback},
            {"0.0.0.0", true, 0},
            {"255.255.255.255", true, 0xFFFFFFFF},
            {"192.0.2.10", true, 0xC000020A},
            {"256.0.0.1", false, 0},
            {"1.2.3", false, 0},
            {"127.1", false, 0},
            {"localhost", false, 0},
            {"", false, 0},
            {" 1.2.3.4", false, 0},
            {"1.2.3.4 ", false, 0},
            {"::1", false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Text);
        std::uint32_t address = 0xDEADBEEF;
        EXPECT_EQ(ParseIpv4(c.Text, &address), c.Ok);
        EXPECT_EQ(address, c.Ok ? c.Address : 0xDEADBEEF) << "a failed parse must leave the address alone";
    }
    std::uint32_t address = 0;
    EXPECT_FALSE(ParseIpv4(nullptr, &address));
}

TEST(SocketOpsTest, ConnectsAcceptsSendsAndReceivesWithoutBlocking)
{
    LoopbackListener listener;
    ASSERT_TRUE(listener.Valid());
    SocketOps& ops = SystemSocketOps();
    Connection c = Connect(listener);
    ASSERT_GE(c.Client.Get(), 0);
    EXPECT_TRUE(HasFlags(c.Client.Get(), O_NONBLOCK, FD_CLOEXEC));

    EXPECT_EQ(ops.Send(c.Client.Get(), "hello", 5), 5);
    char buffer[16] = {};
    ASSERT_EQ(::recv(c.Server.Get(), buffer, sizeof buffer, 0), 5);
    EXPECT_EQ(std::string(buffer, 5), "hello");

    ASSERT_EQ(::send(c.Server.Get(), "back", 4, 0), 4);
    EXPECT_EQ(ops.Poll(c.Client.Get(), kPollIn, 5000) & kPollIn, kPollIn);
    EXPECT_EQ(ops.Receive(c.Client.Get(), buffer, sizeof buffer), 4);
    EXPECT_EQ(std::string(buffer, 4), "back");
    EXPECT_EQ(ops.Receive(c.Client.Get(), buffer, sizeof buffer), -EAGAIN) << "nothing left must not block";
}

TEST(SocketOpsTest, AcceptGivesANonBlockingSocketAndThePeerAddress)
{
    LoopbackListener listener({.NonBlocking = true});
    ASSERT_TRUE(listener.Valid());
    SocketOps& ops = SystemSocketOps();
    std::uint32_t peer = 0;
    EXPECT_EQ(ops.Accept(listener.Fd(), &peer), -EAGAIN) << "no connection waiting";

    ScopedFd client(ops.OpenStream());
    int rc = ops.Connect(client.Get(), kLoopback, static_cast<std::uint16_t>(listener.Port()));
    ASSERT_TRUE(rc == 0 || rc == -EINPROGRESS) << "got " << rc;
    ASSERT_NE(ops.Poll(listener.Fd(), kPollIn, 5000) & kPollIn, 0u);
    ScopedFd accepted(ops.Accept(listener.Fd(), &peer));
    ASSERT_GE(accepted.Get(), 0);
    EXPECT_EQ(peer, kLoopback);
    EXPECT_TRUE(HasFlags(accepted.Get(), O_NONBLOCK, FD_CLOEXEC));
}

TEST(SocketOpsTest, PeerShutdownShowsAsPeerClosedAndEndOfStream)
{
    LoopbackListener listener;
    ASSERT_TRUE(listener.Valid());
    SocketOps& ops = SystemSocketOps();
    Connection c = Connect(listener);
    ASSERT_GE(c.Client.Get(), 0);

    EXPECT_EQ(ops.Poll(c.Client.Get(), kPollIn | kPollPeerClosed, 100), 0) << "an idle connection times out";
    ASSERT_EQ(ops.ShutdownSend(c.Server.Get()), 0);
    int bits = ops.Poll(c.Client.Get(), kPollIn | kPollPeerClosed, 5000);
    EXPECT_EQ(bits & (kPollIn | kPollPeerClosed), kPollIn | kPollPeerClosed) << "got " << bits;
    char buffer[8];
    EXPECT_EQ(ops.Receive(c.Client.Get(), buffer, sizeof buffer), 0);
}

TEST(SocketOpsTest, SendAfterResetFailsWithoutSignal)
{
    ASSERT_TRUE(test::SigpipeKillsProcess()) << "SIGPIPE must keep its default action for this test to prove anything";
    LoopbackListener listener;
    ASSERT_TRUE(listener.Valid());
    SocketOps& ops = SystemSocketOps();
    Connection c = Connect(listener);
    ASSERT_GE(c.Client.Get(), 0);

    CloseWithReset(c.Server);
    int bits = ops.Poll(c.Client.Get(), kPollIn | kPollPeerClosed, 5000);
    EXPECT_NE(bits & kPollError, 0) << "got " << bits;

    // The first send reports the reset; the ones after it are the sends that raise SIGPIPE without MSG_NOSIGNAL.
    long first = ops.Send(c.Client.Get(), "x", 1);
    EXPECT_EQ(first, -ECONNRESET);
    EXPECT_EQ(ops.Send(c.Client.Get(), "y", 1), -EPIPE);
    EXPECT_EQ(ops.Send(c.Client.Get(), "z", 1), -EPIPE);
}

TEST(SocketOpsTest, ConnectToAClosedPortIsRefused)
{
    int port = 0;
    {
        LoopbackListener listener;
        ASSERT_TRUE(listener.Valid());
        port = listener.Port();
    }
    SocketOps& ops = SystemSocketOps();
    ScopedFd client(ops.OpenStream());
    int rc = ops.Connect(client.Get(), kLoopback, static_cast<std::uint16_t>(port));
    if (rc == -EINPROGRESS) {
        ops.Poll(client.Get(), kPollOut, 5000);
        rc = -ops.PendingError(client.Get());
    }
    EXPECT_EQ(rc, -ECONNREFUSED);
}

TEST(SocketOpsTest, PollWithoutDescriptorSleeps)
{
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SystemSocketOps().Poll(-1, 0, 100), 0);
    auto spent = std::chrono::steady_clock::now() - start;
    EXPECT_GE(spent, std::chrono::milliseconds(90));
}

TEST(SocketOpsTest, ResolveFindsLocalhostAndReportsTheResolversError)
{
    SocketOps& ops = SystemSocketOps();
    std::uint32_t address = 0;
    ASSERT_EQ(ops.Resolve("localhost", &address), 0);
    EXPECT_EQ(address, kLoopback);

    address = 7;
    int rc = ops.Resolve("", &address);
    EXPECT_LT(rc, 0) << "an empty name gives a resolver code, which is negative";
    EXPECT_EQ(address, 7u);
}

} // namespace
} // namespace qm
