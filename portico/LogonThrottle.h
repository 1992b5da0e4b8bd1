// The brake on password guessing at the admin server: failed Basic logons are counted per client address, and
// after a few of them that address's credentials are refused at once, without a check, for a time that doubles
// with every further failure. Nobody is made to wait, so one guesser cannot hold the one-at-a-time server.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <unordered_map>

namespace qm::portico {

struct LogonThrottlePolicy {
    int FreeFailures = 5;                                         // failures before the first lock-out
    std::chrono::milliseconds FirstDelay{1000};                   // lock-out after the last free failure
    std::chrono::milliseconds MaxDelay{std::chrono::minutes(5)};  // the doubling stops here
    std::chrono::milliseconds ForgetAfter{std::chrono::hours(1)}; // quiet time after which failures are forgotten
    std::size_t Capacity = 1024;                                  // addresses remembered
};

/// Used by the server's one thread.
class LogonThrottle {
public:
    using Clock = std::chrono::steady_clock;

    explicit LogonThrottle(LogonThrottlePolicy policy = {})
        : m_policy(policy)
    {}

    /// False while `address` is locked out: its credentials must be refused unchecked.
    bool Admit(std::uint32_t address, Clock::time_point now = Clock::now());

    /// A wrong password from `address`.
    void Failed(std::uint32_t address, Clock::time_point now = Clock::now());

    /// A good logon from `address`: its failures are forgotten.
    void Succeeded(std::uint32_t address) { m_entries.erase(address); }

private:
    struct Entry {
        int Failures = 0;
        Clock::time_point Last;
        Clock::time_point LockedUntil;
    };

    void MakeRoom(Clock::time_point now);

    LogonThrottlePolicy m_policy;
    std::unordered_map<std::uint32_t, Entry> m_entries;
};

} // namespace qm::portico
