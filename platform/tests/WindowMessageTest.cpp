#include "platform/WindowMessage.h"

#include "platform/tests/IpcTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <cstring>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace qm {
namespace {

using ipctest::HelperProcess;
using ipctest::IpcTest;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class WindowMessageTest : public IpcTest {
protected:
    WindowMessageEndpoint MakeEndpoint()
    {
        auto endpoint = WindowMessageEndpoint::Create(Ns());
        EXPECT_TRUE(endpoint) << endpoint.error().Message;
        return endpoint ? std::move(*endpoint) : WindowMessageEndpoint();
    }
};

TEST_F(WindowMessageTest, HandlesNameThisProcessAndDiffer)
{
    WindowMessageEndpoint a = MakeEndpoint();
    WindowMessageEndpoint b = MakeEndpoint();
    EXPECT_EQ(WindowProcessId(a.Handle()), static_cast<std::uint32_t>(::getpid()));
    EXPECT_NE(a.Handle() & 0xFFFFFFFFU, 0U);
    EXPECT_NE(a.Handle(), b.Handle());
    EXPECT_GE(a.Fd(), 0);
}

TEST_F(WindowMessageTest, MessagePostedByAnotherProcessArrives)
{
    WindowMessageEndpoint endpoint = MakeEndpoint();
    HelperProcess poster("post", ipctest::Hex16(endpoint.Handle()) + " 9904 9906");
    EXPECT_EQ(poster.ReadLine(), std::to_string(static_cast<int>(PostResult::Queued)));

    auto message = endpoint.WaitFor(5s);
    ASSERT_TRUE(message) << "nothing arrived";
    EXPECT_EQ(message->Window, endpoint.Handle());
    EXPECT_EQ(message->Message, 9904U);
    EXPECT_EQ(message->WParam, 9906U);
    EXPECT_EQ(message->LParam, 0);
    EXPECT_FALSE(endpoint.Receive());
}

TEST_F(WindowMessageTest, ReceiveAndWaitForReturnNothingWhenNothingWaits)
{
    WindowMessageEndpoint endpoint = MakeEndpoint();
    EXPECT_FALSE(endpoint.Receive());
    const auto start = Clock::now();
    EXPECT_FALSE(endpoint.WaitFor(50ms));
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, 45ms);
    EXPECT_LT(waited, 1s);

    ASSERT_EQ(PostWindowMessage(Ns(), endpoint.Handle(), 9904, 0xFFFFFFFFFFFFFFFFULL, -5), PostResult::Queued);
    auto message = endpoint.Receive();
    ASSERT_TRUE(message);
    EXPECT_EQ(message->WParam, 0xFFFFFFFFFFFFFFFFULL);
    EXPECT_EQ(message->LParam, -5);
}

TEST_F(WindowMessageTest, PostingToNoWindowReturnsAtOnce)
{
    WindowHandle vanished = kNoWindow;
    {
        WindowMessageEndpoint endpoint = MakeEndpoint();
        vanished = endpoint.Handle();
    }
    WindowMessageEndpoint elsewhere = MakeEndpoint();
    const IpcNamespace other = IpcNamespace::Named(Ns().Name() + "b");

    struct Case {
        const char* What;
        const IpcNamespace& Ns;
        WindowHandle Window;
    };

    const IpcNamespace ns = Ns();
    const Case cases[] = {
            {"destroyed window", ns, vanished},
            {"empty slot", ns, kNoWindow},
            {"made-up handle", ns, (std::uint64_t{0x7FFFFFFE} << 32) | 1},
            {"window of another namespace", other, elsewhere.Handle()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        const auto start = Clock::now();
        EXPECT_EQ(PostWindowMessage(c.Ns, c.Window, 9904, 9906, 0), PostResult::NoReceiver);
        EXPECT_LT(Clock::now() - start, 100ms);
    }
    EXPECT_FALSE(elsewhere.Receive());
}

TEST_F(WindowMessageTest, FloodNeverBlocksTheSender)
{
    WindowMessageEndpoint endpoint = MakeEndpoint();
    int queued = 0;
    int full = 0;

    // A sender that blocks ends the test here rather than at the harness's time limit.
    struct Watchdog {
        Watchdog() { ::alarm(10); }

        Watchdog(const Watchdog&) = delete;
        Watchdog& operator=(const Watchdog&) = delete;

        ~Watchdog() { ::alarm(0); }
    } watchdog;

    const auto start = Clock::now();
    // Far more than any receive queue holds; once it is full, a few more posts must be turned away at once too.
    for (std::uint64_t i = 0; i < 100000 && full < 100; ++i) {
        const PostResult result = PostWindowMessage(Ns(), endpoint.Handle(), 9904, i, 0);
        ASSERT_TRUE(result == PostResult::Queued || result == PostResult::QueueFull)
                << "got " << static_cast<int>(result) << " at message " << i;
        result == PostResult::Queued ? ++queued : ++full;
    }
    EXPECT_LT(Clock::now() - start, 3s);
    EXPECT_GT(full, 0) << "the receiver's queue never filled";
    EXPECT_GT(queued, 0);

    // What was queued arrives in order; then the window takes messages again.
    int received = 0;
    std::uint64_t last = 0;
    while (auto message = endpoint.Receive()) {
        EXPECT_TRUE(received == 0 || message->WParam > last) << "got " << message->WParam << " after " << last;
        last = message->WParam;
        ++received;
    }
    EXPECT_EQ(received, queued);
    EXPECT_EQ(PostWindowMessage(Ns(), endpoint.Handle(), 9904, 1, 0), PostResult::Queued);
    EXPECT_TRUE(endpoint.Receive());
}

TEST_F(WindowMessageTest, ForeignDatagramsAreSkipped)
{
    WindowMessageEndpoint endpoint = MakeEndpoint();
    const std::string name = Ns().SocketName("wnd." + ipctest::Hex16(endpoint.Handle()));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    unsigned char junk[64] = {1, 2, 3};
    for (const std::size_t size : {std::size_t{5}, std::size_t{32}, std::size_t{64}}) {
        ASSERT_EQ(::sendto(fd, junk, size, 0, reinterpret_cast<const sockaddr*>(&address), length),
                  static_cast<ssize_t>(size));
    }
    ::close(fd);
    ASSERT_EQ(PostWindowMessage(Ns(), endpoint.Handle(), 9904, 9905, 0), PostResult::Queued);
    auto message = endpoint.Receive();
    ASSERT_TRUE(message);
    EXPECT_EQ(message->WParam, 9905U);
    EXPECT_FALSE(endpoint.Receive());
}

} // namespace
} // namespace qm
