#include "platform/SharedLibrary.h"

#include <cerrno>
#include <filesystem>
#include <system_error>
#include <utility>

#include <dlfcn.h>
#include <unistd.h>

namespace qm {

SharedLibrary::SharedLibrary(SharedLibrary&& other) noexcept
    : m_handle(std::exchange(other.m_handle, nullptr))
{}

SharedLibrary& SharedLibrary::operator=(SharedLibrary&& other) noexcept
{
    if (this != &other) {
        Close();
        m_handle = std::exchange(other.m_handle, nullptr);
    }
    return *this;
}

Result<SharedLibrary> SharedLibrary::Open(const std::string& pathOrName, bool keepMapped)
{
    void* handle = ::dlopen(pathOrName.c_str(), RTLD_NOW | RTLD_LOCAL | (keepMapped ? RTLD_NODELETE : 0));
    if (handle == nullptr) {
        const char* text = ::dlerror(); // NOLINT(concurrency-mt-unsafe): glibc keeps the text per thread
        std::string message = text != nullptr ? text : "cannot load " + pathOrName;
        // The loader keeps no error number: tell a missing file from one that is there but cannot be loaded.
        int err = ELIBBAD;
        if (pathOrName.find('/') != std::string::npos ? ::access(pathOrName.c_str(), F_OK) != 0
                                                      : message.find("No such file") != std::string::npos) {
            err = ENOENT;
        }
        return Fail(std::move(message), err);
    }
    SharedLibrary library;
    library.m_handle = handle;
    return library;
}

void* SharedLibrary::Symbol(const char* name) const
{
    if (m_handle == nullptr) {
        return nullptr;
    }
    return ::dlsym(m_handle, name);
}

void SharedLibrary::Close()
{
    if (m_handle != nullptr) {
        (void)::dlclose(m_handle);
        m_handle = nullptr;
    }
}

Result<std::string> ModuleDirectoryOf(const void* address)
{
    Dl_info info{};
    if (::dladdr(address, &info) == 0 || info.dli_fname == nullptr || info.dli_fname[0] == '\0') {
        return Fail("no loaded library holds the address", ENOENT);
    }
    std::error_code error;
    std::filesystem::path path = std::filesystem::absolute(info.dli_fname, error);
    if (error) {
        return Fail("cannot make the library path absolute: " + error.message(), error.value());
    }
    path = path.lexically_normal().parent_path();
    std::string text = path.string();
    if (text.size() > 1 && text.back() == '/') {
        text.pop_back();
    }
    return text;
}

} // namespace qm
