#include "platform/EngineLock.h"

#include "platform/IpcDetail.h"
#include "platform/ObjectAccess.h"
#include "platform/UniqueFd.h"

#include <cerrno>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qm {

using ipcdetail::ErrorText;
using ipcdetail::Flock;
using ipcdetail::FlockMode;
using platform::UniqueFd;

EngineLock::EngineLock(EngineLock&& other) noexcept
    : m_fd(std::exchange(other.m_fd, -1))
    , m_ownerPid(other.m_ownerPid)
    , m_path(std::move(other.m_path))
{}

EngineLock& EngineLock::operator=(EngineLock&& other) noexcept
{
    if (this != &other) {
        Release();
        m_fd = std::exchange(other.m_fd, -1);
        m_ownerPid = other.m_ownerPid;
        m_path = std::move(other.m_path);
    }
    return *this;
}

Result<EngineLock> EngineLock::TryAcquire(const IpcNamespace& ns)
{
    auto path = ns.LockPath("engine");
    if (!path) {
        return Unexpected{path.error()};
    }
    // Read access is all flock() needs; O_NOFOLLOW keeps a planted symbolic link from choosing the file.
    UniqueFd fd(::open(path->c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, platform::kOwnerOnlyMode));
    if (!fd.Valid()) {
        return Fail(ErrorText("cannot open lock file", *path, errno), errno);
    }

    // The installation's access whatever the umask (and for a file an older run made wider). Only the file's owner
    // can change it; another user who may open it at all is one the access already admits.
    struct stat st {};

    if (::fstat(fd.Get(), &st) == 0 && st.st_uid == ::geteuid()) {
        (void)platform::ApplyAccess(fd.Get(), platform::SharedObjectAccess());
    }
    if (const int err = Flock(fd.Get(), FlockMode::ExclusiveNoWait); err != 0) {
        return Fail(ErrorText("cannot lock", *path, err), err);
    }
    EngineLock lock;
    lock.m_fd = fd.Release();
    lock.m_ownerPid = ::getpid();
    lock.m_path = std::move(*path);
    return lock;
}

void EngineLock::Release()
{
    if (m_fd >= 0) {
        // The holder unlocks explicitly, as a child forked meanwhile shares the descriptor and would keep the lock
        // alive; such a child, in turn, only closes its copy.
        if (m_ownerPid == ::getpid()) {
            Flock(m_fd, FlockMode::Unlock);
        }
        ::close(m_fd);
    }
    m_fd = -1;
    m_path.clear();
}

} // namespace qm
