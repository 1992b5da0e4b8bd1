// Test support for the engine: a temporary installation with its own namespace, runtime directory and registry
// file, so that no test meets another's engine or touches a system path.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

namespace qm::engine::test {

namespace fs = std::filesystem;

inline std::string ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteFile(const fs::path& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

/// A temporary installation directory. Sets QUILLMAIL_INI, QUILLMAIL_IPC_NS, QUILLMAIL_RUNTIME_DIR and
/// QUILLMAIL_REGISTRY for this process (and gives them to children through Environment()); removes everything at
/// the end.
class TempInstall {
public:
    TempInstall()
    {
        std::string pattern = (fs::temp_directory_path() / "qmeng.XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            ADD_FAILURE() << "cannot create a temporary directory";
        }
        m_root = pattern;
        m_dir = m_root / "install";
        fs::create_directories(m_dir);
        fs::create_directories(m_root / "run");
        static std::atomic<int> counter{0};
        m_namespace = "t" + std::to_string(::getpid()) + "x" + std::to_string(counter++);
        Set("QUILLMAIL_INI", IniPath());
        Set("QUILLMAIL_IPC_NS", m_namespace);
        Set("QUILLMAIL_RUNTIME_DIR", (m_root / "run").string());
        Set("QUILLMAIL_REGISTRY", (m_root / "registry.ini").string());
    }

    TempInstall(const TempInstall&) = delete;
    TempInstall& operator=(const TempInstall&) = delete;

    ~TempInstall()
    {
        std::error_code ignored;
        fs::remove_all(m_root, ignored);
    }

    const fs::path& Dir() const { return m_dir; }

    std::string IniPath() const { return (m_dir / "Quillmail.ini").string(); }

    std::string RegistryPath() const { return (m_root / "registry.ini").string(); }

    void WriteIni(const std::string& text) const { WriteFile(IniPath(), text); }

    std::string Log() const { return ReadFile(m_dir / "Logs" / "Quillmail.log"); }

    /// The environment for a child: these variables, plus PATH and the sanitizers' options.
    std::vector<std::string> Environment() const
    {
        std::vector<std::string> environment = m_set;
        for (const char* name : {"PATH", "ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "LD_LIBRARY_PATH"}) {
            if (const char* value = std::getenv(name); value != nullptr) {
                environment.push_back(std::string(name) + "=" + value);
            }
        }
        return environment;
    }

private:
    void Set(const char* name, const std::string& value)
    {
        ::setenv(name, value.c_str(), 1);
        m_set.push_back(std::string(name) + "=" + value);
    }

    fs::path m_root;
    fs::path m_dir;
    std::string m_namespace;
    std::vector<std::string> m_set;
};

} // namespace qm::engine::test
