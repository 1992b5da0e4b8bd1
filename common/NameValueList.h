// NameValueList: an ordered list of (name, value) strings with case-insensitive look-up and a one-entry cache.
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

/// One (name, value) pair. The name holds at most kMaxNameLength bytes (longer names are cut); the value is an
/// owned string of any length, "" until set.
class NameValuePair {
public:
    static constexpr std::size_t kMaxNameLength = 59;

    const char* Name() const { return m_name; }

    const char* Value() const { return m_value.c_str(); }

    /// Stores the first kMaxNameLength bytes of name (null gives "").
    void SetName(const char* name);

    /// Stores a copy of value (null gives ""); value may point into this pair's own value.
    void SetValue(const char* value);

    /// Takes value as the pair's value without copying it.
    void TakeValue(std::string&& value) { m_value = std::move(value); }

    /// Appends text to the value (used to join folded header lines without copying the value each time).
    void AppendValue(std::string_view text) { m_value.append(text); }

    /// Drops the last count bytes of the value (all of it when it is shorter).
    void DropValueTail(std::size_t count) { m_value.resize(m_value.size() - std::min(count, m_value.size())); }

private:
    char m_name[kMaxNameLength + 1] = {};
    std::string m_value;
};

/// Pairs in insertion order; names may repeat. Names are compared without regard to ASCII case, and so are values
/// where a value is searched. Not thread-safe: one thread at a time.
///
/// `Find` remembers its last hit, and every `Add` remembers the new pair: a `Find` right after adding a second pair
/// of the same name returns the newest one, while a `Find` after other look-ups returns the first. Code that keeps
/// repeated names reads them by index.
///
/// Pair pointers stay valid until that pair is removed or the list is cleared or destroyed.
class NameValueList {
public:
    NameValueList() = default;
    NameValueList(const NameValueList&) = delete;
    NameValueList& operator=(const NameValueList&) = delete;
    NameValueList(NameValueList&& other) noexcept;
    NameValueList& operator=(NameValueList&& other) noexcept;
    ~NameValueList() = default;

    /// Removes every pair; the list can be used again.
    void Clear();

    /// Appends a new pair even when the name exists (name cut to 59 bytes, value copied; nulls read as "").
    NameValuePair* Add(const char* name, const char* value);

    /// Replaces the value of the pair that Find(name) gives, or appends a new pair. Safe when value points into
    /// the list itself (Set(n, GetValue(n))).
    NameValuePair* Set(const char* name, const char* value);

    /// Add and Set that take the value's storage instead of copying it (large form values are held once).
    NameValuePair* Add(const char* name, std::string&& value);
    NameValuePair* Set(const char* name, std::string&& value);

    /// The remembered pair when its name equals name, else the first pair of that name, which is remembered; null
    /// when there is none (the remembered pair stays).
    NameValuePair* Find(const char* name) const;

    /// The first pair whose value equals value (always searched from the first pair), which is remembered; or null.
    NameValuePair* FindByValue(const char* value) const;

    /// The value of Find(name), or "" when there is none; never null.
    const char* GetValue(const char* name) const;

    /// True when the name is missing or its value is "".
    bool IsEmpty(const char* name) const;

    /// True when the name is missing or its value has only space, CR, LF and TAB.
    bool IsBlank(const char* name) const;

    /// True when Find(name) finds a pair.
    bool Contains(const char* name) const { return Find(name) != nullptr; }

    /// Removes the pair that Find(name) gives, if any.
    void Remove(const char* name);

    /// Removes that very pair, keeping the order of the rest; nothing when it is not in the list. Always forgets the
    /// remembered pair.
    void RemoveItem(const NameValuePair* pair);

    /// Appends a pair with name "" and value "" and returns it.
    NameValuePair* NewItem();

    int Count() const { return static_cast<int>(m_items.size()); }

    /// The pair at index 0..Count()-1.
    NameValuePair* Item(int index) const;

private:
    std::vector<std::unique_ptr<NameValuePair>> m_items;
    mutable NameValuePair* m_cache = nullptr;
};

} // namespace qm
