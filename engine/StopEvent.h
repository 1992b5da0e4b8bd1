// A manual-reset event: once signalled it stays signalled until reset, and every waiter wakes.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace qm::engine {

class StopEvent {
public:
    /// Signals the event and wakes every waiter.
    void Signal();

    /// Makes the event not signalled again.
    void Reset();

    bool IsSignalled() const;

    /// Waits until the event is signalled or timeout has passed; true when it is signalled.
    bool WaitFor(std::chrono::milliseconds timeout);

private:
    mutable std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_signalled = false;
};

} // namespace qm::engine
