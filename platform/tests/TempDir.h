// TempDir: a fresh directory under $TMPDIR (or /tmp) for one test, removed with its contents afterwards.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <system_error>

namespace qm::testing {

class TempDir {
public:
    TempDir()
    {
        const char* base = std::getenv("TMPDIR"); // NOLINT(concurrency-mt-unsafe): read before threads start
        std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/qmtest.XXXXXX";
        char* made = mkdtemp(pattern.data());
        if (made == nullptr) {
            std::abort();
        }
        m_path = made;
    }

    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    ~TempDir()
    {
        std::error_code ec;
        // remove_all removes symbolic links themselves and never follows them.
        std::filesystem::remove_all(m_path, ec);
    }

    const std::string& Path() const { return m_path; }

    std::string operator/(std::string_view name) const { return m_path + "/" + std::string(name); }

private:
    std::string m_path;
};

/// Writes a file with exactly the given bytes.
inline void WriteBytes(const std::string& path, std::string_view bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

/// The exact bytes of a file ("" when it is missing).
inline std::string ReadBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace qm::testing
