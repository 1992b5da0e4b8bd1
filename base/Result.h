// Result<T>: the return type of operations that can fail for expected reasons (I/O, bad input, a peer's error).
#pragma once

#include <cstdlib>
#include <string>
#include <utility>
#include <variant>

namespace qm {

/// An expected failure: a system error number (0 when none applies) and a short text for the log.
struct Error {
    int Code = 0;
    std::string Message;
};

/// Wraps an Error so that a Result<T> can be built from it unambiguously, as std::unexpected does.
struct Unexpected {
    Error Value;
};

/// Builds the failure side of a Result.
inline Unexpected Fail(std::string message, int code = 0)
{
    return Unexpected{Error{code, std::move(message)}};
}

/// Either a value of T or an Error; shaped like std::expected so that it can be replaced by it later.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value)
        : m_state(std::in_place_index<0>, std::move(value))
    {}

    Result(Unexpected failure)
        : m_state(std::in_place_index<1>, std::move(failure.Value))
    {}

    bool has_value() const { return m_state.index() == 0; }

    explicit operator bool() const { return has_value(); }

    T& value() &
    {
        Check();
        return std::get<0>(m_state);
    }

    const T& value() const&
    {
        Check();
        return std::get<0>(m_state);
    }

    T&& value() &&
    {
        Check();
        return std::get<0>(std::move(m_state));
    }

    T value_or(T fallback) const { return has_value() ? std::get<0>(m_state) : std::move(fallback); }

    T& operator*() & { return value(); }

    const T& operator*() const& { return value(); }

    T* operator->() { return &value(); }

    const T* operator->() const { return &value(); }

    /// The failure; only valid when !has_value().
    const Error& error() const
    {
        if (has_value()) {
            std::abort();
        }
        return std::get<1>(m_state);
    }

private:
    void Check() const
    {
        if (!has_value()) {
            std::abort(); // reading the value of a failed Result is a bug
        }
    }

    std::variant<T, Error> m_state;
};

/// Result of an operation with nothing to return on success.
template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;

    Result(Unexpected failure)
        : m_failed(true)
        , m_error(std::move(failure.Value))
    {}

    bool has_value() const { return !m_failed; }

    explicit operator bool() const { return has_value(); }

    const Error& error() const
    {
        if (!m_failed) {
            std::abort();
        }
        return m_error;
    }

private:
    bool m_failed = false;
    Error m_error;
};

} // namespace qm
