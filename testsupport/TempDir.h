// A temporary directory for one test, removed with everything in it when the test ends, and the exact-bytes file
// helpers that go with it.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

namespace qm::test {

/// The exact bytes of a file ("" when it is missing).
inline std::string ReadBytes(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

/// Writes a file with exactly the given bytes (replacing it).
inline void WriteBytes(const std::filesystem::path& path, std::string_view bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

class TempDir {
public:
    /// A new directory below the system's temporary directory; prefix starts its name.
    explicit TempDir(const std::string& prefix = "qm-test")
    {
        std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
        if (mkdtemp(pattern.data()) == nullptr) {
            ADD_FAILURE() << "cannot create a temporary directory";
        }
        m_path = pattern;
    }

    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    ~TempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }

    /// The directory itself.
    const std::filesystem::path& Path() const { return m_path; }

    /// The full path of name inside the directory.
    std::string PathOf(const std::string& name) const { return (m_path / name).string(); }

    /// The same as PathOf, written dir / "name".
    std::string operator/(const std::string& name) const { return PathOf(name); }

    /// Writes bytes to the file name inside the directory (making the directories on its way) and returns its path.
    std::string WriteFile(const std::string& name, std::string_view bytes) const
    {
        const std::string path = PathOf(name);
        std::error_code ignored;
        std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
        WriteBytes(path, bytes);
        return path;
    }

    static std::string ReadFile(const std::filesystem::path& path) { return ReadBytes(path); }

private:
    std::filesystem::path m_path;
};

} // namespace qm::test
