// The process's umask for a scope, restored afterwards: for tests of the modes new files get.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

namespace qm::test {

class ScopedUmask {
public:
    explicit ScopedUmask(mode_t mask)
        : m_old(::umask(mask))
    {}

    ScopedUmask(const ScopedUmask&) = delete;
    ScopedUmask& operator=(const ScopedUmask&) = delete;

    ~ScopedUmask() { ::umask(m_old); }

private:
    mode_t m_old;
};

/// The permission bits of path (07777 when it cannot be read, which no test expects).
inline unsigned ModeOf(const char* path)
{
    struct stat st {};

    return ::stat(path, &st) == 0 ? static_cast<unsigned>(st.st_mode & 07777) : 07777U;
}

} // namespace qm::test
