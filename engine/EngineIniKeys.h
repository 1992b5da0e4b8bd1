// The keys of the engine INI that start-up writes back with their values or defaults, in the order a new file
// gets them.
#pragma once

#include <span>
#include <string>

namespace qm::engine {

/// How a key's value is read and written back.
enum class IniKeyForm {
    Text,      // as it is
    Int,       // decimal
    Bool,      // "Yes" or "No"
    Scrambled, // a value starting with '-' is plain: written back scrambled without the '-'
    Path,      // text whose default lies in the installation directory
    Fixed,     // always written with the default, whatever it held
};

struct EngineIniKey {
    const char* Section;
    const char* Key;
    IniKeyForm Form;
    /// Text of the default; for Path the name below the installation directory ("" is the directory itself);
    /// for Bool "Yes" or "No"; for Int decimal.
    const char* Default;
};

/// The keys in table order.
std::span<const EngineIniKey> EngineIniKeys();

/// The default of `key` as it is written: for a Path, the installation directory joined with the default name.
std::string EngineIniDefault(const EngineIniKey& key, const std::string& installDir);

} // namespace qm::engine
