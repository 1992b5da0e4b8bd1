#include "engine/SpellCheck.h"

#include "common/CgiInput.h"
#include "common/IniAccess.h"
#include "common/NameValueList.h"
#include "common/StringUtil.h"
#include "common/TextScan.h"
#include "engine/ComposeState.h"
#include "engine/DomainSettings.h"
#include "engine/Engine.h"
#include "engine/LanguagesFile.h"
#include "engine/PageContext.h"
#include "engine/Speller.h"
#include "platform/FileSystem.h"
#include "platform/Path.h"

#include <algorithm>
#include <optional>
#include <unordered_set>
#include <vector>

namespace qm::engine {
namespace {

constexpr std::size_t kMaxLanguageCode = 8;

// Cuts a line (NUL-terminated by its string) into tokens: a URL, a "www." host, an e-mail address, a number, a word
// run, else a run of separators; f(token, isWord) for each in order, until it returns false. False when f stopped.
template <class F>
bool ForEachToken(const std::string& line, F&& f)
{
    const char* p = line.c_str();
    const char* const end = p + line.size();
    // A failed match fails for every start inside the same run of bytes: remembering the run keeps a long line of
    // short words linear.
    const char* noUrlBefore = p;
    const char* noAddressBefore = p;
    while (p < end) {
        const char* e = nullptr;
        bool word = false;
        if (p >= noUrlBefore && !MatchUrl(p, &e) && kLinkClass[static_cast<unsigned char>(*p)] == 4) {
            noUrlBefore = ClassRunEnd(p, kLinkClass, 4, 4);
        }
        if (e == nullptr && !MatchWwwHost(p, &e) && p >= noAddressBefore && !MatchEmailAddress(p, &e) &&
            kAddressClass[static_cast<unsigned char>(*p)] == 4) {
            noAddressBefore = ClassRunEnd(p, kAddressClass, 4, 2);
        }
        if (e == nullptr && !MatchNumber(p, &e)) {
            word = MatchWordRun(p, &e);
        }
        if (e == nullptr) {
            SkipLinkSeparators(p, &e);
            e = e == p ? p + 1 : e; // a NUL inside the line
        }
        if (!f(std::string_view(p, static_cast<std::size_t>(e - p)), word)) {
            return false;
        }
        p = e;
    }
    return true;
}

// Calls f(line) for every line of text with its line end, until f returns false.
template <class F>
void ForEachLineWithEnd(std::string_view text, F&& f)
{
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t lf = text.find('\n', pos);
        const std::size_t next = lf == std::string_view::npos ? text.size() : lf + 1;
        if (!f(text.substr(pos, next - pos))) {
            return;
        }
        pos = next;
    }
}

bool IsLanguageCode(std::string_view code)
{
    return !code.empty() && code.size() <= kMaxLanguageCode && std::all_of(code.begin(), code.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    });
}

std::string SpellDir()
{
    return ReadIniString("Directories", "SpellDir", platform::PathJoin(InstallDir(), "SpellCheck"));
}

std::string UserDictionaryPath(PageContext& request)
{
    return DictionaryPathIn(request.Session()->User().UserDir());
}

SpellerOptions OptionsFor(PageContext& request, std::string_view language)
{
    const auto listed = [&](const char* key, const char* def) {
        return IsLanguageInList(ReadIniString("SpellCheck", key, def), language);
    };
    const UserSettingsSource user = request.Session()->Settings();
    return SpellerOptions{
            .SplitWords = listed("SplitWords", "de,fi"),
            .SplitContractedWords = listed("SplitContractedWords", "fr,fc,it"),
            .NoAccentedCaps = listed("NoAccentedCaps", "fc"),
            .SuggestSplitWords = listed("SuggestSplitWords", "en"),
            .IgnoreAllCaps = GetUserBool("SpellCheckIgnoreAllCaps", user),
            .IgnoreMixedDigits = GetUserBool("SpellCheckIgnoreMixedDigits", user),
    };
}

void AddWordList(SpellerSession& speller, const std::string& path)
{
    if (Result<std::string> text = platform::ReadWholeFile(path, kMaxDictionaryFile)) {
        speller.AddWordList(*text);
    }
}

