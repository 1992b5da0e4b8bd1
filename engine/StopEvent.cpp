#include "engine/StopEvent.h"

namespace qm::engine {

void StopEvent::Signal()
{
    {
        std::lock_guard lock(m_lock);
        m_signalled = true;
    }
    m_changed.notify_all();
}

void StopEvent::Reset()
{
    std::lock_guard lock(m_lock);
    m_signalled = false;
}

bool StopEvent::IsSignalled() const
{
    std::lock_guard lock(m_lock);
    return m_signalled;
}

bool StopEvent::WaitFor(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(m_lock);
    return m_changed.wait_for(lock, timeout, [this] { return m_signalled; });
}

} // namespace qm::engine
