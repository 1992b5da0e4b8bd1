// A message for the next page (a session's status or error message): set by any thread, taken once by the page.
#pragma once

#include <atomic>
#include <memory>
#include <string_view>

namespace qm::engine {

/// Holds at most one owned text. Set and Take are single atomic exchanges, so a writer (the maintenance thread
/// broadcasting an alert) and a page that shows the text never meet half-way: the page owns what it took and the
/// writer frees only a text that nobody can reach any more. Safe from any number of threads.
class MessageSlot {
public:
    MessageSlot() = default;
    MessageSlot(const MessageSlot&) = delete;
    MessageSlot& operator=(const MessageSlot&) = delete;

    ~MessageSlot() { Clear(); }

    /// Puts a copy of text in the slot; the text it held before is freed.
    void Set(std::string_view text);

    /// Empties the slot, freeing its text.
    void Clear() { delete[] m_text.exchange(nullptr, std::memory_order_acq_rel); }

    /// Takes the text out of the slot (null when empty); the slot is empty afterwards and the caller owns the text.
    std::unique_ptr<char[]> Take()
    {
        return std::unique_ptr<char[]>(m_text.exchange(nullptr, std::memory_order_acq_rel));
    }

    /// True when the slot holds a text (which another thread may take at any moment).
    bool IsSet() const { return m_text.load(std::memory_order_acquire) != nullptr; }

private:
    std::atomic<char*> m_text{nullptr};
};

} // namespace qm::engine
