// Named POSIX shared memory segments, their mappings, and the first-attacher rule for blocks that every process of
// an installation shares.
//
// Segments are named "/qm.<ns>.<name>" (IpcNamespace::ShmName). A segment this layer creates, and the attach lock
// beside it, belong to the installation's owner (platform::SharedObjectAccess: mode 0600, or 0660 with the group
// the administrator names for the console), forced with fchown()/fchmod() whatever the umask. Nobody else may read
// the session ids in them, write them, or take their mutex.
#pragma once

#include "base/Assert.h"
#include "base/Result.h"
#include "platform/IpcNamespace.h"
#include "platform/ObjectAccess.h"

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace qm {

enum class ShmAccess {
    ReadOnly,
    ReadWrite
};

/// One mmap()ed range, unmapped on destruction. Move-only.
class MappedRegion {
public:
    MappedRegion() = default;
    MappedRegion(const MappedRegion&) = delete;
    MappedRegion& operator=(const MappedRegion&) = delete;
    MappedRegion(MappedRegion&& other) noexcept;
    MappedRegion& operator=(MappedRegion&& other) noexcept;

    ~MappedRegion() { Reset(); }

    /// Maps size bytes of fd from offset 0, shared (MAP_SHARED), with the given access. fd stays the caller's.
    static Result<MappedRegion> Map(int fd, std::size_t size, ShmAccess access);

    void* Data() const { return m_data; }

    std::size_t Size() const { return m_size; }

    bool IsMapped() const { return m_data != nullptr; }

    void Reset();

private:
    void* m_data = nullptr;
    std::size_t m_size = 0;
};

/// A named shared memory segment, mapped whole. Move-only; the destructor unmaps it and closes the descriptor, and
/// for a segment from Attach() it also leaves the group of attached processes (below). The name stays until
/// Unlink() (or the last Attach() detaches), as POSIX names outlive their users.
class ShmSegment {
public:
    ShmSegment() = default;
    ShmSegment(const ShmSegment&) = delete;
    ShmSegment& operator=(const ShmSegment&) = delete;
    ShmSegment(ShmSegment&& other) noexcept;
    ShmSegment& operator=(ShmSegment&& other) noexcept;

    ~ShmSegment() { Close(); }

    /// Creates a new segment of size bytes (zero-filled), mapped read-write. Fails with Code EEXIST when the name
    /// exists already; on any later failure the new name is removed again.
    static Result<ShmSegment> CreateExclusive(const IpcNamespace& ns, std::string_view name, std::size_t size);

    /// Opens an existing segment and maps all of it. Fails with ENOENT when there is none, and with EINVAL when it
    /// is smaller than minSize (an empty segment is one whose creator has not yet sized it).
    static Result<ShmSegment> Open(const IpcNamespace& ns, std::string_view name, ShmAccess access,
                                   std::size_t minSize = 1);

    /// Opens the segment, creating it with size bytes when it does not exist (Created() tells which). An existing
    /// segment of another non-zero size is refused with EINVAL.
    static Result<ShmSegment> OpenOrCreate(const IpcNamespace& ns, std::string_view name, std::size_t size);

    /// Removes any segment of that name and creates a new one exclusively. Only for the owner of the name, under the
    /// lock that makes it the owner (EngineLock): a segment that exists then is a left-over of a dead owner.
    static Result<ShmSegment> Recreate(const IpcNamespace& ns, std::string_view name, std::size_t size);

    /// Maps the block that every process of the namespace shares, by the first-attacher rule: when no other process
    /// is attached, the block is zero-filled and then given to initialize (the caller sets its initial values and
    /// initialises any SharedMutex in it), and FirstAttacher() is true; a process that attaches while another holds
    /// the block keeps its content. The block is read-write and of exactly size bytes; an existing block of another
    /// size, attached by others, is refused with EINVAL. The last process to detach removes the segment. Every
    /// process reaches such a block through Attach() only: a mapping made with Open() does not count as attached
    /// and could be zeroed under its feet.
    ///
    /// How: an exclusive flock() on the object "/qm.<ns>.<name>.init" serialises attaching and detaching (the last
    /// process to detach removes it too; a process that locked a removed one opens the name again); under it,
    /// a non-blocking exclusive flock() on the segment itself succeeds only when nobody else holds a shared one, and
    /// every attached process then holds a shared flock() on the segment until it detaches. The kernel drops the
    /// locks of a process that dies, so a crashed process never counts as attached. The locks live beside the
    /// segment in the shared memory file system, so they reach exactly the processes that can reach the block.
    static Result<ShmSegment> Attach(const IpcNamespace& ns, std::string_view name, std::size_t size,
                                     const std::function<void(void*)>& initialize);

    /// Removes the name of the segment and of its attach lock object; a name that does not exist is no error.
    /// Processes that have it mapped keep their mapping.
    static Result<void> Unlink(const IpcNamespace& ns, std::string_view name);

    void* Data() const { return m_region.Data(); }

    std::size_t Size() const { return m_region.Size(); }

    bool IsOpen() const { return m_region.IsMapped(); }

    /// The block as a T; T must fit (a bug otherwise). mmap() gives page alignment.
    template <class T>
    T* As() const
    {
        QM_ASSERT(sizeof(T) <= Size());
        return static_cast<T*>(Data());
    }

    /// The full POSIX name, "/qm.<ns>.<name>".
    const std::string& Name() const { return m_name; }

    /// This call created the segment (CreateExclusive, Recreate, OpenOrCreate that created it, or a first Attach
    /// that found no segment at all).
    bool Created() const { return m_created; }

    /// Attach() found nobody else attached and initialised the block.
    bool FirstAttacher() const { return m_firstAttacher; }

    /// Unmaps and closes now (what the destructor does). A child forked from an attached process shares its locks,
    /// so in the child this only unmaps and closes: the parent stays attached.
    void Close();

private:
    Result<void> MapAttached(std::size_t size, const std::function<void(void*)>& initialize);

    std::string m_name;
    std::string m_attachLockName; // set for a segment from Attach()
    int m_fd = -1;
    int m_attachPid = 0; // the process that attached; a forked child never detaches for it
    MappedRegion m_region;
    bool m_created = false;
    bool m_firstAttacher = false;
};

} // namespace qm
