// The shipped systemd units of the main web server and of the admin web server: each runs sandboxed, and the
// sandbox leaves writable what the server writes (the installation, the service records, the runtime and registry
// directories).
#include "data/tests/DataFiles.h"
#include "platform/ChildProcess.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace qm::test {
namespace {

constexpr const char* kInstalledDir = "@QM_INSTALLED_DIR@";

// The keys of one section of a unit file, each with every value it was given, in order.
std::multimap<std::string, std::string> SectionKeys(const std::string& unit, const std::string& section)
{
    std::multimap<std::string, std::string> keys;
    bool inside = false;
    for (const std::string& line : SplitLines(unit)) {
        if (line.empty() || line.front() == '#') {
            continue;
        }
        if (line.front() == '[') {
            inside = line == "[" + section + "]";
            continue;
        }
        const size_t equals = line.find('=');
        if (inside && equals != std::string::npos) {
            keys.emplace(line.substr(0, equals), line.substr(equals + 1));
        }
    }
    return keys;
}

std::vector<std::string> Values(const std::multimap<std::string, std::string>& keys, const std::string& key)
{
    std::vector<std::string> values;
    for (auto [at, end] = keys.equal_range(key); at != end; ++at) {
        values.push_back(at->second);
    }
    return values;
}

// The space-separated words of every value of `key`.
std::vector<std::string> Words(const std::multimap<std::string, std::string>& keys, const std::string& key)
{
    std::vector<std::string> words;
    for (const std::string& value : Values(keys, key)) {
        std::istringstream in(value);
        for (std::string word; in >> word;) {
            words.push_back(word);
        }
    }
    return words;
}

void ExpectSandboxed(const std::multimap<std::string, std::string>& keys)
{
    struct Want {
        const char* Key;
        const char* Value;
    };

    const Want wanted[] = {
            {"NoNewPrivileges", "yes"},      {"ProtectSystem", "strict"},       {"PrivateTmp", "yes"},
            {"ProtectHome", "read-only"},    {"ProtectKernelTunables", "yes"},  {"ProtectKernelModules", "yes"},
            {"ProtectControlGroups", "yes"}, {"RestrictSUIDSGID", "yes"},       {"LockPersonality", "yes"},
            {"StateDirectory", "quillmail"}, {"RuntimeDirectory", "quillmail"}, {"ConfigurationDirectory", "quillmail"},
    };
    for (const Want& want : wanted) {
        SCOPED_TRACE(want.Key);
        EXPECT_EQ(Values(keys, want.Key), std::vector<std::string>{want.Value});
    }
    const std::vector<std::string> writable = Words(keys, "ReadWritePaths");
    // The installation holds the settings, users, mail, logs and temporary files the server writes.
    EXPECT_NE(std::find(writable.begin(), writable.end(), kInstalledDir), writable.end());
    EXPECT_NE(std::find(writable.begin(), writable.end(), "-/etc/quillmail"), writable.end());
    // Everything else the server writes lies in a directory that systemd makes writable for it.
    for (const std::string& environment : Values(keys, "Environment")) {
        const std::string value = environment.substr(environment.find('=') + 1);
        if (value.rfind(kInstalledDir, 0) == 0) {
            continue;
        }
        SCOPED_TRACE(environment);
        if (!value.empty() && value.front() == '/') {
            EXPECT_EQ(value.rfind("/var/lib/quillmail/", 0), 0u) << "a path outside the writable directories";
        }
    }
}

struct UnitFile {
    const char* Name;    // as installed
    const char* Program; // what it runs
};

constexpr UnitFile kUnits[] = {{"quillmail.service", "Quillmail"}, {"quillmail-admin.service", "Portico"}};

std::string Unit(const UnitFile& unit)
{
    return ReadWholeFile(DataDir() / (std::string(unit.Name) + ".in"));
}

TEST(ServiceUnitTest, RunsSandboxedWithTheInstallationWritable)
{
    for (const UnitFile& unit : kUnits) {
        SCOPED_TRACE(unit.Name);
        const auto keys = SectionKeys(Unit(unit), "Service");
        EXPECT_EQ(Values(keys, "ExecStart"), std::vector<std::string>{std::string(kInstalledDir) + "/" + unit.Program});
        ExpectSandboxed(keys);
    }
}

// The admin server serves with RunAsService "Yes" only when started as its service.
TEST(ServiceUnitTest, AdminServerRunsAsItsService)
{
    const auto keys = SectionKeys(Unit(kUnits[1]), "Service");
    const std::vector<std::string> environment = Values(keys, "Environment");
    EXPECT_NE(std::find(environment.begin(), environment.end(), "QUILLMAIL_SERVICE=QMAdmin"), environment.end());
}

TEST(ServiceUnitTest, SystemdAcceptsEveryLine)
{
    const std::filesystem::path analyze = "/usr/bin/systemd-analyze";
    if (!std::filesystem::exists(analyze)) {
        GTEST_SKIP() << "systemd-analyze is not installed";
    }
    for (const UnitFile& file : kUnits) {
        SCOPED_TRACE(file.Name);
        TempDir dir;
        std::string unit = Unit(file);
        for (size_t at = unit.find(kInstalledDir); at != std::string::npos; at = unit.find(kInstalledDir, at)) {
            unit.replace(at, std::string_view(kInstalledDir).size(), dir.Path().string());
        }
        const std::string path = dir.WriteFile(file.Name, unit);
        std::filesystem::copy_file("/bin/true", dir.PathOf(file.Program)); // verify wants an executable to exist
        ChildOptions options;
        options.Argv = {analyze.string(), "verify", path};
        options.Environment = {"PATH=/usr/bin:/bin", "SYSTEMD_LOG_LEVEL=warning"};
        options.Stdout = ChildStdio::Pipe();
        options.Stderr = ChildStdio::Pipe();
        Result<ChildProcess> child = ChildProcess::Start(options);
        ASSERT_TRUE(child) << child.error().Message;
        std::string out;
        std::string err;
        Result<ChildStatus> status = child->Communicate("", &out, &err);
        ASSERT_TRUE(status);
        EXPECT_TRUE(status->ExitedWith(0)) << err;
        // systemd ignores a line it cannot use and says so; any such line would be a hole in the sandbox.
        EXPECT_EQ(err.find(path), std::string::npos) << err;
        EXPECT_EQ(out.find(path), std::string::npos) << out;
    }
}

} // namespace
} // namespace qm::test
