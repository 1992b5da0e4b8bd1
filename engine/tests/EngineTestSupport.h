// Test support for the engine: a temporary installation with its own namespace, runtime directory and registry
// file, so that no test meets another's engine or touches a system path.
#pragma once

#include "platform/SharedMutex.h"
#include "testsupport/Program.h"
#include "testsupport/TempDir.h"
#include "testsupport/TestInstallation.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

namespace qm::engine::test {

namespace fs = std::filesystem;

inline std::string ReadFile(const fs::path& path)
{
    return qm::test::ReadBytes(path);
}

using qm::test::ReadLineFrom;

inline void WriteFile(const fs::path& path, const std::string& bytes)
{
    qm::test::WriteBytes(path, bytes);
}

/// The test installation with its variables set in this process, for the engine that runs inside the test.
class TempInstall : public qm::test::TestInstallation {
public:
    TempInstall() { ExportToProcess(); }
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
