#include "platform/DescriptorIo.h"

#include "platform/FdUtil.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace qm {

Result<PipeEnds> MakePipe()
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return platform::SystemFailure("pipe", errno);
    }
    return PipeEnds{platform::UniqueFd(ends[0]), platform::UniqueFd(ends[1])};
}

Result<platform::UniqueFd> OpenAnonymousTempFile(const std::string& directory)
{
    int fd = open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) {
        return platform::UniqueFd(fd);
    }
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        return platform::SystemFailure("temporary file in " + directory, errno);
    }
    // A file system without nameless files: make a named one and remove its name at once.
    std::string name = directory + "/CGIXXXXXX";
    fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        return platform::SystemFailure("temporary file in " + directory, errno);
    }
    (void)unlink(name.c_str());
    return platform::UniqueFd(fd);
}

Result<size_t> ReadSome(int fd, char* buffer, size_t size)
{
    for (;;) {
        const ssize_t got = read(fd, buffer, size);
        if (got >= 0) {
            return static_cast<size_t>(got);
        }
        if (errno != EINTR) {
            return platform::SystemFailure("read", errno);
        }
    }
}

Result<void> WriteAll(int fd, const char* bytes, size_t size)
{
    while (size > 0) {
        const ssize_t put = write(fd, bytes, size);
        if (put < 0) {
            if (errno == EINTR) {
                continue;
            }
            return platform::SystemFailure("write", errno);
        }
        bytes += put;
        size -= static_cast<size_t>(put);
    }
    return {};
}

Result<void> Rewind(int fd)
{
    if (lseek(fd, 0, SEEK_SET) != 0) {
        return platform::SystemFailure("seek", errno);
    }
    return {};
}

Result<FileFacts> StatFd(int fd)
{
    struct stat facts {};

    if (fstat(fd, &facts) != 0) {
        return platform::SystemFailure("stat", errno);
    }
    FileFacts result;
    result.IsRegular = S_ISREG(facts.st_mode);
    result.IsDirectory = S_ISDIR(facts.st_mode);
    result.Size = static_cast<uint64_t>(facts.st_size);
    result.ModifiedTime = facts.st_mtim.tv_sec;
    return result;
}

Result<platform::UniqueFd> OpenDirectory(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return platform::SystemFailure(path, errno);
    }
    return platform::UniqueFd(fd);
}

Result<platform::UniqueFd> OpenBeneath(int rootFd, const char* relativePath)
{
    open_how how{};
    how.flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    for (;;) {
        const long fd = syscall(SYS_openat2, rootFd, relativePath, &how, sizeof how);
        if (fd >= 0) {
            // O_NONBLOCK only kept a FIFO from blocking the open; reads of the file are ordinary.
            (void)fcntl(static_cast<int>(fd), F_SETFL, 0);
            return platform::UniqueFd(static_cast<int>(fd));
        }
        if (errno != EINTR && errno != EAGAIN) {
            return platform::SystemFailure(relativePath, errno);
        }
    }
}

} // namespace qm