// A line of the compose text that starts the quoted original of a reply or forward: "----" and "Message".
bool StartsOriginal(std::string_view line)
{
    const std::string text(line);
    return line.starts_with("----") && FindNoCase(text.c_str(), "Message") != nullptr;
}

bool IsQuoted(std::string_view line)
{
    return line.size() >= 2 && line[1] == ' ' && (line[0] == '>' || line[0] == ':');
}

// Appends words to the user's dictionary file (CR LF after each), as one replacement of the file.
bool AppendDictionaryWords(PageContext& request, const std::vector<std::string>& words)
{
    const std::string path = UserDictionaryPath(request);
    std::string text;
    if (platform::PathExists(path)) {
        Result<std::string> existing = platform::ReadWholeFile(path, kMaxDictionaryFile);
        if (!existing) {
            return false;
        }
        text = std::move(*existing);
    }
    if (!text.empty() && text.back() != '\n') {
        text += "\r\n";
    }
    for (const std::string& word : words) {
        text += word + "\r\n";
    }
    if (text.size() > kMaxDictionaryFile) {
        request.Log().Log(3, "The dictionary of %s is full: no word added.", request.Session()->UserName());
        return false;
    }
    return static_cast<bool>(platform::WriteFileAtomic(path, text));
}

bool IsDictionaryWord(std::string_view word)
{
    return !word.empty() && word.size() <= kMaxDictionaryWord && std::none_of(word.begin(), word.end(), [](char c) {
        const auto b = static_cast<unsigned char>(c);
        return b < 0x20 || b == 0x7F;
    });
}

} // namespace

std::string DictionaryPathIn(const std::string& dir)
{
    return platform::PathJoin(dir, platform::ResolveNoCase(dir, kDictionaryName).value_or(kDictionaryName));
}

bool IsLanguageInList(std::string_view list, std::string_view language)
{
    for (std::size_t pos = 0; pos <= list.size();) {
        std::size_t end = list.find_first_of(" \t,;", pos);
        end = end == std::string_view::npos ? list.size() : end;
        const std::string_view token = list.substr(pos, end - pos);
        if (!token.empty() && EqualsNoCase(token, language)) {
            return true;
        }
        pos = end + 1;
    }
    return false;
}

bool WriteSuggestionList(PageContext& request, SpellerSession& speller, std::string& out, std::string_view word,
                         int index)
{
    Result<std::vector<std::string>> suggestions = speller.Suggest(word, kMaxSpellSuggestions);
    if (!suggestions) {
        return false;
    }
    out += "<SELECT NAME=\"WORD" + std::to_string(index) + "\"><OPTION SELECTED>";
    AppendHtmlEscaped(out, word, true);
    out += "</OPTION>";
    for (const std::string& suggestion : *suggestions) {
        out += "<OPTION>";
        AppendHtmlEscaped(out, suggestion, true);
        out += "</OPTION>";
    }
    out += "</SELECT>";
    if (ReadIniBool("SpellCheck", "AddSingleWords", true) && request.Session() != nullptr) {
        out += "<A HREF=\"";
        AppendHtmlEscaped(out, request.Input().GetEnv("SCRIPT_NAME"), true);
        out += "?Session=";
        AppendHtmlEscaped(out, request.Session()->Id(), true);
        out += "&amp;View=Compose-SpellCheck&amp;AddWord=";
        AppendUrlEncoded(out, word);
        out += "\"><IMG SRC=\"/";
        AppendHtmlEscaped(out, request.Theme(), true);
        out += "/addword.gif\" BORDER=\"0\" ALT=\"";
        AppendHtmlEscaped(out, LanguageText(request, kTextAddToDictionary), true);
        out += "\"></A>";
    }
    return true;
}

