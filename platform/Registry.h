// Registry values, kept in an INI file: a key path is a section name, a value name a key.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qm::platform {

/// The file that holds the registry values: $QUILLMAIL_REGISTRY when set and not empty, else
/// "/etc/quillmail/registry.ini".
std::string RegistryFilePath();

/// Stores value as name under keyPath (for instance "SOFTWARE\Quillmail"). The file and its directory are
/// created when missing. False when the value cannot be stored (a line break in it, or an I/O failure).
bool RegSetString(std::string_view keyPath, std::string_view name, std::string_view value);

/// The value stored as name under keyPath, or nullopt.
std::optional<std::string> RegGetString(std::string_view keyPath, std::string_view name);

} // namespace qm::platform
