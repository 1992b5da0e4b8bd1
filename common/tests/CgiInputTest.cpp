#include "common/CgiInput.h"

#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qm {
namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { static_cast<void>(std::fclose(f)); }
};

using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// An environment block: NUL-terminated "NAME=value" entries and an empty entry at the end.
std::string EnvBlock(const std::vector<std::string>& entries)
{
    std::string block;
    for (const auto& entry : entries) {
        block += entry;
        block += '\0';
    }
    block += '\0';
    return block;
}

// An anonymous file holding bytes, positioned at its start.
FilePtr StreamWith(const std::string& bytes)
{
    FilePtr f(std::tmpfile());
    EXPECT_NE(f, nullptr);
    EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f.get()), bytes.size());
    std::rewind(f.get());
    return f;
}

std::string Rest(std::FILE* f)
{
    std::string rest;
    for (int c = std::fgetc(f); c != EOF; c = std::fgetc(f)) {
        rest += static_cast<char>(c);
    }
    return rest;
}

using Pairs = std::vector<std::pair<std::string, std::string>>;

Pairs PairsOf(const NameValueList& list)
{
    Pairs pairs;
    for (int i = 0; i < list.Count(); ++i) {
        pairs.emplace_back(list.Item(i)->Name(), list.Item(i)->Value());
    }
    return pairs;
}

// Parses form text as a request whose multi-valued names are `multi`.
Pairs ParsedForm(const std::string& text, const std::vector<const char*>& multi = {})
{
    const std::string env = EnvBlock({});
    CgiInput input(nullptr, nullptr, env.c_str());
    for (const char* name : multi) {
        input.MultiValuedNames().Add(name);
    }
    std::string copy = text;
    input.ParseFormData(copy.data());
    return PairsOf(input.Variables());
}

// A copy of s in a heap buffer of exactly its size, so that AddressSanitizer sees any access past the NUL.
std::string Decoded(const std::string& s)
{
    auto buf = std::make_unique<char[]>(s.size() + 1);
    std::memcpy(buf.get(), s.c_str(), s.size() + 1);
    UrlDecode(buf.get());
    return buf.get();
}

