// INI files with the semantics that the whole system expects of its settings files: case-insensitive
// sections and keys, a missing key distinct from an empty value, file order kept, comments kept byte for byte,
// and every change made as one atomic step across threads and processes.
#pragma once

#include "base/Result.h"
#include "platform/FileSystem.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qm::platform {

// The format, as read:
//  - Lines end in LF or CR LF (one CR before the LF is dropped). A UTF-8 byte order mark at the start is
//    skipped and kept.
//  - "[name]" (blanks allowed around it and around name) starts a section; text after the ']' is ignored.
//    A '[' line without ']' is no header.
//  - "key=value" inside a section is an entry: key is the text before the first '=' with the blanks around it
//    dropped; value is the rest with blanks (space, tab) around it dropped, then one pair of surrounding double
//    quotes removed (`k = "  a  "` reads as "  a  ").
//  - Lines whose first non-blank byte is ';' are comments; blank lines, comments and any other line are kept
//    exactly as they are, but are not entries.
//  - Section and key names compare ASCII case-insensitively. A section that appears twice reads as one: its
//    entries are searched in file order and the first match wins.
// As written:
//  - Every line ends in CR LF. An entry that is changed becomes "key=value" with the key spelled as in the file;
//    values are written as given (a caller that needs blanks kept around a value writes it in double quotes).
//  - A new key goes after the last entry of the first block of its section (after the header when there is no
//    entry); a new section goes at the end of the file, after one blank line.
//  - Nothing is written whose bytes could split a line: see the checks below.

/// A section name can be written when, after dropping blanks around it, it is not empty and holds no CR, LF,
/// NUL or ']'.
bool IsValidIniSection(std::string_view section);

/// A key can be written when, after dropping blanks around it, it is not empty, holds no CR, LF, NUL or '=',
/// and does not begin with '[' or ';' (which would make it a header or a comment).
bool IsValidIniKey(std::string_view key);

/// A value can be written when it holds no CR, LF or NUL.
bool IsValidIniValue(std::string_view value);

/// The parsed text of one INI file, for reading several values at once and for editing.
class IniDocument {
public:
    IniDocument() = default;

    /// Parses text; never fails (lines that are neither headers nor entries are kept as they are).
    static IniDocument Parse(std::string_view text);

    /// The value of key in section, or nullopt when either is missing.
    std::optional<std::string> Get(std::string_view section, std::string_view key) const;

    /// Section names in file order, each once, spelled as first seen.
    std::vector<std::string> SectionNames() const;

    /// Key names of section in file order, each once.
    std::vector<std::string> KeyNames(std::string_view section) const;

    /// The entries of section in file order, each key once with its first value.
    std::vector<std::pair<std::string, std::string>> Entries(std::string_view section) const;

    bool HasSection(std::string_view section) const;

    /// Sets key in section to value, adding the key or the section where needed. Returns false, changing
    /// nothing, when section, key or value cannot be written (see the checks above).
    bool Set(std::string_view section, std::string_view key, std::string_view value);

    /// Removes every entry of key in section.
    void DeleteKey(std::string_view section, std::string_view key);

    /// Removes every block of section: its header and every line up to the next header.
    void DeleteSection(std::string_view section);

    /// True when Set or a deletion has changed the text since Parse.
    bool Changed() const { return m_changed; }

    /// The text to store: every line ending in CR LF.
    std::string Text() const;

private:
    enum class Kind : std::uint8_t {
        Other,
        Section,
        Entry,
    };

    struct Line {
        std::string Text;
        Kind LineKind = Kind::Other;
        std::uint32_t NameBegin = 0;
        std::uint32_t NameLength = 0;
        std::uint32_t ValueBegin = 0;
        std::uint32_t ValueLength = 0;

        std::string_view Name() const { return std::string_view(Text).substr(NameBegin, NameLength); }

        std::string_view Value() const { return std::string_view(Text).substr(ValueBegin, ValueLength); }
    };

    static Line MakeLine(std::string text);

    std::string m_bom;
    std::vector<Line> m_lines;
    bool m_changed = false;
};

/// Largest INI file read or rewritten (16 MiB): a larger file reads as empty and is never rewritten.
inline constexpr std::uint64_t kMaxIniFileSize = 16u << 20;

