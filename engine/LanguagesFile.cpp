#include "engine/LanguagesFile.h"

#include "common/StringUtil.h"
#include "platform/FileSystem.h"
#include "platform/Path.h"

#include <algorithm>
#include <climits>
#include <utility>

namespace qm::engine {
namespace {

std::string Folded(std::string_view text)
{
    std::string folded(text);
    for (char& c : folded) {
        c = static_cast<char>(platform::FoldAscii(static_cast<unsigned char>(c)));
    }
    return folded;
}

// Length of a printf conversion starting at format[pos] == '%' that takes one argument ("%s", "%-5d", "%lu"), or 0.
std::size_t ConversionLength(std::string_view format, std::size_t pos)
{
    std::size_t i = pos + 1;
    while (i < format.size() && std::string_view("-+ #0").find(format[i]) != std::string_view::npos) {
        ++i;
    }
    while (i < format.size() && format[i] >= '0' && format[i] <= '9') {
        ++i;
    }
    if (i < format.size() && format[i] == '.') {
        ++i;
        while (i < format.size() && format[i] >= '0' && format[i] <= '9') {
            ++i;
        }
    }
    while (i < format.size() && (format[i] == 'l' || format[i] == 'h' || format[i] == 'z')) {
        ++i;
    }
    if (i < format.size() && std::string_view("sdiu").find(format[i]) != std::string_view::npos) {
        return i + 1 - pos;
    }
    return 0;
}

void AddTemplateFiles(const std::string& dir, const std::string& relative, int depth, std::vector<TemplateFile>& files)
{
    auto entries = platform::ListDirectory(dir);
    if (!entries) {
        return;
    }
    std::vector<std::string> subdirs;
    for (const platform::DirEntry& entry : *entries) {
        const std::string path = platform::PathJoin(dir, entry.Name);
        const bool link = entry.Type == platform::EntryType::Symlink;
        if (entry.Type == platform::EntryType::Directory || (link && platform::IsDirectory(path))) {
            subdirs.push_back(entry.Name);
        } else if ((entry.Type == platform::EntryType::File || (link && platform::IsRegularFile(path))) &&
                   platform::WildcardMatch("*.html", entry.Name)) {
            std::string name = relative;
            if (!name.empty()) {
                name += '/';
            }
            name += entry.Name;
            files.push_back({std::move(name), path});
        }
    }
    if (depth >= kMaxTemplateDepth) {
        return;
    }
    for (const std::string& name : subdirs) {
        AddTemplateFiles(platform::PathJoin(dir, name), relative.empty() ? name : platform::PathJoin(relative, name),
                         depth + 1, files);
    }
}

} // namespace

std::string LanguagesIniPath(const std::string& templateDir)
{
    return platform::PathJoin(templateDir,
                              platform::ResolveNoCase(templateDir, kLanguagesIniName).value_or(kLanguagesIniName));
}

std::vector<TemplateFile> ListTemplateFiles(const std::string& templateDir)
{
    std::vector<TemplateFile> files;
    AddTemplateFiles(templateDir, {}, 0, files);
    return files;
}

int ParseMessageNumber(std::string_view key)
{
    return ParseDecimalInt(key);
}

LanguageLine ClassifyLanguageLine(std::string_view line)
{
    LanguageLine result;
    if (line.empty() || line.front() == ';') {
        result.Kind = LanguageLineKind::Comment;
        return result;
    }
    if (line.front() == '[') {
        std::string_view code = line.substr(1);
        code = code.substr(0, std::min(code.find(']'), kMaxLanguageCode));
        result.Kind = LanguageLineKind::Section;
        result.Code = code;
        return result;
    }
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) {
        return result;
    }
    result.Kind = LanguageLineKind::Entry;
    result.Key = line.substr(0, equals);
    result.Number = ParseMessageNumber(result.Key);
    result.Text = line.substr(equals + 1);
    return result;
}

bool SameLanguage(std::string_view a, std::string_view b)
{
    return platform::EqualsNoCase(a.substr(0, kMaxLanguageCode), b.substr(0, kMaxLanguageCode));
}

bool NumberedTexts::Add(int number, std::string_view text)
{
    if (m_byNumber.contains(number)) {
        return false;
    }
    m_byNumber.emplace(number, m_entries.size());
    m_entries.push_back({number, std::string(text)});
    return true;
}

const std::string* NumberedTexts::Find(int number) const
{
    auto found = m_byNumber.find(number);
    return found == m_byNumber.end() ? nullptr : &m_entries[found->second].Text;
}

