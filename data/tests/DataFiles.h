// Reading the installation data of the source tree for the data tests: files, lines, the page templates and the
// sections of Languages.ini as the engine reads them.
#pragma once

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace qm::test {

/// The data folder of the source tree.
inline std::filesystem::path DataDir()
{
    return std::filesystem::path(QM_SOURCE_DIR) / "data";
}

/// The theme shipped with the system.
inline std::filesystem::path ThemeDir()
{
    return DataDir() / "Templates" / "Globe";
}

inline std::string ReadWholeFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

/// The lines of text, each without its LF and without one CR before it.
inline std::vector<std::string> SplitLines(std::string_view text)
{
    std::vector<std::string> lines;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        lines.emplace_back(line);
        if (end == std::string_view::npos) {
            break;
        }
        text.remove_prefix(end + 1);
    }
    return lines;
}

struct PageTemplate {
    std::string Name; // the page name: the file name without ".html"
    std::filesystem::path Path;
};

/// Every "*.html" file of the theme, sorted by name.
inline std::vector<PageTemplate> ThemePages()
{
    std::vector<PageTemplate> pages;
    for (const auto& entry : std::filesystem::directory_iterator(ThemeDir())) {
        if (entry.is_regular_file() && entry.path().extension() == ".html") {
            pages.push_back({entry.path().stem().string(), entry.path()});
        }
    }
    std::sort(pages.begin(), pages.end(), [](const PageTemplate& a, const PageTemplate& b) { return a.Name < b.Name; });
    return pages;
}

struct LanguageLine {
    std::string Key;  // the text before '='
    std::string Text; // everything after the first '=', exactly
    int LineNumber = 0;
};

struct LanguageSection {
    std::string Code;
    std::vector<LanguageLine> Lines;
};

/// Languages.ini as the engine reads it: "[code]" starts a section, "key=text" lines belong to it, empty lines and
/// lines starting ';' are skipped. Sections in file order; a code that appears twice gets two entries.
inline std::vector<LanguageSection> ParseLanguages(std::string_view text)
{
    std::vector<LanguageSection> sections;
    int number = 0;
    for (const std::string& line : SplitLines(text)) {
        ++number;
        if (line.empty() || line.front() == ';') {
            continue;
        }
        if (line.front() == '[') {
            sections.push_back({line.substr(1, line.find(']') - 1), {}});
            continue;
        }
        const std::size_t equals = line.find('=');
        if (equals != std::string::npos && !sections.empty()) {
            sections.back().Lines.push_back({line.substr(0, equals), line.substr(equals + 1), number});
        }
    }
    return sections;
}

/// The section of code, or null.
inline const LanguageSection* FindSection(const std::vector<LanguageSection>& sections, std::string_view code)
{
    for (const LanguageSection& section : sections) {
        if (section.Code == code) {
            return &section;
        }
    }
    return nullptr;
}

/// The line of key in section, or null.
inline const LanguageLine* FindKey(const LanguageSection& section, std::string_view key)
{
    for (const LanguageLine& line : section.Lines) {
        if (line.Key == key) {
            return &line;
        }
    }
    return nullptr;
}

/// The number of a Languages.ini key of three digits, or -1 for any other key.
inline int KeyNumber(std::string_view key)
{
    if (key.size() != 3 || !std::all_of(key.begin(), key.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return -1;
    }
    return (key[0] - '0') * 100 + (key[1] - '0') * 10 + (key[2] - '0');
}

/// True when text is well-formed UTF-8 (no stray continuation bytes, no overlong two-byte forms, no cut sequence).
inline bool IsValidUtf8(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t extra = 0;
        if (lead < 0x80) {
            extra = 0;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            extra = 1;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            extra = 2;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            extra = 3;
        } else {
            return false;
        }
        for (std::size_t k = 1; k <= extra; ++k) {
            if (i + k >= text.size() || (static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) {
                return false;
            }
        }
        i += extra + 1;
    }
    return true;
}

/// The messages the engine shows, by number, with the printf conversions it fills in, in order.
struct EngineMessage {
    int Number;
    const char* Conversions;
};

inline constexpr EngineMessage kEngineMessages[] = {
        {1, ""},    {2, ""},    {3, ""},     {4, ""},     {5, ""},    {6, ""},    {7, ""},     {8, ""},    {9, ""},
        {10, ""},   {11, ""},   {12, ""},    {13, ""},    {14, ""},   {15, ""},   {16, ""},    {17, ""},   {18, ""},
        {19, ""},   {21, "s"},  {22, "dds"}, {23, "dds"}, {24, "dd"}, {25, "dd"}, {28, "dds"}, {29, ""},   {30, ""},
        {31, ""},   {32, ""},   {33, ""},    {34, ""},    {35, ""},   {36, ""},   {37, ""},    {39, ""},   {41, ""},
        {42, ""},   {43, ""},   {44, ""},    {46, ""},    {47, ""},   {48, ""},   {49, ""},    {51, ""},   {52, ""},
        {53, "s"},  {54, "s"},  {55, "s"},   {56, ""},    {64, ""},   {66, ""},   {67, ""},    {68, ""},   {69, ""},
        {70, ""},   {71, ""},   {72, ""},    {73, ""},    {74, ""},   {75, ""},   {76, ""},    {77, "s"},  {78, "s"},
        {79, "ss"}, {80, "ss"}, {81, "s"},   {82, ""},    {83, "s"},  {85, "s"},  {86, ""},    {87, "s"},  {88, "s"},
        {89, "s"},  {90, ""},   {91, ""},    {92, ""},    {93, "s"},  {94, ""},   {95, "s"},   {96, ""},   {97, ""},
        {98, "s"},  {99, ""},   {420, "s"},  {440, "s"},  {460, ""},  {461, ""},  {462, ""},   {480, "s"}, {481, "s"},
        {520, "d"}, {521, "d"}, {522, "sd"},
        {540, ""},  {541, ""},  {542, ""},
};

/// True when number is one of kEngineMessages (also those numbered after the template texts).
inline bool IsEngineMessage(int number)
{
    return std::any_of(std::begin(kEngineMessages), std::end(kEngineMessages),
                       [number](const EngineMessage& message) { return message.Number == number; });
}

} // namespace qm::test
