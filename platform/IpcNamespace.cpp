#include "platform/IpcNamespace.h"

#include "base/Assert.h"
#include "platform/IpcDetail.h"
#include "platform/ObjectAccess.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include <sys/stat.h>
#include <unistd.h>

namespace qm {

namespace {

std::uint64_t Fnv1a64(std::string_view text)
{
    std::uint64_t hash = 14695981039346656037ULL;
    for (const char ch : text) {
        hash ^= static_cast<unsigned char>(ch);
        hash *= 1099511628211ULL;
    }
    return hash;
}

std::string ShortHash(std::string_view text)
{
    static constexpr char kHex[] = "0123456789abcdef";
    std::uint64_t hash = Fnv1a64(text);
    std::string out(12, '0');
    for (std::size_t i = out.size(); i-- > 0;) {
        out[i] = kHex[hash & 0xF];
        hash >>= 4;
    }
    return out;
}

bool IsNamespaceChar(unsigned char ch)
{
    return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '_' || ch == '-';
}

bool IsObjectName(std::string_view object)
{
    if (object.empty() || object.size() > 64) {
        return false;
    }
    return std::ranges::all_of(object,
                               [](char ch) { return ch == '.' || IsNamespaceChar(static_cast<unsigned char>(ch)); });
}

std::string CanonicalDir(std::string_view installDir)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path path = fs::absolute(fs::path(installDir), ec);
    if (ec) {
        path = fs::path(installDir);
    }
    fs::path canonical = fs::weakly_canonical(path, ec);
    std::string text = (ec ? path.lexically_normal() : canonical).string();
    while (text.size() > 1 && text.back() == '/') {
        text.pop_back();
    }
    return text;
}

const char* NonEmptyEnv(const char* name)
{
    const char* value = std::getenv(name); // NOLINT(concurrency-mt-unsafe): read-only use of the environment
    return value != nullptr && *value != '\0' ? value : nullptr;
}

bool IsWritableDir(const std::string& path)
{
    struct stat st {};

    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && ::access(path.c_str(), W_OK | X_OK) == 0;
}

// Gives a directory this process just made the installation's access, whatever the umask.
void RestrictNewDir(const std::string& dir)
{
    const platform::ObjectAccess access = platform::SharedObjectAccess();
    if (access.Group >= 0) {
        (void)::chown(dir.c_str(), static_cast<uid_t>(-1), static_cast<gid_t>(access.Group));
    }
    (void)::chmod(dir.c_str(), platform::DirectoryMode(access));
}

// The operator's choice: created when missing (for the installation's owner), used as it is otherwise.
Result<std::string> UseConfiguredDir(const std::string& dir)
{
    std::error_code ec;
    if (std::filesystem::create_directories(dir, ec)) {
        RestrictNewDir(dir);
    }

    struct stat st {};

    if (::stat(dir.c_str(), &st) != 0) {
        return Fail(ipcdetail::ErrorText("runtime directory", dir, errno), errno);
    }
    if (!S_ISDIR(st.st_mode)) {
        return Fail(ipcdetail::ErrorText("runtime directory", dir, ENOTDIR), ENOTDIR);
    }
    return dir;
}

// A directory in a world-writable place: only ours, a real directory, and closed to everybody else.
Result<std::string> UsePrivateDir(const std::string& dir)
{
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        return Fail(ipcdetail::ErrorText("cannot create runtime directory", dir, errno), errno);
    }

    struct stat st {};

    if (::lstat(dir.c_str(), &st) != 0) {
        return Fail(ipcdetail::ErrorText("runtime directory", dir, errno), errno);
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return Fail("runtime directory " + dir + " is not a private directory of this user", EPERM);
    }
    return dir;
}

} // namespace

IpcNamespace IpcNamespace::ForInstallDir(std::string_view installDir)
{
    if (const char* env = NonEmptyEnv(kIpcNamespaceEnv)) {
        return Named(env);
    }
    return IpcNamespace(ShortHash(CanonicalDir(installDir)));
}

IpcNamespace IpcNamespace::Named(std::string_view name)
{
    bool usable = !name.empty() && name.size() <= kMaxIpcNamespaceLength;
    for (const char ch : name) {
        usable = usable && IsNamespaceChar(static_cast<unsigned char>(ch));
    }
    return IpcNamespace(usable ? std::string(name) : "h" + ShortHash(name));
}

std::string IpcNamespace::ShmName(std::string_view object) const
{
    QM_ASSERT(IsObjectName(object));
    std::string name = "/qm.";
    name += m_name;
    name += '.';
    name += object;
    return name;
}

std::string IpcNamespace::SocketName(std::string_view object) const
{
    QM_ASSERT(IsObjectName(object));
    std::string name = "qm.";
    name += m_name;
    name += '.';
    name += object;
    return name;
}

Result<std::string> IpcNamespace::LockPath(std::string_view object) const
{
    QM_ASSERT(IsObjectName(object));
    auto dir = IpcRuntimeDir();
    if (!dir) {
        return Unexpected{dir.error()};
    }
    std::string path = std::move(*dir);
    path += '/';
    path += object;
    path += '.';
    path += m_name;
    path += ".lock";
    return path;
}

Result<std::string> IpcRuntimeDir(std::string_view systemDir, std::string_view fallbackDir)
{
    if (const char* env = NonEmptyEnv(kRuntimeDirEnv)) {
        return UseConfiguredDir(env);
    }
    const std::string system(systemDir);
    if (IsWritableDir(system)) {
        return system;
    }
    if (::mkdir(system.c_str(), 0700) == 0) {
        RestrictNewDir(system); // the owner, and the administrators' group when one is named
        return system;
    }
    return UsePrivateDir(std::string(fallbackDir));
}

Result<std::string> IpcRuntimeDir()
{
    return IpcRuntimeDir("/run/quillmail", "/tmp/quillmail-" + std::to_string(::geteuid()));
}

} // namespace qm
