#include "store/UidSet.h"

#include <algorithm>
#include <bit>
#include <limits>
#include <random>

namespace qm::store {

namespace {

constexpr std::size_t kMaxText = std::numeric_limits<std::uint32_t>::max();
constexpr std::size_t kMaxCount = std::size_t{1} << 31;

// At most half the slots are used: a look-up meets a free slot after few steps.
std::size_t SlotsFor(std::size_t count)
{
    return std::bit_ceil(std::max<std::size_t>(count * 2, 16));
}

// A seed of the process: the server picks the UIDs, and must not be able to pick ones that all meet in one place.
std::uint64_t Seed()
{
    static const std::uint64_t kSeed = [] {
        std::random_device device;
        return (static_cast<std::uint64_t>(device()) << 32) ^ device();
    }();
    return kSeed;
}

} // namespace

std::uint64_t UidSet::Hash(std::string_view text)
{
    // FNV-1a from a seeded start, then a 64-bit finalizer: the slot is taken from the low bits, which FNV alone
    // leaves poorly mixed (UIDs that differ only in their last characters cluster, and probing turns quadratic).
    std::uint64_t hash = 14695981039346656037ull ^ Seed();
    for (const char c : text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    hash ^= hash >> 33;
    hash *= 0xff51afd7ed558ccdull;
    hash ^= hash >> 33;
    hash *= 0xc4ceb9fe1a85ec53ull;
    hash ^= hash >> 33;
    return hash;
}

void UidSet::Reserve(std::size_t count, std::size_t bytes)
{
    count = std::min(count, kMaxCount);
    m_text.reserve(std::min(bytes, kMaxText));
    m_starts.reserve(count);
    if (SlotsFor(count) > m_slots.size()) {
        const std::size_t used = m_starts.size();
        m_slots.assign(SlotsFor(count), 0);
        for (std::size_t i = 0; i < used; ++i) {
            m_slots[SlotOf(At(i))] = static_cast<std::uint32_t>(i + 1);
        }
    }
}

std::string_view UidSet::At(std::size_t i) const
{
    const std::size_t begin = m_starts[i];
    const std::size_t end = i + 1 < m_starts.size() ? m_starts[i + 1] : m_text.size();
    return std::string_view(m_text).substr(begin, end - begin);
}

// The slot holding uid, or the free slot where it would go.
std::size_t UidSet::SlotOf(std::string_view uid) const
{
    const std::size_t mask = m_slots.size() - 1;
    for (std::size_t slot = static_cast<std::size_t>(Hash(uid)) & mask;; slot = (slot + 1) & mask) {
        const std::uint32_t held = m_slots[slot];
        if (held == 0 || At(held - 1) == uid) {
            return slot;
        }
    }
}

std::size_t UidSet::Find(std::string_view uid) const
{
    if (m_slots.empty()) {
        return kNone;
    }
    const std::uint32_t held = m_slots[SlotOf(uid)];
    return held == 0 ? kNone : held - 1;
}

void UidSet::Grow()
{
    std::vector<std::uint32_t>().swap(m_slots);
    m_slots.assign(SlotsFor(m_starts.size() + 1), 0);
    for (std::size_t i = 0; i < m_starts.size(); ++i) {
        m_slots[SlotOf(At(i))] = static_cast<std::uint32_t>(i + 1);
    }
}

std::pair<std::size_t, bool> UidSet::Insert(std::string_view uid)
{
    if (m_slots.empty() || (m_starts.size() + 1) * 2 > m_slots.size()) {
        if (const std::size_t found = Find(uid); found != kNone) {
            return {found, false};
        }
        if (m_starts.size() >= kMaxCount || m_text.size() + uid.size() > kMaxText) {
            return {kNone, false};
        }
        Grow();
    }
    const std::size_t slot = SlotOf(uid);
    if (m_slots[slot] != 0) {
        return {m_slots[slot] - 1, false};
    }
    if (m_starts.size() >= kMaxCount || m_text.size() + uid.size() > kMaxText) {
        return {kNone, false};
    }
    m_starts.push_back(static_cast<std::uint32_t>(m_text.size()));
    m_text.append(uid);
    m_slots[slot] = static_cast<std::uint32_t>(m_starts.size());
    return {m_starts.size() - 1, true};
}

void UidSet::Clear()
{
    m_text.clear();
    m_starts.clear();
    std::fill(m_slots.begin(), m_slots.end(), 0);
}

std::size_t UidSet::MemoryBytes() const
{
    return m_text.capacity() + m_starts.capacity() * sizeof(std::uint32_t) + m_slots.capacity() * sizeof(std::uint32_t);
}

} // namespace qm::store
