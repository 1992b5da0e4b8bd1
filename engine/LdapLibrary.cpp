#include "engine/LdapLibrary.h"

#include <mutex>
#include <string>
#include <utility>

namespace qm::engine {
namespace {

std::mutex g_loadedLock;
std::shared_ptr<const LdapLibrary> g_loaded;

} // namespace

Result<std::unique_ptr<LdapLibrary>> LdapLibrary::Load(const char* name)
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
    return result;
}

Result<void> LoadLdapLibrary(const char* name)
{
    UnloadLdapLibrary();
    auto library = LdapLibrary::Load(name);
    if (!library) {
        return Unexpected{library.error()};
    }
    std::lock_guard lock(g_loadedLock);
    g_loaded = std::move(*library);
    return {};
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
