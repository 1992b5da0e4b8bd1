#include "platform/SharedMemory.h"

#include "platform/IpcDetail.h"
#include "platform/ObjectAccess.h"
#include "platform/UniqueFd.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qm {

using ipcdetail::ErrorText;
using ipcdetail::Flock;
using ipcdetail::FlockMode;
using platform::UniqueFd;

namespace {

Result<std::size_t> SizeOf(int fd, const std::string& name)
{
    struct stat st {};

    if (::fstat(fd, &st) != 0) {
        return Fail(ErrorText("cannot stat shared memory", name, errno), errno);
    }
    return static_cast<std::size_t>(st.st_size);
}

Result<void> Resize(int fd, std::size_t size, const std::string& name)
{
    if (::ftruncate(fd, static_cast<off_t>(size)) != 0) {
        return Fail(ErrorText("cannot size shared memory", name, errno), errno);
    }
    return {};
}

// Creates the object exclusively (openFlags O_RDWR or O_RDONLY) with the access of the installation's shared
// objects, whatever the umask; -1 with errno set on failure. The creation mode is already the narrowest, so the
// object is never wider than it should be, even before fchmod().
int CreateObject(const std::string& name, int openFlags = O_RDWR)
{
    const int fd = ::shm_open(name.c_str(), openFlags | O_CREAT | O_EXCL | O_CLOEXEC, platform::kOwnerOnlyMode);
    if (fd < 0) {
        return -1;
    }
    if (const int err = platform::ApplyAccess(fd, platform::SharedObjectAccess()); err != 0) {
        ::close(fd);
        ::shm_unlink(name.c_str());
        errno = err;
        return -1;
    }
    return fd;
}

bool SameObject(int fd, int other)
{
    struct stat a {};

    struct stat b {};

    return ::fstat(fd, &a) == 0 && ::fstat(other, &b) == 0 && a.st_ino == b.st_ino && a.st_dev == b.st_dev;
}

// Opens the attach lock object, creating it when missing, and locks it exclusively. The last process to detach
// removes the object while it holds the lock, so a process that waited for the lock may hold it on a removed
// object: it checks that the name still leads to the object it locked, and starts again when it does not.
Result<UniqueFd> LockAttachObject(const std::string& lockName)
{
    for (int attempt = 0; attempt < 1000; ++attempt) {
        UniqueFd lock(CreateObject(lockName, O_RDONLY));
        if (!lock.Valid() && errno == EEXIST) {
            lock.Reset(::shm_open(lockName.c_str(), O_RDONLY | O_CLOEXEC, 0));
            if (!lock.Valid() && errno == ENOENT) {
                continue; // removed between the two calls
            }
        }
        if (!lock.Valid()) {
            return Fail(ErrorText("cannot open attach lock", lockName, errno), errno);
        }
        if (const int err = Flock(lock.Get(), FlockMode::Exclusive); err != 0) {
            return Fail(ErrorText("cannot lock", lockName, err), err);
        }
        const UniqueFd current(::shm_open(lockName.c_str(), O_RDONLY | O_CLOEXEC, 0));
        if (current.Valid() && SameObject(lock.Get(), current.Get())) {
            return lock;
        }
    }
    return Fail(ErrorText("cannot lock", lockName, EAGAIN), EAGAIN);
}

int UnlinkIgnoringMissing(const std::string& name)
{
    return ::shm_unlink(name.c_str()) == 0 || errno == ENOENT ? 0 : errno;
}

} // namespace

// ---- MappedRegion ----

MappedRegion::MappedRegion(MappedRegion&& other) noexcept
    : m_data(std::exchange(other.m_data, nullptr))
    , m_size(std::exchange(other.m_size, 0))
{}

MappedRegion& MappedRegion::operator=(MappedRegion&& other) noexcept
{
    if (this != &other) {
        Reset();
        m_data = std::exchange(other.m_data, nullptr);
        m_size = std::exchange(other.m_size, 0);
    }
    return *this;
}

Result<MappedRegion> MappedRegion::Map(int fd, std::size_t size, ShmAccess access)
{
    const int prot = access == ShmAccess::ReadWrite ? PROT_READ | PROT_WRITE : PROT_READ;
    void* data = ::mmap(nullptr, size, prot, MAP_SHARED, fd, 0);
    if (data == MAP_FAILED) {
        return Fail(ErrorText("cannot map", std::to_string(size) + " bytes", errno), errno);
    }
    MappedRegion region;
    region.m_data = data;
    region.m_size = size;
    return region;
}

void MappedRegion::Reset()
{
    if (m_data != nullptr) {
        ::munmap(m_data, m_size);
    }
    m_data = nullptr;
    m_size = 0;
}

// ---- ShmSegment ----

