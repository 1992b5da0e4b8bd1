// libFuzzer target for the INI parser and editor. The input is INI text, then optionally a NUL byte and edits, one
// a line: the first byte picks the edit (set, delete key, delete section), TABs part section, key and value. Checks
// what must hold for every text: the look-ups agree with each other, the written text reads back as the same
// document, an edit changes what it names and nothing else, and an edit that cannot be written changes nothing.
#include "platform/IniFile.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

using qm::platform::IniDocument;

// Every section's entries: by upper-case section name (names compare without case), then by upper-case key, the
// key as spelled and its value. (Where an edit puts a new key is not checked here, only what the document holds.)
using Contents = std::map<std::string, std::map<std::string, std::pair<std::string, std::string>>>;

[[noreturn]] void Broken(const char* what, std::string_view detail = {})
{
    static_cast<void>(std::fprintf(stderr, "INI invariant broken: %s [%.*s]\n", what, static_cast<int>(detail.size()),
                                   detail.data()));
    std::abort();
}

std::string Upper(std::string_view s)
{
    std::string out(s);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return out;
}

std::string_view Trim(std::string_view s)
{
    const std::size_t begin = s.find_first_not_of(" \t");
    if (begin == std::string_view::npos) {
        return {};
    }
    return s.substr(begin, s.find_last_not_of(" \t") - begin + 1);
}

// The value as a reader sees it after it was written as given.
std::string AsRead(std::string_view value)
{
    value = Trim(value);
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        value = value.substr(1, value.size() - 2);
    }
    return std::string(value);
}

// Reads the whole document through its look-ups and checks that they agree.
Contents Read(const IniDocument& doc)
{
    Contents contents;
    for (const std::string& section : doc.SectionNames()) {
        if (!doc.HasSection(section)) {
            Broken("a listed section is missing", section);
        }
        auto entries = doc.Entries(section);
        const std::vector<std::string> keys = doc.KeyNames(section);
        if (keys.size() != entries.size()) {
            Broken("key names and entries differ", section);
        }
        std::map<std::string, std::pair<std::string, std::string>> byKey;
        for (std::size_t i = 0; i < entries.size(); ++i) {
            if (keys[i] != entries[i].first) {
                Broken("key names and entries differ", keys[i]);
            }
            const std::optional<std::string> value = doc.Get(section, entries[i].first);
            if (!value || *value != entries[i].second) {
                Broken("Get differs from Entries", entries[i].first);
            }
            if (!byKey.emplace(Upper(entries[i].first), entries[i]).second) {
                Broken("a key is listed twice", entries[i].first);
            }
        }
        if (!contents.emplace(Upper(section), std::move(byKey)).second) {
            Broken("a section is listed twice", section);
        }
    }
    return contents;
}

// The written text must read back as the same document and write the same text again.
void CheckRoundTrip(const IniDocument& doc, const Contents& contents)
{
    const std::string text = doc.Text();
    const IniDocument again = IniDocument::Parse(text);
    if (again.Text() != text) {
        Broken("the written text does not write back the same");
    }
    if (Read(again) != contents) {
        Broken("the written text reads as another document");
    }
}

// Applies one edit to doc, whose contents are `expected`, and checks that it changed just what it names; expected
// then holds the new contents.
void ApplyEdit(IniDocument& doc, std::string_view edit, Contents& expected)
{
    if (edit.empty()) {
        return;
    }
    const auto kind = static_cast<unsigned char>(edit.front()) % 3;
    edit.remove_prefix(1);
    std::string_view fields[3];
    for (std::string_view& field : fields) {
        const std::size_t tab = edit.find('\t');
        field = edit.substr(0, tab);
        edit = tab == std::string_view::npos ? std::string_view() : edit.substr(tab + 1);
    }
    const auto [section, key, value] = fields;

    Contents& before = expected;
    const std::string sectionId = Upper(Trim(section));
    const std::string keyId = Upper(Trim(key));
    if (kind == 0) {
        const bool writable = qm::platform::IsValidIniSection(section) && qm::platform::IsValidIniKey(key) &&
                              qm::platform::IsValidIniValue(value);
        const std::string textBefore = doc.Text();
        if (doc.Set(section, key, value) != writable) {
            Broken("Set disagrees with the checks", edit);
        }
        if (!writable) {
            if (doc.Text() != textBefore) {
                Broken("a refused Set changed the text");
            }
            return;
        }
        if (doc.Get(section, key) != AsRead(value)) {
            Broken("Set did not store the value", value);
        }
        // Only the one entry differs: it changed its value (keeping its spelling), or joined its section (which may
        // be new).
        auto& entries = before[sectionId];
        if (auto it = entries.find(keyId); it != entries.end()) {
            it->second.second = AsRead(value);
        } else {
            entries.emplace(keyId, std::pair(std::string(Trim(key)), AsRead(value)));
        }
        if (Read(doc) != before) {
            Broken("Set changed more than its entry", key);
        }
    } else if (kind == 1) {
        doc.DeleteKey(section, key);
        if (doc.Get(section, key)) {
            Broken("a deleted key is still there", key);
        }
        if (auto it = before.find(sectionId); it != before.end()) {
            it->second.erase(keyId);
        }
        if (Read(doc) != before) {
            Broken("DeleteKey changed more than its key", key);
        }
    } else {
        doc.DeleteSection(section);
        if (doc.HasSection(section)) {
            Broken("a deleted section is still there", section);
        }
        before.erase(sectionId);
        if (Read(doc) != before) {
            Broken("DeleteSection changed more than its section", section);
        }
    }
}

} // namespace

// The entry that libFuzzer, or the replay main of the test builds, calls for every input.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t nul = input.find('\0');
    const std::string_view text = input.substr(0, nul);
    std::string_view edits = nul == std::string_view::npos ? std::string_view() : input.substr(nul + 1);

    IniDocument doc = IniDocument::Parse(text);
    Contents contents = Read(doc);
    CheckRoundTrip(doc, contents);
    if (doc.Changed()) {
        Broken("a parsed document counts as changed");
    }

    for (int count = 0; !edits.empty() && count < 16; ++count) {
        const std::size_t lf = edits.find('\n');
        ApplyEdit(doc, edits.substr(0, lf), contents);
        edits = lf == std::string_view::npos ? std::string_view() : edits.substr(lf + 1);
    }
    CheckRoundTrip(doc, contents);
    return 0;
}
