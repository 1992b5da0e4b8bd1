// Shared libraries loaded at run time by path or by name, and the directory a loaded library was loaded from.
#pragma once

#include "base/Result.h"

#include <cstring>
#include <string>
#include <type_traits>

namespace qm {

/// One library loaded with dlopen (all symbols bound at once, kept local to it). Move-only; the destructor unloads
/// it. A name without '/' is looked up on the system's library path; a path with '/' is loaded from that file.
class SharedLibrary {
public:
    SharedLibrary() = default;
    SharedLibrary(const SharedLibrary&) = delete;
    SharedLibrary& operator=(const SharedLibrary&) = delete;
    SharedLibrary(SharedLibrary&& other) noexcept;
    SharedLibrary& operator=(SharedLibrary&& other) noexcept;

    ~SharedLibrary() { Close(); }

    /// Loads the library. On failure Message is the loader's text and Code is ENOENT when the file (or the named
    /// library) is not found, ELIBBAD when it is there but cannot be loaded.
    /// keepMapped leaves the library in memory when it is closed (for a library whose global state, made on first
    /// use, has no way to be freed): the handle goes, the code and that state stay.
    static Result<SharedLibrary> Open(const std::string& pathOrName, bool keepMapped = false);

    bool IsOpen() const { return m_handle != nullptr; }

    /// The address of the exported symbol, or null when the library does not export it.
    void* Symbol(const char* name) const;

    /// The exported function `name` as a pointer of type F, or null when it is missing.
    template <class F>
    F Function(const char* name) const
    {
        static_assert(std::is_pointer_v<F> && std::is_function_v<std::remove_pointer_t<F>>);
        void* address = Symbol(name);
        F function = nullptr;
        static_assert(sizeof function == sizeof address);
        std::memcpy(&function, &address, sizeof function);
        return function;
    }

    /// Sets function to the exported function `name`; false when the library does not export it.
    template <class F>
    bool Bind(const char* name, F& function) const
    {
        function = Function<F>(name);
        return function != nullptr;
    }

    /// Unloads the library now (what the destructor does).
    void Close();

private:
    void* m_handle = nullptr;
};

/// The directory of the library or program that holds `address` (a function or variable of it), without a trailing
/// '/': the directory of the path it was loaded by, made absolute but with symbolic links kept, so a library linked
/// into a directory belongs to that directory. Fails when no loaded object holds the address.
Result<std::string> ModuleDirectoryOf(const void* address);

} // namespace qm