ShmSegment::ShmSegment(ShmSegment&& other) noexcept
    : m_name(std::move(other.m_name))
    , m_attachLockName(std::move(other.m_attachLockName))
    , m_fd(std::exchange(other.m_fd, -1))
    , m_attachPid(other.m_attachPid)
    , m_region(std::move(other.m_region))
    , m_created(other.m_created)
    , m_firstAttacher(other.m_firstAttacher)
{
    other.m_name.clear();
    other.m_attachLockName.clear();
}

ShmSegment& ShmSegment::operator=(ShmSegment&& other) noexcept
{
    if (this != &other) {
        Close();
        m_name = std::move(other.m_name);
        m_attachLockName = std::move(other.m_attachLockName);
        m_fd = std::exchange(other.m_fd, -1);
        m_attachPid = other.m_attachPid;
        m_region = std::move(other.m_region);
        m_created = other.m_created;
        m_firstAttacher = other.m_firstAttacher;
        other.m_name.clear();
        other.m_attachLockName.clear();
    }
    return *this;
}

Result<ShmSegment> ShmSegment::CreateExclusive(const IpcNamespace& ns, std::string_view name, std::size_t size)
{
    QM_ASSERT(size > 0);
    ShmSegment segment;
    segment.m_name = ns.ShmName(name);
    segment.m_fd = CreateObject(segment.m_name);
    if (segment.m_fd < 0) {
        return Fail(ErrorText("cannot create shared memory", segment.m_name, errno), errno);
    }
    segment.m_created = true;
    auto sized = Resize(segment.m_fd, size, segment.m_name);
    if (!sized) {
        ::shm_unlink(segment.m_name.c_str());
        return Unexpected{sized.error()};
    }
    auto region = MappedRegion::Map(segment.m_fd, size, ShmAccess::ReadWrite);
    if (!region) {
        ::shm_unlink(segment.m_name.c_str());
        return Unexpected{region.error()};
    }
    segment.m_region = std::move(*region);
    return segment;
}

Result<ShmSegment> ShmSegment::Open(const IpcNamespace& ns, std::string_view name, ShmAccess access,
                                    std::size_t minSize)
{
    ShmSegment segment;
    segment.m_name = ns.ShmName(name);
    const int flags = (access == ShmAccess::ReadWrite ? O_RDWR : O_RDONLY) | O_CLOEXEC;
    segment.m_fd = ::shm_open(segment.m_name.c_str(), flags, 0);
    if (segment.m_fd < 0) {
        return Fail(ErrorText("cannot open shared memory", segment.m_name, errno), errno);
    }
    auto size = SizeOf(segment.m_fd, segment.m_name);
    if (!size) {
        return Unexpected{size.error()};
    }
    if (*size == 0 || *size < minSize) {
        return Fail("shared memory " + segment.m_name + " holds " + std::to_string(*size) + " bytes, fewer than " +
                            std::to_string(minSize),
                    EINVAL);
    }
    auto region = MappedRegion::Map(segment.m_fd, *size, access);
    if (!region) {
        return Unexpected{region.error()};
    }
    segment.m_region = std::move(*region);
    return segment;
}

Result<ShmSegment> ShmSegment::OpenOrCreate(const IpcNamespace& ns, std::string_view name, std::size_t size)
{
    QM_ASSERT(size > 0);
    auto created = CreateExclusive(ns, name, size);
    if (created || created.error().Code != EEXIST) {
        return created;
    }
    ShmSegment segment;
    segment.m_name = ns.ShmName(name);
    segment.m_fd = ::shm_open(segment.m_name.c_str(), O_RDWR | O_CLOEXEC, 0);
    if (segment.m_fd < 0) {
        return Fail(ErrorText("cannot open shared memory", segment.m_name, errno), errno);
    }
    auto current = SizeOf(segment.m_fd, segment.m_name);
    if (!current) {
        return Unexpected{current.error()};
    }
    if (*current == 0) {
        // Its creator has not sized it yet; both give it the same size.
        auto sized = Resize(segment.m_fd, size, segment.m_name);
        if (!sized) {
            return Unexpected{sized.error()};
        }
    } else if (*current != size) {
        return Fail("shared memory " + segment.m_name + " holds " + std::to_string(*current) + " bytes, not " +
                            std::to_string(size),
                    EINVAL);
    }
    auto region = MappedRegion::Map(segment.m_fd, size, ShmAccess::ReadWrite);
    if (!region) {
        return Unexpected{region.error()};
    }
    segment.m_region = std::move(*region);
    return segment;
}

Result<ShmSegment> ShmSegment::Recreate(const IpcNamespace& ns, std::string_view name, std::size_t size)
{
    // A failure to remove shows up as EEXIST from the creation below, which is the error worth reporting.
    UnlinkIgnoringMissing(ns.ShmName(name));
    return CreateExclusive(ns, name, size);
}

