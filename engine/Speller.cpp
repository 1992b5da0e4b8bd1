#include "engine/Speller.h"

#include "common/StringUtil.h"
#include "engine/HunspellLibrary.h"
#include "engine/LanguagesFile.h"
#include "platform/Charset.h"
#include "platform/FileSystem.h"
#include "platform/Path.h"

#include <algorithm>
#include <map>
#include <optional>
#include <utility>

namespace qm::engine {

/// One loaded dictionary: the library's handle, its character set and the lock every call takes.
class SpellDictionary {
public:
    SpellDictionary(std::shared_ptr<const HunspellLibrary> library, Hunhandle* handle)
        : m_library(std::move(library))
        , m_handle(handle)
    {
        const char* encoding = m_library->Functions().GetDicEncoding(m_handle);
        m_encoding = encoding != nullptr && *encoding != '\0' ? encoding : "ISO-8859-1";
    }

    ~SpellDictionary() { m_library->Functions().Destroy(m_handle); }

    SpellDictionary(const SpellDictionary&) = delete;
    SpellDictionary& operator=(const SpellDictionary&) = delete;

    const HunspellFunctions& Functions() const { return m_library->Functions(); }

    Hunhandle* Handle() const { return m_handle; }

    const std::string& Encoding() const { return m_encoding; }

    SpellLock& Lock() { return m_lock; }

private:
    std::shared_ptr<const HunspellLibrary> m_library;
    Hunhandle* m_handle;
    std::string m_encoding;
    SpellLock m_lock;
};

namespace {

constexpr std::uint64_t kMaxLexiconFile = 4096;

// ---- lexicon files and the process-wide dictionaries ----

// The hunspell dictionary a lexicon file names (its first line that is not empty and not a '#' comment): an
// absolute path without extension, or a bare name in the system's dictionary directory.
std::optional<std::string> NamedDictionary(const std::string& text)
{
    std::optional<std::string> named;
    ForEachLine(text, [&](std::string_view line) {
        const std::string_view name = TrimmedView(line);
        if (named || name.empty() || name.front() == '#') {
            return;
        }
        named = std::string(name);
    });
    if (!named) {
        return std::nullopt;
    }
    const bool control =
            std::any_of(named->begin(), named->end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; });
    if (control) {
        return std::nullopt;
    }
    if (named->front() == '/') {
        return named;
    }
    return platform::IsSafeName(*named) ? std::optional(platform::PathJoin(kSystemDictionaryDir, *named))
                                        : std::nullopt;
}

// A lexicon file of spellDir: its path and content; nullopt when there is none.
std::optional<std::pair<std::string, std::string>> LexiconFile(const std::string& spellDir, const std::string& name)
{
    const std::optional<std::string> found = platform::ResolveNoCase(spellDir, name);
    if (!found) {
        return std::nullopt;
    }
    const std::string path = platform::PathJoin(spellDir, *found);
    Result<std::string> text = platform::ReadWholeFile(path, kMaxLexiconFile);
    if (!text) {
        return std::nullopt;
    }
    return std::pair(path, std::move(*text));
}

// What a loaded dictionary was made from: the lexicon files' contents and times. A change loads it anew.
std::string StampOf(const std::optional<std::pair<std::string, std::string>>& file)
{
    if (!file) {
        return "-";
    }
    const std::optional<platform::FileTimes> times = platform::GetFileTimes(file->first);
    const platform::Timestamp modified = times ? times->Modified : platform::Timestamp{};
    return std::to_string(modified.Seconds) + "." + std::to_string(modified.Nanoseconds) + ":" + file->second;
}

struct CachedDictionary {
    std::string Stamp;
    std::shared_ptr<SpellDictionary> Dictionary;
};

struct DictionaryCache {
    SpellLock Lock;
    std::map<std::string, CachedDictionary> Loaded; // by the common lexicon file's directory and language
};

DictionaryCache& Cache()
{
    static DictionaryCache cache;
    return cache;
}

std::shared_ptr<SpellDictionary> LoadDictionary(const std::shared_ptr<const HunspellLibrary>& library,
                                                const std::string& commonText,
                                                const std::optional<std::pair<std::string, std::string>>& main)
{
    const std::optional<std::string> base = NamedDictionary(commonText);
    if (!base || !platform::IsRegularFile(*base + ".aff") || !platform::IsRegularFile(*base + ".dic")) {
        return nullptr;
    }
    Hunhandle* handle = library->Functions().Create((*base + ".aff").c_str(), (*base + ".dic").c_str());
    if (handle == nullptr) {
        return nullptr;
    }
    auto dictionary = std::make_shared<SpellDictionary>(library, handle);
    if (main) {
        const std::optional<std::string> extra = NamedDictionary(main->second);
        if (extra && platform::IsRegularFile(*extra + ".dic")) {
            (void)library->Functions().AddDic(handle, (*extra + ".dic").c_str());
        }
    }
    return dictionary;
}

// The dictionary of the language's lexicons, loaded or reused; null when the common lexicon is missing or cannot
// be loaded, or when the wait for the cache ran out.
std::shared_ptr<SpellDictionary> FindDictionary(const std::shared_ptr<const HunspellLibrary>& library,
                                                const std::string& spellDir, std::string_view language,
                                                std::chrono::milliseconds wait)
{
    const std::string lower = SpellLower(language);
    const auto common = LexiconFile(spellDir, "Common." + lower);
    if (!common) {
        return nullptr;
    }
    const auto main = LexiconFile(spellDir, "Main." + lower);
    const std::string stamp = StampOf(common) + "|" + StampOf(main);
    DictionaryCache& cache = Cache();
    std::unique_lock lock(cache.Lock, wait);
    if (!lock.owns_lock()) {
        return nullptr;
    }
    CachedDictionary& cached = cache.Loaded[common->first];
    if (cached.Dictionary == nullptr || cached.Stamp != stamp) {
        cached.Dictionary = LoadDictionary(library, common->second, main);
        cached.Stamp = stamp;
    }
    return cached.Dictionary;
}

// ---- characters ----

// Decodes one UTF-8 sequence at text[i]; a byte that starts no valid sequence is returned as itself.
char32_t Decode(std::string_view text, std::size_t& i)
{
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = lead < 0x80                   ? 1
                               : lead >= 0xC2 && lead < 0xE0 ? 2
                               : lead >= 0xE0 && lead < 0xF0 ? 3
                               : lead >= 0xF0 && lead < 0xF5 ? 4
                                                             : 0;
    if (length <= 1 || i + length > text.size()) {
        ++i;
        return lead;
    }
    char32_t c = lead & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
        const auto b = static_cast<unsigned char>(text[i + k]);
        if ((b & 0xC0) != 0x80) {
            ++i;
            return lead;
        }
        c = (c << 6) | (b & 0x3F);
    }
    i += length;
    return c;
}

