#include "common/NameValueList.h"

#include "base/Assert.h"
#include "common/StringUtil.h"

#include <cstring>
#include <utility>

namespace qm {

namespace {

// Slots are reserved in steps of this many, to keep reallocations rare for lists of a few hundred items.
constexpr std::size_t kGrowthStep = 128;

const char* OrEmpty(const char* s)
{
    return s == nullptr ? "" : s;
}

} // namespace

void NameValuePair::SetName(const char* name)
{
    name = OrEmpty(name);
    std::size_t len = 0;
    while (len < kMaxNameLength && name[len] != '\0') {
        ++len;
    }
    std::memcpy(m_name, name, len);
    m_name[len] = '\0';
}

void NameValuePair::SetValue(const char* value)
{
    // Copy first, then replace: value may point into m_value.
    std::string copy(OrEmpty(value));
    m_value = std::move(copy);
}

NameValueList::NameValueList(NameValueList&& other) noexcept
    : m_items(std::move(other.m_items))
    , m_cache(std::exchange(other.m_cache, nullptr))
{
    other.m_items.clear();
}

NameValueList& NameValueList::operator=(NameValueList&& other) noexcept
{
    if (this != &other) {
        m_items = std::move(other.m_items);
        other.m_items.clear();
        m_cache = std::exchange(other.m_cache, nullptr);
    }
    return *this;
}

void NameValueList::Clear()
{
    m_items.clear();
    m_items.shrink_to_fit();
    m_cache = nullptr;
}

NameValuePair* NameValueList::NewItem()
{
    if (m_items.size() == m_items.capacity()) {
        m_items.reserve(m_items.size() + kGrowthStep);
    }
    m_items.push_back(std::make_unique<NameValuePair>());
    return m_items.back().get();
}

NameValuePair* NameValueList::Add(const char* name, const char* value)
{
    // Pairs live on the heap, so a value that points into another pair stays valid while the array grows.
    NameValuePair* pair = NewItem();
    pair->SetName(name);
    pair->SetValue(value);
    m_cache = pair;
    return pair;
}

NameValuePair* NameValueList::Set(const char* name, const char* value)
{
    NameValuePair* pair = Find(name);
    if (pair == nullptr) {
        return Add(name, value);
    }
    pair->SetValue(value);
    m_cache = pair;
    return pair;
}

NameValuePair* NameValueList::Add(const char* name, std::string&& value)
{
    NameValuePair* pair = NewItem();
    pair->SetName(name);
    pair->TakeValue(std::move(value));
    m_cache = pair;
    return pair;
}

NameValuePair* NameValueList::Set(const char* name, std::string&& value)
{
    NameValuePair* pair = Find(name);
    if (pair == nullptr) {
        return Add(name, std::move(value));
    }
    pair->TakeValue(std::move(value));
    m_cache = pair;
    return pair;
}

NameValuePair* NameValueList::Find(const char* name) const
{
    name = OrEmpty(name);
    if (m_cache != nullptr && EqualsNoCase(m_cache->Name(), name)) {
        return m_cache;
    }
    for (const auto& item : m_items) {
        if (EqualsNoCase(item->Name(), name)) {
            m_cache = item.get();
            return m_cache;
        }
    }
    return nullptr;
}

NameValuePair* NameValueList::FindByValue(const char* value) const
{
    // Searched from the first pair, not the remembered one, so that a reverse look-up always gives the first match
    // in list order.
    value = OrEmpty(value);
    for (const auto& item : m_items) {
        if (EqualsNoCase(item->Value(), value)) {
            m_cache = item.get();
            return m_cache;
        }
    }
    return nullptr;
}

const char* NameValueList::GetValue(const char* name) const
{
    const NameValuePair* pair = Find(name);
    return pair == nullptr ? "" : pair->Value();
}

bool NameValueList::IsEmpty(const char* name) const
{
    return *GetValue(name) == '\0';
}

bool NameValueList::IsBlank(const char* name) const
{
    const char* value = GetValue(name);
    return value[std::strspn(value, " \r\n\t")] == '\0';
}

void NameValueList::Remove(const char* name)
{
    if (const NameValuePair* pair = Find(name); pair != nullptr) {
        RemoveItem(pair);
    }
}

void NameValueList::RemoveItem(const NameValuePair* pair)
{
    m_cache = nullptr;
    for (auto it = m_items.begin(); it != m_items.end(); ++it) {
        if (it->get() == pair) {
            m_items.erase(it);
            return;
        }
    }
}

NameValuePair* NameValueList::Item(int index) const
{
    QM_ASSERT(index >= 0 && static_cast<std::size_t>(index) < m_items.size());
    return m_items[static_cast<std::size_t>(index)].get();
}

} // namespace qm
