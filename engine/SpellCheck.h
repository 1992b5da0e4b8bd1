// The spelling check of the compose text: the check before a send, the spelling page's text with a list of
// suggestions for every misspelled word, the corrections the page posts, and the words the user keeps in the
// personal dictionary. Operations of the request, through its page interface.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qm::engine {

class PageContext;
class SpellerSession;

/// What SpellCheckBody does.
enum class SpellMode {
    Check = 1,  ///< stop at the first misspelled word
    Render = 2, ///< write the text as HTML to the page, with a suggestion list for every misspelled word
};

/// Language messages of the spelling page.
inline constexpr int kTextNoSpellDictionary = 32; // the language has no spelling dictionary
inline constexpr int kTextAddToDictionary = 69;   // the text of the link that adds one word

/// Log message: "Could not load spell check dictionary for %s." with the language.
inline constexpr int kMsgNoSpellDictionary = 258;

/// The most suggestions a list offers.
inline constexpr std::size_t kMaxSpellSuggestions = 8;

/// The file of a word list, in a user's directory and in the installation directory.
inline constexpr const char* kDictionaryName = "Dictionary.txt";

/// The word list of dir: the file that is there whatever the case of its name, else kDictionaryName in dir.
std::string DictionaryPathIn(const std::string& dir);

/// The longest word kept in a dictionary file, in bytes.
inline constexpr std::size_t kMaxDictionaryWord = 255;

/// The most bytes of a word list (the user's or the global "Dictionary.txt") that a check reads or that adding a word
/// lets it grow to.
inline constexpr std::size_t kMaxDictionaryFile = std::size_t{1} << 20;

/// The most bytes of compose text that is checked or corrected.
inline constexpr std::size_t kMaxSpellText = std::size_t{8} << 20;

/// Checks the compose text (".body.txt" of the session's compose directory) in the language (two letters; "fc" uses
/// the lexicons of "fr" with its own options). Check mode: true when a word is misspelled. Render mode: writes the
/// text to the page output and returns false. Quoted lines ("> ", ": ") and everything from a "----...Message" line
/// on are not checked; URLs, host names, addresses and numbers are never words. Without the spelling library the
/// call does nothing and returns false; without the language's common lexicon it logs that, sets error message 32
/// (render mode) and flags no word. A request without a session does nothing.
bool SpellCheckBody(PageContext& request, std::string_view language, SpellMode mode);

/// Appends the selection list "WORD<index>" of a misspelled word to out: the word itself first and selected, then
/// at most kMaxSpellSuggestions suggestions, and the link that adds the word to the user's dictionary when
/// [SpellCheck] AddSingleWords is on. False when the dictionary could not be had in time.
bool WriteSuggestionList(PageContext& request, SpellerSession& speller, std::string& out, std::string_view word,
                         int index);

/// True when a token of list (separated by blanks, ',' and ';') equals language, ASCII case ignored.
bool IsLanguageInList(std::string_view list, std::string_view language);

/// Applies the posted "WORD<n>" fields to the compose text: word n (numbered as SpellCheckBody numbers them) becomes
/// the field's value, line ends removed. With addToDictionary every word the user kept as it was goes to the user's
/// dictionary, once. False when the text could not be read or written (it is then unchanged).
bool ApplySpellCorrections(PageContext& request, bool addToDictionary);

/// Appends word to the user's "Dictionary.txt". Refused (false) when it is empty, longer than kMaxDictionaryWord,
/// holds a control byte, or would make the file larger than kMaxDictionaryFile.
bool AddDictionaryWord(PageContext& request, std::string_view word);

/// The language of the spelling page: the first two letters of the field SpellLanguage, else of the user's Lang, else
/// of the request's language.
std::string SpellPageLanguage(PageContext& request);

} // namespace qm::engine