void Encode(char32_t c, std::string& out)
{
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// Latin Extended-A pairs its letters upper then lower, but for two stretches that start with a lone letter.
bool OddIsLower(char32_t c)
{
    return (c >= 0x100 && c <= 0x137) || (c >= 0x14A && c <= 0x177);
}

bool EvenIsLower(char32_t c)
{
    return (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
}

char32_t ToLower(char32_t c)
{
    if ((c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7) || (c >= 0x391 && c <= 0x3AB && c != 0x3A2) ||
        (c >= 0x410 && c <= 0x42F)) {
        return c + 0x20;
    }
    if (c >= 0x400 && c <= 0x40F) {
        return c + 0x50;
    }
    if (c == 0x178) {
        return 0xFF;
    }
    if ((OddIsLower(c) && c % 2 == 0) || (EvenIsLower(c) && c % 2 == 1)) {
        return c + 1;
    }
    return c;
}

char32_t ToUpper(char32_t c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7) || (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2) ||
        (c >= 0x430 && c <= 0x44F)) {
        return c - 0x20;
    }
    if (c >= 0x450 && c <= 0x45F) {
        return c - 0x50;
    }
    if (c == 0xFF) {
        return 0x178;
    }
    if ((OddIsLower(c) && c % 2 == 1) || (EvenIsLower(c) && c % 2 == 0)) {
        return c - 1;
    }
    return c;
}

bool IsLower(char32_t c)
{
    return ToUpper(c) != c || c == 0xDF;
}

bool IsUpper(char32_t c)
{
    return ToLower(c) != c;
}

