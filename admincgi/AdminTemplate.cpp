// The template expander of the web administration.
#include "admincgi/AdminTemplate.h"

#include "platform/FileSystem.h"

#include <utility>

namespace qm::admincgi {

TemplateProvider::TemplateProvider(std::FILE* out, std::string templateDir)
    : m_out(out)
    , m_templateDir(std::move(templateDir))
{}

void TemplateProvider::Variable(const std::string& name)
{
    Write(name);
}

void TemplateProvider::ForEach(const std::string&, std::string_view)
{}

bool TemplateProvider::If(const std::string&)
{
    return false;
}

void TemplateProvider::Write(std::string_view text) const
{
    if (m_out != nullptr && !text.empty()) {
        (void)std::fwrite(text.data(), 1, text.size(), m_out);
    }
}

void TemplateProvider::RenderPage(const std::string& page)
{
    std::string path = m_templateDir + "/";
    if (!m_language.empty()) {
        path += m_language + "/";
    }
    path += page + ".html";
    // Page files are small; a larger one is refused rather than read whole.
    Result<std::string> text = platform::ReadWholeFile(path, 4u << 20);
    if (!text) {
        return;
    }
    ExpandTemplate(*this, *text);
}

void ExpandTemplate(TemplateProvider& provider, std::string_view text)
{
    bool output = true;
    int depth = 0;
    bool saved[kMaxIfDepth] = {};
    for (;;) {
        const std::size_t open = text.find("<$");
        const std::size_t close = open == std::string_view::npos ? open : text.find("$>", open + 2);
        if (close == std::string_view::npos) {
            break;
        }
        if (output) {
            provider.Write(text.substr(0, open));
        }
        const std::string_view body = text.substr(open + 2, close - open - 2);
        text.remove_prefix(close + 2);
        if (body.size() > kMaxTagBody) {
            continue;
        }
        if (body.starts_with("FOREACH ")) {
            const std::string name(body.substr(8));
            const std::string endTag = "<$ENDEACH " + name + "$>";
            const std::size_t end = text.find(endTag);
            if (end == std::string_view::npos) {
                continue;
            }
            if (output) {
                provider.ForEach(name, text.substr(0, end));
            }
            text.remove_prefix(end + endTag.size());
            continue;
        }
        if (body.starts_with("IF ") && depth < kMaxIfDepth) {
            saved[depth++] = output;
            if (output) {
                output = provider.If(std::string(body.substr(3)));
            }
            continue;
        }
        if (depth > 0 && body == "ENDIF") {
            output = saved[--depth];
            continue;
        }
        if (depth > 0 && body == "ELSE") {
            output = saved[depth - 1] && !output;
            continue;
        }
        if (output) {
            provider.Variable(std::string(body));
        }
    }
    if (output) {
        provider.Write(text);
    }
}

} // namespace qm::admincgi
