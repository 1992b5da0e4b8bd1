// The run-time binding of the spelling library (hunspell's C interface), loaded at the first spelling check so that
// the engine runs without it: with the library missing every check passes and the spelling page shows no text.
#pragma once

#include "base/Result.h"
#include "platform/SharedLibrary.h"

#include <memory>
#include <string>

struct Hunhandle;

namespace qm::engine {

/// The library's name on the system's library path.
inline constexpr const char* kHunspellLibraryName = "libhunspell-1.7.so.0";

/// The entry points, bound by name (their C declarations are the library's).
struct HunspellFunctions {
    Hunhandle* (*Create)(const char* affPath, const char* dicPath);
    void (*Destroy)(Hunhandle* handle);
    int (*AddDic)(Hunhandle* handle, const char* dicPath);
    int (*Spell)(Hunhandle* handle, const char* word);
    int (*Suggest)(Hunhandle* handle, char*** list, const char* word);
    void (*FreeList)(Hunhandle* handle, char*** list, int count);
    char* (*GetDicEncoding)(Hunhandle* handle);
};

/// The loaded library with its entry points.
class HunspellLibrary {
public:
    /// Loads `name` and binds every entry point; fails when the library or one of them is missing.
    static Result<std::unique_ptr<HunspellLibrary>> Load(const std::string& name);

    const HunspellFunctions& Functions() const { return m_functions; }

private:
    HunspellLibrary() = default;

    SharedLibrary m_library;
    HunspellFunctions m_functions{};
};

/// The process-wide library, loaded at the first call (and again after SetHunspellLibraryName); null when it cannot
/// be loaded. A failed load is not retried until the name is set again. Thread-safe.
std::shared_ptr<const HunspellLibrary> LoadedHunspell();

/// The name the next load uses (for tests: a library that does not exist). Drops the loaded library; holders of
/// LoadedHunspell keep theirs until they let go.
void SetHunspellLibraryName(std::string name);

} // namespace qm::engine
