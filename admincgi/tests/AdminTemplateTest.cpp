#include "admincgi/AdminTemplate.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace qm::admincgi {
namespace {

// Records every call and answers X with "1", C with the test's condition and Item by expanding its body twice.
class RecordingProvider final : public TemplateProvider {
public:
    explicit RecordingProvider(std::FILE* out, bool condition)
        : TemplateProvider(out, "")
        , m_condition(condition)
    {}

    void Variable(const std::string& name) override
    {
        Calls.push_back("V:" + name);
        Write(name == "X" ? "1" : "{" + name + "}");
    }

    void ForEach(const std::string& name, std::string_view body) override
    {
        Calls.push_back("F:" + name + ":" + std::string(body));
        ExpandTemplate(*this, body);
        ExpandTemplate(*this, body);
    }

    bool If(const std::string& condition) override
    {
        Calls.push_back("I:" + condition);
        return m_condition;
    }

    std::vector<std::string> Calls;

private:
    bool m_condition;
};

std::string Expand(TemplateProvider& provider, std::FILE* out, const std::string& text)
{
    std::rewind(out);
    ExpandTemplate(provider, text);
    std::fflush(out);
    const long size = std::ftell(out);
    std::string result(static_cast<std::size_t>(size), '\0');
    std::rewind(out);
    if (size > 0) {
        EXPECT_EQ(std::fread(result.data(), 1, result.size(), out), result.size());
    }
    return result;
}

std::string Nested(int depth)
{
    std::string text;
    for (int i = 0; i < depth; ++i) {
        text += "<$IF C$>";
    }
    text += "x";
    for (int i = 0; i < depth; ++i) {
        text += "<$ENDIF$>";
    }
    return text;
}

TEST(AdminTemplateTest, ExpandsTagsAsATable)
{
    const std::string tag79 = std::string(79, 'a');

    const struct {
        const char* Name;
        std::string Text;
        bool Condition;
        std::string Want;     // with the recording provider
        std::string WantBase; // with the base provider
    } cases[] = {
            {"variable", "a<$X$>b", true, "a1b", "aXb"},
            {"if true", "<$IF C$>yes<$ELSE$>no<$ENDIF$>", true, "yes", "no"},
            {"if false", "<$IF C$>yes<$ELSE$>no<$ENDIF$>", false, "no", "no"},
            {"nested in false", "<$IF C$>a<$IF D$>b<$ELSE$>x<$ENDIF$><$FOREACH Item$>i<$ENDEACH Item$><$ENDIF$>.",
             false, ".", "."},
            {"foreach", "<$FOREACH Item$>[<$X$>]<$ENDEACH Item$>", true, "[1][1]", ""},
            {"foreach without end", "<$FOREACH Item$>[<$X$>]", true, "[1]", "[X]"},
            {"79 characters", "<$" + tag79 + "$>", true, "{" + tag79 + "}", tag79},
            {"80 characters dropped", "<$" + tag79 + "a$>|", true, "|", "|"},
            {"unterminated", "a<$X", true, "a<$X", "a<$X"},
            {"endif at depth 0", "<$ENDIF$><$ELSE$>", true, "{ENDIF}{ELSE}", "ENDIFELSE"},
            {"32 levels", Nested(32), true, "x", ""},
            {"33rd level is a variable", Nested(33), true, "{IF C}x{ENDIF}", "ENDIF"},
            {"line ends pass", "<$X$>\r\n", true, "1\r\n", "X\r\n"},
    };

    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        std::FILE* out = std::tmpfile();
        RecordingProvider recording(out, c.Condition);
        EXPECT_EQ(Expand(recording, out, c.Text), c.Want);
        std::fclose(out);
        out = std::tmpfile();
        TemplateProvider base(out, "");
        EXPECT_EQ(Expand(base, out, c.Text), c.WantBase);
        std::fclose(out);
    }
}

TEST(AdminTemplateTest, FalseConditionCallsNothingInside)
{
    std::FILE* out = std::tmpfile();
    RecordingProvider provider(out, false);
    Expand(provider, out, "<$IF C$><$IF D$><$X$><$ENDIF$><$FOREACH Item$>i<$ENDEACH Item$><$ENDIF$>");
    EXPECT_EQ(provider.Calls, std::vector<std::string>{"I:C"});
    std::fclose(out);
}

TEST(AdminTemplateTest, ForEachGetsTheBlockOnce)
{
    std::FILE* out = std::tmpfile();
    RecordingProvider provider(out, true);
    Expand(provider, out, "<$FOREACH Item$>[<$Name$>]<$ENDEACH Item$>");
    ASSERT_FALSE(provider.Calls.empty());
    EXPECT_EQ(provider.Calls[0], "F:Item:[<$Name$>]");
    std::fclose(out);
}

} // namespace
} // namespace qm::admincgi
