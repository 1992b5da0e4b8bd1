#include "platform/FileSystem.h"

#include "platform/FdUtil.h"
#include "platform/Path.h"
#include "platform/UniqueFd.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qm::platform {

// ---- descriptor helpers ----

Unexpected SystemFailure(std::string_view what, std::string_view path, int err)
{
    std::string text(what);
    text += ' ';
    text += path;
    return SystemFailure(text, err);
}

Unexpected SystemFailure(std::string_view what, int err)
{
    std::string text(what);
    text += ": ";
    char buf[256];
    // The GNU strerror_r returns the text (in buf or a static string); strerror itself is not thread-safe.
    text += strerror_r(err, buf, sizeof buf);
    return Fail(std::move(text), err);
}

int WriteAll(int fd, std::string_view data)
{
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
}

int ReadAllAt0(int fd, std::uint64_t maxBytes, std::string& out)
{
    out.clear();

    struct stat st = {};
    if (fstat(fd, &st) == 0 && st.st_size > 0) {
        if (static_cast<std::uint64_t>(st.st_size) > maxBytes) {
            return EFBIG;
        }
        out.reserve(static_cast<std::size_t>(st.st_size));
    }
    char buf[65536];
    off_t offset = 0;
    for (;;) {
        ssize_t n = ::pread(fd, buf, sizeof buf, offset);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (n == 0) {
            return 0;
        }
        if (out.size() + static_cast<std::size_t>(n) > maxBytes) {
            return EFBIG;
        }
        out.append(buf, static_cast<std::size_t>(n));
        offset += n;
    }
}

void SyncParentDirectory(const std::string& path)
{
    UniqueFd dir(::open(ParentDirectory(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir) {
        ::fsync(dir.Get());
    }
}

Result<TempFile> CreateSiblingTemp(const std::string& path)
{
    static std::atomic<unsigned> s_counter{0};
    std::size_t sep = LastSeparator(path);
    std::string dir = sep == std::string::npos ? std::string() : path.substr(0, sep + 1);
    // The temporary name must stay within the 255-byte name limit whatever the target's name is.
    std::string base = path.substr(sep == std::string::npos ? 0 : sep + 1).substr(0, 200);
    for (int attempt = 0; attempt < 100; ++attempt) {
        struct timespec now = {};
        clock_gettime(CLOCK_MONOTONIC, &now);
        char suffix[64];
        int length = std::snprintf(suffix, sizeof suffix, ".%d.%u.%lx.tmp", static_cast<int>(getpid()),
                                   s_counter.fetch_add(1), static_cast<unsigned long>(now.tv_nsec));
        std::string temp = dir;
        temp += '.';
        temp += base;
        temp.append(suffix, static_cast<std::size_t>(std::max(length, 0)));
        // Owner only from the first byte: it may hold passwords, and a narrow umask must not narrow it further.
        int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kPrivateFileMode);
        if (fd >= 0) {
            ::fchmod(fd, kPrivateFileMode);
            return TempFile{UniqueFd(fd), std::move(temp)};
        }
        if (errno != EEXIST) {
            return SystemFailure("create", temp, errno);
        }
    }
    return SystemFailure("create temporary file for", path, EEXIST);
}

// ---- queries ----

namespace {

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};

using DirPtr = std::unique_ptr<DIR, DirCloser>;

bool LessFolded(const std::string& a, const std::string& b)
{
    std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        unsigned char x = FoldAscii(static_cast<unsigned char>(a[i]));
        unsigned char y = FoldAscii(static_cast<unsigned char>(b[i]));
        if (x != y) {
            return x < y;
        }
    }
    if (a.size() != b.size()) {
        return a.size() < b.size();
    }
    return a < b;
}

EntryType TypeOf(mode_t mode)
{
    if (S_ISREG(mode)) {
        return EntryType::File;
    }
    if (S_ISDIR(mode)) {
        return EntryType::Directory;
    }
    if (S_ISLNK(mode)) {
        return EntryType::Symlink;
    }
    return EntryType::Other;
}