/// The value of key in section of file, or nullopt when the file, the section or the key is missing.
/// Reads the file once; never locks (files are only ever replaced whole, so a reader sees a whole file).
std::optional<std::string> IniRead(const std::string& file, std::string_view section, std::string_view key);

/// The whole file parsed, for several reads from one version of it; empty when the file is missing.
IniDocument IniLoad(const std::string& file);

/// Section names of file in file order.
std::vector<std::string> IniSectionNames(const std::string& file);

/// Key names of section in file, in file order.
std::vector<std::string> IniKeyNames(const std::string& file, std::string_view section);

/// Writes one key. The file is created when missing (its directory is not). Fails with code EINVAL, writing
/// nothing, when section, key or value cannot be written, and with the system's error when the file cannot.
Result<void> IniWrite(const std::string& file, std::string_view section, std::string_view key, std::string_view value);

/// One change of a batch: Value set writes the key, Value empty (nullopt) deletes it; an empty Key with no Value
/// deletes the whole section.
struct IniChange {
    std::string Section;
    std::string Key;
    std::optional<std::string> Value;
};

/// What a write does with a symbolic link at the file's path.
enum class IniLinks {
    Follow, // writes the file the link names; the link stays a link
    Refuse, // fails with ELOOP, writing nothing
};

/// Applies several changes in one locked rewrite, in order. Nothing is written when any change is invalid.
Result<void> IniWriteMany(const std::string& file, std::span<const IniChange> changes,
                          IniLinks links = IniLinks::Follow);

/// Writes value only when key in section still holds expected (as IniRead returns it), all in one locked step;
/// a key that is missing or holds anything else is left as it is, and that is no failure. For converting a value
/// in place without undoing a change that another process made after it was read.
Result<void> IniReplaceValue(const std::string& file, std::string_view section, std::string_view key,
                             std::string_view expected, std::string_view value);

/// Deletes key from section. A missing file stays missing.
Result<void> IniDeleteKey(const std::string& file, std::string_view section, std::string_view key);

/// Deletes the whole section. A missing file stays missing.
Result<void> IniDeleteSection(const std::string& file, std::string_view section);

/// Replaces the whole section with the keys and values given, in order, in one locked rewrite (the section is
/// written afresh at the end of the file), so that no reader ever sees it empty or half written. Nothing is
/// written when any key or value is invalid.
Result<void> IniReplaceSection(const std::string& file, std::string_view section,
                               std::span<const std::pair<std::string, std::string>> values);

/// One version of a settings file (see FileVersion).
using IniFileStamp = FileVersion;

/// The stamp of file now (one stat, links followed); nullopt when it is missing or no regular file.
std::optional<IniFileStamp> IniStampOf(const std::string& file);

/// One version of a file, read whole.
struct IniLockedText {
    std::string Text;
    /// Set when the read held a shared lock on the file, which every change above excludes while it runs: the
    /// stamp of the file read, taken under the lock after the read.
    std::optional<IniFileStamp> LockedStamp;
};

/// Whether IniReadWhole tries a shared lock on the file (never waiting for it).
enum class IniReadLock {
    None,
    SharedIfFree,
};

/// Reads file whole (at most maxBytes, as one descriptor and without following a FIFO or a directory); nullopt when
/// it is missing, unreadable or larger than maxBytes.
std::optional<IniLockedText> IniReadWhole(const std::string& file, std::uint64_t maxBytes, IniReadLock lock);

/// As IniWriteMany; on success, when the version that the file holds afterwards is known (the file exists), written
/// gets its text and, in LockedStamp, its stamp, both taken under the write lock: after a rewrite, from the new file
/// once it is in place. A writer that keeps a parsed copy can keep this one without reading the file again.
Result<void> IniWriteMany(const std::string& file, std::span<const IniChange> changes, IniLockedText* written);

// Every change above is one read-modify-write under a per-file lock that holds across threads (a mutex) and
// processes (an exclusive flock on the file itself), and the file is replaced whole through a synced
// temporary file and a rename, so neither a concurrent writer nor a crash can lose a change or leave half a
// file. A change that leaves the text as it was does not rewrite the file. When file is a symbolic link,
// the file it points to is the one replaced.

} // namespace qm::platform
