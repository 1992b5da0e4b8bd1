// Test support for the engine: a temporary installation with its own namespace, runtime directory and registry
// file, so that no test meets another's engine or touches a system path.
#pragma once

#include "platform/SharedMutex.h"
#include "testsupport/ShmObjects.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <unistd.h>

namespace qm::engine::test {

namespace fs = std::filesystem;

inline std::string ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

/// The next line a child writes to fd, with `buffer` keeping what was read past it; waits up to timeout and gives
/// "" at the end of the output, on time-out, or when fd is -1.
inline std::string ReadLineFrom(int fd, std::string& buffer, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const std::size_t end = buffer.find('\n');
        if (end != std::string::npos) {
            std::string line = buffer.substr(0, end);
            buffer.erase(0, end + 1);
            return line;
        }
        const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (fd < 0 || left.count() <= 0) {
            return {};
        }
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        char chunk[512];
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got <= 0) {
            return {};
        }
        buffer.append(chunk, static_cast<std::size_t>(got));
    }
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
        // Whatever a failed test left in the namespace goes with the installation.
        (void)qm::test::RemoveShmObjectsOf(m_namespace);
        std::error_code ignored;
        fs::remove_all(m_root, ignored);
    }

    /// The namespace of the installation's shared objects.
    const std::string& Namespace() const { return m_namespace; }

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

/// Another thread that holds a shared mutex from construction to destruction, as a stuck or hostile process
/// would; the lock time-out of this process is short meanwhile (timeout), and the default again afterwards.
class MutexHolder {
public:
    MutexHolder(SharedMutex& mutex, std::chrono::milliseconds timeout)
    {
        SetSharedLockTimeout(timeout);
        m_thread = std::thread([this, &mutex] {
            SharedMutexGuard guard(mutex, std::chrono::seconds(10));
            m_held.store(guard.Locked() ? 1 : -1);
            while (!m_release.load()) {
                std::this_thread::yield();
            }
        });
        while (m_held.load() == 0) {
            std::this_thread::yield();
        }
        EXPECT_EQ(m_held.load(), 1) << "the holder could not lock the mutex";
    }

    MutexHolder(const MutexHolder&) = delete;
    MutexHolder& operator=(const MutexHolder&) = delete;

    ~MutexHolder()
    {
        m_release.store(true);
        m_thread.join();
        SetSharedLockTimeout(std::chrono::milliseconds(0));
    }

private:
    std::atomic<int> m_held{0};
    std::atomic<bool> m_release{false};
    std::thread m_thread;
};

} // namespace qm::engine::test
