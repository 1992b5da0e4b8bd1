// The budget of form bytes that the engine's requests hold at once: each large URL-encoded form takes its length
// from the budget before it is read and gives it back when its request ends, so that many large forms at once
// cannot take the engine's memory.
#pragma once

#include <cstddef>
#include <mutex>
#include <optional>

namespace qm::engine {

/// Forms up to this size are never counted nor refused: the logon and every ordinary page's form.
inline constexpr std::size_t kSmallFormBytes = std::size_t{64} * 1024;

/// [General] MaxFormMemory: KB of large forms that all requests may hold at once (0: no limit).
inline constexpr int kDefaultMaxFormMemoryKB = 64 * 1024;

/// The bytes reserved by large forms now. Thread-safe.
class FormBudget {
public:
    /// A reservation, given back when it is destroyed.
    class Hold {
    public:
        Hold(Hold&& other) noexcept;
        Hold& operator=(Hold&&) = delete;
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;
        ~Hold();

    private:
        friend class FormBudget;

        Hold(FormBudget& owner, std::size_t bytes)
            : m_owner(&owner)
            , m_bytes(bytes)
        {}

        FormBudget* m_owner;
        std::size_t m_bytes;
    };

    FormBudget() = default;
    FormBudget(const FormBudget&) = delete;
    FormBudget& operator=(const FormBudget&) = delete;

    /// Reserves bytes when what is held with them stays within limit (0: no limit); nullopt when it would not.
    std::optional<Hold> Reserve(std::size_t bytes, std::size_t limit);

    /// The bytes held now.
    std::size_t Held() const;

private:
    void Give(std::size_t bytes);

    mutable std::mutex m_lock;
    std::size_t m_held = 0;
};

/// The running engine's budget.
FormBudget& EngineFormBudget();

/// The limit of the engine's budget in bytes, from [General] MaxFormMemory (KB; 0 or less: no limit).
std::size_t EngineFormMemoryLimit();

} // namespace qm::engine
