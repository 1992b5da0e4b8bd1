// Test support of the inter-process layer: a namespace and runtime directory per test, and helper processes (this
// test binary started again in a role) for behaviour that needs a second process.
#pragma once

#include "platform/IpcNamespace.h"
#include "platform/SharedMutex.h"
#include "testsupport/ScopedUmask.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include <sys/stat.h>
#include <sys/types.h>

namespace qm::ipctest {

/// The block the helper roles and the tests share under the name "shared".
struct TestSection {
    char Text[64];
    std::int32_t Level;
    SharedMutex Mutex;
};

inline constexpr const char* kSectionName = "shared";

/// Copies text and a NUL into dst of capacity bytes, cut to fit.
void PutText(void* dst, std::size_t capacity, std::string_view text);

/// The 16 lower-case hex digits of a value.
std::string Hex16(std::uint64_t value);
inline constexpr std::int32_t kInitialLevel = 1;

/// Sets (or clears) an environment variable for a scope and restores the old value.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value)
        : m_name(name)
    {
        if (const char* old = std::getenv(name)) { // NOLINT(concurrency-mt-unsafe): tests run on one thread
            m_old = old;
        }
        if (value != nullptr) {
            ::setenv(name, value, 1); // NOLINT(concurrency-mt-unsafe)
        } else {
            ::unsetenv(name); // NOLINT(concurrency-mt-unsafe)
        }
    }

    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

    ~ScopedEnv()
    {
        if (m_old) {
            ::setenv(m_name, m_old->c_str(), 1); // NOLINT(concurrency-mt-unsafe)
        } else {
            ::unsetenv(m_name); // NOLINT(concurrency-mt-unsafe)
        }
    }

private:
    const char* m_name;
    std::optional<std::string> m_old;
};

using ScopedUmask = test::ScopedUmask;

/// Gives every test its own QUILLMAIL_IPC_NS and QUILLMAIL_RUNTIME_DIR, and removes the segments and the directory
/// afterwards.
class IpcTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    IpcNamespace Ns() const { return IpcNamespace::Named(m_ns); }

    const std::string& RuntimeDir() const { return m_runtimeDir; }

private:
    std::string m_ns;
    std::string m_runtimeDir;
};

/// This test binary run again in a helper role (the roles are in IpcTestSupport.cpp), with the environment of the
/// test. The helper's standard output is a pipe read by ReadLine; its standard input is a pipe whose end (CloseInput,
/// or the destructor) tells a waiting role to finish.
class HelperProcess {
public:
    HelperProcess(std::string_view role, std::string_view arg = {});
    HelperProcess(const HelperProcess&) = delete;
    HelperProcess& operator=(const HelperProcess&) = delete;
    ~HelperProcess();

    /// The next line of output without its line end; "" at end of output or after timeout.
    std::string ReadLine(std::chrono::milliseconds timeout = std::chrono::seconds(10));

    void CloseInput();

    /// Waits for the helper to end; its exit code, or 128 + the signal that ended it.
    int Wait();

    /// SIGKILL, then Wait().
    int Kill();

    pid_t Pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
    int m_in = -1;
    int m_out = -1;
    std::string m_buffer;
};

} // namespace qm::ipctest
