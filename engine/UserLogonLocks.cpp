#include "engine/UserLogonLocks.h"

#include "common/StringUtil.h"

namespace qm::engine {

UserLogonLocks::Held UserLogonLocks::Lock(std::string_view userName)
{
    std::string key(userName);
    for (char& c : key) {
        c = FoldCase(c);
    }
    Slots::iterator slot;
    {
        std::lock_guard lock(m_mapLock);
        slot = m_slots.try_emplace(std::move(key)).first;
        ++slot->second.Users;
    }
    // The map's lock is not held while waiting: only logons of this name wait here.
    slot->second.Lock.lock();
    return Held(*this, slot);
}

std::size_t UserLogonLocks::Size() const
{
    std::lock_guard lock(m_mapLock);
    return m_slots.size();
}

void UserLogonLocks::Leave(Slots::iterator slot)
{
    slot->second.Lock.unlock();
    std::lock_guard lock(m_mapLock);
    if (--slot->second.Users == 0) {
        m_slots.erase(slot);
    }
}

UserLogonLocks& EngineUserLogonLocks()
{
    static UserLogonLocks locks;
    return locks;
}

} // namespace qm::engine