Timestamp ToTimestamp(const struct timespec& ts)
{
    return Timestamp{static_cast<std::int64_t>(ts.tv_sec), static_cast<std::int32_t>(ts.tv_nsec)};
}

} // namespace

namespace {

Result<std::vector<DirEntry>> ListEntries(const std::string& dir, std::string_view pattern, bool directoriesOnly)
{
    DirPtr d(opendir(dir.empty() ? "." : dir.c_str()));
    if (!d) {
        return SystemFailure("open directory", dir, errno);
    }
    std::vector<DirEntry> entries;
    int dfd = dirfd(d.get());
    errno = 0;
    while (dirent* e = readdir(d.get())) { // NOLINT(concurrency-mt-unsafe): one thread per stream
        const char* name = e->d_name;
        if (name[0] == '.' || (!pattern.empty() && !WildcardMatch(pattern, name))) {
            continue;
        }
        EntryType type = EntryType::Other;
        switch (e->d_type) {
        case DT_REG:
            type = EntryType::File;
            break;
        case DT_DIR:
            type = EntryType::Directory;
            break;
        case DT_LNK:
            type = EntryType::Symlink;
            break;
        case DT_UNKNOWN: {
            struct stat st = {};
            if (fstatat(dfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                continue; // removed meanwhile
            }
            type = TypeOf(st.st_mode);
            break;
        }
        default:
            break;
        }
        if (!directoriesOnly || type == EntryType::Directory) {
            entries.push_back(DirEntry{name, type});
        }
    }
    std::sort(entries.begin(), entries.end(),
              [](const DirEntry& a, const DirEntry& b) { return LessFolded(a.Name, b.Name); });
    return entries;
}

} // namespace

Result<std::vector<DirEntry>> ListDirectory(const std::string& dir, std::string_view pattern)
{
    return ListEntries(dir, pattern, false);
}

Result<std::vector<DirEntry>> ListSubdirectories(const std::string& dir)
{
    return ListEntries(dir, {}, true);
}

bool PathExists(const std::string& path)
{
    struct stat st = {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

bool IsDirectory(const std::string& path)
{
    struct stat st = {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsRegularFile(const std::string& path)
{
    struct stat st = {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool IsSymbolicLink(const std::string& path)
{
    struct stat st = {};
    return !path.empty() && ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool IsExecutableFile(const std::string& path)
{
    return IsRegularFile(path) && ::access(path.c_str(), X_OK) == 0;
}

std::optional<std::uint64_t> FileSize(const std::string& path)
{
    struct stat st = {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(st.st_size);
}

std::optional<FileTimes> GetFileTimes(const std::string& path)
{
    struct stat st = {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0) {
        return std::nullopt;
    }
    return FileTimes{ToTimestamp(st.st_mtim), ToTimestamp(st.st_atim), ToTimestamp(st.st_ctim)};
}

// ---- whole files ----

Result<void> CreateNewFile(const std::string& path, std::string_view contents)
{
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kPrivateFileMode));
    if (!fd) {
        return SystemFailure("create", path, errno);
    }
    ::fchmod(fd.Get(), kPrivateFileMode);
    if (int err = WriteAll(fd.Get(), contents); err != 0) {
        fd.Reset();
        ::unlink(path.c_str());
        return SystemFailure("write", path, err);
    }
    return {};
}

std::FILE* OpenFileForWriting(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, kPrivateFileMode);
    if (fd < 0) {
        return nullptr;
    }
    ::fchmod(fd, kPrivateFileMode);
    std::FILE* file = ::fdopen(fd, "wb");
    if (file == nullptr) {
        const int err = errno;
        ::close(fd);
        errno = err;
    }
    return file;
}

bool SyncStream(std::FILE* stream)
{
    return std::fflush(stream) == 0 && ::fsync(::fileno(stream)) == 0;
}

void SyncDirectory(const std::string& dir)
{
    UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd) {
        ::fsync(fd.Get());
    }
}

std::FILE* OpenFileForAppend(const std::string& path)
{
    int fd = -1;
    // Create it, or else open what is there; a file removed between the two steps is created on the next round.
    for (int attempt = 0; attempt < 3 && fd < 0; ++attempt) {
        fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, kPrivateFileMode);
        if (fd >= 0) {
            ::fchmod(fd, kPrivateFileMode);
        } else if (errno == EEXIST) {
            fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        }
        if (fd < 0 && errno != ENOENT && errno != EEXIST) {
            break;
        }
    }
    if (fd < 0) {
        return nullptr;
    }
    std::FILE* file = ::fdopen(fd, "a");
    if (file == nullptr) {
        const int err = errno;
        ::close(fd);
        errno = err;
    }
    return file;
}

Result<std::string> ReadWholeFile(const std::string& path, std::uint64_t maxBytes)
{
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        return SystemFailure("open", path, errno);
    }
    std::string out;
    if (int err = ReadAllAt0(fd.Get(), maxBytes, out); err != 0) {
        return SystemFailure("read", path, err);
    }
    return out;
}

namespace {

FileVersion VersionOf(const struct stat& st)
{
    FileVersion version;
    version.Device = static_cast<std::uint64_t>(st.st_dev);
    version.Inode = static_cast<std::uint64_t>(st.st_ino);
    version.Size = static_cast<std::uint64_t>(st.st_size);
    version.ModifiedNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
    version.ChangedNs = static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1'000'000'000 + st.st_ctim.tv_nsec;
    return version;
}

// Finishes a temporary file written beside target: permission bits (and, for root, the owner) of the file it
// replaces, sync, close, and the rename over target. The temporary file is removed on failure. With committed, the
// file stays open over the rename, so that its version is taken from the file itself once it is in place (the
// rename moves its status-change time on).
Result<void> CommitTemp(TempFile& temp, const std::string& target, const struct stat* replaced,
                        FileVersion* committed = nullptr)
{
    int fd = temp.Fd.Get();
    if (replaced != nullptr) {
        ::fchmod(fd, replaced->st_mode & 07777);
        if (geteuid() == 0) {
            [[maybe_unused]] int ignored = ::fchown(fd, replaced->st_uid, replaced->st_gid);
        }
    }
    int err = 0;
    if (::fsync(fd) != 0) {
        err = errno;
    }
    if (committed == nullptr && ::close(temp.Fd.Release()) != 0 && err == 0) {
        err = errno;
    }
    if (err == 0 && ::rename(temp.Path.c_str(), target.c_str()) != 0) {
        err = errno;
    }
    if (committed != nullptr) {
        struct stat st = {};
        if (err == 0 && ::fstat(fd, &st) != 0) {
            err = errno; // renamed already: the file is in place, but its version is unknown
        } else if (err == 0) {
            *committed = VersionOf(st);
        }
        if (::close(temp.Fd.Release()) != 0 && err == 0) {
            err = errno;
        }
    }
    if (err != 0) {
        ::unlink(temp.Path.c_str());
        return SystemFailure("replace", target, err);
    }
    SyncParentDirectory(target);
    return {};
}

Result<void> WriteFileAtomicAs(const std::string& path, std::string_view contents, FileVersion* written)
{
    struct stat old = {};
    bool hadOld = ::stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode);
    Result<TempFile> temp = CreateSiblingTemp(path);
    if (!temp) {
        return Fail(temp.error().Message, temp.error().Code);
    }
    if (int err = WriteAll(temp->Fd.Get(), contents); err != 0) {
        temp->Fd.Reset();
        ::unlink(temp->Path.c_str());
        return SystemFailure("write", temp->Path, err);
    }
    return CommitTemp(*temp, path, hadOld ? &old : nullptr, written);
}

} // namespace

Result<void> WriteFileAtomic(const std::string& path, std::string_view contents)
{
    return WriteFileAtomicAs(path, contents, nullptr);
}

Result<void> WriteFileAtomic(const std::string& path, std::string_view contents, FileVersion& written)
{
    return WriteFileAtomicAs(path, contents, &written);
}

namespace {

int CopyData(int in, int out)
{
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(in, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (n == 0) {
            return 0;
        }
        if (int err = WriteAll(out, std::string_view(buf, static_cast<std::size_t>(n))); err != 0) {
            return err;
        }
    }
}

// Copies the open source into the open destination with the source's permission bits and times, then syncs.
int CopyInto(int in, const struct stat& st, int out)
{
    if (int err = CopyData(in, out); err != 0) {
        return err;
    }
    ::fchmod(out, st.st_mode & 0777);
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    ::futimens(out, times);
    return ::fsync(out) == 0 ? 0 : errno;
}

} // namespace

Result<void> CopyFile(const std::string& src, const std::string& dst, CopyMode mode)
{
    UniqueFd in(::open(src.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in) {
        return SystemFailure("open", src, errno);
    }

    struct stat st = {};
    if (fstat(in.Get(), &st) != 0) {
        return SystemFailure("stat", src, errno);
    }
    if (!S_ISREG(st.st_mode)) {
        return SystemFailure("copy", src, S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    }
    if (mode == CopyMode::NoReplace) {
        UniqueFd out(::open(dst.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        if (!out) {
            return SystemFailure("create", dst, errno);
        }
        int err = CopyInto(in.Get(), st, out.Get());
        if (::close(out.Release()) != 0 && err == 0) {
            err = errno;
        }
        if (err != 0) {
            ::unlink(dst.c_str());
            return SystemFailure("copy to", dst, err);
        }
        return {};
    }
    Result<TempFile> temp = CreateSiblingTemp(dst);
    if (!temp) {
        return Fail(temp.error().Message, temp.error().Code);
    }
    if (int err = CopyInto(in.Get(), st, temp->Fd.Get()); err != 0) {
        temp->Fd.Reset();
        ::unlink(temp->Path.c_str());
        return SystemFailure("copy to", dst, err);
    }
    return CommitTemp(*temp, dst, nullptr);
}

Result<void> WriteFileSynced(const std::string& path, std::string_view contents)
{
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kPrivateFileMode));
    if (!fd) {
        return SystemFailure("create", path, errno);
    }
    int err = WriteAll(fd.Get(), contents);
    if (err == 0 && ::fsync(fd.Get()) != 0) {
        err = errno;
    }
    if (::close(fd.Release()) != 0 && err == 0) {
        err = errno;
    }
    if (err != 0) {
        ::unlink(path.c_str());
        return SystemFailure("write", path, err);
    }
    return {};
}

Result<void> ReplaceFile(const std::string& src, const std::string& dst)
{
    if (::rename(src.c_str(), dst.c_str()) != 0) {
        return SystemFailure("rename", src, errno);
    }
    SyncParentDirectory(dst);
    return {};
}

Result<void> LinkFile(const std::string& src, const std::string& dst, DirSync sync)
{
    if (::link(src.c_str(), dst.c_str()) != 0) {
        return SystemFailure("link", src, errno);
    }
    if (sync == DirSync::Now) {
        SyncParentDirectory(dst);
    }
    return {};
}

bool SameFile(const std::string& a, const std::string& b)
{
    struct stat sa = {};
    struct stat sb = {};
    return !a.empty() && !b.empty() && ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 &&
           sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// ---- moves and directories ----

namespace {

Result<void> MoveAcrossFileSystems(const std::string& src, const std::string& dst)
{
    struct stat st = {};
    if (::lstat(src.c_str(), &st) != 0) {
        return SystemFailure("move", src, errno);
    }
    if (!S_ISREG(st.st_mode)) {
        return SystemFailure("move", src, EXDEV);
    }
    if (Result<void> copied = CopyFile(src, dst, CopyMode::NoReplace); !copied) {
        return copied;
    }
    if (::unlink(src.c_str()) != 0) {
        int err = errno;
        // Keep exactly one copy: the original stays where it was.
        ::unlink(dst.c_str());
        return SystemFailure("remove", src, err);
    }
    return {};
}

// For file systems that do not know RENAME_NOREPLACE: a hard link cannot replace anything; directories (which
// cannot be linked) are checked and renamed, which leaves a short window that the flag would have closed.
Result<void> MoveWithoutFlag(const std::string& src, const std::string& dst)
{
    if (::link(src.c_str(), dst.c_str()) == 0) {
        if (::unlink(src.c_str()) != 0) {
            int err = errno;
            ::unlink(dst.c_str());
            return SystemFailure("remove", src, err);
        }
        return {};
    }
    int err = errno;
    if (err == EEXIST) {
        return SystemFailure("move to", dst, EEXIST);
    }
    if (err == EXDEV) {
        return MoveAcrossFileSystems(src, dst);
    }

    struct stat st = {};
    if (::lstat(dst.c_str(), &st) == 0) {
        return SystemFailure("move to", dst, EEXIST);
    }
    if (::rename(src.c_str(), dst.c_str()) != 0) {
        return SystemFailure("move", src, errno);
    }
    return {};
}

} // namespace

Result<void> MoveNoReplace(const std::string& src, const std::string& dst)
{
    if (::renameat2(AT_FDCWD, src.c_str(), AT_FDCWD, dst.c_str(), RENAME_NOREPLACE) == 0) {
        return {};
    }
    int err = errno;
    if (err == EXDEV) {
        return MoveAcrossFileSystems(src, dst);
    }
    if (err == EINVAL || err == ENOSYS || err == EOPNOTSUPP) {
        return MoveWithoutFlag(src, dst);
    }
    return SystemFailure("move", src, err);
}

Result<void> RemoveFile(const std::string& path)
{
    if (::unlink(path.c_str()) != 0) {
        return SystemFailure("remove", path, errno);
    }
    return {};
}

Result<void> MakeDirectory(const std::string& path)
{
    if (::mkdir(path.c_str(), 0777) != 0) {
        return SystemFailure("create directory", path, errno);
    }
    return {};
}

Result<void> MakeDirectories(const std::string& path)
{
    std::string dir = path;
    while (dir.size() > 1 && dir.back() == '/') {
        dir.pop_back();
    }
    if (dir.empty() || IsDirectory(dir)) {
        return {};
    }
    std::size_t sep = dir.rfind('/');
    if (sep != std::string::npos && sep > 0) {
        if (Result<void> parent = MakeDirectories(dir.substr(0, sep)); !parent) {
            return parent;
        }
    }
    if (::mkdir(dir.c_str(), 0777) != 0 && !(errno == EEXIST && IsDirectory(dir))) {
        return SystemFailure("create directory", dir, errno);
    }
    return {};
}

Result<void> RemoveDirectory(const std::string& path)
{
    if (::rmdir(path.c_str()) != 0) {
        return SystemFailure("remove directory", path, errno);
    }
    return {};
}

// ---- tree walks ----
//
// The walks go from directory descriptor to directory descriptor (openat with O_NOFOLLOW), so that neither a
// symbolic link nor a directory swapped for one during the walk can lead them outside the tree, and paths
// of any length work.

namespace {

constexpr int kSubdirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Takes ownership of fd. Returns the open stream (null on failure) and the names it holds, "." and ".." left out.
DirPtr OpenNames(int fd, std::vector<std::string>& names)
{
    DirPtr d(fdopendir(fd));
    if (!d) {
        ::close(fd);
        return d;
    }
    while (dirent* e = readdir(d.get())) { // NOLINT(concurrency-mt-unsafe): one thread per stream
        std::string_view name(e->d_name);
        if (name != "." && name != "..") {
            names.emplace_back(name);
        }
    }
    return d;
}

std::uint64_t SumTree(int fd)
{
    std::vector<std::string> names;
    DirPtr d = OpenNames(fd, names);
    if (!d) {
        return 0;
    }
    int dfd = dirfd(d.get());
    std::uint64_t total = 0;
    for (const std::string& name : names) {
        struct stat st = {};
        if (fstatat(dfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            if (name[0] != '.') {
                int sub = openat(dfd, name.c_str(), kSubdirFlags);
                if (sub >= 0) {
                    total += SumTree(sub);
                }
            }
        } else if (S_ISREG(st.st_mode)) {
            total += static_cast<std::uint64_t>(st.st_size);
        }
    }
    return total;
}

// Empties the directory fd (taking ownership of it). True when everything that should go is gone.
bool EmptyTree(int fd)
{
    std::vector<std::string> names;
    DirPtr d = OpenNames(fd, names);
    if (!d) {
        return false;
    }
    int dfd = dirfd(d.get());
    bool complete = true;
    for (const std::string& name : names) {
        struct stat st = {};
        if (fstatat(dfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            continue;
        }
        if (!S_ISDIR(st.st_mode)) {
            if (unlinkat(dfd, name.c_str(), 0) != 0 && errno != ENOENT) {
                complete = false;
            }
            continue;
        }
        if (name[0] == '.') {
            continue;
        }
        int sub = openat(dfd, name.c_str(), kSubdirFlags);
        if (sub < 0) {
            // Replaced by a link or a file since fstatat: remove that entry itself.
            if ((errno != ELOOP && errno != ENOTDIR) || unlinkat(dfd, name.c_str(), 0) != 0) {
                complete = false;
            }
            continue;
        }
        EmptyTree(sub);
        if (unlinkat(dfd, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) {
            complete = false;
        }
    }
    return complete;
}

std::string TrimBlanks(std::string_view s)
{
    const char* blanks = " \t\r\n\v\f";
    std::size_t begin = s.find_first_not_of(blanks);
    if (begin == std::string_view::npos) {
        return {};
    }
    std::size_t end = s.find_last_not_of(blanks);
    return std::string(s.substr(begin, end - begin + 1));
}

bool IsRootDirectory(int fd)
{
    struct stat dir = {};
    struct stat root = {};
    return fstat(fd, &dir) != 0 || ::stat("/", &root) != 0 || (dir.st_dev == root.st_dev && dir.st_ino == root.st_ino);
}

} // namespace

std::uint64_t DirectoryTreeSize(const std::string& dir)
{
    if (dir.empty()) {
        return 0;
    }
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return fd < 0 ? 0 : SumTree(fd);
}

bool EmptyDirectory(std::string_view dir)
{
    std::string path = TrimBlanks(dir);
    if (path.empty()) {
        return false;
    }
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    // Whatever spelling leads there ("/", "//", "/..", a link), the root directory is never emptied.
    if (!fd || IsRootDirectory(fd.Get())) {
        return false;
    }
    return EmptyTree(fd.Release());
}

bool DeleteDirectoryTree(std::string_view dir)
{
    std::string path = TrimBlanks(dir);
    if (path.empty()) {
        return false;
    }

    struct stat st = {};
    if (::lstat(path.c_str(), &st) != 0) {
        return errno == ENOENT;
    }
    if (S_ISLNK(st.st_mode)) {
        ::unlink(path.c_str());
    } else if (S_ISDIR(st.st_mode)) {
        UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!fd || IsRootDirectory(fd.Get())) {
            return false;
        }
        EmptyTree(fd.Release());
        ::rmdir(path.c_str());
    } else {
        return false;
    }
    return ::lstat(path.c_str(), &st) != 0 && errno == ENOENT;
}

} // namespace qm::platform
