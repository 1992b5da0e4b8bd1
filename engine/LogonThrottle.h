// The brake on password guessing: failed logons are counted per client address and per account, and after a few
// of them further logons of that address or account are refused at once, without a password check, for a time
// that doubles with every further failure.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace qm::engine {

/// How the throttle counts. The defaults are the engine's.
struct LogonThrottlePolicy {
    /// Failures of one account, and of one client address (many users may share one), before the first delay.
    int AccountFreeFailures = 5;
    int AddressFreeFailures = 10;

    /// The delay after the last free failure; it doubles with every further failure, up to MaxDelay.
    std::chrono::milliseconds FirstDelay{1000};
    std::chrono::milliseconds MaxDelay{std::chrono::minutes(5)};

    /// Failures are forgotten this long after the last one.
    std::chrono::milliseconds ForgetAfter{std::chrono::hours(1)};

    /// Accounts and addresses the throttle remembers, each; past that the longest quiet entry makes room.
    std::size_t Capacity = 2048;
};

/// The failed-logon counts of the engine, in a table of fixed size. Thread-safe; its lock is held only for the
/// table's bookkeeping, never while a password is checked, and nobody is ever made to wait: a logon that must
/// wait is refused at once and may come again when the delay is over.
class LogonThrottle {
public:
    /// The time now, on a clock that only moves forward.
    using Clock = std::function<std::chrono::milliseconds()>;

    /// One admitted logon check. Counts as a failure when Failed() is called, else as no failure (the account's
    /// failures are then forgotten when Succeeded() was called). Settles when destroyed.
    class Attempt {
    public:
        Attempt(Attempt&& other) noexcept;
        Attempt& operator=(Attempt&&) = delete;
        Attempt(const Attempt&) = delete;
        Attempt& operator=(const Attempt&) = delete;
        ~Attempt();

        /// The password was wrong.
        void Failed() { m_outcome = Outcome::Failed; }

        /// The logon was accepted.
        void Succeeded() { m_outcome = Outcome::Succeeded; }

    private:
        friend class LogonThrottle;
        enum class Outcome {
            Unknown,
            Failed,
            Succeeded
        };

        Attempt(LogonThrottle& owner, std::string address, std::string account)
            : m_owner(&owner)
            , m_address(std::move(address))
            , m_account(std::move(account))
        {}

        LogonThrottle* m_owner;
        std::string m_address;
        std::string m_account;
        Outcome m_outcome = Outcome::Unknown;
    };

    /// What Admit decided: an attempt, or the time to wait before the next one is checked.
    struct Verdict {
        std::optional<Attempt> Admitted;
        std::chrono::milliseconds Wait{0};
    };

    explicit LogonThrottle(LogonThrottlePolicy policy = {}, Clock clock = {});

    LogonThrottle(const LogonThrottle&) = delete;
    LogonThrottle& operator=(const LogonThrottle&) = delete;

    /// Whether the password of account (its name as LogonAccountKey gives it) may be checked for a client at address
    /// now. Refused while the address or the account waits out a delay, and, once either has used its free
    /// failures, while another check of it runs (so that guesses sent at once are checked one by one).
    Verdict Admit(std::string_view address, std::string_view account);

    /// The key of a client address: an IPv6 address by its /64 network (one client often has all of it), any
    /// other text as it is (at most 64 bytes).
    static std::string AddressKey(std::string_view address);

    /// The accounts and the addresses remembered now.
    std::size_t Accounts() const;
    std::size_t Addresses() const;

private:
    struct Entry {
        int Failures = 0;
        int Running = 0; // admitted checks not yet settled
        std::chrono::milliseconds LastFailure{0};
        std::chrono::milliseconds BlockedUntil{0};
    };

    using Table = std::unordered_map<std::string, Entry>;

    std::chrono::milliseconds Blocked(Table& table, const std::string& key, int freeFailures,
                                      std::chrono::milliseconds now);
    Entry* Enter(Table& table, const std::string& key, std::chrono::milliseconds now);
    void Settle(Attempt& attempt);
    void Count(Table& table, const std::string& key, int freeFailures, bool failed, bool forget,
               std::chrono::milliseconds now);

    LogonThrottlePolicy m_policy;
    Clock m_clock;
    mutable std::mutex m_lock;
    Table m_accounts;
    Table m_addresses;
};

/// The running engine's throttle.
LogonThrottle& EngineLogonThrottle();

} // namespace qm::engine