// The letter without its accent, for the accented capitals of Latin-1 and Latin Extended-A.
char32_t BaseLetter(char32_t c)
{
    static constexpr std::string_view kLatin1 = "AAAAAA?CEEEEIIII?NOOOOO??UUUUY"; // U+00C0 to U+00DD
    if (c >= 0xC0 && c <= 0xDD && kLatin1[c - 0xC0] != '?') {
        return static_cast<unsigned char>(kLatin1[c - 0xC0]);
    }
    static constexpr std::string_view kExtendedA = // U+0100 to U+017E, capitals only ('?' for the rest)
            "A?A?A?C?C?C?C?D???E?E?E?E?E?G?G?G?G?H???I?I?I?I?I???J?K??L?L?L?????N?N?N????O?O?O???R?R?R?S?S?S?S?"
            "T?T???U?U?U?U?U?U?W?Y?YZ?Z?Z";
    if (c >= 0x100 && c < 0x100 + kExtendedA.size() && kExtendedA[c - 0x100] != '?') {
        return static_cast<unsigned char>(kExtendedA[c - 0x100]);
    }
    return c;
}

template <class Map>
std::string MapCharacters(std::string_view text, Map map)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t start = i;
        const char32_t c = Decode(text, i);
        if (i - start == 1 && c >= 0x80) {
            out.push_back(text[start]); // not UTF-8: kept as it is
        } else {
            Encode(map(c), out);
        }
    }
    return out;
}

// True when word and suggestion differ only where a capital of the word lacks the accent of the suggestion's.
bool EqualUpToCapitalAccents(std::string_view word, std::string_view suggestion)
{
    std::size_t i = 0;
    std::size_t k = 0;
    while (i < word.size() && k < suggestion.size()) {
        const char32_t w = Decode(word, i);
        const char32_t s = Decode(suggestion, k);
        if (w != s && !(IsUpper(w) && BaseLetter(s) == w)) {
            return false;
        }
    }
    return i == word.size() && k == suggestion.size();
}

template <class Predicate>
bool AnyCharacter(std::string_view text, Predicate predicate)
{
    for (std::size_t i = 0; i < text.size();) {
        if (predicate(Decode(text, i))) {
            return true;
        }
    }
    return false;
}

Result<void> Busy()
{
    return Fail("the spelling dictionary is busy");
}

} // namespace

std::string SpellLower(std::string_view text)
{
    return MapCharacters(text, ToLower);
}

std::string SpellUpper(std::string_view text)
{
    return MapCharacters(text, ToUpper);
}

SpellerSession::SpellerSession(const std::string& spellDir, std::string_view fileLanguage, SpellerOptions options,
                               std::chrono::milliseconds wait)
    : m_options(options)
    , m_wait(wait)
{
    const std::shared_ptr<const HunspellLibrary> library = LoadedHunspell();
    if (library == nullptr) {
        return;
    }
    m_dictionary = FindDictionary(library, spellDir, fileLanguage, wait);
    m_status = m_dictionary != nullptr ? SpellerStatus::Ready : SpellerStatus::NoLexicon;
}

void SpellLock::lock()
{
    std::unique_lock guard(m_mutex);
    m_free.wait(guard, [this] { return !m_held; });
    m_held = true;
}

bool SpellLock::try_lock()
{
    const std::lock_guard guard(m_mutex);
    if (m_held) {
        return false;
    }
    m_held = true;
    return true;
}

bool SpellLock::TryLockUntil(std::chrono::steady_clock::time_point deadline)
{
    std::unique_lock guard(m_mutex);
    if (!m_free.wait_until(guard, deadline, [this] { return !m_held; })) {
        return false;
    }
    m_held = true;
    return true;
}

void SpellLock::unlock()
{
    {
        const std::lock_guard guard(m_mutex);
        m_held = false;
    }
    m_free.notify_one();
}

SpellerSession::~SpellerSession() = default;

void SpellerSession::AddWordList(std::string_view text)
{
    ForEachLine(text, [&](std::string_view line) {
        if (!line.empty()) {
            m_words.emplace(line);
        }
    });
}

std::unique_lock<SpellLock> SpellerSession::Hold()
{
    if (m_dictionary == nullptr) {
        return {};
    }
    std::unique_lock lock(m_dictionary->Lock(), m_wait);
    return lock.owns_lock() ? std::move(lock) : std::unique_lock<SpellLock>();
}

bool SpellerSession::InWordLists(std::string_view word) const
{
    const std::string text(word);
    if (m_words.contains(text)) {
        return true;
    }
    // A word kept in lower case also passes capitalised or in capitals.
    const std::string lower = SpellLower(word);
    if (!m_words.contains(lower)) {
        return false;
    }
    std::size_t first = 0;
    (void)Decode(lower, first);
    const std::string capitalised = SpellUpper(std::string_view(lower).substr(0, first)) + lower.substr(first);
    return text == capitalised || text == SpellUpper(lower);
}

