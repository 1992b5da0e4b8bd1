#include "webserver/ReplyBuffer.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace qm {
namespace {

constexpr int kLongWaitMs = 30000;

// The whole output as the engine would write it, in one piece, then the end.
void WriteWhole(ReplyBuffer& reply, const std::string& output)
{
    if (!output.empty()) {
        ASSERT_EQ(reply.Write(output.data(), output.size()), static_cast<long>(output.size()));
    }
    reply.End();
}

std::string ReadAll(ReplyBuffer& reply, uint64_t* sent, size_t piece = 7)
{
    std::string body;
    std::string chunk(piece, '\0');
    for (;;) {
        const long got = reply.Read(chunk.data(), chunk.size(), sent);
        if (got <= 0) {
            EXPECT_EQ(got, 0);
            return body;
        }
        body.append(chunk.data(), static_cast<size_t>(got));
    }
}

TEST(ReplyBufferTest, WholeOutputsGiveTheirHeadAndBody)
{
    struct Case {
        const char* Name;
        std::string Output;
        CgiHeadOutcome Outcome;
        unsigned Status;
        std::string Body;
    };
    const Case cases[] = {
            {"head and body", "Status: 201 Created\r\nContent-type: text/html\r\n\r\n<p>page</p>",
             CgiHeadOutcome::Read, 201, "<p>page</p>"},
            {"lines without the empty line", "Content-type: text/plain\r\n", CgiHeadOutcome::Read, 200, ""},
            {"empty output", "", CgiHeadOutcome::Malformed, 0, ""},
            {"no head", "just text\r\n\r\nbody", CgiHeadOutcome::Malformed, 0, ""},
            {"head past the limit", "X-Long: " + std::string(kMaxCgiHeadBytes, 'a') + "\r\n\r\nbody",
             CgiHeadOutcome::Malformed, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        ReplyBuffer reply(kLongWaitMs);
        WriteWhole(reply, c.Output);
        CgiHead head;
        ASSERT_EQ(reply.ReadHead(head), c.Outcome);
        if (c.Outcome != CgiHeadOutcome::Read) {
            continue;
        }
        EXPECT_EQ(head.Status, c.Status);
        std::string body = "left over";
        ASSERT_TRUE(reply.TakeWholeBody(body));
        EXPECT_EQ(body, c.Body);
    }
}

TEST(ReplyBufferTest, HeadPastTheLimitIsRefusedWithoutWaitingForTheEnd)
{
    ReplyBuffer reply(kLongWaitMs);
    const std::string line = "X-Long: " + std::string(kMaxCgiHeadBytes, 'a');
    ASSERT_EQ(reply.Write(line.data(), line.size()), static_cast<long>(line.size()));
    CgiHead head;
    EXPECT_EQ(reply.ReadHead(head), CgiHeadOutcome::Malformed); // the engine has not ended: no wait for it
    reply.End();
}

TEST(ReplyBufferTest, TrickledReplyArrivesInOrderAndIsCounted)
{
    auto reply = std::make_shared<ReplyBuffer>(kLongWaitMs);
    const std::string pieces[] = {"Content-", "type: text/plain\r", "\n\r\n", "first ", "second ", "third"};
    std::thread engine([&] {
        for (const std::string& piece : pieces) {
            EXPECT_EQ(reply->Write(piece.data(), piece.size()), static_cast<long>(piece.size()));
            std::this_thread::yield();
        }
        reply->End();
    });
    CgiHead head;
    ASSERT_EQ(reply->ReadHead(head), CgiHeadOutcome::Read);
    ASSERT_EQ(head.Headers.size(), 1u);
    EXPECT_EQ(head.Headers[0].Value, "text/plain");
    uint64_t sent = 0;
    const std::string body = ReadAll(*reply, &sent, 3);
    engine.join();
    EXPECT_EQ(body, "first second third");
    EXPECT_EQ(sent, body.size());
    std::string rest;
    EXPECT_TRUE(reply->TakeWholeBody(rest));
    EXPECT_EQ(rest, "");
}

TEST(ReplyBufferTest, WholeBodyIsNotTakenWhileTheEngineMayWriteOn)
{
    ReplyBuffer reply(kLongWaitMs);
    const std::string output = "Content-type: text/plain\r\n\r\nbegun";
    ASSERT_EQ(reply.Write(output.data(), output.size()), static_cast<long>(output.size()));
    CgiHead head;
    ASSERT_EQ(reply.ReadHead(head), CgiHeadOutcome::Read);
    std::string body;
    EXPECT_FALSE(reply.TakeWholeBody(body));
    const std::string more = " and ended";
    ASSERT_EQ(reply.Write(more.data(), more.size()), static_cast<long>(more.size()));
    reply.End();
    ASSERT_TRUE(reply.TakeWholeBody(body));
    EXPECT_EQ(body, "begun and ended");
    EXPECT_EQ(reply.Write("x", 1), -1); // nothing after the end
}

TEST(ReplyBufferTest, WriterBeyondTheCapWaitsForTheConnection)
{
    constexpr size_t kCap = 32; // more than the head, less than the body
    auto reply = std::make_shared<ReplyBuffer>(kLongWaitMs, kCap);
    std::string output = "Content-type: a/b\r\n\r\n";
    for (int i = 0; i < 40; ++i) {
        output += std::to_string(i) + ",";
    }
    long written = 0;
    std::thread engine([&] {
        written = reply->Write(output.data(), output.size());
        reply->End();
    });
    CgiHead head;
    ASSERT_EQ(reply->ReadHead(head), CgiHeadOutcome::Read);
    uint64_t sent = 0;
    const std::string body = ReadAll(*reply, &sent, 5);
    engine.join();
    EXPECT_EQ(written, static_cast<long>(output.size()));
    EXPECT_EQ(body, output.substr(output.find("\r\n\r\n") + 4));
}

TEST(ReplyBufferTest, AbandonLetsAWaitingWriterGoOnAndDropsItsBytes)
{
    auto reply = std::make_shared<ReplyBuffer>(kLongWaitMs, 8);
    const std::string output(100, 'z');
    long written = 0;
    std::thread engine([&] {
        written = reply->Write(output.data(), output.size()); // waits: nobody reads past the cap
        reply->End();
    });
    CgiHead head;
    EXPECT_EQ(reply->ReadHead(head), CgiHeadOutcome::Malformed); // 8 bytes of no head, and the end is not coming
    reply->Abandon();
    engine.join();
    EXPECT_EQ(written, static_cast<long>(output.size())); // not -1: the abandon, not the wait limit, ended the wait
    EXPECT_EQ(reply->Write("more", 4), -1);               // ended
}

TEST(ReplyBufferTest, EveryWaitEndsAtTheWaitLimit)
{
    {
        ReplyBuffer reply(50);
        CgiHead head;
        EXPECT_EQ(reply.ReadHead(head), CgiHeadOutcome::TimedOut); // the engine never writes
        reply.End();
    }
    {
        ReplyBuffer reply(50);
        const std::string output = "Content-type: a/b\r\n\r\nx";
        ASSERT_EQ(reply.Write(output.data(), output.size()), static_cast<long>(output.size()));
        CgiHead head;
        ASSERT_EQ(reply.ReadHead(head), CgiHeadOutcome::Read);
        char out[8];
        EXPECT_EQ(reply.Read(out, sizeof out, nullptr), 1);
        EXPECT_EQ(reply.Read(out, sizeof out, nullptr), -1); // silent engine, not ended
    }
    {
        ReplyBuffer reply(50, 4);
        EXPECT_EQ(reply.Write("0123456789", 10), -1); // nobody takes the bytes
        EXPECT_EQ(reply.Write("0", 1), 1);            // given up: dropped from now on
    }
}

} // namespace
} // namespace qm
