#include "webserver/CgiHead.h"

#include <gtest/gtest.h>

#include <string>

namespace qm {
namespace {

std::string Describe(const CgiHead& head)
{
    std::string text = std::to_string(head.Status);
    if (head.ContentLength) {
        text += " length=" + std::to_string(*head.ContentLength);
    }
    for (const CgiHeaderLine& line : head.Headers) {
        text += " [" + std::string(line.Name) + ": " + std::string(line.Value) + "]";
    }
    return text;
}

TEST(CgiHeadTest, ParsesStatusLengthAndRelayedLines)
{
    struct Case {
        std::string Head;
        std::string Want; // Describe() of the result, or "bad"
    };

    const Case cases[] = {
            {"Content-type: text/html\r\n\r\n", "200 [Content-type: text/html]"},
            {"Content-type: text/html\n\n", "200 [Content-type: text/html]"},
            {"Status: 404 Not Found\r\nContent-type: text/plain\r\n\r\n", "404 [Content-type: text/plain]"},
            {"status:503\r\n\r\n", "503"},
            {"Location: /mail?View=List\r\n\r\n", "302 [Location: /mail?View=List]"},
            {"Status: 301 Moved\r\nLocation: /x\r\n\r\n", "301 [Location: /x]"},
            {"Set-Cookie: a=1\r\nSet-Cookie: b=2\r\nContent-type: text/html\r\n\r\n",
             "200 [Set-Cookie: a=1] [Set-Cookie: b=2] [Content-type: text/html]"},
            {"Content-length: 42\r\nExpires: 0\r\nPragma: no-cache\r\n\r\n",
             "200 length=42 [Expires: 0] [Pragma: no-cache]"},
            {"Connection: close\r\nTransfer-Encoding: chunked\r\nKeep-Alive: 5\r\nX: \t y \t\r\n\r\n", "200 [X: y]"},
            {"X-Eight: caf\xc3\xa9\r\n\r\n", "200 [X-Eight: caf\xc3\xa9]"},
            {"\r\n", "200"},
            {"no colon here\r\n\r\n", "bad"},
            {"Bad Name: x\r\n\r\n", "bad"},
            {": empty name\r\n\r\n", "bad"},
            {"X: a\x01b\r\n\r\n", "bad"},
            {std::string("X: a\0b\r\n\r\n", 10), "bad"},
            {"Status: abc\r\n\r\n", "bad"},
            {"Status: 99\r\n\r\n", "bad"},
            {"Status: 600 Too Big\r\n\r\n", "bad"},
            {"Status: 2000\r\n\r\n", "bad"},
            {"Content-Length: -1\r\n\r\n", "bad"},
            {"Content-Length: 12x\r\n\r\n", "bad"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.Head);
        CgiHead head;
        const bool parsed = ParseCgiHead(test.Head, head);
        EXPECT_EQ(parsed ? Describe(head) : "bad", test.Want);
    }
}

TEST(CgiHeadTest, RefusesOneLineMoreThanTheLimit)
{
    std::string head;
    for (size_t i = 0; i < kMaxCgiHeadLines; ++i) {
        head += "X: " + std::to_string(i) + "\r\n";
    }
    CgiHead parsed;
    EXPECT_TRUE(ParseCgiHead(head + "\r\n", parsed));
    EXPECT_FALSE(ParseCgiHead(head + "Y: 1\r\n\r\n", parsed));
}

TEST(CgiHeadTest, FindsTheEndOfTheHeadInTrickledOutput)
{
    const std::string output = "Content-type: text/plain\r\nSet-Cookie: a=1\n\r\nbody\r\n\r\nmore";
    const size_t bodyStart = output.find("body");
    for (size_t piece = 1; piece <= 7; ++piece) {
        SCOPED_TRACE(piece);
        std::string buffer;
        size_t scanFrom = 0;
        size_t found = std::string::npos;
        for (size_t at = 0; at < output.size() && found == std::string::npos; at += piece) {
            buffer.append(output.substr(at, piece));
            found = FindCgiHeadEnd(buffer, scanFrom);
            if (found == std::string::npos) {
                EXPECT_LT(buffer.size(), bodyStart);
            }
        }
        EXPECT_EQ(found, bodyStart);
    }
}

TEST(CgiHeadTest, NoEndWhileTheEmptyLineIsIncomplete)
{
    const std::string output = "A: 1\r\nB: 2\r\n\r\n";
    for (size_t cut = 0; cut < output.size(); ++cut) {
        SCOPED_TRACE(cut);
        size_t scanFrom = 0;
        EXPECT_EQ(FindCgiHeadEnd(std::string_view(output).substr(0, cut), scanFrom), std::string::npos);
    }
    size_t scanFrom = 0;
    EXPECT_EQ(FindCgiHeadEnd(output, scanFrom), output.size());
    scanFrom = 0;
    EXPECT_EQ(FindCgiHeadEnd("\nbody", scanFrom), 1u);
}

} // namespace
} // namespace qm
