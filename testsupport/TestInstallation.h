// The one test installation of the tests: a temporary installation directory with its own IPC namespace, runtime
// directory, registry file and service directory, so that no test meets another's engine or server or touches a
// system path. Tests lay it out from the shipped data or from files of their own, run `cmake --install` into it,
// and start children in it.
#pragma once

#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace qm::test {

class TestInstallation {
public:
    /// An empty installation directory (below a temporary root that also holds the runtime directory, the
    /// registry file and the service directory) and a namespace of its own.
    TestInstallation();

    /// Removes everything, and the variables from this process when ExportToProcess set them.
    ~TestInstallation();

    TestInstallation(const TestInstallation&) = delete;
    TestInstallation& operator=(const TestInstallation&) = delete;

    /// The installation directory.
    const std::filesystem::path& Dir() const { return m_dir; }

    /// The full path of name inside the installation directory.
    std::string Path(const std::string& name) const { return (m_dir / name).string(); }

    std::string IniPath() const { return Path("Quillmail.ini"); }

    std::string RuntimeDir() const { return (m_temp.Path() / "run").string(); }

    std::string RegistryPath() const { return (m_temp.Path() / "registry.ini").string(); }

    std::string ServiceDir() const { return (m_temp.Path() / "services").string(); }

    /// The IPC namespace of the installation.
    const std::string& Namespace() const { return m_namespace; }

    /// Writes the engine INI.
    void WriteIni(std::string_view text) const { WriteBytes(IniPath(), text); }

    /// Writes a file of the installation (making its directories) and returns its path.
    std::string WriteFile(const std::string& name, std::string_view bytes) const;

    /// The bytes of a file of the installation ("" when it is missing).
    std::string ReadFile(const std::string& name) const { return ReadBytes(Path(name)); }

    /// The engine log so far.
    std::string Log() const { return ReadFile("Logs/Quillmail.log"); }

    /// The variables that point a program at this installation: QUILLMAIL_INI, QUILLMAIL_IPC_NS,
    /// QUILLMAIL_RUNTIME_DIR, QUILLMAIL_REGISTRY and QUILLMAIL_SVCDIR, "NAME=value" each.
    std::vector<std::string> Variables() const;

    /// The whole environment of a child that runs in the installation: what a child of a test needs from the
    /// test's environment (ChildEnvironment), Variables(), then extra; a variable of extra replaces one of the same
    /// name.
    std::vector<std::string> Environment(const std::vector<std::string>& extra = {}) const;

    /// Sets Variables() in this process, for code of the installation that runs inside the test.
    void ExportToProcess();

    /// Copies the shipped data of the source tree as an installation lays it out: Templates/ with
    /// Templates/Languages.ini, HTML/, SpellCheck/ and MimeTypes.cfg.
    void CopyShippedData() const;

    /// Runs `cmake --install` of the build tree's component into the installation directory; its output is in the
    /// failure message.
    ::testing::AssertionResult InstallComponent(const std::string& component) const;

    /// Runs `cmake --install` of the whole build tree into the installation directory, with Environment() as its
    /// environment (so that what the installation registers lands in this installation's directories); its output
    /// is in `output` and in the failure message.
    ::testing::AssertionResult InstallEverything(std::string* output = nullptr) const;

private:
    TempDir m_temp;
    std::filesystem::path m_dir;
    std::string m_namespace;
    bool m_exported = false;
};

} // namespace qm::test
