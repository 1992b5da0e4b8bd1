// Languages.ini: its lines, sections and numbered texts; the translation of the "[$" "$]" markers of templates; the
// upper-casing of tag names; and the safe formatting of a language message with arguments.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace qm::engine {

/// File name of the language file in the template directory.
inline constexpr const char* kLanguagesIniName = "Languages.ini";

/// Longest language code: a section name is cut to this many characters.
inline constexpr std::size_t kMaxLanguageCode = 3;

/// The path of Languages.ini in templateDir, found whatever the case of its name; "Languages.ini" there when none.
std::string LanguagesIniPath(const std::string& templateDir);

/// The number of a line's key: its leading decimal number after blanks, with an optional sign ("005" and "5" are
/// 5; "x" is 0), held to the range of int.
int ParseMessageNumber(std::string_view key);

/// Calls f(line) for every line of text, without its line end (LF or CR LF; trailing CRs go too), whatever its
/// length. A last line without a line end is a line; an empty text has none.
template <class F>
void ForEachLine(std::string_view text, F&& f)
{
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        const std::size_t next = end == std::string_view::npos ? text.size() : end + 1;
        if (end == std::string_view::npos) {
            end = text.size();
        }
        std::string_view line = text.substr(pos, end - pos);
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) {
            line.remove_suffix(1);
        }
        f(line);
        pos = next;
    }
}

/// A template file found below the template directory.
struct TemplateFile {
    std::string Relative; ///< path below the template directory, '/' between levels ("Globe/List.html")
    std::string Path;     ///< full path
};

/// Deepest directory level below the template directory that the template walk enters.
inline constexpr int kMaxTemplateDepth = 8;

/// Every file matching "*.html" (any case) in templateDir and, recursively, in its sub-directories, in listing
/// order (names compared case-folded), a directory's files before its sub-directories. Names that start with '.'
/// are skipped, files and directories alike; links are followed to regular files and directories, to at most
/// kMaxTemplateDepth levels. A directory that cannot be read gives nothing.
std::vector<TemplateFile> ListTemplateFiles(const std::string& templateDir);

/// The kind of one line of Languages.ini.
enum class LanguageLineKind {
    Comment, ///< empty, or starting with ';'
    Section, ///< "[code]"
    Entry,   ///< "key=text"
    Other,   ///< anything else: ignored
};

/// One classified line: for a section its code (the characters after '[' up to ']', at most kMaxLanguageCode), for
/// an entry its key (before the first '='), number and text (after it).
struct LanguageLine {
    LanguageLineKind Kind = LanguageLineKind::Other;
    std::string_view Code;
    std::string_view Key;
    int Number = 0;
    std::string_view Text;
};

/// Classifies one line (without its line end).
LanguageLine ClassifyLanguageLine(std::string_view line);

/// True when two language codes are equal without regard to ASCII case.
bool SameLanguage(std::string_view a, std::string_view b);

/// The numbered texts of one language: the first line of a number wins, later lines of that number are ignored.
/// Entries keep the order of the file.
class NumberedTexts {
public:
    struct Entry {
        int Number;
        std::string Text;
    };

    /// Adds (number, text) unless the number is present; false when it was.
    bool Add(int number, std::string_view text);

    /// The text of number, or null.
    const std::string* Find(int number) const;

    const std::vector<Entry>& Entries() const { return m_entries; }

    std::size_t Size() const { return m_entries.size(); }

private:
    std::vector<Entry> m_entries;
    std::unordered_map<int, std::size_t> m_byNumber;
};

/// The English texts looked up by their text without regard to ASCII case: the number of the first entry with that
/// text.
class EnglishIndex {
public:
    EnglishIndex() = default;
    explicit EnglishIndex(const NumberedTexts& english);

    /// Adds text under number unless an entry has that text already.
    void Add(std::string_view text, int number);

    /// The number of text, or nullptr when no English entry has it.
    const int* Find(std::string_view text) const;

private:
    std::unordered_map<std::string, int> m_numbers; // folded text -> number
};

/// The English section and the section of one language, read from the text of Languages.ini. Sections are compared
/// by their first kMaxLanguageCode characters without regard to case; for "en" both lists are the English one.
struct LanguageLists {
    NumberedTexts English;
    NumberedTexts Language;
};

/// Reads the "en" section and the section of code from the file's text.
LanguageLists ReadLanguageLists(std::string_view fileText, std::string_view code);

/// The section codes of the file's text in file order, each once (first spelling kept).
std::vector<std::string> ReadLanguageCodes(std::string_view fileText);

/// Replaces every "[$" text "$]" of a template: when the text is an English text (case ignored) whose number the
/// language has, by the language's text of that number; otherwise by the text itself, without the markers. A null
/// language only removes the markers. An "[$" without a following "$]" ends the translation: the rest, markers
/// included, stays as it is.
std::string TranslateMarkers(std::string_view text, const EnglishIndex& english, const NumberedTexts* language);

/// Upper-cases (ASCII) every character between "<$" and the next "$>"; a "<$" without a following "$>" ends it.
void UpperCaseTags(std::string& text);

/// Formats a language message used as a format: each conversion "%s", "%d", "%i" or "%u" (flags, a width, a
/// precision and the length modifiers l, ll, h, z are accepted and ignored) takes the next argument's text; "%%"
/// is '%'. A conversion with no argument left, and any other '%' sequence, is written as it stands, so a
/// translation with a wrong or an extra conversion can never read what was not passed.
std::string FormatLanguageMessage(std::string_view format, std::initializer_list<std::string_view> args);

} // namespace qm::engine
