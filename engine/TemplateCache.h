// The template cache: per language, the numbered messages of Languages.ini and, when templates are cached,
// every page template below the template directory, translated and compiled once.
#pragma once

#include "common/Log.h"
#include "engine/CompiledTemplate.h"
#include "store/StoreSeams.h"

#include <array>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace qm::engine {

/// Highest number of a language message (1 to kLanguageMessages): Languages.ini numbers its lines with three digits.
/// The engine's messages are 1 to 99 and, added later, numbers above those of the template texts.
inline constexpr int kLanguageMessages = 999;

/// Longest page name accepted for a template (a longer one finds no template).
inline constexpr std::size_t kMaxPageName = 79;

/// The key of a page's template: "<theme>\<page>.html".
std::string TemplateKey(std::string_view theme, std::string_view page);

/// The language code that a code names: its leading ASCII letters, at most three, in lower case ("de-CH" is "de",
/// "Deutsch" is "deu"); "" when it has none.
std::string LanguageCodeOf(std::string_view code);

/// The engine's template cache. A language set is made at the first request for its language and kept until the
/// cache ends. Only "en" and the languages that have a section in Languages.ini (as it was when the cache was made)
/// get sets of their own; any other code is served by the "en" set, which is what such a code would show anyway (a
/// language without a section gets the English texts). So the number of sets is bounded by the file.
///
/// Thread-safe: look-ups take the cache's lock, and the first request for a language holds it while the set loads.
/// Texts and templates that the cache hands out stay valid and unchanged until the cache ends.
class TemplateCache final : public store::LanguageTexts {
public:
    /// A cache over templateDir; caching decides whether templates are cached (messages always are). log, when not
    /// null, receives "Loading templates for language %s" at level 2 for each new set; it must outlive the cache.
    TemplateCache(std::string templateDir, bool caching, Logger* log);

    /// The engine's cache: [Directories] TemplateDir (default "<installation>/Templates") and [General]
    /// CacheTemplates (default Yes) of the engine INI.
    static std::unique_ptr<TemplateCache> FromEngineIni(Logger* log);

    ~TemplateCache() override;
    TemplateCache(const TemplateCache&) = delete;
    TemplateCache& operator=(const TemplateCache&) = delete;

    const std::string& TemplateDir() const { return m_templateDir; }

    bool Caching() const { return m_caching; }

    /// True when code (LanguageCodeOf) is "en" or has a section in Languages.ini (case ignored).
    bool HasLanguage(std::string_view code) const;

    /// The code of the set that serves code: LanguageCodeOf(code) when HasLanguage, else "en".
    std::string SetCodeFor(std::string_view code) const;

    /// The cached template of page in theme for language; null when there is none or caching is off.
    const CompiledTemplate* FindTemplate(std::string_view language, std::string_view theme, std::string_view page);

    /// Reads the template of page in theme from disk (found whatever the case of its names), translates it for
    /// language (from Languages.ini as it is now), upper-cases its tag names and compiles it. Null when it cannot be
    /// read; path receives the file's path either way.
    std::unique_ptr<CompiledTemplate> LoadUncached(std::string_view language, std::string_view theme,
                                                   std::string_view page, std::string& path) const;

    /// Message number (1 to kLanguageMessages) of language; the English text when the language lacks it; "" when
    /// neither has it or number is out of range. Owned by the cache.
    const char* GetLanguageText(int number, const char* language) const override;

    /// The same for a code given as a view.
    const std::string& LanguageText(int number, std::string_view language) const;

private:
    struct LanguageSet {
        std::string Code;
        std::array<std::string, kLanguageMessages> Messages;
        std::unordered_map<std::string, std::unique_ptr<CompiledTemplate>> Templates; // by folded key
    };

    const LanguageSet& GetSet(std::string_view code) const;
    std::unique_ptr<LanguageSet> LoadSet(const std::string& code) const;

    std::string m_templateDir;
    bool m_caching;
    Logger* m_log;
    std::vector<std::string> m_codes; // the sections of Languages.ini
    mutable std::mutex m_lock;
    mutable std::vector<std::unique_ptr<LanguageSet>> m_sets;
};

} // namespace qm::engine