Result<ShmSegment> ShmSegment::Attach(const IpcNamespace& ns, std::string_view name, std::size_t size,
                                      const std::function<void(void*)>& initialize)
{
    QM_ASSERT(size > 0);
    const std::string lockName = ns.ShmName(std::string(name) + ".init");
    auto lock = LockAttachObject(lockName);
    if (!lock) {
        return Unexpected{lock.error()};
    }

    ShmSegment segment;
    segment.m_name = ns.ShmName(name);
    segment.m_fd = CreateObject(segment.m_name);
    segment.m_created = segment.m_fd >= 0;
    if (!segment.m_created && errno == EEXIST) {
        segment.m_fd = ::shm_open(segment.m_name.c_str(), O_RDWR | O_CLOEXEC, 0);
    }
    if (segment.m_fd < 0) {
        return Fail(ErrorText("cannot open shared memory", segment.m_name, errno), errno);
    }

    const int probe = Flock(segment.m_fd, FlockMode::ExclusiveNoWait);
    if (probe != 0 && probe != EWOULDBLOCK) {
        return Fail(ErrorText("cannot lock", segment.m_name, probe), probe);
    }
    segment.m_firstAttacher = probe == 0;
    auto result = segment.MapAttached(size, initialize);
    if (!result) {
        if (segment.m_firstAttacher) {
            // Nobody else has it: leave no half-made block behind, nor its lock.
            ::shm_unlink(segment.m_name.c_str());
            ::shm_unlink(lockName.c_str());
        }
        return Unexpected{result.error()};
    }
    segment.m_attachLockName = lockName;
    segment.m_attachPid = ::getpid();
    return segment;
}

Result<void> ShmSegment::MapAttached(std::size_t size, const std::function<void(void*)>& initialize)
{
    auto current = SizeOf(m_fd, m_name);
    if (!current) {
        return Unexpected{current.error()};
    }
    if (m_firstAttacher && !m_created) {
        // A block nobody holds, left by an earlier run: it gets the access of a new one (when it is ours to change).
        struct stat st {};

        if (::fstat(m_fd, &st) == 0 && st.st_uid == ::geteuid()) {
            (void)platform::ApplyAccess(m_fd, platform::SharedObjectAccess());
        }
    }
    if (*current != size) {
        if (!m_firstAttacher) {
            return Fail("shared memory " + m_name + " holds " + std::to_string(*current) + " bytes, not " +
                                std::to_string(size),
                        EINVAL);
        }
        auto sized = Resize(m_fd, size, m_name);
        if (!sized) {
            return sized;
        }
    }
    auto region = MappedRegion::Map(m_fd, size, ShmAccess::ReadWrite);
    if (!region) {
        return Unexpected{region.error()};
    }
    m_region = std::move(*region);
    if (m_firstAttacher) {
        std::memset(m_region.Data(), 0, size);
        if (initialize) {
            initialize(m_region.Data());
        }
    }
    // The first attacher turns its exclusive lock into a shared one. flock() does that in two steps, which is safe
    // only because every attacher and detacher holds the attach lock meanwhile.
    if (const int err = Flock(m_fd, FlockMode::Shared); err != 0) {
        m_region.Reset();
        return Fail(ErrorText("cannot lock", m_name, err), err);
    }
    return {};
}

Result<void> ShmSegment::Unlink(const IpcNamespace& ns, std::string_view name)
{
    const std::string segmentName = ns.ShmName(name);
    if (const int err = UnlinkIgnoringMissing(segmentName); err != 0) {
        return Fail(ErrorText("cannot remove shared memory", segmentName, err), err);
    }
    const std::string lockName = ns.ShmName(std::string(name) + ".init");
    if (const int err = UnlinkIgnoringMissing(lockName); err != 0) {
        return Fail(ErrorText("cannot remove shared memory", lockName, err), err);
    }
    return {};
}

void ShmSegment::Close()
{
    if (!m_attachLockName.empty() && m_fd >= 0 && m_attachPid == ::getpid()) {
        // Detach under the attach lock; the one that finds no other holder is the last and removes the segment,
        // as the shared block of a library vanishes with its last user.
        // The attach lock goes with it, while it is still held, so that no attacher waits on a removed one unawares.
        auto lock = LockAttachObject(m_attachLockName);
        const bool last = lock && Flock(m_fd, FlockMode::ExclusiveNoWait) == 0;
        m_region.Reset();
        if (last) {
            ::shm_unlink(m_name.c_str());
            ::shm_unlink(m_attachLockName.c_str());
        }
        ::close(m_fd);
    } else {
        m_region.Reset();
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    m_fd = -1;
    m_name.clear();
    m_attachLockName.clear();
    m_attachPid = 0;
    m_created = false;
    m_firstAttacher = false;
}

} // namespace qm
