// The socket's event model, send and receive loops and connect, against scripted socket calls.
#include "common/AsyncSocket.h"

#include "common/tests/FakeSocketOps.h"
#include "common/tests/RecordingSocket.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include <netdb.h>

namespace qm {
namespace {

using test::FakeSocketOps;
using test::RecordingSocket;

using Calls = RecordingSocket::CallList;

std::string Pattern(std::size_t size)
{
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        text[i] = static_cast<char>('a' + i % 23);
    }
    return text;
}

class AsyncSocketTest : public ::testing::Test {
protected:
    // Connects and dispatches the first write event: the socket is writable and nothing is pending.
    void ConnectWritable()
    {
        ASSERT_TRUE(m_socket.Connect("127.0.0.1", 110));
        m_ops.PollBits = kPollOut;
        m_socket.DispatchEvents();
        ASSERT_TRUE(m_socket.IsWritable());
        ASSERT_EQ(m_socket.Calls, Calls{"write"});
        m_socket.Calls.clear();
        m_ops.PollBits = 0;
    }

    // Makes 10,000 bytes pending on a socket that takes 4,096 of them.
    void SendTenThousandLeavingPending(const std::string& data)
    {
        ConnectWritable();
        m_ops.SendRoom = 4096;
        ASSERT_EQ(m_socket.SendString(data), 4096);
        ASSERT_EQ(m_socket.PendingBytes(), 5904u);
    }

