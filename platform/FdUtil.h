// Descriptor-level helpers shared by the file-system and INI layers (not for use outside platform/).
#pragma once

#include "base/Result.h"
#include "platform/UniqueFd.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace qm::platform {

/// Builds the failure of a system call: "<what> <path>: <error text>", with err as the code.
Unexpected SystemFailure(std::string_view what, std::string_view path, int err);

/// Builds the failure of a system call that names no file: "<what>: <error text>", with err as the code.
Unexpected SystemFailure(std::string_view what, int err);

/// Writes all of data to fd, retrying after signals and short writes. Returns 0 or the errno.
int WriteAll(int fd, std::string_view data);

/// Reads fd from offset 0 to its end into out. Returns 0, the errno, or EFBIG past maxBytes.
int ReadAllAt0(int fd, std::uint64_t maxBytes, std::string& out);

/// Syncs the directory that holds path, so that a rename into it is on disk. Failures are ignored: some
/// file systems cannot sync directories, and the data itself has been synced already.
void SyncParentDirectory(const std::string& path);

struct TempFile {
    UniqueFd Fd;
    std::string Path;
};

/// Creates a new, empty, hidden temporary file beside path (same directory, so that a rename can replace
/// path as one step), opened for writing, with the permission bits kPrivateFileMode (0600) whatever the umask.
Result<TempFile> CreateSiblingTemp(const std::string& path);

} // namespace qm::platform