bool SpellCheckBody(PageContext& request, std::string_view language, SpellMode mode)
{
    PageSession* session = request.Session();
    if (session == nullptr) {
        return false;
    }
    const std::string code = SpellLower(language);
    const std::string fileCode = code == "fc" ? "fr" : code;
    SpellerSession speller(SpellDir(), IsLanguageCode(fileCode) ? fileCode : "", OptionsFor(request, code));
    if (speller.Status() == SpellerStatus::NoLibrary) {
        return false;
    }
    if (speller.Status() == SpellerStatus::NoLexicon) {
        request.Log().LogMsg(4, kMsgNoSpellDictionary, code.c_str());
        if (mode == SpellMode::Check) {
            return false;
        }
        SetErrorMessage(request, LanguageText(request, kTextNoSpellDictionary));
    }
    AddWordList(speller, UserDictionaryPath(request));
    AddWordList(speller, DictionaryPathIn(ReadIniString("Directories", "BaseDir", InstallDir())));
    const Result<std::string> text =
            platform::ReadWholeFile(platform::PathJoin(session->TempDir(), kComposeBodyFile), kMaxSpellText);
    if (!text) {
        return false;
    }
    std::string page;
    int index = 0;
    bool inOriginal = false;
    bool misspelled = false;
    bool busy = false;
    ForEachLineWithEnd(*text, [&](std::string_view lineView) {
        inOriginal = inOriginal || StartsOriginal(lineView);
        const bool check = !inOriginal && !IsQuoted(lineView);
        return ForEachToken(std::string(lineView), [&](std::string_view token, bool word) {
            const int n = word ? index++ : -1;
            const Result<bool> correct = word && check ? speller.IsCorrect(token) : Result<bool>(true);
            if (!correct) {
                busy = true;
                return false;
            }
            if (!*correct && mode == SpellMode::Check) {
                misspelled = true;
                return false;
            }
            if (!*correct) {
                busy = !WriteSuggestionList(request, speller, page, token, n);
                return !busy;
            }
            if (mode == SpellMode::Render) {
                AppendHtmlEscaped(page, token, false);
            }
            return true;
        });
    });
    if (busy) {
        request.Log().Log(3, "The spelling dictionary for %s stayed busy: the spelling check was given up.",
                          code.c_str());
        return false;
    }
    if (mode == SpellMode::Render) {
        request.Output() += page;
    }
    return misspelled;
}

bool ApplySpellCorrections(PageContext& request, bool addToDictionary)
{
    PageSession* session = request.Session();
    if (session == nullptr) {
        return false;
    }
    const std::string body = platform::PathJoin(session->TempDir(), kComposeBodyFile);
    const Result<std::string> text = platform::ReadWholeFile(body, kMaxSpellText);
    if (!text) {
        return false;
    }
    std::unordered_set<std::string> known;
    if (Result<std::string> words = platform::ReadWholeFile(UserDictionaryPath(request), kMaxDictionaryFile)) {
        ForEachLine(*words, [&](std::string_view line) { known.insert(SpellLower(line)); });
    }
    const NameValueList& fields = request.Input().Variables();
    std::vector<std::string> added;
    std::string corrected;
    int index = 0;
    ForEachLineWithEnd(*text, [&](std::string_view line) {
        return ForEachToken(std::string(line), [&](std::string_view token, bool word) {
            const std::string name = word ? "WORD" + std::to_string(index++) : std::string();
            if (!word || !fields.Contains(name.c_str())) {
                corrected += token;
                return true;
            }
            std::string value = fields.GetValue(name.c_str());
            std::erase_if(value, [](char c) { return c == '\r' || c == '\n'; });
            if (addToDictionary && value == token && IsDictionaryWord(value) &&
                known.insert(SpellLower(value)).second) {
                added.push_back(value);
            }
            corrected += value;
            return true;
        });
    });
    const std::string temp = platform::PathJoin(session->TempDir(), kComposeBodyTempFile);
    if (!platform::WriteFileSynced(temp, corrected) || !platform::ReplaceFile(temp, body)) {
        (void)platform::RemoveFile(temp);
        return false;
    }
    if (!added.empty()) {
        (void)AppendDictionaryWords(request, added);
    }
    return true;
}

bool AddDictionaryWord(PageContext& request, std::string_view word)
{
    if (request.Session() == nullptr || !IsDictionaryWord(word)) {
        return false;
    }
    return AppendDictionaryWords(request, {std::string(word)});
}

std::string SpellPageLanguage(PageContext& request)
{
    const std::string_view chosen = request.Input().Variables().GetValue("SpellLanguage");
    if (!chosen.empty()) {
        return std::string(chosen.substr(0, 2));
    }
    const std::string lang =
            request.Session() != nullptr ? GetUserSetting("Lang", request.Session()->Settings()).substr(0, 2) : "";
    // A user who never chose a language reads the pages in the request's language: the list of the page shows it.
    return lang.empty() ? request.Language().substr(0, 2) : lang;
}

} // namespace qm::engine
