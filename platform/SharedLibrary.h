// SharedLibrary: a library loaded at run time (dlopen) and its exported symbols.
#pragma once

#include "common/Result.h"

#include <string>

namespace qm {

/// Owns one loaded library; the library is unloaded when the object goes. Move-only.
class SharedLibrary {
public:
    /// Loads the library at `path` with every symbol resolved at once and its symbols kept private to it.
    /// Fails with the loader's text when the file is missing, is not a library or lacks a symbol it needs.
    static Result<SharedLibrary> Open(const std::string& path);

    SharedLibrary(SharedLibrary&& other) noexcept;
    SharedLibrary& operator=(SharedLibrary&& other) noexcept;
    SharedLibrary(const SharedLibrary&) = delete;
    SharedLibrary& operator=(const SharedLibrary&) = delete;
    ~SharedLibrary();

    /// The address of the exported symbol `name`, or nullptr when the library has none.
    void* Symbol(const char* name) const;

    /// Typed form of Symbol for functions.
    template <class Function>
    Function* FunctionSymbol(const char* name) const
    {
        return reinterpret_cast<Function*>(Symbol(name));
    }

private:
    explicit SharedLibrary(void* handle)
        : m_handle(handle)
    {}

    void* m_handle = nullptr;
};

} // namespace qm
