#include "engine/TemplateCache.h"

#include "common/IniAccess.h"
#include "engine/Engine.h"
#include "engine/LanguagesFile.h"
#include "platform/FileSystem.h"
#include "platform/Path.h"

#include <algorithm>

namespace qm::engine {
namespace {

std::string FoldedKey(std::string_view key)
{
    std::string folded(key);
    for (char& c : folded) {
        c = c == '/' ? '\\' : static_cast<char>(platform::FoldAscii(static_cast<unsigned char>(c)));
    }
    return folded;
}

std::string ReadLanguagesText(const std::string& templateDir)
{
    auto text = platform::ReadWholeFile(LanguagesIniPath(templateDir));
    return text ? std::move(*text) : std::string();
}

std::unique_ptr<CompiledTemplate> Prepare(std::string_view raw, const EnglishIndex& english,
                                          const NumberedTexts* language)
{
    std::string text = TranslateMarkers(raw, english, language);
    UpperCaseTags(text);
    return std::make_unique<CompiledTemplate>(std::move(text));
}

bool IsAsciiLetter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

} // namespace

std::string TemplateKey(std::string_view theme, std::string_view page)
{
    std::string key(theme);
    key += '\\';
    key += page;
    key += ".html";
    return key;
}

std::string LanguageCodeOf(std::string_view code)
{
    std::string letters;
    for (char c : code.substr(0, kMaxLanguageCode)) {
        if (!IsAsciiLetter(c)) {
            break;
        }
        letters += static_cast<char>(platform::FoldAscii(static_cast<unsigned char>(c)));
    }
    return letters;
}

TemplateCache::TemplateCache(std::string templateDir, bool caching, Logger* log)
    : m_templateDir(std::move(templateDir))
    , m_caching(caching)
    , m_log(log)
    , m_codes(ReadLanguageCodes(ReadLanguagesText(m_templateDir)))
{}

TemplateCache::~TemplateCache() = default;

std::unique_ptr<TemplateCache> TemplateCache::FromEngineIni(Logger* log)
{
    std::string templateDir =
            ReadIniString("Directories", "TemplateDir", platform::PathJoin(InstallDir(), "Templates"));
    // CacheTemplates is one of the engine INI keys that start-up writes back with their defaults.
    const bool caching = ReadIniBool("General", "CacheTemplates", true);
    return std::make_unique<TemplateCache>(std::move(templateDir), caching, log);
}

bool TemplateCache::HasLanguage(std::string_view code) const
{
    const std::string letters = LanguageCodeOf(code);
    if (letters.size() < 2) {
        return false;
    }
    return letters == "en" || std::any_of(m_codes.begin(), m_codes.end(), [&](const std::string& section) {
               return platform::EqualsNoCase(section, letters);
           });
}

std::string TemplateCache::SetCodeFor(std::string_view code) const
{
    return HasLanguage(code) ? LanguageCodeOf(code) : std::string("en");
}

const TemplateCache::LanguageSet& TemplateCache::GetSet(std::string_view code) const
{
    const std::string setCode = SetCodeFor(code);
    std::lock_guard lock(m_lock);
    for (const std::unique_ptr<LanguageSet>& set : m_sets) {
        if (set->Code == setCode) {
            return *set;
        }
    }
    // The first request in a language holds the lock while its set loads.
    m_sets.push_back(LoadSet(setCode));
    return *m_sets.back();
}

std::unique_ptr<TemplateCache::LanguageSet> TemplateCache::LoadSet(const std::string& code) const
{
    if (m_log != nullptr) {
        m_log->Log(2, "Loading templates for language %s", code.c_str());
    }
    auto set = std::make_unique<LanguageSet>();
    set->Code = code;
    const LanguageLists lists = ReadLanguageLists(ReadLanguagesText(m_templateDir), code);
    auto text = [&lists](int number) {
        const std::string* found = lists.Language.Find(number);
        return found != nullptr ? found : lists.English.Find(number);
    };
    for (int number = 1; number <= kLanguageMessages; ++number) {
        if (const std::string* found = text(number)) {
            set->Messages[static_cast<std::size_t>(number - 1)] = *found;
        }
    }
    if (const std::string* found = text(kListDateFormNumber)) {
        set->ListDateForm = *found;
    }
    if (const std::string* found = text(kMessageDateFormNumber)) {
        set->MessageDateForm = *found;
    }
    if (!m_caching) {
        return set;
    }
    // For "en" the language list is the English one, so a marked text that differs from its English entry only by
    // case takes the spelling of Languages.ini.
    const EnglishIndex english(lists.English);
    for (const TemplateFile& file : ListTemplateFiles(m_templateDir)) {
        auto raw = platform::ReadWholeFile(file.Path);
        if (!raw) {
            continue; // unreadable files are skipped
        }
        std::string key = FoldedKey(file.Relative);
        if (!set->Templates.contains(key)) {
            set->Templates.emplace(std::move(key), Prepare(*raw, english, &lists.Language));
        }
    }
    return set;
}

const CompiledTemplate* TemplateCache::FindTemplate(std::string_view language, std::string_view theme,
                                                    std::string_view page)
{
    if (!m_caching) {
        return nullptr;
    }
    const LanguageSet& set = GetSet(language);
    auto found = set.Templates.find(FoldedKey(TemplateKey(theme, page)));
    return found == set.Templates.end() ? nullptr : found->second.get();
}

std::unique_ptr<CompiledTemplate> TemplateCache::LoadUncached(std::string_view language, std::string_view theme,
                                                              std::string_view page, std::string& path) const
{
    std::string relative(theme);
    relative += '/';
    relative += page;
    relative += ".html";
    auto resolved = platform::ResolvePathNoCase(m_templateDir, relative);
    path = resolved ? *resolved : platform::PathJoin(m_templateDir, relative);
    if (!resolved) {
        return nullptr;
    }
    auto raw = platform::ReadWholeFile(path);
    if (!raw) {
        return nullptr;
    }
    const std::string code = SetCodeFor(language);
    if (code == "en") {
        return Prepare(*raw, EnglishIndex(), nullptr);
    }
    const LanguageLists lists = ReadLanguageLists(ReadLanguagesText(m_templateDir), code);
    return Prepare(*raw, EnglishIndex(lists.English), &lists.Language);
}

const char* TemplateCache::GetLanguageText(int number, const char* language) const
{
    return LanguageText(number, language != nullptr ? language : "en").c_str();
}

const std::string& TemplateCache::LanguageText(int number, std::string_view language) const
{
    static const std::string kNone;
    if (number < 1 || number > kLanguageMessages) {
        return kNone;
    }
    return GetSet(language).Messages[static_cast<std::size_t>(number - 1)];
}

const std::string& TemplateCache::DateForm(int number, std::string_view language) const
{
    static const std::string kNone;
    if (number == kListDateFormNumber) {
        return GetSet(language).ListDateForm;
    }
    return number == kMessageDateFormNumber ? GetSet(language).MessageDateForm : kNone;
}

} // namespace qm::engine
