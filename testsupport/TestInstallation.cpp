#include "testsupport/TestInstallation.h"

#include "testsupport/Program.h"
#include "testsupport/ShmObjects.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>

#include <unistd.h>

namespace qm::test {
namespace fs = std::filesystem;

namespace {

constexpr const char* kVariableNames[] = {"QUILLMAIL_INI", "QUILLMAIL_IPC_NS", "QUILLMAIL_RUNTIME_DIR",
                                          "QUILLMAIL_REGISTRY", "QUILLMAIL_SVCDIR"};

fs::path DataDir()
{
    return fs::path(QM_SOURCE_DIR) / "data";
}

} // namespace

TestInstallation::TestInstallation()
    : m_temp("qm-install")
    , m_dir(m_temp.Path() / "install")
{
    fs::create_directories(m_dir);
    fs::create_directories(RuntimeDir());
    static std::atomic<int> s_counter{0};
    m_namespace = "t" + std::to_string(::getpid()) + "x" + std::to_string(s_counter++);
}

TestInstallation::~TestInstallation()
{
    // Whatever a failed test left in the namespace goes with the installation.
    (void)RemoveShmObjectsOf(m_namespace);
    if (m_exported) {
        for (const char* name : kVariableNames) {
            ::unsetenv(name); // NOLINT(concurrency-mt-unsafe): the tests set them on one thread
        }
    }
}

std::string TestInstallation::WriteFile(const std::string& name, std::string_view bytes) const
{
    const fs::path path = m_dir / name;
    fs::create_directories(path.parent_path());
    WriteBytes(path, bytes);
    return path.string();
}

std::vector<std::string> TestInstallation::Variables() const
{
    const std::string values[] = {IniPath(), m_namespace, RuntimeDir(), RegistryPath(), ServiceDir()};
    std::vector<std::string> variables;
    for (std::size_t i = 0; i < std::size(kVariableNames); ++i) {
        variables.push_back(std::string(kVariableNames[i]) + "=" + values[i]);
    }
    return variables;
}

std::vector<std::string> TestInstallation::Environment(const std::vector<std::string>& extra) const
{
    // A variable of extra replaces one of the same name (a child sees only the first of two).
    std::vector<std::string> environment;
    for (const std::string& variable : ChildEnvironment(Variables())) {
        const std::string name = variable.substr(0, variable.find('=') + 1);
        const bool replaced = std::any_of(extra.begin(), extra.end(),
                                          [&](const std::string& entry) { return entry.starts_with(name); });
        if (!replaced) {
            environment.push_back(variable);
        }
    }
    environment.insert(environment.end(), extra.begin(), extra.end());
    return environment;
}

void TestInstallation::ExportToProcess()
{
    for (const std::string& variable : Variables()) {
        const std::size_t equals = variable.find('=');
        // NOLINTNEXTLINE(concurrency-mt-unsafe): the tests set them on one thread
        ::setenv(variable.substr(0, equals).c_str(), variable.substr(equals + 1).c_str(), 1);
    }
    m_exported = true;
}

void TestInstallation::CopyShippedData() const
{
    fs::copy(DataDir() / "Templates", m_dir / "Templates",
             fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    fs::copy_file(DataDir() / "Languages.ini", m_dir / "Templates" / "Languages.ini",
                  fs::copy_options::overwrite_existing);
    fs::copy(DataDir() / "HTML", m_dir / "HTML", fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    fs::copy_file(DataDir() / "MimeTypes.cfg", m_dir / "MimeTypes.cfg", fs::copy_options::overwrite_existing);
    fs::copy(DataDir() / "SpellCheck", m_dir / "SpellCheck",
             fs::copy_options::recursive | fs::copy_options::overwrite_existing);
}

::testing::AssertionResult TestInstallation::InstallComponent(const std::string& component) const
{
    ProgramOptions options;
    options.Environment = {"PATH=/usr/bin:/bin"};
    options.Timeout = std::chrono::minutes(2);
    const ProgramRun run = RunProgram(
            {QM_CMAKE_COMMAND, "--install", QM_BINARY_DIR, "--prefix", m_dir.string(), "--component", component},
            options);
    if (!run.Started) {
        return ::testing::AssertionFailure() << run.Errors;
    }
    if (!run.Status.ExitedWith(0)) {
        return ::testing::AssertionFailure() << "cmake --install failed:\n" << run.Output << run.Errors;
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult TestInstallation::InstallEverything(std::string* output) const
{
    ProgramOptions options;
    options.Environment = Environment();
    options.Timeout = std::chrono::minutes(2);
    const ProgramRun run =
            RunProgram({QM_CMAKE_COMMAND, "--install", QM_BINARY_DIR, "--prefix", m_dir.string()}, options);
    if (output != nullptr) {
        *output = run.Output + run.Errors;
    }
    if (!run.Started) {
        return ::testing::AssertionFailure() << run.Errors;
    }
    if (!run.Status.ExitedWith(0)) {
        return ::testing::AssertionFailure() << "cmake --install failed:\n" << run.Output << run.Errors;
    }
    return ::testing::AssertionSuccess();
}

} // namespace qm::test
