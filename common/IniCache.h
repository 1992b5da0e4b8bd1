// Parsed copies of the settings files, shared by every thread of a process. Each use checks the file (one stat),
// or, inside an IniReadScope (one request), only the first use of each file; the file is read and parsed again only
// when its stamp (device, inode, size, modification and status-change times) changed, so an edit by any writer
// takes effect at the next use (the next request).
#pragma once

#include "platform/IniFile.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

/// One version of a settings file, parsed. Never changes once made; callers keep it as long as they like.
using IniSnapshot = std::shared_ptr<const platform::IniDocument>;

/// The text of a file as read, shared read-only (for files with a format of their own, such as Languages.ini).
using TextSnapshot = std::shared_ptr<const std::string>;

/// Most files kept at once, parsed and as text; the least recently used is dropped first.
inline constexpr std::size_t kIniCacheMaxFiles = 256;
inline constexpr std::size_t kTextCacheMaxFiles = 16;

/// Largest file kept: a larger one is read afresh at each use (up to platform::kMaxIniFileSize, past which it
/// reads as empty, as everywhere else).
inline constexpr std::uint64_t kIniCacheMaxFileSize = 1u << 20;

/// How long after its last change a file counts as possibly changed again without a new stamp: file-system clocks
/// tick coarsely (a few milliseconds locally, up to 2 s on some file systems), so a second edit within the same
/// tick keeps every time stamp. A file changed this recently is read again at each use, unless the version kept is
/// the one that a write of this process left (see NoteIniWritten).
inline constexpr std::chrono::milliseconds kIniCacheSettleTime{2000};

/// The current version of file, parsed: from the cache when it is unchanged, otherwise read and parsed (and kept
/// when it fits). A missing or unreadable file gives an empty document. Never null. Safe from any thread; no lock is
/// held while the file is read.
IniSnapshot LoadIniCached(std::string_view file);

/// The same for the text of file as read (at most platform::kMaxIniFileSize bytes; "" when missing or larger).
TextSnapshot LoadTextCached(std::string_view file);

/// Called after every write of this process to file (successful or not): drops the kept copy at once. The next use
/// reads the file under a shared lock that excludes the INI layer's writers and keeps that version however recent
/// its change (the file does not stay uncached for the settle time after each of our own writes).
void NoteIniWritten(std::string_view file);

/// The same after a write of this process that knows the version it left (platform::IniWriteMany with written):
/// that version is kept at once, parsed, so the next use reads nothing. Without a stamp in written, as above.
void NoteIniWritten(std::string_view file, const platform::IniLockedText& written);

/// How long inside one IniReadScope a file once checked is trusted without a new check: a long request (a mail
/// fetch) still sees an edit within this time.
inline constexpr std::chrono::milliseconds kIniScopeTrustTime{1000};

/// Most files one scope remembers; further files are checked at each use.
inline constexpr std::size_t kIniScopeMaxFiles = 32;

namespace detail {
struct ScopeFile {
    std::string Path;
    bool Text = false;
    std::shared_ptr<const void> Document;
    std::uint64_t Generation = 0;
    std::int64_t CheckedNs = 0;
};
} // namespace detail

/// One unit of work of this thread, such as a request: while it lives, each settings file is checked (one stat) at
/// its first use and its version is then trusted by this thread's later uses, for at most kIniScopeTrustTime and
/// only until this process writes any settings file through the INI functions (NoteIniWritten), so a request sees
/// its own writes and those of other threads at once, and the edits of other processes at the next request.
/// Scopes nest: an inner one changes nothing. Lives on the stack of its thread; not copyable.
class IniReadScope {
public:
    IniReadScope();
    ~IniReadScope();
    IniReadScope(const IniReadScope&) = delete;
    IniReadScope& operator=(const IniReadScope&) = delete;

    /// The scope of this thread, or null.
    static IniReadScope* Current();

    detail::ScopeFile* Find(const std::string& path, bool text);
    void Remember(const std::string& path, bool text, std::shared_ptr<const void> document, std::uint64_t generation,
                  std::int64_t checkedNs);

private:
    bool m_outermost = false;
    std::vector<detail::ScopeFile> m_files;
};

struct IniCacheCounts {
    /// Files read since the process started (cache misses and files that were not kept).
    std::uint64_t FileReads = 0;
    /// Stamp checks (one stat each) since the process started.
    std::uint64_t StampChecks = 0;
    /// Writes through the INI functions since the process started (every NoteIniWritten).
    std::uint64_t Writes = 0;
    /// Files kept now.
    std::size_t KeptFiles = 0;
};

IniCacheCounts GetIniCacheCounts();

/// For tests: from now on counts reads, stamp checks and writes per file as well (off by default, so that a
/// server with many users keeps no table of them); ResetIniFileCounts empties the table.
void EnableIniFileCounts(bool on);
void ResetIniFileCounts();

/// The counts of one file since the last ResetIniFileCounts, while they are enabled (KeptFiles stays 0).
IniCacheCounts GetIniFileCounts(std::string_view file);

/// For tests: replaces kIniScopeTrustTime.
void SetIniScopeTrustTime(std::chrono::nanoseconds trust);

/// The current version of file, checked by its stamp now (one stat) even inside a scope: for deciding whether a
/// write would change anything.
IniSnapshot LoadIniCurrent(std::string_view file);

/// For tests: replaces kIniCacheSettleTime (a zero time trusts the stamps alone).
void SetIniCacheSettleTime(std::chrono::nanoseconds settle);

/// For tests: drops every kept file.
void ClearIniCache();

} // namespace qm
