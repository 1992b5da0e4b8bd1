#include "platform/SharedLibrary.h"

#include <utility>

#include <dlfcn.h>

namespace qm {

Result<SharedLibrary> SharedLibrary::Open(const std::string& path)
{
    (void)dlerror();
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* why = dlerror();
        return Fail(why != nullptr ? why : "cannot load " + path);
    }
    return SharedLibrary(handle);
}

SharedLibrary::SharedLibrary(SharedLibrary&& other) noexcept
    : m_handle(std::exchange(other.m_handle, nullptr))
{}

SharedLibrary& SharedLibrary::operator=(SharedLibrary&& other) noexcept
{
    if (this != &other) {
        if (m_handle != nullptr) {
            (void)dlclose(m_handle);
        }
        m_handle = std::exchange(other.m_handle, nullptr);
    }
    return *this;
}

SharedLibrary::~SharedLibrary()
{
    if (m_handle != nullptr) {
        (void)dlclose(m_handle);
    }
}

void* SharedLibrary::Symbol(const char* name) const
{
    if (m_handle == nullptr) {
        return nullptr;
    }
    return dlsym(m_handle, name);
}

} // namespace qm
