#include "store/BodyRenderer.h"

#include "common/Scrambler.h"
#include "platform/Charset.h"
#include "store/tests/HtmlSafety.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

namespace qm::store {
namespace {

constexpr const char* kLinkAttributes = "\" TARGET=\"_blank\" REL=\"noopener noreferrer\">";

class BodyRendererTest : public ::testing::Test {
protected:
    BodyRendererTest()
    {
        std::filesystem::create_directory(m_dir.Path() / "temp");
        m_session.SessionId = "ABCDEFG";
        m_session.Language = "en";
        m_session.ScriptName = "/qm";
        m_session.SessionTempDir = m_dir / "temp";
    }

    // Renders file (a whole message, or with part set one part of it) and returns what was written.
    std::string Render(const std::string& file, RenderMode mode, const RenderContext* request,
                       const PartIndexEntry* part = nullptr, const BodyRenderLimits& limits = {},
                       RemoteImages images = RemoteImages::Block)
    {
        const std::string path = m_dir.WriteFile("message.txt", file);
        const std::string outPath = m_dir / "out";
        std::FILE* out = std::fopen(outPath.c_str(), "wb");
        EXPECT_NE(out, nullptr);
        {
            BodyRenderer renderer(out, path.c_str(), mode, request, limits);
            renderer.SetRemoteImages(images);
            EXPECT_TRUE(renderer.IsOpen());
            if (part != nullptr) {
                renderer.RenderPart(*part);
            } else {
                renderer.RenderMessage();
            }
            m_cut = renderer.BodyCut();
            m_imagesBlocked = renderer.RemoteImagesBlocked();
        }
        static_cast<void>(std::fclose(out));
        return qm::test::ReadBytes(outPath);
    }

    std::string Text(const std::string& body, const RenderContext* request = nullptr)
    {
        return Render("Content-Type: text/plain\r\n\r\n" + body, RenderMode::Display, request);
    }

    bool TempFileLeft() const { return !std::filesystem::is_empty(m_dir.Path() / "temp"); }

    qm::test::TempDir m_dir{"qm-body"};
    RenderContext m_session;
    bool m_cut = false;
    bool m_imagesBlocked = false;
};

TEST_F(BodyRendererTest, EscapesPlainText)
{
    struct Case {
        const char* Body;
        const char* Want;
    };

    const Case cases[] = {
            {"a   b", "a &nbsp; b<BR>\r\n"},
            {"a\tb", "a&nbsp; &nbsp;b<BR>\r\n"},
            {" lead", "&nbsp;lead<BR>\r\n"},
            {"x <&\"> y", "x &lt;&amp;&quot;&gt; y<BR>\r\n"},
            {"one\r\n  two\nthree\r\n", "one<BR>\r\n&nbsp; two<BR>\r\nthree<BR>\r\n"},
            {"a\rb", "ab<BR>\r\n"},
            {"\x1B$B\"<\x07", "$B&quot;&lt;<BR>\r\n"},
            {"", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Body);
        EXPECT_EQ(Text(c.Body), c.Want);
    }
}

TEST_F(BodyRendererTest, MakesLinksOfSafeSchemesHostsAndAddresses)
{
    const std::string a = "<A HREF=\"";

    struct Case {
        const char* Body;
        bool Session;
        std::string Want;
    };

    const Case cases[] = {
            {"see www.example.com, now", false,
             "see " + a + "http://www.example.com" + kLinkAttributes + "www.example.com</A>, now<BR>\r\n"},
            {"http://a.b/c.", false, a + "http://a.b/c" + kLinkAttributes + "http://a.b/c</A>.<BR>\r\n"},
            {"(https://a.example/x?y=1&copy=2)", false,
             "(" + a + "https://a.example/x?y=1&amp;copy=2" + kLinkAttributes +
                     "https://a.example/x?y=1&amp;copy=2</A>)"
                     "<BR>\r\n"},
            {"javascript://a.b/%0aalert(1)", false, "javascript://a.b/%0aalert(1)<BR>\r\n"},
            {"data://a.b/x", false, "data://a.b/x<BR>\r\n"},
            {"mail bob.x+y@mail.example.com>", true,
             "mail " + a +
                     "/qm?Session=ABCDEFG&View=Compose&To=bob.x%2By%40mail.example.com&New=Yes\">"
                     "bob.x+y@mail.example.com</A>&gt;<BR>\r\n"},
            {"mail bob@a.example", false, "mail bob@a.example<BR>\r\n"},
            {"no@host", true, "no@host<BR>\r\n"},
            {"<script>alert(1)</script>", true, "&lt;script&gt;alert(1)&lt;/script&gt;<BR>\r\n"},
            {"http://a.b/\"onmouseover=\"alert(1)", false,
             a + "http://a.b/" + kLinkAttributes + "http://a.b/</A>&quot;onmouseover=&quot;alert(1)<BR>\r\n"},
            {"x@a.example\"><script>", true,
             a + "/qm?Session=ABCDEFG&View=Compose&To=x%40a.example&New=Yes\">x@a.example</A>&quot;&gt;&lt;script&gt;"
                 "<BR>\r\n"},
    };
    test::SafetyRules rules;
    rules.SessionPrefix = "/qm?Session=ABCDEFG&";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Body);
        const std::string got = Text(c.Body, c.Session ? &m_session : nullptr);
        EXPECT_EQ(got, c.Want);
        EXPECT_EQ(test::CheckPageSafety(got, rules), "");
    }
}

