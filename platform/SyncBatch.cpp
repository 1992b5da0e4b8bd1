#include "platform/SyncBatch.h"

#include "platform/FdUtil.h"
#include "platform/FileSystem.h"

#include <cerrno>
#include <set>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qm::platform {

Result<void> SyncBatch::AddFile(int fd)
{
    struct stat st = {};
    if (::fstat(fd, &st) != 0) {
        return SystemFailure("stat a file to sync", errno);
    }
    UniqueFd copy(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
    if (!copy) {
        return SystemFailure("keep a file to sync", errno);
    }
    m_files.push_back({std::move(copy), static_cast<std::uint64_t>(st.st_dev)});
    return {};
}

Result<void> SyncBatch::AddStream(std::FILE* stream)
{
    if (std::fflush(stream) != 0) {
        return SystemFailure("write a file to sync", errno);
    }
    return AddFile(::fileno(stream));
}

Result<void> SyncBatch::WriteFile(const std::string& path, std::string_view contents)
{
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, kPrivateFileMode));
    if (!fd) {
        return SystemFailure("create", path, errno);
    }
    ::fchmod(fd.Get(), kPrivateFileMode);
    int err = WriteAll(fd.Get(), contents);
    struct stat st = {};
    if (err == 0 && ::fstat(fd.Get(), &st) != 0) {
        err = errno;
    }
    if (err != 0) {
        fd.Reset();
        ::unlink(path.c_str());
        return SystemFailure("write", path, err);
    }
    m_files.push_back({std::move(fd), static_cast<std::uint64_t>(st.st_dev)});
    return {};
}

void SyncBatch::AddDirectory(const std::string& dir)
{
    m_dirs.insert(dir);
}

Result<void> SyncBatch::SyncFiles()
{
    std::vector<File> files = std::move(m_files);
    m_files.clear();
    int err = 0;
    if (files.size() == 1) {
        ++m_syncCalls;
        if (::fdatasync(files.front().Fd.Get()) != 0) {
            err = errno;
        }
    } else {
        // One syncfs writes out every file of its file system, metadata included, in one journal commit. Each is
        // called on the earliest opened file of that file system, so that it reports any write-back error since.
        std::set<std::uint64_t> synced;
        for (const File& file : files) {
            if (!synced.insert(file.Device).second) {
                continue;
            }
            ++m_syncCalls;
            if (::syncfs(file.Fd.Get()) != 0 && err == 0) {
                err = errno;
            }
        }
    }
    if (err != 0) {
        return SystemFailure("sync written files", err);
    }
    return {};
}

Result<void> SyncBatch::SyncDirectories()
{
    std::set<std::string> dirs = std::move(m_dirs);
    m_dirs.clear();
    int err = 0;
    std::string failed;
    for (const std::string& dir : dirs) {
        UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        ++m_syncCalls;
        // EINVAL: a file system that cannot sync directories (its names are as durable as it makes them).
        if ((!fd || (::fsync(fd.Get()) != 0 && errno != EINVAL)) && err == 0) {
            err = errno;
            failed = dir;
        }
    }
    if (err != 0) {
        return SystemFailure("sync directory", failed, err);
    }
    return {};
}

Result<void> SyncBatch::Flush()
{
    Result<void> files = SyncFiles();
    Result<void> dirs = SyncDirectories();
    return files.has_value() ? dirs : files;
}

} // namespace qm::platform
