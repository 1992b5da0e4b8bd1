// A message for the next page (a session's status or error message): set by any thread, taken once by the page.
#pragma once

#include <atomic>
#include <memory>
#include <string_view>

namespace qm::engine {

/// What a message for the next page tells: a notice (something done, or news) or a refusal (something could not be
/// done). Pages show the two differently.
enum class MessageTone : unsigned char {
    Notice,
    Refusal
};

/// Holds at most one owned text, with its tone. Set and Take are single atomic exchanges, so a writer (the maintenance
/// thread broadcasting an alert) and a page that shows the text never meet half-way: the page owns what it took and the
/// writer frees only a text that nobody can reach any more. Safe from any number of threads.
class MessageSlot {
public:
    MessageSlot() = default;
    MessageSlot(const MessageSlot&) = delete;
    MessageSlot& operator=(const MessageSlot&) = delete;

    ~MessageSlot() { Clear(); }

    /// Puts a copy of text in the slot with its tone; the text it held before is freed.
    void Set(std::string_view text, MessageTone tone = MessageTone::Notice);

    /// The tone given with the text last put in the slot. Only one thread writes a status slot (the request that
    /// holds its session), so this is the tone of the text the slot holds.
    MessageTone Tone() const { return m_tone.load(std::memory_order_acquire); }

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
    std::atomic<MessageTone> m_tone{MessageTone::Notice};
};

} // namespace qm::engine