TEST_F(BodyRendererTest, RendersLinesOfManyShortRunsWhole)
{
    std::string body;
    for (int i = 0; i < 400000; ++i) {
        body += "a+";
    }
    const std::string got = Text(body, &m_session);
    EXPECT_EQ(got.size(), body.size() + 6); // the '+' and the letters as they are, and one line end
}

TEST_F(BodyRendererTest, DecodesQuotedPrintable)
{
    const std::string message = "Content-Type: text/plain\r\nContent-Transfer-Encoding: Quoted-Printable\r\n\r\n"
                                "soft=\r\nbreak =41=3d=zz=4\r\nend=\r\n";
    EXPECT_EQ(Render(message, RenderMode::Raw, nullptr), "softbreak A==zz=4\r\nend");
    EXPECT_EQ(Render(message, RenderMode::Display, nullptr), "softbreak A==zz=4<BR>\r\nend");
    // With a session the body is decoded through the session's temporary file, which goes with the renderer.
    EXPECT_EQ(Render(message, RenderMode::Display, &m_session), "softbreak A==zz=4<BR>\r\nend<BR>\r\n");
    EXPECT_FALSE(TempFileLeft());
    // Without a usable temporary directory the lines are decoded as they are read.
    RenderContext noTemp = m_session;
    noTemp.SessionTempDir = m_dir / "missing";
    EXPECT_EQ(Render(message, RenderMode::Display, &noTemp), "softbreak A==zz=4<BR>\r\nend");
}

TEST_F(BodyRendererTest, QuotedPrintableEscapeSplitAtTheReadBoundaryIsDecoded)
{
    // Lines are read in pieces of 4095 bytes: the escape "=41" starts 1, 2 or 3 bytes before a piece ends.
    const std::string head = "Content-Type: text/plain\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n";
    for (const std::size_t before : {1u, 2u, 3u}) {
        SCOPED_TRACE(before);
        const std::string lead(4095 - before, 'x');
        const std::string message = head + lead + "=41tail=3D=\r\nnext\r\n";
        // Raw mode feeds reply quoting, display mode the Message page.
        for (const auto& [raw, want] : {std::pair{true, "Atail=next\r\n"}, std::pair{false, "Atail=next<BR>\r\n"}}) {
            const std::string got =
                    raw ? Render(message, RenderMode::Raw, nullptr) : Render(message, RenderMode::Display, &m_session);
            ASSERT_EQ(got.substr(0, lead.size()), lead);
            EXPECT_EQ(got.substr(lead.size()), want) << (raw ? "raw" : "display");
        }
    }
}

