#include "engine/LdapLibrary.h"

#include "engine/EngineMessages.h"

#include <cerrno>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

namespace qm::engine {
namespace {

std::mutex g_loadedLock;
std::shared_ptr<const LdapLibrary> g_loaded;

} // namespace

Result<std::unique_ptr<LdapLibrary>> LdapLibrary::Load(std::span<const char* const> names)
{
    std::string tried;
    std::optional<Error> failure;
    for (const char* name : names) {
        auto library = LoadOne(name);
        if (library) {
            return library;
        }
        tried += (tried.empty() ? "" : ", ") + std::string(name);
        // A name that is there but unusable says more than the names that are not there at all.
        if (!failure || failure->Code == ENOENT || library.error().Code != ENOENT) {
            failure = library.error();
        }
    }
    if (!failure) {
        return Fail("no name to look the LDAP library up by", ENOENT);
    }
    return Fail("The LDAP library was looked for as " + tried + ": " + failure->Message, failure->Code);
}

Result<std::unique_ptr<LdapLibrary>> LdapLibrary::LoadOne(const char* name)
{
    // The library keeps process-wide options and buffers from its first use to the end of the process, with no
    // call to free them: unloading it would only leak them, so it stays mapped.
    auto library = SharedLibrary::Open(name, true);
    if (!library) {
        return Unexpected{library.error()};
    }
    std::unique_ptr<LdapLibrary> result(new LdapLibrary());
    result->m_library = std::move(*library);
    const SharedLibrary& lib = result->m_library;
    LdapFunctions& f = result->m_functions;
    const bool all = lib.Bind("ldap_initialize", f.Initialize) && lib.Bind("ldap_set_option", f.SetOption) &&
                     lib.Bind("ldap_sasl_bind_s", f.SaslBindS) && lib.Bind("ldap_search_ext_s", f.SearchExtS) &&
                     lib.Bind("ldap_first_entry", f.FirstEntry) && lib.Bind("ldap_next_entry", f.NextEntry) &&
                     lib.Bind("ldap_get_values_len", f.GetValuesLen) &&
                     lib.Bind("ldap_value_free_len", f.ValueFreeLen) && lib.Bind("ldap_msgfree", f.MsgFree) &&
                     lib.Bind("ldap_unbind_ext_s", f.UnbindExtS);
    if (!all) {
        return Fail(std::string("an entry point of ") + name + " is missing", kLdapMissingEntryPoint);
    }
    result->m_name = name;
    return result;
}

Result<void> LoadLdapLibrary(std::span<const char* const> names)
{
    UnloadLdapLibrary();
    auto library = LdapLibrary::Load(names);
    if (!library) {
        return Unexpected{library.error()};
    }
    std::lock_guard lock(g_loadedLock);
    g_loaded = std::move(*library);
    return {};
}

bool LoadLdapLibrary(Logger& log, std::span<const char* const> names)
{
    const Result<void> loaded = LoadLdapLibrary(names);
    if (!loaded) {
        log.LogMsg(4, kMsgLdapLoadError, loaded.error().Code);
        log.Log(4, "%s.", loaded.error().Message.c_str());
    }
    return loaded.has_value();
}

void UnloadLdapLibrary()
{
    std::shared_ptr<const LdapLibrary> dropped;
    std::lock_guard lock(g_loadedLock);
    dropped = std::exchange(g_loaded, nullptr);
}

std::shared_ptr<const LdapLibrary> LoadedLdap()
{
    std::lock_guard lock(g_loadedLock);
    return g_loaded;
}

} // namespace qm::engine
