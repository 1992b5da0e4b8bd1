// UniqueFd: sole owner of a file descriptor, closed on destruction.
#pragma once

#include <utility>

namespace qm::platform {

/// Owns one file descriptor (-1 when empty) and closes it when destroyed or reset.
class UniqueFd {
public:
    UniqueFd() = default;

    explicit UniqueFd(int fd)
        : m_fd(fd)
    {}

    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    UniqueFd(UniqueFd&& other) noexcept
        : m_fd(std::exchange(other.m_fd, -1))
    {}

    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        if (this != &other) {
            Reset(std::exchange(other.m_fd, -1));
        }
        return *this;
    }

    ~UniqueFd() { Reset(); }

    int Get() const { return m_fd; }

    bool Valid() const { return m_fd >= 0; }

    explicit operator bool() const { return Valid(); }

    /// Gives up ownership without closing.
    int Release() { return std::exchange(m_fd, -1); }

    /// Closes the descriptor held (if any) and takes fd.
    void Reset(int fd = -1);

private:
    int m_fd = -1;
};

} // namespace qm::platform
