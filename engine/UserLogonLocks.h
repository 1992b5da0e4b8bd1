// Locks by user name for the logon: two logons of one user run one after the other from the look-up of the old
// session to the new one, while logons of other users go on.
#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

namespace qm::engine {

/// One lock per user name (compared without regard to ASCII case), made when the first caller asks for it and
/// dropped when the last one leaves, so the map holds only the names being logged on now. Thread-safe.
class UserLogonLocks {
    struct Slot {
        std::mutex Lock;
        int Users = 0; // holders and waiters; guarded by m_mapLock
    };

    using Slots = std::map<std::string, Slot>;

public:
    /// Holds the lock of one name until destroyed.
    class Held {
    public:
        Held(Held&& other) noexcept
            : m_owner(std::exchange(other.m_owner, nullptr))
            , m_slot(other.m_slot)
        {}

        Held& operator=(Held&&) = delete;
        Held(const Held&) = delete;
        Held& operator=(const Held&) = delete;

        ~Held()
        {
            if (m_owner != nullptr) {
                m_owner->Leave(m_slot);
            }
        }

    private:
        friend class UserLogonLocks;

        Held(UserLogonLocks& owner, Slots::iterator slot)
            : m_owner(&owner)
            , m_slot(slot)
        {}

        UserLogonLocks* m_owner;
        Slots::iterator m_slot;
    };

    UserLogonLocks() = default;
    UserLogonLocks(const UserLogonLocks&) = delete;
    UserLogonLocks& operator=(const UserLogonLocks&) = delete;

    /// Waits for the lock of userName and holds it. Only the caller of that name waits.
    [[nodiscard]] Held Lock(std::string_view userName);

    /// The number of names locked or waited for now.
    std::size_t Size() const;

private:
    void Leave(Slots::iterator slot);

    mutable std::mutex m_mapLock;
    Slots m_slots;
};

/// The engine's logon locks.
UserLogonLocks& EngineUserLogonLocks();

} // namespace qm::engine
