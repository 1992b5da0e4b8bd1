#include "common/IniAccess.h"

#include "common/IniCache.h"
#include "common/Scrambler.h"
#include "common/StringUtil.h"
#include "platform/FileSystem.h"
#include "platform/IniFile.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <mutex>
#include <optional>

namespace qm {

namespace {

// The mutex is initialised before any code runs (constinit) and the path on first use, so that a shared library
// may set the path from its load-time constructor, which can run before the dynamic initialisation of this file's
// objects.
constinit std::mutex g_mainIniMutex;

std::string& MainIniPathStore()
{
    static std::string s_path;
    return s_path;
}

std::optional<std::string> ReadValue(std::string_view section, std::string_view key, std::string_view file)
{
    return LoadIniCached(file)->Get(section, key);
}

// Applies one change to document as the INI layer does; false when it cannot be written.
bool Apply(platform::IniDocument& document, const platform::IniChange& change)
{
    if (change.Value) {
        return document.Set(change.Section, change.Key, *change.Value);
    }
    if (!platform::IsValidIniSection(change.Section)) {
        return false;
    }
    if (change.Key.empty()) {
        document.DeleteSection(change.Section);
    } else if (platform::IsValidIniKey(change.Key)) {
        document.DeleteKey(change.Section, change.Key);
    } else {
        return false;
    }
    return true;
}

// True when document reads as change would leave it: the key holds the value (and the value can be written), or
// the key or section to delete is missing.
bool Holds(const platform::IniDocument& document, const platform::IniChange& change)
{
    if (!platform::IsValidIniSection(change.Section) || (!change.Key.empty() && !platform::IsValidIniKey(change.Key))) {
        return false;
    }
    if (change.Value) {
        return !change.Key.empty() && platform::IsValidIniValue(*change.Value) &&
               document.Get(change.Section, change.Key) == change.Value;
    }
    return change.Key.empty() ? !document.HasSection(change.Section) : !document.Get(change.Section, change.Key);
}

bool WriteValue(std::string_view section, std::string_view key, std::string_view value, std::string_view file)
{
    const platform::IniChange change{std::string(section), std::string(key), std::string(value)};
    return WriteIniChangesFile(file, std::span(&change, 1));
}

// Copies text into buf (size bytes, NUL included), cut to fit. Returns buf.
char* CopyCut(std::string_view text, char* buf, std::size_t size)
{
    if (buf == nullptr || size == 0) {
        return buf;
    }
    std::size_t n = std::min(text.size(), size - 1);
    if (n > 0) {
        std::memcpy(buf, text.data(), n);
    }
    buf[n] = '\0';
    return buf;
}

std::string_view OrEmpty(const char* s)
{
    return s == nullptr ? std::string_view() : std::string_view(s);
}

} // namespace

bool IniTextToBool(std::string_view value)
{
    if (value.empty()) {
        return false;
    }
    char c = value.front();
    return c == '1' || c == 'T' || c == 'Y' || c == 't' || c == 'y';
}

int IniTextToInt(std::string_view text)
{
    return ParseDecimalInt(text);
}

namespace {

bool IsMarkerPassword(std::string_view value)
{
    return !value.empty() && (value.front() == '\\' || value.front() == '*');
}

} // namespace

void SetMainIniPath(std::string_view path)
{
    std::lock_guard<std::mutex> lock(g_mainIniMutex);
    MainIniPathStore() = path;
}

std::string MainIniPath()
{
    std::lock_guard<std::mutex> lock(g_mainIniMutex);
    return MainIniPathStore();
}

// ---- strings ----

char* ReadIniStringFile(const char* section, const char* key, const char* def, char* buf, std::size_t size,
                        const char* file)
{
    if (buf == nullptr || size == 0) {
        return buf;
    }
    std::optional<std::string> value;
    if (section != nullptr && key != nullptr && file != nullptr) {
        value = ReadValue(section, key, file);
    }
    // The default is copied out before buf is written, since callers may pass buf as the default.
    return CopyCut(value ? std::string_view(*value) : OrEmpty(def), buf, size);
}

char* ReadIniString(const char* section, const char* key, const char* def, char* buf, std::size_t size)
{
    std::string file = MainIniPath();
    return ReadIniStringFile(section, key, def, buf, size, file.c_str());
}

std::string ReadIniStringFile(std::string_view section, std::string_view key, std::string_view def,
                              std::string_view file)
{
    return ReadValue(section, key, file).value_or(std::string(def));
}

std::string ReadIniString(std::string_view section, std::string_view key, std::string_view def)
{
    return ReadIniStringFile(section, key, def, MainIniPath());
}

bool WriteIniChangesFile(std::string_view file, std::span<const platform::IniChange> changes)
{
    // Decided on the version of the file this thread sees now (inside a request: the one it checked at its first
    // use, or after the last write of this process): when the changes leave its text as it is, the write is as if
    // made at that check, and nothing is written. A later writer's change then stands, as it would after ours.
    const IniSnapshot current = LoadIniCached(file);
    if (std::ranges::all_of(changes, [&](const platform::IniChange& change) { return Holds(*current, change); })) {
        return true;
    }
    platform::IniDocument edited = *current;
    for (const platform::IniChange& change : changes) {
        if (!Apply(edited, change)) {
            return false;
        }
    }
    if (edited.Text() == current->Text()) {
        return true;
    }
    // The version the write leaves replaces the kept copy, so the next use reads nothing (the scopes still check
    // the file's stamp once, since other threads may hold older copies).
    platform::IniLockedText left;
    const bool written = platform::IniWriteMany(std::string(file), changes, &left).has_value();
    if (written) {
        NoteIniWritten(file, left);
    } else {
        NoteIniWritten(file);
    }
    return written;
}

bool WriteIniStringFile(const char* section, const char* key, const char* value, const char* file)
{
    if (section == nullptr || file == nullptr) {
        return false;
    }
    if (key != nullptr && value != nullptr) {
        return WriteValue(section, key, value, file);
    }
    if (!platform::IsValidIniSection(section) || (key != nullptr && !platform::IsValidIniKey(key))) {
        return true; // no such section or key can be in the file: nothing to delete
    }
    const platform::IniChange change{section, key == nullptr ? std::string() : std::string(key), std::nullopt};
    return WriteIniChangesFile(file, std::span(&change, 1));
}

bool WriteIniString(const char* section, const char* key, const char* value)
{
    std::string file = MainIniPath();
    return WriteIniStringFile(section, key, value, file.c_str());
}

bool WriteIniStringFile(std::string_view section, std::string_view key, std::string_view value, std::string_view file)
{
    return WriteValue(section, key, value, file);
}

bool WriteIniString(std::string_view section, std::string_view key, std::string_view value)
{
    return WriteValue(section, key, value, MainIniPath());
}

// ---- booleans and integers ----

bool ReadIniBoolFile(std::string_view section, std::string_view key, bool def, std::string_view file)
{
    std::optional<std::string> value = ReadValue(section, key, file);
    return value ? IniTextToBool(*value) : def;
}

bool ReadIniBool(std::string_view section, std::string_view key, bool def)
{
    return ReadIniBoolFile(section, key, def, MainIniPath());
}

bool WriteIniBoolFile(std::string_view section, std::string_view key, bool value, std::string_view file)
{
    return WriteValue(section, key, value ? "Yes" : "No", file);
}

bool WriteIniBool(std::string_view section, std::string_view key, bool value)
{
    return WriteIniBoolFile(section, key, value, MainIniPath());
}

int ReadIniIntFile(std::string_view section, std::string_view key, int def, std::string_view file)
{
    std::optional<std::string> value = ReadValue(section, key, file);
    return value && !value->empty() ? IniTextToInt(*value) : def;
}

int ReadIniInt(std::string_view section, std::string_view key, int def)
{
    return ReadIniIntFile(section, key, def, MainIniPath());
}

bool WriteIniIntFile(std::string_view section, std::string_view key, int value, std::string_view file)
{
    return WriteValue(section, key, std::to_string(value), file);
}

bool WriteIniInt(std::string_view section, std::string_view key, int value)
{
    return WriteIniIntFile(section, key, value, MainIniPath());
}

// ---- stored passwords ----

std::string ReadIniPassword(std::string_view section, std::string_view key, std::string_view file)
{
    std::string stored = ReadValue(section, key, file).value_or(std::string());
    if (!stored.empty() && stored.front() == '-') {
        std::string plain = stored.substr(1);
        // Replaced only while the key still holds the '-' form that was read, so that a password set by another
        // process in the meantime is not overwritten with this older one. A failed write leaves the '-' form for
        // the next reader.
        (void)platform::IniReplaceValue(std::string(file), section, key, stored, ScramblePassword(plain));
        NoteIniWritten(file);
        return plain;
    }
    if (IsMarkerPassword(stored)) {
        return stored;
    }
    return UnscramblePassword(stored);
}

char* ReadIniPassword(const char* section, const char* key, char* buf, std::size_t size, const char* file)
{
    if (section == nullptr || key == nullptr || file == nullptr) {
        return CopyCut({}, buf, size);
    }
    // The whole stored value is read and converted here, whatever size is; only the plain text is cut to fit.
    return CopyCut(ReadIniPassword(std::string_view(section), std::string_view(key), std::string_view(file)), buf,
                   size);
}

std::optional<std::string> StoredPasswordText(std::string_view value)
{
    if (value.size() > kMaxStoredPassword) {
        return std::nullopt;
    }
    return IsMarkerPassword(value) ? std::string(value) : ScramblePassword(value);
}

bool WriteIniPassword(std::string_view section, std::string_view key, std::string_view value, std::string_view file)
{
    const std::optional<std::string> stored = StoredPasswordText(value);
    return stored && WriteValue(section, key, *stored, file);
}

// ---- files ----

bool FileExists(std::string_view path)
{
    return platform::PathExists(std::string(path));
}

std::uint64_t GetFileSizeByName(std::string_view path)
{
    return platform::FileSize(std::string(path)).value_or(0);
}

std::uint64_t DirectoryTreeSize(std::string_view dir)
{
    return platform::DirectoryTreeSize(std::string(dir));
}

std::int32_t DirectoryTreeSizeInt32(std::string_view dir)
{
    return static_cast<std::int32_t>(std::min<std::uint64_t>(DirectoryTreeSize(dir), INT32_MAX));
}

bool EmptyDirectory(std::string_view dir)
{
    return platform::EmptyDirectory(dir);
}

bool DeleteDirectoryTree(std::string_view dir)
{
    return platform::DeleteDirectoryTree(dir);
}

} // namespace qm
