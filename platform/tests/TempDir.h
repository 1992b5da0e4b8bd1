// The test helpers of the platform tests: the shared temporary directory and exact-bytes file helpers.
#pragma once

#include "testsupport/TempDir.h"

#include <fstream>
#include <string>
#include <string_view>

namespace qm::testing {

using TempDir = qm::test::TempDir;

/// Writes a file with exactly the given bytes.
inline void WriteBytes(const std::string& path, std::string_view bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

/// The exact bytes of a file ("" when it is missing).
inline std::string ReadBytes(const std::string& path)
{
    return qm::test::TempDir::ReadFile(path);
}

} // namespace qm::testing