TEST(CgiInputTest, FormFieldsLastWinsUnlessMultiValued)
{
    struct Case {
        const char* Text;
        std::vector<const char*> Multi;
        Pairs Want;
    };

    const std::vector<Case> cases = {
            {"a=1&a=2", {}, {{"a", "2"}}},
            {"a=1&a=2", {"A"}, {{"a", "1"}, {"a", "2"}}},
            {"go.x=10&go.y=5", {}, {{"go", "5"}}},
            {"Go.X=10", {}, {{"Go", "10"}}},
            {"file.txt=3", {}, {{"file.txt", "3"}}},
            {"a.b.y=1", {}, {{"a.b", "1"}}},
            {"name", {}, {{"name", ""}}},
            {"&&a=1&&&b=2&", {}, {{"a", "1"}, {"b", "2"}}},
            {"", {}, {}},
            {"q=a%3Db=c&x=y=z", {}, {{"q", "a=b=c"}, {"x", "y=z"}}},
            {"first+name=J%C3%BCrgen+M", {}, {{"first name", "J\xC3\xBCrgen M"}}},
            {"b=1&A=2&B=3", {}, {{"b", "3"}, {"A", "2"}}},
            // The ending is checked before decoding: "%2Ex" is not an image-button suffix.
            {"go%2Ex=1", {}, {{"go.x", "1"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("form '") + c.Text + "'");
        EXPECT_EQ(ParsedForm(c.Text, c.Multi), c.Want);
    }
}

TEST(CgiInputTest, UrlDecodeTable)
{
    struct Case {
        const char* Input;
        const char* Want;
    };

    const Case cases[] = {
            {"a+b%41%zz", "a bA"}, // '%zz' decodes to the byte 0, which ends the text
            {"%41%62c", "Abc"},
            {"%e9%C3", "\xE9\xC3"},
            {"100%", "100%"},
            {"%4", "%4"},
            {"x%", "x%"},
            {"%%41", "\x04"
                     "1"}, // "%%4": '%' is not a hex digit and counts 0, so 0x04; then '1'
            {"a%2", "a%2"},
            {"", ""},
            {"%00tail", ""},
            {"+++", "   "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("input '") + c.Input + "'");
        EXPECT_EQ(Decoded(c.Input), c.Want);
    }
    UrlDecode(nullptr);
}

TEST(CgiInputTest, ParsingStaysInsideEveryTruncation)
{
    const std::string encoded = "go.x=1&n%41me=a+b%2&c%=%4&&z";
    for (std::size_t n = 0; n <= encoded.size(); ++n) {
        const std::string piece = encoded.substr(0, n);
        SCOPED_TRACE("piece '" + piece + "'");
        Decoded(piece);
        const std::string env = EnvBlock({});
        CgiInput input(nullptr, nullptr, env.c_str());
        auto buf = std::make_unique<char[]>(piece.size() + 1);
        std::memcpy(buf.get(), piece.c_str(), piece.size() + 1);
        input.ParseFormData(buf.get());
        if (n == encoded.size()) {
            EXPECT_EQ(PairsOf(input.Variables()), (Pairs{{"go", "1"}, {"nAme", "a b%2"}, {"c%", "%4"}, {"z", ""}}));
        }
    }
}

TEST(CgiInputTest, GetEnvFromBlockIgnoresCase)
{
    const std::string env =
            EnvBlock({"SERVER_NAMEX=wrong", "Server_Name=mail.example", "EMPTY=", "PATH_INFO=/a=b", "NOEQUALS"});
    const CgiInput input(nullptr, nullptr, env.c_str());
    EXPECT_STREQ(input.GetEnv("SERVER_NAME"), "mail.example");
    EXPECT_STREQ(input.GetEnv("server_name"), "mail.example") << "the remembered entry is matched the same way";
    EXPECT_STREQ(input.GetEnv("SERVER_NAMEX"), "wrong");
    EXPECT_STREQ(input.GetEnv("SERVER"), "");
    EXPECT_STREQ(input.GetEnv("path_info"), "/a=b");
    EXPECT_STREQ(input.GetEnv("EMPTY"), "");
    EXPECT_STREQ(input.GetEnv("NOEQUALS"), "");
    EXPECT_STREQ(input.GetEnv("MISSING"), "");
    EXPECT_STREQ(input.GetEnv(""), "");
    EXPECT_STREQ(input.GetEnv(nullptr), "");
    EXPECT_STREQ(input.GetEnv("Server_Name"), "mail.example");

    const std::string none = EnvBlock({});
    EXPECT_STREQ(CgiInput(nullptr, nullptr, none.c_str()).GetEnv("PATH"), "");
}

TEST(CgiInputTest, GetEnvWithoutBlockAsksTheProcess)
{
    // Each test runs in a process of its own, on one thread.
    ASSERT_EQ(setenv("QM_CGI_TEST_VALUE", "from process", 1), 0); // NOLINT(concurrency-mt-unsafe)
    const CgiInput input(nullptr, nullptr, nullptr);
    EXPECT_STREQ(input.GetEnv("QM_CGI_TEST_VALUE"), "from process");
    EXPECT_STREQ(input.GetEnv("QM_CGI_TEST_MISSING"), "");
    unsetenv("QM_CGI_TEST_VALUE"); // NOLINT(concurrency-mt-unsafe)
}

TEST(CgiInputTest, ReadInputTakesQueryBodyAndCookies)
{
    const std::string body = "b=2&a=from+body";
    const std::string env = EnvBlock({
            "QUERY_STRING=a=1&View=List",
            "CONTENT_LENGTH=" + std::to_string(body.size()),
            "content_type=Application/X-WWW-Form-Urlencoded; charset=x",
            "HTTP_COOKIE=Session=ABC; Lang = en ;junk; Lang=fr; Enc=%41",
    });
    FilePtr in = StreamWith(body + "&extra=unread");
    CgiInput input(in.get(), stdout, env.c_str());
    input.ReadInput(true);
    EXPECT_EQ(PairsOf(input.Variables()), (Pairs{{"a", "from body"}, {"View", "List"}, {"b", "2"}}));
    EXPECT_EQ(PairsOf(input.Cookies()), (Pairs{{"Session", "ABC"}, {"Lang", "en"}, {"Lang", "fr"}, {"Enc", "%41"}}));
    EXPECT_EQ(Rest(in.get()), "&extra=unread") << "no more than CONTENT_LENGTH is read";
    EXPECT_EQ(input.Input(), in.get());
    EXPECT_EQ(input.Output(), stdout);
}

TEST(CgiInputTest, CookiesFallBackToCookieVariable)
{
    struct Case {
        const char* Name;
        std::vector<std::string> Env;
        Pairs Want;
    };

    const std::vector<Case> cases = {
            {"empty HTTP_COOKIE", {"HTTP_COOKIE=", "COOKIE=User=bob"}, {{"User", "bob"}}},
            {"missing HTTP_COOKIE", {"COOKIE=User=bob"}, {{"User", "bob"}}},
            {"HTTP_COOKIE wins", {"HTTP_COOKIE=A=1", "COOKIE=User=bob"}, {{"A", "1"}}},
            {"none", {}, {}},
            {"only separators", {"HTTP_COOKIE=;; ;"}, {}},
            {"empty parts", {"HTTP_COOKIE= = ;k="}, {{"", ""}, {"k", ""}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::string env = EnvBlock(c.Env);
        CgiInput input(nullptr, nullptr, env.c_str());
        input.ReadInput(false);
        EXPECT_EQ(PairsOf(input.Cookies()), c.Want);
    }
}

TEST(CgiInputTest, BodyIsReadOnlyWhenSoundAndUrlEncoded)
{
    const std::string body = "x=1";

    struct Case {
        const char* Name;
        std::string ContentType;
        std::string ContentLength;
        bool WithStream;
        Pairs Want;
        std::string Unread;
        std::size_t Length; // what FormBodyLength gives before the read
    };

    const std::vector<Case> cases = {
            {"form", "application/x-www-form-urlencoded", "3", true, {{"x", "1"}}, "", 3},
            {"multipart left unread", "multipart/form-data; boundary=z", "3", true, {}, "x=1", 0},
            {"short prefix of the type", "application/x-www-form", "3", true, {}, "x=1", 0},
            {"no content type", "", "3", true, {}, "x=1", 0},
            {"no stream", "application/x-www-form-urlencoded", "3", false, {}, "x=1", 0},
            {"zero length", "application/x-www-form-urlencoded", "0", true, {}, "x=1", 0},
            {"negative length", "application/x-www-form-urlencoded", "-3", true, {}, "x=1", 0},
            {"garbage length", "application/x-www-form-urlencoded", "abc", true, {}, "x=1", 0},
            {"overflowing length",
             "application/x-www-form-urlencoded",
             "99999999999999999999999999",
             true,
             {},
             "x=1",
             std::numeric_limits<std::size_t>::max()},
            {"over the limit",
             "application/x-www-form-urlencoded",
             std::to_string(kMaxFormPostBytes + 1),
             true,
             {},
             "x=1",
             kMaxFormPostBytes + 1},
            {"at the limit, body short",
             "application/x-www-form-urlencoded",
             std::to_string(kMaxFormPostBytes),
             true,
             {{"x", "1"}},
             "",
             kMaxFormPostBytes},
            {"longer than the body", "application/x-www-form-urlencoded", "1000", true, {{"x", "1"}}, "", 1000},
            {"leading space and plus", "application/x-www-form-urlencoded", " +2", true, {{"x", ""}}, "1", 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::string env = EnvBlock({"CONTENT_TYPE=" + c.ContentType, "CONTENT_LENGTH=" + c.ContentLength});
        FilePtr in = StreamWith(body);
        CgiInput input(c.WithStream ? in.get() : nullptr, nullptr, env.c_str());
        EXPECT_EQ(input.FormBodyLength(), c.Length);
        input.ReadInput(true);
        EXPECT_EQ(PairsOf(input.Variables()), c.Want);
        EXPECT_EQ(Rest(in.get()), c.Unread);
    }
}

TEST(CgiInputTest, BodyCutShortIsParsedAsFarAsRead)
{
    // The announced length is the whole body; the stream ends at every earlier position.
    const std::string body = "one=1&two=%32%&three=a+b";
    const std::string env = EnvBlock(
            {"CONTENT_TYPE=application/x-www-form-urlencoded", "CONTENT_LENGTH=" + std::to_string(body.size())});
    for (std::size_t n = 0; n <= body.size(); ++n) {
        const std::string prefix = body.substr(0, n);
        SCOPED_TRACE("read '" + prefix + "'");
        FilePtr in = StreamWith(prefix);
        CgiInput input(in.get(), nullptr, env.c_str());
        input.ReadInput(true);
        EXPECT_EQ(PairsOf(input.Variables()), ParsedForm(prefix));
    }
}

TEST(CgiInputTest, LargeBodyIsReadWhole)
{
    // Larger than one read chunk, so the body arrives over several reads.
    std::string body = "big=";
    body.append(200 * 1024, 'v');
    body += "&end=1";
    const std::string env = EnvBlock(
            {"CONTENT_TYPE=application/x-www-form-urlencoded", "CONTENT_LENGTH=" + std::to_string(body.size())});
    FilePtr in = StreamWith(body);
    CgiInput input(in.get(), nullptr, env.c_str());
    input.ReadInput(true);
    EXPECT_EQ(std::strlen(input.Variables().GetValue("big")), 200u * 1024);
    EXPECT_STREQ(input.Variables().GetValue("end"), "1");
}

TEST(CgiInputTest, FieldsAndEscapesAcrossReadChunksParseAsInOnePiece)
{
    // The body is parsed as it is read in 64 KiB chunks: a '&', a '=' or a "%41" escape at every place around a
    // chunk's end must give the same form as the whole text parsed at once.
    constexpr std::size_t kChunk = 64 * 1024;
    for (std::size_t shift = 0; shift < 6; ++shift) {
        for (const char* tail : {"&b=2", "=x&c=3", "%41%42&d=4", "&&e=%4", "+f&multi=1&multi=2"}) {
            std::string body = "a=";
            body.append(kChunk - body.size() - 3 + shift, 'v');
            body += tail;
            body += "&last=z";
            SCOPED_TRACE("shift " + std::to_string(shift) + " tail " + tail);
            const std::string env = EnvBlock({"CONTENT_TYPE=application/x-www-form-urlencoded",
                                              "CONTENT_LENGTH=" + std::to_string(body.size())});
            FilePtr in = StreamWith(body);
            CgiInput input(in.get(), nullptr, env.c_str());
            input.MultiValuedNames().Add("multi");
            input.ReadInput(true);
            EXPECT_EQ(PairsOf(input.Variables()), ParsedForm(body, {"multi"}));
        }
    }
}

TEST(CgiInputTest, FormFieldsPastTheLimitMarkTheInputOverflowed)
{
    // Distinct names in the query and the body: each one past the limit would search every field before it.
    const auto fields = [](const char* prefix, std::size_t count) {
        std::string text;
        for (std::size_t i = 0; i < count; ++i) {
            text += prefix + std::to_string(i) + "=" + std::to_string(i) + "&";
        }
        return text;
    };

    struct Case {
        const char* Name;
        std::size_t QueryFields;
        std::size_t BodyFields;
        InputOverflow Want;
    };

    const Case cases[] = {
            {"query and body at the limit", 10, kMaxFormFields - 10, InputOverflow::None},
            {"one field over, in the body", 10, kMaxFormFields - 9, InputOverflow::TooManyFields},
            {"many over", 10, kMaxFormFields * 4, InputOverflow::TooManyFields},
            {"over in the query alone", kMaxFormFields + 1, 0, InputOverflow::TooManyFields},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::string body = fields("f", c.BodyFields) + "&&"; // empty pieces are no fields
        const std::string env = EnvBlock({"QUERY_STRING=" + fields("q", c.QueryFields),
                                          "CONTENT_TYPE=application/x-www-form-urlencoded",
                                          "CONTENT_LENGTH=" + std::to_string(body.size())});
        FilePtr in = StreamWith(body);
        CgiInput input(in.get(), nullptr, env.c_str());
        input.ReadInput(true);
        EXPECT_EQ(input.Overflowed(), c.Want);
        EXPECT_LE(static_cast<std::size_t>(input.Variables().Count()), kMaxFormFields);
        EXPECT_STREQ(input.Variables().GetValue("q0"), "0");
    }
}

TEST(CgiInputTest, ABodyOverTheLimitMarksTheInputOverflowed)
{
    const std::string env = EnvBlock({"QUERY_STRING=View=List", "CONTENT_TYPE=application/x-www-form-urlencoded",
                                      "CONTENT_LENGTH=" + std::to_string(kMaxFormPostBytes + 1)});
    FilePtr in = StreamWith("Delete=1");
    CgiInput input(in.get(), nullptr, env.c_str());
    input.ReadInput(true);
    EXPECT_EQ(input.Overflowed(), InputOverflow::BodyTooLarge);
    EXPECT_EQ(Rest(in.get()), "Delete=1");
}

TEST(CgiInputTest, DecodeFormNameGivesTheNameTheFormHolds)
{
    const std::pair<const char*, const char*> cases[] = {
            {"%50assword", "Password"},
            {"Pass%77ord.x", "Password"},
            {"Password.Y", "Password"},
            {"P%61ss+word", "Pass word"},
            {"a%00b", "a"},
            {"plain", "plain"},
            {"%2e%78", ".x"},
            {"", ""},
    };
    for (const auto& [raw, want] : cases) {
        SCOPED_TRACE(raw);
        EXPECT_EQ(DecodeFormName(raw), want);
        std::string field = std::string(raw) + "=v";
        CgiInput input(nullptr, nullptr, "\0");
        input.ParseFormData(field.data());
        if (*want != '\0') {
            EXPECT_STREQ(input.Variables().GetValue(want), "v") << "the form holds the field under that name";
        }
    }
}

TEST(CgiInputTest, UrlEncodeTable)
{
    struct Case {
        std::string Input;
        const char* Want;
    };

    const std::vector<Case> cases = {
            {"a b&c", "a%20b%26c"},         {"~x-y_z.1", "~x-y_z.1"},
            {"$-_.!*'(),~", "$-_.!*'(),~"}, {"", ""},
            {"\xE9/\x7F", "%E9%2F%7F"},     {"C:\\Users\\bob\\", "C%3A%5CUsers%5Cbob%5C"},
            {"a=b+c%", "a%3Db%2Bc%25"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("input '" + c.Input + "'");
        EXPECT_EQ(UrlEncode(c.Input), c.Want);
        std::vector<char> out(3 * c.Input.size() + 1);
        EXPECT_TRUE(UrlEncode(out.data(), c.Input.c_str(), out.size()));
        EXPECT_STREQ(out.data(), c.Want);
    }
    EXPECT_EQ(UrlEncode(std::string_view("\0a", 2)), "%00a");
    char out[4] = "xyz";
    EXPECT_TRUE(UrlEncode(out, nullptr, sizeof out));
    EXPECT_STREQ(out, "");
}

TEST(CgiInputTest, UrlEncodeStopsAtTheBufferEnd)
{
    struct Case {
        std::size_t Size;
        const char* Want;
        bool Complete;
    };

    // "a b" encodes to "a%20b": 6 bytes with the NUL. Only whole encoded bytes are written.
    const Case cases[] = {
            {6, "a%20b", true}, {5, "a%20", false}, {4, "a", false}, {2, "a", false}, {1, "", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("size " + std::to_string(c.Size));
        auto out = std::make_unique<char[]>(c.Size);
        EXPECT_EQ(UrlEncode(out.get(), "a b", c.Size), c.Complete);
        EXPECT_STREQ(out.get(), c.Want);
    }
    EXPECT_FALSE(UrlEncode(nullptr, "a", 0));
}

// Runs a program found on PATH with these arguments, without a shell, its standard output going to outputPath.
// Returns its exit status, or -1 when it could not be started or did not exit normally.
int RunProgram(std::vector<std::string> args, const std::string& outputPath)
{
    std::vector<char*> argv;
    for (auto& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    if (rc != 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

TEST(CgiInputTest, UrlEncodeAgreesWithPythonQuote)
{
    test::TempDir dir;
    if (RunProgram({"python3", "-c", "pass"}, dir.PathOf("probe.txt")) != 0) {
        GTEST_SKIP() << "python3 is not available";
    }
    std::mt19937 random(20240601); // NOLINT(cert-msc51-cpp): the same bytes on every run
    std::string bytes;
    for (int i = 0; i < 4096; ++i) {
        bytes += static_cast<char>(random() % 256);
    }
    for (int c = 0; c < 256; ++c) {
        bytes += static_cast<char>(c);
    }
    const std::string input = dir.WriteFile("in.bin", bytes);
    const std::string script =
            dir.WriteFile("quote.py", "import sys, urllib.parse\n"
                                      "data = open(sys.argv[1], 'rb').read()\n"
                                      "sys.stdout.write(urllib.parse.quote(data, safe=\"$-_.!*'(),~\"))\n");
    const std::string output = dir.PathOf("out.txt");
    ASSERT_EQ(RunProgram({"python3", script, input}, output), 0);
    const std::string want = test::TempDir::ReadFile(output);
    ASSERT_FALSE(want.empty());
    EXPECT_EQ(UrlEncode(bytes), want);
}

// Everything WriteHtmlEscaped writes for text, read back from an anonymous file.
std::string Escaped(const char* text, bool raw)
{
    FilePtr f(std::tmpfile());
    WriteHtmlEscaped(text, f.get(), raw);
    std::rewind(f.get());
    return Rest(f.get());
}

TEST(CgiInputTest, HtmlEscapingTable)
{
    struct Case {
        const char* Text;
        const char* NotRaw;
        const char* Raw;
    };

    const Case cases[] = {
            {"a  b\n c", "a &nbsp;b<BR>\r\n&nbsp;c", "a  b\n c"},
            {"<a href=\"x\">&amp;</a>", "&lt;a href=&quot;x&quot;&gt;&amp;amp;&lt;/a&gt;",
             "&lt;a href=&quot;x&quot;&gt;&amp;amp;&lt;/a&gt;"},
            {"  lead", "&nbsp; lead", "  lead"},
            {"a    b", "a &nbsp; &nbsp;b", "a    b"},
            // A TAB is two blanks of the alternation.
            {"a\tb\r\nc", "a &nbsp;b<BR>\r\nc", "a\tb\r\nc"},
            {"\t x", "&nbsp; &nbsp;x", "\t x"},
            {"\t\t\t", "&nbsp; &nbsp; &nbsp; ", "\t\t\t"},
            // A dropped CR leaves the hard-space flag as it was.
            {"a \r b", "a &nbsp;b", "a \r b"},
            {"x\r\n  y", "x<BR>\r\n&nbsp; y", "x\r\n  y"},
            {"&\n", "&amp;<BR>\r\n", "&amp;\n"},
            {"\xE9 \xA0", "\xE9 \xA0", "\xE9 \xA0"},
            {"", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("text '") + c.Text + "'");
        EXPECT_EQ(Escaped(c.Text, false), c.NotRaw);
        EXPECT_EQ(Escaped(c.Text, true), c.Raw);
        std::string appended = "pre:";
        AppendHtmlEscaped(appended, c.Text, false);
        EXPECT_EQ(appended, std::string("pre:") + c.NotRaw) << "the string form agrees";
        appended.clear();
        AppendHtmlEscaped(appended, c.Text, true);
        EXPECT_EQ(appended, c.Raw);
    }
    EXPECT_EQ(Escaped(nullptr, false), "");
    WriteHtmlEscaped("text", nullptr, false);
}

TEST(CgiInputTest, HtmlEscapingGrowsTextBySevenBytesPerByteAtMost)
{
    // Every byte once, and long runs of the bytes that grow most: the output is bounded by the text's length.
    std::string text;
    for (int b = 1; b < 256; ++b) {
        text += static_cast<char>(b);
    }
    for (const char c : std::string("\t \"\n&<>")) {
        text.append(10000, c);
        text += "x\t";
    }
    for (const bool raw : {false, true}) {
        std::string out;
        AppendHtmlEscaped(out, text, raw);
        EXPECT_LE(out.size(), text.size() * 7) << "raw " << raw;
    }
    std::string tabs(100000, '\t');
    std::string out;
    AppendHtmlEscaped(out, tabs, false);
    EXPECT_EQ(out.size(), tabs.size() * 7) << "a TAB is 7 bytes";
}

// Records every write that reaches the stream (the stream itself is unbuffered).
struct WriteLog {
    std::vector<std::string> Pieces;
};

ssize_t RecordWrite(void* cookie, const char* data, std::size_t size)
{
    static_cast<WriteLog*>(cookie)->Pieces.emplace_back(data, size);
    return static_cast<ssize_t>(size);
}

TEST(CgiInputTest, LongTextIsWrittenInPiecesThatJoinExactly)
{
    std::string text;
    for (int i = 0; i < 120; ++i) {
        text += "word <b>&  \"q\"\t\n";
    }
    std::string want;
    AppendHtmlEscaped(want, text, false);

    WriteLog log;
    cookie_io_functions_t functions{};
    functions.write = RecordWrite;
    FilePtr stream(fopencookie(&log, "w", functions));
    ASSERT_NE(stream, nullptr);
    ASSERT_EQ(std::setvbuf(stream.get(), nullptr, _IONBF, 0), 0);
    WriteHtmlEscaped(text.c_str(), stream.get(), false);

    ASSERT_GT(log.Pieces.size(), 1u);
    std::string joined;
    for (std::size_t i = 0; i < log.Pieces.size(); ++i) {
        SCOPED_TRACE("piece " + std::to_string(i));
        EXPECT_LE(log.Pieces[i].size(), 260u);
        if (i + 1 < log.Pieces.size()) {
            EXPECT_GE(log.Pieces[i].size(), 240u);
        }
        joined += log.Pieces[i];
    }
    EXPECT_EQ(joined, want);
}

} // namespace
} // namespace qm
