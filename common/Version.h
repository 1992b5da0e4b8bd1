// The system's version, carried by every program and library.
#pragma once

#include "base/Result.h"

#include <string>

namespace qm {

/// What precedes the version string inside every program and library we ship.
inline constexpr const char* kVersionMarker = "QMVERSION:";

/// The full version, "2.2.3.0".
const char* VersionString();

/// The version as the logs and banners show it, "2.2.3".
const char* ShortVersionString();

/// The version string a program or library file carries, read from the file without loading it: the digits and
/// dots (1 to 31) between the first version marker and its NUL byte. Fails with ENOENT when the file holds no
/// such marker, with the system's error when it cannot be read.
Result<std::string> ReadFileVersion(const std::string& path);

/// The product name of the banners, "Quillmail Pro".
inline constexpr const char* kProductName = "Quillmail Pro";

} // namespace qm
