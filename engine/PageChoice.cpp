#include "engine/PageChoice.h"

#include "common/CgiInput.h"
#include "common/IniAccess.h"
#include "common/IniCache.h"
#include "engine/Engine.h"
#include "engine/TemplateCache.h"
#include "platform/FileSystem.h"
#include "platform/IniFile.h"
#include "platform/Path.h"

#include <optional>

namespace qm::engine {
namespace {

// The Domains.Ini sections of the choice, read once per resolve.
class DomainChoices {
public:
    explicit DomainChoices(std::string_view domain)
        : m_document(LoadIniCached(DomainsIniPath()))
        , m_domain(domain)
    {}

    std::string Get(std::string_view section, std::string_view key) const
    {
        return m_document->Get(section, key).value_or(std::string());
    }

    std::string Domain(std::string_view kind, std::string_view key) const
    {
        std::string section = m_domain;
        section += ':';
        section += kind;
        return Get(section, key);
    }

private:
    IniSnapshot m_document;
    std::string m_domain;
};

// The language code a candidate value names: its leading letters (at most three), or "" when it has fewer than
// two. A three-letter code without a section of its own gives way to its two-letter prefix when that has one. A
// code without a section is still the code: the cache shows the English texts for it.
std::string LanguageCandidate(const TemplateCache& cache, std::string_view candidate)
{
    std::string letters = LanguageCodeOf(candidate);
    if (letters.size() < 2) {
        return {};
    }
    if (letters.size() > 2 && !cache.HasLanguage(letters) && cache.HasLanguage(letters.substr(0, 2))) {
        letters.resize(2);
    }
    return letters;
}

bool AcceptableName(std::string_view name)
{
    return !name.empty() && name.size() <= kMaxThemeName && platform::IsSafeName(name);
}

// The directory's own spelling of theme when it is a valid theme of templateDir.
std::optional<std::string> AcceptTheme(const std::string& templateDir, std::string_view candidate)
{
    if (!AcceptableName(candidate)) {
        return std::nullopt;
    }
    // The candidate usually is the directory's own spelling (the cookie and the user's setting keep the name found):
    // then one stat of its marker page settles it, since the look-up by any case takes an exact name first.
    if (platform::PathExists(platform::PathJoin(platform::PathJoin(templateDir, candidate), kThemeMarkerPage))) {
        return std::string(candidate);
    }
    auto dir = platform::ResolveNoCase(templateDir, candidate);
    if (!dir || !platform::ResolveNoCase(platform::PathJoin(templateDir, *dir), kThemeMarkerPage)) {
        return std::nullopt;
    }
    return dir;
}

// The file's own spelling of style when "<themeDir>/<style>.css" exists.
std::optional<std::string> AcceptStyle(const std::string& themeDir, std::string_view candidate)
{
    if (!AcceptableName(candidate)) {
        return std::nullopt;
    }
    std::string file(candidate);
    file += ".css";
    // An exact spelling is taken first, as by the look-up by any case below: one stat.
    if (platform::IsRegularFile(platform::PathJoin(themeDir, file))) {
        return std::string(candidate);
    }
    auto found = platform::ResolveNoCase(themeDir, file);
    if (!found || !platform::IsRegularFile(platform::PathJoin(themeDir, *found))) {
        return std::nullopt;
    }
    found->resize(found->size() - 4);
    return found;
}

std::string UpToFirstDot(const std::string& name)
{
    return name.substr(0, name.find('.'));
}

std::string Cookie(const PageContext& context, const char* name)
{
    return context.Input().Cookies().GetValue(name);
}

} // namespace

std::string HtmlDirectory()
{
    return ReadIniString("WebServer", "HtmlDir", platform::PathJoin(InstallDir(), "HTML"));
}

bool UseCookies()
{
    return ReadIniBool("Special", "UseCookies", true);
}

void ResolveLanguage(PageContext& context)
{
    const TemplateCache& cache = context.Templates();
    const DomainChoices domains(context.Domain());
    PageSession* session = context.Session();
    std::string code;
    const auto accept = [&](std::string_view candidate) {
        code = LanguageCandidate(cache, candidate);
        return !code.empty();
    };
    const bool found =
            accept(domains.Domain("UserOverrides", "Lang")) || accept(domains.Get("Default:UserOverrides", "Lang")) ||
            accept(context.Input().Variables().GetValue("Lang")) ||
            (session != nullptr && accept(GetUserSetting("Lang", session->Settings()))) ||
            (UseCookies() && accept(Cookie(context, "Lang"))) || accept(domains.Domain("UserDefaults", "Lang")) ||
            accept(domains.Get("Default:UserDefaults", "Lang"));
    if (!found) {
        code = "en";
    }
    if (session != nullptr) {
        SetUserSetting("Lang", session->Settings(), code);
    }
    context.SetLanguage(std::move(code));
}

void ResolveTheme(PageContext& context)
{
    const std::string& templateDir = context.Templates().TemplateDir();
    const DomainChoices domains(context.Domain());
    PageSession* session = context.Session();
    std::optional<std::string> theme;
    const auto accept = [&](std::string_view candidate) {
        theme = AcceptTheme(templateDir, candidate);
        return theme.has_value();
    };
    const bool found =
            accept(domains.Domain("UserOverrides", "Theme")) || accept(domains.Get("Default:UserOverrides", "Theme")) ||
            accept(context.Input().Variables().GetValue("Theme")) ||
            (session != nullptr && accept(GetUserSetting("Theme", session->Settings()))) ||
            (UseCookies() && accept(Cookie(context, "Theme"))) || accept(domains.Domain("UserDefaults", "Theme")) ||
            accept(domains.Get("Default:UserDefaults", "Theme"));
    if (!found) {
        if (auto entries = platform::ListDirectory(templateDir)) {
            for (const platform::DirEntry& entry : *entries) {
                const bool directory = entry.Type == platform::EntryType::Directory ||
                                       (entry.Type == platform::EntryType::Symlink &&
                                        platform::IsDirectory(platform::PathJoin(templateDir, entry.Name)));
                if (directory && accept(UpToFirstDot(entry.Name))) {
                    break;
                }
            }
        }
    }
    if (theme && session != nullptr) {
        SetUserSetting("Theme", session->Settings(), *theme);
    }
    context.SetTheme(theme.value_or(std::string()));
}

std::string ResolveStyle(PageContext& context)
{
    if (!platform::IsSafeName(context.Theme())) {
        return {};
    }
    const std::string themeDir = platform::PathJoin(HtmlDirectory(), context.Theme());
    const DomainChoices domains(context.Domain());
    PageSession* session = context.Session();
    std::optional<std::string> style;
    const auto accept = [&](std::string_view candidate) {
        style = AcceptStyle(themeDir, candidate);
        return style.has_value();
    };
    const bool found =
            accept(domains.Domain("UserOverrides", "Style")) || accept(domains.Get("Default:UserOverrides", "Style")) ||
            (session != nullptr && accept(GetUserSetting("Style", session->Settings()))) ||
            accept(domains.Domain("UserDefaults", "Style")) || accept(domains.Get("Default:UserDefaults", "Style"));
    if (!found) {
        if (auto sheets = platform::ListDirectory(themeDir, "*.css")) {
            for (const platform::DirEntry& entry : *sheets) {
                if (entry.Type != platform::EntryType::Directory) {
                    (void)accept(UpToFirstDot(entry.Name));
                    break;
                }
            }
        }
    }
    if (style && session != nullptr) {
        SetUserSetting("Style", session->Settings(), *style);
    }
    return style.value_or(std::string());
}

} // namespace qm::engine
