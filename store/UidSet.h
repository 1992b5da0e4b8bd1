// UidSet: a set of UIDs kept compact for mailboxes of many messages: the texts one after another in one buffer,
// their starts in one array and an open-addressing hash index of 32-bit positions, instead of one heap block and one
// node per UID.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qm::store {

class UidSet {
public:
    /// Returned by Find for a UID not in the set.
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

    /// Makes room for count UIDs of bytes in all, so that a set of known size is built without regrowing.
    void Reserve(std::size_t count, std::size_t bytes);

    /// Adds uid unless it is there already: its position (insertion order) and whether it was added. kNone and
    /// false when the set is full (4 GiB of text or 2^31 UIDs).
    std::pair<std::size_t, bool> Insert(std::string_view uid);

    /// The position of uid, or kNone. Exact comparison.
    std::size_t Find(std::string_view uid) const;

    bool Contains(std::string_view uid) const { return Find(uid) != kNone; }

    /// The UID at position i (0 <= i < Count()), valid until the next Insert.
    std::string_view At(std::size_t i) const;

    std::size_t Count() const { return m_starts.size(); }

    bool Empty() const { return m_starts.empty(); }

    void Clear();

    /// The heap bytes the set holds (capacities), for benchmarks.
    std::size_t MemoryBytes() const;

private:
    static std::uint64_t Hash(std::string_view text);
    void Grow();
    std::size_t SlotOf(std::string_view uid) const;

    std::string m_text;                  // every UID, one after another
    std::vector<std::uint32_t> m_starts; // where each begins; it ends where the next begins
    std::vector<std::uint32_t> m_slots;  // position + 1 of a UID, 0 for a free slot; a power of two long
};

} // namespace qm::store
