// SyncBatch: the files written and the directories changed by one batch of work, made durable together with as few
// syncs as the file system allows instead of one sync per file.
#pragma once

#include "base/Result.h"
#include "platform/UniqueFd.h"

#include <cstdint>
#include <cstdio>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace qm::platform {

/// Collects written files (by descriptor) and changed directories (by path) until they are synced. The caller
/// orders the two steps: SyncFiles makes the files' data durable, SyncDirectories the names created or renamed in
/// the directories; Flush does both. Not thread-safe: one owner at a time.
class SyncBatch {
public:
    SyncBatch() = default;
    SyncBatch(const SyncBatch&) = delete;
    SyncBatch& operator=(const SyncBatch&) = delete;

    /// Keeps a duplicate of fd, a regular file this batch wrote, for the next SyncFiles. The caller may close fd.
    Result<void> AddFile(int fd);

    /// Flushes stream and keeps a duplicate of its descriptor, as AddFile. The caller still closes stream.
    Result<void> AddStream(std::FILE* stream);

    /// Creates or truncates path (mode kPrivateFileMode whatever the umask), writes contents and keeps the file
    /// for the next SyncFiles, unsynced. On a failure the partly written file is removed.
    Result<void> WriteFile(const std::string& path, std::string_view contents);

    /// Names dir for the next SyncDirectories (each directory is synced once however often it is named).
    void AddDirectory(const std::string& dir);

    /// Makes the data of every file added since the last call durable: a single file with fdatasync, more with one
    /// syncfs per file system they lie on. Forgets the files, also on failure (which names the first error).
    Result<void> SyncFiles();

    /// Syncs every directory named since the last call once. Forgets them, also on failure; a directory that
    /// cannot be opened counts as a failure.
    Result<void> SyncDirectories();

    /// SyncFiles, then SyncDirectories (both run; the first failure is returned).
    Result<void> Flush();

    std::size_t FileCount() const { return m_files.size(); }

    std::size_t DirectoryCount() const { return m_dirs.size(); }

    /// The sync calls (fdatasync, syncfs, fsync) this batch has made so far; for tests and benchmarks.
    int SyncCalls() const { return m_syncCalls; }

private:
    struct File {
        UniqueFd Fd;
        std::uint64_t Device = 0;
    };

    std::vector<File> m_files;
    std::set<std::string> m_dirs;
    int m_syncCalls = 0;
};

} // namespace qm::platform
