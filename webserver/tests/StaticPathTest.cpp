#include "webserver/StaticPath.h"

#include <gtest/gtest.h>

#include <string>

namespace qm {
namespace {

const char* Name(StaticPathVerdict verdict)
{
    switch (verdict) {
    case StaticPathVerdict::Ok:
        return "ok";
    case StaticPathVerdict::BadRequest:
        return "bad";
    case StaticPathVerdict::Forbidden:
        return "forbidden";
    case StaticPathVerdict::TooLong:
        return "too long";
    }
    return "?";
}

TEST(StaticPathTest, MapsInsideAndRefusesEscapes)
{
    struct Case {
        std::string Raw;
        std::string Verdict;
        std::string Relative;
    };

    const Case cases[] = {
            {"/", "ok", ""},
            {"/style.css", "ok", "style.css"},
            {"/theme/blue/style.css", "ok", "theme/blue/style.css"},
            {"//theme///x.css", "ok", "theme/x.css"},
            {"/docs/", "ok", "docs/"},
            {"/a%20b.html", "ok", "a b.html"},
            {"/caf%C3%A9.png", "ok", "caf\xc3\xa9.png"},
            {"/dir%2Ffile", "ok", "dir/file"},
            {"/name..with..dots", "ok", "name..with..dots"},
            {"/..", "forbidden", ""},
            {"/../etc/passwd", "forbidden", ""},
            {"/docs/../../x", "forbidden", ""},
            {"/%2e%2e/x", "forbidden", ""},
            {"/%2E%2e%2fx", "forbidden", ""},
            {"/docs/%2e%2e%2f%2e%2e%2fx", "forbidden", ""},
            {"/./x", "forbidden", ""},
            {"/.hidden", "forbidden", ""},
            {"/a\\..\\b", "forbidden", ""},
            {"/a%5c..%5cb", "forbidden", ""},
            {"/a%0d%0ab", "forbidden", ""},
            {"/a%00b", "bad", ""},
            {"/a%zz", "bad", ""},
            {"/a%2", "bad", ""},
            {"/a%", "bad", ""},
            {"relative", "bad", ""},
            {"", "bad", ""},
            {"/" + std::string(kMaxStaticPathLength - 1, 'a'), "ok", std::string(kMaxStaticPathLength - 1, 'a')},
            {"/" + std::string(kMaxStaticPathLength, 'a'), "too long", ""},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.Raw.substr(0, 60));
        std::string relative = "left over";
        EXPECT_EQ(Name(MapStaticPath(test.Raw, relative)), test.Verdict);
        EXPECT_EQ(relative, test.Relative);
    }
}

} // namespace
} // namespace qm
