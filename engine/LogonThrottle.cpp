#include "engine/LogonThrottle.h"

#include "common/StringUtil.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace qm::engine {
namespace {

constexpr std::size_t kMaxAddressKey = 64;

// The doubling stops here; MaxDelay cuts it long before for any sane policy.
constexpr int kMaxDoublings = 20;

// The 16-bit groups of one side of "::", an embedded IPv4 address counting as two groups (of no interest for the
// /64 network). False when a group is not 1 to 4 hex digits.
bool ParseGroups(std::string_view text, std::vector<std::uint16_t>& groups)
{
    if (text.empty()) {
        return true;
    }
    while (true) {
        const std::size_t colon = text.find(':');
        const std::string_view group = text.substr(0, colon);
        if (group.find('.') != std::string_view::npos && colon == std::string_view::npos) {
            groups.push_back(0);
            groups.push_back(0);
            return true;
        }
        if (group.empty() || group.size() > 4) {
            return false;
        }
        unsigned value = 0;
        for (const char c : group) {
            const int digit = HexDigitOrMinusOne(c);
            if (digit < 0) {
                return false;
            }
            value = value * 16 + static_cast<unsigned>(digit);
        }
        groups.push_back(static_cast<std::uint16_t>(value));
        if (colon == std::string_view::npos) {
            return true;
        }
        text.remove_prefix(colon + 1);
    }
}

// The first four groups of an IPv6 address text, or false when it is not one.
bool IPv6Network(std::string_view text, std::array<std::uint16_t, 4>& network)
{
    text = text.substr(0, text.find('%')); // a zone names the interface, not the host
    std::vector<std::uint16_t> head;
    std::vector<std::uint16_t> tail;
    const std::size_t gap = text.find("::");
    if (gap == std::string_view::npos) {
        if (!ParseGroups(text, head) || head.size() != 8) {
            return false;
        }
    } else {
        if (text.find("::", gap + 1) != std::string_view::npos || !ParseGroups(text.substr(0, gap), head) ||
            !ParseGroups(text.substr(gap + 2), tail) || head.size() + tail.size() > 7) {
            return false;
        }
        head.resize(8 - tail.size(), 0);
        head.insert(head.end(), tail.begin(), tail.end());
    }
    std::copy_n(head.begin(), 4, network.begin());
    return true;
}

} // namespace

LogonThrottle::Attempt::Attempt(Attempt&& other) noexcept
    : m_owner(std::exchange(other.m_owner, nullptr))
    , m_address(std::move(other.m_address))
    , m_account(std::move(other.m_account))
    , m_outcome(other.m_outcome)
{}

LogonThrottle::Attempt::~Attempt()
{
    if (m_owner != nullptr) {
        m_owner->Settle(*this);
    }
}

LogonThrottle::LogonThrottle(LogonThrottlePolicy policy, Clock clock)
    : m_policy(policy)
    , m_clock(std::move(clock))
{
    if (!m_clock) {
        m_clock = [] {
            return std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::steady_clock::now().time_since_epoch());
        };
    }
}

std::string LogonThrottle::AddressKey(std::string_view address)
{
    std::array<std::uint16_t, 4> network{};
    if (address.find(':') != std::string_view::npos && IPv6Network(address, network)) {
        char text[48];
        (void)std::snprintf(text, sizeof text, "%x:%x:%x:%x::/64", network[0], network[1], network[2], network[3]);
        return text;
    }
    return std::string(address.substr(0, kMaxAddressKey));
}

LogonThrottle::Verdict LogonThrottle::Admit(std::string_view address, std::string_view account)
{
    std::string addressKey = AddressKey(address);
    std::string accountKey(account);
    std::lock_guard lock(m_lock);
    const std::chrono::milliseconds now = m_clock();
    const std::chrono::milliseconds wait = std::max(Blocked(m_addresses, addressKey, m_policy.AddressFreeFailures, now),
                                                    Blocked(m_accounts, accountKey, m_policy.AccountFreeFailures, now));
    Verdict verdict;
    if (wait.count() > 0) {
        verdict.Wait = wait;
        return verdict;
    }
    Entry* byAddress = Enter(m_addresses, addressKey, now);
    Entry* byAccount = byAddress != nullptr ? Enter(m_accounts, accountKey, now) : nullptr;
    if (byAccount == nullptr) {
        // Every entry is in a running check: nothing can make room, so nothing is checked unseen.
        verdict.Wait = m_policy.FirstDelay;
        return verdict;
    }
    ++byAddress->Running;
    ++byAccount->Running;
    verdict.Admitted.emplace(Attempt(*this, std::move(addressKey), std::move(accountKey)));
    return verdict;
}

