#include "engine/FormBudget.h"

#include "common/IniAccess.h"

#include <utility>

namespace qm::engine {

FormBudget::Hold::Hold(Hold&& other) noexcept
    : m_owner(std::exchange(other.m_owner, nullptr))
    , m_bytes(other.m_bytes)
{}

FormBudget::Hold::~Hold()
{
    if (m_owner != nullptr) {
        m_owner->Give(m_bytes);
    }
}

std::optional<FormBudget::Hold> FormBudget::Reserve(std::size_t bytes, std::size_t limit)
{
    std::lock_guard lock(m_lock);
    if (limit != 0 && (bytes > limit || m_held > limit - bytes)) {
        return std::nullopt;
    }
    m_held += bytes;
    return Hold(*this, bytes);
}

std::size_t FormBudget::Held() const
{
    std::lock_guard lock(m_lock);
    return m_held;
}

void FormBudget::Give(std::size_t bytes)
{
    std::lock_guard lock(m_lock);
    m_held -= bytes;
}

FormBudget& EngineFormBudget()
{
    static FormBudget s_budget;
    return s_budget;
}

std::size_t EngineFormMemoryLimit()
{
    const int kb = ReadIniInt("General", "MaxFormMemory", kDefaultMaxFormMemoryKB);
    return kb <= 0 ? 0 : static_cast<std::size_t>(kb) * 1024;
}

} // namespace qm::engine
