// Descriptor helpers of the web host: pipes, nameless temporary files, reads and writes, opening inside a directory.
#pragma once

#include "base/Result.h"
#include "platform/UniqueFd.h"

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

namespace qm {

/// Both ends of a pipe, close-on-exec.
struct PipeEnds {
    platform::UniqueFd Read;
    platform::UniqueFd Write;
};

/// Makes a pipe whose ends are closed in every program started later.
Result<PipeEnds> MakePipe();

/// Makes a readable and writable file in `directory` that has no name from the start (or loses it at once where
/// the file system cannot make nameless files), so that it disappears with its last descriptor.
Result<platform::UniqueFd> OpenAnonymousTempFile(const std::string& directory);

/// Reads up to `size` bytes; 0 means end of file. Retries when a signal interrupts.
Result<size_t> ReadSome(int fd, char* buffer, size_t size);

/// Writes all `size` bytes. Retries when a signal interrupts or the write is short.
Result<void> WriteAll(int fd, const char* bytes, size_t size);

/// Moves the file position back to the start.
Result<void> Rewind(int fd);

/// What the file system says of an open file.
struct FileFacts {
    bool IsRegular = false;
    bool IsDirectory = false;
    uint64_t Size = 0;
    time_t ModifiedTime = 0;
};

/// The facts of an open descriptor.
Result<FileFacts> StatFd(int fd);

/// Opens the directory `path` for use as the root of OpenBeneath.
Result<platform::UniqueFd> OpenDirectory(const std::string& path);

/// Opens `relativePath` (no leading '/') for reading inside the directory `rootFd`, refusing every path that
/// resolves outside it, through "..", an absolute symbolic link or a symbolic link that leads out. The refusal
/// fails with EXDEV; a missing file with ENOENT.
Result<platform::UniqueFd> OpenBeneath(int rootFd, const char* relativePath);

} // namespace qm
