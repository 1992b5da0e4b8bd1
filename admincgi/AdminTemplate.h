// The page templates of the web administration: text with tags between "<$" and "$>" for values, repeated blocks
// (FOREACH name ... ENDEACH name) and conditions (IF c ... ELSE ... ENDIF), handed to a provider.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace qm::admincgi {

/// Gives the values of a page's tags. The base provider writes a variable's own name, expands no block and holds
/// every condition false. Not thread-safe.
class TemplateProvider {
public:
    /// Output goes to out (not owned); pages are read from templateDir (no trailing '/').
    TemplateProvider(std::FILE* out, std::string templateDir);
    virtual ~TemplateProvider() = default;
    TemplateProvider(const TemplateProvider&) = delete;
    TemplateProvider& operator=(const TemplateProvider&) = delete;

    /// Writes the value of the tag name.
    virtual void Variable(const std::string& name);
    /// Expands body once per element of the list name (with ExpandTemplate).
    virtual void ForEach(const std::string& name, std::string_view body);
    /// The value of a condition.
    virtual bool If(const std::string& condition);

    /// Renders <templateDir>/<page>.html; a page that cannot be read writes nothing.
    void RenderPage(const std::string& page);

    std::FILE* Out() const { return m_out; }

    void Write(std::string_view text) const;

protected:
    std::FILE* m_out;
    std::string m_templateDir;
    std::string m_language; // a sub-directory of the templates; empty here
};

/// The longest tag body handed on; a longer body is dropped.
inline constexpr std::size_t kMaxTagBody = 79;
/// The deepest nesting of IF tags; a deeper IF is a variable.
inline constexpr int kMaxIfDepth = 32;

/// Expands text on provider.
void ExpandTemplate(TemplateProvider& provider, std::string_view text);

} // namespace qm::admincgi