TEST_F(BodyRendererTest, DecodesBase64ByteExactInRawMode)
{
    // Every byte value, and JIS escapes that must not be converted in a binary part, even for a Japanese user.
    std::string bytes = "\x1B$B$3$l\x1B(B";
    for (int i = 0; i < 1024; ++i) {
        bytes += static_cast<char>(i * 7 % 256);
    }
    const std::string encoded = Base64Encode(bytes);
    std::string body;
    for (std::size_t i = 0; i < encoded.size(); i += 76) {
        body += encoded.substr(i, 76) + "\r\n";
    }
    RenderContext japanese = m_session;
    japanese.Language = "ja";
    const std::string message = "Content-Type: application/octet-stream\r\nContent-Transfer-Encoding: base64\r\n\r\n";
    EXPECT_EQ(Render(message + body, RenderMode::Raw, &japanese), bytes);
    EXPECT_EQ(Render(message + body, RenderMode::Raw, nullptr), bytes);
}

TEST_F(BodyRendererTest, DecodesUuencodeAndHoldsTheCountToTheLine)
{
    PartIndexEntry part;
    part.ContentType = "application/octet-stream";
    part.TransferEncoding = "uuencode";
    part.LineCount = 10;
    EXPECT_EQ(Render("begin 644 x\n#86)C\n`\nend\n", RenderMode::Raw, nullptr, &part), "abc");
    // 'M' claims 45 bytes; the line holds 8 characters, which carry 6.
    EXPECT_EQ(Render("M86)C86)C\n", RenderMode::Raw, nullptr, &part), "abcabc");
    EXPECT_EQ(Render("M8\n", RenderMode::Raw, nullptr, &part), "");
}

TEST_F(BodyRendererTest, RendersAPartWithinItsLines)
{
    const std::string file = "From: a\r\n\r\nheader part\r\nline one\r\nline two\r\nline three\r\n";
    PartIndexEntry part;
    part.ContentType = "text/plain";
    part.Offset = static_cast<std::uint32_t>(file.find("line one"));
    part.LineCount = 2;
    EXPECT_EQ(Render(file, RenderMode::Display, nullptr, &part), "line one<BR>\r\nline two<BR>\r\n");
}

TEST_F(BodyRendererTest, ReadsTheTypeFromTheHeaderBlock)
{
    // "Content-Type: " takes exactly one blank; the continuation line carries the charset.
    const std::string html = "<b>x</b>";
    EXPECT_EQ(Render("Content-Type: text/html;\r\n charset=us-ascii\r\n\r\n" + html, RenderMode::Display, nullptr),
              "<b>x</b>\n");
    EXPECT_EQ(Render("Content-Type:text/html\r\n\r\n" + html, RenderMode::Display, nullptr),
              "&lt;b&gt;x&lt;/b&gt;<BR>\r\n");
    EXPECT_EQ(Render("Subject: no body", RenderMode::Display, nullptr), "");
}

TEST_F(BodyRendererTest, CutsHtmlToItsBodyAndLinksContentIdImages)
{
    const std::string message = "Content-Type: text/html; charset=utf-8\r\nContent-Transfer-Encoding: base64\r\n\r\n";
    const std::string html = "<html><head><title>T</title></head>\r\n<body bgcolor=\"a>b\" onload=\"x()\">\r\n"
                             "<p>Hi <img src=\"cid:p1@x\"> <img src=\"http://t.example/p.gif\"></p>\r\n"
                             "<a href=\"javascript:alert(1)\">j</a></body></html>\r\nfooter\r\n";
    const std::string encoded = Base64Encode(html);
    const std::string want = "\n<p>Hi <img src=\"/qm?Session=ABCDEFG&amp;View=Attachment&amp;CID=p1@x\"> <img></p>\n"
                             "<a>j</a>";
    EXPECT_EQ(Render(message + encoded + "\r\n", RenderMode::Display, &m_session), want);
    EXPECT_TRUE(m_imagesBlocked);
    EXPECT_FALSE(TempFileLeft());

    const std::string shown =
            Render(message + encoded, RenderMode::Display, &m_session, nullptr, {}, RemoteImages::Show);
    EXPECT_NE(shown.find("<img src=\"http://t.example/p.gif\">"), std::string::npos) << shown;
    EXPECT_FALSE(m_imagesBlocked);

    // Raw mode gives compose the decoded bytes.
    EXPECT_EQ(Render(message + encoded, RenderMode::Raw, &m_session), html);
}

