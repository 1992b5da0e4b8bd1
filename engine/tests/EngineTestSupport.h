// Test support for the engine: a temporary installation with its own namespace, runtime directory and registry
// file, so that no test meets another's engine or touches a system path.
#pragma once

#include "testsupport/Program.h"
#include "testsupport/TempDir.h"
#include "testsupport/TestInstallation.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

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

} // namespace qm::engine::test