    FakeSocketOps m_ops;
    RecordingSocket m_socket{m_ops};
};

TEST_F(AsyncSocketTest, ReceiveStopsOnceNoMoreThan62BytesOfRoomAreLeft)
{
    struct Case {
        const char* Name;
        int Size;
        std::vector<std::string> Pieces;
        bool EndOfStream;
        int Want;
        int WantReceiveCalls;
    };

    const Case cases[] = {
            {"40 into 100 leaves 60: one recv", 100, {std::string(40, 'x'), std::string(30, 'y')}, false, 40, 1},
            {"40 into 103 leaves 63: recv again", 103, {std::string(40, 'x'), std::string(30, 'y')}, false, 70, 2},
            {"exactly full", 50, {std::string(50, 'x'), "more"}, false, 50, 1},
            {"nothing waiting", 100, {}, false, 0, 1},
            {"some, then would block", 100, {"+OK\r\n"}, false, 5, 2},
            {"some, then the end of the stream", 100, {"+OK\r\n"}, true, 5, 2},
            {"size 0", 0, {"data"}, false, 0, 0},
            {"negative size", -5, {"data"}, false, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        FakeSocketOps fake;
        fake.Incoming.assign(c.Pieces.begin(), c.Pieces.end());
        fake.EndOfStream = c.EndOfStream;
        RecordingSocket s(fake);
        ASSERT_TRUE(s.Connect("127.0.0.1", 110));
        std::string buffer(200, '\0');
        int got = s.Receive(buffer.data(), c.Size);
        EXPECT_EQ(got, c.Want);
        EXPECT_EQ(fake.ReceiveCalls, c.WantReceiveCalls);
        EXPECT_EQ(s.BytesReceived(), static_cast<std::uint64_t>(c.Want));
        std::string all;
        for (const std::string& piece : c.Pieces) {
            all += piece;
        }
        EXPECT_EQ(buffer.substr(0, static_cast<std::size_t>(c.Want)), all.substr(0, static_cast<std::size_t>(c.Want)));
    }
}

TEST_F(AsyncSocketTest, ReceiveErrorIsStoredAndGivesMinusOne)
{
    ASSERT_TRUE(m_socket.Connect("127.0.0.1", 110));
    m_ops.ReceiveError = ECONNRESET;
    char buffer[100];
    EXPECT_EQ(m_socket.Receive(buffer, sizeof buffer), -1);
    EXPECT_EQ(m_socket.LastError(), ECONNRESET);
}

TEST_F(AsyncSocketTest, ReceiveStringEndsTheTextWithANulAndNeverWritesPastTheBuffer)
{
    ASSERT_TRUE(m_socket.Connect("127.0.0.1", 110));
    m_ops.Incoming = {"+OK ready\r\n"};
    char buffer[64];
    EXPECT_EQ(m_socket.ReceiveString(buffer, sizeof buffer), 11);
    EXPECT_STREQ(buffer, "+OK ready\r\n");

    // Room for the NUL only: nothing is received.
    m_ops.Incoming = {"more"};
    buffer[0] = 'x';
    EXPECT_EQ(m_socket.ReceiveString(buffer, 1), 0);
    EXPECT_EQ(buffer[0], '\0');

    // No room at all: nothing is written.
    buffer[0] = 'x';
    EXPECT_EQ(m_socket.ReceiveString(buffer, 0), 0);
    EXPECT_EQ(buffer[0], 'x');

    // The last byte is kept for the NUL.
    m_ops.Incoming = {"abcdef"};
    char small[4];
    EXPECT_EQ(m_socket.ReceiveString(small, sizeof small), 3);
    EXPECT_STREQ(small, "abc");
}

TEST_F(AsyncSocketTest, NothingIsSentBeforeTheFirstWriteEvent)
{
    ASSERT_TRUE(m_socket.Connect("127.0.0.1", 110));
    EXPECT_EQ(m_socket.SendString("USER bob\r\n"), 0);
    EXPECT_EQ(m_ops.SendCalls, 0);
    EXPECT_EQ(m_socket.PendingBytes(), 10u);

    m_ops.PollBits = kPollOut;
    m_socket.DispatchEvents();
    EXPECT_EQ(m_socket.Calls, Calls{"write"});
    EXPECT_EQ(m_ops.Sent, "USER bob\r\n");
    EXPECT_EQ(m_socket.PendingBytes(), 0u);
    EXPECT_EQ(m_socket.BytesSent(), 10u);
}

TEST_F(AsyncSocketTest, SendStringLeavesWhatTheSocketRefusesForTheNextWriteEvent)
{
    const std::string data = Pattern(10000);
    SendTenThousandLeavingPending(data);
    EXPECT_FALSE(m_socket.IsWritable());
    EXPECT_EQ(m_socket.SendPending(), 0) << "not writable until the write event";

    m_ops.PollBits = kPollOut;
    m_ops.SendRoom = 1 << 20;
    m_socket.DispatchEvents();
    EXPECT_EQ(m_socket.Calls, Calls{"write"});
    EXPECT_EQ(m_ops.Sent, data);
    EXPECT_EQ(m_socket.PendingBytes(), 0u);
    EXPECT_EQ(m_socket.BytesSent(), 10000u);
}

TEST_F(AsyncSocketTest, SendStringKeepsItsOwnCopyAndAppendsToPendingData)
{
    ConnectWritable();
    m_ops.SendRoom = 4;
    {
        std::string command = "USER bob\r\n";
        EXPECT_EQ(m_socket.SendString(command), 4);
        command.assign(command.size(), '#'); // the caller reuses its buffer at once
    }
    EXPECT_EQ(m_socket.SendString("PASS secret\r\n"), 0);
    EXPECT_EQ(m_socket.PendingBytes(), 6u + 13u);

    m_ops.PollBits = kPollOut;
    m_ops.SendRoom = 1000;
    m_socket.DispatchEvents();
    EXPECT_EQ(m_ops.Sent, "USER bob\r\nPASS secret\r\n");
}

TEST_F(AsyncSocketTest, SendErrorIsStoredAndGivesMinusOne)
{
    ConnectWritable();
    m_ops.SendError = EPIPE;
    EXPECT_EQ(m_socket.SendString("QUIT\r\n"), -1);
    EXPECT_EQ(m_socket.LastError(), EPIPE);
    EXPECT_FALSE(m_socket.IsWritable());
}

TEST_F(AsyncSocketTest, ReadWhileDataIsPendingIsDeliveredInTheDispatchThatSendsIt)
{
    const std::string data = Pattern(10000);
    SendTenThousandLeavingPending(data);

    m_ops.PollBits = kPollIn;
    m_socket.DispatchEvents();
    EXPECT_EQ(m_socket.Calls, Calls{}) << "no read before the command has gone out";
    EXPECT_TRUE(m_socket.IsReadDeferred());

    m_ops.PollBits = kPollIn | kPollOut;
    m_ops.SendRoom = 1 << 20;
    m_socket.DispatchEvents();
    EXPECT_EQ(m_socket.Calls, (Calls{"write", "read"}));
    EXPECT_FALSE(m_socket.IsReadDeferred());
    EXPECT_EQ(m_ops.Sent, data);

    m_socket.DispatchEvents();
    EXPECT_EQ(m_socket.Calls, (Calls{"write", "read"})) << "the read event comes again only after a receive";
}

TEST_F(AsyncSocketTest, CloseWhileReadIsDeferredDropsUnsentDataThenReadsOnce)
{
    SendTenThousandLeavingPending(Pattern(10000));
    m_ops.PollBits = kPollIn;
    m_socket.DispatchEvents();
    ASSERT_TRUE(m_socket.IsReadDeferred());

    m_ops.PollBits = kPollIn | kPollPeerClosed;
    m_socket.DispatchEvents();
    EXPECT_EQ(m_socket.Calls, (Calls{"close", "read"}));
    EXPECT_EQ(m_socket.PendingBytes(), 0u);
    EXPECT_EQ(m_ops.Sent.size(), 4096u);
    EXPECT_FALSE(m_socket.IsWritable());

    m_socket.DispatchEvents();
    EXPECT_EQ(m_socket.Calls, (Calls{"close", "read"})) << "close is reported once";
}

TEST_F(AsyncSocketTest, EachEventIsReportedOnceUntilItIsRearmed)
{
    ASSERT_TRUE(m_socket.Connect("127.0.0.1", 110));
    m_ops.PollBits = kPollIn | kPollOut;
    EXPECT_EQ(m_socket.PollEvents(), kSocketRead | kSocketWrite);
    EXPECT_EQ(m_socket.Handle().Events(), kSocketRead | kSocketWrite);
    EXPECT_EQ(m_socket.PollEvents(), 0u) << "still readable and writable, but both were reported";

    char buffer[100];
    EXPECT_EQ(m_socket.Receive(buffer, sizeof buffer), 0) << "nothing scripted: would block";
    EXPECT_EQ(m_socket.PollEvents(), kSocketRead) << "a receive re-arms the read event";

    m_ops.PollBits = kPollHangUp | kPollError | kPollIn | kPollOut;
    EXPECT_EQ(m_socket.PollEvents(), kSocketClose);
    EXPECT_EQ(m_socket.PollEvents(), 0u) << "close is reported once";
}

TEST_F(AsyncSocketTest, AWouldBlockSendRearmsTheWriteEvent)
{
    ConnectWritable();
    m_ops.PollBits = kPollOut;
    EXPECT_EQ(m_socket.PollEvents(), 0u);
    m_ops.SendRoom = 2;
    EXPECT_EQ(m_socket.SendString("abcd"), 2);
    EXPECT_EQ(m_socket.PollEvents(), kSocketWrite);
    EXPECT_EQ(m_socket.PollEvents(), 0u);
}

TEST_F(AsyncSocketTest, WaitWakesOnlyForArmedEvents)
{
    ASSERT_TRUE(m_socket.Connect("127.0.0.1", 110));
    m_ops.PollBits = kPollOut;
    EXPECT_EQ(m_socket.Wait(200), WaitResult::Ready) << "the first write event";
    EXPECT_EQ(m_ops.PollTimeouts.back(), 200);
    m_socket.DispatchEvents();
    EXPECT_EQ(m_socket.Wait(200), WaitResult::Timeout) << "writable, but the write event was reported";
    EXPECT_EQ(m_ops.PollInterests.back(), unsigned{kPollIn | kPollPeerClosed});

    // Hang-up while read is armed but nothing is readable: no event, so the time runs out instead of spinning.
    m_ops.PollBits = kPollHangUp | kPollPeerClosed;
    m_socket.PollEvents(); // reports the close
    m_ops.PollBits = kPollHangUp;
    EXPECT_EQ(m_socket.Wait(200), WaitResult::Timeout);
    ASSERT_EQ(m_ops.Sleeps.size(), 1u);
    EXPECT_LE(m_ops.Sleeps[0], 200);
}

TEST_F(AsyncSocketTest, WaitAfterTheConversationEndedOnlySleeps)
{
    m_socket.ReceiveOnRead = true;
    ASSERT_TRUE(m_socket.Connect("127.0.0.1", 110));
    m_ops.Incoming = {"+OK bye\r\n"};
    m_ops.EndOfStream = true;
    m_ops.PollBits = kPollIn | kPollOut | kPollPeerClosed | kPollHangUp;
    m_socket.DispatchEvents();
    EXPECT_EQ(m_socket.Calls, (Calls{"read", "close", "write"}));
    EXPECT_EQ(m_socket.Received, "+OK bye\r\n");

    std::size_t polls = m_ops.PollTimeouts.size();
    EXPECT_EQ(m_socket.Wait(300), WaitResult::Timeout);
    EXPECT_EQ(m_ops.PollTimeouts.size(), polls) << "the descriptor is not polled when no event can come";
    EXPECT_EQ(m_ops.Sleeps, std::vector<int>{300});
}

TEST_F(AsyncSocketTest, WaitAndPollFailuresAreStored)
{
    EXPECT_EQ(m_socket.Wait(10), WaitResult::Error) << "no socket";
    EXPECT_EQ(m_socket.LastError(), EBADF);

    ASSERT_TRUE(m_socket.Connect("127.0.0.1", 110));
    m_ops.PollFailure = ENOMEM;
    EXPECT_EQ(m_socket.Wait(10), WaitResult::Error);
    EXPECT_EQ(m_socket.LastError(), ENOMEM);
    m_ops.PollFailure = EINVAL;
    EXPECT_EQ(m_socket.PollEvents(), 0u);
    EXPECT_EQ(m_socket.LastError(), EINVAL);
}

TEST_F(AsyncSocketTest, ConnectLooksUpOnlyNamesAndReportsEachFailure)
{
    struct Case {
        const char* Name;
        const char* Host;
        std::uint32_t Local;
        std::function<void(FakeSocketOps&)> Script;
        bool WantOk;
        int WantError;
        std::vector<std::string> WantResolved;
        std::uint32_t WantPeer; // 0: connect is never tried
    };

    auto none = [](FakeSocketOps&) {
    };
    auto inProgress = [](FakeSocketOps& f) {
        f.ConnectResult = -EINPROGRESS;
        f.PollBits = kPollOut;
    };
    const Case cases[] = {
            {"dotted quad: no look-up", "127.0.0.1", 0, none, true, 0, {}, 0x7F000001},
            {"name",
             "mail.example.org",
             0,
             [](FakeSocketOps& f) { f.ResolvedAddress = 0xC0000207; },
             true,
             0,
             {"mail.example.org"},
             0xC0000207},
            {"name that does not resolve",
             "no.such.host",
             0,
             [](FakeSocketOps& f) { f.ResolveResult = EAI_NONAME; },
             false,
             EAI_NONAME,
             {"no.such.host"},
             0},
            {"local address", "192.0.2.9", 0x7F000001, none, true, 0, {}, 0xC0000209},
            {"refused at once",
             "127.0.0.1",
             0,
             [](FakeSocketOps& f) { f.ConnectResult = -ECONNREFUSED; },
             false,
             ECONNREFUSED,
             {},
             0x7F000001},
            {"made while in progress", "127.0.0.1", 0, inProgress, true, 0, {}, 0x7F000001},
            {"refused while in progress",
             "127.0.0.1",
             0,
             [&](FakeSocketOps& f) {
                 inProgress(f);
                 f.PendingErrorResult = ECONNREFUSED;
             },
             false,
             ECONNREFUSED,
             {},
             0x7F000001},
            {"time-out",
             "127.0.0.1",
             0,
             [](FakeSocketOps& f) { f.ConnectResult = -EINPROGRESS; },
             false,
             ETIMEDOUT,
             {},
             0x7F000001},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        FakeSocketOps fake;
        c.Script(fake);
        RecordingSocket s(fake);
        EXPECT_EQ(s.Connect(c.Host, 110, c.Local, 1500), c.WantOk);
        EXPECT_EQ(s.LastError(), c.WantError);
        EXPECT_EQ(fake.Resolved, c.WantResolved);
        EXPECT_EQ(fake.BoundPort, c.Local != 0 ? 0 : -1) << "bind only with a local address, to any port";
        EXPECT_EQ(fake.BoundAddress, c.Local);
        EXPECT_EQ(fake.ConnectedAddress, c.WantPeer);
        EXPECT_EQ(fake.ConnectedPort, c.WantPeer != 0 ? 110 : -1);
        if (fake.ConnectResult == -EINPROGRESS) {
            EXPECT_EQ(fake.PollTimeouts, std::vector<int>{1500}) << "the caller's time-out";
        }
        EXPECT_TRUE(s.IsOpen()) << "the socket stays until Close";
        EXPECT_EQ(fake.CloseCalls, 0);
        s.Close();
        EXPECT_EQ(fake.CloseCalls, 1);
    }
}

TEST_F(AsyncSocketTest, ConnectRefusesBadArgumentsWithoutASocket)
{
    EXPECT_FALSE(m_socket.Connect("127.0.0.1", 0));
    EXPECT_EQ(m_socket.LastError(), EINVAL);
    EXPECT_FALSE(m_socket.Connect("127.0.0.1", 65536));
    EXPECT_FALSE(m_socket.Connect(nullptr, 110));
    EXPECT_EQ(m_ops.OpenCalls, 0);
    EXPECT_FALSE(m_socket.IsOpen());
}

TEST_F(AsyncSocketTest, ConnectAgainClosesTheOldSocketAndItsPendingData)
{
    ConnectWritable();
    m_ops.SendRoom = 0;
    EXPECT_EQ(m_socket.SendString("left over"), 0);
    ASSERT_TRUE(m_socket.Connect("127.0.0.1", 25));
    EXPECT_EQ(m_ops.CloseCalls, 1);
    EXPECT_EQ(m_socket.PendingBytes(), 0u);
    EXPECT_FALSE(m_socket.IsWritable());
}

TEST_F(AsyncSocketTest, AcceptStoresThePeerAddressAndReportsTheFirstWrite)
{
    ASSERT_TRUE(m_socket.Accept(7));
    EXPECT_EQ(m_socket.PeerAddress(), 0x0A000005u);
    m_ops.PollBits = kPollOut;
    m_socket.DispatchEvents();
    EXPECT_EQ(m_socket.Calls, Calls{"write"});
}

TEST_F(AsyncSocketTest, CloseDrainsWithoutWaitingAndWithinABound)
{
    ASSERT_TRUE(m_socket.Connect("127.0.0.1", 110));
    m_ops.Endless = true; // a peer that never stops sending
    std::size_t polls = m_ops.PollTimeouts.size();
    m_socket.Close();
    EXPECT_EQ(m_ops.ShutdownCalls, 1);
    EXPECT_EQ(m_ops.CloseCalls, 1);
    EXPECT_EQ(m_ops.ReceiveCalls, 64 * 1024 / 256);
    EXPECT_EQ(m_ops.PollTimeouts.size(), polls) << "the drain never waits";
    EXPECT_FALSE(m_socket.IsOpen());

    m_socket.Close();
    EXPECT_EQ(m_ops.CloseCalls, 1) << "closing twice closes once";
}

TEST_F(AsyncSocketTest, CloseKeepsTheCountersAndResetClearsEverything)
{
    ConnectWritable();
    m_ops.SendRoom = 3;
    EXPECT_EQ(m_socket.SendString("QUIT\r\n"), 3);
    m_ops.Incoming = {"+OK"};
    char buffer[100];
    EXPECT_EQ(m_socket.Receive(buffer, sizeof buffer), 3);
    m_ops.ReceiveError = ECONNRESET;
    EXPECT_EQ(m_socket.Receive(buffer, sizeof buffer), -1);

    m_socket.Close();
    EXPECT_EQ(m_socket.BytesSent(), 3u);
    EXPECT_EQ(m_socket.BytesReceived(), 3u);
    EXPECT_EQ(m_socket.LastError(), ECONNRESET);
    EXPECT_EQ(m_socket.PendingBytes(), 0u);

    ASSERT_TRUE(m_socket.Connect("127.0.0.1", 110));
    m_socket.Reset();
    EXPECT_EQ(m_ops.CloseCalls, 2) << "Reset closes an open socket instead of leaking it";
    EXPECT_FALSE(m_socket.IsOpen());
    EXPECT_EQ(m_socket.BytesSent(), 0u);
    EXPECT_EQ(m_socket.BytesReceived(), 0u);
    EXPECT_EQ(m_socket.LastError(), 0);
    EXPECT_FALSE(m_socket.IsWritable());
    EXPECT_FALSE(m_socket.IsReadDeferred());
}

} // namespace
} // namespace qm