std::size_t LogonThrottle::Accounts() const
{
    std::lock_guard lock(m_lock);
    return m_accounts.size();
}

std::size_t LogonThrottle::Addresses() const
{
    std::lock_guard lock(m_lock);
    return m_addresses.size();
}

std::chrono::milliseconds LogonThrottle::Blocked(Table& table, const std::string& key, int freeFailures,
                                                 std::chrono::milliseconds now)
{
    const auto found = table.find(key);
    if (found == table.end()) {
        return std::chrono::milliseconds(0);
    }
    Entry& entry = found->second;
    if (entry.Running == 0 && now - entry.LastFailure >= m_policy.ForgetAfter) {
        table.erase(found);
        return std::chrono::milliseconds(0);
    }
    if (entry.BlockedUntil > now) {
        return entry.BlockedUntil - now;
    }
    // Past its free failures a key is checked one logon at a time, so that a burst cannot outrun the count.
    if (entry.Running > 0 && entry.Failures + entry.Running >= freeFailures) {
        return m_policy.FirstDelay;
    }
    return std::chrono::milliseconds(0);
}

LogonThrottle::Entry* LogonThrottle::Enter(Table& table, const std::string& key, std::chrono::milliseconds now)
{
    if (const auto found = table.find(key); found != table.end()) {
        return &found->second;
    }
    if (table.size() >= m_policy.Capacity) {
        // Room from what is forgotten; else the entry quiet for longest goes (never one with a check running).
        for (auto it = table.begin(); it != table.end();) {
            const bool forgotten = it->second.Running == 0 && now - it->second.LastFailure >= m_policy.ForgetAfter;
            it = forgotten ? table.erase(it) : std::next(it);
        }
        if (table.size() >= m_policy.Capacity) {
            auto oldest = table.end();
            for (auto it = table.begin(); it != table.end(); ++it) {
                if (it->second.Running == 0 &&
                    (oldest == table.end() || it->second.LastFailure < oldest->second.LastFailure)) {
                    oldest = it;
                }
            }
            if (oldest == table.end()) {
                return nullptr;
            }
            table.erase(oldest);
        }
    }
    Entry& entry = table[key];
    entry.LastFailure = now;
    return &entry;
}

void LogonThrottle::Settle(Attempt& attempt)
{
    const bool failed = attempt.m_outcome == Attempt::Outcome::Failed;
    const bool succeeded = attempt.m_outcome == Attempt::Outcome::Succeeded;
    std::lock_guard lock(m_lock);
    const std::chrono::milliseconds now = m_clock();
    // A right password clears its account; the address keeps its count, or one account of the guesser's own
    // would wipe the count of its guesses at others.
    Count(m_addresses, attempt.m_address, m_policy.AddressFreeFailures, failed, false, now);
    Count(m_accounts, attempt.m_account, m_policy.AccountFreeFailures, failed, succeeded, now);
}

void LogonThrottle::Count(Table& table, const std::string& key, int freeFailures, bool failed, bool forget,
                          std::chrono::milliseconds now)
{
    const auto found = table.find(key);
    if (found == table.end()) {
        return;
    }
    Entry& entry = found->second;
    --entry.Running;
    if (forget) {
        entry.Failures = 0;
        entry.BlockedUntil = std::chrono::milliseconds(0);
    }
    if (failed) {
        ++entry.Failures;
        entry.LastFailure = now;
        if (entry.Failures >= freeFailures) {
            const int doublings = std::min(entry.Failures - freeFailures, kMaxDoublings);
            const std::chrono::milliseconds doubled(m_policy.FirstDelay.count() << doublings);
            const std::chrono::milliseconds delay = std::min(doubled, m_policy.MaxDelay);
            entry.BlockedUntil = std::max(entry.BlockedUntil, now + delay);
        }
    }
    if (entry.Running == 0 && entry.Failures == 0) {
        table.erase(found);
    }
}

LogonThrottle& EngineLogonThrottle()
{
    static LogonThrottle throttle;
    return throttle;
}

} // namespace qm::engine
