// Waiting in tests: for a condition with a deadline (never a fixed sleep), and a start line that lets the threads
// of a concurrency test begin together.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>

namespace qm::test {

using TestClock = std::chrono::steady_clock;

/// How long a test waits for something that should happen at once on an idle machine; generous for a loaded one.
inline constexpr std::chrono::seconds kPatience{30};

/// Checks predicate until it holds or deadline passes; true when it held. Checks once more at the deadline, so
/// that a condition met in the last pause still counts. The pause between checks grows from 1 ms to 20 ms.
template <typename Predicate>
bool WaitUntil(Predicate&& predicate, TestClock::time_point deadline)
{
    std::chrono::milliseconds pause{1};
    for (;;) {
        if (predicate()) {
            return true;
        }
        const auto now = TestClock::now();
        if (now >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::min<TestClock::duration>(pause, deadline - now));
        pause = std::min(pause * 2, std::chrono::milliseconds{20});
    }
}

/// The same with a time budget counted from now.
template <typename Predicate>
bool WaitUntil(Predicate&& predicate, TestClock::duration budget = kPatience)
{
    return WaitUntil(std::forward<Predicate>(predicate), TestClock::now() + budget);
}

/// A start line for a fixed number of parties: each calls ArriveAndWait, and none goes on before all have arrived,
/// so that the threads of a test overlap instead of running one after the other. Unlike std::latch, a party
/// gives up after a deadline (false), so a test that failed before every thread started cannot hang.
class StartLine {
public:
    explicit StartLine(std::size_t parties)
        : m_left(parties)
    {}

    StartLine(const StartLine&) = delete;
    StartLine& operator=(const StartLine&) = delete;

    /// Arrives and waits for the others; false when they did not all arrive within budget.
    bool ArriveAndWait(TestClock::duration budget = kPatience)
    {
        std::unique_lock lock(m_lock);
        if (m_left > 0 && --m_left == 0) {
            m_allThere.notify_all();
            return true;
        }
        return m_allThere.wait_for(lock, budget, [this] { return m_left == 0; });
    }

private:
    std::mutex m_lock;
    std::condition_variable m_allThere;
    std::size_t m_left;
};

} // namespace qm::test
