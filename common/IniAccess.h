// INI access for every program (strings, "Yes"/"No" booleans, integers and stored passwords, on the main INI or
// on a named file) and the few file helpers that account handling needs.
#pragma once

#include "platform/IniFile.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace qm {

// Reading follows the profile functions: a missing file, section or key gives the default; section and key names
// compare without regard to ASCII case; blanks around a value and one pair of double quotes around it are dropped.
// No read writes a default back. Writes go through the INI layer, which rewrites the file as one atomic step under
// a lock and refuses, with false, any section, key or value that holds CR, LF or NUL (so no value can add lines).
// A write that would leave the file as this thread sees it (common/IniCache) does not touch it.
// Every function here is safe to call from several threads and processes at once.

/// Sets the process-wide path of the main INI file that every main-INI function below uses.
void SetMainIniPath(std::string_view path);

/// The main INI path; "" until it is set (reads then give defaults and writes fail).
std::string MainIniPath();

// ---- strings ----

/// Reads key of section from the main INI into buf, which holds size bytes (NUL included): the value, or def when
/// the key is missing (a null def is ""), cut to size - 1 bytes. def may be buf itself. Returns buf; with a null
/// buf or a size of 0 nothing is written.
char* ReadIniString(const char* section, const char* key, const char* def, char* buf, std::size_t size);

/// As above from the given file.
char* ReadIniStringFile(const char* section, const char* key, const char* def, char* buf, std::size_t size,
                        const char* file);

/// The value of key in section of the main INI, or def when the key is missing.
std::string ReadIniString(std::string_view section, std::string_view key, std::string_view def);

/// As above from the given file.
std::string ReadIniStringFile(std::string_view section, std::string_view key, std::string_view def,
                              std::string_view file);

/// Writes key of section in the main INI, creating the file when it is missing. As with the profile functions a
/// null value deletes the key and a null key deletes the whole section. False when the write is refused (a line
/// break in a name or the value) or fails.
bool WriteIniString(const char* section, const char* key, const char* value);

/// As above on the given file.
bool WriteIniStringFile(const char* section, const char* key, const char* value, const char* file);

/// Writes key of section in the main INI (no deletion forms).
bool WriteIniString(std::string_view section, std::string_view key, std::string_view value);

/// As above on the given file.
bool WriteIniStringFile(std::string_view section, std::string_view key, std::string_view value, std::string_view file);

/// Applies several changes to file in one rewrite, in order, as platform::IniWriteMany does (a Value sets the key,
/// none deletes it, an empty Key with none deletes the section), or none at all when the file would stay as it is.
/// False, writing nothing, when a change cannot be written, or when the write fails.
bool WriteIniChangesFile(std::string_view file, std::span<const platform::IniChange> changes);

// ---- booleans: stored as "Yes" or "No"; true when the value's first byte is '1', 'T', 'Y', 't' or 'y' ----

/// A boolean of the main INI; def when the key is missing. A key that is present but empty is false.
bool ReadIniBool(std::string_view section, std::string_view key, bool def);
bool ReadIniBoolFile(std::string_view section, std::string_view key, bool def, std::string_view file);

/// Writes "Yes" or "No".
bool WriteIniBool(std::string_view section, std::string_view key, bool value);
bool WriteIniBoolFile(std::string_view section, std::string_view key, bool value, std::string_view file);

// ---- integers: stored in decimal ----

/// An integer of the main INI: def when the key is missing or empty; otherwise the value's leading decimal number
/// (an optional sign and the digits up to the first other byte: "12abc" is 12, "abc" is 0), held to the range of
/// int.
int ReadIniInt(std::string_view section, std::string_view key, int def);
int ReadIniIntFile(std::string_view section, std::string_view key, int def, std::string_view file);

/// Writes value in decimal.
bool WriteIniInt(std::string_view section, std::string_view key, int value);
bool WriteIniIntFile(std::string_view section, std::string_view key, int value, std::string_view file);

// ---- stored passwords ----
//
// A stored value that begins with '-' is a plain password waiting to be scrambled; one that begins with '\' names
// an NT domain and one that begins with '*' selects LDAP logon (both kept as they are); anything else is the
// output of ScramblePassword.

/// The longest password that WriteIniPassword stores (95 characters scramble to 127).
inline constexpr std::size_t kMaxStoredPassword = 95;

/// Reads a stored password from file and gives the plain text (or the '\' or '*' form as it is). A '-' value is
/// scrambled and written back in place of the '-' form, once: the next reader finds the scrambled form, and a
/// value that another writer changed in the meantime is left as that writer left it. Missing gives "".
std::string ReadIniPassword(std::string_view section, std::string_view key, std::string_view file);

/// As above into buf of size bytes (NUL included), the plain text cut to size - 1 bytes. Returns buf; with a null
/// buf or a size of 0 nothing is written (a '-' value is still converted).
char* ReadIniPassword(const char* section, const char* key, char* buf, std::size_t size, const char* file);

/// The stored form of a password: scrambled, unless it begins with '\' or '*'; nullopt when it is longer than
/// kMaxStoredPassword.
std::optional<std::string> StoredPasswordText(std::string_view value);

/// Stores a password in file: scrambled, unless it begins with '\' or '*'. A password of more than
/// kMaxStoredPassword characters is refused (false, nothing written): cutting it would silently store a different
/// password.
bool WriteIniPassword(std::string_view section, std::string_view key, std::string_view value, std::string_view file);

// ---- files ----

/// True when path names a file or a directory (links followed).
bool FileExists(std::string_view path);

/// The size in bytes of the regular file path; 0 when it is missing, cannot be opened or is no regular file.
std::uint64_t GetFileSizeByName(std::string_view path);

/// Disk use of the directory tree dir: the sum of the sizes of its files. Directories whose names begin with '.'
/// are not entered (files whose names do count); symbolic links are never followed; a directory that cannot be
/// read, a missing dir included, counts 0.
std::uint64_t DirectoryTreeSize(std::string_view dir);

/// DirectoryTreeSize held to INT32_MAX, for the interfaces that carry a signed 32-bit size.
std::int32_t DirectoryTreeSizeInt32(std::string_view dir);

/// Deletes the contents of dir: files and symbolic links (never their targets), and directories whose names do not
/// begin with '.', with everything in them; '.' directories stay (".cache" survives). dir is trimmed of blanks
/// first; an empty name and the root directory, however it is spelled, delete nothing. Single failures are
/// skipped. True when dir could be opened and everything that should go is gone.
bool EmptyDirectory(std::string_view dir);

/// EmptyDirectory(dir), then removes dir itself (a symbolic link at dir is removed as a link). True when dir is
/// gone afterwards; false, for instance, when a '.' directory inside kept it.
bool DeleteDirectoryTree(std::string_view dir);

/// An INI boolean: true when the first character is '1', 'T', 'Y', 't' or 'y'; false otherwise (also when empty).
bool IniTextToBool(std::string_view value);

/// The leading decimal number of an INI value (optional blanks, an optional sign, digits up to the first other
/// byte), clamped to the int range; 0 when there is none.
int IniTextToInt(std::string_view text);

} // namespace qm
