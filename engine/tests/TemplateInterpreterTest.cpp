#include "engine/TemplateRender.h"
#include "engine/tests/PageTestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace qm::engine {
namespace {

using test::FakePage;
using test::FakeSession;
using test::TemplateFixture;

std::string Repeat(const std::string& text, int times)
{
    std::string out;
    for (int i = 0; i < times; ++i) {
        out += text;
    }
    return out;
}

class TemplateInterpreterTest : public ::testing::Test {
protected:
    TemplateFixture m_fixture;
    std::unique_ptr<TemplateCache> m_cache = m_fixture.MakeCache(true);
};

TEST_F(TemplateInterpreterTest, ExpandsSnippetsByTheTagRules)
{
    const std::string tag79 = "DOMAIN:" + std::string(72, 'K');
    const std::string tag80 = "DOMAIN:" + std::string(73, 'K');
    m_fixture.WriteDomains("[d.com:Settings]\r\n" + std::string(72, 'K') + "=v79\r\n" + std::string(73, 'K') +
                           "=v80\r\n");

    struct Case {
        const char* Name;
        std::string Template;
        bool WithX; // the request has the field X
        std::string Want;
    };

    const Case cases[] = {
            {"if taken", "<$IF CGI:X$>\r\nA\r\n<$ELSE$>\r\nB\r\n<$ENDIF$>\r\n", true, "A\r\n"},
            {"else taken", "<$IF CGI:X$>\r\nA\r\n<$ELSE$>\r\nB\r\n<$ENDIF$>\r\n", false, "B\r\n"},
            {"bare line ends", "<$IF CGI:X$>\nA\n<$ELSE$>\nB\n<$ENDIF$>\n", false, "B\n"},
            {"one line end only", "<$IF CGI:X$>\r\n\r\nA<$ENDIF$>", true, "\r\nA"},
            {"value keeps its line end", "<$VERSION$>\r\nnext", false, "2.2.3\r\nnext"},
            {"negation", "<$IF !CGI:X$>no X<$ELSE$>X<$ENDIF$>|<$IF !!QMPRO$>pro<$ENDIF$>", false, "no X|pro"},
            {"elseif chain", "<$IF QMSTANDARD$>a<$ELSEIF QMPRO$>b<$ELSEIF QMPRO$>c<$ELSE$>d<$ENDIF$>", false, "b"},
            {"nested in a false branch", "<$IF CGI:X$>a<$IF QMPRO$>b<$ELSE$>c<$ENDIF$>d<$ENDIF$>e", false, "e"},
            {"79-character tag", "[<$" + tag79 + "$>]", false, "[v79]"},
            {"80-character tag", "[<$" + tag80 + "$>]\r\n", false, "[]\r\n"},
            {"stray else and endif", "x<$ELSE$>\r\ny<$ENDIF$>\r\nz<$ELSEIF QMPRO$>\r\n!", false, "xyz!"},
            {"missing endif", "<$IF QMSTANDARD$>a<$ELSE$>b", false, "b"},
            {"unclosed tag", "a<$IF QMPRO", false, "a<$IF QMPRO"},
            {"unclosed tag while hidden", "<$IF QMSTANDARD$>a<$b", false, ""},
            {"no tags", "plain <b>text</b> [x] $> $", false, "plain <b>text</b> [x] $> $"},
            {"empty", "", false, ""},
            {"lower-case tags", "<$if cgi:x$>yes<$endif$><$version$>", true, "yes2.2.3"},
            {"values are escaped", "<$CGI:V$>", false, "&lt;b&gt;&quot;&amp; &nbsp;x"},
            {"unknown value without a session", "a<$NOSUCHVALUE$>b", false, "ab"},
            {"list body line ends", "<$FOREACH LANGUAGE$>\r\n<$VALUE$>=<$NAME$>\r\n<$ENDEACH LANGUAGE$>\r\nend", false,
             "en=English\r\nde=Deutsch\r\nfr=Fran\xe7"
             "ais\r\nend"},
            {"placeholder twice", "<$FOREACH LANGUAGE$><$NAME$>/<$NAME$>,<$ENDEACH LANGUAGE$>", false,
             "English/English,Deutsch/Deutsch,Fran\xe7"
             "ais/Fran\xe7"
             "ais,"},
            {"list without its end", "<$FOREACH THEME$>\r\n\r\nx<$NAME$>", false, "x"},
            {"list in a false branch", "<$IF QMSTANDARD$><$FOREACH THEME$>t<$ENDEACH THEME$><$ENDIF$>.", false, "."},
            {"list body keeps its own IF state", "<$FOREACH THEME$><$IF QMSTANDARD$><$ENDEACH THEME$>after", false,
             "after"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        FakePage page(*m_cache);
        page.Field("V", "<b>\"&  x");
        if (c.WithX) {
            page.Field("X", "");
        }
        EXPECT_EQ(page.Render(c.Template), c.Want);
    }
}

TEST_F(TemplateInterpreterTest, EchoesAtMost255BytesOfEveryRequestText)
{
    // The attack: one unauthenticated POST with a Lang of 30 million TAB bytes, echoed by the Logon page.
    const std::string tabs(30'000'000, '\t');
    const std::string body =
            "Lang=" + tabs + "&FrameView=" + std::string(1000, 'F') + "&View=" + std::string(1000, 'V');
    std::string environment;
    for (const std::string& entry : {std::string("CONTENT_TYPE=application/x-www-form-urlencoded"),
                                     "CONTENT_LENGTH=" + std::to_string(body.size())}) {
        environment += entry;
        environment += '\0';
    }
    environment += '\0';
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(fmemopen(const_cast<char*>(body.data()), body.size(), "r"),
                                                       &std::fclose);
    ASSERT_NE(in, nullptr);
    CgiInput input(in.get(), nullptr, environment.c_str());
    input.ReadInput(true);
    ASSERT_EQ(std::strlen(input.Variables().GetValue("Lang")), tabs.size()) << "the form holds the whole field";

    FakePage page(*m_cache, {"HTTP_COOKIE=User=" + std::string(1000, 'u'), "SERVER_NAME=" + std::string(1000, 'h'),
                             "SERVER_PORT=8080"});
    page.Field("Lang", input.Variables().GetValue("Lang"));
    page.Field("FrameView", input.Variables().GetValue("FrameView"));
    // 255 TABs, each written as two blanks: under 2 KB in place of 390 MB.
    EXPECT_EQ(page.Render("<$CGI:LANG$>"), Repeat("&nbsp; ", 255));
    EXPECT_EQ(page.Render("<$USER$>"), std::string(255, 'u'));
    EXPECT_EQ(page.Render("<$BASE$>"), "http://" + std::string(255, 'h') + ":8080/Globe/");

    FakeSession session;
    page.SessionObject = &session;
    EXPECT_EQ(page.Render("<$FRAMEVIEW$>"), "List"); // a frame shows only pages of the view table
    page.Field("View", std::string(1000, 'V').c_str());
    page.ViewId = 0;
    EXPECT_EQ(page.Render("<$ACTION$>").size(), std::string("?Session=ABCDEFG&View=").size() + 255);
}

TEST_F(TemplateInterpreterTest, CutsAnEchoedTextAtTheStartOfAUtf8Sequence)
{
    const std::string e = "\xC3\xA9";        // two bytes
    const std::string euro = "\xE2\x82\xAC"; // three bytes

    struct Case {
        const char* Name;
        std::string Text;
        std::string Want;
    };

    const Case cases[] = {
            {"short", "abc", "abc"},
            {"exactly 255", std::string(255, 'a'), std::string(255, 'a')},
            {"two-byte sequence across the cut", std::string(254, 'a') + e + "z", std::string(254, 'a')},
            {"two-byte sequence ends at the cut", std::string(253, 'a') + e + "z", std::string(253, 'a') + e},
            {"three-byte sequence across the cut", std::string(253, 'a') + euro, std::string(253, 'a')},
            {"not UTF-8", std::string(300, '\xA9'), std::string(255, '\xA9')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        EXPECT_EQ(CutEchoedText(c.Text), c.Want);
    }
}

TEST_F(TemplateInterpreterTest, OpensAtMost31Levels)
{
    FakePage page(*m_cache);
    // The 32nd IF is ignored (its false condition hides nothing), so its ENDIF closes the 31st level.
    EXPECT_EQ(page.Render(Repeat("<$IF QMPRO$>", 31) + "<$IF QMSTANDARD$>A<$ENDIF$>B" + Repeat("<$ENDIF$>", 30) + "C"),
              "ABC");
    // The 31st level still works.
    EXPECT_EQ(page.Render(Repeat("<$IF QMPRO$>", 30) + "<$IF QMSTANDARD$>A<$ENDIF$>B" + Repeat("<$ENDIF$>", 30) + "C"),
              "BC");
}

TEST_F(TemplateInterpreterTest, EvaluatesConditionsOfHiddenBranchesButExpandsNothingThere)
{
    FakeSession session;
    FakePage page(*m_cache);
    page.SessionObject = &session;
    const std::string text = "<$IF CGI:X$><$IF NOCOND1$><$ELSEIF NOCOND2$><$ELSE$><$NOVALUE$>"
                             "<$FOREACH NOLIST$>b<$ENDEACH NOLIST$><$ENDIF$><$ENDIF$>";
    EXPECT_EQ(page.Render(text), "");
    EXPECT_EQ(page.Logged.Lines,
              (std::vector<std::string>{"Unable to evaluate: NOCOND1.", "Unable to evaluate: NOCOND2."}));

    page.Logged.Lines.clear();
    page.Field("X", "1");
    EXPECT_EQ(page.Render(text), "");
    EXPECT_EQ(page.Logged.Lines,
              (std::vector<std::string>{"Unable to evaluate: NOCOND1.", "Unable to evaluate: NOCOND2.",
                                        "Unable to expand: NOVALUE.", "Unable to iterate: NOLIST."}));

    // An ELSEIF is evaluated even after a branch was taken; an ignored IF is not evaluated at all.
    page.Logged.Lines.clear();
    EXPECT_EQ(page.Render("<$IF QMPRO$>a<$ELSEIF NOCOND3$>b<$ENDIF$><$ELSEIF NOCOND4$>" + Repeat("<$IF QMPRO$>", 31) +
                          "<$IF NOCOND5$>"),
              "a");
    EXPECT_EQ(page.Logged.Lines, (std::vector<std::string>{"Unable to evaluate: NOCOND3."}));
}

TEST_F(TemplateInterpreterTest, LogsUnknownNamesAtLevelThree)
{
    FakeSession session;
    FakePage page(*m_cache);
    page.SessionObject = &session;
    {
        test::ScopedLogLevel level(4);
        EXPECT_EQ(page.Render("<$NOVALUE$><$IF NOCOND$><$ENDIF$>"), "");
        EXPECT_TRUE(page.Logged.Lines.empty());
    }
    test::ScopedLogLevel level(3);
    EXPECT_EQ(page.Render("<$NOVALUE$>"), "");
    EXPECT_EQ(page.Logged.Lines, (std::vector<std::string>{"Unable to expand: NOVALUE."}));
}

} // namespace
} // namespace qm::engine