Result<bool> SpellerSession::Spell(std::string_view word)
{
    std::string converted;
    if (!ConvertCharset("UTF-8", m_dictionary->Encoding(), word, converted)) {
        return false; // the dictionary's character set cannot hold it: misspelled
    }
    std::unique_lock lock(m_dictionary->Lock(), m_wait);
    if (!lock.owns_lock()) {
        return Unexpected{Busy().error()};
    }
    return m_dictionary->Functions().Spell(m_dictionary->Handle(), converted.c_str()) != 0;
}

Result<bool> SpellerSession::KnownPart(std::string_view word)
{
    if (InWordLists(word)) {
        return true;
    }
    return Spell(word);
}

// True when word has inner separators and every part between them passes.
Result<bool> SpellerSession::PartsKnown(std::string_view word, char separator)
{
    const std::size_t first = word.find(separator);
    if (first == 0 || first == std::string_view::npos || word.back() == separator) {
        return false;
    }
    for (std::size_t start = 0; start <= word.size();) {
        std::size_t end = word.find(separator, start);
        end = end == std::string_view::npos ? word.size() : end;
        const std::string_view part = word.substr(start, end - start);
        if (part.empty()) {
            return false;
        }
        Result<bool> known = KnownPart(part);
        if (!known || !*known) {
            return known;
        }
        start = end + 1;
    }
    return true;
}

Result<bool> SpellerSession::MatchesWithoutCapitalAccents(std::string_view word)
{
    if (!AnyCharacter(word, IsUpper)) {
        return false;
    }
    Result<std::vector<std::string>> suggestions = Suggest(word, SIZE_MAX);
    if (!suggestions) {
        return Unexpected{suggestions.error()};
    }
    return std::any_of(suggestions->begin(), suggestions->end(),
                       [&](const std::string& s) { return EqualUpToCapitalAccents(word, s); });
}

Result<bool> SpellerSession::IsCorrect(std::string_view word)
{
    if (m_dictionary == nullptr || word.empty()) {
        return true;
    }
    if (m_options.IgnoreAllCaps && !AnyCharacter(word, IsLower)) {
        return true;
    }
    if (m_options.IgnoreMixedDigits && AnyCharacter(word, [](char32_t c) { return c >= '0' && c <= '9'; })) {
        return true;
    }
    Result<bool> known = KnownPart(word);
    if (!known || *known) {
        return known;
    }
    if (m_options.SplitContractedWords && word.find('\'') != std::string_view::npos) {
        known = PartsKnown(word, '\'');
        if (!known || *known) {
            return known;
        }
    }
    if (m_options.SplitWords && word.find('-') != std::string_view::npos) {
        known = PartsKnown(word, '-');
        if (!known || *known) {
            return known;
        }
    }
    return m_options.NoAccentedCaps ? MatchesWithoutCapitalAccents(word) : false;
}

Result<std::vector<std::string>> SpellerSession::Suggest(std::string_view word, std::size_t max)
{
    std::vector<std::string> found;
    std::string converted;
    if (m_dictionary == nullptr || m_suggestCalls >= kMaxSpellSuggestCalls ||
        !ConvertCharset("UTF-8", m_dictionary->Encoding(), word, converted)) {
        return found;
    }
    ++m_suggestCalls;
    std::unique_lock lock(m_dictionary->Lock(), m_wait);
    if (!lock.owns_lock()) {
        return Unexpected{Busy().error()};
    }
    const HunspellFunctions& f = m_dictionary->Functions();
    char** list = nullptr;
    const int count = f.Suggest(m_dictionary->Handle(), &list, converted.c_str());
    for (int i = 0; i < count && found.size() < max; ++i) {
        std::string suggestion;
        if (list[i] == nullptr || !ConvertCharset(m_dictionary->Encoding(), "UTF-8", list[i], suggestion)) {
            continue;
        }
        if (!m_options.SuggestSplitWords && suggestion.find(' ') != std::string::npos) {
            continue;
        }
        found.push_back(std::move(suggestion));
    }
    if (list != nullptr) {
        f.FreeList(m_dictionary->Handle(), &list, count);
    }
    return found;
}

} // namespace qm::engine
