#include "engine/LanguagesCheck.h"

#include "common/IniAccess.h"
#include "engine/Engine.h"
#include "engine/LanguagesFile.h"
#include "platform/FileSystem.h"
#include "platform/Path.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <memory>
#include <vector>

namespace qm::engine {
namespace {

// One section of the file as the check sees it.
struct LanguageTable {
    std::string Code;
    NumberedTexts Texts;
    int Highest = INT_MIN;
};

class LanguageTables {
public:
    // Adds a line to the table of code, creating the table at its first line. Sets the rewrite flag when the
    // number is new but not above every number the table holds.
    void Add(std::string_view code, int number, std::string_view text)
    {
        LanguageTable& table = Get(code);
        if (table.Texts.Size() >= static_cast<std::size_t>(kMaxLanguageEntries)) {
            return;
        }
        const bool first = table.Texts.Size() == 0;
        if (!table.Texts.Add(number, text)) {
            return; // the first line of a number wins
        }
        if (!first && number <= table.Highest) {
            m_rewrite = true;
        }
        table.Highest = std::max(table.Highest, number);
    }

    LanguageTable& Get(std::string_view code)
    {
        for (const std::unique_ptr<LanguageTable>& table : m_tables) {
            if (SameLanguage(table->Code, code)) {
                return *table;
            }
        }
        m_tables.push_back(std::make_unique<LanguageTable>());
        m_tables.back()->Code = std::string(code);
        return *m_tables.back();
    }

    const std::vector<std::unique_ptr<LanguageTable>>& Tables() const { return m_tables; }

    bool Rewrite() const { return m_rewrite; }

