// A C stream over a file descriptor, owned by the stream.
#pragma once

#include <cstdio>
#include <memory>

namespace qm::platform {

struct FileCloser {
    void operator()(std::FILE* file) const { (void)std::fclose(file); }
};

/// An owned C stream; closing it closes its descriptor.
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

/// A binary stream over fd (-1 gives none) for reading (StreamMode::Read) or writing. The stream owns fd from now on:
/// when the stream cannot be made, fd is closed.
enum class StreamMode {
    Read,
    Write,
};
UniqueFile StreamOverFd(int fd, StreamMode mode);

} // namespace qm::platform
