// The system's version, carried by every program and library.
#pragma once

namespace qm {

/// The full version, "2.2.3.0".
const char* VersionString();

/// The version as the logs and banners show it, "2.2.3".
const char* ShortVersionString();

/// The product name of the banners, "Quillmail Pro".
inline constexpr const char* kProductName = "Quillmail Pro";

} // namespace qm