TEST_F(BodyRendererTest, ConvertsJisToShiftJisAcrossLines)
{
    // The first line switches to kanji and does not switch back; the second goes on in kanji.
    const std::string body = "\x1B$B$3$l\r\n$O\x1B(B ok\r\n";
    std::string first;
    std::string second;
    ASSERT_TRUE(ConvertCharset("ISO-2022-JP", "SHIFT_JIS", "\x1B$B$3$l\x1B(B", first));
    ASSERT_TRUE(ConvertCharset("ISO-2022-JP", "SHIFT_JIS", "\x1B$B$O\x1B(B", second));
    const std::string want = first + "<BR>\r\n" + second + " ok<BR>\r\n";
    EXPECT_EQ(Render("Content-Type: text/plain; charset=\"ISO-2022-JP\"\r\n\r\n" + body, RenderMode::Display, nullptr),
              want);
    // For a Japanese user, conversion starts at the first line that holds both escapes.
    RenderContext japanese = m_session;
    japanese.Language = "ja";
    EXPECT_EQ(Render("Content-Type: text/plain\r\n\r\n" + body, RenderMode::Display, &japanese),
              "$B$3$l<BR>\r\n$O(B ok<BR>\r\n");
    EXPECT_EQ(Render("Content-Type: text/plain\r\n\r\n\x1B$B$3$l\x1B(B\r\n" + body, RenderMode::Display, &japanese),
              first + "<BR>\r\n" + want);
    // Neither the charset nor the language: the bytes stay.
    EXPECT_EQ(Text("$O"), "$O<BR>\r\n");
}

TEST_F(BodyRendererTest, JoinsLongLinesAgain)
{
    std::string line;
    while (line.size() < 10000) {
        line += "word ";
    }
    const std::string got = Text(line + "\r\nnext");
    EXPECT_EQ(got.find("<BR>"), got.size() - 16) << "a long line is never broken";
}

TEST_F(BodyRendererTest, CutsHugeBodiesWithANote)
{
    BodyRenderLimits limits;
    limits.MaxDisplayBytes = 100;
    std::string big;
    for (int i = 0; i < 1000; ++i) {
        big += "line of text\r\n";
    }
    for (const char* type : {"text/plain", "text/html"}) {
        SCOPED_TRACE(type);
        const std::string out = Render(std::string("Content-Type: ") + type + "\r\n\r\n" + big, RenderMode::Display,
                                       nullptr, nullptr, limits);
        EXPECT_TRUE(m_cut);
        EXPECT_LT(out.size(), 400U);
        EXPECT_TRUE(out.ends_with(limits.CutNote));
    }
    // A body decoded through the session's temporary file is cut the same way, and the file goes.
    const std::string encoded =
            "Content-Type: text/plain\r\nContent-Transfer-Encoding: base64\r\n\r\n" + Base64Encode(big) + "\r\n";
    const std::string out = Render(encoded, RenderMode::Display, &m_session, nullptr, limits);
    EXPECT_TRUE(m_cut);
    EXPECT_TRUE(out.ends_with(limits.CutNote));
    EXPECT_FALSE(TempFileLeft());
    // Raw mode (compose) is not cut.
    EXPECT_EQ(Render("Content-Type: text/plain\r\n\r\n" + big, RenderMode::Raw, nullptr, nullptr, limits), big);
}

TEST_F(BodyRendererTest, RendersNothingWhenTheFileIsMissing)
{
    const std::string outPath = m_dir / "out";
    std::FILE* out = std::fopen(outPath.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    {
        BodyRenderer renderer(out, (m_dir / "missing").c_str(), RenderMode::Display, &m_session);
        EXPECT_FALSE(renderer.IsOpen());
        renderer.RenderMessage();
        renderer.RenderPart(PartIndexEntry{});
    }
    static_cast<void>(std::fclose(out));
    EXPECT_EQ(qm::test::ReadBytes(outPath), "");
}

} // namespace
} // namespace qm::store