EnglishIndex::EnglishIndex(const NumberedTexts& english)
{
    for (const NumberedTexts::Entry& entry : english.Entries()) {
        Add(entry.Text, entry.Number);
    }
}

void EnglishIndex::Add(std::string_view text, int number)
{
    m_numbers.emplace(Folded(text), number);
}

const int* EnglishIndex::Find(std::string_view text) const
{
    auto found = m_numbers.find(Folded(text));
    return found == m_numbers.end() ? nullptr : &found->second;
}

LanguageLists ReadLanguageLists(std::string_view fileText, std::string_view code)
{
    LanguageLists lists;
    const bool english = SameLanguage(code, "en");
    bool inEnglish = false;
    bool inLanguage = false;
    ForEachLine(fileText, [&](std::string_view text) {
        const LanguageLine line = ClassifyLanguageLine(text);
        if (line.Kind == LanguageLineKind::Section) {
            inEnglish = SameLanguage(line.Code, "en");
            inLanguage = !english && SameLanguage(line.Code, code);
        } else if (line.Kind == LanguageLineKind::Entry) {
            if (inEnglish) {
                (void)lists.English.Add(line.Number, line.Text);
            }
            if (inLanguage) {
                (void)lists.Language.Add(line.Number, line.Text);
            }
        }
    });
    if (english) {
        lists.Language = lists.English;
    }
    return lists;
}

std::vector<std::string> ReadLanguageCodes(std::string_view fileText)
{
    std::vector<std::string> codes;
    ForEachLine(fileText, [&](std::string_view text) {
        const LanguageLine line = ClassifyLanguageLine(text);
        if (line.Kind != LanguageLineKind::Section) {
            return;
        }
        const bool known = std::any_of(codes.begin(), codes.end(),
                                       [&](const std::string& code) { return SameLanguage(code, line.Code); });
        if (!known) {
            codes.emplace_back(line.Code);
        }
    });
    return codes;
}

std::string TranslateMarkers(std::string_view text, const EnglishIndex& english, const NumberedTexts* language)
{
    std::string out;
    out.reserve(std::max<std::size_t>(text.size(), 4096));
    std::size_t pos = 0;
    for (;;) {
        const std::size_t open = text.find("[$", pos);
        if (open == std::string_view::npos) {
            break;
        }
        const std::size_t close = text.find("$]", open + 2);
        if (close == std::string_view::npos) {
            break;
        }
        out.append(text.substr(pos, open - pos));
        const std::string_view marked = text.substr(open + 2, close - open - 2);
        const std::string* translated = nullptr;
        if (language != nullptr) {
            if (const int* number = english.Find(marked)) {
                translated = language->Find(*number);
            }
        }
        if (translated != nullptr) {
            out.append(*translated);
        } else {
            out.append(marked);
        }
        pos = close + 2;
    }
    out.append(text.substr(pos));
    return out;
}

void UpperCaseTags(std::string& text)
{
    std::size_t pos = 0;
    for (;;) {
        const std::size_t open = text.find("<$", pos);
        if (open == std::string::npos) {
            return;
        }
        const std::size_t close = text.find("$>", open + 2);
        if (close == std::string::npos) {
            return;
        }
        for (std::size_t i = open + 2; i < close; ++i) {
            if (text[i] >= 'a' && text[i] <= 'z') {
                text[i] = static_cast<char>(text[i] - ('a' - 'A'));
            }
        }
        pos = close + 2;
    }
}

std::string FormatLanguageMessage(std::string_view format, std::initializer_list<std::string_view> args)
{
    std::string out;
    out.reserve(format.size() + 32);
    const std::string_view* next = args.begin();
    std::size_t pos = 0;
    while (pos < format.size()) {
        const std::size_t percent = format.find('%', pos);
        if (percent == std::string_view::npos) {
            out.append(format.substr(pos));
            break;
        }
        out.append(format.substr(pos, percent - pos));
        if (percent + 1 < format.size() && format[percent + 1] == '%') {
            out += '%';
            pos = percent + 2;
            continue;
        }
        const std::size_t length = ConversionLength(format, percent);
        if (length == 0 || next == args.end()) {
            // Not a conversion that takes an argument, or none left: the text stands as written.
            const std::size_t shown = length == 0 ? 1 : length;
            out.append(format.substr(percent, shown));
            pos = percent + shown;
            continue;
        }
        out.append(*next++);
        pos = percent + length;
    }
    return out;
}

} // namespace qm::engine