    void SetRewrite() { m_rewrite = true; }

private:
    std::vector<std::unique_ptr<LanguageTable>> m_tables;
    bool m_rewrite = false;
};

void ReadTables(const std::string& path, LanguageTables& tables)
{
    auto text = platform::ReadWholeFile(path);
    if (!text) {
        return; // a file that disappeared is taken as empty
    }
    std::string code;
    bool inSection = false;
    ForEachLine(*text, [&](std::string_view raw) {
        const LanguageLine line = ClassifyLanguageLine(raw);
        if (line.Kind == LanguageLineKind::Section) {
            code = std::string(line.Code);
            inSection = true;
        } else if (line.Kind == LanguageLineKind::Entry && inSection) {
            tables.Add(code, line.Number, line.Text);
        }
    });
}

// Gives every "[$" text "$]" of the templates that the English table lacks a number above the engine's messages.
int AddTemplateTexts(const std::string& templateDir, LanguageTables& tables, LanguageTable& english)
{
    EnglishIndex index(english.Texts);
    int added = 0;
    for (const TemplateFile& file : ListTemplateFiles(templateDir)) {
        auto text = platform::ReadWholeFile(file.Path);
        if (!text) {
            continue;
        }
        ForEachLine(*text, [&](std::string_view line) {
            std::size_t pos = 0;
            for (;;) {
                const std::size_t open = line.find("[$", pos);
                const std::size_t close = open == std::string_view::npos ? open : line.find("$]", open + 2);
                if (close == std::string_view::npos) {
                    return; // a marker that goes on in the next line is not seen
                }
                const std::string_view marked = line.substr(open + 2, close - open - 2);
                pos = close + 2;
                if (index.Find(marked) != nullptr || english.Texts.Size() >= kMaxLanguageEntries ||
                    english.Highest == INT_MAX) {
                    continue;
                }
                const int number = std::max(english.Highest, kFirstTemplateTextNumber - 1) + 1;
                tables.Add(english.Code, number, marked);
                index.Add(marked, number);
                tables.SetRewrite();
                ++added;
            }
        });
    }
    return added;
}

void AppendLine(std::string& out, int number, const std::string& text)
{
    char digits[16];
    const int length = std::snprintf(digits, sizeof digits, "%03d=", number);
    out.append(digits, static_cast<std::size_t>(std::max(length, 0)));
    out += text;
    out += "\r\n";
}

// The new file's text; logs every missing translation.
std::string BuildNewFile(const LanguageTables& tables, const LanguageTable& english, bool englishTranslation,
                         Logger& log, int& missing)
{
    std::vector<NumberedTexts::Entry> numbers;
    for (const NumberedTexts::Entry& entry : english.Texts.Entries()) {
        if (entry.Number >= 1) {
            numbers.push_back(entry);
        }
    }
    std::sort(numbers.begin(), numbers.end(), [](const auto& a, const auto& b) { return a.Number < b.Number; });

    std::string out;
    for (const std::unique_ptr<LanguageTable>& table : tables.Tables()) {
        out += '[';
        out += table->Code;
        out += "]\r\n";
        for (const NumberedTexts::Entry& entry : numbers) {
            if (const std::string* text = table->Texts.Find(entry.Number)) {
                AppendLine(out, entry.Number, *text);
                continue;
            }
            if (englishTranslation) {
                AppendLine(out, entry.Number, entry.Text);
            }
            log.Log(2, "\"%03d=%s\" needs translation to %s", entry.Number, entry.Text.c_str(), table->Code.c_str());
            ++missing;
        }
        out += "\r\n";
    }
    return out;
}

// Writes Languages.new, keeps the old file as Languages.bak and renames the new one over Languages.ini. False, with
// Languages.ini untouched, when a step fails.
bool ReplaceLanguagesIni(const std::string& templateDir, const std::string& iniPath, const std::string& text,
                         Logger& log)
{
    const std::string newPath = platform::PathJoin(templateDir, "Languages.new");
    const std::string bakPath = platform::PathJoin(templateDir, "Languages.bak");
    if (auto written = platform::WriteFileSynced(newPath, text); !written) {
        log.Log(4, "Could not update Languages.ini: %s.", written.error().Message.c_str());
        return false;
    }
    log.Log(2, "Updating Languages.ini...");
    if (platform::PathExists(iniPath)) {
        (void)platform::RemoveFile(bakPath);
        if (auto linked = platform::LinkFile(iniPath, bakPath); !linked) {
            if (auto copied = platform::CopyFile(iniPath, bakPath, platform::CopyMode::Overwrite); !copied) {
                log.Log(4, "Could not update Languages.ini: %s.", copied.error().Message.c_str());
                (void)platform::RemoveFile(newPath);
                return false;
            }
        }
    }
    if (auto replaced = platform::ReplaceFile(newPath, iniPath); !replaced) {
        log.Log(4, "Could not update Languages.ini: %s.", replaced.error().Message.c_str());
        (void)platform::RemoveFile(newPath);
        return false;
    }
    log.Log(2, "Languages.ini finished updating.");
    return true;
}

} // namespace

LanguagesCheckResult CheckLanguagesIni(const std::string& templateDir, bool englishTranslation, Logger& log)
{
    LanguagesCheckResult result;
    log.Log(2, "Verifying Languages.ini...");
    const std::string iniPath = LanguagesIniPath(templateDir);

    LanguageTables tables;
    ReadTables(iniPath, tables);
    LanguageTable& english = tables.Get("en");
    result.AddedTexts = AddTemplateTexts(templateDir, tables, english);
    if (englishTranslation) {
        tables.SetRewrite();
    }

    const std::string text = BuildNewFile(tables, english, englishTranslation, log, result.Missing);
    if (tables.Rewrite()) {
        result.Rewritten = ReplaceLanguagesIni(templateDir, iniPath, text, log);
    }
    return result;
}

LanguagesCheckResult CheckLanguagesIni(Logger& log)
{
    const std::string templateDir =
            ReadIniString("Directories", "TemplateDir", platform::PathJoin(InstallDir(), "Templates"));
    // A sentinel tells a missing key from one that is present, so that only a missing key is written back.
    constexpr const char* kMissing = "\x01";
    const bool present = ReadIniString("Special", "EnglishTranslation", kMissing) != kMissing;
    const bool englishTranslation = ReadIniBool("Special", "EnglishTranslation", false);
    if (!present) {
        (void)WriteIniBool("Special", "EnglishTranslation", false);
    }
    return CheckLanguagesIni(templateDir, englishTranslation, log);
}

} // namespace qm::engine
