#include "store/HtmlSanitizer.h"

#include "store/tests/HtmlSafety.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>

namespace qm::store {
namespace {

constexpr const char* kCidBase = "/qm?Session=ABCDEFG&View=Attachment&CID=";

struct SanitizeCase {
    const char* Name;
    std::string Input;
    std::string Want;
};

std::string Sanitize(const std::string& html, RemoteImages images = RemoteImages::Block,
                     HtmlSanitizeReport* report = nullptr)
{
    HtmlSanitizerOptions options;
    options.Images = images;
    options.AttachmentUrlBase = kCidBase;
    std::string out;
    const HtmlSanitizeReport r = SanitizeHtml(html, options, out);
    if (report != nullptr) {
        *report = r;
    }
    return out;
}

void ExpectAll(const std::vector<SanitizeCase>& cases)
{
    test::SafetyRules rules;
    rules.SessionPrefix = "/qm?Session=ABCDEFG&";
    for (const SanitizeCase& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::string got = Sanitize(c.Input);
        EXPECT_EQ(got, c.Want) << "input: " << c.Input;
        EXPECT_EQ(test::CheckPageSafety(got, rules), "") << "got: " << got;
    }
}

TEST(HtmlSanitizerTest, DropsScriptsInEveryCaseAndSpacing)
{
    ExpectAll({
            {"plain", "a<script>alert(1)</script>b", "ab"},
            {"upper case", "a<SCRIPT>alert(1)</SCRIPT>b", "ab"},
            {"mixed case and blank", "a<ScRiPt >alert(1)</sCrIpT >b", "ab"},
            {"line end in the tag", "a<script\n type=text/javascript\n>alert(1)</script>b", "ab"},
            {"slash instead of blank", "a<script/src=//evil.example/x.js></script>b", "ab"},
            {"blank after <", "a< script>alert(1)</script>b", "a&lt; script&gt;alert(1)b"},
            {"split name", "<scr<script>x</script>ipt>alert(1)</script>", "xipt&gt;alert(1)"},
            {"never closed", "a<script>alert(1)", "a"},
            {"in the head", "<head><script>alert(1)</script></head><body>b</body>", "b"},
    });
}

TEST(HtmlSanitizerTest, DropsEventAttributes)
{
    ExpectAll({
            {"image error", "<img src=x onerror=alert(1)>", "<img>"},
            {"body load", "<body onload=alert(1)>hi</body>", "hi"},
            {"quoted handler", "<div onmouseover='alert(1)' title=t>a</div>", "<div title=\"t\">a</div>"},
            {"upper case", "<p ONCLICK=\"alert(1)\">t</p>", "<p>t</p>"},
            {"slash separator", "<p/onclick=alert(1)>t</p>", "<p>t</p>"},
            {"link", "<a href=\"http://a.example/\" onclick=\"x()\">l</a>",
             "<a href=\"http://a.example/\" target=\"_blank\" rel=\"noopener noreferrer\">l</a>"},
            {"id, name and class", "<span id=i name=n class=c>s</span>", "<span>s</span>"},
    });
}

TEST(HtmlSanitizerTest, DropsSvgAndMathMl)
{
    ExpectAll({
            {"svg script", "a<svg><script>alert(1)</script></svg>b", "ab"},
            {"svg load", "a<svg onload=alert(1)><circle r=1 /></svg>b", "ab"},
            {"svg foreign object", "<svg><foreignObject><img src=x onerror=alert(1)>t</foreignObject></svg>u", "u"},
            {"svg animate", "<svg><a><animate attributeName=href values=javascript:alert(1) /><text>x</text></a></svg>",
             ""},
            {"math link", "<math><mi xlink:href=\"javascript:alert(1)\">x</mi></math>y", "y"},
            {"math style confusion", "<math><mtext><table><mglyph><style><img src=x onerror=alert(1)>", ""},
            // The parser fails an assertion (and ends the process) on a CDATA section in MathML in a table, unless it
            // never enters foreign content.
            {"CDATA in MathML in a table", "<table><math><mi><![CDATA[x]]>=", "<table></table>"},
            {"control byte in the name", std::string("a<sv\0g onload=alert(1)>b</svg>c", 31), "ac"},
            {"form feed after the name", "a<MATH\f><mi>x</mi></MATH>b", "ab"},
            {"named in an attribute", "<p title=\"<svg>\">t</p>", "<p title=\"&lt;multicol&gt;\">t</p>"},
            {"svg of unknown elements", "a<svg><circle r=1 /><text>t</text></svg>b", "ab"},
            {"the stand-in itself", "a<multicol cols=2>t</multicol>b", "atb"},
    });
}

TEST(HtmlSanitizerTest, SurvivesParserStateTricks)
{
    ExpectAll({
            {"comment", "a<!--<script>alert(1)</script>-->b", "ab"},
            {"bad comment end", "a<!-- --!><script>alert(1)</script>b", "ab"},
            // Outside SVG and MathML, "<![CDATA[" opens a bogus comment that the first '>' ends.
            {"CDATA in HTML", "a<![CDATA[<script>alert(1)</script>]]>b", "aalert(1)]]&gt;b"},
            // The parser reads <noscript> as a browser without scripts does; only an escaped title comes out, and a
            // browser with scripts parses that the same way.
            {"noscript attribute in the head", "<noscript><p title=\"</noscript><img src=x onerror=alert(1)>\">t",
             "<p title=\"&lt;/noscript&gt;&lt;img src=x onerror=alert(1)&gt;\">t</p>"},
            {"noscript in the body",
             "<p>a</p><noscript><p title=\"</noscript><img src=x onerror=alert(1)>\"></noscript>t",
             "<p>a</p>"}, // the </noscript> inside <p> is ignored, so t is in the <noscript> as well
            {"style content", "<style><img src=x onerror=alert(1)></style>t", "t"},
            {"textarea content", "<textarea><script>alert(1)</script></textarea>t", "t"},
            {"title content", "<title><img src=x onerror=alert(1)></title>t", "t"},
            {"xmp content", "<xmp><img src=x onerror=alert(1)></xmp>t", "t"},
            {"template", "<template><img src=x onerror=alert(1)></template>t", "t"},
            {"iframe srcdoc", "<iframe srcdoc=\"<script>alert(1)</script>\"></iframe>t", "t"},
            {"quote in text", "<p>\"'</p>", "<p>\"'</p>"},
            {"entities in text", "a &lt;script&gt; &amp; &nbsp;&copy;", "a &lt;script&gt; &amp; &#160;&#169;"},
            {"lone less-than", "1 < 2 & 3 > 2", "1 &lt; 2 &amp; 3 &gt; 2"},
            {"quote in attribute", "<p title='a\"><script>alert(1)</script>'>t</p>",
             "<p title=\"a&quot;&gt;&lt;script&gt;alert(1)&lt;/script&gt;\">t</p>"},
    });
}

TEST(HtmlSanitizerTest, KeepsOnlyLinksOfSafeSchemes)
{
    const std::string ok = " target=\"_blank\" rel=\"noopener noreferrer\"";
    ExpectAll({
            {"javascript", "<a href=\"javascript:alert(1)\">l</a>", "<a>l</a>"},
            {"mixed case", "<a href=\"JaVaScRiPt:alert(1)\">l</a>", "<a>l</a>"},
            {"decimal entity", "<a href=\"&#106;avascript:alert(1)\">l</a>", "<a>l</a>"},
            {"hex entity without ';'", "<a href=\"&#x6A&#x61vascript:alert(1)\">l</a>", "<a>l</a>"},
            {"tab entity inside", "<a href=\"java&#x09;script:alert(1)\">l</a>", "<a>l</a>"},
            {"line end inside", "<a href=\"java\nscript:alert(1)\">l</a>", "<a>l</a>"},
            {"leading blanks", "<a href=\" \t javascript:alert(1)\">l</a>", "<a>l</a>"},
            {"colon entity", "<a href=\"javascript&colon;alert(1)\">l</a>", "<a>l</a>"},
            {"vbscript", "<a href=\"vbscript:msgbox(1)\">l</a>", "<a>l</a>"},
            {"data html", "<a href=\"data:text/html,<script>alert(1)</script>\">l</a>", "<a>l</a>"},
            {"relative", "<a href=\"/qm?Session=ABCDEFG&Action=Delete\">l</a>", "<a>l</a>"},
            {"http with query", "<a href=\"http://a.example/?a=1&amp;b=2\" target=_self rel=opener>l</a>",
             "<a href=\"http://a.example/?a=1&amp;b=2\"" + ok + ">l</a>"},
            {"mailto", "<a href=\" mailto:x@a.example \">m</a>", "<a href=\"mailto:x@a.example\"" + ok + ">m</a>"},
            {"frame target", "<base href=\"http://evil.example/\" target=top><a href=\"https://a.example\">l</a>",
             "<a href=\"https://a.example\"" + ok + ">l</a>"},
    });
}

TEST(HtmlSanitizerTest, KeepsOnlyCssThatLoadsAndRunsNothing)
{
    ExpectAll({
            {"expression", "<p style=\"width: expression(alert(1))\">t</p>", "<p>t</p>"},
            {"remote url", "<p style=\"background: url(http://evil.example/x.png)\">t</p>", "<p>t</p>"},
            {"escaped url", "<p style=\"background: u\\72l(http://evil.example/x.png)\">t</p>", "<p>t</p>"},
            {"behaviour", "<p style=\"behavior: url(x.htc); -moz-binding: url(x.xml#x)\">t</p>", "<p>t</p>"},
            {"import", "<p style=\"@import 'http://evil.example/x.css'\">t</p>", "<p>t</p>"},
            {"fixed overlay",
             "<div style=\"position: fixed; top: 0; left: 0; width: 100%; height: 100%; z-index: 9999\">t</div>",
             "<div style=\"width: 100%; height: 100%\">t</div>"},
            {"negative margin", "<div style=\"margin-top: -500px; color: red\">t</div>",
             "<div style=\"color: red\">t</div>"},
            {"negative indent", "<div style=\"text-indent: -300px; letter-spacing: -9em\">t</div>", "<div>t</div>"},
            {"raised text", "<span style=\"vertical-align: 500px\">t</span><sub style=\"vertical-align: sub\">u</sub>",
             "<span>t</span><sub style=\"vertical-align: sub\">u</sub>"},
            {"comment", "<p style=\"color: red/**/; font-weight: bold\">t</p>", "<p style=\"font-weight: bold\">t</p>"},
            {"colour function", "<p style=\"COLOR: rgb(1, 2, 3) !important\">t</p>",
             "<p style=\"color: rgb(1, 2, 3) !important\">t</p>"},
            {"font names", "<p style=\"font-family: 'Times New Roman', serif\">t</p>",
             "<p style=\"font-family: 'Times New Roman', serif\">t</p>"},
            {"style element", "<style>body { background: url(http://evil.example/) }</style>t", "t"},
            {"link element", "<link rel=stylesheet href=http://evil.example/x.css>t", "t"},
    });
}

TEST(HtmlSanitizerTest, DropsFormsFramesObjectsAndRefreshes)
{
    ExpectAll({
            {"form", "<form action=http://evil.example/><input name=p type=password><button>Go</button></form>t", "t"},
            {"frames", "<frameset><frame src=http://evil.example/></frameset>", ""},
            {"iframe", "a<iframe src=\"http://evil.example/\">x</iframe>b", "ab"},
            {"object and embed", "a<object data=x.swf><param name=a value=b></object><embed src=x.swf>b", "ab"},
            {"meta refresh", "<meta http-equiv=refresh content=\"0;url=http://evil.example/\">t", "t"},
            {"media", "<video src=x.mp4 poster=http://t.example/p.gif></video><audio src=x></audio>t", "t"},
    });
}

TEST(HtmlSanitizerTest, BlocksRemoteImagesUnlessAsked)
{
    HtmlSanitizeReport report;
    EXPECT_EQ(Sanitize("<img src=\"http://t.example/p.gif\" width=1 height=1 alt=\"x\">", RemoteImages::Block, &report),
              "<img width=\"1\" height=\"1\" alt=\"x\">");
    EXPECT_TRUE(report.RemoteImagesBlocked);
    EXPECT_EQ(Sanitize("<img src=\"//t.example/p.gif\">", RemoteImages::Block, &report), "<img>");
    EXPECT_TRUE(report.RemoteImagesBlocked);

    EXPECT_EQ(Sanitize("<img src=\"https://t.example/p.gif\">", RemoteImages::Show, &report),
              "<img src=\"https://t.example/p.gif\">");
    EXPECT_FALSE(report.RemoteImagesBlocked);
    EXPECT_EQ(Sanitize("<img src=\"//t.example/p.gif\">", RemoteImages::Show), "<img src=\"https://t.example/p.gif\">");

    // Background images are remote loads too, and have no place to be asked for.
    EXPECT_EQ(Sanitize("<table background=\"http://t.example/b.gif\"><tr><td>x</td></tr></table>", RemoteImages::Show),
              "<table><tbody><tr><td>x</td></tr></tbody></table>");
}

TEST(HtmlSanitizerTest, RewritesContentIdImagesAndKeepsInlineDataImages)
{
    ExpectAll({
            {"cid", "<img src=\"cid:p1@x\">", "<img src=\"/qm?Session=ABCDEFG&amp;View=Attachment&amp;CID=p1@x\">"},
            {"cid with specials", "<IMG SRC=\"CID:a&b c\">",
             "<img src=\"/qm?Session=ABCDEFG&amp;View=Attachment&amp;CID=a%26b%20c\">"},
            {"png data", "<img src=\"data:image/png;base64,iVBORw0K\">",
             "<img src=\"data:image/png;base64,iVBORw0K\">"},
            {"svg data", "<img src=\"data:image/svg+xml;base64,PHN2Zz4=\">", "<img>"},
            {"data with script", "<img src=\"data:image/png;base64,<script>\">", "<img>"},
            {"javascript image", "<img src=\"javascript:alert(1)\">", "<img>"},
    });

    // Without a session the attachment cannot be linked: the source goes.
    HtmlSanitizerOptions options;
    std::string out;
    static_cast<void>(SanitizeHtml("<img src=\"cid:p1@x\">", options, out));
    EXPECT_EQ(out, "<img>");
}

TEST(HtmlSanitizerTest, KeepsTheInsideOfTheBodyOnly)
{
    ExpectAll({
            {"whole document",
             "<html><head><title>T</title><style>p{}</style></head><body bgcolor=red><p>in</p></body></html>",
             "<p>in</p>"},
            {"after the body", "<body><p>in</p></body>footer<b>x</b>", "<p>in</p>"},
            {"no body tag", "<p>a<br>b</p>", "<p>a<br>b</p>"},
            {"Office markup", "<o:p>x</o:p><font face=Arial color=#ff0000 size=2>y</font>",
             "x<font face=\"Arial\" color=\"#ff0000\" size=\"2\">y</font>"},
            {"table attributes",
             "<table border=0 cellpadding=\"4\" width=\"100%\" onclick=x><tr><td colspan=2 nowrap valign=top>c</td>"
             "</tr></table>",
             "<table border=\"0\" cellpadding=\"4\" width=\"100%\"><tbody><tr><td colspan=\"2\" nowrap valign=\"top\">c"
             "</td></tr></tbody></table>"},
            {"bad lengths", "<td width=\"100;x\" height=\"1e9\">c</td>", "c"},
            {"pre keeps its first line end", "<pre>\n\nx</pre>", "<pre>\n\nx</pre>"},
    });
}

TEST(HtmlSanitizerTest, PassesBytesOfEveryCharacterSetThrough)
{
    // Latin-1, Shift-JIS (with a trail byte that is '\' in ASCII) and UTF-8 bytes, in text and attributes.
    const std::string bytes = "caf\xE9 \x95\x5C \xE3\x81\x82";
    EXPECT_EQ(Sanitize("<p title=\"" + bytes + "\">" + bytes + "</p>"), "<p title=\"" + bytes + "\">" + bytes + "</p>");
    // A NUL is dropped; a reference to a character beyond Latin-1 stays a reference.
    EXPECT_EQ(Sanitize(std::string("a\0b&#x263A;&rarr;", 17)), "ab&#9786;&#8594;");
    // Control bytes are dropped: an ESC left in the page could make a browser that reads it as ISO-2022-JP take
    // the quote and '>' after it for a two-byte character.
    EXPECT_EQ(Sanitize("<p title=\"\x1B$B\">\x1B$Bx\x07\ty</p>"), "<p title=\"$B\">$Bx\ty</p>");
}

TEST(HtmlSanitizerTest, StaysFastOnDeepNestingAndManyAttributes)
{
    const auto repeat = [](const std::string& unit, int n) {
        std::string s;
        for (int i = 0; i < n; ++i) {
            s += unit;
        }
        return s;
    };
    std::string manyAttributes = "<p";
    for (int i = 0; i < 50000; ++i) {
        manyAttributes += " a" + std::to_string(i);
    }
    manyAttributes += ">t";
    // Formatting elements of distinct attributes, each opened again inside every later block.
    std::string reopened = "<div>";
    for (int i = 0; i < 200; ++i) {
        reopened += "<b title=" + std::to_string(i) + ">";
    }
    reopened += "</div>" + repeat("<div>x</div>", 80000);
    const std::string inputs[] = {repeat("<div>", 100000),
                                  repeat("<ul><li>", 60000),
                                  repeat("<i><b><u>x</p>", 40000),
                                  repeat("<dl><dd>", 60000),
                                  manyAttributes,
                                  reopened};
    for (const std::string& input : inputs) {
        // Processor time, not wall time: a loaded machine stretches the latter many times over.
        const std::clock_t start = std::clock();
        HtmlSanitizeReport report;
        const std::string out = Sanitize(input, RemoteImages::Block, &report);
        const double seconds = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
        SCOPED_TRACE(input.substr(0, 20));
        EXPECT_TRUE(report.Bounded);
        // Unbounded, each of these takes the parser tens of seconds; bounded, well under one even with sanitizers.
        EXPECT_LT(seconds, 10.0);
        EXPECT_LT(out.size(), input.size() * 8 + 8192);
        EXPECT_EQ(test::CheckPageSafety(out, {}), "");
    }
    // Nesting that real mail has is left alone.
    HtmlSanitizeReport report;
    const std::string nested = repeat("<div>", 50) + "x";
    EXPECT_EQ(Sanitize(nested, RemoteImages::Block, &report), repeat("<div>", 50) + "x" + repeat("</div>", 50));
    EXPECT_FALSE(report.Bounded);
}

TEST(HtmlSanitizerTest, StyleFilterKeepsAllowedDeclarationsOnly)
{
    struct Case {
        const char* Css;
        const char* Want;
    };

    const Case cases[] = {
            {"color:red", "color: red"},
            {"  Color : Red ; ; font-size:12px;", "color: Red; font-size: 12px"},
            {"position:absolute", ""},
            {"color: red; content: 'x'", "color: red"},
            {"font-family: \"a;b\", serif; color: blue", "color: blue"}, // no ';' in a value, quoted or not
            {"color: 'red'", ""},
            {"background: red url(x)", ""},
            {"background-image: linear-gradient(red, blue)", ""},
            {"border-image: url(x) 30", ""},
            {"color: rgb(1,2,3", ""},
            {"width: calc(100% - 1px)", ""},
            {"font-family: \"unclosed", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Css);
        EXPECT_EQ(SanitizeStyle(c.Css), c.Want);
    }
}

} // namespace
} // namespace qm::store
