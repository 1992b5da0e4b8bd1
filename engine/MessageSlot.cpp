#include "engine/MessageSlot.h"

#include <cstring>

namespace qm::engine {

void MessageSlot::Set(std::string_view text, MessageTone tone)
{
    m_tone.store(tone, std::memory_order_release);
    auto copy = std::make_unique<char[]>(text.size() + 1);
    std::memcpy(copy.get(), text.data(), text.size());
    copy[text.size()] = '\0';
    delete[] m_text.exchange(copy.release(), std::memory_order_acq_rel);
}

} // namespace qm::engine
