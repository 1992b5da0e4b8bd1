// File-system layer: listing, existence and sizes, times, exclusive create, copy, moves that never replace,
// atomic whole-file writes, directory creation, and the tree walks (size, empty, delete) that never follow links.
#pragma once

#include "base/Result.h"

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qm::platform {

/// The permission bits of every file this layer creates: the installation's files hold passwords and mail, and
/// belong to their owner alone. A rewrite keeps the bits of the file it replaces.
inline constexpr unsigned kPrivateFileMode = 0600;

enum class EntryType {
    File,
    Directory,
    Symlink, ///< the link itself; never followed, so never reported as the directory it may point to
    Other,   ///< devices, sockets, pipes
};

struct DirEntry {
    std::string Name;
    EntryType Type = EntryType::Other;
};

/// The entries of dir, without "." and "..", and without any name that begins with '.' (hidden on Linux).
/// With a non-empty pattern only names that match it (WildcardMatch: case-insensitive '*' and '?') are listed.
/// Entry types come from lstat, so a symbolic link is reported as Symlink. Sorted by ASCII-folded name.
/// Fails when dir cannot be opened.
Result<std::vector<DirEntry>> ListDirectory(const std::string& dir, std::string_view pattern = {});

/// The directories among the entries of dir, as ListDirectory lists them (links are not directories). Cheaper than
/// listing everything where a directory holds many files (a folder of messages).
Result<std::vector<DirEntry>> ListSubdirectories(const std::string& dir);

/// True when path names anything (links followed: a dangling link does not exist).
bool PathExists(const std::string& path);

/// True when path is a directory (links followed).
bool IsDirectory(const std::string& path);

/// True when path is a regular file (links followed).
bool IsRegularFile(const std::string& path);

/// True when path itself is a symbolic link (not followed).
bool IsSymbolicLink(const std::string& path);

/// True when path is a regular file (links followed) that this process may execute.
bool IsExecutableFile(const std::string& path);

/// Size in bytes of the regular file path (links followed); nullopt when it is missing or not a regular file.
std::optional<std::uint64_t> FileSize(const std::string& path);

/// A point in time: seconds since 1970-01-01 UTC and nanoseconds.
struct Timestamp {
    std::int64_t Seconds = 0;
    std::int32_t Nanoseconds = 0;
};

struct FileTimes {
    Timestamp Modified;
    Timestamp Accessed;
    Timestamp Changed; ///< status change (Linux keeps no creation time that every file system offers)
};

/// The times of path (links followed); nullopt when it does not exist.
std::optional<FileTimes> GetFileTimes(const std::string& path);

/// Opens path for appending as a stdio stream with close-on-exec, creating it with mode kPrivateFileMode whatever
/// the umask (an existing file keeps its bits); null with errno set on failure. For logs.
std::FILE* OpenFileForAppend(const std::string& path);

/// Creates or truncates path as a private stdio stream ("wb", close-on-exec, mode kPrivateFileMode whatever the
/// umask); a symbolic link at path is not followed (the open fails). Null with errno set on failure.
std::FILE* OpenFileForWriting(const std::string& path);

/// Flushes stream and syncs its file to disk. False when either fails.
bool SyncStream(std::FILE* stream);

/// Syncs directory dir, so that names created or renamed in it reach the disk. Failures are ignored.
void SyncDirectory(const std::string& dir);

/// Creates path exclusively (fails with code EEXIST when anything exists there, links included) and writes
/// contents into it, mode kPrivateFileMode whatever the umask. A file created but not completely written is removed
/// again.
Result<void> CreateNewFile(const std::string& path, std::string_view contents = {});

/// The whole content of the file path; fails (code EFBIG) when it holds more than maxBytes.
Result<std::string> ReadWholeFile(const std::string& path, std::uint64_t maxBytes = 64u << 20);

/// Replaces path with contents as one step: a temporary file in the same directory is written, synced and
/// renamed over path, and the directory is synced, so a crash leaves either the old or the new file, never a
/// part. An existing file's permission bits are kept; a new file gets kPrivateFileMode, and so does the temporary
/// file from its first byte. A symbolic link at path is replaced by the file.
Result<void> WriteFileAtomic(const std::string& path, std::string_view contents);

/// What tells one version of a file from another: its identity (device and inode), its size, and its modification
/// and status-change times in nanoseconds. The status-change time moves on every write and cannot be set back by a
/// writer, so a rewrite that keeps the size and restores the modification time still changes the version, unless it
/// falls within the same tick of the file system's clock as the version it replaces.
struct FileVersion {
    std::uint64_t Device = 0;
    std::uint64_t Inode = 0;
    std::uint64_t Size = 0;
    std::int64_t ModifiedNs = 0;
    std::int64_t ChangedNs = 0;

    bool operator==(const FileVersion&) const = default;
};

/// As WriteFileAtomic, and on success written is the version put in place, taken from the new file's own
/// descriptor after the rename: a later replacement by another writer is never taken for it.
Result<void> WriteFileAtomic(const std::string& path, std::string_view contents, FileVersion& written);

/// Creates (mode kPrivateFileMode less the umask) or truncates path, writes contents, syncs the file to disk and closes
/// it, checking every step. On a failure the partly written file is removed. For a file that a later step renames into
/// place (ReplaceFile).
Result<void> WriteFileSynced(const std::string& path, std::string_view contents);

/// Renames src over dst as one step (an existing dst is replaced atomically) and syncs the directory. Both must lie
/// on one file system.
Result<void> ReplaceFile(const std::string& src, const std::string& dst);

/// When a call that creates a name syncs its directory.
enum class DirSync {
    Now,   ///< before the call returns
    Later, ///< the caller syncs it (once for many names)
};

/// Makes dst a second name (hard link) of the existing file src and, with DirSync::Now, syncs dst's directory;
/// fails with code EEXIST when dst exists.
Result<void> LinkFile(const std::string& src, const std::string& dst, DirSync sync = DirSync::Now);

/// True when both paths exist and name the same file (one of them may be a hard link of the other; links followed).
bool SameFile(const std::string& a, const std::string& b);

enum class CopyMode {
    Overwrite, ///< an existing destination is replaced (as one step)
    NoReplace, ///< fails with code EEXIST when the destination exists
};

/// Copies the regular file src to dst with its permission bits and modification time.
Result<void> CopyFile(const std::string& src, const std::string& dst, CopyMode mode);

/// Moves src to dst and never replaces anything at dst (fails with code EEXIST). Works for files and
/// directories on one file system; a regular file is copied and the original removed when dst is on
/// another file system.
Result<void> MoveNoReplace(const std::string& src, const std::string& dst);

/// Removes a file or a symbolic link (never a directory).
Result<void> RemoveFile(const std::string& path);

/// Creates one directory; fails with code EEXIST when path exists.
Result<void> MakeDirectory(const std::string& path);

/// Creates path and any missing parents; succeeds when path already is a directory.
Result<void> MakeDirectories(const std::string& path);

/// Removes an empty directory.
Result<void> RemoveDirectory(const std::string& path);

/// Disk use of a directory tree: the sum of the sizes of the regular files below dir. Directories whose
/// names begin with '.' are not entered; files whose names begin with '.' count. Symbolic links are never
/// followed and count 0. A directory that cannot be read counts 0, so a missing dir gives 0.
std::uint64_t DirectoryTreeSize(const std::string& dir);

/// Deletes the contents of dir: every file and symbolic link (the link itself, never its target), and every
/// directory whose name does not begin with '.', with everything below it. Directories whose names begin with
/// '.' are left as they are (".cache" survives). dir is trimmed of blanks first; an empty name and any path
/// that is the root directory ("/", "//", "/..", a link to "/") delete nothing. Single failures are skipped.
/// Returns true when dir could be opened and nothing that should have gone remains.
bool EmptyDirectory(std::string_view dir);

/// EmptyDirectory(dir), then removes dir itself. A symbolic link at dir is removed as a link; its target is
/// not touched. Returns true when dir is gone afterwards (false, for instance, when a '.' directory kept it).
bool DeleteDirectoryTree(std::string_view dir);

} // namespace qm::platform
