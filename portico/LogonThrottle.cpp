#include "portico/LogonThrottle.h"

#include <algorithm>

namespace qm::portico {

bool LogonThrottle::Admit(std::uint32_t address, Clock::time_point now)
{
    const auto found = m_entries.find(address);
    if (found == m_entries.end()) {
        return true;
    }
    if (now - found->second.Last >= m_policy.ForgetAfter) {
        m_entries.erase(found);
        return true;
    }
    return now >= found->second.LockedUntil;
}

void LogonThrottle::Failed(std::uint32_t address, Clock::time_point now)
{
    if (m_entries.find(address) == m_entries.end() && m_entries.size() >= m_policy.Capacity) {
        MakeRoom(now);
    }
    Entry& entry = m_entries[address];
    if (entry.Failures > 0 && now - entry.Last >= m_policy.ForgetAfter) {
        entry = Entry{};
    }
    ++entry.Failures;
    entry.Last = now;
    const int over = entry.Failures - m_policy.FreeFailures;
    if (over < 0) {
        return;
    }
    std::chrono::milliseconds delay = m_policy.FirstDelay;
    for (int i = 0; i < over && delay < m_policy.MaxDelay; ++i) {
        delay *= 2;
    }
    entry.LockedUntil = now + std::min(delay, m_policy.MaxDelay);
}

void LogonThrottle::MakeRoom(Clock::time_point now)
{
    // The entry quiet for longest goes (a full table of active guessers keeps the newest).
    auto oldest = m_entries.begin();
    for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
        if (it->second.Last < oldest->second.Last) {
            oldest = it;
        }
    }
    if (oldest != m_entries.end() && (now >= oldest->second.Last)) {
        m_entries.erase(oldest);
    }
}

} // namespace qm::portico
