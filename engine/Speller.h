// Speller sessions over the spelling library: dictionaries loaded once per process and language (loading one is
// slow), shared by every request under a lock with a bounded wait, and the checks the engine adds around them (the
// user's and the global word lists, split and contracted words, capitals without accents, ignored words).
#pragma once

#include "base/Result.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace qm::engine {

class SpellDictionary;

/// A lock with a bounded wait, built on a mutex and a condition variable (which the thread checker follows; the
/// standard timed mutex's bounded wait is a call it does not see). Meets the standard's TimedLockable for
/// std::unique_lock.
class SpellLock {
public:
    void lock();
    bool try_lock();
    void unlock();

    template <class Rep, class Period>
    bool try_lock_for(const std::chrono::duration<Rep, Period>& wait)
    {
        return TryLockUntil(std::chrono::steady_clock::now() + wait);
    }

private:
    bool TryLockUntil(std::chrono::steady_clock::time_point deadline);

    std::mutex m_mutex;
    std::condition_variable m_free;
    bool m_held = false;
};

/// The longest wait for a dictionary that another request is using.
inline constexpr std::chrono::milliseconds kSpellDictionaryWait{10000};

/// The most times one session asks the library for suggestions; past them a word gets none. Asking is slow, so a
/// text of thousands of misspelled words cannot keep a request (and the shared dictionary) busy for long.
inline constexpr std::size_t kMaxSpellSuggestCalls = 500;

/// Where the hunspell dictionaries named by a bare name are.
inline constexpr const char* kSystemDictionaryDir = "/usr/share/hunspell";

/// How one check treats its words.
struct SpellerOptions {
    bool SplitWords = false;           ///< a hyphenated word passes when each part is correct
    bool SplitContractedWords = false; ///< a word with inner apostrophes is checked part by part
    bool NoAccentedCaps = false;       ///< capitals may lack their accents ("ECOLE", "Ecole" for "École")
    bool SuggestSplitWords = false;    ///< suggestions may hold a blank ("a lot")
    bool IgnoreAllCaps = false;        ///< a word without a lower-case letter is not checked
    bool IgnoreMixedDigits = false;    ///< a word holding a digit is not checked
};

/// What opening a session found.
enum class SpellerStatus {
    Ready,     ///< the dictionary is loaded
    NoLibrary, ///< the spelling library cannot be loaded: nothing can be checked
    NoLexicon, ///< the language's common lexicon is missing or cannot be loaded: no word is flagged
};

/// One check of one text, on one request's thread. Words are UTF-8. Every call into the dictionary takes the
/// dictionary's lock for that call; past the wait it fails (and so does the whole check).
class SpellerSession {
public:
    /// A session for the lexicons of fileLanguage ("Common.<fileLanguage>", "Main.<fileLanguage>", names found
    /// whatever their case) in spellDir.
    SpellerSession(const std::string& spellDir, std::string_view fileLanguage, SpellerOptions options,
                   std::chrono::milliseconds wait = kSpellDictionaryWait);
    ~SpellerSession();
    SpellerSession(const SpellerSession&) = delete;
    SpellerSession& operator=(const SpellerSession&) = delete;

    SpellerStatus Status() const { return m_status; }

    /// Adds the words of a word list (one a line, CR LF or LF; empty lines skipped).
    void AddWordList(std::string_view text);

    /// True when the word passes: a word list holds it, the dictionary knows it, or an option lets it pass. Always
    /// true without a dictionary. Fails when the dictionary's lock was not had in time.
    Result<bool> IsCorrect(std::string_view word);

    /// At most max suggestions for the word, best first (none without a dictionary, none for a word the
    /// dictionary's character set cannot hold, and none once the session asked kMaxSpellSuggestCalls times).
    /// Fails as IsCorrect.
    Result<std::vector<std::string>> Suggest(std::string_view word, std::size_t max);

    /// Holds the dictionary's lock until the returned lock goes (other sessions wait for it meanwhile); an empty
    /// lock when there is no dictionary or the wait ran out.
    std::unique_lock<SpellLock> Hold();

private:
    bool InWordLists(std::string_view word) const;
    Result<bool> KnownPart(std::string_view word);
    Result<bool> Spell(std::string_view word);
    Result<bool> PartsKnown(std::string_view word, char separator);
    Result<bool> MatchesWithoutCapitalAccents(std::string_view word);

    std::shared_ptr<SpellDictionary> m_dictionary;
    SpellerOptions m_options;
    std::chrono::milliseconds m_wait;
    SpellerStatus m_status = SpellerStatus::NoLibrary;
    std::unordered_set<std::string> m_words;
    std::size_t m_suggestCalls = 0;
};

/// Lower-case and upper-case forms of UTF-8 text for the Latin, Greek and Cyrillic letters (other characters and
/// bytes that are not UTF-8 stay as they are).
std::string SpellLower(std::string_view text);
std::string SpellUpper(std::string_view text);

} // namespace qm::engine
