// A robust, recursive mutex shared between processes, living inside a shared memory block.
#pragma once

#include "base/Result.h"

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <type_traits>

namespace qm {

/// How long a wait for a shared mutex lasts unless the caller says otherwise. Another process holds the mutex only
/// for a few copies; one that holds it longer is stuck (stopped, or worse), and its peers answer with an error.
inline constexpr std::chrono::milliseconds kDefaultSharedLockTimeout{10000};

/// The time-out of Lock() and of SharedMutexGuard in this process: kDefaultSharedLockTimeout unless set.
std::chrono::milliseconds SharedLockTimeout();

/// Sets the time-out of Lock() and SharedMutexGuard for the whole process (tests shorten it); a value below 1 ms
/// restores the default.
void SetSharedLockTimeout(std::chrono::milliseconds timeout);

/// How a lock was obtained. OwnerDied: the previous owner ended (crash or kill) while holding the mutex; the lock
/// is held now and the mutex works on, but the data it guards may be half-changed and deserves a check.
enum class SharedLockState {
    Acquired,
    OwnerDied
};

/// A process-shared, robust, recursive mutex. The object is plain storage of a fixed size and alignment, with no
/// constructor, so that it can sit in a record shared between processes (which stays trivially copyable with a known
/// size); the pthread mutex lives inside it and no system header shows here.
///
/// Life: the process that creates the shared block (the first attacher, ShmSegment::Attach) calls Init() once on
/// the zeroed storage before any other process can reach it. Afterwards every process that maps the block calls
/// Lock()/Unlock() on it. No wait is endless: every lock gives up after a time-out. Owner-recursive: the thread that
/// holds it may lock it again and must unlock as often. A holder that dies releases it: the next Lock() reports
/// SharedLockState::OwnerDied. Never copy a live mutex.
class SharedMutex {
public:
    static constexpr std::size_t kStorageSize = 64;

    /// Initialises the mutex in place. Only on storage that no process uses; fails only when the system refuses the
    /// attributes (Code is the error number).
    Result<void> Init();

    /// Waits for the mutex at most SharedLockTimeout(). Fails with Code ETIMEDOUT when another still holds it then,
    /// and with another code when the mutex is broken (not initialised, or left unrecoverable).
    Result<SharedLockState> Lock();

    /// As Lock(), but gives up after timeout (0: one attempt); a mutex still held by another then fails with Code
    /// ETIMEDOUT.
    Result<SharedLockState> TryLockFor(std::chrono::milliseconds timeout);

    /// Releases one level of the calling thread's lock. Unlocking a mutex the thread does not hold is a bug.
    void Unlock();

private:
    alignas(8) unsigned char m_storage[kStorageSize];
};

static_assert(sizeof(SharedMutex) == SharedMutex::kStorageSize && alignof(SharedMutex) == 8);
static_assert(std::is_trivially_copyable_v<SharedMutex> && std::is_standard_layout_v<SharedMutex>);

/// Holds a SharedMutex for a scope, waiting at most SharedLockTimeout() (or the time-out given). Check Locked()
/// before touching the guarded data; a guard that timed out holds nothing and the caller answers with its failure.
class SharedMutexGuard {
public:
    explicit SharedMutexGuard(SharedMutex& mutex);
    SharedMutexGuard(SharedMutex& mutex, std::chrono::milliseconds timeout);
    SharedMutexGuard(const SharedMutexGuard&) = delete;
    SharedMutexGuard& operator=(const SharedMutexGuard&) = delete;
    ~SharedMutexGuard();

    bool Locked() const { return m_locked; }

    explicit operator bool() const { return m_locked; }

    /// The previous owner died holding the mutex (see SharedLockState::OwnerDied).
    bool OwnerDied() const { return m_ownerDied; }

    /// The failure of the lock when !Locked().
    int ErrorCode() const { return m_error; }

    /// The lock was not obtained because another held the mutex for the whole time-out.
    bool TimedOut() const { return m_error == ETIMEDOUT; }

private:
    SharedMutex& m_mutex;
    bool m_locked = false;
    bool m_ownerDied = false;
    int m_error = 0;
};

} // namespace qm
