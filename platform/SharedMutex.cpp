#include "platform/SharedMutex.h"

#include "base/Assert.h"

#include <atomic>
#include <cerrno>
#include <ctime>
#include <new>

#include <pthread.h>

namespace qm {

static_assert(sizeof(pthread_mutex_t) <= SharedMutex::kStorageSize, "SharedMutex storage too small");
static_assert(alignof(pthread_mutex_t) <= alignof(SharedMutex), "SharedMutex storage misaligned");

namespace {

std::atomic<std::chrono::milliseconds::rep> g_lockTimeoutMs{kDefaultSharedLockTimeout.count()};

pthread_mutex_t* Native(unsigned char* storage)
{
    return std::launder(reinterpret_cast<pthread_mutex_t*>(storage));
}

Result<SharedLockState> Outcome(pthread_mutex_t* mutex, int rc)
{
    if (rc == 0) {
        return SharedLockState::Acquired;
    }
    if (rc == EOWNERDEAD) {
        // We hold it now; marking it consistent keeps it usable after we unlock.
        pthread_mutex_consistent(mutex);
        return SharedLockState::OwnerDied;
    }
    if (rc == EBUSY || rc == ETIMEDOUT) {
        return Fail("shared mutex busy", ETIMEDOUT);
    }
    return Fail("shared mutex unusable", rc);
}

} // namespace

std::chrono::milliseconds SharedLockTimeout()
{
    return std::chrono::milliseconds(g_lockTimeoutMs.load(std::memory_order_relaxed));
}

void SetSharedLockTimeout(std::chrono::milliseconds timeout)
{
    g_lockTimeoutMs.store(timeout.count() >= 1 ? timeout.count() : kDefaultSharedLockTimeout.count(),
                          std::memory_order_relaxed);
}

Result<void> SharedMutex::Init()
{
    pthread_mutexattr_t attr;
    int rc = pthread_mutexattr_init(&attr);
    if (rc == 0) {
        rc = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    }
    if (rc == 0) {
        rc = pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    }
    if (rc == 0) {
        rc = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    }
    if (rc == 0) {
        rc = pthread_mutex_init(new (m_storage) pthread_mutex_t, &attr);
    }
    pthread_mutexattr_destroy(&attr);
    if (rc != 0) {
        return Fail("cannot initialise shared mutex", rc);
    }
    return {};
}

Result<SharedLockState> SharedMutex::Lock()
{
    return TryLockFor(SharedLockTimeout());
}

Result<SharedLockState> SharedMutex::TryLockFor(std::chrono::milliseconds timeout)
{
    pthread_mutex_t* mutex = Native(m_storage);
    if (timeout.count() <= 0) {
        return Outcome(mutex, pthread_mutex_trylock(mutex));
    }
    // timedlock takes a CLOCK_REALTIME deadline; a clock step during the wait only stretches or shortens it.
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    const auto ms = timeout.count();
    deadline.tv_sec += static_cast<time_t>(ms / 1000);
    deadline.tv_nsec += static_cast<long>((ms % 1000) * 1000000);
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    return Outcome(mutex, pthread_mutex_timedlock(mutex, &deadline));
}

void SharedMutex::Unlock()
{
    const int rc = pthread_mutex_unlock(Native(m_storage));
    QM_ASSERT(rc == 0);
}

SharedMutexGuard::SharedMutexGuard(SharedMutex& mutex)
    : SharedMutexGuard(mutex, SharedLockTimeout())
{}

SharedMutexGuard::SharedMutexGuard(SharedMutex& mutex, std::chrono::milliseconds timeout)
    : m_mutex(mutex)
{
    auto state = m_mutex.TryLockFor(timeout);
    m_locked = state.has_value();
    m_ownerDied = m_locked && *state == SharedLockState::OwnerDied;
    m_error = m_locked ? 0 : state.error().Code;
}

SharedMutexGuard::~SharedMutexGuard()
{
    if (m_locked) {
        m_mutex.Unlock();
    }
}

} // namespace qm
