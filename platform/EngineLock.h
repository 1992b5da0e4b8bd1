// The lock that lets one engine run per namespace.
#pragma once

#include "base/Result.h"
#include "platform/IpcNamespace.h"

#include <string>

namespace qm {

/// An exclusive flock() on "<runtime dir>/engine.<ns>.lock", held by the engine from start-up to shut-down. The
/// kernel drops it when its process ends in any way, so "the lock is held" means "another live engine runs", and a
/// segment an engine created under the lock and left behind when it was killed is stale once the lock is free (see
/// ShmSegment::Recreate). Move-only; released on destruction. The lock file itself is never removed (removing a lock
/// file while another process opens it would let two processes hold "the" lock).
class EngineLock {
public:
    EngineLock() = default;
    EngineLock(const EngineLock&) = delete;
    EngineLock& operator=(const EngineLock&) = delete;
    EngineLock(EngineLock&& other) noexcept;
    EngineLock& operator=(EngineLock&& other) noexcept;

    ~EngineLock() { Release(); }

    /// Takes the lock without waiting. Fails with Code EWOULDBLOCK when another holds it (another process, or
    /// another EngineLock of this process), or with the error of the runtime directory or the lock file.
    static Result<EngineLock> TryAcquire(const IpcNamespace& ns);

    bool Held() const { return m_fd >= 0; }

    const std::string& Path() const { return m_path; }

    /// Releases the lock now (what the destructor does). In a child forked from the holder this only closes the
    /// child's descriptor: the lock stays with the parent.
    void Release();

private:
    int m_fd = -1;
    int m_ownerPid = 0; // a forked child that inherits the object must not release its parent's lock
    std::string m_path;
};

} // namespace qm
